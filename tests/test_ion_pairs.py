"""The CaSO4 ion pair, a true species of the sulfate chemistries: its association constant
against the published molal one, its reference (infinite dilution in water), its enthalpy on the
ions' reference, and the databank's rules for a complex."""

import math
import warnings

import numpy as np
import pytest

import velmora
import velmora.brinequil as bq
from velmora import derivatives, ionactivity
from velmora.enginebridge import databank

# PHREEQC's phreeqc.dat (as shipped with phreeqpython 1.6.2): Ca+2 + SO4-2 = CaSO4, log_k 2.25,
# delta_h 1.325 kcal
LOG_K_25, DH_ASSOC = 2.25, 1.325 * 4184.0  # molal; J/mol
R = 8.314462618
PAIR = "CaSO4(aq)"


@pytest.fixture(scope="module", autouse=True)
def quiet():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def ln_k(rec, T):
    return rec["A"] + rec["B"] / T + rec["C"] * math.log(T) + rec["D"] * T


def test_constant_is_the_molal_one_on_the_mole_fraction_basis():
    rec = databank.reaction_record("CaSO4-PAIR")
    # one solute fewer on the right: K(x) = K(m) * 1000/M_w
    assert ln_k(rec, 298.15) - math.log(1000.0 / 18.015) == pytest.approx(
        LOG_K_25 * math.log(10), abs=1e-4
    )
    h = 1e-3
    slope = (ln_k(rec, 298.15 + h) - ln_k(rec, 298.15 - h)) / (2 * h)
    assert R * 298.15**2 * slope == pytest.approx(DH_ASSOC, abs=0.5)


@pytest.mark.parametrize("T", [298.15, 333.15])
def test_mass_action_on_the_molal_scale(T):
    # the state's molal activities (free ions, the pair referred to infinite dilution in water)
    # hold the published molal constant, van't Hoff away from 25 C
    s = velmora.System("CaSO4-NaCl-H2O")
    liq = s.liquid(T, molalities={"NaCl": 0.5, "CaSO4": 0.01})
    a = liq.activity
    km = 10**LOG_K_25 * math.exp(-DH_ASSOC / R * (1.0 / T - 1.0 / 298.15))
    assert a[PAIR] / (a["Ca++"] * a["SO4--"]) == pytest.approx(km, rel=1e-6)
    # the balances (to the speciation's tolerance, relative to the whole liquid) hold the
    # totals: the pair carries calcium and sulfate
    for ion in ("Ca++", "SO4--"):
        assert liq.molality[ion] + liq.molality[PAIR] == pytest.approx(0.01, rel=1e-6)
    assert 0.02 < liq.molality[PAIR] / 0.01 < 0.5


def test_reference_is_infinite_dilution_in_water_and_the_pair_stays_near_ideal():
    s = velmora.System("CaSO4-NaCl-H2O")
    sp, names = s.model.sp, list(s.model.names)
    x = np.full(len(names), 1e-12)
    x[names.index("H2O")] = 1.0
    x[names.index(PAIR)] = 1e-9
    lng = ionactivity.ln_gamma(sp, x / x.sum(), 298.15, s.model.options)
    assert lng[names.index(PAIR)] == pytest.approx(0.0, abs=1e-9)
    # a neutral complex in NaCl brines, molal scale: within 0.05 of ideal to 6 mol/kg
    for m in (0.5, 2.0, 6.0):
        liq = s.liquid(298.15, molalities={"NaCl": m, "CaSO4": 0.01})
        assert abs(math.log(liq.gamma_molal[PAIR])) < 0.05, m
        assert PAIR not in liq.partial_pressures


def test_enthalpy_of_the_pair_is_on_the_ions_reference():
    # partial molar enthalpies near infinite dilution in water (ionic strength 1e-5 mol/kg: the
    # ions' excess enthalpy a few J/mol): the pair less its ions is the association enthalpy
    # (5.54 kJ/mol), in the core's liquid enthalpy and in its derivative alike
    s = velmora.System("CaSO4-NaCl-H2O")
    names = list(s.model.names)
    n = np.full(len(names), 1e-14)
    n[names.index("H2O")] = 55.5
    for sp in ("Na+", "Cl-", "Ca++", "SO4--", PAIR):
        n[names.index(sp)] = 1e-7
    T = 298.15
    g, _ = derivatives.enthalpy_gradient(s, n, T)
    pos = {sp: names.index(sp) for sp in ("Ca++", "SO4--", PAIR)}
    assert (g[pos[PAIR]] - g[pos["Ca++"]] - g[pos["SO4--"]]) / 1000.0 == pytest.approx(
        DH_ASSOC, abs=30.0
    )

    def H(v):
        return bq.liquid_enthalpy(s.model, s.pp, v, T, None, s.model.pure)

    d = 1e-9
    step = np.zeros(len(names))
    step[pos[PAIR]], step[pos["Ca++"]], step[pos["SO4--"]] = d, -d, -d
    assert (H(n + step) - H(n - step)) / (2 * d) / 1000.0 == pytest.approx(DH_ASSOC, abs=30.0)


def test_databank_rules_for_a_complex():
    bad_charge = {
        "substances": {
            "CaSO4x": {
                "name": "x",
                "formula": "CaSO4-",
                "kind": "complex",
                "molar_mass": 136.14,
                "charge": -1,
            }
        }
    }
    with pytest.raises(
        databank.DatabankError, match="an aqueous complex here is a neutral ion pair"
    ):
        databank.load(bad_charge)
    pair = {
        "i": "H2O",
        "j": PAIR,
        "A_ij": 1.0,
        "B_ij": 0.0,
        "A_ji": 1.0,
        "B_ji": 0.0,
        "alpha": 0.3,
        "source": "a test",
    }
    with pytest.raises(
        databank.DatabankError, match=r"'CaSO4\(aq\)' is an aqueous complex: no nrtl_molecular"
    ):
        databank.load({"nrtl_molecular": {"pair": [pair]}})
    vp = {
        PAIR: {
            "coeffs": [70.0, -7000.0, 0.0, 0.0, -7.0],
            "tmin": 273.15,
            "tmax": 373.15,
            "source": "a test",
        }
    }
    with pytest.raises(databank.DatabankError, match="is an aqueous complex: no vapor_pressure"):
        databank.load({"vapor_pressure": vp})
    chem = dict(databank.chemistry("CaSO4-NaCl-H2O"))
    del chem["components"]
    with pytest.raises(
        databank.DatabankError, match=r"a complex \(CaSO4\(aq\)\) is a true species only"
    ):
        databank.load({"chemistry": {"pair-test": chem}})


# The carbonate pairs in their published analytic forms, log10 K = a + b T + c/T + d log10 T
# (molal): CaCO3(aq), Plummer & Busenberg (1982), abstract; MgCO3(aq), PHREEQC pitzer.dat as
# shipped with phreeqpython 1.6.2 (log_k 2.928, -analytic -32.225 0 1093.486 12.72433)
CARBONATE_PAIRS = {
    "CaCO3(aq)": ("Ca++", (-1228.732, -0.299444, 35512.75, 485.818)),
    "MgCO3(aq)": ("Mg++", (-32.225, 0.0, 1093.486, 12.72433)),
}


def log_k_published(coef, T):
    a, b, c, d = coef
    return a + b * T + c / T + d * math.log10(T)


@pytest.mark.parametrize("T", [278.15, 298.15, 333.15])
def test_carbonate_pairs_hold_their_published_constants_in_seawater(T):
    # mass action of the state's molal activities in concentrated seawater, where most of the
    # carbonate is paired, and the balances of calcium, magnesium and carbon over free and paired
    s = velmora.System("seawater-CO2-H2O")
    m = {k: 3.0 * v for k, v in velmora.seawater(carbonate=True).items()}
    liq = s.liquid(T, molalities=m)
    a, mo = liq.activity, liq.molality
    for pair, (ion, coef) in CARBONATE_PAIRS.items():
        km = a[pair] / (a[ion] * a["CO3--"])
        assert math.log10(km) == pytest.approx(log_k_published(coef, T), abs=1e-6), pair
    # to the speciation's tolerance (1e-6 relative on the major ions)
    assert mo["Ca++"] + mo["CaCO3(aq)"] + mo["CaSO4(aq)"] == pytest.approx(m["CaCl2"], rel=1e-5)
    assert mo["Mg++"] + mo["MgCO3(aq)"] == pytest.approx(m["MgCl2"], rel=1e-5)
    carbon = m["CO2"] + m["NaHCO3"] + m["Na2CO3"]
    held = sum(mo[sp] for sp in ("CO2", "HCO3-", "CO3--", "CaCO3(aq)", "MgCO3(aq)"))
    assert held == pytest.approx(carbon, rel=1e-5)
    assert mo["MgCO3(aq)"] + mo["CaCO3(aq)"] > 0.3 * (
        mo["CO3--"] + mo["MgCO3(aq)"] + mo["CaCO3(aq)"]
    )


@pytest.mark.parametrize("pair", list(CARBONATE_PAIRS))
def test_carbonate_pair_enthalpy_follows_its_constant_away_from_25_c(pair):
    # the pair less its ions, partial molar enthalpies near infinite dilution, against
    # R T^2 d ln K/dT of the published expression at 60 C: the heat capacity of association
    # carried by the complex's cp keeps the enthalpy balance away from 25 C
    ion, coef = CARBONATE_PAIRS[pair]
    s = velmora.System("seawater-CO2-H2O")
    names = list(s.model.names)
    n = np.full(len(names), 1e-14)
    n[names.index("H2O")] = 55.5
    for sp in ("Na+", "Cl-", ion, "CO3--", pair):
        n[names.index(sp)] += 1e-7
    T, h = 333.15, 1e-3
    dlnk = (log_k_published(coef, T + h) - log_k_published(coef, T - h)) / (2 * h) * math.log(10)
    g, _ = derivatives.enthalpy_gradient(s, n, T)
    assoc = (
        g[names.index(pair)] - g[names.index(ion)] - g[names.index("CO3--")]
    ) / 1000.0  # J/kmol
    assert assoc == pytest.approx(R * T * T * dlnk, abs=30.0)
