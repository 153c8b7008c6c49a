"""The in-memory world a benchmarked turn runs in: host modules, an agent, events and a socket.

Everything here is as cheap as it can be, so that the figures show the cost of the code under
test and not of the fakes.
"""

from __future__ import annotations

import asyncio
import sys
import types


class Event:
    """An agent event: a `type` attribute and `to_dict()` returning a fresh small dict."""

    def __init__(self, type: str, content: str):
        self.type = type
        self.content = content

    def to_dict(self):
        return {"type": self.type, "content": self.content}


class Agent:
    """A standard agent whose `process_message` yields the same prepared events every turn."""

    is_processing = False
    seconds_since_activity = 0.0

    def __init__(self, n_events: int):
        self.events = [Event("text", "tok") for _ in range(n_events)]
        self._conversation = types.SimpleNamespace(conversation_id=None)

    async def process_message(self, user_text, attachments=None):
        for ev in self.events:
            yield ev


class Socket:
    """An in-memory WebSocket whose send only counts."""

    def __init__(self):
        self.count = 0

    async def send_json(self, data):
        self.count += 1


class Registry:
    """A session registry that knows no session, so no turn renames anything."""

    def get(self, session_id):
        return None


def install_host() -> asyncio.Lock:
    """Places the host modules the turn imports in sys.modules; returns the global agent lock."""
    lock = asyncio.Lock()
    registry = Registry()
    server = types.ModuleType("tavrin.gateway.server")
    server._agent_lock = lock
    server.get_state = lambda: {}
    session_registry = types.ModuleType("tavrin.core.session_registry")
    session_registry.get_registry = lambda: registry
    sys.modules["tavrin.gateway.server"] = server
    sys.modules["tavrin.core.session_registry"] = session_registry
    return lock
