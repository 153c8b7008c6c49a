"""What survives a restart of the real server, and how it ends: tabs, paged history, Ctrl+C."""

import asyncio
import json
import signal

import httpx
import pytest

from serverproc import recv_until, require_gateway


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
        ("Main", "🏠"), ("Inbox", "📨"), ("Plan the garden beds", "🧪"), ("Taxes", "💬")]
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
