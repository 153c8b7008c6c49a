"""What the page shows of a turn while it runs and before an action is approved: a file write as
the diff it makes (or as a new file), coloured as code, and a turn waiting to try the model's
server again as such, counted down."""

import json
import re

import pytest
from page_actions import new_tab
from test_page_truths import play

expect = pytest.importorskip("playwright.sync_api").expect


def own_turn(page, sid):
    """The turn played next counts as this window's own: the page then does not ask the server
    whether it has ended (it would say so, never having run it, and the tab would be redrawn)."""
    page.evaluate("sid => { ui.sessions.get(sid).ownTurn = true; }", sid)


def serve_file(page, approval_id, answer, status=200):
    """The server's answer about the file a pending write would replace."""
    page.route(
        f"**/api/approvals/{approval_id}/file",
        lambda route: route.fulfill(status=status, body=json.dumps(answer), content_type="application/json"),
    )


def ask_write(page, sid, approval_id, path, content):
    write = {"path": path, "content": content}
    play(
        page,
        sid,
        {"type": "tool_call", "id": "c-" + approval_id, "tool": "write_file", "arguments": write},
        {
            "type": "tool_approval_needed",
            "approval_id": approval_id,
            "tool": "write_file",
            "arguments": write,
            "message": "Tavrin wants to run write_file. Allow it?",
        },
    )
    return page.locator(f".approval[data-approval='{approval_id}']")


def test_a_write_shows_its_diff_against_the_file_or_says_it_is_new(open_page):
    """Catches a write shown as new content when it changes three lines of a long file, a new
    file not said to be new, code without colours, and a diff that cannot be told apart without
    colour (for a screen reader, or in print)."""
    page = open_page(viewport={"width": 1100, "height": 800})
    pane = new_tab(page)
    sid = pane.get_attribute("data-session")
    own_turn(page, sid)
    play(page, sid, {"type": "mode", "mode": "standard", "message": ""})
    old = "".join(f"line = {n}  # step {n}\n" for n in range(60))
    new = old.replace("line = 30  # step 30\n", 'line = "thirty"\nextra = True\n')
    serve_file(page, "ap-diff", {"path": "/home/you/steps.py", "exists": True, "content": old, "note": None})
    card = ask_write(page, sid, "ap-diff", "/home/you/steps.py", new)
    expect(card.locator(".approval-file-state")).to_have_text("Changes the file · 2 added, 1 removed")
    expect(card.locator(".code-lang")).to_have_text("py · diff")
    rows = card.locator(".diff-line").evaluate_all("rs => rs.map(r => [r.className.split(' ')[1], r.textContent])")
    assert rows == [
        ["diff-skip", "⋯ 27 unchanged lines"],
        *[["diff-keep", f" line = {n}  # step {n}"] for n in (27, 28, 29)],
        ["diff-del", "−line = 30  # step 30"],
        ["diff-add", '+line = "thirty"'],
        ["diff-add", "+extra = True"],
        *[["diff-keep", f" line = {n}  # step {n}"] for n in (31, 32, 33)],
        ["diff-skip", "⋯ 26 unchanged lines"],
    ]
    kinds = (
        card.locator(".diff-add")
        .first.locator("span[class^=tok-]")
        .evaluate_all("ss => ss.map(s => [s.className, s.textContent])")
    )
    assert kinds == [["tok-string", '"thirty"']]
    assert card.locator(".diff-add").nth(1).locator(".tok-keyword").text_content() == "True"
    assert card.locator(".diff-keep").first.locator(".tok-comment").text_content() == "# step 27"

    serve_file(page, "ap-new", {"path": "/home/you/run.sh", "exists": False, "content": None, "note": None})
    card = ask_write(page, sid, "ap-new", "/home/you/run.sh", "# build it\nmake all\n")
    expect(card.locator(".approval-file-state")).to_have_text("New file · 2 lines")
    expect(card.locator(".code-lang")).to_have_text("sh")
    assert card.locator(".approval-code-text .tok-comment").text_content() == "# build it"

    serve_file(
        page,
        "ap-big",
        {
            "path": "/home/you/big.log",
            "exists": True,
            "content": None,
            "note": "It holds 900000 bytes, too many to compare here: all of it is replaced.",
        },
    )
    card = ask_write(page, sid, "ap-big", "/home/you/big.log", "short\n")
    expect(card.locator(".approval-file-state")).to_have_text(
        "Replaces the file · It holds 900000 bytes, too many to compare here: all of it is replaced."
    )

    serve_file(page, "ap-no", {"detail": "Not allowed: /home/you/.tavrin is Tavrin's data directory"}, status=400)
    card = ask_write(page, sid, "ap-no", "/home/you/.tavrin/token", "x")
    expect(card.locator(".approval-file-state")).to_have_text(
        "The file cannot be looked at: Not allowed: /home/you/.tavrin is Tavrin's data directory"
    )
    pytest.importorskip("axe_playwright_python")
    from test_page_approvals import axe_problems

    for scheme in ("light", "dark"):
        page.emulate_media(color_scheme=scheme)
        assert axe_problems(page) == []
    assert page.problems == []


def test_a_wait_to_try_the_model_again_is_counted_down_and_ends_with_progress(open_page):
    """Catches a turn waiting out a retry shown as "Thinking…", a count that does not go down,
    and the retry line left over once the model answers."""
    page = open_page()
    pane = new_tab(page)
    sid = pane.get_attribute("data-session")
    own_turn(page, sid)
    play(
        page,
        sid,
        {"type": "mode", "mode": "standard", "message": ""},
        {
            "type": "retrying",
            "seconds": 3,
            "reason": "the model server did not answer",
            "message": "Retrying in 3 s (the model server did not answer)",
        },
    )
    line = page.locator("#working-text")
    expect(line).to_have_text("Retrying in 3 s (the model server did not answer)")
    expect(line).to_have_text("Retrying in 2 s (the model server did not answer)")
    expect(line).to_have_text(re.compile(r"^Retrying (in 1 s|now) \(the model server did not answer\)$"))
    assert pane.locator(".line", has_text="retrying").count() == 0  # not drawn as an unknown event
    play(page, sid, {"type": "text", "content": "Here I am."})
    expect(line).to_have_text("Thinking…")
    play(page, sid, {"type": "done", "iterations": 1})
    expect(page.locator("#working")).to_be_hidden()
    assert page.problems == []


def test_an_answer_carries_one_line_of_actions_shown_on_hover_or_focus(open_page):
    """Catches the chrome of every answer drawn as lines of its own: a mode line for the usual
    (standard) agent and a "Done" line under every reply, and actions always shown; a screen
    reader must still hear the mode and the end."""
    from page_actions import send

    page = open_page(viewport={"width": 1200, "height": 800})
    pane = new_tab(page)
    send(page, "What's in my Projects folder?")
    pane.locator(".line.done").wait_for(state="attached")
    drawn = pane.evaluate("""p => [...p.children].filter(n => n.getBoundingClientRect().height > 2)
        .map(n => n.className.split(' ').slice(0, 2).join(' '))""")
    assert drawn == ["msg user", "steps", "msg assistant"]
    assert pane.locator(".line.done").text_content() == "✓ Done"  # in the page, for a screen reader
    assert "Standard agent" in pane.locator(".steps-line").text_content()
    meta = pane.locator(".msg.assistant .msg-meta")
    assert meta.evaluate("m => getComputedStyle(m).opacity") == "0"
    meta.locator(".msg-copy").focus()
    page.wait_for_function("m => getComputedStyle(m).opacity === '1'", arg=meta.element_handle())
    assert meta.evaluate("m => m.getBoundingClientRect().height") < 30  # one line
    assert page.problems == []


def test_a_running_command_shows_its_output_live_and_its_exit_status(open_page):
    """Catches a command's card that shows nothing until the command ends, output that grows
    without bound, a clock that runs while the command waits for approval, and no exit status."""
    page = open_page()
    pane = new_tab(page)
    sid = pane.get_attribute("data-session")
    call = {"type": "tool_call", "id": "cmd1", "tool": "run_command", "arguments": {"command": "make test"}}
    own_turn(page, sid)
    play(
        page,
        sid,
        {"type": "mode", "mode": "standard", "message": ""},
        call,
        {
            "type": "tool_approval_needed",
            "approval_id": "ap-cmd",
            "tool": "run_command",
            "arguments": call["arguments"],
            "message": "Tavrin wants to run run_command. Allow it?",
        },
    )
    card = pane.locator(".tool.call").first
    expect(card.locator(".tool-state")).to_have_text("waiting for approval")
    play(page, sid, {"type": "approval_resolved", "approval_id": "ap-cmd", "success": True, "approved": True})
    expect(card.locator(".tool-state")).to_have_text(re.compile(r"^running for \d+ s$"))
    play(
        page,
        sid,
        {"type": "tool_output", "id": "cmd1", "tool": "run_command", "text": "compiling\n"},
        {"type": "tool_output", "id": "cmd1", "tool": "run_command", "text": "x" * 20000},
    )
    live = card.locator(".tool-live")
    expect(live).to_be_visible()
    text = live.text_content()
    assert len(text) == 16 * 1024 and text.endswith("x" * 100)  # the latest of it, bounded
    expect(page.locator("#working-text")).to_have_text("Running command…")
    expect(card.locator(".tool-state")).to_have_text(re.compile(r"^running for [1-9]\d* s$"))  # the clock goes on
    play(
        page, sid, {"type": "tool_result", "id": "cmd1", "tool": "run_command", "result": "exit status 2\ncompiling\n…"}
    )
    expect(card.locator(".tool-state")).to_have_text(re.compile(r"^exit status 2 · \d+ s$"))
    expect(card.locator(".tool-live")).to_have_count(0)
    expect(card.locator(".tool-output")).to_have_text("exit status 2\ncompiling\n…")
    assert page.problems == []
