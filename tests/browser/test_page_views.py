"""What the page shows of state it does not own: the heartbeat runner's, a long stored conversation
read a page at a time, and a resumed conversation whose screenshots load after it is drawn."""

from datetime import datetime, timezone

import pytest

expect = pytest.importorskip("playwright.sync_api").expect

MAIN_PANE = ".pane[data-session='session_main']"


def send(page, text):
    page.fill("#input", text)
    page.press("#input", "Enter")


def offered(page):
    return page.locator("[data-hb]:visible").evaluate_all("buttons => buttons.map(b => b.dataset.hb)")


def at(hour, minute=0):
    return datetime(2026, 12, 9, hour, minute, tzinfo=timezone.utc)


def test_the_heartbeat_line_says_what_the_runner_does(open_page):
    """Catches a line that shows the action asked for instead of the runner's state, hides quiet
    hours, or offers actions that do not apply."""
    page = open_page(timezone_id="UTC")
    page.clock.set_fixed_time(at(23, 30))  # inside the default quiet hours, 23:00 to 07:00
    status = page.locator("#hb-status")
    expect(status).to_have_text("stopped")
    assert offered(page) == ["start", "status"]

    page.fill("#hb-interval", "5")
    page.click("[data-hb='start']")
    expect(status).to_have_text("quiet until 07:00 · every 5 s")
    assert "quiet hours, 23:00 to 07:00" in status.get_attribute("title")
    assert offered(page) == ["pause", "stop", "status"]
    page.fill("#hb-interval", "60")  # another interval: Start applies again
    assert offered(page) == ["start", "pause", "stop", "status"]
    page.fill("#hb-interval", "5")

    page.click("[data-hb='pause']")
    expect(status).to_have_text("paused · every 5 s")
    assert offered(page) == ["resume", "stop", "status"]

    page.clock.set_fixed_time(at(12))
    page.click("[data-hb='resume']")
    expect(status).to_have_text("running · every 5 s")

    page.click("[data-hb='stop']")
    expect(status).to_have_text("stopped")
    assert offered(page) == ["start", "status"]
    # A paused flag left on a stopped runner is not "paused".
    page.evaluate("handleEvent({type: 'heartbeat_status', status: 'stopped', paused: true, interval: 5})")
    expect(status).to_have_text("stopped")
    assert page.problems == []
