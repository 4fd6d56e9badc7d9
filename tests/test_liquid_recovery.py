"""Liquids whose speciation the core does not settle from a cold start (hot, highly loaded amine
and ammonia liquids): System.liquid finds them, and they are the same liquids a converged cold
start gives. Checked here against quantities worked out independently: element and charge
balances from the databank's formulas, reaction quotients against the databank's ln K records
with ln gamma evaluated afresh, and the vapor of a flash."""

import math

import numpy as np
import pytest

from conftest import module_systems
from independent import count
from velmora import ConvergenceError, checks, ionactivity, phasekit, recovery
from velmora.enginebridge import databank as db
from velmora.states import liquid_state

pytestmark = [
    pytest.mark.filterwarnings("ignore::velmora.errors.RangeWarning"),
    pytest.mark.filterwarnings("ignore::velmora.errors.DefaultParameterWarning"),
]

# 30 wt% MEA: loading 0.05-0.95 by 0.05, 20-120 C by 10 (209 points)
MEA_GRID = [(round(0.05 * i, 2), 273.15 + t) for i in range(1, 20) for t in range(20, 130, 10)]
# NH3 1, 2, 4, 6 mol/kg; CO2/NH3 0.1-1.0 by 0.1; 20-120 C by 20 (240 points)
NH3_GRID = [
    (m, round(0.1 * r, 1), 273.15 + t)
    for m in (1.0, 2.0, 4.0, 6.0)
    for r in range(1, 11)
    for t in range(20, 140, 20)
]

systems = module_systems("MEA-H2S-H2O", "NH3-CO2-H2O")


@pytest.fixture(scope="module")
def mea_h2s(systems):
    return systems["MEA-H2S-H2O"]


@pytest.fixture(scope="module")
def nh3_co2(systems):
    return systems["NH3-CO2-H2O"]


def mea_liquid(s, loading, T):
    return s.liquid(T, mass_fractions={"MEA": 0.3}, loading=loading)


def nh3_liquid(s, m, ratio, T):
    return s.liquid(T, molalities={"NH3": m, "CO2": m * ratio})


def assert_balanced(liq, rel=1e-10):
    """Every element of the apparent liquid in the true species (databank formulas), and no net
    charge."""
    true, given = count(liq.amounts), count(liq.apparent)
    assert set(true) == set(given)
    for e in given:
        assert true[e] == pytest.approx(given[e], rel=rel), e
    charge = sum(db.species(s)["charge"] * v for s, v in liq.amounts.items())
    assert abs(charge) <= rel * sum(liq.apparent.values())


def assert_in_equilibrium(system, liq, tol=1e-8):
    """ln gamma afresh at the answer's x, and every reaction of the chemistry at its databank
    ln K (mole-fraction basis; Henry components on their infinite-dilution reference)."""
    el = system.model
    names = liq.species
    x = np.array([liq.x[s] for s in names])
    lng = np.asarray(ionactivity.ln_gamma(el.sp, x, liq.T, el.options))
    assert lng == pytest.approx([liq.ln_gamma[s] for s in names], abs=1e-9)
    ref = dict(zip(names, el.henry_ref(liq.T, x)))
    lna = {s: math.log(liq.x[s]) + g for s, g in zip(names, lng)}
    for rid in db.chemistry(system.name)["equilibria"]:
        r = db.reaction_record(rid)
        lnK = r["A"] + r["B"] / liq.T + r["C"] * math.log(liq.T) + r["D"] * liq.T
        q = sum(v * (lna[s] - ref[s]) for s, v in r["reaction"].items())
        assert q == pytest.approx(lnK, abs=tol), rid


def cold_fails(system, app, T):
    """Whether the core's cold start misses this liquid (what the recovery is there for)."""
    el = system.model
    el._warm = None
    n, lng = el.true_amounts(app, T)
    return not (
        el._status()["speciation_converged"]
        and checks.speciation_residual(system, app, T, n, lng) <= system.tol
    )


@pytest.mark.parametrize(
    "loading, T", [(0.65, 383.15), (0.75, 353.15), (0.9, 373.15), (0.95, 313.15), (0.95, 393.15)]
)
def test_hot_loaded_mea_h2s_liquids_are_found(mea_h2s, loading, T):
    liq = mea_liquid(mea_h2s, loading, T)
    assert cold_fails(mea_h2s, liq.apparent, T)
    assert liq.apparent["MEA"] == pytest.approx(300.0 / 61.084, rel=1e-12)
    assert liq.apparent["H2S"] == pytest.approx(loading * 300.0 / 61.084, rel=1e-12)
    assert liq.residual <= mea_h2s.tol
    assert_balanced(liq)
    assert_in_equilibrium(mea_h2s, liq)
    assert liq.bubble_pressure == pytest.approx(sum(liq.partial_pressures.values()))


@pytest.mark.parametrize(
    "m, ratio, T", [(4.0, 0.8, 373.15), (4.0, 1.0, 393.15), (6.0, 0.6, 373.15), (6.0, 1.0, 393.15)]
)
def test_hot_loaded_ammonia_liquids_are_found(nh3_co2, m, ratio, T):
    liq = nh3_liquid(nh3_co2, m, ratio, T)
    assert cold_fails(nh3_co2, liq.apparent, T)
    kg_water = liq.apparent["H2O"] * 18.015 / 1000.0
    assert liq.apparent["NH3"] / kg_water == pytest.approx(m, rel=1e-4)
    assert liq.residual <= nh3_co2.tol
    assert_balanced(liq)
    assert_in_equilibrium(nh3_co2, liq)


def test_every_point_of_both_grids_verifies_and_balances(mea_h2s, nh3_co2):
    for loading, T in MEA_GRID:
        liq = mea_liquid(mea_h2s, loading, T)
        assert liq.residual <= mea_h2s.tol
        assert_balanced(liq)
    for m, ratio, T in NH3_GRID:
        liq = nh3_liquid(nh3_co2, m, ratio, T)
        assert liq.residual <= nh3_co2.tol
        assert_balanced(liq)


def test_liquid_of_a_flash_handed_back_is_found_at_the_vapor_fugacities(nh3_co2):
    P, T = 1.5e5, 350.0
    r = nh3_co2.flash({"H2O": 0.5, "NH3": 0.2, "CO2": 0.3}, P, T=T)
    assert 0.0 < r.vapor_fraction < 1.0
    assert cold_fails(nh3_co2, r.x, T)
    liq = nh3_co2.liquid(T, r.x)
    assert_balanced(liq)
    assert_in_equilibrium(nh3_co2, liq)
    y = np.array([r.vapor[c] for c in nh3_co2.components])
    phi = np.exp(np.asarray(phasekit.phi_vapor(nh3_co2.pp, y, T, P)))
    for k, c in enumerate(nh3_co2.components):
        assert liq.partial_pressures[c] == pytest.approx(y[k] * phi[k] * P, rel=1e-5), c


@pytest.mark.parametrize(
    "chem, app, T",
    [
        ("MEA-H2S-H2O", {"H2O": 38.86, "MEA": 4.911, "H2S": 2.456}, 313.15),
        ("MEA-H2S-H2O", {"H2O": 38.86, "MEA": 4.911, "H2S": 2.947}, 353.15),
        ("NH3-CO2-H2O", {"H2O": 55.51, "NH3": 4.0, "CO2": 2.0}, 333.15),
        ("NH3-CO2-H2O", {"H2O": 55.51, "NH3": 1.0, "CO2": 0.3}, 393.15),
    ],
)
def test_the_recovery_finds_the_liquid_a_converged_cold_start_finds(systems, chem, app, T):
    s = systems[chem]
    assert not cold_fails(s, app, T)
    cold = np.array(list(s.liquid(T, app).amounts.values()))
    for n, _ in (recovery.solve(s, app, T), recovery._path_in_T(s, app, T)):
        assert n == pytest.approx(cold, rel=1e-9, abs=1e-12 * cold.sum())


def test_a_nearly_dry_hot_ammonia_liquid_is_reached_along_a_path_in_T(nh3_co2):
    # below the front door's input guard (a liquid of at most 100 mol/kg of a solute): the
    # recovery itself, as liquid() runs it on a liquid it accepts. The cold start stalls here;
    # which recovery verifies first depends on the linear algebra's last digits, so the path in
    # T from 298.15 K is run on its own and must reach the liquid the front door verifies
    app = {"H2O": 1e-6, "NH3": 1.0, "CO2": 0.5}
    liq = liquid_state(nh3_co2, app, 423.15)
    assert liq.residual <= nh3_co2.tol
    assert_balanced(liq)
    assert_in_equilibrium(nh3_co2, liq)
    n, _ = recovery._path_in_T(nh3_co2, app, 423.15)
    cold = np.array(list(liq.amounts.values()))
    assert n == pytest.approx(cold, rel=1e-7, abs=1e-12 * cold.sum())


def test_a_recovered_liquid_does_not_depend_on_earlier_calls(mea_h2s):
    first = mea_liquid(mea_h2s, 0.9, 373.15).amounts
    mea_liquid(mea_h2s, 0.3, 363.15)
    mea_h2s.model._warm = (373.15, np.full(7, 0.1), np.zeros(7))  # a stale record left behind
    assert mea_liquid(mea_h2s, 0.9, 373.15).amounts == first


@pytest.mark.parametrize("T", [298.15, 380.0])
def test_a_diverged_speciation_reaches_the_user_as_a_convergence_error(mea_h2s, T):
    # liquid() solves per mole (the same liquid as {"H2O": 1}); the speciation it runs is
    # given the subnormal amount directly
    with pytest.raises(ConvergenceError) as info:
        liquid_state(mea_h2s, {"H2O": 5e-324, "MEA": 0.0, "H2S": 0.0}, T)
    e = info.value
    assert str(e) == (
        f"chemical equilibrium of the liquid not verified at T = {T:g} K for "
        "{H2O: 1}: residual inf (chemical equilibrium of the liquid diverged)"
    )
    assert e.T == T and e.feed == {"H2O": 5e-324, "MEA": 0.0, "H2S": 0.0}
    assert e.residual == math.inf
    assert e.tried == (
        "speciation",
        "speciation, 2000 iterations",
        "Newton with ln gamma in the Jacobian",
    )
    assert isinstance(e.__cause__, ValueError)
    assert str(e.__cause__) == "chemical equilibrium of the liquid diverged"
