// The front door's split with the vapor fraction given (velmora.flashes._fugacity_split_at_beta)
// in one call: damped Newton's method on ln (y_k phi_k P / f_k) over the volatile components k
// and ln (vapor / beta), the unknowns ln v_k (or ln (a_k - v_k) where the vapor takes most of a
// component at the start) and T. The Jacobian by forward differences, each step capped and
// halved until |r| falls, the same stopping rules, retry with larger differences and budget as
// flashes._fd_newton, so that the answer is the Python loop's to the rounding of the linear
// solve. The trial liquids come from the caller (the model's speciation).
#pragma once
#include <functional>
#include <string>
#include <vector>

#include <Eigen/Dense>

namespace brinequil::core {

// Thrown by an evaluation where the point has no split (the front door's _NoAnswer, its message):
// the line search halves its step, elsewhere Newton's method ends with it.
struct SplitNoAnswer {
    std::string why;
};

// Thrown by an evaluation that is not the usual one (a trial liquid whose speciation raised, a
// value that is not a finite number): the caller's own loop then runs.
struct SplitStepAside {};

struct SplitSettings {
    double tol = 1e-6;         // the front door's tolerance of a scaled fugacity mismatch
    double split_tol = 1e-3;   // done below split_tol * tol (half tol where the search stalls)
    int steps = 40;            // Newton steps
    double large_step = 1e-3;  // the difference step in ln v once the search stalled at 1e-5
    bool large_step_retry = true;
    long long budget = 300000;  // one per evaluation plus what each charges (its speciation)
};

// One evaluation at w: the rows r, the scaled residual (max |mismatch|) and the split it stands
// for.
struct SplitPoint {
    Eigen::VectorXd r;
    double scaled = 0.0;
    double vs = 0.0;  // vapor amount per unit of feed
    Eigen::VectorXd x, y, n;
    double T = 0.0;
    double ln_lambda =
        0.0;  // vapor_at_T's: ln of the incipient liquid's fugacities over the vapor's
};

// G(w, budget, out): the point at w into out, its cost charged to budget; throws SplitNoAnswer or
// SplitStepAside.
using SplitEvaluation =
    std::function<void(const Eigen::VectorXd& w, long long& budget, SplitPoint& out)>;

struct SplitNewton {
    enum Outcome : int {
        kFound = 0,      // point: the split
        kNoAnswer = 1,   // why: the message of the refusal
        kSpent = 2,      // the budget is spent (why: its message)
        kStepAside = 3,  // an evaluation was not the usual one
    };
    Outcome outcome = kStepAside;
    std::string why;
    SplitPoint point;
    int evaluations = 0;
    long long budget = 0;  // what is left of set.budget (below zero once spent)
};

// Damped Newton's method on G from w: differences of 1e-5 in the first m unknowns (logarithms)
// and of 1e-5 of the value in the rest (temperatures), no step beyond cap, halved down to 1e-6
// until r.r falls.
SplitNewton fd_newton(const SplitEvaluation& G, Eigen::VectorXd w, const Eigen::VectorXd& cap,
                      Eigen::Index m, const SplitSettings& set);

// The split of the feed z (over the components) with the vapor fraction beta at P.
struct SplitAtBeta {
    Eigen::VectorXd z;
    std::vector<Eigen::Index> V;        // the volatile components, the unknowns' order
    std::vector<Eigen::Index> species;  // each one's molecule among the true species
    std::vector<std::string> names;     // their names (messages)
    Eigen::VectorXd zV;                 // what the feed can give of each
    double P = 0.0, beta = 0.0;
    double T_min = 0.0, T_max = 0.0;    // K: a trial T outside has no answer
    double vapor_floor = 1e-12;         // velmora.checks.fugacity_mismatch's floor, share of P
    double resolution = 1e-10;          // ... and what the speciation resolves of ln f
    double cap_ln = 3.0, cap_T = 20.0;  // largest Newton step in ln v and in T [K]
};

// The trial liquid x (apparent mole fractions over the components) at T: f the fugacities [Pa]
// of the components V in their order, n its true amounts, and the cost charged to the budget
// (its speciation's iterations). Throws SplitStepAside where the liquid is not the usual one.
struct TrialLiquid {
    Eigen::VectorXd f, n;
    long long cost = 0;
};
using TrialLiquidOf = std::function<void(const Eigen::VectorXd& x, double T, TrialLiquid& out)>;

// Newton's method from w0 = (ln v_k over V, T0), the unknowns of a component whose vapor takes
// more than half of what the feed can give taken as ln (zV_k - v_k).
SplitNewton split_at_beta(const SplitAtBeta& p, const TrialLiquidOf& liquid,
                          const Eigen::VectorXd& w0, const SplitSettings& set);

// The split of the feed z at T and P (the TP flash's split on the liquid's fugacities, one start
// of velmora.flashes._fugacity_split): Newton's method from w0 = (ln v_k over V) on the rows
// ln (y_k P / f_k) alone, p.beta and p.cap_T unused; a stalled line search ends the start (no
// retry with larger differences, whatever set.large_step_retry says).
SplitNewton split_at_T(const SplitAtBeta& p, double T, const TrialLiquidOf& liquid,
                       const Eigen::VectorXd& w0, const SplitSettings& set);

// The dew point of the feed p.z (all vapor, y = z) at p.P (velmora.flashes._dew_point's Newton):
// the unknowns ln x_k over p.V (the incipient liquid's amounts, normalised to x / sum x) and T
// from w0, the rows ln f_k(x / sum x, T) - ln (z_k P) over V (the ideal gas) and ln sum x, no
// step beyond p.cap_ln in ln x nor p.cap_T in T, no retry with larger differences. The point's x
// the incipient liquid, y the feed, vs 1. p.zV, p.species and p.beta unused.
SplitNewton dew_point(const SplitAtBeta& p, const TrialLiquidOf& liquid, const Eigen::VectorXd& w0,
                      const SplitSettings& set);

// The feed p.z as a vapor at T and p.P with its incipient liquid (velmora.flashes.
// _vapor_on_fugacities' Newton): the unknowns ln x_k over p.V and ln lambda from w0, the rows
// ln f_k(x / sum x, T) - (ln z_k + ln P + ln lambda) over V (the ideal gas) and ln sum x, every
// unknown a logarithm (differences of 1e-5), no step beyond p.cap_ln, no retry with larger
// differences. The point's x the incipient liquid, y the feed, vs 1, ln_lambda; all vapor where
// ln_lambda >= 0 (the caller decides). p.zV, p.species, p.beta and p.T_min/T_max unused.
SplitNewton vapor_at_T(const SplitAtBeta& p, double T, const TrialLiquidOf& liquid,
                       const Eigen::VectorXd& w0, const SplitSettings& set);

}  // namespace brinequil::core
