"""The capture columns against the cold core speciation of their lean solvent, in one run.

The unit is the cold core speciation (``true_amounts`` from no warm start, as in
``bench_engine_ratios.py``) of the pilot's K13 lean solvent at its lean T. Against it: the K13
absorber (three 6 m beds, 8 segments per bed), the six-stage stripper with its reboiler on
K13's rich solvent (to its lean loading), and the closed loop of K13's plant (absorber at 8 and
at 4 segments per bed), and that loop's lean/rich exchanger alone on its inlets (sized by a 10 K
approach, and by a UA). Each column is timed over repeated cold runs (a new run builds its own
caches); printed: median and range [s], Newton iterations, liquid states, and the median as a
multiple of the cold speciation's median (and the best run over the best speciation). The
machine is shared: the multiples are the figures to read.

    .venv/bin/python benchmarks/bench_capture.py [repeats]
"""

import math
import statistics
import sys
import time
import warnings
from pathlib import Path

import velmora
from velmora import capture
from velmora.capture.pilot import _table, row_absorber

warnings.simplefilter("ignore", velmora.RangeWarning)
TABLE = Path(__file__).resolve().parents[2] / "shared" / "data" / "pilot-nccc-2014.csv"
if not TABLE.exists():  # a worktree one level deeper
    TABLE = Path("/work/shared/data/pilot-nccc-2014.csv")


def timed(f, repeat):
    """(median, min, max) seconds of repeat calls of f, and its last result."""
    runs, r = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        r = f()
        runs.append(time.perf_counter() - t0)
    return (statistics.median(runs), min(runs), max(runs)), r


def main(repeat=5):
    repeat = int(repeat)
    mea = velmora.System("MEA-CO2-H2O", gases=["N2", "O2"])
    row = _table(TABLE).set_index("case").loc["K13"]
    P, P_s = 1e3 * row["absorber_P_kPa"], 1e3 * row["stripper_P_kPa"]
    lean_T = row["lean_T_C"] + 273.15
    lean = capture.lean_solvent(row["lean_flow_kg_h"], row["lean_MEA_wfrac"], row["lean_loading"])
    rich = capture.lean_solvent(row["rich_flow_kg_h"], row["lean_MEA_wfrac"], row["rich_loading"])

    app, el = mea.composition(lean), mea.model

    def cold():
        el._warm = None
        return el.true_amounts(app, lean_T)

    cold()
    n = 2000
    runs = []
    for _ in range(7):
        t0 = time.perf_counter()
        for _ in range(n):
            cold()
        runs.append((time.perf_counter() - t0) / n)
    unit, best = statistics.median(runs), min(runs)
    print(
        f"K13 lean solvent, cold core speciation: {unit * 1e6:.1f} us "
        f"({min(runs) * 1e6:.1f}-{max(runs) * 1e6:.1f})"
    )

    # what a column pays per liquid: a state (with its enthalpy), and its exact derivatives
    T = [lean_T]

    def state():
        T[0] += 1e-3  # a new state each call, warm-started as in a column
        return mea.liquid(T[0], lean).H

    def slopes():
        T[0] += 1e-3
        return mea.liquid(T[0], lean).jacobian().arrays["H"]

    (t_st, _, _), _ = timed(lambda: [state() for _ in range(200)], 5)
    (t_sl, _, _), _ = timed(lambda: [slopes() for _ in range(200)], 5)
    t_st, t_sl = t_st / 200, t_sl / 200
    print(
        f"  liquid state with H: {t_st / unit:.1f} x; with its exact derivatives "
        f"{t_sl / unit:.1f} x"
    )

    def show(label, t, r, target=None):
        med, lo, hi = t
        its = f"{r.iterations} it" if hasattr(r, "iterations") else f"{r.passes} passes"
        goal = f"  (target {target:,})" if target else ""
        print(
            f"  {label:<34} {med:6.3f} s ({lo:.3f}-{hi:.3f})  {its:>8}  "
            f"{r.liquid_calls:5d} liquid states  {med / unit:7,.0f} x (best {lo / best:6,.0f} x)"
            f"{goal}"
        )

    gas, gas_T, ab = row_absorber(mea, row, 8)
    t, r = timed(lambda: ab.run(gas, gas_T, lean, lean_T, P), repeat)
    show("absorber K13, 3 x 8 segments", t, r, 2000)
    print(
        f"    capture {r.capture_pct:.6f} %, rich loading {r.rich_loading:.8f}, "
        f"gas out {r.gas_out_T:.6f} K, rich {r.rich_T:.6f} K"
    )

    st = capture.Stripper(mea)
    feed_T = row["stripper_feed_T_C"] + 273.15
    t, r = timed(lambda: st.run(rich, feed_T, P_s, lean_loading=row["lean_loading"]), repeat)
    show("stripper K13, 6 stages + reboiler", t, r, 4000)
    print(f"    reboiler {r.reboiler_duty:.4f} W at {r.reboiler_T:.6f} K")

    for segments, target in ((8, 20000), (4, None)):
        _, _, ab = row_absorber(mea, row, segments)

        def loop(ab=ab):  # new units each time: the exchanger keeps its states between runs
            hx = capture.HeatExchanger(mea, approach=10.0)
            return capture.CaptureLoop(ab, st, hx).run(gas, gas_T, lean, lean_T, P, P_s)

        t, r = timed(loop, max(repeat // 2, 1))
        show(f"loop K13, absorber 3 x {segments} segments", t, r, target)
        print(
            f"    capture {r.capture_pct:.6f} %, SRD {r.srd:.8f} MJ/kg, "
            f"reboiler {r.reboiler_T:.6f} K"
        )
        if segments == 8:
            streams = r.streams

    # the loop's exchanger alone (its hot and cold inlets), sized by approach and by UA; the
    # UA: the 10 K answer's duty over its ends' log-mean difference (an input here)
    hot, hot_T = streams["lean from stripper"]
    cold, cold_T = streams["rich from absorber"]
    ex = capture.HeatExchanger(mea, approach=10.0).run(hot, hot_T, cold, cold_T)
    d1, d2 = hot_T - ex.cold_out_T, ex.hot_out_T - cold_T
    ua = ex.duty * math.log(d1 / d2) / (d1 - d2)
    for label, kw in (("approach 10 K", {"approach": 10.0}), (f"UA {ua:.0f} W/K", {"UA": ua})):
        hxs = []

        def exchange(kw=kw, hxs=hxs):  # a new exchanger each run: no states kept
            hxs.append(capture.HeatExchanger(mea, **kw))
            return hxs[-1].run(hot, hot_T, cold, cold_T)

        (med, lo, hi), x = timed(exchange, repeat * 4)
        print(
            f"  exchanger K13, {label:<21} {med * 1e3:6.1f} ms ({lo * 1e3:.1f}-{hi * 1e3:.1f})"
            f"  {hxs[-1].th.calls:5d} liquid states  {med / unit:7,.0f} x (best "
            f"{lo / best:6,.0f} x)  duty {x.duty:.6f} W"
        )


if __name__ == "__main__":
    main(*sys.argv[1:])
