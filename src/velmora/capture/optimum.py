"""The operating point of a capture plant that needs the least reboiler steam: the lean loading
and L/G that minimise the specific reboiler duty (SRD) at a given capture, by Ipopt or SciPy,
with the closed loop's own sensitivities.

    plant = capture.pilot_plant("pilot-nccc-2014.csv", "K17")
    opt = capture.optimal_operation(plant, capture_pct=90.0, method="scipy")  # or "ipopt"
    print(opt.lean_loading, opt.L_G, opt.srd, opt.loop_solves)

Sensitivities (``CapturePlant.sensitivities``): d(capture, SRD, reboiler duty, rich
loading)/d(lean loading, L/G) of a solved loop by the implicit function theorem on its
converged equations, not by solving whole loops again:

- absorber: dx/dp = -J^-1 dF/dp, J the Jacobian of the segment equations at the solution
  (assembled as Newton's method does: the liquids' partial pressures, true amounts and
  enthalpies from their exact derivatives (``LiquidState.jacobian``) about the solved states,
  the transport correlations by central differences in three colours) and
  dF/dp the residual's columns for the lean solvent's loading and flow (central differences of
  the residual at the solution with the lean solvent of p +- dp: it enters the top segment's
  balances and its enthalpy);
- stripper and exchanger together (they are coupled: the exchanger's hot side is the
  stripper's lean solvent, its cold outlet the stripper's feed T): unknowns the stage
  variables and the feed T; the stages' Jacobian as the absorber's, the closure of the loop
  (the reboiler liquid's CO2 equal to the absorber's lean CO2) in its last row; the exchanger's
  cold outlet T differenced locally over its eight inputs (hot and cold flows and T: eight
  pairs of exchanger runs, its pinch search solved to 1e-6 K, so steps of 0.05 K and 1e-3 of a
  flow); the parameters the absorber's rich solvent (flows, T) and lean CO2.

The liquids enter the stage and segment Jacobians through their exact derivatives; the
transport correlations, the parameter columns and the exchanger are local central differences,
so the sensitivities carry the differences' truncation (relative steps 1e-5) and the columns'
tolerances (scaled residuals below 1e-10), about 1e-6 relative.
"""

import math
import time
from collections.abc import Mapping
from typing import Any

import numpy as np

from ..checks import warns_at_caller
from ..errors import ConvergenceError
from . import properties as pr
from .absorber import NV, _Column, banded_jacobian, lean_solvent
from .exchanger import HeatExchanger
from .loop import CaptureLoop, LoopResult, gas_mass
from .stripper import NV as NVS
from .stripper import Stripper

WRT = ("lean_loading", "L_G")
FD_FACTOR = 10.0  # central steps: the Newton steps (1e-6 of a flow, 1e-4 K) times this
HX_T_STEP, HX_FLOW_STEP = 0.05, 1e-3  # K, relative: above the exchanger's pinch tolerance


class LoopSensitivities:
    """Derivatives of a solved loop with respect to ``wrt`` = ("lean_loading", "L_G"):
    ``capture`` [% per unit], ``srd`` [MJ/kg CO2 per unit], ``reboiler_duty`` [W per unit],
    ``rich_loading`` (arrays of two), at ``point`` (lean loading, L/G); ``seconds``."""

    wrt = WRT
    point: tuple[float, float]
    capture: np.ndarray
    srd: np.ndarray
    reboiler_duty: np.ndarray
    rich_loading: np.ndarray
    seconds: float

    def __repr__(self) -> str:
        return (
            f"LoopSensitivities at lean loading {self.point[0]:.4f}, L/G {self.point[1]:.4f}: "
            f"d capture = {self.capture.round(4).tolist()} %, d SRD = "
            f"{self.srd.round(5).tolist()} MJ/kg (per unit of {', '.join(WRT)})"
        )


class CapturePlant:
    """A capture loop with everything but its lean solvent fixed: ``loop`` (``CaptureLoop``),
    ``gas`` [mol/s] at ``gas_T`` [K], absorber and stripper pressures ``P``, ``stripper_P``
    [Pa], lean solvent at ``lean_T`` [K] with the MEA mass fraction ``mea_wfrac`` (CO2-free
    basis). Operating points are (lean loading, L/G [kg lean solvent/kg flue gas]).
    ``run(lean_loading, L_G, start=None)`` -> ``LoopResult`` (``start``: a nearby loop to
    warm-start from); ``sensitivities(result)`` -> ``LoopSensitivities``; ``loop_solves``
    counts the loops run."""

    def __init__(
        self,
        loop: CaptureLoop,
        gas: Mapping[str, float],
        gas_T: float,
        P: float,
        stripper_P: float,
        lean_T: float,
        mea_wfrac: float,
    ) -> None:
        self.loop, self.gas = loop, {c: float(v) for c, v in gas.items()}
        self.gas_T, self.P, self.stripper_P = float(gas_T), float(P), float(stripper_P)
        self.lean_T, self.mea_wfrac = float(lean_T), float(mea_wfrac)
        self.gas_kg_h = gas_mass(self.gas) * 3600.0
        self.loop_solves = 0

    def lean(self, lean_loading: float, L_G: float) -> dict[str, float]:
        """The lean solvent [mol/s] of an operating point."""
        return lean_solvent(L_G * self.gas_kg_h, self.mea_wfrac, lean_loading, self.loop.amine)

    def point(self, r: LoopResult) -> tuple[float, float]:
        """(lean loading, L/G) of a loop of this plant."""
        lean = r.streams["lean to absorber"][0]
        return lean["CO2"] / lean["MEA"], gas_mass(lean) * 3600.0 / self.gas_kg_h

    @warns_at_caller()
    def run(self, lean_loading: float, L_G: float, start: LoopResult | None = None) -> LoopResult:
        self.loop_solves += 1
        return self.loop.run(
            self.gas,
            self.gas_T,
            self.lean(lean_loading, L_G),
            self.lean_T,
            self.P,
            self.stripper_P,
            start=start,
        )

    def at_capture(
        self,
        lean_loading: float,
        capture_pct: float,
        L_G: float,
        tol: float = 1e-6,
        start: LoopResult | None = None,
    ) -> LoopResult:
        """The loop at ``lean_loading`` whose L/G gives ``capture_pct`` (to ``tol`` %), by
        secant steps on L/G from ``L_G``, the first with the loop's d capture/d(L/G), each
        loop warm-started from the one before (the first from ``start``);
        ``ConvergenceError`` after 20 steps."""
        r = self.run(lean_loading, L_G, start=start)
        slope = self.sensitivities(r).capture[1]
        for _ in range(20):
            miss = r.capture_pct - capture_pct
            if abs(miss) <= tol:
                return r
            lg_prev, cap_prev = L_G, r.capture_pct
            L_G = max(L_G - miss / slope, 0.5 * L_G) if slope > 0.0 else 1.5 * L_G
            r = self.run(lean_loading, L_G, start=r)
            slope = (r.capture_pct - cap_prev) / (L_G - lg_prev)
        raise ConvergenceError(
            f"capture plant: no L/G found for {capture_pct:g} % capture at lean loading "
            f"{lean_loading:g} (last L/G {L_G:.6g}, capture {r.capture_pct:.6g} %)",
            residual=abs(r.capture_pct - capture_pct),
        )

    def sensitivities(self, r: LoopResult) -> LoopSensitivities:
        """d(capture, SRD, reboiler duty, rich loading)/d(lean loading, L/G) of the loop ``r``
        of this plant by the implicit function theorem (see the module)."""
        t0 = time.perf_counter()
        p = np.array(self.point(r))
        dp = np.array([1e-5, 1e-5 * p[1]])
        ab, st = r.absorber, r.stripper
        col, xa = ab._column, ab._x
        sc, xs = st._stages, st._x
        if col is None or sc is None:
            raise ValueError("sensitivities: the loop result holds no solved column equations")

        # absorber: the segment equations and their lean-solvent columns at the solution
        with col.th.linearized(lambda: col.residual(xa)):  # the liquids' exact derivatives
            Ja = banded_jacobian(col.residual, xa, col.N, NV, FD_FACTOR * col.steps(xa))

        def lean_at(q):
            return _Column(
                col.ab, self.gas, self.gas_T, self.lean(*q), self.lean_T, self.P,
                col.ab.segments, col.th,
            )  # fmt: skip

        Fp = np.empty((xa.size, 2))
        dl_in = np.empty((3, 2))  # d lean flows / dp
        for k in range(2):
            e = np.zeros(2)
            e[k] = dp[k]
            up, down = lean_at(p + e), lean_at(p - e)
            Fp[:, k] = (up.residual(xa) - down.residual(xa)) / (2.0 * dp[k])
            dl_in[:, k] = (up.l_in - down.l_in) / (2.0 * dp[k])
        dxa = -np.linalg.solve(Ja, Fp)
        top_co2 = (col.N - 1) * NV + 4

        # stripper stages and the exchanger's cold outlet T: y = (stages, feed T), parameters
        # q = (rich CO2, H2O, MEA, rich T, lean CO2)
        hx = self.loop.exchanger
        feed, T_rich, Tc, lean_co2 = xa[0:3], xa[3], sc.T_feed, col.l_in[0]
        m = xs.size
        reb = slice(m - NVS, m - NVS + 4)  # reboiler liquid's flows and T: the hot inlet

        def res(x, f=feed, T=Tc, lc=lean_co2):
            return sc.residual_at(x, f, T, lc)

        def cold_out(v):
            ex = hx.run(dict(zip(("CO2", "H2O", "MEA"), v[0:3])), v[3],
                        dict(zip(("CO2", "H2O", "MEA"), v[4:7])), v[7])  # fmt: skip
            return ex.cold_out_T

        v0 = np.concatenate([xs[reb], feed, [T_rich]])
        hv = np.where(np.arange(8) % 4 == 3, HX_T_STEP, HX_FLOW_STEP * np.abs(v0))
        gE = np.empty(8)
        for k in range(8):
            e = np.zeros(8)
            e[k] = hv[k]
            gE[k] = (cold_out(v0 + e) - cold_out(v0 - e)) / (2.0 * hv[k])
        Jy = np.zeros((m + 1, m + 1))
        with sc.th.linearized(lambda: res(xs)):
            Jy[:m, :m] = banded_jacobian(res, xs, sc.n, NVS, FD_FACTOR * sc.steps(xs))
        dT = FD_FACTOR * 1e-4
        Jy[:m, m] = (res(xs, T=Tc + dT) - res(xs, T=Tc - dT)) / (2.0 * dT)
        Jy[m, reb] = -gE[0:4]
        Jy[m, m] = 1.0
        Jq = np.zeros((m + 1, 5))
        for k in range(3):
            e = np.zeros(3)
            e[k] = 1e-5 * feed[k]
            Jq[:m, k] = (res(xs, f=feed + e) - res(xs, f=feed - e)) / (2.0 * e[k])
        dc = 1e-5 * lean_co2
        Jq[:m, 4] = (res(xs, lc=lean_co2 + dc) - res(xs, lc=lean_co2 - dc)) / (2.0 * dc)
        Jq[m, 0:4] = -gE[4:8]
        dq = np.vstack([dxa[0:4], dl_in[0:1]])  # (5, 2)
        dy = -np.linalg.solve(Jy, Jq) @ dq

        out = LoopSensitivities()
        out.point = (float(p[0]), float(p[1]))
        out.capture = -100.0 * dxa[top_co2] / col.g_in[0]
        Q, dQ = xs[m - 1], dy[m - 1]
        strip, dstrip = feed[0] - xs[m - NVS], dxa[0] - dy[m - NVS]
        srd = Q / (strip * pr.MW["CO2"]) / 1e6
        out.reboiler_duty = dQ
        out.srd = srd * (dQ / Q - dstrip / strip)
        out.rich_loading = (dxa[0] * feed[2] - feed[0] * dxa[2]) / feed[2] ** 2
        out.seconds = time.perf_counter() - t0
        return out


def pilot_plant(
    table: Any,
    case: str = "K17",
    system: Any = None,
    segments: int = 4,
    stages: int = 6,
    approach: float = 10.0,
) -> CapturePlant:
    """The capture plant of one run of a pilot table (columns of ``pilot-nccc-2014.csv``, see
    ``pilot_runs``): its absorber (beds, intercoolers, diameter, bed height, packing;
    ``segments`` per bed), its flue gas (flow, T, P, dry CO2 and O2), lean T, MEA fraction,
    absorber and stripper pressures; a ``Stripper`` of ``stages`` and a ``HeatExchanger`` of
    ``approach`` [K]. The run's lean flow and loading are what the optimizer varies."""
    import velmora
    from .pilot import _table, row_absorber

    df = _table(table)
    rows = df[df["case"].astype(str) == str(case)]
    if rows.empty:
        raise ValueError(f"pilot plant: no case {case!r} in the table")
    row = rows.iloc[0]
    if system is None:
        system = velmora.System("MEA-CO2-H2O", gases=["N2", "O2"])
    gas, gas_T, ab = row_absorber(system, row, segments)
    loop = CaptureLoop(ab, Stripper(system, stages), HeatExchanger(system, approach=approach))
    return CapturePlant(
        loop,
        gas,
        gas_T,
        1e3 * row["absorber_P_kPa"],
        1e3 * row["stripper_P_kPa"],
        row["lean_T_C"] + 273.15,
        row["lean_MEA_wfrac"],
    )


def pilot_bounds(table: Any) -> dict[str, tuple[float, float]]:
    """The operating range of a pilot table: {"lean_loading": (min, max) of its
    ``lean_loading`` column, "L_G": (min, max) of ``lean_flow_kg_h / gas_flow_kg_h``}."""
    from .pilot import _table

    df = _table(table)
    lg = df["lean_flow_kg_h"] / df["gas_flow_kg_h"]
    ll = df["lean_loading"]
    return {"lean_loading": (float(ll.min()), float(ll.max())), "L_G": (lg.min(), lg.max())}


# ------------------------------------------------------------------------------- optimizer


class OptimumResult:
    """The operating point of least SRD at the capture asked for: ``lean_loading``, ``L_G``
    [kg/kg], ``srd`` [MJ/kg CO2], ``reboiler_duty`` [W], ``capture_pct``, ``method``,
    ``success``, ``message``, ``iterations`` (the optimizer's), ``loop_solves`` (closed loops
    run, line-search trials included), ``sensitivity_evaluations``, ``seconds`` (all of it),
    ``loop_seconds`` (the first, cold loop: the unit of ``cost_in_loops`` = seconds /
    loop_seconds), ``multiplier`` (of the capture constraint, MJ/kg per %: the SRD one more
    % of capture costs), ``result`` (the ``LoopResult`` at the optimum)."""

    lean_loading: float
    L_G: float
    srd: float
    reboiler_duty: float
    capture_pct: float
    method: str
    success: bool
    message: str
    iterations: int
    loop_solves: int
    sensitivity_evaluations: int
    seconds: float
    loop_seconds: float
    cost_in_loops: float
    multiplier: float
    result: LoopResult

    def __repr__(self) -> str:
        return (
            f"OptimumResult ({self.method}, {'solved' if self.success else self.message}): "
            f"lean loading {self.lean_loading:.4f}, L/G {self.L_G:.4f}, SRD {self.srd:.4f} "
            f"MJ/kg ({self.reboiler_duty / 1e3:.2f} kW), capture {self.capture_pct:.4f} %; "
            f"{self.iterations} iterations, {self.loop_solves} loops and "
            f"{self.sensitivity_evaluations} sensitivities, {self.seconds:.1f} s "
            f"({self.cost_in_loops:.1f} cold loops)"
        )


class _Evaluations:
    """The loop and its sensitivities at scaled points u in [0, 1]^2 (u = (p - lo)/(hi - lo)),
    the last few of each kept (an optimizer asks for values and gradients at its trial points
    in turn); every loop warm-started from the last one solved."""

    KEEP = 8

    def __init__(self, plant: CapturePlant, lo: np.ndarray, hi: np.ndarray, target: float):
        self.plant, self.lo, self.span, self.target = plant, lo, hi - lo, target
        self.loops_at: dict[tuple[float, ...], LoopResult] = {}
        self.sens_at: dict[tuple[float, ...], LoopSensitivities] = {}
        self.last: LoopResult | None = None
        self.loops = self.sens_count = 0
        self.first_seconds = math.nan

    def p(self, u: Any) -> np.ndarray:
        return self.lo + np.asarray(u, dtype=float) * self.span

    def loop(self, u: Any) -> LoopResult:
        key = tuple(float(v) for v in u)
        r = self.loops_at.get(key)
        if r is None:
            t0 = time.perf_counter()
            ll, lg = self.p(u)
            r = self.plant.run(float(ll), float(lg), start=self.last)
            if self.loops == 0:
                self.first_seconds = time.perf_counter() - t0
            self.loops += 1
            self.last = self.loops_at[key] = r
            _trim(self.loops_at, self.KEEP)
        return r

    def grads(self, u: Any) -> LoopSensitivities:
        key = tuple(float(v) for v in u)
        s = self.sens_at.get(key)
        if s is None:
            s = self.sens_at[key] = self.plant.sensitivities(self.loop(u))
            self.sens_count += 1
            _trim(self.sens_at, self.KEEP)
        return s

    def srd(self, u: Any) -> float:
        return self.loop(u).srd

    def srd_grad(self, u: Any) -> np.ndarray:
        return self.grads(u).srd * self.span

    def capture(self, u: Any) -> float:
        return self.loop(u).capture_pct - self.target

    def capture_grad(self, u: Any) -> np.ndarray:
        return self.grads(u).capture * self.span


def _trim(d: dict, n: int) -> None:
    while len(d) > n:
        del d[next(iter(d))]


@warns_at_caller()
def optimal_operation(
    plant: CapturePlant,
    capture_pct: float = 90.0,
    method: str = "scipy",
    start: tuple[float, float] = (0.25, 2.5),
    bounds: Mapping[str, tuple[float, float]] | None = None,
    tol: float = 1e-6,
    max_iterations: int = 100,
) -> OptimumResult:
    """The lean loading and L/G of least SRD at ``capture_pct`` (an equality), within
    ``bounds`` ({"lean_loading": (lo, hi), "L_G": (lo, hi)}; required), from ``start`` (lean
    loading, L/G). ``method``: "scipy" (SLSQP) or "ipopt" (cyipopt, limited-memory Hessian),
    both with the loop's sensitivities as gradients, on the point scaled to [0, 1]^2 by the
    bounds; ``tol`` their tolerance (SLSQP's ftol, Ipopt's tol). ``ConvergenceError`` from a
    loop that cannot be solved; ``ImportError`` for "ipopt" without cyipopt."""
    if bounds is None:
        raise ValueError("optimal_operation: bounds of lean_loading and L_G (pilot_bounds)")
    lo = np.array([bounds["lean_loading"][0], bounds["L_G"][0]], dtype=float)
    hi = np.array([bounds["lean_loading"][1], bounds["L_G"][1]], dtype=float)
    if not np.all(hi > lo) or not np.all((np.asarray(start) >= lo) & (np.asarray(start) <= hi)):
        raise ValueError(f"optimal_operation: start {start} outside the bounds {dict(bounds)}")
    t0 = time.perf_counter()
    ev = _Evaluations(plant, lo, hi, float(capture_pct))
    u0 = (np.asarray(start, dtype=float) - lo) / (hi - lo)
    if method == "scipy":
        u, its, ok, msg, lam = _slsqp(ev, u0, tol, max_iterations)
    elif method == "ipopt":
        u, its, ok, msg, lam = _ipopt(ev, u0, tol, max_iterations)
    else:
        raise ValueError(f'optimal_operation: method "scipy" or "ipopt", not {method!r}')
    r = ev.loop(u)
    out = OptimumResult()
    out.lean_loading, out.L_G = (float(v) for v in ev.p(u))
    out.srd, out.reboiler_duty, out.capture_pct = r.srd, r.reboiler_duty, r.capture_pct
    out.method, out.success, out.message, out.iterations = method, ok, msg, its
    out.multiplier, out.result = lam, r
    out.loop_solves, out.sensitivity_evaluations = ev.loops, ev.sens_count
    out.seconds = time.perf_counter() - t0
    out.loop_seconds = ev.first_seconds
    out.cost_in_loops = out.seconds / out.loop_seconds
    return out


def _slsqp(ev, u0, tol, maxit):
    from scipy.optimize import minimize

    res = minimize(
        ev.srd,
        u0,
        jac=ev.srd_grad,
        method="SLSQP",
        bounds=[(0.0, 1.0)] * 2,
        constraints=[{"type": "eq", "fun": ev.capture, "jac": ev.capture_grad}],
        options={"ftol": tol, "maxiter": maxit},
    )
    # the multiplier from the stationarity of the Lagrangian at the answer
    g, a = ev.srd_grad(res.x), ev.capture_grad(res.x)
    lam = float(g @ a / (a @ a))
    return res.x, int(res.nit), bool(res.success), str(res.message), lam


def _ipopt(ev, u0, tol, maxit):
    try:
        import cyipopt
    except ImportError as e:
        raise ImportError(
            'optimal_operation(method="ipopt") needs cyipopt and an Ipopt library '
            "(velmora[pyomo]; make ipopt)"
        ) from e

    class Problem:
        iterations = 0

        def objective(self, u):
            return ev.srd(u)

        def gradient(self, u):
            return ev.srd_grad(u)

        def constraints(self, u):
            return np.array([ev.capture(u)])

        def jacobian(self, u):
            return ev.capture_grad(u)

        def intermediate(self, alg_mod, iter_count, *args):
            self.iterations = iter_count

    prob = Problem()
    nlp = cyipopt.Problem(
        n=2, m=1, problem_obj=prob, lb=[0.0, 0.0], ub=[1.0, 1.0], cl=[0.0], cu=[0.0]
    )
    for k, v in (
        ("hessian_approximation", "limited-memory"),
        ("tol", tol),
        ("max_iter", maxit),
        ("print_level", 0),
        ("sb", "yes"),
    ):
        nlp.add_option(k, v)
    u, info = nlp.solve(np.asarray(u0, dtype=float))
    ok = info["status"] in (0, 1)
    msg = info["status_msg"]
    msg = msg.decode() if isinstance(msg, bytes) else msg
    # Ipopt's multiplier y of L = f + y c: dSRD/dcapture = -y
    return u, prob.iterations, ok, str(msg), -float(info["mult_g"][0])
