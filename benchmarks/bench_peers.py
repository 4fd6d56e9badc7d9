"""velmora and its peers side by side, in one run, on this machine (medians of repeated batches).

The peers -- PHREEQC through phreeqpython (phreeqc.dat), Cantera's multiphase equilibrium (VCS),
with a liquid that dissolves CO2 and N2 by Henry's law on velmora's own data and with pure liquid
water -- are never dependencies of velmora: `make bench` installs them into the benchmark's own
environment .venv-bench, whose site-packages this script appends to its path (or the folder
named by VELMORA_BENCH_PEERS). A peer that cannot be imported is skipped with the reason.

Every velmora model uses the package's own activity model and databank (engine_model).
"""

import glob
import math
import os
import statistics
import sys
import threading
import time

# OpenBLAS worker threads spin after each NumPy call and take a core from the threads measured.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from engine_model import engine_model  # noqa: E402
from velmora import enginebridge  # noqa: E402

P_ATM = 101325.0
MW_WATER = 18.01528  # kg/kmol
MOL_PER_KG_WATER = 1000.0 / MW_WATER


def peer_paths():
    given = os.environ.get("VELMORA_BENCH_PEERS")
    if given:
        return [given]
    tag = f"python{sys.version_info[0]}.{sys.version_info[1]}"
    return glob.glob(os.path.join(HERE, "..", ".venv-bench", "lib", tag, "site-packages"))


for path in peer_paths():
    sys.path.append(path)  # after velmora's own environment: its numpy stays the one used


def per_call(f, number, repeat=7):
    """Median time of one call [s] over `repeat` batches of `number` calls."""
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            f()
        times.append((time.perf_counter() - t0) / number)
    return statistics.median(times)


def us(seconds):
    return f"{seconds * 1e6:9.1f} us"


ROWS = []


def row(work, mine, peer_label="", peer=None, note=""):
    ROWS.append((work, mine, peer_label, peer, note))
    theirs = "" if peer is None else (peer if isinstance(peer, str) else us(peer))
    ratio = f"  (peer/velmora {peer / mine:.2f})" if isinstance(peer, float) and mine else ""
    print(
        f"{work:<58s} {us(mine) if isinstance(mine, float) else mine:>12s}   "
        f"{peer_label:<26s} {theirs:>12s}{ratio}  {note}",
        flush=True,
    )


def import_peer(name):
    try:
        return __import__(name), None
    except Exception as e:  # not installed, or not loadable here
        return None, f"skipped ({type(e).__name__}: {e})"


# ---- cold speciation against PHREEQC --------------------------------------------------------


def cold_speciation(comps, henry, chem, molal, T):
    el, _ = engine_model(comps, henry, chem)
    n_app = {"H2O": MOL_PER_KG_WATER, **molal}

    def run():
        el._warm = None
        el.true_amounts(n_app, T)

    return per_call(run, 200)


def phreeqc_speciation(solution):
    pq, why = import_peer("phreeqpython")
    if pq is None:
        return why
    try:
        pp = pq.PhreeqPython(database="phreeqc.dat")
    except Exception as e:
        return f"skipped ({type(e).__name__}: {e})"

    def run():
        pp.add_solution(solution).forget()

    return per_call(run, 200)


def speciation_rows():
    mine = cold_speciation(["H2O", "CO2"], ["CO2"], "CO2-H2O", {"CO2": 0.034}, 298.15)
    peer = phreeqc_speciation({"temp": 25.0, "units": "mol/kgw", "C(4)": 0.034})
    row("cold speciation, CO2-H2O, 25 C, 0.034 mol/kg", mine, "PHREEQC (phreeqc.dat)", peer)
    mine = cold_speciation(
        ["H2O", "NH3", "CO2"], ["CO2"], "NH3-CO2-H2O", {"NH3": 0.5, "CO2": 0.2}, 298.15
    )
    peer = phreeqc_speciation({"temp": 25.0, "units": "mol/kgw", "N(-3)": 0.5, "C(4)": 0.2})
    row("cold speciation, NH3-CO2-H2O (9 species), 0.5/0.2 mol/kg", mine, "PHREEQC", peer)


# ---- TP flash against Cantera ---------------------------------------------------------------

CARBONATE = ["H2O", "CO2", "N2"]
CARBONATE_Z = [0.90, 0.02, 0.08]
CARBONATE_T = 313.15


def carbonate_flash():
    el, _ = engine_model(CARBONATE, ["CO2", "N2"], "CO2-H2O", extra_species=["N2"])
    pp = enginebridge.property_package(CARBONATE, henry_comps=["CO2", "N2"])
    z = np.array(CARBONATE_Z)
    beta = el.flash_tp(pp, z, CARBONATE_T, P_ATM)["beta"]
    return per_call(lambda: el.flash_tp(pp, z, CARBONATE_T, P_ATM), 100), beta, pp


def henry_liquid(ct, gas, pp, T, P):
    """A Cantera liquid of H2O, CO2 and N2 as an ideal solution whose equilibrium with the ideal
    gas at (T, P) is Raoult's law for water and Henry's law for the gases, with velmora's own
    vapor pressure and Henry constants (pp): mu0_liquid = mu_pure_gas(T, P) + RT ln(p_ref / P),
    p_ref = Psat or H. The same problem as velmora's flash without its activity coefficients and
    ions. Standard states are set at T alone (constant cp 0), which is all a flash at T needs."""
    C = [float(v) for v in pp.antoine["H2O"]]
    p_ref = {
        "H2O": math.exp(C[0] + C[1] / (T + C[2]) + C[3] * T + C[4] * math.log(T) + C[5] * T ** C[6])
    }
    for c in ("CO2", "N2"):
        a, b, lc, d = (float(v) for v in pp.henry[(c, "H2O")][:4])
        p_ref[c] = math.exp(a + b / T + lc * math.log(T) + d * T)
    RT = ct.gas_constant * T
    species = []
    for k, name in enumerate(CARBONATE):
        X = [0.0] * len(CARBONATE)
        X[k] = 1.0
        gas.TPX = T, P, X
        g0 = float(gas.chemical_potentials[k]) + RT * math.log(p_ref[name] / P)  # J/kmol
        elements = ", ".join(f"{e}: {int(v)}" for e, v in gas.species(k).composition.items())
        species.append(
            f"- name: {name}(l)\n  composition: {{{elements}}}\n"
            f"  thermo: {{model: constant-cp, T0: {T} K, h0: {g0!r} J/kmol, s0: 0.0 J/kmol/K, "
            "cp0: 0.0 J/kmol/K}\n"
            f"  equation-of-state: {{model: constant-volume, molar-volume: 0.018 m^3/kmol}}"
        )
    yaml = (
        "phases:\n- name: liquid\n  thermo: ideal-condensed\n"
        "  standard-concentration-basis: unity\n"
        "  elements: [O, H, C, N]\n  species: [H2O(l), CO2(l), N2(l)]\n"
        f"  state: {{T: {T}, P: {P}}}\nspecies:\n" + "\n".join(species) + "\n"
    )
    return ct.Solution(yaml=yaml, name="liquid")


def cantera_flashes(pp):
    """{variant: (seconds per flash, vapor fraction)} for Cantera's VCS on the same feed: the
    liquid dissolving CO2 and N2 by Henry's law, and pure liquid water (dissolves nothing)."""
    ct, why = import_peer("cantera")
    if ct is None:
        return why
    gri = {s.name: s for s in ct.Species.list_from_file("gri30.yaml")}
    out = {}
    for variant in ("henry", "pure water"):
        gas = ct.Solution(thermo="ideal-gas", species=[gri[n] for n in CARBONATE])
        if variant == "henry":
            liq = henry_liquid(ct, gas, pp, CARBONATE_T, P_ATM)
            moles = [0.0, CARBONATE_Z[1], CARBONATE_Z[2], CARBONATE_Z[0], 0.0, 0.0]  # gas; liquid
        else:
            liq = ct.Solution("water.yaml", "liquid_water")
            moles = [
                0.0,
                CARBONATE_Z[1],
                CARBONATE_Z[2],
                CARBONATE_Z[0],
            ]  # gas H2O, CO2, N2; liquid H2O
        mix = ct.Mixture([(gas, 0.0), (liq, 0.0)])

        def run(mix=mix, moles=moles):
            mix.T, mix.P = CARBONATE_T, P_ATM
            mix.species_moles = moles
            mix.equilibrate("TP", solver="vcs", log_level=0)
            return mix.phase_moles(0) / sum(mix.phase_moles())

        out[variant] = (per_call(run, 100), run())
    return out


def flash_rows():
    mine, beta, pp = carbonate_flash()
    peers = cantera_flashes(pp)
    work = "TP flash CO2-H2O-N2 (0.90/0.02/0.08), 313.15 K, 1 atm"
    if isinstance(peers, str):
        row(work, mine, "Cantera Mixture (VCS)", peers, f"beta {beta:.6f}")
        return
    t, b = peers["henry"]
    row(
        work,
        mine,
        "Cantera VCS, Henry liquid",
        t,
        f"beta {beta:.7f} vs {b:.7f} (differ by {abs(beta - b):.1e})",
    )
    t, b = peers["pure water"]
    row(
        "  the same, Cantera's liquid pure water",
        mine,
        "Cantera VCS, pure water",
        t,
        f"beta {b:.6f}: dissolves nothing",
    )


# ---- MEA: speciation, flashes, threads ------------------------------------------------------

MEA_Z = np.array([0.80, 0.10, 0.04, 0.06])  # about 30 wt% MEA, loading 0.4, 6 % N2


def mea_model(with_n2=True):
    comps = ["H2O", "MEA", "CO2"] + (["N2"] if with_n2 else [])
    henry = ["CO2"] + (["N2"] if with_n2 else [])
    el, _ = engine_model(comps, henry, "MEA-CO2-H2O", extra_species=["N2"] if with_n2 else ())
    return el, enginebridge.property_package(comps, henry_comps=henry)


def warm_speciation(el):
    x_mea = 0.112
    n_app = {"H2O": 1.0 - x_mea, "MEA": x_mea, "CO2": 0.4 * x_mea}
    temps = 340.0 + np.cumsum(np.random.default_rng(3).normal(0.0, 1.5, 400))
    el.true_amounts(n_app, temps[0])
    state = {"i": 0}

    def run():
        state["i"] += 1
        el.true_amounts(n_app, temps[state["i"] % len(temps)])

    return per_call(run, 400)


def mea_rows():
    el, pp = mea_model()
    bare, _ = mea_model(with_n2=False)
    with_n2, without = warm_speciation(el), warm_speciation(bare)
    row(
        "warm speciation, 30 wt% MEA with N2 (10 species)",
        with_n2,
        "without N2 (9 species)",
        without,
        f"zero-amount species costs {100 * (with_n2 / without - 1):+.0f} %",
    )
    row(
        "two-phase TP flash, 30 wt% MEA, loading 0.4, 6 % N2",
        per_call(lambda: el.flash_tp(pp, MEA_Z, 353.15, P_ATM), 30),
        note=f"{el.flash_tp(pp, MEA_Z, 353.15, P_ATM)['iterations']} iterations",
    )
    H = el.flash_tp(pp, MEA_Z, 353.15, P_ATM)["H"]
    fresh, fpp = mea_model()
    t0 = time.perf_counter()
    fresh.flash(fpp, MEA_Z, P_ATM, H=H)
    first = time.perf_counter() - t0
    second = per_call(lambda: el.flash(pp, MEA_Z, P_ATM, H=H), 3, repeat=5)
    row("flash at a given H, same feed", second, "first call of a process", first)


def in_threads(work, items, repeat=3):
    """work(item) for two items: (serial seconds, seconds in two threads), each the shortest of
    `repeat` runs (the other sessions on a shared machine only ever lengthen a run)."""
    for item in items:
        work(item, warmup=True)
    serial = both = math.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        for item in items:
            work(item)
        serial = min(serial, time.perf_counter() - t0)
        threads = [threading.Thread(target=work, args=(item,)) for item in items]
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        both = min(both, time.perf_counter() - t0)
    return serial, both


def thread_rows():
    temps = np.linspace(313.15, 393.15, 17)
    x_mea = 0.112
    n_app = {"H2O": 1.0 - x_mea, "MEA": x_mea, "CO2": 0.4 * x_mea}

    def flashes(m, warmup=False):
        el, pp = m
        for i in range(17 if warmup else 68):
            el.flash_tp(pp, MEA_Z, temps[i % 17], P_ATM)

    def speciations(m, warmup=False):
        el, _ = m
        for i in range(17 if warmup else 1700):
            el.true_amounts(n_app, temps[i % 17])

    note = f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}"
    for label, work in (("TP-flash sweep", flashes), ("speciation sweep", speciations)):
        serial, both = in_threads(work, [mea_model(), mea_model()])
        row(f"2 threads, own model each, {label} (speed-up)", f"{serial / both:.2f} x", note=note)


def main():
    print(f"{'work':<58s} {'velmora':>12s}   {'peer':<26s} {'':>12s}")
    speciation_rows()
    flash_rows()
    mea_rows()
    thread_rows()


if __name__ == "__main__":
    main()
