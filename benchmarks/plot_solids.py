"""Figures of docs/solids.md: the NaCl-KCl-H2O solubility diagram at 25 and 100 C, and the
isothermal evaporation of a seawater-like brine at 25 C.

    .venv/bin/python benchmarks/plot_solids.py      # writes docs/figures/solids-*.png
"""

import pathlib
import warnings

import matplotlib
import numpy as np

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import velmora  # noqa: E402

FIG = pathlib.Path(__file__).resolve().parent.parent / "docs" / "figures"
# CRC Handbook: the single salts' solubilities, mass percent {t [C]: (NaCl, KCl)}
CRC = {25: (26.45, 26.22), 100: (28.05, 36.05)}
# Seawater without magnesium (mol/kg of water), its chloride reduced to keep the charge balance
SEAWATER = {"NaCl": 0.4274, "KCl": 0.0106, "CaCl2": 0.0107, "Na2SO4": 0.0293}


def nacl_kcl():
    s = velmora.System("NaCl-KCl-H2O")
    fig, ax = plt.subplots(figsize=(5.5, 4.5))
    for t, color in ((25, "C0"), (100, "C3")):
        T = t + 273.15
        inv = s.liquid(T, molalities={"NaCl": 12.0, "KCl": 10.0}, solids=True)
        na_e, k_e = inv.molality["Na+"], inv.molality["K+"]
        halite = [
            s.liquid(T, molalities={"NaCl": 12.0, "KCl": k}, solids=True)
            for k in np.linspace(0.0, k_e * 0.999, 12)
        ]
        sylvite = [
            s.liquid(T, molalities={"NaCl": na, "KCl": 10.0}, solids=True)
            for na in np.linspace(0.0, na_e * 0.999, 12)
        ]
        for branch, label in ((halite, "halite"), (sylvite, "sylvite")):
            ax.plot(
                [b.molality["Na+"] for b in branch],
                [b.molality["K+"] for b in branch],
                color=color,
                ls="-" if label == "halite" else "--",
                label=f"{t} C, {label} saturation",
            )
        ax.plot([na_e], [k_e], "o", color=color, label=f"{t} C, both salts ({na_e:.2f}, {k_e:.2f})")
        w_na, w_k = CRC[t]
        ax.plot([1000 * w_na / (100 - w_na) / 58.44], [0.0], "s", mfc="none", color=color)
        ax.plot([0.0], [1000 * w_k / (100 - w_k) / 74.55], "s", mfc="none", color=color)
    ax.plot([], [], "s", mfc="none", color="k", label="single salts, CRC Handbook")
    ax.set_xlabel("NaCl in the liquid [mol/kg water]")
    ax.set_ylabel("KCl in the liquid [mol/kg water]")
    ax.set_xlim(0, 8)
    ax.set_ylim(0, 8)
    ax.legend(fontsize=7)
    ax.set_title("NaCl-KCl-H2O: liquid saturated with halite and sylvite")
    fig.tight_layout()
    fig.savefig(FIG / "solids-nacl-kcl.png", dpi=120)


def evaporation():
    s = velmora.System("brine-H2O")
    factors = np.geomspace(1.0, 200.0, 60)
    rows = []
    for f in factors:
        liq = s.liquid(298.15, molalities={k: v * f for k, v in SEAWATER.items()}, solids=True)
        rows.append(liq)
    fig, (a, b) = plt.subplots(2, 1, figsize=(6, 7), sharex=True)
    for name in s.solids.names:
        amounts = [r.solids.get(name, 0.0) / f for r, f in zip(rows, factors)]
        if max(amounts) > 0:
            a.plot(factors, amounts, label=name)
            first = next(f for f, v in zip(factors, amounts) if v > 0)
            print(f"{name:<11} first at a concentration factor {first:.1f}")
    a.set_yscale("log")
    a.set_ylim(1e-5, 1)
    a.set_ylabel("solid [mol per kg of the brine's water]")
    a.legend(fontsize=8)
    a.set_title("Evaporating a magnesium-free seawater at 25 C")
    for ion in ("Na+", "K+", "Ca++", "Cl-", "SO4--"):
        b.plot(factors, [r.molality[ion] for r in rows], label=ion)
    b.plot(factors, [r.water_activity for r in rows], "k--", label="water activity")
    b.set_xscale("log")
    b.set_yscale("log")
    b.set_xlabel("concentration factor (kg water at the start / kg water left)")
    b.set_ylabel("liquid [mol/kg water]")
    b.legend(fontsize=8, ncol=2)
    fig.tight_layout()
    fig.savefig(FIG / "solids-evaporation.png", dpi=120)


if __name__ == "__main__":
    warnings.simplefilter("ignore")
    nacl_kcl()
    evaporation()
