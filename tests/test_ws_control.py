"""The control handlers: task stop, approvals, sessions, conversations and the heartbeat."""

from __future__ import annotations

import asyncio
import logging
import types

import pytest

from fakes import (
    FakeAgent,
    FakeComputerUseAgent,
    FakeConversationAgent,
    FakeGuardrails,
    FakeHeartbeatController,
    FakeMemory,
    FakeSession,
    FakeTask,
    FakeWebSocket,
)


def items(sock: FakeWebSocket) -> list[list[tuple]]:
    return [list(e.items()) for e in sock.events]


async def send(ws_module, handler: str, message: dict | None = None) -> FakeWebSocket:
    sock = FakeWebSocket()
    fn = getattr(ws_module, handler)
    await (fn(sock) if message is None else fn(sock, message))
    return sock


def log_lines(caplog, level):
    return [r.getMessage() for r in caplog.records if r.levelno == level]


# ---- stop_task ----

STOPPED = [("type", "task_stopped"), ("message", "Task stopped")]
IDLE = [("type", "info"), ("message", "No task is currently running")]


@pytest.mark.parametrize(
    "agent, task, cu, fallback, reply",
    [
        (None, None, None, None, IDLE),
        (FakeAgent(), None, None, None, STOPPED),  # an idle agent still counts
        (None, FakeTask(done=True), None, None, IDLE),  # a finished task is left alone
        (None, FakeTask(), None, None, STOPPED),
        (None, None, FakeComputerUseAgent(is_running=True), None, STOPPED),
        (None, None, FakeComputerUseAgent(is_running=False), None, IDLE),
        (None, None, types.SimpleNamespace(), None, IDLE),  # no `is_running` at all
        (None, None, None, FakeAgent(), IDLE),  # a session without agent keeps the fallback
    ],
)
async def test_stop_task_in_existing_session(host, ws_module, agent, task, cu, fallback, reply):
    host.registry.add(FakeSession("s1", agent))
    host.state.update(cu_agent=cu, agent=fallback)
    if task:
        ws_module._active_tasks["s1"] = task
    sock = await send(ws_module, "_handle_stop_task", {"type": "stop_task", "session_id": "s1"})
    assert items(sock) == [reply + [("session_id", "s1")]]
    if task:
        assert task.cancels == (0 if task.done() else 1)
    if agent:
        assert agent.cancelled == 1
    if isinstance(cu, FakeComputerUseAgent):
        assert cu.stopped == (1 if reply is STOPPED else 0)
    if fallback:
        assert fallback.cancelled == 0
    assert ws_module._active_tasks.get("s1") is task


async def test_stop_task_does_everything_at_once_in_default_session(host, ws_module):
    agent, cu, task = FakeAgent(), FakeComputerUseAgent(is_running=True), FakeTask()
    host.registry.add(FakeSession("session_main", agent))
    host.state["cu_agent"] = cu
    ws_module._active_tasks["session_main"] = task
    sock = await send(ws_module, "_handle_stop_task", {"type": "stop_task", "session_id": ""})
    assert items(sock) == [STOPPED + [("session_id", "session_main")]]
    assert (task.cancels, cu.stopped, agent.cancelled) == (1, 1, 1)


@pytest.mark.parametrize("fallback, reply", [(FakeAgent(), STOPPED), (None, IDLE)])
async def test_stop_task_for_unknown_session_uses_fallback(host, ws_module, fallback, reply):
    host.state["agent"] = fallback
    sock = await send(ws_module, "_handle_stop_task", {"type": "stop_task", "session_id": "ghost"})
    assert items(sock) == [reply + [("session_id", "ghost")]]
    if fallback:
        assert fallback.cancelled == 1


async def test_stop_task_requests_cancel_without_waiting(host, ws_module):
    running = asyncio.create_task(asyncio.sleep(3600))
    ws_module._active_tasks["session_main"] = running
    await send(ws_module, "_handle_stop_task", {"type": "stop_task"})
    assert running.cancelling() == 1 and not running.done()
    with pytest.raises(asyncio.CancelledError):
        await running


# ---- approve ----


@pytest.mark.parametrize(
    "guardrails, message, reply, calls",
    [
        (None, {}, [("type", "error"), ("message", "Guardrails not initialized")], None),
        (FakeGuardrails(), {}, [("type", "error"), ("message", "Missing approval_id")], []),
        (
            FakeGuardrails(),
            {"approval_id": "", "approved": True},
            [("type", "error"), ("message", "Missing approval_id")],
            [],
        ),
        (FakeGuardrails(), {"approval_id": 0}, [("type", "error"), ("message", "Missing approval_id")], []),
        (
            FakeGuardrails(),
            {"approval_id": "a1"},
            [("type", "approval_resolved"), ("approval_id", "a1"), ("approved", False), ("success", True)],
            [("a1", False)],
        ),
        (
            FakeGuardrails(result=None),
            {"approval_id": "a2", "approved": "yes"},
            [("type", "approval_resolved"), ("approval_id", "a2"), ("approved", "yes"), ("success", None)],
            [("a2", "yes")],
        ),
    ],
)
async def test_approval(host, ws_module, guardrails, message, reply, calls):
    host.state["guardrails"] = guardrails
    sock = await send(ws_module, "_handle_approval", {"type": "approve", **message})
    assert items(sock) == [reply]
    if guardrails:
        assert guardrails.calls == calls


# ---- sessions ----


@pytest.mark.parametrize(
    "message, name, icon",
    [
        ({}, "New Chat", "\U0001f4ac"),
        ({"display_name": "", "icon": ""}, "", ""),
        ({"display_name": "Research", "icon": "R"}, "Research", "R"),
    ],
)
async def test_new_session(host, ws_module, message, name, icon):
    asked = []

    async def create_session(*, display_name, icon, is_connector):  # keywords only, as the registry takes them
        asked.append((display_name, icon, is_connector))
        return FakeSession("s7", display_name=display_name)

    host.registry.create_session = create_session
    sock = await send(ws_module, "_handle_new_session", {"type": "new_session", **message})
    assert asked == [(name, icon, False)]
    assert items(sock) == [[("type", "session_created"), ("session", {"session_id": "s7", "display_name": name})]]


@pytest.mark.parametrize("message", [{}, {"session_id": ""}, {"session_id": None}])
async def test_close_session_without_id(host, ws_module, message):
    sock = await send(ws_module, "_handle_close_session", {"type": "close_session", **message})
    assert items(sock) == [[("type", "error"), ("message", "Missing session_id")]]
    assert host.registry.calls == []


@pytest.mark.parametrize("known", [True, False])
async def test_close_session_answers_only_the_requester(host, ws_module, known):
    other = FakeWebSocket()
    ws_module.manager._connections.append(other)
    if known:
        host.registry.add(FakeSession("s3"))
    sock = await send(ws_module, "_handle_close_session", {"type": "close_session", "session_id": "s3"})
    assert items(sock) == [[("type", "session_closed"), ("session_id", "s3"), ("success", known)]]
    assert other.sent == []


class Untellable:
    def __bool__(self):
        raise RuntimeError("no truth here")


class Recorder:
    """A socket that keeps what it is sent as it is, JSON or not."""

    def __init__(self):
        self.events = []

    async def send_json(self, data):
        self.events.append(list(data.items()))


@pytest.mark.parametrize("streams", [False, True])
@pytest.mark.parametrize(
    "session_id, removed",
    [
        (["a", "list"], True),  # truthy ids from JSON that cannot be a key
        ({"an": "object"}, True),
        ("s3", Untellable()),  # a result whose truth cannot be told
    ],
)
async def test_close_session_always_answers(host, ws_module, monkeypatch, streams, session_id, removed):
    """Closing a session the registry accepted is answered, whatever its id or the registry's result."""
    monkeypatch.setattr(ws_module, "_SESSION_STREAMS", streams)

    async def close_session(sid):
        return removed

    monkeypatch.setattr(host.registry, "close_session", close_session)
    sock = Recorder()
    await ws_module._handle_close_session(sock, {"type": "close_session", "session_id": session_id})
    assert sock.events == [[("type", "session_closed"), ("session_id", session_id), ("success", removed)]]


@pytest.mark.parametrize("streams", [False, True])
async def test_approval_reports_any_guardrails_result(host, ws_module, monkeypatch, streams):
    """The guardrails' answer is passed on untouched, even one whose truth cannot be told."""
    monkeypatch.setattr(ws_module, "_SESSION_STREAMS", streams)
    answer = Untellable()
    host.state["guardrails"] = types.SimpleNamespace(resolve_approval=lambda approval_id, approved: answer)
    sock = Recorder()
    await ws_module._handle_approval(sock, {"type": "approve", "approval_id": ["x"], "approved": True})
    assert sock.events == [
        [("type", "approval_resolved"), ("approval_id", ["x"]), ("approved", True), ("success", answer)]
    ]


async def test_list_sessions_through_dispatcher(host, ws_module):
    sock = FakeWebSocket()
    await ws_module._handle_message(sock, {"type": "list_sessions", "session_id": "ignored"})
    host.registry.add(FakeSession("s1", display_name="Work"))
    await ws_module._handle_message(sock, {"type": "list_sessions"})
    assert items(sock) == [
        [("type", "sessions_list"), ("sessions", [])],
        [("type", "sessions_list"), ("sessions", [{"session_id": "s1", "display_name": "Work"}])],
    ]


# ---- new_conversation ----


async def test_new_conversation_in_default_session(host, ws_module):
    host.registry.add(FakeSession("session_main", FakeAgent()))
    sock = await send(ws_module, "_handle_new_conversation", {"type": "new_conversation"})
    assert host.registry.calls == [("new_conversation_in_session", "session_main")]
    assert items(sock) == [
        [("type", "conversation_started"), ("conversation_id", "conv-session_main"), ("session_id", "session_main")]
    ]


@pytest.mark.parametrize("with_fallback", [True, False])
async def test_new_conversation_for_unknown_session(host, ws_module, with_fallback):
    fallback = host.state["agent"] = FakeConversationAgent() if with_fallback else None
    sock = await send(ws_module, "_handle_new_conversation", {"type": "new_conversation", "session_id": "ghost"})
    expected = [[("type", "conversation_started"), ("conversation_id", "new-1"), ("session_id", "ghost")]]
    assert items(sock) == (expected if with_fallback else [])
    assert host.registry.calls == []
    if fallback:
        assert fallback.conversation.started == 1


# ---- resume_conversation ----


@pytest.fixture
def store(host):
    host.state["memory"] = memory = FakeMemory({"c1": [{"role": "user", "content": "hi"}]})
    return memory


async def test_resume_conversation(host, ws_module, store, gateway_log):
    agent, cu = FakeConversationAgent(), FakeComputerUseAgent(is_running=True)
    host.registry.add(FakeSession("s1", agent))
    host.state["cu_agent"] = cu
    ws_module._active_tasks["s1"] = task = FakeTask()
    sock = await send(
        ws_module,
        "_handle_resume_conversation",
        {"type": "resume_conversation", "session_id": "s1", "conversation_id": "c1"},
    )
    assert (task.cancels, agent.cancelled, cu.stopped) == (1, 1, 1)
    assert agent.conversation.resumed == ["c1"] and store.reads == [("c1", 200)]
    assert items(sock) == [
        [
            ("type", "conversation_resumed"),
            ("conversation_id", "c1"),
            ("session_id", "s1"),
            ("messages", [{"role": "user", "content": "hi"}]),
        ]
    ]
    assert log_lines(gateway_log, logging.INFO) == [
        "Cancelled running task in session s1 before resuming conversation c1"
    ]


async def test_resume_without_conversation_id_only_stops(host, ws_module, store, gateway_log):
    agent, cu = FakeConversationAgent(), FakeComputerUseAgent(is_running=True)
    host.registry.add(FakeSession("session_main", agent))
    host.state["cu_agent"] = cu
    ws_module._active_tasks["session_main"] = task = FakeTask()
    sock = await send(ws_module, "_handle_resume_conversation", {"type": "resume_conversation"})
    assert sock.sent == []
    assert (task.cancels, agent.cancelled, cu.stopped) == (1, 1, 1)
    assert agent.conversation.resumed == []
    assert log_lines(gateway_log, logging.INFO) == [
        "Cancelled running task in session session_main before resuming conversation None"
    ]


async def test_resume_on_connector_session_redirects_to_default(host, ws_module, store, gateway_log):
    main_agent, connector_agent = FakeConversationAgent(), FakeConversationAgent()
    host.registry.add(FakeSession("session_main", main_agent))
    host.registry.add(FakeSession("tg-1", connector_agent, is_connector=True))
    ws_module._active_tasks["session_main"] = main_task = FakeTask()
    ws_module._active_tasks["tg-1"] = connector_task = FakeTask()
    sock = await send(
        ws_module,
        "_handle_resume_conversation",
        {"type": "resume_conversation", "session_id": "tg-1", "conversation_id": "c1"},
    )
    assert log_lines(gateway_log, logging.WARNING) == [
        "Blocked resume_conversation on connector session 'tg-1', redirecting to 'session_main'"
    ]
    assert (main_task.cancels, main_agent.cancelled, main_agent.conversation.resumed) == (1, 1, ["c1"])
    assert (connector_task.cancels, connector_agent.cancelled, connector_agent.conversation.resumed) == (0, 0, [])
    assert sock.events[0]["session_id"] == "session_main"


async def test_resume_in_unknown_session_uses_fallback(host, ws_module, store, gateway_log):
    fallback = host.state["agent"] = FakeConversationAgent()
    ws_module._active_tasks["ghost"] = task = FakeTask(done=True)
    sock = await send(
        ws_module,
        "_handle_resume_conversation",
        {"type": "resume_conversation", "session_id": "ghost", "conversation_id": "c1"},
    )
    assert (fallback.cancelled, fallback.conversation.resumed) == (1, ["c1"])
    assert task.cancels == 0 and log_lines(gateway_log, logging.INFO) == []
    assert [(e["type"], e["session_id"]) for e in sock.events] == [("conversation_resumed", "ghost")]


async def test_resume_in_session_without_agent_sends_nothing(host, ws_module, store):
    host.registry.add(FakeSession("s1", None))
    fallback = host.state["agent"] = FakeConversationAgent()
    sock = await send(
        ws_module,
        "_handle_resume_conversation",
        {"type": "resume_conversation", "session_id": "s1", "conversation_id": "c1"},
    )
    assert sock.sent == [] and fallback.cancelled == 0 and fallback.conversation.resumed == []


async def test_resume_without_store_fails_after_switching(host, ws_module):
    agent = FakeConversationAgent()
    host.registry.add(FakeSession("s1", agent))
    sock = FakeWebSocket()
    with pytest.raises(KeyError):
        await ws_module._handle_resume_conversation(sock, {"session_id": "s1", "conversation_id": "c1"})
    assert agent.conversation.resumed == ["c1"] and sock.sent == []


# ---- clear_session_history ----


@pytest.mark.parametrize(
    "session, text",
    [
        (None, "Session not found"),
        (
            FakeSession("s1", FakeConversationAgent("c1")),
            "clear_session_history is only allowed for connector sessions",
        ),
        (FakeSession("s1", None, is_connector=True), "No agent for session"),
    ],
)
async def test_clear_history_refusals(host, ws_module, session, text):
    if session:
        host.registry.add(session)
    sock = await send(ws_module, "_handle_clear_session_history", {"type": "clear_session_history", "session_id": "s1"})
    assert items(sock) == [[("type", "error"), ("message", text), ("session_id", "s1")]]
    if session and session.agent:
        assert session.agent._memory.cleared == [] and session.agent.conversation.started == 0


@pytest.mark.parametrize("current, cleared", [("c1", ["c1"]), (None, [])])
async def test_clear_history_of_connector_session(host, ws_module, gateway_log, current, cleared):
    agent = FakeConversationAgent(current, FakeMemory({"c1": [{"role": "user"}]}))
    session = host.registry.add(FakeSession("session_main", agent, is_connector=True, conversation_id=current))
    sock = await send(ws_module, "_handle_clear_session_history", {"type": "clear_session_history"})
    assert agent._memory.cleared == cleared
    assert session.conversation_id == agent.conversation.conversation_id == "new-1"
    assert items(sock) == [
        [
            ("type", "session_history_cleared"),
            ("session_id", "session_main"),
            ("message", "Chat history cleared. Starting fresh."),
        ]
    ]
    info = [r for r in gateway_log.records if r.levelno == logging.INFO]
    assert [(r.msg, r.args) for r in info] == [
        ("Cleared history for connector session %r, new conversation %r", ("session_main", "new-1"))
    ]


# ---- heartbeat_control ----


@pytest.mark.parametrize("message", [{"action": "start"}, {"action": "bogus"}, {}])
async def test_heartbeat_not_initialized(host, ws_module, message):
    sock = await send(ws_module, "_handle_heartbeat_control", {"type": "heartbeat_control", **message})
    assert items(sock) == [[("type", "error"), ("message", "Heartbeat not initialized")]]


def config(interval):
    return types.SimpleNamespace(heartbeat=types.SimpleNamespace(interval=interval))


@pytest.mark.parametrize(
    "message, cfg, used",
    [
        ({}, None, 300),
        ({"interval": 0}, config(45), 45),
        ({"interval": 0}, None, 300),
        ({"interval": None}, config(45), 45),
        ({"interval": 600}, config(45), 600),
        ({"interval": "90"}, None, "90"),
    ],
)
async def test_heartbeat_start_interval(host, ws_module, message, cfg, used):
    hb = host.state["heartbeat"] = FakeHeartbeatController()
    host.state["config"] = cfg
    sock = await send(
        ws_module, "_handle_heartbeat_control", {"type": "heartbeat_control", "action": "start", **message}
    )
    assert hb.calls == [("start", used)]
    assert items(sock) == [[("type", "heartbeat_status"), ("status", "running"), ("interval", used)]]


@pytest.mark.parametrize(
    "controller",
    [
        FakeHeartbeatController(minimum=5),  # adjusts what it is given: the reply still echoes 2
        types.SimpleNamespace(start=lambda interval: None),  # no `interval` attribute: only "status" reads one
    ],
)
async def test_heartbeat_start_echoes_the_interval_asked_for(host, ws_module, controller):
    host.state["heartbeat"] = controller
    sock = await send(
        ws_module, "_handle_heartbeat_control", {"type": "heartbeat_control", "action": "start", "interval": 2}
    )
    assert items(sock) == [[("type", "heartbeat_status"), ("status", "running"), ("interval", 2)]]


@pytest.mark.parametrize("action, status", [("stop", "stopped"), ("pause", "paused"), ("resume", "running")])
async def test_heartbeat_commands(host, ws_module, action, status):
    hb = host.state["heartbeat"] = FakeHeartbeatController()
    sock = await send(ws_module, "_handle_heartbeat_control", {"action": action})
    assert hb.calls == [(action,)]
    assert items(sock) == [[("type", "heartbeat_status"), ("status", status)]]


@pytest.mark.parametrize("running, paused, status", [(False, False, "stopped"), (True, True, "running")])
async def test_heartbeat_status(host, ws_module, running, paused, status):
    host.state["heartbeat"] = FakeHeartbeatController(is_running=running, is_paused=paused, interval=120)
    sock = await send(ws_module, "_handle_heartbeat_control", {"action": "status"})
    assert items(sock) == [[("type", "heartbeat_status"), ("status", status), ("paused", paused), ("interval", 120)]]


@pytest.mark.parametrize(
    "message, text",
    [
        ({"action": "Start"}, "Start"),
        ({"action": " start "}, " start "),
        ({}, ""),
        ({"action": 5}, "5"),
        ({"action": None}, "None"),
    ],
)
async def test_heartbeat_unknown_action(host, ws_module, message, text):
    hb = host.state["heartbeat"] = FakeHeartbeatController()
    sock = await send(ws_module, "_handle_heartbeat_control", message)
    assert items(sock) == [[("type", "error"), ("message", "Unknown heartbeat action: " + text)]]
    assert hb.calls == []


async def test_heartbeat_config_without_section_propagates(host, ws_module):
    host.state.update(heartbeat=FakeHeartbeatController(), config=types.SimpleNamespace())
    sock = FakeWebSocket()
    with pytest.raises(AttributeError):
        await ws_module._handle_heartbeat_control(sock, {"action": "start"})
    assert sock.sent == []


# ---- argument types ----

HANDLERS = [
    "_handle_stop_task",
    "_handle_approval",
    "_handle_new_session",
    "_handle_close_session",
    "_handle_new_conversation",
    "_handle_resume_conversation",
    "_handle_clear_session_history",
    "_handle_heartbeat_control",
]


@pytest.mark.parametrize("handler", HANDLERS)
@pytest.mark.parametrize("message, got", [(None, "NoneType"), (type("Msg", (dict,), {})(), "Msg"), ([], "list")])
def test_message_must_be_exactly_a_dict(ws_module, handler, message, got):
    with pytest.raises(TypeError) as info:
        getattr(ws_module, handler)(FakeWebSocket(), message)
    assert str(info.value) == f"Argument 'message' has incorrect type (expected dict, got {got})"
