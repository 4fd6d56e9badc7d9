"""The TP flash's all-vapor test on the liquid's fugacities in one call of the engine (the model's
_front_vapor_at_T) against the front door's loop in Python (flashes._vapor_on_fugacities_loop,
one call of the engine per trial liquid), side by side in one run: wet gases of five chemistries
at 1 atm and 3 bar, each 3 K and 15 K above the dew point System.flash(vapor_fraction=1.0) finds.
Timed: flashes._vapor_on_fugacities whole (the start's speciation of the feed as a liquid, then
the Newton's method) and within it the Newton's method alone (the engine's call, or the loop's
where it ran). The loop runs where flashes._engine_vapor_on_fugacities is replaced by one that
steps aside. Each side is timed in turn per point (each first at every other point), in CPU time
of the process (time.process_time); the ratio is the figure to read. Where the engine steps
aside (a trial liquid that does not settle) the loop runs after it: those calls are counted."""

import sys
import time

import velmora
import velmora.brinequil as bq
from velmora import checks, flashes

from _routes import asides, clocked, print_medians, quiet, wet_gases

quiet()
ENGINE = flashes._engine_vapor_on_fugacities
LOOP = flashes._vapor_on_fugacities_loop
ABOVE = (3.0, 15.0)  # K above the dew point


def test(s, z, T, p):
    """(ln of the answer's x and evaluations) or the refusal's message."""
    try:
        raw, evals = flashes._vapor_on_fugacities(s, z, T, p, bq._WarmStart())
    except flashes._NoAnswer as e:
        return str(e), None
    return list(raw["x"]), evals


def main():
    quick = "--quick" in sys.argv[1:]
    systems = {}
    points = []
    for name, feed, p in wet_gases(4 if quick else 10):
        s = systems.setdefault(name, velmora.System(name))
        z = checks.feed(s, feed)
        Td = s.flash(feed, p, vapor_fraction=1.0).T
        points.extend((s, z, Td + dT, p) for dT in ABOVE)

    n, aside = asides("_engine_vapor_on_fugacities", lambda: [test(*pt) for pt in points])
    refused = sum(isinstance(test(*pt)[0], str) for pt in points)
    print(
        f"{len(points)} all-vapor tests ({refused} refused by Newton's method); the engine"
        f" stepped aside to the loop in {aside} of its {n} calls"
    )
    rounds = 1 if quick else 3
    newton = {"engine": [], "loop": []}
    whole = {"engine": [], "loop": []}
    for _ in range(rounds):
        t_newton = {"engine": 0.0, "loop": 0.0}
        t_whole = {"engine": 0.0, "loop": 0.0}
        for i, pt in enumerate(points):
            answers = {}
            for side in ("engine", "loop") if i % 2 == 0 else ("loop", "engine"):
                engine = ENGINE if side == "engine" else lambda *a: None
                flashes._engine_vapor_on_fugacities = clocked(engine, t_newton, side)
                flashes._vapor_on_fugacities_loop = clocked(LOOP, t_newton, side)
                try:
                    t0 = time.process_time()
                    answers[side] = test(*pt)
                    t_whole[side] += time.process_time() - t0
                finally:
                    flashes._engine_vapor_on_fugacities = ENGINE
                    flashes._vapor_on_fugacities_loop = LOOP
            (a, ea), (b, eb) = answers["engine"], answers["loop"]
            same = (
                a == b if isinstance(a, str) else all(abs(u - v) <= 1e-10 * v for u, v in zip(a, b))
            )
            if not same or ea != eb:
                raise SystemExit(f"the two routes differ at {pt[1:]}: {answers}")
        for side in ("engine", "loop"):
            newton[side].append(t_newton[side])
            whole[side].append(t_whole[side])
    print_medians(
        len(points),
        "all-vapor tests",
        {
            "Newton's method (flashes._engine_vapor_on_fugacities, _vapor_on_fugacities_loop)": (
                newton
            ),
            "flashes._vapor_on_fugacities": whole,
        },
    )


if __name__ == "__main__":
    main()
