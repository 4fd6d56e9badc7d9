"""The ion-ion-ion mixing term U and the dilute-weighted like-ion and salt-pair terms D of the
activity model: the report's [NRTL-MIXING], [NRTL-DILUTE] and [NRTL-DILUTE-PAIR] records, the
databank's nrtl_mixing, nrtl_dilute and nrtl_dilute_pair tables and the engine's lines, the
parameter direction of a fit. The terms' invariants (Gibbs-Duhem, hand gradient = dual numbers,
one-salt liquids, the ions' reference, ln gamma against differences of the term written out) are
checked in tests/cpp/activity_tests.cpp."""

import math

import numpy as np
import pytest

from velmora import ionactivity, ionchem, regress
from velmora.enginebridge import databank, engine
from velmora.regress import core, jacobian
from velmora.ionactivity.report import ReportError

from enrtl_reports import NACL

T = 330.0
NAMES = ["H2O", "Na+", "Cl-", "SO4--"]
# NaCl of the test report with sulfate added (Born radius and pair: test inputs)
MIXED = (
    NACL.replace("Cl-   ion   -1  35.453", "Cl-   ion   -1  35.453\nSO4--  ion  -2  96.06")
    .replace("Cl-  3e-10", "Cl-  3e-10\nSO4--  3e-10")
    .replace(
        "[NRTL-ELECTROLYTE]", "[NRTL-ELECTROLYTE]\nH2O  Na+ SO4--   8.0 0 0 0   -4.0 0 0 0   0.2"
    )
    .replace("Cl-  -1.672e8", "Cl-  -1.672e8\nSO4--  -9.093e8")
)


def report(lines, section="NRTL-MIXING"):
    return MIXED.replace("[VAPOR-PRESSURE]", f"[{section}]\n" + lines + "\n[VAPOR-PRESSURE]")


def species(lines=None, section="NRTL-MIXING"):
    text = MIXED if lines is None else report(lines, section)
    return ionactivity.species_from_report(text, NAMES, [])[0]


def refused(section, cases):
    """Each (record lines, message) of ``cases`` in ``section`` is refused with that message."""
    for line, msg in cases:
        with pytest.raises(ReportError, match=rf"\[{section}\] .*" + msg):
            ionactivity.species_from_report(report(line, section), NAMES, [])


def test_report_record_is_read_and_checked():
    model, _ = ionactivity.report.read_report(
        report("Na+  Cl- SO4--  -35.5  1200  # fitted"), NAMES, []
    )
    assert model["mixing"] == {("Na+", "Cl-", "SO4--"): [-35.5, 1200.0]}
    assert ionactivity.report.read_report(MIXED, NAMES, [])[0]["mixing"] == {}
    refused(
        "NRTL-MIXING",
        [
            ("Na+ Cl- SO4-- 1", r"line \d+: expected 2 numbers, got 1"),
            ("H2O Cl- SO4-- 1 0", r"'H2O' is not an ion"),
            ("Cl- Na+ SO4-- 1 0", "a common ion and two ions of the other sign"),
            ("Na+ Cl- SO4-- 1 0\nNa+ SO4-- Cl- 2 0", r"'Na\+' with 'SO4--' 'Cl-' given twice"),
        ],
    )


def test_the_record_moves_sulfate_by_u_x_na_x_cl():
    # ln gamma of SO4-- in a liquid of NaCl alone moves by dF_U/dn_SO4 = U x_Na x_Cl, U = A + B/T;
    # water and the salt's own ions do not move (F_U is zero without sulfate)
    x = np.array([0.8, 0.1, 0.1, 0.0])
    lines = "Na+  Cl- SO4--  -30  900"
    d = ionactivity.ln_gamma(species(lines), x, T) - ionactivity.ln_gamma(species(), x, T)
    assert d[3] == pytest.approx((-30.0 + 900.0 / T) * 0.1 * 0.1, rel=1e-12)
    assert np.abs(d[:3]).max() < 1e-14
    zero = species("Na+  Cl- SO4--  0  0")
    mixed = np.array([0.78, 0.12, 0.08, 0.02])
    assert np.array_equal(
        ionactivity.ln_gamma(zero, mixed, T), ionactivity.ln_gamma(species(), mixed, T)
    )


def test_like_ion_record_is_second_order_in_its_like_ion():
    # U n_Cl n_Na^2 / N^2 (N = 1 here): d/dn_Na = U (2 x_Na x_Cl - 2 x_Na^2 x_Cl), d/dn_Cl =
    # U (x_Na^2 - 2 x_Na^2 x_Cl), every other species -2 U x_Na^2 x_Cl; with no sodium nothing moves
    u = 250.0
    sp = species(f"Cl-  Na+ Na+  {u}  0")
    x = np.array([0.8, 0.1, 0.1, 0.0])
    d = ionactivity.ln_gamma(sp, x, T) - ionactivity.ln_gamma(species(), x, T)
    na, cl = x[1], x[2]
    f = u * na * na * cl
    assert d == pytest.approx(
        [-2 * f, u * 2 * na * cl - 2 * f, u * na * na - 2 * f, -2 * f], rel=1e-10
    )
    no_na = np.array([0.9, 0.0, 0.06, 0.02]) + np.array([0, 1e-300, 0, 0])
    assert np.array_equal(
        ionactivity.ln_gamma(sp, no_na, T), ionactivity.ln_gamma(species(), no_na, T)
    )


def test_parameter_derivatives_of_u():
    sp = species("Na+  Cl- SO4--  -30  900")
    x = np.array([0.78, 0.12, 0.08, 0.02])
    lng, dP = sp._core.ln_gamma_parameter_derivatives(
        x, T, None, [("mixing", 0, 0), ("mixing", 0, 1)]
    )
    # dF_U/dA = x_Na x_Cl x_SO4 (N = 1): its gradient by hand
    na, cl, so4 = x[1:]
    want = np.array([0.0, cl * so4, na * so4, na * cl]) - 2 * na * cl * so4
    assert dP[:, 0] == pytest.approx(want, rel=1e-12)
    assert dP[:, 1] == pytest.approx(want / T, rel=1e-12)
    with pytest.raises(
        ValueError, match=r"parameter \(2, 1, 0\) is not a coefficient of this model's ion triples"
    ):
        sp._core.ln_gamma_parameter_derivatives(x, T, None, [("mixing", 1, 0)])


def test_databank_record_reaches_the_report_and_the_fit(tmp_path):
    rec = {
        "ion": "Na+",
        "ion_1": "SO4--",
        "ion_2": "Cl-",
        "U_A": -12.5,
        "U_B": 250.0,
        "source": "test input",
    }
    db = databank.derive(databank.shipped(), [{"nrtl_mixing": {"pair": [rec]}}])
    assert db.mixing_records(["Na+", "Cl-", "SO4--", "K+"]) == [rec]
    assert db.mixing_records(["Na+", "Cl-"]) == []
    with pytest.raises(
        databank.DatabankError, match="needs a common ion and two ions of the other sign"
    ):
        databank.derive(db, [{"nrtl_mixing": {"pair": [dict(rec, ion_1="K+")]}}])
    # the swapped record replaces it
    db2 = databank.derive(
        db, [{"nrtl_mixing": {"pair": [dict(rec, ion_1="Cl-", ion_2="SO4--", U_A=1.0)]}}]
    )
    assert [r["U_A"] for r in db2.mixing_records(["Na+", "Cl-", "SO4--"])] == [1.0]

    def report_of(chemistry):
        with databank.using(db):
            chem = ionchem.builtin(chemistry)
            comps = ionchem.components(chemistry)
            text = engine.input_header({c: c for c in comps}, "eNRTL", chemistry=(chemistry, chem))
            return engine.build_report(engine.parse_input(text + "\n" + engine.REQUEST + "\n"))

    text = report_of("brine-H2O")
    line = next(ln for ln in text.splitlines() if ln.split()[:3] == ["Na+", "SO4--", "Cl-"])
    assert line.split("#")[0].split()[3:] == ["-12.5", "250"]
    nacl = report_of("NaCl-H2O")  # no sulfate: no record of it
    assert not any(
        ln.split()[:3] in (["Na+", "SO4--", "Cl-"], ["Na+", "Cl-", "SO4--"])
        for ln in nacl.splitlines()
    )
    assert any(
        ln.split()[:3] == ["OH-", "Na+", "Na+"] for ln in nacl.splitlines()
    )  # NaOH's, with water's ions
    # a fit's parameter: its overlay record and its exact direction in the model
    p = regress.Parameter("ion_mixing", ("Na+", "Cl-", "SO4--"), "U_B", 0.0)
    ov = regress.core.overlay([p], [75.0], db)
    assert ov["nrtl_mixing"]["pair"][0] | {"source": ""} == dict(
        ion="Na+", ion_1="Cl-", ion_2="SO4--", U_A=-12.5, U_B=75.0, source=""
    )
    m = regress.core.Model("brine-H2O", db=db)
    k = [r["ion"] for r in db.mixing_records(m.names)].index("Na+")  # beside the shipped records
    assert jacobian.directions(m, [p]) == [("mixing", k, 1)]


def test_exact_fit_gradient_of_u_against_differences():
    # d ln(osmotic coefficient) / d U_A through the speciation (regress.jacobian) against central
    # differences of models rebuilt with U moved
    p = core.Parameter("ion_mixing", ("Na+", "Cl-", "SO4--"), "U_A", 0.0)
    base = databank.shipped()

    def model(u):
        return core.Model(
            "CaSO4-NaCl-H2O", db=databank.derive(base, [core.overlay([p], [u], base)])
        )

    comp = {"H2O": 55.508, "NaCl": 3.0, "CaSO4": 0.05}
    value, grad = model(-30.0).value_gradient("osmotic", None, T, comp, [p])
    h = 1e-3
    up, down = (model(-30.0 + s * h).value("osmotic", None, T, comp) for s in (1, -1))
    fd = (math.log(up) - math.log(down)) / (2 * h)
    assert grad[0] == pytest.approx(fd, rel=1e-5)
    assert abs(fd) > 1e-5


def test_dilute_record_is_read_checked_and_acts_on_its_ion():
    model, _ = ionactivity.report.read_report(
        report("H2O  Na+  80  -3000", "NRTL-DILUTE"), NAMES, []
    )
    assert model["dilute"] == {("H2O", "Na+"): [80.0, -3000.0]}
    refused(
        "NRTL-DILUTE",
        [
            ("H2O Na+ 1", r"line \d+: expected 2 numbers, got 1"),
            ("Na+ Cl- 1 0", r"'Na\+' is not a solvent"),
            ("H2O H2O 1 0", r"'H2O' is not an ion"),
            ("H2O Na+ 1 0\nH2O Na+ 2 0", r"'H2O' with 'Na\+' given twice"),
        ],
    )
    # dilute sodium: ln gamma of Na+ gains 2 D x_w x_Na g, g = 1 - O(14.9 x_Na^1/2), every other
    # species O(x_Na^3/2) (through g's slope in I_x)
    sp = species("H2O  Na+  80  -3000", "NRTL-DILUTE")
    x = np.array([1.0, 1e-11, 1e-11, 0.0])
    d = ionactivity.ln_gamma(sp, x, T) - ionactivity.ln_gamma(species(), x, T)
    assert d[1] == pytest.approx(2 * (80.0 - 3000.0 / T) * 1e-11, rel=1e-4)
    assert np.abs(d[[0, 2, 3]]).max() < 1e-12
    # no sodium: nothing moves
    x = np.array([0.9, 0.0, 0.0, 0.05]) + np.array([0, 0, 0.1, 0])
    assert np.array_equal(ionactivity.ln_gamma(sp, x, T), ionactivity.ln_gamma(species(), x, T))
    with pytest.raises(
        ValueError, match=r"parameter \(3, 1, 0\) is not a coefficient of this model's dilute terms"
    ):
        sp._core.ln_gamma_parameter_derivatives(x, T, None, [("dilute", 1, 0)])


def report_values(db, chem, section, key):
    """The numbers of the record ``key`` (its leading names) in ``section`` of the engine's
    report of the built-in chemistry ``chem`` on the databank db."""
    with databank.using(db):
        comps = ionchem.components(chem)
        text = engine.input_header(
            {c: c for c in comps}, "eNRTL", chemistry=(chem, ionchem.builtin(chem))
        )
        text = engine.build_report(engine.parse_input(text + "\n" + engine.REQUEST + "\n"))
    lines = text.split(f"[{section}]")[1].split("[")[0].splitlines()
    line = next(ln for ln in lines if ln.split()[: len(key)] == key)
    return line.split("#")[0].split()[len(key) :]


def test_dilute_databank_record_reaches_the_report_and_the_fit():
    rec = {"molecule": "H2O", "ion": "Ca++", "D_A": 100.0, "D_B": 250.0, "source": "test input"}
    db = databank.derive(databank.shipped(), [{"nrtl_dilute": {"pair": [rec]}}])
    assert rec in db.dilute_records(["H2O"], ["Ca++", "Cl-"])
    assert db.dilute_records(["H2O"], ["Na+", "Cl-"]) == []
    with pytest.raises(databank.DatabankError, match="'Na\\+' is not a solvent of the databank"):
        databank.derive(db, [{"nrtl_dilute": {"pair": [dict(rec, molecule="Na+")]}}])
    assert report_values(db, "CaCl2-H2O", "NRTL-DILUTE", ["H2O", "Ca++"]) == ["100", "250"]
    p = regress.Parameter("dilute_term", ("H2O", "Ca++"), "D_B", 0.0)
    ov = regress.core.overlay([p], [75.0], db)
    assert ov["nrtl_dilute"]["pair"][0] | {"source": ""} == dict(
        molecule="H2O", ion="Ca++", D_A=100.0, D_B=75.0, source=""
    )
    m = regress.core.Model("CaCl2-H2O", db=db)
    assert jacobian.directions(m, [p]) == [("dilute", 0, 1)]


def test_exact_fit_gradient_of_d_against_differences():
    # d ln(gamma+- of CaCl2) / d D_A through the speciation (regress.jacobian) against central
    # differences of models rebuilt with D moved
    p = core.Parameter("dilute_term", ("H2O", "Ca++"), "D_A", 0.0)
    _gradient_against_differences(databank.shipped(), p, "CaCl2", 0.3, 50.0)


def _gradient_against_differences(db, p, salt, m, v):
    """d ln(gamma+- of the salt at m mol/kg, 25 C) / d p at p = v, through the speciation
    (regress.jacobian), against central differences of models rebuilt with p moved."""

    def model(u):
        return core.Model(f"{salt}-H2O", db=databank.derive(db, [core.overlay([p], [u], db)]))

    comp = {"H2O": 55.508, salt: m}
    _, grad = model(v).value_gradient("gamma_mean", salt, 298.15, comp, [p])
    h = 1e-2
    up, down = (model(v + s * h).value("gamma_mean", salt, 298.15, comp) for s in (1, -1))
    fd = (math.log(up) - math.log(down)) / (2 * h)
    assert grad[0] == pytest.approx(fd, rel=1e-5)
    assert abs(fd) > 1e-4


def test_dilute_pair_record_is_read_checked_and_first_order_in_each_ion():
    model, _ = ionactivity.report.read_report(
        report("H2O  Na+ Cl-  40  2000", "NRTL-DILUTE-PAIR"), NAMES, []
    )
    assert model["dilute_pair"] == {("H2O", "Na+", "Cl-"): [40.0, 2000.0]}
    assert model["dilute"] == {}
    refused(
        "NRTL-DILUTE-PAIR",
        [
            ("H2O Na+ Cl- 1", r"line \d+: expected 2 numbers, got 1"),
            ("Na+ Na+ Cl- 1 0", r"'Na\+' is not a solvent"),
            ("H2O Cl- Na+ 1 0", r"'Cl-' is not a cation"),
            ("H2O Na+ H2O 1 0", r"'H2O' is not an anion"),
            ("H2O Na+ Cl- 1 0\nH2O Na+ Cl- 2 0", r"'H2O' with 'Na\+' 'Cl-' given twice"),
        ],
    )
    sp = species("H2O  Na+ Cl-  40  2000", "NRTL-DILUTE-PAIR")
    d_t = 40.0 + 2000.0 / T
    # chloride traced in a sodium sulfate brine, g written out (I_x = (x_Na + 4 x_SO4 + x_Cl) / 2):
    # ln gamma of Cl- gains D x_w x_Na g, the others O(x_Cl)
    x = np.array([0.9, 0.06, 1e-13, 0.03])
    x = x / x.sum()
    y = 14.9 * math.sqrt(0.5 * (x[1] + 4 * x[3] + x[2]))
    g = 2 * (1 - (1 + y) * math.exp(-y)) / y**2
    d = ionactivity.ln_gamma(sp, x, T) - ionactivity.ln_gamma(species(), x, T)
    assert d[2] == pytest.approx(d_t * x[0] * x[1] * g, rel=1e-8)
    assert np.abs(d[[0, 1, 3]]).max() < 1e-10
    # no chloride at all: every species but Cl- to the last digit as without the term
    x = np.array([0.9, 0.06, 0.0, 0.03])
    d = ionactivity.ln_gamma(sp, x, T) - ionactivity.ln_gamma(species(), x, T)
    assert np.array_equal(d[[0, 1, 3]], np.zeros(3)) and d[2] > 0.1
    # the term's ln gamma by central differences of n G^ex/RT (not the code's gradient), and Euler
    sp0 = species()
    x0 = np.array([0.8, 0.07, 0.05, 0.01])

    def gex_t(xv):
        return sp._core.gex(xv, T) - sp0._core.gex(xv, T)

    lng = np.zeros(4)
    h = 1e-7
    for i in range(4):
        up, dn = x0.copy(), x0.copy()
        up[i] += h
        dn[i] -= h
        lng[i] = ((up.sum() * gex_t(up)) - (dn.sum() * gex_t(dn))) / (2 * h)
    d_code = ionactivity.ln_gamma(sp, x0, T) - ionactivity.ln_gamma(sp0, x0, T)
    assert d_code == pytest.approx(lng, rel=1e-6, abs=1e-10)
    assert abs(x0 @ lng - gex_t(x0) * x0.sum()) < 1e-10


def test_dilute_pair_databank_record_reaches_the_report_and_the_fit():
    rec = {
        "molecule": "H2O",
        "cation": "Na+",
        "anion": "Cl-",
        "D_A": 30.0,
        "D_B": 400.0,
        "source": "test input",
    }
    like = {"molecule": "H2O", "ion": "Na+", "D_A": 5.0, "source": "test input"}
    db = databank.derive(
        databank.shipped(), [{"nrtl_dilute_pair": {"pair": [rec]}, "nrtl_dilute": {"pair": [like]}}]
    )
    assert rec in db.dilute_pair_records(["H2O"], ["Na+", "Cl-"])
    assert db.dilute_pair_records(["H2O"], ["Na+", "OH-"]) == []
    for bad, msg in (
        (dict(rec, molecule="Na+"), "'Na\\+' is not a solvent of the databank"),
        (
            dict(rec, cation="Cl-", anion="Na+"),
            "field 'cation': 'Cl-' is not a cation of the databank",
        ),
    ):
        with pytest.raises(databank.DatabankError, match=msg):
            databank.derive(db, [{"nrtl_dilute_pair": {"pair": [bad]}}])
    assert report_values(db, "NaCl-H2O", "NRTL-DILUTE-PAIR", ["H2O", "Na+", "Cl-"]) == ["30", "400"]
    p = regress.Parameter("dilute_pair", ("H2O", "Na+", "Cl-"), "D_B", 0.0)
    ov = regress.core.overlay([p], [75.0], db)
    assert ov["nrtl_dilute_pair"]["pair"][0] | {"source": ""} == dict(
        molecule="H2O", cation="Na+", anion="Cl-", D_A=30.0, D_B=75.0, source=""
    )
    # the salt-pair terms follow the like-ion ones in the core's list
    m = regress.core.Model("NaCl-H2O", db=db)
    assert jacobian.directions(
        m, [p, regress.Parameter("dilute_term", ("H2O", "Na+"), "D_A", 0.0)]
    ) == [("dilute", 1, 1), ("dilute", 0, 0)]
    # d ln(gamma+- of NaCl) / d D_A of the pair, exact, against central differences of rebuilt
    # models
    pa = regress.Parameter("dilute_pair", ("H2O", "Na+", "Cl-"), "D_A", 0.0)
    _gradient_against_differences(db, pa, "NaCl", 2.0, 30.0)
