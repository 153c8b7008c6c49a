"""Leaves packages out of a pip-compile lock, with whatever only they pulled in.

    python requirements/prune_lock.py requirements/llm.lock PACKAGE

A package goes when every package it is there for ("# via") has gone; the "# via" notes of the
packages that stay lose the names that went. The lock is then installed with --no-deps, so pip
brings in nothing it does not list.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path


def entries(text: str) -> tuple[str, list[tuple[str, list[str], list[str]]]]:
    """The header, then (name, lines, via) for each pinned package, in order."""
    head, blocks = [], []
    for line in text.splitlines():
        m = re.match(r"^([A-Za-z0-9_.-]+)==", line)
        if m:
            blocks.append((m.group(1).lower(), [line], []))
        elif blocks:
            blocks[-1][1].append(line)
            v = re.match(r"^\s+#\s+(?:via\s+)?([A-Za-z0-9_.-]+)\s*$", line)
            if v and v.group(1) != "via":
                blocks[-1][2].append(v.group(1).lower())
        else:
            head.append(line)
    return "\n".join(head), blocks


def prune(text: str, drop: set[str]) -> str:
    head, blocks = entries(text)
    gone = set(drop)
    while True:
        more = {name for name, _, via in blocks if name not in gone and via and all(v in gone for v in via)}
        if not more:
            break
        gone |= more
    out = [head] if head else []
    for name, lines, _ in blocks:
        if name in gone:
            continue
        kept = [line for line in lines
                if not ((m := re.match(r"^\s+#\s+(?:via\s+)?([A-Za-z0-9_.-]+)\s*$", line)) and m.group(1).lower() in gone)]
        # "# via" with nothing left under it goes too.
        if kept and kept[-1].strip() == "# via":
            kept.pop()
        out.extend(kept)
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    path = Path(sys.argv[1])
    path.write_text(prune(path.read_text(), {n.lower() for n in sys.argv[2:]}))
