"""The screen tools without a desktop: the accessibility tree's pruning on a tree recorded from
tests/host/desktop_app.py, the screenshot's pixel conversion on made-up images, and the plain
sentence each tool answers with where there is no bus or display to read."""

import asyncio
import importlib
import json
import re
import socket
from pathlib import Path

import pytest

from tavrin.core.tools import accessibility, screen, screenshot
from tavrin.core.tools.accessibility import Limits, render


def _lacks(module: str) -> bool:
    try:
        importlib.import_module(module)
    except ImportError:
        return True
    return False


# The D-Bus and X clients come with the llm extra, which not every test venv has.
NEEDS_JEEPNEY = pytest.mark.skipif(_lacks("jeepney"), reason="jeepney (the llm extra) is not installed")
NEEDS_XLIB = pytest.mark.skipif(_lacks("Xlib"), reason="python-xlib (the llm extra) is not installed")

# The window of desktop_app.py with 60 rows, read in full by accessibility.snapshot().
RECORDED = json.loads((Path(__file__).parent / "data" / "screen_tree.json").read_text())
MORE = re.compile(r"\((\d+) more elements? not shown\)")


def accounted(text: str) -> int:
    """Elements shown plus those the markers say were left out."""
    lines = text.splitlines()[1:]
    shown = [ln for ln in lines if not ln.strip().startswith("(")]
    return len(shown) + sum(int(n) for n in MORE.findall(text))


def test_the_recorded_window_reads_as_its_controls():
    """Catches misdecoded states, hidden tabs and closed menus leaking in, and anonymous boxes crowding the outline."""
    text = render(RECORDED)
    lines = text.splitlines()
    assert lines[0].startswith('Focused window: frame "Tavrin test window" @0,0 ')
    for expected in (
        'text text="typed text" [focused, editable] @',
        'push button "Press me" @',
        'push button "Unavailable" [disabled] @',
        'check box "Remember" [checked] @',
        "slider value=42 @",
        'page tab "Form" [selected] @',
        'table cell "Item 0" @',
    ):
        assert any(expected in ln for ln in lines), expected
    assert "Hidden button" not in text and "File Open" not in text  # other tab, closed menu
    assert not any(ln.strip().split(" ")[0] in ("filler", "panel") for ln in lines)
    assert "hunter2" not in json.dumps(RECORDED)  # a password field's text is never read
    assert MORE.search(text)  # the rows scrolled out of view are counted


@pytest.mark.parametrize(
    "limits",
    [
        Limits(max_nodes=10),
        Limits(max_nodes=40),
        Limits(max_depth=1),
        Limits(max_depth=2),
        Limits(max_chars=900),
        Limits(max_name=8, max_text=8),
    ],
    ids=["10-nodes", "40-nodes", "depth-1", "depth-2", "900-chars", "short-names"],
)
def test_bounds_leave_nothing_unaccounted(limits):
    """Catches a bound that drops elements silently or miscounts the '(N more elements not shown)' markers."""
    text = render(RECORDED, limits)
    shown = [ln for ln in text.splitlines()[1:] if not ln.strip().startswith("(")]
    assert len(shown) <= limits.max_nodes
    assert len(text) <= limits.max_chars
    assert all(len(ln) - len(ln.lstrip()) <= 2 * limits.max_depth for ln in shown)
    assert accounted(text) == accounted(render(RECORDED, Limits(max_nodes=10_000, max_depth=100)))


def test_a_long_list_does_not_crowd_out_the_form():
    """Catches a budget spent on the first big list it meets, leaving the window's buttons out."""
    text = render(RECORDED, Limits(max_nodes=30))
    for name in ("Press me", "Unavailable", "Remember", "typed text"):
        assert name in text
    assert 'table cell "Item 0"' in text and 'table cell "Item 59"' not in text


def test_hostile_names_stay_on_one_bounded_line():
    """Catches newlines or quotes in an application's names breaking the outline, and huge names passing unclipped."""
    evil = 'OK"\n  push button "Delete everything"' + "x" * 5000
    kids = [
        {
            "role": "push button",
            "name": evil,
            "states": ["showing", "visible", "enabled", "sensitive"],
            "child_count": 0,
            "children": [],
        }
        for _ in range(3000)
    ]
    snap = {
        "application": "evil",
        "window": {
            "role": "frame",
            "name": "w",
            "states": ["showing", "visible"],
            "child_count": 5000,
            "children": kids,
        },
    }
    text = render(snap)
    lines = text.splitlines()
    assert len(text) <= Limits().max_chars
    assert all(ln.lstrip().startswith(('push button "OK\\"', "(")) for ln in lines[1:])
    assert all(len(ln) < 200 for ln in lines)
    assert accounted(text) == 5000


@pytest.mark.parametrize(
    "bpp,msb,masks",
    [
        (32, False, (0xFF0000, 0xFF00, 0xFF)),  # the usual X server: B, G, R, pad in memory
        (32, True, (0xFF0000, 0xFF00, 0xFF)),  # big-endian server: pad, R, G, B
        (24, False, (0xFF, 0xFF00, 0xFF0000)),  # packed, red in the low byte, rows padded to 32 bits
    ],
)
def test_screen_pixels_become_rgb_rows(bpp, msb, masks):
    """Catches swapped channels, ignored row padding and scaling that skips the last row or column."""
    fmt = screenshot.PixelFormat.from_masks(bpp, masks, msb)
    w, h = 5, 3
    stride = (w * bpp + 31) // 32 * 4
    data = bytearray(b"\xee" * stride * h)  # padding bytes that must never show
    for y in range(h):
        for x in range(w):
            px = bytearray(bpp // 8)
            px[fmt.red], px[fmt.green], px[fmt.blue] = x * 40, y * 80, 7
            data[y * stride + x * len(px) : y * stride + (x + 1) * len(px)] = px
    ow, oh, rgb = screenshot.scale_image(bytes(data), w, h, stride, fmt, max_side=w)
    assert (ow, oh) == (5, 3)
    assert rgb == bytes(v for y in range(h) for x in range(w) for v in (x * 40, y * 80, 7))
    ow, oh, rgb = screenshot.scale_image(bytes(data), w, h, stride, fmt, max_side=3)
    assert (ow, oh) == (3, 2) and rgb[:3] == bytes((0, 0, 7)) and len(rgb) == 3 * 2 * 3


def test_large_screens_are_scaled_to_the_bound():
    """Catches an image over the model's size bound, or one distorted on the way down."""
    assert screenshot.scaled_size(3840, 2160) == (1568, 882)
    assert screenshot.scaled_size(1000, 3000) == (523, 1568)
    assert screenshot.scaled_size(1280, 800) == (1280, 800)
    with pytest.raises(screenshot.Unavailable):
        screenshot.PixelFormat.from_masks(16, (0xF800, 0x7E0, 0x1F), False)


@pytest.fixture
def silent_bus(tmp_path):
    """A socket that accepts connections and never says a word."""
    path = tmp_path / "bus"
    srv = socket.socket(socket.AF_UNIX)
    srv.bind(str(path))
    srv.listen()
    yield f"unix:path={path}"
    srv.close()


@pytest.mark.parametrize(
    "env,says",
    [
        ({}, "No accessibility bus is available: there is no D-Bus session bus"),
        ({"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus"}, "the D-Bus session bus cannot be reached"),
        ({"AT_SPI_BUS_ADDRESS": "tcp:host=127.0.0.1,port=1"}, "The accessibility bus cannot be reached"),
        ({"DBUS_SESSION_BUS_ADDRESS": "silent"}, "the D-Bus session bus did not answer"),
        ({"AT_SPI_BUS_ADDRESS": "silent"}, "The accessibility bus did not answer"),
    ],
    ids=["no-bus", "missing-socket", "unusable-transport", "silent-session-bus", "silent-a11y-bus"],
)
@NEEDS_JEEPNEY
async def test_read_screen_without_a_bus_says_so(monkeypatch, tmp_path, silent_bus, env, says):
    """Catches a crash, a hang or a traceback where a sentence is due when there is no bus to read."""
    for var in ("DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS"):
        monkeypatch.delenv(var, raising=False)
    (tmp_path / "run").mkdir()
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path / "run"))
    for var, value in env.items():
        monkeypatch.setenv(var, silent_bus if value == "silent" else value)
    monkeypatch.setattr(accessibility, "CALL_TIMEOUT", 0.3)
    with pytest.raises(screen.ToolError) as err:
        await asyncio.wait_for(screen.read_screen.run({}), 10)
    message = str(err.value)
    assert says in message and "\n" not in message and message.endswith(".")


@pytest.mark.parametrize(
    "display,says",
    [
        (None, "No display is available (DISPLAY is not set)"),
        pytest.param(":987", "The display :987 cannot be reached", marks=NEEDS_XLIB),
    ],
)
async def test_take_screenshot_without_a_display_says_so(monkeypatch, display, says):
    """Catches a crash or a traceback where a sentence is due when there is no X display."""
    if display is None:
        monkeypatch.delenv("DISPLAY", raising=False)
    else:
        monkeypatch.setenv("DISPLAY", display)
    with pytest.raises(screen.ToolError) as err:
        await screen.take_screenshot.run({})
    assert str(err.value).startswith(says) and "\n" not in str(err.value)


@pytest.mark.parametrize("value", [0, 501, "50", True, 12.5])
async def test_read_screen_rejects_a_bad_element_count(value):
    """Catches a malformed argument from the model reaching the walk instead of coming back as an error."""
    with pytest.raises(screen.ToolError, match="max_elements"):
        await screen.read_screen.run({"max_elements": value})


def test_the_tools_describe_themselves():
    """Catches a tool the agent cannot register: a missing field, a required argument, a side effect claimed."""
    for tool, name in ((screen.read_screen, "read_screen"), (screen.take_screenshot, "take_screenshot")):
        assert tool.NAME == name and tool.DESCRIPTION and tool.SIDE_EFFECTS is False
        assert tool.PARAMETERS["type"] == "object" and not tool.PARAMETERS.get("required")
        assert asyncio.iscoroutinefunction(tool.run)
