// Tests of the activity model (electrolyte NRTL, ionactivity/core) without Python: the
// Gibbs-Duhem relation and the gradient of G^ex by differences, the binary NRTL closed form, the
// Debye-Hueckel limiting law and the reference states, the NaCl activity coefficients of the
// literature, the A_phi of water, the derivatives with respect to pair coefficients.
//
// Data (with their sources, /work/shared/data): water by Kell (1975) and Bradley & Pitzer (1979),
// U1..U9 of enrtl-notes.md A.3; A_phi 0.3914 (25 C) and 0.4606 (100 C) of the same table; Mw of
// water 18.015 (A.1); the NaCl pair tau_m,ca = 8.885, tau_ca,m = -4.549, alpha = 0.2 (Chen et al.
// 1982, literature.md) and the model's gamma+- at 0.1..6 mol/kg (enrtl-notes.md A.8); the generic
// pair defaults 8/-4 (water) and 10/-2 (other solvents) of Chen & Evans 1986 (literature.md);
// methanol's permittivity, CRC (literature.md); the Born radius default 3 A (literature.md).
// Values marked "test input" are not data: the invariant checked holds for any of them.
#include <array>
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "check.hpp"
#include "model.hpp"

namespace {

using enrtl::Kind;

constexpr double kMwWater = 18.015;  // kg/kmol
constexpr double kBorn = 3e-10;      // m

enrtl::Correlation water_density() { return {static_cast<int>(enrtl::DensityForm::Kell), {}}; }
enrtl::Correlation water_dielectric() {
    return {static_cast<int>(enrtl::DielectricForm::BradleyPitzer),
            {3.4279e2, -5.0866e-3, 9.4690e-7, -2.0525, 3.1159e3, -1.8289e2, -8.0325e3, 4.2142e6,
             2.1417}};
}

enrtl::ElectrolytePair pair(int m, int c, int a, double tau_mca, double tau_cam) {
    enrtl::ElectrolytePair p{m, c, a, {}};
    p.p[0] = tau_mca;
    p.p[4] = tau_cam;
    p.p[8] = 0.2;
    return p;
}

// Water (0), Na+ (1), Cl- (2) with the NaCl pair of Chen et al. (1982).
enrtl::Model nacl_water() {
    enrtl::ModelData d;
    d.kind = {Kind::Water, Kind::Ion, Kind::Ion};
    d.z = {0, 1, -1};
    d.mw = {kMwWater, 0.0, 0.0};  // the ions' molar masses enter nothing
    d.born = {0.0, kBorn, kBorn};
    d.solvents = {0};
    d.density = {water_density()};
    d.dielectric = {water_dielectric()};
    d.pairs = {pair(0, 1, 2, 8.885, -4.549)};
    return enrtl::Model(d);
}

// Water (0), methanol (1), a CO2-like solute (2), Na+ (3), K+ (4), Cl- (5), a divalent anion (6):
// two solvents, two cations, two anions, one molecular solute, every term of the model active.
enrtl::ModelData mixed_data(double temperature_slope) {
    enrtl::ModelData d;
    d.kind = {Kind::Water, Kind::Solvent, Kind::Solute, Kind::Ion, Kind::Ion, Kind::Ion, Kind::Ion};
    d.z = {0, 0, 0, 1, 1, -1, -2};
    d.mw = {kMwWater, 32.0, 44.0, 0.0, 0.0, 0.0, 0.0};           // methanol, solute: test inputs
    d.born = {0.0, 0.0, 0.0, kBorn, 3.5e-10, 2.5e-10, 3.2e-10};  // the ions' but Na+: test inputs
    d.solvents = {0, 1};
    d.density = {water_density(),
                 {static_cast<int>(enrtl::DensityForm::Poly), {950.0, -0.2}}};  // test input
    d.dielectric = {water_dielectric(),
                    {static_cast<int>(enrtl::DielectricForm::Poly), {193.41, -0.92211, 0.0012839}}};
    // molecule pairs (test inputs): A_ij A_ji B_ij B_ji F_ij F_ji G_ij G_ji C D
    d.mol_pairs = {{0, 1, {0.3, 0.8, 50.0, -40.0, 0, 0, 0, 0, 0.3, 0}},
                   {0, 2, {1.5, -0.4, 0, 0, 0, 0, 0, 0, 0.2, 0}},
                   {1, 2, {0.6, 0.2, 0, 0, 0, 0, 0, 0, 0.25, 0}}};
    for (int c : {3, 4})
        for (int a : {5, 6}) {
            auto w = pair(0, c, a, 8.0, -4.0);
            w.p[1] = temperature_slope;  // B of tau_m,ca: a temperature dependence (test input)
            d.pairs.push_back(w);
            d.pairs.push_back(pair(1, c, a, 10.0, -2.0));
            d.pairs.push_back(pair(2, c, a, 10.0, -2.0));
        }
    return d;
}

enrtl::Model mixed(double temperature_slope) { return enrtl::Model(mixed_data(temperature_slope)); }

// mixed() with four more solvents (7-10, ideal among themselves): six solvents are more than the
// hand-written gradient's long-range terms take, so its derivatives are the dual numbers' over F.
enrtl::ModelData six_solvents_data() {
    enrtl::ModelData d = mixed_data(300.0);
    for (int k = 0; k < 4; ++k) {
        d.kind.push_back(Kind::Solvent);
        d.z.push_back(0);
        d.mw.push_back(40.0 + 10.0 * k);  // test inputs
        d.born.push_back(0.0);
        d.solvents.push_back(7 + k);
        d.density.push_back({static_cast<int>(enrtl::DensityForm::Poly), {900.0 + 20.0 * k}});
        d.dielectric.push_back(
            {static_cast<int>(enrtl::DielectricForm::Poly), {20.0 + 5.0 * k, 0.01}});
        d.mol_pairs.push_back({0, 7 + k, {0.5, 0.2 * k, 0, 0, 0, 0, 0, 0, 0.3, 0}});
        for (int c : {3, 4})
            for (int a : {5, 6}) d.pairs.push_back(pair(7 + k, c, a, 10.0, -2.0));
    }
    return d;
}
enrtl::Model six_solvents() { return enrtl::Model(six_solvents_data()); }

// A small LCG: the same compositions on every platform.
struct Random {
    unsigned long long seed = 2024;
    double uniform() {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(seed >> 11) / 9007199254740992.0;
    }
};

// Electroneutral random mole fractions of mixed(): solvents dominant, ions up to a few mol/kg.
Eigen::VectorXd random_composition(Random& r) {
    Eigen::VectorXd n(7);
    n[0] = 1.0;
    n[1] = 0.6 * r.uniform();
    n[2] = 0.05 * r.uniform();
    n[5] = 0.08 * r.uniform();
    n[6] = 0.04 * r.uniform();
    const double negative = n[5] + 2.0 * n[6], share = r.uniform();
    n[3] = share * negative;
    n[4] = (1.0 - share) * negative;
    return n / n.sum();
}

void gibbs_duhem_holds_at_random_compositions() {
    // sum_i x_i d ln gamma_i = 0 along any change of composition at fixed T (the ln gamma are
    // derivatives of one function homogeneous of degree one). Central differences along random
    // directions; the sum is compared with the size of its terms.
    enrtl::Model model = mixed(300.0);
    Random r;
    const double h = 1e-6;
    Eigen::VectorXd up(7), dn(7);
    for (bool fixed_Y : {false, true}) {
        const enrtl::Options o{fixed_Y, enrtl::LcRef::WaterRatio};
        for (int rep = 0; rep < 20; ++rep) {
            const Eigen::VectorXd x = random_composition(r);
            Eigen::VectorXd dir(7);
            for (int i = 0; i < 7; ++i) dir[i] = (r.uniform() - 0.5) * x[i];
            const double T = 280.0 + 80.0 * r.uniform();
            model.ln_gamma(x + h * dir, T, o, up);
            model.ln_gamma(x - h * dir, T, o, dn);
            const Eigen::ArrayXd terms = x.array() * (up - dn).array() / (2.0 * h);
            CHECK(std::abs(terms.sum()) <=
                  2e-8 * terms.abs().sum());  // rounding of the differences: ~1e-9
            CHECK(terms.abs().sum() > 1e-3);  // the composition did change the ln gamma
        }
    }
}

void ln_gamma_is_the_gradient_of_the_excess_gibbs_energy() {
    // ln gamma_i = d(N g)/dn_i with g = G^ex/(N R T): central differences of gex() in each amount.
    enrtl::Model model = mixed(300.0);
    Random r;
    Eigen::VectorXd lng(7);
    for (int rep = 0; rep < 10; ++rep) {
        const enrtl::Options o{rep % 2 == 0,
                               rep < 6 ? enrtl::LcRef::WaterRatio : enrtl::LcRef::FusedSalt};
        const Eigen::VectorXd n = random_composition(r);
        const double T = 298.15 + 20.0 * rep;
        model.ln_gamma(n, T, o, lng);
        for (int i = 0; i < 7; ++i) {
            const double h = 1e-5 * n[i];
            Eigen::VectorXd a = n, b = n;
            a[i] += h;
            b[i] -= h;
            const double dF =
                (a.sum() * model.gex(a, T, o) - b.sum() * model.gex(b, T, o)) / (2.0 * h);
            CHECK_CLOSE(dF, lng[i], 1e-6 * (1.0 + std::abs(lng[i])));
        }
    }
}

void binary_solvents_follow_the_nrtl_closed_form() {
    // Without ions the model is the NRTL equation; for a binary (Renon & Prausnitz 1968)
    // ln gamma_1 = x2^2 [tau21 (G21 / (x1 + x2 G21))^2 + tau12 G12 / (x2 + x1 G12)^2], tau_ji
    // = tau[j, i] as the model reports them. At x1 = 1 both conventions give ln gamma_1 = 0; at
    // x1 -> 0 ln gamma_1 -> tau21 + tau12 G12.
    enrtl::ModelData d;
    d.kind = {Kind::Water, Kind::Solvent};
    d.z = {0, 0};
    d.mw = {kMwWater, 32.0};
    d.born = {0.0, 0.0};
    d.solvents = {0};
    d.density = {water_density()};
    d.dielectric = {water_dielectric()};
    d.mol_pairs = {{0, 1, {0.3, 0.8, 50.0, -40.0, 0, 0, 0, 0, 0.3, 0}}};  // test inputs
    enrtl::Model model(d);
    const double T = 320.0;
    Eigen::MatrixXd tau(2, 2), alpha(2, 2);
    model.molecule_tau(T, tau, alpha);
    CHECK_CLOSE(tau(0, 1), 0.3 + 50.0 / T, 1e-15);  // A + B/T of the pair's first direction
    CHECK_CLOSE(tau(1, 0), 0.8 - 40.0 / T, 1e-15);
    const double G12 = std::exp(-alpha(0, 1) * tau(0, 1)), G21 = std::exp(-alpha(1, 0) * tau(1, 0));
    auto closed = [&](double x1, double t12, double t21, double g12, double g21) {
        const double x2 = 1.0 - x1;
        return x2 * x2 *
               (t21 * std::pow(g21 / (x1 + x2 * g21), 2) + t12 * g12 / std::pow(x2 + x1 * g12, 2));
    };
    const enrtl::Options o{};
    Eigen::VectorXd lng(2);
    for (double x1 : {1.0, 0.9, 0.5, 0.2, 1e-9}) {
        model.ln_gamma(Eigen::Vector2d(x1, 1.0 - x1), T, o, lng);
        CHECK_CLOSE(lng[0], closed(x1, tau(0, 1), tau(1, 0), G12, G21), 1e-13);
        CHECK_CLOSE(lng[1], closed(1.0 - x1, tau(1, 0), tau(0, 1), G21, G12), 1e-13);
    }
    model.ln_gamma(Eigen::Vector2d(1.0, 0.0), T, o, lng);
    CHECK(lng[0] == 0.0);
    CHECK_CLOSE(lng[1], tau(0, 1) + tau(1, 0) * G21, 1e-13);
}

// ln gamma+- of NaCl on the molality scale at m mol/kg (the model's ions are referred to
// infinite dilution in water on the mole-fraction scale).
double ln_gamma_pm(enrtl::Model& model, double m, double T) {
    Eigen::VectorXd lng(3);
    model.ln_gamma(Eigen::Vector3d(1000.0 / kMwWater, m, m), T, enrtl::Options{}, lng);
    return 0.5 * (lng[1] + lng[2]) - std::log1p(2.0 * m * kMwWater / 1000.0);
}

void water_has_the_debye_hueckel_slope_of_the_literature() {
    // A_phi of water from Kell's density and Bradley & Pitzer's permittivity (enrtl-notes A.3)
    enrtl::Model model = nacl_water();
    const Eigen::Vector3d pure(1.0, 0.0, 0.0);
    CHECK_CLOSE(model.solvent_mix(pure, 298.15).A_phi, 0.3914, 6e-5);
    CHECK_CLOSE(model.solvent_mix(pure, 373.15).A_phi, 0.4606, 6e-5);
    CHECK_CLOSE(model.solvent_mix(pure, 298.15).Ms, kMwWater, 1e-12);
}

void dilute_ions_follow_the_limiting_law_and_vanish_on_their_reference() {
    // At infinite dilution in water the ions are on their reference: ln gamma -> 0, and the
    // approach is the Debye-Hueckel limiting law ln gamma+- = -3 A_phi |z+ z-| sqrt(I) (the
    // limit of Pitzer's f^gamma), A_phi = 0.3914 at 25 C. Water keeps the symmetric convention,
    // ln gamma_w -> 0 as x_w -> 1, as the osmotic limit phi - 1 = -A_phi sqrt(m) gives it:
    // ln gamma_w = ln a_w - ln x_w -> 2 (Mw/1000) A_phi m^3/2.
    enrtl::Model model = nacl_water();
    const double T = 298.15, A_phi = 0.3914;
    Eigen::VectorXd lng(3);
    for (double m : {1e-6, 1e-8}) {
        const double law = -3.0 * A_phi * std::sqrt(m);
        CHECK(std::abs(ln_gamma_pm(model, m, T) / law - 1.0) < 3e-3);
        model.ln_gamma(Eigen::Vector3d(1000.0 / kMwWater, m, m), T, enrtl::Options{}, lng);
        CHECK_CLOSE(lng[1], law, 3e-3 * std::abs(law));  // each ion on its own: z^2 = 1
        const double water = 2.0 * kMwWater / 1000.0 * A_phi * std::pow(m, 1.5);
        CHECK_CLOSE(lng[0], water, 3e-3 * water);
    }
    model.ln_gamma(Eigen::Vector3d(1.0, 0.0, 0.0), T, enrtl::Options{}, lng);
    CHECK(lng[0] == 0.0 && std::abs(lng[1]) < 1e-12 && std::abs(lng[2]) < 1e-12);
}

void nacl_mean_activity_coefficients_match_the_literature_model() {
    // gamma+- of the eNRTL with Chen's NaCl pair, 25 C (enrtl-notes A.8, computed there with
    // A_phi = 0.3917, three decimals): the same model gives the same values.
    enrtl::Model model = nacl_water();
    const double m[] = {0.1, 0.2, 0.5, 1, 2, 3, 4, 5, 6};
    const double g[] = {0.773, 0.725, 0.669, 0.648, 0.673, 0.731, 0.800, 0.874, 0.949};
    for (int k = 0; k < 9; ++k) CHECK_CLOSE(std::exp(ln_gamma_pm(model, m[k], 298.15)), g[k], 2e-3);
}

// d ln gamma / d coefficient against models rebuilt with the coefficient moved (central
// differences): every coefficient of an electrolyte pair but alpha (W seeded from zero) and of a
// molecule pair (alpha's C and D too), at a temperature where ln T and T differ from 1.
void parameter_derivatives_match_rebuilt_models() {
    Random r;
    const Eigen::VectorXd x = random_composition(r);
    const double T = 330.0;
    std::vector<enrtl::ParamDir> dirs;
    for (int c = 0; c < 13; ++c)
        if (c != 8) dirs.push_back({0, 0, c});               // water / (Na+, Cl-)
    for (int c = 0; c < 10; ++c) dirs.push_back({1, 0, c});  // water-methanol
    enrtl::Model model = mixed(300.0);
    Eigen::VectorXd lng(7), base(7), up(7), down(7);
    Eigen::MatrixXd dP(7, static_cast<Eigen::Index>(dirs.size()));
    model.ln_gamma_parameter_derivatives(x, T, {}, lng, dP, dirs);
    model.ln_gamma(x, T, {}, base);
    CHECK((lng - base).cwiseAbs().maxCoeff() < 1e-12);
    const double step[4] = {1e-4, 0.03, 1e-5, 3e-7};  // A, B, F, G: like changes of tau
    for (std::size_t k = 0; k < dirs.size(); ++k) {
        const auto [kind, p, c] = dirs[k];
        const double h = kind == 0 ? (c < 8 ? step[c % 4] : step[(c - 9) % 2])
                                   : (c < 8 ? step[c / 2] : (c == 8 ? 1e-5 : 1e-7));
        for (double sign : {1.0, -1.0}) {
            enrtl::ModelData d = mixed_data(300.0);
            (kind == 0 ? d.pairs[p].p : d.mol_pairs[p].p)[c] += sign * h;
            enrtl::Model moved(d);
            moved.ln_gamma(x, T, {}, sign > 0 ? up : down);
        }
        const Eigen::VectorXd fd = (up - down) / (2.0 * h);
        const double scale = std::max(1e-3, fd.cwiseAbs().maxCoeff());
        CHECK((dP.col(static_cast<Eigen::Index>(k)) - fd).cwiseAbs().maxCoeff() < 2e-6 * scale);
    }
    CHECK(dP.cwiseAbs().maxCoeff() > 0.1);
}

// W ln gamma differentiated along random directions of amounts and T (the projected form of
// the second derivatives) against central differences of ln gamma along the same directions,
// for gradients of 1, 3, 5 and 7 rows of W, 1, 2 and 6 directions (passes of one, two and four
// tangents) and both forms of the ion fractions; by tangents over the hand-written gradient
// (mixed) and by dual numbers over F (six solvents).
void directional_derivatives_match_differences() {
    Random r;
    const double T = 330.0, h = 1e-6;
    for (bool many : {false, true}) {
        enrtl::Model model = many ? six_solvents() : mixed(300.0);
        CHECK(model.hand_ok() == !many);
        const int n = model.n();
        Eigen::VectorXd x = Eigen::VectorXd::Zero(n);
        x.head(7) = random_composition(r);
        for (int i = 7; i < n; ++i) x[i] = 0.3 * r.uniform();
        x /= x.sum();
        Eigen::MatrixXd V(n + 1, 6);  // test input: each direction moves every amount, some T
        for (Eigen::Index l = 0; l < V.cols(); ++l) {
            for (Eigen::Index i = 0; i < n; ++i) V(i, l) = x[i] * (r.uniform() - 0.5);
            V(n, l) = l % 2 == 0 ? 3.0 * (r.uniform() - 0.5) : 0.0;
        }
        for (bool fixed : {true, false}) {
            enrtl::Options o;
            o.fixed_Y = fixed;
            for (int k : {1, 3, 5, 7})
                for (int L : {1, 2, 6}) {
                    Eigen::MatrixXd W(k, n), P(k, L);
                    for (int a = 0; a < k; ++a)
                        for (int i = 0; i < n; ++i) W(a, i) = r.uniform() - 0.5;
                    Eigen::VectorXd Wlng(k), lng(n), up(n), down(n);
                    model.ln_gamma_directional_derivatives(x, T, o, W, V.leftCols(L), Wlng, P);
                    model.ln_gamma(x, T, o, lng);
                    CHECK((Wlng - W * lng).cwiseAbs().maxCoeff() < 1e-12);
                    for (Eigen::Index l = 0; l < L; ++l) {
                        const Eigen::VectorXd dx = h * V.col(l).head(n);
                        model.ln_gamma(x + dx, T + h * V(n, l), o, up);
                        model.ln_gamma(x - dx, T - h * V(n, l), o, down);
                        const Eigen::VectorXd fd = W * (up - down) / (2.0 * h);
                        CHECK((P.col(l) - fd).cwiseAbs().maxCoeff() <
                              1e-6 * std::max(1e-3, fd.cwiseAbs().maxCoeff()));
                    }
                }
        }
    }
}

// What f throws as std::invalid_argument, or "no exception".
template <class F>
std::string message(F&& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return std::string(e.what());
    }
    return std::string("no exception");
}

void bad_input_is_refused_with_its_message() {
    enrtl::Model model = nacl_water();
    Eigen::VectorXd out(3), short_out(2);
    CHECK(message([&] { model.ln_gamma(Eigen::Vector3d(0.0, 0.0, 0.0), 298.15, {}, out); }) ==
          "mole fractions must have a positive sum");
    CHECK(message([&] { model.ln_gamma(Eigen::Vector3d(1.0, NAN, 0.0), 298.15, {}, out); }) ==
          "mole fractions must be finite numbers");
    CHECK(message([&] { model.ln_gamma(Eigen::Vector2d(1.0, 0.0), 298.15, {}, short_out); }) ==
          "x must be a vector of 3 mole fractions");
    CHECK(message([&] { model.ln_gamma(Eigen::Vector3d(1.0, 0.0, 0.0), -1.0, {}, out); }) ==
          "temperature must be a positive number of kelvin");
    enrtl::ModelData d;
    d.kind = {Kind::Solvent};
    d.z = {0};
    d.mw = {32.0};
    d.born = {0.0};
    CHECK(message([&] { enrtl::Model m(d); }) == "no water");
    Eigen::MatrixXd dP(3, 1);
    CHECK(message([&] {
              model.ln_gamma_parameter_derivatives(Eigen::Vector3d(1.0, 0.1, 0.1), 298.15, {}, out,
                                                   dP, {{0, 0, 8}});
          }) ==
          "electrolyte pair 0 coefficient 8: derivatives with respect to an electrolyte "
          "pair's alpha are not available");
}

// A term's derivatives: Euler, Gibbs-Duhem and dT at random liquids; d (the model's data with
// the term) against the same terms over six
// solvents (add puts them there; hand_ok false: dual numbers over F) at x with the extra
// solvents at zero, ion fractions held and free (ln gamma, J, dT); and d ln gamma / d coefficient
// along dirs against central differences of models rebuilt with coef(data, dir) moved.
template <class Add, class Coef>
void term_derivatives_are_exact(const enrtl::ModelData& d, Add add,
                                const std::vector<enrtl::ParamDir>& dirs, Random& r, Coef coef) {
    enrtl::Model model(d);
    const enrtl::Options free_Y{false, enrtl::LcRef::WaterRatio};
    {  // Euler, Gibbs-Duhem (exact second derivatives, ion fractions free), dT
        Eigen::VectorXd lng(7), dT(7), up(7), down(7);
        Eigen::MatrixXd J(7, 7);
        for (int rep = 0; rep < 5; ++rep) {
            const Eigen::VectorXd x = random_composition(r);
            const double T = 290.0 + 15.0 * rep;
            model.ln_gamma_derivatives(x, T, free_Y, lng, J, dT);
            CHECK(std::abs(x.dot(lng) - model.gex(x, T, free_Y)) < 1e-13);
            CHECK((x.transpose() * J).cwiseAbs().maxCoeff() < 1e-13 * J.cwiseAbs().maxCoeff());
            model.ln_gamma(x, T + 1e-4, free_Y, up);
            model.ln_gamma(x, T - 1e-4, free_Y, down);
            CHECK(((up - down) / 2e-4 - dT).cwiseAbs().maxCoeff() < 1e-7);
        }
    }
    const Eigen::VectorXd x = random_composition(r);
    enrtl::ModelData d6 = six_solvents_data();
    add(d6);
    enrtl::Model six(d6);
    CHECK(!six.hand_ok() && model.hand_ok());
    Eigen::VectorXd lng(7), dT(7), l11(11), d11(11), up(7), down(7);
    Eigen::MatrixXd J(7, 7), J11(11, 11);
    for (bool fixed : {true, false}) {
        const enrtl::Options o{fixed, enrtl::LcRef::WaterRatio};
        Eigen::VectorXd x11 = Eigen::VectorXd::Zero(11);
        x11.head(7) = x;
        six.ln_gamma(x11, 330.0, o, l11);
        model.ln_gamma(x, 330.0, o, lng);
        CHECK((l11.head(7) - lng).cwiseAbs().maxCoeff() < 1e-13);
        six.ln_gamma_derivatives(x11, 330.0, o, l11, J11, d11);
        model.ln_gamma_derivatives(x, 330.0, o, lng, J, dT);
        CHECK((J11.topLeftCorner(7, 7) - J).cwiseAbs().maxCoeff() < 1e-11);
        CHECK((d11.head(7) - dT).cwiseAbs().maxCoeff() < 1e-13);
    }
    const int np = static_cast<int>(dirs.size());
    Eigen::MatrixXd dP(7, np);
    model.ln_gamma_parameter_derivatives(x, 330.0, {}, lng, dP, dirs);
    for (int k = 0; k < np; ++k) {
        const double h = dirs[k].coef == 0 ? 1e-3 : 0.3;
        for (double sign : {1.0, -1.0}) {
            enrtl::ModelData moved_d = d;
            coef(moved_d, dirs[k]) += sign * h;
            enrtl::Model moved(moved_d);
            moved.ln_gamma(x, 330.0, {}, sign > 0 ? up : down);
        }
        const Eigen::VectorXd fd = (up - down) / (2.0 * h);
        CHECK((dP.col(k) - fd).cwiseAbs().maxCoeff() < 1e-8 * std::max(1.0, fd.norm()));
        CHECK(fd.cwiseAbs().maxCoeff() > 1e-6);
    }
}

// The ion-ion-ion mixing term (test inputs): Na+ with Cl- and the divalent anion, U = A + B/T;
// Cl- with Na+ and K+, U constant.
void add_ion_triples(enrtl::ModelData& d) {
    d.ion_triples = {{3, 5, 6, {-40.0, 3000.0}}, {5, 3, 4, {12.0, 0.0}}};
}

// The mixing term: Euler and Gibbs-Duhem (exact second derivatives, ion fractions free), the
// hand gradient against the dual numbers over F (six solvents, the extra ones at zero amount),
// its temperature and parameter derivatives against differences, zero in a one-salt liquid
// but for the absent ions' ln gamma (U x x by hand), and the ions' reference unchanged.
void ion_mixing_term_is_part_of_gex() {
    Random r;
    enrtl::ModelData dm = mixed_data(300.0);
    add_ion_triples(dm);
    enrtl::Model plain = mixed(300.0), model(dm);
    const enrtl::Options free_Y{false, enrtl::LcRef::WaterRatio};
    Eigen::VectorXd lng(7), base(7);
    double moved = 0.0;
    for (int rep = 0; rep < 5; ++rep) {
        const Eigen::VectorXd x = random_composition(r);
        const double T = 290.0 + 15.0 * rep;
        model.ln_gamma(x, T, free_Y, lng);
        plain.ln_gamma(x, T, free_Y, base);
        moved = std::max(moved, (lng - base).cwiseAbs().maxCoeff());
    }
    CHECK(moved > 1e-3);  // the term acts
    // Euler, Gibbs-Duhem, dT; hand gradient against dual numbers; U's A and B against rebuilt
    // models
    term_derivatives_are_exact(dm, add_ion_triples, {{2, 0, 0}, {2, 0, 1}, {2, 1, 0}}, r,
                               [](enrtl::ModelData& d, const enrtl::ParamDir& p) -> double& {
                                   return d.ion_triples[p.pair].p[p.coef];
                               });
    // one salt (Na+ Cl-): G^ex and the present species unchanged; the absent divalent anion
    // gains d(U n_Na n_Cl n_X / N^2)/dn_X = U x_Na x_Cl, K+ gains 12 x_Cl x_Na
    Eigen::VectorXd salt(7);
    salt << 0.8, 0.05, 0.0, 0.06, 0.0, 0.06, 0.0;
    salt /= salt.sum();
    for (bool fixed : {true, false}) {
        const enrtl::Options o{fixed, enrtl::LcRef::WaterRatio};
        CHECK(std::abs(model.gex(salt, 310.0, o) - plain.gex(salt, 310.0, o)) < 1e-15);
        model.ln_gamma(salt, 310.0, o, lng);
        plain.ln_gamma(salt, 310.0, o, base);
        for (int i : {0, 1, 2, 3, 5}) CHECK(std::abs(lng[i] - base[i]) < 1e-14);
        CHECK_CLOSE(lng[6] - base[6], (-40.0 + 3000.0 / 310.0) * salt[3] * salt[5], 1e-12);
        CHECK_CLOSE(lng[4] - base[4], 12.0 * salt[3] * salt[5], 1e-12);
    }
    // the ions' reference: infinite dilution in water
    Eigen::VectorXd dilute(7);
    dilute << 1.0, 0.0, 0.0, 1e-9, 1e-9, 2e-9, 5e-10;
    model.ln_gamma(dilute, 300.0, {}, lng);
    plain.ln_gamma(dilute, 300.0, {}, base);
    CHECK((lng - base).cwiseAbs().maxCoeff() < 1e-14);
    // a bad triple is refused
    enrtl::ModelData bad = mixed_data(300.0);
    bad.ion_triples = {{3, 4, 5, {1.0, 0.0}}};
    try {
        enrtl::Model m(bad);
        CHECK(false);
    } catch (const std::invalid_argument& e) {
        CHECK(std::string(e.what()) ==
              "bad ion triple (3, 4, 5): a common ion and two ions of the other sign");
    }
    bad.ion_triples = {{3, 5, 6, {1.0, 0.0}}, {3, 6, 5, {2.0, 0.0}}};
    try {
        enrtl::Model m(bad);
        CHECK(false);
    } catch (const std::invalid_argument& e) {
        CHECK(std::string(e.what()) == "ion triple (3, 6, 5) given twice");
    }
}

// A like-ion triple (Cl- with K+ twice: U n_Cl n_K^2 / N^2, test input): Euler and Gibbs-Duhem,
// the hand gradient against the dual numbers over F, and second order in K+: without potassium
// nothing moves, K+ traced in a sodium brine included.
void like_ion_triple_is_second_order_in_its_like_ion() {
    Random r;
    enrtl::ModelData dl = mixed_data(300.0);
    dl.ion_triples = {{5, 4, 4, {250.0, -3.0e4}}};
    enrtl::ModelData d6 = six_solvents_data();
    d6.ion_triples = dl.ion_triples;
    enrtl::Model plain = mixed(300.0), model(dl), six(d6);
    const enrtl::Options free_Y{false, enrtl::LcRef::WaterRatio};
    Eigen::VectorXd lng(7), base(7), dT(7), l11(11), d11(11);
    Eigen::MatrixXd J(7, 7), J11(11, 11);
    for (int rep = 0; rep < 4; ++rep) {
        const Eigen::VectorXd x = random_composition(r);
        const double T = 295.0 + 20.0 * rep;
        model.ln_gamma_derivatives(x, T, free_Y, lng, J, dT);
        CHECK(std::abs(x.dot(lng) - model.gex(x, T, free_Y)) < 1e-13);
        CHECK((x.transpose() * J).cwiseAbs().maxCoeff() < 1e-13 * J.cwiseAbs().maxCoeff());
        Eigen::VectorXd x11 = Eigen::VectorXd::Zero(11);
        x11.head(7) = x;
        six.ln_gamma_derivatives(x11, T, free_Y, l11, J11, d11);
        CHECK((l11.head(7) - lng).cwiseAbs().maxCoeff() < 1e-13);
        CHECK((J11.topLeftCorner(7, 7) - J).cwiseAbs().maxCoeff() < 1e-11);
        plain.ln_gamma(x, T, free_Y, base);
        CHECK((lng - base).cwiseAbs().maxCoeff() > 1e-4);  // the term acts
    }
    // no K+: ln gamma of every species, K+'s own included, as without the record
    Eigen::VectorXd no_k(7);
    no_k << 0.7, 0.05, 0.02, 0.09, 0.0, 0.07, 0.01;
    no_k /= no_k.sum();
    model.ln_gamma(no_k, 320.0, free_Y, lng);
    plain.ln_gamma(no_k, 320.0, free_Y, base);
    CHECK((lng - base).cwiseAbs().maxCoeff() < 1e-14);
}

// The dilute-weighted like-ion term (test inputs): water with K+, D = A + B/T; methanol with
// the divalent anion, D constant.
void add_dilute_terms(enrtl::ModelData& d) {
    d.dilute_terms = {{0, 4, {150.0, -2.0e4}}, {1, 6, {40.0, 0.0}}};
}

// F_D written out here, g in its closed form: sum D n_m n_c n_a / N^2 g(14.9 I_x^1/2), a = c
// for a like-ion term (a < 0).
double dilute_f(const Eigen::VectorXd& n, double T, const enrtl::ModelData& d) {
    const double N = n.sum();
    double I = 0.0;
    for (int i = 0; i < n.size(); ++i) I += 0.5 * d.z[i] * d.z[i] * n[i] / N;
    const double y = 14.9 * std::sqrt(I);
    const double g = 2.0 * (1.0 - (1.0 + y) * std::exp(-y)) / (y * y);
    double F = 0.0;
    for (const auto& t : d.dilute_terms)
        F += (t.p[0] + t.p[1] / T) * n[t.m] * n[t.c] * n[t.a < 0 ? t.c : t.a] / (N * N) * g;
    return F;
}

// ln gamma of `model` less that of `plain` (the same model without the dilute-weighted terms of
// dd) against central differences of dilute_f at x, 310 K, with Y held and free; lng and base
// left at Y free
void dilute_gradient_matches(enrtl::Model& model, enrtl::Model& plain, const enrtl::ModelData& dd,
                             const Eigen::VectorXd& x, Eigen::VectorXd& lng,
                             Eigen::VectorXd& base) {
    for (bool fixed : {true, false}) {
        const enrtl::Options o{fixed, enrtl::LcRef::WaterRatio};
        model.ln_gamma(x, 310.0, o, lng);
        plain.ln_gamma(x, 310.0, o, base);
        for (int i = 0; i < x.size(); ++i) {
            const double h = 1e-6 * std::max(x[i], 1e-3);
            Eigen::VectorXd xp = x, xm = x;
            xp[i] += h;
            xm[i] -= h;
            const double fd = (dilute_f(xp, 310.0, dd) - dilute_f(xm, 310.0, dd)) / (2 * h);
            CHECK(std::abs(lng[i] - base[i] - fd) < 1e-7 * std::max(1.0, std::abs(fd)));
        }
    }
}

// dilute_gradient_matches at four dilutions (solvents 0.6, 0.3, 0.05, the
// four ions `ions` times 0.002-0.3), and the term moving ln gamma of the ion `acts` (index).
void dilute_gradient_over_scales(enrtl::Model& model, enrtl::Model& plain,
                                 const enrtl::ModelData& dd, const std::array<double, 4>& ions,
                                 Eigen::Index acts, Eigen::VectorXd& lng, Eigen::VectorXd& base) {
    for (double scale : {0.002, 0.02, 0.1, 0.3}) {
        Eigen::VectorXd x(7);
        x << 0.6, 0.3, 0.05, ions[0] * scale, ions[1] * scale, ions[2] * scale, ions[3] * scale;
        dilute_gradient_matches(model, plain, dd, x, lng, base);
        CHECK(std::abs((lng - base)[acts]) > 1e-3 * scale);  // the term acts
    }
}

// Coefficient p of a dilute term of d (the direction of term_derivatives_are_exact).
double& dilute_coef(enrtl::ModelData& d, const enrtl::ParamDir& p) {
    return d.dilute_terms[p.pair].p[p.coef];
}

// The dilute term: ln gamma moves by the gradient of F_D (central differences of the function
// written out above), on both sides of the series' end (y = 1); Euler, Gibbs-Duhem and dT; the
// hand gradient against the dual numbers; parameter derivatives against rebuilt models; without
// its ion nothing moves; the ions' reference kept; bad terms refused.
void dilute_term_is_part_of_gex() {
    Random r;
    enrtl::ModelData dd = mixed_data(300.0);
    add_dilute_terms(dd);
    enrtl::Model plain = mixed(300.0), model(dd);
    const enrtl::Options free_Y{false, enrtl::LcRef::WaterRatio};
    Eigen::VectorXd lng(7), base(7);
    // I_x from 2e-4 to 0.03: y from 0.21 to 2.6
    dilute_gradient_over_scales(model, plain, dd, {0.2, 0.6, 0.4, 0.2}, 4, lng, base);
    // Euler, Gibbs-Duhem, dT; hand gradient against dual numbers; D's A and B against rebuilt
    // models
    term_derivatives_are_exact(dd, add_dilute_terms, {{3, 0, 0}, {3, 0, 1}, {3, 1, 0}}, r,
                               dilute_coef);
    // neither K+ nor the divalent anion: every ln gamma as without the terms
    Eigen::VectorXd salt(7);
    salt << 0.7, 0.1, 0.05, 0.07, 0.0, 0.07, 0.0;
    salt /= salt.sum();
    model.ln_gamma(salt, 310.0, free_Y, lng);
    plain.ln_gamma(salt, 310.0, free_Y, base);
    CHECK((lng - base).cwiseAbs().maxCoeff() == 0.0);
    // the ions' reference: ln gamma of K+ moves by 2 D x_w x_K g -> 0 with its amount
    Eigen::VectorXd dilute(7);
    dilute << 1.0, 0.0, 0.0, 1e-12, 1e-12, 2e-12, 5e-13;
    model.ln_gamma(dilute, 300.0, {}, lng);
    plain.ln_gamma(dilute, 300.0, {}, base);
    CHECK((lng - base).cwiseAbs().maxCoeff() < 2.0 * (150.0 - 2.0e4 / 300.0) * 1e-12 * 1.01);
    CHECK(std::abs(lng[4] - base[4]) > 1e-10);
    // bad terms are refused
    enrtl::ModelData bad = mixed_data(300.0);
    bad.dilute_terms = {{2, 4, {1.0, 0.0}}};  // a solute is not a solvent
    CHECK(message([&] { enrtl::Model m(bad); }) == "bad dilute term (2, 4): a solvent and an ion");
    bad.dilute_terms = {{0, 4, {1.0, 0.0}}, {0, 4, {2.0, 0.0}}};
    CHECK(message([&] { enrtl::Model m(bad); }) == "dilute term (0, 4) given twice");
}

// The salt-pair term (test inputs): water with Na+ and Cl-, D = A + B/T; methanol with K+ and
// the divalent anion, D constant.
void add_dilute_pairs(enrtl::ModelData& d) {
    d.dilute_terms = {{0, 3, {90.0, -1.5e4}, 5}, {1, 4, {-30.0, 0.0}, 6}};
}

// The salt-pair term: ln gamma moves by the gradient of F_D (central differences of dilute_f)
// on both sides of y = 1; Euler, Gibbs-Duhem and dT; the hand gradient against the dual
// numbers; parameter derivatives against rebuilt models; beside a like-ion term of the same
// ions each acts as its own; with one of its ions absent nothing moves; bad terms refused.
void dilute_pair_term_is_part_of_gex() {
    Random r;
    enrtl::ModelData dd = mixed_data(300.0);
    add_dilute_pairs(dd);
    enrtl::Model plain = mixed(300.0), model(dd);
    Eigen::VectorXd lng(7), base(7);
    dilute_gradient_over_scales(model, plain, dd, {0.5, 0.3, 0.4, 0.2}, 3, lng, base);
    term_derivatives_are_exact(dd, add_dilute_pairs, {{3, 0, 0}, {3, 0, 1}, {3, 1, 0}}, r,
                               dilute_coef);
    // the water term alone, and beside it a like-ion term of Na+: the two add up, and the
    // parameter derivative of each is its own term's (the index follows the list)
    enrtl::ModelData water_only = mixed_data(300.0), both = mixed_data(300.0);
    water_only.dilute_terms = {dd.dilute_terms[0]};
    both.dilute_terms = {dd.dilute_terms[0], {0, 3, {25.0, 0.0}}};
    enrtl::ModelData like = mixed_data(300.0);
    like.dilute_terms = {both.dilute_terms[1]};
    enrtl::Model mw(water_only), mb(both), ml(like);
    Eigen::VectorXd x(7), l_w(7), l_like(7), l_plain(7);
    x << 0.6, 0.3, 0.05, 0.05, 0.03, 0.04, 0.02;
    mb.ln_gamma(x, 310.0, {}, lng);
    mw.ln_gamma(x, 310.0, {}, l_w);
    ml.ln_gamma(x, 310.0, {}, l_like);
    plain.ln_gamma(x, 310.0, {}, l_plain);
    CHECK((lng - l_w - (l_like - l_plain)).cwiseAbs().maxCoeff() < 1e-13);
    Eigen::MatrixXd dP(7, 2);
    mb.ln_gamma_parameter_derivatives(x, 310.0, {}, lng, dP, {{3, 0, 0}, {3, 1, 0}});
    // D enters linearly: d ln gamma / dD_A of each term is its own term's move over its D
    CHECK((dP.col(0) - (l_w - l_plain) / (90.0 - 1.5e4 / 310.0)).cwiseAbs().maxCoeff() < 1e-12);
    CHECK((dP.col(1) - (l_like - l_plain) / 25.0).cwiseAbs().maxCoeff() < 1e-12);
    // no Na+ (K+ and Cl- present): G^ex and every ln gamma as without the term but Na+'s, which
    // gains D x_w x_Cl g (first order in Na+), g written out at I_x = (x_K + x_Cl) / 2
    Eigen::VectorXd no_na(7);
    no_na << 0.7, 0.1, 0.05, 0.0, 0.07, 0.07, 0.0;
    no_na /= no_na.sum();
    mw.ln_gamma(no_na, 310.0, {}, lng);
    plain.ln_gamma(no_na, 310.0, {}, base);
    CHECK(mw.gex(no_na, 310.0, {}) == plain.gex(no_na, 310.0, {}));
    for (int i : {0, 1, 2, 4, 5, 6}) CHECK(lng[i] == base[i]);
    const double y = 14.9 * std::sqrt(0.5 * (no_na[4] + no_na[5]));
    const double g = 2.0 * (1.0 - (1.0 + y) * std::exp(-y)) / (y * y);
    CHECK_CLOSE(lng[3] - base[3], (90.0 - 1.5e4 / 310.0) * no_na[0] * no_na[5] * g, 1e-12);
    // bad terms are refused
    enrtl::ModelData bad = mixed_data(300.0);
    bad.dilute_terms = {{0, 5, {1.0, 0.0}, 3}};  // anion first
    CHECK(message([&] { enrtl::Model m(bad); }) ==
          "bad dilute pair term (0, 5, 3): a solvent, a cation and an anion");
    bad.dilute_terms = {{2, 3, {1.0, 0.0}, 5}};  // a solute is not a solvent
    CHECK(message([&] { enrtl::Model m(bad); }) ==
          "bad dilute pair term (2, 3, 5): a solvent, a cation and an anion");
    bad.dilute_terms = {{0, 3, {1.0, 0.0}, 5}, {0, 3, {2.0, 0.0}}, {0, 3, {2.0, 0.0}, 5}};
    CHECK(message([&] { enrtl::Model m(bad); }) == "dilute pair term (0, 3, 5) given twice");
}

}  // namespace

int main() {
    return ctest_checks::run(
        "activity_tests",
        {
            CASE(gibbs_duhem_holds_at_random_compositions),
            CASE(ln_gamma_is_the_gradient_of_the_excess_gibbs_energy),
            CASE(binary_solvents_follow_the_nrtl_closed_form),
            CASE(water_has_the_debye_hueckel_slope_of_the_literature),
            CASE(dilute_ions_follow_the_limiting_law_and_vanish_on_their_reference),
            CASE(directional_derivatives_match_differences),
            CASE(nacl_mean_activity_coefficients_match_the_literature_model),
            CASE(parameter_derivatives_match_rebuilt_models),
            CASE(bad_input_is_refused_with_its_message),
            CASE(ion_mixing_term_is_part_of_gex),
            CASE(like_ion_triple_is_second_order_in_its_like_ion),
            CASE(dilute_term_is_part_of_gex),
            CASE(dilute_pair_term_is_part_of_gex),
        });
}
