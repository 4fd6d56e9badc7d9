// Solid-liquid equilibrium of one set of present solids: the liquid's speciation and the solids'
// saturation solved together by Newton's method in (ln n, solid amounts). The activity model and
// the Henry reference enter through SolidLiquidModel, which the host binds to the model.
#pragma once
#include <Eigen/Dense>

#include "model/stoichiometry.hpp"

namespace brinequil::core {

// How a solve ended (the Python side falls back to its own method on anything but converged).
enum SolidStatus {
    kSolidConverged = 0,
    kSolidNotConverged = 1,
    kSolidDiverged = 2,
    kSolidOverridden = 3,  // not solved: a method of the model is replaced in Python
};

// The liquid's model at the solve's temperature.
class SolidLiquidModel {
public:
    virtual ~SolidLiquidModel() = default;
    // ln gamma of all species at the true mole fractions x.
    virtual void ln_gamma(const Eigen::VectorXd& x, Eigen::VectorXd& out) = 0;
    // ln gamma_inf of the Henry components (0 elsewhere): x == nullptr without composition
    // (once per solve), else at x (every residual, when the reference follows x).
    virtual void henry_ref(const Eigen::VectorXd* x, Eigen::VectorXd& out) = 0;
};

// The inputs of a solve for ns species and k solids (rows of nus): n0, n, lng and the rows of
// nus one entry per species, ln_ksp and s one per solid, n positive; ValueError otherwise.
void check_solid_inputs(Eigen::Index ns, const Eigen::VectorXd& n0, const Eigen::VectorXd& n,
                        const Eigen::VectorXd& lng, Eigen::Index nus_cols, Eigen::Index k,
                        const Eigen::VectorXd& ln_ksp, const Eigen::VectorXd& s);

// From the true amounts n (ln gamma lng) and the solid amounts s, in equilibrium with the feed
// n0 (on the species): nus holds the solids' dissolution into the species (a row each), ln_ksp
// their ln Ksp (mole-fraction basis). henry: the model has Henry components (else the reference
// is 0 and never asked for); ref_follows_x: it is evaluated at every iterate. Leaves the answer
// in n, lng, s and the Newton iterations of both stages in `iterations`. Converged: every
// residual below tol times its scale (1 + |ln K| of a reaction or solid, 1 of an invariant),
// or below 10 tol where no step lowers them. carried (or null): the derivative (nu; nu_s)
// d lng / d ln n, (reactions + solids) x species, of a neighbouring solve of the same set and T,
// in and out: where finite, the solve starts from it in place of differences of the model; it
// is given back as the solve left it where it converged from one (an answer at the start, which
// takes none, gives NaN), else NaN. Errors of the model pass through.
SolidStatus solve_solid_liquid(const Stoichiometry& st, const Eigen::VectorXd& n0,
                               const Eigen::VectorXd& lnK, const Eigen::MatrixXd& nus,
                               const Eigen::VectorXd& ln_ksp, SolidLiquidModel& model, bool henry,
                               bool ref_follows_x, Eigen::VectorXd& n, Eigen::VectorXd& lng,
                               Eigen::VectorXd& s, double tol, int maxit, int& iterations,
                               Eigen::MatrixXd* carried = nullptr);

}  // namespace brinequil::core
