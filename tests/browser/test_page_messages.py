"""What the user can do with a message: copy it, see when it was written, retry a failed turn, edit
a message into a new version; and "↓ New messages" while reading further up."""

import json

import pytest
from page_actions import send, new_tab

expect = pytest.importorskip("playwright.sync_api").expect

INBOX = ".pane[data-session='connector_inbox']"


def meta_shown(page, message):
    """Wait until the time and actions of this message are shown (they fade in)."""
    message.locator(".msg-meta").evaluate(
        "m => new Promise(ok => { const t = () => "
        "getComputedStyle(m).opacity === '1' ? ok() : setTimeout(t, 20); t(); })"
    )


def clipboard(page):
    return page.evaluate("navigator.clipboard.readText()")


def stored_rows(page, session_id):
    return page.evaluate(
        """async sid => {
        const info = (await (await api('/api/sessions')).json()).sessions.find(s => s.session_id === sid);
        return (await (await api(`/api/conversations/${info.conversation_id}/messages`)).json()).messages;
    }""",
        session_id,
    )


def test_copy_time_retry_and_edit_of_messages(open_page):
    """Catches a Copy that needs the clipboard permission or copies the rendered text, a time missing or
    not the stored one, a Retry that sends something else, and an Edit that rewrites the store."""
    page = open_page()
    pane = new_tab(page)
    sid = pane.get_attribute("data-session")
    page.context.grant_permissions(["clipboard-read", "clipboard-write"])
    # As without the permission: the asynchronous clipboard refuses, the hidden text box copies.
    page.evaluate(
        "() => { navigator.clipboard.writeText = () => Promise.reject(new DOMException('no', 'NotAllowedError')); }"
    )

    send(page, "/fail the export")
    pane.locator(".line.error.outcome", has_text="Agent error").wait_for()
    asked = pane.locator(".msg.user").last
    asked.hover()
    meta_shown(page, asked)
    assert asked.locator("time").get_attribute("datetime")
    asked.locator(".msg-copy").click()
    expect(asked.locator(".msg-copy")).to_have_text("Copied")
    assert clipboard(page) == "/fail the export"

    # Retry sends the failed turn's message again, as a new turn; only the last failed turn offers it.
    pane.locator(".line.error.outcome .retry").click()
    expect(pane.locator(".line.error.outcome")).to_have_count(2)
    expect(pane.locator(".retry")).to_have_count(1)
    assert pane.locator(".msg.user .body").all_text_contents() == ["/fail the export"] * 2

    # Edit makes the message a text box in place; sent, it is a new version of that message, the
    # branch it replaces kept in the store.
    expect(pane.locator(".msg-edit")).to_have_count(2)  # every message of the user's own
    pane.locator(".msg.user").last.locator(".msg-edit").focus()  # shown on focus as on hover
    meta_shown(page, pane.locator(".msg.user").last)
    page.keyboard.press("Enter")
    box = pane.locator(".msg-editor textarea")
    expect(box).to_be_focused()
    assert box.input_value() == "/fail the export"
    box.fill("/stream the export instead")
    box.press("Enter")
    pane.locator(".line.done").wait_for(state="attached")
    expect(pane.locator(".retry")).to_have_count(0)
    users = [r["content"] for r in stored_rows(page, sid) if r["role"] == "user"]
    assert users == ["/fail the export", "/stream the export instead"]  # the branch on view

    # A reply copies as the Markdown it was written in.
    reply = pane.locator(".msg.assistant").last
    reply.hover()
    reply.locator(".msg-copy").click()
    expect(reply.locator(".msg-copy")).to_have_text("Copied")
    assert "```python" in clipboard(page)

    # Drawn again from the store, every message shows the time the store holds for it.
    page.reload()
    page.click(f".tab[data-session='{sid}']")
    pane.locator(".msg.user").nth(1).wait_for()
    rows = [r for r in stored_rows(page, sid) if r["role"] in ("user", "assistant")]
    shown = pane.locator(".msg:not(.queued) time").evaluate_all("ts => ts.map(t => Date.parse(t.dateTime) / 1000)")
    assert len(shown) == len(rows) and all(abs(a - r["created_at"]) < 0.001 for a, r in zip(shown, rows))
    expect(pane.locator(".msg-edit")).to_have_count(2)
    assert page.problems == []


# Scrolls a pane to its top as the user does, returning once the page has seen the scroll.
SCROLL_UP = """p => new Promise(ok => {
    p.addEventListener('scroll', () => setTimeout(ok), {once: true}); p.scrollTop = 0; })"""


def post_to_inbox(page, text):
    status = page.evaluate(
        """text => api('/api/connectors/connector_inbox/messages', {method: 'POST',
        headers: {'Content-Type': 'application/json'}, body: JSON.stringify({text, sender: 'phone'})})
        .then(r => r.status)""",
        text,
    )
    assert status == 202


def test_new_messages_while_scrolled_up(open_page):
    """Catches output that drags a reader back to the end, or arrives unannounced while they read."""
    page = open_page(viewport={"width": 1000, "height": 480})
    page.click(".tab[data-session='connector_inbox']")
    pane = page.locator(INBOX)
    for n in range(3):  # (the agent's reply quotes the message)
        post_to_inbox(page, f"Note {n}: " + "a long line of text " * 20)
        pane.locator(".msg.assistant", has_text=f"Note {n}:").wait_for()
    page.wait_for_selector("#working", state="hidden")
    jump = page.locator(".jump-end")
    assert jump.is_hidden()

    pane.evaluate(SCROLL_UP)
    post_to_inbox(page, "one more")
    jump.wait_for()
    pane.locator(".msg.assistant", has_text="one more").wait_for(state="attached")
    assert pane.evaluate("p => p.scrollTop") == 0  # the reader stays where they are
    jump.click()
    page.wait_for_function(
        "sel => { const p = document.querySelector(sel); return p.scrollHeight - p.scrollTop - p.clientHeight < 2; }",
        arg=INBOX,
    )
    assert jump.is_hidden()
    assert json.loads(page.evaluate("JSON.stringify(document.activeElement.dataset)"))["session"] == "connector_inbox"
    assert page.problems == []
