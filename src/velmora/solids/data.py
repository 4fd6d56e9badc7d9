"""The solids a System can form: their databank data, ln Ksp(T), saturation indices, and
ln Ksp fitted to measured solubilities.

Saturation index of a solid on a liquid: SI = log10(IAP / Ksp) in the molality convention,
IAP = prod_i (m_i gamma_m,i)^nu_i * a_w^nu_w over the dissolved ions (molal activities) and the
water of a hydrate. The databank keeps ln Ksp on the mole-fraction basis of the core's
equilibrium constants; with m_i gamma_m,i = x_i gamma_i * 1000/M_w for an ion the two bases give
the same SI, and the molal constant is ln Km = ln Kx - sum(nu_ions) ln(M_w/1000).
"""

import math
import warnings
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from ..errors import RangeWarning

LN10 = math.log(10.0)
_EVERYWHERE = frozenset({"H", "O"})  # the elements of water
# the apparent amount below which a component counts as absent (mol, or mol per mol or per kg of
# the liquid: below one ion in any amount of liquid there could be): the two-phase split keeps
# every amount above 1e-300 for its logarithms, so a salt absent from the feed reaches its
# liquid at a few 1e-300 (BaCl2 at 3.8e-300 in a barium-free seawater boiled at 1 atm), where
# the speciation leaves its ions at its floor (1e-14 of the liquid) and barite's index came out
# -6.95
ABSENT = 1e-250
# a solid whose scarcest element in the liquid makes less than this share of the solid that each
# of its other elements would make, and is held by no other present solid, moves alone
# (``Solids.alone``): its index by what is left of that element, the others' not
ALONE = 1e-4


def _traced(db: Any, formula: str) -> frozenset[str]:
    """The elements of a formula other than those of water."""
    return frozenset(db.elements(formula)) - _EVERYWHERE


class Solids:
    """The solids a System can form: those of the databank whose dissolution products are all
    species of its chemistry (ions, and water for a hydrate). Built once per System.

    ``names`` (databank ids, e.g. "halite", "gypsum"), ``records`` (the databank records),
    ``nu`` (solids x species: dissolution coefficients), ``content`` (solids x components:
    apparent amounts of the components in one mol of each solid).
    """

    def __init__(self, system: Any, db: Any) -> None:
        from scipy.optimize import nnls

        info = system._info
        names, rows, recs, content = [], [], [], []
        B = info.B
        # reaction invariants carried by one mol of each component
        comp_b = np.column_stack([B @ info.n0({c: 1.0}) for c in system.components])
        self.comp_b = comp_b
        for sid, rec in db.table("solids").items():
            prod = rec["dissolution"]
            if not all(
                s in info.pos and (info.ion[info.pos[s]] or info.pos[s] == info.iw) for s in prod
            ):
                continue
            nu = np.zeros(len(info.names))
            for s, v in prod.items():
                nu[info.pos[s]] = float(v)
            target = B @ nu
            tol = 1e-9 * max(1.0, np.max(np.abs(target)))
            # the components that carry the solid: a non-negative combination where there is
            # one (K2CO3.1.5H2O as K2CO3 and water, not through KHCO3 and CO2), else any (gypsum
            # from CaCl2 and Na2SO4 less NaCl)
            c = nnls(comp_b, target)[0]
            if np.max(np.abs(comp_b @ c - target)) > tol:
                c = np.linalg.lstsq(comp_b, target, rcond=None)[0]
            if np.max(np.abs(comp_b @ c - target)) > tol:
                continue  # not made of the components (e.g. no carrier)
            c[np.abs(c) < 1e-13] = 0.0
            names.append(sid)
            rows.append(nu)
            recs.append(rec)
            content.append(c)
        self.names = names
        self.records = recs
        n = len(names)
        self.nu = np.array(rows).reshape(n, len(info.names))
        self.content = np.array(content).reshape(n, len(system.components))
        self._abcd = np.array([[r[k] for k in "ABCD"] for r in recs]).reshape(n, 4)
        self._lk: tuple[float | None, Any] = (None, None)
        self._nu_ions = np.array(
            [sum(float(v) for s, v in r["dissolution"].items() if s != "H2O") for r in recs],
            dtype=float,
        )
        self._ln_mw = math.log(info.mw["H2O"] / 1000.0)
        self.ranges = [(float(r["tmin"]), float(r["tmax"])) for r in recs]
        # the feed on the species is linear in the apparent amounts: a column per component
        self.n0_of = np.column_stack([info.n0({c: 1.0}) for c in system.components])
        self.n0_tot = (self.n0_of @ self.content.T).sum(axis=0)  # per mol of each solid
        self.b_nu = B @ self.nu.T  # invariants, a column each
        self._ions = np.delete(self.nu, info.iw, axis=1)
        self._independent: dict[tuple[int, ...], bool] = {}
        # [(k, its dissolved species)] of the hydrates a liquid must hold more water than
        # (solids.liquid.water_short): water in the dissolution, nothing taken from the
        # liquid, no lower hydrate of the same ions
        self.hydrates: list[tuple[int, np.ndarray]] = []
        if info.iw >= 0:
            for k in np.flatnonzero(self.nu[:, info.iw] > 0.0).tolist():
                on = np.flatnonzero(self.nu[k] > 0.0)
                on = on[on != info.iw]
                if on.size and not np.any(self.nu[k] < 0.0) and not self._lower_hydrate(k, info.iw):
                    self.hydrates.append((k, on))
        # the same as plain floats, [(k, [(species, its nu)], nu of water)]: water_short runs at
        # every point of a path, where NumPy's fancy indexing of a few ions costs more than it
        self.hydrate_terms = [
            (k, [(int(i), float(self.nu[k, i])) for i in on.tolist()], float(self.nu[k, info.iw]))
            for k, on in self.hydrates
        ]
        # The elements other than H and O that each solid's ions hold and each component
        # carries. A liquid without one of a solid's elements holds its ion only as the
        # speciation's numerical floor (about 1e-15 of the liquid): the solid's IAP is zero
        # there, and the SI -inf, not the finite value of the floor (barite at -5.9 in a
        # barium-free seawater).
        own = [
            frozenset().union(*(_traced(db, db.species(s)["formula"]) for s in r["dissolution"]))
            for r in recs
        ]
        carried = [_traced(db, db.species(c)["formula"]) for c in system.components]
        elems = sorted(frozenset().union(*own, *carried))
        self._needs = np.array([[e in o for e in elems] for o in own], dtype=bool).reshape(
            n, len(elems)
        )
        self._carries = np.array([[e in c for e in elems] for c in carried], dtype=bool).reshape(
            len(carried), len(elems)
        )
        self._lacking: dict[tuple[bool, ...], np.ndarray] = {}
        # mol of those elements per mol of each species of the liquid and of each solid (its
        # dissolved ions): what a liquid has left of a solid's scarcest element (``left``)
        self._species_elems = np.array(
            [[db.elements(db.species(s)["formula"]).get(e, 0) for s in info.names] for e in elems],
            dtype=float,
        ).reshape(len(elems), len(info.names))
        self._solid_elems = np.maximum(self.nu, 0.0) @ self._species_elems.T

    def _lower_hydrate(self, k: int, w: int) -> bool:
        """Whether a solid other than k holds the same ions in the same ratio with less water
        per ion (kieserite beside epsomite, thenardite beside mirabilite)."""
        ions = self._ions[k]
        scale = float(ions @ ions)
        for j in range(len(self.names)):
            if j == k:
                continue
            r = float(self._ions[j] @ ions) / scale  # formulas of k per formula of j
            if (
                r > 0.0
                and np.allclose(self._ions[j], r * ions)
                and self.nu[j, w] < r * self.nu[k, w]
            ):
                return True
        return False

    def independent(self, which: tuple[int, ...]) -> bool:
        """Whether the dissolved ions of the solids ``which`` (a tuple) are linearly
        independent (two solids that differ only by their water are not)."""
        known = self._independent.get(which)
        if known is None:
            known = self._independent[which] = bool(
                np.linalg.matrix_rank(self._ions[list(which)]) == len(which)
            )
        return known

    def left(self, k: int, n: ArrayLike) -> float:
        """Mol of the solid ``k`` that the elements (other than H and O) of a liquid of true
        amounts ``n`` make: the least over the solid's elements, free ions and complexes
        together (celestite in a bittern near dryness: the Sr of 6.6e-12 mol of it, where the
        liquid still holds 2.5e-6 mol of S; anhydrite: the Ca of 8.6e-7 mol, though Ca++ alone
        makes 2e-11, the rest being CaSO4(aq)). inf for a solid without such elements."""
        own = self._solid_elems[k]
        held = self._species_elems @ np.asarray(n, dtype=float)
        return min((float(held[e] / own[e]) for e in np.flatnonzero(own > 0.0)), default=math.inf)

    def d_ln_held(self, active: Sequence[int], n: ArrayLike) -> np.ndarray:
        """d ln (mol of each element, other than H and O, that a liquid of true amounts ``n``
        holds) / d (amount of each solid of ``active``), elements x solids: what the solids take
        of a liquid whose elements stay in it (no vapor takes them), exactly linear in their
        amounts."""
        held = self._species_elems @ np.asarray(n, dtype=float)
        return -(self._solid_elems[list(active)] / held).T

    def alone(self, active: Sequence[int], n: ArrayLike) -> np.ndarray:
        """For each solid of ``active``: what the liquid of true amounts ``n`` has left of it
        (``left``, mol of the solid) where its amount moves that alone, else 0. So it is where
        the solid's scarcest element is held by no other solid of ``active`` and makes less than
        ALONE of what each of its other elements would: a change of the solid that moves its own
        index by 1 in ln moves the others' by less than ALONE. Celestite in a seawater bittern
        near dryness: the Sr of 5.3e-12 mol of it, the S of 2e-6."""
        held = self._species_elems @ np.asarray(n, dtype=float)
        E = self._solid_elems[list(active)]
        out = np.zeros(len(active))
        for j in range(len(active)):
            on = np.flatnonzero(E[j] > 0.0)
            if on.size < 2:
                continue
            per = held[on] / E[j, on]
            i = int(np.argmin(per))
            e = on[i]
            if np.count_nonzero(E[:, e] > 0.0) > 1 or not per[i] < ALONE * np.delete(per, i).min():
                continue
            out[j] = per[i]
        return out

    def __len__(self) -> int:
        return len(self.names)

    def index(self, name: str) -> int:
        for k, s in enumerate(self.names):
            if s.upper() == str(name).strip().upper():
                return k
        raise ValueError(
            f"unknown solid {name!r}; solids of this system: {', '.join(self.names) or 'none'}"
        )

    def ln_k(self, T: float) -> np.ndarray:
        """ln Ksp of every solid at T [K], mole-fraction basis (the last T's kept: a solve asks
        at one T many times)."""
        last = self._lk  # one tuple, so that threads read a matching pair
        if last[0] != T:
            A, B, C, D = self._abcd.T
            last = self._lk = (T, A + B / T + C * math.log(T) + D * T)
        return last[1]

    def log10_ksp(self, T: float) -> dict[str, float]:
        """{solid: log10 Ksp} at T [K] in the molality convention (mol/kg, water activity)."""
        lk = self.ln_k(T) - self._nu_ions * self._ln_mw
        return dict(zip(self.names, (lk / LN10).tolist()))

    def si(self, T: float, n: ArrayLike, lng: ArrayLike) -> np.ndarray:
        """Saturation indices (array) of a liquid of true amounts n and ln gamma lng at T."""
        n = np.asarray(n, dtype=float)
        return (self.nu @ (np.log(n / n.sum()) + lng) - self.ln_k(T)) / LN10

    def lacking(self, amounts: Sequence[float]) -> np.ndarray:
        """Which solids (bool array) need an element (other than H and O) that no component of
        the liquid of apparent ``amounts`` (over the components, in their order) carries: none
        above ABSENT."""
        has = tuple(abs(v) > ABSENT for v in amounts)
        known = self._lacking.get(has)
        if known is None:  # few patterns of absent components per System
            present = self._carries[np.array(has, dtype=bool)].any(axis=0)
            known = self._lacking[has] = (self._needs & ~present).any(axis=1)
        return known

    def reported(
        self, T: float, n: ArrayLike, lng: ArrayLike, amounts: Sequence[float]
    ) -> np.ndarray:
        """``si`` with -inf for the solids the liquid of apparent ``amounts`` cannot form."""
        out = self.si(T, n, lng)
        out[self.lacking(amounts)] = -math.inf
        return out

    def saturation_indices(
        self, T: float, n: ArrayLike, lng: ArrayLike, amounts: Sequence[float] | None = None
    ) -> dict[str, float]:
        """{solid: SI} of a liquid (true amounts n, ln gamma lng) at T; with its apparent
        ``amounts`` (over the components), -inf for a solid of an element it lacks."""
        if not self.names:
            return {}
        lng = np.asarray(lng, dtype=float)
        si = self.si(T, n, lng) if amounts is None else self.reported(T, n, lng, amounts)
        return dict(zip(self.names, si.tolist()))

    def range_warnings(self, T: float, which: Iterable[int] | None = None) -> None:
        for k in range(len(self.names)) if which is None else which:
            lo, hi = self.ranges[k]
            if not lo <= T <= hi:
                warnings.warn(
                    f"T outside the validity range of the solubility product of "
                    f"{self.names[k]} ({lo:g}-{hi:g} K): extrapolated",
                    RangeWarning,
                    stacklevel=4,
                )


def saturation_indices(system: Any, T: float, n: ArrayLike, lng: ArrayLike) -> dict[str, float]:
    """{solid: SI} of a liquid (true amounts n, ln gamma lng) at T."""
    return system.solids.saturation_indices(T, n, lng)


def ln_iap(system: Any, solid: str, T: float, amounts: Mapping[str, float]) -> float:
    """ln of the ion activity product (mole-fraction basis, as ln Ksp) of ``solid`` in the
    liquid of apparent ``amounts`` {component: amount} at T [K]: the model's ln Ksp if that
    liquid is saturated with the solid."""
    ss = system.solids
    k = ss.index(solid)
    app = system.composition(amounts)
    n, lng = system.model._session(None, "true_amounts", app, T)[0]  # from a cold start
    n = np.asarray(n, dtype=float)
    return float(ss.nu[k] @ (np.log(n / n.sum()) + np.asarray(lng, dtype=float)))


def fit_ksp(
    system: Any, solid: str, points: Sequence[tuple[float, Mapping[str, float]]], terms: str = "AB"
) -> tuple[dict[str, float], float]:
    """ln Ksp(T) of ``solid`` fitted to measured solubilities, so that the solubility product
    agrees with the activity model: ``points`` [(T [K], {component: amount})] of saturated
    liquids; ``terms`` the coefficients fitted among "ABCD" (the others 0). Returns
    ({"A", "B", "C", "D"}, largest |residual| in ln K)."""
    T = np.array([p[0] for p in points], dtype=float)
    y = np.array([ln_iap(system, solid, t, a) for t, a in points])
    basis = {"A": np.ones_like(T), "B": 1.0 / T, "C": np.log(T), "D": T}
    X = np.column_stack([basis[t] for t in terms])
    coef, *_ = np.linalg.lstsq(X, y, rcond=None)
    out = {k: 0.0 for k in "ABCD"}
    out.update(dict(zip(terms, coef.tolist())))
    return out, float(np.max(np.abs(X @ coef - y)))
