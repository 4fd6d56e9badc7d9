"""10,000 TP flashes of loaded MEA with N2 (313-393 K x 1-3 atm) through velmora.sweep: serially,
in a local process pool and on a Dask LocalCluster (2 worker processes, 1 thread each), the three
tables compared digit for digit; and the machinery's own cost per point, measured with the
cheapest System call (``composition``) against a bare loop."""

import os
import time
import warnings

import numpy as np

import velmora
from velmora.sweep import map_points

FEED = {"H2O": 0.85, "MEA": 0.1, "CO2": 0.03, "N2": 0.02}
N_T, N_P = 100, 100


def timed(f):
    t0 = time.perf_counter()
    out = f()
    return out, time.perf_counter() - t0


def forkserver_children_cpu():
    """CPU seconds of the pool workers the forkserver has reaped (cutime + cstime of its
    /proc/<pid>/stat): the pool's own work, whatever else runs on the machine."""
    from multiprocessing import forkserver

    pid = forkserver._forkserver._forkserver_pid
    with open(f"/proc/{pid}/stat") as fh:
        fields = fh.read().rsplit(")", 1)[1].split()
    return (int(fields[13]) + int(fields[14])) / os.sysconf("SC_CLK_TCK")


def main():
    warnings.simplefilter("ignore", velmora.RangeWarning)
    s = velmora.System("MEA-CO2-H2O", gases=["N2"], cache=False)
    cond = dict(T=np.linspace(313.15, 393.15, N_T), P=np.linspace(101325.0, 303975.0, N_P), **FEED)
    n = N_T * N_P
    # other work on the machine slows the pool and the cluster more than the serial run
    print(
        f"{n} TP flashes on {os.cpu_count()} cores (load average {os.getloadavg()[0]:.2f} "
        "before the runs)"
    )

    cpu0 = time.process_time()
    serial, t_serial = timed(lambda: velmora.sweep(s, cond, grid=True, executor="serial"))
    cpu_serial = time.process_time() - cpu0
    print(
        f"serial:        {t_serial:7.2f} s  {t_serial / n * 1e3:6.3f} ms/flash, "
        f"{serial['error'].notna().sum()} failed points"
    )

    _, t_start = timed(lambda: velmora.sweep(s, {"T": 300.0, "H2O": 1.0}, executor="processes"))
    cpu0 = forkserver_children_cpu()
    pool, t_pool = timed(lambda: velmora.sweep(s, cond, grid=True, executor="processes"))
    cpu_pool = forkserver_children_cpu() - cpu0
    print(
        f"process pool:  {t_pool:7.2f} s  speed-up {t_serial / t_pool:4.2f}x "
        f"(first pool of the process: {t_start:.2f} s more, starting its forkserver)"
    )

    from dask.distributed import Client, LocalCluster

    (cluster, t_up) = timed(
        lambda: LocalCluster(
            n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
        )
    )
    with cluster, Client(cluster) as client:
        # fresh workers import velmora and build the system at their first task, as the
        # forkserver does before the pool's first sweep: timed apart
        warm = dict(cond, T=np.linspace(313.15, 393.15, 8), P=101325.0)
        _, t_warm = timed(lambda: velmora.sweep(s, warm, executor=client, chunksize=1))
        cpu0 = sum(client.run(time.process_time).values())
        dask, t_dask = timed(lambda: velmora.sweep(s, cond, grid=True, executor=client))
        cpu_dask = sum(client.run(time.process_time).values()) - cpu0
    print(
        f"Dask cluster:  {t_dask:7.2f} s  speed-up {t_serial / t_dask:4.2f}x "
        f"(starting the cluster: {t_up:.2f} s, its workers' first sweep: {t_warm:.2f} s more)"
    )
    same = serial.equals(pool) and serial.equals(dask)
    print(f"serial, pool and Dask tables identical: {same}")
    # CPU seconds do not depend on what else runs: the workers' CPU over the serial run's is
    # the machinery's cost; half the workers' CPU is the wall time on two idle cores
    print(
        f"CPU per flash: serial {cpu_serial / n * 1e3:.3f} ms; pool workers "
        f"{cpu_pool / n * 1e3:.3f} ms ({(cpu_pool - cpu_serial) / n * 1e6:+.1f} us); Dask "
        f"workers {cpu_dask / n * 1e3:.3f} ms ({(cpu_dask - cpu_serial) / n * 1e6:+.1f} us); "
        f"at most on two idle cores: pool {cpu_serial / (cpu_pool / 2):.2f}x, Dask "
        f"{cpu_serial / (cpu_dask / 2):.2f}x"
    )

    pts = [{"mass_fractions": {"MEA": 0.3}, "loading": a} for a in np.linspace(0.1, 0.5, n)]
    bare = min(timed(lambda: [s.composition(**p) for p in pts])[1] for _ in range(3))
    mapped = min(
        timed(lambda: map_points(s, "composition", pts, executor="serial"))[1] for _ in range(3)
    )
    pooled = min(
        timed(lambda: map_points(s, "composition", pts, executor="processes"))[1] for _ in range(3)
    )
    print(
        f"per point: composition {bare / n * 1e6:.1f} us bare; machinery "
        f"{(mapped - bare) / n * 1e6:+.1f} us serial; a process pool {pooled / n * 1e6:.1f} us "
        "all told (start, points out, results back)"
    )
    if not same:
        raise SystemExit("the tables differ")


if __name__ == "__main__":  # the pool's workers import this module again
    main()
