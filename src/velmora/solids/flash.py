"""Flashes with solids (the same active set around the front door's verified two-phase flash of
the feed less the solids), and the temperature at which a liquid kept liquid starts to scale."""

import math
import warnings
from typing import Any

import numpy as np

from .. import checks
from ..brinequil import _WarmStart
from ..errors import ConvergenceError, NoSolutionError, RangeWarning, no_answer
from ..flashes import BoilsDryError, FlashResult, flash, flash_near
from .active_set import SI_TOL, _active_set, _max_solids
from .data import LN10
from .liquid import (
    OVERDRAWN,
    Overdrawn,
    _Liquid,
    _NoLiquid,
    all_solid,
    no_liquid,
    nonnegative_form,
    water_short,
)
from .thermo import solid_enthalpy, solid_entropy

# a flash at T that the active set does not settle: flashes at these fractions of the volatile
# part boiled off tell a liquid boiled dry from one found through its vapor fraction
DRY_GRID = (0.0, 0.15, 0.3, 0.45, 0.6, 0.75, 0.85, 0.92, 0.96, 0.99)
DRY_MARGIN = 0.1  # K above every liquid of the grid for "boils dry" (T between its points)
# K above an invariant point of the grid for "boils dry": its T, from flashes at other vapor
# fractions, agrees to 1e-6 K (MgCl2 water at 1 atm with bischofite, 404.699078 K)
INVARIANT_MARGIN = 1e-3
T_MATCH = 1e-6  # K: a flash at T found through the vapor fraction meets T to this
# an end point of a boiling liquid (see _end_point): its apparent composition, carried on
# linearly in its amount to none left, moves by at most this share of each component
END_SHIFT = 1e-2
BRACKET_HALVINGS = 5  # halvings of a grid step whose far end found no liquid, for T's bracket
T_LOW_STEP = 0.01  # K: how close the search for a flash at H or S gets to the lowest T that has one
# K: flashes at T that bracket an H or S where the bubble point with solids is not found
HS_SCAN = tuple(273.15 + 25.0 * k for k in range(15))
HS_SCAN_MISSES = 2  # flashes at T of the scan without an answer before it gives up
HS_MATCH = 1e-6  # relative residual of H or S (checks.target_residual) a T solve must meet
HS_NAMES = {"H": ("enthalpy", "J/mol"), "S": ("entropy", "J/(mol K)")}


DRY_BUDGET = 40  # flashes without a liquid after which the active set of a flash at T stops
# a flash at a vapor fraction whose active set found no liquid: continued from where this many
# times as much of the feed is left unboiled, in this many steps (see _vf_by_continuation)
VF_LADDER_FROM = 2.0
VF_LADDER = 4
# continuation steps without an answer retried from halfway, in all (a seawater with its carbonate
# boiled to 85 % at 1 atm took two; ten made its true refusal at 87 % cost 230 s CPU against 37 s
# with six, 6.6 s before the capped differences; at 86.2 % six do since the lone solids' steps)
VF_HALVINGS = 6
END_AIMS = 6  # steps halfway to where the liquid's amount runs out, in all (_vf_by_continuation)
# vapor fractions a flash at T continues to in steps from the nearest answer below (see
# _flash_t_by_vapor_fraction): a concentrated seawater at 1 atm and 406.9 K reached its
# invariant point at 404.39 K with two, one at 433.4 K with three (two, of four halvings each,
# did not)
CONTINUED_MAX = 3
PAST_STEPS = 12  # vapor fractions past DRY_GRID's top a flash at T tries (see _past_the_grid)
# the activity model's stability past the most boiled liquid found (see _unstable_past): its
# water removed in UNSTABLE_STEPS equal steps up to this share, at its T, its solutes held
UNSTABLE_REACH = 0.1
UNSTABLE_STEPS = 5
# flashes after which an active set started from given solids (a step of those two) stops: such
# a step settles in 11-34 where it has an answer (41-42 for a seawater with its carbonate at 1 atm
# from 74.5 to 78.6 % and from 77.4 to 81 % vapor, where thenardite, or carnallite and sylvite,
# join and leave), and one that wandered near dryness spent 65 s
WARM_BUDGET = 60
# a difference of a solid's amount whose step forward takes more than the feed holds: tried this
# many times, each this much shorter, before the step back (see _three_phase's jacobian)
DIFF_LEFT = 1e-3  # largest share of the liquid's scarcest element of a solid a difference takes
DIFF_RETRIES = 2
DIFF_SHRINK = 0.01
DIFF_SHARE = 0.1  # ... where the step back takes more than this share of the scarcest ion left


class _Stalled(Exception):
    """The active set of a flash at T spent DRY_BUDGET flashes that found no liquid (a NaCl-KCl
    water at 427 K and 55 kPa, 60 K above its invariant point: 800 of them, 30 s, before the
    flashes at vapor fractions said it boils dry), or WARM_BUDGET in all from given solids.
    Not a ValueError: the line search of the Newton steps does not take it for one failed
    step."""


class _DryStall(ConvergenceError):
    """A flash at a vapor fraction whose active set, from no solids, met DRY_BUDGET flashes
    without a liquid: where the continuation in the vapor fraction finds none either, the
    liquid boils dry (as the search without that budget said, after 30 s where it did)."""


class _Split:
    """The front door's verified two-phase flash of the feed less the solids, with the
    liquid's saturation indices (all-vapor results have no liquid to saturate)."""

    def __init__(self, system, z, s, active, P, given, value, T0=None, near=None, *, warm):
        self.s, self.active = np.array(s, dtype=float), tuple(active)
        red = z.copy()
        for j, k in enumerate(active):
            red -= s[j] * system.solids.content[k]
        self.total = float(red.sum())
        self.shift = None  # what the feed less the solids gained in another form (no atoms)
        if np.any(red < -1e-14 * self.total):
            # a solid whose content goes through another component's form (calcite through
            # CO2 in a seawater whose carbonate is Na2CO3 and NaHCO3): the same atoms, no
            # component below 0
            new = nonnegative_form(system, red)
            self.shift, red = new - red, new
            self.total = float(red.sum())
        if not self.total > 0.0:
            raise Overdrawn(OVERDRAWN)
        red = np.maximum(red, 0.0)
        if given == "vapor_fraction":
            value = value / self.total
            if not value < 1.0:
                raise NoSolutionError("no liquid left")
        if given == "T":
            # ``near``: the last split of this flash (the solids' steps and differences move
            # its feed a little), where its split on the liquid's fugacities starts
            self.result = flash_near(system, red, P, value, near, warm)
        else:
            self.result = flash(
                system, red, P, **{given: value}, **({} if T0 is None else {"T0": T0}), warm=warm
            )
        if self.result.vapor_fraction >= 1.0:
            raise NoSolutionError("no liquid left")
        self.si = np.array([self.result.liquid.saturation_indices[k] for k in system.solids.names])
        self.jac = {}
        liq = self.result.liquid  # its true amounts per mol of the whole feed
        self.n = (
            np.array([liq.amounts[k] for k in liq.species])
            * (1.0 - self.result.vapor_fraction)
            * self.total
        )


def flash_solids(
    system: Any,
    feed: Any,
    P: float,
    T: float | None = None,
    H: float | None = None,
    S: float | None = None,
    vapor_fraction: float | None = None,
    T0: float | None = None,
) -> FlashResult:
    """A vapor-liquid-solid flash: the FlashResult of the fluid phases (per mol of the feed
    less the solids, see ``FlashResult``) with ``solids`` {solid: mol per mol of feed},
    ``feed`` the whole feed and ``vapor_fraction``, ``H`` and ``S`` per mol of the whole feed
    (``H_solids``, ``S_solids`` the solids' share; see ``solid_entropy``)."""
    given, value = checks.one_given(T, H, S, vapor_fraction)
    P = checks.pressure(P)
    z = checks.feed(system, feed)
    try:
        out = _flash_solids(system, z, P, given, value, T0)
    except (ConvergenceError, NoSolutionError) as e:
        beyond = checks.feed_beyond(system, z)
        if beyond is None:
            raise
        # every liquid of such a feed, its volatile part boiled off or not, holds that solute
        # at that molality or more: no split is of the aqueous model, whatever the solids
        raise checks.NotAqueousError(
            f"no vapor-liquid-solid flash at {given} = {value:g}, P = {P:g} Pa: "
            + checks.whole_feed(system, *beyond)
        ) from e
    # an answer whose liquid holds less water per formula than a hydrate of its ions is that
    # hydrate's melt, not a brine (a Na2CO3 water boiled at 1 atm and 415 K to 1.4 mol of water
    # per Na2CO3, natron's 10 and no lower hydrate in the databank): no answer of this system
    liq = out.liquid
    short = water_short(
        system,
        [liq.amounts[k] for k in system._info.names],
        out.T,
        where="vapor-liquid-solid flash at "
        + ("" if given == "T" else f"{given} = {value:g}, ")
        + f"P = {P:g} Pa",
    )
    if short is not None:
        raise NoSolutionError(short)
    return out


def _flash_solids(system, z, P, given, value, T0):
    """``flash_solids`` of the feed ``z`` (per mol, checked) at P and ``given`` = ``value``."""
    if given in ("H", "S"):
        return _flash_hs(system, z, P, given, checks.number(value, given), T0)
    value = checks.temperature(value) if given == "T" else checks.number(value, given)
    if given == "vapor_fraction" and not 0.0 <= value < 1.0:
        raise ValueError(f"vapor_fraction with solids must lie in [0, 1), not {value:g}")
    if given == "T":
        return _three_phase(system, z, P, given, value)
    try:
        # at most DRY_BUDGET flashes without a liquid from no solids: past them the steps seldom
        # find one (a seawater with its carbonate boiled to 86.2 % at 1 atm: 588 of them in
        # 30 s, where the continuation below answers in 4 s)
        return _three_phase(system, z, P, given, value, DRY_BUDGET)
    except (ConvergenceError, ValueError) as e:
        if not _no_split(e):
            raise
        if not 0.0 < value < 1.0 - _salts(system, z):
            if _held_dry(system, z, value):
                raise NoSolutionError(_boils_dry(given, value, P)) from None
            raise  # (the bubble point; beyond the volatile part no liquid can be left)
        # solids that could hold the feed are no proof that no liquid is left (``all_solid``):
        # a seawater concentrate boiled to 79.5 % at 1 atm could be epsomite, bischofite and
        # mirabilite, all of its water bound, yet a liquid stands at 396.5 K beside kieserite,
        # which binds less; so the continuation first, here too
        steps: list[tuple[float, Any]] = []
        out = _vf_by_continuation(
            system, z, P, value, steps, lambda r: _ended(system, steps, value)
        )
        if out is None:
            # the steps stopped at a liquid a little past which the model's own liquid is
            # unstable: that, not dryness, is what they met (a NaCl-KCl-Na2SO4 brine at 3.3 bar
            # past 62 %, still a fifth of its water liquid, was said to boil dry because
            # mirabilite could bind that water, its index -6 at 428 K)
            edge = _unstable_past(system, steps[-1][1]) if steps else None
            if edge is not None:
                raise NoSolutionError(
                    f"no liquid with solids at {given} = {value:g}, P = {P:g} Pa: "
                    + _unstable_text(steps[-1], edge)
                ) from None
            ended = _ended(system, steps, value)
            dry = isinstance(e, _DryStall) or str(e) == _boils_dry(given, value, P) or ended
            if not (dry or _held_dry(system, z, value)):
                raise
            if _liquid_stays(system, z, value):
                # what found no liquid would say 'boils dry', yet no solids beside that vapor
                # carry the feed (NaOH 8.6 and CO2 4.3 mol/kg at 1 atm and 75 %: natron needs
                # ten water per carbonate and no solid takes NaOH; a seawater past 86.68 %,
                # whose MgCl2 would need a solid with less water than bischofite's six)
                raise NoSolutionError(_not_gone(system, given, value, P, ended)) from None
            raise NoSolutionError(_boils_dry(given, value, P)) from None
        return out


def _ended(system, steps, beta):
    """Whether the last two of the continuation's ``steps`` ((vapor fraction, answer), in order)
    lie at an end point of the liquid (``_end_point``) whose amount, linear in the vapor
    fraction there, runs out before ``beta``."""
    if len(steps) < 2 or not _end_point(system, steps[-2][1], steps[-1][1]):
        return False
    end = _linear_end(system, steps)
    return end is not None and beta > end


def _held_dry(system, z, beta):
    """Whether the feed ``z`` less the vapor fraction ``beta`` of it as water (the vapor where
    water alone evaporates) is held by solids alone (``all_solid``): Na2SO4 in water boiled
    until less than 10 mol of water per mol is left, all of it in mirabilite."""
    if system._info.volatile != {"H2O"}:
        return False
    rest = np.array(z, dtype=float)
    rest[system.components.index("H2O")] -= beta
    return all_solid(system, np.maximum(rest, 0.0)) is not None


def _liquid_stays(system, z, beta=None):
    """Whether no solids beside a vapor of ``beta`` mol (per mol of the feed ``z``; None: any
    amount) of its volatile components, in any proportions, carry the feed's reaction
    invariants (the atoms): then the liquid cannot be gone. A linear feasibility problem; its
    tolerance (HiGHS's, about 1e-7 absolute) leans to 'held' and so to no claim."""
    from scipy.optimize import linprog

    ss = system.solids
    vol = [k for k, c in enumerate(system.components) if c in system._info.volatile]
    if not len(ss) or not vol:
        return False
    A = np.column_stack([ss.comp_b @ ss.content.T, ss.comp_b[:, vol]])
    b = ss.comp_b @ np.asarray(z, dtype=float)
    if beta is not None:
        A = np.vstack([A, np.concatenate([np.zeros(len(ss)), np.ones(len(vol))])])
        b = np.concatenate([b, [beta]])
    out = linprog(np.zeros(A.shape[1]), A_eq=A, b_eq=b, bounds=(0.0, None), method="highs")
    return out.status == 2  # infeasible


def _not_gone(system, given, value, P, ended=False):
    """Why no answer is given where no solids beside the vapor carry the feed (_liquid_stays);
    ``ended``: the liquid found ran out before ``value`` (_ended), so no state of the model is
    left there."""
    carry = (
        f"no solids of {system.name} beside a vapor"
        f"{' of that fraction' if given == 'vapor_fraction' else ''} carry the feed's atoms (a "
        "solid with less water, or one for the salt left over, would be needed)"
    )
    if ended:
        return (
            f"no liquid with solids at {given} = {value:g}, P = {P:g} Pa: the liquid runs out "
            f"before it, at an end point where its amount falls linearly to none, and past it "
            f"{carry}: no state of the model is left"
        )
    return (
        f"no liquid with solids at {given} = {value:g}, P = {P:g} Pa: none of the aqueous model "
        f"was found beside the solids, and the liquid cannot be gone: {carry}"
    )


def _unstable_past(system, r):
    """(solute, mol/kg) of the liquid of the flash answer ``r`` where, at r.T with its solutes
    held, removing its water in UNSTABLE_STEPS steps up to UNSTABLE_REACH of it makes the
    water's fugacity rise: the activity model is unstable there, a little past ``r`` on its
    way. None where the fugacity falls throughout (or a step's liquid does not verify: nothing
    to say)."""
    x = dict(r.x)
    water = x.get("H2O", 0.0)
    if not water > 0.0:
        return None
    last = None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RangeWarning)
        for k in range(UNSTABLE_STEPS + 1):
            y = dict(x)
            y["H2O"] = water * (1.0 - UNSTABLE_REACH * k / UNSTABLE_STEPS)
            try:
                f = system.liquid(r.T, y).partial_pressures["H2O"]
            except (ConvergenceError, ValueError) as e:
                if not _no_split(e):
                    raise
                return None
            if last is not None and f > last:
                kg = y["H2O"] * system._info.mw["H2O"] / 1000.0
                c = max((c for c in y if c != "H2O"), key=lambda c: y[c])
                return c, y[c] / kg
            last = f
    return None


def _unstable_text(step, edge):
    """Why no liquid is found past the flash ``step`` = (vapor fraction, answer), whose liquid
    nears the activity model's instability ``edge`` (see _unstable_past)."""
    b, r = step
    solids = ", ".join(r.solids) or "no solid"
    return (
        f"past vapor fraction {b:.6g} ({r.T:.6g} K, with {solids}) the liquid nears where the "
        f"activity model is unstable (its water's fugacity rises as water is removed, at "
        f"{edge[1]:.4g} mol/kg of {edge[0]}), and the steps found no liquid past it"
    )


def _salts(system, z):
    """The part of the feed ``z`` (per mol) in salts, which do not evaporate."""
    return sum(float(z[k]) for k, c in enumerate(system.components) if c in system._info.salts)


def _solids_of(ss, result):
    """(amounts, set) of a flash result's solids, as ``_active_set`` takes a start."""
    return [float(v) for v in result.solids.values()], [ss.index(n) for n in result.solids]


def _vf_by_continuation(system, z, P, beta, done=None, stop=None):
    """The flash with solids at the vapor fraction ``beta`` whose active set, from no solids,
    found no liquid (a dilute seawater at 1 atm boiled to 99.4875 %: its split without solids,
    at 471 K, let bischofite join and the set never recovered, where 99.414 and 99.512 %
    answer): the flash where VF_LADDER_FROM times as much of the feed is left unboiled, then
    VF_LADDER steps towards ``beta`` (geometric in 1 - vapor fraction), each one's active set
    from the last one's solids, a step without an answer tried again from halfway (in
    -ln(1 - vapor fraction)) from the last answer, up to VF_HALVINGS times in all; each step
    stops after DRY_BUDGET flashes without a liquid. None where the first flash finds no
    answer or the halvings run out (a liquid that does boil dry costs that flash, the steps
    up to where it fails and the halvings). ``done``: (vapor fraction, answer) in order, below
    ``beta``, to go on from instead (the steps are appended to it, failed or not); ``stop``:
    None as soon as a step's answer meets it."""
    rest = 1.0 - beta
    top = min(VF_LADDER_FROM * rest, 1.0)
    ss = system.solids
    out = None
    steps = [1.0 - top * (rest / top) ** (k / VF_LADDER) for k in range(VF_LADDER)] + [beta]
    if done:
        top, out = 1.0 - done[-1][0], done[-1][1]
        steps = [1.0 - top * (rest / top) ** (k / VF_LADDER) for k in range(1, VF_LADDER)]
        steps.append(beta)
    halvings = aimed = 0
    if done is None:
        done = []  # (vapor fraction, answer) of the steps so far
    while steps:
        b = steps[0]
        end = _linear_end(system, done) if aimed < END_AIMS else None
        if end is not None and b > end:
            # past where the liquid's amount, linear in the vapor fraction through the last two
            # answers, is gone: halfway there first (a seawater with its carbonate at 1 atm,
            # barite joining at 81.72 % a little before its end at 81.79 %: the steps past it,
            # halved from far beyond, spent their halvings finding nothing)
            aimed += 1
            steps.insert(0, 0.5 * (done[-1][0] + end))
            continue
        start = None
        if out is not None:
            start = _predicted(ss, done, b)
        try:
            with warnings.catch_warnings():  # the answer's own warnings come with the last
                if len(steps) > 1:
                    warnings.simplefilter("ignore", RangeWarning)
                out_b = _three_phase(system, z, P, "vapor_fraction", b, DRY_BUDGET, start)
        except (ConvergenceError, ValueError) as e:
            if not _no_split(e):
                raise
            if out is None:
                return None
            # a step halfway (in -ln of what is left) from the last answer: where a solid joins
            # or leaves on the way a whole step can outrun its budget (a seawater at 1 atm from
            # 69.1 to 74.0 %, where sylvite joins: 60 flashes, then 71.7 % and 74.0 % answer;
            # with its carbonate from 82.2 to 85 %, where carnallite joins at 84.5 % and T
            # stays at 399.11 K while sylvite turns into it: 83.6 % and 84.3 %, then 85 %).
            # Past the halvings, one short of where the liquid runs out at an invariant point
            # is still tried, within END_AIMS (a concentrated seawater at 1 atm, its liquid at
            # 404.3887 K with six solids at 82.05 %, said to boil dry at 82.15 % after six
            # halvings spent on carnallite's and bischofite's joining)
            if halvings < VF_HALVINGS:
                halvings += 1
            elif aimed < END_AIMS and _short_of_end(system, done, b):
                aimed += 1
            else:
                return None
            steps.insert(0, 1.0 - math.sqrt((1.0 - out.vapor_fraction) * (1.0 - b)))
            continue
        out = out_b
        done.append((b, out))
        steps.pop(0)
        if stop is not None and stop(out):
            return None
    assert out is not None
    out.method += ", by continuation in the vapor fraction"
    return out


def _linear_end(system, done):
    """The vapor fraction where the liquid's amount (``_liquid_amount``), linear in the vapor
    fraction through the last two answers of ``done`` ((vapor fraction, answer), in order),
    reaches 0; None with fewer than two or where it does not fall."""
    if len(done) < 2:
        return None
    (b0, r0), (b1, r1) = done[-2:]
    l0, l1 = _liquid_amount(system, r0), _liquid_amount(system, r1)
    if not (b1 > b0 and 0.0 < l1 < l0):
        return None
    return b1 + l1 * (b1 - b0) / (l0 - l1)


def _short_of_end(system, done, b):
    """Whether the last two answers of ``done`` lie at one invariant point (the same solids, or
    one more at the last, as barite joining a seawater bittern's; T within INVARIANT_MARGIN)
    whose liquid's amount, linear in the vapor fraction, is left at ``b`` (``_linear_end``)."""
    if len(done) < 2:
        return False
    if not _one_point(done[-2][1], done[-1][1]):
        return False
    end = _linear_end(system, done)
    return end is not None and b < end


def _one_point(before, last):
    """Whether two flash answers lie at one invariant point: the solids of ``before`` all at
    ``last`` (one more there: joined on the way), T within INVARIANT_MARGIN."""
    return set(before.solids) <= set(last.solids) and abs(last.T - before.T) <= INVARIANT_MARGIN


def _predicted(ss, done, b):
    """(amounts, set) of solids to start the step to the vapor fraction ``b`` with: the last
    answer's of ``done`` ((vapor fraction, answer), in order), carried on linearly from the one
    before where both lie at one invariant point (the same solids, or one more at the last
    carried as it is, and T within INVARIANT_MARGIN: T and the liquid's composition stay while
    the vapor grows, every solid's amount linear in the vapor fraction), up to where the first
    amount reaches 0 (that solid then leaves: sylvite turning into carnallite as a seawater
    bittern boils at 399.11 K).
    Past bischofite's joining in that bittern the steps from the last answer's solids alone
    started 11 K too hot, celestite's index at 1.9, and wandered off to sylvite."""
    b1, last = done[-1]
    amounts, names = _solids_of(ss, last)
    if len(done) < 2:
        return amounts, names
    b0, before = done[-2]
    if not _one_point(before, last):
        return amounts, names
    # a solid that joined at the last answer is carried as it is (barite joining that seawater
    # with its carbonate at 404.7327 K near its end: from the last answer's solids alone the
    # steps on took 10-13 s each to find nothing)
    d = [v - before.solids.get(ss.names[k], v) for v, k in zip(amounts, names)]
    f = (b - b1) / (b1 - b0)
    for v, dv in zip(amounts, d):
        if v + f * dv <= 0.0:
            f = -v / dv
    guess = [(v + f * dv, k) for v, dv, k in zip(amounts, d, names)]
    return [v for v, _ in guess if v > 0.0], [k for v, k in guess if v > 0.0]


def _liquid_amount(system, r):
    """The liquid of the flash answer ``r`` in mol per mol of feed: what neither the vapor nor
    the solids hold, over one mol of the liquid, in the reaction invariants (the atoms; the
    same whatever form the carbonate takes), by least squares."""
    ss = system.solids
    comps = system.components
    left = np.array([r.feed[c] - r.vapor_fraction * r.vapor[c] for c in comps])
    for k, v in r.solids.items():
        left -= v * ss.content[ss.index(k)]
    held, per = ss.comp_b @ left, ss.comp_b @ np.array([r.x[c] for c in comps])
    return float(held @ per / (per @ per))


def _end_point(system, a, b):
    """Whether the flash answers ``a`` and ``b`` (b the more boiled) lie at the end of a boiling
    liquid: the same solids, and the liquid's T and apparent composition, carried on linearly in
    its amount from the two to none left, move by at most INVARIANT_MARGIN and END_SHIFT of
    each component. Its intensive state then stays while it boils away: no liquid is left above
    that T. An invariant point by the phase rule is one such end; one short of its solids by
    the count of components is another where the components left free are held by a vapor
    that hardly changes (a seawater with its carbonate at 1 atm: eight solids, barite among
    them, beside ten independent components, its liquid at 404.7327 K to within 1e-5 K from
    81.73 % vapor to its end near 81.79 %, the vapor's CO2 the one freedom). A trace without
    a solid is no end: it grows as the liquid shrinks (that seawater's barium before barite
    joins, its share up by the liquid's own ratio at each step)."""
    if not a.solids or set(a.solids) != set(b.solids):
        return False
    if not abs(b.T - a.T) <= INVARIANT_MARGIN:
        return False
    la, lb = _liquid_amount(system, a), _liquid_amount(system, b)
    if not 0.0 < lb < la:
        return False
    reach = lb / (la - lb)  # steps like this one to none left
    if not abs(b.T - a.T) * reach <= INVARIANT_MARGIN:
        return False
    for c in system.components:
        xa, xb = a.x[c], b.x[c]
        big = max(abs(xa), abs(xb))
        if big > 0.0 and not abs(xb - xa) / big * reach <= END_SHIFT:
            return False
    return True


def _three_phase(system, z, P, given, value, stall=None, start=None, fall_back=True):
    """The flash with solids at ``given`` = ``value``; ``stall``: where the active set stops
    (ConvergenceError) after that many flashes that found no liquid (DRY_BUDGET at T);
    ``start``: (amounts, set) of solids the active set begins with (see ``_active_set``), and
    then it stops after WARM_BUDGET flashes in all. ``fall_back``: at T, where the active set
    does not settle, the feed's liquid with its solids and then the flashes at vapor fractions
    decide; else the error stands (the last step of those flashes, see ``_exactly_at``)."""
    ss = system.solids
    # the flashes' warm start: each flash starts cold and leaves it at its last speciation,
    # where the solids' entropies start (_finish)
    warm = _WarmStart()

    dry: list[bool] = []
    calls = [0]
    last: list[Any] = []  # the last split: where the next temperature search starts
    # at T: the active set stops after DRY_BUDGET flashes that found no liquid (the flashes at
    # vapor fractions then decide, see _flash_t_by_vapor_fraction)
    budget = [DRY_BUDGET if given == "T" else stall]

    def evaluate(s, active, tol=None):
        calls[0] += 1
        if start is not None and calls[0] > WARM_BUDGET:
            raise _Stalled(f"did not settle in {WARM_BUDGET} flashes from the solids given")
        try:
            near = last[-1].result if last else None
            split = _Split(system, z, s, active, P, given, value, near and near.T, near, warm=warm)
            last.append(split)
            return split
        except ValueError as e:
            if no_answer(e):
                # the solids would take the whole liquid; a trial split whose solids take more
                # than the feed holds is a step too long, no sign of that, and counts towards
                # the budget only (a seawater with its carbonate at 1 atm boiled to 85 %: 527
                # such splits from no solids and no other, where a liquid with carnallite is)
                dry.append(not isinstance(e, Overdrawn))
                if budget[0] is not None and len(dry) > budget[0]:
                    raise _Stalled(f"found no liquid in {len(dry)} flashes") from None
            raise

    def jacobian(s, active, split):
        # forward differences over the solid amounts (each a verified flash), kept per set
        key = tuple(active)
        if key in split.jac:
            return split.jac[key]
        if not (split.active == key and np.array_equal(split.s, s)):
            split = evaluate(s, active)  # the differences start where the solids are now
        J = np.empty((len(active), len(active)))
        for j in range(len(active)):
            # a step that changes what the liquid holds of the solid's scarcest element by
            # DIFF_LEFT at most: near dryness a solid holds far more than its liquid (kieserite
            # 4.0e-3 mol per mol of feed beside 2.5e-6 of S in a seawater bittern at 86 %
            # vapor), and 1e-4 of the solid took a sixth of that S: a secant, not a derivative,
            # whose Newton steps raised the residual
            h = h0 = min(1e-4 * s[j] + 1e-9, DIFF_LEFT * ss.left(active[j], split.n))
            sj = s.copy()
            sj[j] += h
            far = None
            for _ in range(DIFF_RETRIES + 1):
                try:
                    far = evaluate(sj, active)
                    break
                except ValueError as e:
                    # a solid that takes nearly all of an ion: the step forward takes more than
                    # the feed holds. The index is logarithmic in what is left, so a step
                    # DIFF_SHRINK as long first (celestite holding all but 1.3e-9 of a
                    # seawater's 8.55e-6 Sr per mol boiled to 82 %: the step back of 1.9e-9
                    # more than doubled the Sr left, a derivative 1.6 times too low, and 14
                    # Newton steps where 3 do); then the step back (anhydrite of a brine boiled
                    # to 75 % vapor)
                    if not (no_answer(e) and s[j] > h0):
                        raise
                    dry.pop()  # (evaluate counted it)
                    if h0 < DIFF_SHARE * ss.left(active[j], split.n):
                        break  # the step back changes the scarcest ion little: as good
                    h *= DIFF_SHRINK
                    sj[j] = s[j] + h
            if far is None:
                h, sj[j] = -h0, s[j] - h0
                far = evaluate(sj, active)
            J[:, j] = (far.si[active] - split.si[active]) * LN10 / h
        if len(active) == 1 and abs(J[0, 0]) < 1e-3:
            # the liquid's composition does not follow the solids (a salt in water at fixed
            # T and P: the vapor takes the water the salt leaves)
            dry.append(True)
            raise ConvergenceError(
                f"the saturation index of {ss.names[active[0]]} does not move with its amount "
                "(the vapor takes the water the salt leaves: with a vapor a salt and water boil "
                "together at one temperature only at a given P)"
            )
        # the Newton steps' damping (no element of the liquid losing more than MAX_DROP at
        # once) on what the liquid holds of each element: exact for all but a volatile one (C,
        # whose vapor can give some back); a seawater with its carbonate boiled to 71.9 % at 1
        # atm took steps of anhydrite 5 times the Ca the feed holds, each split of them
        # overdrawn, until the budget ran out, where 72.4 % answers
        split.jac[key] = (J, ss.d_ln_held(active, split.n), ss.alone(active, split.n))
        return split.jac[key]

    try:
        first = evaluate(np.zeros(0), [])
    except BoilsDryError as dry_split:
        if given == "T" or start is None or not len(start[1]):
            # the split without solids boils dry at T: with solids its liquid holds less of
            # the salts, so their vapor pressure lowered less, and it boils dry the more;
            # unless no solids beside a vapor carry the feed (a salt without a solid)
            if given == "T" and _liquid_stays(system, z):
                raise NoSolutionError(_not_gone(system, given, value, P)) from dry_split
            raise NoSolutionError(_boils_dry(given, value, P)) from dry_split
        # at a vapor fraction the salts left in the liquid without solids can pass what the
        # aqueous model holds (5.6 mol/kg NaCl at 1 atm boiled to 86 %: 106 mol/kg) where the
        # liquid beside its solids is a brine: the active set starts from the solids given
        try:
            first = evaluate(np.array(start[0], dtype=float), list(start[1]))
        except (ConvergenceError, ValueError) as err:
            if not _no_split(err):
                raise
            raise NoSolutionError(_boils_dry(given, value, P)) from dry_split
    if not len(ss) or (not len(first.active) and np.all(first.si < 0.0)):
        out = first.result
        out.solids, out.H_solids, out.S_solids = {}, 0.0, 0.0
        return out
    try:
        s, active, split, its = _active_set(
            system, first.result.T, first, evaluate, jacobian, flash_si_tol(system), start
        )
    except (ConvergenceError, ValueError, _Stalled) as exc:
        budget[0] = None
        e = exc
        if isinstance(exc, _Stalled):
            e = ConvergenceError(
                f"vapor-liquid-solid flash not found at {given} = {value:g}, P = {P:g} Pa: "
                f"the solids' steps {exc.args[0]}",
                T=value if given == "T" else None,
                P=P,
            )
            if given != "T":
                if start is None and any(dry) and exc.args[0].startswith("found no liquid"):
                    e = _DryStall(e.args[0], P=P)
                raise e from None  # (passed over by the caller, not taken for a dry liquid)
        elif not _no_split(exc):
            raise
        if given == "T":
            if not fall_back:
                raise e from None
            kept = _from_liquid(system, z, P, value, evaluate, warm)
            if kept is not None:
                return kept
            return _flash_t_by_vapor_fraction(system, z, P, value, e)
        if isinstance(e, ConvergenceError) and any(dry):
            raise NoSolutionError(_boils_dry(given, value, P)) from None
        raise
    return _finish(system, z, P, s, active, split, its, warm)


def _from_liquid(system, z, P, T, evaluate, warm):
    """A flash at T whose active set did not settle (a seawater concentrate with celestite and
    anhydrite at 316 K and 215 kPa: moved by flashes of the feed less the solids, it found no
    step that lowered its residual), where the feed's liquid with its solids
    (``System.liquid(..., solids=True)``, which approaches a set that cycles along a path) stays
    liquid at P, its bubble pressure at or below P: that liquid and its solids, checked as every
    answer (``_finish``). None where a vapor forms or nothing verifies."""
    ss = system.solids
    try:
        st = system.liquid(T, dict(zip(system.components, z.tolist())), solids=True)
        if not st.bubble_pressure <= P:
            return None  # a vapor forms: not this answer
        active = [ss.index(k) for k in st.solids]
        s = np.array([st.solids[ss.names[k]] for k in active])
        out = _finish(system, z, P, s, active, evaluate(s, active), 0, warm)
    except (ConvergenceError, ValueError) as e:
        if not _no_split(e):
            raise
        return None
    out.method += ", found as the liquid with its solids"
    return out


def _no_split(exc):
    """Whether ``exc`` of a three-phase flash tried on the way says it found none (a
    ConvergenceError, or ``no_answer``), rather than a fault."""
    return isinstance(exc, ConvergenceError) or no_answer(exc)


def _boils_dry(given, value, P):
    return (
        f"no liquid with solids at {given} = {value:g}, P = {P:g} Pa: the liquid boils dry "
        "(the salts stay as solids in the vapor), or, for a salt in water, boils with its "
        "salt at one temperature only; give the vapor fraction or H"
    )


def _flash_t_by_vapor_fraction(system, z, P, T, error):
    """A flash at T whose active set found no answer (above the boiling point of a brine the set
    can wander among more solids than a liquid next to its vapor holds). Flashes at vapor
    fractions from the bubble point to DRY_GRID[-1] of the volatile part boiled off decide.
    Where two neighbours bracket T, the answer is the flash at the vapor fraction between them
    whose temperature is T (Brent's method; T met to T_MATCH). Where T lies DRY_MARGIN above
    them all and the hottest is at an invariant point (as many solids as the phase rule allows
    beside a vapor, where T stays put until the liquid is gone) or at the top of the grid, no
    liquid is left at T: ValueError, it boils dry (INVARIANT_MARGIN above an invariant point,
    whose T holds for every liquid beside those solids). Else ``error``, as a
    ConvergenceError."""
    from ..brinequil import _brentq as brentq

    if not isinstance(error, ConvergenceError):
        error = ConvergenceError(
            f"vapor-liquid-solid flash not found at T = {T:g} K, P = {P:g} Pa: {error}", T=T, P=P
        )
    salts = _salts(system, z)
    answered: dict[float, Any] = {}  # every vapor fraction's answer so far
    continued: list[float] = []  # the vapor fraction continued to in steps (see _from_nearest)

    def at(beta):
        # a point that meets DRY_BUDGET flashes without a liquid is passed over (a MgSO4 water
        # at 36 kPa boiled to 98 %: 546 of them, 160 s, before it said it boils dry)
        try:
            out = _three_phase(system, z, P, "vapor_fraction", beta, DRY_BUDGET)
        except NoSolutionError as e:
            # its split without solids boiled dry (5.6 mol/kg NaCl at 1 atm boiled to 86 %):
            # from the solids of the nearest point below with a liquid, whose liquid is a brine
            if not (isinstance(e.__cause__, BoilsDryError) or _no_split(e)):
                raise
            out = _from_nearest(beta, e)
        except ConvergenceError as e:
            out = _from_nearest(beta, e)
        # a liquid past a hydrate's water is a melt, no brine (the front door refuses it): no
        # liquid here (MgCl2 water at 1 atm boiled past bischofite's point, 404.7 K, gave one
        # at 470.8 K that bracketed 405 K with it)
        liq = out.liquid
        short = water_short(system, [liq.amounts[k] for k in system._info.names], out.T)
        if short is not None:
            raise NoSolutionError(short)
        answered[beta] = out
        return out

    def _from_nearest(beta, e):
        # the active set from no solids found none where a liquid is (a seawater with its
        # carbonate at 1 atm between 83.2 and 86.8 %, where carnallite and bischofite join):
        # from the solids of the nearest vapor fraction below with an answer
        below = [b for b in answered if b < beta and answered[b].solids]
        if not below:
            raise e
        b0 = max(below)
        try:
            start = _solids_of(system.solids, answered[b0])
            return _three_phase(system, z, P, "vapor_fraction", beta, DRY_BUDGET, start)
        except (ConvergenceError, ValueError) as err:
            if not _no_split(err) or len(continued) >= CONTINUED_MAX:
                raise
        # and where that step is too long (a seawater concentrate at 1 atm from 79.3 %, where
        # carnallite, then bischofite join on the way to its invariant point at 404.39 K and
        # 82.2 %), continued from there in steps, CONTINUED_MAX times per flash at T (near
        # dryness a step that finds nothing costs 60 splits, up to 10 s: a seawater with its
        # carbonate at 1 atm and 406.2 K spent 224 s on such continuations); every step's
        # answer is kept, so that the hottest liquid found tells where the liquid boils dry
        continued.append(beta)
        steps = [(b0, answered[b0])]

        def dry_beyond(r):
            # an invariant point or another end point (see _end_point) below T: no liquid at T,
            # however far the steps would go on
            hot_t = max(x.T for x in [*answered.values(), *(x for _, x in steps)])
            if not T > hot_t + INVARIANT_MARGIN:
                return False
            return len(r.solids) >= _max_solids(system) or (
                len(steps) > 1 and _end_point(system, steps[-2][1], r)
            )

        out = _vf_by_continuation(system, z, P, beta, steps, dry_beyond)
        for b, r in steps[1:]:
            liq = r.liquid
            if water_short(system, [liq.amounts[k] for k in system._info.names], r.T) is None:
                answered.setdefault(b, r)
        if out is None:
            raise e
        return out

    def toward(lo, hi):
        # the last liquid lies below T and the next point found none: halve the step towards it,
        # up to BRACKET_HALVINGS times, for a liquid at T or above (a brine with CaCl2 at 1 atm
        # boiled past 0.73, whose flash at 0.79 spent DRY_BUDGET flashes without a liquid)
        least = 1.5 * (hi - lo) / 2.0**BRACKET_HALVINGS
        return _across_gap(at, lambda r: r.T >= T, lo, hi, least)[0]

    def at_invariant():
        # whether the liquid reached an invariant point (as many solids as the phase rule
        # allows) within DRY_MARGIN of the hottest liquid found: T stays there until the liquid
        # is gone. (A seawater concentrate at 1 atm boils at 404.3889 K beside six solids,
        # then at 404.3878 K with barite joining them, to dryness at 82.24 % vapor.)
        if not answered:
            return False  # no liquid found yet (the first grid point found none)
        hot_t = max(r.T for r in answered.values())
        if any(
            len(r.solids) >= _max_solids(system) and r.T >= hot_t - DRY_MARGIN
            for r in answered.values()
        ):
            return True
        # or an end point short of the phase rule's count of solids (see _end_point), between
        # neighbouring vapor fractions found
        seq = [answered[b] for b in sorted(answered)]
        return any(
            b.T >= hot_t - DRY_MARGIN and _end_point(system, a, b) for a, b in zip(seq, seq[1:])
        )

    def dry_at_t():
        return at_invariant() and T > max(r.T for r in answered.values()) + INVARIANT_MARGIN

    found: list[tuple[float, Any]] = []
    unstable = None  # why no liquid lies past the most boiled one found (see _unstable_past)
    for frac in DRY_GRID:
        if found and dry_at_t():
            break  # the grid above is not needed: no liquid at T
        try:
            found.append((frac * (1.0 - salts), at(frac * (1.0 - salts))))
        except (ValueError, ConvergenceError) as e:
            if not _no_split(e):
                raise
            if answered and T > max(r.T for r in answered.values()) + DRY_MARGIN:
                # past a liquid at the activity model's instability the grid's points above
                # find none either, each after its continuations (a NaCl-KCl-Na2SO4 brine at
                # 3.3 bar and 434.7 K: 193 s CPU past 62 %, where its liquids peak at 429.8 K)
                b_top = max(answered)
                edge = _unstable_past(system, answered[b_top])
                if edge is not None:
                    unstable = _unstable_text((b_top, answered[b_top]), edge)
                    break
            # (not from a liquid at an invariant point: T stays there until the liquid is gone)
            if dry_at_t() or not (
                found and found[-1][1].T < T and len(found[-1][1].solids) < _max_solids(system)
            ):
                continue
            step = toward(found[-1][0], frac * (1.0 - salts))
            if step is None:
                continue
            found.append(step)
        if len(found) > 1 and (found[-2][1].T - T) * (found[-1][1].T - T) <= 0.0:
            (b0, _), (b1, _) = found[-2:]  # bracketed: the grid above is not needed
            try:
                out = at(brentq(lambda b: at(b).T - T, b0, b1, xtol=1e-14, rtol=1e-15))
            except (ValueError, ConvergenceError) as e:
                if not _no_split(e):
                    raise
                raise error from None
            if not abs(out.T - T) <= T_MATCH:
                raise error
            return _exactly_at(system, z, P, T, out)
    if not found:
        raise error from None
    hot = max(answered.values(), key=lambda r: r.T)  # (with the continuation's steps)
    top = found[-1][0] == DRY_GRID[-1] * (1.0 - salts)
    if top and found[-1][1].T < T and len(found[-1][1].solids) < _max_solids(system):
        # the liquid at the top of the grid still boils below T, and not at an invariant point:
        # T may lie further on (a dilute seawater at 1 atm has its liquid at 393.4 K with 99.49 %
        # of the feed boiled off, past the grid's 99 % of its water at 389 K)
        out = _past_the_grid(system, z, P, T, found[-1], 1.0 - salts)
        if out is not None:
            return out
    invariant = at_invariant()
    if T > hot.T + (INVARIANT_MARGIN if invariant else DRY_MARGIN) and (top or invariant):
        if not _liquid_stays(system, z):
            raise NoSolutionError(_boils_dry("T", T, P)) from None
        # the salts that no solid holds stay in a liquid up to the last of the water: not dry
        raise ConvergenceError(
            f"{error}; yet a liquid must be left however much water boils off: the solids of "
            f"{system.name} cannot hold the salts of the feed without one",
            T=T,
            P=P,
        ) from None
    # what the search found, for the caller: liquids below T only, and no sign that it is dry
    # (a 1.3 mol/kg seawater with CO2 at 3.3 bar and 431.8 K: its liquids reach 425 K at 77 %
    # vapor with six solids; none found past that)
    if not hot.T < T:
        raise error
    b_hot = next(b for b, r in answered.items() if r is hot)
    raise ConvergenceError(
        f"{error}; the flashes at vapor fractions found liquids up to {hot.T:.6g} K (vapor "
        f"fraction {b_hot:.4g}, with {', '.join(hot.solids) or 'no solid'}), none at T or above, "
        + (f"and {unstable}" if unstable else "and none that shows the liquid boiled dry before T"),
        T=T,
        P=P,
        residual=error.residual,
        tried=error.tried,
    ) from None


def _exactly_at(system, z, P, T, out):
    """The flash at T itself, its active set started from the solids of ``out`` (the answer
    found through the vapor fraction, its T within T_MATCH of T but not T: Brent's method in
    the vapor fraction ends a few ulps off, 1.1e-13 K on a seawater with CO2 at 1 atm), so that
    a flash at T answers at T to the digit; ``out`` where that flash finds no answer (it does
    not fall back on the flashes at vapor fractions that found ``out``)."""
    if out.T == T:
        return out
    try:
        return _three_phase(system, z, P, "T", T, None, _solids_of(system.solids, out), False)
    except (ValueError, ConvergenceError) as e:
        if not _no_split(e):
            raise
        return out


def _past_the_grid(system, z, P, T, last, most):
    """The flash at T between the top of DRY_GRID (``last``: (vapor fraction, its flash), below
    T) and ``most`` (the volatile part of the feed). In u = -ln(1 - vapor fraction / most) the
    steps aim at T by the secant of the last two (20 % beyond, at most a quarter decade; a
    quarter decade first), each one's active set from the last one's solids, at most
    PAST_STEPS of them, until one boils at T or above; then Brent's method between the last
    two, T met to T_MATCH. None where a step finds no liquid first (the liquid boils dry
    below T) or T is not met."""
    from ..brinequil import _brentq as brentq

    ss = system.solids
    seen = {}

    def at(u, near):
        if u not in seen:
            start = _solids_of(ss, near)
            b = -most * math.expm1(-u)
            seen[u] = _three_phase(system, z, P, "vapor_fraction", b, DRY_BUDGET, start)
        return seen[u]

    u0, r0 = -math.log1p(-last[0] / most), last[1]
    seen[u0] = r0
    most_step = 0.25 * math.log(10.0)
    prev = None
    try:
        for _ in range(PAST_STEPS):
            step = most_step
            if prev is not None and r0.T > prev[1]:
                step = min(1.2 * (T - r0.T) * (u0 - prev[0]) / (r0.T - prev[1]), most_step)
            u = u0 + step
            r = at(u, r0)
            if r.T >= T:

                def gap(v: float, r0: Any = r0) -> float:
                    return at(v, r0).T - T

                v = brentq(gap, u0, u, xtol=1e-10, rtol=1e-15)
                out = at(v, r0)
                return _exactly_at(system, z, P, T, out) if abs(out.T - T) <= T_MATCH else None
            prev, u0, r0 = (u0, r0.T), u, r
    except (ValueError, ConvergenceError) as e:
        if not _no_split(e):
            raise
    return None


def flash_si_tol(system: Any) -> float:
    """|SI| to which a flash's present solids are verified: SI_TOL, as a liquid's, where the
    liquid dissolves no gas; with gases (Henry components) ten times the system's tolerance
    where that is larger (the two-phase flash inside leaves the liquid's dissolved gases, and
    with them a carbonate's index, that uncertain)."""
    if not system._info.henry_idx:
        return SI_TOL
    return max(SI_TOL, 10.0 * system.tol)


def _finish(system, z, P, s, active, split, its, warm):
    ss = system.solids
    out = split.result
    T = out.T
    bad = [
        f"{ss.names[k]} SI {split.si[k]:.3g}"
        for k in active
        if abs(split.si[k]) > flash_si_tol(system)
    ]
    bad += [
        f"{ss.names[k]} SI {split.si[k]:.3g} but absent"
        for k in range(len(ss))
        if k not in active and split.si[k] >= 0.0
    ]
    tot = split.total
    beta = out.vapor_fraction
    x = np.array([out.x[c] for c in system.components])
    y = np.array([out.vapor[c] for c in system.components])
    solid_part = sum(
        (s[j] * ss.content[k] for j, k in enumerate(active)), np.zeros(len(system.components))
    )
    left = z - tot * ((1.0 - beta) * x + beta * y) - solid_part
    if split.shift is not None:
        left += split.shift  # the flash's feed in its other form, the same atoms
    balance = float(np.max(np.abs(left)))
    if bad or not balance <= system.tol:
        raise ConvergenceError(
            f"vapor-liquid-solid flash not verified at T = {T:g} K, "
            f"P = {P:g} Pa: " + "; ".join(bad + [f"balance {balance:.3g}"]),
            T=T,
            P=P,
            residual=balance,
        )
    ss.range_warnings(T, active)
    h_k = [solid_enthalpy(system, ss.names[k], T) for k in active]
    h_sol = sum(s[j] * h_k[j] for j in range(len(active)))
    s_sol = sum(
        s[j] * solid_entropy(system, ss.names[k], T, P, x, h_k[j], warm)
        for j, k in enumerate(active)
    )
    # a solid at an amount of 0 (a liquid at its saturation already) is absent: its index is
    # within the tolerance of 0 (checked above)
    out.solids = {ss.names[k]: float(v) for k, v in zip(active, s) if v > 0.0}
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


def _flash_hs(system, z, P, key, target, T0):
    """The three-phase flash whose enthalpy H [J/mol of feed] or entropy S [J/(mol K)] is
    ``target``. Below the bubble point (with solids) Brent's method in T over flashes at T;
    above it Brent's method in the vapor fraction (where a salt comes out of a boiling brine
    the temperature stays while the vapor fraction grows, so T alone does not fix the state)."""
    from ..brinequil import _brentq as brentq

    seen = {}
    what, unit = HS_NAMES[key]

    def at(given, v):
        if (given, v) not in seen:
            seen[(given, v)] = _three_phase(system, z, P, given, v)
        return seen[(given, v)]

    def value(r):
        return getattr(r, key)

    def continued(b, err=None):
        # the flash at the vapor fraction b, continued from where more of the feed is left
        # where its active set from no solids finds no liquid or does not settle (``err``:
        # that flash's error, where it was tried already; see _vf_by_continuation)
        if err is None:
            try:
                return at("vapor_fraction", b)
            except (ConvergenceError, ValueError) as e:
                err = e
        if not (_no_split(err) and 0.0 < b < 1.0 - _salts(system, z)):
            raise err
        out = _vf_by_continuation(system, z, P, b)
        if out is None:
            raise err
        seen[("vapor_fraction", b)] = out
        return out

    try:
        bubble = at("vapor_fraction", 0.0)
    except (ConvergenceError, ValueError) as e:
        if not _no_split(e):
            raise
        # the bubble point with solids not found where flashes at T answer (a 40-fold seawater
        # with CO2 at 115 kPa: its solids' steps at the vapor fraction 0 found no liquid, the
        # flash at 315.8 K has one): a bracket of flashes at T instead
        out = _by_t_scan(lambda t: at("T", t), value, key, target, T0)
        if out is None:
            raise
        return out
    if target <= value(bubble):
        lo = checks.T_MIN
        try:
            below = value(at("T", lo)) <= target
        except (ConvergenceError, ValueError) as e:
            if not _no_split(e):
                raise
            lo, below = _lowest_bracket(lambda t: value(at("T", t)), target, lo, bubble.T), True
        if not below:
            raise NoSolutionError(
                f"{key} = {target:g} {unit} lies below the {what} of the feed "
                f"at {lo:g} K and P = {P:g} Pa"
            )
        try:
            top = value(at("T", bubble.T))
        except (ConvergenceError, ValueError) as e:
            if not _no_split(e):
                raise
            # the bubble point is the flash at its T, a vapor of none yet: where the flash at
            # that T does not settle (a seawater concentrate at 3.7 bar: 'the solids' steps
            # found no liquid in 41 flashes' at 436.507 K, its bubble point), the bubble point
            # stands for it, the bracket's top (the flash at 386.58 K has the H asked)
            seen[("T", bubble.T)] = bubble
            top = value(bubble)
        if not top >= target:  # the flash at the bubble point's T disagrees with the bubble point
            raise ConvergenceError(
                f"vapor-liquid-solid flash at {key} = {target:g} {unit} not found at P = {P:g} Pa: "
                f"the bubble point with solids ({bubble.T:g} K) has {value(bubble):g} {unit} and "
                f"the flash at that T {top:g} {unit}, so the {what} has no bracket there",
                T=bubble.T,
                P=P,
            )
        T = brentq(
            lambda t: value(at("T", t)) - target,
            lo,
            bubble.T,
            xtol=1e-8,
            rtol=4.0 * np.finfo(float).eps,
        )
        return at("T", T)
    hi, below, dry = 0.5, 0.0, 1.0  # below the target with a liquid; dried out
    unsettled = None  # the first vapor fraction whose set of solids did not settle
    while True:
        try:
            try:
                r_hi = at("vapor_fraction", hi)
            except ConvergenceError as e:
                # the set of solids did not settle (a K2CO3 water with CO2 at 1 atm cycled on
                # K2CO3-sesquihydrate at 0.5, where the answer at 0.787 has no solid): continued
                # from where more of the feed is left, else passed over as one without a liquid
                # (flashes at T decide below)
                unsettled = unsettled or e
                r_hi = continued(hi, e)
            if value(r_hi) >= target:
                break
            below = hi
        except (ConvergenceError, ValueError) as e:
            if not _no_split(e):
                raise
            dry = hi  # dried out: the target may lie before, so halfway back
        if hi > 1.0 - 1e-6 or dry - below < 1e-9:
            # past the last vapor fraction with a liquid, flashes at T may still find one (their
            # solids' steps do not start from a split without solids: brine-H2O with 4.2 NaCl,
            # 2.7 KCl, 1.7 CaCl2, 0.8 Na2SO4 mol per 55.5 of water at 1 atm, no liquid found
            # from the vapor fraction 0.76 up, the flash at 422.3 K has one at 0.76): a bracket
            # of flashes at T upward from there, before saying it boils dry
            start = at("vapor_fraction", below).T
            out = _by_t_scan(lambda t: at("T", t), value, key, target, start, start)
            if out is None and unsettled is not None:
                raise unsettled  # no sign that the liquid boils dry: the solids' failure stands
            if out is None:
                raise NoSolutionError(
                    f"{key} = {target:g} {unit} lies beyond the {what} at which "
                    f"the liquid boils dry at P = {P:g} Pa"
                )
            return out
        hi = 0.5 * (below + dry)
    try:
        beta = brentq(
            lambda b: value(at("vapor_fraction", b)) - target,
            0.0,
            hi,
            xtol=1e-12,
            rtol=4.0 * np.finfo(float).eps,
        )
    except (ConvergenceError, ValueError) as e:
        if not _no_split(e):
            raise
        # a vapor fraction inside the bracket whose solids' steps found no liquid although
        # both its neighbours have one (a dilute seawater at 1 atm boiled to 99.49 %: its first
        # split without solids, at 471 K, let bischofite join and the set never recovered; the
        # flash at 394 K answers): the same search with such a fraction continued from where
        # more of the feed is left, as the flash at it does (a seawater at 1 atm near 74 %,
        # where sylvite joins: 0.738475 from no solids said 'boils dry', continued from 47.7 %
        # it answers at 394.40 K), then the temperatures of the tightest bracket, over flashes
        # at T
        try:
            beta = brentq(
                lambda b: value(continued(b)) - target,
                0.0,
                hi,
                xtol=1e-12,
                rtol=4.0 * np.finfo(float).eps,
            )
            return continued(beta)
        except (ConvergenceError, ValueError) as err:
            if not _no_split(err):
                raise
        found = [r for (g, _), r in seen.items() if g == "vapor_fraction"]
        out = _between_in_t(lambda t: at("T", t), value, key, target, found)
        if out is None:
            raise
        return out
    return at("vapor_fraction", beta)


def _t_solve(flash_t, value, key, target, lo, hi):
    """The flash at T in [lo, hi] whose ``value`` meets ``target`` by Brent's method over
    flashes at T, where value(lo) <= target <= value(hi); None where either end has no answer,
    they do not bracket, or the T found misses the target (a jump: T held while the vapor
    fraction grows, where only the vapor fraction fixes the state)."""
    from ..brinequil import _brentq as brentq

    try:
        if not value(flash_t(lo)) <= target <= value(flash_t(hi)):
            return None
        T = brentq(
            lambda t: value(flash_t(t)) - target, lo, hi, xtol=1e-8, rtol=4.0 * np.finfo(float).eps
        )
        out = flash_t(T)
    except (ConvergenceError, ValueError) as e:
        if not _no_split(e):
            raise
        return None
    if checks.target_residual(key, value(out), target) > HS_MATCH:
        return None
    return out


def _between_in_t(flash_t, value, key, target, found):
    """The flash at H or S = ``target`` over flashes at T between the temperatures of the
    tightest bracket among ``found`` (flashes that answered); None where there is none."""
    below = [r for r in found if value(r) <= target]
    above = [r for r in found if value(r) >= target]
    if not below or not above:
        return None
    lo, hi = max(below, key=value).T, min(above, key=value).T
    if not lo < hi:
        return None
    return _t_solve(flash_t, value, key, target, lo, hi)


def _by_t_scan(flash_t, value, key, target, T0, start=None):
    """The flash at H or S = ``target`` over flashes at T, bracketed on HS_SCAN (with T0
    where given; from ``start`` up where given): the first pair of neighbours that answer and
    bracket it; None where none does.
    (H rises with T at fixed P; S with solids need not, see docs/solids.md: then the first
    bracket from below holds one of the temperatures with that S.)"""
    grid = sorted(set(HS_SCAN) | ({float(T0)} if T0 is not None else set()))
    if start is not None:
        grid = [T for T in grid if T >= start]
    last, failed, bad = None, 0, None
    for T in grid:
        try:
            v = value(flash_t(T))
        except (ConvergenceError, ValueError) as e:
            if not _no_split(e):
                raise
            # past an answer the liquid is gone (or not found) hotter up; a flash at T that
            # finds no liquid can spend a minute on it, so the scan stops there, and after
            # HS_SCAN_MISSES without any answer. Between that answer and T, by bisection, a T
            # whose value reaches the target (a seawater with its carbonate at 1 atm: an answer
            # at 390.96 K, none at 398.15 K, the H asked at 392.10 K, where the flashes at
            # vapor fractions had found no liquid from 0.81 up)
            failed += 1
            if last is not None:
                got, (lo, _) = _across_gap(
                    lambda t: value(flash_t(t)), lambda v: v >= target, last[0], T, T_LOW_STEP
                )
                return None if got is None else _t_solve(flash_t, value, key, target, lo, got[0])
            if failed >= HS_SCAN_MISSES:
                return None
            bad = T
            continue
        if last is None and bad is not None and target <= v:
            # the first answer is past the target and the T below it found none (a dilute
            # seawater boiled to 99.5 % at 1 atm: no liquid at 392.96 K, one at 394.1 and 398.15
            # K): a T between with a value below the target, by bisection
            try:
                lo = _lowest_bracket(lambda t: value(flash_t(t)), target, bad, T)
            except NoSolutionError:
                return None
            return _t_solve(flash_t, value, key, target, lo, T)
        if last is not None and last[1] <= target <= v:
            return _t_solve(flash_t, value, key, target, last[0], T)
        last = (T, v)
    return None


def _across_gap(f, accept, answered, failed, least):
    """Bisection between ``answered``, where f answers but not as ``accept`` asks, and
    ``failed``, where f finds no answer: ((x, f(x)), ends) at the first x whose answer is
    accepted, else (None, the last ends) once they lie ``least`` apart."""
    while abs(failed - answered) > least:
        mid = 0.5 * (answered + failed)
        try:
            r = f(mid)
        except (ConvergenceError, ValueError) as e:
            if not _no_split(e):
                raise
            failed = mid
            continue
        if accept(r):
            return (mid, r), (answered, failed)
        answered = mid
    return None, (answered, failed)


def _lowest_bracket(value, target, bad, good):
    """A T in (bad, good) whose ``value(T)`` is at most ``target``, by bisection, where the
    flash at ``bad`` found no answer (at 200 K a NaOH-carbonate brine's solids take more than
    its feed holds) and value(good) >= target. NoSolutionError where none lies within
    T_LOW_STEP of the lowest T with an answer."""
    got, (good, bad) = _across_gap(value, lambda v: v <= target, good, bad, T_LOW_STEP)
    if got is not None:
        return got[0]
    raise NoSolutionError(
        f"the target lies below what the feed reaches at its lowest temperature with a liquid "
        f"and its solids ({good:.6g} K; none at {bad:.6g} K)"
    )


def scaling_temperature(
    system: Any,
    app: dict[str, float],
    solid: str | None = None,
    T_min: float = 273.15,
    T_max: float = 473.15,
) -> tuple[float, str]:
    """(T [K], solid): the lowest temperature in [T_min, T_max] at which the liquid ``app``
    (kept liquid: no vapor, e.g. a produced water under pressure in a heat exchanger) becomes
    saturated with ``solid`` (or with the first of its solids); the liquid is undersaturated
    just below it. A scan in steps of 5 K, then Brent's method on the saturation index."""
    from ..brinequil import _brentq as brentq

    ss = system.solids
    which = list(range(len(ss))) if solid is None else [ss.index(solid)]
    if not which:
        raise ValueError(f"the system {system.name} has no solids")

    def si(T):
        try:  # from a cold start at each T
            return _Liquid(system, app, T, 2000, warm=_WarmStart()).si[which]
        except _NoLiquid as e:
            raise no_liquid(e, T, app, "scaling temperature") from e.__cause__ or e

    grid = np.append(np.arange(T_min, T_max, 5.0), T_max)
    prev = si(grid[0])
    if np.any(prev >= 0.0):
        k = which[int(np.argmax(prev))]
        raise NoSolutionError(
            f"the liquid is already saturated with {ss.names[k]} at {T_min:g} K "
            f"(SI {float(prev.max()):.3g})"
        )
    for a, b in zip(grid[:-1], grid[1:]):
        cur = si(b)
        up = np.flatnonzero(cur >= 0.0)
        if up.size:
            roots = []
            for j in map(int, up):

                def si_j(t: float, j: int = j) -> float:
                    return float(si(t)[j])

                roots.append((brentq(si_j, a, b, xtol=1e-10), which[j]))
            T, k = min(roots)
            ss.range_warnings(T, [k])
            return float(T), ss.names[k]
        prev = cur
    raise NoSolutionError(
        f"no solid of {', '.join(ss.names[k] for k in which)} reaches "
        f"saturation between {T_min:g} and {T_max:g} K"
    )
