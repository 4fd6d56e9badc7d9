"""Parameter-report cache: folder, key, reading and writing reports."""

import errno
import hashlib
import json
import os
import resource
from fractions import Fraction

import pytest

import velmora.brinequil as bq
from conftest import ALIASES, NO_ENGINE, raiser
from conftest import CARB as CHEM

pytestmark = pytest.mark.usefixtures("report_cache")


def test_cache_folder_follows_localappdata_then_home(tmp_path, monkeypatch):
    monkeypatch.setenv("LOCALAPPDATA", str(tmp_path / "appdata"))
    assert bq._cache_dir() == os.path.join(str(tmp_path / "appdata"), "Velmora", "elec")
    home_cache = os.path.join(str(tmp_path / "home"), ".cache", "Velmora", "elec")
    monkeypatch.setenv("LOCALAPPDATA", "")
    assert bq._cache_dir() == home_cache
    monkeypatch.delenv("LOCALAPPDATA")
    assert bq._cache_dir() == home_cache and not os.path.exists(home_cache)  # named, not created


def test_report_key_is_the_head_of_sha1_over_the_hosts_json():
    # Unsorted aliases with non-ASCII text, a value without JSON form, a tuple, small and large
    # floats, None, an entry that is not part of the key.
    aliases = {"Wasser ü": "H2O", "CO2": "CO2", "Amine": "MEA"}
    chem = {
        "species": ("H2O", "CO2", "MEAH+", "MEACOO-"),
        "reactions": [{"MEA": -2, "CO2": Fraction(-1, 1), "MEAH+": 1, "MEACOO-": 1.0}],
        "kinds": ["EQUIL"],
        "k": [{"D": 1e-05, "C": -1.5e16, "B": -3090.83, "A": None}],
        "label": "ignored",
    }
    items = [
        [["Amine", "MEA"], ["CO2", "CO2"], ["Wasser ü", "H2O"]],
        list(chem["species"]),
        chem["reactions"],
        chem["kinds"],
        chem["k"],
        ["CO2", "MEA"],
    ]
    text = json.dumps(items, sort_keys=True, default=str)
    assert "\\u00fc" in text and '"-1"' in text and "1e-05" in text
    expected = hashlib.sha1(text.encode("utf-8")).hexdigest()[:16]
    assert bq.report_key(aliases, chem, ["MEA", "CO2"]) == expected
    assert bq.report_key(aliases=aliases, chem=chem, henry=("CO2", "MEA")) == expected


def reordered(m):
    return dict(reversed(list(m.items())))


@pytest.mark.parametrize(
    "aliases, chem, henry, same",
    [
        (reordered(ALIASES), CHEM, None, True),
        (
            ALIASES,
            dict(
                reordered(CHEM),
                reactions=[reordered(CHEM["reactions"][0])],
                k=[reordered(CHEM["k"][0])],
            ),
            None,
            True,
        ),
        (ALIASES, CHEM, [], True),
        (ALIASES, dict(CHEM, name="another chemistry"), (), True),
        (dict(ALIASES, Water="h2o"), CHEM, None, False),
        (ALIASES, dict(CHEM, species=CHEM["species"] + ["OH-"]), None, False),
        (ALIASES, dict(CHEM, reactions=[dict(CHEM["reactions"][0], H2O=-1.0)]), None, False),
        (ALIASES, dict(CHEM, kinds=["DISS"]), None, False),
        (ALIASES, dict(CHEM, k=[dict(CHEM["k"][0], A=231.466)]), None, False),
        (ALIASES, dict(CHEM, k=[dict(CHEM["k"][0], D=-0.0)]), None, False),
        (ALIASES, CHEM, ["CO2"], False),
    ],
)
def test_report_key_invariance_and_sensitivity(aliases, chem, henry, same):
    key = bq.report_key(ALIASES, CHEM, None)
    assert len(key) == 16 and set(key) <= set("0123456789abcdef")
    assert (bq.report_key(aliases, chem, henry) == key) is same


@pytest.mark.parametrize("henry, passed", [(None, None), ([], None), (("CO2",), ["CO2"])])
def test_engine_run_fills_the_cache_once(report_cache, engine, henry, passed):
    assert bq.parameter_report(ALIASES, "K1", CHEM, henry) == engine.report
    assert engine.calls == [
        ("input_header", ALIASES, "eNRTL", passed, ("K1", CHEM)),
        ("run_input", "TITLE test\nPARAMETER-REPORT ALL\n", "elec"),
    ]
    key = bq.report_key(ALIASES, CHEM, henry)
    assert os.listdir(report_cache) == [key + ".rep"]
    assert (report_cache / (key + ".rep")).read_text() == engine.report
    # Another chemistry id with the same content shares the report; the engine is not asked.
    assert (
        bq.parameter_report(ALIASES, "other", CHEM, henry) == engine.report
        and len(engine.calls) == 2
    )


def test_cached_report_needs_no_engine_until_refresh(report_cache, engine):
    engine.available = False
    report_cache.mkdir(parents=True)
    path = report_cache / (bq.report_key(ALIASES, CHEM, ["CO2"]) + ".rep")
    path.write_bytes(
        b"cached\r\nreport\rab\xff\xfec\xe2\x82\xacd"  # junk around a valid euro sign
        b"\xc0\xafoverlong\xe0\x80\x80"  # overlong forms
        b"\xed\xa0\x80surrogate\xf4\x90\x80\x80"  # beyond U+10FFFF
        b"\x80\xbflone\r\xff\ncont\xc3\xa9\r"  # lone continuations, CR LF split by junk
        b"x\xe2\x82y\xf0\x9f\x98"
    )  # truncated sequences, the last one at the end
    with open(path, errors="ignore") as f:  # the host's own reading is the reference
        expected = f.read()
    assert bq.parameter_report(ALIASES, "K1", CHEM, ["CO2"]) == expected
    with pytest.raises(RuntimeError) as err:
        bq.parameter_report(ALIASES, "K1", CHEM, ["CO2"], refresh=True)
    assert str(err.value) == NO_ENGINE and type(err.value) is RuntimeError and engine.calls == []
    engine.available = True
    assert bq.parameter_report(ALIASES, "K1", CHEM, ["CO2"], True) == engine.report
    assert path.read_text() == engine.report and os.listdir(report_cache) == [path.name]


@pytest.mark.parametrize(
    "breakage, error",
    [
        ({"available": False}, RuntimeError),
        ({"input_header": raiser(LookupError())}, LookupError),
        ({"run_input": raiser(LookupError())}, LookupError),
        ({"report": "bad \ud800 text"}, UnicodeEncodeError),
        ({"report": b"bytes"}, TypeError),
    ],
)
def test_failed_engine_run_writes_nothing(report_cache, engine, breakage, error):
    for name, value in breakage.items():
        setattr(engine, name, value)
    with pytest.raises(error):
        bq.parameter_report(ALIASES, "K1", CHEM, None)
    assert not os.path.exists(report_cache.parent)


def test_writer_failing_midway_leaves_no_partial_report(report_cache, engine):
    # A file-size limit makes the write fail after 64 KiB of a 1 MiB report (the host ignores
    # SIGXFSZ): the older report of the same key stays whole and nothing else is left.
    engine.report = "x" * (1 << 20)
    report_cache.mkdir(parents=True)
    path = report_cache / (bq.report_key(ALIASES, CHEM, None) + ".rep")
    path.write_text("old report")
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, hard))
    try:
        with pytest.raises(OSError) as err:
            bq.parameter_report(ALIASES, "K1", CHEM, None, refresh=True)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    assert (err.value.errno, err.value.filename) == (errno.EFBIG, str(path))
    assert os.listdir(report_cache) == [path.name]
    assert path.read_text() == "old report"
