"""The main job on the built-in data: `make demo` (python -m velmora.demo), through the front door.

1. The built-in chemistry MEA-CO2-H2O with N2 as a gas (velmora.System); its parameter report
   comes from the engine the first time and from the report cache afterwards (the output says
   which).
2. CO2 partial pressure over 30 wt% MEA against loading at 40 and 120 C, beside the measurements
   of Jou, Mather & Otto (1995).
3. NaCl in water at 25 C: mean ionic activity and osmotic coefficients against molality, beside
   Robinson & Stokes (1959).
4. One verified TP flash of a flue-gas-like feed contacting the MEA solution.

Tables go to standard output, the plot to demo-output/demo.png in the current folder.
"""

import os
import sys
import time
import warnings

import velmora
from velmora.regress import data as published

W_MEA = 0.30  # mass fraction of MEA in the unloaded solution
# The measurements the MEA pairs were fitted to, by temperature: {t [C]: [(loading, p_CO2 [kPa])]}
JOU_1995 = {}
for _T, _a, _p in published.JOU_1995:
    JOU_1995.setdefault(round(_T - 273.15, 2), []).append((_a, _p))

# Robinson & Stokes (1959), NaCl(aq) at 25 C: (m [mol/kg], gamma+-, osmotic coefficient)
ROBINSON_STOKES = [
    (0.1, 0.778, 0.932),
    (0.5, 0.681, 0.920),
    (1.0, 0.657, 0.936),
    (2.0, 0.668, 0.983),
    (4.0, 0.783, 1.116),
    (6.0, 0.986, 1.271),
]

_T0 = time.time()


def step(msg):
    print(f"[{time.time() - _T0:6.1f} s] {msg}", flush=True)


def system(chemistry, gases=()):
    """The System of a built-in chemistry; say where its parameter report came from."""
    sysm = velmora.System(chemistry, gases=gases)
    how = {
        "cache": "read from the cache (the engine was not run)",
        "engine": "written by the engine from the databank and stored in the cache",
    }.get(sysm.report_origin, sysm.report_origin)
    step(f"chemistry {sysm.name}: parameter report {how}")
    step(
        f"chemistry {sysm.name}: components {', '.join(sysm.components)}; "
        f"{len(sysm.species)} true species: {', '.join(sysm.species)}"
    )
    return sysm


def mea_liquid(mea, T, loading):
    return mea.liquid(T, mass_fractions={"MEA": W_MEA}, loading=loading)


def co2_curves(mea):
    rows = []
    for t_c, data in JOU_1995.items():
        T = t_c + 273.15
        step(f"CO2 partial pressure over 30 wt% MEA at {t_c:.0f} C ({len(data)} loadings)")
        for loading, p_meas in data:
            liq = mea_liquid(mea, T, loading)
            rows.append(
                (
                    t_c,
                    loading,
                    p_meas,
                    liq.partial_pressures["CO2"] / 1e3,
                    liq.bubble_pressure / 1e3,
                )
            )
    return rows


def print_co2(rows):
    print()
    print("CO2 over 30 wt% aqueous MEA (measured: Jou, Mather & Otto 1995)")
    print(
        f"{'T [C]':>6} {'loading':>8} {'p_CO2 meas [kPa]':>17} {'p_CO2 calc [kPa]':>17} "
        f"{'calc/meas':>10} {'P bubble [kPa]':>15}"
    )
    for t_c, a, pm, pc, P in rows:
        print(f"{t_c:6.0f} {a:8.4f} {pm:17.5g} {pc:17.5g} {pc / pm:10.2f} {P:15.5g}")
    inside = [pc / pm for _, a, pm, pc, _ in rows if 0.1 <= a <= 0.5]
    worst = max(max(r, 1 / r) for r in inside)
    print(f"loadings 0.1-0.5: largest factor between calculation and measurement {worst:.2f}")


NACL_TABLE = [0.05, 0.1, 0.2, 0.5, 1.0, 1.5, 2.0, 3.0, 4.0, 5.0, 6.0]


def nacl_curve(brine, molalities=NACL_TABLE):
    rows = []
    for m in molalities:
        liq = brine.liquid(298.15, molalities={"NaCl": m})
        rows.append((m, liq.gamma_mean["NaCl"], liq.osmotic_coefficient))
    return rows


def print_nacl(rows):
    ref = {m: (g, phi) for m, g, phi in ROBINSON_STOKES}
    print()
    print("NaCl(aq) at 25 C (molality scale; measured: Robinson & Stokes 1959)")
    print(
        f"{'m [mol/kg]':>10} {'gamma+- calc':>13} {'R&S':>7} {'dev':>7} {'phi calc':>9} "
        f"{'R&S':>7} {'dev':>7}"
    )
    for m, g, phi in rows:
        extra = ""
        if m in ref:
            rg, rp = ref[m]
            extra = (
                f"{rg:7.3f} {100 * (g / rg - 1):6.1f}% {phi:9.4f} {rp:7.3f} "
                f"{100 * (phi / rp - 1):6.1f}%"
            )
        else:
            extra = f"{'':7} {'':7} {phi:9.4f}"
        print(f"{m:10.2f} {g:13.4f} {extra}")


def flue_gas_flash(mea):
    # 1 kmol flue gas (12 % CO2, 7 % H2O, 81 % N2) over 20 kg of lean 30 wt% MEA (loading 0.2)
    lean = mea.composition(mass_fractions={"MEA": W_MEA}, loading=0.2)  # mol in 1 kg
    feed = {c: 20.0 * v for c, v in lean.items()}  # mol in 20 kg
    for c, share in (("CO2", 0.12), ("H2O", 0.07), ("N2", 0.81)):
        feed[c] += 1000.0 * share  # mol in 1 kmol gas
    T, P = 313.15, 101325.0
    step(f"TP flash of a flue-gas-like feed at {T - 273.15:.0f} C, {P / 1e3:.3f} kPa")
    r = mea.flash(feed, P, T=T)
    print()
    print(
        "TP flash: 1 kmol flue gas (12 % CO2, 7 % H2O, 81 % N2) with 20 kg lean 30 wt% MEA "
        "(loading 0.2)"
    )
    print(r)
    left = r.vapor["CO2"] * r.vapor_fraction * sum(feed.values()) / feed["CO2"]
    print(f"CO2 captured: {100 * (1 - left):.1f} % of the CO2 fed; liquid pH {r.liquid.pH:.2f}")
    return r


def plot(co2_rows, nacl_rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(11, 4.5))
    for t_c, color in ((40.0, "tab:blue"), (120.0, "tab:red")):
        calc = sorted((a, pc) for t, a, _, pc, _ in co2_rows if t == t_c)
        ax1.semilogy(
            [a for a, _ in calc],
            [p for _, p in calc],
            "-",
            color=color,
            label=f"{t_c:.0f} °C model",
        )
        ax1.semilogy(
            [a for a, _ in JOU_1995[t_c]],
            [p for _, p in JOU_1995[t_c]],
            "o",
            color=color,
            mfc="none",
            label=f"{t_c:.0f} °C Jou et al. 1995",
        )
    ax1.set_xlabel("loading [mol CO2 / mol MEA]")
    ax1.set_ylabel("p CO2 [kPa]")
    ax1.set_title("CO2 over 30 wt% aqueous MEA")
    ax1.legend(fontsize=8)
    ax2.plot(
        [m for m, _, _ in nacl_rows],
        [g for _, g, _ in nacl_rows],
        "-",
        label="gamma+- model (pair fitted to Pitzer, Peiper & Busey 1984)",
    )
    rs_m = [m for m, _, _ in ROBINSON_STOKES]
    ax2.plot(
        rs_m,
        [g for _, g, _ in ROBINSON_STOKES],
        "o",
        mfc="none",
        label="gamma+- Robinson & Stokes 1959",
    )
    ax2.plot(
        [m for m, _, _ in nacl_rows],
        [p for _, _, p in nacl_rows],
        "-",
        label="osmotic coefficient model",
    )
    ax2.plot(
        rs_m, [p for _, _, p in ROBINSON_STOKES], "s", mfc="none", label="osmotic coefficient R&S"
    )
    ax2.set_xlabel("molality NaCl [mol/kg]")
    ax2.set_ylabel("gamma+- and osmotic coefficient")
    ax2.set_title("NaCl(aq), 25 °C")
    ax2.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def dense_co2(mea):
    """Model curves on a fine loading grid for the plot."""
    rows = []
    for t_c in JOU_1995:
        for i in range(61):
            a = 0.002 * (0.66 / 0.002) ** (i / 60)  # 0.002 ... 0.66, log-spaced
            liq = mea_liquid(mea, t_c + 273.15, a)
            rows.append(
                (t_c, a, None, liq.partial_pressures["CO2"] / 1e3, liq.bubble_pressure / 1e3)
            )
    return rows


def main():
    import logging

    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("           velmora %(levelname)s: %(message)s"))
    logger = logging.getLogger("velmora")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    # The MEA constants and pairs are extrapolated at 120 C; the tables show how well.
    warnings.simplefilter("ignore", velmora.RangeWarning)
    step("velmora demo: electrolyte liquids on the built-in databank, through velmora.System")
    mea = system("MEA-CO2-H2O", gases=["N2"])
    co2_rows = co2_curves(mea)
    print_co2(co2_rows)

    brine = system("NaCl-H2O")
    step("NaCl mean ionic activity and osmotic coefficients at 25 C")
    nacl_rows = nacl_curve(brine)
    print_nacl(nacl_rows)

    flue_gas_flash(mea)

    os.makedirs("demo-output", exist_ok=True)
    path = os.path.join("demo-output", "demo.png")
    step("drawing the model curves beside the measurements")
    plot(dense_co2(mea), nacl_curve(brine, [0.01 * 600 ** (i / 60) for i in range(61)]), path)
    step(f"plot written: {os.path.abspath(path)}")
    step("done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
