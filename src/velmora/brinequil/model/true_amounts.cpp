#include "model/true_amounts.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "model/errors.hpp"

namespace brinequil::core {

const char* const kDivergedMessage = "chemical equilibrium of the liquid diverged";

namespace {

constexpr double kStartTrace = 1e-8;   // start of species without apparent amount, per unit total
constexpr double kWarmFloor = 1e-14;   // floor of a warm-started amount, per unit total
constexpr double kMaxStep = 2.0;       // largest change of any ln n in one Newton step

// Minimum-norm least squares J du = rhs with the relative singular-value cut-off
// eps * max(rows, cols) * s_max, on preallocated storage (no allocation per solve).
//
// The SVD that defines the cut-off costs ~25 us for a 9 x 9 Jacobian, an LU with the inverse
// ~2.5 us. When a cheap decomposition proves that no singular value falls below the cut-off,
// the minimum-norm solution is the unique (least-squares) solution and that decomposition
// gives it; only a numerically rank-deficient J goes to the SVD. Square J: LU (bound below).
// More rows than columns (dependent reactions; Eigen's Householder update there allocates a
// small temporary): column-pivoted QR, for which
// s_max <= sqrt(n) |r_11| and s_min >= 3 |r_nn| / sqrt(4^n + 6n - 1) (Faddeev, Kublanovskaya &
// Faddeeva; Higham, Accuracy and Stability, Thm 20.3 ff.), n = cols; a factor 10 covers rounding.
class LeastSquares {
public:
    LeastSquares(Eigen::Index rows, Eigen::Index cols)
        : lu_(rows == cols ? rows : 0),
          inv_(rows == cols ? rows : 0, rows == cols ? rows : 0),
          eye_(Eigen::MatrixXd::Identity(rows == cols ? rows : 0, rows == cols ? rows : 0)),
          qr_(rows, cols),
          svd_(rows, cols, Eigen::ComputeThinU | Eigen::ComputeThinV),
          c_(rows),
          tmp_(std::min(rows, cols)),
          ws_(1),  // Householder workspace: one entry per right-hand side
          cut_factor_(std::numeric_limits<double>::epsilon() *
                      static_cast<double>(std::max(rows, cols))) {
        const double n = static_cast<double>(cols);
        qr_ratio_ = 10.0 * cut_factor_ * std::sqrt(n) * std::sqrt(std::pow(4.0, n) + 6.0 * n - 1.0) / 3.0;
    }

    // false when the decomposition failed (non-finite J)
    bool solve(const Eigen::MatrixXd& J, const Eigen::VectorXd& rhs, Eigen::VectorXd& x) {
        const Eigen::Index cols = J.cols();
        if (cols == 0 || J.rows() == 0) {
            x.setZero();
            return true;
        }
        if (J.rows() == cols && cols > 0) {
            // Square: LU and the explicit inverse; s_max / s_min <= |J|_F |J^-1|_F proves full
            // rank (factor 10 for the rounding of the inverse) at a third of the QR's cost.
            lu_.compute(J);
            // J^-1 = U^-1 L^-1 P in place (lu_.inverse() would copy the decomposition)
            inv_.noalias() = lu_.permutationP() * eye_;
            lu_.matrixLU().triangularView<Eigen::UnitLower>().solveInPlace(inv_);
            lu_.matrixLU().triangularView<Eigen::Upper>().solveInPlace(inv_);
            const double bound = J.norm() * inv_.norm();
            if (std::isfinite(bound) && bound * 10.0 * cut_factor_ < 1.0) {
                x.noalias() = inv_ * rhs;
                return true;
            }
        } else if (J.rows() > cols && cols > 0) {
            qr_.compute(J);
            const auto& R = qr_.matrixQR();
            const double r11 = std::abs(R(0, 0)), rnn = std::abs(R(cols - 1, cols - 1));
            if (r11 > 0.0 && rnn > qr_ratio_ * r11) {
                c_ = rhs;
                qr_.householderQ().transpose().applyThisOnTheLeft(c_, ws_);
                R.topLeftCorner(cols, cols).triangularView<Eigen::Upper>().solveInPlace(c_.head(cols));
                const auto& perm = qr_.colsPermutation().indices();
                for (Eigen::Index k = 0; k < cols; ++k) x[perm[k]] = c_[k];
                return true;
            }
        }
        svd_.compute(J);
        if (svd_.info() != Eigen::Success) return false;
        const auto& s = svd_.singularValues();
        const double cut = s.size() > 0 ? cut_factor_ * s[0] : 0.0;
        tmp_.noalias() = svd_.matrixU().transpose() * rhs;
        for (Eigen::Index k = 0; k < s.size(); ++k) tmp_[k] = s[k] > cut ? tmp_[k] / s[k] : 0.0;
        x.noalias() = svd_.matrixV() * tmp_;
        return true;
    }

private:
    Eigen::PartialPivLU<Eigen::MatrixXd> lu_;
    Eigen::MatrixXd inv_, eye_;
    Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr_;
    Eigen::JacobiSVD<Eigen::MatrixXd> svd_;
    Eigen::VectorXd c_, tmp_, ws_;
    double cut_factor_, qr_ratio_ = 0.0;
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
            if (converged) break;
            if (!finite) throw ValueError(kDivergedMessage);

            for (Eigen::Index r = 0; r < neq; ++r)
                for (Eigen::Index j = 0; j < ns; ++j) J(r, j) = nu(r, j) - st.net[r] * x[j];
            for (Eigen::Index k = 0; k < m; ++k)
                for (Eigen::Index j = 0; j < ns; ++j) J(neq + k, j) = B(k, j) * en[j] / tot;
            rhs = -F;
            if (!J.allFinite() || !lsq.solve(J, rhs, du)) throw ValueError(kDivergedMessage);

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
        if (settled) break;
    }
    res.n = std::move(n);
    res.lng = std::move(lng);
    return res;
}

}  // namespace brinequil::core
