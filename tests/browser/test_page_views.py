"""What the page shows of state it does not own: the heartbeat runner's, a long stored conversation
read a page at a time, and a resumed conversation whose screenshots load after it is drawn."""

from datetime import datetime, UTC

import pytest
from page_actions import send

expect = pytest.importorskip("playwright.sync_api").expect

MAIN_PANE = ".pane[data-session='session_main']"


def offered(page):
    return page.locator("[data-hb]:visible").evaluate_all("buttons => buttons.map(b => b.dataset.hb)")


def at(hour, minute=0):
    return datetime(2026, 12, 9, hour, minute, tzinfo=UTC)


def host_record(page):
    """The host's record of the heartbeat as the runner gives it, with its "quiet_until" replaced by
    what the returned dict's "quiet_until" holds (None: left out, as a host that does not tell)."""
    told = {"quiet_until": None}

    def handle(route):
        response = route.fetch()
        record = response.json()
        record.pop("quiet_until", None)
        if told["quiet_until"] is not None:
            record["quiet_until"] = told["quiet_until"]
        route.fulfill(response=response, json=record)

    page.route("**/api/heartbeat", handle)
    return told


def test_the_heartbeat_line_says_what_the_runner_does(open_page):
    """Catches a line that shows the action asked for instead of the runner's state, hides quiet
    hours, or offers actions that do not apply."""
    page = open_page(timezone_id="UTC")
    told = host_record(page)  # at first the host does not say: the page reads the window against its clock
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

    # The host's word on quiet hours, where it gives it, is the runner's clock: it wins.
    told["quiet_until"] = "07:00"
    page.click("[data-hb='status']")
    expect(status).to_have_text("quiet until 07:00 · every 5 s")

    page.click("[data-hb='stop']")
    expect(status).to_have_text("stopped")
    assert offered(page) == ["start", "status"]
    # A paused flag left on a stopped runner is not "paused".
    page.evaluate("handleEvent({type: 'heartbeat_status', status: 'stopped', paused: true, interval: 5})")
    expect(status).to_have_text("stopped")
    assert page.problems == []
    page.unroute_all(behavior="ignoreErrors")  # a status read still under way when the page closes


def long_conversation(turns):
    """A stored conversation of ``turns`` turns, six rows each, as the store gives its rows."""
    rows = []
    for t in range(1, turns + 1):
        for role, meta in [
            ("user", {"mode": "standard"}),
            ("thinking", None),
            ("tool_call", {"id": f"c{t}", "tool": "read_screen", "arguments": {}}),
            ("tool_result", {"id": f"c{t}", "tool": "read_screen", "result": f"Screen {t}"}),
            ("assistant", None),
            ("outcome", {"outcome": "done", "iterations": 1}),
        ]:
            content = f"Question {t}" if role == "user" else f"{role} {t}"
            rows.append(
                {
                    "id": len(rows) + 1,
                    "role": role,
                    "content": content,
                    "created_at": 1.0,
                    "turn_id": f"t{t}",
                    **({"meta": meta} if meta else {}),
                }
            )
    return rows


def serve_history(rows, conversation_id):
    """The history route over these rows: the latest ``limit`` before ``before``, and whether more exist."""
    import json
    from urllib.parse import parse_qs, urlparse

    def handle(route):
        query = parse_qs(urlparse(route.request.url).query)
        before = int(query["before"][0]) if "before" in query else None
        limit = min(int(query.get("limit", ["200"])[0]), 200)
        older = [r for r in rows if before is None or r["id"] < before]
        page = older[len(older) - limit :] if limit else []
        route.fulfill(
            content_type="application/json",
            body=json.dumps(
                {
                    "conversation": {"id": conversation_id, "title": "Question 1", "message_count": 420},
                    "messages": page,
                    "has_more": len(older) > len(page),
                }
            ),
        )

    return handle


def test_a_long_conversation_reads_back_a_page_at_a_time(open_page):
    """Catches a long conversation shown cut without saying so, a page that begins inside a turn,
    rows drawn twice or lost at a page boundary, and a view that jumps when older rows arrive."""
    page = open_page()
    conv = page.evaluate("api('/api/sessions').then(r => r.json())")["sessions"][0]["conversation_id"]
    page.route(f"**/api/conversations/{conv}/messages*", serve_history(long_conversation(210), conv))
    page.reload()
    pane = page.locator(MAIN_PANE)
    more = pane.locator(".history-more")
    more.wait_for()
    first_after_line = "p => p.querySelector('.history-more').nextElementSibling.matches('.msg.user')"
    assert pane.evaluate(first_after_line)  # the latest 200 rows end mid-turn at their start: that turn waits
    assert pane.evaluate("p => p.scrollHeight - p.scrollTop - p.clientHeight < 2")  # the end is in view

    while more.count():
        shown = pane.locator(".msg.user").count()
        # The turn the user reads at the top, marked: it stays in view when older rows arrive above it.
        pane.evaluate("p => { p.scrollTop = 0; p.querySelector('.msg.user').dataset.reading = '1'; }")
        page.wait_for_function(
            "([sel, n]) => document.querySelectorAll(sel + ' .msg.user').length > n"
            " || !document.querySelector(sel + ' .history-more')",
            arg=[MAIN_PANE, shown],
        )
        assert pane.evaluate("""p => { const r = p.querySelector('[data-reading]').getBoundingClientRect(),
            box = p.getBoundingClientRect(); delete p.querySelector('[data-reading]').dataset.reading;
            return r.bottom > box.top && r.top < box.bottom; }""")
        if more.count():
            assert pane.evaluate(first_after_line)
    users = pane.locator(".msg.user .body").all_text_contents()
    assert users == [f"Question {t}" for t in range(1, 211)]
    assert pane.locator(".tool.result").count() == 210 and pane.locator(".line.done").count() == 210
    assert page.problems == []


def test_a_resumed_conversation_with_screenshots_stays_at_its_end(open_page):
    """Catches a resumed conversation left short of its end by thumbnails that load after the scroll."""
    page = open_page(viewport={"width": 1000, "height": 520})
    page.click("#new-tab")
    tab = page.locator(".tab[aria-selected='true']")
    tab.locator(".tab-name", has_text="New Chat").wait_for()
    sid = tab.get_attribute("data-session")
    pane = page.locator(f".pane[data-session='{sid}']")
    for turn in range(1, 4):
        page.check("#cu-toggle")
        send(page, f"click the button {turn}")
        pane.locator(".line.done").nth(turn - 1).wait_for()
    listed = page.evaluate(f"api('/api/sessions/{sid}/conversations').then(r => r.json())")
    page.click(f"#conv-list .conv-row[data-id='{listed['current']}'] .conv-open")  # opened from the sidebar
    pane.locator(".line.resumed").wait_for()
    assert pane.locator("img.shot.thumb").count() == 6
    page.wait_for_function(
        """sel => { const p = document.querySelector(sel);
        return [...p.querySelectorAll('img')].every(i => i.complete && i.naturalHeight > 0)
            && p.scrollHeight - p.scrollTop - p.clientHeight < 2; }""",
        arg=f".pane[data-session='{sid}']",
    )
    assert page.problems == []
