"""The whole system through a real server process: WebSocket clients and the connector endpoint."""

import importlib.util
import json

import httpx
import pytest

from serverproc import drain, recv_until, require_gateway


@pytest.fixture(autouse=True)
def complete_gateway():
    require_gateway()


def is_end(event, session_id="session_main"):
    return event.get("session_id") == session_id and event["type"] in ("done", "error", "cancelled")


async def chat(conn, text, session_id="session_main", **extra):
    await conn.send(json.dumps({"type": "chat", "content": text, "session_id": session_id, **extra}))
    return await recv_until(conn, lambda e: is_end(e, session_id))


async def test_full_chat_turn_and_computer_use(servers):
    server = servers()
    async with server.connect() as conn:
        # On loopback, messages go uncompressed: a screenshot's would cost the loop tens of ms.
        assert conn.response.headers.get("Sec-WebSocket-Extensions") is None
        events = await chat(conn, "What is on my screen?")
        assert [e["type"] for e in events] == ["mode", "thinking", "tool_call", "tool_result", "text", "done"]
        assert all(e["session_id"] == "session_main" for e in events)
        assert "What is on my screen?" in events[-2]["content"]

        events = await chat(conn, "Open the settings", computer_use=True)
        assert events[0]["mode"] == "computer_use" and events[-1]["type"] == "done"
        shots = [e for e in events if e["type"] == "tool_result" and e.get("screenshot")]
        assert shots and shots[0]["image_base64"].startswith("iVBORw0KGgo")  # a PNG


async def test_approval_from_a_second_client(servers):
    server = servers()
    async with server.connect() as asker, server.connect() as other:
        await asker.send(json.dumps({"type": "chat", "content": "delete old-report.pdf"}))
        prompt = (await recv_until(other, lambda e: e["type"] == "tool_approval_needed"))[-1]
        assert prompt["session_id"] == "session_main" and prompt["tool"] == "delete_file"

        await other.send(json.dumps({"type": "approve", "approval_id": prompt["approval_id"], "approved": True}))
        answer = await recv_until(other, lambda e: e["type"] == "approval_resolved")
        assert answer[-1]["success"] is True
        events = await recv_until(asker, is_end)
        result = [e for e in events if e["type"] == "tool_result" and e["tool"] == "delete_file"]
        assert result and not result[0].get("error") and events[-1]["type"] == "done"

        # The other window's late click changes nothing.
        await asker.send(json.dumps({"type": "approve", "approval_id": prompt["approval_id"], "approved": False}))
        late = await recv_until(asker, lambda e: e["type"] == "approval_resolved")
        assert late[-1]["success"] is False


# "/slow" lasts 40 steps: at 0.1 s each, long enough to be still running when the test acts on it,
# however slow the machine.
SLOW_STEP = 0.1


async def test_stop_ends_a_long_task(servers):
    server = servers(step_delay=SLOW_STEP)
    async with server.connect() as conn:
        await conn.send(json.dumps({"type": "chat", "content": "/slow scan everything"}))
        await recv_until(conn, lambda e: e["type"] == "tool_call")
        await conn.send(json.dumps({"type": "stop_task", "session_id": "session_main"}))
        stopped = await recv_until(conn, lambda e: e["type"] in ("task_stopped", "info"))
        # Through the session's stream (the host turns streams on): numbered like the turn's events.
        seq = stopped[-1].pop("seq")
        assert stopped[-1] == {"type": "task_stopped", "message": "Task stopped", "session_id": "session_main"}
        assert isinstance(seq, int)
        assert "done" not in [e["type"] for e in stopped + await drain(conn)]
        # The session is free again at once.
        assert (await chat(conn, "hello again"))[-1]["type"] == "done"


async def test_conversation_resumed_after_a_restart(servers, tmp_path):
    data = tmp_path / "shared-data"
    first = servers(data)
    async with first.connect() as conn:
        await chat(conn, "Remember the pelican on the roof")
        await conn.send(json.dumps({"type": "list_sessions"}))
        sessions = (await recv_until(conn, lambda e: e["type"] == "sessions_list"))[-1]["sessions"]
    conv_id = next(s["conversation_id"] for s in sessions if s["session_id"] == "session_main")
    first.stop()

    second = servers(data)
    listed = httpx.get(f"{second.http}/api/sessions/session_main/conversations", headers=second.auth).json()
    assert conv_id in [c["id"] for c in listed["conversations"]]
    async with second.connect() as conn:
        await conn.send(json.dumps({"type": "resume_conversation", "conversation_id": conv_id}))
        resumed = (await recv_until(conn, lambda e: e["type"] == "conversation_resumed"))[-1]
        assert resumed["conversation_id"] == conv_id and resumed["session_id"] == "session_main"
        roles = [m["role"] for m in resumed["messages"]]
        assert roles == ["user", "thinking", "tool_call", "tool_result", "assistant", "outcome"]
        assert resumed["messages"][0]["content"] == "Remember the pelican on the roof"
        events = await chat(conn, "And now?")
        assert "2 earlier messages" in next(e for e in events if e["type"] == "text")["content"]


@pytest.mark.parametrize("streams", [True, False], ids=["session-streams", "no-session-streams"])
async def test_connector_message_reaches_the_ui(servers, streams):
    # With session streams a window hears a session once it is attached to it; without, every
    # window hears every connector turn.
    server = servers(None, *(() if streams else ("--no-session-streams",)))
    async with server.connect() as conn:
        await conn.send(json.dumps({"type": "attach", "session_id": "connector_inbox"}))
        answer = (await recv_until(conn, lambda e: e["type"] in ("attached", "error")))[-1]
        if streams:
            assert isinstance(answer.pop("seq"), int)  # nothing sent: a number below the stream's own
            assert answer == {"type": "attached", "session_id": "connector_inbox", "running": False}
        else:
            assert answer == {"type": "error", "message": "Unknown message type: attach"}
        async with httpx.AsyncClient(headers=server.auth) as http:
            response = await http.post(
                f"{server.http}/api/connectors/connector_inbox/messages",
                json={"text": "Message from the phone", "sender": "phone"},
            )
        assert response.status_code == 202
        events = await recv_until(conn, lambda e: is_end(e, "connector_inbox"))
        assert events[0]["type"] == "connector_message" and events[0]["content"] == "Message from the phone"
        assert all(e["session_id"] == "connector_inbox" for e in events)
        assert events[-1]["type"] == "done"
        assert all(("seq" in e) == streams for e in events)


async def test_a_megabyte_tab_name_reaches_every_window_cut(servers):
    """A name kept whole: sixty such tabs made the session list sixty megabytes."""
    server = servers()
    async with server.connect() as conn:
        await conn.send(json.dumps({"type": "new_session", "display_name": "n" * 1_000_000, "icon": "🙂" * 1000}))
        created = (await recv_until(conn, lambda e: e["type"] == "session_created"))[-1]["session"]
        assert (created["display_name"], created["icon"]) == ("n" * 100, "🙂" * 16)
        await conn.send(json.dumps({"type": "list_sessions"}))
        listed = (await recv_until(conn, lambda e: e["type"] == "sessions_list"))[-1]["sessions"]
        assert [s["display_name"] for s in listed if s["session_id"] == created["session_id"]] == ["n" * 100]


async def test_session_tabs(servers):
    server = servers()
    async with server.connect() as conn, server.connect() as watcher:
        await conn.send(json.dumps({"type": "new_session"}))
        created = (await recv_until(conn, lambda e: e["type"] == "session_created"))[-1]["session"]
        sid = created["session_id"]
        assert created["display_name"] == "New Chat" and not created["is_connector"]

        await chat(conn, "Plan a trip to Lisbon", session_id=sid)
        renamed = await recv_until(watcher, lambda e: e["type"] == "session_renamed")
        assert renamed[-1] == {"type": "session_renamed", "session_id": sid, "display_name": "Plan a trip to Lisbon"}

        await conn.send(json.dumps({"type": "close_session", "session_id": sid}))
        closed = (await recv_until(conn, lambda e: e["type"] == "session_closed"))[-1]
        assert closed["success"] is True
        await conn.send(json.dumps({"type": "list_sessions"}))
        listed = (await recv_until(conn, lambda e: e["type"] == "sessions_list"))[-1]["sessions"]
        assert sid not in [s["session_id"] for s in listed]


async def test_heartbeat_controls(servers):
    heartbeat_built = importlib.util.find_spec("tavrin.core.heartbeat") is not None
    server = servers()
    async with server.connect() as conn:
        await conn.send(json.dumps({"type": "heartbeat_control", "action": "start", "interval": 600}))
        reply = (await recv_until(conn, lambda e: e["type"] in ("heartbeat_status", "error")))[-1]
        if not heartbeat_built:
            assert reply == {"type": "error", "message": "Heartbeat not initialized"}
            return
        assert reply == {"type": "heartbeat_status", "status": "running", "interval": 600}
        await conn.send(json.dumps({"type": "heartbeat_control", "action": "pause"}))
        await conn.send(json.dumps({"type": "heartbeat_control", "action": "status"}))
        status = (await recv_until(conn, lambda e: e["type"] == "heartbeat_status" and "paused" in e))[-1]
        assert status == {"type": "heartbeat_status", "status": "running", "paused": True, "interval": 600}
        await conn.send(json.dumps({"type": "heartbeat_control", "action": "stop"}))
        await conn.send(json.dumps({"type": "heartbeat_control", "action": "status"}))
        status = (await recv_until(conn, lambda e: e["type"] == "heartbeat_status" and "paused" in e))[-1]
        assert status["status"] == "stopped"

        # An interval below the minimum is raised: the reply echoes what was asked, "status" tells the one in effect.
        await conn.send(json.dumps({"type": "heartbeat_control", "action": "start", "interval": 2}))
        reply = (await recv_until(conn, lambda e: e["type"] == "heartbeat_status"))[-1]
        await conn.send(json.dumps({"type": "heartbeat_control", "action": "status"}))
        status = (await recv_until(conn, lambda e: e["type"] == "heartbeat_status" and "paused" in e))[-1]
        assert (reply["interval"], status["interval"]) == (2, 5)
        assert httpx.get(f"{server.http}/api/heartbeat", headers=server.auth).json()["interval_seconds"] == 5


def seqs_of(events):
    return [e["seq"] for e in events if "seq" in e]


async def test_a_turn_outlives_its_socket_and_is_replayed_once(servers):
    server = servers(step_delay=SLOW_STEP)
    # The watcher leaves without reading the rest of the turn: an unbounded queue lets its close complete.
    async with server.connect(max_queue=None) as watcher:
        await watcher.send(json.dumps({"type": "attach", "session_id": "session_main"}))
        await recv_until(watcher, lambda e: e["type"] == "attached")
        async with server.connect() as conn:
            await conn.send(json.dumps({"type": "chat", "content": "/slow scan everything"}))
            before = await recv_until(conn, lambda e: e["type"] == "tool_result")
        # The socket is gone and the turn goes on: the watcher sees steps the client misses.
        await recv_until(watcher, lambda e: e["type"] == "tool_result" and "part 3 of" in e["result"])

        async with server.connect() as conn:
            await conn.send(json.dumps({"type": "attach", "session_id": "session_main", "after": before[-1]["seq"]}))
            after = await recv_until(conn, is_end)

    turn = [e for e in before + after if e["type"] != "attached"]
    assert [e["type"] for e in turn] == ["mode", "thinking", *["tool_call", "tool_result"] * 20, "text", "done"]
    assert [e["result"] for e in turn if e["type"] == "tool_result"] == [
        f"Scanned part {i} of 20: {i * 7} files" for i in range(1, 21)
    ]
    numbers = seqs_of(turn)
    assert len(numbers) == len(turn) and numbers == sorted(set(numbers))
    attached = next(e for e in after if e["type"] == "attached")
    assert attached["running"] is True and attached["seq"] == seqs_of(after[: after.index(attached)])[-1]


async def test_a_lapsed_approval_is_not_offered_to_windows_that_attach_later(servers):
    server = servers()
    async with server.connect() as conn:
        await conn.send(json.dumps({"type": "chat", "content": "delete old-report.pdf"}))
        prompt = (await recv_until(conn, lambda e: e["type"] == "tool_approval_needed"))[-1]
        await conn.send(json.dumps({"type": "stop_task", "session_id": "session_main"}))
        withdrawn = (await recv_until(conn, lambda e: e["type"] == "approval_withdrawn"))[-1]
        assert withdrawn["approval_id"] == prompt["approval_id"] and "seq" in withdrawn

        async with server.connect() as late:
            await late.send(json.dumps({"type": "attach", "session_id": "session_main"}))
            events = await recv_until(late, lambda e: e["type"] == "attached")
            assert [e["type"] for e in events] == ["attached"]
