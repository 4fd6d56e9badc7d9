"""Databank overlays: a user's species, reaction, pair and chemistry reach the engine and the
speciation; every kind of bad record is refused with a message naming source, record and field."""

import math
import pathlib
import pickle
import re

import pytest

import velmora
from velmora import brinequil, ionchem
from velmora.enginebridge import databank, engine
from velmora.regress import Model

LN_KG_WATER = math.log(1000 / 18.015)  # molality -> mole-fraction basis, per solute
PKA_HOCL = 7.53  # hypochlorous acid at 25 C (Morris, J. Phys. Chem. 70 (1966) 3798)


def hocl_overlay():
    return {
        "substances": {
            "HOCl": {
                "name": "hypochlorous acid",
                "formula": "HOCl",
                "kind": "solute",
                "molar_mass": 52.46,
                "charge": 0,
            },
            "OCl-": {
                "name": "hypochlorite",
                "formula": "OCl-",
                "kind": "ion",
                "molar_mass": 51.45,
                "charge": -1,
            },
        },
        "aqueous": {
            "OCl-": {
                "dhf_aq": -107.1e3,
                "cp_aq": [0.0],
                "units": {"dhf_aq": "J/mol"},
                "source": "Wagman et al. 1982 (NBS)",
            }
        },
        "equilibrium": {
            "HOCL-1": {
                "reaction": {"HOCl": -1, "H2O": -1, "H3O+": 1, "OCl-": 1},
                "A": -PKA_HOCL * math.log(10) - LN_KG_WATER,
                "B": 0.0,
                "C": 0.0,
                "D": 0.0,
                "tmin": 5.0,
                "tmax": 45.0,
                "units": {"tmin": "C", "tmax": "C"},
                "source": "Morris 1966",
            }
        },
        "chemistry": {
            "HOCl-H2O": {
                "species": ["H2O", "HOCl", "H3O+", "OH-", "OCl-"],
                "equilibria": ["WATER", "HOCL-1"],
                "source": "test",
            }
        },
    }


def model(name):
    """brinequil's liquid of a chemistry of the active databank, through the engine's report."""
    chem, comps = ionchem.builtin(name), ionchem.components(name)
    text = engine.input_header({c: c for c in comps}, "eNRTL", chemistry=("C1", chem))
    report = engine.build_report(engine.parse_input(text + "\nPARAMETER-REPORT ALL\n"))
    return brinequil.Electrolyte.from_report(report, chem, comps, henry=[]), report


def test_overlay_species_and_reaction_reach_the_speciation():
    db = databank.load([hocl_overlay()])
    assert "HOCl-H2O" not in ionchem.names()
    with databank.using(db):
        assert ionchem.components("HOCl-H2O") == ["H2O", "HOCl"]
        el, report = model("HOCl-H2O")
        assert f"# databank {db.digest()}" in report and db.digest() != databank.shipped().digest()
    assert databank.digest() == databank.shipped().digest() and "HOCl-H2O" not in ionchem.names()
    # a weak acid at 0.01 mol/kg: pH = (pKa + 2)/2 (activity coefficients ~1 at this strength)
    n, lng = el.true_amounts({"H2O": 1000 / 18.015, "HOCl": 0.01}, 298.15)
    h = el.names.index("H3O+")
    ph = -math.log10(n[h] / n[el.names.index("H2O")] * 1000 / 18.015 * math.exp(lng[h]))
    assert ph == pytest.approx((PKA_HOCL + 2) / 2, abs=0.01)
    # units converted where the record is read: J/mol -> kJ/mol, C -> K
    assert db.dhf_aq("OCl-") == pytest.approx(-107.1e6) and db.validity("reaction", "HOCL-1") == (
        278.15,
        318.15,
    )


def test_overlay_from_files_and_overrides(tmp_path):
    # a file of one kind in the shipped format, then a file with sections; the later one wins
    (tmp_path / "henry.toml").write_text(
        '[[pair]]\nsolute = "CO2"\nsolvent = "H2O"\n'
        "coeffs = [192.35, -9126.69, -26.99262, 0.0136553]\n"
        'units = { coeffs = "kPa" }\ntmin = 280.0\ntmax = 350.0\nsource = "test"\n'
    )
    (tmp_path / "pairs.toml").write_text(
        '[[nrtl_electrolyte.pair]]\nmolecule = "H2O"\ncation = "K+"\nanion = "Br-"\nA_m_ca = 8.1\n'
        'B_m_ca = 0.0\nA_ca_m = -4.1\nB_ca_m = 0.0\nalpha = 0.2\nsource = "test"\n'
        '[substances."Br-"]\nname = "bromide"\nformula = "Br-"\nkind = "ion"\n'
        "molar_mass = 79.904\ncharge = -1\n"
    )
    db = databank.load([tmp_path / "henry.toml", tmp_path / "pairs.toml"])
    shipped = databank.shipped().henry("CO2", "H2O")
    assert db.henry("CO2", "H2O")[0] == pytest.approx(192.35 + math.log(1e3))
    assert db.henry("CO2", "H2O")[1:] == shipped[1:] and db.validity("henry", ("CO2", "H2O")) == (
        280.0,
        350.0,
    )
    assert not db.is_default_pair("H2O", "K+", "Br-") and databank.is_default_pair(
        "H2O", "K+", "Br-"
    )
    assert db.electrolyte_pair("H2O", "K+", "Br-")[:5] == (8.1, 0.0, -4.1, 0.0, 0.2)
    # the digest follows the content of the overlays, not the path they were read from
    (tmp_path / "copy").mkdir()
    (tmp_path / "copy" / "pairs.toml").write_text((tmp_path / "pairs.toml").read_text())
    only_pairs = databank.load([tmp_path / "pairs.toml"]).digest()
    assert databank.load([tmp_path / "copy" / "pairs.toml"]).digest() == only_pairs
    assert len({databank.load([]).digest(), db.digest(), only_pairs}) == 3


FLAT_K = dict(A=0.0, B=0.0, C=0.0, D=0.0, tmin=273.15, tmax=373.15, source="s")
MEA_WATER = dict(i="MEA", j="H2O", A_ij=1.0, B_ij=0.0, A_ji=1.0, B_ji=0.0, alpha=0.2, source="s")
WATER_ONLY = dict(species=["H2O", "H3O+", "OH-"], equilibria=["WATER"], source="s")
BAD = [
    (
        {"equilibrium": {"X": dict(reaction={"HCO3-": -1, "H3O+": 1, "CO3--": 1}, **FLAT_K)}},
        "<mapping>: [equilibrium] record 'X': field 'reaction': "
        "elements are not balanced (H +2, O +1)",
    ),
    (
        {"equilibrium": {"X": dict(reaction={"CO2": -1, "H2O": -1, "HCO3-": 1}, **FLAT_K)}},
        "<mapping>: [equilibrium] record 'X': field 'reaction': charge is not balanced (-1)",
    ),
    (
        {
            "vapor_pressure": {
                "MEA": dict(
                    coeffs=[92.6, -10367.0, 0, 0, -9.47, 1.9e-18, 6], tmin=300.0, source="s"
                )
            }
        },
        "<mapping>: [vapor_pressure] record 'MEA': field 'tmax': is required",
    ),
    (
        {"critical_volume": {"MEA": {"vc": 225.0, "units": {"vc": "kg"}, "source": "s"}}},
        "<mapping>: [critical_volume] record 'MEA': field 'vc': unit 'kg' is not accepted here "
        "(accepted: cm3/mol, m3/kmol, L/mol)",
    ),
    (
        {"nrtl_molecular": {"pair": [MEA_WATER, dict(MEA_WATER, A_ij=2.0)]}},
        "<mapping>: [nrtl_molecular] record ('MEA', 'H2O'): "
        "is a duplicate (given twice in this source)",
    ),
    (
        {
            "substances": {
                "KBr": dict(
                    name="potassium bromide", formula="KBr", kind="salt", molar_mass=119.0, charge=1
                )
            }
        },
        "<mapping>: [substances] record 'KBr': field 'charge': "
        "1 is not the charge of the formula 'KBr'",
    ),
    (
        {
            "henry": {
                "pair": [
                    dict(
                        solute="XE",
                        solvent="H2O",
                        coeffs=[1.0, 2.0, 3.0, 4.0],
                        tmin=280.0,
                        tmax=300.0,
                        source="s",
                    )
                ]
            }
        },
        "<mapping>: [henry] record ('XE', 'H2O'): field 'solute': "
        "species 'XE' is not in the databank",
    ),
    (
        {"chemistry": {"C": dict(WATER_ONLY, equilibria=["WATER", "CO2-1"])}},
        "<mapping>: [chemistry] record 'C': field 'equilibria': "
        "reaction 'CO2-1' needs ['CO2', 'HCO3-'], which are not species of the chemistry",
    ),
    (
        {"chemistry": {"C": dict(WATER_ONLY, ion_fractions="fixed")}},
        "<mapping>: [chemistry] record 'C': field 'ion_fractions': "
        "'fixed' is not one of 'held', 'free'",
    ),
    ({"minerals": {}}, "<mapping>: section [minerals] is not a kind of data"),
]


@pytest.mark.parametrize("overlay, message", BAD)
def test_bad_records_are_refused_with_their_own_message(overlay, message):
    with pytest.raises(databank.DatabankError) as err:
        databank.load([overlay])
    assert str(err.value).startswith(message)


def test_bad_files_name_the_file(tmp_path):
    twice = tmp_path / "twice.toml"
    twice.write_text(
        '[critical_volume.MEA]\nvc = 225.0\nsource = "a"\n'
        '[critical_volume.MEA]\nvc = 207.0\nsource = "b"\n'
    )
    with pytest.raises(
        databank.DatabankError,
        match=rf"^{twice}: not valid TOML .*a record given twice is a duplicate",
    ):
        databank.load(twice)
    with pytest.raises(
        databank.DatabankError, match=rf"^{tmp_path / 'absent.toml'}: cannot be read"
    ):
        databank.load(tmp_path / "absent.toml")
    with pytest.raises(TypeError, match="using\\(\\) needs a Databank"):
        with databank.using({"substances": {}}):
            pass


def test_databank_is_immutable_and_shared_accessors_follow_using():
    db = databank.load([hocl_overlay()])
    with pytest.raises(AttributeError, match="immutable"):
        db.x = 1
    with databank.using(db):
        assert databank.species("OCl-")["charge"] == -1 and databank.active() is db
        with databank.using(databank.shipped()):
            with pytest.raises(
                databank.UnknownSpecies, match="species 'OCl-' is not in the databank"
            ):
                databank.species("OCl-")
        assert databank.known("HOCl")
    assert not databank.known("HOCl")


def test_bring_your_own_system_page_overlay_loads_and_takes_the_default_pair(tmp_path):
    page = pathlib.Path(__file__).resolve().parents[1] / "docs" / "bring-your-own-system.md"
    (tmp_path / "kcl.toml").write_text(
        re.search(r'KCL = """\n(.*?)"""', page.read_text(), re.S).group(1)
    )
    base = databank.shipped_without_fit("KCl-H2O")
    db = databank.derive(base, [tmp_path / "kcl.toml"])
    assert db.is_default_pair("H2O", "K+", "Cl-") and db.chemistry("KCl-H2O") == databank.chemistry(
        "KCl-H2O"
    )
    # the page's figures: with the default pair, gamma+- of KCl is 6 % low at 1 mol/kg and 17 %
    # low at 4 mol/kg (Robinson & Stokes: 0.604, 0.577)
    model = Model("KCl-H2O", db)
    got = [
        model.value("gamma_mean", "KCl", 298.15, {"H2O": 1000 / 18.015, "KCl": m}) / g - 1
        for m, g in ((1.0, 0.604), (4.0, 0.577))
    ]
    assert got == pytest.approx([-0.064, -0.169], abs=0.005)


def test_system_uses_an_active_overlay_and_the_new_salts(tmp_path, monkeypatch):
    monkeypatch.setenv("LOCALAPPDATA", str(tmp_path))
    first = velmora.System("HOCl-H2O", databank=[hocl_overlay()])
    liquid = first.liquid(298.15, molalities={"HOCl": 0.01})
    assert liquid.pH == pytest.approx((PKA_HOCL + 2) / 2, abs=0.01)
    # the overlay's report is cached apart from the shipped databank's, and read back
    again = velmora.System("hocl-h2o", databank=[hocl_overlay()])
    assert (first.report_origin, again.report_origin) == ("engine", "cache")
    assert list((tmp_path / "Velmora").glob("elec-overlays/*.rep")) and not list(
        (tmp_path / "Velmora").glob("elec/*.rep")
    )
    copy = pickle.loads(pickle.dumps(again))  # the overlay travels with the System
    assert copy.liquid(298.15, molalities={"HOCl": 0.01}).pH == liquid.pH
    with pytest.raises(velmora.ChemistryError, match="unknown chemistry 'HOCl-H2O'"):
        velmora.System("HOCl-H2O")  # not without the overlay
    # a new built-in salt at the front door: gamma+- of KCl at 2 mol/kg (Robinson & Stokes: 0.573)
    kcl = velmora.System("KCl-H2O", cache=False).liquid(298.15, molalities={"KCl": 2.0})
    assert kcl.gamma_mean["KCl"] == pytest.approx(0.573, rel=0.01)
