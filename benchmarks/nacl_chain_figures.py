"""Worst deviation per data set and temperature of what NaCl's activity parameters reach: NaCl
(Pitzer, Peiper & Busey), the ions traced in NaCl (pitzer.dat), MgCl2 and SrCl2 gamma+- (their
own sets), gypsum in NaCl (Marshall & Slusher, 0.5 / 25 / 40 C), anhydrite at 100 C (Block &
Waters), barite in NaCl (Templeton, 50 C) and halite's solubility (CRC Handbook, 0-100 C,
benchmarks/fit_solids.py): with the shipped databank, and with "salt-pair" that of the chain of
fits with the dilute-weighted salt-pair terms (regress.shipped.salt_pair_trial, about 1 min).

    OPENBLAS_NUM_THREADS=1 .venv/bin/python benchmarks/nacl_chain_figures.py [salt-pair]
"""

import sys
import warnings

import fit_solids  # benchmarks/, the script's folder
import velmora
from velmora.enginebridge import databank
from velmora.regress import data, evaluate, shipped


def sets():
    return (data.nacl_sets()
            + [data.acid_base_sets()[1], data.acid_base_sets()[2]]
            + [data.traced_in_nacl_set(s) for s in ("MgCl2", "SrCl2")]
            + data.salt_sets("MgCl2") + data.salt_sets("SrCl2")
            + [data.gypsum_sets(t)[0] for t in (0.5, 25, 40)]
            + [data.anhydrite_sets("bw", 100), data.barite_nacl_sets()[0]])


def main(db):
    for d, rows in evaluate(sets(), db):
        for T in sorted({r[0] for r in rows}):
            w = max((abs(c / v - 1), c / v - 1, x) for t, x, v, c in rows if abs(t - T) < 3.0)
            print(f"{d.name:48s} {T - 273.15:6.1f} C  worst {100 * w[1]:+6.2f} % at {w[2]:g}")
    with databank.using(db):
        s = velmora.System("NaCl-H2O")
    mw = s._info.mw["NaCl"]
    worst = (0.0, 0.0, 0.0)
    for t, w in fit_solids.NACL_CRC.items():
        liq = s.liquid(t + 273.15, molalities={"NaCl": 9.0}, solids=True)
        m = liq.apparent["NaCl"] / (liq.apparent["H2O"] * s._info.mw["H2O"] / 1000.0)
        dev = m / fit_solids.molality(w, mw) - 1.0
        worst = max(worst, (abs(dev), dev, t))
    print(f"{'halite solubility (CRC), 0-100 C':48s} worst {100 * worst[1]:+6.2f} % at {worst[2]:g} C")


if __name__ == "__main__":
    warnings.simplefilter("ignore")
    if sys.argv[1:] == ["salt-pair"]:
        db, results = shipped.salt_pair_trial()
        for name, res in results.items():
            print(f"== {name}:", ", ".join(f"{p.label} {v:.5g}" for p, v in zip(res.params, res.theta)
                                          if p.kind in ("dilute_pair", "dilute_term")))
    else:
        db = databank.shipped()
    main(db)
