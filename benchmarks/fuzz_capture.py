"""Fuzz of the capture models: random but physically sensible cases away from
``robust_capture.py``'s hypercube, each answer checked against quantities worked out here,
independently of the columns' own checks:

- elements C, H, N, O (and Ar) counted from the formulas below over the streams in and out;
- energy from fresh ``System.liquid`` states and the package's vapor enthalpy
  (``phasekit.enthalpy_vapor``) of every stream in and out;
- capture from the gas streams against the CO2 the liquid took up;
- profiles: y_CO2 falls up the absorber, the loading rises down it; the stripper's loading
  falls and its T rises down the stages;
- flooding reported (finite, the largest of its profile); the stripper's duty positive, its
  parts (sensible, steam) recomputed, the reboiler at the lean liquid's bubble point; a duty
  and a lean loading giving each other back; the exchanger's duties equal on both sides;
- ``pilot_runs`` unchanged without the measured columns; the same inputs twice, the same digits.

A raised ConvergenceError / NoSolutionError, or a ValueError naming the unit (an input
refused), counts as raised; any other exception, or an answer failing a check, as failed.

    OPENBLAS_NUM_THREADS=1 .venv/bin/python benchmarks/fuzz_capture.py [scale] [seed] [--jobs 1]
        [--only NAME-PART]

``scale`` multiplies the number of cases of each class (default 1).
"""

import math
import sys
import time
import traceback
import warnings
from collections import defaultdict

import numpy as np

import velmora
from velmora import capture, phasekit
from velmora.errors import ConvergenceError, NoSolutionError

# elements per molecule (the formulas: MEA HOCH2CH2NH2, MDEA CH3N(CH2CH2OH)2)
FORMULA = {
    "CO2": {"C": 1, "O": 2},
    "H2O": {"H": 2, "O": 1},
    "MEA": {"C": 2, "H": 7, "N": 1, "O": 1},
    "MDEA": {"C": 5, "H": 13, "N": 1, "O": 2},
    "N2": {"N": 2},
    "O2": {"O": 2},
    "Ar": {"Ar": 1},
}
ELEM_TOL = 1e-7  # the columns promise 1e-8; summation order costs far less than this
ENERGY_TOL = 1e-5  # the columns promise 1e-6
MW = {"CO2": 0.04401, "H2O": 0.018015, "MEA": 0.06108, "MDEA": 0.11916}  # kg/mol
FINE_POINTS = 30  # interior duties where a UA exchanger's sides are compared
UNITS = ("absorber", "stripper", "flue gas", "lean solvent", "lean/rich exchanger",
         "capture loop", "gas component")  # fmt: skip


class Fail(Exception):
    pass


def expect(ok, what):
    if not ok:
        raise Fail(what)


def elements(streams):
    tot = defaultdict(float)
    for s in streams:
        for c, n in s.items():
            for e, k in FORMULA[c].items():
                tot[e] += k * n
    return tot


def check_elements(ins, outs, where):
    a, b = elements(ins), elements(outs)
    for e in a:
        if a[e] > 0.0:
            off = abs(a[e] - b.get(e, 0.0)) / a[e]
            expect(off <= ELEM_TOL, f"{where}: element {e} off by {off:.3g}")


def h_liq(system, flows, T):
    """Enthalpy flow [W] of a liquid from a fresh state."""
    flows = {c: v for c, v in flows.items() if v != 0.0}
    return system.liquid(T, flows).H * sum(flows.values())


def h_gas(system, flows, T, P):
    """Enthalpy flow [W] of a gas: the package's vapor enthalpy."""
    tot = sum(flows.values())
    y = [flows.get(c, 0.0) / tot for c in system.components]
    return tot * phasekit.enthalpy_vapor(system.pp, T, y, P) / 1000.0


def close(a, b, tol, what):
    expect(abs(a - b) <= tol * max(abs(a), abs(b), 1e-300), f"{what}: {a:.10g} vs {b:.10g}")


# ----------------------------------------------------------------------------- systems

_SYS = {}


def system(amine, gases=("N2", "O2")):
    key = (amine, tuple(gases))
    if key not in _SYS:
        _SYS[key] = velmora.System(f"{amine}-CO2-H2O", gases=list(gases))
    return _SYS[key]


def solvent(amine, kg_h, wfrac, loading):
    f = kg_h / 3600.0
    a = wfrac * f / MW[amine] / (1.0 + loading * wfrac / MW[amine] * MW["CO2"])
    w = (1.0 - wfrac) / wfrac * a * MW[amine] / MW["H2O"]
    return {"CO2": loading * a, "H2O": w, amine: a}


def draw_gas(rng, sysm):
    gas_T = rng.uniform(303.15, 343.15)
    P = rng.uniform(100e3, 125e3)
    gas_P = P * rng.uniform(0.95, 1.10)  # the gas saturated at its own pressure
    co2 = rng.uniform(0.03, 0.20)
    o2 = rng.uniform(0.0, 0.12) if "O2" in sysm.components else 0.0
    gas = capture.flue_gas(sysm, rng.uniform(1000.0, 4000.0), gas_T, gas_P, co2, o2)
    if "Ar" in sysm.components:
        ar = 0.009 * gas["N2"]
        gas = dict(gas, Ar=ar, N2=gas["N2"] - ar)
    if rng.random() < 0.2:  # dry gas
        gas = {c: v for c, v in gas.items() if c != "H2O"}
    return gas, gas_T, P, (co2, o2, gas_P)


# ----------------------------------------------------------------------------- checks


def check_absorber(sysm, r, gas, gas_T, lean, lean_T, P, amine, packed):
    gi, go, lo = r.gas_in, r.gas_out, r.liquid_out
    expect(min(go.values()) >= 0.0 and min(lo.values()) > 0.0, "negative flow out")
    check_elements([gas, lean], [go, lo], "absorber")
    for c in gas:
        close(gi.get(c, 0.0), gas[c], 1e-12, f"gas in {c}")
    e_in = h_liq(sysm, lean, lean_T) + h_gas(sysm, gas, gas_T, P)
    e_out = h_liq(sysm, lo, r.rich_T) + h_gas(sysm, go, r.gas_out_T, P)
    e_out += sum(r.intercooler_duties)
    scale = abs(h_liq(sysm, lean, lean_T)) + abs(h_gas(sysm, gas, gas_T, P))
    off = abs(e_in - e_out) / scale
    expect(off <= ENERGY_TOL, f"absorber energy off by {off:.3g}")
    cap_gas = 100.0 * (1.0 - go["CO2"] / gas["CO2"])
    cap_liq = 100.0 * (lo["CO2"] - lean["CO2"]) / gas["CO2"]
    expect(abs(cap_gas - r.capture_pct) <= 1e-6, f"capture {r.capture_pct} vs gas {cap_gas}")
    expect(abs(cap_gas - cap_liq) <= 1e-5, f"capture gas {cap_gas:.6f} vs liquid {cap_liq:.6f}")
    expect(r.capture_pct <= 100.0, f"capture {r.capture_pct}")  # below 0: the lean desorbs
    close(r.lean_loading, lean["CO2"] / lean[amine], 1e-12, "lean loading")
    close(r.rich_loading, lo["CO2"] / lo[amine], 1e-12, "rich loading")
    p = r.profiles
    # bottom first. Where CO2 goes into the liquid (N > 0), the CO2 of the gas falls up the
    # column (dry basis: water condensing from a hot saturated gas lifts the wet y_CO2) and
    # the loading rises down it; a segment that gives CO2 up must hold a liquid whose CO2
    # pressure lies above the gas's (fresh liquid states)
    N = p["N_CO2"]
    inert = sum(v for c, v in gas.items() if c not in ("CO2", "H2O", amine))
    g_co2 = gas["CO2"] - np.cumsum(N)
    expect(abs(g_co2[-1] - go["CO2"]) <= 1e-9 * gas["CO2"], "CO2 out vs the transfer profile")
    big = np.abs(N) > 1e-9 * gas["CO2"]
    dry = np.concatenate([[gas["CO2"]], g_co2]) / (np.concatenate([[gas["CO2"]], g_co2]) + inert)
    bad = big & (np.sign(np.diff(dry)) != -np.sign(N))
    expect(not bad.any(), f"dry y_CO2 moves against N_CO2 in segment {np.argmax(bad) + 1}")
    # the liquid's CO2 (not its loading: the amine that evaporates from a hot lean solvent
    # lifts the loading of a segment that gives CO2 up) rises down where N > 0
    x = getattr(r, "_x", None)
    if x is not None:
        lc = np.append(x.reshape(len(N), -1)[:, 0], lean["CO2"])
        rise = lc[:-1] - lc[1:]
        bad = big & (np.sign(rise) != np.sign(N))
        expect(not bad.any(), f"liquid CO2 moves against N_CO2 in segment {np.argmax(bad) + 1}")
        close(lc[0], lo["CO2"], 1e-12, "rich CO2 vs the bottom segment's")
    lo_prof = np.append(p["loading"], r.lean_loading)
    bad = big & (N > 0.0) & (lo_prof[:-1] < lo_prof[1:])
    bad &= np.abs(N) > 1e-3 * gas["CO2"]  # where the amine's own transfer cannot hide it
    expect(not bad.any(), f"loading falls down an absorbing segment {np.argmax(bad) + 1}")
    x = getattr(r, "_x", None)
    if packed and x is not None:
        v = x.reshape(len(N), -1)
        for j in np.flatnonzero(big):
            pst = sysm.liquid(v[j, 3], {"CO2": v[j, 0], "H2O": v[j, 1], amine: v[j, 2]})
            drive = p["y_CO2"][j] * P - pst.partial_pressures["CO2"]
            expect(
                drive * N[j] > 0.0 or abs(drive) < 1e-6 * P,
                f"segment {j + 1}: N_CO2 {N[j]:.3g} against y P - p* = {drive:.4g} Pa",
            )
    for k in ("T_L", "T_G"):
        expect(np.all((p[k] > 273.15) & (p[k] < 400.0)), f"{k} out of 273-400 K")
    if packed:
        f = p["flooding"]
        expect(np.all(np.isfinite(f)) and np.all(f > 0.0), "flooding not reported")
        expect(r.flooding_fraction == f.max(), "flooding_fraction is not the profile's largest")


def check_stripper(sysm, r, rich, feed_T, P, amine, Tc, target=None, duty=None):
    lean, prod = r.lean_out, r.product
    check_elements([rich], [lean, prod], "stripper")
    expect(r.reboiler_duty > 0.0, f"reboiler duty {r.reboiler_duty}")
    h_feed = h_liq(sysm, rich, feed_T)
    e_in = h_feed + r.reboiler_duty
    e_out = h_liq(sysm, lean, r.reboiler_T) + h_gas(sysm, prod, Tc, P) + r.condenser_duty
    off = abs(e_in - e_out) / abs(h_feed)
    expect(off <= ENERGY_TOL, f"stripper energy off by {off:.3g}")
    kg = (rich["CO2"] - lean["CO2"]) * MW["CO2"]
    expect(kg > 0.0, "no CO2 stripped")
    close(r.srd, r.reboiler_duty / kg / 1e6, 1e-3, "SRD")  # molar masses are not the package's
    sens = (h_liq(sysm, rich, r.reboiler_T) - h_feed) / kg / 1e6
    close(r.srd_sensible, sens, 1e-3, "sensible SRD")
    close(r.srd_steam, r.condenser_duty / kg / 1e6, 1e-3, "steam SRD")
    close(r.srd_sensible + r.srd_desorption + r.srd_steam, r.srd, 1e-9, "SRD split")
    expect(r.srd_desorption > 0.0 and r.srd_steam > 0.0, "desorption or steam not positive")
    expect(r.condenser_duty > 0.0, "condenser duty not positive")
    bp = sysm.liquid(r.reboiler_T, lean).bubble_pressure
    close(bp, P, 1e-6, "reboiler liquid's bubble pressure vs P")
    close(r.lean_loading, lean["CO2"] / lean[amine], 1e-12, "lean loading")
    if target is not None:
        expect(abs(r.lean_loading - target) <= 1e-8, f"lean {r.lean_loading} vs {target}")
    if duty is not None:
        close(r.reboiler_duty, duty, 1e-8, "duty")
    p = r.profiles
    x = getattr(r, "_x", None)
    if "T_G" not in p:  # stages at their bubble points: less CO2 and hotter down the column
        expect(np.all(np.diff(p["loading"]) <= 1e-9), "stripper loading rises down")
        expect(np.all(np.diff(p["T"]) >= -1e-6), "stripper T falls down")
    elif x is not None:
        # packed: the subcooled feed may take CO2 up at the top; wherever the liquid's CO2
        # moves, the gas's CO2 pressure must lie on the side that drives it (fresh states)
        v = x.reshape(-1, 8)[1:]  # segments from the bottom (block 0: the reboiler)
        above = np.append(v[1:, 0], rich["CO2"])  # the reflux carries no CO2
        for j in range(len(v)):
            n = v[j, 0] - above[j]
            if abs(n) < 1e-9 * rich["CO2"]:
                continue
            st = sysm.liquid(v[j, 3], {"CO2": v[j, 0], "H2O": v[j, 1], amine: v[j, 2]})
            drive = v[j, 4] / v[j, 4:7].sum() * P - st.partial_pressures["CO2"]
            expect(
                drive * n > 0.0 or abs(drive) < 1e-6 * P,
                f"segment {j + 1}: liquid CO2 {n:+.3g} against y P - p* = {drive:.4g} Pa",
            )
    # the amine condenses with the reflux; only a top vapor that condenses nothing keeps it
    expect(prod["CO2"] > 0.0, "no CO2 product")
    expect(prod.get(amine, 0.0) == 0.0 or sum(r.reflux.values()) == 0.0, "amine in the product")


def t_of_h(sysm, flows, H, lo, hi):
    """T [K] in [lo, hi] where the liquid's enthalpy flow (fresh states) is H: Brent's method,
    not the exchanger's own secant solve."""
    from scipy.optimize import brentq

    return brentq(lambda T: h_liq(sysm, flows, T) - H, lo, hi, xtol=1e-10, rtol=1e-14)


def interior_dT(sysm, x, hot, hot_T, cold, cold_T, n=FINE_POINTS):
    """The smallest hot - cold difference [K] at n interior duties evenly spread (at duty q from
    the cold end the hot side holds H_hot_out + q, the cold side H_cold_in + q)."""
    hh_out, hc_in = h_liq(sysm, hot, x.hot_out_T), h_liq(sysm, cold, cold_T)
    q = h_liq(sysm, cold, x.cold_out_T) - hc_in
    worst = math.inf
    for k in range(1, n + 1):
        f = k / (n + 1)
        t_h = t_of_h(sysm, hot, hh_out + f * q, x.hot_out_T - 1.0, hot_T + 1.0)
        t_c = t_of_h(sysm, cold, hc_in + f * q, cold_T - 1.0, x.cold_out_T + 1.0)
        worst = min(worst, t_h - t_c)
    return worst


def check_exchanger(sysm, x, hot, hot_T, cold, cold_T, approach, ua=None):
    qh = h_liq(sysm, hot, hot_T) - h_liq(sysm, hot, x.hot_out_T)
    qc = h_liq(sysm, cold, x.cold_out_T) - h_liq(sysm, cold, cold_T)
    close(qh, qc, 1e-5, "exchanger hot vs cold duty")
    close(qc, x.duty, 1e-5, "exchanger duty")
    expect(x.duty >= 0.0, "negative duty")
    expect(x.hot_out_T <= hot_T + 1e-9 and x.cold_out_T >= cold_T - 1e-9, "T moved wrong way")
    expect(x.hot_out_T - cold_T >= -1e-6 and hot_T - x.cold_out_T >= -1e-6, "T cross at end")
    if approach is not None and hot_T - cold_T > approach:
        expect(min(hot_T - x.cold_out_T, x.hot_out_T - cold_T) >= approach - 1e-4,
               "approach not kept")  # fmt: skip
    if ua is not None and x.duty > 0.0:
        # a duty from the area of the profile leaves no cross anywhere inside it, not only
        # at the exchanger's own check points
        dt = interior_dT(sysm, x, hot, hot_T, cold, cold_T)
        expect(dt > 0.0, f"UA {ua:.6g} W/K: temperature cross inside ({dt:.3g} K)")


# ----------------------------------------------------------------------------- classes


def absorber_case(rng, flood=False):
    gases = [("N2", "O2"), ("N2", "O2", "Ar"), ("N2",)][int(rng.choice(3, p=[0.6, 0.2, 0.2]))]
    sysm = system("MEA", gases)
    gas, gas_T, P, g = draw_gas(rng, sysm)
    nb = int(rng.integers(1, 4))
    beds = [float(rng.uniform(0.5, 10.0)) for _ in range(nb)]
    ic = int(rng.integers(0, nb))
    ic_T = float(rng.uniform(303.15, 323.15)) if ic and rng.random() < 0.5 else None
    gas_kg = sum(v * velmora.capture.properties.MW[c] for c, v in gas.items()) * 3600.0
    area_d = math.sqrt(gas_kg / 2240.0) * 0.64  # the pilot's gas load
    d = area_d * (rng.uniform(0.45, 0.8) if flood else rng.uniform(0.8, 2.0))
    lg = rng.uniform(0.5, 8.0)
    wf = rng.uniform(0.2, 0.4)
    ll = rng.uniform(0.01, 0.45)
    lean_T = rng.uniform(298.15, 333.15)
    lean = capture.lean_solvent(lg * gas_kg, wf, ll)
    ab = capture.Absorber(sysm, d, beds, intercoolers=ic, intercooler_T=ic_T,
                          segments=int(rng.integers(1, 5)))  # fmt: skip
    what = (f"{gases} beds {np.round(beds, 2).tolist()} ic {ic}@{ic_T} d {d:.3f} L/G {lg:.2f} "
            f"w {wf:.3f} lean {ll:.3f} {lean_T:.1f} K gas {gas_T:.1f} K CO2 {g[0]:.3f} "
            f"O2 {g[1]:.3f} P {P:.0f} gasP {g[2]:.0f} wet {'H2O' in gas}")  # fmt: skip

    def run():
        with warnings.catch_warnings(record=True) as got:
            warnings.simplefilter("always", velmora.RangeWarning)
            r = ab.run(gas, gas_T, lean, lean_T, P)
        check_absorber(sysm, r, gas, gas_T, lean, lean_T, P, "MEA", True)
        # above the flooding velocity the packing's correlations do not hold: not silently
        said = any("flooding" in str(w.message) for w in got)
        expect(
            said == (r.flooding_fraction > 1.0),
            f"flooding {r.flooding_fraction:.3f}, {'a' if said else 'no'} flooding warning",
        )
        return r

    return what, run


def stage_absorber_case(rng):
    amine = "MDEA" if rng.random() < 0.6 else "MEA"
    gases = [("N2", "O2"), ("N2", "O2", "Ar"), ("N2",)][int(rng.integers(0, 3))]
    sysm = system(amine, gases)
    gas, gas_T, P, g = draw_gas(rng, sysm)
    gas_kg = sum(v * velmora.capture.properties.MW[c] for c, v in gas.items()) * 3600.0
    lg = rng.uniform(0.5, 10.0)
    wf = rng.uniform(0.2, 0.5)
    ll = rng.uniform(0.001, 0.3 if amine == "MDEA" else 0.45)
    lean_T = rng.uniform(298.15, 333.15)
    lean = solvent(amine, lg * gas_kg, wf, ll)
    n = int(rng.integers(1, 16))
    ab = capture.StageAbsorber(sysm, n)
    what = (
        f"{amine} {gases} {n} stages L/G {lg:.2f} w {wf:.3f} lean {ll:.4f} {lean_T:.1f} K "
        f"gas {gas_T:.1f} K CO2 {g[0]:.3f} O2 {g[1]:.3f} P {P:.0f} wet {'H2O' in gas}"
    )

    def run():
        r = ab.run(gas, gas_T, lean, lean_T, P)
        check_absorber(sysm, r, gas, gas_T, lean, lean_T, P, amine, False)
        return r

    return what, run


def stripper_case(rng, rate=False):
    amine = "MEA" if rate or rng.random() < 0.6 else "MDEA"
    sysm = system(amine)
    wf = rng.uniform(0.2, 0.45)
    rich_l = rng.uniform(0.3, 0.52) if amine == "MEA" else rng.uniform(0.1, 0.5)
    lean_l = rich_l * rng.uniform(0.2, 0.85)
    rich = solvent(amine, rng.uniform(3000.0, 15000.0), wf, rich_l)
    P = rng.uniform(100e3, 250e3)
    feed_T = rng.uniform(340.0, 385.0)
    Tc = rng.uniform(303.15, 323.15)
    if rate:
        st = capture.RateStripper(sysm, segments=int(rng.integers(2, 5)), condenser_T=Tc)
    else:
        st = capture.Stripper(sysm, stages=int(rng.integers(2, 13)), condenser_T=Tc)
    q_factor = rng.uniform(0.7, 1.5)
    what = (
        f"{amine} {'rate' if rate else st.stages} w {wf:.3f} rich {rich_l:.4f} lean "
        f"{lean_l:.4f} P {P:.0f} feed {feed_T:.1f} K Tc {Tc:.1f} K duty x {q_factor:.3f}"
    )

    def run():
        r = st.run(rich, feed_T, P, lean_loading=lean_l)
        check_stripper(sysm, r, rich, feed_T, P, amine, Tc, target=lean_l)
        # at the duty that loading needed, the same loading back
        r2 = st.run(rich, feed_T, P, duty=r.reboiler_duty)
        check_stripper(sysm, r2, rich, feed_T, P, amine, Tc, duty=r.reboiler_duty)
        expect(
            abs(r2.lean_loading - lean_l) <= 1e-6,
            f"duty {r.reboiler_duty:.6g} W gives lean {r2.lean_loading:.8f}, not {lean_l:.8f}",
        )
        # the other way: a duty, its lean loading, that loading's duty
        Q = r.reboiler_duty * q_factor
        r3 = st.run(rich, feed_T, P, duty=Q)
        check_stripper(sysm, r3, rich, feed_T, P, amine, Tc, duty=Q)
        r4 = st.run(rich, feed_T, P, lean_loading=r3.lean_loading)
        close(r4.reboiler_duty, Q, 1e-5, "duty of the loading reached at a duty")
        expect(
            (Q - r.reboiler_duty) * (r3.lean_loading - lean_l) < 0.0,
            "more duty does not strip more",
        )
        return r

    return what, run


def exchanger_case(rng):
    amine = "MEA" if rng.random() < 0.6 else "MDEA"
    sysm = system(amine)
    wf = rng.uniform(0.2, 0.45)
    rich_l = rng.uniform(0.2, 0.5)
    lean_l = rich_l * rng.uniform(0.2, 0.9)
    kg = rng.uniform(3000.0, 15000.0)
    cold = solvent(amine, kg, wf, rich_l)
    hot = solvent(amine, kg * rng.uniform(0.9, 1.0), wf, lean_l)
    hot_T, cold_T = rng.uniform(370.0, 400.0), rng.uniform(305.0, 335.0)
    if rng.random() < 0.7:
        approach, ua = float(rng.uniform(0.0, 25.0)), None
        hx = capture.HeatExchanger(sysm, approach=approach)
    else:
        approach, ua = None, float(rng.uniform(1e3, 1e6))
        hx = capture.HeatExchanger(sysm, UA=ua)
    what = (
        f"{amine} w {wf:.3f} rich {rich_l:.3f} at {cold_T:.1f} K lean {lean_l:.3f} at "
        f"{hot_T:.1f} K approach {approach} UA {ua}"
    )

    def run():
        x = hx.run(hot, hot_T, cold, cold_T)
        check_exchanger(sysm, x, hot, hot_T, cold, cold_T, approach, ua)
        if ua is None and 0.0 < x.UA < math.inf and x.UA_error <= 1e-6:
            # the area an approach's answer reports, as a UA, gives its duty back
            back = capture.HeatExchanger(sysm, UA=x.UA).run(hot, hot_T, cold, cold_T)
            close(back.duty, x.duty, 1e-6, f"duty of the UA {x.UA:.8g} W/K of the answer")
        return x

    return what, run


def loop_case(rng, ua=False):
    amine = "MEA" if rng.random() < 0.6 else "MDEA"
    sysm = system(amine)
    gas, gas_T, P, g = draw_gas(rng, sysm)
    gas_kg = sum(v * velmora.capture.properties.MW[c] for c, v in gas.items()) * 3600.0
    rate = amine == "MEA" and rng.random() < 0.6
    if rate:
        ab = capture.Absorber(
            sysm,
            0.64 * math.sqrt(gas_kg / 2240.0) * rng.uniform(0.9, 1.5),
            [6.0, 6.0],
            intercoolers=int(rng.integers(0, 2)),
            segments=2,
        )
    else:
        ab = capture.StageAbsorber(sysm, int(rng.integers(3, 12)))
    lg = rng.uniform(1.0, 6.0)
    wf = rng.uniform(0.25, 0.45)
    ll = rng.uniform(0.08, 0.3) if amine == "MEA" else rng.uniform(0.005, 0.05)
    lean = solvent(amine, lg * gas_kg, wf, ll)
    lean_T = rng.uniform(303.15, 323.15)
    Ps = rng.uniform(110e3, 250e3)
    if amine == "MEA" and rng.random() < 0.15:
        stripper = capture.RateStripper(sysm, segments=2)
    else:
        stripper = capture.Stripper(sysm, int(rng.integers(3, 9)))
    if ua:  # NTU of the solvent's heat capacity flow (about 3.5 kJ/kg/K) from 2 to 30
        hx_ua = float(rng.uniform(2.0, 30.0)) * lg * gas_kg / 3600.0 * 3500.0
        hx = capture.HeatExchanger(sysm, UA=hx_ua)
    else:
        hx_ua, hx = None, capture.HeatExchanger(sysm, approach=float(rng.uniform(5, 15)))
    loop = capture.CaptureLoop(ab, stripper, hx)
    what = (
        f"{amine} {'packed' if rate else 'stages'} L/G {lg:.2f} w {wf:.3f} lean {ll:.3f} "
        f"{lean_T:.1f} K gas {gas_T:.1f} K CO2 {g[0]:.3f} P_s {Ps:.0f} wet {'H2O' in gas} "
        f"{type(stripper).__name__} UA {hx_ua}"
    )

    def run():
        r = loop.run(gas, gas_T, lean, lean_T, P, Ps)
        a, s = r.absorber, r.stripper
        check_absorber(sysm, a, gas, gas_T, lean, lean_T, P, amine, rate)
        check_stripper(sysm, s, a.liquid_out, r.streams["rich to stripper"][1], Ps, amine,
                       loop.stripper.condenser_T)  # fmt: skip
        close(s.lean_out["CO2"], lean["CO2"], 1e-8, "stripper lean CO2 vs lean CO2")
        x = r.exchanger
        check_exchanger(sysm, x, s.lean_out, s.reboiler_T, a.liquid_out, a.rich_T, None, hx_ua)
        mk = {c: lean[c] - s.lean_out[c] for c in ("H2O", amine)}
        check_elements([gas, mk], [a.gas_out, s.product], "loop")
        Tc = loop.stripper.condenser_T
        cooler = h_liq(sysm, s.lean_out, x.hot_out_T) - h_liq(sysm, s.lean_out, lean_T)
        h_mk = h_liq(sysm, lean, lean_T) - h_liq(sysm, s.lean_out, lean_T)
        ins = [h_gas(sysm, gas, gas_T, P), h_mk, s.reboiler_duty]
        outs = [h_gas(sysm, a.gas_out, a.gas_out_T, P), h_gas(sysm, s.product, Tc, Ps),
                s.condenser_duty, sum(a.intercooler_duties), cooler]  # fmt: skip
        off = abs(sum(ins) - sum(outs)) / (sum(map(abs, ins + outs)) / 2)
        expect(off <= ENERGY_TOL, f"loop energy off by {off:.3g}")
        close(r.cooler_duty, cooler, 1e-5, "trim cooler duty")
        return r

    return what, run


def edge_case(rng):
    """The ends of the inputs: a CO2-free gas, a CO2-free lean solvent, a stripper asked for
    a lean loading of 0 or of the rich one, a zero-height bed, one segment."""
    kind = int(rng.integers(0, 5))
    sysm = system("MEA")
    gas, gas_T, P, g = draw_gas(rng, sysm)
    gas_kg = sum(v * velmora.capture.properties.MW[c] for c, v in gas.items()) * 3600.0
    lean = capture.lean_solvent(rng.uniform(1.0, 5.0) * gas_kg, 0.3, rng.uniform(0.05, 0.3))
    what = ["CO2-free gas", "CO2-free lean", "stripper to lean 0", "stripper to rich",
            "zero-height bed"][kind]  # fmt: skip
    stage = rng.random() < 0.5

    def run():
        if kind in (0, 1, 4):
            g_, l_ = dict(gas), dict(lean)
            if kind == 0:
                g_["CO2"] = 0.0
            if kind == 1:
                l_["CO2"] = 0.0
            beds = [0.0, 3.0] if kind == 4 else [6.0]
            ab = (capture.StageAbsorber(sysm, 3) if stage and kind != 4
                  else capture.Absorber(sysm, 0.64 * math.sqrt(gas_kg / 2240.0), beds,
                                        segments=1))  # fmt: skip
            r = ab.run(g_, gas_T, l_, 313.15, P)
            packed = isinstance(ab, capture.Absorber)
            check_absorber(sysm, r, g_, gas_T, l_, 313.15, P, "MEA", packed)
            expect(math.isfinite(r.capture_pct), f"capture {r.capture_pct}")
            return r
        rich = capture.lean_solvent(8000.0, 0.3, 0.45)
        ll = 0.0 if kind == 2 else 0.45 * (1 + 1e-12)
        return capture.Stripper(sysm).run(rich, 375.0, 180e3, lean_loading=ll)

    return f"{what} ({'stages' if stage else 'packed'})", run


def loop_duty_case(rng):
    """A loop at a lean loading, then at the duty it needed: the same lean loading back."""
    amine = "MEA"
    sysm = system(amine)
    gas, gas_T, P, g = draw_gas(rng, sysm)
    gas_kg = sum(v * velmora.capture.properties.MW[c] for c, v in gas.items()) * 3600.0
    ab = capture.Absorber(sysm, 0.64 * math.sqrt(gas_kg / 2240.0) * rng.uniform(1.0, 1.4),
                          [6.0, 6.0], segments=2)  # fmt: skip
    loop = capture.CaptureLoop(ab, capture.Stripper(sysm), capture.HeatExchanger(sysm))
    ll = rng.uniform(0.12, 0.33)
    lean = capture.lean_solvent(rng.uniform(1.5, 5.0) * gas_kg, rng.uniform(0.25, 0.4), ll)
    Ps = rng.uniform(110e3, 250e3)
    what = f"lean {ll:.4f} P_s {Ps:.0f} CO2 {g[0]:.3f}"

    def run():
        r = loop.run(gas, gas_T, lean, 313.15, P, Ps)
        r2 = loop.run_at_duty(gas, gas_T, lean, 313.15, P, Ps, r.reboiler_duty)
        expect(abs(r2.lean_loading - ll) <= 1e-6, f"duty gives lean {r2.lean_loading:.8f}")
        close(r2.reboiler_duty, r.reboiler_duty, 1e-7, "duty")
        return r2

    return what, run


PILOT = "/work/shared/data/pilot-nccc-2014.csv"


def pilot_case(rng):
    import pandas as pd

    df = pd.read_csv(PILOT)
    rows = df.iloc[rng.choice(len(df), size=3, replace=False)].copy().reset_index(drop=True)
    blanks = []
    for _ in range(int(rng.integers(1, 4))):
        c = ["lean_T_C", "gas_T_C", "gas_P_kPa", "absorber_P_kPa", "gas_O2_dry", "intercoolers",
             "rich_flow_kg_h", "rich_loading", "packing", "stripper_feed_T_C"][
            int(rng.integers(0, 10))]  # fmt: skip
        i = int(rng.integers(0, 3))
        rows.loc[i, c] = None
        blanks.append((i, c))
    what = f"cases {rows['case'].tolist()} blank {blanks}"

    def run():
        sysm = system("MEA")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            a = capture.pilot_runs(rows, sysm, segments=2)
            dropped = rows.drop(columns=list(capture.pilot.MEASURED))
            b = capture.pilot_runs(dropped, sysm, segments=2)
        expect(a.equals(b), f"answers change without the measured columns:\n{a}\n{b}")
        expect(a.notna().all().all(), f"a run not solved:\n{a}")
        return a

    return what, run


def determinism_case(rng):
    kind = int(rng.integers(0, 3))
    sub = np.random.default_rng(int(rng.integers(0, 2**31)))
    maker = [lambda: absorber_case(sub), lambda: stripper_case(sub), lambda: loop_case(sub)][kind]
    what, run = maker()

    other = loop_case(np.random.default_rng(int(rng.integers(0, 2**31))))[1]

    def twice():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            a = repr(_digits(run()))
            b = repr(_digits(run()))
            try:  # another case between: the caches it leaves must not move the digits
                other()
            except Exception:  # noqa: BLE001 - only what it leaves behind matters here
                pass
            c = repr(_digits(run()))
        expect(a == b == c, f"runs differ:\n{a}\n{b}\n{c}")

    return what, twice


def _digits(r):
    keys = ("capture_pct", "rich_loading", "rich_T", "gas_out_T", "reboiler_duty", "lean_loading",
            "srd", "reboiler_T")  # fmt: skip
    return tuple(float(getattr(r, k)).hex() for k in keys if hasattr(r, k))


CLASSES = {
    "absorber (MEA, packed)": (absorber_case, 60),
    "absorber near/above flooding": (lambda rng: absorber_case(rng, flood=True), 20),
    "stage absorber (MEA, MDEA; O2, Ar)": (stage_absorber_case, 40),
    "stripper (duty <-> lean loading)": (stripper_case, 40),
    "rate-based stripper": (lambda rng: stripper_case(rng, rate=True), 8),
    "edges (CO2-free gas or lean, lean 0, zero bed)": (edge_case, 20),
    "loop at a duty (run_at_duty round trip)": (loop_duty_case, 6),
    "lean/rich exchanger": (exchanger_case, 40),
    "capture loop": (loop_case, 25),
    "pilot_runs (blanks, measured dropped)": (pilot_case, 3),
    "determinism (same inputs twice)": (determinism_case, 10),
    "capture loop, UA exchanger": (lambda rng: loop_case(rng, ua=True), 10),
}


def classify(e):
    if isinstance(e, (ConvergenceError, NoSolutionError)):
        return "raised"
    if type(e) is ValueError and str(e).startswith(UNITS):
        return "raised"
    return "failed"


def main(argv):
    import argparse

    warnings.simplefilter("ignore", velmora.RangeWarning)
    ap = argparse.ArgumentParser()
    ap.add_argument("scale", nargs="?", type=float, default=1.0)
    ap.add_argument("seed", nargs="?", type=int, default=2026)
    ap.add_argument("--jobs", type=int, default=1)
    ap.add_argument("--only", action="append", default=[])
    a = ap.parse_args(argv)
    if a.jobs != 1:
        raise SystemExit("fuzz_capture runs with --jobs 1 only")
    scale, seed, only = a.scale, a.seed, a.only
    table = []
    for k, (name, (make, n)) in enumerate(CLASSES.items()):
        if only and not any(o in name for o in only):
            continue
        rng = np.random.default_rng([seed, k])
        n = max(1, round(n * scale))
        counts = {"verified": 0, "raised": 0, "failed": 0}
        t0 = time.perf_counter()
        for i in range(n):
            what, run = make(rng)
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", velmora.RangeWarning)
                    run()
                counts["verified"] += 1
            except Fail as e:
                counts["failed"] += 1
                print(f"FAIL {name} #{i}: {what}\n    {e}")
            except Exception as e:  # noqa: BLE001 - every exception is classified
                kind = classify(e)
                counts[kind] += 1
                tag = "RAISED" if kind == "raised" else "FAIL"
                print(f"{tag} {name} #{i}: {what}\n    {type(e).__name__}: {e}")
                if kind == "failed":
                    traceback.print_exc(limit=-3)
        dt = time.perf_counter() - t0
        table.append((name, n, counts, dt))
        print(f"== {name}: {n} cases, {counts}, {dt:.0f} s", flush=True)
    print("\nclass | cases | verified | raised | failed | s")
    for name, n, c, dt in table:
        print(f"{name} | {n} | {c['verified']} | {c['raised']} | {c['failed']} | {dt:.0f}")


if __name__ == "__main__":
    main(sys.argv[1:])
