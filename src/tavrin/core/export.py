"""A stored conversation as a file to keep: Markdown to read, JSON with everything the store holds.

Both take what ``ConversationStore.export_conversation`` gives. The Markdown is for people: the
messages and replies as they were written, each step of a turn in a line or a fenced block, and
how a turn ended when it did not simply finish. The JSON is the store's own record, every message
with its role, content, meta (tool arguments and results, decisions, attachments) and time.
"""

from __future__ import annotations

import json
import re
import time
import unicodedata
from typing import Any

FORMAT_VERSION = 1
# A tool's arguments or result longer than this is cut in the Markdown (the JSON keeps it whole).
MAX_BLOCK_CHARS = 4000

_OUTCOME_WORDS = {
    "stopped": "Stopped",
    "cancelled": "Cancelled",
    "error": "Ended with an error",
    "interrupted": "Interrupted by a restart of the server",
}


def to_json(data: dict, tab_name: str | None = None) -> str:
    record = {
        "format": "tavrin-conversation",
        "version": FORMAT_VERSION,
        "exported_at": time.time(),
        "tab": tab_name,
        **data,
    }
    return json.dumps(record, ensure_ascii=False, indent=2, allow_nan=False)


def to_markdown(data: dict, tab_name: str | None = None) -> str:
    conv = data["conversation"]
    count = conv.get("message_count", 0)
    about = [f"{count} message{'' if count == 1 else 's'}", f"started {_when(conv['created_at'])}"]
    if tab_name:
        about.insert(0, f"tab {_inline(tab_name)}")
    out = [f"# {_inline(conv['title'])}", "", f"*{' · '.join(about)} · exported from Tavrin {_when(time.time())}*"]
    for msg in data["messages"]:
        out += ["", *_message(msg)]
    return "\n".join(out) + "\n"


def _message(msg: dict) -> list[str]:
    role, content, meta = msg["role"], msg["content"], msg.get("meta") or {}
    when = _when(msg["created_at"])
    if role == "user":
        who = "You" if not meta.get("connector") else f"{_inline(meta.get('sender') or 'connector')} (connector)"
        lines = [f"### {who} · {when}", "", content]
        for item in meta.get("attachments") or ():
            if isinstance(item, dict):
                lines.append(f"- attached: {_inline(str(item.get('name', 'a file')))} ({item.get('type', '?')})")
        return lines
    if role == "assistant":
        return [f"### Tavrin · {when}", "", content]
    if role == "heartbeat":
        return [f"### Heartbeat check-in · {when}", "", content]
    if role == "thinking":
        return [f"> *Thinking:* {_inline(content)}"]
    if role == "tool_call":
        return [f"**Tool call** `{_inline(meta.get('tool', content))}`", *_block(meta.get("arguments"), "json")]
    if role == "tool_result":
        name = f"**Result of** `{_inline(meta.get('tool', content))}`"
        if meta.get("screenshot"):
            return [f"{name}: a screenshot (in the JSON export)"]
        if meta.get("error"):
            return [f"{name}, failed", *_block(meta.get("error"), "")]
        return [name, *_block(meta.get("result"), "")]
    if role == "approval":
        decision = meta.get("decision") or "not decided"
        return [f"**Approval** for `{_inline(meta.get('tool', content))}`: {decision}"]
    if role == "outcome":
        outcome = meta.get("outcome")
        if outcome == "done":
            return ["---"]
        return [f"*{_inline(content or _OUTCOME_WORDS.get(str(outcome), str(outcome)))}*", "", "---"]
    return [f"*{_inline(role)}:* {_inline(content)}"]


def _block(value: Any, language: str) -> list[str]:
    """A fenced block that nothing in the value can close early."""
    if value is None or value == "" or value == {}:
        return []
    text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False, indent=2, allow_nan=False)
    if len(text) > MAX_BLOCK_CHARS:
        text = text[:MAX_BLOCK_CHARS] + "\n… (cut; the JSON export has all of it)"
    longest = max((len(run) for run in re.findall(r"`+", text)), default=0)
    fence = "`" * max(3, longest + 1)
    return [f"{fence}{language}", text, fence]


def _inline(text: str) -> str:
    """One line of text (a title, a name) that starts no Markdown block of its own."""
    return " ".join(str(text).split())


def _when(seconds: float) -> str:
    return time.strftime("%Y-%m-%d %H:%M", time.localtime(seconds))


def filename(title: str, extension: str) -> tuple[str, str]:
    """The file's name for an export: as the title has it (letters of any script kept), and an
    ASCII one for clients that know no other. Neither can leave the download folder."""
    cleaned = re.sub(r"[^\w\- ]+", " ", unicodedata.normalize("NFC", title))
    cleaned = "-".join(cleaned.split())[:80].strip("-_.") or "conversation"
    ascii_name = unicodedata.normalize("NFKD", cleaned).encode("ascii", "ignore").decode()
    ascii_name = re.sub(r"[^A-Za-z0-9\-_]+", "", ascii_name).strip("-_") or "conversation"
    return f"{cleaned}.{extension}", f"{ascii_name}.{extension}"
