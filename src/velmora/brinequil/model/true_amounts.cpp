#include "model/true_amounts.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "model/errors.hpp"
#include "model/least_squares.hpp"

namespace brinequil::core {

const char* const kDivergedMessage = "chemical equilibrium of the liquid diverged";

void check_species(const Stoichiometry& st, Eigen::Index n) {
    if (st.n_species() != n)
        throw ValueError("the species object has " + std::to_string(n) +
                         " species, the reactions were built on " + std::to_string(st.n_species()));
}

void check_constants(const Stoichiometry& st, Eigen::Index count, bool from_records) {
    if (count == st.n_eq()) return;
    if (from_records)
        throw ValueError("K holds " + std::to_string(count) + " constant records for " +
                         std::to_string(st.n_eq()) + " equilibrium reactions");
    throw ValueError("lnK returned " + std::to_string(count) + " values for " +
                     std::to_string(st.n_eq()) + " reactions");
}

namespace {

constexpr double kStartTrace = 1e-8;  // start of species without apparent amount, per unit total
constexpr double kWarmFloor = 1e-14;  // floor of a warm-started amount, per unit total
constexpr double kMaxStep = 2.0;      // largest change of any ln n in one Newton step
constexpr int kPowerSteps = 200;      // power iteration for s_max(J)
constexpr double kPowerTol = 1e-4;    // its relative change at convergence

// Species with no amount that take part in no reaction (a Henry gas of the model that is not in
// the liquid). Their column of nu is zero, so e_i lies in the row space of B and the invariants
// fix n_i = 0: the row combination c = B e_i of the invariant rows (c^T B = e_i^T, B with
// orthonormal rows) reads e_i du_i / tot = -e_i / tot, so every Newton step has du_i = -1,
// whatever the other species do. The least-squares solution drops that direction once its
// singular value e_i / tot (its column off the range of the others is exactly c e_i / tot)
// falls to the cut-off eps * max(rows, cols) * s_max(J): du_i = 0 from then on. The other
// species solve the system without these columns and without the invariants c (the rest of the
// row space of B, orthonormal rows): square where the full system was square with them.
// The split of the call: the model's own when every species of no reaction is absent (the usual
// case), else made for this call in own; nullptr when nothing is left out.
const InertSplit* idle_species(const Stoichiometry& st, const Eigen::VectorXd& n0,
                               InertSplit& own) {
    const Eigen::Index ns = st.nu.cols(), m = st.B.rows();
    auto is_idle = [&](Eigen::Index i) {
        return n0[i] == 0.0 && (st.nu.col(i).array() == 0.0).all();
    };
    if (!st.inert.empty()) {
        bool all = true;  // the idle species are among the inert ones
        for (const Eigen::Index i : st.inert.inert) all = all && n0[i] == 0.0;
        if (all) return &st.inert;
    }
    std::vector<Eigen::Index> idle;
    for (Eigen::Index i = 0; i < ns; ++i)
        if (is_idle(i)) idle.push_back(i);
    const auto z = static_cast<Eigen::Index>(idle.size());
    if (z == 0 || z == ns || z > m) return nullptr;  // nothing to leave out
    own = split_inert(st.B, std::move(idle));
    return &own;
}

// s_max(J) as far as the decisions of one call need it: J changes little between its Newton
// steps, so it is bounded once and found (power iteration) only when a bound does not decide.
struct LargestSingular {
    double lo2 = -1.0, hi2 = -1.0;  // bounds on s_max^2 (lo2 < 0: not yet bounded)
    double smax = -1.0;             // the power iteration's value (< 0: not yet run)
    Eigen::MatrixXd G;
    Eigen::VectorXd v, w;

    // Whether s lies above cut_factor * s_max(J). s_max^2 is the largest eigenvalue of
    // G = J^T J: at least max_j G_jj, at most trace G, max_i sum_j |G_ij| (Gershgorin) and
    // |G|_F (the root of the sum of the squared eigenvalues), which decide most cases.
    bool below(double s, double cut_factor, const Eigen::MatrixXd& J) {
        if (lo2 < 0.0) bound(J);
        if (s * s > cut_factor * cut_factor * hi2) return false;
        if (s * s <= cut_factor * cut_factor * lo2) return true;
        if (smax < 0.0) power();
        return !(s > cut_factor * smax);
    }

private:
    void bound(const Eigen::MatrixXd& J) {
        const Eigen::Index n = J.cols(), r = J.rows();
        G.resize(n, n);
        for (Eigen::Index j = 0; j < n; ++j) {
            const double* b = J.col(j).data();
            for (Eigen::Index i = 0; i <= j; ++i) {
                const double* a = J.col(i).data();
                double d0 = 0.0, d1 = 0.0;  // two lanes over short columns
                Eigen::Index k = 0;
                for (; k + 1 < r; k += 2) {
                    d0 += a[k] * b[k];
                    d1 += a[k + 1] * b[k + 1];
                }
                if (k < r) d0 += a[k] * b[k];
                G(i, j) = G(j, i) = d0 + d1;
            }
        }
        lo2 = G.diagonal().maxCoeff();
        hi2 = std::min({G.trace(), G.cwiseAbs().colwise().sum().maxCoeff(), G.norm()});
    }
    void power() {
        // from the column of G of the largest diagonal entry (J's largest column)
        const Eigen::Index n = G.cols();
        Eigen::Index start = 0;
        G.diagonal().maxCoeff(&start);
        v = G.col(start) / G.col(start).norm();
        w.resize(n);
        double lambda = 0.0;
        for (int it = 0; it < kPowerSteps; ++it) {
            for (Eigen::Index i = 0; i < n; ++i) w[i] = G.col(i).dot(v);  // G symmetric
            const double l = w.norm();  // |G v| <= lambda_max for a unit v
            if (!(l > 0.0)) break;
            v = w / l;
            const bool done = std::abs(l - lambda) <= kPowerTol * l;
            lambda = l;
            if (done) break;
        }
        smax = std::sqrt(lambda);
    }
};

}  // namespace

SpeciationResult solve_speciation(const Stoichiometry& st, const Eigen::VectorXd& n0,
                                  const Eigen::VectorXd& lnK, const WarmStart& warm,
                                  const SpeciationSettings& set, SpeciationCallbacks& cb) {
    const Eigen::MatrixXd& nu = st.nu;
    const Eigen::MatrixXd& B = st.B;
    const Eigen::Index ns = nu.cols(), neq = nu.rows(), m = B.rows(), rows = neq + m;

    // Work arrays of the whole call.
    const Eigen::VectorXd b = B * n0;
    const double tot = n0.sum();
    // The Newton system without the idle species (all of them when there are none).
    InertSplit own;
    const InertSplit* idle = idle_species(st, n0, own);
    const bool reduced = idle != nullptr;
    const auto z = reduced ? static_cast<Eigen::Index>(idle->inert.size()) : Eigen::Index{0};
    const Eigen::MatrixXd& Bs = reduced ? idle->Ba : B;  // the invariants on the active columns
    const Eigen::Index na = ns - z, ms = m - z, rows_s = neq + ms;
    Eigen::VectorXd b_active(ms);  // the invariants' values on n0
    if (reduced) {
        for (Eigen::Index k = 0; k < ms; ++k) {
            double bk = 0.0;
            for (Eigen::Index q = 0; q < na; ++q)
                bk += Bs(k, q) * n0[idle->active[static_cast<std::size_t>(q)]];
            b_active[k] = bk;
        }
    }
    const double idle_cut =
        std::numeric_limits<double>::epsilon() * static_cast<double>(std::max(rows, ns));
    Eigen::VectorXd n(ns), u(ns), en(ns), x(ns), lng(ns), ref(ns), t(ns), F(rows), du(ns),
        rhs(rows_s), da(na), acc(m - z);
    Eigen::VectorXd fresh(ns);
    std::vector<char> idle_moves(static_cast<std::size_t>(z), 1);
    LargestSingular largest;  // of the reduced J, once a decision needs it
    Eigen::MatrixXd J(rows_s, na);
    LeastSquares lsq(rows_s, na);

    for (Eigen::Index i = 0; i < ns; ++i) n[i] = n0[i] > 0.0 ? n0[i] : tot * kStartTrace;
    lng.setZero();
    if (warm.w != nullptr) {
        for (Eigen::Index i = 0; i < ns; ++i) {
            const double v = (*warm.w)[i] * tot, floor = tot * kWarmFloor;
            n[i] = (std::isnan(v) || v >= floor) ? v : floor;  // NaN propagates like np.maximum
        }
        lng = *warm.lng;
    }
    cb.henry_ref(nullptr, lng, ref);

    SpeciationResult res;
    res.tot = tot;
    for (int outer = 0; outer < set.max_outer; ++outer) {
        res.outer_passes = outer + 1;
        u = n.array().log();
        bool newton_met_tol = false;
        int polish = 0;  // steps taken after the residuals met tol (trace_maxit)
        for (int it = 0; it < set.maxit; ++it) {
            en = u.array().exp();
            const double N = en.sum();
            x = en / N;
            if (set.ref_follows_x) cb.henry_ref(&x, lng, ref);

            const double lnN = std::log(N);
            t = ((u.array() - lnN) + lng.array()) - ref.array();
            F.head(neq).noalias() = nu * t;
            F.head(neq) -= lnK;
            F.tail(m).noalias() = B * en;
            F.tail(m) = (F.tail(m) - b) / tot;

            bool converged = true, finite = true;
            for (Eigen::Index k = 0; k < rows; ++k) {
                const double a = std::abs(F[k]);
                if (!(a < set.tol)) converged = false;
                if (!std::isfinite(F[k])) finite = false;
            }
            if (converged) {
                newton_met_tol = true;
                if (polish >= set.trace_maxit) break;
            }
            if (!finite) throw ValueError(kDivergedMessage);

            // column by column (J, nu and B are column-major)
            for (Eigen::Index q = 0; q < na; ++q) {
                const Eigen::Index j = reduced ? idle->active[static_cast<std::size_t>(q)] : q;
                double* col = J.col(q).data();
                const double xj = x[j], ej = en[j] / tot;  // one division per column
                for (Eigen::Index r = 0; r < neq; ++r) col[r] = nu(r, j) - st.net[r] * xj;
                for (Eigen::Index k = 0; k < ms; ++k) col[neq + k] = Bs(k, q) * ej;
            }
            if (!reduced) {
                rhs = -F;
                // solve() refuses a J that is not finite
                if (!lsq.solve(J, rhs, du)) throw ValueError(kDivergedMessage);
            } else {
                // du_i = -1 for an idle species above the cut-off, 0 below; its column of the
                // equilibrium rows, -net x_i, moves to the right-hand side.
                // Once below, a species stays there for the call: its amount no longer changes
                // and s_max(J) hardly does.
                double moved = 0.0;
                for (std::size_t q = 0; q < idle_moves.size(); ++q) {
                    const Eigen::Index i = idle->inert[q];
                    if (idle_moves[q]) idle_moves[q] = !largest.below(en[i] / tot, idle_cut, J);
                    du[i] = idle_moves[q] ? -1.0 : 0.0;
                    moved += x[i] * du[i];
                }
                for (Eigen::Index r = 0; r < neq; ++r) rhs[r] = -F[r] + st.net[r] * moved;
                acc.setZero();
                for (Eigen::Index q = 0; q < na; ++q) {
                    const double e = en[idle->active[static_cast<std::size_t>(q)]];
                    const double* bq = Bs.col(q).data();
                    for (Eigen::Index k = 0; k < ms; ++k) acc[k] += bq[k] * e;
                }
                for (Eigen::Index k = 0; k < ms; ++k) rhs[neq + k] = (b_active[k] - acc[k]) / tot;
                if (!lsq.solve(J, rhs, da)) throw ValueError(kDivergedMessage);
                for (Eigen::Index q = 0; q < na; ++q)
                    du[idle->active[static_cast<std::size_t>(q)]] = da[q];
            }

            double big = 0.0;
            bool nan_step = false;
            for (Eigen::Index j = 0; j < ns; ++j) {
                if (std::isnan(du[j])) nan_step = true;
                big = std::max(big, std::abs(du[j]));
            }
            if (converged) {
                // The residuals met tol; du is the relative change of every amount that the
                // balances still ask for. Taken while it moves a species by more than trace_tol
                // of itself and by more than trace_noise of the total (below that the step is
                // the rounding of the balances, eps of the total over the species' amount).
                bool moves = false;
                for (Eigen::Index q = 0; q < na; ++q) {
                    const Eigen::Index j = reduced ? idle->active[static_cast<std::size_t>(q)] : q;
                    const double d = std::abs(du[j]);
                    if (d > set.trace_tol && d * en[j] > set.trace_noise * tot) moves = true;
                }
                if (nan_step || !moves) break;
                ++polish;
            }
            // step = min(1, 2 / max(|du|_inf, 1e-300)); a NaN direction gives step 1 (and a
            // non-finite residual next time round).
            const double step = nan_step ? 1.0 : std::min(1.0, kMaxStep / std::max(big, 1e-300));
            u += step * du;
            ++res.newton_iterations;
        }
        n = u.array().exp();
        x = n / n.sum();
        cb.ln_gamma(x, fresh);
        bool settled = true;
        for (Eigen::Index i = 0; i < ns; ++i) {
            const double d = std::abs(fresh[i] - lng[i]);
            if (!(d < set.lng_tol)) settled = false;
        }
        lng = fresh;
        res.converged = newton_met_tol && settled;
        if (settled) break;
    }
    res.n = std::move(n);
    res.lng = std::move(lng);
    return res;
}

}  // namespace brinequil::core
