"""The open IDAES MEA absorber test case (../shared/data/capture.md, section 8.1: 18 m diameter,
21.6 m of packing, 19000 mol/s of flue gas at 4.1 % CO2, 24000 mol/s of solvent at a loading of
0.2, both at 313.15 K and 100 kPa) in one bed of 8 segments, beside the outputs that IDAES's own
test asserts (docs/capture.md).

    .venv/bin/python benchmarks/idaes_absorber_case.py
"""

import time
import warnings

import velmora
from velmora import capture

GAS = {"CO2": 0.041, "H2O": 0.074, "N2": 0.763, "O2": 0.122}  # mole fractions, 19000 mol/s
LIQUID = {"CO2": 0.022, "H2O": 0.868, "MEA": 0.11}  # apparent, 24000 mol/s
IDAES = {"capture": 96.85, "gas_out_T": 327.04361, "liquid_out_T": 315.2712896, "rich": 0.4858}


def main():
    mea = velmora.System("MEA-CO2-H2O", gases=["N2", "O2"])
    gas = {c: 19000.0 * y for c, y in GAS.items()}
    liquid = {c: 24000.0 * x for c, x in LIQUID.items()}
    ab = capture.Absorber(mea, 18.0, [21.6], segments=8)
    t0 = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", velmora.RangeWarning)
        r = ab.run(gas, 313.15, liquid, 313.15, 1e5)
    print(f"{time.perf_counter() - t0:.2f} s; balances {r.balance}, energy {r.energy_balance:.1e}")
    print("| | capture | gas out | liquid out | rich loading |")
    print("|---|---|---|---|---|")
    print(
        f"| velmora.capture | {r.capture_pct:.2f} % | {r.gas_out_T:.2f} K | {r.rich_T:.2f} K | "
        f"{r.rich_loading:.4f} |"
    )
    print(
        f"| IDAES `MEAColumn` | {IDAES['capture']:.2f} % | {IDAES['gas_out_T']:.2f} K | "
        f"{IDAES['liquid_out_T']:.2f} K | {IDAES['rich']:.4f} |"
    )


if __name__ == "__main__":
    main()
