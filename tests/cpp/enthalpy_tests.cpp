// Tests of the liquid enthalpy (brinequil/enthalpy) without Python: the aqueous ions' enthalpy
// against quadrature and differences of their Cp, the assembly of the liquid enthalpy from hooks
// with known parts and on the package's data, and its excess term against the Gibbs-Helmholtz
// relation on the activity model's G^ex.
//
// Data: Na+ and Cl- at infinite dilution, 298.15 K (NBS tables, Wagman et al. 1982, as in
// /work/shared/data/literature.md): dfH -240.1 and -167.2 kJ/mol, Cp 46.4 and -136.4 J/(mol K);
// water and the NaCl pair as in activity_tests.cpp (enrtl-notes.md, literature.md). Values marked
// "test input" are not data.
#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "check.hpp"
#include "enthalpy/enthalpy.hpp"
#include "equilibrium/compiled_activity.hpp"
#include "model.hpp"
#include "model/errors.hpp"

namespace {

namespace core = brinequil::core;

constexpr double kR =
    1.380649e-23 * 6.02214076e23 * 1e3;  // J/(kmol K), from the exact SI constants
constexpr double kTref = 298.15;
// NBS: J/kmol and J/(kmol K)
constexpr double kHNa = -240.1e6, kCpNa = 46.4e3, kHCl = -167.2e6, kCpCl = -136.4e3;

double cp_of(const std::array<double, 6>& c, double T) {
    double r = 0.0;
    for (int k = 5; k >= 0; --k) r = r * T + c[k];
    return r;
}

// Integral of Cp from a to b by Simpson's rule on steps of about 0.05 K (error of order
// h^4 (b - a) / 180 times the fourth derivative of Cp, far below the tolerances used): an
// independent route to the same number.
double quadrature(const std::array<double, 6>& c, double a, double b) {
    const int panels = 2 * static_cast<int>(std::ceil(std::abs(b - a) / 0.1) + 1);
    const double h = (b - a) / panels;
    double sum = cp_of(c, a) + cp_of(c, b);
    for (int k = 1; k < panels; ++k) sum += (k % 2 ? 4.0 : 2.0) * cp_of(c, a + k * h);
    return sum * h / 3.0;
}

void aqueous_enthalpy_integrates_a_polynomial_cp() {
    // Cp of degree 5 (test input, shaped like an ion's: a minimum near 300 K): the enthalpy
    // change is the quadrature of Cp, and its slope is Cp.
    const std::array<double, 6> c{-2.1e6, 1.5e4, -32.0, 1.0e-2, 2.0e-5, -1.0e-8};
    for (double Tref : {kTref, 310.0}) {
        for (double T : {273.15, 298.15, 350.0, 450.0}) {
            const double dh = core::h_aqueous(c, kHCl, T, Tref) - kHCl;
            CHECK_CLOSE(dh, quadrature(c, Tref, T), 1e-8 * (1.0 + std::abs(dh)) + 1e-6);
            const double d = 1e-3;
            const double slope =
                (core::h_aqueous(c, kHCl, T + d, Tref) - core::h_aqueous(c, kHCl, T - d, Tref)) /
                (2 * d);
            CHECK_CLOSE(slope, cp_of(c, T), 1e-5 * std::abs(cp_of(c, T)) + 50.0);
        }
    }
}

// Species: water (component 0), Na+, Cl-, CO2 (component 2); component 1 (a gas) not in the liquid.
struct Brine {
    Eigen::VectorXd n = (Eigen::VectorXd(4) << 50.0, 1.5, 1.5, 0.2).finished();
    std::vector<Eigen::Index> comp_pos{0, -1, 3};
    std::vector<bool> is_ion{false, true, true, false};
    Eigen::VectorXd h_ig = Eigen::Vector3d(-241.8e6, 0.0, -393.5e6);  // test inputs
    Eigen::VectorXd dh_ref = Eigen::Vector3d(-44.0e6, 0.0, -19.0e6);  // test inputs
    Eigen::VectorXd seen_xa;
    core::LiquidEnthalpyHooks hooks(
        std::function<Eigen::VectorXd(const Eigen::VectorXd&, double)> lng) {
        core::LiquidEnthalpyHooks h;
        h.h_ig = [this] { return h_ig; };
        h.dh_ref = [this](const Eigen::VectorXd& xa) {
            seen_xa = xa;
            return dh_ref;
        };
        h.ion_params = [](Eigen::Index i) {
            const std::array<double, 6> na{kCpNa, 0, 0, 0, 0, 0}, cl{kCpCl, 0, 0, 0, 0, 0};
            return i == 1 ? std::make_pair(na, kHNa) : std::make_pair(cl, kHCl);
        };
        h.ln_gamma = std::move(lng);
        return h;
    }
};

void liquid_enthalpy_adds_references_ions_and_excess() {
    // ln gamma_i = b_i T (test input): the excess term -R T^2 sum n_i b_i is exact for the
    // central difference; the ions follow their constant Cp; the package's reference is asked at
    // the normalised apparent liquid composition of its components.
    Brine brine;
    const Eigen::Vector4d b(1e-4, -2e-3, -1e-3, 5e-3);
    const auto hooks = brine.hooks([&](const Eigen::VectorXd& x, double T) -> Eigen::VectorXd {
        CHECK_CLOSE(x.sum(), 1.0, 1e-15);
        return b * T;
    });
    const double T = 330.0;
    const double H = core::liquid_enthalpy(brine.n, T, brine.comp_pos, brine.is_ion, kR, hooks);
    const double molecules = 50.0 * (-241.8e6 - 44.0e6) + 0.2 * (-393.5e6 - 19.0e6);
    const double ions = 1.5 * (kHNa + kCpNa * (T - kTref)) + 1.5 * (kHCl + kCpCl * (T - kTref));
    const double excess = -kR * T * T * brine.n.dot(b);
    CHECK_CLOSE(H, molecules + ions + excess, 1e-12 * std::abs(molecules));
    CHECK(brine.seen_xa.size() == 3);
    CHECK_CLOSE(brine.seen_xa[0], 50.0 / 50.2, 1e-15);
    CHECK(brine.seen_xa[1] == 0.0);
    CHECK_CLOSE(brine.seen_xa[2], 0.2 / 50.2, 1e-15);
}

// Water, Na+, Cl- and CO2 in the electrolyte NRTL (as in the Gibbs-Helmholtz case).
enrtl::ModelData co2_brine() {
    enrtl::ModelData d;
    d.kind = {enrtl::Kind::Water, enrtl::Kind::Ion, enrtl::Kind::Ion, enrtl::Kind::Solute};
    d.z = {0, 1, -1, 0};
    d.mw = {18.015, 0.0, 0.0, 44.0};  // CO2's: test input
    d.born = {0.0, 3e-10, 3e-10, 0.0};
    d.solvents = {0};
    d.density = {{static_cast<int>(enrtl::DensityForm::Kell), {}}};
    d.dielectric = {{static_cast<int>(enrtl::DielectricForm::BradleyPitzer),
                     {3.4279e2, -5.0866e-3, 9.4690e-7, -2.0525, 3.1159e3, -1.8289e2, -8.0325e3,
                      4.2142e6, 2.1417}}};
    d.mol_pairs = {{0, 3, {2.0, -1.0, -300.0, 200.0, 0, 0, 0, 0, 0.2, 0}}};  // test inputs
    enrtl::ElectrolytePair p{0, 1, 2, {}}, q{3, 1, 2, {}};
    p.p[0] = 8.885;  // Chen's NaCl pair, with a temperature term B (test input)
    p.p[1] = 500.0;
    p.p[4] = -4.549;
    p.p[8] = 0.2;
    q.p[0] = 10.0;  // Chen & Evans' default for a solvent other than water
    q.p[4] = -2.0;
    q.p[8] = 0.2;
    d.pairs = {p, q};
    return d;
}

void excess_enthalpy_obeys_gibbs_helmholtz_on_the_activity_model() {
    // The excess term from the ln gamma of the electrolyte NRTL equals -R T^2 N d(G^ex/NRT)/dT
    // at fixed x, the derivative taken on gex() (a different function of the model) by a
    // Richardson-extrapolated difference.
    enrtl::Model model(co2_brine());

    Brine brine;
    brine.h_ig.setZero();
    brine.dh_ref.setZero();
    auto hooks = brine.hooks([&](const Eigen::VectorXd& x, double T) -> Eigen::VectorXd {
        Eigen::VectorXd out(4);
        model.ln_gamma(x, T, enrtl::Options{}, out);
        return out;
    });
    hooks.ion_params = [](Eigen::Index) { return std::make_pair(std::array<double, 6>{}, 0.0); };
    const Eigen::VectorXd x = brine.n / brine.n.sum();
    for (double T : {290.0, 330.0, 370.0}) {
        const double H = core::liquid_enthalpy(brine.n, T, brine.comp_pos, brine.is_ion, kR, hooks);
        auto slope = [&](double h) {
            return (model.gex(x, T + h, {}) - model.gex(x, T - h, {})) / (2.0 * h);
        };
        const double dg = (4.0 * slope(0.02) - slope(0.04)) / 3.0;
        const double want = -kR * T * T * brine.n.sum() * dg;
        CHECK_CLOSE(H, want, 1e-6 * std::abs(want));
        CHECK(std::abs(want) > 1e6);  // the excess enthalpy is not negligible here
    }
}

// liquid_enthalpy on the package's own data: water on its Antoine reference, whose enthalpy below
// the ideal gas is the heat of vaporization of Clausius-Clapeyron (ln Psat = C1 + C2 / T: -R C2),
// a molecule on its fixed difference dhref, the ions at infinite dilution, an ideal liquid (no
// excess). A reference that is not finite takes the answer of the caller's handler. Cp, dHf,
// C1, C2 and dhref are test inputs.
void liquid_enthalpy_on_package_data_meets_clausius_clapeyron() {
    core::PackageData d;
    d.R = kR;
    d.T_ref = kTref;
    d.P_ref = 1e5;
    d.cp_kind = {core::PackageData::Cp::Poly, core::PackageData::Cp::Poly};
    d.cp = {{3.4e4}, {9.0e4}};
    d.dhform = {-241.8e6, -210.0e6};
    d.henry = {0, 0};
    d.pairs = {{}, {}};
    d.antoine = {std::array<double, 7>{23.2, -4.9e3, 0, 0, 0, 0, 0}, std::nullopt};
    d.dhref = {0.0, -55.0e6};
    const Eigen::Vector4d n(50.0, 1.0, 0.5, 0.5);
    const std::vector<Eigen::Index> comp_pos{0, 1};
    const std::vector<bool> is_ion{false, false, true, true};
    const core::IonData ions{
        {}, {}, {{kCpNa, 0, 0, 0, 0, 0}, kHNa}, {{kCpCl, 0, 0, 0, 0, 0}, kHCl}};
    auto ideal = [](const Eigen::VectorXd& x, double) -> Eigen::VectorXd {
        return Eigen::VectorXd::Zero(x.size());
    };
    int handled = 0;
    auto handler = [&](const Eigen::VectorXd&, Eigen::VectorXd v) {
        ++handled;
        return v;
    };
    const double T = 340.0, dT = T - kTref;
    const double H = core::liquid_enthalpy(d, n, T, comp_pos, is_ion, ions, kR, ideal, handler);
    const double water = 50.0 * (d.dhform[0] + d.cp[0][0] * dT + kR * d.antoine[0].value()[1]);
    const double mea = 1.0 * (d.dhform[1] + d.cp[1][0] * dT + d.dhref[1]);
    const double salt = 0.5 * (kHNa + kCpNa * dT) + 0.5 * (kHCl + kCpCl * dT);
    CHECK_CLOSE(H, water + mea + salt, 1e-12 * std::abs(water));
    CHECK(handled == 0);
    // a reference that is not finite: the handler's values stand for the references
    d.antoine[0].value()[1] = NAN;
    const double H2 =
        core::liquid_enthalpy(d, n, T, comp_pos, is_ion, ions, kR, ideal,
                              [&](const Eigen::VectorXd& xa, Eigen::VectorXd v) -> Eigen::VectorXd {
                                  CHECK(std::isnan(v[0]) && xa.size() == 2);
                                  return Eigen::Vector2d(-40.0e6, d.dhref[1]);
                              });
    CHECK_CLOSE(H2, water - 50.0 * kR * -4.9e3 - 50.0 * 40.0e6 + mea + salt,
                1e-12 * std::abs(water));
}

// The gradient of liquid_enthalpy on the package's data with the compiled model's derivatives
// (equilibrium/compiled_activity) against central differences of the enthalpy itself, in every
// amount and in T, with ion fractions fixed (J asked for) and not. Cp, dHf, C1, C2, dhref: test
// inputs.
void enthalpy_gradient_of_the_compiled_model_matches_differences() {
    enrtl::Model model(co2_brine());
    core::PackageData d;
    d.R = kR;
    d.T_ref = kTref;
    d.P_ref = 1e5;
    d.cp_kind = {core::PackageData::Cp::Poly, core::PackageData::Cp::Poly};
    d.cp = {{3.4e4, 5.0}, {3.7e4}};
    d.dhform = {-241.8e6, -393.5e6};
    d.henry = {0, 0};
    d.pairs = {{}, {}};
    d.antoine = {std::array<double, 7>{23.2, -4.9e3, 0, 0, 0, 0, 0}, std::nullopt};
    d.dhref = {0.0, -19.0e6};
    const std::vector<Eigen::Index> comp_pos{0, 3};
    const std::vector<bool> is_ion{false, true, true, false};
    const core::IonData ions{
        {}, {{kCpNa, 0, 0, 0, 0, 0}, kHNa}, {{kCpCl, 0, 0, 0, 0, 0}, kHCl}, {}};
    const Eigen::Vector4d n(50.0, 1.5, 1.5, 0.2);
    for (bool fixed : {true, false}) {
        enrtl::Options o;
        o.fixed_Y = fixed;
        auto H = [&](const Eigen::VectorXd& m, double T) {
            return core::liquid_enthalpy(
                d, m, T, comp_pos, is_ion, ions, kR,
                [&](const Eigen::VectorXd& x, double t) {
                    Eigen::VectorXd out(4);
                    model.ln_gamma(x, t, o, out);
                    return out;
                },
                [](const Eigen::VectorXd&, Eigen::VectorXd v) { return v; });
        };
        const double T = 330.0;
        Eigen::VectorXd g;
        double dT = 0.0;
        core::liquid_enthalpy_gradient(d, n, T, comp_pos, is_ion, ions, fixed,
                                       core::compiled_ln_gamma_derivatives(model, o, 4), g, dT);
        for (int j = 0; j < 4; ++j) {
            const double h = 1e-5 * n[j];
            Eigen::VectorXd up = n, dn = n;
            up[j] += h;
            dn[j] -= h;
            const double want = (H(up, T) - H(dn, T)) / (2.0 * h);
            CHECK_CLOSE(g[j], want, 1e-6 * std::abs(want));
        }
        const double want_T = (H(n, T + 1e-3) - H(n, T - 1e-3)) / 2e-3;
        CHECK_CLOSE(dT, want_T, 1e-6 * std::abs(want_T));
    }
}

void bad_hooks_are_reported_with_their_messages() {
    Brine brine;
    auto message = [&](const std::vector<Eigen::Index>& pos, int lng_size) {
        const auto hooks = brine.hooks([lng_size](const Eigen::VectorXd&, double) {
            return Eigen::VectorXd::Zero(lng_size).eval();
        });
        try {
            core::liquid_enthalpy(brine.n, 300.0, pos, brine.is_ion, kR, hooks);
        } catch (const core::IndexError& e) {
            return "IndexError: " + std::string(e.what());
        } catch (const core::ValueError& e) {
            return "ValueError: " + std::string(e.what());
        }
        return std::string("none");
    };
    CHECK(message({0, -1, 7}, 4) ==
          "IndexError: true amounts: index 7 out of range for a vector of length 4");
    CHECK(message({0, -1, 3}, 2) == "ValueError: ln_gamma returned 2 values for 4 species");
    CHECK(message({0, -1, 3}, 4) == "none");
}

}  // namespace

int main() {
    return ctest_checks::run("enthalpy_tests",
                             {
                                 CASE(aqueous_enthalpy_integrates_a_polynomial_cp),
                                 CASE(liquid_enthalpy_adds_references_ions_and_excess),
                                 CASE(excess_enthalpy_obeys_gibbs_helmholtz_on_the_activity_model),
                                 CASE(liquid_enthalpy_on_package_data_meets_clausius_clapeyron),
                                 CASE(enthalpy_gradient_of_the_compiled_model_matches_differences),
                                 CASE(bad_hooks_are_reported_with_their_messages),
                             });
}
