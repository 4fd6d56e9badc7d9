"""Property packages of a flowsheet: the vapor model, Rachford-Rice, ideal-gas and liquid-reference
enthalpies and entropies, the temperature solver and the package's flash entry point.

Units throughout: K, Pa, J/kmol, J/(kmol K). Every apparent vector (z, x, y, K, ln phi) is a float
vector over ``pp.components`` in that order.

The liquid of a package is the apparent mixture (ideal solution; solvents on their vapor pressure,
Henry components on their solvent-weighted Henry constant) unless an electrolyte model is attached
as ``pp.elec``; the flash then hands the liquid to that model.
"""

import math

import numpy as np

R = 8314.46261815324      # J/(kmol K)
T_REF = 298.15            # K: formation and ideal-gas heat-capacity reference
P_REF = 101325.0          # Pa: ideal-gas entropy reference


class PropertyPackage:
    """The thermodynamic description of the components of a flowsheet.

    PropertyPackage(components, method="ENRTL", cpig_kind="poly", cpig=None, DHFORM=None,
                    henry_comps=(), antoine=None, henry=None, vc=None, dhref=None,
                    vapor="ideal", crit=None, elec=None, cpl=None)

    components   list of component names; their order is the order of every apparent vector.
    method       name of the property method (shown in messages).
    cpig_kind    form of the ideal-gas heat capacity Cp [J/(kmol K)], one string for all components
                 or one per component:
                   "poly"     Cp = c0 + c1 T + c2 T^2 + ...  (any number of coefficients)
                   "aly-lee"  Cp = A + B ((C/T)/sinh(C/T))^2 + D ((E/T)/cosh(E/T))^2
                              (coefficients A, B, C, D, E; C and E in K)
    cpig         the Cp coefficients: a sequence in component order or a mapping {name: coeffs};
                 a component without coefficients has Cp = 0.
    DHFORM       ideal-gas enthalpy of formation at 298.15 K [J/kmol]: sequence in component order
                 or mapping {name: value}; missing values are 0.
    henry_comps  names of the components whose liquid reference is the Henry constant.
    antoine      {name: (C1, ..., C7)}: ln Psat[Pa] = C1 + C2/(T + C3) + C4 T + C5 ln T + C6 T^C7.
    henry        {(solute, solvent): (a, b, c, d[, e])}: ln H[Pa] = a + b/T + c ln T + d T + e/T^2.
    vc           {solvent: critical volume}: weights Vc^(2/3) of the solvents in the mixed Henry
                 constant (a solvent without an entry counts 0.1).
    dhref        {name: J/kmol}: liquid-minus-ideal-gas enthalpy of components that have neither
                 vapor-pressure nor Henry data (nonvolatile liquids, salts); default 0.
    vapor        vapor model: "ideal" (ln phi = 0) or "virial" (second virial coefficients of the
                 Pitzer correlation, B0 and B1 of Abbott; cross coefficients by the combining
                 rules of Prausnitz et al., Molecular Thermodynamics of Fluid-Phase Equilibria,
                 with Zc = 0.291 - 0.08 omega). Enthalpy and entropy of the vapor include the
                 departures of the same model.
    crit         {name: (Tc [K], Pc [Pa], omega)} for the virial vapor; a component without an
                 entry has no virial coefficient (it counts as an ideal gas).
    elec         the electrolyte liquid model of the package, or None (set by attach).
    cpl          {name: (t0 [K], (c0, c1, ...))}: the liquid heat capacity of a component with
                 vapor-pressure data, cp = sum_j c_j (T - t0)^j [J/(kmol K)]. Its liquid reference
                 enthalpy is then the vapor-pressure correlation's at T_REF and follows cp from
                 there (the ideal-vapor heat of vaporisation -R T^2 d ln Psat/dT drifts from the
                 real one as the vapor departs from the ideal gas: liquid water's cp by it is 13 %
                 low at 373 K); without an entry the reference follows the correlation at every T.

    The constructor stores ``cpig``, ``cpig_kind`` and ``DHFORM`` as lists in component order.
    """

    def __init__(self, components, method="ENRTL", cpig_kind="poly", cpig=None, DHFORM=None,
                 henry_comps=(), antoine=None, henry=None, vc=None, dhref=None, vapor="ideal",
                 crit=None, elec=None, cpl=None):
        self.components = list(components)
        if len(set(self.components)) != len(self.components):
            raise ValueError("component names must be unique")
        self.method = method
        nc = len(self.components)
        if isinstance(cpig_kind, str):
            self.cpig_kind = [cpig_kind] * nc
        else:
            self.cpig_kind = list(cpig_kind)
        self.cpig = [list(c) for c in self._per_component(cpig, [], "cpig")]
        self.DHFORM = [float(h) for h in self._per_component(DHFORM, 0.0, "DHFORM")]
        if len(self.cpig_kind) != nc:
            raise ValueError("cpig_kind needs one entry per component")
        for kind in self.cpig_kind:
            if kind not in ("poly", "aly-lee"):
                raise ValueError(f"unknown ideal-gas heat-capacity form {kind!r}")
        self.henry_comps = tuple(henry_comps or ())
        for c in self.henry_comps:
            if c not in self.components:
                raise ValueError(f"Henry component {c!r} is not a component")
        self.antoine = dict(antoine or {})
        self.henry = dict(henry or {})
        self.vc = dict(vc or {})
        self.dhref = dict(dhref or {})
        if vapor not in ("ideal", "virial"):
            raise ValueError(f"unknown vapor model {vapor!r}")
        self.vapor = vapor
        self.crit = {c: tuple(float(v) for v in p) for c, p in (crit or {}).items()}
        self.elec = elec
        self.cpl = {
            c: (float(t0), tuple(float(v) for v in coeffs)) for c, (t0, coeffs) in (cpl or {}).items()
        }

    def _per_component(self, data, default, what):
        if data is None:
            return [default] * len(self.components)
        if isinstance(data, dict):
            return [data.get(c, default) for c in self.components]
        data = list(data)
        if len(data) != len(self.components):
            raise ValueError(f"{what} needs one entry per component")
        return data

    def __repr__(self):
        return f"PropertyPackage({self.components!r}, method={self.method!r})"


class Flowsheet:
    """A flowsheet as the property routines see it: its property package ``pp``, its ``meta``
    mapping (``meta["aliases"]``: {component: engine alias}) and its ``chemistries``, an ordered
    mapping {chemistry id: chemistry} (the first entry is the one attached)."""

    def __init__(self, pp, meta=None, chemistries=None):
        self.pp = pp
        self.meta = dict(meta or {})
        self.chemistries = dict(chemistries or {})


# ----------------------------------------------------------------------------- vapor

def phi_vapor(pp, y, T, P):
    """ln phi of every component in the vapor y at T, P (zeros for the ideal gas; virial:
    (2 sum_j y_j B_kj - B) P / (R T))."""
    if pp.vapor == "ideal":
        return np.zeros(len(pp.components))
    y = np.asarray(y, dtype=float)
    Bm, _ = _virial(pp, T)
    return (2.0 * Bm @ y - y @ Bm @ y) * float(P) / (R * float(T))


def _virial(pp, T):
    """Second virial coefficients B_ij [m3/kmol] of the components and their T-derivatives."""
    T = float(T)
    nc = len(pp.components)
    B = np.zeros((nc, nc))
    dB = np.zeros((nc, nc))
    crit = [pp.crit.get(c) for c in pp.components]
    for i in range(nc):
        for j in range(i, nc):
            if crit[i] is None or crit[j] is None:
                continue
            (tci, pci, wi), (tcj, pcj, wj) = crit[i], crit[j]
            tc = math.sqrt(tci * tcj)
            w = 0.5 * (wi + wj)
            zi, zj = 0.291 - 0.08 * wi, 0.291 - 0.08 * wj
            vi, vj = zi * R * tci / pci, zj * R * tcj / pcj
            vc = ((vi ** (1.0 / 3.0) + vj ** (1.0 / 3.0)) / 2.0) ** 3
            pc = 0.5 * (zi + zj) * R * tc / vc
            tr = T / tc
            b0, b1 = 0.083 - 0.422 / tr ** 1.6, 0.139 - 0.172 / tr ** 4.2
            d0, d1 = 0.6752 / tr ** 2.6, 0.7224 / tr ** 5.2
            B[i, j] = B[j, i] = R * tc / pc * (b0 + w * b1)
            dB[i, j] = dB[j, i] = R / pc * (d0 + w * d1)
    return B, dB


def _vapor_departure(pp, T, y, P):
    """Residual enthalpy [J/kmol] and entropy [J/(kmol K)] of the vapor y at T, P."""
    if pp.vapor == "ideal":
        return 0.0, 0.0
    y = np.asarray(y, dtype=float)
    B, dB = _virial(pp, T)
    b, db = float(y @ B @ y), float(y @ dB @ y)
    return float(P) * (b - float(T) * db), -float(P) * db


def _k_h_ig(T, cpig_kind, cpig, DHFORM):
    """Ideal-gas enthalpies [J/kmol] (with the formation enthalpy) and entropies [J/(kmol K)]
    (relative to 298.15 K, at the reference pressure) of every component at T."""
    h, s = _ig_terms(float(T), cpig_kind, cpig, DHFORM)
    return np.array(h), np.array(s)


def _ig_terms(T, cpig_kind, cpig, DHFORM):
    t0 = T_REF
    lnr = math.log(T / t0)
    nc = len(DHFORM)
    single = isinstance(cpig_kind, str)
    h = [0.0] * nc
    s = [0.0] * nc
    for k in range(nc):
        kind = cpig_kind if single else cpig_kind[k]
        c = cpig[k]
        if kind == "poly":
            dh = ds = 0.0
            tp, t0p = T, t0              # T^(j+1), Tref^(j+1)
            tq, t0q = 1.0, 1.0           # T^j, Tref^j
            for j, ck in enumerate(c):
                ck = float(ck)
                dh += ck / (j + 1) * (tp - t0p)
                ds += ck * lnr if j == 0 else ck / j * (tq - t0q)
                tq, t0q = tp, t0p
                tp, t0p = tp * T, t0p * t0
        elif kind == "aly-lee":
            A, B, C, D, E = ([float(v) for v in c] + [0.0] * 5)[:5]
            dh = A * (T - t0) + B * (_coth_int(C, T) - _coth_int(C, t0)) \
                - D * (_tanh_int(E, T) - _tanh_int(E, t0))
            ds = A * lnr + B * (_sinh_s(C, T) - _sinh_s(C, t0)) \
                - D * (_cosh_s(E, T) - _cosh_s(E, t0))
        else:
            raise ValueError(f"unknown ideal-gas heat-capacity form {kind!r}")
        h[k] = float(DHFORM[k]) + dh
        s[k] = ds
    return h, s


# Integrals of the Aly-Lee terms: d/dT [C coth(C/T)] = ((C/T)/sinh(C/T))^2 and
# d/dT [E tanh(E/T)] = -((E/T)/cosh(E/T))^2; the entropy forms are the integrals of Cp/T.
def _coth_int(C, T):
    return C / math.tanh(C / T) if C else T


def _tanh_int(E, T):
    return E * math.tanh(E / T) if E else -T


def _sinh_s(C, T):
    if not C:
        return math.log(T)
    u = C / T
    return u / math.tanh(u) - math.log(math.sinh(u))


def _cosh_s(E, T):
    if not E:
        return -math.log(T)
    u = E / T
    return u * math.tanh(u) - math.log(math.cosh(u))


def enthalpy_vapor(pp, T, y, P):
    """Molar enthalpy of the vapor y [J/kmol] (formation basis, with the vapor model's
    departure)."""
    h, _ = _ig_terms(float(T), pp.cpig_kind, pp.cpig, pp.DHFORM)
    return math.fsum(float(yk) * hk for yk, hk in zip(y, h)) + _vapor_departure(pp, T, y, P)[0]


def entropy_vapor(pp, T, y, P):
    """Molar entropy of the vapor y [J/(kmol K)] (with the mixing term and the vapor model's
    departure)."""
    y = [float(v) for v in y]
    _, s = _ig_terms(float(T), pp.cpig_kind, pp.cpig, pp.DHFORM)
    mix = sum(v * math.log(v) for v in y if v > 0.0)
    return sum(v * sk for v, sk in zip(y, s)) - R * mix - R * math.log(float(P) / P_REF) \
        + _vapor_departure(pp, T, y, P)[1]


# ----------------------------------------------------------------------------- liquid reference

def _ln_f0(pp, T, xa):
    """ln of the liquid reference fugacity [Pa] of every component and its T-derivative [1/K]:
    the vapor pressure for components with Antoine data, the solvent-weighted Henry constant for
    Henry components, -inf (and 0) for the rest."""
    lnf, dlnf = _ref_terms(pp, float(T), xa)
    return np.array([-math.inf if v is None else v for v in lnf]), np.array(dlnf)


def _ref_terms(pp, T, xa):
    """_ln_f0 as lists, None where a component has no reference fugacity."""
    comps = pp.components
    nc = len(comps)
    lnf = [None] * nc
    dlnf = [0.0] * nc
    lnT = math.log(T)
    henry_comps = pp.henry_comps
    for k, c in enumerate(comps):
        if c in henry_comps:
            pairs = [(A, p) for (h, A), p in pp.henry.items() if h == c]
            if not pairs:
                continue
            vw = [pp.vc.get(A, 0.1) ** (2.0 / 3.0) for A, _ in pairs]
            w = [_frac(comps, xa, A) * v for (A, _), v in zip(pairs, vw)]
            if not sum(w) > 0.0:  # no solvent of c in the liquid: weigh the solvents alike
                w = vw
            tot = sum(w)
            a = d = 0.0
            for wi, (_, p) in zip(w, pairs):
                p = [float(v) for v in p]
                e = p[4] if len(p) > 4 else 0.0
                a += wi / tot * (p[0] + p[1] / T + p[2] * lnT + p[3] * T + e / (T * T))
                d += wi / tot * (-p[1] / (T * T) + p[2] / T + p[3] - 2.0 * e / (T * T * T))
            lnf[k], dlnf[k] = a, d
        elif c in pp.antoine:
            p = [float(v) for v in pp.antoine[c]]
            lnf[k] = p[0] + p[1] / (T + p[2]) + p[3] * T + p[4] * lnT + p[5] * T ** p[6]
            dlnf[k] = _dln_antoine(p, T)
    return lnf, dlnf


def _dln_antoine(p, T):
    """d ln Psat/dT [1/K] of the extended Antoine coefficients p at T."""
    return -p[1] / (T + p[2]) ** 2 + p[3] + p[4] / T + p[5] * p[6] * T ** (p[6] - 1.0)


def _frac(comps, xa, name):
    try:
        return float(xa[comps.index(name)])
    except ValueError:
        return 0.0


def _dh_terms(pp, T, lnf, dlnf, h_ig=None):
    """-R T^2 d ln f0/dT per component (``pp.dhref`` without a reference fugacity), the solvents
    of a liquid heat capacity on it; h_ig: the ideal-gas enthalpies at T where the caller has
    them."""
    m = -R * T * T
    dh = [float(pp.dhref.get(c, 0.0)) if lnf[k] is None else m * dlnf[k]
          for k, c in enumerate(pp.components)]
    cpl = getattr(pp, "cpl", None)
    return _liquid_cp_terms(pp, T, lnf, dh, cpl, h_ig) if cpl else dh


def _liquid_cp_terms(pp, T, lnf, dh, cpl, h_ig=None):
    """dh with the solvents of a liquid heat capacity (``PropertyPackage.cpl``) on it."""
    if h_ig is None:
        h_ig, _ = _ig_terms(T, pp.cpig_kind, pp.cpig, pp.DHFORM)
    for k, c in enumerate(pp.components):
        rec = cpl.get(c)
        if rec is None or lnf[k] is None or c in pp.henry_comps:
            continue  # no heat capacity, or a Henry component's reference
        p = [float(v) for v in pp.antoine[c]]
        dh[k] = _liquid_cp_dh(p, *rec, T, h_ig[k] - pp.DHFORM[k])
    return dh


def _liquid_cp_dh(p, t0, coeffs, T, rise_ig):
    """The liquid reference enthalpy [J/kmol] of a solvent of Antoine coefficients p and liquid
    heat capacity sum_j coeffs[j] (T - t0)^j: -R T_REF^2 d ln Psat/dT (T_REF) + int_T_REF^T
    (cp_liquid - cp_ig) dT; rise_ig: the ideal gas's enthalpy at T less that at T_REF."""
    a, b = T - t0, T_REF - t0
    rise, pa, pb = 0.0, a, b  # int_T_REF^T cp_liquid dT
    for j, cj in enumerate(coeffs):
        rise += cj / (j + 1) * (pa - pb)
        pa, pb = pa * a, pb * b
    return -R * T_REF * T_REF * _dln_antoine(p, T_REF) + rise - rise_ig


def _dh_ref(pp, T, xa, P):
    """Liquid reference minus ideal gas [J/kmol] per component: -R T^2 d ln f0/dT, i.e. minus the
    heat of vaporisation for solvents and the heat of solution for Henry components (their Henry
    constant weighted by the solvents of xa); ``pp.dhref`` (default 0) for the others. P unused."""
    T = float(T)
    lnf, dlnf = _ref_terms(pp, T, xa)
    return np.array(_dh_terms(pp, T, lnf, dlnf))


def entropy_liquid(pp, T, x, P):
    """Molar entropy of the apparent liquid x [J/(kmol K)] (ideal solution on the references of
    _dh_ref, pressure-independent)."""
    T = float(T)
    x = [float(v) for v in x]
    h, s = _ig_terms(T, pp.cpig_kind, pp.cpig, pp.DHFORM)
    lnf, dlnf = _ref_terms(pp, T, x)
    dh = _dh_terms(pp, T, lnf, dlnf, h)
    lnp = math.log(P_REF)
    out = 0.0
    for k, xk in enumerate(x):
        sl = s[k] + dh[k] / T - (0.0 if lnf[k] is None else R * (lnf[k] - lnp))
        out += xk * sl
        if xk > 0.0:
            out -= R * xk * math.log(xk)
    return out


# ----------------------------------------------------------------------------- Rachford-Rice

def _k_rachford_rice(z, K):
    """Vapor fraction beta with sum z (K - 1) / (1 + beta (K - 1)) = 0, not clipped: below 0 for a
    liquid below its bubble point, above 1 for a vapor above its dew point (-inf / +inf when every
    K of the feed lies on one side of 1). Components with z = 0 are left out; K = 0 is allowed."""
    z = z.tolist() if isinstance(z, np.ndarray) else z
    K = K.tolist() if isinstance(K, np.ndarray) else K
    pairs = [(float(zk), float(kk) - 1.0) for zk, kk in zip(z, K) if zk > 0.0]
    if not pairs:
        return 0.0
    if any(not math.isfinite(d) for _, d in pairs):
        return float("nan")
    dmax = max(d for _, d in pairs)
    dmin = min(d for _, d in pairs)
    if dmax <= 0.0 and dmin >= 0.0:
        return 0.0
    if dmax <= 0.0:
        return -math.inf
    if dmin >= 0.0:
        return math.inf
    # The root lies between the poles -1/dmax < 0 and -1/dmin > 0, where g falls monotonically
    # from +inf to -inf: Newton steps kept inside a shrinking bracket.
    lo, hi = -1.0 / dmax, -1.0 / dmin
    b = 0.5 if lo < 0.5 < hi else 0.5 * (lo + hi)
    for _ in range(200):
        g = dg = 0.0
        for zk, d in pairs:
            t = d / (1.0 + b * d)
            g += zk * t
            dg -= zk * t * t
        if g > 0.0:
            lo = b
        elif g < 0.0:
            hi = b
        else:
            return b
        nb = b - g / dg
        if not lo < nb < hi:
            nb = 0.5 * (lo + hi)
        if abs(nb - b) <= 1e-15 * max(1.0, abs(b)):
            return nb
        b = nb
    return b


# velmora.brinequil runs these very functions (not replacements found in their place) in C++,
# with the same operations in the same order: Rachford-Rice, the ideal gas's ln phi = 0, and for
# the ideal vapor the enthalpies and entropies with the helpers they call.
_NATIVE = {f.__name__: f for f in (
    _k_rachford_rice, phi_vapor, enthalpy_vapor, entropy_vapor, entropy_liquid, _k_h_ig, _dh_ref,
    _ig_terms, _ref_terms, _dh_terms, _liquid_cp_terms, _liquid_cp_dh, _dln_antoine, _frac,
    _vapor_departure, _coth_int, _tanh_int, _sinh_s, _cosh_s)}


# ----------------------------------------------------------------------------- temperature solver

# Temperature solver: the first probe from T0 [K], the share of the secant distance added past
# the estimated root so that one step brackets it, the largest single step [K], the tolerances.
_T_PROBE = 1.0
_T_OVERSHOOT = 0.05
_T_MAX_STEP = 60.0
_T_XTOL = 1e-10
_T_RTOL = 4.0 * np.finfo(float).eps
_T_MAXSTEPS = 60


def _solve_T(f, v, T0):
    """Temperature T with f(T) = v. f is taken to increase with T (enthalpy, entropy and vapor
    fraction do) and is evaluated as few times as possible (each value is a flash):

    1. f(T0), then a probe 1 K towards the root gives the slope;
    2. secant steps from the last two points, aimed 5 % past the estimated root so that a
       step brackets it (at most 60 K, at least the probe; where the slope is not positive the
       steps grow by half each time from 10 K, as a plain search would), until the sign of
       f - v changes;
    3. Brent's method on that bracket to 1e-10 K (secant and inverse quadratic steps,
       bisection as the safeguard), stopped as soon as the secant puts the root within that
       tolerance.

    Each temperature is evaluated once: a flash started warm may differ in its last digits
    between two calls, and the bracket must keep its signs."""
    seen = {}

    def g(t):
        t = float(t)
        if t not in seen:
            seen[t] = f(t) - v
        return seen[t]

    T0 = float(T0)
    g0 = g(T0)
    if g0 == 0.0:
        return T0
    if not math.isfinite(g0):
        raise ValueError(f"the function is not finite at the start temperature {T0} K")
    up = g0 < 0.0

    def towards(t, dist):
        return t + dist if up else max(t - dist, 0.5 * t)

    a, ga = T0, g0
    b = towards(a, _T_PROBE)
    search = 10.0
    for _ in range(_T_MAXSTEPS):
        gb = g(b)
        if gb == 0.0:
            return b
        if math.isfinite(gb) and (gb > 0.0) == up:
            lo, hi = (a, b) if up else (b, a)
            return _brent(g, lo, hi)
        slope = (gb - ga) / (b - a) if math.isfinite(gb) else math.nan
        if math.isfinite(gb) and slope > 0.0:
            dist = min(max(abs(gb / slope) * (1.0 + _T_OVERSHOOT), _T_PROBE), _T_MAX_STEP)
            a, ga = b, gb
        else:
            dist = search
            search *= 1.5
            if math.isfinite(gb):
                a, ga = b, gb
        b = towards(a, dist)
    raise ValueError(f"no temperature found where the function reaches {v} (start {T0} K)")


def _brent(g, a, b):
    """Root of g in [a, b] (g(a), g(b) of opposite signs) by Brent's method (Brent 1973,
    Algorithms for Minimization without Derivatives, ch. 4): to |b - a|/2 < (xtol + rtol |x|)/2."""
    fa, fb = g(a), g(b)
    c, fc = a, fa
    d = e = b - a
    for _ in range(200):
        if (fb > 0.0) == (fc > 0.0):
            c, fc = a, fa
            d = e = b - a
        if abs(fc) < abs(fb):
            a, b, c = b, c, b
            fa, fb, fc = fb, fc, fb
        tol = 0.5 * (_T_XTOL + _T_RTOL * abs(b))
        m = 0.5 * (c - b)
        # Done when the bracket is narrow enough, or when the secant to the other end puts the
        # root within 2 tol (about xtol) of b: a flash's value is defined only to its last
        # digits, and waiting for the bracket to close on those costs a flash or two more.
        if fb == 0.0 or abs(m) <= tol or abs(fb) * abs(c - b) <= 2.0 * tol * abs(fc - fb):
            return b
        if abs(e) >= tol and abs(fa) > abs(fb):
            s = fb / fa
            if a == c:  # secant
                p, q = 2.0 * m * s, 1.0 - s
            else:  # inverse quadratic interpolation
                q, r = fa / fc, fb / fc
                p = s * (2.0 * m * q * (q - r) - (b - a) * (r - 1.0))
                q = (q - 1.0) * (r - 1.0) * (s - 1.0)
            if p > 0.0:
                q = -q
            else:
                p = -p
            if 2.0 * p < min(3.0 * m * q - abs(tol * q), abs(e * q)):
                e, d = d, p / q
            else:
                d = e = m
        else:
            d = e = m
        a, fa = b, fb
        b += d if abs(d) > tol else (tol if m > 0.0 else -tol)
        fb = g(b)
    raise ValueError(f"Brent's method did not converge in 200 steps on [{a}, {b}] K")


# ----------------------------------------------------------------------------- flash

def flash(pp, z, P, T=None, H=None, S=None, beta=None):
    """Flash of the feed z at P [Pa] with one of T [K], H [J/kmol], S [J/(kmol K)] or the vapor
    fraction beta, chosen in that order. The liquid goes to ``pp.elec`` when one is attached.
    Raises ValueError, before any computation, for a pressure or temperature that is not finite
    and positive, an H, S or beta that is not finite, and a feed that is not one finite,
    non-negative amount per component with a positive total."""
    _check_flash_inputs(pp, z, P, T, H, S, beta)
    if pp.elec is not None:
        return pp.elec.flash(pp, z, P, T=T, H=H, S=S, beta=beta)
    z = np.asarray(z, dtype=float)
    z = z / z.sum()
    P = float(P)
    if T is not None:
        return _flash_tp_ideal(pp, z, T, P)
    if H is not None:
        return _flash_tp_ideal(pp, z, _solve_T(lambda t: _flash_tp_ideal(pp, z, t, P)["H"], H,
                                               350.0), P)
    if S is not None:
        return _flash_tp_ideal(pp, z, _solve_T(lambda t: _flash_tp_ideal(pp, z, t, P)["S"], S,
                                               350.0), P)
    if beta is not None:
        Tb = _bubble_t_ideal(pp, z, P)
        if beta <= 0.0:
            r = _flash_tp_ideal(pp, z, Tb, P)
            r["beta"] = 0.0
            return r

        def fb(t):
            return _flash_tp_ideal(pp, z, t, P)["beta"] if t > Tb else t - Tb

        return _flash_tp_ideal(pp, z, _solve_T(fb, min(beta, 0.999999999), Tb + 5.0), P)
    raise ValueError("Give one of T, H, S, beta")


def _check_flash_inputs(pp, z, P, T, H, S, beta):
    """The checks of flash on its inputs, made before any computation (the attached model gets
    the inputs as given)."""
    if not _positive_finite(P):
        raise ValueError(f"P must be a finite pressure above 0 Pa, not {_shown(P)}")
    if T is not None and not _positive_finite(T):
        raise ValueError(f"T must be a finite temperature above 0 K, not {_shown(T)}")
    for name, v in (("H", H), ("S", S), ("beta", beta)):
        if v is not None and not _finite(v):
            raise ValueError(f"{name} must be a finite number, not {_shown(v)}")
    nc = len(pp.components)
    try:
        zv = np.asarray(z, dtype=float)
    except (TypeError, ValueError):
        raise ValueError(f"z must be a sequence of {nc} numbers, one per component") from None
    if zv.ndim != 1 or zv.size != nc:
        got = zv.size if zv.ndim == 1 else f"an array of shape {zv.shape}"
        raise ValueError(f"z needs one amount per component of the package ({nc}), not {got}")
    bad = ~np.isfinite(zv) | (zv < 0.0)
    if bad.any():
        k = int(np.argmax(bad))
        raise ValueError(f"z must be finite and non-negative: z[{pp.components[k]!r}] = "
                         f"{float(zv[k])!r}")
    if not zv.sum() > 0.0:
        raise ValueError("z is all zero: the feed needs a positive amount of some component")


def _finite(v):
    try:
        return math.isfinite(float(v))
    except (TypeError, ValueError):
        return False


def _positive_finite(v):
    return _finite(v) and float(v) > 0.0


def _shown(v):
    """A number as Python writes a float (NumPy scalars included); anything else by its repr."""
    try:
        return repr(float(v))
    except (TypeError, ValueError):
        return repr(v)


def _k_ideal(pp, x, y, T, P):
    lnf, _ = _ln_f0(pp, T, x)
    with np.errstate(over="ignore"):
        return np.exp(lnf - phi_vapor(pp, y, T, P)) / P


def _flash_tp_ideal(pp, z, T, P, tol=1e-12, maxit=100):
    """TP flash of the apparent (ideal-solution) liquid against the package's vapor."""
    T, P = float(T), float(P)
    x, y = z.copy(), z.copy()
    K = _k_ideal(pp, x, y, T, P)
    beta = 0.0 if float(np.dot(K, z)) <= 1.0 else 0.5
    it = 0
    if beta > 0.0:
        for it in range(maxit):
            beta = _k_rachford_rice(z, K)
            b = min(max(beta, 0.0), 1.0)
            xn = z / (1.0 + b * (K - 1.0))
            yn = K * xn
            x, y = xn / xn.sum(), yn / max(yn.sum(), 1e-300)
            Kn = _k_ideal(pp, x, y, T, P)
            on = (Kn > 0) & (K > 0)
            err = float(np.max(np.abs(np.log(Kn[on] / K[on])))) if on.any() else 0.0
            K = Kn
            if err < tol:
                break
    if beta >= 1.0 and np.any((K == 0.0) & (z > 0.0)):
        beta = 0.999999999999
    if beta <= 0.0:
        beta, x = 0.0, z.copy()
    elif beta >= 1.0:
        beta, y = 1.0, z.copy()
    H = S = 0.0
    if beta > 0.0:
        H = beta * enthalpy_vapor(pp, T, y, P)
        S = beta * entropy_vapor(pp, T, y, P)
    if beta < 1.0:
        h, _ = _k_h_ig(T, pp.cpig_kind, pp.cpig, pp.DHFORM)
        H += (1.0 - beta) * float(np.dot(x, h + _dh_ref(pp, T, x, P)))
        S += (1.0 - beta) * entropy_liquid(pp, T, x, P)
    return {"beta": float(beta), "x": x, "y": y, "H": float(H), "S": float(S),
            "iterations": it + 1, "T": T, "P": P}


def _bubble_t_ideal(pp, x, P, T0=350.0):
    from scipy.optimize import brentq

    def f(t):
        return math.log(max(float(np.dot(_k_ideal(pp, x, x, t, P), x)), 1e-300))

    lo, hi = T0 - 20.0, T0 + 20.0
    for _ in range(40):
        if f(lo) < 0.0 and f(hi) > 0.0:
            break
        lo, hi = (lo - 20.0, lo) if f(lo) > 0.0 else (hi, hi + 20.0)
    return brentq(f, lo, hi, xtol=1e-8)
