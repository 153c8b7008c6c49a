"""The screen tools on a real desktop: Xvfb, a private D-Bus session with the accessibility bus,
and the GTK window of desktop_app.py. Skipped where those programs are not installed
(`make test` installs them when it runs as root)."""

import asyncio
import base64
import importlib
import os
import shutil
import signal
import struct
import subprocess
import zlib
from pathlib import Path

import pytest

from tavrin.core.tools import accessibility, screen

SYSTEM_PYTHON = "/usr/bin/python3"
APP = Path(__file__).with_name("desktop_app.py")
WIDTH, HEIGHT = 2400, 1200  # larger than the screenshot's bound, so it is scaled


def _missing() -> str | None:
    for prog in ("Xvfb", "dbus-daemon"):
        if shutil.which(prog) is None:
            return prog
    if not any(Path(d, "at-spi-bus-launcher").exists() for d in ("/usr/libexec", "/usr/lib/at-spi2-core")):
        return "at-spi2-core"
    probe = [SYSTEM_PYTHON, "-c", "import gi; gi.require_version('Gtk', '3.0'); from gi.repository import Gtk"]
    if not os.path.exists(SYSTEM_PYTHON) or subprocess.run(probe, capture_output=True).returncode != 0:
        return "python3-gi with gir1.2-gtk-3.0"
    return None


def _lacking_clients() -> str | None:
    """The llm extra's D-Bus or X client, when this venv lacks it."""
    for module, package in (("jeepney", "jeepney"), ("Xlib", "python-xlib")):
        try:
            importlib.import_module(module)
        except ImportError:
            return package
    return None


MISSING = _missing() or _lacking_clients()
pytestmark = pytest.mark.skipif(MISSING is not None, reason=f"no desktop to test on: {MISSING} is not installed")


def _stop(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


@pytest.fixture(scope="module")
def desktop(tmp_path_factory):
    """DISPLAY and DBUS_SESSION_BUS_ADDRESS of a desktop showing desktop_app.py's active window."""
    run = tmp_path_factory.mktemp("run")
    run.chmod(0o700)
    # The children get a plain environment: no sanitizer preloads, and the accessibility bus's
    # socket in our own runtime directory rather than one shared with other sessions.
    env = {
        k: v
        for k, v in os.environ.items()
        if not k.startswith(("LD_PRELOAD", "ASAN_", "LSAN_", "UBSAN_", "DBUS_", "AT_SPI", "NO_AT_BRIDGE"))
    }
    env.update(XDG_RUNTIME_DIR=str(run), HOME=str(run), GSETTINGS_BACKEND="memory")
    procs = []
    try:
        rd, wr = os.pipe()
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(wr), "-screen", "0", f"{WIDTH}x{HEIGHT}x24", "-br", "-nolisten", "tcp"],
            pass_fds=(wr,),
            env=env,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        procs.append(xvfb)
        os.close(wr)
        with os.fdopen(rd) as f:
            number = f.readline().strip()
        assert number, "Xvfb did not start"
        env["DISPLAY"] = f":{number}"
        bus = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--print-address=1"],
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
        )
        procs.append(bus)
        env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        app = subprocess.Popen(
            [SYSTEM_PYTHON, str(APP)], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True
        )
        procs.append(app)
        assert app.stdout.readline().strip() == "ready", "the GTK window did not come up"
        yield {
            "env": {
                "DISPLAY": env["DISPLAY"],
                "DBUS_SESSION_BUS_ADDRESS": env["DBUS_SESSION_BUS_ADDRESS"],
                "XDG_RUNTIME_DIR": str(run),
            },
            "app": app,
        }
    finally:
        # The accessibility bus and its registry leave with the session bus they were started on.
        for proc in reversed(procs):
            _stop(proc)


@pytest.fixture
def on_desktop(desktop, monkeypatch):
    monkeypatch.delenv("AT_SPI_BUS_ADDRESS", raising=False)
    for var, value in desktop["env"].items():
        monkeypatch.setenv(var, value)
    return desktop["app"]


def png_pixels(png: bytes) -> tuple[int, int, bytes]:
    """Width, height and RGB rows (each led by its filter byte) of an 8-bit RGB PNG."""
    assert png.startswith(b"\x89PNG\r\n\x1a\n")
    pos, idat, header = 8, b"", None
    while pos < len(png):
        (length,) = struct.unpack(">I", png[pos : pos + 4])
        tag, data = png[pos + 4 : pos + 8], png[pos + 8 : pos + 8 + length]
        header = struct.unpack(">IIBBBBB", data) if tag == b"IHDR" else header
        idat += data if tag == b"IDAT" else b""
        pos += 12 + length
    width, height, depth, colour = header[:4]
    assert (depth, colour) == (8, 2)
    return width, height, zlib.decompress(idat)


async def test_read_screen_shows_the_active_window(on_desktop):
    """Catches a walk that misses the active window, misreads its controls, or reads a password field."""
    # The application registers with the accessibility registry as it starts; wait until it is listed.
    async with asyncio.timeout(30):
        while True:
            try:
                text = (await screen.read_screen.run({}))["text"]
                break
            except screen.ToolError:
                await asyncio.sleep(0.1)
    assert text.startswith('Focused window: frame "Tavrin test window"')
    for expected in (
        'text text="typed text" [focused, editable]',
        'push button "Press me" @',
        'push button "Unavailable" [disabled]',
        'check box "Remember" [checked]',
        "slider value=42",
        'table cell "Item 0"',
    ):
        assert expected in text, expected
    assert "hunter2" not in text and "Hidden button" not in text
    assert "more elements not shown" in text  # rows scrolled out of view


async def test_take_screenshot_shows_the_window_scaled_to_the_bound(on_desktop):
    """Catches a screenshot over the size bound, with its channels swapped, or missing the window."""
    result = await screen.take_screenshot.run({})
    width, height, rows = png_pixels(base64.b64decode(result["image_png_base64"]))
    assert (width, height) == (1568, 784)
    assert f"scaled down from {WIDTH}x{HEIGHT}" in result["text"]
    stride = 1 + width * 3

    def pixel(x, y):
        at = y * stride + 1 + x * 3
        return tuple(rows[at : at + 3])

    # The window sits at the top left on a black root window: its light grey background there,
    # black far off to the right.
    assert min(pixel(100, 350)) > 150 and pixel(1500, 700) == (0, 0, 0)


async def test_a_frozen_application_is_reported_not_waited_for(on_desktop, monkeypatch):
    """Catches a read that hangs the turn on an application that stopped answering."""
    monkeypatch.setattr(accessibility, "CALL_TIMEOUT", 0.5)
    on_desktop.send_signal(signal.SIGSTOP)
    try:
        with pytest.raises(screen.ToolError, match="did not answer within 0.5 s"):
            await asyncio.wait_for(screen.read_screen.run({}), 10)
    finally:
        on_desktop.send_signal(signal.SIGCONT)
