"""The bubble temperature's search in one call of the engine (the model's _front_bubble_T, which
flashes._bubble_T takes where it can): at the T it finds, a fresh liquid's partial pressures add
up to P; it is the T of the front door's loop in Python to the last digit (the loop runs where
the engine's Brent is replaced, here by a wrapper of itself); the loop's refusals keep their
messages; and a bubble point is one call into the engine where the loop made one per T."""

import math

import pytest

import velmora
import velmora.brinequil as bq
from conftest import module_systems
from velmora import NoSolutionError, checks, flashes

pytestmark = pytest.mark.filterwarnings("ignore::velmora.errors.RangeWarning")

ATM = 101325.0
CASES = [
    ("CO2-H2O", {"H2O": 0.99, "CO2": 0.01}, ATM),
    ("MEA-CO2-H2O", {"H2O": 0.88, "MEA": 0.1, "CO2": 0.02}, 3e5),
    ("NH3-CO2-H2O", {"H2O": 0.95, "NH3": 0.04, "CO2": 0.01}, ATM),
    ("NaCl-H2O", {"H2O": 0.95, "NaCl": 0.05}, ATM),
    ("MDEA-H2S-H2O", {"H2O": 0.9, "MDEA": 0.08, "H2S": 0.02}, 2e5),
    ("seawater-CO2-H2O", None, ATM),
]

systems = module_systems(*sorted({c[0] for c in CASES}))


def feed_of(s, feed):
    return feed if feed is not None else s.composition(molalities=velmora.seawater(carbonate=True))


@pytest.fixture
def loop_only(monkeypatch):
    """The front door's loop in Python for every bubble point: the engine's Brent replaced by a
    wrapper of itself (the same root finder, called from Python)."""
    real = bq._brentq
    monkeypatch.setattr(bq, "_brentq", lambda *a, **k: real(*a, **k))


@pytest.fixture
def loops(monkeypatch):
    """The calls of the loop in Python (the engine's search stepped aside or was not taken)."""
    calls = []
    real = flashes._bubble_T_loop
    monkeypatch.setattr(flashes, "_bubble_T_loop", lambda *a: calls.append(1) or real(*a))
    return calls


@pytest.mark.parametrize("chem,feed,P", CASES, ids=[c[0] for c in CASES])
def test_the_bubble_point_found_in_the_engine_boils_at_P(systems, loops, chem, feed, P):
    """At the T found, the liquid of a fresh System (its own cold speciation) has partial
    pressures that add up to P: the liquid begins to boil there."""
    s = systems[chem]
    feed = feed_of(s, feed)
    T = s.bubble_temperature(feed, P).T
    assert loops == []  # the engine's search, not the loop
    fresh = velmora.System(chem)
    pp = fresh.liquid(T, feed).partial_pressures
    assert math.fsum(pp.values()) == pytest.approx(P, rel=1e-8)
    # and just below it the liquid does not boil, just above it it does (the root is a crossing)
    assert math.fsum(fresh.liquid(T - 0.05, feed).partial_pressures.values()) < P
    assert math.fsum(fresh.liquid(T + 0.05, feed).partial_pressures.values()) > P


@pytest.mark.parametrize("chem,feed,P", CASES, ids=[c[0] for c in CASES])
def test_the_engine_gives_the_python_loops_temperature_to_the_last_digit(
    systems, monkeypatch, loops, chem, feed, P
):
    s = systems[chem]
    feed = feed_of(s, feed)
    z = checks.feed(s, feed)
    new = [
        flashes._bubble_T(s, z, P, 350.0, bq._WarmStart()),
        s.bubble_temperature(feed, P).T,
        s.flash(feed, P, vapor_fraction=0.0).T,
        s.flash(feed, P, vapor_fraction=0.3).T,
    ]
    assert loops == []
    real = bq._brentq
    monkeypatch.setattr(bq, "_brentq", lambda *a, **k: real(*a, **k))
    old = [
        flashes._bubble_T(s, z, P, 350.0, bq._WarmStart()),
        s.bubble_temperature(feed, P).T,
        s.flash(feed, P, vapor_fraction=0.0).T,
        s.flash(feed, P, vapor_fraction=0.3).T,
    ]
    assert len(loops) == 4
    assert new == old  # bit for bit
    # from another start too (the bracket grows the other way)
    assert flashes._bubble_T(s, z, P, 600.0, bq._WarmStart()) == pytest.approx(old[0], abs=1e-8)


def test_a_speciation_that_does_not_settle_on_the_way_hands_the_search_to_the_loop(
    systems, monkeypatch, loops
):
    """Half water, half CO2 at 2 MPa: the search passes liquids the core's speciation does not
    settle (the loop's recovery speciates them), so the engine steps aside and the loop finds
    the T, the same as where the loop runs alone."""
    s = systems["CO2-H2O"]
    z = checks.feed(s, {"H2O": 0.5, "CO2": 0.5})
    T = flashes._bubble_T(s, z, 2e6, 350.0, bq._WarmStart())
    assert loops == [1]
    el = s.model
    out = el._session(
        bq._WarmStart(),
        "_front_bubble_T",
        dict(zip(s.components, z.tolist())),
        s.components,
        s.pp,
        2e6,
        350.0,
        checks.T_MIN,
        checks.T_MAX,
    )[0]
    assert out[0] == 2  # stepped aside
    real = bq._brentq
    monkeypatch.setattr(bq, "_brentq", lambda *a, **k: real(*a, **k))
    assert flashes._bubble_T(s, z, 2e6, 350.0, bq._WarmStart()) == T
    assert checks.T_MIN < T < checks.T_HINT  # below 0 C: the supercooled liquid


def both_routes(monkeypatch, search):
    """The error raised by search() in the engine and in the loop (the engine's Brent replaced)."""
    with pytest.raises(Exception) as new:
        search()
    real = bq._brentq
    with monkeypatch.context() as m:
        m.setattr(bq, "_brentq", lambda *a, **k: real(*a, **k))
        with pytest.raises(Exception) as old:
            search()
    assert type(new.value) is type(old.value) and str(new.value) == str(old.value)
    return new.value


def test_the_refusals_of_a_bubble_point_keep_their_messages(
    systems, module_cache, monkeypatch, loops
):
    """No sign change down to T_MIN (loaded MEA with N2, which keeps its bubble point far below
    200 K): the engine's outcome, the loop's NoSolutionError and message. A liquid whose
    speciation fails on the way (water above its critical point): the loop's own error, the
    engine having stepped aside."""
    mea = velmora.System("MEA-CO2-H2O", gases=["N2"])
    base = mea.composition(mass_fractions={"MEA": 0.3}, loading=0.4)
    feed = dict(base, N2=0.05 * sum(base.values()))
    e = both_routes(monkeypatch, lambda: mea.bubble_temperature(feed, ATM))
    assert isinstance(e, NoSolutionError)
    assert str(e) == (
        "the bubble temperature at P = 101325 Pa lies below 200 K; the gases N2 keep it far below"
    )
    assert loops == [1]  # the loop's own run only
    loops.clear()
    s = systems["CO2-H2O"]
    e = both_routes(monkeypatch, lambda: s.bubble_temperature({"H2O": 1.0, "CO2": 0.0}, 3e7))
    assert str(e).startswith(
        "bubble temperature at P = 3e+07 Pa of the liquid {H2O: 1, CO2: 0}: its chemical "
        "equilibrium at "
    )
    assert "lies above the critical point of water" in str(e)
    assert loops == [1, 1]  # the engine stepped aside: the loop ran in both routes


def test_the_engine_steps_aside_for_a_vapor_that_is_not_the_ideal_gas(systems, monkeypatch, loops):
    """phasekit.phi_vapor replaced (the loop then calls it): the loop, with its answer."""
    from velmora import phasekit

    s = systems["CO2-H2O"]
    z = checks.feed(s, {"H2O": 0.99, "CO2": 0.01})
    T = flashes._bubble_T(s, z, ATM, 350.0, bq._WarmStart())
    assert loops == []
    seen = []
    real_phi = phasekit.phi_vapor
    monkeypatch.setattr(phasekit, "phi_vapor", lambda *a: seen.append(1) or real_phi(*a))
    assert flashes._bubble_T(s, z, ATM, 350.0, bq._WarmStart()) == T
    assert loops == [1] and seen
