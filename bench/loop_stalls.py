"""How long the server's event loop keeps every client waiting while the agent streams long replies:
the real server (``tavrin-gateway --model openai/fake``, the scripted model of ``llm_turn.py`` in a
process of its own) runs long turns (1,000 pieces each) for one WebSocket client, while a second
one sends ``ping`` every 5 ms and times each ``pong``. A pause of the loop (a full pass of the
garbage collector over LiteLLM's tables, a long message compressed) shows as the slowest answers.

    python bench/loop_stalls.py [TURNS]

Prints the median, the 99th percentile and the slowest of the round trips, in ms. Needs the llm extra.
"""

from __future__ import annotations

import asyncio
import json
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "host"))

from llm_turn import ModelProcess, server_turn  # noqa: E402
from serverproc import ServerProcess  # noqa: E402

PING_EVERY = 0.005


async def pings(conn, times: list[float], stop: asyncio.Event) -> None:
    while not stop.is_set():
        sent = time.perf_counter()
        await conn.send(json.dumps({"type": "ping"}))
        while json.loads(await conn.recv())["type"] != "pong":
            pass
        times.append(time.perf_counter() - sent)
        await asyncio.sleep(PING_EVERY)


async def main(turns: int) -> str:
    with ModelProcess() as model, tempfile.TemporaryDirectory() as tmp:
        proc = ServerProcess(Path(tmp) / "data", args=("--model", "openai/fake", "--api-base", model.url)).start(240)
        try:
            turner = await proc.connect(max_size=None)
            pinger = await proc.connect(max_size=None)
            for _ in range(2):  # warm-up: lazy imports and the first connections
                await server_turn(turner, "long")
            times: list[float] = []
            stop = asyncio.Event()
            pinging = asyncio.ensure_future(pings(pinger, times, stop))
            for _ in range(turns):
                await server_turn(turner, "long")
            stop.set()
            await pinging
            await turner.close()
            await pinger.close()
        finally:
            proc.stop()
    times.sort()
    p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
    return (
        f"{turns} long turns, {len(times)} pings: round trip median {statistics.median(times) * 1e3:.2f} ms, "
        f"p99 {p99 * 1e3:.2f} ms, slowest {times[-1] * 1e3:.2f} ms"
    )


if __name__ == "__main__":
    print(asyncio.run(main(int(sys.argv[1]) if len(sys.argv) > 1 else 30)))
