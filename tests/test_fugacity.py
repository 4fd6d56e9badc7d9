"""Vapor pressure, liquid fugacities and the bubble pressure of a speciated liquid."""
import math

import numpy as np
import pytest

import conftest as cf
import flash_systems as fs


@pytest.fixture
def mea(activity):
    return fs.electrolyte(cf.mea_system)


def test_psat_extended_antoine(mea):
    # Water: 3170 Pa at 298.15 K and 101 261 Pa at 373.15 K with these coefficients.
    assert mea.psat("H2O", 298.15) == pytest.approx(3170.0, rel=1e-3)
    assert mea.psat("H2O", 373.15) == pytest.approx(101261.0, rel=1e-4)
    c = cf.ANTOINE_MEA
    T = 400.0
    assert mea.psat("MEA", T) == pytest.approx(
        math.exp(c[0] + c[1] / (T + c[2]) + c[3] * T + c[4] * math.log(T) + c[5] * T ** c[6]),
        rel=1e-14)
    mea.antoine["HOT"] = (800.0, 0, 0, 0, 0, 0, 0, 273.0, 900.0)   # entries after the 7th unread
    assert mea.psat("HOT", 300.0) == math.inf
    with pytest.raises(KeyError):
        mea.psat("CO2", 300.0)
    with pytest.raises(IndexError):
        mea.antoine["SHORT"] = (1.0, 2.0)
        mea.psat("SHORT", 300.0)


def test_fugacities_of_the_volatile_molecules_only(mea):
    mea.antoine["MEAH+"] = cf.ANTOINE_MEA        # an ion never gets a fugacity
    mea.antoine["CO2"] = cf.ANTOINE_H2O          # a Henry component takes the Henry route
    T = 320.0
    f, n, lng = mea.fugacities({"H2O": 0.85, "MEA": 0.1, "CO2": 0.04, "N2": 0.01}, T)
    assert list(f) == ["H2O", "MEA", "CO2", "N2"]        # species order, molecules only
    assert isinstance(n, np.ndarray) and isinstance(lng, np.ndarray)
    x = n / n.sum()
    names = mea.names
    for c in ("H2O", "MEA"):
        k = names.index(c)
        assert f[c] == pytest.approx(x[k] * math.exp(lng[k]) * mea.psat(c, T), rel=1e-13)
    for c in ("CO2", "N2"):
        k = names.index(c)
        assert f[c] == pytest.approx(x[k] * math.exp(lng[k] + mea.ln_h_mix(c, x, T)), rel=1e-13)
    # a molecule without vapor-pressure or Henry data is nonvolatile
    del mea.antoine["MEA"]
    f2, _, _ = mea.fugacities({"H2O": 0.85, "MEA": 0.1, "CO2": 0.04, "N2": 0.01}, T)
    assert list(f2) == ["H2O", "CO2", "N2"]


def test_fugacities_depend_on_composition_not_amount(mea):
    app = {"H2O": 0.85, "MEA": 0.1, "CO2": 0.04, "N2": 0.01}
    f1, n1, g1 = mea.fugacities(app, 330.0)
    f2, n2, g2 = mea.fugacities({c: 7.0 * v for c, v in app.items()}, 330.0)
    assert list(f1) == list(f2)
    for c in f1:
        assert f2[c] == pytest.approx(f1[c], rel=1e-8)
    np.testing.assert_allclose(n2, 7.0 * n1, rtol=1e-8)


def test_bubble_pressure(mea):
    P, y, x, g = mea.bubble({"H2O": 0.85, "MEA": 0.1, "CO2": 0.05}, 330.0)
    f, n, lng = mea.fugacities({"H2O": 0.85, "MEA": 0.1, "CO2": 0.05}, 330.0)
    assert P == pytest.approx(sum(f.values()), rel=1e-8)   # second call starts warm
    assert list(y) == list(f) and sum(y.values()) == pytest.approx(1.0, abs=1e-14)
    assert list(x) == list(g) == mea.names                    # ions included
    assert sum(x.values()) == pytest.approx(1.0, abs=1e-14)


def test_bubble_without_volatile_species(activity):
    el = cf.model(cf.water_system)          # water without Antoine data
    P, y, x, g = el.bubble({"H2O": 1.0}, 300.0)
    assert P == 0.0 and y == {}
    assert list(x) == ["H2O", "H3O+", "OH-"]
