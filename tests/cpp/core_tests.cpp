// Unit tests of the numerical core without Python: the least-squares step of the speciation, the
// warm Newton steps of a temperature solve's splits and the exact sum of the package's vapor
// enthalpy (the hybrid Powell solver of the split: tests/test_solvers.py, against MINPACK's
// iterates and counts through SciPy). A failed check prints its place and values; the exit
// status is 1 on any failure.
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include <Eigen/Dense>

#include "equilibrium/flash.hpp"
#include "equilibrium/package_props.hpp"
#include "equilibrium/solvers.hpp"
#include "model/least_squares.hpp"
#include "check.hpp"

namespace {

using brinequil::core::LeastSquares;
using Path = LeastSquares::Path;

// Minimum-norm least squares by the complete orthogonal decomposition, as reference.
Eigen::VectorXd reference(const Eigen::MatrixXd& J, const Eigen::VectorXd& rhs) {
    Eigen::CompleteOrthogonalDecomposition<Eigen::MatrixXd> cod(J);
    cod.setThreshold(Eigen::NumTraits<double>::epsilon() * std::max(J.rows(), J.cols()));
    return cod.solve(rhs);
}

void square_full_rank_takes_the_lu_and_solves_exactly() {
    Eigen::MatrixXd J(3, 3);
    J << 4, 1, 0, 1, 3, 1, 0, 1, 2;
    const Eigen::VectorXd want(Eigen::Vector3d(1.0, -2.0, 0.5));
    const Eigen::VectorXd rhs = J * want;
    LeastSquares lsq(3, 3);
    Eigen::VectorXd x(3);
    CHECK(lsq.solve(J, rhs, x));
    CHECK(lsq.last_path() == Path::LU);
    CHECK((x - want).norm() < 1e-14);
}

void square_systems_with_row_swaps_or_near_the_cut_off_take_the_lu() {
    // Zero and tiny diagonals force row swaps (the inverse is kept in pivot order internally);
    // the same object solves a second system with two columns exchanged.
    Eigen::MatrixXd P(4, 4);
    P << 0, 2, 1, 0, 1e-3, 0, 3, 1, 4, 1, 0, 2, 0, 1, 2, 1e-9;
    Eigen::VectorXd want = (Eigen::VectorXd(4) << 1.0, -2.0, 0.5, 3.0).finished();
    LeastSquares lsq(4, 4);
    Eigen::VectorXd x(4);
    for (int rep = 0; rep < 2; ++rep) {
        CHECK(lsq.solve(P, P * want, x));
        CHECK(lsq.last_path() == Path::LU);
        CHECK((x - want).cwiseAbs().maxCoeff() < 1e-13);
        P.col(1).swap(P.col(3));
        std::swap(want[1], want[3]);
    }
    // Condition number about a^3 = 6.9e13: past the quick bound, within the cut-off by the full
    // one; every step of the elimination is exact here, so is the solution.
    const double a = 40960.0;
    Eigen::MatrixXd J(3, 3);
    J << 1, a, 0, 0, 1, a, 0, 0, 1;
    const Eigen::Vector3d exact(3.0, -1.0, 2.0);
    LeastSquares ill(3, 3);
    Eigen::VectorXd y(3);
    CHECK(ill.solve(J, J * exact, y));
    CHECK(ill.last_path() == Path::LU);
    CHECK(y == Eigen::VectorXd(exact));
}

void square_solves_agree_with_the_svd_on_both_sides_of_the_cut_off() {
    // Matrices U diag(s) V^T with condition numbers 1e8 .. 1e18, rows and columns scaled apart
    // (as the speciation's are): whichever path solves, the step is the truncated SVD's to the
    // accuracy the condition allows, and elimination (LU) is taken only where the SVD keeps every
    // singular value (it never solves a system the SVD would truncate).
    const int n = 8;
    unsigned long long seed = 12345;
    auto uniform = [&seed] {  // a small LCG: the same matrices on every platform
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(seed >> 11) / 9007199254740992.0 * 2.0 - 1.0;
    };
    int lu = 0, other = 0;
    for (int rep = 0; rep < 60; ++rep) {
        Eigen::MatrixXd A(n, n), B(n, n);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                A(i, j) = uniform();
                B(i, j) = uniform();
            }
        const Eigen::MatrixXd U = Eigen::HouseholderQR<Eigen::MatrixXd>(A).householderQ();
        const Eigen::MatrixXd V = Eigen::HouseholderQR<Eigen::MatrixXd>(B).householderQ();
        const double kappa = std::pow(10.0, 8.0 + 10.0 * rep / 59.0);
        Eigen::VectorXd sv(n);
        for (int k = 0; k < n; ++k) sv[k] = std::pow(kappa, -static_cast<double>(k) / (n - 1));
        Eigen::MatrixXd J = U * sv.asDiagonal() * V.transpose();
        for (int k = 0; k < n; ++k) {
            J.row(k) *= std::pow(10.0, (k % 3) - 1.0);
            J.col(k) *= std::pow(10.0, 1.0 - (k % 4));
        }
        Eigen::VectorXd rhs(n);
        for (int k = 0; k < n; ++k) rhs[k] = uniform();
        LeastSquares lsq(n, n);
        Eigen::VectorXd x(n);
        CHECK(lsq.solve(J, rhs, x));
        Eigen::JacobiSVD<Eigen::MatrixXd> svd(J, Eigen::ComputeFullU | Eigen::ComputeFullV);
        const double cut = Eigen::NumTraits<double>::epsilon() * n * svd.singularValues()[0];
        const bool full = svd.singularValues()[n - 1] > cut;
        if (lsq.last_path() == Path::LU) {
            ++lu;
            CHECK(full);
            const double cond = svd.singularValues()[0] / svd.singularValues()[n - 1];
            const Eigen::VectorXd want = svd.solve(rhs);
            CHECK((x - want).norm() <= 1e-13 * cond * std::max(1.0, want.norm()));
        } else {
            ++other;
        }
    }
    CHECK(lu > 10 && other > 10);  // both sides of the cut-off were met
}

void rank_deficient_square_gives_the_minimum_norm_solution() {
    // Two equal rows and columns: rank 2 of 3; the SVD decides, the null direction gets nothing.
    Eigen::MatrixXd J(3, 3);
    J << 1, 2, 2, 2, 1, 1, 2, 1, 1;
    const Eigen::VectorXd rhs(Eigen::Vector3d(1.0, 3.0, 3.0));
    LeastSquares lsq(3, 3);
    Eigen::VectorXd x(3);
    CHECK(lsq.solve(J, rhs, x));
    CHECK(lsq.last_path() == Path::SVD);
    CHECK((x - reference(J, rhs)).norm() < 1e-13);
    CHECK_CLOSE(x[1], x[2], 1e-14);  // minimum norm splits equally between the equal columns
}

void column_below_the_cut_off_is_dropped() {
    // A column 1e-17 of the others lies under eps * 3 * s_max: its unknown stays at 0, as
    // numpy.linalg.lstsq(rcond=None) leaves it.
    Eigen::MatrixXd J = Eigen::MatrixXd::Identity(3, 3);
    J(2, 2) = 1e-17;
    LeastSquares lsq(3, 3);
    Eigen::VectorXd x(3);
    CHECK(lsq.solve(J, Eigen::Vector3d(1.0, 2.0, 1.0), x));
    CHECK(lsq.last_path() == Path::Deflated);
    CHECK(x[2] == 0.0 && std::abs(x[0] - 1.0) < 1e-15 && std::abs(x[1] - 2.0) < 1e-15);
}

void trace_column_follows_the_svd_decision() {
    // A well-conditioned 4 x 4 system whose last column is scaled down (a species at a trace
    // amount, 1e-14 of the rest at the warm start's floor): below the cut-off eps * 4 * s_max the
    // SVD drops it, 1e-13 lies above it and is kept. Either way the step agrees with the
    // truncated SVD's; at 1e-16 the column is deflated, its unknown 0 and the rest the
    // least-squares solution without it.
    for (double scale : {1e-16, 1e-15, 1e-13}) {
        Eigen::MatrixXd J(4, 4);
        J << 3, 1, 0, 1, 1, 4, 1, -2, 0, 1, 5, 1, 1, 0, 1, 3;
        J.col(3) *= scale;
        const Eigen::VectorXd rhs = (Eigen::VectorXd(4) << 1, -1, 2, 0.5).finished();
        LeastSquares lsq(4, 4);
        Eigen::VectorXd x(4);
        CHECK(lsq.solve(J, rhs, x));
        CHECK(lsq.last_path() != Path::SVD);
        Eigen::JacobiSVD<Eigen::MatrixXd> svd(J, Eigen::ComputeFullU | Eigen::ComputeFullV);
        svd.setThreshold(Eigen::NumTraits<double>::epsilon() * 4);
        const Eigen::VectorXd want = svd.solve(rhs);
        CHECK((x.head(3) - want.head(3)).cwiseAbs().maxCoeff() < 1e-12);
        CHECK(std::abs(x[3] - want[3]) <= 1e-6 * std::max(1.0, std::abs(want[3])));
        if (scale == 1e-16) {
            CHECK(lsq.last_path() == Path::Deflated && x[3] == 0.0);
            CHECK((x - want).cwiseAbs().maxCoeff() < 1e-14);
        }
    }
}

void overdetermined_takes_the_qr_and_matches_the_reference() {
    Eigen::MatrixXd J(5, 3);
    J << 1, 0, 1, 0, 1, 1, 1, 1, 0, 2, 0, 1, 0, 3, 1;
    const Eigen::VectorXd rhs = (Eigen::VectorXd(5) << 1, 2, 3, 4, 5).finished();
    LeastSquares lsq(5, 3);
    Eigen::VectorXd x(3);
    CHECK(lsq.solve(J, rhs, x));
    CHECK(lsq.last_path() == Path::QR);
    CHECK((x - reference(J, rhs)).norm() < 1e-13);
    // normal equations hold at the least-squares solution
    CHECK((J.transpose() * (J * x - rhs)).norm() < 1e-12);
}

void non_finite_matrix_is_refused() {
    Eigen::MatrixXd J = Eigen::MatrixXd::Identity(2, 2);
    J(0, 1) = std::nan("");
    LeastSquares lsq(2, 2);
    Eigen::VectorXd x(2);
    const bool ok = lsq.solve(J, Eigen::Vector2d(1.0, 1.0), x);
    CHECK(!ok || !x.allFinite());
}

void warm_newton_follows_a_moved_root_with_a_stale_jacobian() {
    // The root moves (as a split does from one temperature to the next); the Jacobian of the
    // old root starts the steps, Broyden's rule keeps it up: a few evaluations, no differences.
    auto system = [](double a) {
        return [a](const Eigen::VectorXd& x, Eigen::VectorXd& r) {
            r[0] = x[0] * x[0] + x[1] * x[1] - a;
            r[1] = std::exp(x[0]) + x[1] - 1.0;
        };
    };
    brinequil::core::SystemFn f = system(4.0);
    const auto old = brinequil::core::hybrd(f, Eigen::Vector2d(1.0, 1.0));
    CHECK(old.status == 1 && old.jac.rows() == 2);
    long calls = 0;
    const brinequil::core::SystemFn moved = [&](const Eigen::VectorXd& x, Eigen::VectorXd& r) {
        ++calls;
        system(4.02)(x, r);
    };
    Eigen::VectorXd x = old.x, fx;
    Eigen::MatrixXd J = old.jac;
    const auto res = brinequil::core::warm_newton(moved, x, J, fx);
    CHECK(res.converged && res.nfev == calls && calls <= 6);
    Eigen::VectorXd r(2);
    moved(x, r);
    CHECK(r.cwiseAbs().maxCoeff() <= 1e-10 && (r - fx).norm() == 0.0);
    // without a Jacobian: forward differences first (two more evaluations)
    x = old.x;
    J.resize(0, 0);
    calls = 0;
    CHECK(brinequil::core::warm_newton(moved, x, J, fx).converged && J.rows() == 2 && calls <= 8);
}

void warm_newton_gives_up_without_a_root() {
    // x^2 + 1 has no real root: the steps stop at the evaluation limit, not converged.
    const brinequil::core::SystemFn f = [](const Eigen::VectorXd& x, Eigen::VectorXd& r) {
        r[0] = x[0] * x[0] + 1.0;
    };
    Eigen::VectorXd x = Eigen::VectorXd::Constant(1, 0.5), fx;
    Eigen::MatrixXd J;
    const auto res = brinequil::core::warm_newton(f, x, J, fx);
    CHECK(!res.converged && res.nfev <= brinequil::core::NewtonSettings().maxfev + 1);
}

void exact_sum_is_the_correctly_rounded_sum() {
    using brinequil::core::exact_sum;
    CHECK(exact_sum({1e100, 1.0, -1e100}) == 1.0);
    CHECK(exact_sum(std::vector<double>(10, 0.1)) == 1.0);  // plain addition: 0.9999999999999999
    CHECK(exact_sum({1e-16, 1.0, 1e16}) == 10000000000000002.0);  // half-even across partials
    CHECK(exact_sum({}) == 0.0);
}

}  // namespace

int main() {
    return ctest_checks::run(
        "core_tests", {
                          CASE(square_full_rank_takes_the_lu_and_solves_exactly),
                          CASE(square_systems_with_row_swaps_or_near_the_cut_off_take_the_lu),
                          CASE(square_solves_agree_with_the_svd_on_both_sides_of_the_cut_off),
                          CASE(rank_deficient_square_gives_the_minimum_norm_solution),
                          CASE(column_below_the_cut_off_is_dropped),
                          CASE(trace_column_follows_the_svd_decision),
                          CASE(overdetermined_takes_the_qr_and_matches_the_reference),
                          CASE(non_finite_matrix_is_refused),
                          CASE(warm_newton_follows_a_moved_root_with_a_stale_jacobian),
                          CASE(warm_newton_gives_up_without_a_root),
                          CASE(exact_sum_is_the_correctly_rounded_sum),
                      });
}
