"""The active-set method on the solids, shared by the solid-liquid equilibrium and the
flashes with solids: which solids are present, and Newton's method on their amounts (every
present solid at SI = 0, every absent one at SI < 0)."""

import math

import numpy as np

from ..checks import SI_TOL
from ..errors import ConvergenceError, no_answer
from .data import LN10

SET_REVISITS = 3  # a set of solids tried again after an exchange left the wrong one out
ROUGH_TOL = 1e-2  # |SI| to which a set that may still grow is solved
RANK_TOL = 1e-6  # relative singular value below which the present solids are too many
BROYDEN_RATE = 0.3  # a step with an updated derivative that cuts the residual less than
# this asks for a new one
MAX_DROP = 0.6  # largest predicted fraction of a species' amount lost in one Newton step
START_SWEEPS = 3  # sweeps over the joining solids for their ideal start
ACTIVE_MAX = 60  # active-set changes before giving up
NEWTON_MAX = 60  # Newton iterations per active set


def _active_set(system, T, first, evaluate, jacobian, si_tol=SI_TOL, start=None):
    """Active-set method on the solids: add the supersaturated absent solids (those of
    ``_joining`` where the set is new, else the most supersaturated one), solve for the amounts
    of the present ones (``_newton``), until every absent solid has SI < 0.
    ``evaluate(s, active, tol)`` gives a state with ``si`` (raises a ConvergenceError or an
    error of ``errors.no_answer`` where it has none; ``tol`` the |SI| sought, which may loosen
    the solve inside),
    ``jacobian(s, active, state)`` (d(ln IAP - ln K)/ds of the present solids, d ln n/ds of
    the species, or of what the liquid holds of each element, for the damping, or None; and
    what the liquid has left of each solid that moves alone, see ``Solids.alone``, or None).
    ``si_tol``: the |SI| the present solids must reach (Newton stops at a tenth of it).
    ``start``: (amounts, set) of solids to begin with instead of none (a neighbouring
    answer's), solved first; from none where that set's state has no answer.
    Returns (s, active, state, Newton iterations)."""
    ss = system.solids
    active: list[int] = []
    seen: dict[tuple[int, ...], int] = {}
    s, its, state, tried = np.zeros(0), 0, first, []
    tight = True  # the set in hand is solved to a tenth of si_tol
    if start is not None and len(start[1]):
        try:
            got = evaluate(np.array(start[0], dtype=float), list(start[1]))
        except ConvergenceError:
            got = None
        except ValueError as e:
            if not no_answer(e):
                raise
            got = None
        if got is not None:
            s, active, state = np.array(start[0], dtype=float), list(start[1]), got
            seen[tuple(sorted(active))] = 1
            tried += ["+" + ss.names[k] for k in active]
            tight = False
    for _ in range(ACTIVE_MAX):
        absent = [k for k in range(len(ss)) if k not in active]
        best = max(absent, key=lambda k: state.si[k], default=None)
        if best is None or state.si[best] < 0.0:
            if tight:
                return s, active, state, its
            # a set solved roughly (where it may still grow) is solved exactly, then looked at
            # again
            s, active, state, n_it = _newton(
                system, T, s, active, state, evaluate, jacobian, 0.1 * si_tol, si_tol
            )
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
            break  # the set cycles
        active += new
        s = np.append(s, np.zeros(len(new)))
        tried += ["+" + ss.names[k] for k in new]
        if hasattr(state, "n"):
            s, state = _start(system, s, active, len(new), state, evaluate)
        s, active, state, n_it = _newton(
            system, T, s, active, state, evaluate, jacobian, ROUGH_TOL, si_tol
        )
        its, tight = its + n_it, False
    raise ConvergenceError(
        f"solid-liquid equilibrium not found at T = {T:g} K: the set of "
        f"solids did not settle ({', '.join(tried)})",
        T=T,
        tried=tried,
    )


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
    return chosen[len(active) :]


def _max_solids(system):
    """Solids that can coexist with the liquid at fixed T and P: the components less water."""
    return len(system.components) - 1


def _start(system, s, active, m, liq, evaluate):
    """A start for the amounts of the ``m`` solids just added (the last of ``active``): the
    amounts that bring their indices to 0 when only their own ions leave the liquid, ideally
    (a trace mineral takes most of its scarcest ion, which a Newton step from 0 on a
    logarithmic index approaches slowly). Solids that share an ion are solved in turn, each
    with the others' present amounts, START_SWEEPS times over. One speciation for all."""
    from ..brinequil import _brentq as brentq

    ss, info = system.solids, system._info
    n0 = [float(v) for v in liq.n]
    si0 = [float(v) * LN10 for v in liq.si]
    # plain floats: a solid's ions are two or three, Brent's method calls f a dozen times
    ions = {}
    for j in range(len(active) - m, len(active)):
        k = active[j]
        ions[j] = [(i, float(ss.nu[k, i])) for i in np.flatnonzero(ss.nu[k] > 0.0) if i != info.iw]
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
                except ValueError:  # supersaturated past what its ions hold, ideally
                    new = 0.999 * top
            for i, v in own:
                taken[i] += v * (new - x[j])
            x[j] = new
    trial = s.copy()
    for j, v in x.items():
        trial[j] = v
    try:
        return trial, evaluate(trial, active, ROUGH_TOL)
    except ConvergenceError:
        return s, liq
    except ValueError as e:
        if not no_answer(e):
            raise
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
        raise ConvergenceError(
            "the solids' amounts grow without bound along the phase rule's null direction"
        )
    ratios = -s[shrink] / v[shrink]
    out = int(shrink[np.argmin(ratios)])
    s = np.maximum(s + float(ratios.min()) * v, 0.0)
    keep = [j for j in range(len(active)) if j != out]
    active, s = [active[j] for j in keep], s[keep]
    try:
        return s, active, evaluate(s, active)
    except ValueError as e:
        if not no_answer(e):
            raise
        raise ConvergenceError("the liquid after exchanging a solid has no solution") from None


def _singular_values(J):
    """Singular values of J with its columns scaled to unit length: a trace solid's index moves
    by orders of magnitude more per mol than halite's, and unscaled that alone reads as the
    phase rule's dependence (a cold bittern's halite then leaves along a false null direction)."""
    norms = np.linalg.norm(J, axis=0)
    return np.linalg.svd(J / np.where(norms > 0.0, norms, 1.0), compute_uv=False)


def _newton(system, T, s, active, state, evaluate, jacobian, tol, si_tol):
    """Newton's method on the amounts of the solids in ``active`` (SI = 0 for each), damped to
    lower the largest residual; a solid whose amount reaches 0 leaves the set. The derivative is
    carried from step to step by Broyden's update and renewed only where a step with it fails or
    cuts the residual less than BROYDEN_RATE (or a solid leaves); each call starts with an exact
    one (a rough solve's updated derivative serves its tight one worse than a new one).
    Returns (s, active, state, iterations)."""
    ss = system.solids
    J = None  # the derivative in use, exact where ``fresh``
    for it in range(1, NEWTON_MAX + 1):
        r = state.si[active] * LN10
        norm = float(np.max(np.abs(r)))
        if norm < tol * LN10:
            return s, active, state, it
        if J is None:
            J, dlnn, alone = jacobian(s, active, state)
            fresh = True
            # a solid that moves alone (Solids.alone: celestite with a few 1e-12 of a bittern's Sr
            # left) steps in the log of what is left, by its index's own slope there: the
            # difference of its amount (a thousandth of what is left) moves the other indices
            # by less than their noise, a column of noise up to 1e8 per mol that the joint
            # direction mixed into every other solid's step
            lone, left, slope = [], np.zeros(0), np.zeros(0)
            if alone is not None:
                slope = -np.diag(J) * alone
                lone = [j for j in range(len(active)) if alone[j] > 0.0 and slope[j] > 0.0]
                left = np.array(alone, dtype=float)
        # the phase rule's test on an exact derivative only (an updated one that turns
        # singular is renewed below)
        sv = _singular_values(J) if fresh and len(active) > 1 else None
        if sv is not None and sv[-1] <= RANK_TOL * sv[0]:
            try:
                s, active, state = _exchange(s, active, J, evaluate)
            except ConvergenceError as e:
                raise ConvergenceError(
                    f"solid-liquid equilibrium not found at T = {T:g} K: {e}",
                    T=T,
                    tried=[ss.names[k] for k in active],
                ) from None
            J = None
            continue
        rest = [j for j in range(len(active)) if j not in lone]
        ds = np.zeros(len(active))
        try:
            if rest:
                ds[rest] = np.linalg.solve(J[np.ix_(rest, rest)], -r[rest])
        except np.linalg.LinAlgError:
            if not fresh:
                J = None
                continue
            ds[rest] = np.linalg.lstsq(J[np.ix_(rest, rest)], -r[rest], rcond=None)[0]
        # the lone solids' steps in ln of what is left, with what the others' step does to
        # their indices
        dlog = -(r[lone] + J[np.ix_(lone, rest)] @ ds[rest]) / slope[lone]
        # no species (or element) of the liquid may lose more than MAX_DROP of its amount by the
        # linear prediction (the indices are logarithmic: a full step can overshoot a solid's last
        # ions); no amount below 0 (a solid reaching 0 leaves)
        lam, hit = 1.0, None
        if dlnn is not None and rest:
            drop = float(np.max(-(dlnn[:, rest] @ ds[rest])))
            if drop > MAX_DROP:
                lam = MAX_DROP / drop
        neg = np.flatnonzero(ds < 0.0)
        if neg.size:
            ratios = -s[neg] / ds[neg]
            if ratios.min() < lam:
                lam, hit = float(ratios.min()), int(neg[np.argmin(ratios)])
        for _ in range(40):
            s_new = s + lam * ds
            s_new[lone] = s[lone] - left[lone] * np.expm1(lam * dlog)
            s_new = np.maximum(s_new, 0.0)
            if hit is not None:
                s_new[hit] = 0.0
            try:
                new = evaluate(s_new, active, tol)
                # an absent solid of an element the feed lacks has SI -inf (barite in a
                # seawater without barium): a finite step all the same
                si_new = new.si
                ok = bool(np.all(np.isfinite(si_new[active])) and not np.isnan(si_new).any())
            except ConvergenceError:
                ok = False
            except ValueError as e:
                if not no_answer(e):
                    raise
                ok = False
            if ok and (
                hit is not None
                or float(np.max(np.abs(new.si[active]))) * LN10 < max(norm, 0.1 * si_tol * LN10)
            ):
                break
            lam, hit = lam * 0.5, None
        else:
            if not fresh:  # an updated derivative: renew it, try again
                J = None
                continue
            if norm < 0.5 * si_tol * LN10:  # at the noise of the solve inside, within tolerance
                return s, active, state, it
            raise ConvergenceError(
                f"solid-liquid equilibrium not found at T = {T:g} K: no step along the Newton "
                f"direction lowers the residual of {', '.join(ss.names[k] for k in active)} "
                f"(largest |SI| {norm / LN10:.3g})",
                T=T,
                residual=norm / LN10,
                tried=[ss.names[k] for k in active],
            )
        r_new = new.si[active] * LN10
        # a damped step cuts the residual by about its length only
        slow = float(np.max(np.abs(r_new))) > (1.0 - (1.0 - BROYDEN_RATE) * lam) * norm
        step = s_new - s
        length = float(step @ step)
        if hit is not None or (slow and not fresh) or not length > 0.0:
            # a solid left, too slow for the updated derivative, or a step lost to rounding
            # (nothing to update with)
            J = None
        else:  # Broyden's update: J step = the change of the residual
            J = J + np.outer(r_new - r - J @ step, step) / length
            fresh = False
        s, state = s_new, new
        left[lone] *= np.exp(lam * dlog)
        keep = [j for j in range(len(active)) if s[j] > 0.0]
        if len(keep) < len(active):
            active, s = [active[j] for j in keep], s[keep]
            J = None
            if not active:
                return s, active, state, it
    raise ConvergenceError(
        f"solid-liquid equilibrium not converged at T = {T:g} K after "
        f"{NEWTON_MAX} Newton steps (largest |SI| "
        f"{float(np.max(np.abs(state.si[active]))):.3g})",
        T=T,
        residual=float(np.max(np.abs(state.si[active]))),
        tried=[ss.names[k] for k in active],
    )
