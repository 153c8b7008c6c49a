"""PNG files: the encoder the simulated desktop draws with (pure Python), the fast one the real
display's screenshots take (``fast_png``), and the thumbnails the conversation history keeps of
screenshots and pictures.

Thumbnails are decoded with Pillow (the model extra installs it), within its bound on
decompression bombs and ours on the declared size, checked before anything is inflated. Without
Pillow a small pure-Python decoder (8-bit RGB or RGBA, non-interlaced) stands in, which inflates
no more than the declared size needs.
"""

from __future__ import annotations

import io
import struct
import zlib

THUMBNAIL_WIDTH = 160
THUMBNAIL_HEIGHT = 120
# The largest picture that is decoded at all (a 4K screen); its declared size is checked first.
MAX_PIXELS = 3840 * 2160
# Without Pillow decoding runs in pure Python, in a worker thread, and a full-screen image would
# hold the interpreter for seconds: larger ones are not decoded.
MAX_DECODED_PIXELS = 1280 * 1024


def _chunk(tag: bytes, payload: bytes) -> bytes:
    return struct.pack(">I", len(payload)) + tag + payload + struct.pack(">I", zlib.crc32(tag + payload) & 0xFFFFFFFF)


def encode_png(width: int, height: int, rgb: bytes | bytearray) -> bytes:
    """Encode 8-bit RGB pixels (row-major, ``width * height * 3`` bytes) as a PNG file."""
    if len(rgb) != width * height * 3:
        raise ValueError("pixel buffer does not match the image size")
    stride = width * 3
    # Each scanline starts with filter type 0 (none).
    raw = b"".join(b"\x00" + bytes(rgb[y * stride : (y + 1) * stride]) for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (
        b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) + _chunk(b"IDAT", zlib.compress(raw, 6)) + _chunk(b"IEND", b"")
    )


BAND_ROWS = 16  # rows compressed as one piece
SAMPLE_ROWS = 2  # rows of each band tried first, to see how well it compresses
MATCH_BELOW = 0.5  # a band whose sample shrinks below this share is searched for matches
STORE_ABOVE = 0.95  # one whose sample keeps more than this is stored as it is


def fast_png(width: int, height: int, rgb: bytes) -> bytes:
    """8-bit RGB pixels as a lossless PNG, quickly. No filter: screens are flat areas and text,
    which deflate's matches take as they are. Each band of rows is compressed as its first rows
    say it should be: windows and text with the fastest level's search for matches; a band that
    hardly compresses (a photograph, a video) by runs and Huffman codes alone, which cost a
    fraction of a search that finds little; noise stored as it is. The bands are pieces of one
    deflate stream (each ends on a byte boundary, the last one final), so the file is an
    ordinary PNG."""
    stride = width * 3
    if len(rgb) != stride * height:
        raise ValueError("pixel buffer does not match the image size")
    line = stride + 1
    rows = b"".join(b"\x00" + rgb[i : i + stride] for i in range(0, len(rgb), stride))
    pieces = [b"\x78\x01"]
    for top in range(0, height, BAND_ROWS):
        band = rows[top * line : (top + BAND_ROWS) * line]
        sample = band[: SAMPLE_ROWS * line]
        kept = len(zlib.compress(sample, 1)) / len(sample)
        if kept < MATCH_BELOW:
            deflate = zlib.compressobj(1, zlib.DEFLATED, -15)
        elif kept <= STORE_ABOVE:
            deflate = zlib.compressobj(1, zlib.DEFLATED, -15, 8, zlib.Z_RLE)
        else:
            deflate = zlib.compressobj(0, zlib.DEFLATED, -15)
        last = top + BAND_ROWS >= height
        pieces.append(deflate.compress(band) + deflate.flush(zlib.Z_FINISH if last else zlib.Z_SYNC_FLUSH))
    pieces.append(struct.pack(">I", zlib.adler32(rows)))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) + _chunk(b"IDAT", b"".join(pieces)) + _chunk(b"IEND", b"")


def declared_size(png: bytes) -> tuple[int, int] | None:
    """The width and height a PNG's header declares, read without decoding anything."""
    if not png.startswith(b"\x89PNG\r\n\x1a\n") or png[12:16] != b"IHDR" or len(png) < 24:
        return None
    return struct.unpack(">II", png[16:24])


def _scaled(width: int, height: int, max_width: int, max_height: int) -> tuple[float, int, int]:
    scale = min(1.0, max_width / width, max_height / height)
    return scale, max(1, round(width * scale)), max(1, round(height * scale))


def thumbnail_png(png: bytes, max_width: int = THUMBNAIL_WIDTH, max_height: int = THUMBNAIL_HEIGHT) -> bytes | None:
    """A scaled-down copy of a PNG, or None when the picture is damaged, declares more than
    ``MAX_PIXELS`` (nothing of it is inflated then), or cannot be decoded here."""
    size = declared_size(png)
    if size is None or not 0 < size[0] * size[1] <= MAX_PIXELS:
        return None
    try:
        from PIL import Image
    except ImportError:
        return _thumbnail_by_hand(png, max_width, max_height)
    return _thumbnail_pillow(Image, png, max_width, max_height)


def _thumbnail_pillow(Image, png: bytes, max_width: int, max_height: int) -> bytes | None:
    from PIL import ImageFile

    # Pillow's own bound (an error past it, not a warning), below ours in case it is ever larger.
    Image.MAX_IMAGE_PIXELS = min(Image.MAX_IMAGE_PIXELS or MAX_PIXELS, MAX_PIXELS)
    ImageFile.LOAD_TRUNCATED_IMAGES = False
    try:
        with Image.open(io.BytesIO(png), formats=["PNG"]) as im:
            if im.width * im.height > MAX_PIXELS:
                return None
            _, tw, th = _scaled(im.width, im.height, max_width, max_height)
            small = im.convert("RGBA" if "A" in im.getbands() or "transparency" in im.info else "RGB")
            small = small.resize((tw, th), Image.Resampling.NEAREST).convert("RGB")
            out = io.BytesIO()
            small.save(out, "PNG", optimize=True)
            if out.tell() > 16_000:  # a busy screen: 256 colours keep it within what the store keeps
                out = io.BytesIO()
                small.quantize(256).save(out, "PNG", optimize=True)
            return out.getvalue()
    except (OSError, ValueError, SyntaxError, Image.DecompressionBombError, MemoryError):
        return None


def _thumbnail_by_hand(png: bytes, max_width: int, max_height: int) -> bytes | None:
    try:
        width, height, channels, rows = _decode_png(png)
    except (ValueError, struct.error, zlib.error, IndexError):
        return None
    scale, tw, th = _scaled(width, height, max_width, max_height)
    out = bytearray()
    for y in range(th):
        row = rows[min(height - 1, int(y / scale))]
        for x in range(tw):
            i = min(width - 1, int(x / scale)) * channels
            out += row[i : i + 3]
    return encode_png(tw, th, out)


def _decode_png(png: bytes) -> tuple[int, int, int, list[bytes]]:
    if not png.startswith(b"\x89PNG\r\n\x1a\n"):
        raise ValueError("not a PNG")
    pos, header, idat = 8, None, []
    while pos + 8 <= len(png):
        (length,) = struct.unpack(">I", png[pos : pos + 4])
        tag = png[pos + 4 : pos + 8]
        data = png[pos + 8 : pos + 8 + length]
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
    # Inflated no further than the declared size needs, however much the data would give.
    needed = height * (stride + 1)
    inflate = zlib.decompressobj()
    raw = b""
    for piece in idat:
        raw += inflate.decompress(piece, needed - len(raw))
        if len(raw) >= needed:
            break
    if len(raw) < needed:
        raise ValueError("truncated image data")
    rows: list[bytes] = []
    prev = bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind = raw[start]
        cur = bytearray(raw[start + 1 : start + 1 + stride])
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
