"""Flue gases over amine and water: O2 and Ar as inert Henry gases next to N2."""

import math

import numpy as np
import pytest

import velmora
from conftest import ln_f_gap
from independent import count
from velmora.enginebridge import databank

pytestmark = pytest.mark.filterwarnings("ignore::velmora.errors.RangeWarning")

ATM = 101325.0
C_WATER = 997.05 / 0.018015  # mol/m3 of liquid water at 25 C (Kell 1975, solvents.toml)


@pytest.mark.parametrize("gas, hcp, dlnh", [("O2", 1.3e-5, 1400.0), ("Ar", 1.4e-5, 1400.0)])
def test_henry_constants_against_sanders_compilation(gas, hcp, dlnh):
    # Sander, Atmos. Chem. Phys. 15 (2015) 4399, entry of Fernandez-Prini et al. (2003):
    # Hcp [mol/(m3 Pa)] at 298.15 K (two digits) and d ln Hcp / d(1/T) [K]. Mole-fraction
    # Henry constant H = c_water / Hcp; its d ln H / d(1/T) = -d ln Hcp / d(1/T).
    a, b, c, d = databank.henry(gas, "H2O")[:4]

    def ln_h(T):
        return a + b / T + c * math.log(T) + d * T

    assert math.exp(ln_h(298.15)) == pytest.approx(C_WATER / hcp, rel=0.04)
    slope = (ln_h(298.15 + 0.5) - ln_h(298.15 - 0.5)) / (1 / 298.65 - 1 / 297.65)
    assert slope == pytest.approx(-dlnh, abs=60.0)


def test_ideal_gas_heat_capacities_of_o2_and_ar():
    # O2: NIST Chemistry WebBook Shomate equation (100-700 K), t = T/1000
    A, B, C, D, E = 31.32234, -20.23531, 57.86644, -36.50624, -0.007374
    a, b, c, d = databank.cpig("O2")
    for T in (300.0, 400.0, 600.0):
        t = T / 1000
        assert (a + b * T + c * T * T + d * T**3) / 1e3 == pytest.approx(
            A + B * t + C * t * t + D * t**3 + E / t**2, rel=0.01
        )
    assert databank.cpig("Ar") == pytest.approx([2.5 * 8.314462e3, 0, 0, 0], abs=1.0)
    assert databank.dhform("O2") == 0.0 and databank.dhform("Ar") == 0.0


@pytest.fixture(scope="module")
def mea():
    return velmora.System("MEA-CO2-H2O", gases=["N2", "O2", "Ar"])


@pytest.fixture(scope="module")
def mdea():
    return velmora.System("MDEA-CO2-H2O", gases=["N2", "O2", "Ar"])


def flue_feed(system, gas_per_liquid, amine="MEA", w=0.3):
    """Lean amine (loading 0.2; 30 wt% MEA) with a flue gas of 12 % CO2, 7 % H2O, 4 % O2, 1 % Ar,
    N2 the rest, `gas_per_liquid` mol of gas per mol of apparent liquid."""
    liq = system.composition(mass_fractions={amine: w}, loading=0.2)
    g = gas_per_liquid * sum(liq.values())
    feed = dict(liq)
    for c, share in (("CO2", 0.12), ("H2O", 0.07), ("O2", 0.04), ("Ar", 0.01), ("N2", 0.76)):
        feed[c] = feed.get(c, 0.0) + share * g
    return feed


@pytest.mark.parametrize(
    "amine, T, ratio",
    [("MEA", 313.15, 1.0), ("MEA", 323.15, 0.3), ("MEA", 333.15, 3.0), ("MDEA", 313.15, 0.3)],
)
def test_flue_gas_flash_over_amine_is_verified_and_conserves_elements(request, amine, T, ratio):
    s = request.getfixturevalue(amine.lower())
    feed = flue_feed(s, ratio, amine, 0.3 if amine == "MEA" else 0.237)
    r = s.flash(feed, ATM, T=T)
    assert r.converged and r.residual <= s.tol and 0.0 < r.vapor_fraction < 1.0
    assert ln_f_gap(s, r) < 1e-5  # fugacities recomputed from the core's pieces
    # elements: the feed = (1 - beta) x true liquid species + beta x vapor
    tot = sum(feed.values())
    z = count({c: v / tot for c, v in feed.items()})
    liq = count(r.liquid.amounts)
    vap = count(r.vapor)
    n_liq = sum(r.liquid.apparent.values())
    for el in ("C", "H", "N", "O", "Ar"):
        got = (1 - r.vapor_fraction) * liq.get(el, 0.0) / n_liq + r.vapor_fraction * vap.get(
            el, 0.0
        )
        assert got == pytest.approx(z[el], rel=1e-6, abs=1e-12), el
    # the inert gases stay almost entirely in the vapor; the lean solvent takes up CO2
    for c in ("N2", "O2", "Ar"):
        assert r.vapor_fraction * r.vapor[c] / (feed[c] / tot) > 0.999
    assert r.x["CO2"] / r.x[amine] > 0.2


def test_dissolved_o2_and_ar_in_water_follow_henrys_law():
    # air-like gas over pure water at 25 C: x = y P / H with the compilation's Hcp (Sander 2015)
    w = velmora.System("water", gases=["N2", "O2", "Ar"])
    r = w.flash({"H2O": 1.0, "N2": 0.78, "O2": 0.21, "Ar": 0.01}, ATM, T=298.15)
    assert r.residual <= w.tol
    for gas, hcp in (("O2", 1.3e-5), ("Ar", 1.4e-5)):
        assert r.x[gas] == pytest.approx(r.vapor[gas] * ATM * hcp / C_WATER, rel=0.05)
    # argon dissolves best per unit partial pressure, nitrogen least
    per_p = {g: r.x[g] / r.vapor[g] for g in ("N2", "O2", "Ar")}
    assert per_p["Ar"] > per_p["O2"] > per_p["N2"]
    assert np.isclose(sum(r.x.values()), 1.0) and np.isclose(sum(r.vapor.values()), 1.0)
