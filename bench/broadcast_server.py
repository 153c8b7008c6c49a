"""Latency of one broadcast reaching 50 `websockets` clients through a real uvicorn server on 127.0.0.1.

The 50 clients connect to our endpoint (/ws), so the manager holds them. A 51st connection (/trigger)
asks the server for one broadcast at a time, through `manager.broadcast` or through the floor loop
over the same connections, alternately; the event carries the server's monotonic clock at the call
(the same clock as the client's: one machine). Per broadcast: the time until the last of the 50
clients has it, and each client's own delivery time. Percentiles over all broadcasts of a variant.
"""

from __future__ import annotations

import asyncio
import json
import statistics
import sys
import time
from pathlib import Path

import websockets

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import write_table  # noqa: E402
from server import serving  # noqa: E402

CLIENTS = 50
BROADCASTS = 400  # per variant
DEADLINE = 120.0  # seconds for the whole run


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100 * len(values)))]


async def measure(port: int):
    url = f"ws://127.0.0.1:{port}"
    clients = [await websockets.connect(f"{url}/ws", max_queue=None) for _ in range(CLIENTS)]
    trigger = await websockets.connect(f"{url}/trigger")
    arrivals: asyncio.Queue[tuple[float, float]] = asyncio.Queue()

    async def listen(conn):
        async for frame in conn:
            got = time.perf_counter()
            arrivals.put_nowait((json.loads(frame)["t0"], got))

    listeners = [asyncio.create_task(listen(c)) for c in clients]
    variants = ["ours", "floor loop"]
    last: dict[str, list[float]] = {v: [] for v in variants}
    each: dict[str, list[float]] = {v: [] for v in variants}
    stop = time.monotonic() + DEADLINE
    try:
        for i in range(2 * (BROADCASTS + 20)):
            if time.monotonic() > stop:
                break
            variant = variants[i % 2]
            await trigger.send(json.dumps({"variant": "ours" if variant == "ours" else "floor"}))
            times = []
            for _ in range(CLIENTS):
                t0, got = await asyncio.wait_for(arrivals.get(), 10)
                times.append(got - t0)
            await asyncio.wait_for(trigger.recv(), 10)
            if i >= 40:  # the first 20 of each are warm-up
                last[variant].append(max(times))
                each[variant].extend(times)
    finally:
        for t in listeners:
            t.cancel()
        for c in clients:
            await c.close()
        await trigger.close()
    return last, each


def main() -> None:
    with serving(10) as port:
        last, each = asyncio.run(measure(port))
    rows = []
    print(
        f"one broadcast through uvicorn to {CLIENTS} websockets clients, {len(last['ours'])} broadcasts per variant,"
        " alternating"
    )
    for v in last:
        f = [
            pct(last[v], 50) * 1e6,
            pct(last[v], 99) * 1e6,
            pct(each[v], 50) * 1e6,
            pct(each[v], 99) * 1e6,
            statistics.fmean(last[v]) * 1e6,
        ]
        print(
            f"  {v:10s} all 50 reached: p50 {f[0]:8.0f} us  p99 {f[1]:8.0f} us   "
            f"one client: p50 {f[2]:8.0f} us  p99 {f[3]:8.0f} us"
        )
        rows.append([v] + [f"{x:.0f}" for x in f])
    p50_ratio = pct(last["ours"], 50) / pct(last["floor loop"], 50)
    p99_ratio = pct(last["ours"], 99) / pct(last["floor loop"], 99)
    print(f"  ours / floor loop: p50 {p50_ratio:.3f}  p99 {p99_ratio:.3f}")
    write_table(
        "broadcast_server",
        f"One broadcast through uvicorn on 127.0.0.1 reaching {CLIENTS} websockets clients "
        f"({len(last['ours'])} broadcasts per variant, alternating)",
        [
            "broadcast",
            "all reached p50 (us)",
            "all reached p99 (us)",
            "one client p50 (us)",
            "one client p99 (us)",
            "all reached mean (us)",
        ],
        rows,
        [
            f"ours / floor loop, time until all {CLIENTS} have it: p50 **{p50_ratio:.3f}**, p99 **{p99_ratio:.3f}**",
            "clients and server share the machine's 2 cores; the clients' own receive loop is in the figure",
        ],
    )
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    fig, ax = plt.subplots(figsize=(7, 3.5))
    for v in last:
        xs = sorted(x * 1e3 for x in last[v])
        ax.plot(xs, [i / len(xs) for i in range(len(xs))], label=v)
    ax.set_xlabel(f"ms until all {CLIENTS} clients have the event")
    ax.set_ylabel("fraction of broadcasts")
    ax.set_title("Broadcast latency through uvicorn (CDF)")
    ax.legend()
    fig.tight_layout()
    fig.savefig(HERE / "results" / "broadcast_server.png", dpi=110)
    plt.close(fig)


if __name__ == "__main__":
    main()
