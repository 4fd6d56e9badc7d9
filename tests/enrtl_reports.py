"""Parameter reports of the tests: the documented example, a hand-written NaCl-water report,
and the engine's report."""

import pathlib
import re

DOC = pathlib.Path(__file__).resolve().parents[1] / "docs" / "report-format.md"


def doc_example():
    """The complete CO2-water example of docs/report-format.md."""
    return re.search(r"## Complete example.*?```\n(.*?)```", DOC.read_text(), re.S).group(1)


CO2_NAMES = ["H2O", "CO2", "H3O+", "OH-", "HCO3-", "CO3--"]

NACL = """ENRTL-PARAMETER-REPORT 1
[SPECIES]
H2O   water  0  18.01528
Na+   ion   +1  22.98977
Cl-   ion   -1  35.453
[BORN-RADIUS]
Na+  3e-10
Cl-  3e-10
[SOLVENT-DENSITY]
H2O  KELL
[SOLVENT-DIELECTRIC]
H2O  POLY  249.21 -0.79069 0.00072997
[NRTL-ELECTROLYTE]
H2O  Na+ Cl-   8.885 0 0 0   -4.549 0 0 0   0.2
[VAPOR-PRESSURE]
H2O    73.649 -7258.2 0 0 -7.3037 4.1653e-06 2
[CRITICAL-VOLUME]
H2O    0.05595
[AQUEOUS-FORMATION-ENTHALPY]
Na+  -2.401e8
Cl-  -1.672e8
"""
NACL_NAMES = ["H2O", "Na+", "Cl-"]


def engine_report(aliases, chem=None, henry=()):
    """The engine's parameter report for the components {name: alias}, a chemistry or None,
    and the Henry components, requested as brinequil requests it."""
    from velmora import enginebridge

    text = enginebridge.input_header(
        aliases,
        "eNRTL",
        henry=list(henry) or None,
        chemistry=None if chem is None else ("C1", chem),
    )
    return enginebridge.run_input(text + "\nPARAMETER-REPORT ALL\n", runid="elec")[0]
