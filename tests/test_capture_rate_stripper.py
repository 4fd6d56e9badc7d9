"""The rate-based stripper (velmora.capture.RateStripper) on the pilot's K1: balances by
independent element counts and flash enthalpies, the limit of a large transfer area (the
equilibrium column of as many stages), packing height, and its errors and warnings."""

import warnings

import pandas as pd
import pytest

import velmora
from velmora import capture

pytestmark = pytest.mark.filterwarnings("ignore::velmora.RangeWarning")
PILOT = "/work/shared/data/pilot-nccc-2014.csv"
ATOMS = {"H2O": {"H": 2, "O": 1}, "CO2": {"C": 1, "O": 2}, "MEA": {"C": 2, "H": 7, "N": 1, "O": 1}}


@pytest.fixture(scope="module")
def mea():
    return velmora.System("MEA-CO2-H2O", gases=["N2", "O2"])


@pytest.fixture(scope="module")
def k1():
    """(rich solvent [mol/s], feed T [K], P [Pa], lean loading) of the pilot's K1."""
    row = pd.read_csv(PILOT).set_index("case").loc["K1"]
    rich = capture.lean_solvent(row["rich_flow_kg_h"], row["lean_MEA_wfrac"], row["rich_loading"])
    return rich, row["stripper_feed_T_C"] + 273.15, 1e3 * row["stripper_P_kPa"], row["lean_loading"]


def quiet(st, *args, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", velmora.RangeWarning)
        return st.run(*args, **kw)


def atoms(streams):
    out = {}
    for s in streams:
        for c, n in s.items():
            for e, k in ATOMS[c].items():
                out[e] = out.get(e, 0.0) + k * n
    return out


def test_rate_stripper_balances_profiles_and_modes(mea, k1):
    rich, T_feed, P, lean = k1
    st = capture.RateStripper(mea, segments=2)
    with pytest.warns(velmora.RangeWarning) as got:
        r = st.run(rich, T_feed, P, lean_loading=lean)
    mine = [str(w.message) for w in got if str(w.message).startswith("stripper:")]
    assert any(
        m.startswith("stripper: T [K] = ")
        and m.endswith("outside the validity range of the Putta CO2-MEA kinetics "
                       "(293.15-343.15): extrapolated")
        for m in mine
    ), mine
    into, out = atoms([rich]), atoms([r.lean_out, r.product])
    for e in ("C", "H", "N", "O"):
        assert abs(into[e] - out[e]) <= 1e-8 * into[e], e
    # feed + reboiler - condenser = lean + product, the liquids and the product by flashes
    n = sum
    h_feed = mea.flash(rich, 1e6, T=T_feed).H * n(rich.values())
    h_lean = mea.flash(r.lean_out, 1e6, T=r.reboiler_T).H * n(r.lean_out.values())
    prod = mea.flash(r.product, P, T=313.15 + 1e-3)
    assert prod.vapor_fraction == 1.0
    q = h_lean + prod.H * n(r.product.values()) + r.condenser_duty - h_feed
    assert q == pytest.approx(r.reboiler_duty, abs=1e-6 * abs(h_feed))
    assert r.srd == pytest.approx(r.srd_sensible + r.srd_steam + r.srd_desorption)
    assert r.product["MEA"] == 0.0 and r.reflux["MEA"] > 0.0
    # the reboiler is an equilibrium stage: the lean liquid at its bubble point
    assert mea.liquid(r.reboiler_T, r.lean_out).bubble_pressure == pytest.approx(P, rel=1e-8)
    p = r.profiles
    assert p["T"].size == p["loading"].size == 5 and p["z"][-1] == 0.0
    assert all(a < b for a, b in zip(p["T"], p["T"][1:]))               # hotter downwards
    assert all(a > b for a, b in zip(p["loading"], p["loading"][1:]))   # leaner downwards
    assert p["T_G"][0] > p["T"][0] > T_feed    # the vapor heats the subcooled feed
    assert p["loading"][-1] == pytest.approx(lean, abs=1e-8)
    # the duty given instead: the lean loading back
    d = quiet(st, rich, T_feed, P, duty=r.reboiler_duty, start=r)
    assert d.lean_loading == pytest.approx(lean, abs=1e-7)


def test_rate_stripper_tends_to_the_equilibrium_column(mea, k1):
    """Four segments with a transfer area 3 and 10 times the packing's: their outlets approach
    equilibrium, so the duty approaches that of four stages above a reboiler, as 1/area."""
    rich, T_feed, P, lean = k1
    eq = quiet(capture.Stripper(mea, stages=5), rich, T_feed, P, lean_loading=lean)
    off = []
    for f in (3.0, 10.0):
        r = quiet(capture.RateStripper(mea, segments=2, area_factor=f), rich, T_feed, P,
                  lean_loading=lean)
        off.append(abs(r.reboiler_duty / eq.reboiler_duty - 1.0))
        assert r.reboiler_T == pytest.approx(eq.reboiler_T, abs=1e-6)
    assert off[1] < 5e-3
    assert off[0] / off[1] > 2.5


def test_rate_stripper_duty_falls_with_packing_height(mea, k1):
    rich, T_feed, P, lean = k1
    duties = [
        quiet(capture.RateStripper(mea, beds=beds, segments=2), rich, T_feed, P,
              lean_loading=lean).reboiler_duty
        for beds in ([3.0, 3.0], [6.0, 6.0], [12.0, 12.0])
    ]
    assert duties[0] > duties[1] > duties[2] > 0.0


def test_rate_stripper_errors(mea, k1):
    rich, T_feed, P, lean = k1
    with pytest.raises(ValueError, match="either the lean loading or the reboiler duty"):
        capture.RateStripper(mea).run(rich, T_feed, P)
    with pytest.raises(ValueError, match=r"stripper: diameter 0\.0 m and bed heights \[6\.0\] m"):
        capture.RateStripper(mea, diameter=0.0, beds=[6.0])
    with pytest.raises(ValueError, match="area factor -1.0 is not positive"):
        capture.RateStripper(mea, area_factor=-1.0)
    with pytest.raises(ValueError, match="kinetics for MEA only"):
        capture.RateStripper(velmora.System("MDEA-CO2-H2O"))
    # 1 kW cannot even warm the feed: no column to start from, said so
    with pytest.raises(velmora.ConvergenceError,
                       match="stripper: no equilibrium column of 5 stages to start the segments"):
        quiet(capture.RateStripper(mea, segments=2), rich, T_feed, P, duty=1e3)
