// The phase check of a flash answer as velmora.checks computes it (phase_residual with the ideal
// gas, fugacity_mismatch, and what checks.solutes and the stability test of flashes look at
// first), with the same operations in the same order, so that the residuals have the same digits.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "fugacity/liquid_fugacity.hpp"
#include "model/stoichiometry.hpp"

namespace brinequil::core {

// The constants of velmora.checks that the phase check reads (VAPOR_FLOOR, RESOLUTION, TRACE).
struct Limits {
    double vapor_floor, resolution, trace;
};

// A flash answer: its components, feed z, vapor fraction, liquid x (apparent), vapor y and P.
struct FlashAnswer {
    const std::vector<std::string>* comps;
    const Eigen::VectorXd* z;
    double beta;
    const Eigen::VectorXd *x, *y;
    double P;
};

// Python's max(a, b) of two floats: b where b > a, else a (ties and NaN as Python has them).
inline double py_max(double a, double b) { return b > a ? b : a; }

// checks.fugacity_mismatch of the liquid fugacity fl and the vapor's fv at P (liquid mole
// fraction x, speciation tolerance tol); nullopt where Python would divide by zero.
std::optional<double> fugacity_mismatch(double fl, double fv, double P, double x, double tol,
                                        const Limits& c);

// checks.phase_residual with the ideal gas (ln phi = 0, exp(0) = 1: every product and quotient
// of the Python code as it stands), in its order of operations: (residual, balance). f: the
// liquid fugacities {species: Pa}; n: the liquid's true amounts; pos: the species position of
// each component (-1: none). nullopt where Python would divide by zero.
std::optional<std::pair<double, double>> phase_residual(const FlashAnswer& a, const FugacityMap& f,
                                                        const Eigen::VectorXd& n,
                                                        const std::vector<Eigen::Index>& pos,
                                                        double tol, const Limits& c);

// The Henry reference at true mole fractions x, as the speciation of the answer's liquid had it.
using HenryRef = std::function<void(const Eigen::VectorXd& x, Eigen::VectorXd& out)>;

// checks.speciation_residual of a liquid (true amounts n, ln gamma lng) solved from n0 (on the
// species) with the constants lnK, the Henry reference from henry_ref.
double liquid_residual(const Stoichiometry& st, const Eigen::VectorXd& n,
                       const Eigen::VectorXd& lng, const Eigen::VectorXd& n0,
                       const Eigen::VectorXd& lnK, const HenryRef& henry_ref);

// The residuals of velmora.checks of an answer whose liquid (fugacities f, the rest as for
// liquid_residual) met its tolerance: phase_residual's (residual, balance), then the liquid's;
// nothing where it did not converge or Python would divide by zero.
struct AnswerResiduals {
    double phase, balance, speciation;
};
std::optional<AnswerResiduals> answer_residuals(const Stoichiometry& st, const FlashAnswer& a,
                                                const FugacityMap& f, const Eigen::VectorXd& n,
                                                const Eigen::VectorXd& lng,
                                                const Eigen::VectorXd& n0,
                                                const Eigen::VectorXd& lnK, bool converged,
                                                const std::vector<Eigen::Index>& pos, double tol,
                                                const Limits& c, const HenryRef& henry_ref);

// |d beta / d ln K_i| of the Rachford-Rice equation at a split's phase compositions, largest
// over the components with z > 0: x_i y_i / z_i over sum_j (y_j - x_j)^2 / z_j (inf where that
// sum is 0), as flashes.beta_spread works it out before it multiplies by the residual.
double beta_sensitivity(const Eigen::VectorXd& z, const Eigen::VectorXd& x,
                        const Eigen::VectorXd& y);

// The mole fraction of water in the liquid x when checks.solutes passes it without a closer
// look: one component "H2O", present, and no entry above m_max mol per kg of water (max() as
// Python takes it). nullopt otherwise (a name twice included). read() gives (kg of water per mol
// of H2O, m_max), asked for only after the names are found to be fine.
template <class ReadLimits>
std::optional<double> solutes_water(const std::vector<std::string>& comps, const Eigen::VectorXd& x,
                                    ReadLimits&& read) {
    const auto nc = static_cast<Eigen::Index>(comps.size());
    Eigen::Index iw = -1;
    for (Eigen::Index k = 0; k < nc; ++k) {
        if (comps[static_cast<std::size_t>(k)] != "H2O") continue;
        if (iw >= 0) return std::nullopt;  // a name twice: the caller's mapping decides
        iw = k;
    }
    const auto [kg_water, m_max] = read();
    const double xw = iw >= 0 ? x[iw] : 0.0;
    if (!(xw > 0.0) || nc == 0) return std::nullopt;
    double top = x[0];
    for (Eigen::Index k = 1; k < nc; ++k)
        if (x[k] > top) top = x[k];
    if (top > m_max * (xw * kg_water)) return std::nullopt;
    return xw;
}

// Whether the stability test of a split's liquid (flashes._stable_water) has nothing to test: no
// component but water beyond `molality` of it that is not a solvent (is_solvent(k), asked for
// the components beyond it in order until one is not). xw: water's mole fraction, mw: its molar
// mass [g/mol].
template <class IsSolvent>
bool stable_liquid(const std::vector<std::string>& comps, const Eigen::VectorXd& x, double xw,
                   double mw, double molality, IsSolvent&& is_solvent) {
    const double high = molality * (xw * mw / 1000.0);
    bool stable = true;
    for (Eigen::Index k = 0; k < x.size() && stable; ++k) {
        if (!(x[k] > high) || comps[static_cast<std::size_t>(k)] == "H2O") continue;
        stable = is_solvent(k);
    }
    return stable;
}

}  // namespace brinequil::core
