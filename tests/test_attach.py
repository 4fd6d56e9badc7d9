"""Models built from a parameter report, their pickling, and attaching them to a flowsheet."""

import copy
import os
import pickle
import pickletools
import sys
import types

import numpy as np
import pytest

import velmora.brinequil as bq
import velmora.ionactivity
from conftest import (
    ALIASES,
    ANTOINE_H2O,
    CARB,
    CHARGES,
    HENRY_CO2_H2O,
    K_CO2,
    NO_ENGINE,
    Species,
    raiser,
)
from velmora import notices
from velmora.phasekit import Flowsheet, PropertyPackage

pytestmark = pytest.mark.usefixtures("report_cache")


class Reader:
    """Stands in for velmora.ionactivity.species_from_report and records its calls."""

    def __init__(self, change=None):
        self.calls, self.change = [], change or (lambda *read: read)

    def __call__(self, text, names, henry):
        self.calls.append((text, list(names), henry))
        data = {
            "antoine": {"H2O": ANTOINE_H2O},
            "henry": {("CO2", "H2O"): HENRY_CO2_H2O} if henry else {},
            "vc": {"H2O": 0.05595},
            "pure": {"HCO3-": {"tdep": {}, "scalar": {"DHF_AQ": [-6.92e8]}}},
        }
        return self.change(Species(names, charges=CHARGES, henry=list(henry or ())), data)


@pytest.fixture
def reader(monkeypatch):
    monkeypatch.setattr(velmora.ionactivity, "species_from_report", Reader())
    return velmora.ionactivity.species_from_report


@pytest.fixture
def log(monkeypatch):
    monkeypatch.setattr(notices, "log", notices.Log())
    return notices.log


class Carbonate(bq.Electrolyte):
    pass


@pytest.mark.parametrize(
    "kwargs, stored",
    [
        ({}, ()),
        ({"henry": None}, ()),
        ({"henry": []}, ()),
        ({"henry": ["CO2"]}, ("CO2",)),
    ],
)
def test_from_report_builds_the_class_it_is_called_on(reader, kwargs, stored):
    el = Carbonate.from_report("REPORT", CARB, ("H2O", "CO2"), **kwargs)
    order = ["H2O", "CO2", "H3O+", "HCO3-"]  # apparent first, then the chemistry's order
    assert type(el) is Carbonate and reader.calls == [("REPORT", order, kwargs.get("henry", ()))]
    assert list(el.names) == order and list(el.apparent) == ["H2O", "CO2"]
    np.testing.assert_array_equal(el.nu, [[-2.0, -1.0, 1.0, 1.0]])
    text, chem, app, henry = el.source
    assert (text, app, henry) == ("REPORT", ["H2O", "CO2"], stored) and chem is CARB
    assert type(app) is list and type(henry) is tuple
    assert el.pure["HCO3-"]["scalar"]["DHF_AQ"] == [-6.92e8]
    assert el.antoine == {"H2O": ANTOINE_H2O} and el.vc == {"H2O": 0.05595}
    assert el.options == {"lc_ref": "water-ratio", "fixed_Y": True, "henry_ref": "solvent"}


@pytest.mark.parametrize(
    "chem_change, read_change, text",
    [
        ({"k": None}, None, "KeyError 'k'"),
        ({"species": None}, None, "KeyError 'species'"),
        (
            {"k": [None]},
            None,
            "ValueError equilibrium constants missing (Gibbs energies are not used here yet)",
        ),
        (
            {},
            lambda sp, data: (sp, data, None),
            "ValueError too many values to unpack (expected 2)",
        ),
        ({}, lambda sp, data: (sp,), "ValueError not enough values to unpack (expected 2, got 1)"),
        (
            {},
            lambda sp, data: (sp, {k: v for k, v in data.items() if k != "pure"}),
            "KeyError 'pure'",
        ),
    ],
)
def test_from_report_failures(monkeypatch, chem_change, read_change, text):
    monkeypatch.setattr(velmora.ionactivity, "species_from_report", Reader(read_change))
    chem = {k: v for k, v in dict(CARB, **chem_change).items() if v is not None}
    with pytest.raises((KeyError, ValueError)) as err:
        bq.Electrolyte.from_report("REPORT", chem, ["H2O", "CO2"])
    assert f"{type(err.value).__name__} {err.value}" == text


@pytest.mark.parametrize(
    "clone",
    [
        lambda el: pickle.loads(pickle.dumps(el)),
        lambda el: pickle.loads(pickle.dumps(el, protocol=0)),
        copy.copy,
        copy.deepcopy,
    ],
    ids=["pickle", "pickle-0", "copy", "deepcopy"],
)
def test_pickle_round_trip_rebuilds_from_the_report(reader, clone, monkeypatch):
    monkeypatch.setitem(
        sys.modules, "velmora.enginebridge", None
    )  # neither engine nor cache needed
    el = Carbonate.from_report("REPORT", CARB, ["H2O", "CO2"], henry=["CO2"])
    el.key, el.water = "0123456789abcdef", "H2O"
    el.options = dict(el.options, henry_ref="water", extra=1)
    el._warm = "warm start"
    other = clone(el)
    assert type(other) is bq.Electrolyte and other is not el and not hasattr(other, "_warm")
    assert list(other.names) == list(el.names) == ["H2O", "CO2", "H3O+", "HCO3-"]
    assert (other.key, other.water) == (el.key, el.water)
    assert other.options == {
        "lc_ref": "water-ratio",
        "fixed_Y": True,
        "henry_ref": "water",
        "extra": 1,
    }
    assert other.source[0] == "REPORT" and other.source[2:] == (["H2O", "CO2"], ("CO2",))
    assert other.henry == el.henry and other.pure == el.pure
    np.testing.assert_array_equal(other.B, el.B)
    assert reader.calls[-1] == ("REPORT", ["H2O", "CO2", "H3O+", "HCO3-"], ("CO2",))


def test_reduce_form_and_models_without_report(reader):
    el = Carbonate.from_report("REPORT", CARB, ["H2O", "CO2"])
    func, (source, state) = el.__reduce__()  # never attached: only the options travel
    assert func is bq._rebuild and source is el.source and state == {"options": el.options}
    blob = pickle.dumps(el, protocol=0)
    assert [a for op, a, _ in pickletools.genops(blob) if op.name == "GLOBAL"] == [
        "velmora.brinequil _rebuild"
    ]
    el.water, el.key = "H2O", "fedcba9876543210"
    assert list(el.__reduce__()[1][1]) == ["key", "water", "options"]
    bare = bq.Electrolyte(el.sp, CARB["reactions"], ["EQUIL"], [K_CO2], ["H2O", "CO2"])
    no_source = lambda e: setattr(e, "source", None) or e.__reduce__()  # noqa: E731
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy, no_source):
        with pytest.raises(TypeError) as err:
            attempt(bare)
        assert str(err.value) == "an electrolyte liquid without its report cannot be pickled"
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 4, got 3\)"):
        bq._rebuild(("REPORT", CARB, ["H2O"]), {})


# ---- attach ----------------------------------------------------------------------------------

CARB_NAMED = {
    "species": ["H3O+", "HCO3-", "Water", "Carbon dioxide"],  # under the component names
    "reactions": [{"Water": -2, "Carbon dioxide": -1, "H3O+": 1, "HCO3-": 1}],
    "kinds": ["EQUIL"],
    "k": [K_CO2],
}


def flowsheet(chems, components=("Water", "Carbon dioxide"), aliases=ALIASES, henry=()):
    pp = PropertyPackage(list(components), method="ENRTL", henry_comps=henry)
    return Flowsheet(pp, {"aliases": aliases} if aliases is not None else {}, chems)


def test_attach_without_chemistry_leaves_the_apparent_liquid(log, engine):
    fs = flowsheet({})
    fs.pp.elec = "an earlier model"
    assert (
        bq.attach(fs) is None and fs.pp.elec is None and log.messages() == [] and engine.calls == []
    )


def test_attach_uses_the_first_of_several_chemistries(log, engine, reader):
    fs = flowsheet({"K1": CARB_NAMED, "K2": {}, "K3": {}}, henry=["Carbon dioxide"])
    el = bq.attach(fs)
    assert el is fs.pp.elec and type(el) is bq.Electrolyte
    assert list(log.records) == [
        ("WARNING", "Chemistry K1 used; K2, K3 left out (one chemistry per model)"),
        ("INFO", "Chemistry K1: electrolyte liquid (eNRTL, 4 true species) in the flashes"),
    ]
    assert engine.calls[0] == (
        "input_header",
        ALIASES,
        "eNRTL",
        ["Carbon dioxide"],
        ("K1", CARB_NAMED),
    )
    assert el.key == bq.report_key(ALIASES, CARB_NAMED, ["Carbon dioxide"]) and el.water == "Water"
    assert el.source[2:] == (["Water", "Carbon dioxide"], ("Carbon dioxide",))


def test_attach_twice_keeps_the_model_without_reading_again(log, engine, reader, monkeypatch):
    fs = flowsheet({"K1": CARB_NAMED})
    first = bq.attach(fs)
    log.clear()
    keys = []
    with monkeypatch.context() as patch:  # the key is recomputed; fetching the report would fail
        patch.setattr(bq, "report_key", lambda *args: keys.append(args) or first.key)
        patch.setattr(bq, "parameter_report", None)
        assert bq.attach(fs) is first and fs.pp.elec is first
    assert len(keys) == 1 and log.messages() == [] and len(reader.calls) == 1
    assert os.listdir(bq._cache_dir()) == [first.key + ".rep"]
    # Other Henry components: a new key and model. Going back (no henry_comps at all is the same
    # as none) reads the cached report without the engine.
    fs.pp.henry_comps = ("Carbon dioxide",)
    second = bq.attach(fs)
    engine.available = False
    del fs.pp.henry_comps
    third = bq.attach(fs)
    assert second.key != first.key and third not in (first, second) and third.key == first.key


@pytest.mark.parametrize(
    "components, aliases, water",
    [
        (("Water", "Carbon dioxide"), {"Water": "h2o", "Carbon dioxide": "CO2"}, "Water"),
        (("CO2", "h2o"), None, "h2o"),
        (("CO2", "h2o"), {}, "h2o"),
        (("CO2", "Steam", "H2O"), {"CO2": "CO2", "Steam": "H2O", "H2O": "WATER"}, "Steam"),
        (("CO2", "Wasser"), None, "WATER"),
    ],
)
def test_attach_finds_the_water_component(log, engine, reader, components, aliases, water):
    chem = dict(
        CARB, species=["H3O+", "HCO3-"] + list(components), reactions=[{"H3O+": 1, "HCO3-": 1}]
    )
    assert bq.attach(flowsheet({"C": chem}, components, aliases)).water == water
    expected = aliases or {c: c for c in components}
    assert engine.calls[0][1] == expected and list(engine.calls[0][1]) == list(expected)


@pytest.mark.parametrize(
    "engine_change, chem_change, reason",
    [
        ({"available": False}, {}, NO_ENGINE),
        ({}, {"k": [None]}, "equilibrium constants missing (Gibbs energies are not used here yet)"),
        ({}, {"reactions": None}, "'reactions'"),
        (
            {"run_input": raiser(NotImplementedError("no reader"))},
            {},
            "no reader",
        ),  # RuntimeError's kin
        ({"run_input": raiser(UnicodeError("bad text"))}, {}, "bad text"),  # ValueError's kin
    ],
)
def test_attach_reports_a_chemistry_it_cannot_use(
    log, engine, reader, engine_change, chem_change, reason
):
    vars(engine).update(engine_change)
    chem = {k: v for k, v in dict(CARB_NAMED, **chem_change).items() if v is not None}
    fs = flowsheet({"K1": chem})
    fs.pp.elec = types.SimpleNamespace(key="an older key")
    assert bq.attach(fs) is None and fs.pp.elec is None
    assert list(log.records) == [
        (
            "WARNING",
            f"Chemistry K1 not used in the flashes ({reason}): "
            "the liquid is the apparent one of ENRTL",
        )
    ]


@pytest.mark.parametrize(
    "exc, attr",
    [
        (LookupError("other"), None),
        (OSError(13, "denied"), None),
        (TypeError("bad type"), None),
        (KeyError("henry table"), "henry_comps"),
        (KeyError("no model"), "elec"),
    ],
)
def test_attach_lets_other_errors_through(log, engine, reader, exc, attr):
    fs = flowsheet({"K1": CARB_NAMED})
    before = fs.pp.elec = types.SimpleNamespace(key="an older key")
    if attr:  # a package attribute whose lookup fails otherwise than by being absent
        fs.pp.__class__ = type("Package", (PropertyPackage,), {attr: property(raiser(exc))})
    else:
        engine.run_input = raiser(exc)
    with pytest.raises(type(exc)):
        bq.attach(fs)
    assert vars(fs.pp)["elec"] is before and list(log.records) == []
