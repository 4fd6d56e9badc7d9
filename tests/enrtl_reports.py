"""Parameter reports used by the activity-model tests (the documented example, and NaCl-water)."""

import pathlib
import re

DOC = pathlib.Path(__file__).resolve().parents[1] / "docs" / "report-format.md"


def doc_example():
    """The complete CO2-water example of docs/report-format.md."""
    text = DOC.read_text()
    block = re.search(r"## Complete example.*?```\n(.*?)```", text, re.S).group(1)
    return block


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

# MEA-CO2-water: two solvents, a Henry solute, two cations and four anions. The MEA data and
# the MEA pair parameters are placeholders of the right size (the databank holds the values used).
MEA = """ENRTL-PARAMETER-REPORT 1
[SPECIES]
H2O      water    0  18.01528
MEA      solvent  0  61.0831
CO2      solute   0  44.0095
H3O+     ion     +1  19.02322
MEAH+    ion     +1  62.0905
OH-      ion     -1  17.00734
HCO3-    ion     -1  61.01684
CO3--    ion     -2  60.0089
MEACOO-  ion     -1  104.0847
[BORN-RADIUS]
H3O+ 3e-10
MEAH+ 3e-10
OH- 3e-10
HCO3- 3e-10
CO3-- 3e-10
MEACOO- 3e-10
[SOLVENT-DENSITY]
H2O  KELL
MEA  POLY  1250.4 -0.8
[SOLVENT-DIELECTRIC]
H2O  BRADLEY-PITZER  342.79 -5.0866e-3 9.4690e-7 -2.0525 3115.9 -182.89 -8032.5 4.2142e6 2.1417
MEA  POLY  148.9 -0.62491 0.00077143
[NRTL-MOLECULE]
H2O MEA   1.5 -1.0  -500 300   0 0  0 0   0.2 0
H2O CO2   10.064 10.064 -3268.1 -3268.1  0 0  0 0  0.2 0
[NRTL-ELECTROLYTE]
H2O  MEAH+ MEACOO-   7.5 1000 0 0   -4.0 -200 0 0   0.2
H2O  MEAH+ HCO3-     8.5 0 0 0   -4.5 0 0 0   0.2
MEA  MEAH+ MEACOO-   12 0 0 0    -3 0 0 0     0.1
CO2  MEAH+ HCO3-     15 0 0 0    -8 0 0 0     0.1
[VAPOR-PRESSURE]
H2O    73.649 -7258.2 0 0 -7.3037 4.1653e-06 2
MEA    92.624 -10367.0 0 0 -9.4699 1.9e-18 6
[HENRY]
CO2  H2O   199.2582 -9126.69 -26.99262 0.0136553 0
[CRITICAL-VOLUME]
H2O    0.05595
MEA    0.225
[AQUEOUS-FORMATION-ENTHALPY]
H3O+   -2.8583e8
MEAH+  -3.3e8
OH-    -2.300e8
HCO3-  -6.920e8
CO3--  -6.771e8
MEACOO- -7.0e8
"""
MEA_NAMES = ["H2O", "MEA", "CO2", "H3O+", "MEAH+", "OH-", "HCO3-", "CO3--", "MEACOO-"]


def mea_liquid(loading=0.4):
    """True mole fractions of a 30 wt% MEA liquid at a CO2 loading, roughly speciated."""
    mea0 = 0.3 / 61.0831
    w = 0.7 / 18.01528
    co2 = loading * mea0
    carb = 0.8 * co2
    bic = 0.15 * co2
    x = {"H2O": w - 0.05 * co2, "MEA": mea0 - 2 * carb - bic, "CO2": 0.02 * co2,
         "MEAH+": carb + bic + 0.05 * co2 * 2, "MEACOO-": carb, "HCO3-": bic, "CO3--": 0.03 * co2,
         "OH-": 1e-9, "H3O+": 1e-12}
    # electroneutral by construction of MEAH+
    q = {"H3O+": 1, "MEAH+": 1, "OH-": -1, "HCO3-": -1, "CO3--": -2, "MEACOO-": -1}
    x["MEAH+"] -= sum(q[s] * x[s] for s in q)
    v = [x[s] for s in MEA_NAMES]
    tot = sum(v)
    return [a / tot for a in v]
