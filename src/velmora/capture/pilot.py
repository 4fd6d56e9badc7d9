"""Pilot-plant campaigns run row by row: the absorber (and the stripper) of each run from the
run's inputs only.

A table has the columns of the 2014 NCCC campaign file (``pilot-nccc-2014.csv``):

inputs   case, beds, intercoolers, column_diameter_m, bed_height_m, packing, lean_flow_kg_h,
         lean_T_C, lean_loading, lean_MEA_wfrac (CO2-free basis), gas_flow_kg_h (wet), gas_T_C,
         gas_P_kPa, absorber_P_kPa, gas_CO2_dry, gas_O2_dry (the rest of the dry gas N2),
         rich_flow_kg_h, rich_loading, stripper_feed_T_C, stripper_P_kPa;
measured capture_pct, capture_liquid_side_pct, gas_out_T_C, reboiler_duty_kW, reboiler_T_C,
         rich_T_C: never read, except ``reboiler_duty_kW`` by the option ``at_duty`` (below).

Blank cells: ``gas_P_kPa`` is the absorber pressure, ``absorber_P_kPa`` the gas pressure,
``gas_O2_dry`` 0, ``intercoolers`` 0, ``packing`` MellapakPlus 252Y; any other blank input the
mean of its column over the table (the rule for a missing lean T, applied alike). The
stripper of a row runs from the row's rich flow and rich loading when given, else the
absorber's, to the row's lean loading. A run that cannot be solved gives NaN in its row and a
``PilotRunWarning`` naming the case.

``at_duty=True`` adds the comparison Morgan et al. (2018, SI Table S4) make for their model: the
lean loading the stripper reaches at the run's measured reboiler duty (``lean_loading_at_duty``,
against the measured lean loading). For that column alone the measured duty is an input, by
definition; every other output is the same as without the option. A blank duty, or a stripper
that does not solve at it, leaves that cell NaN (the latter with a ``PilotRunWarning``).
"""

import math
import warnings
from typing import Any

from ..checks import warns_at_caller
from ..errors import ConvergenceError
from .absorber import Absorber, flue_gas, lean_solvent

MEASURED = (
    "capture_pct",
    "capture_liquid_side_pct",
    "gas_out_T_C",
    "reboiler_duty_kW",
    "reboiler_T_C",
    "rich_T_C",
)
NUMERIC = (
    "beds",
    "intercoolers",
    "column_diameter_m",
    "bed_height_m",
    "lean_flow_kg_h",
    "lean_T_C",
    "lean_loading",
    "lean_MEA_wfrac",
    "gas_flow_kg_h",
    "gas_T_C",
    "gas_P_kPa",
    "absorber_P_kPa",
    "gas_CO2_dry",
    "gas_O2_dry",
    "rich_flow_kg_h",
    "rich_loading",
    "stripper_feed_T_C",
    "stripper_P_kPa",
)
OUTPUTS = ("capture_pct", "rich_loading", "gas_out_T_C", "reboiler_duty_kW", "srd_MJ_per_kg")
AT_DUTY = "lean_loading_at_duty"  # the option at_duty's column
OPTIONAL = ("rich_flow_kg_h", "rich_loading")  # blank: the absorber's rich solvent
ZERO_IF_BLANK = ("gas_O2_dry", "intercoolers")
# inputs whose blank cells take another column's value of the same row
OTHER_COLUMN = {"gas_P_kPa": "absorber_P_kPa", "absorber_P_kPa": "gas_P_kPa"}


class PilotRunWarning(UserWarning):
    """A pilot run that could not be solved: its row is NaN."""


def _table(table: Any) -> Any:
    import pandas as pd

    df = pd.read_csv(table) if not isinstance(table, pd.DataFrame) else table.copy()
    if "case" not in df.columns:
        raise ValueError("a pilot table needs a 'case' column")
    df = df.drop(columns=[c for c in MEASURED if c in df.columns])
    for c in NUMERIC:
        if c not in df.columns:
            df[c] = math.nan
        df[c] = pd.to_numeric(df[c], errors="coerce")
    if "packing" not in df.columns:
        df["packing"] = math.nan
    df["packing"] = df["packing"].fillna("MellapakPlus 252Y")
    for c in ZERO_IF_BLANK:
        df[c] = df[c].fillna(0.0)
    for c, other in OTHER_COLUMN.items():
        df[c] = df[c].fillna(df[other])
    for c in NUMERIC:
        if c not in OPTIONAL:
            df[c] = df[c].fillna(df[c].mean())
    return df


@warns_at_caller()
def pilot_runs(
    table: Any, system: Any = None, segments: int = 8, stripper: Any = None, at_duty: bool = False
) -> Any:
    """A DataFrame by ``case`` with ``capture_pct``, ``rich_loading``, ``gas_out_T_C``,
    ``reboiler_duty_kW`` and ``srd_MJ_per_kg`` (reboiler duty per kg of CO2 stripped) of each
    run of ``table`` (a CSV path or a DataFrame; see the module's doc for the columns), and
    with ``at_duty`` ``lean_loading_at_duty`` (the stripper run at the measured duty instead of
    the measured lean loading: the one output with a measured input).
    ``system``: a MEA-CO2-H2O System with N2 and O2 (made when not given); ``segments`` per
    absorber bed; ``stripper``: a ``Stripper`` or a ``RateStripper`` (default: the pilot's packed
    stripper, ``RateStripper(system, segments=32)``, the packed height resolved: on K1 644 kW
    against 635 at 64 segments per bed and 845 with six equilibrium stages, ``Stripper``)."""
    import pandas as pd
    import velmora
    from .rate_stripper import RateStripper

    if not isinstance(table, pd.DataFrame):
        table = pd.read_csv(table)
    df = _table(table)
    duties = [math.nan] * len(df)
    if at_duty and "reboiler_duty_kW" in table.columns:
        duties = pd.to_numeric(table["reboiler_duty_kW"], errors="coerce").tolist()
    if system is None:
        system = velmora.System("MEA-CO2-H2O", gases=["N2", "O2"])
    if stripper is None:
        stripper = RateStripper(system, segments=32)
    rows = []
    for (_, row), duty in zip(df.iterrows(), duties):
        out = dict.fromkeys(OUTPUTS + (AT_DUTY,) if at_duty else OUTPUTS, math.nan)
        case = str(row["case"])
        try:
            out.update(_run(system, row, segments, stripper))
        except (ConvergenceError, ValueError, ArithmeticError, KeyError) as e:
            warnings.warn(
                f"pilot run {case}: not solved ({e}); its row is NaN", PilotRunWarning, stacklevel=2
            )
        else:
            if at_duty and math.isfinite(duty):
                try:
                    out[AT_DUTY] = _at_duty(row, stripper, out.pop("_stripped"), duty)
                except (ConvergenceError, ValueError, ArithmeticError) as e:
                    warnings.warn(
                        f"pilot run {case}: no lean loading at the measured duty of {duty:g} kW "
                        f"({e}); {AT_DUTY} is NaN",
                        PilotRunWarning,
                        stacklevel=2,
                    )
        out.pop("_stripped", None)
        rows.append({"case": case, **out})
    return pd.DataFrame(rows).set_index("case")


def row_absorber(system: Any, row: Any, segments: int) -> tuple[dict[str, float], float, Absorber]:
    """(flue gas [mol/s], its T [K], the absorber) of a row of a pilot table."""
    gas_T = row["gas_T_C"] + 273.15
    gas = flue_gas(
        system,
        row["gas_flow_kg_h"],
        gas_T,
        1e3 * row["gas_P_kPa"],
        row["gas_CO2_dry"],
        row["gas_O2_dry"],
    )
    ab = Absorber(
        system,
        row["column_diameter_m"],
        [row["bed_height_m"]] * int(round(row["beds"])),
        packing=row["packing"],
        intercoolers=int(round(row["intercoolers"])),
        segments=segments,
    )
    return gas, gas_T, ab


def _run(system, row, segments, stripper):
    bad = [c for c in NUMERIC if c not in OPTIONAL and not math.isfinite(row[c])]
    if bad:
        raise ValueError(f"no value for {', '.join(bad)}")
    P, lean_T = 1e3 * row["absorber_P_kPa"], row["lean_T_C"] + 273.15
    gas, gas_T, ab = row_absorber(system, row, segments)
    lean = lean_solvent(row["lean_flow_kg_h"], row["lean_MEA_wfrac"], row["lean_loading"])
    r = ab.run(gas, gas_T, lean, lean_T, P)
    out: dict[str, Any] = {
        "capture_pct": r.capture_pct,
        "rich_loading": r.rich_loading,
        "gas_out_T_C": r.gas_out_T - 273.15,
    }
    rich_flow = row["rich_flow_kg_h"]
    rich_loading = row["rich_loading"]
    if math.isfinite(rich_flow) and math.isfinite(rich_loading):
        rich = lean_solvent(rich_flow, row["lean_MEA_wfrac"], rich_loading)
    else:
        rich = r.liquid_out
    s = stripper.run(
        rich,
        row["stripper_feed_T_C"] + 273.15,
        1e3 * row["stripper_P_kPa"],
        lean_loading=row["lean_loading"],
    )
    out["reboiler_duty_kW"] = s.reboiler_duty / 1e3
    out["srd_MJ_per_kg"] = s.srd
    out["_stripped"] = (rich, s)
    return out


def _at_duty(row, stripper, stripped, duty_kW):
    """The lean loading of the row's stripper at the duty [kW], from its run at the lean
    loading (a warm start: the two differ only in the reboiler's last equation)."""
    rich, start = stripped
    s = stripper.run(
        rich,
        row["stripper_feed_T_C"] + 273.15,
        1e3 * row["stripper_P_kPa"],
        duty=1e3 * duty_kW,
        start=start,
    )
    return s.lean_loading
