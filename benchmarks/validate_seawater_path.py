"""Seawater evaporated at 25 C, velmora beside PHREEQC (pitzer.dat) and published observations: the
order in which the solids come out and the fraction of the water removed at which each first
appears.

    .venv/bin/python benchmarks/validate_seawater_path.py            # the table, plain text
    .venv/bin/python benchmarks/validate_seawater_path.py --markdown # the table of the docs

The brine is the seawater of bench_paths.py (velmora.seawater() in "seawater-H2O", with
seawater's dissolved barium), evaporated in 100 steps to 99 % of its water removed, the solids
staying with the liquid; both codes allow the same solids, those of seawater-H2O (pitzer.dat's
phases of the same names). Then the same with its carbonate (velmora.seawater(carbonate=True) in
"seawater-CO2-H2O", a closed system: the CO2 stays) to 99 % as well, with calcite and the sodium and
potassium carbonates; pitzer.dat has no K2CO3 sesquihydrate, whose index the script shows to stay
below 0. velmora's fractions are its path's ``appears``. PHREEQC's are bracketed on its own path:
between the two points of its grid around a solid's first presence, the interval is halved until it
is below XTOL, each point one equilibrium of the brine less that water with the solids
(INCREMENTAL_REACTIONS false, as an equilibrium path is the same from the brine); its index there is
given as a check (0 where present).

Observations (fractions of the water removed; how they are read from the sources is said with
each): the "degree of evaporation" (D.E.) at which each mineral starts in the ponds of the Inagua
(Bahamas) solar saltworks, Zimmermann & Wehebrink, Goldschmidt Conference 1996 abstract "The
Evaporation of Caribbean Seawater" (aragonite at D.E. 1.5, gypsum at 4, halite at 10), read as a
concentration factor c, 1 - 1/c removed (the abstract does not say per kg of water or of brine);
and Usiglio's laboratory evaporation (1849) as the evaporite entry of EPFL Graph Search
(graphsearch.epfl.ch/en/concept/186182) gives it: gypsum when about 20 % of the original level
is left, halite at 10 % (a volume, read here as the water). One amount: Baseggio (Morton Salt
Company, "The Composition of Sea Water and Its Concentrates", on Inagua seawater) has 76.60 % of
the NaCl precipitated when 96.47 % of the water is evaporated (his seawater slightly concentrated
to start with): the halite here is set beside it as a share of the sodium. Barite: the barium
given, 30.7 ug/L, is what Savenko, Savenko & Pokrovsky (Oceanology 59 (2019) 848) measured in
equilibrium with barite in seawater of salinity 35 at 22 C: barite saturated from the start.
"""

import os
import sys
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import velmora  # noqa: E402
from velmora import paths  # noqa: E402
from velmora.enginebridge import databank  # noqa: E402
from bench_paths import (  # noqa: E402
    BARIUM,
    T,
    first_present,
    phase,
    phreeqc,
    phreeqc_input,
    phreeqc_rows,
    seawater,
    totals,
)

# (chemistry, molalities, fractions of the water removed)
CASES = [
    ("seawater-H2O", seawater(), np.linspace(0.0, 0.99, 100)),
    (
        "seawater-CO2-H2O",
        {**velmora.seawater(carbonate=True), "BaCl2": BARIUM},
        np.linspace(0.0, 0.99, 100),
    ),
]
NOT_IN_PITZER = {"K2CO3-sesquihydrate"}
XTOL = 1e-7  # width of PHREEQC's last bracket [fraction removed]
# published first appearances [fraction of the water removed] (see the module's docstring)
OBSERVED = {
    "gypsum": (1.0 - 1.0 / 4.0, 0.80),
    "halite": (1.0 - 1.0 / 10.0, 0.90),
}
OBSERVED_BY = ("Inagua ponds (D.E.)", "Usiglio")
# the sequence the observations agree on, for the solids both codes and the data have
SEQUENCE = ["gypsum", "halite"]
BASEGGIO = (0.9647, 0.7660)  # (fraction of the water evaporated, of the NaCl precipitated)


def phreeqc_appears(ip, s, app, removed):
    """{solid: (fraction removed at which PHREEQC's path first has it, its SI there)}, and
    "halite share": its halite per sodium at Baseggio's fraction."""
    tot, water = totals(s, app)
    solids = [k for k in s.solids.names if k not in NOT_IN_PITZER]
    phases = [phase(k) for k in solids]

    def run(grid):
        rows = phreeqc_rows(ip, phreeqc_input(tot, water, phases, False, grid), len(grid))
        return {k: np.array([r[f"n_{phase(k)}"] for r in rows]) for k in solids}, rows

    amounts, path = run(removed)
    _, rows = run(np.array([BASEGGIO[0]]))
    out = {"halite share": rows[0][f"n_{phase('halite')}"] / tot["Na"]}
    for k, f in first_present(amounts, removed).items():
        j = int(np.searchsorted(removed, f))
        if j == 0:
            out[k] = (0.0, path[0][phase(k)])  # present from the start
            continue
        a, b = float(removed[j - 1]), f
        while b - a > XTOL:  # halved: one equilibrium a run
            m = 0.5 * (a + b)
            got, _ = run(np.array([m]))
            a, b = (m, b) if not got[k][0] > 0.0 else (a, m)
        _, rows = run(np.array([b]))
        out[k] = (b, rows[0][phase(k)])
    return out


def table(ours, theirs, markdown=False):
    names = sorted(
        set(ours) | set(theirs), key=lambda k: min(ours.get(k, 2.0), theirs.get(k, (2.0,))[0])
    )
    heads = ["solid", "velmora", "PHREEQC", "velmora - PHREEQC", *OBSERVED_BY]
    lines = []
    for k in names:
        v = ours.get(k)
        p = theirs.get(k, (None,))[0]
        cells = [
            k,
            f"{v:.4f}" if v is not None else "-",
            f"{p:.4f}" if p is not None else "-",
            f"{v - p:+.4f} ({(v - p) / p:+.1%})" if v is not None and p else "-",
        ]
        cells += [f"{x:.2f}" for x in OBSERVED[k]] if k in OBSERVED else ["", ""]
        lines.append(cells)
    if markdown:
        out = ["| " + " | ".join(heads) + " |", "|" + "---|" * len(heads)]
        return "\n".join(out + ["| " + " | ".join(c) + " |" for c in lines])
    w = [max(len(r[i]) for r in [heads] + lines) for i in range(len(heads))]
    return "\n".join("  ".join(c.ljust(n) for c, n in zip(r, w)) for r in [heads] + lines)


def order(first, names):
    return [k for k in sorted(first, key=first.get) if k in names]


def main():
    warnings.simplefilter("ignore")
    markdown = "--markdown" in sys.argv
    ip = phreeqc()
    for chem, molalities, removed in CASES:
        s = velmora.System(chem)
        app = s.composition(molalities=molalities)
        path = paths.evaporate(s, app, T, removed=removed)
        theirs = phreeqc_appears(ip, s, app, removed) if ip is not None else {}
        share = theirs.pop("halite share", None)
        f, data = BASEGGIO
        # the path's own point there (walked to from the one before)
        upto = paths.evaporate(s, app, T, removed=[*removed[removed < f], f], events=False)
        sodium = sum(
            v * databank.elements(databank.species(c)["formula"]).get("Na", 0)
            for c, v in app.items()
        )
        ours = upto.solids["halite"][-1] / sodium
        print(
            f"\n{chem}: {', '.join(f'{k} {v:.6g}' for k, v in molalities.items())} mol/kg, "
            f"{len(removed)} steps to {removed[-1]:.0%} of the water removed at "
            f"{T - 273.15:g} C; first appearance [fraction of the water removed]"
        )
        print(table(path.appears, theirs, markdown))
        if theirs:
            print(
                "PHREEQC's SI at its fraction: "
                + ", ".join(f"{k} {si:+.1e}" for k, (_, si) in theirs.items())
            )
        print(
            "dissolves again (velmora): "
            + ", ".join(
                f"{k} {v:.4f}" for k, v in sorted(path.dissolves.items(), key=lambda kv: kv[1])
            )
        )
        for k in NOT_IN_PITZER & set(s.solids.names):
            print(
                f"largest SI of {k} on velmora's path (not in pitzer.dat): "
                f"{float(np.max(path.saturation_indices[k])):+.2f}"
            )
        print(
            f"halite as a share of the sodium at {f:.2%} of the water removed: velmora "
            f"{ours:.3f}, PHREEQC {'-' if share is None else f'{share:.3f}'}, Baseggio (of the "
            f"NaCl) {data:.3f}"
        )
        seq = order(path.appears, SEQUENCE)
        print(
            f"order of {', '.join(SEQUENCE)}: velmora {seq}, PHREEQC "
            f"{order({k: v[0] for k, v in theirs.items()}, SEQUENCE)}, observed {SEQUENCE}"
        )


if __name__ == "__main__":
    main()
