"""What a 100-step evaporation path costs (velmora.paths.evaporate), and PHREEQC doing the same path
with the same solids allowed, in one run on this machine: runs interleaved, REPEAT of each, the
median and the best (the machine is shared and its load changes from second to second).

Three brines at 25 C, water taken away in 100 steps, the solids staying with the liquid
(equilibrium evaporation): Reference-Composition seawater (velmora.seawater(), seawater-H2O, with
seawater's dissolved barium so that barite has an index; see validate_seawater_path.py) to 99 % of
its water removed, where the magnesium and potassium salts come; the magnesium-free seawater of
docs/solids.md in brine-H2O and a NaCl-gypsum water in CaSO4-NaCl-H2O to 95 %. velmora's path also
finds where each solid first appears, between the grid's points (``appears``); its time without
that search is given too.

PHREEQC runs through phreeqpython (pitzer.dat) in this process: `make bench` installs it into the
benchmark's environment .venv-bench, whose site-packages bench_peers appends to the path (or the
folder named by VELMORA_BENCH_PEERS). Its path: one SOLUTION of the same element totals,
EQUILIBRIUM_PHASES with the same solids at saturation index 0 and no initial amount, a REACTION
taking the same amounts of water in 100 steps, a selected-output row per step with the indices and
amounts of the solids; both INCREMENTAL_REACTIONS true (each step from the last, as velmora's path)
and false (each from the brine) are timed and the faster compared; the database is loaded once,
outside the time. The first point of the grid at which each solid is present is printed for both
(PHREEQC's activity model is Pitzer's, velmora's its own: the fractions differ where the models do;
validate_seawater_path.py finds PHREEQC's to 1e-7 and sets them beside published data).
"""

import os
import statistics
import sys
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import velmora  # noqa: E402
from velmora import paths  # noqa: E402
from validate_seawater_phreeqc import BARIUM  # noqa: E402  seawater's barium [mol/kg of water]
from validate_si_phreeqc import NAMES  # noqa: E402

# ion -> PHREEQC's element (redox state) of pitzer.dat
ELEMENT = {
    "Na+": "Na",
    "K+": "K",
    "Ca++": "Ca",
    "Mg++": "Mg",
    "Sr++": "Sr",
    "Ba++": "Ba",
    "Cl-": "Cl",
    "Br-": "Br",
    "SO4--": "S(6)",
    "HCO3-": "C(4)",
    "CO3--": "C(4)",
    "CO2": "C(4)",
}
STEPS = 100
REMOVED = np.linspace(0.0, 0.95, STEPS)
T = 298.15
REPEAT = 15


def seawater():
    """Reference-Composition seawater with its barium, in the salts of seawater-H2O [mol/kg]."""
    return {**velmora.seawater(), "BaCl2": BARIUM}


# (chemistry, molalities, fractions of the water removed)
CASES = [
    ("seawater-H2O", seawater(), np.linspace(0.0, 0.99, STEPS)),
    ("brine-H2O", {"NaCl": 0.4274, "KCl": 0.0106, "CaCl2": 0.0107, "Na2SO4": 0.0293}, REMOVED),
    ("CaSO4-NaCl-H2O", {"NaCl": 0.5, "CaSO4": 0.01}, REMOVED),
]


def phase(solid):
    """pitzer.dat's name of a databank solid (its mineral name, capitalised)."""
    return NAMES.get(solid, solid.capitalize())


def totals(system, app):
    """PHREEQC's element totals [mol/kgw] of the brine: its ions per kg of water."""
    info = system._info
    n0 = info.n0(app)
    kg = app["H2O"] * info.mw["H2O"] / 1000.0
    out = {}
    for s, v in zip(info.names, n0.tolist()):
        if s in ELEMENT and v > 0.0:
            out[ELEMENT[s]] = out.get(ELEMENT[s], 0.0) + v / kg
    return out, app["H2O"]


def phreeqc_input(tot, water, phases, incremental, removed=REMOVED):
    """PHREEQC's path: the brine, the solids at SI 0, the water taken away at each fraction of
    ``removed``, a selected-output row per step (SI and amount of each solid)."""
    amounts = np.asarray(removed) * water
    steps = np.diff(amounts, prepend=0.0) if incremental else amounts
    heads = [h for p in phases for h in (p, f"n_{p}")]
    punch = ", ".join(v for p in phases for v in (f'SI("{p}")', f'EQUI("{p}")'))
    lines = [
        "SELECTED_OUTPUT 1",
        "    -reset false",
        "    -state true",
        "USER_PUNCH 1",
        "    -headings " + " ".join(heads),
        f"    10 PUNCH {punch}",
        "SOLUTION 1",
        "    units mol/kgw",
        f"    temp {T - 273.15:g}",
        "    pH 7 charge",
    ]
    lines += [f"    {el} {m!r}" for el, m in tot.items()]
    lines += ["EQUILIBRIUM_PHASES 1"] + [f"    {p} 0 0" for p in phases]
    lines += [
        "REACTION 1",
        "    H2O -1.0",
        "    " + " ".join(repr(v) for v in steps.tolist()) + " moles",
        f"INCREMENTAL_REACTIONS {'true' if incremental else 'false'}",
        "END",
    ]
    return "\n".join(lines) + "\n"


def phreeqc_rows(ip, text, steps=STEPS):
    ip.run_string(text)
    rows = ip.get_selected_output_array()
    heads, body = rows[0], rows[1:]
    got = [dict(zip(heads, r)) for r in body if str(r[heads.index("state")]).strip() == "react"]
    if len(got) != steps:
        raise RuntimeError(f"PHREEQC gave {len(got)} reaction steps for {steps}")
    return got


def first_present(amounts, removed=REMOVED):
    """{solid: first removal fraction of the grid with the solid present}."""
    out = {}
    for k, v in amounts.items():
        hit = np.flatnonzero(np.asarray(v) > 0.0)
        if hit.size:
            out[k] = float(removed[hit[0]])
    return out


def phreeqc():
    """PHREEQC's IPhreeqc instance with pitzer.dat loaded, or None (the reason printed)."""
    import bench_peers  # noqa: F401  appends the peers' site-packages (.venv-bench) to the path

    try:
        from phreeqpython import PhreeqPython

        return PhreeqPython(database="pitzer.dat").ip
    except ImportError as e:
        print(f"PHREEQC skipped: {e} (make bench installs phreeqpython into .venv-bench)")
        return None


def listed(first):
    return ", ".join(f"{k} {v:.4f}" for k, v in sorted(first.items(), key=lambda kv: kv[1]))


def main():
    warnings.simplefilter("ignore")
    ip = phreeqc()
    for chem, molalities, removed in CASES:
        s = velmora.System(chem)
        app = s.composition(molalities=molalities)
        path = paths.evaporate(s, app, T, removed=removed)  # warms the cache and imports
        runs = {
            "plain": lambda s=s, app=app, r=removed: paths.evaporate(
                s, app, T, removed=r, events=False
            ),
            "search": lambda s=s, app=app, r=removed: paths.evaporate(s, app, T, removed=r),
        }
        phases = [phase(k) for k in s.solids.names]
        if ip is not None:
            tot, water = totals(s, app)
            for incremental in (True, False):
                text = phreeqc_input(tot, water, phases, incremental, removed)
                runs[incremental] = lambda text=text: phreeqc_rows(ip, text)
        # interleaved: the machine is shared, its load changes by the second
        times = {k: [] for k in runs}
        out = {}
        for _ in range(REPEAT):
            for k, f in runs.items():
                t0 = time.perf_counter()
                out[k] = f()
                times[k].append(time.perf_counter() - t0)
        med = {k: statistics.median(v) for k, v in times.items()}
        best = {k: min(v) for k, v in times.items()}
        label = ", ".join(f"{k} {v:g}" for k, v in molalities.items())
        print(
            f"{chem} ({label} mol/kg), {STEPS} steps to {removed[-1]:.0%} of the water "
            f"removed at {T - 273.15:g} C, solids {', '.join(s.solids.names)}; "
            f"median (best) of {REPEAT}:"
        )
        print(
            f"  velmora  {med['search'] * 1e3:7.1f} ({best['search'] * 1e3:.1f}) ms with the "
            f"appearance search, {med['plain'] * 1e3:.1f} ({best['plain'] * 1e3:.1f}) ms "
            f"without ({med['plain'] / STEPS * 1e3:.3f} ms a step)"
        )
        print("           appears (exact): " + listed(path.appears))
        print("           first grid point: " + listed(first_present(path.solids, removed)))
        if ip is None:
            continue
        inc = min((True, False), key=lambda k: med[k])
        rows = out[inc]
        theirs = first_present(
            {k: [r[f"n_{phase(k)}"] for r in rows] for k in s.solids.names}, removed
        )
        how = "incremental" if inc else "each step from the brine"
        print(
            f"  PHREEQC  {med[inc] * 1e3:7.1f} ({best[inc] * 1e3:.1f}) ms ({how}; the other "
            f"{med[not inc] * 1e3:.1f} ms)"
        )
        print("           first grid point: " + listed(theirs))
        print(
            f"  PHREEQC / velmora, medians: {med[inc] / med['search']:.1f} with the search, "
            f"{med[inc] / med['plain']:.1f} without (best: {best[inc] / best['search']:.1f}, "
            f"{best[inc] / best['plain']:.1f})"
        )
        if chem == "seawater-H2O":
            # PHREEQC's appearances bracketed to 1e-7 (validate_seawater_path.py): the same
            # answer as velmora's search, a few runs (it takes seconds)
            from validate_seawater_path import phreeqc_appears

            spent = []
            for _ in range(3):
                t0 = time.perf_counter()
                phreeqc_appears(ip, s, app, removed)
                spent.append(time.perf_counter() - t0)
            t_app = statistics.median(spent)
            print(
                f"  PHREEQC with its appearances bracketed to 1e-7: {t_app * 1e3:.0f} ms, "
                f"{t_app / med['search']:.0f} times velmora's path with its search"
            )


if __name__ == "__main__":
    main()
