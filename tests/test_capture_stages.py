"""Capture with any amine: the equilibrium-stage absorber, the stripper and the loop on
MDEA-CO2-H2O, checked on independent element counts, equilibrium of the leaving streams,
flash enthalpies and limits."""

import warnings

import pytest

from test_capture import atoms, h_gas, h_liq  # element counts written out there

import velmora
from velmora import capture

P = 108.12e3
# N-methyldiethanolamine CH3N(CH2CH2OH)2 (its atoms in test_capture.ATOMS)
MW = {"MDEA": 0.11916, "H2O": 0.018015, "CO2": 0.04401}  # kg/mol, from the formulas


@pytest.fixture(scope="module")
def mdea():
    return velmora.System("MDEA-CO2-H2O", gases=["N2", "O2"])


def solvent(kg_h=10000.0, wfrac=0.4, loading=0.01):
    f = kg_h / 3600.0
    amine = wfrac * f / MW["MDEA"]
    return {"CO2": loading * amine, "H2O": (1.0 - wfrac) * f / MW["H2O"], "MDEA": amine}


def column(mdea, stages, lean=None):
    gas = capture.flue_gas(mdea, 2240.0, 314.18, P, co2_dry=0.0919, o2_dry=0.05)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", velmora.RangeWarning)
        return capture.StageAbsorber(mdea, stages).run(gas, 314.18, lean or solvent(), 313.15, P)


def test_stage_absorber_balances_and_equilibrium(mdea):
    r = column(mdea, 8)
    a, b = atoms([r.gas_in, r.liquid_in]), atoms([r.gas_out, r.liquid_out])
    for e in ("C", "H", "N", "O"):
        assert abs(a[e] - b[e]) <= 1e-8 * a[e], e
    # the gas leaving the top is in equilibrium with the top stage's liquid (fresh solve)
    v = r._x.reshape(8, 4)
    top = mdea.liquid(v[-1, 3], dict(zip(("CO2", "H2O", "MDEA"), v[-1, 0:3])))
    tot = sum(r.gas_out.values())
    for c in ("CO2", "H2O"):
        assert r.gas_out[c] / tot * P == pytest.approx(top.partial_pressures[c], rel=1e-8), c
    assert r.gas_out_T == v[-1, 3] and r.gas_out["N2"] == r.gas_in["N2"]
    # energy by flash enthalpies of the liquids and the vapor model of the gases
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", velmora.RangeWarning)
        e_in = h_liq(mdea, r.liquid_in, r.lean_T) + h_gas(mdea, r.gas_in, r.gas_in_T, P)
        e_out = h_liq(mdea, r.liquid_out, r.rich_T) + h_gas(mdea, r.gas_out, r.gas_out_T, P)
    assert abs(e_in - e_out) <= 1e-6 * abs(e_in)
    assert r.rich_T > r.lean_T  # the heat of absorption
    assert 0.0 < r.capture_pct < 100.0 and r.rich_loading > r.lean_loading


def test_more_stages_capture_more_and_the_rate_based_column_names_the_stages(mdea):
    caps = [column(mdea, n).capture_pct for n in (1, 3, 10)]
    assert caps[0] < caps[1] < caps[2] < 100.0
    with pytest.raises(ValueError, match="StageAbsorber takes any amine"):
        capture.Absorber(mdea, 0.64, [6.0])
    with pytest.raises(ValueError, match="at least one equilibrium stage"):
        capture.StageAbsorber(mdea, 0)


def test_mdea_loop_closes(mdea):
    gas = capture.flue_gas(mdea, 2240.0, 314.18, P, co2_dry=0.0919)
    loop = capture.CaptureLoop(
        capture.StageAbsorber(mdea, 10), capture.Stripper(mdea), capture.HeatExchanger(mdea)
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", velmora.RangeWarning)
        r = loop.run(gas, 314.18, solvent(), 313.15, P, 150e3)
    assert set(r.makeup) == {"H2O", "MDEA"}
    assert 0.0 < r.capture_pct < 100.0 and r.srd > 0.0
    # the stripper's product is the CO2 the absorber took, at steady state
    co2 = r.absorber.gas_in["CO2"] - r.absorber.gas_out["CO2"]
    assert r.stripper.co2_product == pytest.approx(co2, rel=1e-6)
