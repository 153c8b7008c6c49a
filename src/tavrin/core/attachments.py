"""Files the user attaches to a chat message.

A chat message may carry ``attachments``: a list of ``{"name": str, "type": MIME type,
"data": base64}``. Pictures go to the model as image parts (when it accepts images), text
files as text; both are bounded in size and count. The store keeps a bounded record of each
(name, type, size; the first part of a text file, a thumbnail of a PNG), never the raw bytes.
"""

from __future__ import annotations

import base64
import binascii
from dataclasses import dataclass
from typing import Any

from tavrin.core.history import MAX_THUMBNAIL_BASE64
from tavrin.core.png import thumbnail_png

MAX_COUNT = 8
MAX_IMAGE_BYTES = 512 * 1024
MAX_TEXT_BYTES = 64 * 1024
MAX_TOTAL_BYTES = 1024 * 1024
# What the store keeps of a text file, and so what later turns see of it.
STORED_TEXT_CHARS = 4000
IMAGE_TYPES = frozenset({"image/png", "image/jpeg", "image/gif", "image/webp"})
TEXT_TYPES = frozenset({"application/json", "application/xml", "application/yaml", "application/x-yaml",
                        "application/toml", "application/javascript", "application/x-sh", "application/sql"})
# Types a browser gives a file it cannot name: text when the bytes are text.
VAGUE_TYPES = frozenset({"", "application/octet-stream"})


class AttachmentError(ValueError):
    """An attachment that cannot be sent, told in one sentence."""


@dataclass
class Attachment:
    name: str
    type: str
    data: bytes
    text: str | None = None  # the decoded text of a text file; None for a picture

    def part(self) -> dict:
        """The attachment as a part of the user's chat message."""
        if self.text is None:
            url = f"data:{self.type};base64," + base64.b64encode(self.data).decode()
            return {"type": "image_url", "image_url": {"url": url}}
        return {"type": "text", "text": f"Attached file {self.name} ({self.type or 'text'}):\n{fenced(self.text)}"}

    def record(self) -> dict:
        """What the store keeps of it."""
        rec: dict[str, Any] = {"name": self.name, "type": self.type, "size": len(self.data)}
        if self.text is not None:
            rec["text"] = self.text[:STORED_TEXT_CHARS]
            if len(self.text) > STORED_TEXT_CHARS:
                rec["truncated"] = True
        elif self.type == "image/png":
            # As a screenshot is kept: a small PNG, when one can be made within the bound.
            thumb = thumbnail_png(self.data)
            encoded = base64.b64encode(thumb).decode() if thumb else ""
            if encoded and len(encoded) <= MAX_THUMBNAIL_BASE64:
                rec["thumbnail_base64"] = encoded
        return rec


def fenced(text: str) -> str:
    fence = "```"
    while fence in text:
        fence += "`"
    return f"{fence}\n{text}\n{fence}"


def _size(n: int) -> str:
    return f"{n // 1024} KiB" if n % 1024 == 0 else f"{n:,} bytes"


def read(value: Any, *, images: bool, where: str) -> list[Attachment]:
    """The attachments of a chat message, checked; ``images``: whether the model accepts them
    (``where`` names it in the error)."""
    if not value:
        return []
    if not isinstance(value, list):
        raise AttachmentError("The attachments must be a list of files, each with a name, a type and base64 data.")
    if len(value) > MAX_COUNT:
        raise AttachmentError(f"A message can carry at most {MAX_COUNT} attachments; this one has {len(value)}.")
    found, total = [], 0
    for i, item in enumerate(value, 1):
        if not isinstance(item, dict) or not isinstance(item.get("data"), str):
            raise AttachmentError(f"Attachment {i} is not a file with a name, a type and base64 data.")
        name = str(item.get("name") or f"attachment {i}")[:200]
        kind = str(item.get("type") or "").split(";")[0].strip().lower()
        try:
            data = base64.b64decode(item["data"], validate=True)
        except (binascii.Error, ValueError):
            raise AttachmentError(f"The attachment {name} is not valid base64 data.") from None
        total += len(data)
        if kind in IMAGE_TYPES:
            if len(data) > MAX_IMAGE_BYTES:
                raise AttachmentError(f"The picture {name} is too big ({_size(len(data))}; at most "
                                      f"{_size(MAX_IMAGE_BYTES)}).")
            if not images:
                raise AttachmentError(f"{where[0].upper()}{where[1:]} does not accept images, so the picture "
                                      f"{name} cannot be sent to it.")
            found.append(Attachment(name, kind, data))
            continue
        text = _text(data) if kind.startswith("text/") or kind in TEXT_TYPES or kind in VAGUE_TYPES else None
        if text is None:
            raise AttachmentError(f"The attachment {name} is of a kind that cannot be sent ({kind or 'unknown'}): "
                                  "attach a picture (PNG, JPEG, GIF, WebP) or a text file.")
        if len(data) > MAX_TEXT_BYTES:
            raise AttachmentError(f"The file {name} is too big ({_size(len(data))}; at most {_size(MAX_TEXT_BYTES)}).")
        found.append(Attachment(name, kind, data, text))
    if total > MAX_TOTAL_BYTES:
        raise AttachmentError(f"The attachments are too big together ({_size(total)}; at most {_size(MAX_TOTAL_BYTES)}).")
    return found


def _text(data: bytes) -> str | None:
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return None
    return None if "\x00" in text else text


def describe(value: Any) -> list[dict]:
    """A bounded record of attachments that could not be read, for the store."""
    if not isinstance(value, list):
        return []
    records = []
    for item in value[:MAX_COUNT]:
        if isinstance(item, dict):
            data = item.get("data")
            records.append({"name": str(item.get("name") or "")[:200], "type": str(item.get("type") or "")[:100],
                            "size": len(data) * 3 // 4 if isinstance(data, str) else 0})
    return records


def recalled(records: Any) -> str:
    """Stored attachment records as text for a later turn: the kept text of files; pictures by name."""
    if not isinstance(records, list):
        return ""
    out = []
    for rec in records:
        if not isinstance(rec, dict):
            continue
        name = rec.get("name") or "a file"
        if isinstance(rec.get("text"), str):
            cut = " (only its beginning was kept)" if rec.get("truncated") else ""
            out.append(f"Attached file {name}{cut}:\n{fenced(rec['text'])}")
        else:
            out.append(f"(The user attached {name}, {rec.get('type') or 'a file'}; it is not shown again.)")
    return "\n\n".join(out)
