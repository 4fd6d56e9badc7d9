"""Sweeps: the same table serially, in threads, in a process pool and on a Dask cluster; failed
points recorded in place; a worker that dies mid-sweep; conditions and results by name."""

import concurrent.futures as cf
import importlib
import multiprocessing
import os

import numpy as np
import pandas as pd
import pytest

import velmora
from velmora import SweepError

sweep_module = importlib.import_module("velmora.sweep")  # velmora.sweep is the function
# Range warnings of direct calls are noise here; the sweeps record theirs in a column.
pytestmark = pytest.mark.filterwarnings("ignore::velmora.errors.RangeWarning")

ATM = 101325.0
FEED = {"H2O": 0.85, "MEA": 0.1, "CO2": 0.03, "N2": 0.02}
DEATH_T = 351.0  # the point at which DyingSystem's worker dies

# 36 flashes from 300 to 390 K at 1 and 2 atm, and four that fail: T in degrees C, P in bar, a
# negative amount and an empty feed
MIXED = pd.DataFrame(
    {
        "T": list(np.linspace(300.0, 390.0, 36)) + [40.0, 350.0, 350.0, 350.0],
        "P": [ATM, 2 * ATM] * 18 + [ATM, 1.0, ATM, ATM],
        **{c: [v] * 38 + [-0.1 if c == "CO2" else v, 0.0] for c, v in FEED.items()},
    }
)
MIXED_ERRORS = {
    36: "ValueError: T = 40 K lies outside 200-700 K: T is in kelvin: did you mean 313.15 K?",
    37: "ValueError: P = 1 Pa is below 100 Pa: P is in Pa: did you mean 100000 Pa (1 bar)?",
    38: "ValueError: amount of CO2 is negative (-0.1)",
    39: "ValueError: the composition is empty (every amount is 0)",
}


@pytest.fixture(scope="module")
def mea():
    return velmora.System("MEA-CO2-H2O", gases=["N2"], cache=False)


@pytest.fixture(scope="module")
def dask_client():
    from dask.distributed import Client, LocalCluster

    with (
        LocalCluster(
            n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        yield client


@pytest.fixture(scope="module")
def serial(mea):
    return velmora.sweep(mea, MIXED, executor="serial")


class DyingSystem(velmora.System):
    """A System whose worker process dies at T = DEATH_T: the first time only when ``marker``
    names a file (made when it dies), every time when it is None."""

    marker = None

    def __getstate__(self):
        return dict(super().__getstate__(), marker=self.marker)

    def __setstate__(self, state):
        self.marker = state.pop("marker")
        super().__setstate__(state)

    def flash(self, feed, P, **at):
        if at.get("T") == DEATH_T and not (self.marker and os.path.exists(self.marker)):
            if self.marker:
                open(self.marker, "w").close()
            os._exit(70)
        return super().flash(feed, P, **at)


class LoggedSystem(velmora.System):
    """A System that writes the id of each process that unpickles it to the file ``log``."""

    log = None

    def __getstate__(self):
        return dict(super().__getstate__(), log=self.log)

    def __setstate__(self, state):
        self.log = state.pop("log")
        super().__setstate__(state)
        with open(self.log, "a") as fh:
            fh.write(f"{os.getpid()}\n")


# ---- the table -----------------------------------------------------------------------------------


def test_mixed_flash_sweep_records_failures_in_place_and_balances(mea, serial):
    df = serial
    assert list(df.index) == list(MIXED.index) and len(df) == 40
    assert list(df.columns[:6]) == ["T", "P", "H2O", "MEA", "CO2", "N2"]
    assert df["error"].dropna().to_dict() == MIXED_ERRORS
    ok = df[df["error"].isna()]
    assert ok[["vapor_fraction", "H", "S"]].notna().all().all()
    assert df.loc[list(MIXED_ERRORS), "vapor_fraction"].isna().all()
    # each row is its own point: z = (1 - beta) x + beta y with the row's feed
    beta = ok["vapor_fraction"].to_numpy()
    for c in mea.components:
        z = ok[c] / ok[list(FEED)].sum(axis=1)
        np.testing.assert_allclose(
            (1 - beta) * ok[f"x.{c}"] + beta * ok[f"vapor.{c}"], z, rtol=0, atol=1e-12
        )
    row = df.iloc[7]
    r = mea.flash(FEED, row["P"], T=row["T"])
    assert (row["vapor_fraction"], row["H"], row["vapor.CO2"]) == (
        r.vapor_fraction,
        r.H,
        r.vapor["CO2"],
    )
    # MEA's protonation constant is fitted up to 323.15 K: hotter rows say so, cooler ones not
    hot = df["warnings"].fillna("").str.contains("equilibrium constant MEA-1")
    assert (hot == ((df["T"] > 323.15) & df["error"].isna())).all()


def test_threads_processes_and_dask_give_the_serial_table_to_the_last_digit(
    mea, serial, dask_client
):
    with cf.ThreadPoolExecutor(2) as threads:
        tables = {"threads": velmora.sweep(mea, MIXED, executor=threads)}
    tables["process pool"] = velmora.sweep(mea, MIXED, executor="processes", chunksize=3)
    # a pool of the caller's: its workers get the system with the first tasks
    with cf.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("forkserver")) as procs:
        tables["foreign pool"] = velmora.sweep(mea, MIXED, executor=procs)
    tables["dask"] = velmora.sweep(mea, MIXED, executor=dask_client)
    for name, table in tables.items():
        pd.testing.assert_frame_equal(table, serial, check_exact=True, obj=name)


def test_the_system_travels_once_per_worker_not_per_task(tmp_path, dask_client):
    logged = LoggedSystem("NaCl-H2O", cache=False)
    cond = {"T": np.linspace(280.0, 360.0, 40), "NaCl": 1.0}
    for executor in ("processes", dask_client):
        logged.log = str(tmp_path / f"{type(executor).__name__}.log")
        velmora.sweep(logged, cond, basis="molalities", executor=executor, chunksize=1)
        with open(logged.log) as fh:
            pids = fh.read().split()
        # the check here that it unpickles, and each of the two workers once
        assert len(pids) == len(set(pids)) <= 3 and str(os.getpid()) in pids


def test_large_sweep_goes_to_a_process_pool_by_itself(mea, serial, monkeypatch):
    monkeypatch.setattr(sweep_module, "SERIAL_SECONDS", 0.0)  # any rest counts as long
    monkeypatch.setattr(sweep_module, "PROBE", 4)
    pool_starts = []
    real = sweep_module._mp_context
    monkeypatch.setattr(sweep_module, "_mp_context", lambda: pool_starts.append(1) or real())
    pd.testing.assert_frame_equal(velmora.sweep(mea, MIXED), serial, check_exact=True)
    assert pool_starts == [1]


class BrokenAtSubmit(cf.Executor):
    def submit(self, *args, **kwargs):
        raise cf.process.BrokenProcessPool("gone")


def test_a_worker_killed_mid_sweep_is_redone_or_the_sweep_fails_loudly(mea, serial, tmp_path):
    dying = DyingSystem("MEA-CO2-H2O", gases=["N2"], cache=False)
    cond = MIXED.copy()
    cond.loc[5, "T"] = DEATH_T
    want = velmora.sweep(mea, cond, executor="serial")
    dying.marker = str(tmp_path / "died")
    got = velmora.sweep(dying, cond, executor="processes", chunksize=4)
    assert os.path.exists(dying.marker)  # it did die, once
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    dying.marker = None  # dies every time
    with pytest.raises(
        SweepError,
        match=r"a worker process died twice in this sweep; (\d+) of 40 "
        r"points not computed \(points [\d, -]+\)",
    ) as e:
        velmora.sweep(dying, cond, executor="processes", chunksize=4)
    assert int(e.value.args[0].split("; ")[1].split()[0]) >= 4  # at least the dying chunk
    # a pool of the caller's cannot be made again here: a clear error
    with cf.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("forkserver")) as procs:
        with pytest.raises(
            SweepError,
            match=r"the executor broke while computing points \d+-\d+ "
            r"\(BrokenProcessPool: .*\); the sweep is incomplete",
        ):
            velmora.sweep(dying, cond, executor=procs, chunksize=4)
    # broken before a chunk could even be handed out
    gone = BrokenAtSubmit()
    with pytest.raises(
        SweepError,
        match=r"the executor broke while computing points 0-3 "
        r"\(BrokenProcessPool: gone\); the sweep is incomplete",
    ):
        velmora.sweep(mea, cond, executor=gone, chunksize=4)


def test_errors_raise_stops_at_the_failed_point(mea):
    with pytest.raises(
        SweepError,
        match=r"^point 36 \(P=101325.0, T=40.0, amounts=.*\) failed: "
        r"ValueError: T = 40 K lies outside",
    ):
        velmora.sweep(mea, MIXED, executor="serial", errors="raise")


# ---- conditions and results by name ----------------------------------------------------------


def test_liquid_grid_in_mass_fractions(mea, capsys):
    T = [303.15, 318.15, 333.15]
    loading = [0.1, 0.3, 0.5]
    df = velmora.sweep(
        mea,
        {"T": T, "loading": loading, "mea": 0.3},
        grid=True,
        basis="mass_fractions",
        what=["partial_pressures.CO2", "pH", "amounts.MEACOO-"],
    )
    assert df[["T", "loading"]].values.tolist() == [[t, a] for t in T for a in loading]
    p = df["partial_pressures.CO2"].to_numpy().reshape(3, 3)
    assert (np.diff(p, axis=0) > 0).all() and (np.diff(p, axis=1) > 0).all()
    assert (np.diff(df["pH"].to_numpy().reshape(3, 3), axis=1) < 0).all()
    liq = mea.liquid(318.15, mass_fractions={"MEA": 0.3}, loading=0.3)
    assert df.loc[4, ["partial_pressures.CO2", "pH", "amounts.MEACOO-"]].tolist() == [
        liq.partial_pressures["CO2"],
        liq.pH,
        liq.amounts["MEACOO-"],
    ]
    # aligned columns of a DataFrame keep its index; the usual liquid columns by default
    frame = pd.DataFrame({"T": T, "H2O": 1.0, "MEA": 0.1, "CO2": 0.03}, index=["a", "b", "c"])
    out = velmora.sweep(mea, frame, progress=True)
    assert "liquid sweep" in capsys.readouterr().err  # the progress bar
    assert list(out.index) == ["a", "b", "c"]
    assert list(out.columns[4:]) == [
        "pH",
        "ionic_strength",
        "water_activity",
        "bubble_pressure",
        "partial_pressures.H2O",
        "partial_pressures.MEA",
        "partial_pressures.CO2",
        "partial_pressures.N2",
        "error",
        "warnings",
    ]
    np.testing.assert_allclose(
        out["bubble_pressure"], out.filter(like="partial_pressures.").sum(axis=1), rtol=1e-14
    )


def test_map_points_for_fits_and_feeds_by_composition(mea):
    from velmora.sweep import map_points

    pts = [{"T": 313.15, "mass_fractions": {"MEA": 0.3}, "loading": a} for a in (0.2, 0.4)]
    objs = map_points(mea, "liquid", pts)
    vals = velmora.sweep.map_points(mea, "liquid", pts, what=["pH"], executor="processes")
    assert [o.value.pH for o in objs] == [v.value[0] for v in vals]
    assert all(o.error is None for o in objs + vals)
    feed = mea.composition(mass_fractions={"MEA": 0.3}, loading=0.4)
    (by_comp,) = map_points(
        mea, "flash", [{"P": ATM, "T": 380.0, "mass_fractions": {"MEA": 0.3}, "loading": 0.4}]
    )
    assert by_comp.value.to_dict() == mea.flash(feed, ATM, T=380.0).to_dict()
    (both,) = map_points(mea, "flash", [{"feed": feed, "loading": 0.4, "P": ATM, "T": 380.0}])
    assert both.error == "ValueError: a flash point gives its feed, or a composition, not both"


def test_brine_sweep_with_precipitating_salt_keeps_the_sodium():
    brine = velmora.System("NaCl-H2O", cache=False)
    m = [2.0, 5.0, 7.0, 9.0]
    df = velmora.sweep(
        brine,
        {"T": 298.15, "NaCl": m},
        basis="molalities",
        solids=True,
        what=["solids.halite", "saturation_indices.halite", "apparent.NaCl", "feed.NaCl"],
        executor="processes",
    )
    formed = df["solids.halite"].to_numpy()
    si = df["saturation_indices.halite"].to_numpy()
    assert (formed[:2] == 0).all() and (si[:2] < 0).all()  # unsaturated
    assert (formed[2:] > 0).all() and np.allclose(si[2:], 0, atol=1e-6)  # halite at saturation
    # dissolved + precipitated = given (mol with 1 kg of water)
    assert df["feed.NaCl"].tolist() == m
    np.testing.assert_allclose(df["apparent.NaCl"] + formed, m, rtol=1e-12)
    with pytest.raises(
        ValueError, match="'solids.halite': the solids that form are computed with solids=True"
    ):
        velmora.sweep(brine, {"T": 298.15, "NaCl": m}, basis="molalities", what="solids.halite")


class Stranded:
    """An object that pickles but cannot be unpickled (as a model holding an immutable
    databank)."""

    def __reduce__(self):
        return (refuse, ())

    def value(self):
        return 1.0


def refuse():
    raise AttributeError("read-only")


def test_map_points_over_any_object_that_travels():
    import datetime
    from velmora.sweep import map_points

    day = datetime.date(2026, 12, 6)
    out = map_points(
        day,
        "replace",
        [{"day": d} for d in (1, 31, 32)],
        what=["day", "month"],
        executor="processes",
    )
    assert [o.value for o in out] == [(1, 12), (31, 12), None]
    assert out[2].error == "ValueError: day is out of range for month"
    with pytest.raises(
        SweepError,
        match=r"^the Stranded cannot be sent to worker processes: "
        r"pickling it fails \(AttributeError: read-only\)",
    ):
        map_points(Stranded(), "value", [{}], executor="processes")


@pytest.mark.parametrize(
    "args, kw, message",
    [
        (
            {"T": [300.0, 310.0], "H2O": [1.0, 1.0, 1.0]},
            {},
            r"columns of different lengths \(T: 2, H2O: 3\).*grid=True",
        ),
        ({"T": 300.0, "H2O": 1.0, "NaCl": 0.1}, {}, "unknown column 'NaCl'; give T, P, H, S"),
        (
            {"T": 300.0, "H": 1.0, "P": ATM, "H2O": 1.0},
            {},
            r"exactly one of the columns T, H, S, vapor_fraction \(given: T, H\)",
        ),
        ({"T": 300.0, "vapor_fraction": 0.1, "H2O": 1.0}, {}, "a flash needs a P column"),
        ({"loading": 0.1, "MEA": 0.3}, {}, "a liquid needs a T column"),
        ({"T": 300.0}, {}, "no composition"),
        ({"T": 300.0, "H2O": 1.0}, {"what": "flash"}, "every point a liquid"),
        (
            {"T": 300.0, "H2O": 1.0},
            {"what": "partial_pressures.MEAH+"},
            "partial_pressures is per volatile; give one of H2O, MEA, CO2, N2",
        ),
        ({"T": 300.0, "H2O": 1.0}, {"what": ["pH", "pHH"]}, "unknown result 'pHH' of a liquid"),
        ({"T": 300.0, "P": ATM, "H2O": 1.0}, {"what": "liquid"}, "every point a flash"),
        ({"T": 300.0, "P": ATM, "H2O": 1.0}, {"what": ["liquid"]}, "a group of results"),
        ({"T": 300.0, "P": ATM, "H2O": 1.0}, {"what": ["T"]}, "'T' is an input column"),
        ({"T": 300.0, "H2O": 1.0}, {"basis": "moles"}, "basis must be one of amounts"),
        ({"T": 300.0, "H2O": 1.0}, {"errors": "ignore"}, "errors must be 'record' or 'raise'"),
    ],
)
def test_bad_conditions_and_results_are_refused_before_any_computation(mea, args, kw, message):
    with pytest.raises(ValueError, match=message):
        velmora.sweep(mea, args, executor="serial", **kw)


def test_a_fit_objective_evaluated_through_an_executor_gives_the_same_digits(dask_client):
    """velmora.regress evaluates its points through the sweep's machinery when given an
    executor; each point starts cold, so the values match the serial ones to the last digit."""
    from velmora import regress
    from velmora.regress import data

    sets = data.mea_sets(loading=(0.1, 0.5), tmax=333.2)[:2]
    serial = regress.evaluate(sets)
    with cf.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("forkserver")) as procs:
        pooled = regress.evaluate(sets, executor=procs)
    dasked = regress.evaluate(sets, executor=dask_client)
    values = [[[r[3] for r in rows] for _, rows in ev] for ev in (serial, pooled, dasked)]
    assert sum(len(v) for v in values[0]) > 10 and values[0] == values[1] == values[2]


def test_a_dask_worker_killed_mid_sweep_is_redone_by_the_scheduler_or_named(
    mea, dask_client, tmp_path
):
    """Last in this file: the cluster's workers are still restarting after it."""
    dying = DyingSystem("MEA-CO2-H2O", gases=["N2"], cache=False)
    cond = MIXED.copy()
    cond.loc[5, "T"] = DEATH_T
    dying.marker = str(tmp_path / "died")
    got = velmora.sweep(dying, cond, executor=dask_client, chunksize=4)
    assert os.path.exists(dying.marker)
    pd.testing.assert_frame_equal(
        got, velmora.sweep(mea, cond, executor="serial"), check_exact=True
    )
    dying.marker = None
    # the scheduler gives up on the task that keeps killing its worker, or first on another
    # that happened to sit on the same worker each time: either is named
    with pytest.raises(
        SweepError, match=r"the Dask task of points \d+-\d+ failed \(KilledWorker: "
    ):
        velmora.sweep(dying, cond, executor=dask_client, chunksize=4)
