"""The compiled path to the package's own activity model: the same digits as the Python calls,
replacements still called, threads, and the status record of the latest operations."""

import sys
import threading

import numpy as np
import pytest

import velmora.ionactivity
from velmora import brinequil, enginebridge, ionactivity, ionchem, phasekit

COMPS = ["H2O", "MEA", "CO2", "N2"]
HENRY = ["CO2", "N2"]
FEED = {"H2O": 0.80, "MEA": 0.10, "CO2": 0.04}
Z = np.array([0.80, 0.10, 0.04, 0.06])
P = 101325.0


def in_threads(target, args):
    """Run target(*a) for each a of args, each in its own thread, and wait for them all."""
    threads = [threading.Thread(target=target, args=a) for a in args]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def cold_answers(el, temps, answer):
    """{T: answer(T)} for each T, each from a cold start: the serial references of the threads."""
    ref = {}
    for T in temps:
        el._warm = None
        ref[T] = answer(T)
    return ref


def mea_model(options=None, n2=True, gases=()):
    """MEA-CO2-water with N2 (or without), and with further gases that no reaction takes, from
    the engine's report of the built-in chemistry (the package's own species object and activity
    model), and its property package."""
    comps, henry = (COMPS, HENRY) if n2 else (COMPS[:-1], HENRY[:-1])
    comps, henry = comps + list(gases), henry + list(gases)
    chem = dict(ionchem.builtin("MEA-CO2-H2O"))
    chem["species"] = list(chem["species"]) + ["N2"] * n2 + list(gases)
    head = enginebridge.input_header(
        {c: c for c in comps}, "eNRTL", henry=henry, chemistry=("MEA-CO2-H2O", chem)
    )
    report, _ = enginebridge.run_input(head + "\nPARAMETER-REPORT ALL\n", runid="elec")
    names = comps + [s for s in chem["species"] if s not in comps]
    sp, data = ionactivity.species_from_report(report, names, henry)
    el = brinequil.Electrolyte(
        sp,
        chem["reactions"],
        chem["kinds"],
        chem["k"],
        comps,
        data["antoine"],
        data["henry"],
        data["vc"],
        options,
    )
    el.pure = data["pure"]
    return el, enginebridge.property_package(comps, henry_comps=henry)


@pytest.fixture(scope="module")
def mea():
    return mea_model()


def python_path(monkeypatch, sp):
    """Force the Python calls: a pass-through ln_gamma and a pass-through molecule_tau on the
    instance (neither is the package's own function any more). Returns the call counts."""
    calls = {"ln_gamma": 0, "molecule_tau": 0}
    real_lg, real_tau = velmora.ionactivity.ln_gamma, sp.molecule_tau

    def ln_gamma(*args):
        calls["ln_gamma"] += 1
        return real_lg(*args)

    def molecule_tau(T):
        calls["molecule_tau"] += 1
        return real_tau(T)

    monkeypatch.setattr(velmora.ionactivity, "ln_gamma", ln_gamma)
    monkeypatch.setattr(sp, "molecule_tau", molecule_tau, raising=False)
    return calls


@pytest.mark.parametrize("henry_ref", ["solvent", "mixture", "water"])
def test_native_and_python_paths_give_the_same_digits(monkeypatch, henry_ref):
    el, pp = mea_model({"henry_ref": henry_ref})
    native = el.true_amounts(FEED, 333.15)  # a new model starts cold
    el._warm = None
    flash = el.flash_tp(pp, Z, 353.15, P)
    n = np.array(list(flash["true"].values()))
    h = brinequil.liquid_enthalpy(el, pp, n, 353.15)
    el._warm = None
    calls = python_path(monkeypatch, el.sp)
    python = el.true_amounts(FEED, 333.15)
    np.testing.assert_array_equal(python[0], native[0])
    np.testing.assert_array_equal(python[1], native[1])
    el._warm = None
    again = el.flash_tp(pp, Z, 353.15, P)
    assert again["beta"] == flash["beta"] and again["H"] == flash["H"]
    assert brinequil.liquid_enthalpy(el, pp, n, 353.15) == h
    # the replacements were the ones called (the species object is asked in every mode)
    assert calls["ln_gamma"] > 0 and calls["molecule_tau"] > 0


def test_a_replacement_found_at_call_time_is_called(monkeypatch, mea):
    el, _ = mea
    el.true_amounts(FEED, 333.15)
    seen = []
    real = velmora.ionactivity.ln_gamma
    monkeypatch.setattr(
        velmora.ionactivity,
        "ln_gamma",
        lambda sp, x, T, options=None: seen.append(T) or real(sp, x, T, options),
    )
    el.true_amounts(FEED, 334.15)
    assert seen and set(seen) == {334.15}
    monkeypatch.undo()
    seen.clear()
    el.true_amounts(FEED, 335.15)  # the package's own function again: no Python call
    assert seen == []


def test_a_species_at_zero_amount_leaves_the_others_as_without_it():
    # N2 in the model but not in the liquid takes part in no reaction: the other species and their
    # ln gamma are those of the model without N2 (to its mole fraction, below 1e-11), cold and
    # along a warm-started sweep; N2 stays a positive trace, converged like the rest.
    (el, _), (bare, _) = mea_model(), mea_model(n2=False)
    n2 = list(el.names).index("N2")
    rest = [i for i in range(len(el.names)) if i != n2]
    assert [el.names[i] for i in rest] == list(bare.names)
    temps = 340.0 + np.cumsum(np.random.default_rng(3).normal(0.0, 1.5, 40))
    for k, T in enumerate(temps):
        if k % 20 == 0:
            el._warm = bare._warm = None
        n, lng = el.true_amounts(FEED, T)
        n_bare, lng_bare = bare.true_amounts(FEED, T)
        assert el._status()["speciation_converged"] is True
        np.testing.assert_allclose(n[rest], n_bare, rtol=1e-10, atol=1e-13, err_msg=f"T = {T}")
        np.testing.assert_allclose(lng[rest], lng_bare, rtol=0.0, atol=1e-10, err_msg=f"T = {T}")
        assert 0.0 < n[n2] < 1e-11 * n.sum() and np.isfinite(lng[n2])
    # with an amount N2 is an ordinary species again, its balance kept; with H2S (in no
    # reaction of this chemistry) in the model but not in the liquid, the rest is as without H2S
    both, _ = mea_model(gases=["H2S"])
    h2s = list(both.names).index("H2S")
    for m in (el, both):
        m._warm = None
    n = el.true_amounts({**FEED, "N2": 0.01}, 340.0)[0]
    assert n[n2] == pytest.approx(0.01, rel=1e-12) and el._status()["speciation_converged"] is True
    n_both = both.true_amounts({**FEED, "N2": 0.01}, 340.0)[0]
    assert list(both.names)[h2s + 1 :] == list(el.names)[h2s:]
    np.testing.assert_allclose(np.delete(n_both, h2s), n, rtol=1e-10, atol=1e-13)
    assert 0.0 < n_both[h2s] < 1e-11 * n_both.sum()


@pytest.mark.parametrize("replaced", ["rachford_rice", "fugacities and phi_vapor"])
def test_flash_pieces_in_cpp_match_the_python_calls(monkeypatch, mea, replaced):
    # The flash takes Rachford-Rice and the ideal gas's ln phi = 0 in C++ and reads the model's
    # tables once; a pass-through of the package's Rachford-Rice, or of fugacities on the
    # instance and of phi_vapor, takes the Python calls instead, with the same digits.
    el, pp = mea
    el._warm = None
    native = el.flash_tp(pp, Z, 353.15, P)
    K_native = el.kvalues(pp, Z, Z, 353.15, P)[0]
    calls = []
    if replaced == "rachford_rice":
        real_rr = phasekit._k_rachford_rice
        monkeypatch.setattr(
            phasekit, "_k_rachford_rice", lambda z, K: calls.append(1) or real_rr(z, K)
        )
    else:
        real_phi = phasekit.phi_vapor
        monkeypatch.setattr(phasekit, "phi_vapor", lambda *a: calls.append(1) or real_phi(*a))
        monkeypatch.setattr(
            el,
            "fugacities",
            lambda n_app, T: brinequil.Electrolyte.fugacities(el, n_app, T),
            raising=False,
        )
    el._warm = None
    python = el.flash_tp(pp, Z, 353.15, P)
    for key in ("beta", "H", "S", "iterations"):
        assert python[key] == native[key], key
    np.testing.assert_array_equal(python["x"], native["x"])
    np.testing.assert_array_equal(python["y"], native["y"])
    assert calls
    if replaced != "rachford_rice":
        # one vapor-model call per K-value evaluation (the feed's and 15 steps) and per
        # residual of the split (its evaluations and the final one at the solution)
        assert native["iterations"] > 15 and len(calls) == native["iterations"] + 2
        np.testing.assert_array_equal(el.kvalues(pp, Z, Z, 353.15, P)[0], K_native)


def package_of_every_form(el):
    """A package whose enthalpy and entropy take every branch of phasekit's: the Aly-Lee and the
    polynomial Cp, CO2 on three solvents (one not a component, one without Vc, one with the 1/T^2
    term), N2 a Henry component without a pair (its fixed dhref instead)."""
    return phasekit.PropertyPackage(
        COMPS,
        cpig_kind=["aly-lee", "poly", "poly", "aly-lee"],
        cpig=[
            [33363.0, 26790.0, 2610.5, 8896.0, 1169.0],
            [9311.0, 300.9, -0.1818, 4.656e-05],
            [19800.0, 73.44, -0.05602, 1.715e-05],
            [29105.0, 8614.9, 1701.6, 103.47, 909.79],
        ],
        DHFORM=[-241.826e6, -201.6e6, -393.51e6, 0.0],
        henry_comps=HENRY,
        antoine=dict(el.antoine),
        vc={"H2O": 0.05595, "MDEA": 0.4},
        henry={
            ("CO2", "H2O"): (159.2, -8477.7, -21.957, 0.00578),
            ("CO2", "MEA"): (90.0, -4200.0, -11.0, 0.0, -1.5e5),
            ("CO2", "MDEA"): (95.0, -4500.0, -12.0, 0.0),
        },
        dhref={"N2": -1.2e6},
    )


@pytest.mark.parametrize("T", [330.0, 353.15, 600.0])  # two phases, and all vapor
def test_package_enthalpy_and_entropy_in_cpp_match_phasekit(monkeypatch, mea, T):
    # The flash evaluates the package's own functions in C++; a pass-through helper on phasekit
    # (no longer the package's own) makes it call the Python functions, with the same digits.
    el, _ = mea
    pp = package_of_every_form(el)
    el._warm = None
    python_calls = []  # Python-level calls into phasekit while the C++ runs
    sys.setprofile(
        lambda frame, event, arg: (
            event == "call"
            and frame.f_code.co_filename == phasekit.__file__
            and python_calls.append(1)
        )
    )
    try:
        native = el.flash_tp(pp, Z, T, P)
        n = np.array(list(native["true"].values()))
        h_native = brinequil.liquid_enthalpy(el, pp, n, T, P, el.pure)
    finally:
        sys.setprofile(None)
    assert python_calls == []
    calls = []
    real = phasekit._ig_terms
    monkeypatch.setattr(phasekit, "_ig_terms", lambda *a: calls.append(1) or real(*a))
    el._warm = None
    python = el.flash_tp(pp, Z, T, P)
    assert calls
    for key in ("beta", "H", "S"):
        assert python[key] == pytest.approx(native[key], rel=1e-14, abs=1e-9), key
    assert brinequil.liquid_enthalpy(el, pp, n, T, P, el.pure) == pytest.approx(h_native, rel=1e-14)


def test_activity_model_errors_are_the_same_on_both_paths(monkeypatch):
    el, _ = mea_model({"lc_ref": "bogus"})
    with pytest.raises(ValueError) as native:
        el.true_amounts(FEED, 333.15)
    python_path(monkeypatch, el.sp)
    with pytest.raises(ValueError) as python:
        el.true_amounts(FEED, 333.15)
    assert str(native.value) == str(python.value)
    assert str(native.value).startswith("option \"lc_ref\" has the unknown value 'bogus'")


def sweep(el, temps, out):
    for T in temps:
        out.append(el.true_amounts(FEED, T)[0])


def test_threads_with_their_own_models_match_the_serial_answers():
    # each thread its own model: speciations and flashes, the serial answers to the last digit
    (el, pp), (el2, _) = mea_model(), mea_model()
    temps = np.linspace(313.15, 393.15, 13)

    def run(m, out):
        for T in temps:
            out.append((m.true_amounts(FEED, T)[0].tolist(), m.flash_tp(pp, Z, T, P)["beta"]))

    serial = []
    run(el, serial)
    el._warm = None
    outs = [[], []]
    in_threads(run, [(m, o) for m, o in zip((el, el2), outs)])
    assert outs[0] == serial and outs[1] == serial


def test_one_model_shared_by_threads_gives_valid_answers(mea):
    # Shared model: each call starts from whatever warm-start record is there, so iteration
    # counts (and last digits) depend on the order of calls; every answer is a converged one.
    el, _ = mea
    temps = np.linspace(313.15, 373.15, 40)
    ref = cold_answers(el, temps, lambda T: el.true_amounts(FEED, T)[0])
    outs = [[], []]
    in_threads(sweep, [(el, temps[k::2].tolist() * 3, outs[k]) for k in range(2)])
    for k in range(2):
        for T, n in zip(temps[k::2].tolist() * 3, outs[k]):
            np.testing.assert_allclose(
                n, ref[T], rtol=1e-8, atol=1e-12 * n.sum(), err_msg=f"T = {T}"
            )


def test_status_reports_the_latest_operations(mea):
    el, pp = mea
    el._reset_status()
    assert el._status() == {
        "speciation_converged": False,
        "speciation_iterations": 0,
        "split_status": None,
        "substitution_err": None,
    }
    el.true_amounts(FEED, 333.15, maxit=0)
    assert el._status()["speciation_converged"] is False
    assert el._status()["speciation_iterations"] == 0
    el._warm = None
    el.true_amounts(FEED, 333.15)
    st = el._status()
    assert st["speciation_converged"] is True and st["speciation_iterations"] > 0
    # substitution, then the Newton split: MINPACK's info, 1 (steps below xtol) or 4/5 (no
    # progress: the speciation's rounding keeps the steps above xtol), which of them hangs on
    # that rounding (about a third of random splits end at 5)
    el.flash_tp(pp, Z, 353.15, P)
    st = el._status()
    assert st["split_status"] in (1, 4, 5) and st["substitution_err"] > 1e-9
    el._reset_status()
    assert el._status()["split_status"] is None and el._status()["substitution_err"] is None


def test_warm_record_reads_sets_and_deletes_like_an_attribute():
    # The record lives in C++ between speciations; Python sees a plain attribute.
    el, pp = mea_model()
    assert not hasattr(el, "_warm")
    with pytest.raises(AttributeError, match="object has no attribute '_warm'"):
        del el._warm
    n, lng = el.true_amounts(FEED, 333.15)
    rec = el._warm
    assert rec is el._warm and rec[0] == 333.15
    np.testing.assert_array_equal(rec[1], n / sum(FEED.values()))
    np.testing.assert_array_equal(rec[2], lng)
    # a warm start from the record Python read: the same answer in fewer iterations
    cold_its = el._status()["speciation_iterations"]
    again = el.true_amounts(FEED, 333.15)
    np.testing.assert_allclose(again[0], n, rtol=1e-9, atol=1e-12)  # N2: rounding noise
    assert el._status()["speciation_iterations"] < cold_its and el._warm is not rec
    # a flash without the GIL leaves its last speciation's record, at the flash's T
    flash = el.flash_tp(pp, Z, 353.15, P)
    assert el._warm[0] == 353.15 and 0.0 < flash["beta"] < 1.0
    marker = (1.0, "abc", None)
    el._warm = marker
    assert el._warm is marker
    el._warm = None
    assert el._warm is None
    el.true_amounts(FEED, 333.15)
    assert el._status()["speciation_iterations"] == cold_its  # None: a cold start
    del el._warm
    assert not hasattr(el, "_warm") and "_warm" not in vars(el)


def test_one_model_shared_by_threads_in_flashes_without_the_gil(mea):
    # Two threads flash one model at once: the record is shared under the model's lock, so every
    # flash converges to the serial answer; only iteration counts and last digits may differ.
    el, pp = mea
    temps = np.linspace(313.15, 393.15, 9)
    ref = cold_answers(el, temps, lambda T: el.flash_tp(pp, Z, T, P))
    outs = [[], []]

    def run(ts, out):
        out.extend((T, el.flash_tp(pp, Z, T, P)) for T in ts)

    in_threads(run, [(temps[k::2].tolist() * 4, outs[k]) for k in range(2)])
    assert sum(map(len, outs)) == 4 * len(temps)
    for T, r in outs[0] + outs[1]:
        assert r["beta"] == pytest.approx(ref[T]["beta"], abs=1e-9), T
        # mole fractions to the split's noise floor, set by speciations converged to 1e-11 of
        # the total: the trace N2 (x ~ 5e-5) varies with the warm start by ~1e-7 of itself
        np.testing.assert_allclose(r["x"], ref[T]["x"], rtol=1e-8, atol=1e-10, err_msg=f"T = {T}")
    assert len(el._warm) == 3 and el._warm[0] in set(temps.tolist())
