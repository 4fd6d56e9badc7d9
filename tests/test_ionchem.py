import types

import pytest

from velmora import ionchem


PAIRS = [("K3", {"species": ["a"]}), ("K1", {"species": ["b"]}), ("K2", {"species": ["c"]})]


@pytest.mark.parametrize("chems", [None, {}, [], "absent", PAIRS, dict(PAIRS)])
def test_chemistries_in_flowsheet_order_or_empty(chems):
    fs = types.SimpleNamespace() if chems == "absent" else types.SimpleNamespace(chemistries=chems)
    got = ionchem.chemistries(fs)
    assert list(got) == (["K3", "K1", "K2"] if chems in (PAIRS, dict(PAIRS)) else [])
    assert all(got[cid] is chem for cid, chem in PAIRS if cid in got)


def test_builtin_chemistries_are_complete_and_renamed_by_aliases():
    for name in ionchem.names():
        chem = ionchem.builtin(name, {"Water": "h2o"})
        assert "Water" in chem["species"] and "H2O" not in chem["species"]
        assert len(chem["reactions"]) == len(chem["kinds"]) == len(chem["k"])
        for reac, kind, k in zip(chem["reactions"], chem["kinds"], chem["k"]):
            assert set(reac) <= set(chem["species"])
            assert (k is None) == (kind == "DISS")
    assert ionchem.builtin("NaCl-H2O")["kinds"] == ["DISS", "EQUIL"]


def test_unknown_builtin_lists_the_names():
    with pytest.raises(ValueError, match="MEA-CO2-H2O"):
        ionchem.builtin("MEA-H2S")


def test_chemistry_given_by_name_uses_flowsheet_aliases():
    fs = types.SimpleNamespace(
        meta={"aliases": {"WATER": "H2O", "CO2": "CO2"}}, chemistries={"C1": "CO2-H2O"}
    )
    chem = ionchem.chemistries(fs)["C1"]
    assert chem["species"][:2] == ["WATER", "CO2"]
    assert chem["reactions"][0] == {"WATER": -2.0, "H3O+": 1.0, "OH-": 1.0}
