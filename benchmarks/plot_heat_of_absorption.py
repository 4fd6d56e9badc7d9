"""The differential heat of absorption of CO2 in 30 wt% MEA at 40 and 120 C over loadings
0.05-0.5: from the temperature derivative of the fugacity (exact) and from the package's liquid
enthalpy, beside the constant 84 kJ/mol of the open IDAES column model
(../shared/data/capture.md, section 5a). Writes docs/figures/heat-of-absorption-mea.png and
prints the table of the docs."""

import pathlib
import time
import warnings

import numpy as np

import velmora
from velmora import derivatives

warnings.simplefilter("ignore", velmora.RangeWarning)
OUT = pathlib.Path(__file__).resolve().parents[1] / "docs" / "figures"
MW_MEA, MW_H2O = 61.08, 18.015  # g/mol


def main():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    s = velmora.System("MEA-CO2-H2O")
    m, w = 0.30 / MW_MEA, 0.70 / MW_H2O
    loadings = np.linspace(0.05, 0.5, 10)
    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    print("| T [C] | loading | fugacity route [kJ/mol] | enthalpy balance [kJ/mol] | difference |")
    print("|---|---|---|---|---|")
    for T, colour in ((313.15, "tab:blue"), (393.15, "tab:red")):
        q, b = [], []
        for a in loadings:
            liq = s.liquid(T, {"H2O": w, "MEA": m, "CO2": a * m})
            q.append(liq.heat_of_absorption("CO2") / 1e3)
            b.append(derivatives.heat_of_absorption_balance(s, liq, "CO2") / 1e3)
            print(
                f"| {T - 273.15:.0f} | {a:.2f} | {q[-1]:.1f} | {b[-1]:.1f} | "
                f"{100 * (q[-1] - b[-1]) / b[-1]:+.1f} % |"
            )
        ax.plot(loadings, q, "-", color=colour, label=f"{T - 273.15:.0f} °C, R T² dln f/dT")
        ax.plot(
            loadings,
            b,
            "o",
            color=colour,
            mfc="none",
            label=f"{T - 273.15:.0f} °C, liquid enthalpy balance",
        )
    ax.axhline(84.0, color="0.4", ls="--", label="constant 84 kJ/mol (IDAES column model)")
    ax.set_xlabel("CO2 loading [mol CO2 / mol MEA]")
    ax.set_ylabel("heat of absorption [kJ/mol CO2]")
    ax.set_title("CO2 in 30 wt% MEA")
    ax.legend(fontsize=8)
    fig.tight_layout()
    OUT.mkdir(parents=True, exist_ok=True)
    fig.savefig(OUT / "heat-of-absorption-mea.png", dpi=110)
    # cost of the derivatives against the solve, one run
    app = {"H2O": w, "MEA": m, "CO2": 0.3 * m}
    t0 = time.perf_counter()
    for _ in range(200):
        liq = s.liquid(313.15, app)
    t1 = time.perf_counter()
    for _ in range(200):
        liq = s.liquid(313.15, app)
        liq.jacobian()
    t2 = time.perf_counter()
    print(
        f"liquid(): {(t1 - t0) / 200 * 1e6:.0f} us; liquid() + jacobian(): "
        f"{(t2 - t1) / 200 * 1e6:.0f} us; ratio {(t2 - t1) / (t1 - t0):.1f}"
    )


if __name__ == "__main__":
    main()
