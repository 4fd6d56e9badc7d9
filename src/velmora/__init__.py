"""velmora: electrolyte liquids for process modelling.

Start here::

    import velmora
    s = velmora.System("MEA-CO2-H2O", gases=["N2"])
    liq = s.liquid(313.15, mass_fractions={"MEA": 0.3}, loading=0.4)
    print(liq.partial_pressures["CO2"], liq.pH)
    r = s.flash({"H2O": 0.85, "MEA": 0.1, "CO2": 0.03, "N2": 0.02}, 101325.0, T=360.0)

The front door: ``System`` (a chemistry with its components, model and vapor), its liquid states
(``System.liquid`` -> ``LiquidState``) and flashes (``System.flash`` -> ``FlashResult``),
``chemistries()`` (the built-in chemistries), ``ConvergenceError`` (no verified answer),
``NoSolutionError`` (a request without one), their base ``VelmoraError``, ``RangeWarning``,
``DefaultParameterWarning``.
Units: K, Pa, mol, mol/kg of water, J/mol, J/(mol K).

Solids (``velmora.solids``): saturation indices on every liquid state, the liquid with the salts
that precipitate (``System.liquid(..., solids=True)``), vapor-liquid-solid flashes
(``System.flash(..., solids=True)``) and ``System.scaling_temperature``. ``seawater()``: the
Reference Composition of seawater in the salts of the chemistry "seawater-H2O".

Brine paths (``velmora.paths``): a brine evaporated (``evaporate``), two brines mixed (``mix``), a
brine along a (T, P) profile (``profile``); a brine from an ion analysis, charge-balanced
(``brine``).

The core layer below it, for flowsheet hosts: ``velmora.brinequil`` (the electrolyte engine),
``velmora.phasekit``, ``velmora.ionchem``, ``velmora.ionactivity``, ``velmora.enginebridge``,
``velmora.notices``.
"""

__version__ = "0.1.0"

from .errors import (
    ChemistryError,
    ConvergenceError,
    DefaultParameterWarning,
    NoSolutionError,
    RangeWarning,
    ReportError,
    SweepError,
    VelmoraError,
)
from . import paths
from .flashes import FlashResult
from .states import LiquidState
from .system import System, chemistries
from .sweep import sweep
from .presets import seawater

__all__ = [
    "System",
    "LiquidState",
    "FlashResult",
    "chemistries",
    "ConvergenceError",
    "VelmoraError",
    "RangeWarning",
    "DefaultParameterWarning",
    "ReportError",
    "ChemistryError",
    "NoSolutionError",
    "sweep",
    "SweepError",
    "seawater",
    "paths",
    "__version__",
]
