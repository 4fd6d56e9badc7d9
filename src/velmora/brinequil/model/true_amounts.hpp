// Chemical equilibrium of the liquid: true amounts n of all species from the apparent amounts.
//
// Newton on u = ln n with the residuals
//   f_eq = nu (ln x + lng - ref) - lnK          (one per equilibrium reaction)
//   f_b  = (B exp(u) - B n0) / tot              (reaction invariants: elements and charge)
// ln gamma held fixed inside a Newton solve and updated around it (outer loop) until it settles.
// The Newton step is the minimum-norm least-squares solution (SVD, relative cut-off
// eps * max(rows, cols)), damped so that no ln n moves by more than 2. Species with no amount in
// no reaction have a known step (-1, then 0 below the cut-off) and stay out of the linear system.
#pragma once
#include <Eigen/Dense>

#include "model/stoichiometry.hpp"

namespace brinequil::core {

// What the solver needs from outside: the activity model and the Henry reference term.
class SpeciationCallbacks {
public:
    virtual ~SpeciationCallbacks() = default;
    // ln gamma of all species at the true mole fractions x (the call's T).
    virtual void ln_gamma(const Eigen::VectorXd& x, Eigen::VectorXd& out) = 0;
    // Reference term of the unsymmetric convention (ln gamma_inf of the Henry components, 0
    // elsewhere). x == nullptr: without composition (called once per solve);
    // otherwise at the current x (called every Newton iteration when ref_follows_x).
    virtual void henry_ref(const Eigen::VectorXd* x, const Eigen::VectorXd& lng,
                           Eigen::VectorXd& out) = 0;
};

struct SpeciationSettings {
    double tol = 1e-11;         // on the largest residual
    int maxit = 200;            // Newton iterations per outer pass
    int max_outer = 50;         // passes of the ln gamma loop
    double lng_tol = 1e-10;     // absolute change of ln gamma that ends the outer loop
    bool ref_follows_x = true;  // henry_ref mode "solvent"/"mixture"
    // Off by default (trace_maxit 0). tol holds each balance to a fraction of the liquid's total,
    // which leaves a trace component's own total loose (x 1e-11: off by up to 100 %). After the
    // residuals meet tol, the Newton steps go on while one changes the amount of a species by more
    // than trace_tol of itself and more than trace_noise of the total, at most trace_maxit steps
    // per pass; an answer whose next step moves nothing that far is returned unchanged.
    double trace_tol = 1e-11;
    double trace_noise = 1e-14;
    int trace_maxit = 0;
};

// Warm start: stored true amounts per unit total (w) and their ln gamma.
struct WarmStart {
    const Eigen::VectorXd* w = nullptr;
    const Eigen::VectorXd* lng = nullptr;
};

struct SpeciationResult {
    Eigen::VectorXd n, lng;
    double tot = 0.0;  // sum of n0 after the complete dissociations (scale of the warm record)
    int newton_iterations = 0;
    int outer_passes = 0;
    // The last Newton solve met tol and ln gamma settled (not stopped by an iteration cap).
    bool converged = false;
    bool finite() const { return n.allFinite() && lng.allFinite(); }
};

// n0: apparent amounts on the species after complete dissociation; lnK at the call's T.
// Throws ValueError "chemical equilibrium of the liquid diverged" on a non-finite residual.
// Callback exceptions pass through. Work arrays are allocated once per call.
SpeciationResult solve_speciation(const Stoichiometry& st, const Eigen::VectorXd& n0,
                                  const Eigen::VectorXd& lnK, const WarmStart& warm,
                                  const SpeciationSettings& set, SpeciationCallbacks& cb);

// The inputs of a speciation against the reactions it was built on: n species (ValueError naming
// the species object), and `count` constants (ValueError: from the model's K records where
// from_records, else from a replacement of lnK).
void check_species(const Stoichiometry& st, Eigen::Index n);
void check_constants(const Stoichiometry& st, Eigen::Index count, bool from_records);

extern const char* const kDivergedMessage;

}  // namespace brinequil::core
