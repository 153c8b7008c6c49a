"""The thumbnail a picture brings with it: what the store takes of it, and what it refuses."""

import base64
import struct

import pytest

from tavrin.core import attachments
from tavrin.core.history import MAX_THUMBNAIL_BASE64
from tavrin.core.png import encode_png


def jpeg(width: int, height: int, end: bool = True) -> bytes:
    """The segments of a baseline JPEG file up to its scan, which is all a size is read from."""
    app0 = b"\xff\xe0" + struct.pack(">H", 16) + b"JFIF\x00" + bytes(9)
    tables = b"\xff\xdb" + struct.pack(">H", 67) + bytes(65)
    frame = b"\xff\xc0" + struct.pack(">HBHHB", 11, 8, height, width, 1) + bytes(3)
    scan = b"\xff\xda" + struct.pack(">H", 8) + bytes(6) + b"\x12\x34"
    return b"\xff\xd8" + app0 + tables + frame + scan + (b"\xff\xd9" if end else b"")


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode()


@pytest.mark.parametrize(
    "value, kind",
    [
        (b64(jpeg(160, 120)), "image/jpeg"),
        (b64(jpeg(90, 120)), "image/jpeg"),  # a tall picture
        (b64(encode_png(100, 75, bytes(100 * 75 * 3))), "image/png"),
        (b64(jpeg(161, 120)), None),  # larger than a thumbnail: a picture passed off as one
        (b64(jpeg(160, 0)), None),
        (b64(encode_png(200, 150, bytes(200 * 150 * 3))), None),
        (b64(jpeg(160, 120, end=False)), None),  # cut short
        (b64(b"GIF89a" + bytes(20)), None),
        (b64(b"\xff\xd8\xff\xda\x00\x02\xff\xd9"), None),  # image data before any size
        ("not base64!", None),
        (b64(jpeg(160, 120) + bytes(MAX_THUMBNAIL_BASE64)), None),  # over the store's bound
        (None, None),
        (12, None),
    ],
)
def test_a_thumbnail_is_kept_only_when_it_is_one(value, kind):
    # Catches the store keeping raw megabytes, or bytes that are no thumbnail, as a picture's thumbnail.
    assert attachments.thumbnail(value) == (None if kind is None else (kind, value))


def test_the_record_keeps_the_pictures_thumbnail_and_never_its_bytes():
    # Catches a JPEG or GIF coming back after a reload without its thumbnail, a bad thumbnail
    # refusing the message, and a PNG whose sent thumbnail fails losing the one made here.
    photo = bytes(range(256)) * 64  # (the picture's bytes are never read for its thumbnail)
    square = encode_png(40, 30, bytes(40 * 30 * 3))
    sent = [
        {"name": "cat.jpg", "type": "image/jpeg", "data": b64(photo), "thumbnail": b64(jpeg(160, 120))},
        {"name": "anim.gif", "type": "image/gif", "data": b64(photo), "thumbnail": b64(jpeg(160, 90))},
        {"name": "square.png", "type": "image/png", "data": b64(square), "thumbnail": "bad"},
        {"name": "raw.webp", "type": "image/webp", "data": b64(photo)},
    ]
    records = [f.record() for f in attachments.read(sent, images=True, where="the model")]
    assert [r.get("thumbnail_type") for r in records] == ["image/jpeg", "image/jpeg", None, None]
    assert records[0]["thumbnail_base64"] == sent[0]["thumbnail"]
    assert "thumbnail_base64" in records[2] and "thumbnail_base64" not in records[3]
    assert all("data" not in r and r["size"] for r in records)

    # An agent that does not read the files (or refused them) keeps the same thumbnails.
    described = attachments.describe(
        [*sent, {"name": "a.txt", "type": "text/plain", "data": b64(b"x"), "thumbnail": b64(jpeg(10, 10))}]
    )
    assert [r.get("thumbnail_type") for r in described] == ["image/jpeg", "image/jpeg", None, None, None]
