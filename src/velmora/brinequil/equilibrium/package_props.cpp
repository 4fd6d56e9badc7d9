#include "equilibrium/package_props.hpp"

#include <algorithm>
#include <cmath>

#include "fugacity/reference_slopes.hpp"

namespace brinequil::core {
namespace {

// The host's sum() of floats (start 0).
double host_sum(const std::vector<double>& v, Summation how) {
    double s = 0.0;
    if (how == Summation::Plain) {
        for (double x : v) s += x;
        return s;
    }
    double c = 0.0;  // Neumaier's compensation
    for (double x : v) {
        const double t = s + x;
        c += std::fabs(s) >= std::fabs(x) ? (s - t) + x : (x - t) + s;
        s = t;
    }
    if (c != 0.0 && std::isfinite(c)) s += c;
    return s;
}

// Integrals of the Aly-Lee terms (enthalpy) and of their Cp/T (entropy).
double coth_int(double C, double T) { return C != 0.0 ? C / std::tanh(C / T) : T; }
double tanh_int(double E, double T) { return E != 0.0 ? E * std::tanh(E / T) : -T; }
double sinh_s(double C, double T) {
    if (C == 0.0) return std::log(T);
    const double u = C / T;
    return u / std::tanh(u) - std::log(std::sinh(u));
}
double cosh_s(double E, double T) {
    if (E == 0.0) return -std::log(T);
    const double u = E / T;
    return u * std::tanh(u) - std::log(std::cosh(u));
}

}  // namespace

double exact_sum(const std::vector<double>& v) {
    // Shewchuk's non-overlapping partials, then their sum from the top with the half-even
    // correction across partials: the algorithm of CPython's math.fsum.
    std::vector<double> p;
    for (double x : v) {
        std::size_t i = 0;
        for (double y : p) {
            if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
            const double hi = x + y;
            const double lo = y - (hi - x);
            if (lo != 0.0) p[i++] = lo;
            x = hi;
        }
        p.resize(i);
        if (x != 0.0) p.push_back(x);
    }
    if (p.empty()) return 0.0;
    std::size_t n = p.size();
    double hi = p[--n], lo = 0.0;
    while (n > 0) {
        const double x = hi, y = p[--n];
        hi = x + y;
        lo = y - (hi - x);
        if (lo != 0.0) break;
    }
    if (n > 0 && ((lo < 0.0 && p[n - 1] < 0.0) || (lo > 0.0 && p[n - 1] > 0.0))) {
        const double y = lo * 2.0;
        const double x = hi + y;
        if (y == x - hi) hi = x;
    }
    return hi;
}

void ideal_gas_terms(const PackageData& d, double T, std::vector<double>& h,
                     std::vector<double>& s) {
    const double t0 = d.T_ref;
    const double lnr = std::log(T / t0);
    const std::size_t nc = d.dhform.size();
    h.assign(nc, 0.0);
    s.assign(nc, 0.0);
    for (std::size_t k = 0; k < nc; ++k) {
        const std::vector<double>& c = d.cp[k];
        double dh = 0.0, ds = 0.0;
        if (d.cp_kind[k] == PackageData::Cp::Poly) {
            double tp = T, t0p = t0;     // T^(j+1), Tref^(j+1)
            double tq = 1.0, t0q = 1.0;  // T^j, Tref^j
            for (std::size_t j = 0; j < c.size(); ++j) {
                const double ck = c[j];
                dh += ck / static_cast<double>(j + 1) * (tp - t0p);
                ds += j == 0 ? ck * lnr : ck / static_cast<double>(j) * (tq - t0q);
                tq = tp;
                t0q = t0p;
                tp = tp * T;
                t0p = t0p * t0;
            }
        } else {
            double a[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
            for (std::size_t j = 0; j < c.size() && j < 5; ++j) a[j] = c[j];
            const double A = a[0], B = a[1], C = a[2], D = a[3], E = a[4];
            dh = A * (T - t0) + B * (coth_int(C, T) - coth_int(C, t0)) -
                 D * (tanh_int(E, T) - tanh_int(E, t0));
            ds = A * lnr + B * (sinh_s(C, T) - sinh_s(C, t0)) - D * (cosh_s(E, T) - cosh_s(E, t0));
        }
        h[k] = d.dhform[k] + dh;
        s[k] = ds;
    }
}

void reference_terms(const PackageData& d, double T, const Eigen::VectorXd& xa,
                     std::vector<char>& has, std::vector<double>& lnf, std::vector<double>& dlnf) {
    const std::size_t nc = d.henry.size();
    has.assign(nc, 0);
    lnf.assign(nc, 0.0);
    dlnf.assign(nc, 0.0);
    const double lnT = std::log(T);
    std::vector<double> w, vw;
    for (std::size_t k = 0; k < nc; ++k) {
        if (d.henry[k]) {
            const std::vector<PackageData::HenryPair>& pairs = d.pairs[k];
            if (pairs.empty()) continue;
            vw.clear();
            w.clear();
            for (const auto& pr : pairs) vw.push_back(pr.vc_weight);
            for (std::size_t i = 0; i < pairs.size(); ++i)
                w.push_back((pairs[i].solvent >= 0 ? xa[pairs[i].solvent] : 0.0) * vw[i]);
            if (!(host_sum(w, d.summation) > 0.0)) w = vw;  // no solvent of it: the solvents alike
            const double tot = host_sum(w, d.summation);
            double a = 0.0, dd = 0.0;
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                const auto& p = pairs[i].p;
                a += w[i] / tot * (p[0] + p[1] / T + p[2] * lnT + p[3] * T + p[4] / (T * T));
                dd += w[i] / tot * dln_henry(p, T);
            }
            has[k] = 1;
            lnf[k] = a;
            dlnf[k] = dd;
        } else if (d.antoine[k]) {
            const auto& p = *d.antoine[k];
            lnf[k] = p[0] + p[1] / (T + p[2]) + p[3] * T + p[4] * lnT + p[5] * std::pow(T, p[6]);
            dlnf[k] = dln_antoine(p, T);
            has[k] = 1;
        }
    }
}

double liquid_rise(const PackageData::LiquidCp& cp, double T, double T_ref) {
    const double a = T - cp.t0, b = T_ref - cp.t0;
    double rise = 0.0, pa = a, pb = b;
    for (std::size_t j = 0; j < cp.c.size(); ++j) {
        rise += cp.c[j] / static_cast<double>(j + 1) * (pa - pb);
        pa = pa * a;
        pb = pb * b;
    }
    return rise;
}

double liquid_cp_reference(const PackageData& d, std::size_t k, double T, double h_ig) {
    const double t = d.T_ref;
    return -d.R * t * t * dln_antoine(*d.antoine[k], t) + liquid_rise(*d.cpl[k], T, t) -
           (h_ig - d.dhform[k]);
}

namespace {
// -R T^2 d ln f0/dT per component, dhref where there is no reference fugacity, and the liquid
// heat capacity's reference for a solvent that has one; h_ig: the ideal-gas enthalpies at T
// where the caller has them.
Eigen::VectorXd dh_terms(const PackageData& d, double T, const std::vector<char>& has,
                         const std::vector<double>& dlnf,
                         const std::vector<double>* h_ig = nullptr) {
    const double m = -d.R * T * T;
    Eigen::VectorXd out(static_cast<Eigen::Index>(has.size()));
    for (std::size_t k = 0; k < has.size(); ++k)
        out[static_cast<Eigen::Index>(k)] = has[k] ? m * dlnf[k] : d.dhref[k];
    bool any = false;
    for (std::size_t k = 0; k < d.cpl.size(); ++k) any = any || (d.cpl[k] && has[k] && !d.henry[k]);
    if (!any) return out;
    std::vector<double> h, s;
    if (h_ig == nullptr) {
        ideal_gas_terms(d, T, h, s);
        h_ig = &h;
    }
    for (std::size_t k = 0; k < d.cpl.size(); ++k)
        if (d.cpl[k] && has[k] && !d.henry[k])
            out[static_cast<Eigen::Index>(k)] = liquid_cp_reference(d, k, T, (*h_ig)[k]);
    return out;
}
}  // namespace

Eigen::VectorXd dh_ref(const PackageData& d, double T, const Eigen::VectorXd& xa) {
    std::vector<char> has;
    std::vector<double> lnf, dlnf;
    reference_terms(d, T, xa, has, lnf, dlnf);
    return dh_terms(d, T, has, dlnf);
}

double enthalpy_vapor(const PackageData& d, double T, const Eigen::VectorXd& y) {
    std::vector<double> h, s;
    ideal_gas_terms(d, T, h, s);
    const std::size_t m = std::min(h.size(), static_cast<std::size_t>(y.size()));
    std::vector<double> terms(m);
    for (std::size_t k = 0; k < m; ++k) terms[k] = y[static_cast<Eigen::Index>(k)] * h[k];
    return exact_sum(terms) + 0.0;  // the ideal gas has no departure
}

double entropy_vapor(const PackageData& d, double T, const Eigen::VectorXd& y, double P) {
    std::vector<double> h, s;
    ideal_gas_terms(d, T, h, s);
    std::vector<double> mix, terms;
    for (Eigen::Index k = 0; k < y.size(); ++k)
        if (y[k] > 0.0) mix.push_back(y[k] * std::log(y[k]));
    for (std::size_t k = 0; k < s.size() && k < static_cast<std::size_t>(y.size()); ++k)
        terms.push_back(y[static_cast<Eigen::Index>(k)] * s[k]);
    return host_sum(terms, d.summation) - d.R * host_sum(mix, d.summation) -
           d.R * std::log(P / d.P_ref) + 0.0;
}

double entropy_liquid(const PackageData& d, double T, const Eigen::VectorXd& x) {
    std::vector<double> h, s;
    ideal_gas_terms(d, T, h, s);
    std::vector<char> has;
    std::vector<double> lnf, dlnf;
    reference_terms(d, T, x, has, lnf, dlnf);
    const Eigen::VectorXd dh = dh_terms(d, T, has, dlnf, &h);
    const double lnp = std::log(d.P_ref);
    double out = 0.0;
    for (Eigen::Index k = 0; k < x.size(); ++k) {
        const auto kk = static_cast<std::size_t>(k);
        const double xk = x[k];
        const double sl = s[kk] + dh[k] / T - (has[kk] ? d.R * (lnf[kk] - lnp) : 0.0);
        out += xk * sl;
        if (xk > 0.0) out -= d.R * xk * std::log(xk);
    }
    return out;
}

}  // namespace brinequil::core
