"""Where velmora's seawater indices leave PHREEQC's (pitzer.dat) as the water concentrates 1-10
times at 25 C, ion by ion; PHREEQC through phreeqpython in .venv-bench (validate_si_phreeqc.py).

    .venv/bin/python benchmarks/seawater_ion_gaps.py

1. Each ion's free molality, log10 gamma and log10 activity beside PHREEQC's MOL(), LG() and LA(),
   and the neutral combinations (single-ion values depend on each model's convention; the
   combinations do not): d log10 of the ion-activity products of gypsum's, halite's, calcite's,
   barite's and celestite's ions, and of CaCl2, Na2SO4 and MgSO4.
2. Seawater times 10 taken apart: NaCl alone, then with MgCl2, Na2SO4, KCl and CaCl2 in turn (the
   seawater's own molalities; 1e-4 mol/kg of CaCl2 and Na2SO4 where they are left out), so that
   each salt's share of the halite and gypsum differences shows.
3. The measured liquids saturated with both halite and thenardite (40 and 90 C; the data of
   validate_na2so4_nacl.py): each model's halite and thenardite indices there, zero for a model
   that meets the measurement, the nearest thing to a measurement of sodium chloride among
   sulfate at seawater-times-ten strength that was at hand.
4. Sodium among magnesium chloride: the measured liquid saturated with halite and bischofite at
   10 C (0.32 % NaCl, 33.80 % MgCl2 by mass; Benhassen-Chehimi et al., J. Therm. Anal. Calorim.
   53 (1998) 169, the eutonic point of its abstract), and what the one two-cation term
   U(Cl-; Na+, Mg++) does there, to MgCl2 traced in NaCl and NaCl traced in MgCl2 against
   pitzer.dat, and to seawater's halite and calcite at 10 times, at the shipped and two larger
   values (overlays, not shipped).
5. The CaSO4 ion pair salted in or out by its own tau with Na+ and Cl- (the complexes' default
   8 / -4; overlays, not shipped): ln gamma of the pair and gypsum's solubility in 2-6 mol/kg
   NaCl, and seawater's gypsum index at 10 times.
6. The Mg++/SO4-- pair, fitted to 1 mol/kg, refitted on pitzer.dat's gamma+- of MgSO4 at
   0.1-3 mol/kg (a probe of what the pair beyond 1 mol/kg does, not data, not shipped), and
   seawater's indices at 10 times with it.
"""

import json
import math
import os
import subprocess
import sys
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from validate_seawater_phreeqc import BARIUM, totals  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
IONS = {
    "Ca++": "Ca+2",
    "SO4--": "SO4-2",
    "Na+": "Na+",
    "Cl-": "Cl-",
    "Mg++": "Mg+2",
    "CO3--": "CO3-2",
    "K+": "K+",
    "Sr++": "Sr+2",
    "Ba++": "Ba+2",
}
# neutral combinations {name: {ion: stoichiometry}}
PRODUCTS = {
    "gypsum": {"Ca++": 1, "SO4--": 1},
    "halite": {"Na+": 1, "Cl-": 1},
    "calcite": {"Ca++": 1, "CO3--": 1},
    "barite": {"Ba++": 1, "SO4--": 1},
    "celestite": {"Sr++": 1, "SO4--": 1},
    "CaCl2": {"Ca++": 1, "Cl-": 2},
    "Na2SO4": {"Na+": 2, "SO4--": 1},
    "MgSO4": {"Mg++": 1, "SO4--": 1},
}
RUN = r"""
import json, sys
from phreeqpython import PhreeqPython
pp = PhreeqPython(database="pitzer.dat")
pp.ip.run_string(sys.stdin.read())
json.dump(pp.ip.get_selected_output_array(), sys.stdout)
"""


def punch(solutions, columns):
    """[{heading: value}] of PHREEQC per solution: solutions [(T [C], {element: mol/kgw})],
    columns {heading: BASIC expression}."""
    exe = os.environ.get("PHREEQC_PYTHON") or os.path.join(
        HERE, "..", ".venv-bench", "bin", "python"
    )
    if not os.path.exists(exe):
        sys.exit("no Python with phreeqpython: make .venv-bench/.peers, or set PHREEQC_PYTHON")
    lines = [
        "SELECTED_OUTPUT 1",
        "    -reset false",
        "USER_PUNCH 1",
        "    -headings " + " ".join(columns),
        "    10 PUNCH " + ", ".join(columns.values()),
    ]
    for n, (t, tot) in enumerate(solutions, 1):
        lines += [f"SOLUTION {n}", "    units mol/kgw", f"    temp {t:g}", "    pH 7 charge"]
        lines += [f"    {el} {m!r}" for el, m in tot.items()] + ["END"]
    rows = json.loads(
        subprocess.run(
            [exe, "-c", RUN],
            input="\n".join(lines) + "\n",
            text=True,
            capture_output=True,
            check=True,
        ).stdout
    )
    return [dict(zip(rows[0], r)) for r in rows[1:]]


def seawater(factor, base):
    m = {k: v * factor for k, v in base.items()}
    m["BaCl2"] = BARIUM * factor
    return m


def d_log_products(liq, ref, ions=IONS):
    """{product: d log10 (velmora - PHREEQC)} of the neutral combinations of free-ion activities."""
    d = {v: math.log10(liq.activity[v]) - ref["la_" + p] for v, p in ions.items()}
    return {
        k: sum(n * d[i] for i, n in st.items())
        for k, st in PRODUCTS.items()
        if all(i in d for i in st)
    }


def ions_by_factor(factors):
    import velmora

    s = velmora.System("seawater-CO2-H2O")
    base = velmora.seawater(carbonate=True)
    liqs = [s.liquid(298.15, molalities=seawater(f, base)) for f in factors]
    cols = {"aw": 'ACT("H2O")', "mu": "MU"}
    for p in IONS.values():
        cols.update({"la_" + p: f'LA("{p}")', "lg_" + p: f'LG("{p}")', "m_" + p: f'MOL("{p}")'})
    refs = punch([(25.0, totals(seawater(f, base))) for f in factors], cols)
    for f, liq, ref in zip(factors, liqs, refs):
        print(
            f"seawater x{f:g}: a_w {liq.water_activity:.4f} / {ref['aw']:.4f}, ionic strength "
            f"{liq.ionic_strength:.3f} / {ref['mu']:.3f} mol/kg (velmora / PHREEQC)"
        )
        print(f"  {'ion':<6} {'free m':>21} {'log10 gamma':>15} {'log10 a':>15}")
        for v, p in IONS.items():
            print(
                f"  {v:<6} {liq.molality[v]:10.4g}/{ref['m_' + p]:<10.4g} "
                f"{math.log10(liq.gamma_molal[v]):+7.3f}/{ref['lg_' + p]:+7.3f} "
                f"{math.log10(liq.activity[v]):+7.3f}/{ref['la_' + p]:+7.3f}"
            )
        pairs = ", ".join(
            f"{k} {liq.molality[k]:.3g}" for k in ("CaSO4(aq)", "CaCO3(aq)", "MgCO3(aq)")
        )
        print(f"  velmora's ion pairs [mol/kg]: {pairs}")
        d = d_log_products(liq, ref)
        print(
            "  d log10 product: "
            + ", ".join(f"{k} {v:+.3f}" for k, v in d.items())
            + f"; n log10 a_w per water {math.log10(liq.water_activity / ref['aw']):+.4f}"
        )


def sub_brines(factor=10.0):
    import velmora

    base = {k: v * factor for k, v in velmora.seawater().items()}
    cases = [
        ("NaCl", ("NaCl",)),
        ("NaCl+MgCl2", ("NaCl", "MgCl2")),
        ("NaCl+Na2SO4", ("NaCl", "Na2SO4")),
        ("NaCl+MgCl2+CaCl2", ("NaCl", "MgCl2", "CaCl2")),
        ("NaCl+Na2SO4+CaCl2", ("NaCl", "Na2SO4", "CaCl2")),
        ("NaCl+MgCl2+Na2SO4", ("NaCl", "MgCl2", "Na2SO4")),
        ("+KCl", ("NaCl", "MgCl2", "Na2SO4", "KCl")),
        ("+CaCl2 (+SrCl2)", tuple(base)),
    ]
    s = velmora.System("seawater-H2O")
    feeds, liqs = [], []
    for _, keep in cases:
        m = {k: v for k, v in base.items() if k in keep}
        m.setdefault("CaCl2", 1e-4)
        m.setdefault("Na2SO4", 1e-4)
        feeds.append((25.0, totals(m)))
        liqs.append(s.liquid(298.15, molalities=m))
    ions = {k: IONS[k] for k in ("Ca++", "SO4--", "Na+", "Cl-", "Mg++")}
    cols = {"aw": 'ACT("H2O")', **{"la_" + p: f'LA("{p}")' for p in ions.values()}}
    refs = punch(feeds, cols)
    print(f"\nseawater x{factor:g} taken apart (its own molalities), d log10 velmora - PHREEQC:")
    print(
        f"  {'brine':<20} {'I':>5} {'a_w':>15} {'NaCl':>7} {'CaSO4':>7} {'CaCl2':>7} "
        f"{'Na2SO4':>7} {'CaSO4(aq)/Ca':>12}"
    )
    for (name, _), liq, ref in zip(cases, liqs, refs):
        d = d_log_products(liq, ref, ions)
        ca = liq.molality["Ca++"] + liq.molality["CaSO4(aq)"]
        print(
            f"  {name:<20} {liq.ionic_strength:5.2f} {liq.water_activity:.4f}/{ref['aw']:.4f} "
            f"{d['halite']:+7.3f} {d['gypsum']:+7.3f} {d['CaCl2']:+7.3f} {d['Na2SO4']:+7.3f} "
            f"{liq.molality['CaSO4(aq)'] / ca:12.3f}"
        )


def halite_thenardite():
    import velmora
    from validate_na2so4_nacl import MEASURED, MW

    s = velmora.System("brine-H2O")
    rows, feeds = [], []
    for (T, case), (nacl, na2so4) in MEASURED.items():
        if case != "both":
            continue
        water = 100.0 - nacl - na2so4
        m = {"NaCl": nacl / MW["NaCl"] / water * 1e3, "Na2SO4": na2so4 / MW["Na2SO4"] / water * 1e3}
        rows.append((T, m, s.liquid(T, molalities=m)))
        feeds.append(
            (T - 273.15, {"Na": m["NaCl"] + 2 * m["Na2SO4"], "Cl": m["NaCl"], "S(6)": m["Na2SO4"]})
        )
    refs = punch(
        feeds, {"aw": 'ACT("H2O")', "halite": 'SI("Halite")', "thenardite": 'SI("Thenardite")'}
    )
    print(
        "\nmeasured liquids saturated with halite and thenardite: index velmora / PHREEQC "
        "(0 meets the data)"
    )
    for (T, m, liq), ref in zip(rows, refs):
        si = liq.saturation_indices
        print(
            f"  {T - 273.15:3.0f} C, NaCl {m['NaCl']:.3f} + Na2SO4 {m['Na2SO4']:.3f} mol/kg: "
            f"halite {si['halite']:+.3f} / {ref['halite']:+.3f}, "
            f"thenardite {si['thenardite']:+.3f} / {ref['thenardite']:+.3f}; "
            f"a_w {liq.water_activity:.4f} / {ref['aw']:.4f}"
        )


def sodium_among_mgcl2(values=(350.0, 430.0)):
    import velmora
    from velmora.enginebridge import databank
    from velmora.regress.core import Parameter, overlay

    water = 100.0 - 0.32 - 33.80
    eutonic = {"NaCl": 0.32 / 58.443 / water * 1e3, "MgCl2": 33.80 / 95.211 / water * 1e3}
    traces = [
        ("MgCl2 in 6 NaCl", {"NaCl": 6.0, "MgCl2": 1e-3}, ("Mg++", "Cl-")),
        ("NaCl in 4.5 MgCl2", {"NaCl": 1e-3, "MgCl2": 4.5}, ("Na+", "Cl-")),
    ]
    ions = {"Na+": "Na+", "Mg++": "Mg+2", "Cl-": "Cl-"}

    def feed(m):
        return {"Na": m["NaCl"], "Mg": m["MgCl2"], "Cl": m["NaCl"] + 2 * m["MgCl2"]}

    cols = {
        "halite": 'SI("Halite")',
        "bischofite": 'SI("Bischofite")',
        **{"lg_" + p: f'LG("{p}")' for p in ions.values()},
    }
    refs = punch([(10.0, feed(eutonic))] + [(25.0, feed(m)) for _, m, _ in traces], cols)
    print(
        "\nsodium among magnesium chloride: the measured halite-bischofite liquid at 10 C "
        f"(NaCl {eutonic['NaCl']:.4f} + MgCl2 {eutonic['MgCl2']:.3f} mol/kg); PHREEQC halite "
        f"{refs[0]['halite']:+.3f}, bischofite {refs[0]['bischofite']:+.3f}"
    )
    db = databank.active()
    key = ("Cl-", "Na+", "Mg++")
    shipped = next(
        r["U_A"] for r in db.mixing_records(key) if {r["ion_1"], r["ion_2"]} == {"Na+", "Mg++"}
    )
    base = velmora.seawater(carbonate=True)
    for u in (shipped, *values):
        ov = None if u == shipped else overlay([Parameter("ion_mixing", key, "U_A", u)], [u], db)
        s = velmora.System("seawater-H2O", databank=[ov] if ov else None)
        extra = {"CaCl2": 1e-6, "Na2SO4": 1e-6}
        si = s.liquid(283.15, molalities={**eutonic, **extra}).saturation_indices
        cells = [
            f"U {u:5.0f}{' (shipped)' if u == shipped else '          '}: eutonic halite "
            f"{si['halite']:+.3f}, bischofite {si['bischofite']:+.3f}"
        ]
        for (name, m, (c, a)), ref in zip(traces, refs[1:]):
            g = s.liquid(298.15, molalities={**m, **extra}).mean_gamma(c, a)
            nc, na = (1, 2) if c == "Mg++" else (1, 1)
            gp = 10 ** ((nc * ref["lg_" + ions[c]] + na * ref["lg_" + ions[a]]) / (nc + na))
            cells.append(f"{name} {100 * (g / gp - 1):+.0f} %")
        sw = velmora.System("seawater-CO2-H2O", databank=[ov] if ov else None)
        si10 = sw.liquid(298.15, molalities=seawater(10.0, base)).saturation_indices
        cells.append(f"x10 halite {si10['halite']:+.3f}, calcite {si10['calcite']:+.3f}")
        print("  " + "; ".join(cells))


def complex_salting(values=(6.0, 8.0, 10.0, 12.0)):
    import velmora
    from velmora.enginebridge import databank
    from velmora.regress.core import Parameter, overlay

    db = databank.active()
    key = ("CaSO4(aq)", "Na+", "Cl-")
    base = velmora.seawater(carbonate=True)
    print(
        "\nthe CaSO4 pair's own tau_m_ca with Na+ Cl- (default 8): gypsum in NaCl [mol/kg] "
        "(ln gamma of the pair), seawater x10 gypsum index"
    )
    for v in values:
        ov = overlay([Parameter("electrolyte_pair", key, "A_m_ca", v)], [v], db)
        s = velmora.System("CaSO4-NaCl-H2O", databank=[ov])
        cells = []
        for n in (2.0, 4.0, 6.0):
            liq = s.liquid(298.15, molalities={"NaCl": n, "CaSO4": 0.1}, solids=True)
            cells.append(
                f"{n:g} NaCl {liq.apparent['CaSO4']:.4f} "
                f"({math.log(liq.gamma_molal['CaSO4(aq)']):+.2f})"
            )
        sw = velmora.System("seawater-CO2-H2O", databank=[ov])
        si10 = sw.liquid(298.15, molalities=seawater(10.0, base)).saturation_indices
        print(f"  tau_m_ca {v:4g}: " + ", ".join(cells) + f"; x10 gypsum {si10['gypsum']:+.3f}")


def mgso4_probe(ms=(0.1, 0.2, 0.3, 0.5, 0.7, 1.0, 1.5, 2.0, 2.5, 3.0)):
    import velmora
    from velmora import regress
    from velmora.enginebridge import databank
    from velmora.regress.core import salt_points

    refs = punch(
        [(25.0, {"Mg": m, "S(6)": m}) for m in ms], {"mg": 'LG("Mg+2")', "so4": 'LG("SO4-2")'}
    )
    gammas = [10 ** ((r["mg"] + r["so4"]) / 2) for r in refs]
    ds = regress.DataSet(
        "pitzer.dat MgSO4 (probe)",
        "gamma_mean",
        "MgSO4-H2O",
        "MgSO4",
        salt_points("MgSO4", [(298.15, m, g) for m, g in zip(ms, gammas)]),
        "PHREEQC 3 (phreeqpython), pitzer.dat",
        sigma=0.02,
    )
    db = databank.active()
    key = ("H2O", "Mg++", "SO4--")
    a1, _, a2, _, _, _ = db.electrolyte_pair(*key)
    res = regress.fit(
        [ds],
        [
            regress.Parameter("electrolyte_pair", key, "A_m_ca", a1, 0.0, 20.0),
            regress.Parameter("electrolyte_pair", key, "A_ca_m", a2, -15.0, 5.0),
        ],
    )
    shipped = velmora.System("MgSO4-H2O")
    dev = [
        shipped.liquid(298.15, molalities={"MgSO4": m}).gamma_mean["MgSO4"] / g - 1
        for m, g in zip(ms, gammas)
    ]
    print(
        "\nMgSO4 gamma+- against pitzer.dat, shipped pair: "
        + ", ".join(f"{m:g} {100 * d:+.0f} %" for m, d in zip(ms, dev))
    )
    ((_, rows),) = res.evaluated
    aard = 100 * sum(abs(c / v - 1) for *_, v, c in rows) / len(rows)
    print(
        f"  refitted on it to 3 mol/kg: tau {res.theta[0]:.2f} / {res.theta[1]:.2f}, "
        f"AARD {aard:.1f} %"
    )
    base = velmora.seawater(carbonate=True)
    phases = ("calcite", "gypsum", "anhydrite", "halite", "barite", "celestite")
    for label, ov in (("shipped", None), ("refitted", res.overlay)):
        sw = velmora.System("seawater-CO2-H2O", databank=[ov] if ov else None)
        si = sw.liquid(298.15, molalities=seawater(10.0, base)).saturation_indices
        print(f"  x10, {label:<8}: " + ", ".join(f"{k} {si[k]:+.3f}" for k in phases))


def main():
    warnings.simplefilter("ignore")
    ions_by_factor((1.0, 4.0, 8.0, 10.0))
    sub_brines(10.0)
    halite_thenardite()
    sodium_among_mgcl2()
    complex_salting()
    mgso4_probe()


if __name__ == "__main__":
    main()
