"""Cost of one ln_gamma call for the nine-species MEA-CO2-water liquid."""

import pathlib
import sys
import timeit

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from enrtl_reports import MEA, MEA_NAMES, mea_liquid  # noqa: E402

from velmora import ionactivity  # noqa: E402

sp, _ = ionactivity.species_from_report(MEA, MEA_NAMES, ["CO2"])
x = np.array(mea_liquid(0.4))
T = 313.15
base = {"lc_ref": "water-ratio", "fixed_Y": True, "henry_ref": "solvent"}
cases = [
    ("ln_gamma, fixed_Y true ", lambda: ionactivity.ln_gamma(sp, x, T, base)),
    ("ln_gamma, fixed_Y false", lambda: ionactivity.ln_gamma(sp, x, T, {**base, "fixed_Y": False})),
    ("ln_gamma, new T each call", lambda: ionactivity.ln_gamma(sp, x, T + np.random.random(), base)),
    ("molecule_tau", lambda: sp.molecule_tau(T)),
]
for label, f in cases:
    n = 20000
    best = min(timeit.repeat(f, number=n, repeat=5)) / n
    print(f"ionactivity {label}: {best * 1e6:7.2f} us per call")
