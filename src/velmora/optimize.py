"""Named outputs of a liquid state as a function for optimizers, with their exact Jacobian.

``LiquidOutputs(system, T, amounts, inputs, outputs)`` is the map from the inputs (``"T"`` and
apparent components, in that order in the vector x) to the outputs, everything else held at
``T`` and ``amounts``. Its ``values(x)`` and ``jacobian(x)`` are the ``fun`` and ``jac`` that
``scipy.optimize`` (root, least_squares, minimize) takes; ``residuals(targets)`` gives both for
outputs that should meet targets. The Jacobian comes from ``LiquidState.jacobian`` (exact, see
``velmora.derivatives``); ``jacobian_by_differences`` is its central-difference counterpart.

Outputs, by name:

- ``"p_<component>"``: partial pressure of a volatile component [Pa];
- ``"pH"``;
- ``"SI_<solid>"``: saturation index log10 IAP/Ksp of a solid of the system;
- ``"m_<species>"``: molality of a true species [mol/kg water];
- ``"H"``: enthalpy of the liquid of the amounts [J, for amounts in mol], on the core's
  formation-enthalpy references (as a flash's H);
- ``"s_<solid>"`` (``solids=True``): amount of a solid that precipitates [unit of the amounts].

``solids=True``: the liquid in equilibrium with the solids that precipitate from the amounts
(``System.liquid(..., solids=True)``); the outputs are those of its liquid (H: the dissolved
part's) and the solids' amounts, their derivatives with the solids held saturated.

Their derivatives are the liquid state's (``velmora.derivatives``: saturation indices and
molalities follow exactly from those of the true amounts and ln gamma, no further solve).
"""

import math
from typing import Any, Callable, Mapping, Sequence

import numpy as np
from numpy.typing import ArrayLike

from .checks import warns_at_caller

_PREFIXES = ("p_", "SI_", "m_", "s_")


class _Outputs:
    """What every outputs map shares: differences, residuals (``values`` and ``jacobian`` are
    the subclass's)."""

    _rows: list[Any]

    def values(self, x: ArrayLike) -> np.ndarray:
        raise NotImplementedError

    def jacobian(self, x: ArrayLike) -> np.ndarray:
        raise NotImplementedError

    @warns_at_caller()
    def jacobian_by_differences(self, x: ArrayLike, step: float = 1e-5) -> np.ndarray:
        """d outputs / d inputs by central differences: steps of ``step`` times the input
        (in K for T: ``step`` x T), two solves per input."""
        x0 = np.array(x, dtype=float)
        out = np.empty((len(self._rows), x0.size))
        for j in range(x0.size):
            h = step * max(abs(x0[j]), 1e-8)
            up, down = x0.copy(), x0.copy()
            up[j] += h
            down[j] -= h
            out[:, j] = (self.values(up) - self.values(down)) / (2.0 * h)
        return out

    def residuals(
        self, targets: Sequence[float], scale: Sequence[float] | None = None
    ) -> tuple[Callable[[Any], np.ndarray], Callable[[Any], np.ndarray]]:
        """(fun, jac) of (outputs - targets) / scale for ``scipy.optimize.root`` or
        ``least_squares`` (scale: default the targets' sizes, 1 for a target of 0)."""
        t = np.asarray(targets, dtype=float)
        s = np.where(t != 0.0, np.abs(t), 1.0) if scale is None else np.asarray(scale, dtype=float)

        def fun(x: Any) -> np.ndarray:
            return (self.values(x) - t) / s

        def jac(x: Any) -> np.ndarray:
            return self.jacobian(x) / s[:, None]

        return fun, jac


class LiquidOutputs(_Outputs):
    """The outputs of the liquid of ``system`` at ``T`` [K] and ``amounts`` {component: mol}
    as a function of the inputs (``"T"`` and components; see the module). ``solves`` counts
    the liquids solved; the last one is kept, so that values and Jacobian at one x cost one
    solve."""

    def __init__(
        self,
        system: Any,
        T: float,
        amounts: Mapping[str, float],
        inputs: Sequence[str],
        outputs: Sequence[str],
        solids: bool = False,
    ) -> None:
        self.system = system
        self.solids = bool(solids)
        self.T = float(T)
        self.amounts = {c: float(v) for c, v in amounts.items()}
        self.inputs = list(inputs)
        self.outputs = list(outputs)
        comps = list(system.components)
        for name in self.inputs:
            if name != "T" and name not in comps:
                raise ValueError(
                    f'unknown input {name!r}; inputs are "T" and the components {", ".join(comps)}'
                )
        if len(set(self.inputs)) != len(self.inputs):
            raise ValueError("an input is listed twice")
        self._rows = [self._row(name) for name in self.outputs]
        self.solves = 0
        self._last: tuple[tuple[float, ...], Any] | None = None

    def _row(self, name: str) -> tuple[str, Any]:
        """(kind, index) of an output: its place in the state's data."""
        s = self.system
        if name in ("pH", "H"):
            return name, None
        for prefix in _PREFIXES:
            if name.startswith(prefix):
                key = name[len(prefix) :]
                if prefix == "p_" and key in s.components:
                    return "p", key
                if prefix == "SI_" and key in s.solids.names:
                    return "SI", s.solids.names.index(key)
                if prefix == "m_" and key in s.species and key != "H2O":
                    return "m", s.species.index(key)
                if prefix == "s_" and key in s.solids.names:
                    if not self.solids:
                        raise ValueError(
                            f"output {name!r}: the amount of a solid needs solids=True (the "
                            "liquid in equilibrium with what precipitates)"
                        )
                    return "s", key
        raise ValueError(
            f'unknown output {name!r}; outputs: "pH", "H", "p_<component>" '
            f'({", ".join(s.components)}), "SI_<solid>" ({", ".join(s.solids.names) or "none"})'
            f', "m_<species>" ({", ".join(x for x in s.species if x != "H2O")})'
            + (f', "s_<solid>" ({", ".join(s.solids.names)})' if self.solids else "")
        )

    # -- the liquid at x -------------------------------------------------------------------------
    @warns_at_caller()
    def state(self, x: ArrayLike) -> Any:
        """The liquid state at the inputs x (the last one is kept)."""
        key = tuple(np.asarray(x, dtype=float).tolist())
        if self._last is not None and self._last[0] == key:
            return self._last[1]
        T, app = self.T, dict(self.amounts)
        for name, v in zip(self.inputs, key):
            if name == "T":
                T = v
            else:
                app[name] = v
        liq = self.system.liquid(T, app, solids=self.solids)
        self.solves += 1
        self._last = (key, liq)
        return liq

    @warns_at_caller()
    def values(self, x: ArrayLike) -> np.ndarray:
        """The outputs at x."""
        liq = self.state(x)
        out = np.empty(len(self._rows))
        for k, (kind, key) in enumerate(self._rows):
            if kind == "pH":
                if liq.pH is None:
                    raise ValueError("pH: the liquid has no H3O+")
                out[k] = liq.pH
            elif kind == "H":
                out[k] = liq.H * math.fsum(liq.apparent.values())
            elif kind == "p":
                out[k] = liq.partial_pressures.get(key, 0.0)
            elif kind == "SI":
                out[k] = liq.saturation_indices[self.system.solids.names[key]]
            elif kind == "s":
                out[k] = liq.solids.get(key, 0.0)
            else:
                out[k] = liq.molality[self.system.species[key]]
        return out

    @warns_at_caller()
    def jacobian(self, x: ArrayLike) -> np.ndarray:
        """d outputs / d inputs at x (outputs x inputs), exact (``LiquidState.jacobian``)."""
        liq = self.state(x)
        jac = liq.jacobian()
        cols = [jac.wrt.index(name) for name in self.inputs]
        out = np.empty((len(self._rows), len(cols)))
        for k, (kind, key) in enumerate(self._rows):
            if kind == "pH":
                if "pH" not in jac.arrays:
                    raise ValueError("pH: the liquid has no H3O+")
                out[k] = jac.arrays["pH"][cols]
            elif kind == "H":
                # d(H total)/d inputs: total = sum of the apparent amounts (next to solids: of
                # the dissolved part, which moves with the solids)
                total = math.fsum(liq.apparent.values())
                dH = jac.arrays["H"] * total
                if jac.dissolved is None:
                    dH[1:] += liq.H
                else:
                    dH += liq.H * jac.dissolved.sum(axis=0)
                out[k] = dH[cols]
            elif kind == "p":
                out[k] = (
                    jac.arrays["partial_pressures"][jac.volatile.index(key), cols]
                    if key in jac.volatile
                    else 0.0
                )
            elif kind == "SI":
                out[k] = jac.arrays["saturation_indices"][key, cols]
            elif kind == "s":  # an absent solid stays absent near x (at its edge: ValueError)
                out[k] = (
                    jac.arrays["solids"][jac.present.index(key), cols]
                    if key in jac.present
                    else 0.0
                )
            else:
                out[k] = jac.arrays["molality"][key, cols]
        return out


class FlashOutputs(_Outputs):
    """The outputs of the TP flash of ``system`` at ``T`` [K], ``P`` [Pa] and ``feed``
    {component: mol} as a function of the inputs (``"T"``, ``"P"`` and feed components, held
    at the given values otherwise). Outputs: ``"beta"`` (vapor fraction, mol/mol feed),
    ``"x_<component>"`` and ``"y_<component>"`` (apparent liquid and vapor mole fractions),
    with ``solids=True`` (the vapor-liquid-solid flash) ``"s_<solid>"`` (mol per mol of feed).
    The Jacobian comes from ``FlashResult.jacobian`` (exact; two-phase results only).
    ``solves`` counts the flashes solved."""

    def __init__(
        self,
        system: Any,
        T: float,
        P: float,
        feed: Mapping[str, float],
        inputs: Sequence[str],
        outputs: Sequence[str],
        solids: bool = False,
    ) -> None:
        self.system = system
        self.solids = bool(solids)
        self.T, self.P = float(T), float(P)
        self.feed = {c: float(v) for c, v in feed.items()}
        self.inputs = list(inputs)
        self.outputs = list(outputs)
        comps = list(system.components)
        for name in self.inputs:
            if name not in ("T", "P") and name not in comps:
                raise ValueError(
                    f'unknown input {name!r}; inputs are "T", "P" and the '
                    f"components {', '.join(comps)}"
                )
        if len(set(self.inputs)) != len(self.inputs):
            raise ValueError("an input is listed twice")
        self._rows = []
        for name in self.outputs:
            if name == "beta":
                self._rows.append(("beta", None))
            elif name[:2] in ("x_", "y_") and name[2:] in comps:
                self._rows.append(("x" if name[0] == "x" else "vapor", name[2:]))
            elif self.solids and name[:2] == "s_" and name[2:] in system.solids.names:
                self._rows.append(("solids", name[2:]))
            else:
                raise ValueError(
                    f'unknown output {name!r}; outputs are "beta", '
                    f'"x_<component>" and "y_<component>"'
                    + (', "s_<solid>"' if self.solids else " (and with solids=True s_<solid>)")
                )
        self.solves = 0
        self._last: tuple[tuple[float, ...], Any] | None = None

    @warns_at_caller()
    def result(self, x: ArrayLike) -> Any:
        """The flash result at the inputs x (the last one is kept)."""
        key = tuple(np.asarray(x, dtype=float).tolist())
        if self._last is not None and self._last[0] == key:
            return self._last[1]
        T, P, feed = self.T, self.P, dict(self.feed)
        for name, v in zip(self.inputs, key):
            if name == "T":
                T = v
            elif name == "P":
                P = v
            else:
                feed[name] = v
        r = self.system.flash(feed, P, T=T, solids=self.solids)
        self.solves += 1
        self._last = (key, (r, sum(feed.values())))
        return self._last[1]

    @warns_at_caller()
    def values(self, x: ArrayLike) -> np.ndarray:
        """The outputs at x."""
        r, _ = self.result(x)
        solids = getattr(r, "solids", {})
        return np.array(
            [
                r.vapor_fraction
                if kind == "beta"
                else solids.get(c, 0.0)
                if kind == "solids"
                else getattr(r, kind)[c]
                for kind, c in self._rows
            ]
        )

    @warns_at_caller()
    def jacobian(self, x: ArrayLike) -> np.ndarray:
        """d outputs / d inputs at x (outputs x inputs), exact. A feed amount's column is the
        flash's (per mol added to one mol of feed) over the feed's total."""
        r, total = self.result(x)
        jac = r.jacobian()
        out = np.empty((len(self._rows), len(self.inputs)))
        for j, name in enumerate(self.inputs):
            f = 1.0 if name in ("T", "P") else 1.0 / total
            for k, (kind, c) in enumerate(self._rows):
                if kind == "solids" and c not in getattr(r, "solids", {}):
                    out[k, j] = 0.0  # an absent solid stays absent near x
                    continue
                d = jac.of("vapor_fraction" if kind == "beta" else kind, name)
                out[k, j] = f * (d if kind == "beta" else d[c])
        return out
