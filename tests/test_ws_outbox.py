"""One socket, one send order: the outbox's decisions on their own, the written broadcast as the module's
default, and the fair broadcast (opt-in) keeping what a caller of `async def` code would see: the message
as sent, the order of every send to a socket, a let-go client let go, and pruning where the broadcast was
made."""

from __future__ import annotations

import asyncio
import logging

import pytest

from fakes import FakeAgent, FakeEvent, FakeWebSocket, until
from tavrin import _runtime_probe as probe

BOUND = 0.05


def decide(state, *inputs):
    """Feeds the outbox's decision a run of (input, head) pairs from `state`; gives the states and actions."""
    seen = []
    for what, head in inputs:
        state, action = probe.outbox_decide(state, what, head)
        seen.append((state, action))
    return seen


class TestDecisions:
    def test_a_send_at_once_leaves_the_socket_free(self):
        assert decide("idle", ("offer", "nothing"), ("returned", "nothing")) == [
            ("sending", "send_now"),
            ("idle", "none"),
        ]

    def test_what_comes_during_a_send_goes_out_after_it_in_order(self):
        # a send whose own code sends to the socket again: that one waits, then the writer sends it
        assert decide(
            "idle", ("offer", "nothing"), ("offer", "nothing"), ("returned", "send"), ("done", "nothing")
        ) == [("sending", "send_now"), ("sending", "queue"), ("writing", "start_writer"), ("idle", "none")]

    def test_a_send_that_suspends_goes_to_the_writer_and_later_ones_queue(self):
        assert decide(
            "idle",
            ("offer", "nothing"),
            ("suspended", "nothing"),
            ("offer", "nothing"),
            ("done", "send"),
            ("done", "nothing"),
        ) == [
            ("sending", "send_now"),
            ("writing", "start_writer"),
            ("writing", "queue"),
            ("writing", "send_next"),
            ("idle", "none"),
        ]

    def test_a_sender_that_awaits_its_send_waits_behind_what_came_first(self):
        # b1 in flight, a reply asks (a ticket behind b1), b2 comes after it: b1, the reply, b2
        assert decide(
            "writing",
            ("claim", "nothing"),
            ("offer", "ticket"),
            ("done", "ticket"),
            ("done", "send"),
            ("done", "nothing"),
        ) == [
            ("writing", "wait"),
            ("writing", "queue"),
            ("held", "grant"),
            ("writing", "start_writer"),
            ("idle", "none"),
        ]

    def test_a_claim_on_a_free_socket_goes_on_and_holds_it(self):
        assert decide("idle", ("claim", "nothing"), ("offer", "nothing"), ("done", "send")) == [
            ("held", "go_on"),
            ("held", "queue"),
            ("writing", "start_writer"),
        ]

    @pytest.mark.parametrize("state", ["idle", "sending", "held", "writing"])
    def test_a_let_go_client_is_sent_nothing_more(self, state):
        assert decide(state, ("let_go", "send"), ("offer", "nothing"), ("done", "nothing"), ("claim", "nothing")) == [
            ("let_go", "drop_queue"),
            ("let_go", "drop"),
            ("let_go", "none"),
            ("let_go", "go_on"),
        ]

    def test_inputs_out_of_place_change_nothing(self):
        for state in ("idle", "held", "writing"):
            assert decide(state, ("returned", "send"), ("suspended", "send")) == [(state, "none")] * 2
        assert decide("idle", ("done", "send")) == [("idle", "none")]

    def test_unknown_names_are_refused(self):
        with pytest.raises(ValueError, match="unknown state: 'busy'"):
            probe.outbox_decide("busy", "offer", "nothing")


# ---- sockets ----


class Gated(FakeWebSocket):
    """A slow client: every send waits at the gate, then is recorded (serialised) as the in-memory
    socket does. `calls` counts the sends begun."""

    def __init__(self):
        super().__init__()
        self.gate = asyncio.Event()
        self.calls = 0
        self.log: list[str] = []

    async def send_json(self, data):
        self.calls += 1
        self.log.append(f"start {data.get('n', data.get('type'))}")
        await self.gate.wait()
        await super().send_json(data)
        self.log.append(f"end {data.get('n', data.get('type'))}")


class Stalling(FakeWebSocket):
    """A client that stopped reading: its sends never complete; its close completes."""

    def __init__(self):
        super().__init__()
        self.calls = 0

    async def send_json(self, data):
        self.calls += 1
        await asyncio.Event().wait()


class Reference:
    """The connection manager's broadcast written with `async def`, each send bounded."""

    def __init__(self, ws_module):
        self._connections = []
        self.ws = ws_module

    async def broadcast(self, message):
        dead = []
        for ws in list(self._connections):
            if ws not in self._connections:
                continue
            try:
                async with asyncio.timeout(self.ws._SEND_TIMEOUT_SECONDS):
                    await ws.send_json(message)
            except Exception:
                if ws in self._connections:
                    dead.append(ws)
        for ws in dead:
            if ws in self._connections:
                self._connections.remove(ws)


@pytest.fixture
def fair(ws_module, monkeypatch):
    monkeypatch.setattr(ws_module, "_FAIR_BROADCAST", True)
    return ws_module


def ns(sock):
    return [e.get("n", e["type"]) for e in sock.events]


def started(coro):
    """A task whose first step has run: it has made its send, or taken its turn for it."""
    return asyncio.eager_task_factory(asyncio.get_running_loop(), coro)


def manager_and_reference(ws_module, make):
    m, ref = ws_module.ConnectionManager(), Reference(ws_module)
    return [(m, [make() for _ in range(3)]), (ref, [make() for _ in range(3)])]


class TestWrittenBroadcast:
    """With the module as loaded, broadcast is the written one: each send awaited in turn, bounded."""

    async def test_the_sends_go_one_after_another_and_the_broadcast_waits_for_the_pass(self, ws_module):
        # catches: a send handed off, so the broadcast returns before a slow client has it
        logs = []
        for m, socks in manager_and_reference(ws_module, Gated):
            m._connections.extend(socks)
            task = asyncio.create_task(m.broadcast({"type": "info", "n": 1}))
            await until(lambda: socks[0].calls)
            assert [s.calls for s in socks] == [1, 0, 0] and not task.done()  # the second waits for the first
            for s in socks:
                s.gate.set()
            await task
            assert [ns(s) for s in socks] == [[1]] * 3
            logs.append([entry for s in socks for entry in s.log])
        assert logs[0] == logs[1] == ["start 1", "end 1"] * 3

    async def test_a_cancelled_broadcast_ends_at_once_and_prunes_nothing(self, ws_module):
        # catches: a cancelled pass that goes on, or prunes the client that failed before the cancel
        outcomes = []
        for m, _ in manager_and_reference(ws_module, FakeWebSocket):
            failing, stuck, unreached = FakeWebSocket(fail_send=True), Stalling(), FakeWebSocket()
            m._connections.extend([failing, stuck, unreached])
            task = asyncio.create_task(m.broadcast({"type": "info"}))
            await until(lambda: stuck.calls)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            outcomes.append((m._connections == [failing, stuck, unreached], unreached.events))
        assert outcomes == [(True, [])] * 2

    async def test_a_client_that_leaves_during_the_pass_is_a_non_event(self, ws_module, monkeypatch, gateway_log):
        # catches: a vanished client let go (a warning, a close) or pruned from someone else's list
        monkeypatch.setattr(ws_module, "_SEND_TIMEOUT_SECONDS", BOUND)
        outcomes = []
        for m, _ in manager_and_reference(ws_module, FakeWebSocket):
            leaving, later_gone, stays = Stalling(), FakeWebSocket(), FakeWebSocket()
            m._connections.extend([leaving, later_gone, stays])
            task = asyncio.create_task(m.broadcast({"type": "info"}))
            await until(lambda: leaving.calls)
            m._connections.remove(leaving)  # its endpoint saw it go while its send was under way
            m._connections.remove(later_gone)  # and this one before its turn came
            m._connections.append(leaving)  # (a new admission of the same object: still no prune)
            m._connections.remove(leaving)
            await task
            outcomes.append((m._connections == [stays], later_gone.events, stays.events))
        assert outcomes == [(True, [], [{"type": "info"}])] * 2
        assert not [r for r in gateway_log.records if "too slow" in r.getMessage()]
        assert not ws_module._slow_clients


class TestMessageAsSent:
    @pytest.mark.parametrize("edit", ["a value", "a nested value"])
    async def test_a_caller_that_reuses_its_message_does_not_change_what_a_slow_client_gets(self, fair, edit):
        # catches: the queued (or suspended) send reading the caller's dict after the broadcast returned
        got = []
        for m in (fair.ConnectionManager(), Reference(fair)):
            slow = Gated()
            m._connections.append(slow)
            message = {"type": "info", "n": 1, "data": {"x": [1]}}
            runs = []
            for n in (1, 2):
                message["n"] = n
                message["data"]["x"][0] = n
                runs.append(asyncio.create_task(m.broadcast(message)))
                if isinstance(m, Reference):
                    slow.gate.set()  # the written broadcast waits for the client before the caller goes on
                await runs[-1]
            message["n"], message["data"]["x"][0] = 3, 3
            message["data"]["x"].append("later")
            slow.gate.set()
            await until(lambda: len(slow.sent) == 2)
            got.append([(e["n"], e["data"]) for e in slow.events])
        assert got[0] == got[1] == [(1, {"x": [1]}), (2, {"x": [2]})]


@pytest.mark.parametrize("streams_on", [False, True], ids=["streams off", "streams on"])
class TestOrderOnOneSocket:
    async def test_a_reply_waits_behind_the_broadcast_made_before_it(self, fair, host, monkeypatch, streams_on):
        # catches: the pong overtaking a broadcast queued before it (b1, pong, b2 arrived as b1, b2 pong
        # or pong first)
        monkeypatch.setattr(fair, "_SESSION_STREAMS", streams_on)
        slow = Gated()
        fair.manager._connections.append(slow)
        await fair.manager.broadcast({"type": "info", "n": "b1"})  # in flight in its writer
        reply = started(fair._handle_message(slow, {"type": "ping"}))
        await fair.manager.broadcast({"type": "info", "n": "b2"})
        slow.gate.set()
        await reply
        await until(lambda: len(slow.sent) == 3)
        assert ns(slow) == ["b1", "pong", "b2"]

    async def test_a_turn_after_a_broadcast_in_the_same_task_comes_after_it(self, fair, host, monkeypatch, streams_on):
        # catches: the turn's own sends (the mode event, its events) overtaking the broadcast just made
        monkeypatch.setattr(fair, "_SESSION_STREAMS", streams_on)
        slow = Gated()
        fair.manager._connections.append(slow)
        agent = FakeAgent([FakeEvent("text", content="hi"), FakeEvent("done")])

        async def one_task():
            await fair.manager.broadcast({"type": "info", "n": 1})
            await fair._handle_standard_chat(slow, agent, "hello", session_id="s9")

        task = asyncio.create_task(one_task())
        await until(lambda: slow.calls)
        slow.gate.set()
        await task
        await until(lambda: len(slow.sent) == 4)
        assert ns(slow) == [1, "mode", "text", "done"]


class TestLetGo:
    async def test_a_let_go_client_has_its_queue_dropped_at_once(self, fair, monkeypatch, gateway_log):
        # catches: its queued broadcasts sent one time-out at a time, each with its own warning
        monkeypatch.setattr(fair, "_SEND_TIMEOUT_SECONDS", BOUND)
        stuck, healthy = Stalling(), FakeWebSocket()
        fair.manager._connections.extend([stuck, healthy])
        for i in range(20):
            await fair.manager.broadcast({"type": "info", "n": i})
        assert ns(healthy) == list(range(20))
        await until(lambda: stuck.closed)
        await asyncio.gather(*fair._slow_clients.values(), return_exceptions=True)
        await until(lambda: not any(t.get_name() == "stream-writer" for t in asyncio.all_tasks()))
        assert stuck.calls == 1 and stuck.closed == (1013, "Client too slow")
        assert [r.getMessage() for r in gateway_log.records if r.levelno == logging.WARNING] == [
            f"Client too slow \u2014 a send (broadcast) did not complete within {BOUND} s; closing its connection"
        ]
        assert fair.manager._connections == [healthy]


class TestPruning:
    async def test_a_handed_off_send_that_fails_is_pruned_where_the_broadcast_was_made(self, fair):
        # catches: the writer pruning the module's manager, which the broadcast never went through
        class FailsLate(Gated):
            async def send_json(self, data):
                self.calls += 1
                await self.gate.wait()
                raise RuntimeError("connection closed")

        sock, other = FailsLate(), FakeWebSocket()
        mine = fair.ConnectionManager()
        mine._connections.extend([sock, other])
        fair.manager._connections.append(sock)
        await mine.broadcast({"type": "info"})
        assert mine._connections == [sock, other]  # still under way
        sock.gate.set()
        await until(lambda: mine._connections == [other])
        assert fair.manager._connections == [sock]


async def test_reset_state_forgets_the_outboxes_a_test_left_behind(fair):
    # catches: a socket's queue from an earlier test still in front of its sends after _reset_state()
    slow = Gated()
    fair.manager._connections.append(slow)
    await fair.manager.broadcast({"type": "info", "n": 1})  # in flight, and stays so
    await fair.manager.broadcast({"type": "info", "n": 2})  # waits behind it
    fair._reset_state()
    fair.manager._connections.append(slow)
    slow.gate.set()
    await until(lambda: len(slow.sent) == 1)  # the one in flight finishes; what waited is gone
    await fair.manager.broadcast({"type": "info", "n": 3})  # at once: no stale outbox in front of it
    assert ns(slow) == [1, 3]
