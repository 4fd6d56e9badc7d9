"""NaCl-Na2SO4-H2O at 90 and 40 C: the liquid saturated with halite, with thenardite and with
both, in velmora's brine-H2O, against the measured solubilities of ACS Omega 5 (2020) 4875-4889,
doi 10.1021/acsomega.9b03703, Table 9 ("Experimental Values of Solubilities and Dry Salt of the
Quaternary System NaOH-Na2SO4-NaCl-H2O at T = 363.15 K and P = 88.94 kPa", rows 15-17, liquid
mass %, u_r 0.05; read on PubMed Central, PMC7081322):

    halite alone 27.80 % NaCl; thenardite alone 29.91 % Na2SO4;
    halite + thenardite 25.75 % NaCl with 5.71 % Na2SO4;

and at 40 C (313.15 K) the liquid saturated with both, 22.56 % NaCl with 5.00 % Na2SO4 (Zhang et
al., J. Chem. Eng. Data 59 (2014) 3969, doi 10.1021/je500854m, the invariant point of its abstract).

The binaries hold each salt's own pair and solid; the point where both solids are present holds
what the model says of sulfate among chloride (docs/solids.md).

    .venv/bin/python benchmarks/validate_na2so4_nacl.py
"""

import warnings

import velmora

MW = {"H2O": 18.015, "NaCl": 58.443, "Na2SO4": 142.04}
MEASURED = {  # (T [K], case): (NaCl, Na2SO4) [mass %]
    (363.15, "halite"): (27.80, 0.0),
    (363.15, "thenardite"): (0.0, 29.91),
    (363.15, "both"): (25.75, 5.71),
    (313.15, "both"): (22.56, 5.00),
}
EXCESS = {
    "halite": {"NaCl": 8.0},
    "thenardite": {"Na2SO4": 5.0},
    "both": {"NaCl": 8.0, "Na2SO4": 2.0},
}  # mol/kg of water, beyond saturation


def mass_percent(liq):
    """(NaCl, Na2SO4) [mass %] of the liquid in equilibrium with the solids."""
    grams = {c: liq.apparent.get(c, 0.0) * MW[c] for c in MW}
    tot = sum(grams.values())
    return 100.0 * grams["NaCl"] / tot, 100.0 * grams["Na2SO4"] / tot


def main():
    warnings.simplefilter("ignore", velmora.RangeWarning)
    s = velmora.System("brine-H2O")
    for (T, case), (m_nacl, m_na2so4) in MEASURED.items():
        liq = s.liquid(T, molalities=EXCESS[case], solids=True)
        nacl, na2so4 = mass_percent(liq)
        print(
            f"{T - 273.15:4.0f} C {case:<10} solids {', '.join(sorted(liq.solids)):<20} "
            f"NaCl {nacl:6.2f} % "
            f"(measured {m_nacl:.2f}), Na2SO4 {na2so4:6.2f} % (measured {m_na2so4:.2f})"
        )


if __name__ == "__main__":
    main()
