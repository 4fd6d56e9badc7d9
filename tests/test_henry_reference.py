"""Molecular local-composition term, Henry references and the mixed Henry constant."""

import math

import numpy as np
import pytest

from velmora.brinequil import Electrolyte
from conftest import HENRY_CO2_H2O, K_WATER, R_WATER, Species, water_system

T = 313.15
# H2O, MEA, CO2, N2, H3O+, OH-, MeOH: plenty of CO2 and ions, so every mode sees another liquid
LIQUID = (0.5, 0.15, 0.1, 0.02, 0.03, 0.03, 0.17)


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
    tau = {
        ("H2O", "MEA"): -1.0,
        ("MEA", "H2O"): 0.5,
        ("H2O", "CO2"): 3.0,
        ("CO2", "H2O"): -0.5,
        ("MEA", "CO2"): 1.2,
        ("CO2", "MEA"): 0.3,
        ("H2O", "N2"): 4.0,
        ("N2", "H2O"): 1.0,
        ("MeOH", "CO2"): 0.8,
        ("CO2", "MeOH"): 0.1,
        ("H2O", "MeOH"): 0.4,
        ("MeOH", "H2O"): -0.2,
        ("MEA", "N2"): 2.0,
        ("MeOH", "N2"): 1.5,
        ("MEA", "MeOH"): 0.7,
    }
    sp = Species(
        names, {"H3O+": 1, "OH-": -1}, henry=("CO2", "N2"), solvents=["H2O", "MEA", "MeOH"], tau=tau
    )
    return Electrolyte(
        sp,
        [R_WATER],
        ["EQUIL"],
        [K_WATER],
        ["H2O", "MEA", "CO2", "N2", "MeOH"],
        henry=henry,
        vc=vc,
        options=options,
    )


def test_lc_molecular_matches_closed_form_and_ignores_ions():
    el = three_solvent_model()
    sp = el.sp
    tm = sp.molecule_tau(T)
    for x in np.random.default_rng(7).uniform(0.01, 1.0, (5, sp.n)):
        got = el._lc_molecular(x, T, tm)
        want = closed_form(x / x[sp.mol].sum(), tm[0], tm[1], sp.mol)
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-13)
        assert got[4] == 0.0 and got[5] == 0.0  # ions
        np.testing.assert_allclose(el._lc_molecular(37.0 * x, T, tm), got, rtol=1e-12, atol=1e-14)
    assert np.all(
        el._lc_molecular(np.ones(sp.n), T, (np.zeros((sp.n, sp.n)), tm[1])) == 0.0
    )  # tau = 0


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
        assert el.henry_ref(T, np.array([0.9, 0.05, 0.05])).tolist() == [0.0] * 3
        assert el.sp.tau_calls == []
    assert ideal_activity.calls == []


@pytest.mark.parametrize("mode", ["water", "solvent", "mixture", "bogus", None])
def test_henry_ref_modes(activity, mode):
    el = three_solvent_model(options={"henry_ref": mode})
    if mode is None:
        del el.options["henry_ref"]  # absent means "water"; changes of the mapping are seen
    sp, x = el.sp, np.array(LIQUID) * 1e-6  # amounts, not fractions
    x[1] = 0.0  # MEA absent: stays exactly 0 in the solvent reference, not 1e-12
    tm = sp.molecule_tau(T)
    water_ref = np.full(sp.n, 1e-12)
    water_ref[sp.water] = 1.0
    solvent_ref = np.full(sp.n, 1e-12)
    solvent_ref[sp.solv] = x[sp.solv]
    if mode == "mixture":  # the NRTL matrices are asked for, but the activity model is used
        sp.molecule_tau = lambda T: sp.tau_calls.append(T)
    refs = {"water": water_ref, "solvent": solvent_ref, "mixture": x, "bogus": x, None: water_ref}

    # without x: the water reference in every mode
    for given, comp in ((None, water_ref), (x, refs[mode])):
        activity.calls.clear()
        sp.tau_calls.clear()
        out = el.henry_ref(T, given) if given is not None else el.henry_ref(T)
        assert len(sp.tau_calls) == 1  # once per call, in every mode
        assert out[[0, 1, 4, 5, 6]].tolist() == [0.0] * 5
        wanted = []
        for i in sp.henry:
            ref = comp.copy()
            ref[i] = 1e-9
            wanted.append(ref / ref.sum())
        if mode == "mixture":  # the full activity model, once per Henry component
            calls = activity.calls[:]
            assert len(calls) == 2 and all(Tc == T and opts is el.options for _, Tc, opts in calls)
            for (xc, _, _), xn, i in zip(calls, wanted, sp.henry):
                np.testing.assert_allclose(xc, xn, rtol=1e-14, atol=0)
                assert out[i] == pytest.approx(activity(sp, xn, T)[i], rel=1e-13)
        else:
            assert activity.calls == []
            for xn, i in zip(wanted, sp.henry):
                assert out[i] == pytest.approx(el._lc_molecular(xn, T, tm)[i], rel=1e-12)
    np.testing.assert_array_equal(x[2:], np.array(LIQUID[2:]) * 1e-6)  # x itself untouched


def test_ln_h_mix_weights_the_solvents():
    coef5 = (150.0, -8000.0, -20.0, 0.01, 2.0e5)
    henry = {
        ("CO2", "H2O"): HENRY_CO2_H2O,
        ("N2", "H2O"): (227.6721, -9159.3, -31.37668, 0.0157317),
        ("CO2", "MEA"): coef5,
    }
    el = three_solvent_model(henry=henry, vc={"H2O": 55.95})  # MEA missing: weighted with 0.1
    x, tm = np.array(LIQUID), el.sp.molecule_tau(T)

    def lnH(p):
        v = p[0] + p[1] / T + p[2] * math.log(T) + p[3] * T
        return v + p[4] / T**2 if len(p) > 4 else v

    def ginf(solvent, solute):
        xa = np.full(el.sp.n, 1e-12)
        xa[el.names.index(solvent)], xa[el.names.index(solute)] = 1.0, 1e-9
        return el._lc_molecular(xa, T, tm)[el.names.index(solute)]

    w_w, w_m = x[0] * 55.95 ** (2 / 3), x[1] * 0.1 ** (2 / 3)
    want = (
        w_w * (lnH(HENRY_CO2_H2O) - ginf("H2O", "CO2")) + w_m * (lnH(coef5) - ginf("MEA", "CO2"))
    ) / (w_w + w_m)
    assert el.ln_h_mix("CO2", x, T) == pytest.approx(want, rel=1e-13)
    # N2 has water only: weights cancel; gamma_inf is always taken in the pure solvent
    el.options["henry_ref"] = "mixture"
    assert el.ln_h_mix("N2", x, T) == pytest.approx(
        lnH(henry[("N2", "H2O")]) - ginf("H2O", "N2"), rel=1e-13
    )
    henry[("N2", "H2O")] = (1.0, 0.0, 0.0, 0.0)  # the table is the caller's: a change is seen
    assert el.ln_h_mix("N2", x, T) == pytest.approx(1.0 - ginf("H2O", "N2"), rel=1e-13)


def test_ln_h_mix_failures_and_callback_errors():
    henry = {("CO2", "H2O"): HENRY_CO2_H2O}
    el = three_solvent_model(henry=henry)
    x, x0 = np.array(LIQUID), np.array((0.0,) + LIQUID[1:])
    assert math.isnan(el.ln_h_mix("CO2", x0, T))  # pairs exist, their solvents absent
    for args, error, match in (
        (("N2", x, T), ZeroDivisionError, None),  # no Henry pair
        (("CO2", x, 0.0), ZeroDivisionError, None),
        (("CO2", x, -1.0), ValueError, "^math domain error$"),
    ):
        with pytest.raises(error, match=match):
            el.ln_h_mix(*args)
    henry[("CO2", "Hexane")] = HENRY_CO2_H2O
    with pytest.raises(ValueError, match="'Hexane' is not in list"):
        el.ln_h_mix("CO2", x, T)

    class TauFailure(Exception):
        pass

    def broken(T):
        raise TauFailure("no tau at %g" % T)

    el.sp.molecule_tau = broken
    for call in (lambda: el.henry_ref(T), lambda: el.ln_h_mix("CO2", x, T)):
        with pytest.raises(TauFailure, match="no tau at 313.15"):
            call()
