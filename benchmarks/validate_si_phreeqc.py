"""Saturation indices of velmora against PHREEQC (pitzer.dat, the Harvie-Moller-Weare model)
for a few brines at 25 C. PHREEQC runs through phreeqpython in the benchmark's own environment
(.venv-bench, made by `make bench`), never as a dependency of velmora:

    make .venv-bench/.peers
    # or: python3 -m venv .venv-bench; .venv-bench/bin/pip install phreeqpython
    .venv/bin/python benchmarks/validate_si_phreeqc.py

PHREEQC_PYTHON names another Python with phreeqpython. PHREEQC's indices are its own SI("phase")
of a USER_PUNCH: under pitzer.dat phreeqpython's Solution.si() leaves out the n log10 a_w of a
hydrate's n waters, so it is printed beside them only for comparison.
"""

import json
import math
import os
import subprocess
import sys
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))

# (chemistry, molalities {component: mol/kg}, PHREEQC totals {element: mol/kg})
BRINES = [
    ("NaCl-H2O", {"NaCl": 6.0}, {"Na": 6.0, "Cl": 6.0}),
    ("NaCl-H2O", {"NaCl": 2.0}, {"Na": 2.0, "Cl": 2.0}),
    ("KCl-H2O", {"KCl": 4.5}, {"K": 4.5, "Cl": 4.5}),
    ("CaSO4-NaCl-H2O", {"CaSO4": 0.0152}, {"Ca": 0.0152, "S(6)": 0.0152}),
    (
        "CaSO4-NaCl-H2O",
        {"NaCl": 2.0, "CaSO4": 0.05},
        {"Na": 2.0, "Cl": 2.0, "Ca": 0.05, "S(6)": 0.05},
    ),
    (
        "brine-H2O",
        {"NaCl": 4.2, "KCl": 0.102, "CaCl2": 0.103, "Na2SO4": 0.282},
        {"Na": 4.764, "K": 0.102, "Ca": 0.103, "Cl": 4.508, "S(6)": 0.282},
    ),
    ("Na2SO4-H2O", {"Na2SO4": 1.96}, {"Na": 3.92, "S(6)": 1.96}),
    ("Na2CO3-CO2-H2O", {"Na2CO3": 1.0, "CO2": 0.8}, {"Na": 2.0, "C(4)": 1.8}),
    ("CaCO3-CO2-H2O", {"CaCO3": 0.002, "CO2": 0.003}, {"Ca": 0.002, "C(4)": 0.005}),
]
NAMES = {
    "halite": "Halite",
    "sylvite": "Sylvite",
    "gypsum": "Gypsum",
    "anhydrite": "Anhydrite",
    "mirabilite": "Mirabilite",
    "thenardite": "Thenardite",
    "calcite": "Calcite",
    "nahcolite": "Nahcolite",
    "natron": "Natron",
    "kalicinite": "Kalicinite",
}
# pitzer.dat writes these with CO3-2 + H+, velmora with HCO3-: their log K on velmora's reaction
# adds that of CO3-2 + H+ = HCO3-
ON_HCO3 = {"Nahcolite", "Kalicinite"}
ABSENT = -99.0  # SI("phase") is -99.99 when an ion of the phase is not in the solution

# Runs in the peer's environment: the raw input through phreeqpython's IPhreeqc instance, and
# phreeqpython's own si() of the same solutions for the comparison.
PHREEQC = r"""
import json, sys
from phreeqpython import PhreeqPython
job = json.load(sys.stdin)
pp = PhreeqPython(database="pitzer.dat")
pp.ip.run_string(job["input"])
punch = pp.ip.get_selected_output_array()
si = []
for totals in job["totals"]:
    sol = pp.add_solution({"units": "mol/kgw", "temp": 25.0, "pH": "7 charge", **totals})
    si.append({p: sol.si(p) for p in job["phases"]})
    sol.forget()
json.dump({"punch": punch, "si": si}, sys.stdout)
"""


def _log_k(phase):
    return f'LK_PHASE("{phase}")' + (' + LK_SPECIES("HCO3-")' if phase in ON_HCO3 else "")


def phreeqc_input(totals_list, phases, temp_c=25.0):
    """PHREEQC input: one SOLUTION per brine (element totals in mol/kgw, pH from the charge
    balance) and a selected-output row each: solution number, a_w, then SI and log10 K of each
    phase (headings "Halite", "lk_Halite", ...)."""
    heads = ["a_w"] + [h for p in phases for h in (p, f"lk_{p}")]
    punch = ", ".join(['ACT("H2O")'] + [v for p in phases for v in (f'SI("{p}")', _log_k(p))])
    lines = [
        "SELECTED_OUTPUT 1",
        "    -reset false",
        "    -solution true",
        "USER_PUNCH 1",
        "    -headings " + " ".join(heads),
        f"    10 PUNCH {punch}",
    ]
    for n, totals in enumerate(totals_list, 1):
        lines += [f"SOLUTION {n}", "    units mol/kgw", f"    temp {temp_c:g}", "    pH 7 charge"]
        lines += [f"    {el} {m!r}" for el, m in totals.items()]
        lines.append("END")
    return "\n".join(lines) + "\n"


def parse_punch(rows, n_solutions):
    """[{"a_w": .., phase: SI or None, "lk_" + phase: log10 K}] per solution, in order, from the
    selected-output array (headings first); SI None where the solution lacks an ion of the phase."""
    heads, body = rows[0], rows[1:]
    if len(body) != n_solutions:
        raise ValueError(f"PHREEQC punched {len(body)} rows for {n_solutions} solutions")
    out = []
    for n, row in enumerate(body, 1):
        rec = dict(zip(heads, row))
        if rec.pop("soln") != n:
            raise ValueError(f"row {n} of the punch is solution {row[0]}")
        out.append({k: (None if v < ABSENT else v) for k, v in rec.items()})
    return out


def run_phreeqc(totals_list, phases):
    exe = os.environ.get("PHREEQC_PYTHON") or os.path.join(
        HERE, "..", ".venv-bench", "bin", "python"
    )
    if not os.path.exists(exe):
        sys.exit("no Python with phreeqpython: make .venv-bench/.peers, or set PHREEQC_PYTHON")
    job = {"input": phreeqc_input(totals_list, phases), "totals": totals_list, "phases": phases}
    got = json.loads(
        subprocess.run(
            [exe, "-c", PHREEQC], input=json.dumps(job), text=True, capture_output=True, check=True
        ).stdout
    )
    return parse_punch(got["punch"], len(totals_list)), got["si"]


def main():
    import velmora

    warnings.simplefilter("ignore")
    ours = []
    for chem, m, _ in BRINES:
        s = velmora.System(chem)
        liq = s.liquid(298.15, molalities=m)
        ours.append(
            (
                liq.saturation_indices,
                liq.water_activity,
                s.solids.log10_ksp(298.15),
                {
                    k: s.solids.records[s.solids.index(k)]["dissolution"].get("H2O", 0)
                    for k in s.solids.names
                },
            )
        )
    punched, si_call = run_phreeqc([t for _, _, t in BRINES], list(NAMES.values()))
    # SI = log10 IAP - log10 K: diff splits into d log K (the databanks' constants) and d log IAP
    # (the activity models, water included); n_H2O is the waters of a hydrate
    print(
        f"{'brine (mol/kg)':<48} {'solid':<11} {'velmora':>8} {'SI()':>8} {'diff':>7} "
        f"{'dlogK':>7} {'dlogIAP':>7} {'si()':>8}  n_H2O"
    )
    worst, water_term = 0.0, 0.0
    for (_, m, _), (si, aw, lk, waters), ref, old in zip(BRINES, ours, punched, si_call):
        label = ", ".join(f"{k} {v:g}" for k, v in m.items())
        print(f"{label:<48} a_w velmora {aw:.4f}, PHREEQC {ref['a_w']:.4f}")
        for k, v in si.items():
            name = NAMES[k]
            theirs = ref[name]
            if theirs is None:
                continue
            n = waters[k]
            # si() of phreeqpython misses exactly the hydrate waters' n log10 a_w
            water_term = max(water_term, abs(old[name] + n * math.log10(ref["a_w"]) - theirs))
            d, dk = v - theirs, lk[k] - ref[f"lk_{name}"]
            worst = max(worst, abs(d))
            print(
                f"{'':<48} {k:<11} {v:8.3f} {theirs:8.3f} {d:+7.3f} {dk:+7.3f} {d + dk:+7.3f} "
                f"{old[name]:8.3f}  {n}"
            )
    print(f"largest difference velmora - SI() {worst:.3f} (log10 units)")
    print(f"largest |si() + n log10 a_w - SI()| {water_term:.1e}")


if __name__ == "__main__":
    main()
