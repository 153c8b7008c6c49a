"""Turn control as a user meets it: a phone's keyboard, outcomes worded one way, Stop and Esc that
end only what the user meant, and messages that survive a stop or a lost connection."""

import pytest

expect = pytest.importorskip("playwright.sync_api").expect

PHONE = {"viewport": {"width": 390, "height": 844}, "has_touch": True, "is_mobile": True}


def send(page, text):
    page.fill("#input", text)
    page.press("#input", "Enter")


def new_tab(page):
    page.click("#new-tab")
    tab = page.locator(".tab[aria-selected='true']")
    tab.locator(".tab-name", has_text="New Chat").wait_for()
    return page.locator(f".pane[data-session='{tab.get_attribute('data-session')}']")


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
    expect(page.locator("#resume-select")).to_be_visible()
    assert page.locator("#panes").bounding_box()["y"] == top
    # The menu's two parts do not cover each other.
    hb, conv = page.locator("#hb-controls").bounding_box(), page.locator("#conv-controls").bounding_box()
    assert hb["y"] + hb["height"] <= conv["y"] + 1
    assert page.problems == []

