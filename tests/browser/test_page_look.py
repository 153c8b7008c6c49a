"""The page's look in light and dark: the empty conversation's suggestions, code blocks with their
language, focus rings that can be seen on every background, and no serious axe-core finding on the
new views (colour contrast included)."""

import pytest
from page_actions import send

expect = pytest.importorskip("playwright.sync_api").expect


def axe_problems(page):
    from axe_playwright_python.sync_playwright import Axe

    results = Axe().run(page).response
    return [
        f"{v['id']} ({v['impact']}): {[n['target'] for n in v['nodes']]}"
        for v in results["violations"]
        if v["impact"] in ("serious", "critical")
    ]


# The contrast of an element's focus ring against what lies under the ring (0: no ring).
RING_CONTRAST = """el => {
    const rgb = (c) => c.match(/[\\d.]+/g).map(Number);
    const lum = ([r, g, b]) => [r, g, b].map(v => (v /= 255) <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4)
        .reduce((sum, v, i) => sum + v * [0.2126, 0.7152, 0.0722][i], 0);
    const st = getComputedStyle(el);
    if (st.outlineStyle === 'none' || parseFloat(st.outlineWidth) === 0) return 0;
    const r = el.getBoundingClientRect(), off = parseFloat(st.outlineOffset), w = parseFloat(st.outlineWidth);
    const x = off < 0 ? r.left - off - w / 2 : (r.left - off - w / 2 >= 0 ? r.left - off - w / 2 : r.right + off + w / 2);
    const under = document.elementsFromPoint(x, r.top + r.height / 2).filter(n => off < 0 || !el.contains(n))
        .map(n => rgb(getComputedStyle(n).backgroundColor)).find(c => c.length < 4 || c[3] > 0) || [255, 255, 255];
    const [a, b] = [lum(rgb(st.outlineColor)), lum(under)].sort((p, q) => q - p);
    return (a + 0.05) / (b + 0.05);
}"""


def ring_contrasts(page, selectors):
    page.keyboard.press("Shift")  # the keyboard is in use: focus shows its ring
    found = {}
    for sel in selectors:
        target = page.locator(sel).first
        target.focus()
        found[sel] = round(target.evaluate(RING_CONTRAST), 2)
    return found


@pytest.mark.parametrize("scheme", ["light", "dark"])
def test_the_look_in_light_and_dark(open_page, scheme):
    """Catches a code block without its language or lost in the text, suggestions that do nothing, focus
    rings that vanish on a dark bar or a blue bubble, and contrast faults of the new views."""
    pytest.importorskip("axe_playwright_python")
    page = open_page(viewport={"width": 1200, "height": 560})
    page.emulate_media(color_scheme=scheme)
    page.click("#new-tab")
    tab = page.locator(".tab[aria-selected='true']")
    tab.locator(".tab-name", has_text="New Chat").wait_for()
    pane = page.locator(f".pane[data-session='{tab.get_attribute('data-session')}']")
    found = {}

    suggestions = pane.locator(".suggestion")
    assert suggestions.count() >= 3
    found["empty"] = axe_problems(page)
    rings = ring_contrasts(
        page,
        [
            "[data-hb='start']",
            "#notify-toggle",
            ".tab[aria-selected='true']",
            f"#{pane.get_attribute('id')} .suggestion",
            "#input",
        ],
    )
    picked = suggestions.nth(1).text_content()
    suggestions.nth(1).click()
    assert page.input_value("#input") == picked and not page.is_disabled("#send")

    send(page, "/stream")
    pane.locator(".line.done").wait_for()
    block = pane.locator(".msg.assistant .code-block")
    assert block.locator(".code-lang").text_content() == "python"
    # The block stands out: its background is not the bubble's.
    assert block.locator("pre").evaluate("p => getComputedStyle(p).backgroundColor") != pane.locator(
        ".msg.assistant"
    ).evaluate("m => getComputedStyle(m).backgroundColor")

    # Scrolled up, a failed turn: Retry, "↓ New messages", a message's time and actions in view.
    send(page, "/stream")
    pane.locator(".line.done").nth(1).wait_for()
    pane.evaluate(
        "p => new Promise(ok => { p.addEventListener('scroll', () => setTimeout(ok), {once: true}); p.scrollTop = 0; })"
    )  # returns once the page has seen the scroll
    send(page, "/fail")
    page.locator(".jump-end").wait_for()
    pane.locator(".retry").wait_for()
    page.locator(".jump-end").click()
    pane.locator(".msg.user").last.hover()
    pane.locator(".msg.user .msg-meta").last.evaluate(
        "m => new Promise(ok => { const t = () => "
        "getComputedStyle(m).opacity === '1' ? ok() : setTimeout(t, 20); t(); })"
    )
    found["a failed turn"] = axe_problems(page)
    rings.update(
        ring_contrasts(
            page,
            [
                f"#{pane.get_attribute('id')} .msg.user .msg-copy",
                f"#{pane.get_attribute('id')} .code-head .copy",
                f"#{pane.get_attribute('id')} .retry",
            ],
        )
    )
    assert found == {"empty": [], "a failed turn": []}
    assert {sel: c for sel, c in rings.items() if c < 3} == {}
    assert page.problems == []
