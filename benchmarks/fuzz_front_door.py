"""Fuzz of the front door over every built-in chemistry, with the independent checks of
tests/independent.py (the property test's, on many more inputs). Run by hand:

    .venv/bin/python benchmarks/fuzz_front_door.py [-n 20000] [--seed 0] [--jobs 2] [CHEM ...]

``--edges F`` moves a share F of the cases to the edges of what the front door takes, drawn
from a random stream of their own (the other cases stay those of the seed without it): the
pressure 5-50 kPa, a near-pure water (its solutes times 1e-9 to 1e-3), T at 273.15-275 K or
450-520 K (water's own range goes on to its critical point), where the feed has CO2, H2S or
NH3, a wet gas (those 10-1000 times, the rest times 1e-7 to 1e-2), or an inert gas beside the
chemistry's (N2, or a flue gas's N2 and O2, or N2, O2 and Ar: 1e-3 to 100 mol per mol of water,
on a System with those gases), one edge a case.

Prints per chemistry: examples, verified, raised (by type and call: T, H, S, vf, bubble,
liquid), failing an independent check (by kind), seconds; then, for each (chemistry, kind of
failure), the worst case's detail and a line that reproduces it, and the first call of each kind
that raised.
"""

import argparse
import collections
import os
import random
import sys
import time
import warnings
from concurrent.futures import ProcessPoolExecutor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import independent as ind  # noqa: E402
import velmora  # noqa: E402


def edge(case, rng):
    """``case`` moved to one edge of the inputs (see the module's docstring); its apparent
    form in another set of components goes where the solutes are scaled."""
    gases = [c for c in ("CO2", "H2S", "NH3") if case.feed.get(c, 0.0) > 0.0]
    which = rng.choice(["P", "dilute", "T", "inert"] + (["gas"] if gases else []))
    if which == "inert":
        case.gases = rng.choice([("N2",), ("N2", "O2"), ("N2", "O2", "Ar")])
        water = case.feed.get("H2O", 1.0)
        amount = water * 10.0 ** rng.uniform(-3.0, 2.0)
        shares = [rng.uniform(0.5, 1.0) for _ in case.gases]
        case.feed = dict(
            case.feed, **{g: amount * w / sum(shares) for g, w in zip(case.gases, shares)}
        )
        case.alt = None
    elif which == "gas":
        # a wet gas: the gases 10-1000 times the liquid's, the rest (an amine, salts) a trace
        up, down = 10.0 ** rng.uniform(1.0, 3.0), 10.0 ** rng.uniform(-7.0, -2.0)
        case.feed = {
            c: v if c == "H2O" else v * (up if c in gases else down) for c, v in case.feed.items()
        }
        case.alt = None
    elif which == "P":
        case.P = rng.uniform(5e3, 0.5e5)
    elif which == "dilute":
        f = 10.0 ** rng.uniform(-9.0, -3.0)
        case.feed = {c: (v if c == "H2O" else v * f) for c, v in case.feed.items()}
        case.alt = None
    else:
        case.T = rng.choice([rng.uniform(273.15, 275.0), rng.uniform(450.0, 520.0)])
    return case


def fuzz(chem, n, seed, edges=0.0):
    """(chem, counts, worst failures {kind: (size, detail, reproducer)}, first call of each
    raised (type, call) {key: reproducer}, seconds) of n cases."""
    warnings.simplefilter("ignore")
    refs = {chem: ind.Reference(velmora.System(chem))}
    rng = random.Random(f"{seed}:{chem}")
    rng_edge = random.Random(f"{seed}:{chem}:edges")
    counts = collections.Counter()
    worst, first = {}, {}
    t0 = time.perf_counter()
    for _ in range(n):
        case = ind.case(chem, rng)
        if edges and rng_edge.random() < edges:
            case = edge(case, rng_edge)
        if case.system_key not in refs:
            refs[case.system_key] = ind.Reference(velmora.System(chem, gases=list(case.gases)))
        out = ind.run(refs, case)
        counts[out.status] += 1
        if out.raised:
            key = f"raised {out.raised} ({case.kind})"
            counts[key] += 1
            first.setdefault(key, case.reproducer())
        for f in out.failures:
            counts["kind " + f.kind] += 1
            size = f.size if f.size == f.size else float("inf")
            if f.kind not in worst or size > worst[f.kind][0]:
                worst[f.kind] = (size, f.detail, case.reproducer())
    return chem, counts, worst, first, time.perf_counter() - t0


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-n", type=int, default=20000, help="examples over all chemistries")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--jobs", type=int, default=1, help="worker processes (one chemistry each)")
    ap.add_argument("--edges", type=float, default=0.0, help="share of cases at the edges")
    ap.add_argument("chemistries", nargs="*", help="default: every built-in chemistry")
    a = ap.parse_args(argv)
    chems = a.chemistries or velmora.chemistries()
    per = max(1, a.n // len(chems))
    print(
        f"fuzz of the front door: {per} examples per chemistry, {len(chems)} chemistries, "
        f"seed {a.seed}" + (f", {a.edges:g} of them at the edges" if a.edges else "")
    )
    if a.jobs > 1:
        with ProcessPoolExecutor(a.jobs) as ex:
            results = list(
                ex.map(
                    fuzz, chems, [per] * len(chems), [a.seed] * len(chems), [a.edges] * len(chems)
                )
            )
    else:
        results = [fuzz(c, per, a.seed, a.edges) for c in chems]

    head = (
        f"{'chemistry':<16} {'examples':>8} {'verified':>8} {'raised':>7} {'failed':>6} {'s':>6}"
        "  raised by type; failures by kind"
    )
    print(head)
    print("-" * len(head))
    total = collections.Counter()
    for chem, counts, _worst, _, secs in results:
        total.update(counts)
        raised = ", ".join(
            f"{k[7:]} {v}" for k, v in sorted(counts.items()) if k.startswith("raised ")
        )
        kinds = ", ".join(
            f"{k[5:]} {v}" for k, v in sorted(counts.items()) if k.startswith("kind ")
        )
        print(
            f"{chem:<16} {per:>8} {counts['verified']:>8} {counts['raised']:>7} "
            f"{counts['failed']:>6} {secs:>6.0f}  {'; '.join(x for x in (raised, kinds) if x)}"
        )
    print(
        f"{'all':<16} {per * len(chems):>8} {total['verified']:>8} {total['raised']:>7} "
        f"{total['failed']:>6}"
    )
    print("\nworst case of each kind of failure:")
    for chem, _, worst, _, _ in results:
        for kind, (size, detail, repro) in sorted(worst.items()):
            print(f"- {chem}: {kind} ({size:.3g}): {detail}\n    {repro}")
    print("\nfirst call of each kind that raised (allowed):")
    for chem, _, _, first, _ in results:
        for key, repro in sorted(first.items()):
            print(f"- {chem}: {key[7:]}\n    {repro}")
    return 1 if total["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
