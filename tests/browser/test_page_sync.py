"""The page's session-stream reconciliation, called directly in Chromium: the decisions a
reconnect, a reload, a restart or a page of history turns on."""

import pytest

sync_api = pytest.importorskip("playwright.sync_api")


@pytest.fixture(scope="module")
def sync(browser, app_server):
    """``sync(name, *args)`` calls the function of the page's reconciliation module."""
    context = browser.new_context()
    page = context.new_page()
    page.goto(app_server.http + "/")  # the module is a public file of the page's own origin

    def call(name, *args):
        return page.evaluate(
            """async ([name, args]) => {
            const m = await import('/static/js/sync.js');
            const result = m[name](...args);
            return result === undefined ? null : result;
        }""",
            [name, list(args)],
        )

    yield call
    context.close()


def ev(type_, seq, **keys):
    return {"type": type_, "seq": seq, "session_id": "session_main", **keys}


def row(id_, role, turn):
    return {"id": id_, "role": role, "turn_id": turn, "content": role}


TAB = {"seq": 10, "turnSeq": None, "mode": None, "attaching": False}


@pytest.mark.parametrize(
    "tab, event, decision",
    [
        ({**TAB, "attaching": True}, ev("text", 11), {"action": "hold"}),
        (TAB, ev("text", 10), {"action": "seen", "approval": False}),
        (TAB, ev("tool_approval_needed", 9), {"action": "seen", "approval": True}),
        (TAB, ev("mode", 11, mode="standard"), {"action": "draw", "seq": 11, "turnSeq": 11}),
        ({**TAB, "turnSeq": 8, "mode": "standard"}, ev("done", 11), {"action": "draw", "seq": 11, "turnSeq": None}),
        (
            {**TAB, "turnSeq": 8, "mode": "computer_use"},
            ev("error", 11, message="The click missed"),
            {"action": "draw", "seq": 11, "turnSeq": 8},
        ),
        (
            {**TAB, "turnSeq": 8, "mode": "computer_use"},
            ev("error", 11, message="Computer Use error: gone"),
            {"action": "draw", "seq": 11, "turnSeq": None},
        ),
    ],
    ids=[
        "held during attach",
        "drawn already",
        "approval offered again",
        "turn begins",
        "turn ends",
        "computer use goes on after trouble",
        "computer use ends on its own error",
    ],
)
def test_a_numbered_event(sync, tab, event, decision):
    """Catches an event drawn twice, lost during an attach, or a running turn's start forgotten."""
    assert sync("numbered", tab, event) == decision


@pytest.mark.parametrize(
    "tab, running, from_store, after, redraw",
    [
        ({"seq": 50, "turnSeq": 40, "drawn": True}, True, False, 50, False),
        ({"seq": 50, "turnSeq": 40, "drawn": False}, True, False, 39, True),
        ({"seq": 50, "turnSeq": None, "drawn": False}, False, False, 50, True),
        ({"seq": 0, "turnSeq": None, "drawn": False}, True, False, 0, True),  # 0: all the server kept
        ({"seq": 0, "turnSeq": None, "drawn": False}, False, False, None, True),
        ({"seq": 50, "turnSeq": None, "drawn": True}, False, True, 50, True),
    ],
    ids=[
        "dropped connection",
        "reload mid-turn",
        "reload idle",
        "new window mid-turn",
        "new window idle",
        "turn ended elsewhere",
    ],
)
def test_what_an_attach_asks_for(sync, tab, running, from_store, after, redraw):
    """Catches a replay that starts after the running turn began, or a blank page trusting the stream alone."""
    decision = sync("attachRequest", tab, running, from_store)
    assert (decision.get("after"), decision["redraw"]) == (after, redraw)


@pytest.mark.parametrize(
    "answer, turn_seq, decision",
    [
        ({"running": False, "hint": True}, 7, {"running": True, "redraw": False}),
        ({"running": False, "hint": False}, 7, {"running": False, "redraw": True}),
        ({"running": True, "hint": False}, 7, {"running": True, "redraw": False}),
        ({"running": False, "hint": True}, None, {"running": False, "redraw": False}),
    ],
    ids=["host turn runs", "stopped elsewhere without a last event", "gateway turn runs", "nothing runs"],
)
def test_what_the_answer_to_an_attach_means(sync, answer, turn_seq, decision):
    """Catches a connector or heartbeat turn shown as over, or a cancelled turn left running."""
    assert sync("afterAttach", answer, turn_seq) == decision


DONE_TURN = [row(1, "user", "t1"), row(2, "assistant", "t1"), row(3, "outcome", "t1")]


@pytest.mark.parametrize(
    "events, messages, runs, changed, kind",
    [
        (
            [ev("mode", 5, mode="standard"), ev("tool_call", 6)],
            DONE_TURN + [row(4, "user", "t2"), row(5, "tool_call", "t2")],
            True,
            False,
            "running",
        ),
        ([ev("mode", 5, mode="standard")], DONE_TURN, True, False, "again"),
        ([], DONE_TURN, False, True, "again"),
        ([ev("mode", 5, mode="standard"), ev("done", 6)], DONE_TURN + [row(4, "user", "t2")], False, False, "again"),
        ([ev("mode", 5, mode="standard"), ev("done", 6)], DONE_TURN, False, False, "stored"),
    ],
    ids=["running turn", "store behind the stream", "events while reading", "store behind an ended turn", "all stored"],
)
def test_drawing_a_tab_from_the_store_and_the_stream(sync, events, messages, runs, changed, kind):
    """Catches a running turn's steps drawn twice (stored and replayed) or a turn drawn before the store has it."""
    plan = sync("drawPlan", events, messages, runs, changed)
    assert plan["kind"] == kind
    if kind == "running":
        assert [m["id"] for m in plan["rows"]] == [1, 2, 3, 4] and plan["from"] == 0


MAIN = {"session_id": "session_main", "created_at": 1700000000.5}


@pytest.mark.parametrize(
    "known, health, sessions, restarted",
    [
        ("started 100", {"status": "ok", "started_at": 200}, [MAIN], True),
        ("started 100", {"status": "ok", "started_at": 100}, [{**MAIN, "created_at": 5}], False),
        ("1700000000.5", {"status": "ok"}, [MAIN], False),
        ("1700000000.5", None, [{**MAIN, "created_at": 5}], True),
        (None, {"status": "ok", "started_at": 200}, [MAIN], False),
    ],
    ids=[
        "start time changed",
        "sessions kept, same server",
        "no start time, same Main",
        "no start time, new Main",
        "first visit",
    ],
)
def test_a_restart_is_told_by_the_start_time(sync, known, health, sessions, restarted):
    """Catches kept numbers trusted across a restart, or a restart seen where sessions merely persist."""
    identity = sync("serverIdentity", health, sessions)
    assert sync("restarted", known, identity) is restarted


def test_reconnect_attempts(sync):
    """Catches a backoff that leaves the page offline for seconds after the server is back."""
    delays = [sync("retryDelay", attempt, attempt * 800) for attempt in range(40)]
    assert delays[0] <= 100 and max(delays) <= 800 and delays == sorted(delays)
    assert sync("retryDelay", 200, 180000) > 800  # long gone: the page waits longer, and offers "Retry now"


@pytest.mark.parametrize(
    "rows, more, start",
    [
        ([row(7, "tool_result", "t1"), row(8, "outcome", "t1"), row(9, "user", "t2")], True, 2),
        ([row(7, "user", "t1"), row(8, "outcome", "t1")], True, 0),
        ([row(7, "tool_result", "t1"), row(8, "outcome", "t1")], False, 0),
        ([row(7, "tool_call", "t1"), row(8, "tool_result", "t1")], True, 2),
        ([{"id": 7, "role": "system", "content": "old note"}, row(8, "user", "t2")], True, 0),
    ],
    ids=["starts inside a turn", "starts with a turn", "nothing older", "all one turn", "row of no turn"],
)
def test_a_page_of_history_begins_with_a_whole_turn(sync, rows, more, start):
    """Catches a page of older messages drawn from the middle of a turn (an orphan tool card)."""
    assert sync("turnStart", rows, more) == start


def ended(turn, outcome, at):
    return {**row(f"{turn}-end", "outcome", turn), "meta": {"outcome": outcome}, "created_at": at}


@pytest.mark.parametrize(
    "messages, opened, missed",
    [
        ([row(1, "user", "a"), ended("a", "done", 105.0)], 100.0, "done"),
        ([row(1, "user", "a"), ended("a", "cancelled", 105.0)], 100.0, "stopped"),
        ([row(1, "user", "a"), ended("a", "done", 95.0)], 100.0, None),  # before the window opened
        ([row(1, "user", "a"), ended("a", "done", 105.0)], None, None),  # the opening is not known
        ([row(1, "heartbeat", "b"), ended("b", "done", 105.0)], 100.0, None),  # a check-in that went well
        ([row(1, "heartbeat", "b"), ended("b", "error", 105.0)], 100.0, "error"),
        # The last turn's end counts, not an earlier one's: this one still runs.
        ([row(1, "user", "a"), ended("a", "done", 105.0), row(3, "user", "c")], 100.0, "done"),
        (
            [row(1, "user", "a"), ended("a", "done", 99.0), row(3, "user", "c"), ended("c", "error", 101.0)],
            100.0,
            "error",
        ),
        ([], 100.0, None),
    ],
    ids=["done", "stopped", "before", "unknown", "beat", "beat-failed", "running", "last", "empty"],
)
def test_what_a_new_window_missed_of_a_tab(sync, messages, opened, missed):
    """Catches a turn that ended while the window attached passed over, and old history or a quiet
    check-in called news."""
    assert sync("missedEnd", messages, opened) == missed
