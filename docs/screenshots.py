"""The README's screenshots, taken from the real server and the system's Chromium.

    .venv/bin/python docs/screenshots.py          # writes docs/screenshot*.png

A fresh data directory, the demo agents, and a short session of the kind a new user has: a question
answered with steps, a risky request waiting for approval, a Computer Use task. Light and dark on a
desktop window, and a 390×844 phone.
"""

from __future__ import annotations

import shutil
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "host"))
from serverproc import ServerProcess  # noqa: E402

SHOTS = [
    ("screenshot.png", "light", {"width": 1280, "height": 860}),
    ("screenshot-dark.png", "dark", {"width": 1280, "height": 860}),
    ("screenshot-phone.png", "light", {"width": 390, "height": 844}),
]


def send(page, text: str) -> None:
    page.fill("#input", text)
    page.click("#send")


def stage(page) -> None:
    """The conversation every screenshot shows."""
    send(page, "What's in my Projects folder?")
    page.wait_for_selector("#stop:disabled", timeout=15_000)  # the turn has ended
    send(page, "Delete old-report.pdf from my Downloads")
    page.wait_for_selector(".approval button", timeout=15_000)


def main() -> None:
    from playwright.sync_api import sync_playwright

    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        sys.exit("no system Chromium (apt-get install chromium)")
    with tempfile.TemporaryDirectory() as tmp, ServerProcess(Path(tmp) / "data", step_delay=0.05) as server:
        with sync_playwright() as p:
            browser = p.chromium.launch(executable_path=chromium, args=["--no-sandbox"])
            staged = False
            for name, scheme, viewport in SHOTS:
                context = browser.new_context(
                    viewport=viewport,
                    color_scheme=scheme,
                    is_mobile=viewport["width"] < 500,
                    has_touch=viewport["width"] < 500,
                    device_scale_factor=1,
                )
                page = context.new_page()
                page.goto(server.address)
                page.wait_for_selector("#conn.conn-on")
                if not staged:
                    stage(page)
                    staged = True
                page.wait_for_selector(".approval button", timeout=15_000)
                page.wait_for_timeout(500)  # images and fonts settle
                page.screenshot(path=str(HERE / name))
                print("wrote", HERE / name)
                context.close()
            browser.close()


if __name__ == "__main__":
    main()
