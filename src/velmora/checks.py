"""Input guards and the check of every answer of the front door.

Guards run where input enters, before any computation, and raise ValueError with a hint at the
unit that was probably meant (TypeError for an argument of the wrong kind); a value that is
possible but more likely in another unit is taken with a RangeWarning that names it. Checks run
after each solve and return residuals:

- speciation: every equilibrium reaction sum_i nu_ri ln(x_i gamma_i) - ref - ln K_r (ln units,
  the core layer's conventions: ions and Henry components unsymmetric) and the reaction
  invariants B n - B n0 relative to the total amount;
- phases: the largest |ln f_L - ln f_V| over every volatile component the liquid holds or
  makes, in the feed or not (allowing what the speciation cannot resolve: see
  ``RESOLUTION``), the bubble condition of an all-liquid result (the bubble pressure over the
  same components at most P) and the dew condition of an all-vapor one, no nonvolatile
  component in a vapor, and the mass balance z - (1 - beta) x - beta y;
- targets: a flash at H, S or vapor fraction meets it (``target_residual``).

Range warnings (``RangeWarning``) name the correlation or parameter set and its range.
"""

import functools
import math
import threading
import warnings
from bisect import bisect_left
from collections.abc import Callable, Mapping
from typing import Any, TypeVar, cast

import numpy as np
from numpy.typing import ArrayLike

from .brinequil import _front_mass, _front_molal
from .errors import DefaultParameterWarning, NoSolutionError, RangeWarning
from .ids import databank_id

# phasekit and enginebridge are imported where used: `import velmora.brinequil` runs this
# package's __init__ and loads no sibling of the core but ionactivity (tests/test_package.py).

_F = TypeVar("_F", bound=Callable[..., Any])  # a function a decorator gives back as it is

T_MIN, T_MAX = 200.0, 700.0  # K: outside, a temperature is taken as a unit mistake
P_MIN = 100.0  # Pa
# Below these a value is taken but likely in another unit (a RangeWarning says which): water
# freezes at 273.15 K, so a liquid colder than that is a brine well below 0 C or a T in C; no
# process of this field runs below 1 kPa, but 200 (bar) or 200 (kPa) reads as 200 Pa.
T_HINT, P_HINT = 273.15, 1000.0  # K, Pa
# Above P_IDEAL the model's two low-pressure idealisations are no longer small: the vapor is the
# ideal gas, and the liquid has no pressure dependence (no Poynting factor, no pressure term in
# the equilibrium constants and solubility products). The gas of this field that departs most is
# CO2: its second virial coefficient B = 137.6 - 87.7 exp(325.7/T) cm3/mol (the coefficients of
# the LibreTexts table "A9: Second Virial Coefficients"; -122 at 300 K, where the CRC's table of
# virial coefficients, after Dymond & Smith, gives argon's -16 and that form -15), and
# ln phi = B P / (R T) is -0.04 at 1 MPa and 313 K.
P_IDEAL = 1.0e6  # Pa
# The liquid is aqueous: the ions are referred to infinite dilution in water and molalities are
# per kg of water, so a liquid needs water, and no solute may exceed M_MAX mol/kg of water.
# 100 mol/kg is some 17 times the largest molality any shipped parameter set was fitted to
# (6 mol/kg, NaCl-H2O) and leaves water 36 % of the moles with one solute (86 wt% MEA): beyond
# it the liquid is no longer an aqueous solution, and 1e300 mol/kg is a mistake.
M_MAX = 100.0  # mol/kg of water
SI_TOL = 1e-8  # |SI| of a solid present in a liquid [log10 units]
SUM_TOL = 1e-9  # mass fractions that include water add up to 1 within this
# The speciation keeps its balances to about 1e-11 of the total amount, so the liquid
# fugacity of a component that is a fraction x of the liquid (apparent or as its molecule,
# whichever is larger) is resolved to about 1e-11 / x: a two-phase answer may keep
# |ln f_L - ln f_V| up to tol + RESOLUTION / x (a tenfold margin).
RESOLUTION = 1e-10
# Vapor mole fractions below VAPOR_FLOOR are noise of the split, not a phase's content.
VAPOR_FLOOR = 1e-12
# A feed component below TRACE does not make a feed unable to be all vapor.
TRACE = 1e-10
ACID_GASES = ("CO2", "H2S")
# Below this many numbers NumPy's sum of a contiguous float array is a plain loop from the
# first (numpy/_core/src/umath/loops_utils.h.src, pairwise_sum); tests/test_inputs.py holds
# the feed's arithmetic to the arrays'.
SHORT_SUM = 8
_INF = math.inf  # (a module's name is read faster than math's attribute in the per-call paths)


# ---------------------------------------------------------------------------- guards


def number(v: Any, what: str) -> float:
    """float(v), or ValueError for a value that is not a finite real number."""
    try:
        f = float(v)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a number, not {v!r}") from None
    if not math.isfinite(f):
        raise ValueError(f"{what} must be finite, not {f}")
    return f


def temperature(T: Any, stacklevel: int = 3) -> float:
    """T [K], checked: 200 K <= T <= 700 K; a RangeWarning below 273.15 K (likely in C)."""
    if type(T) is float and T_HINT <= T <= T_MAX:  # the usual case
        return T
    T = number(T, "T")
    if not T_HINT <= T <= T_MAX:
        if not T_MIN <= T <= T_MAX:
            hint = ""
            if T_MIN <= T + 273.15 <= T_MAX:
                hint = f": T is in kelvin: did you mean {T + 273.15:.2f} K?"
            raise ValueError(f"T = {T:g} K lies outside {T_MIN:g}-{T_MAX:g} K{hint}")
        warnings.warn(
            f"T = {T:g} K: T is in kelvin; did you mean {T + 273.15:.2f} K "
            f"({T:g} C)? (below {T_HINT:g} K only a brine stays liquid)",
            RangeWarning,
            stacklevel=stacklevel,
        )
    return T


def pressure(P: Any, stacklevel: int = 4) -> float:
    """P [Pa], checked: P >= 100 Pa; a RangeWarning below 1 kPa (likely in bar or kPa) and
    above ``P_IDEAL`` (``high_pressure``)."""
    if type(P) is float and P_HINT <= P <= P_IDEAL:  # the usual case
        return P
    P = number(P, "P")
    if P > P_IDEAL:
        high_pressure(P, stacklevel + 1)
    if P < P_HINT:
        if P < P_MIN:
            hint = ""
            if 0.0 < P:
                hint = f": P is in Pa: did you mean {P * 1e5:g} Pa ({P:g} bar)?"
            raise ValueError(f"P = {P:g} Pa is below {P_MIN:g} Pa{hint}")
        warnings.warn(
            f"P = {P:g} Pa: P is in Pa; did you mean {P * 1e5:g} Pa ({P:g} bar) or "
            f"{P * 1e3:g} Pa ({P:g} kPa)?",
            RangeWarning,
            stacklevel=stacklevel,
        )
    return P


def high_pressure(P: float, stacklevel: int = 3) -> None:
    """The RangeWarning of a pressure above ``P_IDEAL``."""
    warnings.warn(
        f"P = {P:g} Pa is above {P_IDEAL:g} Pa, where velmora's ideal-gas vapor and "
        "pressure-independent liquid (no Poynting factor, no pressure term in the equilibrium "
        "constants and solubility products) are no longer close: the fugacity coefficient of "
        "CO2 is already 0.96 at 1 MPa and 313 K; extrapolated",
        RangeWarning,
        stacklevel=stacklevel,
    )


def _amount(v, name, what):
    if type(v) is float and 0.0 <= v < _INF:  # the usual case, without the message
        return v
    f = number(v, f"{what} of {name}")
    if f < 0.0:
        raise ValueError(f"{what} of {name} is negative ({f:g})")
    return f


_PLURAL = {"molality": "molalities"}


def _names(system, mapping, what):
    """{component: value} with the system's names; unknown names, ions and duplicates raise."""
    if type(mapping) is not dict and not hasattr(mapping, "items"):
        raise TypeError(
            f"{_PLURAL.get(what, what + 's')}: give a mapping "
            f"{{component: {what}}}, not {type(mapping).__name__} {mapping!r}"
        )
    out = {}
    exact = system._info.exact
    for key, v in mapping.items():
        hit = exact.get(key) if type(key) is str else None
        if hit is not None and type(v) is float and 0.0 <= v < _INF:
            if hit in out:
                raise ValueError(f"component {hit} is given twice")
            out[hit] = v  # the usual case: a known name and a plain amount
            continue
        valid = system.components
        if hit is None:
            hit = system._info.upper_components.get(str(key).strip().upper())
        if hit is None:
            from velmora.enginebridge import databank as db

            try:
                sid = databank_id(key, db)
            except ValueError:
                sid = None
            hit = sid if sid in valid else None
            if hit is None:
                if sid is not None and db.species(sid)["kind"] == "ion":
                    raise ValueError(
                        f"{key!r} is an ion: give the apparent components "
                        f"({', '.join(valid)}); the ions follow from the chemistry"
                    )
                if str(key) in system.species:
                    raise ValueError(
                        f"{key!r} is a true species, not an apparent component; "
                        f"components: {', '.join(valid)}"
                    )
                raise ValueError(
                    f"unknown component {key!r}; components of this system: "
                    f"{', '.join(valid)}{_as_gas(system, sid, db)}"
                )
        if hit in out:
            raise ValueError(f"component {hit} is given twice")
        if what == "amount" and hit in system.henry:
            # a liquid's apparent amount of a dissolved gas may be negative: the liquid of a
            # flash that lost more CO2 than its feed named (CaCO3 less CO2, i.e. CaO); whether
            # such a liquid exists, its speciation decides
            out[hit] = number(v, f"{what} of {hit}")
        else:
            out[hit] = _amount(v, hit, what)
    return out


def _as_gas(system, sid, db):
    """How to add a dissolved gas of the databank (CO2, N2, ...) that the system lacks."""
    if sid is None or db.species(sid)["kind"] != "solute":
        return ""
    chem = system._args[0]
    chem = repr(chem) if isinstance(chem, str) else "chemistry"
    return (
        f"; {sid!r} is not a component of this system; add it as a gas: "
        f"System({chem}, gases={[*system.gases, sid]!r})"
    )


def composition(
    system: Any, amounts: Any, molalities: Any, mass_fractions: Any, loading: float | None
) -> dict[str, float]:
    """Apparent amounts {component: amount} over every component (zeros included)."""
    return _composition(system, amounts, molalities, mass_fractions, loading)[0]


def _composition(
    system: Any,
    amounts: Any,
    molalities: Any,
    mass_fractions: Any,
    loading: float | None,
    whole: bool = False,
) -> tuple[dict[str, float], bool]:
    """(``composition``, whether ``solutes`` passed on it already: molalities without a
    loading; ``liquid`` need not check them again). ``whole``: a feed that solids come out
    of (``solutes``)."""
    if (amounts is not None) + (molalities is not None) + (mass_fractions is not None) != 1:
        raise ValueError("give exactly one of amounts, molalities, mass_fractions")
    checked = False
    if amounts is not None:
        if not hasattr(amounts, "items"):
            amounts = sequence(system, amounts, "amount")
        app = _names(system, amounts, "amount")
    elif molalities is not None:
        app = _names(system, molalities, "molality")
        if "H2O" in app:
            raise ValueError("molalities are per kg of water: leave H2O out")
        app["H2O"] = system._info.mol_water  # mol in 1 kg of water
        solutes(system, app, whole)
        checked = loading is None
    else:
        w = _names(system, mass_fractions, "mass fraction")
        tot = math.fsum(w.values())
        if "H2O" in w:
            if abs(tot - 1.0) > SUM_TOL:
                raise ValueError(
                    f"mass fractions add up to {tot:.10g}, not 1: with H2O given "
                    "they must add up to 1; leave H2O out and water makes up "
                    "the rest"
                )
        elif tot > 1.0 + SUM_TOL:
            raise ValueError(f"mass fractions add up to {tot:.10g} > 1")
        else:
            w["H2O"] = max(0.0, 1.0 - tot)
        mw = system._info.mw
        app = {}
        for c, v in w.items():
            app[c] = 1000.0 * v / mw[c]  # mol in 1 kg
    if amounts is not None:  # (molalities and mass fractions are never negative)
        for c, v in app.items():
            if v < 0.0 and v + _held_by_salts(system, app, c) < 0.0:
                raise ValueError(f"amount of {c} is negative ({v:g})")
    if loading is not None:
        if not (type(loading) is float and -_INF < loading < _INF):
            loading = number(loading, "loading")
        add_loading(system, app, loading)
    comps = system.components
    full = dict.fromkeys(comps, 0.0)
    full.update(app)  # in the components' order: app names only components
    if len(full) != len(comps):  # (a system without water given water)
        full = {c: app.get(c, 0.0) for c in comps}
    # (a sum may overflow; molalities come with 1 kg of water, and mass fractions add up to 1)
    if amounts is not None and not max(full.values()) > 0.0:
        raise ValueError("the composition is empty (every amount is 0)")
    return full, checked


def molal_liquid(
    system: Any, molalities: Any
) -> tuple[dict[str, float], dict[str, float], float] | None:
    """(apparent amounts over every component, per mole of liquid, total) of the usual call:
    a dict of molalities of known components other than water, each a plain float in
    [0, M_MAX] mol/kg. The digits of ``liquid(*_composition(...))``: the same dict in the
    components' order, the same sum. None for anything else (the general path then names what
    is wrong)."""
    exact, components, water, top = system._info.molal_args
    # one compiled step: the general path's dicts and digits
    return _front_molal(exact, components, molalities, water, top)


def mass_liquid(
    system: Any, mass_fractions: Any, loading: float | None
) -> tuple[dict[str, float], dict[str, float], float] | None:
    """``molal_liquid`` for mass fractions of known components other than water (water makes
    up the rest), each a plain float, and a loading (None, or a plain float >= 0 of the one
    acid gas, not given, per mol of the one base given): the digits of
    ``liquid(*_composition(...))``. None for anything else."""
    exact, components, mw, acids, bases, kg_water, m_max = system._info.mass_args
    # one compiled step: the arithmetic of the mass fractions and the loading in the general
    # path's order, its dicts and digits
    return _front_mass(
        exact, components, mass_fractions, loading, mw, acids, bases, kg_water, m_max
    )


def liquid(
    system: Any, app: dict[str, float], checked: bool = False, whole: bool = False
) -> tuple[dict[str, float], float, float]:
    """A liquid's apparent amounts per mole of liquid, checked, and the factors (a, b) that
    give amounts back in the caller's unit (``v * a * b``; two factors, as the caller's total
    may lie beyond the largest float). The liquid needs water and at most ``M_MAX`` mol/kg of
    water of every solute. Intensive results do not depend on the unit; per mole of liquid the
    speciation's tolerances work alike for 1e-300 and 1e300 mol. ``checked``: ``solutes``
    passed on ``app`` already; ``whole``: ``app`` is a feed that solids come out of."""
    if not checked:
        solutes(system, app, whole)
    a = sum(app.values())
    if a < _INF:
        x = {}
        for c, v in app.items():  # (a loop: no comprehension's frame for a few components)
            x[c] = v / a
        return x, a, 1.0
    b = max(app.values())  # the largest amount, as solutes gives it
    a = sum([v / b for v in app.values()])  # 1 <= a <= number of components
    return {c: v / b / a for c, v in app.items()}, a, b


class NotAqueousError(NoSolutionError):
    """A liquid outside the aqueous model: no water, or a solute beyond M_MAX mol/kg."""


def solutes(system: Any, app: Mapping[str, float], whole: bool = False) -> float:
    """The largest amount of the liquid ``app``; ValueError unless it has water and every
    solute at most ``M_MAX`` mol/kg of water (a solvent such as an amine may exceed it).
    ``whole``: ``app`` is a feed that solids come out of, said so (``whole_feed``)."""
    water = app.get("H2O", 0.0)
    if not water > 0.0:
        raise NotAqueousError(
            "the liquid has no water (H2O): velmora's liquid is aqueous (ions are "
            "referred to infinite dilution in water, molalities are per kg of "
            "water); give water, at least as much as keeps every solute below "
            f"{M_MAX:g} mol/kg"
        )
    info = system._info
    kg = water * info.kg_water
    top = max(app.values())
    if not top > M_MAX * kg:
        return top
    solvents = info.solvents
    over = [(c, v) for c, v in app.items() if v > M_MAX * kg and c != "H2O" and c not in solvents]
    if over:
        c, v = over[0]
        if whole:
            raise NotAqueousError(whole_feed(system, c, v / kg))
        raise NotAqueousError(
            f"{c} at {v / kg:.4g} mol/kg of water lies outside 0-{M_MAX:g} mol/kg: the "
            f"liquid is aqueous (at {M_MAX:g} mol/kg of one solute water is "
            f"{1.0 / (1.0 + M_MAX * system._info.mw['H2O'] / 1000.0):.0%} of the moles); "
            "give more water"
        )
    return top


def least_water(system: Any, amount: float) -> float:
    """The water [mol] that holds ``amount`` mol of a solute at M_MAX mol/kg."""
    return amount / (M_MAX * system._info.kg_water)


def whole_feed(system: Any, c: str, m: float) -> str:
    """Why a feed with solids is refused whose solute ``c`` is at ``m`` mol/kg of its water,
    beyond M_MAX: the bound is the liquid's, and the solids are found from that liquid (the
    speciation of the feed as a whole is where the search for them starts)."""
    need = least_water(system, 1.0)
    held = (
        f"the feed holds {c} at {m:.4g} mol/kg of its water, its solids counted with its "
        f"liquid, beyond 0-{M_MAX:g} mol/kg"
        if m < _INF
        else f"the feed holds {c} and no water (H2O)"
    )
    return (
        f"{held}: velmora finds the solids from the feed's own liquid, which is aqueous (at "
        f"most {M_MAX:g} mol/kg of each solute), however much of the feed would be solid; give "
        f"at least {need:.4g} mol of water per mol of {c}, or leave out the part that stays "
        "solid"
    )


def feed_beyond(system: Any, z: Any) -> tuple[str, float] | None:
    """(component, mol/kg of the feed's water) of the first component of the feed ``z``
    (over the components) that neither evaporates nor is a solvent, beyond M_MAX mol/kg of the
    feed's water (inf without water), or None: every liquid the feed leaves, a vapor of its
    volatile part taken, holds it at that molality or more."""
    info = system._info
    comps = system.components
    kg = float(z[comps.index("H2O")]) * info.kg_water if "H2O" in comps else 0.0
    for c, v in zip(comps, (float(v) for v in z)):
        if c in info.volatile or c in info.solvents or not v > 0.0:
            continue
        if not v <= M_MAX * kg:
            return c, (v / kg if kg > 0.0 else _INF)
    return None


AW_TOL = 1e-9  # a water activity above 1 by more than this (relative) is no stable liquid


def true_water(system: Any, n: Any, lng: Any, T: float) -> None:
    """NoSolutionError where the speciated liquid (true amounts n, ln gamma lng) is no liquid
    of water, though a root of the liquid model's equations:

    - H3O+ and OH- both beyond M_MAX mol/kg of the true water (water's ion product allows the
      two together at 1e-5 mol/kg and less; 3 mol/kg NaCl at 626 K: near water's critical
      temperature the ions' ln gamma falls to -25 and the equilibrium turns the water into
      H3O+ and OH-, 327 mol/kg of each at 626 K, 4e7 at 627 K, where the liquid's bubble
      pressure came out 700 Pa);
    - a water activity above 1 (beyond AW_TOL): water's chemical potential above pure water's,
      so the liquid would give off pure water and is not stable (3 mol/kg NaCl at 623-625 K,
      a_w 1.03-1.10, bubble pressure above water's own)."""
    info = system._info
    w = info.iw
    if w < 0:
        return
    ions = info.self_ions
    if ions is not None:
        i, j, _ = ions
        lim = M_MAX * info.kg_water * n[w]
        if n[i] > lim and n[j] > lim:
            both = min(float(n[i]), float(n[j]))
            water = float(n[w])
            m = both / (info.kg_water * water) if water > 0.0 else math.inf
            raise NoSolutionError(
                f"the liquid model has no liquid at T = {T:g} K{water_critical_note(T)}: its "
                "chemical equilibrium there turns the water into H3O+ and OH- "
                f"({m:.4g} mol/kg of each in the water left)"
            )
    nl = n.tolist() if type(n) is np.ndarray else [float(v) for v in n]
    tot = sum(nl)
    aw = nl[w] / tot * math.exp(float(lng[w])) if tot > 0.0 else 0.0
    if aw > 1.0 + AW_TOL:
        raise NoSolutionError(
            f"the liquid model has no stable liquid at T = {T:g} K{water_critical_note(T)}: its "
            f"water activity {aw:.6g} lies above 1 (water's chemical potential above pure "
            "water's: such a liquid would give off water)"
        )


def water_critical_T() -> float:
    """T [K] at which the databank's vapor-pressure curve of water ends: its critical point."""
    from velmora.enginebridge import databank as db

    return float(db.validity("vapor_pressure", "H2O")[1])


def water_critical_note(T: float) -> str:
    """Where T lies from water's critical temperature, for the messages of a liquid model that
    finds no liquid there."""
    tc = water_critical_T()
    if T < tc:
        return f", {tc - T:.3g} K below the critical temperature of water ({tc:g} K)"
    return f", above the critical temperature of water ({tc:g} K)"


def _held_by_salts(system, app, gas):
    """How much of ``gas`` [mol] the nonvolatile components of ``app`` can give up (a carbonate
    its CO2): counted on the gas's element other than H and O."""
    from velmora.enginebridge import databank as db

    own = db.elements(db.species(gas)["formula"])
    key = [e for e in own if e not in ("H", "O")]
    if len(key) != 1:
        return 0.0
    key = key[0]
    return sum(
        v * db.elements(db.species(c)["formula"]).get(key, 0) / own[key]
        for c, v in app.items()
        if v > 0.0 and c not in system._info.volatile
    )


def add_loading(system: Any, app: dict[str, float], loading: float) -> None:
    """Add the acid gas for ``loading`` mol per mol of base to ``app`` (in place)."""
    if loading < 0.0:
        raise ValueError(f"loading is negative ({loading:g})")
    acids = system._info.acids
    if len(acids) != 1:
        raise ValueError(
            f"loading needs one acid gas (CO2 or H2S) among the components "
            f"{', '.join(system.components)}"
        )
    acid = acids[0]
    if app.get(acid, 0.0) > 0.0:
        raise ValueError(f"give the {acid} either as an amount or by the loading, not both")
    # app names only components: with one component that may be a base, it alone is looked at
    candidates = system._info.bases
    if len(candidates) == 1:
        bases = candidates if app.get(candidates[0], 0.0) > 0.0 else []
    else:
        bases = [c for c, v in app.items() if v > 0.0 and c in candidates]
    if len(bases) != 1:
        raise ValueError(
            "loading is per mol of the one amine or alkali of the liquid; found "
            f"{', '.join(bases) or 'none'}"
        )
    app[acid] = loading * app[bases[0]]


def sequence(system: Any, values: Any, what: str) -> dict[str, float]:
    """{component: value} from a sequence in component order."""
    if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
        raise TypeError(
            f"{what}s: give a mapping {{component: {what}}} or a sequence in the "
            f"order of the components ({', '.join(system.components)}), not "
            f"{type(values).__name__} {values!r}"
        )
    values = list(values)
    if len(values) != len(system.components):
        raise ValueError(
            f"{what}s: {len(values)} values for {len(system.components)} components "
            f"({', '.join(system.components)})"
        )
    return dict(zip(system.components, values))


def feed(system: Any, z: Any) -> np.ndarray:
    """Normalised feed mole fractions as a float array in component order (read-only where it
    is kept for the next call: a dict of positive floats)."""
    if type(z) is dict:
        # the same feed as the last one given as a dict (a sweep over T or P, a benchmark): its
        # fractions kept, read-only (no copy to make). Only a dict of str keys and float values
        # is compared, and only one of positive amounts was kept: equal keys and values are then
        # the same ones, bit for bit
        last = system._info.last_feed
        if last is not None:
            for k, v in z.items():  # (_plain_feed, in line)
                if type(v) is not float or type(k) is not str or not v > 0.0:
                    break
            else:
                if z == last[0]:
                    return last[1]
        amounts = _names(system, z, "feed amount")
    elif hasattr(z, "items"):
        amounts = _names(system, z, "feed amount")
    else:
        amounts = {
            c: _amount(v, c, "feed amount") for c, v in sequence(system, z, "feed amount").items()
        }
    vals = [amounts.get(c, 0.0) for c in system.components]
    if len(vals) < SHORT_SUM and max(vals) <= 1e300:
        # NumPy sums fewer than 8 numbers left to right: the same total and quotients as the
        # arrays' below, without three NumPy calls (each some 4 us after a flash has run)
        tot = 0.0
        for a in vals:
            tot += a
        if not tot > 0.0:
            raise ValueError("the feed is empty (every amount is 0)")
        out = np.array([a / tot for a in vals])
        if type(z) is dict and _plain_feed(z):
            out.flags.writeable = False
            system._info.last_feed = (dict(z), out, None)
        return out
    v = np.array(vals)
    if max(amounts.values(), default=0.0) > 1e300:  # their sum may overflow: scaled first
        v /= v.max()
    tot = float(v.sum())
    if not tot > 0.0:
        raise ValueError("the feed is empty (every amount is 0)")
    return v / tot


def _plain_feed(z: dict[Any, Any]) -> bool:
    """Every key a str and every amount a positive float: a feed whose equal is the same one
    bit for bit (``feed`` keeps the last such feed's fractions)."""
    for k, v in z.items():
        if type(v) is not float or type(k) is not str or not v > 0.0:
            return False
    return True


# ---------------------------------------------------------------------------- what a system knows


class SystemInfo:
    """Per-system constants for the checks and the named results, built once."""

    def __init__(self, system: Any, db: Any) -> None:
        el = system.model
        sp = el.sp
        # solvent components besides water (amines): a liquid may be mostly amine, the bound on
        # molality applies to the solutes (salts, dissolved gases)
        self.solvents = frozenset(
            c
            for c in system.components
            if c != "H2O" and db.known(c) and db.species(c)["kind"] == "solvent"
        )
        self.names = list(el.names)
        self.pos = {s: i for i, s in enumerate(self.names)}
        self.mw = {s: float(m) for s, m in zip(self.names, sp.mw)}
        # of water: kg/mol, and mol in 1 kg
        self.kg_water = self.mw.get("H2O", math.nan) / 1000.0
        self.mol_water = 1000.0 / self.mw.get("H2O", math.nan)
        self.z = np.asarray(sp.z, dtype=float)
        self.ion = np.asarray(sp.ion, dtype=bool)
        self.iw = int(sp.water)
        # water's own ions, where the liquid has them (``true_water``)
        self.self_ions = (
            (self.pos["H3O+"], self.pos["OH-"], self.iw)
            if "H3O+" in self.pos and "OH-" in self.pos and self.iw >= 0
            else None
        )
        # the same with its bound in mol per mol of true water, for the core's one-call liquid
        self.self_ions_bound = (
            None if self.self_ions is None else (*self.self_ions, M_MAX * self.kg_water, AW_TOL)
        )
        self.henry_idx = [int(i) for i in sp.henry]
        # on the molality scale (referred to infinite dilution in water): the ions, the Henry
        # components and the complexes the equilibria form from ions
        self.molal_idx = [
            i
            for i, s in enumerate(self.names)
            if self.ion[i]
            or i in self.henry_idx
            or (i not in el.app_idx and db.known(s) and db.species(s)["kind"] == "complex")
        ]
        self.nu = np.asarray(el.nu, dtype=float)
        self.B = np.asarray(el.B, dtype=float)
        self.diss = [dict(d) for d in el.diss]
        self.app_idx = [int(i) for i in el.app_idx]
        self.components = list(system.components)
        self.upper_components = {c.upper(): c for c in self.components}
        # every name that _names takes as it is (a component's id, or it in upper case): one
        # lookup, without the normalisation of the other names
        self.exact = {
            k: self.upper_components[k.strip().upper()]
            for k in (*self.upper_components, *self.components)
        }
        # for add_loading: the acid gases, and what cannot be the base a loading is per mol of
        self.acids = [c for c in ACID_GASES if c in system.components]
        self.bases = [c for c in system.components if c != "H2O" and c not in system.henry]
        # the fixed arguments of the compiled steps of molal_liquid and mass_liquid (the top:
        # M_MAX mol/kg in the per-kg amounts, as ``solutes`` bounds them)
        self.molal_args = (
            self.exact,
            self.components,
            self.mol_water,
            M_MAX * (self.mol_water * self.kg_water),
        )
        self.mass_args = (
            self.exact,
            self.components,
            self.mw,
            self.acids,
            self.bases,
            self.kg_water,
            M_MAX,
        )
        # salts: the DISS reactions' apparent electrolytes and their ions
        self.salts = {}
        for d in self.diss:
            salt = next((s for s, v in d.items() if v < 0), None)
            ions = {s: v for s, v in d.items() if v > 0 and self.z[self.pos[s]] != 0}
            cat = [s for s in ions if self.z[self.pos[s]] > 0]
            an = [s for s in ions if self.z[self.pos[s]] < 0]
            if salt and len(cat) == 1 and len(an) == 1:
                self.salts[salt] = (cat[0], ions[cat[0]], an[0], ions[an[0]])
        # components with a liquid fugacity: vapor-pressure data or a Henry component
        self.volatile = frozenset(
            c for c in system.components if c in el.antoine or c in system.henry
        )
        self.ranges = _correlation_ranges(system, el, db)
        # each range with its RangeWarning's message (range_warnings, at every call outside one)
        self.range_notes = [
            (lo, hi, f"T outside the validity range of the {what} ({lo:g}-{hi:g} K): extrapolated")
            for what, lo, hi in self.ranges
        ]
        self.default_pairs = _default_pairs(self, db)
        self.fitted = _fitted(system.name, db)
        # the fit's ranges as range_warnings reads them: T, [(solute, mol/kg)], loading or None
        fit = self.fitted or {}
        self.fit_ranges = (
            fit.get("T", (0.0, math.inf)),
            list(fit.get("molality", {}).items()),
            fit.get("loading"),
        )
        # every range of T with its note, in the order range_warnings gives them: the
        # correlations', then the fit's
        t_notes = list(self.range_notes)
        if self.fitted:
            lo, hi = self.fit_ranges[0]
            t_notes.append(
                (
                    lo,
                    hi,
                    f"T outside the range the parameters of {system.name} were fitted for "
                    f"({lo:g}-{hi:g} K): extrapolated",
                )
            )
        # the notes that hold in each piece of the T axis their ends cut (below the first end,
        # at it, between it and the next, ..., above the last): range_warnings finds T's piece
        # by bisection instead of testing every range
        ends = sorted({e for lo, hi, _ in t_notes for e in (lo, hi)})
        probes = [_between(-math.inf, ends[0]) if ends else 0.0]
        for k, e in enumerate(ends):
            probes += [e, _between(e, ends[k + 1] if k + 1 < len(ends) else math.inf)]
        self.range_ends = ends
        self.notes_at = [[note for lo, hi, note in t_notes if not lo <= t <= hi] for t in probes]
        # where every range holds (range_warnings looks T's piece up only outside it)
        self.t_window = (
            max((r[0] for r in t_notes), default=-math.inf),
            min((r[1] for r in t_notes), default=math.inf),
        )
        # the positions those bounds read (water, each solute, the loading's base and acid; -1:
        # not a component): range_warnings of amounts in component order
        at = {c: i for i, c in enumerate(self.components)}.get
        self.fit_at = (
            at("H2O", -1),
            [at(solute, -1) for solute, _ in self.fit_ranges[1]],
            None
            if self.fit_ranges[2] is None
            else tuple(at(c, -1) for c in self.fit_ranges[2][:2]),
        )
        # the last feed of positive floats given as a dict, its fractions (``feed``) and, once
        # worked out, range_warnings' notes on them (the fit's molalities and loading)
        self.last_feed: tuple[dict[str, float], np.ndarray, list[str] | None] | None = None
        # the last usual liquid of System.liquid given in mass fractions of positive floats
        # (states.usual_state): (mass fractions, loading, (its apparent amounts, per mole,
        # total), liquid_notes of it); the same composition again is not made again
        self.last_liquid: tuple[Any, ...] | None = None
        # the fixed arguments of the compiled usual call of System.liquid (the model's
        # _front_state), made by states.usual_state at its first call
        self.usual: tuple[Any, ...] | None = None

    def n0(self, app: Mapping[str, float]) -> np.ndarray:
        """Apparent amounts spread on the species, salts dissociated."""
        steps = self.__dict__.get("_diss_steps")
        if steps is None:
            # each dissociation as (salt position, its coefficient, [(position, coefficient)])
            steps = self._diss_steps = [
                (self.pos[salt], -d[salt], [(self.pos[s], v) for s, v in d.items()])
                for d in self.diss
                for salt in [next(s for s, v in d.items() if v < 0)]
            ]
        # plain floats, in the order of the arrays' arithmetic (the same sums, bit for bit)
        n0 = [0.0] * len(self.names)
        for c, v in app.items():
            n0[self.pos[c]] += v
        for salt, coef, products in steps:
            amt = n0[salt] / coef
            for i, v in products:
                n0[i] += v * amt
        return np.array(n0)


def _correlation_ranges(system, el, db):
    """[(what, tmin, tmax)] of the correlations the system uses (the databank's validity)."""
    used = [
        (f"vapor pressure of {c}", "vapor_pressure", c)
        for c in system.components
        if c not in system.henry
    ]
    used += [
        (f"liquid heat capacity of {c}", "liquid_heat_capacity", c)
        for c in system.components
        if c not in system.henry
    ]
    used += [
        (f"Henry constant of {h} in {c}", "henry", (h, c))
        for h in system.henry
        for c in system.components
    ]
    # a chemistry's constants carry no reaction id: the databank record with the same A-D
    for k in el.K:
        rid = next(
            (
                rid
                for rid, rec in db.table("equilibrium").items()
                if isinstance(rec, dict)
                and all(
                    abs(float(rec.get(c, 0.0)) - float(k[c])) <= 1e-12 * max(1.0, abs(k[c]))
                    for c in "ABCD"
                )
            ),
            None,
        )
        if rid is not None:
            used.append((f"equilibrium constant {rid}", "reaction", rid))
    return [(what, *rng) for what, kind, key in used if (rng := db.validity(kind, key)) is not None]


def _default_pairs(info, db):
    """{(molecule, cation, anion)} whose electrolyte parameters are the kind's defaults."""
    mols = [s for i, s in enumerate(info.names) if not info.ion[i]]
    cats = [s for i, s in enumerate(info.names) if info.z[i] > 0]
    ans = [s for i, s in enumerate(info.names) if info.z[i] < 0]
    out = set()
    for m in mols:
        if not db.known(m) or db.species(m)["kind"] not in ("solvent",):
            continue
        for c in cats:
            for a in ans:
                if db.is_default_pair(m, c, a):
                    out.add((m, c, a))
    return out


def _fitted(name, db):
    try:
        return db.table("fitted").get(name)
    except FileNotFoundError:
        return None


def range_warnings(
    system: Any,
    T: float,
    app: Mapping[str, float] | list[float] | np.ndarray,
    stacklevel: int = 3,
    warn: Callable[..., Any] | None = None,
    notes: list[str] | None = None,
) -> None:
    """RangeWarning for every correlation whose validity range excludes T, and for a liquid
    outside the range its parameters were fitted for (``app``: its amounts by component, or a
    list or array of them in component order, such as a feed's fractions). ``warn``: called as
    ``warnings.warn`` instead of it (a solver that gives the warnings of many liquids once
    collects them). ``notes``: ``liquid_notes`` of the amounts ``app``, worked out before."""
    if warn is None:
        warn = warnings.warn
    info = system._info
    t_lo, t_hi = info.t_window
    if not t_lo <= T <= t_hi:  # the correlations' ranges, then the fit's
        ends = info.range_ends
        i = bisect_left(ends, T)  # (T in the piece below ends[i], or at it)
        for note in info.notes_at[2 * i + 1 if i < len(ends) and ends[i] == T else 2 * i]:
            warn(note, RangeWarning, stacklevel=stacklevel)
    if not info.fitted:
        return
    if notes is not None:
        for note in notes:
            warn(note, RangeWarning, stacklevel=stacklevel)
        return
    if isinstance(app, (list, np.ndarray)):
        last = info.last_feed
        if last is not None and app is last[1]:
            # the fractions checks.feed keeps for its last feed: their notes, worked out once
            notes = last[2]
            if notes is None:
                notes = _feed_notes(system, app.tolist())
                info.last_feed = (last[0], last[1], notes)
        else:
            notes = _feed_notes(system, app if isinstance(app, list) else app.tolist())
        for note in notes:
            warn(note, RangeWarning, stacklevel=stacklevel)
        return
    for note in liquid_notes(system, app):
        warn(note, RangeWarning, stacklevel=stacklevel)


def feed_notes_at(system: Any, T: float, z: np.ndarray) -> list[str]:
    """The notes that ``range_warnings`` gives for the feed fractions ``z`` at T, in its order,
    kept for the last T and the last feed that ``feed`` kept (``z`` that same read-only array:
    a flash repeated at one T; read from ``SystemInfo._feed_notes_at`` by the caller)."""
    notes: list[str] = []
    range_warnings(system, T, z, warn=lambda note, *args, **kwargs: notes.append(note))
    info = system._info
    last = info.last_feed
    if last is not None and z is last[1]:
        info._feed_notes_at = (T, z, notes)
    return notes


def liquid_notes(system: Any, app: Mapping[str, float]) -> list[str]:
    """The notes of range_warnings on a fitted system's molalities and loading for the amounts
    ``app`` by component, in its order ([] for a system without a fit)."""
    info = system._info
    if not info.fitted:
        return []
    _, molalities, loading = info.fit_ranges
    notes = []
    if molalities:
        water = app.get("H2O", 0.0)
        kg = water * info.mw["H2O"] / 1000.0
    for solute, top in molalities:
        if kg > 0.0 and app.get(solute, 0.0) / kg > top:
            notes.append(_molality_note(system, solute, top))
    if loading is not None:
        base, acid, top = loading
        if app.get(base, 0.0) > 0.0 and app.get(acid, 0.0) / app[base] > top:
            notes.append(_loading_note(system, base, acid, top))
    return notes


_GATHERING = threading.RLock()  # see warnings_to_caller


class warnings_to_caller:
    """``with warnings_to_caller():`` in a public entry point: the package's warnings of what
    it runs, raised at depths that vary with the path taken (a flash with solids warns from
    the active set's flashes, an H flash from its search in T), are gathered and given again
    when it ends, in order (also when it raises), at the line that called the entry point;
    ``stacklevel`` counts from the function that holds the ``with`` (2: its caller). Warnings
    of other packages keep where they were raised. ``once``: each of the package's messages
    once (a capture column's liquids repeat the same range warning at every stage).

    The record (``catch_warnings``) is process-wide: such calls in several threads take turns
    (a lock), so that no thread restores another's filters; a warning another thread raises
    meanwhile is given again here, at this caller's line."""

    def __init__(self, stacklevel: int = 2, once: bool = False) -> None:
        self.stacklevel, self.once = stacklevel, once

    def __enter__(self) -> "warnings_to_caller":
        _GATHERING.acquire()
        try:
            self._cm = warnings.catch_warnings(record=True)
            self._caught = self._cm.__enter__()
            warnings.simplefilter("always")  # the caller's filters decide when given again
        except BaseException:
            _GATHERING.release()
            raise
        return self

    def __exit__(self, *exc: Any) -> None:
        try:
            self._cm.__exit__(*exc)
        finally:
            _GATHERING.release()
        said = set()
        for w in self._caught:
            if w.category.__module__.partition(".")[0] == "velmora":
                key = (w.category, str(w.message))
                if self.once and key in said:
                    continue
                said.add(key)
                # (+1: from this method up to the function that holds the with)
                warnings.warn(w.message, w.category, stacklevel=self.stacklevel + 1)
            else:
                warnings.warn_explicit(w.message, w.category, w.filename, w.lineno, source=w.source)


def warns_at_caller(once: bool = False) -> Callable[[_F], _F]:
    """A decorator: the public entry point runs inside ``warnings_to_caller(once=once)``, its
    package's warnings given at the line that called it."""

    def decorate(f: _F) -> _F:
        @functools.wraps(f)
        def entry(*args: Any, **kwargs: Any) -> Any:
            with warnings_to_caller(once=once):
                return f(*args, **kwargs)

        return cast(_F, entry)

    return decorate


def _feed_notes(system: Any, app: list[float]) -> list[str]:
    """The notes of range_warnings on the fit's molalities and loading for amounts in component
    order: read by position, as get() of their mapping reads them (0 for a name that is no
    component)."""
    info = system._info
    _, molalities, loading = info.fit_ranges
    water_at, solutes_at, loading_at = info.fit_at
    notes = []
    if molalities:
        kg = (app[water_at] if water_at >= 0 else 0.0) * info.mw["H2O"] / 1000.0
    for (solute, top), i in zip(molalities, solutes_at):
        if kg > 0.0 and (app[i] if i >= 0 else 0.0) / kg > top:
            notes.append(_molality_note(system, solute, top))
    if loading is not None:
        ib, ia = loading_at
        amount = app[ib] if ib >= 0 else 0.0
        if amount > 0.0 and (app[ia] if ia >= 0 else 0.0) / amount > loading[2]:
            notes.append(_loading_note(system, *loading))
    return notes


def _between(a, b):
    """A T strictly between the ends a < b of pieces of the T axis (either may be infinite;
    where none lies between, the piece is never looked up)."""
    if a == -math.inf:
        return b - 1.0 if b != math.inf else 0.0
    return a + 1.0 if b == math.inf else (a + b) / 2.0


def _molality_note(system, solute, top):
    return (
        f"{solute} above {top:g} mol/kg, the largest molality the parameters "
        f"of {system.name} were fitted for: extrapolated"
    )


def _loading_note(system, base, acid, top):
    return (
        f"loading above {top:g} mol {acid}/mol {base}, the largest the "
        f"parameters of {system.name} were fitted for: extrapolated"
    )


def pair_warnings(system: Any, n: ArrayLike, stacklevel: int = 4) -> None:
    """DefaultParameterWarning, once per system and pair, for each electrolyte pair on default
    parameters whose ions and molecule are major species of the liquid of true amounts n, in a
    chemistry no shipped fit covers. A fitted chemistry was fitted with its default pairs in
    place: its figures hold with them, and its ranges are warned of by range_warnings."""
    info = system._info
    pairs = info.__dict__.get("_pair_positions")
    if pairs is None:  # the pairs not said yet; sorted, as a set's order varies by process
        pairs = info._pair_positions = (
            []
            if info.fitted
            else [
                (
                    f"{m} with ({c}, {a}) takes the databank's default electrolyte parameters: "
                    "no data in the databank determine this pair",
                    info.pos[m],
                    info.pos[c],
                    info.pos[a],
                )
                for m, c, a in sorted(info.default_pairs)
            ]
        )
    if not pairs:
        return
    n = np.asarray(n, dtype=float)
    # n / n.sum() lies within a few ulps of these: only a pair that passes with a 1 % margin
    # can pass below (most liquids have none, and skip the array arithmetic)
    nl = n.tolist()
    tot = sum(nl)
    ions = 0.00099 * tot
    for _, im, ic, ia in pairs:
        if nl[ic] > ions and nl[ia] > ions and nl[im] > 0.0099 * tot:
            break
    else:
        return
    x = (n / n.sum()).tolist()  # plain floats: indexed a few times each
    for pair in list(pairs):
        message, im, ic, ia = pair
        if x[im] > 0.01 and x[ic] > 1e-3 and x[ia] > 1e-3:
            pairs.remove(pair)  # said once for this system
            warnings.warn(message, DefaultParameterWarning, stacklevel=stacklevel)


# ---------------------------------------------------------------------------- checks of answers


def abs_max(v: np.ndarray) -> float:
    """Largest |v| of a small array (plain floats: a NumPy reduction costs more than the
    arithmetic); inf if any element is NaN or inf."""
    a = list(map(abs, v.tolist()))
    return max(a, default=0.0) if math.isfinite(sum(a)) else math.inf


def speciation_residual(
    system: Any, app: Mapping[str, float], T: float, n: ArrayLike, lng: ArrayLike
) -> float:
    """Largest reaction residual [ln units] and invariant residual [relative] of a speciation.

    The model's compiled check where the model is the package's own (the same arithmetic, a
    tenth of the time); here where lnK or henry_ref is replaced in Python."""
    el, info = system.model, system._info
    native = getattr(el, "_residual", None)
    if native is not None:
        res = native(app, T, n, lng)
        if res is not None:
            return res
    n = np.asarray(n, dtype=float)
    nl = n.tolist()
    tot_n = sum(nl)
    # a negative amount fails the minimum; a NaN or inf in n makes the sum NaN or inf, and one
    # in lng makes the reaction residual inf below: any of them fails every tolerance
    if not (0.0 < tot_n < math.inf and min(nl) >= 0.0):
        return math.inf
    res = 0.0
    if info.nu.size:
        x = n / tot_n
        lx = np.log(np.maximum(x, 1e-300))
        lx += lng
        lx -= el.henry_ref(T, x)
        r = info.nu @ lx
        r -= el.lnK(T)
        res = abs_max(r)
    if info.B.size:
        n0 = info.n0(app)  # apparent amounts: none negative
        res = max(res, abs_max(info.B @ (n - n0)) / max(math.fsum(n0.tolist()), 1e-300))
    return res if math.isfinite(res) else math.inf


def phase_residual(
    system: Any,
    z: np.ndarray,
    beta: float,
    x: np.ndarray,
    y: np.ndarray,
    T: float,
    P: float,
    f: Mapping[str, float],
    n: ArrayLike,
) -> tuple[float, float]:
    """Largest phase-equilibrium residual of a flash result and its mass-balance residual.

    ``f``: the liquid fugacities {component: Pa} of the liquid x at T, ``n`` its true amounts.
    Every volatile component the liquid holds or makes is checked, whether the feed names it
    or not (a bicarbonate liquid makes CO2): see ``fugacity_mismatch``. A component that does
    not evaporate may not be in the vapor; a feed with one has no all-vapor answer."""
    from velmora import phasekit

    comps = system.components
    lnphi = np.asarray(phasekit.phi_vapor(system.pp, y, T, P), dtype=float).tolist()
    # plain floats from here: element access of small arrays costs more than the arithmetic
    z, x, y = z.tolist(), x.tolist(), y.tolist()
    liquid = 1.0 - beta
    # |z - (1 - beta) x - beta y|, each in the arrays' order of operations; NaN if any is
    gap = [abs(zk - liquid * xk - beta * yk) for zk, xk, yk in zip(z, x, y)]
    bal = math.nan if math.isnan(sum(gap)) else max(gap)
    fixed = [k for k, c in enumerate(comps) if c not in f]
    vol = [k for k, c in enumerate(comps) if c in f]
    if beta > 0.0 and any(y[k] > TRACE for k in fixed):
        return math.inf, bal  # a salt in the vapor
    if beta >= 1.0 and any(z[k] > TRACE for k in fixed):
        return math.inf, bal  # a salt feed cannot be all vapor
    if not vol:
        return 0.0, bal
    if 0.0 < beta < 1.0:
        nl = np.asarray(n, dtype=float).tolist()
        tot = sum(nl)
        pos = system._info.pos
        res = 0.0
        for k in vol:
            c = comps[k]
            xt = nl[pos[c]] / tot if c in pos else 0.0
            res = max(
                res,
                fugacity_mismatch(
                    f[c], y[k] * math.exp(lnphi[k]) * P, P, max(x[k], xt), system.tol
                ),
            )
    elif beta <= 0.0:
        # all liquid: the bubble pressure of x over every volatile it holds or makes <= P
        s = sum(f[comps[k]] / (P * math.exp(lnphi[k])) for k in vol)
        res = max(0.0, math.log(s)) if s > 0.0 else 0.0
    else:
        # all vapor: the dew condition sum y / K <= 1 on the incipient liquid x, which must be
        # that liquid: x = (y / K) / sum(y / K) with K at x (a trial liquid that is not, e.g. a
        # uniform x, can pass sum y / K <= 1 beside a liquid that forms)
        s = 0.0
        w = []
        for k in vol:
            if z[k] <= TRACE:
                continue
            if not x[k] > 0.0:
                # every volatile component of the vapor is in its incipient liquid (K is
                # finite): a trial liquid without one, whose speciation leaves it a floor
                # fugacity, passes the test beside a liquid that forms (MDEA at 1.6e-6 of an
                # H2S vapor with water, 0.1 % of it liquid at that T)
                return math.inf, bal
            K = f[comps[k]] / (max(x[k], 1e-300) * P * math.exp(lnphi[k]))
            w.append((k, y[k] / K if K > 0.0 else math.inf))
            s += w[-1][1]
        res = max(0.0, math.log(s)) if s > 0.0 else 0.0
        if 0.0 < s < math.inf:
            res = max(res, max(abs(v / s - x[k]) for k, v in w))
    return res, bal


def flash_residuals(
    system: Any,
    app: Mapping[str, float],
    T: float,
    z: np.ndarray,
    beta: float,
    x: np.ndarray,
    y: np.ndarray,
    P: float,
    warm: Any,
) -> (
    tuple[dict[str, float], np.ndarray, np.ndarray, bool, tuple[float, float, float] | None] | None
):
    """The liquid of a flash answer and the answer's check in one call of the core (the model's
    ``_front_flash_check``): (f, n, lng, converged, (phase residual, balance, speciation
    residual)) as the model's ``fugacities`` and ``_status`` give the liquid ``app`` at T from
    the warm start ``warm`` (a _WarmStart of the caller's, see Electrolyte._session) and
    ``phase_residual`` and ``speciation_residual`` give the residuals of the answer (feed z,
    vapor fraction beta, liquid x, vapor y) at T, P, to the last digit; the residuals None where
    the caller computes them (a speciation that did not meet its tolerance). Raises what
    ``fugacities`` raises. None where the core steps aside (a method, the activity model or the
    vapor model is replaced in Python, or the vapor is not the ideal gas): the caller calls them."""
    el = system.model
    if getattr(el, "_front_flash_check", None) is None:
        return None
    return el._session(
        warm,
        "_front_flash_check",
        app,
        system.components,
        z,
        beta,
        x,
        y,
        T,
        P,
        system.pp,
        system.tol,
        (VAPOR_FLOOR, RESOLUTION, TRACE),
    )[0]


def flash_and_check(
    system: Any, z: np.ndarray, T: float, P: float, box: list[Any], stable_check: float, warm: Any
) -> Any:
    """The core's TP flash of the feed z at T, P and the check of its answer (see
    ``flash_residuals``) in one call of the core (the model's ``_front_tp_flash``): ``box`` gets
    the flash's result and its split status, then True once the check's speciation starts (an
    error raised after that is the speciation's), and with the check whether no solute of a
    split's liquid lies beyond ``stable_check`` mol/kg (the liquid's stability test of
    ``velmora.flashes`` then has nothing to test), its split's |d beta / d ln K| and whether the
    liquid passes ``true_water``. Returns the check as ``flash_residuals`` does, or None: ``box``
    empty where the caller is to run the flash and its check, the flash's result in it where the
    caller is to check it. The flash's speciations start from ``warm`` (a _WarmStart), left where
    the last of them left it."""
    one = getattr(system.model, "_front_tp_flash", None)
    if one is None:
        return None
    info = system._info
    # the arguments that stay the same for the system, made once
    args = info.__dict__.get("_flash_args")
    if args is None or args[1][3] != stable_check:
        water = (info.kg_water, M_MAX, info.mw["H2O"], stable_check, info.solvents)
        args = info._flash_args = ((VAPOR_FLOOR, RESOLUTION, TRACE), water)
    limits, water = args
    return one(
        system.pp,
        z,
        T,
        P,
        system.components,
        system.tol,
        limits,
        water,
        box,
        info.self_ions_bound,
        warm,
    )


def one_given(
    T: float | None, H: float | None, S: float | None, vapor_fraction: float | None
) -> tuple[str, float]:
    """(name, value) of the one flash condition given; ValueError naming them otherwise."""
    givens = {
        k: v
        for k, v in (("T", T), ("H", H), ("S", S), ("vapor_fraction", vapor_fraction))
        if v is not None
    }
    if len(givens) != 1:
        raise ValueError(
            "give exactly one of T, H, S, vapor_fraction"
            + (f" (given: {', '.join(givens)})" if givens else "")
        )
    return next(iter(givens.items()))


def fugacity_mismatch(f_liquid: float, f_vapor: float, P: float, x: float, tol: float) -> float:
    """The mismatch of one component's liquid and vapor fugacities [Pa], scaled so that what
    the speciation cannot resolve counts as ``tol``:

        |f_L - f_V| / (max(f_L, f_V) + RESOLUTION f_L / (x tol))

    which is <= tol exactly when |f_L - f_V| <= tol max(f_L, f_V) + RESOLUTION f_L / x: the
    liquid's fugacity is known to RESOLUTION / x of itself, f_L / x (gamma times the Henry
    constant or vapor pressure) staying finite as x goes to 0, so a vapor that holds far more
    of a component than the liquid's fugacity allows fails however little the liquid holds.
    ``x``: the larger of the component's apparent and true (molecular) mole fraction in the
    liquid. Both below VAPOR_FLOOR * P: 0 (a vapor share below 1e-12 is noise)."""
    if max(f_liquid, f_vapor) <= VAPOR_FLOOR * P:
        return 0.0
    unresolved = RESOLUTION * f_liquid / (x * tol) if x > 0.0 else 0.0
    return abs(f_liquid - f_vapor) / (max(f_liquid, f_vapor) + unresolved)


# Scales of a flash target's residual: H [J/mol] and S [J/(mol K)] are met to tol relative to
# the larger of the target and these (near a zero of the reference the relative error is void).
TARGET_SCALE = {"H": 1e4, "S": 10.0}


def target_residual(key: str, value: float, target: float) -> float:
    """How far a flash result's ``value`` of ``key`` ("beta", "H", "S"; the front door's units)
    lies from the ``target``: absolute for the vapor fraction, relative for H and S."""
    if key == "beta":
        return abs(value - target)
    return abs(value - target) / max(abs(target), TARGET_SCALE[key])
