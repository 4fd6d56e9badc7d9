"""A model of a built-in chemistry from the engine's parameter report, for the benchmarks."""

from velmora import enginebridge, ionactivity, ionchem
from velmora.brinequil import Electrolyte


def engine_model(comps, henry, chem_name, extra_species=()):
    """(el, sp): the Electrolyte of the chemistry chem_name over the components comps (each its
    own alias) with the Henry components henry; extra_species join the chemistry's species."""
    chem = dict(ionchem.builtin(chem_name))
    chem["species"] = list(chem["species"]) + [s for s in extra_species if s not in chem["species"]]
    head = enginebridge.input_header(
        {c: c for c in comps}, "eNRTL", henry=list(henry) or None, chemistry=(chem_name, chem)
    )
    report, _ = enginebridge.run_input(head + "\nPARAMETER-REPORT ALL\n", runid="elec")
    names = list(comps) + [s for s in chem["species"] if s not in comps]
    sp, data = ionactivity.species_from_report(report, names, list(henry))
    el = Electrolyte(
        sp,
        chem["reactions"],
        chem["kinds"],
        chem["k"],
        list(comps),
        data["antoine"],
        data["henry"],
        data["vc"],
    )
    el.pure = data["pure"]
    return el, sp
