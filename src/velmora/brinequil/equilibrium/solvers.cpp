#include "equilibrium/solvers.hpp"

#include <cmath>
#include <sstream>
#include <unsupported/Eigen/NonLinearOptimization>

#include "model/errors.hpp"

namespace brinequil::core {
namespace {

// Adapter for Eigen's port of hybrd; the solver calls operator() const, also inside the
// finite-difference Jacobian, so every residual evaluation goes through here.
struct SystemFunctor {
    const SystemFn* f;
    int operator()(const Eigen::VectorXd& x, Eigen::VectorXd& r) const {
        r.resize(x.size());
        (*f)(x, r);
        return 0;
    }
};

std::string fmt(double v) {
    std::ostringstream s;
    s.precision(17);
    s << v;
    return s.str();
}

}  // namespace

HybrdResult hybrd(const SystemFn& f, const Eigen::VectorXd& x0, double xtol) {
    SystemFunctor functor{&f};
    Eigen::HybridNonLinearSolver<SystemFunctor> solver(functor);
    const Eigen::Index n = x0.size();
    solver.parameters.xtol = xtol;
    solver.parameters.maxfev = 200 * (n + 1);
    solver.parameters.factor = 100.0;
    solver.parameters.epsfcn = 0.0;
    solver.parameters.nb_of_subdiagonals = -1;
    solver.parameters.nb_of_superdiagonals = -1;
    solver.useExternalScaling = false;
    HybrdResult out;
    out.x = x0;
    out.status = static_cast<int>(solver.solveNumericalDiff(out.x));
    out.nfev = static_cast<long>(solver.nfev);
    return out;
}

double brentq(const std::function<double(double)>& f, double a, double b, double xtol, double rtol,
              int maxiter) {
    auto eval = [&f](double x) {
        const double v = f(x);
        if (std::isnan(v))
            throw ValueError("root finder: the function value at x=" + fmt(x) +
                             " is NaN; the bracketing cannot go on");
        return v;
    };
    double xpre = a, xcur = b, xblk = 0.0;
    double fpre = eval(xpre), fcur = eval(xcur), fblk = 0.0;
    double spre = 0.0, scur = 0.0;
    if (fpre == 0.0) return xpre;
    if (fcur == 0.0) return xcur;
    if (std::signbit(fpre) == std::signbit(fcur))
        throw ValueError("root finder: no sign change between " + fmt(a) + " and " + fmt(b) +
                         " (f(a) and f(b) must have different signs)");
    for (int i = 0; i < maxiter; ++i) {
        if (fpre != 0.0 && fcur != 0.0 && std::signbit(fpre) != std::signbit(fcur)) {
            xblk = xpre;
            fblk = fpre;
            spre = scur = xcur - xpre;
        }
        if (std::fabs(fblk) < std::fabs(fcur)) {
            xpre = xcur; xcur = xblk; xblk = xpre;
            fpre = fcur; fcur = fblk; fblk = fpre;
        }
        const double delta = (xtol + rtol * std::fabs(xcur)) / 2.0;
        const double sbis = (xblk - xcur) / 2.0;
        if (fcur == 0.0 || std::fabs(sbis) < delta) return xcur;

        if (std::fabs(spre) > delta && std::fabs(fcur) < std::fabs(fpre)) {
            double stry;
            if (xpre == xblk) {  // secant
                stry = -fcur * (xcur - xpre) / (fcur - fpre);
            } else {  // inverse quadratic
                const double dpre = (fpre - fcur) / (xpre - xcur);
                const double dblk = (fblk - fcur) / (xblk - xcur);
                stry = -fcur * (fblk * dblk - fpre * dpre) / (dblk * dpre * (fblk - fpre));
            }
            if (2.0 * std::fabs(stry) < std::min(std::fabs(spre), 3.0 * std::fabs(sbis) - delta)) {
                spre = scur;
                scur = stry;
            } else {
                spre = sbis;
                scur = sbis;
            }
        } else {
            spre = sbis;
            scur = sbis;
        }
        xpre = xcur;
        fpre = fcur;
        if (std::fabs(scur) > delta)
            xcur += scur;
        else
            xcur += (sbis > 0.0 ? delta : -delta);
        fcur = eval(xcur);
    }
    throw RuntimeError("root finder: no convergence after " + std::to_string(maxiter) +
                       " iterations, last value " + fmt(xcur));
}

}  // namespace brinequil::core
