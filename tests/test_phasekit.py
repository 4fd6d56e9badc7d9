"""The host package's property package: Rachford-Rice, ideal-gas and liquid-reference
thermodynamics, the temperature solver and its flash."""

import math
import types

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import flash_systems as fs
from velmora import phasekit as pk

ANTOINE, HENRY = fs.ANTOINE, fs.HENRY


def package(**kw):
    tables = types.SimpleNamespace(antoine=ANTOINE, henry=HENRY, vc=fs.VC)
    return fs.package(tables, ["H2O", "MEA", "CO2", "N2"], **kw)


@pytest.mark.parametrize(
    "z,K,where",
    [
        ([0.5, 0.5], [0.9, 1.05], "liquid"),
        ([0.5, 0.5], [1.2, 0.99], "vapor"),
        ([0.5, 0.0, 0.5], [3.0, 1e-9, 0.5], "two-phase"),  # z = 0: left out, no pole of its own
        ([0.5, 0.5], [0.5, 0.0], -math.inf),  # every K below 1
        ([0.5, 0.5], [1.5, 3.0], math.inf),
    ],
)
def test_rachford_rice_root_is_unclipped(z, K, where):
    z, K = np.array(z), np.array(K)
    beta = pk._k_rachford_rice(z, K)
    if isinstance(where, float):
        assert beta == where
        return
    on = z > 0
    assert abs(np.sum(z[on] * (K[on] - 1) / (1 + beta * (K[on] - 1)))) < 1e-12
    assert {"two-phase": 0 < beta < 1, "liquid": beta < 0, "vapor": beta > 1}[where]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.floats(1e-6, 1.0), st.floats(0.0, 1e6)), min_size=2, max_size=8))
def test_rachford_rice_root_on_random_feeds(pairs):
    z, K = np.array(pairs).T
    beta = pk._k_rachford_rice(z, K)
    if K.max() <= 1.0 or K.min() >= 1.0:
        assert beta in (0.0, -math.inf, math.inf)
        return
    d = K - 1.0
    assert -1.0 / d.max() < beta < -1.0 / d.min()  # between the poles

    def g(b):  # falls from +inf to -inf
        return float(np.sum(z * d / (1 + b * d)))

    delta = 1e-12 * max(1.0, abs(beta))
    assert g(beta - delta) >= 0.0 >= g(beta + delta)


@pytest.mark.parametrize(
    "kind,coeffs",
    [
        ("poly", [29000.0, 12.0, -3e-3, 4e-6]),
        ("aly-lee", [33363.0, 26790.0, 2610.5, 8896.0, 1169.0]),
    ],
)
def test_ideal_gas_enthalpy_and_entropy_integrate_cp(kind, coeffs):
    T, d = 420.0, 1e-3
    h, s = pk._k_h_ig(T, kind, [coeffs], [-1.5e8])
    hp, sp = pk._k_h_ig(T + d, kind, [coeffs], [-1.5e8])
    hm, sm = pk._k_h_ig(T - d, kind, [coeffs], [-1.5e8])
    cp = (hp[0] - hm[0]) / (2 * d)
    assert cp == pytest.approx((sp[0] - sm[0]) / (2 * d) * T, rel=1e-6)
    h0, s0 = pk._k_h_ig(298.15, kind, [coeffs], [-1.5e8])
    assert (h0[0], s0[0]) == pytest.approx((-1.5e8, 0.0), abs=1e-6)
    if kind == "aly-lee":  # water vapor, DIPPR form; 34.38 kJ/(kmol K) at 420 K (NIST)
        assert cp == pytest.approx(34.38e3, rel=0.005)


def test_liquid_reference_enthalpies():
    pp = package()
    dh = pk._dh_ref(pp, 373.15, [0.9, 0.1, 0.0, 0.0], None)
    assert -dh[0] == pytest.approx(40.66e6, rel=0.02)  # heat of vaporisation of water
    dh = pk._dh_ref(pp, 298.15, [0.9, 0.1, 0.0, 0.0], None)
    assert -dh[2] == pytest.approx(19.9e6, rel=0.1)  # heat of solution of CO2 in water
    salt = pk.PropertyPackage(["H2O", "NaCl"], antoine=ANTOINE, dhref={"NaCl": -4.0e6})
    assert pk._dh_ref(salt, 300.0, [0.9, 0.1], None)[1] == -4.0e6


def test_pure_liquid_and_its_vapor_have_one_gibbs_energy_at_saturation():
    pp = pk.PropertyPackage(["H2O"], cpig=[[33363.0, 2.0]], DHFORM=[-241.818e6], antoine=ANTOINE)
    T = 360.0
    psat = math.exp(pk._ln_f0(pp, T, [1.0])[0][0])
    h, _ = pk._k_h_ig(T, pp.cpig_kind, pp.cpig, pp.DHFORM)
    gl = h[0] + pk._dh_ref(pp, T, [1.0], psat)[0] - T * pk.entropy_liquid(pp, T, [1.0], psat)
    gv = pk.enthalpy_vapor(pp, T, [1.0], psat) - T * pk.entropy_vapor(pp, T, [1.0], psat)
    assert gl == pytest.approx(gv, abs=1e-6 * abs(gv))


def test_solve_T_brackets_and_converges():
    assert pk._solve_T(lambda t: t**2, 400.0**2, 350.0) == pytest.approx(400.0, abs=1e-9)
    assert pk._solve_T(math.log, math.log(120.0), 350.0) == pytest.approx(120.0, abs=1e-9)
    with pytest.raises(ValueError, match="no temperature"):
        pk._solve_T(lambda t: 1.0, 2.0, 350.0)


def test_solve_T_takes_few_evaluations_and_survives_kinks():
    # An enthalpy-like curve (cp growing with T): the slope, one bracketing secant step and a
    # few Brent steps -- each evaluation being a whole flash.
    calls = []

    def h(t):
        calls.append(t)
        return 75.0e3 * t + 40.0 * t**2

    target = h(353.15)
    calls.clear()
    assert pk._solve_T(h, target, 300.0) == pytest.approx(353.15, abs=1e-9)
    assert len(calls) <= 8 and len(set(calls)) == len(calls)

    # A vapor-fraction-like function: the distance below a kink, then a steep rise that levels off
    # at 1; and a target reached only far from the start.
    def beta(t):
        return t - 340.0 if t <= 340.0 else min(1.0, 0.02 * (t - 340.0) ** 1.5)

    assert beta(pk._solve_T(beta, 0.999999999, 345.0)) == pytest.approx(0.999999999, abs=1e-9)
    assert pk._solve_T(lambda t: t, 900.0, 300.0) == pytest.approx(900.0, abs=1e-9)


@pytest.mark.parametrize(
    "vapor,T,P",
    [
        ("ideal", 300.0, 101325.0),
        ("ideal", 365.0, 101325.0),
        ("ideal", 385.0, 101325.0),
        ("ideal", 450.0, 101325.0),
        ("virial", 410.0, 5e5),
    ],
)
def test_flash_balances_and_inverts(vapor, T, P):
    pp = package(vapor=vapor, crit=fs.CRIT)
    z = np.array([0.8, 0.1, 0.05, 0.05])
    r = pk.flash(pp, 2 * z, P, T=T)
    assert list(r) == ["beta", "x", "y", "H", "S", "iterations", "T", "P"]
    assert vapor == "ideal" or 0 < r["beta"] < 1
    np.testing.assert_allclose(r["beta"] * r["y"] + (1 - r["beta"]) * r["x"], z, atol=1e-12)
    assert pk.flash(pp, z, P, H=r["H"])["T"] == pytest.approx(T, abs=1e-6)
    assert pk.flash(pp, z, P, S=r["S"])["T"] == pytest.approx(T, abs=1e-6)


def test_ideal_flash_at_each_given_quantity():
    pp = package()
    z = [0.9, 0.1, 0.0, 0.0]
    with pytest.raises(ValueError, match="^Give one of T, H, S, beta$"):
        pk.flash(pp, z, 101325.0)
    r0 = pk.flash(pp, z, 101325.0, beta=0.0)
    assert r0["beta"] == 0.0
    assert pk.flash(pp, z, 101325.0, T=r0["T"] - 0.01)["beta"] == 0.0
    r = pk.flash(pp, z, 101325.0, beta=0.4)
    assert r["beta"] == pytest.approx(0.4, abs=1e-9) and r["T"] > r0["T"]
    assert pk.flash(pp, z, 101325.0, beta=1.0)["beta"] == pytest.approx(0.999999999, abs=1e-9)


@pytest.mark.parametrize(
    "z,P,kw,message",
    [
        ([0.9, 0.1, 0, 0], -1.0, dict(T=330.0), "P must be a finite pressure above 0 Pa, not -1.0"),
        ([0.9, 0.1, 0, 0], 0, dict(T=330.0), "P must be a finite pressure above 0 Pa, not 0.0"),
        (
            [0.9, 0.1, 0, 0],
            math.inf,
            dict(T=330.0),
            "P must be a finite pressure above 0 Pa, not inf",
        ),
        ([0.9, 0.1, 0, 0], None, dict(T=330.0), "P must be a finite pressure above 0 Pa, not None"),
        (
            [0.9, 0.1, 0, 0],
            1e5,
            dict(T=math.nan),
            "T must be a finite temperature above 0 K, not nan",
        ),
        (
            [0.9, 0.1, 0, 0],
            1e5,
            dict(T=-math.inf),
            "T must be a finite temperature above 0 K, not -inf",
        ),
        ([0.9, 0.1, 0, 0], 1e5, dict(T=0.0), "T must be a finite temperature above 0 K, not 0.0"),
        (
            [0.9, 0.1, 0, 0],
            1e5,
            dict(T=np.float64(-5)),
            "T must be a finite temperature above 0 K, not -5.0",
        ),
        ([0.9, 0.1, 0, 0], 1e5, dict(H=math.nan), "H must be a finite number, not nan"),
        ([0.9, 0.1, 0, 0], 1e5, dict(beta=math.inf), "beta must be a finite number, not inf"),
        (
            [0.9, 0.2, -0.1, 0],
            1e5,
            dict(T=330.0),
            "z must be finite and non-negative: z['CO2'] = -0.1",
        ),
        (
            [0.9, math.nan, 0, 0],
            1e5,
            dict(T=330.0),
            "z must be finite and non-negative: z['MEA'] = nan",
        ),
        (
            [0.9, 0.1, 0],
            1e5,
            dict(T=330.0),
            "z needs one amount per component of the package (4), not 3",
        ),
        (
            [[0.9, 0.1], [0, 0]],
            1e5,
            dict(T=330.0),
            "z needs one amount per component of the package (4), not an array of shape (2, 2)",
        ),
        (
            ["H2O", 1, 0, 0],
            1e5,
            dict(T=330.0),
            "z must be a sequence of 4 numbers, one per component",
        ),
        (
            [0, 0.0, 0, 0],
            1e5,
            dict(T=330.0),
            "z is all zero: the feed needs a positive amount of some component",
        ),
    ],
)
def test_flash_refuses_bad_inputs_before_any_computation(z, P, kw, message):
    # the attached model must not be reached: every input is checked first
    model = types.SimpleNamespace(flash=lambda *a, **k: pytest.fail("model called"))
    for pp in (package(), package(elec=model)):
        with pytest.raises(ValueError) as err:
            pk.flash(pp, z, P, **kw)
        assert str(err.value) == message


def test_flash_hands_the_liquid_to_an_attached_model():
    calls = []
    model = types.SimpleNamespace(flash=lambda *a, **kw: calls.append((a, kw)) or "model result")
    pp = package(elec=model)
    assert pk.flash(pp, [1, 0, 0, 0], 2e5, H=-2e8) == "model result"
    assert calls == [((pp, [1, 0, 0, 0], 2e5), dict(T=None, H=-2e8, S=None, beta=None))]


def test_virial_vapor_coefficients_and_consistency():
    pp = package(vapor="virial", crit=fs.CRIT)
    # pure CO2 at 300 K: B = -122 cm3/mol (Dymond & Smith 1980); ln phi = B P / R T
    lnphi = pk.phi_vapor(pp, [0, 0, 1, 0], 300.0, 1e5)
    assert lnphi[2] * pk.R * 300.0 / 1e5 == pytest.approx(-0.122, rel=0.03)
    # mixture: sum y ln phi = B_mix P / R T, and H^R = -R T^2 d(sum y ln phi)/dT at fixed P, y
    y, P, T = np.array([0.3, 0.0, 0.2, 0.5]), 3e5, 350.0

    def g(t):
        return float(y @ pk.phi_vapor(pp, y, t, P))

    B, _ = pk._virial(pp, T)
    assert g(T) == pytest.approx(float(y @ B @ y) * P / (pk.R * T), rel=1e-12)
    hr = -pk.R * T * T * (g(T + 1e-3) - g(T - 1e-3)) / 2e-3
    ideal = package()
    assert pk.enthalpy_vapor(pp, T, y, P) - pk.enthalpy_vapor(ideal, T, y, P) == pytest.approx(
        hr, rel=1e-6
    )
    sr = pk.entropy_vapor(pp, T, y, P) - pk.entropy_vapor(ideal, T, y, P)
    assert sr == pytest.approx((hr - pk.R * T * g(T)) / T, rel=1e-6)
    assert pk.phi_vapor(pp, y, T, P)[1] == pytest.approx(-g(T))  # no critical data: B_kj = 0
    with pytest.raises(ValueError, match="unknown vapor model"):
        package(vapor="cubic")
