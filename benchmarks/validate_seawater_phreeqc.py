"""Seawater concentrated 1-10 times at 25 C: saturation indices of velmora beside PHREEQC's own
SI() (pitzer.dat, through phreeqpython in .venv-bench; see validate_si_phreeqc.py).

    .venv/bin/python benchmarks/validate_seawater_phreeqc.py

The liquid is velmora.seawater() (Reference Composition, Millero et al. 2008) times the factor,
in the chemistry "seawater-H2O" (or "seawater-CO2-H2O" with its carbonate, where the databank has
it), and PHREEQC gets the same element totals with the pH from the charge balance. Barium is not
part of the reference composition: 2.2e-7 mol/kg of water is added to both, the dissolved barium
of seawater in equilibrium with barite (30.7 ug/L; Solubility of BaSO4 and the physicochemical
state of barium in seawater, as its abstract gives it), so that barite has an index at all.
"""

import os
import sys
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from validate_si_phreeqc import run_phreeqc  # noqa: E402

BARIUM = 2.2e-7  # mol/kg of water
FACTORS = (1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 8.0, 10.0)
PHASES = {
    "calcite": "Calcite",
    "gypsum": "Gypsum",
    "anhydrite": "Anhydrite",
    "halite": "Halite",
    "barite": "Barite",
    "celestite": "Celestite",
}
# velmora's salts as PHREEQC element totals
ELEMENTS = {
    "NaCl": {"Na": 1, "Cl": 1},
    "KCl": {"K": 1, "Cl": 1},
    "MgCl2": {"Mg": 1, "Cl": 2},
    "CaCl2": {"Ca": 1, "Cl": 2},
    "SrCl2": {"Sr": 1, "Cl": 2},
    "BaCl2": {"Ba": 1, "Cl": 2},
    "Na2SO4": {"Na": 2, "S(6)": 1},
    "NaHCO3": {"Na": 1, "C(4)": 1},
    "Na2CO3": {"Na": 2, "C(4)": 1},
    "CO2": {"C(4)": 1},
}


def totals(molalities):
    out = {}
    for salt, m in molalities.items():
        for el, n in ELEMENTS[salt].items():
            out[el] = out.get(el, 0.0) + n * m
    return out


def main():
    import velmora
    from velmora.ionchem import names

    warnings.simplefilter("ignore")
    carbonate = "seawater-CO2-H2O" in names()
    chem = "seawater-CO2-H2O" if carbonate else "seawater-H2O"
    s = velmora.System(chem)
    base = velmora.seawater(carbonate=True) if carbonate else velmora.seawater()
    phases = [k for k in PHASES if k in s.solids.names]
    rows, feeds = [], []
    for f in FACTORS:
        m = {k: v * f for k, v in base.items()}
        m["BaCl2"] = BARIUM * f
        liq = s.liquid(298.15, molalities=m)
        rows.append((f, liq.saturation_indices, liq.water_activity))
        feeds.append(totals(m))
    punched, _ = run_phreeqc(feeds, [PHASES[k] for k in phases])
    print(f"chemistry {chem}; velmora / PHREEQC SI() (pitzer.dat), 25 C")
    print(f"{'factor':>6} {'a_w':>15} " + " ".join(f"{k:>17}" for k in phases))
    worst = {k: 0.0 for k in phases}
    for (f, si, aw), ref in zip(rows, punched):
        cells = []
        for k in phases:
            theirs = ref[PHASES[k]]
            worst[k] = max(worst[k], abs(si[k] - theirs))
            cells.append(f"{si[k]:+7.3f} / {theirs:+7.3f}")
        print(f"{f:6g} {aw:7.4f}/{ref['a_w']:.4f} " + " ".join(f"{c:>17}" for c in cells))
    print(
        "largest |velmora - PHREEQC| per solid: "
        + ", ".join(f"{k} {v:.3f}" for k, v in worst.items())
    )
    # SI = log10 IAP - log10 K: the difference splits into the constants' (the same at every
    # factor) and the activity models' (water included), which alone drifts as the water goes
    lk = s.solids.log10_ksp(298.15)
    dk = {k: lk[k] - punched[0][f"lk_{PHASES[k]}"] for k in phases}
    print("d log10 K (velmora - PHREEQC): " + ", ".join(f"{k} {v:+.3f}" for k, v in dk.items()))
    print(f"{'factor':>6} d SI = d log10 IAP - d log10 K, each solid: d SI (d log10 IAP)")
    for (f, si, _), ref in zip(rows, punched):
        d = {k: si[k] - ref[PHASES[k]] for k in phases}
        print(f"{f:6g} " + " ".join(f"{k} {d[k]:+.3f} ({d[k] + dk[k]:+.3f})" for k in phases))


if __name__ == "__main__":
    main()
