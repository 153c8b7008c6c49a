"""End to end: a real uvicorn server on 127.0.0.1 serving the router, a real WebSocket client."""

from __future__ import annotations

import asyncio
import os
import json
import logging

import pytest
import websockets

from fakes import FakeAgent, FakeEvent, FakeSession, until

GUARD = 30  # seconds a receive may take before the test is declared stuck; never a measure


async def recv(conn, timeout=GUARD):
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
        await until(lambda: task.done() and "session_main" not in ws_module._active_tasks)
        assert task.cancelled() and agent.cancelled == 1
        assert not host.registry.get("session_main").lock.locked()


async def test_connection_limit_closes_with_1013(server, ws_module, monkeypatch):
    monkeypatch.setattr(ws_module, "_MAX_WS_CONNECTIONS", 2)
    async with websockets.connect(server), websockets.connect(server):
        async with websockets.connect(server) as third:
            with pytest.raises(websockets.ConnectionClosed) as closed:
                await asyncio.wait_for(third.recv(), GUARD)
            assert closed.value.rcvd.code == 1013 and closed.value.rcvd.reason == "Too many connections"


async def test_invalid_json_ends_the_loop(server, ws_module, gateway_log):
    async with websockets.connect(server) as conn:
        await conn.send("{not json")
        with pytest.raises(websockets.ConnectionClosed):
            await asyncio.wait_for(conn.recv(), GUARD)
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

    async def test_foreign_origin_is_refused_before_the_handshake(self, server, ws_module, monkeypatch, gateway_log):
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


async def test_a_client_that_stops_reading_holds_no_one_up(server, ws_module, monkeypatch):
    """A raw TCP client completes the handshake, shrinks its receive buffer and never reads again, while a
    healthy client receives a stream of broadcasts: the healthy one gets every message, the stuck one is
    let go, and the server's memory stays bounded."""
    import resource
    import socket
    import time

    # Long enough that a healthy client's send, in this busy process, never reaches it.
    bound = 2.0
    monkeypatch.setattr(ws_module, "_SEND_TIMEOUT_SECONDS", bound)
    host_port = server.removeprefix("ws://").removesuffix("/ws")
    raw = socket.socket()
    raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    raw.setblocking(False)
    await asyncio.get_running_loop().sock_connect(raw, tuple([host_port.split(":")[0], int(host_port.split(":")[1])]))
    reader, writer = await asyncio.open_connection(sock=raw, limit=1024)
    writer.write(
        (
            f"GET /ws HTTP/1.1\r\nHost: {host_port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"
        ).encode()
    )
    assert (await reader.readuntil(b"\r\n\r\n")).startswith(b"HTTP/1.1 101")
    writer.transport.pause_reading()  # from here on the stuck client reads nothing

    async with websockets.connect(server, max_size=None) as healthy:
        await healthy.send(json.dumps({"type": "ping"}))
        assert await recv(healthy) == {"type": "pong"}
        assert len(ws_module.manager._connections) == 2
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        count, payload, delays = 120, "x" * 65536, []

        async def receive_all():
            for _ in range(count):
                event = await recv(healthy, timeout=10 * bound + GUARD)
                delays.append(time.monotonic() - event["sent_at"])

        receiving = asyncio.create_task(receive_all())
        started = time.monotonic()
        for i in range(count):
            await ws_module.manager.broadcast({"type": "info", "n": i, "sent_at": time.monotonic(), "data": payload})
        await receiving
        await until(
            lambda: len(ws_module.manager._connections) == 1 and not ws_module._slow_clients,
            timeout=20 * bound + GUARD,
            what="the stuck client to be let go",
        )
        stuck_gone = time.monotonic() - started
        growth_mib = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before) / 1024
    assert len(delays) == count
    # What the stuck client finds when it reads again: what was buffered, then the end of the stream.
    writer.transport.resume_reading()
    rest = b""
    while chunk := await asyncio.wait_for(reader.read(1 << 20), GUARD):
        rest += chunk
    writer.close()
    if not os.environ.get("TAVRIN_SANITIZED"):  # AddressSanitizer's quarantine keeps freed memory
        assert growth_mib < 64, growth_mib
    print(
        f"\nbound {bound} s: worst delivery to the healthy client {max(delays):.2f} s, stuck client gone after "
        f"{stuck_gone:.2f} s, peak RSS growth {growth_mib:.1f} MiB"
    )


async def test_a_window_that_drops_mid_turn_catches_up_on_reconnect(server, host, ws_module, monkeypatch):
    """With session streams, a client drops its socket in the middle of a slow turn and attaches again with
    the last seq it saw: what it received before and after is the whole turn, each event once."""
    monkeypatch.setattr(ws_module, "_SESSION_STREAMS", True)

    class SlowAgent(FakeAgent):
        async def process_message(self, user_text, attachments=None):
            for i in range(20):
                await asyncio.sleep(0.02)
                yield FakeEvent("text", content=f"step {i}")
            yield FakeEvent("done")

    host.registry.add(FakeSession("s1", SlowAgent()))
    before, after = [], []
    async with websockets.connect(server) as first:
        await first.send(json.dumps({"type": "chat", "session_id": "s1", "content": "/slow"}))
        while len(before) < 6:
            before.append(await recv(first))
    async with websockets.connect(server) as second:
        await second.send(json.dumps({"type": "attach", "session_id": "s1", "after": before[-1]["seq"]}))
        while not after or after[-1]["type"] != "done":
            event = await recv(second)
            if event["type"] != "attached":
                after.append(event)
    ws_module._session_streams.clear()
    whole = before + after
    assert [e["type"] for e in whole] == ["mode"] + ["text"] * 20 + ["done"]
    assert [e.get("content") for e in whole[1:-1]] == [f"step {i}" for i in range(20)]
    assert [e["seq"] for e in whole] == sorted({e["seq"] for e in whole})
