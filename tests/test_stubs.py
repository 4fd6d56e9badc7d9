"""The .pyi stubs of the compiled modules, as installed: one entry per runtime name and no other,
parameter names and defaults as the bindings declare them, a docstring on every function."""

import ast
import pathlib
import re

import pytest

import velmora
import velmora.brinequil as bq
import velmora.ionactivity._enrtl as enrtl

# attributes every pybind11 class has, which no stub lists
BINDING_ATTRS = {"__dict__", "__doc__", "__module__", "__weakref__", "_pybind11_conduit_v1_"}


def stub_of(module):
    path = pathlib.Path(module.__file__).with_name(module.__name__.rpartition(".")[2] + ".pyi")
    assert path.is_file(), f"no stub installed next to {module.__file__}"
    return ast.parse(path.read_text("utf-8"))


def entries(body):
    """{name: node} of the functions, classes and annotated or assigned names of a stub body."""
    out = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            out[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            out[node.target.id] = node
        elif isinstance(node, ast.Assign):
            out.update((t.id, node) for t in node.targets)
    return out


def runtime_signature(fn):
    """[(name, default text or None)] of a builtin, from __text_signature__ or, for a pybind11
    function, from the signature its overload error lists (kept when docstrings have none)."""
    text = getattr(fn, "__text_signature__", None)
    if text is None:
        with pytest.raises(TypeError) as err:
            fn(*[object()] * 12)  # more arguments than any binding takes
        m = re.search(r"^\s+1\. [\w.]*(\(.*\))( -> .*)?$", str(err.value), re.M)
        assert m, f"{fn.__qualname__}: no signature in {err.value}"
        text = m.group(1)
    return signature(ast.parse(f"def f{text.replace('$', '')}: pass").body[0].args)


def signature(args):
    names = args.posonlyargs + args.args
    defaults = [None] * (len(names) - len(args.defaults)) + args.defaults
    return [(a.arg, d and ast.unparse(d)) for a, d in zip(names, defaults)] + [
        (a.arg, d and ast.unparse(d)) for a, d in zip(args.kwonlyargs, args.kw_defaults)
    ]


def literal(sig):
    return [(n, None if d is None else ast.literal_eval(d)) for n, d in sig]


@pytest.fixture
def used_model(report_cache):
    """An attached model after one speciation: it carries the attributes set after construction."""
    from velmora import enginebridge, phasekit

    aliases = {"WATER": "H2O", "MEA": "MEA", "CO2": "CO2"}
    pp = enginebridge.property_package(list(aliases), aliases, henry_comps=["CO2"])
    el = bq.attach(phasekit.Flowsheet(pp, {"aliases": aliases}, {"MEA": "MEA-CO2-H2O"}))
    el.true_amounts({"WATER": 38.9, "MEA": 4.91, "CO2": 1.96}, 313.15)
    return el


@pytest.mark.parametrize("module", [bq, enrtl], ids=lambda m: m.__name__)
def test_stub_lists_every_runtime_name_with_its_signature(module, used_model):
    stub = entries(stub_of(module).body)
    runtime = {n for n in vars(module) if not (n.startswith("__") and n.endswith("__"))}
    assert set(stub) == runtime
    for name, node in stub.items():
        obj = getattr(module, name)
        if isinstance(node, ast.ClassDef):
            members = entries(node.body)
            own = set(vars(obj)) - BINDING_ATTRS
            assert own <= set(members), f"{name}: stub misses {own - set(members)}"
            later = set(members) - own  # instance attributes set after construction
            if obj is bq.Electrolyte:
                missing = later - set(vars(used_model))
                assert not missing, f"{name}: a used model has no attribute {missing}"
            else:
                assert not later, f"{name}: stub has {later}"
            pairs = [(f"{name}.{m}", n, vars(obj)[m]) for m, n in members.items() if m in own]
        else:
            pairs = [(name, node, obj)]
        for qual, fnode, fn in pairs:
            if not isinstance(fnode, ast.FunctionDef) or isinstance(fn, property):
                continue
            assert ast.get_docstring(fnode), f"{qual}: the stub has no docstring"
            fn = fn.__func__ if isinstance(fn, classmethod) else fn
            expected = literal(signature(fnode.args))
            if qual.endswith(".__init__"):  # listed, without self, for an instance only
                fn, expected = fn.__get__(obj.__new__(obj)), expected[1:]
            assert literal(runtime_signature(fn)) == expected, qual


def test_package_is_typed():
    assert (pathlib.Path(velmora.__file__).parent / "py.typed").is_file()
