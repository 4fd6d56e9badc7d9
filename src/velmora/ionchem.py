"""Chemistries of a flowsheet.

A chemistry is a mapping with the entries "species" (names), "reactions" (mappings name ->
stoichiometric coefficient, negative for reactants), "kinds" ("EQUIL", "DISS", ...) and "k"
(for each EQUIL reaction {"A", "B", "C", "D"}: ln K = A + B/T + C ln T + D T on the
mole-fraction basis, T in K; None otherwise).
"""


def chemistries(fs):
    """The flowsheet's chemistries {cid: chem}, in the flowsheet's order; empty when none.

    ``fs.chemistries`` may be a mapping, a sequence of (cid, chem) pairs, or absent/None.
    """
    chems = getattr(fs, "chemistries", None)
    if not chems:
        return {}
    items = chems.items() if hasattr(chems, "items") else chems
    return {cid: chem for cid, chem in items}
