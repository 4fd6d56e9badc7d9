"""The core's speciation of a liquid next to solids, shared by the solid-liquid equilibrium
and the flashes: a liquid's saturation indices, its derivatives with respect to the solids'
amounts, the feed less the solids, the verified liquid state."""

import math
from collections.abc import Mapping

import numpy as np

from .. import checks
from ..errors import ConvergenceError, NoSolutionError, solve_failed
from ..states import LiquidState

# the core's speciation inside: tight enough that a warm start near the answer still moves
# (at the core's default 1e-11 a small change of a solid's amount can fall below it, and a trace
# ion's ln n carries the balance tolerance times total/amount); 1e-13 where rounding stops 1e-14
SPECIATION_TOL = (1e-14, 1e-13)
# where a set is solved roughly, the core's default is enough
ROUGH_SPECIATION_TOL = (1e-11,)
SPECIATION_MAXIT = 60  # a step that needs more lies too far: it is halved instead
FD_STEP = 1e-7  # step in ln n for the activity coefficients' derivatives
TRACE_X = 1e-8  # mole fraction below which a species' effect on ln gamma is left out


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
    D = np.eye(ns) - x  # d ln x_i / d u_j = delta_ij - x_j
    big = np.flatnonzero(x > TRACE_X)
    X = np.tile(x, (big.size, 1))  # one perturbed composition a row
    X[np.arange(big.size), big] *= 1.0 + FD_STEP
    X /= X.sum(axis=1, keepdims=True)
    G = np.array([ionactivity.ln_gamma(el.sp, xk, T, el.options) for xk in X])
    D[:, big] += (G - base).T / FD_STEP
    M = np.vstack([info.nu @ D, info.B * n])  # B diag(n) below
    rhs = np.zeros((ns, content.shape[0]))
    rhs[info.nu.shape[0] :] = -(system.solids.comp_b @ content.T)
    try:
        du = np.linalg.solve(M, rhs)
    except np.linalg.LinAlgError:
        du = np.linalg.lstsq(M, rhs, rcond=None)[0]
    return D @ du, du


OVERDRAWN = "the solids take more than the feed holds"


class Overdrawn(NoSolutionError):
    """Amounts of solids that take more of an element than the feed holds: a trial point
    outside what the feed allows (a step of the solids' amounts too long), no sign that the
    liquid is gone."""


class _NoLiquid(NoSolutionError):
    """The core's speciation of a liquid next to solids did not converge, diverged or is not
    finite: a step of the methods here that found no liquid (never a caller's answer: at the
    front door it becomes a ConvergenceError, see ``no_liquid``)."""


def _no_liquid(exc):
    """Whether ``exc`` means that a speciation here found no liquid (``_NoLiquid``, or a solve
    of the core that failed on the way)."""
    return isinstance(exc, _NoLiquid) or solve_failed(exc)


def no_liquid(
    exc: BaseException, T: float, app: Mapping[str, float], what: str = "solid-liquid equilibrium"
) -> ConvergenceError:
    """The ConvergenceError at the front door for a speciation that found no liquid (``exc``),
    at T [K] for the apparent liquid ``app``; the caller chains the core's error (the cause of
    ``exc``) where there is one."""
    return ConvergenceError(
        f"{what} not found at T = {T:g} K: the speciation of the liquid failed ({exc})",
        T=T,
        feed=dict(app),
    )


class _Liquid:
    """The core's speciation of an apparent liquid, with the solids' indices; from the warm
    start ``warm`` (a _WarmStart of the caller's, left at this speciation)."""

    def __init__(self, system, app, T, maxit=SPECIATION_MAXIT, tols=SPECIATION_TOL, *, warm):
        el = system.model
        for tol in tols:
            try:
                (n, lng), status = el._session(warm, "true_amounts", app, T, tol, maxit)
            except (ValueError, ArithmeticError) as e:
                if not solve_failed(e):
                    raise
                raise _NoLiquid(str(e)) from e
            if status["speciation_converged"]:
                break
        else:
            raise _NoLiquid("speciation not converged")
        self.app, self.n, self.lng = app, np.asarray(n, dtype=float), np.asarray(lng, float)
        nl = self.n.tolist()
        if not (min(nl) > 0.0 and math.isfinite(sum(nl))):  # a NaN or inf makes the sum so
            raise _NoLiquid("speciation not finite")
        self.si = system.solids.si(T, self.n, self.lng)


def _every(system, s, active):
    """The amounts ``s`` of the solids ``active`` as a vector over every solid of the system
    (a product with a whole matrix costs less than one with a fancy-indexed copy)."""
    full = np.zeros(len(system.solids))
    full[active] = s
    return full


def nonnegative_form(system, red, ions=False):
    """The apparent amounts nearest to ``red`` (in the sum of the changes) that carry the same
    reaction invariants (the atoms) with none below 0; NoSolutionError where there are none
    (the solids take more of an element than the feed holds). A linear programme, its vertex
    made exact on the components it keeps.

    ``ions``: every dissociated species (``Solids.n0_of``) at 0 or above instead, a component
    may stay below 0: a seawater-CO2-H2O bittern whose sodium halite has taken below its
    carbonate's charge holds that carbonate with magnesium, which its components (carbonate
    only as NaHCO3, Na2CO3) write only with NaCl < 0."""
    from scipy.optimize import linprog

    B = system.solids.comp_b
    m = len(red)
    # red + u - v >= 0 (or N (red + u - v) >= 0), B (u - v) = 0, u, v >= 0, min sum(u + v)
    N = system.solids.n0_of if ions else np.eye(m)
    lp = linprog(
        np.ones(2 * m),
        A_ub=np.hstack([-N, N]),
        b_ub=N @ red,
        A_eq=np.hstack([B, -B]),
        b_eq=np.zeros(B.shape[0]),
        bounds=(0.0, None),
        method="highs",
    )
    if lp.status != 0:
        raise Overdrawn(OVERDRAWN)
    out = red + lp.x[:m] - lp.x[m:]
    target = B @ red
    scale = float(np.abs(target).sum())
    if ions:
        # the vertex as it is (a species below 0 by rounding only: the core takes it)
        n0 = N @ out
        if (
            float(n0.min()) < -1e-12 * float(np.abs(n0).sum())
            or float(np.abs(B @ out - target).sum()) > 1e-12 * scale
        ):
            raise Overdrawn(OVERDRAWN)
        return out
    # the vertex's rounding below 1e-12 of the whole is dropped; a component the programme left
    # as it was is kept however little there is (a seawater bittern with its carbonate boiled to
    # 81.7 % at 1 atm: 7.6e-13 of SrCl2 per mol left beside celestite, dropped, left its Sr
    # nowhere, and the step was read as solids taking more than the feed holds)
    keep = (out > 1e-12 * float(np.abs(red).sum())) | ((red > 0.0) & (out > 0.5 * red))
    out[~keep] = 0.0
    out[keep] += np.linalg.lstsq(B[:, keep], target - B @ out, rcond=None)[0]
    if np.any(out < 0.0) or float(np.abs(B @ out - target).sum()) > 1e-13 * scale:
        raise Overdrawn(OVERDRAWN)
    return out


def water_short(system, n, T, where="solid-liquid equilibrium", what="the model's liquid"):
    """The reason (a message for NoSolutionError) for a liquid (true amounts n at T [K]) that
    holds less water per formula of a hydrate of the system than the hydrate itself (MgCl2-H2O:
    fewer than 6 mol of water per mol of Mg++ and two of Cl-, bischofite's); None where it
    holds more for each.

    At fixed T and P, Gibbs-Duhem in a salt and water gives d SI = d ln a_salt (1 - nu_w
    n_salt / n_w) for a hydrate of nu_w waters: its index rises as the liquid loses water only
    while the liquid holds more water than the hydrate, and falls beyond. A liquid beyond is
    the salt-rich side of the hydrate's solubility, a melt past the molalities of the data
    (a liquid evaporated past the point where the hydrate takes up the last of its water;
    MgCl2-H2O at 297.6 K: bischofite's index back at -1.6 at 14.9 mol/kg, the fit's data to
    6.1): where this system has no solid with less water to take up those salts, its answer
    is no brine. Free ions counted, the paired part left out: a bound that can only miss.
    ``what`` names the amounts n (a feed's dissociated amounts, ``Solids.n0_of``)."""
    ss, info = system.solids, system._info
    w = info.iw
    if w < 0 or not len(ss):
        return None
    nl = np.asarray(n, dtype=float).tolist()
    n_w = nl[w]
    for k, terms, nu_w in ss.hydrate_terms:
        ratios = [nl[i] / v for i, v in terms]
        units = min(ratios)  # formulas of the hydrate the liquid's ions make
        if units > 0.0 and n_w < nu_w * units and not any(map(math.isnan, ratios)):
            nu = ss.nu[k]
            salt = ", ".join(f"{info.names[i]} {nu[i]:g}" for i, _ in terms)
            return (
                f"{where} not found at T = {T:g} K: {what} holds "
                f"{n_w / units:.4g} mol of water per formula of {ss.names[k]} ({salt}), "
                f"fewer than the {nu[w]:g} of the hydrate itself: the salt-rich side of its "
                "solubility, a melt, not a brine; the liquid has dried out past "
                f"{ss.names[k]} (this system has no solid with less water for those ions)"
            )
    return None


ALL_SOLID_TOL = 1e-9  # relative residual of the invariants within which solids hold a feed


def all_solid(system, z):
    """{solid: amount} of solids alone that carry the reaction invariants (the atoms) of the
    apparent amounts ``z`` (vector), or None where there are none: the feed needs no liquid
    (Na2SO4 in less than 10 mol of water per mol is mirabilite and thenardite). Non-negative
    least squares on the invariants. Not a proof that no liquid is left (MgSO4 water boiled at
    35.9 kPa to 4.1 mol of water per mol has a liquid beside kieserite at 353 K, where epsomite
    and kieserite could hold it): the caller says so only where its own search found none."""
    from scipy.optimize import nnls

    ss = system.solids
    if not len(ss):
        return None
    target = ss.comp_b @ np.asarray(z, dtype=float)
    A = ss.comp_b @ ss.content.T  # the invariants of one mol of each solid, a column each
    s, res = nnls(A, target)
    if not res <= ALL_SOLID_TOL * float(np.abs(target).sum()):
        return None
    return {ss.names[k]: float(v) for k, v in enumerate(s.tolist()) if v > 0.0}


def no_liquid_left(system, z, T, where):
    """The NoSolutionError for a feed ``z`` (vector) that solids alone hold (``all_solid``)
    where the search ``where`` found no liquid at T [K]; None where solids cannot hold it."""
    held = all_solid(system, z)
    if held is None:
        return None
    return NoSolutionError(
        f"{where} not found at T = {T:g} K: no liquid left: the solids alone "
        f"({', '.join(held)}) can hold the feed, their water of crystallisation all its "
        "water, and no liquid was found beside solids"
    )


def _app(system, feed, s, active):
    """The dissolved part {component: amount} of the feed (vector) less the solids."""
    c = feed - _every(system, s, active) @ system.solids.content
    return dict(zip(system.components, c.tolist()))


def dissolved(system, feed, s, active):
    """(the dissolved part {component: amount} of the feed (vector) less the solids, whether
    it was rewritten): where a component would fall below 0 (calcite's content goes through
    Na2CO3 and NaHCO3, which a seawater with its carbonate may hold less of than the calcite
    takes), the same atoms in amounts none below 0 (``nonnegative_form``); as it is where there
    are none."""
    c = feed - _every(system, s, active) @ system.solids.content
    if float(c.min()) < 0.0:
        try:
            return dict(zip(system.components, nonnegative_form(system, c).tolist())), True
        except NoSolutionError:
            pass
    return dict(zip(system.components, c.tolist())), False


def _app_vector(system, app):
    return np.array([app[c] for c in system.components], dtype=float)


def _tight_state(system, app, T, warm, polish=True):
    """The LiquidState of ``app`` from a speciation converged to SPECIATION_TOL (the core's
    fugacities start from it and keep it), checked like every liquid. ``warm``: the warm start
    of the caller's search (a _WarmStart), so that the answer does not depend on earlier calls.
    ``polish=False``: the warm start is such a speciation already (the joint Newton's)."""
    el = system.model
    try:
        if polish:
            _Liquid(system, app, T, 2000, warm=warm)  # warm from the search's last speciation
        f, n, lng = el._session(warm, "fugacities", app, T)[0]
    except (ValueError, ArithmeticError) as e:
        if not _no_liquid(e):
            raise
        raise ConvergenceError(
            f"chemical equilibrium of the liquid not verified at T = {T:g} K "
            f"next to the solids: {e}",
            T=T,
            feed=dict(app),
        ) from e
    res = checks.speciation_residual(system, app, T, n, lng)
    if not res <= system.tol:
        raise ConvergenceError(
            f"chemical equilibrium of the liquid not verified at T = {T:g} K "
            f"next to the solids: residual {res:.3g}",
            T=T,
            feed=dict(app),
            residual=res,
        )
    checks.pair_warnings(system, n)
    return LiquidState(system, app, T, n, lng, f, res)
