"""The TP flash's split on the liquid's fugacities (flashes._fugacity_split, the attempts a TP
flash runs where the core's own does not verify), each start one call of the engine (the model's
_front_split_at_T) against the loop in Python (one call of the engine per trial liquid), side by
side in one run: 100 splits of five chemistries at 1 atm, T between the bubble point and the
ideal liquid's dew point (10 K above the bubble point for a brine). The loop runs where
flashes._engine_split_at_T is replaced by one that steps aside. Each side is timed in turn per
point (each first at every other point), in CPU time of the thread (time.thread_time); the ratio
is the figure to read."""

import sys
import time

import velmora
import velmora.brinequil as bq
from velmora import checks, flashes

from _routes import P, asides, quiet

quiet()
ENGINE = flashes._engine_split_at_T


def feeds():
    """100 (chemistry, liquid, share of the way from the bubble to the dew point)."""
    out = []
    for k in range(20):
        u = k / 19.0
        share = 0.05 + 0.9 * ((7 * k) % 20) / 19.0
        out.append(("CO2-H2O", {"H2O": 1.0, "CO2": 1e-4 + 0.01 * u}, share))
        out.append(("MEA-CO2-H2O", {"H2O": 0.88, "MEA": 0.1, "CO2": 0.005 + 0.03 * u}, share))
        out.append(("NH3-CO2-H2O", {"H2O": 0.95, "NH3": 0.01 + 0.03 * u, "CO2": 0.01}, share))
        out.append(("NaCl-H2O", {"H2O": 1.0, "NaCl": 0.002 + 0.05 * u}, share))
        out.append(("MDEA-H2S-H2O", {"H2O": 0.9, "MDEA": 0.08, "H2S": 0.002 + 0.015 * u}, share))
    return out


def between(s, z, share):
    Tb = flashes._bubble_T(s, z, P, 350.0, bq._WarmStart())
    Td = flashes._ideal_dew_T(s, z, P)
    if Td is None or Td <= Tb:
        Td = Tb + 10.0
    return Tb + share * (min(Td, checks.T_MAX - 1.0) - Tb)


def timed(*a):
    t0 = time.thread_time()
    v = split(*a)
    return time.thread_time() - t0, v


def split(s, z, T):
    try:
        return flashes._fugacity_split(s, z, T, P, bq._WarmStart())[0]["beta"]
    except ValueError as e:
        return str(e)


def main():
    systems = {}
    points = []
    for name, feed, share in feeds():
        s = systems.setdefault(name, velmora.System(name))
        z = checks.feed(s, feed)
        points.append((s, z, between(s, z, share)))

    def splits():
        for s, z, T in points:
            split(s, z, T)

    n, aside = asides("_engine_split_at_T", splits)
    print(f"the engine stepped aside to the loop in {aside} of {n} starts")
    rounds = 3 if "--quick" not in sys.argv[1:] else 1
    spent = {"engine": 0.0, "loop": 0.0}
    differ = 0
    for _ in range(rounds):
        for i, (s, z, T) in enumerate(points):
            order = ("engine", "loop") if i % 2 == 0 else ("loop", "engine")
            got = {}
            for side in order:
                flashes._engine_split_at_T = ENGINE if side == "engine" else (lambda *a: None)
                try:
                    dt, got[side] = timed(s, z, T)
                finally:
                    flashes._engine_split_at_T = ENGINE
                spent[side] += dt
            a, b = got["engine"], got["loop"]
            same = a == b if isinstance(a, str) or isinstance(b, str) else abs(a - b) <= 1e-9
            differ += not same
    n = rounds * len(points)
    print(
        f"{n} splits: engine {spent['engine']:.3f} s CPU, loop {spent['loop']:.3f} s CPU, "
        f"loop / engine {spent['loop'] / spent['engine']:.2f}; answers that differ: {differ}"
    )


if __name__ == "__main__":
    main()
