// Minimum-norm least squares of the Newton steps of the speciation.
#pragma once
#include <Eigen/Dense>

namespace brinequil::core {

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
    // Which decomposition gave the last solution.
    enum class Path { Empty, LU, QR, SVD };

    LeastSquares(Eigen::Index rows, Eigen::Index cols);

    // x = the minimum-norm least-squares solution of J x = rhs (singular values at or below
    // eps * max(rows, cols) * s_max treated as zero). false when the decomposition failed
    // (non-finite J). J must have the shape given to the constructor.
    bool solve(const Eigen::MatrixXd& J, const Eigen::VectorXd& rhs, Eigen::VectorXd& x);

    Path last_path() const { return path_; }

private:
    Eigen::PartialPivLU<Eigen::MatrixXd> lu_;
    Eigen::MatrixXd inv_, eye_;
    Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr_;
    Eigen::JacobiSVD<Eigen::MatrixXd> svd_;
    Eigen::VectorXd c_, tmp_, ws_;
    double cut_factor_, qr_ratio_ = 0.0;
    Path path_ = Path::Empty;
};

}  // namespace brinequil::core
