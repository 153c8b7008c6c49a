"""Faults in the middle of a standard chat turn, driven through the real endpoint.

Every await of a turn (the banner, the store, the lock, each agent step, each send) is a point where
the turn can be cancelled, a send can fail or the agent can raise. After each, the session must be
usable again: its lock free, the watchdog done, no finished task left registered, the other client
still served, and nothing reported to the event loop's exception handler. A broadcast's send that
does not complete at once is no await point of the turn: it is finished in its client's own writer.
"""

from __future__ import annotations

import asyncio
import gc
import logging

import pytest

from fakes import FakeEvent, FakeSession, LoopErrors, Tripwire, WiredAgent, WiredMemory, WiredSocket
from fakes import until as eventually

AGENT_TYPES = ["thinking", "tool_approval_needed", "text", "done"]
# What a client that runs a whole turn receives, leaving out the one-off renames of the tab.
FULL_TURN = ["mode", "thinking", "tool_approval_needed", "tool_approval_needed", "text", "done"]


def agent_events():
    return [
        FakeEvent("thinking", message="m"),
        FakeEvent("tool_approval_needed", approval_id="a1", tool="click"),
        FakeEvent("text", content="t"),
        FakeEvent("done"),
    ]


async def until(condition, rounds: int = 5000) -> None:
    """Run the loop until `condition()` holds (bounded in rounds, never in time)."""
    for _ in range(rounds):
        if condition():
            return
        await asyncio.sleep(0)
    assert condition(), "condition not reached"


def doubled(types: list[str]) -> list[str]:
    """What the requester receives for these agent events: approval requests come twice, directly
    and as the broadcast copy."""
    return [t for e in types for t in ([e, e] if e == "tool_approval_needed" else [e])]


def types_of(sock, start: int = 0) -> list[str]:
    return [e["type"] for e in sock.events[start:] if e["type"] not in ("session_renamed", "conversation_renamed")]


class Rig:
    """Two clients connected through the endpoint: the requester runs turns of session "s1", the
    observer watches the broadcasts. Every task the gateway creates is recorded."""

    def __init__(self, ws_module, host, monkeypatch, wire: Tripwire, **socket_kw):
        self.ws = ws_module
        self.wire = wire
        self.tasks: list[asyncio.Task] = []
        real = asyncio.create_task

        def spy(coro, *, name=None, **kw):
            task = real(coro, name=name, **kw)
            self.tasks.append(task)
            return task

        monkeypatch.setattr(asyncio, "create_task", spy)
        self.create_task = real
        self.agent = WiredAgent(wire, agent_events(), **socket_kw.pop("agent_kw", {}))
        self.session = host.registry.add(FakeSession("s1", self.agent, display_name="New Chat"))
        host.state["memory"] = WiredMemory(wire)
        self.requester = WiredSocket("req", wire, **socket_kw.pop("req_kw", {}))
        self.observer = WiredSocket("obs", wire, **socket_kw.pop("obs_kw", {}))
        self.endpoints: dict[WiredSocket, asyncio.Task] = {}

    async def connect(self) -> None:
        endpoint = self.ws.create_ws_router().routes[0].endpoint
        for sock in (self.requester, self.observer):
            self.endpoints[sock] = self.create_task(endpoint(ws=sock))
            await until(lambda: sock in self.ws.manager._connections)

    def chat(self, sock, text="Open my mail and summarise it") -> None:
        sock.feed({"type": "chat", "content": text, "session_id": "s1"})

    @property
    def watchdogs(self) -> list[asyncio.Task]:
        return [t for t in self.tasks if t.get_name().startswith("watchdog-")]

    @property
    def chats(self) -> list[asyncio.Task]:
        return [t for t in self.tasks if t.get_name().startswith("chat-")]

    def quiet(self) -> bool:
        return all(t.done() for t in self.tasks) and not self.ws._active_tasks

    async def ping(self, sock) -> None:
        before = len(sock.sent)
        sock.feed({"type": "ping"})
        await until(lambda: len(sock.sent) > before)
        assert sock.events[-1] == {"type": "pong"}

    async def close(self) -> None:
        for sock in self.endpoints:
            if not sock.hung_up:
                sock.hang_up()
        await asyncio.gather(*self.endpoints.values())

    def assert_sound(self) -> None:
        """The session and the gateway are as if no turn had ever run."""
        assert not self.session.lock.locked()
        assert self.watchdogs and all(t.done() for t in self.watchdogs)
        assert not any(t.done() for t in self.ws._active_tasks.values())


@pytest.fixture
async def loop_errors():
    with LoopErrors(asyncio.get_running_loop()) as errors:
        yield errors


async def collected(loop_errors) -> list[str]:
    # Unretrieved task exceptions are reported when the task is collected.
    gc.collect()
    await asyncio.sleep(0)
    return loop_errors.messages


async def baseline(ws_module, host, monkeypatch):
    """A turn without any fault: the passage of every await point, and what the observer gets."""
    wire = Tripwire()
    rig = Rig(ws_module, host, monkeypatch, wire)
    await rig.connect()
    rig.chat(rig.requester)
    await until(lambda: rig.chats and rig.quiet())
    await rig.close()
    return wire.trace, [e["type"] for e in rig.observer.events]


# Each await point of a turn, named by the tripwire: (point, n-th passage).
CUT_POINTS = [
    ("req:mode", 1),  # the banner
    ("store:rename", 1),  # the conversation store
    ("lock", 1),  # waiting for the session lock
    ("agent:step", 1),
    ("agent:step", 2),
    ("agent:step", 3),
    ("agent:step", 4),
    ("agent:step", 5),
    ("req:thinking", 1),
    ("req:tool_approval_needed", 1),  # the direct send of an approval request
    ("req:text", 1),
    ("req:done", 1),
]
# A broadcast's send held at one client, in the turn's order.
BROADCAST_POINTS = [
    ("req:session_renamed", 1),  # rename broadcast, at the first client
    ("obs:session_renamed", 1),  # rename broadcast, at the second
    ("obs:conversation_renamed", 1),  # the conversation rename broadcast
    ("req:tool_approval_needed", 2),  # the approval's broadcast copy, at the requester
    ("obs:tool_approval_needed", 1),  # its broadcast copy, at the observer
]


async def test_baseline_passes_every_cut_point(ws_module, host, monkeypatch, loop_errors):
    trace, observed = await baseline(ws_module, host, monkeypatch)
    for point in CUT_POINTS + BROADCAST_POINTS:
        assert point == ("lock", 1) or point in trace, point
    assert observed == ["session_renamed", "conversation_renamed", "tool_approval_needed"]
    assert await collected(loop_errors) == []


@pytest.mark.parametrize("how", ["stop_task", "newer chat", "hang up"])
@pytest.mark.parametrize("point", CUT_POINTS, ids=lambda p: f"{p[0]}#{p[1]}")
async def test_cancel_at_every_await_point(ws_module, host, monkeypatch, gateway_log, loop_errors, point, how):
    _, observed_in_full = await baseline(ws_module, host, monkeypatch)
    host.registry.sessions.clear()
    ws_module._active_tasks.clear()
    wire = Tripwire(None if point[0] == "lock" else point)
    rig = Rig(ws_module, host, monkeypatch, wire)
    await rig.connect()
    if point[0] == "lock":
        await rig.session.lock.acquire()  # another turn holds the session
    rig.chat(rig.requester)
    await until(lambda: "s1" in ws_module._active_tasks)
    first = ws_module._active_tasks["s1"]
    if point[0] == "lock":
        await until(lambda: rig.session.lock._waiters and len(rig.session.lock._waiters) == 1)
    else:
        await until(wire.reached.is_set)
    observed_before = len(rig.observer.sent)

    if how == "stop_task":
        rig.requester.feed({"type": "stop_task", "session_id": "s1"})
    elif how == "newer chat":
        rig.chat(rig.requester, "and then reply")
    else:
        rig.requester.hang_up()
    await until(first.done)
    if point[0] == "lock":
        rig.session.lock.release()
    await until(rig.quiet)

    assert first.cancelled()
    assert not rig.session.lock.locked() and all(t.done() for t in rig.watchdogs)
    assert ws_module._active_tasks == {}
    # The observer got every broadcast completed before the cut, in order, and nothing else.
    assert [e["type"] for e in rig.observer.events[:observed_before]] == observed_in_full[:observed_before]

    # The session is usable again and both clients are still served.
    if how == "newer chat":
        assert types_of(rig.requester)[-len(FULL_TURN) :] == FULL_TURN
        assert types_of(rig.observer, observed_before) == ["tool_approval_needed"]
    else:
        requester_before = len(rig.requester.sent)
        rig.chat(rig.observer, "again")
        await until(lambda: len(rig.chats) == 2 and rig.quiet())
        assert types_of(rig.observer, observed_before) == FULL_TURN
        if how == "stop_task":
            assert types_of(rig.requester, requester_before) == ["tool_approval_needed"]
    rig.assert_sound()
    live = [s for s in (rig.requester, rig.observer) if not s.hung_up]
    assert ws_module.manager._connections == live
    for sock in live:
        await rig.ping(sock)
    await rig.close()
    assert [r for r in gateway_log.records if r.levelno >= logging.ERROR] == []
    assert await collected(loop_errors) == []


REQUESTER_SENDS = [
    ("mode", 1),
    ("session_renamed", 1),
    ("conversation_renamed", 1),
    ("thinking", 1),
    ("tool_approval_needed", 1),
    ("tool_approval_needed", 2),
    ("text", 1),
    ("done", 1),
]


@pytest.mark.parametrize("fail_on", REQUESTER_SENDS, ids=lambda p: f"{p[0]}#{p[1]}")
async def test_each_send_to_the_requester_failing(ws_module, host, monkeypatch, gateway_log, loop_errors, fail_on):
    rig = Rig(ws_module, host, monkeypatch, Tripwire(), req_kw={"fail_on": fail_on})
    await rig.connect()
    rig.chat(rig.requester)
    await until(lambda: rig.chats and rig.quiet())
    chat = rig.chats[0]
    warnings = [r.getMessage() for r in gateway_log.records if r.levelno == logging.WARNING]
    got = [e["type"] for e in rig.requester.events]

    if fail_on == ("mode", 1):
        # A banner that cannot be sent ends the chat task with that error before the turn starts.
        assert isinstance(chat.exception(), RuntimeError)
        assert got == [] and rig.watchdogs == [] and rig.agent.calls == []
        assert rig.observer.events == []
    elif fail_on[0] in ("session_renamed", "conversation_renamed") or fail_on == ("tool_approval_needed", 2):
        # A failed broadcast send drops the requester from the broadcasts only; the turn goes on and its
        # own events still reach it directly.
        assert chat.exception() is None
        assert rig.requester not in ws_module.manager._connections
        assert [t for t in got if t in AGENT_TYPES] == AGENT_TYPES
        assert [e["type"] for e in rig.observer.events] == [
            "session_renamed",
            "conversation_renamed",
            "tool_approval_needed",
        ]
        assert warnings == []
        rig.assert_sound()
    else:
        # A failed event send: one warning, nothing more to that client, no error event, the agent runs on.
        assert chat.exception() is None
        index = AGENT_TYPES.index(fail_on[0])
        assert [t for t in got if t in AGENT_TYPES] == doubled(AGENT_TYPES[:index])
        assert "error" not in got
        assert warnings == [
            'Client disconnected during processing [s1]: Cannot call "send" once a close message has been sent.'
        ]
        assert rig.agent.is_processing is False and rig.agent.cancelled == 0
        approvals = [e for e in rig.observer.events if e["type"] == "tool_approval_needed"]
        assert len(approvals) == (1 if index > 1 else 0)
        rig.assert_sound()
    await rig.ping(rig.observer)
    await rig.ping(rig.requester)  # its receive loop was never disturbed
    await rig.close()
    assert [r for r in gateway_log.records if r.levelno >= logging.ERROR] == []
    # (The banner case's task error was retrieved above; unretrieved, the loop would report it.)
    assert await collected(loop_errors) == []


@pytest.mark.parametrize(
    "fail_on", [("session_renamed", 1), ("conversation_renamed", 1), ("tool_approval_needed", 1)], ids=lambda p: p[0]
)
async def test_a_bystander_whose_send_fails_mid_broadcast(
    ws_module, host, monkeypatch, gateway_log, loop_errors, fail_on
):
    rig = Rig(ws_module, host, monkeypatch, Tripwire(), obs_kw={"fail_on": fail_on})
    third = WiredSocket("third", rig.wire)
    await rig.connect()
    rig.endpoints[third] = rig.create_task(ws_module.create_ws_router().routes[0].endpoint(ws=third))
    await until(lambda: third in ws_module.manager._connections)
    rig.chat(rig.requester)
    await until(lambda: rig.chats and rig.quiet())

    assert ws_module.manager._connections == [rig.requester, third]
    assert types_of(rig.requester) == FULL_TURN
    assert [e["type"] for e in third.events] == ["session_renamed", "conversation_renamed", "tool_approval_needed"]
    rig.assert_sound()
    await rig.ping(rig.observer)  # dropped from broadcasts, still served by its endpoint
    await rig.close()
    assert [r for r in gateway_log.records if r.levelno >= logging.WARNING] == []
    assert await collected(loop_errors) == []


@pytest.mark.parametrize("raise_after", range(5))
async def test_agent_raising_at_each_step(ws_module, host, monkeypatch, gateway_log, loop_errors, raise_after):
    rig = Rig(ws_module, host, monkeypatch, Tripwire(), agent_kw={"raise_after": raise_after})
    await rig.connect()
    rig.chat(rig.requester)
    await until(lambda: rig.chats and rig.quiet())

    assert rig.chats[0].exception() is None
    sent = AGENT_TYPES[:raise_after]
    expected = ["mode"] + doubled(sent) + ["error"]
    assert types_of(rig.requester) == expected
    assert types_of(rig.observer) == (["tool_approval_needed"] if raise_after > 1 else [])
    assert rig.requester.events[-1] == {"type": "error", "message": "Agent error: model exploded", "session_id": "s1"}
    errors = [r for r in gateway_log.records if r.levelno >= logging.ERROR]
    assert [r.getMessage() for r in errors] == ["Standard agent error [s1]"] and errors[0].exc_info
    rig.assert_sound()
    await rig.ping(rig.requester)
    await rig.close()
    assert await collected(loop_errors) == []


@pytest.mark.parametrize("point", BROADCAST_POINTS, ids=lambda p: f"{p[0]}#{p[1]}")
async def test_a_broadcast_held_at_one_client_holds_up_nobody_else(
    ws_module, host, monkeypatch, gateway_log, loop_errors, point
):
    """With the fair broadcast, the turn runs to its end past the held send; a client that hung up
    meanwhile is pruned by the next broadcast and one that joined gets it; the held client alone waits,
    and is let go at the bound."""
    monkeypatch.setattr(ws_module, "_FAIR_BROADCAST", True)
    monkeypatch.setattr(ws_module, "_SEND_TIMEOUT_SECONDS", 0.05)
    wire = Tripwire(point)
    rig = Rig(ws_module, host, monkeypatch, wire)
    third = WiredSocket("third", wire, fail_after_hang_up=True)
    endpoint = ws_module.create_ws_router().routes[0].endpoint
    await rig.connect()
    rig.endpoints[third] = rig.create_task(endpoint(ws=third))
    await until(lambda: third in ws_module.manager._connections)
    rig.chat(rig.requester)
    await until(wire.reached.is_set)
    held = rig.requester if point[0].startswith("req:") else rig.observer
    other = rig.observer if held is rig.requester else rig.requester
    third.hang_up()
    # A held requester holds the turn's own events too, until the bound lets it go: a timer, not rounds.
    await eventually(lambda: rig.chats[0].done())
    assert not rig.chats[0].cancelled() and rig.chats[0].exception() is None
    assert types_of(other)[-1:] == ["done" if other is rig.requester else "tool_approval_needed"]
    await eventually(lambda: held.closed == (1013, "Client too slow"))  # at the bound, in time
    await until(lambda: ws_module.manager._connections == [other])
    assert [r.getMessage() for r in gateway_log.records if r.levelno == logging.WARNING] == [
        "Client too slow \u2014 a send (broadcast) did not complete within 0.05 s; closing its connection"
    ]
    # A held requester also holds the turn's own events to it, which come after the broadcast made before
    # them: the turn ends around the bound, and its watchdog's cancellation has to run its course.
    await eventually(rig.quiet)
    rig.assert_sound()
    await rig.ping(other)
    await rig.close()
    assert await collected(loop_errors) == []


async def test_cancel_while_the_watchdogs_warning_is_held(ws_module, host, monkeypatch, gateway_log, loop_errors):
    """A watchdog polling at once warns mid-turn; with the fair broadcast, its broadcast held at the
    observer holds neither it nor the turn: stopping the turn ends the watchdog too, and the session is
    sound."""
    monkeypatch.setattr(ws_module, "_FAIR_BROADCAST", True)
    monkeypatch.setattr(ws_module, "_SEND_TIMEOUT_SECONDS", 0.05)
    real_watchdog = ws_module._watchdog
    monkeypatch.setattr(ws_module, "_watchdog", lambda agent, sid: real_watchdog(agent, sid, 0))
    wire = Tripwire(("obs:stall_warning", 1))
    rig = Rig(ws_module, host, monkeypatch, wire)
    rig.agent.seconds_since_activity = 90.0
    rig.agent.events.insert(0, FakeEvent("thinking", message="slow"))
    await rig.connect()
    rig.chat(rig.requester)
    await until(wire.reached.is_set)
    rig.requester.feed({"type": "stop_task", "session_id": "s1"})
    await eventually(rig.quiet)  # the held writer, at the bound
    assert rig.watchdogs[0].cancelled()
    assert [e["type"] for e in rig.requester.events if e["type"] == "stall_warning"] == ["stall_warning"]
    assert rig.observer.closed == (1013, "Client too slow")
    rig.assert_sound()
    await rig.ping(rig.requester)
    await rig.close()
    assert [r for r in gateway_log.records if r.levelno >= logging.ERROR] == []
    assert await collected(loop_errors) == []
