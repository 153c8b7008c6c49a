"""The app the server benchmark runs under uvicorn: our router at /ws and a bare endpoint at /bare.

Both stream the same agent's events for each chat message. /bare is the least a FastAPI endpoint
can do for it: receive the frame, then `send_json` each event's dict with "session_id" set.
"""

from __future__ import annotations

import asyncio
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

import handler_references  # noqa: E402

agent = Agent(EVENTS)
agent.events[-1] = Event("done", "")
lock = install_host()
sys.modules["tavrin.gateway.server"].get_state = lambda: {"agent": agent}

from tavrin.gateway import ws as gateway  # noqa: E402

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
            await ws.send_json({"rss_kib": _rss_kib(), "objects": len(gc.get_objects()),
                                "blocks": sys.getallocatedblocks(), "tasks": len(tasks),
                                "turn_tasks": [n for n in names if n.startswith(("chat-", "watchdog-"))],
                                "connections": len(gateway.manager._connections),
                                "active_tasks": len(gateway._active_tasks)})
    except WebSocketDisconnect:
        pass
