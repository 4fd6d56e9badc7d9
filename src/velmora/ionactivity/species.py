"""The species object of an electrolyte liquid: names, kinds, charges and the model parameters."""

import numpy as np


class Species:
    """True species of a liquid, in the order of `names`, with their eNRTL parameters.

    Index attributes (`henry`, `water`, `solv`, `mol`) refer to positions in `names`.
    Built by `species_from_report`; the compiled model `_core` is made once here.
    """

    def __init__(self, model):
        names = list(model["names"])
        pos = {s: i for i, s in enumerate(names)}
        n = len(names)
        self.names = names
        self.n = n
        self.kind = list(model["kind"])
        self.henry = [pos[h] for h in model["henry"]]
        self.water = pos[model["water"]]
        self.solv = [pos[s] for s in model["solvents"]]
        self.mol = [i for i, k in enumerate(self.kind) if k != "ion"]
        self.z = np.array(model["charge"], dtype=float)
        self.ion = np.array([k == "ion" for k in self.kind], dtype=bool)
        self.mw = np.array(model["mw"], dtype=float)
        # Molecule-molecule NRTL: tau[j, m] = A + B/T + F ln T + G T, alpha = C + D (T - 273.15).
        self._tau_coef = np.zeros((4, n, n))
        self._alpha_coef = np.zeros((2, n, n))
        for (i, j), p in model["mol_pairs"].items():
            a, b = pos[i], pos[j]
            for k in range(4):
                self._tau_coef[k, a, b] = p[2 * k]
                self._tau_coef[k, b, a] = p[2 * k + 1]
            self._alpha_coef[:, a, b] = self._alpha_coef[:, b, a] = p[8], p[9]
        self._pair_mask = np.zeros((n, n), dtype=bool)
        for (i, j) in model["mol_pairs"]:
            self._pair_mask[pos[i], pos[j]] = self._pair_mask[pos[j], pos[i]] = True
        self._model = model

    def molecule_tau(self, T):
        """(tau, alpha) of the molecule-molecule NRTL pairs at T [K], n x n, zero elsewhere."""
        T = float(T)
        A, B, F, G = self._tau_coef
        tau = A + B / T + F * np.log(T) + G * T
        alpha = np.where(self._pair_mask, self._alpha_coef[0] + self._alpha_coef[1] * (T - 273.15), 0.0)
        return tau, alpha

    def __repr__(self):
        return f"Species({self.names!r})"
