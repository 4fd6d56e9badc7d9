"""Construction of the electrolyte model and its equilibrium constants."""

import math

import numpy as np
import pytest

from velmora.brinequil import Electrolyte
from conftest import K_WATER, Species, carbonate_system, model, water_system

IONISATION = {"H2O": -1, "H+": 1, "OH-": 1}


@pytest.mark.parametrize(
    "reactions, names, invariants",
    [
        ([IONISATION], ["H2O", "H+", "OH-"], 2),
        ([IONISATION, IONISATION], ["H2O", "H+", "OH-"], 2),  # rank 1: n_s - 1 rows, not n_s - 2
        ([{"A": -1e-11}], ["A", "B"], 2),  # singular value 1e-11: the threshold is absolute
        ([{"A": -1e-9}], ["A", "B"], 1),
    ],
)
def test_reaction_invariants(reactions, names, invariants):
    el = Electrolyte(
        Species(names),
        reactions,
        ["EQUIL"] * len(reactions),
        [K_WATER] * len(reactions),
        [names[0]],
    )
    assert el.nu.dtype == np.float64 and el.B.dtype == np.float64
    assert el.nu.shape == (len(reactions), len(names)) and el.B.shape == (invariants, len(names))
    np.testing.assert_allclose(el.B @ el.B.T, np.eye(invariants), atol=1e-14)
    if names[1] == "H+":  # (the tiny reactions above are not orthogonal to B: they count as none)
        np.testing.assert_allclose(el.nu @ el.B.T, 0.0, atol=1e-14)
        np.testing.assert_array_equal(el.nu[0], [-1.0, 1.0, 1.0])
        n0 = np.array([1.0, 0.0, 0.0])  # B n is unchanged by any extent of the reaction
        np.testing.assert_allclose(el.B @ (n0 + 0.37 * el.nu[0]), el.B @ n0, atol=1e-14)


def test_record_attributes():
    sp, reactions, kinds, k, apparent = carbonate_system()
    reactions = (
        [{**reactions[0], "XYZ": 5}]
        + reactions[1:]
        + [{"CO2": -1, "H2O": 1}, {"H2O": -1, "CO2": 1}]
    )
    kinds = kinds + ["equil", "DISS"]  # lower case: ignored, its record too; DISS needs none
    k = k + [None, None]
    el = Electrolyte(sp, (r for r in reactions), iter(kinds), iter(k), ("CO2", "H2O"))
    assert el.sp is sp and el.names is sp.names
    assert el.apparent == ["CO2", "H2O"] and isinstance(el.apparent, list)
    assert el.app_idx == [1, 0]
    assert len(el.diss) == 1 and el.diss[0] is reactions[4]
    assert el.nu.shape == (3, 6) and el.B.shape == (3, 6)
    np.testing.assert_array_equal(
        el.nu[:2], [[-2, 0, 1, 1, 0, 0], [-2, -1, 1, 0, 1, 0]]
    )  # XYZ ignored
    assert [r is k[j] for j, r in enumerate(el.K)] == [True] * 3
    assert el.pure == {} and el.antoine == {} and el.henry == {} and el.vc == {}
    # non-empty tables are the caller's own objects; empty ones are replaced by new mappings
    antoine, henry, vc, empty = {"H2O": (1,) * 7}, {("CO2", "H2O"): (1, 2, 3, 4)}, {"H2O": 56.0}, {}
    el = model(carbonate_system, antoine=antoine, henry=henry, vc=vc)
    assert el.antoine is antoine and el.henry is henry and el.vc is vc
    el = model(carbonate_system, antoine=empty, henry=empty)
    assert el.antoine == {} and el.antoine is not empty and el.antoine is not el.henry


@pytest.mark.parametrize(
    "given, expected",
    [
        (None, {"lc_ref": "water-ratio", "fixed_Y": True, "henry_ref": "solvent"}),
        ({"henry_ref": "water"}, {"lc_ref": "water-ratio", "fixed_Y": True, "henry_ref": "water"}),
        (
            {"anything": 3, "fixed_Y": False},
            {"lc_ref": "water-ratio", "fixed_Y": False, "henry_ref": "solvent", "anything": 3},
        ),
    ],
)
def test_options_merge_over_defaults(given, expected):
    el = model(water_system, options=given)
    assert el.options == expected and el.options is not given


def test_construction_failures():
    sp, reactions, kinds, k, apparent = carbonate_system()
    with pytest.raises(KeyError) as e:
        Electrolyte(sp, reactions, kinds, k, ["H2O", "NH3"])
    assert e.value.args == ("NH3",)
    with pytest.raises(
        ValueError,
        match=r"^equilibrium constants missing \(Gibbs energies are not used here yet\)$",
    ):
        Electrolyte(sp, reactions, kinds, [k[0], None, k[2]], apparent)
    with pytest.raises(np.linalg.LinAlgError):
        Electrolyte(sp, reactions, ["DISS", "other", "x"], [None] * 3, apparent)
    with pytest.raises(ValueError, match="could not convert"):
        Electrolyte(sp, [{"H2O": "two"}] + reactions[1:], kinds, k, apparent)
    for args, kw in (
        ((sp, reactions, kinds, k), {}),
        ((sp, reactions, kinds, k, apparent) + (None,) * 5, {}),
        ((sp, reactions, kinds, k, apparent), {"colour": "red"}),
    ):
        with pytest.raises(TypeError):
            Electrolyte(*args, **kw)
    el = Electrolyte(
        sp=sp,
        reactions=reactions,
        kinds=kinds,
        k=k,
        apparent=apparent,
        antoine=None,
        henry=None,
        vc=None,
        options={"henry_ref": "mixture"},
    )
    assert el.options["henry_ref"] == "mixture"


def test_uninitialised_instance_refuses_to_work():
    assert not hasattr(Electrolyte(*water_system()), "_warm")
    # an instance whose __init__ never ran refuses to work instead of reading garbage
    bare = Electrolyte.__new__(Electrolyte)
    for use in (
        lambda: bare.K,
        lambda: bare.lnK(300.0),
        lambda: bare.true_amounts({"H2O": 1.0}, 300.0),
    ):
        with pytest.raises(TypeError, match="not initialised"):
            use()


def test_lnK():
    recs = [
        {"A": 1.0, "B": 0.0, "C": 0.0, "D": 0.0},
        {"A": 2.0, "B": -300.0, "C": 1.5, "D": 0.01, "E": 99},
    ]
    sp, reactions, kinds, _, apparent = water_system()
    el = Electrolyte(sp, reactions * 2, kinds * 2, recs, apparent)
    for T in (1.0, 298.15, 450.0):
        assert el.lnK(T)[0] == 1.0
        assert el.lnK(T)[1] == pytest.approx(
            2.0 - 300.0 / T + 1.5 * math.log(T) + 0.01 * T, rel=1e-15
        )
    assert el.lnK(1.0)[1] == pytest.approx(2.0 - 300.0 + 0.01)  # C ln T vanishes at 1 K
    assert el.lnK(298.15).shape == (2,)
    with pytest.raises(ZeroDivisionError):
        el.lnK(0.0)
    with pytest.raises(ValueError, match="^math domain error$"):
        el.lnK(-5.0)
    el.K[0] = {"A": 1.0, "B": 0.0, "D": 0.0}
    with pytest.raises(KeyError, match="C"):
        el.lnK(300.0)
