"""The gateway's other hot paths and the heartbeat's status, each against its Python reference.

- broadcast: `manager.broadcast` of one event to 50 in-memory sockets, written and fair (`_FAIR_BROADCAST`),
  against the floor loop.
- ping: `_handle_message(ws, {"type": "ping"})`, against a Python dispatcher with the same if-chain.
- Computer Use turn: `_handle_computer_use_chat` with an agent yielding every event kind many times,
  against the same turn written in Python.
- heartbeat status: `HeartbeatRunner.status()`, against the same method of a Python class.

All variants of one benchmark run in the same process and event loop, interleaved, best of the
repeats. Before timing, each pair is checked to produce the same output.
"""

from __future__ import annotations

import argparse
import asyncio
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from fakes import CU_CYCLE, CUAgent, Socket, install_host  # noqa: E402
from harness import bar_chart, interleaved_best, timed, write_table  # noqa: E402
import handler_references as ref  # noqa: E402

install_host()
from tavrin.config import HeartbeatConfig  # noqa: E402
from tavrin.core import heartbeat  # noqa: E402
from tavrin.gateway import ws  # noqa: E402

CONNECTIONS = 50
BROADCASTS = 1_000  # per timing
PINGS = 20_000  # per timing
CU_CYCLES = 2_000  # per turn: len(CU_CYCLE) events each
STATUS_CALLS = 100_000  # per timing


class Recorder:
    """A socket that keeps what it is sent, for the equivalence checks."""

    def __init__(self):
        self.sent = []

    async def send_json(self, data):
        self.sent.append(data)


def same_output(loop, a, b, what):
    ra, rb = Recorder(), Recorder()
    loop.run_until_complete(a(ra))
    loop.run_until_complete(b(rb))
    assert [list(d.items()) for d in ra.sent] == [list(d.items()) for d in rb.sent], what


def report(name, title, unit, figures, reference, goal, repeats, notes=()):
    ours = figures["ours"]
    ratio = ours / figures[reference]
    print(f"{title}, best of {repeats} interleaved repeats")
    for k, v in figures.items():
        print(f"  {k:28s} {v:10.1f} {unit}")
    print(f"  ours / {reference} = {ratio:.3f}   (goal <= {goal:.2f})")
    write_table(
        name,
        f"{title} (best of {repeats})",
        ["variant", unit, f"/ {reference}"],
        [[k, f"{v:.1f}", f"{v / figures[reference]:.3f}"] for k, v in figures.items()],
        [f"ours / {reference} = **{ratio:.3f}** (goal <= {goal:.2f})", *notes],
    )
    bar_chart(name, title, list(figures), list(figures.values()), unit)
    return ratio


def bench_broadcast(loop, repeats):
    message = {"type": "text", "content": "tok", "session_id": "s1"}
    mgr = ws.ConnectionManager()
    mgr._connections = [Socket() for _ in range(CONNECTIONS)]
    floor_conns = [Socket() for _ in range(CONNECTIONS)]

    async def ours():
        b = mgr.broadcast
        for _ in range(BROADCASTS):
            await b(message)

    fair_mgr = ws.ConnectionManager()
    fair_mgr._connections = [Socket() for _ in range(CONNECTIONS)]

    async def ours_fair():
        # the fair broadcast (`_FAIR_BROADCAST`, which our host turns on); every send completes at once
        ws._FAIR_BROADCAST = True
        try:
            b = fair_mgr.broadcast
            for _ in range(BROADCASTS):
                await b(message)
        finally:
            ws._FAIR_BROADCAST = False

    async def floor():
        for _ in range(BROADCASTS):
            await ref.floor_broadcast(floor_conns, message)

    variants = {"floor loop": floor, "ours": ours, "ours, fair": ours_fair}
    for v in variants.values():
        loop.run_until_complete(v())
    best = interleaved_best(
        {k: (lambda v=v: timed(lambda: loop.run_until_complete(v()))) for k, v in variants.items()}, repeats
    )
    assert all(s.count == mgr._connections[0].count for s in mgr._connections + fair_mgr._connections + floor_conns)
    figures = {k: t / BROADCASTS * 1e9 for k, t in best.items()}
    return report(
        "broadcast",
        f"manager.broadcast to {CONNECTIONS} in-memory sockets",
        "ns/broadcast",
        figures,
        "floor loop",
        1.10,
        repeats,
    )


def bench_ping(loop, repeats):
    message = {"type": "ping"}
    same_output(loop, lambda s: ws._handle_message(s, message), lambda s: ref.python_handle_message(s, message), "ping")
    same_output(
        loop,
        lambda s: ws._handle_message(s, {"type": 5}),
        lambda s: ref.python_handle_message(s, {"type": 5}),
        "unknown type",
    )
    sock = Socket()

    async def ours():
        h = ws._handle_message
        for _ in range(PINGS):
            await h(sock, message)

    async def python():
        h = ref.python_handle_message
        for _ in range(PINGS):
            await h(sock, message)

    variants = {"Python dispatcher": python, "ours": ours}
    for v in variants.values():
        loop.run_until_complete(v())
    best = interleaved_best(
        {k: (lambda v=v: timed(lambda: loop.run_until_complete(v()))) for k, v in variants.items()}, repeats
    )
    figures = {k: t / PINGS * 1e9 for k, t in best.items()}
    return report(
        "ping", '_handle_message(ws, {"type": "ping"})', "ns/message", figures, "Python dispatcher", 0.80, repeats
    )


def bench_computer_use(loop, repeats):
    agent = CUAgent(CU_CYCLES)
    events = len(agent.events)
    text = "Open the settings and turn on dark mode"
    small = CUAgent(3)
    same_output(
        loop,
        lambda s: ws._handle_computer_use_chat(s, small, text, session_id="s1"),
        lambda s: ref.python_computer_use_chat(s, small, text, session_id="s1"),
        "Computer Use turn",
    )

    def run(make):
        sock = Socket()
        loop.run_until_complete(make(sock))
        assert sock.count == events + 1, sock.count  # + the mode event

    variants = {
        "pure Python": lambda s: ref.python_computer_use_chat(s, agent, text, session_id="s1"),
        "ours": lambda s: ws._handle_computer_use_chat(s, agent, text, session_id="s1"),
    }
    for v in variants.values():
        run(v)
    best = interleaved_best({k: (lambda v=v: timed(lambda: run(v))) for k, v in variants.items()}, repeats)
    figures = {k: t / events * 1e9 for k, t in best.items()}
    return report(
        "computer_use_turn",
        f"Computer Use turn: per-event cost ({events} events of {len(CU_CYCLE)} kinds)",
        "ns/event",
        figures,
        "pure Python",
        0.75,
        repeats,
    )


def bench_status(repeats):
    async def on_beat(prompt):
        pass

    config = HeartbeatConfig()
    ours, python = heartbeat.HeartbeatRunner(config, on_beat), ref.PythonRunner(config, on_beat)
    assert ours.status() == python.status() and list(ours.status()) == list(python.status())

    def calls(status):
        for _ in range(STATUS_CALLS):
            status()

    variants = {"pure Python": python.status, "ours": ours.status}
    for v in variants.values():
        calls(v)
    best = interleaved_best({k: (lambda v=v: timed(lambda: calls(v))) for k, v in variants.items()}, repeats)
    figures = {k: t / STATUS_CALLS * 1e9 for k, t in best.items()}
    return report("heartbeat_status", "HeartbeatRunner.status()", "ns/call", figures, "pure Python", 0.60, repeats)


BENCHES = ["broadcast", "ping", "computer_use", "status"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=30)
    ap.add_argument("--only", action="append", choices=BENCHES)
    args = ap.parse_args()
    loop = asyncio.new_event_loop()
    for name in args.only or BENCHES:
        if name == "status":
            bench_status(args.repeats)
        else:
            globals()[f"bench_{name}"](loop, args.repeats)
    loop.close()


if __name__ == "__main__":
    main()
