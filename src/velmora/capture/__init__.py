"""CO2 capture by aqueous amines on velmora's liquids: a rate-based packed absorber (MEA), an
equilibrium-stage absorber (any amine of the databank: ``StageAbsorber``), an
equilibrium-stage stripper with condenser and reboiler, and the pilot-plant table runner.

    import velmora
    from velmora import capture
    mea = velmora.System("MEA-CO2-H2O", gases=["N2", "O2"])
    gas = capture.flue_gas(mea, 2240.0, 316.0, 107.5e3, co2_dry=0.0919, o2_dry=0.0)
    lean = capture.lean_solvent(6804.0, 0.307, 0.168)
    ab = capture.Absorber(mea, diameter=0.64, beds=[6.0, 6.0, 6.0], intercoolers=2)
    r = ab.run(gas, 316.0, lean, 315.0, 107.5e3)
    print(r.capture_pct, r.rich_loading); r.to_frame(); r.plot("absorber.png")

The partial pressures, speciation and enthalpies are velmora's (``System.liquid``); the
transport properties, kinetics and packing correlations are those of
``velmora.capture.properties``, each with its source and validity range (``RangeWarning``
outside it). Units: K, Pa, m, mol/s, W.
"""

from .absorber import Absorber, AbsorberResult, element_balance, flue_gas, lean_solvent
from .properties import PACKINGS, Packing

__all__ = [
    "Absorber",
    "AbsorberResult",
    "flue_gas",
    "lean_solvent",
    "Packing",
    "PACKINGS",
    "element_balance",
]
from .pilot import PilotRunWarning, pilot_runs  # noqa: E402
from .stripper import Stripper, StripperResult  # noqa: E402
from .rate_stripper import RateStripper  # noqa: E402

__all__ += ["Stripper", "StripperResult", "RateStripper", "pilot_runs", "PilotRunWarning"]
from .exchanger import ExchangerResult, HeatExchanger  # noqa: E402
from .loop import CaptureLoop, LoopResult  # noqa: E402
from .maps import OperatingMap, operating_map  # noqa: E402

__all__ += [
    "HeatExchanger",
    "ExchangerResult",
    "CaptureLoop",
    "LoopResult",
    "operating_map",
    "OperatingMap",
]
from .stages import StageAbsorber  # noqa: E402

__all__ += ["StageAbsorber"]
from .optimum import (  # noqa: E402
    CapturePlant,
    LoopSensitivities,
    OptimumResult,
    optimal_operation,
    pilot_bounds,
    pilot_plant,
)

__all__ += [
    "CapturePlant",
    "LoopSensitivities",
    "OptimumResult",
    "optimal_operation",
    "pilot_plant",
    "pilot_bounds",
]
