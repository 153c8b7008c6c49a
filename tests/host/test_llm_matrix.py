"""The provider matrix through the real server: the standard agent on LiteLLM's ``openai/``,
``anthropic/`` and ``ollama_chat/`` against strict fakes of each wire format, driven from a
WebSocket client as the page drives it; and what a kill -9 in the middle of a reply leaves."""

from __future__ import annotations

import asyncio
import importlib.util
import json
import os
import signal
import sqlite3

import pytest

import fake_model as fm
from serverproc import recv_until, require_gateway

if importlib.util.find_spec("litellm") is None:  # found, not imported: importing it takes seconds
    pytest.skip("LiteLLM is not installed", allow_module_level=True)
START_TIMEOUT = 240
pytestmark = pytest.mark.timeout(900)


@pytest.fixture(autouse=True)
def complete_gateway():
    require_gateway()


def is_end(event):
    return event.get("session_id") == "session_main" and event["type"] in ("done", "error", "cancelled")


async def chat(conn, text):
    await conn.send(json.dumps({"type": "chat", "content": text, "session_id": "session_main"}))
    # (The title the model writes after the first answer is told to every window meanwhile.)
    named = ("mode", "conversation_renamed", "session_renamed")
    return [e for e in await recv_until(conn, is_end, timeout=180) if e["type"] not in named]


@pytest.mark.parametrize("flavour", fm.FLAVOURS)
async def test_each_provider_through_the_server(servers, flavour, tmp_path, monkeypatch):
    # Catches a provider whose wire format breaks a text turn, a tool turn, parallel calls, a stop
    # mid-stream or the turn after an error, or a history its strict server refuses.
    monkeypatch.setenv("ANTHROPIC_API_KEY", "sk-ant-test")
    for name in ("a", "b"):
        (tmp_path / name).mkdir()
        (tmp_path / name / f"{name}.txt").write_text(name)
    with fm.FakeModelServer(flavour) as model:
        server = servers(tmp_path / "data", "--model", model.model, "--api-base", model.url, timeout=START_TIMEOUT)
        async with server.connect() as conn:
            model.replies = [fm.text("Hello ", "there.")]
            assert [e["type"] for e in await chat(conn, "hi")] == ["text", "text", "done"]

            model.replies = [fm.tool_call("list_directory", {"path": str(tmp_path / "a")}), fm.text("One file.")]
            events = await chat(conn, "what is in a?")
            assert [e["type"] for e in events] == ["tool_call", "tool_result", "text", "done"]
            assert "a.txt" in events[1]["result"]

            model.replies = [
                fm.tool_call("list_directory", {"path": str(tmp_path / "a")}, index=None)
                + fm.tool_call("list_directory", {"path": str(tmp_path / "b")}, index=None),
                fm.text("Two folders."),
            ]
            events = await chat(conn, "and both?")
            results = [e["result"] for e in events if e["type"] == "tool_result"]
            assert len(results) == 2 and "a.txt" in results[0] and "b.txt" in results[1]

            # The second piece ends in a character that begins no access token: an end that could
            # begin a secret is held back until the next piece, which a stalled stream never sends.
            model.replies = [fm.text("Once upon ", "a time.") + fm.stall()]
            await conn.send(json.dumps({"type": "chat", "content": "a story", "session_id": "session_main"}))
            # Both pieces handed over: the first is recorded once the second was asked for.
            await recv_until(conn, lambda e: e["type"] == "text" and e["content"] == "a time.", timeout=180)
            await conn.send(json.dumps({"type": "stop_task", "session_id": "session_main"}))
            await recv_until(conn, lambda e: e["type"] == "task_stopped")
            assert await asyncio.to_thread(model.closed.wait, 30), "the model's stream stayed open after the stop"

            model.replies = [fm.status(401, "bad key")]
            events = await chat(conn, "again")
            assert events[-1]["type"] == "error" and "refused the credentials (401)" in events[-1]["message"]

            model.replies = [fm.text("Back.")]
            assert [e["type"] for e in await chat(conn, "and now?")] == ["text", "done"]
    assert model.refusals == []
    # The last request carried every earlier turn, the stopped story's first words included.
    assert "Once upon " in json.dumps(model.sent())


async def test_a_kill_mid_reply_leaves_the_text_written_so_far(servers, tmp_path):
    # Catches a streamed reply kept only in memory until its end (a crash loses all of it), or one
    # left unsearchable or without an outcome after the restart.
    pieces = [f"word{i} " for i in range(200)]
    with fm.FakeModelServer("openai") as model:
        data = tmp_path / "data"
        server = servers(data, "--model", model.model, "--api-base", model.url, timeout=START_TIMEOUT)
        model.replies = [fm.text(*pieces) + fm.stall()]
        async with server.connect() as conn:
            await conn.send(json.dumps({"type": "chat", "content": "count", "session_id": "session_main"}))
            # The pieces come in a few messages (the first alone, then the rest together): all shown.
            shown = ""
            while shown != "".join(pieces):
                events = await recv_until(conn, lambda e: e["type"] == "text", timeout=180)
                shown += events[-1]["content"]
            db = data / "conversations.sqlite3"
            while stored_reply(db) != "".join(pieces):  # within the write interval of the last piece
                await asyncio.sleep(0.05)
            os.kill(server.proc.pid, signal.SIGKILL)
            server.proc.wait(30)
        servers(data, "--model", model.model, "--api-base", model.url, timeout=START_TIMEOUT)  # a restart
        rows = sqlite3.connect(db).execute("SELECT role, content, meta FROM messages ORDER BY id").fetchall()
        assert [r[0] for r in rows] == ["user", "assistant", "outcome"]
        assert rows[1][1] == "".join(pieces) and rows[1][2] is None
        assert json.loads(rows[2][2])["outcome"] == "interrupted"
        hits = (
            sqlite3.connect(db)
            .execute("SELECT rowid FROM message_search WHERE message_search MATCH 'word199'")
            .fetchall()
        )
        assert len(hits) == 1


async def test_a_kill_as_the_answer_begins_keeps_the_message_it_answers(servers, tmp_path):
    # Catches the first words of an answer shown before the user's message is stored (the model is
    # asked while that write is on its way): a crash then would lose the message the user saw answered.
    with fm.FakeModelServer("openai") as model:
        data = tmp_path / "data"
        server = servers(data, "--model", model.model, "--api-base", model.url, timeout=START_TIMEOUT)
        model.replies = [fm.text("Hel") + fm.stall()]
        async with server.connect() as conn:
            await conn.send(json.dumps({"type": "chat", "content": "greet me", "session_id": "session_main"}))
            await recv_until(conn, lambda e: e["type"] == "text", timeout=180)
            os.kill(server.proc.pid, signal.SIGKILL)
            server.proc.wait(30)
        servers(data, "--model", model.model, "--api-base", model.url, timeout=START_TIMEOUT)  # a restart
        rows = sqlite3.connect(data / "conversations.sqlite3").execute("SELECT role, content FROM messages ORDER BY id")
        assert next(rows) == ("user", "greet me")


def stored_reply(db) -> str | None:
    try:
        with sqlite3.connect(f"file:{db}?mode=ro", uri=True) as c:
            row = c.execute("SELECT content FROM messages WHERE role = 'assistant' ORDER BY id DESC").fetchone()
    except sqlite3.OperationalError:
        return None
    return row[0] if row else None
