// Minimum-norm least squares of the Newton steps of the speciation.
#pragma once
#include <vector>

#include <Eigen/Dense>

namespace brinequil::core {

// Minimum-norm least squares J du = rhs with the relative singular-value cut-off
// eps * max(rows, cols) * s_max, on preallocated storage (no allocation per solve).
//
// The SVD that defines the cut-off costs ~25 us for a 9 x 9 Jacobian, the explicit inverse by
// Gauss-Jordan elimination with partial pivoting well under 1 us. When a cheap decomposition
// proves that no singular value falls below the cut-off, the minimum-norm solution is the
// unique (least-squares) solution and that decomposition gives it; only a numerically
// rank-deficient J goes to the SVD. Square J: the inverse, s_max / s_min <= |J| |J^-1| in the
// smaller of the Frobenius norm and sqrt(|.|_1 |.|_inf), both bounds of the 2-norm.
//
// A column whose norm is at most eps * max(rows, cols) times the largest column norm (a species
// at a trace amount that takes part in no reaction) proves a singular value at or below the
// cut-off (s_min <= |J e_j| <= cut): the SVD drops it, and its solution equals, to within the
// SVD's own rounding (|J e_j| / s_min of the rest), the least-squares solution of the other
// columns with 0 for these unknowns -- which the column-pivoted QR below gives when it proves
// the other columns well above the cut-off.
// More rows than columns (dependent reactions; Eigen's Householder update there allocates a
// small temporary): column-pivoted QR, for which
// s_max <= sqrt(n) |r_11| and s_min >= 3 |r_nn| / sqrt(4^n + 6n - 1) (Faddeev, Kublanovskaya &
// Faddeeva; Higham, Accuracy and Stability, Thm 20.3 ff.), n = cols; a factor 10 covers rounding.
class LeastSquares {
public:
    // Which decomposition gave the last solution.
    enum class Path { Empty, LU, QR, Deflated, SVD };

    LeastSquares(Eigen::Index rows, Eigen::Index cols);

    // x = the minimum-norm least-squares solution of J x = rhs (singular values at or below
    // eps * max(rows, cols) * s_max treated as zero). false when the decomposition failed
    // (non-finite J). J must have the shape given to the constructor.
    bool solve(const Eigen::MatrixXd& J, const Eigen::VectorXd& rhs, Eigen::VectorXd& x);

    Path last_path() const { return path_; }

private:
    using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
    // inv_ = J^-1 by Gauss-Jordan on a_ (row-major: the row operations run on contiguous
    // storage); false when a pivot is 0 or not finite.
    bool invert(const Eigen::MatrixXd& J);
    template <class Svd>
    bool from_svd(const Svd& svd, const Eigen::VectorXd& rhs, Eigen::VectorXd& x);

    // The QR path on the columns marked in keep_ (all of J when none is dropped); false when
    // its bound does not prove full column rank.
    bool solve_qr(const Eigen::MatrixXd& J, const Eigen::VectorXd& rhs, Eigen::VectorXd& x,
                  Eigen::Index kept);

    RowMatrix a_, inv_;
    Eigen::MatrixXd jr_;               // the kept columns of J
    std::vector<Eigen::Index> keep_;   // their positions
    Eigen::VectorXd colnorm_;
    Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr_;
    Eigen::JacobiSVD<Eigen::MatrixXd> svd_;
    Eigen::JacobiSVD<Eigen::MatrixXd, Eigen::NoQRPreconditioner> square_svd_;
    Eigen::VectorXd c_, tmp_, ws_;
    double cut_factor_;
    Path path_ = Path::Empty;
};

}  // namespace brinequil::core
