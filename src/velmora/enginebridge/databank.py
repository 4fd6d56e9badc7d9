"""The databank shipped with the engine: one TOML file per kind of data in databank/.

Values are kept in the files in the units of their sources (stated in each file's header);
the accessors here return SI on the kmol basis (K, Pa, J/kmol, J/(kmol K), m3/kmol).
"""

import functools
import pathlib
import tomllib

DIR = pathlib.Path(__file__).with_name("databank")
FILES = ("substances", "vapor_pressure", "henry", "critical_volume", "ideal_gas", "aqueous",
         "equilibrium", "nrtl_molecular", "nrtl_electrolyte", "solvents", "regression_mea")


class UnknownSpecies(ValueError):
    """A component or species that the databank does not know."""


def present():
    """True when every databank file is there."""
    return all((DIR / f"{name}.toml").is_file() for name in FILES)


@functools.lru_cache(maxsize=None)
def digest():
    """16 hexadecimal characters identifying the databank's content (SHA-1 of its files)."""
    import hashlib
    h = hashlib.sha1()
    for name in FILES:
        h.update((DIR / f"{name}.toml").read_bytes())
    return h.hexdigest()[:16]


@functools.lru_cache(maxsize=None)
def table(name):
    """The parsed file databank/<name>.toml (cached; treat as read-only)."""
    with open(DIR / f"{name}.toml", "rb") as fh:
        return tomllib.load(fh)


def species(sid):
    """Record of one species: name, formula, kind, molar_mass [kg/kmol], charge."""
    try:
        return table("substances")[sid]
    except KeyError:
        raise UnknownSpecies(f"species {sid!r} is not in the databank") from None


def known(sid):
    return sid in table("substances")


def is_ion(sid):
    return species(sid)["kind"] == "ion"


def kind(sid):
    """Kind of a species in a parameter report: "water", "solvent", "ion" or "solute"."""
    if sid == "H2O":
        return "water"
    k = species(sid)["kind"]
    return k if k in ("solvent", "ion") else "solute"


def antoine(sid):
    """Extended-Antoine coefficients C1..C7 (ln Psat[Pa]), or None."""
    rec = table("vapor_pressure").get(sid)
    return None if rec is None else list(rec["coeffs"])


def henry_record(solute, solvent):
    """The Henry record (coeffs, tmin, tmax, source) of solute in solvent, or None."""
    for rec in table("henry").get("pair", []):
        if rec["solute"] == solute and rec["solvent"] == solvent:
            return rec
    return None


def henry(solute, solvent):
    """Henry-constant coefficients (ln H[Pa]) of solute in solvent, or None."""
    rec = henry_record(solute, solvent)
    return None if rec is None else list(rec["coeffs"])


def vc(sid):
    """Critical volume, m3/kmol, or None."""
    rec = table("critical_volume").get(sid)
    return None if rec is None else rec["vc"] * 1e-3


def cpig(sid):
    """Ideal-gas heat-capacity polynomial a + bT + cT^2 + dT^3 in J/(kmol K), or None."""
    rec = table("ideal_gas").get(sid)
    return None if rec is None else [c * 1e3 for c in rec["cp"]]


def dhform(sid):
    """Ideal-gas enthalpy of formation at 298.15 K, J/kmol, or None."""
    rec = table("ideal_gas").get(sid)
    return None if rec is None else rec["dhform"] * 1e6


def cp_aq(sid):
    """CP_AQ polynomial of an ion in J/(kmol K), or None."""
    rec = table("aqueous").get(sid)
    return None if rec is None else [c * 1e3 for c in rec["cp_aq"]]


def dhf_aq(sid):
    """DHF_AQ of an ion, J/kmol, or None."""
    rec = table("aqueous").get(sid)
    return None if rec is None else rec["dhf_aq"] * 1e6


def reaction_record(rid):
    return table("equilibrium")[rid]


def nrtl_pair(i, j):
    """(A_ij, B_ij, A_ji, B_ji, alpha, source) of the molecule pair i-j, or None."""
    for rec in table("nrtl_molecular").get("pair", []) + table("regression_mea").get("molecule_pair", []):
        if (rec["i"], rec["j"]) == (i, j):
            return rec["A_ij"], rec["B_ij"], rec["A_ji"], rec["B_ji"], rec["alpha"], rec["source"]
        if (rec["i"], rec["j"]) == (j, i):
            return rec["A_ji"], rec["B_ji"], rec["A_ij"], rec["B_ij"], rec["alpha"], rec["source"]
    return None


def electrolyte_pair(molecule, cation, anion):
    """(A_m_ca, B_m_ca, A_ca_m, B_ca_m, alpha, source) for a molecule and an ion pair; the
    default of the molecule's kind when the triple is not listed."""
    for rec in table("nrtl_electrolyte").get("pair", []) + table("regression_mea").get("electrolyte_pair", []):
        if (rec["molecule"], rec["cation"], rec["anion"]) == (molecule, cation, anion):
            return rec["A_m_ca"], rec["B_m_ca"], rec["A_ca_m"], rec["B_ca_m"], rec["alpha"], rec["source"]
    k = kind(molecule)
    d = table("nrtl_electrolyte")["defaults"][k]
    return d["tau_m_ca"], 0.0, d["tau_ca_m"], 0.0, d["alpha"], f"default for {k}: {d['source']}"


def solvent(sid):
    """Density and dielectric records of a solvent, or None."""
    return table("solvents").get(sid)
