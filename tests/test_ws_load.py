"""Load through a real uvicorn server on 127.0.0.1: fifty clients chatting at once while two more are
turned away, and connection cycles with memory flat.

The run lasts TAVRIN_LOAD_SECONDS (a few seconds in the normal suite; `make test-load` runs 30),
bounded in turns as well; the duration only bounds the run and is never asserted. Run with -s to
see the figures.
"""

from __future__ import annotations

import asyncio
import gc
import json
import logging
import os
import sys

import websockets

from fakes import FakeEvent, FakeSession, until

CLIENTS = 50
MAX_TURNS = 100_000  # per client; the run also stops at the deadline
SECONDS = float(os.environ.get("TAVRIN_LOAD_SECONDS", "4"))
GUARD = 30  # seconds a single receive may take before the run is declared stuck


class LoadAgent:
    """A standard agent that yields one numbered event of each kind per turn and keeps no record."""

    KINDS = ["thinking", "tool_call", "tool_approval_needed", "tool_result", "text", "done"]
    APPROVAL = KINDS.index("tool_approval_needed")

    def __init__(self):
        self.turns = 0
        self.is_processing = False
        self.seconds_since_activity = 0.0

    async def process_message(self, user_text, attachments=None):
        turn = self.turns
        self.turns += 1
        self.is_processing = True
        try:
            for seq, kind in enumerate(self.KINDS):
                yield FakeEvent(kind, turn=turn, seq=seq)
        finally:
            self.is_processing = False

    def cancel(self):
        pass


class Client:
    """One chatting client. It reads every frame and checks the order as it goes: its own turns as
    mode, events 0..5 with the approval request twice (directly, then as the broadcast copy); every
    other session's approval copies with turn numbers 0, 1, 2, ... without a gap."""

    def __init__(self, index: int):
        self.sid = f"load-{index}"
        self.turns = 0
        self.expected: list[tuple[str, int | None]] = []  # the rest of the current own turn
        self.turn_done = asyncio.Event()
        self.next_turn_of: dict[str, int] = {}
        self.faults: list[str] = []
        self.frames = 0
        self.marker = asyncio.Event()

    def own_turn(self) -> list[tuple[str, int | None]]:
        seqs = list(range(len(LoadAgent.KINDS)))
        seqs.insert(LoadAgent.APPROVAL + 1, LoadAgent.APPROVAL)
        return [("mode", None)] + [(LoadAgent.KINDS[s], s) for s in seqs]

    def receive(self, event: dict) -> None:
        self.frames += 1
        kind, sid = event.get("type"), event.get("session_id")
        if kind == "marker":
            self.marker.set()
        elif sid == self.sid:
            if not self.expected or self.expected[0] != (kind, event.get("seq")):
                self.faults.append(f"{self.sid}: got {kind}/{event.get('seq')}, expected {self.expected[:1]}")
                return
            if kind != "mode" and event.get("turn") != self.turns:
                self.faults.append(f"{self.sid}: event of turn {event.get('turn')} during turn {self.turns}")
            self.expected.pop(0)
            if not self.expected:
                self.turns += 1
                self.turn_done.set()
        elif kind == "tool_approval_needed":
            want = self.next_turn_of.get(sid, 0)
            if event.get("turn") != want:
                self.faults.append(f"{self.sid}: approval of {sid} turn {event.get('turn')}, expected {want}")
            self.next_turn_of[sid] = event.get("turn", want) + 1
        else:
            self.faults.append(f"{self.sid}: unexpected {event}")

    async def read(self, conn) -> None:
        while not self.marker.is_set():
            self.receive(json.loads(await asyncio.wait_for(conn.recv(), GUARD)))

    async def chat(self, conn, start: asyncio.Event, deadline: float) -> None:
        await start.wait()
        loop = asyncio.get_running_loop()
        # One turn at least, however late this task starts on a busy machine.
        while self.turns == 0 or (loop.time() < deadline and self.turns < MAX_TURNS):
            self.expected = self.own_turn()
            self.turn_done.clear()
            await conn.send(json.dumps({"type": "chat", "content": f"turn {self.turns}", "session_id": self.sid}))
            await asyncio.wait_for(self.turn_done.wait(), GUARD)


async def refused(url: str) -> int | None:
    """Connects and returns the close code the server sends at once (None if it kept the connection)."""
    async with websockets.connect(url) as conn:
        try:
            await asyncio.wait_for(conn.recv(), GUARD)
        except websockets.ConnectionClosed as closed:
            return closed.rcvd.code if closed.rcvd else None
    return None


async def test_fifty_clients_chat_while_two_more_are_refused(server, host, ws_module, caplog):
    caplog.set_level(logging.WARNING)
    for i in range(CLIENTS):
        host.registry.add(FakeSession(f"load-{i}", LoadAgent()))
    clients = [Client(i) for i in range(CLIENTS)]
    start = asyncio.Event()
    loop = asyncio.get_running_loop()

    conns = [await websockets.connect(server, max_queue=None) for _ in clients]
    try:
        # Every client is admitted before anyone chats, so every broadcast reaches all fifty.
        for conn in conns:
            await conn.send(json.dumps({"type": "ping"}))
            assert json.loads(await asyncio.wait_for(conn.recv(), GUARD)) == {"type": "pong"}
        assert len(ws_module.manager._connections) == CLIENTS

        began = loop.time()
        deadline = began + SECONDS
        readers = [asyncio.create_task(c.read(conn)) for c, conn in zip(clients, conns)]
        chatters = [asyncio.create_task(c.chat(conn, start, deadline)) for c, conn in zip(clients, conns)]
        start.set()
        codes = []
        while loop.time() < deadline and len(codes) < 20:  # the 51st and the 52nd keep trying
            codes += await asyncio.gather(refused(server), refused(server))
            await asyncio.sleep(SECONDS / 10)
        await asyncio.gather(*chatters)
        # Every turn has ended; a last broadcast marks the end of each client's stream.
        await ws_module.manager.broadcast({"type": "marker"})
        await asyncio.gather(*readers)
        elapsed = loop.time() - began
    finally:
        for conn in conns:
            await conn.close()

    turns = {c.sid: c.turns for c in clients}
    faults = [f for c in clients for f in c.faults]
    assert faults == [], faults[:10]
    for c in clients:
        # Every approval copy of every other session's turns arrived, in order.
        assert {s: n for s, n in c.next_turn_of.items() if s != c.sid} == {
            s: n for s, n in turns.items() if s != c.sid and n
        }, c.sid
    assert all(n > 0 for n in turns.values())
    assert codes and set(codes) == {1013}
    assert ws_module._active_tasks == {}
    errors = [r for r in caplog.records if r.levelno >= logging.ERROR]
    assert errors == [], [r.getMessage() for r in errors]
    warnings = {r.getMessage() for r in caplog.records if r.levelno == logging.WARNING}
    assert warnings <= {"Rejected WebSocket \u2014 limit of 50 reached"}
    total_turns = sum(turns.values())
    frames = sum(c.frames for c in clients)
    print(
        f"\nload: {CLIENTS} clients, {elapsed:.1f} s, {total_turns} turns, {frames} frames received, "
        f"{frames / elapsed:.0f} frames/s, {len(codes)} refused attempts (all 1013)"
    )


async def test_connection_cycles_through_the_server(server, host, ws_module, caplog):
    caplog.set_level(logging.WARNING)
    host.registry.add(FakeSession("session_main", LoadAgent()))

    async def cycles(n: int) -> None:
        for i in range(n):
            async with websockets.connect(server) as conn:
                await conn.send(json.dumps({"type": "chat", "content": "hi"} if i % 3 == 0 else {"type": "ping"}))
                await asyncio.wait_for(conn.recv(), GUARD)
        # The server notices each departure on its own.
        await until(lambda: not ws_module.manager._connections, timeout=GUARD)

    await cycles(150)
    gc.collect()
    objects, blocks = len(gc.get_objects()), sys.getallocatedblocks()
    n = int(os.environ.get("TAVRIN_CYCLES", "1500"))
    await cycles(n)
    gc.collect()
    objects_after, blocks_after = len(gc.get_objects()), sys.getallocatedblocks()
    assert ws_module.manager._connections == [] and ws_module._active_tasks == {}
    assert [r for r in caplog.records if r.levelno >= logging.ERROR] == []
    # Bounds for a few thousand cycles through the whole stack (framework and server included).
    assert objects_after - objects < 500, (objects, objects_after)
    assert blocks_after - blocks < 5_000, (blocks, blocks_after)
    print(f"\ncycles: {n} connections, live objects {objects} -> {objects_after}, blocks {blocks} -> {blocks_after}")
