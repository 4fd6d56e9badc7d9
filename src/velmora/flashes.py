"""Flashes at the front door: verified vapor-liquid splits at a given T, H, S or vapor fraction.

Every TP flash is the core layer's (``Electrolyte.flash_tp``), checked (``velmora.checks``).
When the check fails, other solves are tried, in this order: the Newton split from the core's
point, the Newton split from fresh starts, and long successive substitution on the core's
K-values; when none passes, ``ConvergenceError``. An H, S or vapor-fraction target is met
by a bracketed solve in T over such verified TP flashes (200-700 K), which needs no bubble
temperature (a feed with an inert gas has none worth the name). Each call starts from a cold
model, so the same inputs give the same digits whatever was computed before.

An attempt ends, and the next is tried, on what says that it found no answer: its own
``_NoAnswer`` or another NoSolutionError (a liquid beyond the aqueous model among them), a failed
solve of the core (``errors.no_answer``). Any other error is a fault or bad input and reaches the
caller.

Units: T [K], P [Pa], H [J/mol of feed], S [J/(mol K) of feed] (the core works per kmol).
"""

import itertools
import math
import warnings
from typing import TYPE_CHECKING, Any, overload

import numpy as np

from . import checks
from .brinequil import _brentq as _ENGINE_BRENTQ  # (see _engine_bubble_T)
from .brinequil import _WarmStart
from .derivatives import cached_jacobian, flash_jacobian, ln_psat
from .errors import ConvergenceError, NoSolutionError, RangeWarning, no_answer, solve_failed
from .states import LiquidState, _recover

if TYPE_CHECKING:
    import pandas

    from .derivatives import FlashJacobian

# the check's mismatch as imported: the splits, the dew point and the all-vapor test run in the
# engine only while the loop would call that one (see _engine_may_run)
_FUGACITY_MISMATCH = checks.fugacity_mismatch

# Imported where used, not here: pandas (optional, slow to import), the compiled core (its
# Brent root finder too, looked up at each call; the one imported above only tells whether it
# was replaced) and its sibling modules phasekit and enginebridge (`import
# velmora.brinequil` runs this package's __init__ and loads no sibling but ionactivity).


class _NoAnswer(NoSolutionError):
    """An attempt of a flash that found no answer (the message says why): the next one is
    tried."""


class _Unsharp(ConvergenceError):
    """A TP flash's verified split whose vapor fraction its residual leaves uncertain by more
    than the tolerance (see ``_sharp``); ``found``: that split. A search in T reads its vapor
    fraction, H or S: near the boiling point of a nearly pure water beta(T) is so steep that
    T, which such a search answers, is sharp where beta at a given T is not."""

    found: Any = None


class BoilsDryError(NoSolutionError):
    """A flash at T whose liquid boils dry: every split it tried left a liquid beyond the
    aqueous model (the flash with solids says so in its own words)."""


KMOL = 1000.0  # mol per kmol: the core's J/kmol -> the front door's J/mol
# the usual T and P of checks.temperature and checks.pressure (module names: read per call)
_T_HINT, _T_MAX, _P_HINT, _P_IDEAL = checks.T_HINT, checks.T_MAX, checks.P_HINT, checks.P_IDEAL
SUBSTITUTION_STEPS = 400
SUBSTITUTION_TOL = 1e-12  # max |ln K_new/K| that ends the substitution
# ... or, below SUBSTITUTION_STALL_TOL (two decades under the checks' usual 1e-6), no new low of
# it for SUBSTITUTION_STALL steps: the K-values come from speciations settled to their own
# tolerance, whose noise the change does not fall below (docs/phase-equilibrium.md)
SUBSTITUTION_STALL, SUBSTITUTION_STALL_TOL = 20, 1e-8
POLISH = 1e-3  # a split this close is finished by substitution from it
# The core's T solve brackets its root to 1e-10 K (its answers meet H or S to about 1e-11 of
# themselves); one that misses by more found another curve on the way than the verified flashes
# draw (its unpolished TP flashes a few mK above a bubble point: K2CO3-CO2-H2O at 15.6 bar, 1e-3
# K and 7.8e-7 of H off), and the verified T solve takes over.
CORE_T_MISS = 1e-9
DRY_STEP = 0.01  # K: the T solve's step halved back from a feed boiled dry down to this


_FLOAT64 = np.dtype(np.float64)  # the native float dtype, which NumPy's float arrays share


def _floats(v: Any) -> list[float]:
    """The entries of a vector as Python floats (``float()`` of each, without the per-element
    conversion of NumPy scalars)."""
    if type(v) is np.ndarray and v.dtype is _FLOAT64:  # (is: no dtype comparison's cost)
        return v.tolist()
    return np.asarray(v, dtype=float).tolist()


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

    T: float
    P: float
    vapor_fraction: float
    H: float
    S: float
    feed: dict[str, float]
    x: dict[str, float]
    vapor: dict[str, float]
    liquid: LiquidState
    iterations: int
    converged: bool
    residual: float
    balance: float
    method: str
    raw: dict[str, Any]
    # a flash with solids only (``velmora.solids.flash_solids``)
    solids: dict[str, float]
    H_solids: float
    S_solids: float

    def __init__(
        self,
        system: Any,
        z: Any,
        raw: dict[str, Any],
        liquid: LiquidState | tuple[Any, ...],
        residual: float,
        balance: float,
        iterations: int,
        method: str,
    ) -> None:
        # one dict display (the usual TP flash makes one of these per call). feed, x and vapor:
        # named when one of them is first read (a solve over flashes reads a few scalars of
        # most); a tuple for the liquid: the arguments of ``_liquid_state``, made when first read
        self.__dict__ = {
            "T": float(raw["T"]),
            "P": float(raw["P"]),
            "vapor_fraction": float(raw["beta"]),
            "H": float(raw["H"]) / KMOL,
            "S": float(raw["S"]) / KMOL,
            "_compositions": (system.components, z, raw["x"], raw["y"]),
            "_liquid_of" if isinstance(liquid, tuple) else "liquid": liquid,
            "iterations": int(iterations),
            "converged": True,
            "residual": float(residual),
            "balance": float(balance),
            "method": method,
            "raw": raw,
            "_system": system,  # for the derivatives; not pickled
        }

    def _named(self) -> None:
        comps, z, x, y = self.__dict__.pop("_compositions")
        # a mapping set before (a solids flash sets its own feed) stays
        self.__dict__.setdefault("feed", dict(zip(comps, _floats(z))))
        self.__dict__.setdefault("x", dict(zip(comps, _floats(x))))
        self.__dict__.setdefault("vapor", dict(zip(comps, _floats(y))))

    def __getattr__(self, name: str) -> Any:
        # reached only for a name not set yet: the compositions and the liquid on their first use
        if name in ("feed", "x", "vapor") and "_compositions" in self.__dict__:
            self._named()
            return self.__dict__[name]
        if name == "liquid" and "_liquid_of" in self.__dict__:
            self.liquid = _liquid_state(*self.__dict__.pop("_liquid_of"))
            return self.liquid
        raise AttributeError(f"'FlashResult' object has no attribute {name!r}")

    def __getstate__(self) -> dict[str, Any]:
        if "_compositions" in self.__dict__:
            self._named()
        if "_liquid_of" in self.__dict__:
            self.__getattr__("liquid")
        return {k: v for k, v in self.__dict__.items() if k not in ("_system", "_jacobian")}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)

    def jacobian(self) -> "FlashJacobian":
        """Exact derivatives of this two-phase TP flash (with or without solids) with respect
        to T, P and the feed (see ``velmora.derivatives.flash_jacobian``), worked out on the
        first call and kept."""
        return cached_jacobian(self, "flash result", flash_jacobian)

    def derivative(self, quantity: str, wrt: str) -> Any:
        """d quantity / d wrt, exact: quantity "vapor_fraction" (a float), "x" or "vapor"
        (mappings by component), "solids" (a flash with solids: by solid, mol per mol of feed);
        wrt "T" [per K], "P" [per Pa] or a component [per mol added to the mol of feed]."""
        return self.jacobian().of(quantity, wrt)

    def to_dict(self) -> dict[str, Any]:
        """Scalars and compositions as plain Python values; the liquid as its own mapping."""
        keys = (
            "T",
            "P",
            "vapor_fraction",
            "H",
            "S",
            "feed",
            "x",
            "vapor",
            "iterations",
            "converged",
            "residual",
            "balance",
            "method",
        )
        d = {k: getattr(self, k) for k in keys}
        d["liquid"] = self.liquid.to_dict()
        return d

    def to_frame(self) -> "pandas.DataFrame":
        """Per component: feed, liquid and vapor mole fractions (pandas DataFrame)."""
        import pandas as pd

        return pd.DataFrame({"feed": self.feed, "liquid": self.x, "vapor": self.vapor})

    def __repr__(self) -> str:
        head = (
            f"FlashResult: T = {self.T:.3f} K, P = {self.P:.6g} Pa, vapor fraction "
            f"{self.vapor_fraction:.6g}, H = {self.H:.6g} J/mol, S = {self.S:.6g} J/(mol K); "
            f"{self.iterations} iterations ({self.method}), residual {self.residual:.2e}"
        )
        rows = [f"  {'component':<10} {'feed':>10} {'liquid':>11} {'vapor':>11}"]
        for c in self.feed:
            rows.append(f"  {c:<10} {self.feed[c]:10.5g} {self.x[c]:11.5g} {self.vapor[c]:11.5g}")
        return "\n".join([head] + rows)


def flash(
    system: Any,
    feed: Any,
    P: float,
    T: float | None = None,
    H: float | None = None,
    S: float | None = None,
    vapor_fraction: float | None = None,
    T0: float | None = None,
    warm: _WarmStart | None = None,
) -> FlashResult:
    # warm: the speciations' warm start (see _cold), left where the flash's last one left it
    if T is not None and H is None and S is None and vapor_fraction is None:
        # the usual call (one_given names what is wrong otherwise): the checks below in order,
        # each called where its own first test (the usual value) does not pass it here
        if type(P) is not float or not _P_HINT <= P <= _P_IDEAL:
            P = checks.pressure(P)
        z = checks.feed(system, feed)
        warm = _cold(warm)
        if type(T) is not float or not _T_HINT <= T <= _T_MAX:
            T = checks.temperature(T, stacklevel=4)
        info = system._info
        t_lo, t_hi = info.t_window
        if info.fitted or not t_lo <= T <= t_hi:  # (range_warnings has nothing to say else)
            # range_warnings' notes, kept for a flash repeated at this T on the kept feed
            kept = info.__dict__.get("_feed_notes_at")
            if kept is None or kept[1] is not z or kept[0] != T:
                kept = (T, z, checks.feed_notes_at(system, T, z))
            for note in kept[2]:
                warnings.warn(note, RangeWarning, stacklevel=3)
        try:
            found = tp_flash(system, z, T, P, True, warm=warm)
        except _Unsharp as e:
            # the T searches read an unsharp split (_unsharp_flash); the caller of a flash at T
            # gets the package's own error, not the searches' private kind of it
            raise ConvergenceError(str(e), e.T, e.P, e.feed, e.residual, e.tried) from None
        return found if type(found) is FlashResult else _finish(system, z, found)
    name, value = checks.one_given(T, H, S, vapor_fraction)  # (T alone: the call above)
    P = checks.pressure(P)
    z = checks.feed(system, feed)
    warm = _cold(warm)
    value = checks.number(value, name)
    if name == "vapor_fraction" and not 0.0 <= value <= 1.0:
        raise ValueError(f"vapor_fraction must lie in [0, 1], not {value:g}")
    if name == "vapor_fraction" and value == 0.0:
        with checks.warnings_to_caller(3):  # (bubble_temperature's are one level deeper)
            return bubble_temperature(system, feed, P, T0, warm)
    T0 = checks.temperature(T0, stacklevel=4) if T0 is not None else 350.0
    key = {"H": "H", "S": "S", "vapor_fraction": "beta"}[name]
    scale = 1.0 if key == "beta" else KMOL
    if key == "beta":
        share = _nonvolatile_share(system, z)
        if share > checks.TRACE and value >= 1.0 - share:
            raise NoSolutionError(_no_vapor_only(system, z, P, value, share))
        value = min(value, 1.0 - 1e-9)  # the dew point: vapor with a last drop of liquid
    # at a vapor fraction: the split with T solved at once, from the bubble point; a feed with an
    # inert gas has none worth the name, and goes to the T solve over TP flashes directly
    inert = any(z[system.components.index(g)] > 0.0 for g in system.gases)
    out = _at_vapor_fraction(system, z, P, value, T0, warm) if key == "beta" and not inert else None
    if key != "beta":
        out = _core_at_target(system, z, P, key, value * scale, T0, warm)
    try:
        if out is None:
            out = _solve_T(system, z, P, key, value * scale, T0, warm)
    except ConvergenceError as e:
        # a TP flash on the way failed: near the boiling point of a nearly pure component the
        # split at a given T is ill-conditioned, at a given vapor fraction it is not
        out = _on_boiling_line(system, z, P, key, value, None, e, warm=warm)
    else:
        if checks.target_residual(key, out.raw[key] / scale, value) > system.tol:
            # T found where the result jumps across the target: a pure or nearly pure
            # component at its boiling point, where the split, not T, sets the vapor fraction
            out = _on_boiling_line(system, z, P, key, value, out, warm=warm)
    checks.range_warnings(system, out.raw["T"], z, stacklevel=4)
    return _finish(system, z, out)


def flash_near(
    system: Any, feed: Any, P: float, T: float, near: Any, warm: _WarmStart | None = None
) -> FlashResult:
    """``flash(system, feed, P, T=T)`` for a feed next to that of ``near``, a FlashResult at the
    same T and P (the fluid of a flash with solids, which the active set moves a little at a
    time). Where near's split is one the core's does not reach (a seawater's carbonate water at
    408 K boiled to 30 % vapor: its liquid holds CO2 below 0, the same atoms as NaHCO3 given
    up; the core's Newton split stalls at another point and seven attempts fail before the split
    on the liquid's fugacities, 0.2 s a flash), that split from near's first, checked as every
    attempt; the usual flash where it does not verify."""
    if near is None or not 0.0 < near.vapor_fraction < 1.0 or near.method.startswith("core"):
        return flash(system, feed, P, T=T, warm=warm)
    P = checks.pressure(P)
    z = checks.feed(system, feed)
    T = checks.temperature(T)
    warm = _cold(warm)
    try:
        raw, its = _fugacity_split(system, z, T, P, warm, near.raw, first=1)
        res, bal, fnl = _check(system, z, raw, T, P, warm)
    except (ValueError, ArithmeticError) as e:
        if not no_answer(e):
            raise
        return flash(system, feed, P, T=T, warm=warm)
    if not (res <= system.tol and bal <= system.tol):
        return flash(system, feed, P, T=T, warm=warm)
    method = "split on the liquid's fugacities, from a neighbouring flash"
    found = _sharp(system, z, T, P, _Verified(raw, *fnl, res, bal, its, method), warm=warm)
    checks.range_warnings(system, T, z, stacklevel=4)
    return _finish(system, z, found)


def _cold(warm: _WarmStart | None) -> _WarmStart:
    """The warm start of a front-door call's speciations, started cold: the caller's
    (``warm``, a _WarmStart it keeps to see where the call's last speciation left it) or one of
    the call's own. Each call passes its own along (Electrolyte._session), never the model's
    warm-start record: its answer does not depend on earlier calls."""
    if warm is None:
        return _WarmStart()
    warm.reset()
    return warm


def _at_vapor_fraction(system, z, P, beta, T0, warm):
    """The verified split at the vapor fraction ``beta``, T solved with it (Newton's method on
    the liquid's fugacities from the feed's bubble point, sought from T0); None where either
    is not found (a feed with an inert gas boils far below 200 K) or the split is not verified:
    the caller then solves for T over TP flashes."""
    try:
        if beta >= 1.0 - 1e-8 and _nonvolatile_share(system, z) == 0.0:
            raw, its = _dew_point_from(system, z, P, T0, warm)
        else:
            Tb = _bubble_T(system, z, P, T0, warm)  # the split starts from the bubble point
            warm.reset()
            f, _, _ = _fugacities(system, dict(zip(system.components, z.tolist())), Tb, warm)
            raw, its = _fugacity_split_at_beta(
                system, z, P, beta, Tb, _incipient_vapor(system, f, Tb, P)[0], warm, f
            )
        res, bal, fnl = _check(system, z, raw, raw["T"], P, warm)
    except ConvergenceError:
        return None
    except (ValueError, ArithmeticError) as e:
        if not no_answer(e):
            raise
        return None
    tol = system.tol
    if max(res, bal, checks.target_residual("beta", raw["beta"], beta)) > tol:
        return None
    return _Verified(
        raw,
        *fnl,
        res,
        bal,
        its,
        "dew point" if raw["beta"] == 1.0 else "split at a given vapor fraction",
    )


# The core's own temperature solve found no T (phasekit's _solve_T and _brent): an attempt
# that found no answer, which the verified T solve over TP flashes then takes up.
CORE_T_FAILURES = (
    "the function is not finite at the start temperature",
    "no temperature found where the function reaches",
    "Brent's method did not converge",
)


def _core_at_target(system, z, P, key, target, T0, warm):
    """The core's flash at H or S (``target`` in J/kmol or J/(kmol K)): one call, its T solve
    over its own TP flashes with their warm trail, then the check of every answer. None
    where it finds no answer, lands outside [T_MIN, T_MAX] or fails the check (a T on a
    boiling line, a liquid the core did not settle): the caller then solves for T over
    verified TP flashes."""
    el = system.model
    warm.reset()
    try:
        raw = el._session(warm, "flash", system.pp, z, P, T0=T0, **{key: target})[0]
        if not checks.T_MIN <= raw["T"] <= checks.T_MAX:
            return None
        res, bal, fnl = _check(system, z, raw, raw["T"], P, warm)
    except ConvergenceError:
        return None
    except (ValueError, ArithmeticError) as e:
        if not (no_answer(e) or str(e).startswith(CORE_T_FAILURES)):
            raise
        return None
    found = checks.target_residual(key, raw[key] / KMOL, target / KMOL)
    if max(res, bal) > system.tol or found > min(system.tol, CORE_T_MISS):
        return None
    return _Verified(raw, *fnl, res, bal, int(raw["iterations"]), "core T solve")


def _no_vapor_only(system, z, P, value, share):
    fixed = [
        c for k, c in enumerate(system.components) if c not in system._info.volatile and z[k] > 0.0
    ]
    return (
        f"vapor fraction {value:g} cannot be reached at P = {P:g} Pa: "
        f"{', '.join(fixed)} do{'es' if len(fixed) == 1 else ''} not evaporate "
        f"({share:.4g} of the feed), so at most {1.0 - share:.6g} of the feed can become "
        "vapor, "
        "and less where the liquid saturates: a liquid that holds a salt has no vapor-only "
        "state (give vapor_fraction below that, or solids=True to let the salt come out)"
    )


def _feed_text(system, z):
    return "{" + ", ".join(f"{c}: {float(v):.6g}" for c, v in zip(system.components, z)) + "}"


def _on_boiling_line(system, z, P, key, value, out, error=None, *, warm):
    """The verified split with the vapor fraction, H or S ``value`` (front-door units) where
    the T solve stopped at a jump (``out``) or failed (``error``, a ConvergenceError at T):
    splits at a given vapor fraction, T solved with each; for H or S, Brent's method in the
    vapor fraction over them."""
    from .brinequil import _brentq as brentq

    scale = 1.0 if key == "beta" else KMOL
    if out is not None:
        T0 = out.raw["T"]
        y0 = (
            np.asarray(out.raw["y"], dtype=float)
            if out.raw["beta"] > 0.0
            else _incipient_vapor(system, out.f, T0, P)[0]
        )
        tried = [f"T solve: {key} = {out.raw[key] / scale:.9g} at {T0:.9g} K"]
    else:
        T0 = error.T
        try:
            warm.reset()
            f, _, _ = _fugacities(system, dict(zip(system.components, z.tolist())), T0, warm)
        except (ValueError, ArithmeticError) as e:
            if not no_answer(e):
                raise
            raise error from None
        y0 = _incipient_vapor(system, f, T0, P)[0]
        tried = [f"T solve: {error}"]
    seen = {}
    last = [T0, y0]

    def at(beta):
        if beta not in seen:
            raw, its = _fugacity_split_at_beta(system, z, P, beta, last[0], last[1], warm)
            last[:] = [raw["T"], raw["y"]]
            seen[beta] = raw
        return seen[beta]

    try:
        if key == "beta" and value >= 1.0 - 1e-8 and _nonvolatile_share(system, z) == 0.0:
            # the dew point: the split's liquid is 1e-9 of the feed, the incipient liquid's
            # composition is the unknown instead
            seen[value] = _dew_point(system, z, P, T0, warm)[0]
            beta = value
        elif key == "beta":
            beta = value
        else:
            lo = 1e-9
            hi = (1.0 - _nonvolatile_share(system, z)) * (1.0 - 1e-6)
            # the bracket grown from the T solve's split (H and S rise with beta), or from
            # half the feed where it failed, steps of 0.01 times 4: the ends are the splits
            # hardest to find (a water with 4e-7 of CaCO3 at its boiling point: its split at
            # vapor fraction 1 - 1.4e-6 was not found, where the S asked for lies 3e-5 from the
            # T solve's 0.29997)
            b0 = out.raw["beta"] if out is not None else 0.5
            b0 = min(max(b0, lo), hi)
            g0, step = at(b0)[key] / scale - value, 0.01
            b1, g1 = b0, g0
            while g0 != 0.0:
                b1 = min(b0 + step, hi) if g0 < 0.0 else max(b0 - step, lo)
                if b1 == b0:
                    break  # an end, the target beyond it
                g1 = at(b1)[key] / scale - value
                if g0 * g1 <= 0.0 or b1 in (lo, hi):
                    break
                b0, g0, step = b1, g1, 4.0 * step
            (lo, glo), (hi, ghi) = sorted([(b0, g0), (b1, g1)])
            if glo * ghi > 0.0:
                raise _NoAnswer(
                    f"{key} at vapor fractions {lo:g} and {hi:.6g} lies on one side of the target"
                )
            beta = (
                b0
                if g0 == 0.0
                else brentq(
                    lambda b: at(b)[key] / scale - value,
                    lo,
                    hi,
                    xtol=1e-13,
                    rtol=4.0 * np.finfo(float).eps,
                )
            )
        raw = at(beta)
    except ValueError as e:
        if not no_answer(e):
            raise
        tried.append(f"splits at a given vapor fraction: {e}")
    else:
        try:
            res, bal, fnl = _check(system, z, raw, raw["T"], P, warm)
        except NoSolutionError as e:
            # the split with the target has its liquid beyond the aqueous model (a salt's water
            # boiled off to 120 mol/kg) or where the activity model is unstable: no answer
            what = {"H": "H", "S": "S", "beta": "vapor fraction"}[key]
            raise NoSolutionError(
                f"{what} = {value:g} at P = {P:g} Pa leaves no liquid within the aqueous model: "
                f"the split there, at {raw['T']:.6g} K: {e}"
            ) from None
        miss = checks.target_residual(key, raw[key] / scale, value)
        if res <= system.tol and bal <= system.tol and miss <= system.tol:
            return _Verified(
                raw,
                *fnl,
                res,
                bal,
                (out.iterations if out else 0) + len(seen),
                "dew point" if raw["beta"] == 1.0 else "split at a given vapor fraction",
            )
        tried.append(
            f"split at a given vapor fraction: residual {max(res, bal):.3g}, "
            f"{key} off by {miss:.3g}"
        )
    if out is None:
        raise ConvergenceError(
            f"{error}; then {tried[-1]}",
            T=error.T,
            P=P,
            feed=error.feed,
            residual=error.residual,
            tried=tuple(error.tried) + tuple(tried),
        )
    what = {"H": "H", "S": "S", "beta": "vapor fraction"}[key]
    raise ConvergenceError(
        f"flash at {what} = {value:g}, P = {P:g} Pa not converged for the feed "
        f"{_feed_text(system, z)}: the temperature solve stopped at {T0:.9g} K with {what} = "
        f"{out.raw[key] / scale:.9g}; tried " + "; ".join(tried),
        T=T0,
        P=P,
        feed=dict(zip(system.components, map(float, z))),
        residual=checks.target_residual(key, out.raw[key] / scale, value),
        tried=tried,
    )


class _Verified:
    """A verified core result, with the liquid's speciation that verified it (``water``: True
    where the core found that liquid to pass ``checks.true_water``)."""

    __slots__ = (
        "raw",
        "f",
        "n",
        "lng",
        "chem_res",
        "residual",
        "balance",
        "iterations",
        "method",
        "water",
    )

    def __init__(self, raw, f, n, lng, chem_res, residual, balance, iterations, method, water=None):
        self.raw, self.f, self.n, self.lng, self.chem_res = raw, f, n, lng, chem_res
        self.residual, self.balance = residual, balance
        self.iterations, self.method, self.water = iterations, method, water


def _finish(system, z, v):
    raw = v.raw
    T = raw["T"]
    beta = raw["beta"]
    if beta <= 0.0:
        # all liquid: the vapor it would be in equilibrium with, from its verified fugacities
        # (every volatile it holds or makes; none of its salts)
        raw = dict(raw, y=_incipient_vapor(system, v.f, T, raw["P"])[0])
    liquid: Any
    if beta < 1.0 and v.water is True:
        # a liquid the core found to pass checks.true_water: nothing to raise, its state made
        # when first read (a solve over flashes reads none), from raw's x as the result's x is
        liquid = (system, raw["x"], T, v.n, v.lng, v.f, v.chem_res)
    else:
        xl = _floats(raw["x"])
        x = dict(zip(system.components, xl))
        if beta >= 1.0:
            # all vapor (a dew point too): verified on its incipient liquid, which a split's
            # check would refuse beyond the aqueous model (an ammonia-rich first drop); said,
            # not refused
            info = system._info
            kg = x.get("H2O", 0.0) * info.kg_water
            over = [
                (v / kg if kg > 0.0 else math.inf, c)
                for c, v in x.items()
                if c != "H2O" and c not in info.solvents and v > checks.M_MAX * kg
            ]
            if over:
                m, c = max(over)
                warnings.warn(
                    f"all vapor at T = {T:g} K, P = {raw['P']:g} Pa: verified on an incipient "
                    f"liquid of {c} at {m:.4g} mol/kg of water, beyond the aqueous model "
                    f"(0-{checks.M_MAX:g} mol/kg): extrapolated",
                    RangeWarning,
                    stacklevel=4,
                )
        # x and xl are this state's own: kept as they are, xl summed when the enthalpy is read
        liquid = LiquidState(
            system, x, T, v.n, v.lng, v.f, v.chem_res, water_checked=v.water is True, total_of=xl
        )
    if system._info.__dict__.get("_pair_positions") != []:  # (none to warn of: no call)
        checks.pair_warnings(system, v.n, stacklevel=5)
    return FlashResult(system, z, raw, liquid, v.residual, v.balance, v.iterations, v.method)


def _liquid_state(system, x, T, n, lng, f, res):
    """The LiquidState of a flash's liquid: x its apparent amounts in component order, which the
    core found to pass ``checks.true_water``."""
    xl = _floats(x)
    return LiquidState(
        system, dict(zip(system.components, xl)), T, n, lng, f, res, water_checked=True, total_of=xl
    )


def _fugacities(system, app, T, warm):
    """(f, n, lng) of the liquid ``app`` at T, settled (see ``_settled``)."""
    return _settled(system, app, T, warm)[:3]


def _settled(system, app, T, warm, answer=None, done=None):
    """The liquid fugacities, true amounts and ln gamma of the apparent liquid ``app`` at T
    (the core's ``fugacities``, from the call's warm start ``warm``, a _WarmStart), settled:
    where the core's loop does not settle or diverges (hot, highly loaded amine or ammonia
    liquids), the recovery of ``velmora.states`` (Newton with ln gamma in the Jacobian) gives
    the liquid; ValueError
    where none verifies (the trial liquids of a split: see ``_fugacity_newton``). ``_settled``
    adds whether the recovery was needed, and, for the liquid of a flash answer ``answer`` =
    (z, beta, x, y, P), the answer's residuals as the core's check gives them with the liquid
    (see ``checks.flash_residuals``; None: the caller computes them). ``done``: that check
    made already, with the flash (its outcome, or the error its speciation raised)."""
    el = system.model
    try:
        if isinstance(done, Exception):
            raise done
        if done is not None:
            core = done
        else:
            core = None
            if answer is not None:
                z, beta, x, y, P = answer
                core = checks.flash_residuals(system, app, T, z, beta, x, y, P, warm)
        if core is not None:
            if core[3]:
                return core[:3] + (False, core[4])
            n_core = core[1]
        else:
            # a flash answer's liquid as the compiled check speciates it (trace totals settled)
            out: Any = None
            status: Any = None
            if answer is not None and getattr(el, "_front_fugacities", None) is not None:
                out, status = el._session(warm, "_front_fugacities", app, T)
            if out is None:
                out, status = el._session(warm, "fugacities", app, T)
            if status["speciation_converged"]:
                return out + (False, None)
            n_core = out[1]
        best, cause = math.inf, None
    except (ValueError, ArithmeticError) as exc:
        if not solve_failed(exc):
            raise
        n_core, best, cause = None, math.inf, exc
    try:
        f, n, lng, _ = _recover(system, app, T, n_core, best, cause, warm)
    except ConvergenceError as exc:
        raise _NoAnswer(str(exc)) from None
    return f, n, lng, True, None


STABLE_CHECK = 10.0  # mol/kg: a liquid this concentrated in a solute has its stability tested


def _stable_water(system, app, T, f, warm):
    """ValueError where the liquid ``app`` (fugacities f) is concentrated beyond STABLE_CHECK
    mol/kg in a solute and its water's fugacity does not rise as water is added: a liquid the
    activity model makes unstable there, whose split is no answer (it may lie beside the real
    one; a boiling brine then has several). One more speciation for such liquids only."""
    water = app.get("H2O", 0.0)
    kg = water * system._info.mw["H2O"] / 1000.0
    solvents = system._info.solvents
    for c, v in app.items():  # (a loop: no generator's frame for a few components)
        if v > STABLE_CHECK * kg and c != "H2O" and c not in solvents:
            break
    else:
        return
    more = dict(app)
    more["H2O"] = water * (1.0 + 1e-4)
    f2 = _fugacities(system, more, T, warm)[0]
    if not f2["H2O"] > f["H2O"]:
        top = max((v for c, v in app.items() if c != "H2O" and c not in solvents)) / kg
        raise _NoAnswer(
            f"the liquid's split at {top:.4g} mol/kg lies where the activity model "
            "is unstable (water's fugacity falls as water is added)"
        )


def _check(
    system: Any,
    z: np.ndarray,
    raw: dict[str, Any],
    T: float,
    P: float,
    warm: _WarmStart,
    done: Any = None,
) -> tuple[float, float, tuple[Any, Any, Any, float]]:
    """(largest residual, balance, (f, n, lng, speciation residual)) of a core result (whose
    H, S and true amounts are made those of the settled liquid where the speciation's recovery
    was needed to settle it), its liquid speciated from ``warm`` (a _WarmStart: where the
    solve that found raw left it). ``done``: the core's check of it made with the flash (see
    ``checks.flash_and_check``: its liquid passed ``checks.solutes``), or the error it raised."""
    x = np.asarray(raw["x"], dtype=float)
    y = np.asarray(raw["y"], dtype=float)
    app = dict(zip(system.components, x.tolist()))
    beta = float(raw["beta"])
    if beta < 1.0 and done is None:
        # a liquid of the aqueous model: water, and no solute beyond M_MAX mol/kg of it (a flash
        # may find a "liquid" of salt with 1e-9 of water, a root of the model outside its range)
        checks.solutes(system, app)  # (an entry not above 0 passes its tests as if left out)
    f, n, lng, recovered, checked = _settled(
        system, app, T, warm, answer=(z, beta, x, y, P), done=done
    )
    if 0.0 < beta < 1.0:
        _stable_water(system, app, T, f, warm)
    if checked is not None:  # the core's check of the liquid it settled without recovery
        res, bal, chem_res = checked
        return max(res, chem_res), bal, (f, n, lng, chem_res)
    if recovered and beta < 1.0:
        # the solver's liquid was the core's unsettled one: its enthalpy and entropy, and the
        # true amounts reported, from the settled liquid
        settled = _result(system, z, T, P, beta, x, y, n)
        for key in ("H", "S", "true"):
            raw[key] = settled[key]
    res, bal = checks.phase_residual(system, z, beta, x, y, T, P, f, n)
    chem_res = checks.speciation_residual(system, app, T, n, lng)
    return max(res, chem_res), bal, (f, n, lng, chem_res)


def _split_note(split: Any) -> str:
    """What MINPACK's status of the core's Newton split adds to the account of its attempt (1:
    converged; others: stopped short, its point checked all the same)."""
    return f" (Newton split status {split})" if split not in (None, 1) else ""


@overload
def tp_flash(
    system: Any, z: np.ndarray, T: float, P: float, *, warm: _WarmStart
) -> "_Verified": ...


@overload
def tp_flash(
    system: Any, z: np.ndarray, T: float, P: float, named: bool, *, warm: _WarmStart
) -> "_Verified | FlashResult": ...


def tp_flash(
    system: Any, z: np.ndarray, T: float, P: float, named: bool = False, *, warm: _WarmStart
) -> "_Verified | FlashResult":
    """A verified TP flash (``_Verified``), or ConvergenceError; its speciations from the warm
    start ``warm`` (a _WarmStart), left where the last of them left it. ``named``: the usual
    answer (the core's split, checked by the core, sharp, its liquid's water passed, no default
    pair to warn of) as the ``FlashResult`` that ``_finish`` makes of it."""
    tol = system.tol
    # the core's flash and its check first, outside the machinery of the other attempts: the
    # usual answer (the attempts below start from this one's outcome)
    el = system.model
    core: Any = None
    note = ""
    checked: tuple[float, float, tuple[Any, Any, Any, float]] | Exception | None
    box: list[Any] = []  # the flash's result and split status, then whether the check began
    try:
        try:  # the flash and its check in one call of the core, where it makes them
            one = getattr(el, "_front_tp_flash", None)
            info = system._info
            args = info.__dict__.get("_flash_args")
            if one is None or args is None or args[1][3] != STABLE_CHECK:
                done = checks.flash_and_check(system, z, T, P, box, STABLE_CHECK, warm)
            else:  # (checks.flash_and_check with its arguments made)
                done = one(
                    system.pp,
                    z,
                    T,
                    P,
                    system.components,
                    tol,
                    args[0],
                    args[1],
                    box,
                    info.self_ions_bound,
                    warm,
                )
        except (ValueError, ArithmeticError) as e:
            if len(box) < 3:
                raise
            done = e  # the check's speciation failed: handled as where it is made here
        if len(box) > 3 and box[3] and done[3] and done[4] is not None:
            # the core's check, of a liquid it settled, with no stability test to make: what
            # _check makes of it
            core = box[0]
            res, bal, chem_res = done[4]
            if chem_res > res:  # (max(res, chem_res))
                res = chem_res
            if res <= tol and bal <= tol:  # the usual answer
                # the core's |d beta / d ln K| of its split: _sharp's first test, without its
                # call where the split's vapor fraction is sharp (see beta_spread; the smaller
                # phase's fraction, at least 1e-3, as max(min(beta, 1 - beta), 1e-3) gives it)
                beta = core["beta"]
                water = box[5] if len(box) > 5 else None
                sharp = not (0.0 < beta < 1.0 and res > 0.0)
                if not sharp:
                    small = 1.0 - beta if 1.0 - beta < beta else beta
                    sharp = not box[4] * res > tol * (1e-3 if 1e-3 > small else small)
                    if (
                        sharp
                        and named
                        and water is True
                        and info.__dict__.get("_pair_positions") == []
                    ):
                        # _finish(system, z, found) of a split whose liquid passed: its state
                        # made when first read, no pair to warn of
                        return FlashResult(
                            system,
                            z,
                            core,
                            (system, core["x"], core["T"], done[1], done[2], done[0], chem_res),
                            res,
                            bal,
                            core["iterations"],
                            "core TP flash",
                        )
                found = _Verified(
                    core,
                    done[0],
                    done[1],
                    done[2],
                    chem_res,
                    res,
                    bal,
                    core["iterations"],
                    "core TP flash",
                    water,
                )
                return found if sharp else _sharp(system, z, T, P, found, box[4], warm=warm)
            note = _split_note(box[1])
            checked = (res, bal, (done[0], done[1], done[2], chem_res))
        else:
            if box:
                core, split = box[0], box[1]
            else:
                core, status = el._session(warm, "flash_tp", system.pp, z, T, P)
                split = status["split_status"]
            note = _split_note(split)
            # the check speciates the answer's liquid again: a liquid whose speciation fails is
            # a failed attempt like any other
            checked = _check(system, z, core, T, P, warm, done)
    except (ValueError, ArithmeticError) as e:
        if not no_answer(e):
            raise
        if len(box) > 1:  # the flash's own answer, whose check failed
            core, note = box[0], _split_note(box[1])
        checked = e
    else:
        res, bal, fnl = checked
        if res <= tol and bal <= tol:
            found = _Verified(core, *fnl, res, bal, core["iterations"], "core TP flash")
            # the core's |d beta / d ln K| of its split, where it checked the answer itself
            return _sharp(system, z, T, P, found, box[4] if len(box) > 4 else None, warm=warm)
    tried: list[str] = []
    best, its = math.inf, 0
    dry = False  # a split left a liquid beyond the aqueous model
    for method, attempt in _attempts(system, z, T, P, tried, core, note, warm):
        try:
            if checked is None:
                raw, n_it = attempt()
                its += n_it
                res, bal, fnl = _check(system, z, raw, T, P, warm)
            else:  # the core's flash and its check, done above
                done, checked = checked, None
                if core is not None:
                    raw, n_it = attempt()
                    its += n_it
                if isinstance(done, Exception):
                    raise done
                res, bal, fnl = done
        except (ValueError, ArithmeticError) as e:
            if not no_answer(e):
                raise
            tried.append(f"{method}: {e}")
            dry = dry or isinstance(e, checks.NotAqueousError)
            continue
        if res <= tol and bal <= tol:
            return _sharp(system, z, T, P, _Verified(raw, *fnl, res, bal, its, method), warm=warm)
        tried.append(f"{method}: residual {max(res, bal):.3g}")
        if max(res, bal) < min(best, POLISH) and 0.0 < raw["beta"] < 1.0:
            # close, but a solver stalled short of the tolerance: substitution from this split
            # converges linearly from here
            try:
                raw, n_it = _substitution(system, z, T, P, warm, raw)
                its += n_it
                res, bal, fnl = _check(system, z, raw, T, P, warm)
            except (ValueError, ArithmeticError) as e:
                if not no_answer(e):
                    raise
                tried.append(f"substitution from that split: {e}")
            else:
                if res <= tol and bal <= tol:
                    found = _Verified(raw, *fnl, res, bal, its, method + ", polished")
                    return _sharp(system, z, T, P, found, warm=warm)
                tried.append(f"substitution from that split: residual {max(res, bal):.3g}")
        best = min(best, max(res, bal))
    feed = dict(zip(system.components, (float(v) for v in z)))
    if dry and best > POLISH:
        # no split found but ones whose liquid is nearly all salt: the water boils off
        salts = [
            c
            for c in system.components
            if c not in system._info.volatile and c not in system._info.solvents and feed[c] > 0.0
        ]
        raise BoilsDryError(
            f"at T = {T:g} K, P = {P:g} Pa the liquid of the feed {_feed_text(system, z)}"
            f" boils dry: what would stay liquid holds more than {checks.M_MAX:g} mol/kg of "
            f"{', '.join(salts) or 'its solutes'} (beyond the aqueous model); flash with "
            "solids=True to let the salt come out"
        )
    why = f"{_near_critical(system, T, tried)} best residual {best:.3g} (tolerance {tol:g})"
    raise _not_converged(ConvergenceError, system, z, T, P, why, best, tried)


def _not_converged(kind, system, z, T, P, why, residual, tried):
    """The error (of type ``kind``) of a TP flash that did not converge: ``why`` after the
    point and the feed, then the attempts ``tried``."""
    return kind(
        f"flash not converged at T = {T:g} K, P = {P:g} Pa for the feed {_feed_text(system, z)}"
        f":{why}; tried " + "; ".join(tried),
        T=T,
        P=P,
        feed=dict(zip(system.components, (float(v) for v in z))),
        residual=residual,
        tried=tried,
    )


NEAR_CRITICAL = 50.0  # K below water's critical temperature: the band where a brine's liquid
# model fails as water turns into a near-critical fluid (the hot brines seen failing were 18 to
# 25 K below it; a band, not a datum)


def _near_critical(system, T, tried):
    """The reason a TP flash found nothing, where its attempts failed on the liquid's chemical
    equilibrium within NEAR_CRITICAL of water's critical temperature or above it: there the
    liquid model finds no liquid (3 mol/kg NaCl at 628.6 K and 180 bar: 'diverged'). '' else."""
    if "H2O" not in system.components or not any(
        "chemical equilibrium of the liquid" in t for t in tried
    ):
        return ""
    if T < checks.water_critical_T() - NEAR_CRITICAL:
        return ""
    return (
        f" at {T:g} K{checks.water_critical_note(T)}, the liquid model finds no liquid (its "
        "chemical equilibrium fails: see the attempts);"
    )


def beta_spread(
    z: np.ndarray, raw: dict[str, Any], residual: float, sensitivity: float | None = None
) -> float:
    """How far the vapor fraction of a split may lie from the exact split's, given the split's
    fugacity residual: |d beta / d ln K_i| of the Rachford-Rice equation at the split's phase
    compositions, x_i y_i / z_i / sum_j (y_j - x_j)^2 / z_j, largest over the components, times
    the residual (``sensitivity``: that factor, where the core worked it out). Near a bubble or
    dew point of a nearly pure solvent (a dilute brine boiling) beta is ill-conditioned: a
    residual of 4e-7 in ln f moved beta by 7 %."""
    if sensitivity is None:
        x, y = (np.asarray(raw[k], dtype=float).tolist() for k in ("x", "y"))
        den = top = 0.0
        for xi, yi, zi in zip(x, y, z.tolist()):
            if zi > 0.0:
                den += (yi - xi) * (yi - xi) / zi
                top = max(top, xi * yi / zi)
        sensitivity = top / den if den > 0.0 else math.inf
    return sensitivity * residual


def _sharp(system, z, T, P, found, sensitivity=None, *, warm):
    """A verified split whose vapor fraction its residual leaves uncertain by more than the
    tolerance (relative to the smaller phase, see ``beta_spread``; ``sensitivity``: its factor
    for ``found``, where known) polished by the core's Newton's method from itself, while that
    lowers the residual (at most three times); where that leaves it uncertain, the split solved
    again in its vapor fraction (``_split_in_beta``). ConvergenceError where neither makes it
    sharp; any other answer as it is."""
    tol = system.tol
    spread = 0.0
    for _ in range(3):
        raw = found.raw
        beta = raw["beta"]
        if not (0.0 < beta < 1.0 and found.residual > 0.0):
            return found
        # (a thousandth of the tolerance in beta itself is below any use of it)
        spread = beta_spread(z, raw, found.residual, sensitivity)
        sensitivity = None  # (a polished split has its own)
        if not spread > tol * max(min(beta, 1.0 - beta), 1e-3):
            return found
        el = system.model
        try:
            warm.reset()
            b, x, y, n, nfev = el._session(
                warm, "_flash_newton", system.pp, z, T, P, beta * np.asarray(raw["y"]), 1e-9
            )[0]
            polished = _result(system, z, T, P, b, x, y, n)
            res, bal, fnl = _check(system, z, polished, T, P, warm)
        except (ValueError, ArithmeticError) as e:
            if not no_answer(e):
                raise
            break
        if not (res < found.residual and res <= tol and bal <= tol):
            break
        found = _Verified(
            polished,
            *fnl,
            res,
            bal,
            found.iterations + nfev,
            found.method.split(", ")[0] + ", polished by Newton",
        )
    else:
        raw = found.raw
        beta = raw["beta"]
        if not (0.0 < beta < 1.0 and found.residual > 0.0):
            return found
        spread = beta_spread(z, raw, found.residual)
        if not spread > tol * max(min(beta, 1.0 - beta), 1e-3):
            return found
    # the core's Newton failed (it takes the water of a dilute carbonate water at its boiling
    # point to a vapor fraction of 8e-4) or left the split unsharp: Newton's method again, on
    # the split in its vapor fraction, its liquid's traces resolved
    why = f"{found.method}: vapor fraction {found.raw['beta']:.6g} uncertain by {spread:.3g}"
    try:
        raw, its, step = _split_in_beta(system, z, T, P, found.raw, found.f, warm)
        res, bal, fnl = _check(system, z, raw, T, P, warm)
    except (ValueError, ArithmeticError) as e:
        if not no_answer(e):
            raise
        tried = [why, f"Newton's method in the vapor fraction: {e}"]
    else:
        beta = raw["beta"]
        smaller = min(beta, 1.0 - beta)
        # sharp; or within its last step of a phase boundary, that step within tol: the smaller
        # phase of a flash on the way to a dew point (1 - beta 4e-9, the step 4e-8 past 1)
        # is there or not within what beta is known to
        if (
            res <= tol
            and bal <= tol
            and (step <= tol * max(smaller, 1e-3) or smaller <= step <= tol)
        ):
            method = found.method.split(", ")[0] + ", solved in its vapor fraction"
            return _Verified(raw, *fnl, res, bal, found.iterations + its, method)
        tried = [
            why,
            f"Newton's method in the vapor fraction: {beta:.6g}, its last step {step:.3g}, "
            f"residual {max(res, bal):.3g}",
        ]
    why = f" its split's vapor fraction is not sharp (tolerance {tol:g} of the smaller phase)"
    err = _not_converged(_Unsharp, system, z, T, P, why, found.residual, tried)
    err.found = found
    raise err


def _trial_fugacities(el, warm, app, T):
    """((fugacities, true amounts, ln gamma), status) of a split's trial liquid, each trace
    resolved to its own total: the core's speciation returns its warm start where a trace's
    total moves by less than 1e-11 of the liquid, and a difference Jacobian loses that trace's
    liquid part (see _split_in_beta). The core's fugacities where a model method is
    replaced."""
    out, status = el._session(warm, "_front_fugacities", app, T)
    if out is None:
        out, status = el._session(warm, "fugacities", app, T)
    return out, status


def _incipient_fugacities(system, app, T, warm):
    """(fugacities, true amounts) of an incipient liquid's trial point (a dew point's, a
    vapor's at T), each trace resolved to its own total (``_trial_fugacities``: H2S at 4.5e-7
    in water at its dew point kept the last trial's liquid part, the columns of ln x_H2O and
    ln x_H2S came out equal and the Jacobian singular), settled where the core's loop is not
    (``_fugacities``)."""
    (f, n, _), status = _trial_fugacities(system.model, warm, app, T)
    if not status["speciation_converged"]:
        f, n, _ = _fugacities(system, app, T, warm)
    return f, n


def _split_rows(system, ks, f, n, x, y, lnphi, P, r, mis):
    """Into r[i]: ln (y_k phi_k P / f_k) of a split's components ks[i] (f: the liquid's
    fugacities [Pa] by name, n its true amounts), and into mis[i] the check's scaled mismatch
    of the two (checks.fugacity_mismatch, its trace allowance from the larger of x_k and the
    molecule's true fraction)."""
    comps, pos, tol = system.components, system._info.pos, system.tol
    lnP, tot = math.log(P), float(n.sum())
    for i, k in enumerate(ks):
        fk = f[comps[k]]
        if not fk > 0.0:
            raise _NoAnswer(f"the liquid holds no {comps[k]}")
        r[i] = math.log(y[k]) + lnphi[k] + lnP - math.log(fk)
        mis[i] = checks.fugacity_mismatch(
            fk, fk * math.exp(r[i]), P, max(x[k], float(n[pos[comps[k]]]) / tot), tol
        )


SHARP_STEPS = 12  # Newton steps of _split_in_beta


def _split_in_beta(system, z, T, P, start, f, warm):
    """(raw, evaluations, last step in beta) of the split at T and P by Newton's method on
    the liquid's fugacities, from the split ``start`` (its liquid's fugacities ``f``), the
    unknowns the vapor fraction beta and ln v_k of the volatiles but the vapor's main one, d
    (or ln (a_k - v_k), as in ``_fugacity_newton``), v_d = beta - sum v_k. Near the boiling
    point of a nearly pure water with traces beta is the one direction the fugacities hardly
    see (water's ln f_L - ln f_V moves 8e-6 per unit of beta), which this makes a column of its
    own; the liquids are speciated with each trace resolved to its own total
    (``_front_fugacities``): the usual speciation holds its balances to 1e-11 of the liquid
    and returns a warm start unchanged when a trace's total moves by less (CO2 at 1.4e-8 of a
    liquid: its column in the Jacobian lost ln f_L's share, and the split at T stalled at a
    residual of 1e-7 in water's ln f, beta off by 5-20 %; with its liquids resolved it ends at
    a scaled residual of 7.7e-10, which leaves beta uncertain by more than its tolerance).
    Ends where the Newton step moves beta by at most a thousandth of the tolerance of the
    smaller phase, or where the line search stalls; the last step's change of beta is beta's
    uncertainty."""
    from velmora import phasekit

    comps, el, pp = system.components, system.model, system.pp
    nc = len(comps)
    tol = system.tol
    V = _volatiles_of(system, z, f)
    y0 = np.asarray(start["y"], dtype=float)
    if not np.all(y0[V] > 0.0):
        y0 = np.where(y0 > 0.0, y0, _incipient_vapor(system, f, T, P)[0] * 1e-3)
    beta0 = float(start["beta"])
    d = max(V, key=lambda k: y0[k])
    rest = [k for k in V if k != d]
    m = len(rest)
    zV = _available(system, z) / AVAILABLE
    v0 = beta0 * y0[rest]
    liq = (v0 > 0.5 * zV[rest]) & (zV[rest] - v0 > 0.0)
    u = np.append(np.log(np.where(liq, zV[rest] - v0, v0)), beta0)
    small = max(min(beta0, 1.0 - beta0), 1e-3)
    order = rest + [d]
    mis = np.zeros(m + 1)  # the check's scaled mismatch of the last evaluation
    evals = [0]
    warm.reset()

    def F(u):
        beta = float(u[m])
        if not 0.0 < beta < 1.0:
            raise _NoAnswer("vapor fraction out of range")
        e = np.exp(u[:m])
        vO = np.where(liq, zV[rest] - e, e)
        v = np.zeros(nc)
        v[rest] = vO
        v[d] = beta - float(vO.sum())
        if not (np.all(v[V] > 0.0) and np.all(v[V] <= zV[V])):
            raise _NoAnswer("a vapor amount out of range")
        x = (z - v) / (1.0 - beta)
        y = v / beta
        app = dict(zip(comps, x.tolist()))
        evals[0] += 1
        (fl, n, _), status = _trial_fugacities(el, warm, app, T)
        if not status["speciation_converged"]:
            raise _NoAnswer("a trial liquid's speciation did not settle")
        r = np.empty(m + 1)
        _split_rows(system, order, fl, n, x, y, phasekit.phi_vapor(pp, y, T, P), P, r, mis)
        return r, (beta, x, y, n)

    def size(du):  # a step's size: ln units, and beta relative to the smaller phase
        return max(float(np.max(np.abs(du[:m]))) if m else 0.0, abs(float(du[m])) / small)

    r, state = F(u)
    step = math.inf
    for _ in range(SHARP_STEPS):
        scaled = float(np.max(mis))  # (F's of the current point: the differences come next)
        J = np.empty((m + 1, m + 1))
        for j in range(m + 1):
            # steps of LARGE_STEP in the logarithms: a trace's liquid share (H2S at 3e-10 of
            # a boiling water) follows a smaller one by less than the speciation resolves
            h = LARGE_STEP if j < m else 1e-4 * min(u[m], 1.0 - u[m])
            uj = u.copy()
            uj[j] += h
            J[:, j] = (F(uj)[0] - r) / h
        try:
            du = np.linalg.solve(J, -r)
        except np.linalg.LinAlgError:
            raise _NoAnswer("singular Jacobian") from None
        step = abs(float(du[m]))
        if step <= 1e-3 * tol * small and scaled <= SPLIT_TOL * tol:
            break
        full = size(du)
        du *= min(1.0, 0.5 / max(full, 1e-300))  # (at most half the smaller phase)
        # damped until the Newton step of the same Jacobian shrinks (Deuflhard's test: the
        # rows' scales, 1e-6 for water and 1 for a trace, do not matter)
        t = 1.0
        while True:
            try:
                un = u + t * du
                rn, sn = F(un)
                if size(np.linalg.solve(J, -rn)) < full:
                    break
            except ValueError as e:
                if not no_answer(e):
                    raise
            t *= 0.5
            if t < 1e-4:
                return _result(system, z, T, P, *state), evals[0], step
        u, r, state = un, rn, sn
    return _result(system, z, T, P, *state), evals[0], step


def _attempts(system, z, T, P, tried, raw, note, warm):
    """(name, callable) of the solves tried in turn; each callable returns (raw, iterations).
    ``tried``: the caller's account of the attempts, which the core's status annotates;
    ``raw``: the core's flash (run by the caller), ``note``: what its split status adds."""
    el, pp = system.model, system.pp
    state = {"tried": tried}

    def core():
        state["core"] = raw  # (not called where the core's flash raised)
        if note:
            state["note"] = note
        return raw, raw["iterations"]

    def newton_from(v0):
        def run():
            warm.reset()
            beta, x, y, n, nfev = el._session(warm, "_flash_newton", pp, z, T, P, v0, 1e-9)[0]
            return _result(system, z, T, P, beta, x, y, n), nfev

        return run

    yield "core TP flash", core
    if "note" in state:
        state["tried"][-1] += state.pop("note")
    info = system._info
    if any(
        z[k] <= checks.TRACE for k, c in enumerate(system.components) if c in info.volatile
    ) and _aqueous(system, z):
        # first on a budget, the full split the last attempt where this one finds none
        yield (
            "split on the liquid's fugacities",
            lambda: _fugacity_split(
                system, z, T, P, warm, state.get("core"), spend=EARLY_SPLIT_EVALS
            ),
        )
    raw = state.get("core")
    if raw is not None and 0.0 < raw["beta"] < 1.0:
        yield "Newton split from the core's point", newton_from(raw["beta"] * np.asarray(raw["y"]))
    yield "all-liquid test", lambda: _one_phase_liquid(system, z, T, P, warm)
    yield "all-vapor test", lambda: _one_phase_vapor(system, z, T, P, warm)
    yield "successive substitution", lambda: _substitution(system, z, T, P, warm)
    for b in (0.5, 0.1, 0.9):
        yield f"Newton split from vapor fraction {b}", newton_from(b * z)
    if not any(
        z[k] > checks.TRACE for k, c in enumerate(system.components) if c not in info.volatile
    ):
        yield (
            "all-vapor test on the liquid's fugacities",
            lambda: _vapor_on_fugacities(system, z, T, P, warm),
        )
    # the last attempt: its trial liquids settled where needed
    trials = [False, False]
    yield (
        "split on the liquid's fugacities",
        lambda: _fugacity_split(system, z, T, P, warm, state.get("core"), True, trials=trials),
    )
    if trials == [False, True]:
        # it found a split that does not verify on trial liquids the core left unsettled, whose
        # fugacities are not the liquid's: a loaded MEA-H2S liquid at 415 K and 24 bar balanced
        # at the core's own split (vapor fraction 0.049), where the settled liquid's H2S
        # fugacity is 0.59 of the unsettled one's (residual 0.398; the split is at 0.0026). The
        # starts again, every trial liquid settled, the core's point left out
        yield (
            "split on the liquid's fugacities, its trial liquids settled",
            lambda: _fugacity_split(system, z, T, P, warm, trials=[True, False]),
        )


def _aqueous(system, z):
    """Whether the feed z as a whole would be a liquid of the aqueous model (water, no solute
    beyond checks.M_MAX mol/kg of it); a wet gas is not."""
    try:
        checks.solutes(system, dict(zip(system.components, z.tolist())))
    except checks.NotAqueousError:
        return False
    return True


def _one_phase_liquid(system, z, T, P, warm):
    """The feed as a liquid at its own composition, with the vapor its fugacities would be in
    equilibrium with (checked: its bubble pressure <= P). A feed beyond the aqueous model as a
    liquid (a wet gas) has no such answer: NotAqueousError before its speciation, whose
    recovery would take seconds to find none."""
    warm.reset()
    app = dict(zip(system.components, z.tolist()))
    checks.solutes(system, app)
    f, n, _ = _fugacities(system, app, T, warm)
    return _result(system, z, T, P, 0.0, z.copy(), _incipient_vapor(system, f, T, P)[0], n), 1


def _incipient_vapor(system, f, T, P):
    """(y, sum_k f_k / (phi_k P)) of the vapor in equilibrium with a liquid of fugacities f
    {component: Pa}: every volatile component the liquid holds or makes, whether the feed
    names it or not. phi at that vapor (fixed point; ideal gas: one pass)."""
    from velmora import phasekit

    comps = system.components
    fv = np.array([f.get(c, 0.0) for c in comps])
    lnphi = np.zeros(len(comps))
    for _ in range(4 if system.pp.vapor != "ideal" else 1):
        p = fv / np.exp(lnphi)
        s = float(p.sum())
        y = p / s if s > 0.0 else p
        lnphi = np.asarray(phasekit.phi_vapor(system.pp, y, T, P), dtype=float)
    p = fv / np.exp(lnphi)
    s = float(p.sum())
    return (p / s if s > 0.0 else p), s / P


def _first_liquid(system, z):
    """The trial liquid that the substitutions on K-values start from: the feed itself, but for
    a wet gas (water beside more of a gas than the aqueous model holds in it), whose speciation
    as a liquid is no liquid's and whose wreck the warm starts of the next steps carried on (a
    wet CO2 at 40 C: K of water 2e-10, the liquid's CO2 lost, "all vapor" below the dew point),
    a liquid of mostly water, the rest at 1e-4 of their share (a damped step keeps a zero at
    zero)."""
    comps = system.components
    if "H2O" not in comps or _aqueous(system, z):
        return z.copy()
    w = comps.index("H2O")
    if not z[w] > 0.0:
        return z.copy()
    x = 1e-4 * z
    x[w] = 1.0
    return x / x.sum()


def _one_phase_vapor(system, z, T, P, warm):
    """The feed as a vapor with its incipient liquid, found by substitution on x = y / K,
    damped by half in ln x (the K-values of reacting gases swing with the liquid's loading)
    (checked: sum y / K <= 1, the vapor lies above its dew point)."""
    el = system.model
    warm.reset()
    x = _first_liquid(system, z)
    for it in range(1, 301):  # noqa: B007 (the count is returned)
        K, n = el._session(warm, "kvalues", system.pp, x, z, T, P)[0]
        K = np.asarray(K, dtype=float)
        # a nonvolatile component keeps a liquid, unless it is a trace (its brine weighs nothing)
        if np.any((K <= 0.0) & (z > checks.TRACE)):
            raise _NoAnswer("a nonvolatile component keeps a liquid")
        on = (z > 0.0) & (K > 0.0)
        xn = np.divide(z, K, out=np.zeros_like(z), where=on)
        xn = np.sqrt(x * xn / xn.sum())
        xn /= xn.sum()
        if float(np.max(np.abs(xn - x))) < 1e-12:
            x = xn
            break
        x = xn
    if not _aqueous(system, x):
        # a stationary point of the test that is no liquid of the model proves nothing of the
        # aqueous liquids: a wet CO2 at 43.8 bar with 1.3e-6 of MEA, at 372 K, went from its
        # watery start to a drop of MEA with water at 3e-73 (CO2 at 1.5e4 mol/kg of it) whose
        # sum y / K was below 1, beside a liquid of 3 % of the feed that forms
        raise _NoAnswer("its incipient liquid lies beyond the aqueous model")
    K, n = el._session(warm, "kvalues", system.pp, x, z, T, P)[0]
    return _result(system, z, T, P, 1.0, x, z.copy(), n), it + 1


def _vapor_on_fugacities(system, z, T, P, warm):
    """The feed as a vapor with its incipient liquid, found by Newton's method on the liquid's
    settled fugacities rather than by substitution on K-values (NH3 0.4, CO2 0.3, water 0.3 at
    1 atm and 380 K, 11 K above its dew point: each substitution step's trial liquid diverged):
    ln x_k and ln lambda with f_k(x) = lambda z_k phi_k P for every component of the feed and
    sum x = 1, from x_k ~ z_k / K_k of the feed as a liquid. All vapor where lambda >= 1 (the
    incipient liquid's fugacities lie above the vapor's: sum y / K = 1 / lambda <= 1); the
    answer is checked as every other (``_check``). In one call of the engine where it can
    (``_engine_vapor_on_fugacities``), else ``_vapor_on_fugacities_loop``."""
    from velmora import phasekit

    comps = system.components
    f0, _, _ = _fugacities(system, dict(zip(comps, z.tolist())), T, warm)
    # the feed's volatile components: a nonvolatile one is a trace here (at most checks.TRACE,
    # see _attempts) that the vapor carries and the incipient liquid leaves out
    V = [k for k, c in enumerate(comps) if z[k] > 0.0 and c in f0]
    lnphi = phasekit.phi_vapor(system.pp, z, T, P)
    lnfv = [math.log(z[k]) + lnphi[k] + math.log(P) for k in V]
    # x_k ~ z_k / K_k; a component the feed's liquid holds at no fugacity starts at a trace
    x0 = np.array(
        [
            z[k] * math.exp(lnfv[i]) / f0[comps[k]] if f0[comps[k]] > 0.0 else 1e-12
            for i, k in enumerate(V)
        ]
    )
    x0 = np.maximum(x0, 1e-300)
    w0 = np.append(np.log(x0 / x0.sum()), 0.0)
    found = _engine_vapor_on_fugacities(system, z, T, P, V, w0, warm)
    if found is None:
        found = _vapor_on_fugacities_loop(system, z, T, P, V, w0, lnfv, warm)
    (x, n, lnlam), evals = found
    if lnlam < 0.0:
        raise _NoAnswer(f"a liquid forms (sum y / K = {math.exp(-lnlam):.4g} > 1)")
    return _result(system, z, T, P, 1.0, x, z.copy(), n), evals


def _vapor_on_fugacities_loop(system, z, T, P, V, w0, lnfv, warm):
    """``_vapor_on_fugacities``' Newton's method in Python from w0 (ln x_k over V, the feed's
    components, then ln lambda): rows ln f_k(x / sum x, T) - (lnfv_k + ln lambda) over V
    (lnfv_k = ln z_k + ln phi_k + ln P, the vapor's) and ln sum x, each trial liquid's traces
    resolved and the liquid settled (``_incipient_fugacities``). ((x, true amounts,
    ln lambda), evaluations)."""
    comps, tol = system.components, system.tol
    nc, m = len(comps), len(V)
    mis = np.zeros(m + 1)

    def G(w):
        x = np.zeros(nc)
        x[V] = np.exp(w[:m])
        f, n = _incipient_fugacities(system, dict(zip(comps, (x / x.sum()).tolist())), T, warm)
        r = np.empty(m + 1)
        for i, k in enumerate(V):
            fk, fv = f[comps[k]], math.exp(lnfv[i] + w[m])
            if not fk > 0.0:
                raise _NoAnswer(f"the liquid holds no {comps[k]}")
            r[i] = math.log(fk) - math.log(fv)
            mis[i] = checks.fugacity_mismatch(fk, fv, P, x[k] / x.sum(), tol)
        r[m] = mis[m] = math.log(x.sum())
        return r, (x / x.sum(), n, float(w[m])), float(np.max(np.abs(mis)))

    # ln lambda counts among the logarithms (steps of 1e-5 from 0)
    return _fd_newton(G, w0, np.full(m + 1, SPLIT_CAP_LN), m + 1, tol)


def _engine_vapor_on_fugacities(system, z, T, P, V, w0, warm):
    """``_vapor_on_fugacities_loop`` in one call of the engine (the model's
    ``_front_vapor_at_T``): the same unknowns, steps, caps, stopping rules and budget, each
    trial liquid speciated as ``_incipient_fugacities`` speciates it, from the same warm starts.
    ((x, true amounts, ln lambda), evaluations); the loop's _NoAnswer or _Spent with its
    message where Newton's method finds no incipient liquid; None where the loop is to run,
    from the warm start as it was (as for ``_engine_dew_point``)."""
    method = "_front_vapor_at_T"
    if not _engine_may_run(system, method):
        return None
    limits = _engine_limits(system, SPLIT_EVALS)
    out, start = _in_engine(
        system, method, warm, system.components, z, V, w0, system.pp, P, T, limits
    )
    return _incipient_from_engine(out, start, warm)


def _incipient_from_engine(out, start, warm):
    """What the engine's Newton's method for an incipient liquid (a dew point, an all-vapor
    test) returned, as the loop returns it: ((x, true amounts, T or ln lambda), evaluations), or
    the loop's _NoAnswer or _Spent with its message; None where the loop is to run (the engine
    stepped aside, or was not asked: ``out`` None), the warm start restored to ``start``."""
    if out is not None:
        outcome, why, x, n, last, evals = out
        if outcome == _Split.FOUND:
            return (x, n, last), evals
        if outcome == _Split.NO_ANSWER:
            raise _NoAnswer(why)
        if outcome == _Split.SPENT:
            raise _Spent(why)
    warm.reset(start)
    return None


def _substitution(system, z, T, P, warm, start=None):
    """Successive substitution on the core's K-values, damped where it stalls, until the
    K-values stop changing; from the feed or from the split ``start`` (a result mapping).
    The steps are the engine's (the model's ``_substitution``: its TP flash's K-values and
    Rachford-Rice, a Python replacement of either honoured)."""
    el, pp = system.model, system.pp
    if start is None:
        warm.reset()
        x, y = _first_liquid(system, z), z.copy()
    else:
        x, y = np.asarray(start["x"], dtype=float), np.asarray(start["y"], dtype=float)
    # Components absent from the feed stay absent; each step whose max |ln K_new/K| does not
    # shrink below 0.9 of the last halves the step in ln K (down to 0.1): the K-values of
    # reacting gases swing with the liquid's loading and plain substitution can cycle.
    beta, x, y, n, steps = el._session(
        warm,
        "_substitution",
        pp,
        z,
        x,
        y,
        T,
        P,
        SUBSTITUTION_TOL,
        SUBSTITUTION_STEPS,
        SUBSTITUTION_STALL,
        SUBSTITUTION_STALL_TOL,
    )[0]
    if beta <= 0.0:
        beta, x = 0.0, z.copy()
        n = el._session(warm, "true_amounts", dict(zip(system.components, x.tolist())), T)[0][0]
    elif beta >= 1.0:
        beta, y = 1.0, z.copy()
    return _result(system, z, T, P, beta, x, y, n), steps + 1


# ------------------------------------------------------------- splits on the liquid's fugacities
#
# The core's K-values carry a component by its own share of the liquid: a gas the liquid makes
# from another component (CO2 from bicarbonate, z_CO2 = 0) never reaches the vapor that way.
# These solves take the vapor amounts v_k (per mol of feed) of the volatile components as the
# unknowns: the liquid is the feed less the vapor, whose apparent amounts may be negative (a
# calcite water that lost CO2 holds CaCO3 less CO2, i.e. CaO), and each v_k meets
# ln y_k + ln phi_k + ln P = ln f_k(liquid). Newton's method on ln v (and T where the vapor
# fraction is given), its Jacobian by forward differences over the speciations (a handful of
# volatile components: a few speciations a step).

# A split is finished when every |ln f_L - ln f_V|, scaled as the check scales it (what the
# speciation cannot resolve counts as the tolerance), is below SPLIT_TOL of the tolerance; one
# whose line search stalls is returned where that is below half the tolerance.
SPLIT_TOL = 1e-3
SPLIT_STEPS = 40
LARGE_STEP = 1e-3  # the split's difference step in ln v once the line search stalled at 1e-5
SPLIT_CAP_LN, SPLIT_CAP_T = 3.0, 20.0  # the split's largest Newton step in ln v and in T [K]
# What a split may spend over all its starts, in Newton iterations of the speciations it runs
# (a few microseconds each: ~1 s at most; a liquid that settles takes 10-100 of them, one that
# runs to the core's cap thousands)
SPLIT_EVALS = 300_000
# The split tried first, before the single-phase tests and the substitution: a sixth of that
# (a trial liquid near a wet gas's dew point may run 10,000 iterations at 30 us each: the full
# budget took 7-8 s there, where the substitution then finds the vapor in 0.06 s)
EARLY_SPLIT_EVALS = SPLIT_EVALS // 6


AVAILABLE = 0.9  # share of what the feed can give that a split may start from
# ln of the least share of a feed's volatile part that _boiled_down keeps (the aqueous model's
# M_MAX ends its search long before, for any salt above 1e-30 of the feed)
BOILED_DOWN_MIN = math.log(1e-30)


class _Spent(_NoAnswer):
    """A split's evaluation budget is spent: no further start is tried."""


def _nonvolatile_share(system, z):
    """The share of the feed that does not evaporate (salts, bases): at most 1 minus it can
    become vapor."""
    info = system._info
    return float(sum(z[k] for k, c in enumerate(system.components) if c not in info.volatile))


def _fugacity_newton(system, z, P, V, w0, warm, T=None, beta=None, budget=None, settle=None):
    """Newton's method for the split from ``w0`` (ln v_k, k in V, and T with ``beta`` given);
    unknowns ln v_k, or ln (a_k - v_k) for a component the vapor takes most of at the start (CO2
    boiled out of a water: its liquid part is the small difference of two near equals), a_k
    what the feed can give of it (its own amount and, of a gas, what its salts hold: a
    carbonate water can lose more CO2 than it was given), and T with ``beta`` given. Returns
    (beta, x, y, n, T, evaluations); ValueError where it finds no split. ``settle``: [settle
    the trial liquids the core leaves unsettled, one was seen] (see ``_fugacity_split``); None:
    the core's liquids as they are. ``warm``: the warm start of the speciations (a _WarmStart),
    each evaluation from the last one's."""
    from velmora import phasekit

    pp, comps, el = system.pp, system.components, system.model
    nc, m = len(comps), len(V)
    free_T = beta is not None
    tol = system.tol
    own_budget = budget is None
    budget = [SPLIT_EVALS] if budget is None else budget
    # the same Newton's method in one call of the engine where it can (None: the loop here)
    found = None
    if not free_T:
        found = _engine_split_at_T(system, z, P, V, w0, T, warm, budget, settle)
    elif own_budget and settle is None:
        found = _engine_split_at_beta(system, z, P, V, w0, beta, warm)
    if found is not None:
        return found
    mis = np.zeros(m + free_T)  # the check's scaled mismatch of the last evaluation
    # what the liquid can give of each: its own amount and, of a gas, what its salts hold
    zV = (_available(system, z) / AVAILABLE)[V]
    w = np.asarray(w0, dtype=float).copy()
    v0 = np.exp(w[:m])
    liq = (v0 > 0.5 * zV) & (zV - v0 > 0.0)
    w[:m][liq] = np.log((zV - v0)[liq])

    def F(w):
        Tk = float(w[m]) if free_T else T
        if not checks.T_MIN <= Tk <= checks.T_MAX:
            raise _NoAnswer("temperature out of range")
        e = np.exp(w[:m])
        vV = np.where(liq, zV - e, e)
        if not np.all(vV > 0.0):
            raise _NoAnswer("a vapor amount out of range")
        if np.any(vV > zV):
            # more than the feed can give: the liquid would hold less than none of an element
            # (a vapor share below the fugacity check's floor is free to wander there; beside a
            # drop of brine 5e-9 of the feed, a trace of CO2 in it made the drop's carbon -2e-6)
            raise _NoAnswer("the vapor takes more of a component than the feed can give")
        v = np.zeros(nc)
        v[V] = vV
        vs = float(v.sum())
        if not 0.0 < vs < 1.0:
            raise _NoAnswer("vapor fraction out of range")
        x = (z - v) / (1.0 - vs)
        y = v / vs
        app = dict(zip(comps, x.tolist()))
        (f, n, _), status = _trial_fugacities(el, warm, app, Tk)
        budget[0] -= status["speciation_iterations"] or 0
        if settle is not None and not status["speciation_converged"]:
            # an unsettled trial liquid (hot, loaded ammonia or amine liquids): its fugacities
            # jump between trial points 1e-5 apart and Newton's method can stall; settled
            # where ``settle`` asks (settle[0]), else noted there (settle[1])
            if not settle[0]:
                settle[1] = True
            else:
                checks.solutes(system, app)  # beyond the aqueous model: no recovery tried
                try:
                    f, n, _, _ = _recover(system, app, Tk, n, math.inf, None, warm)
                except ConvergenceError as exc:
                    raise _NoAnswer(str(exc)) from None
        r = np.empty(len(w))
        _split_rows(system, V, f, n, x, y, phasekit.phi_vapor(pp, y, Tk, P), P, r, mis)
        if free_T:
            r[m] = mis[m] = math.log(vs / beta)
        return r, (vs, x, y, n, Tk)

    def G(w):
        r, state = F(w)
        return r, state, float(np.max(np.abs(mis)))

    state, evals = _fd_newton(
        G,
        w,
        np.array([SPLIT_CAP_LN] * m + ([SPLIT_CAP_T] if free_T else [])),
        m,
        tol,
        budget,
        free_T,
    )
    return state + (evals,)


def _fd_newton(G, w, cap, m, tol, budget=None, large_step=False):
    """Damped Newton's method on G(w) -> (r, state, scaled residual), its Jacobian by forward
    differences (steps 1e-5 in the first m unknowns, logarithms or fractions, and 1e-5 of the
    value in the rest, temperatures), no step beyond ``cap``, halved until |r| falls. Ends at
    a scaled residual of SPLIT_TOL * tol, or at half the tolerance where the line search stalls
    (the speciation's noise floor). ``budget``: [what is left] shared by the caller's starts,
    one per evaluation here and what the caller's G charges besides (see SPLIT_EVALS); _Spent
    once it is gone. ``large_step``: where the line search stalls, take the Jacobian again with
    steps of LARGE_STEP before giving up (the split at a given vapor fraction; at a given T a
    stalled start is left to the next one: a loaded MEA-H2S liquid at 415 K and 24 bar went on
    from its stall to a point that did not verify, where the next start answers). Returns
    (state, evaluations); ValueError otherwise."""
    budget = [SPLIT_EVALS] if budget is None else budget

    def counted(w):
        budget[0] -= 1
        if budget[0] < 0:
            raise _Spent("split: evaluation budget spent")
        return G(w)

    r, state, nr = counted(w)
    evals = 1
    # steps well above the speciation's noise (~1e-12 in ln f): where the vapor is nearly one
    # component, d r / d ln v of that component is only ~1e-4. A trace component's ln f is
    # noisier (near-pure water at 30 bar with 1e-9 of H2S and MDEA: its column at 1e-5 pointed
    # the wrong way and the line search stalled); where it stalls, the Jacobian is taken again
    # with steps of LARGE_STEP (at infinite dilution ln f is linear in ln x: they lose nothing)
    h_ln = 1e-5
    for _ in range(SPLIT_STEPS):
        if nr <= SPLIT_TOL * tol:
            break
        J = np.empty((len(w), len(w)))
        for j in range(len(w)):
            h = h_ln if j < m else 1e-5 * w[j]
            wj = w.copy()
            wj[j] += h
            J[:, j] = (counted(wj)[0] - r) / h
        evals += len(w)
        try:
            d = np.linalg.solve(J, -r)
        except np.linalg.LinAlgError:
            raise _NoAnswer("singular split Jacobian") from None
        d *= min(1.0, float(np.min(cap / np.maximum(np.abs(d), 1e-300))))
        t = 1.0
        while True:
            try:
                rn, sn, nn = counted(w + t * d)
                evals += 1
                if float(rn @ rn) < float(r @ r):
                    break
            except _Spent:
                raise
            except ValueError as e:
                if not no_answer(e):
                    raise
            t *= 0.5
            if t < 1e-6:
                break
        if t < 1e-6:
            if nr <= 0.5 * tol:
                return state, evals  # at the speciation's noise floor
            if large_step and h_ln < LARGE_STEP:
                h_ln = LARGE_STEP
                continue
            raise _NoAnswer(f"split stalled at a scaled |ln f_L - ln f_V| of {nr:.3g}")
        w = w + t * d
        r, state, nr = rn, sn, nn
    if nr > 0.5 * tol:
        raise _NoAnswer(f"split not converged in {SPLIT_STEPS} steps (scaled residual {nr:.3g})")
    return state, evals


def _ideal_dew_T(system, z, P):
    """T [K] where sum z_k P / Psat_k(T) = 1 over the components with a vapor pressure (the
    Henry components count as all vapor): the dew point of an ideal liquid, None where the feed
    has no such component or the root lies outside T_MIN-T_MAX."""
    el = system.model
    terms = [(z[k], el.antoine[c]) for k, c in enumerate(system.components) if c in el.antoine]
    if not terms or sum(w for w, _ in terms) <= 0.0:
        return None

    def g(T):
        # ln of sum z P / Psat: falls with T
        return math.log(sum(w * P * math.exp(-ln_psat(c, T)) for w, c in terms))

    lo, hi = checks.T_MIN, checks.T_MAX
    if not g(lo) > 0.0 > g(hi):
        return None
    for _ in range(60):
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if g(mid) > 0.0 else (lo, mid)
    return 0.5 * (lo + hi)


def _dew_point_from(system, z, P, T0, warm):
    """``_dew_point`` started from the dew point of an ideal liquid where it lies above the
    bubble point Tb (sought from T0; a gas-rich feed boils far below its dew point, and Newton
    from Tb can wander to a liquid of the least volatile component), then from Tb. Where no
    bubble point is found (CO2 at 0.7 % of a water at 16 kPa boils below 214 K, where the
    liquid's equilibrium fails), from the ideal dew point alone."""
    Td = _ideal_dew_T(system, z, P)
    try:
        Tb = _bubble_T(system, z, P, T0, warm)
    except ConvergenceError:
        if Td is None:
            raise
        Tb = None
    except (ValueError, ArithmeticError) as e:
        if Td is None or not no_answer(e):
            raise
        Tb = None
    warm.reset()
    if Tb is None:
        return _dew_point(system, z, P, Td, warm)
    if Td is not None and Td > Tb:
        try:
            return _dew_point(system, z, P, Td, warm)
        except ConvergenceError:
            pass
        except (ValueError, ArithmeticError) as e:
            if not no_answer(e):
                raise
        warm.reset()
    return _dew_point(system, z, P, Tb, warm)


def _dew_point(system, z, P, T0, warm):
    """(raw, evaluations) of the feed z at its dew point at P: all vapor (y = z) with the
    incipient liquid x, whose fugacities meet z_k phi_k P for every volatile component, and T.
    Newton's method in ln x_k and T from T0 and x_k ~ z_k / K_k of the feed as a liquid, in one
    call of the engine where it can (``_engine_dew_point``), else ``_dew_point_loop``."""
    from velmora import phasekit

    comps, pp = system.components, system.pp
    V = [k for k in range(len(comps)) if z[k] > 0.0]
    lnphi = phasekit.phi_vapor(pp, z, T0, P)
    f0, _, _ = _fugacities(system, dict(zip(comps, z.tolist())), T0, warm)
    # x_k ~ z_k / K_k; a component the feed's liquid holds at no fugacity starts at a trace
    x0 = np.array(
        [
            z[k] * z[k] * math.exp(lnphi[k]) * P / f0[comps[k]] if f0[comps[k]] > 0.0 else 1e-12
            for k in V
        ]
    )
    x0 = np.maximum(x0, 1e-300)
    w0 = np.append(np.log(x0 / x0.sum()), T0)
    found = _engine_dew_point(system, z, P, V, w0, warm)
    if found is None:
        found = _dew_point_loop(system, z, P, V, w0, warm)
    (x, n, T), evals = found
    return _result(system, z, T, P, 1.0, x, z.copy(), n), evals


def _dew_point_loop(system, z, P, V, w0, warm):
    """``_dew_point``'s Newton's method in Python from w0 (ln x_k over V, the feed's
    components, then T): rows ln f_k(x / sum x, T) - ln (z_k phi_k P) over V and ln sum x, each
    trial liquid's traces resolved and the liquid settled (``_incipient_fugacities``). ((x, true
    amounts, T), evaluations)."""
    from velmora import phasekit

    comps, pp, tol = system.components, system.pp, system.tol
    nc, m = len(comps), len(V)
    mis = np.zeros(m + 1)

    def G(w):
        T = float(w[m])
        if not checks.T_MIN <= T <= checks.T_MAX:
            raise _NoAnswer("temperature out of range")
        x = np.zeros(nc)
        x[V] = np.exp(w[:m])
        f, n = _incipient_fugacities(system, dict(zip(comps, (x / x.sum()).tolist())), T, warm)
        lnp = phasekit.phi_vapor(pp, z, T, P)
        r = np.empty(m + 1)
        for i, k in enumerate(V):
            fk, fv = f[comps[k]], z[k] * math.exp(lnp[k]) * P
            if not fk > 0.0:
                raise _NoAnswer(f"the liquid holds no {comps[k]}")
            r[i] = math.log(fk) - math.log(fv)
            mis[i] = checks.fugacity_mismatch(fk, fv, P, x[k] / x.sum(), tol)
        r[m] = mis[m] = math.log(x.sum())
        return r, (x / x.sum(), n, T), float(np.max(np.abs(mis)))

    return _fd_newton(G, w0, np.array([SPLIT_CAP_LN] * m + [SPLIT_CAP_T]), m, tol)


def _engine_dew_point(system, z, P, V, w0, warm):
    """``_dew_point_loop`` in one call of the engine (the model's ``_front_dew_point``): the
    same unknowns, steps, caps, stopping rules and budget, each trial liquid speciated as
    ``_incipient_fugacities`` speciates it, from the same warm starts. ((x, true amounts, T),
    evaluations); the loop's _NoAnswer or _Spent with its message where Newton's method finds
    no dew point; None where the loop is to run, from the warm start as it was: the model, its
    methods or the vapor model (the ideal gas only) replaced in Python, the check's
    fugacity_mismatch replaced, or a trial liquid whose speciation raised or did not settle (the
    loop settles it, raises it, or its line search steps back) or gave no finite value."""
    method = "_front_dew_point"
    if not _engine_may_run(system, method):
        return None
    limits = _engine_limits(system, SPLIT_EVALS)
    out, start = _in_engine(system, method, warm, system.components, z, V, w0, system.pp, P, limits)
    return _incipient_from_engine(out, start, warm)


def _available(system, z):
    """Nine tenths of what the feed can give to a vapor, per component (AVAILABLE): its own
    amount and, for a dissolved gas, what its salts hold of it (a carbonate's CO2); a start
    beyond it would leave a liquid with less than no carbon."""
    comps = system.components
    app = dict(zip(comps, z.tolist()))
    return AVAILABLE * np.array(
        [
            z[k] + (checks._held_by_salts(system, app, c) if c in system.henry else 0.0)
            for k, c in enumerate(comps)
        ]
    )


def _volatiles_of(system, z, f):
    """Positions of the volatile components in the feed or made by its liquid (f > 0)."""
    return [k for k, c in enumerate(system.components) if c in f and (z[k] > 0.0 or f[c] > 0.0)]


def _fugacity_split(
    system, z, T, P, warm, start=None, settle_all=False, first=None, spend=SPLIT_EVALS, trials=None
):
    """(raw, evaluations) of the TP flash on the liquid's fugacities: all liquid where the
    feed's bubble pressure over every volatile it holds or makes is at most P, else the split
    from ``start`` (a result mapping) or from vapor fractions 0.1, 0.5 and 0.9 of what can
    evaporate (``first``: only the first that many of these), and last, for a feed with a
    nonvolatile part, from its liquid boiled down until it boils at T (``_boiled_down``).
    ``trials``: the caller's [settle the trial liquids, an unsettled one was seen] (see
    ``_fugacity_newton``), [False, False] where not given; the caller reads it after."""
    comps = system.components
    warm.reset()
    aqueous = _aqueous(system, z)
    avail = _available(system, z)
    if not aqueous:
        # a wet gas: no liquid of the aqueous model at the feed's own composition (its
        # speciation's recovery would take seconds to say so); the split starts from the feed's
        # volatile part as the vapor
        volatile = system._info.volatile
        y0 = np.array([v if c in volatile else 0.0 for c, v in zip(comps, z.tolist())])
        if not y0.sum() > 0.0:
            raise _NoAnswer("no water and nothing volatile")
        y0 /= y0.sum()
        # a gas the feed holds in its salts alone starts at a trace: its liquid makes it (a
        # bicarbonate water under 43 bar of N2 at 402 K, its CO2 at 0.08 Pa, 2e-8 of the vapor)
        made = (y0 == 0.0) & (avail > 0.0)
        y0[made & np.array([c in volatile for c in comps])] = 1e-9
        V = [k for k in range(len(comps)) if y0[k] > 0.0]
    else:
        f, n, _ = _fugacities(system, dict(zip(comps, z.tolist())), T, warm)
        y0, s = _incipient_vapor(system, f, T, P)
        if s <= 1.0:
            return _result(system, z, T, P, 0.0, z.copy(), y0, n), 1
        V = _volatiles_of(system, z, f)
    starts = []
    if start is not None and 0.0 < start["beta"] < 1.0:
        ys = np.asarray(start["y"], dtype=float)
        starts.append(start["beta"] * np.where(ys > 0.0, ys, y0 * 1e-3))
    share = _nonvolatile_share(system, z)
    starts += [b * (1.0 - share) * y0 for b in (0.1, 0.5, 0.9)]
    starts = starts[:first]
    last: ValueError | None = None
    evals = 1
    cap = avail[V]
    # each start within what the feed can give, then as it is (a vapor that takes nearly
    # everything may need more of a gas than the cap allows)
    # the trial liquids as the core speciates them; where some did not settle and no start
    # found the split, and this is the flash's last attempt (``settle_all``), the starts again
    # with them settled (a recovery costs up to 0.6 s a liquid of a seawater, whose unsettled
    # trials still converge; a nearly pure water's split is found all vapor by a later attempt)
    settle = [False, False] if trials is None else trials
    boiled = first is None and share > 0.0 and aqueous
    while True:
        budget = [spend]
        tries = [np.minimum(v[V], cap) for v in starts] + [v[V] for v in starts]
        down = _boiled_down(system, z, T, P, V, warm) if boiled else ()
        for v0 in itertools.chain(tries, down):
            v0 = np.maximum(v0, 1e-30)
            try:
                beta, x, y, n, _, k = _fugacity_newton(
                    system, z, P, V, np.log(v0), warm, T=T, budget=budget, settle=settle
                )
            except _Spent as e:
                last = e
                break
            except ValueError as e:
                if not no_answer(e):
                    raise
                last = e
                continue
            return _result(system, z, T, P, beta, x, y, n), evals + k
        if settle[0] or not settle[1] or not settle_all:
            raise _NoAnswer(f"split on the liquid's fugacities: {last}")
        settle[0] = True


def _boiled_down(system, z, T, P, V, warm):
    """The vapor amounts (positions V) of the last start of the split of a feed with a
    nonvolatile part whose liquid boils at T: its volatile part boiled off in proportion until
    the liquid left boils at T and P (sum_k f_k / (phi_k P) = 1; decades down from the whole
    feed, then Brent's method in the log of the share kept). Water with 3.9e-10 of K2CO3 at
    50.75 kPa boils at 354.86 K; at 357 K its split keeps 2.2e-8 of the feed liquid, a brine
    whose water activity P sets. The other starts leave 0.1 to 0.9 of it liquid, so dilute that
    the water's ln f_L - ln f_V (-0.085) does not move with the liquid's amount: their Newton
    steps stall. Yields nothing where the feed's liquid does not boil at T or the liquid that
    would lies beyond the aqueous model."""
    from .brinequil import _brentq as brentq

    comps = system.components
    volatile = system._info.volatile
    vol = np.array([c in volatile for c in comps])
    zv, zn = np.where(vol, z, 0.0), np.where(vol, 0.0, z)

    def g(u):  # ln of the bubble ratio of the liquid that keeps exp(u) of the volatile part
        x = zn + math.exp(u) * zv
        app = dict(zip(comps, (x / x.sum()).tolist()))
        checks.solutes(system, app)  # beyond the aqueous model: NotAqueousError
        f, _, _ = _fugacities(system, app, T, warm)
        return math.log(max(_incipient_vapor(system, f, T, P)[1], 1e-300))

    try:
        hi = 0.0
        if not g(hi) > 0.0:
            return
        while True:
            lo = hi - math.log(10.0)
            if lo < BOILED_DOWN_MIN:
                return
            if g(lo) <= 0.0:
                break
            hi = lo
        u = brentq(g, lo, hi, xtol=1e-6)
    except (ValueError, ArithmeticError) as e:
        if not no_answer(e):
            raise
        return
    yield np.maximum(((1.0 - math.exp(u)) * zv)[V], 1e-30)


def _fugacity_split_at_beta(system, z, P, beta, T0, y0, warm, f=None):
    """(raw, evaluations) of the split with the vapor fraction ``beta`` given, T solved with it,
    from T0 and the vapor y0 (mole fractions). For a pure or nearly pure component, where the
    vapor fraction is not a function of T, this finds the one T and the split at once
    (``_fugacity_newton``, in one call of the engine where it can). ``f``: the feed's
    liquid fugacities at T0 where the caller has them from a cold start (the same liquid, and
    the warm record it leaves, as the speciation here would give)."""
    comps = system.components
    if f is None:
        warm.reset()
        f, _, _ = _fugacities(system, dict(zip(comps, z.tolist())), T0, warm)
    V = _volatiles_of(system, z, f)
    y0 = np.asarray(y0, dtype=float)
    v0 = np.minimum(
        beta * np.maximum(np.where(y0 > 0.0, y0, 1e-6)[V], 1e-30), _available(system, z)[V]
    )
    b, x, y, n, T, evals = _fugacity_newton(
        system, z, P, V, np.append(np.log(v0), T0), warm, beta=beta
    )
    return _result(system, z, T, P, b, x, y, n), evals


class _Split:
    """The outcomes of the engine's split at a given vapor fraction or T, of its dew point and
    of its all-vapor test (the model's _front_split_at_beta, _front_split_at_T, _front_dew_point,
    _front_vapor_at_T)."""

    FOUND, NO_ANSWER, SPENT = 0, 1, 2
    STEP_ASIDE = 3  # a trial liquid the engine does not take: the loop runs


def _engine_limits(system, budget):
    """The limits the engine's Newton's methods take from here (``budget`` evaluations left):
    the tolerance, the split's constants and step caps, the check's T range, floor and
    resolution, read at each call (tests change them)."""
    return (
        system.tol,
        SPLIT_TOL,
        SPLIT_STEPS,
        LARGE_STEP,
        budget,
        SPLIT_CAP_LN,
        SPLIT_CAP_T,
        checks.T_MIN,
        checks.T_MAX,
        checks.VAPOR_FLOOR,
        checks.RESOLUTION,
    )


def _engine_may_run(system, method):
    """Whether the model has the engine route ``method`` and the check's fugacity_mismatch is
    the one the engine stands for (else the loop runs)."""
    el = system.model
    return getattr(el, method, None) is not None and checks.fugacity_mismatch is _FUGACITY_MISMATCH


def _in_engine(system, method, warm, *args):
    """(the outcome of the model's ``method`` called with ``args`` on the warm start ``warm``,
    None where it steps aside before it starts, the warm start before it)."""
    start = _WarmStart(warm)  # the loop starts from here where the engine steps aside
    return system.model._session(warm, method, *args)[0], start


def _split_in_engine(system, method, z, P, V, w0, warm, given, budget):
    """(the engine's outcome or None, the warm start before it) of one split by the model's
    ``method`` (``_front_split_at_beta``: ``given`` (beta,); ``_front_split_at_T``: (T, settle
    the unsettled trial liquids)) from the unknowns ``w0``, ``budget`` evaluations left; (None,
    None) where the engine may not run (``_engine_may_run``: the loop then runs)."""
    if not _engine_may_run(system, method):
        return None, None
    comps = system.components
    pos = system._info.pos
    cap = (_available(system, z) / AVAILABLE)[V]
    species = [pos[comps[k]] for k in V]
    limits = _engine_limits(system, budget)
    args = (comps, z, V, cap, species, w0, system.pp, P, *given, limits)
    return _in_engine(system, method, warm, *args)


def _engine_split_at_beta(system, z, P, V, w0, beta, warm):
    """``_fugacity_newton`` with ``beta`` given (the trial liquids as the core leaves them) in
    one call of the engine (the model's ``_front_split_at_beta``): the same unknowns, steps,
    stopping rules and budget, each trial liquid speciated as ``_trial_fugacities`` speciates
    it, from the same warm starts; the answer the loop's to the rounding of the linear solve.
    (beta, x, y, n, T, evaluations); the loop's _NoAnswer or _Spent with its message where
    Newton's method finds no split; None where the loop is to run, from the warm start as it
    was: the model, its methods or the vapor model (the ideal gas only) replaced in Python, the
    check's fugacity_mismatch replaced, or a trial liquid whose speciation raised (the loop
    raises it, or its line search steps back) or gave no finite value."""
    out, start = _split_in_engine(
        system, "_front_split_at_beta", z, P, V, w0, warm, (beta,), SPLIT_EVALS
    )
    if out is not None:
        outcome, why, b, x, y, n, T, evals = out
        if outcome == _Split.FOUND:
            return b, x, y, n, T, evals
        if outcome == _Split.NO_ANSWER:
            raise _NoAnswer(why)
        if outcome == _Split.SPENT:
            raise _Spent(why)
    if start is not None:
        warm.reset(start)
    return None


def _engine_split_at_T(system, z, P, V, w0, T, warm, budget, settle):
    """``_fugacity_newton`` with T given in one call of the engine (the model's
    ``_front_split_at_T``): the same unknowns, steps, stopping rules and budget as the loop, each
    trial liquid as ``_trial_fugacities`` speciates it from the same warm starts. ``budget`` and
    ``settle`` left as the loop leaves them: the budget less one per evaluation and each
    speciation's iterations, settle[1] set where a trial liquid did not settle (with settle[0],
    such a liquid steps aside: the loop settles it). (beta, x, y, n, T, evaluations); the loop's
    _NoAnswer or _Spent with its message; None where the loop is to run from the warm start, the
    budget and ``settle`` as they were (as ``_engine_split_at_beta``)."""
    given = (T, bool(settle is not None and settle[0]))
    out, start = _split_in_engine(system, "_front_split_at_T", z, P, V, w0, warm, given, budget[0])
    if out is not None:
        outcome, why, b, x, y, n, evals, left, unsettled = out
        if outcome != _Split.STEP_ASIDE:
            budget[0] = left
            if unsettled and settle is not None:
                settle[1] = True
            if outcome == _Split.FOUND:
                return b, x, y, n, T, evals
            if outcome == _Split.NO_ANSWER:
                raise _NoAnswer(why)
            raise _Spent(why)
    if start is not None:
        warm.reset(start)
    return None


def _result(system, z, T, P, beta, x, y, n):
    """A result mapping in the core's format (enthalpy and entropy as the core's TP flash
    combines them) for a split found here."""
    import velmora.brinequil as bq
    from velmora import phasekit

    el, pp = system.model, system.pp
    beta = float(beta)
    if -1e-12 < beta < 0.0 or 1.0 < beta < 1.0 + 1e-12:
        beta = min(max(beta, 0.0), 1.0)  # a split's rounding past a phase boundary
    if not np.all(np.isfinite(x)) or not np.all(np.isfinite(y)):
        raise _NoAnswer("split not finite")
    H = S = 0.0
    if beta > 0.0:
        H = beta * phasekit.enthalpy_vapor(pp, T, y, P)
        S = beta * phasekit.entropy_vapor(pp, T, y, P)
    if beta < 1.0:
        H += (1.0 - beta) * bq.liquid_enthalpy(el, pp, n, T, P, el.pure)
        S += (1.0 - beta) * phasekit.entropy_liquid(pp, T, x, P)
    return {
        "beta": beta,
        "x": np.asarray(x, dtype=float),
        "y": np.asarray(y, dtype=float),
        "H": float(H),
        "S": float(S),
        "iterations": 0,
        "T": float(T),
        "P": float(P),
        "true": dict(zip(el.names, np.asarray(n, dtype=float).tolist())),
    }


def _solve_T(system, z, P, key, target, T0, warm):
    """The verified TP flash at the T in [200, 700] K where its entry ``key`` reaches target
    (the entry rises with T). The bracket is sought by secant steps on the last two points,
    overshooting by a fifth (at least 2 K, at most 60 K a step), then Brent's method. A step
    that lands where the feed has no liquid (boiled dry) or no flash is found (beyond water's
    critical temperature) is halved back towards the last verified point, and no later step
    goes past it (bisection between the two); once the step is below DRY_STEP the search goes on
    from the first T past that band of T without an answer that has one (``_beyond_band``, once a
    search; a feed that can all evaporate only), and raises the error where there is none. A
    start where the feed has no liquid steps down, by 5 K doubling, to one that has (T0 350 K
    above a cold low-pressure target); where no T below it has an answer, the search starts from
    the first T above it that has one (``_beyond_band``)."""
    from .brinequil import _brentq as brentq

    seen: dict[float, _Verified] = {}
    raised: dict[float, ConvergenceError] = {}  # T -> what the TP flash there raised

    def g(T):
        if T not in seen:
            failed = raised.get(T)  # (a T tried again: continued from the split now nearest)
            if failed is None:
                try:
                    v = _unsharp_flash(system, z, T, P, warm)
                except ConvergenceError as e:
                    failed = raised[T] = e
            if failed is not None:
                v = _continued(system, z, T, P, seen, failed, warm)
            if v.raw["beta"] < 1.0 and v.water is not True:
                # a root of the liquid model that is no liquid of water (3.2 mol/kg MgCl2 at
                # 30 kPa, all liquid at 628 K: its water turned into H3O+ and OH-) is no point of
                # the search; the flash at that T refuses it (_finish)
                checks.true_water(system, v.n, v.lng, T)
            seen[T] = v
        return seen[T].raw[key] - target

    lo_lim, hi_lim = checks.T_MIN, checks.T_MAX
    a = min(max(T0, lo_lim), hi_lim)
    dry = None  # the nearest T of the search where the feed had no liquid
    dry_error: Exception | None = None  # what the flash there raised
    beyond = False  # the search went past a band of T without an answer (_beyond_band)
    start, down = a, 5.0
    start_error: Exception | None = None  # what the flash at the start raised
    while True:
        try:
            ga = g(a)
            break
        except (ValueError, ConvergenceError) as e:
            # the start itself boils the feed dry (a bicarbonate water at 12 kPa from 350 K,
            # its H at 310 K): the liquid is left below it, so the start steps down, doubling,
            # and the search stays under that T (as under any T that boiled dry)
            if not (isinstance(e, ConvergenceError) or no_answer(e)):
                raise
            if a <= lo_lim:
                # no answer below the start: the band may end above it (a wet NH3 at 3.3 bar,
                # its liquid beyond the aqueous model up to its dew point at 414 K, all vapor
                # above), so the search goes on from the first T above with an answer
                past = None
                if start_error is not None and start > lo_lim:
                    past = _beyond_band(g, start, start_error, True, lo_lim, hi_lim)
                if past is None:
                    raise
                beyond = True
                a, ga, dry, dry_error = past
                break
            if start_error is None:
                start_error = e
            dry, dry_error = a, e
            a, down = max(a - down, lo_lim), 2.0 * down
    if ga == 0.0:
        return seen[a]
    up = ga < 0.0
    b = min(a + 5.0, hi_lim) if up else max(a - 5.0, lo_lim)
    if dry is not None and (dry > a) != up:
        dry = dry_error = None  # (behind the search)
    elif dry is not None and (b >= dry) == up:
        b = 0.5 * (a + dry)

    def cross():
        """On past the band of T without an answer that starts at ``dry``, DRY_STEP beyond
        ``a``, from the first T past it with one (``_beyond_band``; once a search: a second
        band raises the first's error): True where that T is the answer (``seen[a]``)."""
        nonlocal a, ga, b, dry, dry_error, up, beyond
        past = None if beyond else _beyond_band(g, dry, dry_error, up, lo_lim, hi_lim)
        if past is None:
            assert dry_error is not None  # (set with dry)
            raise dry_error
        beyond = True
        a, ga, dry, dry_error = past
        if ga == 0.0:
            return True
        if (ga < 0.0) == up:
            dry = dry_error = None  # the target lies on: the band is behind the search
        else:
            up = not up  # the target lies between the band and a: the band ahead
        b = min(a + 5.0, hi_lim) if up else max(a - 5.0, lo_lim)
        if dry is not None and (b >= dry) == up:
            b = 0.5 * (a + dry)
        return False

    while True:
        try:
            gb = g(b)
        except (ValueError, ConvergenceError) as e:
            # a step past where the feed has a liquid (it boils dry), or where the liquid model
            # finds none (a brine stepped beyond water's critical temperature): the target may
            # lie before it, so the step is halved back towards the last verified point
            failed = isinstance(e, ConvergenceError) or no_answer(e)
            if not failed:
                raise
            dry, dry_error = b, e
            if abs(b - a) > DRY_STEP:
                b = 0.5 * (a + b)
                continue
            # halved to DRY_STEP short of it: a band of T without an answer, as below (a wet
            # H2S with 5e-5 of MEA at 2 bar, its H that of 362 K, from a liquid at 318.38 K).
            # A feed with a nonvolatile part has no answer past the T where it boiled dry (its
            # salts keep a liquid that only gets drier): its error, without a search up to 700 K
            if _nonvolatile_share(system, z) > 0.0:
                raise
            if cross():
                return seen[a]
            continue
        if gb == 0.0:
            return seen[b]
        if (gb > 0.0) == up:
            break
        if b in (lo_lim, hi_lim):
            what = {"H": "H", "S": "S", "beta": "the vapor fraction"}[key]
            scale = 1.0 if key == "beta" else KMOL
            raise NoSolutionError(
                f"{what} = {target / scale:g} is not reached between {lo_lim:g} and {hi_lim:g} K "
                f"at P = {P:g} Pa (at {b:g} K it is {seen[b].raw[key] / scale:g}"
                + (
                    "; the inert gases stay in the vapor"
                    if key == "beta" and system.gases and not up
                    else ""
                )
                + ")"
            )
        slope = (gb - ga) / (b - a)
        step = abs(gb / slope) * 1.2 if slope > 0.0 else 60.0  # (the entry rises with T)
        step = min(max(step, 2.0), 60.0)
        a, ga = b, gb
        b = min(a + step, hi_lim) if up else max(a - step, lo_lim)
        if dry is not None and (b >= dry) == up:
            if dry_error is not None and not abs(dry - a) > DRY_STEP:
                if isinstance(dry_error, ConvergenceError) and any(
                    0.0 < v.raw["beta"] < 1.0 for v in seen.values()
                ):
                    # the target lies past a T whose TP flash failed, which may be one T and
                    # not a wall (a loaded MEA-H2S liquid at 24 bar: 415 K, stepped to from
                    # 355 K, all liquid): that T once more, continued from the split now next
                    # to it (_continued); its error where that fails too
                    b, dry, dry_error = dry, None, None
                    continue
                # the target lies past the last T with an answer, DRY_STEP short of one without;
                # or past a band of T without one: a wet H2S with 3e-5 of MEA at 2 bar has a
                # liquid below 325 K, its last drop beyond the aqueous model at 325-355 K (an
                # MEA melt) and is all vapor above
                if cross():
                    return seen[a]
                continue
            b = 0.5 * (a + dry)
    lo, hi = (a, b) if up else (b, a)
    T = brentq(g, lo, hi, xtol=1e-8, rtol=4.0 * np.finfo(float).eps, maxiter=200)
    out = seen.get(T) or _unsharp_flash(system, z, T, P, warm)
    out.iterations = sum(v.iterations for v in seen.values())
    return out


def _beyond_band(g, wall, error, up, lo_lim, hi_lim):
    """(T, g(T), the T without an answer next to it, what its flash raised) of the first T past
    ``wall`` (a T whose flash found no answer and raised ``error``) in the direction ``up``
    whose flash has one, by steps of 5 K doubling; None where there is none up to the limit."""
    last, step = wall, 5.0
    while True:
        T = min(last + step, hi_lim) if up else max(last - step, lo_lim)
        if T == last:
            return None
        try:
            return T, g(T), last, error
        except (ValueError, ConvergenceError) as e:
            if not (isinstance(e, ConvergenceError) or no_answer(e)):
                raise
            last, error, step = T, e, 2.0 * step


def _unsharp_flash(system, z, T, P, warm):
    """The TP flash of a search in T, its split where the split's vapor fraction is not sharp
    (_Unsharp): the search's answer is its T (a vapor fraction of 1 - 1e-9 at the dew point of
    a water with 1e-11 of CO2 and CaCO3 at 48.5 bar, whose splits on the way were refused)."""
    try:
        return tp_flash(system, z, T, P, warm=warm)
    except _Unsharp as e:
        return e.found


def _continued(system, z, T, P, seen, error, warm):
    """The verified split at T where the TP flash there raised ``error``: the split on the
    liquid's fugacities from that of the nearest T of the solve (``seen``: T -> _Verified) with
    two phases, its trial liquids settled where needed (a split whose vapor fraction is not
    sharp read as _unsharp_flash reads it); ``error`` where there is none or it does not
    verify. A T solve meets such a T anywhere (its Brent steps are not chosen), and the
    neighbouring split is a start near the answer (a loaded MEA-H2S liquid at 24 bar: from the
    split at 414 K to that at 415 K in 19 evaluations)."""
    near = [v for v in seen.values() if 0.0 < v.raw["beta"] < 1.0]
    if not near:
        raise error
    start = min(near, key=lambda v: abs(v.raw["T"] - T)).raw
    trials = [False, False]
    while True:
        try:
            raw, its = _fugacity_split(system, z, T, P, warm, start, True, first=1, trials=trials)
            res, bal, fnl = _check(system, z, raw, T, P, warm)
            if res <= system.tol and bal <= system.tol:
                method = "split on the liquid's fugacities, from a neighbouring T"
                found = _Verified(raw, *fnl, res, bal, its, method)
                return _sharp(system, z, T, P, found, warm=warm)
        except _Unsharp as e:
            return e.found
        except (ValueError, ArithmeticError) as e:
            if not no_answer(e):
                raise
        except ConvergenceError:
            pass
        if trials != [False, True]:
            raise error
        # a split balanced on unsettled trial liquids that does not verify (see _attempts):
        # again, every trial liquid settled (from 414.53 K to 414.77 K the MEA-H2S liquid
        # went to the core's spurious split at vapor fraction 0.049 otherwise)
        trials = [True, False]


class _Bubble:
    """The outcomes of the engine's bubble temperature search (the model's _front_bubble_T)."""

    FOUND, BOUND = 0, 1  # 2: a speciation on the way did not settle or raised: the loop runs


def _bubble_T(system, z, P, T0, warm):
    """The bubble temperature [K] of the liquid z at P: ln sum_k f_k / (phi_k P) = 0 over the
    volatile components it holds or makes (bracketing from T0, then Brent's method). One call
    of the engine where it runs the loop's steps itself (see ``_engine_bubble_T``), else the
    loop here (``_bubble_T_loop``): the same T to the last digit."""
    found = _engine_bubble_T(system, z, P, T0, warm)
    return found if found is not None else _bubble_T_loop(system, z, P, T0, warm)


def _engine_bubble_T(system, z, P, T0, warm):
    """``_bubble_T_loop`` in one call of the engine (the model's ``_front_bubble_T``): the same
    fugacities from the same warm starts, the same brackets and Brent's method. None where the
    loop is to run: the model, its methods, the vapor model (the ideal gas only) or the engine's
    Brent replaced in Python, or a speciation on the way that did not settle (the loop's
    recovery then speciates it) or raised (the loop raises it)."""
    from . import brinequil

    el = system.model
    # the engine's Brent as imported: the search runs in the engine only while the loop would
    # call that one (a test may replace it)
    if getattr(el, "_front_bubble_T", None) is None or brinequil._brentq is not _ENGINE_BRENTQ:
        return None
    warm.reset()
    app = dict(zip(system.components, z.tolist()))
    a = min(max(T0, checks.T_MIN), checks.T_MAX)
    out = el._session(
        warm,
        "_front_bubble_T",
        app,
        system.components,
        system.pp,
        P,
        a,
        checks.T_MIN,
        checks.T_MAX,
    )[0]
    if out is None:
        return None
    outcome, T, g, _ = out
    if outcome == _Bubble.FOUND:
        return T
    if outcome == _Bubble.BOUND:
        raise _bubble_bound(system, P, g)
    return None


def _bubble_bound(system, P, fa):
    """The refusal of a bubble temperature whose search reached T_MIN (ln sum f / (phi P) = fa
    > 0 at the last T before it) or T_MAX (fa < 0) without a change of sign."""
    side = "below" if fa > 0.0 else "above"
    why = (
        f"; the gases {', '.join(c for c in system.gases)} keep it far below"
        if system.gases and fa > 0.0
        else ""
    )
    return NoSolutionError(
        f"the bubble temperature at P = {P:g} Pa lies {side} "
        f"{checks.T_MIN if fa > 0.0 else checks.T_MAX:g} K{why}"
    )


def _bubble_T_loop(system, z, P, T0, warm):
    """``_bubble_T`` step by step in Python: each ln sum f / (phi P) from the settled liquid."""
    from .brinequil import _brentq as brentq

    warm.reset()
    app = dict(zip(system.components, z.tolist()))
    feed_out = dict(zip(system.components, map(float, z)))

    def f(T):
        try:
            fl, _, _ = _fugacities(system, app, T, warm)
        except (ValueError, ArithmeticError) as e:
            if not no_answer(e):
                raise
            tc = checks.water_critical_T()
            why = (
                f"; {T:g} K lies above the critical point of water ({tc:g} K, where its "
                "vapor-pressure curve ends): no bubble point at this pressure"
                if T > tc
                else ""
            )
            raise ConvergenceError(
                f"bubble temperature at P = {P:g} Pa of the liquid {_feed_text(system, z)}: "
                f"its chemical equilibrium at {T:g} K failed ({e}){why}",
                T=T,
                P=P,
                feed=feed_out,
                tried=("bubble temperature",),
            ) from None
        return math.log(max(_incipient_vapor(system, fl, T, P)[1], 1e-300))

    a = min(max(T0, checks.T_MIN), checks.T_MAX)
    fa, step = f(a), 10.0
    while fa != 0.0:
        b = min(a + step, checks.T_MAX) if fa < 0.0 else max(a - step, checks.T_MIN)
        try:
            fb = f(b)
            if (fb > 0.0) != (fa > 0.0) or fb == 0.0:
                try:
                    a = brentq(f, min(a, b), max(a, b), xtol=1e-10, rtol=4.0 * np.finfo(float).eps)
                except ValueError as e:
                    if "different signs" not in str(e):
                        raise
                    # an end within the speciation's noise of the root reads with the other
                    # sign the second time (warm starts): that end is the root, checked by the
                    # caller like any other
                    a = a if abs(fa) <= abs(fb) else b
                break
        except ConvergenceError:
            if fa < 0.0 or b >= checks.T_HINT:
                raise
            # below the freezing point of water the supercooled liquid's equilibrium may fail
            raise NoSolutionError(
                f"the bubble temperature at P = {P:g} Pa lies below {a:g} K (the liquid's "
                f"bubble pressure there is {P * math.exp(fa):.6g} Pa), under the freezing point "
                "of water: at this pressure the liquid holds more of its gases than a liquid "
                "can"
            ) from None
        if b in (checks.T_MIN, checks.T_MAX):
            raise _bubble_bound(system, P, fa)
        a, fa, step = b, fb, step * 1.6
    return a


def bubble_temperature(
    system: Any, feed: Any, P: float, T0: float | None = None, warm: _WarmStart | None = None
) -> FlashResult:
    """The verified flash at the bubble temperature of ``feed`` at P: vapor fraction 0, the
    incipient vapor in ``vapor``. Solves ln sum_k f_k / (phi_k P) = 0 in 200-700 K over every
    volatile component the liquid holds or makes (CO2 over a bicarbonate liquid whose feed
    names none), the liquid fugacities f_k of the feed as a liquid (bracketing, then Brent's
    method). ``warm``: see ``flash``."""
    P = checks.pressure(P)
    z = checks.feed(system, feed)
    feed_out = dict(zip(system.components, map(float, z)))
    warm = _cold(warm)
    T0 = checks.temperature(T0, stacklevel=4) if T0 is not None else 350.0
    a = _bubble_T(system, z, P, T0, warm)
    raw, its = _one_phase_liquid(system, z, a, P, warm)
    res, bal, fnl = _check(system, z, raw, a, P, warm)
    ln_sum = math.log(max(_incipient_vapor(system, fnl[0], a, P)[1], 1e-300))
    if abs(ln_sum) > system.tol or fnl[3] > system.tol:
        raise ConvergenceError(
            f"bubble temperature not converged at P = {P:g} Pa for the liquid "
            f"{_feed_text(system, z)}: ln sum f / (phi P) = {ln_sum:.3g} at "
            f"{a:g} K, speciation residual {fnl[3]:.3g}",
            T=a,
            P=P,
            feed=feed_out,
            residual=max(abs(ln_sum), fnl[3]),
        )
    checks.range_warnings(system, a, z, stacklevel=4)
    return _finish(system, z, _Verified(raw, *fnl, abs(ln_sum), bal, its, "bubble temperature"))
