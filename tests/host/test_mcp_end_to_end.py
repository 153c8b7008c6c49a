"""Tools from an MCP server through a real server process and a WebSocket client, the model
scripted by the fake OpenAI-compatible server."""

from __future__ import annotations

import asyncio
import importlib.util
import json
import signal
import sys
from pathlib import Path

import pytest

import fake_model as fm
from serverproc import recv_until, require_gateway
from test_mcp_tools import SERVER, _processes_with

if importlib.util.find_spec("litellm") is None or importlib.util.find_spec("mcp") is None:
    pytest.skip("the model extra is not installed", allow_module_level=True)
pytestmark = pytest.mark.timeout(900)  # a server with a model imports LiteLLM at start-up


async def test_a_changing_call_is_approved_over_the_socket_and_ctrl_c_leaves_nothing(servers, tmp_path, monkeypatch):
    # Catches MCP tools missing from the real host, an approval that does not reach the call, a
    # server that fails to start failing the host, or a server process outliving Ctrl+C.
    require_gateway()
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test-never-in-a-server")
    note = tmp_path / "note.txt"
    config = tmp_path / "mcp.json"
    config.write_text(
        json.dumps(
            {
                "mcpServers": {
                    "notes": {"command": sys.executable, "args": [str(SERVER), str(note)]},
                    "broken": {"command": "/nonexistent/mcp-server", "timeout": 30},
                }
            }
        )
    )
    with fm.FakeModelServer() as model:
        model.replies = [fm.tool_call("notes__write_note", {"text": "from the page"}), fm.text("Written.")]
        server = servers(
            tmp_path / "data",
            "--model",
            "openai/fake",
            "--api-base",
            model.url,
            "--mcp-config",
            str(config),
            timeout=240,
        )
        await mcp_status(server, lambda s: s["notes"]["state"] == "up" and s["broken"]["state"] == "down")
        assert len(_processes_with(str(note))) == 1
        async with server.connect() as conn:
            await conn.send(json.dumps({"type": "chat", "content": "note it", "session_id": "session_main"}))
            ask = (await recv_until(conn, lambda e: e["type"] == "tool_approval_needed", timeout=180))[-1]
            assert (ask["server"], ask["server_tool"]) == ("notes", "write_note") and not note.exists()
            await conn.send(json.dumps({"type": "approve", "approval_id": ask["approval_id"], "approved": True}))
            events = await recv_until(conn, lambda e: e["type"] in ("done", "error", "cancelled"), timeout=180)
        assert events[-1]["type"] == "done" and note.read_text() == "from the page"
        server.proc.send_signal(signal.SIGINT)
        server.proc.wait(60)
    assert _processes_with(str(note)) == []
    log = Path(tmp_path / "server0.log").read_text()
    assert "The MCP server broken is down" in log


async def mcp_status(server, condition) -> dict:
    """The servers' status as /api/mcp gives it (by name), once ``condition`` holds of it."""
    import httpx

    async with httpx.AsyncClient(headers=server.auth) as http:
        while True:
            listed = (await http.get(server.http + "/api/mcp")).json()
            status = {s["name"]: s for s in listed["servers"]}
            if condition(status):
                return status
            await asyncio.sleep(0.1)


async def test_a_hung_call_is_stopped_and_a_crash_mid_call_ends_it_in_one_sentence(servers, tmp_path):
    # Catches a stop that waits on a hung MCP call, a crashed server's call hanging or ending the
    # turn in an error, or the crashed server not started again (its status telling so).
    require_gateway()
    note = tmp_path / "note.txt"
    config = tmp_path / "mcp.json"
    config.write_text(
        json.dumps({"mcpServers": {"notes": {"command": sys.executable, "args": [str(SERVER), str(note)]}}})
    )
    with fm.FakeModelServer() as model:
        server = servers(
            tmp_path / "data",
            "--model",
            "openai/fake",
            "--api-base",
            model.url,
            "--mcp-config",
            str(config),
            timeout=240,
        )
        await mcp_status(server, lambda s: s["notes"]["state"] == "up")
        async with server.connect() as conn:
            model.replies = [fm.tool_call("notes__hang", {}), fm.text("unreachable")]
            await conn.send(json.dumps({"type": "chat", "content": "hang", "session_id": "session_main"}))
            await recv_until(conn, lambda e: e["type"] == "tool_call", timeout=180)
            await conn.send(json.dumps({"type": "stop_task", "session_id": "session_main"}))
            events = await recv_until(conn, lambda e: e["type"] in ("done", "error", "task_stopped"), timeout=60)
            assert events[-1]["type"] == "task_stopped"

            model.replies = [fm.tool_call("notes__crash", {}), fm.text("It crashed.")]
            await conn.send(json.dumps({"type": "chat", "content": "crash", "session_id": "session_main"}))
            events = await recv_until(conn, lambda e: e["type"] in ("done", "error", "cancelled"), timeout=180)
        assert events[-1]["type"] == "done"
        # (The stopped call's own result, "Stopped", may come after the stop, ahead of this turn.)
        (result,) = [e for e in events if e["type"] == "tool_result" and e.get("tool") == "notes__crash"]
        assert result["error"] is True
        assert result["result"] == "The MCP server notes exited while it ran crash, so the call has no result."
        # The stopped call was kept as stopped: the next turn's request pairs it with that result.
        told = [m.get("content") for m in model.requests[-2]["messages"] if m["role"] == "tool"]
        assert any(str(c).startswith("Error: Stopped by the user before it finished") for c in told)
        status = await mcp_status(server, lambda s: s["notes"]["restarts"] == 1 and s["notes"]["state"] == "up")
        assert "echo" in status["notes"]["tools"]
