"""The hand-written type stubs of the native modules say what the modules really are."""

from __future__ import annotations

import ast
import importlib
import inspect
import types
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src" / "tavrin"
STUBS = {"tavrin.gateway.ws": SRC / "gateway" / "ws.pyi", "tavrin.core.heartbeat": SRC / "core" / "heartbeat.pyi"}


P = inspect.Parameter


def stub_params(fn: ast.FunctionDef | ast.AsyncFunctionDef, annotated: bool) -> list[tuple]:
    a = fn.args
    plain = [(p, P.POSITIONAL_ONLY) for p in a.posonlyargs] + [(p, P.POSITIONAL_OR_KEYWORD) for p in a.args]
    defaults = [None] * (len(plain) - len(a.defaults)) + list(a.defaults)
    items = [(p, kind, d) for (p, kind), d in zip(plain, defaults)]
    items += [(p, P.KEYWORD_ONLY, d) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return [(p.arg, kind, ast.unparse(p.annotation) if annotated and p.annotation else None,
             ast.literal_eval(d) if d is not None else P.empty) for p, kind, d in items]


def runtime_params(obj) -> list[tuple]:
    return [(p.name, p.kind, p.annotation if p.annotation is not P.empty else None, p.default)
            for p in inspect.signature(obj).parameters.values()]


def declarations(module: str):
    """(qualified name, stub node, runtime object) for every function and method the stub declares."""
    tree = ast.parse(STUBS[module].read_text())
    mod = importlib.import_module(module)
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield node.name, node, getattr(mod, node.name)
        elif isinstance(node, ast.ClassDef):
            cls = getattr(mod, node.name)
            for item in node.body:
                if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    yield f"{node.name}.{item.name}", item, inspect.getattr_static(cls, item.name)


CASES = [(m, name) for m in STUBS for name, _, _ in declarations(m)]


@pytest.mark.parametrize("module, name", CASES, ids=[f"{m.rsplit('.', 1)[1]}.{n}" for m, n in CASES])
def test_a_stub_declares_what_the_module_has(module, name):
    # catches: a stub whose parameters, defaults, annotations, async-ness or docstring drifted from the module
    node, obj = next((n, o) for q, n, o in declarations(module) if q == name)
    if isinstance(obj, property) or any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list):
        assert isinstance(obj, property) or hasattr(obj, "__get__")
        return
    if name.endswith("__init__") and not callable(getattr(obj, "__text_signature__", None)) and \
            inspect.signature(obj) == inspect.Signature.from_callable(object.__init__):
        pytest.skip("set up by its type's new")
    # A method of a C type carries no annotations, only its text signature.
    assert runtime_params(obj) == stub_params(node, annotated=not isinstance(obj, types.MethodDescriptorType))
    assert inspect.iscoroutinefunction(obj) == isinstance(node, ast.AsyncFunctionDef)
    doc = ast.get_docstring(node)
    if doc:
        assert inspect.getdoc(obj) == doc


@pytest.mark.parametrize("module", list(STUBS))
def test_every_name_a_stub_declares_exists(module):
    # catches: a setting or registry renamed or dropped in the module while its stub still promises it
    tree = ast.parse(STUBS[module].read_text())
    mod = importlib.import_module(module)
    declared = [n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)]
    declared += [n.name for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef))]
    assert [name for name in declared if not hasattr(mod, name)] == []
