#include "equilibrium/flash.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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
constexpr double kBubbleWindow = 20.0;              // K, window of the bubble-temperature search
constexpr int kBubbleWindows = 40;                  // windows tried before Brent's method
constexpr double kBubbleXtol = 1e-8;  // K, Brent's tolerance on the bubble temperature

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

std::vector<char> volatile_components(const std::vector<std::string>& comps,
                                      const std::vector<std::string>& names,
                                      const std::vector<int>& henry, const Eigen::VectorXd& z,
                                      const std::function<bool(std::size_t k)>& has_antoine) {
    std::vector<char> vol(comps.size(), 0);
    for (std::size_t k = 0; k < comps.size(); ++k) {
        bool volatile_ = has_antoine(k);
        if (!volatile_) {
            const auto it = std::find(names.begin(), names.end(), comps[k]);
            if (it == names.end()) throw ValueError("'" + comps[k] + "' is not in list");
            volatile_ = std::find(henry.begin(), henry.end(),
                                  static_cast<int>(it - names.begin())) != henry.end();
        }
        if (volatile_) {
            if (static_cast<Eigen::Index>(k) >= z.size())
                throw IndexError("z has " + std::to_string(z.size()) + " entries for " +
                                 std::to_string(comps.size()) + " components");
            vol[k] = z[static_cast<Eigen::Index>(k)] > 0.0;
        }
    }
    return vol;
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

namespace {

// The residual of the two-phase split on s, v = z / (1 + e^-s) over the volatile components:
// ln f_L - ln (y phi P). The work vectors hold the last evaluation.
class SplitResidual {
public:
    SplitResidual(const Eigen::VectorXd& z, double P, const std::vector<char>& vol,
                  const SplitHooks& hooks)
        : z_(z), P_(P), hooks_(hooks), v(z.size()), l(z.size()), y(z.size()), xl(z.size()) {
        for (std::size_t k = 0; k < vol.size(); ++k)
            if (vol[k]) idx_.push_back(static_cast<Eigen::Index>(k));
    }

    Eigen::Index size() const { return static_cast<Eigen::Index>(idx_.size()); }

    // s of the vapor amounts v0, each clipped to [kSplitLow z, kSplitHigh z] first.
    Eigen::VectorXd logits(const Eigen::VectorXd& v0_in) const {
        Eigen::VectorXd v0 = v0_in;
        for (Eigen::Index k = 0; k < v0.size() && k < z_.size(); ++k)
            v0[k] = std::min(std::max(v0[k], kSplitLow * z_[k]), kSplitHigh * z_[k]);
        Eigen::VectorXd s0(size());
        for (Eigen::Index j = 0; j < size(); ++j) {
            const Eigen::Index k = idx_[static_cast<std::size_t>(j)];
            const double v0k = at(v0, k, "v0");
            s0[j] = std::log(v0k / (at(z_, k, "z") - v0k));
        }
        return s0;
    }

    void operator()(const Eigen::VectorXd& s, Eigen::VectorXd& r) {
        const Eigen::Index nv = size();
        v.setZero();
        for (Eigen::Index j = 0; j < nv; ++j) {
            const Eigen::Index k = idx_[static_cast<std::size_t>(j)];
            v[k] = at(z_, k, "z") /
                   (1.0 + std::exp(-std::min(std::max(s[j], -kLogitClip), kLogitClip)));
        }
        l = z_ - v;
        floor_at(l, kTiny);
        const double vs = v.sum();
        y = v / (std::isnan(vs) ? vs : std::max(vs, kTiny));
        floor_at(y, kTiny);
        xl = l / l.sum();
        ComponentFugacities f = hooks_.fug(xl);
        const Eigen::VectorXd lp = hooks_.ln_phi(y);
        n = std::move(f.n);
        r.resize(nv);
        for (Eigen::Index j = 0; j < nv; ++j) {
            const Eigen::Index k = idx_[static_cast<std::size_t>(j)];
            if (k >= static_cast<Eigen::Index>(f.has.size()) || !f.has[static_cast<std::size_t>(k)])
                throw KeyError(hooks_.name(k));
            const double fk = f.f[k];
            r[j] = std::log(std::isnan(fk) ? fk : std::max(fk, kTiny)) - std::log(y[k] * P_) -
                   at(lp, k, "ln phi");
        }
    }

    // The split of the last evaluation.
    SplitResult result(const Eigen::VectorXd& s) {
        SplitResult out;
        out.beta = v.sum();
        out.x = l / l.sum();
        out.y = y;
        out.n = std::move(n);
        out.s = s;
        return out;
    }

private:
    const Eigen::VectorXd& z_;
    double P_;
    const SplitHooks& hooks_;
    std::vector<Eigen::Index> idx_;  // component positions of the variables

public:
    Eigen::VectorXd v, l, y, xl, n;  // work vectors, reused by every evaluation
};

}  // namespace

SplitResult flash_newton(const Eigen::VectorXd& z, double P, const Eigen::VectorXd& v0,
                         const std::vector<char>& vol, const SplitHooks& hooks) {
    SplitResidual res(z, P, vol, hooks);
    const SystemFn fn = [&](const Eigen::VectorXd& s, Eigen::VectorXd& r) { res(s, r); };
    const HybrdResult r = hybrd(fn, res.logits(v0));
    if (!r.x.allFinite()) throw ValueError("two-phase split of the electrolyte liquid diverged");
    Eigen::VectorXd rv(res.size());
    res(r.x, rv);  // leaves the work vectors at the solution
    SplitResult out = res.result(r.x);
    out.nfev = r.nfev;
    out.status = r.status;
    out.jac = r.jac;
    return out;
}

bool split_near(const Eigen::VectorXd& z, double P, const std::vector<char>& vol,
                const SplitHooks& hooks, SplitStart& start, SplitResult& out) {
    SplitResidual res(z, P, vol, hooks);
    const Eigen::Index nv = res.size();
    if (nv == 0) return false;
    Eigen::VectorXd s = start.s.size() == nv ? start.s : res.logits(start.v0);
    if (!s.allFinite()) return false;
    const SystemFn fn = [&](const Eigen::VectorXd& x, Eigen::VectorXd& r) { res(x, r); };
    Eigen::VectorXd r;
    const NewtonResult nr = warm_newton(fn, s, start.J, r);
    if (!nr.converged) return false;
    out = res.result(s);  // the last evaluation was at s
    out.nfev = nr.nfev;
    out.status = 1;
    if (!(0.0 < out.beta && out.beta < 1.0)) return false;
    start.s = s;
    return true;
}

void phase_energies(double beta, const Eigen::VectorXd& x, const Eigen::VectorXd& y,
                    const Eigen::VectorXd& n, const TPFlashHooks& hooks, double* H, double* S) {
    double h = 0.0, s = 0.0;
    if (beta > 0.0) {
        if (H) h = beta * hooks.enthalpy_vapor(y);
        if (S) s = beta * hooks.entropy_vapor(y);
    }
    if (beta < 1.0) {
        if (H) h += (1.0 - beta) * hooks.liquid_enthalpy(n);
        if (S) s += (1.0 - beta) * hooks.entropy_liquid(x);
    }
    if (H) *H = h;
    if (S) *S = s;
}

Substitution substitute(const Eigen::VectorXd& z, Eigen::Index ncomp, double tol,
                        const TPFlashHooks& hooks, int steps) {
    SubstitutionOptions opt;
    opt.tol = tol;
    opt.steps = steps;
    return substitute(z, ncomp, hooks, opt);
}

Substitution substitute(const Eigen::VectorXd& z_in, Eigen::Index ncomp, const TPFlashHooks& hooks,
                        const SubstitutionOptions& opt) {
    check_length(z_in, ncomp, "z");
    Substitution sub;
    if (opt.normalise)
        sub.z = z_in / z_in.sum();
    else
        sub.z = z_in;
    const Eigen::VectorXd& z = sub.z;
    Eigen::VectorXd& x = sub.x;
    Eigen::VectorXd& y = sub.y;
    Eigen::VectorXd& K = sub.K;
    double& beta = sub.beta;
    double& err = sub.err;
    long& it = sub.it;
    const double tol = opt.tol;
    const int steps = opt.steps;
    x = opt.x ? *opt.x : z;
    y = opt.y ? *opt.y : z;
    KValues kv = hooks.kvalues(x, y);
    K = std::move(kv.K);
    sub.n = std::move(kv.n);
    check_length(K, ncomp, "K");

    if (opt.bubble_test) {
        const double kz = dot_k(K, z);
        beta = (kz <= 1.0) ? 0.0 : kSubstitutionStart;  // NaN gives the two-phase start
        sub.substituted = beta == kSubstitutionStart;
    } else {
        sub.substituted = steps > 0;
    }
    if (sub.substituted) {
        Eigen::VectorXd xn(ncomp), yn(ncomp);
        double w = 1.0, last = std::numeric_limits<double>::infinity();
        double low = std::numeric_limits<double>::infinity();  // the smallest change so far
        int since = 0;                                         // steps since it was set
        for (it = 0; it < steps; ++it) {
            beta = hooks.rachford_rice(z, K);
            const double b = std::min(std::max(beta, 0.0), 1.0);
            for (Eigen::Index k = 0; k < ncomp; ++k) {
                xn[k] = (opt.absent_stay_absent && !(z[k] > 0.0)) ? 0.0
                                                                  : z[k] / (1.0 + b * (K[k] - 1.0));
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
            if (opt.stall_steps > 0 && !(err < tol)) {
                if (err < low) {
                    low = err;
                    since = 0;
                } else if (++since >= opt.stall_steps && err < opt.stall_tol) {
                    K = std::move(kn.K);
                    sub.n = std::move(kn.n);
                    break;
                }
            }
            if (opt.damped && !(err < tol)) {
                if (err > 0.9 * last) w = std::max(0.1, 0.5 * w);
                last = err;
                // ln K = (1 - w) ln K + w ln K_new where both are positive, else K_new
                for (Eigen::Index k = 0; k < ncomp; ++k)
                    K[k] = (kn.K[k] > 0.0 && K[k] > 0.0)
                               ? std::exp((1.0 - w) * std::log(K[k]) + w * std::log(kn.K[k]))
                               : kn.K[k];
            } else {
                K = std::move(kn.K);
            }
            sub.n = std::move(kn.n);
            if (err < tol) {
                sub.settled = true;
                break;
            }
        }
        if (it == steps) it = steps - 1;  // the last step did not converge
    } else {
        sub.settled = true;
    }
    return sub;
}

TPFlashResult flash_tp(const Eigen::VectorXd& z, Eigen::Index ncomp, double tol,
                       const TPFlashHooks& hooks) {
    return finish_flash(substitute(z, ncomp, tol, hooks, kSubstitutionSteps), tol, hooks);
}

TPFlashResult finish_flash(Substitution sub, double tol, const TPFlashHooks& hooks) {
    const Eigen::VectorXd& z = sub.z;
    const Eigen::Index ncomp = z.size();
    Eigen::VectorXd& x = sub.x;
    Eigen::VectorXd& y = sub.y;
    Eigen::VectorXd& n = sub.n;
    const Eigen::VectorXd& K = sub.K;
    double& beta = sub.beta;
    long& it = sub.it;
    const double err = sub.err;
    const bool substituted = sub.substituted;

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
    phase_energies(beta, x, y, n, hooks, &out.H, &out.S);
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
    double dmax = -std::numeric_limits<double>::infinity(),
           dmin = std::numeric_limits<double>::infinity();
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
        if (g > 0.0)
            lo = b;
        else if (g < 0.0)
            hi = b;
        else
            return b;
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
