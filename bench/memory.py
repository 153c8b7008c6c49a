"""Memory over a long run through a real server: 100,000 standard turns and 10,000 connect/disconnect cycles.

uvicorn serves our router on 127.0.0.1 in its own process, with fake host modules and a fake agent
(server_app.py); `websockets` clients drive it. After a warm-up the server's resident memory, live
Python objects (gc-tracked) and allocated blocks are sampled at intervals; at the end every
connection must be gone from `manager`, `_active_tasks` empty and no turn or watchdog task left.
Every loop is bounded in count and in time.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import sys
import time
from pathlib import Path

import websockets

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import RESULTS, write_table  # noqa: E402
from server import serving  # noqa: E402

EVENTS = 4         # per turn; the last is "done"
WORKERS = 4        # connections running turns side by side, each its own session
DEADLINE = 900.0   # seconds for the whole run


async def stats(url):
    async with websockets.connect(f"{url}/stats") as conn:
        await conn.send("?")
        return json.loads(await asyncio.wait_for(conn.recv(), 30))


async def turns(url, count, worker, stop):
    """Runs `count` chat turns on one connection, each to its "done"."""
    sid = f"mem-{worker}"
    async with websockets.connect(f"{url}/ws", max_queue=None) as conn:
        for _ in range(count):
            if time.monotonic() > stop:
                raise TimeoutError("memory run over its time limit")
            await conn.send(json.dumps({"type": "chat", "content": "hello", "session_id": sid}))
            for _ in range(EVENTS + 2):
                if json.loads(await asyncio.wait_for(conn.recv(), 30))["type"] == "done":
                    break
            else:
                raise AssertionError("turn without a done event")


async def cycles(url, count, stop):
    """Connects, pings, and disconnects `count` times."""
    for _ in range(count):
        if time.monotonic() > stop:
            raise TimeoutError("memory run over its time limit")
        async with websockets.connect(f"{url}/ws") as conn:
            await conn.send('{"type": "ping"}')
            assert json.loads(await asyncio.wait_for(conn.recv(), 30)) == {"type": "pong"}


async def phase(url, n_turns, n_cycles, stop):
    per = n_turns // WORKERS
    await asyncio.gather(*(turns(url, per, w, stop) for w in range(WORKERS)),
                         *(cycles(url, n_cycles // 2, stop) for _ in range(2)))


async def settled(url, stop):
    """The server's figures once the last connections have been unregistered (bounded wait)."""
    for _ in range(200):
        s = await stats(url)
        if (s["connections"] == 0 and s["active_tasks"] == 0 and not s["turn_tasks"]) or time.monotonic() > stop:
            return s
        await asyncio.sleep(0.05)
    return s


async def run(port, total_turns, total_cycles, steps):
    url = f"ws://127.0.0.1:{port}"
    stop = time.monotonic() + DEADLINE
    # The server's allocator takes some 20,000 turns to reach its working size; growth is measured from there.
    warm_turns, warm_cycles = total_turns // 5, total_cycles // 5
    t0 = time.monotonic()
    await phase(url, warm_turns, warm_cycles, stop)
    samples = [dict(await settled(url, stop), turns=warm_turns, cycles=warm_cycles, seconds=time.monotonic() - t0)]
    print(f"  after warm-up: {samples[-1]}", flush=True)
    done_t, done_c = warm_turns, warm_cycles
    for i in range(steps):
        nt = (total_turns - warm_turns) * (i + 1) // steps + warm_turns - done_t
        nc = (total_cycles - warm_cycles) * (i + 1) // steps + warm_cycles - done_c
        await phase(url, nt, nc, stop)
        done_t, done_c = done_t + nt - nt % WORKERS, done_c + nc - nc % 2
        samples.append(dict(await settled(url, stop), turns=done_t, cycles=done_c, seconds=time.monotonic() - t0))
        print(f"  {samples[-1]}", flush=True)
    return samples


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--turns", type=int, default=125_000)  # 25,000 of warm-up, then 100,000 measured
    ap.add_argument("--cycles", type=int, default=12_500)  # 2,500 of warm-up, then 10,000 measured
    ap.add_argument("--steps", type=int, default=5)
    args = ap.parse_args()
    with serving(EVENTS) as port:
        samples = asyncio.run(run(port, args.turns, args.cycles, args.steps))
    base, end = samples[0], samples[-1]
    growth = {k: (end[k] - base[k]) / base[k] * 100 for k in ("rss_kib", "objects", "blocks")}
    clean = end["connections"] == 0 and end["active_tasks"] == 0 and not end["turn_tasks"]
    print(f"memory: {end['turns']} turns and {end['cycles']} connect/disconnect cycles in {end['seconds']:.0f} s")
    print(f"  growth after warm-up: RSS {growth['rss_kib']:+.2f}%  objects {growth['objects']:+.2f}%  "
          f"blocks {growth['blocks']:+.2f}%   (goal < 1%)")
    print(f"  at the end: manager {end['connections']} connections, _active_tasks {end['active_tasks']}, "
          f"turn/watchdog tasks {len(end['turn_tasks'])}, tasks alive {end['tasks']} (after warm-up {base['tasks']})")
    rows = [[f"{s['turns']:,}", f"{s['cycles']:,}", f"{s['seconds']:.0f}", f"{s['rss_kib']:,}", f"{s['objects']:,}",
             f"{s['blocks']:,}", str(s["tasks"]), str(s["connections"]), str(s["active_tasks"])] for s in samples]
    write_table("memory", f"Memory through uvicorn: {end['turns']:,} standard turns ({EVENTS} events each, "
                f"{WORKERS} connections) and {end['cycles']:,} connect/disconnect cycles",
                ["turns", "cycles", "s", "server RSS (KiB)", "gc objects", "allocated blocks", "tasks alive",
                 "manager connections", "_active_tasks"], rows,
                [f"growth after warm-up (first row): RSS **{growth['rss_kib']:+.2f}%**, objects "
                 f"**{growth['objects']:+.2f}%**, blocks **{growth['blocks']:+.2f}%** (goal < 1%)",
                 f"at the end: manager empty, `_active_tasks` empty, no turn or watchdog task: **{clean}**; "
                 f"tasks alive are the server's own and the /stats connection's"])
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    fig, ax = plt.subplots(figsize=(7, 3.5))
    xs = [s["turns"] for s in samples]
    for key, label in (("rss_kib", "server RSS"), ("objects", "gc objects"), ("blocks", "allocated blocks")):
        ax.plot(xs, [s[key] / base[key] * 100 for s in samples], marker="o", label=label)
    ax.set_xlabel("standard turns (connect/disconnect cycles alongside, 1 per 10 turns)")
    ax.set_ylabel("% of the figure after warm-up")
    ax.set_ylim(95, 105)
    ax.set_title("Server memory over the run")
    ax.legend()
    fig.tight_layout()
    fig.savefig(RESULTS / "memory.png", dpi=110)
    plt.close(fig)
    if not clean or max(growth.values()) >= 1.0:
        sys.exit("memory run: not flat or not clean (see above)")


if __name__ == "__main__":
    main()
