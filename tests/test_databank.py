"""The engine's databank: completeness, sources, balances and published anchor values."""

import math
import re

import pytest

from velmora.enginebridge import databank

ATOMIC = {"H": 1.008, "C": 12.011, "N": 14.007, "O": 15.999, "S": 32.06, "Na": 22.990, "Cl": 35.45}
REQUIRED = ["H2O", "CO2", "N2", "H2S", "NH3", "MEA", "CH3OH", "NaCl", "H3O+", "OH-", "HCO3-",
            "CO3--", "MEAH+", "MEACOO-", "NH4+", "NH2COO-", "HS-", "Na+", "Cl-"]


def elements(sid):
    formula = databank.species(sid)["formula"]
    counts = {}
    for el, n in re.findall(r"([A-Z][a-z]?)(\d*)", formula):
        counts[el] = counts.get(el, 0) + (int(n) if n else 1)
    return counts


def sourced_records():
    """(file, key, record) of every databank entry that must carry a "source"."""
    for name in databank.FILES:
        for key, rec in databank.table(name).items():
            if name == "substances" or not isinstance(rec, (dict, list)):
                continue  # substances: identity data only; scalars: global constants
            if name == "regression_mea" and not isinstance(rec, list):
                continue  # the fit record; its fitted pairs are the lists
            if isinstance(rec, list):
                yield from ((name, f"{key}[{i}]", r) for i, r in enumerate(rec))
            elif name == "solvents" or key == "defaults":
                yield from ((name, f"{key}.{k}", r) for k, r in rec.items())
            else:
                yield name, key, rec


def test_every_value_names_its_source():
    assert databank.present()
    missing = [(f, k) for f, k, rec in sourced_records() if not rec.get("source")]
    assert missing == []


@pytest.mark.parametrize("sid", REQUIRED)
def test_species_molar_mass_matches_formula(sid):
    mw = sum(ATOMIC[el] * n for el, n in elements(sid).items())
    assert databank.species(sid)["molar_mass"] == pytest.approx(mw, abs=2e-3)
    charge = databank.species(sid)["formula"].count("+") - databank.species(sid)["formula"].count("-")
    assert databank.species(sid)["charge"] == charge


@pytest.mark.parametrize("rid", list(databank.table("equilibrium")))
def test_reactions_conserve_elements_and_charge(rid):
    stoich = databank.reaction_record(rid)["reaction"]
    total, charge = {}, 0
    for sid, nu in stoich.items():
        charge += nu * databank.species(sid)["charge"]
        for el, n in elements(sid).items():
            total[el] = total.get(el, 0) + nu * n
    assert charge == 0
    assert all(v == 0 for v in total.values()), total


@pytest.mark.parametrize("sid", [s for s in REQUIRED if databank.species(s)["kind"] == "ion"])
def test_every_ion_has_aqueous_enthalpy_data(sid):
    assert databank.dhf_aq(sid) is not None and len(databank.cp_aq(sid)) >= 1


@pytest.mark.parametrize("sid", [s for s in REQUIRED if databank.species(s)["kind"] != "ion"])
def test_every_molecule_has_ideal_gas_data(sid):
    assert len(databank.cpig(sid)) == 4 and databank.dhform(sid) is not None


@pytest.mark.parametrize("T, p", [(298.15, 3169.8), (373.15, 101418.0)])
def test_water_vapor_pressure_against_iapws95(T, p):
    c = databank.antoine("H2O")
    lnp = c[0] + c[1] / (T + c[2]) + c[3] * T + c[4] * math.log(T) + c[5] * T ** c[6]
    assert math.exp(lnp) == pytest.approx(p, rel=2e-3)


def test_water_ideal_gas_heat_capacity_and_formation():
    a, b, c, d = databank.cpig("H2O")
    T = 298.15
    assert a + b * T + c * T * T + d * T ** 3 == pytest.approx(33.58e3, rel=0.01)  # JANAF
    # Formation enthalpy of the liquid from the gas minus the vaporisation enthalpy of the
    # vapor-pressure correlation (Clausius-Clapeyron, ideal vapor) ~ -285.83 kJ/mol (CODATA).
    C = databank.antoine("H2O")
    dvap = 8314.462 * (-C[1] + C[4] * T + C[5] * C[6] * T ** (C[6] + 1))
    assert databank.dhform("H2O") - dvap == pytest.approx(-285.83e6, rel=2e-3)


def test_water_density_and_dielectric_give_debye_hueckel_slope():
    # Through the engine's report and the activity model's solvent mixture (Kell density,
    # Bradley-Pitzer permittivity); Pitzer: 0.3915 at 25 C.
    from velmora import enginebridge, ionactivity
    text = enginebridge.input_header({"H2O": "H2O"}, "eNRTL") + "\nPARAMETER-REPORT ALL\n"
    sp, _ = ionactivity.species_from_report(enginebridge.run_input(text)[0], ["H2O"], [])
    for t, a in ((0, 0.3767), (25, 0.3914), (50, 0.4103), (100, 0.4606)):
        assert sp.solvent_mix([1.0], 273.15 + t)["A_phi"] == pytest.approx(a, abs=3e-4)
    assert sp.solvent_mix([1.0], 298.15)["rho"] == pytest.approx(997.045, abs=1e-3)


def test_unknown_species_is_named():
    with pytest.raises(databank.UnknownSpecies, match="'XeF4'"):
        databank.species("XeF4")


def test_electrolyte_pairs_fitted_and_defaults():
    fitted = databank.electrolyte_pair("H2O", "Na+", "Cl-")
    assert fitted[:5] == (8.885, 0.0, -4.549, 0.0, 0.2)
    assert databank.electrolyte_pair("H2O", "NH4+", "HS-")[:5] == (8.0, 0.0, -4.0, 0.0, 0.2)
    assert databank.electrolyte_pair("CH3OH", "Na+", "Cl-")[:4] == (10.0, 0.0, -2.0, 0.0)
    assert databank.electrolyte_pair("CO2", "H3O+", "HCO3-")[:4] == (15.0, 0.0, -8.0, 0.0)


def liquid_reference_enthalpy(sid, T=298.15):
    """Enthalpy of a species in its liquid reference state [kJ/mol] as the flash sees it: ions
    from DHF_AQ; Henry solutes: ideal gas minus the solution enthalpy of the Henry constant;
    solvents: ideal gas minus the vaporisation enthalpy of the vapor-pressure correlation."""
    R = 8.314462618e-3
    if databank.is_ion(sid):
        return databank.dhf_aq(sid) / 1e6
    if databank.henry(sid, "H2O") is not None:
        a, b, c, d = databank.henry(sid, "H2O")[:4]
        dln = -b / T ** 2 + c / T + d
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
    van_t_hoff = 8.314462618e-3 * T * T * (-rec["B"] / T ** 2 + rec["C"] / T + rec["D"])
    assert from_formation == pytest.approx(van_t_hoff, abs=5.0)
