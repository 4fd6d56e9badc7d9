// The property package's ideal-gas and liquid-reference properties (phasekit's enthalpy_vapor,
// entropy_vapor, entropy_liquid, _k_h_ig and _dh_ref for the ideal vapor), with the same
// operations in the same order, so that a flash need not call into Python for them. Units: K,
// Pa, J/kmol, J/(kmol K); vectors over the package's components.
#pragma once
#include <Eigen/Dense>
#include <array>
#include <optional>
#include <vector>

namespace brinequil::core {

// How the host's built-in sum() adds floats: left to right, or with Neumaier's compensation
// (Python 3.12 and later).
enum class Summation { Plain, Compensated };

// math.fsum: the correctly rounded sum of finite values (Shewchuk's partials).
double exact_sum(const std::vector<double>& v);

struct PackageData {
    enum class Cp { Poly, AlyLee };
    struct HenryPair {
        Eigen::Index solvent = -1;  // position of the solvent among the components, or -1
        double vc_weight = 0.0;     // Vc^(2/3) of the solvent (0.1^(2/3) without an entry)
        std::array<double, 5> p{};  // ln H = p0 + p1/T + p2 ln T + p3 T + p4/T^2
    };
    double R = 0.0, T_ref = 0.0, P_ref = 0.0;
    Summation summation = Summation::Plain;
    std::vector<Cp> cp_kind;
    std::vector<std::vector<double>> cp;  // heat-capacity coefficients per component
    std::vector<double> dhform;
    // Liquid reference per component: Henry pairs (a Henry component), else Antoine
    // coefficients, else the fixed difference dhref.
    std::vector<char> henry;
    std::vector<std::vector<HenryPair>> pairs;
    std::vector<std::optional<std::array<double, 7>>> antoine;
    std::vector<double> dhref;
    // A solvent's liquid heat capacity cp = sum_j c_j (T - t0)^j [J/(kmol K)]: its reference
    // enthalpy is the vapor-pressure correlation's at T_ref and follows cp from there.
    struct LiquidCp {
        double t0 = 0.0;
        std::vector<double> c;
    };
    std::vector<std::optional<LiquidCp>> cpl;  // empty: none (every reference on its correlation)
};

// int_{T_ref}^{T} cp dT of a liquid heat capacity [J/kmol].
double liquid_rise(const PackageData::LiquidCp& cp, double T, double T_ref);

// The reference enthalpy of component k with a liquid heat capacity at T, given its ideal-gas
// enthalpy h_ig (formation included): -R T_ref^2 d ln Psat/dT (T_ref) + int (cp_l - cp_ig) dT.
double liquid_cp_reference(const PackageData& d, std::size_t k, double T, double h_ig);

// Ideal-gas enthalpies (formation included) and entropies (from T_ref, at P_ref) at T.
void ideal_gas_terms(const PackageData& d, double T, std::vector<double>& h,
                     std::vector<double>& s);

// ln f0 of the liquid reference and its T-derivative per component at the apparent liquid xa;
// `has` false where a component has no reference fugacity (lnf 0 there).
void reference_terms(const PackageData& d, double T, const Eigen::VectorXd& xa,
                     std::vector<char>& has, std::vector<double>& lnf, std::vector<double>& dlnf);

// The liquid reference minus the ideal gas per component, -R T^2 d ln f0/dT (dhref without a
// reference fugacity; liquid_cp_reference for a solvent with a liquid heat capacity).
Eigen::VectorXd dh_ref(const PackageData& d, double T, const Eigen::VectorXd& xa);

double enthalpy_vapor(const PackageData& d, double T, const Eigen::VectorXd& y);
double entropy_vapor(const PackageData& d, double T, const Eigen::VectorXd& y, double P);
double entropy_liquid(const PackageData& d, double T, const Eigen::VectorXd& x);

}  // namespace brinequil::core
