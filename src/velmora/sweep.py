"""Sweeps: many independent liquids or flashes of one System, computed serially, in a local
process pool, in any ``concurrent.futures.Executor`` or on a Dask cluster, with the same digits
everywhere.

    velmora.sweep(system, conditions, what=None, executor=None, *, grid=False,
                  basis="amounts", solids=False, errors="record", chunksize=None,
                  progress=None)

Conditions: a mapping {column: values} (aligned columns of one length, scalars repeated; or
every combination with ``grid=True``, the last column varying fastest) or a pandas DataFrame.
The columns name the call:

    T                         temperature [K]
    P                         pressure [Pa]: its presence makes every point a flash
    H, S, vapor_fraction      what the flash is at instead of T [J/mol, J/(mol K), mol/mol]
    loading                   mol acid gas (CO2 or H2S) per mol of base (``System.composition``)
    <component>               the composition (H2O, MEA, CO2, ... in any case), in ``basis``:
                              "amounts" [mol or any one unit], "molalities" [mol/kg water] or
                              "mass_fractions" [kg/kg; water makes up the rest]

Without P a point is ``System.liquid(T, <basis>={...}, loading=...)``; with P it is
``System.flash(feed, P, T=|H=|S=|vapor_fraction=)`` with the feed from
``System.composition(<basis>={...}, loading=...)``. ``solids=True`` lets salts precipitate
(``System.liquid(..., solids=True)``, ``System.flash(..., solids=True)``).

``what``: the results wanted, as attribute paths of the call's result (``LiquidState`` or
``FlashResult``): "pH", "partial_pressures.CO2", "molality.HCO3-", "gamma_mean.NaCl" of a
liquid, "saturation_indices.halite", "solids.halite" (with ``solids=True``); "vapor_fraction",
"T", "vapor.CO2", "x.MEA", "liquid.pH" of a flash. None (or the name
of the call, "liquid" or "flash") gives the call's usual columns (``preset``).

The table: the input columns, one column per result (named by its path), ``error`` (None, or
"ExceptionType: message" of a point that failed; its results are NaN) and ``warnings`` (None, or
the warnings the point raised, e.g. a RangeWarning, joined by "; "), one row per point in input
order (a DataFrame's index is kept). A failed point never stops the sweep unless
``errors="raise"``; then the first failure raises ``SweepError``.

Executors: None computes a few points, and goes on serially when the rest is short (below
``SERIAL_SECONDS``) or in a local process pool of one worker per core otherwise;
"serial" and "processes" choose; any ``concurrent.futures.Executor`` (threads, processes, MPI);
a ``dask.distributed.Client`` runs on its cluster. The system travels as its pickle (the
parameter report; `System` rebuilds its model from it): to a local pool's workers as they
start, to other executors' with the first tasks (a worker without it asks), and each worker
keeps it; the points travel in chunks.
Every call of the front door starts from a cold model, so a point's digits do not depend on the
worker or on what it computed before. A script that starts process pools must guard its top
level with ``if __name__ == "__main__":`` (worker processes import the main module).

``map_points`` is the machinery underneath, for other front-door code (fits): any System
method over a list of keyword mappings, results returned in order.
"""

import concurrent.futures as cf
import hashlib
import math
import multiprocessing
import os
import pickle
import sys
import threading
import time
import warnings
from collections import OrderedDict, namedtuple
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import checks
from .errors import SweepError
from .system import System

if TYPE_CHECKING:
    import distributed
    import pandas

SERIAL_SECONDS = 2.0  # auto: a rest estimated longer than this goes to a process pool
PROBE = 16  # auto: points computed serially to estimate the cost of one point
PROGRESS_POINTS = 200  # a progress bar from this many points (on a terminal)
MAX_CHUNK = 64  # points per task at most: ~0.1 s of flashes, so the last task ends soon
DASK_MAX_CHUNK = 256  # on Dask: a task costs the cluster ~3 ms
CACHED_SYSTEMS = 8  # systems kept per worker process (a fit may build a few)

FLASH_TARGETS = ("T", "H", "S", "vapor_fraction")
BASES = ("amounts", "molalities", "mass_fractions")
RESERVED = ("error", "warnings")

Outcome = namedtuple("Outcome", "value error warnings")
Outcome.__doc__ = """One point of ``map_points``: ``value`` (the result, the tuple of the
``what`` values, or None when the point failed), ``error`` (None or "Type: message") and
``warnings`` (None or the warnings the point raised, joined by "; ")."""


# ---------------------------------------------------------------------------- the sweep


def sweep(
    system: System,
    conditions: "Mapping[str, Any] | pandas.DataFrame",
    what: str | Sequence[str] | None = None,
    executor: "str | cf.Executor | distributed.Client | None" = None,
    *,
    grid: bool = False,
    basis: str = "amounts",
    solids: bool = False,
    errors: str = "record",
    chunksize: int | None = None,
    progress: bool | None = None,
) -> "pandas.DataFrame":
    """A pandas DataFrame of ``what`` over ``conditions``: see the module's documentation."""
    try:
        import pandas as pd  # optional (velmora[sweep]), and slow to import
    except ImportError:
        raise ImportError(
            "velmora.sweep returns a pandas DataFrame: pip install "
            "'velmora[sweep]' (pandas and tqdm)"
        ) from None
    if basis not in BASES:
        raise ValueError(f"basis must be one of {', '.join(BASES)}, not {basis!r}")
    columns, index = _columns(conditions, grid, pd)
    call, roles = _roles(system, list(columns))
    paths = _what(system, call, what, columns, solids)
    points = _points(call, roles, columns, basis, solids)
    done = map_points(
        system, call, points, paths, executor, errors=errors, chunksize=chunksize, progress=progress
    )
    out = dict(columns)
    for k, path in enumerate(paths):
        out[path] = [math.nan if o.value is None else o.value[k] for o in done]
    out["error"] = [o.error for o in done]
    out["warnings"] = [o.warnings for o in done]
    return pd.DataFrame(out, index=index)


def preset(system: System, call: str, solids: bool = False) -> list[str]:
    """The usual result columns of a call: a liquid's pH, ionic strength, water activity,
    bubble pressure, partial pressures and saturation indices; a flash's T, vapor fraction, H,
    S and the apparent liquid and vapor mole fractions; with ``solids``, the solids' amounts."""
    formed = [f"solids.{s}" for s in _keys(system, "solids")] if solids else []
    if call == "liquid":
        return (
            ["pH", "ionic_strength", "water_activity", "bubble_pressure"]
            + [f"partial_pressures.{c}" for c in _keys(system, "volatile")]
            + [f"saturation_indices.{s}" for s in _keys(system, "solids")]
            + formed
        )
    if call == "flash":
        return (
            ["T", "vapor_fraction", "H", "S"]
            + [f"x.{c}" for c in system.components]
            + [f"vapor.{c}" for c in system.components]
            + formed
        )
    raise ValueError(f"no usual columns for {call!r}: give what")


def _columns(conditions, grid, pd):
    """({name: list of values}, index) of the points."""
    if isinstance(conditions, pd.DataFrame):
        if grid:
            raise ValueError(
                "grid=True combines the columns of a mapping; a DataFrame already "
                "has one row per point"
            )
        cols = {str(c): conditions[c].tolist() for c in conditions.columns}
        index = conditions.index
    elif hasattr(conditions, "items"):
        cols = {
            str(k): np.asarray(v).ravel().tolist() if np.ndim(v) else v
            for k, v in conditions.items()
        }
        if grid:
            names = list(cols)
            mesh = np.meshgrid(
                *[np.atleast_1d(np.asarray(cols[c], dtype=object)) for c in names], indexing="ij"
            )
            cols = {c: m.ravel().tolist() for c, m in zip(names, mesh)}
        else:
            lengths = {c: len(v) for c, v in cols.items() if isinstance(v, list)}
            if len(set(lengths.values())) > 1:
                raise ValueError(
                    "conditions: columns of different lengths ("
                    + ", ".join(f"{c}: {n}" for c, n in lengths.items())
                    + "); give columns of one length "
                    "(scalars are repeated), or grid=True for every combination"
                )
            n = next(iter(lengths.values()), 1)
            cols = {c: v if isinstance(v, list) else [v] * n for c, v in cols.items()}
        index = None
    else:
        raise TypeError(
            "conditions: give a mapping {column: values} or a pandas DataFrame, not "
            f"{type(conditions).__name__}"
        )
    if not cols:
        raise ValueError("conditions: no columns")
    return cols, index


def _roles(system, names):
    """(call, {role: column}) of the condition columns; component columns map to the system's
    component names."""
    roles: dict[str, Any] = {}
    comps: dict[str, str] = {}
    for c in names:
        if c in RESERVED:
            raise ValueError(f"conditions: the column name {c!r} is reserved for the results")
        if c in ("T", "P", "H", "S", "vapor_fraction", "loading"):
            roles[c] = c
            continue
        try:
            (comp,) = checks._names(system, {c: 0.0}, "condition")
        except ValueError:
            raise ValueError(
                f"conditions: unknown column {c!r}; give T, P, H, S, vapor_fraction, loading or "
                f"components of the system ({', '.join(system.components)})"
            ) from None
        if comp in comps.values():
            raise ValueError(f"conditions: component {comp} is given twice")
        comps[c] = comp
    flash = any(k in roles for k in ("P", "H", "S", "vapor_fraction"))
    targets = [k for k in FLASH_TARGETS if k in roles]
    if flash:
        if "P" not in roles:
            raise ValueError("conditions: a flash needs a P column (Pa)")
        if len(targets) != 1:
            raise ValueError(
                "conditions: a flash needs exactly one of the columns T, H, S, "
                f"vapor_fraction (given: {', '.join(targets) or 'none'})"
            )
    elif "T" not in roles:
        raise ValueError("conditions: a liquid needs a T column (K); add P for flashes")
    if not comps:
        raise ValueError(
            f"conditions: no composition; give component columns ({', '.join(system.components)})"
        )
    roles["components"] = comps
    return ("flash" if flash else "liquid"), roles


def _points(call, roles, columns, basis, solids):
    """The keyword mappings of the calls, one per row."""
    comps = roles["components"]
    n = len(next(iter(columns.values())))
    comp_cols = [(comps[c], columns[c]) for c in comps]
    loading = columns.get("loading")
    if call == "liquid":
        fixed = [("T", columns["T"])]
    else:
        target = next(k for k in FLASH_TARGETS if k in roles)
        fixed = [("P", columns["P"]), (target, columns[target])]
    points = []
    for i in range(n):
        kw = {k: v[i] for k, v in fixed}
        kw[basis] = {c: v[i] for c, v in comp_cols}
        if loading is not None:
            kw["loading"] = loading[i]
        if solids:
            kw["solids"] = True
        points.append(kw)
    return points


# ---------------------------------------------------------------------------- results by name

# Attribute paths of the results: None a scalar, a string the set of keys of a mapping
# (``_keys``), a mapping a nested result.
LIQUID_PATHS = {
    "T": None,
    "pH": None,
    "ionic_strength": None,
    "water_activity": None,
    "osmotic_coefficient": None,
    "bubble_pressure": None,
    "residual": None,
    "apparent": "components",
    "amounts": "species",
    "x": "species",
    "ln_gamma": "species",
    "gamma": "species",
    "activity": "species",
    "molality": "solutes",
    "gamma_molal": "molal solutes",
    "partial_pressures": "volatile",
    "vapor": "volatile",
    "gamma_mean": "salts",
    "saturation_indices": "solids",
    "solids": "solids",
    "feed": "components",
}
FLASH_PATHS = {
    "T": None,
    "P": None,
    "vapor_fraction": None,
    "H": None,
    "S": None,
    "iterations": None,
    "residual": None,
    "balance": None,
    "method": None,
    "converged": None,
    "feed": "components",
    "x": "components",
    "vapor": "components",
    "solids": "solids",
    "liquid": LIQUID_PATHS,
}
CALL_PATHS = {"liquid": LIQUID_PATHS, "flash": FLASH_PATHS}


def _keys(system, kind):
    info = system._info
    if kind == "components":
        return list(system.components)
    if kind == "species":
        return list(info.names)
    if kind == "solutes":
        return [s for i, s in enumerate(info.names) if i != info.iw]
    if kind == "molal solutes":
        return [info.names[i] for i in info.molal_idx]
    if kind == "volatile":  # the components with a liquid fugacity
        el = system.model
        return [c for c in system.components if c in el.antoine or c in system.henry]
    if kind == "solids":
        return list(system.solids.names)
    return list(info.salts)  # "salts"


def _what(system, call, what, columns=(), solids=False):
    """The checked result paths of ``what`` (``solids``: the points ask for solids)."""
    if what is None or what == call:
        paths = preset(system, call, solids)
        return [p for p in paths if p not in columns]
    if isinstance(what, str) and what in CALL_PATHS:
        raise ValueError(
            f"what={what!r}, but the conditions make every point a {call} "
            + ("(they have a P column)" if call == "flash" else "(add a P column)")
        )
    paths = [what] if isinstance(what, str) else list(what)
    if not paths:
        raise ValueError("what: no results asked for")
    for p in paths:
        if p in columns or p in RESERVED:
            raise ValueError(f"what: {p!r} is an input column (or reserved); ask for other results")
        _check_path(system, call, p)
        if p.split(".")[0] == "solids" and not solids:
            raise ValueError(f"what: {p!r}: the solids that form are computed with solids=True")
    if len(set(paths)) != len(paths):
        raise ValueError("what: a result is asked for twice")
    return paths


def _check_path(system, call, path):
    table = CALL_PATHS.get(call)
    if table is None:
        return  # other System methods: looked up on their results as they come
    parts = path.split(".")
    for k, part in enumerate(parts):
        if not isinstance(table, dict) or part not in table:
            valid = ", ".join(table) if isinstance(table, dict) else "nothing"
            raise ValueError(
                f"what: unknown result {path!r} of a {call}; after "
                f"{'.'.join(parts[:k]) or 'the result'} come: {valid}"
            )
        table = table[part]
        if isinstance(table, str):
            keys = _keys(system, table)
            rest = ".".join(parts[k + 1 :])
            if rest not in keys:
                raise ValueError(
                    f"what: {path!r}: {'.'.join(parts[: k + 1])} is per "
                    f"{table.rstrip('s') if table != 'species' else 'species'}; "
                    f"give one of {', '.join(keys) or 'none (this system has none)'}"
                )
            return
    if isinstance(table, dict):
        raise ValueError(
            f"what: {path!r} is a group of results; give one of them, e.g. "
            f"{path}.{next(iter(table))}"
        )


def _get(result, parts):
    """The value at an attribute path, split at its dots (("partial_pressures", "CO2"),
    ("liquid", "pH")), of a result. A solid that did not form is not in ``solids``: 0 mol."""
    v, before = result, None
    for part in parts:
        if isinstance(v, dict):
            v = v.get(part, 0.0) if before == "solids" else v[part]
        else:
            v = getattr(v, part)
        before = part
    return v


# ---------------------------------------------------------------------------- the machinery


def map_points(
    system: Any,
    call: str,
    points: Sequence[Mapping[str, Any]],
    what: Sequence[str] | None = None,
    executor: Any = None,
    *,
    errors: str = "record",
    chunksize: int | None = None,
    progress: Any = None,
) -> list["Outcome"]:
    """``getattr(system, call)(**point)`` for every point, through ``executor`` (as for
    ``sweep``): a list of ``Outcome`` in the order of ``points``.

    system   a ``velmora.System``, or any picklable object whose method ``call`` computes a
             point (a fit's model, say); it must not depend on what it computed before.
    call     the method's name: for a System "liquid", "flash", "composition",
             "bubble_temperature", ...; a System's "flash" point may give its feed as
             ``System.composition`` takes it (amounts=, molalities= or mass_fractions=,
             loading=) instead of ``feed``.
    what     None: each value is the call's result object (which travels back whole); a list of
             attribute paths (as for ``sweep``; checked for a System's liquids and flashes):
             each value is the tuple of those values.
    errors   "record": a failed point is an Outcome with its error; "raise": SweepError at the
             first failed point.

    The system travels as its pickle (its parameter report): a model changed in place after the
    System was built is not what the workers compute with; build a System for other parameters.
    """
    if errors not in ("record", "raise"):
        raise ValueError(f"errors must be 'record' or 'raise', not {errors!r}")
    if not callable(getattr(system, call, None)):
        raise ValueError(f"{type(system).__name__} has no method {call!r}")
    points = [dict(p) for p in points]
    if what is None:
        paths = None
    elif isinstance(system, System):
        solids = bool(points) and all(p.get("solids") for p in points)
        paths = tuple(_what(system, call, what, solids=solids))
    else:
        paths = (what,) if isinstance(what, str) else tuple(what)
    job = _Job(system, call, paths, points, errors, progress)
    try:
        job.run(executor, chunksize)
    finally:
        job.close()
    return job.results


class _Job:
    """One map over the points: the results as chunks come in, the progress bar, the checks
    that nothing is missing."""

    def __init__(self, system, call, paths, points, errors, progress):
        self.system, self.call, self.paths, self.points = system, call, paths, points
        self.errors = errors
        self.results: list[Any] = [None] * len(points)
        self._blob = self._key = None
        n = len(points)
        if progress is None:
            progress = n >= PROGRESS_POINTS and sys.stderr is not None and sys.stderr.isatty()
        self.bar = None
        if progress:
            try:
                from tqdm.auto import tqdm  # optional (velmora[sweep])
            except ImportError:
                pass
            else:
                self.bar = tqdm(total=n, unit="pt", desc=f"{call} sweep", leave=False)

    # the system as it travels: pickled once, named by the digest of its pickle, and unpickled
    # here once first, so that one that cannot travel is an error here, not a dead worker
    @property
    def blob(self):
        if self._blob is None:
            what = type(self.system).__name__
            try:
                blob = pickle.dumps(self.system, protocol=pickle.HIGHEST_PROTOCOL)
                pickle.loads(blob)
            except Exception as e:
                raise SweepError(
                    f"the {what} cannot be sent to worker processes: pickling it "
                    f"fails ({type(e).__name__}: {e})"
                ) from e
            self._blob, self._key = blob, hashlib.sha1(blob).hexdigest()
        return self._blob

    @property
    def key(self):
        _ = self.blob  # made with the blob
        return self._key

    def task(self, lo, hi, blob=None):
        """The arguments of the worker's ``_chunk`` for points lo:hi."""
        return (self.key, blob, self.call, self.paths, self.points[lo:hi])

    def take(self, lo, hi, outcomes):
        if len(outcomes) != hi - lo:
            raise SweepError(
                f"points {lo}-{hi - 1}: {len(outcomes)} results came back for {hi - lo} points"
            )
        self.results[lo:hi] = [Outcome(*o) for o in outcomes]
        if self.bar is not None:
            self.bar.update(hi - lo)
        if self.errors == "raise":
            for i, o in enumerate(outcomes, lo):
                if o[1] is not None:
                    raise SweepError(f"point {i} ({_point_text(self.points[i])}) failed: {o[1]}")

    def close(self):
        if self.bar is not None:
            self.bar.close()

    # ------------------------------------------------------------------ running
    def run(self, executor, chunksize):
        n = len(self.points)
        if n == 0:
            return
        if isinstance(executor, str) and executor not in ("serial", "processes"):
            raise ValueError(f"executor: 'serial' or 'processes', not {executor!r}")
        if executor is None:
            lo = min(PROBE, n)
            t0 = time.perf_counter()
            self.serial(0, lo, lo)
            rest = (time.perf_counter() - t0) / lo * (n - lo)
            workers = _cores()
            if lo < n:
                if rest > SERIAL_SECONDS and workers > 1 and _pool_safe():
                    self.pool(workers, _chunks(lo, n, chunksize, workers))
                else:
                    self.serial(lo, n, chunksize or 64)
        elif executor == "serial":
            self.serial(0, n, chunksize or 64)
        elif executor == "processes":
            workers = _cores()
            self.pool(workers, _chunks(0, n, chunksize, workers))
        elif _is_dask(executor):
            # a cluster's tasks cost milliseconds each: larger chunks
            workers = max(1, len(executor.scheduler_info().get("workers", ())))
            self.executor(
                executor.get_executor(pure=False),
                _chunks(0, n, chunksize, workers, DASK_MAX_CHUNK),
                2 * workers,
                "Dask ",
            )
        elif hasattr(executor, "submit"):
            workers = getattr(executor, "_max_workers", None) or _cores()
            self.executor(executor, _chunks(0, n, chunksize, workers), 2 * workers)
        else:
            raise TypeError(
                "executor: give None, 'serial', 'processes', a "
                "concurrent.futures.Executor or a dask.distributed.Client, not "
                f"{type(executor).__name__}"
            )
        missing = sum(r is None for r in self.results)
        if missing:  # never a short table
            raise SweepError(f"{missing} of {n} points were not computed")

    def serial(self, lo, hi, chunksize):
        for a in range(lo, hi, chunksize):
            b = min(a + chunksize, hi)
            with _LOCK:
                self.take(a, b, _compute(self.system, self.call, self.paths, self.points[a:b]))

    def pool(self, workers, chunks):
        """A local process pool; the chunks of a worker that died are redone in a fresh pool
        once, then SweepError."""
        for _attempt in (1, 2):
            broken = []
            ex = cf.ProcessPoolExecutor(
                workers,
                mp_context=_mp_context(),
                initializer=_install,
                initargs=(self.key, self.blob),
            )
            try:
                futures = {}
                for k, (a, b) in enumerate(chunks):
                    try:
                        futures[ex.submit(_chunk, *self.task(a, b))] = (a, b)
                    except cf.process.BrokenProcessPool:
                        # a worker died while the chunks were handed out: the rest wait too
                        broken.extend(chunks[k:])
                        break
                for f in cf.as_completed(futures):
                    a, b = futures[f]
                    try:
                        out = f.result()
                    except cf.process.BrokenProcessPool:
                        broken.append((a, b))
                        continue
                    self.take(a, b, out)
            finally:
                ex.shutdown(wait=True, cancel_futures=True)
            if not broken:
                return
            chunks = sorted(broken)
        lost = sum(b - a for a, b in chunks)
        raise SweepError(
            f"a worker process died twice in this sweep; {lost} of {len(self.points)} points not "
            f"computed (points {_ranges(chunks)}); when the workers die as they start, the main "
            "module starts the sweep when imported: guard it with if __name__ == '__main__':"
        )

    def executor(self, ex, chunks, inflight, label=""):
        """Any concurrent.futures executor (a Dask client's too), ``inflight`` tasks at a time:
        the first wave carries the system; a worker that has not got it (a new one, or one
        started again after a death) answers _NEED and gets it with the same chunk again."""
        todo: list[tuple[int, int]] = list(reversed(chunks))
        running = {}

        def broke(a, b, e):
            return SweepError(
                f"the executor broke while computing points {a}-{b - 1} "
                f"({type(e).__name__}: {e}); the sweep is incomplete"
            )

        def submit(a, b, blob):
            try:
                running[ex.submit(_chunk, *self.task(a, b, blob))] = (a, b)
            except cf.BrokenExecutor as e:  # broken before this chunk was handed out
                raise broke(a, b, e) from None

        try:
            while todo and len(running) < inflight:
                submit(*todo.pop(), self.blob)
            while running:
                done, _ = cf.wait(running, return_when=cf.FIRST_COMPLETED)
                for f in done:
                    a, b = running.pop(f)
                    try:
                        out = f.result()
                    except cf.BrokenExecutor as e:
                        raise broke(a, b, e) from None
                    except Exception as e:  # e.g. Dask's KilledWorker
                        raise SweepError(
                            f"the {label}task of points {a}-{b - 1} failed "
                            f"({type(e).__name__}: {e}); the sweep is incomplete"
                        ) from e
                    if isinstance(out, str):  # _NEED
                        submit(a, b, self.blob)
                        continue
                    self.take(a, b, out)
                    if todo:
                        submit(*todo.pop(), None)
        finally:
            for f in running:
                f.cancel()


def _chunks(lo, hi, chunksize, workers, largest=None):
    """(start, stop) of the tasks: about eight per worker, at most ``largest`` (MAX_CHUNK)
    points each."""
    if chunksize is None:
        chunksize = min(largest or MAX_CHUNK, max(1, math.ceil((hi - lo) / (8 * workers))))
    return [(a, min(a + chunksize, hi)) for a in range(lo, hi, chunksize)]


def _ranges(chunks):
    """ "0-3, 8-11" of sorted (start, stop) chunks, adjacent ones merged."""
    merged: list[list[int]] = []
    for a, b in chunks:
        if merged and merged[-1][1] == a:
            merged[-1][1] = b
        else:
            merged.append([a, b])
    return ", ".join(f"{a}-{b - 1}" for a, b in merged)


def _cores():
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def _point_text(kw):
    return ", ".join(f"{k}={v!r}" for k, v in kw.items())


def _is_dask(executor):
    return type(executor).__module__.split(".")[0] == "distributed" and hasattr(executor, "scatter")


def _pool_safe():
    """True when worker processes can be started from here: not from inside a worker, and the
    main module can be imported again (a script file, ``python -m``, or an interactive session
    without one; not a script read from standard input)."""
    if multiprocessing.parent_process() is not None:
        return False
    main = sys.modules.get("__main__")
    if getattr(getattr(main, "__spec__", None), "name", None):
        return True
    path = getattr(main, "__file__", None)
    return path is None or os.path.isfile(path)


def _mp_context():
    """forkserver where there is one (workers forked from a clean server process with velmora
    imported: quick to start, safe in a multi-threaded parent), else spawn."""
    if "forkserver" in multiprocessing.get_all_start_methods():
        ctx = multiprocessing.get_context("forkserver")
        ctx.set_forkserver_preload(
            [
                "velmora.sweep",
                "velmora.brinequil",
                "velmora.phasekit",
                "velmora.ionactivity",
                "velmora.enginebridge",
                "scipy.optimize",
            ]
        )
        return ctx
    return multiprocessing.get_context("spawn")


# ---------------------------------------------------------------------------- in the workers

# digest of a pickled system -> the System, per process
_CACHE: OrderedDict[str, Any] = OrderedDict()
# One chunk at a time per process: a cached model is not to be shared between threads (its warm
# start), and the record of warnings (catch_warnings) is process-wide. Threads give no speed-up.
_LOCK = threading.RLock()
_NEED = "velmora.sweep: this worker has not got the system yet"


def _install(key, blob):
    """Unpickle the system into this process's cache (a pool's initializer)."""
    with _LOCK:
        if key not in _CACHE:
            _CACHE[key] = pickle.loads(blob)
            while len(_CACHE) > CACHED_SYSTEMS:
                _CACHE.popitem(last=False)
        _CACHE.move_to_end(key)
        return _CACHE[key]


def _chunk(key, blob, call, paths, points):
    """The outcomes of one chunk in a worker, or _NEED when the system is missing here."""
    with _LOCK:
        if key not in _CACHE and blob is None:
            return _NEED
        system = _install(key, blob)
        return _compute(system, call, paths, points)


def _compute(system, call, paths, points):
    """[(value, error, warnings)] of the points; the caller holds _LOCK."""
    fn = (
        _flash_point(system)
        if call == "flash" and isinstance(system, System)
        else getattr(system, call)
    )
    split = None if paths is None else [p.split(".") for p in paths]
    out = []
    with warnings.catch_warnings(record=True) as log:
        # every warning of every point is recorded ("always": the once-per-place default would
        # make a point's warnings depend on what its worker computed before)
        warnings.simplefilter("always")
        for kw in points:
            seen = len(log)
            try:
                r = fn(**kw)
                value, error = (r if split is None else tuple(_get(r, p) for p in split)), None
            except Exception as e:  # the point fails, the sweep goes on
                value, error = None, f"{type(e).__name__}: {e}"
            said = (
                None
                if len(log) == seen
                else "; ".join(dict.fromkeys(str(w.message) for w in log[seen:]))
            )
            out.append((value, error, said))
    return out


def _flash_point(system):
    def flash(
        feed=None, P=None, amounts=None, molalities=None, mass_fractions=None, loading=None, **at
    ):
        if feed is None:
            feed = system.composition(
                amounts, molalities=molalities, mass_fractions=mass_fractions, loading=loading
            )
        elif (amounts, molalities, mass_fractions, loading) != (None, None, None, None):
            raise ValueError("a flash point gives its feed, or a composition, not both")
        return system.flash(feed, P, **at)

    return flash


# velmora.sweep.map_points, though velmora.sweep is the function (mypy types no function attribute)
sweep.map_points = map_points  # type: ignore[attr-defined]
