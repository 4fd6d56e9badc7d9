// Python interface of the liquid fugacities (psat, fugacities, bubble) and of the phase
// equilibrium (kvalues, flash_tp, _flash_newton, bubble_t, flash): the operations are in
// equilibrium_calls.cpp, the algorithms in fugacity/ and equilibrium/.
#include <limits>

#include "equilibrium/flash.hpp"
#include "host/electrolyte.hpp"
#include "host/equilibrium_calls.hpp"
#include "host/model_api.hpp"

namespace brinequil::host {

void bind_equilibrium(py::module_& m, ElectrolyteClass& cls) {
    cls.def("psat", &psat_method, py::arg("c"), py::arg("T"),
            "Vapor pressure [Pa] of species c at T by the extended Antoine correlation");
    cls.def("fugacities", &fugacities_method, py::arg("n_app"), py::arg("T"),
            "Liquid fugacities [Pa] {species: f} of the volatile molecular species of an apparent "
            "liquid at T");
    cls.def("bubble", &bubble_method, py::arg("n_app"), py::arg("T"),
            "Bubble pressure [Pa], vapor mole fractions and the true liquid of an apparent liquid "
            "at T (ideal gas)");
    cls.def("_front_bubble_T", &front_bubble_t, py::arg("n_app"), py::arg("components"),
            py::arg("pp"), py::arg("P"), py::arg("T0"), py::arg("T_min"), py::arg("T_max"),
            "The front door's bubble temperature search of the apparent liquid n_app at P in one "
            "call: ln max(sum f / P, 1e-300) over the components (fugacities from the warm record, "
            "as the model's fugacities gives them), bracketed from T0 (steps of 10 K growing by "
            "1.6, clamped to [T_min, T_max]), then Brent's method (xtol 1e-10). (outcome, T, g, "
            "evaluations): outcome 0 T found, 1 no sign change up to a bound (g at the last T "
            "before it), 2 a speciation that did not settle or raised, or a value that is no "
            "number (the caller's own loop then runs). None where fugacities, true_amounts, lnK "
            "or henry_ref is replaced in Python or the vapor is not the package's own ideal gas");
    cls.def("_front_split_at_beta", &front_split_at_beta, py::arg("components"), py::arg("z"),
            py::arg("V"), py::arg("zV"), py::arg("species"), py::arg("w0"), py::arg("pp"),
            py::arg("P"), py::arg("beta"), py::arg("limits"),
            "The front door's split of the feed z with the vapor fraction beta at P in one call: "
            "damped Newton's method from w0 (ln v over the volatile components V, then T) on ln "
            "(y P / f) over V (f of each trial liquid from the warm record, as _front_fugacities "
            "gives it) and ln (vapor / beta); zV what the feed can give of each, species the "
            "position of each one's molecule among the true species; limits (tol, SPLIT_TOL, "
            "SPLIT_STEPS, LARGE_STEP, SPLIT_EVALS, step cap in ln v, in T, T_MIN, T_MAX, "
            "VAPOR_FLOOR, RESOLUTION). (outcome, message, beta, x, y, true amounts, T, "
            "evaluations): outcome 0 the split, 1 none (the message says why), 2 the evaluation "
            "budget spent, 3 a trial liquid whose speciation raised or whose value is no finite "
            "number (the caller's own loop then runs). None where fugacities, true_amounts, lnK, "
            "henry_ref, _residual or _status is replaced in Python or the vapor is not the "
            "package's own ideal gas");
    cls.def("_front_split_at_T", &front_split_at_t, py::arg("components"), py::arg("z"),
            py::arg("V"), py::arg("zV"), py::arg("species"), py::arg("w0"), py::arg("pp"),
            py::arg("P"), py::arg("T"), py::arg("settle"), py::arg("limits"),
            "One start of the TP flash's split of the feed z at T and P on the liquid's "
            "fugacities in one call: damped Newton's method from w0 (ln v over the volatile "
            "components V) on ln (y P / f) over V, as _front_split_at_beta without the T unknown "
            "and with no retry on larger differences; limits as there, its fifth the budget left "
            "(one per evaluation plus each speciation's iterations). (outcome, message, beta, x, "
            "y, true amounts, evaluations, budget left, an unsettled trial liquid seen): outcome "
            "0 the split, 1 none (the message says why), 2 the budget spent, 3 a trial liquid "
            "whose speciation raised, whose value is no finite number or, with settle, that did "
            "not settle (the caller's own loop then runs). None as for _front_split_at_beta");
    cls.def(
        "_front_dew_point", &front_dew_point, py::arg("components"), py::arg("z"), py::arg("V"),
        py::arg("w0"), py::arg("pp"), py::arg("P"), py::arg("limits"),
        "The front door's dew point of the feed z (all vapor) at P in one call: damped "
        "Newton's method from w0 (ln x over the feed's components V, then T) on ln (f / (z "
        "P)) over V (f of each incipient liquid x / sum x from the warm record, as "
        "_front_fugacities gives it) and ln sum x; limits as for _front_split_at_beta (LARGE_STEP "
        "unused: no retry on larger differences). (outcome, message, x, true amounts, T, "
        "evaluations): outcome 0 the dew point, 1 none (the message says why), 2 the "
        "evaluation budget spent, 3 a trial liquid whose speciation raised, did not settle or "
        "whose value is no finite number (the caller's own loop then runs). None as for "
        "_front_split_at_beta");
    cls.def(
        "_front_vapor_at_T", &front_vapor_at_t, py::arg("components"), py::arg("z"), py::arg("V"),
        py::arg("w0"), py::arg("pp"), py::arg("P"), py::arg("T"), py::arg("limits"),
        "The front door's all-vapor test of the feed z at T and P on the liquid's fugacities in "
        "one call: damped Newton's method from w0 (ln x over the feed's components V, then ln "
        "lambda) on ln f - ln (z P lambda) over V (f of each incipient liquid x / sum x as for "
        "_front_dew_point) and ln sum x; limits as for _front_split_at_beta (LARGE_STEP, the T "
        "range and the T cap unused). (outcome, message, x, true amounts, ln lambda, "
        "evaluations): outcome 0 the incipient liquid (all vapor where ln lambda >= 0), 1 none "
        "(the message says why), 2 the evaluation budget spent, 3 a trial liquid whose "
        "speciation raised, did not settle or whose value is no finite number (the caller's "
        "own loop then runs). None as for _front_split_at_beta");
    cls.def("kvalues", &kvalues_method, py::arg("pp"), py::arg("xa"), py::arg("y"), py::arg("T"),
            py::arg("P"),
            "K-values y/x of the components of pp for the apparent liquid xa and the vapor y at T, "
            "P (0 for components without a liquid fugacity), and the true amounts per unit of "
            "liquid");
    cls.def(
        "_front_tp_flash",
        [](py::handle self, py::handle pp, py::handle z, double T, double P, py::handle comps,
           double tol, py::handle limits, py::handle water, py::list box, py::handle self_ions,
           py::handle warm) {
            return on_record(self, warm, [&] {
                return front_tp_flash(self, pp, z, T, P, comps, tol, limits, water, box, self_ions);
            });
        },
        py::arg("pp"), py::arg("z"), py::arg("T"), py::arg("P"), py::arg("components"),
        py::arg("tol"), py::arg("limits"), py::arg("water"), py::arg("box"),
        py::arg("self_ions") = py::none(), py::arg("warm") = py::none(),
        "flash_tp(pp, z, T, P) and the check of its answer as _front_flash_check gives it, "
        "in one call on the flash's tables; box gets the flash's result, its split status, "
        "True when the check's speciation starts, whether the stability test of "
        "flashes has nothing to test, the split's |d beta / d ln K| (beta_spread) and "
        "whether the liquid passes checks.true_water (self_ions: as for _front_liquid's "
        "water; None without it). None "
        "where the caller is to call them "
        "(box empty: the flash too). warm: as for _front_liquid (the flash starts from it)");
    cls.def("_substitution", &substitution_method, py::arg("pp"), py::arg("z"), py::arg("x"),
            py::arg("y"), py::arg("T"), py::arg("P"), py::arg("tol"), py::arg("steps"),
            py::arg("stall_steps") = 0, py::arg("stall_tol") = 0.0,
            "The front door's successive substitution on the K-values of the TP flash from the "
            "liquid x and vapor y, at least one step, damped where the change does not shrink, "
            "components absent from z kept absent, ended also where the change is below "
            "stall_tol and has set no new low for stall_steps steps (0: never): (beta, x, y, "
            "true amounts, steps taken)");
    cls.def("flash_tp", &flash_tp_method, py::arg("pp"), py::arg("z"), py::arg("T"), py::arg("P"),
            py::arg("tol") = core::kFlashTol, py::arg("maxit") = 200,
            "TP flash of the apparent feed z with the speciated electrolyte liquid: the package's "
            "flash result with the true liquid under \"true\"");
    cls.def("_flash_newton", &flash_newton_method, py::arg("pp"), py::arg("z"), py::arg("T"),
            py::arg("P"), py::arg("v0"), py::arg("tol"),
            "Two-phase split at T, P by Newton on the vapor amounts v = z/(1+e^-s) of the "
            "volatile components: (beta, x, y, n, nfev)");
    cls.def("bubble_t", &bubble_t_method, py::arg("pp"), py::arg("x"), py::arg("P"),
            py::arg("T0") = 350.0,
            "Bubble temperature [K] of the apparent liquid x at P (vapor model of pp), and the "
            "vapor");
    cls.def("flash", &flash_method, py::arg("pp"), py::arg("z"), py::arg("P"),
            py::arg("T") = py::none(), py::arg("H") = py::none(), py::arg("S") = py::none(),
            py::arg("beta") = py::none(), py::arg("T0") = py::none(),
            "Flash at P with T, H [J/kmol], S or the vapor fraction");

    // Private hooks that run the C++ root finders on Python functions: _hybrd for the tests,
    // _brentq for the tests and the front door's root searches (flashes, solids, paths).
    m.def("_hybrd", &hybrd_call, py::arg("f"), py::arg("x0"),
          "Hybrid Powell root of f from x0 (xtol 1e-12): (x, nfev, info)");
    m.def("_brentq", &brentq_call, py::arg("f"), py::arg("a"), py::arg("b"), py::kw_only(),
          py::arg("xtol") = 1e-8, py::arg("rtol") = 4.0 * std::numeric_limits<double>::epsilon(),
          py::arg("maxiter") = 100,
          "Brent root of f on [a, b]: the bracket's half-width below (xtol + rtol |x|) / 2 or "
          "f exactly 0, at most maxiter iterations");
}

}  // namespace brinequil::host
