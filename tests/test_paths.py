"""Brine paths: every element balanced over an evaporation (liquid + water taken + solids = the
brine, counted from the formulas), the fraction at which a solid first appears at SI = 0 by the
index's definition on the front door's own liquid there, mixing endpoints and a flat mix of one
brine, profiles against the front door's liquids and flashes, and the exact messages of an ion
analysis that is not charge-balanced."""

import math
import pickle
import re

import numpy as np
import pytest

from conftest import module_systems
from independent import count
from velmora import paths

pytestmark = pytest.mark.filterwarnings(
    "ignore::velmora.errors.RangeWarning", "ignore::velmora.errors.DefaultParameterWarning"
)

T25 = 298.15
# the magnesium-free seawater of docs/solids.md [mol/kg of water]
# molar masses [g/mol], to four or five figures
MW = {"NaCl": 58.443, "KCl": 74.551, "CaCl2": 110.98, "Na2SO4": 142.04, "H2O": 18.015}
SEA = {"Na+": 0.486, "K+": 0.0106, "Ca++": 0.0107, "SO4--": 0.0293, "Cl-": 0.4594}


systems = module_systems("brine-H2O", "CaSO4-NaCl-H2O", "CaCO3-CO2-H2O")


def held_at(system, path, k):
    """{species or solid: mol} that point k of an evaporation path holds: the liquid (molality
    times its water), the water taken and the solids."""
    kg = path.water[k] * system._info.mw["H2O"] / 1000.0
    held = {sp: m[k] * kg for sp, m in path.molality.items()}
    held["H2O"] = path.water[k] + path.water_removed[k]
    held.update({sp: v[k] for sp, v in path.solids.items()})
    return held


def solid_formulas(system):
    return {
        k: system.solids.records[system.solids.index(k)]["formula"] for k in system.solids.names
    }


def by_definition(liq, system, solid):
    """SI of ``solid`` on a LiquidState from its molal activities and the water activity:
    log10(prod (m gamma_m)^nu a_w^n) - log10 Km."""
    nu = system.solids.records[system.solids.index(solid)]["dissolution"]
    log_iap = sum(
        v
        * (
            math.log10(liq.water_activity)
            if s == "H2O"
            else math.log10(liq.molality[s] * liq.gamma_molal[s])
        )
        for s, v in nu.items()
    )
    return log_iap - system.solids.log10_ksp(liq.T)[solid]


def test_evaporation_balances_every_element(systems):
    """Liquid (its species from molality times its water) + water taken + solids = the brine, in
    every element, at every point; equilibrium and fractional (solids taken out as they form:
    the total taken so far)."""
    b = systems["brine-H2O"]
    brine = paths.brine(b, SEA)
    feed = count(brine.amounts)
    forms = solid_formulas(b)
    r = np.linspace(0.0, 0.95, 40)
    for fractional in (False, True):
        path = paths.evaporate(b, brine, T25, removed=r, fractional=fractional, events=False)
        assert {"gypsum", "halite"} <= set(path.solids)
        for k in range(len(r)):
            got = count(held_at(b, path, k), forms)
            for el, v in feed.items():
                assert got[el] == pytest.approx(v, rel=1e-9), (fractional, r[k], el)
    assert path.water_removed[-1] == pytest.approx(0.95 * brine.amounts["H2O"], rel=1e-15)


def test_first_appearance_is_where_the_index_reaches_zero(systems):
    """At the fraction found for each solid the front door's liquid there has SI = 0 for it by
    the definition (molal activities, water activity, the molal constant), within 1e-6; just
    before, the solid is absent, just after present; the fraction lies between the grid points
    that bracket the solid's first presence. Gypsum gives way to anhydrite on the way: it
    dissolves where anhydrite has come."""
    for chem, brine in (("brine-H2O", SEA), ("CaSO4-NaCl-H2O", {"NaCl": 0.5, "CaSO4": 0.01})):
        s = systems[chem]
        app = (
            paths.brine(s, brine).amounts
            if chem == "brine-H2O"
            else s.composition(molalities=brine)
        )
        r = np.linspace(0.0, 0.95, 100)
        path = paths.evaporate(s, app, T25, removed=r)
        assert {"gypsum", "anhydrite", "halite"} <= set(path.appears)
        assert path.appears["gypsum"] < path.appears["anhydrite"] < path.appears["halite"]
        assert path.appears["anhydrite"] <= path.dissolves["gypsum"]

        def at(f, s=s, app=app):
            feed = dict(app, H2O=app["H2O"] * (1.0 - f))
            return s.liquid(T25, feed, solids=True)

        for solid, f in path.appears.items():
            first = int(np.argmax(path.solids[solid] > 0.0))
            assert r[first - 1] < f <= r[first], (chem, solid)
            assert abs(by_definition(at(f), s, solid)) <= 1e-6, (chem, solid, f)
            assert solid not in at(f - 1e-5).solids and solid in at(f + 1e-5).solids
        f = path.dissolves["gypsum"]
        assert abs(by_definition(at(f), s, "gypsum")) <= 1e-6
        assert "gypsum" in at(f - 1e-5).solids and "gypsum" not in at(f + 1e-5).solids
    # taking the solids out as they form changes nothing before the first one
    fractional = paths.evaporate(s, app, T25, removed=r, fractional=True)
    assert fractional.appears["gypsum"] == pytest.approx(path.appears["gypsum"], abs=1e-8)
    assert "gypsum" not in fractional.dissolves


def test_path_points_are_the_front_doors_liquids(systems):
    """Each point, found from the one before, is the answer System.liquid gives cold: the
    molalities, indices, ionic strength, pH, water activity and solids."""
    b = systems["brine-H2O"]
    app = paths.brine(b, SEA).amounts
    path = paths.evaporate(b, app, T25, removed=np.linspace(0.0, 0.95, 60), events=False)
    for k in (0, 30, 52, 55, 59):
        liq = path.state(k)
        assert liq.solids == pytest.approx(
            {s: v[k] for s, v in path.solids.items() if v[k]}, rel=1e-7, abs=1e-12
        )
        for s, m in path.molality.items():
            assert m[k] == pytest.approx(liq.molality[s], rel=1e-7, abs=1e-14), s
        for s, v in path.saturation_indices.items():
            assert v[k] == pytest.approx(liq.saturation_indices[s], abs=1e-8), s
        assert path.ionic_strength[k] == pytest.approx(liq.ionic_strength, rel=1e-9)
        assert path.pH[k] == pytest.approx(liq.pH, abs=1e-7)
        assert path.water_activity[k] == pytest.approx(liq.water_activity, rel=1e-9)
        # TDS: the dissolved salts' mass per kg of liquid, from the apparent liquid
        salts = sum(v * MW[c] for c, v in liq.apparent.items() if c != "H2O")
        water = liq.apparent["H2O"] * MW["H2O"]
        assert path.tds[k] == pytest.approx(1000.0 * salts / (salts + water), rel=1e-3)
    frame = path.to_frame()
    assert list(frame.columns[:2]) == ["removed", "water_removed"]
    assert {"solids.gypsum", "solids.halite", "molality.SO4--", "tds"} <= set(frame.columns)
    assert len(frame) == 60 and abs(frame["saturation_indices.halite"].iloc[-1]) <= 1e-8
    fig = path.plot("brine")
    assert len(fig.axes) == 3 and fig.axes[2].get_xlabel().startswith("water removed")
    again = pickle.loads(pickle.dumps(path))
    assert again.to_frame().equals(frame) and again.appears == path.appears
    with pytest.raises(ValueError, match="^a path that was pickled keeps its values but not"):
        again.state(0)


def test_mixing_endpoints_and_a_mix_of_one_brine(systems):
    """The ends are the pure brines; a brine mixed with itself stays what it is; a calcium
    brine and a sulfate brine, each undersaturated, scale gypsum in between (incompatible
    waters), and with solids allowed it comes out there and nowhere near the ends."""
    b = systems["brine-H2O"]
    ca = b.composition(molalities={"NaCl": 1.0, "CaCl2": 0.2})
    so4 = b.composition(molalities={"NaCl": 0.5, "Na2SO4": 0.3})
    mixed = paths.mix(b, ca, so4, T25, np.linspace(0.0, 1.0, 21))
    for k, brine in ((0, ca), (-1, so4)):
        liq = b.liquid(T25, brine)
        for s, m in mixed.molality.items():
            assert m[k] == pytest.approx(liq.molality[s], rel=1e-8, abs=1e-10), s  # floor: 1e-11
        for s, v in liq.saturation_indices.items():
            if v > -6.0:  # not an ion at the speciation's floor
                assert mixed.saturation_indices[s][k] == pytest.approx(v, abs=1e-8), s
    g = mixed.saturation_indices["gypsum"]
    assert g[0] < 0.0 and g[-1] < 0.0 and g.max() > 0.0
    with_solids = paths.mix(b, ca, so4, T25, np.linspace(0.0, 1.0, 21), solids=True)
    gyp = with_solids.solids["gypsum"]
    assert gyp[0] == gyp[-1] == 0.0 and np.all(gyp[g > 1e-3] > 0.0)
    same = paths.mix(b, ca, dict(ca), T25, np.linspace(0.0, 1.0, 5))
    # (the absent salts' ions sit at the speciation's floor, 1e-11, wherever it starts from)
    flat = [m for m in same.molality.values() if m.min() > 1e-9]
    flat += [v for v in same.saturation_indices.values() if v.min() > -6.0]
    assert len(flat) >= 6
    # plus 1e-14 mol/kg for trace species (H+ or OH- near 1e-7 mol/kg), whose relative precision
    # the speciation does not hold to 1e-9
    for arr in [*flat, same.ionic_strength, same.water_activity, same.tds]:
        assert np.ptp(arr) <= 1e-9 * np.max(np.abs(arr)) + 1e-14, arr


def test_profile_kept_liquid_and_boiling(systems):
    """A profile below the bubble point is the front door's liquid at each T; above it at
    1 atm, the flash at (T, P): its vapor fraction, the salts left in the liquid, whose water
    is the brine's less the vapor."""
    b = systems["brine-H2O"]
    sea = paths.brine(b, SEA)
    T = np.array([300.0, 340.0, 373.0, 374.5, 376.0])
    prof = paths.profile(b, sea, T, 101325.0)
    assert prof.vapor_fraction[:3].tolist() == [0.0, 0.0, 0.0]
    for k in range(3):
        liq = b.liquid(T[k], sea.amounts, solids=True)
        assert prof.molality["Cl-"][k] == pytest.approx(liq.molality["Cl-"], rel=1e-8)
    for k in (3, 4):
        fl = b.flash(sea.amounts, 101325.0, T=T[k], solids=True)
        assert prof.vapor_fraction[k] == pytest.approx(fl.vapor_fraction, rel=1e-9)
        # the salts stay in the liquid (and solids): chloride over the liquid's water
        assert prof.molality["Cl-"][k] * prof.water[k] == pytest.approx(
            SEA["Cl-"] * sea.amounts["H2O"], rel=1e-6
        )
        # the vapor is water alone (the salts do not evaporate), per mol of brine; the flash's
        # balances hold to the system's tolerance
        total = sum(sea.amounts.values())
        assert prof.water[k] == pytest.approx(
            sea.amounts["H2O"] - prof.vapor_fraction[k] * total, rel=b.tol
        )
    kept = paths.profile(b, sea, T)
    assert np.all(kept.vapor_fraction == 0.0) and np.all(np.isnan(kept.P))
    assert list(kept.to_frame().columns[:3]) == ["T", "P", "vapor_fraction"]


def test_path_inputs_are_checked(systems):
    b = systems["brine-H2O"]
    sea = paths.brine(b, SEA)
    for removed, message in (
        ([0.0, 0.5, 0.4], "removed must increase from point to point"),
        ([0.2, 1.0], "removed must lie in [0, 1], not 1"),
        ([], "removed: give a sequence of one or more numbers"),
        ([0.1, math.nan], "removed must be finite"),
    ):
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            paths.evaporate(b, sea, T25, removed=removed)
    with pytest.raises(
        ValueError,
        match=r"^P: 2 values for 3 temperatures; give one P or one "
        r"per T$",
    ):
        paths.profile(b, sea, [300.0, 310.0, 320.0], [1e5, 2e5])
    with pytest.raises(ValueError, match=r"^fractions must lie in \[0, 1\], not 1.5$"):
        paths.mix(b, sea, sea, T25, [0.0, 1.5])


def test_ion_analysis_to_components_and_the_charge_balance(systems):
    """A balanced analysis becomes the salts that carry it (by hand: Na2SO4 = SO4, CaCl2 = Ca,
    KCl = K, NaCl = the rest of the sodium); an imbalanced one is refused with its imbalance
    and ions, or balanced on the ion named, by exactly the difference; the refusals say why."""
    b, c = systems["brine-H2O"], systems["CaSO4-NaCl-H2O"]
    got = paths.brine(b, SEA)
    assert got.adjusted == {}
    expect = {"NaCl": 0.486 - 2 * 0.0293, "KCl": 0.0106, "CaCl2": 0.0107, "Na2SO4": 0.0293}
    for comp, v in expect.items():
        assert got.amounts[comp] == pytest.approx(v, rel=1e-12, abs=1e-15)
    assert got.amounts["H2O"] == pytest.approx(1000.0 / 18.01528, rel=1e-4)
    bad = dict(SEA, **{"Cl-": 0.5})
    with pytest.raises(ValueError) as e:
        paths.brine(b, bad)
    assert str(e.value) == (
        "the brine is not charge-balanced: -0.0406 eq/kg (cations 0.518, anions 0.5586 eq/kg; "
        "Na+ 0.486, K+ 0.0106, Ca++ 0.0107, SO4-- 0.0293, Cl- 0.5 mol/kg); correct the analysis "
        'or name the ion that takes up the difference, e.g. balance="Cl-"'
    )
    fixed = paths.brine(b, bad, balance="cl-")
    assert fixed.adjusted["Cl-"] == pytest.approx(-0.0406, rel=1e-12)
    assert fixed.amounts == pytest.approx(got.amounts, rel=1e-12)
    on_na = paths.brine(b, bad, balance="Na+")
    assert on_na.molalities["Na+"] == pytest.approx(0.486 + 0.0406, rel=1e-12)
    assert bad["Na+"] == 0.486  # the analysis given is not changed in place
    cases = [
        (
            b,
            bad,
            "Mg++",
            "balance='Mg++' is not an ion of brine-H2O; its ions: Na+, K+, Ca++, "
            "Cl-, SO4--, H3O+, OH-",
        ),
        (b, {"Na+": 0.1, "Cl-": 0.5}, "Na+", None),
        (b, {"Na+": 0.5, "Cl-": 0.1}, "Cl-", None),
        (
            b,
            {"Na+": 0.5, "Cl-": 0.1},
            "K+",
            "balancing on K+ would make its molality negative (-0.4 mol/kg): the analysis has "
            "0.4 eq/kg more cations than anions; balance on an anion",
        ),
        (
            b,
            {"Mg++": 0.1, "Cl-": 0.2},
            None,
            "unknown ion or component 'Mg++'; ions of brine-H2O: Na+, K+, Ca++, Cl-, SO4--, H3O+, "
            "OH-; components: H2O, NaCl, KCl, CaCl2, Na2SO4",
        ),
        (
            b,
            {"Na+": 0.1, "Cl-": 0.1, "H2O": 55.5},
            None,
            "molalities are per kg of water: leave H2O out",
        ),
        (b, {"Na+": -0.1, "Cl-": -0.1}, None, "molality of Na+ is negative (-0.1)"),
        (
            b,
            {"Na+": 2.0, "SO4--": 1.1, "Ca++": 0.1},
            None,
            "the analysis needs -0.2 mol/kg of NaCl among the components of brine-H2O (H2O, NaCl, "
            "KCl, CaCl2, Na2SO4): its salts cannot carry these ions; a chemistry with other salts "
            "is needed",
        ),
        (
            c,
            {"Na+": 1.0, "Cl-": 0.8, "Ca++": 0.1, "SO4--": 0.2},
            None,
            "the ions Na+, Cl-, Ca++, SO4-- in these amounts cannot be made up of the components "
            "of CaSO4-NaCl-H2O (H2O, NaCl, CaSO4); a chemistry with more components is needed",
        ),
    ]
    for system, analysis, on, message in cases:
        if message is None:  # balanced on the ion named: no refusal
            got = paths.brine(system, analysis, balance=on)
            assert sum(
                v * {"Na+": 1, "Cl-": -1}[k] for k, v in got.molalities.items()
            ) == pytest.approx(0.0, abs=1e-15)
            continue
        with pytest.raises(ValueError) as e:
            paths.brine(system, analysis, balance=on)
        assert str(e.value) == message
    # a carbonate water: bicarbonate is made of the components CaCO3 and CO2 by the chemistry's
    # equilibria; the hint names the analysis' ion that carries the most charge
    w = systems["CaCO3-CO2-H2O"]
    got = paths.brine(w, {"Ca++": 0.002, "HCO3-": 0.004})
    assert got.amounts["CaCO3"] == pytest.approx(0.002, rel=1e-12)
    assert got.amounts["CO2"] == pytest.approx(0.002, rel=1e-12)
    # and every element of the analysis and its kg of water, bicarbonate's hydrogen too: the
    # water in Ca++ + 2 HCO3- = CaCO3 + CO2 + H2O was lost (2.5 % of the hydrogen at 1.4 mol/kg)
    water = 1000.0 / 18.015
    for analysis in ({"Ca++": 0.002, "HCO3-": 0.004}, {"Ca++": 1.4, "HCO3-": 2.8}):
        ions = count(dict(analysis, H2O=water))
        salts = count(paths.brine(w, analysis).amounts)
        for el, v in ions.items():
            assert salts[el] == pytest.approx(v, rel=1e-12), (analysis, el)
    with pytest.raises(ValueError) as e:
        paths.brine(w, {"Ca++": 0.002, "HCO3-": 0.003})
    assert str(e.value) == (
        "the brine is not charge-balanced: +0.001 eq/kg (cations 0.004, anions 0.003 eq/kg; "
        "Ca++ 0.002, HCO3- 0.003 mol/kg); correct the analysis or name the ion that takes up the "
        'difference, e.g. balance="Ca++"'
    )
