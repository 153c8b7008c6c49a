"""The gateway's table of interned names holds only names some source uses, each once."""

from __future__ import annotations

import re
from pathlib import Path

NATIVE = Path(__file__).resolve().parent.parent / "native" / "gateway" / "ws"


def test_every_interned_name_is_used_and_listed_once():
    # catches: entries left behind when their last use goes, and one listed under two kinds
    header = (NATIVE / "gateway.hpp").read_text()
    tables = header[header.index("#define TV_MODULE_NAMES") : header.index("#define TV_NAMES(X)")]
    names = re.findall(r"X\((\w+)\)", tables)
    assert names and len(names) == len(set(names)), sorted(n for n in names if names.count(n) > 1)
    sources = "".join(p.read_text() for p in sorted(NATIVE.glob("*.[ch]pp"))).replace(tables, "")
    unused = [n for n in names if not re.search(r"\bn\." + n + r"\b", sources)]
    assert unused == []
