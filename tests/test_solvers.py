"""The C++ root finders against SciPy's: same iterates, same counts, same failures."""

import math

import numpy as np
import pytest
from scipy import optimize

import velmora
from velmora import brinequil
from velmora.errors import ConvergenceError, NoSolutionError


def broyden_tridiagonal(x):
    xl = np.concatenate(([0.0], x[:-1]))
    xr = np.concatenate((x[1:], [0.0]))
    return (3.0 - 2.0 * x) * x - xl - 2.0 * xr + 1.0


def circle_exp(x):
    return np.array([x[0] ** 2 + x[1] ** 2 - 4.0, np.exp(x[0]) + x[1] - 1.0])


def counted(fun, calls):
    return lambda x: calls.append(np.array(x, dtype=float)) or fun(x)


@pytest.mark.parametrize(
    "fun,x0",
    [
        (circle_exp, np.array([1.0, 1.0])),
        (broyden_tridiagonal, -np.ones(5)),
        (broyden_tridiagonal, np.zeros(8)),
    ],
)
def test_hybrid_powell_follows_minpack(fun, x0):
    ref = []
    r = optimize.root(counted(fun, ref), x0, method="hybr", options={"xtol": 1e-12})
    # SciPy's wrapper evaluates x0 before the iteration (shape checks); MINPACK's count starts
    # with the first of those calls.
    lead = 0
    while lead < len(ref) and np.array_equal(ref[lead], x0):
        lead += 1
    calls = []
    x, nfev, info = brinequil._hybrd(counted(fun, calls), x0)
    assert info == 1
    assert nfev == len(calls) == len(ref) - lead + 1
    np.testing.assert_allclose(x, r.x, rtol=0, atol=1e-13)
    assert np.max(np.abs(fun(x))) < 1e-10
    with pytest.raises(KeyError, match="boom"):  # residual errors pass through
        brinequil._hybrd(lambda x: {}["boom"], x0)


EPS4 = 4.0 * np.finfo(float).eps
# (xtol, rtol, maxiter) as the front door's root searches pass them (flashes, solids, paths) and
# the engine's defaults
SITE_TOLS = [
    (1e-8, EPS4, 100),
    (1e-13, EPS4, 100),
    (1e-8, EPS4, 200),
    (1e-10, EPS4, 100),
    (1e-14, 1e-15, 100),
    (1e-10, 1e-15, 100),
    (1e-12, EPS4, 100),
    (1e-9, EPS4, 100),
    (1e-6, EPS4, 100),
    (2e-12, EPS4, 100),
]
HARD = [
    (lambda t: np.cos(t) - t, 0.0, 1.0),
    (lambda t: (t - 2.2) ** 3 + 0.1 * t, -3.0, 4.0),
    (lambda t: np.exp(t) - 1e3, 0.0, 50.0),  # steep
    (lambda t: math.tanh(50.0 * (t - 0.123)), -5.0, 5.0),  # steep, flat beside it
    (lambda t: (t - 1.0) ** 9, 0.0, 3.0),  # flat at the root
    (lambda t: math.copysign(abs(t - 0.7) ** 0.1, t - 0.7), 0.0, 1.0),  # infinite slope
    (lambda t: 1.0 if t > 0.3 else -1.0, 0.0, 1.0),  # a jump, no root
    (lambda t: 1.0 / (t - 0.5) if t != 0.5 else 0.0, 0.0, 1.2),  # a pole as the sign change
    (lambda t: 1e-200 if t > 0.4 else -1e-200, 0.0, 1.0),  # f(a) f(b) underflows to 0
    (lambda t: math.log(t), 1e-12, 1e12),  # a wide bracket
    (lambda t: t - 0.25, 0.25, 3.0),  # root at an end
    (lambda t: t - 3.0, 0.25, 3.0),
]


def run_counted(solver, fun, a, b, **kw):
    """(root or (exception type, 'different signs' in its text), evaluations of fun)."""
    calls = []
    try:
        out = solver(lambda t: calls.append(t) or fun(t), a, b, **kw)
    except (ValueError, RuntimeError) as e:
        out = (type(e), "different signs" in str(e))
    return out, len(calls)


@pytest.mark.parametrize("tol", SITE_TOLS, ids=lambda t: f"xtol{t[0]:g}-rtol{t[1]:g}-it{t[2]}")
@pytest.mark.parametrize("fun,a,b", HARD)
def test_brent_matches_scipy_brentq(fun, a, b, tol):
    # SciPy's brentq is an implementation of its own (C, called from Python): the same
    # bracketing algorithm gives the same root to the bit after the same number of evaluations,
    # or the same failure (no convergence within maxiter) after as many
    xtol, rtol, maxiter = tol
    ref = run_counted(optimize.brentq, fun, a, b, xtol=xtol, rtol=rtol, maxiter=maxiter)
    got = run_counted(brinequil._brentq, fun, a, b, xtol=xtol, rtol=rtol, maxiter=maxiter)
    assert got == ref
    if isinstance(ref[0], float):
        assert a <= got[0] <= b


def test_brent_defaults_are_the_engine_ones():
    # xtol 1e-8, rtol 4 eps, 100 iterations: SciPy's with xtol 1e-8
    for fun, a, b in HARD[:4]:
        assert run_counted(brinequil._brentq, fun, a, b) == run_counted(
            optimize.brentq, fun, a, b, xtol=1e-8
        )


def test_brent_failures():
    # the same exception types as SciPy's (callers catch them): ValueError for NaN and for no sign
    # change (its text holds "different signs", as SciPy's), RuntimeError after maxiter
    nan = lambda t: float("nan") if t > 0.5 else -1.0  # noqa: E731
    for solver in (optimize.brentq, brinequil._brentq):
        with pytest.raises(ValueError, match="NaN"):
            solver(nan, 0.0, 1.0, xtol=1e-8)
        with pytest.raises(ValueError, match="different signs"):
            solver(lambda t: t + 2.0, 0.0, 1.0, xtol=1e-8)
        with pytest.raises(TypeError):  # f gives no number
            solver(lambda t: None, 0.0, 1.0, xtol=1e-8)
        # a step function whose jump is not a float: bisection from a huge bracket runs out
        with pytest.raises(RuntimeError, match="100 iterations"):
            solver(lambda t: 1.0 if t > 1e-200 else -1.0, -1e300, 1e300, xtol=1e-8)
        with pytest.raises(RuntimeError):
            solver(lambda t: t - 0.3, 0.0, 1.0, xtol=1e-8, maxiter=0)
        for bad in ({"xtol": 0.0}, {"rtol": 1e-16}, {"maxiter": -1}):
            with pytest.raises(ValueError):
                solver(lambda t: t - 0.3, 0.0, 1.0, **{"xtol": 1e-8, **bad})


@pytest.mark.parametrize(
    "error",
    [
        ConvergenceError("bubble temperature at 1 atm: its chemical equilibrium failed", T=401.5),
        NoSolutionError("the liquid boils dry"),
        ValueError("a fault inside f"),
        KeyError("boom"),
    ],
)
def test_brent_passes_errors_of_f_through(error):
    # an exception raised inside f, on the fourth evaluation, reaches the caller as raised: the
    # same object (type, message, attributes), not one of the root finder's
    calls = []

    def f(t):
        calls.append(t)
        if len(calls) == 4:
            raise error
        return math.cos(t) - t

    with pytest.raises(type(error)) as info:
        brinequil._brentq(f, 0.0, 1.0, xtol=1e-13)
    assert info.value is error and len(calls) == 4
    assert not str(info.value).startswith("root finder")
    if isinstance(error, ConvergenceError):
        assert info.value.T == 401.5


def test_front_door_root_searches_run_the_engine_brent(monkeypatch):
    # one Brent for the engine and the front door: a bubble temperature (flashes._bubble_T) calls
    # the engine's and not SciPy's
    import scipy.optimize

    def scipy_brentq(*args, **kwargs):
        raise AssertionError("scipy.optimize.brentq called")

    calls = []
    real = brinequil._brentq
    monkeypatch.setattr(scipy.optimize, "brentq", scipy_brentq)
    monkeypatch.setattr(brinequil, "_brentq", lambda *a, **k: calls.append(k) or real(*a, **k))
    s = velmora.System("NaCl-H2O")
    r = s.bubble_temperature(s.composition(molalities={"NaCl": 1.0}), 101325.0)
    assert calls and all(k["xtol"] == 1e-10 for k in calls)
    # the salt raises the boiling point above its water's
    assert r.vapor_fraction == 0.0 and r.T > s.bubble_temperature({"H2O": 1.0}, 101325.0).T


# ------------------------------------------------------------- successive substitution


@pytest.mark.parametrize(
    "chem,gases,z,T,P",
    [
        ("MEA-CO2-H2O", ("N2",), [0.80, 0.10, 0.04, 0.06], 330.0, 1e5),
        ("CO2-H2O", ("N2",), [0.90, 0.03, 0.07], 320.0, 2e5),
        ("NH3-CO2-H2O", (), [0.85, 0.10, 0.05], 350.0, 1e5),
    ],
)
def test_substitution_ends_at_phase_equilibrium(chem, gases, z, T, P):
    # the front door's substitution (the engine's steps) ends on a split whose vapor meets the
    # liquid's fugacities of a fresh model (a speciation of its own, nothing remembered): ln
    # f_L = ln (y phi P) for every volatile component, with the feed's balance
    import independent as ind
    from velmora import flashes, phasekit

    s = velmora.System(chem, gases=gases)
    comps = s.components
    z = np.array(z) / np.sum(z)
    r, steps = flashes._substitution(s, z, T, P, brinequil._WarmStart())
    x, y, beta = r["x"], r["y"], r["beta"]
    assert 0.0 < beta < 1.0 and 1 < steps <= flashes.SUBSTITUTION_STEPS + 1
    np.testing.assert_allclose(beta * y + (1.0 - beta) * x, z, rtol=0.0, atol=1e-15)
    f = ind.Reference(s).fresh().fugacities(dict(zip(comps, x.tolist())), T)[0]
    assert set(f) == set(comps)  # every component volatile here
    lnphi = np.asarray(phasekit.phi_vapor(s.pp, y, T, P), dtype=float)
    for k, c in enumerate(comps):
        assert math.log(y[k]) + lnphi[k] + math.log(P) == pytest.approx(math.log(f[c]), abs=1e-6)


def test_substitution_damping_ends_a_cycle():
    # K-values that rise steeply with the liquid's CO2 (ln K_CO2 = ln 20 + 3 ln(x_CO2 / x*),
    # x* = 0.7/19.7 where K_CO2 = 20 meets K_H2O = 0.3 in a split): plain substitution jumps
    # between the two clipped vapor fractions for good; the damped one settles on the split
    from velmora import flashes, phasekit

    s = velmora.System("CO2-H2O")
    el, T, P = s.model, 330.0, 1e5
    z = np.array([0.9, 0.1])
    n = el.true_amounts(dict(zip(s.components, z.tolist())), T)[0]
    xs = 0.7 / 19.7

    def K_of(x):
        x = np.asarray(x, dtype=float) / np.sum(x)
        return np.array([0.3, 20.0 * (x[1] / xs) ** 3])

    el.kvalues = lambda pp, x, y, T_, P_: (K_of(x), n)  # this System's model only
    # plain substitution from the feed: a cycle of two
    K, seen = K_of(z), []
    for _ in range(60):
        b = min(max(phasekit._k_rachford_rice(z, K), 0.0), 1.0)
        x = z / (1.0 + b * (K - 1.0))
        K = K_of(x)
        seen.append(K)
    np.testing.assert_allclose(seen[-1], seen[-3], rtol=1e-12)
    assert abs(math.log(seen[-1][1] / seen[-2][1])) > 1.0
    # the damped steps: the split of K = (0.3, 20), y = K x, z = beta y + (1 - beta) x
    r, steps = flashes._substitution(s, z, T, P, brinequil._WarmStart())
    assert steps <= flashes.SUBSTITUTION_STEPS
    x, y = r["x"], r["y"]
    np.testing.assert_allclose(y, K_of(x) * x, rtol=1e-10)
    assert x[1] == pytest.approx(xs, rel=1e-10)
    assert r["beta"] == pytest.approx((0.1 - xs) / (20.0 * xs - xs), rel=1e-10)
