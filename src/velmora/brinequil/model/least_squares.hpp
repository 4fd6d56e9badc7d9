// Minimum-norm least squares of the Newton steps of the speciation.
#pragma once
#include <optional>
#include <vector>

#include <Eigen/Dense>

namespace brinequil::core {

// Minimum-norm least squares J du = rhs with the relative singular-value cut-off
// eps * max(rows, cols) * s_max, on storage sized once per object (no allocation per solve).
//
// The SVD that defines the cut-off costs ~25 us for a 9 x 9 Jacobian; the decompositions below
// cost about 1 us. When one of them proves that no singular value falls below the cut-off, the
// minimum-norm solution is the unique (least-squares) solution and that decomposition gives it;
// only a numerically rank-deficient J goes to the SVD. All bounds use s_max <= |J|_2 <=
// min(|J|_F, sqrt(|J|_1 |J|_inf)) and carry a factor 10 for rounding.
//
// - Square J: LU with partial pivoting, s_max / s_min <= |J|_F sqrt(n) |U^-1| |L^-1| (infinity
//   norms, bounded through the factors' comparison matrices, times the growth of the
//   elimination); where that bound is too loose, the inverse by Gauss-Jordan elimination,
//   s_max / s_min <= |J| |J^-1|.
// - More rows than columns: Householder QR, s_min >= 1 / |R^-1|_F.
// - Columns at most eps * max(rows, cols) times the largest (a species at a trace amount in no
//   reaction) prove a singular value at or below the cut-off (s_min <= |J e_j| <= cut): the
//   SVD drops it, and its solution equals, to within the SVD's own rounding (|J e_j| / s_min
//   of the rest), the least-squares solution of the other columns with 0 for these unknowns.
// - Columns C far smaller than the rest A but above that (trace species, a species at the warm
//   start's floor): the smallest singular values of J are those of C projected off the range
//   of A (to a relative |A^+| |C|, and to the rounding of the QR, about eps s_max, which is also
//   how well the SVD knows them), s_max comes from a power iteration; all at or below the
//   cut-off, the step is that of A alone; all above it, the unique solution; on both sides the
//   SVD decides.
class LeastSquares {
public:
    // Which decomposition gave the last solution.
    enum class Path { Empty, LU, QR, Deflated, SVD };

    LeastSquares(Eigen::Index rows, Eigen::Index cols);

    // x = the minimum-norm least-squares solution of J x = rhs (singular values at or below
    // eps * max(rows, cols) * s_max treated as zero). false when J is not finite or the SVD
    // failed. J must have the shape given to the constructor; x must not be rhs.
    bool solve(const Eigen::MatrixXd& J, const Eigen::VectorXd& rhs, Eigen::VectorXd& x);

    Path last_path() const { return path_; }

private:
    using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

    // x = J^-1 rhs by LU with partial pivoting, where its bound proves the condition of J
    // below the cut-off; false (x overwritten, undefined) otherwise.
    bool lu_solve(const Eigen::MatrixXd& J, const Eigen::VectorXd& rhs, Eigen::VectorXd& x);
    // inv_ = J^-1 by Gauss-Jordan on aug_; false when a pivot is 0 or not finite.
    bool invert(const Eigen::MatrixXd& J);
    // min(|M|_F, sqrt(|M|_1 |M|_inf)) >= |M|_2
    template <class Matrix>
    double norm_bound(const Matrix& M);

    // The columns keep_[0..k) differ so much in size that factor() cannot prove them of full rank.
    bool surely_ill(Eigen::Index k) const;
    // Householder QR of the columns keep_[0..k) of J into h_; true when it proves them of full
    // rank well above the cut-off.
    bool factor(const Eigen::MatrixXd& J, Eigen::Index k);
    void apply_qt(Eigen::VectorXd& v, Eigen::Index k) const;  // v <- Q^T v
    // x = the least-squares solution on the factored columns, 0 for the others.
    void solve_factored(const Eigen::VectorXd& rhs, Eigen::Index k, Eigen::VectorXd& x);

    bool solve_trace_columns(const Eigen::MatrixXd& J, const Eigen::VectorXd& rhs,
                             Eigen::VectorXd& x);
    static constexpr int kMaxTrace = 8;  // trace directions handled without the full SVD
    using TraceBlock =
        Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, kMaxTrace, kMaxTrace>;
    template <class Svd>
    bool from_svd(const Svd& svd, const Eigen::VectorXd& rhs, Eigen::VectorXd& x);

    void qr_storage();  // sizes the storage of factor() and its users

    Eigen::Index rows_, cols_;
    RowMatrix inv_, aug_;  // aug_: [J | J^-1 in pivot order] (see invert)
    Eigen::MatrixXd lu_;   // the LU factors of lu_solve (column-major)
    Eigen::VectorXd lu_work_;
    std::vector<Eigen::Index> row_of_, slot_col_;
    RowMatrix h_;                      // R, and the Householder vectors under it
    Eigen::MatrixXd rinv_;             // R^-1 (upper triangle)
    double rinv_fro_ = 0.0;            // |R^-1|_F
    Eigen::VectorXd hdiag_, hbeta_;    // diagonal of R; 2 / |v|^2 of each reflection
    Eigen::VectorXd dot_;              // work of factor()
    std::vector<Eigen::Index> keep_;   // the columns of J in the factorisation
    std::vector<Eigen::Index> trace_;  // the trace columns
    TraceBlock trace_block_;           // fixed-capacity storage: no allocation
    Eigen::JacobiSVD<TraceBlock> trace_svd_;
    Eigen::VectorXd colnorm_, rowsum_, pv_, pw_, c_, tmp_;
    std::optional<Eigen::ColPivHouseholderQR<Eigen::MatrixXd>> full_qr_;
    std::optional<Eigen::JacobiSVD<Eigen::MatrixXd>> svd_;
    std::optional<Eigen::JacobiSVD<Eigen::MatrixXd, Eigen::NoQRPreconditioner>> square_svd_;
    double cut_factor_;
    bool have_inverse_ = false;  // inv_ holds J^-1 of this solve (its bound did not decide)
    double inv_max_ = 0.0;       // the largest |entry| of inv_, infinite when one is not finite
    Path path_ = Path::Empty;
};

// The small dense LU that LeastSquares tries first, for other solvers of a square system: the
// column-major n x n matrix A factored in place with partial pivoting (the unit lower factor's
// multipliers under the diagonal, U on and above it; perm[i] = the row of A that row i of the
// factors came from); returns max |U_ij|, or -1 when a pivot is 0 or not finite.
double dense_lu_factor(double* A, Eigen::Index n, Eigen::Index* perm);
// The solution of L U x = b in place of x (b permuted already: x[i] = b[perm[i]]), and an upper
// bound of |A^-1|_inf from the same factors; w: work of n entries.
double dense_lu_substitute(const double* A, Eigen::Index n, double* x, double* w);

}  // namespace brinequil::core
