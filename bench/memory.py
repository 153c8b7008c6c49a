"""Memory over a long run through a real server: 100,000 standard turns and 10,000 connect/disconnect cycles.

uvicorn serves our router on 127.0.0.1 in its own process, with fake host modules and a fake agent
(server_app.py); `websockets` clients drive it. After a warm-up the server's resident memory, live
Python objects (gc-tracked) and allocated blocks are sampled at intervals; at the end every
connection must be gone from `manager`, `_active_tasks` empty and no turn or watchdog task left.
Every loop is bounded in count and in time.

With --streams the server runs with session streams on and a grace of 0.2 s for unwatched sessions.
Four workers run turns on their own sessions; every tenth turn is paced and its connection drops in
the middle (closed, or cut without a close), and a new connection attaches with the last number it
saw: it must receive the rest of the turn, every later event once and in order, replayed ones before
"attached" and live ones after it. Meanwhile thousands of sessions are used once and abandoned, a
quarter of them in the middle of a turn that only the grace can stop; a second after it was left
(long after its grace) each is closed through the gateway, as a user closes an old tab
(--keep-sessions: never closed). A sampler reads the streams' figures during each phase; at each
sample point every stream must be gone, and at the end no turn may be left running or have outlived
the grace.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import json
import os
import sys
import time
from pathlib import Path

import websockets

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import RESULTS, write_table  # noqa: E402
from server import serving  # noqa: E402

EVENTS = 4  # per turn; the last is "done"
WORKERS = 4  # connections running turns side by side, each its own session
DEADLINE = 900.0  # seconds for the whole run
STREAMS_DEADLINE = 300.0  # seconds for the whole session-stream run
GRACE = 0.2  # the server's grace for unwatched sessions in the session-stream run
PACED_EVERY = 10  # every tenth turn of a worker is paced, and its connection drops during it
LONG_EVERY = 4  # every fourth abandoned session is left in the middle of a long turn
CLOSE_AFTER = 1.0  # seconds after it was left (five graces) an abandoned session is closed
# A paced turn as the client sees it: the mode banner, twelve texts, "done".
PACED = [("mode", None)] + [("text", str(i)) for i in range(12)] + [("done", "")]


async def stats(url):
    async with websockets.connect(f"{url}/stats") as conn:
        await conn.send("?")
        return json.loads(await asyncio.wait_for(conn.recv(), 30))


async def receive(conn):
    return json.loads(await asyncio.wait_for(conn.recv(), 30))


async def until_done(conn):
    """Reads one standard turn (the mode banner and EVENTS events) to its "done"."""
    for _ in range(EVENTS + 2):
        if (await receive(conn))["type"] == "done":
            return
    raise AssertionError("turn without a done event")


async def turns(url, count, worker, stop):
    """Runs `count` chat turns on one connection, each to its "done"."""
    sid = f"mem-{worker}"
    async with websockets.connect(f"{url}/ws", max_queue=None) as conn:
        for _ in range(count):
            if time.monotonic() > stop:
                raise TimeoutError("memory run over its time limit")
            await conn.send(json.dumps({"type": "chat", "content": "hello", "session_id": sid}))
            await until_done(conn)


async def cycles(url, count, stop):
    """Connects, pings, and disconnects `count` times."""
    for _ in range(count):
        if time.monotonic() > stop:
            raise TimeoutError("memory run over its time limit")
        async with websockets.connect(f"{url}/ws") as conn:
            await conn.send('{"type": "ping"}')
            assert json.loads(await asyncio.wait_for(conn.recv(), 30)) == {"type": "pong"}


async def phase(url, n_turns, n_cycles, n_sessions, stop, tally, peaks, close=True):
    per = n_turns // WORKERS
    await asyncio.gather(
        *(turns(url, per, w, stop) for w in range(WORKERS)), *(cycles(url, n_cycles // 2, stop) for _ in range(2))
    )


# ---- the session-stream run ----


def key(event):
    return event["type"], event.get("content")


async def dropped_turn(url, conn, sid, drop_after, abrupt, tally):
    """A paced turn whose connection drops after `drop_after` of its events; a new connection attaches
    with the last number seen and must receive the rest. Returns the new connection."""
    await conn.send(json.dumps({"type": "chat", "content": "paced", "session_id": sid}))
    seen = [await receive(conn) for _ in range(drop_after)]
    if abrupt:
        conn.transport.abort()  # the network goes: no close handshake
    else:
        await conn.close()
    conn = await websockets.connect(f"{url}/ws", max_queue=None)
    last = seen[-1]["seq"]
    await conn.send(json.dumps({"type": "attach", "session_id": sid, "after": last}))
    replayed, live, attached, gap = [], [], None, None
    while True:
        ev = await receive(conn)
        if ev["type"] == "attached":
            attached = ev
        elif ev["type"] == "replay_gap":
            assert attached is None and not replayed and gap is None, f"misplaced gap notice: {ev}"
            gap = ev
        else:
            (live if attached else replayed).append(ev)
        if attached and (gap or any(e["type"] == "done" for e in replayed + live)):
            break
    events = seen + replayed + live
    seqs = [e["seq"] for e in events]
    assert all(e.get("session_id") == sid for e in events), f"an event of another session: {events}"
    assert seqs == sorted(set(seqs)), f"events out of order or repeated: {seqs}"
    if gap:
        # The reconnect came later than the grace: the turn was stopped and its stream dropped.
        assert not replayed and not live and [key(e) for e in seen] == PACED[:drop_after], events
        tally["late"] += 1
        return conn
    assert [key(e) for e in events] == PACED, f"not the whole turn once: {[key(e) for e in events]}"
    assert attached["seq"] == (replayed[-1]["seq"] if replayed else last), (attached, replayed, last)
    assert attached["running"] or not live, "live events after a turn said to be over"
    tally["replayed"] += len(replayed)
    tally["live"] += len(live)
    tally["caught_live"] += bool(live)
    return conn


async def stream_turns(url, count, worker, stop, tally):
    """Runs `count` turns on the worker's session; every PACED_EVERY-th drops its connection mid-way."""
    sid = f"mem-{worker}"
    conn = await websockets.connect(f"{url}/ws", max_queue=None)
    try:
        for i in range(count):
            if time.monotonic() > stop:
                raise TimeoutError("memory run over its time limit")
            if i % PACED_EVERY == PACED_EVERY - 1:
                k = tally["dropped"]
                tally["dropped"] += 1
                conn = await dropped_turn(url, conn, sid, 1 + k % (len(PACED) - 1), k % 2 == 1, tally)
            else:
                await conn.send(json.dumps({"type": "chat", "content": "hello", "session_id": sid}))
                await until_done(conn)
    finally:
        await conn.close()


async def close_sessions(conn, sids, tally):
    for sid in sids:
        await conn.send(json.dumps({"type": "close_session", "session_id": sid}))
    for sid in sids:
        reply = await receive(conn)
        assert reply == {"type": "session_closed", "session_id": sid, "success": True}, reply
    tally["closed"] += len(sids)


async def abandon(url, ids, stop, tally, close):
    """Uses each session once and leaves it; every LONG_EVERY-th in the middle of a long turn. With
    `close`, each is closed through the gateway, from a later connection, CLOSE_AFTER seconds after it
    was left (long after its grace), as a user closes an old tab."""
    left = collections.deque()  # (when, session id), oldest first
    for k in ids:
        if time.monotonic() > stop:
            raise TimeoutError("memory run over its time limit")
        sid = f"gone-{k}"
        async with websockets.connect(f"{url}/ws", max_queue=None) as conn:
            if close:
                old = []
                while left and time.monotonic() - left[0][0] > CLOSE_AFTER:
                    old.append(left.popleft()[1])
                await close_sessions(conn, old, tally)
            if k % LONG_EVERY == 0:
                await conn.send(json.dumps({"type": "chat", "content": "long", "session_id": sid}))
                for _ in range(2):
                    assert (await receive(conn))["session_id"] == sid
                tally["left_running"] += 1
            else:
                await conn.send(json.dumps({"type": "chat", "content": "hello", "session_id": sid}))
                await until_done(conn)
        left.append((time.monotonic(), sid))
    if close and left:
        await asyncio.sleep(max(0.0, CLOSE_AFTER - (time.monotonic() - left[-1][0])))
        async with websockets.connect(f"{url}/ws", max_queue=None) as conn:
            await close_sessions(conn, [sid for _, sid in left], tally)


async def sampler(url, finished, peaks):
    """Reads the streams' figures every quarter second while a phase runs; keeps the highest."""
    while not finished.is_set():
        s = await stats(url)
        for k in ("streams", "retained", "retained_max"):
            peaks[k] = max(peaks.get(k, 0), s[k])
        try:
            await asyncio.wait_for(finished.wait(), 0.25)
        except TimeoutError:
            pass


async def stream_phase(url, n_turns, n_cycles, n_sessions, stop, tally, peaks, close=True):
    per = n_turns // WORKERS
    first = tally["sessions"]
    tally["sessions"] += n_sessions
    ids = range(first, first + n_sessions)
    finished = asyncio.Event()
    sampling = asyncio.create_task(sampler(url, finished, peaks))
    try:
        await asyncio.gather(
            *(stream_turns(url, per, w, stop, tally) for w in range(WORKERS)),
            abandon(url, ids[0::2], stop, tally, close),
            abandon(url, ids[1::2], stop, tally, close),
            *(cycles(url, n_cycles // 2, stop) for _ in range(2)),
        )
    finally:
        finished.set()
        await sampling


# ---- both runs ----


def quiet(s):
    """Nothing left of the clients: no connection, no task of theirs, no session stream."""
    return s["connections"] == 0 and s["active_tasks"] == 0 and not s["turn_tasks"] and s.get("streams", 0) == 0


async def settled(url, stop):
    """The server's figures once the last connections have been unregistered (bounded wait)."""
    for _ in range(200):
        s = await stats(url)
        if quiet(s) or time.monotonic() > stop:
            return s
        await asyncio.sleep(0.05)
    return s


async def run(port, total_turns, total_cycles, total_sessions, steps, streams, close):
    url = f"ws://127.0.0.1:{port}"
    stop = time.monotonic() + (STREAMS_DEADLINE if streams else DEADLINE)
    run_phase = stream_phase if streams else phase
    tally = dict(sessions=0, closed=0, dropped=0, late=0, replayed=0, live=0, caught_live=0, left_running=0)
    # The server's allocator takes some 20,000 turns to reach its working size; growth is measured from there.
    warm_turns, warm_cycles, warm_sessions = total_turns // 5, total_cycles // 5, total_sessions // 5
    t0 = time.monotonic()
    peaks = {}
    await run_phase(url, warm_turns, warm_cycles, warm_sessions, stop, tally, peaks, close)
    samples = [
        dict(
            await settled(url, stop),
            turns=warm_turns,
            cycles=warm_cycles,
            seconds=time.monotonic() - t0,
            **peaks_of(peaks),
            **(tally if streams else {}),
        )
    ]
    print(f"  after warm-up: {samples[-1]}", flush=True)
    done_t, done_c, done_s = warm_turns, warm_cycles, warm_sessions
    for i in range(steps):
        nt = (total_turns - warm_turns) * (i + 1) // steps + warm_turns - done_t
        nc = (total_cycles - warm_cycles) * (i + 1) // steps + warm_cycles - done_c
        ns = (total_sessions - warm_sessions) * (i + 1) // steps + warm_sessions - done_s
        peaks = {}
        await run_phase(url, nt, nc, ns, stop, tally, peaks, close)
        done_t, done_c, done_s = done_t + nt - nt % WORKERS, done_c + nc - nc % 2, done_s + ns
        samples.append(
            dict(
                await settled(url, stop),
                turns=done_t,
                cycles=done_c,
                seconds=time.monotonic() - t0,
                **peaks_of(peaks),
                **(tally if streams else {}),
            )
        )
        print(f"  {samples[-1]}", flush=True)
    return samples


def peaks_of(peaks):
    return {f"peak_{k}": v for k, v in peaks.items()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument(
        "--streams", action="store_true", help="session streams on, with reconnecting clients and abandoned sessions"
    )
    ap.add_argument("--turns", type=int)  # default 125,000 (40,000 with --streams); a fifth is warm-up
    ap.add_argument("--cycles", type=int)  # default 12,500 (4,000 with --streams)
    ap.add_argument("--sessions", type=int)  # sessions used once and abandoned (--streams); default 5,000
    ap.add_argument("--steps", type=int, default=5)
    ap.add_argument(
        "--keep-sessions",
        action="store_true",
        help="with --streams: never close the abandoned sessions (the host forgets them on its own)",
    )
    args = ap.parse_args()
    streams = args.streams
    total_turns = args.turns or (40_000 if streams else 125_000)
    total_cycles = args.cycles or (4_000 if streams else 12_500)
    total_sessions = (args.sessions or 5_000) if streams else 0
    if streams:
        os.environ.update(BENCH_STREAMS="1", BENCH_GRACE=str(GRACE))
    with serving(EVENTS) as port:
        samples = asyncio.run(
            run(port, total_turns, total_cycles, total_sessions, args.steps, streams, not args.keep_sessions)
        )
    base, end = samples[0], samples[-1]
    growth = {k: (end[k] - base[k]) / base[k] * 100 for k in ("rss_kib", "objects", "blocks")}
    clean = quiet(end)
    problems = []
    if max(growth.values()) >= 1.0:
        problems.append("growth of 1% or more")
    if not clean:
        problems.append("connections, tasks or streams left at the end")
    name = "memory_streams" if streams else "memory"
    c_heap = malloc_growth(base, end)
    summary = (
        f"growth after warm-up (first row): RSS **{growth['rss_kib']:+.2f}%**, objects "
        f"**{growth['objects']:+.2f}%**, blocks **{growth['blocks']:+.2f}%** (goal < 1%)"
        + (f"; {c_heap}" if c_heap else "")
    )
    print(
        f"memory{' (session streams)' if streams else ''}: {end['turns']} turns and {end['cycles']} "
        f"connect/disconnect cycles in {end['seconds']:.0f} s"
    )
    print(
        f"  growth after warm-up: RSS {growth['rss_kib']:+.2f}%  objects {growth['objects']:+.2f}%  "
        f"blocks {growth['blocks']:+.2f}%   (goal < 1%)   {c_heap}"
    )
    print(
        f"  at the end: manager {end['connections']} connections, _active_tasks {end['active_tasks']}, "
        f"turn/watchdog/writer tasks {len(end['turn_tasks'])}, tasks alive {end['tasks']} (after warm-up {base['tasks']})"
    )
    if streams:
        peak_retained_max = max(s["peak_retained_max"] for s in samples)
        if end["streams"] > end["watched"]:
            problems.append("streams of sessions nobody watches are left")
        if peak_retained_max > end["retain_events"]:
            problems.append("a journal held more events than its bound")
        if end["long_finished"] or end["long_started"] != end["long_stopped"]:
            problems.append("a turn of an abandoned session outlived the grace, or is still running")
        stream_lines = [
            f"at the end: {end['streams']} session streams ({end['watched']} watched), holding {end['retained']} events; "
            f"peak during a phase: {max(s['peak_streams'] for s in samples)} streams holding "
            f"{max(s['peak_retained'] for s in samples):,} events, at most {peak_retained_max:,} in one "
            f"(bound {end['retain_events']:,})",
            f"{end['dropped']:,} turns dropped mid-way and attached again: {end['caught_live']:,} caught up with a "
            f"running turn (replay, then live events), {end['dropped'] - end['caught_live'] - end['late']:,} replayed "
            f'to the end; {end["replayed"]:,} events replayed, {end["live"]:,} live after "attached", each once and '
            f"in order; {end['late']} reconnected after the grace (turn stopped, gap announced)",
            f"{end['sessions']:,} sessions used once and abandoned, {end['left_running']:,} in the middle of a turn: "
            f"{end['long_stopped']:,} turns stopped by the grace, {end['long_finished']} ran to their end; "
            f"{end['closed']:,} closed {CLOSE_AFTER:g} s after they were left; the host's registry holds "
            f"{end['registry']} sessions (bound {end['registry_bound']})",
        ]
        for line in stream_lines:
            print("  " + line.replace("**", ""))
        rows = [
            [
                f"{s['turns']:,}",
                f"{s['dropped']:,}",
                f"{s['sessions']:,}",
                f"{s['cycles']:,}",
                f"{s['seconds']:.0f}",
                f"{s['rss_kib']:,}",
                f"{s['objects']:,}",
                f"{s['blocks']:,}",
                str(s["tasks"]),
                f"{s['peak_streams']} / {s['peak_retained']:,}",
                f"{s['streams']} / {s['retained']}",
                str(s["registry"]),
            ]
            for s in samples
        ]
        write_table(
            name,
            f"Memory through uvicorn with session streams: {end['turns']:,} turns ({end['dropped']:,} "
            f"dropped mid-way and attached again), {end['sessions']:,} abandoned sessions"
            f"{' (never closed)' if args.keep_sessions else ''}, {end['cycles']:,} connect/disconnect cycles "
            f"(grace {GRACE} s)",
            [
                "turns",
                "dropped",
                "abandoned sessions",
                "cycles",
                "s",
                "server RSS (KiB)",
                "gc objects",
                "allocated blocks",
                "tasks alive",
                "phase peak: streams / events held",
                "after it: streams / events held",
                "registry",
            ],
            rows,
            [
                summary,
                *stream_lines,
                f"at the end: manager empty, `_active_tasks` empty, no turn, watchdog or writer task, no stream: "
                f"**{clean}**",
            ],
        )
    else:
        rows = [
            [
                f"{s['turns']:,}",
                f"{s['cycles']:,}",
                f"{s['seconds']:.0f}",
                f"{s['rss_kib']:,}",
                f"{s['objects']:,}",
                f"{s['blocks']:,}",
                str(s["tasks"]),
                str(s["connections"]),
                str(s["active_tasks"]),
            ]
            for s in samples
        ]
        write_table(
            name,
            f"Memory through uvicorn: {end['turns']:,} standard turns ({EVENTS} events each, "
            f"{WORKERS} connections) and {end['cycles']:,} connect/disconnect cycles",
            [
                "turns",
                "cycles",
                "s",
                "server RSS (KiB)",
                "gc objects",
                "allocated blocks",
                "tasks alive",
                "manager connections",
                "_active_tasks",
            ],
            rows,
            [
                summary,
                f"at the end: manager empty, `_active_tasks` empty, no turn or watchdog task: **{clean}**; "
                f"tasks alive are the server's own and the /stats connection's",
            ],
        )
    chart(name, samples, base, streams)
    # Judged after the results are written, and whether or not a chart could be drawn.
    if problems:
        sys.exit(f"memory run{' (session streams)' if streams else ''}: {'; '.join(problems)} (see above)")


def malloc_growth(base, end):
    """The C allocator's bytes in use (glibc), when the server could read them: not judged, but unlike
    the resident size not moved by how freed memory happens to lie."""
    if not base.get("malloc_kib"):
        return ""
    return f"C allocator in use {(end['malloc_kib'] - base['malloc_kib']) / base['malloc_kib'] * 100:+.2f}%"


def chart(name, samples, base, streams):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"(matplotlib not installed: no chart for {name})")
        return
    fig, ax = plt.subplots(figsize=(7, 3.5))
    xs = [s["turns"] for s in samples]
    for k, label in (("rss_kib", "server RSS"), ("objects", "gc objects"), ("blocks", "allocated blocks")):
        ax.plot(xs, [s[k] / base[k] * 100 for s in samples], marker="o", label=label)
    if streams:
        ax.set_xlabel("turns (1 in 10 dropped and attached again; abandoned sessions and cycles alongside)")
    else:
        ax.set_xlabel("standard turns (connect/disconnect cycles alongside, 1 per 10 turns)")
    ax.set_ylabel("% of the figure after warm-up")
    ax.set_ylim(95, 105)
    ax.set_title("Server memory over the run" + (" (session streams)" if streams else ""))
    ax.legend()
    fig.tight_layout()
    fig.savefig(RESULTS / f"{name}.png", dpi=110)
    plt.close(fig)


if __name__ == "__main__":
    main()
