// Root finders of the phase-equilibrium code: MINPACK's hybrid Powell method with a
// forward-difference Jacobian (the Newton two-phase split) and Brent's bracketing method
// (the bubble temperature).
#pragma once
#include <Eigen/Dense>
#include <functional>
#include <limits>

namespace brinequil::core {

// Residual of a square system: fills r (already sized like x) at x.
using SystemFn = std::function<void(const Eigen::VectorXd& x, Eigen::VectorXd& r)>;

struct HybrdResult {
    Eigen::VectorXd x;    // last accepted iterate (the solution when converged)
    long nfev = 0;        // residual evaluations, the Jacobian's included
    int status = 0;       // MINPACK's info code (1: converged on xtol, 2: maxfev, 4/5: no progress)
    Eigen::MatrixXd jac;  // the solver's last Jacobian estimate (Q R, Broyden-updated)
};

// hybrd with xtol 1e-12, maxfev 200 (n + 1), factor 100, epsfcn 0 (machine precision), full
// Jacobian, internal scaling: the defaults of a plain hybrid-method root call except xtol.
// Exceptions thrown by f pass through unchanged.
HybrdResult hybrd(const SystemFn& f, const Eigen::VectorXd& x0, double xtol = 1e-12);

// Newton steps on a square system from x with the Jacobian estimate J (empty: forward
// differences), for a root close to x: J is updated by Broyden's rank-one rule after every step
// longer than update_step and replaced by forward differences when a step does not lower
// max |f|; a fresh Jacobian's step is halved up to three times. No step moves an unknown by more
// than max_step. Converged when max |f| <= ftol, when an accepted step is at most
// xtol (1 + max |x|), or when max |f| <= fnoise no longer halves in a step of at most
// xnoise (1 + max |x|) or in any step of a fresh Jacobian (f is known only to about that).
// On success x is the root, f_x = f(x), and the last call of f was at x; J is the estimate there.
struct NewtonResult {
    bool converged = false;
    long nfev = 0;
};
struct NewtonSettings {
    double ftol = 1e-11;
    double fnoise = 3e-9;
    double xtol = 1e-12;
    double xnoise = 1e-9;
    double update_step = 1e-6;
    double max_step = 2.0;
    long maxfev = 40;
};
NewtonResult warm_newton(const SystemFn& f, Eigen::VectorXd& x, Eigen::MatrixXd& J,
                         Eigen::VectorXd& f_x, const NewtonSettings& set = NewtonSettings());

// Brent's method on [a, b] (brentq): stops when |f| is exactly 0 or the bracket half-width
// falls below (xtol + rtol |x|) / 2. ValueError when f(a), f(b) have the same sign or f gives
// NaN; RuntimeError when maxiter iterations do not converge. xtol > 0, rtol >= 4 eps and
// maxiter >= 0 or ValueError: a smaller step than that can stall on the spacing of doubles.
// The front door's root searches (velmora.brinequil._brentq) run this one too.
double brentq(const std::function<double(double)>& f, double a, double b, double xtol = 1e-8,
              double rtol = 4.0 * std::numeric_limits<double>::epsilon(), int maxiter = 100);

}  // namespace brinequil::core
