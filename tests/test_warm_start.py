"""Warm starts as data: the front door passes each call's warm start explicitly
(Electrolyte._session with a _WarmStart of its own), so that its answers do not depend on what
the model did before, and it neither reads nor writes the model's `_warm` and status."""

import numpy as np
import pytest

import velmora.brinequil as bq
from conftest import module_systems
from independent import digits
from velmora import paths

systems = module_systems("CO2-H2O", "NaCl-H2O")

T_LIQ, T_FLASH, P = 313.15, 330.0, 1e5
CO2_FEED = {"H2O": 0.9, "CO2": 0.1}


def calls(systems):
    """(name, call, T of its liquids) of front-door calls of every kind on the two systems."""
    co2, brine = systems["CO2-H2O"], systems["NaCl-H2O"]
    H = co2.flash(CO2_FEED, P, T=T_FLASH).H
    salty = brine.composition(molalities={"NaCl": 7.0})
    return [
        ("liquid", lambda: co2.liquid(T_LIQ, molalities={"CO2": 0.5}), T_LIQ),
        ("flash at T", lambda: co2.flash(CO2_FEED, P, T=T_FLASH), T_FLASH),
        ("flash at H", lambda: co2.flash(CO2_FEED, P, H=H), T_FLASH),
        ("flash at a vapor fraction", lambda: co2.flash(CO2_FEED, P, vapor_fraction=0.5), 360.0),
        ("bubble point", lambda: co2.flash(CO2_FEED, P, vapor_fraction=0.0), 300.0),
        ("liquid with solids", lambda: brine.liquid(298.15, salty, solids=True), 298.15),
        ("flash with solids", lambda: brine.flash(salty, P, T=373.15, solids=True), 373.15),
        (
            "evaporation path",
            lambda: paths.evaporate(
                brine, brine.composition(molalities={"NaCl": 5.5}), 298.15, removed=[0.0, 0.3]
            ),
            298.15,
        ),
    ]


def stale_record(el, app, T):
    """A warm-start record that the core's speciation at T would use: its own answer for the
    liquid app at T (as a leftover of an earlier call is)."""
    el._warm = None
    el.true_amounts(app, T)
    return el._warm


def test_a_front_door_answer_does_not_depend_on_the_calls_before_it(systems):
    """Each call alone, then again after every other call (in reverse order) with the model's
    warm start and status left by a core call on another liquid at the call's temperature: the
    same digits. The planted record moves the core's own answer (checked), so a call that
    started from it would show."""
    todo = calls(systems)
    first = {name: digits(call()) for name, call, _ in todo}
    for name, call, T in todo:
        for other, again, _ in reversed(todo):
            if other != name:
                again()
        for s in systems.values():
            el = s.model
            other = {c: (1.0 if c == "H2O" else 0.05) for c in s.components}
            record = stale_record(el, other, T)
            el._warm = None
            cold = el.true_amounts(s.composition(other), T)[0]
            el._warm = record
            warm = el.true_amounts(s.composition(other), T)[0]
            assert warm.tolist() != cold.tolist()  # the record is one the core would use
            el._warm = record
        assert digits(call()) == first[name], name


def test_front_door_calls_leave_the_model_s_warm_start_and_status_as_they_were(systems):
    """The model's `_warm` (a record the front door could not use: T far away) and its status
    (a core flash's) read before and after a call of every kind: the same objects and values;
    the front door reads neither."""
    for name, call, _ in calls(systems):
        for s in systems.values():
            el = s.model
            el._reset_status()
            z = np.full(len(s.components), 1.0 / len(s.components))
            el.flash_tp(s.pp, z, 350.0, 2e4)  # a split: its status and substitution error
            el._warm = (1e9, np.zeros(len(el.names)), np.zeros(len(el.names)))
        before = {n: (s.model._warm, s.model._status()) for n, s in systems.items()}
        call()
        for n, s in systems.items():
            record, status = before[n]
            assert s.model._warm is record, (name, n)
            assert s.model._status() == status, (name, n)


def test_a_session_runs_the_core_s_method_on_the_callers_record(systems):
    """Electrolyte._session: the core's method's digits from the record given (as with `_warm`
    set to it), the record left where that call left `_warm`, the status that call left in
    `_status`; the model's own record and status untouched, also where the call raises (the
    record then as the failed call left it)."""
    s = systems["CO2-H2O"]
    el = s.model
    app = s.composition(molalities={"CO2": 0.5})
    el._warm = None
    el._reset_status()
    want = el.fugacities(app, T_LIQ)
    want_status, want_record = el._status(), el._warm
    el._warm = marker = ("not a record",)
    el._reset_status()
    start = bq._WarmStart()
    (f, n, lng), status = el._session(start, "fugacities", app, T_LIQ)
    assert list(f.items()) == list(want[0].items())
    assert n.tolist() == want[1].tolist() and lng.tolist() == want[2].tolist()
    assert status == want_status and status["speciation_converged"] is True
    T, w, lng_w = start.record
    assert T == want_record[0] and w.tolist() == want_record[1].tolist()
    assert lng_w.tolist() == want_record[2].tolist()
    assert el._warm is marker and el._status()["speciation_iterations"] == 0
    # warm from the record: fewer iterations than cold; a copy is independent of its source
    copy = bq._WarmStart(start)
    again = el._session(copy, "true_amounts", app, T_LIQ)[1]
    assert 0 <= again["speciation_iterations"] < status["speciation_iterations"]
    start.reset()
    assert start.record is None and copy.record is not None
    # a record given as `_warm` takes it: read as the core reads it (here: too short)
    with pytest.raises(ValueError, match="not enough values to unpack"):
        el._session(bq._WarmStart((T_LIQ, w)), "true_amounts", app, T_LIQ)
    # a method that raises after its speciation: the record is the one it left
    real = type(el).true_amounts

    def fails_after(n_app, T, *args):
        real(el, n_app, T, *args)
        raise ArithmeticError("after the speciation")

    el.true_amounts = fails_after
    try:
        start = bq._WarmStart()
        with pytest.raises(ArithmeticError, match="after the speciation"):
            el._session(start, "true_amounts", app, T_LIQ)
    finally:
        del el.true_amounts
    assert start.record[0] == T_LIQ and start.record[1].tolist() == want_record[1].tolist()
    assert el._warm is marker and el._status()["speciation_iterations"] == 0
