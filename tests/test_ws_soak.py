"""Soak: thousands of connections and turns through the endpoint, with every kind of ending mixed in
(normal, agent failure, stop, replacement by a newer message, client gone mid-turn, failing sends,
approvals, malformed frames). Afterwards nothing is left behind and memory has not grown."""

from __future__ import annotations

import asyncio
import collections
import gc
import logging
import os
import sys

import pytest

from fakes import FakeAgent, FakeEvent, FakeGuardrails, FakeSession, FakeWebSocket


class Sink(FakeWebSocket):
    """Counts what it is sent by type (a bounded record), and can start failing after some sends."""

    def __init__(self, fail_after: int | None = None):
        super().__init__()
        self.kinds: collections.Counter[str] = collections.Counter()
        self.fail_after = fail_after

    async def send_json(self, data):
        if self.fail_after is not None and sum(self.kinds.values()) >= self.fail_after:
            raise RuntimeError('Cannot call "send" once a close message has been sent.')
        self.kinds[data["type"]] += 1


@pytest.fixture(autouse=True)
def quiet(caplog):
    # Captured records would themselves grow over thousands of failing turns.
    caplog.set_level(logging.CRITICAL, logger="tavrin.ws")


def resident_kib() -> int:
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * 4


def live() -> tuple[int, int]:
    gc.collect()
    return len(gc.get_objects()), sys.getallocatedblocks()


async def drain(background: int, rounds: int = 10_000) -> None:
    """Runs the loop until only `background` tasks are left (bounded in rounds)."""
    for _ in range(rounds):
        if len(asyncio.all_tasks()) <= background:
            return
        await asyncio.sleep(0)
    raise AssertionError(f"tasks left running: {asyncio.all_tasks()}")


EVENTS = [
    FakeEvent("thinking", message="m"),
    FakeEvent("tool_approval_needed", approval_id="a"),
    FakeEvent("text", content="t"),
    FakeEvent("done"),
]


async def test_soak_mixed_connections_and_turns(ws_module, host):
    endpoint = ws_module.create_ws_router().routes[0].endpoint
    never = asyncio.Event()  # the gate of agents that stall until they are stopped
    agents = {
        "ok": FakeAgent(EVENTS),
        "raises": FakeAgent(EVENTS, raise_after=2),
        "stalls": FakeAgent(EVENTS, gate=never),
    }
    for name, agent in agents.items():
        host.registry.add(FakeSession(name, agent, display_name="Work"))
    host.registry.add(FakeSession("titled", FakeAgent(EVENTS), display_name="New Chat"))
    host.state["guardrails"] = guardrails = FakeGuardrails()

    bystander = Sink()
    by_task = asyncio.create_task(endpoint(ws=bystander))
    await asyncio.sleep(0)
    background = len(asyncio.all_tasks())

    def chat(session, text="hello"):
        return {"type": "chat", "content": text, "session_id": session}

    scripts = [
        [chat("ok"), {"type": "approve", "approval_id": "a", "approved": True}, {"type": "ping"}],
        [chat("raises")],
        [chat("stalls"), {"type": "stop_task", "session_id": "stalls"}],
        [chat("stalls"), chat("stalls", "instead"), {"type": "stop_task", "session_id": "stalls"}],
        [chat("stalls")],  # the client leaves mid-turn
        [chat("ok"), {"type": "list_sessions"}],  # sent to a client whose sends start failing
        [chat("titled", "first words"), {"type": "nope"}, "{not json"],  # the last frame ends the loop
    ]

    async def cycles(n: int) -> None:
        for i in range(n):
            script = scripts[i % len(scripts)]
            sock = Sink(fail_after=2 if i % len(scripts) == 5 else None)
            malformed = script[-1] == "{not json"
            sock.feed(*(script[:-1] if malformed else script))
            task = asyncio.create_task(endpoint(ws=sock))
            # Let the turns run (or stall), then leave; stalled turns are cancelled by the endpoint.
            for _ in range(30):
                await asyncio.sleep(0)
            if malformed:
                sock.feed(script[-1])
            else:
                sock.hang_up()
            await task
            await drain(background)
            host.registry.get("titled").display_name = "New Chat"
            for session in host.registry.sessions.values():
                session.agent.calls.clear()  # the fakes' own records are not the gateway's
            guardrails.calls.clear()

    await cycles(350)  # warm caches and free lists
    objects, blocks = live()
    rss = resident_kib()
    before = collections.Counter(bystander.kinds)
    turns = 14_000
    await cycles(turns)
    objects_after, blocks_after = live()
    rss_after = resident_kib()

    assert ws_module.manager._connections == [bystander]
    assert ws_module._active_tasks == {}
    assert not any(s.lock.locked() for s in host.registry.sessions.values())
    per_script = turns // len(scripts)
    got = bystander.kinds - before
    # One approval copy per turn that got past its first event with its client still there: the "ok",
    # "raises" and "titled" turns.
    assert got["tool_approval_needed"] == 3 * per_script
    assert got["session_renamed"] == per_script
    assert objects_after - objects < 300, (objects, objects_after)
    assert blocks_after - blocks < 3_000, (blocks, blocks_after)
    if not os.environ.get("TAVRIN_SANITIZED"):  # AddressSanitizer's quarantine keeps freed memory resident
        assert rss_after - rss < 4_096, (rss, rss_after)  # KiB; allocator noise, not per-turn growth
    bystander.hang_up()
    await by_task
