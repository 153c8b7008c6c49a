"""PNG files in pure Python: the encoder the simulated desktop draws with, and the decoder the
conversation history scales screenshots down with (8-bit RGB or RGBA, non-interlaced)."""

from __future__ import annotations

import struct
import zlib

THUMBNAIL_WIDTH = 160
THUMBNAIL_HEIGHT = 120
# Larger images are not decoded: decoding runs in pure Python, in a worker
# thread, and a full-screen image would hold the interpreter for seconds.
MAX_DECODED_PIXELS = 1280 * 1024


def _chunk(tag: bytes, payload: bytes) -> bytes:
    return struct.pack(">I", len(payload)) + tag + payload + struct.pack(">I", zlib.crc32(tag + payload) & 0xFFFFFFFF)


def encode_png(width: int, height: int, rgb: bytes | bytearray) -> bytes:
    """Encode 8-bit RGB pixels (row-major, ``width * height * 3`` bytes) as a PNG file."""
    if len(rgb) != width * height * 3:
        raise ValueError("pixel buffer does not match the image size")
    stride = width * 3
    # Each scanline starts with filter type 0 (none).
    raw = b"".join(b"\x00" + bytes(rgb[y * stride:(y + 1) * stride]) for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) + _chunk(b"IDAT", zlib.compress(raw, 6)) + _chunk(b"IEND", b"")


def thumbnail_png(png: bytes, max_width: int = THUMBNAIL_WIDTH, max_height: int = THUMBNAIL_HEIGHT) -> bytes | None:
    """A scaled-down copy of an 8-bit RGB or RGBA PNG (non-interlaced), or None when the image
    is of another kind, too large to decode here, or damaged."""
    fast = _thumbnail_with_pillow(png, max_width, max_height)
    if fast is not False:
        return fast
    try:
        width, height, channels, rows = _decode_png(png)
    except (ValueError, struct.error, zlib.error, IndexError):
        return None
    scale = min(1.0, max_width / width, max_height / height)
    tw, th = max(1, round(width * scale)), max(1, round(height * scale))
    out = bytearray()
    for y in range(th):
        row = rows[min(height - 1, int(y / scale))]
        for x in range(tw):
            i = min(width - 1, int(x / scale)) * channels
            out += row[i:i + 3]
    return encode_png(tw, th, out)


def _thumbnail_with_pillow(png: bytes, max_width: int, max_height: int) -> bytes | None | bool:
    """The same thumbnail made by Pillow, when it is installed (a screenshot of the real screen
    takes it milliseconds, pure Python seconds); False without Pillow. The same images are refused:
    only 8-bit RGB or RGBA PNGs, within the pixel bound, read from the header before decoding."""
    try:
        from PIL import Image
    except ImportError:
        return False
    if not png.startswith(b"\x89PNG\r\n\x1a\n") or len(png) < 33 or png[12:16] != b"IHDR":
        return None
    width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", png[16:29])
    if depth != 8 or colour not in (2, 6) or interlace != 0 or not 0 < width * height <= MAX_DECODED_PIXELS:
        return None
    import io

    try:
        with Image.open(io.BytesIO(png), formats=["PNG"]) as img:
            img = img.convert("RGB")
    except Exception:  # noqa: BLE001 - damaged data, whatever Pillow calls it
        return None
    scale = min(1.0, max_width / width, max_height / height)
    size = max(1, round(width * scale)), max(1, round(height * scale))
    small = img.resize(size, Image.Resampling.BOX)
    out = io.BytesIO()
    small.save(out, "PNG", optimize=True)
    if out.tell() > 16_000:  # a busy screen: 256 colours keep it within what the store keeps
        out = io.BytesIO()
        small.quantize(256).save(out, "PNG", optimize=True)
    return out.getvalue()


def _decode_png(png: bytes) -> tuple[int, int, int, list[bytes]]:
    if not png.startswith(b"\x89PNG\r\n\x1a\n"):
        raise ValueError("not a PNG")
    pos, header, idat = 8, None, []
    while pos + 8 <= len(png):
        (length,) = struct.unpack(">I", png[pos:pos + 4])
        tag = png[pos + 4:pos + 8]
        data = png[pos + 8:pos + 8 + length]
        pos += 12 + length
        if tag == b"IHDR":
            header = struct.unpack(">IIBBBBB", data)
        elif tag == b"IDAT":
            idat.append(data)
        elif tag == b"IEND":
            break
    if header is None:
        raise ValueError("no header")
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace != 0 or not 0 < width * height <= MAX_DECODED_PIXELS:
        raise ValueError("unsupported PNG")
    channels = 3 if colour == 2 else 4
    stride = width * channels
    raw = zlib.decompress(b"".join(idat))
    if len(raw) < height * (stride + 1):
        raise ValueError("truncated image data")
    rows: list[bytes] = []
    prev = bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind = raw[start]
        cur = bytearray(raw[start + 1:start + 1 + stride])
        if kind == 1:
            for i in range(channels, stride):
                cur[i] = (cur[i] + cur[i - channels]) & 0xFF
        elif kind == 2:
            for i in range(stride):
                cur[i] = (cur[i] + prev[i]) & 0xFF
        elif kind == 3:
            for i in range(stride):
                left = cur[i - channels] if i >= channels else 0
                cur[i] = (cur[i] + ((left + prev[i]) >> 1)) & 0xFF
        elif kind == 4:
            for i in range(stride):
                a = cur[i - channels] if i >= channels else 0
                b, c = prev[i], prev[i - channels] if i >= channels else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                cur[i] = (cur[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        elif kind != 0:
            raise ValueError("unknown filter")
        rows.append(bytes(cur))
        prev = cur
    return width, height, channels, rows
