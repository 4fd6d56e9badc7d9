"""The species object of an electrolyte liquid: names, kinds, charges and the model parameters."""

import numpy as np

from . import _enrtl

_KIND = {"water": 0, "solvent": 1, "solute": 2, "ion": 3}
_DENSITY = {"KELL": 0, "DIPPR105": 1, "POLY": 2}
_DIELECTRIC = {"BRADLEY-PITZER": 0, "POLY": 1, "RECIP": 2}


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
        hset = set(model["henry"])
        kinds = [_KIND["solute"] if s in hset else _KIND[k] for s, k in zip(names, self.kind)]
        solvents = model["solvents"]
        self._core = _enrtl.Model(
            kinds,
            [int(c) for c in model["charge"]],
            [float(m) for m in model["mw"]],
            [float(model["born"].get(s, 0.0)) for s in names],
            self.solv,
            [(_DENSITY[model["density"][s][0]], model["density"][s][1]) for s in solvents],
            [(_DIELECTRIC[model["dielectric"][s][0]], model["dielectric"][s][1]) for s in solvents],
            [(pos[i], pos[j], p) for (i, j), p in model["mol_pairs"].items()],
            [(pos[m], pos[c], pos[a], p) for (m, c, a), p in model["triples"].items()],
            [(pos[i], pos[j], pos[k], p) for (i, j, k), p in model.get("mixing", {}).items()],
            # the like-ion terms, then the salt-pair ones (regress.jacobian indexes them so)
            [(pos[m], pos[c], p) for (m, c), p in model.get("dilute", {}).items()]
            + [(pos[m], pos[c], pos[a], p) for (m, c, a), p in model.get("dilute_pair", {}).items()],
        )
        self._model = model

    def molecule_tau(self, T):
        """(tau, alpha) of the molecule-molecule NRTL pairs at T [K]: n x n arrays indexed
        [j, m] (j around m), zero off the molecule pairs and on the diagonal."""
        return self._core.molecule_tau(T)

    def solvent_mix(self, x, T):
        """Ion-free solvent mixture of x at T: {"Ms" kg/kmol, "rho" kg/m3, "eps", "A_phi" (kg/mol)^1/2}."""
        return self._core.solvent_mix(x, T)

    def __repr__(self):
        return f"Species({self.names!r})"
