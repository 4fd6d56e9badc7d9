"""`make demo` end to end: engine on the first run, report cache on the second."""

import os
import subprocess
import sys


def test_demo_runs_twice_engine_then_cache(tmp_path):
    env = dict(os.environ, LOCALAPPDATA=str(tmp_path / "appdata"), MPLBACKEND="Agg")
    env.pop("VELMORA_NO_ENGINE", None)
    # the second run has the engine switched off: it must need only the cache
    runs = [
        subprocess.run(
            [sys.executable, "-m", "velmora.demo"],
            cwd=tmp_path,
            env=e,
            capture_output=True,
            text=True,
            timeout=300,
        )
        for e in (env, dict(env, VELMORA_NO_ENGINE="1"))
    ]
    for r in runs:
        assert r.returncode == 0, r.stdout[-2000:] + r.stderr[-2000:]
    first, second = (r.stdout for r in runs)
    assert first.count("written by the engine") == 2 and "read from the cache" not in first
    assert second.count("read from the cache (the engine was not run)") == 2
    assert "written by the engine" not in second
    assert (tmp_path / "demo-output" / "demo.png").stat().st_size > 10000
    assert "TP flash" in second and "largest factor" in second
