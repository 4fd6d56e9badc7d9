#include "model/true_amounts.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "model/errors.hpp"
#include "model/least_squares.hpp"

namespace brinequil::core {

const char* const kDivergedMessage = "chemical equilibrium of the liquid diverged";

namespace {

constexpr double kStartTrace = 1e-8;   // start of species without apparent amount, per unit total
constexpr double kWarmFloor = 1e-14;   // floor of a warm-started amount, per unit total
constexpr double kMaxStep = 2.0;       // largest change of any ln n in one Newton step

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
    Eigen::VectorXd n(ns), u(ns), en(ns), x(ns), lng(ns), ref(ns), t(ns), F(rows), du(ns),
        rhs(rows), fresh(ns);
    Eigen::MatrixXd J(rows, ns);
    LeastSquares lsq(rows, ns);

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
            for (Eigen::Index j = 0; j < ns; ++j) {
                double* col = J.col(j).data();
                const double xj = x[j], ej = en[j];
                for (Eigen::Index r = 0; r < neq; ++r) col[r] = nu(r, j) - st.net[r] * xj;
                for (Eigen::Index k = 0; k < m; ++k) col[neq + k] = B(k, j) * ej / tot;
            }
            rhs = -F;
            // solve() refuses a J that is not finite
            if (!lsq.solve(J, rhs, du)) throw ValueError(kDivergedMessage);

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
