"""Per-event profile by function: the difference of two callgrind profiles, one turn apart.

    python bench/profile_diff.py DIR VARIANT [N]

DIR holds the profiles `callgrind.py DIR` kept (VARIANT.1 and VARIANT.2, with spaces as "_").
Prints the N functions with the most instructions per event. PROFILE_EVENTS sets the number of events
(or calls) the two profiles differ by, for profiles made by other drivers than callgrind.py.
"""

from __future__ import annotations

import re
import subprocess
import sys
from collections import Counter
from pathlib import Path

import os
from callgrind import EVENTS

EVENTS = int(os.environ.get("PROFILE_EVENTS", EVENTS))

LINE = re.compile(r"^\s*([\d,]+)\s+\([^)]*\)\s+(.*)$")


def by_function(path: Path) -> Counter:
    out = subprocess.run(
        ["callgrind_annotate", "--threshold=100", "--inclusive=no", "--auto=no", "--tree=none", str(path)],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    counts = Counter()
    for line in out.splitlines():
        m = LINE.match(line)
        if m and "PROGRAM TOTALS" not in line:
            name = re.sub(r"'\d+", "", m.group(2).split(" [")[0])  # fold recursion levels together
            name = re.sub(r"^.*/(Python-[\d.]+|wt-[^/]+)/", "", name)
            counts[name] += int(m.group(1).replace(",", ""))
    return counts


def main() -> None:
    d, variant = Path(sys.argv[1]), sys.argv[2].replace(" ", "_").replace(",", "")
    top = int(sys.argv[3]) if len(sys.argv) > 3 else 40
    diff = by_function(d / f"{variant}.2")
    diff.subtract(by_function(d / f"{variant}.1"))
    total = sum(diff.values())
    print(f"{variant}: {total / EVENTS:.0f} instructions per event")
    for name, n in diff.most_common(top):
        print(f"{n / EVENTS:8.1f}  {name}")


if __name__ == "__main__":
    main()
