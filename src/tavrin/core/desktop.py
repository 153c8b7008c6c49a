"""The user's X11 display as the Computer Use agent sees and drives it.

``Desktop`` holds the one X connection of a task (python-xlib): the capture (over a shared
memory segment, MIT-SHM, when the server can reach it; the core GetImage otherwise), the
pointer's image (XFixes) and the input (XTEST). Screenshots are scaled to the size the model
works in, at most 1280x800 with the screen's aspect, the pointer drawn in, and encoded as a PNG
that stays lossless and costs little (``fast_png``); the model's coordinates are mapped back to
the screen so that the scaled image's corners are the screen's corners.

Every press is remembered until its release, so ``release_all()`` (called on every way out of
a task) leaves no button or key down, and every key mapping borrowed to type a character the
keyboard map lacks is given back.

All methods block: the agent calls them from one worker thread (an X connection is not meant
to be shared between threads).
"""

from __future__ import annotations

import ctypes
import os
import time
from array import array
from dataclasses import dataclass
from typing import TYPE_CHECKING

from tavrin.core.png import fast_png
from tavrin.core.tools.screenshot import Unavailable

if TYPE_CHECKING:
    from PIL import Image

MAX_WIDTH, MAX_HEIGHT = 1280, 800

# Buttons of the core protocol: 1 left, 2 middle, 3 right; 4-7 the wheel, up, down, left, right.
BUTTONS = {"left": 1, "middle": 2, "right": 3}
WHEEL = {"up": 4, "down": 5, "left": 6, "right": 7}

# xdotool's names for the modifiers and a few keys, as models write them.
KEY_ALIASES = {
    "ctrl": "Control_L",
    "control": "Control_L",
    "lctrl": "Control_L",
    "rctrl": "Control_R",
    "shift": "Shift_L",
    "lshift": "Shift_L",
    "rshift": "Shift_R",
    "alt": "Alt_L",
    "lalt": "Alt_L",
    "ralt": "Alt_R",
    "altgr": "ISO_Level3_Shift",
    "super": "Super_L",
    "win": "Super_L",
    "windows": "Super_L",
    "cmd": "Super_L",
    "meta": "Meta_L",
    "enter": "Return",
    "return": "Return",
    "esc": "Escape",
    "escape": "Escape",
    "tab": "Tab",
    "backspace": "BackSpace",
    "del": "Delete",
    "delete": "Delete",
    "ins": "Insert",
    "insert": "Insert",
    "space": "space",
    "pgup": "Prior",
    "pageup": "Prior",
    "page_up": "Prior",
    "pgdn": "Next",
    "pagedown": "Next",
    "page_down": "Next",
    "home": "Home",
    "end": "End",
    "up": "Up",
    "down": "Down",
    "left": "Left",
    "right": "Right",
    "menu": "Menu",
    "print": "Print",
}
# Characters typed as keys of their own rather than as the letter.
CHAR_KEYS = {"\n": "Return", "\r": "Return", "\t": "Tab", "\b": "BackSpace", "\x1b": "Escape"}


@dataclass(frozen=True)
class Scale:
    """Between the screen (``width`` x ``height``) and the image the model sees (``w`` x ``h``)."""

    width: int
    height: int
    w: int
    h: int

    @classmethod
    def of(cls, width: int, height: int, max_width: int = MAX_WIDTH, max_height: int = MAX_HEIGHT) -> Scale:
        factor = min(1.0, max_width / width, max_height / height)
        return cls(
            width,
            height,
            max(1, min(max_width, round(width * factor))),
            max(1, min(max_height, round(height * factor))),
        )

    def to_screen(self, x: int, y: int) -> tuple[int, int]:
        """The screen pixel of the model's pixel: corners onto corners, linear in between, so
        every point lands inside the screen area its image pixel shows."""
        return _line(x, self.w, self.width), _line(y, self.h, self.height)

    def to_model(self, x: int, y: int) -> tuple[int, int]:
        return _line(x, self.width, self.w), _line(y, self.height, self.h)

    def contains(self, x: int, y: int) -> bool:
        return 0 <= x < self.w and 0 <= y < self.h


def _line(v: int, src: int, dst: int) -> int:
    if src <= 1:
        return 0
    # Integer arithmetic, rounding halves up: exact at both ends for any sizes.
    return min(dst - 1, max(0, (2 * v * (dst - 1) + (src - 1)) // (2 * (src - 1))))


class Desktop:
    """One task's hold on the display. ``open()`` raises ``Unavailable`` with one sentence."""

    def __init__(self, display_name: str, xdisplay, scale: Scale):
        self.name = display_name
        self._d = xdisplay
        self.scale = scale
        self._shm: SharedImage | None = None
        self._root = xdisplay.screen().root
        self._buttons: set[int] = set()
        self._keys: list[int] = []  # keycodes held, in the order pressed
        self._borrowed: dict[int, int] = {}  # keysym -> spare keycode mapped to it for this task
        self._spare: list[int] | None = None
        self._cursor_cache: tuple[int, Image.Image] | None = None  # (serial, RGBA image)
        self.closed = False

    # -- opening and closing --------------------------------------------------------------

    @classmethod
    def open(cls, display_name: str | None = None, max_size: tuple[int, int] = (MAX_WIDTH, MAX_HEIGHT)) -> Desktop:
        name = display_name or os.environ.get("DISPLAY")
        if not name:
            raise Unavailable(
                "There is no X display to work on (DISPLAY is not set): Computer Use needs an "
                "X11 session (on Wayland, XWayland)."
            )
        try:
            from PIL import Image  # noqa: F401
            from Xlib import display as xdisplay
            from Xlib.ext import xfixes, xtest  # noqa: F401
        except ImportError as exc:
            raise Unavailable(f"Computer Use needs the {exc.name} package (pip install 'tavrin[llm]').") from None
        try:
            d = xdisplay.Display(name)
        except Exception as exc:  # noqa: BLE001 - a bad name, no server, refused authorisation
            raise Unavailable(f"The display {name} cannot be reached ({exc or type(exc).__name__}).") from None
        try:
            for ext in ("XTEST", "XFIXES"):
                if not d.has_extension(ext):
                    raise Unavailable(f"The display {name} lacks the {ext} extension that Computer Use needs.")
            d.xfixes_query_version()
            screen = d.screen()
            width, height = screen.width_in_pixels, screen.height_in_pixels
            from Xlib import X

            if d.display.info.image_byte_order != X.LSBFirst:
                # The pixels would reach the picture with their bytes the other way round.
                raise Unavailable(
                    f"The display {name} sends its pixels most significant byte first, which "
                    "Computer Use does not read."
                )
            if screen.root_depth not in (24, 32) or _bits_per_pixel(d, screen.root_depth) != 32:
                raise Unavailable(
                    f"The display {name} has {screen.root_depth}-bit colour; Computer Use reads "
                    "24-bit and 32-bit screens."
                )
            desktop = cls(name, d, Scale.of(width, height, *max_size))
            desktop._shm = SharedImage.attach(d, width * height * 4)
            return desktop
        except Unavailable:
            d.close()
            raise
        except Exception as exc:  # noqa: BLE001
            d.close()
            raise Unavailable(f"The display {name} cannot be captured ({exc or type(exc).__name__}).") from None

    def close(self) -> None:
        """Release everything and hang up. Safe to call more than once."""
        if self.closed:
            return
        try:
            self.release_all()
        finally:
            self.closed = True
            shm, self._shm = self._shm, None
            try:
                if shm is not None:
                    shm.detach(self._d)
            finally:
                try:
                    self._d.close()
                except Exception:  # noqa: BLE001 - the server may be gone already
                    pass

    # -- the picture ----------------------------------------------------------------------

    def grab(self) -> tuple[bytes, tuple[int, int]]:
        """The whole screen's pixels as BGRX bytes, unscaled, and the pointer's position."""
        width, height = self.scale.width, self.scale.height
        if self._shm is not None:
            raw = self._shm.get_image(self._d, self._root, width, height)
        else:
            from Xlib import X

            # The core request in bands, each reply well within what a server sends at once.
            band = max(1, (4 << 20) // (width * 4))
            raw = b"".join(
                self._root.get_image(0, top, width, min(band, height - top), X.ZPixmap, 0xFFFFFFFF).data
                for top in range(0, height, band)
            )
        return raw, self.pointer()

    def png(self, raw: bytes, with_pointer: bool = True) -> bytes:
        """``raw`` from ``grab()`` as the PNG the model sees: scaled, the pointer drawn in."""
        from PIL import Image

        s = self.scale
        # Read in place: the channels stay in the server's order (B, G, R) until the encoder
        # packs them, so no pass over the full-size picture only reorders bytes.
        img = Image.frombuffer("RGBX", (s.width, s.height), raw, "raw", "RGBX", 0, 1)
        if with_pointer:
            img = self._with_pointer(img)
        if (s.w, s.h) != (s.width, s.height):
            # Each pixel the mean of the screen area it covers: as sharp as a reduction gets
            # without aliasing, and the cheapest of Pillow's filters that is not nearest-neighbour.
            img = img.resize((s.w, s.h), Image.Resampling.BOX)
        return fast_png(s.w, s.h, img.tobytes("raw", "BGR"))

    def screenshot(self) -> bytes:
        return self.png(self.grab()[0])

    def _with_pointer(self, img):
        """The pointer's image (XFixes) laid over the screen's: the capture itself never has it."""
        try:
            cur = self._d.xfixes_get_cursor_image(self._root)
        except Exception:  # noqa: BLE001 - no pointer image to draw: the picture is still right
            return img
        if not cur.width or not cur.height:
            return img
        if self._cursor_cache is None or self._cursor_cache[0] != cur.cursor_serial:
            from PIL import Image

            pixels = array("I", (p & 0xFFFFFFFF for p in cur.cursor_image)).tobytes()
            if len(pixels) != cur.width * cur.height * 4:
                return img
            # Premultiplied ARGB, in the machine's byte order (little-endian: B, G, R, A), laid over
            # a picture whose channels are in the server's order (B, G, R): the sprite's stay so too.
            sprite = Image.frombuffer("RGBA", (cur.width, cur.height), pixels, "raw", "RGBa", 0, 1)
            self._cursor_cache = (cur.cursor_serial, sprite)
        sprite = self._cursor_cache[1]
        img = img.copy() if img.readonly else img
        img.paste(sprite, (cur.x - cur.xhot, cur.y - cur.yhot), sprite)
        return img

    # -- the pointer ----------------------------------------------------------------------

    def pointer(self) -> tuple[int, int]:
        p = self._root.query_pointer()
        return p.root_x, p.root_y

    def pressed(self) -> tuple[int, bytes]:
        """The server's own view: the button mask of the pointer and the 32-byte key map."""
        return self._root.query_pointer().mask, bytes(self._d.query_keymap())

    def move(self, x: int, y: int) -> None:
        from Xlib import X

        self._d.xtest_fake_input(X.MotionNotify, x=x, y=y, root=self._root)
        self._d.sync()

    def button(self, button: int, down: bool) -> None:
        from Xlib import X

        if down:
            self._buttons.add(button)
        self._d.xtest_fake_input(X.ButtonPress if down else X.ButtonRelease, button)
        self._d.sync()
        if not down:
            self._buttons.discard(button)

    def click(self, button: int, times: int = 1) -> None:
        for _ in range(times):
            self.button(button, True)
            self.button(button, False)

    # -- the keyboard ---------------------------------------------------------------------

    def keycodes(self, keysym: int) -> list[int]:
        """The keys to hold for ``keysym``: its key, with Shift when the symbol is on the shifted
        level; a borrowed spare key when the keyboard map has none (released and unmapped again
        when the task ends)."""
        # The unshifted level of any key first, then a shifted one.
        places = sorted((index, code) for code, index in self._d.keysym_to_keycodes(keysym) if index in (0, 1))
        if places and places[0][0] == 0:
            return [places[0][1]]
        shift = self._d.keysym_to_keycode(_keysym("Shift_L"))
        if places and shift:
            return [shift, places[0][1]]
        return [self._borrow(keysym)]

    def _borrow(self, keysym: int) -> int:
        if keysym in self._borrowed:
            return self._borrowed[keysym]
        if self._spare is None:
            info = self._d.display.info
            first, count = info.min_keycode, info.max_keycode - info.min_keycode + 1
            mapping = self._d.get_keyboard_mapping(first, count)
            self._spare = [first + i for i, syms in enumerate(mapping) if not any(syms)]
        if not self._spare:
            # Every spare key is in use: the oldest borrowing is given back for this one.
            old_sym, code = next(iter(self._borrowed.items()))
            del self._borrowed[old_sym]
        else:
            code = self._spare.pop()
        self._d.change_keyboard_mapping(code, [(keysym, keysym)])
        self._d.sync()
        self._borrowed[keysym] = code
        return code

    def key(self, code: int, down: bool) -> None:
        from Xlib import X

        if down:
            self._keys.append(code)
        self._d.xtest_fake_input(X.KeyPress if down else X.KeyRelease, code)
        self._d.sync()
        if not down and code in self._keys:
            self._keys.remove(code)

    def release_all(self) -> None:
        """Let go of every button and key this task pressed, and give back borrowed keys."""
        if self.closed:
            return
        from Xlib import X

        for code in reversed(self._keys):
            self._d.xtest_fake_input(X.KeyRelease, code)
        self._keys.clear()
        for button in sorted(self._buttons):
            self._d.xtest_fake_input(X.ButtonRelease, button)
        self._buttons.clear()
        self._d.sync()
        if self._borrowed:
            # A moment for the clients to read the borrowed symbols before they go.
            time.sleep(0.05)
            for code in self._borrowed.values():
                self._d.change_keyboard_mapping(code, [(0, 0)])
                if self._spare is not None:
                    self._spare.append(code)
            self._borrowed.clear()
            self._d.sync()


# -- the capture over shared memory -----------------------------------------------------------------

_IPC_PRIVATE, _IPC_CREAT, _IPC_RMID = 0, 0o1000, 0


def _libc():
    libc = ctypes.CDLL(None, use_errno=True)
    libc.shmget.argtypes, libc.shmget.restype = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int], ctypes.c_int
    libc.shmat.argtypes, libc.shmat.restype = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int], ctypes.c_void_p
    libc.shmdt.argtypes, libc.shmdt.restype = [ctypes.c_void_p], ctypes.c_int
    libc.shmctl.argtypes, libc.shmctl.restype = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p], ctypes.c_int
    return libc


def _shm_requests():
    """MIT-SHM's requests that a capture needs, in python-xlib's terms (it ships no binding)."""
    from Xlib.protocol import rq

    class Attach(rq.Request):
        _request = rq.Struct(
            rq.Card8("opcode"),
            rq.Opcode(1),
            rq.RequestLength(),
            rq.Card32("shmseg"),
            rq.Card32("shmid"),
            rq.Bool("read_only"),
            rq.Pad(3),
        )

    class Detach(rq.Request):
        _request = rq.Struct(rq.Card8("opcode"), rq.Opcode(2), rq.RequestLength(), rq.Card32("shmseg"))

    class GetImage(rq.ReplyRequest):
        _request = rq.Struct(
            rq.Card8("opcode"),
            rq.Opcode(4),
            rq.RequestLength(),
            rq.Drawable("drawable"),
            rq.Int16("x"),
            rq.Int16("y"),
            rq.Card16("width"),
            rq.Card16("height"),
            rq.Card32("plane_mask"),
            rq.Card8("format"),
            rq.Pad(3),
            rq.Card32("shmseg"),
            rq.Card32("offset"),
        )
        _reply = rq.Struct(
            rq.ReplyCode(),
            rq.Card8("depth"),
            rq.Card16("sequence_number"),
            rq.ReplyLength(),
            rq.Card32("visual"),
            rq.Card32("size"),
            rq.Pad(16),
        )

    return Attach, Detach, GetImage


class SharedImage:
    """A shared memory segment the X server writes the screen into: one copy on each side instead
    of 8 MB through the socket for a full-HD screen. ``attach`` returns None where the server
    cannot share memory with this process (another machine, another IPC namespace, no MIT-SHM)."""

    def __init__(self, libc, shmid: int, address: int, size: int, seg: int, opcode: int, requests):
        self._libc, self.shmid, self.address, self.size = libc, shmid, address, size
        self.seg, self.opcode = seg, opcode
        self._attach, self._detach, self._get = requests

    @classmethod
    def attach(cls, d, size: int) -> SharedImage | None:
        from Xlib import error

        ext = d.query_extension("MIT-SHM")
        if ext is None or not ext.present:
            return None
        libc = _libc()
        shmid = libc.shmget(_IPC_PRIVATE, size, _IPC_CREAT | 0o600)
        if shmid < 0:
            return None
        address = libc.shmat(shmid, None, 0)
        if address in (None, ctypes.c_void_p(-1).value):
            libc.shmctl(shmid, _IPC_RMID, None)
            return None
        requests = _shm_requests()
        seg = d.display.allocate_resource_id()
        caught = error.CatchError()
        requests[0](
            display=d.display, onerror=caught, opcode=ext.major_opcode, shmseg=seg, shmid=shmid, read_only=False
        )
        d.sync()
        # Removed once both sides hold it: the segment goes with the last detach, even after a crash.
        libc.shmctl(shmid, _IPC_RMID, None)
        if caught.get_error() is not None:
            libc.shmdt(address)
            return None
        return cls(libc, shmid, address, size, seg, ext.major_opcode, requests)

    def get_image(self, d, root, width: int, height: int) -> bytes:
        from Xlib import X

        reply = self._get(
            display=d.display,
            opcode=self.opcode,
            drawable=root,
            x=0,
            y=0,
            width=width,
            height=height,
            plane_mask=0xFFFFFFFF,
            format=X.ZPixmap,
            shmseg=self.seg,
            offset=0,
        )
        # The reply comes once the server has written the picture.
        return ctypes.string_at(self.address, min(reply.size, self.size))

    def detach(self, d) -> None:
        try:
            self._detach(display=d.display, opcode=self.opcode, shmseg=self.seg)
            d.sync()
        except Exception:  # noqa: BLE001 - the server may be gone; the segment is ours to drop anyway
            pass
        finally:
            self._libc.shmdt(self.address)
            d.display.free_resource_id(self.seg)


def _bits_per_pixel(d, depth: int) -> int | None:
    return next((f.bits_per_pixel for f in d.display.info.pixmap_formats if f.depth == depth), None)


def _keysym(name: str) -> int:
    from Xlib import XK

    return XK.string_to_keysym(name)


def char_keysym(ch: str) -> int:
    """The keysym that types ``ch``: Latin-1 letters are their own code, the rest of Unicode is
    0x01000000 plus the code point (what X servers and toolkits understand)."""
    if ch in CHAR_KEYS:
        return _keysym(CHAR_KEYS[ch])
    cp = ord(ch)
    if 0x20 <= cp <= 0x7E or 0xA0 <= cp <= 0xFF:
        return cp
    return 0x01000000 + cp


def parse_combo(text: str) -> list[int]:
    """An xdotool-style combination ("ctrl+l", "Return", "super", "shift+Tab") as keysyms;
    ValueError naming the part that is no key."""
    if not isinstance(text, str) or not text.strip():
        raise ValueError('a key combination must be a non-empty text such as "ctrl+l" or "Return"')
    parts = text.strip().split("+")
    # "ctrl++" means ctrl and the plus key.
    names: list[str] = []
    for i, part in enumerate(parts):
        if part == "" and i == len(parts) - 1 and names:
            names.append("+")
        elif part == "":
            continue
        else:
            names.append(part.strip())
    out = []
    for name in names:
        alias = KEY_ALIASES.get(name.lower())
        sym = _keysym(alias) if alias else _keysym(name)
        if not sym and len(name) == 1:
            sym = char_keysym(name)
        if not sym:
            raise ValueError(f"{name!r} is not a key name (use xdotool's names, such as Return, Tab, ctrl, F5)")
        out.append(sym)
    return out
