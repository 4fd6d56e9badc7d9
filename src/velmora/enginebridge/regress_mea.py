"""Regression of the MEA-CO2-water pair parameters against published measurements.

The databank's literature sources give no electrolyte NRTL parameters for this system. This
module fits them: the MEA-water NRTL pair and the water / ion-pair parameters of the main
ion pairs, to the CO2 partial pressures over 30 wt% aqueous MEA of Jou, Mather & Otto (Can. J.
Chem. Eng. 73 (1995) 140) at 40 and 120 C, together with the infinite-dilution activity
coefficient of MEA in water at 25 C (about 0.19) that the pure-MEA reference state of the
Austgen et al. (1989) equilibrium constants requires.

The model is the package's own: the parameter report of the engine (with trial parameters),
the activity model of ``velmora.ionactivity``, the equilibrium constants of the databank, and
the speciation and liquid fugacities of ``velmora.brinequil`` (``Electrolyte.fugacities``;
ideal gas).

Run ``python -m velmora.enginebridge.regress_mea`` to repeat the fit (it prints the result);
``--write=src/velmora/enginebridge/databank/regression_mea.toml`` rewrites the record.
"""

import math

import numpy as np

from . import databank
from .engine import build_report, input_header, parse_input

NAMES = ["H2O", "MEA", "CO2", "H3O+", "OH-", "HCO3-", "CO3--", "MEAH+", "MEACOO-"]
W_MEA = 0.30                      # mass fraction of MEA in the unloaded solution

# Jou, Mather & Otto 1995, 30 wt% MEA: (T [K], loading [mol CO2/mol MEA], p_CO2 [kPa])
JOU_1995 = [(313.15, a, p) for a, p in [
    (0.0888, 0.00147), (0.203, 0.00896), (0.365, 0.0677), (0.4735, 0.604), (0.513, 2.57),
    (0.557, 8.09), (0.609, 36.1), (0.642, 103.0)]] + [(393.15, a, p) for a, p in [
    (0.00333, 0.00202), (0.0112, 0.0221), (0.0247, 0.0984), (0.119, 2.29), (0.349, 46.8),
    (0.4115, 122.0), (0.444, 222.0), (0.473, 422.0), (0.536, 822.0), (0.639, 2804.0)]]
FIT_RANGE = (0.05, 0.56)          # loadings used in the objective
GAMMA_INF_MEA_25C = 0.19


def chemistry():
    from velmora import ionchem
    return ionchem.builtin("MEA-CO2-H2O")


def report(overrides=None):
    """The MEA-CO2-water parameter report with trial parameters ``overrides``."""
    text = input_header({"H2O": "H2O", "MEA": "MEA", "CO2": "CO2"}, "eNRTL", henry=["CO2"],
                        chemistry=("MEA", chemistry()))
    return build_report(parse_input(text + "\nPARAMETER-REPORT ALL\n"), overrides)


class Liquid:
    """The MEA-CO2-water liquid of brinequil for one parameter set: speciation and the CO2
    partial pressure over 30 wt% MEA."""

    def __init__(self, overrides=None):
        from velmora import brinequil, ionactivity
        self.ia = ionactivity
        self.el = brinequil.Electrolyte.from_report(report(overrides), chemistry(),
                                                    ["H2O", "MEA", "CO2"], henry=["CO2"])
        self.sp = self.el.sp

    def p_co2(self, T, loading):
        """CO2 partial pressure [Pa] over 30 wt% MEA at the loading (brinequil's liquid
        fugacity of CO2, ideal gas), and the true amounts."""
        m = W_MEA / databank.species("MEA")["molar_mass"]
        w = (1 - W_MEA) / databank.species("H2O")["molar_mass"]
        f, n, _ = self.el.fugacities({"H2O": w, "MEA": m, "CO2": loading * m}, T)
        return f["CO2"], np.asarray(n, float)

    def gamma_inf_mea(self, T=298.15):
        x = np.full(len(NAMES), 1e-12)
        x[0], x[1] = 1.0, 1e-9
        return math.exp(self.ia.ln_gamma(self.sp, x / x.sum(), T)[1])


# Fitted parameters: the MEA-water NRTL pair (tau = A + B/T each way, alpha 0.2) and the
# water / ion-pair parameters of the two main ion pairs of the loaded solution (tau_m,ca with a
# 1/T term for the carbamate pair, tau_ca,m constant; alpha 0.2). Priors of the widths given
# keep B near 0 and the ion pairs near the defaults 8 / -4 (Chen & Evans 1986); the pair must
# leave MEA and water miscible from 25 to 120 C.
PARAMS = ["A_MEA_H2O", "A_H2O_MEA", "B_MEA_H2O", "B_H2O_MEA",
          "A_H2O/MEAH+,MEACOO-", "B_H2O/MEAH+,MEACOO-", "A_MEAH+,MEACOO-/H2O",
          "A_H2O/MEAH+,HCO3-", "A_MEAH+,HCO3-/H2O"]
START = [0.0, -1.0, 0.0, 0.0, 8.0, 0.0, -4.0, 8.0, -4.0]
PRIOR = {2: (0.0, 2000.0), 3: (0.0, 2000.0), 4: (8.0, 5.0), 5: (0.0, 2000.0), 6: (-4.0, 5.0),
         7: (8.0, 5.0), 8: (-4.0, 5.0)}                                   # (centre, width)
W_GAMMA_INF = 3.0
W_MISCIBLE = 10.0
LOWER = [-5.0, -5.0, -4000.0, -4000.0, 0.0, -4000.0, -15.0, 0.0, -15.0]
UPPER = [10.0, 10.0, 4000.0, 4000.0, 20.0, 4000.0, 0.0, 20.0, 0.0]
X_SCALE = [1.0, 1.0, 300.0, 300.0, 1.0, 300.0, 1.0, 1.0, 1.0]


def overrides(theta, note="regressed: regression_mea.toml"):
    a1, a2, b1, b2, t1, tb, t2, t3, t4 = theta
    return {("MEA", "H2O"): (a1, b1, a2, b2, 0.2, note),
            ("H2O", "MEAH+", "MEACOO-"): (t1, tb, t2, 0.0, 0.2, note),
            ("H2O", "MEAH+", "HCO3-"): (t3, 0.0, t4, 0.0, 0.2, note)}


def points(lo=FIT_RANGE[0], hi=FIT_RANGE[1]):
    return [(T, a, p) for T, a, p in JOU_1995 if lo <= a <= hi]


def residuals(theta, pts=None):
    """ln(p_calc/p_meas) at the fitted points, the gamma-infinity condition, the priors."""
    liq = Liquid(overrides(theta))
    res = []
    for T, a, p in pts or points():
        pc, _ = liq.p_co2(T, a)
        res.append(math.log(pc / (p * 1e3)))
    res.append(W_GAMMA_INF * math.log(liq.gamma_inf_mea(298.15) / GAMMA_INF_MEA_25C))
    res += [(theta[i] - mu) / w for i, (mu, w) in PRIOR.items()]
    res.append(W_MISCIBLE * spinodal_depth(theta))
    return np.array(res)


def _curvature(theta, T, x):
    """Second differences of the Gibbs energy of mixing/RT of the MEA-water pair on the grid x
    (1 = MEA, 2 = water; tau_12: MEA around water); all >= 0 where the pair is miscible."""
    a1, a2, b1, b2 = theta[:4]
    t12, t21 = a1 + b1 / T, a2 + b2 / T
    g12, g21 = math.exp(-0.2 * t12), math.exp(-0.2 * t21)
    x1, x2 = x, 1 - x
    gm = x1 * x2 * (t21 * g21 / (x1 + x2 * g21) + t12 * g12 / (x2 + x1 * g12)) \
        + x1 * np.log(x1) + x2 * np.log(x2)
    return np.diff(gm, 2)


def spinodal_depth(theta, temps=(298.15, 313.15, 353.15, 393.15)):
    """How far the MEA-water pair is from miscibility: the largest negative second
    derivative of the Gibbs energy of mixing/RT (0 when miscible)."""
    x = np.linspace(1e-3, 1 - 1e-3, 999)
    h = x[1] - x[0]
    worst = max(float(-_curvature(theta, T, x).min()) / (h * h) for T in temps)
    return max(0.0, worst)


def miscible(theta, temps=(298.15, 313.15, 353.15, 393.15)):
    """True when the MEA-water pair gives one liquid at every composition (the Gibbs energy
    of mixing convex in x) at the given temperatures."""
    x = np.linspace(1e-4, 1 - 1e-4, 2001)
    return all(np.all(_curvature(theta, T, x) >= -1e-12) for T in temps)


def fit():
    """Least-squares fit; returns the record (data, objective, result)."""
    from scipy.optimize import least_squares
    sol = least_squares(residuals, START, method="trf", x_scale=X_SCALE,
                        bounds=(LOWER, UPPER), diff_step=1e-4, max_nfev=400)
    theta = sol.x
    liq = Liquid(overrides(theta))
    table = []
    for T, a, p in JOU_1995:
        pc, _ = liq.p_co2(T, a)
        table.append((T, a, p, pc / 1e3))
    fitted = [r for r in table if FIT_RANGE[0] <= r[1] <= FIT_RANGE[1]]
    dev = [math.log(pc / p) for _, _, p, pc in fitted]
    return {"theta": [float(v) for v in theta], "miscible": miscible(theta), "params": PARAMS, "cost": float(sol.cost),
            "nfev": int(sol.nfev), "status": int(sol.status),
            "gamma_inf_mea_25C": liq.gamma_inf_mea(298.15),
            "rms_ln": math.sqrt(sum(d * d for d in dev) / len(dev)),
            "max_factor": math.exp(max(abs(d) for d in dev)), "table": table}


def record_toml(rec):
    """The regression record as the databank file regression_mea.toml."""
    th = rec["theta"]
    a1, a2, b1, b2, t1, tb, t2, t3, t4 = th
    L = ['# Regression of the MEA-CO2-water pair parameters (written by',
         '# python -m velmora.enginebridge.regress_mea --write=<this file>; do not edit by hand).',
         '# The databank reads the fitted pairs from [[molecule_pair]] and [[electrolyte_pair]].',
         '',
         '[data]',
         'source = "Jou, Mather & Otto, Can. J. Chem. Eng. 73 (1995) 140: CO2 partial pressure over 30 wt% aqueous MEA"',
         f'loading_range = [{FIT_RANGE[0]}, {FIT_RANGE[1]}]',
         'points = [' + ", ".join(f"[{T}, {a}, {p}]" for T, a, p in points()) + ']   # [T K, mol CO2/mol MEA, kPa]',
         f'gamma_inf_mea_25C = {GAMMA_INF_MEA_25C}   # required by the pure-MEA reference of the Austgen et al. (1989) constants',
         '',
         '[objective]',
         'text = "sum of squares of ln(p_calc/p_meas) over the points, plus (3 ln(gamma_inf_MEA(25 C)/0.19))^2, plus Gaussian priors ((theta - centre)/width)^2, plus (10 x spinodal depth)^2 (MEA and water miscible at 25-120 C)"',
         'model = "engine report with trial pairs; brinequil Electrolyte.from_report, true_amounts (default options) and ln_h_mix; p_CO2 = x gamma (H/gamma_inf)_mix (ideal gas)"',
         'parameters = [' + ", ".join(f'"{p}"' for p in PARAMS) + ']',
         'start = [' + ", ".join(repr(float(v)) for v in START) + ']',
         'priors = [' + ", ".join(f'[{i}, {mu}, {w}]' for i, (mu, w) in PRIOR.items()) + ']   # [index, centre, width]',
         'method = "scipy.optimize.least_squares (trf, bounded)"',
         '',
         '[result]',
         'theta = [' + ", ".join(f"{v:.6g}" for v in th) + ']',
         f'cost = {rec["cost"]:.6g}',
         f'function_evaluations = {rec["nfev"]}',
         f'gamma_inf_mea_25C = {rec["gamma_inf_mea_25C"]:.4f}',
         f'rms_ln_deviation = {rec["rms_ln"]:.4f}',
         f'max_factor_in_range = {rec["max_factor"]:.3f}',
         f'miscible_25_to_120C = {str(rec["miscible"]).lower()}',
         'table = [' + ", ".join(f"[{T}, {a}, {p}, {pc:.5g}]" for T, a, p, pc in rec["table"]) + ']   # [T, loading, p_meas kPa, p_calc kPa], all points',
         '',
         '[[molecule_pair]]',
         'i = "MEA"', 'j = "H2O"',
         f'A_ij = {a1:.6g}', f'B_ij = {b1:.6g}', f'A_ji = {a2:.6g}', f'B_ji = {b2:.6g}', 'alpha = 0.2',
         'source = "regressed here (regression_mea.toml) to Jou et al. 1995 and gamma-infinity of MEA 0.19 at 25 C"',
         'confidence = "medium"', '']
    for cat, an, A1, B1, A2 in (("MEAH+", "MEACOO-", t1, tb, t2), ("MEAH+", "HCO3-", t3, 0.0, t4)):
        L += ['[[electrolyte_pair]]', 'molecule = "H2O"', f'cation = "{cat}"', f'anion = "{an}"',
              f'A_m_ca = {A1:.6g}', f'B_m_ca = {B1:.6g}', f'A_ca_m = {A2:.6g}', 'B_ca_m = 0.0', 'alpha = 0.2',
              'source = "regressed here (regression_mea.toml) to Jou et al. 1995"', 'confidence = "medium"', '']
    return "\n".join(L)


if __name__ == "__main__":
    import sys
    rec = fit()
    for k in ("params", "theta", "miscible", "cost", "nfev", "gamma_inf_mea_25C", "rms_ln", "max_factor"):
        print(k, "=", rec[k])
    for T, a, p, pc in rec["table"]:
        print(f"{T - 273.15:6.1f} C  loading {a:7.4f}  p_meas {p:10.5g} kPa  p_calc {pc:10.5g} kPa  ratio {pc / p:6.3f}")
    out = [a.split("=", 1)[1] for a in sys.argv[1:] if a.startswith("--write=")]
    if out:
        with open(out[0], "w") as fh:
            fh.write(record_toml(rec))
        print("written", out[0])
