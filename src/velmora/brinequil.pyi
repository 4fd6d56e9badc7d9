"""Chemical and phase equilibrium of electrolyte liquids (apparent-component eNRTL).

Units: T in K, P in Pa, enthalpy in J/kmol, entropy in J/(kmol K). True-species vectors are in
the order of ``Electrolyte.names``; apparent vectors (z, x, y, K) in the order of
``pp.components``. An apparent composition is a mapping {component: amount} in any one unit.
"""

from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velmora.phasekit import Flowsheet, PropertyPackage

class Electrolyte:
    """The true species, the chemistry and the parameters of the liquid."""

    sp: Any
    """The species object of ``velmora.ionactivity`` (names, n, henry, water, solv, mol, z, ion,
    molecule_tau)."""
    names: list[str]
    """The true species, in the order of every per-species vector."""
    apparent: list[str]
    """The apparent components."""
    app_idx: list[int]
    """Position of each apparent component in ``names``."""
    diss: list[dict[str, float]]
    """The DISS reactions (complete dissociation before the equilibrium solve)."""
    nu: NDArray[np.float64]
    """Stoichiometry of the EQUIL reactions: one row per reaction, one column per species."""
    K: list[dict[str, float]]
    """ln K records {"A", "B", "C", "D"} of the EQUIL reactions: ln K = A + B/T + C ln T + D T."""
    B: NDArray[np.float64]
    """Reaction invariants: rows span the left null space of nu^T (elements and charge)."""
    antoine: dict[str, tuple[float, ...]]
    """{species: (C1 ... C7)}: ln Psat[Pa] = C1 + C2/(T + C3) + C4 T + C5 ln T + C6 T^C7."""
    henry: dict[tuple[str, str], tuple[float, ...]]
    """{(solute, solvent): (a, b, c, d[, e])}: ln H[Pa] = a + b/T + c ln T + d T + e/T^2."""
    vc: dict[str, float]
    """{solvent: critical volume}: weights Vc^(2/3) of the mixed Henry constant."""
    pure: dict[str, dict[str, Any]]
    """{species: {"tdep": ..., "scalar": ...}} with CP_AQ and DHF_AQ of the ions."""
    options: dict[str, Any]
    """Model options: "lc_ref" ("water-ratio"), "fixed_Y" (True), "henry_ref" ("solvent")."""
    source: tuple[str, dict[str, Any], list[str], tuple[str, ...]]
    """(report text, chemistry, apparent components, Henry components); set by from_report."""
    key: str
    """The 16-hex-digit report key; set by attach."""
    water: str
    """The name of water among the components; set by attach."""
    _warm: tuple[float, NDArray[np.float64], NDArray[np.float64]] | None
    """Warm start of the speciation (T [K], n / total, ln gamma); set by true_amounts."""

    def __init__(
        self,
        sp: Any,
        reactions: Sequence[Mapping[str, float]],
        kinds: Sequence[str],
        k: Sequence[Mapping[str, float] | None],
        apparent: Sequence[str],
        antoine: Mapping[str, Sequence[float]] | None = None,
        henry: Mapping[tuple[str, str], Sequence[float]] | None = None,
        vc: Mapping[str, float] | None = None,
        options: Mapping[str, Any] | None = None,
    ) -> None:
        """A model from a species object and a chemistry: reactions {species: coefficient},
        their kinds ("EQUIL", "DISS"; others ignored) and ln K records (None for non-EQUIL),
        the apparent components and the parameter tables. Raises ValueError "equilibrium
        constants missing (Gibbs energies are not used here yet)" for an EQUIL reaction without
        its record."""

    @classmethod
    def from_report(
        cls,
        text: str,
        chem: Mapping[str, Any],
        apparent: Sequence[str],
        henry: Sequence[str] = (),
    ) -> Electrolyte:
        """A model from a parameter report and a chemistry (default options, ``pure`` and
        ``source`` filled); picklable."""

    def __reduce__(self) -> tuple[Callable[..., Electrolyte], tuple[Any, dict[str, Any]]]:
        """(_rebuild, (source, {key, water, options})). Raises TypeError "an electrolyte liquid
        without its report cannot be pickled" for a model without ``source``."""

    def _status(self) -> dict[str, Any]:
        """How the model's most recent operations ended: {"speciation_converged": bool (the last
        true_amounts met its tolerance), "speciation_iterations": int, "split_status": int or
        None (MINPACK's info of the last _flash_newton; 1 = converged), "substitution_err":
        float or None (the last flash_tp's final max |ln(Kn/K)|)}. None: not run since
        _reset_status."""

    def _reset_status(self) -> None:
        """Forget the outcomes that _status reports."""

    def _session(
        self, warm: _WarmStart | None, method: str, *args: Any, **kwargs: Any
    ) -> tuple[Any, dict[str, Any]]:
        """(result, status) of ``self.<method>(*args, **kwargs)`` run with the warm start
        ``warm`` in place of ``_warm`` (updated in place, also where the call raises; None: a
        cold start of the call's own) and a status of its own, fresh for the call, as
        ``_status`` gives it. The model's own ``_warm`` and status are not touched: how the
        front door passes warm starts from one call to the next."""

    def _solid_newton(
        self,
        n0: ArrayLike,
        T: float,
        nu_s: ArrayLike,
        ln_ksp: ArrayLike,
        s: ArrayLike,
        n: ArrayLike,
        lng: ArrayLike,
        tol: float = 1e-14,
        maxit: int = 60,
        jac: NDArray[np.float64] | None = None,
    ) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], int, int]:
        """The liquid and the amounts of a set of solids in equilibrium with it (velmora.solids):
        Newton's method on the speciation's equations and the solids' saturation together, from
        the true amounts n (ln gamma lng) and solid amounts s. n0: the feed on the species;
        nu_s: the solids' dissolution into the species (a row each); ln_ksp: their ln Ksp
        (mole-fraction basis). Returns (n, lng, s, status, iterations): status 0 converged
        (every residual below tol, or below 10 tol where no step lowers them), 1 not
        converged, 2 diverged, 3 a method of the model replaced in Python (nothing done).
        jac: None, or a float64 array of a row per reaction and solid and a column per species,
        in and out: where finite, the derivative (nu; nu_s) d lng / d ln n of a neighbouring
        solve of the same set and T, which the solve starts from in place of differences of
        the model (a path's next point); given back as the solve left it where it converged
        from one (a start at the answer takes none), else NaN."""

    def _residual(
        self, n_app: Mapping[str, float], T: float, n: ArrayLike, lng: ArrayLike
    ) -> float | None:
        """Largest residual of the speciation (n, lng) of n_app at T: reactions [ln units] and
        invariants [relative to the feed]; inf for a negative or non-finite n or residual; None
        where lnK or henry_ref is replaced in Python (velmora's checks compute it there)."""

    def _front_fugacities(
        self, n_app: Mapping[str, float], T: float
    ) -> tuple[dict[str, float], NDArray[np.float64], NDArray[np.float64]] | None:
        """(fugacities, true amounts, ln gamma) of the apparent liquid n_app at T as
        _front_flash_check speciates a flash answer's liquid; None where a method it calls or the
        model's tables are not the package's own (then call fugacities)."""

    def _front_bubble_T(
        self,
        n_app: Mapping[str, float],
        components: Sequence[str],
        pp: Any,
        P: float,
        T0: float,
        T_min: float,
        T_max: float,
    ) -> tuple[int, float, float, int] | None:
        """The front door's bubble temperature search of the apparent liquid n_app at P in one
        call: ln max(sum f / P, 1e-300) over the components (fugacities from the warm record, as
        fugacities gives them), bracketed from T0 (steps of 10 K growing by 1.6, clamped to
        [T_min, T_max]), then Brent's method (xtol 1e-10). (outcome, T, g, evaluations): outcome
        0 T found, 1 no sign change up to a bound (g at the last T before it), 2 a speciation
        that did not settle or raised, or a value that is no number (the caller's own loop then
        runs). None where fugacities, true_amounts, lnK or henry_ref is replaced in Python or
        the vapor is not the package's own ideal gas."""

    def _front_split_at_beta(
        self,
        components: Sequence[str],
        z: ArrayLike,
        V: Sequence[int],
        zV: ArrayLike,
        species: Sequence[int],
        w0: ArrayLike,
        pp: Any,
        P: float,
        beta: float,
        limits: tuple[float, float, int, float, int, float, float, float, float, float, float],
    ) -> (
        tuple[
            int,
            str,
            float | None,
            NDArray[np.float64] | None,
            NDArray[np.float64] | None,
            NDArray[np.float64] | None,
            float | None,
            int,
        ]
        | None
    ):
        """The front door's split of the feed z with the vapor fraction beta at P in one call:
        damped Newton's method from w0 (ln v over the volatile components V, then T) on ln
        (y P / f) over V (f of each trial liquid from the warm record, as _front_fugacities
        gives it) and ln (vapor / beta); zV what the feed can give of each, species the position
        of each one's molecule among the true species; limits (tol, SPLIT_TOL, SPLIT_STEPS,
        LARGE_STEP, SPLIT_EVALS, step cap in ln v, in T, T_MIN, T_MAX, VAPOR_FLOOR, RESOLUTION).
        (outcome, message, beta, x, y, true amounts, T, evaluations): outcome 0 the split, 1
        none (the message says why), 2 the evaluation budget spent, 3 a trial liquid whose
        speciation raised or whose value is no finite number (the caller's own loop then runs).
        None where fugacities, true_amounts, lnK, henry_ref, _residual or _status is replaced
        in Python or the vapor is not the package's own ideal gas."""

    def _front_split_at_T(
        self,
        components: Sequence[str],
        z: ArrayLike,
        V: Sequence[int],
        zV: ArrayLike,
        species: Sequence[int],
        w0: ArrayLike,
        pp: Any,
        P: float,
        T: float,
        settle: bool,
        limits: tuple[float, float, int, float, int, float, float, float, float, float, float],
    ) -> (
        tuple[
            int,
            str,
            float | None,
            NDArray[np.float64] | None,
            NDArray[np.float64] | None,
            NDArray[np.float64] | None,
            int,
            int,
            bool,
        ]
        | None
    ):
        """One start of the TP flash's split of the feed z at T and P on the liquid's
        fugacities in one call: damped Newton's method from w0 (ln v over the volatile
        components V) on ln (y P / f) over V, as _front_split_at_beta without the T unknown and
        with no retry on larger differences; limits as there, its fifth the budget left (one per
        evaluation plus each speciation's iterations). (outcome, message, beta, x, y, true
        amounts, evaluations, budget left, an unsettled trial liquid seen): outcome 0 the split,
        1 none (the message says why), 2 the budget spent, 3 a trial liquid whose speciation
        raised, whose value is no finite number or, with settle, that did not settle (the
        caller's own loop then runs). None as for _front_split_at_beta."""

    def _front_dew_point(
        self,
        components: Sequence[str],
        z: ArrayLike,
        V: Sequence[int],
        w0: ArrayLike,
        pp: Any,
        P: float,
        limits: tuple[float, float, int, float, int, float, float, float, float, float, float],
    ) -> (
        tuple[
            int,
            str,
            NDArray[np.float64] | None,
            NDArray[np.float64] | None,
            float | None,
            int,
        ]
        | None
    ):
        """The front door's dew point of the feed z (all vapor) at P in one call: damped
        Newton's method from w0 (ln x over the feed's components V, then T) on ln (f / (z P))
        over V (f of each incipient liquid x / sum x from the warm record, as _front_fugacities
        gives it) and ln sum x; limits as for _front_split_at_beta (LARGE_STEP unused: no retry on
        larger differences). (outcome, message, x, true amounts, T, evaluations): outcome 0 the
        dew point, 1 none (the message says why), 2 the evaluation budget spent, 3 a trial
        liquid whose speciation raised, did not settle or whose value is no finite number (the
        caller's own loop then runs). None as for _front_split_at_beta."""

    def _front_vapor_at_T(
        self,
        components: Sequence[str],
        z: ArrayLike,
        V: Sequence[int],
        w0: ArrayLike,
        pp: Any,
        P: float,
        T: float,
        limits: tuple[float, float, int, float, int, float, float, float, float, float, float],
    ) -> (
        tuple[
            int,
            str,
            NDArray[np.float64] | None,
            NDArray[np.float64] | None,
            float | None,
            int,
        ]
        | None
    ):
        """The front door's all-vapor test of the feed z at T and P on the liquid's fugacities
        in one call: damped Newton's method from w0 (ln x over the feed's components V, then
        ln lambda) on ln f - ln (z P lambda) over V (f of each incipient liquid x / sum x as for
        _front_dew_point) and ln sum x; limits as for _front_split_at_beta (LARGE_STEP, the T
        range and the T cap unused). (outcome, message, x, true amounts, ln lambda,
        evaluations): outcome 0 the incipient liquid (all vapor where ln lambda >= 0), 1 none
        (the message says why), 2 the evaluation budget spent, 3 a trial liquid whose
        speciation raised, did not settle or whose value is no finite number (the caller's own
        loop then runs). None as for _front_split_at_beta."""

    def _front_liquid(
        self,
        n_app: Mapping[str, float],
        T: float,
        pairs: list[tuple[str, int, int, int]] | None = None,
        water: tuple[int, int, int, float, float] | None = None,
        warm: _WarmStart | None = None,
    ) -> (
        tuple[
            dict[str, float],
            NDArray[np.float64],
            NDArray[np.float64],
            float,
            bool,
            bool | None,
            bool | None,
        ]
        | None
    ):
        """(fugacities {species: Pa}, n, lng, residual, converged, may_warn) of the apparent
        liquid n_app at T from a cold start: the digits of fugacities, _residual and _status
        after `_warm = None` (the warm record and the status written as those write them).
        may_warn: whether one of the default pairs ``pairs`` (message, molecule, cation, anion
        positions) may be major in the liquid (the first pass of checks.pair_warnings); None
        without pairs. Last, whether the liquid passes checks.true_water (``water``: H3O+, OH-,
        water positions, mol per mol of true water, water activity tolerance); None without it. None where one of those methods, true_amounts, lnK, henry_ref, the
        activity model or the warm record is replaced in Python (velmora's front door then
        calls them one by one). ``warm``: None, the model's ``_warm`` and status written as
        those methods write them; or a _WarmStart that takes the record instead (the call's
        status its own, the model's record and status left as they were)."""

    def _front_molal_liquid(
        self,
        args: tuple[Mapping[str, str], list[str], float, float],
        molalities: Any,
        T: float,
        pairs: list[tuple[str, int, int, int]] | None,
        water: tuple[int, int, int, float, float] | None,
    ) -> tuple[Any, ...] | None:
        """_front_molal(exact, components, molalities, water, top) for args (exact, components,
        water, top), followed by _front_liquid's entries for its per-mole liquid at T: the
        usual call of System.liquid in one step; None where either gives None."""

    def _front_mass_liquid(
        self,
        args: tuple[Mapping[str, str], list[str], Mapping[str, float], list[str], list[str],
                    float, float],
        mass_fractions: Any,
        loading: Any,
        T: float,
        pairs: list[tuple[str, int, int, int]] | None,
        water: tuple[int, int, int, float, float] | None,
    ) -> tuple[Any, ...] | None:
        """_front_mass's tuple for args (exact, components, mw, acids, bases, kg_water, m_max),
        followed by _front_liquid's entries for its per-mole liquid at T; None where either
        gives None."""

    def _front_state(
        self,
        usual: tuple[Any, ...],
        made: tuple[dict[str, float], dict[str, float], float] | None,
        molalities: Any,
        mass_fractions: Any,
        loading: Any,
        T: float,
        pairs: list[tuple[str, int, int, int]] | None,
        quiet: bool,
        warm: _WarmStart | bool | None = None,
    ) -> Any:
        """System.liquid's usual call to its LiquidState in one step (usual: (molal args, mass
        args, water, state class, system, tol, t_lo, t_hi); made: (apparent amounts, per mole,
        total) of a composition made before, or None): the state where the answer is verified,
        its water passes, no pair may warn, T lies in [t_lo, t_hi] and quiet; else
        _front_molal_liquid's or _front_mass_liquid's tuple (made + _front_liquid's entries
        with made), or None where that is None. ``warm``: as for _front_liquid, or True: a
        record of the call's own, dropped after it."""

    def _front_flash_check(
        self,
        n_app: Mapping[str, float],
        components: Sequence[str],
        z: ArrayLike,
        beta: float,
        x: ArrayLike,
        y: ArrayLike,
        T: float,
        P: float,
        pp: Any,
        tol: float,
        limits: tuple[float, float, float],
    ) -> (
        tuple[
            dict[str, float],
            NDArray[np.float64],
            NDArray[np.float64],
            bool,
            tuple[float, float, float] | None,
        ]
        | None
    ):
        """(fugacities, n, lng, converged, (phase residual, balance, speciation residual) or
        None) of a flash answer (feed z, vapor fraction beta, liquid x = n_app, vapor y) at T,
        P: the liquid as fugacities and _status give it from the warm record, the residuals as
        velmora.checks' phase_residual and speciation_residual give them (limits: VAPOR_FLOOR,
        RESOLUTION, TRACE), to the last digit; the residuals None where the speciation did not
        meet its tolerance. None where one of those methods, true_amounts, lnK, henry_ref, the
        activity model or the vapor model (the package's own ideal gas) is replaced."""

    def _front_tp_flash(
        self,
        pp: Any,
        z: ArrayLike,
        T: float,
        P: float,
        components: Sequence[str],
        tol: float,
        limits: tuple[float, float, float],
        water: tuple[float, float, float, float, frozenset[str]],
        box: list[Any],
        self_ions: tuple[int, int, int, float, float] | None = None,
        warm: _WarmStart | None = None,
    ) -> (
        tuple[
            dict[str, float],
            NDArray[np.float64],
            NDArray[np.float64],
            bool,
            tuple[float, float, float] | None,
        ]
        | None
    ):
        """flash_tp(pp, z, T, P) and the check of its answer as _front_flash_check gives it, in
        one call on the flash's own tables. box gets the flash's result and its split status
        (as _status gives it), True when the check's speciation starts (an error raised after
        that is the speciation's) and, with the check, whether no solute of a split's liquid
        lies beyond water[3] mol/kg, the split's |d beta / d ln K| and whether the liquid passes
        checks.true_water (self_ions as _front_liquid's water; None without it). water: kg of
        water per mol of H2O, the largest molality of checks.solutes, the molar mass of water
        [g/mol], that molality, the solvent components.
        None with box empty where flash_tp or _status is replaced (the caller calls them), with
        the flash's result in it where the check is left to the caller (a method it stands for,
        the activity model or the vapor model replaced, a liquid checks.solutes would look at
        closer). ``warm``: as for _front_liquid (the flash starts from that record)."""

    def lnK(self, T: float) -> NDArray[np.float64]:
        """ln K of every equilibrium reaction at T [K], mole-fraction basis (dimensionless), one
        entry per row of ``nu``."""

    def true_amounts(
        self, n_app: Mapping[str, float], T: float, tol: float = 1e-11, maxit: int = 200
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """(n, lng): true amounts of every species (in the unit of n_app) and their ln gamma
        (the activity model's convention) at T [K]. Raises ValueError "chemical equilibrium of
        the liquid diverged" for a residual that is not finite."""

    def henry_ref(
        self, T: float, x: ArrayLike | None = None, lng: ArrayLike | None = None
    ) -> NDArray[np.float64]:
        """ln gamma infinity of the Henry components at T [K] (0 for the other species): in
        water without x; in the solvents or the mixture of x per the option "henry_ref"."""

    def psat(self, c: str, T: float) -> float:
        """Vapor pressure [Pa] of species c at T [K] (extended Antoine)."""

    def ln_h_mix(self, i: str, x: ArrayLike, T: float) -> float:
        """ln (H / gamma_inf)_mix [ln Pa] of the Henry component i over the solvents of the true
        mole fractions x, weighted x_A Vc_A^(2/3), at T [K]."""

    def _lc_molecular(
        self, x: ArrayLike, T: float, tm: tuple[NDArray[np.float64], NDArray[np.float64]]
    ) -> NDArray[np.float64]:
        """ln gamma of every species from the molecule-molecule NRTL term alone, with
        tm = sp.molecule_tau(T) = (tau, alpha); zero for ions."""

    def fugacities(
        self, n_app: Mapping[str, float], T: float
    ) -> tuple[dict[str, float], NDArray[np.float64], NDArray[np.float64]]:
        """(f, n, lng): liquid fugacities [Pa] {species: f} of the volatile molecular species at
        T [K], and the true amounts and ln gamma of true_amounts."""

    def bubble(
        self, n_app: Mapping[str, float], T: float
    ) -> tuple[float, dict[str, float], dict[str, float], dict[str, float]]:
        """(P, y, x, lng): ideal-gas bubble pressure [Pa] at T [K], vapor mole fractions
        {species: y}, true mole fractions {species: x} and {species: ln gamma}."""

    def kvalues(
        self, pp: PropertyPackage, xa: ArrayLike, y: ArrayLike, T: float, P: float
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """(K, n): K = y/x over pp.components for the apparent liquid xa and the vapor y at T [K],
        P [Pa] (0 for components without a liquid fugacity), and the true amounts [kmol per
        kmol of apparent liquid]."""

    def flash_tp(
        self,
        pp: PropertyPackage,
        z: ArrayLike,
        T: float,
        P: float,
        tol: float = 1e-9,
        maxit: int = 200,
    ) -> dict[str, Any]:
        """TP flash of the apparent feed z (mole fractions) at T [K], P [Pa]: {"beta" (kmol
        vapor/kmol feed), "x", "y" (apparent mole fractions), "H" [J/kmol feed], "S"
        [J/(kmol K) feed], "iterations", "T" [K], "P" [Pa], "true" {species: kmol per kmol of
        apparent liquid}}. maxit is accepted; the substitution runs at most 15 steps."""

    def _substitution(
        self,
        pp: PropertyPackage,
        z: ArrayLike,
        x: ArrayLike,
        y: ArrayLike,
        T: float,
        P: float,
        tol: float,
        steps: int,
        stall_steps: int = 0,
        stall_tol: float = 0.0,
    ) -> tuple[float, NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], int]:
        """(beta, x, y, n, steps taken): the front door's successive substitution at T [K], P
        [Pa] on the K-values and Rachford-Rice of flash_tp, from the liquid x and vapor y, at
        least one step and at most `steps`, until max |ln K_new/K| < tol; a step that does not
        shrink that below 0.9 of the last halves the step in ln K (down to 0.1); components
        absent from z stay absent. With stall_steps > 0 it also ends where that change is below
        stall_tol and has set no new low for stall_steps steps. beta is the last unclipped
        Rachford-Rice value."""

    def _flash_newton(
        self,
        pp: PropertyPackage,
        z: ArrayLike,
        T: float,
        P: float,
        v0: ArrayLike,
        tol: float,
    ) -> tuple[float, NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], int]:
        """(beta, x, y, n, nfev): two-phase split at T [K], P [Pa] by the hybrid Powell method on
        the vapor amounts, from v0 [kmol per kmol feed]; tol is accepted (xtol 1e-12 decides).
        Raises ValueError "two-phase split of the electrolyte liquid diverged"."""

    def bubble_t(
        self, pp: PropertyPackage, x: ArrayLike, P: float, T0: float = 350.0
    ) -> tuple[float, NDArray[np.float64]]:
        """(T, y): bubble temperature [K] of the apparent liquid x (mole fractions summing to 1)
        at P [Pa], searched from T0 [K], and the vapor mole fractions over pp.components."""

    def flash(
        self,
        pp: PropertyPackage,
        z: ArrayLike,
        P: float,
        T: float | None = None,
        H: float | None = None,
        S: float | None = None,
        beta: float | None = None,
        T0: float | None = None,
    ) -> dict[str, Any]:
        """Flash of the feed z at P [Pa] with T [K], H [J/kmol], S [J/(kmol K)] or the vapor
        fraction beta, the first given in that order; T0 [K] starts the temperature search (a
        false value: 350 K). The result is that of flash_tp. Raises ValueError "Give one of T,
        H, S, beta" when none is given."""

def _front_molal(
    exact: Mapping[str, str],
    components: list[str],
    molalities: Any,
    water: float,
    top: float,
) -> tuple[dict[str, float], dict[str, float], float] | None:
    """(apparent amounts over every component, per mole, total) of a dict of molalities of
    known components other than water, each a float in [0, top]: velmora.checks.molal_liquid's
    usual call; None for anything else."""

def _front_mass(
    exact: Mapping[str, str],
    components: list[str],
    mass_fractions: Any,
    loading: Any,
    mw: Mapping[str, float],
    acids: list[str],
    bases: list[str],
    kg_water: float,
    m_max: float,
) -> tuple[dict[str, float], dict[str, float], float] | None:
    """(apparent amounts over every component, per mole, total) of mass fractions of known
    components other than water (water makes up the rest) and a loading: velmora.checks.
    mass_liquid's usual call; None for anything else."""

def _rebuild(
    source: tuple[str, Mapping[str, Any], Sequence[str], Sequence[str]], state: Mapping[str, Any]
) -> Electrolyte:
    """A model from its pickled source (report, chemistry, apparent, Henry components) and state
    {key, water, options}."""

def h_aqueous(coeffs: Iterable[float], dhaq: float, T: float, Tref: float = 298.15) -> float:
    """Enthalpy [J/kmol] of an ion at infinite dilution in water at T [K]: dhaq (DHF_AQ, J/kmol
    at Tref [K]) plus the integral of CP_AQ = C1 + C2 T + ... + C6 T^5 [J/(kmol K)] from Tref."""

class _WarmStart:
    """A warm start of the speciation that its caller keeps and passes to
    ``Electrolyte._session``."""

    def __init__(
        self, record: _WarmStart | tuple[float, ArrayLike, ArrayLike] | None = None
    ) -> None:
        """From None (cold), another _WarmStart (a copy) or a record as ``_warm`` takes it."""
    def reset(self, record: _WarmStart | tuple[float, ArrayLike, ArrayLike] | None = None) -> None:
        """Start again from ``record`` (None: cold; as the constructor takes it)."""
    @property
    def record(self) -> tuple[float, NDArray[np.float64], NDArray[np.float64]] | None:
        """The record as ``_warm`` would read it: None or (T [K], n / total, ln gamma)."""

class _LiquidJacobian:
    """The fixed data of a liquid's derivatives (velmora.derivatives)."""

    def __init__(
        self,
        nu: ArrayLike,
        B: ArrayLike,
        D: ArrayLike,
        lnK: ArrayLike,
        si_nu: ArrayLike,
        si_lnK: ArrayLike,
        ion: Sequence[bool],
        henry: Sequence[int],
        solv: Sequence[int],
        water: int,
        mw_water: float,
        h3o: int,
        pairs: Sequence[Sequence[tuple[int, float, Sequence[float]]]],
        antoine: Sequence[Sequence[float]],
    ) -> None:
        """Species x ... matrices: reactions nu, invariants B, dissociations D (species x
        components), B C D of ln K and of the solids' ln Ksp, the solids' nu; per species
        ion flags, Henry pairs (solvent index, Vc^(2/3), ln H coefficients) and Antoine
        C1..C7; the Henry components, solvents, water and H3O+ (-1: none) by index."""
    def __call__(
        self,
        sp: Any,
        options: Mapping[str, Any] | None,
        solvent_ref: bool,
        n: ArrayLike,
        unit: tuple[float, float] | None,
        T: float,
        app: ArrayLike | Mapping[str, float],
        vol: Sequence[int],
        pp: ArrayLike | Mapping[str, float],
    ) -> tuple[NDArray[np.float64] | None, ...] | None:
        """(amounts, ln_gamma, molality, partial_pressures, saturation_indices, pH or None,
        the true amounts), columns T then the components, of the liquid of true amounts n
        (times a b where unit is (a, b), as ``LiquidState._in_unit`` scales them) at T made of
        app, whose volatile species vol have the partial pressures pp (vectors, or mappings
        whose values in their order are them); None where the activity model is not the
        package's own compiled one."""

def liquid_enthalpy(
    el: Electrolyte,
    pp: PropertyPackage,
    n: ArrayLike,
    T: float,
    P: float | None = None,
    pure: Mapping[str, Any] | None = None,
) -> float:
    """Enthalpy [J per unit of n; J for kmol] of the liquid of true amounts n at T [K]:
    molecules on the package's liquid reference, ions at infinite dilution in water (from
    ``pure``, CP_AQ and DHF_AQ) and the excess enthalpy -R T^2 sum n d ln gamma/dT."""

class _LiquidEnthalpy:
    """liquid_enthalpy's data of one model (el, its pure records) and package (pp), read
    once: the enthalpy of many liquids and its gradient (velmora.states, velmora.derivatives)."""

    def __init__(self, el: Electrolyte, pp: PropertyPackage, pure: Mapping[str, Any]) -> None:
        """Read the names, ion flags, the package's components and tables and the ions'
        CP_AQ and DHF_AQ once."""
    def __call__(self, sp: Any, n: ArrayLike, T: float) -> float | None:
        """liquid_enthalpy(el, pp, n, T, None, pure) with the activity model sp, the same
        digits; None where it is not worked out here (then call liquid_enthalpy)."""

    def gradient(
        self, sp: Any, options: Mapping[str, Any], fixed_ion_fractions: bool, n: ArrayLike, T: float
    ) -> tuple[NDArray[np.float64], float] | None:
        """(dH/dn [J/kmol per species], dH/dT at fixed n) of liquid_enthalpy's H(n, T); None
        where it is not worked out here."""

def _cache_dir() -> str:
    """The folder of the parameter-report cache (not created): %LOCALAPPDATA%/Velmora/elec, or
    ~/.cache/Velmora/elec when LOCALAPPDATA is unset or empty."""

def _write_report(path: str, text: str) -> None:
    """Writes a report's text to path (the default encoding) through a temporary file in the
    same folder renamed over it, as the cache's reports are written; OSError on failure."""

def report_key(aliases: Mapping[str, str], chem: Mapping[str, Any], henry: Iterable[str]) -> str:
    """The 16 lower-case hex digits naming the parameter report of these aliases {component:
    alias}, chemistry and Henry components."""

def parameter_report(
    aliases: Mapping[str, str],
    cid: str,
    chem: Mapping[str, Any],
    henry: Sequence[str],
    refresh: bool = False,
) -> str:
    """The eNRTL parameter report text: from the cache folder, or from one engine run that fills
    it (always the engine when refresh). Raises RuntimeError "the eNRTL parameters need the
    simulation engine once (not available here)" when the engine is needed and missing."""

def attach(fs: Flowsheet) -> Electrolyte | None:
    """Gives fs.pp the electrolyte liquid of the flowsheet's first chemistry and returns it
    (also fs.pp.elec); None when the flowsheet has no chemistry, or (with a warning in
    velmora.notices) when its chemistry cannot be used."""

def _hybrd(
    f: Callable[[NDArray[np.float64]], ArrayLike], x0: ArrayLike
) -> tuple[NDArray[np.float64], int, int]:
    """(x, nfev, info): root of f from x0 by the hybrid Powell method (xtol 1e-12); info 1 when
    converged. For the tests of the core's root finders."""

def _brentq(
    f: Callable[[float], float],
    a: float,
    b: float,
    *,
    xtol: float = 1e-8,
    rtol: float = 8.881784197001252e-16,
    maxiter: int = 100,
) -> float:
    """Root of f on [a, b] by Brent's method: the bracket's half-width below (xtol + rtol |x|) / 2
    or f exactly 0 (rtol 4 eps by default). ValueError when f(a), f(b) have the same sign
    ("different signs") or f gives NaN, RuntimeError after maxiter iterations; an exception
    raised in f reaches the caller as it was raised. The front door's root searches and the
    tests of the core's root finders."""
