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
    """{module name: path} of the front-door modules: the files mypy checks, a folder meaning
    every module in it. Names are dotted below velmora ("system", "solids" for
    solids/__init__.py, "solids.flash"); "__init__" is the package itself."""
    files = tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["mypy"]["files"]
    out = {}
    for f in files:
        path = ROOT / f
        for p in sorted(path.rglob("*.py")) if path.is_dir() else [path]:
            parts = list(p.relative_to(PACKAGE).with_suffix("").parts)
            if parts[-1] == "__init__" and len(parts) > 1:
                parts.pop()
            out[".".join(parts)] = p
    return out


def _node(parts, modules):
    """The front-door module that ``velmora.<parts>`` names: the longest dotted prefix that is
    one ("__init__" for the package itself), or None outside the front door."""
    for k in range(len(parts), 0, -1):
        name = ".".join(parts[:k])
        if name in modules:
            return name
    return None if parts else "__init__"


def imported(tree, modules, name=""):
    """The front-door modules a parsed module (``name``, dotted as in ``front_door``) imports,
    anywhere in it ("__init__" for the package's own names, e.g. ``from velmora import
    System``). Importing ``velmora.a.b`` runs ``velmora.a`` first: an edge to each package on
    the way, except those the importing module lies in (already running)."""
    here = name.split(".") if name and name != "__init__" else []
    package = here if name in modules and modules[name].name == "__init__.py" else here[:-1]
    targets = []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            if node.level:
                if node.level - 1 > len(package):
                    continue
                base = package[: len(package) - (node.level - 1)]
            elif node.module is not None and node.module.split(".")[0] == "velmora":
                base = []
            else:
                continue
            parts = base + (
                []
                if node.module is None
                else node.module.split(".")[(1 if node.level == 0 else 0) :]
            )
            for a in node.names:  # from . import x: the module x, else the package
                sub = parts + [a.name]
                targets.append(
                    sub if _node(sub, modules) == ".".join(sub) or _is_module(sub) else parts
                )
        elif isinstance(node, ast.Import):
            for a in node.names:
                parts = a.name.split(".")
                if parts[0] == "velmora":
                    targets.append(parts[1:])
    out = set()
    for parts in targets:
        out.add(_node(parts, modules))
        for k in range(1, len(parts)):  # the packages on the way, but our own
            if parts[:k] != here[:k] and ".".join(parts[:k]) in modules:
                out.add(".".join(parts[:k]))
    return out & set(modules)


def _is_module(parts):
    """Whether ``velmora.<parts>`` is a module or subpackage (else a name of the package)."""
    path = PACKAGE.joinpath(*parts)
    return path.with_suffix(".py").exists() or path.is_dir()


def graph(modules):
    return {
        m: imported(ast.parse(p.read_text(), str(p)), modules, m) - {m} for m, p in modules.items()
    }


def cycle(edges):
    """One cycle of the graph as a list of nodes (first == last), or None."""
    state, stack = {}, []

    def visit(m):
        state[m] = "open"
        stack.append(m)
        for n in sorted(edges.get(m, ())):
            if state.get(n) == "open":
                return stack[stack.index(n) :] + [n]
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
    modules = front_door()
    edges = graph(modules)
    assert cycle(edges) is None, " -> ".join(cycle(edges))
    # the graph is the real one: the modules of the mypy list, package and function imports
    assert {
        "system",
        "states",
        "flashes",
        "checks",
        "errors",
        "recovery",
        "__init__",
        "solids",
        "solids.flash",
    } <= set(modules)
    assert "recovery" in edges["states"]  # imported inside _recover only
    assert {"flashes", "solids.active_set", "solids.thermo"} <= edges["solids.flash"]
    assert edges["errors"] == set()


def test_cycle_finds_a_cycle_through_a_function_level_import():
    modules = {
        "a": "from . import b\n",
        "b": "def f():\n    from .c import g\n",
        "c": "from velmora import a\n",
        "d": "from . import a\n",
    }
    edges = {m: imported(ast.parse(src), {**modules, "__init__": ""}) for m, src in modules.items()}
    assert cycle(edges) == ["a", "b", "c", "a"]
    del edges["c"]
    assert cycle(edges) is None


def test_a_subpackage_is_dotted_and_running_its_package_counts():
    """Relative imports resolve against the importing module's package; importing a module of a
    subpackage from outside runs the subpackage's __init__ first (an edge to it), from inside it
    does not (that __init__ is already running)."""
    modules = {
        "__init__": pathlib.Path("__init__.py"),
        "p": pathlib.Path("p/__init__.py"),
        "p.a": pathlib.Path("p/a.py"),
        "p.b": pathlib.Path("p/b.py"),
        "q": pathlib.Path("q.py"),
    }
    src = {
        "__init__": "from .q import x\n",
        "p": "from .a import f\nfrom . import b\n",
        "p.a": "from ..q import x\nfrom .b import g\n",
        "p.b": "def f():\n    from velmora import System\n",
        "q": "def f():\n    import velmora.p.b\n",
    }
    edges = {m: imported(ast.parse(s), modules, m) - {m} for m, s in src.items()}
    assert edges == {
        "__init__": {"q"},
        "p": {"p.a", "p.b"},
        "p.a": {"q", "p.b"},
        "p.b": {"__init__"},
        "q": {"p", "p.b"},
    }
    assert cycle(edges) == ["__init__", "q", "p", "p.a", "p.b", "__init__"]
    edges["p.b"] = set()  # left: q runs p (its __init__) to reach p.b, p runs p.a
    assert cycle(edges) == ["q", "p", "p.a", "q"]
