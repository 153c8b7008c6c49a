"""Fixtures for the host application's tests: a store on disk, guardrails, fast demo agents,
and real server processes for the end-to-end tests."""

from __future__ import annotations

import sys
import types

import pytest
from fastapi import APIRouter

from serverproc import ServerProcess
from tavrin.core.agents import DemoAgent
from tavrin.core.guardrails import Guardrails
from tavrin.core.store import ConversationStore


@pytest.fixture
def store(tmp_path):
    s = ConversationStore(tmp_path / "conversations.sqlite3")
    yield s
    s.close()


@pytest.fixture
def guardrails():
    return Guardrails()


@pytest.fixture
def make_agent(store, guardrails):
    def make(session_id="session_main", **kwargs):
        kwargs.setdefault("step_delay", 0.001)
        return DemoAgent(store, guardrails, session_id, **kwargs)

    return make


@pytest.fixture
def servers(tmp_path):
    """Start real servers with ``servers(data_dir, *args, step_delay=..., timeout=...)``; all are stopped
    after the test."""
    started: list[ServerProcess] = []

    def start(data_dir=None, *args: str, step_delay: float = 0.02, timeout: float = 30) -> ServerProcess:
        server = ServerProcess(
            data_dir or tmp_path / "data",
            step_delay=step_delay,
            log_path=tmp_path / f"server{len(started)}.log",
            args=args,
        )
        started.append(server)
        return server.start(timeout)

    yield start
    for server in started:
        server.stop()


class RecordingManager:
    def __init__(self):
        self.events = []

    async def broadcast(self, message):
        self.events.append(dict(message))

    async def broadcast_to_session(self, session_id, message):
        self.events.append({**message, "session_id": session_id})


@pytest.fixture
def gateway(monkeypatch):
    module = types.ModuleType("tavrin.gateway.ws")
    module.manager = RecordingManager()
    module._active_tasks = {}
    module._ALLOWED_ORIGINS = set()
    module.create_ws_router = APIRouter
    monkeypatch.setitem(sys.modules, "tavrin.gateway.ws", module)
    monkeypatch.setattr("tavrin.gateway.ws", module, raising=False)
    return module
