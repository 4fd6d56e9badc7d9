"""Solids: saturation indices, solid-liquid equilibria and flashes with salts that precipitate.

The core layer dissolves every salt completely and never forms a solid. Here the solids of the
databank (table "solids": a formula, its dissolution into species of the liquid and ln Ksp(T))
are put next to the core's liquid:

- Saturation index of a solid on a liquid: SI = log10(IAP / Ksp) in the molality convention,
  IAP = prod_i (m_i gamma_m,i)^nu_i * a_w^nu_w over the dissolved ions (molal activities) and
  the water of a hydrate. The databank keeps ln Ksp on the mole-fraction basis of the core's
  equilibrium constants; with m_i gamma_m,i = x_i gamma_i * 1000/M_w for an ion the two bases
  give the same SI, and the molal constant is ln Km = ln Kx - sum(nu_ions) ln(M_w/1000).
- Solid-liquid equilibrium: the liquid is the core's speciation of the feed less the solids'
  content; an active-set method finds the solids present (every present solid at SI = 0, every
  absent one at SI < 0). For a fixed set the amounts s solve SI(s) = 0 by Newton's method with
  the exact derivative of the speciation at its solution (the core's equations linearised in
  ln n, the activity coefficients' derivatives by differences).
- Flashes with solids: the same active set around the front door's verified two-phase flash of
  the feed less the solids.

A solid's content in the apparent components is the combination of components that carries the
same reaction invariants (elements and charge) as its dissolution products; so the liquid stays
a composition of the system's components and the core is called as everywhere else.
"""

import math
import warnings

import numpy as np

from .errors import ChemistryError, ConvergenceError, RangeWarning

LN10 = math.log(10.0)
SI_TOL = 1e-8          # |SI| of a present solid [log10 units]
# where Newton stops: 10 times below SI_TOL and about 10 times above the noise of the core's
# speciation (its residuals stop at 1e-11, its ln gamma at 1e-10)
NEWTON_TOL = 1e-9
# the core's speciation inside: tight enough that a warm start near the answer still moves
# (at the core's default 1e-11 a small change of a solid's amount can fall below it)
SPECIATION_TOL = 1e-14
ACTIVE_MAX = 60        # active-set changes before giving up
NEWTON_MAX = 60        # Newton iterations per active set
FD_STEP = 1e-7         # step in ln n for the activity coefficients' derivatives


class Solids:
    """The solids a System can form: those of the databank whose dissolution products are all
    species of its chemistry (ions, and water for a hydrate). Built once per System.

    ``names`` (databank ids, e.g. "halite", "gypsum"), ``records`` (the databank records),
    ``nu`` (solids x species: dissolution coefficients), ``content`` (solids x components:
    apparent amounts of the components in one mol of each solid).
    """

    def __init__(self, system, db):
        info = system._info
        names, rows, recs, content = [], [], [], []
        B = info.B
        # reaction invariants carried by one mol of each component
        comp_b = np.column_stack([B @ info.n0({c: 1.0}) for c in system.components])
        self.comp_b = comp_b
        for sid, rec in db.table("solids").items():
            prod = rec["dissolution"]
            if not all(s in info.pos and (info.ion[info.pos[s]] or info.pos[s] == info.iw)
                       for s in prod):
                continue
            nu = np.zeros(len(info.names))
            for s, v in prod.items():
                nu[info.pos[s]] = float(v)
            target = B @ nu
            c, *_ = np.linalg.lstsq(comp_b, target, rcond=None)
            if np.max(np.abs(comp_b @ c - target)) > 1e-9 * max(1.0, np.max(np.abs(target))):
                continue                    # not made of the components (e.g. no carrier)
            c[np.abs(c) < 1e-13] = 0.0
            names.append(sid)
            rows.append(nu)
            recs.append(rec)
            content.append(c)
        self.names = names
        self.records = recs
        n = len(names)
        self.nu = np.array(rows).reshape(n, len(info.names))
        self.content = np.array(content).reshape(n, len(system.components))
        self._abcd = np.array([[r[k] for k in "ABCD"] for r in recs]).reshape(n, 4)
        ions = np.array([[float(v) for s, v in r["dissolution"].items() if s != "H2O"]
                         for r in recs], dtype=object) if n else []
        self._nu_ions = np.array([sum(i) for i in ions], dtype=float)
        self._ln_mw = math.log(info.mw["H2O"] / 1000.0)
        self.ranges = [(float(r["tmin"]), float(r["tmax"])) for r in recs]

    def __len__(self):
        return len(self.names)

    def index(self, name):
        for k, s in enumerate(self.names):
            if s.upper() == str(name).strip().upper():
                return k
        raise ValueError(f"unknown solid {name!r}; solids of this system: "
                         f"{', '.join(self.names) or 'none'}")

    def ln_k(self, T):
        """ln Ksp of every solid at T [K], mole-fraction basis."""
        A, B, C, D = self._abcd.T
        return A + B / T + C * math.log(T) + D * T

    def log10_ksp(self, T):
        """{solid: log10 Ksp} at T [K] in the molality convention (mol/kg, water activity)."""
        lk = self.ln_k(T) - self._nu_ions * self._ln_mw
        return dict(zip(self.names, (lk / LN10).tolist()))

    def si(self, T, n, lng):
        """Saturation indices (array) of a liquid of true amounts n and ln gamma lng at T."""
        n = np.asarray(n, dtype=float)
        return (self.nu @ (np.log(n / n.sum()) + lng) - self.ln_k(T)) / LN10

    def range_warnings(self, T, which=None):
        for k in range(len(self.names)) if which is None else which:
            lo, hi = self.ranges[k]
            if not lo <= T <= hi:
                warnings.warn(f"T outside the validity range of the solubility product of "
                              f"{self.names[k]} ({lo:g}-{hi:g} K): extrapolated", RangeWarning,
                              stacklevel=4)


def saturation_indices(system, T, n, lng):
    """{solid: SI} of a liquid (true amounts n, ln gamma lng) at T."""
    ss = system.solids
    if not len(ss):
        return {}
    return dict(zip(ss.names, ss.si(T, n, np.asarray(lng, dtype=float)).tolist()))


# ------------------------------------------------------------------------- derivatives

def _dlnx_ds(system, T, n, lng, content):
    """d(ln x + ln gamma)/ds (species x solids) of the core's speciation at (n, lng) when the
    apparent liquid loses ``content`` (solids x components) per unit of each solid amount.

    The core's equations, nu (ln x + ln gamma - ref) = ln K and B n = B n0, linearised in
    u = ln n; d ln gamma / du by forward differences of the activity model (one call per
    species); the Henry reference terms are held fixed (the solids dissolve into ions)."""
    from velmora import ionactivity
    info, el = system._info, system.model
    n = np.asarray(n, dtype=float)
    ns = len(n)
    x = n / n.sum()
    u = np.log(n)
    G = np.empty((ns, ns))
    for k in range(ns):
        uk = u.copy()
        uk[k] += FD_STEP
        xk = np.exp(uk - uk.max())
        xk /= xk.sum()
        G[:, k] = (np.asarray(ionactivity.ln_gamma(el.sp, xk, T, el.options)) - lng) / FD_STEP
    dlnx = np.eye(ns) - np.outer(np.ones(ns), x)        # d ln x_i / d u_j
    D = dlnx + G
    top = info.nu @ D
    bottom = info.B * n                                  # B diag(n)
    M = np.vstack([top, bottom])
    comp_b = system.solids.comp_b
    rhs = np.vstack([np.zeros((top.shape[0], content.shape[0])), -(comp_b @ content.T)])
    du, *_ = np.linalg.lstsq(M, rhs, rcond=None)
    return D @ du


# ------------------------------------------------------------------------- solid-liquid

class _Liquid:
    """The core's speciation of an apparent liquid, with the solids' indices."""

    def __init__(self, system, app, T):
        el = system.model
        n, lng = el.true_amounts(app, T, SPECIATION_TOL)
        self.app, self.n, self.lng = app, np.asarray(n, dtype=float), np.asarray(lng, float)
        self.si = system.solids.si(T, self.n, self.lng)


def _app(system, feed, s, active):
    c = feed.copy()
    for j, k in enumerate(active):
        c -= s[j] * system.solids.content[k]
    return dict(zip(system.components, c.tolist()))


def solid_liquid(system, app, T):
    """The liquid at T in equilibrium with the solids that precipitate from the apparent
    composition ``app``: a LiquidState whose ``apparent`` is the dissolved part, ``solids``
    {solid: amount} the precipitate and ``feed`` the total given."""
    from .states import liquid_state

    ss = system.solids
    el = system.model
    el._warm = None
    state = liquid_state(system, app, T)
    si0 = np.array([state.saturation_indices[s] for s in ss.names])
    if not len(ss) or np.all(si0 < 0.0):
        return state                           # nothing precipitates: the core's liquid as is
    feed = np.array([app[c] for c in system.components], dtype=float)
    active, s, its = [], np.zeros(0), 0
    el._warm = None
    liq = _Liquid(system, app, T)
    tried = []
    for _ in range(ACTIVE_MAX):
        absent = [k for k in range(len(ss)) if k not in active]
        best = max(absent, key=lambda k: liq.si[k], default=None)
        if best is None or liq.si[best] < 0.0:
            break
        active.append(best)
        s = np.append(s, 0.0)
        tried.append("+" + ss.names[best])
        s, active, liq, n_it = _newton(system, feed, T, s, active, liq)
        its += n_it
    else:
        raise ConvergenceError(f"solid-liquid equilibrium not found at T = {T:g} K: the set of "
                               f"solids did not settle ({', '.join(tried)})", T=T,
                               feed=dict(app), tried=tried)
    ss.range_warnings(T, active)
    out = liquid_state(system, _app(system, feed, s, active), T)
    solids = {ss.names[k]: float(v) for k, v in zip(active, s)}
    _verify(system, out, solids, app, T, its)
    return out


def _newton(system, feed, T, s, active, liq):
    """Newton's method on the amounts of the solids in ``active`` (SI = 0 for each); a solid
    whose amount would turn negative leaves the set. Returns (s, active, liquid, iterations)."""
    ss = system.solids
    for it in range(1, NEWTON_MAX + 1):
        r = liq.si[active] * LN10
        if np.max(np.abs(r)) < NEWTON_TOL * LN10:
            return s, active, liq, it
        J = ss.nu[active] @ _dlnx_ds(system, T, liq.n, liq.lng, ss.content[active])
        ds, *_ = np.linalg.lstsq(J, -r, rcond=None)
        norm = float(np.max(np.abs(r)))
        # the longest step that keeps every amount non-negative; a solid reaching 0 leaves
        lam, hit = 1.0, None
        neg = np.flatnonzero(ds < 0.0)
        if neg.size:
            ratios = -s[neg] / ds[neg]
            if ratios.min() < 1.0:
                lam, hit = float(ratios.min()), int(neg[np.argmin(ratios)])
        for _ in range(40):
            s_new = np.maximum(s + lam * ds, 0.0)
            if hit is not None:
                s_new[hit] = 0.0
            try:
                new = _Liquid(system, _app(system, feed, s_new, active), T)
                ok = bool(np.all(np.isfinite(new.si)) and np.all(new.n > 0.0))
            except ValueError:
                ok = False
            if ok and (hit is not None or float(np.max(np.abs(new.si[active]))) * LN10
                       < max(norm, NEWTON_TOL * LN10)):
                break
            lam, hit = lam * 0.5, None
        else:
            raise ConvergenceError(
                f"solid-liquid equilibrium not found at T = {T:g} K: no step along the Newton "
                f"direction lowers the residual of {', '.join(ss.names[k] for k in active)} "
                f"(largest |SI| {norm / LN10:.3g})", T=T, residual=norm / LN10,
                tried=[ss.names[k] for k in active])
        s, liq = s_new, new
        gone = [j for j in range(len(active)) if s[j] <= 0.0]
        if gone:
            keep = [j for j in range(len(active)) if j not in gone]
            active = [active[j] for j in keep]
            s = s[keep]
            if not active:
                return s, active, liq, it
    raise ConvergenceError(f"solid-liquid equilibrium not converged at T = {T:g} K after "
                           f"{NEWTON_MAX} Newton steps (largest |SI| "
                           f"{float(np.max(np.abs(liq.si[active]))):.3g})", T=T,
                           residual=float(np.max(np.abs(liq.si[active]))),
                           tried=[ss.names[k] for k in active])


def _verify(system, state, solids, feed_app, T, iterations):
    """Check the answer: present solids at |SI| <= SI_TOL, absent ones at SI < 0, the element
    and charge balances of feed = liquid + solids; attach the solids to the state."""
    ss, info = system.solids, system._info
    si = state.saturation_indices
    bad = [f"{k} SI {si[k]:.3g}" for k in solids if abs(si[k]) > SI_TOL]
    bad += [f"{k} SI {v:.3g} but absent" for k, v in si.items() if k not in solids and v >= 0.0]
    b_feed = info.B @ info.n0(feed_app)
    n_liq = np.array([state.amounts[k] for k in state.species])
    b_out = info.B @ n_liq + sum(v * (info.B @ ss.nu[ss.index(k)])
                                        for k, v in solids.items())
    scale = max(float(np.sum(np.abs(info.n0(feed_app)))), 1e-300)
    balance = float(np.max(np.abs(b_feed - b_out))) / scale
    if bad or not balance <= system.tol:
        raise ConvergenceError(f"solid-liquid equilibrium not verified at T = {T:g} K: "
                               + "; ".join(bad + [f"balance {balance:.3g}"]), T=T,
                               feed=dict(feed_app), residual=balance)
    state.solids = dict(solids)
    state.feed = dict(feed_app)
    state.balance = balance
    state.iterations = iterations


# ------------------------------------------------------------------------- fitting Ksp

def ln_iap(system, solid, T, amounts):
    """ln of the ion activity product (mole-fraction basis, as ln Ksp) of ``solid`` in the
    liquid of apparent ``amounts`` {component: amount} at T [K]: the model's ln Ksp if that
    liquid is saturated with the solid."""
    ss = system.solids
    k = ss.index(solid)
    app = system.composition(amounts)
    el = system.model
    el._warm = None
    n, lng = el.true_amounts(app, T)
    n = np.asarray(n, dtype=float)
    return float(ss.nu[k] @ (np.log(n / n.sum()) + np.asarray(lng, dtype=float)))


def fit_ksp(system, solid, points, terms="AB"):
    """ln Ksp(T) of ``solid`` fitted to measured solubilities, so that the solubility product
    agrees with the activity model: ``points`` [(T [K], {component: amount})] of saturated
    liquids; ``terms`` the coefficients fitted among "ABCD" (the others 0). Returns
    ({"A", "B", "C", "D"}, largest |residual| in ln K)."""
    T = np.array([p[0] for p in points], dtype=float)
    y = np.array([ln_iap(system, solid, t, a) for t, a in points])
    basis = {"A": np.ones_like(T), "B": 1.0 / T, "C": np.log(T), "D": T}
    X = np.column_stack([basis[t] for t in terms])
    coef, *_ = np.linalg.lstsq(X, y, rcond=None)
    out = {k: 0.0 for k in "ABCD"}
    out.update(dict(zip(terms, coef.tolist())))
    return out, float(np.max(np.abs(X @ coef - y)))
