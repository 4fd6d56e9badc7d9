"""Liquid states: the named results of one speciated liquid.

Conventions:

- Mole-fraction activity coefficients ``gamma`` are the model's own: solvents (water, amines) on
  the pure liquid, ions on infinite dilution in water, molecular solutes (CO2, N2, ...) on their
  pure liquid; ``gamma_molal`` puts every solute (ions and Henry components) on the molality
  scale, infinite dilution in water: ln gamma_m = ln gamma_x - ln gamma_x(infinite dilution in
  water) + ln x_water (the last term converts mole fraction to molality).
- ``activity``: x gamma for the solvents, m gamma_m [mol/kg over 1 mol/kg] for the solutes.
- pH = -log10 of the molal activity of the hydrogen ion, a_H+ = a_H3O+ / a_w (H3O+ = H+ + H2O,
  the convention of the water equilibrium 2 H2O = H3O+ + OH- and its constant).
- Ionic strength I = 1/2 sum m_i z_i^2 [mol/kg]; osmotic coefficient
  phi = -ln a_w / (M_w sum m_i), with water the solvent and every other true species a solute.
- Mean ionic activity coefficient of a salt C_p A_q (molality scale):
  ln gamma_+- = (p ln gamma_m,C + q ln gamma_m,A) / (p + q).
- Partial pressures are the liquid fugacities of the volatile components (ideal gas), their
  sum the bubble pressure [Pa], and ``vapor`` the mole fractions of the vapor in equilibrium.
"""

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from . import checks
from .brinequil import _WarmStart
from .derivatives import cached_jacobian, prepared_enthalpy, with_enthalpy
from .errors import ConvergenceError, solve_failed

if TYPE_CHECKING:
    import pandas

    from .derivatives import LiquidJacobian


class LiquidState:
    """One liquid at T in chemical equilibrium (and the vapor it would be in equilibrium with).

    Per-species mappings (true species, in the model's order): ``amounts`` (unit of the input
    amounts; mol for molalities and mass fractions), ``x``, ``molality`` [mol/kg water; solutes
    only], ``ln_gamma`` / ``gamma`` (mole-fraction scale, the model's references),
    ``gamma_molal`` (molality scale; solutes only), ``activity``.
    Scalars: ``T`` [K], ``pH``, ``ionic_strength`` [mol/kg], ``water_activity``,
    ``osmotic_coefficient``, ``bubble_pressure`` [Pa], ``H`` (enthalpy [J per mol of the
    apparent liquid], on the core's formation-enthalpy references, as a flash's ``H``; worked out
    when first read). Per component: ``apparent`` (input
    amounts), ``partial_pressures`` [Pa], ``vapor`` (mole fractions). Per salt:
    ``gamma_mean``; per species ``charges``. ``residual``: the largest residual of the check of
    this answer.
    Everything but ``T``, ``apparent``, ``feed``, ``solids`` and ``residual`` is worked out from
    the speciation when first read (the per-species mappings, the partial pressures and the
    saturation indices together, then the activity scales, pH, ionic strength, osmotic and mean
    activity coefficients); of ``System.liquid``'s usual call, ``apparent``, ``feed`` and
    ``solids`` too (together); a pickled state carries them all.
    Per solid of the system (``System.solids``): ``saturation_indices`` (log10 IAP/Ksp, molality
    convention, -inf for a solid of an element the liquid lacks; see ``velmora.solids``). After
    a solid-liquid equilibrium (``System.liquid(..., solids=True)``): ``solids`` {solid: amount
    precipitated}, ``feed`` (the apparent amounts given; ``apparent`` is then the dissolved part),
    ``balance`` (largest element or charge imbalance of feed = liquid + solids, relative) and
    ``iterations``.
    """

    T: float
    apparent: dict[str, float]
    species: list[str]
    amounts: dict[str, float]
    x: dict[str, float]
    ln_gamma: dict[str, float]
    partial_pressures: dict[str, float]
    bubble_pressure: float
    vapor: dict[str, float]
    residual: float
    saturation_indices: dict[str, float]
    solids: dict[str, float]
    feed: dict[str, float]
    # worked out on first use (``__getattr__``)
    gamma: dict[str, float]
    molality: dict[str, float]
    gamma_molal: dict[str, float]
    activity: dict[str, float]
    water_activity: float
    pH: float | None  # None without H3O+ in the liquid
    ionic_strength: float
    osmotic_coefficient: float
    charges: dict[str, float]
    gamma_mean: dict[str, float]
    H: float
    # after a solid-liquid equilibrium only
    balance: float
    iterations: int

    def __init__(
        self,
        system: Any,
        apparent: dict[str, float],
        T: float,
        n: Any,
        lng: Any,
        f: dict[str, float],
        residual: float,
        unit: tuple[dict[str, float], float, float] | None = None,
        water_checked: bool = False,
        total_of: list[float] | None = None,
    ) -> None:
        # unit: as _in_unit(*unit) makes the state, without the copies it replaces; then
        # ``apparent`` is the caller's private per-mole liquid, whose total is added up when H is
        # read (otherwise now: the caller's mapping may change after). total_of: ``apparent``
        # made for this state alone, kept as it is, and its values in a list of the caller's
        # own, added up when H is read
        if not water_checked:  # (the core's one-call liquid checks it with the speciation)
            checks.true_water(system, n, lng, T)
        total: float | dict[str, float] | list[float]
        if total_of is not None:
            feed, ab, total = apparent, None, total_of
        elif unit is None:
            feed, ab, total = dict(apparent), None, math.fsum(apparent.values())
        else:
            feed, ab, total = unit[0], unit[1:], apparent
        self.T = float(T)
        self.apparent = feed
        self.residual = float(residual)
        self.solids, self.feed = {}, dict(feed)  # set by a solid-liquid equilibrium
        # the named per-species results and everything after them: worked out when one of them
        # is first read (most callers read a few values, many none)
        self._raw = (system, n, lng, f)
        self._unit: tuple[float, float] | None = ab  # (a, b) of ``_in_unit`` until used
        self._system = system  # for the derivatives; not pickled
        self._enthalpy_of = (system, n, total)

    def _named(self):
        """The per-species and per-component results of the raw speciation."""
        system, n, lng, f = self.__dict__.pop("_raw")
        names = system._info.names
        n = np.asarray(n, dtype=float)
        lng = np.asarray(lng, dtype=float)
        x = n / n.sum()
        # plain floats from here (the same arithmetic as on the arrays' elements, cheaper)
        nl, xl, lngl = n.tolist(), x.tolist(), lng.tolist()
        self.species = list(names)
        self.amounts = dict(zip(names, nl))
        if self._unit is not None:
            self.amounts = _scaled(self.amounts, *self._unit)
        self.x = dict(zip(names, xl))
        self.ln_gamma = dict(zip(names, lngl))
        self.partial_pressures = {c: float(v) for c, v in f.items()}
        self.bubble_pressure = math.fsum(self.partial_pressures.values())
        P = self.bubble_pressure
        self.vapor = {c: (v / P if P > 0 else 0.0) for c, v in self.partial_pressures.items()}
        app = self.apparent
        self.saturation_indices = system.solids.saturation_indices(
            self.T, n, lng, [app.get(c, 0.0) for c in system.components]
        )
        # the activity scales, pH, ionic strength, osmotic and mean activity coefficients: worked
        # out when one of them is first read (a solve that reads a few values skips the rest)
        self._pending = (system, nl, xl, lngl)

    def _speciation(self) -> tuple[np.ndarray, dict[str, float]]:
        """(true amounts in the species' order and the unit of ``amounts``, the liquid
        fugacities {component: Pa}): the values of ``amounts`` and ``partial_pressures``, read
        from the raw speciation while the named mappings are not made yet."""
        n, fug, unit = self._speciation_unscaled()
        if unit is not None:  # as _scaled, element by element
            a, b = unit
            f = a * b
            n = n * f if f < math.inf else n * a * b
        return n, fug

    def _speciation_unscaled(self) -> tuple[Any, dict[str, float], tuple[float, float] | None]:
        """(true amounts, the liquid fugacities, unit): ``_speciation``'s values before the
        amounts are scaled by ``unit`` (a, b) to the unit of ``amounts`` (None: they are)."""
        raw = self.__dict__.get("_raw")
        if raw is None:
            amounts = self.amounts
            n = np.array([amounts[s] for s in self.species], dtype=float)
            return n, self.partial_pressures, None
        return np.asarray(raw[1], dtype=float), raw[3], self._unit

    def _given(self) -> None:
        """``apparent`` and ``feed`` (copies of the composition's amounts) and ``solids``
        (none) of a state that ``usual_state`` made: all three on the first read of any; a value
        set meanwhile stays."""
        d = self.__dict__
        app = d.pop("_apparent")  # (shared with the System's last composition: copied)
        d.setdefault("apparent", dict(app))
        d.setdefault("feed", dict(app))
        d.setdefault("solids", {})

    def __getattr__(self, name: str) -> Any:
        # reached only for a name not set yet: the derived values on their first use
        d = self.__dict__
        if name in _GIVEN and "_apparent" in d:
            self._given()
            return d[name]
        if name == "H" and "_enthalpy_of" in d:
            self.H = _enthalpy(d.pop("_enthalpy_of"), self.T)
            return self.H
        if "_raw" in d and (name in _NAMED or name in _DERIVED):
            self._named()
            if name in _NAMED:
                return d[name]
        pending = d.get("_pending")
        if pending is None or name not in _DERIVED:
            raise AttributeError(f"'LiquidState' object has no attribute {name!r}")
        self._derive(*pending)
        return self.__dict__[name]

    def __getstate__(self) -> dict[str, Any]:
        if "_apparent" in self.__dict__:
            self._given()
        if "_raw" in self.__dict__:
            self._named()
        if "_pending" in self.__dict__:
            self._derive(*self._pending)
        if "_enthalpy_of" in self.__dict__:
            self.H = _enthalpy(self.__dict__.pop("_enthalpy_of"), self.T)
        return {
            k: v
            for k, v in self.__dict__.items()
            if k not in ("_pending", "_system", "_jacobian", "_unit")
        }

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)

    def _derive(self, system, nl, xl, lngl):
        info = system._info
        names = info.names
        ion, solute, z_sq, charges = _species_constants(info)
        iw = info.iw
        kg_w = nl[iw] * info.mw["H2O"] / 1000.0
        lnx_w = math.log(xl[iw]) if xl[iw] > 0 else -math.inf
        ln_gamma_inf = ln_gamma_inf_water(system, self.T) if info.henry_idx else None
        # one pass over the species, each mapping in species order
        gamma, molality, gm, act = {}, {}, {}, {}
        solute = set(solute)
        strength = []
        for i, s in enumerate(names):
            g = gamma[s] = math.exp(lngl[i])
            if i != iw:
                m = molality[s] = nl[i] / kg_w if kg_w > 0 else math.inf
                if ion[i]:
                    strength.append(m * z_sq[i])
            if i in solute:
                ref = lngl[i] if ln_gamma_inf is None else lngl[i] - float(ln_gamma_inf[i])
                gm[s] = g_m = math.exp(ref + lnx_w)
                act[s] = molality[s] * g_m
            elif not ion[i]:
                act[s] = xl[i] * g
        msum = sum(molality.values())
        derived = {
            "gamma": gamma,
            "molality": molality,
            "gamma_molal": gm,
            "activity": act,
            "water_activity": act["H2O"],
            # H3O+ = H+ + H2O, as the water constant of the databank takes it: a_H+ = a_H3O+/a_w
            "pH": -math.log10(act["H3O+"] / act["H2O"]) if act.get("H3O+", 0.0) > 0 else None,
            "ionic_strength": 0.5 * sum(strength),
            "osmotic_coefficient": (
                -math.log(act["H2O"]) / (info.mw["H2O"] / 1000.0 * msum) if msum > 0 else 1.0
            ),
            "charges": dict(charges),
            "gamma_mean": {
                salt: math.exp((p * math.log(gm[c]) + q * math.log(gm[a])) / (p + q))
                for salt, c, a, p, q in _salt_constants(info, charges)
            },
        }
        self.__dict__.update(derived)
        self.__dict__.pop("_pending", None)

    # -- derivatives ----------------------------------------------------------------------------
    def jacobian(self) -> "LiquidJacobian":
        """Exact derivatives of this liquid with respect to T and the apparent amounts (see
        ``velmora.derivatives``), worked out on the first call and kept. A liquid in
        equilibrium with solids: with respect to T and its feed, the solids staying saturated
        (their amounts under "solids")."""
        jac = self.__dict__.get("_jacobian")
        return jac if jac is not None else cached_jacobian(self, "liquid state", _derivatives)

    def derivative(self, quantity: str, wrt: str) -> Any:
        """d quantity / d wrt, exact: quantity one of "amounts", "ln_gamma", "molality",
        "partial_pressures", "saturation_indices", "solids" (of a liquid in equilibrium with
        solids: their amounts; a {name: value} mapping), "pH" or "H" (the enthalpy, J per mol
        of apparent liquid; a float); wrt "T" [per K] or an apparent component [per unit of
        the state's amounts; of the feed where solids are present]."""
        return self.jacobian().of(quantity, wrt)

    def heat_of_absorption(self, gas: str) -> float:
        """Differential heat of absorption of ``gas`` [J/mol], positive where absorption
        releases heat: R T^2 d ln f_gas / dT at fixed apparent composition (exact)."""
        from .derivatives import heat_of_absorption

        return heat_of_absorption(self.__dict__.get("_system"), self, gas)

    def mean_gamma(self, cation: str, anion: str) -> float:
        """Mean ionic activity coefficient (molality scale) of the ion pair (cation, anion)."""
        p, q = _stoichiometry(self.charges, cation, anion)
        return math.exp(
            (p * math.log(self.gamma_molal[cation]) + q * math.log(self.gamma_molal[anion]))
            / (p + q)
        )

    def _in_unit(self, feed, a, b, dissolved=False):
        """The state of a liquid solved per mole, its amounts in the unit of ``feed`` (the
        caller's apparent amounts, kept): each amount times a b (see ``checks.liquid``).
        ``dissolved``: ``apparent`` is the dissolved part of the feed, scaled too."""
        if "_raw" in self.__dict__:
            self._unit = (a, b)  # applied when the amounts are worked out
        else:
            self.amounts = _scaled(self.amounts, a, b)
        if self.solids:
            self.solids = _scaled(self.solids, a, b)
        self.apparent = _scaled(self.apparent, a, b) if dissolved else feed
        self.feed = dict(feed)
        return self

    # -- output ---------------------------------------------------------------------------------
    def to_dict(self) -> dict[str, Any]:
        """Every result as plain Python values (mappings of floats)."""
        keys = (
            "T",
            "apparent",
            "amounts",
            "x",
            "molality",
            "ln_gamma",
            "gamma",
            "gamma_molal",
            "activity",
            "pH",
            "ionic_strength",
            "water_activity",
            "osmotic_coefficient",
            "gamma_mean",
            "partial_pressures",
            "bubble_pressure",
            "vapor",
            "residual",
            "saturation_indices",
            "solids",
            "feed",
        )
        return {
            k: (dict(v) if isinstance(v, dict) else v)
            for k, v in ((k, getattr(self, k)) for k in keys)
        }

    def to_frame(self) -> "pandas.DataFrame":
        """The per-species results as a pandas DataFrame (index: species)."""
        import pandas as pd  # optional (velmora[tables]), and slow to import

        cols = {
            "amount": self.amounts,
            "x": self.x,
            "molality [mol/kg]": self.molality,
            "ln_gamma": self.ln_gamma,
            "gamma": self.gamma,
            "gamma_molal": self.gamma_molal,
            "activity": self.activity,
        }
        return pd.DataFrame(
            {k: [v.get(s, math.nan) for s in self.species] for k, v in cols.items()},
            index=pd.Index(self.species, name="species"),
        )

    def __repr__(self) -> str:
        lines = [
            f"LiquidState at T = {self.T:.2f} K: pH {_fmt(self.pH)}, ionic strength "
            f"{self.ionic_strength:.4g} mol/kg, water activity {self.water_activity:.5g}, "
            f"bubble pressure {self.bubble_pressure:.6g} Pa"
        ]
        lines.append(f"  {'species':<10} {'x':>11} {'molality':>11} {'gamma':>10} {'gamma_m':>10}")
        for s in self.species:
            lines.append(
                f"  {s:<10} {self.x[s]:11.4e} {_fmt(self.molality.get(s), 11)} "
                f"{self.gamma[s]:10.4g} {_fmt(self.gamma_molal.get(s), 10)}"
            )
        if self.partial_pressures:
            lines.append(
                "  partial pressures [Pa]: "
                + ", ".join(f"{c} {p:.5g}" for c, p in self.partial_pressures.items())
            )
        for salt, g in self.gamma_mean.items():
            lines.append(f"  mean ionic activity coefficient of {salt}: {g:.5g}")
        return "\n".join(lines)


# given by ``_given`` on first use
_GIVEN = frozenset({"apparent", "feed", "solids"})
# worked out from the raw speciation on first use (``_named``)
_NAMED = frozenset(
    {
        "species",
        "amounts",
        "x",
        "ln_gamma",
        "partial_pressures",
        "bubble_pressure",
        "vapor",
        "saturation_indices",
    }
)
_DERIVED = frozenset(
    {
        "gamma",
        "molality",
        "gamma_molal",
        "activity",
        "water_activity",
        "pH",
        "ionic_strength",
        "osmotic_coefficient",
        "charges",
        "gamma_mean",
    }
)


def _scaled(d, a, b):
    """{k: v a b}: each value in the unit of ``_in_unit``'s caller (a b taken as one factor
    where it is finite, as the caller's total may lie beyond the largest float)."""
    f = a * b
    if f < math.inf:
        return {k: v * f for k, v in d.items()}
    return {k: v * a * b for k, v in d.items()}


def _enthalpy(of, T):
    """Enthalpy [J per mol of apparent liquid] at T of ``of`` = (system, true amounts n of
    ``total`` mol of apparent liquid, total or the apparent amounts that add up to it): the
    core's liquid enthalpy (J/kmol times n), as a flash takes it."""
    system, n, total = of
    if type(total) is list:
        total = math.fsum(total)
    elif type(total) is not float:
        total = math.fsum(total.values())
    n = np.asarray(n, dtype=float)
    el = system.model
    prepared = prepared_enthalpy(system)
    H = None if prepared is None else prepared(el.sp, n, T)
    if H is None:
        import velmora.brinequil as bq

        H = bq.liquid_enthalpy(el, system.pp, n, T, None, el.pure)
    return float(H) / 1000.0 / total


def _derivatives(system, state):
    """The Jacobian of ``state`` (a LiquidState of ``system``) with its enthalpy's."""
    return with_enthalpy(system, state, _enthalpy)


def _fmt(v, width=0):
    return f"{'-':>{width}}" if v is None else f"{v:{width}.4g}"


def _species_constants(info):
    """(ion flags, solute positions, z^2, {species: charge}) of a system, made once."""
    known = info.__dict__.get("_state_constants")
    if known is None:
        names = info.names
        known = info._state_constants = (
            [bool(v) for v in info.ion],
            list(info.molal_idx),
            [info.z[i] ** 2 for i in range(len(names))],
            {s: float(info.z[i]) for i, s in enumerate(names)},
        )
    return known


def _salt_constants(info, charges):
    """[(salt, cation, anion, p, q)] with C_p A_q neutral, as ``mean_gamma`` takes them; once."""
    known = info.__dict__.get("_salt_constants")
    if known is None:
        known = info._salt_constants = [
            (salt, c, a) + _stoichiometry(charges, c, a)
            for salt, (c, _, a, _) in info.salts.items()
        ]
    return known


def _stoichiometry(charges, cation, anion):
    zc, za = charges[cation], charges[anion]
    if not (zc > 0 > za):
        raise ValueError(f"({cation}, {anion}) is not a cation and an anion")
    p, q = -za, zc  # C_p A_q is neutral
    g = math.gcd(int(round(p)), int(round(q))) or 1
    return p / g, q / g


def ln_gamma_inf_water(system: Any, T: float) -> np.ndarray:
    """ln gamma of every species at infinite dilution in water (0 for the others): the molality
    scale's reference of the Henry components; the ions' model reference already is."""
    from velmora import ionactivity  # compiled activity model: not loaded by `import velmora`

    info = system._info
    out = np.zeros(len(info.names))
    for h in info.henry_idx:
        x = np.full(len(info.names), 1e-12)
        x[h] = 1e-9
        x[info.iw] = 1.0
        x /= x.sum()
        out[h] = float(
            np.asarray(ionactivity.ln_gamma(system.model.sp, x, T, system.model.options))[h]
        )
    return out


_new_state = object.__new__  # a LiquidState without __init__ (``usual_state`` fills it)


def usual_state(
    system: Any,
    molalities: Any,
    mass_fractions: Any,
    loading: Any,
    T: float,
) -> LiquidState | None:
    """``System.liquid``'s usual call (molalities, or mass fractions and a loading, as
    ``checks.molal_liquid`` and ``checks.mass_liquid`` take them; T a float in range) to its
    state: the compiled call (the model's ``_front_state``: the amounts and the core's one-call
    liquid), the range warnings, and, where the core verified its cold answer and found the
    liquid to pass ``checks.true_water``, the state as ``liquid_state`` makes it from that
    answer, with its pair warnings; otherwise ``liquid_state`` itself (the recovery). Where
    nothing is left to warn of or to recover, the compiled call makes the state itself. None
    for anything else, and where the compiled call raises: the steps one by one then give the
    same answer or error, after the range warnings, as they always do. Warnings are given at
    the line that called ``System.liquid``.

    The last composition given in mass fractions of positive floats (``SystemInfo.last_liquid``)
    is not made again for the same one (a sweep over T, a benchmark): equal mappings of str
    keys and float values, and equal loadings, are the same composition, bit for bit."""
    el, info = system.model, system._info
    front = getattr(el, "_front_state", None)
    if front is None:
        return None
    usual = info.usual
    if usual is None or usual[5] != system.tol:  # (made once; again for another tolerance)
        usual = info.usual = (
            info.molal_args,
            info.mass_args,
            info.self_ions_bound,
            LiquidState,
            system,
            system.tol,
            *info.t_window,
        )
    kept = molalities is None and _kept(mass_fractions, loading)
    last = info.last_liquid
    if kept and last is not None and mass_fractions == last[0] and loading == last[1]:
        made, notes = last[2], last[3]
    else:
        made = notes = None
    try:
        # (from a cold start of this call's own, the model's record left alone: see
        # liquid_state; True: a record of the call's own, as a new _WarmStart without making one)
        done = front(
            usual,
            made,
            molalities,
            mass_fractions,
            loading,
            T,
            info.__dict__.get("_pair_positions"),
            not info.fitted if notes is None else not notes,
            True,
        )
    except (ValueError, ArithmeticError):
        return None
    if type(done) is not tuple:  # the state, or None
        if kept and made is None and done is not None:
            d = done.__dict__
            made = (d["_apparent"], d["_enthalpy_of"][2], d["_unit"][0])
            info.last_liquid = (dict(mass_fractions), loading, made, [])
        return done
    app, x, total, f, n, lng, res, converged, may_warn, water_ok = done
    if notes is None:
        notes = checks.liquid_notes(system, x)
        if kept:
            info.last_liquid = (dict(mass_fractions), loading, (app, x, total), notes)
    # range_warnings tests T against the window where every range holds, then the fit's
    # ranges of the liquid (its notes worked out with its composition)
    t_lo, t_hi = info.t_window
    if notes or not t_lo <= T <= t_hi:
        checks.range_warnings(system, T, x, stacklevel=4, notes=notes)
    if not (res <= system.tol and converged and water_ok is True):
        # (app: a copy, a kept composition's amounts stay the composition's)
        return liquid_state(system, x, T, (dict(app), total, 1.0), done, stacklevel=5)
    # LiquidState(system, x, T, n, lng, f, res, (app, total, 1.0), water_checked=True) without
    # the branches of __init__, as the compiled call makes it; apparent, feed and solids made
    # when one of them is first read (``_given``: copies of app, which a kept composition's
    # next state shares)
    state = _new_state(LiquidState)
    state.__dict__ = {
        "T": T,
        "_apparent": app,
        "residual": res,
        "_raw": (system, n, lng, f),
        "_unit": (total, 1.0),
        "_system": system,
        "_enthalpy_of": (system, n, x),
    }
    if may_warn is not False:
        checks.pair_warnings(system, n)
    return state


def _kept(given: Any, loading: Any) -> bool:
    """Whether a composition of mass fractions is kept for the next call (``usual_state``): a
    dict of str keys and positive floats, and no loading or a positive float (an equal one is
    then the same, bit for bit; -0.0 equals 0.0 and gives other zeros)."""
    return (
        type(given) is dict
        and checks._plain_feed(given)
        and (loading is None or type(loading) is float and loading > 0.0)
    )


def liquid_state(
    system: Any,
    app: dict[str, float],
    T: float,
    unit: tuple[dict[str, float], float, float] | None = None,
    made: tuple[Any, ...] | None = None,
    stacklevel: int = 4,
) -> LiquidState:
    """Speciate the apparent liquid ``app`` at T, check the answer, and name the results;
    ``unit``: (feed, a, b), the state as ``_in_unit(feed, a, b)`` gives it; ``made``: the
    tuple of ``usual_state``'s compiled call for this liquid (its speciation is then not
    repeated);
    ``stacklevel``: that of the pair warnings (4: the caller of this function's caller).

    The core from a cold start; where its answer fails the check, the core again with 2000
    Newton iterations, then Newton with ln gamma in the Jacobian (``velmora.recovery``),
    whose answer the core takes as its warm start. ConvergenceError when none verifies, also
    where the core diverged (its ValueError is the error's cause)."""
    el = system.model
    may_warn, water_ok = True, False
    done: Any
    try:
        if made is not None:
            done = made[3:]
        else:
            # the speciation, its check and the fugacities in one call of the core; None where
            # one of the methods it stands for is replaced (then each is called). It also says
            # whether a default pair may be major (checks.pair_warnings' first pass), where the
            # pairs are known. Each speciation of a front-door call starts from the warm start
            # of that call's own (None: cold; see Electrolyte._session), never from the
            # model's, so that its answer does not depend on earlier calls
            info = system._info
            pairs = info.__dict__.get("_pair_positions")
            done = None
            front = getattr(el, "_front_liquid", None)
            if front is not None:
                done = front(app, T, pairs, info.self_ions_bound, _WarmStart())
        if done is None:
            (f, n, lng), status = el._session(None, "fugacities", app, T)
    except (ValueError, ArithmeticError) as exc:  # the core's "... liquid diverged"
        if not solve_failed(exc):
            raise
        f, n, lng, res = _recover(system, app, T, None, math.inf, exc)
    else:
        if done is None:
            res = checks.speciation_residual(system, app, T, n, lng)
            # the core knows whether its Newton loop met its tolerance or stopped at the cap
            converged = res <= system.tol and status["speciation_converged"]
        else:
            f, n, lng, res, converged, may_warn, water_ok = done
        if not (res <= system.tol and converged):
            may_warn, water_ok = True, False
            f, n, lng, res = _recover(system, app, T, n, res, None)
    state = LiquidState(system, app, T, n, lng, f, res, unit, water_checked=water_ok is True)
    if may_warn is not False:
        checks.pair_warnings(system, n, stacklevel)
    return state


def _recover(system, app, T, n_core, best, cause, warm=None):
    """(f, n, lng, residual) of the first recovery that verifies, after the cold start left
    the true amounts n_core (None: it diverged with ``cause``) at residual ``best``. ``warm``:
    the caller's warm start (a _WarmStart), which the recovery starts cold and leaves at its
    last speciation; None: one of its own."""
    from . import recovery  # loads the compiled activity model; needed only here

    el = system.model
    fails = (ValueError, ArithmeticError)
    tried = ["speciation", "speciation, 2000 iterations"]
    if warm is None:
        warm = _WarmStart()
    try:
        warm.reset()
        n2, lng2 = el._session(warm, "true_amounts", app, T, 1e-13, 2000)[0]
        res2 = checks.speciation_residual(system, app, T, n2, lng2)
        if n_core is None or res2 < best:  # the closer start for Newton below
            n_core = n2
        best = min(best, res2)
        if res2 <= system.tol:
            f, n, lng = el._session(warm, "fugacities", app, T)[0]  # warm from that answer
            res = checks.speciation_residual(system, app, T, n, lng)
            if res <= system.tol:
                return f, n, lng, res
    except fails as exc:
        if not solve_failed(exc):
            raise
        cause = exc
    tried.append("Newton with ln gamma in the Jacobian")
    found = recovery.solve(system, app, T, n_core)
    if found is not None:
        try:
            warm.reset(recovery.warm_record(system, app, T, *found))
            f, n, lng = el._session(warm, "fugacities", app, T)[0]
            res = checks.speciation_residual(system, app, T, n, lng)
            if res <= system.tol:
                return f, n, lng, res
            best = min(best, res)
        except fails as exc:
            if not solve_failed(exc):
                raise
            cause = exc
    raise ConvergenceError(
        f"chemical equilibrium of the liquid not verified at T = {T:g} K for "
        f"{_feed_text(app)}: residual {best:.3g}" + (f" ({cause})" if cause else ""),
        T=T,
        feed=dict(app),
        residual=best,
        tried=tried,
    ) from cause


def _feed_text(app):
    tot = sum(app.values()) or 1.0
    return "{" + ", ".join(f"{c}: {v / tot:.6g}" for c, v in app.items() if v) + "}"
