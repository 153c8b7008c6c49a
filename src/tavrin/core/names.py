"""How long the names a client gives may be: a tab's name and icon, a conversation's title.

Names are sent to every window in every session list, so one client's megabyte-long name would
slow every page down. They are cut on characters, and never inside what a reader sees as one
character: an accent stays with its letter, an emoji with its skin tone and the emoji it is
joined to, a flag's two letters together.
"""

from __future__ import annotations

import unicodedata
from typing import Any

# Characters of a tab's name and of a conversation's title.
NAME_LIMIT = 100
# Characters of a tab's icon: enough for the longest emoji sequences (about ten characters).
ICON_LIMIT = 16

_ZWJ = "\u200d"


def _extends(c: str) -> bool:
    """Whether ``c`` belongs to the character before it."""
    code = ord(c)
    return (
        unicodedata.category(c) in ("Mn", "Me", "Mc")  # combining marks, variation selectors among them
        or code == 0x200D  # zero width joiner
        or 0x1F3FB <= code <= 0x1F3FF  # skin tones
        or 0xE0020 <= code <= 0xE007F  # the tags of a subdivision flag
        or 0xDC00 <= code <= 0xDFFF  # the second half of a surrogate pair kept as such
    )


def _regional(c: str) -> bool:
    return "\U0001f1e6" <= c <= "\U0001f1ff"


def _breaks_at(text: str, i: int) -> bool:
    """Whether ``text`` may be cut between ``text[i - 1]`` and ``text[i]``."""
    before, after = text[i - 1], text[i]
    if _extends(after) or before == _ZWJ or (before == "\r" and after == "\n"):
        return False
    if _regional(before) and _regional(after):
        run = 0
        while i - run > 0 and _regional(text[i - run - 1]):
            run += 1
        return run % 2 == 0  # an odd run ends with the first letter of a flag
    return True


def cut(text: str, limit: int) -> str:
    """``text`` cut to at most ``limit`` characters, at the last place where nothing is split.

    A single cluster longer than ``limit`` (a letter under a pile of accents) is cut inside, at
    ``limit``, rather than kept whole."""
    if len(text) <= limit:
        return text
    end = limit
    while end > 0 and not _breaks_at(text, end):
        end -= 1
    return text[:end] if end else text[:limit]


def display_name(value: Any) -> str:
    """A tab's name as the host keeps it."""
    return cut(value if type(value) is str else str(value), NAME_LIMIT)


def icon(value: Any) -> str:
    """A tab's icon as the host keeps it."""
    return cut(value if type(value) is str else str(value), ICON_LIMIT)
