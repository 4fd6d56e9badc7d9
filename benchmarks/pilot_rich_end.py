"""Where the capture-limited pilot runs end (docs/capture.md, "Rich end"): for K3, K4, K6, K7
and K9 of ../shared/data/pilot-nccc-2014.csv, the absorber's rich loading and how close the
liquid leaving its bottom segment is to equilibrium with the flue gas entering there (CO2
pressure over that liquid, at its loading and T and the lean solvent's MEA fraction, over the
CO2 pressure of the gas), and the capture with the packing's
interfacial area scaled by 1, 1/2 and 1/4 (a what-if: the correlation's value times the factor).

    .venv/bin/python benchmarks/pilot_rich_end.py
"""

import pathlib
import warnings

import pandas as pd

import velmora
from velmora import capture
from velmora.capture import properties
from velmora.capture.pilot import _table, lean_solvent, row_absorber

CSV = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "pilot-nccc-2014.csv"
RUNS = ["K3", "K4", "K6", "K7", "K9"]


def main():
    warnings.simplefilter("ignore", velmora.RangeWarning)
    table = pd.read_csv(CSV)
    rows = table[table["case"].isin(RUNS)]
    mea = velmora.System("MEA-CO2-H2O", gases=["N2", "O2"])
    area = properties.interfacial_area
    try:
        for factor in (1.0, 0.5, 0.25):
            properties.interfacial_area = lambda *a, f=factor: f * area(*a)
            out = capture.pilot_runs(rows, system=mea, segments=8)
            print(
                f"area x {factor:<4}: capture "
                + ", ".join(f"{c} {v:.1f} %" for c, v in out["capture_pct"].items())
            )
    finally:
        properties.interfacial_area = area
    print(
        "measured  : capture "
        + ", ".join(f"{c} {v:.1f} %" for c, v in zip(rows["case"], rows["capture_pct"]))
    )
    measured_rich = dict(zip(table["case"], table["rich_loading"]))
    # the K7 column itself: the liquid leaving its bottom against the gas entering there
    k7 = _table(table).set_index("case").loc["K7"]  # blanks filled as pilot_runs fills them
    gas, gas_T, ab = row_absorber(mea, k7, 8)
    lean = lean_solvent(k7["lean_flow_kg_h"], k7["lean_MEA_wfrac"], k7["lean_loading"])
    P = 1e3 * k7["absorber_P_kPa"]
    res = ab.run(gas, gas_T, lean, k7["lean_T_C"] + 273.15, P)
    p = res.profiles
    b = int(p["loading"].argmax())  # the rich end
    liq = mea.liquid(
        float(p["T_L"][b]),
        mass_fractions={"MEA": k7["lean_MEA_wfrac"]},
        loading=float(p["loading"][b]),
    )
    p_gas = gas["CO2"] / sum(gas.values()) * P
    print(
        f"K7: rich loading {res.rich_loading:.4f} (measured {measured_rich['K7']}), bottom "
        f"liquid at {p['T_L'][b] - 273.15:.1f} C: p*_CO2 {liq.partial_pressures['CO2']:.0f} Pa, "
        f"gas in {p_gas:.0f} Pa, ratio {liq.partial_pressures['CO2'] / p_gas:.3f}"
    )


if __name__ == "__main__":
    main()
