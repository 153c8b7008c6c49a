"""Browser tests: the real server and Debian's Chromium driven by Playwright.

They skip when Playwright or a system Chromium is missing; no browser is ever downloaded.
"""

from __future__ import annotations

import shutil
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "host"))
from serverproc import ServerProcess, require_gateway  # noqa: E402


@pytest.fixture(scope="module")
def chromium_path():
    path = shutil.which("chromium") or shutil.which("chromium-browser")
    if path is None:
        pytest.skip("no system Chromium (apt-get install chromium)")
    return path


@pytest.fixture(scope="module")
def browser(chromium_path):
    sync_api = pytest.importorskip("playwright.sync_api")
    with sync_api.sync_playwright() as p:
        browser = p.chromium.launch(executable_path=chromium_path, args=["--no-sandbox"])
        yield browser
        browser.close()


@pytest.fixture(scope="module")
def app_server(tmp_path_factory):
    require_gateway()
    data = tmp_path_factory.mktemp("browser-data")
    server = ServerProcess(data, step_delay=0.02, log_path=data.parent / "browser-server.log").start()
    yield server
    server.stop()


@pytest.fixture
def open_page(browser, app_server):
    """Open the UI in a fresh browser context; page errors and dialogs are recorded on the page.

    ``open_page(server=..., **context_options)`` opens another server's page, or changes the
    context (a phone's viewport, say)."""
    contexts = []

    def open_(server=None, **context_options):
        context = browser.new_context(**{"viewport": {"width": 1200, "height": 800}, **context_options})
        contexts.append(context)
        page = context.new_page()
        page.problems = []
        page.on("pageerror", lambda error: page.problems.append(f"page error: {error}"))
        page.on("dialog", lambda dialog: (page.problems.append(f"dialog: {dialog.message}"), dialog.dismiss()))
        srv = server or app_server
        page.goto(srv.address)  # the printed address, token included
        assert page.url == srv.http + "/"  # the token went into the tab's storage, out of the address
        page.wait_for_selector("#conn.conn-on")
        page.wait_for_selector(".tab[data-session='connector_inbox']")  # sessions are listed
        return page

    yield open_
    for context in contexts:
        context.close()
