"""The engine: input texts, parameter reports from the databank, availability switch."""

import re

import pytest

from velmora import enginebridge as eb
from velmora import ionchem

REQUEST = "\nPARAMETER-REPORT ALL\n"


def report_sections(text):
    """{section: [data lines without comments]} of a report."""
    out, cur = {}, None
    for line in text.splitlines():
        line = line.split("#")[0].strip()
        if line.startswith("["):
            cur = line[1:line.index("]")]
            out[cur] = []
        elif line and cur:
            out[cur].append([a or b for a, b in re.findall(r'"([^"]*)"|(\S+)', line)])
    return out


def run(aliases, chem_name=None, henry=None, chem=None):
    if chem is None and chem_name is not None:
        chem = ionchem.builtin(chem_name, aliases)
    text = eb.input_header(aliases, "eNRTL", henry=henry,
                           chemistry=None if chem is None else ("C1", chem))
    return eb.run_input(text + REQUEST, runid="elec")


def test_engine_available_follows_switch(monkeypatch):
    monkeypatch.delenv("VELMORA_NO_ENGINE", raising=False)
    assert eb.engine_available() is True
    monkeypatch.setenv("VELMORA_NO_ENGINE", "1")
    assert eb.engine_available() is False
    monkeypatch.setenv("VELMORA_NO_ENGINE", "0")
    assert eb.engine_available() is True


def test_input_header_round_trip_with_blanks_in_names():
    aliases = {"Water": "h2o", "Carbon dioxide": "CO2", "K": "KOH"}
    chem = ionchem.builtin("CO2-H2O", {"Water": "H2O", "Carbon dioxide": "CO2"})
    chem["reactions"][0] = {"K": -1.0, **chem["reactions"][0]}  # a species named like the K keyword
    text = eb.input_header(aliases, "eNRTL", henry=["Carbon dioxide"], chemistry=("K 1", chem))
    parsed = eb.parse_input(text + REQUEST)
    assert parsed["aliases"] == aliases
    assert parsed["henry"] == ["Carbon dioxide"]
    assert parsed["cid"] == "K 1" and parsed["species"] == chem["species"]
    assert [(k, s, kk) for k, s, kk in parsed["reactions"]] == list(zip(chem["kinds"], chem["reactions"], chem["k"]))
    assert parsed["requests"] == ["PARAMETER-REPORT ALL"]


def test_report_names_components_by_flowsheet_name_and_fills_every_section():
    aliases = {"Water": "h2o", "MEA": "MEA", "Carbon dioxide": "CO2"}
    report, listing = run(aliases, "MEA-CO2-H2O", henry=["Carbon dioxide"])
    assert report.startswith("ENRTL-PARAMETER-REPORT 1\n") and "elec" in listing
    sec = report_sections(report)
    names = [row[0] for row in sec["SPECIES"]]
    assert names == ["Water", "MEA", "Carbon dioxide", "H3O+", "OH-", "HCO3-", "CO3--", "MEAH+", "MEACOO-"]
    kinds = {row[0]: row[1] for row in sec["SPECIES"]}
    assert (kinds["Water"], kinds["MEA"], kinds["Carbon dioxide"]) == ("water", "solvent", "solute")
    # three molecules x two cations x four anions
    assert len(sec["NRTL-ELECTROLYTE"]) == 3 * 2 * 4
    assert {r[0] for r in sec["HENRY"]} == {"Carbon dioxide"}
    assert len(sec["AQUEOUS-FORMATION-ENTHALPY"]) == len(sec["AQUEOUS-HEAT-CAPACITY"]) == 6
    assert [r[0] for r in sec["SOLVENT-DENSITY"]] == ["Water", "MEA"]


def test_report_without_chemistry_has_no_ion_sections():
    report, _ = run({"H2O": "H2O", "CH3OH": "CH3OH"})
    sec = report_sections(report)
    assert "NRTL-ELECTROLYTE" not in sec and "BORN-RADIUS" not in sec
    assert len(sec["NRTL-MOLECULE"]) == 1


@pytest.mark.parametrize("aliases, chem, message", [
    ({"H2O": "H2O", "X": "unobtainium"}, None, "component 'X' (alias 'unobtainium') is not in the databank"),
    ({"H2O": "H2O"}, {"species": ["H2O", "H3O+", "Zz-"], "reactions": [], "kinds": [], "k": []},
     "species 'Zz-' is not in the databank"),
])
def test_unknown_names_are_errors_naming_them(aliases, chem, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        run(aliases, chem=chem)


def test_henry_component_without_data_is_refused():
    with pytest.raises(ValueError, match="no Henry constant of 'CH3OH'"):
        run({"H2O": "H2O", "CH3OH": "CH3OH"}, henry=["CH3OH"])


def test_input_without_request_or_unreadable_is_refused():
    text = eb.input_header({"H2O": "H2O"}, "eNRTL")
    with pytest.raises(ValueError, match="requests no report"):
        eb.run_input(text, runid="elec")
    with pytest.raises(ValueError, match="line 5: cannot read"):
        eb.run_input(text + "FLOWSHEET 42\n" + REQUEST, runid="elec")


def test_chemistry_naming_a_component_by_its_alias_is_refused():
    chem = ionchem.builtin("water")  # species H2O while the component is called Water
    with pytest.raises(ValueError, match="name it 'Water' in the chemistry"):
        run({"Water": "H2O"}, chem=chem)


@pytest.mark.parametrize("name", ionchem.names())
def test_builtin_reports_read_by_the_activity_model(name):
    from velmora import ionactivity
    from velmora.enginebridge import databank
    chem = ionchem.builtin(name)
    comps = [s for s in chem["species"] if not databank.is_ion(s)]
    henry = [c for c in comps if databank.species(c)["kind"] == "solute"]
    report, _ = run({c: c for c in comps}, chem=chem, henry=henry or None)
    names = comps + [s for s in chem["species"] if s not in comps]
    sp, data = ionactivity.species_from_report(report, names, henry)
    assert list(sp.names) == names
    assert [sp.names[i] for i in sp.henry] == henry
    ions = [s for s in names if databank.is_ion(s)]
    assert sorted(data["pure"]) == sorted(ions)
    for ion in ions:
        assert data["pure"][ion]["scalar"]["DHF_AQ"][0] == pytest.approx(databank.dhf_aq(ion))
    assert data["antoine"]["H2O"][1] == -7258.2
    assert all(s in data["vc"] for s in names if databank.species(s)["kind"] in ("solvent",) and s not in henry)


def test_property_package_from_databank_bubble_point_of_water():
    from velmora import phasekit
    pp = eb.property_package(["Water", "CO2"], {"Water": "H2O"}, henry_comps=["CO2"])
    assert set(pp.henry) == {("CO2", "Water")} and "Water" in pp.antoine
    # Ideal-gas enthalpy of water vapor at 373.15 K: -241.826 + ~2.54 kJ/mol (JANAF: 2.54)
    h, _ = phasekit._k_h_ig(373.15, pp.cpig_kind, pp.cpig, pp.DHFORM)
    assert h[0] == pytest.approx(-241.826e6 + 2.54e6, abs=0.05e6)
    with pytest.raises(ValueError, match="'Brine'"):
        eb.property_package(["Brine"])


def test_report_names_the_databank_it_was_written_from():
    report, _ = run({"H2O": "H2O"})
    assert f"# databank {eb.databank.digest()}\n" in report
    assert len(eb.databank.digest()) == 16
