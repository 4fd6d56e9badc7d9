"""Solubility products consistent with the shipped activity model, fitted to published
solubilities; prints the A, B, C of ln Ksp (mole-fraction basis) for databank/solids.toml.

    python benchmarks/fit_solids.py
"""
import warnings

import velmora
from velmora.solids import fit_ksp

# CRC Handbook of Chemistry and Physics (Aqueous solubility of inorganic compounds at various
# temperatures), mass percent of the anhydrous salt in the saturated solution: {t [C]: w [%]}
NACL_CRC = {0: 26.28, 10: 26.32, 20: 26.41, 25: 26.45, 30: 26.52, 40: 26.67, 50: 26.84,
            60: 27.03, 70: 27.25, 80: 27.50, 90: 27.78, 100: 28.05}
KCL_CRC = {0: 21.74, 10: 23.61, 20: 25.39, 25: 26.22, 30: 27.04, 40: 28.59, 50: 30.04,
           60: 31.40, 70: 32.66, 80: 33.86, 90: 34.99, 100: 36.05}
# Gypsum in water at 25 C: 0.0152 mol/kg (Marshall & Slusher, J. Phys. Chem. 70 (1966) 4015;
# the published values at 25 C span 0.0147-0.0182, Lebedev & Kosorukov, Geochem. Int. 55
# (2017) 205)
GYPSUM_25 = 0.0152
# K2CO3 (as K2CO3.1.5H2O), mol/kg: CRC Handbook of Chemistry and Physics, 98th ed. (2017),
# solubility of common salts at ambient temperatures
K2CO3 = {10: 7.756, 15: 7.846, 20: 7.948, 25: 8.063, 30: 8.191, 35: 8.331, 40: 8.483}


def molality(w, mw):
    """mol/kg of water from the mass percent w of a salt of molar mass mw [g/mol]."""
    return 1000.0 * w / (100.0 - w) / mw


def main():
    warnings.simplefilter("ignore")
    for chem, salt, solid, table in (("NaCl-H2O", "NaCl", "halite", NACL_CRC),
                                     ("KCl-H2O", "KCl", "sylvite", KCL_CRC)):
        s = velmora.System(chem)
        mw = s._info.mw[salt]
        pts = [(t + 273.15, s.composition(molalities={salt: molality(w, mw)}))
               for t, w in table.items()]
        k, res = fit_ksp(s, solid, pts, terms="ABC")
        print(f"[{solid}] A = {k['A']:.6f} B = {k['B']:.4f} C = {k['C']:.6f} "
              f"(largest residual {res:.2e} in ln K)")
    s = velmora.System("CaSO4-NaCl-H2O")
    k, res = fit_ksp(s, "gypsum", [(298.15, s.composition(molalities={"CaSO4": GYPSUM_25}))],
                     terms="A")
    print(f"[gypsum] ln Ksp(25 C) = {k['A']:.6f}")
    s = velmora.System("K2CO3-CO2-H2O")
    pts = [(t + 273.15, s.composition(molalities={"K2CO3": m})) for t, m in K2CO3.items()]
    k, res = fit_ksp(s, "K2CO3-sesquihydrate", pts, terms="AB")
    print(f"[K2CO3-sesquihydrate] A = {k['A']:.6f} B = {k['B']:.4f} (largest residual "
          f"{res:.2e} in ln K)")


if __name__ == "__main__":
    main()
