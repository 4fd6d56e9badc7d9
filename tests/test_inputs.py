"""Inputs at the front door: compositions that do not add up or leave the aqueous range, amounts
of any size, names and types that are not what a call takes, and values in a likely wrong unit."""

import math
import random
import re
import warnings
from types import SimpleNamespace

import numpy as np
import pytest

import velmora
from conftest import cold
from velmora import RangeWarning, checks

pytestmark = pytest.mark.filterwarnings("ignore::velmora.errors.RangeWarning")

ATM = 101325.0
# molar masses from the IUPAC standard atomic weights (C 12.011, H 1.008, N 14.007, O 15.999)
M_MEA = (2 * 12.011 + 7 * 1.008 + 14.007 + 15.999) / 1000.0  # kg/mol, C2H7NO


@pytest.fixture(scope="module")
def mea():
    return velmora.System("MEA-CO2-H2O")


@pytest.fixture(scope="module")
def nacl():
    return velmora.System("NaCl-H2O")


@pytest.mark.parametrize(
    "kw, message",
    [
        (
            dict(mass_fractions={"H2O": 0.6, "MEA": 0.3}),
            "mass fractions add up to 0.9, not 1: with H2O given they must add up to 1; leave H2O "
            "out and water makes up the rest",
        ),
        (dict(mass_fractions={"MEA": 0.7, "CO2": 0.4}), "mass fractions add up to 1.1 > 1"),
        (
            dict(mass_fractions={"MEA": 1.0}),
            "the liquid has no water (H2O): velmora's liquid is aqueous (ions are referred to "
            "infinite dilution in water, molalities are per kg of water); give water, at least as "
            "much as keeps every solute below 100 mol/kg",
        ),
        (dict(amounts={"MEA": 1.0, "CO2": 0.1}), "the liquid has no water (H2O)"),
        (
            dict(amounts={"H2O": 1.0, "MEA": 1.0}, loading=4.0),
            "CO2 at 222 mol/kg of water lies outside 0-100 mol/kg",
        ),
    ],
)
def test_compositions_outside_the_aqueous_range_are_refused(mea, kw, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        cold(mea).liquid(313.15, **kw)


def test_an_amine_is_a_solvent_not_bound_by_the_solute_molality(mea):
    # 90 wt% MEA is 147 mol/kg of water: a liquid of the mixed solvent, speciated and verified
    liq = mea.liquid(313.15, mass_fractions={"MEA": 0.9}, loading=0.1)
    assert liq.residual <= mea.tol
    assert liq.x["MEA"] + liq.x["MEAH+"] + liq.x["MEACOO-"] > liq.x["H2O"]


def test_salt_molality_bound_is_named(nacl):
    # at 100 mol/kg water is 1 / (1 + 100 * 0.018015) = 36 % of the moles (water 18.015 g/mol)
    with pytest.raises(
        ValueError,
        match=re.escape(
            "NaCl at 1e+300 mol/kg of water lies outside 0-100 mol/kg: the liquid is aqueous (at "
            "100 mol/kg of one solute water is 36% of the moles); give more water"
        ),
    ):
        cold(nacl).liquid(298.15, molalities={"NaCl": 1e300})
    with pytest.raises(ValueError, match="NaCl at 100.1 mol/kg"):  # refused even as a feed
        cold(nacl).composition(molalities={"NaCl": 100.1})
    with pytest.raises(ValueError, match="NaCl at 555.1 mol/kg"):
        cold(nacl).liquid(298.15, amounts={"H2O": 1.0, "NaCl": 10.0})


def test_a_feed_with_solids_past_the_bound_is_refused_as_a_whole_feed(nacl):
    # with solids the bound holds for the feed as a whole, what would be solid included: the
    # refusal says so (it said "the liquid is aqueous ... give more water" of a liquid that
    # would be saturated brine, and the flash with solids told its caller to flash with
    # solids=True), and how much water the feed needs
    M_W = 18.015268e-3  # kg/mol, the databank's molar mass of water
    need = 1.0 / (100.0 * M_W)  # mol of water per mol of a solute at 100 mol/kg
    tail = (
        ": velmora finds the solids from the feed's own liquid, which is aqueous (at most "
        "100 mol/kg of each solute), however much of the feed would be solid; give at least "
        f"{need:.4g} mol of water per mol of NaCl, or leave out the part that stays solid"
    )
    feed = {"H2O": 55.51, "NaCl": 6000.0}
    held = "the feed holds NaCl at 6000 mol/kg of its water, its solids counted with its liquid"
    with pytest.raises(
        checks.NotAqueousError, match=re.escape(held + ", beyond 0-100 mol/kg" + tail)
    ):
        cold(nacl).liquid(298.15, feed, solids=True)
    for kw, said in (
        (dict(T=298.15), "T = 298.15"),
        (dict(H=-4e5), "H = -400000"),
        (dict(vapor_fraction=0.0), "vapor_fraction = 0"),
    ):
        with pytest.raises(
            checks.NotAqueousError,
            match=re.escape(f"no vapor-liquid-solid flash at {said}, P = 101325 Pa: {held}"),
        ):
            nacl.flash(feed, ATM, solids=True, **kw)  # (refused once no split is found)
    with pytest.raises(
        checks.NotAqueousError,
        match=re.escape(
            "no vapor-liquid-solid flash at T = 298.15, P = 101325 Pa: the feed holds NaCl and "
            "no water (H2O)" + tail
        ),
    ):
        nacl.flash({"NaCl": 1.0}, ATM, T=298.15, solids=True)
    # with the water asked for (and a little more): saturated brine and halite, the sodium of
    # the feed in the two
    r = nacl.liquid(298.15, {"H2O": 1.001 * need, "NaCl": 1.0}, solids=True)
    assert set(r.solids) == {"halite"} and abs(r.saturation_indices["halite"]) < 1e-8
    assert r.apparent["NaCl"] + r.solids["halite"] == pytest.approx(1.0, rel=1e-12)
    # evaporation: 5 mol of NaCl in 55.51 of water can lose water down to 5 need, the
    # fraction 1 - 5 need / 55.51 of it; past that the point is refused, short of it answered
    brine = {"H2O": 55.51, "NaCl": 5.0}
    most = 1.0 - 5.0 * need / 55.51
    with pytest.raises(
        checks.NotAqueousError,
        match=re.escape(
            f"evaporation at 0.97 of the water removed, past the {most:.6g} this brine allows: "
            "the feed holds NaCl at 166.7 mol/kg of its water"
        ),
    ):
        velmora.paths.evaporate(nacl, brine, 298.15, [0.0, 0.97], events=False)
    p = velmora.paths.evaporate(nacl, brine, 298.15, [0.0, 0.999 * most], events=False)
    assert p.precipitated["halite"][-1] > 4.0


def test_mass_fractions_that_add_up_give_the_molality_they_state(mea):
    liq = mea.liquid(313.15, mass_fractions={"H2O": 0.7, "MEA": 0.3 + 5e-10})  # within 1e-9
    n = liq.amounts  # mol in 1 kg of liquid
    # 0.3 kg of MEA over 0.7 kg of water: 7.016 mol/kg (not 8.17, as the rescaled 0.9 gave)
    assert (n["MEA"] + n["MEAH+"] + n["MEACOO-"]) / 0.7 == pytest.approx(
        0.3 / M_MEA / 0.7, rel=2e-4
    )
    same = mea.liquid(313.15, mass_fractions={"MEA": 0.3})
    assert same.pH == pytest.approx(liq.pH, abs=1e-8)


@pytest.mark.parametrize("scale", [1e-300, 1e-3, 1e3, 1e300])
def test_a_liquid_does_not_depend_on_the_unit_of_its_amounts(mea, scale):
    app = {"H2O": 0.85, "MEA": 0.11, "CO2": 0.04}
    ref = mea.liquid(313.15, amounts=app)
    liq = mea.liquid(313.15, amounts={c: v * scale for c, v in app.items()})
    assert liq.pH == pytest.approx(ref.pH, abs=1e-9)
    assert liq.x == pytest.approx(ref.x, rel=1e-9, abs=1e-20)
    assert liq.partial_pressures == pytest.approx(ref.partial_pressures, rel=1e-9)
    assert liq.apparent == {c: v * scale for c, v in app.items()} == liq.feed
    # the amounts are in the caller's unit: the MEA and carbon balances hold in it
    n = liq.amounts
    assert n["MEA"] + n["MEAH+"] + n["MEACOO-"] == pytest.approx(0.11 * scale, rel=1e-10)
    assert n["CO2"] + n["HCO3-"] + n["CO3--"] + n["MEACOO-"] == pytest.approx(
        0.04 * scale, rel=1e-10
    )


def test_amounts_at_the_float_limit(mea):
    big = mea.liquid(313.15, {"H2O": 1e308, "MEA": 1e308})  # their sum overflows
    one = mea.liquid(313.15, {"H2O": 1.0, "MEA": 1.0})
    assert big.pH == pytest.approx(one.pH, abs=1e-9)
    assert math.isfinite(big.amounts["H2O"]) and big.amounts["MEA"] + big.amounts[
        "MEAH+"
    ] == pytest.approx(1e308, rel=1e-10)
    f_big = mea.flash({"H2O": 1e308, "MEA": 1e308}, ATM, T=313.15)
    f_one = mea.flash({"H2O": 1.0, "MEA": 1.0}, ATM, T=313.15)
    assert f_big.to_dict() == f_one.to_dict()


def test_solids_come_back_in_the_unit_of_the_feed(nacl):
    app = nacl.composition(molalities={"NaCl": 8.0})  # mol in 1 kg of water
    ref = nacl.liquid(298.15, amounts=app, solids=True)
    kmol = nacl.liquid(298.15, amounts={c: v / 1000.0 for c, v in app.items()}, solids=True)
    assert ref.solids["halite"] > 1.0  # saturation near 6.1 mol/kg
    assert kmol.solids["halite"] == pytest.approx(ref.solids["halite"] / 1000.0, rel=1e-9)
    assert kmol.feed == {c: v / 1000.0 for c, v in app.items()}
    # feed = dissolved + precipitated, in kmol
    assert kmol.apparent["NaCl"] + kmol.solids["halite"] == pytest.approx(
        app["NaCl"] / 1000.0, rel=1e-10
    )
    assert kmol.molality["Na+"] == pytest.approx(ref.molality["Na+"], rel=1e-9)


def test_names_and_types_a_call_does_not_take(mea):
    one = velmora.System("MEA-CO2-H2O", gases="N2", henry="CO2")
    assert one.components == ["H2O", "MEA", "CO2", "N2"] and one.henry == ("CO2",)
    s = cold(mea)
    msg = (
        "amounts: give a mapping {component: amount} or a sequence in the order of the "
        "components (H2O, MEA, CO2), not int 5"
    )
    with pytest.raises(TypeError, match=re.escape(msg)):
        s.liquid(313.15, 5)
    with pytest.raises(
        TypeError, match=re.escape("amounts: give a mapping {component: amount} or a sequence")
    ):
        s.liquid(313.15, "H2O")
    with pytest.raises(
        TypeError,
        match=re.escape("molalities: give a mapping {component: molality}, not list [1.0]"),
    ):
        s.liquid(313.15, molalities=[1.0])
    with pytest.raises(TypeError, match=re.escape("feed amounts: give a mapping")):
        s.flash(5, ATM, T=313.15)
    with pytest.raises(TypeError, match="gases: give a name or a sequence of names, not int 2"):
        velmora.System("MEA-CO2-H2O", gases=2)


def test_names_in_any_form_and_any_number_give_the_same_liquid(mea):
    # an id as the databank spells it and a float take one lookup; any other form is normalised
    ids = mea.liquid(313.15, amounts={"H2O": 40.0, "MEA": 5.0, "CO2": 2.0})
    other = mea.liquid(313.15, amounts={"water": 40, " mea ": np.float32(5.0), "Co2": 2})
    assert other.apparent == ids.apparent and other.x == ids.x
    loaded = mea.liquid(313.15, amounts={"H2O": 40.0, "mea": 5.0}, loading=0.4)
    assert loaded.apparent["CO2"] == 2.0 and loaded.x == ids.x
    s = cold(mea)
    for given in ({"CO2": 0.1, "co2": 0.1}, {"co2": 0.1, "CO2": 0.1}, {"CO2": 0.1, "CO2 ": 0.1}):
        with pytest.raises(ValueError, match="^component CO2 is given twice$"):
            s.liquid(313.15, molalities=given)
    # molalities within the bound, the loading's CO2 beyond it: checked after the loading too
    with pytest.raises(ValueError, match=re.escape("CO2 at 150 mol/kg of water lies outside")):
        s.liquid(313.15, molalities={"MEA": 50.0}, loading=3.0)
    with pytest.raises(ValueError, match=re.escape("molality of MEA is negative (-1)")):
        s.liquid(313.15, molalities={"MEA": -1.0})


def test_molalities_are_the_liquid_of_one_kg_of_water(mea, nacl):
    # the usual call (a dict of floats, read on a short path) against the same liquid given as
    # amounts with the moles of 1 kg of water from the databank's molar mass, and as integers
    water = 1000.0 / velmora.enginebridge.databank.species("H2O")["molar_mass"]
    for s, m, T in ((mea, {"MEA": 4.9, "CO2": 2.1}, 313.15), (nacl, {"NaCl": 6.0}, 298.15)):
        given = s.liquid(T, molalities=m)
        other = s.liquid(T, amounts={**m, "H2O": water})
        assert given.x == other.x and given.apparent == other.apparent
        assert given.molality == other.molality and given.H == other.H
    assert (
        nacl.liquid(298.15, molalities={"NaCl": 2}).x
        == nacl.liquid(298.15, molalities={"NaCl": 2.0}).x
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RangeWarning)
        assert nacl.liquid(298.15, molalities={"NaCl": 100.0}).residual <= nacl.tol  # the bound
    with pytest.raises(ValueError, match=re.escape("NaCl at 100 mol/kg of water lies outside")):
        cold(nacl).liquid(298.15, molalities={"NaCl": math.nextafter(100.0, 200.0)})
    with pytest.raises(ValueError, match="^molalities are per kg of water: leave H2O out$"):
        cold(nacl).liquid(298.15, molalities={"water": 1.0})
    # mass fractions, with and without a loading: the amounts System.composition gives
    for w, loading in (({"MEA": 0.3}, 0.4), ({"MEA": 0.3, "CO2": 0.05}, None), ({"MEA": 0.9}, 0.1)):
        given = mea.liquid(313.15, mass_fractions=w, loading=loading)
        other = mea.liquid(313.15, amounts=mea.composition(mass_fractions=w, loading=loading))
        assert given.x == other.x and given.apparent == other.apparent


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("name", ["MEA-CO2-H2O", "NH3-CO2-H2O", "brine-H2O", "K2CO3-CO2-H2O"])
def test_the_short_paths_of_the_usual_calls_are_the_general_path(name):
    # molalities and mass fractions (with a loading or not), read by one compiled step, against
    # the same call through System.composition's general path: the same apparent amounts in the
    # same order, the same mole fractions and total to the last digit, or a refusal that the
    # general path then names
    s = velmora.System(name)
    rng = random.Random(name)
    comps = [c for c in s.components if c != "H2O"]
    compared = 0
    for _ in range(150):
        picked = rng.sample(comps, rng.randint(1, len(comps)))
        m = {c: rng.choice([0.0, rng.uniform(0.0, 8.0), rng.uniform(0.0, 120.0)]) for c in picked}
        w = {c: rng.uniform(0.0, 0.6 / len(picked)) for c in picked}
        loading = rng.choice([None, rng.uniform(0.0, 1.0)])
        for fast, given in (
            (checks.molal_liquid(s, m), (None, m, None, None)),
            (checks.mass_liquid(s, w, loading), (None, None, w, loading)),
        ):
            try:
                app, checked = checks._composition(s, *given)
                x, a, b = checks.liquid(s, app, checked)
            except ValueError:
                assert fast is None
                continue
            if fast is not None:
                assert list(fast[0].items()) == list(app.items())
                assert list(fast[1].items()) == list(x.items()) and fast[2] == a and b == 1.0
                compared += 1
    assert compared > 150


def test_a_missing_gas_is_named_with_the_fix(mea):
    flue = {"H2O": 0.9, "MEA": 0.05, "N2": 0.05}
    with pytest.raises(
        ValueError,
        match=re.escape(
            "unknown component 'N2'; components of this system: H2O, MEA, CO2; 'N2' is not a "
            "component of this system; add it as a gas: System('MEA-CO2-H2O', gases=['N2'])"
        ),
    ):
        cold(mea).flash(flue, ATM, T=313.15)
    with_n2 = velmora.System("MEA-CO2-H2O", gases=["N2"])
    with pytest.raises(ValueError, match=re.escape("gases=['N2', 'NH3'])")):
        cold(with_n2).liquid(313.15, {"H2O": 1.0, "NH3": 0.1})
    # a salt is no gas: no such advice
    with pytest.raises(ValueError) as e:
        cold(mea).liquid(313.15, {"H2O": 1.0, "KCl": 0.1})
    assert str(e.value) == "unknown component 'KCl'; components of this system: H2O, MEA, CO2"
    # the advice works
    assert with_n2.flash(flue, ATM, T=313.15).vapor["N2"] > 0.5


def test_values_in_a_likely_wrong_unit_warn(mea):
    feed = {"H2O": 0.9, "MEA": 0.1}
    with pytest.warns(
        RangeWarning,
        match=re.escape(
            "P = 200 Pa: P is in Pa; did you mean 2e+07 Pa (200 bar) or 200000 Pa (200 kPa)?"
        ),
    ):
        mea.flash(feed, 200.0, T=313.15)
    with pytest.warns(
        RangeWarning,
        match=re.escape(
            "T = 250 K: T is in kelvin; did you mean 523.15 K (250 C)? (below 273.15 K only a "
            "brine stays liquid)"
        ),
    ):
        mea.liquid(250.0, mass_fractions={"MEA": 0.3})
    # the hard limits keep their errors; at 273.15 K and 1 kPa nothing is hinted
    with pytest.raises(ValueError, match="P = 99 Pa is below 100 Pa"):
        cold(mea).flash(feed, 99.0, T=313.15)
    with warnings.catch_warnings(record=True) as log:
        warnings.simplefilter("always")
        mea.liquid(273.15, mass_fractions={"MEA": 0.3})
        mea.flash(feed, 1000.0, T=313.15)
    assert not [w for w in log if "did you mean" in str(w.message)]
    assert np.isfinite(mea.liquid(273.15, mass_fractions={"MEA": 0.3}).pH)


def test_a_pressure_beyond_the_ideal_gas_warns(mea):
    """Above 1 MPa the ideal-gas vapor and the pressure-independent liquid are extrapolated
    (CO2's fugacity coefficient is 0.96 at 1 MPa): every call that takes a pressure says so,
    the flashes and a brine's (T, P) profile; at 1 MPa itself nothing is said."""
    feed = {"H2O": 0.9, "MEA": 0.05, "CO2": 0.05}
    said = re.escape(
        "P = 2e+06 Pa is above 1e+06 Pa, where velmora's ideal-gas vapor and "
        "pressure-independent liquid"
    )
    with pytest.warns(RangeWarning, match=said):
        mea.flash(feed, 2e6, T=313.15)
    with pytest.warns(RangeWarning, match=said):
        mea.flash(feed, 2e6, vapor_fraction=0.0)
    brine = velmora.System("NaCl-H2O")
    with pytest.warns(RangeWarning, match=re.escape("P = 3e+07 Pa is above 1e+06 Pa")):
        velmora.paths.profile(
            brine, brine.composition(molalities={"NaCl": 1.0}), [300.0, 320.0], 3e7
        )
    with warnings.catch_warnings(record=True) as log:
        warnings.simplefilter("always")
        mea.flash(feed, 1e6, T=313.15)
    assert not [w for w in log if "ideal-gas vapor" in str(w.message)]


def test_a_feed_is_normalised_with_the_arithmetic_of_the_arrays():
    """The feed's mole fractions, summed without NumPy for a few components, have the digits
    of v / v.sum() (NumPy's own sum) for every count of components and spread of amounts,
    including the many-component and the near-overflow branches."""
    rng = np.random.default_rng(7)
    for nc in range(1, 12):
        system = SimpleNamespace(components=[f"C{k}" for k in range(nc)])
        for _ in range(300):
            v = rng.random(nc) * 10.0 ** rng.integers(-12, 12, nc)
            v[rng.random(nc) < 0.2] = 0.0
            if not v.any():
                continue
            z = checks.feed(system, v.tolist())
            assert z.dtype == float and z.tolist() == (v / v.sum()).tolist()
        big = np.full(nc, 1e305)
        assert checks.feed(system, big.tolist()).tolist() == [1.0 / nc] * nc
        with pytest.raises(ValueError, match="the feed is empty"):
            checks.feed(system, [0.0] * nc)
