"""Fakes for the gateway's unit tests: sockets, agents, sessions and the host modules."""

from __future__ import annotations

import asyncio
import inspect
import json
import types
from collections.abc import Callable
from typing import Any

from fastapi import WebSocketDisconnect


class FakeWebSocket:
    """An in-memory WebSocket: frames to receive are queued, sent events are recorded as JSON text.

    `send_json` serialises like the framework does, so key order and JSON-ability are checked.
    """

    def __init__(self, *, fail_send: bool = False, accept_delay: bool = False):
        self.sent: list[str] = []
        self.closed: tuple[int, str | None] | None = None
        self.accepted = False
        self.fail_send = fail_send
        self.accept_delay = accept_delay
        self.incoming: asyncio.Queue[str | None] = asyncio.Queue()

    async def accept(self) -> None:
        if self.accept_delay:
            await asyncio.sleep(0)
        self.accepted = True

    async def close(self, code: int = 1000, reason: str | None = None) -> None:
        self.closed = (code, reason)

    async def send_json(self, data: Any) -> None:
        if self.fail_send:
            raise RuntimeError('Cannot call "send" once a close message has been sent.')
        self.sent.append(json.dumps(data, ensure_ascii=False))

    async def receive_text(self) -> str:
        item = await self.incoming.get()
        if item is None:
            raise WebSocketDisconnect(1000)
        return item

    def feed(self, *messages: Any) -> None:
        """Queue frames: dicts are sent as JSON, strings as they are."""
        for m in messages:
            self.incoming.put_nowait(m if isinstance(m, str) else json.dumps(m))

    def hang_up(self) -> None:
        self.incoming.put_nowait(None)

    @property
    def events(self) -> list[dict[str, Any]]:
        return [json.loads(s) for s in self.sent]

    def keys(self, i: int) -> list[str]:
        return list(json.loads(self.sent[i]).keys())


class FakeEvent:
    def __init__(self, type: str, **fields: Any):
        self.type = type
        self.fields = fields

    def to_dict(self) -> dict[str, Any]:
        return {"type": self.type, **self.fields}


class FakeAgent:
    """A standard agent whose turn yields the given events; it can raise or wait midway."""

    def __init__(
        self,
        events: list[FakeEvent] | None = None,
        *,
        raise_after: int | None = None,
        error: Exception | None = None,
        gate: asyncio.Event | None = None,
    ):
        self.events = events if events is not None else [FakeEvent("text", content="hi"), FakeEvent("done")]
        self.raise_after = raise_after
        self.error = error or ValueError("model exploded")
        self.gate = gate
        self.calls: list[tuple[str, Any]] = []
        self.cancelled = 0
        self.is_processing = False
        self.seconds_since_activity = 0.0
        self._conversation = types.SimpleNamespace(conversation_id=None)

    async def process_message(self, user_text: str, attachments: Any = None):
        self.calls.append((user_text, attachments))
        self.is_processing = True
        try:
            for i, ev in enumerate(self.events):
                if self.raise_after is not None and i == self.raise_after:
                    raise self.fresh_error()
                if self.gate is not None and i == 1:
                    await self.gate.wait()
                yield ev
            if self.raise_after is not None and self.raise_after >= len(self.events):
                raise self.fresh_error()
        finally:
            self.is_processing = False

    def fresh_error(self) -> Exception:
        # A new instance per raise: raising one instance again would keep growing its traceback.
        return type(self.error)(*self.error.args)

    def cancel(self) -> None:
        self.cancelled += 1


class FakeSession:
    def __init__(
        self,
        session_id: str,
        agent: Any = None,
        *,
        display_name: str = "Work",
        is_connector: bool = False,
        conversation_id: Any = None,
    ):
        self.session_id = session_id
        self.agent = agent
        self.lock = asyncio.Lock()
        self.is_connector = is_connector
        self.display_name = display_name
        self.conversation_id = conversation_id

    def to_dict(self) -> dict[str, Any]:
        return {"session_id": self.session_id, "display_name": self.display_name}


class FakeRegistry:
    def __init__(self):
        self.sessions: dict[str, FakeSession] = {}
        self.calls: list[tuple] = []

    def add(self, session: FakeSession) -> FakeSession:
        self.sessions[session.session_id] = session
        return session

    def get(self, session_id):
        return self.sessions.get(session_id)

    async def create_session(self, display_name=None, icon=None, is_connector=False):
        self.calls.append(("create_session", display_name, icon, is_connector))
        s = self.add(FakeSession(f"s{len(self.sessions)}", FakeAgent(), display_name=display_name))
        return s

    async def close_session(self, session_id):
        self.calls.append(("close_session", session_id))
        return self.sessions.pop(session_id, None) is not None

    def list_sessions(self):
        return [s.to_dict() for s in self.sessions.values()]

    async def new_conversation_in_session(self, session_id):
        self.calls.append(("new_conversation_in_session", session_id))
        return f"conv-{session_id}"


class Host:
    """The fake host: application state, global agent lock and session registry."""

    def __init__(self):
        self.state: dict[str, Any] = {}
        self.registry = FakeRegistry()
        self.agent_lock = asyncio.Lock()
        self.server = types.ModuleType("tavrin.gateway.server")
        self.server.get_state = lambda: self.state
        self.server._agent_lock = self.agent_lock
        self.session_registry = types.ModuleType("tavrin.core.session_registry")
        self.session_registry.get_registry = lambda: self.registry
        self.cu_module = types.ModuleType("tavrin.core.computer_use_agent")
        self.cu_module.ComputerUseEvent = type("ComputerUseEvent", (), {})


async def until(condition: Callable[[], Any], timeout: float = 10.0, what: str | None = None) -> Any:
    """Waits until `condition()` is true and returns its value: first over passes of the event loop,
    then in short sleeps, for a machine that is busy. After `timeout` seconds it fails, naming what it
    waited for; the timeout only bounds a hang and says nothing about how long the wait should take."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    passes = 0
    while not (value := condition()):
        if loop.time() > deadline:
            raise AssertionError(f"still waiting after {timeout} s for {what or _source(condition)}")
        passes += 1
        await asyncio.sleep(0 if passes < 100 else 0.002)
    return value


def _source(condition: Callable[[], Any]) -> str:
    try:
        return inspect.getsource(condition).strip()
    except (OSError, TypeError):
        return repr(condition)


async def settle(rounds: int = 5) -> None:
    """Lets the loop make `rounds` passes. Only for a test about what must not happen within them, or
    about the order of events within one pass; to wait for an outcome, use `until`."""
    for _ in range(rounds):
        await asyncio.sleep(0)


class FakeCUEvent:
    """An event of the Computer Use agent: a `type` and a `data` mapping."""

    def __init__(self, type: str, data: Any = None):
        self.type = type
        self.data = {} if data is None else data

    def to_dict(self) -> dict[str, Any]:
        return {"type": self.type, "data": self.data}


class FakeComputerUseAgent:
    """The Computer Use agent: `run_task` yields the given events and may raise after some of them."""

    def __init__(
        self,
        events: list[FakeCUEvent] | None = None,
        *,
        raise_after: int | None = None,
        error: Exception | None = None,
        is_running: bool = False,
        gate: asyncio.Event | None = None,
    ):
        self.events = events if events is not None else []
        self.raise_after = raise_after
        self.error = error or RuntimeError("screen capture failed")
        self.gate = gate
        self.is_running = is_running
        self.tasks: list[str] = []
        self.stopped = 0

    async def run_task(self, user_text: str):
        self.tasks.append(user_text)
        for i, ev in enumerate(self.events):
            if self.raise_after == i:
                raise self.error
            if self.gate is not None:
                await self.gate.wait()
            yield ev
        if self.raise_after is not None and self.raise_after >= len(self.events):
            raise self.error

    def stop(self) -> None:
        self.stopped += 1
        self.is_running = False


class FakeConversationManager:
    def __init__(self, conversation_id: Any = None):
        self.conversation_id = conversation_id
        self.started = 0
        self.resumed: list[Any] = []

    async def start_conversation(self):
        self.started += 1
        self.conversation_id = f"new-{self.started}"
        return self.conversation_id

    async def resume_conversation(self, conv_id):
        self.resumed.append(conv_id)
        self.conversation_id = conv_id


class FakeMemory:
    """The conversation store: messages per conversation id; records renames, reads and deletions."""

    def __init__(self, messages: dict[Any, list[dict[str, Any]]] | None = None, rename_error: Exception | None = None):
        self.messages = messages or {}
        self.rename_error = rename_error
        self.renamed: list[tuple[Any, str]] = []
        self.cleared: list[Any] = []
        self.reads: list[tuple[Any, int]] = []

    async def rename_conversation(self, conv_id, title):
        if self.rename_error is not None:
            raise self.rename_error
        self.renamed.append((conv_id, title))

    async def get_messages(self, conv_id, limit=50):
        self.reads.append((conv_id, limit))
        return self.messages.get(conv_id, [])[:limit]

    async def clear_conversation_messages(self, conversation_id):
        self.cleared.append(conversation_id)
        self.messages.pop(conversation_id, None)


class FakeConversationAgent(FakeAgent):
    """A standard agent with a conversation manager and its own conversation store."""

    def __init__(self, conversation_id: Any = None, memory: FakeMemory | None = None, **kw: Any):
        super().__init__(**kw)
        self.conversation = FakeConversationManager(conversation_id)
        self._memory = memory if memory is not None else FakeMemory()


class FakeGuardrails:
    def __init__(self, result: Any = True):
        self.result = result
        self.calls: list[tuple[Any, Any]] = []

    def resolve_approval(self, approval_id, approved):
        self.calls.append((approval_id, approved))
        return self.result


class FakeHeartbeatController:
    """``interval`` is the one in effect: ``start`` takes the one given, raised to ``minimum``."""

    def __init__(self, *, is_running: bool = False, is_paused: bool = False, interval: Any = 120, minimum=None):
        self.is_running = is_running
        self.is_paused = is_paused
        self.interval = interval
        self.minimum = minimum
        self.calls: list[tuple] = []

    def start(self, interval):
        self.calls.append(("start", interval))
        self.interval = max(interval, self.minimum) if self.minimum is not None else interval

    def stop(self):
        self.calls.append(("stop",))

    def pause(self):
        self.calls.append(("pause",))

    def resume(self):
        self.calls.append(("resume",))


class FakeTask:
    """A stand-in for a registered chat task: records cancel requests, reports `done()`."""

    def __init__(self, done: bool = False):
        self._done = done
        self.cancels = 0

    def done(self) -> bool:
        return self._done

    def cancel(self) -> bool:
        self.cancels += 1
        return True


class Tripwire:
    """Named await points shared by fakes; one of them can be armed to stop there once.

    Every fake that takes part awaits `point(name)` where the real thing would suspend (a send, an
    agent step, a store call). Each passage is recorded in `trace` as (name, n) with n counting the
    passages of that name. When the armed (name, n) is reached, `reached` is set and the caller is
    suspended on a future that never completes, so that a test can act (cancel, hang up, fail
    another client) while the code under test sits exactly at that await. The wire trips once.
    """

    def __init__(self, armed: tuple[str, int] | None = None):
        self.armed = armed
        self.trace: list[tuple[str, int]] = []
        self.counts: dict[str, int] = {}
        self.reached = asyncio.Event()
        self.cut_at: tuple[str, int] | None = None

    async def point(self, name: str, suspend: bool = True) -> None:
        n = self.counts[name] = self.counts.get(name, 0) + 1
        self.trace.append((name, n))
        if self.armed == (name, n):
            self.armed = None
            self.cut_at = (name, n)
            self.reached.set()
            await asyncio.get_running_loop().create_future()
        elif suspend:
            await asyncio.sleep(0)  # a real suspension, as of a store or a model over the network


class WiredSocket(FakeWebSocket):
    """A FakeWebSocket whose every send passes the tripwire as "<label>:<event type>". Its sends
    complete at once, as a socket's do while its peer reads, unless the wire holds them.

    `fail_on` names the send ((event type, n-th send of that type to this socket)) that raises, as a
    socket whose peer has gone does; `fail_after_hang_up` makes every send after `hang_up` fail.
    """

    def __init__(
        self, label: str, wire: Tripwire, *, fail_on: tuple[str, int] | None = None, fail_after_hang_up: bool = False
    ):
        super().__init__()
        self.label = label
        self.wire = wire
        self.fail_on = fail_on
        self.fail_after_hang_up = fail_after_hang_up
        self.hung_up = False
        self.sends: dict[str, int] = {}

    async def send_json(self, data: Any) -> None:
        kind = data.get("type") if isinstance(data, dict) else None
        n = self.sends[kind] = self.sends.get(kind, 0) + 1
        await self.wire.point(f"{self.label}:{kind}", suspend=False)
        if self.fail_on == (kind, n) or (self.fail_after_hang_up and self.hung_up):
            raise RuntimeError('Cannot call "send" once a close message has been sent.')
        await super().send_json(data)

    def hang_up(self) -> None:
        self.hung_up = True
        super().hang_up()


class WiredAgent(FakeAgent):
    """A standard agent that passes the tripwire before each of its events ("agent:step") and
    before ending its stream; it can also raise before event `raise_after`."""

    def __init__(self, wire: Tripwire, events: list[FakeEvent], **kw: Any):
        super().__init__(events, **kw)
        self.wire = wire
        self._conversation = types.SimpleNamespace(conversation_id="conv-1")

    async def process_message(self, user_text: str, attachments: Any = None):
        self.calls.append((user_text, attachments))
        self.is_processing = True
        try:
            for i, ev in enumerate(self.events):
                await self.wire.point("agent:step")
                if self.raise_after == i:
                    raise self.fresh_error()
                yield ev
            await self.wire.point("agent:step")
            if self.raise_after is not None and self.raise_after >= len(self.events):
                raise self.fresh_error()
        finally:
            self.is_processing = False


class WiredMemory(FakeMemory):
    """A conversation store whose rename passes the tripwire ("store:rename")."""

    def __init__(self, wire: Tripwire, **kw: Any):
        super().__init__(**kw)
        self.wire = wire

    async def rename_conversation(self, conv_id, title):
        await self.wire.point("store:rename")
        await super().rename_conversation(conv_id, title)


class LoopErrors:
    """Collects what the event loop's exception handler is given (for example "Task exception was
    never retrieved" or "Task was destroyed but it is pending!") while installed."""

    def __init__(self, loop: asyncio.AbstractEventLoop):
        self.loop = loop
        self.contexts: list[dict[str, Any]] = []
        self._previous = None

    def __enter__(self) -> LoopErrors:
        self._previous = self.loop.get_exception_handler()
        self.loop.set_exception_handler(lambda loop, ctx: self.contexts.append(ctx))
        return self

    def __exit__(self, *exc: Any) -> None:
        self.loop.set_exception_handler(self._previous)

    @property
    def messages(self) -> list[str]:
        return [c.get("message", "") for c in self.contexts]


class ResettableHeartbeatController(FakeHeartbeatController):
    """A heartbeat controller that the chat path can also reset at every user message."""

    def __init__(self, **kw: Any):
        super().__init__(**kw)
        self.resets = 0

    def reset_consecutive(self):
        self.resets += 1
