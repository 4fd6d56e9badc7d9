#include "equilibrium/split_newton.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "equilibrium/bubble_search.hpp"

namespace brinequil::core {

namespace {

struct Spent {};

constexpr double kStep = 1e-5;       // difference step: ln v, and a share of T
constexpr double kLeastStep = 1e-6;  // the line search's last halving

std::string scaled_text(const char* head, double v, const char* tail) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3g", v);  // Python's format(v, ".3g")
    return std::string(head) + buf + tail;
}

double dot(const Eigen::VectorXd& a) {
    double s = 0.0;
    for (Eigen::Index i = 0; i < a.size(); ++i) s += a[i] * a[i];
    return s;
}

// velmora.checks.fugacity_mismatch: |f_L - f_V| / (max + resolution f_L / (x tol)), 0 where
// both lie below floor * P.
double mismatch(double fl, double fv, double P, double x, double tol, const SplitAtBeta& p) {
    if (std::max(fl, fv) <= p.vapor_floor * P) return 0.0;
    const double unresolved = x > 0.0 ? p.resolution * fl / (x * tol) : 0.0;
    return std::fabs(fl - fv) / (std::max(fl, fv) + unresolved);
}

}  // namespace

SplitNewton fd_newton(const SplitEvaluation& G, Eigen::VectorXd w, const Eigen::VectorXd& cap,
                      Eigen::Index m, const SplitSettings& set) {
    SplitNewton out;
    long long budget = set.budget;
    auto counted = [&](const Eigen::VectorXd& at, SplitPoint& p) {
        if (--budget < 0) throw Spent{};
        G(at, budget, p);
    };
    const Eigen::Index nw = w.size();
    SplitPoint cur, trial, column;
    Eigen::MatrixXd J(nw, nw);
    Eigen::VectorXd d(nw), wj(nw), wt(nw);
    try {
        counted(w, cur);
        int evals = 1;
        double h_ln = kStep;
        for (int step = 0; step < set.steps; ++step) {
            if (cur.scaled <= set.split_tol * set.tol) break;
            for (Eigen::Index j = 0; j < nw; ++j) {
                const double h = j < m ? h_ln : kStep * w[j];
                wj = w;
                wj[j] += h;
                counted(wj, column);
                J.col(j) = (column.r - cur.r) / h;
            }
            evals += static_cast<int>(nw);
            if (!J.allFinite()) throw SplitStepAside{};
            const Eigen::PartialPivLU<Eigen::MatrixXd> lu(J);
            if ((lu.matrixLU().diagonal().array() == 0.0).any()) {
                out.outcome = SplitNewton::kNoAnswer;
                out.why = "singular split Jacobian";
                out.evaluations = evals;
                out.budget = budget;
                return out;
            }
            d = lu.solve(-cur.r);
            if (!d.allFinite()) throw SplitStepAside{};
            double scale = 1.0;
            for (Eigen::Index j = 0; j < nw; ++j)
                scale = std::min(scale, cap[j] / std::max(std::fabs(d[j]), 1e-300));
            d *= scale;
            double t = 1.0;
            const double rr = dot(cur.r);
            while (true) {
                try {
                    wt = w + t * d;
                    counted(wt, trial);
                    ++evals;
                    if (dot(trial.r) < rr) break;
                } catch (const SplitNoAnswer&) {
                }
                t *= 0.5;
                if (t < kLeastStep) break;
            }
            if (t < kLeastStep) {
                if (cur.scaled <= 0.5 * set.tol) {  // at the speciation's noise floor
                    out.outcome = SplitNewton::kFound;
                    out.point = std::move(cur);
                    out.evaluations = evals;
                    out.budget = budget;
                    return out;
                }
                if (set.large_step_retry && h_ln < set.large_step) {
                    h_ln = set.large_step;
                    continue;
                }
                out.outcome = SplitNewton::kNoAnswer;
                out.why =
                    scaled_text("split stalled at a scaled |ln f_L - ln f_V| of ", cur.scaled, "");
                out.evaluations = evals;
                out.budget = budget;
                return out;
            }
            w = wt;
            std::swap(cur, trial);
        }
        out.evaluations = evals;
        if (cur.scaled > 0.5 * set.tol) {
            out.outcome = SplitNewton::kNoAnswer;
            out.why = scaled_text(
                ("split not converged in " + std::to_string(set.steps) + " steps (scaled residual ")
                    .c_str(),
                cur.scaled, ")");
            out.budget = budget;
            return out;
        }
        out.outcome = SplitNewton::kFound;
        out.point = std::move(cur);
    } catch (const SplitNoAnswer& e) {
        out.outcome = SplitNewton::kNoAnswer;
        out.why = e.why;
    } catch (const Spent&) {
        out.outcome = SplitNewton::kSpent;
        out.why = "split: evaluation budget spent";
    } catch (const SplitStepAside&) {
        out.outcome = SplitNewton::kStepAside;
    }
    out.budget = budget;
    return out;
}

namespace {

// split_at_beta (free_T: T the last unknown, the last row ln (vapor / beta)) and split_at_T (T
// given): the same evaluation otherwise, as flashes._fugacity_newton's F.
SplitNewton split_newton(const SplitAtBeta& p, const TrialLiquidOf& liquid,
                         const Eigen::VectorXd& w0, SplitSettings set, bool free_T,
                         double T_given) {
    const auto m = static_cast<Eigen::Index>(p.V.size());
    const Eigen::Index nc = p.z.size();
    // a component the vapor takes most of at the start: its unknown is ln of what stays liquid
    // (the small difference of two near equals, CO2 boiled out of a water)
    Eigen::VectorXd w = w0;
    std::vector<char> liq(static_cast<std::size_t>(m), 0);
    for (Eigen::Index i = 0; i < m; ++i) {
        const double v0 = std::exp(w[i]);
        if (v0 > 0.5 * p.zV[i] && p.zV[i] - v0 > 0.0) {
            liq[static_cast<std::size_t>(i)] = 1;
            w[i] = std::log(p.zV[i] - v0);
        }
    }
    const double lnP = std::log(p.P);
    const Eigen::Index nr = free_T ? m + 1 : m;
    Eigen::VectorXd v(nc), mis(nr);
    TrialLiquid trial;
    auto G = [&](const Eigen::VectorXd& at, long long& budget, SplitPoint& out) {
        const double T = free_T ? at[m] : T_given;
        if (!(p.T_min <= T && T <= p.T_max)) throw SplitNoAnswer{"temperature out of range"};
        v.setZero();
        bool positive = true, within = true;
        for (Eigen::Index i = 0; i < m; ++i) {
            const double e = std::exp(at[i]);
            const double vi = liq[static_cast<std::size_t>(i)] ? p.zV[i] - e : e;
            positive = positive && vi > 0.0;
            within = within && !(vi > p.zV[i]);
            v[p.V[static_cast<std::size_t>(i)]] = vi;
        }
        if (!positive) throw SplitNoAnswer{"a vapor amount out of range"};
        // more than the feed can give: the liquid would hold less than none of an element
        if (!within)
            throw SplitNoAnswer{"the vapor takes more of a component than the feed can give"};
        const double vs = numpy_sum(v.data(), nc);
        if (!(0.0 < vs && vs < 1.0)) throw SplitNoAnswer{"vapor fraction out of range"};
        out.x = (p.z - v) / (1.0 - vs);
        out.y = v / vs;
        liquid(out.x, T, trial);
        budget -= trial.cost;
        const double tot = numpy_sum(trial.n.data(), trial.n.size());
        out.r.resize(nr);
        for (Eigen::Index i = 0; i < m; ++i) {
            const auto k = p.V[static_cast<std::size_t>(i)];
            const double fk = trial.f[i];
            if (!(fk > 0.0))
                throw SplitNoAnswer{"the liquid holds no " + p.names[static_cast<std::size_t>(i)]};
            // ln (y phi P / f) with ln phi = 0 (the ideal gas)
            out.r[i] = std::log(out.y[k]) + 0.0 + lnP - std::log(fk);
            const double xm =
                std::max(out.x[k], trial.n[p.species[static_cast<std::size_t>(i)]] / tot);
            mis[i] = mismatch(fk, fk * std::exp(out.r[i]), p.P, xm, set.tol, p);
        }
        if (free_T) out.r[m] = mis[m] = std::log(vs / p.beta);
        out.scaled = mis.cwiseAbs().maxCoeff();
        if (!out.r.allFinite() || !mis.allFinite()) throw SplitStepAside{};
        out.vs = vs;
        out.n = trial.n;
        out.T = T;
    };
    Eigen::VectorXd cap = Eigen::VectorXd::Constant(nr, p.cap_ln);
    if (free_T) cap[m] = p.cap_T;
    if (!free_T) set.large_step_retry = false;  // a stalled start is left to the next one
    return fd_newton(G, std::move(w), cap, m, set);
}

// One evaluation of an incipient liquid's Newton's method (the dew point's, the all-vapor
// test's) into out: the trial liquid x = xa / sum xa at T from ln x over V (at's first m), the
// rows ln f_k - ln fv_of(i) over V and ln sum x, the feed as the vapor.
template <class VaporFugacity>
void incipient_rows(const SplitAtBeta& p, const TrialLiquidOf& liquid, double tol,
                    const Eigen::VectorXd& at, double T, const VaporFugacity& fv_of,
                    Eigen::VectorXd& xa, Eigen::VectorXd& mis, TrialLiquid& trial,
                    long long& budget, SplitPoint& out) {
    const auto m = static_cast<Eigen::Index>(p.V.size());
    xa.setZero();
    for (Eigen::Index i = 0; i < m; ++i) xa[p.V[static_cast<std::size_t>(i)]] = std::exp(at[i]);
    const double sum = numpy_sum(xa.data(), xa.size());
    out.x = xa / sum;
    liquid(out.x, T, trial);
    budget -= trial.cost;
    out.r.resize(m + 1);
    for (Eigen::Index i = 0; i < m; ++i) {
        const auto k = p.V[static_cast<std::size_t>(i)];
        const double fk = trial.f[i], fv = fv_of(i);
        if (!(fk > 0.0))
            throw SplitNoAnswer{"the liquid holds no " + p.names[static_cast<std::size_t>(i)]};
        out.r[i] = std::log(fk) - std::log(fv);
        mis[i] = mismatch(fk, fv, p.P, xa[k] / sum, tol, p);
    }
    out.r[m] = mis[m] = std::log(sum);
    out.scaled = mis.cwiseAbs().maxCoeff();
    if (!out.r.allFinite() || !mis.allFinite()) throw SplitStepAside{};
    out.y = p.z;
    out.vs = 1.0;
    out.n = trial.n;
    out.T = T;
}

}  // namespace

SplitNewton split_at_beta(const SplitAtBeta& p, const TrialLiquidOf& liquid,
                          const Eigen::VectorXd& w0, const SplitSettings& set) {
    return split_newton(p, liquid, w0, set, true, 0.0);
}

SplitNewton split_at_T(const SplitAtBeta& p, double T, const TrialLiquidOf& liquid,
                       const Eigen::VectorXd& w0, const SplitSettings& set) {
    return split_newton(p, liquid, w0, set, false, T);
}

SplitNewton dew_point(const SplitAtBeta& p, const TrialLiquidOf& liquid, const Eigen::VectorXd& w0,
                      const SplitSettings& given) {
    SplitSettings set = given;
    set.large_step_retry = false;  // the loop's _fd_newton without large_step
    const auto m = static_cast<Eigen::Index>(p.V.size());
    const Eigen::Index nc = p.z.size();
    Eigen::VectorXd xa(nc), mis(m + 1);
    TrialLiquid trial;
    auto G = [&](const Eigen::VectorXd& at, long long& budget, SplitPoint& out) {
        const double T = at[m];
        if (!(p.T_min <= T && T <= p.T_max)) throw SplitNoAnswer{"temperature out of range"};
        // z phi P with ln phi = 0 (the ideal gas): z exp(0) P, the loop's product
        const auto fv = [&](Eigen::Index i) {
            return p.z[p.V[static_cast<std::size_t>(i)]] * 1.0 * p.P;
        };
        incipient_rows(p, liquid, set.tol, at, T, fv, xa, mis, trial, budget, out);
    };
    Eigen::VectorXd cap = Eigen::VectorXd::Constant(m + 1, p.cap_ln);
    cap[m] = p.cap_T;
    return fd_newton(G, w0, cap, m, set);
}

SplitNewton vapor_at_T(const SplitAtBeta& p, double T, const TrialLiquidOf& liquid,
                       const Eigen::VectorXd& w0, const SplitSettings& given) {
    SplitSettings set = given;
    set.large_step_retry = false;  // the loop's _fd_newton without large_step
    const auto m = static_cast<Eigen::Index>(p.V.size());
    const Eigen::Index nc = p.z.size();
    // ln (z_k phi_k P) with ln phi = 0 (the ideal gas), summed in the loop's order
    const double lnP = std::log(p.P);
    Eigen::VectorXd lnfv(m);
    for (Eigen::Index i = 0; i < m; ++i)
        lnfv[i] = std::log(p.z[p.V[static_cast<std::size_t>(i)]]) + 0.0 + lnP;
    Eigen::VectorXd xa(nc), mis(m + 1);
    TrialLiquid trial;
    auto G = [&](const Eigen::VectorXd& at, long long& budget, SplitPoint& out) {
        const auto fv = [&](Eigen::Index i) { return std::exp(lnfv[i] + at[m]); };
        incipient_rows(p, liquid, set.tol, at, T, fv, xa, mis, trial, budget, out);
        out.ln_lambda = at[m];
    };
    // ln lambda counts among the logarithms (steps of 1e-5 from 0), capped as they are
    const Eigen::VectorXd cap = Eigen::VectorXd::Constant(m + 1, p.cap_ln);
    return fd_newton(G, w0, cap, m + 1, set);
}

}  // namespace brinequil::core
