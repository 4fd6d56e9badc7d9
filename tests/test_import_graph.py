"""The front-door modules import one another without a cycle: every ``from .x import``,
``from velmora import x`` and ``import velmora.x``, at module level or inside a function, is an
edge. A cycle held together by imports inside functions breaks as soon as one of them moves,
so a new one fails here."""

import ast
import pathlib
import tomllib


ROOT = pathlib.Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "src" / "velmora"


def front_door():
    """{module name: path} of the front-door modules: the files mypy checks."""
    files = tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["mypy"]["files"]
    return {pathlib.Path(f).stem: ROOT / f for f in files}


def imported(tree, modules):
    """The front-door modules a parsed module imports, anywhere in it ("__init__" for the
    package's own names, e.g. ``from velmora import System``)."""
    out = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            if node.level == 1 or (node.level == 0 and node.module is not None
                                   and node.module.split(".")[0] == "velmora"):
                parts = [] if node.module is None else node.module.split(".")
                if node.level == 0:
                    parts = parts[1:]
                if parts:
                    out.add(parts[0])
                else:                           # from . import x / from velmora import x
                    out.update(a.name if a.name in modules or _is_module(a.name) else "__init__"
                               for a in node.names)
        elif isinstance(node, ast.Import):
            for a in node.names:
                parts = a.name.split(".")
                if parts[0] == "velmora":
                    out.add(parts[1] if len(parts) > 1 else "__init__")
    return out & set(modules)


def _is_module(name):
    """Whether ``velmora.<name>`` is a module or subpackage (else a name of the package)."""
    return (PACKAGE / f"{name}.py").exists() or (PACKAGE / name).is_dir()


def graph(modules):
    return {m: imported(ast.parse(p.read_text(), str(p)), modules) - {m}
            for m, p in modules.items()}


def cycle(edges):
    """One cycle of the graph as a list of nodes (first == last), or None."""
    state, stack = {}, []

    def visit(m):
        state[m] = "open"
        stack.append(m)
        for n in sorted(edges.get(m, ())):
            if state.get(n) == "open":
                return stack[stack.index(n):] + [n]
            if n not in state:
                found = visit(n)
                if found:
                    return found
        stack.pop()
        state[m] = "done"
        return None

    for m in sorted(edges):
        if m not in state:
            found = visit(m)
            if found:
                return found
    return None


def test_front_door_imports_have_no_cycle():
    edges = graph(front_door())
    assert cycle(edges) is None, " -> ".join(cycle(edges))


def test_the_graph_sees_module_and_function_level_imports():
    modules = front_door()
    edges = graph(modules)
    assert {"system", "states", "flashes", "checks", "solids", "sweep", "errors",
            "recovery", "ids", "__init__"} <= set(modules)
    assert {"checks", "ids", "solids", "states", "flashes"} <= edges["system"]
    assert "recovery" in edges["states"]          # imported inside _recover only
    assert edges["__init__"] >= {"errors", "flashes", "states", "system", "sweep"}
    assert edges["errors"] == set()


def test_cycle_finds_a_cycle_through_a_function_level_import():
    modules = {"a": "from . import b\n", "b": "def f():\n    from .c import g\n",
               "c": "from velmora import a\n", "d": "from . import a\n"}
    edges = {m: imported(ast.parse(src), {**modules, "__init__": ""}) for m, src in modules.items()}
    assert cycle(edges) == ["a", "b", "c", "a"]
    del edges["c"]
    assert cycle(edges) is None
