#include "model/least_squares.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

namespace brinequil::core {

namespace {
constexpr double kRounding = 10.0;         // safety factor of every bound
constexpr double kTraceColumn = 1e-6;      // a column this small against the largest is a trace one
constexpr double kTraceCoupling = 1e-4;    // |A^+| |C| below which C off range(A) gives s_min(J)
constexpr int kPowerSteps = 200;           // power iteration for s_max
constexpr double kPowerTol = 1e-4;         // its relative change at convergence
constexpr double kHopelessColumn = 1e-12;  // see solve()
constexpr double kSurelyIll = 4.0;   // margin of surely_ill() over the rounding of factor()'s bound
constexpr double kQuickBound = 0.5;  // margin of the quick bound in solve() over its rounding

// AVX2 where the processor has it: the same multiplications and subtractions four at a time
// (no fused multiply-add, so the same digits as the plain build). The clones are chosen when
// the library loads (an indirect function: glibc on Linux only).
#if defined(__x86_64__) && defined(__linux__) && defined(__GLIBC__) && \
    (defined(__GNUC__) || defined(__clang__))
#define VELMORA_WIDE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VELMORA_WIDE_CLONES
#endif

// Gauss-Jordan on the n rows of W (row stride 2n): [J | I] -> [I | J^-1], with the right half
// kept in pivot order. Before step k only the columns of the k earlier pivot rows are nonzero (a
// row's own column of I is first touched at its own step), so slot s of the right half holds
// column slot_col[s] of the inverse, and step k works on the contiguous entries k .. n + k of a
// row (the columns k.. of J, then slots 0..k). Every entry sees the operations of the full
// [J | I] (those skipped subtract products with exact zeros). The right half starts at zero.
VELMORA_WIDE_CLONES
bool gauss_jordan(double* W, Eigen::Index n, Eigen::Index* row_of, Eigen::Index* slot_col) {
    const Eigen::Index w = 2 * n;
    for (Eigen::Index i = 0; i < n; ++i) row_of[i] = i;
    for (Eigen::Index k = 0; k < n; ++k) {
        Eigen::Index p = k;
        double big = std::abs(W[k * w + k]);
        for (Eigen::Index i = k + 1; i < n; ++i)
            if (std::abs(W[i * w + k]) > big) {
                big = std::abs(W[i * w + k]);
                p = i;
            }
        if (!(big > 0.0) || !std::isfinite(big)) return false;
        if (p != k) {
            std::swap_ranges(W + k * w + k, W + k * w + n + k, W + p * w + k);
            std::swap(row_of[k], row_of[p]);
        }
        slot_col[k] = row_of[k];
        double* __restrict wk = W + k * w;
        wk[n + k] = 1.0;  // the pivot row's own entry of I
        const double d = 1.0 / wk[k];
        for (Eigen::Index j = k; j <= n + k; ++j) wk[j] *= d;
        for (Eigen::Index i = 0; i < n; ++i) {
            if (i == k) continue;
            double* __restrict wi = W + i * w;
            const double f = wi[k];
            if (f == 0.0) continue;
            for (Eigen::Index j = k; j <= n + k; ++j) wi[j] -= f * wk[j];
        }
    }
    return true;
}

// LU with partial pivoting of the column-major n x n matrix A in place: the unit lower factor's
// multipliers under the diagonal, U on and above it; perm[i] = the row of A that row i of the
// factors came from. Column-oriented throughout, so that every inner loop runs down a
// contiguous column with independent entries. Returns max |U_ij| (the growth of the
// elimination), or -1 when a pivot is 0 or not finite.
template <int N>
inline __attribute__((always_inline)) double lu_factor_n(double* A, Eigen::Index size,
                                                         Eigen::Index* perm) {
    const Eigen::Index n = N > 0 ? N : size;
    for (Eigen::Index i = 0; i < n; ++i) perm[i] = i;
    double umax = 0.0;
    for (Eigen::Index k = 0; k < n; ++k) {
        double* __restrict ck = A + k * n;
        Eigen::Index p = k;
        double big = std::abs(ck[k]);
        for (Eigen::Index i = k + 1; i < n; ++i)
            if (std::abs(ck[i]) > big) {
                big = std::abs(ck[i]);
                p = i;
            }
        if (!(big > 0.0) || !std::isfinite(big)) return -1.0;
        if (p != k) {
            for (Eigen::Index j = 0; j < n; ++j) std::swap(A[j * n + k], A[j * n + p]);
            std::swap(perm[k], perm[p]);
        }
        const double pivot = ck[k];
        for (Eigen::Index i = k + 1; i < n; ++i) ck[i] /= pivot;
        umax = std::max(umax, big);
        for (Eigen::Index j = k + 1; j < n; ++j) {
            double* __restrict cj = A + j * n;
            const double u = cj[k];
            umax = std::max(umax, std::abs(u));
            if (u == 0.0) continue;
            for (Eigen::Index i = k + 1; i < n; ++i) cj[i] -= ck[i] * u;
        }
    }
    return umax;
}

// The solution of LU x = b (b in x, permuted already) and an upper bound of |A^-1|_inf from the
// same factors: |T^-1| <= M(T)^-1 entrywise for a triangular T and its comparison matrix M(T)
// (|diagonal|, -|off-diagonal|), whose row sums M(T)^-1 e come from one substitution each
// (Higham, Accuracy and Stability of Numerical Algorithms, 2nd ed. 2002, sec. 8.3). Both
// substitutions column by column, the solution's and the bound's side by side. w: n entries.
template <int N>
inline __attribute__((always_inline)) double lu_substitute_n(const double* A, Eigen::Index size,
                                                             double* __restrict x,
                                                             double* __restrict w) {
    const Eigen::Index n = N > 0 ? N : size;
    double lower = 0.0;  // |L^-1|_inf, L unit lower triangular
    for (Eigen::Index i = 0; i < n; ++i) w[i] = 1.0;
    for (Eigen::Index j = 0; j < n; ++j) {
        const double* __restrict cj = A + j * n;
        const double xj = x[j], wj = w[j];
        lower = std::max(lower, wj);
        for (Eigen::Index i = j + 1; i < n; ++i) {
            x[i] -= cj[i] * xj;
            w[i] += std::abs(cj[i]) * wj;
        }
    }
    double upper = 0.0;  // |U^-1|_inf
    for (Eigen::Index i = 0; i < n; ++i) w[i] = 1.0;
    for (Eigen::Index j = n; j-- > 0;) {
        const double* __restrict cj = A + j * n;
        // 1 / u_jj does not wait for the updates above; x_j u_jj^-1 is within an ulp of x_j / u_jj
        const double r = 1.0 / cj[j];
        const double xj = x[j] *= r;
        const double wj = w[j] *= std::abs(r);
        upper = std::max(upper, wj);
        for (Eigen::Index i = 0; i < j; ++i) {
            x[i] -= cj[i] * xj;
            w[i] += std::abs(cj[i]) * wj;
        }
    }
    return lower * upper;
}

// The two above with the sizes of most speciations known to the compiler (loops it unrolls and
// vectorises whole), in the AVX2 clone and the plain one alike.
template <class Fn>
inline __attribute__((always_inline)) double by_size(Eigen::Index n, Fn&& f) {
    switch (n) {
        case 4:
            return f(std::integral_constant<int, 4>{});
        case 5:
            return f(std::integral_constant<int, 5>{});
        case 6:
            return f(std::integral_constant<int, 6>{});
        case 7:
            return f(std::integral_constant<int, 7>{});
        case 8:
            return f(std::integral_constant<int, 8>{});
        case 9:
            return f(std::integral_constant<int, 9>{});
        case 10:
            return f(std::integral_constant<int, 10>{});
        case 11:
            return f(std::integral_constant<int, 11>{});
        case 12:
            return f(std::integral_constant<int, 12>{});
        default:
            return f(std::integral_constant<int, 0>{});
    }
}

VELMORA_WIDE_CLONES
double lu_factor(double* A, Eigen::Index n, Eigen::Index* perm) {
    return by_size(n, [&](auto N) { return lu_factor_n<decltype(N)::value>(A, n, perm); });
}

VELMORA_WIDE_CLONES
double lu_substitute(const double* A, Eigen::Index n, double* __restrict x, double* __restrict w) {
    return by_size(n, [&](auto N) { return lu_substitute_n<decltype(N)::value>(A, n, x, w); });
}

// Householder QR of the first k columns of the row-major rows x ld matrix H, in place: R on
// and above the diagonal, the reflection vectors v under it (v_c at H(c, c)), beta_c = 2 / |v_c|^2,
// diag = R's diagonal. false when a column is 0 below the diagonal. The updates of the later
// columns run along the rows, several columns at a time; each column sees its own sums over the
// rows in order. dots: work of k entries.
VELMORA_WIDE_CLONES
bool householder(double* __restrict H, Eigen::Index rows, Eigen::Index ld, Eigen::Index k,
                 double* __restrict beta, double* __restrict diag, double* __restrict dots) {
    for (Eigen::Index c = 0; c < k; ++c) {
        double norm2 = 0.0;
        for (Eigen::Index i = c; i < rows; ++i) norm2 += H[i * ld + c] * H[i * ld + c];
        const double norm = std::sqrt(norm2);
        if (!(norm > 0.0)) return false;
        const double alpha = H[c * ld + c] > 0.0 ? -norm : norm;
        H[c * ld + c] -= alpha;  // v = x - alpha e_1, stored where x was
        double vv = 0.0;
        for (Eigen::Index i = c; i < rows; ++i) vv += H[i * ld + c] * H[i * ld + c];
        beta[c] = 2.0 / vv;
        diag[c] = alpha;
        // s_j = beta v . w_j for every later column w_j, then w_j -= s_j v
        for (Eigen::Index j = c + 1; j < k; ++j) dots[j] = 0.0;
        for (Eigen::Index i = c; i < rows; ++i) {
            const double vi = H[i * ld + c];
            const double* row = H + i * ld;
            for (Eigen::Index j = c + 1; j < k; ++j) dots[j] += vi * row[j];
        }
        for (Eigen::Index j = c + 1; j < k; ++j) dots[j] *= beta[c];
        for (Eigen::Index i = c; i < rows; ++i) {
            double* row = H + i * ld;
            const double vi = row[c];
            for (Eigen::Index j = c + 1; j < k; ++j) row[j] -= dots[j] * vi;
        }
    }
    return true;
}

}  // namespace

LeastSquares::LeastSquares(Eigen::Index rows, Eigen::Index cols)
    : rows_(rows),
      cols_(cols),
      colnorm_(cols),
      cut_factor_(std::numeric_limits<double>::epsilon() *
                  static_cast<double>(std::max(rows, cols))) {
    // The storage of the square path now; that of the other paths when they are first taken
    // (most solves of a speciation never need it).
    if (rows == cols) {
        inv_.resize(rows, rows);
        aug_.resize(rows, 2 * rows);
        lu_.resize(rows, rows);
        lu_work_.resize(rows);
        row_of_.resize(static_cast<std::size_t>(rows));
        slot_col_.resize(row_of_.size());
    }
    keep_.reserve(static_cast<std::size_t>(cols));
    trace_.reserve(static_cast<std::size_t>(cols));
}

void LeastSquares::qr_storage() {
    if (h_.rows() == rows_) return;
    h_.resize(rows_, cols_);
    rinv_.resize(cols_, cols_);
    hdiag_.resize(cols_);
    hbeta_.resize(cols_);
    dot_.resize(cols_);
    c_.resize(rows_);
}

bool LeastSquares::solve(const Eigen::MatrixXd& J, const Eigen::VectorXd& rhs, Eigen::VectorXd& x) {
    const Eigen::Index rows = J.rows(), cols = J.cols();
    if (cols == 0 || rows == 0) {
        x.setZero();
        path_ = Path::Empty;
        return true;
    }
    // The column norms; a NaN or infinity makes its column's norm so (as does an overflow of
    // the squares: then the entries decide).
    double norms = 0.0;
    for (Eigen::Index j = 0; j < cols; ++j) norms += (colnorm_[j] = J.col(j).norm());
    if (!std::isfinite(norms) && !J.allFinite()) return false;
    // Columns at or below the cut-off relative to the largest column.
    const double floor = cut_factor_ * colnorm_.maxCoeff();
    keep_.clear();
    for (Eigen::Index j = 0; j < cols; ++j)
        if (colnorm_[j] > floor) keep_.push_back(j);
    const auto kept = static_cast<Eigen::Index>(keep_.size());

    have_inverse_ = false;
    // A column below 1e-12 of the largest makes the bound of the inverse fail (it proves no
    // condition number beyond about 1e13): such a J goes to the trace-column test directly.
    const bool hopeless = colnorm_.minCoeff() < kHopelessColumn * colnorm_.maxCoeff();
    if (kept == cols && rows == cols && !hopeless) {
        // LU first (a third of the inverse's work), its bound of |J^-1| from the comparison
        // matrices of the factors; where that bound is too loose, the inverse decides
        if (lu_solve(J, rhs, x)) {
            path_ = Path::LU;
            return true;
        }
        if ((have_inverse_ = invert(J))) {
            // |J|_F n max|J^-1_ij| >= |J|_F |J^-1|_F >= the bound of norm_bound: far enough below
            // the threshold it decides alone (the common case), without two sums over the entries.
            const double quick =
                std::sqrt(colnorm_.squaredNorm()) * static_cast<double>(cols) * inv_max_;
            const double bound = quick * kRounding * cut_factor_ < kQuickBound
                                     ? quick
                                     : norm_bound(J) * norm_bound(inv_);
            if (std::isfinite(bound) && bound * kRounding * cut_factor_ < 1.0) {
                x.noalias() = inv_ * rhs;
                path_ = Path::LU;
                return true;
            }
        }
    } else if (kept > 0 && rows >= kept && !surely_ill(kept) && factor(J, kept)) {
        solve_factored(rhs, kept, x);
        path_ = kept == cols ? Path::QR : Path::Deflated;
        return true;
    }
    if (kept == cols && rows >= cols && solve_trace_columns(J, rhs, x)) return true;
    if (rows == cols) {
        if (!square_svd_)
            square_svd_.emplace(rows, cols, Eigen::ComputeFullU | Eigen::ComputeFullV);
        square_svd_->compute(J);
        return from_svd(*square_svd_, rhs, x);
    }
    if (!svd_) svd_.emplace(rows, cols, Eigen::ComputeThinU | Eigen::ComputeThinV);
    svd_->compute(J);
    return from_svd(*svd_, rhs, x);
}

bool LeastSquares::surely_ill(Eigen::Index k) const {
    // factor() proves full rank when |A|_F |R^-1|_F rounding cut_factor < 1; since |A|_F >= the
    // largest column and |R^-1|_F >= 1 / s_min(A) >= 1 / the smallest column, a ratio of the
    // columns far past that bound (a trace column) makes it fail: skip the factorisation.
    double lo = std::numeric_limits<double>::infinity(), hi = 0.0;
    for (Eigen::Index q = 0; q < k; ++q) {
        const double c = colnorm_[keep_[static_cast<std::size_t>(q)]];
        lo = std::min(lo, c);
        hi = std::max(hi, c);
    }
    return hi * kRounding * cut_factor_ >= kSurelyIll * lo;
}

bool LeastSquares::factor(const Eigen::MatrixXd& J, Eigen::Index k) {
    qr_storage();
    const Eigen::Index rows = J.rows();
    double fro = 0.0;
    for (Eigen::Index q = 0; q < k; ++q) {
        const Eigen::Index col = keep_[static_cast<std::size_t>(q)];
        h_.col(q) = J.col(col);
        fro += colnorm_[col] * colnorm_[col];
    }
    if (!householder(h_.data(), rows, h_.cols(), k, hbeta_.data(), hdiag_.data(), dot_.data()))
        return false;
    // R^-1 by back substitution (rows from the bottom, the columns side by side); s_min >=
    // 1 / |R^-1|_F, s_max <= |A|_F.
    for (Eigen::Index i = k; i-- > 0;) {
        for (Eigen::Index j = i; j < k; ++j) {
            double s = i == j ? 1.0 : 0.0;
            for (Eigen::Index l = i + 1; l <= j; ++l) s -= h_(i, l) * rinv_(l, j);
            rinv_(i, j) = s / hdiag_[i];
        }
    }
    double rinv2 = 0.0;
    for (Eigen::Index j = 0; j < k; ++j)
        for (Eigen::Index i = j; i >= 0; --i) rinv2 += rinv_(i, j) * rinv_(i, j);
    rinv_fro_ = std::sqrt(rinv2);
    const double bound = std::sqrt(fro) * rinv_fro_;
    return std::isfinite(bound) && bound * kRounding * cut_factor_ < 1.0;
}

void LeastSquares::apply_qt(Eigen::VectorXd& v, Eigen::Index k) const {
    const Eigen::Index rows = h_.rows();
    for (Eigen::Index c = 0; c < k; ++c) {
        double s = 0.0;
        for (Eigen::Index i = c; i < rows; ++i) s += h_(i, c) * v[i];
        s *= hbeta_[c];
        for (Eigen::Index i = c; i < rows; ++i) v[i] -= s * h_(i, c);
    }
}

void LeastSquares::solve_factored(const Eigen::VectorXd& rhs, Eigen::Index k, Eigen::VectorXd& x) {
    c_ = rhs;
    apply_qt(c_, k);
    x.setZero();
    for (Eigen::Index i = 0; i < k; ++i) {
        double s = 0.0;
        for (Eigen::Index j = i; j < k; ++j) s += rinv_(i, j) * c_[j];
        x[keep_[static_cast<std::size_t>(i)]] = s;
    }
}

bool LeastSquares::solve_trace_columns(const Eigen::MatrixXd& J, const Eigen::VectorXd& rhs,
                                       Eigen::VectorXd& x) {
    const Eigen::Index rows = J.rows(), cols = J.cols();
    const double big = colnorm_.maxCoeff();
    keep_.clear();
    trace_.clear();
    double trace2 = 0.0;
    for (Eigen::Index q = 0; q < cols; ++q) {
        if (colnorm_[q] < kTraceColumn * big) {
            trace_.push_back(q);
            trace2 += colnorm_[q] * colnorm_[q];
        } else {
            keep_.push_back(q);
        }
    }
    const auto m = static_cast<Eigen::Index>(trace_.size()), k = cols - m;
    if (m == 0 || k == 0 || rows - k > kMaxTrace) return false;

    // A = the other columns, proven well above the cut-off; |A^+| |C| small.
    if (!factor(J, k)) return false;
    if (!(rinv_fro_ * std::sqrt(trace2) < kTraceCoupling)) return false;

    // The m smallest singular values of J: those of C projected off the range of A.
    trace_block_.resize(rows - k, m);
    for (Eigen::Index t = 0; t < m; ++t) {
        c_ = J.col(trace_[static_cast<std::size_t>(t)]);
        apply_qt(c_, k);
        trace_block_.col(t) = c_.tail(rows - k);
    }
    trace_svd_.compute(trace_block_);
    const auto& small = trace_svd_.singularValues();
    // s_max(J) by power iteration on J^T J, started from the last solve's vector (J changes
    // little between Newton steps).
    if (pv_.size() != cols) {  // the first power iteration of this object
        pv_.setConstant(cols, 1.0 / std::sqrt(static_cast<double>(cols)));
        pw_.resize(rows);
    }
    double smax = 0.0;
    for (int it = 0; it < kPowerSteps; ++it) {
        pw_.noalias() = J * pv_;
        const double s = pw_.norm();
        pv_.noalias() = J.transpose() * pw_;
        const double vn = pv_.norm();
        if (!(vn > 0.0)) return false;
        pv_ /= vn;
        const bool done = std::abs(s - smax) <= kPowerTol * s;
        smax = s;
        if (done) break;
    }
    const double cut = cut_factor_ * smax;
    // The SVD itself knows s_min only to about eps s_max, a tenth of the cut-off; these values
    // are known as well, so they decide where the SVD would.
    if (small.size() == m && small.maxCoeff() <= cut) {
        solve_factored(rhs, k, x);  // the SVD drops every trace direction
        path_ = Path::Deflated;
        return true;
    }
    if (small.size() == m && small.minCoeff() > cut) {
        // full column rank: the unique solution
        if (have_inverse_) {
            x.noalias() = inv_ * rhs;
            path_ = Path::LU;
        } else {
            if (!full_qr_) full_qr_.emplace(rows, cols);
            full_qr_->compute(J);
            x = full_qr_->solve(rhs);
            path_ = Path::QR;
        }
        return true;
    }
    return false;  // on both sides of the cut-off: the SVD decides
}

template <class Svd>
bool LeastSquares::from_svd(const Svd& svd, const Eigen::VectorXd& rhs, Eigen::VectorXd& x) {
    if (svd.info() != Eigen::Success) return false;
    path_ = Path::SVD;
    const auto& s = svd.singularValues();
    const double cut = s.size() > 0 ? cut_factor_ * s[0] : 0.0;
    tmp_.resize(s.size());
    tmp_.noalias() = svd.matrixU().transpose() * rhs;
    for (Eigen::Index k = 0; k < s.size(); ++k) tmp_[k] = s[k] > cut ? tmp_[k] / s[k] : 0.0;
    x.noalias() = svd.matrixV() * tmp_;
    return true;
}

bool LeastSquares::lu_solve(const Eigen::MatrixXd& J, const Eigen::VectorXd& rhs,
                            Eigen::VectorXd& x) {
    const Eigen::Index n = J.rows();
    lu_ = J;
    const double jmax = J.cwiseAbs().maxCoeff();
    const double umax = lu_factor(lu_.data(), n, row_of_.data());
    if (!(umax > 0.0)) return false;
    for (Eigen::Index i = 0; i < n; ++i) x[i] = rhs[row_of_[static_cast<std::size_t>(i)]];
    const double inv = lu_substitute(lu_.data(), n, x.data(), lu_work_.data());
    // s_max <= |J|_F; |J^-1|_2 <= sqrt(n) |J^-1|_inf; the factors are those of J to within
    // their rounding, n eps |L| |U|, which the growth max|U| / max|J| scales
    const double bound = std::sqrt(colnorm_.squaredNorm()) * std::sqrt(static_cast<double>(n)) *
                         inv * std::max(1.0, umax / jmax);
    return std::isfinite(bound) && bound * kRounding * cut_factor_ < 1.0 && x.allFinite();
}

bool LeastSquares::invert(const Eigen::MatrixXd& J) {
    // Plain loops on row-major storage: at n ~ 10 the expression machinery of Eigen costs more
    // than the arithmetic.
    const Eigen::Index n = J.rows(), w = 2 * n;
    aug_.rightCols(n).setZero();
    aug_.leftCols(n) = J;
    if (!gauss_jordan(aug_.data(), n, row_of_.data(), slot_col_.data())) return false;
    double big = 0.0;
    bool finite = true;
    for (Eigen::Index i = 0; i < n; ++i) {
        const double* src = aug_.data() + i * w + n;
        double* dst = inv_.data() + i * n;
        for (Eigen::Index s = 0; s < n; ++s) {
            const double v = src[s];
            dst[slot_col_[static_cast<std::size_t>(s)]] = v;
            big = std::max(big, std::abs(v));
            finite = finite && v - v == 0.0;  // false for an infinity or a NaN
        }
    }
    inv_max_ = finite ? big : std::numeric_limits<double>::infinity();
    return true;
}

template <class Matrix>
double LeastSquares::norm_bound(const Matrix& M) {
    const Eigen::Index rows = M.rows(), cols = M.cols();
    rowsum_.setZero(std::max(rows_, cols_));
    double fro = 0.0, one = 0.0;
    for (Eigen::Index j = 0; j < cols; ++j) {
        double col = 0.0;
        for (Eigen::Index i = 0; i < rows; ++i) {
            const double v = M(i, j);
            fro += v * v;
            col += std::abs(v);
            rowsum_[i] += std::abs(v);
        }
        one = std::max(one, col);
    }
    return std::min(std::sqrt(fro), std::sqrt(one * rowsum_.maxCoeff()));
}

double dense_lu_factor(double* A, Eigen::Index n, Eigen::Index* perm) {
    return lu_factor(A, n, perm);
}

double dense_lu_substitute(const double* A, Eigen::Index n, double* x, double* w) {
    return lu_substitute(A, n, x, w);
}

}  // namespace brinequil::core
