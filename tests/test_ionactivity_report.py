import pytest

from velmora import ionactivity
from enrtl_reports import CO2_NAMES, NACL, NACL_NAMES, doc_example


def test_documented_example_reads_into_species_and_tables():
    sp, data = ionactivity.species_from_report(doc_example(), CO2_NAMES, ["CO2"])
    assert sp.names == CO2_NAMES and sp.names.index("HCO3-") == 4 and sp.n == 6
    assert (sp.water, sp.henry, sp.solv, sp.mol) == (0, [1], [0], [0, 1])
    assert list(sp.z) == [0, 0, 1, -1, -1, -2]
    assert list(sp.ion) == [False, False, True, True, True, True]
    assert data["antoine"]["H2O"] == (73.649, -7258.2, 0.0, 0.0, -7.3037, 4.1653e-06, 2.0)
    assert data["henry"] == {("CO2", "H2O"): (199.2582, -9126.69, -26.99262, 0.0136553, 0.0)}
    assert data["vc"] == {"H2O": 0.05595}
    assert data["pure"]["CO3--"] == {
        "tdep": {"CP_AQ": {"coeffs": [-290000.0]}},
        "scalar": {"DHF_AQ": [-6.771e8]},
    }
    assert set(data["pure"]) == {"H3O+", "OH-", "HCO3-", "CO3--"}
    # molecule tau = A + B/T, zero off the molecule pair
    for T in (280.0, 350.0):
        tau, alpha = sp.molecule_tau(T)
        assert tau[0, 1] == tau[1, 0] == pytest.approx(10.064 - 3268.1 / T)
        assert alpha[0, 1] == alpha[1, 0] == 0.2
        tau[0, 1] = tau[1, 0] = alpha[0, 1] = alpha[1, 0] = 0.0
        assert not tau.any() and not alpha.any()
    # (tau_m,ca, tau_ca,m, alpha) of every molecule and ion pair: defaults where not listed
    t = sp._model["triples"]
    assert len(t) == 2 * 1 * 3  # two molecules x one cation x three anions
    assert t[("H2O", "H3O+", "OH-")][0::4] == [8.0, -4.0, 0.2]
    assert t[("CO2", "H3O+", "CO3--")][0::4] == [10.0, -2.0, 0.2]
    assert t[("CO2", "H3O+", "HCO3-")][0::4] == [15.0, -8.0, 0.1]  # the listed line wins


def test_quoted_names_comments_and_henry_as_a_tuple():
    text = NACL.replace("H2O", '"liquid water"') + "# trailing comment\n"
    names = ["liquid water", "Na+", "Cl-"]
    sp, data = ionactivity.species_from_report(text, names, ())
    assert sp.names == names and sp.henry == [] and sp.solv == [0]
    assert "liquid water" in data["antoine"]


def _drop(text, line):
    assert line in text
    return text.replace(line + "\n", "")


EXAMPLE = doc_example()


@pytest.mark.parametrize(
    "text, names, henry, message",
    [
        ("", CO2_NAMES, ["CO2"], "empty"),
        ("# nothing\nSOMETHING ELSE\n", CO2_NAMES, ["CO2"], "not a parameter report"),
        (EXAMPLE.replace("REPORT 1", "REPORT 2"), CO2_NAMES, ["CO2"], "format version 2"),
        (EXAMPLE, CO2_NAMES[:-1], ["CO2"], "unknown species 'CO3--'"),
        (
            _drop(EXAMPLE, "CO3--   ion     -2    60.0089"),
            CO2_NAMES,
            ["CO2"],
            "[SPECIES] has no line for species 'CO3--'",
        ),
        (
            _drop(EXAMPLE, "HCO3-   3e-10"),
            CO2_NAMES,
            ["CO2"],
            "[BORN-RADIUS] has no line for ion 'HCO3-'",
        ),
        (
            _drop(EXAMPLE, "H2O     KELL"),
            CO2_NAMES,
            ["CO2"],
            "[SOLVENT-DENSITY] has no line for solvent 'H2O'",
        ),
        (EXAMPLE.replace("H2O     KELL", "H2O     KEL"), CO2_NAMES, ["CO2"], "unknown form 'KEL'"),
        (EXAMPLE.replace("[HENRY]", "[HENRYS]"), CO2_NAMES, ["CO2"], "unknown section [HENRYS]"),
        (
            EXAMPLE.replace("0.0136553 0 ", "0.0136553 "),
            CO2_NAMES,
            ["CO2"],
            "expected 5 or 7 numbers, got 6",
        ),
        (
            EXAMPLE.replace("H2O    0.05595", "H2O    0.05x"),
            CO2_NAMES,
            ["CO2"],
            "'0.05x' is not a number",
        ),
        (
            _drop(EXAMPLE, "CO2  H2O   199.2582 -9126.69 -26.99262 0.0136553 0   278.15 393.15"),
            CO2_NAMES,
            ["CO2"],
            "[HENRY] has no line for Henry component 'CO2'",
        ),
        (
            _drop(EXAMPLE, "OH-    -2.300e8"),
            CO2_NAMES,
            ["CO2"],
            "[AQUEOUS-FORMATION-ENTHALPY] has no line for ion 'OH-'",
        ),
        (EXAMPLE, CO2_NAMES, ["N2"], "Henry component 'N2' is not a species"),
        (EXAMPLE, CO2_NAMES, ["OH-"], "Henry component 'OH-' is an ion"),
        (
            EXAMPLE.replace("H2O     water", "H2O     solvent"),
            CO2_NAMES,
            ["CO2"],
            "exactly one species of kind water",
        ),
        (
            EXAMPLE.replace("OH-     ion     -1", "OH-     ion      0"),
            CO2_NAMES,
            ["CO2"],
            "'OH-' of kind ion cannot have charge 0",
        ),
        (NACL.replace("Cl-   ion   -1", "Cl-   ion   +1"), NACL_NAMES, (), "ions of one sign only"),
        (NACL + "[BORN-RADIUS]\n", NACL_NAMES, (), "[BORN-RADIUS] appears twice"),
        (NACL.replace("Na+  3e-10", "Na+  3e-10\nNa+  4e-10"), NACL_NAMES, (), "'Na+' given twice"),
        (
            NACL.replace("[NRTL-ELECTROLYTE]\nH2O  Na+ Cl-", "[NRTL-ELECTROLYTE]\nH2O  Cl- Na+"),
            NACL_NAMES,
            (),
            "'Cl-' is not a cation",
        ),
        (
            NACL.replace("-4.549 0 0 0   0.2", "-4.549 0 0 0   0"),
            NACL_NAMES,
            (),
            "alpha must be positive",
        ),
    ],
)
def test_bad_reports_name_what_is_wrong(text, names, henry, message):
    with pytest.raises(ValueError) as err:
        ionactivity.species_from_report(text, names, henry)
    assert message in str(err.value)
