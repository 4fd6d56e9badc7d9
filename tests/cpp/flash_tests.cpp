// Tests of the vapor-liquid equilibrium (brinequil/equilibrium/flash) without Python, on an
// ideal liquid and vapor (Raoult's law through the hooks), where the split and the bubble point
// are known in closed form; on the same, the warm splits of a temperature solve (split_trail) and
// the package's functions in a flash (flash_source); the arithmetic of a flash's liquid tables
// (flash_liquid) and the phase check of an answer (phase_check). The K-values, pressures and
// table entries are test inputs.
#include <cmath>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "check.hpp"
#include "equilibrium/bubble_search.hpp"
#include "equilibrium/flash.hpp"
#include "equilibrium/flash_liquid.hpp"
#include "equilibrium/flash_source.hpp"
#include "equilibrium/phase_check.hpp"
#include "equilibrium/solvers.hpp"
#include "equilibrium/split_newton.hpp"
#include "equilibrium/split_trail.hpp"
#include "model/errors.hpp"

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
    // The TP flash's hooks at P: K = psat / P whatever the liquid, the split above, the true
    // amounts the liquid itself, and linear phase energies (H or S of a phase: its composition
    // dotted with hv, hl, sv, sl).
    core::TPFlashHooks flash(double P, const Eigen::Vector2d& hv, const Eigen::Vector2d& hl,
                             const Eigen::Vector2d& sv, const Eigen::Vector2d& sl) const {
        core::TPFlashHooks h;
        h.kvalues = [this, P](const Eigen::VectorXd& x, const Eigen::VectorXd&) {
            return core::KValues{psat / P, x};
        };
        h.newton = [this, P](const Eigen::VectorXd& zz, const Eigen::VectorXd& v0) {
            return core::flash_newton(zz, P, v0, {1, 1}, split());
        };
        h.true_amounts = [](const Eigen::VectorXd& x) { return x; };
        h.rachford_rice = core::rachford_rice;
        h.enthalpy_vapor = [hv](const Eigen::VectorXd& y) { return y.dot(hv); };
        h.entropy_vapor = [sv](const Eigen::VectorXd& y) { return y.dot(sv); };
        h.liquid_enthalpy = [hl](const Eigen::VectorXd& n) { return n.dot(hl); };
        h.entropy_liquid = [sl](const Eigen::VectorXd& x) { return x.dot(sl); };
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
    core::TPFlashHooks h = raoult.flash(P, hv, hl, sv, sl);
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

// The front door's bubble temperature search on g(T) = ln sum_i x_i exp(A_i - B / T) (ideal
// components with one B, P = 1): the root T = B / ln(sum x_i e^A_i) from below and from above,
// the refusal at either bound, an end that reads with the other sign when Brent reads it again,
// and an evaluation that steps aside.
void bubble_search_brackets_and_meets_the_closed_form() {
    const double B = 4000.0;
    const Eigen::Vector3d A(12.0, 10.5, 9.0), x(0.2, 0.5, 0.3);
    auto g = [&](double T) { return std::log(x.dot((A.array() - B / T).exp().matrix())); };
    const double want = B / std::log(x.dot(A.array().exp().matrix()));
    for (double T0 : {200.0, 300.0, 690.0}) {
        const core::BubbleSearch r = core::bubble_search(g, T0, 200.0, 700.0);
        CHECK(r.outcome == core::BubbleSearch::kFound);
        CHECK_CLOSE(r.T, want, 1e-8);
        CHECK(r.evaluations > 2);
    }
    // no sign change: a liquid that never boils below 700 K, one that boils below 200 K; g is the
    // value at the last T before the bound (step 10 K, then x 1.6: 350, 360, 376, ...)
    const core::BubbleSearch cold =
        core::bubble_search([](double) { return -1.0; }, 350.0, 200.0, 700.0);
    CHECK(cold.outcome == core::BubbleSearch::kBound && cold.T == 700.0 && cold.g == -1.0);
    int calls = 0;
    auto warm_liquid = [&](double T) {
        ++calls;
        return 0.5 + 1e-3 * T;
    };
    // down from 350 K: 340, 324, 298.4, 257.44, then 200 (191.9 clamped), no sign change
    const core::BubbleSearch hot = core::bubble_search(warm_liquid, 350.0, 200.0, 700.0);
    CHECK(hot.outcome == core::BubbleSearch::kBound && hot.T == 200.0 && calls == 6);
    CHECK(hot.evaluations == calls);
    CHECK_CLOSE(hot.g, 0.5 + 0.25744, 1e-12);
    // the end near the root reads g = -1e-9 first, +1e-9 when Brent reads it again: Brent finds no
    // sign change and that end is taken (the smaller |g|)
    int at_start = 0;
    auto noisy = [&](double T) {
        if (T == 365.0) return ++at_start == 1 ? -1e-9 : 1e-9;
        return T - 365.0;
    };
    const core::BubbleSearch end = core::bubble_search(noisy, 365.0, 200.0, 700.0);
    CHECK(end.outcome == core::BubbleSearch::kFound && end.T == 365.0 && at_start == 2);
    // an evaluation that is not the usual one, or no number: the caller's own loop
    auto aside = [&](double T) -> double {
        if (T > 380.0) throw core::BubbleStepAside{};
        return g(T);
    };
    CHECK(core::bubble_search(aside, 300.0, 200.0, 700.0).outcome ==
          core::BubbleSearch::kStepAside);
    CHECK(core::bubble_search([](double) { return NAN; }, 300.0, 200.0, 700.0).outcome ==
          core::BubbleSearch::kStepAside);
}

// The split's problem on the ideal binary of the two splits' tests below: z, P, both
// components volatile, T within 200-700 K.
core::SplitAtBeta ideal_binary_split(const Eigen::Vector2d& z, double P) {
    core::SplitAtBeta p;
    p.z = z;
    p.V = {0, 1};
    p.species = {0, 1};
    p.names = {"A", "B"};
    p.zV = z;
    p.P = P;
    p.T_min = 200.0;
    p.T_max = 700.0;
    return p;
}

// The front door's split at a given vapor fraction on an ideal binary (Raoult's law, Psat_k =
// P exp(A_k - B / T) with one B, so K_k = exp(A_k - B / T)): at T* the binary Rachford-Rice root
// is beta* in closed form; the split asked for beta* finds T*, x_k = z_k / (1 + beta (K_k - 1))
// and y = K x, from a start with the light component mostly vapor too (its unknown then ln of
// what stays liquid). A budget too small, a trial liquid the engine does not take and one that
// holds none of a component end it with their outcomes.
void split_at_beta_meets_the_closed_form_of_an_ideal_binary() {
    const double P = 1e5, B = 4000.0, Tstar = 360.0;
    const Eigen::Vector2d A(12.0, 10.0), z(0.5, 0.5);
    auto K = [&](double T) { return (A.array() - B / T).exp().matrix().eval(); };
    const double beta = binary_beta(z, K(Tstar));
    CHECK(beta > 0.0 && beta < 1.0);
    int liquids = 0;
    auto raoult = [&](const Eigen::VectorXd& x, double T, core::TrialLiquid& out) {
        ++liquids;
        out.f = x.cwiseProduct(K(T)) * P;
        out.n = x;
        out.cost = 2;
    };
    core::SplitAtBeta p = ideal_binary_split(z, P);
    p.beta = beta;
    core::SplitSettings set;
    for (const Eigen::Vector3d& w0 :
         {Eigen::Vector3d(std::log(0.5 * beta * z[0]), std::log(0.5 * beta * z[1]), 340.0),
          Eigen::Vector3d(std::log(0.9 * z[0]), std::log(0.05), 390.0)}) {
        liquids = 0;
        const core::SplitNewton r = core::split_at_beta(p, raoult, w0, set);
        CHECK(r.outcome == core::SplitNewton::kFound && r.why.empty());
        if (r.outcome != core::SplitNewton::kFound) continue;
        CHECK_CLOSE(r.point.T, Tstar, 1e-6);
        CHECK_CLOSE(r.point.vs, beta, 1e-9);
        const Eigen::Vector2d k = K(Tstar);
        for (int i = 0; i < 2; ++i) {
            const double x = z[i] / (1.0 + beta * (k[i] - 1.0));
            CHECK_CLOSE(r.point.x[i], x, 1e-9);
            CHECK_CLOSE(r.point.y[i], k[i] * x, 1e-9);
        }
        CHECK(r.evaluations == liquids && liquids > 4);
    }
    const Eigen::Vector3d w0(std::log(0.5 * beta * z[0]), std::log(0.5 * beta * z[1]), 340.0);
    // the budget: one per evaluation and its cost (2): 8 spent by three, the fourth refused
    set.budget = 8;
    const core::SplitNewton spent = core::split_at_beta(p, raoult, w0, set);
    CHECK(spent.outcome == core::SplitNewton::kSpent &&
          spent.why == "split: evaluation budget spent");
    set.budget = 300000;
    auto aside = [&](const Eigen::VectorXd& x, double T, core::TrialLiquid& out) {
        if (T > 345.0) throw core::SplitStepAside{};
        raoult(x, T, out);
    };
    CHECK(core::split_at_beta(p, aside, w0, set).outcome == core::SplitNewton::kStepAside);
    auto dry = [&](const Eigen::VectorXd& x, double T, core::TrialLiquid& out) {
        raoult(x, T, out);
        out.f[1] = 0.0;
    };
    const core::SplitNewton none = core::split_at_beta(p, dry, w0, set);
    CHECK(none.outcome == core::SplitNewton::kNoAnswer && none.why == "the liquid holds no B");
    // T* beyond T_max: the steps toward it halved to within the bound, the next Jacobian's
    // difference in T then lies beyond it, and that evaluation's refusal ends the search
    p.T_max = 350.0;
    const core::SplitNewton hot = core::split_at_beta(p, raoult, w0, set);
    CHECK(hot.outcome == core::SplitNewton::kNoAnswer && hot.why == "temperature out of range");
}

// The TP flash's split at a given T on the same ideal binary: at T* the split is the binary
// Rachford-Rice root beta* and x_k = z_k / (1 + beta (K_k - 1)), y = K x in closed form, from
// either start; the budget left is what it was less one per evaluation and each trial liquid's
// cost (2); a T outside the bounds, a small budget and a trial liquid the engine does not take
// end it with their outcomes.
void split_at_T_meets_the_closed_form_of_an_ideal_binary() {
    const double P = 1e5, B = 4000.0;
    const Eigen::Vector2d A(12.0, 10.0), z(0.5, 0.5);
    auto K = [&](double T) { return (A.array() - B / T).exp().matrix().eval(); };
    int liquids = 0;
    auto raoult = [&](const Eigen::VectorXd& x, double T, core::TrialLiquid& out) {
        ++liquids;
        out.f = x.cwiseProduct(K(T)) * P;
        out.n = x;
        out.cost = 2;
    };
    core::SplitAtBeta p = ideal_binary_split(z, P);
    core::SplitSettings set;
    set.budget = 1000;
    for (const double T : {355.0, 360.0, 375.0}) {
        const Eigen::Vector2d k = K(T);
        const double beta = binary_beta(z, k);
        CHECK(beta > 0.0 && beta < 1.0);
        // half the feed as the incipient vapor K z / sum K z (the front door's middle start),
        // and the light component mostly vapor (its unknown then ln of what stays liquid)
        const Eigen::Vector2d y0 = z.cwiseProduct(k) / z.dot(k);
        for (const Eigen::Vector2d& w0 : {Eigen::Vector2d((0.5 * y0).array().log()),
                                          Eigen::Vector2d(std::log(0.9 * z[0]), std::log(0.05))}) {
            liquids = 0;
            const core::SplitNewton r = core::split_at_T(p, T, raoult, w0, set);
            CHECK(r.outcome == core::SplitNewton::kFound && r.why.empty());
            if (r.outcome != core::SplitNewton::kFound) continue;
            CHECK_CLOSE(r.point.T, T, 0.0);
            CHECK_CLOSE(r.point.vs, beta, 1e-9);
            for (int i = 0; i < 2; ++i) {
                const double x = z[i] / (1.0 + beta * (k[i] - 1.0));
                CHECK_CLOSE(r.point.x[i], x, 1e-9);
                CHECK_CLOSE(r.point.y[i], k[i] * x, 1e-9);
            }
            CHECK(r.evaluations == liquids && liquids > 2);
            CHECK(r.budget == 1000 - 3LL * liquids);
        }
    }
    const Eigen::Vector2d w0(std::log(0.1 * z[0]), std::log(0.1 * z[1]));
    // three evaluations cost all 9; the fourth is refused, leaving -1 (the loop's count)
    set.budget = 9;
    const core::SplitNewton spent = core::split_at_T(p, 360.0, raoult, w0, set);
    CHECK(spent.outcome == core::SplitNewton::kSpent &&
          spent.why == "split: evaluation budget spent" && spent.budget == -1);
    set.budget = 1000;
    // T beyond the bounds: no trial liquid, one evaluation charged
    liquids = 0;
    const core::SplitNewton hot = core::split_at_T(p, 750.0, raoult, w0, set);
    CHECK(hot.outcome == core::SplitNewton::kNoAnswer && hot.why == "temperature out of range" &&
          hot.budget == 999 && liquids == 0);
    int calls = 0;
    auto aside = [&](const Eigen::VectorXd& x, double T, core::TrialLiquid& out) {
        if (++calls > 3) throw core::SplitStepAside{};
        raoult(x, T, out);
    };
    CHECK(core::split_at_T(p, 360.0, aside, w0, set).outcome == core::SplitNewton::kStepAside);
}

// The front door's dew point on the same ideal binary: sum_k z_k / K_k(T) = 1 gives exp(B / T*) =
// 1 / sum_k z_k exp(-A_k) in closed form, the incipient liquid x_k = z_k / K_k(T*); found from
// the front door's start (x_k ~ z_k / K_k(T0), normalised) above and below T*, one trial liquid
// an evaluation. A trial liquid that holds none of a component, one the engine does not take, a
// T* beyond T_max and a budget too small end it with their outcomes.
void dew_point_meets_the_closed_form_of_an_ideal_binary() {
    const double P = 1e5, B = 4000.0;
    const Eigen::Vector2d A(12.0, 10.0), z(0.7, 0.3);
    auto K = [&](double T) { return (A.array() - B / T).exp().matrix().eval(); };
    const double Tstar = B / -std::log(z.dot((-A).array().exp().matrix()));
    CHECK(Tstar > 300.0 && Tstar < 450.0);
    int liquids = 0;
    auto raoult = [&](const Eigen::VectorXd& x, double T, core::TrialLiquid& out) {
        ++liquids;
        out.f = x.cwiseProduct(K(T)) * P;
        out.n = x;
    };
    core::SplitAtBeta p = ideal_binary_split(z, P);
    core::SplitSettings set;
    auto start = [&](double T0) {
        const Eigen::Vector2d x0 = z.cwiseQuotient(K(T0));
        return Eigen::Vector3d(std::log(x0[0] / x0.sum()), std::log(x0[1] / x0.sum()), T0);
    };
    const Eigen::Vector2d x = z.cwiseQuotient(K(Tstar));
    CHECK_CLOSE(x.sum(), 1.0, 1e-12);
    for (const double T0 : {Tstar - 25.0, Tstar + 15.0}) {
        liquids = 0;
        const core::SplitNewton r = core::dew_point(p, raoult, start(T0), set);
        CHECK(r.outcome == core::SplitNewton::kFound && r.why.empty());
        if (r.outcome != core::SplitNewton::kFound) continue;
        CHECK_CLOSE(r.point.T, Tstar, 1e-7);
        for (int i = 0; i < 2; ++i) {
            CHECK_CLOSE(r.point.x[i], x[i], 1e-9);
            CHECK(r.point.y[i] == z[i]);
        }
        CHECK(r.point.vs == 1.0);
        CHECK(r.evaluations == liquids && liquids > 4);
    }
    const Eigen::Vector3d w0 = start(Tstar - 25.0);
    auto dry = [&](const Eigen::VectorXd& xt, double T, core::TrialLiquid& out) {
        raoult(xt, T, out);
        out.f[0] = 0.0;
    };
    const core::SplitNewton none = core::dew_point(p, dry, w0, set);
    CHECK(none.outcome == core::SplitNewton::kNoAnswer && none.why == "the liquid holds no A");
    int calls = 0;
    auto aside = [&](const Eigen::VectorXd& xt, double T, core::TrialLiquid& out) {
        if (++calls > 3) throw core::SplitStepAside{};
        raoult(xt, T, out);
    };
    CHECK(core::dew_point(p, aside, w0, set).outcome == core::SplitNewton::kStepAside);
    // three evaluations spend a budget of 3; the fourth is refused
    set.budget = 3;
    const core::SplitNewton spent = core::dew_point(p, raoult, w0, set);
    CHECK(spent.outcome == core::SplitNewton::kSpent &&
          spent.why == "split: evaluation budget spent");
    set.budget = 300000;
    // T* beyond T_max: the steps toward it halved to within the bound, the next Jacobian's
    // difference in T then lies beyond it, and that evaluation's refusal ends the search
    p.T_max = Tstar - 10.0;
    const core::SplitNewton hot = core::dew_point(p, raoult, w0, set);
    CHECK(hot.outcome == core::SplitNewton::kNoAnswer && hot.why == "temperature out of range");
}

// The front door's all-vapor test on the same ideal binary at T above its dew point T*: lambda
// z_k P = x_k K_k(T) P with sum x = 1 gives lambda = 1 / sum_k z_k / K_k(T) > 1 in closed form and
// x_k = lambda z_k / K_k(T); found from the front door's start (x_k ~ z_k / K_k(T), normalised,
// ln lambda 0), one trial liquid an evaluation, T untouched. Below T* the same Newton's method
// gives lambda < 1 (a liquid forms). A trial liquid that holds none of a component, one the
// engine does not take and a budget too small end it with their outcomes.
void vapor_at_T_meets_the_closed_form_of_an_ideal_binary() {
    const double P = 1e5, B = 4000.0;
    const Eigen::Vector2d A(12.0, 10.0), z(0.7, 0.3);
    auto K = [&](double T) { return (A.array() - B / T).exp().matrix().eval(); };
    const double Tstar = B / -std::log(z.dot((-A).array().exp().matrix()));
    int liquids = 0;
    std::vector<double> temperatures;
    auto raoult = [&](const Eigen::VectorXd& x, double T, core::TrialLiquid& out) {
        ++liquids;
        temperatures.push_back(T);
        out.f = x.cwiseProduct(K(T)) * P;
        out.n = x;
    };
    core::SplitAtBeta p = ideal_binary_split(z, P);
    core::SplitSettings set;
    auto start = [&](double T) {
        const Eigen::Vector2d x0 = z.cwiseQuotient(K(T));
        return Eigen::Vector3d(std::log(x0[0] / x0.sum()), std::log(x0[1] / x0.sum()), 0.0);
    };
    for (const double T : {Tstar + 8.0, Tstar + 30.0, Tstar - 10.0}) {
        liquids = 0;
        temperatures.clear();
        const double lambda = 1.0 / z.cwiseQuotient(K(T)).sum();
        CHECK((lambda > 1.0) == (T > Tstar));
        const core::SplitNewton r = core::vapor_at_T(p, T, raoult, start(T), set);
        CHECK(r.outcome == core::SplitNewton::kFound && r.why.empty());
        if (r.outcome != core::SplitNewton::kFound) continue;
        CHECK_CLOSE(r.point.ln_lambda, std::log(lambda), 1e-9);
        for (int i = 0; i < 2; ++i) {
            CHECK_CLOSE(r.point.x[i], lambda * z[i] / K(T)[i], 1e-9);
            CHECK(r.point.y[i] == z[i]);
        }
        CHECK(r.point.vs == 1.0 && r.point.T == T);
        CHECK(r.evaluations == liquids && liquids > 4);
        for (const double Tl : temperatures) CHECK(Tl == T);
    }
    const double T = Tstar + 8.0;
    const Eigen::Vector3d w0 = start(T);
    auto dry = [&](const Eigen::VectorXd& xt, double Tt, core::TrialLiquid& out) {
        raoult(xt, Tt, out);
        out.f[1] = 0.0;
    };
    const core::SplitNewton none = core::vapor_at_T(p, T, dry, w0, set);
    CHECK(none.outcome == core::SplitNewton::kNoAnswer && none.why == "the liquid holds no B");
    int calls = 0;
    auto aside = [&](const Eigen::VectorXd& xt, double Tt, core::TrialLiquid& out) {
        if (++calls > 3) throw core::SplitStepAside{};
        raoult(xt, Tt, out);
    };
    CHECK(core::vapor_at_T(p, T, aside, w0, set).outcome == core::SplitNewton::kStepAside);
    set.budget = 3;
    const core::SplitNewton spent = core::vapor_at_T(p, T, raoult, w0, set);
    CHECK(spent.outcome == core::SplitNewton::kSpent &&
          spent.why == "split: evaluation budget spent");
}

// fd_newton on r(w) = w - 1 (the first Newton step from 0 lands on the root: three evaluations),
// a step that has no answer is halved, and a Jacobian that is zero is singular.
void fd_newton_halves_a_refused_step_and_refuses_a_singular_jacobian() {
    const core::SplitSettings set;
    const Eigen::VectorXd cap = Eigen::VectorXd::Constant(1, 5.0);
    std::vector<double> seen;
    bool refuse = false;
    auto G = [&](const Eigen::VectorXd& w, long long&, core::SplitPoint& out) {
        seen.push_back(w[0]);
        if (refuse && w[0] > 0.9) {
            refuse = false;
            throw core::SplitNoAnswer{"split not finite"};
        }
        out.r = Eigen::VectorXd::Constant(1, w[0] - 1.0);
        out.scaled = std::abs(w[0] - 1.0);
        out.T = w[0];
    };
    const core::SplitNewton r = core::fd_newton(G, Eigen::VectorXd::Zero(1), cap, 1, set);
    CHECK(r.outcome == core::SplitNewton::kFound && seen.size() == 3 && r.evaluations == 3);
    CHECK_CLOSE(r.point.T, 1.0, 1e-9);
    seen.clear();
    refuse = true;
    const core::SplitNewton halved = core::fd_newton(G, Eigen::VectorXd::Zero(1), cap, 1, set);
    CHECK(halved.outcome == core::SplitNewton::kFound && seen.size() > 4);
    if (seen.size() > 4) CHECK_CLOSE(seen[3], 0.5 * seen[2], 1e-12);
    CHECK_CLOSE(halved.point.T, 1.0, 1e-9);
    auto flat = [](const Eigen::VectorXd&, long long&, core::SplitPoint& out) {
        out.r = Eigen::VectorXd::Constant(1, 1.0);
        out.scaled = 1.0;
    };
    const core::SplitNewton singular = core::fd_newton(flat, Eigen::VectorXd::Zero(1), cap, 1, set);
    CHECK(singular.outcome == core::SplitNewton::kNoAnswer &&
          singular.why == "singular split Jacobian");
}

// numpy's sum: sequential below 8 entries, 8 accumulators from 8 on, halves above 128. With
// 1e16 first and ones after (1e16 + 1 rounds back to 1e16, its spacing being 2): 7 entries in
// turn give 1e16; 8 give ((1e16 + 1) + 2) + (2 + 2) = 1e16 + 6; 256 give the first 128 (the
// first accumulator 1e16, seven of 16: 1e16 + 112) and then 128 more, 1e16 + 240.
void numpy_sum_adds_in_numpys_order() {
    std::vector<double> a(256, 1.0);
    a[0] = 1e16;
    CHECK(core::numpy_sum(a.data(), 7) == 1e16);
    CHECK(core::numpy_sum(a.data(), 8) == 1e16 + 6.0);
    CHECK(core::numpy_sum(a.data(), 256) == 1e16 + 240.0);
    CHECK(core::numpy_sum(a.data() + 1, 100) == 100.0);
    CHECK(core::numpy_sum(a.data(), 0) == 0.0);
}

// The split at T of the binary with K_i = exp(A_i - B / T): its vapor fraction from the closed
// form, its variables s = ln(v / (z - v)) of the vapor amounts v = beta y.
struct BinaryAt {
    double beta;
    Eigen::Vector2d x, y, s;
};
BinaryAt binary_at(const Eigen::Vector2d& z, const Eigen::Vector2d& K) {
    BinaryAt b;
    b.beta = binary_beta(z, K);
    b.x = (z.array() / (1.0 + b.beta * (K.array() - 1.0))).matrix();
    b.y = K.cwiseProduct(b.x);
    const Eigen::Vector2d v = b.beta * b.y;
    b.s = (v.array() / (z - v).array()).log().matrix();
    return b;
}

void trail_starts_each_split_on_the_line_through_the_last_two() {
    const double P = 1e5, B = 4000.0;
    const Eigen::Vector2d A(12.5, 10.0), z(0.4, 0.6), sv(1.0e5, 2.0e5), sl(0.5e5, 0.8e5);
    auto K = [&](double T) { return (A.array() - B / T).exp().matrix().eval(); };
    const Eigen::Vector2d none = Eigen::Vector2d::Zero();
    auto hooks_at = [&](double T, Raoult& raoult) {
        raoult.psat = K(T) * P;
        return raoult.flash(P, none, none, sv, sl);
    };
    core::SplitTrail trail;
    const std::vector<double> Ts{355.0, 357.0, 359.0, 361.0};
    // the first flash: K does not move with the liquid, so the substitution settles at once
    Raoult raoult{};
    core::TPFlashHooks h = hooks_at(Ts[0], raoult);
    const std::optional<core::TPFlashResult> first =
        trail.begin(z, 2, core::kFlashTol, h, 3, Ts[0]);
    CHECK(first.has_value() && first->beta > 0.0 && first->beta < 1.0);
    CHECK_CLOSE(first->beta, binary_at(z, K(Ts[0])).beta, 1e-9);
    CHECK(!trail.begin(z, 2, core::kFlashTol, h, 3, Ts[0]));  // a start is there: nothing done
    std::vector<Eigen::Vector2d> s;
    for (std::size_t i = 1; i < Ts.size(); ++i) {
        h = hooks_at(Ts[i], raoult);
        core::SplitStart* start = trail.start_at(Ts[i]);
        CHECK(start != nullptr);
        if (i == 3) {
            // equal steps in T: the start is 2 s(T2) - s(T1), from the splits before
            const Eigen::VectorXd want = 2.0 * s[1] - s[0];
            CHECK((start->s - want).cwiseAbs().maxCoeff() < 1e-7);
        }
        core::TPFlashResult r;
        CHECK(core::flash_near(z, P, {1, 1}, raoult.split(), h, *start, r, nullptr, &r.S));
        trail.advance(Ts[i]);
        const BinaryAt exact = binary_at(z, K(Ts[i]));
        CHECK_CLOSE(r.beta, exact.beta, 1e-9);
        CHECK_CLOSE(r.S, exact.beta * exact.y.dot(sv) + (1.0 - exact.beta) * exact.x.dot(sl),
                    1e-9 * 2e5);
        CHECK((start->s - exact.s).cwiseAbs().maxCoeff() < 1e-7);
        s.push_back(start->s);
    }
    // a one-phase flash kept ends the trail: the next flash starts afresh
    core::TPFlashResult liquid;
    liquid.beta = 0.0;
    trail.keep(liquid, 300.0, nullptr);
    CHECK(trail.start_at(301.0) == nullptr);
}

// The trail as a temperature solve drives it, on the binary with K_i = exp(A_i - B / T): at each
// temperature the vapor fraction and S of the closed-form split, whether they come from the
// first flash's substitution, the split from the trail's start or the full flash. A split that
// fails recoverably leaves the answer to the full flash; any other error passes.
struct BinaryFlashAt : core::TrailFlash {
    core::TPFlashHooks h;
    core::SplitHooks sh;
    int runs = 0;
    bool fail = false, recover = true;
    const core::TPFlashHooks& flash_hooks() override { return h; }
    const core::SplitHooks& split_hooks() override {
        if (fail)
            sh.fug = [](const Eigen::VectorXd&) -> core::ComponentFugacities {
                throw std::runtime_error("no liquid");
            };
        return sh;
    }
    core::TPFlashResult run(const Eigen::VectorXd& z) override {
        ++runs;
        return core::flash_tp(z, 2, core::kFlashTol, h);
    }
    const core::SplitResult* newton_split() const override { return nullptr; }
    std::vector<char> volatiles(const Eigen::VectorXd&) override { return {1, 1}; }
    bool recoverable(const std::exception&) const override { return recover; }
};

void trail_values_are_the_splits_of_each_temperature() {
    const double P = 1e5, B = 4000.0;
    const Eigen::Vector2d A(12.5, 10.0), z(0.4, 0.6), sv(1.0e5, 2.0e5), sl(0.5e5, 0.8e5);
    const Eigen::Vector2d none = Eigen::Vector2d::Zero();
    auto K = [&](double T) { return (A.array() - B / T).exp().matrix().eval(); };
    Raoult raoult{};
    auto at = [&](double T, BinaryFlashAt& f) {
        raoult.psat = K(T) * P;
        f.h = raoult.flash(P, none, none, sv, sl);
        f.sh = raoult.split();
    };
    core::SplitTrail trail;
    int runs = 0;
    for (double T : {355.0, 357.0, 359.0, 361.0, 363.0}) {
        BinaryFlashAt f;
        at(T, f);
        f.fail = T == 361.0;  // recoverable: the full flash answers
        const BinaryAt exact = binary_at(z, K(T));
        const double beta = trail.value(z, 2, T, P, core::TrailEntry::Beta, f);
        const double S = trail.value(z, 2, T, P, core::TrailEntry::S, f);
        CHECK_CLOSE(beta, exact.beta, 1e-9);
        CHECK_CLOSE(S, exact.beta * exact.y.dot(sv) + (1.0 - exact.beta) * exact.x.dot(sl),
                    1e-9 * 2e5);
        runs += f.runs;
    }
    CHECK(runs == 2);  // the failed split at 361 K, both entries; the rest from the trail
    BinaryFlashAt f;
    at(365.0, f);
    f.fail = true;
    f.recover = false;
    bool passed = false;
    try {
        trail.value(z, 2, 365.0, P, core::TrailEntry::H, f);
    } catch (const std::runtime_error&) {
        passed = true;
    }
    CHECK(passed && f.runs == 0);
}

// A temperature solve for a vapor fraction on the trail, for the binary with K_i = exp(A_i - B /
// T) (one B): the bubble point is B / ln(sum z_i e^A_i), below it the value is T - Tb, above it
// the trail's vapor fraction, so the solve's value is continuous there and the root lies where
// the closed-form split has the vapor fraction asked for.
void vapor_fraction_solve_on_the_trail_meets_the_closed_form() {
    const double P = 1e5, B = 4000.0;
    const Eigen::Vector2d A(12.5, 10.0), z(0.4, 0.6), none = Eigen::Vector2d::Zero();
    auto K = [&](double T) { return (A.array() - B / T).exp().matrix().eval(); };
    const double Tb = B / std::log(z.dot(A.array().exp().matrix()));
    CHECK_CLOSE(z.dot(K(Tb)), 1.0, 1e-12);
    const core::TemperatureSolve ts(core::TrailEntry::Beta, core::TemperatureSolve::beta_goal(0.4),
                                    Tb);
    core::SplitTrail trail;
    Raoult raoult{};
    int flashes = 0;
    auto value = [&](double T) {
        if (std::optional<double> below = ts.below(T)) return *below - 0.4;
        BinaryFlashAt f;
        raoult.psat = K(T) * P;
        f.h = raoult.flash(P, none, none, none, none);
        f.sh = raoult.split();
        ++flashes;
        return trail.value(z, 2, T, P, core::TrailEntry::Beta, f) - 0.4;
    };
    CHECK(value(Tb - 1.0) < -1.0 && std::abs(value(Tb) + 0.4) < 1e-15);
    const double T = core::brentq(value, Tb, core::TemperatureSolve::beta_start(Tb) + 20.0);
    CHECK_CLOSE(binary_beta(z, K(T)), 0.4, 1e-7);
    CHECK(flashes > 3 && !ts.exact(0.4 + 2e-5) && ts.exact(0.4 + 5e-6));
}

// A TP flash on a FlashSource: where the source has pp's data the vapor's H and S are the ideal
// gas's (constant Cp: h_k = dHf_k + Cp_k (T - T_ref), s_k = Cp_k ln(T / T_ref); the mixture
// adds -R sum y ln y - R ln(P / P_ref)) without a call of the package's functions; without the
// data, and for a Rachford-Rice that is not the package's own, those are called and their
// values taken. R, T_ref, P_ref, Cp and dHf are test inputs.
struct IdealSource : core::FlashSource {
    IdealSource(const core::PackageData* d, const Eigen::Vector2d& K, double T, double P)
        : core::FlashSource(2, T, P), d(d), K(K), P(P), raoult{K * P} {}
    const core::PackageData* d;
    Eigen::Vector2d K, hl{-2.4e8, -1.9e8}, hv{-2.0e8, -1.5e8};
    double P;
    Raoult raoult;
    bool own_rr = true;
    int calls = 0;
    core::KValues kvalues(const Eigen::VectorXd& x, const Eigen::VectorXd&) override {
        return {K, x};
    }
    core::SplitResult newton(const Eigen::VectorXd& z, const Eigen::VectorXd& v0) override {
        return core::flash_newton(z, P, v0, {1, 1}, raoult.split());
    }
    Eigen::VectorXd true_amounts(const Eigen::VectorXd& x) override { return x; }
    double liquid_enthalpy(const Eigen::VectorXd& n) override { return n.dot(hl); }
    bool own_rachford_rice() const override { return own_rr; }
    const core::PackageData* props() override { return d; }
    double package_rachford_rice(const Eigen::VectorXd& z, const Eigen::VectorXd& k) override {
        ++calls;
        return core::rachford_rice(z, k);
    }
    double package_enthalpy_vapor(const Eigen::VectorXd& y) override {
        ++calls;
        return y.dot(hv);
    }
    double package_entropy_vapor(const Eigen::VectorXd&) override { return ++calls, 0.0; }
    double package_entropy_liquid(const Eigen::VectorXd&) override { return ++calls, 0.0; }
};

void flash_source_takes_the_ideal_gas_of_the_package_data() {
    const double T = 350.0, P = 2e5;
    core::PackageData d;
    d.R = 8314.0;
    d.T_ref = 298.0;
    d.P_ref = 1e5;
    d.cp_kind = {core::PackageData::Cp::Poly, core::PackageData::Cp::Poly};
    d.cp = {{3.4e4}, {8.1e4}};
    d.dhform = {-2.4e8, -2.0e8};
    d.henry = {0, 0};
    d.pairs = {{}, {}};
    d.antoine = {std::nullopt, std::nullopt};
    d.dhref = {0.0, 0.0};
    const Eigen::Vector2d z(0.4, 0.6), K(3.0, 0.4);
    auto h_ig = [&](const Eigen::Vector2d& y) {
        double h = 0.0;
        for (int k = 0; k < 2; ++k) h += y[k] * (d.dhform[k] + d.cp[k][0] * (T - d.T_ref));
        return h;
    };
    IdealSource src(&d, K, T, P);
    const core::TPFlashResult r = core::flash_tp(z, 2, core::kFlashTol, src.make_hooks());
    const double beta = binary_beta(z, K);
    const Eigen::Vector2d x = z.array() / (1.0 + beta * (K.array() - 1.0)), y = K.cwiseProduct(x);
    CHECK_CLOSE(r.beta, beta, 1e-9);
    CHECK_CLOSE(r.H, beta * h_ig(y) + (1.0 - beta) * x.dot(src.hl), 1e-9 * 2e8);
    CHECK(src.calls == 0);
    // all vapor: y = z, S of the ideal-gas mixture at P
    IdealSource hot(&d, Eigen::Vector2d(30.0, 20.0), T, P);
    const core::TPFlashResult v = core::flash_tp(z, 2, core::kFlashTol, hot.make_hooks());
    double S = -d.R * std::log(P / d.P_ref);
    for (int k = 0; k < 2; ++k)
        S += z[k] * (d.cp[k][0] * std::log(T / d.T_ref) - d.R * std::log(z[k]));
    CHECK(v.beta == 1.0);
    CHECK_CLOSE(v.S, S, 1e-9 * std::abs(S));
    CHECK(hot.calls == 0);
    // without pp's data, and with a Rachford-Rice of its own: the package's functions
    IdealSource plain(nullptr, K, T, P);
    plain.own_rr = false;
    const core::TPFlashResult p = core::flash_tp(z, 2, core::kFlashTol, plain.make_hooks());
    CHECK_CLOSE(p.beta, beta, 1e-9);
    CHECK_CLOSE(p.H, beta * y.dot(plain.hv) + (1.0 - beta) * x.dot(plain.hl), 1e-9 * 2e8);
    CHECK(plain.calls >= 4);  // Rachford-Rice at least once, H and S of the vapor, S of the liquid
}

// A flash's liquid speciated on its tables: CO2 + H2O = HCO3- + H+ in an ideal liquid (no
// activity or Henry reference terms) at extent e with e^2 = K (a - e)(W - e) (the amounts'
// total does not change), then Raoult's law for water and Henry's for CO2 on the true liquid.
// A fugacity that cannot be had is kept for the caller, the speciation still given. K, Psat and H
// are test inputs.
struct IdealLiquid : core::SpeciationCallbacks {
    void ln_gamma(const Eigen::VectorXd& x, Eigen::VectorXd& out) override {
        out = Eigen::VectorXd::Zero(x.size());
    }
    void henry_ref(const Eigen::VectorXd*, const Eigen::VectorXd& lng,
                   Eigen::VectorXd& out) override {
        out = Eigen::VectorXd::Zero(lng.size());
    }
};

void flash_liquid_speciates_and_meets_raoult_and_henry() {
    const double K = 1e-4, W = 0.9, a = 0.1, psat = 2.0e4, H = 1.6e8;
    core::FlashLiquidTables t;
    t.reset_species(4);  // H2O, CO2, HCO3-, H+
    t.pos = {0, 1};
    t.lnK = Eigen::VectorXd::Constant(1, std::log(K));
    t.ref_follows_x = false;
    t.kind[0] = core::FlashLiquidTables::kAntoine;
    t.psat[0] = psat;
    t.kind[1] = core::FlashLiquidTables::kHenry;
    t.pairs[1] = {{0, 0.0559, std::log(H), 0.0}};
    const std::vector<std::string> names{"H2O", "CO2", "HCO3-", "H+"};
    t.map_components({"H2O", "CO2"}, names);
    Eigen::MatrixXd nu(1, 4);
    nu << -1.0, -1.0, 1.0, 1.0;
    const core::Stoichiometry st = core::make_stoichiometry(nu);
    Eigen::VectorXd n0, x(4), f(4);
    t.apparent_on_species(Eigen::Vector2d(W, a), n0);
    IdealLiquid cb;
    core::ComponentFugacities out;
    std::exception_ptr failed;
    const core::SpeciationResult res = t.speciate(st, n0, {}, cb, x, f, out, failed);
    // e^2 (1 - K) + K (a + W) e - K a W = 0
    const double A = 1.0 - K, B = K * (a + W), C = -K * a * W;
    const double e = (-B + std::sqrt(B * B - 4.0 * A * C)) / (2.0 * A);
    CHECK(res.converged && !failed);
    CHECK_CLOSE(res.n[2], e, 1e-9 * e);
    CHECK_CLOSE(out.f[0], (W - e) * psat, 1e-9 * psat);  // the amounts sum to 1
    CHECK_CLOSE(out.f[1], (a - e) * H, 1e-9 * H * a);
    core::FugacityMap by_species;
    t.species_fugacities(names, f, by_species);
    CHECK(by_species.size() == 2 && by_species[1].first == "CO2" &&
          by_species[1].second == out.f[1]);
    // the check of the answer: its reaction and balances met, a liquid off its equilibrium not
    const core::HenryRef none_ref = [](const Eigen::VectorXd& xt, Eigen::VectorXd& ref) {
        ref = Eigen::VectorXd::Zero(xt.size());
    };
    CHECK(core::liquid_residual(st, res.n, res.lng, n0, t.lnK, none_ref) < 1e-10);
    Eigen::VectorXd off = res.n;
    off[2] *= 1.1;  // ln(1.1) off in the reaction, 10 % of e off in the charge and carbon
    CHECK_CLOSE(core::liquid_residual(st, off, res.lng, n0, t.lnK, none_ref), std::log(1.1), 1e-6);
    CHECK(!core::answer_residuals(st, {}, {}, res.n, res.lng, n0, t.lnK, false, {}, 1e-11,
                                  core::Limits{}, none_ref));
    // CO2 without a Henry pair: no fugacity, the error kept, the speciation given
    t.pairs[1].clear();
    failed = nullptr;
    const core::SpeciationResult again = t.speciate(st, n0, {}, cb, x, f, out, failed);
    CHECK(failed && again.converged);
    CHECK_CLOSE(again.n[2], e, 1e-9 * e);
}

// The components a split solves for: those with a vapor pressure or a Henry solute of the model,
// present in the feed; a salt, an absent gas and an unknown name as the Python lists have them.
void volatile_components_have_a_vapor_pressure_or_henry_constant_and_a_feed() {
    const std::vector<std::string> comps{"H2O", "CO2", "NaCl", "N2"};
    const std::vector<std::string> names{"H2O", "CO2", "N2", "Na+", "Cl-", "NaCl"};
    const std::vector<int> henry{1, 2};
    auto antoine = [](std::size_t k) { return k == 0; };
    const Eigen::Vector4d z(0.8, 0.1, 0.1, 0.0);
    CHECK((core::volatile_components(comps, names, henry, z, antoine) ==
           std::vector<char>{1, 1, 0, 0}));
    std::string what;
    try {
        core::volatile_components({"H2O", "Ar"}, names, henry, z, antoine);
    } catch (const core::ValueError& e) {
        what = e.what();
    }
    CHECK(what == "'Ar' is not in list");
    bool short_z = false;
    try {
        core::volatile_components(comps, names, henry, Eigen::Vector2d(0.9, 0.1), antoine);
    } catch (const core::IndexError&) {
        short_z = true;
    }
    CHECK(short_z);
}

void flash_liquid_tables_dissociate_and_weigh_the_fugacities() {
    // species W, Na+, Cl-, NaCl, CO2, MEA; components W, NaCl, CO2; NaCl = Na+ + Cl- complete
    core::FlashLiquidTables t;
    t.reset_species(6);
    t.pos = {0, 3, 4};
    t.diss = {{{3, -1.0}, {1, 1.0}, {2, 1.0}}};
    t.diss_limits = {{1, 0, 0}};
    t.kind[0] = core::FlashLiquidTables::kAntoine;
    t.psat[0] = 3.2e3;
    t.kind[4] = core::FlashLiquidTables::kHenry;
    // CO2 in water and in MEA: ln(H/gamma_inf)_mix weighs each pair by x_A Vc_A^(2/3)
    t.pairs[4] = {{0, 0.0559, std::log(1.6e8), 0.7}, {5, 0.22, std::log(4.0e7), -0.2}};
    t.map_components({"W", "NaCl", "CO2"}, {"W", "Na+", "Cl-", "NaCl", "CO2", "MEA"});
    CHECK((t.comp_species == std::vector<Eigen::Index>{0, -1, 4}));

    Eigen::VectorXd n0;
    t.apparent_on_species(Eigen::Vector3d(0.8, 0.15, 0.05), n0);
    CHECK((n0 - (Eigen::VectorXd(6) << 0.8, 0.15, 0.15, 0.0, 0.05, 0.0).finished()).norm() == 0.0);
    // a liquid given with fewer entries than components leaves the others out
    t.apparent_on_species(Eigen::Vector2d(0.8, 0.15), n0);
    CHECK(n0[4] == 0.0 && n0[1] == 0.15);

    const Eigen::VectorXd n = (Eigen::VectorXd(6) << 0.7, 0.15, 0.15, 0.0, 0.05, 0.1).finished();
    const Eigen::VectorXd lng = (Eigen::VectorXd(6) << -0.1, -0.6, -0.6, 0.0, 0.3, 0.2).finished();
    Eigen::VectorXd x(6), f(6);
    core::ComponentFugacities out;
    t.fugacities(n, lng, x, f, out);
    const double N = 1.15, wW = 0.7 / N * std::pow(0.0559, 2.0 / 3.0),
                 wM = 0.1 / N * std::pow(0.22, 2.0 / 3.0);
    const double ln_mix = (wW * (std::log(1.6e8) - 0.7) + wM * (std::log(4.0e7) + 0.2)) / (wW + wM);
    CHECK((out.has == std::vector<char>{1, 0, 1}));
    CHECK_CLOSE(out.f[0], 0.7 / N * std::exp(-0.1) * 3.2e3, 1e-12 * 3e3);
    CHECK(out.f[1] == 0.0);
    CHECK_CLOSE(out.f[2], 0.05 / N * std::exp(0.3 + ln_mix), 1e-12 * 1e7);
}

// The phase check of flash answers on Raoult's law (liquid fugacity x Psat, ideal gas) with a
// salt that stays in the liquid: the Rachford-Rice split (K = Psat / P, 0 for the salt) meets
// the material balance and the fugacity equality, so it has no residual; a vapor off by a known
// factor, a salt in the vapor, a liquid above its bubble pressure or a vapor below its dew
// point show by the amounts the conditions give.
void phase_check_of_raoult_answers() {
    const double P = 1e5;
    const std::vector<std::string> comps{"H2O", "MeOH", "NaCl"};
    const Eigen::Vector3d psat(0.5 * P, 2.5 * P, 0.0), K = psat / P;
    const core::Limits c{1e-12, 0.0, 1e-12};       // no resolution limit: the plain mismatch
    const std::vector<Eigen::Index> pos{0, 1, 2};  // the true liquid is the apparent one
    auto fug = [&](const Eigen::VectorXd& x) {
        return core::FugacityMap{{"H2O", x[0] * psat[0]}, {"MeOH", x[1] * psat[1]}};
    };
    const Eigen::VectorXd z = Eigen::Vector3d(0.6, 0.39, 0.01);
    const double beta = core::rachford_rice(z, K);
    CHECK(beta > 0.0 && beta < 1.0);
    const Eigen::VectorXd x = (z.array() / (1.0 + beta * (K.array() - 1.0))).matrix();
    Eigen::VectorXd y = K.cwiseProduct(x);
    CHECK_CLOSE(x.sum(), 1.0, 1e-12);
    CHECK_CLOSE(y.sum(), 1.0, 1e-12);
    auto check = [&](const core::FlashAnswer& a, const Eigen::VectorXd& liquid) {
        return core::phase_residual(a, fug(liquid), liquid, pos, 1e-11, c);
    };
    const auto split = check({&comps, &z, beta, &x, &y, P}, x);
    CHECK(split && split->first < 1e-12 && split->second < 1e-15);
    // methanol's vapor 1 % high: |f_L - f_V| / max = 0.01 / 1.01; the balance off by beta dy
    y[1] *= 1.01;
    const auto off = check({&comps, &z, beta, &x, &y, P}, x);
    CHECK(off.has_value());
    CHECK_CLOSE(off->first, 0.01 / 1.01, 1e-12);
    CHECK_CLOSE(off->second, beta * 0.01 * y[1] / 1.01, 1e-15);
    y[1] /= 1.01;
    y[2] = 1e-6;  // salt in the vapor
    CHECK(check({&comps, &z, beta, &x, &y, P}, x)->first == INFINITY);
    y[2] = 0.0;

    // all liquid: ln of the bubble pressure over P where it lies above P, else 0
    const auto hot = check({&comps, &z, 0.0, &z, &z, P}, z);
    CHECK_CLOSE(hot->first, std::log(0.6 * 0.5 + 0.39 * 2.5), 1e-14);
    const Eigen::VectorXd cold = Eigen::Vector3d(0.9, 0.05, 0.05);
    CHECK(check({&comps, &cold, 0.0, &cold, &cold, P}, cold)->first == 0.0);
    // all vapor: ln sum(y / K) = ln(P / P_dew) where the vapor lies below its dew point, on
    // the incipient liquid x = (y / K) / sum(y / K) (Raoult: K = Psat / P, so x does not move
    // with P); a trial liquid that is not it is off by its distance from it
    const double s_dew = 0.7 / 0.5 + 0.3 / 2.5;
    const Eigen::VectorXd v = Eigen::Vector3d(0.7, 0.3, 0.0);
    const Eigen::VectorXd xi = Eigen::Vector3d(0.7 / 0.5 / s_dew, 0.3 / 2.5 / s_dew, 0.0);
    const auto wet = check({&comps, &v, 1.0, &xi, &v, P}, xi);
    CHECK_CLOSE(wet->first, std::log(s_dew), 1e-14);
    const auto dry = check({&comps, &v, 1.0, &xi, &v, 2.0 * P}, xi);  // twice P: Psat / P halved
    CHECK_CLOSE(dry->first, std::log(2.0 * s_dew), 1e-14);
    CHECK(check({&comps, &v, 1.0, &xi, &v, 0.5 * P}, xi)->first < 1e-15);
    const Eigen::VectorXd trial = Eigen::Vector3d(0.5, 0.5, 0.0);
    CHECK_CLOSE(check({&comps, &v, 1.0, &trial, &v, 0.5 * P}, trial)->first,
                0.7 / 0.5 / s_dew - 0.5, 1e-14);
}

// What the check of a flash's liquid looks at before speciating it: the molality of each entry
// m = x / (x_water M_water), water's own included, against the largest the check takes, and the
// solutes beyond the molality of the stability test that are no solvent. M_water is a test input.
void liquid_screens_of_a_flash_answer() {
    const std::vector<std::string> comps{"H2O", "MeOH", "NaCl"};
    const Eigen::Vector3d x(0.9, 0.08, 0.02), rich(0.3, 0.65, 0.05);
    const double mw = 18.0, kg = mw / 1000.0;
    int reads = 0;
    auto limits = [&](double m_max) {
        return [&reads, kg, m_max] {
            ++reads;
            return std::pair{kg, m_max};
        };
    };
    // the largest entry is water's in x (1/M_water), methanol's in the rich liquid
    for (const Eigen::Vector3d& liquid : {x, rich}) {
        const double top = liquid.maxCoeff() / (liquid[0] * kg);
        CHECK(core::solutes_water(comps, liquid, limits(1.01 * top)) == liquid[0]);
        CHECK(!core::solutes_water(comps, liquid, limits(0.99 * top)));
    }
    CHECK(reads == 4);
    // water twice, or none: left to the caller; the limits not read for a name twice
    CHECK(!core::solutes_water({"H2O", "H2O", "NaCl"}, x, limits(1e9)) && reads == 4);
    CHECK(!core::solutes_water({"EtOH", "MeOH", "NaCl"}, x, limits(1e9)) && reads == 5);

    // the stability test: methanol above 3 mol/kg is asked about, the salt (1.2 mol/kg) is not
    std::vector<Eigen::Index> asked;
    auto solvent = [&](bool answer) {
        return [&asked, answer](Eigen::Index k) {
            asked.push_back(k);
            return answer;
        };
    };
    CHECK(core::stable_liquid(comps, x, 0.9, mw, 3.0, solvent(true)));
    CHECK(!core::stable_liquid(comps, x, 0.9, mw, 3.0, solvent(false)));
    CHECK((asked == std::vector<Eigen::Index>{1, 1}));
    CHECK(core::stable_liquid(comps, x, 0.9, mw, 5.0, solvent(false)));  // nothing beyond 5
    CHECK(asked.size() == 2);
}

// K_1 = 0.3 and K_2 = 20 (x_2 / x*)^3 with x* = 0.7/19.7: the split of K = (0.3, 20), x_2 = x*,
// is a fixed point that plain substitution circles (a step scales the change in ln K by about
// -3) and the damped substitution reaches.
void damped_substitution_ends_the_cycle_of_a_steep_k() {
    const double xs = 0.7 / 19.7;
    core::TPFlashHooks h;
    h.kvalues = [xs](const Eigen::VectorXd& x, const Eigen::VectorXd&) {
        const Eigen::Vector2d K(0.3, 20.0 * std::pow(x[1] / x.sum() / xs, 3));
        return core::KValues{K, x};
    };
    h.rachford_rice = [](const Eigen::VectorXd& z, const Eigen::VectorXd& K) {
        return core::rachford_rice(z, K);
    };
    const Eigen::Vector2d z(0.9, 0.1);
    core::SubstitutionOptions opt;
    opt.tol = 1e-12;
    opt.steps = 400;
    opt.bubble_test = false;
    const core::Substitution plain = core::substitute(z, 2, h, opt);
    CHECK(!plain.settled && plain.err > 1.0);
    opt.damped = true;
    const core::Substitution damped = core::substitute(z, 2, h, opt);
    CHECK(damped.settled && damped.it < 399);
    CHECK_CLOSE(damped.x[1], xs, 1e-10 * xs);
    CHECK_CLOSE(damped.y[1], 20.0 * xs, 1e-9 * xs);
    CHECK_CLOSE(damped.beta, (0.1 - xs) / (19.0 * xs), 1e-10);
}

void substitution_on_noisy_k_ends_at_its_stall() {
    // K = (0.3, 20) with ln K_CO2 off by 0.5e-10 to 1e-10, of alternate sign, at each call (a
    // speciation settled to its own tolerance): the change never falls below 1e-12, but stops
    // setting new lows
    unsigned long long state = 12345;
    double sign = 1.0;
    core::TPFlashHooks h;
    h.kvalues = [&state, &sign](const Eigen::VectorXd& x, const Eigen::VectorXd&) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const double u = 0.5 + 0.5 * static_cast<double>(state >> 11) * 0x1.0p-53;  // [0.5, 1)
        sign = -sign;
        const Eigen::Vector2d K(0.3, 20.0 * std::exp(1e-10 * sign * u));
        return core::KValues{K, x};
    };
    h.rachford_rice = [](const Eigen::VectorXd& z, const Eigen::VectorXd& K) {
        return core::rachford_rice(z, K);
    };
    const Eigen::Vector2d z(0.9, 0.1);
    const double xs = 0.7 / 19.7;  // the split's liquid CO2: (1 - K_H2O) / (K_CO2 - K_H2O)
    core::SubstitutionOptions opt;
    opt.tol = 1e-12;
    opt.steps = 400;
    opt.bubble_test = false;
    opt.damped = true;
    const core::Substitution all = core::substitute(z, 2, h, opt);
    CHECK(!all.settled && all.it == 399 && all.err > 1e-12);
    opt.stall_steps = 20;
    opt.stall_tol = 1e-8;
    const core::Substitution stalled = core::substitute(z, 2, h, opt);
    CHECK(!stalled.settled && stalled.it < 399 && stalled.err < 1e-8);
    CHECK_CLOSE(stalled.x[1], xs, 1e-9 * xs);
    CHECK_CLOSE(stalled.beta, (0.1 - xs) / (19.0 * xs), 1e-9);
    // a change above stall_tol never ends it so
    opt.stall_tol = 1e-12;
    CHECK(core::substitute(z, 2, h, opt).it == 399);
}

}  // namespace

int main() {
    return ctest_checks::run(
        "flash_tests",
        {
            CASE(rachford_rice_meets_the_binary_root_and_its_limits),
            CASE(newton_split_of_an_ideal_binary_is_the_rachford_rice_root),
            CASE(tp_flash_of_an_ideal_binary_splits_and_weighs_the_phase_energies),
            CASE(bubble_temperature_of_clausius_clapeyron_components),
            CASE(bubble_search_brackets_and_meets_the_closed_form),
            CASE(split_at_beta_meets_the_closed_form_of_an_ideal_binary),
            CASE(split_at_T_meets_the_closed_form_of_an_ideal_binary),
            CASE(dew_point_meets_the_closed_form_of_an_ideal_binary),
            CASE(vapor_at_T_meets_the_closed_form_of_an_ideal_binary),
            CASE(fd_newton_halves_a_refused_step_and_refuses_a_singular_jacobian),
            CASE(numpy_sum_adds_in_numpys_order),
            CASE(trail_starts_each_split_on_the_line_through_the_last_two),
            CASE(trail_values_are_the_splits_of_each_temperature),
            CASE(vapor_fraction_solve_on_the_trail_meets_the_closed_form),
            CASE(flash_source_takes_the_ideal_gas_of_the_package_data),
            CASE(flash_liquid_speciates_and_meets_raoult_and_henry),
            CASE(volatile_components_have_a_vapor_pressure_or_henry_constant_and_a_feed),
            CASE(flash_liquid_tables_dissociate_and_weigh_the_fugacities),
            CASE(phase_check_of_raoult_answers),
            CASE(liquid_screens_of_a_flash_answer),
            CASE(damped_substitution_ends_the_cycle_of_a_steep_k),
            CASE(substitution_on_noisy_k_ends_at_its_stall),
        });
}
