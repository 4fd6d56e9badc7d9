"""Solubility products consistent with the shipped activity model, fitted to published
solubilities; prints the A, B, C of ln Ksp (mole-fraction basis) for databank/solids.toml.

    python benchmarks/fit_solids.py
"""

import math
import warnings

import numpy as np

import velmora
from velmora.solids import fit_ksp, ln_iap

# CRC Handbook of Chemistry and Physics (Aqueous solubility of inorganic compounds at various
# temperatures), mass percent of the anhydrous salt in the saturated solution: {t [C]: w [%]}
NACL_CRC = {
    0: 26.28,
    10: 26.32,
    20: 26.41,
    25: 26.45,
    30: 26.52,
    40: 26.67,
    50: 26.84,
    60: 27.03,
    70: 27.25,
    80: 27.50,
    90: 27.78,
    100: 28.05,
}
KCL_CRC = {
    0: 21.74,
    10: 23.61,
    20: 25.39,
    25: 26.22,
    30: 27.04,
    40: 28.59,
    50: 30.04,
    60: 31.40,
    70: 32.66,
    80: 33.86,
    90: 34.99,
    100: 36.05,
}
# Gypsum in water at 25 C: 0.0152 mol/kg (Marshall & Slusher, J. Phys. Chem. 70 (1966) 4015;
# the published values at 25 C span 0.0147-0.0182, Lebedev & Kosorukov, Geochem. Int. 55
# (2017) 205)
GYPSUM_25 = 0.0152
# K2CO3 (as K2CO3.1.5H2O), mol/kg: CRC Handbook of Chemistry and Physics, 98th ed. (2017),
# solubility of common salts at ambient temperatures
K2CO3 = {10: 7.756, 15: 7.846, 20: 7.948, 25: 8.063, 30: 8.191, 35: 8.331, 40: 8.483}


# The same CRC table (as transcribed in chicolucio/solutions, data/aqueous_solubility_inorganic_
# temperatures.csv): MgSO4 as epsomite (to 48 C), hexahydrite (48-68 C) and kieserite (above),
# MgCl2 as bischofite, SrSO4 (celestite) at 25 C only
EPSOMITE_CRC = {10: 21.7, 20: 25.1, 25: 26.3, 30: 28.2, 40: 30.9}
HEXAHYDRITE_CRC = {50: 33.4, 60: 35.6}
KIESERITE_CRC = {70: 36.9, 80: 35.9, 90: 34.7, 100: 33.3}
BISCHOFITE_CRC = {
    0: 33.96,
    10: 34.85,
    20: 35.58,
    25: 35.9,
    30: 36.2,
    40: 36.77,
    50: 37.34,
    60: 37.97,
}
CELESTITE_CRC_25 = 0.0135
# Na2SO4 as mirabilite (to 32.4 C) and thenardite (above), the same CRC table; their 25 C
# constants stay Harvie, Moller & Weare's, the slope of ln Ksp in 1/T is fitted (see
# sodium_sulfates)
MIRABILITE_CRC = {20: 16.13, 25: 21.94, 30: 29.22}
THENARDITE_CRC = {40: 32.35, 50: 31.55, 60: 30.9, 70: 30.39, 80: 30.02, 90: 29.79, 100: 29.67}
# PHREEQC pitzer.dat (phreeqpython 1.6.2), -analytical_expression of celestite: log10 K = A1 +
# A2 T + A3/T + A6 T^2, refitted as ln K = A + B/T + C ln T + D T (solids.toml); kept as it is
# but for A
CELESTITE_BCD = (2873.8680, 25.413313, -0.06534728)
# carnallite (KCl.MgCl2.6H2O): pitzer.dat's ln K(25 C) moved by the shifts of bischofite and
# sylvite (the model's MgCl2 and KCl against Pitzer's; no carnallite solubility at hand)
CARNALLITE_PITZER = (35.317597, -7114.9879, 0.0, -0.07161040)
BISCHOFITE_PITZER_LOG10K_25 = 4.5927  # its analytical expression at 25 C
SYLVITE_SHIFT_LOG10 = 0.882 - 0.900  # solids.toml: fitted against Harvie et al. 1984


def molality(w, mw):
    """mol/kg of water from the mass percent w of a salt of molar mass mw [g/mol]."""
    return 1000.0 * w / (100.0 - w) / mw


def fit_table(chem, salt, solid, table, terms):
    """ln Ksp of ``solid`` fitted to a table {t [C]: mass % of ``salt``} of saturated solutions."""
    s = velmora.System(chem)
    mw = s._info.mw[salt]
    pts = [
        (t + 273.15, s.composition(molalities={salt: molality(w, mw)})) for t, w in table.items()
    ]
    return fit_ksp(s, solid, pts, terms=terms)


def main():
    warnings.simplefilter("ignore")
    for chem, salt, solid, table in (
        ("NaCl-H2O", "NaCl", "halite", NACL_CRC),
        ("KCl-H2O", "KCl", "sylvite", KCL_CRC),
    ):
        k, res = fit_table(chem, salt, solid, table, "ABC")
        print(
            f"[{solid}] A = {k['A']:.6f} B = {k['B']:.4f} C = {k['C']:.6f} "
            f"(largest residual {res:.2e} in ln K)"
        )
    # gypsum in water alone with the default Ca++/SO4-- pair: the solids.toml record, where the
    # fit of that pair with gypsum's constant starts (python -m velmora.regress CaSO4-NaCl-H2O)
    from velmora.enginebridge import databank

    with databank.using(databank.shipped_without_fit("CaSO4-NaCl-H2O")):
        s = velmora.System("CaSO4-NaCl-H2O")
    k, res = fit_ksp(
        s, "gypsum", [(298.15, s.composition(molalities={"CaSO4": GYPSUM_25}))], terms="A"
    )
    print(f"[gypsum] ln Ksp(25 C) = {k['A']:.6f} (the start of the CaSO4-NaCl-H2O fit)")
    for chem, salt, table, solid, terms in (
        ("MgSO4-H2O", "MgSO4", EPSOMITE_CRC, "epsomite", "AB"),
        ("MgSO4-H2O", "MgSO4", HEXAHYDRITE_CRC, "hexahydrite", "AB"),
        ("MgSO4-H2O", "MgSO4", KIESERITE_CRC, "kieserite", "AB"),
        ("MgCl2-H2O", "MgCl2", BISCHOFITE_CRC, "bischofite", "ABC"),
    ):
        k, res = fit_table(chem, salt, solid, table, terms)
        print(
            f"[{solid}] A = {k['A']:.6f} B = {k['B']:.4f} C = {k['C']:.6f} "
            f"(largest residual {res:.2e} in ln K); "
            f"log10 Km(25 C) = {log10_km(k, 298.15, 2 if salt == 'MgSO4' else 3):.3f}"
        )
        if solid == "bischofite":
            shift = log10_km(k, 298.15, 3) - BISCHOFITE_PITZER_LOG10K_25 + SYLVITE_SHIFT_LOG10
            a, b, c, d = CARNALLITE_PITZER
            print(
                f"[carnallite] A = {a + shift * math.log(10):.6f} "
                f"(pitzer.dat moved by {shift:+.3f} in log10 K)"
            )
    s = velmora.System("SrSO4-NaCl-H2O")
    T = 298.15
    b, c, d = CELESTITE_BCD
    mw = s._info.mw["SrSO4"]
    y = ln_iap(
        s, "celestite", T, s.composition(molalities={"SrSO4": molality(CELESTITE_CRC_25, mw)})
    )
    print(f"[celestite] A = {y - b / T - c * math.log(T) - d * T:.6f}")
    s = velmora.System("K2CO3-CO2-H2O")
    pts = [(t + 273.15, s.composition(molalities={"K2CO3": m})) for t, m in K2CO3.items()]
    k, res = fit_ksp(s, "K2CO3-sesquihydrate", pts, terms="AB")
    print(
        f"[K2CO3-sesquihydrate] A = {k['A']:.6f} B = {k['B']:.4f} (largest residual "
        f"{res:.2e} in ln K)"
    )
    sodium_sulfates()


def sodium_sulfates():
    """Mirabilite's and thenardite's ln Ksp moved by a + b (1/T - 1/298.15), fitted to the CRC
    solubilities: what the activity model's Na2SO4 pair (its slopes in 1/T fitted to Moller's
    gamma+-) leaves of their temperature dependence is taken up by the slope. Thenardite,
    metastable at 25 C, keeps the 25 C constant of Harvie, Moller & Weare (a = 0)."""
    s = velmora.System("Na2SO4-H2O")
    T0 = 298.15
    for solid, table, terms in (
        ("mirabilite", MIRABILITE_CRC, "ab"),
        ("thenardite", THENARDITE_CRC, "b"),
    ):
        T = np.array([t + 273.15 for t in table])
        k = s.solids.index(solid)
        miss = np.array(
            [
                ln_iap(
                    s, solid, t + 273.15, s.composition(molalities={"Na2SO4": molality(w, 142.04)})
                )
                - s.solids.ln_k(t + 273.15)[k]
                for t, w in table.items()
            ]
        )
        X = np.column_stack([np.ones_like(T), 1.0 / T - 1.0 / T0])[
            :, [0, 1] if terms == "ab" else [1]
        ]
        coef = np.linalg.lstsq(X, miss, rcond=None)[0]
        a, b = (coef[0], coef[1]) if terms == "ab" else (0.0, coef[0])
        print(
            f"[{solid}] B moved by {b:+.2f} K, A by {a - b / T0:+.6f} (largest residual "
            f"{np.max(np.abs(X @ coef - miss)):.3f} in ln K)"
        )


def log10_km(k, T, n_ions):
    """log10 of the molal constant at T of a fitted record (ln Ksp(x) + n ln(1000/M_w))."""
    return (
        k["A"] + k["B"] / T + k["C"] * math.log(T) + k["D"] * T + n_ions * math.log(1000.0 / 18.015)
    ) / math.log(10)


if __name__ == "__main__":
    main()
