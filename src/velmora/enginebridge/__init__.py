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
from .engine import input_header, parse_input, build_report

__all__ = ["engine_available", "input_header", "run_input", "UnknownSpecies", "databank"]


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
