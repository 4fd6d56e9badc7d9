"""Stripper of a capture plant: equilibrium stages with a partial condenser and a reboiler.

Why equilibrium stages and not a rate-based column: in the stripper the liquid is hot (100-
125 C), where the CO2-MEA reaction is fast and the liquid close to equilibrium with its
vapor, and the reboiler duty is set by three equilibrium quantities (the heat to bring the
rich solvent to the reboiler T, the heat of desorption, and the water that leaves with the
CO2 at the top, fixed by p_H2O/p_CO2 over the top stage). The transfer correlations of the
absorber are also fitted below 80 C (Putta's kinetics to 343 K, the densities and viscosities
to 353 K). The number of equilibrium stages stands for the packed height (default 6 for the
two 6 m beds of the pilot; not fitted). ``RateStripper`` (rate_stripper.py) is the packed
column with those correlations extrapolated: its top vapor is not bound to the feed's bubble
point.

Each stage holds a liquid at its bubble point at the column pressure (vapor in equilibrium,
y_i = p*_i/P from ``System.liquid``); energy balances with velmora's enthalpies (liquid:
``LiquidState.H``; vapor: the package's vapor enthalpy), the reboiler duty the unknown that
gives the target lean loading (or, given the duty, the lean loading the unknown). The
condenser cools the top vapor to ``condenser_T`` and returns the condensed water with the amine
of the vapor as reflux (the CO2 dissolved in it neglected); the product is CO2 saturated with
water at ``condenser_T``. Solved by Newton's method (the absorber's solver); every answer
checked: element balances 1e-8, energy 1e-6 relative, else ConvergenceError.

The split of the duty adds up to it exactly: sensible heat (the rich solvent from its feed T to
the reboiler T), stripping steam (the condenser duty: the water vapor that leaves the top stage
is condensed there and its reflux comes back subcooled) and desorption (the rest: from the rich
solvent at the reboiler T to the lean solvent there and the product gas at the condenser T, about
the CO2 stripped times its heat of absorption).
"""

import math
import time
from collections.abc import Mapping
from typing import Any

import numpy as np

from ..checks import warns_at_caller
from ..errors import ConvergenceError, NoSolutionError
from . import properties as pr
from .absorber import (
    _pressure,
    BALANCE_TOL,
    ENERGY_TOL,
    NEWTON_TOL,
    Thermo,
    element_balance,
    newton,
    solve_stages,
)

NV = 6  # per stage: L_CO2, L_H2O, L_MEA, T, V (vapor leaving), Q (reboiler only)


class StripperResult:
    """A solved, checked stripper: ``reboiler_duty`` [W], ``condenser_duty`` [W, removed],
    ``srd`` (specific reboiler duty, MJ/kg CO2) and its split ``srd_sensible`` (heating the
    rich solvent from the feed T to the reboiler T), ``srd_steam`` (the condenser duty: the
    stripping steam that leaves the top stage and is condensed) and ``srd_desorption`` (the
    rest); ``lean_loading``, ``rich_loading``, ``reboiler_T``, ``top_T`` [K], ``co2_product``
    [mol/s], ``product`` (the condenser's gas: CO2 and water, the amine too when nothing
    condenses) and ``lean_out`` [mol/s], ``reflux`` [mol/s, water and amine], ``profiles``
    (per stage, top first: ``T``, ``loading``, ``y_CO2``, ``vapor`` [mol/s leaving the
    stage]), ``balance``, ``energy_balance``, ``iterations``, ``liquid_calls``, ``seconds``."""

    reboiler_duty: float
    condenser_duty: float
    srd: float
    srd_sensible: float
    srd_steam: float
    srd_desorption: float
    lean_loading: float
    rich_loading: float
    reboiler_T: float
    top_T: float
    co2_product: float
    product: dict[str, float]
    lean_out: dict[str, float]
    reflux: dict[str, float]
    profiles: dict[str, np.ndarray]
    balance: dict[str, float]
    energy_balance: float
    iterations: int
    liquid_calls: int
    seconds: float
    _stages: Any = None
    _x: Any = None

    def __repr__(self) -> str:
        return (
            f"StripperResult: reboiler {self.reboiler_duty / 1e3:.1f} kW, SRD {self.srd:.2f} "
            f"MJ/kg (sensible {self.srd_sensible:.2f}, desorption "
            f"{self.srd_desorption:.2f}, steam {self.srd_steam:.2f}); loading "
            f"{self.rich_loading:.3f} -> {self.lean_loading:.3f}, reboiler "
            f"{self.reboiler_T:.1f} K"
        )


class Stripper:
    """``Stripper(system, stages=6, condenser_T=313.15)``; ``run(rich, feed_T, P,
    lean_loading=None, duty=None)`` -> ``StripperResult`` (rich solvent [mol/s], T [K], P [Pa],
    duty [W]): the duty for a target lean loading, or the lean loading for a given duty."""

    name = "stripper"
    _probe = False  # a stripper run by _flashing_feed to probe the flash alone

    def __init__(self, system: Any, stages: int = 6, condenser_T: float = 313.15) -> None:
        if stages < 2:
            raise ValueError("stripper: at least two stages (one of them the reboiler)")
        self.system, self.stages, self.condenser_T = system, int(stages), float(condenser_T)
        Thermo(system, rate_based=False, flue_gas=False)  # checks the chemistry

    @warns_at_caller(once=True)
    def run(
        self,
        rich: Mapping[str, float],
        feed_T: float,
        P: float,
        lean_loading: float | None = None,
        duty: float | None = None,
        start: "StripperResult | None" = None,
    ) -> StripperResult:
        """``start``: a result of this stripper whose stages Newton's method starts from (a
        warm start); its own guess when that fails or without it."""
        if (lean_loading is None) == (duty is None):
            raise ValueError("stripper: give either the lean loading or the reboiler duty")
        _pressure(P)
        t0 = time.perf_counter()
        col = self._column(rich, float(feed_T), float(P), lean_loading, duty)
        try:
            x, its = col.solve(start)
        except ConvergenceError as e:
            if duty is None:
                raise self._flashing_feed(e, rich, float(feed_T), float(P), lean_loading) from e
            # Newton's method did not start well at this duty: the lean loading that needs it,
            # from runs at lean loadings (whose start is good), then the duty's run from there
            try:
                near = self._by_loading(rich, float(feed_T), float(P), float(duty))
            except ConvergenceError as e2:
                raise self._flashing_feed(e2, rich, float(feed_T), float(P), None) from e
            try:
                x, its = col.solve(near)
            except ConvergenceError:
                raise self._flashing_feed(e, rich, float(feed_T), float(P), None) from e
        r = col.result(x, its)
        # the solved equations, for warm starts and (stages only) the sensitivities of
        # velmora.capture.optimum
        r._stages, r._x = (col if isinstance(col, _Stages) else None), x
        r.seconds = time.perf_counter() - t0
        return r

    def _column(self, rich, feed_T, P, lean_loading, duty) -> Any:
        return _Stages(self, rich, feed_T, P, lean_loading, duty)

    def _equivalent_stages(self) -> int:
        """Stages of the equilibrium column that stands for this one (its own)."""
        return self.stages

    def _by_loading(self, rich, feed_T, P, duty) -> "StripperResult":
        """A run at a lean loading whose duty is within 1e-3 of ``duty`` (a start for the
        duty's run): regula falsi (Illinois) on ln(duty) over ln(lean loading).
        NoSolutionError where even a lean loading just below the rich one needs more than the
        duty (the duty does not bring the feed to its boil)."""
        rl = rich["CO2"] / rich[Thermo(self.system, False, False).amine]
        runs: dict[float, StripperResult] = {}

        def f(L):  # each from its own guess (a neighbour's stages start it worse)
            try:
                r = runs[L] = self.run(rich, feed_T, P, lean_loading=L)
            except ConvergenceError as e:
                done = ", ".join(f"{k:.4g}: {v.reboiler_duty:.6g} W" for k, v in runs.items())
                raise ConvergenceError(
                    f"{self.name}: the duty {duty:.6g} W not reached at a lean loading of "
                    f"{L:.4g} ({e}); duties of the lean loadings run: {done}",
                    P=P,
                    residual=e.residual,
                    tried=("Newton", "regula falsi on the lean loading"),
                ) from e
            return math.log(r.reboiler_duty / duty)

        a = b = 0.5 * rl
        fa = fb = f(a)
        while fa < 0.0:  # too little duty: strip further (the duty grows without bound)
            if a < 1e-9 * rl:
                raise ConvergenceError(
                    f"{self.name}: no lean loading down to {a:.3g} needs the duty {duty:.6g} W"
                )
            b, fb, a = a, fa, 0.5 * a
            fa = f(a)
        while fb > 0.0:  # too much: strip less
            a, fa, b = b, fb, b + 0.5 * (rl - b)
            if rl - b < 1e-6 * rl:
                raise NoSolutionError(
                    f"{self.name}: a reboiler duty of {duty:.6g} W does not bring the rich feed "
                    f"to its boil: a lean loading of {a:.6g}, just below the rich one, takes "
                    f"{runs[a].reboiler_duty:.6g} W"
                )
            fb = f(b)
        for _ in range(60):
            la, lb = math.log(a), math.log(b)
            c = math.exp(lb - fb * (lb - la) / (fb - fa))
            fc = f(c)
            if abs(fc) < 1e-3 or abs(b - a) < 1e-9 * rl:
                return runs[c]
            if fc * fb < 0.0:
                a, fa = b, fb
            else:
                fa *= 0.5
            b, fb = c, fc
        return runs[b]

    def _flashing_feed(self, e, rich, feed_T, P, lean_loading) -> Exception:
        """The error of a failed run: a rich feed above its bubble point flashes in the top of
        the column and strips itself; where that flash alone (no duty: the equilibrium
        stages' lean loading at a duty of 1e-9 of the feed's enthalpy flow) already goes
        below the lean loading asked, no positive duty reaches it (NoSolutionError);
        else ``e``, said to have a flashing feed."""
        if self._probe:
            return e  # the flash below, failing in turn: no deeper probe (each run at a duty
            # that fails runs lean loadings, whose failures would probe again without end)
        eq = Stripper(self.system, self._equivalent_stages(), self.condenser_T)
        eq._probe = True
        cols = _Stages(eq, rich, feed_T, P, 0.5 * lean_loading if lean_loading else 0.1, None)
        T_b = cols._bubble(cols.feed, feed_T)
        if not feed_T > T_b + 1e-3:
            return e
        what = f"the rich feed at {feed_T:.2f} K lies {feed_T - T_b:.2f} K above its bubble point"
        if lean_loading is not None:
            try:
                Q0 = 1e-9 * abs(cols.H_feed)
                flash = eq.run(rich, feed_T, P, duty=Q0)
            except ConvergenceError:
                flash = None
            if flash is not None and flash.lean_loading < lean_loading:
                return NoSolutionError(
                    f"{self.name}: {what} at {P:g} Pa: its flash strips it to a lean loading "
                    f"of {flash.lean_loading:.4g} with no reboiler duty, below the "
                    f"{lean_loading:.4g} asked (a cooler feed, or a lower lean loading)"
                )
        return ConvergenceError(
            f"{e} ({what} at {P:g} Pa)", P=P, residual=e.residual, tried=e.tried
        )


class _Ends:
    """What the stage and the rate-based strippers share: the rich feed and the target (a lean
    loading or a duty), the partial condenser, and the checked result."""

    def __init__(self, rich, feed_T, P, lean_loading, duty, condenser_T, th):
        self.th = th
        self.names = self.th.names
        self.P, self.T_feed = P, feed_T
        self.feed = np.array([rich.get(c, 0.0) for c in self.names], dtype=float)
        if min(self.feed) <= 0.0:
            raise ValueError(
                f"stripper: rich solvent {dict(rich)} needs CO2, water and {self.th.amine}"
            )
        self.duty = None if duty is None else float(duty)
        if self.duty is not None:
            if not self.duty > 0.0:
                raise ValueError(f"stripper: reboiler duty {duty} W is not positive")
            lean_loading = 0.5 * self.feed[0] / self.feed[2]  # the first guess only
        self.target = lean_loading = float(lean_loading)
        # a lean loading of 0 would take an infinite duty: the CO2 pressure of the reboiler's
        # liquid, and so the CO2 the vapor can carry off, vanishes with its CO2
        if not 0.0 < lean_loading < self.feed[0] / self.feed[2]:
            raise ValueError(
                f"stripper: lean loading {lean_loading} is not between 0 and the rich "
                f"loading {self.feed[0] / self.feed[2]:.4g}"
            )
        self.S = float(self.feed.sum())
        self.SE = self.S * 1e3
        self.H_feed = self.th.liquid_enthalpy(self.feed, feed_T)
        self.Tc = float(condenser_T)
        self.pw_c = self.th.water_pressure(self.Tc)
        if not self.pw_c < P:
            raise ValueError(f"stripper: water boils at the condenser T {self.Tc:g} K")

    def vapor(self, liq, T):
        """(flows per mol of vapor y (CO2, H2O, amine), bubble residual) of the liquid liq at T."""
        p = self.th.liquid(liq, T).partial_pressures
        pv = np.array([p["CO2"], p["H2O"], p[self.th.amine]])
        tot = pv.sum()
        return pv / tot, (tot - self.P) / self.P

    def hv(self, y, T):
        return self.th.vapor_h(T, dict(zip(self.names, y)), self.P)

    def condenser(self, v_top, T_top):
        """(reflux (CO2, H2O, amine), product (CO2, H2O, amine) [mol/s], reflux enthalpy, duty
        [W]) of the top vapor: the amine condenses with the water (its p* over the dilute
        reflux at the condenser T is nil), the CO2 leaves saturated with water. A top vapor
        drier than that (a cold feed condenses the steam in the top stage) condenses nothing:
        no reflux, the whole vapor the product."""
        co2 = v_top[0]
        w_out = co2 * self.pw_c / (self.P - self.pw_c)
        if v_top[1] > w_out:
            reflux = np.array([0.0, v_top[1] - w_out, v_top[2]])
            prod = np.array([co2, w_out, 0.0])
            h_reflux = self.th.liquid_enthalpy(reflux, self.Tc)
        else:
            reflux, prod, h_reflux = np.zeros(3), np.array(v_top, dtype=float), 0.0
        duty = (
            v_top.sum() * self.hv(v_top / v_top.sum(), T_top)
            - prod.sum() * self.hv(prod / prod.sum(), self.Tc)
            - h_reflux
        )
        return reflux, prod, h_reflux, duty

    def finish(self, lean, T_reb, Q, v_top, T_top, its, profiles):
        """The checked StripperResult of a solved column: lean liquid [mol/s] at the reboiler
        T, duty Q [W], the top vapor [mol/s] at T_top; the balances from fresh liquid states
        (elements 1e-8, energy 1e-6 of the feed's enthalpy flow), else ConvergenceError."""
        th, sysm, names = self.th, self.th.system, self.names
        reflux, prod, _, cond = self.condenser(v_top, T_top)
        h_feed = sysm.liquid(self.T_feed, dict(zip(names, self.feed))).H * self.feed.sum()
        h_lean = sysm.liquid(T_reb, dict(zip(names, lean))).H * lean.sum()
        h_prod = prod.sum() * self.hv(prod / prod.sum(), self.Tc)
        energy = abs(h_feed + Q - cond - h_lean - h_prod) / abs(h_feed)
        balance = element_balance(
            [dict(zip(names, self.feed))], [dict(zip(names, lean)), dict(zip(names, prod))]
        )
        worst = max(balance.values())
        if worst > BALANCE_TOL or energy > ENERGY_TOL:
            raise ConvergenceError(
                f"stripper: {'element' if worst > BALANCE_TOL else 'energy'} "
                f"balance off by {max(worst, energy):.3g} (relative)",
                residual=max(worst, energy),
            )
        r = StripperResult()
        r.reboiler_duty, r.condenser_duty = float(Q), float(cond)
        kg = (self.feed[0] - lean[0]) * pr.MW["CO2"]
        r.srd = Q / kg / 1e6
        sens = th.liquid_enthalpy(self.feed, T_reb) - h_feed
        r.srd_sensible = sens / kg / 1e6
        r.srd_steam = cond / kg / 1e6
        r.srd_desorption = r.srd - r.srd_sensible - r.srd_steam
        r.lean_loading = float(lean[0] / lean[2])
        r.rich_loading = float(self.feed[0] / self.feed[2])
        r.reboiler_T, r.top_T = float(T_reb), float(T_top)
        r.co2_product = float(prod[0])
        r.product = dict(zip(names, prod.tolist()))
        r.lean_out = dict(zip(names, lean.tolist()))
        r.reflux = dict(zip(names, reflux.tolist()))
        r.profiles = profiles
        r.balance, r.energy_balance = balance, float(energy)
        r.iterations, r.liquid_calls = its, th.calls
        return r


class _Stages(_Ends):
    def __init__(self, st: Stripper, rich, feed_T, P, lean_loading, duty):
        th = Thermo(st.system, rate_based=False, flue_gas=False)
        super().__init__(rich, feed_T, P, lean_loading, duty, st.condenser_T, th)
        self.st, self.n = st, st.stages

    def solve(self, start):
        return solve_stages(self, NV, start, "stripper", "top", self.P)

    def newton(self, x0):
        return newton(
            self.residual,
            x0,
            self.n,
            NV,
            self.steps,
            self.feasible,
            (3,),
            NEWTON_TOL,
            thermo=self.th,
        )

    def residual_at(self, x, feed, feed_T, lean_co2):
        """The residual with the feed [mol/s], its T [K] and the lean CO2 [mol/s] as
        parameters, the target loading that CO2 over the reboiler liquid's amine (the capture
        loop's closure: the stripper returns the absorber's lean CO2); the scales S of the
        solved stripper (the residual is zero at a solution, so they do not enter its
        derivatives there)."""
        saved = self.feed, self.H_feed, self.target
        try:
            self.feed = np.asarray(feed, dtype=float)
            self.H_feed = self.th.liquid_enthalpy(self.feed, feed_T)
            self.target = lean_co2 / x[-NV + 2]
            return self.residual(x)
        finally:
            self.feed, self.H_feed, self.target = saved

    def residual(self, x):
        v = x.reshape(self.n, NV)
        F = np.empty_like(x)
        ys = []
        for j in range(self.n):
            ys.append(self.vapor(v[j, 0:3], v[j, 3]))
        vflow = [v[j, 4] * ys[j][0] for j in range(self.n)]
        reflux, _, h_reflux, _ = self.condenser(vflow[0], v[0, 3])
        for j in range(self.n):
            liq, T, V, Q = v[j, 0:3], v[j, 3], v[j, 4], v[j, 5]
            if j == 0:
                l_in = self.feed + reflux
                H_in = self.H_feed + h_reflux
            else:
                l_in = v[j - 1, 0:3]
                H_in = self.th.liquid_enthalpy(l_in, v[j - 1, 3])
            if j < self.n - 1:
                v_in = vflow[j + 1]
                Hv_in = v[j + 1, 4] * self.hv(ys[j + 1][0], v[j + 1, 3])
            else:
                v_in, Hv_in = np.zeros(3), 0.0
            r = F[NV * j : NV * (j + 1)]
            r[0:3] = (liq + vflow[j] - l_in - v_in) / self.S
            r[3] = (
                self.th.liquid_enthalpy(liq, T) + V * self.hv(ys[j][0], T) - H_in - Hv_in - Q
            ) / self.SE
            r[4] = ys[j][1]
            if j < self.n - 1:
                r[5] = Q / self.SE
            elif self.duty is None:
                r[5] = liq[0] / liq[2] - self.target
            else:
                r[5] = (Q - self.duty) / self.SE
        return F

    def steps(self, x):
        v = x.reshape(self.n, NV)
        h = 1e-6 * np.maximum(np.abs(v), 1e-6 * self.S)
        h[:, 3] = 1e-4
        h[:, 5] = 1e-6 * self.SE
        return h.ravel()

    def feasible(self, x):
        v = x.reshape(self.n, NV)
        return bool(
            np.all(v[:, 0:3] > 0.0)
            and np.all(v[:, 4] > 0.0)
            and np.all((v[:, 3] > 300.0) & (v[:, 3] < 450.0))
        )

    def guess(self):
        """Stages from the feed's bubble point down to the lean liquid's, the CO2 stripped
        evenly over the stages, the vapor twice the CO2 stripped below each stage."""
        n = self.n
        lean = self.feed.copy()
        lean[0] = self.target * self.feed[2]
        d = self.feed[0] - lean[0]
        T_top = self._bubble(self.feed, self.T_feed)
        T_bot = self._bubble(lean, T_top + 10.0)
        v = np.zeros((n, NV))
        for j in range(n):
            v[j, 0:3] = self.feed - [d * (j + 1) / n, 0.0, 0.0]
            v[j, 3] = T_top + (T_bot - T_top) * j / (n - 1)
            v[j, 4] = 2.0 * d * (n - j) / n + 1e-3 * self.S
        v[n - 1, 5] = 0.0 if self.duty is None else self.duty
        return v.ravel()

    def _bubble(self, liq, T):
        """Bubble T of the liquid liq at P by secant steps on ln(bubble pressure)."""

        def g(T):
            return math.log(self.th.liquid(liq, T).bubble_pressure / self.P)

        T0, T1 = T, T + 5.0
        g0, g1 = g(T0), g(T1)
        for _ in range(30):
            if abs(g1) < 1e-9 or g1 == g0:
                break
            T0, T1, g0 = T1, min(max(T1 - g1 * (T1 - T0) / (g1 - g0), 300.0), 450.0), g1
            g1 = g(T1)
        return T1

    def result(self, x, its):
        v = x.reshape(self.n, NV)
        ys = [self.vapor(v[j, 0:3], v[j, 3])[0] for j in range(self.n)]
        profiles = {
            "T": v[:, 3].copy(),
            "loading": v[:, 0] / v[:, 2],
            "y_CO2": np.array([y[0] for y in ys]),
            "vapor": v[:, 4].copy(),
        }
        return self.finish(v[-1, 0:3], v[-1, 3], v[-1, 5], v[0, 4] * ys[0], v[0, 3], its, profiles)
