"""MCP servers over both transports and through their lives: a streamable-HTTP server with its
headers, servers that start together, a server that crashes and is started again until it is down,
a tool list that changes, and pictures by the model's vision. The servers are tests/host/mcp_server.py,
written with the SDK (over HTTP, the SDK's own server side under uvicorn)."""

from __future__ import annotations

import asyncio
import importlib.util
import json
import subprocess
import sys
import time

import pytest

import fake_model as fm

if importlib.util.find_spec("litellm") is None or importlib.util.find_spec("mcp") is None:
    pytest.skip("the model extra is not installed", allow_module_level=True)
pytestmark = pytest.mark.timeout(600)  # importing LiteLLM takes seconds, far more on a loaded machine

from tavrin.core import mcp_tools  # noqa: E402
from tavrin.core.guardrails import Guardrails  # noqa: E402
from tavrin.core.llm_agent import LiteLLMAgent, ModelSettings  # noqa: E402
from tavrin.core.mcp_config import parse_config  # noqa: E402
from tavrin.core.mcp_tools import McpHub  # noqa: E402
from tavrin.core.tools import ToolContext, ToolError, load_tools, side_effecting  # noqa: E402
from test_mcp_tools import SERVER, _processes_with  # noqa: E402


def _hub(servers: dict) -> McpHub:
    return McpHub(parse_config(json.dumps({"mcpServers": servers}), "mcp.json"))


def _stdio(tmp_path, **entry) -> dict:
    return {"command": sys.executable, "args": [str(SERVER), str(tmp_path / "note.txt")], **entry}


async def _until(condition, what: str = ""):
    """Waits for the condition itself (checked as the servers change), bounded by the test's timeout."""
    while not condition():
        await asyncio.sleep(0.02)


def _start_http(folder, *args) -> tuple[subprocess.Popen, str]:
    """The test server over streamable HTTP, once it listens, and its URL."""
    port_file = folder / "port"
    port_file.unlink(missing_ok=True)
    proc = subprocess.Popen(
        [sys.executable, str(SERVER), str(folder / "http-note.txt"), "--http", str(port_file), *args]
    )
    while not port_file.exists():
        if proc.poll() is not None:
            pytest.fail(f"the HTTP MCP server exited with {proc.returncode}")
        time.sleep(0.05)
    return proc, f"http://127.0.0.1:{port_file.read_text()}/mcp"


def _end(proc: subprocess.Popen) -> None:
    proc.terminate()
    proc.wait(30)


@pytest.fixture
def http_server(tmp_path):
    """The test server over streamable HTTP, asking for a bearer token; yields its URL."""
    proc, url = _start_http(tmp_path, "--token", "letmein")
    try:
        yield url
    finally:
        _end(proc)


@pytest.fixture
def model():
    with fm.FakeModelServer() as server:
        yield server


def _agent(store, model, hub, vision=None):
    tools = load_tools()
    guardrails = Guardrails(sorted(side_effecting(tools)))
    hub.bind(tools, guardrails)
    return LiteLLMAgent(
        store,
        guardrails,
        "session_main",
        tools=tools,
        settings=ModelSettings("openai/fake", model.url, retry_backoff=0.01, vision=vision),
    )


async def _turn(agent, text):
    return [event.to_dict() async for event in agent.process_message(text)]


async def test_an_http_server_gets_its_headers_and_its_tools_run_as_stdio_ones_do(tmp_path, store, model, http_server):
    # Catches the headers not sent, an HTTP server's tools missing or not asking first, or a server
    # refusing the host (a wrong token) failing the others instead of being down with its reason.
    hub = _hub(
        {
            "web": {"url": http_server, "headers": {"Authorization": "Bearer letmein"}},
            "locked": {"url": http_server + "?key=hidden", "headers": {"Authorization": "Bearer wrong"}},
        }
    )
    await hub.start()
    await hub.ready()
    try:
        web, locked = hub.status()
        assert web["state"] == "up" and web["transport"] == "http" and "echo" in web["tools"]
        assert locked["state"] == "down" and "401" in locked["error"] and "hidden" not in locked["target"]
        model.replies = [fm.tool_call("web__echo", {"text": "over http"}), fm.text("Done.")]
        agent = _agent(store, model, hub)
        assert agent.guardrails.needs_approval("web__write_note") and not agent.guardrails.needs_approval("web__echo")
        events = await _turn(agent, "echo")
        result = next(e for e in events if e["type"] == "tool_result")
        assert (result["result"], events[0]["server"]) == ("echo: over http", "web")
    finally:
        await hub.close()


# 2 s of it is the SDK's grace for a server that ignores its closed stdin (as sleep does) before ending it.
async def test_servers_start_together_and_a_slow_one_holds_back_nothing(tmp_path):
    # Catches servers started one after another (the second waiting out the first's timeout) or
    # the tools of a server that answered held back until every server has.
    # Catches too a server still starting left running by the host's end.
    hub = _hub({"slow": {"command": "/bin/sleep", "args": ["600.25"], "timeout": 600}, "notes": _stdio(tmp_path)})
    table: dict = {}
    hub.bind(table)
    await hub.start(grace=0)
    try:
        slow, notes = hub.servers
        await _until(lambda: notes.state == "up", "notes up")
        assert slow.state == "starting" and "notes__echo" in table
        assert [s["state"] for s in hub.status()] == ["starting", "up"]
        assert len(_processes_with("600.25")) == 1
    finally:
        await hub.close()
    assert _processes_with("600.25") == []


# Seconds: the server's process starts four times (a start, three restarts), each importing the MCP SDK.
async def test_a_server_that_crashes_is_started_again_three_times_then_down(tmp_path, monkeypatch):
    # Catches a crashed server left dead, restarted without end, its call hanging or answered with a
    # traceback, or its tools gone quiet rather than saying in one sentence why they cannot run.
    monkeypatch.setattr(mcp_tools, "BACKOFF_SECONDS", (0.05,))
    hub = _hub({"notes": _stdio(tmp_path)})
    table: dict = {}
    hub.bind(table)
    await hub.start()
    server = hub.servers[0]
    try:
        for restarts in range(4):
            await _until(lambda: server.state == "up" and server.restarts == restarts and not server._ended, "up")
            with pytest.raises(ToolError) as crashed:
                await server.call("crash", {})
            assert str(crashed.value) == "The MCP server notes exited while it ran crash, so the call has no result."
        await _until(lambda: server.state == "down", "down")
        assert server.restarts == 3 and "after 3 restarts" in server.error
        with pytest.raises(ToolError) as down:
            await table["notes__echo"].run({"text": "x"}, ToolContext())
        assert str(down.value).startswith("The MCP server notes is down (") and str(down.value).count(". ") == 0
    finally:
        await hub.close()


async def test_a_changed_tool_list_reaches_the_next_model_call(tmp_path, store, model):
    # Catches notifications/tools/list_changed ignored: the new tool neither offered nor callable.
    hub = _hub({"notes": _stdio(tmp_path)})
    await hub.start()
    await hub.ready()
    try:
        model.replies = [fm.tool_call("notes__learn", {"text": "x", "name": "fresh"}), fm.text("Learned.")]
        agent = _agent(store, model, hub)
        assert "notes__fresh" not in agent.tools
        await _turn(agent, "learn")
        await _until(lambda: "notes__fresh" in agent.tools, "the new tool")
        model.replies = [fm.tool_call("notes__fresh", {}), fm.text("Ok.")]
        events = await _turn(agent, "use it")
        assert "notes__fresh" in {t["function"]["name"] for t in model.requests[-2]["tools"]}
        assert next(e for e in events if e["type"] == "tool_result")["result"] == "I am fresh"
    finally:
        await hub.close()


@pytest.mark.parametrize(("vision", "kind"), [(True, "png"), (True, "jpeg"), (False, "png")])
async def test_a_picture_reaches_only_a_model_that_sees(tmp_path, store, model, vision, kind):
    # Catches a picture sent to a model without vision (a provider error), lost for one with it, or
    # a JPEG passed on under the PNG type the request gives every picture.
    hub = _hub({"notes": _stdio(tmp_path)})
    await hub.start()
    await hub.ready()
    try:
        model.replies = [fm.tool_call("notes__picture", {"kind": kind}), fm.text("A red square.")]
        agent = _agent(store, model, hub, vision=vision)
        await _turn(agent, "draw")
        sent = json.dumps(model.requests[1]["messages"])
        assert ("data:image/png;base64,iVBORw0KGgo" in sent) is vision  # a PNG's signature, as base64
        assert f"[a picture, image/{kind}]" in sent
        if not vision:
            assert "cannot be shown" in sent
    finally:
        await hub.close()


def test_a_picture_that_is_damaged_or_too_large_is_named_not_passed_on():
    # Catches a decompression bomb or a broken picture decoded, or passed to the model regardless.
    import base64
    import struct

    from mcp.types import CallToolResult, ImageContent, TextContent

    bomb = b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + b"IHDR" + struct.pack(">II", 100_000, 100_000) + b"\0" * 9
    blocks = [
        TextContent(type="text", text="here"),
        ImageContent(type="image", data=base64.b64encode(bomb).decode(), mime_type="image/png"),
        ImageContent(type="image", data=base64.b64encode(b"\xff\xd8 not a jpeg").decode(), mime_type="image/jpeg"),
    ]
    out = mcp_tools.result_to_tool_output(CallToolResult(content=blocks))
    assert "image_png_base64" not in out
    assert out["text"] == (
        "here\n[a picture, image/png, not passed on: it is damaged or too large]\n"
        "[a picture, image/jpeg, not passed on: it is damaged or too large]"
    )


# Seconds: the HTTP server's process starts twice (the restart is the case), each importing the SDK.
async def test_an_http_server_that_restarted_is_connected_to_again(tmp_path, monkeypatch):
    # Catches an HTTP server that restarted (and forgot the host's session) leaving its tools
    # failing until the host restarts, or the call that found out ending in a traceback.
    monkeypatch.setattr(mcp_tools, "BACKOFF_SECONDS", (0.05,))
    proc, url = _start_http(tmp_path)
    hub = _hub({"web": {"url": url}})
    try:
        await hub.start()
        await hub.ready()
        server = hub.servers[0]
        assert (await server.call("echo", {"text": "one"}))["text"] == "echo: one"
        _end(proc)
        proc, _ = _start_http(tmp_path, "--port", url.split(":")[2].split("/")[0])
        with pytest.raises(ToolError) as forgotten:
            await server.call("echo", {"text": "two"})
        assert str(forgotten.value) == (
            "The MCP server web had forgotten this host's session when asked to run echo, "
            "so the call did not run; it is being connected again."
        )
        await _until(lambda: server.state == "up" and server.restarts == 1 and not server._ended)
        assert (await server.call("echo", {"text": "three"}))["text"] == "echo: three"
    finally:
        await hub.close()
        _end(proc)
