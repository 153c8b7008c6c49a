"""Bounded sends: a client that stops reading never holds anyone else up, and is let go.

The bound itself is checked against `asyncio.timeout` through the runtime probe; the gateway's use of it
with fake sockets whose sends (and closes) stall; the whole road with a real server and a raw TCP client
that stops reading is in test_ws_e2e.py.
"""

from __future__ import annotations

import asyncio
import logging

import pytest

from fakes import FakeAgent, FakeEvent, FakeSession, FakeWebSocket, until
from tavrin import _runtime_probe as probe

BOUND = 0.05


@pytest.fixture
def bound(ws_module, monkeypatch):
    monkeypatch.setattr(ws_module, "_SEND_TIMEOUT_SECONDS", BOUND)
    return BOUND


class TestDeadline:
    @pytest.fixture(autouse=True)
    def probe_bound(self, monkeypatch):
        asked = []

        def bound():
            asked.append(True)
            return BOUND

        monkeypatch.setattr(probe, "BOUND", bound)
        return asked

    async def test_no_timer_without_a_suspension_and_none_means_unbounded(self, probe_bound, monkeypatch):
        async def at_once():
            return "now"

        assert await asyncio.create_task(probe.within(at_once())) == "now"
        assert probe_bound == []  # the bound is not even read when nothing suspends
        monkeypatch.setattr(probe, "BOUND", None)
        assert await asyncio.create_task(probe.within(asyncio.sleep(2 * BOUND, "late"))) == "late"

    async def test_a_late_completion_under_the_bound_is_a_result(self):
        # It suspends, so the timer is set, and completes in the next pass, which comes before any timer.
        assert await asyncio.create_task(probe.within(asyncio.sleep(0, "in time"))) == "in time"

    async def test_expiry_is_timeout_error_like_asyncio_timeout(self):
        async def reference(aw):
            async with asyncio.timeout(BOUND):
                return await aw

        for make in (probe.within, reference):
            task = asyncio.create_task(make(asyncio.Event().wait()))
            with pytest.raises(TimeoutError) as info:
                await task
            assert isinstance(info.value.__cause__, asyncio.CancelledError)
            assert task.cancelling() == 0  # the timeout's own cancellation is settled

    @pytest.mark.parametrize("when", ["before the deadline", "with the deadline"])
    async def test_an_outside_cancel_stays_a_cancellation(self, when):
        started = asyncio.Event()

        async def waits():
            started.set()
            await asyncio.sleep(10)

        task = asyncio.create_task(probe.within(waits()))
        if when == "with the deadline":
            # Due just before the deadline (set once the task suspends), so it runs in the deadline's pass
            # or in one before it: a cancellation either way.
            loop = asyncio.get_running_loop()
            loop.call_at(loop.time() + BOUND, task.cancel)
        await started.wait()
        if when == "before the deadline":
            task.cancel()  # the task is suspended and its timer set; this pass comes before the timer's
        with pytest.raises(asyncio.CancelledError):
            await task


class StallingSocket(FakeWebSocket):
    """A client that stopped reading: sends (and, optionally, its close) never complete."""

    def __init__(self, *, close_stalls: bool = True, stall_after: int = 0):
        super().__init__()
        self.close_stalls = close_stalls
        self.stall_after = stall_after
        self.stalled = 0

    async def send_json(self, data):
        if len(self.sent) >= self.stall_after:
            self.stalled += 1
            await asyncio.Event().wait()
        await super().send_json(data)

    async def close(self, code=1000, reason=None):
        self.close_attempt = (code, reason)
        if self.close_stalls:
            await asyncio.Event().wait()
        await super().close(code, reason)


class LateSocket(FakeWebSocket):
    """A client whose sends complete late, in the next pass of the loop, but always within the bound:
    that pass comes before any timer's."""

    async def send_json(self, data):
        await asyncio.sleep(0)
        await super().send_json(data)


async def connected(ws_module, *socks):
    endpoint = ws_module.create_ws_router().routes[0].endpoint
    tasks = [asyncio.create_task(endpoint(ws=s)) for s in socks]
    await until(lambda: all(s in ws_module.manager._connections for s in socks))
    return tasks


async def let_go_finished(ws_module):
    """Waits for the let-go tasks under way, then for their done callbacks."""
    await asyncio.gather(*ws_module._slow_clients.values(), return_exceptions=True)
    return await until(lambda: not ws_module._slow_clients)


def warnings_of(log):
    return [r.getMessage() for r in log.records if r.levelno == logging.WARNING and "too slow" in r.getMessage()]


class TestBroadcast:
    async def test_a_stuck_client_is_pruned_let_go_and_its_endpoint_ended(self, ws_module, bound, gateway_log):
        a, stuck, b = FakeWebSocket(), StallingSocket(), LateSocket()
        endpoints = await connected(ws_module, a, stuck, b)
        for i in range(3):
            await ws_module.manager.broadcast({"type": "info", "n": i})
        assert [e["n"] for e in a.events] == [0, 1, 2]  # sent at once, as written
        await until(lambda: len(b.events) == 3)  # finished in its own writer, in order
        assert [e["n"] for e in b.events] == [0, 1, 2]
        await until(lambda: getattr(stuck, "close_attempt", None))
        assert ws_module.manager._connections == [a, b]
        assert stuck.close_attempt == (1013, "Client too slow")
        assert warnings_of(gateway_log) == [
            f"Client too slow \u2014 a send (broadcast) did not complete within {BOUND} s; closing its connection"
        ]
        await asyncio.wait_for(endpoints[1], 10)  # its close stalled too: the endpoint was ended, not cancelled
        assert not endpoints[1].cancelled() and await let_go_finished(ws_module)
        assert len(ws_module._endpoint_tasks) == 2
        a.hang_up(), b.hang_up()
        await asyncio.gather(*endpoints)
        assert not ws_module._endpoint_tasks

    async def test_a_client_whose_close_completes_is_left_to_its_own_end(self, ws_module, bound):
        stuck = StallingSocket(close_stalls=False)
        endpoints = await connected(ws_module, stuck)
        await ws_module.manager.broadcast({"type": "info"})
        await until(lambda: stuck.closed)
        assert await let_go_finished(ws_module)
        assert stuck.closed == (1013, "Client too slow") and not endpoints[0].done()
        stuck.hang_up()  # what the client does once it has read the close frame
        await endpoints[0]
        assert not ws_module._slow_clients

    async def test_a_fair_broadcast_never_waits_for_a_suspended_send(self, ws_module, monkeypatch, gateway_log):
        # With the fair broadcast, however long the bound, the broadcast returns; what comes for the
        # stuck client waits behind its send, in order.
        monkeypatch.setattr(ws_module, "_FAIR_BROADCAST", True)
        monkeypatch.setattr(ws_module, "_SEND_TIMEOUT_SECONDS", 60.0)
        stuck, late = StallingSocket(stall_after=1), LateSocket()
        ws_module.manager._connections.extend([stuck, late])
        for i in range(3):
            await asyncio.wait_for(ws_module.manager.broadcast({"type": "info", "n": i}), 10)
        await until(lambda: stuck.stalled and len(late.events) == 3)
        assert [e["n"] for e in stuck.events] == [0] and ws_module.manager._connections == [stuck, late]
        assert not warnings_of(gateway_log)
        writers = [t for t in asyncio.all_tasks() if t.get_name() == "stream-writer"]
        for t in writers:
            t.cancel()
        await asyncio.wait(writers)


class TestTurnsAndReplies:
    async def test_a_stuck_client_takes_the_client_gone_path_and_the_turn_ends(
        self, ws_module, host, bound, gateway_log
    ):
        lock = asyncio.Lock()
        agent = FakeAgent([FakeEvent("text", content=str(i)) for i in range(3)] + [FakeEvent("done")])
        sock = StallingSocket(stall_after=2)
        await ws_module._handle_standard_chat(sock, agent, "hi", session_lock=lock, session_id="s1")
        assert [e["type"] for e in sock.events] == ["mode", "text"]
        assert not lock.locked() and not agent.is_processing
        messages = [r.getMessage() for r in gateway_log.records if r.levelno == logging.WARNING]
        assert messages[0].startswith("Client too slow \u2014 a send (session 's1')")
        assert messages[1] == "Client disconnected during processing [s1]: "
        assert await let_go_finished(ws_module)  # the close task is over, nothing left behind

    async def test_a_stuck_reply_ends_the_connection_with_websocket_error(self, ws_module, host, bound, gateway_log):
        sock = StallingSocket()
        (endpoint,) = await connected(ws_module, sock)
        sock.feed({"type": "ping"})
        await asyncio.wait_for(endpoint, 10)
        errors = [r for r in gateway_log.records if r.levelno == logging.ERROR]
        assert [r.getMessage() for r in errors] == ["WebSocket error"]
        assert isinstance(errors[0].exc_info[1], TimeoutError)
        assert warnings_of(gateway_log)[0].startswith("Client too slow \u2014 a send (reply)")
        assert ws_module.manager._connections == []
        assert await let_go_finished(ws_module)

    async def test_a_hosts_own_timeout_is_not_a_slow_client(self, ws_module, host, bound, gateway_log, monkeypatch):
        """A TimeoutError from the host ends the connection as any error does; nobody is let go."""

        async def create_session(**kwargs):
            raise TimeoutError("database is busy")

        monkeypatch.setattr(host.registry, "create_session", create_session)
        sock = FakeWebSocket()
        (endpoint,) = await connected(ws_module, sock)
        sock.feed({"type": "new_session"})
        await asyncio.wait_for(endpoint, 5)
        assert [r.getMessage() for r in gateway_log.records if r.levelno >= logging.WARNING] == ["WebSocket error"]
        assert sock.closed is None and not ws_module._slow_clients

    async def test_a_refused_client_whose_close_stalls_is_still_refused(
        self, ws_module, bound, gateway_log, monkeypatch
    ):
        monkeypatch.setattr(ws_module, "_MAX_WS_CONNECTIONS", 0)
        sock = StallingSocket()
        assert await ws_module.manager.connect(sock) is False
        assert sock.close_attempt == (1013, "Too many connections")
        assert [r.getMessage() for r in gateway_log.records] == ["Rejected WebSocket \u2014 limit of 0 reached"]

    async def test_other_clients_keep_receiving_a_turn_that_broadcasts(self, ws_module, host, bound):
        # a tab title broadcast with a stuck client among the listeners does not hold the turn
        agent = FakeAgent([FakeEvent("done")])
        host.registry.add(FakeSession("s1", agent, display_name="New Chat"))
        healthy, stuck, asker = FakeWebSocket(), StallingSocket(), FakeWebSocket()
        endpoints = await connected(ws_module, stuck, healthy)
        await ws_module._handle_standard_chat(asker, agent, "rename me", session_id="s1")
        assert [e["type"] for e in asker.events] == ["mode", "done"]
        assert [e["type"] for e in healthy.events] == ["session_renamed"]
        healthy.hang_up()
        await asyncio.gather(*endpoints)
