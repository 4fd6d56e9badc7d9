"""Molecular local-composition term, Henry references and the mixed Henry constant."""

import math

import numpy as np
import pytest

from velmora.brinequil import Electrolyte
from conftest import HENRY_CO2_H2O, K_CO2, K_WATER, Species, water_system

T = 313.15


def closed_form(x, tau, alpha, mol):
    """NRTL ln gamma of the molecules over `mol` (textbook form)."""
    G = np.exp(-alpha * tau)
    out = np.zeros(len(x))
    for i in mol:
        s = sum(x[j] * G[j, i] * tau[j, i] for j in mol) / sum(x[j] * G[j, i] for j in mol)
        for m in mol:
            d = sum(x[j] * G[j, m] for j in mol)
            s += x[m] * G[i, m] / d * (tau[i, m] - sum(x[j] * G[j, m] * tau[j, m] for j in mol) / d)
        out[i] = s
    return out


def three_solvent_model(options=None, henry=None, vc=None):
    """Water, MEA, methanol as solvents; CO2 and N2 Henry components; two ions."""
    names = ["H2O", "MEA", "CO2", "N2", "H3O+", "OH-", "MeOH"]
    tau = {("H2O", "MEA"): -1.0, ("MEA", "H2O"): 0.5, ("H2O", "CO2"): 3.0, ("CO2", "H2O"): -0.5,
           ("MEA", "CO2"): 1.2, ("CO2", "MEA"): 0.3, ("H2O", "N2"): 4.0, ("N2", "H2O"): 1.0,
           ("MeOH", "CO2"): 0.8, ("CO2", "MeOH"): 0.1, ("H2O", "MeOH"): 0.4, ("MeOH", "H2O"): -0.2,
           ("MEA", "N2"): 2.0, ("MeOH", "N2"): 1.5, ("MEA", "MeOH"): 0.7}
    sp = Species(names, {"H3O+": 1, "OH-": -1}, henry=("CO2", "N2"), solvents=["H2O", "MEA", "MeOH"], tau=tau)
    reactions = [{"H2O": -2, "H3O+": 1, "OH-": 1}]
    return Electrolyte(sp, reactions, ["EQUIL"], [K_WATER], ["H2O", "MEA", "CO2", "N2", "MeOH"],
                       henry=henry, vc=vc, options=options)


def test_lc_molecular_matches_closed_form_and_ignores_ions():
    el = three_solvent_model()
    sp = el.sp
    tm = sp.molecule_tau(T)
    rng = np.random.default_rng(7)
    for _ in range(5):
        x = rng.uniform(0.01, 1.0, sp.n)
        got = el._lc_molecular(x, T, tm)
        ref = closed_form(x / x[sp.mol].sum(), tm[0], tm[1], sp.mol)
        np.testing.assert_allclose(got, ref, rtol=1e-12, atol=1e-13)
        assert got[4] == 0.0 and got[5] == 0.0  # ions
        np.testing.assert_allclose(el._lc_molecular(37.0 * x, T, tm), got, rtol=1e-12, atol=1e-14)
    # tau = 0 everywhere: ideal
    zero = (np.zeros((sp.n, sp.n)), tm[1])
    assert np.all(el._lc_molecular(np.ones(sp.n), T, zero) == 0.0)


@pytest.mark.parametrize("solute, solvent", [("CO2", "H2O"), ("N2", "MEA"), ("CO2", "MeOH")])
def test_lc_molecular_infinite_dilution_limit(solute, solvent):
    el = three_solvent_model()
    tau, alpha = el.sp.molecule_tau(T)
    i, a = el.names.index(solute), el.names.index(solvent)
    x = np.full(el.sp.n, 1e-12)
    x[a], x[i] = 1.0, 1e-9
    limit = tau[a, i] + tau[i, a] * math.exp(-alpha[i, a] * tau[i, a])
    assert el._lc_molecular(x, T, (tau, alpha))[i] == pytest.approx(limit, abs=1e-7)


def test_henry_ref_without_henry_components_never_asks_for_tau(ideal_activity):
    for mode in ("water", "solvent", "mixture"):
        el = Electrolyte(*water_system(), options={"henry_ref": mode})
        out = el.henry_ref(T, np.array([0.9, 0.05, 0.05]))
        assert out.shape == (3,) and np.all(out == 0.0)
        assert el.sp.tau_calls == []
    assert ideal_activity.calls == []


def liquid():
    # H2O, MEA, CO2, N2, H3O+, OH-, MeOH: plenty of CO2 and ions, so every mode sees another liquid
    return np.array([0.5, 0.15, 0.1, 0.02, 0.03, 0.03, 0.17])


def expected_lc(el, comp, i):
    comp = comp.copy()
    comp[i] = 1e-9
    comp = comp / comp.sum()
    return el._lc_molecular(comp, T, el.sp.molecule_tau(T))[i], comp


@pytest.mark.parametrize("mode", ["water", "solvent", "mixture", "bogus"])
def test_henry_ref_modes(activity, mode):
    el = three_solvent_model(options={"henry_ref": mode})
    sp, x = el.sp, liquid()
    water_ref = np.full(sp.n, 1e-12)
    water_ref[sp.water] = 1.0
    solvent_ref = np.full(sp.n, 1e-12)
    solvent_ref[sp.solv] = x[sp.solv]
    comp_of = {"water": water_ref, "solvent": solvent_ref, "mixture": x, "bogus": x}
    if mode == "mixture":  # the NRTL matrices are asked for, but the activity model is used
        sp.molecule_tau = lambda T: sp.tau_calls.append(T)

    for given, comp in ((None, water_ref), (x, comp_of[mode])):
        activity.calls.clear()
        sp.tau_calls.clear()
        out = el.henry_ref(T, given) if given is not None else el.henry_ref(T)
        assert len(sp.tau_calls) == 1  # once per call, in every mode
        assert out[[0, 1, 4, 5, 6]].tolist() == [0.0] * 5
        for i in sp.henry:
            if mode == "mixture":
                wanted = comp.copy()
                wanted[i] = 1e-9
                wanted /= wanted.sum()
                assert out[i] == pytest.approx(activity(sp, wanted, T)[i], rel=1e-13)
            else:
                value, _ = expected_lc(el, comp, i)
                assert out[i] == pytest.approx(value, rel=1e-12)
        if mode == "mixture":
            # the full activity model once per Henry component, at the reference composition
            assert len(activity.calls) == 2 * 2  # two asked by henry_ref, two by this test
            for (xc, Tc, opts), i in zip(activity.calls[:2], sp.henry):
                wanted = comp.copy()
                wanted[i] = 1e-9
                np.testing.assert_allclose(xc, wanted / wanted.sum(), rtol=1e-14, atol=0)
                assert Tc == T and opts is el.options
        else:
            assert activity.calls == []
    np.testing.assert_array_equal(x, liquid())  # x itself untouched


def test_henry_ref_modes_differ_where_they_should(activity):
    x = liquid()
    vals = {m: three_solvent_model(options={"henry_ref": m}).henry_ref(T, x) for m in
            ("water", "solvent", "mixture", "bogus")}
    co2 = 2
    assert len({round(v[co2], 9) for v in vals.values()}) == 4
    # the option absent means "water"
    el = three_solvent_model()
    del el.options["henry_ref"]
    assert el.henry_ref(T, x)[co2] == vals["water"][co2]
    # changes of the caller to the option mapping are seen
    el.options["henry_ref"] = "solvent"
    assert el.henry_ref(T, x)[co2] == vals["solvent"][co2]


def test_ln_h_mix_weights_the_solvents():
    coef5 = (150.0, -8000.0, -20.0, 0.01, 2.0e5)
    henry = {("CO2", "H2O"): HENRY_CO2_H2O, ("N2", "H2O"): (227.6721, -9159.3, -31.37668, 0.0157317),
             ("CO2", "MEA"): coef5}
    vc = {"H2O": 55.95}  # MEA missing: weighted with 0.1
    el = three_solvent_model(henry=henry, vc=vc)
    sp, x = el.sp, liquid()
    tm = sp.molecule_tau(T)

    def lnH(p):
        v = p[0] + p[1] / T + p[2] * math.log(T) + p[3] * T
        return v + p[4] / T**2 if len(p) > 4 else v

    def ginf(solvent, solute):
        xa = np.full(sp.n, 1e-12)
        xa[el.names.index(solvent)] = 1.0
        xa[el.names.index(solute)] = 1e-9
        return el._lc_molecular(xa, T, tm)[el.names.index(solute)]

    w_w, w_m = x[0] * 55.95 ** (2 / 3), x[1] * 0.1 ** (2 / 3)
    want = (w_w * (lnH(HENRY_CO2_H2O) - ginf("H2O", "CO2")) + w_m * (lnH(coef5) - ginf("MEA", "CO2"))) / (w_w + w_m)
    assert el.ln_h_mix("CO2", x, T) == pytest.approx(want, rel=1e-13)
    # N2 has water only: weights cancel; gamma_inf is always taken in the pure solvent
    want_n2 = lnH(henry[("N2", "H2O")]) - ginf("H2O", "N2")
    assert el.ln_h_mix("N2", x, T) == pytest.approx(want_n2, rel=1e-13)
    el.options["henry_ref"] = "mixture"
    assert el.ln_h_mix("N2", x, T) == pytest.approx(want_n2, rel=1e-13)
    # the table is the caller's: a change is seen at the next call
    henry[("N2", "H2O")] = (1.0, 0.0, 0.0, 0.0)
    assert el.ln_h_mix("N2", x, T) == pytest.approx(1.0 - ginf("H2O", "N2"), rel=1e-13)


def test_ln_h_mix_failures():
    henry = {("CO2", "H2O"): HENRY_CO2_H2O}
    el = three_solvent_model(henry=henry)
    x = liquid()
    with pytest.raises(ZeroDivisionError):
        el.ln_h_mix("N2", x, T)  # no Henry pair
    x0 = x.copy()
    x0[0] = 0.0
    assert math.isnan(el.ln_h_mix("CO2", x0, T))  # pairs exist, their solvents absent
    with pytest.raises(ZeroDivisionError):
        el.ln_h_mix("CO2", x, 0.0)
    with pytest.raises(ValueError, match="^math domain error$"):
        el.ln_h_mix("CO2", x, -1.0)
    henry[("CO2", "Hexane")] = HENRY_CO2_H2O
    with pytest.raises(ValueError, match="'Hexane' is not in list"):
        el.ln_h_mix("CO2", x, T)


def test_callback_errors_pass_through():
    class TauFailure(Exception):
        pass

    el = three_solvent_model(henry={("CO2", "H2O"): HENRY_CO2_H2O})

    def broken(T):
        raise TauFailure("no tau at %g" % T)

    el.sp.molecule_tau = broken
    with pytest.raises(TauFailure, match="no tau at 313.15"):
        el.henry_ref(T)
    with pytest.raises(TauFailure):
        el.ln_h_mix("CO2", liquid(), T)
