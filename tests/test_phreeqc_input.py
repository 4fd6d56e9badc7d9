"""The PHREEQC side of benchmarks/validate_si_phreeqc.py without PHREEQC: the brines it sends
match velmora's, the input punches one SI per phase, and the punch is read back in order."""

import importlib.util
import os
import re

import pytest

import velmora
from velmora.enginebridge import databank

_found = importlib.util.spec_from_file_location(
    "validate_si_phreeqc",
    os.path.join(os.path.dirname(__file__), "..", "benchmarks", "validate_si_phreeqc.py"),
)
vsp = importlib.util.module_from_spec(_found)
_found.loader.exec_module(vsp)

pytestmark = pytest.mark.filterwarnings("ignore::velmora.errors.RangeWarning")  # default pairs


def test_phreeqc_totals_are_the_element_balance_of_velmora_molalities():
    for chem, molalities, totals in vsp.BRINES:
        want = {}
        for comp, m in molalities.items():
            for el, k in databank.elements(comp).items():
                if el not in ("H", "O"):
                    want[el] = want.get(el, 0.0) + k * m
        got = {re.sub(r"\(\d\)$", "", el): m for el, m in totals.items()}  # S(6) -> S
        assert got == pytest.approx(want, rel=1e-9), chem
        # every solid velmora reports has a PHREEQC name to compare with
        si = velmora.System(chem).liquid(298.15, molalities=molalities).saturation_indices
        assert set(si) <= set(vsp.NAMES), chem


def test_input_has_one_solution_per_brine_and_one_punched_value_per_heading():
    phases = ["Halite", "Nahcolite"]
    text = vsp.phreeqc_input([{"Na": 6.0, "Cl": 6.0}, {"Na": 2.0, "C(4)": 1.8}], phases)
    lines = [s.strip() for s in text.splitlines()]
    assert (
        lines.index("SELECTED_OUTPUT 1") < lines.index("USER_PUNCH 1") < lines.index("SOLUTION 1")
    )
    assert lines[1:3] == ["-reset false", "-solution true"]  # the solution number, then the punch
    heads = next(s for s in lines if s.startswith("-headings")).split()[1:]
    punch = next(s for s in lines if s.startswith("10 PUNCH"))[len("10 PUNCH ") :]
    assert heads == ["a_w", "Halite", "lk_Halite", "Nahcolite", "lk_Nahcolite"]
    # nahcolite's log K on velmora's reaction, NaHCO3 = Na+ + HCO3-, not pitzer.dat's CO3-2 + H+
    assert punch.split(", ") == [
        'ACT("H2O")',
        'SI("Halite")',
        'LK_PHASE("Halite")',
        'SI("Nahcolite")',
        'LK_PHASE("Nahcolite") + LK_SPECIES("HCO3-")',
    ]
    second = lines[lines.index("SOLUTION 2") :]
    assert second[: second.index("END")] == [
        "SOLUTION 2",
        "units mol/kgw",
        "temp 25",
        "pH 7 charge",
        "Na 2.0",
        "C(4) 1.8",
    ]
    assert lines.count("END") == 2 and lines[-1] == "END"


def test_punch_is_read_per_solution_and_absent_ions_become_none():
    rows = [
        ["soln", "a_w", "Halite", "Mirabilite"],
        [1, 0.76, -0.033, -99.99],
        [2, 0.935, -99.99, 0.002],
    ]
    assert vsp.parse_punch(rows, 2) == [
        {"a_w": 0.76, "Halite": -0.033, "Mirabilite": None},
        {"a_w": 0.935, "Halite": None, "Mirabilite": 0.002},
    ]
    with pytest.raises(ValueError, match="PHREEQC punched 2 rows for 3 solutions"):
        vsp.parse_punch(rows, 3)
    with pytest.raises(ValueError, match="row 1 of the punch is solution 2"):
        vsp.parse_punch([rows[0], rows[2], rows[1]], 2)
