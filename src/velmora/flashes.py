"""Flashes at the front door: verified vapor-liquid splits at a given T, H, S or vapor fraction.

Every TP flash is the core layer's (``Electrolyte.flash_tp``), checked (``velmora.checks``).
When the check fails, other solves are tried, in this order: the Newton split from the core's
point, the Newton split from fresh starts, and long successive substitution on the core's
K-values; when none passes, ``ConvergenceError``. An H, S or vapor-fraction target is met
by a bracketed solve in T over such verified TP flashes (200-700 K), which needs no bubble
temperature (a feed with an inert gas has none worth the name). Each call starts from a cold
model, so the same inputs give the same digits whatever was computed before.

Units: T [K], P [Pa], H [J/mol of feed], S [J/(mol K) of feed] (the core works per kmol).
"""

import math

import numpy as np

from . import checks
from .errors import ConvergenceError

KMOL = 1000.0          # mol per kmol: the core's J/kmol -> the front door's J/mol
SUBSTITUTION_STEPS = 400
POLISH = 1e-3          # a split this close is finished by substitution from it


class FlashResult:
    """A verified flash.

    ``T`` [K], ``P`` [Pa], ``vapor_fraction`` [mol/mol feed], ``H`` [J/mol feed],
    ``S`` [J/(mol K) feed], ``feed``, ``x`` (apparent liquid) and ``vapor`` ({component: mole
    fraction}), ``liquid`` (a ``LiquidState`` of the liquid phase, per mol of apparent liquid),
    ``iterations`` (K-value evaluations and Newton residual evaluations of the core, over every
    attempt), ``converged`` (True: results that fail the check are not returned), ``residual``
    (largest |ln f_L - ln f_V| over the volatile components, or the bubble/dew condition of a
    one-phase result), ``balance`` (largest |z - (1 - beta) x - beta y|), ``method`` (which solve
    gave the answer) and ``raw`` (the core layer's result mapping).
    """

    def __init__(self, system, z, raw, liquid, residual, balance, iterations, method):
        comps = system.components
        self.T, self.P = float(raw["T"]), float(raw["P"])
        self.vapor_fraction = float(raw["beta"])
        self.H = float(raw["H"]) / KMOL
        self.S = float(raw["S"]) / KMOL
        self.feed = dict(zip(comps, map(float, z)))
        self.x = dict(zip(comps, map(float, raw["x"])))
        self.vapor = dict(zip(comps, map(float, raw["y"])))
        self.liquid = liquid
        self.iterations = int(iterations)
        self.converged = True
        self.residual = float(residual)
        self.balance = float(balance)
        self.method = method
        self.raw = raw

    def to_dict(self):
        """Scalars and compositions as plain Python values; the liquid as its own mapping."""
        keys = ("T", "P", "vapor_fraction", "H", "S", "feed", "x", "vapor", "iterations",
                "converged", "residual", "balance", "method")
        d = {k: getattr(self, k) for k in keys}
        d["liquid"] = self.liquid.to_dict()
        return d

    def to_frame(self):
        """Per component: feed, liquid and vapor mole fractions (pandas DataFrame)."""
        import pandas as pd
        return pd.DataFrame({"feed": self.feed, "liquid": self.x, "vapor": self.vapor})

    def __repr__(self):
        head = (f"FlashResult: T = {self.T:.3f} K, P = {self.P:.6g} Pa, vapor fraction "
                f"{self.vapor_fraction:.6g}, H = {self.H:.6g} J/mol, S = {self.S:.6g} J/(mol K); "
                f"{self.iterations} iterations ({self.method}), residual {self.residual:.2e}")
        rows = [f"  {'component':<10} {'feed':>10} {'liquid':>11} {'vapor':>11}"]
        for c in self.feed:
            rows.append(f"  {c:<10} {self.feed[c]:10.5g} {self.x[c]:11.5g} {self.vapor[c]:11.5g}")
        return "\n".join([head] + rows)


def flash(system, feed, P, T=None, H=None, S=None, vapor_fraction=None, T0=None):
    specs = {k: v for k, v in (("T", T), ("H", H), ("S", S), ("vapor_fraction", vapor_fraction))
             if v is not None}
    if len(specs) != 1:
        raise ValueError("give exactly one of T, H, S, vapor_fraction"
                         + (f" (given: {', '.join(specs)})" if specs else ""))
    P = checks.pressure(P)
    z = checks.feed(system, feed)
    name, value = next(iter(specs.items()))
    system.model._warm = None
    if name == "T":
        T = checks.temperature(value)
        checks.range_warnings(system, T, dict(zip(system.components, z)), stacklevel=4)
        return _finish(system, z, tp_flash(system, z, T, P))
    value = checks.number(value, name)
    if name == "vapor_fraction" and not 0.0 <= value <= 1.0:
        raise ValueError(f"vapor_fraction must lie in [0, 1], not {value:g}")
    if name == "vapor_fraction" and value == 0.0:
        return bubble_temperature(system, feed, P, T0)
    T0 = checks.temperature(T0) if T0 is not None else 350.0
    key = {"H": "H", "S": "S", "vapor_fraction": "beta"}[name]
    scale = 1.0 if key == "beta" else KMOL
    if key == "beta":
        value = min(value, 1.0 - 1e-9)      # the dew point: vapor with a last drop of liquid
    out = _solve_T(system, z, P, key, value * scale, T0)
    checks.range_warnings(system, out.raw["T"], dict(zip(system.components, z)), stacklevel=4)
    return _finish(system, z, out)


class _Verified:
    """A verified core result, with the liquid's speciation that verified it."""

    def __init__(self, raw, f, n, lng, chem_res, residual, balance, iterations, method):
        self.raw, self.f, self.n, self.lng, self.chem_res = raw, f, n, lng, chem_res
        self.residual, self.balance = residual, balance
        self.iterations, self.method = iterations, method


def _finish(system, z, v):
    from .states import LiquidState
    raw = v.raw
    T = raw["T"]
    x = dict(zip(system.components, map(float, raw["x"])))
    liquid = LiquidState(system, x, T, v.n, v.lng, v.f, v.chem_res)
    checks.pair_warnings(system, v.n, stacklevel=5)
    return FlashResult(system, z, raw, liquid, v.residual, v.balance, v.iterations, v.method)


def _check(system, z, raw, T, P):
    """(largest residual, balance, (f, n, lng, speciation residual)) of a core result."""
    el = system.model
    x = np.asarray(raw["x"], dtype=float)
    y = np.asarray(raw["y"], dtype=float)
    app = dict(zip(system.components, x.tolist()))
    f, n, lng = el.fugacities(app, T)
    res, bal = checks.phase_residual(system, z, float(raw["beta"]), x, y, T, P, f)
    chem_res = checks.speciation_residual(system, app, T, n, lng)
    return max(res, chem_res), bal, (f, n, lng, chem_res)


def tp_flash(system, z, T, P):
    """A verified TP flash (``_Verified``), or ConvergenceError."""
    tol = system.tol
    tried, best, its = [], math.inf, 0
    for method, attempt in _attempts(system, z, T, P, tried):
        try:
            raw, n_it = attempt()
        except (ValueError, ArithmeticError) as e:
            tried.append(f"{method}: {e}")
            continue
        its += n_it
        res, bal, fnl = _check(system, z, raw, T, P)
        if res <= tol and bal <= tol:
            return _Verified(raw, *fnl, res, bal, its, method)
        tried.append(f"{method}: residual {max(res, bal):.3g}")
        if max(res, bal) < min(best, POLISH) and 0.0 < raw["beta"] < 1.0:
            # close, but a solver stalled short of the tolerance: substitution from this split
            # converges linearly from here
            try:
                raw, n_it = _substitution(system, z, T, P, raw)
            except (ValueError, ArithmeticError) as e:
                tried.append(f"substitution from that split: {e}")
            else:
                its += n_it
                res, bal, fnl = _check(system, z, raw, T, P)
                if res <= tol and bal <= tol:
                    return _Verified(raw, *fnl, res, bal, its, method + ", polished")
                tried.append(f"substitution from that split: residual {max(res, bal):.3g}")
        best = min(best, max(res, bal))
    feed = dict(zip(system.components, (float(v) for v in z)))
    raise ConvergenceError(
        f"flash not converged at T = {T:g} K, P = {P:g} Pa for the feed "
        + "{" + ", ".join(f"{c}: {v:.6g}" for c, v in feed.items()) + "}"
        + f": best residual {best:.3g} (tolerance {tol:g}); tried " + "; ".join(tried),
        T=T, P=P, feed=feed, residual=best, tried=tried)


def _attempts(system, z, T, P, tried):
    """(name, callable) of the solves tried in turn; each callable returns (raw, iterations).
    ``tried``: the caller's account of the attempts, which the core's status annotates."""
    el, pp = system.model, system.pp
    state = {"tried": tried}

    def core():
        el._reset_status()
        raw = el.flash_tp(pp, z, T, P)
        state["core"] = raw
        # MINPACK's status of the core's Newton split (1: converged; others: stopped short);
        # its point is checked all the same, and the error message says how it ended
        split = el._status()["split_status"]
        if split not in (None, 1):
            state["note"] = f" (Newton split status {split})"
        return raw, raw["iterations"]

    def newton_from(v0):
        def run():
            el._warm = None
            beta, x, y, n, nfev = el._flash_newton(pp, z, T, P, v0, 1e-9)
            return _result(system, z, T, P, beta, x, y, n), nfev
        return run

    yield "core TP flash", core
    if "note" in state:
        state["tried"][-1] += state.pop("note")
    raw = state.get("core")
    if raw is not None and 0.0 < raw["beta"] < 1.0:
        yield "Newton split from the core's point", newton_from(raw["beta"] * np.asarray(raw["y"]))
    yield "all-liquid test", lambda: _one_phase_liquid(system, z, T, P)
    yield "all-vapor test", lambda: _one_phase_vapor(system, z, T, P)
    yield "successive substitution", lambda: _substitution(system, z, T, P)
    for b in (0.5, 0.1, 0.9):
        yield f"Newton split from vapor fraction {b}", newton_from(b * z)


def _one_phase_liquid(system, z, T, P):
    """The feed as a liquid at its own composition (checked: its bubble pressure <= P)."""
    el = system.model
    el._warm = None
    K, n = el.kvalues(system.pp, z, z, T, P)
    y = np.asarray(K, dtype=float) * z
    return _result(system, z, T, P, 0.0, z.copy(), y / max(y.sum(), 1e-300), n), 1


def _one_phase_vapor(system, z, T, P):
    """The feed as a vapor with its incipient liquid, found by substitution on x = y / K,
    damped by half in ln x (the K-values of reacting gases swing with the liquid's loading)
    (checked: sum y / K <= 1, the vapor lies above its dew point)."""
    el = system.model
    el._warm = None
    x = z.copy()
    for it in range(1, 301):
        K, n = el.kvalues(system.pp, x, z, T, P)
        K = np.asarray(K, dtype=float)
        # a nonvolatile component keeps a liquid, unless it is a trace (its brine weighs nothing)
        if np.any((K <= 0.0) & (z > checks.TRACE)):
            raise ValueError("a nonvolatile component keeps a liquid")
        on = (z > 0.0) & (K > 0.0)
        xn = np.divide(z, K, out=np.zeros_like(z), where=on)
        xn = np.sqrt(x * xn / xn.sum())
        xn /= xn.sum()
        if float(np.max(np.abs(xn - x))) < 1e-12:
            x = xn
            break
        x = xn
    K, n = el.kvalues(system.pp, x, z, T, P)
    return _result(system, z, T, P, 1.0, x, z.copy(), n), it + 1


def _substitution(system, z, T, P, start=None):
    """Successive substitution on the core's K-values, damped where it stalls, until the
    K-values stop changing; from the feed or from the split ``start`` (a result mapping)."""
    el, pp = system.model, system.pp
    from velmora import phasekit
    if start is None:
        el._warm = None
        x, y = z.copy(), z.copy()
    else:
        x, y = np.asarray(start["x"], dtype=float), np.asarray(start["y"], dtype=float)
    K, n = el.kvalues(pp, x, y, T, P)
    K = np.asarray(K, dtype=float)
    beta = 0.0
    w, last = 1.0, math.inf
    for it in range(1, SUBSTITUTION_STEPS + 1):
        beta = phasekit._k_rachford_rice(z, K)
        b = min(max(beta, 0.0), 1.0)
        # components absent from the feed stay absent (0/0 when b = 1 and K = 0)
        x = np.divide(z, 1.0 + b * (K - 1.0), out=np.zeros_like(z), where=z > 0.0)
        y = K * x
        x, y = x / x.sum(), y / max(y.sum(), 1e-300)
        Kn, n = el.kvalues(pp, x, y, T, P)
        Kn = np.asarray(Kn, dtype=float)
        on = (Kn > 0) & (K > 0)
        err = float(np.max(np.abs(np.log(Kn[on] / K[on])))) if on.any() else 0.0
        if err < 1e-12:
            break
        # The K-values of reacting gases swing with the liquid's loading: plain substitution
        # can cycle. Each step that does not shrink the change halves the step in ln K.
        if err > 0.9 * last:
            w = max(0.1, 0.5 * w)
        last = err
        K = np.where(on, np.exp((1.0 - w) * np.log(np.where(on, K, 1.0))
                                + w * np.log(np.where(on, Kn, 1.0))), Kn)
    if beta <= 0.0:
        beta, x = 0.0, z.copy()
        n = el.true_amounts(dict(zip(system.components, x.tolist())), T)[0]
    elif beta >= 1.0:
        beta, y = 1.0, z.copy()
    return _result(system, z, T, P, beta, x, y, n), it + 1


def _result(system, z, T, P, beta, x, y, n):
    """A result mapping in the core's format (enthalpy and entropy as the core's TP flash
    combines them) for a split found here."""
    import velmora.brinequil as bq
    from velmora import phasekit
    el, pp = system.model, system.pp
    beta = float(beta)
    if not np.all(np.isfinite(x)) or not np.all(np.isfinite(y)):
        raise ValueError("split not finite")
    H = S = 0.0
    if beta > 0.0:
        H = beta * phasekit.enthalpy_vapor(pp, T, y, P)
        S = beta * phasekit.entropy_vapor(pp, T, y, P)
    if beta < 1.0:
        H += (1.0 - beta) * bq.liquid_enthalpy(el, pp, n, T, P, el.pure)
        S += (1.0 - beta) * phasekit.entropy_liquid(pp, T, x, P)
    return {"beta": beta, "x": np.asarray(x, dtype=float), "y": np.asarray(y, dtype=float),
            "H": float(H), "S": float(S), "iterations": 0, "T": float(T), "P": float(P),
            "true": dict(zip(el.names, np.asarray(n, dtype=float).tolist()))}


def _solve_T(system, z, P, key, target, T0):
    """The verified TP flash at the T in [200, 700] K where its entry ``key`` reaches target
    (the entry rises with T). The bracket is sought by secant steps on the last two points,
    overshooting by a fifth (at least 2 K, at most 60 K a step), then Brent's method."""
    from scipy.optimize import brentq

    seen = {}

    def g(T):
        if T not in seen:
            seen[T] = tp_flash(system, z, T, P)
        return seen[T].raw[key] - target

    lo_lim, hi_lim = checks.T_MIN, checks.T_MAX
    a = min(max(T0, lo_lim), hi_lim)
    ga = g(a)
    if ga == 0.0:
        return seen[a]
    up = ga < 0.0
    b = min(a + 5.0, hi_lim) if up else max(a - 5.0, lo_lim)
    while True:
        gb = g(b)
        if gb == 0.0:
            return seen[b]
        if (gb > 0.0) == up:
            break
        if b in (lo_lim, hi_lim):
            what = {"H": "H", "S": "S", "beta": "the vapor fraction"}[key]
            scale = 1.0 if key == "beta" else KMOL
            raise ValueError(
                f"{what} = {target / scale:g} is not reached between {lo_lim:g} and {hi_lim:g} K "
                f"at P = {P:g} Pa (at {b:g} K it is {seen[b].raw[key] / scale:g}"
                + ("; the inert gases stay in the vapor" if key == "beta" and system.gases and
                   not up else "") + ")")
        slope = (gb - ga) / (b - a)
        step = abs(gb / slope) * 1.2 if slope * (1 if up else -1) > 0.0 else 60.0
        step = min(max(step, 2.0), 60.0)
        a, ga = b, gb
        b = min(a + step, hi_lim) if up else max(a - step, lo_lim)
    lo, hi = (a, b) if up else (b, a)
    T = brentq(g, lo, hi, xtol=1e-8, rtol=4.0 * np.finfo(float).eps, maxiter=200)
    out = seen.get(T) or tp_flash(system, z, T, P)
    out.iterations = sum(v.iterations for v in seen.values())
    return out


def bubble_temperature(system, feed, P, T0=None):
    """The verified flash at the bubble temperature of ``feed`` at P: vapor fraction 0, the
    incipient vapor in ``vapor``. Solves ln sum_k K_k x_k = 0 in 200-700 K (the core's
    K-values; bracketing, then Brent's method)."""
    from scipy.optimize import brentq

    P = checks.pressure(P)
    z = checks.feed(system, feed)
    el, pp = system.model, system.pp
    el._warm = None

    def f(T):
        K = np.asarray(el.kvalues(pp, z, z, T, P)[0], dtype=float)
        return math.log(max(float(K @ z), 1e-300))

    a = min(max(checks.temperature(T0) if T0 is not None else 350.0, checks.T_MIN), checks.T_MAX)
    fa, step = f(a), 10.0
    while fa != 0.0:
        b = min(a + step, checks.T_MAX) if fa < 0.0 else max(a - step, checks.T_MIN)
        fb = f(b)
        if (fb > 0.0) != (fa > 0.0) or fb == 0.0:
            a = brentq(f, min(a, b), max(a, b), xtol=1e-10, rtol=4.0 * np.finfo(float).eps)
            break
        if b in (checks.T_MIN, checks.T_MAX):
            side = "below" if fa > 0.0 else "above"
            why = (f"; the gases {', '.join(c for c in system.gases)} keep it far below"
                   if system.gases and fa > 0.0 else "")
            raise ValueError(f"the bubble temperature at P = {P:g} Pa lies {side} "
                             f"{checks.T_MIN if fa > 0.0 else checks.T_MAX:g} K{why}")
        a, fa, step = b, fb, step * 1.6
    raw, its = _one_phase_liquid(system, z, a, P)
    res, bal, fnl = _check(system, z, raw, a, P)
    ln_sum = math.log(max(float(np.asarray(el.kvalues(pp, z, z, a, P)[0]) @ z), 1e-300))
    if abs(ln_sum) > system.tol:
        raise ConvergenceError(f"bubble temperature not converged at P = {P:g} Pa: "
                               f"ln sum K x = {ln_sum:.3g} at {a:g} K", T=a, P=P,
                               feed=dict(zip(system.components, map(float, z))),
                               residual=abs(ln_sum))
    checks.range_warnings(system, a, dict(zip(system.components, z)), stacklevel=4)
    return _finish(system, z, _Verified(raw, *fnl, abs(ln_sum), bal, its, "bubble temperature"))
