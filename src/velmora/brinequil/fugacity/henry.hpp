// Infinite-dilution references of the Henry components (ln gamma infinity, the unsymmetric
// convention of the equilibria) and the solvent-weighted Henry constant ln(H/gamma_inf)_mix.
#pragma once
#include <vector>

#include <Eigen/Dense>

#include "fugacity/lc_molecular.hpp"

namespace brinequil::core {

// Where gamma infinity of a Henry component is taken (the model option "henry_ref").
enum class HenryMode {
    Water,    // "water" (also when the option is absent): pure water
    Solvent,  // "solvent": the solvents of the given liquid, every non-solvent at 1e-12
    Mixture,  // "mixture": the given liquid itself, through the full activity model
    Other,    // any other value: the composition of "mixture", the molecular term of "water"
};

// Mode named by an option value (already known to be a string).
HenryMode henry_mode(const std::string& value);

struct HenryIndexSets {
    Eigen::Index n = 0;      // number of species
    std::vector<int> henry;  // Henry components
    std::vector<int> solv;   // solvents
    int water = 0;           // water
};

// The full activity model at a reference composition; returns element i of ln gamma.
class FullActivityAt {
public:
    virtual ~FullActivityAt() = default;
    virtual double operator()(const Eigen::VectorXd& xn, int i) = 0;
};

// Value of composition entries that stand for "absent" and of the solute at infinite dilution.
constexpr double kTrace = 1e-12;
constexpr double kSoluteTrace = 1e-9;

// out[i] = ln gamma_inf of each Henry component i, 0.0 for every other species.
// x: the liquid (mole fractions or amounts, length n) or nullptr (then the water reference in
// every mode). lc: the molecular term at T (used unless mode is Mixture); full: the activity
// model (used only in mode Mixture). xw is a work vector; both out and xw are resized to n.
// Index sets are checked against n (IndexError).
void henry_reference(HenryMode mode, const HenryIndexSets& sets, const MolecularNrtl& lc,
                     const Eigen::VectorXd* x, FullActivityAt* full, Eigen::VectorXd& out,
                     Eigen::VectorXd& xw);

// ln H [Pa] of one Henry pair: p[0] + p[1]/T + p[2] ln T + p[3] T (+ p[4]/T^2 with a fifth
// coefficient; later ones unread). Python-float failures at T = 0 and T < 0.
double henry_ln_h(const std::vector<double>& p, double T);

// Accumulates num/den of ln(H/gamma_inf)_mix over the Henry pairs of one solute:
// sum_A w_A (ln H_iA - ln gamma_inf_iA) / sum_A w_A, w_A = x_A Vc_A^(2/3).
class HenryMix {
public:
    void add(double x_solvent, double vc, double ln_h, double ln_gamma_inf);
    // ZeroDivisionError when no pair was added; NaN (no error) when every weight was 0.
    double result() const;

private:
    double num_ = 0.0, den_ = 0.0;
    bool any_ = false;
};

// One Henry pair of a model at T: the solvent's species position, its Vc, ln H and ln gamma_inf
// of the solute in the pure solvent.
struct HenryPair {
    Eigen::Index solvent;
    double vc, ln_h, ln_gamma_inf;
};
// The pair of the solute i (species position) in the solvent a with Henry coefficients p, ln
// gamma_inf by the molecular term lc at T (xa: work vector, n species).
HenryPair henry_pair(Eigen::Index n, int a, int i, double vc, const std::vector<double>& p,
                     double T, const MolecularNrtl& lc, Eigen::VectorXd& xa);
// ln (H/gamma_inf)_mix at the true mole fractions x over a solute's pairs, in their order.
template <class Pairs>
double ln_h_mix(const Pairs& pairs, const Eigen::VectorXd& x) {
    HenryMix mix;
    for (const HenryPair& h : pairs) mix.add(x[h.solvent], h.vc, h.ln_h, h.ln_gamma_inf);
    return mix.result();
}

// Pure-solvent reference for ln_h_mix: 1e-12 everywhere, 1.0 at the solvent a, 1e-9 at the solute i
// (not normalised: the molecular term is invariant to the scale).
void pure_solvent_reference(Eigen::Index n, int a, int i, Eigen::VectorXd& xa);

}  // namespace brinequil::core
