"""Ion enthalpy at infinite dilution and the enthalpy of an electrolyte liquid, as bound: the
arguments the binding takes and the calls it makes (the integral of Cp against quadrature:
tests/cpp/enthalpy_tests.cpp)."""

import types

import numpy as np
import pytest

import conftest as cf
import velmora.ionactivity
from velmora import brinequil, phasekit

CP = [1.2e5, -310.0, 0.9, -1.1e-3, 4e-7, 2e-11]
DH_REF = phasekit._dh_ref  # the fixture below records the calls of the module's one


def test_h_aqueous_padding_truncation_and_defaults():
    h = brinequil.h_aqueous
    assert h([], -1.5e8, 400.0) == -1.5e8
    assert h(CP, -1.5e8, 298.15) == -1.5e8
    assert h(CP + [123.0, "never read"], 5.0, 350.0) == h(CP, 5.0, 350.0)
    assert h([7.5e4], 1.0, 310.0) == 1.0 + 7.5e4 * (310.0 - 298.15)
    assert (
        h(tuple(CP[:3]), 0.0, 330.0) == h(iter(CP[:3]), 0.0, 330.0) == h(CP[:3] + [0.0], 0.0, 330.0)
    )
    assert h(CP, 0.0, 330.0) == h(CP, 0.0, 330.0, 298.15) != h(CP, 0.0, 330.0, 300.0)
    assert h(CP, -1.5e8, 350.0, 350.0) == -1.5e8  # at any reference: its value there


NAMES = ["H2O", "CO2", "H+", "HCO3-", "MEA"]
ION = np.array([False, False, True, True, False])


@pytest.fixture
def liquid(monkeypatch):
    """An electrolyte-like record, a package with a component that is no species (NaCl), and an
    activity model whose ln gamma is a/T (a per species), recording its calls."""
    calls = []
    a = np.array([0.3, -1.2, 2.0, 0.7, -0.4])

    def ln_gamma(sp, x, T, *rest):
        calls.append((sp, np.array(x), T, rest))
        return a / T

    monkeypatch.setattr(velmora.ionactivity, "ln_gamma", ln_gamma)
    seen = []
    monkeypatch.setattr(
        phasekit,
        "_dh_ref",
        lambda pp, T, xa, P: seen.append((P, np.array(xa))) or DH_REF(pp, T, xa, P),
    )
    el = types.SimpleNamespace(names=list(NAMES), sp=types.SimpleNamespace(ion=ION, names=NAMES))
    pp = phasekit.PropertyPackage(
        ["H2O", "NaCl", "CO2", "MEA"],
        cpig={"H2O": [33363.0, 2.0], "CO2": [29370.0, 34.5], "MEA": [8e4]},
        DHFORM={"H2O": -241.818e6, "CO2": -393.51e6, "MEA": -2.0e8},
        henry_comps=["CO2"],
        antoine={"H2O": cf.ANTOINE_H2O, "MEA": cf.ANTOINE_MEA},
        henry={("CO2", "H2O"): cf.HENRY_CO2_H2O},
        dhref={"NaCl": -4e6},
    )
    n = np.array([0.8, 0.02, 0.03, 0.03, 0.1])
    return types.SimpleNamespace(el=el, pp=pp, n=n, a=a, calls=calls, seen=seen)


def molecular_part(pp, n, T):
    x = n / n.sum()
    xa = np.array([x[0], 0.0, x[1], x[4]])
    h, _ = phasekit._k_h_ig(T, pp.cpig_kind, pp.cpig, pp.DHFORM)
    dh = DH_REF(pp, T, xa / xa.sum(), None)
    return n[0] * (h[0] + dh[0]) + n[1] * (h[2] + dh[2]) + n[4] * (h[3] + dh[3])


def test_liquid_enthalpy_sums_molecules_ions_and_excess(liquid):
    T = 330.0
    pure = {
        "H+": {"scalar": {"DHF_AQ": [0.0]}},
        "HCO3-": {"tdep": {"CP_AQ": {"coeffs": CP + [9.9]}}, "scalar": {"DHF_AQ": [-6.92e8]}},
    }
    H = brinequil.liquid_enthalpy(liquid.el, liquid.pp, liquid.n, T, pure=pure)  # P omitted
    ions = liquid.n[3] * brinequil.h_aqueous(CP, -6.92e8, T)
    excess = phasekit.R * float(liquid.n @ liquid.a)  # -R T^2 sum n d(a/T)/dT
    assert H == pytest.approx(molecular_part(liquid.pp, liquid.n, T) + ions + excess, rel=1e-9)
    # ln gamma: twice, three arguments, at T +- 0.05 K and the true mole fractions
    assert [c[2] for c in liquid.calls] == [T + 0.05, T - 0.05]
    assert all(c[3] == () and c[0] is liquid.el.sp for c in liquid.calls)
    np.testing.assert_allclose(liquid.calls[0][1], liquid.n / liquid.n.sum(), rtol=1e-15)
    # homogeneous of degree one in the amounts; P goes to the package unchanged
    assert brinequil.liquid_enthalpy(
        liquid.el, liquid.pp, 3 * liquid.n, T, 2e5, pure
    ) == pytest.approx(3 * H, rel=1e-12)
    assert [s[0] for s in liquid.seen] == [None, 2e5]
    # the liquid reference sees the normalised apparent liquid, 0.0 for NaCl (no true species)
    assert all(s[1].sum() == pytest.approx(1.0) and s[1][1] == 0.0 for s in liquid.seen)


def test_liquid_enthalpy_missing_ion_parameters_count_as_zero(liquid, monkeypatch):
    monkeypatch.setattr(velmora.ionactivity, "ln_gamma", lambda sp, x, T: np.zeros(5))
    T = 345.0
    base = molecular_part(liquid.pp, liquid.n, T)

    def f(pure=None):
        return brinequil.liquid_enthalpy(liquid.el, liquid.pp, list(liquid.n), T, pure=pure)

    assert f() == f({}) == f(None) == pytest.approx(base, rel=1e-12)
    assert f({"H+": None, "HCO3-": {"tdep": {"CP_AQ": {}}, "scalar": {"DHF_AQ": []}}}) == f()
    assert f(
        {"HCO3-": {"tdep": {"CP_AQ": {"units": "J"}}, "scalar": {"DHF_AQ": [-6.9e8]}}}
    ) == pytest.approx(base + liquid.n[3] * -6.9e8, rel=1e-12)
    assert f({"H+": {"tdep": {"CP_AQ": {"coeffs": [7e4]}}}}) == pytest.approx(
        base + liquid.n[2] * 7e4 * (T - 298.15), rel=1e-12
    )
