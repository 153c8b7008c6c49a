"""The "/ws" endpoint and the dispatcher: receive loop, chat tasks, clean-up, routing by type."""

from __future__ import annotations

import asyncio
import inspect
import logging

import pytest
from fastapi import WebSocket

from fakes import FakeWebSocket, settle, until


def endpoint_of(ws_module):
    return ws_module.create_ws_router().routes[0].endpoint


@pytest.fixture
def blocking_chat(ws_module, monkeypatch):
    """Replace the chat handler with one that waits until released; records what it was given."""
    started, gate = [], asyncio.Event()

    async def fake_chat(ws, message):
        started.append(message)
        await gate.wait()

    monkeypatch.setattr(ws_module, "_handle_chat", fake_chat)
    return started, gate


async def run_endpoint(ws_module, sock):
    task = asyncio.create_task(endpoint_of(ws_module)(ws=sock))
    await until(lambda: sock in ws_module.manager._connections)
    return task


class TestRouter:
    def test_router_has_one_websocket_route_with_a_typed_parameter(self, ws_module):
        router = ws_module.create_ws_router()
        assert [r.path for r in router.routes] == ["/ws"]
        endpoint = router.routes[0].endpoint
        params = inspect.signature(endpoint).parameters
        assert list(params) == ["ws"] and params["ws"].annotation is WebSocket
        assert inspect.iscoroutinefunction(endpoint)
        assert ws_module.create_ws_router().routes[0].endpoint is not endpoint

    async def test_routers_share_manager_and_tasks(self, ws_module, blocking_chat):
        a, b = FakeWebSocket(), FakeWebSocket()
        ta = asyncio.create_task(ws_module.create_ws_router().routes[0].endpoint(ws=a))
        tb = asyncio.create_task(ws_module.create_ws_router().routes[0].endpoint(ws=b))
        a.feed({"type": "chat", "session_id": "s"})
        first = await until(lambda: ws_module._active_tasks.get("s"))
        b.feed({"type": "chat", "session_id": "s"})
        await until(lambda: first.cancelled() and ws_module._active_tasks["s"] is not first)
        assert ws_module.manager._connections == [a, b]
        assert first.cancelled() and ws_module._active_tasks["s"] is not first
        a.hang_up(), b.hang_up()
        await asyncio.gather(ta, tb)


class TestChatTasks:
    @pytest.mark.parametrize(
        "message, key, name",
        [
            ({"type": "chat"}, "session_main", "chat-session_main"),
            ({"type": "chat", "session_id": ""}, "session_main", "chat-"),
            ({"type": "chat", "session_id": None}, "session_main", "chat-None"),
            ({"type": "chat", "session_id": "s2"}, "s2", "chat-s2"),
        ],
    )
    async def test_task_name_and_registry_key(self, ws_module, blocking_chat, message, key, name):
        sock = FakeWebSocket()
        endpoint = await run_endpoint(ws_module, sock)
        sock.feed(message)
        task = await until(lambda: ws_module._active_tasks.get(key))
        assert task.get_name() == name and not task.done()
        blocking_chat[1].set()
        await until(lambda: key not in ws_module._active_tasks)
        sock.hang_up()
        await endpoint

    async def test_newer_chat_cancels_the_previous_and_keeps_its_entry(self, ws_module, blocking_chat):
        sock = FakeWebSocket()
        endpoint = await run_endpoint(ws_module, sock)
        sock.feed({"type": "chat", "session_id": "s"})
        first = await until(lambda: ws_module._active_tasks.get("s"))
        sock.feed({"type": "chat", "session_id": "s"})
        await until(lambda: first.cancelled() and len(blocking_chat[0]) == 2)
        second = ws_module._active_tasks["s"]
        assert second is not first and not second.done()
        blocking_chat[1].set()
        await until(lambda: "s" not in ws_module._active_tasks)
        sock.hang_up()
        await endpoint

    async def test_disconnect_cancels_only_this_connections_tasks(self, ws_module, blocking_chat, gateway_log):
        a, b = FakeWebSocket(), FakeWebSocket()
        ta, tb = await run_endpoint(ws_module, a), await run_endpoint(ws_module, b)
        a.feed({"type": "chat", "session_id": "x"}, {"type": "chat", "session_id": "y"})
        b.feed({"type": "chat", "session_id": "z"})
        await until(lambda: len(blocking_chat[0]) == 3)
        x, y, z = (ws_module._active_tasks[k] for k in "xyz")
        a.hang_up()
        await ta
        await until(lambda: set(ws_module._active_tasks) == {"z"})
        assert x.cancelled() and y.cancelled() and not z.done()
        assert ws_module.manager._connections == [b]
        assert gateway_log.records[-1].getMessage() == "Client disconnected (1 total)"
        assert not [r for r in gateway_log.records if r.levelno >= logging.ERROR]
        b.hang_up()
        await tb

    async def test_receive_loop_is_free_while_a_chat_runs(self, ws_module, blocking_chat):
        sock = FakeWebSocket()
        endpoint = await run_endpoint(ws_module, sock)
        sock.feed({"type": "chat"}, {"type": "ping"})
        await until(lambda: sock.sent and blocking_chat[0])  # the chat waits for ever
        assert sock.events == [{"type": "pong"}]
        sock.hang_up()
        await endpoint

    async def test_unhashable_session_id_ends_the_loop_without_an_orphan_task(
        self, ws_module, blocking_chat, gateway_log
    ):
        sock = FakeWebSocket()
        endpoint = await run_endpoint(ws_module, sock)
        sock.feed({"type": "chat", "session_id": ["a"]})
        await endpoint
        await settle()  # must not happen: a chat task started anyway would have run within these passes
        assert blocking_chat[0] == [] and ws_module._active_tasks == {}
        assert gateway_log.records[-2].getMessage() == "WebSocket error"


class TestBadInput:
    @pytest.mark.parametrize("frame", ["not json", "[1, 2]", '"text"', "5", "null", "[" * 100_000, "{" + "x" * 10])
    async def test_malformed_frames_end_the_loop_with_an_error_log(self, ws_module, blocking_chat, gateway_log, frame):
        sock = FakeWebSocket()
        endpoint = await run_endpoint(ws_module, sock)
        sock.feed({"type": "chat", "session_id": "s"}, frame)
        await endpoint
        await until(lambda: not ws_module._active_tasks)  # the chat it started is cancelled with it
        errors = [r for r in gateway_log.records if r.levelno == logging.ERROR]
        assert [r.getMessage() for r in errors] == ["WebSocket error"] and errors[0].exc_info
        assert ws_module.manager._connections == [] and ws_module._active_tasks == {}
        assert sock.sent == []

    async def test_other_clients_are_not_disturbed(self, ws_module, blocking_chat):
        good, bad = FakeWebSocket(), FakeWebSocket()
        tg, tb = await run_endpoint(ws_module, good), await run_endpoint(ws_module, bad)
        bad.feed("}{")
        await tb
        good.feed({"type": "ping"})
        await until(lambda: good.sent)
        assert good.events == [{"type": "pong"}] and ws_module.manager._connections == [good]
        good.hang_up()
        await tg

    async def test_very_long_text_is_answered_normally(self, ws_module):
        sock = FakeWebSocket()
        endpoint = await run_endpoint(ws_module, sock)
        sock.feed({"type": "x" * 1_000_000})
        await until(lambda: sock.sent)
        assert sock.events[0]["message"] == "Unknown message type: " + "x" * 1_000_000
        sock.hang_up()
        await endpoint

    async def test_refused_connection_returns_at_once(self, ws_module, monkeypatch):
        monkeypatch.setattr(ws_module, "_MAX_WS_CONNECTIONS", 0)
        sock = FakeWebSocket()
        await endpoint_of(ws_module)(ws=sock)
        assert sock.closed == (1013, "Too many connections") and ws_module.manager._connections == []

    async def test_handler_error_ends_the_loop(self, ws_module, monkeypatch, gateway_log):
        async def broken(ws, message):
            raise KeyError("handler failed")

        monkeypatch.setattr(ws_module, "_handle_approval", broken, raising=False)
        sock = FakeWebSocket()
        endpoint = await run_endpoint(ws_module, sock)
        sock.feed({"type": "approve"})
        await endpoint
        assert gateway_log.records[-2].getMessage() == "WebSocket error"
        assert ws_module.manager._connections == []


class TestDispatch:
    @pytest.mark.parametrize(
        "message, reply",
        [
            ({"type": "ping"}, {"type": "pong"}),
            ({"type": "PING"}, {"type": "error", "message": "Unknown message type: PING"}),
            ({}, {"type": "error", "message": "Unknown message type: None"}),
            ({"type": None}, {"type": "error", "message": "Unknown message type: None"}),
            ({"type": 5}, {"type": "error", "message": "Unknown message type: 5"}),
            ({"type": True}, {"type": "error", "message": "Unknown message type: True"}),
        ],
    )
    async def test_ping_and_unknown_types(self, ws_module, message, reply):
        sock = FakeWebSocket()
        await ws_module._handle_message(sock, message)
        assert sock.sent == [__import__("json").dumps(reply)]

    def test_its_await_ends_as_an_async_def_returning_none_does(self, ws_module):
        # catches: the awaited iterator's next() ending without StopIteration(None) where a Python
        # caller steps it by hand (the interpreter's own await reads the quicker end the same way)
        async def python():
            return None

        for make in (lambda: ws_module._handle_message(FakeWebSocket(), {"type": "ping"}), python):
            with pytest.raises(StopIteration) as stop:
                next(make().__await__())
            assert stop.value.value is None
            with pytest.raises(StopIteration) as stop:
                make().__await__().__next__()
            assert stop.value.value is None
            assert list(make().__await__()) == []
            with pytest.raises(StopIteration) as stop:
                make().send(None)
            assert stop.value.value is None

    async def test_each_type_reaches_its_handler_with_the_same_object(self, ws_module, monkeypatch):
        seen = []
        names = {
            "approve": "_handle_approval",
            "new_conversation": "_handle_new_conversation",
            "new_session": "_handle_new_session",
            "close_session": "_handle_close_session",
            "resume_conversation": "_handle_resume_conversation",
            "heartbeat_control": "_handle_heartbeat_control",
            "stop_task": "_handle_stop_task",
            "clear_session_history": "_handle_clear_session_history",
            "chat": "_handle_chat",
        }
        for fn in names.values():

            async def handler(ws, message, _fn=fn):
                seen.append((_fn, message))

            monkeypatch.setattr(ws_module, fn, handler, raising=False)

        async def list_handler(ws):
            seen.append(("_handle_list_sessions", None))

        monkeypatch.setattr(ws_module, "_handle_list_sessions", list_handler, raising=False)
        sock = FakeWebSocket()
        for msg_type in [*names, "list_sessions"]:
            message = {"type": msg_type, "session_id": "s", "extra": [1]}
            await ws_module._handle_message(sock, message)
            if msg_type != "list_sessions":
                assert seen[-1][1] is message
        assert [s[0] for s in seen] == [*names.values(), "_handle_list_sessions"]
        assert sock.sent == []

    def test_message_must_be_a_dict(self, ws_module):
        with pytest.raises(TypeError, match=r"Argument 'message' has incorrect type \(expected dict, got list\)"):
            ws_module._handle_message(FakeWebSocket(), [])
