"""The main job on the built-in data: `make demo` (python -m velmora.demo).

1. A flowsheet of 30 wt% aqueous MEA with CO2 (and N2), the built-in chemistry MEA-CO2-H2O
   attached through brinequil.attach; the parameter report comes from the engine the first
   time and from the report cache afterwards (the output says which).
2. CO2 partial pressure against loading at 40 and 120 C by brinequil's bubble operation on
   the attached model, beside the measurements of Jou, Mather & Otto (1995).
3. The NaCl mean activity coefficient against molality at 25 C (speciation of an attached
   NaCl-water model), beside Robinson & Stokes (1959).
4. One TP flash of a flue-gas-like feed contacting the MEA solution.

Tables go to standard output, the plot to demo-output/demo.png in the current folder.
"""

import math
import os
import sys
import time

from velmora.enginebridge import databank
from velmora.regress import data as published

W_MEA = 0.30                      # mass fraction of MEA in the unloaded solution
MW = {"WATER": databank.species("H2O")["molar_mass"], "MEA": databank.species("MEA")["molar_mass"]}
# The measurements the MEA pairs were fitted to, by temperature: {t [C]: [(loading, p_CO2 [kPa])]}
JOU_1995 = {}
for _T, _a, _p in published.JOU_1995:
    JOU_1995.setdefault(round(_T - 273.15, 2), []).append((_a, _p))

ROBINSON_STOKES = [(0.1, 0.778), (0.5, 0.681), (1.0, 0.657), (2.0, 0.668), (4.0, 0.783), (6.0, 0.986)]

_T0 = time.time()


def step(msg):
    print(f"[{time.time() - _T0:6.1f} s] {msg}", flush=True)


def flowsheet(components, aliases, henry, chem_name):
    from velmora import enginebridge, phasekit
    pp = enginebridge.property_package(components, aliases, henry_comps=henry, method="ENRTL")
    return phasekit.Flowsheet(pp, {"aliases": aliases}, {chem_name: chem_name})


def attach(fs):
    """Attach the flowsheet's chemistry; say whether the report came from the cache."""
    import velmora.brinequil as bq
    from velmora import ionchem
    cid, chem = next(iter(ionchem.chemistries(fs).items()))
    aliases = dict(fs.meta["aliases"])
    henry = list(fs.pp.henry_comps)
    path = os.path.join(bq._cache_dir(), bq.report_key(aliases, chem, henry) + ".rep")
    cached = os.path.isfile(path)
    if cached and not _current(path):
        step(f"chemistry {cid}: the cached report was written from another databank: asking the engine again")
        bq.parameter_report(aliases, cid, chem, henry, refresh=True)
        cached = False
    el = bq.attach(fs)
    if el is None:
        raise SystemExit(f"demo: chemistry {cid} could not be attached (see the message above)")
    how = "read from the cache (the engine was not run)" if cached else \
        "written by the engine from the databank and stored in the cache"
    step(f"chemistry {cid}: parameter report {how}: {path}")
    step(f"chemistry {cid}: {len(el.names)} true species: {', '.join(el.names)}")
    return el


def _current(path):
    """True when the cached report at path was written from the installed databank."""
    with open(path, errors="ignore") as fh:
        head = fh.read(2000)
    return f"# databank {databank.digest()}" in head


def mea_feed(loading, kg_solution=1.0):
    """Apparent amounts (kmol) of kg_solution kg of unloaded 30 wt% MEA, loaded with CO2."""
    m = W_MEA / MW["MEA"]
    w = (1.0 - W_MEA) / MW["WATER"]
    return {"WATER": w * kg_solution, "MEA": m * kg_solution, "CO2": loading * m * kg_solution, "N2": 0.0}


def co2_curves(el):
    rows = []
    for t_c, data in JOU_1995.items():
        T = t_c + 273.15
        step(f"CO2 partial pressure over 30 wt% MEA at {t_c:.0f} C ({len(data)} loadings, bubble points)")
        for loading, p_meas in data:
            P, y, _, _ = el.bubble(mea_feed(loading), T)
            rows.append((t_c, loading, p_meas, P * y["CO2"] / 1e3, P / 1e3))
    return rows


def print_co2(rows):
    print()
    print("CO2 over 30 wt% aqueous MEA (measured: Jou, Mather & Otto 1995)")
    print(f"{'T [C]':>6} {'loading':>8} {'p_CO2 meas [kPa]':>17} {'p_CO2 calc [kPa]':>17} {'calc/meas':>10} {'P bubble [kPa]':>15}")
    for t_c, a, pm, pc, P in rows:
        print(f"{t_c:6.0f} {a:8.4f} {pm:17.5g} {pc:17.5g} {pc / pm:10.2f} {P:15.5g}")
    inside = [pc / pm for _, a, pm, pc, _ in rows if 0.1 <= a <= 0.5]
    worst = max(max(r, 1 / r) for r in inside)
    print(f"loadings 0.1-0.5: largest factor between calculation and measurement {worst:.2f}")


NACL_TABLE = [0.05, 0.1, 0.2, 0.5, 1.0, 1.5, 2.0, 3.0, 4.0, 5.0, 6.0]


def nacl_curve(el, molalities=NACL_TABLE):
    rows = []
    names = list(el.names)
    iw, ina, icl = names.index("WATER"), names.index("Na+"), names.index("Cl-")
    for m in molalities:
        n, lng = el.true_amounts({"WATER": 1000.0 / MW["WATER"], "NaCl": m}, 298.15)
        x_w = n[iw] / sum(n)
        g = math.exp(0.5 * (lng[ina] + lng[icl]) + math.log(x_w))
        rows.append((m, g))
    return rows


def print_nacl(rows):
    ref = dict(ROBINSON_STOKES)
    print()
    print("NaCl(aq) at 25 C, mean ionic activity coefficient (molality scale)")
    print(f"{'m [mol/kg]':>10} {'gamma+- calc':>13} {'gamma+- R&S':>12} {'deviation':>10}")
    for m, g in rows:
        r = ref.get(m)
        extra = f"{r:12.3f} {100 * (g / r - 1):9.1f}%" if r else ""
        print(f"{m:10.2f} {g:13.4f} {extra}")


def flue_gas_flash(fs):
    from velmora import phasekit
    pp = fs.pp
    # 1 kmol flue gas (12 % CO2, 7 % H2O, 81 % N2) over 20 kg of lean 30 wt% MEA (loading 0.2)
    solv = mea_feed(0.2, kg_solution=20.0)
    feed = {"WATER": solv["WATER"] + 0.07, "MEA": solv["MEA"], "CO2": solv["CO2"] + 0.12, "N2": 0.81}
    tot = sum(feed.values())
    z = [feed[c] / tot for c in pp.components]
    T, P = 313.15, 101325.0
    step(f"TP flash of a flue-gas-like feed at {T - 273.15:.0f} C, {P / 1e3:.3f} kPa")
    res = phasekit.flash(pp, z, P, T=T)
    print()
    print("TP flash: 1 kmol flue gas (12 % CO2, 7 % H2O, 81 % N2) with 20 kg lean 30 wt% MEA (loading 0.2)")
    print(f"feed {tot:.4f} kmol; vapor fraction beta = {res['beta']:.5f}; H = {res['H'] / 1e6:.2f} MJ/kmol; "
          f"S = {res['S'] / 1e3:.2f} kJ/(kmol K); {res['iterations']} iterations")
    print(f"{'component':>10} {'z':>10} {'x (liquid)':>12} {'y (vapor)':>12}")
    for k, c in enumerate(pp.components):
        print(f"{c:>10} {z[k]:10.5f} {res['x'][k]:12.5g} {res['y'][k]:12.5g}")
    true = res.get("true") or {}
    if true:
        print("true liquid [kmol per kmol apparent liquid]: "
              + ", ".join(f"{s} {v:.4g}" for s, v in true.items()))
    return res


def plot(co2_rows, nacl_rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(11, 4.5))
    for t_c, color in ((40.0, "tab:blue"), (120.0, "tab:red")):
        calc = sorted((a, pc) for t, a, _, pc, _ in co2_rows if t == t_c)
        ax1.semilogy([a for a, _ in calc], [p for _, p in calc], "-", color=color, label=f"{t_c:.0f} °C model")
        ax1.semilogy([a for a, _ in JOU_1995[t_c]], [p for _, p in JOU_1995[t_c]], "o", color=color,
                     mfc="none", label=f"{t_c:.0f} °C Jou et al. 1995")
    ax1.set_xlabel("loading [mol CO2 / mol MEA]")
    ax1.set_ylabel("p CO2 [kPa]")
    ax1.set_title("CO2 over 30 wt% aqueous MEA")
    ax1.legend(fontsize=8)
    ax2.plot([m for m, _ in nacl_rows], [g for _, g in nacl_rows], "-", label="model (Chen et al. 1982 pair)")
    ax2.plot([m for m, _ in ROBINSON_STOKES], [g for _, g in ROBINSON_STOKES], "o", mfc="none",
             label="Robinson & Stokes 1959")
    ax2.set_xlabel("molality NaCl [mol/kg]")
    ax2.set_ylabel("mean activity coefficient")
    ax2.set_title("NaCl(aq), 25 °C")
    ax2.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def dense_co2(el):
    """Model curves on a fine loading grid for the plot."""
    rows = []
    for t_c in JOU_1995:
        for i in range(61):
            a = 0.002 * (0.66 / 0.002) ** (i / 60)        # 0.002 ... 0.66, log-spaced
            P, y, _, _ = el.bubble(mea_feed(a), t_c + 273.15)
            rows.append((t_c, a, None, P * y["CO2"] / 1e3, P / 1e3))
    return rows


def main():
    import logging
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("           velmora %(levelname)s: %(message)s"))
    logger = logging.getLogger("velmora")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    step("velmora demo: electrolyte liquids on the built-in databank")
    aliases = {"WATER": "H2O", "MEA": "MEA", "CO2": "CO2", "N2": "N2"}
    fs = flowsheet(["WATER", "MEA", "CO2", "N2"], aliases, ["CO2", "N2"], "MEA-CO2-H2O")
    step("flowsheet: 30 wt% aqueous MEA with CO2 and N2 (Henry components CO2, N2), chemistry MEA-CO2-H2O")
    el = attach(fs)
    co2_rows = co2_curves(el)
    print_co2(co2_rows)

    fs_nacl = flowsheet(["WATER", "NaCl"], {"WATER": "H2O", "NaCl": "NaCl"}, [], "NaCl-H2O")
    step("flowsheet: NaCl in water, chemistry NaCl-H2O (NaCl dissociates completely)")
    el_nacl = attach(fs_nacl)
    step("NaCl mean activity coefficient at 25 C (speciation of the attached NaCl-water model)")
    nacl_rows = nacl_curve(el_nacl)
    print_nacl(nacl_rows)

    flue_gas_flash(fs)

    os.makedirs("demo-output", exist_ok=True)
    path = os.path.join("demo-output", "demo.png")
    step("drawing the model curves beside the measurements")
    plot(dense_co2(el), nacl_curve(el_nacl, [0.01 * 600 ** (i / 60) for i in range(61)]), path)
    step(f"plot written: {os.path.abspath(path)}")
    step("done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
