#include "enthalpy/enthalpy.hpp"

#include <cmath>

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

}  // namespace brinequil::core
