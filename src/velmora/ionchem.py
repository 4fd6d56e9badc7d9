"""Chemistries of a flowsheet, and the built-in chemistries of the databank.

A chemistry is a mapping with the entries "species" (names), "reactions" (mappings name ->
stoichiometric coefficient, negative for reactants), "kinds" ("EQUIL", "DISS", ...) and "k"
(for each EQUIL reaction {"A", "B", "C", "D"}: ln K = A + B/T + C ln T + D T on the
mole-fraction basis, T in K; None otherwise).

Built-in chemistries (``builtin(name)``) are the [chemistry] records of the engine's databank
(shipped, or added by an overlay that is active through ``databank.using``), with their
equilibrium constants. Their species carry the databank's identifiers (H2O, CO2, MEA, ...)
unless the flowsheet names its components otherwise: ``aliases`` {component name: databank
id}, the mapping a flowsheet keeps as meta["aliases"], renames them.
"""

def names():
    """The names of the chemistries of the active databank (built-in ones and those of any
    overlay's [chemistry.NAME] sections)."""
    from velmora.enginebridge import databank
    return databank.chemistries()


def components(name):
    """The apparent components of the chemistry ``name`` in databank ids (e.g. ["H2O", "MEA",
    "CO2"]): its "components" entry, else its species that are not ions, in order."""
    from velmora.enginebridge import databank
    rec = databank.chemistry(name)
    return list(rec.get("components") or [s for s in rec["species"] if not databank.is_ion(s)])


def henry_components(name):
    """The components of the chemistry ``name`` usually treated as Henry components (ids)."""
    from velmora.enginebridge import databank
    return list(databank.chemistry(name).get("henry", []))


def builtin(name, aliases=None):
    """A new chemistry mapping for the chemistry ``name`` of the active databank.

    ``aliases``: {component name: databank id}; a species whose databank id is the alias of a
    component (compared case-insensitively) is named by that component. Raises ValueError for
    an unknown name.
    """
    from velmora.enginebridge import databank

    known = databank.chemistries()
    if name not in known:
        raise ValueError(f"unknown chemistry {name!r}; built-in chemistries: {', '.join(known)}")
    rec = databank.chemistry(name)
    rename = {}
    for comp, alias in (aliases or {}).items():
        rename.setdefault(str(alias).upper(), comp)

    def nm(sid):
        return rename.get(sid.upper(), sid)

    chem = {"species": [nm(s) for s in rec["species"]], "reactions": [], "kinds": [], "k": []}
    for diss in rec.get("dissociation", []):
        chem["reactions"].append({nm(s): float(v) for s, v in diss.items()})
        chem["kinds"].append("DISS")
        chem["k"].append(None)
    for rid in rec["equilibria"]:
        r = databank.reaction_record(rid)
        chem["reactions"].append({nm(s): float(v) for s, v in r["reaction"].items()})
        chem["kinds"].append("EQUIL")
        chem["k"].append({k: float(r[k]) for k in "ABCD"})
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
