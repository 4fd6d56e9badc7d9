"""The TP flash's all-vapor test on the liquid's fugacities in one call of the engine (the
model's _front_vapor_at_T, which flashes._vapor_on_fugacities takes where it can): its answers
are the loop's in Python (the loop runs where the check's fugacity_mismatch is replaced by a
wrapper of itself) to 1e-10 with the same evaluations; its incipient liquid, speciated afresh,
has fugacities lambda z P; lambda > 1 above the dew point the front door finds and < 1 below
it; the Newton's method is one call into the engine where the loop made one per trial liquid;
and a replaced method of the model or vapor model, or a trial liquid that does not settle,
hands the test to the loop, from the warm start the loop would have had."""

import math

import numpy as np
import pytest

import velmora
import velmora.brinequil as bq
from conftest import engine_calls, loop_only, session_methods, session_outcomes
from velmora import checks, flashes, phasekit

pytestmark = [
    pytest.mark.filterwarnings("ignore::velmora.errors.RangeWarning"),
    pytest.mark.filterwarnings("ignore::velmora.errors.DefaultParameterWarning"),
]

ATM = 101325.0
# (chemistry, wet gas in mol, P [Pa], K above its dew point, the route: "engine" where the
# engine finds the incipient liquid, "aside" where a trial liquid does not settle and the loop
# settles it); the feeds are tests/test_dew_engine.py's
CASES = [
    ("CO2-H2O", {"H2O": 0.5, "CO2": 0.5}, 1e6, 5.0, "engine"),
    ("H2S-H2O", {"H2O": 0.6, "H2S": 0.4}, ATM, 5.0, "engine"),
    ("NH3-CO2-H2O", {"H2O": 0.9, "NH3": 0.05, "CO2": 0.05}, ATM, 5.0, "engine"),
    ("NH3-CO2-H2O", {"H2O": 0.9, "NH3": 0.05, "CO2": 0.05}, ATM, 20.0, "engine"),
    ("MEA-CO2-H2O", {"H2O": 0.88, "MEA": 0.1, "CO2": 0.02}, 3e5, 5.0, "engine"),
    ("MDEA-H2S-H2O", {"H2O": 0.9, "MDEA": 0.08, "H2S": 0.02}, ATM, 5.0, "engine"),
    ("MEA-CO2-H2O", {"H2O": 0.6, "MEA": 0.3, "CO2": 0.1}, ATM, 2.0, "engine"),
    # an NH3-rich first drop the core leaves unsettled
    ("NH3-CO2-H2O", {"H2O": 0.8, "NH3": 0.1, "CO2": 0.1}, ATM, 3.0, "aside"),
]
IDS = [f"{c[0]}-{c[2]:g}Pa+{c[3]:g}K-{c[4]}" for c in CASES]


@pytest.fixture(scope="module")
def systems(module_cache):
    return {c[0]: velmora.System(c[0]) for c in CASES}


def key(chem, feed, P):
    return chem, tuple(sorted(feed.items())), P


@pytest.fixture(scope="module")
def dew_T(systems):
    """The dew point [K] of each case's feed, as System.flash(vapor_fraction=1.0) finds it."""
    out = {}
    for chem, feed, P, _, _ in CASES:
        r = systems[chem].flash(feed, P, vapor_fraction=1.0)
        assert r.vapor_fraction == 1.0
        out[key(chem, feed, P)] = r.T
    return out


@pytest.fixture
def asked(monkeypatch):
    """Each all-vapor test the engine was asked for: "engine" where it answered or refused,
    "aside" where the loop then ran."""
    return engine_calls(monkeypatch, "_engine_vapor_on_fugacities", "aside")


@pytest.fixture
def found(monkeypatch):
    """(x, true amounts, ln lambda) of each Newton's method that ended, engine's or loop's."""
    out = []
    for name in ("_engine_vapor_on_fugacities", "_vapor_on_fugacities_loop"):
        real = getattr(flashes, name)

        def kept(*a, real=real):
            got = real(*a)
            if got is not None:
                out.append(got[0])
            return got

        monkeypatch.setattr(flashes, name, kept)
    return out


def vapor(s, z, T, P, warm=None):
    warm = bq._WarmStart() if warm is None else warm
    return flashes._vapor_on_fugacities(s, z, T, P, warm)


@pytest.mark.parametrize("chem,feed,P,dT,route", CASES, ids=IDS)
def test_the_engine_gives_the_loops_vapor(
    systems, dew_T, monkeypatch, asked, found, chem, feed, P, dT, route
):
    """The incipient liquid x, its true amounts and lambda of the engine and of the loop in
    Python, from the same start, to 1e-10 (relative to each or, for a trace, to 1e-15 of the
    phase), with the same count of evaluations, the feed all vapor (lambda > 1)."""
    s = systems[chem]
    z = checks.feed(s, feed)
    T = dew_T[key(chem, feed, P)] + dT
    new, evals_new = vapor(s, z, T, P)
    assert asked == [route]
    with monkeypatch.context() as m:
        loop_only(m)
        old, evals_old = vapor(s, z, T, P)
    assert asked == [route, "aside"]
    assert evals_new == evals_old > 1
    assert new["beta"] == old["beta"] == 1.0 and new["T"] == old["T"] == T
    assert np.array_equal(new["y"], z) and np.array_equal(old["y"], z)
    assert np.asarray(new["x"]).tolist() == pytest.approx(
        np.asarray(old["x"]).tolist(), rel=1e-10, abs=1e-15
    )
    assert list(new["true"]) == list(old["true"])  # the true species, by name
    assert new["true"] == pytest.approx(old["true"], rel=1e-10, abs=1e-15)
    (_, _, lnlam_new), (_, _, lnlam_old) = found
    assert math.exp(lnlam_new) == pytest.approx(math.exp(lnlam_old), rel=1e-10)
    assert lnlam_new > 0.0


@pytest.mark.parametrize("chem,feed,P,dT,route", CASES, ids=IDS)
def test_the_incipient_liquid_meets_lambda_z_P_on_a_fresh_liquid(
    systems, dew_T, asked, found, chem, feed, P, dT, route
):
    """A fresh System's liquid of the answer's incipient liquid x at T has fugacities lambda
    z_k P (the ideal gas: phi = 1) for every component of the feed, within the front door's
    tolerance; with K_k = f_k / (x_k P) of that fresh liquid, sum z / K = 1 / lambda < 1 above
    the dew point System.flash finds. Below that dew point the same test finds lambda < 1 and
    refuses: a liquid forms."""
    s = systems[chem]
    z = checks.feed(s, feed)
    Td = dew_T[key(chem, feed, P)]
    raw, _ = vapor(s, z, Td + dT, P)
    assert asked == [route]
    ((_, _, lnlam),) = found
    lam = math.exp(lnlam)
    x = dict(zip(s.components, np.asarray(raw["x"]).tolist()))
    assert sum(x.values()) == pytest.approx(1.0, rel=1e-12)
    assert np.all(phasekit.phi_vapor(s.pp, z, Td + dT, P) == 0.0)
    f = velmora.System(chem).liquid(Td + dT, x).partial_pressures
    zK = 0.0
    for k, c in enumerate(s.components):
        if z[k] > 0.0:
            assert f[c] == pytest.approx(lam * z[k] * P, rel=s.tol), c
            zK += z[k] * x[c] * P / f[c]
    assert zK == pytest.approx(1.0 / lam, rel=s.tol)
    assert zK < 1.0 < lam
    with pytest.raises(flashes._NoAnswer, match=r"^a liquid forms \(sum y / K = "):
        vapor(s, z, Td - dT, P)


def test_an_all_vapor_test_is_one_call_into_the_engine(systems, dew_T, monkeypatch):
    """The test's calls of the engine (Electrolyte._session, through which the front door makes
    every call of the model): the feed's liquid at the start, then one call for the whole
    Newton's method, where the loop makes one per trial liquid."""
    chem, feed, P = "MEA-CO2-H2O", {"H2O": 0.88, "MEA": 0.1, "CO2": 0.02}, 3e5
    s = systems[chem]
    z = checks.feed(s, feed)
    T = dew_T[key(chem, feed, P)] + 5.0
    el = s.model
    methods = session_methods(monkeypatch, el)
    raw, evals = vapor(s, z, T, P)
    assert methods == ["fugacities", "_front_vapor_at_T"]
    methods.clear()
    loop_only(monkeypatch)
    raw2, evals2 = vapor(s, z, T, P)
    # the start, then one per evaluation (traces resolved): a Jacobian of 4 columns (ln x of
    # 3, ln lambda) per Newton step and the line search's points
    assert methods == ["fugacities"] + ["_front_fugacities"] * evals2
    assert evals2 == evals and evals >= 1 + 4 + 1


def loop_alone(monkeypatch, s, z, T, P):
    with monkeypatch.context() as m:
        loop_only(m)
        warm = bq._WarmStart()
        return vapor(s, z, T, P, warm), warm


def replace_fugacities(monkeypatch, s):
    """The model's fugacities replaced on the instance by a wrapper of itself: the engine
    steps aside before it starts (no outcome)."""
    el = s.model
    real = el.fugacities
    monkeypatch.setattr(el, "fugacities", lambda *a: real(*a))
    return []


def replace_phi_vapor(monkeypatch, s):
    """phasekit.phi_vapor replaced by a wrapper of itself: as replace_fugacities."""
    real = phasekit.phi_vapor
    monkeypatch.setattr(phasekit, "phi_vapor", lambda *a: real(*a))
    return []


def engine_outcomes(monkeypatch, s):
    """Nothing replaced: the engine's outcomes of _front_vapor_at_T, as they come."""
    return session_outcomes(monkeypatch, s.model, "_front_vapor_at_T")


# (what hands the test to the loop, how, the case: chemistry, feed, P, K above the dew point,
# the engine's outcomes)
FALLBACKS = [
    ("fugacities", replace_fugacities, ("H2S-H2O", {"H2O": 0.6, "H2S": 0.4}, ATM, 5.0), []),
    (
        "phi_vapor",
        replace_phi_vapor,
        ("NH3-CO2-H2O", {"H2O": 0.9, "NH3": 0.05, "CO2": 0.05}, ATM, 5.0),
        [],
    ),
    (
        "unsettled",
        engine_outcomes,
        ("NH3-CO2-H2O", {"H2O": 0.8, "NH3": 0.1, "CO2": 0.1}, ATM, 3.0),
        [flashes._Split.STEP_ASIDE],
    ),
]


@pytest.mark.parametrize("what,replace,case,outcomes", FALLBACKS, ids=[f[0] for f in FALLBACKS])
def test_a_replaced_method_or_an_unsettled_liquid_hands_the_test_to_the_loop(
    systems, dew_T, monkeypatch, asked, what, replace, case, outcomes
):
    """The model's fugacities or the vapor model replaced (a wrapper of itself): the engine,
    which stands for them, steps aside before it speciates anything; a trial liquid the core
    leaves unsettled: the engine steps aside (outcome 3) from there. The loop then gives its own
    answer to the last digit, its last speciation from the same warm start as alone."""
    chem, feed, P, dT = case
    s = systems[chem]
    z = checks.feed(s, feed)
    T = dew_T[key(chem, feed, P)] + dT
    (a, ea), wa = loop_alone(monkeypatch, s, z, T, P)
    asked.clear()
    seen = replace(monkeypatch, s)
    warm = bq._WarmStart()
    b, eb = vapor(s, z, T, P, warm)
    assert asked == ["aside"] and seen == outcomes
    assert ea == eb > 1
    assert np.array_equal(a["x"], b["x"]) and a["true"] == b["true"]
    (T1, w1, lng1), (T2, w2, lng2) = wa.record, warm.record
    assert T1 == T2 and np.array_equal(w1, w2) and np.array_equal(lng1, lng2)


@pytest.mark.parametrize(
    "setting,value,message",
    [
        ("SPLIT_EVALS", 3, "split: evaluation budget spent"),
        ("SPLIT_STEPS", 1, "split not converged in 1 steps (scaled residual "),
    ],
)
def test_the_refusals_keep_the_loops_type_and_message(
    systems, dew_T, monkeypatch, asked, setting, value, message
):
    """A budget that runs out and a single Newton step: the engine's refusal is the loop's, the
    same exception type and message."""
    chem, feed, P = "MEA-CO2-H2O", {"H2O": 0.88, "MEA": 0.1, "CO2": 0.02}, 3e5
    s = systems[chem]
    z = checks.feed(s, feed)
    T = dew_T[key(chem, feed, P)] + 5.0
    monkeypatch.setattr(flashes, setting, value)
    asked.clear()
    with pytest.raises(flashes._NoAnswer) as new:
        vapor(s, z, T, P)
    assert asked == ["engine"]
    with monkeypatch.context() as m:
        loop_only(m)
        with pytest.raises(flashes._NoAnswer) as old:
            vapor(s, z, T, P)
    assert asked == ["engine", "aside"]
    assert type(new.value) is type(old.value)
    assert str(new.value) == str(old.value) and str(new.value).startswith(message)
