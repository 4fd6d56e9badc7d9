#include "fugacity/liquid_fugacity.hpp"

#include <cmath>

#include "model/errors.hpp"

namespace brinequil::core {

double psat(const Antoine& c, double T) {
    if (!(T > 0.0)) throw ValueError("math domain error");
    const double d = T + c[2];
    if (d == 0.0) throw ZeroDivisionError("float division by zero");
    double e = c[0] + c[1] / d;
    e += c[3] * T;
    e += c[4] * std::log(T);
    e += c[5] * std::pow(T, c[6]);
    return std::exp(e);
}

void liquid_fugacities(const Eigen::VectorXd& n, const Eigen::VectorXd& lng,
                       const std::vector<std::string>& names, const Eigen::VectorXd& charge,
                       const std::vector<char>& is_henry, double T,
                       const LiquidFugacityHooks& hooks, FugacityMap& out) {
    out.clear();
    const Eigen::Index ns = n.size();
    if (lng.size() < ns || charge.size() < ns || static_cast<Eigen::Index>(names.size()) < ns)
        throw IndexError("species vectors shorter than the true amounts");
    const Eigen::VectorXd x = n / n.sum();
    for (Eigen::Index k = 0; k < ns; ++k) {
        if (charge[k] != 0.0) continue;
        const std::string& c = names[static_cast<std::size_t>(k)];
        if (k < static_cast<Eigen::Index>(is_henry.size()) &&
            is_henry[static_cast<std::size_t>(k)]) {
            out.emplace_back(c, x[k] * std::exp(lng[k] + hooks.ln_h_mix(k, x)));
        } else if (auto p = hooks.antoine(c)) {
            out.emplace_back(c, x[k] * std::exp(lng[k]) * psat(*p, T));
        }
    }
}

double bubble_pressure(const FugacityMap& f, std::vector<double>& y) {
    y.clear();
    double P = 0.0;
    for (const auto& e : f) P += e.second;
    for (const auto& e : f) y.push_back(e.second / P);
    return P;
}

void on_components(const std::vector<std::string>& comps, const FugacityMap& f,
                   std::vector<char>& has, Eigen::VectorXd& fl) {
    has.assign(comps.size(), 0);
    fl = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(comps.size()));
    for (std::size_t k = 0; k < comps.size(); ++k)
        for (const auto& [name, v] : f)
            if (name == comps[k]) {
                has[k] = 1;
                fl[static_cast<Eigen::Index>(k)] = v;
                break;
            }
}

}  // namespace brinequil::core
