"""Turn control as a user meets it: a phone's keyboard, outcomes worded one way, Stop and Esc that
end only what the user meant, and messages that survive a stop or a lost connection."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "host"))
from serverproc import ServerProcess  # noqa: E402
from page_actions import send, new_tab  # noqa: E402

expect = pytest.importorskip("playwright.sync_api").expect

PHONE = {"viewport": {"width": 390, "height": 844}, "has_touch": True, "is_mobile": True}


def test_a_phone_types_newlines_and_sends_with_the_button(open_page):
    """Catches Enter sending on a touch keyboard, hints of keys a phone lacks, controls too small for
    a finger, and a menu that pushes the transcript down."""
    page = open_page(**PHONE)
    pane = new_tab(page)
    page.click("#input")
    page.keyboard.type("first line")
    page.keyboard.press("Enter")
    page.keyboard.type("second line")
    assert page.input_value("#input") == "first line\nsecond line"
    assert pane.locator(".msg.user").count() == 0
    for hint in ("Enter", "Esc", "Shift"):
        assert hint not in page.get_attribute("#input", "placeholder")
    page.click("#send")
    expect(pane.locator(".msg.user .body")).to_have_text("first line\nsecond line")
    pane.locator(".line.done").wait_for()

    small = page.evaluate("""() => [...document.querySelectorAll('button, select, [role=tab], .tab-close')]
        .filter(n => n.offsetParent !== null)
        .map(n => [n.id || n.className || n.textContent, n.getBoundingClientRect()])
        .filter(([, r]) => r.width < 44 || r.height < 44).map(([name]) => name)""")
    assert small == []

    top = page.locator("#panes").bounding_box()["y"]
    page.click("#menu-btn")
    expect(page.locator("#new-conv")).to_be_visible()
    assert page.locator("#panes").bounding_box()["y"] == top
    # The menu's two parts do not cover each other.
    hb, conv = page.locator("#hb-controls").bounding_box(), page.locator("#conv-controls").bounding_box()
    assert hb["y"] + hb["height"] <= conv["y"] + 1
    assert page.problems == []


def test_a_stop_reads_the_same_in_every_window_and_in_the_store(open_page):
    """Catches a stop worded as a cancellation, a window that cannot tell a stop made elsewhere, a
    stored outcome worded apart from the live one, and a working line named after the first message."""
    page = open_page()
    pane = new_tab(page)
    sid = pane.get_attribute("data-session")
    send(page, "/stall")
    pane.locator(".line.thinking", has_text="slow model").wait_for()
    page.locator(f".tab[data-session='{sid}'] .tab-name", has_text="/stall").wait_for()  # named after it
    expect(page.locator("#working-text")).to_have_text("Thinking…")

    other = open_page()
    other.click(f".tab[data-session='{sid}']")
    expect(other.locator("#stop")).to_be_enabled()
    other.click("#stop")
    expect(other.locator(f".pane[data-session='{sid}'] .line.outcome")).to_have_text("⏹ Stopped")
    expect(pane.locator(".line.outcome")).to_have_text("⏹ Stopped from another window")

    page.reload()
    page.click(f".tab[data-session='{sid}']")
    page.wait_for_function("() => !document.querySelector('.pane.stale')")
    expect(pane.locator(".line.outcome")).to_have_text("⏹ Stopped")
    assert page.problems == [] and other.problems == []


@pytest.mark.parametrize("stall_first", [True, False], ids=["warning first", "end first"])
def test_a_watchdog_stop_reads_as_stopped(open_page, stall_first):
    """Catches a watchdog stop worded as a cancellation or as a stop from another window, whichever
    of its two events arrives first."""
    page = open_page()
    pane = new_tab(page)
    sid = pane.get_attribute("data-session")
    warning = {
        "type": "stall_warning",
        "session_id": sid,
        "seconds": 40,
        "auto_cancelled": True,
        "message": "Tavrin appears to have stalled (no activity for 40s) and has been automatically stopped.",
    }
    end = {"type": "cancelled", "session_id": sid, "message": "Task cancelled"}
    page.evaluate(
        "evs => evs.forEach(handleEvent)",
        [
            {"type": "mode", "session_id": sid, "mode": "standard", "message": ""},
            *([warning, end] if stall_first else [end, warning]),
        ],
    )
    expect(pane.locator(".line.outcome")).to_have_text("⏹ Stopped: no progress for 40 s")
    expect(page.locator("#stall-banner")).to_be_visible()
    assert "cancelled" not in pane.text_content().lower()


def test_esc_a_stop_and_a_queued_message(open_page):
    """Catches Esc stopping a turn from outside its tab's composer and transcript, a queued message
    that goes out by itself after a stop, and one that cannot be sent or discarded then."""
    page = open_page()
    pane = new_tab(page)
    send(page, "/stall")
    pane.locator(".line.thinking", has_text="slow model").wait_for()
    send(page, "and then say hello")
    send(page, "and this one not")
    queued = pane.locator(".msg.user.queued")
    expect(queued).to_have_count(2)

    page.focus("#new-conv")  # outside the composer and the transcript: Esc is not a stop there
    page.keyboard.press("Escape")
    page.focus(f".pane[data-session='{pane.get_attribute('data-session')}']")
    expect(page.locator("#stop")).to_be_enabled()
    page.keyboard.press("Escape")
    expect(pane.locator(".line.outcome")).to_have_text("⏹ Stopped")

    expect(queued.locator("button", has_text="Send now")).to_have_count(2)
    assert pane.locator(".msg.user:not(.queued)").count() == 1  # nothing went out by itself
    queued.filter(has_text="and this one not").locator("button", has_text="Discard").click()
    queued.locator("button", has_text="Send now").click()
    pane.locator(".line.done").wait_for()
    assert pane.locator(".msg.user .body").all_text_contents() == ["/stall", "and then say hello"]
    assert page.problems == []


def test_closing_a_working_tab_asks_first(open_page):
    """Catches a tab closed, and its turn stopped, without the user being asked."""
    page = open_page()
    pane = new_tab(page)
    sid = pane.get_attribute("data-session")
    send(page, "/stall")
    pane.locator(".line.thinking", has_text="slow model").wait_for()
    tab = page.locator(f".tab[data-session='{sid}']")
    tab.locator(".tab-close").click()
    page.click("#ask-no")
    expect(page.locator("#stop")).to_be_enabled()
    assert tab.count() == 1
    tab.locator(".tab-close").click()
    page.click("#ask-yes")
    tab.wait_for(state="detached")
    assert page.problems == []


def test_a_message_typed_offline_goes_out_on_reconnect(open_page, tmp_path):
    """Catches a message typed while the server is away being dropped, or sent twice on reconnect."""
    server = ServerProcess(tmp_path / "data", log_path=tmp_path / "server.log").start()
    try:
        page = open_page(server=server)
        pane = page.locator(".pane[data-session='session_main']")
        server.stop()
        page.wait_for_selector("#conn.conn-off")
        send(page, "written on the train")
        expect(pane.locator(".msg.user.queued .queued-note")).to_contain_text("Waits for the connection")
        assert page.input_value("#input") == ""
        server.start()
        pane.locator(".line.done").wait_for()
        assert pane.locator(".msg.user .body").all_text_contents() == ["written on the train"]
        assert pane.locator(".msg.user.queued").count() == 0
        problems = [p for p in page.problems if "Not connected" not in p]
        assert problems == []
    finally:
        server.stop()
