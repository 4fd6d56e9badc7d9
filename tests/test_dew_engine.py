"""The dew point in one call of the engine (the model's _front_dew_point, which
flashes._dew_point takes where it can): its answers are the loop's in Python (the loop runs where
the check's fugacity_mismatch is replaced by a wrapper of itself) to 1e-10 with the same
evaluations; its incipient liquid, speciated afresh, has the partial pressures of the feed as
the vapor; the loop's refusals keep their messages; the Newton's method is one call into the
engine where the loop made one per trial liquid; and a replaced method of the model or vapor
model, or a trial liquid that does not settle, hands the dew point to the loop, from the warm
start the loop would have had."""

import numpy as np
import pytest

import independent as ind
import velmora
import velmora.brinequil as bq
from conftest import engine_calls, loop_only, session_methods, session_outcomes
from velmora import checks, flashes, phasekit

pytestmark = [
    pytest.mark.filterwarnings("ignore::velmora.errors.RangeWarning"),
    pytest.mark.filterwarnings("ignore::velmora.errors.DefaultParameterWarning"),
]

ATM = 101325.0
# (chemistry, its gases, gas-rich feed in mol, P [Pa], the route: "engine" where the engine
# finds the dew point, "aside" where a trial liquid does not settle and the loop settles it)
CASES = [
    ("CO2-H2O", (), {"H2O": 0.5, "CO2": 0.5}, 1e6, "engine"),
    ("H2S-H2O", (), {"H2O": 0.6, "H2S": 0.4}, ATM, "engine"),
    ("NH3-CO2-H2O", (), {"H2O": 0.9, "NH3": 0.05, "CO2": 0.05}, ATM, "engine"),
    ("MEA-CO2-H2O", (), {"H2O": 0.88, "MEA": 0.1, "CO2": 0.02}, 3e5, "engine"),
    ("MDEA-H2S-H2O", (), {"H2O": 0.9, "MDEA": 0.08, "H2S": 0.02}, ATM, "engine"),
    # a flue gas: no bubble point above 200 K, the dew point sought from the ideal liquid's
    ("MEA-CO2-H2O", ("N2",), {"H2O": 0.6, "CO2": 0.1, "N2": 0.3}, ATM, "engine"),
    # trial liquids the core leaves unsettled (an NH3-rich first drop, an H2S-rich one)
    ("NH3-CO2-H2O", (), {"H2O": 0.8, "NH3": 0.1, "CO2": 0.1}, ATM, "aside"),
    ("MDEA-H2S-H2O", (), {"H2O": 0.9, "MDEA": 0.001, "H2S": 0.099}, ATM, "aside"),
]
IDS = [f"{c[0]}{'+' + '+'.join(c[1]) if c[1] else ''}-{c[4]}" for c in CASES]


@pytest.fixture(scope="module")
def systems(module_cache):
    return {(c[0], c[1]): velmora.System(c[0], gases=list(c[1])) for c in CASES}


@pytest.fixture
def asked(monkeypatch):
    """Each dew point the engine was asked for: "engine" where it answered or refused, "aside"
    where the loop then ran."""
    return engine_calls(monkeypatch, "_engine_dew_point", "aside")


def dew(s, z, P, warm=None):
    """(raw, evaluations) of the dew point as flashes._at_vapor_fraction seeks it
    (_dew_point_from the bubble point), or from the ideal liquid's dew point where the feed has
    no bubble point above 200 K."""
    warm = bq._WarmStart() if warm is None else warm
    try:
        Tb = flashes._bubble_T(s, z, P, 350.0, bq._WarmStart())
    except velmora.errors.NoSolutionError:
        return flashes._dew_point(s, z, P, flashes._ideal_dew_T(s, z, P), warm)
    return flashes._dew_point_from(s, z, P, Tb, warm)


@pytest.mark.parametrize("chem,gases,feed,P,route", CASES, ids=IDS)
def test_the_engine_gives_the_loops_dew_point(
    systems, monkeypatch, asked, chem, gases, feed, P, route
):
    """T, the incipient liquid x and its true amounts of the engine and of the loop in Python,
    from the same start, to 1e-10 (x and the true amounts relative to each or, for a trace, to
    1e-15 of the phase), with the same count of evaluations; the engine takes the cases it is
    meant to and steps aside where a trial liquid does not settle."""
    s = systems[(chem, gases)]
    z = checks.feed(s, feed)
    new, evals_new = dew(s, z, P)
    assert asked == [route]
    with monkeypatch.context() as m:
        loop_only(m)
        old, evals_old = dew(s, z, P)
    assert asked == [route, "aside"]
    assert evals_new == evals_old
    assert new["beta"] == old["beta"] == 1.0
    assert new["T"] == pytest.approx(old["T"], rel=1e-10)
    for key in ("x", "y"):
        assert np.asarray(new[key]).tolist() == pytest.approx(
            np.asarray(old[key]).tolist(), rel=1e-10, abs=1e-15
        ), key
    assert list(new["true"]) == list(old["true"])  # the true species, by name
    assert new["true"] == pytest.approx(old["true"], rel=1e-10, abs=1e-15)


ENGINE_CASES = [c for c in CASES if c[4] == "engine"]
ENGINE_IDS = [i for i, c in zip(IDS, CASES) if c[4] == "engine"]


@pytest.mark.parametrize("chem,gases,feed,P,route", ENGINE_CASES, ids=ENGINE_IDS)
def test_the_engines_dew_point_meets_the_feeds_partial_pressures_on_a_fresh_liquid(
    systems, asked, chem, gases, feed, P, route
):
    """The vapor is the feed (y = z), and a fresh System's liquid of the answer's incipient
    liquid x at its T has partial pressures z P (the ideal gas: phi = 1) for every component of
    the feed, within the front door's tolerance; its apparent mole fractions add up to 1."""
    s = systems[(chem, gases)]
    z = checks.feed(s, feed)
    raw, _ = dew(s, z, P)
    assert asked == ["engine"]
    assert np.array_equal(raw["y"], z)
    x = dict(zip(s.components, np.asarray(raw["x"]).tolist()))
    assert sum(x.values()) == pytest.approx(1.0, rel=1e-12)
    assert np.all(phasekit.phi_vapor(s.pp, z, raw["T"], P) == 0.0)
    pp = velmora.System(chem, gases=list(gases)).liquid(raw["T"], x).partial_pressures
    compared = 0
    for k, c in enumerate(s.components):
        if z[k] > 0.0:
            assert pp[c] == pytest.approx(z[k] * P, rel=s.tol), c
            compared += 1
    assert compared == len(feed)


FLASH_CASES = [c for c in ENGINE_CASES if not c[1]]
FLASH_IDS = [c[0] for c in FLASH_CASES]


@pytest.mark.parametrize("chem,gases,feed,P,route", FLASH_CASES, ids=FLASH_IDS)
def test_a_flash_at_vapor_fraction_one_is_the_engines_dew_point(
    systems, asked, chem, gases, feed, P, route
):
    """System.flash(vapor_fraction=1.0) of a feed with a bubble point: the dew point from the
    engine, verified by the independent checks of tests/independent.py (a fresh core model's
    fugacities of the incipient liquid, sum y / K <= 1 on it and x = (y / K) / sum(y / K), the
    element balances, H), twice with the same digits."""
    s = systems[(chem, gases)]
    r = s.flash(feed, P, vapor_fraction=1.0)
    assert r.method == "dew point" and r.vapor_fraction == 1.0
    assert "engine" in asked and "aside" not in asked
    total = sum(feed.values())
    assert r.vapor == pytest.approx({c: v / total for c, v in feed.items()}, rel=1e-14)
    outcome = ind.run({chem: ind.Reference(s)}, ind.Case(chem, "vf", feed, P, vf=1.0))
    assert outcome.status == "verified", outcome.failures


def test_a_dew_point_is_one_call_into_the_engine(systems, monkeypatch):
    """The dew point's calls of the engine (Electrolyte._session, through which the front door
    makes every call of the model): the feed's liquid at the start, then one call for the whole
    Newton's method, where the loop makes one per trial liquid."""
    s = systems[("MEA-CO2-H2O", ())]
    z = checks.feed(s, {"H2O": 0.88, "MEA": 0.1, "CO2": 0.02})
    T0 = flashes._ideal_dew_T(s, z, 3e5)
    el = s.model
    methods = session_methods(monkeypatch, el)
    raw, evals = flashes._dew_point(s, z, 3e5, T0, bq._WarmStart())
    assert methods == ["fugacities", "_front_dew_point"]
    methods.clear()
    loop_only(monkeypatch)
    raw2, evals2 = flashes._dew_point(s, z, 3e5, T0, bq._WarmStart())
    # the start, then one per evaluation (traces resolved): a Jacobian of 4 columns (ln x of
    # 3, T) per Newton step and the line search's points
    assert methods == ["fugacities"] + ["_front_fugacities"] * evals2
    assert evals2 == evals and evals >= 1 + 4 + 1
    assert raw2["T"] == pytest.approx(raw["T"], rel=1e-12)


def loop_alone(monkeypatch, s, z, P):
    with monkeypatch.context() as m:
        loop_only(m)
        warm = bq._WarmStart()
        return dew(s, z, P, warm), warm


def assert_same_digits(got, alone):
    (a, ea), wa = got
    (b, eb), wb = alone
    assert ea == eb
    assert a["T"] == b["T"]
    assert np.array_equal(a["x"], b["x"]) and a["true"] == b["true"]
    # the loop's last speciation the same to the last digit: it ran from the same warm start
    (T1, w1, lng1), (T2, w2, lng2) = wa.record, wb.record
    assert T1 == T2 and np.array_equal(w1, w2) and np.array_equal(lng1, lng2)


def test_a_replaced_method_of_the_model_hands_the_dew_point_to_the_loop(
    systems, monkeypatch, asked
):
    """The model's fugacities replaced on the instance (a wrapper of itself): the engine, which
    stands for it, steps aside before it speciates anything; the loop then calls the
    replacement for every trial liquid and gives the loop's own answer to the last digit."""
    s = systems[("H2S-H2O", ())]
    z = checks.feed(s, {"H2O": 0.6, "H2S": 0.4})
    alone = loop_alone(monkeypatch, s, z, ATM)
    asked.clear()
    el = s.model
    calls = []
    real = el.fugacities
    monkeypatch.setattr(el, "fugacities", lambda *a: calls.append(1) or real(*a))
    warm = bq._WarmStart()
    got = dew(s, z, ATM, warm), warm
    assert asked == ["aside"] and len(calls) >= got[0][1] > 1
    assert_same_digits(got, alone)


def test_a_vapor_that_is_not_the_ideal_gas_hands_the_dew_point_to_the_loop(
    systems, monkeypatch, asked
):
    """phasekit.phi_vapor replaced (the loop then calls it at every evaluation): the engine
    steps aside and the loop gives its own answer to the last digit."""
    s = systems[("NH3-CO2-H2O", ())]
    z = checks.feed(s, {"H2O": 0.9, "NH3": 0.05, "CO2": 0.05})
    alone = loop_alone(monkeypatch, s, z, ATM)
    asked.clear()
    seen = []
    real_phi = phasekit.phi_vapor
    monkeypatch.setattr(phasekit, "phi_vapor", lambda *a: seen.append(1) or real_phi(*a))
    warm = bq._WarmStart()
    got = dew(s, z, ATM, warm), warm
    assert asked == ["aside"] and len(seen) > got[0][1] > 1
    assert_same_digits(got, alone)


def test_an_unsettled_trial_liquid_hands_the_dew_point_to_the_loop_from_its_start(
    systems, monkeypatch, asked
):
    """An H2S-rich first drop of an MDEA water's vapor, which the core's speciation leaves
    unsettled: the engine steps aside (outcome 3) and the loop, from the warm start it would
    have had, settles it and answers as it answers alone, to the last digit."""
    s = systems[("MDEA-H2S-H2O", ())]
    z = checks.feed(s, {"H2O": 0.9, "MDEA": 0.001, "H2S": 0.099})
    el = s.model
    with monkeypatch.context() as m:
        outcomes = session_outcomes(m, el, "_front_dew_point")
        warm = bq._WarmStart()
        got = dew(s, z, ATM, warm), warm
    assert outcomes == [flashes._Split.STEP_ASIDE] and asked == ["aside"]
    assert_same_digits(got, loop_alone(monkeypatch, s, z, ATM))


@pytest.mark.parametrize(
    "setting,value,message",
    [
        ("SPLIT_EVALS", 3, "split: evaluation budget spent"),
        ("SPLIT_STEPS", 1, "split not converged in 1 steps (scaled residual "),
        ("T_MAX", None, "temperature out of range"),
    ],
)
def test_the_refusals_of_the_dew_point_keep_the_loops_type_and_message(
    systems, monkeypatch, asked, setting, value, message
):
    """A budget that runs out, a single Newton step, and a dew point above the check's T_MAX
    (set 5 K below it, the search started 30 K below it): the engine's refusal is the loop's,
    the same exception type and message."""
    s = systems[("MEA-CO2-H2O", ())]
    z = checks.feed(s, {"H2O": 0.88, "MEA": 0.1, "CO2": 0.02})
    T0 = flashes._ideal_dew_T(s, z, 3e5)
    if setting == "T_MAX":
        Td = flashes._dew_point(s, z, 3e5, T0, bq._WarmStart())[0]["T"]
        T0 = Td - 30.0
        monkeypatch.setattr(checks, "T_MAX", Td - 5.0)
    else:
        monkeypatch.setattr(flashes, setting, value)
    asked.clear()
    with pytest.raises(flashes._NoAnswer) as new:
        flashes._dew_point(s, z, 3e5, T0, bq._WarmStart())
    assert asked == ["engine"]
    with monkeypatch.context() as m:
        loop_only(m)
        with pytest.raises(flashes._NoAnswer) as old:
            flashes._dew_point(s, z, 3e5, T0, bq._WarmStart())
    assert asked == ["engine", "aside"]
    assert type(new.value) is type(old.value)
    assert str(new.value) == str(old.value) and str(new.value).startswith(message)
