"""Cost of one ln_gamma call for the nine-species MEA-CO2-water liquid (30 wt% MEA, loading 0.4,
parameters from the engine's report of the built-in chemistry)."""

import timeit

import numpy as np

from engine_model import engine_model
from velmora import ionactivity

_, sp = engine_model(["H2O", "MEA", "CO2"], ["CO2"], "MEA-CO2-H2O")

# A speciated-looking liquid: 30 wt% MEA at loading 0.4, mostly carbamate and protonated amine.
amounts = {
    "H2O": 38.86,
    "MEA": 1.96,
    "CO2": 0.05,
    "MEAH+": 1.96,
    "MEACOO-": 1.77,
    "HCO3-": 0.17,
    "CO3--": 0.01,
    "H3O+": 1e-9,
    "OH-": 1e-6,
}
x = np.array([amounts.get(s, 1e-12) for s in sp.names])
x /= x.sum()
T = 313.15
base = {"lc_ref": "water-ratio", "fixed_Y": True, "henry_ref": "solvent"}
cases = [
    ("ln_gamma, fixed_Y true ", lambda: ionactivity.ln_gamma(sp, x, T, base)),
    ("ln_gamma, fixed_Y false", lambda: ionactivity.ln_gamma(sp, x, T, {**base, "fixed_Y": False})),
    (
        "ln_gamma, new T each call",
        lambda: ionactivity.ln_gamma(sp, x, T + np.random.random(), base),
    ),
    ("molecule_tau", lambda: sp.molecule_tau(T)),
]
print(f"species: {', '.join(sp.names)}")
for label, f in cases:
    n = 20000
    best = min(timeit.repeat(f, number=n, repeat=5)) / n
    print(f"ionactivity {label}: {best * 1e6:7.2f} us per call")
