"""Shipped fits with exact Jacobians against differences: parameters, standard errors,
residual evaluations and time.

    .venv/bin/python benchmarks/bench_regress_jacobian.py [chemistry ...]   (default: every fit)

Per fit: the largest |theta_exact - theta_differences| / standard error over its parameters,
the iterations of each, the residual evaluations (those of the difference Jacobians counted;
an exact Jacobian is one call, listed apart) and wall times.
"""

import sys
import time
import warnings

import numpy as np

from velmora.enginebridge import databank
from velmora.regress import shipped


def compare(name):
    out = {}
    for jac in ("2-point", "exact"):
        t0 = time.perf_counter()
        res, _ = shipped.run(name, jac=jac)
        out[jac] = (res, time.perf_counter() - t0)
    (d, td), (e, te) = out["2-point"], out["exact"]
    z = np.abs(e.theta - d.theta) / np.maximum(d.stderr, 1e-300)
    return d, e, td, te, z


def main(names):
    warnings.simplefilter("ignore")
    print(
        f"{'fit':16s} {'n_p':>3s} {'max dθ/σ':>9s} {'iter d/e':>9s} {'evals diff':>10s} "
        f"{'evals+jac exact':>15s} {'time diff':>9s} {'time exact':>10s} {'cost diff':>11s} "
        f"{'cost exact':>11s}"
    )
    for name in names or list(shipped.FITS):
        d, e, td, te, z = compare(name)
        print(
            f"{name:16s} {len(e.params):3d} {z.max():9.3g} {d.nfev:4d}/{e.nfev:<4d} "
            f"{d.evaluations:10d} {e.evaluations:9d}+{e.jacobians:<5d} {td:8.2f}s {te:9.2f}s "
            f"{d.cost:11.6g} {e.cost:11.6g}"
        )
        shipped_theta = next(
            (
                f["theta"]
                for f in databank.active().fits().values()
                if f.get("chemistries") == [name]
            ),
            [np.nan] * len(e.params),
        )
        for p, t, a, b, s in zip(e.params, shipped_theta, d.theta, e.theta, d.stderr):
            print(
                f"    {p.label:36s} shipped {t:12.6g} differences {a:12.6g} exact {b:12.6g}"
                f"  ±{s:.3g}"
            )


if __name__ == "__main__":
    main(sys.argv[1:])
