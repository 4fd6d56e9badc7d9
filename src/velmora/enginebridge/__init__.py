"""The engine: writes eNRTL parameter reports from the databank shipped with the package.

An input text names the components under their aliases, the property method, the Henry
components and one chemistry (``input_header``); ``run_input`` reads such a text and, on the
request "PARAMETER-REPORT ALL", returns the parameter report built from the databank.
Setting the environment variable VELMORA_NO_ENGINE to a non-empty value other than "0"
makes ``engine_available`` false (used to exercise the no-engine path).
"""

import os


def engine_available():
    """True when the engine can run here (the databank is not shipped yet)."""
    if os.environ.get("VELMORA_NO_ENGINE", "") not in ("", "0"):
        return False
    return False


def input_header(aliases, method, henry=None, chemistry=None):
    raise RuntimeError("the engine is not available yet")


def run_input(text, runid="run"):
    raise RuntimeError("the engine is not available yet")
