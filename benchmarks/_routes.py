"""What the benchmarks of the engine's routes against the front door's loops in Python share
(bench_bubble.py, bench_split.py, bench_tp_split.py, bench_dew.py, bench_vapor.py): quiet
warnings, the count of calls where the engine stepped aside, and the printed medians and ratio."""

import warnings

import numpy as np

import velmora
from velmora import flashes

P = 101325.0  # Pa


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
