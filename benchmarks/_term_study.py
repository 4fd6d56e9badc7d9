"""Helpers of the studies of activity-model terms emulated in Python beside the engine's ln gamma
(benchmarks/study_*_dilute_*.py): the term's gradient by complex step, and regress's model
values with it added."""

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


def value_with_term(value, grad, on=lambda: True):
    """A ``regress.core.Model.value`` that adds grad(n, names, z, T), the term's d F / d n, to
    ln gamma of the speciated liquid for gamma+- and the osmotic coefficient (``value``, the
    original, for every other kind and while ``on()`` is false)."""

    def with_term(self, kind, species, T, comp):
        if kind not in ("gamma_mean", "osmotic") or not on():
            return value(self, kind, species, T, comp)
        self.el._warm = None
        comp = {c: comp.get(c, 0.0) for c in self.components}
        n, lng = self.el.true_amounts(comp, T)
        n = np.asarray(n, float)
        z = np.asarray(self.el.sp.z, float)
        return self._liquid_value(
            kind, species, n, np.asarray(lng, float) + grad(n, self.names, z, T)
        )

    return with_term
