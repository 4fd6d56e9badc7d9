// Tests of the speciation core (brinequil/model) without Python: reaction invariants of the
// stoichiometry, and the Newton solve of the true amounts on small reaction systems whose
// equilibrium is known in closed form (one dissociation, ideal or with fixed activity and Henry
// terms), or checked by its own residual and balances (composition-dependent ln gamma); the
// same for the liquid with a precipitating salt (equilibrium/solid_liquid); the Henry reference of
// the speciation (fugacity/henry_reference) against the NRTL's infinite dilution.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "check.hpp"
#include "equilibrium/solid_liquid.hpp"
#include "fugacity/henry_reference.hpp"
#include "model/errors.hpp"
#include "model/residual.hpp"
#include "model/stoichiometry.hpp"
#include "model/true_amounts.hpp"
#include "model/warm_record.hpp"

namespace {

namespace core = brinequil::core;

// Activity and Henry terms given as functions of x; counts the calls.
struct Hooks : core::SpeciationCallbacks {
    std::function<Eigen::VectorXd(const Eigen::VectorXd&)> lng;
    Eigen::VectorXd ref;
    int lng_calls = 0, ref_calls_without_x = 0, ref_calls_with_x = 0;
    void ln_gamma(const Eigen::VectorXd& x, Eigen::VectorXd& out) override {
        ++lng_calls;
        out = lng ? lng(x) : Eigen::VectorXd::Zero(x.size());
    }
    void henry_ref(const Eigen::VectorXd* x, const Eigen::VectorXd&,
                   Eigen::VectorXd& out) override {
        ++(x ? ref_calls_with_x : ref_calls_without_x);
        out = ref.size() ? ref : Eigen::VectorXd::Zero(out.size());
    }
};

// Species: water W (in no reaction), HA, H+, A-, and a gas G of no reaction and no amount.
// The one reaction HA = H+ + A-.
core::Stoichiometry dissociation() {
    Eigen::MatrixXd nu(1, 5);
    nu << 0, -1, 1, 1, 0;
    return core::make_stoichiometry(nu);
}

// Extent xi of HA = H+ + A- from n_W of water and a of HA, on mole fractions with the
// equilibrium constant Kx: xi^2 = Kx (a - xi)(n_W + a + xi), the positive root of
// (1 + Kx) xi^2 + Kx n_W xi - Kx a (n_W + a) = 0 taken without cancellation.
double extent(double nW, double a, double Kx) {
    const double A = 1.0 + Kx, B = Kx * nW, C = -Kx * a * (nW + a);
    return 2.0 * C / (-B - std::sqrt(B * B - 4.0 * A * C));
}

void stoichiometry_gives_orthonormal_invariants() {
    Eigen::MatrixXd nu(2, 5);  // HA = H+ + A-, W = H+ + OH- on W, HA, H+, A-, OH-
    nu << 0, -1, 1, 1, 0, -1, 0, 1, 0, 1;
    const core::Stoichiometry st = core::make_stoichiometry(nu);
    CHECK(st.rank == 2 && st.B.rows() == 3 && st.B.cols() == 5);
    CHECK((st.B * st.B.transpose() - Eigen::MatrixXd::Identity(3, 3)).norm() < 1e-14);
    CHECK((nu * st.B.transpose()).norm() < 1e-14);
    CHECK(st.net == Eigen::Vector2d(1.0, 1.0));
    // the conserved quantities the chemistry knows lie in the row space of B: charge, element A,
    // hydrogen (HA 1, H+ 1, W 2, OH- 1), oxygen (W 1, OH- 1)
    Eigen::MatrixXd known(4, 5);
    known << 0, 0, 1, -1, -1, 0, 1, 0, 1, 0, 2, 1, 1, 0, 1, 1, 0, 0, 0, 1;
    CHECK((known - known * st.B.transpose() * st.B).norm() < 1e-13);
    bool refused = false;
    try {
        core::make_stoichiometry(Eigen::MatrixXd(0, 3));
    } catch (const core::LinAlgError&) {
        refused = true;
    }
    CHECK(refused);
}

void one_dissociation_meets_its_closed_form_root() {
    // Ideal solution, K from 1e-12 (barely dissociated) to 1e3 (almost complete); the gas G
    // without amount stays out (the inert split) and gets nothing.
    const core::Stoichiometry st = dissociation();
    const double nW = 55.5, a = 0.7;
    for (double K : {1e-12, 1e-6, 1e-3, 1.0, 1e3}) {
        Hooks hooks;
        const Eigen::VectorXd n0 = (Eigen::VectorXd(5) << nW, a, 0, 0, 0).finished();
        const auto res = core::solve_speciation(st, n0, Eigen::VectorXd::Constant(1, std::log(K)),
                                                {}, core::SpeciationSettings{}, hooks);
        const double xi = extent(nW, a, K);
        CHECK(res.converged);
        CHECK_CLOSE(res.n[2], xi, 1e-9 * xi);
        CHECK_CLOSE(res.n[3], xi, 1e-9 * xi);
        CHECK_CLOSE(res.n[1], a - xi, 1e-9 * (a - xi) + 1e-12 * a);
        CHECK_CLOSE(res.n[0], nW, 1e-12 * nW);
        // G is held at 0 by the balances alone: within their tolerance (1e-11 of the total; the
        // invariants are orthonormal, at most sqrt(3) of it in G's direction)
        CHECK(res.n[4] > 0.0 && res.n[4] <= 2e-11 * res.tot);
        // balances: A in HA and A-, H in HA and H+, charge
        CHECK_CLOSE(res.n[1] + res.n[3], a, 1e-11 * a);
        CHECK_CLOSE(res.n[1] + res.n[2], a, 1e-11 * a);
        CHECK_CLOSE(res.n[2] - res.n[3], 0.0, 1e-11 * a);
        // one Henry reference without composition per solve, one with x per residual
        CHECK(hooks.ref_calls_without_x == 1);
        CHECK(hooks.ref_calls_with_x == res.newton_iterations + res.outer_passes);
        CHECK(hooks.lng_calls == res.outer_passes);
    }
}

void fixed_activity_and_henry_terms_shift_the_constant() {
    // nu (ln x + ln gamma - ref) = ln K: constant ln gamma and ref act as
    // Kx = K exp(-nu ln gamma + nu ref).
    const core::Stoichiometry st = dissociation();
    const double nW = 40.0, a = 1.3, K = 2e-4;
    const Eigen::VectorXd c = (Eigen::VectorXd(5) << 0.0, 0.2, -0.5, -0.3, 0.0).finished();
    const Eigen::VectorXd ref = (Eigen::VectorXd(5) << 0.0, 0.4, 0.0, 0.0, 0.0).finished();
    Hooks hooks;
    hooks.lng = [&](const Eigen::VectorXd&) { return c; };
    hooks.ref = ref;
    const Eigen::VectorXd n0 = (Eigen::VectorXd(5) << nW, a, 0, 0, 0).finished();
    const auto res = core::solve_speciation(st, n0, Eigen::VectorXd::Constant(1, std::log(K)), {},
                                            core::SpeciationSettings{}, hooks);
    const double Kx = K * std::exp(-(-0.2 - 0.5 - 0.3) + (-0.4));
    const double xi = extent(nW, a, Kx);
    CHECK(res.converged && res.outer_passes >= 2);
    CHECK((res.lng - c).norm() == 0.0);
    CHECK_CLOSE(res.n[2], xi, 1e-9 * xi);
    CHECK_CLOSE(res.n[1], a - xi, 1e-9 * (a - xi));
}

void composition_dependent_activity_settles_on_its_own_equilibrium() {
    // Water autoionisation and a weak acid together, ln gamma of the ions -2 sqrt(I) (I = half
    // the sum of z^2 x, a Debye-Hueckel-like form): no closed form, but at the returned amounts
    // the mass-action laws hold with the returned ln gamma, and so do the balances.
    Eigen::MatrixXd nu(2, 5);  // W, HA, H+, A-, OH-
    nu << 0, -1, 1, 1, 0, -1, 0, 1, 0, 1;
    const core::Stoichiometry st = core::make_stoichiometry(nu);
    const Eigen::Vector2d lnK(std::log(1e-3), std::log(3e-18));
    Hooks hooks;
    hooks.lng = [](const Eigen::VectorXd& x) {
        const double I = 0.5 * (x[2] + x[3] + x[4]);
        Eigen::VectorXd out = Eigen::VectorXd::Zero(5);
        out.tail(3).setConstant(-2.0 * std::sqrt(I));
        return out;
    };
    const double nW = 55.5, a = 2.0;
    const Eigen::VectorXd n0 = (Eigen::VectorXd(5) << nW, a, 0, 0, 0).finished();
    const auto res = core::solve_speciation(st, n0, lnK, {}, core::SpeciationSettings{}, hooks);
    CHECK(res.converged && res.outer_passes > 2);
    const Eigen::VectorXd x = res.n / res.n.sum();
    CHECK((res.lng - hooks.lng(x)).cwiseAbs().maxCoeff() < 1e-9);
    const Eigen::VectorXd mu = x.array().log() + res.lng.array();
    CHECK_CLOSE(mu[2] + mu[3] - mu[1], lnK[0], 1e-9);
    CHECK_CLOSE(mu[2] + mu[4] - mu[0], lnK[1], 1e-9);
    CHECK_CLOSE(res.n[2] - res.n[3] - res.n[4], 0.0, 1e-11 * a);  // charge
    CHECK_CLOSE(res.n[1] + res.n[3], a, 1e-11 * a);               // A
    CHECK_CLOSE(res.n[0] + res.n[4], nW, 1e-11 * nW);             // O
    CHECK(res.lng[2] < -0.01);                                    // the activity term did act
}

void warm_start_reaches_the_same_root() {
    const core::Stoichiometry st = dissociation();
    const double nW = 55.5, a = 0.7, K = 1e-5;
    const Eigen::VectorXd n0 = (Eigen::VectorXd(5) << nW, a, 0, 0, 0).finished();
    Hooks cold_hooks, warm_hooks;
    const Eigen::VectorXd lnK = Eigen::VectorXd::Constant(1, std::log(K));
    const auto cold =
        core::solve_speciation(st, n0, lnK, {}, core::SpeciationSettings{}, cold_hooks);
    // kept as a model keeps it at 298.15 K, it starts a speciation within 30 K of that
    core::WarmRecord rec;
    rec.store(298.15, cold);
    Eigen::VectorXd w, lngw;
    core::WarmStart start;
    rec.read(328.0, 5, w, lngw, start);
    const auto warm =
        core::solve_speciation(st, n0, lnK, start, core::SpeciationSettings{}, warm_hooks);
    CHECK(start.w == &w && start.lng == &lngw);
    CHECK(warm.converged && warm.newton_iterations <= 1 && cold.newton_iterations > 3);
    CHECK_CLOSE(warm.n[2], extent(nW, a, K), 1e-9 * extent(nW, a, K));
    // not 30 K away, nor for another species count, nor once emptied
    for (const auto& [T, n] : {std::pair{328.15, 5}, std::pair{298.15, 4}}) {
        core::WarmStart none;
        rec.read(T, n, w, lngw, none);
        CHECK(none.w == nullptr && none.lng == nullptr);
    }
    rec.reset(core::WarmRecord::kKept);
    core::WarmStart none;
    rec.read(298.15, 5, w, lngw, none);
    CHECK(none.w == nullptr && rec.version == 2);
}

void non_finite_activity_is_reported_as_divergence() {
    const core::Stoichiometry st = dissociation();
    Hooks hooks;
    hooks.lng = [](const Eigen::VectorXd& x) {
        return Eigen::VectorXd::Constant(x.size(), std::nan(""));
    };
    const Eigen::VectorXd n0 = (Eigen::VectorXd(5) << 55.5, 0.7, 0, 0, 0).finished();
    std::string what;
    try {
        core::solve_speciation(st, n0, Eigen::VectorXd::Zero(1), {}, core::SpeciationSettings{},
                               hooks);
    } catch (const core::ValueError& e) {
        what = e.what();
    }
    CHECK(what == "chemical equilibrium of the liquid diverged");
}

// A = B with ln K: the check of (n, lng) against closed forms. Reaction: ln(x_B/x_A) + lng_B -
// lng_A - (ref_B - ref_A) - ln K; invariant: (n_A + n_B - n0_A - n0_B) / sqrt(2) / sum n0.
void check_of_an_answer_meets_its_closed_forms() {
    Eigen::MatrixXd nu(1, 2);
    nu << -1, 1;
    const core::Stoichiometry st = core::make_stoichiometry(nu);
    const double lnK = std::log(2.0) + 0.01;
    Eigen::VectorXd ref = Eigen::VectorXd::Zero(2), n0(2);
    n0 << 3.0, 0.0;
    std::vector<std::string> asked;
    auto ref_of = [&](const Eigen::VectorXd& x) {
        asked.push_back("ref");
        CHECK(std::abs(x.sum() - 1.0) < 1e-15);
        return ref;
    };
    auto ln_k = [&] {
        asked.push_back("lnK");
        return Eigen::VectorXd::Constant(1, lnK);
    };
    auto n0_of = [&] {
        asked.push_back("n0");
        return n0;
    };
    const Eigen::Vector2d n(1.0, 2.0), lng(0.0, 0.0);
    CHECK(std::abs(core::speciation_residual(st, n, lng, ref_of, ln_k, n0_of) - 0.01) < 1e-14);
    CHECK((asked == std::vector<std::string>{"ref", "lnK", "n0"}));
    ref << 0.0, -0.5;  // the reference subtracted: the reaction off by 0.5 more
    CHECK(std::abs(core::speciation_residual(st, n, lng, ref_of, ln_k, n0_of) - 0.49) < 1e-14);
    ref.setZero();
    n0 << 3.3, 0.0;  // 0.3 of A missing from the answer: the invariant's residual is larger
    const double r = core::speciation_residual(st, n, lng, ref_of, ln_k, n0_of);
    CHECK(std::abs(r - 0.3 / std::sqrt(2.0) / 3.3) < 1e-14);
    constexpr double kInf = std::numeric_limits<double>::infinity();
    asked.clear();
    CHECK(core::speciation_residual(st, Eigen::Vector2d(-1e-9, 3.0), lng, ref_of, ln_k, n0_of) ==
          kInf);
    CHECK(asked.empty());  // a negative amount fails before anything is asked
    CHECK(core::speciation_residual(st, n, Eigen::Vector2d(std::nan(""), 0.0), ref_of, ln_k,
                                    n0_of) == kInf);
}

// The liquid's model of the solid-liquid Newton: ln gamma as a function of x (0 without one),
// no Henry components (a call of the reference is counted).
struct SolidHooks : core::SolidLiquidModel {
    std::function<Eigen::VectorXd(const Eigen::VectorXd&)> lng;
    int ref_calls = 0;
    void ln_gamma(const Eigen::VectorXd& x, Eigen::VectorXd& out) override {
        out = lng ? lng(x) : Eigen::VectorXd::Zero(x.size());
    }
    void henry_ref(const Eigen::VectorXd*, Eigen::VectorXd& out) override { ++ref_calls; }
};

// Water W = H+ + OH- and a salt MX(s) = M+ + X- over W, H+, OH-, M+, X-, G (a gas of no
// reaction and no amount); 55.5 W and 2 of M+ and X- fed, from the feed with a trace of H+,
// OH- and G and no solid.
struct Brine {
    core::Stoichiometry st =
        core::make_stoichiometry((Eigen::MatrixXd(1, 6) << -1, 1, 1, 0, 0, 0).finished());
    Eigen::MatrixXd nus = (Eigen::MatrixXd(1, 6) << 0, 0, 0, 1, 1, 0).finished();
    Eigen::VectorXd n0 = (Eigen::VectorXd(6) << 55.5, 0, 0, 2, 2, 0).finished();
    Eigen::VectorXd n = (Eigen::VectorXd(6) << 55.5, 1e-7, 1e-7, 2, 2, 1e-20).finished();
    Eigen::VectorXd lng = Eigen::VectorXd::Zero(6), s = Eigen::VectorXd::Zero(1);
    Eigen::VectorXd lnK = Eigen::VectorXd::Constant(1, std::log(1e-20));
    int iterations = 0;
    core::SolidStatus solve(double ksp, SolidHooks& hooks) {
        return core::solve_solid_liquid(st, n0, lnK, nus,
                                        Eigen::VectorXd::Constant(1, std::log(ksp)), hooks, false,
                                        false, n, lng, s, 1e-14, 60, iterations);
    }
    // the feed's balances: M and X between liquid and solid, O in W and OH-, charge
    void check_balances() const {
        CHECK_CLOSE(n[3] + s[0], 2.0, 1e-12);
        CHECK_CLOSE(n[4] + s[0], 2.0, 1e-12);
        CHECK_CLOSE(n[0] + n[2], 55.5, 1e-11);
        CHECK_CLOSE(n[1] + n[3] - n[2] - n[4], 0.0, 1e-12);
        CHECK(n[5] >= 0.0 && n[5] <= 1e-12);  // G stays out of the liquid
    }
};

void ideal_salt_precipitates_to_its_solubility_product() {
    // Ideal liquid: (m / N)^2 = Ksp for m = n_M = n_X = 2 - s and N = 55.5 + 2 m (+ the water's
    // ions, 1e-10 of it here), so m = r 55.5 / (1 - 2 r), r = sqrt(Ksp).
    for (double ksp : {1e-4, 1e-3}) {
        Brine b;
        SolidHooks hooks;
        CHECK(b.solve(ksp, hooks) == core::kSolidConverged);
        const double r = std::sqrt(ksp), m = r * 55.5 / (1.0 - 2.0 * r);
        CHECK_CLOSE(b.n[3], m, 1e-8 * m);
        CHECK_CLOSE(b.s[0], 2.0 - m, 1e-8);
        const Eigen::VectorXd x = b.n / b.n.sum();
        CHECK_CLOSE(std::log(x[3] * x[4]), std::log(ksp), 1e-12);
        CHECK_CLOSE(std::log(x[1] * x[2] / x[0]), std::log(1e-20), 1e-11);
        b.check_balances();
        CHECK(b.lng.norm() == 0.0 && hooks.ref_calls == 0);
    }
}

void salt_with_activity_meets_saturation_with_its_own_ln_gamma() {
    // ln gamma of the ions -2 sqrt(I) (I = half the sum of z^2 x): at the answer the solubility
    // product holds with the returned ln gamma, which is the model's at the returned x.
    Brine b;
    SolidHooks hooks;
    hooks.lng = [](const Eigen::VectorXd& x) {
        const double I = 0.5 * (x[1] + x[2] + x[3] + x[4]);
        Eigen::VectorXd out = Eigen::VectorXd::Zero(6);
        out.segment(1, 4).setConstant(-2.0 * std::sqrt(I));
        return out;
    };
    const double ksp = 1e-4;
    CHECK(b.solve(ksp, hooks) == core::kSolidConverged);
    const Eigen::VectorXd x = b.n / b.n.sum();
    CHECK((b.lng - hooks.lng(x)).cwiseAbs().maxCoeff() < 1e-12);
    CHECK_CLOSE(std::log(x[3]) + b.lng[3] + std::log(x[4]) + b.lng[4], std::log(ksp), 1e-12);
    CHECK_CLOSE(std::log(x[1]) + b.lng[1] + std::log(x[2]) + b.lng[2] - std::log(x[0]),
                std::log(1e-20), 1e-11);
    b.check_balances();
    // the ions' activity below 1 keeps more salt dissolved than the ideal liquid does
    CHECK(b.n[3] > 1e-2 * 55.5 / (1.0 - 2e-2) && b.lng[3] < -0.05);
}

// The Henry reference of the speciation on a molecular NRTL of water, methanol and CO2 (tau and
// alpha test inputs): at infinite dilution in one solvent j, ln gamma_i = tau_ji + tau_ij G_ij
// (G_ij = exp(-alpha tau_ij)), the binary closed form. Mode "water" takes it in water at any
// liquid; mode "solvent" in the liquid's solvents (pure water: the water value; pure methanol:
// the methanol value). A compiled term is asked for once, any other at each evaluation; a Henry
// component that no reaction takes is left out.
struct NrtlSource : core::HenrySource {
    Eigen::Matrix3d tau, alpha;
    bool compiled = true;
    int terms = 0, asks = 0, waters = 0, solvs = 0;
    std::vector<int> mol() override { return {0, 1, 2}; }
    int water() override { return ++waters, 0; }
    std::vector<int> solv() override { return ++solvs, std::vector<int>{0, 1}; }
    void term(const std::vector<int>& m, core::MolecularNrtl& lc) override {
        ++terms;
        // column-major storage: element (j, k) at j + 3 k
        lc.assign(m, core::MatrixView{tau.data(), 3, 3, 1, 3},
                  core::MatrixView{alpha.data(), 3, 3, 1, 3});
    }
    void ask_term() override { ++asks; }
    bool compiled_term() const override { return compiled; }
};

void henry_reference_is_the_infinite_dilution_in_its_solvents() {
    NrtlSource src;
    src.tau << 0.0, -0.5, 2.1, 0.9, 0.0, 0.4, -0.3, 0.6, 0.0;  // tau(j, i): test input
    src.alpha.setConstant(0.3);
    auto dilute = [&](int i, int j) {
        return src.tau(j, i) + src.tau(i, j) * std::exp(-src.alpha(i, j) * src.tau(i, j));
    };
    const Eigen::Vector3d water(1.0, 0.0, 0.0), methanol(0.0, 1.0, 0.0), mix(0.5, 0.3, 0.2);
    const Eigen::VectorXd xs[] = {water, methanol, mix};
    Eigen::VectorXd out;
    core::HenryReferenceAt ref(core::HenryMode::Water, 3, {2}, src, nullptr);
    ref.prepare();
    ref.eval(nullptr, out);
    CHECK_CLOSE(out[2], dilute(2, 0), 1e-7);
    CHECK(out[0] == 0.0 && out[1] == 0.0);
    for (const Eigen::VectorXd& x : xs) {
        ref.eval(&x, out);
        CHECK_CLOSE(out[2], dilute(2, 0), 1e-7);
    }
    CHECK(src.terms == 1 && src.waters == 1 && src.solvs == 0);

    // a Henry pair of CO2 in water: the same infinite dilution; with water the only solvent,
    // ln (H/gamma_inf)_mix is that pair's (ln H = p0 + p1 / T, test inputs)
    core::MolecularNrtl lc;
    src.term({0, 1, 2}, lc);
    Eigen::VectorXd xa;
    const core::HenryPair h =
        core::henry_pair(3, 0, 2, 0.0559, {18.0, -1500.0, 0.0, 0.0}, 320.0, lc, xa);
    CHECK_CLOSE(h.ln_gamma_inf, dilute(2, 0), 1e-7);
    CHECK_CLOSE(h.ln_h, 18.0 - 1500.0 / 320.0, 1e-12);
    CHECK_CLOSE(core::ln_h_mix(std::vector<core::HenryPair>{h}, mix), h.ln_h - h.ln_gamma_inf,
                1e-12);

    NrtlSource py = src;  // a term that is not compiled: asked for at each evaluation
    py.compiled = false;
    py.terms = py.waters = py.solvs = 0;
    core::HenryReferenceAt solvent(core::HenryMode::Solvent, 3, {2}, py, nullptr);
    solvent.eval(&xs[0], out);
    CHECK_CLOSE(out[2], dilute(2, 0), 1e-7);
    solvent.eval(&xs[1], out);
    CHECK_CLOSE(out[2], dilute(2, 1), 1e-7);
    solvent.eval(&xs[2], out);
    CHECK(out[2] != dilute(2, 0) && out[2] != dilute(2, 1));
    CHECK(py.terms == 3 && py.solvs == 1);
    bool refused = false;
    try {
        const Eigen::VectorXd two = Eigen::Vector2d(0.5, 0.5);
        solvent.eval(&two, out);
    } catch (const core::ValueError&) {
        refused = true;
    }
    CHECK(refused);

    // CO2 in no reaction (its column of nu zero): left out, its reference 0
    Eigen::MatrixXd nu(1, 3);
    nu << -1.0, 1.0, 0.0;
    core::HenryReferenceAt idle(core::HenryMode::Water, 3, {2}, src, nullptr);
    idle.only_reacting(core::make_stoichiometry(nu));
    idle.eval(nullptr, out);
    CHECK(!idle.any() && out.isZero(0.0));
}

}  // namespace

int main() {
    return ctest_checks::run(
        "true_amounts_tests",
        {
            CASE(stoichiometry_gives_orthonormal_invariants),
            CASE(one_dissociation_meets_its_closed_form_root),
            CASE(fixed_activity_and_henry_terms_shift_the_constant),
            CASE(composition_dependent_activity_settles_on_its_own_equilibrium),
            CASE(warm_start_reaches_the_same_root),
            CASE(henry_reference_is_the_infinite_dilution_in_its_solvents),
            CASE(non_finite_activity_is_reported_as_divergence),
            CASE(check_of_an_answer_meets_its_closed_forms),
            CASE(ideal_salt_precipitates_to_its_solubility_product),
            CASE(salt_with_activity_meets_saturation_with_its_own_ln_gamma),
        });
}
