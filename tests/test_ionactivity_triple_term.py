"""The molecule-ion-pair term W of the activity model: absent it changes no digit, present it is
part of G^ex (ln gamma its gradient, Gibbs-Duhem holds, ions keep their reference state), and
the report carries it."""

import numpy as np
import pytest

from velmora import ionactivity, ionchem
from velmora.enginebridge import databank, engine
from velmora.ionactivity.report import ReportError

from enrtl_reports import NACL, NACL_NAMES

T = 318.15
PAIR = "H2O  Na+ Cl-   8.885 0 0 0   -4.549 0 0 0   0.2"
OPTS = ({"fixed_Y": True}, {"fixed_Y": False})


def species(w=None):
    text = NACL if w is None else NACL.replace(PAIR, PAIR + "  " + " ".join(map(str, w)))
    return ionactivity.species_from_report(text, NACL_NAMES, [])[0]


def brine(m):
    """Mole fractions of NaCl at m mol/kg in water."""
    nw = 1000.0 / 18.01528
    return np.array([nw, m, m]) / (nw + 2 * m)


def test_zero_term_gives_the_same_digits():
    plain, zeros = species(), species((0, 0, 0, 0))
    for m in (1e-6, 0.5, 6.0):
        for o in OPTS:
            assert np.array_equal(
                ionactivity.ln_gamma(plain, brine(m), T, o),
                ionactivity.ln_gamma(zeros, brine(m), T, o),
            )
            assert plain._core.gex(brine(m), T, o) == zeros._core.gex(brine(m), T, o)


@pytest.mark.parametrize("opts", OPTS)
def test_the_term_is_part_of_gex_and_keeps_gibbs_duhem(opts):
    sp, plain = species((3.0, -400.0, 5.0, 900.0)), species()
    x = brine(5.0)
    lg = ionactivity.ln_gamma(sp, x, T, opts)
    assert x @ lg == pytest.approx(sp._core.gex(x, T, opts), abs=1e-13)  # Euler
    h = 1e-6
    for i in range(3):  # d(N g)/dn_i by central differences
        up, dn = x.copy(), x.copy()
        up[i] += h
        dn[i] -= h
        fd = (sp._core.gex(up, T, opts) * up.sum() - sp._core.gex(dn, T, opts) * dn.sum()) / (2 * h)
        assert lg[i] == pytest.approx(fd, abs=1e-7)
    # Gibbs-Duhem at fixed T: sum x_i d ln gamma_i = 0 along a change of the molality
    d = brine(5.0 + 1e-4) - brine(5.0 - 1e-4)
    dlg = ionactivity.ln_gamma(sp, brine(5.0 + 1e-4), T, opts) - ionactivity.ln_gamma(
        sp, brine(5.0 - 1e-4), T, opts
    )
    assert abs(x @ dlg) < 1e-9 < np.abs(dlg).max() * 1e-3
    assert abs(d.sum()) < 1e-15
    # the term moves ln gamma at 5 mol/kg, not the ions' infinite-dilution reference
    assert abs(lg[1] - ionactivity.ln_gamma(plain, x, T, opts)[1]) > 0.01
    tiny = brine(1e-9)
    assert ionactivity.ln_gamma(sp, tiny, T, opts)[1:] == pytest.approx(
        ionactivity.ln_gamma(plain, tiny, T, opts)[1:], abs=1e-8
    )


def test_hand_gradient_and_dual_numbers_agree_on_the_term():
    sp = species((3.0, -400.0, 5.0, 900.0))
    for m in (0.1, 2.0, 6.0):
        a, b = (ionactivity.ln_gamma(sp, brine(m), T, o) for o in OPTS)
        assert a == pytest.approx(b, abs=1e-12)


def test_the_term_by_hand_for_pure_w1():
    # ln gamma_Na+ - its value without the term: d(W1 n_w n_c n_a / N^2)/dn_c at W1 = 2.5
    sp, plain = species((2.5, 0, 0, 0)), species()
    x = brine(3.0)
    nw, nc, na = x
    want = 2.5 * (nw * na - 2 * nw * nc * na)  # N = 1
    got = ionactivity.ln_gamma(sp, x, T)[1] - ionactivity.ln_gamma(plain, x, T)[1]
    assert got == pytest.approx(want, rel=1e-10)


def test_report_carries_the_term():
    with pytest.raises(
        ReportError, match=r"\[NRTL-ELECTROLYTE\] line 14: expected 9 or 13 numbers, got 10"
    ):
        ionactivity.species_from_report(NACL.replace(PAIR, PAIR + " 1"), NACL_NAMES, [])
    model, _ = ionactivity.report.read_report(NACL.replace(PAIR, PAIR + " 1 2 3 4"), NACL_NAMES, [])
    assert model["triples"][("H2O", "Na+", "Cl-")][9:] == [1.0, 2.0, 3.0, 4.0]


def test_engine_writes_the_term_of_a_databank_record(tmp_path):
    base = databank.active()
    rec = dict(
        base.electrolyte_record("H2O", "Na+", "Cl-"), W1_A=1.25, W1_B=0.0, W2_A=0.0, W2_B=-30.0
    )
    ov = tmp_path / "nacl_w.toml"
    lines = ["[[nrtl_electrolyte.pair]]"] + [
        f"{k} = {v!r}".replace("'", '"') for k, v in rec.items()
    ]
    ov.write_text("\n".join(lines) + "\n")
    db = databank.derive(base, [ov])
    assert db.electrolyte_w("H2O", "Na+", "Cl-") == (1.25, 0.0, 0.0, -30.0)
    assert base.electrolyte_w("H2O", "K+", "Cl-") == (0.0,) * 4
    with databank.using(db):
        chem = ionchem.builtin("NaCl-H2O")
        comps = ionchem.components("NaCl-H2O")
        text = engine.input_header({c: c for c in comps}, "eNRTL", chemistry=("NaCl-H2O", chem))
        report = engine.build_report(engine.parse_input(text + "\n" + engine.REQUEST + "\n"))
    line = next(ln for ln in report.splitlines() if ln.split()[:3] == ["H2O", "Na+", "Cl-"])
    assert line.split("#")[0].split()[-4:] == ["1.25", "0", "0", "-30"]
    # the pairs without the term keep their nine numbers
    other = next(ln for ln in report.splitlines() if ln.split()[:3] == ["H2O", "H3O+", "OH-"])
    assert len(other.split("#")[0].split()) == 12
