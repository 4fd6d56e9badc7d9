"""Chemical equilibrium of the liquid (true amounts from apparent amounts)."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import velmora.ionactivity
from velmora.brinequil import Electrolyte
from conftest import (ActivityDouble, HENRY_CO2_H2O, K_WATER, carbonate_system, mea_system, model,
                      salt_system, water_system)

DIVERGED = "^chemical equilibrium of the liquid diverged$"

# element and charge content of each species: C, H, N, O, Na, charge
FORMULA = {
    "H2O": (0, 2, 0, 1, 0, 0), "CO2": (1, 0, 0, 2, 0, 0), "H3O+": (0, 3, 0, 1, 0, 1),
    "OH-": (0, 1, 0, 1, 0, -1), "HCO3-": (1, 1, 0, 3, 0, -1), "CO3--": (1, 0, 0, 3, 0, -2),
    "MEA": (2, 7, 1, 1, 0, 0), "MEAH+": (2, 8, 1, 1, 0, 1), "MEACOO-": (3, 6, 1, 3, 0, -1),
    "NaHCO3": (1, 1, 0, 3, 1, 0), "Na+": (0, 0, 0, 0, 1, 1), "N2": (0, 0, 2, 0, 0, 0),
}


def balances(el, n):
    return np.array([FORMULA[s] for s in el.names], float).T @ n


def apparent_vector(el, n_app):
    n0 = np.zeros(el.sp.n)
    for c, v in n_app.items():
        n0[el.names.index(c)] += v
    return n0


def eq_residual(el, n, lng, T):
    x = n / n.sum()
    ref = el.henry_ref(T, x) if el.options.get("henry_ref") in ("solvent", "mixture") else el.henry_ref(T)
    return el.nu @ (np.log(x) + lng - ref) - el.lnK(T)


def assert_balanced(el, n, n_app, rtol=1e-12):
    before, after = balances(el, apparent_vector(el, n_app)), balances(el, n)
    scale = sum(abs(v) for v in n_app.values())
    np.testing.assert_allclose(after, before, rtol=0, atol=rtol * scale)


@pytest.mark.parametrize("mode", ["water", "solvent", "mixture"])
def test_carbonate_with_henry_component(activity, mode):
    el = model(carbonate_system, options={"henry_ref": mode})
    n_app = {"H2O": 0.97, "CO2": 0.03}
    for T in (298.15, 353.15):
        n, lng = el.true_amounts(n_app, T)
        assert np.all(np.isfinite(n)) and np.all(n > 0)
        assert_balanced(el, n, n_app)
        # the returned lng is the activity model's at the final composition
        np.testing.assert_allclose(lng, activity(el.sp, n / n.sum(), T), rtol=0, atol=1e-14)
        # equilibria hold to tol, up to the last (settled) change of ln gamma
        assert np.max(np.abs(eq_residual(el, n, lng, T))) < 1e-9
        # physics: CO2 mostly molecular at this loading, bicarbonate its main ion, acidic liquid
        i = el.names.index
        assert n[i("CO2")] > n[i("HCO3-")] > n[i("CO3--")]
        assert n[i("H3O+")] > n[i("OH-")]


def test_ideal_residuals_below_tol(ideal_activity):
    el = model(mea_system, options={"henry_ref": "water"})
    n_app = {"H2O": 0.85, "MEA": 0.1, "CO2": 0.05}
    n, lng = el.true_amounts(n_app, 313.15)
    assert np.all(lng == 0.0)
    assert np.max(np.abs(eq_residual(el, n, lng, 313.15))) < 1e-11 * 1.01
    assert np.max(np.abs(el.B @ n - el.B @ apparent_vector(el, n_app))) < 1e-11
    assert_balanced(el, n, n_app)
    # CO2 loading 0.5: almost all CO2 carried as carbamate, half the amine protonated
    i = el.names.index
    assert n[i("MEACOO-")] / 0.05 > 0.8
    cations = n[i("MEAH+")] + n[i("H3O+")]
    assert cations == pytest.approx(n[i("MEACOO-")] + n[i("HCO3-")] + 2 * n[i("CO3--")] + n[i("OH-")], rel=1e-11)


def test_salt_dissociates_completely(activity):
    el = model(salt_system)
    n_app = {"H2O": 1.0, "NaHCO3": 0.02}
    # the invariants converge to tol * total; ask for 1e-13 to check the balances at 1e-12
    n, lng = el.true_amounts(n_app, 298.15, tol=1e-13)
    i = el.names.index
    tot = sum(n_app.values())
    assert 0 < n[i("NaHCO3")] < 1e-9 * tot  # gone, ln n keeps it positive
    assert n[i("Na+")] == pytest.approx(0.02, rel=1e-12)
    assert_balanced(el, n, n_app)
    assert abs(np.dot(el.sp.z, n)) < 1e-12 * tot
    # without a CO2 equilibrium bicarbonate can only give up its proton: H3O+ = CO3-- + OH-
    assert n[i("H3O+")] == pytest.approx(n[i("CO3--")] + n[i("OH-")], rel=1e-9)
    assert n[i("HCO3-")] > 0.95 * 0.02


def test_dissociation_rules(ideal_activity):
    sp, reactions, kinds, k, apparent = salt_system()
    # water among the reactants does not limit; it decreases by its coefficient times the extent
    sp.names.append("Na2CO3")
    sp.n += 1
    sp.z = np.append(sp.z, 0.0)
    sp.ion.append(False)
    reactions = [{"NaHCO3": -1, "WATER": -1, "Na+": 1, "HCO3-": 1}, reactions[1], reactions[2],
                 {"Na2CO3": -1, "Na+": 2, "CO3--": 1}]
    sp.names[0] = "WATER"
    el = Electrolyte(sp, reactions, ["DISS", "EQUIL", "EQUIL", "DISS"], [None, K_WATER, k[2], None],
                     ["WATER", "NaHCO3", "Na2CO3"])
    n, _ = el.true_amounts({"WATER": 0.01, "NaHCO3": 0.03, "Na2CO3": 0.01}, 298.15, maxit=0)
    # maxit=0 shows the start: the amounts after both dissociations, where water went to
    # 0.01 - 0.03 < 0; the total is then 0.07, and non-positive amounts start at 1e-8 of it
    i = el.names.index
    np.testing.assert_allclose(
        n[[i("WATER"), i("NaHCO3"), i("Na2CO3"), i("Na+"), i("HCO3-"), i("CO3--")]],
        [0.07e-8, 0.07e-8, 0.07e-8, 0.05, 0.03, 0.01], rtol=1e-14)
    # a model whose DISS reaction has water as its only reactant fails like min() of nothing
    el.diss[0] = {"WATER": -1, "Na+": 1}
    with pytest.raises(ValueError, match="min"):
        el.true_amounts({"WATER": 1.0}, 298.15)
    el.diss[0] = {"NaCl": -1, "Na+": 1}
    with pytest.raises(ValueError, match="'NaCl' is not in list"):
        el.true_amounts({"WATER": 1.0}, 298.15)


def test_dissociations_chain_and_limit(ideal_activity):
    sp, reactions, kinds, k, apparent = salt_system()
    el = Electrolyte(sp, reactions, kinds, k, apparent)
    # two DISS reactions sharing a product: the second sees the first's products
    el.diss.append({"HCO3-": -1, "Na+": -1, "NaHCO3": 1})  # re-association, limited by 0.05 Na+
    n, _ = el.true_amounts({"H2O": 1.0, "NaHCO3": 0.05, "HCO3-": 0.01}, 298.15, maxit=0)
    i = el.names.index
    assert n[i("NaHCO3")] == pytest.approx(0.05, rel=1e-14)
    assert n[i("HCO3-")] == pytest.approx(0.01, rel=1e-12)


def test_homogeneous_of_degree_one(activity):
    n_app = {"H2O": 0.85, "MEA": 0.1, "CO2": 0.04}
    n1, g1 = model(mea_system).true_amounts(n_app, 330.0)
    n2, g2 = model(mea_system).true_amounts({c: 2 * v for c, v in n_app.items()}, 330.0)
    np.testing.assert_allclose(n2, 2 * n1, rtol=1e-8, atol=1e-14)
    np.testing.assert_allclose(g2, g1, rtol=0, atol=1e-9)


def test_maxit_zero_returns_the_start(activity):
    el = model(mea_system)
    n_app = {"H2O": 0.8, "MEA": 0.15, "CO2": 0.05}
    n, lng = el.true_amounts(n_app, 313.15, maxit=0)
    start = apparent_vector(el, n_app)
    start[start <= 0] = 1.0 * 1e-8
    np.testing.assert_allclose(n, start, rtol=1e-14)
    assert len(activity.calls) == 2  # ln gamma changes once, then no more
    np.testing.assert_allclose(lng, activity(el.sp, start / start.sum(), 313.15))


def test_warm_start_record(activity):
    el = model(mea_system)
    n_app = {"H2O": 0.8, "MEA": 0.15, "CO2": 0.05}
    assert not hasattr(el, "_warm")
    n, lng = el.true_amounts(n_app, 313.15)
    Tw, w, lngw = el._warm
    assert Tw == 313.15
    np.testing.assert_allclose(w, n / 1.0, rtol=1e-14)
    np.testing.assert_array_equal(lngw, lng)

    # same T and composition: starts from the solution, same answer, fewer activity calls
    calls = len(activity.calls)
    n2, lng2 = el.true_amounts({c: 3 * v for c, v in n_app.items()}, 313.15)
    assert len(activity.calls) - calls < calls
    np.testing.assert_allclose(n2, 3 * n, rtol=1e-8, atol=1e-14)

    # maxit=0 shows the start: warm within 30 K (rescaled, floored at 1e-14 of the total) ...
    w = np.linspace(0.0, 1.0, 9)
    w[3] = 1e-20
    lngw = np.full(9, 0.25)
    for dT, warm in ((29.99, True), (-29.99, True), (30.0, False), (-30.0, False)):
        el._warm = (300.0, w, lngw)
        n, _ = el.true_amounts(n_app, 300.0 + dT, maxit=0)
        if warm:
            np.testing.assert_allclose(n, np.maximum(w * 1.0, 1e-14), rtol=1e-14)
            assert np.array_equal(activity.calls[-2][0], activity.calls[-1][0])
        else:
            np.testing.assert_allclose(n[:3], [0.8, 0.15, 0.05], rtol=1e-14)
        np.testing.assert_array_equal(lngw, 0.25)  # the record's vectors are never modified
    # ... a record of the wrong length, whatever it holds, or None, is ignored
    for rec in ((300.0, w[:8], lngw[:8]), (300.0, "abc", None), None):
        el._warm = rec
        n, _ = el.true_amounts(n_app, 300.0, maxit=0)
        np.testing.assert_allclose(n[:3], [0.8, 0.15, 0.05], rtol=1e-14)
        assert n[5] == pytest.approx(1e-8)


def test_failures_leave_the_record(activity):
    el = model(mea_system)
    el.true_amounts({"H2O": 1.0, "MEA": 0.1}, 313.15)
    rec = el._warm
    for bad in ({"H2O": 0.0, "MEA": 0.0}, {}):
        with pytest.raises(ValueError, match=DIVERGED):
            el.true_amounts(bad, 313.15)
        assert el._warm is rec
    with pytest.raises(ValueError, match="'NH3' is not in list"):
        el.true_amounts({"H2O": 1.0, "NH3": 0.1}, 313.15)
    with pytest.raises(AttributeError):
        el.true_amounts(None, 313.15)
    with pytest.raises(ZeroDivisionError):
        el.true_amounts({"H2O": 1.0}, 0.0)
    with pytest.raises(ValueError, match="^math domain error$"):
        el.true_amounts({"H2O": 1.0}, -10.0)
    assert el._warm is rec

    class ModelFailure(Exception):
        pass

    def broken(sp, x, T, options=None):
        raise ModelFailure("activity model failed")

    velmora.ionactivity.ln_gamma = broken  # the activity fixture restores it
    with pytest.raises(ModelFailure, match="activity model failed"):
        el.true_amounts({"H2O": 1.0, "MEA": 0.1}, 313.15)
    assert el._warm is rec


def test_trace_species_stay_at_rounding_level(ideal_activity):
    sp, reactions, kinds, k, apparent = carbonate_system()
    sp.names.append("N2")
    sp.n += 1
    sp.z = np.append(sp.z, 0.0)
    el = Electrolyte(sp, reactions, kinds, k, apparent)
    n, _ = el.true_amounts({"H2O": 1.0, "CO2": 0.01}, 298.15)
    assert 0.0 < n[-1] < 1e-9


@pytest.mark.parametrize("mode, per_iteration", [("water", False), ("solvent", True), ("mixture", True), ("other", False)])
@pytest.mark.parametrize("subclass", [True, False])
def test_reference_term_calls(ideal_activity, mode, per_iteration, subclass):
    sp, reactions, kinds, k, apparent = carbonate_system()
    seen = []

    class Counting(Electrolyte):
        def henry_ref(self, T, x=None, lng=None):
            seen.append(x is None)
            return super().henry_ref(T, x, lng)

    cls = Counting if subclass else Electrolyte
    el = cls(sp, reactions, kinds, k, apparent, options={"henry_ref": mode})
    el.true_amounts({"H2O": 1.0, "CO2": 0.02}, 298.15, maxit=3)  # 3 iterations do not converge
    expected = [True] + [False] * 3 if per_iteration else [True]
    if subclass:
        assert seen == expected
    # the species object's NRTL matrices once per reference evaluation
    assert len(sp.tau_calls) == len(expected)
    # one activity call per outer pass (ideal: one pass), plus the references of mode "mixture"
    assert len(ideal_activity.calls) == 1 + (mode == "mixture") * 4


def test_subclass_lnK_is_used(ideal_activity):
    class Shifted(Electrolyte):
        def lnK(self, T):
            return super().lnK(T) + math.log(100.0)

    plain, shifted = model(water_system), Shifted(*water_system())
    n1, _ = plain.true_amounts({"H2O": 1.0}, 298.15)
    n2, _ = shifted.true_amounts({"H2O": 1.0}, 298.15)
    assert n2[1] / n1[1] == pytest.approx(10.0, rel=1e-6)  # Kx 100 times larger: x_H3O+ ten times


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    # amounts: zero or at least 1e-6 of the scale (subnormal totals lose the invariants to underflow)
    water=st.one_of(st.just(0.0), st.floats(1e-6, 10.0)), mea=st.one_of(st.just(0.0), st.floats(1e-6, 3.0)),
    co2=st.one_of(st.just(0.0), st.floats(1e-6, 3.0)),
    T=st.floats(273.15, 420.0), scale=st.sampled_from([1e-6, 1.0, 1e4]),
    mode=st.sampled_from(["water", "solvent", "mixture"]),
)
def test_random_compositions_balance_or_fail_cleanly(activity, water, mea, co2, T, scale, mode):
    el = model(mea_system, options={"henry_ref": mode})
    n_app = {"H2O": water * scale, "MEA": mea * scale, "CO2": co2 * scale}
    try:
        n, lng = el.true_amounts(n_app, T)
    except ValueError as e:
        assert str(e) == "chemical equilibrium of the liquid diverged"
        return
    assert np.all(np.isfinite(n)) and np.all(np.isfinite(lng))
    tot = sum(n_app.values())
    before = balances(el, apparent_vector(el, n_app))
    np.testing.assert_allclose(balances(el, n), before, rtol=0, atol=1e-10 * tot)
    assert np.all(n > 0)


def test_dependent_reactions_give_the_same_equilibrium(activity):
    # the carbonate system with its second reaction entered twice, and with a third one that is
    # the sum of two others: rank-deficient nu, least-squares Newton steps
    sp, reactions, kinds, k, apparent = carbonate_system()
    summed = {"CO2": -1, "H2O": -3, "H3O+": 2, "CO3--": 1}
    k_sum = {key: K_CO2_PLUS_HCO3[key] for key in "ABCD"}
    el = Electrolyte(sp, reactions + [reactions[1], summed], kinds + ["EQUIL"] * 2, k + [k[1], k_sum], apparent)
    assert el.nu.shape == (5, 6) and el.B.shape == (3, 6)
    n_app = {"H2O": 0.95, "CO2": 0.05}
    n_dep, _ = el.true_amounts(n_app, 320.0)
    n_ref, _ = model(carbonate_system).true_amounts(n_app, 320.0)
    np.testing.assert_allclose(n_dep, n_ref, rtol=1e-8)


K_CO2_PLUS_HCO3 = {"A": 231.465 + 216.049, "B": -12092.1 - 12431.7, "C": -36.7816 - 35.4819, "D": 0.0}


def _break_K(el):
    el.K = el.K[:1]


def _break_tau(el):
    el.sp.molecule_tau = lambda T: (np.zeros(6), np.zeros(6))


def _break_henry_index(el):
    el.sp.henry = [99]


@pytest.mark.parametrize(
    "damage, lng_result, error",
    [
        (_break_K, None, ValueError),
        (_break_tau, None, ValueError),
        (_break_henry_index, None, IndexError),
        (None, np.ones(3), ValueError),  # activity model returns the wrong length
        (None, "abc", TypeError),  # ... or no numbers at all
        (None, np.full(6, np.nan), ValueError),  # ... or NaN: the residual is not finite
    ],
)
def test_damaged_inputs_raise_python_errors(monkeypatch, damage, lng_result, error):
    el = model(carbonate_system)
    if damage:
        damage(el)
    double = ActivityDouble()
    monkeypatch.setattr(velmora.ionactivity, "ln_gamma",
                        (lambda sp, x, T, o=None: lng_result) if lng_result is not None else double)
    with pytest.raises(error):
        el.true_amounts({"H2O": 1.0, "CO2": 0.01}, 313.15)


def test_species_object_needs_only_what_is_used(ideal_activity):
    class Minimal:  # no solvents, molecules, water index or NRTL matrices
        names = ["H2O", "H3O+", "OH-"]
        n = 3
        henry = []

    el = Electrolyte(Minimal(), [{"H2O": -2, "H3O+": 1, "OH-": 1}], ["EQUIL"], [K_WATER], ["H2O"])
    n, _ = el.true_amounts({"H2O": 1.0}, 298.15)
    assert n[1] == pytest.approx(n[2], rel=1e-12)
    assert n[1] / n.sum() == pytest.approx(math.exp(0.5 * el.lnK(298.15)[0]), rel=1e-9)
