// Enthalpy of an electrolyte liquid on the formation basis: ions at infinite dilution in water,
// molecules on the property package's liquid reference, and the excess enthalpy of the
// activity model. J per unit of the amounts (J/kmol per kmol), T in K.
#pragma once
#include <Eigen/Dense>
#include <array>
#include <functional>
#include <vector>

#include "equilibrium/package_props.hpp"

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

// CP_AQ coefficients (padded with zeros) and DHF_AQ per species (unread where not an ion).
using IonData = std::vector<std::pair<std::array<double, 6>, double>>;

// liquid_enthalpy on the package's own ideal gas and liquid references (pp's data d) and the
// ions' data: only ln gamma comes from outside. Reference enthalpies that are not finite (or of
// an apparent liquid of another size) go to not_finite(xa, values), whose answer is taken.
double liquid_enthalpy(
    const PackageData& d, const Eigen::VectorXd& n, double T,
    const std::vector<Eigen::Index>& comp_pos, const std::vector<bool>& is_ion, const IonData& ions,
    double R, const std::function<Eigen::VectorXd(const Eigen::VectorXd& x, double T)>& ln_gamma,
    const std::function<Eigen::VectorXd(const Eigen::VectorXd& xa, Eigen::VectorXd values)>&
        not_finite);

// ln gamma at x and T (lng), d ln gamma / dT (lT) and, where J is given, J(i, j) = d ln gamma_i /
// d x_j with the other amounts held (the activity model's exact derivatives).
using LnGammaDerivatives =
    std::function<void(const Eigen::VectorXd& x, double T, Eigen::VectorXd& lng, Eigen::MatrixXd* J,
                       Eigen::VectorXd& lT)>;

// The gradient of liquid_enthalpy's H(n, T) with the package's own ideal gas and references (d):
// g = dH/dn [J/kmol per species] and dT = dH/dT at fixed n, exact but for the excess term's
// central difference, which is differentiated as it stands (the activity model's derivatives at
// T +- 0.05 K). ions: CP_AQ and DHF_AQ per species flagged in is_ion. Without
// fixed_ion_fractions (the model option fixed_Y) ln gamma is the gradient of n G^ex/RT, so
// sum_i n_i d ln gamma_i / dn_j = 0 and J is not asked for.
void liquid_enthalpy_gradient(const PackageData& d, const Eigen::VectorXd& n, double T,
                              const std::vector<Eigen::Index>& comp_pos,
                              const std::vector<bool>& is_ion,
                              const std::vector<std::pair<std::array<double, 6>, double>>& ions,
                              bool fixed_ion_fractions, const LnGammaDerivatives& ln_gamma,
                              Eigen::VectorXd& g, double& dT);

}  // namespace brinequil::core
