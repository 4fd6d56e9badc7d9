"""The closed solvent loop of a capture plant: absorber, lean/rich exchanger, stripper, trim
cooler and make-up.

    flue gas -> absorber -> treated gas
    lean (lean_T) -> absorber -> rich -> exchanger (cold side) -> stripper -> CO2 product
    stripper lean -> exchanger (hot side) -> trim cooler (to lean_T) -> + make-up -> lean

The lean solvent entering the absorber is the one given (flow, amine and loading: the plant's
set point). The stripper runs to the lean loading that returns exactly the absorber's lean CO2
with the amine it sends back; the make-up water and amine top the stripper's lean up to the
given solvent (it equals what leaves with the treated gas and the CO2 product, less the water
the flue gas brings; a negative make-up is water purged). The tear is the stripper's lean
solvent (its amine flow and its reboiler T, the exchanger's hot inlet), solved by successive
substitution with Wegstein's acceleration from a first stripper run on the cold rich feed.

The make-up is mixed into the cooled lean solvent at the lean T; its enthalpy is the change of
the lean solvent's enthalpy flow it makes there (heat of mixing included). Every answer is
checked over the whole loop: each element (flue gas and make-up in, treated gas and CO2
product out) to 1e-8 relative and the energy (reboiler in; condenser, intercoolers and trim
cooler out) to 1e-6 of the enthalpy flows across the boundary, from fresh states; else
``ConvergenceError`` naming the unit and the residual.
"""

import math
import time
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from ..checks import warns_at_caller
from ..errors import ConvergenceError
from . import properties as pr
from .absorber import BALANCE_TOL, ENERGY_TOL, Absorber, AbsorberResult, element_balance
from .exchanger import ExchangerResult, HeatExchanger
from .stages import StageAbsorber
from .stripper import Stripper, StripperResult
from ._figures import finish, panels

if TYPE_CHECKING:
    import pandas

# between passes: the reboiler T [K] and the stripper lean's amine (relative); what they leave
# in the loop's balances is far below their tolerances (1e-6 K of ~1e4 W/K of lean solvent)
TEAR_T_TOL = 1e-6
TEAR_N_TOL = 1e-10
MAX_PASSES = 30
DUTY_TOL = 1e-8  # relative, reboiler duty of run_at_duty


class LoopResult:
    """A solved, checked capture loop.

    ``capture_pct``, ``lean_loading``, ``rich_loading``, ``cyclic_capacity`` (the absorber's);
    ``srd`` [MJ/kg CO2] and its split ``srd_sensible``, ``srd_desorption``, ``srd_steam``,
    ``reboiler_duty``, ``condenser_duty``, ``reboiler_T`` (the stripper's); ``exchanger``
    (``ExchangerResult``), ``cooler_duty`` [W, removed by the trim cooler],
    ``intercooler_duties`` [W]; ``makeup`` ({"H2O", amine} [mol/s], negative: purged),
    ``co2_product`` [mol/s]; ``absorber``, ``stripper`` (the units' results); ``streams``
    ({name: (flows [mol/s], T [K])}); ``balance`` ({element: relative imbalance}),
    ``energy_balance`` (relative), ``passes`` (stripper runs), ``liquid_calls``, ``seconds``.
    """

    capture_pct: float
    lean_loading: float
    rich_loading: float
    cyclic_capacity: float
    srd: float
    srd_sensible: float
    srd_desorption: float
    srd_steam: float
    reboiler_duty: float
    condenser_duty: float
    reboiler_T: float
    exchanger: ExchangerResult
    cooler_duty: float
    intercooler_duties: list[float]
    makeup: dict[str, float]
    co2_product: float
    absorber: AbsorberResult
    stripper: StripperResult
    streams: dict[str, tuple[dict[str, float], float]]
    balance: dict[str, float]
    energy_balance: float
    passes: int
    liquid_calls: int
    seconds: float

    def to_frame(self) -> "pandas.DataFrame":
        """The stream table: one row a stream, its flows [mol/s] and T [K]."""
        import pandas as pd

        rows = {name: dict(flows, T=T) for name, (flows, T) in self.streams.items()}
        return pd.DataFrame.from_dict(rows, orient="index").fillna(0.0)

    def plot(self, path: str | None = None) -> Any:
        """Absorber and stripper profiles (T and loading) beside the SRD split; saved to
        ``path`` when given. Returns the figure."""
        a, s = self.absorber.profiles, self.stripper.profiles
        fig, ax = panels(3, figsize=(11, 4))
        ax[0].plot(a["T_L"] - 273.15, a["loading"], "o-", label="absorber (bottom to top)")
        ax[0].plot(s["T"] - 273.15, s["loading"], "s-", label="stripper stages")
        ax[0].set_xlabel("liquid T [°C]")
        ax[0].set_ylabel("loading [mol CO2/mol MEA]")
        ax[0].legend(fontsize=8)
        ax[1].plot(a["y_CO2"] * 100.0, a["z"])
        ax[1].set_xlabel("absorber y CO2 [%]")
        ax[1].set_ylabel("height [m]")
        parts = [self.srd_sensible, self.srd_desorption, self.srd_steam]
        ax[2].bar(["sensible", "desorption", "steam"], parts)
        ax[2].set_ylabel("MJ/kg CO2")
        fig.suptitle(
            f"capture {self.capture_pct:.1f} %, loading {self.lean_loading:.3f} -> "
            f"{self.rich_loading:.3f}, SRD {self.srd:.2f} MJ/kg"
        )
        return finish(fig, path)

    def __repr__(self) -> str:
        return (
            f"LoopResult: capture {self.capture_pct:.2f} %, loading {self.lean_loading:.4f} -> "
            f"{self.rich_loading:.4f}, SRD {self.srd:.3f} MJ/kg (sensible "
            f"{self.srd_sensible:.2f}, desorption {self.srd_desorption:.2f}, steam "
            f"{self.srd_steam:.2f}), exchanger {self.exchanger.duty / 1e3:.1f} kW, make-up "
            f"water {self.makeup['H2O']:.4g} mol/s; {self.passes} stripper runs, "
            f"{self.liquid_calls} liquid states, {self.seconds:.2f} s"
        )


class CaptureLoop:
    """``CaptureLoop(absorber, stripper, exchanger=None)`` (an exchanger of 10 K approach when
    none is given); ``run(gas, gas_T, lean, lean_T, P, stripper_P)`` -> ``LoopResult``: flue
    gas and lean solvent [mol/s] (``flue_gas``, ``lean_solvent``), T [K], the absorber's and
    the stripper's pressure [Pa]."""

    name = "capture loop"

    def __init__(
        self,
        absorber: Absorber | StageAbsorber,
        stripper: Stripper,
        exchanger: HeatExchanger | None = None,
    ) -> None:
        if stripper.system is not absorber.system:
            raise ValueError(f"{self.name}: the absorber and the stripper need the same System")
        self.absorber, self.stripper = absorber, stripper
        self.exchanger = exchanger if exchanger is not None else HeatExchanger(absorber.system)
        self.system = absorber.system
        self.names = self.exchanger.names  # CO2, H2O, the amine
        self.amine = self.names[2]
        self._strip_calls = 0

    @warns_at_caller()
    def run(
        self,
        gas: Mapping[str, float],
        gas_T: float,
        lean: Mapping[str, float],
        lean_T: float,
        P: float,
        stripper_P: float,
        start: LoopResult | None = None,
    ) -> LoopResult:
        """``start``: a loop of these units whose absorber and stripper solutions their
        Newton iterations start from (a warm start, for a nearby operating point)."""
        t0 = time.perf_counter()
        other = [c for c, v in lean.items() if c not in self.names and v != 0.0]
        if other:  # an amine of another chemistry would be dropped without a word
            raise ValueError(
                f"{self.name}: the lean solvent holds {', '.join(other)}, not a liquid "
                f"component of {self.system.name} ({', '.join(self.names)})"
            )
        lean = {c: float(lean.get(c, 0.0)) for c in self.names}
        ab = self.absorber.run(
            gas, gas_T, lean, lean_T, P, start=None if start is None else start.absorber
        )
        rich, T_rich = ab.liquid_out, ab.rich_T
        # first pass: the stripper on the cold rich feed gives the tear's start
        self._strip_calls = 0
        st = self._strip(
            rich,
            T_rich,
            stripper_P,
            lean,
            rich[self.amine],
            None if start is None else start.stripper,
        )
        z = [st.reboiler_T, st.lean_out[self.amine]]
        prev: tuple[float, float] | None = None
        passes, ex, dT, dN = 1, None, math.inf, math.inf
        hx_calls = self.exchanger.th.calls
        for _ in range(MAX_PASSES):
            # the exchanger's hot side: the latest stripper lean at the tear's T
            ex = self._exchange(st.lean_out, z[0], rich, T_rich)
            st = self._strip(rich, ex.cold_out_T, stripper_P, lean, z[1], st)
            passes += 1
            g = [st.reboiler_T, st.lean_out[self.amine]]
            dT, dN = abs(g[0] - z[0]), abs(g[1] - z[1]) / z[1]
            if dT <= TEAR_T_TOL and dN <= TEAR_N_TOL:
                z = g
                break
            # the amine settles in one pass; the T is accelerated once the amine no longer
            # moves it (a secant slope across the amine's first step would be its, not the T's)
            z, prev = [_wegstein(z[0], g[0], prev), g[1]], (z[0], g[0]) if dN < 1e-6 else None
        else:
            raise ConvergenceError(
                f"{self.name}: the lean solvent (tear) did not converge in {MAX_PASSES} "
                f"stripper runs: reboiler T moved {dT:.3g} K, lean amine {dN:.3g} (relative)",
                residual=max(dT, dN),
                tried=("successive substitution", "Wegstein"),
            )
        assert ex is not None
        r = self._result(ab, ex, st, gas, lean, lean_T, P, stripper_P, passes)
        # liquid states: the absorber's, every stripper run's and the exchanger's (its cache
        # lives with the exchanger, so only this run's new states)
        r.liquid_calls = ab.liquid_calls + self._strip_calls + self.exchanger.th.calls - hx_calls
        r.seconds = time.perf_counter() - t0
        return r

    @warns_at_caller()
    def run_at_duty(
        self,
        gas: Mapping[str, float],
        gas_T: float,
        lean: Mapping[str, float],
        lean_T: float,
        P: float,
        stripper_P: float,
        reboiler_duty: float,
        bounds: tuple[float, float] = (0.1, 0.35),
    ) -> LoopResult:
        """The loop at a given reboiler duty [W]: the lean loading found (within ``bounds``)
        by the Illinois variant of regula falsi on the loop's duty, the lean solvent's water
        and amine flows those of ``lean``; ``passes``, ``liquid_calls`` and ``seconds`` summed
        over the loops run. ``ConvergenceError`` when the duty lies outside the bounds'
        duties or the search does not settle."""
        Q = float(reboiler_duty)
        base = {c: float(lean.get(c, 0.0)) for c in self.names}
        runs: list[LoopResult] = []

        def f(ll):
            r = self.run(gas, gas_T, dict(base, CO2=ll * base[self.amine]), lean_T, P, stripper_P)
            runs.append(r)
            return (r.reboiler_duty - Q) / Q, r

        a, b = bounds
        fa, ra = f(a)
        fb, rb = f(b)
        if fa * fb > 0.0:
            raise ConvergenceError(
                f"{self.name}: the reboiler duty {Q / 1e3:.4g} kW is outside "
                f"{rb.reboiler_duty / 1e3:.4g}-{ra.reboiler_duty / 1e3:.4g} kW, the duties at "
                f"lean loadings {a:g}-{b:g}",
                residual=min(abs(fa), abs(fb)),
            )
        for _ in range(40):
            c = b - fb * (b - a) / (fb - fa)
            fc, rc = f(c)
            if abs(fc) <= DUTY_TOL or abs(b - a) <= 1e-12:
                rc.passes = sum(r.passes for r in runs)
                rc.seconds = sum(r.seconds for r in runs)
                rc.liquid_calls = sum(r.liquid_calls for r in runs)
                return rc
            if fc * fb < 0.0:
                a, fa = b, fb
            else:
                fa *= 0.5  # Illinois: halve the value of the end kept
            b, fb = c, fc
        raise ConvergenceError(
            f"{self.name}: no lean loading found for the reboiler duty {Q / 1e3:.4g} kW "
            f"(last {b:.6g}, duty off by {abs(fb):.3g} relative)",
            residual=abs(fb),
            tried=("Illinois regula falsi",),
        )

    def _strip(self, rich, feed_T, P, lean, mea_s, start=None):
        """A stripper run to the loading that returns the absorber's lean CO2 with the amine
        mea_s (warm-started from the stripper result ``start``)."""
        try:
            st = self.stripper.run(rich, feed_T, P, lean["CO2"] / mea_s, start=start)
            self._strip_calls += st.liquid_calls
            return st
        except ConvergenceError as e:
            raise ConvergenceError(
                f"{self.name}: {e} (rich feed at {feed_T:.2f} K)",
                residual=e.residual,
                tried=e.tried,
            ) from e

    def _exchange(self, hot, hot_T, cold, cold_T):
        try:  # without its area: the result's exchanger is checked again, with it, at the end
            return self.exchanger._run(hot, hot_T, cold, cold_T, False)
        except ConvergenceError as e:
            raise ConvergenceError(f"{self.name}: {e}", residual=e.residual) from e

    def _result(self, ab, ex, st, gas, lean, lean_T, P, stripper_P, passes) -> LoopResult:
        sysm, th = self.system, self.exchanger.th
        lean_s, T_reb = st.lean_out, st.reboiler_T
        # the exchanger again, with the converged stripper lean on its hot side
        ex = self.exchanger.check(
            lean_s, T_reb, ex.hot_out_T, ab.liquid_out, ab.rich_T, ex.cold_out_T
        )
        makeup = {c: lean[c] - lean_s[c] for c in ("H2O", self.amine)}

        def h_liq(flows, T):  # fresh states, not the units' caches
            return sysm.liquid(T, dict(flows)).H * sum(flows.values())

        def h_gas(flows, T, Pg):
            tot = sum(flows.values())
            return tot * th.vapor_h(T, {c: v / tot for c, v in flows.items()}, Pg)

        h_lean_cooled = h_liq(lean_s, lean_T)
        h_makeup = h_liq(lean, lean_T) - h_lean_cooled
        cooler = h_liq(lean_s, ex.hot_out_T) - h_lean_cooled
        terms_in = [h_gas(gas, ab.gas_in_T, P), h_makeup, st.reboiler_duty]
        terms_out = [
            h_gas(ab.gas_out, ab.gas_out_T, P),
            h_gas(st.product, self.stripper.condenser_T, stripper_P),
            st.condenser_duty,
            sum(ab.intercooler_duties),
            cooler,
        ]
        scale = sum(abs(t) for t in terms_in + terms_out) / 2.0
        energy = abs(sum(terms_in) - sum(terms_out)) / scale
        mu = dict(makeup, CO2=0.0)
        balance = element_balance([dict(gas), mu], [ab.gas_out, st.product])
        worst = max(balance.values())
        if worst > BALANCE_TOL or energy > ENERGY_TOL:
            what = (
                f"element balance {max(balance, key=lambda e: balance[e])} off by {worst:.3g}"
                if worst > BALANCE_TOL
                else f"energy balance off by {energy:.3g}"
            )
            raise ConvergenceError(f"{self.name}: {what} (relative)", residual=max(worst, energy))
        r = LoopResult()
        r.absorber, r.stripper, r.exchanger = ab, st, ex
        r.capture_pct, r.lean_loading = ab.capture_pct, ab.lean_loading
        r.rich_loading, r.cyclic_capacity = ab.rich_loading, ab.cyclic_capacity
        r.srd, r.srd_sensible = st.srd, st.srd_sensible
        r.srd_desorption, r.srd_steam = st.srd_desorption, st.srd_steam
        r.reboiler_duty, r.condenser_duty, r.reboiler_T = (
            st.reboiler_duty,
            st.condenser_duty,
            T_reb,
        )
        r.cooler_duty, r.intercooler_duties = float(cooler), list(ab.intercooler_duties)
        r.makeup, r.co2_product = makeup, st.co2_product
        r.streams = {
            "flue gas": (dict(gas), ab.gas_in_T),
            "treated gas": (dict(ab.gas_out), ab.gas_out_T),
            "lean to absorber": (dict(lean), lean_T),
            "rich from absorber": (dict(ab.liquid_out), ab.rich_T),
            "rich to stripper": (dict(ab.liquid_out), ex.cold_out_T),
            "lean from stripper": (dict(lean_s), T_reb),
            "lean to cooler": (dict(lean_s), ex.hot_out_T),
            "CO2 product": (dict(st.product), self.stripper.condenser_T),
            "make-up": (dict(makeup), lean_T),
        }
        r.balance, r.energy_balance, r.passes = balance, float(energy), passes
        return r


def _wegstein(x, g, prev, qmin=-2.0, qmax=0.0):
    """Wegstein's step x_new = q x + (1 - q) g(x), q = s/(s - 1) from the secant slope s of g
    over the last two passes ``prev`` = (x, g(x)), bounded to [qmin, qmax]; plain substitution
    without a previous pass."""
    if prev is None or x == prev[0]:
        return g
    s = (g - prev[1]) / (x - prev[0])
    q = min(max(s / (s - 1.0) if s != 1.0 else qmin, qmin), qmax)
    return q * x + (1.0 - q) * g


def gas_mass(gas: Mapping[str, float]) -> float:
    """Mass flow [kg/s] of a gas [mol/s]."""
    return sum(n * pr.MW[c] for c, n in gas.items())
