"""The gradient of a real function of amounts by complex step, for the studies of model terms
emulated in Python (benchmarks/study_*_dilute_*.py)."""

import numpy as np


def gradient(f, n, *args):
    """dF/dn_i of F = f(n, *args) at the amounts n, each by a complex step of 1e-30 n.sum():
    exact to rounding for an analytic f (no difference is taken)."""
    h = 1e-30 * n.sum()
    out = np.zeros(len(n))
    for i in range(len(n)):
        nc = n.astype(complex)
        nc[i] += 1j * h
        out[i] = f(nc, *args).imag / h
    return out
