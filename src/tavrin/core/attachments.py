"""Files the user attaches to a chat message.

A chat message may carry ``attachments``: a list of ``{"name": str, "type": MIME type,
"data": base64}``, a picture also ``"thumbnail"``: base64 of a small JPEG or PNG of it (the page
makes one). Pictures go to the model as image parts (when it accepts images), text files as
text; both are bounded in size and count. The store keeps a bounded record of each (name, type,
size; the first part of a text file, a picture's thumbnail), never the raw bytes.

A picture's thumbnail is the one the sender made, when it is what it claims to be (a JPEG or PNG
no larger than a thumbnail, within the store's bound); the page can draw every picture it can
show, where this module decodes PNG only. Without one, a PNG gets a thumbnail made here.
"""

from __future__ import annotations

import base64
import binascii
import struct
from dataclasses import dataclass
from typing import Any

from tavrin.core.history import MAX_THUMBNAIL_BASE64
from tavrin.core.png import THUMBNAIL_HEIGHT, THUMBNAIL_WIDTH, thumbnail_png

MAX_COUNT = 8
MAX_IMAGE_BYTES = 512 * 1024
MAX_TEXT_BYTES = 64 * 1024
MAX_TOTAL_BYTES = 1024 * 1024
# What the store keeps of a text file, and so what later turns see of it.
STORED_TEXT_CHARS = 4000
IMAGE_TYPES = frozenset({"image/png", "image/jpeg", "image/gif", "image/webp"})
TEXT_TYPES = frozenset(
    {
        "application/json",
        "application/xml",
        "application/yaml",
        "application/x-yaml",
        "application/toml",
        "application/javascript",
        "application/x-sh",
        "application/sql",
    }
)
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
    thumbnail: tuple[str, str] | None = None  # a picture's checked thumbnail: (type, base64)

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
        elif self.thumbnail is not None:
            rec["thumbnail_type"], rec["thumbnail_base64"] = self.thumbnail
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
                raise AttachmentError(
                    f"The picture {name} is too big ({_size(len(data))}; at most {_size(MAX_IMAGE_BYTES)})."
                )
            if not images:
                raise AttachmentError(
                    f"{where[0].upper()}{where[1:]} does not accept images, so the picture {name} cannot be sent to it."
                )
            found.append(Attachment(name, kind, data, thumbnail=thumbnail(item.get("thumbnail"))))
            continue
        text = _text(data) if kind.startswith("text/") or kind in TEXT_TYPES or kind in VAGUE_TYPES else None
        if text is None:
            raise AttachmentError(
                f"The attachment {name} is of a kind that cannot be sent ({kind or 'unknown'}): "
                "attach a picture (PNG, JPEG, GIF, WebP) or a text file."
            )
        if len(data) > MAX_TEXT_BYTES:
            raise AttachmentError(f"The file {name} is too big ({_size(len(data))}; at most {_size(MAX_TEXT_BYTES)}).")
        found.append(Attachment(name, kind, data, text))
    if total > MAX_TOTAL_BYTES:
        raise AttachmentError(
            f"The attachments are too big together ({_size(total)}; at most {_size(MAX_TOTAL_BYTES)})."
        )
    return found


def thumbnail(value: Any) -> tuple[str, str] | None:
    """``value`` as ``(type, base64)`` when it is the base64 of a JPEG or PNG of at most a
    thumbnail's size, within the store's bound; else None (it is left out, never refused)."""
    if not isinstance(value, str) or not value or len(value) > MAX_THUMBNAIL_BASE64:
        return None
    try:
        data = base64.b64decode(value, validate=True)
    except (binascii.Error, ValueError):
        return None
    found = _picture_size(data)
    if found is None:
        return None
    kind, width, height = found
    if not (0 < width <= THUMBNAIL_WIDTH and 0 < height <= THUMBNAIL_HEIGHT):
        return None
    return kind, value


def _picture_size(data: bytes) -> tuple[str, int, int] | None:
    """The type, width and height a PNG or a whole JPEG file declares; None for anything else."""
    if data.startswith(b"\x89PNG\r\n\x1a\n") and data[12:16] == b"IHDR" and len(data) >= 24:
        width, height = struct.unpack(">II", data[16:24])
        return "image/png", width, height
    if not (data.startswith(b"\xff\xd8") and data.endswith(b"\xff\xd9")):
        return None
    pos = 2
    while pos + 4 <= len(data):  # the segments up to the frame header, which holds the size
        if data[pos] != 0xFF:
            return None
        marker = data[pos + 1]
        if marker == 0xFF:  # fill byte
            pos += 1
            continue
        if marker in (0xD8, 0x01) or 0xD0 <= marker <= 0xD7:  # no length
            pos += 2
            continue
        if marker in (0xD9, 0xDA):  # the end, or image data before any frame header
            return None
        (length,) = struct.unpack(">H", data[pos + 2 : pos + 4])
        if length < 2:
            return None
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            if pos + 9 > len(data):
                return None
            height, width = struct.unpack(">HH", data[pos + 5 : pos + 9])
            return "image/jpeg", width, height
        pos += 2 + length
    return None


def _text(data: bytes) -> str | None:
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return None
    return None if "\x00" in text else text


def describe(value: Any) -> list[dict]:
    """A bounded record of attachments that could not be read (or that an agent does not read),
    for the store: name, type, size, and a picture's thumbnail when the one it came with passes."""
    if not isinstance(value, list):
        return []
    records = []
    for item in value[:MAX_COUNT]:
        if isinstance(item, dict):
            data = item.get("data")
            kind = str(item.get("type") or "")[:100]
            rec: dict[str, Any] = {
                "name": str(item.get("name") or "")[:200],
                "type": kind,
                "size": len(data) * 3 // 4 if isinstance(data, str) else 0,
            }
            thumb = thumbnail(item.get("thumbnail")) if kind.lower() in IMAGE_TYPES else None
            if thumb is not None:
                rec["thumbnail_type"], rec["thumbnail_base64"] = thumb
            records.append(rec)
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
