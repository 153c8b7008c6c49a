"""Connection manager: admission at the limit, disconnect, broadcast and its pruning."""

from __future__ import annotations

import asyncio
import gc
import json
import logging
import weakref

import pytest

from fakes import FakeWebSocket, until


async def admit(manager, count):
    sockets = [FakeWebSocket() for _ in range(count)]
    for s in sockets:
        assert await manager.connect(s) is True
    return sockets


class TestAdmission:
    async def test_the_fiftieth_is_admitted_and_the_fifty_first_refused(self, ws_module, gateway_log):
        m = ws_module.ConnectionManager()
        await admit(m, 49)
        fiftieth = FakeWebSocket()
        assert await m.connect(fiftieth) is True
        assert gateway_log.records[-1].getMessage() == "Client connected (50 total)"
        extra = FakeWebSocket()
        assert await m.connect(extra) is False
        assert extra.accepted and extra.closed == (1013, "Too many connections")
        assert len(m._connections) == 50
        last = gateway_log.records[-1]
        assert (last.levelno, last.getMessage()) == (logging.WARNING, "Rejected WebSocket \u2014 limit of 50 reached")

    async def test_limit_is_read_at_each_attempt(self, ws_module, monkeypatch, gateway_log):
        m = ws_module.ConnectionManager()
        monkeypatch.setattr(ws_module, "_MAX_WS_CONNECTIONS", 2)
        await admit(m, 2)
        assert await m.connect(FakeWebSocket()) is False
        assert gateway_log.records[-1].getMessage() == "Rejected WebSocket \u2014 limit of 2 reached"
        monkeypatch.setattr(ws_module, "_MAX_WS_CONNECTIONS", 3)
        assert await m.connect(FakeWebSocket()) is True

    async def test_simultaneous_connects_never_exceed_the_limit(self, ws_module):
        m = ws_module.ConnectionManager()
        sockets = [FakeWebSocket(accept_delay=True) for _ in range(60)]
        results = await asyncio.gather(*(m.connect(s) for s in sockets))
        assert results.count(True) == 50 and results.count(False) == 10
        assert len(m._connections) == 50
        assert sum(s.closed == (1013, "Too many connections") for s in sockets) == 10

    async def test_failed_handshake_releases_its_slot(self, ws_module, monkeypatch):
        monkeypatch.setattr(ws_module, "_MAX_WS_CONNECTIONS", 1)
        m = ws_module.ConnectionManager()

        class Broken(FakeWebSocket):
            async def accept(self):
                await asyncio.sleep(0)
                raise OSError("handshake failed")

        with pytest.raises(OSError):
            await m.connect(Broken())
        assert m._connections == []
        assert await m.connect(FakeWebSocket()) is True

    async def test_disconnect_of_an_unknown_connection_still_logs(self, ws_module, gateway_log):
        m = ws_module.ConnectionManager()
        (a,) = await admit(m, 1)
        m.disconnect(FakeWebSocket())
        assert m._connections == [a]
        assert gateway_log.records[-1].getMessage() == "Client disconnected (1 total)"
        m.disconnect(a)
        assert m._connections == []
        assert gateway_log.records[-1].getMessage() == "Client disconnected (0 total)"

    def test_connections_compare_by_identity(self, ws_module):
        class AlwaysEqual(FakeWebSocket):
            def __eq__(self, other):
                return True

            __hash__ = object.__hash__

        m = ws_module.ConnectionManager()
        a, b = AlwaysEqual(), AlwaysEqual()
        m._connections.extend([a, b])
        m.disconnect(b)
        assert m._connections == [a] and m._connections[0] is a


class TestBroadcast:
    async def test_a_failing_client_is_dropped_and_the_others_still_receive(self, ws_module):
        m = ws_module.ConnectionManager()
        a, b, c = FakeWebSocket(), FakeWebSocket(fail_send=True), FakeWebSocket()
        m._connections.extend([a, b, c])
        await m.broadcast({"type": "x"})
        assert a.events == c.events == [{"type": "x"}]
        assert m._connections == [a, c]

    async def test_empty_broadcast_and_type_checks(self, ws_module):
        m = ws_module.ConnectionManager()
        await m.broadcast({"type": "x"})
        for bad in ([1], "text", None):
            with pytest.raises(TypeError, match=r"Argument 'message' has incorrect type \(expected dict, got "):
                m.broadcast(bad)
        with pytest.raises(TypeError, match="Argument 'session_id' has incorrect type"):
            m.broadcast_to_session(1, {})

    async def test_pruning_a_connection_already_gone_disturbs_nothing(self, ws_module):
        m = ws_module.ConnectionManager()
        gate = asyncio.Event()

        class Slow(FakeWebSocket):
            async def send_json(self, data):
                await gate.wait()
                raise RuntimeError("closed")

        slow, other, late = Slow(), FakeWebSocket(), FakeWebSocket()
        m._connections.extend([slow, other])
        task = asyncio.create_task(m.broadcast({"type": "x"}))
        await asyncio.sleep(0)
        m.disconnect(slow)  # its endpoint noticed the client leaving meanwhile
        m._connections.append(late)
        gate.set()
        await task
        assert m._connections == [other, late]

    async def test_a_send_that_suspends_does_not_stop_the_pass(self, ws_module, monkeypatch):
        # With the fair broadcast, the pass prunes the client whose send failed at once, reaches the one
        # after the stuck one, and leaves the stuck send to that client's writer.
        monkeypatch.setattr(ws_module, "_FAIR_BROADCAST", True)
        m = ws_module.ConnectionManager()
        gate = asyncio.Event()

        class Stuck(FakeWebSocket):
            async def send_json(self, data):
                await gate.wait()
                await super().send_json(data)

        dead, stuck, unreached = FakeWebSocket(fail_send=True), Stuck(), FakeWebSocket()
        m._connections.extend([dead, stuck, unreached])
        await asyncio.wait_for(m.broadcast({"type": "x"}), 10)
        assert m._connections == [stuck, unreached] and unreached.events == [{"type": "x"}]
        gate.set()
        await until(lambda: stuck.events == [{"type": "x"}])

    async def test_unserialisable_message_drops_every_client(self, ws_module):
        m = ws_module.ConnectionManager()
        sockets = [FakeWebSocket(), FakeWebSocket()]
        m._connections.extend(sockets)
        await m.broadcast({"type": "x", "bad": object()})
        assert m._connections == []

    @pytest.mark.parametrize(
        "message, expected",
        [
            ({"type": "t"}, '{"type": "t", "session_id": "s1"}'),
            ({"session_id": "old", "type": "t"}, '{"session_id": "s1", "type": "t"}'),
        ],
    )
    async def test_broadcast_to_session_tags_a_copy(self, ws_module, message, expected):
        m = ws_module.ConnectionManager()
        a = FakeWebSocket()
        m._connections.append(a)
        before = json.dumps(message)
        await m.broadcast_to_session("s1", message)
        assert a.sent == [expected]
        assert json.dumps(message) == before


@pytest.mark.isolated
async def test_a_pass_past_a_held_send_keeps_only_that_send(ws_module, monkeypatch):
    # catches: the fair pass, or the writer that finishes the held send, keeping clients it is done with
    monkeypatch.setattr(ws_module, "_FAIR_BROADCAST", True)
    gate = asyncio.Event()

    class Held(FakeWebSocket):
        async def send_json(self, data):
            await gate.wait()
            await super().send_json(data)

    m = ws_module.ConnectionManager()
    first = Held()
    m._connections.extend([first, FakeWebSocket(), FakeWebSocket()])
    others = [weakref.ref(ws) for ws in m._connections[1:]]
    await asyncio.wait_for(m.broadcast({"type": "x"}), 10)
    assert gate._waiters and [r().events for r in others] == [[{"type": "x"}]] * 2
    m._connections.clear()
    gc.collect()
    assert [r() for r in others] == [None, None]
    gate.set()
    await until(lambda: first.events == [{"type": "x"}])


class TestState:
    async def test_connections_is_the_live_list_both_ways(self, ws_module):
        """Catches the manager and Python code holding two different lists, or a stale one after assignment."""
        m = ws_module.ConnectionManager()
        a, b = FakeWebSocket(), FakeWebSocket()
        kept = m._connections
        assert await m.connect(a) is True and kept == [a]  # what the manager appends, the caller's list has
        mine = [b]
        m._connections = mine  # an assigned list is the one the manager works on from then on
        assert m._connections is mine
        await m.broadcast({"type": "x"})
        assert b.events == [{"type": "x"}] and a.events == []
        mine.append(a)  # and mutations of it are seen by the manager
        m.disconnect(b)
        assert mine == [a] and kept == [a]
        m.note = "kept"  # other attributes are still taken, after the field in vars()
        assert list(vars(m)) == ["_connections", "note"] and vars(m)["_connections"] is mine
        del m._connections
        with pytest.raises(AttributeError, match="'ConnectionManager' object has no attribute '_connections'"):
            m.disconnect(a)

    async def test_a_subclass_that_puts_a_property_over_the_list_is_read_through_it(self, ws_module):
        """Catches native reads that bypass a subclass's own `_connections`."""
        shared = []

        class Pooled(ws_module.ConnectionManager):
            _connections = property(lambda self: shared, lambda self, v: None)

        m = Pooled()
        a = FakeWebSocket()
        assert await m.connect(a) is True and shared == [a]
        await m.broadcast({"type": "x"})
        assert a.events == [{"type": "x"}]
        m.disconnect(a)
        assert shared == []

    @pytest.mark.parametrize("through", ["list", "other attribute"])
    def test_a_manager_in_a_reference_cycle_is_collected(self, ws_module, through):
        """Catches a field the collector is not shown (the manager and its sockets would live for ever)."""
        m = ws_module.ConnectionManager()
        ws = FakeWebSocket()
        if through == "list":
            ws.manager = m
            m._connections.append(ws)
        else:
            m.me = m
        ref = weakref.ref(m)
        del m, ws
        gc.collect()
        assert ref() is None
