"""Session streams: a turn talks to its session, every window of the session is live, a returning window
catches up with exactly what it missed, and an unwatched turn is stopped after a grace period."""

from __future__ import annotations

import asyncio
import gc
import logging

import pytest

from fakes import FakeAgent, FakeEvent, FakeSession, FakeWebSocket, until

GRACE = 60.0  # long: a session left unwatched for a moment of a busy machine keeps its stream


@pytest.fixture
def streams(ws_module, monkeypatch):
    monkeypatch.setattr(ws_module, "_SESSION_STREAMS", True)
    monkeypatch.setattr(ws_module, "_DETACHED_GRACE_SECONDS", GRACE)
    monkeypatch.setattr(ws_module, "_SEND_TIMEOUT_SECONDS", 0.05)
    yield ws_module
    ws_module._session_streams.clear()


@pytest.fixture
def quiet_watchdog(ws_module, monkeypatch):
    async def watchdog(agent, session_id):
        await asyncio.Event().wait()

    monkeypatch.setattr(ws_module, "_watchdog", watchdog)


@pytest.fixture
async def grace(streams, monkeypatch):
    """The grace period as timers the test sees and runs out itself, set long so that none runs out on
    its own however slow the machine: `timers` holds each one armed (its handle and callback), and
    `expire()` runs the last one as if the period had passed."""

    class Grace:
        seconds = 60.0

        def __init__(self):
            self.timers = []

        def expire(self):
            handle, callback = self.timers[-1]
            handle.cancel()
            callback()

    g = Grace()
    loop = asyncio.get_running_loop()
    call_later = loop.call_later

    def spy(delay, callback, *args, **kwargs):
        handle = call_later(delay, callback, *args, **kwargs)
        if getattr(callback, "__name__", "") == "_grace_expired" and delay == g.seconds:
            g.timers.append((handle, callback))
        return handle

    monkeypatch.setattr(streams, "_DETACHED_GRACE_SECONDS", g.seconds)
    monkeypatch.setattr(loop, "call_later", spy)
    return g


async def until_stepping(condition, *, step):
    """Waits until `condition()` holds, calling `step()` (which moves the scenario on) before each look."""
    async with asyncio.timeout(10):  # a safety net for a hang, not a bound the test is about
        while True:
            if step:
                step()
            if condition():
                return
            await asyncio.sleep(0)


class Window:
    """A connected fake client, served by the real endpoint."""

    def __init__(self, ws_module, sock=None):
        self.sock = sock or FakeWebSocket()
        self.task = asyncio.create_task(ws_module.create_ws_router().routes[0].endpoint(ws=self.sock))

    @classmethod
    async def open(cls, ws_module, sock=None):
        """A window whose connection the gateway has taken in."""
        w = cls(ws_module, sock)
        await until(lambda: w.sock in ws_module.manager._connections)
        return w

    def types(self):
        return [e["type"] for e in self.sock.events]

    async def received(self, kind):
        """Waits for an event of this type."""
        await until(lambda: kind in self.types(), what=f"a {kind!r} event")

    def seqs(self, session="s1"):
        return [
            e["seq"]
            for e in self.sock.events
            if e.get("session_id") == session and "seq" in e and e["type"] not in ("attached",)
        ]

    async def close(self):
        self.sock.hang_up()
        await self.task


def turn(n=5):
    gate = asyncio.Event()
    events = [FakeEvent("text", content=str(i)) for i in range(n)] + [FakeEvent("done")]
    return FakeAgent(events, gate=gate), gate


@pytest.fixture
def session(host):
    agent, gate = turn()
    host.registry.add(FakeSession("s1", agent))
    return agent, gate


class TestFanOut:
    async def test_every_window_of_a_session_receives_the_turn_in_order(self, streams, host, session, quiet_watchdog):
        agent, gate = session
        a, b = await Window.open(streams), await Window.open(streams)
        b.sock.feed({"type": "attach", "session_id": "s1"})
        a.sock.feed({"type": "chat", "session_id": "s1", "content": "go"})
        await b.received("attached")
        gate.set()
        await a.received("done"), await b.received("done")
        turn_a = [e for e in a.sock.events if e["type"] in ("mode", "text", "done")]
        turn_b = [e for e in b.sock.events if e["type"] in ("mode", "text", "done")]
        assert turn_a == turn_b and [e["type"] for e in turn_a] == ["mode"] + ["text"] * 5 + ["done"]
        seqs = [e["seq"] for e in turn_a]
        assert seqs == sorted(set(seqs)) and all(list(e)[-1] == "seq" for e in turn_a)
        attached = [e for e in b.sock.events if e["type"] == "attached"][0]
        assert attached == {
            "type": "attached",
            "session_id": "s1",
            "running": False,
            "seq": streams._session_streams["s1"].seq - 7,
        }  # before the turn's seven events
        await a.close(), await b.close()

    async def test_a_dead_window_is_detached_and_the_others_and_the_turn_go_on(
        self, streams, host, session, quiet_watchdog, gateway_log
    ):
        agent, gate = session

        class Dying(FakeWebSocket):
            async def send_json(self, data):
                if data.get("content") == "2":
                    raise RuntimeError("socket closed")
                await super().send_json(data)

        a, dying = await Window.open(streams), await Window.open(streams, Dying())
        dying.sock.feed({"type": "attach", "session_id": "s1"})
        a.sock.feed({"type": "chat", "session_id": "s1", "content": "go"})
        await dying.received("attached")
        gate.set()
        await a.received("done")
        assert [e.get("content") for e in a.sock.events if e["type"] == "text"] == ["0", "1", "2", "3", "4"]
        assert [e.get("content") for e in dying.sock.events if e["type"] == "text"] == ["0", "1"]
        assert streams._session_streams["s1"].attached == [a.sock]
        await a.close(), await dying.close()


class TestReplay:
    async def test_a_returning_window_gets_exactly_what_it_missed(self, streams, host, session, quiet_watchdog, grace):
        agent, gate = session  # with `grace`, the stream is not dropped while the window is away
        a = await Window.open(streams)
        a.sock.feed({"type": "chat", "session_id": "s1", "content": "go"})
        await until(lambda: len(a.seqs()) == 2)  # mode and the first text: the turn waits at its gate
        seen = a.seqs()
        await a.close()  # the window goes away mid-turn: the turn goes on
        gate.set()
        await until(lambda: not streams._active_tasks.get("s1"))
        back = await Window.open(streams)
        back.sock.feed({"type": "attach", "session_id": "s1", "after": seen[-1]})
        await back.received("attached")
        got = back.seqs()
        assert got[0] > seen[-1] and seen + got == sorted(set(seen + got))
        assert [e["type"] for e in back.sock.events][-1] == "attached"
        assert back.sock.events[-1]["seq"] == got[-1]
        whole = [e for e in back.sock.events if e["type"] in ("text", "done")]
        assert len(whole) + sum(1 for s in seen) == 1 + 5 + 1  # mode, five texts, done: each once
        await back.close()

    async def test_a_live_event_during_the_replay_comes_after_it_once(self, streams, host, session):
        producer = await Window.open(streams)

        class Slow(FakeWebSocket):
            async def send_json(self, data):
                if data.get("n") == 1:  # the replay's second event: meanwhile a live one is produced
                    await asyncio.sleep(0)
                    await streams.manager.broadcast_to_session("s1", {"type": "info", "n": 99})
                await super().send_json(data)

        for i in range(3):
            await streams.manager.broadcast_to_session("s1", {"type": "info", "n": i})
        stream = streams._session_streams["s1"]
        late = await Window.open(streams, Slow())
        late.sock.feed({"type": "attach", "session_id": "s1", "after": 0})
        await late.received("attached")
        ns = [e.get("n") for e in late.sock.events]
        assert ns == [0, 1, 2, 99, None]  # the replay, the live event once, then "attached"
        assert late.sock.events[-1]["seq"] == stream.seq
        await producer.close(), await late.close()

    async def test_a_gap_is_announced_and_the_rest_replayed(self, streams, host, session, monkeypatch):
        monkeypatch.setattr(streams, "_STREAM_RETAIN_EVENTS", 2)
        for i in range(5):
            await streams.manager.broadcast_to_session("s1", {"type": "info", "n": i})
        stream = streams._session_streams["s1"]
        w = await Window.open(streams)
        w.sock.feed({"type": "attach", "session_id": "s1", "after": 0})
        await w.received("attached")
        events = w.sock.events
        assert events[0] == {"type": "replay_gap", "session_id": "s1", "first_seq": stream.first_seq}
        assert [e.get("n") for e in events[1:3]] == [3, 4] and events[3]["type"] == "attached"
        await w.close()

    @pytest.mark.parametrize(
        "message, text",
        [
            ({"type": "attach", "session_id": "nope"}, "Session not found"),
            ({"type": "attach", "session_id": "s1", "after": "x"}, "'after' must be an integer"),
        ],
    )
    async def test_bad_attach_gets_an_error_event(self, streams, host, session, message, text):
        w = await Window.open(streams)
        w.sock.feed(message)
        await w.received("error")
        assert w.sock.events == [{"type": "error", "message": text, "session_id": message["session_id"]}]
        await w.close()

    async def test_pending_approvals_reach_a_window_that_attaches(self, streams, host, session):
        await streams.manager.broadcast_to_session(
            "s1", {"type": "tool_approval_needed", "approval_id": "a1", "tool": "delete_file"}
        )
        await streams.manager.broadcast_to_session("s1", {"type": "info"})
        w = await Window.open(streams)
        w.sock.feed({"type": "attach", "session_id": "s1"})  # no replay, but the approval still waits
        await w.received("attached")
        assert [e["type"] for e in w.sock.events] == ["tool_approval_needed", "attached"]
        await w.close()


class TestGrace:
    async def test_an_unwatched_turn_is_stopped_after_the_grace_period(
        self, streams, host, session, quiet_watchdog, gateway_log, grace
    ):
        a = await Window.open(streams)
        a.sock.feed({"type": "chat", "session_id": "s1", "content": "go"})
        await until(lambda: len(a.seqs()) == 2)
        task = streams._active_tasks["s1"]
        seen = a.seqs()[-1]
        await a.close()
        assert not task.done() and len(grace.timers) == 1  # not cancelled with its window: a grace begins
        await streams.manager.broadcast_to_session("s1", {"type": "info"})  # missed by the window
        grace.expire()
        await until(task.done)
        assert task.cancelled()
        assert any(
            r.levelno == logging.INFO and "no window has watched it" in r.getMessage() for r in gateway_log.records
        )
        assert "s1" not in streams._session_streams
        # The session goes on in a new stream; what the dropped one held after `seen` is gone, and so
        # is anything after a number from an earlier server process.
        await streams.manager.broadcast_to_session("s1", {"type": "info"})
        for after in (seen, 5):
            back = await Window.open(streams)
            back.sock.feed({"type": "attach", "session_id": "s1", "after": after})
            await back.received("attached")
            assert [e["type"] for e in back.sock.events] == ["replay_gap", "info", "attached"]
            await back.close()

    async def test_a_window_back_within_the_grace_keeps_it(self, streams, host, session, quiet_watchdog, grace):
        agent, gate = session
        a = await Window.open(streams)
        a.sock.feed({"type": "chat", "session_id": "s1", "content": "go"})
        await a.received("mode")
        task = streams._active_tasks["s1"]
        await a.close()
        ((timer, _),) = grace.timers
        b = await Window.open(streams)
        b.sock.feed({"type": "attach", "session_id": "s1", "after": 0})
        await b.received("attached")
        assert timer.cancelled() and not task.done()  # the grace ended with the window's return
        gate.set()
        await until(task.done)
        assert not task.cancelled()
        assert [e["type"] for e in b.sock.events][-1] == "done"
        await b.close()

    async def test_stop_and_a_newer_chat_still_cancel(self, streams, host, session, quiet_watchdog):
        a, b = await Window.open(streams), await Window.open(streams)
        b.sock.feed({"type": "attach", "session_id": "s1"})
        a.sock.feed({"type": "chat", "session_id": "s1", "content": "one"})
        first = await until(lambda: streams._active_tasks.get("s1"))
        a.sock.feed({"type": "chat", "session_id": "s1", "content": "two"})
        await until(lambda: first.cancelled() and streams._active_tasks.get("s1") not in (None, first))
        second = streams._active_tasks["s1"]
        a.sock.feed({"type": "stop_task", "session_id": "s1"})
        await until(second.cancelled)
        await a.received("task_stopped"), await b.received("task_stopped")
        # The stop is in the session's stream: both windows see it once, and so would a replay.
        for w in (a, b):
            stops = [e for e in w.sock.events if e["type"] == "task_stopped"]
            assert len(stops) == 1 and stops[0]["seq"] == streams._session_streams["s1"].seq
        await a.close(), await b.close()

    async def test_a_stop_from_a_window_the_stream_does_not_reach_is_answered_plainly(self, streams, host, session):
        watcher, stopper = Window(streams), Window(streams)
        watcher.sock.feed({"type": "attach", "session_id": "s1"})
        stopper.sock.feed({"type": "stop_task", "session_id": "s1"})  # the session's idle agent counts
        await until(lambda: stopper.sock.events and any(e["type"] == "task_stopped" for e in watcher.sock.events))
        assert stopper.sock.events == [{"type": "task_stopped", "message": "Task stopped", "session_id": "s1"}]
        assert [e for e in watcher.sock.events if e["type"] == "task_stopped"][0]["seq"] == streams._session_streams[
            "s1"
        ].seq
        await watcher.close(), await stopper.close()

    @pytest.mark.isolated
    async def test_a_stop_kept_in_the_journal_is_replayed_intact(self, streams, host, session):
        """Catches a stop event the journal keeps without owning it (freed, then replayed or collected)."""
        watcher, stopper = Window(streams), Window(streams)
        watcher.sock.feed({"type": "attach", "session_id": "s1"})
        stopper.sock.feed({"type": "stop_task", "session_id": "s1"})
        while not stopper.sock.events:
            await asyncio.sleep(0.01)
        await watcher.close(), await stopper.close()
        gc.collect()  # the journal is shown to the collector
        late = Window(streams)
        late.sock.feed({"type": "attach", "session_id": "s1", "after": 0})
        while not any(e["type"] == "attached" for e in late.sock.events):
            await asyncio.sleep(0.01)
        assert late.sock.events[0] == {
            "type": "task_stopped",
            "message": "Task stopped",
            "session_id": "s1",
            "seq": streams._session_streams["s1"].seq,
        }
        await late.close()

    async def test_running_covers_host_turns_and_a_closed_session_drops_its_stream(self, streams, host, session):
        w = await Window.open(streams)
        async with host.registry.sessions["s1"].lock:  # a turn the host runs holds the session's lock
            w.sock.feed({"type": "attach", "session_id": "s1"})
            await w.received("attached")
        assert w.sock.events[-1] == {
            "type": "attached",
            "session_id": "s1",
            "running": True,
            "seq": streams._session_streams["s1"].seq,
        }
        assert "s1" in streams._session_streams
        w.sock.feed({"type": "close_session", "session_id": "s1"})
        await w.received("session_closed")
        assert "s1" not in streams._session_streams
        await w.close()


async def test_with_the_switch_off_nothing_changes(ws_module, host, session, quiet_watchdog):
    agent, gate = session
    gate.set()
    a = await Window.open(ws_module)
    a.sock.feed({"type": "attach", "session_id": "s1"}, {"type": "chat", "session_id": "s1", "content": "go"})
    await a.received("done")
    assert a.sock.events[0] == {"type": "error", "message": "Unknown message type: attach"}
    assert all("seq" not in e for e in a.sock.events) and not ws_module._session_streams
    await a.close()


async def test_detached_sessions_do_not_pile_up(streams, host, quiet_watchdog, monkeypatch):
    monkeypatch.setattr(streams, "_DETACHED_GRACE_SECONDS", 0.1)
    for i in range(40):
        host.registry.add(FakeSession(f"p{i}", FakeAgent([FakeEvent("text", content="x" * 1000)] * 50)))
    for i in range(40):
        w = await Window.open(streams)
        w.sock.feed({"type": "chat", "session_id": f"p{i}", "content": "go"})
        await w.received("mode")
        await w.close()
    # The real timers: every one of them runs out.
    await until(lambda: not streams._session_streams and not streams._active_tasks)


class Held(FakeWebSocket):
    """Holds every send until `release()`. Released together, the latest completes first, as sends in
    flight together on one socket may; `most` is the most sends it ever had in flight."""

    def __init__(self):
        super().__init__()
        self.held: list[asyncio.Future] = []
        self.calls = self.in_flight = self.most = 0

    async def send_json(self, data):
        self.calls += 1
        self.in_flight += 1
        self.most = max(self.most, self.in_flight)
        fut = asyncio.get_running_loop().create_future()
        self.held.append(fut)
        try:
            await fut
        finally:
            self.in_flight -= 1
        await super().send_json(data)

    def release(self):
        held, self.held = self.held, []
        for fut in reversed(held):
            if not fut.done():
                fut.set_result(None)


def ns(sock):
    return [e["n"] for e in sock.events if e["type"] == "info"]


async def info(ws_module, n, **extra):
    await ws_module.manager.broadcast_to_session("s1", {"type": "info", "n": n, **extra})


class TestOneSendAtATime:
    @pytest.mark.parametrize("meanwhile", ["attach again", "detach and attach", "a reply"])
    async def test_nothing_else_sends_while_the_writer_finishes_a_send(self, streams, host, session, meanwhile):
        # catches: a second send in flight on one socket (an attach, a connection attached anew, a
        # reply), which a socket may complete out of order: events out of order and twice
        sock = Held()
        w = Window(streams, sock)
        await until(lambda: sock in streams.manager._connections)
        await info(streams, -1)  # before the window attaches
        stream = streams._session_streams["s1"]
        stream.attach(sock)
        for n in range(3):
            await info(streams, n)  # 0 in flight, 1 and 2 waiting
        if meanwhile == "attach again":
            sock.feed({"type": "attach", "session_id": "s1", "after": stream.first_seq})
        elif meanwhile == "detach and attach":
            stream.detach(sock)  # 1 and 2 are no longer for it; 0 is on its way
            stream.attach(sock)
        else:
            sock.feed({"type": "ping"})
        for n in range(3, 6):
            await asyncio.sleep(0)
            await info(streams, n)
        expected = {"attach again": "attached", "detach and attach": "info", "a reply": "pong"}[meanwhile]
        await until_stepping(lambda: 5 in ns(sock) and expected in [e["type"] for e in sock.events], step=sock.release)
        assert sock.most == 1
        got = ns(sock)
        assert got == ([0, 3, 4, 5] if meanwhile == "detach and attach" else [0, 1, 2, 3, 4, 5])
        await w.close()


class TestSocketsThatMeddle:
    @pytest.mark.parametrize("how", ["detaches itself", "sends again, and that fails"])
    async def test_a_send_that_detaches_its_own_connection_and_then_suspends(self, streams, host, session, how):
        # catches: delivery writing into the connection its own send freed (heap-use-after-free)
        stream = streams.SessionStream("s1")

        class Meddling(FakeWebSocket):
            async def send_json(self, data):
                if data.get("n") == 0:
                    if how == "detaches itself":
                        stream.detach(self)
                    else:
                        stream.send_json({"type": "info", "n": 1})  # to this socket too, where it fails
                    await asyncio.sleep(0)
                elif data.get("n") == 1:
                    raise RuntimeError("socket closed")
                await super().send_json(data)

        meddling, other = Meddling(), FakeWebSocket()
        stream.attach(meddling)
        stream.attach(other)
        stream.send_json({"type": "info", "n": 0})
        await until(lambda: stream.attached == [other] and meddling.sent)
        stream.send_json({"type": "info", "n": 2})
        assert [e["n"] for e in meddling.events] == [0]
        assert [e["n"] for e in other.events] == ([0, 2] if how == "detaches itself" else [0, 1, 2])


class TestBoundedQueue:
    @pytest.mark.parametrize("bound", ["events", "bytes"])
    async def test_a_client_behind_the_journal_is_let_go_and_comes_back_for_the_rest(
        self, streams, host, session, monkeypatch, gateway_log, bound
    ):
        # catches: a client that reads slowly, never slowly enough for a send to time out, piling up
        # every event of the session in its queue
        monkeypatch.setattr(streams, "_SEND_TIMEOUT_SECONDS", None)  # only the queue can let it go
        pad = "x" * 1000  # an event is then estimated at a little over 1,000 bytes
        if bound == "events":
            monkeypatch.setattr(streams, "_STREAM_RETAIN_EVENTS", 8)
            most_allowed = 8
        else:
            monkeypatch.setattr(streams, "_STREAM_RETAIN_BYTES", 8_000)
            most_allowed = 7
        sock = Held()
        w = Window(streams, sock)
        await until(lambda: sock in streams.manager._connections)
        await info(streams, -1, pad=pad)
        stream = streams._session_streams["s1"]
        stream.attach(sock)
        delivered = most = 0
        for n in range(60):
            await info(streams, n, pad=pad)
            if sock not in stream.attached:
                break
            delivered += 1
            most = max(most, delivered - sock.calls)  # waiting in its outbox, behind the send in flight
            if n % 2:  # it reads one event for every two the session makes
                sent = len(sock.sent)
                sock.release()
                await until(lambda: len(sock.sent) > sent)
        assert sock not in stream.attached and 0 < most <= most_allowed
        await until_stepping(lambda: sock.closed == (1013, "Client too slow"), step=sock.release)
        assert any("more events wait for it (session 's1')" in r.getMessage() for r in gateway_log.records)
        last = ns(sock)[-1]
        # It comes back with the last number it got.
        back = Window(streams)
        await until(lambda: back.sock in streams.manager._connections)
        back.sock.feed({"type": "attach", "session_id": "s1", "after": sock.events[-1]["seq"]})
        await until(lambda: back.sock.events and back.sock.events[-1]["type"] == "attached")
        replayed = ns(back.sock)
        assert replayed == list(range(replayed[0], n + 1))  # the rest, each once, in order
        if back.sock.events[0]["type"] == "replay_gap":
            assert replayed[0] > last + 1 and back.sock.events[0]["first_seq"] == stream.first_seq
        else:
            assert replayed[0] == last + 1
        await w.close(), await back.close()

    async def test_broadcasts_behind_a_send_that_does_not_complete_are_bounded_too(
        self, streams, host, session, monkeypatch, gateway_log
    ):
        # catches: fair broadcasts piling up without bound in the outbox of a socket whose send hangs
        monkeypatch.setattr(streams, "_FAIR_BROADCAST", True)
        monkeypatch.setattr(streams, "_SEND_TIMEOUT_SECONDS", None)
        monkeypatch.setattr(streams, "_STREAM_RETAIN_EVENTS", 4)
        sock = Held()
        w = Window(streams, sock)
        await until(lambda: sock in streams.manager._connections)
        await info(streams, 0)
        streams._session_streams["s1"].attach(sock)
        await info(streams, 1)  # in flight, and it stays so
        for i in range(6):
            await streams.manager.broadcast({"type": "note", "i": i})  # never waits for this socket
        await until(lambda: sock.closed == (1013, "Client too slow"))
        assert any("more events wait for it (broadcast)" in r.getMessage() for r in gateway_log.records)
        await until_stepping(lambda: sock.events, step=sock.release)
        await until_stepping(lambda: sock.in_flight == 0, step=sock.release)
        # The five waiting when it was let go were dropped, and nothing more was queued for it.
        assert [e.get("i") for e in sock.events] == [None]
        await w.close()


class TestFairAndBounded:
    async def test_a_long_replay_leaves_room_for_other_clients(self, streams, host, session, monkeypatch):
        # catches: a replay whose sends all complete at once holding the event loop until it is over
        monkeypatch.setattr(streams, "_STREAM_RETAIN_EVENTS", None)
        stream = streams.SessionStream("s1")
        streams._session_streams["s1"] = stream
        for i in range(2000):
            stream.send_json({"type": "text", "content": str(i), "session_id": "s1"})
        w = await Window.open(streams)
        before = len(w.sock.sent)
        seen_meanwhile = []

        # The waits count frames and decode them only once all can be there: decoding every frame on
        # every pass of the loop made the watching cost grow with the square of the replay's length.
        async def other_client():
            await until(lambda: len(w.sock.sent) > before)
            seen_meanwhile.append(len(w.sock.sent) - before)

        probe = asyncio.create_task(other_client())
        w.sock.feed(*[{"type": "attach", "session_id": "s1", "after": 0}] * 100, {"type": "ping"})
        await until(
            lambda: (
                len(w.sock.sent) >= before + 2002  # the replay, "attached" and "pong"
                and len(w.seqs()) >= 2000
                and "attached" in w.types()
                and "pong" in w.types()
            )
        )
        await probe
        assert 0 < seen_meanwhile[0] < 2000  # it ran while the replay was under way
        # One replay, whole, each event once: an attach during it goes on from where it has got to.
        assert w.seqs() == list(range(stream.first_seq, stream.seq + 1))
        assert [e for e in w.sock.events if e["type"] == "attached"][-1]["seq"] == stream.seq
        await w.close()

    @pytest.mark.parametrize("char, size", [("a", 1), ("\u00e9", 2), ("\u20ac", 3), ("\U0001f600", 4)])
    async def test_the_journal_bound_counts_utf8_bytes(self, streams, monkeypatch, char, size):
        # catches: a byte bound that counts characters, letting four-byte text keep four times as much
        monkeypatch.setattr(streams, "_STREAM_RETAIN_BYTES", 40_000)
        stream = streams.SessionStream("s1")
        for _ in range(100):
            stream.send_json({"type": "text", "content": char * 1000})
        kept = stream.seq - stream.first_seq + 1
        assert kept * size * 1000 <= 40_000 < (kept + 1) * (size * 1000 + 100)

    async def test_chats_to_unknown_sessions_leave_no_stream_and_end_with_their_window(
        self, streams, host, session, quiet_watchdog
    ):
        # catches: a stream kept for every id a client makes up, and unwatchable turns left running
        agent, gate = session
        host.state["agent"] = agent  # the fallback agent; it waits at the gate, the turns queue behind it
        w = await Window.open(streams)
        for i in range(10):
            w.sock.feed({"type": "chat", "session_id": f"made-up-{i}", "content": "go"})
        await until(lambda: len(streams._active_tasks) == 10)
        await w.received("mode")
        assert "seq" in w.sock.events[0] and list(streams._session_streams) == []
        tasks = list(streams._active_tasks.values())
        await w.close()
        await until(lambda: all(t.done() for t in tasks) and not streams._active_tasks)
        assert all(t.cancelled() for t in tasks)


@pytest.mark.parametrize("streams_on", [False, True], ids=["streams off", "streams on"])
async def test_a_connection_has_a_bounded_number_of_chats_under_way(
    ws_module, host, session, monkeypatch, quiet_watchdog, streams_on
):
    # catches: one client piling up chat tasks (each holding its message) behind a busy agent
    monkeypatch.setattr(ws_module, "_SESSION_STREAMS", streams_on)
    monkeypatch.setattr(ws_module, "_MAX_PENDING_CHATS", 4)
    agent, gate = session
    host.state["agent"] = agent
    w = await Window.open(ws_module)
    for i in range(6):
        w.sock.feed({"type": "chat", "session_id": f"u{i}", "content": "x" * 1000})
    await until(lambda: w.types().count("error") == 2)
    assert [e for e in w.sock.events if e["type"] == "error"] == [
        {
            "type": "error",
            "message": "Too many chats under way on this connection; wait for one to end",
            "session_id": f"u{i}",
        }
        for i in (4, 5)
    ]
    assert sorted(ws_module._active_tasks) == ["u0", "u1", "u2", "u3"]
    gate.set()
    await until(lambda: not ws_module._active_tasks)
    w.sock.feed({"type": "chat", "session_id": "u4", "content": "again"})  # room again
    await until(lambda: w.types().count("done") == 5)
    await w.close()
    ws_module._session_streams.clear()
