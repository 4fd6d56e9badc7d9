"""The TP flash's split on the liquid's fugacities (flashes._fugacity_split, the attempts a flash
runs where the core's does not verify) through the engine (the model's _front_split_at_T, one
call a start) and through the loop in Python (the check's fugacity_mismatch replaced by a wrapper
of itself), on six chemistries, 1 atm and 3 bar, at T a tenth, half and nine tenths of the way
from the bubble to the dew point, the trial liquids as the core leaves them and then settled
where one did not settle (settle_all): each start's outcome (the split, or the refusal and its
message), the budget and the unsettled flag it leaves, how close the answers are, whether the
engine's repeat their digits, and how often the engine stepped aside."""

import warnings

import numpy as np

import velmora
import velmora.brinequil as bq
from velmora import checks, flashes

warnings.simplefilter("ignore", velmora.RangeWarning)
warnings.simplefilter("ignore", velmora.errors.DefaultParameterWarning)
ATM = 101325.0
ENGINE = flashes._engine_split_at_T
NEWTON = flashes._fugacity_newton
MISMATCH = checks.fugacity_mismatch
FEEDS = [
    ("CO2-H2O", {"H2O": 0.99, "CO2": 0.01}),
    ("NH3-CO2-H2O", {"H2O": 0.95, "NH3": 0.04, "CO2": 0.01}),
    ("NH3-CO2-H2O", {"H2O": 0.9, "NH3": 0.07, "CO2": 0.03}),
    ("MEA-CO2-H2O", {"H2O": 0.88, "MEA": 0.1, "CO2": 0.02}),
    ("MDEA-H2S-H2O", {"H2O": 0.9, "MDEA": 0.08, "H2S": 0.02}),
    ("NaCl-H2O", {"H2O": 0.95, "NaCl": 0.05}),
    ("seawater-CO2-H2O", None),
]
SHARES = (0.1, 0.5, 0.9)
W = 55.50929780738274  # mol of water in 1 kg
# hot, loaded liquids whose trial liquids the core leaves unsettled (tests/test_trust.py): the
# feed in mol (1 kg of water), P [Pa], T [K]
LOADED = [
    (
        "NH3-CO2-H2O",
        {"H2O": W, "NH3": 4.564353103096601, "CO2": 4.525036731245804},
        2430585.0331841432,
        (407.19839182570195, 400.0, 415.0),
    ),
    (
        "MEA-H2S-H2O",
        {"H2O": W, "MEA": 9.452762480671524, "H2S": 8.36888835786665},
        2427054.624564198,
        (414.0, 415.0, 416.0, 419.43197508423293),
    ),
    (
        "NH3-CO2-H2O",
        {"H2O": 55.50929780738274, "NH3": 4.77767215985957, "CO2": 3.5889228306159286},
        4571790.577670473,
        (429.8511516217905, 440.0),
    ),
]


def temperatures(s, z, P):
    """T a share of the way from the bubble to the dew point (the dew point of an ideal liquid
    where the feed has a nonvolatile part, else 100 K above the bubble point)."""
    warm = bq._WarmStart()
    Tb = flashes._bubble_T(s, z, P, 350.0, warm)
    Td = flashes._ideal_dew_T(s, z, P)
    if Td is None or Td <= Tb:
        Td = Tb + 100.0
    Td = min(Td, checks.T_MAX - 1.0)
    return [Tb + f * (Td - Tb) for f in SHARES]


def run(s, z, T, P, engine, settle_all, log, asked):
    """(result mapping or the refusal's message, evaluations, trials) of _fugacity_split through
    one route; log gets each start's (outcome, budget left, trials) and asked "engine" or
    "aside" per engine call."""

    def counted(*a):
        out = ENGINE(*a) if engine else None
        asked.append("aside" if out is None else "engine")
        return out

    def newton(*a, **k):
        try:
            out = NEWTON(*a, **k)
            log.append(("found", k["budget"][0], list(k["settle"])))
            return out
        except ValueError as e:
            log.append((f"{type(e).__name__}: {e}", k["budget"][0], list(k["settle"])))
            raise

    flashes._engine_split_at_T = counted
    flashes._fugacity_newton = newton
    if not engine:
        checks.fugacity_mismatch = lambda *a: MISMATCH(*a)
    trials = [False, False]
    try:
        raw, evals = flashes._fugacity_split(
            s, z, T, P, bq._WarmStart(), settle_all=settle_all, trials=trials
        )
        return raw, evals, trials
    except ValueError as e:
        return f"{type(e).__name__}: {e}", None, trials
    finally:
        flashes._engine_split_at_T = ENGINE
        flashes._fugacity_newton = NEWTON
        checks.fugacity_mismatch = MISMATCH


def rel(a, b):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    return float(np.max(np.abs(a - b) / np.maximum(np.abs(b), 1e-300))) if a.size else 0.0


def main():
    systems = {}
    counts = dict.fromkeys(
        ["cases", "both split", "both refused alike", "differ", "starts alike", "repeated"], 0
    )
    worst = {"beta": 0.0, "x, y above 1e-6 (relative)": 0.0}
    asked: list[str] = []
    starts = 0
    cases = []
    for chem, feed in FEEDS:
        s = systems.setdefault(chem, velmora.System(chem))
        liquid = feed or s.composition(molalities=velmora.seawater(carbonate=True))
        z = checks.feed(s, liquid)
        for P in (ATM, 3e5):
            cases += [(chem, s, z, P, T) for T in temperatures(s, z, P)]
    for chem, feed, P, Ts in LOADED:
        s = systems.setdefault(chem, velmora.System(chem))
        cases += [(chem, s, checks.feed(s, feed), P, T) for T in Ts]
    flagged = 0
    alike_starts = near_starts = 0
    for chem, s, z, P, T in cases:
        for settle_all in (False, True):
            counts["cases"] += 1
            la, lb, la2 = [], [], []
            a = run(s, z, T, P, True, settle_all, la, asked)
            a2 = run(s, z, T, P, True, settle_all, la2, [])
            b = run(s, z, T, P, False, settle_all, lb, [])
            starts += len(la)
            flagged += a[2][1]
            # each start alike: its refusal's message, the budget and the flag it leaves
            same_starts = len(la) == len(lb) and all(
                p[0] == q[0] and p[2] == q[2] and abs(p[1] - q[1]) <= 0 for p, q in zip(la, lb)
            )
            counts["starts alike"] += same_starts
            alike_starts += sum(p == q for p, q in zip(la, lb))
            near_starts += sum(
                p[0] == q[0] and p[2] == q[2] and abs(p[1] - q[1]) == 1 for p, q in zip(la, lb)
            )
            if not same_starts:
                print(f"starts differ: {chem} P={P:g} T={T:.2f} {settle_all}\n {la}\n {lb}")
            if isinstance(a[0], str) or isinstance(b[0], str):
                ok = a[0] == b[0] and a[2] == b[2]
                counts["both refused alike" if ok else "differ"] += 1
                if not ok:
                    print(f"differ: {chem} P={P:g} T={T:.2f}: {a[0]!s:.80} | {b[0]!s:.80}")
                continue
            counts["both split"] += 1
            ra, rb = a[0], b[0]
            counts["repeated"] += all(
                np.array_equal(np.asarray(a2[0][k]), np.asarray(ra[k])) for k in ("beta", "x", "y")
            )
            big = {k: np.asarray(rb[k]) > 1e-6 for k in ("x", "y")}
            worst["beta"] = max(worst["beta"], rel(ra["beta"], rb["beta"]))
            worst["x, y above 1e-6 (relative)"] = max(
                worst["x, y above 1e-6 (relative)"],
                *(rel(np.asarray(ra[k])[big[k]], np.asarray(rb[k])[big[k]]) for k in ("x", "y")),
            )
            if a[1] != b[1] or a[2] != b[2]:
                counts["differ"] += 1
                print(f"evaluations or trials differ: {chem} P={P:g} T={T:.2f}")
    print(counts)
    print(f"runs that met an unsettled trial liquid: {flagged}")
    print(f"starts alike (outcome, budget, flag): {alike_starts} of {starts}")
    print(f"starts alike but for a budget one apart: {near_starts}")
    print(f"starts: {starts}; worst " + ", ".join(f"{k} {v:.2g}" for k, v in worst.items()))
    print(
        f"the engine was asked for {len(asked)} starts and stepped aside in {asked.count('aside')}"
    )


if __name__ == "__main__":
    main()
