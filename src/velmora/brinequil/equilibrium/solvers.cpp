#include "equilibrium/solvers.hpp"

#include <cmath>
#include <limits>
#include <sstream>
#include <unsupported/Eigen/NonLinearOptimization>

#include "model/errors.hpp"

// The QR update of hybrd's rank-one (Broyden) step, for double: the triangular s of
// Q s = J becomes that of J + u v^T, the rotations that do it stored for r1mpyq. Eigen's own
// leaves the second rotation of a column unset where the spike's entry there is already 0
// (and sets that column's first rotation to the identity instead), so that r1mpyq then applies
// whatever the heap held: a NH3-CO2-H2O split at 370 K converged or diverged with the calls
// made before it. Here a rotation that has nothing to eliminate is the identity, as MINPACK's
// r1updt has it; every other step is the same arithmetic in the same order.
namespace Eigen::internal {
template <>
inline void r1updt<double>(Matrix<double, Dynamic, Dynamic>& s, const Matrix<double, Dynamic, 1>& u,
                           std::vector<JacobiRotation<double>>& v_givens,
                           std::vector<JacobiRotation<double>>& w_givens,
                           Matrix<double, Dynamic, 1>& v, Matrix<double, Dynamic, 1>& w,
                           bool* sing) {
    const Index n = s.cols();
    eigen_assert(s.rows() == n && u.size() == n && v.size() == n && w.size() == n);
    const JacobiRotation<double> none(1.0, 0.0);
    // v rotated onto its last entry, the spike this puts below s's diagonal kept in w
    w[n - 1] = s(n - 1, n - 1);
    for (Index j = n - 2; j >= 0; --j) {
        w[j] = 0.0;
        v_givens[static_cast<std::size_t>(j)] = none;
        if (v[j] == 0.0) continue;
        JacobiRotation<double> g;
        g.makeGivens(-v[n - 1], v[j]);
        v[n - 1] = g.s() * v[j] + g.c() * v[n - 1];
        v_givens[static_cast<std::size_t>(j)] = g;
        for (Index i = j; i < n; ++i) {
            const double sji = s(j, i);
            s(j, i) = g.c() * sji - g.s() * w[i];
            w[i] = g.s() * sji + g.c() * w[i];
        }
    }
    w += v[n - 1] * u;  // the rank-one term
    // the spike rotated away, row by row
    *sing = false;
    for (Index j = 0; j < n - 1; ++j) {
        w_givens[static_cast<std::size_t>(j)] = none;
        if (w[j] != 0.0) {
            JacobiRotation<double> g;
            g.makeGivens(-s(j, j), w[j]);
            for (Index i = j; i < n; ++i) {
                const double sji = s(j, i);
                s(j, i) = g.c() * sji + g.s() * w[i];
                w[i] = -g.s() * sji + g.c() * w[i];
            }
            w_givens[static_cast<std::size_t>(j)] = g;
        }
        if (s(j, j) == 0.0) *sing = true;
    }
    s(n - 1, n - 1) = w[n - 1];
    if (s(n - 1, n - 1) == 0.0) *sing = true;
}
}  // namespace Eigen::internal

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
    if (solver.fjac.rows() == n && solver.R.rows() == n)
        out.jac = solver.fjac * solver.R.template triangularView<Eigen::Upper>();
    return out;
}

namespace {

double max_abs(const Eigen::VectorXd& v) { return v.size() ? v.cwiseAbs().maxCoeff() : 0.0; }

// Forward-difference Jacobian at x (f_x = f(x)), steps as MINPACK's fdjac1 with epsfcn 0.
void forward_jacobian(const SystemFn& f, const Eigen::VectorXd& x, const Eigen::VectorXd& f_x,
                      Eigen::MatrixXd& J, long& nfev) {
    const Eigen::Index n = x.size();
    const double eps = std::sqrt(std::numeric_limits<double>::epsilon());
    J.resize(n, n);
    Eigen::VectorXd xh = x, fh(n);
    for (Eigen::Index j = 0; j < n; ++j) {
        double h = eps * std::fabs(x[j]);
        if (h == 0.0) h = eps;
        xh[j] = x[j] + h;
        f(xh, fh);
        ++nfev;
        J.col(j) = (fh - f_x) / h;
        xh[j] = x[j];
    }
}

}  // namespace

NewtonResult warm_newton(const SystemFn& f, Eigen::VectorXd& x, Eigen::MatrixXd& J,
                         Eigen::VectorXd& f_x, const NewtonSettings& set) {
    constexpr int kHalvings = 3;
    const Eigen::Index n = x.size();
    NewtonResult out;
    f_x.resize(n);
    f(x, f_x);
    ++out.nfev;
    if (!f_x.allFinite()) return out;
    if (J.rows() != n || J.cols() != n || !J.allFinite()) J.resize(0, 0);
    bool fresh = false;  // J is a forward-difference Jacobian at x
    int halvings = 0;
    Eigen::VectorXd dx(n), xn(n), fn(n);
    auto settle = [&] {  // the last call of f at x again, after a refused step
        f(x, f_x);
        ++out.nfev;
        out.converged = f_x.allFinite();
        return out;
    };
    while (true) {
        const double norm = max_abs(f_x);
        if (norm <= set.ftol) {
            out.converged = true;
            return out;
        }
        if (out.nfev >= set.maxfev) return out;
        if (J.rows() == 0) {
            forward_jacobian(f, x, f_x, J, out.nfev);
            if (!J.allFinite()) return out;
            fresh = true;
            halvings = 0;
        }
        Eigen::PartialPivLU<Eigen::MatrixXd> lu(J);
        dx = -lu.solve(f_x);
        if (!dx.allFinite()) {
            if (fresh) return out;
            J.resize(0, 0);
            continue;
        }
        const double big = max_abs(dx);
        if (big > set.max_step) dx *= set.max_step / big;
        dx *= std::ldexp(1.0, -halvings);
        xn = x + dx;
        f(xn, fn);
        ++out.nfev;
        const double step = max_abs(dx);
        if (fn.allFinite() && max_abs(fn) < norm) {
            // A step at the noise of f would make the rank-one update noise: kept out.
            const double dd = dx.squaredNorm();
            if (step > set.update_step) J += ((fn - f_x) - J * dx) * (dx.transpose() / dd);
            x = xn;
            f_x = fn;
            fresh = false;
            halvings = 0;
            // Done on a step at the size of rounding, or when max |f| has come down to its
            // noise and a step no longer halves it.
            const double scale = 1.0 + max_abs(x);
            if (step <= set.xtol * scale ||
                (norm <= set.fnoise && max_abs(f_x) > 0.5 * norm && step <= set.xnoise * scale)) {
                out.converged = true;
                return out;
            }
        } else if (!fresh) {
            J.resize(0, 0);  // the estimate has gone stale: differences at x next
        } else if (norm <= set.fnoise) {
            return settle();  // not even a fresh Jacobian lowers max |f|: x is as close as f can
                              // tell
        } else if (++halvings > kHalvings) {
            return out;
        }
    }
}

double brentq(const std::function<double(double)>& f, double a, double b, double xtol, double rtol,
              int maxiter) {
    // faults of the caller, not failed solves: no "root finder: " (velmora.errors.SOLVE_FAILURES)
    const double eps4 = 4.0 * std::numeric_limits<double>::epsilon();
    if (!(xtol > 0.0)) throw ValueError("Brent's method: xtol must be > 0, got " + fmt(xtol));
    if (!(rtol >= eps4))
        throw ValueError("Brent's method: rtol must be >= 4 eps (" + fmt(eps4) + "), got " +
                         fmt(rtol));
    if (maxiter < 0)
        throw ValueError("Brent's method: maxiter must be >= 0, got " + std::to_string(maxiter));
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
            xpre = xcur;
            xcur = xblk;
            xblk = xpre;
            fpre = fcur;
            fcur = fblk;
            fblk = fpre;
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
