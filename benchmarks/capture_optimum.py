"""The least specific reboiler duty of the NCCC pilot at 90 % capture (docs/optimization.md):
the plant of run K17 of pilot-nccc-2014.csv (two 6 m beds, no intercooler, its flue gas,
lean T, MEA fraction and pressures; 4 segments per bed, the six-stage stripper, 10 K
approach), the lean loading and L/G within the campaign's range, by SLSQP and by Ipopt from
the same start; then the SRD along the 90 % capture curve and over a grid for the figure.

    .venv/bin/python benchmarks/capture_optimum.py [docs/figures/capture-optimum.png]
"""

import sys
import time
import warnings

import numpy as np

import velmora
from velmora import capture
from velmora.capture._figures import finish, panels

CSV = "/work/shared/data/pilot-nccc-2014.csv"
START = (0.25, 2.5)
CURVE = [0.18, 0.20, 0.22, 0.24, 0.26, 0.28, 0.30, 0.32]
GRID_LL = [0.16, 0.20, 0.24, 0.28, 0.32, 0.36]
GRID_LG = [1.5, 2.0, 2.5, 3.0, 3.5, 4.0]


def main(path="docs/figures/capture-optimum.png"):
    warnings.simplefilter("ignore", velmora.RangeWarning)
    # the unit of cost: a cold closed loop at the start, each on a fresh plant (no caches)
    cold = []
    for _ in range(3):
        t0 = time.perf_counter()
        capture.pilot_plant(CSV, "K17", segments=4).run(*START)
        cold.append(time.perf_counter() - t0)
    unit = float(np.median(cold))
    print(f"cold loop at the start: {', '.join(f'{t:.2f}' for t in cold)} s (median {unit:.2f})")
    bounds = capture.pilot_bounds(CSV)
    print(
        "bounds (pilot range):",
        {k: tuple(round(float(v), 4) for v in b) for k, b in bounds.items()},
    )
    opts = {}
    for method in ("scipy", "ipopt"):
        plant = capture.pilot_plant(CSV, "K17", segments=4)
        opts[method] = o = capture.optimal_operation(plant, 90.0, method, START, bounds)
        print(o)
        print(
            f"   {o.message}; multiplier {o.multiplier:.5f} MJ/kg per %, its first loop "
            f"{o.loop_seconds:.2f} s; {o.seconds / unit:.1f} median cold loops"
        )
    a, b = opts["scipy"], opts["ipopt"]
    print(
        f"agreement: SRD {abs(a.srd - b.srd) / a.srd:.2e} relative, duty "
        f"{abs(a.reboiler_duty - b.reboiler_duty) / a.reboiler_duty:.2e}, lean loading "
        f"{abs(a.lean_loading - b.lean_loading):.2e}, L/G {abs(a.L_G - b.L_G):.2e}"
    )

    # the mesh: the same optimum on the absorber at 2 and 8 segments per bed
    for seg in (2, 8):
        o = capture.optimal_operation(
            capture.pilot_plant(CSV, "K17", segments=seg), 90.0, "scipy", START, bounds
        )
        print(f"{seg} segments per bed: {o}")

    plant = capture.pilot_plant(CSV, "K17", segments=4)
    t0 = time.perf_counter()
    curve, lg, r = [], a.L_G, None
    for ll in CURVE:
        r = plant.at_capture(ll, 90.0, lg, start=r)
        lg = plant.point(r)[1]
        curve.append((ll, lg, r.srd, r.srd_sensible, r.srd_desorption, r.srd_steam))
        print(
            f"90 % capture: lean {ll:.2f}, L/G {lg:.4f}, SRD {r.srd:.4f} (sensible "
            f"{r.srd_sensible:.3f}, desorption {r.srd_desorption:.3f}, steam "
            f"{r.srd_steam:.3f})"
        )
    print(f"curve: {plant.loop_solves} loops, {time.perf_counter() - t0:.1f} s")
    grid_srd = np.full((len(GRID_LG), len(GRID_LL)), np.nan)
    grid_cap = np.full_like(grid_srd, np.nan)
    prev = None
    t0 = time.perf_counter()
    for i, g in enumerate(GRID_LG):
        for j, ll in enumerate(GRID_LL):
            try:
                prev = plant.run(ll, g, start=prev)
                grid_srd[i, j], grid_cap[i, j] = prev.srd, prev.capture_pct
            except (velmora.ConvergenceError, ValueError) as e:
                print("grid point failed:", ll, g, e)
    print(f"grid: {grid_srd.size} points, {time.perf_counter() - t0:.1f} s")

    c = np.array(curve)
    fig, ax = panels(2, figsize=(11, 4.5))
    X, Y = np.meshgrid(GRID_LL, GRID_LG)
    cs = ax[0].contourf(
        X, Y, grid_srd, levels=np.linspace(3.3, 6.0, 19), extend="max", cmap="viridis"
    )
    fig.colorbar(cs, ax=ax[0], label="SRD [MJ/kg CO2]")
    cc = ax[0].contour(X, Y, grid_cap, levels=[80, 90, 95, 99], colors="w", linewidths=0.8)
    ax[0].clabel(cc, fmt="%g %%", fontsize=8)
    ax[0].plot(c[:, 0], c[:, 1], "w--", lw=1.5, label="90 % capture (solved)")
    ax[0].plot(a.lean_loading, a.L_G, "r*", ms=14, label="optimum (SLSQP)")
    ax[0].plot(b.lean_loading, b.L_G, "o", mfc="none", mec="orange", ms=12, label="optimum (Ipopt)")
    ax[0].set_xlabel("lean loading [mol CO2/mol MEA]")
    ax[0].set_ylabel("L/G [kg/kg]")
    ax[0].legend(fontsize=8, loc="upper left")
    ax[1].plot(c[:, 0], c[:, 2], "o-", label="SRD")
    ax[1].plot(c[:, 0], c[:, 3], "s--", label="sensible")
    ax[1].plot(c[:, 0], c[:, 4], "^--", label="desorption")
    ax[1].plot(c[:, 0], c[:, 5], "v--", label="steam")
    ax[1].plot(a.lean_loading, a.srd, "r*", ms=14, label=f"optimum {a.srd:.3f} MJ/kg")
    ax[1].set_xlabel("lean loading at 90 % capture")
    ax[1].set_ylabel("MJ/kg CO2")
    ax[1].legend(fontsize=8)
    fig.suptitle("NCCC pilot (K17 plant): SRD over lean loading and L/G, and along 90 % capture")
    finish(fig, path)
    print("figure:", path)


if __name__ == "__main__":
    main(*sys.argv[1:])
