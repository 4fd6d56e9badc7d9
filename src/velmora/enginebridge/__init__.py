"""The engine: writes eNRTL parameter reports from the databank shipped with the package.

An input text names the components under their aliases, the property method, the Henry
components and one chemistry (``input_header``); ``run_input`` reads such a text and, on the
request "PARAMETER-REPORT ALL", returns the parameter report built from the databank
(docs/report-format.md; the data and their sources: docs/data-sources.md).
Setting the environment variable VELMORA_NO_ENGINE to a non-empty value other than "0"
makes ``engine_available`` false (used to exercise the no-engine path).
"""

import os

from . import databank
from .databank import UnknownSpecies
from .engine import input_header, parse_input, build_report, checksum_ok

__all__ = ["engine_available", "input_header", "run_input", "checksum_ok", "UnknownSpecies",
           "databank"]


def engine_available():
    """True when the engine can run here: its databank is installed and it is not switched
    off by VELMORA_NO_ENGINE."""
    if os.environ.get("VELMORA_NO_ENGINE", "") not in ("", "0"):
        return False
    return databank.present()


def run_input(text, runid="run"):
    """Run an engine input text; returns (report text, listing text)."""
    from .engine import run_input as _run
    return _run(text, runid=runid)


def property_package(components, aliases=None, henry_comps=(), method="ENRTL"):
    """A ``phasekit.PropertyPackage`` for ``components`` with the databank's ideal-gas heat
    capacities and formation enthalpies, vapor pressures, liquid heat capacities of the
    solvents, Henry constants (of each Henry component in each other component that is a
    solvent) and critical volumes.

    ``aliases``: {component name: databank id}; a component without one is its own id.
    """
    from velmora import phasekit
    from .engine import _component_id

    aliases = dict(aliases or {})
    ids = {c: _component_id(c, aliases.get(c, c)) for c in components}
    antoine = {c: databank.antoine(s) for c, s in ids.items() if databank.antoine(s)}
    henry = {}
    for h in henry_comps:
        for c, s in ids.items():
            p = databank.henry(ids[h], s) if c != h else None
            if p is not None:
                henry[(h, c)] = p
    vc = {c: databank.vc(s) for c, s in ids.items() if databank.vc(s) is not None}
    cpl = {c: databank.cpl(s) for c, s in ids.items() if c in antoine and databank.cpl(s)}
    return phasekit.PropertyPackage(
        list(components), method=method, cpig_kind="poly",
        cpig={c: databank.cpig(s) or [] for c, s in ids.items()},
        DHFORM={c: databank.dhform(s) or 0.0 for c, s in ids.items()},
        henry_comps=tuple(henry_comps), antoine=antoine, henry=henry, vc=vc, cpl=cpl)
