"""Operating maps of a capture loop: capture and specific reboiler duty over the liquid-to-gas
ratio and the lean loading, one closed loop per point of the grid.

The frame has the shape of ``velmora.sweep``'s: one row a point, in grid order (the lean
loading varying fastest), the inputs (``L_G`` [kg lean solvent/kg flue gas], ``lean_loading``),
the results, an ``error`` column (None, or the ``ConvergenceError``/``ValueError`` message of a
point that could not be solved; its results NaN) and a ``warnings`` column (the messages of the
warnings the point raised, ``RangeWarning``s among them).
"""

import math
import warnings
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any

from ..errors import ConvergenceError
from .absorber import lean_solvent
from .loop import CaptureLoop, LoopResult, gas_mass
from ._figures import finish, panels

if TYPE_CHECKING:
    import pandas

RESULTS = (
    "capture_pct",
    "rich_loading",
    "cyclic_capacity",
    "srd",
    "srd_sensible",
    "srd_desorption",
    "srd_steam",
    "reboiler_duty_kW",
    "reboiler_T",
    "makeup_H2O",
    "liquid_calls",
    "seconds",
)


def _row(r: LoopResult) -> dict[str, float]:
    return {
        "capture_pct": r.capture_pct,
        "rich_loading": r.rich_loading,
        "cyclic_capacity": r.cyclic_capacity,
        "srd": r.srd,
        "srd_sensible": r.srd_sensible,
        "srd_desorption": r.srd_desorption,
        "srd_steam": r.srd_steam,
        "reboiler_duty_kW": r.reboiler_duty / 1e3,
        "reboiler_T": r.reboiler_T,
        "makeup_H2O": r.makeup["H2O"],
        "liquid_calls": float(r.liquid_calls),
        "seconds": r.seconds,
    }


class OperatingMap:
    """``frame`` (pandas DataFrame, see the module), ``to_frame()`` (a copy), ``plot(path)``."""

    def __init__(self, frame: "pandas.DataFrame") -> None:
        self.frame = frame

    def to_frame(self) -> "pandas.DataFrame":
        return self.frame.copy()

    def plot(self, path: str | None = None) -> Any:
        """Capture over L/G (a line per lean loading) and the specific reboiler duty over the
        lean loading (a line per L/G: the U-shaped curve); saved to ``path`` when given.
        Returns the figure."""
        df = self.frame
        fig, ax = panels(2, figsize=(10, 4))
        for ll, part in df.groupby("lean_loading"):
            ax[0].plot(part["L_G"], part["capture_pct"], "o-", label=f"lean {ll:.2f}")
        for lg, part in df.groupby("L_G"):
            ax[1].plot(part["lean_loading"], part["srd"], "o-", label=f"L/G {lg:g}")
        ax[0].set_xlabel("L/G [kg/kg]")
        ax[0].set_ylabel("capture [%]")
        ax[1].set_xlabel("lean loading [mol CO2/mol MEA]")
        ax[1].set_ylabel("specific reboiler duty [MJ/kg CO2]")
        ax[0].legend(fontsize=8)
        ax[1].legend(fontsize=8)
        return finish(fig, path)


def operating_map(
    loop: CaptureLoop,
    gas: Mapping[str, float],
    gas_T: float,
    P: float,
    stripper_P: float,
    lean_T: float,
    mea_wfrac: float,
    L_G: Iterable[float],
    lean_loading: Iterable[float],
) -> OperatingMap:
    """The loop at every (L/G, lean loading) of the grid: flue gas [mol/s] at gas_T [K],
    absorber and stripper pressures [Pa], the lean solvent at lean_T [K] with the mass
    fraction mea_wfrac of the loop's amine (CO2-free basis) and a mass flow of L/G times the
    flue gas's."""
    import pandas as pd

    gas_kg_h = gas_mass(gas) * 3600.0
    rows = []
    for lg in L_G:
        for ll in lean_loading:
            row: dict[str, Any] = {"L_G": float(lg), "lean_loading": float(ll)}
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                try:
                    lean = lean_solvent(lg * gas_kg_h, mea_wfrac, ll, loop.amine)
                    row.update(_row(loop.run(gas, gas_T, lean, lean_T, P, stripper_P)))
                    row["error"] = None
                except (ConvergenceError, ValueError) as e:
                    row.update({k: math.nan for k in RESULTS})
                    row["error"] = f"{type(e).__name__}: {e}"
            row["warnings"] = sorted({str(w.message) for w in caught})
            rows.append(row)
    return OperatingMap(pd.DataFrame(rows))
