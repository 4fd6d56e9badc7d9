#include "model/true_amounts.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "model/errors.hpp"
#include "model/least_squares.hpp"

namespace brinequil::core {

const char* const kDivergedMessage = "chemical equilibrium of the liquid diverged";

namespace {

constexpr double kStartTrace = 1e-8;   // start of species without apparent amount, per unit total
constexpr double kWarmFloor = 1e-14;   // floor of a warm-started amount, per unit total
constexpr double kMaxStep = 2.0;       // largest change of any ln n in one Newton step
constexpr int kPowerSteps = 200;       // power iteration for s_max(J)
constexpr double kPowerTol = 1e-4;     // its relative change at convergence

// Species with no amount that take part in no reaction (a Henry gas of the model that is not in
// the liquid). Their column of nu is zero, so e_i lies in the row space of B and the invariants
// fix n_i = 0: the row combination c = B e_i of the invariant rows (c^T B = e_i^T, B with
// orthonormal rows) reads e_i du_i / tot = -e_i / tot, so every Newton step has du_i = -1,
// whatever the other species do. The least-squares solution drops that direction once its
// singular value e_i / tot (its column off the range of the others is exactly c e_i / tot)
// falls to the cut-off eps * max(rows, cols) * s_max(J): du_i = 0 from then on. The other
// species solve the system without these columns and without the invariants c (the rest of the
// row space of B, orthonormal rows): square where the full system was square with them.
struct IdleSpecies {
    std::vector<Eigen::Index> active, idle;
    Eigen::MatrixXd QtB;  // Q^T B; its rows z.. are the invariants of the active species
    Eigen::VectorXd b;    // those rows times n0
};

IdleSpecies idle_species(const Stoichiometry& st, const Eigen::VectorXd& n0) {
    IdleSpecies r;
    const Eigen::Index ns = st.nu.cols(), m = st.B.rows();
    auto is_idle = [&](Eigen::Index i) { return n0[i] == 0.0 && (st.nu.col(i).array() == 0.0).all(); };
    Eigen::Index z = 0;
    for (Eigen::Index i = 0; i < ns; ++i) z += is_idle(i);
    if (z == 0 || z == ns || z > m) return r;  // nothing to leave out
    r.active.reserve(static_cast<std::size_t>(ns - z));
    r.idle.reserve(static_cast<std::size_t>(z));
    for (Eigen::Index i = 0; i < ns; ++i) (is_idle(i) ? r.idle : r.active).push_back(i);
    // C = [B e_i] has orthonormal columns; with C = QR (Householder, in place on Q^T B), the
    // rows z.. of Q^T B are orthonormal and orthogonal to every e_i: zero on the idle columns up
    // to rounding (never read).
    r.QtB = st.B;
    for (Eigen::Index q = 0; q < z; ++q) {
        const Eigen::Index col = r.idle[static_cast<std::size_t>(q)];
        auto v = r.QtB.col(col).tail(m - q);
        const double norm = v.norm(), alpha = v[0] > 0.0 ? -norm : norm;
        if (!(norm > 0.0)) continue;  // cannot happen for orthonormal columns
        v[0] -= alpha;  // reflection I - 2 w w^T / |w|^2 with w = v - alpha e_1
        const double beta = 2.0 / v.squaredNorm();
        for (Eigen::Index j = 0; j < ns; ++j) {
            if (j == col) continue;
            auto y = r.QtB.col(j).tail(m - q);
            y -= (beta * v.dot(y)) * v;
        }
        v.setZero();
        v[0] = alpha;
    }
    r.b.resize(m - z);
    for (Eigen::Index k = 0; k < m - z; ++k) {
        double bk = 0.0;
        for (const Eigen::Index j : r.active) bk += r.QtB(z + k, j) * n0[j];
        r.b[k] = bk;
    }
    return r;
}

// Whether s lies above cut_factor * s_max(J), with s_max(J)^2 the largest eigenvalue of
// G = J^T J: between max_j G_jj and min(trace G, max_i sum_j |G_ij|) (Gershgorin), which decide
// most cases; otherwise a power iteration on G gives it. s_max is found once per call (smax < 0
// until then; J changes little between Newton steps).
bool above_cut(double s, double cut_factor, const Eigen::MatrixXd& J, double& smax,
               Eigen::MatrixXd& G, Eigen::VectorXd& v, Eigen::VectorXd& w) {
    if (smax < 0.0) {
        const Eigen::Index n = J.cols();
        G.resize(n, n);
        for (Eigen::Index j = 0; j < n; ++j)
            for (Eigen::Index i = 0; i <= j; ++i) G(i, j) = G(j, i) = J.col(i).dot(J.col(j));
        const double lo = G.diagonal().maxCoeff();
        const double hi = std::min(G.trace(), G.cwiseAbs().colwise().sum().maxCoeff());
        if (s * s > cut_factor * cut_factor * hi) return true;
        if (s * s <= cut_factor * cut_factor * lo) return false;
        // from the column of G of the largest diagonal entry (J's largest column)
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
    return s > cut_factor * smax;
}

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
    const IdleSpecies idle = idle_species(st, n0);
    const bool reduced = !idle.idle.empty();
    const auto z = static_cast<Eigen::Index>(idle.idle.size());  // 0 when not reduced
    const Eigen::MatrixXd& Bs = reduced ? idle.QtB : B;             // rows z.. in use
    const Eigen::Index na = ns - z, ms = m - z, rows_s = neq + ms;
    const double idle_cut = std::numeric_limits<double>::epsilon() * static_cast<double>(std::max(rows, ns));
    Eigen::VectorXd n(ns), u(ns), en(ns), x(ns), lng(ns), ref(ns), t(ns), F(rows), du(ns),
        rhs(rows_s), da(na), pv, pw, acc(m - z);
    Eigen::MatrixXd gram;
    Eigen::VectorXd fresh(ns);
    std::vector<char> idle_moves(idle.idle.size(), 1);
    double smax = -1.0;  // s_max of the reduced J, once a decision needs it
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
                break;
            }
            if (!finite) throw ValueError(kDivergedMessage);

            // column by column (J, nu and B are column-major)
            for (Eigen::Index q = 0; q < na; ++q) {
                const Eigen::Index j = reduced ? idle.active[static_cast<std::size_t>(q)] : q;
                double* col = J.col(q).data();
                const double xj = x[j], ej = en[j] / tot;   // one division per column
                for (Eigen::Index r = 0; r < neq; ++r) col[r] = nu(r, j) - st.net[r] * xj;
                for (Eigen::Index k = 0; k < ms; ++k) col[neq + k] = Bs(z + k, j) * ej;
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
                for (std::size_t q = 0; q < idle.idle.size(); ++q) {
                    const Eigen::Index i = idle.idle[q];
                    if (idle_moves[q]) idle_moves[q] = above_cut(en[i] / tot, idle_cut, J, smax, gram, pv, pw);
                    du[i] = idle_moves[q] ? -1.0 : 0.0;
                    moved += x[i] * du[i];
                }
                for (Eigen::Index r = 0; r < neq; ++r) rhs[r] = -F[r] + st.net[r] * moved;
                acc.setZero();
                for (const Eigen::Index j : idle.active) acc += Bs.col(j).tail(ms) * en[j];
                for (Eigen::Index k = 0; k < ms; ++k) rhs[neq + k] = (idle.b[k] - acc[k]) / tot;
                if (!lsq.solve(J, rhs, da)) throw ValueError(kDivergedMessage);
                for (Eigen::Index q = 0; q < na; ++q) du[idle.active[static_cast<std::size_t>(q)]] = da[q];
            }

            double big = 0.0;
            bool nan_step = false;
            for (Eigen::Index j = 0; j < ns; ++j) {
                if (std::isnan(du[j])) nan_step = true;
                big = std::max(big, std::abs(du[j]));
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
