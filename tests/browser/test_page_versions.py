"""Versions of a conversation as people know them: Regenerate answers the last message again and
keeps the answer before as "1/2"; Edit on any message starts a branch from there, with "‹ 2/2 ›"
to move between branches; every window, a reload, an export and search follow the branch shown."""

import pytest
from page_actions import new_tab, send

expect = pytest.importorskip("playwright.sync_api").expect


def rows_on_view(page, sid):
    return page.evaluate(
        """async sid => {
        const info = (await (await api('/api/sessions')).json()).sessions.find(s => s.session_id === sid);
        const data = await (await api(`/api/conversations/${info.conversation_id}/messages`)).json();
        return data.messages.filter(m => m.role === 'user' || m.role === 'assistant').map(m => [m.role, m.content]);
    }""",
        sid,
    )


def turn_ended(page, sid, count):
    page.wait_for_function(
        "([sid, n]) => { const s = ui.sessions.get(sid); return s && !s.working && !s.branching && "
        "document.querySelectorAll(`#pane-${sid} .line.done`).length === n; }",
        arg=[sid, count],
    )


def test_regenerate_and_edit_make_versions_every_window_follows(open_page):
    """Catches Regenerate drawn as a second copy of the question, an Edit that loses the branch it
    replaced, versions that cannot be reached again, and a window, reload or export showing two
    branches mixed."""
    page = open_page()
    pane = new_tab(page)
    sid = pane.get_attribute("data-session")
    send(page, "Name a fruit")
    turn_ended(page, sid, 1)
    send(page, "/stream a second answer")
    turn_ended(page, sid, 2)
    other = open_page()
    other.click(f".tab[data-session='{sid}']")
    other_pane = other.locator(f".pane[data-session='{sid}']")
    expect(other_pane.locator(".msg.assistant")).to_have_count(2)

    # Regenerate: the last answer again; the question once, the answers as versions.
    assert pane.locator(".msg-regen").count() == 1  # the last answer only
    pane.locator(".msg.assistant").last.hover()
    pane.locator(".msg.assistant").last.locator(".msg-regen").click()
    turn_ended(page, sid, 2)
    expect(pane.locator(".msg.user .body")).to_have_text(["Name a fruit", "/stream a second answer"])
    last = pane.locator(".msg.assistant").last
    expect(last.locator(".version-at")).to_have_text("2/2")
    expect(last.locator(".versions")).to_be_visible()  # in view without hovering
    assert len(rows_on_view(page, sid)) == 4

    # Edit the first message: a branch from the start.
    first = pane.locator(".msg.user").first
    first.hover()
    first.locator(".msg-edit").click()
    pane.locator(".msg-editor textarea").fill("Name a vegetable")
    pane.locator(".msg-editor button[type=submit]").click()
    turn_ended(page, sid, 1)
    expect(pane.locator(".msg.user .body")).to_have_text(["Name a vegetable"])
    expect(pane.locator(".msg.user .version-at")).to_have_text("2/2")
    assert rows_on_view(page, sid)[0] == ["user", "Name a vegetable"]
    # The other window shows the same branch, without a reload.
    expect(other_pane.locator(".msg.user .body")).to_have_text(["Name a vegetable"])

    # Back to the first version: its branch comes back whole, the regenerated answer on view.
    pane.locator(".msg.user").first.get_by_role("button", name="Previous version").click()
    expect(pane.locator(".msg.user .body")).to_have_text(["Name a fruit", "/stream a second answer"])
    expect(pane.locator(".msg.user").first.locator(".version-at")).to_have_text("1/2")
    expect(pane.locator(".msg.assistant").last.locator(".version-at")).to_have_text("2/2")
    pane.locator(".msg.assistant").last.get_by_role("button", name="Previous version").click()
    expect(pane.locator(".msg.assistant").last.locator(".version-at")).to_have_text("1/2")
    expect(other_pane.locator(".msg.assistant").last.locator(".version-at")).to_have_text("1/2")
    shown = rows_on_view(page, sid)
    assert [r[1] for r in shown if r[0] == "user"] == ["Name a fruit", "/stream a second answer"]

    page.reload()
    page.wait_for_selector("#conn.conn-on")
    expect(pane.locator(".msg.user .body")).to_have_text(["Name a fruit", "/stream a second answer"])
    expect(pane.locator(".msg.assistant").last.locator(".version-at")).to_have_text("1/2")
    exported = page.evaluate(
        """async sid => {
        const info = (await (await api('/api/sessions')).json()).sessions.find(s => s.session_id === sid);
        return (await api(`/api/conversations/${info.conversation_id}/export?format=md`)).text(); }""",
        sid,
    )
    assert "Name a fruit" in exported and "Name a vegetable" not in exported
    # The versions and a message being edited read for everyone, in either scheme.
    pane.locator(".msg.user").first.hover()
    pane.locator(".msg.user").first.locator(".msg-edit").click()
    pytest.importorskip("axe_playwright_python")
    from test_page_approvals import axe_problems

    for scheme in ("light", "dark"):
        page.emulate_media(color_scheme=scheme)
        assert axe_problems(page) == []
    assert page.problems == [] and other.problems == []
