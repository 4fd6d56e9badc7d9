"""Rate-based packed absorber for CO2 capture by aqueous MEA.

The column is cut into segments along the height; each segment holds the gas and the liquid
that leave it (mixed cells, counter-current: gas up, liquid down), exchanging CO2, water and
amine across a two-film interface and heat between the phases:

- CO2: N = a_e A dz (y P - p*) / (1/k_G + H/(E k_L)), p* the partial pressure of CO2 over the
  bulk liquid (velmora's speciated liquid, ``System.liquid``) and H the physical solubility of
  CO2 by the N2O analogy (``properties.co2_henry``; the electrolyte model's own p*/[CO2] is
  fitted to p*, not to the free CO2, and lies several times below it in loaded MEA). E is the
  enhancement factor bounded by the instantaneous-reaction limit
  (``properties.enhancement_factor``: the explicit form IDAES uses, a variation of Gaspar
  & Fosbol 2015): E = 1 + (E1 - 1)/(E1 (R+ + R- + 2)/(E* - 1) + 1), E1 = Ha/tanh(Ha) the
  pseudo-first-order factor, Ha = sqrt(k2 [MEA] D_CO2)/k_L, E* - 1 = D_MEA [MEA]/(2 D_CO2
  [CO2]) and R_j = D_MEA [MEA]/(2 D_j [j]) for the products MEAH+ and MEACOO-, [CO2] the
  physically dissolved CO2 over the bulk (p*/H), the others the bulk liquid's true
  concentrations (the speciation's). Where the amine is free and
  the bulk holds little CO2 (the lean end) E is E1; towards the rich end, as the free amine
  falls and the CO2 rises, it falls to the instantaneous limit 1 + (E* - 1)/(R+ + R- + 2).
- water and amine: gas-film controlled, N = a_e A dz k_G (y P - p*), p* from the same liquid.
- heat: h a_e A dz (T_G - T_L), h by the Chilton-Colburn analogy from k_G of CO2 (as IDAES).
- energy: every stream carries velmora's enthalpy (liquid: ``LiquidState.H``, formation basis;
  gas: the package's vapor enthalpy); the transferred moles carry their vapor enthalpy into the
  liquid, so the heat of absorption is what the liquid's enthalpy says, at its loading and T.

Intercoolers cool the liquid between beds back to a given T. The segment equations (8 per
segment) are evaluated over all segments at once (numpy) and solved together by Newton's
method: the Jacobian is banded (the segments couple only to their neighbours, through the
liquid from above and the gas from below), assembled from each segment's own terms
differenced in all segments together, their liquids to first order from the exact liquid
states' exact derivatives. Meshes of 2, 8, 32, ... segments per bed are solved in turn, from a
guess or, when that fails, by continuation in the transfer area. Every answer is checked:
element balances of the whole column (1e-8 relative) and its energy balance (1e-6 relative to
the enthalpy flow in) recomputed from fresh liquid states; else ``ConvergenceError``.
"""

import math
import time
import warnings
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

import numpy as np

from ..checks import warns_at_caller
from ..errors import ConvergenceError
from . import properties as pr
from ._figures import finish, panels

if TYPE_CHECKING:
    import pandas

LIQ = ("CO2", "H2O", "MEA")  # apparent liquid components, in the variable order
NV = 8  # per segment: L_CO2, L_H2O, L_MEA, T_L, G_CO2, G_H2O, G_MEA, T_G
NEWTON_TOL = 1e-10  # largest scaled segment residual of a solution
COARSE_TOL = 1e-2  # the same on the coarser meshes that only give a start
BALANCE_TOL = 1e-8
CHORD = 0.1  # a step that cuts the largest residual this much keeps its Jacobian
ENERGY_TOL = 1e-6
TERMS = ("q", "Hl", "Hg", "carried")  # a segment's own scalar terms (``_Column.local``)
IONS = ("MEAH+", "MEACOO-")  # the carbamate reaction's products (the enhancement factor's)


def _pressure(P: float) -> None:
    """A column's pressure as the flashes check theirs: a RangeWarning below 1 kPa (in bar or
    kPa?) and above 1 MPa, where the ideal-gas vapor and the pressure-independent liquid are
    extrapolated (a gas-treating absorber)."""
    from .. import checks

    checks.pressure(P, stacklevel=4)


def amine_of(system: Any, rate_based: bool = True, flue_gas: bool = True) -> str:
    """The amine of a capture system (its one component that is neither water, CO2 nor a gas).
    The rate-based absorber has CO2 kinetics for MEA only; equilibrium stages take any amine
    of the databank. ``flue_gas``: the system must hold N2 (the absorbers' inert gas)."""
    amines = [c for c in system.components if c not in ("H2O", "CO2") and c not in system.gases]
    if "CO2" not in system.components or len(amines) != 1:
        raise ValueError(
            f"{system.name}: a capture system holds CO2, water and one amine "
            "(chemistry MEA-CO2-H2O or MDEA-CO2-H2O)"
        )
    if rate_based and amines != ["MEA"]:
        raise ValueError(
            f"{system.name}: the rate-based capture columns have CO2 kinetics for "
            "MEA only (chemistry MEA-CO2-H2O); StageAbsorber takes any amine"
        )
    if flue_gas and "N2" not in system.components:
        raise ValueError(
            f"{system.name}: flue gas needs N2 (and O2) as gases: "
            f"System('{system.name}', gases=['N2', 'O2'])"
        )
    return amines[0]


class _Linear:
    """A liquid state near an exact one, to first order: partial pressures, true amounts and
    H from the exact state and its exact derivatives (``LiquidState.jacobian``)."""

    __slots__ = ("partial_pressures", "amounts", "H")

    def __init__(self, st: Any, d: np.ndarray) -> None:
        jac = st.jacobian()
        A = jac.arrays
        dp = A["partial_pressures"] @ d
        self.partial_pressures = {
            c: v + dp[k]
            for k, (c, v) in enumerate(zip(jac.volatile, st.partial_pressures.values()))
        }
        da = A["amounts"] @ d
        self.amounts = {s: st.amounts[s] + da[k] for k, s in enumerate(jac.species)}
        self.H = st.H + float(A["H"] @ d)

    def _speciation(self) -> tuple[np.ndarray, dict[str, float]]:
        """(true amounts in the species' order, partial pressures), as a state's."""
        return np.fromiter(self.amounts.values(), float), self.partial_pressures


class Thermo:
    """velmora's thermodynamics for the columns, counted and cached per exact state: liquid
    states (partial pressures, speciation, enthalpy) and vapor enthalpies.

    ``linearized(at)``: while a column's Jacobian is assembled, the liquids of the
    perturbed profiles are taken to first order from the exact states at the profiles (their
    exact derivatives), so that the Jacobian holds the engine's derivatives of the
    thermodynamics and differences only of the transport correlations, and costs one Jacobian
    per state instead of a solve per perturbation."""

    def __init__(
        self,
        system: Any,
        rate_based: bool = True,
        flue_gas: bool = True,
        ranges_once: bool = False,
    ) -> None:
        self.amine = amine_of(system, rate_based, flue_gas)
        self.names = ("CO2", "H2O", self.amine)  # the order of the flows
        self.system = system
        self.comps = list(system.components)
        self.calls = 0
        # ranges_once: the liquids skip the front door's naming and range warnings (the same
        # states), which ``warn_ranges`` gives once for all of them at the end of a run
        self._slots = [self.names.index(c) if c in self.names else -1 for c in self.comps]
        self._ran: list[tuple[float, ...]] | None = (
            [] if ranges_once and set(self.names) <= set(self.comps) else None
        )
        self._liq: dict[tuple[float, ...], Any] = {}
        self._vap: dict[tuple[float, ...], float] = {}
        self._seen: set[tuple[float, ...]] | None = None
        self._anchors: list[tuple[tuple[float, ...], Any]] | None = None
        self._poly: Any = None  # the ideal-gas enthalpies as polynomials, when they are

    @property
    def linearizing(self) -> bool:
        return self._anchors is not None

    @property
    def recording(self) -> bool:
        return self._seen is not None

    @contextmanager
    def linearized(self, at: Callable[[], Any]) -> Iterator[None]:
        """Within: the liquids not computed by ``at()`` (the residual at the profiles) are
        first-order expansions about the nearest of those it computed."""
        self._seen = set()
        try:
            at()
            keys = self._seen
        finally:
            self._seen = None
        self._anchors = [(k, self._liq[k]) for k in keys if k in self._liq]
        try:
            yield
        finally:
            self._anchors = None

    def _near(self, key: tuple[float, ...]) -> Any:
        """The first-order liquid at key about its anchor, None where none is within 1e-3 of
        each flow and 0.1 K (the steps of a differenced Jacobian are 1e-6-1e-4 and 1e-4-0.01 K)."""
        best, dist = None, math.inf
        for k, st in self._anchors or ():
            dT = abs(key[3] - k[3])
            if dT > 0.1:
                continue
            far = max(abs(key[i] - k[i]) / max(abs(k[i]), 1e-8) for i in range(3))
            if far <= 1e-3 and far + dT < dist:
                best, dist = (k, st), far + dT
        if best is None:
            return None
        k, st = best
        step = {"T": key[3] - k[3], "CO2": key[0] - k[0], "H2O": key[1] - k[1]}
        step[self.amine] = key[2] - k[2]
        # the Jacobian's columns: T and every component of the system (the gases at 0)
        return _Linear(st, np.array([step.get(w, 0.0) for w in st.jacobian().wrt]))

    def liquid(self, flows: Any, T: float) -> Any:
        """The LiquidState of apparent flows (CO2, H2O, amine) [mol/s] at T, cached."""
        key = (float(flows[0]), float(flows[1]), float(flows[2]), float(T))
        st = self._liq.get(key)
        if st is None and self._anchors is not None:
            near = self._near(key)
            if near is not None:
                return near
        if st is None:
            if len(self._liq) > 20000:
                self._liq.clear()
            self.calls += 1
            ran = self._ran
            if ran is not None and all(0.0 < f < math.inf for f in key[:3]):
                ran.append(key)
                app = {c: key[i] if i >= 0 else 0.0 for c, i in zip(self.comps, self._slots)}
                st = self.system._column_liquid(key[3], app)
            else:
                st = self.system.liquid(T, dict(zip(self.names, key[:3])))
            self._liq[key] = st
        if self._seen is not None:
            self._seen.add(key)
        return st

    def warn_ranges(self, stacklevel: int = 2) -> None:
        """The front door's RangeWarnings (``checks.range_warnings``) of the liquids computed
        without them, each message once; the liquids after it take the front door (a solved
        column's thermodynamics used later, as by ``velmora.capture.optimum``)."""
        from ..checks import range_warnings

        ran, self._ran = self._ran, None
        said: dict[tuple[str, type[Warning]], None] = {}  # in the order first said

        def collect(message: str, category: type[Warning], **_: Any) -> None:
            said.setdefault((message, category))

        for key in ran or ():
            range_warnings(self.system, key[3], dict(zip(self.names, key[:3])), warn=collect)
        for message, category in said:
            warnings.warn(message, category, stacklevel=stacklevel + 1)

    def liquid_enthalpy(self, flows: Any, T: float) -> float:
        """Enthalpy flow [W] of the liquid."""
        return self.liquid(flows, T).H * (flows[0] + flows[1] + flows[2])

    def vapor_h(self, T: float, y: Mapping[str, float], P: float) -> float:
        """Molar enthalpy [J/mol] of the vapor y at T, P (the package's vapor model, as a
        flash's vapor)."""
        from velmora import phasekit

        key = (T, P) + tuple(y.get(c, 0.0) for c in self.comps)
        h = self._vap.get(key)
        if h is None:
            if len(self._vap) > 50000:
                self._vap.clear()
            h = self._vap[key] = phasekit.enthalpy_vapor(self.system.pp, T, key[2:], P) / 1000.0
        return h

    def vapor_hs(self, T: np.ndarray, *Y: np.ndarray, P: float) -> list[np.ndarray]:
        """Molar enthalpies [J/mol] of the vapors of each Y (rows: mole fractions in the order
        of the system's components) at the temperatures T [K] (one per row), P [Pa]:
        ``vapor_h`` over arrays, the ideal-gas part evaluated once for all."""
        from velmora import phasekit

        pp = self.system.pp
        T = np.asarray(T, dtype=float)
        if self._poly is None:
            kinds = pp.cpig_kind
            kinds = [kinds] * len(pp.DHFORM) if isinstance(kinds, str) else list(kinds)
            if all(k == "poly" for k in kinds):
                m = max(len(c) for c in pp.cpig)
                C = np.zeros((m, len(kinds)))  # dh = sum_j c_j/(j+1) (T^(j+1) - Tref^(j+1))
                for k, c in enumerate(pp.cpig):
                    C[: len(c), k] = [float(ck) / (j + 1) for j, ck in enumerate(c)]
                pw = phasekit.T_REF ** np.arange(1, m + 1)
                self._poly = (C, pw, np.asarray(pp.DHFORM, dtype=float) - pw @ C)
            else:
                self._poly = False
        if self._poly:
            C, pw, h0 = self._poly
            Tp = np.cumprod(np.repeat(T[:, None], C.shape[0], axis=1), axis=1)  # T^(j+1)
            H = h0 + Tp @ C  # J/kmol of each component
        else:
            H = np.array([phasekit._k_h_ig(t, pp.cpig_kind, pp.cpig, pp.DHFORM)[0] for t in T])
        out = []
        for y in Y:
            h = np.einsum("ij,ij->i", y, H)
            if pp.vapor != "ideal":
                h = h + [phasekit._vapor_departure(pp, t, yi, P)[0] for t, yi in zip(T, y)]
            out.append(h / 1000.0)
        return out

    def water_pressure(self, T: float) -> float:
        """Vapor pressure of water [Pa] at T (velmora's pure water)."""
        return self.system.liquid(T, {"H2O": 1.0}).partial_pressures["H2O"]


# ------------------------------------------------------------------------------- inputs


def flue_gas(
    system: Any, flow_kg_h: float, T: float, P: float, co2_dry: float, o2_dry: float = 0.0
) -> dict[str, float]:
    """Flue gas [mol/s] of ``flow_kg_h`` (wet) saturated with water at T [K] and P [Pa]:
    dry mole fractions CO2 and O2, the rest N2; water at its vapor pressure over pure water
    (velmora's)."""
    th = Thermo(system, rate_based=False)
    y_w = th.water_pressure(T) / P
    if not 0.0 < y_w < 0.5:
        raise ValueError(f"flue gas at {T:g} K and {P:g} Pa: water would be {y_w:.3g} of it")
    dry = {"CO2": co2_dry, "O2": o2_dry, "N2": 1.0 - co2_dry - o2_dry}
    if min(dry.values()) < 0.0:
        raise ValueError(f"flue gas: dry CO2 {co2_dry} and O2 {o2_dry} exceed 1")
    y = {c: v * (1.0 - y_w) for c, v in dry.items()}
    y["H2O"] = y_w
    m = sum(y[c] * pr.MW[c] for c in y)  # kg/mol
    n = flow_kg_h / 3600.0 / m
    return {c: n * v for c, v in y.items() if v > 0.0 or c in ("CO2", "N2")}


def lean_solvent(
    flow_kg_h: float, mea_wfrac: float, loading: float, amine: str = "MEA"
) -> dict[str, float]:
    """Lean solvent [mol/s] of ``flow_kg_h`` (CO2 included), the amine's mass fraction on the
    CO2-free basis and loading [mol CO2/mol amine]; ``amine``: MEA, or another amine of the
    databank (MDEA)."""
    if not 0.0 < mea_wfrac < 1.0 or loading < 0.0 or flow_kg_h <= 0.0:
        raise ValueError(
            f"lean solvent: flow {flow_kg_h} kg/h, {amine} mass fraction {mea_wfrac}, "
            f"loading {loading}"
        )
    if amine not in pr.MW:
        raise ValueError(f"lean solvent: no molar mass for the amine {amine!r}")
    mea = mea_wfrac / pr.MW[amine]  # per kg of CO2-free solvent
    h2o = (1.0 - mea_wfrac) / pr.MW["H2O"]
    co2 = loading * mea
    f = flow_kg_h / 3600.0 / (1.0 + co2 * pr.MW["CO2"])
    return {"CO2": co2 * f, "H2O": h2o * f, amine: mea * f}


# ------------------------------------------------------------------------------- result


class AbsorberResult:
    """A solved, checked absorber.

    ``capture_pct`` (CO2 removed from the gas, %), ``lean_loading``, ``rich_loading`` and
    ``cyclic_capacity`` [mol CO2/mol MEA], ``gas_out`` / ``liquid_out`` [mol/s],
    ``gas_out_T`` / ``rich_T`` [K], ``flooding_fraction`` (largest over the height),
    ``intercooler_duties`` [W, heat removed], ``amine_loss`` [mol/s MEA in the gas out],
    ``profiles`` ({name: array over the segments, bottom to top}: ``z`` [m], ``T_L``, ``T_G``
    [K], ``loading``, ``y_CO2``, ``y_H2O``, ``N_CO2`` [mol/s per segment], ``flooding``),
    ``balance`` ({element: relative imbalance}), ``energy_balance`` (relative), ``iterations``,
    ``liquid_calls`` (velmora liquid states computed), ``seconds``.
    """

    capture_pct: float
    lean_loading: float
    rich_loading: float
    cyclic_capacity: float
    gas_in: dict[str, float]
    gas_out: dict[str, float]
    liquid_in: dict[str, float]
    liquid_out: dict[str, float]
    gas_in_T: float
    gas_out_T: float
    lean_T: float
    rich_T: float
    flooding_fraction: float
    intercooler_duties: list[float]
    amine_loss: float
    profiles: dict[str, np.ndarray]
    balance: dict[str, float]
    energy_balance: float
    iterations: int
    liquid_calls: int
    seconds: float
    _column: Any = None
    _x: Any = None

    def to_frame(self) -> "pandas.DataFrame":
        """The profiles as a pandas DataFrame (index: height z [m] of the segment centres)."""
        import pandas as pd

        cols = {k: v for k, v in self.profiles.items() if k != "z"}
        return pd.DataFrame(cols, index=pd.Index(self.profiles["z"], name="z [m]"))

    def plot(self, path: str | None = None) -> Any:
        """Profiles of T, loading and y_CO2 over the height (matplotlib, without pyplot); saved
        to ``path`` when given. Returns the figure."""
        p = self.profiles
        fig, ax = panels(3, figsize=(10, 4), sharey=True)
        ax[0].plot(p["T_L"] - 273.15, p["z"], label="liquid")
        ax[0].plot(p["T_G"] - 273.15, p["z"], "--", label="gas")
        ax[0].set_xlabel("T [°C]")
        ax[0].set_ylabel("height [m]")
        ax[0].legend()
        ax[1].plot(p["loading"], p["z"])
        ax[1].set_xlabel("loading [mol CO2/mol MEA]")
        ax[2].plot(p["y_CO2"] * 100.0, p["z"])
        ax[2].set_xlabel("y CO2 [%]")
        fig.suptitle(f"absorber: capture {self.capture_pct:.1f} %")
        return finish(fig, path)

    def __repr__(self) -> str:
        return (
            f"AbsorberResult: capture {self.capture_pct:.2f} %, loading {self.lean_loading:.4f}"
            f" -> {self.rich_loading:.4f}, gas out {self.gas_out_T:.2f} K, rich "
            f"{self.rich_T:.2f} K, flooding {self.flooding_fraction:.2f}; {self.iterations} "
            f"Newton iterations, {self.liquid_calls} liquid states, {self.seconds:.2f} s"
        )


# ------------------------------------------------------------------------------- column


class Absorber:
    """A packed absorber: ``diameter`` [m], ``beds`` (heights [m], top bed first: the lean
    solvent enters above it), ``packing`` (a name of ``velmora.capture.PACKINGS`` or a
    ``Packing``), ``intercoolers`` (how many of the bed boundaries, from the top, have an
    intercooler), ``intercooler_T`` [K] (the liquid leaves each intercooler at it; default: the
    lean solvent's T), ``segments`` per bed.

    ``run(gas, gas_T, liquid, liquid_T, P)`` -> ``AbsorberResult``: gas and liquid in [mol/s]
    ({component: flow}; see ``flue_gas`` and ``lean_solvent``), T [K], P [Pa] (uniform).
    """

    name = "absorber"

    def __init__(
        self,
        system: Any,
        diameter: float,
        beds: Sequence[float],
        packing: str | pr.Packing = "MellapakPlus 252Y",
        intercoolers: int = 0,
        intercooler_T: float | None = None,
        segments: int = 8,
    ) -> None:
        self.system = system
        amine_of(system)
        beds = [float(b) for b in beds]
        if diameter <= 0.0 or not beds or min(beds) < 0.0:
            raise ValueError(f"absorber: diameter {diameter} m and bed heights {beds} m")
        if not 0 <= intercoolers <= len(beds) - 1:
            raise ValueError(
                f"absorber: {intercoolers} intercoolers for {len(beds)} beds (at "
                f"most {len(beds) - 1}, between beds)"
            )
        if segments < 1:
            raise ValueError("absorber: at least one segment per bed")
        self.diameter, self.beds, self.intercoolers = float(diameter), beds, int(intercoolers)
        self.intercooler_T = intercooler_T
        self.packing = pr.packing(packing)
        self.segments = int(segments)

    @property
    def area(self) -> float:
        return math.pi * self.diameter**2 / 4.0

    @warns_at_caller(once=True)
    def run(
        self,
        gas: Mapping[str, float],
        gas_T: float,
        liquid: Mapping[str, float],
        liquid_T: float,
        P: float,
        start: "AbsorberResult | None" = None,
    ) -> AbsorberResult:
        """``start``: a result of this column (same segments) whose profiles Newton's method
        starts from (a warm start, for runs close to it); when that fails, or without it, the
        meshes of 2, 8, 32, ... segments per bed (up to ``segments``) are solved in turn."""
        _pressure(P)
        t0 = time.perf_counter()
        th = Thermo(self.system, ranges_once=True)
        try:
            return self._run(th, gas, gas_T, liquid, liquid_T, P, start, t0)
        finally:
            th.warn_ranges(stacklevel=2)

    def _run(
        self,
        th: Thermo,
        gas: Mapping[str, float],
        gas_T: float,
        liquid: Mapping[str, float],
        liquid_T: float,
        P: float,
        start: "AbsorberResult | None",
        t0: float,
    ) -> AbsorberResult:
        x, its, prev = None, 0, None
        x_start = getattr(start, "_x", None)
        if x_start is not None:
            col = _Column(self, gas, gas_T, liquid, liquid_T, P, self.segments, th)
            if x_start.size == col.N * NV:
                # the change of the lean solvent carried down the column with it
                v = col.unpack(x_start.copy())
                v[:, 0:3] += col.l_in - start._column.l_in  # type: ignore[union-attr]
                if col.feasible(v.ravel()):
                    try:
                        x, its, err = col.newton(v.ravel(), NEWTON_TOL)
                    except (ConvergenceError, ValueError, ArithmeticError):
                        its, err = 0, math.inf
                    if err < NEWTON_TOL:
                        return self._done(col, x, its, t0)
        # mesh sequencing: each mesh starts from the profiles of the coarser one
        for n in _meshes(self.segments):
            col = _Column(self, gas, gas_T, liquid, liquid_T, P, n, th)
            x0 = col.guess() if prev is None else col.interpolate(prev, x)
            x, k = col.solve(x0, NEWTON_TOL if n == self.segments else COARSE_TOL)
            its, prev = its + k, col
        return self._done(col, x, its, t0)

    def _done(self, col, x, its, t0):
        res = col.result(x, its)
        # the solved equations, for warm starts and sensitivities (velmora.capture.optimum)
        res._column, res._x = col, x
        res.seconds = time.perf_counter() - t0
        return res


class GasSide:
    """The gas of a column: mole fractions and enthalpy flow of the flows g (CO2, water,
    amine [mol/s]) with the column's ``inert_flows`` {gas: mol/s}; needs ``names``, ``th``
    and ``P``."""

    names: tuple[str, ...]
    inert_flows: dict[str, float]
    th: Thermo
    P: float

    def gas_y(self, g: Any) -> tuple[dict[str, float], float]:
        tot = float(g[0] + g[1] + g[2]) + sum(self.inert_flows.values())
        y = {c: g[i] / tot for i, c in enumerate(self.names)}
        for c, v in self.inert_flows.items():
            y[c] = v / tot
        return y, tot

    def gas_enthalpy(self, g: Any, T: float) -> float:
        y, tot = self.gas_y(g)
        return tot * self.th.vapor_h(T, y, self.P)


class _Column(GasSide):
    """The segment equations of one absorber run and their solution."""

    _spc: list[int] | None = None  # positions of CO2, water, MEA, MEAH+, MEACOO- (species)
    _axes: Any = None  # liquid_slopes' rows and columns of a liquid's Jacobian

    def __init__(self, ab: Absorber, gas, gas_T, liquid, liquid_T, P, nseg, th):
        self.th, self.names = th, LIQ
        self.ab, self.P = ab, float(P)
        for c in gas:
            if c not in th.comps:
                raise ValueError(f"gas component {c!r} is not a component of {ab.system.name}")
        self.inerts = [c for c in gas if c not in LIQ and gas[c] > 0.0]
        self.g_in = np.array([gas.get(c, 0.0) for c in LIQ], dtype=float)
        self.inert_flows = {c: float(gas[c]) for c in self.inerts}
        self.Tg_in = float(gas_T)
        self.l_in = np.array([liquid.get(c, 0.0) for c in LIQ], dtype=float)
        if min(self.l_in[1:]) <= 0.0 or self.l_in[0] < 0.0 or min(self.g_in) < 0.0:
            raise ValueError(f"absorber: liquid {dict(liquid)} needs water and MEA; gas {gas}")
        if not self.g_in[0] > 0.0:  # the capture is a fraction of the CO2 that comes in
            raise ValueError(f"absorber: the gas needs CO2 (gas {dict(gas)})")
        self.Tl_in = float(liquid_T)
        self.T_ic = float(ab.intercooler_T if ab.intercooler_T is not None else liquid_T)
        dz: list[float] = []
        self.cooled: set[int] = set()  # segments whose liquid comes in through an intercooler
        for b, h in enumerate(reversed(ab.beds)):  # bottom bed first
            if b > 0 and len(ab.beds) - b <= ab.intercoolers:
                self.cooled.add(len(dz) - 1)
            dz += [h / nseg] * nseg
        self.N = len(dz)
        self.dz = np.array(dz)  # m, bottom segment first
        self.S = float(self.g_in.sum() + sum(self.inert_flows.values()))
        self.SE = self.S * 1e3
        self.scale = 1.0  # transfer area factor (continuation)
        self.ranges = pr.Ranges()
        self.inert_total = sum(self.inert_flows.values())
        self._props: dict[tuple[float, ...], tuple[float, ...]] = {}
        self._pures: dict[int, list[np.ndarray]] = {}
        self._slopes: dict[tuple[float, ...], tuple[np.ndarray, np.ndarray]] = {}
        self.H_lean = th.liquid_enthalpy(self.l_in, self.Tl_in)
        self.H_gas_in = self.gas_enthalpy(self.g_in, self.Tg_in)

    # -- the liquids: velmora's states -----------------------------------------------------
    def liquid_thermo(self, v):
        """(partial pressures of CO2, water, MEA [Pa], true amounts of CO2, water, MEA [mol/s],
        molar enthalpy [J/mol], true amounts of MEAH+, MEACOO- [mol/s]) of the segments'
        liquids, an N x 9 array (cached per state)."""
        out = np.empty((self.N, 9))
        th, props = self.th, self._props
        for j in range(self.N):
            liq, T = v[j, 0:3], v[j, 3]
            key = (float(liq[0]), float(liq[1]), float(liq[2]), float(T))
            row = props.get(key)
            if row is not None:
                if th.recording:
                    th.liquid(liq, T)  # an anchor of the linearized liquids
            else:
                row = self._row(th.liquid(liq, T))
                if not th.linearizing:  # a first-order liquid is not kept beside the exact ones
                    if len(props) > 20000:
                        props.clear()
                    props[key] = row
            out[j] = row
        return out

    def _row(self, st):
        """liquid_thermo's row of a state, from its raw speciation (its named mappings are not
        made: the same values)."""
        if self._spc is None:
            names = self.th.system._info.names
            self._spc = [names.index(c) for c in LIQ + IONS]
        n, f = st._speciation()
        pc, pw, pa = (float(f[c]) for c in LIQ)
        spc = self._spc
        return (pc, pw, pa, *(float(n[i]) for i in spc[:3]), st.H, *(float(n[i]) for i in spc[3:]))

    def liquid_slopes(self, liq, T):
        """(liquid_thermo's row, its derivatives wrt the flows of CO2, water, MEA and T: 9 x 4)
        of the exact liquid, from its exact derivatives (``LiquidState.jacobian``)."""
        key = (float(liq[0]), float(liq[1]), float(liq[2]), float(T))
        got = self._slopes.get(key)
        if got is None:
            st = self.th.liquid(liq, T)
            jac = st.jacobian()
            A = jac.arrays
            if self._axes is None:  # the Jacobian's axes are the system's: looked up once
                wrt = [jac.wrt.index(c) for c in LIQ] + [jac.wrt.index("T")]
                vol = [jac.volatile.index(c) for c in LIQ]
                spc = [jac.species.index(c) for c in LIQ]
                ions = [jac.species.index(c) for c in IONS]
                self._axes = (np.ix_(vol, wrt), np.ix_(spc, wrt), wrt, np.ix_(ions, wrt))
            pv, sw, wrt, iw = self._axes
            D = np.empty((9, 4))
            D[0:3] = A["partial_pressures"][pv]
            D[3:6] = A["amounts"][sw]
            D[6] = A["H"][wrt]
            D[7:9] = A["amounts"][iw]
            if len(self._slopes) > 20000:
                self._slopes.clear()
            row = self._props.get(key)  # liquid_thermo's row of this state, where it made it
            got = self._slopes[key] = (np.array(row if row is not None else self._row(st)), D)
        return got

    # -- segment equations -----------------------------------------------------------------
    def local(self, v, L):
        """Each segment's own terms from its unknowns v (N x 8, or k N x 8: k copies of the
        column one below the other) and its liquid L (rows of ``liquid_thermo``), all rows at
        once: {"n": transfer of CO2, water, MEA [mol/s, gas -> liquid; a row each], "q": heat
        [W, gas -> liquid], "Hl", "Hg": enthalpy flows of the liquid and the gas [W],
        "carried": vapor enthalpy of n [W], "flood": flooding fraction, "y": gas mole
        fractions}."""
        pk, A, P, rng, th = self.ab.packing, self.ab.area, self.P, self.ranges, self.th
        l0, l1, l2, Tl = v[:, 0], v[:, 1], v[:, 2], v[:, 3]
        g, Tg = v[:, 4:7], v[:, 7]
        # the liquid's transport properties
        mass = l0 * pr.MW["CO2"] + l1 * pr.MW["H2O"] + l2 * pr.MW["MEA"]
        rho = pr.liquid_density(Tl, l0, l1, l2, rng)
        q_l = mass / rho  # m^3/s
        mea_pct = 100.0 * l2 * pr.MW["MEA"] / (l2 * pr.MW["MEA"] + l1 * pr.MW["H2O"])
        mu = pr.liquid_viscosity(Tl, mea_pct, l0 / l2, rng)
        sigma = pr.surface_tension(Tl, l0, l1, l2, rng)
        D = pr.co2_diffusivity(Tl, mu, rng)
        c_h2o, c_mea = L[:, 4] / q_l, L[:, 5] / q_l
        d_mea = pr.mea_diffusivity(Tl, l2 / q_l, rng)  # Snijder's C: the amine in solution
        # the gas
        tot = g[:, 0] + g[:, 1] + g[:, 2] + self.inert_total
        y = {c: g[:, i] / tot for i, c in enumerate(LIQ)}
        for c, f in self.inert_flows.items():
            y[c] = f / tot
        mg = sum(y[c] * pr.MW[c] for c in y)
        rho_v = P * mg / (pr.R * Tg)
        u_v = tot * mg / (rho_v * A)
        u_l = q_l / A
        mu_v = pr.gas_viscosity(Tg, y)
        hl = pr.holdup(pk, u_l, mu, rho)
        ae = pr.interfacial_area(pk, u_l, rho, sigma)
        kl = pr.k_liquid(pk, u_l, D, hl)
        dc = pr.gas_diffusivity(Tg, P, y, "CO2")
        dw = pr.gas_diffusivity(Tg, P, y, "H2O")
        kg_c = pr.k_gas(pk, Tg, hl, dc, mu_v, rho_v, u_v)
        kg_w = pr.k_gas(pk, Tg, hl, dw, mu_v, rho_v, u_v)
        k2 = pr.rate_constant(Tl, c_mea, c_h2o, rng)
        ha = np.sqrt(np.maximum(k2 * c_mea, 0.0) * D) / kl
        pc, pw, pa = L[:, 0], L[:, 1], L[:, 2]
        henry = pr.co2_henry(Tl, 0.01 * mea_pct)
        d_ion = pr.ion_diffusivity(Tl, mu)
        e = pr.enhancement_factor(
            ha, pc / henry, c_mea, L[:, 7] / q_l, L[:, 8] / q_l, D, d_mea, d_ion
        )
        m = v.shape[0]  # rows: segments of the copies
        dz = self.dz if m == self.N else np.tile(self.dz, m // self.N)
        area = self.scale * ae * A * dz
        n = np.empty((m, 3))
        n[:, 0] = area * (y["CO2"] * P - pc) / (1.0 / kg_c + henry / (e * kl))
        n[:, 1] = area * kg_w * (y["H2O"] * P - pw)
        n[:, 2] = area * kg_c * (y["MEA"] * P - pa)
        # enthalpies: the gas, the vapor of what is transferred, cp by a 1 K difference
        Y = np.zeros((m, len(th.comps)))
        for c, yc in y.items():
            Y[:, th.comps.index(c)] = yc
        Y3 = np.vstack([Y, Y, Y])
        hs = th.vapor_hs(np.concatenate([Tg, Tg + 0.5, Tg - 0.5]), Y3, *self._pure(m), P=P)
        hg, hp, hm = hs[0][:m], hs[0][m : 2 * m], hs[0][2 * m :]
        h_c, h_w, h_a = hs[1][:m], hs[2][:m], hs[3][:m]
        # Chilton-Colburn: h^3 = (k_G P)^3 k_V^2 cp / (rho_mol D)^2 (IDAES MEA column)
        kv = pr.gas_conductivity(Tg, y)
        h = ((kg_c * P) ** 3 * kv**2 * (hp - hm) / (P / (pr.R * Tg) * dc) ** 2) ** (1.0 / 3.0)
        return {
            "n": n,
            "q": area * h * (Tg - Tl),
            "Hl": L[:, 6] * (l0 + l1 + l2),
            "Hg": tot * hg,
            "carried": n[:, 0] * h_c + n[:, 1] * h_w + n[:, 2] * h_a,
            "flood": pr.flooding_fraction(pk, u_v, rho_v, rho, mu, mass / (tot * mg)),
            "y": y,
        }

    def _pure(self, m):
        """The pure vapors of CO2, water and MEA: 3 m rows of mole fractions each."""
        got = self._pures.get(m)
        if got is None:
            got = self._pures[m] = [np.zeros((3 * m, len(self.th.comps))) for _ in LIQ]
            for y, c in zip(got, LIQ):
                y[:, self.th.comps.index(c)] = 1.0
        return got

    def unpack(self, x):
        return x.reshape(self.N, NV)

    def residual(self, x, detail=False):
        v = self.unpack(x)
        loc = self.local(v, self.liquid_thermo(v))
        n, q, Hl, Hg, carried = loc["n"], loc["q"], loc["Hl"], loc["Hg"], loc["carried"]
        l_up = np.vstack([v[1:, 0:3], self.l_in])  # the liquid entering each segment
        Hl_up = np.append(Hl[1:], self.H_lean)
        for j in self.cooled:
            Hl_up[j] = self.th.liquid_enthalpy(v[j + 1, 0:3], self.T_ic)
        g_below = np.vstack([self.g_in, v[:-1, 4:7]])  # the gas entering each segment
        Hg_below = np.append(self.H_gas_in, Hg[:-1])
        F = np.empty((self.N, NV))
        F[:, 0:3] = (v[:, 0:3] - l_up - n) / self.S
        F[:, 3] = (Hl - Hl_up - carried - q) / self.SE
        F[:, 4:7] = (v[:, 4:7] - g_below + n) / self.S
        F[:, 7] = (Hg - Hg_below + carried + q) / self.SE
        return (F.ravel(), loc) if detail else F.ravel()

    def jacobian(self, x, F=None):
        """dF/dx at x (``F``, the residual there, is not needed: Newton's call): each
        segment's own terms differenced (forward, ``steps``) in all the segments at once with
        its liquid to first order about the exact state (the liquids' exact derivatives); the
        balances couple a segment to the liquid above and the gas below linearly."""
        N, S, SE = self.N, self.S, self.SE
        v = self.unpack(x)
        h = self.steps(x).reshape(N, NV)
        slopes = [self.liquid_slopes(v[j, 0:3], v[j, 3]) for j in range(N)]
        L0 = np.array([s[0] for s in slopes])
        dL = np.array([s[1] for s in slopes])  # N x 7 x 4
        # the column at x and its eight perturbed copies (unknown k of every segment moved
        # by its step, the liquid to first order), in one evaluation
        V = np.tile(v, (NV + 1, 1))
        Ls = np.tile(L0, (NV + 1, 1))
        for k in range(NV):
            rows = slice((k + 1) * N, (k + 2) * N)
            V[rows, k] += h[:, k]
            if k < 4:
                Ls[rows] += dL[:, :, k] * h[:, k, None]
        loc = self.local(V, Ls)
        # per unknown k (first axis) and segment: the derivatives of the segments' own terms
        hk = h.T  # NV x N
        dq, dHl, dHg, dc = (
            (X[1:] - X[0]) / hk for X in (loc[key].reshape(NV + 1, N) for key in TERMS)
        )
        Xn = loc["n"].reshape(NV + 1, N, 3)
        dn = ((Xn[1:] - Xn[0]) / hk[:, :, None]).transpose(1, 2, 0)  # N x 3 x NV
        E = np.eye(NV)
        B = np.empty((N, NV, NV))  # each segment's own block: rows its equations, columns k
        B[:, 0:3] = (E[0:3] - dn) / S
        B[:, 4:7] = (E[4:7] + dn) / S
        B[:, 3] = ((dHl - dc - dq) / SE).T
        B[:, 7] = ((dHg + dc + dq) / SE).T
        J = np.zeros((x.size, x.size))
        J4 = J.reshape(N, NV, N, NV)  # [segment, equation, segment, unknown]: a view of J
        seg = np.arange(N)
        J4[seg, :, seg, :] = B
        up, ks = seg[:-1, None], np.arange(3)  # a segment (and the one above it, up + 1)
        J4[up, ks, up + 1, ks] = -1.0 / S  # the liquid from above
        J4[up + 1, ks + 4, up, ks + 4] = -1.0 / S  # the gas from below
        J4[seg[:-1], 3, seg[1:], 0:4] = -dHl[0:4, 1:].T / SE
        J4[seg[1:], 7, seg[:-1], 4:8] = -dHg[4:8, :-1].T / SE
        for j in self.cooled:  # the liquid from above comes through the intercooler
            # its enthalpy flow at T_ic, the molar H to first order, differenced as above
            L, dLc = self.liquid_slopes(v[j + 1, 0:3], self.T_ic)
            tot = v[j + 1, 0:3].sum()
            for k in range(3):
                hk = h[j + 1, k]
                H1 = (L[6] + dLc[6, k] * hk) * (tot + hk)
                J[NV * j + 3, NV * (j + 1) + k] = -(H1 - L[6] * tot) / hk / SE
            J[NV * j + 3, NV * (j + 1) + 3] = 0.0  # not the liquid's own T
        return J

    def steps(self, x):
        """Finite-difference steps of the variables: 1e-6 of a flow, 1e-4 K."""
        v = self.unpack(x)
        h = 1e-6 * np.maximum(np.abs(v), 1e-6 * self.S)
        h[:, [3, 7]] = 1e-4
        return h.ravel()

    def feasible(self, x):
        v = self.unpack(x)
        return (
            np.all(v[:, 0:3] > 0.0)
            and np.all(v[:, 3] > 273.0)
            and np.all(v[:, 3] < 420.0)
            and np.all(v[:, 7] > 273.0)
            and np.all(v[:, 7] < 420.0)
            and np.all(v[:, 4] > -1e-3 * self.S)
            and np.all(v[:, 1] > 0.0)
        )

    def guess(self):
        """Profiles to start from: a share of the CO2 the liquid can take (up to a loading of
        0.45) absorbed evenly along the height, no water or amine exchanged, both phases at
        the mean inlet T."""
        cap = max(0.45 * self.l_in[2] - self.l_in[0], 0.05 * self.l_in[2])
        total = min(0.8 * self.g_in[0], 0.8 * cap)
        v = np.zeros((self.N, NV))
        T = 0.5 * (self.Tl_in + self.Tg_in)
        for j in range(self.N):
            v[j, 0:3] = self.l_in + [total * (self.N - j) / self.N, 0.0, 0.0]
            v[j, 4:7] = self.g_in - [total * (j + 1) / self.N, 0.0, 0.0]
            v[j, 3] = v[j, 7] = T
        return v.ravel()

    def newton(self, x, tol):
        return newton(
            self.residual, x, self.N, NV, self.steps, self.feasible, (3, 7), tol, jac=self.jacobian
        )

    def interpolate(self, coarse, xc):
        """Profiles of a coarser mesh carried over to this one: the gas flows and both
        temperatures linear in the height of the segments' tops, the liquid flows from the
        balances over the segments above."""
        zc, z = np.cumsum(coarse.dz), np.cumsum(self.dz)
        vc = coarse.unpack(xc)
        v = np.zeros((self.N, NV))
        for k in (3, 4, 5, 6, 7):
            start = vc[0, k] if k in (3, 7) else self.g_in[k - 4]
            v[:, k] = np.interp(z, np.concatenate([[0.0], zc]), np.concatenate([[start], vc[:, k]]))
        below = np.vstack([self.g_in, v[:-1, 4:7]])  # gas entering each segment
        v[:, 0:3] = self.l_in + below - v[-1, 4:7]
        return v.ravel()

    def solve(self, x0, tol):
        x, its, err = self.newton(x0, tol)
        total = its
        if err >= tol:
            # continuation in the transfer area: from a column that barely transfers
            x = x0
            for s in (0.02, 0.1, 0.3, 0.6, 1.0):
                self.scale = s
                x, its, err = self.newton(x, tol)
                total += its
                if err >= tol:
                    break
        if err >= tol:
            F = self.residual(x)
            j = int(np.argmax(np.abs(F))) // NV
            raise ConvergenceError(
                f"absorber: the segment equations did not converge (segment {j + 1} of "
                f"{self.N} from the bottom, scaled residual {err:.3g}, transfer scale "
                f"{self.scale:g})",
                residual=err,
                tried=("Newton", "continuation in area"),
            )
        return x, total

    # -- the checked answer ----------------------------------------------------------------
    def result(self, x, its):
        v = self.unpack(x)
        F, loc = self.residual(x, detail=True)
        th = self.th
        g_out, Tg_out = v[-1, 4:7], v[-1, 7]
        l_out, Tl_out = v[0, 0:3], v[0, 3]
        # cooler duties and the balances, from fresh liquid states
        duties = []
        for j in sorted(self.cooled):
            l_up, T_up = v[j + 1, 0:3], v[j + 1, 3]
            fresh = self.ab.system.liquid(T_up, dict(zip(LIQ, l_up))).H * l_up.sum()
            cooled = self.ab.system.liquid(self.T_ic, dict(zip(LIQ, l_up))).H * l_up.sum()
            duties.append(fresh - cooled)
        h_rich = self.ab.system.liquid(Tl_out, dict(zip(LIQ, l_out))).H * l_out.sum()
        h_lean = self.ab.system.liquid(self.Tl_in, dict(zip(LIQ, self.l_in))).H * self.l_in.sum()
        e_in = h_lean + self.H_gas_in
        e_out = h_rich + self.gas_enthalpy(g_out, Tg_out) + sum(duties)
        energy = abs(e_in - e_out) / (abs(h_lean) + abs(self.H_gas_in))
        gin = dict(zip(LIQ, self.g_in.tolist()), **self.inert_flows)
        gout = dict(zip(LIQ, g_out.tolist()), **self.inert_flows)
        lin, lout = dict(zip(LIQ, self.l_in.tolist())), dict(zip(LIQ, l_out.tolist()))
        balance = element_balance([gin, lin], [gout, lout])
        worst = max(balance.values())
        if worst > BALANCE_TOL or energy > ENERGY_TOL:
            j = int(np.argmax(np.abs(F))) // NV
            what = (
                f"element balance {max(balance, key=lambda e: balance[e])} off by {worst:.3g}"
                if worst > BALANCE_TOL
                else f"energy balance off by {energy:.3g}"
            )
            raise ConvergenceError(
                f"absorber: {what} (relative); largest segment residual "
                f"in segment {j + 1} of {self.N} from the bottom",
                residual=max(worst, energy),
            )
        r = AbsorberResult()
        r.gas_in, r.gas_out, r.liquid_in, r.liquid_out = gin, gout, lin, lout
        r.gas_in_T, r.gas_out_T, r.lean_T, r.rich_T = (
            self.Tg_in,
            float(Tg_out),
            self.Tl_in,
            float(Tl_out),
        )
        r.capture_pct = 100.0 * (1.0 - g_out[0] / self.g_in[0])
        r.lean_loading = float(self.l_in[0] / self.l_in[2])
        r.rich_loading = float(l_out[0] / l_out[2])
        r.cyclic_capacity = r.rich_loading - r.lean_loading
        r.intercooler_duties = duties
        r.amine_loss = float(g_out[2])
        z = np.cumsum(self.dz) - 0.5 * self.dz
        r.profiles = {
            "z": z,
            "T_L": v[:, 3].copy(),
            "T_G": v[:, 7].copy(),
            "loading": v[:, 0] / v[:, 2],
            "y_CO2": loc["y"]["CO2"].copy(),
            "y_H2O": loc["y"]["H2O"].copy(),
            "N_CO2": loc["n"][:, 0].copy(),
            "flooding": np.asarray(loc["flood"], dtype=float).copy(),
        }
        r.flooding_fraction = float(np.max(r.profiles["flooding"]))
        # above its flooding velocity the gas holds the liquid up: the packing's hold-up, area
        # and transfer correlations no longer describe the column (a RangeWarning, as the
        # other correlations' ranges; the pilot's own runs reach 1.2 by this correlation)
        self.ranges.check(
            "packing correlations (below flooding)", "flooding fraction", r.profiles["flooding"],
            0.0, 1.0,
        )  # fmt: skip
        r.balance, r.energy_balance = balance, float(energy)
        r.iterations, r.liquid_calls = its, th.calls
        self.ranges.warn("absorber", stacklevel=5)
        return r


ONE_STAGE_IT = 100  # Newton steps of a one-stage column (a column of stages: 40)
SEQUENCED_IT = 200  # and of a column started from its one-stage column's answer


def solve_stages(col: Any, nv: int, start: Any, name: str, where: str, P: float) -> Any:
    """(x, iterations) of Newton's method on the stage column ``col`` (``newton``,
    ``guess``, ``feasible``, ``residual``, ``n`` stages of ``nv`` unknowns), from ``start``'s
    solution (a result of the same column: a warm start) and else from its guess;
    ConvergenceError naming ``name`` and the stage, counted from the ``where``."""
    x_start, x, its, err = getattr(start, "_x", None), col.guess(), 0, math.inf
    tried = ["Newton"]
    if x_start is not None and x_start.size == col.n * nv and col.feasible(x_start):
        x, its, err = col.newton(x_start)
    fewer = getattr(col, "with_stages", None)
    if err >= NEWTON_TOL:
        # (one stage: its 4 x 4 steps are cheap, and one crawled 49 steps to its answer)
        x, k, err = col.newton(col.guess(), ONE_STAGE_IT) if col.n == 1 else col.newton(col.guess())
        its += k
    one = fewer(1) if fewer is not None and err >= NEWTON_TOL and col.n > 1 else None
    if one is not None:
        # stage sequencing: a long MEA column whose rich end pinches (a loaded lean solvent at
        # a large L/G, or a small L/G under a rich gas) crawls from the guess along the edge
        # where a stage's liquid would boil; the one-stage column solves from its guess, and
        # its stage, repeated over the n, starts them (capture fuzz seeds 453-463: 8 of 8).
        # From there the profile may take many short steps to settle: a warm solvent under a
        # cold gas at L/G 0.5 saturates all but its top stages, 138 steps for 15 stages
        tried.append("from the one-stage column")
        x1, k, err1 = one.newton(one.guess(), ONE_STAGE_IT)
        its += k
        if err1 < NEWTON_TOL:
            x, k, err = col.newton(np.tile(x1, col.n), SEQUENCED_IT)
            its += k
    if err >= NEWTON_TOL:
        F = col.residual(x) if col.feasible(x) else np.full(x.size, math.inf)
        j = int(np.argmax(np.abs(F))) // nv
        raise ConvergenceError(
            f"{name}: the stage equations did not converge (stage {j + 1} of {col.n} from "
            f"the {where}, scaled residual {err:.3g})",
            P=P,
            residual=err,
            tried=tuple(tried),
        )
    return x, its


def newton(fun, x, n, nv, steps, feasible, temps, tol, maxit=40, thermo=None, jac=None):
    """(x, iterations, largest |F|) of Newton's method on F = fun(x) = 0 for n blocks of nv
    unknowns, block j coupled to blocks j - 1 and j + 1 only: the Jacobian ``jac(x, F)``, or
    by finite differences in three colours (blocks j, j + 3, ... perturbed together), with the
    liquids' exact derivatives where ``thermo`` (the column's ``Thermo``) is given; a banded
    solve, steps cut to 15 K in the temperatures ``temps`` of a block and halved until
    feasible (``feasible(x)``) and |F| falls. Once a step has cut the largest |F| tenfold
    (``CHORD``: Newton's fast end), the next step keeps the Jacobian (a chord step);
    a kept Jacobian whose full step does not lower |F| is worked out anew there."""

    def jacobian(x, F):
        if jac is not None:
            return jac(x, F)
        if thermo is None:
            return banded_jacobian(fun, x, n, nv, steps(x), F)
        with thermo.linearized(lambda x=x: fun(x)):
            return banded_jacobian(fun, x, n, nv, steps(x), F)

    F = fun(x)
    err = float(np.max(np.abs(F)))
    J, kept, it = None, False, 0
    # past maxit only while each step still cuts |F| tenfold (kept): such a run ends within
    # log10(|F| / tol) steps; a 5-stage MEA absorber reached 1.34e-10 at its 40th step from
    # 3.9e-9 and was refused though its 41st step met the tolerance (capture fuzz seed 337)
    while it < maxit or kept:
        if err < tol:
            return x, it, err
        if J is None:
            J, kept = jacobian(x, F), False
        try:
            dx = _solve_banded(J, -F, 2 * nv - 1)
        except (np.linalg.LinAlgError, ValueError):
            return x, it + 1, math.inf
        t = 1.0
        dT = float(np.max(np.abs(dx.reshape(n, nv)[:, list(temps)])))
        if dT > 15.0:
            t = 15.0 / dT
        norm0 = float(np.linalg.norm(F))
        for _ in range(1 if kept else 12):
            xn = x + t * dx
            if feasible(xn):
                try:
                    Fn = fun(xn)
                except (ConvergenceError, ValueError, ArithmeticError):
                    Fn = None
                if (
                    Fn is not None
                    and np.all(np.isfinite(Fn))
                    and (np.linalg.norm(Fn) < (1.0 - 1e-4 * t) * norm0 or np.max(np.abs(Fn)) < tol)
                ):
                    break
            t *= 0.5
        else:
            if kept:  # the kept Jacobian no longer points the way: a new one here
                J = None
                continue
            return x, it + 1, err
        it += 1
        err_n = float(np.max(np.abs(Fn)))
        kept = err_n < CHORD * err or err_n < tol
        if not kept:
            J = None
        x, F, err = xn, Fn, err_n
    return x, it, err


def banded_jacobian(fun, x, n, nv, h, F=None):
    """dF/dx of F = fun(x) for n blocks of nv unknowns, block j coupled to blocks j - 1 and
    j + 1 only, by differences in three colours (blocks j, j + 3, ... perturbed together):
    forward from F = fun(x) when F is given (Newton's), else central (steps h, an array)."""
    J = np.zeros((x.size, x.size))
    for k in range(nv):
        for c in range(3):
            blocks = range(c, n, 3)
            idx = [nv * j + k for j in blocks]
            xp = x.copy()
            xp[idx] += h[idx]
            Fp = fun(xp)
            if F is None:
                xm = x.copy()
                xm[idx] -= h[idx]
                dF, den = Fp - fun(xm), 2.0 * h
            else:
                dF, den = Fp - F, h
            for j in blocks:
                lo, hi = nv * max(j - 1, 0), nv * min(j + 2, n)
                J[lo:hi, nv * j + k] = dF[lo:hi] / den[nv * j + k]
    return J


def _solve_banded(J, b, w):
    """J^-1 b for J of lower and upper bandwidth w (the segments couple to neighbours only):
    LAPACK's banded LU (gbsv, as scipy's solve_banded calls it) on J's band, gathered at once.
    ValueError where J or b is not finite, LinAlgError where J is singular."""
    n = J.shape[0]
    w = min(w, n - 1)
    inside, rows, cols = _band(n, w)
    ab = np.zeros((3 * w + 1, n))  # gbsv's layout: w rows above the band for the LU's fill
    ab[w:][inside] = J[rows, cols]
    b = np.asarray(b, dtype=float)
    if not (np.isfinite(ab).all() and np.isfinite(b).all()):
        raise ValueError("array must not contain infs or NaNs")
    from scipy.linalg.lapack import dgbsv

    _, _, x, info = dgbsv(w, w, ab, b, overwrite_ab=True)
    if info > 0:
        raise np.linalg.LinAlgError("singular matrix")
    if info < 0:
        raise ValueError(f"illegal value in argument {-info} of gbsv")
    return x


def _band(n, w):
    """(mask, rows i, columns j) of J's band in the layout of a banded solve, entry
    (w + i - j, j) holding J[i, j]: the mask of the entries inside J, their i and j (made once
    per size)."""
    got = _BANDS.get((n, w))
    if got is None:
        i = np.arange(-w, w + 1)[:, None] + np.arange(n)[None, :]  # i = j + row - w
        j = np.broadcast_to(np.arange(n), i.shape)
        inside = (i >= 0) & (i < n)
        got = _BANDS[(n, w)] = (inside, i[inside], j[inside])
    return got


_BANDS: dict[tuple[int, int], tuple[Any, Any, Any]] = {}


def _meshes(n):
    """Segments per bed of the meshes solved in turn: 2 (1 where n is 1), then four times
    finer up to n (the profiles of 2 segments a bed start the finer meshes well; 1 segment a
    bed does not, and each mesh between costs more than it saves)."""
    out = [min(2, n)]
    while out[-1] < n:
        out.append(min(4 * out[-1], n))
    return out


def element_balance(
    ins: Sequence[Mapping[str, float]], outs: Sequence[Mapping[str, float]]
) -> dict[str, float]:
    """{element: |in - out| / in} over streams of apparent components [mol/s]."""

    def count(streams):
        tot: dict[str, float] = {}
        for s in streams:
            for c, n in s.items():
                for e, k in pr.ELEMENTS[c].items():
                    tot[e] = tot.get(e, 0.0) + k * n
        return tot

    a, b = count(ins), count(outs)
    return {e: abs(a[e] - b.get(e, 0.0)) / a[e] for e in a if a[e] > 0.0}
