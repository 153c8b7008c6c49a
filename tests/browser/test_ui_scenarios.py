"""The web UI as a user meets it: a conversation whose stored transcript matches the live one,
turn control, Markdown that cannot run anything, a server restart with the page open,
accessibility in light and dark, and the phone layout."""

import json
import sys
from datetime import datetime, UTC
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "host"))
from serverproc import ServerProcess  # noqa: E402
from page_actions import send, new_tab  # noqa: E402

expect = pytest.importorskip("playwright.sync_api").expect

# Each child of a pane as "class | text"; the queue box, the note of a resume and a decided
# approval's card (gone a moment later) are not part of the conversation, and how long a turn's
# steps took and when a message arrived are measured on two clocks.
TRANSCRIPT = """pane => [...pane.children]
    .filter(n => !n.matches('.queue, .resumed, .approval'))
    .map(n => { const c = n.cloneNode(true); c.querySelectorAll('.steps-time, .msg-time').forEach(t => t.remove());
                return n.className + ' | ' + c.textContent; })"""


def wait_done(pane, count):
    pane.locator(".line.done").nth(count - 1).wait_for()


def test_a_resumed_conversation_shows_what_the_live_one_showed(open_page):
    page = open_page()
    pane = new_tab(page)
    assert page.is_disabled("#stop")

    # A task that runs until it is stopped (a long one could end first on a busy machine); a message
    # sent meanwhile waits for it; Esc stops the task, and the message then waits for the user.
    send(page, "/stall")
    pane.locator(".line.thinking", has_text="slow model").wait_for()
    expect(page.locator("#stop")).to_be_enabled()
    send(page, "and then say hello")
    pane.locator(".msg.user.queued", has_text="and then say hello").wait_for()
    page.keyboard.press("Escape")
    pane.locator(".line.system", has_text="Stopped").wait_for()
    pane.locator(".msg.user.queued button", has_text="Send now").click()
    wait_done(pane, 1)  # the queued message ran after the stop, not instead of it
    assert pane.locator(".msg.user.queued").count() == 0
    assert pane.locator(".msg.user .body").last.text_content() == "and then say hello"

    send(page, "/fail")
    pane.locator(".line.error", has_text="Agent error").wait_for()

    send(page, "please delete old-report.pdf")
    page.locator(f".approval[data-session='{pane.get_attribute('data-session')}'] button.approve").click()
    pane.locator(".line.awaiting", has_text="delete_file: approved").wait_for()
    wait_done(pane, 2)

    page.check("#cu-toggle")
    send(page, "click the button")
    assert not page.is_checked("#cu-toggle")  # Computer Use is chosen per message
    wait_done(pane, 3)
    assert pane.locator("img.shot").count() == 2

    # A reply streamed in pieces grows one bubble, rendered as Markdown.
    send(page, "/stream")
    wait_done(pane, 4)
    streamed = pane.locator(".msg.assistant", has_text="streamed")
    assert streamed.count() == 1
    assert 'print("Hello from Tavrin")' in streamed.locator(".code-block pre code").text_content()
    link = streamed.locator("a[href='https://commonmark.org/help/']")
    assert link.get_attribute("rel") == "noopener noreferrer" and link.get_attribute("target") == "_blank"
    expect(page.locator("#stop")).to_be_disabled()

    live = pane.evaluate(TRANSCRIPT)
    session_id = pane.get_attribute("data-session")
    listed = page.evaluate(f"api('/api/sessions/{session_id}/conversations').then(r => r.json())")
    page.click(f"#conv-list .conv-row[data-id='{listed['current']}'] .conv-open")  # opened from the sidebar
    pane.locator(".line.resumed").wait_for()
    assert pane.evaluate(TRANSCRIPT) == live
    assert pane.locator("img.shot.thumb").count() == 2  # stored screenshots are thumbnails

    page.context.grant_permissions(["clipboard-read", "clipboard-write"])
    streamed.locator("button.copy").click()
    streamed.locator("button.copy", has_text="Copied").wait_for()
    assert page.evaluate("navigator.clipboard.readText()") == 'print("Hello from Tavrin")\n'
    assert page.problems == []


def test_markdown_in_replies_cannot_run_anything(open_page):
    page = open_page()
    pane = new_tab(page)
    payload = (
        "[a](javascript:alert(1)) <img src=x onerror=alert(2)> ![i](javascript:alert(3)) "
        "`<b onmouseover=alert(4)>code</b>` [m](mailto:sam@example.org) [w](https://example.org/x) "
        "<a href=https://evil.example onclick=alert(5)>raw</a>"
    )
    send(page, payload)
    wait_done(pane, 1)
    reply = pane.locator(".msg.assistant .body").last
    # The agent quotes the message in its reply, which is rendered as Markdown.
    assert reply.locator("code", has_text="<b onmouseover=alert(4)>code</b>").count() == 1
    assert "<img src=x onerror=alert(2)>" in reply.text_content()
    hrefs = reply.locator("a").evaluate_all("links => links.map(a => [a.getAttribute('href'), a.rel])")
    assert hrefs == [
        ["mailto:sam@example.org", "noopener noreferrer"],
        ["https://example.org/x", "noopener noreferrer"],
    ]
    dangerous = page.evaluate("""() => [...document.querySelectorAll('*')].filter(n =>
        [...n.attributes].some(a => a.name.startsWith('on') || /^\\s*javascript:/i.test(a.value))).length""")
    assert dangerous == 0
    assert pane.locator("img").count() == 0
    assert page.problems == []  # no alert() ran


def shown_as_stored(page, session_id):
    """Whether the tab shows its conversation's user messages as the server holds them."""
    return page.evaluate(
        """async sid => {
        const info = (await (await api('/api/sessions')).json()).sessions.find(s => s.session_id === sid);
        const shown = [...document.querySelectorAll(`.pane[data-session='${sid}'] .msg.user .body`)].map(n => n.textContent);
        if (!info.conversation_id) return shown.length === 0;
        const rows = (await (await api(`/api/conversations/${info.conversation_id}/messages`)).json()).messages;
        return JSON.stringify(rows.filter(m => m.role === 'user').map(m => m.content)) === JSON.stringify(shown);
    }""",
        session_id,
    )


def test_a_server_restart_with_the_page_open(open_page, tmp_path):
    """Catches a page that loses its place at a restart: stale tabs or "(current)", a cut turn or an
    approval that lapsed without saying why, or a page that stops trying to reconnect."""
    server = ServerProcess(tmp_path / "data", log_path=tmp_path / "server.log").start()
    try:
        page = open_page(server=server)
        pane = page.locator(".pane[data-session='session_main']")
        send(page, "Remember the pelican on the roof")
        wait_done(pane, 1)
        # The title comes from the store, which the page asks once the turn has ended.
        expect(page.locator("#conv-title")).to_have_text("Remember the pelican on the roof")
        old = page.evaluate("api('/api/sessions/session_main/conversations').then(r => r.json())")["current"]

        # Idle: the page offers to retry while the server is away, and is back on its place once it is.
        server.stop()
        page.wait_for_selector("#conn.conn-off")
        page.click("#retry-now")  # nothing listens yet: the page goes on waiting
        expect(page.locator("#retry-now")).to_be_visible()
        server.start()
        page.wait_for_selector("#conn.conn-on")
        expect(page.locator("#retry-now")).to_be_hidden()
        page.wait_for_function("() => !document.querySelector('.pane.stale')")
        expect(page.locator("#conv-title")).to_have_text("Remember the pelican on the roof")
        assert shown_as_stored(page, "session_main")

        # Mid-turn, with an approval pending: the prompt says why it lapsed, the turn how it ended.
        send(page, "please delete old-report.pdf")
        card = page.locator(".approval[data-session='session_main']")
        card.locator("button.approve").wait_for()
        server.stop()
        page.wait_for_selector("#conn.conn-off")
        server.start()
        page.wait_for_selector("#conn.conn-on")
        card.locator(".outcome", has_text="Lapsed: the server restarted").wait_for()
        page.wait_for_selector("#working", state="hidden")
        expect(page.locator("#stop")).to_be_disabled()

        # The tabs are the server's, Main on its conversation, and the picker marks that one.
        sessions = page.evaluate("api('/api/sessions').then(r => r.json())")["sessions"]
        assert page.locator(".tab").evaluate_all("tabs => tabs.map(t => t.dataset.session)") == [
            s["session_id"] for s in sessions
        ]
        assert next(s for s in sessions if s["session_id"] == "session_main")["conversation_id"] == old
        page.wait_for_function("() => !document.querySelector('.pane.stale')")
        assert shown_as_stored(page, "session_main")
        page.wait_for_function(
            """current => {
            const marked = document.querySelectorAll('#conv-list .conv-row[aria-current="true"]');
            return marked.length === 1 && marked[0].dataset.id === current;
        }""",
            arg=old,
        )
        # The cut turn shows how it ended; the approval it was waiting for lapsed with it.
        expect(pane.locator(".line.error", has_text="Interrupted by a restart of the server")).to_have_count(1)
        expect(pane.locator(".line.awaiting")).to_have_text("🔐 delete_file: lapsed, the server restarted")
        assert pane.locator(".msg.user .body").all_text_contents() == [
            "Remember the pelican on the roof",
            "please delete old-report.pdf",
        ]
        assert page.problems == []
    finally:
        server.stop()


def axe_problems(page):
    from axe_playwright_python.sync_playwright import Axe

    results = Axe().run(page).response
    return [
        f"{v['id']} ({v['impact']}): {[n['target'] for n in v['nodes']]}"
        for v in results["violations"]
        if v["impact"] in ("serious", "critical")
    ]


@pytest.mark.parametrize("scheme", ["light", "dark"])
def test_accessibility_of_the_main_views(open_page, scheme):
    pytest.importorskip("axe_playwright_python")
    page = open_page()
    page.emulate_media(color_scheme=scheme)
    found = {}
    pane = new_tab(page)
    found["empty"] = axe_problems(page)

    send(page, "please delete old-report.pdf")
    card = page.locator(f".approval[data-session='{pane.get_attribute('data-session')}']")
    card.wait_for()
    found["during a turn, with an approval"] = axe_problems(page)
    card.locator("button.reject").click()
    wait_done(pane, 1)
    send(page, "/stream")
    wait_done(pane, 2)

    session_id = pane.get_attribute("data-session")
    listed = page.evaluate(f"api('/api/sessions/{session_id}/conversations').then(r => r.json())")
    page.click(f"#conv-list .conv-row[data-id='{listed['current']}'] .conv-open")  # opened from the sidebar
    pane.locator(".line.resumed").wait_for()
    found["resumed"] = axe_problems(page)
    assert found == {"empty": [], "during a turn, with an approval": [], "resumed": []}

    # The transcript is a live log, and every control has a name of its own (but the sidebar's
    # rows, named after their conversations, which may share a title).
    assert pane.get_attribute("role") == "log"
    names = page.evaluate("""() => [...document.querySelectorAll('button, input, select, textarea, [role=tab]')]
        .filter(n => n.offsetParent !== null && !n.closest('#conv-list'))
        .map(n => n.getAttribute('aria-label') || (n.labels && n.labels[0] && n.labels[0].textContent.trim())
                  || n.textContent.trim())""")
    assert [n for n in names if names.count(n) > 1] == []


def test_tabs_are_a_keyboard_tablist_and_an_unseen_approval_shows_a_badge(open_page):
    page = open_page()
    pane = new_tab(page)
    session_id = pane.get_attribute("data-session")
    page.focus(".tab[aria-selected='true']")
    page.keyboard.press("Home")
    assert page.get_attribute(".tab[aria-selected='true']", "data-session") == "session_main"
    assert page.evaluate("document.activeElement.dataset.session") == "session_main"
    page.keyboard.press("End")
    assert page.get_attribute(".tab[aria-selected='true']", "data-session") == session_id
    page.keyboard.press("ArrowLeft")
    selected = page.get_attribute(".tab[aria-selected='true']", "data-session")
    assert selected != session_id and page.locator(".tab[tabindex='0']").count() == 1

    # An approval asked for in a tab the user is not looking at: a count on the tab and in the title.
    page.click(f".tab[data-session='{session_id}']")
    send(page, "pay the electricity bill")
    page.locator(f".approval[data-session='{session_id}']").wait_for()
    assert page.title() == "Tavrin"  # the user is looking at that tab
    page.click(".tab[data-session='session_main']")
    badge = page.locator(f".tab[data-session='{session_id}'] .tab-badge")
    assert badge.text_content() == "1" and page.title().startswith("(1) ")
    # The card waits in its own tab's transcript: decided there, the mark goes.
    page.click(f".tab[data-session='{session_id}']")
    page.locator(f".approval[data-session='{session_id}'] button.reject").click()
    pane.locator(".line.done").first.wait_for()  # (a turn that ended out of view would be news)
    page.click(".tab[data-session='session_main']")
    badge.wait_for(state="hidden")
    assert page.title() == "Tavrin"

    # An idle tab closes without a question.
    page.focus(f".tab[data-session='{session_id}']")
    page.keyboard.press("Delete")  # closes the focused tab, as its × does
    page.locator(f".tab[data-session='{session_id}']").wait_for(state="detached")


def test_phone_layout_keeps_the_transcript_large(open_page):
    page = open_page(viewport={"width": 390, "height": 844}, has_touch=True, is_mobile=True)
    assert not page.is_visible("#hb-controls") and not page.is_visible("#new-conv")
    page.click("#menu-btn")
    assert page.is_visible("#hb-controls") and page.is_visible("#new-conv")
    assert page.get_attribute("#menu-btn", "aria-expanded") == "true"
    page.keyboard.press("Escape")
    assert not page.is_visible("#hb-controls")

    pane = new_tab(page)
    page.fill("#input", "please delete old-report.pdf")
    page.click("#send")  # a phone's Enter is a newline
    card = page.locator(f".approval[data-session='{pane.get_attribute('data-session')}']")
    card.wait_for()
    heights = page.evaluate("() => [document.getElementById('panes').getBoundingClientRect().height, innerHeight]")
    assert heights[0] >= 0.6 * heights[1], heights
    assert page.locator("#input").bounding_box()["width"] >= 300
    card.locator("button.reject").click()
    wait_done(pane, 1)


def test_heartbeat_controls_show_the_interval_in_effect(open_page):
    page = open_page(timezone_id="UTC")
    page.clock.set_fixed_time(datetime(2026, 6, 1, 12, 0, tzinfo=UTC))  # outside quiet hours
    page.fill("#hb-interval", "2")
    page.click("[data-hb='start']")
    page.locator("#hb-status", has_text="every 5 s").wait_for()
    status = json.loads(page.evaluate("api('/api/heartbeat').then(r => r.text())"))
    assert status["interval_seconds"] == 5
    assert page.input_value("#hb-interval") == "5"
    # The host's record after a beat, as every window receives it (a real beat could fall in quiet hours).
    record = {**status, "type": "heartbeat_state", "running": True, "quiet_until": None}
    page.evaluate("handleEvent", {**record, "consecutive_beats": 2, "max_consecutive": 10})
    assert page.text_content("#hb-status") == "running · every 5 s · beat 2 of 10 before pausing for you"
    assert "After 10 beats without a message from you" in page.get_attribute("#hb-status", "title")
    page.evaluate("handleEvent", {**record, "paused": True, "consecutive_beats": 10, "max_consecutive": 10})
    assert page.text_content("#hb-status").startswith("paused after 10 beats without you")
    page.click("[data-hb='stop']")
    page.locator("#hb-status", has_text="stopped").wait_for()
