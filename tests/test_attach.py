"""Models built from a parameter report, their pickling, and attaching them to a flowsheet."""

import copy
import os
import pickle
import pickletools
import subprocess
import sys
import types

import numpy as np
import pytest

import velmora.brinequil as bq
import velmora.ionactivity
from conftest import ANTOINE_H2O, CHARGES, HENRY_CO2_H2O, K_CO2, K_WATER, Species
from velmora import notices
from velmora.phasekit import Flowsheet, PropertyPackage

# Species deliberately not in the apparent order: the model's order is apparent first.
CARB = {
    "species": ["H3O+", "HCO3-", "H2O", "CO2"],
    "reactions": [{"H2O": -2, "CO2": -1, "H3O+": 1, "HCO3-": 1}],
    "kinds": ["EQUIL"],
    "k": [K_CO2],
}
WATER_ONLY = {
    "species": ["H2O", "H3O+", "OH-"],
    "reactions": [{"H2O": -2, "H3O+": 1, "OH-": 1}],
    "kinds": ["EQUIL"],
    "k": [K_WATER],
}


class Reader:
    """Stands in for velmora.ionactivity.species_from_report and records its calls."""

    def __init__(self):
        self.calls = []

    def __call__(self, text, names, henry):
        self.calls.append((text, list(names), henry))
        data = {
            "antoine": {"H2O": ANTOINE_H2O},
            "henry": {("CO2", "H2O"): HENRY_CO2_H2O} if henry else {},
            "vc": {"H2O": 0.05595},
            "pure": {"HCO3-": {"tdep": {}, "scalar": {"DHF_AQ": [-6.92e8]}}},
        }
        return Species(names, charges=CHARGES, henry=list(henry or ())), data


NO_ENGINE = "the eNRTL parameters need the simulation engine once (not available here)"


@pytest.fixture(autouse=True)
def isolated(report_cache):
    return report_cache


@pytest.fixture
def reader(monkeypatch):
    double = Reader()
    monkeypatch.setattr(velmora.ionactivity, "species_from_report", double)
    return double


@pytest.fixture
def engine(fake_engine):
    fake_engine.report = "REPORT carbonate"
    return fake_engine


@pytest.fixture
def log(monkeypatch):
    fresh = notices.Log()
    monkeypatch.setattr(notices, "log", fresh)
    return fresh


class Carbonate(bq.Electrolyte):
    pass


# ---- from_report -----------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs, stored", [
    ({}, ()), ({"henry": None}, ()), ({"henry": []}, ()), ({"henry": ["CO2"]}, ("CO2",)),
])
def test_from_report_builds_the_class_it_is_called_on(reader, kwargs, stored):
    apparent = ("H2O", "CO2")
    el = Carbonate.from_report("REPORT", CARB, apparent, **kwargs)
    assert type(el) is Carbonate
    order = ["H2O", "CO2", "H3O+", "HCO3-"]
    assert reader.calls == [("REPORT", order, kwargs.get("henry", ()))]
    assert list(el.names) == order and list(el.apparent) == ["H2O", "CO2"]
    np.testing.assert_array_equal(el.nu, [[-2.0, -1.0, 1.0, 1.0]])
    text, chem, app, henry = el.source
    assert (text, app, henry) == ("REPORT", ["H2O", "CO2"], stored) and chem is CARB
    assert type(app) is list and type(henry) is tuple
    assert el.pure["HCO3-"]["scalar"]["DHF_AQ"] == [-6.92e8]
    assert el.antoine == {"H2O": ANTOINE_H2O} and el.vc == {"H2O": 0.05595}
    assert el.options == {"lc_ref": "water-ratio", "fixed_Y": True, "henry_ref": "solvent"}


@pytest.mark.parametrize("chem_change, read_change, text", [
    ({"k": None}, None, "KeyError 'k'"),
    ({"species": None}, None, "KeyError 'species'"),
    ({"k": [None]}, None, "ValueError equilibrium constants missing (Gibbs energies are not used here yet)"),
    ({}, lambda sp, data: (sp, data, None), "ValueError too many values to unpack (expected 2)"),
    ({}, lambda sp, data: (sp,), "ValueError not enough values to unpack (expected 2, got 1)"),
    ({}, lambda sp, data: (sp, {k: v for k, v in data.items() if k != "pure"}), "KeyError 'pure'"),
])
def test_from_report_failures(monkeypatch, chem_change, read_change, text):
    reader = Reader()
    monkeypatch.setattr(velmora.ionactivity, "species_from_report",
                        lambda *args: (read_change or (lambda *r: r))(*reader(*args)))
    chem = {k: v for k, v in dict(CARB, **chem_change).items() if v is not None}
    with pytest.raises((KeyError, ValueError)) as err:
        bq.Electrolyte.from_report("REPORT", chem, ["H2O", "CO2"])
    assert f"{type(err.value).__name__} {err.value}" == text


# ---- pickling --------------------------------------------------------------------------------

def pickled_globals(blob):
    """The module-level names a pickle refers to."""
    strings, found = [], []
    for op, arg, _ in pickletools.genops(blob):
        if op.name in ("SHORT_BINUNICODE", "BINUNICODE", "UNICODE"):
            strings.append(arg)
        elif op.name == "STACK_GLOBAL":
            found.append(tuple(strings[-2:]))
        elif op.name == "GLOBAL":
            found.append(tuple(arg.split(" ")))
    return found


@pytest.mark.parametrize("clone", [
    lambda el: pickle.loads(pickle.dumps(el)),
    lambda el: pickle.loads(pickle.dumps(el, protocol=0)),
    copy.copy,
    copy.deepcopy,
], ids=["pickle", "pickle-0", "copy", "deepcopy"])
def test_pickle_round_trip_rebuilds_from_the_report(reader, clone):
    el = Carbonate.from_report("REPORT", CARB, ["H2O", "CO2"], henry=["CO2"])
    el.key, el.water = "0123456789abcdef", "H2O"
    el.options = dict(el.options, henry_ref="water", extra=1)
    el._warm = "warm start"
    other = clone(el)
    assert type(other) is bq.Electrolyte and other is not el
    assert list(other.names) == list(el.names) == ["H2O", "CO2", "H3O+", "HCO3-"]
    assert (other.key, other.water) == (el.key, el.water)
    assert other.options == {"lc_ref": "water-ratio", "fixed_Y": True, "henry_ref": "water", "extra": 1}
    assert other.source[0] == "REPORT" and other.source[2:] == (["H2O", "CO2"], ("CO2",))
    assert other.henry == el.henry and other.pure == el.pure
    np.testing.assert_array_equal(other.B, el.B)
    assert not hasattr(other, "_warm")
    assert reader.calls[-1] == ("REPORT", ["H2O", "CO2", "H3O+", "HCO3-"], ("CO2",))


def test_pickle_names_only_the_rebuild_function(reader):
    el = bq.Electrolyte.from_report("REPORT", CARB, ["H2O", "CO2"])
    # Never attached: only the options travel.
    func, (source, state) = el.__reduce__()
    assert func is bq._rebuild and source is el.source and state == {"options": el.options}
    assert pickled_globals(pickle.dumps(el)) == [("velmora.brinequil", "_rebuild")]
    el.water, el.key = "H2O", "fedcba9876543210"
    assert list(el.__reduce__()[1][1]) == ["key", "water", "options"]


def test_model_without_report_cannot_be_pickled():
    sp = Species(["H2O", "H3O+", "OH-"], charges=CHARGES)
    el = bq.Electrolyte(sp, WATER_ONLY["reactions"], ["EQUIL"], [K_WATER], ["H2O"])
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError) as err:
            attempt(el)
        assert str(err.value) == "an electrolyte liquid without its report cannot be pickled"
    el.source = None
    with pytest.raises(TypeError):
        pickle.dumps(el)
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 4, got 3\)"):
        bq._rebuild(("REPORT", CARB, ["H2O"]), {})


# ---- attach ----------------------------------------------------------------------------------

def flowsheet(chems, components=("Water", "Carbon dioxide"), aliases=None, henry=()):
    pp = PropertyPackage(list(components), method="ENRTL", henry_comps=henry)
    return Flowsheet(pp, {"aliases": aliases} if aliases is not None else {}, chems)


ALIASES = {"Water": "H2O", "Carbon dioxide": "CO2"}
CARB_NAMED = {  # the carbonate chemistry under the flowsheet's component names
    "species": ["H3O+", "HCO3-", "Water", "Carbon dioxide"],
    "reactions": [{"Water": -2, "Carbon dioxide": -1, "H3O+": 1, "HCO3-": 1}],
    "kinds": ["EQUIL"],
    "k": [K_CO2],
}


def test_attach_without_chemistry_leaves_the_apparent_liquid(log, engine):
    fs = flowsheet({})
    fs.pp.elec = "an earlier model"
    assert bq.attach(fs) is None and fs.pp.elec is None
    assert log.messages() == [] and engine.calls == []


def test_attach_uses_the_first_of_several_chemistries(log, engine, reader):
    fs = flowsheet({"K1": CARB_NAMED, "K2": WATER_ONLY, "K3": WATER_ONLY}, aliases=ALIASES,
                   henry=["Carbon dioxide"])
    el = bq.attach(fs)
    assert el is fs.pp.elec and type(el) is bq.Electrolyte
    assert log.records[0] == ("WARNING", "Chemistry K1 used; K2, K3 left out (one chemistry per model)")
    assert log.records[1] == ("INFO", "Chemistry K1: electrolyte liquid (eNRTL, 4 true species) in the flashes")
    assert len(log.records) == 2
    assert engine.calls[0] == ("input_header", ALIASES, "eNRTL", ["Carbon dioxide"], ("K1", CARB_NAMED))
    assert el.key == bq.report_key(ALIASES, CARB_NAMED, ["Carbon dioxide"])
    assert el.water == "Water" and list(el.apparent) == ["Water", "Carbon dioxide"]
    assert el.source[0] == "REPORT carbonate" and el.source[3] == ("Carbon dioxide",)


def test_attach_twice_keeps_the_model_without_reading_again(log, engine, reader, monkeypatch):
    fs = flowsheet({"K1": CARB_NAMED}, aliases=ALIASES)
    first = bq.attach(fs)
    log.clear()
    # Any attempt to fetch the report again would now fail loudly.
    with monkeypatch.context() as patch:
        patch.setattr(bq, "parameter_report", None)
        assert bq.attach(fs) is first and fs.pp.elec is first
    assert log.messages() == [] and len(reader.calls) == 1
    assert os.listdir(bq._cache_dir()) == [first.key + ".rep"]
    # A change of the Henry components is a new key and a new model; going back reads the
    # cached report without the engine.
    fs.pp.henry_comps = ("Carbon dioxide",)
    second = bq.attach(fs)
    assert second is not first and second.key != first.key
    engine.available = False
    fs.pp.henry_comps = ()
    third = bq.attach(fs)
    assert third is not second and third.key == first.key


@pytest.mark.parametrize("components, aliases, water", [
    (("Water", "Carbon dioxide"), {"Water": "h2o", "Carbon dioxide": "CO2"}, "Water"),
    (("CO2", "h2o"), None, "h2o"),
    (("CO2", "h2o"), {}, "h2o"),
    (("CO2", "Steam", "H2O"), {"CO2": "CO2", "Steam": "H2O", "H2O": "WATER"}, "Steam"),
    (("CO2", "Wasser"), None, "WATER"),
])
def test_attach_finds_the_water_component(log, engine, reader, components, aliases, water):
    chem = {"species": ["H3O+", "HCO3-"] + list(components), "reactions": [{"H3O+": 1, "HCO3-": 1}],
            "kinds": ["EQUIL"], "k": [K_CO2]}
    el = bq.attach(flowsheet({"C": chem}, components, aliases))
    assert el.water == water
    expected = dict(aliases) if aliases else {c: c for c in components}
    assert engine.calls[0][1] == expected and list(engine.calls[0][1]) == list(expected)


def test_attach_without_henry_attribute_matches_empty_henry(log, engine, reader):
    bare = types.SimpleNamespace(components=["Water", "Carbon dioxide"], method="ENRTL")
    el = bq.attach(types.SimpleNamespace(pp=bare, meta={"aliases": ALIASES}, chemistries={"K1": CARB_NAMED}))
    assert el.key == bq.report_key(ALIASES, CARB_NAMED, None)
    assert engine.calls[0][3] is None and el.source[3] == ()


class Boom(Exception):
    pass


@pytest.mark.parametrize("setup, reason", [
    (lambda eng, rd, chem: setattr(eng, "available", False), NO_ENGINE),
    (lambda eng, rd, chem: chem.update(k=[None]),
     "equilibrium constants missing (Gibbs energies are not used here yet)"),
    (lambda eng, rd, chem: chem.pop("reactions"), "'reactions'"),
    (lambda eng, rd, chem: setattr(eng, "run_input", rd(NotImplementedError("no reader"))), "no reader"),
    (lambda eng, rd, chem: setattr(eng, "run_input", rd(UnicodeError("bad text"))), "bad text"),
])
def test_attach_reports_a_chemistry_it_cannot_use(log, engine, reader, setup, reason):
    chem = dict(CARB_NAMED)
    fs = flowsheet({"K1": chem}, aliases=ALIASES)
    fs.pp.elec = types.SimpleNamespace(key="an older key")

    def raiser(exc):
        def run(*args, **kwargs):
            raise exc
        return run

    setup(engine, raiser, chem)
    assert bq.attach(fs) is None and fs.pp.elec is None
    assert list(log.records) == [("WARNING", f"Chemistry K1 not used in the flashes ({reason}): "
                                       "the liquid is the apparent one of ENRTL")]


@pytest.mark.parametrize("exc", [Boom("other"), OSError(13, "denied"), TypeError("bad type")])
def test_attach_lets_other_errors_through(log, engine, reader, exc):
    def run(*args, **kwargs):
        raise exc

    engine.run_input = run
    fs = flowsheet({"K1": CARB_NAMED}, aliases=ALIASES)
    before = fs.pp.elec = types.SimpleNamespace(key="an older key")
    with pytest.raises(type(exc)):
        bq.attach(fs)
    assert fs.pp.elec is before and list(log.records) == []


def test_real_report_survives_a_fresh_interpreter():
    # The documented CO2-water report read by the real activity-model reader; the pickle is
    # loaded in a new process that has neither the engine nor the cache.
    from enrtl_reports import CO2_NAMES, doc_example
    chem = {"species": CO2_NAMES,
            "reactions": [{"H2O": -2, "H3O+": 1, "OH-": 1}, {"H2O": -2, "CO2": -1, "H3O+": 1, "HCO3-": 1}],
            "kinds": ["EQUIL", "EQUIL"], "k": [K_WATER, K_CO2]}
    el = bq.Electrolyte.from_report(doc_example(), chem, ["H2O", "CO2"], henry=["CO2"])
    el.key, el.water = "0123456789abcdef", "H2O"
    code = ("import pickle, sys; el = pickle.loads(sys.stdin.buffer.read());"
            "print(list(el.names), el.key, el.water, sorted(el.henry), el.vc)")
    env = dict(os.environ, LOCALAPPDATA=os.path.join(os.sep, "nonexistent", "cache"))
    out = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(el), capture_output=True, env=env)
    assert out.returncode == 0, out.stderr.decode()
    assert out.stdout.decode().strip() == (f"{list(el.names)} 0123456789abcdef H2O "
                                           f"{sorted(el.henry)} {el.vc}")
    assert list(el.names) == CO2_NAMES


@pytest.mark.parametrize("attr", ["henry_comps", "elec"])
def test_attach_lets_errors_of_attribute_lookups_through(log, engine, reader, attr):
    # Only a missing attribute counts as absent.
    Package = type("Package", (), {"components": ["Water", "Carbon dioxide"], "method": "ENRTL",
                                   attr: property(lambda self: {}[attr])})
    with pytest.raises(KeyError, match=attr):
        bq.attach(types.SimpleNamespace(pp=Package(), meta={}, chemistries={"K1": CARB_NAMED}))
