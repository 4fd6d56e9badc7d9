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
Z_CARB = np.array([0.9, 0.03, 0.07])


@pytest.fixture
def mea(activity):
    el = fs.electrolyte(cf.mea_system)
    return el, fs.package(el, COMPS)


@pytest.fixture
def carbonate(activity):
    el = fs.electrolyte(cf.carbonate_system)
    return el, fs.package(el, ["H2O", "CO2", "N2"])


def scripted_kvalues(el, Ks, n):
    """Replace el.kvalues by a script of K vectors (the last one repeats); returns the calls."""
    calls = []
    el.kvalues = lambda *a: (
        calls.append(a) or (np.array(Ks[min(len(calls), len(Ks)) - 1], float), n)
    )
    return calls


def balance(r, z):
    np.testing.assert_allclose(
        r["beta"] * r["y"] + (1 - r["beta"]) * r["x"], z / np.sum(z), atol=1e-9
    )


# ---------------------------------------------------------------------------- K-values


def test_kvalues_are_liquid_over_vapor_fugacity(mea, monkeypatch):
    el, pp = mea
    lnphi = np.array([-0.05, 0.1, -0.02, 0.01])
    seen = []
    monkeypatch.setattr(phasekit, "phi_vapor", lambda pp_, y, T, P_: seen.append(y) or lnphi)
    xa = np.array([0.85, 0.1, 0.05, 0.0])
    y = [0.5, 0.01, 0.3, 0.19]
    K, n = el.kvalues(pp, xa, y, 330.0, P)
    xn = np.maximum(xa, 1e-12) / np.maximum(xa, 1e-12).sum()
    f, n_ref, _ = el.fugacities(dict(zip(COMPS, xn)), 330.0)
    np.testing.assert_allclose(
        K, [f[c] / (xn[k] * math.exp(lnphi[k]) * P) for k, c in enumerate(COMPS)], rtol=1e-8
    )
    assert np.isfinite(K[3]) and K[3] > 1e3  # absent N2: its dilute-limit K
    assert seen[0] is y  # the vapor goes to the vapor model as given
    np.testing.assert_allclose(n, n_ref, rtol=1e-8)
    K4, n4 = el.kvalues(pp, 4 * xa, y, 330.0, P)  # n per unit of liquid: scale of xa is
    np.testing.assert_allclose(K4[:3], K[:3], rtol=1e-7)
    np.testing.assert_allclose(n4[:3], n[:3], rtol=1e-7)  # no change but at traces


def test_kvalues_zero_without_a_liquid_fugacity_and_short_vectors(mea):
    el, pp = mea
    del el.antoine["MEA"]  # MEA becomes nonvolatile
    K, _ = el.kvalues(pp, [0.8, 0.2, 0.0, 0.0], [0.25] * 4, 330.0, P)
    assert K[1] == 0.0 and np.all(K[[0, 2, 3]] > 0)
    K0, _ = el.kvalues(pp, [0.0] * 4, [0.25] * 4, 330.0, P)  # all zero: equimolar
    np.testing.assert_allclose(K0, el.kvalues(pp, [0.25] * 4, [0.25] * 4, 330.0, P)[0], rtol=1e-7)
    with pytest.raises(IndexError):
        el.kvalues(pp, [0.9, 0.1], [0.25] * 4, 330.0, P)  # a volatile past the end
    with pytest.raises(IndexError):
        el.flash_tp(pp, [0.8, 0.2], 330.0, P)


# ---------------------------------------------------------------------------- TP flash


@pytest.mark.parametrize("T", [330.0, 380.0])
def test_flash_tp_result(mea, T):
    el, pp = mea
    splits, split = [], type(el)._flash_newton
    el._flash_newton = lambda *args: splits.append(split(el, *args)) or splits[-1]
    r = el.flash_tp(pp, 3 * Z_MEA, int(T), int(P))
    assert list(r) == ["beta", "x", "y", "H", "S", "iterations", "T", "P", "true"]
    assert type(r["T"]) is float and type(r["P"]) is float and type(r["iterations"]) is int
    assert isinstance(r["x"], np.ndarray) and isinstance(r["y"], np.ndarray)
    assert list(r["true"]) == el.names
    if T == 380.0:  # 15 steps do not settle: the split follows, counted by its evaluations
        assert len(splits) == 1 and r["iterations"] == 15 + splits[0][4] > 15
    else:
        assert splits == [] and r["iterations"] < 15
    assert 0.0 < r["beta"] < 1.0
    balance(r, Z_MEA)
    K, _ = el.kvalues(pp, r["x"], r["y"], T, P)  # phase equilibrium at the result
    np.testing.assert_allclose(K * r["x"], r["y"], rtol=1e-6)
    t = r["true"]  # MEA in all its forms, per kmol of liquid
    assert t["MEA"] + t["MEAH+"] + t["MEACOO-"] == pytest.approx(r["x"][1], rel=1e-8)
    assert el.flash_tp(pp, Z_MEA, T, P, maxit=3)["beta"] == pytest.approx(r["beta"], abs=1e-9)


@pytest.mark.parametrize(
    "Ks,steps",
    [
        ([[np.nan, 1, 1, 1], [2, 0.5, 0, 3]], 2),  # NaN sum at the feed: steps run
        ([[2, 0, 0, 0], [0, 0.5, 0, 3]], 1),  # no K positive twice: err 0
        ([[3, 0.3, 0.2, 4], [2, 0.3, 0.2, 4], [1.5, 0.3, 0.2, 4]], 3),  # settles at the third step
        ([[2, 0.5, 0.5, 0.5], [0.9, 0.5, 0.5, 0.5]], 2),  # Rachford-Rice below 0
    ],
)
def test_flash_tp_substitution_steps(mea, Ks, steps):
    el, pp = mea
    T = 350.0
    n = el.true_amounts(dict(zip(COMPS, Z_MEA)), 400.0)[0]
    calls = scripted_kvalues(el, Ks, n)
    el._flash_newton = lambda *a: pytest.fail("the split is for unconverged substitutions")
    r = el.flash_tp(pp, Z_MEA, T, P)
    assert r["iterations"] == steps and len(calls) == steps + 1
    if max(Ks[-1]) < 1.0:  # all liquid: the feed, speciated anew; y is the last step's vapor
        assert r["beta"] == 0.0
        np.testing.assert_allclose(r["x"], Z_MEA)
        ky = np.array(Ks[-1]) * Z_MEA
        np.testing.assert_allclose(r["y"], ky / ky.sum())
        np.testing.assert_allclose(
            list(r["true"].values()), el.true_amounts(dict(zip(COMPS, Z_MEA)), T)[0], rtol=1e-8
        )
    else:
        assert 0.0 < r["beta"] < 1.0


def test_flash_tp_one_phase_results(mea):
    el, pp = mea
    # cold: all liquid without a substitution step
    z = np.array([0.85, 0.1, 0.05, 0.0])
    r = el.flash_tp(pp, z, 280.0, 5 * P)
    assert (r["beta"], r["iterations"]) == (0.0, 1)
    np.testing.assert_allclose(r["x"], z)
    np.testing.assert_allclose(r["y"], z)
    n = np.array(list(r["true"].values()))
    assert r["H"] == pytest.approx(
        brinequil.liquid_enthalpy(el, pp, n, 280.0, 5 * P, el.pure), rel=1e-12
    )
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
    base = np.array([3.0, k_mea, 8.0, 50.0])  # never settles: all 15 steps run
    calls = scripted_kvalues(el, [base * (1.0 + 0.01 * (-1) ** i) for i in range(1, 17)], n)
    el._flash_newton = lambda pp_, z, T, P_, v0, tol: (1.0, np.full(4, 0.25), z.copy(), n, 7)
    r = el.flash_tp(pp, Z_MEA, 400.0, P)
    assert r["beta"] == beta and r["iterations"] == 15 + 7 and len(calls) == 16
    np.testing.assert_allclose(r["y"], Z_MEA)
    h_v = phasekit.enthalpy_vapor(pp, 400.0, Z_MEA, P)
    h_l = brinequil.liquid_enthalpy(el, pp, n, 400.0, P, el.pure) if beta < 1.0 else 0.0
    assert r["H"] == pytest.approx(beta * h_v + (1 - beta) * h_l, rel=1e-15)


# ---------------------------------------------------------------------------- Newton split


def test_newton_split_solves_the_equilibrium(mea):
    el, pp = mea
    T = 370.0
    z = np.array([0.8, 0.1, 0.1, 0.0])
    r = el.flash_tp(pp, z, T, P)
    v0 = [z[0], 0.0, 0.05, 0.0]  # the whole feed and nothing: clipped inside (0, z)
    beta, x, y, n, nfev = el._flash_newton(pp, z, T, P, v0, 1.0)
    assert beta == pytest.approx(r["beta"], rel=1e-8) and nfev > 0
    assert y[3] == 1e-300 and x[3] < 1e-290  # z = 0: no variable
    np.testing.assert_allclose(beta * y[:3] + (1 - beta) * x[:3], z[:3], atol=1e-12)
    f, _, _ = el.fugacities(dict(zip(COMPS, x)), T)
    np.testing.assert_allclose([f[c] for c in COMPS[:3]], y[:3] * P, rtol=1e-7)


def test_newton_split_failures(mea):
    el, pp = mea
    pp2 = fs.package(el, ["H2O", "NaCl"])
    with pytest.raises(ValueError, match="'NaCl' is not in list"):  # looked up before z > 0
        el._flash_newton(pp2, [1.0, 0.0], 380.0, P, [0.1, 0.0], 1e-9)
    el.fugacities = lambda app, T: ({c: 1e4 for c in COMPS}, np.ones(10), np.zeros(10))
    with pytest.raises(ValueError, match="^two-phase split of the electrolyte liquid diverged$"):
        el._flash_newton(pp, Z_MEA, 380.0, P, [np.nan, 0.01, 0.01, 0.01], 1e-9)


# ---------------------------------------------------------------------------- bubble temperature


@pytest.mark.parametrize(
    "Tb,search",
    [
        (350.0, [330, 370]),
        (395.0, [330, 370, 330, 370, 390, 370, 390, 410]),
        (300.0, [330, 330, 310, 310, 290, 310]),
        (330.0, [330, 330, 370, 370, 350, 350, 330, 330]),  # f(lo) exactly 0 is no sign change
    ],
)
def test_bubble_temperature_window_search(mea, Tb, search):
    """Windows (330, 370), then 20 K steps; f(lo) is evaluated again for every rejected window.
    A window never accepted goes to the root finder unchecked after 40 passes."""
    el, pp = mea
    x = np.array([0.5, 0.5, 0.0, 0.0])
    calls = []  # K x sums to exp(0.05 (T - Tb))
    el.kvalues = lambda pp_, x_, y, T, P_: (
        calls.append((T, np.array(y)))
        or (np.array([1.6, 0.4, 0.0, 0.0]) * math.exp(0.05 * (T - Tb)), np.ones(10))
    )
    if Tb == 330.0:
        with pytest.raises(ValueError, match="no sign change between 350 and 370"):
            el.bubble_t(pp, x, P)
        assert len(calls) == 2 * 40 + 2  # f(lo) twice in each of 40 passes, then Brent
    else:
        T, y = el.bubble_t(pp, x, P)
        assert T == pytest.approx(Tb, abs=1e-8)
        assert y.sum() == pytest.approx(1.0) and y[0] == pytest.approx(0.8)
        assert all(search[-2] <= c[0] <= search[-1] for c in calls[len(search) :])
    assert [c[0] for c in calls[: len(search)]] == search
    assert all(np.array_equal(c[1], x) for c in calls)


def test_bubble_temperature_of_the_real_liquid(mea):
    el, pp = mea
    x = np.array([0.86, 0.1, 0.04, 0.0])
    T, y = el.bubble_t(pp, x, P)
    Pb, yb, _, _ = el.bubble(dict(zip(COMPS, x)), T)
    assert Pb == pytest.approx(P, rel=1e-6)
    assert y[1] == pytest.approx(yb["MEA"], rel=1e-5) and y[3] == 0.0
    water = cf.model(cf.water_system)  # no volatile component: no root
    with pytest.raises(ValueError, match="no sign change"):
        water.bubble_t(phasekit.PropertyPackage(["H2O"]), [1.0], P)


# ---------------------------------------------------- flash at a given T, H, S or beta


def test_flash_given_quantity_priority(carbonate):
    el, pp = carbonate
    z = list(Z_CARB)
    r = el.flash_tp(pp, z, 340.0, P)
    # a given T needs no start: T0 is not even converted then
    assert el.flash(pp, z, P, T=340.0, H=0.0, S=0.0, beta=0.5, T0="unused")["T"] == 340.0
    assert el.flash(pp, z, P, H=r["H"], S=0.0, beta=0.5)["T"] == pytest.approx(340.0, abs=1e-6)
    assert el.flash(pp, z, P, S=r["S"], beta=0.5)["T"] == pytest.approx(340.0, abs=1e-6)
    with pytest.raises(ValueError, match="^Give one of T, H, S, beta$"):
        el.flash(pp, z, P)


@pytest.mark.parametrize(
    "vapor,T,p",
    [
        ("ideal", 300.0, P),
        ("ideal", 345.0, P),
        ("ideal", 371.0, P),
        ("ideal", 420.0, P),
        ("virial", 400.0, 5 * P),
    ],
)
def test_flash_energy_balance(activity, vapor, T, p):
    el = fs.electrolyte(cf.carbonate_system)
    pp = fs.package(el, ["H2O", "CO2", "N2"], vapor=vapor, crit=fs.CRIT)
    r = el.flash_tp(pp, Z_CARB, T, p)
    assert el.flash(pp, Z_CARB, p, H=r["H"])["T"] == pytest.approx(T, abs=1e-6)


def test_flash_vapor_fraction(carbonate):
    el, pp = carbonate
    starts = []
    real = type(el).bubble_t
    el.bubble_t = lambda pp_, x, P_, T0=350.0: starts.append(T0) or real(el, pp_, x, P_, T0)
    Tb = real(el, pp, Z_CARB, P)[0]
    r0 = el.flash(pp, Z_CARB, P, beta=-0.5, T0=0)
    assert r0["beta"] == 0.0 and r0["T"] == pytest.approx(Tb, abs=1e-9) and starts == [350.0]
    r = el.flash(pp, 2 * Z_CARB, P, beta=0.5, T0=330.0)
    assert starts[-1] == 330.0
    assert r["beta"] == pytest.approx(0.5, abs=1e-8) and r["T"] > Tb
    balance(r, Z_CARB)
    r1 = el.flash(pp, Z_CARB, P, beta=1.0)
    assert r1["beta"] == pytest.approx(0.999999999, abs=1e-9)


@pytest.mark.parametrize(
    "system,quantity,z,T,T0",
    [
        ("carbonate", "H", Z_CARB, 345.0, None),
        ("carbonate", "H", Z_CARB, 371.0, 400.0),
        ("mea", "S", Z_MEA, 365.0, 420.0),
        ("mea", "beta", Z_MEA, 365.0, None),
        ("mea", "S", [0.86, 0.1, 0.04, 0.0], 380.0, 330.0),  # no N2: liquid at the start
    ],
)
def test_flash_given_quantity_warm_trail_matches_full_flashes(request, system, quantity, z, T, T0):
    """The temperature solve's flashes start from the previous split; with flash_tp replaced on
    the model every evaluation is that replacement. Both find the same temperature."""
    el, pp = request.getfixturevalue(system)
    target = el.flash_tp(pp, z, T, P)[quantity]
    warm = el.flash(pp, z, P, T0=T0, **{quantity: target})
    calls = []
    real = type(el).flash_tp
    el.flash_tp = lambda *a: calls.append(a[2]) or real(el, *a)
    full = el.flash(pp, z, P, T0=T0, **{quantity: target})
    assert len(calls) > 3 and calls[-1] == full["T"]
    assert warm["T"] == pytest.approx(full["T"], abs=1e-8)
    assert warm["T"] == pytest.approx(T, abs=1e-7)
    assert warm[quantity] == pytest.approx(target, rel=1e-10, abs=1e-10)
    balance(warm, np.asarray(z))


@pytest.mark.parametrize(
    "quantity,value,T0", [("beta", 0.3, 0), ("beta", 0.5, 330.0), ("H", None, 400.0)]
)
def test_flash_at_a_given_quantity_solves_for_T_once(carbonate, monkeypatch, quantity, value, T0):
    """One temperature solve per call, and its answer is the TP flash at the temperature
    solved: the given quantity met as closely as the solve converges on TP flashes."""
    el, pp = carbonate
    if value is None:
        value = el.flash_tp(pp, Z_CARB, 371.0, P)[quantity]
    calls = []
    real = phasekit._solve_T
    monkeypatch.setattr(phasekit, "_solve_T", lambda *a: calls.append(a) or real(*a))
    r = el.flash(pp, Z_CARB, P, T0=T0, **{quantity: value})
    assert len(calls) == 1
    again = el.flash_tp(pp, Z_CARB, r["T"], P)
    assert again[quantity] == pytest.approx(r[quantity], rel=1e-9, abs=1e-9)
    assert r[quantity] == pytest.approx(value, rel=1e-6, abs=1e-6)
