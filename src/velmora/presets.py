"""Named compositions of natural waters, in the apparent components of a built-in chemistry.

``seawater(salinity, carbonate)`` is the Reference Composition of Millero, Feistel, Wright &
McDougall, Deep-Sea Res. I 55 (2008) 50 (the mass fractions of sea salt of the TEOS-10 manual,
IOC, SCOR & IAPSO 2010, Table D.3), in mol per kg of water of the salts of the chemistry
"seawater-H2O":

    s = velmora.System("seawater-H2O")
    liq = s.liquid(298.15, molalities=velmora.seawater())
"""

from __future__ import annotations

# Reference-Composition sea salt: mass fraction of each solute, and its molar mass [g/mol] from the
# atomic weights of PHREEQC's pitzer.dat (Na 22.9898, K 39.0983, Ca 40.08, Cl 35.453, S 32.064,
# O 16.00, C 12.0111, B 10.81, H 1.008; F 18.998, CIAAW), close to the 2005 weights Millero et al.
# balanced the composition with (with the databank's Cl 35.45 it is 9e-5 short of neutral). The
# fractions add up to 1.
REFERENCE_COMPOSITION: dict[str, tuple[float, float]] = {
    "Na+": (0.3065958, 22.9898),
    "Mg++": (0.0365055, 24.305),
    "Ca++": (0.0117186, 40.08),
    "K+": (0.0113495, 39.0983),
    "Sr++": (0.0002260, 87.62),
    "Cl-": (0.5503396, 35.453),
    "SO4--": (0.0771319, 96.064),
    "HCO3-": (0.0029805, 61.0191),
    "Br-": (0.0019134, 79.904),
    "CO3--": (0.0004078, 60.0111),
    "B(OH)4-": (0.0002259, 78.842),
    "F-": (0.0000369, 18.998),
    "OH-": (0.0000038, 17.008),
    "B(OH)3": (0.0005527, 61.834),
    "CO2": (0.0000121, 44.0111),
}
CHARGE = {
    "Na+": 1,
    "Mg++": 2,
    "Ca++": 2,
    "K+": 1,
    "Sr++": 2,
    "Cl-": -1,
    "SO4--": -2,
    "HCO3-": -1,
    "Br-": -1,
    "CO3--": -2,
    "B(OH)4-": -1,
    "F-": -1,
    "OH-": -1,
    "B(OH)3": 0,
    "CO2": 0,
}
# Reference Salinity of Practical Salinity 35: 35.16504 g of sea salt per kg of seawater
S_R_35 = 35.16504
SEAWATER_CHEMISTRY = "seawater-H2O"
SEAWATER_CO2_CHEMISTRY = "seawater-CO2-H2O"


def seawater_ions(salinity: float = 35.0) -> dict[str, float]:
    """mol per kg of water of every solute of Reference-Composition seawater of the given
    Practical Salinity (S_R = 35.16504/35 g/kg times it)."""
    if not salinity > 0.0:
        raise ValueError(f"salinity must be positive, got {salinity!r}")
    s_r = S_R_35 / 35.0 * salinity  # g of salt per kg of seawater
    water = 1.0 - s_r / 1000.0  # kg of water per kg of seawater
    return {k: w * s_r / mw / water for k, (w, mw) in REFERENCE_COMPOSITION.items()}


def seawater(salinity: float = 35.0, carbonate: bool = False) -> dict[str, float]:
    """Reference-Composition seawater as mol per kg of water of the salts of "seawater-H2O" (or,
    with ``carbonate``, of "seawater-CO2-H2O"): each cation and sulfate as in the reference (K+
    as KCl, Mg++ as MgCl2, Ca++ as CaCl2, Sr++ as SrCl2, SO4-- as Na2SO4; with carbonate HCO3-
    as NaHCO3, CO3-- as Na2CO3 and the CO2 as it is), the rest of Na+ as NaCl. Chloride is then
    the reference's chloride plus its bromide (the databank has no Br-) and the charge of the
    anions the chemistry leaves out (B(OH)4-, F-, OH-, and without carbonate HCO3- and CO3--:
    2.4 mmol/kg at salinity 35, 0.2 with carbonate); B(OH)3 is left out. Per kg of seawater the
    amounts scale with the salinity."""
    ions = seawater_ions(salinity)
    salts = {
        "KCl": ions["K+"],
        "MgCl2": ions["Mg++"],
        "CaCl2": ions["Ca++"],
        "SrCl2": ions["Sr++"],
        "Na2SO4": ions["SO4--"],
    }
    salts["NaCl"] = ions["Na+"] - 2.0 * ions["SO4--"]
    order = ["NaCl", "KCl", "MgCl2", "CaCl2", "SrCl2", "Na2SO4"]
    if carbonate:
        salts.update(NaHCO3=ions["HCO3-"], Na2CO3=ions["CO3--"], CO2=ions["CO2"])
        salts["NaCl"] -= ions["HCO3-"] + 2.0 * ions["CO3--"]
        order += ["NaHCO3", "Na2CO3", "CO2"]
    return {k: salts[k] for k in order}
