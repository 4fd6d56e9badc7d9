"""The six-stage stripper on pilot runs K1, K2 and K14 of pilot-nccc-2014.csv, each at its
measured rich and lean loadings, feed T and pressure: the specific reboiler duty and its split
(docs/capture.md, "Stripper") and the water sent overhead per mole of CO2.

    .venv/bin/python benchmarks/stripper_split.py
"""

import warnings

import pandas as pd

import velmora
from velmora import capture

CSV = "/work/shared/data/pilot-nccc-2014.csv"


def main(cases=("K1", "K2", "K14")):
    mea = velmora.System("MEA-CO2-H2O", gases=["N2", "O2"])
    table = pd.read_csv(CSV).set_index("case")
    print(
        "| run (6 stages) | SRD [MJ/kg] | sensible | desorption | steam | top H2O/CO2 [mol/mol] |"
    )
    print("|---|---|---|---|---|---|")
    for case in cases:
        row = table.loc[case]
        rich = capture.lean_solvent(
            row["rich_flow_kg_h"], row["lean_MEA_wfrac"], row["rich_loading"]
        )
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", velmora.RangeWarning)
            r = capture.Stripper(mea).run(
                rich,
                row["stripper_feed_T_C"] + 273.15,
                1e3 * row["stripper_P_kPa"],
                lean_loading=row["lean_loading"],
            )
        top = {c: r.product[c] + r.reflux[c] for c in ("CO2", "H2O")}
        print(
            f"| {case} ({row['rich_loading']:.3f} → {row['lean_loading']:.3f}, "
            f"{row['reboiler_duty_kW']:.0f} kW measured) | {r.srd:.2f} | {r.srd_sensible:.2f} | "
            f"{r.srd_desorption:.2f} | {r.srd_steam:.2f} | {top['H2O'] / top['CO2']:.1f} |"
        )


if __name__ == "__main__":
    main()
