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
  absent one at SI < 0). For a fixed set the compiled Electrolyte._solid_newton solves the
  speciation's equations and the solids' saturation together (Newton in ln n and the solids'
  amounts); the liquid it finds is checked by the core's own speciation and fugacities, like
  every liquid. Where that method does not settle, the amounts s solve SI(s) = 0 by Newton's
  method around the core's speciation (its exact derivative at the solution: the core's
  equations linearised in ln n, the activity coefficients' derivatives by differences), carried
  on by Broyden's update.
- Flashes with solids: the same active set around the front door's verified two-phase flash of
  the feed less the solids.

A solid's content in the apparent components is the combination of components that carries the
same reaction invariants (elements and charge) as its dissolution products; so the liquid stays
a composition of the system's components and the core is called as everywhere else.
"""

import math
import warnings

import numpy as np

from . import checks
from .errors import ConvergenceError, RangeWarning
from .flashes import flash
from .states import LiquidState, liquid_state

# Imported where used, not here: scipy.optimize (~0.4 s to import), the compiled core and
# activity model, and phasekit (`import velmora.brinequil` runs this package's __init__ and
# loads no sibling of the core but ionactivity).

LN10 = math.log(10.0)
SI_TOL = 1e-8          # |SI| of a present solid [log10 units]
SET_REVISITS = 3       # a set of solids tried again after an exchange left the wrong one out
ROUGH_TOL = 1e-2       # |SI| to which a set that may still grow is solved
# the core's speciation inside: tight enough that a warm start near the answer still moves
# (at the core's default 1e-11 a small change of a solid's amount can fall below it, and a trace
# ion's ln n carries the balance tolerance times total/amount); 1e-13 where rounding stops 1e-14
SPECIATION_TOL = (1e-14, 1e-13)
# where a set is solved roughly, the core's default is enough
ROUGH_SPECIATION_TOL = (1e-11,)
# a flash at T that the active set does not settle: flashes at these fractions of the volatile
# part boiled off tell a liquid boiled dry from one found through its vapor fraction
DRY_GRID = (0.0, 0.15, 0.3, 0.45, 0.6, 0.75, 0.85, 0.92, 0.96, 0.99)
DRY_MARGIN = 0.1       # K above every liquid of the grid for "boils dry" (T between its points)
T_MATCH = 1e-6         # K: a flash at T found through the vapor fraction meets T to this
SPECIATION_MAXIT = 60  # a step that needs more lies too far: it is halved instead
RANK_TOL = 1e-6       # relative singular value below which the present solids are too many
BROYDEN_RATE = 0.3     # a step with an updated derivative that cuts the residual less than
                       # this asks for a new one
MAX_DROP = 0.6         # largest predicted fraction of a species' amount lost in one Newton step
START_SWEEPS = 3        # sweeps over the joining solids for their ideal start
ACTIVE_MAX = 60        # active-set changes before giving up
NEWTON_MAX = 60        # Newton iterations per active set
FD_STEP = 1e-7         # step in ln n for the activity coefficients' derivatives
TRACE_X = 1e-8         # mole fraction below which a species' effect on ln gamma is left out
CONTENT_STEP = 1e-6    # central-difference step in a solid's content for its partial properties
                       # [mol per mol of liquid]


class Solids:
    """The solids a System can form: those of the databank whose dissolution products are all
    species of its chemistry (ions, and water for a hydrate). Built once per System.

    ``names`` (databank ids, e.g. "halite", "gypsum"), ``records`` (the databank records),
    ``nu`` (solids x species: dissolution coefficients), ``content`` (solids x components:
    apparent amounts of the components in one mol of each solid).
    """

    def __init__(self, system, db):
        from scipy.optimize import nnls
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
            tol = 1e-9 * max(1.0, np.max(np.abs(target)))
            # the components that carry the solid: a non-negative combination where there is
            # one (K2CO3.1.5H2O as K2CO3 and water, not through KHCO3 and CO2), else any (gypsum
            # from CaCl2 and Na2SO4 less NaCl)
            c = nnls(comp_b, target)[0]
            if np.max(np.abs(comp_b @ c - target)) > tol:
                c = np.linalg.lstsq(comp_b, target, rcond=None)[0]
            if np.max(np.abs(comp_b @ c - target)) > tol:
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
        self._lk = (None, None)
        self._nu_ions = np.array([sum(float(v) for s, v in r["dissolution"].items()
                                      if s != "H2O") for r in recs], dtype=float)
        self._ln_mw = math.log(info.mw["H2O"] / 1000.0)
        self.ranges = [(float(r["tmin"]), float(r["tmax"])) for r in recs]
        # the feed on the species is linear in the apparent amounts: a column per component
        self.n0_of = np.column_stack([info.n0({c: 1.0}) for c in system.components])
        self.n0_tot = (self.n0_of @ self.content.T).sum(axis=0)   # per mol of each solid
        self.b_nu = B @ self.nu.T            # invariants, a column each
        self._ions = np.delete(self.nu, info.iw, axis=1)
        self._independent = {}

    def independent(self, which):
        """Whether the dissolved ions of the solids ``which`` (a tuple) are linearly
        independent (two solids that differ only by their water are not)."""
        known = self._independent.get(which)
        if known is None:
            known = self._independent[which] = bool(
                np.linalg.matrix_rank(self._ions[list(which)]) == len(which))
        return known

    def __len__(self):
        return len(self.names)

    def index(self, name):
        for k, s in enumerate(self.names):
            if s.upper() == str(name).strip().upper():
                return k
        raise ValueError(f"unknown solid {name!r}; solids of this system: "
                         f"{', '.join(self.names) or 'none'}")

    def ln_k(self, T):
        """ln Ksp of every solid at T [K], mole-fraction basis (the last T's kept: a solve asks
        at one T many times)."""
        last = self._lk             # one tuple, so that threads read a matching pair
        if last[0] != T:
            A, B, C, D = self._abcd.T
            last = self._lk = (T, A + B / T + C * math.log(T) + D * T)
        return last[1]

    def log10_ksp(self, T):
        """{solid: log10 Ksp} at T [K] in the molality convention (mol/kg, water activity)."""
        lk = self.ln_k(T) - self._nu_ions * self._ln_mw
        return dict(zip(self.names, (lk / LN10).tolist()))

    def si(self, T, n, lng):
        """Saturation indices (array) of a liquid of true amounts n and ln gamma lng at T."""
        n = np.asarray(n, dtype=float)
        return (self.nu @ (np.log(n / n.sum()) + lng) - self.ln_k(T)) / LN10

    def saturation_indices(self, T, n, lng):
        """{solid: SI} of a liquid (true amounts n, ln gamma lng) at T."""
        if not self.names:
            return {}
        return dict(zip(self.names, self.si(T, n, np.asarray(lng, dtype=float)).tolist()))

    def range_warnings(self, T, which=None):
        for k in range(len(self.names)) if which is None else which:
            lo, hi = self.ranges[k]
            if not lo <= T <= hi:
                warnings.warn(f"T outside the validity range of the solubility product of "
                              f"{self.names[k]} ({lo:g}-{hi:g} K): extrapolated", RangeWarning,
                              stacklevel=4)


def saturation_indices(system, T, n, lng):
    """{solid: SI} of a liquid (true amounts n, ln gamma lng) at T."""
    return system.solids.saturation_indices(T, n, lng)


# ------------------------------------------------------------------------- derivatives

def _dlnx_ds(system, T, n, content):
    """(d(ln x + ln gamma)/ds, d ln n/ds) (species x solids) of the core's speciation at the
    true amounts n when the apparent liquid loses ``content`` (solids x components) per unit of
    each solid amount.

    The core's equations, nu (ln x + ln gamma - ref) = ln K and B n = B n0, linearised in
    u = ln n; d ln gamma / du by forward differences of the activity model, one call per species
    above TRACE_X (a trace species moves the others' activity coefficients by its mole fraction
    only); the Henry reference terms are held fixed (the solids dissolve into ions)."""
    from velmora import ionactivity
    info, el = system._info, system.model
    n = np.asarray(n, dtype=float)
    ns = len(n)
    x = n / n.sum()
    base = np.asarray(ionactivity.ln_gamma(el.sp, x, T, el.options))
    D = np.eye(ns) - x                                   # d ln x_i / d u_j = delta_ij - x_j
    big = np.flatnonzero(x > TRACE_X)
    X = np.tile(x, (big.size, 1))                        # one perturbed composition a row
    X[np.arange(big.size), big] *= 1.0 + FD_STEP
    X /= X.sum(axis=1, keepdims=True)
    G = np.array([ionactivity.ln_gamma(el.sp, xk, T, el.options) for xk in X])
    D[:, big] += (G - base).T / FD_STEP
    M = np.vstack([info.nu @ D, info.B * n])             # B diag(n) below
    rhs = np.zeros((ns, content.shape[0]))
    rhs[info.nu.shape[0]:] = -(system.solids.comp_b @ content.T)
    try:
        du = np.linalg.solve(M, rhs)
    except np.linalg.LinAlgError:
        du = np.linalg.lstsq(M, rhs, rcond=None)[0]
    return D @ du, du


# ------------------------------------------------------------------------- solid-liquid

class _Liquid:
    """The core's speciation of an apparent liquid, with the solids' indices."""

    def __init__(self, system, app, T, maxit=SPECIATION_MAXIT, tols=SPECIATION_TOL):
        el = system.model
        for tol in tols:
            n, lng = el.true_amounts(app, T, tol, maxit)
            if el._status()["speciation_converged"]:
                break
        else:
            raise ValueError("speciation not converged")
        self.app, self.n, self.lng = app, np.asarray(n, dtype=float), np.asarray(lng, float)
        nl = self.n.tolist()
        if not (min(nl) > 0.0 and math.isfinite(sum(nl))):    # a NaN or inf makes the sum so
            raise ValueError("speciation not finite")
        self.si = system.solids.si(T, self.n, self.lng)


def _every(system, s, active):
    """The amounts ``s`` of the solids ``active`` as a vector over every solid of the system
    (a product with a whole matrix costs less than one with a fancy-indexed copy)."""
    full = np.zeros(len(system.solids))
    full[active] = s
    return full


def _app(system, feed, s, active):
    """The dissolved part {component: amount} of the feed (vector) less the solids."""
    c = feed - _every(system, s, active) @ system.solids.content
    return dict(zip(system.components, c.tolist()))


def solid_liquid(system, app, T):
    """The liquid at T in equilibrium with the solids that precipitate from the apparent
    composition ``app``: a LiquidState whose ``apparent`` is the dissolved part, ``solids``
    {solid: amount} the precipitate and ``feed`` the total given."""
    ss = system.solids
    el = system.model
    if not len(ss):
        return liquid_state(system, app, T)
    el._warm = None
    first = _Liquid(system, app, T, 2000, ROUGH_SPECIATION_TOL + SPECIATION_TOL)
    if first.si.max() < 0.0:
        return liquid_state(system, app, T)    # nothing precipitates: the core's liquid as is
    feed = _app_vector(system, app)
    warm = el._warm                 # the feed's speciation: where the method below starts
    try:
        joint = _joint_active_set(system, feed, T, first)
    except ValueError:
        joint = None                # the activity model refused a step: the method below
    if joint is not None:
        s, active, its = joint
        try:
            app_liq = _app(system, feed, s, active)
            out = _tight_state(system, app_liq, T, polish=False)
            _verify(system, out, active, s, feed, app, T, its)
            ss.range_warnings(T, active)
            return out
        except (ConvergenceError, ValueError):
            pass                    # the method below decides
    el._warm = warm

    def evaluate(s, active, tol=0.0):
        # each speciation starts from the last one of this call (the core's warm start)
        return _Liquid(system, _app(system, feed, s, active), T,
                       tols=ROUGH_SPECIATION_TOL if tol >= ROUGH_TOL else SPECIATION_TOL)

    def jacobian(s, active, liq):
        if not hasattr(liq, "jac"):        # every solid's column, kept for a set that grows
            d, du = _dlnx_ds(system, T, liq.n, ss.content)
            liq.jac = (ss.nu @ d, du)
        J, du = liq.jac
        return J[np.ix_(active, active)], du[:, active]

    s, active, _, its = _active_set(system, T, first, evaluate, jacobian)
    ss.range_warnings(T, active)
    app_liq = _app(system, feed, s, active)
    out = _tight_state(system, app_liq, T)
    _verify(system, out, active, s, feed, app, T, its)
    return out


def _joint_active_set(system, feed, T, first):
    """The active-set method with the core's joint Newton (Electrolyte._solid_newton: the
    speciation and the present solids' saturation solved together): (s, active, Newton
    iterations), with the model's warm start at that liquid, or None where it does not settle
    (a step that fails, a set seen before, one solid too many for the phase rule); the
    Python method (``_active_set``) takes over there. ``feed``: the apparent amounts (vector).

    The first set: the supersaturated solids of the feed's liquid that ``_joining`` takes. A
    present solid whose amount comes out negative leaves (the most negative first); the
    supersaturated absent ones join, in place of one they cannot coexist with."""
    ss, el = system.solids, system.model
    lnk = ss.ln_k(T)
    n0 = ss.n0_of @ feed
    n, lng, si = first.n, first.lng, first.si.tolist()
    active = _joining(system, [], sorted((k for k, v in enumerate(si) if v >= 0.0),
                                         key=lambda k: -si[k]))
    s = np.zeros(len(active))
    its, seen = 0, set()
    while active:
        key = tuple(sorted(active))
        if key in seen:
            return None
        seen.add(key)
        n, lng, s, status, k_its = el._solid_newton(n0, T, ss.nu[active], lnk[active], s, n,
                                                    lng)
        its += k_its
        if status:
            return None
        # the liquid of a negative amount (a solid dissolved beyond the feed) is a liquid all
        # the same: the next set starts there
        amounts = s.tolist()
        if min(amounts) <= 0.0:
            j = amounts.index(min(amounts))
            del active[j]
            s = np.delete(s, j)
            continue
        si = ss.si(T, n, lng).tolist()
        over = sorted((k for k, v in enumerate(si) if v >= 0.0 and k not in active),
                      key=lambda k: -si[k])
        if not over:
            el._warm = (T, n / (n0.sum() - ss.n0_tot[active] @ s), lng)
            return s, active, its
        if len(active) < _max_solids(system) and _joining(system, active, over[:1]):
            active.append(over[0])
            s = np.append(s, 0.0)
            continue
        # each supersaturated solid that cannot join in place of the present one it conflicts
        # with (the one sharing most of its ions: anhydrite for gypsum), all at once
        ions = ss._ions != 0.0
        new, fixed = list(active), set()
        for k in over:
            if _joining(system, new, [k]):
                continue                    # it can join: in a later round, one at a time
            swap = [j for j in range(len(new)) if j not in fixed and np.any(ions[new[j]] & ions[k])
                    and _joining(system, new[:j] + new[j + 1:], [k])]
            if swap:
                j = max(swap, key=lambda j: int(np.sum(ions[new[j]] & ions[k])))
                new[j] = k
                fixed.add(j)
        if fixed and tuple(sorted(new)) not in seen:
            active = new
        elif len(active) < _max_solids(system) and tuple(sorted(active + over[:1])) not in seen:
            # the exchange goes round: both present, at the one water activity where a salt
            # and its hydrate coexist (thenardite and mirabilite)
            active.append(over[0])
            s = np.append(s, 0.0)
        else:
            return None
    return None


def _app_vector(system, app):
    return np.array([app[c] for c in system.components], dtype=float)


def _tight_state(system, app, T, polish=True):
    """The LiquidState of ``app`` from a speciation converged to SPECIATION_TOL (the core's
    fugacities start from it and keep it), checked like every liquid. The warm start is this
    call's own, so the answer does not depend on earlier calls. ``polish=False``: the warm
    start is such a speciation already (the joint Newton's)."""
    el = system.model
    if polish:
        _Liquid(system, app, T, 2000)       # warm from this call's last speciation
    f, n, lng = el.fugacities(app, T)
    el._warm = None
    res = checks.speciation_residual(system, app, T, n, lng)
    if not res <= system.tol:
        raise ConvergenceError(f"chemical equilibrium of the liquid not verified at T = {T:g} K "
                               f"next to the solids: residual {res:.3g}", T=T, feed=dict(app),
                               residual=res)
    checks.pair_warnings(system, n)
    return LiquidState(system, app, T, n, lng, f, res)


def _active_set(system, T, first, evaluate, jacobian, si_tol=SI_TOL):
    """Active-set method on the solids: add the supersaturated absent solids (those of
    ``_joining`` where the set is new, else the most supersaturated one), solve for the amounts
    of the present ones (``_newton``), until every absent solid has SI < 0.
    ``evaluate(s, active, tol)`` gives a state with ``si`` (raises ValueError where it has none;
    ``tol`` the |SI| sought, which may loosen the solve inside),
    ``jacobian(s, active, state)`` (d(ln IAP - ln K)/ds of the present solids, d ln n/ds of
    the species or None).
    ``si_tol``: the |SI| the present solids must reach (Newton stops at a tenth of it).
    Returns (s, active, state, Newton iterations)."""
    ss = system.solids
    active, s, its, state, tried, seen = [], np.zeros(0), 0, first, [], {}
    tight = True                    # the set in hand is solved to a tenth of si_tol
    for _ in range(ACTIVE_MAX):
        absent = [k for k in range(len(ss)) if k not in active]
        best = max(absent, key=lambda k: state.si[k], default=None)
        if best is None or state.si[best] < 0.0:
            if tight:
                return s, active, state, its
            # a set solved roughly (where it may still grow) is solved exactly, then looked at
            # again
            s, active, state, n_it = _newton(system, T, s, active, state, evaluate, jacobian,
                                             0.1 * si_tol, si_tol)
            its, tight = its + n_it, True
            continue
        # the supersaturated solids join together (see _joining); one at a time once a set has
        # been seen
        over = sorted((k for k in absent if state.si[k] >= 0.0), key=lambda k: -state.si[k])
        new = _joining(system, active, over)
        key = tuple(sorted(active + new))
        if key in seen or len(active) + len(new) > _max_solids(system):
            new = [best]
            key = tuple(sorted(active + new))
        seen[key] = seen.get(key, 0) + 1
        if seen[key] > SET_REVISITS:
            break                   # the set cycles
        active += new
        s = np.append(s, np.zeros(len(new)))
        tried += ["+" + ss.names[k] for k in new]
        if hasattr(state, "n"):
            s, state = _start(system, s, active, len(new), state, evaluate)
        s, active, state, n_it = _newton(system, T, s, active, state, evaluate, jacobian,
                                         ROUGH_TOL, si_tol)
        its, tight = its + n_it, False
    raise ConvergenceError(f"solid-liquid equilibrium not found at T = {T:g} K: the set of "
                           f"solids did not settle ({', '.join(tried)})", T=T, tried=tried)


def _joining(system, active, candidates):
    """The supersaturated solids (most supersaturated first) that join ``active`` together: each
    one whose dissolved ions are independent of those of the set so far (of gypsum and
    anhydrite, or mirabilite and thenardite, only the more supersaturated: both coexist at one
    water activity only), within the phase rule's count."""
    ss = system.solids
    chosen = list(active)
    for k in candidates:
        if len(chosen) >= _max_solids(system):
            break
        if ss.independent(tuple(chosen + [k])):
            chosen.append(k)
    return chosen[len(active):]


def _max_solids(system):
    """Solids that can coexist with the liquid at fixed T and P: the components less water."""
    return len(system.components) - 1


def _start(system, s, active, m, liq, evaluate):
    """A start for the amounts of the ``m`` solids just added (the last of ``active``): the
    amounts that bring their indices to 0 when only their own ions leave the liquid, ideally
    (a trace mineral takes most of its scarcest ion, which a Newton step from 0 on a
    logarithmic index approaches slowly). Solids that share an ion are solved in turn, each
    with the others' present amounts, START_SWEEPS times over. One speciation for all."""
    from scipy.optimize import brentq
    ss, info = system.solids, system._info
    n0 = [float(v) for v in liq.n]
    si0 = [float(v) * LN10 for v in liq.si]
    # plain floats: a solid's ions are two or three, Brent's method calls f a dozen times
    ions = {}
    for j in range(len(active) - m, len(active)):
        k = active[j]
        ions[j] = [(i, float(ss.nu[k, i])) for i in np.flatnonzero(ss.nu[k] > 0.0)
                   if i != info.iw]
    x = dict.fromkeys(ions, 0.0)
    taken = dict.fromkeys((i for own in ions.values() for i, _ in own), 0.0)
    for _ in range(START_SWEEPS if len(ions) > 1 else 1):
        for j, own in ions.items():
            # the liquid without this solid's share, the others' kept
            left = [(v, n0[i] - taken[i] + v * x[j], n0[i]) for i, v in own]
            si = si0[active[j]] + sum(v * math.log(a / b) for v, a, b in left if a > 0.0)
            if si <= 0.0 or min(a for _, a, _ in left) <= 0.0:
                new = 0.0
            else:
                terms = [(v, v / a) for v, a, _ in left]
                top = 1.0 / max(r for _, r in terms)

                def f(a, si=si, terms=terms):
                    return si + sum(v * math.log1p(-r * a) for v, r in terms)

                # to a millionth of the largest amount: the start keeps a thousandth back
                try:
                    new = 0.999 * brentq(f, 0.0, top * (1.0 - 1e-12), xtol=1e-6 * top)
                except ValueError:      # supersaturated past what its ions hold, ideally
                    new = 0.999 * top
            for i, v in own:
                taken[i] += v * (new - x[j])
            x[j] = new
    trial = s.copy()
    for j, v in x.items():
        trial[j] = v
    try:
        return trial, evaluate(trial, active, ROUGH_TOL)
    except (ValueError, ConvergenceError):
        return s, liq


def _exchange(s, active, J, evaluate):
    """One solid too many for the phase rule (the indices of the present solids depend on fewer
    intensive variables than there are solids): move along the null direction of J, which keeps
    the liquid's intensive state, until the first solid is used up (a ratio test, as in the
    simplex method); it leaves. The newest solid (last in ``active``) grows along the way."""
    v = np.linalg.svd(J)[2][-1]
    if v[-1] < 0.0:
        v = -v
    shrink = np.flatnonzero(v < 0.0)
    if not shrink.size:
        raise ConvergenceError("the solids' amounts grow without bound along the phase rule's "
                               "null direction")
    ratios = -s[shrink] / v[shrink]
    out = int(shrink[np.argmin(ratios)])
    s = np.maximum(s + float(ratios.min()) * v, 0.0)
    keep = [j for j in range(len(active)) if j != out]
    active, s = [active[j] for j in keep], s[keep]
    try:
        return s, active, evaluate(s, active)
    except ValueError:
        raise ConvergenceError("the liquid after exchanging a solid has no solution") from None


def _newton(system, T, s, active, state, evaluate, jacobian, tol, si_tol):
    """Newton's method on the amounts of the solids in ``active`` (SI = 0 for each), damped to
    lower the largest residual; a solid whose amount reaches 0 leaves the set. The derivative is
    carried from step to step by Broyden's update and renewed only where a step with it fails or
    cuts the residual less than BROYDEN_RATE (or a solid leaves); each call starts with an exact
    one (a rough solve's updated derivative serves its tight one worse than a new one).
    Returns (s, active, state, iterations)."""
    ss = system.solids
    J = None                        # the derivative in use, exact where ``fresh``
    for it in range(1, NEWTON_MAX + 1):
        r = state.si[active] * LN10
        norm = float(np.max(np.abs(r)))
        if norm < tol * LN10:
            return s, active, state, it
        if J is None:
            J, dlnn = jacobian(s, active, state)
            fresh = True
        # the phase rule's test on an exact derivative only (an updated one that turns
        # singular is renewed below)
        sv = np.linalg.svd(J, compute_uv=False) if fresh and len(active) > 1 else None
        if sv is not None and sv[-1] <= RANK_TOL * sv[0]:
            try:
                s, active, state = _exchange(s, active, J, evaluate)
            except ConvergenceError as e:
                raise ConvergenceError(f"solid-liquid equilibrium not found at T = {T:g} K: {e}",
                                       T=T, tried=[ss.names[k] for k in active]) from None
            J = None
            continue
        try:
            ds = np.linalg.solve(J, -r)
        except np.linalg.LinAlgError:
            if not fresh:
                J = None
                continue
            ds = np.linalg.lstsq(J, -r, rcond=None)[0]
        # no species of the liquid may lose more than MAX_DROP of its amount by the linear
        # prediction (the indices are logarithmic: a full step can overshoot a solid's last
        # ions); no amount below 0 (a solid reaching 0 leaves)
        lam, hit = 1.0, None
        if dlnn is not None:
            drop = float(np.max(-(dlnn @ ds)))
            if drop > MAX_DROP:
                lam = MAX_DROP / drop
        neg = np.flatnonzero(ds < 0.0)
        if neg.size:
            ratios = -s[neg] / ds[neg]
            if ratios.min() < lam:
                lam, hit = float(ratios.min()), int(neg[np.argmin(ratios)])
        for _ in range(40):
            s_new = np.maximum(s + lam * ds, 0.0)
            if hit is not None:
                s_new[hit] = 0.0
            try:
                new = evaluate(s_new, active, tol)
                ok = bool(np.all(np.isfinite(new.si)))
            except (ValueError, ConvergenceError):
                ok = False
            if ok and (hit is not None or float(np.max(np.abs(new.si[active]))) * LN10
                       < max(norm, 0.1 * si_tol * LN10)):
                break
            lam, hit = lam * 0.5, None
        else:
            if not fresh:                     # an updated derivative: renew it, try again
                J = None
                continue
            if norm < 0.5 * si_tol * LN10:    # at the noise of the solve inside, within tolerance
                return s, active, state, it
            raise ConvergenceError(
                f"solid-liquid equilibrium not found at T = {T:g} K: no step along the Newton "
                f"direction lowers the residual of {', '.join(ss.names[k] for k in active)} "
                f"(largest |SI| {norm / LN10:.3g})", T=T, residual=norm / LN10,
                tried=[ss.names[k] for k in active])
        r_new = new.si[active] * LN10
        # a damped step cuts the residual by about its length only
        slow = float(np.max(np.abs(r_new))) > (1.0 - (1.0 - BROYDEN_RATE) * lam) * norm
        if hit is not None or (slow and not fresh):
            J = None                # a solid left, or too slow for the updated derivative
        else:                       # Broyden's update: J step = the change of the residual
            step = s_new - s
            J = J + np.outer(r_new - r - J @ step, step) / float(step @ step)
            fresh = False
        s, state = s_new, new
        keep = [j for j in range(len(active)) if s[j] > 0.0]
        if len(keep) < len(active):
            active, s = [active[j] for j in keep], s[keep]
            J = None
            if not active:
                return s, active, state, it
    raise ConvergenceError(f"solid-liquid equilibrium not converged at T = {T:g} K after "
                           f"{NEWTON_MAX} Newton steps (largest |SI| "
                           f"{float(np.max(np.abs(state.si[active]))):.3g})", T=T,
                           residual=float(np.max(np.abs(state.si[active]))),
                           tried=[ss.names[k] for k in active])


def _verify(system, state, active, s, feed, feed_app, T, iterations):
    """Check the answer: present solids (``active``, amounts ``s``) at |SI| <= SI_TOL, absent
    ones at SI <= SI_TOL (an absent solid at 0 is one just saturated, as at the point where a
    path's solid appears), the element and charge balances of feed = liquid + solids
    (``feed``: the apparent amounts as a vector, ``feed_app`` as given); attach the solids to
    the state."""
    ss, info = system.solids, system._info
    solids = dict(zip([ss.names[k] for k in active], np.asarray(s, dtype=float).tolist()))
    si = state.saturation_indices
    bad = [f"{k} SI {si[k]:.3g}" for k in solids if abs(si[k]) > SI_TOL]
    bad += [f"{k} SI {v:.3g} but absent" for k, v in si.items() if k not in solids and v > SI_TOL]
    n0 = ss.n0_of @ feed
    # feed - liquid - solids in the invariants (elements and charge)
    d = info.B @ (n0 - np.fromiter(state.amounts.values(), float, len(state.amounts)))
    if solids:
        d -= ss.b_nu @ _every(system, s, active)
    scale = max(math.fsum(map(abs, n0.tolist())), 1e-300)
    balance = checks.abs_max(d) / scale
    if bad or not balance <= system.tol:
        raise ConvergenceError(f"solid-liquid equilibrium not verified at T = {T:g} K: "
                               + "; ".join(bad + [f"balance {balance:.3g}"]), T=T,
                               feed=dict(feed_app), residual=balance)
    state.solids = solids
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


# ------------------------------------------------------------------------- flashes

class _Split:
    """The front door's verified two-phase flash of the feed less the solids, with the
    liquid's saturation indices (all-vapor results have no liquid to saturate)."""

    def __init__(self, system, z, s, active, P, given, value, T0=None):
        self.s, self.active = np.array(s, dtype=float), tuple(active)
        red = z.copy()
        for j, k in enumerate(active):
            red -= s[j] * system.solids.content[k]
        self.total = float(red.sum())
        if np.any(red < -1e-14 * self.total) or not self.total > 0.0:
            raise ValueError("the solids take more than the feed holds")
        red = np.maximum(red, 0.0)
        if given == "vapor_fraction":
            value = value / self.total
            if not value < 1.0:
                raise ValueError("no liquid left")
        self.result = flash(system, red, P, **{given: value},
                            **({} if given == "T" or T0 is None else {"T0": T0}))
        if self.result.vapor_fraction >= 1.0:
            raise ValueError("no liquid left")
        self.si = np.array([self.result.liquid.saturation_indices[k]
                            for k in system.solids.names])
        self.jac = {}
        liq = self.result.liquid             # its true amounts per mol of the whole feed
        self.n = (np.array([liq.amounts[k] for k in liq.species])
                  * (1.0 - self.result.vapor_fraction) * self.total)


def flash_solids(system, feed, P, T=None, H=None, S=None, vapor_fraction=None, T0=None):
    """A vapor-liquid-solid flash: the FlashResult of the fluid phases (per mol of the feed
    less the solids, see ``FlashResult``) with ``solids`` {solid: mol per mol of feed},
    ``feed`` the whole feed and ``vapor_fraction``, ``H`` and ``S`` per mol of the whole feed
    (``H_solids``, ``S_solids`` the solids' share; see ``solid_entropy``)."""
    givens = {k: v for k, v in (("T", T), ("H", H), ("S", S), ("vapor_fraction", vapor_fraction))
             if v is not None}
    if len(givens) != 1:
        raise ValueError("give exactly one of T, H, S, vapor_fraction"
                         + (f" (given: {', '.join(givens)})" if givens else ""))
    given, value = next(iter(givens.items()))
    P = checks.pressure(P)
    z = checks.feed(system, feed)
    if given in ("H", "S"):
        return _flash_hs(system, z, P, given, checks.number(value, given), T0)
    value = checks.temperature(value) if given == "T" else checks.number(value, given)
    if given == "vapor_fraction" and not 0.0 <= value < 1.0:
        raise ValueError(f"vapor_fraction with solids must lie in [0, 1), not {value:g}")
    return _three_phase(system, z, P, given, value)


def _three_phase(system, z, P, given, value):
    ss = system.solids

    dry, last = [], []

    def evaluate(s, active, tol=None):
        try:
            split = _Split(system, z, s, active, P, given, value, last[-1] if last else None)
            last.append(split.result.T)       # where the next temperature search starts
            return split
        except ValueError:
            dry.append(True)          # the solids would take the whole liquid
            raise

    def jacobian(s, active, split):
        # forward differences over the solid amounts (each a verified flash), kept per set
        key = tuple(active)
        if key in split.jac:
            return split.jac[key]
        if not (split.active == key and np.array_equal(split.s, s)):
            split = evaluate(s, active)      # the differences start where the solids are now
        J = np.empty((len(active), len(active)))
        for j in range(len(active)):
            h = 1e-4 * s[j] + 1e-9
            sj = s.copy()
            sj[j] += h
            J[:, j] = (evaluate(sj, active).si[active] - split.si[active]) * LN10 / h
        if len(active) == 1 and abs(J[0, 0]) < 1e-3:
            # the liquid's composition does not follow the solids (a salt in water at fixed
            # T and P: the vapor takes the water the salt leaves)
            dry.append(True)
            raise ConvergenceError("the saturation indices do not depend on the solids")
        split.jac[key] = (J, None)
        return J, None

    first = evaluate(np.zeros(0), [])
    if not len(ss) or np.all(first.si < 0.0):
        out = first.result
        out.solids, out.H_solids, out.S_solids = {}, 0.0, 0.0
        return out
    try:
        s, active, split, its = _active_set(system, first.result.T, first, evaluate, jacobian,
                                            flash_si_tol(system))
    except (ConvergenceError, ValueError) as e:
        if given == "T":
            return _flash_t_by_vapor_fraction(system, z, P, value, e)
        if isinstance(e, ConvergenceError) and any(dry):
            raise ValueError(_boils_dry(given, value, P)) from None
        raise
    return _finish(system, z, P, s, active, split, its)


def _boils_dry(given, value, P):
    return (f"no liquid with solids at {given} = {value:g}, P = {P:g} Pa: the liquid boils dry "
            "(the salts stay as solids in the vapor), or, for a salt in water, boils with its "
            "salt at one temperature only; give the vapor fraction or H")


def _flash_t_by_vapor_fraction(system, z, P, T, error):
    """A flash at T whose active set found no answer (above the boiling point of a brine the set
    can wander among more solids than a liquid next to its vapor holds). Flashes at vapor
    fractions from the bubble point to DRY_GRID[-1] of the volatile part boiled off decide.
    Where two neighbours bracket T, the answer is the flash at the vapor fraction between them
    whose temperature is T (Brent's method; T met to T_MATCH). Where T lies DRY_MARGIN above
    them all and the hottest is at an invariant point (as many solids as the phase rule allows
    beside a vapor, where T stays put until the liquid is gone) or at the top of the grid, no
    liquid is left at T: ValueError, it boils dry. Else ``error``, as a ConvergenceError."""
    from scipy.optimize import brentq

    if not isinstance(error, ConvergenceError):
        error = ConvergenceError(f"vapor-liquid-solid flash not found at T = {T:g} K, "
                                 f"P = {P:g} Pa: {error}", T=T, P=P)
    salts = sum(float(z[k]) for k, c in enumerate(system.components) if c in system._info.salts)

    def at(beta):
        return _three_phase(system, z, P, "vapor_fraction", beta)

    found = []
    for frac in DRY_GRID:
        try:
            found.append((frac * (1.0 - salts), at(frac * (1.0 - salts))))
        except (ValueError, ConvergenceError):
            continue
        if len(found) > 1 and (found[-2][1].T - T) * (found[-1][1].T - T) <= 0.0:
            (b0, _), (b1, _) = found[-2:]     # bracketed: the grid above is not needed
            try:
                out = at(brentq(lambda b: at(b).T - T, b0, b1, xtol=1e-14, rtol=1e-15))
            except (ValueError, ConvergenceError):
                raise error from None
            if not abs(out.T - T) <= T_MATCH:
                raise error
            return out
    if not found:
        raise error from None
    hot = max(found, key=lambda br: br[1].T)[1]
    top = found[-1][0] == DRY_GRID[-1] * (1.0 - salts)
    if T > hot.T + DRY_MARGIN and (top or len(hot.solids) >= _max_solids(system)):
        raise ValueError(_boils_dry("T", T, P)) from None
    raise error


def flash_si_tol(system):
    """|SI| to which a flash's present solids are verified: SI_TOL, as a liquid's, where the
    liquid dissolves no gas; with gases (Henry components) ten times the system's tolerance
    where that is larger (the two-phase flash inside leaves the liquid's dissolved gases, and
    with them a carbonate's index, that uncertain)."""
    if not system._info.henry_idx:
        return SI_TOL
    return max(SI_TOL, 10.0 * system.tol)


def _finish(system, z, P, s, active, split, its):
    ss = system.solids
    out = split.result
    T = out.T
    bad = [f"{ss.names[k]} SI {split.si[k]:.3g}" for k in active
           if abs(split.si[k]) > flash_si_tol(system)]
    bad += [f"{ss.names[k]} SI {split.si[k]:.3g} but absent" for k in range(len(ss))
            if k not in active and split.si[k] >= 0.0]
    tot = split.total
    beta = out.vapor_fraction
    x = np.array([out.x[c] for c in system.components])
    y = np.array([out.vapor[c] for c in system.components])
    solid_part = sum((s[j] * ss.content[k] for j, k in enumerate(active)),
                     np.zeros(len(system.components)))
    balance = float(np.max(np.abs(z - tot * ((1.0 - beta) * x + beta * y) - solid_part)))
    if bad or not balance <= system.tol:
        raise ConvergenceError(f"vapor-liquid-solid flash not verified at T = {T:g} K, "
                               f"P = {P:g} Pa: " + "; ".join(bad + [f"balance {balance:.3g}"]),
                               T=T, P=P, residual=balance)
    ss.range_warnings(T, active)
    h_k = [solid_enthalpy(system, ss.names[k], T) for k in active]
    h_sol = sum(s[j] * h_k[j] for j in range(len(active)))
    s_sol = sum(s[j] * solid_entropy(system, ss.names[k], T, P, x, h_k[j])
                for j, k in enumerate(active))
    out.solids = {ss.names[k]: float(v) for k, v in zip(active, s)}
    out.feed = dict(zip(system.components, z.tolist()))
    out.vapor_fraction = beta * tot
    out.H = out.H * tot + h_sol
    out.H_solids = h_sol
    out.S = out.S * tot + s_sol
    out.S_solids = s_sol
    out.balance = max(out.balance, balance)
    out.iterations += its
    out.method += f", with solids ({its} Newton steps)"
    return out


def solid_enthalpy(system, solid, T):
    """Molar enthalpy [J/mol] of a solid at T on the core's references: its dissolution products
    at infinite dilution (ions) and as pure liquid (water of a hydrate), less the enthalpy of
    dissolution R T^2 d ln Ksp/dT (van't Hoff, from the Ksp correlation)."""
    import velmora.brinequil as bq
    ss, info, el = system.solids, system._info, system.model
    k = ss.index(solid)
    big = 1e7                               # kmol of water: the products at infinite dilution
    n_w = np.zeros(len(info.names))
    n_w[info.iw] = big
    h_w = bq.liquid_enthalpy(el, system.pp, n_w, T, None, el.pure)
    h_p = bq.liquid_enthalpy(el, system.pp, n_w + ss.nu[k], T, None, el.pure)
    A, B, C, D = ss._abcd[k]
    dh_sol = 8.314462618 * (-B + C * T + D * T * T)          # J/mol
    return (h_p - h_w) / 1000.0 - dh_sol


def solid_entropy(system, solid, T, P, x, h_solid=None):
    """Molar entropy [J/(mol K)] of a solid next to the apparent liquid x (mole fractions of the
    components) it is in equilibrium with, on the liquid's own basis: its Gibbs energy is that
    of its content dissolved in that liquid, so S = s_c + (H - h_c)/T with h_c and s_c the
    partial molar enthalpy and entropy of the content in the liquid (the liquid's enthalpy on
    the core's speciation, its entropy the property package's). A salt that comes out of the
    liquid at equilibrium then moves the entropy by its enthalpy of crystallisation over T,
    as a reversible step must; the liquid's entropy carries no ion references from which an
    absolute entropy of the solid could be built."""
    import velmora.brinequil as bq
    from velmora import phasekit
    ss, el, pp = system.solids, system.model, system.pp
    k = ss.index(solid)
    if h_solid is None:
        h_solid = solid_enthalpy(system, solid, T)
    x = np.asarray(x, dtype=float)
    c = ss.content[k]
    step = CONTENT_STEP * x.sum()

    def hs(app):                                    # extensive, kmol basis: J, J/K
        n = _Liquid(system, dict(zip(system.components, app.tolist())), T, 2000).n
        tot = app.sum()
        return (bq.liquid_enthalpy(el, pp, n, T, P, el.pure),
                tot * phasekit.entropy_liquid(pp, T, app / tot, P))

    try:
        (h1, s1), (h0, s0) = hs(x + step * c), hs(x - step * c)
    except ValueError:
        raise ConvergenceError(f"entropy of {solid} at T = {T:g} K, P = {P:g} Pa: the speciation "
                               "of its saturated liquid did not converge", T=T, P=P) from None
    finally:
        el._warm = None
    h_c, s_c = (h1 - h0) / (2.0 * step) / 1000.0, (s1 - s0) / (2.0 * step) / 1000.0
    return s_c + (h_solid - h_c) / T


HS_NAMES = {"H": ("enthalpy", "J/mol"), "S": ("entropy", "J/(mol K)")}


def _flash_hs(system, z, P, key, target, T0):
    """The three-phase flash whose enthalpy H [J/mol of feed] or entropy S [J/(mol K)] is
    ``target``. Below the bubble point (with solids) Brent's method in T over flashes at T;
    above it Brent's method in the vapor fraction (where a salt comes out of a boiling brine
    the temperature stays while the vapor fraction grows, so T alone does not fix the state)."""
    from scipy.optimize import brentq
    seen = {}
    what, unit = HS_NAMES[key]

    def at(given, v):
        if (given, v) not in seen:
            seen[(given, v)] = _three_phase(system, z, P, given, v)
        return seen[(given, v)]

    def value(r):
        return getattr(r, key)

    bubble = at("vapor_fraction", 0.0)
    if target <= value(bubble):
        lo = checks.T_MIN
        if value(at("T", lo)) > target:
            raise ValueError(f"{key} = {target:g} {unit} lies below the {what} of the feed at "
                             f"{lo:g} K and P = {P:g} Pa")
        T = brentq(lambda t: value(at("T", t)) - target, lo, bubble.T, xtol=1e-8,
                   rtol=4.0 * np.finfo(float).eps)
        return at("T", T)
    hi = 0.5
    while True:
        try:
            if value(at("vapor_fraction", hi)) >= target:
                break
        except ValueError:
            pass                        # dried out: come back halfway
        if hi > 1.0 - 1e-6:
            raise ValueError(f"{key} = {target:g} {unit} lies beyond the {what} at which the "
                             f"liquid boils dry at P = {P:g} Pa")
        hi = 0.5 * (hi + 1.0)
    beta = brentq(lambda b: value(at("vapor_fraction", b)) - target, 0.0, hi, xtol=1e-12,
                  rtol=4.0 * np.finfo(float).eps)
    return at("vapor_fraction", beta)


def scaling_temperature(system, app, solid=None, T_min=273.15, T_max=473.15):
    """(T [K], solid): the lowest temperature in [T_min, T_max] at which the liquid ``app``
    (kept liquid: no vapor, e.g. a produced water under pressure in a heat exchanger) becomes
    saturated with ``solid`` (or with the first of its solids); the liquid is undersaturated
    just below it. A scan in steps of 5 K, then Brent's method on the saturation index."""
    from scipy.optimize import brentq
    ss = system.solids
    which = list(range(len(ss))) if solid is None else [ss.index(solid)]
    if not which:
        raise ValueError(f"the system {system.name} has no solids")
    el = system.model

    def si(T):
        el._warm = None
        return _Liquid(system, app, T, 2000).si[which]

    grid = np.append(np.arange(T_min, T_max, 5.0), T_max)
    prev = si(grid[0])
    if np.any(prev >= 0.0):
        k = which[int(np.argmax(prev))]
        raise ValueError(f"the liquid is already saturated with {ss.names[k]} at {T_min:g} K "
                         f"(SI {float(prev.max()):.3g})")
    for a, b in zip(grid[:-1], grid[1:]):
        cur = si(b)
        up = np.flatnonzero(cur >= 0.0)
        if up.size:
            roots = [(brentq(lambda t, j=j: si(t)[j], a, b, xtol=1e-10), which[j]) for j in up]
            T, k = min(roots)
            ss.range_warnings(T, [k])
            return float(T), ss.names[k]
        prev = cur
    raise ValueError(f"no solid of {', '.join(ss.names[k] for k in which)} reaches saturation "
                     f"between {T_min:g} and {T_max:g} K")
