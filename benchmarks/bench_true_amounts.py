"""Throughput of the electrolyte liquid model on the MEA–CO2–water system.

Nine true species (H2O, MEA, CO2, MEAH+, MEACOO-, HCO3-, CO3--, H3O+, OH-), five equilibria with
the literature constants (Edwards et al. 1978; Austgen et al. 1989), CO2 a Henry component, and
the Margules activity-model double of tests/conftest.py in place of the eNRTL model, so that the
figures measure this module rather than the activity model.

Each section is a function registered in SECTIONS that returns (label, operations, seconds);
further sections (flashes, ...) are added the same way.
"""

import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import velmora.ionactivity  # noqa: E402
from conftest import ANTOINE_H2O, ANTOINE_MEA, HENRY_CO2_H2O, ActivityDouble, mea_system, model  # noqa: E402

SECTIONS = []


def section(fn):
    SECTIONS.append(fn)
    return fn


def mea_model():
    el = model(
        mea_system,
        antoine={"H2O": ANTOINE_H2O, "MEA": ANTOINE_MEA},
        henry={("CO2", "H2O"): HENRY_CO2_H2O},
        vc={"H2O": 55.95, "MEA": 225.0},
    )
    # The test double builds its NRTL matrices in a Python loop (~10 us); the species object of
    # velmora.ionactivity answers in ~1.5 us. Keep the last answer so the double costs as little.
    build, last = el.sp.molecule_tau, {}

    def molecule_tau(T):
        if last.get("T") != T:
            last["T"], last["tm"] = T, build(T)
        return last["tm"]

    el.sp.molecule_tau = molecule_tau
    return el


def feeds(count, seed=1):
    """30 wt% MEA loaded with 0.05–0.5 mol CO2/mol MEA, 300–390 K, as a flowsheet visits them."""
    rng = np.random.default_rng(seed)
    x_mea = 0.112  # 30 wt% MEA in water, mole fraction
    loading = rng.uniform(0.05, 0.5, count)
    T = rng.uniform(300.0, 390.0, count)
    return [({"H2O": 1.0 - x_mea, "MEA": x_mea, "CO2": a * x_mea}, t) for a, t in zip(loading, T)]


def warm_rate(el, count):
    """Successive calls on one model, each starting from the previous solution (within 30 K)."""
    work = feeds(count)
    el.true_amounts(*work[0])
    t0 = time.perf_counter()
    for n_app, T in work:
        el.true_amounts(n_app, T)
    return "speciations/s, warm start", len(work), time.perf_counter() - t0


@section
def speciation_warm():
    return warm_rate(mea_model(), 4000)


@section
def speciation_flash_like():
    """One feed at temperatures a few kelvin apart, as the iterations of a flash visit them."""
    el = mea_model()
    n_app = feeds(1)[0][0]
    temps = 340.0 + np.cumsum(np.random.default_rng(3).normal(0.0, 1.5, 4000))
    el.true_amounts(n_app, temps[0])
    t0 = time.perf_counter()
    for T in temps:
        el.true_amounts(n_app, T)
    return "speciations/s, flash-like sequence", len(temps), time.perf_counter() - t0


@section
def speciation_cold():
    """Every call from the apparent composition (no warm-start record)."""
    el = mea_model()
    work = feeds(600, seed=2)
    t0 = time.perf_counter()
    for n_app, T in work:
        el._warm = None
        el.true_amounts(n_app, T)
    return "speciations/s, cold start", len(work), time.perf_counter() - t0


def enrtl_warm():
    """The same chemistry with the eNRTL model and parameters of the built-in databank."""
    from engine_model import engine_model

    el, _ = engine_model(["H2O", "MEA", "CO2"], ["CO2"], "MEA-CO2-H2O")
    return warm_rate(el, 2000)


def main():
    double = ActivityDouble(record=False, cache=True)
    real = velmora.ionactivity.ln_gamma
    velmora.ionactivity.ln_gamma = double
    print("brinequil throughput (MEA-CO2-water, 9 true species, activity-model double)")
    for fn in SECTIONS:
        label, count, seconds = fn()
        print(f"  {label:<40s} {count / seconds:12.0f}   ({count} in {seconds:.3f} s)")
    velmora.ionactivity.ln_gamma = real
    try:
        label, count, seconds = enrtl_warm()
    except Exception as e:  # the databank or the engine is not available
        print(f"  (eNRTL from the databank skipped: {type(e).__name__}: {e})")
        return
    print("with the eNRTL model of velmora.ionactivity and the databank's parameters")
    print(f"  {label:<40s} {count / seconds:12.0f}   ({count} in {seconds:.3f} s)")


if __name__ == "__main__":
    main()
