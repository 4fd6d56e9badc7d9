"""Chemical equilibrium of the liquid (true amounts from apparent amounts)."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import velmora.ionactivity
from velmora.brinequil import Electrolyte
from conftest import (
    K_CO2,
    K_HCO3,
    K_WATER,
    R_WATER,
    carbonate_system,
    mea_system,
    model,
    raiser,
    salt_system,
)
from flash_systems import with_n2

DIVERGED = "^chemical equilibrium of the liquid diverged$"
MEA_FEED = {"H2O": 0.8, "MEA": 0.15, "CO2": 0.05}

# element and charge content of each species: C, H, N, O, Na, charge
FORMULA = {
    "H2O": (0, 2, 0, 1, 0, 0),
    "CO2": (1, 0, 0, 2, 0, 0),
    "H3O+": (0, 3, 0, 1, 0, 1),
    "OH-": (0, 1, 0, 1, 0, -1),
    "HCO3-": (1, 1, 0, 3, 0, -1),
    "CO3--": (1, 0, 0, 3, 0, -2),
    "MEA": (2, 7, 1, 1, 0, 0),
    "MEAH+": (2, 8, 1, 1, 0, 1),
    "MEACOO-": (3, 6, 1, 3, 0, -1),
    "NaHCO3": (1, 1, 0, 3, 1, 0),
    "Na+": (0, 0, 0, 0, 1, 1),
}


def apparent_vector(el, n_app):
    return np.array([n_app.get(s, 0.0) for s in el.names], float)


def assert_balanced(el, n, n_app, rtol=1e-12):
    """Elements and charge of n equal those of the apparent amounts, relative to their total."""
    formula = np.array([FORMULA[s] for s in el.names], float).T
    np.testing.assert_allclose(
        formula @ n,
        formula @ apparent_vector(el, n_app),
        rtol=0,
        atol=rtol * sum(abs(v) for v in n_app.values()),
    )


def eq_residual(el, n, lng, T):
    x = n / n.sum()
    ref = (
        el.henry_ref(T, x)
        if el.options.get("henry_ref") in ("solvent", "mixture")
        else el.henry_ref(T)
    )
    return el.nu @ (np.log(x) + lng - ref) - el.lnK(T)


@pytest.mark.parametrize("mode", ["water", "solvent", "mixture"])
def test_carbonate_with_henry_component(activity, mode):
    el = model(carbonate_system, options={"henry_ref": mode})
    n_app = {"H2O": 0.97, "CO2": 0.03}
    for T in (298.15, 353.15):
        n, lng = el.true_amounts(n_app, T)  # n <= 0 or not finite fails the log in the residual
        assert_balanced(el, n, n_app)
        # the returned lng is the activity model's at the final composition
        np.testing.assert_allclose(lng, activity(el.sp, n / n.sum(), T), rtol=0, atol=1e-14)
        # equilibria hold to tol, up to the last (settled) change of ln gamma
        assert np.max(np.abs(eq_residual(el, n, lng, T))) < 1e-9
        # physics: CO2 mostly molecular at this loading, bicarbonate its main ion, acidic liquid
        i = el.names.index
        assert n[i("CO2")] > n[i("HCO3-")] > n[i("CO3--")] and n[i("H3O+")] > n[i("OH-")]


def test_ideal_residuals_below_tol(ideal_activity):
    el = model(mea_system, options={"henry_ref": "water"})
    n_app = {"H2O": 0.85, "MEA": 0.1, "CO2": 0.05}
    n, lng = el.true_amounts(n_app, 313.15)
    assert np.all(lng == 0.0)
    assert np.max(np.abs(eq_residual(el, n, lng, 313.15))) < 1e-11 * 1.01
    assert_balanced(el, n, n_app)
    # CO2 loading 0.5: almost all CO2 carried as carbamate
    assert n[el.names.index("MEACOO-")] / 0.05 > 0.8


def test_salt_dissociates_completely(activity):
    el = model(salt_system)
    n_app = {"H2O": 1.0, "NaHCO3": 0.02}
    # the invariants converge to tol * total; ask for 1e-13 to check the balances at 1e-12
    n, lng = el.true_amounts(n_app, 298.15, tol=1e-13)
    i = el.names.index
    assert 0 < n[i("NaHCO3")] < 1e-9  # gone, ln n keeps it positive
    assert n[i("Na+")] == pytest.approx(0.02, rel=1e-12)
    assert_balanced(el, n, n_app)
    # without a CO2 equilibrium bicarbonate can only give up its proton: H3O+ = CO3-- + OH-
    assert n[i("H3O+")] == pytest.approx(n[i("CO3--")] + n[i("OH-")], rel=1e-9)
    assert n[i("HCO3-")] > 0.95 * 0.02


def test_dissociation_rules(ideal_activity):
    sp, reactions, kinds, k, _ = salt_system()
    sp.names[0] = "WATER"
    reactions = [{("WATER" if c == "H2O" else c): v for c, v in r.items()} for r in reactions]
    reactions[0]["WATER"] = -1  # water among the reactants does not limit
    el = Electrolyte(sp, reactions, kinds, k, ["WATER", "NaHCO3"])
    i = el.names.index
    # maxit=0 shows the start: after dissociation water is 0.01 - 0.03 < 0, the total 0.05 (that
    # negative water included), and non-positive amounts start at 1e-8 of the total
    n, _ = el.true_amounts({"WATER": 0.01, "NaHCO3": 0.03, "HCO3-": 0.01}, 298.15, maxit=0)
    start = [0.05e-8, 0.05e-8, 0.03, 0.04]
    np.testing.assert_allclose(
        n[[i("WATER"), i("NaHCO3"), i("Na+"), i("HCO3-")]], start, rtol=1e-14
    )
    # a second DISS reaction sees the first one's products: re-association limited by the Na+
    el.diss.append({"HCO3-": -1, "Na+": -1, "NaHCO3": 1})
    el._warm = None  # a cold start again
    n, _ = el.true_amounts({"WATER": 1.0, "NaHCO3": 0.05, "HCO3-": 0.01}, 298.15, maxit=0)
    np.testing.assert_allclose(n[[i("NaHCO3"), i("HCO3-")]], [0.05, 0.01], rtol=1e-12)
    for bad, message in (
        ({"WATER": -1, "Na+": 1}, "min"),
        ({"NaCl": -1, "Na+": 1}, "'NaCl' is not in list"),
    ):
        el.diss[0] = bad  # water as the only reactant fails like min() of nothing
        with pytest.raises(ValueError, match=message):
            el.true_amounts({"WATER": 1.0}, 298.15)


def test_warm_start_record(activity):
    el = model(mea_system)
    n, lng = el.true_amounts(MEA_FEED, 313.15)
    Tw, w, lngw = el._warm
    assert Tw == 313.15
    np.testing.assert_allclose(w, n / 1.0, rtol=1e-14)
    np.testing.assert_array_equal(lngw, lng)
    # same T, twice the amounts: starts from the solution; twice n, the same ln gamma, fewer calls
    calls = len(activity.calls)
    n2, g2 = el.true_amounts({c: 2 * v for c, v in MEA_FEED.items()}, 313.15)
    assert len(activity.calls) - calls < calls
    np.testing.assert_allclose(n2, 2 * n, rtol=1e-8, atol=1e-14)
    np.testing.assert_allclose(g2, lng, rtol=0, atol=1e-9)

    # maxit=0 shows the start: warm within 30 K (rescaled, floored at 1e-14 of the total) ...
    w, lngw = np.linspace(0.0, 1.0, 9), np.full(9, 0.25)
    w[3] = 1e-20
    cold = apparent_vector(el, MEA_FEED)
    cold[cold == 0] = 1e-8
    for dT, rec in (
        (29.99, (300.0, w, lngw)),
        (-29.99, (300.0, w, lngw)),
        (30.0, (300.0, w, lngw)),
        (-30.0, (300.0, w, lngw)),
        (0.0, (300.0, w[:8], lngw[:8])),
        (0.0, (300.0, "abc", None)),
        (0.0, None),
    ):
        el._warm = rec
        activity.calls.clear()
        n, lng = el.true_amounts(MEA_FEED, 300.0 + dT, maxit=0)
        warm = abs(dT) < 30 and rec is not None and len(rec[1]) == 9
        np.testing.assert_allclose(n, np.maximum(w, 1e-14) if warm else cold, rtol=1e-14)
        # ln gamma from the record (warm) or 0: it changes once, then no more
        assert len(activity.calls) == 2
        np.testing.assert_allclose(activity.calls[0][0], activity.calls[1][0], rtol=1e-15)
        np.testing.assert_allclose(lng, activity(el.sp, n / n.sum(), 300.0 + dT))
        np.testing.assert_array_equal(lngw, 0.25)  # the record's vectors are never modified


@pytest.mark.parametrize(
    "mode, per_iteration",
    [("water", False), ("solvent", True), ("mixture", True), ("other", False)],
)
@pytest.mark.parametrize("subclass", [True, False])
def test_reference_term_calls(ideal_activity, mode, per_iteration, subclass):
    sp, reactions, kinds, k, apparent = carbonate_system()
    seen = []

    class Counting(Electrolyte):
        def henry_ref(self, T, x=None, lng=None):
            seen.append(x is None)
            return super().henry_ref(T, x, lng)

    el = (Counting if subclass else Electrolyte)(
        sp, reactions, kinds, k, apparent, options={"henry_ref": mode}
    )
    el.true_amounts({"H2O": 1.0, "CO2": 0.02}, 298.15, maxit=3)  # 3 iterations do not converge
    expected = [True] + [False] * 3 if per_iteration else [True]
    assert seen == (expected if subclass else [])
    # the species object's NRTL matrices once per reference evaluation
    assert len(sp.tau_calls) == len(expected)
    # one activity call per outer pass (ideal: one pass), plus the references of mode "mixture"
    assert len(ideal_activity.calls) == 1 + (mode == "mixture") * 4


@settings(
    max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(
    # amounts: zero or at least 1e-6 of the scale (subnormal totals lose the invariants to
    # underflow)
    water=st.one_of(st.just(0.0), st.floats(1e-6, 10.0)),
    mea=st.one_of(st.just(0.0), st.floats(1e-6, 3.0)),
    co2=st.one_of(st.just(0.0), st.floats(1e-6, 3.0)),
    T=st.floats(273.15, 420.0),
    scale=st.sampled_from([1e-6, 1.0, 1e4]),
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
    assert np.all(np.isfinite(n)) and np.all(np.isfinite(lng)) and np.all(n > 0)
    assert_balanced(el, n, n_app, rtol=1e-10)


def numpy_newton(el, n, b, tot, T, steps):
    """`steps` Newton iterations of the speciation at ln gamma = 0 with numpy.linalg.lstsq."""
    u, s = np.log(n), el.nu.sum(axis=1)
    for _ in range(steps):
        x = np.exp(u) / np.exp(u).sum()
        f_eq = el.nu @ (np.log(x) - el.henry_ref(T, x)) - el.lnK(T)
        F = np.concatenate([f_eq, (el.B @ np.exp(u) - b) / tot])
        J = np.vstack([el.nu - np.outer(s, x), el.B * np.exp(u) / tot])
        du = np.linalg.lstsq(J, -F, rcond=None)[0]
        u = u + min(1.0, 2.0 / np.max(np.abs(du))) * du
    return np.exp(u)


# the carbonate reactions as they are, with the second entered twice, and with the sum of the
# last two added: square and rank-deficient Newton systems
SUMMED = (
    {"CO2": -1, "H2O": -3, "H3O+": 2, "CO3--": 1},
    {key: K_CO2[key] + K_HCO3[key] for key in "ABCD"},
)


@pytest.mark.parametrize("extra", ["none", "duplicate", "sum"])
def test_newton_steps_are_minimum_norm_least_squares(ideal_activity, extra):
    sp, reactions, kinds, k, apparent = with_n2(carbonate_system)()  # N2 takes part in no reaction
    apparent = apparent[:2]
    more = {"none": [], "duplicate": [(reactions[1], k[1])], "sum": [SUMMED]}[extra]
    el = Electrolyte(
        sp,
        reactions + [r for r, _ in more],
        kinds + ["EQUIL"] * len(more),
        k + [kk for _, kk in more],
        apparent,
    )
    assert el.B.shape == (4, 7)
    n_app, T = {"H2O": 0.95, "CO2": 0.05}, 320.0
    n, _ = el.true_amounts(n_app, T)
    np.testing.assert_allclose(n[:6], model(carbonate_system).true_amounts(n_app, T)[0], rtol=1e-8)
    assert 0.0 < n[-1] < 1e-9  # N2: no apparent amount, no reaction: rounding noise, never 0
    # restart from the solution with N2 removed from the record (floored at 1e-14): the first step
    # takes N2 to 1e-14/e; below the cut-off eps * max(rows, cols) * s_max its column then counts as
    # zero, so the minimum-norm step leaves it there. tol 1e-17 lets every iteration run.
    w = n / n.sum()
    w[-1] = 0.0
    start, b = np.maximum(w, 1e-14), el.B @ apparent_vector(el, n_app)
    for steps in (1, 3):
        el._warm = (T, w, np.zeros(7))
        got, _ = el.true_amounts(n_app, T, tol=1e-17, maxit=steps)
        np.testing.assert_allclose(got, numpy_newton(el, start, b, 1.0, T, steps), rtol=1e-9)
        assert got[-1] == pytest.approx(1e-14 / math.e, rel=1e-9)


class ModelFailure(Exception):
    pass


FEED = {"H2O": 1.0, "CO2": 0.01}


@pytest.mark.parametrize(
    "n_app, T, damage, ln_gamma, error, match",
    [
        ({"H2O": 0.0, "CO2": 0.0}, 313.15, None, None, ValueError, DIVERGED),
        ({}, 313.15, None, None, ValueError, DIVERGED),
        ({"H2O": 1.0, "NH3": 0.1}, 313.15, None, None, ValueError, "'NH3' is not in list"),
        (None, 313.15, None, None, AttributeError, None),
        (FEED, 0.0, None, None, ZeroDivisionError, None),
        (FEED, -10.0, None, None, ValueError, "^math domain error$"),
        (
            FEED,
            313.15,
            None,
            raiser(ModelFailure("activity model failed")),
            ModelFailure,
            "^activity model failed$",
        ),
        # damaged models and callbacks: Python errors, never a crash
        (FEED, 313.15, lambda el: setattr(el, "K", el.K[:1]), None, ValueError, None),
        (
            FEED,
            313.15,
            lambda el: setattr(el.sp, "molecule_tau", lambda T: (np.zeros(6),) * 2),
            None,
            ValueError,
            None,
        ),
        (FEED, 313.15, lambda el: setattr(el.sp, "henry", [99]), None, IndexError, None),
        (
            FEED,
            313.15,
            None,
            lambda *a: np.ones(3),
            ValueError,
            None,
        ),  # ln gamma of the wrong length
        (FEED, 313.15, None, lambda *a: "abc", TypeError, None),  # ... or no numbers at all
        (FEED, 313.15, None, lambda *a: np.full(6, np.nan), ValueError, DIVERGED),  # ... or NaN
    ],
)
def test_failures_raise_python_errors_and_leave_the_record(
    activity, n_app, T, damage, ln_gamma, error, match
):
    el = model(carbonate_system)
    el.true_amounts(FEED, 313.15)
    rec = el._warm
    if damage:
        damage(el)
    if ln_gamma:
        velmora.ionactivity.ln_gamma = ln_gamma  # the activity fixture restores it
    with pytest.raises(error, match=match):
        el.true_amounts(n_app, T)
    assert el._warm is rec


def test_water_ionisation_with_a_minimal_species_object_and_a_subclass_lnK(ideal_activity):
    class Minimal:  # no solvents, molecules, water index or NRTL matrices
        names, n, henry = ["H2O", "H3O+", "OH-"], 3, []

    class Shifted(Electrolyte):
        def lnK(self, T):
            return super().lnK(T) + math.log(100.0)

    args = ([R_WATER], ["EQUIL"], [K_WATER], ["H2O"])
    el = Electrolyte(Minimal(), *args)
    n, _ = el.true_amounts({"H2O": 1.0}, 298.15)
    assert n[1] == pytest.approx(n[2], rel=1e-12)
    assert n[1] / n.sum() == pytest.approx(math.exp(0.5 * el.lnK(298.15)[0]), rel=1e-9)
    n2, _ = Shifted(Minimal(), *args).true_amounts({"H2O": 1.0}, 298.15)
    assert n2[1] / n[1] == pytest.approx(10.0, rel=1e-6)  # Kx 100 times larger: x_H3O+ ten times
