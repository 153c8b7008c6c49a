"""Instructions per operation of the gateway's other hot paths, counted by callgrind.

Wall-clock ratios on a shared machine swing with whatever else runs; instruction counts do not. Each
path runs in two processes, one with twice the operations of the other, and the difference divided by
the extra operations is the cost of one: `manager.broadcast` of one event to 50 in-memory sockets (written,
and with `_FAIR_BROADCAST`, beside the floor loop), one `_handle_message(ws, {"type": "ping"})`, one
`HeartbeatRunner.status()`, one event of a Computer Use turn and one event of a standard turn. All but
the broadcast are also counted for their Python references (`handler_references.py`), side by side.

    python bench/instructions.py                    # this build
    python bench/instructions.py --only "heartbeat status" --only "heartbeat status, Python"
    python bench/instructions.py --keep DIR         # keep the profiles: DIR/<path>.1 and .2
    python bench/instructions.py --python OTHER_PY  # and the build installed for another interpreter

With --keep, `PROFILE_EVENTS=<n> python bench/profile_diff.py DIR <path>` prints the cost of one
operation by function (n as printed); bench/profile.sh builds the unstripped modules that needs.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
PATHS = {
    "broadcast": 2_000,
    "broadcast, fair": 2_000,
    "broadcast, floor": 2_000,
    "ping": 20_000,
    "ping, Python": 20_000,
    "heartbeat status": 50_000,
    "heartbeat status, Python": 50_000,
    "Computer Use event": 1_800,
    "Computer Use event, Python": 1_800,
    "standard event": 5_000,
    "standard event, Python": 5_000,
}
REFERENCES = {
    "broadcast": "broadcast, floor",
    "broadcast, fair": "broadcast, floor",
    "ping": "ping, Python",
    "heartbeat status": "heartbeat status, Python",
    "Computer Use event": "Computer Use event, Python",
    "standard event": "standard event, Python",
}


sys.path.insert(0, str(HERE))


def run(path: str, n: int) -> None:
    from fakes import CU_CYCLE, Agent, CUAgent, Socket, install_host

    install_host()
    import handler_references as ref
    from tavrin.config import HeartbeatConfig
    from tavrin.core import heartbeat
    from tavrin.gateway import ws

    loop = asyncio.new_event_loop()
    if path.startswith("broadcast"):
        # The written broadcast (the module's default), the fair one (`_FAIR_BROADCAST`, where the build
        # has it), and the floor loop over the same kind of sockets.
        ws._FAIR_BROADCAST = path.endswith("fair")
        conns = [Socket() for _ in range(50)]
        ws.manager._connections = conns
        event = {"type": "info", "message": "hello", "session_id": "s1"}
        broadcast = (lambda m: ref.floor_broadcast(conns, m)) if path.endswith("floor") else ws.manager.broadcast

        async def many():
            for _ in range(n):
                await broadcast(event)
    elif path.startswith("ping"):
        sock, ping = Socket(), {"type": "ping"}
        dispatch = ref.python_handle_message if path.endswith("Python") else ws._handle_message

        async def many():
            for _ in range(n):
                await dispatch(sock, ping)
    elif path.startswith("heartbeat status"):
        runner_class = ref.PythonRunner if path.endswith("Python") else heartbeat.HeartbeatRunner
        runner = runner_class(HeartbeatConfig(), None)

        async def many():
            for _ in range(n):
                runner.status()
    elif path.startswith("standard event"):
        # n events as whole turns of the same agent, made before the turns (one process has one turn
        # more than the other, as in callgrind.py)
        turn = ref.python_standard_chat if path.endswith("Python") else ws._handle_standard_chat
        agent = Agent(PATHS["standard event"])

        async def many():
            for _ in range(n // len(agent.events)):
                await turn(Socket(), agent, "Open the settings", session_id="s1")
    else:
        # n events: a turn of whole cycles of every kind the agent reports (n is a multiple of the cycle).
        turn = ref.python_computer_use_chat if path.endswith("Python") else ws._handle_computer_use_chat
        agent = CUAgent(n // len(CU_CYCLE))

        async def many():
            await turn(Socket(), agent, "Open the settings", session_id="s1")

    loop.run_until_complete(many())
    loop.close()


def instructions(python: str, path: str, n: int, out: str) -> int:
    cmd = [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out}",
        python,
        str(Path(__file__).resolve()),
        "--one",
        path,
        "--n",
        str(n),
    ]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"), check=True)
    return int(re.search(r"Collected : (\d+)", proc.stderr).group(1))


def tag(path: str) -> str:
    return path.replace(" ", "_").replace(",", "")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--one")
    ap.add_argument("--n", type=int)
    ap.add_argument("--only", action="append", choices=list(PATHS), help="only these paths")
    ap.add_argument("--keep", type=Path, help="keep the profiles in this directory (for profile_diff.py)")
    ap.add_argument("--python", action="append", default=[], help="another interpreter whose build to count too")
    args = ap.parse_args()
    if args.one:
        run(args.one, args.n)
        return
    if args.keep:
        args.keep.mkdir(parents=True, exist_ok=True)
    for python in [sys.executable, *args.python]:
        print(python)
        counted = {}
        for path in args.only or PATHS:
            n = PATHS[path]
            out = [str(args.keep / f"{tag(path)}.{k}") if args.keep else "/dev/null" for k in (1, 2)]
            counted[path] = (instructions(python, path, 2 * n, out[1]) - instructions(python, path, n, out[0])) / n
            print(f"  {path:28s} {counted[path]:9.0f} instructions per operation   (n = {n})", flush=True)
        for ours, reference in REFERENCES.items():
            if ours in counted and reference in counted:
                print(f"  {ours} / {reference} = {counted[ours] / counted[reference]:.3f}")
        if python == sys.executable and len(counted) == len(PATHS):
            from harness import write_table

            write_table(
                "instructions",
                "Other hot paths: instructions per operation (callgrind)",
                ["path", "instructions/operation", "/ reference"],
                [
                    [p, f"{v:.0f}", f"{v / counted[REFERENCES[p]]:.3f}" if p in REFERENCES else ""]
                    for p, v in counted.items()
                ],
            )


if __name__ == "__main__":
    main()
