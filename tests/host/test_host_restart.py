"""What survives a restart of the real server, and how it ends: tabs, paged history, Ctrl+C."""

import asyncio
import json
import signal

import httpx
import pytest

from serverproc import recv_until, require_gateway
from tavrin.core.store import ConversationStore


@pytest.fixture(autouse=True)
def complete_gateway():
    require_gateway()


def get(server, path):
    response = httpx.get(server.http + path, headers=server.auth)
    response.raise_for_status()
    return response.json()


async def ask(conn, message, reply_type):
    await conn.send(json.dumps(message))
    return (await recv_until(conn, lambda e: e["type"] == reply_type))[-1]


async def chat(conn, text, session_id):
    await conn.send(json.dumps({"type": "chat", "content": text, "session_id": session_id}))
    await recv_until(conn, lambda e: e.get("session_id") == session_id and e["type"] == "done")


async def interrupt(server):
    """Ctrl+C, as a terminal sends it; returns the exit status."""
    server.proc.send_signal(signal.SIGINT)
    status = await asyncio.to_thread(server.proc.wait, 30)
    server.stop()
    return status


# Catches: tabs, their names, icons and conversations lost or mixed up by a restart; a closed tab
# coming back; Main opening an empty conversation; a cut turn stored without its interrupted outcome.
async def test_a_restart_keeps_the_tabs_and_shows_the_cut_turn(servers, tmp_path):
    data = tmp_path / "data"
    first = servers(data, step_delay=0.1)
    async with first.connect() as conn:
        named = (await ask(conn, {"type": "new_session", "icon": "🧪"}, "session_created"))["session"]
        await chat(conn, "Plan the garden beds", named["session_id"])  # names the tab after the message
        switched = (await ask(conn, {"type": "new_session", "display_name": "Taxes"}, "session_created"))["session"]
        await chat(conn, "Sort the receipts", switched["session_id"])
        await ask(conn, {"type": "new_conversation", "session_id": switched["session_id"]}, "conversation_started")
        closed = (await ask(conn, {"type": "new_session"}, "session_created"))["session"]
        await ask(conn, {"type": "close_session", "session_id": closed["session_id"]}, "session_closed")

        await conn.send(json.dumps({"type": "chat", "content": "/slow scan everything", "session_id": "session_main"}))
        await recv_until(conn, lambda e: e["type"] == "tool_result")
        before = get(first, "/api/sessions")["sessions"]
        started = get(first, "/api/health")["started_at"]
        await interrupt(first)

    second = servers(data)
    after = get(second, "/api/sessions")["sessions"]
    assert [{**s, "is_processing": False} for s in before] == after
    assert [(s["display_name"], s["icon"]) for s in after] == [
        ("Main", "🏠"),
        ("Inbox", "📨"),
        ("Plan the garden beds", "🧪"),
        ("Taxes", "💬"),
    ]
    assert get(second, "/api/health")["started_at"] > started

    main = after[0]["conversation_id"]
    rows = get(second, f"/api/conversations/{main}/messages")["messages"]
    assert rows[0]["content"] == "/slow scan everything"
    assert rows[-1]["role"] == "outcome" and rows[-1]["meta"]["outcome"] == "interrupted"
    assert rows[-1]["turn_id"] == rows[0]["turn_id"]
    # The agent is on its conversation again: its reply counts what was said there before.
    async with second.connect() as conn:
        await conn.send(json.dumps({"type": "chat", "content": "Still there?", "session_id": "session_main"}))
        events = await recv_until(conn, lambda e: e.get("session_id") == "session_main" and e["type"] == "done")
    assert "1 earlier message" in " ".join(e.get("content", "") for e in events if e["type"] == "text")


def write_turns(path, count):
    """A conversation of ``count`` turns of different lengths, written as the agents write them."""

    async def fill():
        store = ConversationStore(path)
        store._run(lambda db: db.execute("PRAGMA synchronous = OFF"))  # a test's file: speed over safety
        conv = await store.create_conversation("session_main")
        for i in range(count):
            turn = await store.begin_turn(conv, "standard")
            await store.add_message(conv, "user", f"question {i}", {"mode": "standard"}, turn)
            for step in range(i % 9):
                await store.add_message(conv, "tool_call", "scan", {"id": f"c{i}.{step}"}, turn)
                await store.add_message(conv, "tool_result", "scan", {"id": f"c{i}.{step}"}, turn)
            await store.add_message(conv, "assistant", f"answer {i}", None, turn)
            await store.end_turn(turn, "done")
        rows = await store.get_messages(conv, limit=10**6)
        store.close()
        return conv, rows

    return asyncio.run(fill())


# Catches: a page that starts inside a turn, rows lost or repeated between pages, a wrong has_more,
# and a message count that disagrees with what the pages hold.
def test_paging_back_through_210_turns(servers, tmp_path):
    data = tmp_path / "data"
    data.mkdir(mode=0o700)
    conv, all_rows = write_turns(data / "conversations.sqlite3", 210)
    server = servers(data)
    http = httpx.Client(base_url=server.http, headers=server.auth)
    messages = f"/api/conversations/{conv}/messages"
    latest = http.get(messages).json()
    first_of_turn = {}
    for row in all_rows:
        first_of_turn.setdefault(row["turn_id"], row["id"])
    assert latest["has_more"] and latest["messages"] == all_rows[-len(latest["messages"]) :]

    for limit in (1, 7, 200):
        pages, page = [], http.get(messages, params={"limit": limit}).json()
        while True:
            rows = page["messages"]
            assert rows[0]["id"] == first_of_turn[rows[0]["turn_id"]], "a page starts inside a turn"
            pages[:0] = rows
            if not page["has_more"]:
                break
            page = http.get(messages, params={"before": rows[0]["id"], "limit": limit}).json()
        assert pages == all_rows
        counted = sum(r["role"] in ("user", "assistant", "heartbeat") for r in pages)
        assert counted == page["conversation"]["message_count"] == 420
    http.close()


# Catches: a status without the documented keys while the heartbeat never ran, keys that differ
# once it has, and a stopped heartbeat reported otherwise.
async def test_heartbeat_status_keys_before_the_first_start(servers):
    pytest.importorskip("tavrin.core.heartbeat")
    server = servers()
    before = get(server, "/api/heartbeat")
    assert before["running"] is False and before["paused"] is False and before["enabled"] is False
    assert before["quiet_hours_start"] == "23:00" and before["quiet_hours_end"] == "07:00"
    assert before["quiet_until"] in (None, "07:00")
    async with server.connect() as conn:
        await ask(conn, {"type": "heartbeat_control", "action": "start", "interval": 600}, "heartbeat_status")
        running = get(server, "/api/heartbeat")
        await ask(conn, {"type": "heartbeat_control", "action": "stop"}, "heartbeat_status")
    assert running["running"] is True
    assert set(before) == set(running)


# Catches: the KeyboardInterrupt traceback on Ctrl+C with a page open and a turn running, more than
# one line, and an exit status other than the one of a process ended by Ctrl+C.
async def test_ctrl_c_with_a_page_open_prints_one_line(servers):
    server = servers(step_delay=0.1)
    async with server.connect() as conn:
        await conn.send(json.dumps({"type": "chat", "content": "/slow", "session_id": "session_main"}))
        await recv_until(conn, lambda e: e["type"] == "tool_call")
        status = await interrupt(server)
    assert status == -signal.SIGINT
    assert server.stdout == ["Tavrin stopped (Ctrl+C)\n"]
    assert server.log_path.read_text() == ""


# Catches: uvicorn's five lines about its shutdown steps around the one line of a Ctrl+C, at the
# default log level.
async def test_ctrl_c_at_the_default_log_level_prints_one_line(servers):
    server = servers(None, "--log-level", "info")
    async with server.connect() as conn:
        await conn.send(json.dumps({"type": "list_sessions"}))
        await recv_until(conn, lambda e: e["type"] == "sessions_list")
    started = server.log_path.read_text()  # uvicorn's start-up lines
    status = await interrupt(server)
    assert status == -signal.SIGINT
    assert server.stdout[-1] == "Tavrin stopped (Ctrl+C)\n"
    assert server.log_path.read_text()[len(started) :] == ""
