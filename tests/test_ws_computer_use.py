"""Computer Use chat turns: the mode banner, tab auto-titling, event translation and failures."""

from __future__ import annotations

import asyncio
import logging
import sys

import pytest

from fakes import FakeComputerUseAgent, FakeCUEvent, FakeMemory, FakeSession, FakeWebSocket

MODE = [
    ("type", "mode"),
    ("mode", "computer_use"),
    ("message", "Using Computer Use mode \u2014 I can see and control your screen"),
    ("session_id", "s1"),
]


def items(sock: FakeWebSocket) -> list[list[tuple]]:
    """Every sent event as its ordered (key, value) pairs."""
    return [list(e.items()) for e in sock.events]


async def run_turn(ws_module, events, text="open the browser", session_id="s1", sock=None, **agent_kw):
    sock = sock or FakeWebSocket()
    agent = FakeComputerUseAgent(events, **agent_kw)
    await ws_module._handle_computer_use_chat(sock, agent, text, session_id=session_id)
    return sock, agent


@pytest.mark.parametrize(
    "event, expected",
    [
        (
            FakeCUEvent("tool_call", {"tool": "computer", "input": {"action": "left_click", "x": 3}, "id": "t1"}),
            [
                ("type", "tool_call"),
                ("id", "t1"),
                ("tool", "computer.left_click"),
                ("arguments", {"action": "left_click", "x": 3}),
            ],
        ),
        (
            FakeCUEvent("tool_call", {"tool": "bash", "input": {"command": "ls"}, "id": "t2"}),
            [("type", "tool_call"), ("id", "t2"), ("tool", "bash"), ("arguments", {"command": "ls"})],
        ),
        (
            FakeCUEvent("tool_call", {"tool": "computer", "input": "raw"}),
            [("type", "tool_call"), ("id", ""), ("tool", "computer."), ("arguments", "raw")],
        ),
        (
            FakeCUEvent("tool_call", {"tool": "computer", "input": {"action": 7}}),
            [("type", "tool_call"), ("id", ""), ("tool", "computer.7"), ("arguments", {"action": 7})],
        ),
        (FakeCUEvent("tool_call", {}), [("type", "tool_call"), ("id", ""), ("tool", ""), ("arguments", {})]),
        (
            FakeCUEvent("tool_result", {"id": "t1", "tool": "computer", "result": {"type": "image", "base64": "QUJD"}}),
            [
                ("type", "tool_result"),
                ("id", "t1"),
                ("tool", "computer"),
                ("screenshot", True),
                ("image_base64", "QUJD"),
                ("result", "Screenshot captured"),
            ],
        ),
        (
            FakeCUEvent("tool_result", {"result": {"type": "image"}}),
            [
                ("type", "tool_result"),
                ("id", ""),
                ("tool", ""),
                ("screenshot", True),
                ("image_base64", ""),
                ("result", "Screenshot captured"),
            ],
        ),
        (
            FakeCUEvent("tool_result", {"result": {"type": "error"}}),
            [("type", "tool_result"), ("id", ""), ("tool", ""), ("result", "Unknown error"), ("error", True)],
        ),
        (
            FakeCUEvent("tool_result", {"result": {"type": "error", "error": "denied"}}),
            [("type", "tool_result"), ("id", ""), ("tool", ""), ("result", "denied"), ("error", True)],
        ),
        (
            FakeCUEvent("tool_result", {"result": {"text": "file.txt", "type": "text"}}),
            [("type", "tool_result"), ("id", ""), ("tool", ""), ("result", "file.txt")],
        ),
        (
            FakeCUEvent("tool_result", {"result": {"exit": 0}}),
            [("type", "tool_result"), ("id", ""), ("tool", ""), ("result", "{'exit': 0}")],
        ),
        (
            FakeCUEvent("tool_result", {"result": "plain output"}),
            [("type", "tool_result"), ("id", ""), ("tool", ""), ("result", "plain output")],
        ),
        (
            FakeCUEvent("tool_result", {"result": 42}),
            [("type", "tool_result"), ("id", ""), ("tool", ""), ("result", "42")],
        ),
        (FakeCUEvent("tool_result", {}), [("type", "tool_result"), ("id", ""), ("tool", ""), ("result", "{}")]),
        (FakeCUEvent("text", {"content": "Done."}), [("type", "text"), ("content", "Done.")]),
        (FakeCUEvent("text", {}), [("type", "text"), ("content", "")]),
        (FakeCUEvent("thinking", {}), [("type", "thinking"), ("message", "")]),
        (FakeCUEvent("done", {}), [("type", "done"), ("iterations", 0)]),
        (FakeCUEvent("done", {"iterations": 4}), [("type", "done"), ("iterations", 4)]),
        (FakeCUEvent("error", {}), [("type", "error"), ("message", "Unknown error")]),
        (FakeCUEvent("cancelled", {}), [("type", "cancelled"), ("message", "Task cancelled")]),
    ],
)
async def test_agent_events_are_translated(host, ws_module, event, expected):
    sock, _ = await run_turn(ws_module, [event])
    sent = items(sock)
    assert sent[0] == MODE
    # "session_id" follows the event's own keys; a tool result's result keys come after it.
    own = 3 if expected[0][1] == "tool_result" else len(expected)
    assert sent[1:] == [expected[:own] + [("session_id", "s1")] + expected[own:]]


class ReadOrder(dict):
    """An event's data that records the keys read from it, and from its input."""

    def __init__(self, reads, *args):
        super().__init__(*args)
        self.reads = reads

    def get(self, key, default=None):
        self.reads.append(key)
        return super().get(key, default)


async def test_event_data_is_read_in_the_order_its_keys_are_sent(host, ws_module):
    reads: list = []
    call = ReadOrder(reads, {"id": "t1", "tool": "computer", "input": ReadOrder(reads, {"action": "type"})})
    result = ReadOrder(reads, {"id": "t1", "tool": "computer", "result": {"text": "ok"}})
    sock, _ = await run_turn(ws_module, [FakeCUEvent("tool_call", call), FakeCUEvent("tool_result", result)])
    assert reads == ["id", "tool", "input", "action", "id", "tool", "result"]
    assert sock.events[1]["tool"] == "computer.type"


async def test_turn_relays_in_order_and_drops_unknown_types(host, ws_module):
    events = [
        FakeCUEvent("thinking", {"message": "looking"}),
        FakeCUEvent("progress", {"pct": 5}),
        FakeCUEvent("error", {"message": "click missed"}),
        FakeCUEvent("done", {"iterations": 2}),
    ]
    sock, agent = await run_turn(ws_module, events, text="click it")
    assert agent.tasks == ["click it"]
    # An agent "error" is only relayed; the turn carries on to "done".
    assert [e["type"] for e in sock.events] == ["mode", "thinking", "error", "done"]
    assert sock.events[2]["message"] == "click missed"


class Tracing(str):
    """An event type that records what it is compared with."""

    compared: list = []

    def __eq__(self, other):
        Tracing.compared.append(other)
        return str.__eq__(self, other)

    __hash__ = str.__hash__


@pytest.mark.parametrize("make", [lambda t: "".join(list(t)), Tracing], ids=["equal str", "str subclass"])
async def test_types_that_are_not_the_literals_translate_alike(host, ws_module, make):
    """Catches a dispatch that only knows the interned literals, or compares in another order."""
    literal = [FakeCUEvent("done", {"iterations": 1}), FakeCUEvent("cancelled", {}), FakeCUEvent("nope", {})]
    built = [FakeCUEvent(make(e.type), e.data) for e in literal]
    Tracing.compared = []
    sock, _ = await run_turn(ws_module, built)
    assert items(sock) == items((await run_turn(ws_module, literal))[0])
    if make is Tracing:
        order = ["tool_call", "tool_result", "text", "thinking", "done", "error", "cancelled"]
        assert Tracing.compared == order[:5] + order + order


async def test_default_session_and_info_line(host, ws_module, gateway_log):
    sock, agent = FakeWebSocket(), FakeComputerUseAgent([])
    text = "a" * 79 + "\u00e9" + "z" * 50
    await ws_module._handle_computer_use_chat(sock, agent, text)
    assert sock.events[0]["session_id"] == "session_main"
    info = [(r.levelno, r.getMessage()) for r in gateway_log.records if r.levelno == logging.INFO]
    assert info == [(logging.INFO, "Computer Use agent handling [session_main]: " + text[:80])]


@pytest.mark.parametrize("raise_after", [0, 2])
async def test_agent_failure_is_logged_and_reported(host, ws_module, gateway_log, raise_after):
    events = [FakeCUEvent("text", {"content": "one"}), FakeCUEvent("text", {"content": "two"})]
    sock, _ = await run_turn(ws_module, events, raise_after=raise_after)
    assert len(sock.events) == 1 + raise_after + 1
    assert items(sock)[-1] == [
        ("type", "error"),
        ("message", "Computer Use error: screen capture failed"),
        ("session_id", "s1"),
    ]
    errors = [r for r in gateway_log.records if r.levelno == logging.ERROR]
    assert [r.getMessage() for r in errors] == ["Computer Use agent error"]
    assert isinstance(errors[0].exc_info[1], RuntimeError) and errors[0].exc_info[2] is not None


class SocketFailingAfter(FakeWebSocket):
    """A socket whose sends fail from the n-th on, as when the client has gone."""

    def __init__(self, ok_sends: int):
        super().__init__()
        self.ok_sends = ok_sends

    async def send_json(self, data):
        if len(self.sent) >= self.ok_sends:
            raise RuntimeError("socket closed")
        await super().send_json(data)


async def test_send_failure_mid_turn_ends_the_task_after_logging(host, ws_module, gateway_log):
    sock = SocketFailingAfter(ok_sends=1)
    with pytest.raises(RuntimeError, match="socket closed"):
        await run_turn(ws_module, [FakeCUEvent("text", {"content": "x"})], sock=sock)
    assert [r.getMessage() for r in gateway_log.records if r.levelno == logging.ERROR] == ["Computer Use agent error"]


async def test_a_failing_error_report_links_the_agents_error(host, ws_module):
    sock = SocketFailingAfter(ok_sends=2)
    with pytest.raises(RuntimeError, match="socket closed") as info:
        await run_turn(ws_module, [FakeCUEvent("text", {"content": "x"})] * 2, raise_after=1, sock=sock)
    assert str(info.value.__context__) == "screen capture failed"


async def test_mode_send_failure_is_not_reported(host, ws_module, gateway_log):
    with pytest.raises(RuntimeError):
        await run_turn(ws_module, [FakeCUEvent("done")], sock=FakeWebSocket(fail_send=True))
    assert not [r for r in gateway_log.records if r.levelno == logging.ERROR]


async def test_cancellation_passes_without_events(host, ws_module, gateway_log):
    sock, gate = FakeWebSocket(), asyncio.Event()
    agent = FakeComputerUseAgent([FakeCUEvent("text", {"content": "never"})], gate=gate)
    task = asyncio.create_task(ws_module._handle_computer_use_chat(sock, agent, "go", session_id="s1"))
    await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert [e["type"] for e in sock.events] == ["mode"]
    assert not [r for r in gateway_log.records if r.levelno == logging.ERROR]


@pytest.mark.parametrize(
    "args, param, got",
    [
        ((b"text",), "user_text", "bytes"),
        ((type("Text", (str,), {})("x"),), "user_text", "Text"),
        (("x", None), "session_id", "NoneType"),
    ],
)
def test_exact_str_arguments(ws_module, args, param, got):
    with pytest.raises(TypeError) as info:
        ws_module._handle_computer_use_chat(FakeWebSocket(), FakeComputerUseAgent(), *args)
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected str, got {got})"


async def test_missing_agent_module_fails_before_anything_is_sent(host, ws_module, monkeypatch):
    monkeypatch.setitem(sys.modules, "tavrin.core.computer_use_agent", None)
    sock = FakeWebSocket()
    with pytest.raises(ImportError):
        await ws_module._handle_computer_use_chat(sock, FakeComputerUseAgent(), "x")
    assert sock.sent == []


# ---- auto-titling of an untitled tab ----


@pytest.fixture
def listener(ws_module):
    """Another connected client, which sees the broadcasts."""
    other = FakeWebSocket()
    ws_module.manager._connections.append(other)
    return other


@pytest.mark.parametrize("display_name", ["New Chat", "Chat"])
async def test_first_message_titles_tab_and_conversation(host, ws_module, listener, display_name):
    session = host.registry.add(FakeSession("s1", display_name=display_name, conversation_id="c9"))
    host.state["memory"] = memory = FakeMemory()
    sock, _ = await run_turn(ws_module, [], text="   " + "x" * 70)
    title = "x" * 57
    assert session.display_name == title
    assert memory.renamed == [("c9", title)]
    assert items(listener) == [
        [("type", "session_renamed"), ("session_id", "s1"), ("display_name", title)],
        [("type", "conversation_renamed"), ("conversation_id", "c9"), ("title", title), ("session_id", "s1")],
    ]
    assert [e["type"] for e in sock.events] == ["mode"]


@pytest.mark.parametrize("conversation_id, memory", [(None, FakeMemory()), ("c9", None)])
async def test_tab_renamed_without_conversation_rename(host, ws_module, listener, conversation_id, memory):
    host.registry.add(FakeSession("s1", display_name="Chat", conversation_id=conversation_id))
    host.state["memory"] = memory
    await run_turn(ws_module, [], text="hello")
    assert [e["type"] for e in listener.events] == ["session_renamed"]


@pytest.mark.parametrize(
    "session, text",
    [
        (FakeSession("s1", display_name="Work"), "hello"),
        (FakeSession("s1", display_name="chat"), "hello"),
        (FakeSession("s1", display_name="New Chat", is_connector=True), "hello"),
        (FakeSession("s1", display_name="New Chat"), " \t\n "),
        (None, "hello"),
    ],
)
async def test_no_titling(host, ws_module, listener, session, text):
    original = session.display_name if session else None
    if session:
        host.registry.add(session)
    await run_turn(ws_module, [FakeCUEvent("done")], text=text)
    assert listener.sent == []
    assert (session.display_name if session else None) == original


async def test_conversation_rename_failure_is_swallowed(host, ws_module, listener, gateway_log):
    session = host.registry.add(FakeSession("s1", display_name="Chat", conversation_id="c9"))
    error = OSError("database is locked")
    host.state["memory"] = FakeMemory(rename_error=error)
    sock, _ = await run_turn(ws_module, [FakeCUEvent("done")], text="hello")
    assert session.display_name == "hello"
    assert [e["type"] for e in listener.events] == ["session_renamed"]
    assert [e["type"] for e in sock.events] == ["mode", "done"]
    debug = [r for r in gateway_log.records if r.levelno == logging.DEBUG]
    assert [(r.msg, r.args) for r in debug] == [("Auto-name conversation (CU) failed: %s", (error,))]
