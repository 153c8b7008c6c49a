"""A turn's steps as the user reads them: one card per tool call, folded under one line once the
turn is over, and screenshots that open large."""

import re

import pytest
from page_actions import send, new_tab

expect = pytest.importorskip("playwright.sync_api").expect


def test_a_turns_steps_fold_under_one_line(open_page):
    """Catches a call and its result drawn as two cards or under two names, steps shut while the
    turn runs or left open after it, a fold that forgets the user's choice at a reload, and a
    screenshot that cannot be seen large."""
    page = open_page()
    pane = new_tab(page)
    groups = pane.locator("details.steps")
    send(page, "/stall")
    groups.first.locator(".line.thinking", has_text="slow model").wait_for()
    expect(groups.first).to_have_attribute("open", "")
    page.click("#stop")
    expect(pane.locator(".line.outcome")).to_have_text("⏹ Stopped")
    expect(groups.first).not_to_have_attribute("open", "")

    send(page, "/slow")
    pane.locator(".line.done").wait_for(state="attached")
    slow = groups.nth(1)
    expect(slow).not_to_have_attribute("open", "")
    expect(slow.locator(".steps-line")).to_have_text(re.compile(r"^Standard agent 20 steps · \d+ s$"))
    cards = slow.locator(".tool")
    assert cards.count() == 20
    assert cards.evaluate_all("""cs => cs.every(c => c.matches('.result') && c.querySelectorAll('.tool-name').length === 1
        && c.querySelector('.tool-name').textContent === 'scan_folder' && c.querySelector('.tool-args')
        && c.querySelector('.tool-output'))""")

    slow.locator(".steps-line").click()  # the user wants finished steps open
    expect(slow).to_have_attribute("open", "")
    page.reload()
    page.click(f".tab[data-session='{pane.get_attribute('data-session')}']")
    pane.locator(".line.done").wait_for()
    expect(groups.nth(1)).to_have_attribute("open", "")
    expect(groups.nth(1).locator(".steps-line")).to_have_text(re.compile(r"^Standard agent 20 steps · \d+ s$"))
    assert groups.nth(1).locator(".tool").count() == 20

    page.check("#cu-toggle")
    send(page, "click the button")
    shot = pane.locator(".shot-open").first
    shot.wait_for()
    small = shot.bounding_box()["width"]
    shot.click()
    large = page.locator("#shot-view img")
    expect(large).to_be_visible()
    assert large.bounding_box()["width"] > small
    page.keyboard.press("Escape")
    expect(large).to_be_hidden()
    assert page.problems == []
