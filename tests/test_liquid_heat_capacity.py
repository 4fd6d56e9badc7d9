"""The liquid heat capacity of water, brines and the amines against published data.

The solvents' liquid enthalpy runs from the vapor-pressure correlation's heat of vaporisation at
298.15 K along a measured liquid heat capacity (databank liquid_heat_capacity.toml). Without it
the ideal vapor's Clausius-Clapeyron heat put liquid water's cp 13 % low at 100 C."""

import math
import warnings

import pytest

import velmora
from velmora.enginebridge import databank

# Specific entropy of NaCl(aq) [J/(g K)] at 1 bar, Pitzer, Peiper & Busey, J. Phys. Chem. Ref.
# Data 13 (1984) 1, as transcribed in IDAES/idaes-pse idaes/dmf/tests/data_files/pitzer/
# pitzer_16.csv (commit 466e93bb): {t [C]: values at m = 0.1, 0.5, 1, 2, 3, 4, 6 mol/kg}
MOLALITY = (0.1, 0.5, 1.0, 2.0, 3.0, 4.0, 6.0)
ENTROPY = {
    20: (3.807, 3.777, 3.732, 3.637, 3.539, 3.444, 3.265),
    30: (3.947, 3.912, 3.864, 3.761, 3.659, 3.559, 3.375),
    90: (4.697, 4.644, 4.574, 4.436, 4.305, 4.183, 3.964),
    110: (4.922, 4.862, 4.786, 4.637, 4.497, 4.368, 4.138),
}
M_NACL = 58.443  # g/mol


def cp_table(t_lo, t_hi, j):
    """T ds/dT at the middle of two rows, J/(g K) of solution."""
    t = 0.5 * (t_lo + t_hi) + 273.15
    return t * (ENTROPY[t_hi][j] - ENTROPY[t_lo][j]) / (t_hi - t_lo)


def cp_model(s, T, m):
    """dH/dT of the liquid at fixed composition, J/(g K) of solution."""
    app = s.composition(molalities={"NaCl": m})
    tot = math.fsum(app.values())
    h = [s.liquid(T + d, molalities={"NaCl": m}).H * tot for d in (-0.5, 0.5)]
    return (h[1] - h[0]) / (1000.0 + m * M_NACL)


def test_brine_heat_capacity_against_pitzer_peiper_busey():
    s = velmora.System("NaCl-H2O")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", velmora.RangeWarning)
        for t_lo, t_hi in ((20, 30), (90, 110)):
            T = 0.5 * (t_lo + t_hi) + 273.15
            for j, m in enumerate(MOLALITY):
                dev = cp_model(s, T, m) / cp_table(t_lo, t_hi, j) - 1.0
                # the excess heat capacity of the activity model's temperature terms: within
                # 2 % to 3 mol/kg, 5 % to 6 (the table's 3 decimals: about 0.4 % over 20 K)
                assert abs(dev) < (0.02 if m <= 3.0 else 0.05), (T, m, dev)
        # the vapor-pressure correlation alone (the package without liquid heat capacities)
        bare = velmora.System("NaCl-H2O")
        bare.pp.cpl = {}
        assert cp_model(bare, 373.15, 0.1) / cp_table(90, 110, 0) - 1.0 < -0.10


def test_amine_heat_capacities_against_a_second_correlation():
    # MDEA: ChemSep's equation 4 (the databank) against Zabransky et al.'s, Cp/R = 9.87385 +
    # 7.47541 (T/100 K) (/work/shared/data validation3.md 2b), 278-398 K
    t0, c = databank.cpl("MDEA")
    for T in (278.15, 298.15, 348.15, 397.8):
        zab = 8.314462618 * (9.87385 + 7.47541 * T / 100.0)
        cp = sum(cj * (T - t0) ** j for j, cj in enumerate(c)) / 1e3
        assert cp == pytest.approx(zab, rel=0.01), T
    # water and MEA: Hilliard's kJ/(kg K) in t [C] (capture.md 5a) on the databank's molar basis
    for sid, hil, mw in (
        ("H2O", (4.2107, -1.696e-3, 2.568e-5, -1.095e-7, 3.038e-10), 18.015),
        ("MEA", (2.6161, 3.706e-3, 3.787e-6), 61.084),
    ):
        t0, c = databank.cpl(sid)
        for T in (280.0, 330.0, 390.0):
            t = T - 273.15
            cp = sum(cj * (T - t0) ** j for j, cj in enumerate(c)) / 1e3  # J/(mol K)
            assert cp == pytest.approx(mw * sum(a * t**j for j, a in enumerate(hil)), rel=1e-9)
