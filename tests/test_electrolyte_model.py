"""Construction of the electrolyte model and its equilibrium constants."""

import math

import numpy as np
import pytest

from velmora.brinequil import Electrolyte
from conftest import K_WATER, Species, carbonate_system, model, water_system


def test_water_self_ionisation_gives_one_reaction_and_two_invariants():
    sp, reactions, kinds, k, apparent = water_system()
    sp.names = ["H2O", "H+", "OH-"]
    el = Electrolyte(sp, [{"H2O": -1, "H+": 1, "OH-": 1}], ["EQUIL"], k, ["H2O"])
    assert el.names is sp.names
    np.testing.assert_array_equal(el.nu, [[-1.0, 1.0, 1.0]])
    assert el.nu.dtype == np.float64 and el.B.dtype == np.float64
    assert el.B.shape == (2, 3)
    np.testing.assert_allclose(el.B @ el.B.T, np.eye(2), atol=1e-14)
    np.testing.assert_allclose(el.B @ [-1.0, 1.0, 1.0], 0.0, atol=1e-14)
    # B n is unchanged by any extent of the reaction
    n0 = np.array([1.0, 0.0, 0.0])
    np.testing.assert_allclose(el.B @ (n0 + 0.37 * el.nu[0]), el.B @ n0, atol=1e-14)


def test_record_attributes():
    sp, reactions, kinds, k, apparent = carbonate_system()
    reactions = reactions + [{"CO2": -1, "H2O": 1, "XYZ": 5}, {"H2O": -1, "CO2": 1}]
    kinds = kinds + ["equil", "DISS"]
    k = k + [None, None]
    el = Electrolyte(sp, (r for r in reactions), iter(kinds), iter(k), ("CO2", "H2O"))
    assert el.sp is sp
    assert el.apparent == ["CO2", "H2O"] and isinstance(el.apparent, list)
    assert el.app_idx == [1, 0]
    assert len(el.diss) == 1 and el.diss[0] is reactions[4]
    assert el.nu.shape == (3, 6)  # the lower-case "equil" reaction is ignored, its None too
    np.testing.assert_array_equal(el.nu[1], [-2, -1, 1, 0, 1, 0])
    assert [r is k[j] for j, r in enumerate(el.K)] == [True] * 3
    assert el.B.shape == (3, 6)
    assert el.pure == {} and el.antoine == {} and el.henry == {} and el.vc == {}


def test_duplicated_reaction_has_rank_one():
    sp, reactions, kinds, k, apparent = water_system()
    el = Electrolyte(sp, reactions * 2, kinds * 2, k * 2, apparent)
    assert el.nu.shape == (2, 3)
    assert el.B.shape == (2, 3)  # n_s - rank = 3 - 1, not 3 - 2
    np.testing.assert_allclose(el.nu @ el.B.T, 0.0, atol=1e-13)


def test_rank_threshold_is_absolute():
    # A reaction with tiny coefficients (singular value 1e-11 < 1e-10) counts as no reaction.
    sp = Species(["A", "B"])
    el = Electrolyte(sp, [{"A": -1e-11, "B": 1e-11 * 0.0}], ["EQUIL"], [K_WATER], ["A"])
    assert el.B.shape == (2, 2)
    el = Electrolyte(sp, [{"A": -1e-9}], ["EQUIL"], [K_WATER], ["A"])
    assert el.B.shape == (1, 2)


def test_tables_by_reference_and_empty_ones_replaced():
    antoine, henry, vc, empty = {"H2O": (1,) * 7}, {("CO2", "H2O"): (1, 2, 3, 4)}, {"H2O": 56.0}, {}
    el = model(carbonate_system, antoine=antoine, henry=henry, vc=vc)
    assert el.antoine is antoine and el.henry is henry and el.vc is vc
    el2 = model(carbonate_system, antoine=empty, henry=empty, vc=None)
    assert el2.antoine == {} and el2.antoine is not empty and el2.henry is not empty
    assert el2.antoine is not el2.henry


@pytest.mark.parametrize(
    "given, expected",
    [
        (None, {"lc_ref": "water-ratio", "fixed_Y": True, "henry_ref": "solvent"}),
        ({"henry_ref": "water"}, {"lc_ref": "water-ratio", "fixed_Y": True, "henry_ref": "water"}),
        ({"anything": 3, "fixed_Y": False},
         {"lc_ref": "water-ratio", "fixed_Y": False, "henry_ref": "solvent", "anything": 3}),
    ],
)
def test_options_merge_over_defaults(given, expected):
    el = model(water_system, options=given)
    assert el.options == expected
    assert el.options is not given


def test_construction_failures():
    sp, reactions, kinds, k, apparent = carbonate_system()
    with pytest.raises(KeyError) as e:
        Electrolyte(sp, reactions, kinds, k, ["H2O", "NH3"])
    assert e.value.args == ("NH3",)
    with pytest.raises(ValueError, match=r"^equilibrium constants missing \(Gibbs energies are not used here yet\)$"):
        Electrolyte(sp, reactions, kinds, [k[0], None, k[2]], apparent)
    with pytest.raises(np.linalg.LinAlgError):
        Electrolyte(sp, reactions, ["DISS", "other", "x"], [None] * 3, apparent)
    with pytest.raises(TypeError):
        Electrolyte(sp, reactions, kinds, k)
    with pytest.raises(TypeError):
        Electrolyte(sp, reactions, kinds, k, apparent, None, None, None, None, None)
    with pytest.raises(TypeError):
        Electrolyte(sp, reactions, kinds, k, apparent, colour="red")
    with pytest.raises((TypeError, ValueError)):
        Electrolyte(sp, [{"H2O": "two"}] + reactions[1:], kinds, k, apparent)
    # keywords work for every parameter
    el = Electrolyte(sp=sp, reactions=reactions, kinds=kinds, k=k, apparent=apparent,
                     antoine=None, henry=None, vc=None, options={"henry_ref": "mixture"})
    assert el.options["henry_ref"] == "mixture"


def test_subclass_and_later_attributes():
    class Mine(Electrolyte):
        def label(self):
            return "mine:" + ",".join(self.apparent)

    el = Mine(*water_system())
    assert el.label() == "mine:H2O"
    el.key, el.water, el.source = "0123456789abcdef", "H2O", None
    assert (el.key, el.water, el.source) == ("0123456789abcdef", "H2O", None)
    assert not hasattr(el, "_warm")
    # an instance whose __init__ never ran refuses to work instead of reading garbage
    bare = Electrolyte.__new__(Electrolyte)
    for use in (lambda: bare.K, lambda: bare.lnK(300.0), lambda: bare.true_amounts({"H2O": 1.0}, 300.0)):
        with pytest.raises(TypeError, match="not initialised"):
            use()


def test_lnK_correlation():
    recs = [{"A": 1.0, "B": 0.0, "C": 0.0, "D": 0.0}, {"A": 2.0, "B": -300.0, "C": 1.5, "D": 0.01, "E": 99}]
    sp, reactions, kinds, k, apparent = water_system()
    el = Electrolyte(sp, reactions * 2, kinds * 2, recs, apparent)
    for T in (1.0, 298.15, 450.0):
        got = el.lnK(T)
        assert got.shape == (2,)
        assert got[0] == 1.0
        assert got[1] == pytest.approx(2.0 - 300.0 / T + 1.5 * math.log(T) + 0.01 * T, rel=1e-15)
    assert el.lnK(1.0)[1] == pytest.approx(2.0 - 300.0 + 0.01)
    # Kw from the mole-fraction constant: pKw(25 C, molal) = 13.998 (Edwards et al. 1978)
    el = model(water_system)
    lnKx = el.lnK(298.15)[0]
    assert el.lnK(298.15).shape == (1,)
    pKw = -(lnKx + 2 * math.log(55.508)) / math.log(10)
    assert pKw == pytest.approx(13.998, abs=2e-3)


def test_lnK_failures():
    el = model(water_system)
    with pytest.raises(ZeroDivisionError):
        el.lnK(0.0)
    with pytest.raises(ValueError, match="^math domain error$"):
        el.lnK(-5.0)
    el.K[0] = {"A": 1.0, "B": 0.0, "D": 0.0}
    with pytest.raises(KeyError, match="C"):
        el.lnK(300.0)
