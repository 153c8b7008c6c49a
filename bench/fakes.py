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
    computer_use_agent = types.ModuleType("tavrin.core.computer_use_agent")
    computer_use_agent.ComputerUseEvent = CUEvent
    sys.modules["tavrin.gateway.server"] = server
    sys.modules["tavrin.core.session_registry"] = session_registry
    sys.modules["tavrin.core.computer_use_agent"] = computer_use_agent
    return lock


class CUEvent:
    """An event of the Computer Use agent: a `type` and a `data` mapping."""

    def __init__(self, type: str, data: dict):
        self.type = type
        self.data = data


# One of each kind the Computer Use agent reports; a turn repeats the cycle.
CU_CYCLE = [
    CUEvent("thinking", {"message": "Looking at the screen"}),
    CUEvent("tool_call", {"tool": "computer", "input": {"action": "left_click", "coordinate": [10, 20]}, "id": "t1"}),
    CUEvent("tool_result", {"id": "t1", "tool": "computer", "result": {"type": "image", "base64": "iVBORw0KGgo="}}),
    CUEvent("tool_result", {"id": "t2", "tool": "computer", "result": {"type": "error", "error": "off screen"}}),
    CUEvent("tool_result", {"id": "t3", "tool": "bash", "result": {"type": "text", "text": "ok"}}),
    CUEvent("text", {"content": "Clicked the button"}),
    CUEvent("error", {"message": "transient"}),
    CUEvent("cancelled", {}),
    CUEvent("done", {"iterations": 3}),
]


class CUAgent:
    """A Computer Use agent whose `run_task` yields the same prepared events every turn."""

    def __init__(self, cycles: int):
        self.events = CU_CYCLE * cycles

    async def run_task(self, user_text):
        for ev in self.events:
            yield ev
