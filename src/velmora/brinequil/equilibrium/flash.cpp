#include "equilibrium/flash.hpp"

#include <algorithm>
#include <cmath>

#include "equilibrium/solvers.hpp"
#include "model/errors.hpp"

namespace brinequil::core {
namespace {

// Floors and limits of the flashes (mole fractions, amounts and fugacities are per unit of feed).
constexpr double kLiquidFloor = 1e-12;       // apparent liquid of the K-values before normalising
constexpr double kTiny = 1e-300;             // floor that keeps logarithms and divisions finite
constexpr double kSplitLow = 1e-10;          // Newton split start: vapor amount within
constexpr double kSplitHigh = 0.9999999999;  //   [kSplitLow z, kSplitHigh z]
constexpr double kLogitClip = 500.0;         // |s| of v = z / (1 + e^-s), so that e^-s stays finite
constexpr int kSubstitutionSteps = 15;       // successive substitution on K before the split
constexpr double kSubstitutionStart = 0.5;   // vapor fraction that marks a two-phase start
constexpr double kNonvolatileCap = 0.999999999999;  // beta with a nonvolatile in the feed
constexpr double kBubbleWindow = 20.0;       // K, window of the bubble-temperature search
constexpr int kBubbleWindows = 40;           // windows tried before Brent's method
constexpr double kBubbleXtol = 1e-8;         // K, Brent's tolerance on the bubble temperature

double at(const Eigen::VectorXd& v, Eigen::Index k, const char* what) {
    if (k < 0 || k >= v.size())
        throw IndexError(std::string(what) + ": index " + std::to_string(k) +
                         " is out of range for " + std::to_string(v.size()) + " entries");
    return v[k];
}

// v <- NumPy's maximum(v, floor): NaN stays NaN.
void floor_at(Eigen::VectorXd& v, double floor) {
    for (Eigen::Index k = 0; k < v.size(); ++k)
        if (!std::isnan(v[k])) v[k] = std::max(v[k], floor);
}

// sum_k K_k v_k over the components, with NaN kept.
double dot_k(const Eigen::VectorXd& K, const Eigen::VectorXd& v) {
    double s = 0.0;
    for (Eigen::Index k = 0; k < K.size(); ++k) s += K[k] * v[k];
    return s;
}

}  // namespace

void check_length(const Eigen::VectorXd& v, Eigen::Index ncomp, const char* what) {
    if (v.size() == ncomp) return;
    const std::string msg = std::string(what) + " has " + std::to_string(v.size()) +
                            " entries for " + std::to_string(ncomp) + " components";
    if (v.size() < ncomp) throw IndexError(msg);
    throw ValueError(msg);
}

KValues kvalues(const Eigen::VectorXd& xa_in, double P, Eigen::Index ncomp,
                const std::function<ComponentFugacities(const Eigen::VectorXd& xa)>& fug,
                const std::function<Eigen::VectorXd()>& ln_phi) {
    Eigen::VectorXd xa = xa_in;
    floor_at(xa, kLiquidFloor);
    xa /= xa.sum();
    ComponentFugacities f = fug(xa);
    const Eigen::VectorXd lp = ln_phi();
    KValues out;
    out.K = Eigen::VectorXd::Zero(ncomp);
    for (Eigen::Index k = 0; k < ncomp; ++k) {
        if (k >= static_cast<Eigen::Index>(f.has.size()) || !f.has[static_cast<std::size_t>(k)])
            continue;
        out.K[k] = f.f[k] / ((at(xa, k, "xa") * std::exp(at(lp, k, "ln phi"))) * P);
    }
    out.n = std::move(f.n);
    return out;
}

SplitResult flash_newton(const Eigen::VectorXd& z, double P, const Eigen::VectorXd& v0_in,
                         const std::vector<char>& vol, const SplitHooks& hooks) {
    const Eigen::Index nz = z.size();
    std::vector<Eigen::Index> idx;  // component positions of the variables
    for (std::size_t k = 0; k < vol.size(); ++k)
        if (vol[k]) idx.push_back(static_cast<Eigen::Index>(k));
    const auto nv = static_cast<Eigen::Index>(idx.size());

    Eigen::VectorXd v0 = v0_in;
    for (Eigen::Index k = 0; k < v0.size() && k < nz; ++k)
        v0[k] = std::min(std::max(v0[k], kSplitLow * z[k]), kSplitHigh * z[k]);

    // Work vectors of the residual, reused by every evaluation; they hold the last one.
    Eigen::VectorXd v(nz), l(nz), y(nz), xl(nz), n;
    const SystemFn res = [&](const Eigen::VectorXd& s, Eigen::VectorXd& r) {
        v.setZero();
        for (Eigen::Index j = 0; j < nv; ++j) {
            const Eigen::Index k = idx[static_cast<std::size_t>(j)];
            v[k] = at(z, k, "z") / (1.0 + std::exp(-std::min(std::max(s[j], -kLogitClip), kLogitClip)));
        }
        l = z - v;
        floor_at(l, kTiny);
        const double vs = v.sum();
        y = v / (std::isnan(vs) ? vs : std::max(vs, kTiny));
        floor_at(y, kTiny);
        xl = l / l.sum();
        ComponentFugacities f = hooks.fug(xl);
        const Eigen::VectorXd lp = hooks.ln_phi(y);
        n = std::move(f.n);
        r.resize(nv);
        for (Eigen::Index j = 0; j < nv; ++j) {
            const Eigen::Index k = idx[static_cast<std::size_t>(j)];
            if (k >= static_cast<Eigen::Index>(f.has.size()) || !f.has[static_cast<std::size_t>(k)])
                throw KeyError(hooks.name(k));
            const double fk = f.f[k];
            r[j] = std::log(std::isnan(fk) ? fk : std::max(fk, kTiny)) - std::log(y[k] * P) - at(lp, k, "ln phi");
        }
    };

    Eigen::VectorXd s0(nv);
    for (Eigen::Index j = 0; j < nv; ++j) {
        const Eigen::Index k = idx[static_cast<std::size_t>(j)];
        const double v0k = at(v0, k, "v0");
        s0[j] = std::log(v0k / (at(z, k, "z") - v0k));
    }
    const HybrdResult r = hybrd(res, s0);
    if (!r.x.allFinite()) throw ValueError("two-phase split of the electrolyte liquid diverged");
    Eigen::VectorXd rv(nv);
    res(r.x, rv);  // leaves the work vectors at the solution

    SplitResult out;
    out.beta = v.sum();
    out.x = l / l.sum();
    out.y = std::move(y);
    out.n = std::move(n);
    out.nfev = r.nfev;
    out.status = r.status;
    return out;
}

TPFlashResult flash_tp(const Eigen::VectorXd& z_in, Eigen::Index ncomp, double tol,
                       const TPFlashHooks& hooks) {
    check_length(z_in, ncomp, "z");
    const Eigen::VectorXd z = z_in / z_in.sum();
    Eigen::VectorXd x = z, y = z;
    KValues kv = hooks.kvalues(x, y);
    Eigen::VectorXd K = kv.K;
    Eigen::VectorXd n = kv.n;
    check_length(K, ncomp, "K");

    const double kz = dot_k(K, z);
    double beta = (kz <= 1.0) ? 0.0 : kSubstitutionStart;  // NaN gives the two-phase start
    long it = 0;
    double err = 0.0;
    const bool substituted = beta == kSubstitutionStart;
    if (substituted) {
        Eigen::VectorXd xn(ncomp), yn(ncomp);
        for (it = 0; it < kSubstitutionSteps; ++it) {
            beta = hooks.rachford_rice(z, K);
            const double b = std::min(std::max(beta, 0.0), 1.0);
            for (Eigen::Index k = 0; k < ncomp; ++k) {
                xn[k] = z[k] / (1.0 + b * (K[k] - 1.0));
                yn[k] = K[k] * xn[k];
            }
            x = xn / xn.sum();
            const double ys = yn.sum();
            y = yn / (std::isnan(ys) ? ys : std::max(ys, kTiny));
            KValues kn = hooks.kvalues(x, y);
            check_length(kn.K, ncomp, "K");
            err = 0.0;
            bool any = false, nan = false;
            for (Eigen::Index k = 0; k < ncomp; ++k) {
                if (!(kn.K[k] > 0.0 && K[k] > 0.0)) continue;
                const double e = std::fabs(std::log(kn.K[k] / K[k]));
                if (std::isnan(e)) nan = true;
                err = any ? std::max(err, e) : e;
                any = true;
            }
            if (nan) err = std::numeric_limits<double>::quiet_NaN();
            K = std::move(kn.K);
            n = std::move(kn.n);
            if (err < tol) break;
        }
        if (it == kSubstitutionSteps) it = kSubstitutionSteps - 1;  // the last step did not converge
    }

    if (0.0 < beta && beta < 1.0 && err >= tol) {
        SplitResult s = hooks.newton(z, beta * y);
        beta = s.beta;
        x = std::move(s.x);
        y = std::move(s.y);
        n = std::move(s.n);
        it += s.nfev;
    }

    if (beta >= 1.0) {
        for (Eigen::Index k = 0; k < ncomp; ++k)
            if (K[k] == 0.0 && z[k] > 0.0) {
                beta = kNonvolatileCap;
                break;
            }
    }

    if (beta <= 0.0) {
        beta = 0.0;
        x = z;
        n = hooks.true_amounts(x);
    } else if (beta >= 1.0) {
        beta = 1.0;
        y = z;
    }

    TPFlashResult out;
    if (beta > 0.0) {
        out.H = beta * hooks.enthalpy_vapor(y);
        out.S = beta * hooks.entropy_vapor(y);
    }
    if (beta < 1.0) {
        out.H += (1.0 - beta) * hooks.liquid_enthalpy(n);
        out.S += (1.0 - beta) * hooks.entropy_liquid(x);
    }
    out.beta = beta;
    out.x = std::move(x);
    out.y = std::move(y);
    out.iterations = it + 1;
    out.n = std::move(n);
    out.substituted = substituted;
    out.err = err;
    return out;
}

double rachford_rice(const Eigen::VectorXd& z, const Eigen::VectorXd& K) {
    constexpr int kMaxSteps = 200;
    constexpr double kStepTol = 1e-15;  // relative change of beta that ends the iteration
    const Eigen::Index m = std::min(z.size(), K.size());
    double dmax = -std::numeric_limits<double>::infinity(), dmin = std::numeric_limits<double>::infinity();
    bool any = false;
    for (Eigen::Index k = 0; k < m; ++k) {
        if (!(z[k] > 0.0)) continue;
        const double d = K[k] - 1.0;
        if (!std::isfinite(d)) return std::numeric_limits<double>::quiet_NaN();
        dmax = std::max(dmax, d);
        dmin = std::min(dmin, d);
        any = true;
    }
    if (!any) return 0.0;
    if (dmax <= 0.0 && dmin >= 0.0) return 0.0;
    if (dmax <= 0.0) return -std::numeric_limits<double>::infinity();
    if (dmin >= 0.0) return std::numeric_limits<double>::infinity();
    double lo = -1.0 / dmax, hi = -1.0 / dmin;
    double b = (lo < 0.5 && 0.5 < hi) ? 0.5 : 0.5 * (lo + hi);
    for (int step = 0; step < kMaxSteps; ++step) {
        double g = 0.0, dg = 0.0;
        for (Eigen::Index k = 0; k < m; ++k) {
            if (!(z[k] > 0.0)) continue;
            const double d = K[k] - 1.0;
            const double t = d / (1.0 + b * d);
            g += z[k] * t;
            dg -= z[k] * t * t;
        }
        if (g > 0.0) lo = b;
        else if (g < 0.0) hi = b;
        else return b;
        double nb = b - g / dg;
        if (!(lo < nb && nb < hi)) nb = 0.5 * (lo + hi);
        if (std::abs(nb - b) <= kStepTol * std::max(1.0, std::abs(b))) return nb;
        b = nb;
    }
    return b;
}

BubbleT bubble_t(const Eigen::VectorXd& x, double T0,
                 const std::function<Eigen::VectorXd(double T)>& kvalues) {
    auto f = [&](double T) {
        const Eigen::VectorXd K = kvalues(T);
        if (x.size() < K.size()) throw IndexError("x is shorter than the K-values");
        const double s = dot_k(K, x);
        return std::log(std::isnan(s) ? s : std::max(s, kTiny));
    };
    double lo = T0 - kBubbleWindow, hi = T0 + kBubbleWindow;
    for (int pass = 0; pass < kBubbleWindows; ++pass) {
        if (f(lo) < 0.0 && f(hi) > 0.0) break;
        if (f(lo) > 0.0) {
            hi = lo;
            lo = lo - kBubbleWindow;
        } else {
            lo = hi;
            hi = hi + kBubbleWindow;
        }
    }
    BubbleT out;
    out.T = brentq(f, lo, hi, kBubbleXtol);
    const Eigen::VectorXd K = kvalues(out.T);
    if (x.size() < K.size()) throw IndexError("x is shorter than the K-values");
    Eigen::VectorXd kx(K.size());
    for (Eigen::Index k = 0; k < K.size(); ++k) kx[k] = K[k] * x[k];
    out.y = kx / kx.sum();
    return out;
}

}  // namespace brinequil::core
