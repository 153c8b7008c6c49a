"""Instructions per event of each standard-turn variant, counted by callgrind.

Instruction counts do not depend on the machine's load, so they make ratios that repeat exactly.
Each variant runs in two processes, one warm turn more in the second; the difference divided by
the number of events is the cost of one event, free of start-up and set-up.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import write_table  # noqa: E402

VARIANTS = ["floor", "pure Python", "ours", "ours, session stream"]
EVENTS = 5_000


def instructions(variant: str, turns: int, out: Path) -> int:
    cmd = [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out}",
        sys.executable,
        str(HERE / "standard_turn.py"),
        "--one",
        variant,
        "--events",
        str(EVENTS),
        "--turns",
        str(turns),
    ]
    env = dict(os.environ, PYTHONHASHSEED="0")
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env, check=True)
    m = re.search(r"Collected : (\d+)", proc.stderr)
    return int(m.group(1))


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--keep", type=Path, help="keep the profiles in this directory (for profile_diff.py)")
    ap.add_argument("--variant", action="append", choices=VARIANTS, help="only these variants")
    args = ap.parse_args()
    if not shutil.which("valgrind"):
        print("valgrind not found: instruction counts skipped")
        return
    variants = args.variant or VARIANTS
    per_event = {}
    with tempfile.TemporaryDirectory() as tmp:
        out = args.keep or Path(tmp)
        out.mkdir(parents=True, exist_ok=True)
        for v in variants:
            tag = v.replace(" ", "_").replace(",", "")
            one = instructions(v, 1, out / f"{tag}.1")
            two = instructions(v, 2, out / f"{tag}.2")
            per_event[v] = (two - one) / EVENTS
    print(f"standard turn, instructions per event (callgrind, {EVENTS} events)")
    for v, n in per_event.items():
        print(f"  {v:20s} {n:8.0f} instructions/event")
    if len(per_event) < len(VARIANTS):
        return
    floor, python, ours = per_event["floor"], per_event["pure Python"], per_event["ours"]
    stream = per_event["ours, session stream"]
    print(
        f"  ours / pure Python = {ours / python:.3f}   ours / floor = {ours / floor:.3f}   "
        f"session stream / ours = {stream / ours:.3f}"
    )
    write_table(
        "standard_turn_instructions",
        f"Standard chat turn: instructions per event (callgrind, {EVENTS} events)",
        ["variant", "instructions/event", "/ floor", "/ pure Python"],
        [[v, f"{n:.0f}", f"{n / floor:.3f}", f"{n / python:.3f}"] for v, n in per_event.items()],
        [
            f"ours / pure Python = **{ours / python:.3f}**",
            f"ours / floor = **{ours / floor:.3f}**",
            f"ours with a session stream / ours = **{stream / ours:.3f}**",
        ],
    )


if __name__ == "__main__":
    main()
