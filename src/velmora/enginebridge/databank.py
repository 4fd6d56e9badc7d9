"""The databank of the engine: the shipped files plus any overlays a user adds.

The shipped databank is one TOML file per kind of data in databank/ (``FILES``) and the records
of the shipped fits in databank/fits/ (overlays written by ``velmora.regress``). Values are kept
in the files in the units of their sources (stated in each file's header); the accessors return
SI on the kmol basis (K, Pa, J/kmol, J/(kmol K), m3/kmol).

An overlay adds or replaces records: a TOML file named after one kind (``henry.toml``, in the
shipped format of that kind), a TOML file or mapping with one section per kind
(``[substances.KCl]``, ``[[nrtl_electrolyte.pair]]``, ``[chemistry.KCl-H2O]``, ...), and an
optional ``[fit]`` section that records where fitted values come from. ``load(sources)``
builds an immutable ``Databank`` from the shipped files and the overlays, applied in order, and
checks every overlay record when it loads (required fields, units, duplicates, the charge and
element balance of reactions); a bad record raises ``DatabankError`` naming the source, the
record and the field. ``using(db)`` makes a databank the one the module's functions (and so the
engine and the built-in chemistries) read.
"""

import contextlib
import contextvars
import copy
import functools
import hashlib
import json
import math
import pathlib
import re
import tomllib

DIR = pathlib.Path(__file__).with_name("databank")
FILES = ("substances", "vapor_pressure", "henry", "critical_volume", "ideal_gas", "aqueous",
         "liquid_heat_capacity", "equilibrium", "nrtl_molecular", "nrtl_electrolyte", "nrtl_mixing",
         "nrtl_dilute", "nrtl_dilute_pair", "solvents", "chemistry",
         "solids")
FITS = DIR / "fits"
KINDS_OF_SPECIES = ("solvent", "solute", "salt", "ion", "complex")


class UnknownSpecies(ValueError):
    """A component or species that the databank does not know."""


class DatabankError(ValueError):
    """A databank record that cannot be used; the message names the source, record and field."""


# ---------------------------------------------------------------------------------------------
# Record schemas. Per kind: how records are keyed ("id": a table of records by id; "pair": an
# array of tables under "pair" keyed by the fields given), the required fields and their types,
# and the optional ones. "num" a number, "nums:a-b" a list of a to b numbers.
_T = {"tmin": "num", "tmax": "num"}
SCHEMA = {
    "substances": ("id", {"name": "str", "formula": "str", "kind": "str", "molar_mass": "num",
                          "charge": "int"}, {"ions": "map", "supercritical": "bool", "source": "str",
                                            "confidence": "str"}),
    "vapor_pressure": ("id", {"coeffs": "nums:5-7", **_T, "source": "str"}, {"confidence": "str"}),
    "henry": (("solute", "solvent"), {"solute": "str", "solvent": "str", "coeffs": "nums:4-5", **_T,
                                      "source": "str"}, {"confidence": "str"}),
    "critical_volume": ("id", {"vc": "num", "source": "str"}, {"confidence": "str"}),
    "ideal_gas": ("id", {"cp": "nums:4-4", "dhform": "num", "source": "str"}, {"confidence": "str"}),
    "aqueous": ("id", {"dhf_aq": "num", "cp_aq": "nums:1-6", "source": "str"}, {"confidence": "str"}),
    # a solvent's liquid heat capacity, cp = sum_j cp[j] (T - t0)^j [J/(mol K)]; its liquid
    # enthalpy then runs from the vapor-pressure correlation's at 298.15 K (phasekit.T_REF)
    "liquid_heat_capacity": ("id", {"cp": "nums:1-5", "t0": "num", **_T, "source": "str"},
                             {"confidence": "str"}),
    "equilibrium": ("id", {"reaction": "map", "A": "num", "B": "num", "C": "num", "D": "num", **_T,
                           "source": "str"}, {"confidence": "str", "shift": "num"}),
    "nrtl_molecular": (("i", "j"), {"i": "str", "j": "str", "A_ij": "num", "B_ij": "num", "A_ji": "num",
                                    "B_ji": "num", "alpha": "num", "source": "str"},
                       {"F_ij": "num", "F_ji": "num", "confidence": "str", **_T}),
    "nrtl_electrolyte": (("molecule", "cation", "anion"),
                         {"molecule": "str", "cation": "str", "anion": "str", "A_m_ca": "num",
                          "B_m_ca": "num", "A_ca_m": "num", "B_ca_m": "num", "alpha": "num",
                          "source": "str"},
                         {"F_m_ca": "num", "F_ca_m": "num", "W1_A": "num", "W1_B": "num", "W2_A": "num",
                          "W2_B": "num", "confidence": "str", **_T}),
    # the ion-ion-ion mixing term U_{ion;ion_1,ion_2} = U_A + U_B/T (docs/activity-model.md)
    "nrtl_mixing": (("ion", "ion_1", "ion_2"), {"ion": "str", "ion_1": "str", "ion_2": "str", "U_A": "num",
                                                 "source": "str"}, {"U_B": "num", "confidence": "str", **_T}),
    # the dilute-weighted like-ion term of a solvent and an ion, D = D_A + D_B/T (docs/activity-model.md)
    "nrtl_dilute": (("molecule", "ion"), {"molecule": "str", "ion": "str", "D_A": "num", "source": "str"},
                    {"D_B": "num", "confidence": "str", **_T}),
    # the dilute-weighted salt-pair term of a solvent, a cation and an anion, D = D_A + D_B/T
    "nrtl_dilute_pair": (("molecule", "cation", "anion"),
                         {"molecule": "str", "cation": "str", "anion": "str", "D_A": "num", "source": "str"},
                         {"D_B": "num", "confidence": "str", **_T}),
    "solvents": ("id", {}, {"density": "map", "dielectric": "map"}),
    "chemistry": ("id", {"species": "strs", "equilibria": "strs", "source": "str"},
                  {"dissociation": "maps", "components": "strs", "henry": "strs",
                   "ion_fractions": "str"}),
    # salts and minerals: ln Ksp = A + B/T + C ln T + D T of the dissolution (mole-fraction basis)
    "solids": ("id", {"formula": "str", "dissolution": "map", "molar_mass": "num", "A": "num",
                      "B": "num", "C": "num", "D": "num", **_T, "source": "str"},
               {"name": "str", "confidence": "str", "log10_Km_25": "num"}),
}

# How the activity model treats the ion fractions Y of its mixing rules in a chemistry's liquid:
# "held" (the default; the published convention, not an exact derivative with several ions of a
# charge) or "free" (Y differentiated: Gibbs-Duhem holds). The pair parameters of a chemistry are
# fitted under its own choice.
ION_FRACTIONS = ("held", "free")


def fixed_ion_fractions(record):
    """The activity model's option "fixed_Y" of a chemistry record."""
    return record.get("ion_fractions", "held") == "held"


# Units a record may state in its "units" table ({field: unit}); values are converted to the
# unit of the shipped file. Pressures inside a logarithm shift the constant term.
_PRESSURE = {"Pa": 1.0, "kPa": 1e3, "MPa": 1e6, "bar": 1e5, "atm": 101325.0, "mmHg": 133.322368}
_KELVIN = {"K": 0.0, "C": 273.15}
UNITS = {
    "molar_mass": {"kg/kmol": 1.0, "g/mol": 1.0},
    "vc": {"cm3/mol": 1.0, "m3/kmol": 1e3, "L/mol": 1e3},
    "dhform": {"kJ/mol": 1.0, "J/mol": 1e-3, "J/kmol": 1e-6},
    "dhf_aq": {"kJ/mol": 1.0, "J/mol": 1e-3, "J/kmol": 1e-6},
    "cp": {"J/(mol K)": 1.0, "J/(kmol K)": 1e-3},
    "cp_aq": {"J/(mol K)": 1.0, "J/(kmol K)": 1e-3},
    "coeffs": _PRESSURE,      # vapor pressure and Henry constants: ln(P/unit)
    "tmin": _KELVIN, "tmax": _KELVIN,
}


def _fail(src, kind, key, field, problem):
    where = f"{src}: [{kind}] record {key!r}"
    raise DatabankError(f"{where}: field {field!r}: {problem}" if field else f"{where}: {problem}")


def _check_type(v, t):
    if t == "str":
        return isinstance(v, str) and v != ""
    if t == "bool":
        return isinstance(v, bool)
    if t == "int":
        return isinstance(v, int) and not isinstance(v, bool)
    if t == "num":
        return isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)
    if t == "map":
        return isinstance(v, dict)
    if t == "strs":
        return isinstance(v, list) and all(isinstance(s, str) for s in v)
    if t == "maps":
        return isinstance(v, list) and all(isinstance(s, dict) for s in v)
    lo, hi = map(int, t.split(":")[1].split("-"))
    return isinstance(v, list) and lo <= len(v) <= hi and all(_check_type(x, "num") for x in v)


_TYPE_WORDS = {"bool": "true or false", "str": "a non-empty string", "int": "an integer", "num": "a finite number",
               "map": "a table", "strs": "a list of strings", "maps": "a list of tables"}


def _normalise(src, kind, key, rec):
    """The record checked against its kind's schema, with its units converted; a new dict."""
    if not isinstance(rec, dict):
        _fail(src, kind, key, None, "is not a table")
    _, required, optional = SCHEMA[kind]
    rec = copy.deepcopy(rec)
    units = rec.pop("units", {})
    if not isinstance(units, dict):
        _fail(src, kind, key, "units", "must be a table {field = unit}")
    for field, t in required.items():
        if field not in rec:
            _fail(src, kind, key, field, "is required")
    for field, v in rec.items():
        t = required.get(field) or optional.get(field)
        if t is None:
            _fail(src, kind, key, field, f"is not a field of {kind} (fields: "
                  f"{', '.join(list(required) + list(optional))})")
        if not _check_type(v, t):
            _fail(src, kind, key, field, f"must be {_TYPE_WORDS.get(t) or 'a list of numbers ' + t[5:]}")
    for field, unit in units.items():
        table = UNITS.get(field)
        if field not in rec:
            _fail(src, kind, key, field, f"has a unit ({unit!r}) but no value")
        if table is None or unit not in table:
            ok = ", ".join(table) if table else "none (dimensionless or fixed)"
            _fail(src, kind, key, field, f"unit {unit!r} is not accepted here (accepted: {ok})")
        f = table[unit]
        if table is _PRESSURE:
            rec[field] = [rec[field][0] + math.log(f)] + rec[field][1:]
        elif table is _KELVIN:
            rec[field] = rec[field] + f
        elif isinstance(rec[field], list):
            rec[field] = [c * f for c in rec[field]]
        else:
            rec[field] = rec[field] * f
    if "tmin" in rec and "tmax" in rec and not 0 < rec["tmin"] < rec["tmax"]:
        _fail(src, kind, key, "tmin", f"range [{rec['tmin']}, {rec['tmax']}] K is empty or not positive")
    if kind == "substances":
        if rec["kind"] not in KINDS_OF_SPECIES:
            _fail(src, kind, key, "kind", f"{rec['kind']!r} is not one of {', '.join(KINDS_OF_SPECIES)}")
        if rec["molar_mass"] <= 0:
            _fail(src, kind, key, "molar_mass", "must be positive")
        try:
            elements(rec["formula"])
        except ValueError as e:
            _fail(src, kind, key, "formula", str(e))
        if charge_of(rec["formula"]) != rec["charge"]:
            _fail(src, kind, key, "charge", f"{rec['charge']} is not the charge of the formula {rec['formula']!r}")
        if rec["kind"] == "complex" and rec["charge"] != 0:
            _fail(src, kind, key, "charge", "an aqueous complex here is a neutral ion pair (charge 0)")
    if kind == "nrtl_molecular" and rec["i"] == rec["j"]:
        _fail(src, kind, key, "j", "a pair needs two different molecules")
    return rec


# ---------------------------------------------------------------------------------------------
# Formulas: elements and charge ("HOCH2CH2NH3+", "CO3--", "Ca(OH)2"), for the balances.
_ELEM = re.compile(r"([A-Z][a-z]?)(\d*)|(\()|(\))(\d*)")


def charge_of(formula):
    return formula.count("+") - formula.count("-")


def elements(formula):
    """{element: count} of a formula; nested parentheses allowed; charges ignored."""
    body = formula.rstrip("+-")
    stack, pos = [{}], 0
    while pos < len(body):
        m = _ELEM.match(body, pos)
        if m is None:
            raise ValueError(f"cannot read the formula {formula!r} at {body[pos:]!r}")
        if m.group(1):
            stack[-1][m.group(1)] = stack[-1].get(m.group(1), 0) + int(m.group(2) or 1)
        elif m.group(3):
            stack.append({})
        else:
            if len(stack) == 1:
                raise ValueError(f"unbalanced parenthesis in the formula {formula!r}")
            inner, n = stack.pop(), int(m.group(5) or 1)
            for e, c in inner.items():
                stack[-1][e] = stack[-1].get(e, 0) + c * n
        pos = m.end()
    if len(stack) != 1:
        raise ValueError(f"unbalanced parenthesis in the formula {formula!r}")
    return stack[0]


def hydrate_elements(formula):
    """{element: count} of a solid's formula, water of crystallisation after a dot
    ("CaSO4.2H2O", "K2CO3.1.5H2O"); the count before the hydrate part may be fractional."""
    head, dot, tail = formula.partition(".")
    total = dict(elements(head))
    if dot:
        m = re.fullmatch(r"(\d+(?:\.\d+)?)?([A-Z(].*)", tail)
        if m is None:
            raise ValueError(f"cannot read the hydrate part {tail!r} of {formula!r}")
        for e, n in elements(m.group(2)).items():
            total[e] = total.get(e, 0) + float(m.group(1) or 1) * n
    return total


def _check_balance(src, kind, key, field, stoich, substances, solid=None):
    charge, total = 0.0, {}
    if solid is not None:           # a solid dissolving into the species of stoich
        try:
            total = {e: -n for e, n in hydrate_elements(solid).items()}
        except (ValueError, AttributeError) as e:
            _fail(src, kind, key, "formula", str(e))
    for sid, nu in stoich.items():
        if not _check_type(nu, "num"):
            _fail(src, kind, key, field, f"coefficient of {sid!r} must be a number")
        rec = substances.get(sid)
        if rec is None:
            _fail(src, kind, key, field, f"species {sid!r} is not in the databank")
        charge += nu * rec["charge"]
        for e, n in elements(rec["formula"]).items():
            total[e] = total.get(e, 0) + nu * n
    if abs(charge) > 1e-9:
        _fail(src, kind, key, field, f"charge is not balanced ({charge:+g})")
    off = {e: n for e, n in total.items() if abs(n) > 1e-9}
    if off:
        _fail(src, kind, key, field, "elements are not balanced (" +
              ", ".join(f"{e} {n:+g}" for e, n in sorted(off.items())) + ")")


# ---------------------------------------------------------------------------------------------
class Databank:
    """The shipped databank with overlays applied; read-only. Build it with ``load``."""

    __slots__ = ("_tables", "_digest", "_fits", "_sources")

    def __init__(self, tables, digest, fits, sources):
        object.__setattr__(self, "_tables", tables)
        object.__setattr__(self, "_digest", digest)
        object.__setattr__(self, "_fits", fits)
        object.__setattr__(self, "_sources", sources)

    def __setattr__(self, name, value):
        raise AttributeError("a Databank is immutable: load a new one with overlays")

    def __repr__(self):
        return f"<Databank {self._digest}: shipped + {len(self._sources)} overlay(s)>"

    def __reduce__(self):
        # travels whole (a worker need not have the overlay files)
        return (Databank, (self._tables, self._digest, self._fits, self._sources))

    # --- identity
    def digest(self):
        """16 hexadecimal characters identifying the content (shipped files and overlays)."""
        return self._digest

    def table(self, name):
        """The merged table of one kind (treat as read-only)."""
        return self._tables[name]

    def fits(self):
        """{source name: the [fit] record of an overlay} of the fits in this databank."""
        return dict(self._fits)

    # --- species
    def species(self, sid):
        """Record of one species: name, formula, kind, molar_mass [kg/kmol], charge."""
        try:
            return self._tables["substances"][sid]
        except KeyError:
            raise UnknownSpecies(f"species {sid!r} is not in the databank") from None

    def known(self, sid):
        return sid in self._tables["substances"]

    def is_ion(self, sid):
        return self.species(sid)["kind"] == "ion"

    def kind(self, sid):
        """Kind of a species in a parameter report: "water", "solvent", "ion" or "solute"."""
        if sid == "H2O":
            return "water"
        k = self.species(sid)["kind"]
        return k if k in ("solvent", "ion") else "solute"

    # --- pure-component and Henry data
    def antoine(self, sid):
        """Extended-Antoine coefficients C1..C7 (ln Psat[Pa]), or None."""
        rec = self._tables["vapor_pressure"].get(sid)
        return None if rec is None else list(rec["coeffs"]) + [0.0] * (7 - len(rec["coeffs"]))

    def henry_record(self, solute, solvent):
        """The Henry record (coeffs, tmin, tmax, source) of solute in solvent, or None."""
        for rec in self._tables["henry"].get("pair", []):
            if rec["solute"] == solute and rec["solvent"] == solvent:
                return rec
        return None

    def henry(self, solute, solvent):
        """Henry-constant coefficients (ln H[Pa]) of solute in solvent, or None."""
        rec = self.henry_record(solute, solvent)
        return None if rec is None else list(rec["coeffs"])

    def vc(self, sid):
        """Critical volume, m3/kmol, or None."""
        rec = self._tables["critical_volume"].get(sid)
        return None if rec is None else rec["vc"] * 1e-3

    def cpig(self, sid):
        """Ideal-gas heat-capacity polynomial a + bT + cT^2 + dT^3 in J/(kmol K), or None."""
        rec = self._tables["ideal_gas"].get(sid)
        return None if rec is None else [c * 1e3 for c in rec["cp"]]

    def dhform(self, sid):
        """Ideal-gas enthalpy of formation at 298.15 K, J/kmol, or None."""
        rec = self._tables["ideal_gas"].get(sid)
        return None if rec is None else rec["dhform"] * 1e6

    def cpl(self, sid):
        """A solvent's liquid heat capacity as (t0 [K], coefficients [J/(kmol K)]) of
        cp = sum_j c_j (T - t0)^j, or None."""
        rec = self._tables["liquid_heat_capacity"].get(sid)
        return None if rec is None else (float(rec["t0"]), [c * 1e3 for c in rec["cp"]])

    def cp_aq(self, sid):
        """CP_AQ polynomial of an ion in J/(kmol K), or None."""
        rec = self._tables["aqueous"].get(sid)
        return None if rec is None else [c * 1e3 for c in rec["cp_aq"]]

    def dhf_aq(self, sid):
        """DHF_AQ of an ion, J/kmol, or None."""
        rec = self._tables["aqueous"].get(sid)
        return None if rec is None else rec["dhf_aq"] * 1e6

    def solvent(self, sid):
        """Density and dielectric records of a solvent, or None."""
        return self._tables["solvents"].get(sid)

    # --- reactions
    def reaction_record(self, rid):
        """The equilibrium record (reaction, A, B, C, D, tmin, tmax, source); an overlay's
        "shift" of ln K is already added to A."""
        try:
            return self._tables["equilibrium"][rid]
        except KeyError:
            raise KeyError(f"reaction {rid!r} is not in the databank") from None

    # --- NRTL pairs
    def nrtl_record(self, i, j):
        """The molecule-pair record of i-j (either order), or None."""
        for rec in self._tables["nrtl_molecular"].get("pair", []):
            if {rec["i"], rec["j"]} == {i, j}:
                return rec
        return None

    def nrtl_pair(self, i, j):
        """(A_ij, B_ij, A_ji, B_ji, alpha, source) of the molecule pair i-j, or None."""
        rec = self.nrtl_record(i, j)
        if rec is None:
            return None
        if (rec["i"], rec["j"]) == (i, j):
            return rec["A_ij"], rec["B_ij"], rec["A_ji"], rec["B_ji"], rec["alpha"], rec["source"]
        return rec["A_ji"], rec["B_ji"], rec["A_ij"], rec["B_ij"], rec["alpha"], rec["source"]

    def nrtl_ln_t(self, i, j):
        """(F_ij, F_ji), the coefficients of ln T of the molecule pair i-j (0 when absent)."""
        rec = self.nrtl_record(i, j) or {}
        f = rec.get("F_ij", 0.0), rec.get("F_ji", 0.0)
        return f if (rec.get("i"), rec.get("j")) != (j, i) else f[::-1]

    def electrolyte_record(self, molecule, cation, anion):
        """The listed record of a molecule and an ion pair, or None (the defaults apply)."""
        for rec in self._tables["nrtl_electrolyte"].get("pair", []):
            if (rec["molecule"], rec["cation"], rec["anion"]) == (molecule, cation, anion):
                return rec
        return None

    def is_default_pair(self, molecule, cation, anion):
        """True when the pair is not listed and takes the defaults of the molecule's kind."""
        return self.electrolyte_record(molecule, cation, anion) is None

    def electrolyte_pair(self, molecule, cation, anion):
        """(A_m_ca, B_m_ca, A_ca_m, B_ca_m, alpha, source) for a molecule and an ion pair; the
        default of the molecule's kind when the triple is not listed."""
        rec = self.electrolyte_record(molecule, cation, anion)
        if rec is not None:
            return rec["A_m_ca"], rec["B_m_ca"], rec["A_ca_m"], rec["B_ca_m"], rec["alpha"], rec["source"]
        k = "complex" if self.species(molecule)["kind"] == "complex" else self.kind(molecule)
        d = self._tables["nrtl_electrolyte"]["defaults"][k]
        return d["tau_m_ca"], 0.0, d["tau_ca_m"], 0.0, d["alpha"], f"default for {k}: {d['source']}"

    def electrolyte_ln_t(self, molecule, cation, anion):
        """(F_m_ca, F_ca_m), the coefficients of ln T of the pair (0 for the defaults)."""
        rec = self.electrolyte_record(molecule, cation, anion) or {}
        return rec.get("F_m_ca", 0.0), rec.get("F_ca_m", 0.0)

    def electrolyte_w(self, molecule, cation, anion):
        """(W1_A, W1_B, W2_A, W2_B) of the molecule-ion-pair term (docs/activity-model.md), zero
        when absent."""
        rec = self.electrolyte_record(molecule, cation, anion) or {}
        return tuple(rec.get(f, 0.0) for f in ("W1_A", "W1_B", "W2_A", "W2_B"))

    def dilute_records(self, molecules, ions):
        """The dilute-weighted like-ion records (nrtl_dilute) of a molecule among ``molecules``
        and an ion among ``ions`` (databank ids), in file order."""
        mols, have = set(molecules), set(ions)
        return [rec for rec in self._tables["nrtl_dilute"].get("pair", [])
                if rec["molecule"] in mols and rec["ion"] in have]

    def dilute_pair_records(self, molecules, ions):
        """The dilute-weighted salt-pair records (nrtl_dilute_pair) of a molecule among
        ``molecules`` with a cation and an anion both among ``ions`` (databank ids), in file order."""
        mols, have = set(molecules), set(ions)
        return [rec for rec in self._tables["nrtl_dilute_pair"].get("pair", [])
                if rec["molecule"] in mols and rec["cation"] in have and rec["anion"] in have]

    def mixing_records(self, ions):
        """The ion-ion-ion mixing records (nrtl_mixing) whose three ions are all among ``ions``
        (databank ids), in file order."""
        have = set(ions)
        return [rec for rec in self._tables["nrtl_mixing"].get("pair", [])
                if {rec["ion"], rec["ion_1"], rec["ion_2"]} <= have]

    # --- validity and chemistries
    def validity(self, kind, key):
        """(tmin, tmax) in K of a correlation, or None: kind "vapor_pressure" or
        "liquid_heat_capacity" (key: species id), "henry" (key: (solute, solvent)), "reaction"
        (key: reaction id) or "electrolyte_pair" (key: (molecule, cation, anion))."""
        if kind in ("vapor_pressure", "liquid_heat_capacity"):
            rec = self._tables[kind].get(key)
        elif kind == "henry":
            rec = self.henry_record(*key)
        elif kind == "reaction":
            rec = self._tables["equilibrium"].get(key)
        elif kind == "electrolyte_pair":
            rec = self.electrolyte_record(*key)
        else:
            raise ValueError(f"validity: unknown kind {kind!r} (vapor_pressure, liquid_heat_capacity, "
                             "henry, reaction, electrolyte_pair)")
        if rec is None or "tmin" not in rec:
            return None
        return float(rec["tmin"]), float(rec["tmax"])

    def chemistry(self, name):
        """The chemistry record (species, dissociation, equilibria, components, henry)."""
        try:
            return self._tables["chemistry"][name]
        except KeyError:
            raise ValueError(f"unknown chemistry {name!r}; chemistries: "
                             f"{', '.join(self._tables['chemistry'])}") from None

    def chemistries(self):
        return list(self._tables["chemistry"])


# ---------------------------------------------------------------------------------------------
def _read_toml(path):
    try:
        with open(path, "rb") as fh:
            return tomllib.load(fh)
    except tomllib.TOMLDecodeError as e:
        raise DatabankError(f"{path}: not valid TOML ({e}); a record given twice is a duplicate") from None
    except OSError as e:
        raise DatabankError(f"{path}: cannot be read ({e.strerror})") from None


def _sections(source):
    """(source name, {kind: content}, fit record or None) of one overlay source."""
    if isinstance(source, dict):
        name, data = "<mapping>", copy.deepcopy(source)
    else:
        path = pathlib.Path(source)
        name, data = str(path), _read_toml(path)
        if path.stem in SCHEMA:          # one file of one kind, in the shipped format
            data = {path.stem: data}
    fit = data.pop("fit", None)
    for kind in data:
        if kind not in SCHEMA:
            raise DatabankError(f"{name}: section [{kind}] is not a kind of data (kinds: "
                                f"{', '.join(SCHEMA)}, fit)")
    return name, data, fit


def _records(name, kind, content):
    """[(key, record)] of one kind's section; list kinds keep the "defaults" aside."""
    keying = SCHEMA[kind][0]
    if not isinstance(content, dict):
        raise DatabankError(f"{name}: section [{kind}] must be a table")
    if keying == "id":
        if kind == "solvents":
            content = {k: v for k, v in content.items() if k != "born_radius"}
        return list(content.items())
    extra = set(content) - {"pair", "defaults"}
    if extra:
        raise DatabankError(f"{name}: section [{kind}]: unknown entries {sorted(extra)} (records go in [[{kind}.pair]])")
    out = []
    for n, rec in enumerate(content.get("pair", []), start=1):
        missing = [f for f in keying if not isinstance(rec, dict) or f not in rec]
        if missing:
            _fail(name, kind, f"pair {n}", missing[0], "is required")
        out.append((tuple(rec[f] for f in keying), rec))
    return out


def _merge(tables, name, data, checked):
    """Apply one overlay's sections to ``tables`` (in place); returns the (kind, key) records
    it added or replaced."""
    for kind, content in data.items():
        keying = SCHEMA[kind][0]
        seen = set()
        for key, rec in _records(name, kind, content):
            if key in seen:
                _fail(name, kind, key, None, "is a duplicate (given twice in this source)")
            seen.add(key)
            rec = _normalise(name, kind, key, rec)
            if "shift" in rec:           # a fitted shift of ln K rides on A
                rec["A"] = rec["A"] + rec["shift"]
            if keying == "id":
                tables[kind][key] = rec
            else:
                lst = tables[kind].setdefault("pair", [])
                same = [k for k, r in enumerate(lst) if tuple(r[f] for f in keying) == key]
                if kind == "nrtl_molecular":
                    same += [k for k, r in enumerate(lst) if (r["j"], r["i"]) == key]
                if kind == "nrtl_mixing":      # U is symmetric in its two like ions
                    same += [k for k, r in enumerate(lst) if (r["ion"], r["ion_2"], r["ion_1"]) == key]
                if same:
                    lst[same[0]] = rec
                else:
                    lst.append(rec)
            checked.append((name, kind, key, rec))
        if isinstance(content, dict) and "defaults" in content:
            tables[kind].setdefault("defaults", {}).update(copy.deepcopy(content["defaults"]))
        if kind == "solvents" and "born_radius" in content:
            tables[kind]["born_radius"] = content["born_radius"]


def _cross_check(tables, checked):
    """Checks that need the whole databank: balances of reactions and salts, the species of
    pairs and chemistries."""
    subs = tables["substances"]
    for name, kind, key, rec in checked:
        if kind == "equilibrium":
            _check_balance(name, kind, key, "reaction", rec["reaction"], subs)
        elif kind == "substances" and "ions" in rec:
            if rec["kind"] != "salt":
                _fail(name, kind, key, "ions", "only a salt dissociates into ions")
            _check_balance(name, kind, key, "ions", {key: -1, **rec["ions"]}, subs)
        elif kind == "nrtl_mixing":
            z = []
            for f, sid in zip(("ion", "ion_1", "ion_2"), key):
                if sid not in subs or subs[sid]["kind"] != "ion":
                    _fail(name, kind, key, f, f"{sid!r} is not an ion of the databank")
                z.append(subs[sid]["charge"])
            if (z[1] > 0) != (z[2] > 0) or (z[0] > 0) == (z[1] > 0):
                _fail(name, kind, key, None, "needs a common ion and two ions of the other sign")
        elif kind == "nrtl_dilute":
            if key[0] not in subs or subs[key[0]]["kind"] != "solvent":
                _fail(name, kind, key, "molecule", f"{key[0]!r} is not a solvent of the databank")
            if key[1] not in subs or subs[key[1]]["kind"] != "ion":
                _fail(name, kind, key, "ion", f"{key[1]!r} is not an ion of the databank")
        elif kind == "nrtl_dilute_pair":
            if key[0] not in subs or subs[key[0]]["kind"] != "solvent":
                _fail(name, kind, key, "molecule", f"{key[0]!r} is not a solvent of the databank")
            for f, sid, sign in (("cation", key[1], 1), ("anion", key[2], -1)):
                if sid not in subs or subs[sid]["kind"] != "ion" or subs[sid]["charge"] * sign <= 0:
                    _fail(name, kind, key, f, f"{sid!r} is not {'a' if sign > 0 else 'an'} {f} of the databank")
        elif kind in ("nrtl_molecular", "nrtl_electrolyte", "henry", "vapor_pressure",
                      "critical_volume", "ideal_gas", "aqueous", "liquid_heat_capacity"):
            fields = SCHEMA[kind][0]
            for f, sid in zip(fields if fields != "id" else ("id",), key if fields != "id" else (key,)):
                if sid not in subs:
                    _fail(name, kind, key, f, f"species {sid!r} is not in the databank")
                # a complex is referred to infinite dilution in water through the activity
                # model's own convention, which holds only while its pair with water is ideal
                # (ln gamma infinity 0); it has no vapor or Henry data (non-volatile)
                if kind in ("nrtl_molecular", "henry", "vapor_pressure") and subs[sid]["kind"] == "complex":
                    _fail(name, kind, key, f, f"{sid!r} is an aqueous complex: no {kind} record")
        elif kind == "solids":
            _check_balance(name, kind, key, "dissolution", rec["dissolution"], subs,
                           solid=rec["formula"])
        elif kind == "chemistry":
            for sid in rec["species"]:
                if sid not in subs:
                    _fail(name, kind, key, "species", f"species {sid!r} is not in the databank")
            for rid in rec["equilibria"]:
                r = tables["equilibrium"].get(rid)
                if r is None:
                    _fail(name, kind, key, "equilibria", f"reaction {rid!r} is not in the databank")
                stray = set(r["reaction"]) - set(rec["species"])
                if stray:
                    _fail(name, kind, key, "equilibria", f"reaction {rid!r} needs {sorted(stray)}, "
                          "which are not species of the chemistry")
            complexes = [sid for sid in rec["species"] if subs[sid]["kind"] == "complex"]
            if complexes and set(complexes) & set(rec.get("components") or rec["species"]):
                _fail(name, kind, key, "components", f"a complex ({', '.join(complexes)}) is a true species only: "
                      "name the components without it")
            for d in rec.get("dissociation", []):
                _check_balance(name, kind, key, "dissociation", d, subs)
                stray = set(d) - set(rec["species"])
                if stray:
                    _fail(name, kind, key, "dissociation", f"{sorted(stray)} are not species of the chemistry")
            for f in ("components", "henry"):
                stray = set(rec.get(f, [])) - set(rec["species"])
                if stray:
                    _fail(name, kind, key, f, f"{sorted(stray)} are not species of the chemistry")
            if rec.get("ion_fractions", "held") not in ION_FRACTIONS:
                _fail(name, kind, key, "ion_fractions",
                      f"{rec['ion_fractions']!r} is not one of {', '.join(map(repr, ION_FRACTIONS))}")


def _canonical(data):
    return json.dumps(data, sort_keys=True, default=str).encode()


def _build(sources, base=None, skip_fit=()):
    if base is None:
        tables = {name: {} for name in FILES}
        checked, fits, h = [], {}, hashlib.sha1()
        for name in FILES:
            raw = (DIR / f"{name}.toml").read_bytes()
            h.update(raw)
            try:
                data = tomllib.loads(raw.decode())
            except tomllib.TOMLDecodeError as e:
                raise DatabankError(f"{DIR / name}.toml: not valid TOML ({e})") from None
            _merge(tables, f"databank/{name}.toml", {name: data}, checked)
        fit_files = [p for p in sorted(FITS.glob("*.toml")) if p.stem not in skip_fit] if FITS.is_dir() else []
        for path in fit_files:
            h.update(path.read_bytes())
        base_sources = fit_files
    else:
        tables, checked, fits = copy.deepcopy(base._tables), [], dict(base._fits)
        h = hashlib.sha1(base._digest.encode())
        base_sources = []
    names = list(base._sources) if base is not None else []
    for src in list(base_sources) + list(sources):
        name, data, fit = _sections(src)
        if base is not None or src not in base_sources:
            h.update(_canonical([data, fit]))          # the content, not where it was read
            names.append(name)
        _merge(tables, name, data, checked)
        if fit is not None:
            fits[name] = fit
    _cross_check(tables, checked)
    # the ranges each fit covers, by chemistry: {name: {"T": [K, K], "molality": {salt: mol/kg},
    # "loading": [base, acid, mol/mol]}} (the front door warns outside them)
    tables["fitted"] = {}
    for rec in fits.values():
        for chem in rec.get("chemistries", []):
            tables["fitted"][chem] = {k: rec[k] for k in ("T", "molality", "loading") if k in rec}
    return Databank(tables, h.hexdigest()[:16], fits, tuple(names))


@functools.lru_cache(maxsize=1)
def shipped():
    """The shipped databank (files and shipped fits), built once."""
    return _build(())


def shipped_without_fit(*names):
    """The shipped databank without the shipped fit files databank/fits/<name>.toml (where a
    refit of that chemistry starts)."""
    return _build((), skip_fit=names)


def load(sources=()):
    """A Databank of the shipped files plus the overlays ``sources`` (paths of TOML files
    and/or mappings, or one of them), applied in order and checked as they load."""
    if isinstance(sources, (str, pathlib.PurePath, dict)):
        sources = [sources]
    sources = list(sources or ())
    return shipped() if not sources else _build(sources, base=shipped())


def derive(base, sources):
    """A Databank of ``base`` (a Databank) with the overlays ``sources`` applied and checked."""
    if not isinstance(base, Databank):
        raise TypeError(f"derive() needs a Databank as its base, not {type(base).__name__}")
    return _build(list(sources), base=base)


_ACTIVE = contextvars.ContextVar("velmora_databank", default=None)


def active():
    """The databank the module's functions read: the one of the innermost ``using``, else
    the shipped one."""
    return _ACTIVE.get() or shipped()


@contextlib.contextmanager
def using(db):
    """Make ``db`` (a Databank) the databank of the module's functions inside the block."""
    if not isinstance(db, Databank):
        raise TypeError(f"using() needs a Databank (from databank.load), not {type(db).__name__}")
    token = _ACTIVE.set(db)
    try:
        yield db
    finally:
        _ACTIVE.reset(token)


def present():
    """True when every databank file is there."""
    return all((DIR / f"{name}.toml").is_file() for name in FILES)


def _delegate(name):
    method = getattr(Databank, name)

    def f(*args):
        return method(active(), *args)
    f.__name__, f.__doc__ = name, method.__doc__
    return f


for _name in ("digest", "table", "species", "known", "is_ion", "kind", "antoine", "henry_record",
              "henry", "vc", "cpig", "dhform", "cpl", "cp_aq", "dhf_aq", "solvent", "reaction_record",
              "nrtl_pair", "nrtl_ln_t", "electrolyte_record", "electrolyte_pair", "electrolyte_ln_t",
              "electrolyte_w", "mixing_records", "dilute_records", "dilute_pair_records",
              "is_default_pair", "validity", "chemistry", "chemistries"):
    globals()[_name] = _delegate(_name)
del _name
