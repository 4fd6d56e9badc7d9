"""The liquid at T in equilibrium with the solids that precipitate from it.

For a fixed set of solids the compiled Electrolyte._solid_newton solves the speciation's
equations and the solids' saturation together; where that does not settle, the Python
active-set method (``active_set``) around the core's speciation. The liquid found is checked
by the core's own speciation and fugacities, like every liquid."""

import math
from typing import Any

import numpy as np

from .. import checks
from ..brinequil import _WarmStart
from ..errors import ConvergenceError, NoSolutionError, solve_failed
from ..states import LiquidState, liquid_state
from .active_set import ROUGH_TOL, SI_TOL, _active_set, _joining, _max_solids
from .liquid import (
    ROUGH_SPECIATION_TOL,
    SPECIATION_TOL,
    _app,
    _app_vector,
    _dlnx_ds,
    _every,
    _Liquid,
    _NoLiquid,
    _tight_state,
    dissolved,
    no_liquid,
    no_liquid_left,
    water_short,
)


def solid_liquid(system: Any, app: dict[str, float], T: float) -> LiquidState:
    """The liquid at T in equilibrium with the solids that precipitate from the apparent
    composition ``app``: a LiquidState whose ``apparent`` is the dissolved part (none below 0:
    see ``dissolved``), ``solids`` {solid: amount} the precipitate and ``feed`` the total
    given."""
    ss = system.solids
    if not len(ss):
        return liquid_state(system, app, T)
    # the speciations' warm start, this call's own: each from the last one's (see _Liquid)
    warm = _WarmStart()
    try:
        first = _Liquid(system, app, T, 2000, ROUGH_SPECIATION_TOL + SPECIATION_TOL, warm=warm)
    except _NoLiquid as e:
        dry = no_liquid_left(system, _app_vector(system, app), T, "solid-liquid equilibrium")
        raise (dry or no_liquid(e, T, app)) from e.__cause__ or e
    if first.si.max() < 0.0:
        short = water_short(system, first.n, T)
        if short is not None:
            raise NoSolutionError(short)
        return liquid_state(system, app, T)  # nothing precipitates: the core's liquid as is
    feed = _app_vector(system, app)
    at_feed = _WarmStart(warm)  # the feed's speciation: where the method below starts
    try:
        joint = _joint_active_set(system, feed, T, first)
    except ValueError as e:
        if not solve_failed(e):
            raise
        joint = None  # the activity model refused a step: the method below
    if joint is not None:
        s, active, its, record = joint
        warm.reset(record)
        try:
            # (the joint Newton's warm start is per dissociated liquid of the plain difference:
            # a rewritten one is speciated afresh from it)
            app_liq, rewritten = dissolved(system, feed, s, active)
            out = _tight_state(system, app_liq, T, warm, polish=rewritten)
            if water_short(system, list(out.amounts.values()), T) is not None:
                # a liquid past a hydrate's water: the method below decides, _verify says why
                raise ConvergenceError("water_short")
            _verify(system, out, active, s, feed, app, T, its)
            ss.range_warnings(T, active)
            return out
        except ConvergenceError:
            pass  # the method below decides
    warm = at_feed

    def evaluate(s, active, tol=0.0):
        # each speciation starts from the last one of this call (the core's warm start)
        return _Liquid(
            system,
            _app(system, feed, s, active),
            T,
            tols=ROUGH_SPECIATION_TOL if tol >= ROUGH_TOL else SPECIATION_TOL,
            warm=warm,
        )

    def jacobian(s, active, liq):
        if not hasattr(liq, "jac"):  # every solid's column, kept for a set that grows
            d, du = _dlnx_ds(system, T, liq.n, ss.content)
            liq.jac = (ss.nu @ d, du)
        J, du = liq.jac
        return J[np.ix_(active, active)], du[:, active], None

    try:
        s, active, _, its = _active_set(system, T, first, evaluate, jacobian)
    except ConvergenceError:
        # a set that does not settle: the feed approached along a path (velmora.paths, which
        # builds on this module, through the System)
        approach = getattr(system, "_approach", None)
        # (the path leaves the warm start where its last point's speciation left it)
        got = approach(app, T, warm) if approach is not None else None
        if got is None:
            # the hydrates can take all the water (Na2SO4 at 299 K with less than 10 mol of
            # water per mol: the exchange of thenardite for mirabilite runs out of liquid)
            dry = no_liquid_left(system, feed, T, "solid-liquid equilibrium")
            if dry is not None:
                raise dry from None
            # a feed with less water than a hydrate of its ions would take: a liquid beside
            # it is the hydrate's melt, not a brine (a fractional path's step past the point
            # where bischofite takes up the last of its liquid's water)
            short = water_short(system, ss.n0_of @ feed, T, what="the feed")
            if short is not None:
                raise NoSolutionError(short) from None
            raise
        s, active, its = got
    ss.range_warnings(T, active)
    app_liq = dissolved(system, feed, s, active)[0]
    out = _tight_state(system, app_liq, T, warm)
    _verify(system, out, active, s, feed, app, T, its)
    return out


def _joint_active_set(system, feed, T, first):
    """The active-set method with the core's joint Newton (Electrolyte._solid_newton: the
    speciation and the present solids' saturation solved together): (s, active, Newton
    iterations, the warm-start record of that liquid), or None where it does not settle
    (a step that fails, a set seen before, one solid too many for the phase rule); the
    Python method (``_active_set``) takes over there. ``feed``: the apparent amounts (vector).

    The first set: the supersaturated solids of the feed's liquid that ``_joining`` takes. A
    present solid whose amount comes out negative leaves (the most negative first); the
    supersaturated absent ones join, in place of one they cannot coexist with."""
    ss, el = system.solids, system.model
    lnk = ss.ln_k(T)
    n0 = ss.n0_of @ feed
    n, lng, si = first.n, first.lng, first.si.tolist()
    active = _joining(
        system, [], sorted((k for k, v in enumerate(si) if v >= 0.0), key=lambda k: -si[k])
    )
    s = np.zeros(len(active))
    its, seen = 0, set()
    while active:
        key = tuple(sorted(active))
        if key in seen:
            return None
        seen.add(key)
        n, lng, s, status, k_its = el._solid_newton(n0, T, ss.nu[active], lnk[active], s, n, lng)
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
        over = sorted(
            (k for k, v in enumerate(si) if v >= 0.0 and k not in active), key=lambda k: -si[k]
        )
        if not over:
            # the liquid per dissociated liquid, as the speciation keeps its warm start
            return s, active, its, (T, n / (n0.sum() - ss.n0_tot[active] @ s), lng)
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
                continue  # it can join: in a later round, one at a time
            swap = [
                j
                for j in range(len(new))
                if j not in fixed
                and np.any(ions[new[j]] & ions[k])
                and _joining(system, new[:j] + new[j + 1 :], [k])
            ]
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


def _verify(system, state, active, s, feed, feed_app, T, iterations):
    """Check the answer: present solids (``active``, amounts ``s``) at |SI| <= SI_TOL, absent
    ones at SI <= SI_TOL (an absent solid at 0 is one just saturated, as at the point where a
    path's solid appears), the element and charge balances of feed = liquid + solids
    (``feed``: the apparent amounts as a vector, ``feed_app`` as given); attach the solids to
    the state."""
    ss, info = system.solids, system._info
    # a solid that joined a liquid already at its saturation (SI 0 to rounding) can stay at an
    # amount of 0: absent, its index checked as an absent one's
    solids = {
        ss.names[k]: v for k, v in zip(active, np.asarray(s, dtype=float).tolist()) if v > 0.0
    }
    si = state.saturation_indices
    bad = [f"{k} SI {si[k]:.3g}" for k in solids if abs(si[k]) > SI_TOL]
    bad += [f"{k} SI {v:.3g} but absent" for k, v in si.items() if k not in solids and v > SI_TOL]
    n0 = ss.n0_of @ feed
    n = np.fromiter(state.amounts.values(), float, len(state.amounts))
    short = water_short(system, n, T)
    if short is not None:
        raise NoSolutionError(short)
    # feed - liquid - solids in the invariants (elements and charge)
    d = info.B @ (n0 - n)
    if solids:
        d -= ss.b_nu @ _every(system, s, active)
    scale = max(math.fsum(map(abs, n0.tolist())), 1e-300)
    balance = checks.abs_max(d) / scale
    if bad or not balance <= system.tol:
        raise ConvergenceError(
            f"solid-liquid equilibrium not verified at T = {T:g} K: "
            + "; ".join(bad + [f"balance {balance:.3g}"]),
            T=T,
            feed=dict(feed_app),
            residual=balance,
        )
    state.solids = solids
    state.feed = dict(feed_app)
    state.balance = balance
    state.iterations = iterations
