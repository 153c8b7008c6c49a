"""The hand-written type stubs of the native modules say what the modules really are."""

from __future__ import annotations

import ast
import asyncio
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
    return [
        (
            p.arg,
            kind,
            ast.unparse(p.annotation) if annotated and p.annotation else None,
            ast.literal_eval(d) if d is not None else P.empty,
        )
        for p, kind, d in items
    ]


def runtime_params(obj) -> list[tuple]:
    return [
        (p.name, p.kind, p.annotation if p.annotation is not P.empty else None, p.default)
        for p in inspect.signature(obj).parameters.values()
    ]


def stub_returns(fn: ast.FunctionDef | ast.AsyncFunctionDef) -> str | None:
    return ast.unparse(fn.returns) if fn.returns else None


def runtime_returns(obj) -> str | None:
    r = inspect.signature(obj).return_annotation
    return None if r is inspect.Signature.empty else r


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
        if isinstance(obj, property) and hasattr(obj.fget, "__signature__"):
            obj = obj.fget  # a getter of the module's own has a signature to compare
        else:
            return
    if (
        name.endswith("__init__")
        and not callable(getattr(obj, "__text_signature__", None))
        and inspect.signature(obj) == inspect.Signature.from_callable(object.__init__)
    ):
        pytest.skip("set up by its type's new")
    # A method of a C type carries no annotations, only its text signature.
    annotated = not isinstance(obj, types.MethodDescriptorType)
    assert runtime_params(obj) == stub_params(node, annotated)
    if annotated:
        assert runtime_returns(obj) == stub_returns(node)
    assert inspect.iscoroutinefunction(obj) == isinstance(node, ast.AsyncFunctionDef)
    assert obj.__qualname__ == name
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


# An argument each declared type accepts, exactly: enough to make a coroutine, which runs nothing yet.
SAMPLES = {"str": "s", "dict[str, Any]": {}, "int": 0}

ASYNC_CASES = [
    (m, name)
    for m, name in CASES
    if isinstance(next(n for q, n, _ in declarations(m) if q == name), ast.AsyncFunctionDef)
]


@pytest.mark.parametrize("module, name", ASYNC_CASES, ids=[f"{m.rsplit('.', 1)[1]}.{n}" for m, n in ASYNC_CASES])
def test_a_coroutine_function_makes_coroutines_named_after_it(module, name):
    # catches: an async function whose body is not a coroutine, or whose coroutines carry another name
    node, obj = next((n, o) for q, n, o in declarations(module) if q == name)
    params = stub_params(node, annotated=True)
    coro = obj(*[SAMPLES.get(annotation) for _, _, annotation, default in params if default is P.empty])
    try:
        assert asyncio.iscoroutine(coro)
        assert (coro.__name__, coro.__qualname__) == (obj.__name__, obj.__qualname__)
    finally:
        coro.close()


def exported(module: str):
    """Qualified names of the functions, methods and properties the module itself defines."""
    mod = importlib.import_module(module)
    for name, obj in vars(mod).items():
        if isinstance(obj, type) and obj.__module__ == module:
            for attr, member in vars(obj).items():
                if (attr == "__init__" or not attr.startswith("__")) and (
                    callable(member) or isinstance(member, (property, types.GetSetDescriptorType))
                ):
                    yield f"{name}.{attr}"
        elif callable(obj) and not isinstance(obj, type) and getattr(obj, "__module__", None) == module:
            yield name


def stub_names(module: str) -> set[str]:
    names = set()
    for node in ast.parse(STUBS[module].read_text()).body:
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    names.add(f"{node.name}.{item.name}")
                elif isinstance(item, ast.AnnAssign):
                    names.add(f"{node.name}.{item.target.id}")
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            names.add(node.name)
    return names


@pytest.mark.parametrize("module", list(STUBS))
def test_a_stub_declares_everything_the_module_defines(module):
    # catches: a function or method added to a module (so its signature is checked by nothing) with no stub
    assert sorted(set(exported(module)) - stub_names(module)) == []
