"""The split at a given vapor fraction in one call of the engine (the model's
_front_split_at_beta) against the front door's loop in Python (flashes._fugacity_newton, one call
of the engine per trial liquid), side by side in one run: 200 vapor-fraction flashes of five
chemistries at 1 atm, the split alone (flashes._fugacity_split_at_beta from the bubble point)
and the whole System.flash(vapor_fraction=...) (the bubble point, the split and the check of its
answer). The loop runs where flashes._engine_split_at_beta is replaced by one that steps aside.
Each side is timed in turn per point (each first at every other point), in CPU time of the
thread (time.thread_time); the ratio is the figure to read."""

import sys


import velmora
import velmora.brinequil as bq
from velmora import checks, flashes

from _routes import P, asides, print_medians, quiet, timed

quiet()
ENGINE = flashes._engine_split_at_beta


def feeds():
    """200 (chemistry, liquid, vapor fraction): 40 of each chemistry, the solute amounts and the
    vapor fraction spread over a range."""
    out = []
    for k in range(40):
        u = k / 39.0
        vf = 0.01 + 0.89 * ((7 * k) % 40) / 39.0
        out.append(("CO2-H2O", {"H2O": 1.0, "CO2": 1e-4 + 0.01 * u}, vf))
        out.append(("MEA-CO2-H2O", {"H2O": 0.88, "MEA": 0.1, "CO2": 0.005 + 0.03 * u}, vf))
        out.append(("NH3-CO2-H2O", {"H2O": 0.95, "NH3": 0.01 + 0.03 * u, "CO2": 0.01}, vf))
        out.append(("NaCl-H2O", {"H2O": 1.0, "NaCl": 0.002 + 0.05 * u}, 0.9 * vf))
        out.append(("MDEA-H2S-H2O", {"H2O": 0.9, "MDEA": 0.08, "H2S": 0.002 + 0.015 * u}, vf))
    return out


def start_of(s, z):
    warm = bq._WarmStart()
    Tb = flashes._bubble_T(s, z, P, 350.0, warm)
    warm.reset()
    f, _, _ = flashes._fugacities(s, dict(zip(s.components, z.tolist())), Tb, warm)
    return Tb, flashes._incipient_vapor(s, f, Tb, P)[0]


def main():
    systems = {}
    points = []
    for name, feed, vf in feeds():
        s = systems.setdefault(name, velmora.System(name))
        z = checks.feed(s, feed)
        points.append((s, feed, z, vf, start_of(s, z)))

    # how often the engine steps aside (a pass of its own, not timed)
    def splits():
        for s, _, z, vf, (Tb, y0) in points:
            flashes._fugacity_split_at_beta(s, z, P, vf, Tb, y0, bq._WarmStart())

    n, aside = asides("_engine_split_at_beta", splits)
    print(f"the engine stepped aside to the loop in {aside} of {n} splits")
    rounds = 3 if "--quick" not in sys.argv[1:] else 1
    split = {"engine": [], "loop": []}
    whole = {"engine": [], "loop": []}
    for _ in range(rounds):
        t_split = {"engine": 0.0, "loop": 0.0}
        t_whole = {"engine": 0.0, "loop": 0.0}
        for i, (s, feed, z, vf, (Tb, y0)) in enumerate(points):
            answers = {}
            # each side first in turn (what a first call warms up counts against both alike)
            for side in ("engine", "loop") if i % 2 == 0 else ("loop", "engine"):
                flashes._engine_split_at_beta = ENGINE if side == "engine" else lambda *a: None
                try:
                    dt, (raw, _) = timed(
                        lambda s=s, z=z, vf=vf, Tb=Tb, y0=y0: flashes._fugacity_split_at_beta(
                            s, z, P, vf, Tb, y0, bq._WarmStart()
                        )
                    )
                    t_split[side] += dt
                    dt, r = timed(lambda s=s, feed=feed, vf=vf: s.flash(feed, P, vapor_fraction=vf))
                    t_whole[side] += dt
                finally:
                    flashes._engine_split_at_beta = ENGINE
                answers[side] = (raw["T"], r.T)
            (a, b), (c, d) = answers["engine"], answers["loop"]
            if abs(a - c) > 1e-9 * c or abs(b - d) > 1e-9 * d:
                raise SystemExit(f"the two routes differ for {feed} at {vf}: {answers}")
        for side in ("engine", "loop"):
            split[side].append(t_split[side])
            whole[side].append(t_whole[side])
    print_medians(
        len(points),
        "vapor-fraction flashes",
        {
            "split (flashes._fugacity_split_at_beta)": split,
            "System.flash(vapor_fraction=...)": whole,
        },
    )


if __name__ == "__main__":
    main()
