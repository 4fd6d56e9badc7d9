"""The fit study that preceded the engine's dilute-weighted like-ion term (docs/activity-model.md;
shipped for CaCl2 since, D(H2O, Ca++) in fits/CaCl2-H2O.toml): would a like-ion term of water with
two cations, weighted towards dilute solution as Pitzer's beta1 term is, close the CaCl2 and NaCl
gaps of tests/test_fits.py without moving the ions traced in other brines? Here the term is added
in Python to the engine's ln gamma at the gamma+- and phi points of velmora.regress. Its figures
(docs/data-sources.md) are those of the databank before the term shipped (commit 0efd4a3); on
today's databank the shipped D(H2O, Ca++) would count twice in sections 1 and 2:

    F_D = D n_w n_c^2 / N^2 g(kappa sqrt(I_x)),   g(y) = 2 (1 - (1 + y) e^-y) / y^2,
    I_x = 1/2 sum z_i^2 n_i / N,  D = D_A + D_B/T,  kappa 14.9 (2 sqrt(I) in mol/kg, as in Pitzer's
    beta1 term with alpha 2, for water)

Homogeneous of degree one in the amounts (Euler, Gibbs-Duhem); second order in the cation c, so
an ion c traced in another salt's brine keeps what its pair gives it (ln gamma_c gains
2 D x_w x_c g -> 0); every other species gains O(x_c^2); g -> 1 at infinite dilution, where the
ions' reference is unchanged since F_D holds n_c^2. Its gradient is taken by complex step (exact
to rounding). A solid's solubility is computed by the engine, which does not see F_D: at each
gypsum point its effect is estimated to first order, at the calculated liquid with all calcium
taken as free (an overestimate: the CaSO4 ion pair holds part) or, once, speciated: ln s moves
by -(dF_D/dn_Ca + dF_D/dn_SO4 + 2 dF_D/dn_w) / (1 + m_Ca/m_SO4).

    OPENBLAS_NUM_THREADS=1 .venv/bin/python benchmarks/study_dilute_like_ion_term.py

1. CaCl2 at 25 C, the shipped records held but for U(Cl-; Ca++, Ca++) and D.
2. CaCl2 refitted as regress.shipped fits it (the pair, alpha, U and the CaSO4 fit's data and
   parameters), with D at kappa 7.5, 14.9 (also with gypsum's liquids speciated) and 30 and with
   g = 1 (kappa -> 0), a_w held falling to 100 mol/kg with the term (as shipped.aw_falls): the
   CaCl2 sets and gypsum in NaCl at 25 (fitted), 0.5 and 40 C (not fitted), Marshall & Slusher.
3. NaCl at 25-100 C (Pitzer, Peiper & Busey), its shipped pair held, D_A + D_B/T, with and without
   the like-ion triple U(Cl-; Na+, Na+); then with terms of higher order in the salt too,
   N x_w x_Na^2 x_Cl^2 (E_A + E_B/T) + N Q x_w x_Na^3 x_Cl^3, a_w held falling to 100 mol/kg.
"""

import dataclasses
import math
import sys
import time

import numpy as np
from scipy.optimize import least_squares

import _term_study as term_study  # benchmarks/, the script's folder
from velmora.enginebridge import databank
from velmora.regress import core, data, shipped
from velmora.regress.core import Parameter, evaluate, overlay

TERM = {"D_A": 0.0, "D_B": 0.0, "E_A": 0.0, "E_B": 0.0, "Q_A": 0.0, "kappa": 14.9, "cation": "Ca++"}
BOUNDS = {
    "D_A": (3000.0, 10.0),
    "D_B": (1e6, 3000.0),
    "E_A": (1e5, 100.0),
    "E_B": (1e7, 3e4),
    "Q_A": (1e6, 1000.0),
}  # +- bound, scale


def g(y):
    return 2.0 * (1.0 - (1.0 + y) * np.exp(-y)) / (y * y)


def f_d(n, names, z, T):
    """F_D, and with E, Q the terms of higher order in the salt of section 3 (N-normalised)."""
    N = n.sum()
    ix = 0.5 * (z * z * n).sum() / N
    w, c, a = names.index("H2O"), names.index(TERM["cation"]), names.index("Cl-")
    x = n / N
    d = TERM["D_A"] + TERM["D_B"] / T
    e = TERM["E_A"] + TERM["E_B"] / T
    higher = e * x[w] * x[c] ** 2 * x[a] ** 2 + TERM["Q_A"] * x[w] * x[c] ** 3 * x[a] ** 3
    return N * (d * x[w] * x[c] ** 2 * g(TERM["kappa"] * np.sqrt(ix)) + higher)


def grad_f_d(n, names, z, T):
    """dF_D/dn_i by complex step."""
    return term_study.gradient(f_d, n, names, z, T)


_value = core.Model.value


def term_on():
    return any(TERM[k] != 0.0 for k in BOUNDS)


_value_with_term = term_study.value_with_term(_value, grad_f_d, term_on)


core.Model.value = _value_with_term
GYPSUM_NAMES = core.Model("CaSO4-NaCl-H2O").names
CHARGE = {"Na+": 1, "Cl-": -1, "Ca++": 2, "SO4--": -2, "H3O+": 1, "OH-": -1}
GYPSUM_Z = np.array([CHARGE.get(s, 0) for s in GYPSUM_NAMES], float)


def with_gypsum_estimate(d, rows, db=None):
    """rows of a gypsum set with F_D's effect to first order (module docstring). With db, the
    liquids of gypsum in NaCl and water are speciated on it (the CaSO4 ion pair takes its part of
    the calcium); those in Na2SO4 (not a component of the chemistry) keep all calcium free."""
    if d.kind != "solid_solubility" or d.species != "gypsum" or not term_on():
        return rows
    names, z = GYPSUM_NAMES, GYPSUM_Z
    model = core.Model("CaSO4-NaCl-H2O", db) if db is not None else None
    out = []
    for (T, x, comp, v), (_, _, _, c) in zip(d.points, rows):
        n = np.array([comp.get(s, 0.0) for s in names], float)
        n[names.index("SO4--")] += c - comp["Ca++"]
        n[names.index("Ca++")] = c
        so4 = n[names.index("SO4--")]  # d ln(m_Ca m_SO4) / d ln s = 1 + c / so4 (totals)
        if model is not None and comp.get("Na+", 0.0) == comp.get("Cl-", 0.0):
            model.el._warm = None
            feed = {"H2O": comp["H2O"], "NaCl": comp.get("Na+", 0.0), "CaSO4": c}
            n = np.asarray(model.el.true_amounts(feed, T)[0], float)
        gr = grad_f_d(n, names, z, T)
        delta = gr[names.index("Ca++")] + gr[names.index("SO4--")] + 2.0 * gr[names.index("H2O")]
        out.append((T, x, v, c * math.exp(-delta / (1.0 + c / so4))))
    return out


def ln_aw(db, salt, ms, T=298.15):
    """ln a_w of the salt in water with the emulated terms (as shipped.ln_water_activity)."""
    model = core.Model(f"{salt}-H2O", db)
    z = np.asarray(model.el.sp.z, float)
    out = []
    for m in ms:
        comp = {"H2O": core.MOL_WATER_PER_KG, **{s: v * m for s, v in model._ions[salt].items()}}
        n, lng = model._true_ln_gamma(T, comp)
        out.append(math.log(n[0] / n.sum()) + lng[0] + grad_f_d(n, model.names, z, T)[0])
    return np.array(out)


AW_GRID = np.geomspace(5.0, 100.0, 40)


def aw_step(db, salt):
    return float(np.diff(ln_aw(db, salt, AW_GRID)).max())


def aw_falls(salt):
    """shipped.aw_falls with the emulated terms: ln a_w falls by AW_STEP or more, 5-100 mol/kg."""
    return lambda db, theta: list(
        shipped.AW_WEIGHT * np.maximum(np.diff(ln_aw(db, salt, AW_GRID)) + shipped.AW_STEP, 0.0)
    )


def study(sets, params, d_params, extra=None, base=None, max_nfev=300, speciate=False, x0=None):
    """Least squares of params (databank overlays) and d_params (subset of D_A, D_B) on sets."""
    base = base or databank.active()

    def set_theta(theta):
        for k, v in zip(d_params, theta[len(params) :]):
            TERM[k] = v
        return (
            databank.derive(base, [overlay(params, theta[: len(params)], base)]) if params else base
        )

    def ev(theta, sets_=sets):
        db = set_theta(theta)
        sp = db if speciate else None
        return [(d, with_gypsum_estimate(d, rows, sp)) for d, rows in evaluate(sets_, db)], db

    def residuals(theta):
        evd, db = ev(theta)
        r = [
            math.log(c / v) / (d.sigma * math.sqrt(len(rows)))
            if c > 0 and math.isfinite(c)
            else 1e3
            for d, rows in evd
            for _, _, v, c in rows
        ]
        if extra is not None:
            r += list(extra(db, theta[: len(params)]))
        return np.array(r)

    if x0 is None:
        x0 = [p.start for p in params] + [0.0] * len(d_params)
    lo = [p.lower for p in params] + [-BOUNDS[k][0] for k in d_params]
    hi = [p.upper for p in params] + [BOUNDS[k][0] for k in d_params]
    sc = [p.scale for p in params] + [BOUNDS[k][1] for k in d_params]
    sol = least_squares(
        residuals, x0, bounds=(lo, hi), x_scale=sc, diff_step=1e-5, max_nfev=max_nfev
    )
    return sol, lambda sets_: ev(sol.x, sets_)[0], lambda: set_theta(sol.x)


def worst(rows):
    return max(abs(c / v - 1) for *_, v, c in rows)


def show(label, sol, names, evd):
    theta = ", ".join(f"{k} {v:.4g}" for k, v in zip(names, sol.x))
    print(f"{label}: {theta}; cost {sol.cost:.3f}")
    for d, rows in evd:
        off = ", ".join(
            f"{x:g}: {100 * (c / v - 1):+.1f}" for _, x, v, c in rows if abs(c / v - 1) > 0.02
        )
        print(
            f"    {d.name[:44]:44s} worst {100 * worst(rows):5.2f} %"
            + (f"   beyond 2 %: {off}" if off else "")
        )


def euler_check():
    """F_D = sum n_i dF_D/dn_i (degree one) at a CaCl2-NaCl liquid: the gradient's own check."""
    names, z = GYPSUM_NAMES, GYPSUM_Z
    n = np.array([{"H2O": 55.5, "Na+": 2.0, "Cl-": 3.0, "Ca++": 0.5}.get(s, 0.0) for s in names])
    TERM.update(D_A=100.0, D_B=0.0, cation="Ca++")
    f, gr = f_d(n, names, z, 298.15), grad_f_d(n, names, z, 298.15)
    TERM.update(D_A=0.0)
    print(f"Euler check of the emulated term: F {f:.6e}, sum n dF/dn {float(n @ gr):.6e}")


def main():
    euler_check()
    t0 = time.time()
    cacl2 = data.salt_sets("CaCl2")
    cacl2[0] = dataclasses.replace(cacl2[0], sigma=0.005)
    cacl2 += [data.crc_high_set("CaCl2"), data.pitzer_mayorga_phi_set("CaCl2")]
    u = Parameter("ion_mixing", shipped.CACL2_TRIPLE, "U_A", 305.2, -2000.0, 2000.0, scale=10.0)
    TERM.update(cation="Ca++", kappa=14.9)
    print(
        "\n1. CaCl2, shipped pair held (the shipped records: "
        + ", ".join(f"{d.name[:22]} {100 * worst(r):.2f} %" for d, r in evaluate(cacl2))
        + ")"
    )
    sol, ev, _ = study(cacl2, [u], ["D_A"])
    show("   U, D_A", sol, ["U", "D_A"], ev(cacl2))

    sets, params, _, _ = shipped._cacl2()
    extra = aw_falls("CaCl2")  # shipped.aw_falls with the term
    checks = data.gypsum_sets(0.5) + data.gypsum_sets(40)
    print("\n2. CaCl2 refitted with the CaSO4 fit's data and parameters (regress.shipped._cacl2)")
    labels = [p.label for p in params]
    for kappa, speciate in (
        (None, False),
        (14.9, False),
        (14.9, True),
        (7.5, False),
        (30.0, False),
        (0.01, False),
    ):
        d_params = [] if kappa is None else ["D_A"]
        TERM.update(D_A=0.0, kappa=kappa or 14.9)
        sol, ev, dbf = study(sets, params, d_params, extra, speciate=speciate)
        name = "without the term" if kappa is None else f"kappa {kappa:g}"
        if speciate:
            name += ", gypsum's liquids in NaCl and water speciated for F_D's effect"
        if kappa is not None and kappa < 1:
            name += " (g near 1)"
        shown = [
            r
            for r in ev(sets + checks)
            if r[0].kind != "solid_solubility" or r[0].species == "gypsum"
        ]
        show(f"   {name}", sol, labels + d_params, shown)
        print(f"    ln a_w of CaCl2(aq), 5-100 mol/kg: largest step {aw_step(dbf(), 'CaCl2'):+.4f}")
    TERM.update(D_A=0.0)

    print("\n3. NaCl 25-100 C, shipped pair held")
    TERM.update(cation="Na+", kappa=14.9)
    nacl = data.nacl_sets()
    print("   shipped: " + ", ".join(f"{d.name} {100 * worst(r):.2f} %" for d, r in evaluate(nacl)))
    triple = ("Cl-", "Na+", "Na+")
    u = Parameter("ion_mixing", triple, "U_A", 0.0, -500.0, 500.0, scale=10.0)
    higher = ["E_A", "E_B", "Q_A"]
    start = None
    for ps, d_params, extra in (
        ([], ["D_A", "D_B"], None),
        ([u], ["D_A", "D_B"], None),
        ([u], ["D_A", "D_B"] + higher, None),
        ([u], ["D_A", "D_B"] + higher, aw_falls("NaCl")),
        ([], ["D_A", "D_B"] + higher, aw_falls("NaCl")),
    ):
        # the fit with a_w held falling starts where the one without it ended
        x0 = start if extra is not None and len(ps) == 1 else None
        sol, ev, dbf = study(nacl, ps, d_params, extra, x0=x0)
        start = sol.x
        label = "   " + ", ".join([p.label for p in ps] + d_params)
        if extra is not None:
            label += " (a_w held falling)"
        show(label, sol, [p.label for p in ps] + d_params, ev(nacl))
        db = dbf()
        print(f"    ln a_w of NaCl(aq), 5-100 mol/kg: largest step {aw_step(db, 'NaCl'):+.4f}")
        # a species outside the salt (OH- traced in 6 mol/kg NaCl, 25 C): what the N-normalised
        # terms give it; normalised by the salt's own amounts they would give it nothing
        model = core.Model("NaCl-H2O", db)
        n = np.array(
            [
                {"H2O": core.MOL_WATER_PER_KG, "Na+": 6.0, "Cl-": 6.0}.get(s, 0.0)
                for s in model.names
            ]
        )
        gr = grad_f_d(n, model.names, np.asarray(model.el.sp.z, float), 298.15)
        print(
            f"    ln gamma of OH- traced in 6 mol/kg NaCl gains {gr[model.names.index('OH-')]:+.3f}"
        )
    for k in BOUNDS:
        TERM[k] = 0.0
    print(f"\n{time.time() - t0:.0f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
