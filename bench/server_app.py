"""The app the server benchmark runs under uvicorn: our router at /ws and a bare endpoint at /bare.

Both stream the same agent's events for each chat message. /bare is the least a FastAPI endpoint
can do for it: receive the frame, then `send_json` each event's dict with "session_id" set.
"""

from __future__ import annotations

import asyncio
import json
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from fastapi import FastAPI, WebSocket, WebSocketDisconnect  # noqa: E402

from fakes import Agent, Event, install_host  # noqa: E402

EVENTS = int(os.environ.get("BENCH_EVENTS", "5000"))

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
