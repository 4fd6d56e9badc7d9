"""`System`: one electrolyte chemistry, ready to compute liquids and flashes.

A System gathers what a calculation needs and a newcomer should not have to know: the apparent
components (the databank's ids), the Henry components, the property package, the parameter report
(from the cache or the engine, checked) and the core layer's model built from it. Its methods
return named, verified results (`velmora.states.LiquidState`, `velmora.flashes.FlashResult`).

Units at the front door: T in K, P in Pa, amounts in mol (any one unit gives the same intensive
results), molality in mol/kg of water, enthalpy in J/mol, entropy in J/(mol K).
"""

import contextlib
import os
import re
import time
from collections.abc import Iterable, Mapping
from typing import Any, ContextManager

from . import checks
from .errors import ChemistryError, ReportError
from .flashes import FlashResult, bubble_temperature, flash
from .ids import databank_id
from .solids import Solids, flash_solids, scaling_temperature, solid_liquid
from .states import LiquidState, liquid_state, usual_state

# The compiled core and the sibling modules enginebridge, ionchem and notices are imported where
# used: `import velmora.brinequil` runs this package's __init__ and loads no sibling of the core
# but ionactivity (tests/test_package.py).

# Tolerance of a verified answer: the largest |ln f_L - ln f_V|, reaction residual (ln units) or
# balance residual (mole fraction) that a result may keep.
TOLERANCE = 1e-6
# the context of a System without overlays (reusable: it holds nothing)
_NO_OVERLAYS = contextlib.nullcontext()
# checks.temperature's usual range (read at every call of System.liquid: module names, not
# attributes of checks)
_T_HINT, _T_MAX = checks.T_HINT, checks.T_MAX


class System:
    """An electrolyte liquid system and its vapor.

    System(chemistry, gases=(), databank=None, henry=None, cache=True, tol=1e-6)

    chemistry  a built-in chemistry name (``velmora.chemistries()``; matched case-insensitively,
               e.g. "MEA-CO2-H2O", "nacl-h2o") or a chemistry mapping with the entries "species",
               "reactions", "kinds" and "k" (see ``velmora.ionchem``) and optionally
               "components" (the apparent components; by default every species that is not an
               ion).
    gases      further components that take part in the vapor only, e.g. ("N2",) or "N2".
    databank   user databank files (TOML paths) or mappings, applied in order over the shipped
               databank (``velmora.enginebridge.databank.load``; docs/bring-your-own-system.md).
               Their parameter reports are cached apart from the shipped databank's, by the
               overlays' digest.
    henry      the Henry components (a name or a sequence of names); by default every
               component that the databank marks as a supercritical gas (CO2, N2, O2, Ar, H2S,
               NH3).
    cache      True: the parameter report comes from the report cache (written once by the
               engine); False: the engine writes it in memory and nothing is stored. Where it
               came from: ``report_origin``.
    tol        tolerance of the check of every answer (see ``velmora.checks``).

    Names are the databank's ids (H2O, CO2, MEA, NaCl, Na+, ...); any name may be given in any
    case, or as the databank's plain name ("water", "carbon dioxide").
    """

    name: str
    chemistry: dict[str, Any]  # species, reactions, kinds, k (databank ids)
    components: list[str]
    gases: tuple[str, ...]
    henry: tuple[str, ...]
    aliases: dict[str, str]
    tol: float
    databank: Any  # enginebridge.databank overlays, or None
    report: str
    report_origin: str
    pp: Any  # the core layer's property package
    model: Any  # the core layer's electrolyte model (brinequil)
    species: list[str]
    solids: Solids
    _info: checks.SystemInfo

    def __init__(
        self,
        chemistry: str | Mapping[str, Any],
        gases: str | Iterable[str] = (),
        databank: Any = None,
        henry: str | Iterable[str] | None = None,
        cache: bool = True,
        tol: float = TOLERANCE,
    ) -> None:
        from velmora import enginebridge

        gases, henry = _names_of(gases, "gases"), _names_of(henry, "henry")
        self._args = (chemistry, gases, henry, bool(cache), float(tol))
        self.databank = None if databank is None else enginebridge.databank.load(databank)
        with self._using():
            self.__dict__.update(_resolve(chemistry, gases, henry, tol))
            self.report, self.report_origin = _parameter_report(
                self.name,
                self.aliases,
                self.chemistry,
                list(self.henry),
                cache,
                None if self.databank is None else self.databank.digest(),
            )
            self._build(self.report)

    def _using(self) -> ContextManager[Any]:
        """The System's databank as the one the databank functions read (a no-op without
        overlays)."""
        if self.databank is None:
            return _NO_OVERLAYS
        from velmora import enginebridge

        return enginebridge.databank.using(self.databank)

    def _build(self, report):
        """The property package and the core layer's model (``model``, also ``pp.elec``)."""
        import velmora.brinequil as bq
        from velmora import enginebridge

        db = enginebridge.databank

        self.pp = enginebridge.property_package(
            self.components, self.aliases, henry_comps=list(self.henry), method="ENRTL"
        )
        el = bq.Electrolyte.from_report(
            report, self.chemistry, list(self.components), henry=list(self.henry)
        )
        el.key = bq.report_key(self.aliases, self.chemistry, list(self.henry))
        el.water = "H2O"
        if self.name in db.chemistries():
            el.options["fixed_Y"] = db.fixed_ion_fractions(db.chemistry(self.name))
        self.pp.elec = el
        self.model = el
        self.species = list(el.names)
        self._info = checks.SystemInfo(self, db)
        self.solids = Solids(self, db)

    # -- pickling: the report travels, the cache and the engine are not asked again ------------
    def __getstate__(self) -> dict[str, Any]:
        return {"args": self._args, "report": self.report, "databank": self.databank}

    def __setstate__(self, state: dict[str, Any]) -> None:
        chemistry, gases, henry, cache, tol = state["args"]
        self._args, self.databank = state["args"], state["databank"]
        with self._using():
            self.__dict__.update(_resolve(chemistry, gases, henry, tol))
            self.report, self.report_origin = state["report"], "pickle"
            self._build(self.report)

    def __repr__(self) -> str:
        gases = f", gases={list(self.gases)!r}" if self.gases else ""
        return (
            f"System({self.name!r}{gases}): components {', '.join(self.components)}; "
            f"Henry {', '.join(self.henry) or 'none'}; {len(self.species)} true species"
        )

    # -- compositions ----------------------------------------------------------------------------
    def composition(
        self,
        amounts: Mapping[str, float] | None = None,
        *,
        molalities: Mapping[str, float] | None = None,
        mass_fractions: Mapping[str, float] | None = None,
        loading: float | None = None,
    ) -> dict[str, float]:
        """Apparent amounts {component: mol} from one of:

        amounts         {component: amount} in any one unit (mol, kmol, mole fractions);
        molalities      {solute: mol/kg of water}: 1 kg of water and these amounts;
        mass_fractions  {component: kg/kg}: 1 kg of liquid; water makes up the rest when not given;

        and, optionally, ``loading``: mol of acid gas (CO2 or H2S) per mol of the base (the one
        amine or alkali of the composition), added to the amounts (30 wt% MEA at loading 0.4:
        ``mass_fractions={"MEA": 0.3}, loading=0.4``, the mass fraction on the unloaded basis).
        Raises ValueError for unknown names, ions, negative or non-finite values.
        """
        with self._using():
            return checks.composition(self, amounts, molalities, mass_fractions, loading)

    # -- results ---------------------------------------------------------------------------------
    def liquid(
        self,
        T: float,
        amounts: Mapping[str, float] | None = None,
        *,
        molalities: Mapping[str, float] | None = None,
        mass_fractions: Mapping[str, float] | None = None,
        loading: float | None = None,
        solids: bool = False,
    ) -> LiquidState:
        """The liquid at T [K] in chemical equilibrium: a ``LiquidState`` with true amounts
        [unit of the amounts; mol for molalities and mass fractions], mole fractions, molalities
        [mol/kg water], activity coefficients on the mole-fraction and molality scales,
        activities, pH, ionic strength [mol/kg], water activity, osmotic coefficient, mean ionic
        activity coefficients, partial pressures and bubble pressure [Pa], the vapor in
        equilibrium (mole fractions) and the saturation index of every solid of the system.
        See ``composition`` for the ways to give the liquid.

        ``solids=True``: the liquid in equilibrium with the solids that precipitate (every
        present solid at SI = 0, every absent one below); the state's ``solids`` gives their
        amounts, ``apparent`` the dissolved part and ``feed`` the composition given.

        The liquid is aqueous: it needs water, and no solute may exceed 100 mol/kg of water
        (``checks.M_MAX``); with ``solids=True`` that holds for the composition given as a
        whole, what would be solid included (the solids are found from its own liquid). It is
        computed per mole of liquid and its amounts are given back in the unit of the input."""
        if self.databank is None and not solids and amounts is None and type(T) is float:
            # the usual call (checks.temperature's usual T; no overlays, whose context would be
            # a no-op) in one compiled step, else the steps one by one below
            if _T_HINT <= T <= _T_MAX:
                state = usual_state(self, molalities, mass_fractions, loading, T)
                if state is not None:
                    return state
        with self._using():
            usual = None
            if amounts is None and mass_fractions is None and loading is None:
                usual = checks.molal_liquid(self, molalities)
            elif amounts is None and molalities is None:
                usual = checks.mass_liquid(self, mass_fractions, loading)
            if usual is None:
                app, checked = checks._composition(
                    self, amounts, molalities, mass_fractions, loading, solids
                )
                x, a, b = checks.liquid(self, app, checked, solids)
            else:
                (app, x, a), b = usual, 1.0
            T = checks.temperature(T)
            checks.range_warnings(self, T, x)
            if not solids:
                return liquid_state(self, x, T, (app, a, b))
            with checks.warnings_to_caller():  # (said from the active set's liquids)
                state = solid_liquid(self, x, T)
        return state._in_unit(app, a, b, dissolved=True)

    def _approach(self, app: dict[str, float], T: float, warm: Any = None) -> Any:
        """``velmora.paths.approach`` of this System: its solid-liquid equilibrium at T along a
        path, where the active-set method does not settle (``warm``: its warm start)."""
        from . import paths  # paths builds on the solids, which call this

        return paths.approach(self, app, T, warm)

    def _column_liquid(self, T: float, app: dict[str, float]) -> LiquidState:
        """``liquid(T, app)`` for a solver's own apparent amounts ``app`` over every component
        in their order (the system's names, each amount positive): the same state, checked,
        without the naming of the components and without the range warnings, which the solver
        gives once for all the liquids it ran on (``checks.range_warnings``)."""
        with self._using():
            x, a, b = checks.liquid(self, app)
            return liquid_state(self, x, checks.temperature(T), (app, a, b))

    def flash(
        self,
        feed: Mapping[str, float] | Iterable[float],
        P: float,
        *,
        T: float | None = None,
        H: float | None = None,
        S: float | None = None,
        vapor_fraction: float | None = None,
        T0: float | None = None,
        solids: bool = False,
    ) -> FlashResult:
        """Flash of ``feed`` at P [Pa] with exactly one of T [K], H [J/mol of feed],
        S [J/(mol K) of feed] or the vapor fraction [mol vapor/mol feed].

        ``feed``: {component: amount} (any one unit) or a sequence in the order of
        ``components``. Returns a verified ``FlashResult``; raises ``ConvergenceError`` (naming
        T, P, the feed and the residual) when no verified answer is found, never a result above
        the tolerance. The answer does not depend on earlier calls.

        ``solids=True``: a vapor-liquid-solid flash (T, H, S or vapor fraction): the result's
        ``solids`` {solid: mol per mol of feed}; ``vapor_fraction``, ``H`` and ``S`` are per mol
        of the whole feed, ``x`` and ``liquid`` describe the liquid (see ``velmora.solids``)."""
        if self.databank is None and not solids:  # (no overlays: nothing to switch to)
            return flash(self, feed, P, T, H, S, vapor_fraction, T0)
        with self._using():
            if solids:
                with checks.warnings_to_caller():  # (said from the active set's flashes)
                    return flash_solids(
                        self, feed, P, T=T, H=H, S=S, vapor_fraction=vapor_fraction, T0=T0
                    )
            return flash(self, feed, P, T=T, H=H, S=S, vapor_fraction=vapor_fraction, T0=T0)

    def scaling_temperature(
        self,
        amounts: Mapping[str, float] | None = None,
        *,
        molalities: Mapping[str, float] | None = None,
        mass_fractions: Mapping[str, float] | None = None,
        loading: float | None = None,
        solid: str | None = None,
        T_min: float = 273.15,
        T_max: float = 473.15,
    ) -> tuple[float, str]:
        """(T [K], solid): the lowest temperature in [T_min, T_max] at which the liquid, kept
        liquid, becomes saturated with ``solid`` (default: with the first of the system's
        solids to saturate), e.g. the scaling temperature of a produced water heated under
        pressure. ValueError when it is saturated at T_min already or never in the range."""
        app = self.composition(
            amounts, molalities=molalities, mass_fractions=mass_fractions, loading=loading
        )
        x = checks.liquid(self, app)[0]
        with self._using(), checks.warnings_to_caller():  # (said from Brent's method on the way)
            return scaling_temperature(
                self, x, solid, checks.temperature(T_min), checks.temperature(T_max)
            )

    def bubble_temperature(
        self, feed: Mapping[str, float] | Iterable[float], P: float, T0: float | None = None
    ) -> FlashResult:
        """The liquid ``feed`` at its bubble temperature at P [Pa]: a verified ``FlashResult``
        with vapor fraction 0, ``T`` the bubble temperature [K] and ``vapor`` the first bubble's
        composition. ValueError when it lies outside 200-700 K (a feed with an inert gas boils
        far below 200 K)."""
        with self._using():
            return bubble_temperature(self, feed, P, T0=T0)


# ---------------------------------------------------------------------------------- helpers


def chemistries() -> list[str]:
    """The names of the built-in chemistries."""
    from velmora import ionchem

    return list(ionchem.names())


def _resolve(chemistry, gases, henry, tol):
    """The attributes of a System that follow from its arguments: name, chemistry (databank
    ids), components, gases, Henry components and aliases. Nothing is computed."""
    from velmora import enginebridge, ionchem

    db = enginebridge.databank
    if isinstance(chemistry, str):
        name = _builtin_name(chemistry, ionchem.names())
        chem, explicit = ionchem.builtin(name), ionchem.components(name)
    elif not hasattr(chemistry, "get"):
        raise TypeError(
            "chemistry: give a built-in chemistry name or a chemistry mapping, "
            f"not {type(chemistry).__name__}"
        )
    else:
        name = str(chemistry.get("name", "chemistry"))
        chem, explicit = _normalise_chemistry(chemistry, db), chemistry.get("components")
    species = list(chem["species"])
    comps = (
        [s for s in species if db.species(s)["kind"] != "ion"]
        if explicit is None
        else [_canonical(c, species, "component") for c in explicit]
    )
    for g in gases:
        gid = databank_id(g, db)
        if db.species(gid)["kind"] == "ion":
            raise ChemistryError(f"gas {g!r} is an ion ({gid}): gases are molecular components")
        if gid not in comps:
            comps.append(gid)
    if "H2O" not in comps:
        raise ChemistryError(
            f"chemistry {name}: no water (H2O) among the components "
            f"{', '.join(comps)}; velmora models aqueous liquids"
        )
    hen = (
        tuple(c for c in comps if db.species(c).get("supercritical", False))
        if henry is None
        else tuple(_canonical(h, comps, "Henry component") for h in henry)
    )
    return {
        "tol": float(tol),
        "name": name,
        "chemistry": chem,
        "components": comps,
        "gases": tuple(c for c in comps if c not in species),
        "henry": hen,
        "aliases": {c: c for c in comps},
    }


def _names_of(v, what):
    """A tuple of names from one name or a sequence of names (None stays None)."""
    if v is None:
        return None
    if isinstance(v, str):
        return (v,)
    if not hasattr(v, "__iter__"):
        raise TypeError(f"{what}: give a name or a sequence of names, not {type(v).__name__} {v!r}")
    return tuple(v)


def _builtin_name(name, names):
    for n in names:
        if n.upper() == name.strip().upper():
            return n
    raise ChemistryError(f"unknown chemistry {name!r}; built-in chemistries: {', '.join(names)}")


def _canonical(name, valid, what):
    key = str(name).strip().upper()
    for v in valid:
        if v.upper() == key:
            return v
    raise ChemistryError(f"unknown {what} {name!r}; valid: {', '.join(valid)}")


def _normalise_chemistry(chem, db):
    """A chemistry mapping with databank ids, checked: every reaction species is a species of
    the chemistry, every reaction balances charge, one K record per EQUIL reaction."""
    for key in ("species", "reactions", "kinds", "k"):
        if key not in chem:
            raise ChemistryError(f"chemistry mapping: the entry {key!r} is missing")
    species = [databank_id(s, db) for s in chem["species"]]
    if len(set(species)) != len(species):
        raise ChemistryError("chemistry mapping: a species is listed twice")
    reactions, kinds, ks = list(chem["reactions"]), list(chem["kinds"]), list(chem["k"])
    if not len(reactions) == len(kinds) == len(ks):
        raise ChemistryError(
            f"chemistry mapping: {len(reactions)} reactions, {len(kinds)} kinds "
            f"and {len(ks)} constants; give one of each per reaction"
        )
    out = []
    for r, reac in enumerate(reactions):
        stoich = {}
        for s, v in reac.items():
            sid = databank_id(s, db)
            if sid not in species:
                raise ChemistryError(
                    f"chemistry mapping: reaction {r + 1} uses {s!r}, which is "
                    f"not among the species {', '.join(species)}"
                )
            stoich[sid] = float(v)
        charge = sum(v * db.species(s)["charge"] for s, v in stoich.items())
        if abs(charge) > 1e-12:
            raise ChemistryError(
                f"chemistry mapping: reaction {r + 1} does not balance charge "
                f"(net charge {charge:+g})"
            )
        out.append(stoich)
        if kinds[r] == "EQUIL" and ks[r] is None:
            raise ChemistryError(
                f"chemistry mapping: EQUIL reaction {r + 1} has no equilibrium constant"
            )
    return {
        "species": species,
        "reactions": out,
        "kinds": kinds,
        "k": [None if k is None else {c: float(k[c]) for c in "ABCD"} for k in ks],
    }


def _parameter_report(name, aliases, chem, henry, cache, overlay=None):
    """(report text, origin): from the cache when it is intact and current, else from the
    engine (stored in the cache unless ``cache`` is false). A damaged cached report is written
    again and the user is told through the message log; it never degrades to an ideal liquid.
    origin: "cache", "engine" (and stored), "engine, replacing a damaged cached report" or
    "engine, not stored". ``overlay``: the digest of a databank with user overlays; its reports
    are kept in a folder of their own beside the cache (elec-overlays), named by key and digest,
    so that they never replace the shipped databank's."""
    import velmora.brinequil as bq
    from velmora import enginebridge, notices

    def engine_text():
        if not enginebridge.engine_available():
            raise ReportError(
                f"chemistry {name}: no usable parameter report in the cache "
                f"({bq._cache_dir()}) and the engine is not available to write "
                "one (unset VELMORA_NO_ENGINE, or install the package's databank)"
            )
        head = enginebridge.input_header(
            aliases, "eNRTL", henry=henry or None, chemistry=(name, chem)
        )
        return enginebridge.run_input(head + "\nPARAMETER-REPORT ALL\n", runid="elec")[0]

    if not cache:
        return engine_text(), "engine, not stored"
    key = bq.report_key(aliases, chem, henry)
    if overlay is None:
        path = os.path.join(bq._cache_dir(), key + ".rep")
    else:
        path = os.path.join(
            os.path.dirname(bq._cache_dir()), "elec-overlays", f"{key}-{overlay}.rep"
        )
    refresh = False
    try:
        # Opened rather than tested first: another process may remove or replace the report
        # at any moment, and a report gone since a test is no error.
        with open(path, errors="ignore") as fh:
            text = fh.read()
    except (FileNotFoundError, NotADirectoryError):
        text = None  # no report yet: the engine writes one below
    except IsADirectoryError:
        raise ReportError(
            f"chemistry {name}: a directory stands where the parameter report "
            f"should be ({path}); remove it, point LOCALAPPDATA at another "
            "folder, or use System(..., cache=False)"
        ) from None
    if text is not None:
        problem = report_problem(text, enginebridge)
        if problem is None:
            return text, "cache"
        notices.log.warning(
            "Parameter report %s of chemistry %s %s: written again by the engine",
            path,
            name,
            problem,
        )
        refresh = True
    if not enginebridge.engine_available():
        engine_text()  # raises the ReportError
    _remove_stale_temporaries(os.path.dirname(path))
    try:
        if overlay is None:
            text = bq.parameter_report(aliases, name, chem, henry, refresh=refresh)
        else:
            text = engine_text()
            bq._write_report(path, text)
    except OSError as e:
        raise ReportError(
            f"chemistry {name}: the parameter report cannot be stored in the cache folder "
            f"{os.path.dirname(path)} ({e.strerror or e}); make the folder writable, point "
            "LOCALAPPDATA at a writable folder, or use System(..., cache=False)"
        ) from e
    return text, ("engine, replacing a damaged cached report" if refresh else "engine")


# A writer killed between creating its temporary report and renaming it leaves the temporary
# file behind; the next write into the folder removes it. A writer's file names its pid: it is
# stale once that pid is gone and the file has been unchanged for STALE_DEAD_WRITER seconds
# (the grace spares a live writer on another host or in another pid namespace sharing the
# folder, whose pid means nothing here; a write takes well under a second). A temporary file
# without a pid (older versions) is stale once unchanged for STALE_UNNAMED seconds: no writer
# keeps one open that long, and a longer wait only leaves litter for longer. The engine, the
# one writer of reports, names its temporary files .<report>.<pid>.<random>.tmp.
STALE_DEAD_WRITER = 60.0
STALE_UNNAMED = 3600.0
_WRITER_PID = re.compile(r"\.(\d+)\.[0-9a-z_]+\.tmp$")


def _remove_stale_temporaries(folder):
    """Remove the stale temporary reports (*.tmp) of the cache folder ``folder``; never one
    whose writer is alive. Files that vanish or resist meanwhile are left alone."""
    try:
        with os.scandir(folder) as it:
            entries = [e for e in it if e.name.endswith(".tmp")]
    except OSError:
        return  # no folder yet
    now = time.time()
    for entry in entries:
        writer = _WRITER_PID.search(entry.name)
        try:
            age = now - entry.stat(follow_symlinks=False).st_mtime
            if (
                age > STALE_UNNAMED
                if writer is None
                else age > STALE_DEAD_WRITER and not _alive(int(writer.group(1)))
            ):
                os.remove(entry.path)
        except OSError:
            pass


def _alive(pid):
    """Whether a process of this id runs here (another user's included)."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError):
        return True
    return True


def report_problem(text: str, enginebridge: Any) -> str | None:
    """Why a cached report cannot be used (a phrase), or None when it is intact and was written
    from the installed databank."""
    if not text.strip():
        return "is empty"
    if enginebridge.engine.CHECKSUM not in text:
        return "has no checksum line (cut short, or written by an older engine)"
    if not enginebridge.checksum_ok(text):
        return "is damaged (its checksum does not match its text)"
    if f"# databank {enginebridge.databank.digest()}" not in text:
        return "was written from another version of the databank"
    return None
