#include "model/least_squares.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brinequil::core {

LeastSquares::LeastSquares(Eigen::Index rows, Eigen::Index cols)
    : lu_(rows == cols ? rows : 0),
      inv_(rows == cols ? rows : 0, rows == cols ? rows : 0),
      eye_(Eigen::MatrixXd::Identity(rows == cols ? rows : 0, rows == cols ? rows : 0)),
      qr_(rows, cols),
      svd_(rows, cols, Eigen::ComputeThinU | Eigen::ComputeThinV),
      c_(rows),
      tmp_(std::min(rows, cols)),
      ws_(1),  // Householder workspace: one entry per right-hand side
      cut_factor_(std::numeric_limits<double>::epsilon() * static_cast<double>(std::max(rows, cols))) {
    const double n = static_cast<double>(cols);
    qr_ratio_ = 10.0 * cut_factor_ * std::sqrt(n) * std::sqrt(std::pow(4.0, n) + 6.0 * n - 1.0) / 3.0;
}

bool LeastSquares::solve(const Eigen::MatrixXd& J, const Eigen::VectorXd& rhs, Eigen::VectorXd& x) {
    const Eigen::Index cols = J.cols();
    if (cols == 0 || J.rows() == 0) {
        x.setZero();
        path_ = Path::Empty;
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
            path_ = Path::LU;
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
            path_ = Path::QR;
            return true;
        }
    }
    svd_.compute(J);
    if (svd_.info() != Eigen::Success) return false;
    path_ = Path::SVD;
    const auto& s = svd_.singularValues();
    const double cut = s.size() > 0 ? cut_factor_ * s[0] : 0.0;
    tmp_.noalias() = svd_.matrixU().transpose() * rhs;
    for (Eigen::Index k = 0; k < s.size(); ++k) tmp_[k] = s[k] > cut ? tmp_[k] / s[k] : 0.0;
    x.noalias() = svd_.matrixV() * tmp_;
    return true;
}

}  // namespace brinequil::core
