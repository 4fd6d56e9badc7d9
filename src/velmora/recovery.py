"""Recovery of a liquid whose speciation the core layer does not settle from a cold start.

The core holds ln gamma fixed inside its Newton loop and updates it between loops (successive
substitution). In concentrated, highly loaded liquids (amine or ammonia with much acid gas, hot)
that substitution does not settle: the equilibrium exists but the loop circles around it. Here
the same equations are solved by Newton with ln gamma inside the Jacobian:

    F_eq(u) = nu (u - ln N + lng(x) - ref(x)) - ln K        u = ln n, N = sum n, x = n / N
    F_b(u)  = (B exp(u) - B n0) / sum n0

d(lng - ref)/du by forward differences (one activity evaluation per species), the step the
minimum-norm least-squares solution, no ln n moving by more than 2, halved until max |F| falls.
Starts, in order: the core's own unsettled answer, the core's cold start, and a path in T from
298.15 K (each temperature started from the answer at the one before). Everything comes from
within the call, so the answer depends only on (liquid, T). A solution found here is handed to
the core as its warm start: the core then meets its own tolerance at once, and the answer the
caller gets is the core's, the same liquid a converged cold start gives.
"""

import math
from typing import Any

import numpy as np

from velmora import ionactivity

from .errors import solve_failed

_TOL = 1e-12  # max |F| that ends the Newton loop (the core's is 1e-11)
_MAXIT = 60  # Newton iterations per start
_FD_STEP = 1e-7  # forward-difference step in ln n
_START_TRACE = 1e-8  # start of a species without apparent amount, per unit total (as the core)
_T_PATH = 298.15  # K: start of the path in T
_T_STEP = 10.0  # K: its largest step


class _Equations:
    """The speciation equations of one liquid at T, over the species that can be present."""

    def __init__(self, system, app, T):
        el, info = system.model, system._info
        self.el, self.T = el, T
        self.n0 = info.n0(app)
        self.tot = float(self.n0.sum())
        # a species without amount in no reaction stays at zero (the invariants fix it there)
        idle = (self.n0 == 0.0) & ~info.nu.any(axis=0)
        self.active = np.flatnonzero(~idle)
        self.nu = info.nu[:, self.active]
        self.net = self.nu.sum(axis=1)
        self.Ba = info.B[:, self.active]
        self.b = info.B @ self.n0
        self.lnK = el.lnK(T)
        self.n = np.zeros(len(info.names))

    def amounts(self, u):
        """True amounts of every species from u (ln n of the active species)."""
        self.n[self.active] = np.exp(u)
        return self.n.copy()

    def gamma_terms(self, u):
        """(ln gamma of every species, lng - ref on the active ones) at u."""
        n = self.amounts(u)
        x = n / n.sum()
        lng = np.asarray(ionactivity.ln_gamma(self.el.sp, x, self.T, self.el.options), dtype=float)
        return lng, (lng - self.el.henry_ref(self.T, x))[self.active]

    def residual(self, u):
        """(F, lng, lng - ref) at u; F has a non-finite entry where u is out of reach."""
        lng, g = self.gamma_terms(u)
        e = np.exp(u)
        F = np.concatenate(
            (self.nu @ (u - math.log(e.sum()) + g) - self.lnK, (self.Ba @ e - self.b) / self.tot)
        )
        return F, lng, g

    def jacobian(self, u, g):
        e = np.exp(u)
        x = e / e.sum()
        Dg = np.empty((u.size, u.size))
        for j in range(u.size):
            up = u.copy()
            up[j] += _FD_STEP
            Dg[:, j] = (self.gamma_terms(up)[1] - g) / _FD_STEP
        return np.vstack((self.nu - np.outer(self.net, x) + self.nu @ Dg, self.Ba * (e / self.tot)))

    def start(self, n=None):
        """u of true amounts n (the core's answer), or the core's cold start without n."""
        if n is None:
            n = np.where(self.n0 > 0.0, self.n0, self.tot * _START_TRACE)
        n = np.asarray(n, dtype=float)[self.active]
        if not (np.isfinite(n).all() and (n > 0.0).all()):
            return None
        return np.log(n)


def _newton(eqs, u):
    """(n, lng) where max |F| <= _TOL, from u; None where Newton does not get there."""
    with np.errstate(all="ignore"):  # a trial step out of reach is refused, not reported
        return _iterate(eqs, u)


def _iterate(eqs, u):
    try:
        F, lng, g = eqs.residual(u)
        for _ in range(_MAXIT):
            norm = float(np.abs(F).max())
            if not math.isfinite(norm):
                return None
            if norm <= _TOL:
                return eqs.amounts(u), lng
            du = np.linalg.lstsq(eqs.jacobian(u, g), -F, rcond=None)[0]
            big = float(np.abs(du).max())
            if not math.isfinite(big):
                return None
            step = min(1.0, 2.0 / max(big, 1e-300))
            for _ in range(40):
                trial = u + step * du
                Ft, lngt, gt = eqs.residual(trial)
                if float(np.abs(Ft).max()) < (1.0 - 1e-4 * step) * norm:  # NaN: not accepted
                    break
                step *= 0.5
            else:
                return None
            u, F, lng, g = trial, Ft, lngt, gt
    except np.linalg.LinAlgError:
        return None
    except (ValueError, ArithmeticError) as exc:  # an iterate the activity model refuses
        if not solve_failed(exc):
            raise
        return None
    return None


def _path_in_T(system, app, T):
    """The liquid at T reached from 298.15 K in steps of at most 10 K; None where a step fails
    even after halving it to 0.1 K."""
    T0 = _T_PATH
    eqs = _Equations(system, app, T0)
    u = eqs.start()
    found = _newton(eqs, u) if u is not None else None
    if found is None:
        return None
    step = _T_STEP
    while T0 != T:
        T1 = T if abs(T - T0) <= step else T0 + math.copysign(step, T - T0)
        eqs = _Equations(system, app, T1)
        nxt = _newton(eqs, eqs.start(found[0]))
        if nxt is None:
            step /= 2.0
            if step < 0.1:
                return None
            continue
        T0, found = T1, nxt
        step = min(_T_STEP, 2.0 * step)
    return found


def solve(
    system: Any, app: dict[str, float], T: float, n_core: np.ndarray | None = None
) -> tuple[np.ndarray, np.ndarray] | None:
    """(n, lng) of the liquid ``app`` at T by Newton with ln gamma in the Jacobian (see the
    module), or None. ``n_core``: the core's unsettled answer, the first start tried."""
    eqs = _Equations(system, app, T)
    for n in (n_core, None) if n_core is not None else (None,):
        u = eqs.start(n)
        found = _newton(eqs, u) if u is not None else None
        if found is not None:
            return found
    if T == _T_PATH:
        return None
    return _path_in_T(system, app, T)


def warm_record(
    system: Any, app: dict[str, float], T: float, n: np.ndarray, lng: np.ndarray
) -> tuple[float, np.ndarray, np.ndarray]:
    """The core's warm-start record (T, n per unit total of the dissociated feed, ln gamma)."""
    tot = float(system._info.n0(app).sum())
    return (float(T), np.asarray(n, dtype=float) / tot, np.asarray(lng, dtype=float))
