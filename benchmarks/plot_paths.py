"""Figure of docs/brine-paths.md: the evaporation at 25 C of a seawater without its magnesium,
from the major ions of a published analysis, its chloride balanced on the charge.

    .venv/bin/python benchmarks/plot_paths.py      # writes docs/figures/brine-evaporation.png
"""
import pathlib
import warnings

import numpy as np

import velmora
from velmora import paths
from velmora.enginebridge import databank

FIG = pathlib.Path(__file__).resolve().parent.parent / "docs" / "figures"
# Major constituents of sea water, g per kg of sea water (A Dictionary of Earth Sciences, "sea
# water, major constituents", encyclopedia.com); total dissolved 34.477 g/kg. Magnesium
# (1.272 g/kg) is left out: brine-H2O has none.
GRAMS = {"Na+": 10.556, "Ca++": 0.400, "K+": 0.380, "Cl-": 18.980, "SO4--": 2.649}
KG_WATER = 1.0 - 34.477 / 1000.0                     # per kg of sea water


def main():
    warnings.simplefilter("ignore", velmora.RangeWarning)
    b = velmora.System("brine-H2O")
    ions = {k: g / databank.species(k)["molar_mass"] / KG_WATER for k, g in GRAMS.items()}
    sea = paths.brine(b, ions, balance="Cl-")
    path = paths.evaporate(b, sea, 298.15, removed=np.linspace(0.0, 0.95, 100))
    fig = path.plot("Seawater without magnesium, evaporated at 25 C")
    FIG.mkdir(exist_ok=True)
    fig.savefig(FIG / "brine-evaporation.png", dpi=110)
    print(path)


if __name__ == "__main__":
    main()
