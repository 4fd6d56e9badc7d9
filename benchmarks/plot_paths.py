"""Figure of docs/brine-paths.md: Reference-Composition seawater (velmora.seawater(), with
seawater's dissolved barium) evaporated at 25 C in seawater-H2O, 100 steps to 99 % of its water.

    .venv/bin/python benchmarks/plot_paths.py      # writes docs/figures/seawater-evaporation.png
"""

import os
import pathlib
import sys
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import velmora  # noqa: E402
from velmora import paths  # noqa: E402
from bench_paths import CASES, T  # noqa: E402

FIG = pathlib.Path(__file__).resolve().parent.parent / "docs" / "figures"


def main():
    warnings.simplefilter("ignore", velmora.RangeWarning)
    chem, molalities, removed = CASES[0]
    s = velmora.System(chem)
    path = paths.evaporate(s, s.composition(molalities=molalities), T, removed=removed)
    fig = path.plot("Seawater (Reference Composition) evaporated at 25 C")
    FIG.mkdir(exist_ok=True)
    fig.savefig(FIG / "seawater-evaporation.png", dpi=110)
    print(path)


if __name__ == "__main__":
    main()
