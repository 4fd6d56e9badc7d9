"""The figures of docs/optimization.md: Ipopt on a Pyomo model holding a liquid grey box from
100 random starts, exact Jacobian against central differences, for

(a) the CO2 loading of 30 wt% MEA at 40 C with p_CO2 = 5 kPa (starts: loading 0.02-0.95);
(b) the largest water recovery of seawater (salinity 35) at 25 C with gypsum SI <= 0 (starts:
    recovery 0-0.9, the bound of the model);

the grey box's Jacobian against Richardson differences at 1,000 random liquids, and the SciPy
root of (a) with the exact Jacobian and with differences. Needs velmora[pyomo] (make ipopt)."""

import time
import warnings

import numpy as np
import pyomo.environ as pyo
import scipy.optimize as so
from pyomo.contrib.pynumero.interfaces.external_grey_box import ExternalGreyBoxBlock

import velmora
from velmora.optimize import LiquidOutputs
from velmora.pyomo import LiquidGreyBox, solve

warnings.simplefilter("ignore")  # RangeWarnings of iterates beyond loading 0.59
P_CO2 = 5000.0  # Pa
T_MEA, T_SEA = 313.15, 298.15
STARTS = 100
mea = velmora.System("MEA-CO2-H2O")
MEA_APP = mea.composition(mass_fractions={"MEA": 0.3}, loading=0.3)
brine = velmora.System("brine-H2O")
sea = velmora.System("seawater-H2O")
# Reference-Composition seawater of salinity 35, mol per kg of water (velmora.seawater)
SEA = dict(velmora.seawater(), H2O=1000.0 / 18.015)


def loading_model(loading, jacobian):
    app = dict(MEA_APP, CO2=loading * MEA_APP["MEA"])
    m = pyo.ConcreteModel()
    m.liq = ExternalGreyBoxBlock(
        external_model=LiquidGreyBox(
            mea, T_MEA, app, vary=["CO2"], outputs=["p_CO2"], jacobian=jacobian
        )
    )
    m.liq.inputs["T"].fix(T_MEA)
    m.target = pyo.Constraint(expr=m.liq.outputs["p_CO2"] == P_CO2)
    return m


def recovery_model(recovery, jacobian):
    app = dict(SEA, H2O=(1.0 - recovery) * SEA["H2O"])
    m = pyo.ConcreteModel()
    m.liq = ExternalGreyBoxBlock(
        external_model=LiquidGreyBox(
            sea, T_SEA, app, vary=["H2O"], outputs=["SI_gypsum"], jacobian=jacobian
        )
    )
    m.liq.inputs["T"].fix(T_SEA)
    m.liq.inputs["H2O"].setlb(0.1 * SEA["H2O"])  # recovery at most 0.9
    m.liq.inputs["H2O"].setub(SEA["H2O"])
    m.gypsum = pyo.Constraint(expr=m.liq.outputs["SI_gypsum"] <= 0.0)
    m.recovery = pyo.Objective(expr=1.0 - m.liq.inputs["H2O"] / SEA["H2O"], sense=pyo.maximize)
    return m


def runs(build, starts, answer, jacobian):
    """Ipopt from each start: (converged count, iterations [median, max], liquids solved per
    run, seconds per run, answers of the converged runs)."""
    its, solves, secs, found = [], [], [], []
    ok = 0
    for s0 in starts:
        m = build(s0, jacobian)
        try:
            r = solve(m)
        except Exception as exc:  # counted as a failure, its reason shown
            print(f"  start {s0:.4f}: {type(exc).__name__}: {exc}")
            continue
        its.append(r.iterations)
        solves.append(m.liq.get_external_model().outputs_of.solves)
        secs.append(r.seconds)
        if r.status == 0:
            ok += 1
            found.append(answer(m))
    return (
        ok,
        (int(np.median(its)), max(its)),
        float(np.mean(solves)),
        float(np.mean(secs)),
        np.array(found),
    )


def greybox_figures():
    rng = np.random.default_rng(21)
    print(
        "| problem | Jacobian | converged / 100 | iterations (median, max) | liquids per run "
        "| s per run | answer (spread) |"
    )
    print("|---|---|---|---|---|---|---|")
    cases = [
        (
            "MEA loading, p_CO2 = 5 kPa",
            loading_model,
            rng.uniform(0.02, 0.95, STARTS),
            lambda m: m.liq.inputs["CO2"].value / MEA_APP["MEA"],
        ),
        (
            "seawater recovery, gypsum SI <= 0",
            recovery_model,
            rng.uniform(0.0, 0.9, STARTS),
            lambda m: 1.0 - m.liq.inputs["H2O"].value / SEA["H2O"],
        ),
    ]
    for name, build, starts, answer in cases:
        for jac in ("exact", "differences"):
            ok, its, solves, secs, found = runs(build, starts, answer, jac)
            print(
                f"| {name} | {jac} | {ok} | {its[0]}, {its[1]} | {solves:.1f} | {secs:.3f} | "
                f"{np.median(found):.10f} ({np.ptp(found):.1e}) |"
            )


def richardson_column(f, x, j, h):
    def at(d):
        y = np.array(x, dtype=float)
        y[j] += d
        return f.values(y)

    return (4.0 * (at(h / 2) - at(-h / 2)) / h - (at(h) - at(-h)) / (2 * h)) / 3.0


def jacobian_figures(points=1000):
    """Largest relative difference between the exact Jacobian of the grey box's outputs and
    Richardson differences, over random MEA liquids (p_CO2, pH, m_MEACOO-) and brines
    (SI_gypsum, SI_halite, m_Ca++, p_H2O): relative to the derivative, or to 1e-6 of the
    output's size (1 for SI and pH) per input's size where the derivative is smaller."""
    rng = np.random.default_rng(7)
    worst = {}
    for k in range(points):
        if k % 2 == 0:
            T = rng.uniform(300.0, 390.0)
            app = mea.composition(
                mass_fractions={"MEA": rng.uniform(0.1, 0.4)}, loading=rng.uniform(0.05, 0.55)
            )
            f = LiquidOutputs(mea, T, app, ["T", "CO2", "MEA"], ["p_CO2", "pH", "m_MEACOO-"])
        else:
            T = rng.uniform(280.0, 360.0)
            app = {
                "H2O": 55.5,
                "NaCl": rng.uniform(0.1, 4.0),
                "KCl": rng.uniform(0.01, 0.5),
                "CaCl2": rng.uniform(0.005, 0.1),
                "Na2SO4": rng.uniform(0.005, 0.1),
            }
            f = LiquidOutputs(
                brine,
                T,
                app,
                ["T", "H2O", "CaCl2", "Na2SO4"],
                ["SI_gypsum", "SI_halite", "m_Ca++", "p_H2O"],
            )
        x = [T] + [app[c] for c in f.inputs[1:]]
        J, y = f.jacobian(x), f.values(x)
        for j, xj in enumerate(x):
            fd = richardson_column(f, x, j, 0.05 if j == 0 else 1e-3 * xj)
            for name, e, d, yk in zip(f.outputs, J[:, j], fd, y):
                size = max(abs(yk), 1.0) if name.startswith(("SI_", "pH")) else abs(yk)
                rel = abs(e - d) / max(abs(d), 1e-6 * size / xj)
                key = (name, f.inputs[j])
                worst[key] = max(worst.get(key, 0.0), rel)
    print(f"\nJacobian vs Richardson differences, {points} liquids: largest relative difference")
    for (name, wrt), v in sorted(worst.items()):
        print(f"  d {name} / d {wrt}: {v:.1e}")


def scipy_figures():
    print("\n| SciPy | Jacobian | converged | nfev | njev | liquids solved | loading |")
    print("|---|---|---|---|---|---|---|")
    for method in ("hybr", "lm"):
        for exact in (True, False):
            f = LiquidOutputs(mea, T_MEA, MEA_APP, ["CO2"], ["p_CO2"])
            fun, jac = f.residuals([P_CO2])
            r = so.root(fun, [MEA_APP["CO2"]], jac=jac if exact else None, method=method, tol=1e-12)
            print(
                f"| root {method} | {'exact' if exact else 'differences'} | {r.success} | "
                f"{r.nfev} | {getattr(r, 'njev', 0)} | {f.solves} | "
                f"{r.x[0] / MEA_APP['MEA']:.10f} |"
            )
    for exact in (True, False):
        f = LiquidOutputs(mea, T_MEA, MEA_APP, ["CO2"], ["p_CO2"])
        fun, jac = f.residuals([P_CO2])
        r = so.least_squares(
            fun,
            [MEA_APP["CO2"]],
            jac=jac if exact else "2-point",
            xtol=1e-14,
            ftol=1e-14,
            gtol=1e-14,
        )
        print(
            f"| least_squares | {'exact' if exact else 'differences'} | {r.success} | "
            f"{r.nfev} | {r.njev} | {f.solves} | {r.x[0] / MEA_APP['MEA']:.10f} |"
        )


if __name__ == "__main__":
    t0 = time.perf_counter()
    greybox_figures()
    scipy_figures()
    jacobian_figures()
    print(f"\n{time.perf_counter() - t0:.0f} s")
