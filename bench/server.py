"""Events per second through a real uvicorn server on 127.0.0.1, to one `websockets` client.

Our gateway (/ws: endpoint, chat task, routing, standard turn) against a bare FastAPI endpoint
streaming the same events on the same server (/bare), and against the same bare loop run the way
the gateway must run a turn: as a task, while the endpoint keeps a receive pending for "stop_task"
and "approve" (/bare_task). Each repeat runs one turn on each, in
alternating order; best of the repeats.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

import websockets

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import bar_chart, write_table  # noqa: E402

EVENTS = 5_000
REPEATS = 9


async def turn(url: str) -> float:
    async with websockets.connect(url, max_queue=None) as conn:
        t0 = time.perf_counter()
        await conn.send(json.dumps({"type": "chat", "content": "stream please"}))
        while True:
            if json.loads(await conn.recv())["type"] == "done":
                return time.perf_counter() - t0


async def measure(port: int) -> dict[str, float]:
    urls = {
        "ours (/ws)": f"ws://127.0.0.1:{port}/ws",
        "bare FastAPI (/bare)": f"ws://127.0.0.1:{port}/bare",
        "bare FastAPI, turn as a task (/bare_task)": f"ws://127.0.0.1:{port}/bare_task",
    }
    for url in urls.values():
        await turn(url)
    best = {k: float("inf") for k in urls}
    names = list(urls)
    for r in range(REPEATS):
        for name in names[r % len(names) :] + names[: r % len(names)]:
            best[name] = min(best[name], await turn(urls[name]))
    return {k: EVENTS / v for k, v in best.items()}


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def serving(events: int):
    """Runs server_app under uvicorn on a free port of 127.0.0.1 for the block; yields the port."""
    port = free_port()
    env = dict(os.environ, BENCH_EVENTS=str(events))
    server = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "uvicorn",
            "server_app:app",
            "--host",
            "127.0.0.1",
            "--port",
            str(port),
            "--log-level",
            "warning",
            "--lifespan",
            "off",
        ],
        cwd=HERE,
        env=env,
    )
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.1).close()
                break
            except OSError:
                time.sleep(0.1)
        yield port
    finally:
        server.terminate()
        server.wait(timeout=30)


def main() -> None:
    with serving(EVENTS) as port:
        rates = asyncio.run(measure(port))
    ours, bare = rates["ours (/ws)"], rates["bare FastAPI (/bare)"]
    bare_task = rates["bare FastAPI, turn as a task (/bare_task)"]
    print(f"through uvicorn, {EVENTS} events per turn, best of {REPEATS} interleaved repeats")
    for k, v in rates.items():
        print(f"  {k:42s} {v:9.0f} events/s")
    print(f"  ours / bare = {ours / bare:.3f}   (goal >= 0.97)   ours / bare as a task = {ours / bare_task:.3f}")
    write_table(
        "server",
        f"Through uvicorn on 127.0.0.1: events per second to one client ({EVENTS} events, best of {REPEATS})",
        ["endpoint", "events/s", "/ bare", "/ bare as a task"],
        [[k, f"{v:.0f}", f"{v / bare:.3f}", f"{v / bare_task:.3f}"] for k, v in rates.items()],
        [f"ours / bare = **{ours / bare:.3f}** (goal >= 0.97)", f"ours / bare as a task = **{ours / bare_task:.3f}**"],
    )
    bar_chart("server", "Through uvicorn: events per second", list(rates), list(rates.values()), "events/s")


if __name__ == "__main__":
    main()
