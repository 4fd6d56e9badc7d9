"""Robustness of the closed capture loop: a Latin hypercube over L/G 1-6 kg/kg, lean loading
0.1-0.35, flue-gas CO2 4-15 % (dry) and stripper pressure 150-220 kPa, on the NCCC pilot's
absorber (two 6 m beds, 0.64 m, 2240 kg/h of flue gas at 41 C) and the six-stage stripper.
Reports the fraction solved and every failure with its exception type and reason; a solved
point is checked by the loop itself (elements 1e-8, energy 1e-6), re-asserted here.

    .venv/bin/python benchmarks/robust_capture.py [N] [segments per bed] [seed]
"""

import sys
import time
import warnings
from collections import Counter

from scipy.stats import qmc

import velmora
from velmora import capture

P_ABS = 108.12e3


def main(n=40, segments=4, seed=19):
    n, segments, seed = int(n), int(segments), int(seed)
    mea = velmora.System("MEA-CO2-H2O", gases=["N2", "O2"])
    ab = capture.Absorber(mea, 0.64, [6.0, 6.0], segments=segments)
    loop = capture.CaptureLoop(ab, capture.Stripper(mea), capture.HeatExchanger(mea))
    lo, hi = [1.0, 0.10, 0.04, 150e3], [6.0, 0.35, 0.15, 220e3]
    pts = qmc.scale(qmc.LatinHypercube(d=4, seed=seed).random(n), lo, hi)
    solved, kinds, t0 = 0, Counter(), time.perf_counter()
    for k, (lg, ll, co2, ps) in enumerate(pts):
        gas = capture.flue_gas(mea, 2240.0, 314.18, P_ABS, co2_dry=co2)
        lean = capture.lean_solvent(lg * 2240.0, 0.307, ll)
        what = f"#{k:3d} L/G {lg:4.2f} lean {ll:.3f} CO2 {100 * co2:4.1f} % P_s {ps / 1e3:5.1f} kPa"
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", velmora.RangeWarning)
                r = loop.run(gas, 314.18, lean, 315.18, P_ABS, ps)
            assert max(r.balance.values()) <= 1e-8 and r.energy_balance <= 1e-6
            solved += 1
            print(
                f"{what}: capture {r.capture_pct:5.1f} %, SRD {r.srd:6.2f} MJ/kg, {r.seconds:.1f} s"
            )
        except Exception as e:  # noqa: BLE001 - every failure is reported with its type
            kinds[type(e).__name__] += 1
            print(f"{what}: {type(e).__name__}: {e}")
    dt = time.perf_counter() - t0
    print(
        f"solved {solved}/{n} ({100.0 * solved / n:.1f} %) in {dt:.0f} s; failures: "
        f"{dict(kinds) or 'none'}"
    )


if __name__ == "__main__":
    main(*sys.argv[1:])
