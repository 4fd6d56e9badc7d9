"""K-values, the TP flash, the Newton split, the bubble temperature and the flash with a T, H, S
or vapor fraction given, for an electrolyte liquid."""
import math

import numpy as np
import pytest

import conftest as cf
import flash_systems as fs
from velmora import brinequil, phasekit

P = 101325.0
COMPS = ["H2O", "MEA", "CO2", "N2"]
Z_MEA = np.array([0.80, 0.10, 0.04, 0.06])


@pytest.fixture
def mea(activity):
    el = fs.electrolyte(cf.mea_system)
    return el, fs.package(el, COMPS)


@pytest.fixture
def carbonate(activity):
    el = fs.electrolyte(cf.carbonate_system)
    return el, fs.package(el, ["H2O", "CO2", "N2"])


# ---------------------------------------------------------------------------- K-values

def test_kvalues_are_liquid_over_vapor_fugacity(mea, monkeypatch):
    el, pp = mea
    lnphi = np.array([-0.05, 0.1, -0.02, 0.01])
    seen = []

    def phi(pp_, y, T, P_):
        seen.append(np.array(y))
        return lnphi

    monkeypatch.setattr(phasekit, "phi_vapor", phi)
    xa = np.array([0.85, 0.1, 0.05, 0.0])
    y = np.array([0.5, 0.01, 0.3, 0.19])
    K, n = el.kvalues(pp, xa, y, 330.0, P)
    xn = np.maximum(xa, 1e-12) / np.maximum(xa, 1e-12).sum()
    f, n_ref, _ = el.fugacities(dict(zip(COMPS, xn)), 330.0)
    for k, c in enumerate(COMPS):
        assert K[k] == pytest.approx(f[c] / (xn[k] * math.exp(lnphi[k]) * P), rel=1e-8)
    assert np.isfinite(K[3]) and K[3] > 1e3          # absent N2: its dilute-limit K
    np.testing.assert_allclose(seen[0], y)           # the vapor goes to the vapor model as given
    np.testing.assert_allclose(n, n_ref, rtol=1e-8)
    t = dict(zip(el.names, n))                        # per unit of apparent liquid
    assert t["MEA"] + t["MEAH+"] + t["MEACOO-"] == pytest.approx(xn[1], rel=1e-8)
    K4, n4 = el.kvalues(pp, 4 * xa, y, 330.0, P)      # scale of xa: no change but at traces
    np.testing.assert_allclose(K4[:3], K[:3], rtol=1e-7)
    np.testing.assert_allclose(n4[:3], n[:3], rtol=1e-7)


def test_kvalues_zero_without_a_liquid_fugacity(mea):
    el, pp = mea
    del el.antoine["MEA"]                             # MEA becomes nonvolatile
    K, _ = el.kvalues(pp, [0.8, 0.2, 0.0, 0.0], [0.25] * 4, 330.0, P)
    assert K[1] == 0.0 and np.all(K[[0, 2, 3]] > 0)
    K0, n0 = el.kvalues(pp, [0.0] * 4, [0.25] * 4, 330.0, P)        # all zero: equimolar
    K1, n1 = el.kvalues(pp, [0.25] * 4, [0.25] * 4, 330.0, P)
    np.testing.assert_allclose(K0, K1, rtol=1e-7)
    with pytest.raises(IndexError):
        el.kvalues(pp, [0.9, 0.1], [0.25] * 4, 330.0, P)            # a volatile past the end


# ---------------------------------------------------------------------------- TP flash

def balance(r, z):
    z = np.asarray(z, float) / np.sum(z)
    np.testing.assert_allclose(r["beta"] * r["y"] + (1 - r["beta"]) * r["x"], z, atol=1e-9)


@pytest.mark.parametrize("T", [330.0, 380.0])
def test_flash_tp_result(mea, T):
    el, pp = mea
    r = el.flash_tp(pp, 3 * Z_MEA, int(T), int(P))
    assert list(r) == ["beta", "x", "y", "H", "S", "iterations", "T", "P", "true"]
    assert type(r["T"]) is float and type(r["P"]) is float and type(r["iterations"]) is int
    assert isinstance(r["x"], np.ndarray) and isinstance(r["y"], np.ndarray)
    assert list(r["true"]) == el.names
    assert 0.0 < r["beta"] < 1.0
    balance(r, Z_MEA)
    assert r["x"].sum() == pytest.approx(1.0) and r["y"].sum() == pytest.approx(1.0)
    # phase equilibrium of the volatile components at the result
    K, n = el.kvalues(pp, r["x"], r["y"], T, P)
    np.testing.assert_allclose(K * r["x"], r["y"], rtol=1e-6)
    # the true liquid holds the apparent liquid's elements: MEA in all its forms
    t = r["true"]
    assert t["MEA"] + t["MEAH+"] + t["MEACOO-"] == pytest.approx(r["x"][1], rel=1e-8)
    r2 = el.flash_tp(pp, Z_MEA, T, P, maxit=3)
    assert r2["beta"] == pytest.approx(r["beta"], abs=1e-9)


def test_flash_tp_newton_split_counts_its_evaluations(mea):
    el, pp = mea
    calls = []
    split = type(el)._flash_newton

    def recorded(*args):
        out = split(el, *args)
        calls.append(out[4])
        return out

    el._flash_newton = recorded
    r = el.flash_tp(pp, Z_MEA, 380.0, P)
    assert len(calls) == 1 and calls[0] > 0
    assert r["iterations"] == 15 + calls[0]
    balance(r, Z_MEA)


def test_flash_tp_one_phase_results(mea):
    el, pp = mea
    # cold: all liquid without a substitution step
    z = np.array([0.85, 0.1, 0.05, 0.0])
    r = el.flash_tp(pp, z, 280.0, 5 * P)
    assert (r["beta"], r["iterations"]) == (0.0, 1)
    np.testing.assert_allclose(r["x"], z)
    np.testing.assert_allclose(r["y"], z)
    n = np.array(list(r["true"].values()))
    assert r["H"] == pytest.approx(brinequil.liquid_enthalpy(el, pp, n, 280.0, 5 * P, el.pure),
                                   rel=1e-12)
    assert r["S"] == pytest.approx(phasekit.entropy_liquid(pp, 280.0, z, 5 * P), rel=1e-12)
    # hot: all vapor
    r = el.flash_tp(pp, Z_MEA, 600.0, P)
    assert r["beta"] == 1.0
    np.testing.assert_allclose(r["y"], Z_MEA)
    assert r["H"] == pytest.approx(phasekit.enthalpy_vapor(pp, 600.0, Z_MEA, P), rel=1e-12)
    assert r["S"] == pytest.approx(phasekit.entropy_vapor(pp, 600.0, Z_MEA, P), rel=1e-12)


@pytest.mark.parametrize("k_mea,beta", [(0.0, 0.999999999999), (0.01, 1.0)])
def test_flash_tp_nonvolatile_cap(mea, k_mea, beta):
    """A split whose vapor fraction rounds to 1.0: capped while a component with K = 0 is in the
    feed (the liquid then enters with the weight 1e-12)."""
    el, pp = mea
    n = el.true_amounts(dict(zip(COMPS, Z_MEA)), 400.0)[0]
    calls = []

    def kvalues(pp_, x, y, T, P_):       # never settles: the substitution runs all 15 steps
        calls.append(T)
        return np.array([3.0, k_mea, 8.0, 50.0]) * (1.0 + 0.01 * (-1) ** len(calls)), n

    el.kvalues = kvalues
    el._flash_newton = lambda pp_, z, T, P_, v0, tol: (1.0, np.full(4, 0.25), z.copy(), n, 7)
    r = el.flash_tp(pp, Z_MEA, 400.0, P)
    assert r["beta"] == beta and r["iterations"] == 15 + 7 and len(calls) == 16
    np.testing.assert_allclose(r["y"], Z_MEA)
    h_v = phasekit.enthalpy_vapor(pp, 400.0, Z_MEA, P)
    if beta < 1.0:
        h_l = brinequil.liquid_enthalpy(el, pp, n, 400.0, P, el.pure)
        assert r["H"] == pytest.approx(beta * h_v + (1 - beta) * h_l, rel=1e-15)
    else:
        assert r["H"] == h_v


def test_flash_tp_checks_the_feed_length(mea):
    el, pp = mea
    with pytest.raises(IndexError):
        el.flash_tp(pp, [0.8, 0.2], 330.0, P)


# ---------------------------------------------------------------------------- Newton split

def test_newton_split_solves_the_equilibrium(mea):
    el, pp = mea
    T = 370.0
    z = np.array([0.8, 0.1, 0.1, 0.0])
    r = el.flash_tp(pp, z, T, P)
    beta, x, y, n, nfev = el._flash_newton(pp, z, T, P, r["beta"] * r["y"] * 0.9, 1.0)
    assert beta == pytest.approx(r["beta"], rel=1e-8) and nfev > 0
    assert y[3] == 1e-300 and x[3] < 1e-290                    # z = 0: no variable
    np.testing.assert_allclose(beta * y[:3] + (1 - beta) * x[:3], z[:3], atol=1e-12)
    f, _, _ = el.fugacities(dict(zip(COMPS, x)), T)
    for k, c in enumerate(COMPS[:3]):
        assert f[c] == pytest.approx(y[k] * P, rel=1e-7)


def test_newton_split_failures(mea):
    el, pp = mea
    pp2 = fs.package(el, ["H2O", "NaCl"])
    with pytest.raises(ValueError, match="'NaCl' is not in list"):
        el._flash_newton(pp2, [0.9, 0.1], 380.0, P, [0.1, 0.0], 1e-9)
    el.fugacities = lambda app, T: ({c: 1e4 for c in COMPS}, np.ones(10), np.zeros(10))
    with pytest.raises(ValueError, match="^two-phase split of the electrolyte liquid diverged$"):
        el._flash_newton(pp, Z_MEA, 380.0, P, [np.nan, 0.01, 0.01, 0.01], 1e-9)


# ---------------------------------------------------------------------------- bubble temperature

@pytest.mark.parametrize("Tb,search", [
    (350.0, [330, 370]),
    (395.0, [330, 370, 330, 370, 390, 370, 390, 410]),
    (300.0, [330, 330, 310, 310, 290, 310]),
])
def test_bubble_temperature_window_search(mea, Tb, search):
    """Windows (330, 370), then 20 K steps; f(lo) is evaluated again for every rejected
    window."""
    el, pp = mea
    temps, vapors = [], []

    def kvalues(pp_, x, y, T, P_):
        temps.append(T)
        vapors.append(np.array(y))
        return np.array([2.0, 0.5, 0.0, 0.0]) * math.exp(0.05 * (T - Tb)) / 1.25, np.ones(10)

    el.kvalues = kvalues
    x = np.array([0.5, 0.5, 0.0, 0.0])
    T, y = el.bubble_t(pp, x, P)
    assert T == pytest.approx(Tb, abs=1e-8)
    assert y.sum() == pytest.approx(1.0) and y[0] == pytest.approx(0.8)
    assert all(np.array_equal(v, x) for v in vapors)
    assert temps[:len(search)] == search
    assert all(search[-2] <= t <= search[-1] for t in temps[len(search):])


def test_bubble_temperature_window_end_at_the_root(mea):
    """f = 0 exactly at lo is no sign change: the windows move on, cycle, and the root finder
    gets the last window unchecked."""
    el, pp = mea
    temps = []

    def kvalues(pp_, x, y, T, P_):
        temps.append(T)
        return np.array([1.6, 0.4, 0.0, 0.0]) * math.exp(0.05 * (T - 330.0)), np.ones(10)

    el.kvalues = kvalues
    with pytest.raises(ValueError, match="no sign change between 350 and 370"):
        el.bubble_t(pp, [0.5, 0.5, 0.0, 0.0], P)
    assert temps[:8] == [330, 330, 370, 370, 350, 350, 330, 330]


def test_bubble_temperature_of_the_real_liquid(mea):
    el, pp = mea
    x = np.array([0.86, 0.1, 0.04, 0.0])
    T, y = el.bubble_t(pp, x, P)
    Pb, yb, _, _ = el.bubble(dict(zip(COMPS, x)), T)
    assert Pb == pytest.approx(P, rel=1e-6)
    assert y[1] == pytest.approx(yb["MEA"], rel=1e-5) and y[3] == 0.0


def test_bubble_temperature_without_volatile_components(activity):
    el = cf.model(cf.water_system)
    pp = phasekit.PropertyPackage(["H2O"])
    with pytest.raises(ValueError, match="no sign change"):
        el.bubble_t(pp, [1.0], P)


# ---------------------------------------------------- flash at a given T, H, S or beta

def test_flash_given_quantity_priority(carbonate):
    el, pp = carbonate
    z = [0.9, 0.03, 0.07]
    r = el.flash_tp(pp, z, 340.0, P)
    # a given T needs no start: T0 is not even converted then
    assert el.flash(pp, z, P, T=340.0, H=0.0, S=0.0, beta=0.5, T0="unused")["T"] == 340.0
    assert el.flash(pp, z, P, H=r["H"], S=0.0, beta=0.5)["T"] == pytest.approx(340.0, abs=1e-6)
    assert el.flash(pp, z, P, S=r["S"], beta=0.5)["T"] == pytest.approx(340.0, abs=1e-6)
    with pytest.raises(ValueError, match="^Give one of T, H, S, beta$"):
        el.flash(pp, z, P)


@pytest.mark.parametrize("T", [300.0, 345.0, 371.0, 420.0])
def test_flash_energy_balance(carbonate, T):
    el, pp = carbonate
    z = [0.9, 0.03, 0.07]
    H = el.flash_tp(pp, z, T, P)["H"]
    assert el.flash(pp, z, P, H=H)["T"] == pytest.approx(T, abs=1e-6)


def test_flash_vapor_fraction(carbonate):
    el, pp = carbonate
    z = np.array([0.9, 0.03, 0.07])
    starts = []
    real = type(el).bubble_t

    def bubble_t(pp_, x, P_, T0=350.0):
        starts.append(T0)
        return real(el, pp_, x, P_, T0)

    el.bubble_t = bubble_t
    Tb = real(el, pp, z, P)[0]
    r0 = el.flash(pp, z, P, beta=-0.5, T0=0)
    assert r0["beta"] == 0.0 and r0["T"] == pytest.approx(Tb, abs=1e-9) and starts == [350.0]
    r = el.flash(pp, 2 * z, P, beta=0.5, T0=330.0)
    assert starts[-1] == 330.0
    assert r["beta"] == pytest.approx(0.5, abs=1e-8) and r["T"] > Tb
    balance(r, z)
    r1 = el.flash(pp, z, P, beta=1.0)
    assert r1["beta"] == pytest.approx(0.999999999, abs=1e-9)


def test_flash_energy_balance_with_a_virial_vapor(activity):
    el = fs.electrolyte(cf.carbonate_system)
    crit = {"H2O": (647.096, 22.064e6, 0.3443), "CO2": (304.13, 7.3773e6, 0.2239),
            "N2": (126.2, 3.3958e6, 0.0372)}
    pp = fs.package(el, ["H2O", "CO2", "N2"], vapor="virial", crit=crit)
    z = [0.9, 0.03, 0.07]
    r = el.flash_tp(pp, z, 400.0, 5 * P)
    assert 0 < r["beta"] < 1
    K, _ = el.kvalues(pp, r["x"], r["y"], 400.0, 5 * P)
    np.testing.assert_allclose(K * r["x"], r["y"], rtol=1e-6)
    assert el.flash(pp, z, 5 * P, H=r["H"])["T"] == pytest.approx(400.0, abs=1e-6)
