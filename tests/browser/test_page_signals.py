"""Work that goes on in a tab the user is not looking at is noticed: an unread mark on the tab, a count
in the page title, a desktop notification once the user has switched them on, and on a phone the
tab strip scrolls to the marked tab."""

import pytest

expect = pytest.importorskip("playwright.sync_api").expect

INBOX_TAB = ".tab[data-session='connector_inbox']"

# Every desktop notification the page makes, kept for the test to read.
RECORD_NOTIFICATIONS = """(() => {
    window.shownNotifications = [];
    const Real = window.Notification;
    window.Notification = class extends Real {
        constructor(title, options) { super(title, options); window.shownNotifications.push([title, options.body]); }
    };
})()"""


def post_to_inbox(page, text):
    # Once the window follows the inbox, so that the turn's events are seen live (one that ends
    # before then is told from the store: test_a_turn_that_ends_before_a_new_window_follows_its_tab).
    page.wait_for_function(
        "() => { const s = ui.sessions.get('connector_inbox'); return s && s.attached && !s.attach; }"
    )
    status = page.evaluate(
        """text => api('/api/connectors/connector_inbox/messages', {method: 'POST',
        headers: {'Content-Type': 'application/json'}, body: JSON.stringify({text, sender: 'phone'})})
        .then(r => r.status)""",
        text,
    )
    assert status == 202


def notifications(page):
    return page.evaluate("window.shownNotifications")


def test_a_background_tab_is_marked_and_announced(open_page):
    """Catches a turn or an approval in another tab that goes unnoticed, a mark that stays once the tab
    is viewed, notifications asked for on load or shown unasked, and a switch that is not remembered."""
    page = open_page()
    page.context.grant_permissions(["notifications"])
    page.add_init_script(RECORD_NOTIFICATIONS)
    page.reload()
    page.wait_for_selector("#conn.conn-on")
    toggle = page.locator("#notify-toggle")
    assert not toggle.is_checked() and toggle.get_attribute("role") == "switch"  # off until turned on

    tab = page.locator(INBOX_TAB)
    post_to_inbox(page, "Remind me to water the plants")
    # The connector's turn runs in the server first: the bound only stops a hang, on a busy machine too.
    expect(tab.locator(".tab-unread")).to_be_visible(timeout=30_000)
    assert "unread" in tab.get_attribute("aria-label")
    expect(page).to_have_title("(1) Tavrin")
    assert notifications(page) == []  # not switched on: none shown

    tab.click()  # viewed: the mark goes
    expect(tab.locator(".tab-unread")).to_be_hidden()
    expect(page).to_have_title("Tavrin")
    # A heartbeat's check-in that went well, out of view: no news (it comes every few minutes).
    page.evaluate("""() => { handleEvent({type: 'heartbeat_prompt', session_id: 'session_main', content: 'beat'});
                             handleEvent({type: 'done', session_id: 'session_main', iterations: 0}); }""")
    page.locator(".pane[data-session='session_main'] .line.heartbeat").last.wait_for(state="attached")
    expect(page.locator(".tab[data-session='session_main'] .tab-unread")).to_be_hidden()
    page.click(".tab[data-session='session_main']")

    toggle.check()
    page.reload()  # the choice is kept
    page.wait_for_selector("#conn.conn-on")
    assert toggle.is_checked()
    post_to_inbox(page, "please delete old-report.pdf")
    page.wait_for_function("() => window.shownNotifications.length > 0")
    assert notifications(page) == [["Approval needed · Tavrin", "Inbox: delete_file waits for your approval"]]
    expect(tab.locator(".tab-badge")).to_have_text("1")
    expect(page).to_have_title("(1) Tavrin")  # one tab with news, however many kinds

    tab.click()
    page.locator(".approval[data-session='connector_inbox'] button.reject").click()
    page.wait_for_selector("#working", state="hidden")  # the turn has ended, in view: no news
    assert len(notifications(page)) == 1
    expect(page).to_have_title("Tavrin")
    assert page.problems == []


def test_a_phone_tab_strip_scrolls_to_the_marked_tab(open_page):
    """Catches a mark on a tab scrolled out of a phone's narrow strip, where nobody sees it."""
    page = open_page(viewport={"width": 390, "height": 844}, has_touch=True, is_mobile=True)
    for n in range(4):
        page.click("#new-tab")
        expect(page.locator(".tab")).to_have_count(3 + n)
    strip = page.locator("#tab-list")
    strip.evaluate("s => { s.scrollLeft = s.scrollWidth; }")
    page.wait_for_function("() => document.querySelector('#tab-list').scrollLeft > 0")
    in_strip = """t => { const r = t.getBoundingClientRect(), s = t.parentElement.getBoundingClientRect();
        return r.left >= s.left - 1 && r.right <= s.right + 1; }"""
    tab = page.locator(INBOX_TAB)
    assert not tab.evaluate(in_strip)
    post_to_inbox(page, "Are you there?")
    tab.locator(".tab-unread").wait_for()
    page.wait_for_function(f'() => ({in_strip})(document.querySelector("{INBOX_TAB}"))')
    assert page.problems == []


# Holds this window's attach to the inbox until the test lets it go.
HOLD_INBOX_ATTACH = """(() => {
    const send = WebSocket.prototype.send;
    window.heldAttach = [];
    window.letAttachGo = () => { window.attachFree = true; for (const [ws, data] of window.heldAttach) send.call(ws, data); };
    WebSocket.prototype.send = function (data) {
        let m = null;
        try { m = JSON.parse(data); } catch (e) { /* not ours */ }
        if (!window.attachFree && m && m.type === "attach" && m.session_id === "connector_inbox") {
            window.heldAttach.push([this, data]);
            return;
        }
        return send.call(this, data);
    };
})()"""


def test_a_turn_that_ends_before_a_new_window_follows_its_tab_is_still_news(open_page, app_server):
    """Catches a connector's turn that ended while a freshly opened window was still attaching,
    drawn as old history with no mark, and turns that ended before the window opened marked."""
    import httpx

    page = open_page()
    page.add_init_script(HOLD_INBOX_ATTACH)
    page.reload()
    page.wait_for_function("() => window.heldAttach.length > 0")
    tab = page.locator(INBOX_TAB)
    status = page.evaluate(
        """() => api('/api/connectors/connector_inbox/messages', {method: 'POST',
        headers: {'Content-Type': 'application/json'}, body: JSON.stringify({text: 'Did the parcel come?', sender: 'phone'})})
        .then(r => r.status)"""
    )
    assert status == 202

    def ended() -> bool:
        listed = httpx.get(app_server.http + "/api/sessions", headers=app_server.auth).json()["sessions"]
        conv_id = next(s["conversation_id"] for s in listed if s["session_id"] == "connector_inbox")
        url = app_server.http + f"/api/conversations/{conv_id}/messages"
        rows = httpx.get(url, headers=app_server.auth).json()["messages"] if conv_id else []
        asked = [i for i, r in enumerate(rows) if r["content"] == "Did the parcel come?"]
        return bool(asked) and any(r["role"] == "outcome" for r in rows[asked[-1] :])

    for _ in range(300):  # a bound, not a wait: the turn runs in the server
        if ended():
            break
        page.wait_for_timeout(100)
    else:
        raise AssertionError("the connector's turn never ended")
    assert page.evaluate("() => window.heldAttach.length > 0")  # (the window has not attached yet)
    page.evaluate("() => window.letAttachGo()")
    page.wait_for_function("() => { const s = ui.sessions.get('connector_inbox'); return s.drawn && !s.attach; }")
    expect(tab.locator(".tab-unread")).to_be_visible()
    assert "unread: its turn has ended" in tab.get_attribute("aria-label")
    expect(page).to_have_title("(1) Tavrin")
    tab.click()  # viewed: the mark goes
    expect(tab.locator(".tab-unread")).to_be_hidden()
    page.click(".tab[data-session='session_main']")

    page.reload()  # a new window: the turn ended before it opened, so it is history
    page.wait_for_function("() => window.heldAttach.length > 0")
    page.evaluate("() => window.letAttachGo()")
    page.wait_for_function("() => { const s = ui.sessions.get('connector_inbox'); return s && s.drawn && !s.attach; }")
    expect(tab.locator(".tab-unread")).to_be_hidden()
    assert page.problems == []
