"""The page's ES modules import one way, as tests/host/test_layers.py holds the host's: no module
imports itself back through others, and a view never imports an action (it is told what to do
through the callbacks it is given). Needs no browser: it reads the modules' import statements."""

import re
from pathlib import Path

JS = Path(__file__).resolve().parents[2] / "src" / "tavrin" / "gateway" / "static" / "js"

# Every module's layer; a module imports only from its own layer or those before it.
LAYERS = {
    # pure: what crosses the wire, the state, and the decisions taken on it (no DOM)
    "protocol": 0,
    "model": 0,
    "sync": 0,
    "attachments": 0,
    "cuaction": 0,
    "diff": 0,
    # helpers every layer above may use: building nodes, the token and the socket
    "dom": 1,
    "reveal": 1,
    "access": 1,
    "connection": 1,
    "highlight": 1,
    # views: they draw, and report what the user does through the callbacks they are given
    "markdown": 2,
    "status": 2,
    "tabs": 2,
    "attachview": 2,
    "sidebar": 2,
    "transcript": 2,
    "pane": 2,
    "steps": 2,
    "messages": 2,
    "toolcards": 2,
    "approvallines": 2,
    "outcomes": 2,
    "stored": 2,
    "queued": 2,
    "mcpview": 2,
    "diffview": 2,
    # actions: what the page does on an event or a click, drawing through the views
    "sessions": 3,
    "streams": 3,
    "history": 3,
    "events": 3,
    "controls": 3,
    "approvals": 3,
    "conversations": 3,
    "heartbeat": 3,
    "notify": 3,
    "mcp": 3,
    "branches": 3,
    # the wiring
    "main": 4,
}
VIEWS, ACTIONS = 2, 3

IMPORT = re.compile(
    r"""(?:^|\n)\s*(?:import|export)\s[^;]*?from\s+["']\./([\w-]+)\.js["']|import\(\s*["']\./([\w-]+)\.js["']\s*\)"""
)


def imports():
    graph = {}
    for path in sorted(JS.glob("*.js")):
        text = path.read_text()
        graph[path.stem] = sorted({a or b for a, b in IMPORT.findall(text)})
    return graph


def cycle(graph):
    """One import cycle as a list of modules (first repeated at the end), or None."""
    state = {}

    def visit(node, path):
        state[node] = "open"
        for dep in graph.get(node, []):
            if state.get(dep) == "open":
                return path[path.index(dep) :] + [dep]
            if dep not in state:
                found = visit(dep, path + [dep])
                if found:
                    return found
        state[node] = "done"
        return None

    for node in graph:
        if node not in state:
            found = visit(node, [node])
            if found:
                return found
    return None


def test_the_page_modules_import_one_another_without_a_cycle():
    found = cycle(imports())
    assert found is None, "import cycle: " + " -> ".join(found)


def test_every_module_has_a_layer_and_imports_only_from_below():
    graph = imports()
    assert set(graph) == set(LAYERS), "give each page module its layer here"
    wrong = [f"{m} imports {d}" for m, deps in graph.items() for d in deps if LAYERS[d] > LAYERS[m]]
    views_acting = [
        f"{m} imports {d}" for m, deps in graph.items() for d in deps if LAYERS[m] == VIEWS and LAYERS[d] == ACTIONS
    ]
    assert views_acting == [] and wrong == []


def test_the_cycle_finder_finds_one():
    assert cycle({"a": ["b"], "b": ["c"], "c": ["a"]}) == ["a", "b", "c", "a"]
    assert cycle({"a": ["b"], "b": [], "c": ["a"]}) is None
