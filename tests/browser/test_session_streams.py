"""A turn that outlives its page: a reload in the middle of a long task, several windows on one
session, and the page on a server without session streams."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "host"))
from serverproc import ServerProcess  # noqa: E402

expect = pytest.importorskip("playwright.sync_api").expect

MAIN_PANE = ".pane[data-session='session_main']"
STEPS = [f"Scanned part {i} of 20: {i * 7} files" for i in range(1, 21)]


def send(page, text):
    page.fill("#input", text)
    page.press("#input", "Enter")


def steps_shown(page):
    return page.locator(f"{MAIN_PANE} .tool.result pre.tool-output").all_text_contents()


def transcript(page):
    """Each child of the pane as "class | text", without how long a turn's steps took (each window
    measures that on its own clock)."""
    return page.locator(f"{MAIN_PANE} > *:not(.queue)").evaluate_all(
        """nodes => nodes.map(n => { const c = n.cloneNode(true); c.querySelectorAll('.steps-time').forEach(t => t.remove());
                                      return n.className + ' | ' + c.textContent; })""")


@pytest.fixture
def slow_server(tmp_path):
    """``slow_server(*args, step_delay=...)``: steps slow enough that a reload or a window lands in the
    middle of "/slow" (40 steps)."""
    servers = []

    def start(*args, step_delay=0.1):
        servers.append(ServerProcess(tmp_path / "data", step_delay=step_delay, log_path=tmp_path / "server.log",
                                     args=args))
        return servers[-1].start()

    yield start
    for server in servers:
        server.stop()


def test_a_reload_in_the_middle_of_a_long_task_shows_every_step_once(open_page, slow_server):
    # An 8 s turn: the reload, which a busy machine makes slow, must end well before it does.
    page = open_page(server=slow_server(step_delay=0.2))
    send(page, "/slow tidy the projects")
    page.locator(f"{MAIN_PANE} .tool.result", has_text="part 3 of 20").wait_for()
    page.reload()
    page.wait_for_selector("#working", state="visible")  # the turn goes on, and the page knows it
    expect(page.locator("#stop")).to_be_enabled()
    # Then the connection drops (the page stays): the steps missed meanwhile are replayed.
    shown = len(steps_shown(page))
    page.evaluate("() => ui.ws.close()")
    page.wait_for_selector("#conn.conn-off")
    page.locator(f"{MAIN_PANE} .line.done").wait_for()
    assert 3 <= shown < 20 and steps_shown(page) == STEPS

    # The same transcript as the store's, which a reload after the turn shows.
    live = transcript(page)
    page.reload()
    page.locator(f"{MAIN_PANE} .line.done").wait_for()
    assert transcript(page) == live and page.locator(f"{MAIN_PANE} .msg.user").count() == 1
    assert page.problems == []


def test_every_window_of_a_session_sees_its_turn_live(open_page, slow_server):
    server = slow_server()
    asker, watcher = open_page(server=server), open_page(server=server)
    send(asker, "/slow tidy the projects")
    watcher.locator(f"{MAIN_PANE} .tool.result", has_text="part 2 of 20").wait_for()
    expect(watcher.locator("#working")).to_be_visible()
    expect(watcher.locator("#stop")).to_be_enabled()
    late = open_page(server=server)  # opened while the turn runs
    for page in (asker, watcher, late):
        page.locator(f"{MAIN_PANE} .line.done").wait_for()
        assert steps_shown(page) == STEPS
        assert page.locator(f"{MAIN_PANE} .msg.user .body").all_text_contents() == ["/slow tidy the projects"]

    # Stop from one window ends the turn in the others too.
    send(watcher, "/slow once more")
    asker.locator(f"{MAIN_PANE} .tool.result", has_text="part 1 of 20").nth(1).wait_for()
    watcher.click("#stop")
    for page in (asker, watcher, late):
        page.locator(f"{MAIN_PANE} .line.system", has_text="stopped").wait_for()
        page.wait_for_selector("#working", state="hidden")
    assert asker.problems == [] and watcher.problems == [] and late.problems == []


def test_without_session_streams_the_page_works_as_before(open_page, slow_server):
    page = open_page(server=slow_server("--no-session-streams"))
    send(page, "/slow tidy the projects")
    page.locator(f"{MAIN_PANE} .tool.result", has_text="part 2 of 20").wait_for()
    # A turn ends with its window: the reloaded page shows how it ended.
    page.reload()
    page.locator(f"{MAIN_PANE} .line.system", has_text="cancelled").wait_for()
    page.wait_for_selector("#working", state="hidden")
    assert page.locator(f"{MAIN_PANE} .msg.user .body").all_text_contents() == ["/slow tidy the projects"]
    assert page.locator(".toast").count() == 0 and page.problems == []  # the refused "attach" is not an error
