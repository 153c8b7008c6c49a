"""The conversation sidebar as a user meets it: every tab's conversations, search with the matching
words, opening one into the tab, rename, delete with undo (also after a reload), export as files,
and on a phone a drawer over the page; axe-core on it in both themes."""

import json
from pathlib import Path

import pytest

expect = pytest.importorskip("playwright.sync_api").expect


def new_tab(page):
    page.click("#new-tab")
    tab = page.locator(".tab[aria-selected='true']")
    tab.locator(".tab-name", has_text="New Chat").wait_for()
    return tab.get_attribute("data-session")


def chat(page, sid, text):
    pane = page.locator(f".pane[data-session='{sid}']")
    done = pane.locator(".line.done").count()
    page.fill("#input", text)
    page.click("#send")  # (on a phone Enter is a newline)
    expect(pane.locator(".line.done")).to_have_count(done + 1)


def row(page, title):
    return page.locator("#conv-list .conv-row", has=page.locator(".conv-name", has_text=title))


def action(page, title, name):
    r = row(page, title)
    if r.locator(".conv-more").get_attribute("aria-expanded") != "true":
        r.locator(".conv-more").click()
    r.get_by_role("button", name=name, exact=True).click()


def axe_problems(page, where):
    from axe_playwright_python.sync_playwright import Axe

    results = Axe().run(page, context=where).response
    return [
        f"{v['id']} ({v['impact']}): {[n['target'] for n in v['nodes']]}"
        for v in results["violations"]
        if v["impact"] in ("serious", "critical")
    ]


def test_search_open_rename_delete_with_undo_and_export(open_page, tmp_path):
    """Catches matching words drawn as HTML, a search that misses words or raises on syntax, an open
    that does not resume into the tab, a rename Esc does not cancel or the title line does not
    follow, a delete that loses the conversation despite Undo (also after a reload), a tab left on
    a deleted conversation, and exports that are no download or miss the conversation."""
    page = open_page()
    sid = new_tab(page)
    pane = page.locator(f".pane[data-session='{sid}']")
    chat(page, sid, "Count the <b>pelicans</b> on the Lisbon roofs")
    page.click("#new-conv")
    pane.locator(".empty").wait_for()
    chat(page, sid, "Book the ferry to Porto")
    lisbon, porto = row(page, "Count the <b>pelicans</b>"), row(page, "Book the ferry to Porto")
    expect(porto).to_have_attribute("aria-current", "true")  # the tab's conversation
    expect(porto.locator(".conv-tab")).to_have_text("💬 Count the <b>pelicans</b> on the Lisbon roofs")
    names = page.locator("#conv-list .conv-name").all_text_contents()
    assert names.index("Book the ferry to Porto") < names.index("Count the <b>pelicans</b> on the Lisbon roofs")

    page.fill("#conv-search", "pelic")
    expect(page.locator("#conv-list .conv-row")).to_have_count(1)
    expect(lisbon.locator(".conv-snippet mark")).to_have_text("pelicans")
    assert lisbon.locator(".conv-snippet b").count() == 0 and "<b>" in lisbon.locator(".conv-snippet").text_content()
    page.fill("#conv-search", '"<img src=x onerror=alert(1)> NEAR( *')
    expect(page.locator("#conv-status")).to_contain_text("No conversation matches")
    page.fill("#conv-search", "lisbon roofs")
    expect(page.locator("#conv-list .conv-row")).to_have_count(1)

    lisbon.locator(".conv-open").click()
    pane.locator(".line.resumed").wait_for()
    expect(lisbon).to_have_attribute("aria-current", "true")
    expect(page.locator("#conv-title")).to_have_text("Count the <b>pelicans</b> on the Lisbon roofs")

    action(page, "Count the", "Rename")
    title = page.locator(".conv-rename-input")
    expect(title).to_be_focused()
    title.fill("Discarded")
    title.press("Escape")
    expect(lisbon.locator(".conv-name")).to_have_text("Count the <b>pelicans</b> on the Lisbon roofs")
    action(page, "Count the", "Rename")
    title.fill("Pelican census")
    title.press("Enter")
    census = row(page, "Pelican census")
    expect(census).to_have_count(1)
    expect(page.locator("#conv-title")).to_have_text("Pelican census")  # the tab's title line follows
    pytest.importorskip("axe_playwright_python")
    action(page, "Pelican census", "Rename")  # the row with its actions open, and the rename field
    found = {}
    for scheme in ("light", "dark"):
        page.emulate_media(color_scheme=scheme)
        found[scheme] = axe_problems(page, "#sidebar")
    assert found == {"light": [], "dark": []}
    title.press("Escape")

    files = {}
    for fmt, label in (("md", "Export Markdown"), ("json", "Export JSON")):
        with page.expect_download() as download:
            action(page, "Pelican census", label)
        assert download.value.suggested_filename == f"Pelican-census.{fmt}"
        files[fmt] = Path(download.value.path()).read_text()
    assert files["md"].startswith("# Pelican census\n") and "Count the <b>pelicans</b>" in files["md"]
    stored = json.loads(files["json"])
    assert {"user", "tool_call", "tool_result", "assistant", "outcome"} <= {m["role"] for m in stored["messages"]}
    assert all("created_at" in m for m in stored["messages"])

    # Deleted: the row goes, the tab starts anew; Undo brings both back.
    action(page, "Pelican census", "Delete")
    expect(census).to_have_count(0)
    expect(pane.locator(".empty")).to_be_visible()
    undo = page.locator(".undo-toast button.undo")
    expect(undo).to_be_focused()
    undo.click()
    expect(census).to_have_count(1)
    expect(page.locator("#conv-title")).to_have_text("Pelican census")
    expect(pane.locator(".msg.user .body").first).to_have_text("Count the <b>pelicans</b> on the Lisbon roofs")

    # A reload within the time to undo offers the Undo again.
    action(page, "Pelican census", "Delete")
    expect(census).to_have_count(0)
    page.reload()
    page.wait_for_selector("#conn.conn-on")
    page.locator(".undo-toast button.undo").click()
    page.fill("#conv-search", "census")
    expect(row(page, "Pelican census")).to_have_count(1)
    assert page.problems == []


def test_on_a_phone_the_sidebar_is_a_drawer_over_the_page(open_page):
    """Catches a sidebar that squeezes the phone's transcript, a drawer without a named button, one
    that Esc does not close or that leaves the focus behind, and small touch targets in it."""
    page = open_page(viewport={"width": 390, "height": 844}, has_touch=True, is_mobile=True)
    sid = new_tab(page)
    chat(page, sid, "Water the tomatoes at six")
    button = page.get_by_role("button", name="Conversations", exact=True)
    expect(button).to_have_attribute("aria-expanded", "false")
    expect(page.locator("#sidebar")).to_be_hidden()
    panes = page.locator("#panes").bounding_box()
    assert panes["x"] == 0 and panes["width"] == 390

    button.click()
    expect(page.locator("#conv-search")).to_be_focused()
    expect(button).to_have_attribute("aria-expanded", "true")
    assert page.locator("#panes").bounding_box() == panes  # over the page, which does not move
    tomatoes = row(page, "Water the tomatoes at six")
    tomatoes.locator(".conv-more").click()
    small = page.evaluate("""() => [...document.querySelectorAll('#sidebar button, #sidebar input')]
        .filter(n => n.offsetParent !== null).map(n => [n.className, n.getBoundingClientRect()])
        .filter(([, r]) => r.width < 44 || r.height < 44).map(([name]) => name)""")
    assert small == []
    pytest.importorskip("axe_playwright_python")
    page.emulate_media(color_scheme="dark")
    assert axe_problems(page, "#sidebar") == []

    page.keyboard.press("Escape")  # first the row's actions, then the drawer
    expect(tomatoes.locator(".conv-more")).to_be_focused()
    page.keyboard.press("Escape")
    expect(page.locator("#sidebar")).to_be_hidden()
    expect(button).to_be_focused()

    button.click()
    page.locator("#sidebar-backdrop").click(position={"x": 380, "y": 400})  # a tap beside the drawer
    expect(page.locator("#sidebar")).to_be_hidden()
    button.click()
    tomatoes.locator(".conv-open").click()  # opening one closes the drawer
    expect(page.locator("#sidebar")).to_be_hidden()
    page.locator(f".pane[data-session='{sid}'] .line.resumed").wait_for()
    assert page.problems == []


def test_the_list_loads_page_after_page_as_it_scrolls(open_page):
    """Catches a list that stops at its first page, asks for one page twice, or repeats a row."""
    from urllib.parse import parse_qs, urlparse

    rows = [
        {
            "id": f"conv_{i:04d}",
            "session_id": "session_main",
            "title": f"Chat {i}",
            "created_at": 1.0,
            "updated_at": 2e9 - i,
            "message_count": 2,
            "tab": None,
        }
        for i in range(130)
    ]
    asked = []

    def handle(route):
        query = parse_qs(urlparse(route.request.url).query)
        cursor = query.get("cursor", [None])[0]
        asked.append(cursor)
        start = int(cursor) if cursor else 0
        end = start + int(query["limit"][0])
        route.fulfill(
            content_type="application/json",
            body=json.dumps({"conversations": rows[start:end], "next": str(end) if end < len(rows) else None}),
        )

    page = open_page()
    page.route("**/api/conversations?*", handle)
    page.click(".tab[data-session='session_main']")  # a tab chosen: the list is read again
    titles = page.locator("#conv-list .conv-name")
    expect(titles).to_have_count(50)
    for shown in (100, 130):
        page.locator("#conv-scroll").evaluate("list => { list.scrollTop = list.scrollHeight; }")
        expect(titles).to_have_count(shown)
    assert titles.all_text_contents() == [r["title"] for r in rows]
    assert [a for a in asked if a] == ["50", "100"]
