"""Brine paths: a brine evaporated, two brines mixed, a brine followed along a (T, P) profile.

Each point of a path is the liquid with the salts that precipitate, as
``System.liquid(..., solids=True)`` gives it, or, on a profile where that liquid would boil at
the given pressure, the vapor-liquid-solid flash. A point is found from the one before (its
set of solids, its liquid: ``_Walk``) and checked as the front door checks every solid-liquid
answer; where the set of solids changes, it is the front door's own answer. A path gathers the
points into a named result with ``to_frame()`` (pandas) and ``plot()`` (matplotlib).

Brines are apparent amounts {component: amount} in any one unit (``System.composition`` turns
molalities or mass fractions into them), or an ion analysis turned into them by ``brine``,
which refuses an analysis that is not charge-balanced unless the caller names the ion to
balance on: nothing is adjusted unasked.

Units: T [K], P [Pa], amounts and solids in the unit of the brine given (``brine``: mol, with
1 kg of water), molalities [mol/kg of water], TDS [g of dissolved salts per kg of liquid].
"""

import math
import threading
import warnings
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from . import checks
from .brinequil import _WarmStart
from .errors import ConvergenceError, NoSolutionError, RangeWarning, solve_failed
from .ids import databank_id
from .solids.data import ABSENT
from .solids.liquid import water_short
from .states import LiquidState

if TYPE_CHECKING:
    import pandas
    from matplotlib.figure import Figure

LN10 = math.log(10.0)
# |sum of z m| below this share of the charge carried (cations + anions) is rounding, not an
# imbalance
CHARGE_TOL = 1e-9
# a removal fraction at which a solid appears or dissolves is found to this (Brent's method);
# the index moves by about 2 / ln 10 / (1 - removed) per unit of removal, so to ~1e-8 here
EVENT_XTOL = 1e-9
EVENT_SI = 1e-6  # |SI| of a solid at the fraction found for it
EVENT_SPLIT = 1e-6  # narrowest interval halved to part two solids that come or go in it
LOCAL_STEPS = 4  # sets tried from a neighbour's before the active-set method from cold
SUBSTEPS = (4, 16)  # intermediate feeds tried, then more, before the active-set method from cold
TRACE_MOLALITY = 1e-9  # mol/kg: an ion below it is absent from the brine (the speciation's
# floor for a salt not given is ~1e-11), not plotted


# ------------------------------------------------------------------------- brines from ions


@dataclass(frozen=True)
class Brine:
    """A brine from an ion analysis (``brine``): ``amounts`` the apparent amounts [mol, with
    1 kg of water], ``molalities`` the analysis as used [mol/kg of water], ``adjusted``
    {ion: mol/kg added} where the caller asked to balance the charge on that ion."""

    amounts: dict[str, float]
    molalities: dict[str, float]
    adjusted: dict[str, float] = field(default_factory=dict)


def brine(system: Any, molalities: Mapping[str, float], balance: str | None = None) -> Brine:
    """A ``Brine`` from an analysis {ion or component: mol/kg of water} (ions as "Na+",
    "SO4--"; the system's components, e.g. CO2, also allowed).

    An analysis whose charges do not cancel (|sum z m| above CHARGE_TOL of the charge carried)
    is refused with the imbalance in eq/kg and the ions, unless ``balance`` names the ion whose
    molality takes it up; that change is kept in ``Brine.adjusted``. An analysis that the
    system's apparent components cannot carry (CaSO4-NaCl-H2O with more sodium than chloride)
    is refused too."""
    info = system._info
    given = _analysis(system, molalities)
    ions = {s: m for s, m in given.items() if s in info.pos and info.ion[info.pos[s]]}
    z = {s: float(info.z[info.pos[s]]) for s in ions}
    cations = math.fsum(z[s] * m for s, m in ions.items() if z[s] > 0.0)
    anions = math.fsum(-z[s] * m for s, m in ions.items() if z[s] < 0.0)
    excess = cations - anions
    adjusted = {}
    if balance is not None:
        ion = _ion(system, balance)
        zb = float(info.z[info.pos[ion]])
        delta = -excess / zb
        new = given.get(ion, 0.0) + delta
        if new < 0.0:
            side = "cations" if excess > 0.0 else "anions"
            raise ValueError(
                f"balancing on {ion} would make its molality negative "
                f"({new:.6g} mol/kg): the analysis has {abs(excess):.6g} eq/kg more "
                f"{side} than {'anions' if side == 'cations' else 'cations'}; "
                f"balance on {'an anion' if side == 'cations' else 'a cation'}"
            )
        given[ion] = new
        adjusted[ion] = delta
    elif abs(excess) > CHARGE_TOL * (cations + anions):
        listed = ", ".join(f"{s} {m:.6g}" for s, m in ions.items())
        major = max(ions, key=lambda s: abs(z[s]) * ions[s])  # carries the most charge
        raise ValueError(
            f"the brine is not charge-balanced: {excess:+.6g} eq/kg (cations "
            f"{cations:.6g}, anions {anions:.6g} eq/kg; {listed} mol/kg); correct "
            "the analysis or name the ion that takes up the difference, e.g. "
            f'balance="{major}"'
        )
    amounts = _components_of(system, given)
    # 1 kg of water, and the water the ions bring beyond their salts' (2 HCO3- = CO3-- + CO2 +
    # H2O: calcium bicarbonate is CaCO3, CO2 and that water)
    amounts["H2O"] = 1000.0 / info.mw["H2O"] + amounts.get("H2O", 0.0)
    return Brine(system.composition(amounts), given, adjusted)


def _analysis(system, molalities):
    """{species or component id: mol/kg} of an analysis, checked."""
    if not hasattr(molalities, "items"):
        raise TypeError(
            f"molalities: give a mapping {{ion or component: mol/kg}}, not "
            f"{type(molalities).__name__} {molalities!r}"
        )
    out = {}
    for key, v in molalities.items():
        sid = _species_or_component(system, key)
        if sid == "H2O":
            raise ValueError("molalities are per kg of water: leave H2O out")
        if sid in out:
            raise ValueError(f"{sid} is given twice")
        m = checks.number(v, f"molality of {sid}")
        if m < 0.0:
            raise ValueError(f"molality of {sid} is negative ({m:g})")
        out[sid] = m
    return out


def _species_or_component(system, key):
    from velmora.enginebridge import databank as db

    hit = system._info.upper_components.get(str(key).strip().upper())
    if hit is not None:
        return hit
    try:
        sid = databank_id(key, db)
    except ValueError:
        sid = None
    if sid is not None and sid in system._info.pos and system._info.ion[system._info.pos[sid]]:
        return sid
    raise ValueError(
        f"unknown ion or component {key!r}; ions of {system.name}: "
        f"{', '.join(_ions(system))}; components: {', '.join(system.components)}"
    )


def _ions(system):
    info = system._info
    return [s for i, s in enumerate(info.names) if info.ion[i]]


def _ion(system, name):
    """The id of the ion ``name`` of the system (for ``balance``)."""
    try:
        sid = _species_or_component(system, name)
    except ValueError:
        sid = None
    if sid is None or sid in system.components:
        raise ValueError(
            f"balance={name!r} is not an ion of {system.name}; its ions: {', '.join(_ions(system))}"
        )
    return sid


def _components_of(system, given):
    """{component: mol} carrying the same reaction invariants (elements and charge) as the
    analysis ``given`` {ion or component: mol}: a non-negative combination where there is one."""
    from scipy.optimize import nnls

    info, ss = system._info, system.solids
    n = np.zeros(len(info.names))
    extra = np.zeros(len(system.components))
    for s, m in given.items():
        if s in system.components:
            extra[system.components.index(s)] = m
        else:
            n[info.pos[s]] = m
    target = info.B @ n
    tol = 1e-9 * max(1.0, float(np.max(np.abs(target))))
    c = nnls(ss.comp_b, target)[0]
    if np.max(np.abs(ss.comp_b @ c - target)) > tol:
        c = np.linalg.lstsq(ss.comp_b, target, rcond=None)[0]
    if np.max(np.abs(ss.comp_b @ c - target)) > tol:
        ions = ", ".join(s for s in given if s not in system.components)
        raise ValueError(
            f"the ions {ions} in these amounts cannot be made up of the components "
            f"of {system.name} ({', '.join(system.components)}); a chemistry with "
            "more components is needed"
        )
    c[np.abs(c) < 1e-15 * max(1.0, float(np.max(np.abs(c))))] = 0.0
    # a dissolved gas may come out negative (CO2 less than a carbonate's), and water (taken
    # from the kg of water), a salt may not
    short = [
        (comp, v)
        for comp, v in zip(system.components, c.tolist())
        if v < -tol and comp not in system.henry and comp != "H2O"
    ]
    if short:
        comp, v = short[0]
        raise ValueError(
            f"the analysis needs {v:.6g} mol/kg of {comp} among the components of "
            f"{system.name} ({', '.join(system.components)}): its salts cannot "
            "carry these ions; a chemistry with other salts is needed"
        )
    return dict(zip(system.components, (c + extra).tolist()))


# ------------------------------------------------------------------------- one path's points


@dataclass(eq=False)
class _Point:
    """One verified point, per mol of its feed: T, the feed z (component mole fractions),
    ``scale`` (the caller's amount of that feed), the liquid's true amounts n and ln gamma,
    the present solids (indices into System.solids) and their amounts s."""

    T: float
    z: np.ndarray
    scale: float
    n: np.ndarray
    lng: np.ndarray
    active: tuple[int, ...]
    s: np.ndarray


_NONE = np.zeros(0)


class _Walk:
    """The points of a path, each from the one before.

    A point is tried first from a neighbour already found (the set of solids it has, its
    liquid and solid amounts): the core's speciation from that liquid where it has no solids,
    else the compiled joint Newton of the speciation and those solids
    (``Electrolyte._solid_newton``), from the derivative of ln gamma its last solve of the
    same set and T left (``jacs``: no differences of the activity model where that holds).
    The answer is kept when it passes the checks the front door puts on every solid-liquid
    answer: the speciation's residual within the system's tolerance, every present solid at a
    positive amount and |SI| <= SI_TOL, every absent one at SI < 0, the element and charge
    balance of feed = liquid + solids. Otherwise, where the
    set of solids changes, the point is ``System.liquid(..., solids=True)`` (the active-set
    method from a cold start). ``solids=False``: the liquid as it is. ``warm``: the warm start
    of the walk's speciations (a _WarmStart, left where the last point's speciation left it;
    None: the walk's own)."""

    def __init__(self, system, solids=True, warm=None):
        from .solids import SI_TOL, SPECIATION_MAXIT

        self.warm = _WarmStart() if warm is None else warm
        self.system, self.solids = system, bool(solids)
        self.si_tol, self.maxit = SI_TOL, SPECIATION_MAXIT
        self.comps = list(system.components)
        self.n0_sum = system.solids.n0_of.sum(axis=0)  # dissociated species per component
        self.n_eq = len(system._info.nu)  # the speciation's reactions
        self.sets = {}
        self.jacs = {}  # (set of solids, T): the joint Newton's derivative, carried on
        self.over = self.under = None

    def point(self, T, feed, near=()):
        """The _Point of ``feed`` {component: amount} at T [K], tried from the points ``near``
        first. Raises what System.liquid raises where no answer is verified."""
        system = self.system
        x, a, b = checks.liquid(system, feed, whole=self.solids)
        checks.range_warnings(system, T, x, stacklevel=5)
        z = np.array([x[c] for c in self.comps])
        for p in near:
            got = self._near(T, x, z, p)
            if got is None and p.active:  # a step across changes of a set of solids
                got = self._substeps(T, z, p)
            if got is not None:
                got.scale = a * b
                return got
        state = _liquid(system, T, x, self.solids)
        info = system._info
        active = tuple(system.solids.index(k) for k in state.solids)
        self.warm.reset()  # (the front door's call has its own)
        return _Point(
            T,
            z,
            a * b,
            np.array([state.amounts[s] for s in info.names]),
            np.array([state.ln_gamma[s] for s in info.names]),
            active,
            np.array([state.solids[system.solids.names[k]] for k in active]),
        )

    def _near(self, T, x, z, p):
        """The point of the feed z from the neighbour p, or None: a few steps of the active-set
        method from the neighbour's set (a solid of the set's answer supersaturated joins, from
        none of it, within the phase rule; a solid whose amount came out negative leaves), each
        set from the last one's liquid."""
        for _ in range(LOCAL_STEPS):
            got = self._from(T, x, z, p)
            if got is not None:
                return got
            if self.over is not None and len(p.active) < len(self.comps) - 1:
                k, (n, lng) = self.over
                p = _Point(T, z, 1.0, n, lng, p.active + (k,), np.append(p.s, 0.0))
            elif self.under is not None:
                j, (n, lng, s) = self.under
                keep = [i for i in range(len(p.active)) if i != j]
                p = _Point(T, z, 1.0, n, lng, tuple(p.active[i] for i in keep), s[keep])
            else:
                return None
        return None

    def _substeps(self, T, z, p):
        """The point of the feed z at T reached from p through SUBSTEPS intermediate points on
        the straight line between them in feed and T (each from the one before; a step that
        crosses several solids' appearance, a bittern's, needs them one at a time), or None. Far
        cheaper than the active-set method from cold on a liquid near a dozen solids."""
        for n in SUBSTEPS:
            q = p
            for k in range(1, n + 1):
                zk = p.z + (z - p.z) * (k / n)
                Tk = T if k == n else p.T + (T - p.T) * (k / n)
                q = self._near(Tk, dict(zip(self.comps, zk.tolist())), zk, q)
                if q is None:
                    break
            else:
                return q
        return None

    def _set(self, active):
        """(dissolution rows, content rows, absent solids) of a set of present solids."""
        got = self.sets.get(active)
        if got is None:
            ss, A = self.system.solids, list(active)
            got = self.sets[active] = (
                ss.nu[A],
                ss.content[A],
                [k for k in range(len(ss)) if k not in active],
            )
        return got

    def _from(self, T, x, z, p, free=None):
        """The point of the feed z (x as a mapping) from the set of solids of the point p, or
        None where it does not pass the checks. ``free``: a solid left out of the set whose
        index may be positive (the set's own equilibrium beyond where that solid comes out:
        its index is smooth there, see ``_find_events``)."""
        system = self.system
        el, ss = system.model, system.solids
        self.over = None  # (the most supersaturated absent solid, its liquid)
        self.under = None  # (the position in the set of the most negative solid,
        #  the set's liquid and solids)
        active = p.active if self.solids else ()
        nu, content, absent = self._set(active)
        n0 = ss.n0_of @ z
        try:
            if active:
                jac = self.jacs.get((active, T))
                if jac is None:
                    jac = self.jacs[active, T] = np.full((len(nu) + self.n_eq, len(n0)), math.nan)
                n, lng, s, status, _ = el._solid_newton(
                    n0, T, nu, ss.ln_k(T)[list(active)], p.s, p.n, p.lng, jac=jac
                )
                if status:
                    return None
                if min(s.tolist()) <= 0.0:
                    self.under = (int(np.argmin(s)), (n, lng, s))
                    return None
                app = dict(zip(self.comps, (z - s @ content).tolist()))
            else:  # the neighbour's liquid as the warm start: n per dissociated liquid
                liquid = p.z - p.s @ self._set(p.active)[1] if p.active else p.z
                self.warm.reset((T, p.n / float(self.n0_sum @ liquid), p.lng))
                (n, lng), status = el._session(self.warm, "true_amounts", x, T, 1e-11, self.maxit)
                if not status["speciation_converged"]:
                    return None
                s, app = _NONE, x
        except (ValueError, ArithmeticError) as e:
            if not solve_failed(e):
                raise
            return None
        if not checks.speciation_residual(system, app, T, n, lng) <= system.tol:
            return None
        if self.solids and water_short(system, n, T) is not None:
            return None  # the front door's search decides, and says why where it fails
        if self.solids and len(ss):
            si = ss.si(T, n, lng).tolist()
            over = [k for k in absent if si[k] >= 0.0 and k != free]
            if over:
                self.over = (max(over, key=si.__getitem__), (n, lng))
                return None
            if any(abs(si[k]) > self.si_tol for k in active):
                return None
            # feed - liquid - solids in the reaction invariants (elements and charge)
            d = n0 - n
            if active:
                d -= s @ nu
            if not checks.abs_max(system._info.B @ d) / math.fsum(n0.tolist()) <= system.tol:
                return None
            ss.range_warnings(T, active)
        checks.pair_warnings(system, n, stacklevel=5)
        return _Point(
            T, z, 1.0, np.asarray(n, dtype=float), np.asarray(lng, dtype=float), active, s
        )


# ------------------------------------------------------------------------- the results


def _amounts(system, b):
    """Apparent amounts {component: amount} of a brine (a Brine or a mapping), checked."""
    if isinstance(b, Brine):
        b = b.amounts
    return system.composition(b)


@dataclass(eq=False)
class BrinePath:
    """What every path gives, point by point (arrays over the points):

    ``solids`` {solid: amount of it with the liquid at the point, in the unit of the brine},
    ``molality`` {species: mol/kg of water} of the liquid (its ions and molecules; the
    dissociated salts left out), ``saturation_indices`` {solid: SI}, ``ionic_strength``
    [mol/kg], ``water_activity``, ``pH``, ``tds`` [g of dissolved salts per kg of liquid: its
    apparent solutes], ``water`` [amount of H2O molecules in the liquid: the molalities'
    water]. ``axis`` names the path's variable; ``state(k)`` is the front door's full answer at
    point k (a ``LiquidState``)."""

    axis: str
    solids: dict[str, np.ndarray] = field(repr=False)
    molality: dict[str, np.ndarray] = field(repr=False)
    saturation_indices: dict[str, np.ndarray] = field(repr=False)
    ionic_strength: np.ndarray = field(repr=False)
    water_activity: np.ndarray = field(repr=False)
    pH: np.ndarray = field(repr=False)
    tds: np.ndarray = field(repr=False)
    water: np.ndarray = field(repr=False)
    _again: Any = field(repr=False, default=None)

    def state(self, k: int) -> LiquidState:
        """The front door's answer at point k, computed again (``System.liquid``, or the
        liquid of the flash of a profile's boiling point), with every named result."""
        if self._again is None:
            raise ValueError(
                "a path that was pickled keeps its values but not its System: "
                "compute the point again with System.liquid"
            )
        return self._again(k)

    def __getstate__(self) -> dict[str, Any]:
        return {**self.__dict__, "_again": None}  # the System stays behind

    def _columns(self) -> dict[str, Any]:
        return {self.axis: getattr(self, self.axis)}

    def to_frame(self) -> "pandas.DataFrame":
        """One row per point: the path's variables, then ``solids.<solid>``,
        ``molality.<species>``, ``saturation_indices.<solid>``, ionic strength, water activity,
        pH, TDS and water (the names of ``velmora.sweep``)."""
        import pandas as pd  # optional (velmora[tables]), and slow to import

        cols = self._columns()
        cols.update({f"solids.{k}": v for k, v in self.solids.items()})
        cols.update({f"molality.{k}": v for k, v in self.molality.items()})
        cols.update({f"saturation_indices.{k}": v for k, v in self.saturation_indices.items()})
        cols.update(
            ionic_strength=self.ionic_strength,
            water_activity=self.water_activity,
            pH=self.pH,
            tds=self.tds,
            water=self.water,
        )
        return pd.DataFrame(cols)

    def _events(self) -> dict[str, float]:
        return {}

    def plot(self, title: str | None = None) -> "Figure":
        """A figure of three panels over the path's variable: the solids and the liquid's ion
        molalities (log scales) and the saturation indices; a dotted line where a solid first
        appears. Needs matplotlib; a new Figure, drawn without pyplot (no window opens):
        ``path.plot().savefig("path.png")``."""
        from matplotlib import colormaps
        from matplotlib.figure import Figure

        x = getattr(self, self.axis)
        fig = Figure(figsize=(7.0, 8.0), layout="constrained")
        ax_s, ax_m, ax_i = fig.subplots(3, 1, sharex=True)
        # one color a solid: the ten of the default cycle, twenty where there are more
        cmap = colormaps["tab10" if len(self.saturation_indices) <= 10 else "tab20"]
        colors = {k: cmap(j % cmap.N) for j, k in enumerate(self.saturation_indices)}
        for k, v in self.solids.items():  # log scales: a gap where there is none
            ax_s.semilogy(x, np.where(v > 0.0, v, np.nan), color=colors[k], label=k)
        ax_s.set_ylabel("solids [amount]")
        for j, s in enumerate(
            k for k in self.molality if k[-1] in "+-" and k not in ("H3O+", "OH-")
        ):
            m = self.molality[s]  # an ion at the speciation's floor: left out
            ax_m.semilogy(x, np.where(m > TRACE_MOLALITY, m, np.nan), color=f"C{j % 10}", label=s)
        ax_m.set_ylabel("molality [mol/kg]")
        for k, v in self.saturation_indices.items():
            ax_i.plot(x, v, color=colors[k], label=k)
        ax_i.axhline(0.0, color="0.5", lw=0.8)
        ax_i.set_ylabel("saturation index")
        ax_i.set_xlabel(_LABELS.get(self.axis, self.axis))
        for k, at in self._events().items():
            for ax in (ax_s, ax_m, ax_i):
                ax.axvline(at, color=colors[k], ls=":", lw=0.9)
        for ax in (ax_s, ax_m, ax_i):
            if ax.get_legend_handles_labels()[0]:
                ax.legend(fontsize="small", ncol=3)
        if title:
            fig.suptitle(title)
        return fig


_LABELS = {
    "removed": "water removed [fraction of the initial water]",
    "fraction": "fraction of brine b [kg/kg of mixture]",
    "T": "T [K]",
}


@dataclass(eq=False, repr=False)
class EvaporationPath(BrinePath):
    """A brine evaporated at T: ``removed`` the fractions of its initial water taken away,
    ``water_removed`` [amount], ``T`` [K], ``fractional`` (solids taken out as they form),
    ``appears`` {solid: the removed fraction at which it first comes out} and ``dissolves``
    {solid: where it first goes back into the liquid}, both found to EVENT_XTOL between two
    points of the path (a solid present at the first point appears there). ``solids``: the
    solids with the liquid (equilibrium) or taken out so far (fractional); ``precipitated``
    what comes out in each step (negative where a solid dissolves)."""

    removed: np.ndarray = field(default_factory=lambda: np.zeros(0))
    water_removed: np.ndarray = field(default_factory=lambda: np.zeros(0))
    T: float = math.nan
    fractional: bool = False
    appears: dict[str, float] = field(default_factory=dict)
    dissolves: dict[str, float] = field(default_factory=dict)

    @property
    def precipitated(self) -> dict[str, np.ndarray]:
        return {k: np.diff(v, prepend=0.0) for k, v in self.solids.items()}

    def _columns(self):
        return {"removed": self.removed, "water_removed": self.water_removed}

    def _events(self):
        return self.appears

    def __repr__(self) -> str:
        first = ", ".join(
            f"{k} at {v:.4f}" for k, v in sorted(self.appears.items(), key=lambda kv: kv[1])
        )
        return (
            f"EvaporationPath at T = {self.T:.2f} K, {len(self.removed)} points, removed "
            f"{self.removed[0]:.3g}-{self.removed[-1]:.3g} of the water"
            f"{' (fractional)' if self.fractional else ''}; solids appear: {first or 'none'}"
        )


@dataclass(eq=False, repr=False)
class MixingPath(BrinePath):
    """Two brines mixed at T: ``fraction`` of brine b in the mixture [kg/kg, each brine's
    mass from its amounts], ``T`` [K], ``solids_allowed``. Amounts are per kg of mixture in
    the brines' unit (mol where the brines are in mol)."""

    fraction: np.ndarray = field(default_factory=lambda: np.zeros(0))
    T: float = math.nan
    solids_allowed: bool = False

    def __repr__(self) -> str:
        return (
            f"MixingPath at T = {self.T:.2f} K, {len(self.fraction)} fractions of brine b, "
            f"solids {'allowed' if self.solids_allowed else 'not allowed'}"
        )


@dataclass(eq=False, repr=False)
class ProfilePath(BrinePath):
    """A brine followed through (T, P) points: ``T`` [K], ``P`` [Pa; NaN: kept liquid],
    ``vapor_fraction`` [mol of vapor per mol of brine; 0 where the liquid's bubble pressure
    is at most P]."""

    T: np.ndarray = field(default_factory=lambda: np.zeros(0))
    P: np.ndarray = field(default_factory=lambda: np.zeros(0))
    vapor_fraction: np.ndarray = field(default_factory=lambda: np.zeros(0))

    def _columns(self):
        return {"T": self.T, "P": self.P, "vapor_fraction": self.vapor_fraction}

    def __repr__(self) -> str:
        return (
            f"ProfilePath over {len(self.T)} points, T {self.T.min():.2f}-{self.T.max():.2f} "
            f"K, largest vapor fraction {float(np.max(self.vapor_fraction)):.3g}"
        )


def _gather(system, points, solids=None):
    """The arrays of a BrinePath from its points, for every point at once (the conventions of
    ``velmora.states``). ``solids`` {solid: amounts} replaces the points' own where given
    (taken out so far)."""
    info, ss = system._info, system.solids
    N = np.array([p.n for p in points])
    LNG = np.array([p.lng for p in points])
    T = np.array([p.T for p in points])
    scale = np.array([p.scale for p in points])
    iw = info.iw
    lnx = np.log(N / N.sum(axis=1, keepdims=True))
    kg = N[:, iw] * info.mw["H2O"] / 1000.0
    m = N / kg[:, None]
    ref = LNG + lnx[:, [iw]]  # ln gamma on the molality scale
    if info.henry_idx:
        from .states import ln_gamma_inf_water

        ref -= np.array([ln_gamma_inf_water(system, t) for t in T.tolist()])
    log_aw = (lnx[:, iw] + LNG[:, iw]) / LN10
    pos = info.pos
    ph = (
        -(np.log(m[:, pos["H3O+"]]) + ref[:, pos["H3O+"]]) / LN10 + log_aw
        if "H3O+" in pos
        else np.full(len(points), math.nan)
    )
    salts = {s for d in info.diss for s, v in d.items() if v < 0}  # undissociated
    keep = [i for i, s in enumerate(info.names) if i != iw and s not in salts]
    if not len(ss):
        lnk = np.zeros((len(T), 0))
    elif np.all(T == T[0]):  # one T: evaporation, mixing
        lnk = ss.ln_k(float(T[0]))
    else:
        lnk = np.array([ss.ln_k(t) for t in T.tolist()])
    si = ((lnx + LNG) @ ss.nu.T - lnk) / LN10
    Z = np.array([p.z for p in points])
    # a solid of an element the brine lacks: SI -inf (the points grouped by the components
    # they have, one pattern along most paths)
    groups: dict[tuple[bool, ...], list[int]] = {}
    for j, has in enumerate(map(tuple, (np.abs(Z) > ABSENT).tolist())):
        groups.setdefault(has, []).append(j)
    for rows in groups.values():
        lacking = np.flatnonzero(ss.lacking(Z[rows[0]].tolist()))
        if lacking.size:
            si[np.ix_(np.array(rows), lacking)] = -math.inf
    s_full = np.zeros((len(points), len(ss)))
    at: list[int] = []
    which: list[int] = []
    amounts: list[float] = []
    for j, p in enumerate(points):  # (one assignment for all the points)
        if p.active:
            at += [j] * len(p.active)
            which += p.active
            amounts += p.s.tolist()
    s_full[at, which] = amounts
    liq = Z - s_full @ ss.content  # apparent liquid
    mw = np.array([info.mw[c] for c in system.components])
    wc = system.components.index("H2O")
    mass = liq * mw
    held = {k: s_full[:, j] * scale for j, k in enumerate(ss.names) if np.any(s_full[:, j])}
    return {
        "solids": held if solids is None else solids,
        "molality": {info.names[i]: m[:, i] for i in keep},
        "saturation_indices": {k: si[:, j] for j, k in enumerate(ss.names)},
        "ionic_strength": 0.5 * (m[:, info.ion] * info.z[info.ion] ** 2).sum(axis=1),
        "water_activity": 10.0**log_aw,
        "pH": ph,
        "tds": 1000.0 * (mass.sum(axis=1) - mass[:, wc]) / mass.sum(axis=1),
        "water": N[:, iw] * scale,
    }


class _Once:
    """Collects the warnings of a path's points and says each distinct one once, at the end
    (a RangeWarning of the same correlation at every point says nothing new)."""

    def __enter__(self):
        self._cm = warnings.catch_warnings(record=True)
        self.caught = self._cm.__enter__()
        warnings.simplefilter("always")
        return self

    def __exit__(self, *exc):
        self._cm.__exit__(*exc)
        seen = set()
        for w in self.caught:
            key = (w.category, str(w.message))
            if key not in seen:
                seen.add(key)
                warnings.warn(w.message, w.category, stacklevel=3)
        return False


def _points(values, what, lo=-math.inf, hi=math.inf, increasing=False):
    """A 1-D float array of path points, checked."""
    try:
        a = np.atleast_1d(np.asarray(values, dtype=float))
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be numbers, not {values!r}") from None
    if a.ndim != 1 or not a.size:
        raise ValueError(f"{what}: give a sequence of one or more numbers")
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{what} must be finite")
    bad = a[(a < lo) | (a > hi)]
    if bad.size:
        raise ValueError(f"{what} must lie in [{lo:g}, {hi:g}], not {bad[0]:g}")
    if increasing and np.any(np.diff(a) <= 0.0):
        raise ValueError(f"{what} must increase from point to point")
    return a


def _named(where, e):
    """The error ``e`` of one point, its message prefixed with ``where``."""
    try:
        new = type(e)(f"{where}: {e}")
    except TypeError:
        return e
    new.__dict__.update(getattr(e, "__dict__", {}))
    return new


# ------------------------------------------------------------------------- evaporation


def evaporate(
    system: Any,
    amounts: Mapping[str, float] | Brine,
    T: float,
    removed: Iterable[float] = tuple(np.linspace(0.0, 0.95, 20)),
    *,
    fractional: bool = False,
    events: bool = True,
) -> EvaporationPath:
    """The brine ``amounts`` (apparent amounts, or a ``Brine``) evaporated at T [K]: at each
    fraction of ``removed`` (of the initial water; increasing, 0 <= f < 1) the liquid with the
    salts that precipitate.

    ``fractional=False``: the solids stay with the liquid (equilibrium evaporation; a solid can
    dissolve again, gypsum giving way to anhydrite); True: each step's solids are taken out
    before the next. ``events``: find where each solid first appears (and dissolves) to
    EVENT_XTOL, by Brent's method between the two points around it (see ``_find_events``).
    The liquid does not depend on P (the model's liquid has none): evaporation at any P below
    the bubble pressure. Every point is verified (see ``_Walk``); a point that fails raises,
    its fraction named."""
    app = _amounts(system, amounts)
    T = checks.temperature(T)
    r = _points(removed, "removed", 0.0, 1.0 - 1e-12, increasing=True)
    w0 = app["H2O"]
    walk = _Walk(system)
    pts: list[_Point] = []
    feeds: list[dict[str, float]] = []
    taken: list[dict[str, float]] = []
    with _Once():
        base, r_base = app, 0.0
        for f in r.tolist():
            feed = _less_water(base, (f - r_base) * w0)
            if not feed["H2O"] > 0.0:
                # a fractional path whose solids took the water with them (bischofite):
                # the step removes more water than its liquid holds
                raise NoSolutionError(
                    f"evaporation at {f:.6g} of the water removed: no liquid left: the "
                    f"liquid left at {r_base:.6g} holds {base['H2O']:.6g} of water, the "
                    f"step to {f:.6g} removes {(f - r_base) * w0:.6g}"
                )
            try:
                p = walk.point(T, feed, pts[-1:])
            except (ValueError, ArithmeticError, RuntimeError) as e:
                where = f"evaporation at {f:.6g} of the water removed"
                if isinstance(e, checks.NotAqueousError) and feed["H2O"] > 0.0:
                    # the feed of this point, its solids counted: how far the path can go
                    solvents = system._info.solvents
                    top = max(v for c, v in base.items() if c != "H2O" and c not in solvents)
                    need = checks.least_water(system, top)
                    most = r_base + (base["H2O"] - need) / w0
                    where += (
                        f", past the {most:.6g} its step from {r_base:.6g} allows"
                        if fractional
                        else f", past the {most:.6g} this brine allows"
                    )
                raise _named(where, e) from e
            pts.append(p)
            feeds.append(feed)
            if fractional:  # the step's solids leave: the next starts from its liquid
                out = dict(taken[-1]) if taken else {}
                for k, v in zip(p.active, p.s.tolist()):
                    name = system.solids.names[k]
                    out[name] = out.get(name, 0.0) + v * p.scale
                taken.append(out)
                base, r_base = _liquid_of(system, p), f
        appears: dict[str, float] = {}
        dissolves: dict[str, float] = {}
        if events:
            _find_events(system, walk, app, r, pts, w0, T, fractional, appears, dissolves)
    held = None
    if fractional:
        names = [k for k in system.solids.names if any(k in t for t in taken)]
        held = {k: np.array([t.get(k, 0.0) for t in taken]) for k in names}
    return EvaporationPath(
        axis="removed",
        removed=r,
        water_removed=r * w0,
        T=T,
        fractional=fractional,
        appears=appears,
        dissolves=dissolves,
        _again=lambda k: _liquid(system, T, feeds[k], True),
        **_gather(system, pts, held),
    )


def _less_water(base, dw):
    feed = dict(base)
    feed["H2O"] = base["H2O"] - dw
    return feed


_APPROACH = threading.local()  # set while a feed is approached: the path's own points do not
_DILUTION = 2.0  # the approach starts from the feed with this much water
_APPROACH_STEPS = 8


def approach(system: Any, app: Mapping[str, float], T: float, warm: Any = None) -> Any:
    """(s, active, points) of the liquid ``app`` (per mol, over the components) with its
    solids at T, approached along a path from the same liquid with twice its water, or None
    where that path fails too (``System.liquid(..., solids=True)`` where its active set does
    not settle). The active-set method can cycle at a feed at or next to its saturation with
    several solids in trace amounts (the dissolved part of an answer given back); the path's
    points take the changes of the set one at a time, each from its neighbour. The caller
    checks the answer as every other one. ``warm``: a _WarmStart of the caller's, left where
    the path's last speciation left it (None: the path's own)."""
    if getattr(_APPROACH, "on", False):
        return None
    walk, water = _Walk(system, True, warm), app.get("H2O", 0.0)
    near: list[_Point] = []
    _APPROACH.on = True
    try:
        with warnings.catch_warnings():  # the call's own warnings are given already
            warnings.simplefilter("ignore", RangeWarning)
            for f in np.linspace(_DILUTION, 1.0, _APPROACH_STEPS + 1).tolist():
                near = [walk.point(T, dict(app, H2O=water * f), near[-1:])]
    except (ConvergenceError, NoSolutionError):
        return None  # the caller says why for its own feed (a point on the way has more water)
    except (ValueError, ArithmeticError) as e:
        if not solve_failed(e):
            raise
        return None
    finally:
        _APPROACH.on = False
    p = near[-1]
    return np.asarray(p.s, dtype=float), list(p.active), _APPROACH_STEPS + 1


def _liquid(system, T, feed, solids):
    """``System.liquid(T, feed, solids=solids)`` of a path's feed {component: amount}, which may
    hold a component in a negative amount where none of its ions is negative: a fractional
    path's bitterns in seawater-H2O, whose sulfate is Na2SO4 among the components, have less
    sodium than twice their sulfate once the halite has left, so NaCl < 0. The front door
    refuses a negative amount from a caller; here the ions decide. Where an ion is negative
    too, the same atoms in amounts none below 0 where there are such: a fractional path's
    liquid in seawater-CO2-H2O after calcite has left holds its carbon as CO2 and NaHCO3 with
    Na2CO3 < 0 (so CO3-- < 0 as the components dissociate), a liquid all the same. Where no
    component can be, the same atoms with every ion at 0 or above: a seawater-CO2-H2O bittern
    whose carbonate magnesium holds beyond the sodium halite has left (NaCl < 0)."""
    if min(feed.values()) >= 0.0:
        return system.liquid(T, feed, solids=solids)
    from .solids import nonnegative_form, solid_liquid
    from .states import liquid_state

    x, a, b = checks.liquid(system, feed, whole=solids)
    z = np.array([x[c] for c in system.components])
    if float((system.solids.n0_of @ z).min()) < 0.0:
        try:
            z = nonnegative_form(system, z)
        except NoSolutionError:
            try:
                z = nonnegative_form(system, z, ions=True)
            except NoSolutionError:
                low = {c: v * a * b for c, v in x.items() if v < 0.0}
                raise NoSolutionError(
                    f"the liquid's atoms make no liquid of {system.name}: written in its "
                    f"components ({', '.join(f'{c} {v:.6g}' for c, v in low.items())}), some "
                    "ion of theirs stays below 0 however they are combined"
                ) from None
        x = dict(zip(system.components, z.tolist()))

    checks.range_warnings(system, T, x)
    with system._using():
        state = solid_liquid(system, x, T) if solids else liquid_state(system, x, T)
    return state._in_unit(feed, a, b, dissolved=solids)


def _liquid_of(system, p):
    """The apparent liquid {component: amount} of a point, in the caller's unit."""
    liq = p.z.copy()
    if p.active:
        liq -= p.s @ system.solids.content[list(p.active)]
    return dict(zip(system.components, (liq * p.scale).tolist()))


def _find_events(system, walk, app, r, pts, w0, T, fractional, appears, dissolves):
    """Where each solid comes out (appears) or goes back into the liquid (dissolves) between
    two points of the path, to EVENT_XTOL in the fraction removed.

    An interval whose ends differ by more than one solid is halved until each part holds one
    change (to EVENT_SPLIT). There, the index of the solid on the liquid in equilibrium with
    the set of the end without it is 0 at the change: that set's own equilibrium, followed
    beyond the change, keeps the index smooth (positive beyond), so Brent's method meets its
    root in a few steps, in u = -ln(1 - removed), in which a concentrating liquid's indices
    are nearly straight. The root is a point of the path: every other solid checked there,
    the index 0 to EVENT_SI. Where that set has no answer inside, the root of h = SI + amount
    / c, the index on the side without the solid and its amount on the other
    (``_kinked_root``). A solid that comes and goes between two points is not seen."""
    from .brinequil import _brentq as brentq

    names = system.solids.names
    for k in pts[0].active:
        appears.setdefault(names[k], float(r[0]))
    for j in range(1, len(r)):
        if pts[j - 1].active == pts[j].active:
            continue
        # a fractional step starts from the liquid before it, its solids from none
        base, r_base = (
            (_liquid_of(system, pts[j - 1]), float(r[j - 1])) if fractional else (app, 0.0)
        )

        def feed(f, base=base, r_base=r_base):
            return _less_water(base, (f - r_base) * w0)

        try:
            for a, b, before, after in _one_change_each(
                walk, T, feed, float(r[j - 1]), float(r[j]), pts[j - 1], pts[j]
            ):
                for k in set(before.active) ^ set(after.active):
                    now = k in after.active
                    if fractional and not now:
                        continue
                    out = before if now else after
                    last = [out]
                    # the index at each u tried (Brent's answer is mostly its last one)
                    seen = {-math.log1p(-(a if now else b)): _si_of(system, out, k)}

                    def g(u, k=k, last=last, seen=seen):
                        if u not in seen:
                            x, _, _ = checks.liquid(system, feed(-math.expm1(-u)))
                            p = walk._from(
                                T, x, np.array([x[c] for c in walk.comps]), last[-1], free=k
                            )
                            if p is None:
                                raise _NoSet
                            last.append(p)
                            seen[u] = _si_of(system, p, k)
                        return seen[u]

                    try:
                        u = brentq(g, -math.log1p(-a), -math.log1p(-b), xtol=EVENT_XTOL)
                        if not abs(g(u)) <= EVENT_SI:
                            raise _NoSet
                        at = -math.expm1(-u)
                    except (_NoSet, ValueError):
                        at = _kinked_root(system, walk, k, before, after, a, b, feed, T)
                    (appears if now else dissolves).setdefault(names[k], at)
        except (ValueError, ArithmeticError, RuntimeError) as e:
            raise _named(
                f"the search for where the solids change between {r[j - 1]:.6g} and "
                f"{r[j]:.6g} of the water removed",
                e,
            ) from e


def _one_change_each(walk, T, feed, a, b, pa, pb):
    """[(a, b, point at a, point at b)]: the interval (a, b) halved until the sets of solids
    at the ends of each part differ by one solid, or the part is EVENT_SPLIT wide."""
    if len(set(pa.active) ^ set(pb.active)) <= 1 or b - a <= EVENT_SPLIT:
        return [(a, b, pa, pb)]
    m = 0.5 * (a + b)
    pm = walk.point(T, feed(m), (pa, pb))
    return _one_change_each(walk, T, feed, a, m, pa, pm) + _one_change_each(
        walk, T, feed, m, b, pm, pb
    )


class _NoSet(Exception):
    """The set of solids of one side has no verified answer at a point (or the root found
    with it is not a point of the path)."""


def _kinked_root(system, walk, k, before, after, a, b, feed, T):
    """The root in (a, b) of h = SI + (amount of solid k) / c: the index (< 0) on the side
    without the solid, a positive amount on the other; c is the amount at the end with the
    solid. Each h a point of the walk, from the latest points found without and with it."""
    from .brinequil import _brentq as brentq

    inside = after if k in after.active else before
    c = float(inside.s[inside.active.index(k)]) * inside.scale
    latest = {k in before.active: before, k in after.active: after}

    def h(f):
        if f in (a, b):
            p = before if f == a else after
        else:
            p = walk.point(T, feed(f), (latest[False], latest[True]))
            latest[k in p.active] = p
        if k not in p.active:
            return _si_of(system, p, k)
        return float(p.s[p.active.index(k)]) * p.scale / c

    return brentq(h, a, b, xtol=EVENT_XTOL)


def _si_of(system, p, k):
    """The saturation index of solid k on the liquid of point p."""
    ss = system.solids
    lnx = np.log(p.n / p.n.sum())
    return float((ss.nu[k] @ (lnx + p.lng) - ss.ln_k(p.T)[k]) / LN10)


# ------------------------------------------------------------------------- mixing


def mix(
    system: Any,
    a: Mapping[str, float] | Brine,
    b: Mapping[str, float] | Brine,
    T: float,
    fractions: Iterable[float] = tuple(np.linspace(0.0, 1.0, 11)),
    *,
    solids: bool = False,
) -> MixingPath:
    """Brines ``a`` and ``b`` (apparent amounts, or ``Brine``) mixed at T [K]: at each of
    ``fractions`` (0 <= f <= 1) the mass fraction f of b and 1 - f of a, each brine's mass from
    its amounts and the components' molar masses, so that the mixture is per kg (the brines'
    amounts in mol: mol per kg of mixture). ``solids=False``: the mixed liquid as it is, its
    saturation indices telling what could scale; True: the salts that precipitate come out."""
    mw = system._info.mw
    ka, kb = (_amounts(system, x) for x in (a, b))
    ma, mb = (math.fsum(v * mw[c] for c, v in k.items()) / 1000.0 for k in (ka, kb))  # kg
    T = checks.temperature(T)
    f = _points(fractions, "fractions", 0.0, 1.0)
    feeds = [
        {c: (1.0 - x) * ka[c] / ma + x * kb[c] / mb for c in system.components} for x in f.tolist()
    ]
    walk = _Walk(system, solids)
    pts: list[_Point] = []
    with _Once():
        for x, feed in zip(f.tolist(), feeds):
            try:
                pts.append(walk.point(T, feed, pts[-1:]))
            except (ValueError, ArithmeticError, RuntimeError) as e:
                raise _named(f"mixture at {x:.6g} of brine b", e) from e
    return MixingPath(
        axis="fraction",
        fraction=f,
        T=T,
        solids_allowed=bool(solids),
        _again=lambda k: system.liquid(T, feeds[k], solids=solids),
        **_gather(system, pts),
    )


# ------------------------------------------------------------------------- (T, P) profiles


def profile(
    system: Any,
    amounts: Mapping[str, float] | Brine,
    T: Iterable[float],
    P: Iterable[float] | float | None = None,
    *,
    solids: bool = True,
) -> ProfilePath:
    """The brine ``amounts`` (apparent amounts, or a ``Brine``) at each point of a (T, P)
    profile (a produced water up a well, through a heater): ``T`` [K] a sequence, ``P`` [Pa] a
    sequence of the same length, one value, or None (kept liquid whatever its bubble pressure).
    Each point is the liquid with the salts that precipitate (``solids=True``) or as it is;
    where that liquid's bubble pressure exceeds P, the point is the flash at (T, P) instead
    (``System.flash``, with solids), its vapor fraction per mol of brine. Each point holds the
    whole brine (a closed system that keeps its solids and vapor)."""
    app = _amounts(system, amounts)
    Ts = _points(T, "T")
    for t in Ts.tolist():
        checks.temperature(t)
    if P is None:
        Ps = np.full(len(Ts), math.nan)
    else:
        Ps = _points(P, "P", lo=0.0)
        if Ps.size == 1:
            Ps = np.full(len(Ts), Ps[0])
        elif Ps.size != Ts.size:
            raise ValueError(
                f"P: {Ps.size} values for {Ts.size} temperatures; give one P or one per T"
            )
        if float(Ps.max()) > checks.P_IDEAL:
            checks.high_pressure(float(Ps.max()))
    ss = system.solids
    total = math.fsum(app.values())
    walk = _Walk(system, solids)
    pts: list[_Point] = []
    beta: list[float] = []
    flashes: dict[int, Any] = {}
    held = {k: np.zeros(len(Ts)) for k in ss.names}
    with _Once():
        for j, (t, p) in enumerate(zip(Ts.tolist(), Ps.tolist())):
            try:
                pt = walk.point(t, app, pts[-1:])
                v = 0.0
                if math.isfinite(p) and _bubble(system, pt) > p:
                    fl = flashes[j] = system.flash(app, p, T=t, solids=solids)
                    pt, v = _flash_point(system, fl, total)
            except (ValueError, ArithmeticError, RuntimeError) as e:
                raise _named(f"profile point T = {t:g} K, P = {p:g} Pa", e) from e
            pts.append(pt)
            beta.append(v)
            for k, s in zip(pt.active, pt.s.tolist()):
                held[ss.names[k]][j] = s * pt.scale

    def again(k):
        if k in flashes:
            return system.flash(app, float(Ps[k]), T=float(Ts[k]), solids=solids).liquid
        return system.liquid(float(Ts[k]), app, solids=solids)

    return ProfilePath(
        axis="T",
        T=Ts,
        P=Ps,
        vapor_fraction=np.array(beta),
        _again=again,
        **_gather(system, pts, {k: v for k, v in held.items() if np.any(v)}),
    )


def _bubble(system, p):
    """The bubble pressure [Pa] of a point's liquid (the core's fugacities)."""
    el = system.model
    app = _liquid_of(system, p)
    return math.fsum(el._session(None, "fugacities", app, p.T)[0][0].values())


def _flash_point(system, fl, total):
    """(_Point of a flash's liquid with the flash's solids, vapor fraction): the point's
    feed is the liquid and solids together, per mol of brine less its vapor."""
    ss, liq = system.solids, fl.liquid
    info = system._info
    solids = getattr(fl, "solids", {})
    active = tuple(ss.index(k) for k in solids)
    s = np.array([solids[ss.names[k]] for k in active])  # per mol of feed
    rest = 1.0 - fl.vapor_fraction  # liquid + solids
    x = np.array([fl.x[c] for c in system.components]) * (
        rest - (float(s @ ss.content[list(active)].sum(axis=1)) if active else 0.0)
    )
    z = x + (s @ ss.content[list(active)] if active else 0.0)
    n = np.array([liq.amounts[k] for k in info.names])
    n *= float(x.sum()) / float(sum(liq.apparent.values()))
    pt = _Point(
        fl.T,
        z / z.sum(),
        total * float(z.sum()),
        n / float(z.sum()),
        np.array([liq.ln_gamma[k] for k in info.names]),
        active,
        s / float(z.sum()),
    )
    return pt, fl.vapor_fraction
