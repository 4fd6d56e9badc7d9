"""Operating map of the capture loop (docs/capture.md): capture and specific reboiler duty over
L/G and the lean loading, for the NCCC pilot's absorber (two 6 m beds, 0.64 m, 9.19 % dry CO2,
30.7 wt% MEA) and the six-stage stripper at 183 kPa, a 10 K exchanger approach.

    .venv/bin/python benchmarks/capture_map.py [docs/figures/capture-map.png]
"""

import sys
import time
import warnings

import velmora
from velmora import capture

P_ABS, P_STRIP = 108.12e3, 183.0e3


def main(path="docs/figures/capture-map.png"):
    mea = velmora.System("MEA-CO2-H2O", gases=["N2", "O2"])
    gas = capture.flue_gas(mea, 2240.0, 314.18, P_ABS, co2_dry=0.0919)
    ab = capture.Absorber(mea, 0.64, [6.0, 6.0], segments=4)
    loop = capture.CaptureLoop(ab, capture.Stripper(mea), capture.HeatExchanger(mea, approach=10.0))
    t0 = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", velmora.RangeWarning)
        m = capture.operating_map(
            loop,
            gas,
            314.18,
            P_ABS,
            P_STRIP,
            315.18,
            0.307,
            L_G=[1.0, 1.5, 2.0, 3.0, 4.0],
            lean_loading=[0.1, 0.15, 0.2, 0.25, 0.3, 0.35],
        )
    df = m.to_frame()
    cols = [
        "L_G",
        "lean_loading",
        "capture_pct",
        "rich_loading",
        "srd",
        "srd_sensible",
        "srd_desorption",
        "srd_steam",
        "liquid_calls",
        "seconds",
    ]
    print(df[cols].round(3).to_string())
    print(f"{len(df)} points, {df['error'].notna().sum()} failed, {time.perf_counter() - t0:.1f} s")
    for e in df["error"].dropna():
        print("  ", e)
    m.plot(path)
    print("figure:", path)


if __name__ == "__main__":
    main(*sys.argv[1:])
