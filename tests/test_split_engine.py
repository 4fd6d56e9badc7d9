"""The split at a given vapor fraction in one call of the engine (the model's
_front_split_at_beta, which flashes._fugacity_split_at_beta takes where it can): its answers meet
fugacity equality against a fresh liquid's partial pressures and the element balances of the
formulas; they are the loop's in Python to the rounding of the linear solve (the loop runs where
the check's fugacity_mismatch is replaced by a wrapper of itself); the loop's refusals keep
their messages; the split is one call into the engine where the loop made one per trial liquid;
and a replaced vapor model or a trial liquid whose speciation raises hands the split to the
loop, from the warm start the loop would have had."""

import numpy as np
import pytest

import independent as ind
import velmora
import velmora.brinequil as bq
from conftest import (
    SPLIT_CASES,
    engine_calls,
    loop_only,
    module_systems,
    session_methods,
    session_outcomes,
)
from velmora import checks, flashes

pytestmark = [
    pytest.mark.filterwarnings("ignore::velmora.errors.RangeWarning"),
    pytest.mark.filterwarnings("ignore::velmora.errors.DefaultParameterWarning"),
]

ATM = 101325.0
CASES = SPLIT_CASES  # (chemistry, feed or None for seawater, P)
IDS = [c[0] for c in CASES]
FRACTIONS = (0.01, 0.3, 0.9)

systems = module_systems(*sorted({c[0] for c in CASES}))


def feed_of(s, feed):
    return feed if feed is not None else s.composition(molalities=velmora.seawater(carbonate=True))


@pytest.fixture
def loops(monkeypatch):
    """The calls of the engine's split that stepped aside ("loop": the loop then ran) or ended
    with an answer or a refusal of its own ("engine")."""
    return engine_calls(monkeypatch, "_engine_split_at_beta", "loop")


def start_of(s, z, P):
    """(Tb, y0): the split's start as flashes._at_vapor_fraction makes it (the bubble point and
    its first bubble)."""
    warm = bq._WarmStart()
    Tb = flashes._bubble_T(s, z, P, 350.0, warm)
    warm.reset()
    f, _, _ = flashes._fugacities(s, dict(zip(s.components, z.tolist())), Tb, warm)
    return Tb, flashes._incipient_vapor(s, f, Tb, P)[0]


@pytest.mark.parametrize("chem,feed,P", CASES, ids=IDS)
def test_the_engines_split_meets_fugacity_equality_and_the_element_balances(
    systems, loops, chem, feed, P
):
    """At the answer's T, a fresh System's liquid of the answer's x has partial pressures y P
    (every volatile component above 1e-6 of the liquid); the elements of the feed are those of
    (1 - beta) x + beta y from the formulas, the liquid's reactions, enthalpy and target checked
    apart from velmora.checks (tests/independent.py), twice with the same digits."""
    s = systems[chem]
    feed = feed_of(s, feed)
    fresh = velmora.System(chem)
    refs = {chem: ind.Reference(s)}
    for vf in FRACTIONS:
        loops.clear()
        r = s.flash(feed, P, vapor_fraction=vf)
        assert loops == ["engine"]  # the split in the engine, not the loop
        assert r.method == "split at a given vapor fraction"
        assert r.vapor_fraction == pytest.approx(vf, abs=1e-9)
        pp = fresh.liquid(r.T, r.x).partial_pressures
        compared = 0
        for c, x in r.x.items():
            if c in pp and x > 1e-6:
                assert pp[c] == pytest.approx(r.vapor[c] * P, rel=1e-7), (c, vf)
                compared += 1
        assert compared >= 1
        outcome = ind.run(refs, ind.Case(chem, "vf", feed, P, vf=vf))
        assert outcome.status == "verified", outcome.failures


def answer(s, z, P, vf, start):
    raw, evals = flashes._fugacity_split_at_beta(s, z, P, vf, *start, bq._WarmStart())
    return raw, evals


@pytest.mark.parametrize("chem,feed,P", CASES, ids=IDS)
def test_the_engine_gives_the_loops_split_to_the_rounding_of_the_linear_solve(
    systems, monkeypatch, loops, chem, feed, P
):
    """T, the vapor fraction, x and y of the engine and of the loop in Python, from the same
    start, to 1e-9 (x and y relative to the component or, for a trace, to 1e-13 of the phase);
    the flash's answer through each passes the front door's check."""
    s = systems[chem]
    z = checks.feed(s, feed_of(s, feed))
    start = start_of(s, z, P)
    new = [answer(s, z, P, vf, start)[0] for vf in FRACTIONS]
    assert loops == ["engine"] * len(FRACTIONS)
    with monkeypatch.context() as m:
        loop_only(m)
        old = [answer(s, z, P, vf, start)[0] for vf in FRACTIONS]
        assert loops[len(FRACTIONS) :] == ["loop"] * len(FRACTIONS)
    for a, b in zip(new, old):
        assert a["T"] == pytest.approx(b["T"], rel=1e-9)
        assert a["beta"] == pytest.approx(b["beta"], rel=1e-9)
        for key in ("x", "y"):
            assert np.asarray(a[key]).tolist() == pytest.approx(
                np.asarray(b[key]).tolist(), rel=1e-9, abs=1e-13
            )
        for raw in (a, b):
            res, bal, _ = flashes._check(s, z, dict(raw), raw["T"], P, bq._WarmStart())
            assert max(res, bal) <= s.tol


def test_a_split_is_one_call_into_the_engine(systems, monkeypatch):
    """The split's calls of the engine (Electrolyte._session, through which the front door makes
    every call of the model): the feed's liquid at the start, then one call for the whole
    Newton's method, where the loop makes one per trial liquid."""
    s = systems["NH3-CO2-H2O"]
    z = checks.feed(s, {"H2O": 0.95, "NH3": 0.04, "CO2": 0.01})
    start = start_of(s, z, ATM)
    el = s.model
    methods = session_methods(monkeypatch, el)
    raw, evals = answer(s, z, ATM, 0.3, start)
    assert methods == ["fugacities", "_front_split_at_beta"]
    methods.clear()
    loop_only(monkeypatch)
    raw2, evals2 = answer(s, z, ATM, 0.3, start)
    assert methods[0] == "fugacities" and set(methods[1:]) == {"_front_fugacities"}
    # one per evaluation: the start, a Jacobian of 4 columns (ln v of 3, T) per Newton step and
    # the line search's points
    assert len(methods) - 1 == evals2 == evals and evals >= 1 + 4 + 1
    assert raw2["T"] == pytest.approx(raw["T"], rel=1e-12)


def test_a_flash_at_a_vapor_fraction_is_four_calls_into_the_engine(systems, monkeypatch):
    """The whole flash: the bubble point's search, the feed's liquid there (its fugacities give
    the vapor the split starts from, taken once), the split, and the check of the answer."""
    s = systems["NH3-CO2-H2O"]
    el = s.model
    methods = session_methods(monkeypatch, el)
    r = s.flash({"H2O": 0.95, "NH3": 0.04, "CO2": 0.01}, ATM, vapor_fraction=0.3)
    assert r.vapor_fraction == pytest.approx(0.3, abs=1e-9)
    assert methods == [
        "_front_bubble_T",
        "fugacities",
        "_front_split_at_beta",
        "_front_flash_check",
    ]


def test_a_vapor_that_is_not_the_ideal_gas_hands_the_split_to_the_loop(systems, monkeypatch, loops):
    """phasekit.phi_vapor replaced (the loop then calls it): the engine steps aside and the loop
    gives its own answer, the same to the last digit as where the loop runs alone."""
    from velmora import phasekit

    s = systems["CO2-H2O"]
    z = checks.feed(s, {"H2O": 0.99, "CO2": 0.01})
    start = start_of(s, z, ATM)
    with monkeypatch.context() as m:
        loop_only(m)
        alone = answer(s, z, ATM, 0.3, start)
    loops.clear()
    seen = []
    real_phi = phasekit.phi_vapor
    monkeypatch.setattr(phasekit, "phi_vapor", lambda *a: seen.append(1) or real_phi(*a))
    got = answer(s, z, ATM, 0.3, start)
    # phi_vapor called by every evaluation that reached the vapor's rows
    assert loops == ["loop"] and len(seen) >= got[1] > 1
    assert got[1] == alone[1]
    for key in ("T", "beta", "H", "S"):
        assert got[0][key] == alone[0][key]
    assert np.array_equal(got[0]["x"], alone[0]["x"])


def test_a_replaced_method_of_the_model_hands_the_split_to_the_loop(systems, monkeypatch, loops):
    """The model's fugacities replaced on the instance (a wrapper of itself): the engine, which
    stands for it, steps aside before it speciates anything; the loop then calls the
    replacement for every trial liquid, and its split passes the front door's check."""
    s = systems["MDEA-H2S-H2O"]
    z = checks.feed(s, {"H2O": 0.9, "MDEA": 0.08, "H2S": 0.02})
    start = start_of(s, z, ATM)
    el = s.model
    calls = []
    real = el.fugacities
    monkeypatch.setattr(el, "fugacities", lambda *a: calls.append(1) or real(*a))
    raw, evals = answer(s, z, ATM, 0.3, start)
    assert loops == ["loop"] and len(calls) >= evals > 1
    res, bal, _ = flashes._check(s, z, dict(raw), raw["T"], ATM, bq._WarmStart())
    assert max(res, bal) <= s.tol and raw["beta"] == pytest.approx(0.3, abs=1e-9)


def test_a_trial_liquid_that_raises_hands_the_split_to_the_loop_from_its_start(
    systems, monkeypatch, loops
):
    """A brine boiled down to 0.1 % of its liquid: trial liquids past 630 K whose chemical
    equilibrium diverges (the loop's line search steps back from them). The engine steps aside
    (outcome 3) and the loop, from the warm start it would have had, refuses as it refuses
    alone: the same _NoAnswer and message."""
    s = systems["NaCl-H2O"]
    z = checks.feed(s, {"H2O": 0.95, "NaCl": 0.05})
    start = start_of(s, z, ATM)
    el = s.model
    outcomes = session_outcomes(monkeypatch, el, "_front_split_at_beta")
    warm_new, warm_old = bq._WarmStart(), bq._WarmStart()
    with pytest.raises(flashes._NoAnswer) as new:
        flashes._fugacity_split_at_beta(s, z, ATM, 0.999, *start, warm_new)
    assert outcomes == [3] and loops == ["loop"]
    with monkeypatch.context() as m:
        loop_only(m)
        with pytest.raises(flashes._NoAnswer) as old:
            flashes._fugacity_split_at_beta(s, z, ATM, 0.999, *start, warm_old)
    assert str(new.value) == str(old.value)
    # the loop's last speciation the same to the last digit: it ran from the same warm start
    (T1, w1, lng1), (T2, w2, lng2) = warm_new.record, warm_old.record
    assert T1 == T2 and np.array_equal(w1, w2) and np.array_equal(lng1, lng2)
    assert str(new.value).startswith("split not converged in 40 steps (scaled residual ")


@pytest.mark.parametrize(
    "setting,value,message",
    [
        ("SPLIT_EVALS", 40, "split: evaluation budget spent"),
        ("SPLIT_STEPS", 1, "split not converged in 1 steps (scaled residual "),
    ],
)
def test_the_refusals_of_the_split_keep_the_loops_type_and_message(
    systems, monkeypatch, loops, setting, value, message
):
    """A budget that runs out (the speciations' iterations charged to it) and a single Newton
    step: the engine's refusal is the loop's, the same exception type and message."""
    s = systems["MEA-CO2-H2O"]
    z = checks.feed(s, {"H2O": 0.88, "MEA": 0.1, "CO2": 0.02})
    start = start_of(s, z, 3e5)
    monkeypatch.setattr(flashes, setting, value)
    with pytest.raises(flashes._NoAnswer) as new:
        answer(s, z, 3e5, 0.3, start)
    assert loops == ["engine"]
    with monkeypatch.context() as m:
        loop_only(m)
        with pytest.raises(flashes._NoAnswer) as old:
            answer(s, z, 3e5, 0.3, start)
    assert loops == ["engine", "loop"]
    assert type(new.value) is type(old.value)
    assert str(new.value) == str(old.value) and str(new.value).startswith(message)
