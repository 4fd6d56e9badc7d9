"""The engine's databank: completeness, sources, balances and published anchor values."""

import math

import pytest

from independent import atoms
from velmora import ionactivity
from velmora.enginebridge import databank

from enrtl_reports import engine_report

# Ar: 39.948 (Perry's Handbook 8th ed. and Reid, Prausnitz & Poling 1987)
ATOMIC = {
    "H": 1.008,
    "C": 12.011,
    "N": 14.007,
    "O": 15.999,
    "S": 32.06,
    "Na": 22.990,
    "Cl": 35.45,
    "Ar": 39.948,
}
REQUIRED = [
    "H2O",
    "CO2",
    "N2",
    "O2",
    "Ar",
    "H2S",
    "NH3",
    "MEA",
    "MDEA",
    "CH3OH",
    "NaCl",
    "H3O+",
    "OH-",
    "HCO3-",
    "CO3--",
    "MEAH+",
    "MEACOO-",
    "MDEAH+",
    "NH4+",
    "NH2COO-",
    "HS-",
    "Na+",
    "Cl-",
]
R = 8.314462618e-3  # kJ/(mol K)


def elements(sid):
    return atoms(databank.species(sid)["formula"])


def test_every_value_names_its_source():
    # substances.toml (identity data) cites its atomic weights in its header; of the fit record
    # only the fitted pairs (lists) are data
    missing = []
    for name in databank.FILES[1:]:
        for key, rec in databank.table(name).items():
            if isinstance(rec, list):
                recs = rec
            elif name == "regression_mea" or not isinstance(rec, dict):
                continue
            else:  # a record, or a table of records (solvents.toml, the pair defaults)
                recs = (
                    list(rec.values()) if all(isinstance(v, dict) for v in rec.values()) else [rec]
                )
            missing += [(name, key) for r in recs if not r.get("source")]
    assert databank.FILES[0] == "substances" and missing == []


@pytest.mark.parametrize("sid", REQUIRED)
def test_species_records_match_their_formula_and_are_complete(sid):
    rec = databank.species(sid)
    assert rec["molar_mass"] == pytest.approx(
        sum(ATOMIC[e] * n for e, n in elements(sid).items()), abs=2e-3
    )
    assert rec["charge"] == rec["formula"].count("+") - rec["formula"].count("-")
    if rec["kind"] == "ion":
        assert databank.dhf_aq(sid) is not None and len(databank.cp_aq(sid)) >= 1
    else:
        assert len(databank.cpig(sid)) == 4 and databank.dhform(sid) is not None


# Molal constants of Edwards et al. (1978), ln K_m = A_m + ...: on the mole-fraction basis
# A_x = A_m - (sum of the solutes' coefficients) ln(1000/M_w), the other terms unchanged.
EDWARDS_MOLAL_A = {
    "WATER": 140.932,
    "CO2-1": 235.482,
    "CO2-2": 220.067,
    "H2S-1": 218.599,
    "NH3-1": 2.76,
    "NH3-2": -8.6,
}


@pytest.mark.parametrize("rid", list(databank.table("equilibrium")))
def test_reactions_balance_and_edwards_constants_are_converted(rid):
    rec = databank.reaction_record(rid)
    total, charge = {}, 0
    for sid, nu in rec["reaction"].items():
        charge += nu * databank.species(sid)["charge"]
        for el, n in elements(sid).items():
            total[el] = total.get(el, 0) + nu * n
    assert charge == 0 and not any(total.values()), total
    if rid in EDWARDS_MOLAL_A:
        solutes = sum(
            nu for s, nu in rec["reaction"].items() if databank.species(s)["kind"] != "solvent"
        )
        assert rec["A"] == pytest.approx(
            EDWARDS_MOLAL_A[rid] - solutes * math.log(1000 / 18.015), abs=3e-3
        )


def ln_psat_water(T):
    c = databank.antoine("H2O")
    return c[0] + c[1] / (T + c[2]) + c[3] * T + c[4] * math.log(T) + c[5] * T ** c[6]


def test_water_vapor_pressure_heat_capacity_and_formation():
    for T, p in ((298.15, 3169.8), (373.15, 101418.0)):  # IAPWS-95
        assert math.exp(ln_psat_water(T)) == pytest.approx(p, rel=2e-3)
    a, b, c, d = databank.cpig("H2O")
    T = 298.15
    assert a + b * T + c * T * T + d * T**3 == pytest.approx(33.58e3, rel=0.01)  # JANAF
    # the liquid: the gas minus the vaporisation enthalpy of the vapor-pressure correlation
    # (Clausius-Clapeyron, ideal vapor) ~ -285.83 kJ/mol (CODATA)
    C = databank.antoine("H2O")
    dvap = 8314.462 * (-C[1] + C[4] * T + C[5] * C[6] * T ** (C[6] + 1))
    assert databank.dhform("H2O") - dvap == pytest.approx(-285.83e6, rel=2e-3)


@pytest.mark.parametrize(
    "solute, abc, tol",
    [
        ("CO2", (-8.55445, 4.01195, 9.52345), 0.005),
        ("N2", (-9.67578, 4.72162, 11.70585), 0.005),
        ("O2", (-9.44833, 4.43822, 11.42005), 0.005),
        ("Ar", (-8.40954, 4.29587, 10.52779), 0.005),
        ("H2S", (-4.51499, 5.23538, 4.42126), 0.05),
    ],
)  # H2S: Edwards et al. (1978), not a refit
def test_henry_constants_against_iapws_g7_04(solute, abc, tol):
    # ln(H/p1*) = A/Tr + B tau^0.355/Tr + C Tr^-0.41 e^tau, Tr = T/647.096, tau = 1 - Tr
    A, B, C = abc
    a, b, c, d = databank.henry(solute, "H2O")
    for T in (280.0, 310.0, 350.0, 390.0):
        tr = T / 647.096
        g7 = (
            ln_psat_water(T)
            + A / tr
            + B * (1 - tr) ** 0.355 / tr
            + C * tr**-0.41 * math.exp(1 - tr)
        )
        assert a + b / T + c * math.log(T) + d * T == pytest.approx(g7, abs=tol)


def test_water_density_and_dielectric_give_debye_hueckel_slope():
    # Through the engine's report and the activity model's solvent mixture (Kell density,
    # Bradley-Pitzer permittivity); Pitzer: 0.3915 at 25 C.
    sp, _ = ionactivity.species_from_report(engine_report({"H2O": "H2O"}), ["H2O"], [])
    for t, a in ((0, 0.3767), (25, 0.3914), (50, 0.4103), (100, 0.4606)):
        assert sp.solvent_mix([1.0], 273.15 + t)["A_phi"] == pytest.approx(a, abs=3e-4)
    assert sp.solvent_mix([1.0], 298.15)["rho"] == pytest.approx(997.045, abs=1e-3)


def test_the_published_nacl_pair_under_the_shipped_refit():
    # Chen et al. (1982): the pair the temperature-dependent refit replaces
    assert databank.shipped_without_fit("NaCl-H2O").electrolyte_pair("H2O", "Na+", "Cl-")[:5] == (
        8.885,
        0.0,
        -4.549,
        0.0,
        0.2,
    )


def liquid_reference_enthalpy(sid, T=298.15):
    """Enthalpy of a species in its liquid reference state [kJ/mol] as the flash sees it: ions
    and aqueous complexes from DHF_AQ; Henry solutes: ideal gas minus the solution enthalpy of
    the Henry constant; solvents: ideal gas minus the vaporisation enthalpy of the vapor-pressure
    correlation."""
    if databank.is_ion(sid) or databank.species(sid)["kind"] == "complex":
        return databank.dhf_aq(sid) / 1e6
    if databank.henry(sid, "H2O") is not None:
        a, b, c, d = databank.henry(sid, "H2O")[:4]
        dln = -b / T**2 + c / T + d
    else:
        C = databank.antoine(sid)
        dln = -C[1] / (T + C[2]) ** 2 + C[3] + C[4] / T + C[5] * C[6] * T ** (C[6] - 1)
    return databank.dhform(sid) / 1e6 - R * T * T * dln


@pytest.mark.parametrize("rid", list(databank.table("equilibrium")))
def test_formation_enthalpies_match_van_t_hoff_of_the_constants(rid):
    # The flash's reaction heat (formation data) and the temperature dependence of K must agree;
    # NBS (1982) and Edwards (1978) differ by up to ~4 kJ/mol for the acid gases.
    rec = databank.reaction_record(rid)
    T = 298.15
    from_formation = sum(v * liquid_reference_enthalpy(s) for s, v in rec["reaction"].items())
    van_t_hoff = R * T * T * (-rec["B"] / T**2 + rec["C"] / T + rec["D"])
    assert from_formation == pytest.approx(van_t_hoff, abs=5.0)
