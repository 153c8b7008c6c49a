"""Chat routing, the standard chat turn and the stall watchdog."""

from __future__ import annotations

import asyncio
import logging
import sys
import types
from fractions import Fraction

import pytest

from fakes import FakeAgent, FakeEvent, FakeSession, FakeWebSocket, until

BANNER = "\U0001f5a5\ufe0f Computer Use mode \u2014 I can see and control your screen"


@pytest.fixture
def routed(ws_module, host, monkeypatch):
    """Record which chat path `_handle_chat` picks, with what arguments."""
    calls = []

    async def standard(ws, agent, user_text, attachments=None, session_lock=None, session_id="session_main"):
        calls.append(("standard", agent, user_text, attachments, session_lock, session_id))

    async def computer_use(ws, cu_agent, user_text, session_id="session_main"):
        calls.append(("cu", cu_agent, user_text, session_id))

    monkeypatch.setattr(ws_module, "_handle_standard_chat", standard)
    monkeypatch.setattr(ws_module, "_handle_computer_use_chat", computer_use, raising=False)
    return calls


class Heartbeat:
    def __init__(self):
        self.resets = 0

    def reset_consecutive(self):
        self.resets += 1


class TestRouting:
    async def test_blank_text_is_ignored_entirely(self, ws_module, host, routed, gateway_log):
        hb = host.state["heartbeat"] = Heartbeat()
        sock = FakeWebSocket()
        await ws_module._handle_chat(sock, {"type": "chat", "content": "   ", "attachments": [{"a": "b"}]})
        assert (routed, sock.sent, hb.resets, gateway_log.records) == ([], [], 0, [])

    @pytest.mark.parametrize("sid", [None, "", "absent"])
    async def test_default_session(self, ws_module, host, routed, sid):
        agent = FakeAgent()
        main = host.registry.add(FakeSession("session_main", agent))
        message = {"type": "chat", "content": " hi ", "attachments": [{"k": "v"}]}
        if sid != "absent":
            message["session_id"] = sid
        host.state["heartbeat"] = hb = Heartbeat()
        await ws_module._handle_chat(FakeWebSocket(), message)
        assert routed == [("standard", agent, "hi", [{"k": "v"}], main.lock, "session_main")]
        assert hb.resets == 1

    async def test_connector_session_is_redirected(self, ws_module, host, routed, gateway_log):
        main = host.registry.add(FakeSession("session_main", FakeAgent()))
        host.registry.add(FakeSession("tg", FakeAgent(), is_connector=True))
        await ws_module._handle_chat(FakeWebSocket(), {"content": "hi", "session_id": "tg"})
        assert routed[0][4] is main.lock and routed[0][5] == "session_main"
        record = gateway_log.records[-1]
        assert (record.levelno, record.getMessage()) == (
            logging.WARNING,
            "Blocked chat message to connector session 'tg', redirecting to 'session_main'",
        )

    async def test_unknown_session_uses_the_fallback_agent_and_lock(self, ws_module, host, routed):
        fallback = host.state["agent"] = FakeAgent()
        await ws_module._handle_chat(FakeWebSocket(), {"content": "hi", "session_id": "nope"})
        assert routed[-1][1] is fallback and routed[-1][4] is host.agent_lock and routed[-1][5] == "nope"
        own_lock = host.state["_agent_lock_fallback"] = asyncio.Lock()
        await ws_module._handle_chat(FakeWebSocket(), {"content": "hi", "session_id": "nope"})
        assert routed[-1][4] is own_lock

    async def test_errors_when_no_agent(self, ws_module, host, routed):
        sock = FakeWebSocket()
        await ws_module._handle_chat(sock, {"content": "hi", "session_id": "nope"})
        host.registry.add(FakeSession("empty", None))
        await ws_module._handle_chat(sock, {"content": "hi", "session_id": "empty"})
        assert sock.events == [
            {"type": "error", "message": "Agent not initialized", "session_id": "nope"},
            {"type": "error", "message": "No suitable agent available", "session_id": "empty"},
        ]
        assert routed == []

    @pytest.mark.parametrize(
        "flag, text, has_cu, path",
        [
            (True, "anything", True, "cu"),
            (False, "please USE SCREENSHOTS", True, "standard"),
            ("absent", "Switch To Computer Use now", True, "cu"),
            ("absent", "use vision", False, "standard"),
            (True, "hi", False, "standard"),
            (None, "enable computer use", True, "cu"),
        ],
    )
    async def test_mode_choice(self, ws_module, host, routed, flag, text, has_cu, path):
        host.registry.add(FakeSession("session_main", FakeAgent()))
        if has_cu:
            host.state["cu_agent"] = object()
        message = {"content": text}
        if flag != "absent":
            message["computer_use"] = flag
        await ws_module._handle_chat(FakeWebSocket(), message)
        assert routed[0][0] == path

    async def test_detector_not_consulted_without_cu_agent(self, ws_module, host, routed, monkeypatch):
        monkeypatch.setattr(ws_module, "_should_use_computer_use", lambda text: pytest.fail("consulted"))
        host.registry.add(FakeSession("session_main", FakeAgent()))
        await ws_module._handle_chat(FakeWebSocket(), {"content": "use vision"})
        assert routed[0][0] == "standard"

    async def test_host_failures_end_the_task(self, ws_module, host, routed):
        host.state["heartbeat"] = hb = Heartbeat()
        with pytest.raises(AttributeError):
            await ws_module._handle_chat(FakeWebSocket(), {"content": 5})
        assert hb.resets == 0
        del host.server.get_state
        with pytest.raises(ImportError, match="cannot import name 'get_state'"):
            await ws_module._handle_chat(FakeWebSocket(), {"content": "x"})

    @pytest.mark.parametrize(
        "text, expected",
        [
            ("I want to use visionary tools", True),
            ("enable computer user", True),
            ("show me the screen", False),
            ("SCREENSHOT MODE please", True),
        ],
    )
    def test_phrase_detector(self, ws_module, text, expected):
        assert ws_module._should_use_computer_use(text) is expected

    def test_phrase_detector_and_get_session_check_types(self, ws_module, host):
        with pytest.raises(TypeError, match=r"Argument 'message' has incorrect type \(expected str, got NoneType\)"):
            ws_module._should_use_computer_use(None)
        main = host.registry.add(FakeSession("session_main"))
        assert ws_module._get_session(None) is main and ws_module._get_session("") is main
        assert ws_module._get_session("other") is None
        with pytest.raises(TypeError, match="Argument 'session_id'"):
            ws_module._get_session(3)


@pytest.fixture
def quiet_watchdog(ws_module, monkeypatch):
    """A watchdog that records its start and waits to be cancelled."""
    started = []

    async def watchdog(agent, session_id):
        started.append(session_id)
        await asyncio.Event().wait()

    monkeypatch.setattr(ws_module, "_watchdog", watchdog)
    return started


@pytest.fixture
def created_tasks(monkeypatch):
    """Every task made through `asyncio.create_task` during the test, in order."""
    tasks = []
    real = asyncio.create_task

    def spy(coro, name=None):
        task = real(coro, name=name)
        tasks.append(task)
        return task

    monkeypatch.setattr(asyncio, "create_task", spy)
    return tasks


class TestStandardChat:
    async def test_turn_streams_every_event_tagged_after_the_banner(self, ws_module, host, quiet_watchdog, gateway_log):
        agent = FakeAgent(
            [FakeEvent("thinking", message="m"), FakeEvent("text", content="c", session_id="x"), FakeEvent("done")]
        )
        sock = FakeWebSocket()
        await ws_module._handle_standard_chat(sock, agent, "x" * 200, session_id="s1")
        assert sock.events == [
            {"type": "mode", "mode": "standard", "message": BANNER, "session_id": "s1"},
            {"type": "thinking", "message": "m", "session_id": "s1"},
            {"type": "text", "content": "c", "session_id": "s1"},
            {"type": "done", "session_id": "s1"},
        ]
        assert sock.keys(2) == ["type", "content", "session_id"]
        assert gateway_log.records[0].getMessage() == "Standard agent handling [s1]: " + "x" * 80
        assert not host.agent_lock.locked()

    async def test_watchdog_task_is_named_and_cancelled(self, ws_module, host, quiet_watchdog, created_tasks):
        await ws_module._handle_standard_chat(FakeWebSocket(), FakeAgent(), "hi", session_id="s9")
        await until(lambda: created_tasks[0].done())
        assert [t.get_name() for t in created_tasks] == ["watchdog-s9"] and created_tasks[0].cancelled()

    @pytest.mark.parametrize(
        "name, renamed", [("New Chat", True), ("Chat", True), ("new chat", False), ("Work", False)]
    )
    async def test_auto_title(self, ws_module, host, quiet_watchdog, name, renamed):
        text = "  Open my mail and summarise the latest message from the bank, then archive it"
        session = host.registry.add(FakeSession("s1", display_name=name, conversation_id="c1"))
        store = host.state["memory"] = types.SimpleNamespace(renamed=[])

        async def rename(conv_id, title):
            store.renamed.append((conv_id, title))

        store.rename_conversation = rename
        watcher = FakeWebSocket()
        ws_module.manager._connections.append(watcher)
        await ws_module._handle_standard_chat(FakeWebSocket(), FakeAgent(), text, session_id="s1")
        title = text[:60].strip()
        if renamed:
            assert session.display_name == title and store.renamed == [("c1", title)]
            assert watcher.events == [
                {"type": "session_renamed", "session_id": "s1", "display_name": title},
                {"type": "conversation_renamed", "conversation_id": "c1", "title": title, "session_id": "s1"},
            ]
        else:
            assert session.display_name == name and watcher.sent == []

    async def test_title_falls_back_to_the_agents_conversation_and_store(self, ws_module, host, quiet_watchdog):
        host.registry.add(FakeSession("s1", display_name="Chat"))
        agent = FakeAgent()
        agent._conversation.conversation_id = "agent-conv"
        renamed = []

        class Store:
            async def rename_conversation(self, conv_id, title):
                renamed.append(conv_id)

        agent._memory = Store()
        await ws_module._handle_standard_chat(FakeWebSocket(), agent, "hello", session_id="s1")
        assert renamed == ["agent-conv"]

    async def test_connector_and_storeless_sessions(self, ws_module, host, quiet_watchdog, gateway_log):
        connector = host.registry.add(FakeSession("tg", display_name="New Chat", is_connector=True))
        await ws_module._handle_standard_chat(FakeWebSocket(), FakeAgent(), "hello", session_id="tg")
        assert connector.display_name == "New Chat"
        host.registry.add(FakeSession("s1", display_name="New Chat", conversation_id="c1"))
        watcher = FakeWebSocket()
        ws_module.manager._connections.append(watcher)
        gateway_log.clear()
        await ws_module._handle_standard_chat(FakeWebSocket(), FakeAgent(), "hello", session_id="s1")
        assert [e["type"] for e in watcher.events] == ["session_renamed"]
        assert [r.levelno for r in gateway_log.records] == [logging.INFO]

    async def test_failed_conversation_rename_is_logged_and_the_turn_goes_on(
        self, ws_module, host, quiet_watchdog, gateway_log
    ):
        host.registry.add(FakeSession("s1", display_name="New Chat", conversation_id="c1"))

        class Store:
            async def rename_conversation(self, conv_id, title):
                raise OSError("disk full")

        host.state["memory"] = Store()
        sock = FakeWebSocket()
        await ws_module._handle_standard_chat(sock, FakeAgent(), "hello", session_id="s1")
        debug = [r for r in gateway_log.records if r.levelno == logging.DEBUG]
        assert debug[0].msg == "Auto-name conversation failed: %s" and str(debug[0].args[0]) == "disk full"
        assert [e["type"] for e in sock.events] == ["mode", "text", "done"]

    async def test_approval_requests_are_also_broadcast(self, ws_module, host, quiet_watchdog):
        agent = FakeAgent([FakeEvent("tool_approval_needed", approval_id="a1"), FakeEvent("done")])
        requester, other = FakeWebSocket(), FakeWebSocket()
        ws_module.manager._connections.extend([requester, other])
        await ws_module._handle_standard_chat(requester, agent, "hi", session_id="s1")
        approval = {"type": "tool_approval_needed", "approval_id": "a1", "session_id": "s1"}
        assert requester.events[1:] == [approval, approval, {"type": "done", "session_id": "s1"}]
        assert other.events == [approval]

    async def test_client_gone_midway(self, ws_module, host, quiet_watchdog, gateway_log):
        events = [FakeEvent("text", content=str(i)) for i in range(5)]
        agent = FakeAgent(events)

        class Flaky(FakeWebSocket):
            async def send_json(self, data):
                if len(self.sent) >= 2:
                    raise RuntimeError("socket closed")
                await super().send_json(data)

        sock = Flaky()
        await ws_module._handle_standard_chat(sock, agent, "hi", session_id="s1")
        assert [e.get("content") for e in sock.events] == [None, "0"]
        warnings = [r.getMessage() for r in gateway_log.records if r.levelno == logging.WARNING]
        assert warnings == ["Client disconnected during processing [s1]: socket closed"]
        assert not agent.is_processing  # the stream was consumed to its end
        assert not [r for r in gateway_log.records if r.levelno >= logging.ERROR]

    async def test_agent_failure_is_reported(self, ws_module, host, quiet_watchdog, gateway_log):
        agent = FakeAgent([FakeEvent("text", content="a"), FakeEvent("text", content="b")], raise_after=2)
        sock = FakeWebSocket()
        await ws_module._handle_standard_chat(sock, agent, "hi", session_id="s1")
        assert sock.events[-1] == {"type": "error", "message": "Agent error: model exploded", "session_id": "s1"}
        error = [r for r in gateway_log.records if r.levelno == logging.ERROR][0]
        assert error.getMessage() == "Standard agent error [s1]"
        assert isinstance(error.exc_info[1], ValueError) and error.exc_info[2] is not None
        assert not host.agent_lock.locked()

    async def test_a_lock_whose_exit_re_raises_reports_the_agents_own_error(self, ws_module, host, quiet_watchdog):
        # The exit of `async with session.lock` sees the agent's error as the one being handled, as in
        # `async def`: a bare `raise` there gives it again, not "No active exception to reraise".
        seen = []

        class Lock(asyncio.Lock):
            async def __aexit__(self, kind, value, tb):
                seen.append(sys.exception())
                self.release()
                if kind is not None:
                    raise

        agent = FakeAgent([FakeEvent("text", content="a")], raise_after=1)
        lock, sock = Lock(), FakeWebSocket()
        await ws_module._handle_standard_chat(sock, agent, "hi", session_lock=lock, session_id="s1")
        assert sock.events[-1] == {"type": "error", "message": "Agent error: model exploded", "session_id": "s1"}
        assert [type(e).__name__ for e in seen] == ["ValueError"] and not lock.locked()

    async def test_a_failing_lock_release_is_reported_as_an_agent_error(self, ws_module, host, quiet_watchdog):
        class Lock(asyncio.Lock):
            def release(self):
                super().release()
                raise RuntimeError("release failed")

        lock, sock = Lock(), FakeWebSocket()
        await ws_module._handle_standard_chat(sock, FakeAgent([FakeEvent("done")]), "hi", session_lock=lock)
        assert sock.events[-1]["message"] == "Agent error: release failed" and not lock.locked()

    async def test_empty_error_text(self, ws_module, host, quiet_watchdog):
        agent = FakeAgent([], raise_after=0, error=ValueError())
        sock = FakeWebSocket()
        await ws_module._handle_standard_chat(sock, agent, "hi")
        assert sock.events[-1] == {"type": "error", "message": "Agent error: ", "session_id": "session_main"}

    async def test_turns_of_one_agent_wait_for_the_lock(self, ws_module, host, quiet_watchdog):
        gate = asyncio.Event()
        agent = FakeAgent([FakeEvent("text", content="1"), FakeEvent("done")], gate=gate)
        lock = asyncio.Lock()
        a, b = FakeWebSocket(), FakeWebSocket()
        first = asyncio.create_task(ws_module._handle_standard_chat(a, agent, "one", session_lock=lock))
        await until(lambda: len(a.sent) == 2)  # its first event is out: it holds the lock, at the gate
        second = asyncio.create_task(ws_module._handle_standard_chat(b, agent, "two", session_lock=lock))
        await until(lambda: b.sent)
        assert [e["type"] for e in b.events] == ["mode"] and len(agent.calls) == 1
        gate.set()
        await asyncio.gather(first, second)
        assert [c[0] for c in agent.calls] == ["one", "two"] and not lock.locked()

    async def test_cancelled_turn_frees_the_lock_and_the_watchdog(self, ws_module, host, created_tasks):
        gate = asyncio.Event()
        agent = FakeAgent([FakeEvent("text", content="1"), FakeEvent("done")], gate=gate)
        lock = asyncio.Lock()
        sock = FakeWebSocket()
        # The turn is made on the loop directly, so that the only task seen is the watchdog.
        loop = asyncio.get_running_loop()
        turn = loop.create_task(ws_module._handle_standard_chat(sock, agent, "hi", session_lock=lock))
        await until(lambda: len(sock.sent) == 2)  # at the gate, after its first event
        assert lock.locked()
        turn.cancel()
        with pytest.raises(asyncio.CancelledError):
            await turn
        await until(lambda: created_tasks[0].done())
        assert not lock.locked() and [t.get_name() for t in created_tasks] == ["watchdog-session_main"]
        assert created_tasks[0].cancelled()
        assert [e["type"] for e in sock.events] == ["mode", "text"]

    async def test_a_stop_landing_as_a_piece_is_sent_leaves_that_piece_in_the_store(
        self, ws_module, host, quiet_watchdog, tmp_path
    ):
        # Catches a piece of the reply the window received but the store lost: the stop came after
        # the socket had taken it and before the turn asked the agent for the next one.
        from tavrin.core.agents import DemoAgent
        from tavrin.core.guardrails import Guardrails
        from tavrin.core.store import ConversationStore

        store = ConversationStore(tmp_path / "conversations.sqlite3")
        agent = DemoAgent(store, Guardrails(), "s1", step_delay=0.001)
        loop = asyncio.get_running_loop()
        turn: asyncio.Task | None = None

        class StopAfterThirdPiece(FakeWebSocket):
            async def send_json(self, data):
                await super().send_json(data)
                if data.get("type") != "text" or sum(e["type"] == "text" for e in self.events) != 3:
                    return
                written = loop.create_future()

                def written_then_stopped():
                    written.set_result(None)  # the frame is out; the turn wakes up next...
                    turn.cancel()  # ...but the stop is there first, as the gateway's stop does it
                    agent.cancel()

                loop.call_soon(written_then_stopped)
                await written

        sock = StopAfterThirdPiece()
        turn = loop.create_task(ws_module._handle_standard_chat(sock, agent, "/stream", session_id="s1"))
        with pytest.raises(asyncio.CancelledError):
            await turn
        await until(lambda: not agent.is_processing and agent._closing is not None)
        await agent._closing
        shown = "".join(e["content"] for e in sock.events if e["type"] == "text")
        rows = await store.get_messages(agent.conversation.conversation_id)
        assert [r["role"] for r in rows] == ["user", "thinking", "assistant", "outcome"]
        assert rows[2]["content"] == shown and shown.count(" ") >= 2
        assert rows[3]["meta"]["outcome"] == "stopped"
        store.close()

    def test_argument_types_are_checked_at_call_time(self, ws_module):
        with pytest.raises(TypeError, match=r"Argument 'user_text' has incorrect type \(expected str, got bytes\)"):
            ws_module._handle_standard_chat(None, None, b"x")
        with pytest.raises(TypeError, match=r"Argument 'session_id' has incorrect type \(expected str, got NoneType\)"):
            ws_module._handle_standard_chat(None, None, "x", session_id=None)


class Silent:
    """An agent for the watchdog: processing, with a controllable silence."""

    def __init__(self, silences, warn=None, cancel=None):
        self.silences = list(silences)
        self.cancelled = 0
        if warn is not None:
            self.stall_warn_seconds = warn
        if cancel is not None:
            self.stall_cancel_seconds = cancel

    @property
    def is_processing(self):
        return bool(self.silences)

    @property
    def seconds_since_activity(self):
        return self.silences.pop(0)

    def cancel(self):
        self.cancelled += 1


class TestWatchdog:
    async def run(self, ws_module, agent):
        watcher = FakeWebSocket()
        ws_module.manager._connections.append(watcher)
        await ws_module._watchdog(agent, "s1", poll_interval=0)
        return watcher.events

    async def test_defaults_warn_once_and_never_cancel(self, ws_module, gateway_log):
        events = await self.run(ws_module, Silent([10, 59.9, 60, 61, 3600]))
        assert events == [
            {
                "type": "stall_warning",
                "session_id": "s1",
                "seconds": 60,
                "auto_cancelled": False,
                "message": "Tavrin hasn't made progress in 60s. It may be stuck waiting for a slow API "
                "response. You can stop the task and try again.",
            }
        ]
        assert [r.getMessage() for r in gateway_log.records] == [
            "[watchdog] Agent silent for 60s in session s1 \u2014 broadcasting stall_warning"
        ]

    async def test_log_rounds_while_the_event_truncates(self, ws_module, gateway_log):
        events = await self.run(ws_module, Silent([59.6], warn=59))
        assert events[0]["seconds"] == 59 and "59s." in events[0]["message"]
        assert gateway_log.records[0].getMessage().startswith("[watchdog] Agent silent for 60s in session s1")

    @pytest.mark.parametrize(
        "silences, warned",
        [
            ([5, 5, 1, 6], [5, 6]),  # activity below the threshold re-arms the warning
            ([5, float("nan"), 6], [5]),  # a reading that is not below it (NaN) does not
        ],
    )
    async def test_rearms_only_below_the_threshold(self, ws_module, silences, warned):
        events = await self.run(ws_module, Silent(silences, warn=5))
        assert [e["seconds"] for e in events] == warned

    @pytest.mark.parametrize("threshold, shown", [(300, "300"), (300.0, "300.0")])
    async def test_auto_cancel_wins_and_ends(self, ws_module, gateway_log, threshold, shown):
        agent = Silent([10, 300, 400, 500], warn=5 if threshold == 300 else 400, cancel=threshold)
        events = await self.run(ws_module, agent)
        assert agent.cancelled == 1 and agent.silences == [400, 500]
        assert events[-1] == {
            "type": "stall_warning",
            "session_id": "s1",
            "seconds": 300,
            "auto_cancelled": True,
            "message": "Tavrin appears to have stalled (no activity for 300s) and has been automatically stopped.",
        }
        assert gateway_log.records[-1].getMessage() == (
            f"[watchdog] Agent stalled for 300s in session s1 \u2014 auto-cancelling (threshold={shown}s)"
        )

    @pytest.mark.parametrize("cancel", [0, -1])
    async def test_non_positive_cancel_threshold_never_cancels(self, ws_module, cancel):
        agent = Silent([10_000, 20_000], warn=1, cancel=cancel)
        events = await self.run(ws_module, agent)
        assert agent.cancelled == 0 and len(events) == 1

    async def test_idle_agent_ends_it_silently(self, ws_module, gateway_log):
        assert await self.run(ws_module, Silent([])) == [] and gateway_log.records == []

    async def test_missing_members_end_it_with_an_error(self, ws_module):
        with pytest.raises(AttributeError):
            await ws_module._watchdog(types.SimpleNamespace(is_processing=True), "s1", poll_interval=0)

    @pytest.mark.parametrize(
        "given, slept",
        [
            (0.5, 0.5),
            (0.001, 0.001),
            (Fraction(1, 4), 0.25),  # a positive interval under 1 s is slept as given
            (1.5, 1),
            (True, True),
            (15, 15),  # otherwise converted to an int, as declared
            (0, 0),
            (-0.5, 0),  # no wait asked for: none made
        ],
    )
    async def test_a_short_poll_interval_is_slept_not_spun(self, ws_module, monkeypatch, given, slept):
        # catches: poll_interval=0.5 truncated to 0, every poll then a sleep(0) in a busy loop
        asked = []

        async def sleep(delay):
            asked.append(delay)

        monkeypatch.setattr(ws_module.asyncio, "sleep", sleep)
        await ws_module._watchdog(Silent([1, 1, 1], warn=60), "s1", poll_interval=given)
        assert asked == [slept] * 4 and all(type(d) is type(slept) for d in asked)

    def test_poll_interval_conversion(self, ws_module):
        ws_module._watchdog(None, "s", 1.5).close()
        with pytest.raises(TypeError, match="Argument 'poll_interval'"):
            ws_module._watchdog(None, "s", "15")
        with pytest.raises(TypeError, match="Argument 'session_id'"):
            ws_module._watchdog(None, 5)


async def test_any_text_is_logged_and_sent_unchanged(ws_module, host, gateway_log):
    """Lone surrogates can arrive from JSON; they pass through like any other text."""
    sock = FakeWebSocket()
    await ws_module._handle_standard_chat(sock, FakeAgent([]), "odd \ud800 text", session_id="s\udc00")
    assert gateway_log.records[0].getMessage() == "Standard agent handling [s\udc00]: odd \ud800 text"
    assert sock.events[0]["session_id"] == "s\udc00"
