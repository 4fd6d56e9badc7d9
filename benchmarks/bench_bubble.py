"""The bubble temperature's search in one call of the engine (the model's _front_bubble_T)
against the front door's loop in Python (flashes._bubble_T_loop, one call of the engine per
temperature), side by side in one run: 200 bubble points of five chemistries at 1 atm, the
search alone (flashes._bubble_T) and the whole System.bubble_temperature (the search, then the
speciation and the check of its answer). The loop runs where the engine's Brent is replaced by a
wrapper of itself, the switch the front door reads. Each side is timed in turn per point, in
CPU time of the thread (time.thread_time); the ratio is the figure to read."""

import sys


import velmora
import velmora.brinequil as bq
from velmora import checks, flashes

from _routes import P, print_medians, quiet, timed

quiet()
REAL = bq._brentq


def feeds():
    """200 liquids: 40 of each chemistry, their solute amounts spread over a range."""
    out = []
    for k in range(40):
        u = k / 39.0
        out.append(("CO2-H2O", {"H2O": 1.0, "CO2": 1e-4 + 0.01 * u}))
        out.append(("MEA-CO2-H2O", {"H2O": 0.88, "MEA": 0.1, "CO2": 0.005 + 0.03 * u}))
        out.append(("NH3-CO2-H2O", {"H2O": 0.95, "NH3": 0.01 + 0.03 * u, "CO2": 0.01}))
        out.append(("NaCl-H2O", {"H2O": 1.0, "NaCl": 0.002 + 0.05 * u}))
        out.append(("MDEA-H2S-H2O", {"H2O": 0.9, "MDEA": 0.08, "H2S": 0.002 + 0.015 * u}))
    return out


def main():
    systems = {}
    points = []
    for name, feed in feeds():
        s = systems.setdefault(name, velmora.System(name))
        points.append((s, feed, checks.feed(s, feed)))
    rounds = 3 if "--quick" not in sys.argv[1:] else 1
    search = {"engine": [], "loop": []}
    whole = {"engine": [], "loop": []}
    for _ in range(rounds):
        t_search = {"engine": 0.0, "loop": 0.0}
        t_whole = {"engine": 0.0, "loop": 0.0}
        for s, feed, z in points:
            answers = {}
            for side in ("engine", "loop"):
                bq._brentq = REAL if side == "engine" else (lambda *a, **k: REAL(*a, **k))
                try:
                    dt, T = timed(
                        lambda s=s, z=z: flashes._bubble_T(s, z, P, 350.0, bq._WarmStart())
                    )
                    t_search[side] += dt
                    dt, r = timed(lambda s=s, feed=feed: s.bubble_temperature(feed, P))
                    t_whole[side] += dt
                finally:
                    bq._brentq = REAL
                answers[side] = (T, r.T)
            if answers["engine"] != answers["loop"]:
                raise SystemExit(f"the two routes differ for {feed}: {answers}")
        for side in ("engine", "loop"):
            search[side].append(t_search[side])
            whole[side].append(t_whole[side])
    print_medians(
        len(points),
        "bubble points",
        {"search (flashes._bubble_T)": search, "System.bubble_temperature": whole},
    )


if __name__ == "__main__":
    main()
