"""Instructions per operation of the gateway's other hot paths, counted by callgrind.

Wall-clock ratios on a shared machine swing with whatever else runs; instruction counts do not. Each
path runs in two processes, one with twice the operations of the other, and the difference divided by
the extra operations is the cost of one: `manager.broadcast` of one event to 50 in-memory sockets, one
`_handle_message(ws, {"type": "ping"})`, one `HeartbeatRunner.status()`.

    python bench/instructions.py                    # this build
    python bench/instructions.py --python OTHER_PY  # and the build installed for another interpreter
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
PATHS = {"broadcast": 2_000, "ping": 20_000, "heartbeat status": 50_000}


def run(path: str, n: int) -> None:
    sys.path.insert(0, str(HERE))
    from fakes import Socket, install_host

    install_host()
    from tavrin.config import HeartbeatConfig
    from tavrin.core import heartbeat
    from tavrin.gateway import ws

    loop = asyncio.new_event_loop()
    if path == "broadcast":
        ws.manager._connections = [Socket() for _ in range(50)]
        event = {"type": "info", "message": "hello", "session_id": "s1"}

        async def many():
            for _ in range(n):
                await ws.manager.broadcast(event)
    elif path == "ping":
        sock, ping = Socket(), {"type": "ping"}

        async def many():
            for _ in range(n):
                await ws._handle_message(sock, ping)
    else:
        runner = heartbeat.HeartbeatRunner(HeartbeatConfig(), None)

        async def many():
            for _ in range(n):
                runner.status()
    loop.run_until_complete(many())


def instructions(python: str, path: str, n: int) -> int:
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", python, str(Path(__file__).resolve()),
           "--one", path, "--n", str(n)]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"), check=True)
    return int(re.search(r"Collected : (\d+)", proc.stderr).group(1))


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--one")
    ap.add_argument("--n", type=int)
    ap.add_argument("--python", action="append", default=[], help="another interpreter whose build to count too")
    args = ap.parse_args()
    if args.one:
        run(args.one, args.n)
        return
    for python in [sys.executable, *args.python]:
        print(python)
        for path, n in PATHS.items():
            per_op = (instructions(python, path, 2 * n) - instructions(python, path, n)) / n
            print(f"  {path:18s} {per_op:9.0f} instructions per operation")


if __name__ == "__main__":
    main()
