"""Chemistries of a flowsheet, and the built-in chemistries of the databank.

A chemistry is a mapping with the entries "species" (names), "reactions" (mappings name ->
stoichiometric coefficient, negative for reactants), "kinds" ("EQUIL", "DISS", ...) and "k"
(for each EQUIL reaction {"A", "B", "C", "D"}: ln K = A + B/T + C ln T + D T on the
mole-fraction basis, T in K; None otherwise).

Built-in chemistries (``builtin(name)``) take their equilibrium constants from the engine's
databank. Their species carry the databank's identifiers (H2O, CO2, MEA, ...) unless the
flowsheet names its components otherwise: ``aliases`` {component name: databank id}, the
mapping a flowsheet keeps as meta["aliases"], renames them.
"""

# name -> (species in databank ids, reactions as (kind, databank reaction id or DISS mapping))
_BUILTIN = {
    "water": (
        ["H2O", "H3O+", "OH-"],
        [("EQUIL", "WATER")]),
    "CO2-H2O": (
        ["H2O", "CO2", "H3O+", "OH-", "HCO3-", "CO3--"],
        [("EQUIL", "WATER"), ("EQUIL", "CO2-1"), ("EQUIL", "CO2-2")]),
    "NH3-CO2-H2O": (
        ["H2O", "NH3", "CO2", "H3O+", "OH-", "HCO3-", "CO3--", "NH4+", "NH2COO-"],
        [("EQUIL", "WATER"), ("EQUIL", "CO2-1"), ("EQUIL", "CO2-2"), ("EQUIL", "NH3-1"),
         ("EQUIL", "NH3-2")]),
    "H2S-H2O": (
        ["H2O", "H2S", "H3O+", "OH-", "HS-"],
        [("EQUIL", "WATER"), ("EQUIL", "H2S-1")]),
    "MEA-CO2-H2O": (
        ["H2O", "MEA", "CO2", "H3O+", "OH-", "HCO3-", "CO3--", "MEAH+", "MEACOO-"],
        [("EQUIL", "WATER"), ("EQUIL", "CO2-1"), ("EQUIL", "CO2-2"), ("EQUIL", "MEA-1"),
         ("EQUIL", "MEA-2")]),
    "NaCl-H2O": (
        ["H2O", "NaCl", "Na+", "Cl-", "H3O+", "OH-"],
        [("DISS", {"NaCl": -1, "Na+": 1, "Cl-": 1}), ("EQUIL", "WATER")]),
}


def names():
    """The names of the built-in chemistries."""
    return list(_BUILTIN)


def builtin(name, aliases=None):
    """A new chemistry mapping for the built-in chemistry ``name``.

    ``aliases``: {component name: databank id}; a species whose databank id is the alias of a
    component (compared case-insensitively) is named by that component. Raises ValueError for
    an unknown name.
    """
    from velmora.enginebridge import databank

    if name not in _BUILTIN:
        raise ValueError(f"unknown chemistry {name!r}; built-in chemistries: {', '.join(_BUILTIN)}")
    rename = {}
    for comp, alias in (aliases or {}).items():
        rename.setdefault(str(alias).upper(), comp)
    species, reactions = _BUILTIN[name]

    def nm(sid):
        return rename.get(sid.upper(), sid)

    chem = {"species": [nm(s) for s in species], "reactions": [], "kinds": [], "k": []}
    for kind, what in reactions:
        if kind == "DISS":
            chem["reactions"].append({nm(s): float(v) for s, v in what.items()})
            chem["k"].append(None)
        else:
            rec = databank.reaction_record(what)
            chem["reactions"].append({nm(s): float(v) for s, v in rec["reaction"].items()})
            chem["k"].append({k: float(rec[k]) for k in "ABCD"})
        chem["kinds"].append(kind)
    return chem


def chemistries(fs):
    """The flowsheet's chemistries {cid: chem}, in the flowsheet's order; empty when none.

    ``fs.chemistries`` may be a mapping or a sequence of (cid, chem) pairs, or absent/None.
    A chem given as a string names a built-in chemistry, built with the flowsheet's aliases
    (``fs.meta["aliases"]``).
    """
    chems = getattr(fs, "chemistries", None)
    if not chems:
        return {}
    items = chems.items() if hasattr(chems, "items") else chems
    aliases = (getattr(fs, "meta", None) or {}).get("aliases") or None
    return {cid: builtin(chem, aliases) if isinstance(chem, str) else chem for cid, chem in items}
