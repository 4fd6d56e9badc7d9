// Vapor pressure and liquid fugacities of a speciated electrolyte liquid: solvents
// x gamma Psat (extended Antoine), Henry components x gamma (H/gamma_inf)_mix, ions none.
#pragma once
#include <Eigen/Dense>
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brinequil::core {

using Antoine = std::array<double, 7>;

// exp(C1 + C2/(T + C3) + C4 T + C5 ln T + C6 T^C7) [Pa], the exponent summed left to right.
// Overflow gives inf. ValueError "math domain error" for T <= 0, ZeroDivisionError for T = -C3.
double psat(const Antoine& c, double T);

// {species name: fugacity [Pa]} in species order.
using FugacityMap = std::vector<std::pair<std::string, double>>;

struct LiquidFugacityHooks {
    // ln (H/gamma_inf)_mix [ln Pa] of the Henry component at species position k, at x
    std::function<double(Eigen::Index k, const Eigen::VectorXd& x)> ln_h_mix;
    // the Antoine coefficients of the species named so, when it has them
    std::function<std::optional<Antoine>(const std::string& name)> antoine;
};

// Fugacities of the volatile molecular species of the liquid of true amounts n with ln gamma
// lng (the speciation's), in species order: charge != 0 skipped, Henry components first, then
// species with Antoine data; the others are nonvolatile.
void liquid_fugacities(const Eigen::VectorXd& n, const Eigen::VectorXd& lng,
                       const std::vector<std::string>& names, const Eigen::VectorXd& charge,
                       const std::vector<char>& is_henry, double T,
                       const LiquidFugacityHooks& hooks, FugacityMap& out);

// The fugacities f of the components comps (the first entry of each name): has[k] where there
// is one, fl[k] its value (0 elsewhere).
void on_components(const std::vector<std::string>& comps, const FugacityMap& f,
                   std::vector<char>& has, Eigen::VectorXd& fl);

// Ideal-gas bubble pressure of a fugacity mapping: P = sum of f in order (0 when empty) and
// y = f / P (empty when f is).
double bubble_pressure(const FugacityMap& f, std::vector<double>& y);

}  // namespace brinequil::core
