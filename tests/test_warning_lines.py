"""Every warning of the front door points at the caller's line, whatever the depth inside the
package it was raised at: a flash with solids raises its range warnings from the active set's
flashes, an H or S flash from its search in T, a scaling temperature from Brent's method."""

import warnings

import pytest

import velmora
from velmora import capture, paths

System = velmora.System
NACL = {"H2O": 0.9, "NaCl": 0.1}  # 6.2 mol/kg: above NaCl-H2O's fit, halite at 0.3 boiled off
NH3 = {"H2O": 0.85, "NH3": 0.1, "CO2": 0.05}  # NH4+ with (bi)carbonate: default pairs, unfitted
BRINE = {"H2O": 55.51, "NaCl": 1.0}


def _said(call):
    """The warnings ``call()`` gives, as (category, message, filename, lineno); its error too."""
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        try:
            call()
        except velmora.NoSolutionError:
            pass  # (the warnings on the way to a liquid that boils dry are said all the same)
    return [(w.category, str(w.message), w.filename, w.lineno) for w in seen]


def _flash(given, solids):
    """The flash at T, a vapor fraction, or the H or S of the flash at vapor fraction 0.3."""
    s = System("NaCl-H2O")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        r = s.flash(NACL, 101325.0, vapor_fraction=0.3, solids=solids)
    value = {"T": 390.0 if solids else 385.0, "vapor_fraction": 0.3, "H": r.H, "S": r.S}[given]
    return lambda: s.flash(NACL, 101325.0, **{given: value}, solids=solids)


# each entry point in conditions that warn: T outside a correlation's range or a fit's, T in
# degrees C (below 273.15 K), a molality above the fit's, an unfitted chemistry's default pairs
CALLS = {
    "liquid": lambda: System("NaCl-H2O").liquid(520.0, molalities={"NaCl": 1.0}),
    "liquid in C": lambda: System("NaCl-H2O").liquid(270.0, amounts=BRINE),
    "liquid, default pairs": lambda: System("NH3-CO2-H2O").liquid(
        313.15, amounts={"H2O": 55.5, "NH3": 5.0, "CO2": 2.5}
    ),
    "liquid with solids": lambda: System("NaCl-H2O").liquid(
        520.0, molalities={"NaCl": 10.0}, solids=True
    ),
    "liquid with solids, default pairs": lambda: System("Na2CO3-CO2-H2O").liquid(
        298.15, molalities={"Na2CO3": 1.5, "CO2": 1.5}, solids=True
    ),
    "flash at T in C": lambda: System("NaCl-H2O").flash(NACL, 101325.0, T=270.0),
    "flash at a vapor fraction from T0 in C": lambda: System("NaCl-H2O").flash(
        NACL, 101325.0, vapor_fraction=0.3, T0=260.0
    ),
    "flash at vapor fraction 0": lambda: System("NaCl-H2O").flash(
        NACL, 101325.0, vapor_fraction=0.0
    ),
    "flash at vapor fraction 0, default pairs": lambda: System("NH3-CO2-H2O").flash(
        NH3, 101325.0, vapor_fraction=0.0
    ),
    "flash at H, default pairs": lambda: System("NH3-CO2-H2O").flash(NH3, 101325.0, H=-2.6e5),
    "flash with solids at T in C": lambda: System("NaCl-H2O").flash(
        NACL, 101325.0, T=270.0, solids=True
    ),
    "flash with solids, default pairs": lambda: System("Na2CO3-CO2-H2O").flash(
        {"H2O": 0.9, "Na2CO3": 0.05, "CO2": 0.05}, 101325.0, vapor_fraction=0.5, solids=True
    ),
    "bubble temperature": lambda: System("NaCl-H2O").bubble_temperature(
        {"H2O": 0.85, "NaCl": 0.15}, 5e5
    ),
    "bubble temperature from T0 in C": lambda: System("NH3-CO2-H2O").bubble_temperature(
        NH3, 101325.0, T0=260.0
    ),
    "scaling temperature": lambda: System("CaSO4-NaCl-H2O").scaling_temperature(
        molalities={"CaSO4": 0.02, "NaCl": 1.0}, T_max=520.0
    ),
    "scaling temperature from T_min in C": lambda: System("NaCl-H2O").scaling_temperature(
        molalities={"NaCl": 6.5}, T_min=250.0
    ),
    "evaporate": lambda: paths.evaporate(System("NaCl-H2O"), BRINE, 400.0, [0.0, 0.5, 0.9]),
    "evaporate in C": lambda: paths.evaporate(System("NaCl-H2O"), BRINE, 270.0, [0.0, 0.5]),
    "mix": lambda: paths.mix(
        System("NaCl-H2O"), BRINE, {"H2O": 55.51, "NaCl": 7.0}, 400.0, [0.0, 0.5, 1.0]
    ),
    "profile": lambda: paths.profile(System("NaCl-H2O"), BRINE, [300.0, 400.0], 101325.0),
    "profile at P in bar": lambda: paths.profile(System("NaCl-H2O"), BRINE, [300.0], 500.0),
}


@pytest.mark.parametrize("given", ["T", "H", "S", "vapor_fraction"])
@pytest.mark.parametrize("solids", [False, True], ids=["fluid", "solids"])
def test_a_flash_warns_at_the_callers_line(given, solids):
    said = _said(_flash(given, solids))
    assert said, "no warning: the case no longer tests the line"
    assert {w[1] for w in said if w[0] is velmora.RangeWarning} >= {
        "NaCl above 6 mol/kg, the largest molality the parameters of NaCl-H2O were fitted "
        "for: extrapolated"
    }
    assert {w[2] for w in said} == {__file__}, [w for w in said if w[2] != __file__]


@pytest.mark.parametrize("name", list(CALLS))
def test_every_entry_point_warns_at_the_callers_line(name):
    said = _said(CALLS[name])
    assert said, "no warning: the case no longer tests the line"
    assert all(
        issubclass(w[0], (velmora.RangeWarning, velmora.DefaultParameterWarning)) for w in said
    )
    assert {w[2] for w in said} == {__file__}, [w for w in said if w[2] != __file__]


# the capture columns: their liquids run past 323.15 K, the top of the MEA-1 constant's range,
# and past their transport correlations' ranges; a column warns at the line that ran it, each
# message once per run
@pytest.fixture(scope="module")
def mea():
    return System("MEA-CO2-H2O", gases=["N2", "O2"])


P_ABS, P_STRIP = 108.12e3, 183.0e3
HOT = capture.lean_solvent(6804.0, 0.307, 0.2)
COLD = capture.lean_solvent(7000.0, 0.307, 0.45)
MEA_1 = (
    "T outside the validity range of the equilibrium constant MEA-1 (273.15-323.15 K): extrapolated"
)

COLUMNS = {
    "absorber": lambda s: capture.Absorber(s, 0.32, [6.0, 6.0], segments=2).run(
        capture.flue_gas(s, 2240.0, 314.18, P_ABS, co2_dry=0.0919), 314.18, HOT, 315.18, P_ABS
    ),
    "stage absorber at 70 bar": lambda s: capture.StageAbsorber(s, 4).run(
        capture.flue_gas(s, 2240.0, 314.18, 7e6, co2_dry=0.0919), 314.18, HOT, 313.15, 7e6
    ),
    "stripper": lambda s: capture.Stripper(s).run(COLD, 380.0, P_STRIP, lean_loading=0.25),
    "rate stripper": lambda s: capture.RateStripper(s, segments=2).run(
        COLD, 380.0, P_STRIP, lean_loading=0.25
    ),
    "exchanger": lambda s: capture.HeatExchanger(s, approach=8.0).run(HOT, 390.0, COLD, 320.0),
    "loop": lambda s: capture.CaptureLoop(
        capture.Absorber(s, 0.64, [6.0, 6.0], segments=2), capture.Stripper(s)
    ).run(
        capture.flue_gas(s, 2240.0, 314.18, P_ABS, co2_dry=0.0919),
        314.18,
        HOT,
        315.18,
        P_ABS,
        P_STRIP,
    ),
}


@pytest.mark.parametrize("name", list(COLUMNS))
def test_a_capture_column_warns_at_the_callers_line(mea, name):
    said = _said(lambda: COLUMNS[name](mea))
    said_mea_1 = [w[1] for w in said].count(MEA_1)
    assert said_mea_1 >= 1 if name == "loop" else said_mea_1 == 1  # (the loop: once per column)
    if name == "absorber":  # every message once per run, each a range warning
        assert len(said) == len({w[1] for w in said})
        assert all(issubclass(w[0], velmora.RangeWarning) for w in said)
    assert {w[2] for w in said} == {__file__}, [w for w in said if w[2] != __file__]


def test_the_outputs_for_optimizers_warn_at_the_callers_line(mea):
    from velmora.optimize import FlashOutputs, LiquidOutputs

    app = {"H2O": 0.85, "MEA": 0.1, "CO2": 0.05}
    nacl = System("NaCl-H2O")
    calls = [  # each on a fresh map (the last liquid or flash is kept, and says nothing again)
        lambda: LiquidOutputs(mea, 340.0, app, ["CO2"], ["p_CO2"]).values([0.05]),
        lambda: LiquidOutputs(mea, 340.0, app, ["CO2"], ["p_CO2"]).jacobian([0.05]),
        lambda: LiquidOutputs(mea, 340.0, app, ["CO2"], ["p_CO2"]).state([0.05]),
        lambda: LiquidOutputs(mea, 340.0, app, ["CO2"], ["p_CO2"]).jacobian_by_differences([0.05]),
        lambda: FlashOutputs(nacl, 385.0, 101325.0, NACL, ["T"], ["beta"]).values([385.0]),
        lambda: FlashOutputs(nacl, 385.0, 101325.0, NACL, ["T"], ["beta"]).result([385.0]),
        lambda: FlashOutputs(nacl, 390.0, 101325.0, NACL, ["T"], ["beta"], solids=True).values(
            [390.0]
        ),
    ]
    for call in calls:
        said = _said(call)
        assert said and {w[2] for w in said} == {__file__}, said


def test_gathering_in_threads_leaves_the_warning_machinery_as_it_was():
    """The gathering of a liquid with solids is process-wide (catch_warnings): run from several
    threads at once, every call's warnings are given, each at its caller's line, and afterwards
    the filters and the function that shows warnings are as they were (interleaved, one
    thread's exit would put back another's record, and warnings would be lost)."""
    import threading

    s = System("NaCl-H2O")

    def call():
        return s.liquid(520.0, molalities={"NaCl": 10.0}, solids=True)

    one = _said(call)  # (also loads what the call imports, which adds filters)
    assert one and all(w[2] == __file__ for w in one)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        filters, show = list(warnings.filters), warnings.showwarning

        def run():
            for _ in range(3):
                call()

        threads = [threading.Thread(target=run) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert warnings.filters == filters and warnings.showwarning is show
    assert len(seen) == 9 * len(one)
    assert {(w.category, str(w.message), w.filename) for w in seen} == {x[:3] for x in one}
