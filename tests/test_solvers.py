"""The C++ root finders against SciPy's: same iterates, same counts, same failures."""

import numpy as np
import pytest
from scipy import optimize

from velmora import brinequil


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


@pytest.mark.parametrize(
    "fun,a,b",
    [
        (lambda t: np.cos(t) - t, 0.0, 1.0),
        (lambda t: (t - 2.2) ** 3 + 0.1 * t, -3.0, 4.0),
        (lambda t: np.exp(t) - 1e3, 0.0, 50.0),
        (lambda t: t - 0.25, 0.25, 3.0),  # root at an end of the bracket
    ],
)
def test_brent_matches_scipy_brentq(fun, a, b):
    assert brinequil._brentq(fun, a, b) == optimize.brentq(fun, a, b, xtol=1e-8)


def test_brent_failures():  # no sign change: see the bubble-temperature tests
    with pytest.raises(ValueError, match="NaN"):
        brinequil._brentq(lambda t: float("nan") if t > 0.5 else -1.0, 0.0, 1.0)
    # A step function whose jump is not a float: bisection from a huge bracket runs out.
    with pytest.raises(RuntimeError, match="100 iterations"):
        brinequil._brentq(lambda t: 1.0 if t > 1e-200 else -1.0, -1e300, 1e300)
