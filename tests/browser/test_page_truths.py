"""What the page says holds, in every window and across reloads: a file name is not a web site, a
window keeps its own place, the heartbeat line is the runner's in every window, a stall banner
belongs to its turn, a stopped command keeps what it printed, and a visitor without the token sees
only how to get the address."""

import re

import pytest
from page_actions import new_tab, send
from serverproc import ServerProcess

expect = pytest.importorskip("playwright.sync_api").expect

INBOX = ".pane[data-session='connector_inbox']"


def play(page, sid, *events):
    """Events of a turn in ``sid`` as the page receives them from the server, once the tab shows
    what the server holds (a redraw from the store would drop them)."""
    page.wait_for_function(
        "sid => { const s = ui.sessions.get(sid); return s && !s.attach && (s.drawn || !s.attached); }", arg=sid
    )
    page.evaluate("evs => evs.forEach(handleEvent)", [{"session_id": sid, **e} for e in events])


def post_to_inbox(page, text):
    status = page.evaluate(
        """text => api('/api/connectors/connector_inbox/messages', {method: 'POST',
        headers: {'Content-Type': 'application/json'}, body: JSON.stringify({text, sender: 'phone'})})
        .then(r => r.status)""",
        text,
    )
    assert status == 202


def test_only_addresses_become_links_and_file_names_read_as_code(open_page):
    """Catches summary.md or app.py made a link to a web site (.md, .py, .sh are country domains),
    and a real address written with its scheme or www. left as text."""
    page = open_page()
    pane = new_tab(page)
    sid = pane.get_attribute("data-session")
    reply = (
        "I wrote summary.md and app.py; run deploy.sh, then read README.md and src/tavrin/app.py. "
        "Docs: https://example.org/docs and www.example.com; mail sam@example.org. "
        "The site example.com stays words, and so does `already code.md`."
    )
    play(
        page,
        sid,
        {"type": "mode", "mode": "standard", "message": ""},
        {"type": "text", "content": reply},
        {"type": "done", "iterations": 1},
    )
    body = pane.locator(".msg.assistant .body")
    links = body.locator("a").evaluate_all("as => as.map(a => [a.textContent, a.getAttribute('href')])")
    assert links == [
        ["https://example.org/docs", "https://example.org/docs"],
        ["www.example.com", "http://www.example.com"],
        ["sam@example.org", "mailto:sam@example.org"],
    ]
    code = body.locator("code").evaluate_all("cs => cs.map(c => c.textContent)")
    assert code == ["summary.md", "app.py", "deploy.sh", "README.md", "src/tavrin/app.py", "already code.md"]
    assert "example.com stays words" in body.text_content()
    assert page.problems == []


def test_each_window_keeps_its_tab_and_place_across_a_reload(open_page):
    """Catches a reload mid-turn that lands on Main, a strip that leaves the active tab out of view,
    a transcript that jumps back to its end, and two windows that share one place."""
    page = open_page(viewport={"width": 900, "height": 600})
    for _ in range(6):
        pane = new_tab(page)
    sid = pane.get_attribute("data-session")
    send(page, "/slow, then delete old-report.pdf")  # a turn held halfway by an approval, however long this takes
    pane.locator(".approval button.approve").wait_for()
    strip = page.locator("#tab-list")
    assert strip.evaluate("s => s.scrollWidth > s.clientWidth")  # six tabs do not fit: the strip scrolls

    reader = open_page(viewport={"width": 1000, "height": 480})
    reader.click(".tab[data-session='connector_inbox']")
    inbox = reader.locator(INBOX)
    for n in range(3):
        post_to_inbox(reader, f"Note {n}: " + "a long line of text " * 20)
        inbox.locator(".msg.assistant", has_text=f"Note {n}:").wait_for()
    # The last note's turn has ended: nothing arrives while the transcript is scrolled.
    expect(reader.locator("#working")).to_be_hidden()
    inbox.evaluate(
        "p => new Promise(ok => { p.addEventListener('scroll', () => setTimeout(ok, 300), {once: true}); "
        "p.scrollTop = 40; })"
    )

    page.reload()
    page.wait_for_selector("#conn.conn-on")
    active = page.locator(f".tab[data-session='{sid}']")
    expect(active).to_have_attribute("aria-selected", "true")
    expect(page.locator("#working")).to_be_visible()  # the turn goes on, in view
    page.wait_for_function(
        """sid => { const t = document.getElementById('tab-' + sid).getBoundingClientRect();
        const s = document.getElementById('tab-list').getBoundingClientRect();
        return t.left >= s.left - 1 && t.right <= s.right + 1; }""",
        arg=sid,
    )

    reader.reload()
    reader.wait_for_selector("#conn.conn-on")
    expect(reader.locator(".tab[data-session='connector_inbox']")).to_have_attribute("aria-selected", "true")
    inbox.locator(".msg.assistant", has_text="Note 2:").wait_for()
    reader.wait_for_function("sel => Math.abs(document.querySelector(sel).scrollTop - 40) <= 2", arg=INBOX)
    page.click("#stop")
    pane.locator(".line.outcome").wait_for()
    assert page.problems == [] and reader.problems == []


def test_a_place_the_user_scrolls_to_holds_while_output_arrives(open_page):
    """Catches the user's scroll up lost to output that arrives before the browser tells of the
    scroll (the transcript taken back to its end, the place not kept for a reload), and a scroll
    up right after the page followed output taken for the page's own."""
    page = open_page(viewport={"width": 1000, "height": 480})
    pane = new_tab(page)
    sid = pane.get_attribute("data-session")
    own_turn = {"type": "mode", "mode": "standard", "message": ""}
    play(page, sid, own_turn, *({"type": "thinking", "message": f"Step {n}: " + "words " * 40} for n in range(12)))
    page.wait_for_function(
        "sel => { const p = document.querySelector(sel); return p.scrollTop > 200; }", arg=f"#pane-{sid}"
    )
    # The user wheels up, and the next step comes in the same moment.
    kept = pane.evaluate(
        """(p, sid) => new Promise(ok => {
            p.dispatchEvent(new WheelEvent('wheel', {deltaY: -400}));
            p.scrollTop = 40;
            handleEvent({type: 'thinking', session_id: sid, message: 'One more step.'});
            setTimeout(() => ok([p.scrollTop, JSON.parse(sessionStorage.getItem('tavrin.place')).scroll[sid]]), 400);
        })""",
        sid,
    )
    assert kept == [40, 40]
    expect(page.locator(".jump-end")).to_be_visible()  # what came is offered below
    page.locator(".jump-end").click()
    page.wait_for_function(
        "sel => { const p = document.querySelector(sel); return p.scrollTop > 200; }", arg=f"#pane-{sid}"
    )
    # The page follows a step to the end, and the user scrolls up before that scroll is told.
    kept = pane.evaluate(
        """(p, sid) => new Promise(ok => {
            handleEvent({type: 'thinking', session_id: sid, message: 'Yet another step. ' + 'words '.repeat(40)});
            p.dispatchEvent(new WheelEvent('wheel', {deltaY: -400}));
            p.scrollTop = 60;
            setTimeout(() => ok([p.scrollTop, JSON.parse(sessionStorage.getItem('tavrin.place')).scroll[sid]]), 400);
        })""",
        sid,
    )
    assert kept == [60, 60]
    play(page, sid, {"type": "done", "iterations": 1})
    assert page.problems == []


@pytest.fixture
def beating_server(tmp_path):
    server = ServerProcess(tmp_path / "data", log_path=tmp_path / "server.log", args=("--no-quiet-hours",)).start()
    yield server
    server.stop()


def test_every_window_shows_the_heartbeat_as_it_runs(open_page, beating_server):
    """Catches a window that shows "stopped" while the heartbeat runs, the interval it was started
    with elsewhere, its beats, or "running" after a Pause or Stop made in another window."""
    acting, watching = open_page(server=beating_server), open_page(server=beating_server)
    line = watching.locator("#hb-status")
    expect(line).to_have_text("stopped")
    acting.fill("#hb-interval", "5")
    acting.click("[data-hb='start']")
    expect(line).to_have_text("running · every 5 s")
    expect(line).to_have_text("running · every 5 s · beat 1 of 10 before pausing for you", timeout=30_000)
    expect(line).to_have_text("running · every 5 s · beat 2 of 10 before pausing for you", timeout=30_000)
    send(watching, "hello")  # a message from the user starts the count again, in every window
    # (A beat may follow at once: the count is then 1, never 2 or more within 5 s.)
    expect(acting.locator("#hb-status")).to_have_text(
        re.compile(r"^running · every 5 s( · beat 1 of 10 before pausing for you)?$"), timeout=15_000
    )
    acting.click("[data-hb='pause']")
    expect(line).to_have_text("paused · every 5 s")
    acting.click("[data-hb='resume']")
    expect(line).to_contain_text("running · every 5 s")
    acting.click("[data-hb='stop']")
    expect(line).to_have_text("stopped")
    assert acting.problems == [] and watching.problems == []


def test_a_stall_banner_belongs_to_its_turn(open_page):
    """Catches a stall banner that stays over the later turns of its tab, and a warning that stays
    once the turn makes progress again."""
    page = open_page()
    pane = new_tab(page)
    sid = pane.get_attribute("data-session")
    banner = page.locator("#stall-banner")
    play(
        page,
        sid,
        {"type": "mode", "mode": "standard", "message": ""},
        {
            "type": "stall_warning",
            "seconds": 10,
            "auto_cancelled": False,
            "message": "Tavrin hasn't made progress in 10s. It may be stuck waiting for a slow API response.",
        },
    )
    expect(banner).to_be_visible()
    play(page, sid, {"type": "thinking", "message": "the model answered"})
    expect(banner).to_be_hidden()
    play(
        page,
        sid,
        {
            "type": "stall_warning",
            "seconds": 14,
            "auto_cancelled": True,
            "message": "Tavrin appears to have stalled (no activity for 14s) and has been automatically stopped.",
        },
        {"type": "cancelled", "message": "Task cancelled"},
    )
    expect(banner).to_be_visible()
    expect(pane.locator(".line.outcome")).to_have_text("⏹ Stopped: no progress for 14 s")
    send(page, "hello again")
    expect(banner).to_be_hidden()
    pane.locator(".line.done").wait_for()
    expect(banner).to_be_hidden()
    assert page.problems == []


@pytest.mark.parametrize("stop_first", [False, True], ids=["result-then-stop", "stop-then-result"])
def test_a_command_stopped_while_it_ran_shows_what_it_printed(open_page, stop_first):
    """Catches a stopped command whose card shows only the call, and a call left looking as if it
    still ran after its turn was stopped; and, when the stop's reply comes before the command's
    result (the gateway cancelled the turn's task), that result drawn as a card of its own."""
    page = open_page()
    pane = new_tab(page)
    sid = pane.get_attribute("data-session")
    output = "Stopped by the user before it finished\n$ make test\ncompiling… 12 of 40"
    call = {"type": "tool_call", "id": "c1", "tool": "run_command", "arguments": {"command": "make test"}}
    result = {"type": "tool_result", "id": "c1", "tool": "run_command", "result": output, "stopped": True}
    second = {"type": "tool_call", "id": "c2", "tool": "read_file", "arguments": {"path": "notes.txt"}}
    if stop_first:
        play(
            page,
            sid,
            {"type": "mode", "mode": "standard", "message": ""},
            call,
            second,
            {"type": "task_stopped", "message": "Task stopped"},
            result,
        )
    else:
        play(
            page,
            sid,
            {"type": "mode", "mode": "standard", "message": ""},
            call,
            result,
            second,
            {"type": "cancelled", "message": "Task cancelled"},
        )
    expect(pane.locator(".tool")).to_have_count(2)
    command, unanswered = pane.locator(".tool").nth(0), pane.locator(".tool").nth(1)
    expect(command.locator(".tool-state")).to_have_text("Stopped")
    expect(command.locator(".tool-output")).to_have_text(output)
    expect(command).not_to_have_class("failed")
    expect(unanswered.locator(".tool-state")).to_have_text("Stopped")
    assert page.problems == []


def test_the_working_line_says_what_the_turn_waits_for(open_page):
    """Catches "working…" with a spinner while the turn waits for the user's approval, a running
    command not named, and a step of thinking alone counted as "0 steps"."""
    page = open_page()
    pane = new_tab(page)
    sid = pane.get_attribute("data-session")
    line, spinner = page.locator("#working-text"), page.locator("#working .spinner")
    send(page, "please delete old-report.pdf")
    pane.locator(".approval button.approve").wait_for()
    expect(line).to_have_text("Waiting for your approval")
    expect(spinner).to_be_hidden()
    pane.locator(".approval button.approve").click()
    pane.locator(".line.done").wait_for()
    expect(page.locator("#working")).to_be_hidden()

    play(page, sid, {"type": "mode", "mode": "standard", "message": ""})
    expect(line).to_have_text("Thinking…")
    expect(spinner).to_be_visible()
    play(page, sid, {"type": "tool_call", "id": "r1", "tool": "run_command", "arguments": {"command": "make"}})
    expect(line).to_have_text("Running command…")
    play(page, sid, {"type": "tool_result", "id": "r1", "tool": "run_command", "result": "ok"})
    expect(line).to_have_text("Thinking…")
    play(page, sid, {"type": "done", "iterations": 1})

    play(page, sid, {"type": "mode", "mode": "standard", "message": ""}, {"type": "thinking", "message": "hm"})
    thought = pane.locator(".steps-line").last
    expect(thought).to_have_text("Standard agent Thinking…")
    play(page, sid, {"type": "text", "content": "Done."}, {"type": "done", "iterations": 1})
    expect(thought).to_have_text(re.compile(r"^Standard agent Thought for \d+ s$"))
    assert page.problems == []


def test_an_approval_shows_what_will_change(open_page):
    """Catches a file's new content shown as an escaped JSON string (three times), a command not
    shown as code with its folder and timeout, long content that does not fold, and decision
    buttons that scroll away with it."""
    page = open_page(viewport={"width": 1000, "height": 600})
    pane = new_tab(page)
    sid = pane.get_attribute("data-session")
    content = "".join(f'print("line {n}")\n' for n in range(40))
    write = {"path": "/home/you/app.py", "content": content}
    play(
        page,
        sid,
        {"type": "mode", "mode": "standard", "message": ""},
        {"type": "tool_call", "id": "w1", "tool": "write_file", "arguments": write},
        {
            "type": "tool_approval_needed",
            "approval_id": "ap-w",
            "tool": "write_file",
            "arguments": write,
            "message": f"Tavrin wants to run write_file with path=/home/you/app.py, content={content[:200]}…. Allow it?",
        },
    )
    card = pane.locator(".approval[data-approval='ap-w']")
    expect(card.locator(".approval-text")).to_have_text("Tavrin wants to write the file /home/you/app.py. Allow it?")
    expect(card.locator(".approval-where")).to_have_text("File /home/you/app.py")
    expect(card.locator(".code-lang")).to_have_text("py")
    code = card.locator(".approval-code-text")
    assert code.text_content() == content  # as the file will read, not escaped
    expect(code).to_be_hidden()  # 41 lines fold
    card.locator(".approval-fold summary").click()
    expect(code).to_be_visible()
    assert card.locator(".approval-args").count() == 0  # nothing else to show
    assert card.locator(".approval-buttons").evaluate("b => getComputedStyle(b).position") == "sticky"
    assert pane.locator(".tool .tool-args").first.is_hidden()  # the call's card folds the same content
    assert page.text_content(f".pane[data-session='{sid}']").count('print("line 39")') == 1

    run = {"command": "rm -rf build && make", "cwd": "/home/you/src", "timeout": 60}
    play(
        page,
        sid,
        {
            "type": "tool_approval_needed",
            "approval_id": "ap-r",
            "tool": "run_command",
            "arguments": run,
            "message": "Tavrin wants to run run_command with command=rm -rf build && make. Allow it?",
        },
    )
    card = pane.locator(".approval[data-approval='ap-r']")
    expect(card.locator(".approval-code-text")).to_have_text("rm -rf build && make")
    expect(card.locator(".approval-where")).to_have_text("In /home/you/src · stopped after 60 s")
    pytest.importorskip("axe_playwright_python")
    from test_page_approvals import axe_problems

    for scheme in ("light", "dark"):
        page.emulate_media(color_scheme=scheme)
        assert axe_problems(page) == []
    assert page.problems == []


def test_the_top_bar_is_one_row_and_every_tab_can_be_reached(open_page):
    """Catches a top bar that wraps to two or three rows at 1280 px, and tabs out of the strip's
    view with no cue and no way to them but scrolling."""
    page = open_page(viewport={"width": 1280, "height": 800})
    tops = page.evaluate("""() => [...document.querySelector('.topbar').children].filter(c => c.checkVisibility())
        .map(c => { const r = c.getBoundingClientRect(); return [r.top, r.bottom]; })""")
    assert max(t for t, _ in tops) < min(b for _, b in tops)  # all of them on one row
    for _ in range(6):
        new_tab(page)
    more = page.locator("#tab-more")
    count = page.evaluate("ui.sessions.size")
    expect(more).to_have_text(f"All {count} tabs")
    page.click(".tab[data-session='session_main']")
    more.click()
    items = page.locator("#tab-menu [role=menuitem]")
    expect(items).to_have_count(count)
    expect(items.first).to_be_focused()
    items.last.click()
    last = page.evaluate("[...ui.sessions.keys()].pop()")
    expect(page.locator(f".tab[data-session='{last}']")).to_have_attribute("aria-selected", "true")
    expect(page.locator("#tab-menu")).to_be_hidden()
    assert page.problems == []


def test_without_the_token_the_page_shows_the_note_alone(browser, app_server):
    """Catches a page that shows its composer, suggestions, tabs and heartbeat under the note, none
    of which can work, or a note that does not say how to get the address again."""
    context = browser.new_context()
    try:
        page = context.new_page()
        page.goto(app_server.http + "/")
        note = page.locator("#access-note")
        note.wait_for()
        for part in ("#composer", "#tabs", "#hb-controls", "#sidebar", "#panes", ".topbar"):
            expect(page.locator(part)).to_be_hidden()
        command = page.locator("#access-command").text_content()
        assert command == f'echo "{app_server.http}/#token=$(cat ~/.tavrin/token)"'
        assert "Tavrin is running at" in note.text_content()
        shown = page.evaluate("""() => [...document.body.querySelectorAll('*')].filter(e =>
            e.checkVisibility() && !e.closest('#access-note')).map(e => e.tagName)""")
        assert shown == []
    finally:
        context.close()
