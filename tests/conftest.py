"""Fixtures for the gateway's unit tests.

The gateway imports `tavrin.gateway.server` and `tavrin.core.session_registry` inside its handlers at
every call, so a test puts fake modules under those names in `sys.modules` (the `host` fixture) and
the handlers see them at once.
"""

from __future__ import annotations

import asyncio
import importlib.util
import logging
import os
import sys
from pathlib import Path

import pytest
import uvicorn
from fastapi import FastAPI

from fakes import Host, until

# Scenarios that could crash the interpreter (garbage collection of abandoned coroutines) are marked
# `isolated`: the main run skips them, and tests/test_isolated.py runs them all in a fresh interpreter,
# so a regression fails that one test instead of ending the run.
ISOLATED = os.environ.get("TAVRIN_ISOLATED") == "1"


# The areas of the suite, as markers: `pytest -m gateway`, `make test AREA=gateway`, and `make test-fast`,
# which leaves out browser, desktop and slow. A test's areas follow from where it lives (`areas_of`), so
# a new test file is placed by its name, and a test may add one with its own `@pytest.mark.<area>`.
AREAS = {
    "runtime": "the coroutine runtime (native/runtime) and the heartbeat module built on it",
    "gateway": "the WebSocket gateway module, against fakes and a real uvicorn",
    "streams": "session streams: numbered, replayable events and live windows",
    "host": "the host application: store, registry, server, tools, access",
    "agent": "the agents: the demo agents, the agent on a model, Computer Use",
    "browser": "the page in Chromium through Playwright",
    "desktop": "the screen tools and the Computer Use agent on a real desktop (Xvfb, D-Bus, a GTK window)",
    "slow": "tests that take tens of seconds or more: soaks, the load run, the isolated run, generated cases, the host as a process",
}

# By file name, beyond the folder's own area (browser/ and host/) or gateway for test_ws_*.
FILE_AREAS = {
    "test_runtime.py": {"runtime"},
    "test_runtime_hostile.py": {"runtime"},
    "test_runtime_oracle.py": {"runtime"},
    "test_coroutine_gc.py": {"runtime"},
    "test_heartbeat.py": {"runtime"},
    "test_heartbeat_fields.py": {"runtime"},
    "test_heartbeat_soak.py": {"runtime", "slow"},
    "test_isolated.py": {"runtime", "slow"},
    "test_stubs.py": {"runtime", "gateway"},
    "test_ws_session_streams.py": {"streams"},
    "test_session_streams.py": {"streams"},
    "test_ws_computer_use.py": {"agent"},
    "test_ws_computer_use_repeats.py": {"agent"},
    "test_ws_soak.py": {"slow"},
    "test_ws_load.py": {"slow"},
    "test_ws_fuzz.py": {"slow"},
    "test_ws_leaks.py": {"slow"},  # thousands of turns and connections, memory measured around them
    "test_agents.py": {"agent"},
    "test_llm_agent.py": {"agent"},
    "test_llm_end_to_end.py": {"agent", "slow"},
    "test_mcp_config.py": {"agent"},
    # Each starts a real MCP server process and imports LiteLLM.
    "test_mcp_tools.py": {"agent"},
    "test_screen_desktop.py": {"desktop"},
    # Each starts an Xvfb screen: seconds apiece, and only there once the desktop's packages are.
    "test_computer_use_desktop.py": {"agent", "desktop"},
    # Real server processes, started and stopped in every test: seconds each.
    "test_access_e2e.py": {"slow"},
    "test_end_to_end.py": {"slow"},
    "test_host_restart.py": {"slow"},
    "test_mcp_end_to_end.py": {"agent", "slow"},
    "test_quiet_hours.py": {"slow"},
}

# Single tests that take tens of seconds in a file whose others are quick.
SLOW_TESTS = {
    "test_llm_agent.py::test_nothing_but_the_model_request_leaves_the_machine",  # imports LiteLLM afresh
    "test_heartbeat.py::test_no_leaks_over_many_beats_and_restarts",  # thousands of beats, memory measured
}

# A test that starts the host as its own process (tests/host's `servers`) waits for it to import the
# host and LiteLLM and to listen, seconds each, often twice (a restart): it runs with the slow ones.
SERVER_PROCESS = "servers"

TESTS = Path(__file__).resolve().parent


def areas_of(path: Path) -> set[str]:
    areas = set(FILE_AREAS.get(path.name, ()))
    folder = path.parent.relative_to(TESTS).parts[:1] if path.is_relative_to(TESTS) else ()
    if folder == ("browser",):
        areas.add("browser")
    elif folder == ("host",):
        areas.add("host")
    elif path.name.startswith("test_ws_"):
        areas.add("gateway")
    return areas


# Files whose tests import LiteLLM into the test process run last: its hundreds of thousands of objects
# stay, and every gc.collect() of the tests after them (the leak and fault tests make many) walks them
# all, seconds each on a busy machine.
RUN_LAST = {"test_llm_agent.py"}


def pytest_collection_modifyitems(config, items):
    items.sort(key=lambda item: Path(item.path).name in RUN_LAST)  # stable: the rest keep their order
    for item in items:
        path = Path(item.path)
        areas = areas_of(path)
        if f"{path.name}::{item.originalname}" in SLOW_TESTS or SERVER_PROCESS in getattr(item, "fixturenames", ()):
            areas.add("slow")
        for area in sorted(areas):
            item.add_marker(area)
    # Importing LiteLLM takes seconds, and without the agent's set-up it reaches for the network and
    # waits out its retries: a test module finds it (importlib.util.find_spec) and the tests import it.
    if "litellm" in sys.modules:
        raise pytest.UsageError("a test module imported LiteLLM while being collected; check for it with find_spec")


def stale_extensions() -> list[str]:
    """The extension modules installed before their newest native source (or CMakeLists.txt) changed."""
    root = TESTS.parent
    sources = [root / "CMakeLists.txt", *(root / "native").rglob("*.[ch]pp")]
    newest = max((p.stat().st_mtime for p in sources if p.exists()), default=0.0)
    stale = []
    for name in ("tavrin.gateway.ws", "tavrin.core.heartbeat", "tavrin._runtime_probe"):
        found = importlib.util.find_spec(name)
        # A module that is not built at all: the tests that need it skip and say so.
        if found is not None and found.origin and found.has_location and os.stat(found.origin).st_mtime < newest:
            stale.append(name)
    return stale


def pytest_configure(config):
    config.addinivalue_line("markers", "isolated: could crash the interpreter; run in a subprocess by test_isolated.py")
    for area, what in AREAS.items():
        config.addinivalue_line("markers", f"{area}: {what}")
    # Testing the extension as it was before the last edit would pass or fail for the wrong reason.
    if stale := stale_extensions():
        raise pytest.UsageError(f"the extensions are older than native/ ({', '.join(stale)}): run `make build` first")


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item, call):
    # Some tests log lone surrogates on purpose; their captured output must still cross to the
    # controller when the run is spread over workers (pytest -n), which sends it as UTF-8.
    report = yield
    report.sections = [(name, text.encode("utf-8", "backslashreplace").decode()) for name, text in report.sections]
    return report


def pytest_runtest_setup(item):
    if item.get_closest_marker("isolated") and not ISOLATED:
        pytest.skip("runs in a fresh interpreter through tests/test_isolated.py")


@pytest.fixture
def host(monkeypatch):
    h = Host()
    monkeypatch.setitem(sys.modules, "tavrin.gateway.server", h.server)
    monkeypatch.setitem(sys.modules, "tavrin.core.session_registry", h.session_registry)
    monkeypatch.setitem(sys.modules, "tavrin.core.computer_use_agent", h.cu_module)
    return h


@pytest.fixture
def ws_module():
    """The gateway module with its shared state emptied before and after the test."""
    from tavrin.gateway import ws

    ws._reset_state()
    yield ws
    ws._reset_state()


@pytest.fixture
def gateway_log(caplog):
    caplog.set_level(logging.DEBUG, logger="tavrin.ws")
    return caplog


@pytest.fixture
async def server(ws_module, host):
    """A real uvicorn server on 127.0.0.1 (ephemeral port) serving the gateway's router; yields its URL."""
    app = FastAPI()
    app.include_router(ws_module.create_ws_router())
    config = uvicorn.Config(app, host="127.0.0.1", port=0, log_level="warning", lifespan="off")
    srv = uvicorn.Server(config)
    task = asyncio.create_task(srv.serve())
    await until(lambda: srv.started or task.done(), timeout=30, what="the server to listen")
    if task.done():
        task.result()  # it could not start: its error
        raise RuntimeError("the server ended before it listened")
    port = srv.servers[0].sockets[0].getsockname()[1]
    yield f"ws://127.0.0.1:{port}/ws"
    srv.should_exit = True
    await task
