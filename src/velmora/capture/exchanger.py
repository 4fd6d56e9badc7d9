"""Lean/rich heat exchanger of a capture plant: counter-current, liquid on both sides.

The hot side is the lean solvent from the reboiler, the cold side the rich solvent from the
absorber. Each side's duty is the change of its enthalpy flow, velmora's liquid enthalpy
(``LiquidState.H`` times the apparent flow), so the heat capacities follow the loading and T
of each solvent. Both sides are held liquid (the rich side under the stripper's pressure; no
CO2 flashes in the exchanger).

Sized by an ``approach`` [K] (the smallest temperature difference over the ends and the
interior duties checked: the pinch can lie inside, as the rich solvent's heat capacity,
reaction heat included, is not the lean one's) or by ``UA`` [W/K]
(duty = UA times the log-mean temperature difference of the ends: exact for constant heat
capacities, an approximation here). Every answer checked: hot duty = cold duty to 1e-6
relative and the hot side warmer than the cold one at both ends and at interior duties (a
temperature cross is a ``ConvergenceError`` naming it).
"""

import math
from collections.abc import Mapping
from typing import Any

from ..checks import warns_at_caller
from ..errors import ConvergenceError
from .absorber import Thermo

DUTY_TOL = 1e-6  # relative mismatch of the two sides' duties
CROSS_POINTS = 4  # interior duties where the two sides' temperatures are compared
CROSS_TOL = 1e-6  # K: a cross smaller than this is the pinch search's tolerance, not a cross


class ExchangerResult:
    """``duty`` [W, hot to cold], ``hot_in_T``, ``hot_out_T``, ``cold_in_T``, ``cold_out_T``
    [K], ``approach`` (smaller end difference [K]), ``hot_duty`` and ``cold_duty`` [W, each
    side's enthalpy change from fresh liquid states], ``duty_balance`` (relative),
    ``min_dT`` (smallest hot - cold difference found, ends and interior) [K]."""

    duty: float
    hot_in_T: float
    hot_out_T: float
    cold_in_T: float
    cold_out_T: float
    approach: float
    hot_duty: float
    cold_duty: float
    duty_balance: float
    min_dT: float

    def __repr__(self) -> str:
        return (
            f"ExchangerResult: {self.duty / 1e3:.1f} kW; hot {self.hot_in_T:.2f} -> "
            f"{self.hot_out_T:.2f} K, cold {self.cold_in_T:.2f} -> {self.cold_out_T:.2f} K, "
            f"approach {self.approach:.2f} K"
        )


class HeatExchanger:
    """``HeatExchanger(system, approach=10.0)`` or ``HeatExchanger(system, UA=...)`` [K, W/K];
    ``run(hot, hot_T, cold, cold_T)`` -> ``ExchangerResult`` (liquid flows [mol/s] of CO2,
    H2O and the amine; T [K])."""

    name = "lean/rich exchanger"

    def __init__(self, system: Any, approach: float | None = 10.0, UA: float | None = None) -> None:
        if UA is not None:
            approach = None
            if not UA >= 0.0:
                raise ValueError(f"{self.name}: UA {UA} W/K must not be negative")
        elif approach is None or not approach >= 0.0:
            raise ValueError(f"{self.name}: approach {approach} K must not be negative")
        self.system, self.approach, self.UA = system, approach, UA
        self.th = Thermo(system, rate_based=False, flue_gas=False)
        self.names = self.th.names  # the order of the flows: CO2, H2O, the amine

    def enthalpy(self, flows: Any, T: float) -> float:
        """Enthalpy flow [W] of a liquid stream at T."""
        return self.th.liquid_enthalpy(flows, T)

    def temperature(self, flows: Any, H: float, T0: float) -> float:
        """T [K] where the liquid's enthalpy flow is H, by secant steps from T0."""
        Ta, Tb = T0, T0 + 1.0
        fa, fb = self.enthalpy(flows, Ta) - H, self.enthalpy(flows, Tb) - H
        scale = abs(H) + 1.0
        for _ in range(40):
            if abs(fb) <= 1e-13 * scale or fb == fa:
                return Tb
            Ta, Tb, fa = Tb, Tb - fb * (Tb - Ta) / (fb - fa), fb
            if not 250.0 < Tb < 500.0:
                break
            fb = self.enthalpy(flows, Tb) - H
        raise ConvergenceError(
            f"{self.name}: no liquid temperature gives the enthalpy flow {H:.6g} W "
            f"(last {Tb:.4g} K, residual {fb:.3g} W)",
            residual=abs(fb) / scale,
        )

    @warns_at_caller(once=True)
    def run(
        self, hot: Mapping[str, float], hot_T: float, cold: Mapping[str, float], cold_T: float
    ) -> ExchangerResult:
        h = [float(hot.get(c, 0.0)) for c in self.names]
        c = [float(cold.get(k, 0.0)) for k in self.names]
        Th, Tc = float(hot_T), float(cold_T)
        if Th < Tc:
            raise ValueError(f"{self.name}: hot side {Th:g} K colder than the cold side {Tc:g} K")
        Hh_in, Hc_in = self.enthalpy(h, Th), self.enthalpy(c, Tc)

        # heat capacity flows [W/K] at the inlets: the starts of the outlet T solves
        cp_h = max(Hh_in - self.enthalpy(h, Th - 1.0), 1e-9)
        cp_c = max(self.enthalpy(c, Tc + 1.0) - Hc_in, 1e-9)

        def ends(Q):
            """(hot out T, cold out T) at duty Q."""
            return (
                self.temperature(h, Hh_in - Q, Th - Q / cp_h),
                self.temperature(c, Hc_in + Q, Tc + Q / cp_c),
            )

        # the largest duty: either side brought to the other's inlet T (zero approach)
        q_max = min(self.enthalpy(c, Th) - Hc_in, Hh_in - self.enthalpy(h, Tc))
        if self.UA is None:
            dt = float(self.approach)  # type: ignore[arg-type]
            if dt >= Th - Tc:
                Q = 0.0
            else:
                Q = min(self.enthalpy(c, Th - dt) - Hc_in, Hh_in - self.enthalpy(h, Tc + dt))
                Q = self._pinched(h, c, Th, Tc, Q, dt, ends)
        else:
            Q = self._ua_duty(ends, q_max, Th, Tc)
        Th_out, Tc_out = ends(Q) if Q > 0.0 else (Th, Tc)
        return self.check(hot, Th, Th_out, cold, Tc, Tc_out)

    def _pinched(self, h, c, Th, Tc, Q, dt, ends):
        """The duty, at most Q (the ends' approach dt), whose smallest hot - cold difference
        over the ends and the interior duties is dt: the rich solvent's heat capacity, reaction
        heat included, is not the lean one's, so the pinch can lie inside. Regula falsi
        (Illinois) on the duty."""

        def g(q):
            th_out, tc_out = ends(q)
            return min(self._differences(h, c, Th, th_out, Tc, tc_out, q))[0] - dt

        gb = g(Q)
        if gb >= -CROSS_TOL:
            return Q
        a, ga, b = 0.0, Th - Tc - dt, Q
        for _ in range(50):
            m = b - gb * (b - a) / (gb - ga)
            gm = g(m)
            if abs(gm) <= CROSS_TOL:
                return m
            if gm * gb < 0.0:
                a, ga = b, gb
            else:
                ga *= 0.5
            b, gb = m, gm
        raise ConvergenceError(
            f"{self.name}: the interior pinch of approach {dt:g} K was not found (last "
            f"difference off by {abs(gb):.3g} K)",
            residual=abs(gb),
        )

    def _differences(self, h, c, Th, Th_out, Tc, Tc_out, Q):
        """[(hot - cold T difference [K], where)] at the ends and at the interior duties: at
        the duty f Q from the cold end the hot side holds H_hot_out + f Q, the cold side
        H_cold_in + f Q."""
        dts = [(Th - Tc_out, "hot end"), (Th_out - Tc, "cold end")]
        if Q > 0.0:
            Hh_out, Hc_in = self.enthalpy(h, Th_out), self.enthalpy(c, Tc)
            for k in range(1, CROSS_POINTS + 1):
                f = k / (CROSS_POINTS + 1)
                T_hot = self.temperature(h, Hh_out + f * Q, Th_out + (Th - Th_out) * f)
                T_cold = self.temperature(c, Hc_in + f * Q, Tc + (Tc_out - Tc) * f)
                dts.append((T_hot - T_cold, f"{100.0 * f:.0f} % of the duty from the cold end"))
        return dts

    def _ua_duty(self, ends, q_max, Th, Tc):
        """Duty where Q = UA LMTD(Q), by bisection on (0, q_max)."""
        ua = float(self.UA)  # type: ignore[arg-type]
        if ua == 0.0 or q_max <= 0.0:
            return 0.0

        def g(Q):
            th_out, tc_out = ends(Q)
            d1, d2 = Th - tc_out, th_out - Tc
            if min(d1, d2) <= 0.0:
                return -math.inf
            lm = d1 if abs(d1 - d2) < 1e-9 * d1 else (d1 - d2) / math.log(d1 / d2)
            return ua * lm - Q

        lo, hi = 0.0, q_max * (1.0 - 1e-9)
        for _ in range(60):
            mid = 0.5 * (lo + hi)
            if g(mid) > 0.0:
                lo = mid
            else:
                hi = mid
            if hi - lo <= 1e-10 * q_max:
                break
        return 0.5 * (lo + hi)

    def check(
        self,
        hot: Mapping[str, float],
        hot_in_T: float,
        hot_out_T: float,
        cold: Mapping[str, float],
        cold_in_T: float,
        cold_out_T: float,
    ) -> ExchangerResult:
        """The checked result of an exchanger in the given state (duty: the cold side's):
        ``ConvergenceError`` when the two sides' duties differ or their temperatures cross."""
        h = [float(hot.get(c, 0.0)) for c in self.names]
        c = [float(cold.get(k, 0.0)) for k in self.names]
        Th, Th_out, Tc, Tc_out = map(float, (hot_in_T, hot_out_T, cold_in_T, cold_out_T))
        Q = self.enthalpy(c, Tc_out) - self.enthalpy(c, Tc)
        sysm = self.system
        # each side's duty from fresh liquid states (not the cached ones the solve used)
        hd, cd = dict(zip(self.names, h)), dict(zip(self.names, c))
        q_hot = (sysm.liquid(Th, hd).H - sysm.liquid(Th_out, hd).H) * sum(h)
        q_cold = (sysm.liquid(Tc_out, cd).H - sysm.liquid(Tc, cd).H) * sum(c)
        scale = max(abs(q_hot), abs(q_cold), 1e-12 * abs(self.enthalpy(h, Th)))
        bal = abs(q_hot - q_cold) / scale if scale > 0.0 else 0.0
        if bal > DUTY_TOL:
            raise ConvergenceError(
                f"{self.name}: hot duty {q_hot:.6g} W and cold duty {q_cold:.6g} W differ by "
                f"{bal:.3g} (relative)",
                residual=bal,
            )
        worst = min(self._differences(h, c, Th, Th_out, Tc, Tc_out, Q))
        if worst[0] < -CROSS_TOL:
            raise ConvergenceError(
                f"{self.name}: temperature cross at the {worst[1]} (hot side {-worst[0]:.3g} K "
                f"colder than the cold side)",
                residual=-worst[0],
            )
        r = ExchangerResult()
        r.duty, r.hot_duty, r.cold_duty, r.duty_balance = float(Q), q_hot, q_cold, bal
        r.hot_in_T, r.hot_out_T, r.cold_in_T, r.cold_out_T = Th, Th_out, Tc, Tc_out
        r.approach = min(Th - Tc_out, Th_out - Tc)
        r.min_dT = worst[0]
        return r
