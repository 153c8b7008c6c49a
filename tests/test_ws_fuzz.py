"""Generated client frames against the endpoint, with a fully populated fake host.

Whatever a client sends, one of three things happens to its connection: it gets events back, or
its receive loop ends with "WebSocket error" logged (and it leaves the manager), or the chat task
it started ends. Never a crash or a SystemError, never a connection left behind, never another
client disturbed.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import sys
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import event as note_outcome
from hypothesis import strategies as st

from fakes import (
    FakeAgent,
    FakeComputerUseAgent,
    FakeConversationAgent,
    FakeCUEvent,
    FakeEvent,
    FakeGuardrails,
    FakeMemory,
    FakeSession,
    FakeWebSocket,
    Host,
    ResettableHeartbeatController,
)

FUZZ = settings(
    max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow]
)

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=20),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=8,
)

# The keys each client message type reads.
KEYS = {
    "chat": ["content", "session_id", "attachments", "computer_use"],
    "approve": ["approval_id", "approved"],
    "new_conversation": ["session_id"],
    "new_session": ["display_name", "icon"],
    "close_session": ["session_id"],
    "list_sessions": ["session_id"],
    "resume_conversation": ["session_id", "conversation_id"],
    "heartbeat_control": ["action", "interval"],
    "stop_task": ["session_id"],
    "clear_session_history": ["session_id"],
    "ping": [],
}
# Values that lead past the first checks, mixed with values of every JSON type.
plausible = st.sampled_from(
    [
        "session_main",
        "s-conn",
        "s-idle",
        "nope",
        "",
        "start",
        "stop",
        "pause",
        "resume",
        "status",
        "conv-1",
        "use computer use",
        "hello",
        "New Chat",
        0,
        1,
        True,
        False,
        None,
    ]
)
values = plausible | json_values


@st.composite
def typed_messages(draw):
    kind = draw(st.sampled_from(sorted(KEYS)))
    keys = draw(st.lists(st.sampled_from(KEYS[kind]), unique=True)) if KEYS[kind] else []
    message = {"type": kind}
    for k in keys:
        message[k] = draw(values)
    if draw(st.booleans()):
        message[draw(st.text(max_size=6))] = draw(json_values)  # an extra key nobody reads
    return message


def frame_of(value) -> str:
    return json.dumps(value, allow_nan=True)


typed_frames = typed_messages().map(frame_of)
frames = st.one_of(
    typed_frames,
    typed_frames,
    typed_frames,  # weighted toward messages that reach the handlers
    json_values.map(frame_of),
    st.dictionaries(st.text(max_size=6), json_values, max_size=4).map(frame_of),
    st.text(max_size=40),  # mostly not JSON at all
    typed_messages().map(frame_of).map(lambda f: f[: len(f) // 2]),  # cut short
)

EVENT_TYPES = {
    "pong",
    "error",
    "session_created",
    "session_closed",
    "sessions_list",
    "approval_resolved",
    "task_stopped",
    "info",
    "conversation_started",
    "conversation_resumed",
    "session_history_cleared",
    "heartbeat_status",
    "stall_warning",
    "mode",
    "conversation_renamed",
    "session_renamed",
    "thinking",
    "tool_call",
    "tool_result",
    "text",
    "done",
    "cancelled",
    "tool_approval_needed",
}


def populated_host() -> Host:
    host = Host()
    memory = FakeMemory({"conv-1": [{"role": "user", "content": "hi"}]})
    main = FakeConversationAgent(
        "conv-1",
        memory,
        events=[
            FakeEvent("thinking", message="m"),
            FakeEvent("tool_approval_needed", approval_id="a"),
            FakeEvent("done"),
        ],
    )
    host.registry.add(FakeSession("session_main", main, display_name="New Chat", conversation_id="conv-1"))
    host.registry.add(FakeSession("s-conn", FakeConversationAgent("conv-2", memory), is_connector=True))
    host.registry.add(FakeSession("s-idle", None))
    host.state.update(
        agent=FakeAgent(),
        memory=memory,
        guardrails=FakeGuardrails(),
        heartbeat=ResettableHeartbeatController(is_running=True),
        config=types.SimpleNamespace(heartbeat=types.SimpleNamespace(interval=120)),
        cu_agent=FakeComputerUseAgent([FakeCUEvent("thinking", {"text": "t"}), FakeCUEvent("done", {})]),
    )
    return host


@contextlib.contextmanager
def installed(host: Host):
    names = {
        "tavrin.gateway.server": host.server,
        "tavrin.core.session_registry": host.session_registry,
        "tavrin.core.computer_use_agent": host.cu_module,
    }
    saved = {k: sys.modules.get(k) for k in names}
    sys.modules.update(names)
    try:
        yield
    finally:
        for k, v in saved.items():
            if v is None:
                sys.modules.pop(k, None)
            else:
                sys.modules[k] = v


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []

    def emit(self, record):
        self.records.append(record)


async def until(condition, rounds=2000):
    for _ in range(rounds):
        if condition():
            return True
        await asyncio.sleep(0)
    return condition()


async def exchange(ws_module, sent_frames: list[str]):
    """Runs one fuzzed client beside a bystander; returns (fuzzed socket, bystander, records, chat tasks)."""
    ws_module.manager._connections.clear()
    ws_module._active_tasks.clear()
    chats: list[asyncio.Task] = []
    real = asyncio.create_task

    def spy(coro, *, name=None, **kw):
        task = real(coro, name=name, **kw)
        chats.append(task)
        return task

    endpoint = ws_module.create_ws_router().routes[0].endpoint
    bystander, client = FakeWebSocket(), FakeWebSocket()
    by_task = real(endpoint(ws=bystander))
    await until(lambda: bystander in ws_module.manager._connections)
    asyncio.create_task = spy
    try:
        client_task = real(endpoint(ws=client))
        client.feed(*sent_frames)
        # Let the frames be read and the turns they started run to their end, then leave.
        await until(lambda: client_task.done() or (client.incoming.empty() and all(t.done() for t in chats)))
        client.hang_up()
        await asyncio.wait_for(client_task, 10)  # a guard against a hang, not a timing
        await until(lambda: all(t.done() for t in chats))
    finally:
        asyncio.create_task = real
    await asyncio.wait_for(_ping(bystander), 10)
    bystander.hang_up()
    await by_task
    return client, bystander, chats


async def _ping(sock):
    before = len(sock.sent)
    sock.feed({"type": "ping"})
    await until(lambda: len(sock.sent) > before)
    assert sock.events[-1] == {"type": "pong"}


def run(ws_module, sent_frames: list[str]):
    handler = Records()
    log = logging.getLogger("tavrin.ws")
    log.addHandler(handler)
    level = log.level
    log.setLevel(logging.DEBUG)
    loop_errors: list[dict] = []
    try:
        with installed(populated_host()):

            async def main():
                asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: loop_errors.append(ctx))
                return await exchange(ws_module, sent_frames)

            client, bystander, chats = asyncio.run(main())
    finally:
        log.removeHandler(handler)
        log.setLevel(level)
    return client, bystander, chats, handler.records, loop_errors


def check_outcomes(ws_module, client, bystander, chats, records, loop_errors):
    # Every connection left the manager; no chat task is left registered.
    assert ws_module.manager._connections == []
    assert ws_module._active_tasks == {}
    # Every event sent is an object of a known type, and nothing reached the bystander but broadcasts.
    for sock in (client, bystander):
        for event in sock.events:
            assert isinstance(event, dict) and event.get("type") in EVENT_TYPES, event
    assert {e["type"] for e in bystander.events} <= {
        "session_renamed",
        "conversation_renamed",
        "tool_approval_needed",
        "stall_warning",
        "pong",
    }
    # Errors are ordinary: logged "WebSocket error" at most once (it ends the loop), agent errors of a turn,
    # or a chat task that ended with an ordinary error. Never a SystemError.
    errors = [r for r in records if r.levelno >= logging.ERROR]
    note_outcome(
        "loop ended with an error" if any(r.getMessage() == "WebSocket error" for r in errors) else "loop served"
    )
    for t in chats:
        note_outcome("chat task " + ("cancelled" if t.cancelled() else "failed" if t.exception() else "finished"))
    assert [r.getMessage() for r in errors if r.getMessage() == "WebSocket error"].count("WebSocket error") <= 1
    for r in errors:
        assert r.getMessage() == "WebSocket error" or r.getMessage().startswith(
            ("Standard agent error [", "Computer Use error")
        )
        exc = r.exc_info[1] if r.exc_info else None
        assert isinstance(exc, Exception) and not isinstance(exc, SystemError), exc
    for t in chats:
        if not t.cancelled() and t.exception() is not None:
            assert not isinstance(t.exception(), SystemError), t.exception()
    for ctx in loop_errors:
        exc = ctx.get("exception")
        assert not isinstance(exc, SystemError), ctx
        assert ctx.get("message") == "Task exception was never retrieved" and any(
            t is ctx.get("future") for t in chats
        ), ctx
    return errors


@pytest.mark.timeout(900)  # hundreds of generated cases: on a loaded machine, well past the usual guard
@FUZZ
@given(frame=frames)
def test_any_single_frame(ws_module, frame):
    client, bystander, chats, records, loop_errors = run(ws_module, [frame])
    errors = check_outcomes(ws_module, client, bystander, chats, records, loop_errors)
    try:
        message = json.loads(frame)
    except ValueError:
        message = None
    if not isinstance(message, dict):
        # Not a JSON object: the loop ends with the error logged, and the client hears nothing.
        assert client.sent == []
        assert [r.getMessage() for r in errors] == ["WebSocket error"]
    elif message.get("type") == "ping":
        assert client.events == [{"type": "pong"}]
    elif not isinstance(message.get("type"), str) or message["type"] not in KEYS:
        assert client.events[0]["type"] == "error"
        assert client.events[0]["message"].startswith("Unknown message type: ")
        assert errors == []


@pytest.mark.timeout(900)
@FUZZ
@given(sent=st.lists(typed_frames, min_size=1, max_size=6), last=st.none() | frames)
def test_sequences_of_frames(ws_module, sent, last):
    client, bystander, chats, records, loop_errors = run(ws_module, sent + ([last] if last is not None else []))
    check_outcomes(ws_module, client, bystander, chats, records, loop_errors)
