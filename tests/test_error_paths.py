"""What reaches the caller when a solve fails inside the front door: a core solve that fails
(its divergence, planted here where no real liquid makes it on demand) becomes a
ConvergenceError with the core's error as its cause; any other ValueError raised inside an
attempt is a fault or bad input and goes on unchanged, never taken for "this attempt failed"."""

import numpy as np
import pytest

import velmora
import velmora.brinequil as bq
import velmora.solids.flash as three_phase
from conftest import module_systems, raiser
from velmora import ConvergenceError, errors, flashes, ionactivity
from velmora.errors import SOLVE_FAILURES, solve_failed

pytestmark = pytest.mark.filterwarnings("ignore::velmora.errors.RangeWarning")

DIVERGED = "chemical equilibrium of the liquid diverged"
BRINE = {"NaCl": 7.0}  # past halite's solubility at 25 C


systems = module_systems("NaCl-H2O", "MEA-H2S-H2O", "CO2-H2O")


def test_the_core_failures_are_known_by_their_own_messages(systems):
    """The classifier against what the core really raises: its divergence on a liquid of a
    subnormal amount, and the messages of its own sources."""
    el = systems["MEA-H2S-H2O"].model
    el._warm = None
    with pytest.raises(ValueError) as info:
        el.fugacities({"H2O": 5e-324, "MEA": 0.0, "H2S": 0.0}, 298.15)
    assert solve_failed(info.value) and str(info.value) == DIVERGED
    assert DIVERGED in SOLVE_FAILURES
    assert solve_failed(ZeroDivisionError()) and solve_failed(OverflowError("math range error"))
    assert solve_failed(np.linalg.LinAlgError("Singular matrix"))
    for other in (
        ValueError("operands could not be broadcast together"),
        TypeError(DIVERGED),
        ValueError("T = 40 K lies outside 200-700 K"),
        KeyError(DIVERGED),
        ValueError("x " + DIVERGED),
    ):
        assert not solve_failed(other), other


@pytest.mark.parametrize("solids", [False, True])
def test_a_diverged_core_speciation_is_a_convergence_error_and_a_fault_goes_on(
    systems, monkeypatch, solids
):
    s = systems["NaCl-H2O"]
    cause = ValueError(DIVERGED)
    monkeypatch.setattr(s.model, "true_amounts", raiser(cause))
    monkeypatch.setattr(s.model, "fugacities", raiser(cause))
    with pytest.raises(ConvergenceError) as info:
        s.liquid(298.15, molalities=BRINE, solids=solids)
    e = info.value
    assert e.__cause__ is cause and e.T == 298.15
    assert e.feed is not None and set(e.feed) == set(s.components)
    assert DIVERGED in str(e)
    # any other ValueError inside the core call is a fault, not a failed solve
    fault = ValueError("operands could not be broadcast together with shapes (3,) (4,)")
    monkeypatch.setattr(s.model, "true_amounts", raiser(fault))
    monkeypatch.setattr(s.model, "fugacities", raiser(fault))
    with pytest.raises(ValueError) as info:
        s.liquid(298.15, molalities=BRINE, solids=solids)
    assert info.value is fault


def test_a_solid_liquid_equilibrium_whose_joint_newton_diverges_falls_back(systems, monkeypatch):
    """The joint Newton's failed solve hands the liquid to the Python method (same answer);
    a fault in it reaches the caller."""
    s = systems["NaCl-H2O"]
    ref = s.liquid(298.15, molalities=BRINE, solids=True)
    monkeypatch.setattr(s.model, "_solid_newton", raiser(ValueError(DIVERGED)))
    back = s.liquid(298.15, molalities=BRINE, solids=True)
    assert back.solids["halite"] == pytest.approx(ref.solids["halite"], rel=1e-7)
    fault = ValueError("_solid_newton: n must be positive")
    monkeypatch.setattr(s.model, "_solid_newton", raiser(fault))
    with pytest.raises(ValueError) as info:
        s.liquid(298.15, molalities=BRINE, solids=True)
    assert info.value is fault


def test_the_scaling_temperature_of_a_diverged_liquid_is_a_convergence_error(systems, monkeypatch):
    s = systems["NaCl-H2O"]
    cause = ValueError(DIVERGED)
    monkeypatch.setattr(s.model, "true_amounts", raiser(cause))
    with pytest.raises(
        ConvergenceError,
        match="^scaling temperature not found at T = 273.15 K: the speciation of the liquid failed",
    ) as info:
        s.scaling_temperature(molalities={"NaCl": 1.0})
    assert info.value.__cause__ is cause


def test_a_flash_whose_every_speciation_diverges_is_a_convergence_error(systems, monkeypatch):
    s = systems["CO2-H2O"]
    feed = {"H2O": 0.9, "CO2": 0.1}
    cause = ValueError(DIVERGED)
    monkeypatch.setattr(s.model, "fugacities", raiser(cause))
    with pytest.raises(ConvergenceError, match="^flash not converged at T = 350 K") as info:
        s.flash(feed, 101325.0, T=350.0)
    assert DIVERGED in str(info.value) and info.value.tried
    fault = ValueError("operands could not be broadcast together")
    monkeypatch.setattr(s.model, "fugacities", raiser(fault))
    with pytest.raises(ValueError) as info:
        s.flash(feed, 101325.0, T=350.0)
    assert info.value is fault


def test_the_split_line_search_halves_a_failed_step_and_passes_a_fault_on():
    """_fd_newton on r(w) = w - 1 (root w = 1, Newton's first step from 0 lands on it) whose
    first evaluation near that root raises: a step that fails as a solve (_NoAnswer, the core's
    divergence) is halved and the root found after; a fault ends the solve with that fault."""

    def run(exc):
        calls, fired = [], []

        def G(w):
            calls.append(float(w[0]))
            if exc is not None and not fired and float(w[0]) > 0.9:
                fired.append(True)
                raise exc
            r = np.array([float(w[0]) - 1.0])
            return r, float(w[0]), abs(float(r[0]))

        return flashes._fd_newton(G, np.array([0.0]), np.array([5.0]), 1, 1e-6)[0], calls

    state, calls = run(None)
    assert state == pytest.approx(1.0, abs=1e-9) and len(calls) == 3
    for failed in (flashes._NoAnswer("split not finite"), ValueError(DIVERGED)):
        state, calls = run(failed)
        assert calls[3] == pytest.approx(0.5 * calls[2], rel=1e-12)  # the failed step, halved
        assert state == pytest.approx(1.0, abs=1e-9)
    fault = ValueError("operands could not be broadcast together")
    with pytest.raises(ValueError) as info:
        run(fault)
    assert info.value is fault


def test_a_brine_path_point_whose_warm_speciation_fails_is_computed_cold(systems, monkeypatch):
    """A path's point from its neighbour's speciation (the core's warm start, 60 iterations at
    its default tolerance): a failed solve there leaves the point to System.liquid (the same
    path); a fault there reaches the caller, named by the point."""
    s = systems["NaCl-H2O"]
    el = s.model
    real = type(el).true_amounts
    brine = s.composition(molalities={"NaCl": 1.0})
    ref = velmora.paths.evaporate(s, brine, 298.15, removed=[0.0, 0.2, 0.4], events=False)

    def planted(exc, hits):
        def true_amounts(app, T, *args):
            if args == (1e-11, 60):  # the path's warm speciation only
                hits.append(T)
                raise exc
            return real(el, app, T, *args)

        return true_amounts

    hits = []
    monkeypatch.setattr(el, "true_amounts", planted(ValueError(DIVERGED), hits))
    cold = velmora.paths.evaporate(s, brine, 298.15, removed=[0.0, 0.2, 0.4], events=False)
    assert len(hits) == 2
    assert cold.water_activity == pytest.approx(ref.water_activity, rel=1e-9)
    fault = ValueError("operands could not be broadcast together")
    monkeypatch.setattr(el, "true_amounts", planted(fault, []))
    with pytest.raises(
        ValueError, match="^evaporation at 0.2 of the water removed: operands "
    ) as info:
        velmora.paths.evaporate(s, brine, 298.15, removed=[0.0, 0.2, 0.4], events=False)
    assert info.value.__cause__ is fault


def test_every_error_of_the_package_is_a_velmora_error_with_its_old_base(systems):
    """One ReportError: the core's reader raises the front door's class (still a ValueError,
    as the reader's was; a RuntimeError, as the cache's is); a liquid beyond the aqueous model
    is a VelmoraError and a ValueError."""
    with pytest.raises(velmora.ReportError, match="^parameter report: ") as info:
        ionactivity.report.read_report("no report here\n", ["H2O"], [])
    assert isinstance(info.value, ValueError) and isinstance(info.value, RuntimeError)
    assert ionactivity.report.ReportError is velmora.ReportError
    s = systems["NaCl-H2O"]
    with pytest.raises(velmora.VelmoraError) as info:
        s.liquid(298.15, molalities={"NaCl": 150.0})
    assert isinstance(info.value, ValueError) and "lies outside 0-100 mol/kg" in str(info.value)
    assert issubclass(flashes._NoAnswer, velmora.VelmoraError)
    for cls in (
        errors.ConvergenceError,
        errors.ReportError,
        errors.ChemistryError,
        errors.SweepError,
    ):
        assert issubclass(cls, velmora.VelmoraError)
    # and each keeps the base it had, so existing handlers still catch it
    assert issubclass(errors.ChemistryError, ValueError)
    assert issubclass(errors.ConvergenceError, RuntimeError)


def test_no_answer_is_a_no_solution_error_and_a_fault_in_a_three_phase_flash_goes_on(
    systems, monkeypatch
):
    """A vapor fraction a salt feed cannot reach has no answer (NoSolutionError, a ValueError);
    in a flash with solids the active set takes such errors of the flashes it tries for "no
    liquid there", but a fault in one of them ends the call with that fault."""
    s = systems["NaCl-H2O"]
    feed = s.composition(molalities={"NaCl": 3.0})
    with pytest.raises(velmora.NoSolutionError, match="^vapor fraction 1 cannot be reached"):
        s.flash(feed, 101325.0, vapor_fraction=1.0)
    assert issubclass(velmora.NoSolutionError, ValueError)
    real, calls = three_phase.flash, []
    fault = ValueError("operands could not be broadcast together")

    def planted(*args, **kwargs):
        calls.append(kwargs)
        if len(calls) > 1:  # the flashes of the active set, after the first
            raise fault
        return real(*args, **kwargs)

    monkeypatch.setattr(three_phase, "flash", planted)
    with pytest.raises(ValueError) as info:
        s.flash(feed, 101325.0, vapor_fraction=0.7, solids=True)
    assert info.value is fault and len(calls) == 2


def test_a_bubble_point_at_an_end_of_its_bracket_is_taken_and_checked(systems, monkeypatch):
    """Brent's method reads the ends of the bubble point's bracket again; where one lies within
    the speciation's noise of the root its sign can come out otherwise (warm starts) and Brent
    refuses the bracket. That end is then the answer, checked like any: from the bubble point
    itself the same answer, from 0.3 K beside it a ConvergenceError (never the bare ValueError
    of the root finder)."""
    s = systems["NaCl-H2O"]
    feed = s.composition(molalities={"NaCl": 1.0})
    Tb = s.bubble_temperature(feed, 101325.0).T

    real = bq._brentq

    def refuses(f, a, b, **kwargs):  # the engine's own refusal of a bracket without a change
        return real(lambda t: 1.0, a, b, **kwargs)

    monkeypatch.setattr(bq, "_brentq", refuses)
    assert s.bubble_temperature(feed, 101325.0, T0=Tb).T == pytest.approx(Tb, abs=1e-9)
    with pytest.raises(ConvergenceError, match="^bubble temperature not converged"):
        s.bubble_temperature(feed, 101325.0, T0=Tb + 0.3)
