"""What the benchmarks of the engine's routes against the front door's loops in Python share
(bench_bubble.py, bench_split.py, bench_tp_split.py, bench_dew.py, bench_vapor.py): quiet
warnings, the count of calls where the engine stepped aside, the printed medians and ratio, and
the wet gases and clocked calls of bench_dew.py and bench_vapor.py."""

import time
import warnings

import numpy as np

import velmora
from velmora import flashes

P = 101325.0  # Pa


def wet_gases(n):
    """(chemistry, vapor, P): n of each of five chemistries at 1 atm and at 3 bar, the gas's
    share spread over a range."""
    out = []
    for k in range(n):
        u = k / max(n - 1, 1)
        for p in (P, 3e5):
            out.append(("CO2-H2O", {"H2O": 1.0, "CO2": 0.002 + 0.03 * u}, p))
            out.append(("H2S-H2O", {"H2O": 1.0, "H2S": 0.005 + 0.1 * u}, p))
            out.append(("NH3-CO2-H2O", {"H2O": 0.9, "NH3": 0.02 + 0.04 * u, "CO2": 0.05}, p))
            out.append(("MEA-CO2-H2O", {"H2O": 0.88, "MEA": 0.1, "CO2": 0.01 + 0.05 * u}, p))
            out.append(("MDEA-H2S-H2O", {"H2O": 0.9, "MDEA": 0.08, "H2S": 0.005 + 0.03 * u}, p))
    return out


def timed(f):
    """(CPU seconds of the thread, value) of f()."""
    t0 = time.thread_time()
    v = f()
    return time.thread_time() - t0, v


def clocked(f, spent, side, clock=time.process_time):
    """f, its CPU time by ``clock`` added to spent[side] at each call."""

    def run(*args):
        t0 = clock()
        try:
            return f(*args)
        finally:
            spent[side] += clock() - t0

    return run


def quiet():
    warnings.simplefilter("ignore", velmora.RangeWarning)
    warnings.simplefilter("ignore", velmora.errors.DefaultParameterWarning)


def asides(name, run):
    """(calls, of them stepped aside) of flashes.<name> (an engine route returning None where
    the loop is to run) while ``run()`` runs; the route restored after."""
    real = getattr(flashes, name)
    seen = []

    def counted(*a):
        out = real(*a)
        seen.append(out is None)
        return out

    setattr(flashes, name, counted)
    try:
        run()
    finally:
        setattr(flashes, name, real)
    return len(seen), sum(seen)


def print_medians(n, what, times):
    """Median CPU seconds of each timed pass, engine and loop, and their ratio; ``times``:
    {label: {"engine": [s, ...], "loop": [s, ...]}}."""
    for label, t in times.items():
        e, lo = float(np.median(t["engine"])), float(np.median(t["loop"]))
        print(
            f"{n} {what}, {label}: engine {e:.3f} s CPU, Python loop {lo:.3f} s CPU, "
            f"loop / engine {lo / e:.2f}"
        )
