"""`make bench`: every benchmark in turn; results in bench/results/ (Markdown tables and PNG charts).

Set BENCH_CALLGRIND=0 to skip the instruction counts (they take a few minutes under valgrind),
BENCH_SERVER=0 to skip the runs through a real server, BENCH_MEMORY=0 to skip the long memory runs
(100,000 turns and 10,000 connections through a real server, then the same server with session
streams and reconnecting clients: a minute or two each).
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def run(script: str, *args: str) -> None:
    print(f"\n== {script} {' '.join(args)}", flush=True)
    subprocess.run([sys.executable, str(HERE / script), *args], check=True)


def main() -> None:
    run("standard_turn.py")
    run("handlers.py")
    try:
        import litellm  # noqa: F401  (the llm extra)
    except ImportError:
        print("\n== llm_turn.py skipped: the llm extra is not installed", flush=True)
    else:
        run("llm_turn.py")
        if shutil.which("Xvfb"):
            run("computer_use.py")
        else:
            print("\n== computer_use.py skipped: Xvfb is not installed", flush=True)
    if os.environ.get("BENCH_SERVER", "1") != "0":
        run("server.py")
        run("broadcast_server.py")
    if os.environ.get("BENCH_MEMORY", "1") != "0":
        run("memory.py")
        run("memory.py", "--streams")
    if os.environ.get("BENCH_CALLGRIND", "1") != "0":
        run("callgrind.py")
        run("instructions.py")
    parts = [p.read_text() for p in sorted((HERE / "results").glob("*.md")) if p.name != "summary.md"]
    (HERE / "results" / "summary.md").write_text("\n".join(parts))
    print(f"\nresults in {HERE / 'results'}")


if __name__ == "__main__":
    main()
