"""A screenshot of the X display: the root window read with GetImage, scaled down, encoded as PNG.

The pixels are read in strips, so a large screen never sits in memory whole, and converted row
by row with a precomputed ``itemgetter`` (one C call a row), so a full screen takes a fraction of
a second in pure Python. Scaling is nearest-neighbour.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from operator import itemgetter

from tavrin.core.png import encode_png

MAX_SIDE = 1568  # the long side of the image sent to the model
STRIP_BYTES = 4 << 20  # pixels asked of the server per request


class Unavailable(Exception):
    """No screenshot can be taken here; the message is one plain sentence."""


@dataclass(frozen=True)
class PixelFormat:
    """Where red, green and blue sit within one pixel of a ZPixmap image."""

    bytes_per_pixel: int
    red: int
    green: int
    blue: int

    @classmethod
    def from_masks(cls, bits_per_pixel: int, masks: tuple[int, int, int], msb_first: bool) -> PixelFormat:
        if bits_per_pixel not in (24, 32):
            raise Unavailable(f"The display uses {bits_per_pixel}-bit pixels, which cannot be captured here.")
        size = bits_per_pixel // 8
        offsets = []
        for mask in masks:
            shift = (mask & -mask).bit_length() - 1
            if mask >> shift != 0xFF or shift % 8:
                raise Unavailable("The display's colour layout cannot be captured here.")
            offsets.append(size - 1 - shift // 8 if msb_first else shift // 8)
        return cls(size, *offsets)


def scaled_size(width: int, height: int, max_side: int = MAX_SIDE) -> tuple[int, int]:
    scale = min(1.0, max_side / max(width, height))
    return max(1, round(width * scale)), max(1, round(height * scale))


class RowScaler:
    """Turns source rows of ``src_width`` pixels into RGB rows of ``out_width`` pixels."""

    def __init__(self, fmt: PixelFormat, src_width: int, out_width: int):
        idx: list[int] = []
        for x in range(out_width):
            base = min(src_width - 1, x * src_width // out_width) * fmt.bytes_per_pixel
            idx += (base + fmt.red, base + fmt.green, base + fmt.blue)
        self._pick = itemgetter(*idx)

    def __call__(self, row: bytes) -> bytes:
        return bytes(self._pick(row))


def source_rows(src_height: int, out_height: int) -> list[int]:
    """The source row each output row is taken from."""
    return [min(src_height - 1, y * src_height // out_height) for y in range(out_height)]


def scale_image(
    data: bytes, width: int, height: int, stride: int, fmt: PixelFormat, max_side: int = MAX_SIDE
) -> tuple[int, int, bytes]:
    """A whole ZPixmap image as scaled RGB: (width, height, pixels)."""
    ow, oh = scaled_size(width, height, max_side)
    scale = RowScaler(fmt, width, ow)
    return ow, oh, b"".join(scale(data[y * stride : (y + 1) * stride]) for y in source_rows(height, oh))


def capture(
    display_name: str | None = None, max_side: int = MAX_SIDE
) -> tuple[bytes, tuple[int, int], tuple[int, int]]:
    """The screen as PNG bytes, with the image's size and the screen's. Blocking; raises Unavailable."""
    name = display_name or os.environ.get("DISPLAY")
    if not name:
        raise Unavailable("No display is available (DISPLAY is not set), so no screenshot can be taken.")
    try:
        from Xlib import X, display, error
    except ImportError:
        raise Unavailable("Screenshots need the python-xlib package (pip install 'tavrin[llm]').") from None
    try:
        d = display.Display(name)
    except Exception as exc:  # noqa: BLE001 - a bad name, no server, refused authorisation
        raise Unavailable(f"The display {name} cannot be reached ({exc or type(exc).__name__}).") from None
    try:
        screen = d.screen()
        width, height, depth = screen.width_in_pixels, screen.height_in_pixels, screen.root_depth
        info = d.display.info
        fmt_info = next(f for f in info.pixmap_formats if f.depth == depth)
        visual = next(
            v
            for dp in screen.allowed_depths
            if dp.depth == depth
            for v in dp.visuals
            if v.visual_id == screen.root_visual
        )
        fmt = PixelFormat.from_masks(
            fmt_info.bits_per_pixel,
            (visual.red_mask, visual.green_mask, visual.blue_mask),
            info.image_byte_order == X.MSBFirst,
        )
        pad = fmt_info.scanline_pad
        stride = (width * fmt_info.bits_per_pixel + pad - 1) // pad * pad // 8
        ow, oh = scaled_size(width, height, max_side)
        scale = RowScaler(fmt, width, ow)
        wanted = source_rows(height, oh)
        strip = max(1, STRIP_BYTES // stride)
        out = []
        i = 0
        for top in range(0, height, strip):
            rows = min(strip, height - top)
            if i == len(wanted):
                break
            if wanted[i] >= top + rows:
                continue  # a strip that no output row is taken from
            data = screen.root.get_image(0, top, width, rows, X.ZPixmap, 0xFFFFFFFF).data
            while i < len(wanted) and wanted[i] < top + rows:
                off = (wanted[i] - top) * stride
                out.append(scale(data[off : off + stride]))
                i += 1
        return encode_png(ow, oh, b"".join(out)), (ow, oh), (width, height)
    except (error.XError, error.ConnectionClosedError, StopIteration) as exc:
        raise Unavailable(f"The display {name} could not be read ({type(exc).__name__}).") from None
    finally:
        d.close()
