"""Per-event cost of a standard chat turn: ours against the floor and the pure-Python turn.

One turn = `_handle_standard_chat` (or a reference) with an agent yielding N events to an
in-memory socket. All variants run in the same process and event loop, interleaved, best of the
repeats. Run directly for the figures, or with `--one VARIANT` to run a single turn (for callgrind).
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import sys
import tracemalloc
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from fakes import Agent, Socket, install_host  # noqa: E402
from harness import bar_chart, interleaved_best, rss_bytes, timed, write_table  # noqa: E402
import references  # noqa: E402

EVENTS = 20_000
SHORT, TURNS = 10, 200  # the short-turn figure: turns of 10 events
TEXT = "Summarise the latest message from the bank"
SID = "s1"


def variants():
    install_host()
    from tavrin.gateway import ws

    stream = ws.SessionStream(SID)  # a session keeps its stream from turn to turn

    def through_stream(sock, agent):
        # Session streams on: the turn talks to the session's stream, with one window attached.
        for old in stream.attached:
            stream.detach(old)
        stream.attach(sock)
        return ws._handle_standard_chat(stream, agent, TEXT, session_id=SID)

    return {
        "floor": lambda sock, agent: references.floor_turn(sock, agent, TEXT, SID),
        "pure Python": lambda sock, agent: references.python_turn(sock, agent, TEXT, session_id=SID),
        "ours": lambda sock, agent: ws._handle_standard_chat(sock, agent, TEXT, session_id=SID),
        "ours, session stream": through_stream,
    }


def run_one(loop, make, agent, expect):
    sock = Socket()
    loop.run_until_complete(make(sock, agent))
    assert sock.count in (expect, expect + 1), (sock.count, expect)  # + the mode event


def measure(repeats: int, events: int):
    loop = asyncio.new_event_loop()
    agent = Agent(events)
    makes = variants()
    for make in makes.values():  # warm up caches, free lists and specialised bytecode
        run_one(loop, make, agent, events)
    best = interleaved_best(
        {k: (lambda m=m: timed(lambda: run_one(loop, m, agent, events))) for k, m in makes.items()}, repeats
    )
    per_event = {k: v / events * 1e9 for k, v in best.items()}

    # Fixed cost of a turn: short turns of SHORT events, TURNS of them per timing.
    short = Agent(SHORT)

    def short_turns(make):
        for _ in range(TURNS):
            run_one(loop, make, short, SHORT)

    best = interleaved_best({k: (lambda m=m: timed(lambda: short_turns(m))) for k, m in makes.items()}, repeats)
    per_turn = {k: v / TURNS * 1e6 for k, v in best.items()}

    # Memory: the peak of Python allocations during one turn, and resident memory after many.
    peaks = {}
    for name, make in makes.items():
        gc.collect()
        tracemalloc.start()
        base = tracemalloc.get_traced_memory()[0]
        run_one(loop, make, agent, events)
        peaks[name] = tracemalloc.get_traced_memory()[1] - base
        tracemalloc.stop()
    small = Agent(20)
    rss = {}
    for name, make in makes.items():
        for _ in range(200):
            run_one(loop, make, small, 20)
        gc.collect()
        before = rss_bytes()
        for _ in range(5_000):
            run_one(loop, make, small, 20)
        gc.collect()
        rss[name] = rss_bytes() - before
    loop.close()
    return per_event, per_turn, peaks, rss


def report(per_event, per_turn, peaks, rss, repeats, events):
    floor, python, ours = per_event["floor"], per_event["pure Python"], per_event["ours"]
    print(f"standard turn, {events} events, best of {repeats} interleaved repeats")
    for name, ns in per_event.items():
        print(
            f"  {name:12s} {ns:8.1f} ns/event   peak {peaks[name] / 1024:7.1f} KiB/turn   "
            f"RSS growth over 5000 turns {rss[name] / 1024:7.1f} KiB"
        )
    print(f"  ours / pure Python = {ours / python:.3f}   (goal <= 1.00)")
    print(f"  ours / floor       = {ours / floor:.3f}   (goal <= 1.10)")
    stream = per_event["ours, session stream"]
    print(f"  session stream / ours = {stream / ours:.3f}   (goal <= 1.15)")
    print(f"turns of {SHORT} events (whole turn)")
    for name, us in per_turn.items():
        print(f"  {name:12s} {us:8.2f} us/turn")
    print(f"  ours / pure Python = {per_turn['ours'] / per_turn['pure Python']:.3f}")
    rows = [
        [
            name,
            f"{ns:.1f}",
            f"{ns / floor:.3f}",
            f"{ns / python:.3f}",
            f"{per_turn[name]:.2f}",
            f"{per_turn[name] / per_turn['pure Python']:.3f}",
            f"{peaks[name] / 1024:.1f}",
            f"{rss[name] / 1024:.0f}",
        ]
        for name, ns in per_event.items()
    ]
    table = write_table(
        "standard_turn",
        f"Standard chat turn: per-event cost ({events} events, best of {repeats})",
        [
            "variant",
            "ns/event",
            "/ floor",
            "/ pure Python",
            f"us per {SHORT}-event turn",
            "/ pure Python",
            "peak KiB per turn (tracemalloc)",
            "RSS growth over 5000 turns (KiB)",
        ],
        rows,
        [
            f"ours / pure Python = **{ours / python:.3f}** (goal <= 1.00)",
            f"ours / floor = **{ours / floor:.3f}** (goal <= 1.10)",
            f"ours with a session stream / ours = **{stream / ours:.3f}** (goal <= 1.15)",
        ],
    )
    bar_chart(
        "standard_turn",
        f"Standard chat turn: time per event ({events} events)",
        list(per_event),
        list(per_event.values()),
        "ns",
    )
    return table


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=60)
    ap.add_argument("--events", type=int, default=EVENTS)
    ap.add_argument("--one", help="run warm turns of this variant only and exit (for callgrind)")
    ap.add_argument("--turns", type=int, default=1, help="with --one: how many turns")
    args = ap.parse_args()
    if args.one:
        loop = asyncio.new_event_loop()
        make = variants()[args.one]
        agent = Agent(args.events)
        run_one(loop, make, agent, args.events)  # warm-up
        for _ in range(args.turns):
            run_one(loop, make, agent, args.events)
        return
    report(*measure(args.repeats, args.events), args.repeats, args.events)


if __name__ == "__main__":
    main()
