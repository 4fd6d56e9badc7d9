"""Saturation indices of velmora against PHREEQC (pitzer.dat, the Harvie-Moller-Weare model)
for a few brines at 25 C. PHREEQC runs through phreeqpython in its own Python environment,
never as a dependency of velmora:

    python3 -m venv /tmp/phq && /tmp/phq/bin/pip install phreeqpython
    PHREEQC_PYTHON=/tmp/phq/bin/python .venv/bin/python benchmarks/validate_si_phreeqc.py
"""
import json
import os
import subprocess
import sys
import warnings

import velmora

# (chemistry, molalities {component: mol/kg}, PHREEQC totals {element: mol/kg})
BRINES = [
    ("NaCl-H2O", {"NaCl": 6.0}, {"Na": 6.0, "Cl": 6.0}),
    ("NaCl-H2O", {"NaCl": 2.0}, {"Na": 2.0, "Cl": 2.0}),
    ("KCl-H2O", {"KCl": 4.5}, {"K": 4.5, "Cl": 4.5}),
    ("CaSO4-NaCl-H2O", {"CaSO4": 0.0152}, {"Ca": 0.0152, "S(6)": 0.0152}),
    ("CaSO4-NaCl-H2O", {"NaCl": 2.0, "CaSO4": 0.05},
     {"Na": 2.0, "Cl": 2.0, "Ca": 0.05, "S(6)": 0.05}),
    ("brine-H2O", {"NaCl": 4.2, "KCl": 0.102, "CaCl2": 0.103, "Na2SO4": 0.282},
     {"Na": 4.764, "K": 0.102, "Ca": 0.103, "Cl": 4.508, "S(6)": 0.282}),
    ("Na2SO4-H2O", {"Na2SO4": 1.96}, {"Na": 3.92, "S(6)": 1.96}),
    ("Na2CO3-CO2-H2O", {"Na2CO3": 1.0, "CO2": 0.8}, {"Na": 2.0, "C(4)": 1.8}),
    ("CaCO3-CO2-H2O", {"CaCO3": 0.002, "CO2": 0.003}, {"Ca": 0.002, "C(4)": 0.005}),
]
NAMES = {"halite": "Halite", "sylvite": "Sylvite", "gypsum": "Gypsum", "anhydrite": "Anhydrite",
         "mirabilite": "Mirabilite", "thenardite": "Thenardite", "calcite": "Calcite",
         "nahcolite": "Nahcolite", "natron": "Natron", "kalicinite": "Kalicinite"}

PHREEQC = r"""
import json, sys
from phreeqpython import PhreeqPython
pp = PhreeqPython(database="pitzer.dat")
out = []
for totals, minerals in json.load(sys.stdin):
    sol = pp.add_solution({"units": "mol/kgw", "temp": 25.0, "pH": "7 charge", **totals})
    out.append({m: sol.si(m) for m in minerals})
    sol.forget()
json.dump(out, sys.stdout)
"""


def main():
    warnings.simplefilter("ignore")
    ours, jobs = [], []
    for chem, m, totals in BRINES:
        s = velmora.System(chem)
        si = s.liquid(298.15, molalities=m).saturation_indices
        ours.append(si)
        jobs.append((totals, [NAMES[k] for k in si]))
    exe = os.environ.get("PHREEQC_PYTHON")
    if not exe:
        sys.exit("set PHREEQC_PYTHON to a Python with phreeqpython installed")
    theirs = json.loads(subprocess.run([exe, "-c", PHREEQC], input=json.dumps(jobs), text=True,
                                       capture_output=True, check=True).stdout)
    print(f"{'brine (mol/kg)':<48} {'solid':<11} {'velmora':>8} {'PHREEQC':>8} {'diff':>7}")
    worst = 0.0
    for (chem, m, _), si, ref in zip(BRINES, ours, theirs):
        label = ", ".join(f"{k} {v:g}" for k, v in m.items())
        for k, v in si.items():
            if ref[NAMES[k]] < -900.0:          # PHREEQC: an ion of the solid is absent
                continue
            d = v - ref[NAMES[k]]
            worst = max(worst, abs(d))
            print(f"{label:<48} {k:<11} {v:8.3f} {ref[NAMES[k]]:8.3f} {d:+7.3f}")
    print(f"largest difference {worst:.3f} (log10 units)")


if __name__ == "__main__":
    main()
