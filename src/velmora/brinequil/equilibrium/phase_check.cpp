#include "equilibrium/phase_check.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "model/residual.hpp"

namespace brinequil::core {

std::optional<double> fugacity_mismatch(double fl, double fv, double P, double x, double tol,
                                        const Limits& c) {
    const double top = py_max(fl, fv);
    if (top <= c.vapor_floor * P) return 0.0;
    double unresolved = 0.0;
    if (x > 0.0) {
        if (x * tol == 0.0) return std::nullopt;
        unresolved = c.resolution * fl / (x * tol);
    }
    if (top + unresolved == 0.0) return std::nullopt;
    return std::abs(fl - fv) / (top + unresolved);
}

std::optional<std::pair<double, double>> phase_residual(const FlashAnswer& a, const FugacityMap& f,
                                                        const Eigen::VectorXd& n,
                                                        const std::vector<Eigen::Index>& pos,
                                                        double tol, const Limits& c) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::vector<std::string>& comps = *a.comps;
    const Eigen::VectorXd &z = *a.z, &x = *a.x, &y = *a.y;
    const double beta = a.beta, P = a.P;
    const auto nc = static_cast<Eigen::Index>(comps.size());
    const double liquid = 1.0 - beta;
    double bal = 0.0;
    bool nan = false;
    for (Eigen::Index k = 0; k < nc; ++k) {
        const double gap = std::abs(z[k] - liquid * x[k] - beta * y[k]);
        nan = nan || std::isnan(gap);
        bal = k == 0 ? gap : py_max(bal, gap);
    }
    if (nan) bal = std::numeric_limits<double>::quiet_NaN();
    std::vector<char> vol;
    Eigen::VectorXd fl;
    on_components(comps, f, vol, fl);
    const bool any = std::find(vol.begin(), vol.end(), 1) != vol.end();
    for (Eigen::Index k = 0; k < nc; ++k) {
        if (vol[static_cast<std::size_t>(k)]) continue;
        if (beta > 0.0 && y[k] > c.trace) return std::pair{kInf, bal};   // a salt in the vapor
        if (beta >= 1.0 && z[k] > c.trace) return std::pair{kInf, bal};  // nor all vapor
    }
    if (!any) return std::pair{0.0, bal};
    double res = 0.0;
    if (0.0 < beta && beta < 1.0) {
        double tot = 0.0;  // sum() of the amounts: left to right
        for (Eigen::Index i = 0; i < n.size(); ++i) tot += n[i];
        for (Eigen::Index k = 0; k < nc; ++k) {
            const auto sk = static_cast<std::size_t>(k);
            if (!vol[sk]) continue;
            double xt = 0.0;
            if (pos[sk] >= 0) {
                if (tot == 0.0) return std::nullopt;
                xt = n[pos[sk]] / tot;
            }
            const std::optional<double> m =
                fugacity_mismatch(fl[k], y[k] * P, P, py_max(x[k], xt), tol, c);
            if (!m) return std::nullopt;
            res = py_max(res, *m);
        }
    } else if (beta <= 0.0) {
        // all liquid: the bubble pressure over the volatiles at most P
        double s = 0.0;
        for (Eigen::Index k = 0; k < nc; ++k)
            if (vol[static_cast<std::size_t>(k)]) s += fl[k] / P;
        res = s > 0.0 ? py_max(0.0, std::log(s)) : 0.0;
    } else {
        // all vapor: the dew condition on the incipient liquid x, which must be that liquid,
        // x = (y / K) / sum(y / K) with K at x
        double s = 0.0;
        Eigen::VectorXd w = Eigen::VectorXd::Zero(nc);
        for (Eigen::Index k = 0; k < nc; ++k) {
            if (!vol[static_cast<std::size_t>(k)] || z[k] <= c.trace) continue;
            if (!(x[k] > 0.0)) return std::pair{kInf, bal};  // each of the vapor's volatiles
            const double K = fl[k] / (py_max(x[k], 1e-300) * P);
            w[k] = K > 0.0 ? y[k] / K : kInf;
            s += w[k];
        }
        res = s > 0.0 ? py_max(0.0, std::log(s)) : 0.0;
        if (s > 0.0 && s < kInf)
            for (Eigen::Index k = 0; k < nc; ++k)
                if (vol[static_cast<std::size_t>(k)] && z[k] > c.trace)
                    res = py_max(res, std::abs(w[k] / s - x[k]));
    }
    return std::pair{res, bal};
}

double liquid_residual(const Stoichiometry& st, const Eigen::VectorXd& n,
                       const Eigen::VectorXd& lng, const Eigen::VectorXd& n0,
                       const Eigen::VectorXd& lnK, const HenryRef& henry_ref) {
    return speciation_residual(
        st, n, lng,
        [&](const Eigen::VectorXd& x) {
            Eigen::VectorXd ref;
            henry_ref(x, ref);
            return ref;
        },
        [&] { return lnK; }, [&] { return n0; });
}

std::optional<AnswerResiduals> answer_residuals(const Stoichiometry& st, const FlashAnswer& a,
                                                const FugacityMap& f, const Eigen::VectorXd& n,
                                                const Eigen::VectorXd& lng,
                                                const Eigen::VectorXd& n0,
                                                const Eigen::VectorXd& lnK, bool converged,
                                                const std::vector<Eigen::Index>& pos, double tol,
                                                const Limits& c, const HenryRef& henry_ref) {
    if (!converged) return std::nullopt;
    const std::optional<std::pair<double, double>> phase = phase_residual(a, f, n, pos, tol, c);
    if (!phase) return std::nullopt;
    return AnswerResiduals{phase->first, phase->second,
                           liquid_residual(st, n, lng, n0, lnK, henry_ref)};
}

double beta_sensitivity(const Eigen::VectorXd& z, const Eigen::VectorXd& x,
                        const Eigen::VectorXd& y) {
    double den = 0.0, top = 0.0;
    const Eigen::Index m = std::min({z.size(), x.size(), y.size()});
    for (Eigen::Index i = 0; i < m; ++i) {
        if (!(z[i] > 0.0)) continue;
        den += (y[i] - x[i]) * (y[i] - x[i]) / z[i];
        top = std::max(top, x[i] * y[i] / z[i]);
    }
    return den > 0.0 ? top / den : std::numeric_limits<double>::infinity();
}

}  // namespace brinequil::core
