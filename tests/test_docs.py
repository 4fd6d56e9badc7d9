"""The examples of README.md and docs/*.md run as written: each page's ```python blocks in order,
in one namespace, in a scratch folder with its own report cache. A block is left out only when
its fence line says so, with the reason beside it: ```python no-run: <reason>."""

import pathlib
import re
import traceback
import warnings

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
# the MEA examples of the README and of getting-started lie inside every fitted range: their
# first blocks run free of warnings
QUIET = {"README.md": 1, "docs/getting-started.md": 2}
FENCE = re.compile(r"^(`{3,}|~{3,})\s*(\S*)(.*)$")


def python_blocks(text):
    """[(first line number, source, run?)] of the page's ```python blocks; a no-run block without
    its reason is an error."""
    blocks, lines, i = [], text.splitlines(), 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        fence, lang, rest = m.groups()
        start, i = i + 1, i + 1
        while i < len(lines) and not lines[i].startswith(fence[0] * len(fence)):
            i += 1
        if lang == "python":
            rest = rest.strip()
            run = not rest.startswith("no-run")
            if not run and not rest[len("no-run") :].strip(" :-\u2014"):
                raise ValueError(f"line {start}: a no-run block needs its reason on the fence line")
            blocks.append((start + 1, "\n".join(lines[start:i]) + "\n", run))
        i += 1
    return blocks


def test_fence_parser_reads_blocks_markers_and_reasons():
    page = (
        "text\n```python\na = 1\n```\n```\nnot python\n```\n"
        "````python no-run: needs the engine\n```\nb = 2\n````\n```python\nc = a\n```\n"
    )
    assert python_blocks(page) == [
        (3, "a = 1\n", True),
        (9, "```\nb = 2\n", False),
        (13, "c = a\n", True),
    ]
    with pytest.raises(ValueError, match="^line 1: a no-run block needs its reason"):
        python_blocks("```python no-run\nx\n```\n")


@pytest.mark.parametrize(
    "page",
    [p for p in PAGES if python_blocks(p.read_text("utf-8"))],
    ids=lambda p: p.relative_to(ROOT).as_posix(),
)
def test_page_examples_run(page, tmp_path, monkeypatch, report_cache):
    # report_cache: LOCALAPPDATA and HOME in tmp_path, never the user's cache
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    name = page.relative_to(ROOT).as_posix()
    namespace = {"__name__": "__docs__"}
    for k, (line, source, run) in enumerate(python_blocks(page.read_text("utf-8")), 1):
        if not run:
            continue
        with warnings.catch_warnings():
            if k <= QUIET.get(name, 0):
                warnings.simplefilter("error")
            try:
                exec(compile(source, f"{name}:{line}", "exec"), namespace)
            except Exception:
                pytest.fail(
                    f"{name}, block {k} (line {line}) fails:\n{traceback.format_exc()}",
                    pytrace=False,
                )
