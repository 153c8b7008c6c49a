"""Fixtures for the gateway's unit tests.

The gateway imports `tavrin.gateway.server` and `tavrin.core.session_registry` inside its handlers at
every call, so a test puts fake modules under those names in `sys.modules` (the `host` fixture) and
the handlers see them at once.
"""

from __future__ import annotations

import asyncio
import logging
import os
import sys

import pytest
import uvicorn
from fastapi import FastAPI

from fakes import Host, until

# Scenarios that could crash the interpreter (garbage collection of abandoned coroutines) are marked
# `isolated`: the main run skips them, and tests/test_isolated.py runs them all in a fresh interpreter,
# so a regression fails that one test instead of ending the run.
ISOLATED = os.environ.get("TAVRIN_ISOLATED") == "1"


def pytest_configure(config):
    config.addinivalue_line("markers", "isolated: could crash the interpreter; run in a subprocess by test_isolated.py")


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
