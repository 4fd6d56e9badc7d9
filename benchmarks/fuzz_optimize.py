"""Fuzz of the optimizer interfaces: ``velmora.optimize`` (the outputs maps and their exact
Jacobians) and ``velmora.pyomo`` (the grey boxes and ``solve``), over the built-in chemistries.
Run by hand:

    .venv/bin/python benchmarks/fuzz_optimize.py [-n 40] [--seed 0] [CLASS ...]

Classes:

- ``liquid_jacobian`` / ``flash_jacobian``: random inputs and outputs of ``LiquidOutputs``
  (with and without solids) and ``FlashOutputs`` at a two-phase T; the values against a
  front-door call made apart (a fresh System), the Jacobian against Richardson differences of
  such calls;
- ``ipopt_target``: targets read off a front-door call at a random x*, Ipopt from elsewhere to
  meet them; a solved answer is re-solved at the front door (fresh System) and must meet them;
- ``ipopt_infeasible``: a target out of reach (water's partial pressure over its pure vapor
  pressure, or a vapor fraction above 1 / below 0): Ipopt must not say "solved";
- ``ipopt_optimum``: the most (or least) of a varied amount with one output bounded (bound read
  off a feasible x*); at a solved answer the bound holds at the front door, and the first-order
  conditions hold with the output's gradient by Richardson differences of front-door calls.

Prints per class: cases, verified, raised (a named error, or Ipopt's "not solved" with its
message), failed (by kind), then the worst case of each kind with its detail.
"""

import argparse
import collections
import math
import os
import random
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import independent as ind  # noqa: E402
import velmora  # noqa: E402
from velmora.optimize import FlashOutputs, LiquidOutputs  # noqa: E402

DERIV = 1e-4  # relative disagreement of a Jacobian column with Richardson differences
TARGET = 1e-6  # relative miss of a target at the front door
KKT = 1e-3  # stationarity residual, relative to the objective's gradient
CLASSES = ("liquid_jacobian", "flash_jacobian", "ipopt_target", "ipopt_infeasible", "ipopt_optimum")
ALLOWED = (velmora.errors.VelmoraError, ValueError)


def ipopt(m, max_iter=200):
    """velmora.pyomo.solve of the model m, its warnings silenced: (result, None), or (None,
    ("raised", why)) where it raises what a refusal may."""
    from velmora.pyomo import solve

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return solve(m, options={"max_iter": max_iter}), None
        except ALLOWED as e:
            return None, ("raised", f"{type(e).__name__}: {e}")


_FRESH = {}


def fresh(chem):
    """A System apart from the one under test (its own caches and warm starts)."""
    if chem not in _FRESH:
        _FRESH[chem] = velmora.System(chem)
    return _FRESH[chem]


def richardson(f, x, j, h):
    """d f / d x_j (Richardson: central at h and h/2)."""

    def at(d):
        y = np.array(x, dtype=float)
        y[j] += d
        return np.asarray(f(y), dtype=float)

    return (4.0 * (at(h / 2) - at(-h / 2)) / h - (at(h) - at(-h)) / (2 * h)) / 3.0


def disagrees(J, f, x, j, h, noise):
    """(index, |error|, differences) of the worst row of column j of J against Richardson
    differences at step h, and where they disagree at h / 20 and 10 h (a solver's tolerance is
    noise of size noise / h in them, the truncation grows as h^4; a nearly pure water's vapor
    fraction moves 20 per K): None where one agrees; ValueError where there are none (no answer
    on one side)."""
    worst = None
    size = np.abs(np.asarray(f(np.array(x, dtype=float)), dtype=float))  # noise: of the values
    for step in (h, h / 20.0, 10.0 * h):
        fd = richardson(f, x, j, step)
        err = np.abs(J[:, j] - fd)
        tol = DERIV * np.abs(fd) + 1e-6 * np.abs(fd).max() + noise * np.maximum(size, 1.0) / step
        if not (err > tol).any():
            return None
        k = int(np.argmax(err - tol))
        if worst is None:
            worst = (k, float(err[k]), fd[k])
    return worst


def liquid_values(chem, T0, app0, inputs, outputs, solids, x):
    """The outputs by their definitions, from a front-door liquid of a fresh System."""
    s = fresh(chem)
    T, app = T0, dict(app0)
    for name, v in zip(inputs, x):
        if name == "T":
            T = v
        else:
            app[name] = v
    liq = s.liquid(T, app, solids=solids)
    out = []
    for name in outputs:
        if name == "pH":
            out.append(liq.pH)
        elif name == "H":
            out.append(liq.H * math.fsum(liq.apparent.values()))
        elif name.startswith("p_"):
            out.append(liq.partial_pressures.get(name[2:], 0.0))
        elif name.startswith("SI_"):
            out.append(liq.saturation_indices[name[3:]])
        elif name.startswith("s_"):
            out.append(liq.solids.get(name[2:], 0.0))
        else:
            out.append(liq.molality[name[2:]])
    return np.array(out, dtype=float)


def flash_values(chem, T0, P0, feed0, inputs, outputs, solids, x):
    s = fresh(chem)
    T, P, feed = T0, P0, dict(feed0)
    for name, v in zip(inputs, x):
        if name == "T":
            T = v
        elif name == "P":
            P = v
        else:
            feed[name] = v
    r = s.flash(feed, P, T=T, solids=solids)
    out = []
    for name in outputs:
        if name == "beta":
            out.append(r.vapor_fraction)
        elif name.startswith("s_"):
            out.append(getattr(r, "solids", {}).get(name[2:], 0.0))
        else:
            out.append((r.x if name[0] == "x" else r.vapor)[name[2:]])
    return np.array(out, dtype=float)


def draw_liquid(chem, rng):
    """(T, apparent amounts, inputs, outputs, solids) of a random liquid outputs map."""
    s = fresh(chem)
    app, _ = ind.feed(chem, rng)
    app = {c: v for c, v in app.items() if v > 0.0}
    T = rng.uniform(280.0, 420.0)
    solutes = [c for c in app if c != "H2O"]
    k = rng.randint(0, min(2, len(solutes)))
    inputs = ["T"] + rng.sample(solutes, k) + (["H2O"] if rng.random() < 0.3 else [])
    solids = bool(s.solids.names) and rng.random() < 0.4
    cands = ["H", "pH"] + [
        f"p_{c}"
        for c in s.components
        if c in ("H2O",) or c in s.henry or c in ("NH3", "MEA", "MDEA")
    ]
    cands += [f"SI_{n}" for n in s.solids.names]
    cands += [f"m_{x}" for x in s.species if x != "H2O"]
    if solids:
        cands += [f"s_{n}" for n in s.solids.names]
    outputs = rng.sample(cands, min(len(cands), rng.randint(1, 4)))
    return T, app, inputs, outputs, solids


def scale_of(name, x):
    return 0.05 if name == "T" else 1e-4 * max(abs(x), 1e-6)


def check_liquid_jacobian(chem, rng, fails):
    T, app, inputs, outputs, solids = draw_liquid(chem, rng)
    f = LiquidOutputs(velmora.System(chem), T, app, inputs, outputs, solids=solids)
    x = [T] + [app[c] for c in inputs[1:]]
    try:
        y = f.values(x)
        J = f.jacobian(x)
    except ALLOWED as e:
        return "raised", f"{type(e).__name__}: {e}"
    ref = liquid_values(chem, T, app, inputs, outputs, solids, x)
    bad = np.abs(y - ref) > 1e-9 * (np.abs(ref) + 1e-12)
    if bad.any():
        fails.append(
            (
                "values differ from the front door",
                float(np.max(np.abs(y - ref))),
                f"{outputs} {y} vs {ref}",
            )
        )
    for j, name in enumerate(inputs):
        h = scale_of(name, x[j])
        try:
            bad = disagrees(
                J, lambda z: liquid_values(chem, T, app, inputs, outputs, solids, z), x, j, h, 1e-10
            )
        except ALLOWED:
            continue  # no liquid on one side (a solid's edge): no reference
        if bad:
            k, err, fd = bad
            fails.append(
                (
                    f"d {outputs[k].split('_')[0]} / d {name}",
                    err / (abs(fd) + 1e-300),
                    f"{chem} T={T!r} {app} solids={solids}: d{outputs[k]}"
                    f"/d{name} exact {J[k, j]:.6g} vs differences {fd:.6g}",
                )
            )
    return ("failed" if fails else "verified"), ""


def draw_flash(chem, rng):
    """(T, P, feed, beta) of a two-phase TP flash: T from the flash at a random vapor fraction."""
    s = fresh(chem)
    feed, _ = ind.feed(chem, rng)
    feed = {c: v for c, v in feed.items() if v > 0.0}
    P = rng.uniform(0.3e5, 20e5)
    vf = rng.uniform(0.05, 0.95)
    r = s.flash(feed, P, vapor_fraction=vf)
    return r.T, P, feed, vf


def check_flash_jacobian(chem, rng, fails):
    try:
        T, P, feed, vf = draw_flash(chem, rng)
    except ALLOWED as e:
        return "raised", f"{type(e).__name__}: {e}"
    comps = [c for c in feed]
    inputs = ["T", "P"] + rng.sample(comps, min(len(comps), rng.randint(0, 2)))
    outputs = ["beta"] + rng.sample(
        [f"{p}_{c}" for p in "xy" for c in comps], min(2 * len(comps), rng.randint(1, 3))
    )
    f = FlashOutputs(velmora.System(chem), T, P, feed, inputs, outputs)
    x = [T, P] + [feed[c] for c in inputs[2:]]
    try:
        y = f.values(x)
        J = f.jacobian(x)
    except ALLOWED as e:
        return "raised", f"{type(e).__name__}: {e}"
    ref = flash_values(chem, T, P, feed, inputs, outputs, False, x)
    if np.abs(y - ref).max() > 1e-9:
        fails.append(
            (
                "flash values differ from the front door",
                float(np.abs(y - ref).max()),
                f"{outputs} {y} vs {ref}",
            )
        )
    for j, name in enumerate(inputs):
        h = 0.02 if name == "T" else 1e-4 * x[j]
        try:
            bad = disagrees(
                J,
                lambda z: flash_values(chem, T, P, feed, inputs, outputs, False, z),
                x,
                j,
                h,
                1e-9,
            )
        except ALLOWED:
            continue
        if bad:
            k, err, fd = bad
            fails.append(
                (
                    f"flash d {outputs[k][:2]} / d {name[:1]}",
                    err / (abs(fd) + 1e-300),
                    f"{chem} T={T!r} P={P!r} {feed} (vf {vf:.3g}): d{outputs[k]}/d{name} "
                    f"exact {J[k, j]:.6g} vs differences {fd:.6g}",
                )
            )
    return ("failed" if fails else "verified"), ""


# -- Ipopt ---------------------------------------------------------------------------------------
def liquid_model(chem, T, app, vary, outputs, solids=False):
    import pyomo.environ as pyo
    from pyomo.contrib.pynumero.interfaces.external_grey_box import ExternalGreyBoxBlock

    from velmora.pyomo import LiquidGreyBox

    m = pyo.ConcreteModel()
    m.gb = ExternalGreyBoxBlock(
        external_model=LiquidGreyBox(velmora.System(chem), T, app, vary, outputs, solids=solids)
    )
    m.gb.inputs["T"].fix(T)
    return pyo, m


def draw_target_problem(chem, rng):
    """(chem, T, start amounts, vary, outputs, x* amounts) with as many outputs as varied
    amounts: the square problem outputs(x) = outputs(x*)."""
    s = fresh(chem)
    app, _ = ind.feed(chem, rng)
    app = {c: v for c, v in app.items() if v > 0.0}
    T = rng.uniform(285.0, 400.0)
    solutes = [c for c in app if c != "H2O"]
    vary = rng.sample(solutes + ["H2O"], min(len(solutes) + 1, rng.randint(1, 2)))
    cands = ["pH", "H"] + [f"p_{c}" for c in s.components if c == "H2O" or c in s.henry]
    cands += [f"m_{x}" for x in s.species if x != "H2O" and x not in s.components]
    cands += [f"SI_{n}" for n in s.solids.names]
    outputs = rng.sample(cands, len(vary))
    star = {c: app[c] * rng.uniform(0.5, 2.0) for c in vary}
    return T, app, vary, outputs, star


def check_ipopt_target(chem, rng, fails):
    T, app, vary, outputs, star = draw_target_problem(chem, rng)
    inputs = ["T"] + vary
    try:
        targets = liquid_values(
            chem, T, dict(app, **star), inputs, outputs, False, [T] + [star[c] for c in vary]
        )
        pyo, m = liquid_model(chem, T, app, vary, outputs)
    except ALLOWED as e:
        return "raised", f"{type(e).__name__}: {e}"
    if any(o == "pH" for o in outputs) and not np.isfinite(targets).all():
        return "raised", "no pH"
    m.c = pyo.ConstraintList()
    for o, t in zip(outputs, targets):
        m.c.add(m.gb.outputs[o] == float(t))
    r, refused = ipopt(m)
    if refused:
        return refused
    if not r.solved:
        if not r.message:
            fails.append(("not solved without a message", math.inf, repr(r)))
        return ("failed" if fails else "raised"), f"ipopt {r.status}: {r.message}"
    x = [T] + [m.gb.inputs[c].value for c in vary]
    try:
        got = liquid_values(chem, T, app, inputs, outputs, False, x)
    except ALLOWED as e:
        fails.append(("solved, no liquid at the front door", math.inf, f"{e}"))
        return "failed", ""
    miss = np.abs(got - targets) / np.maximum(np.abs(targets), 1.0)
    if miss.max() > TARGET:
        fails.append(
            (
                "solved, target missed at the front door",
                float(miss.max()),
                f"{chem} T={T} {app} vary {vary} {outputs}: {got} vs {targets}",
            )
        )
    return ("failed" if fails else "verified"), ""


def check_ipopt_infeasible(chem, rng, fails):
    from velmora.pyomo import solve

    T, app, vary, _, _ = draw_target_problem(chem, rng)
    which = rng.choice(["p_H2O", "beta"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            if which == "p_H2O":
                # over a liquid of the aqueous model water's partial pressure stays well below
                # twice that of pure water (its activity stays below 1 in these liquids)
                psat = fresh("water").liquid(T, {"H2O": 1.0}).partial_pressures["H2O"]
                pyo, m = liquid_model(chem, T, app, vary, ["p_H2O"])
                m.c = pyo.Constraint(expr=m.gb.outputs["p_H2O"] == 2.0 * psat)
            else:
                import pyomo.environ as pyo
                from pyomo.contrib.pynumero.interfaces.external_grey_box import (
                    ExternalGreyBoxBlock,
                )

                from velmora.pyomo import FlashGreyBox

                Tf, P, feed, _ = draw_flash(chem, rng)
                m = pyo.ConcreteModel()
                m.gb = ExternalGreyBoxBlock(
                    external_model=FlashGreyBox(velmora.System(chem), Tf, P, feed, [], ["beta"])
                )
                m.gb.inputs["P"].fix(P)
                m.c = pyo.Constraint(expr=m.gb.outputs["beta"] == rng.choice([1.2, -0.2]))
            r = solve(m, options={"max_iter": 100})
        except ALLOWED as e:
            return "raised", f"{type(e).__name__}: {e}"
    if r.solved:
        fails.append((f"infeasible {which} said solved", r.constraint_violation, f"{chem} {r}"))
    elif r.constraint_violation < 1e-6:
        fails.append(
            (f"infeasible {which}: no violation left", r.constraint_violation, f"{chem} {r}")
        )
    return ("failed" if fails else "raised"), f"ipopt {r.status}: {r.message}"


def check_ipopt_optimum(chem, rng, fails):
    T, app, vary, outputs, star = draw_target_problem(chem, rng)
    out = outputs[0]
    inputs = ["T"] + vary
    try:
        bound = float(
            liquid_values(
                chem, T, dict(app, **star), inputs, [out], False, [T] + [star[c] for c in vary]
            )[0]
        )
        pyo, m = liquid_model(chem, T, app, vary, [out])
    except ALLOWED as e:
        return "raised", f"{type(e).__name__}: {e}"
    lo = {c: 0.25 * min(app[c], star[c]) for c in vary}
    hi = {c: 4.0 * max(app[c], star[c]) for c in vary}
    for c in vary:
        m.gb.inputs[c].setlb(lo[c])
        m.gb.inputs[c].setub(hi[c])
    upper = rng.random() < 0.5
    m.c = pyo.Constraint(
        expr=(m.gb.outputs[out] <= bound) if upper else (m.gb.outputs[out] >= bound)
    )
    w = {c: rng.choice([-1.0, 1.0]) / app[c] for c in vary}
    m.obj = pyo.Objective(expr=sum(w[c] * m.gb.inputs[c] for c in vary), sense=pyo.maximize)
    r, refused = ipopt(m)
    if refused:
        return refused
    if not r.solved:
        return "raised", f"ipopt {r.status}: {r.message}"
    x = np.array([T] + [m.gb.inputs[c].value for c in vary])
    tag = f"{chem} T={T} {app} vary {vary} max {w} s.t. {out} {'<=' if upper else '>='} {bound}"
    try:
        g_at = liquid_values(chem, T, app, inputs, [out], False, x)[0]
    except ALLOWED as e:
        fails.append(("solved, no liquid at the front door", math.inf, f"{tag}: {e}"))
        return "failed", ""
    viol = (g_at - bound) if upper else (bound - g_at)
    if viol > TARGET * max(abs(bound), 1.0):
        fails.append(("solved, bound broken at the front door", viol, f"{tag}: {g_at}"))
    # first order: grad f = lam grad g on the inputs off their bounds (lam >= 0 for g <= b)
    gf = np.array([w[c] for c in vary])
    free = [k for k, c in enumerate(vary) if lo[c] * (1 + 1e-6) < x[k + 1] < hi[c] * (1 - 1e-6)]
    # an input at a bound must push against it: maximizing, at the upper bound d f >= 0 there
    active = abs(g_at - bound) <= 1e-5 * max(abs(bound), 1.0)
    if free:
        if not active:
            fails.append(
                (
                    "solved, a free input with the bound inactive",
                    float(np.abs(gf[free]).max()),
                    f"{tag}: x {x}, {out} {g_at}",
                )
            )
        else:
            try:
                gg = np.array(
                    [
                        richardson(
                            lambda z: liquid_values(chem, T, app, inputs, [out], False, z),
                            x,
                            k + 1,
                            1e-4 * x[k + 1],
                        )[0]
                        for k in free
                    ]
                )
            except ALLOWED:
                gg = None
            if gg is not None:
                lam = float(gf[free] @ gg / (gg @ gg)) if gg @ gg > 0 else 0.0
                # Ipopt stops on its dual infeasibility below tol (1e-8) times s_d = max(1,
                # |multipliers| / (n + m) / 100) (its scaling of the dual error): a large
                # multiplier (an output of small size) allows a larger residual
                s_d = max(1.0, abs(lam) / (len(vary) + 1) / 100.0)
                res = np.abs(gf[free] - lam * gg).max()
                sign_ok = lam >= 0 if upper else lam <= 0
                if res > KKT * np.abs(gf[free]).max() + 1e-7 * s_d or not sign_ok:
                    fails.append(
                        (
                            "solved, first-order conditions broken",
                            res,
                            f"{tag}: x {x}, lambda {lam:.4g}, grad g {gg}",
                        )
                    )
    return ("failed" if fails else "verified"), ""


CHECKS = {
    "liquid_jacobian": check_liquid_jacobian,
    "flash_jacobian": check_flash_jacobian,
    "ipopt_target": check_ipopt_target,
    "ipopt_infeasible": check_ipopt_infeasible,
    "ipopt_optimum": check_ipopt_optimum,
}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-n", type=int, default=40, help="cases per class")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("classes", nargs="*", help=f"default: {' '.join(CLASSES)}")
    a = ap.parse_args(argv)
    warnings.simplefilter("ignore")
    chems = velmora.chemistries()
    total_failed = 0
    worst, raised_first = {}, {}
    print(f"fuzz of the optimizer interfaces: {a.n} cases per class, seed {a.seed}")
    print(f"{'class':<18} {'cases':>6} {'verified':>8} {'raised':>7} {'failed':>6} {'s':>6}")
    for cls in a.classes or CLASSES:
        rng = random.Random(f"{a.seed}:{cls}")
        counts = collections.Counter()
        t0 = time.perf_counter()
        for _ in range(a.n):
            chem = rng.choice([c for c in chems if c != "water"])
            fails = []
            try:
                status, why = CHECKS[cls](chem, rng, fails)
            except Exception as e:  # noqa: BLE001 -- every other type is a finding
                status, why = "failed", ""
                fails.append((f"raised {type(e).__name__}", math.inf, f"{chem}: {e!r}"[:400]))
            counts[status] += 1
            if status == "raised":
                raised_first.setdefault((cls, why[:60]), f"{chem}: {why}"[:300])
            for kind, size, detail in fails:
                key = (cls, kind)
                if key not in worst or size > worst[key][0]:
                    worst[key] = (size, detail)
        total_failed += counts["failed"]
        print(
            f"{cls:<18} {a.n:>6} {counts['verified']:>8} {counts['raised']:>7} "
            f"{counts['failed']:>6} {time.perf_counter() - t0:>6.0f}",
            flush=True,
        )
    print("\nworst case of each kind of failure:")
    for (cls, kind), (size, detail) in sorted(worst.items()):
        print(f"- {cls}: {kind} ({size:.3g}): {detail}")
    print("\nraised (allowed), first of each:")
    for (cls, _), detail in sorted(raised_first.items()):
        print(f"- {cls}: {detail}")
    return 1 if total_failed else 0


if __name__ == "__main__":
    sys.exit(main())
