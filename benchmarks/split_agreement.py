"""The split at a given vapor fraction through the engine (the model's _front_split_at_beta) and
through the loop in Python (flashes._engine_split_at_beta replaced by one that steps aside), on
six chemistries, two pressures (1 atm, 3 bar) and vapor fractions 0.01, 0.3, 0.9 and 0.999: the
verified answer of each (flashes._at_vapor_fraction, whose split passes the front door's check,
or None), how close the two are in T, the vapor fraction, x and y, whether the engine's repeats
its digits, and how often the engine stepped aside."""

import warnings

import numpy as np

import velmora
import velmora.brinequil as bq
from velmora import checks, flashes

warnings.simplefilter("ignore", velmora.RangeWarning)
warnings.simplefilter("ignore", velmora.errors.DefaultParameterWarning)
ATM = 101325.0
ENGINE = flashes._engine_split_at_beta
FEEDS = [
    ("CO2-H2O", {"H2O": 0.99, "CO2": 0.01}),
    ("CO2-H2O", {"H2O": 0.999, "CO2": 0.001}),
    ("NH3-CO2-H2O", {"H2O": 0.95, "NH3": 0.04, "CO2": 0.01}),
    ("NH3-CO2-H2O", {"H2O": 0.9, "NH3": 0.07, "CO2": 0.03}),
    ("MEA-CO2-H2O", {"H2O": 0.88, "MEA": 0.1, "CO2": 0.02}),
    ("MEA-CO2-H2O", {"H2O": 0.86, "MEA": 0.1, "CO2": 0.04}),
    ("MDEA-H2S-H2O", {"H2O": 0.9, "MDEA": 0.08, "H2S": 0.02}),
    ("MDEA-H2S-H2O", {"H2O": 0.9, "MDEA": 0.09, "H2S": 0.01}),
    ("NaCl-H2O", {"H2O": 0.95, "NaCl": 0.05}),
    ("NaCl-H2O", {"H2O": 0.99, "NaCl": 0.01}),
    ("seawater-CO2-H2O", None),
]
FRACTIONS = (0.01, 0.3, 0.9, 0.999)


def verified(s, z, P, vf, engine, outcomes):
    """flashes._at_vapor_fraction through one route; outcomes gets "engine" or "aside" per
    split the engine was asked for."""

    def counted(*a):
        out = ENGINE(*a)
        outcomes.append("engine" if out is not None else "aside")
        return out

    flashes._engine_split_at_beta = counted if engine else (lambda *a: None)
    try:
        return flashes._at_vapor_fraction(s, z, P, vf, 350.0, bq._WarmStart())
    finally:
        flashes._engine_split_at_beta = ENGINE


def rel(a, b):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    return float(np.max(np.abs(a - b) / np.abs(b))) if a.size else 0.0


def main():
    systems = {}
    worst = {"T": 0.0, "beta": 0.0, "x, y above 1e-6 (relative)": 0.0, "x, y (absolute)": 0.0}
    within = dict.fromkeys(worst, 0)
    counts = {"cases": 0, "both answered": 0, "neither": 0, "only one": 0, "repeated": 0}
    outcomes: list[str] = []
    for chem, feed in FEEDS:
        s = systems.setdefault(chem, velmora.System(chem))
        liquid = feed or s.composition(molalities=velmora.seawater(carbonate=True))
        z = checks.feed(s, liquid)
        for P in (ATM, 3e5):
            for vf in FRACTIONS:
                counts["cases"] += 1
                a = verified(s, z, P, vf, True, outcomes)
                again = verified(s, z, P, vf, True, [])
                b = verified(s, z, P, vf, False, [])
                if (a is None) != (b is None):
                    counts["only one"] += 1
                    print(f"only one route answers: {chem} {feed} P={P:g} vf={vf}")
                    continue
                if a is None:
                    counts["neither"] += 1
                    continue
                counts["both answered"] += 1
                ra, rb = a.raw, b.raw
                same = all(
                    np.array_equal(np.asarray(again.raw[k]), np.asarray(ra[k]))
                    for k in ("T", "beta", "x", "y")
                )
                counts["repeated"] += same
                big = {k: np.asarray(rb[k]) > 1e-6 for k in ("x", "y")}
                d = {
                    "T": rel(ra["T"], rb["T"]),
                    "beta": rel(ra["beta"], rb["beta"]),
                    "x, y above 1e-6 (relative)": max(
                        rel(np.asarray(ra[k])[big[k]], np.asarray(rb[k])[big[k]])
                        for k in ("x", "y")
                    ),
                    "x, y (absolute)": max(
                        float(np.max(np.abs(np.asarray(ra[k]) - np.asarray(rb[k]))))
                        for k in ("x", "y")
                    ),
                }
                for k, v in d.items():
                    worst[k] = max(worst[k], v)
                    within[k] += v <= 1e-10
                assert max(a.residual, a.balance, b.residual, b.balance) <= s.tol
    n = counts["both answered"]
    print(counts)
    for k in worst:
        print(f"{k}: within 1e-10 in {within[k]} of {n}, worst {worst[k]:.2g}")
    print(
        f"the engine was asked for {len(outcomes)} splits and stepped aside in "
        f"{outcomes.count('aside')}"
    )


if __name__ == "__main__":
    main()
