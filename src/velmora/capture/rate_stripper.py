"""Rate-based packed stripper: the absorber's segment equations run with the vapor of a reboiler.

The packed beds are cut into segments as the absorber's are (mixed cells, counter-current), each
with the absorber's transfer terms (``_Column.local``: Chinen et al.'s packing correlations,
Putta et al.'s kinetics in the enhancement factor bounded by the instantaneous limit, gas-film
water and amine, Chilton-Colburn heat transfer); the gas is the vapor of CO2, water and amine,
no inert. Below the beds the reboiler is an equilibrium stage: the liquid from the lowest
segment in, the lean liquid at its bubble point and its vapor (y_i = p*_i/P) out, the duty the
unknown that gives the target lean loading (or, given the duty, the lean loading the unknown).
Above them the rich feed and the reflux of the stripper's partial condenser (the stage
stripper's) enter the top segment.

Why a rate-based column beside the equilibrium stages: the vapor leaving the top meets the
subcooled feed, so it can carry less water per mole of CO2 than the vapor of the feed at its
bubble point, the floor of every equilibrium column (docs/capture.md). The correlations are
used above their fitted ranges (kinetics to 343 K, densities, viscosities and the CO2
diffusivity to 353 K; the stripper runs at 370-400 K): each run reports them as RangeWarnings.

Solved by Newton's method on all blocks together (the reboiler a block of eight unknowns below
the segments; the banded Jacobian by differences in three colours with the liquids to first
order from their exact derivatives), from the profiles of an equilibrium column of as many
stages (a segment a stage), by continuation in the transfer area from 10 times down when the
direct step fails. Checked as the stage stripper: element balances 1e-8, energy 1e-6.
"""

import math
from collections.abc import Sequence
from typing import Any

import numpy as np

from ..errors import ConvergenceError
from . import properties as pr
from .absorber import LIQ, NEWTON_TOL, NV, Thermo, _Column, newton
from .stripper import Stripper, _Ends

CONTINUATION = (10.0, 3.0, 1.0)  # transfer-area factors from the equilibrium start (beyond
# 10 the engine's precision of p* times the transfer coefficients floors the residual near 1e-8)


class RateStripper(Stripper):
    """A packed stripper: ``diameter`` [m], ``beds`` (heights [m]; no coolers between them),
    ``packing`` (a name of ``velmora.capture.PACKINGS`` or a ``Packing``), ``segments`` per
    bed, ``condenser_T`` [K], ``area_factor`` (multiplies the transfer area of every segment:
    1 the correlations'; large, the equilibrium column of as many stages). Defaults: the NCCC
    pilot's stripper (two 6 m beds of MellapakPlus 252Y, 0.59 m; ../shared/data/capture.md §1).

    ``run(rich, feed_T, P, lean_loading=None, duty=None, start=None)`` -> ``StripperResult`` as
    ``Stripper.run`` (``start``: a result of this stripper to start from; else the equilibrium
    column's profiles); ``top_T`` is the top vapor's T, the ``profiles`` (segments top first,
    the reboiler last) add the gas T ``T_G`` [K] and ``z`` [m, height of the segment centres,
    the reboiler at 0]."""

    intercoolers = 0
    intercooler_T = None

    def __init__(
        self,
        system: Any,
        diameter: float = 0.59,
        beds: Sequence[float] = (6.0, 6.0),
        packing: str | pr.Packing = "MellapakPlus 252Y",
        segments: int = 8,
        condenser_T: float = 313.15,
        area_factor: float = 1.0,
    ) -> None:
        beds = [float(b) for b in beds]
        if diameter <= 0.0 or not beds or min(beds) <= 0.0:
            raise ValueError(f"stripper: diameter {diameter} m and bed heights {beds} m")
        if segments < 1:
            raise ValueError("stripper: at least one segment per bed")
        if not area_factor > 0.0:
            raise ValueError(f"stripper: area factor {area_factor} is not positive")
        Thermo(system, rate_based=True, flue_gas=False)  # checks the chemistry
        self.system, self.diameter, self.beds = system, float(diameter), beds
        self.packing = pr.packing(packing)
        self.segments, self.condenser_T = int(segments), float(condenser_T)
        self.area_factor = float(area_factor)

    @property
    def area(self) -> float:
        return math.pi * self.diameter**2 / 4.0

    def _column(self, rich, feed_T, P, lean_loading, duty):
        return _Segments(self, rich, feed_T, P, lean_loading, duty)

    def _equivalent_stages(self) -> int:
        """A stage a segment, and the reboiler (the column its guess starts from)."""
        return self.segments * len(self.beds) + 1


class _Segments(_Ends, _Column):
    """The stripper's equations: block 0 the reboiler (lean CO2, water, amine [mol/s], T [K],
    vapor CO2, water, amine [mol/s], duty / SE), blocks 1..N the segments from the bottom up
    (the absorber's unknowns: liquid leaving down, gas leaving up)."""

    def __init__(self, st: RateStripper, rich, feed_T, P, lean_loading, duty):
        th = Thermo(st.system, rate_based=True, flue_gas=False)
        _Ends.__init__(self, rich, feed_T, P, lean_loading, duty, st.condenser_T, th)
        self.st = st
        self.ab = st  # type: ignore[assignment]  # the geometry _Column.local reads
        self.names = LIQ
        self.inerts, self.inert_flows, self.inert_total = [], {}, 0.0
        self.dz = np.repeat([b / st.segments for b in reversed(st.beds)], st.segments)
        self.N = self.dz.size
        self.cooled: set[int] = set()
        self.scale = st.area_factor
        self.ranges = pr.Ranges()
        self._props: dict[tuple[float, ...], tuple[float, ...]] = {}
        self._pures: dict[int, list[np.ndarray]] = {}
        self._slopes: dict[tuple[float, ...], tuple[np.ndarray, np.ndarray]] = {}

    def residual(self, x, detail=False):
        """The scaled residuals (``detail``: the absorber's option, not used here)."""
        S, SE, P = self.S, self.SE, self.P
        rb, v = x[:NV], x[NV:].reshape(self.N, NV)
        loc = self.local(v, self.liquid_thermo(v))
        n, q, Hl, Hg, carried = loc["n"], loc["q"], loc["Hl"], loc["Hg"], loc["carried"]
        reflux, _, h_reflux, _ = self.condenser(v[-1, 4:7], v[-1, 7])
        Lr, Tr, Gr, Q = rb[0:3], rb[3], rb[4:7], rb[7] * SE
        Hg_r = self.gas_enthalpy(Gr, Tr)
        F = np.empty((self.N + 1, NV))
        seg = F[1:]
        seg[:, 0:3] = (v[:, 0:3] - np.vstack([v[1:, 0:3], self.feed + reflux]) - n) / S
        seg[:, 3] = (Hl - np.append(Hl[1:], self.H_feed + h_reflux) - carried - q) / SE
        seg[:, 4:7] = (v[:, 4:7] - np.vstack([Gr, v[:-1, 4:7]]) + n) / S
        seg[:, 7] = (Hg - np.append(Hg_r, Hg[:-1]) + carried + q) / SE
        # the reboiler: an equilibrium stage (its vapor's composition that of the bubble)
        lean = self.th.liquid(Lr, Tr)
        p = lean.partial_pressures
        F[0, 0:3] = (Lr + Gr - v[0, 0:3]) / S
        F[0, 3] = (lean.H * Lr.sum() + Hg_r - Hl[0] - Q) / SE
        F[0, 4:7] = Gr / Gr.sum() - np.array([p[c] for c in self.th.names]) / P
        F[0, 7] = Lr[0] / Lr[2] - self.target if self.duty is None else (Q - self.duty) / SE
        return F.ravel()

    def steps(self, x):
        v = x.reshape(self.N + 1, NV)
        h = 1e-6 * np.maximum(np.abs(v), 1e-6 * self.S)
        h[:, 3] = 1e-4
        h[1:, 7] = 1e-4
        return h.ravel()

    def feasible(self, x):
        v = x.reshape(self.N + 1, NV)
        T = v[:, [3, 7]].copy()
        T[0, 1] = T[0, 0]  # the reboiler's last unknown is its duty
        return bool(
            np.all(v[:, 0:3] > 0.0)
            and np.all(v[:, 4:7] > 0.0)
            and np.all((T > 300.0) & (T < 450.0))
        )

    def newton(self, x0, tol=NEWTON_TOL):
        return newton(
            self.residual,
            x0,
            self.N + 1,
            NV,
            self.steps,
            self.feasible,
            (3,),
            tol,
            thermo=self.th,
        )

    def guess(self):
        """The equilibrium column of N stages above its reboiler at the same target: a
        segment a stage (liquid and vapor leaving it, both at its T)."""
        eq = Stripper(self.st.system, stages=self.N + 1, condenser_T=self.Tc)
        feed, lean = dict(zip(self.th.names, self.feed)), None if self.duty else self.target
        try:
            r = eq.run(feed, self.T_feed, self.P, lean_loading=lean, duty=self.duty)
        except ConvergenceError as e:
            raise ConvergenceError(
                f"stripper: no equilibrium column of {self.N + 1} stages to start the segments "
                f"from ({e})",
                P=self.P,
                residual=e.residual,
                tried=("equilibrium stages",),
            ) from e
        s, col = r._x.reshape(self.N + 1, 6), r._stages
        x = np.empty((self.N + 1, NV))
        for j in range(self.N + 1):  # stage j from the top: block N - j
            y = col.vapor(s[j, 0:3], s[j, 3])[0]
            b = x[self.N - j]
            b[0:4] = s[j, 0:4]
            b[4:7] = s[j, 4] * y
            b[7] = s[j, 3]
        x[0, 7] = s[-1, 5] / self.SE
        return x.ravel()

    def solve(self, start, tol=NEWTON_TOL):
        x_start: Any = getattr(start, "_x", None)
        x, its, err = x_start, 0, math.inf
        if x_start is not None and x_start.size == (self.N + 1) * NV and self.feasible(x_start):
            x, its, err = self.newton(x_start, tol)
        if err >= tol:
            x0 = self.guess()
            x, k, err = self.newton(x0, tol)
            its += k
            if err >= tol:  # continuation from near the equilibrium column
                x = x0
                for f in CONTINUATION:
                    self.scale = self.st.area_factor * f
                    x, k, err = self.newton(x, tol)
                    its += k
                    if err >= tol:
                        break
        if err >= tol:
            F = self.residual(x) if self.feasible(x) else np.full(x.size, math.inf)
            j = int(np.argmax(np.abs(F))) // NV
            where = "the reboiler" if j == 0 else f"segment {j} of {self.N} from the bottom"
            raise ConvergenceError(
                f"stripper: the segment equations did not converge ({where}, scaled residual "
                f"{err:.3g}, transfer area {self.scale / self.st.area_factor:g} times the "
                "column's)",
                P=self.P,
                residual=err,
                tried=("Newton", "continuation in area"),
            )
        return x, its

    def result(self, x, its):
        rb, v = x[:NV], x[NV:].reshape(self.N, NV)
        top = v[::-1]
        z = np.cumsum(self.dz) - 0.5 * self.dz
        profiles = {
            "T": np.append(top[:, 3], rb[3]),
            "T_G": np.append(top[:, 7], rb[3]),
            "loading": np.append(top[:, 0] / top[:, 2], rb[0] / rb[2]),
            "y_CO2": np.append(top[:, 4] / top[:, 4:7].sum(axis=1), rb[4] / rb[4:7].sum()),
            "vapor": np.append(top[:, 4:7].sum(axis=1), rb[4:7].sum()),
            "z": np.append(z[::-1], 0.0),
        }
        r = self.finish(rb[0:3], rb[3], rb[7] * self.SE, v[-1, 4:7], v[-1, 7], its, profiles)
        self.ranges.warn("stripper", stacklevel=4)
        return r
