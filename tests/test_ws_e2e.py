"""End to end: a real uvicorn server on 127.0.0.1 serving the router, a real WebSocket client."""

from __future__ import annotations

import asyncio
import json
import logging

import pytest
import websockets

from fakes import FakeAgent, FakeEvent, FakeSession


async def recv(conn, timeout=5):
    return json.loads(await asyncio.wait_for(conn.recv(), timeout))


async def test_ping(server):
    async with websockets.connect(server) as conn:
        await conn.send(json.dumps({"type": "ping"}))
        assert await recv(conn) == {"type": "pong"}


async def test_streamed_chat_turn(server, host, ws_module):
    agent = FakeAgent([FakeEvent("thinking", message="hmm"), FakeEvent("text", content="hello"), FakeEvent("done")])
    host.registry.add(FakeSession("session_main", agent))
    async with websockets.connect(server) as conn:
        await conn.send(json.dumps({"type": "chat", "content": "hi there"}))
        events = [await recv(conn) for _ in range(4)]
    assert [e["type"] for e in events] == ["mode", "thinking", "text", "done"]
    assert all(e["session_id"] == "session_main" for e in events)
    assert agent.calls == [("hi there", None)]


async def test_stop_during_a_turn(server, host, ws_module):
    if not hasattr(ws_module, "_handle_stop_task"):
        pytest.skip("stop handler not built")
    gate = asyncio.Event()
    agent = FakeAgent([FakeEvent("text", content="first"), FakeEvent("done")], gate=gate)
    host.registry.add(FakeSession("session_main", agent))
    async with websockets.connect(server) as conn:
        await conn.send(json.dumps({"type": "chat", "content": "work"}))
        assert (await recv(conn))["type"] == "mode"
        assert (await recv(conn))["content"] == "first"
        task = ws_module._active_tasks["session_main"]
        await conn.send(json.dumps({"type": "stop_task"}))
        assert await recv(conn) == {"type": "task_stopped", "message": "Task stopped", "session_id": "session_main"}
        await asyncio.sleep(0.05)
        assert task.cancelled() and agent.cancelled == 1
        assert "session_main" not in ws_module._active_tasks
        assert not host.registry.get("session_main").lock.locked()


async def test_connection_limit_closes_with_1013(server, ws_module, monkeypatch):
    monkeypatch.setattr(ws_module, "_MAX_WS_CONNECTIONS", 2)
    async with websockets.connect(server), websockets.connect(server):
        async with websockets.connect(server) as third:
            with pytest.raises(websockets.ConnectionClosed) as closed:
                await asyncio.wait_for(third.recv(), 5)
            assert closed.value.rcvd.code == 1013 and closed.value.rcvd.reason == "Too many connections"


async def test_invalid_json_ends_the_loop(server, ws_module, gateway_log):
    async with websockets.connect(server) as conn:
        await conn.send("{not json")
        with pytest.raises(websockets.ConnectionClosed):
            await asyncio.wait_for(conn.recv(), 5)
    errors = [r for r in gateway_log.records if r.levelno == logging.ERROR]
    assert [r.getMessage() for r in errors] == ["WebSocket error"]
    assert ws_module.manager._connections == []


async def test_broadcast_reaches_every_client(server, ws_module):
    async with websockets.connect(server) as a, websockets.connect(server) as b:
        for conn in (a, b):  # make sure both are admitted before broadcasting
            await conn.send(json.dumps({"type": "ping"}))
            await recv(conn)
        await ws_module.manager.broadcast_to_session("s1", {"type": "notice"})
        assert await recv(a) == await recv(b) == {"type": "notice", "session_id": "s1"}


class TestOriginCheck:
    async def test_any_origin_is_admitted_by_default(self, server, ws_module):
        assert ws_module._ALLOWED_ORIGINS is None
        async with websockets.connect(server, origin="http://elsewhere.example") as conn:
            await conn.send(json.dumps({"type": "ping"}))
            assert await recv(conn) == {"type": "pong"}

    async def test_foreign_origin_is_refused_before_the_handshake(self, server, ws_module, monkeypatch,
                                                                   gateway_log):
        own = server.replace("ws://", "http://").removesuffix("/ws")
        monkeypatch.setattr(ws_module, "_ALLOWED_ORIGINS", {own})
        with pytest.raises(websockets.InvalidStatus) as refused:
            async with websockets.connect(server, origin="http://evil.example"):
                pass
        assert refused.value.response.status_code == 403
        assert ws_module.manager._connections == []
        warning = [r for r in gateway_log.records if r.levelno == logging.WARNING][-1]
        assert warning.getMessage() == "Rejected WebSocket \u2014 origin 'http://evil.example' not allowed"
        async with websockets.connect(server, origin=own) as conn:  # the host's own page
            await conn.send(json.dumps({"type": "ping"}))
            assert await recv(conn) == {"type": "pong"}
        with pytest.raises(websockets.InvalidStatus) as refused:  # no origin names none of them
            async with websockets.connect(server):
                pass
        assert refused.value.response.status_code == 403
        assert gateway_log.records[-1].getMessage() == "Rejected WebSocket \u2014 origin None not allowed"
