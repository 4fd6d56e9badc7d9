"""Lean/rich heat exchanger of a capture plant: counter-current, liquid on both sides.

The hot side is the lean solvent from the reboiler, the cold side the rich solvent from the
absorber. Each side's duty is the change of its enthalpy flow, velmora's liquid enthalpy
(``LiquidState.H`` times the apparent flow), so the heat capacities follow the loading and T
of each solvent. Both sides are held liquid (the rich side under the stripper's pressure; no
CO2 flashes in the exchanger).

Sized by an ``approach`` [K] (the smallest temperature difference over the ends and the
interior, its minimum located on the enthalpy curves below: the pinch can lie inside, as the
rich solvent's heat capacity, reaction heat included, is not the lean one's) or by ``UA``
[W/K]. The area a duty Q needs is the counter-current integral

    UA(Q) = integral over q from 0 to Q of dq / (T_hot(q) - T_cold(q)),

q counted from the cold end, where the hot side holds H_hot_out + q and the cold side
H_cold_in + q (each T solved from its side's enthalpy flow). The log-mean difference of the
ends gives it only for constant heat capacities; with the solvents' bending ones it can promise
more duty than the area gives, and a temperature cross inside. UA(Q) grows with Q and diverges
where an interior difference reaches zero, so the duty of a UA is the root of UA(Q) = UA on
(0, the pinch), bracketed (a duty where a difference is not positive is too large).

Each side's T(H) is the inverse of its enthalpy curve H(T), interpolated once per run over
the inlets' range at 16 Chebyshev points of exact liquid states (24 or 32 where the size of
its last coefficients, the interpolation's error estimate, exceeds ``CURVE_TOL`` of the
range's duty; 16 points missed by at most 4e-3 W in 1e6 W over 305-400 K on the solvents
of the tests): an area then costs no
liquid states, and a UA answer about 90 in all, fewer than the log-mean solve's bisection
(about 430). A T error e moves a duty by at most about e times a side's heat capacity flow;
at a UA answer the curves are checked against the outlet T solved exactly
(``self.temperature``), and must agree to within UA_TOL of the duty so counted.

The integral: 5-point Gauss-Legendre over zones of the duty (exact for a difference profile of
degree 9 within a zone), each zone's error estimated against the same rule on its two halves
(the value reported is the halves' sum, the estimate that of the coarser rule, so an upper
bound in practice). Zones are split where their estimate exceeds their share of the
tolerance, or where the difference varies more than ``RATIO``-fold across them (the ends'
differences included), so that a pinch inside or at an end is resolved before an estimate is
trusted. Measured against the same quadrature on exact T solves at every node (to a 1e-11
tolerance) on the lean/rich pair of tests/test_capture_loop.py and the fuzzer's bent cases:
the duties agree to 4e-8 relative (1.5e-7 next to a pinch at an end, where the bracket
decides); the areas to 2e-9 for UA 5e4 to 6e5 W/K, to 7e-6 for 1e6 W/K on the pair of the
tests (a 0.26 K pinch inside: there the duty hardly moves with the area); against Simpson's
rule on 64 intervals of fresh liquid states and Brent's method (the tests), to 7e-10.

A duty: bracketed by duties whose area is surely below the UA (area + twice its error) and
surely above (area - twice its error, or a difference not positive), secant steps on ln area
against ln(Q / (q_max - Q)) (q_max: either side brought to the other's inlet T). Done where
the area is the UA within ``UA_TOL`` relative, its error included (an area error moves the
duty by that error over d ln area / d ln Q, which is at least 1, as area / Q, the mean of
1 / difference, rises with Q, and large near a pinch), or where the bracket is ``UA_TOL``
wide: next to a pinch at an end the area grows only like -ln(pinch - Q) and the duty is the
bracket's.

Every answer reports ``UA``, its own area (so a duty set by an approach gives the UA that
returns it; in UA mode the area of the duty found, equal to the UA asked for within what moves
the duty by ``UA_CHECK``: next to a pinch at an end it can be well below), with its estimated
relative error ``UA_error``, and ``lmtd`` of its ends. Every answer checked: hot duty = cold
duty to 1e-6 relative, the hot side warmer than the cold one at both ends and at interior
duties (a temperature cross is a ``ConvergenceError`` naming it), and in UA mode the answer's
area against the UA asked for as above.
"""

import math
from collections.abc import Mapping
from typing import Any

import numpy as np
from scipy.optimize import minimize_scalar

from ..checks import warns_at_caller
from ..errors import ConvergenceError
from .absorber import Thermo

DUTY_TOL = 1e-6  # relative mismatch of the two sides' duties
CROSS_POINTS = 4  # interior duties where the two sides' temperatures are compared
PINCH_SAMPLES = 64  # duties where the enthalpy curves' difference is scanned for its minimum
CROSS_TOL = 1e-6  # K: a cross smaller than this is the pinch search's tolerance, not a cross
UA_TOL = 1e-7  # relative: a UA answer's duty (its area's, error included; or its bracket)
UA_CHECK = 1e-6  # relative: a UA answer's area against the UA asked for, as the duty it moves
MAX_ZONES = 64  # zones of the area's quadrature (split where its error estimate is large)
RATIO = 2.0  # a zone of the area whose difference varies more than this (-fold) is split
CURVE_POINTS = (16, 24, 32)  # Chebyshev points of a side's enthalpy curve, more if needed
CURVE_TOL = 1e-9  # its error estimate [W] over the larger side's enthalpy change
# Gauss-Legendre nodes and weights on [-1, 1]
_GX, _GW = np.polynomial.legendre.leggauss(5)


class _Curve:
    """A side's enthalpy flow H(T) [W] on [lo, hi] K: Chebyshev interpolation of exact liquid
    states (``enthalpy``) at n points, ``err`` its estimate [W] (the size of the last two
    coefficients); ``T(H)`` its inverse by Newton steps, on arrays."""

    def __init__(self, enthalpy: Any, lo: float, hi: float, n: int) -> None:
        x = np.polynomial.chebyshev.chebpts2(n)
        self.lo, self.hi = lo, hi
        H = np.array([enthalpy(lo + 0.5 * (hi - lo) * (1.0 + v)) for v in x])
        self.c = np.polynomial.chebyshev.chebfit(x, H, n - 1)
        self.d = np.polynomial.chebyshev.chebder(self.c)  # dH/dx, x = 2 (T - lo)/(hi - lo) - 1
        self.H_lo, self.H_hi = float(H[0]), float(H[-1])
        self.err = float(abs(self.c[-1]) + abs(self.c[-2]))

    def T(self, H: np.ndarray) -> np.ndarray:
        cv = np.polynomial.chebyshev.chebval
        x = -1.0 + 2.0 * (H - self.H_lo) / (self.H_hi - self.H_lo)  # linear first guess
        tol = 1e-14 * (abs(self.H_lo) + abs(self.H_hi))
        for _ in range(30):
            r = cv(x, self.c) - H
            x = x - r / cv(x, self.d)
            if np.max(np.abs(r)) <= tol:
                break
        return self.lo + 0.5 * (self.hi - self.lo) * (1.0 + x)


class ExchangerResult:
    """``duty`` [W, hot to cold], ``hot_in_T``, ``hot_out_T``, ``cold_in_T``, ``cold_out_T``
    [K], ``approach`` (smaller end difference [K]), ``hot_duty`` and ``cold_duty`` [W, each
    side's enthalpy change from fresh liquid states], ``duty_balance`` (relative),
    ``min_dT`` (smallest hot - cold difference found, ends and interior) [K], ``UA`` [W/K,
    the area of this answer: the integral of dq over the difference; inf when a difference
    inside is not positive], ``UA_error`` (its estimated relative quadrature error), ``lmtd``
    [K, the log-mean difference of the ends; duty / lmtd is the area constant heat capacities
    would need]."""

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
    UA: float
    UA_error: float
    lmtd: float

    def __repr__(self) -> str:
        return (
            f"ExchangerResult: {self.duty / 1e3:.1f} kW; hot {self.hot_in_T:.2f} -> "
            f"{self.hot_out_T:.2f} K, cold {self.cold_in_T:.2f} -> {self.cold_out_T:.2f} K, "
            f"approach {self.approach:.2f} K, UA {self.UA / 1e3:.2f} kW/K"
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
        return self._run(hot, hot_T, cold, cold_T, True)

    def _run(self, hot, hot_T, cold, cold_T, area: bool) -> ExchangerResult:
        """``run``; area False: the answer's ``UA`` and ``UA_error`` left nan (a loop's passes
        before its last, whose answers only start the next pass)."""
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
            curves = None
            if dt >= Th - Tc:
                Q = 0.0
            else:
                curves = self._curves(h, c, Tc - 0.5, Th + 0.5)
                Q = min(self.enthalpy(c, Th - dt) - Hc_in, Hh_in - self.enthalpy(h, Tc + dt))
                Q = self._pinched(h, c, Th, Tc, Q, dt, ends, curves)
            known = None
        else:
            ua = float(self.UA)
            curves = self._curves(h, c, Tc - 0.5, Th + 0.5) if ua > 0.0 and q_max > 0.0 else None
            Q, A, err, slope = self._ua_duty(h, c, Th, Tc, Hh_in, Hc_in, q_max, curves)
            known = (A, err)
        Th_out, Tc_out = ends(Q) if Q > 0.0 else (Th, Tc)
        if self.UA is not None and curves is not None and Q > 0.0:
            # the curves against the exact outlet T: how far the duty they gave can be off
            off_T = max(
                abs(float(curves[0].T(np.array([Hh_in - Q]))[0]) - Th_out),
                abs(float(curves[1].T(np.array([Hc_in + Q]))[0]) - Tc_out),
            )
            if not off_T * max(cp_h, cp_c) <= UA_TOL * Q:
                raise ConvergenceError(
                    f"{self.name}: the enthalpy curves are off by {off_T:.3g} K at the "
                    f"outlets of the duty {Q:.6g} W",
                    residual=off_T,
                )
        r = self._checked(hot, Th, Th_out, cold, Tc, Tc_out, known if area else False, curves)
        if self.UA is not None and Q > 0.0 and area:
            # the area the solve gave its answer against the UA, as the duty it moves: relative,
            # over d ln area / d ln duty (a guard on the solve's own acceptance)
            off = abs(r.UA - self.UA) / self.UA / slope
            if not off <= UA_CHECK:
                raise ConvergenceError(
                    f"{self.name}: the duty {Q:.6g} W needs an area of {r.UA:.6g} W/K, not the "
                    f"UA {self.UA:.6g} W/K (the duty off by {off:.3g} relative)",
                    residual=off,
                )
        return r

    def _pinched(self, h, c, Th, Tc, Q, dt, ends, curves):
        """The duty, at most Q (the ends' approach dt), whose smallest hot - cold difference
        over the ends and the interior (its minimum located on the enthalpy curves) is dt: the
        rich solvent's heat capacity, reaction heat included, is not the lean one's, so the
        pinch can lie inside. Regula falsi (Illinois) on the duty."""

        def g(q):
            th_out, tc_out = ends(q)
            return min(self._differences(h, c, Th, th_out, Tc, tc_out, q, curves))[0] - dt

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

    def _differences(self, h, c, Th, Th_out, Tc, Tc_out, Q, curves=None):
        """[(hot - cold T difference [K], where)] at the ends and at the interior duties: at
        the duty f Q from the cold end the hot side holds H_hot_out + f Q, the cold side
        H_cold_in + f Q. With the sides' enthalpy curves, also at the interior duty where
        their difference is smallest (located on the curves, the difference there from exact
        T solves)."""
        dts = [(Th - Tc_out, "hot end"), (Th_out - Tc, "cold end")]
        if Q > 0.0:
            Hh_out, Hc_in = self.enthalpy(h, Th_out), self.enthalpy(c, Tc)
            fs = [(k / (CROSS_POINTS + 1), "") for k in range(1, CROSS_POINTS + 1)]
            f_pinch = None if curves is None else self._pinch_point(curves, Hh_out, Hc_in, Q)
            if f_pinch is not None:
                fs.append((f_pinch, " (the pinch)"))
            for f, tag in fs:
                T_hot = self.temperature(h, Hh_out + f * Q, Th_out + (Th - Th_out) * f)
                T_cold = self.temperature(c, Hc_in + f * Q, Tc + (Tc_out - Tc) * f)
                where = f"{100.0 * f:.{1 if tag else 0}f} % of the duty from the cold end{tag}"
                dts.append((T_hot - T_cold, where))
        return dts

    @staticmethod
    def _pinch_point(curves, Hh_out, Hc_in, Q):
        """The fraction of the duty Q, from the cold end, where the curves' hot - cold
        difference is smallest inside (0, 1): scanned at PINCH_SAMPLES intervals, then a
        bounded minimization between the scan's neighbours; None where it is smallest at an
        end."""
        hot, cold = curves

        def diff(f):
            f = np.asarray(f, dtype=float)
            return hot.T(Hh_out + f * Q) - cold.T(Hc_in + f * Q)

        f = np.linspace(0.0, 1.0, PINCH_SAMPLES + 1)
        k = int(np.argmin(diff(f)))
        if k in (0, PINCH_SAMPLES):
            return None
        res = minimize_scalar(
            lambda x: float(diff([x])[0]),
            bounds=(f[k - 1], f[k + 1]),
            method="bounded",
            options={"xatol": 1e-9},
        )
        return float(res.x)

    def _curves(self, h, c, lo: float, hi: float) -> tuple[_Curve, _Curve]:
        """Both sides' enthalpy curves on [lo, hi] K, with points added until their error
        estimates are at most CURVE_TOL of the larger side's enthalpy change over the range."""
        for n in CURVE_POINTS:
            hot = _Curve(lambda T: self.enthalpy(h, T), lo, hi, n)
            cold = _Curve(lambda T: self.enthalpy(c, T), lo, hi, n)
            span = max(hot.H_hi - hot.H_lo, cold.H_hi - cold.H_lo)
            if max(hot.err, cold.err) <= CURVE_TOL * span:
                break
        return hot, cold

    @staticmethod
    def _area(prof, zones, memo, tol):
        """(area [W/K] by the rule on the zones' halves, the estimated error [W/K] of the rule
        on the zones: the sum of |halves - zone|, the zones split where that exceeds tol of the
        area times their width or where the difference varies more than RATIO-fold (the ends'
        included), whether none was split for that). prof: (hot curve, cold curve, H_hot_out,
        H_cold_in [W], duty Q [W], end differences at the cold and at the hot end [K]). (inf,
        0, zones, True) where a difference is not positive. Every zone's rule evaluated at
        once, on arrays."""
        hot, cold, Hh_out, Hc_in, Q, d0, d1 = prof
        if not (d0 > 0.0 and d1 > 0.0):
            return math.inf, 0.0, zones, True
        todo = []
        for a, b in zones:
            m = 0.5 * (a + b)
            todo += [z for z in ((a, b), (a, m), (m, b)) if z not in memo]
        if todo:
            ab = np.array(todo)
            f = (0.5 * (ab[:, :1] + ab[:, 1:]) + 0.5 * (ab[:, 1:] - ab[:, :1]) * _GX).ravel()
            dt = (hot.T(Hh_out + f * Q) - cold.T(Hc_in + f * Q)).reshape(len(todo), len(_GX))
            vals = 0.5 * (ab[:, 1] - ab[:, 0]) * Q * ((_GW / np.where(dt > 0.0, dt, 1.0)).sum(1))
            for z, v, row in zip(todo, vals, dt):
                memo[z] = (float(v), float(row.min()), float(row.max()))
        total, err, parts = 0.0, 0.0, []
        for a, b in zones:
            m = 0.5 * (a + b)
            whole, left, right = memo[(a, b)], memo[(a, m)], memo[(m, b)]
            lo, hi = min(left[1], right[1], whole[1]), max(left[2], right[2], whole[2])
            if not lo > 0.0:
                return math.inf, 0.0, zones, True
            if a == 0.0:
                lo, hi = min(lo, d0), max(hi, d0)
            if b == 1.0:
                lo, hi = min(lo, d1), max(hi, d1)
            e = abs(left[0] + right[0] - whole[0])
            total, err = total + left[0] + right[0], err + e
            parts.append((a, m, b, e, hi > RATIO * lo))
        finer: list[tuple[float, float]] = []
        resolved = True
        for a, m, b, e, steep in parts:
            if steep or e > tol * total * (b - a):
                finer += [(a, m), (m, b)]
                resolved = resolved and not steep
            else:
                finer.append((a, b))
        return total, err, finer, resolved

    def _adapted(self, prof, tol: float, ua: float | None) -> tuple[float, float]:
        """(area [W/K], its estimated error [W/K]) of a state, from two zones split until none
        needs it, or (ua given) the area is surely above or below ua (no zone too steep, and
        |area - ua| over twice the error), or MAX_ZONES. (inf, 0) where a difference is not
        positive."""
        zones: list[tuple[float, float]] = [(0.0, 0.5), (0.5, 1.0)]
        memo: dict = {}
        while True:
            A, err, finer, resolved = self._area(prof, zones, memo, tol)
            done = A == math.inf or len(finer) == len(zones) or len(finer) > MAX_ZONES
            if done or (ua is not None and resolved and abs(A - ua) > 2.0 * err):
                return A, err
            zones = finer

    def _ua_duty(self, h, c, Th, Tc, Hh_in, Hc_in, q_max, curves):
        """(duty [W], its area [W/K], the area's estimated relative error, d ln area / d ln
        duty) for the UA: the root of UA(Q) = UA on (0, q_max), bracketed by duties whose area
        is surely below the UA (area + twice its error) or above it (area - twice its error, or
        a difference not positive). Steps: secant on ln area against x = ln(Q / (q_max - Q))
        (straight where the area is proportional to Q, and where it grows with -ln(q_max - Q),
        as near a pinch at an end), kept inside the bracket, bisection in x where a step
        leaves it or twice running does not halve |ln area - ln UA|. An area is resolved to
        UA_TOL times the last slope d ln area / d ln Q (enough to place it above or below the
        UA), to UA_TOL where that does not. Done where the area is the UA within UA_TOL
        (error included: the duty then within UA_TOL, as the slope is at least 1), or where
        the bracket is UA_TOL wide (near a pinch, where the duty hardly moves with the
        area)."""
        ua = float(self.UA)  # type: ignore[arg-type]
        if ua == 0.0 or q_max <= 0.0:
            return 0.0, 0.0, 0.0, 1.0
        hot, cold = curves

        def prof(Q: float):
            Hh_out, Hc_out = Hh_in - Q, Hc_in + Q
            T = hot.T(np.array([Hh_out])), cold.T(np.array([Hc_out]))
            return (hot, cold, Hh_out, Hc_in, Q, float(T[0][0]) - Tc, Th - float(T[1][0]))

        # first duty: counter-current effectiveness of constant heat capacity flows (the
        # curves' mean over the range)
        cp_h = (hot.H_hi - hot.H_lo) / (hot.hi - hot.lo)
        cp_c = (cold.H_hi - cold.H_lo) / (cold.hi - cold.lo)
        c_min, c_max = min(cp_h, cp_c), max(cp_h, cp_c)
        ntu, r = ua / c_min, c_min / c_max
        if r < 1.0 - 1e-9:
            eff = -math.expm1(-ntu * (1.0 - r)) / (1.0 - r * math.exp(-ntu * (1.0 - r)))
        else:
            eff = ntu / (1.0 + ntu)
        Q = min(eff * c_min * (Th - Tc), (1.0 - 1e-3) * q_max)
        # and its slope d ln NTU / d ln eff = eff / (NTU (1 - r eff) (1 - eff))
        slope = eff / (ntu * (1.0 - r * eff) * (1.0 - eff)) if eff < 1.0 else 1.0
        slope = min(max(slope, 1.0), 10.0)  # the sides' own curves will tell
        lo, hi, ln_ua = 0.0, q_max, math.log(ua)
        below = (0.0, 0.0, 0.0)  # (Q, area, error) of the bracket's lower end
        last: tuple[float, float] | None = None
        best_g, stalls = math.inf, 0
        for _ in range(200):
            p = prof(Q)
            A, err = self._adapted(p, 0.25 * UA_TOL * slope, ua)
            if A < math.inf and abs(A - ua) <= 2.0 * err:  # undecided: to the full tolerance
                A, err = self._adapted(p, 0.25 * UA_TOL, ua)
            if A < math.inf and abs(A - ua) + err <= UA_TOL * A:
                return Q, A, err / A, 1.0
            if A == math.inf or A - 2.0 * err > ua:
                hi = Q
            elif A + 2.0 * err < ua:
                lo, below = Q, (Q, A, err)
            else:
                raise ConvergenceError(
                    f"{self.name}: the area of the duty {Q:.6g} W for UA {ua:.6g} W/K is not "
                    f"resolved in {MAX_ZONES} zones (estimated error {err / A:.3g} relative)",
                    residual=err / A,
                )
            if hi - lo <= UA_TOL * hi and lo > 0.0:
                # the duty known to the bracket's width; the slope the one across it (the area
                # at the top, near a pinch, far above the UA)
                across = math.log(ua / below[1]) / math.log(hi / lo)
                return below[0], below[1], below[2] / below[1], max(slope, across)
            g = math.inf if A == math.inf else math.log(A) - ln_ua
            stalls = stalls + 1 if abs(g) > 0.5 * best_g else 0
            best_g = min(best_g, abs(g))
            x = math.log(Q / (q_max - Q))
            step = None
            if g < math.inf:
                if last is not None and last[0] != x and last[1] != g:
                    s_x = (g - last[1]) / (x - last[0])  # d ln A / dx = slope (1 - Q / q_max)
                    slope = max(s_x / (1.0 - Q / q_max), 1.0)
                else:
                    s_x = slope * (1.0 - Q / q_max)
                if s_x > 0.0:
                    step = x - g / s_x
                last = (x, g)
            x_lo = math.log(lo / (q_max - lo)) if lo > 0.0 else -math.inf
            x_hi = math.log(hi / (q_max - hi)) if hi < q_max else math.inf
            if step is None or not x_lo < step < x_hi or stalls >= 2:
                stalls = 0
                if x_lo == -math.inf:
                    step = x_hi - 2.0
                elif x_hi == math.inf:
                    step = x_lo + 2.0
                else:
                    step = 0.5 * (x_lo + x_hi)
            Q = q_max / (1.0 + math.exp(-step))
            # a step within half the tolerance of an end: moved to that distance, so that
            # the bracket can close on a root next to it
            d = 0.5 * UA_TOL * hi
            Q = min(max(Q, lo + d), hi - d)
        raise ConvergenceError(
            f"{self.name}: no duty found whose area is the UA {ua:.6g} W/K (last {Q:.6g} W)",
            residual=best_g,
        )

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
        return self._checked(hot, hot_in_T, hot_out_T, cold, cold_in_T, cold_out_T, None)

    def _checked(self, hot, hot_in_T, hot_out_T, cold, cold_in_T, cold_out_T, area, curves=None):
        """``check``; area: None (integrated here), False (not: nan) or (UA, its relative
        error) known from the solve; curves: the sides' enthalpy curves over the exchanger's
        range (built here unless area is False, where the interior is checked at
        CROSS_POINTS duties only)."""
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
        if curves is None and area is not False and Q > 0.0:
            curves = self._curves(h, c, min(Tc, Th_out) - 0.5, max(Th, Tc_out) + 0.5)
        worst = min(self._differences(h, c, Th, Th_out, Tc, Tc_out, Q, curves))
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
        d1, d2 = Th - Tc_out, Th_out - Tc
        if min(d1, d2) <= 0.0:
            r.lmtd = 0.0
        else:
            r.lmtd = d1 if abs(d1 - d2) <= 1e-9 * d1 else (d1 - d2) / math.log(d1 / d2)
        if area is False:
            r.UA, r.UA_error = math.nan, math.nan
        elif Q <= 0.0:
            r.UA, r.UA_error = 0.0, 0.0
        elif area is None:
            hot_c, cold_c = curves
            prof = (hot_c, cold_c, self.enthalpy(h, Th_out), self.enthalpy(c, Tc), Q, d2, d1)
            A, err = self._adapted(prof, UA_TOL, None)
            r.UA, r.UA_error = A, err / A if 0.0 < A < math.inf else 0.0
        else:
            r.UA, r.UA_error = area
        return r
