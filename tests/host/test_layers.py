"""The host's layering: no Python module of the package imports itself back through another.

Every import statement counts, those inside functions too: a deferred import hides a cycle from
the interpreter, not from the reader. Two kinds are left out. The block under
``if __name__ == "__main__":`` runs only when the file is a script, as a module of another name.
The extension modules are leaves here: they import host modules inside their handlers at each
call, which is the contract between them and the host, not a layering of the host.
"""

import ast
from pathlib import Path

import tavrin

PACKAGE = Path(tavrin.__file__).parent


def module_name(path: Path) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def is_main_guard(node: ast.AST) -> bool:
    test = getattr(node, "test", None)
    return (
        isinstance(node, ast.If)
        and isinstance(test, ast.Compare)
        and isinstance(test.left, ast.Name)
        and test.left.id == "__name__"
        and any(isinstance(c, ast.Constant) and c.value == "__main__" for c in test.comparators)
    )


def imports(node: ast.AST, here: str, is_package: bool):
    """Every name the import statements under ``node`` import (``from a import b``: ``a`` and ``a.b``)."""
    for child in ast.iter_child_nodes(node):
        if is_main_guard(child):
            continue
        if isinstance(child, ast.Import):
            yield from (alias.name for alias in child.names)
        elif isinstance(child, ast.ImportFrom):
            base = child.module or ""
            if child.level:
                parts = here.split(".")
                base = ".".join(parts[: len(parts) - child.level + is_package] + ([base] if base else []))
            yield base
            yield from (f"{base}.{alias.name}" for alias in child.names)
        else:
            yield from imports(child, here, is_package)


def package_imports() -> dict[str, set[str]]:
    """What each module of the package imports."""
    return {
        module_name(path): set(imports(ast.parse(path.read_text()), module_name(path), path.name == "__init__.py"))
        for path in PACKAGE.rglob("*.py")
    }


def import_graph(imported: dict[str, set[str]]) -> dict[str, set[str]]:
    """Who imports whom among the modules of ``imported``."""
    return {name: {target for target in targets if target in imported} for name, targets in imported.items()}


def cycles(graph: dict[str, set[str]]) -> list[tuple[str, ...]]:
    """Every elementary cycle, each once: walked from its first module in sorted order."""
    found = set()

    def walk(path: list[str]) -> None:
        for target in graph[path[-1]]:
            if target == path[0]:
                found.add(tuple(path))
            elif target > path[0] and target not in path:
                walk(path + [target])

    for start in graph:
        walk([start])
    return sorted(found)


def test_the_cycle_finder_sees_a_cycle_through_a_deferred_import():
    """Catches a finder that would pass any package, so the test below could never fail."""
    tree = ast.parse("def later():\n    from tavrin.b import x\n")
    found = {"tavrin.a": set(imports(tree, "tavrin.a", False)), "tavrin.b": {"tavrin.a"}}
    assert cycles(import_graph(found)) == [("tavrin.a", "tavrin.b")]


def test_the_host_has_no_import_cycle():
    """Catches a module that imports, however indirectly and however late, one that imports it."""
    assert cycles(import_graph(package_imports())) == []


def test_the_core_never_imports_the_gateway():
    """Catches core code reaching into the gateway (its task map, say) instead of being handed what it needs."""
    reaching = {
        name: sorted(t for t in targets if t.startswith("tavrin.gateway"))
        for name, targets in package_imports().items()
        if name.startswith("tavrin.core")
    }
    assert {name: targets for name, targets in reaching.items() if targets} == {}
