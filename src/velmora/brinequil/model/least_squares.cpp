#include "model/least_squares.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brinequil::core {

LeastSquares::LeastSquares(Eigen::Index rows, Eigen::Index cols)
    : a_(rows == cols ? rows : 0, rows == cols ? rows : 0),
      inv_(rows == cols ? rows : 0, rows == cols ? rows : 0),
      jr_(rows, cols),
      colnorm_(cols),
      qr_(rows, cols),
      svd_(rows == cols ? 0 : rows, rows == cols ? 0 : cols, Eigen::ComputeThinU | Eigen::ComputeThinV),
      square_svd_(rows == cols ? rows : 0, rows == cols ? cols : 0, Eigen::ComputeFullU | Eigen::ComputeFullV),
      c_(rows),
      tmp_(std::min(rows, cols)),
      ws_(1),  // Householder workspace: one entry per right-hand side
      cut_factor_(std::numeric_limits<double>::epsilon() * static_cast<double>(std::max(rows, cols))) {
    keep_.reserve(static_cast<std::size_t>(cols));
}

bool LeastSquares::solve(const Eigen::MatrixXd& J, const Eigen::VectorXd& rhs, Eigen::VectorXd& x) {
    const Eigen::Index cols = J.cols();
    if (cols == 0 || J.rows() == 0) {
        x.setZero();
        path_ = Path::Empty;
        return true;
    }
    if (!J.allFinite()) return false;
    // Columns at or below the cut-off relative to the largest column.
    for (Eigen::Index j = 0; j < cols; ++j) colnorm_[j] = J.col(j).norm();
    const double floor = cut_factor_ * colnorm_.maxCoeff();
    keep_.clear();
    for (Eigen::Index j = 0; j < cols; ++j)
        if (colnorm_[j] > floor) keep_.push_back(j);
    const auto kept = static_cast<Eigen::Index>(keep_.size());

    if (kept == cols && J.rows() == cols) {
        if (invert(J)) {
            const double fro = J.norm() * inv_.norm();
            const double one_inf = std::sqrt(J.cwiseAbs().colwise().sum().maxCoeff() *
                                             J.cwiseAbs().rowwise().sum().maxCoeff() *
                                             inv_.cwiseAbs().colwise().sum().maxCoeff() *
                                             inv_.cwiseAbs().rowwise().sum().maxCoeff());
            const double bound = std::min(fro, one_inf);
            // factor 10 for the rounding of the inverse
            if (std::isfinite(bound) && bound * 10.0 * cut_factor_ < 1.0) {
                x.noalias() = inv_ * rhs;
                path_ = Path::LU;
                return true;
            }
        }
    } else if (kept > 0 && J.rows() >= kept && solve_qr(J, rhs, x, kept)) {
        path_ = kept == cols ? Path::QR : Path::Deflated;
        return true;
    }
    if (J.rows() == cols) {
        square_svd_.compute(J);
        return from_svd(square_svd_, rhs, x);
    }
    svd_.compute(J);
    return from_svd(svd_, rhs, x);
}

bool LeastSquares::solve_qr(const Eigen::MatrixXd& J, const Eigen::VectorXd& rhs,
                            Eigen::VectorXd& x, Eigen::Index kept) {
    if (kept == J.cols()) {
        qr_.compute(J);
    } else {
        for (Eigen::Index k = 0; k < kept; ++k) jr_.col(k) = J.col(keep_[static_cast<std::size_t>(k)]);
        qr_.compute(jr_.leftCols(kept));
    }
    // s_max <= sqrt(k) |r_11| and s_min >= 3 |r_kk| / sqrt(4^k + 6k - 1); factor 10 for rounding
    const double k = static_cast<double>(kept);
    const double ratio = 10.0 * cut_factor_ * std::sqrt(k) * std::sqrt(std::pow(4.0, k) + 6.0 * k - 1.0) / 3.0;
    const auto& R = qr_.matrixQR();
    const double r11 = std::abs(R(0, 0)), rkk = std::abs(R(kept - 1, kept - 1));
    if (!(r11 > 0.0 && rkk > ratio * r11)) return false;
    c_ = rhs;
    qr_.householderQ().transpose().applyThisOnTheLeft(c_, ws_);
    R.topLeftCorner(kept, kept).triangularView<Eigen::Upper>().solveInPlace(c_.head(kept));
    const auto& perm = qr_.colsPermutation().indices();
    x.setZero();
    for (Eigen::Index q = 0; q < kept; ++q) {
        const Eigen::Index col = perm[q];
        x[kept == J.cols() ? col : keep_[static_cast<std::size_t>(col)]] = c_[q];
    }
    return true;
}

template <class Svd>
bool LeastSquares::from_svd(const Svd& svd, const Eigen::VectorXd& rhs, Eigen::VectorXd& x) {
    if (svd.info() != Eigen::Success) return false;
    path_ = Path::SVD;
    const auto& s = svd.singularValues();
    const double cut = s.size() > 0 ? cut_factor_ * s[0] : 0.0;
    tmp_.noalias() = svd.matrixU().transpose() * rhs;
    for (Eigen::Index k = 0; k < s.size(); ++k) tmp_[k] = s[k] > cut ? tmp_[k] / s[k] : 0.0;
    x.noalias() = svd.matrixV() * tmp_;
    return true;
}

bool LeastSquares::invert(const Eigen::MatrixXd& J) {
    const Eigen::Index n = J.rows();
    a_ = J;
    inv_.setIdentity();
    for (Eigen::Index k = 0; k < n; ++k) {
        Eigen::Index p = k;
        double big = std::abs(a_(k, k));
        for (Eigen::Index i = k + 1; i < n; ++i)
            if (std::abs(a_(i, k)) > big) {
                big = std::abs(a_(i, k));
                p = i;
            }
        if (!(big > 0.0) || !std::isfinite(big)) return false;
        if (p != k) {
            a_.row(k).swap(a_.row(p));
            inv_.row(k).swap(inv_.row(p));
        }
        const double d = 1.0 / a_(k, k);
        a_.row(k) *= d;
        inv_.row(k) *= d;
        for (Eigen::Index i = 0; i < n; ++i) {
            if (i == k) continue;
            const double f = a_(i, k);
            if (f == 0.0) continue;
            a_.row(i) -= f * a_.row(k);
            inv_.row(i) -= f * inv_.row(k);
        }
    }
    return true;
}

}  // namespace brinequil::core
