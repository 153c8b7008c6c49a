"""The app the server benchmark runs under uvicorn: our router at /ws and a bare endpoint at /bare.

Both stream the same agent's events for each chat message. /bare is the least a FastAPI endpoint
can do for it: receive the frame, then `send_json` each event's dict with "session_id" set.

With BENCH_STREAMS=1 (the memory run's session-stream variant) the gateway runs with session streams
on and a short grace (BENCH_GRACE seconds) for unwatched sessions, and the host knows the sessions the
run uses: ids starting "mem-" or "gone-" are made on first use and forgotten when closed; beyond a fixed
number the least recently used is forgotten too, so the host's own registry stays bounded even when the
run never closes its sessions. The agent then answers by the message: "paced" is a turn of 13 events a
millisecond apart, "long" one that would run for 3 s (it counts how many of those end early).
"""

from __future__ import annotations

import asyncio
import collections
import ctypes
import gc
import json
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from fastapi import FastAPI, WebSocket, WebSocketDisconnect  # noqa: E402

from fakes import Agent, Event, install_host  # noqa: E402

EVENTS = int(os.environ.get("BENCH_EVENTS", "5000"))
STREAMS = os.environ.get("BENCH_STREAMS") == "1"
REGISTRY_SIZE = 512  # sessions the host keeps at most (the run has far fewer open at once)

import handler_references  # noqa: E402


class StreamAgent(Agent):
    """The standard agent, with two more turns chosen by the message: "paced" and "long"."""

    def __init__(self, n_events: int):
        super().__init__(n_events)
        self.paced = [Event("text", str(i)) for i in range(12)] + [Event("done", "")]
        self.long_started = self.long_finished = self.long_stopped = 0

    async def process_message(self, user_text, attachments=None):
        if user_text == "paced":
            for ev in self.paced:
                await asyncio.sleep(0.001)
                yield ev
        elif user_text == "long":
            self.long_started += 1
            finished = False
            try:
                for i in range(300):
                    await asyncio.sleep(0.01)
                    yield Event("text", str(i))
                yield Event("done", "")
                finished = True
            finally:
                if finished:
                    self.long_finished += 1
                else:
                    self.long_stopped += 1
        else:
            for ev in self.events:
                yield ev


class Session:
    """A user tab of the host: its own lock, the shared agent, a name that is never renamed."""

    is_connector = False
    display_name = "Bench"
    conversation_id = None

    def __init__(self, session_id: str):
        self.session_id = session_id
        self.agent = agent
        self.lock = asyncio.Lock()


class BoundedRegistry:
    """Knows every session id of the run (made on first use) until it is closed; keeps at most the
    REGISTRY_SIZE most recently used."""

    def __init__(self):
        self.sessions: collections.OrderedDict[str, Session] = collections.OrderedDict()

    def get(self, session_id):
        if not isinstance(session_id, str) or not session_id.startswith(("mem-", "gone-")):
            return None
        session = self.sessions.get(session_id)
        if session is None:
            session = self.sessions[session_id] = Session(session_id)
            if len(self.sessions) > REGISTRY_SIZE:
                self.sessions.popitem(last=False)
        else:
            self.sessions.move_to_end(session_id)
        return session

    async def close_session(self, session_id) -> bool:
        return self.sessions.pop(session_id, None) is not None


agent = StreamAgent(EVENTS) if STREAMS else Agent(EVENTS)
agent.events[-1] = Event("done", "")
lock = install_host()
sys.modules["tavrin.gateway.server"].get_state = lambda: {"agent": agent}
registry = None
if STREAMS:
    registry = BoundedRegistry()
    sys.modules["tavrin.core.session_registry"].get_registry = lambda: registry

from tavrin.gateway import ws as gateway  # noqa: E402

if STREAMS:
    gateway._SESSION_STREAMS = True
    gateway._DETACHED_GRACE_SECONDS = float(os.environ.get("BENCH_GRACE", "0.2"))

app = FastAPI()
app.include_router(gateway.create_ws_router())


@app.websocket("/bare")
async def bare(ws: WebSocket):
    await ws.accept()
    try:
        while True:
            message = json.loads(await ws.receive_text())
            sid = message.get("session_id") or "session_main"
            async for ev in agent.process_message(message["content"], attachments=None):
                d = ev.to_dict()
                d["session_id"] = sid
                await ws.send_json(d)
    except WebSocketDisconnect:
        pass


@app.websocket("/bare_task")
async def bare_task(ws: WebSocket):
    """The same loop, run as the gateway must run a turn: in a task, beside a pending receive."""
    await ws.accept()

    async def run(sid, content):
        async for ev in agent.process_message(content, attachments=None):
            d = ev.to_dict()
            d["session_id"] = sid
            await ws.send_json(d)

    tasks = set()
    try:
        while True:
            message = json.loads(await ws.receive_text())
            t = asyncio.create_task(run(message.get("session_id") or "session_main", message["content"]))
            tasks.add(t)
            t.add_done_callback(tasks.discard)
    except WebSocketDisconnect:
        pass


@app.websocket("/trigger")
async def trigger(ws: WebSocket):
    """Each message {"variant": ...} starts one broadcast to the connections registered with the
    manager, through `manager.broadcast` ("ours") or the floor loop ("floor"); the event carries the
    monotonic time at which the broadcast was called. Answered with "ok" when the pass has ended."""
    await ws.accept()
    try:
        while True:
            variant = json.loads(await ws.receive_text())["variant"]
            message = {"type": "bench", "t0": time.perf_counter()}
            if variant == "ours":
                await gateway.manager.broadcast(message)
            else:
                await handler_references.floor_broadcast(gateway.manager._connections, message)
            await ws.send_text("ok")
    except WebSocketDisconnect:
        pass


def _rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = _MallInfo2
except (OSError, AttributeError):  # not glibc, or older than 2.33
    _mallinfo2 = None


def _malloc_kib() -> int | None:
    """What the C allocator has handed out and not had back (glibc): native buffers and large Python objects.

    Unlike the resident size it does not move with how freed memory happens to be laid out."""
    if _mallinfo2 is None:
        return None
    info = _mallinfo2()
    return (info.uordblks + info.hblkhd) // 1024


def _held_events(stream) -> int:
    """The events a session stream holds (its journal; a connection's queue shares the same dicts).

    The stream has no count of its own to show, but the collector sees what it holds."""
    return len({id(o) for o in gc.get_referents(stream) if type(o) is dict and "seq" in o})


@app.websocket("/stats")
async def stats(ws: WebSocket):
    """The server's own figures for the memory run, after a full collection, on each message."""
    await ws.accept()
    try:
        while True:
            await ws.receive_text()
            gc.collect()
            tasks = [t for t in asyncio.all_tasks() if not t.done()]
            names = sorted(t.get_name() for t in tasks)
            figures = {
                "rss_kib": _rss_kib(),
                "malloc_kib": _malloc_kib(),
                "objects": len(gc.get_objects()),
                "blocks": sys.getallocatedblocks(),
                "tasks": len(tasks),
                "turn_tasks": [n for n in names if n.startswith(("chat-", "watchdog-", "stream-writer"))],
                "connections": len(gateway.manager._connections),
                "active_tasks": len(gateway._active_tasks),
            }
            if STREAMS:
                streams = list(gateway._session_streams.values())
                held = [_held_events(s) for s in streams]
                figures.update(
                    streams=len(streams),
                    watched=sum(1 for s in streams if s.attached),
                    retained=sum(held),
                    retained_max=max(held, default=0),
                    retain_events=gateway._STREAM_RETAIN_EVENTS,
                    registry=len(registry.sessions),
                    registry_bound=REGISTRY_SIZE,
                    long_started=agent.long_started,
                    long_finished=agent.long_finished,
                    long_stopped=agent.long_stopped,
                )
            await ws.send_json(figures)
    except WebSocketDisconnect:
        pass
