#include "enthalpy/enthalpy.hpp"

#include <cmath>

#include "fugacity/reference_slopes.hpp"
#include "model/errors.hpp"

namespace brinequil::core {

double h_aqueous(const std::array<double, 6>& c, double dhaq, double T, double Tref) {
    double sum = 0.0;
    for (int k = 0; k < 6; ++k)
        sum += c[k] / static_cast<double>(k + 1) * (std::pow(T, k + 1) - std::pow(Tref, k + 1));
    return dhaq + sum;
}

namespace {
double at(const Eigen::VectorXd& v, Eigen::Index k, const char* what) {
    if (k < 0 || k >= v.size())
        throw IndexError(std::string(what) + ": index " + std::to_string(k) +
                         " out of range for a vector of length " + std::to_string(v.size()));
    return v[k];
}
}  // namespace

double liquid_enthalpy(const Eigen::VectorXd& n, double T,
                       const std::vector<Eigen::Index>& comp_pos, const std::vector<bool>& is_ion,
                       double R, const LiquidEnthalpyHooks& hooks) {
    const Eigen::Index ns = n.size();
    const Eigen::VectorXd x = n / n.sum();

    Eigen::VectorXd xa(static_cast<Eigen::Index>(comp_pos.size()));
    for (std::size_t k = 0; k < comp_pos.size(); ++k)
        xa[k] = comp_pos[k] >= 0 ? at(x, comp_pos[k], "true amounts") : 0.0;

    const Eigen::VectorXd h_ig = hooks.h_ig();
    const Eigen::VectorXd dH = hooks.dh_ref(xa / xa.sum());

    // Molecules that are components: ideal gas plus the package's liquid reference.
    double H = 0.0;
    for (std::size_t k = 0; k < comp_pos.size(); ++k) {
        if (comp_pos[k] < 0) continue;
        const auto kk = static_cast<Eigen::Index>(k);
        H += at(n, comp_pos[k], "true amounts") *
             (at(h_ig, kk, "ideal-gas enthalpies") + at(dH, kk, "reference enthalpies"));
    }
    // Ions at infinite dilution in water.
    for (Eigen::Index i = 0; i < ns && i < static_cast<Eigen::Index>(is_ion.size()); ++i) {
        if (!is_ion[static_cast<std::size_t>(i)]) continue;
        const auto [cp, dh] = hooks.ion_params(i);
        H += n[i] * h_aqueous(cp, dh, T);
    }
    // Excess enthalpy -R T^2 sum n_i d ln gamma_i / dT, central difference at fixed x.
    const double dT = 0.05;
    const Eigen::VectorXd up = hooks.ln_gamma(x, T + dT);
    const Eigen::VectorXd dn = hooks.ln_gamma(x, T - dT);
    if (up.size() != ns || dn.size() != ns)
        throw ValueError("ln_gamma returned " + std::to_string(up.size()) + " values for " +
                         std::to_string(ns) + " species");
    const Eigen::VectorXd dlng = (up - dn) / (2.0 * dT);
    return H - R * (T * T) * n.dot(dlng);
}

double liquid_enthalpy(
    const PackageData& d, const Eigen::VectorXd& n, double T,
    const std::vector<Eigen::Index>& comp_pos, const std::vector<bool>& is_ion, const IonData& ions,
    double R, const std::function<Eigen::VectorXd(const Eigen::VectorXd& x, double T)>& ln_gamma,
    const std::function<Eigen::VectorXd(const Eigen::VectorXd& xa, Eigen::VectorXd values)>&
        not_finite) {
    LiquidEnthalpyHooks hooks;
    hooks.h_ig = [&] {
        std::vector<double> h, s;
        ideal_gas_terms(d, T, h, s);
        return Eigen::VectorXd(
            Eigen::Map<const Eigen::VectorXd>(h.data(), static_cast<Eigen::Index>(h.size())));
    };
    hooks.dh_ref = [&](const Eigen::VectorXd& xa) {
        if (xa.size() != static_cast<Eigen::Index>(d.dhform.size()))
            return not_finite(xa, Eigen::VectorXd());
        Eigen::VectorXd v = dh_ref(d, T, xa);
        if (v.allFinite()) return v;
        return not_finite(xa, std::move(v));
    };
    hooks.ion_params = [&](Eigen::Index i) { return ions[static_cast<std::size_t>(i)]; };
    hooks.ln_gamma = [&ln_gamma](const Eigen::VectorXd& x, double t) { return ln_gamma(x, t); };
    return liquid_enthalpy(n, T, comp_pos, is_ion, R, hooks);
}

namespace {

constexpr double kExcessStep = 0.05;  // K, the excess term's central difference

// d h_ig / dT [J/(kmol K)] of component k.
double cp_ideal_gas(const PackageData& d, std::size_t k, double T) {
    const std::vector<double>& c = d.cp[k];
    if (d.cp_kind[k] == PackageData::Cp::Poly) {
        double s = 0.0, tj = 1.0;
        for (double ck : c) {
            s += ck * tj;
            tj *= T;
        }
        return s;
    }
    double a[5] = {0.0, 0.0, 0.0, 0.0, 0.0};  // A + B ((C/T)/sinh(C/T))^2 + D ((E/T)/cosh(E/T))^2
    for (std::size_t j = 0; j < c.size() && j < 5; ++j) a[j] = c[j];
    const double u = a[2] / T, v = a[4] / T;
    double out = a[0] + (a[2] != 0.0 ? a[1] * std::pow(u / std::sinh(u), 2) : a[1]);
    out += a[4] != 0.0 ? a[3] * std::pow(v / std::cosh(v), 2) : a[3];
    return out;
}

// The liquid references of the components [J/kmol]: dh = -R T^2 d ln f0/dT (dhref without a
// reference fugacity; a solvent's liquid heat capacity, given the ideal-gas enthalpies h_ig),
// d dh/dT and d dh/d xa (a Henry component's mix of solvents), as dh_ref takes them.
void reference_derivatives(const PackageData& d, double T, const Eigen::VectorXd& xa,
                           const std::vector<double>& h_ig, Eigen::VectorXd& dh,
                           Eigen::VectorXd& dT, Eigen::MatrixXd& dx) {
    const auto nc = static_cast<Eigen::Index>(d.henry.size());
    const double R = d.R, T2 = T * T;
    dh.setZero(nc);
    dT.setZero(nc);
    dx.setZero(nc, nc);
    std::vector<double> w, d1, d2;
    for (Eigen::Index k = 0; k < nc; ++k) {
        const auto kk = static_cast<std::size_t>(k);
        if (d.henry[kk] && !d.pairs[kk].empty()) {
            const auto& pairs = d.pairs[kk];
            w.clear();
            d1.clear();
            d2.clear();
            double tot = 0.0;
            for (const auto& pr : pairs) {
                w.push_back((pr.solvent >= 0 ? xa[pr.solvent] : 0.0) * pr.vc_weight);
                tot += w.back();
            }
            const bool fixed = !(tot > 0.0);  // no solvent of it in the liquid: the solvents alike
            if (fixed) {
                tot = 0.0;
                for (std::size_t i = 0; i < pairs.size(); ++i) tot += (w[i] = pairs[i].vc_weight);
            }
            for (const auto& pr : pairs) {
                const double dl = dln_henry(pr.p, T), dl2 = d2ln_henry(pr.p, T);
                d1.push_back(-R * T2 * dl);
                d2.push_back(-R * (2.0 * T * dl + T2 * dl2));
            }
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                dh[k] += w[i] * d1[i];
                dT[k] += w[i] * d2[i];
            }
            dh[k] /= tot;
            dT[k] /= tot;
            if (!fixed)
                for (std::size_t i = 0; i < pairs.size(); ++i)
                    if (pairs[i].solvent >= 0)
                        dx(k, pairs[i].solvent) += pairs[i].vc_weight * (d1[i] - dh[k]) / tot;
        } else if (!d.henry[kk] && d.antoine[kk] && kk < d.cpl.size() && d.cpl[kk]) {
            const auto& cp = *d.cpl[kk];
            dh[k] = liquid_cp_reference(d, kk, T, h_ig[kk]);
            double c_l = 0.0, tj = 1.0;  // cp_liquid - cp_ig
            for (double cj : cp.c) {
                c_l += cj * tj;
                tj *= T - cp.t0;
            }
            dT[k] = c_l - cp_ideal_gas(d, kk, T);
        } else if (!d.henry[kk] && d.antoine[kk]) {
            const auto& c = *d.antoine[kk];
            const double dl = dln_antoine(c, T), dl2 = d2ln_antoine(c, T);
            dh[k] = -R * T2 * dl;
            dT[k] = -R * (2.0 * T * dl + T2 * dl2);
        } else {
            dh[k] = d.dhref[kk];
        }
    }
}

}  // namespace

void liquid_enthalpy_gradient(const PackageData& d, const Eigen::VectorXd& n, double T,
                              const std::vector<Eigen::Index>& comp_pos,
                              const std::vector<bool>& is_ion,
                              const std::vector<std::pair<std::array<double, 6>, double>>& ions,
                              bool fixed_ion_fractions, const LnGammaDerivatives& ln_gamma,
                              Eigen::VectorXd& g, double& dT) {
    const Eigen::Index ns = n.size();
    const auto nc = static_cast<Eigen::Index>(comp_pos.size());
    if (static_cast<Eigen::Index>(d.cp.size()) != nc ||
        static_cast<Eigen::Index>(is_ion.size()) < ns ||
        static_cast<Eigen::Index>(ions.size()) < ns)
        throw ValueError("enthalpy gradient: data of another system");
    const double R = d.R, N = n.sum();
    const Eigen::VectorXd x = n / N;
    Eigen::VectorXd sub = Eigen::VectorXd::Zero(nc);
    for (Eigen::Index k = 0; k < nc; ++k)
        if (comp_pos[static_cast<std::size_t>(k)] >= 0) sub[k] = at(n, comp_pos[k], "true amounts");
    const double M = sub.sum();
    const Eigen::VectorXd xa = sub / M;
    std::vector<double> h_ig, s_ig;
    ideal_gas_terms(d, T, h_ig, s_ig);
    Eigen::VectorXd dh, ddh_dT;
    Eigen::MatrixXd ddh_dxa;
    reference_derivatives(d, T, xa, h_ig, dh, ddh_dT, ddh_dxa);
    g.setZero(ns);
    dT = 0.0;
    // components: n_c (h_ig + dh(xa)), xa_k = n_pos(k) / M
    const Eigen::VectorXd through = ddh_dxa.transpose() * sub;  // sum_c n_c d dh_c / d xa_k
    const double corr = through.dot(xa);
    for (Eigen::Index k = 0; k < nc; ++k) {
        const Eigen::Index p = comp_pos[static_cast<std::size_t>(k)];
        if (p < 0) continue;
        const auto kk = static_cast<std::size_t>(k);
        g[p] += h_ig[kk] + dh[k] + (through[k] - corr) / M;
        dT += n[p] * (cp_ideal_gas(d, kk, T) + ddh_dT[k]);
    }
    // ions (and complexes) at infinite dilution in water
    for (Eigen::Index i = 0; i < ns; ++i) {
        if (!is_ion[static_cast<std::size_t>(i)]) continue;
        const auto& [c, dhf] = ions[static_cast<std::size_t>(i)];
        g[i] += h_aqueous(c, dhf, T);
        double cp = 0.0, tj = 1.0;
        for (double ck : c) {
            cp += ck * tj;
            tj *= T;
        }
        dT += n[i] * cp;
    }
    // excess: -R T^2 sum_i n_i L_i, L = (ln gamma(T + h) - ln gamma(T - h)) / 2h at fixed x
    const double h = kExcessStep;
    Eigen::VectorXd lng_up, lng_dn, lT_up, lT_dn;
    Eigen::MatrixXd J_up, J_dn;
    ln_gamma(x, T + h, lng_up, fixed_ion_fractions ? &J_up : nullptr, lT_up);
    ln_gamma(x, T - h, lng_dn, fixed_ion_fractions ? &J_dn : nullptr, lT_dn);
    if (lng_up.size() != ns || lng_dn.size() != ns || lT_up.size() != ns || lT_dn.size() != ns)
        throw ValueError("enthalpy gradient: ln gamma of another length");
    const Eigen::VectorXd L = (lng_up - lng_dn) / (2.0 * h);
    Eigen::VectorXd total = L;
    if (fixed_ion_fractions)  // + n @ dL/dn, dL/dn of degree -1 in n
        total += ((J_up - J_dn) / (2.0 * h) / N).transpose() * n;
    g += -R * T * T * total;
    dT += -R * (2.0 * T * n.dot(L) + T * T * n.dot((lT_up - lT_dn) / (2.0 * h)));
}

}  // namespace brinequil::core
