"""The report cache under concurrent rewrites, killed writers and a directory in the way, as
velmora.System meets it (the real engine writes the reports)."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import velmora
import velmora.brinequil as bq
from velmora import ReportError
from test_databank_overlay import hocl_overlay

CHEM = "CO2-H2O"


@pytest.fixture
def cache(tmp_path, monkeypatch):
    monkeypatch.setenv("LOCALAPPDATA", str(tmp_path))
    monkeypatch.delenv("VELMORA_NO_ENGINE", raising=False)
    return tmp_path / "Velmora" / "elec"


def test_report_removed_and_replaced_meanwhile_is_never_an_error(cache):
    # Another process removes the report and renames a copy over it, over and over, while this
    # one builds Systems (the open-then-read of velmora.system) and asks the engine's cache
    # directly (bq.parameter_report, the C++ reader). Each call must find the report or write it
    # again; the same text either way.
    first = velmora.System(CHEM)
    path = cache / (first.model.key + ".rep")
    text = path.read_text()
    racer = subprocess.Popen(
        [
            sys.executable,
            "-c",
            textwrap.dedent(f"""
        import os, time
        path, copy, text = {str(path)!r}, {str(path) + ".copy"!r}, {text!r}
        cycles, end = 0, time.monotonic() + 30
        while time.monotonic() < end and not os.path.exists(path + ".stop"):
            with open(copy, "w") as fh:
                fh.write(text)
            try:
                os.remove(path)
            except FileNotFoundError:
                pass
            os.replace(copy, path)
            cycles += 1
        print(cycles)
        """),
        ],
        stdout=subprocess.PIPE,
        text=True,
    )
    origins, end = [], time.monotonic() + 20
    try:
        while time.monotonic() < end and (len(origins) < 400 or origins.count("engine") < 10):
            s = velmora.System(CHEM)
            assert s.report == text
            origins.append(s.report_origin)
            assert bq.parameter_report(s.aliases, s.name, s.chemistry, list(s.henry)) == text
    finally:
        (cache / (path.name + ".stop")).touch()
        cycles = int(racer.communicate(timeout=60)[0])
    # the race was run: the racer cycled and Systems met the report both present and absent
    assert cycles > 100 and set(origins) == {"cache", "engine"}, origins


# The two routes to a written report, both through the engine's writer: the cache of a built-in
# chemistry, and velmora.system's for a databank with an overlay; each entry: the folder under
# <LOCALAPPDATA>/Velmora and the System it writes for.
WRITERS = {
    "engine writer": ("elec", f"velmora.System({CHEM!r})"),
    "overlay writer": ("elec-overlays", "velmora.System('HOCl-H2O', databank=[hocl_overlay()])"),
}


def killed_writer(root, writer):
    """Run a System in a process that SIGXFSZ kills in the middle of writing its report (a
    file-size limit of 256 bytes, set once the engine has run); return the folder written."""
    folder, call = WRITERS[writer]
    code = f"""
        import resource, signal, sys
        import velmora, velmora.enginebridge as eb
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_databank_overlay import hocl_overlay
        run = eb.run_input
        def limited(*args, **kwargs):
            out = run(*args, **kwargs)
            signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
            resource.setrlimit(resource.RLIMIT_FSIZE, (256, resource.RLIM_INFINITY))
            return out
        eb.run_input = limited
        {call}
        """
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ, LOCALAPPDATA=str(root)),
    )
    assert proc.returncode == -signal.SIGXFSZ, proc.stderr
    return root / "Velmora" / folder


def age(path, seconds):
    t = time.time() - seconds
    os.utime(path, (t, t))


@pytest.mark.parametrize("writer", WRITERS)
def test_stale_temporaries_of_dead_writers_go_at_the_next_write(cache, writer):
    folder = killed_writer(cache.parent.parent, writer)
    left = list(folder.iterdir())
    assert len(left) == 1 and left[0].name.endswith(".tmp"), left  # no report, one temporary
    dead = left[0]
    age(dead, 120)
    dead_pid = int(dead.name.split(".")[-3])  # .<report>.<pid>.<random>.tmp
    live_child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        # name: (age in s, kept)
        others = {
            f".x.rep.{dead_pid}.0123456789abcdef.tmp": (10, True),  # dead, within the grace
            f".x.rep.{os.getpid()}.0123456789abcdef.tmp": (86400, True),  # this process: alive
            f".x.rep.{live_child.pid}.abcd_123.tmp": (86400, True),  # another live process
            "tmpk3_x9q2a.tmp": (7200, False),  # no pid, two hours old
            "tmpa8b2c4d6.tmp": (600, True),  # no pid, ten minutes
            "notes.txt": (86400, True),  # not a temporary
        }
        for name, (seconds, _) in others.items():
            (folder / name).write_text("partial")
            age(folder / name, seconds)
        s = eval(WRITERS[writer][1], {"velmora": velmora, "hocl_overlay": hocl_overlay})
        assert s.report_origin == "engine"
    finally:
        live_child.kill()
        live_child.wait()
    kept = {name for name, (_, stays) in others.items() if stays}
    assert {p.name for p in folder.iterdir() if not p.name.endswith(".rep")} == kept
    assert len(list(folder.glob("*.rep"))) == 1


def test_a_directory_where_the_report_should_be_is_named(cache):
    key = velmora.System(CHEM, cache=False).model.key
    path = cache / (key + ".rep")
    path.mkdir(parents=True)
    with pytest.raises(ReportError) as err:
        velmora.System(CHEM)
    assert str(err.value) == (
        f"chemistry {CHEM}: a directory stands where the parameter report should be ({path}); "
        "remove it, point LOCALAPPDATA at another folder, or use System(..., cache=False)"
    )
    assert path.is_dir() and not list(path.iterdir())
    # the engine's own reader says what it met, too
    s = velmora.System(CHEM, cache=False)
    with pytest.raises(IsADirectoryError):
        bq.parameter_report(s.aliases, s.name, s.chemistry, list(s.henry))


def test_an_overlay_report_that_cannot_be_stored_is_named(tmp_path, monkeypatch):
    monkeypatch.delenv("VELMORA_NO_ENGINE", raising=False)
    # the overlay's report goes through the engine's writer: its OSError (a file where the cache
    # folder should be) comes back as the ReportError that names the folder, with the cause kept
    blocker = tmp_path / "a-file"
    blocker.write_text("not a folder")
    monkeypatch.setenv("LOCALAPPDATA", str(blocker))
    with pytest.raises(ReportError, match="cannot be stored in the cache folder") as e:
        velmora.System("HOCl-H2O", databank=[hocl_overlay()])
    assert str(blocker / "Velmora" / "elec-overlays") in str(e.value)
    assert isinstance(e.value.__cause__, NotADirectoryError)
    assert list(tmp_path.iterdir()) == [blocker]  # nothing else written
