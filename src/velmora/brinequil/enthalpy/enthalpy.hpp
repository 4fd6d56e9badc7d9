// Enthalpy of an electrolyte liquid on the formation basis: ions at infinite dilution in water,
// molecules on the property package's liquid reference, and the excess enthalpy of the
// activity model. J per unit of the amounts (J/kmol per kmol), T in K.
#pragma once
#include <Eigen/Dense>
#include <array>
#include <functional>
#include <vector>

namespace brinequil::core {

// DHF_AQ + integral from Tref to T of the CP_AQ polynomial C1 + C2 T + ... + C6 T^5 [J/(kmol K)],
// term by term in the order of the powers.
double h_aqueous(const std::array<double, 6>& c, double dhaq, double T, double Tref = 298.15);

// What the liquid enthalpy asks of its surroundings, called in this order.
struct LiquidEnthalpyHooks {
    // ideal-gas enthalpies of the package's components at T (formation included) [J/kmol]
    std::function<Eigen::VectorXd()> h_ig;
    // liquid reference minus ideal gas of the components at the normalised apparent liquid xa
    std::function<Eigen::VectorXd(const Eigen::VectorXd& xa)> dh_ref;
    // CP_AQ coefficients (padded with zeros) and DHF_AQ of the ion at species position i
    std::function<std::pair<std::array<double, 6>, double>(Eigen::Index i)> ion_params;
    // ln gamma of every true species at the true mole fractions x and temperature T
    std::function<Eigen::VectorXd(const Eigen::VectorXd& x, double T)> ln_gamma;
};

// n: true amounts in species order; comp_pos[k]: position of component k among the species or
// -1; is_ion: one flag per species; R: gas constant [J/(kmol K)].
double liquid_enthalpy(const Eigen::VectorXd& n, double T,
                       const std::vector<Eigen::Index>& comp_pos, const std::vector<bool>& is_ion,
                       double R, const LiquidEnthalpyHooks& hooks);

}  // namespace brinequil::core
