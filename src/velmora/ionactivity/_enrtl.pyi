"""Electrolyte NRTL core: ln gamma as the exact gradient of n G^ex/RT.

Built once per species object by ``velmora.ionactivity.Species`` (its ``_core``); every vector
is over the true species in the order of ``Species.names``. T in K.
"""

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

_C_API: Any
"""A capsule with the C interface of the activity core, through which velmora.brinequil calls
the model natively (no Python object per call)."""

class Model:
    def __init__(
        self,
        kind: Sequence[int],
        z: Sequence[int],
        mw: Sequence[float],
        born: Sequence[float],
        solvents: Sequence[int],
        density: list[tuple[int, Sequence[float]]],
        dielectric: list[tuple[int, Sequence[float]]],
        mol_pairs: list[tuple[int, int, Sequence[float]]],
        pairs: list[tuple[int, int, int, Sequence[float]]],
        ion_triples: list[tuple[int, int, int, Sequence[float]]] = [],
        dilute_terms: list[tuple[int, int, Sequence[float]] | tuple[int, int, int, Sequence[float]]] = [],
    ) -> None:
        """The model of n species: kind per species (0 water, 1 solvent, 2 solute, 3 ion),
        charges z, molar masses mw [kg/kmol], Born radii [m] (ions), the solvent indices with
        their density (0 KELL, 1 DIPPR105, 2 POLY) and permittivity (0 BRADLEY-PITZER, 1 POLY,
        2 RECIP) correlations (code, coefficients), molecule pairs (i, j, 10 numbers) and
        molecule-electrolyte pairs (molecule, cation, anion, 9 or 13 numbers: 13 with the
        molecule-ion-pair term), ion triples (common ion, two ions of the other sign, U_A and
        U_B of the ion-ion-ion term), dilute terms (a solvent, an ion, D_A and D_B of the
        dilute-weighted like-ion term; or a solvent, a cation, an anion, D_A and D_B of the
        salt-pair term). Raises ValueError for a pair, triple or term of the wrong length."""

    @property
    def n(self) -> int:
        """The number of species."""

    def ln_gamma(
        self, x: ArrayLike, T: float, options: Mapping[str, Any] | None = None
    ) -> NDArray[np.float64]:
        """ln gamma of every species at the true mole fractions x (any positive scale) and T [K]:
        molecules on the pure liquid, ions at infinite dilution in water. options: "lc_ref"
        ("water-ratio" or "fused-salt") and "fixed_Y" (bool); other keys ignored. Raises
        ValueError for an x that is not n numbers or an unknown option value."""

    def ln_gamma_derivatives(
        self,
        x: ArrayLike,
        T: float,
        options: Mapping[str, Any] | None = None,
        directions: Sequence[int] | None = None,
    ) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
        """(ln gamma, J, dT) at the amounts x and T [K]: J[i, j] = d ln gamma_i / d x_j with the
        other amounts held, dT[i] = d ln gamma_i / dT [1/K]; exact (nested dual numbers, no
        differences). directions: the columns wanted (species indices; n for dT), the others
        0; all by default. Raises ValueError for a direction outside 0..n."""

    def ln_gamma_parameter_derivatives(
        self,
        x: ArrayLike,
        T: float,
        options: Mapping[str, Any] | None,
        params: Sequence[tuple[str, int, int]],
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """(ln gamma, dP) at the amounts x and T [K]: dP[i, k] = d ln gamma_i / d params[k],
        exact (the coefficient carried as a tangent through tau, G and W). params[k]:
        ("electrolyte", pair, c), pair an index into the constructor's ``pairs`` and c one of its
        13 numbers but alpha (8); or ("molecule", pair, c), an index into ``mol_pairs`` and c one
        of its 10 numbers; or ("mixing", triple, c), an index into ``ion_triples`` and c 0 or 1
        (U_A, U_B); or ("dilute", term, c), an index into ``dilute_terms`` and c 0 or 1 (D_A,
        D_B). Raises ValueError for a parameter outside the model's pairs."""

    def gex(self, x: ArrayLike, T: float, options: Mapping[str, Any] | None = None) -> float:
        """G^ex/(N R T) (dimensionless) at x and T [K], the function whose gradient is
        ln_gamma."""

    def molecule_tau(self, T: float) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """(tau, alpha) at the temperature T [K]: n x n arrays of the molecule-molecule NRTL
        parameters indexed [j, m] (j around m), zero elsewhere."""

    def solvent_mix(self, arg0: ArrayLike, arg1: float, /) -> dict[str, float]:
        """The ion-free solvent mixture of the mole fractions arg0 at the temperature arg1 [K]:
        {"Ms" kg/kmol, "rho" kg/m3, "eps" (relative permittivity), "A_phi" (kg/mol)^1/2}."""
