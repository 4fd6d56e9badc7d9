"""The dew point's Newton's method in one call of the engine (the model's _front_dew_point)
against the front door's loop in Python (flashes._dew_point_loop, one call of the engine per trial
liquid), side by side in one run: 200 gas-rich feeds of five chemistries at 1 atm and 3 bar, the
dew point alone (flashes._dew_point_from the bubble point, as a flash at vapor fraction 1 seeks
it) and the whole System.flash(vapor_fraction=1.0) (the bubble point, the dew point and the check
of its answer), and within these the Newton's method alone (the engine's call, or the loop's
where it ran). The loop runs where flashes._engine_dew_point is replaced by one that steps
aside. Each side is timed in turn per point (each first at every other point), in CPU time of
the thread (time.thread_time); the ratio is the figure to read. The engine steps aside (and the
loop runs after it) where a trial liquid does not settle: those points are counted."""

import sys
import time

import velmora
import velmora.brinequil as bq
from velmora import checks, flashes

from _routes import asides, clocked, print_medians, quiet, timed, wet_gases

quiet()
ENGINE = flashes._engine_dew_point
LOOP = flashes._dew_point_loop


def main():
    systems = {}
    points = []
    for name, feed, p in wet_gases(20):
        s = systems.setdefault(name, velmora.System(name))
        z = checks.feed(s, feed)
        Tb = flashes._bubble_T(s, z, p, 350.0, bq._WarmStart())
        points.append((s, feed, z, p, Tb))

    def dew(s, z, p, Tb):
        """(T, evaluations) of the dew point, or its refusal's message (a singular Jacobian
        where the start lies far off: the flash then takes another route)."""
        try:
            raw, evals = flashes._dew_point_from(s, z, p, Tb, bq._WarmStart())
        except flashes._NoAnswer as e:
            return str(e), None
        return raw["T"], evals

    # how often the engine steps aside (a pass of its own, not timed)
    n, aside = asides("_engine_dew_point", lambda: [dew(s, z, p, Tb) for s, _, z, p, Tb in points])
    refused = sum(isinstance(dew(s, z, p, Tb)[0], str) for s, _, z, p, Tb in points)
    print(
        f"{len(points)} dew points ({refused} refused by Newton's method: the flash takes"
        f" another route); the engine stepped aside to the loop in {aside} of its {n} calls"
    )
    rounds = 3 if "--quick" not in sys.argv[1:] else 1
    newton = {"engine": [], "loop": []}
    alone = {"engine": [], "loop": []}
    whole = {"engine": [], "loop": []}
    for _ in range(rounds):
        t_newton = {"engine": 0.0, "loop": 0.0}
        t_alone = {"engine": 0.0, "loop": 0.0}
        t_whole = {"engine": 0.0, "loop": 0.0}
        for i, (s, feed, z, p, Tb) in enumerate(points):
            answers = {}
            # each side first in turn (what a first call warms up counts against both alike)
            for side in ("engine", "loop") if i % 2 == 0 else ("loop", "engine"):
                # in the dew point alone, its Newton's method: the engine's call and the
                # loop's where it ran
                engine = ENGINE if side == "engine" else lambda *a: None
                flashes._engine_dew_point = clocked(engine, t_newton, side, time.thread_time)
                flashes._dew_point_loop = clocked(LOOP, t_newton, side, time.thread_time)
                try:
                    dt, (T, evals) = timed(lambda s=s, z=z, p=p, Tb=Tb: dew(s, z, p, Tb))
                    t_alone[side] += dt
                    flashes._engine_dew_point, flashes._dew_point_loop = engine, LOOP
                    dt, r = timed(lambda s=s, feed=feed, p=p: s.flash(feed, p, vapor_fraction=1.0))
                    t_whole[side] += dt
                finally:
                    flashes._engine_dew_point = ENGINE
                    flashes._dew_point_loop = LOOP
                answers[side] = (T, evals, r.T, r.method)
            (a, ea, b, ma), (c, ec, d, mc) = answers["engine"], answers["loop"]
            same = a == c if isinstance(c, str) else abs(a - c) <= 1e-10 * c
            if not same or ea != ec or abs(b - d) > 1e-10 * d or ma != mc:
                raise SystemExit(f"the two routes differ for {feed} at {p}: {answers}")
        for side in ("engine", "loop"):
            newton[side].append(t_newton[side])
            alone[side].append(t_alone[side])
            whole[side].append(t_whole[side])
    print_medians(
        len(points),
        "dew points",
        {
            "Newton's method (flashes._engine_dew_point, _dew_point_loop)": newton,
            "dew point (flashes._dew_point_from)": alone,
            "System.flash(vapor_fraction=1.0)": whole,
        },
    )


if __name__ == "__main__":
    main()
