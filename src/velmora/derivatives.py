"""Exact derivatives of a liquid state, from its converged equations.

The speciation of a liquid solves, in u = ln n over the species that can be present,

    F_eq = nu (u - ln N + ln gamma(n, T) - ref(x, T)) - ln K(T) = 0
    F_b  = B n - B n0(apparent) = 0                  (elements and charge)

By the implicit function theorem, dn/dtheta = -n (dF/du)^+ dF/dtheta for theta = T or an
apparent amount. The activity model's derivatives (d ln gamma / dn, d ln gamma / dT, and those
of the molecular term in the Henry references) are exact: second derivatives of n G^ex/RT in
nested dual numbers (``Model.ln_gamma_derivatives``), no differences. ln K, ln H and ln Psat are
differentiated from their correlations. The derived quantities:

- ``amounts``: true amounts [unit of the state's amounts];
- ``ln_gamma`` (mole-fraction scale);
- ``molality`` [mol/kg water] of every solute species: n_i / (n_w M_w);
- ``partial_pressures`` [Pa]: solvents x gamma Psat(T), Henry components
  x gamma (H / gamma_inf)_mix;
- ``pH``;
- ``saturation_indices`` of the system's solids: (nu (ln x + ln gamma) - ln Ksp(T)) / ln 10.

Derivatives are per K for "T" and per unit of the state's apparent amounts for a component.
A liquid state does not depend on P (the liquid model has no pressure term).
"""

import math
import weakref
from typing import Any

import numpy as np

_LN10 = math.log(10.0)
_TRACE = 1e-12  # absent entries of a Henry reference composition (as the core)
_SOLUTE_TRACE = 1e-9  # the solute at infinite dilution there
QUANTITIES = (
    "amounts",
    "ln_gamma",
    "molality",
    "partial_pressures",
    "pH",
    "saturation_indices",
    "H",
    "solids",
)


class _LazyArrays(dict):
    """The arrays of a Jacobian, some worked out on first access (``_lazy``: {name: maker}),
    made by ``_lazy_arrays`` or as a dict with ``_lazy`` set at once (no __init__ of its own:
    the Python-level one cost a tenth of the glue around a compiled Jacobian)."""

    __slots__ = ("_lazy",)
    _lazy: dict[str, Any]

    def __missing__(self, key: str) -> Any:
        make = self._lazy.pop(key, None)
        if make is None:
            raise KeyError(key)
        value = self[key] = make(self)
        return value

    def __contains__(self, key: object) -> bool:
        return dict.__contains__(self, key) or key in self._lazy


def _lazy_arrays(data: dict[str, Any], lazy: dict[str, Any]) -> _LazyArrays:
    """``data`` and, worked out on first access, ``lazy`` {name: maker(arrays)}."""
    out = _LazyArrays(data)
    out._lazy = lazy
    return out


class LiquidJacobian:
    """Derivatives of one liquid state: ``wrt`` (["T", *components]) and, per quantity, an
    array with one column per entry of ``wrt``: ``amounts``, ``ln_gamma`` and ``molality``
    (species x wrt; molality 0 for water), ``partial_pressures`` (volatile components x wrt),
    ``pH`` (wrt), ``saturation_indices`` (solids x wrt), ``H`` (wrt; the state's enthalpy per
    mol of apparent liquid)."""

    def __init__(
        self,
        wrt: list[str],
        species: list[str],
        volatile: list[str],
        arrays: dict[str, Any],
        solids: list[str] | None = None,
        present: list[str] | None = None,
    ) -> None:
        self.wrt = wrt
        self.species = species
        self.volatile = volatile
        self.arrays = arrays
        self.solids = solids or []
        self.present = present or []  # the solids in equilibrium with the liquid ("solids")
        self.liquid: LiquidJacobian | None = None  # with solids: the liquid's own (s held)
        self.dissolved: Any = None  # with solids: d(dissolved part) / d wrt (components x wrt)

    def of(self, quantity: str, wrt: str) -> Any:
        """d quantity / d wrt: a {name: value} mapping, or a float for pH and H."""
        if quantity not in self.arrays:
            have = [q for q in QUANTITIES if q in self.arrays]
            raise ValueError(f"no derivatives of {quantity!r} (available: {', '.join(have)})")
        if wrt == "P":
            raise ValueError(
                "a liquid state does not depend on P (the liquid model has no "
                "pressure term): its derivatives with respect to P are zero"
            )
        if wrt not in self.wrt:
            raise ValueError(
                f"no derivatives with respect to {wrt!r} (available: {', '.join(self.wrt)})"
            )
        col = self.arrays[quantity][..., self.wrt.index(wrt)]
        if quantity in ("pH", "H"):
            return float(col)
        keys = {
            "partial_pressures": self.volatile,
            "saturation_indices": self.solids,
            "solids": self.present,
        }.get(quantity, self.species)
        out = dict(zip(keys, col.tolist()))
        if quantity == "molality":
            out.pop("H2O", None)
        return out


def cached_jacobian(obj: Any, what: str, build: Any) -> Any:
    """The Jacobian kept on ``obj`` (a liquid state or a flash result, ``what``), built by
    ``build(system, obj)`` from the system it carries on the first call."""
    jac = obj.__dict__.get("_jacobian")
    if jac is None:
        system = obj.__dict__.get("_system")
        if system is None:
            raise ValueError(
                f"this {what} carries no system (it was unpickled): "
                "solve it again for its derivatives"
            )
        jac = obj._jacobian = build(system, obj)
    return jac


def _dlnK_dT(records, T):
    # ln K = A + B/T + C ln T + D T
    return np.array([-r["B"] / T**2 + r["C"] / T + r["D"] for r in records])


def _dlnH_dT(p, T):
    # ln H = a + b/T + c ln T + d T (+ e/T^2)
    d = -p[1] / T**2 + p[2] / T + p[3]
    return d - 2.0 * p[4] / T**3 if len(p) > 4 else d


def _ln_h(p, T):
    v = p[0] + p[1] / T + p[2] * math.log(T) + p[3] * T
    return v + p[4] / T**2 if len(p) > 4 else v


def _dlnpsat_dT(c, T):
    # ln Psat = C1 + C2/(T + C3) + C4 T + C5 ln T + C6 T^C7
    return -c[1] / (T + c[2]) ** 2 + c[3] + c[4] / T + c[5] * c[6] * T ** (c[6] - 1.0)


def ln_psat(c: Any, T: float) -> float:
    """ln Psat [Pa] of the extended Antoine coefficients c at T [K]."""
    return c[0] + c[1] / (T + c[2]) + c[3] * T + c[4] * math.log(T) + c[5] * T ** c[6]


class _Molecular:
    """The molecular term of the activity model at Henry reference compositions (ions absent,
    as the core's molecular NRTL reads them), with its derivatives."""

    def __init__(self, system, T):
        el, info = system.model, system._info
        self.core, self.T, self.options = el.sp._core, T, el.options
        self.ns = len(info.names)
        self.ion = np.array([bool(v) for v in info.ion])

    def at(self, xw, directions):
        """(ln gamma, J, dT) at xw, the columns of ``directions`` only (species; ns for T)."""
        xw = xw.copy()
        xw[self.ion] = 0.0
        return self.core.ln_gamma_derivatives(xw, self.T, self.options, directions)


def reference_points(el: Any, info: Any, x: Any) -> list[tuple[int, Any]]:
    """[(Henry component, composition)]: where the speciation's unsymmetric convention reads
    ln gamma infinity of each Henry component (the molecular term there)."""
    ns = len(info.names)
    solv = list(el.sp.solv)
    out = []
    for i in info.henry_idx:
        xw = np.full(ns, _TRACE)
        if el.options.get("henry_ref", "water") == "solvent":
            xw[solv] = x[solv]
        else:
            xw[info.iw] = 1.0
        xw[i] = _SOLUTE_TRACE
        out.append((i, xw))
    return out


def henry_points(el: Any, names: list[str], x: Any, i: int) -> list[tuple[Any, Any, float, Any]]:
    """[(solvent, Henry record, weight x_A Vc_A^(2/3), composition)] of the mixed Henry constant
    of component i: each solvent's ln gamma infinity is read at the composition (i traced in A)."""
    out = []
    for (solute, solvent), p in el.henry.items():
        if solute != names[i]:
            continue
        a = names.index(solvent)
        xa = np.full(len(names), _TRACE)
        xa[a], xa[i] = 1.0, _SOLUTE_TRACE
        out.append((solvent, p, x[a] * el.vc[solvent] ** (2.0 / 3.0), xa))
    return out


def _reference(system, mol, x):
    """(ref, d ref / dx, d ref / dT) of the speciation's unsymmetric convention."""
    el, info = system.model, system._info
    ns = len(info.names)
    mode = _henry_mode(el)
    solv = list(el.sp.solv)
    ref, dx, dT = np.zeros(ns), np.zeros((ns, ns)), np.zeros(ns)
    for i, xw in reference_points(el, info, x):
        # homogeneous of degree 0: no need to normalise
        lng, J, dlT = mol.at(xw, (solv if mode == "solvent" else []) + [ns])
        ref[i], dT[i] = lng[i], dlT[i]
        if mode == "solvent":
            dx[i, solv] = J[i, solv]
    return ref, dx, dT


def _henry_mix(system, mol, x, i, T):
    """(ln (H/gamma_inf)_mix, d/dx, d/dT) of Henry component i."""
    el, info = system.model, system._info
    num = den = dnum_T = 0.0
    terms = []
    for solvent, p, w, xa in henry_points(el, info.names, x, i):
        a = info.names.index(solvent)
        lng, _, dlT = mol.at(xa, [len(info.names)])
        g = _ln_h(p, T) - lng[i]
        terms.append((a, el.vc[solvent] ** (2.0 / 3.0), g))
        num += w * g
        den += w
        dnum_T += w * (_dlnH_dT(p, T) - dlT[i])
    h = num / den
    dx = np.zeros(len(info.names))
    for a, v, g in terms:
        dx[a] += v * (g - h) / den
    return h, dx, dnum_T / den


def _dissociation(info, comps):
    """species x components: n0 of one mole of each component (n0 is linear in them); kept."""
    known = info.__dict__.setdefault("_dissociation", {})
    D = known.get(comps)
    if D is None:
        D = known[comps] = np.array([info.n0({c: 1.0}) for c in comps]).T
    return D


def speciation_response(nu: Any, B: Any, n: Any, G: Any, idle: Any, rhs: Any) -> Any:
    """dn (species x columns) of the speciation's equations for the right-hand sides ``rhs``
    (rows: dF_eq/dtheta of the reactions ``nu``, then dF_b/dtheta of the balances ``B``): the
    implicit function theorem in u = ln n over the species that are not ``idle``. G: d(ln gamma
    - ref)/dn at n (species x species)."""
    N = float(n.sum())
    act = np.flatnonzero(~idle)
    nu_a, na = nu[:, act], n[act]
    G_a = G[np.ix_(act, act)]
    A = np.vstack(
        (nu_a - np.outer(nu_a.sum(axis=1), n[act] / N) + nu_a @ (G_a * na), B[:, act] * na)
    )
    dn = np.zeros((len(n), rhs.shape[1]))
    dn[act] = na[:, None] * -_solve(A, rhs)
    return dn


def _solve(A: Any, rhs: Any) -> Any:
    # LU where A is square and regular (invariant to the columns' scale, which spans the
    # amounts' range), else the least-squares solution (idle species leave more equations)
    if A.shape[0] == A.shape[1]:
        try:
            return np.linalg.solve(A, rhs)
        except np.linalg.LinAlgError:
            pass
    return np.linalg.lstsq(A, rhs, rcond=None)[0]


def _compiled_plan(system: Any, comps: tuple[str, ...]) -> Any:
    """(the engine's fixed data of the derivatives for the components ``comps``, {volatile
    components: their species positions}, the named axes of a Jacobian): built once per system
    and list of components from the model's tables (K, Henry pairs, Antoine, the solids), which
    a System does not change afterwards."""
    el, info = system.model, system._info
    plans = info.__dict__.get("_jacobian_plans")
    if plans is None:
        plans = info._jacobian_plans = {}
    known = plans.get(comps)
    if known is not None and known[0] is el:
        return known[1]
    import velmora.brinequil as bq

    names = list(info.names)
    pairs: list[list[tuple[int, float, list[float]]]] = [[] for _ in names]
    for (solute, solvent), p in el.henry.items():
        if solute in names and solvent in names:
            a = names.index(solvent)
            pairs[names.index(solute)].append((a, el.vc[solvent] ** (2.0 / 3.0), list(p)))
    antoine = [list(el.antoine[c][:7]) if c in el.antoine else [] for c in names]
    solids = system.solids
    si_nu = solids.nu if len(solids.names) else np.zeros((0, len(names)))
    plan = bq._LiquidJacobian(
        info.nu,
        info.B,
        _dissociation(info, comps),
        np.array([[r["B"], r["C"], r["D"]] for r in el.K], dtype=float).reshape(-1, 3),
        si_nu,
        np.array([[r["B"], r["C"], r["D"]] for r in solids.records], dtype=float).reshape(-1, 3),
        [bool(v) for v in info.ion],
        list(info.henry_idx),
        list(el.sp.solv),
        info.iw,
        info.mw["H2O"],
        names.index("H3O+") if "H3O+" in names else -1,
        pairs,
        antoine,
    )
    # the volatile components of a state (its partial pressures' keys) -> their positions
    volatile: dict[tuple[str, ...], list[int]] = {}
    axes = (["T", *comps], names, list(solids.names))
    plans[comps] = (el, (plan, volatile, axes))
    return plans[comps][1]


def liquid_jacobian(system: Any, state: Any) -> LiquidJacobian:
    """The derivatives of ``state`` (a LiquidState of ``system``); see the module. Worked out
    in one call of the engine where the activity model is the package's own compiled one, else
    by ``python_liquid_jacobian``."""
    return _liquid_jacobian(system, state)[0]


def _liquid_jacobian(
    system: Any,
    state: Any,
    held: bool = False,
    lazy: dict[str, Any] | None = None,
    given: tuple[Any, Any] | None = None,
) -> tuple[LiquidJacobian, Any]:
    """(``liquid_jacobian``, the state's true amounts). ``held``: a state with solids is
    taken as its liquid alone (the solids' amounts held). ``lazy``: arrays worked out on first
    access, {name: maker(arrays)} (see ``_LazyArrays``). ``given``: ``_given_of(state)``, where
    the caller has it."""
    app, solids_held = _given_of(state) if given is None else given
    if not held and solids_held:
        _no_solids(state)
    el = system.model
    options = el.options  # (read once: a property of the compiled model)
    mode = options.get("henry_ref", "water")
    if mode != "water" and mode != "solvent":
        _henry_mode(el, options)  # (its error)
    plan, positions, (wrt, names, solids) = _compiled_plan(system, tuple(app))
    # the raw speciation and its unit (scaled in the compiled call, as ``_speciation`` scales
    # it): no named mappings nor a scaled copy made for this
    n, f, unit = state._speciation_unscaled()
    volatile = tuple(f)
    vol = positions.get(volatile)
    if vol is None:
        vol = positions[volatile] = [names.index(c) for c in volatile]
    # (the apparent amounts and the fugacities as their mappings' values, in their order)
    out = plan(el.sp, options, mode == "solvent", n, unit, state.T, app, vol, f)
    if out is None:
        jac = python_liquid_jacobian(system, state, held)
        if lazy is not None:
            jac.arrays = _lazy_arrays(jac.arrays, lazy)
        return jac, state._speciation()[0]
    dn, dlng, molality, dP, dsi, pH, n = out
    # (the lazy arrays filled in place: no copy of a plain dict made first)
    arrays: dict[str, Any] = {} if lazy is None else _LazyArrays()
    arrays["amounts"] = dn
    arrays["ln_gamma"] = dlng
    arrays["partial_pressures"] = dP
    if pH is not None:
        arrays["pH"] = pH
    arrays["molality"] = molality
    arrays["saturation_indices"] = _lacking_rows(system, app, dsi) if len(dsi) else dsi
    if lazy is not None:
        arrays._lazy = lazy  # type: ignore[attr-defined]
    return LiquidJacobian(list(wrt), list(names), list(volatile), arrays, list(solids)), n


def _lacking_rows(system: Any, app: Any, dsi: np.ndarray) -> np.ndarray:
    """dsi (an array of the caller's own, changed in place) with 0 in the rows of the solids of
    an element the liquid of apparent amounts ``app`` lacks: their SI is -inf and stays so while
    the element stays absent."""
    if not len(dsi):
        return dsi
    rows = None
    if 0.0 not in app.values():
        # every amount given is present: what is lacking follows from the names alone, kept
        # per system and list of names (the pattern that ``Solids.lacking`` keys on)
        kept = system._info.__dict__.get("_lacking_rows")
        if kept is None:
            kept = system._info._lacking_rows = {}
        keys = tuple(app)
        rows = kept.get(keys)
        if rows is None:
            rows = kept[keys] = _lacking_positions(system, app)
    else:
        rows = _lacking_positions(system, app)
    if len(rows):
        dsi[rows] = 0.0
    return dsi


def _lacking_positions(system: Any, app: Any) -> np.ndarray:
    """The positions of the solids of an element the liquid of apparent amounts ``app``
    lacks (``Solids.lacking``)."""
    return np.flatnonzero(system.solids.lacking([app.get(c, 0.0) for c in system.components]))


def _given_of(state: Any) -> tuple[Any, Any]:
    """(apparent amounts, solids) of a liquid state, read without the copies that the state
    makes of them for its caller on first read (``LiquidState._given``): a state that
    ``usual_state`` made holds no solids and its composition in ``_apparent``, read here only."""
    d = state.__dict__
    app = d.get("_apparent")
    if app is not None and "apparent" not in d and "solids" not in d:
        return app, {}
    return state.apparent, state.solids


def _no_solids(state: Any) -> None:
    if state.solids:
        raise ValueError(
            "derivatives of a liquid in equilibrium with solids are not available "
            "(the solids' equations are not in its Jacobian yet)"
        )


def _henry_mode(el: Any, options: Any = None) -> str:
    mode = (el.options if options is None else options).get("henry_ref", "water")
    if mode not in ("water", "solvent"):
        raise ValueError(
            f'derivatives need the Henry reference "water" or "solvent" (this model has {mode!r})'
        )
    return mode


def python_liquid_jacobian(system: Any, state: Any, held: bool = False) -> LiquidJacobian:
    """``liquid_jacobian`` worked out in Python around the activity model's derivatives
    (``species._core.ln_gamma_derivatives``): the path of a model that is not the package's
    own compiled one. ``held``: as ``_liquid_jacobian``'s."""
    if not held:
        _no_solids(state)
    el, info = system.model, system._info
    names = list(info.names)
    ns = len(names)
    T = state.T
    comps = list(state.apparent)
    n = np.array([state.amounts[s] for s in names], dtype=float)
    N = float(n.sum())
    x = n / N
    mol = _Molecular(system, T)
    lng, Jx, lng_T = el.sp._core.ln_gamma_derivatives(x, T, el.options)
    Jn = Jx / N  # degree -1: d ln gamma / dn at n
    ref, dref_x, dref_T = _reference(system, mol, x)
    dx_dn = (np.eye(ns) - np.outer(x, np.ones(ns))) / N
    dref_n = dref_x @ dx_dn

    D = _dissociation(info, tuple(comps))
    n0 = D @ np.array([state.apparent[c] for c in comps], dtype=float)
    idle = (n0 == 0.0) & ~info.nu.any(axis=0) & (n == 0.0)
    # right-hand sides: T, then each component
    rT = np.concatenate((info.nu @ (lng_T - dref_T) - _dlnK_dT(el.K, T), np.zeros(info.B.shape[0])))
    rc = np.vstack((np.zeros((info.nu.shape[0], len(comps))), -info.B @ D))
    dn = speciation_response(info.nu, info.B, n, Jn - dref_n, idle, np.column_stack((rT, rc)))
    dn[idle, 1:] = D[idle]
    dlng = Jn @ dn
    dlng[:, 0] += lng_T

    # partial pressures: d ln f = d ln x + d ln gamma + d ln (H/gamma_inf)_mix or d ln Psat
    dlnx = dn / np.where(n > 0, n, 1.0)[:, None] - dn.sum(axis=0)[None, :] / N
    dx = dx_dn @ dn
    volatile = list(state.partial_pressures)
    dP = np.zeros((len(volatile), 1 + len(comps)))
    for k, c in enumerate(volatile):
        i = names.index(c)
        d = dlnx[i] + dlng[i]
        if i in info.henry_idx:
            _, hx, hT = _henry_mix(system, mol, x, i, T)
            d = d + hx @ dx
            d[0] += hT
        else:
            d = d.copy()
            d[0] += _dlnpsat_dT(el.antoine[c], T)
        dP[k] = state.partial_pressures[c] * d
    arrays = {"amounts": dn, "ln_gamma": dlng, "partial_pressures": dP}
    if "H3O+" in names and n[names.index("H3O+")] > 0:
        h, w = names.index("H3O+"), info.iw
        arrays["pH"] = -(dn[h] / n[h] - dn[w] / n[w] + dlng[h] - dlng[w]) / _LN10
    # d ln n (0 for an absent species: it enters no molality's nor saturation index's change)
    dlnn = dn / np.where(n > 0, n, 1.0)[:, None]
    m = n / (n[info.iw] * info.mw["H2O"] / 1000.0)
    arrays["molality"] = m[:, None] * (dlnn - dlnn[info.iw])
    solids = system.solids
    arrays["saturation_indices"] = np.zeros((0, dn.shape[1]))
    if len(solids.names):
        # SI = (nu (ln x + ln gamma) - ln Ksp(T)) / ln 10, ln Ksp = A + B/T + C ln T + D T
        dsi = solids.nu @ (dlnn - dn.sum(axis=0) / N + dlng)
        dsi[:, 0] -= _dlnK_dT(solids.records, T)
        arrays["saturation_indices"] = _lacking_rows(system, state.apparent, dsi / _LN10)
    return LiquidJacobian(["T"] + comps, names, volatile, arrays, list(solids.names))


def check_fugacity_form(system: Any, state: Any) -> float:
    """Largest relative difference between the state's partial pressures and the forms the
    derivatives differentiate (x gamma Psat, x gamma (H/gamma_inf)_mix): 0 up to rounding
    where the derivatives hold the same function as the core."""
    el, info = system.model, system._info
    names = list(info.names)
    n = np.array([state.amounts[s] for s in names], dtype=float)
    x = n / n.sum()
    mol = _Molecular(system, state.T)
    worst = 0.0
    for c, f in state.partial_pressures.items():
        i = names.index(c)
        if i in info.henry_idx:
            ln_rest = _henry_mix(system, mol, x, i, state.T)[0]
        else:
            ln_rest = ln_psat(el.antoine[c], state.T)
        g = math.exp(math.log(x[i]) + state.ln_gamma[c] + ln_rest)
        worst = max(worst, abs(g - f) / f if f > 0 else abs(g))
    return worst


R_GAS = 8.314462618  # J/(mol K)


def heat_of_absorption(system: Any, state: Any, gas: str) -> float:
    """Differential heat of absorption of ``gas`` [J per mol of gas] released when the liquid
    takes up a little more of it at T: R T^2 (d ln f_gas / dT) at fixed apparent composition
    (the exact derivative), positive where absorption is exothermic."""
    if gas not in state.partial_pressures:
        raise ValueError(
            f"{gas!r} is not a volatile component of this liquid (volatile: "
            f"{', '.join(state.partial_pressures)})"
        )
    jac = state.jacobian()
    jac = jac.liquid or jac  # next to solids: the liquid's own, the solids held
    f = state.partial_pressures[gas]
    return R_GAS * state.T**2 * jac.of("partial_pressures", "T")[gas] / f


def heat_of_absorption_balance(system: Any, state: Any, gas: str, step: float = 1e-4) -> float:
    """The same heat from the package's liquid enthalpy: h_ig(gas, T) - dH_liquid/dn_gas at T,
    the partial molar enthalpy by a central difference of ``step`` (relative to the liquid's
    total apparent amount) between two speciated liquids. J per mol of gas."""
    import velmora.brinequil as bq
    from velmora import phasekit

    el, pp = system.model, system.pp
    T = state.T
    app = dict(state.apparent)
    d = step * sum(app.values())

    def H(delta):
        a = dict(app)
        a[gas] = a.get(gas, 0.0) + delta
        liq = system.liquid(T, a)
        n = np.array([liq.amounts[s] for s in system._info.names], dtype=float)
        return bq.liquid_enthalpy(el, pp, n, T, 101325.0, el.pure)

    if app.get(gas, 0.0) > 2.0 * d:  # J/kmol
        h_bar = (H(d) - H(-d)) / (2.0 * d)
    else:  # second-order one-sided
        h_bar = (-3.0 * H(0.0) + 4.0 * H(d) - H(2.0 * d)) / (2.0 * d)
    h_ig = phasekit._ig_terms(float(T), pp.cpig_kind, pp.cpig, pp.DHFORM)[0]
    k = list(pp.components).index(gas)
    return (float(h_ig[k]) - h_bar) / 1000.0


class FlashJacobian:
    """Derivatives of a TP flash result: ``wrt`` (["T", "P", *components]) and, per quantity,
    an array with one column per entry of ``wrt``: ``vapor_fraction`` (wrt), ``x`` and
    ``vapor`` (components x wrt), with solids ``solids`` (``present`` x wrt, mol per mol of
    feed). Per K, per Pa, per mol of a component added to the flash's feed (1 mol in all)."""

    def __init__(self, wrt: list[str], components: list[str], arrays: dict[str, Any]) -> None:
        self.wrt = wrt
        self.components = components
        self.arrays = arrays
        self.present: list[str] = []  # with solids: the solids of "solids"

    def of(self, quantity: str, wrt: str) -> Any:
        """d quantity / d wrt: a {component: value} mapping, or a float for vapor_fraction."""
        if quantity not in self.arrays:
            raise ValueError(
                f"no derivatives of {quantity!r} (available: {', '.join(self.arrays)})"
            )
        if wrt not in self.wrt:
            raise ValueError(
                f"no derivatives with respect to {wrt!r} (available: {', '.join(self.wrt)})"
            )
        col = self.arrays[quantity][..., self.wrt.index(wrt)]
        if quantity == "vapor_fraction":
            return float(col)
        return dict(zip(self.present if quantity == "solids" else self.components, col.tolist()))


def flash_jacobian(system: Any, result: Any) -> FlashJacobian:
    """The derivatives of a two-phase TP flash ``result`` of ``system``.

    Per mol of feed z, the vapor amounts v of the volatile components solve
    G_c = ln f_L,c(z - v, T) - ln (v_c / V) - ln P = 0 (ideal vapor); dv/dtheta =
    -(dG/dv)^-1 dG/dtheta with the liquid's exact derivatives (``liquid_jacobian``). With
    solids (``solids_flash_jacobian``) the same for the fluid, the solids held saturated."""
    if system.pp.vapor != "ideal":
        raise ValueError(
            f"flash derivatives need the ideal vapor (this system's vapor model is "
            f"{system.pp.vapor!r})"
        )
    if getattr(result, "solids", None):
        return solids_flash_jacobian(system, result)
    comps = list(system.components)
    z = np.array([result.feed[c] for c in comps])
    dbeta, dx, dvap = _fluid_flash(system, result, z, result.vapor_fraction)
    return FlashJacobian(
        ["T", "P"] + comps, comps, {"vapor_fraction": dbeta, "x": dx, "vapor": dvap}
    )


def _fluid_flash(system: Any, result: Any, z: Any, beta: float) -> tuple[Any, Any, Any]:
    """d (vapor fraction, x, vapor) / d (T, P, feed) of the vapor-liquid split of ``result``
    whose feed is z (1 mol in all, an array over the components) at the vapor fraction beta;
    per mol of a component added to that feed."""
    if not 0.0 < beta < 1.0:
        raise ValueError(
            f"derivatives of a one-phase flash result (vapor fraction {beta:g}) "
            f"are not available: they exist inside the two-phase region"
        )
    comps = list(system.components)
    liq = result.liquid
    jac = liq.jacobian()
    vol = [c for c in liq.partial_pressures if result.vapor.get(c, 0.0) > 0.0]
    nc, nv = len(comps), len(vol)
    A = 1.0 - beta  # liquid, mol per mol of feed
    v = np.array([beta * result.vapor[c] for c in vol])
    V = float(v.sum())
    # L[c, k] = d ln f_c / d a_k at a = A x (ln f is of degree 0 in a: the state's / A)
    L = np.zeros((nv, nc))
    for i, c in enumerate(vol):
        f = liq.partial_pressures[c]
        for k, comp in enumerate(comps):
            if comp in jac.wrt:
                L[i, k] = jac.of("partial_pressures", comp)[c] / f / A
    dlnf_T = np.array([jac.of("partial_pressures", "T")[c] / liq.partial_pressures[c] for c in vol])
    col = [comps.index(c) for c in vol]
    Gv = -L[:, col] - np.diag(1.0 / v) + 1.0 / V
    rhs = np.column_stack([dlnf_T, np.full(nv, -1.0 / result.P), L])
    dv = -np.linalg.solve(Gv, rhs)  # vapor amounts x ["T", "P", *comps]
    nw = 2 + nc
    dZ = np.zeros(nw)
    dZ[2:] = 1.0
    dV = dv.sum(axis=0)
    dbeta = dV - V * dZ  # beta = V / Z at Z = 1
    dvap = np.zeros((nc, nw))
    dx = np.zeros((nc, nw))
    dv_all = np.zeros((nc, nw))
    dv_all[col] = dv
    for k, c in enumerate(comps):
        vk = v[vol.index(c)] if c in vol else 0.0
        dvap[k] = (dv_all[k] - vk * dV / V) / V if c in vol else 0.0
        a_k = z[k] - vk
        da = -dv_all[k]
        da[2 + k] += 1.0
        dA = dZ - dV
        dx[k] = (da - a_k * dA / A) / A
    return dbeta, dx, dvap


def _not_at_an_edge(si: Any, present: list[str], what: str) -> None:
    """ValueError where a solid that is not ``present`` is saturated (|SI| <= SI_TOL): the
    ``what`` lies where it begins to form, and its derivatives differ on either side."""
    from .checks import SI_TOL

    edge = [f"{k} (SI {v:.2g})" for k, v in si.items() if abs(v) <= SI_TOL and k not in present]
    if edge:
        raise ValueError(
            "the liquid is saturated with " + ", ".join(edge) + f" without holding it: the "
            f"{what} lies where that solid begins to form, and its derivatives differ on "
            "either side"
        )


def _singular(M: Any, A: Any, C: Any) -> bool:
    """Whether the solids' matrix M = A' C^T is singular on the scale of what makes it up: A
    (indices x components) the sizes of the indices' derivatives, C the solids' content (the
    rows of M scaled by those of A, its columns by those of C; a relative singular value below
    1e-6, or not finite: a salt and water boiling together give 4e-14, 3e-8 at a vapor fraction
    of 7e-9, where a brine of two salts with halite gives 0.27, calcite with CO2 0.64)."""
    scale = np.outer(np.linalg.norm(A, axis=1), np.linalg.norm(C, axis=1))
    with np.errstate(divide="ignore", invalid="ignore"):
        rel = M / scale
    return not np.all(np.isfinite(rel)) or np.linalg.svd(rel, compute_uv=False).min() < 1e-6


def _in_form(B: Any, F: Any) -> Any:
    """The matrix that writes a change of the components (same invariants B @ dF) in the
    components the fluid F holds (above 1e-12 of it), where those carry it exactly; the other
    columns as they are."""
    on = np.flatnonzero(F > 1e-12 * float(F.sum()))
    R = np.eye(len(F))
    for j in range(len(F)):
        if j in on:
            continue
        c, *_ = np.linalg.lstsq(B[:, on], B[:, j], rcond=None)
        if np.allclose(B[:, on] @ c, B[:, j], rtol=0.0, atol=1e-12 * np.abs(B[:, j]).sum()):
            R[:, j] = 0.0
            R[on, j] = c
    return R


def solids_flash_jacobian(system: Any, result: Any) -> FlashJacobian:
    """The derivatives of a vapor-liquid-solid TP flash: the fluid F = z - C^T s (C: the
    present solids' content in the components, s their amounts per mol of feed) splits as a
    two-phase flash of F / sum F (``_fluid_flash``; its intensive results of degree 0 in F),
    and the solids stay saturated, SI_k(x(T, P, F), T) = 0: (S_F C^T) ds = S_F dz + S_T dT +
    S_P dP with S the total derivatives of the indices through the liquid's x. Per mol of
    feed: the vapor fraction V / Z (V = beta_fluid sum F), x, vapor and the solids (s / Z).
    Raises ValueError where it is not differentiable (as ``with_solids``)."""
    ss = system.solids
    comps = list(system.components)
    nc = len(comps)
    present = list(result.solids)
    rows = [ss.index(k) for k in present]
    C = ss.content[rows]  # present solids x components
    s = np.array([result.solids[k] for k in present])
    z = np.array([result.feed[c] for c in comps])
    F = z - C.T @ s
    R = None  # where the fluid is written in another form: a change of the feed in that form
    if np.any(F < 0.0):
        # the flash wrote its fluid in another form, the same atoms and no component below 0
        # (calcite through CO2 in a water whose carbonate is NaHCO3): that fluid, L x + V y
        x = np.array([result.x[c] for c in comps])
        y = np.array([result.vapor[c] for c in comps])
        B, V = ss.comp_b, result.vapor_fraction
        L = np.linalg.lstsq((B @ x)[:, None], B @ F - V * (B @ y), rcond=None)[0][0]
        F = L * x + V * y
        R = _in_form(B, F)
    tot = float(F.sum())
    beta_f = result.vapor_fraction / tot
    liq = result.liquid
    _not_at_an_edge(liq.saturation_indices, present, "flash")
    dbeta_f, dx, dvap = _fluid_flash(system, result, F / tot, beta_f)
    dx[:, 2:] /= tot  # per mol added to F (degree 0 in F)
    dvap[:, 2:] /= tot
    dbeta_f[2:] /= tot
    # the indices through x: SI is of degree 0 in the liquid's amounts, x a perturbation of them
    ljac = liq.jacobian()
    lcols = [ljac.wrt.index(c) for c in comps]
    dsi = ljac.arrays["saturation_indices"][rows]
    S = dsi[:, lcols] @ dx  # present solids x (T, P, F)
    S[:, 0] += dsi[:, ljac.wrt.index("T")]
    M = S[:, 2:] @ C.T
    if _singular(M, dsi[:, lcols] / tot, C):
        raise ValueError(
            "the phases fix the liquid at this T and P whatever the solids' amounts (as many "
            "phases as the components allow: a salt and water boil together at one T for a "
            "given P, and the split between them is not a function of T and P): the "
            "derivatives of this flash do not exist"
        )
    ds = np.linalg.solve(M, S)  # present solids x (T, P, z)
    dF = -C.T @ ds  # components x (T, P, z)
    dF[:, 2:] += np.eye(nc)
    if R is not None:
        # the fluid's change in its own form, as the flashes nearby write it (nahcolite,
        # NaHCO3 = Na2CO3/2 + CO2/2 + H2O/2 in its content, out of a NaOH-CO2 water: its
        # Na2CO3 taken from a fluid of H2O, CO2 and NaOH gave d x_NaOH / d z_H2O = -0.10
        # where the liquid beside nahcolite and a vapor is fixed at T and P)
        dF = R @ dF

    def through(q: Any) -> Any:  # a fluid quantity's total derivative
        out = q[..., 2:] @ dF
        out[..., :2] += q[..., :2]
        return out

    nw = 2 + nc
    dZ = np.zeros(nw)
    dZ[2:] = 1.0
    beta_total = beta_f * tot
    dbeta = tot * through(dbeta_f) + beta_f * dF.sum(axis=0) - beta_total * dZ
    dsolids = ds - np.outer(s, dZ)
    arrays = {"vapor_fraction": dbeta, "x": through(dx), "vapor": through(dvap), "solids": dsolids}
    out = FlashJacobian(["T", "P"] + comps, comps, arrays)
    out.present = present
    return out


# -- enthalpy ----------------------------------------------------------------------------------
# The liquid enthalpy of the core, differentiated as it is implemented: per component species
# the ideal gas plus its liquid reference (-R T^2 d ln f0/dT, the Henry constants weighted by
# the solvents' x Vc^(2/3) over the components' true mole fractions), per ion its enthalpy at
# infinite dilution (DHF_AQ + integral of CP_AQ from 298.15 K), and the excess
# -R T^2 sum n_i L_i with L the core's central difference of ln gamma over T +- _DT_EXCESS.
# Differentiating that difference exactly needs the activity model's analytic derivatives at
# T +- _DT_EXCESS, no further differences.
_DT_EXCESS = 0.05  # K, the core's step of d ln gamma / dT in the excess enthalpy
_T_AQ = 298.15  # K, reference T of the ions' CP_AQ integral


def _d2lnpsat_dT2(c, T):
    curv = c[5] * c[6] * (c[6] - 1.0) * T ** (c[6] - 2.0)
    return 2.0 * c[1] / (T + c[2]) ** 3 - c[4] / T**2 + curv


def _d2lnH_dT2(p, T):
    d = 2.0 * p[1] / T**3 - p[2] / T**2
    return d + 6.0 * p[4] / T**4 if len(p) > 4 else d


def _cp_ig(pp: Any, T: float) -> np.ndarray:
    """d h_ig / dT [J/(kmol K)] of every component of the package (its ideal-gas forms)."""
    comps = pp.components
    single = isinstance(pp.cpig_kind, str)
    out = np.zeros(len(comps))
    for k in range(len(comps)):
        kind = pp.cpig_kind if single else pp.cpig_kind[k]
        c = [float(v) for v in pp.cpig[k]]
        if kind == "poly":
            out[k] = sum(ck * T**j for j, ck in enumerate(c))
        else:  # Aly-Lee: A + B ((C/T)/sinh(C/T))^2 + D ((E/T)/cosh(E/T))^2
            A, B, C, D, E = (c + [0.0] * 5)[:5]
            u, v = C / T, E / T
            out[k] = A + (B * (u / math.sinh(u)) ** 2 if C else B)
            out[k] += D * (v / math.cosh(v)) ** 2 if E else D
    return out


def _enthalpy_plan(system: Any) -> Any:
    """(the components' species positions, each component's reference: ("henry", [(A's
    component position or -1, Vc_A^(2/3), ln H coefficients)]), ("antoine", coefficients) or
    ("fixed", dhref), the ions' and complexes' (position, DHF_AQ, CP_AQ coefficients)) of
    ``enthalpy_gradient``: built once per system from its tables, as ``_compiled_plan``."""
    el, info, pp = system.model, system._info, system.pp
    known = info.__dict__.get("_enthalpy_plan")
    if known is not None and known[0] is el:
        return known[1]
    names = list(info.names)
    comps = list(pp.components)
    pos = [names.index(c) if c in names else -1 for c in comps]
    refs: list[tuple[str, Any]] = []
    for c in comps:
        if c in pp.henry_comps:
            pairs = [(A, [float(v) for v in p]) for (h, A), p in pp.henry.items() if h == c]
            if pairs:
                at = [comps.index(A) if A in comps else -1 for A, _ in pairs]
                vw = [pp.vc.get(A, 0.1) ** (2.0 / 3.0) for A, _ in pairs]
                refs.append(("henry", [(i, v, p) for i, v, (_, p) in zip(at, vw, pairs)]))
                continue
        elif c in pp.antoine:
            coeffs = [float(v) for v in pp.antoine[c]]
            cpl = getattr(pp, "cpl", {}).get(c)
            refs.append(("antoine", coeffs) if cpl is None else ("liquid_cp", (coeffs, *cpl)))
            continue
        refs.append(("fixed", float(pp.dhref.get(c, 0.0))))
    aq = []
    for i, (s, ion) in enumerate(zip(names, el.sp.ion)):
        rec = el.pure.get(s) if ion or i not in pos else None
        if rec is None or (not ion and "DHF_AQ" not in rec["scalar"]):
            continue
        c = [float(v) for v in rec["tdep"]["CP_AQ"]["coeffs"]]
        aq.append((i, float(rec["scalar"]["DHF_AQ"][0]), c))
    plan = (pos, refs, aq)
    info.__dict__["_enthalpy_plan"] = (el, plan)
    return plan


def prepared_enthalpy(system: Any) -> Any:
    """The engine's liquid enthalpy of ``system`` with its data read once
    (``brinequil._LiquidEnthalpy``: H and its gradient), made once per system as
    ``_enthalpy_plan``; None where its data cannot be read (``liquid_enthalpy`` then raises
    what it raises)."""
    info = system._info
    el = system.model
    known = info.__dict__.get("_prepared_enthalpy")
    if known is not None and known[0] is el:
        return known[1]
    import velmora.brinequil as bq

    try:
        prepared = bq._LiquidEnthalpy(el, system.pp, el.pure)
    except (ValueError, TypeError, KeyError, IndexError, AttributeError):
        prepared = None
    info.__dict__["_prepared_enthalpy"] = (el, prepared)
    return prepared


def _reference_enthalpies(
    refs: Any, T: float, xa: Any, rise_ig: Any = None, cp_ig: Any = None
) -> tuple[Any, Any, Any]:
    """(dh, d dh/dT, d dh/d xa) of the liquid references of the components [J/kmol]: the
    enthalpy of phasekit's reference and its exact derivatives (refs: ``_enthalpy_plan``'s;
    rise_ig, cp_ig: the components' ideal-gas enthalpy above T_REF and heat capacity at T, which
    a solvent with a liquid heat capacity needs)."""
    from velmora import phasekit

    nc = len(refs)
    R = float(phasekit.R)
    dh, dT, dx = np.zeros(nc), np.zeros(nc), np.zeros((nc, nc))
    for k, (kind, ref) in enumerate(refs):
        if kind == "henry":
            w = [(xa[i] if i >= 0 else 0.0) * v for i, v, _ in ref]
            fixed = not sum(w) > 0.0  # no solvent of c in the liquid: the solvents alike
            if fixed:
                w = [v for _, v, _ in ref]
            tot = sum(w)
            d = [-R * T * T * _dlnH_dT(p, T) for _, _, p in ref]
            dd = [-R * (2.0 * T * _dlnH_dT(p, T) + T * T * _d2lnH_dT2(p, T)) for _, _, p in ref]
            dh[k] = sum(wi * di for wi, di in zip(w, d)) / tot
            dT[k] = sum(wi * di for wi, di in zip(w, dd)) / tot
            if not fixed:
                for (i, v, _), di in zip(ref, d):
                    if i >= 0:
                        dx[k, i] += v * (di - dh[k]) / tot
        elif kind == "antoine":
            dh[k] = -R * T * T * _dlnpsat_dT(ref, T)
            dT[k] = -R * (2.0 * T * _dlnpsat_dT(ref, T) + T * T * _d2lnpsat_dT2(ref, T))
        elif kind == "liquid_cp":  # phasekit's reference and its T-derivative
            coeffs, t0, c = ref
            dh[k] = phasekit._liquid_cp_dh(coeffs, t0, c, T, rise_ig[k])
            dT[k] = sum(cj * (T - t0) ** j for j, cj in enumerate(c)) - cp_ig[k]
        else:
            dh[k] = ref
    return dh, dT, dx


def enthalpy_gradient(system: Any, n: Any, T: float) -> tuple[Any, float]:
    """(dH/dn [J/kmol per species], dH/dT at fixed n [J/(kmol K) times the unit of n]) of the
    core's liquid enthalpy H(n, T) [J/kmol times the unit of n]."""

    from velmora import phasekit

    el, pp = system.model, system.pp
    n = np.asarray(n, dtype=float)
    prepared = prepared_enthalpy(system)
    if prepared is not None:  # the engine's, where the activity model is its compiled one
        got = prepared.gradient(el.sp, el.options, bool(el.options.get("fixed_Y", True)), n, T)
        if got is not None:
            return got[0], float(got[1])
    # the same in Python: another activity model, or data the engine does not read
    pos, refs, aq = _enthalpy_plan(system)
    R = float(phasekit.R)
    N = float(n.sum())
    x = n / N
    sub = np.array([n[p] if p >= 0 else 0.0 for p in pos])
    M = float(sub.sum())
    xa = sub / M
    h_ig = np.asarray(phasekit._ig_terms(float(T), pp.cpig_kind, pp.cpig, pp.DHFORM)[0])
    cp = _cp_ig(pp, T)
    dh, ddh_dT, ddh_dxa = _reference_enthalpies(refs, T, xa, h_ig - np.asarray(pp.DHFORM), cp)
    g = np.zeros(len(n))
    dT = 0.0
    # components: n_c (h_ig + dh(xa)), xa_k = n_pos(k) / M
    through = sub @ ddh_dxa  # sum_c n_c d dh_c / d xa_k
    corr = float(through @ xa)
    for k, p in enumerate(pos):
        if p < 0:
            continue
        g[p] += h_ig[k] + dh[k] + (through[k] - corr) / M
        dT += n[p] * (cp[k] + ddh_dT[k])
    # ions, and the complexes (no component, an aqueous formation enthalpy), at infinite dilution
    for i, dhf, c in aq:
        g[i] += dhf + sum(
            ck / (j + 1) * (T ** (j + 1) - _T_AQ ** (j + 1)) for j, ck in enumerate(c)
        )
        dT += n[i] * sum(ck * T**j for j, ck in enumerate(c))
    # excess: -R T^2 sum_i n_i L_i, L = (ln gamma(T+d) - ln gamma(T-d)) / 2d at fixed x
    core, opts, d = el.sp._core, el.options, _DT_EXCESS
    if opts.get("fixed_Y", True):
        lng_up, J_up, lT_up = core.ln_gamma_derivatives(x, T + d, opts)
        lng_dn, J_dn, lT_dn = core.ln_gamma_derivatives(x, T - d, opts)
        dL_dn = (J_up - J_dn) / (2.0 * d) / N  # d L_j / d n_i, degree -1 in n
        through_L = n @ dL_dn
    else:
        # free ion fractions: ln gamma is the gradient of F = n G^ex/RT, so sum_i n_i ln gamma_i
        # = F and its gradient is ln gamma itself (n @ dL_dn = 0, Gibbs-Duhem): d/dT alone
        lng_up, _, lT_up = core.ln_gamma_derivatives(x, T + d, opts, [len(n)])
        lng_dn, _, lT_dn = core.ln_gamma_derivatives(x, T - d, opts, [len(n)])
        through_L = 0.0
    L = (np.asarray(lng_up) - np.asarray(lng_dn)) / (2.0 * d)
    g += -R * T * T * (L + through_L)
    dT += -R * (2.0 * T * float(n @ L) + T * T * float(n @ ((lT_up - lT_dn) / (2.0 * d))))
    return g, dT


def with_enthalpy(system: Any, state: Any, enthalpy_of: Any) -> LiquidJacobian:
    """``liquid_jacobian`` with the derivatives of the state's enthalpy H (worked out when
    first asked for; ``enthalpy_of(state._enthalpy_of, T)`` is the state's H)."""
    app, solids = _given_of(state)
    # on first use: the enthalpy's gradient costs two more activity-model Jacobians. The state
    # holds its Jacobian, so this holds the state weakly (a cycle would leave both to the
    # cycle collector); once the state is gone, its H is worked out as the state would have
    live, T = weakref.ref(state), state.T
    of = state.__dict__.get("_enthalpy_of")
    known = state.H if of is None else math.nan

    def H_now() -> float:
        alive = live()
        return alive.H if alive is not None else known if of is None else enthalpy_of(of, T)

    def enthalpy(arrays: Any) -> Any:
        return enthalpy_derivatives(system, n, T, app, H_now(), arrays["amounts"])

    # (n, the state's true amounts, set before the Jacobian is returned)
    jac, n = _liquid_jacobian(system, state, bool(solids), {"H": enthalpy}, (app, solids))
    return with_solids(system, state, jac, H_now) if solids else jac


def with_solids(
    system: Any, state: Any, liquid: LiquidJacobian, H_of: Any = None
) -> LiquidJacobian:
    """The derivatives of a liquid in equilibrium with solids with respect to T and its feed,
    from those of its liquid alone (``liquid``: with respect to the dissolved part a). The
    present solids stay saturated, SI_k(a, T) = 0, with a = feed - C^T s (C: their content in
    the components, a row each; s their amounts): (A C^T) ds = A dfeed + (dSI/dT) dT with
    A = dSI/da, da = dfeed - C^T ds, and every quantity of the liquid follows by the chain
    rule. ``solids`` {present solid: ds}. Raises ValueError where the state is not
    differentiable: an absent solid exactly saturated (the state lies where it begins to form)
    or present solids whose saturation does not fix their amounts. ``H_of()``: the state's H
    [J/mol of its apparent liquid], for its derivative where that liquid is written in other
    components than feed - C^T s (see ``_rewritten``)."""
    ss = system.solids
    present = list(state.solids)
    _not_at_an_edge(state.saturation_indices, present, "state")
    comps = list(system.components)
    cols = [0] + [1 + liquid.wrt[1:].index(c) for c in comps]  # (T, components) in that order
    rows = [ss.index(k) for k in present]
    dsi = liquid.arrays["saturation_indices"][:, cols]
    C = ss.content[rows]  # present solids x components
    A = dsi[rows, 1:]
    M = A @ C.T
    if _singular(M, A, C):
        raise ValueError(
            "the saturation of " + ", ".join(present) + " does not fix their amounts (their "
            "equations are dependent): their derivatives do not exist"
        )
    ds = np.linalg.solve(M, dsi[rows])  # present solids x (T, feed)
    chain = np.eye(len(cols))  # d(T, a) / d(T, feed)
    chain[1:] -= C.T @ ds

    def composed(v: Any) -> Any:
        return v[..., cols] @ chain

    arrays = {k: composed(v) for k, v in dict.items(liquid.arrays)}
    arrays["solids"] = ds
    dissolved = chain[1:]
    lazy = {"H": lambda _: composed(liquid.arrays["H"])}
    rewritten = _rewritten(system, state, C, chain[1:])
    if rewritten is not None:
        # H is per mol of the apparent liquid as the state writes it, whose total moves as
        # that form's amounts do, not as feed - C^T s: the liquid's column j holds
        # (dH_tot/da_j - H) / total, so the chain rule through feed - C^T s leaves
        # H (sum(d(feed - C^T s)) - sum(d apparent)) / total to add
        dissolved = rewritten
        arrays.pop("H", None)  # (composed through feed - C^T s where the liquid had it already)
        extra = (chain[1:].sum(axis=0) - rewritten.sum(axis=0)) / math.fsum(state.apparent.values())
        if H_of is not None:
            lazy = {"H": lambda _: composed(liquid.arrays["H"]) + H_of() * extra}
        else:  # (a liquid Jacobian without the state's H: no H to follow the form)
            lazy = {}
    out = LiquidJacobian(
        ["T", *comps],
        liquid.species,
        liquid.volatile,
        _lazy_arrays(arrays, lazy),
        liquid.solids,
        present,
    )
    out.liquid = liquid  # the liquid alone: the solids' amounts held
    out.dissolved = dissolved
    return out


def _rewritten(system: Any, state: Any, C: Any, plain: Any) -> Any:
    """d(the state's apparent liquid) / d(T, feed) (components x (T, components)) where
    ``solids.dissolved`` wrote it in other components than feed - C^T s (nahcolite out of
    NaOH and CO2 leaves NaHCO3 < 0, written as less NaOH and CO2), else None. That form holds
    the same atoms on the components it keeps (those not at 0): its amounts follow the atoms'
    derivatives B (d(feed - C^T s)), ``plain``, by least squares on those components."""
    comps = list(system.components)
    app = np.array([state.apparent[c] for c in comps])
    feed = np.array([state.feed[c] for c in comps])
    s = np.array([state.solids[k] for k in state.solids])
    if not np.any(np.abs(feed - C.T @ s - app) > 1e-9 * float(np.abs(feed).max())):
        return None
    B = system.solids.comp_b
    keep = np.flatnonzero(app != 0.0)
    out = np.zeros_like(plain)
    out[keep] = np.linalg.lstsq(B[:, keep], B @ plain, rcond=None)[0]
    return out


def enthalpy_derivatives(system: Any, n: Any, T: float, app: Any, H: float, dn: Any) -> Any:
    """d H / d (T, components) of a liquid state's H [J per mol of the apparent liquid
    ``app``; true amounts n at T], exact: the enthalpy's gradient along the true amounts'
    derivatives dn (species x (T, components), as the Jacobian's ``amounts``)."""
    total = math.fsum(app.values())
    g, dT = enthalpy_gradient(system, n, T)
    dH = g @ dn  # J/kmol per unit of the inputs
    dH[0] += dT
    dH /= 1000.0  # J/kmol -> J/mol, as the state's H
    out = dH / total
    out[1:] -= H / total  # the state's H is per mol of its apparent amounts
    return out
