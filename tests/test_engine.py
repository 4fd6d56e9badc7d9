"""The engine: input texts, parameter reports from the databank, availability switch."""

import re

import pytest

from velmora import enginebridge as eb
from velmora import ionactivity, ionchem, phasekit
from velmora.enginebridge import databank
from enrtl_reports import engine_report

REQUEST = "\nPARAMETER-REPORT ALL\n"


def report_sections(text):
    """{section: [data lines without comments]} of a report."""
    out, cur = {}, None
    for line in text.splitlines():
        line = line.split("#")[0].strip()
        if line.startswith("["):
            cur = line[1 : line.index("]")]
            out[cur] = []
        elif line and cur:
            out[cur].append([a or b for a, b in re.findall(r'"([^"]*)"|(\S+)', line)])
    return out


@pytest.mark.parametrize("switch, available", [(None, True), ("1", False), ("0", True), ("", True)])
def test_engine_available_follows_switch(monkeypatch, switch, available):
    monkeypatch.delenv("VELMORA_NO_ENGINE", raising=False)
    if switch is not None:
        monkeypatch.setenv("VELMORA_NO_ENGINE", switch)
    assert eb.engine_available() is available


def test_input_header_round_trip_with_blanks_in_names():
    aliases = {"Water": "h2o", "Carbon dioxide": "CO2", "K": "KOH"}
    chem = ionchem.builtin("CO2-H2O", {"Water": "H2O", "Carbon dioxide": "CO2"})
    chem["reactions"][0] = {"K": -1.0, **chem["reactions"][0]}  # a species named like the K keyword
    text = eb.input_header(aliases, "eNRTL", henry=["Carbon dioxide"], chemistry=("K 1", chem))
    parsed = eb.parse_input(text + REQUEST)
    assert parsed["aliases"] == aliases
    assert parsed["henry"] == ["Carbon dioxide"]
    assert parsed["cid"] == "K 1" and parsed["species"] == chem["species"]
    assert parsed["reactions"] == list(zip(chem["kinds"], chem["reactions"], chem["k"]))
    assert parsed["requests"] == ["PARAMETER-REPORT ALL"]


def test_report_names_components_by_flowsheet_name_and_fills_every_section():
    aliases = {"Water": "h2o", "MEA": "MEA", "Carbon dioxide": "CO2"}
    report = engine_report(aliases, ionchem.builtin("MEA-CO2-H2O", aliases), ["Carbon dioxide"])
    assert report.startswith("ENRTL-PARAMETER-REPORT 1\n")
    sec = report_sections(report)
    names = [row[0] for row in sec["SPECIES"]]
    assert names == [
        "Water",
        "MEA",
        "Carbon dioxide",
        "H3O+",
        "OH-",
        "HCO3-",
        "CO3--",
        "MEAH+",
        "MEACOO-",
    ]
    kinds = {row[0]: row[1] for row in sec["SPECIES"]}
    assert (kinds["Water"], kinds["MEA"], kinds["Carbon dioxide"]) == ("water", "solvent", "solute")
    assert len(sec["NRTL-ELECTROLYTE"]) == 3 * 2 * 4  # three molecules x two cations x four anions
    assert {r[0] for r in sec["HENRY"]} == {"Carbon dioxide"}
    assert len(sec["AQUEOUS-FORMATION-ENTHALPY"]) == len(sec["AQUEOUS-HEAT-CAPACITY"]) == 6
    assert [r[0] for r in sec["SOLVENT-DENSITY"]] == ["Water", "MEA"]


def test_report_without_chemistry_has_no_ion_sections_and_names_its_databank():
    report = engine_report({"H2O": "H2O", "CH3OH": "CH3OH"})
    sec = report_sections(report)
    assert "NRTL-ELECTROLYTE" not in sec and "BORN-RADIUS" not in sec
    assert len(sec["NRTL-MOLECULE"]) == 1
    assert (
        re.search(r"^# databank [0-9a-f]{16}$", report, re.M).group(0)
        == f"# databank {databank.digest()}"
    )


@pytest.mark.parametrize(
    "aliases, chem, henry, message",
    [
        (
            {"H2O": "H2O", "X": "unobtainium"},
            None,
            (),
            "component 'X' (alias 'unobtainium') is not in the databank",
        ),
        (
            {"H2O": "H2O"},
            {"species": ["H2O", "H3O+", "Zz-"], "reactions": [], "kinds": [], "k": []},
            (),
            "species 'Zz-' is not in the databank",
        ),
        (
            {"H2O": "H2O", "CH3OH": "CH3OH"},
            None,
            ["CH3OH"],
            "the databank has no Henry constant of 'CH3OH' in the solvents of this system",
        ),
        # a chemistry that names a component by its alias (species H2O, component Water)
        (
            {"Water": "H2O"},
            ionchem.builtin("water"),
            (),
            "chemistry species 'H2O' is the databank species of component 'Water': "
            "name it 'Water' in the chemistry",
        ),
    ],
)
def test_runs_the_databank_cannot_serve_are_errors_naming_why(aliases, chem, henry, message):
    with pytest.raises(ValueError) as err:
        engine_report(aliases, chem, henry)
    assert str(err.value) == message


def test_input_without_request_or_unreadable_is_refused():
    text = eb.input_header({"H2O": "H2O"}, "eNRTL")
    with pytest.raises(ValueError, match="requests no report"):
        eb.run_input(text, runid="elec")
    with pytest.raises(ValueError, match="line 5: cannot read"):
        eb.run_input(text + "FLOWSHEET 42\n" + REQUEST, runid="elec")


@pytest.mark.parametrize("name", ionchem.names())
def test_builtin_reports_read_by_the_activity_model(name):
    chem = ionchem.builtin(name)
    # an aqueous complex is a true species, not a component, on the ions' reference
    aqueous = [
        s for s in chem["species"] if databank.is_ion(s) or databank.species(s)["kind"] == "complex"
    ]
    comps = [s for s in chem["species"] if s not in aqueous]
    henry = [c for c in comps if databank.species(c)["kind"] == "solute"]
    names = comps + [s for s in chem["species"] if s not in comps]
    sp, data = ionactivity.species_from_report(
        engine_report({c: c for c in comps}, chem, henry), names, henry
    )
    assert list(sp.names) == names
    assert [sp.names[i] for i in sp.henry] == henry
    aq, vc = databank.table("aqueous"), databank.table("critical_volume")
    assert {i: p["scalar"]["DHF_AQ"][0] for i, p in data["pure"].items()} == pytest.approx(
        {i: aq[i]["dhf_aq"] * 1e6 for i in aqueous}
    )  # kJ/mol -> J/kmol
    solvents = [s for s in names if databank.species(s)["kind"] == "solvent" and s not in henry]
    assert {s: data["vc"][s] for s in solvents} == pytest.approx(
        {s: vc[s]["vc"] / 1e3 for s in solvents}
    )


def test_property_package_from_the_databank():
    pp = eb.property_package(["Water", "CO2"], {"Water": "H2O"}, henry_comps=["CO2"])
    assert set(pp.henry) == {("CO2", "Water")} and "Water" in pp.antoine
    # Ideal-gas enthalpy of water vapor at 373.15 K: -241.826 + ~2.54 kJ/mol (JANAF: 2.54)
    h, _ = phasekit._k_h_ig(373.15, pp.cpig_kind, pp.cpig, pp.DHFORM)
    assert h[0] == pytest.approx(-241.826e6 + 2.54e6, abs=0.05e6)
    with pytest.raises(ValueError, match="'Brine'"):
        eb.property_package(["Brine"])
