"""Would the dilute-weighted term on a salt's own two ions meet NaCl's 2 % and the ions traced in
NaCl together? The engine's term is of water with two like ions (docs/activity-model.md). Its
salt-pair form, emulated here in Python on the engine's ln gamma at the data points of
velmora.regress (as benchmarks/study_dilute_like_ion_term.py emulated the like-ion form):

    F_P = sum over (c, a) of D_ca n_w n_c n_a / N^2 g(kappa sqrt(I_x)),   D = D_A + D_B/T,
    g(y) = 2 (1 - (1 + y) e^-y) / y^2,   I_x = 1/2 sum z_i^2 n_i / N,   kappa 14.9

first order in each of its ions, zero without both (as Pitzer's beta1 term of the salt acts on
its own two ions only): a cation M traced in an NaCl brine takes D_MCl through the brine's
chloride. Gradient by complex step. Data (velmora.regress.data): Pitzer, Peiper & Busey's NaCl
gamma+- and phi at 25-100 C; HCl, MgCl2 and SrCl2 traced in NaCl (pitzer.dat); in "own" the CRC
gamma+- of SrCl2 (to 2 mol/kg) and MgCl2 (to 1 mol/kg) too. Fitted each time: NaCl's six tau
coefficients, the H3O+ pair (A each way), U(Cl-; Na+, Sr++), U(Cl-; Na+, Mg++) and

    pair    D_NaCl (A, B) alone: for ions traced in NaCl the engine's like-ion terms held equal on
            Na+ and Cl- (regress.shipped.nacl_dilute_trial("equal"), the same figures);
    traced  D_HCl, D_MgCl2, D_SrCl2 (constant) as well, the MgCl2 and SrCl2 pairs held;
    own     as traced, with the SrCl2 and MgCl2 pairs (A each way; MgCl2's other terms held) on
            their own gamma+-.

    OPENBLAS_NUM_THREADS=1 .venv/bin/python benchmarks/study_salt_pair_dilute_term.py [pair|traced|own]
"""

import math
import sys
import time

import numpy as np
from scipy.optimize import least_squares

import _term_study as term_study  # benchmarks/, the script's folder
from velmora.enginebridge import databank
from velmora.regress import core, data, shipped
from velmora.regress.core import Parameter, evaluate, overlay

KAPPA = 14.9
# D_A, D_B of each salt's term
PAIRS = {("Na+", "Cl-"): [0.0, 0.0], ("H3O+", "Cl-"): [0.0, 0.0], ("Mg++", "Cl-"): [0.0, 0.0],
         ("Sr++", "Cl-"): [0.0, 0.0]}


def g(y):
    return 2.0 * (1.0 - (1.0 + y) * np.exp(-y)) / (y * y)


def f_p(n, names, z, T):
    N = n.sum()
    ix = 0.5 * (z * z * n).sum() / N
    w = names.index("H2O")
    tot = 0.0
    for (c, a), (d_a, d_b) in PAIRS.items():
        if c in names and a in names and (d_a or d_b):
            tot = tot + (d_a + d_b / T) * n[w] * n[names.index(c)] * n[names.index(a)]
    return tot / (N * N) * g(KAPPA * np.sqrt(ix))


def grad_f_p(n, names, z, T):
    """dF_P/dn_i by complex step."""
    return term_study.gradient(f_p, n, names, z, T)


_value, _true_ln_gamma = core.Model.value, core.Model._true_ln_gamma


def _true_ln_gamma_with_term(self, T, comp):   # the ions traced (ion_gamma_mean)
    n, lng = _true_ln_gamma(self, T, comp)
    n = np.asarray(n, float)
    return n, np.asarray(lng, float) + grad_f_p(n, self.names, np.asarray(self.el.sp.z, float), T)


_value_with_term = term_study.value_with_term(_value, grad_f_p)   # gamma+- and phi of the salts


core.Model.value, core.Model._true_ln_gamma = _value_with_term, _true_ln_gamma_with_term


def study(variant):
    nacl, params, _, _ = shipped._nacl()
    traced = [data.traced_in_nacl_set("MgCl2"), data.traced_in_nacl_set("SrCl2"), data.acid_base_sets()[1]]
    own = data.salt_sets("SrCl2") + data.salt_sets("MgCl2")[:1]
    sets = nacl + traced + (own if variant == "own" else [])
    params = list(params) + [
        Parameter("electrolyte_pair", ("H2O", "H3O+", "Cl-"), "A_m_ca", 10.1, 0.0, 20.0),
        Parameter("electrolyte_pair", ("H2O", "H3O+", "Cl-"), "A_ca_m", -5.5, -15.0, 0.0),
        Parameter("ion_mixing", ("Cl-", "Na+", "Sr++"), "U_A", 117.0, -500.0, 500.0, scale=10.0),
        Parameter("ion_mixing", ("Cl-", "Na+", "Mg++"), "U_A", 267.0, -500.0, 500.0, scale=10.0)]
    if variant == "own":
        params += [Parameter("electrolyte_pair", ("H2O", c, "Cl-"), f, v, lo, hi)
                   for c, a1, a2 in (("Sr++", 8.5, -4.5), ("Mg++", 7.6, -3.9))
                   for f, v, lo, hi in (("A_m_ca", a1, 0.0, 20.0), ("A_ca_m", a2, -15.0, 0.0))]
    dkeys = [(("Na+", "Cl-"), 0, 3000.0, 10.0), (("Na+", "Cl-"), 1, 1e5, 3000.0)]
    if variant != "pair":
        dkeys += [((c, "Cl-"), 0, 3000.0, 10.0) for c in ("H3O+", "Mg++", "Sr++")]
    base = shipped.base_without("NaCl-H2O")

    def set_theta(theta):
        for (k, i, _, _), v in zip(dkeys, theta[len(params):]):
            PAIRS[k][i] = v
        return databank.derive(base, [overlay(params, theta[:len(params)], base)])

    def residuals(theta):
        r = []
        for d, rows in evaluate(sets, set_theta(theta)):
            r += [math.log(c / v) / (d.sigma * math.sqrt(len(rows))) if c > 0 and math.isfinite(c) else 1e3
                  for *_, v, c in rows]
        return np.array(r)

    for v in PAIRS.values():
        v[:] = [0.0, 0.0]
    x0 = [p.start for p in params] + [0.0] * len(dkeys)
    lo = [p.lower for p in params] + [-b for *_, b, _ in dkeys]
    hi = [p.upper for p in params] + [b for *_, b, _ in dkeys]
    sc = [p.scale for p in params] + [s for *_, s in dkeys]
    t0 = time.time()
    sol = least_squares(residuals, x0, bounds=(lo, hi), x_scale=sc, diff_step=1e-5, max_nfev=150)
    db = set_theta(sol.x)
    print(f"== {variant}: {sol.nfev} evaluations, {time.time() - t0:.0f} s, {sol.message}")
    print("D at 25 C:", ", ".join(f"{c}/{a} {d_a + d_b / 298.15:.1f}" for (c, a), (d_a, d_b) in PAIRS.items()
                                  if d_a or d_b), f"(NaCl D_A {PAIRS['Na+', 'Cl-'][0]:.2f}, D_B {PAIRS['Na+', 'Cl-'][1]:.1f})")
    for d, rows in evaluate(nacl + traced + own, db):
        for T in sorted({r[0] for r in rows}):
            w = max((abs(c / v - 1), c / v - 1, x) for t, x, v, c in rows if t == T)
            print(f"  {d.name:36s} {T - 273.15:5.1f} C  worst {100 * w[1]:+.2f} % at {w[2]:g}")


if __name__ == "__main__":
    for variant in sys.argv[1:] or ("pair", "traced", "own"):
        study(variant)
