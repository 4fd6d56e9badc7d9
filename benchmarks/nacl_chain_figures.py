"""Worst deviation per data set and temperature of what NaCl's activity parameters reach: NaCl
(Pitzer, Peiper & Busey), the ions traced in NaCl (pitzer.dat), MgCl2 and SrCl2 gamma+- (their
own sets), gypsum in NaCl (Marshall & Slusher, 0.5 / 25 / 40 C), anhydrite at 100 C (Block &
Waters), barite in NaCl (Templeton, 50 C) and halite's solubility (CRC Handbook, 0-100 C,
benchmarks/fit_solids.py); then the sulfate solids in water and beyond the fits (anhydrite in
water at 100 C, Blount & Dickson; barite in water at 50 C, Templeton's first reading; Freyer &
Voigt's anhydrite at 100 C and at 150 C to 3 mol/kg NaCl), none of them fitted in the shipped
databank. With the shipped databank, or with

  salt-pair           the chain of fits with the dilute-weighted salt-pair terms
                      (regress.shipped.salt_pair_trial, 1-4 min);
  salt-pair-anchored  the same chain with the sulfate solids' levels held in water: barite's 1/T
                      term not refitted with BaCl2's terms (the shipped record's, on Templeton's
                      NaCl points and his reading in water; refitted on the NaCl points by
                      BaSO4-NaCl-H2O after), anhydrite's four terms fitted with anhydrite in
                      water at 100 C too (data.anhydrite_water_set);
  salt-pair-hot       the anchored chain with a 1/T term of the Ca++/Cl- salt-pair term as well,
                      fitted in CaCl2-H2O with anhydrite at 100 C (Block & Waters, in water;
                      anhydrite's four terms and Hardie's transition with them);
  salt-pair-so4       the anchored chain with a Na+/SO4-- salt-pair term (constant) instead,
                      fitted there with the same anhydrite data and Na2SO4's own gamma+- (Moller,
                      20-100 C; CRC and Pitzer & Mayorga, 25 C), Na2SO4's tau refitted with it (A
                      each way and the slopes about 25 C);
  own-terms           NaCl with W1, W2 and U(Cl-; Na+, Na+) held off the species outside NaCl and
                      the fits that rest on NaCl repeated with their own parameters
                      (regress.shipped.nacl_own_trial, about 40 s); NaCl beside it at 10-100 C,
                      the rows of Pitzer, Peiper & Busey's table that no fit takes;
  own-terms-ub        the same with the 1/T terms of the two sulfate-chloride U in CaSO4-NaCl-H2O,
                      fitted there with gypsum at 0.5 and 40 C too;
  own-terms-curve     the same with Na2SO4's tau curvatures about 25 C (curve_m_ca, curve_ca_m)
                      instead, fitted there with gypsum at 0.5 and 40 C and Moller's Na2SO4 gamma+-;
  own-terms-droplets  NaCl's fit alone with the three terms and ln a_w at 25 C held (sigma 0.01)
                      to a fit of levitated droplets beyond saturation, Tang et al.'s to 13 mol/kg
                      or, with a further argument clegg1997, Clegg et al.'s to 17 (data.py); a_w
                      against both and NaCl at 10-100 C, then stops (the other fits not repeated).
  own-terms-droplets-chain  own-terms' chain with NaCl's fit held to the droplets as above
                      (tang1986 or clegg1997) in place of the plain own terms (about 10 s; ln Ksp
                      not refitted).

Besides: Na2SO4's gamma+- (Moller) and gypsum in Na2SO4 (Block & Waters, 25 C).

    OPENBLAS_NUM_THREADS=1 .venv/bin/python benchmarks/nacl_chain_figures.py
        [salt-pair|salt-pair-anchored|salt-pair-hot|salt-pair-so4|own-terms|own-terms-ub|
         own-terms-curve|own-terms-droplets[-chain] [clegg1997]]
"""

import dataclasses
import sys
import warnings

import fit_solids  # benchmarks/, the script's folder
import numpy as np

import velmora
from velmora.enginebridge import databank
from velmora.regress import Parameter, data, evaluate, shipped
from velmora.regress.core import Model


def sets():
    return (
        data.nacl_sets()
        + [data.acid_base_sets()[1], data.acid_base_sets()[2]]
        + [data.traced_in_nacl_set(s) for s in ("MgCl2", "SrCl2")]
        + data.salt_sets("MgCl2")
        + data.salt_sets("SrCl2")
        + [data.gypsum_sets(t)[0] for t in (0.5, 25, 40)]
        + [data.anhydrite_sets("bw", 100), data.barite_nacl_sets()[0]]
    )


def water_sets():
    fv150 = data.anhydrite_sets("fv", 150)
    fv150 = dataclasses.replace(fv150, name=fv150.name + " (to 3 mol/kg)", points=fv150.points[:6])
    return [
        data.anhydrite_water_set(100),
        data.barite_water_set(),
        data.anhydrite_sets("fv", 100),
        fv150,
        data.moller_na2so4_set(),
        data.gypsum_sets(25)[1],
    ]


def anchored_chain(hot=False, sulfate=False):
    """(chain, starts_from) for salt_pair_trial: PAIR_CHAIN with the sulfate solids' levels held in
    water (and, hot, the Ca++/Cl- salt-pair term's 1/T term fitted on anhydrite at 100 C; sulfate,
    the Na+/SO4-- salt-pair term and Na2SO4's tau fitted on it and Na2SO4's gamma+-)."""
    chain = dict(shipped.PAIR_CHAIN)
    barium, _ = chain["BaCl2-H2O"]
    chain["BaCl2-H2O"] = (lambda: [p for p in barium() if p.kind != "solid"], chain["BaCl2-H2O"][1])
    chain["CaSO4-anhydrite"] = (list, lambda: [data.anhydrite_water_set(100)])
    if hot:
        key = ("H2O", "Ca++", "Cl-")
        _, anh_params, _, _ = shipped._anhydrite()
        chain["CaCl2-H2O"] = (
            lambda: [shipped._pair(key), shipped._pair(key, "D_B", 1e5, 3000.0), *anh_params],
            lambda: [data.anhydrite_sets("bw", 100), data.anhydrite_water_set(100)],
        )
    if sulfate:
        key, na2so4 = ("H2O", "Ca++", "Cl-"), ("H2O", "Na+", "SO4--")
        _, anh_params, _, _ = shipped._anhydrite()
        a1, _, a2, _, _, _ = databank.shipped().electrolyte_pair(*na2so4)
        tau = [
            Parameter("electrolyte_pair", na2so4, f, v, v - 15.0, v + 15.0)
            for f, v in (("A_m_ca", a1), ("A_ca_m", a2))
        ]
        tau += [
            Parameter("electrolyte_pair", na2so4, f, 0.0, -5000.0, 5000.0, scale=300.0)
            for f in ("slope_m_ca", "slope_ca_m")
        ]
        chain["CaCl2-H2O"] = (
            lambda: [shipped._pair(key), shipped._pair(na2so4), *tau, *anh_params],
            lambda: [
                data.anhydrite_sets("bw", 100),
                data.anhydrite_water_set(100),
                data.moller_na2so4_set(),
                *data.salt_sets("Na2SO4"),
            ],
        )
    starts = {k: v for k, v in shipped.PAIR_STARTS_FROM.items() if k != "BaCl2-H2O"}
    return chain, starts


def own_chain(mode):
    """OWN_CHAIN, and for own-terms-ub / own-terms-curve its CaSO4 step with more parameters and
    gypsum at 0.5 and 40 C (and Moller's Na2SO4 gamma+-, with the curvatures)."""
    chain = dict(shipped.OWN_CHAIN)
    if mode == "own-terms-ub":
        params = [
            Parameter("ion_mixing", t, "U_B", 0.0, -1e5, 1e5, scale=3000.0)
            for t, _ in shipped.SULFATE_CHLORIDE
        ]
        more = []
    elif mode == "own-terms-curve":
        params = [
            Parameter("electrolyte_pair", ("H2O", "Na+", "SO4--"), f, 0.0, -50.0, 50.0)
            for f in ("curve_m_ca", "curve_ca_m")
        ]
        more = [data.moller_na2so4_set()]
    else:
        return chain
    chain["CaSO4-NaCl-H2O"] = (
        lambda: params,
        lambda: [data.gypsum_sets(t)[0] for t in (0.5, 40)] + more,
    )
    return chain


def hot_cacl2(fits):
    """CaCl2-H2O's fit with Hardie's transition among its extra residuals (anhydrite's terms
    fitted)."""

    def cacl2():
        sets_, params, extra, trange = fits()

        def both(db, theta):
            return list(extra(db, theta)) + list(shipped._hardie_extra(db, theta))

        return sets_, params, both, trange

    return cacl2


def droplet_fit(source):
    """NaCl's fit (FITS's form) with W1, W2, U(Cl-; Na+, Na+) and ln a_w at 25 C held (sigma 0.01)
    to a droplet fit, 6.5 mol/kg to its range."""
    aw, m_max = (
        (data.clegg_nacl_water_activity, data.CLEGG_NACL_M_MAX)
        if source == "clegg1997"
        else (data.tang_nacl_water_activity, data.TANG_NACL_M_MAX)
    )
    grid = np.arange(6.5, m_max + 0.01, 0.5)
    target = np.log([aw(m) for m in grid])
    w = 1.0 / (0.01 * np.sqrt(len(grid)))

    def fits():
        sets_, params, extra, trange = shipped._nacl_own()

        def both(db, theta):
            lna = shipped.ln_water_activity(Model("NaCl-H2O", db), "NaCl", grid)
            return list(extra(db, theta)) + list(w * (lna - target))

        return sets_, params, both, trange

    return fits


def own_terms_droplets(source):
    """NaCl's fit alone held to the droplets: its terms, a_w against both droplet fits, NaCl at
    10-100 C."""
    db, results = shipped.salt_pair_trial(
        ("NaCl-H2O",),
        chain=shipped.OWN_CHAIN,
        starts_from={},
        fits={"NaCl-H2O": droplet_fit(source)},
    )
    res = results["NaCl-H2O"]
    print(
        ", ".join(
            f"{p.label} {v:.4g} +- {e:.2g}"
            for p, v, e in zip(res.params, res.theta, res.stderr)
            if p.kind == "ion_mixing" or p.field.startswith("W")
        )
    )
    ms = (6.144, 8.0, 10.0, 12.0, 13.0, 15.0, 17.0, 20.0, 32.0)
    for name, lna in (
        ("shipped", shipped.ln_water_activity(Model("NaCl-H2O"), "NaCl", ms)),
        (source, shipped.ln_water_activity(Model("NaCl-H2O", db), "NaCl", ms)),
    ):
        print(f"a_w {name:10s}", " ".join(f"{m:g}: {a:.4f}" for m, a in zip(ms, np.exp(lna))))
    print(
        "a_w Tang et al.  ",
        " ".join(f"{m:g}: {data.tang_nacl_water_activity(m):.4f}" for m in ms if m <= 13.0),
    )
    print(
        "a_w Clegg et al. ",
        " ".join(f"{m:g}: {data.clegg_nacl_water_activity(m):.4f}" for m in ms if m <= 17.0),
    )
    for d, rows in evaluate(data.nacl_sets() + data.nacl_table_sets(), db):
        w_ = max((abs(c / v - 1), c / v - 1, x, t) for t, x, v, c in rows)
        print(f"{d.name:52s} worst {100 * w_[1]:+6.2f} % at {w_[2]:g} mol/kg, {w_[3] - 273.15:g} C")


def main(db):
    for d, rows in evaluate(sets() + water_sets(), db):
        for T in sorted({r[0] for r in rows}):
            w = max((abs(c / v - 1), c / v - 1, x) for t, x, v, c in rows if abs(t - T) < 3.0)
            print(f"{d.name:52s} {T - 273.15:6.1f} C  worst {100 * w[1]:+6.2f} % at {w[2]:g}")
    with databank.using(db):
        s = velmora.System("NaCl-H2O")
    mw = s._info.mw["NaCl"]
    worst = (0.0, 0.0, 0.0)
    for t, w in fit_solids.NACL_CRC.items():
        liq = s.liquid(t + 273.15, molalities={"NaCl": 9.0}, solids=True)
        m = liq.apparent["NaCl"] / (liq.apparent["H2O"] * s._info.mw["H2O"] / 1000.0)
        dev = m / fit_solids.molality(w, mw) - 1.0
        worst = max(worst, (abs(dev), dev, t))
    print(
        f"{'halite solubility (CRC), 0-100 C':52s} worst {100 * worst[1]:+6.2f} % at {worst[2]:g} C"
    )


if __name__ == "__main__":
    warnings.simplefilter("ignore")
    mode = sys.argv[1] if sys.argv[1:] else None
    if mode in ("salt-pair", "salt-pair-anchored", "salt-pair-hot", "salt-pair-so4"):
        chain, starts = (
            anchored_chain(mode == "salt-pair-hot", mode == "salt-pair-so4")
            if mode != "salt-pair"
            else (None, None)
        )
        if mode in ("salt-pair-hot", "salt-pair-so4"):
            shipped.FITS["CaCl2-H2O"] = hot_cacl2(shipped.FITS["CaCl2-H2O"])
        db, results = shipped.salt_pair_trial(chain=chain, starts_from=starts)
        for name, res in results.items():
            print(
                f"== {name}:",
                ", ".join(
                    f"{p.label} {v:.5g}"
                    for p, v in zip(res.params, res.theta)
                    if p.kind in ("dilute_pair", "dilute_term", "solid") or "SO4" in p.label
                ),
            )
    elif mode in ("own-terms", "own-terms-ub", "own-terms-curve"):
        db, results = shipped.nacl_own_trial(chain=own_chain(mode))
        for name, res in results.items():
            print(
                f"== {name}:",
                ", ".join(
                    f"{p.label} {v:.5g} +- {e:.2g}"
                    for p, v, e in zip(res.params, res.theta, res.stderr)
                    if p.kind == "ion_mixing"
                    or p.field.startswith("W")
                    or "SO4" in p.label
                    or p.field.startswith("curve")
                ),
            )
        for d, rows in evaluate(data.nacl_table_sets(), db):
            for T in sorted({r[0] for r in rows}):
                w = max((abs(c / v - 1), c / v - 1, x) for t, x, v, c in rows if abs(t - T) < 0.5)
                print(f"{d.name:52s} {T - 273.15:6.1f} C  worst {100 * w[1]:+6.2f} % at {w[2]:g}")
    elif mode == "own-terms-droplets":
        own_terms_droplets(sys.argv[2] if sys.argv[2:] else "tang1986")
        sys.exit(0)
    elif mode == "own-terms-droplets-chain":
        db, results = shipped.salt_pair_trial(
            chain=shipped.OWN_CHAIN,
            starts_from={},
            fits={"NaCl-H2O": droplet_fit(sys.argv[2] if sys.argv[2:] else "tang1986")},
        )
        for name, res in results.items():
            print(
                f"== {name}:",
                ", ".join(
                    f"{p.label} {v:.5g} +- {e:.2g}"
                    for p, v, e in zip(res.params, res.theta, res.stderr)
                    if p.kind == "ion_mixing" or p.field.startswith("W")
                ),
            )
    elif mode is not None:
        sys.exit(__doc__)
    else:
        db = databank.shipped()
    main(db)
