"""Vapor pressure, liquid fugacities and the bubble pressure of a speciated liquid."""

import math

import numpy as np
import pytest

import conftest as cf
import flash_systems as fs

LIQUID = {"H2O": 0.85, "MEA": 0.1, "CO2": 0.04, "N2": 0.01}


@pytest.fixture
def mea(activity):
    return fs.electrolyte(cf.mea_system)


def test_psat_extended_antoine(mea):
    # Water: 3170 Pa at 298.15 K and 101 261 Pa at 373.15 K with these coefficients.
    assert mea.psat("H2O", 298.15) == pytest.approx(3170.0, rel=1e-3)
    assert mea.psat("H2O", 373.15) == pytest.approx(101261.0, rel=1e-4)
    mea.antoine["HOT"] = (800.0, 0, 0, 0, 0, 0, 0, 273.0, 900.0)  # entries after the 7th unread
    assert mea.psat("HOT", 300.0) == math.inf
    with pytest.raises(KeyError):
        mea.psat("CO2", 300.0)
    mea.antoine["SHORT"] = (1.0, 2.0)
    with pytest.raises(IndexError):
        mea.psat("SHORT", 300.0)


def test_fugacities_of_the_volatile_molecules_only(mea):
    mea.antoine["MEAH+"] = cf.ANTOINE_MEA  # an ion never gets a fugacity
    mea.antoine["CO2"] = cf.ANTOINE_H2O  # a Henry component takes the Henry route
    T = 320.0
    f, n, lng = mea.fugacities(LIQUID, T)
    assert list(f) == ["H2O", "MEA", "CO2", "N2"]  # species order, molecules only
    assert isinstance(n, np.ndarray) and isinstance(lng, np.ndarray)
    x, k = n / n.sum(), [mea.names.index(c) for c in f]
    ref = [mea.ln_h_mix(c, x, T) if c in ("CO2", "N2") else math.log(mea.psat(c, T)) for c in f]
    np.testing.assert_allclose(list(f.values()), x[k] * np.exp(lng[k] + ref), rtol=1e-13)
    # intensive: seven times the liquid, the same fugacities and seven times the true amounts
    f7, n7, _ = mea.fugacities({c: 7.0 * v for c, v in LIQUID.items()}, T)
    np.testing.assert_allclose(list(f7.values()), list(f.values()), rtol=1e-8)
    np.testing.assert_allclose(n7, 7.0 * n, rtol=1e-8)
    # a molecule without vapor-pressure or Henry data is nonvolatile
    del mea.antoine["MEA"]
    assert list(mea.fugacities(LIQUID, T)[0]) == ["H2O", "CO2", "N2"]


def test_bubble_pressure(mea):
    P, y, x, g = mea.bubble(LIQUID, 330.0)
    f, _, _ = mea.fugacities(LIQUID, 330.0)
    assert P == pytest.approx(sum(f.values()), rel=1e-8)  # second call starts warm
    assert list(y) == list(f) and sum(y.values()) == pytest.approx(1.0, abs=1e-14)
    assert list(x) == list(g) == mea.names  # ions included
    assert sum(x.values()) == pytest.approx(1.0, abs=1e-14)
    water = cf.model(cf.water_system)  # no Antoine data: nothing volatile
    assert water.bubble({"H2O": 1.0}, 300.0)[:2] == (0.0, {})
