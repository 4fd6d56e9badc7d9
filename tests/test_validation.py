"""The databank and the model against published measurements (shared validation set)."""

import math

import pytest

from velmora.enginebridge import databank

LN10 = math.log(10.0)
MOL_PER_KG_WATER = 1000.0 / 18.015


def ln_k(rid, T):
    r = databank.reaction_record(rid)
    return r["A"] + r["B"] / T + r["C"] * math.log(T) + r["D"] * T


def ln_henry(solute, T):
    a, b, c, d = databank.henry(solute, "H2O")[:4]
    return a + b / T + c * math.log(T) + d * T


def test_pkw_at_25c_from_the_water_constant():
    # K_x = x_H3O x_OH / x_w^2 -> molality basis: Kw = K_x * (1000/M_w)^2 (x_w = 1)
    pkw = -(ln_k("WATER", 298.15) + 2 * math.log(MOL_PER_KG_WATER)) / LN10
    assert pkw == pytest.approx(14.0, abs=0.05)
    assert pkw == pytest.approx(13.995, abs=0.01)  # Marshall & Franck 1981


def test_co2_solubility_in_water_at_25c_and_1_atm():
    # Carroll, Slupsky & Mather 1991: x_CO2 = 6.22e-4 at p_CO2 = 101.325 kPa. Dissolved CO2 is
    # dilute (gamma* = 1) and its ionisation adds ~0.2 % (pH ~ 3.9): x = p/H.
    x = 101325.0 / math.exp(ln_henry("CO2", 298.15))
    assert x == pytest.approx(6.22e-4, rel=0.05)
