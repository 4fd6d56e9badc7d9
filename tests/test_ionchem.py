import types

import pytest

from velmora import ionchem


@pytest.mark.parametrize("chems", [None, {}, [], "absent"])
def test_no_chemistry_gives_empty_mapping(chems):
    fs = types.SimpleNamespace() if chems == "absent" else types.SimpleNamespace(chemistries=chems)
    assert ionchem.chemistries(fs) == {}


@pytest.mark.parametrize("as_pairs", [False, True])
def test_chemistries_keep_flowsheet_order(as_pairs):
    pairs = [("K3", {"species": ["a"]}), ("K1", {"species": ["b"]}), ("K2", {"species": ["c"]})]
    fs = types.SimpleNamespace(chemistries=pairs if as_pairs else dict(pairs))
    got = ionchem.chemistries(fs)
    assert list(got) == ["K3", "K1", "K2"]
    assert got["K1"] is pairs[1][1]
