"""A full-screen X client for the Computer Use tests: it writes every pointer event and key it
receives, with coordinates, as one JSON line each on standard output.

It runs with the venv's python-xlib. Keys are translated with the keyboard map in force when they
arrive (the map is read again at every MappingNotify, as toolkits do), so a key that the typist
maps for a moment is recorded as the character it typed. "ready" is printed once the window is
mapped and has the input focus.
"""

import json
import sys

from Xlib import XK, X, display

d = display.Display()
screen = d.screen()
root = screen.root
win = root.create_window(
    0,
    0,
    screen.width_in_pixels,
    screen.height_in_pixels,
    0,
    screen.root_depth,
    background_pixel=screen.white_pixel,
    override_redirect=True,
    event_mask=(
        X.ButtonPressMask
        | X.ButtonReleaseMask
        | X.PointerMotionMask
        | X.KeyPressMask
        | X.KeyReleaseMask
        | X.ExposureMask
        | X.StructureNotifyMask
        | X.FocusChangeMask
    ),
)
win.map()
d.sync()


def out(**fields):
    sys.stdout.write(json.dumps(fields) + "\n")
    sys.stdout.flush()


NAMES = {value: name[3:] for name, value in vars(XK).items() if name.startswith("XK_")}


def char_of(keysym):
    if 0x20 <= keysym <= 0x7E or 0xA0 <= keysym <= 0xFF:
        return chr(keysym)
    if keysym & 0xFF000000 == 0x01000000:
        return chr(keysym & 0xFFFFFF)
    return None


ready = False
while True:
    ev = d.next_event()
    if ev.type == X.MapNotify and not ready:
        win.set_input_focus(X.RevertToParent, X.CurrentTime)
        d.sync()
    elif ev.type == X.FocusIn and not ready:
        ready = True
        out(type="ready")
    elif ev.type == X.MappingNotify:
        d.refresh_keyboard_mapping(ev)
    elif ev.type in (X.ButtonPress, X.ButtonRelease):
        out(type="press" if ev.type == X.ButtonPress else "release", button=ev.detail, x=ev.root_x, y=ev.root_y)
    elif ev.type == X.MotionNotify:
        out(type="motion", x=ev.root_x, y=ev.root_y, state=ev.state)
    elif ev.type in (X.KeyPress, X.KeyRelease):
        shifted = 1 if ev.state & X.ShiftMask else 0
        keysym = d.keycode_to_keysym(ev.detail, shifted) or d.keycode_to_keysym(ev.detail, 0)
        out(
            type="key" if ev.type == X.KeyPress else "keyup",
            keysym=keysym,
            char=char_of(keysym),
            name=NAMES.get(keysym),
            state=ev.state,
        )
