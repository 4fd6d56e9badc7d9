// Tests of the vapor-liquid equilibrium (brinequil/equilibrium/flash) without Python, on an
// ideal liquid and vapor (Raoult's law through the hooks), where the split and the bubble point
// are known in closed form. The K-values and pressures are test inputs.
#include <cmath>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "check.hpp"
#include "equilibrium/flash.hpp"

namespace {

namespace core = brinequil::core;

// Binary Rachford-Rice: z1 a / (1 + beta a) + z2 b / (1 + beta b) = 0 with a = K1 - 1, b = K2 - 1
// is linear in beta: beta = -(z1 a + z2 b) / (a b (z1 + z2)).
double binary_beta(const Eigen::Vector2d& z, const Eigen::Vector2d& K) {
    const double a = K[0] - 1.0, b = K[1] - 1.0;
    return -(z[0] * a + z[1] * b) / (a * b * z.sum());
}

void rachford_rice_meets_the_binary_root_and_its_limits() {
    const Eigen::Vector2d z(0.4, 0.6);
    for (const Eigen::Vector2d& K :
         {Eigen::Vector2d(3.0, 0.4), Eigen::Vector2d(1.5, 0.2), Eigen::Vector2d(40.0, 0.9)}) {
        const double want = binary_beta(z, K);
        CHECK_CLOSE(core::rachford_rice(z, K), want, 1e-12 * std::abs(want));
    }
    // three components: the residual vanishes at the root
    const Eigen::Vector3d z3(0.2, 0.5, 0.3), K3(5.0, 0.8, 0.1);
    const double beta = core::rachford_rice(z3, K3);
    const double g = (z3.array() * (K3.array() - 1.0) / (1.0 + beta * (K3.array() - 1.0))).sum();
    CHECK(beta > 0.0 && beta < 1.0 && std::abs(g) < 1e-12);
    CHECK(core::rachford_rice(z, Eigen::Vector2d(2.0, 3.0)) == INFINITY);   // all above 1
    CHECK(core::rachford_rice(z, Eigen::Vector2d(0.2, 0.3)) == -INFINITY);  // all below 1
    CHECK(std::isnan(core::rachford_rice(z, Eigen::Vector2d(NAN, 0.3))));
    CHECK(core::rachford_rice(Eigen::Vector2d(0.0, 0.0), Eigen::Vector2d(2.0, 0.3)) == 0.0);
}

// Raoult's law: liquid fugacity x Psat, ideal vapor; K = Psat / P.
struct Raoult {
    Eigen::VectorXd psat;
    core::SplitHooks split() const {
        core::SplitHooks h;
        h.fug = [this](const Eigen::VectorXd& xl) {
            core::ComponentFugacities f;
            f.has.assign(static_cast<std::size_t>(xl.size()), 1);
            f.f = xl.cwiseProduct(psat);
            f.n = xl;
            return f;
        };
        h.ln_phi = [](const Eigen::VectorXd& y) { return Eigen::VectorXd::Zero(y.size()).eval(); };
        h.name = [](Eigen::Index k) { return "C" + std::to_string(k); };
        return h;
    }
};

void newton_split_of_an_ideal_binary_is_the_rachford_rice_root() {
    const double P = 1e5;
    const Raoult raoult{Eigen::Vector2d(3.0 * P, 0.4 * P)};
    const Eigen::Vector2d z(0.4, 0.6), K(3.0, 0.4);
    const double beta = binary_beta(z, K);
    const Eigen::Vector2d yv = (K.array() * z.array() / (1.0 + beta * (K.array() - 1.0))).matrix();
    // started near the root, as the TP flash starts it from its substitution
    const auto res = core::flash_newton(z, P, 0.9 * beta * yv, {1, 1}, raoult.split());
    CHECK(res.status == 1);
    CHECK_CLOSE(res.beta, beta, 1e-9);
    for (int i = 0; i < 2; ++i) {
        const double x = z[i] / (1.0 + beta * (K[i] - 1.0));
        CHECK_CLOSE(res.x[i], x, 1e-9);
        CHECK_CLOSE(res.y[i], K[i] * x, 1e-9);
        CHECK_CLOSE(beta * res.y[i] + (1.0 - beta) * res.x[i], z[i], 1e-12);  // component balance
    }
}

void tp_flash_of_an_ideal_binary_splits_and_weighs_the_phase_energies() {
    const Eigen::Vector2d z(0.4, 0.6), K(3.0, 0.4);
    const Eigen::Vector2d hv(-2.0e8, -1.5e8), hl(-2.4e8, -1.9e8), sv(1.0e5, 2.0e5),
        sl(0.5e5, 0.8e5);
    const double P = 1e5;
    const Raoult raoult{K * P};
    core::TPFlashHooks h;
    h.kvalues = [&](const Eigen::VectorXd& x, const Eigen::VectorXd&) {
        return core::KValues{K, x};
    };
    h.newton = [&](const Eigen::VectorXd& zz, const Eigen::VectorXd& v0) {
        return core::flash_newton(zz, P, v0, {1, 1}, raoult.split());
    };
    h.true_amounts = [](const Eigen::VectorXd& x) { return x; };
    h.rachford_rice = core::rachford_rice;
    h.enthalpy_vapor = [&](const Eigen::VectorXd& y) { return y.dot(hv); };
    h.entropy_vapor = [&](const Eigen::VectorXd& y) { return y.dot(sv); };
    h.liquid_enthalpy = [&](const Eigen::VectorXd& n) { return n.dot(hl); };
    h.entropy_liquid = [&](const Eigen::VectorXd& x) { return x.dot(sl); };
    // the feed unnormalised: the flash normalises it
    const auto res = core::flash_tp(3.0 * z, 2, core::kFlashTol, h);
    const double beta = binary_beta(z, K);
    CHECK_CLOSE(res.beta, beta, 1e-9);
    const Eigen::Vector2d x = z.array() / (1.0 + beta * (K.array() - 1.0));
    const Eigen::Vector2d y = K.cwiseProduct(x);
    CHECK((res.x - x).cwiseAbs().maxCoeff() < 1e-9 && (res.y - y).cwiseAbs().maxCoeff() < 1e-9);
    CHECK_CLOSE(res.H, beta * y.dot(hv) + (1.0 - beta) * x.dot(hl), 1e-9 * 2e8);
    CHECK_CLOSE(res.S, beta * y.dot(sv) + (1.0 - beta) * x.dot(sl), 1e-9 * 2e5);
    // below the bubble point: all liquid, the vapor not evaluated
    const Eigen::Vector2d low(0.9, 0.3);
    h.kvalues = [&](const Eigen::VectorXd& xx, const Eigen::VectorXd&) {
        return core::KValues{low, xx};
    };
    h.enthalpy_vapor = [](const Eigen::VectorXd&) -> double {
        throw std::runtime_error("vapor asked");
    };
    const auto liquid = core::flash_tp(z, 2, core::kFlashTol, h);
    CHECK(liquid.beta == 0.0 && (liquid.x - z).norm() < 1e-15);
    CHECK_CLOSE(liquid.H, z.dot(hl), 1e-9 * 2e8);
}

void bubble_temperature_of_clausius_clapeyron_components() {
    // K_i = exp(A_i - B / T) with one B: sum K x = 1 at T = B / ln(sum x_i e^A_i); the vapor is
    // K x. A single component boils at B / A.
    const double B = 4000.0;
    const Eigen::Vector3d A(12.0, 10.5, 9.0);
    auto kvalues = [&](double T) { return (A.array() - B / T).exp().matrix().eval(); };
    const Eigen::Vector3d x(0.2, 0.5, 0.3);
    const auto bt = core::bubble_t(x, 340.0, kvalues);
    const double want = B / std::log(x.dot(A.array().exp().matrix()));
    CHECK_CLOSE(bt.T, want, 1e-7);
    CHECK_CLOSE(bt.y.sum(), 1.0, 1e-9);
    CHECK((bt.y - kvalues(want).cwiseProduct(x)).cwiseAbs().maxCoeff() < 1e-9);
    // far from the start (more than one window away)
    const auto pure = core::bubble_t(Eigen::Vector3d(0.0, 0.0, 1.0), 380.0, kvalues);
    CHECK_CLOSE(pure.T, B / A[2], 1e-7);
}

}  // namespace

int main() {
    return ctest_checks::run(
        "flash_tests", {
                           {"rachford_rice_meets_the_binary_root_and_its_limits",
                            rachford_rice_meets_the_binary_root_and_its_limits},
                           {"newton_split_of_an_ideal_binary_is_the_rachford_rice_root",
                            newton_split_of_an_ideal_binary_is_the_rachford_rice_root},
                           {"tp_flash_of_an_ideal_binary_splits_and_weighs_the_phase_energies",
                            tp_flash_of_an_ideal_binary_splits_and_weighs_the_phase_energies},
                           {"bubble_temperature_of_clausius_clapeyron_components",
                            bubble_temperature_of_clausius_clapeyron_components},
                       });
}
