"""Parameter-report cache: folder, key, reading and writing reports."""

import errno
import hashlib
import json
import os
import subprocess
import sys
import textwrap
from fractions import Fraction

import pytest

import velmora.brinequil as bq

NO_ENGINE = "the eNRTL parameters need the simulation engine once (not available here)"

ALIASES = {"Water": "H2O", "Carbon dioxide": "CO2"}
CHEM = {
    "species": ["H2O", "CO2", "H3O+", "HCO3-"],
    "reactions": [{"H2O": -2.0, "CO2": -1.0, "H3O+": 1.0, "HCO3-": 1.0}],
    "kinds": ["EQUIL"],
    "k": [{"A": 231.465, "B": -12092.1, "C": -36.7816, "D": 0.0}],
}


@pytest.fixture(autouse=True)
def cache(report_cache):
    return report_cache


@pytest.fixture
def engine(fake_engine):
    return fake_engine


def test_cache_folder_follows_localappdata_then_home(tmp_path, monkeypatch):
    local = tmp_path / "appdata"
    monkeypatch.setenv("LOCALAPPDATA", str(local))
    assert bq._cache_dir() == os.path.join(str(local), "Velmora", "elec")
    home_cache = os.path.join(str(tmp_path / "home"), ".cache", "Velmora", "elec")
    monkeypatch.setenv("LOCALAPPDATA", "")
    assert bq._cache_dir() == home_cache
    monkeypatch.delenv("LOCALAPPDATA")
    assert bq._cache_dir() == home_cache
    assert not os.path.exists(home_cache)  # the folder is only named, not created


def test_report_key_is_the_head_of_sha1_over_the_hosts_json():
    # Non-ASCII text, a value without JSON form, a tuple, small and large floats, None.
    aliases = {"Wasser ü": "H2O", "CO2": "CO2", "Amine": "MEA"}
    chem = {
        "species": ("H2O", "CO2", "MEAH+", "MEACOO-"),
        "reactions": [{"MEA": -2, "CO2": Fraction(-1, 1), "MEAH+": 1, "MEACOO-": 1.0}],
        "kinds": ["EQUIL"],
        "k": [{"D": 1e-05, "C": -1.5e16, "B": -3090.83, "A": None}],
        "label": "ignored",
    }
    items = [sorted([k, v] for k, v in aliases.items()), list(chem["species"]), chem["reactions"],
             chem["kinds"], chem["k"], ["MEA", "CO2"][::-1]]
    text = json.dumps(items, sort_keys=True, default=str)
    assert "\\u00fc" in text and '"-1"' in text and "1e-05" in text
    expected = hashlib.sha1(text.encode("utf-8")).hexdigest()[:16]
    assert bq.report_key(aliases, chem, ["MEA", "CO2"]) == expected
    assert bq.report_key(aliases=aliases, chem=chem, henry=("CO2", "MEA")) == expected


def test_report_key_ignores_order_and_empty_henry():
    key = bq.report_key(ALIASES, CHEM, None)
    assert len(key) == 16 and set(key) <= set("0123456789abcdef")
    reordered = {k: (dict(reversed(list(v.items()))) if isinstance(v, dict) else v)
                 for k, v in reversed(list(CHEM.items()))}
    reordered["reactions"] = [dict(reversed(list(r.items()))) for r in CHEM["reactions"]]
    reordered["k"] = [dict(reversed(list(r.items()))) for r in CHEM["k"]]
    same = [
        bq.report_key(dict(reversed(list(ALIASES.items()))), CHEM, None),
        bq.report_key(ALIASES, reordered, None),
        bq.report_key(ALIASES, CHEM, []),
        bq.report_key(ALIASES, CHEM, ()),
        bq.report_key(ALIASES, dict(CHEM, name="other chemistry"), None),
    ]
    assert same == [key] * len(same)
    assert bq.report_key(ALIASES, CHEM, ["N2", "CO2"]) == bq.report_key(ALIASES, CHEM, ["CO2", "N2"])


@pytest.mark.parametrize("change", [
    lambda a, c, h: (dict(a, Water="h2o"), c, h),
    lambda a, c, h: (dict(a, Nitrogen="N2"), c, h),
    lambda a, c, h: (a, dict(c, species=c["species"] + ["OH-"]), h),
    lambda a, c, h: (a, dict(c, reactions=[dict(c["reactions"][0], H2O=-1.0)]), h),
    lambda a, c, h: (a, dict(c, kinds=["DISS"]), h),
    lambda a, c, h: (a, dict(c, k=[dict(c["k"][0], A=231.466)]), h),
    lambda a, c, h: (a, dict(c, k=[dict(c["k"][0], D=-0.0)]), h),
    lambda a, c, h: (a, c, ["CO2"]),
], ids=["alias", "component", "species", "coefficient", "kind", "constant A", "constant -0.0", "henry"])
def test_report_key_changes_with_any_input(change):
    assert bq.report_key(*change(ALIASES, CHEM, None)) != bq.report_key(ALIASES, CHEM, None)


@pytest.mark.parametrize("henry, passed", [(None, None), ([], None), (("CO2",), ["CO2"])])
def test_engine_run_fills_the_cache_once(cache, engine, henry, passed):
    report = bq.parameter_report(ALIASES, "K1", CHEM, henry)
    assert report == engine.report
    assert engine.calls == [
        ("input_header", ALIASES, "eNRTL", passed, ("K1", CHEM)),
        ("run_input", "TITLE test\nPARAMETER-REPORT ALL\n", "elec"),
    ]
    key = bq.report_key(ALIASES, CHEM, henry)
    assert os.listdir(cache) == [key + ".rep"]
    assert (cache / (key + ".rep")).read_text() == engine.report
    # A second chemistry id with the same content shares the report; the engine is not asked.
    assert bq.parameter_report(ALIASES, "other", CHEM, henry) == engine.report
    assert len(engine.calls) == 2


def test_cached_report_needs_no_engine_until_refresh(cache, engine):
    engine.available = False
    path = cache / (bq.report_key(ALIASES, CHEM, ["CO2"]) + ".rep")
    cache.mkdir(parents=True)
    path.write_bytes(b"cached\r\nreport\rend\n")
    assert bq.parameter_report(ALIASES, "K1", CHEM, ["CO2"]) == "cached\nreport\nend\n"
    with pytest.raises(RuntimeError) as err:
        bq.parameter_report(ALIASES, "K1", CHEM, ["CO2"], refresh=True)
    assert str(err.value) == NO_ENGINE and type(err.value) is RuntimeError
    assert engine.calls == []
    engine.available = True
    assert bq.parameter_report(ALIASES, "K1", CHEM, ["CO2"], True) == engine.report
    assert path.read_text() == engine.report and os.listdir(cache) == [path.name]


@pytest.mark.parametrize("raw", [
    b"ab\xff\xfec\xe2\x82\xacd",             # invalid bytes around a valid euro sign
    b"x\xe2\x82y\xf0\x9f\x98",              # truncated sequences, the last one at the end
    b"\xc0\xafoverlong\xe0\x80\x80",         # overlong forms
    b"\xed\xa0\x80surrogate\xf4\x90\x80\x80",  # a surrogate and a code point above U+10FFFF
    b"\x80\xbflone\r\xff\ncont\xc3\xa9\r",     # lone continuation bytes, CR LF split by junk
])
def test_cached_report_drops_undecodable_bytes(cache, engine, raw):
    engine.available = False
    cache.mkdir(parents=True)
    path = cache / (bq.report_key(ALIASES, CHEM, None) + ".rep")
    path.write_bytes(raw)
    with open(path, errors="ignore") as f:  # the host's own reading is the reference
        expected = f.read()
    assert bq.parameter_report(ALIASES, "K1", CHEM, None) == expected


class Boom(Exception):
    pass


def raising(*args, **kwargs):
    raise Boom("engine failed")


@pytest.mark.parametrize("breakage, error", [
    ({"available": False}, RuntimeError),
    ({"input_header": raising}, Boom),
    ({"run_input": raising}, Boom),
    ({"report": "bad \ud800 text"}, UnicodeEncodeError),
    ({"report": b"bytes"}, TypeError),
])
def test_failed_engine_run_writes_nothing(cache, engine, breakage, error):
    for name, value in breakage.items():
        setattr(engine, name, value)
    with pytest.raises(error):
        bq.parameter_report(ALIASES, "K1", CHEM, None)
    assert not os.path.exists(cache.parent)


def test_file_system_errors_propagate(tmp_path, monkeypatch, engine):
    blocker = tmp_path / "plain file"
    blocker.write_text("")
    monkeypatch.setenv("LOCALAPPDATA", str(blocker))
    with pytest.raises(NotADirectoryError) as err:
        bq.parameter_report(ALIASES, "K1", CHEM, None)
    assert err.value.filename == os.path.join(str(blocker), "Velmora")


def test_writer_failing_midway_leaves_no_partial_report(cache, tmp_path):
    # A file-size limit makes the write fail after the first 64 KiB of a 1 MiB report. An older
    # report of the same key must stay whole and nothing else may be left in the folder.
    script = textwrap.dedent("""
        import os, resource, sys, types
        import velmora.brinequil as bq
        engine = types.ModuleType("velmora.enginebridge")
        engine.engine_available = lambda: True
        engine.input_header = lambda *a, **k: "TITLE"
        engine.run_input = lambda text, runid: ("x" * (1 << 20),)
        sys.modules["velmora.enginebridge"] = engine
        folder = bq._cache_dir()
        os.makedirs(folder)
        key = bq.report_key({"W": "H2O"}, {}, None)
        with open(os.path.join(folder, key + ".rep"), "w") as f:
            f.write("old report")
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16))
        try:
            bq.parameter_report({"W": "H2O"}, "K1", {}, None, refresh=True)
        except OSError as e:
            print(type(e).__name__, e.errno)
        print(sorted(os.listdir(folder)))
        print(bq.parameter_report({"W": "H2O"}, "K1", {}, None))
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=os.environ)
    assert out.returncode == 0, out.stderr
    key = bq.report_key({"W": "H2O"}, {}, None)
    assert out.stdout.splitlines() == [f"OSError {errno.EFBIG}", str([key + ".rep"]), "old report"]
