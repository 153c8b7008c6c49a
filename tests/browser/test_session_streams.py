"""A turn that outlives its page: a reload in the middle of a long task, several windows on one
session, and the page on a server without session streams."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "host"))
from serverproc import ServerProcess  # noqa: E402
from page_actions import send  # noqa: E402

expect = pytest.importorskip("playwright.sync_api").expect

MAIN_PANE = ".pane[data-session='session_main']"
STEPS = [f"Scanned part {i} of 20: {i * 7} files" for i in range(1, 21)]


def steps_shown(page):
    return page.locator(f"{MAIN_PANE} .tool.result pre.tool-output").all_text_contents()


def transcript(page):
    """Each child of the pane as "class | text", without how long a turn's steps took and when a
    message arrived (each window measures those on its own clock, the store on the server's: a
    minute can turn in between)."""
    return page.locator(f"{MAIN_PANE} > *:not(.queue)").evaluate_all(
        """nodes => nodes.map(n => { const c = n.cloneNode(true); c.querySelectorAll('.steps-time, .msg-time').forEach(t => t.remove());
                                      return n.className + ' | ' + c.textContent; })"""
    )


@pytest.fixture
def slow_server(tmp_path):
    """``slow_server(*args, step_delay=...)``: steps slow enough that a reload or a window lands in the
    middle of "/slow" (40 steps)."""
    servers = []

    def start(*args, step_delay=0.1):
        servers.append(
            ServerProcess(tmp_path / "data", step_delay=step_delay, log_path=tmp_path / "server.log", args=args)
        )
        return servers[-1].start()

    yield start
    for server in servers:
        server.stop()


def test_a_reload_in_the_middle_of_a_long_task_shows_every_step_once(open_page, slow_server):
    """Catches steps lost or drawn twice by a reload mid-turn, a reloaded page that forgets the turn
    runs, steps missed while the connection was down never replayed, and a live transcript that is
    not the stored one."""
    # The task waits halfway for an approval: the reload and the dropped connection land in its
    # middle however slow the machine is, and it goes on only when the test decides.
    server = slow_server()
    page = open_page(server=server)
    send(page, "/slow, then delete old-report.pdf")
    page.locator(f"{MAIN_PANE} .approval button.approve").wait_for()
    page.reload()
    page.locator(f"{MAIN_PANE} .approval button.approve").wait_for()  # still asked, after the reload too
    page.wait_for_selector("#working", state="visible")  # the turn goes on, and the page knows it
    expect(page.locator("#stop")).to_be_enabled()
    assert steps_shown(page) == STEPS[:10]

    # Then the connection drops and stays down (no ticket) while another window approves and the
    # task ends: the steps missed meanwhile are replayed once it is back.
    page.route("**/api/ws-ticket", lambda route: route.fulfill(status=503))
    page.evaluate("() => ui.ws.close()")
    page.wait_for_selector("#conn.conn-off")
    other = open_page(server=server)
    other.locator(f"{MAIN_PANE} .approval button.approve").click()
    other.locator(f"{MAIN_PANE} .line.done").wait_for()
    everything = steps_shown(other)
    assert len(everything) == 21 and everything[:10] == STEPS[:10] and everything[11:] == STEPS[10:]
    assert everything[10].startswith("Done (simulated): delete_file")
    assert steps_shown(page) == STEPS[:10]  # (nothing reached the page meanwhile)
    page.unroute("**/api/ws-ticket")
    page.locator(f"{MAIN_PANE} .line.done").wait_for()
    assert steps_shown(page) == everything
    # The decision taken meanwhile is the one the page shows, as the store has it.
    expect(page.locator(f"{MAIN_PANE} .line.awaiting")).to_have_text("🔐 delete_file: approved")
    expect(page.locator(f"{MAIN_PANE} .approval")).to_have_count(0)  # (a settled card goes)

    # The same transcript as the store's, which a reload after the turn shows.
    live = transcript(page)
    page.reload()
    page.locator(f"{MAIN_PANE} .line.done").wait_for()
    assert transcript(page) == live and page.locator(f"{MAIN_PANE} .msg.user").count() == 1
    assert page.problems == [] and other.problems == []


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
