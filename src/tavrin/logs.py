"""Log lines that a client cannot forge.

A value that comes from a client (a session id, a title, a message text, an origin) goes into a
log line through ``log_value()``: control characters are escaped the way ``repr()`` writes them and
the value is cut to 200 characters plus "…", so it can neither start a record of its own nor blow a
line up. The bidirectional-text controls count as control characters: a right-to-left override
would otherwise make a terminal or an editor show a line in an order other than the one it has.
The gateway's native log lines use the same rule. ``SafeFormatter``, the server's log format,
escapes whatever control characters are left in a message as a second line of defence; tracebacks
keep their own lines, each escaped the same way.
"""

from __future__ import annotations

import logging
import re

LOG_VALUE_LIMIT = 200

# C0 and C1 controls, DEL, the Unicode line and paragraph separators, and the bidirectional
# controls: embeddings and overrides, isolates, and the left-to-right, right-to-left and Arabic marks.
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069\u200e\u200f\u061c]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(match: re.Match) -> str:
    c = match.group()
    if c in _NAMED:
        return _NAMED[c]
    code = ord(c)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def escape_controls(text: str) -> str:
    return _CONTROL.sub(_escape, text)


def escape_lines(text: str) -> str:
    """Every line of ``text`` escaped, the line breaks kept: for a traceback."""
    return "\n".join(escape_controls(line) for line in text.split("\n"))


def log_value(value, limit: int = LOG_VALUE_LIMIT) -> str:
    """``str(value)`` as it may appear in a log line: cut, then control characters escaped."""
    text = value if type(value) is str else str(value)
    if len(text) > limit:
        text = text[:limit] + "…"
    return escape_controls(text)


class SafeFormatter(logging.Formatter):
    """A formatter whose message part is always one line; the traceback, if any, follows it."""

    def formatMessage(self, record: logging.LogRecord) -> str:
        record.message = escape_controls(record.message)
        return super().formatMessage(record)

    def format(self, record: logging.LogRecord) -> str:
        # The message is one escaped line by now; what follows it is the traceback and the stack,
        # whose lines may quote a client's text in an exception's message.
        return escape_lines(super().format(record))
