"""Tools from an MCP server (tests/host/mcp_server.py, a real stdio server written with the SDK)
offered to the agent on a model, scripted by the fake OpenAI-compatible server."""

from __future__ import annotations

import importlib.util
import os
import sys
from pathlib import Path

import pytest

import fake_model as fm

if importlib.util.find_spec("litellm") is None or importlib.util.find_spec("mcp") is None:
    pytest.skip("the model extra is not installed", allow_module_level=True)
pytestmark = pytest.mark.timeout(600)  # importing LiteLLM takes seconds, far more on a loaded machine

from tavrin.core.guardrails import Guardrails  # noqa: E402
from tavrin.core.llm_agent import LiteLLMAgent, ModelSettings  # noqa: E402
from tavrin.core.mcp_config import parse_config  # noqa: E402
from tavrin.core.mcp_tools import McpHub, tool_names  # noqa: E402
from tavrin.core.tools import load_tools, side_effecting  # noqa: E402

SERVER = Path(__file__).with_name("mcp_server.py")


def _hub(tmp_path, **entry) -> McpHub:
    server = {"command": sys.executable, "args": [str(SERVER), str(tmp_path / "note.txt")], **entry}
    return McpHub(parse_config(__import__("json").dumps({"mcpServers": {"notes": server}}), "mcp.json"))


@pytest.fixture
async def hub(tmp_path, monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", "sk-secret-of-the-host")
    h = _hub(tmp_path, env={"NOTES_FLAG": "1"})
    await h.start()
    await h.ready()
    yield h
    await h.close()


@pytest.fixture
def model():
    with fm.FakeModelServer() as server:
        yield server


def _agent(store, model, hub):
    tools = load_tools() | hub.tools()
    guardrails = Guardrails(sorted(side_effecting(tools)))
    agent = LiteLLMAgent(
        store,
        guardrails,
        "session_main",
        tools=tools,
        settings=ModelSettings("openai/fake", model.url, retry_backoff=0.01),
    )
    return agent, guardrails


async def _turn(agent, guardrails, text, decide=None):
    events = []
    async for event in agent.process_message(text):
        e = event.to_dict()
        events.append(e)
        if e["type"] == "tool_approval_needed":
            guardrails.resolve_approval(e["approval_id"], decide(e))
    return events


async def test_a_read_only_tool_runs_without_asking_and_its_schema_reaches_the_model(store, model, hub):
    # Catches a read-only MCP tool held for approval, a schema rewritten, or its text lost on the way.
    model.replies = [fm.tool_call("notes__echo", {"text": "pelican"}), fm.text("Done.")]
    agent, guardrails = _agent(store, model, hub)
    events = await _turn(agent, guardrails, "echo it", decide=lambda e: pytest.fail("asked for approval"))
    assert [e["type"] for e in events] == ["tool_call", "tool_result", "text", "done"]
    assert events[0]["server"] == "notes" and events[0]["server_tool"] == "echo"
    assert events[1]["result"] == "echo: pelican" and "error" not in events[1]
    offered = {t["function"]["name"]: t["function"] for t in model.requests[0]["tools"]}
    assert offered["notes__echo"]["parameters"]["properties"] == {"text": {"title": "Text", "type": "string"}}
    assert "list_directory" in offered  # the built-in tools stay
    assert model.requests[1]["messages"][-1]["content"] == "echo: pelican"


@pytest.mark.parametrize("approved", [True, False])
async def test_a_changing_tool_asks_first_naming_server_tool_and_arguments(store, model, hub, tmp_path, approved):
    # Catches an MCP tool that changes something running unasked, or running although refused.
    model.replies = [fm.tool_call("notes__write_note", {"text": "hello"}), fm.text("Ok.")]
    agent, guardrails = _agent(store, model, hub)
    events = await _turn(agent, guardrails, "note it", decide=lambda e: approved)
    ask = next(e for e in events if e["type"] == "tool_approval_needed")
    assert (ask["server"], ask["server_tool"], ask["arguments"]) == ("notes", "write_note", {"text": "hello"})
    result = next(e for e in events if e["type"] == "tool_result")
    note = tmp_path / "note.txt"
    if approved:
        assert result["result"] == "wrote 5 characters" and note.read_text() == "hello"
    else:
        assert result["error"] is True and not note.exists()


async def test_a_trusted_tool_runs_without_asking(store, model, tmp_path):
    # Catches "approve": "never" in the configuration being ignored.
    hub = _hub(tmp_path, approve={"write_note": "never"})
    await hub.start()
    await hub.ready()
    try:
        assert not hub.tools()["notes__write_note"].side_effects
    finally:
        await hub.close()


async def test_the_server_gets_only_its_env_path_and_home_never_the_api_key(store, model, hub):
    # Catches the host's environment, provider keys included, leaking into a user's MCP server.
    model.replies = [fm.tool_call("notes__show_env", {}), fm.text("Ok.")]
    agent, guardrails = _agent(store, model, hub)
    events = await _turn(agent, guardrails, "env?")
    names = set(next(e for e in events if e["type"] == "tool_result")["result"].split())
    assert "OPENAI_API_KEY" not in names and os.environ["OPENAI_API_KEY"]
    assert names <= {"PATH", "HOME", "NOTES_FLAG", "LC_CTYPE"} and {"PATH", "NOTES_FLAG"} <= names


async def test_a_server_that_cannot_start_is_down_and_offers_nothing(tmp_path):
    # Catches a failed server failing the host's start, or leaving tools that cannot run, and a
    # status that gives the SDK's wrapped error or is read before the server's last words are in.
    hub = McpHub(
        parse_config('{"mcpServers": {"gone": {"command": "/nonexistent/server", "timeout": 20}}}', "mcp.json")
    )
    await hub.start()
    await hub.ready()
    try:
        assert hub.servers[0].state == "down" and hub.tools() == {}
        assert hub.servers[0].error == (
            "its process exited before it answered; its last words: "
            "/usr/bin/env: '/nonexistent/server': No such file or directory"
        )
    finally:
        await hub.close()


def test_tool_names_fit_the_providers_and_stay_unique():
    # Catches a long or odd name the provider refuses, or two tools under one name.
    long = "t" * 80
    names = tool_names([("srv", "a.b"), ("srv", long), ("srv", long + "x"), ("srv", "a_b")])
    assert names[("srv", "a.b")] == "srv__a_b"
    assert len(set(names.values())) == 4 and all(len(n) <= 64 for n in names.values())
    assert names[("srv", "a_b")] == "srv__a_b_2"


async def test_stop_cancels_a_hung_call_and_the_server_answers_the_next_one(store, model, hub):
    # Catches a stopped turn waiting on an MCP call forever, or a cancel that breaks the connection.
    model.replies = [fm.tool_call("notes__hang", {}), fm.tool_call("notes__echo", {"text": "still"}), fm.text("Ok.")]
    agent, guardrails = _agent(store, model, hub)
    events = []
    async for event in agent.process_message("hang"):
        events.append(event.to_dict())
        if events[-1]["type"] == "tool_call":
            agent.cancel()
    # The stopped call is answered as stopped, so the next request pairs it with a result.
    assert events[-1]["type"] == "cancelled"
    assert [e.get("stopped") for e in events if e["type"] == "tool_result"] == [True]
    model.replies = [fm.tool_call("notes__echo", {"text": "still"}), fm.text("Ok.")]
    events = await _turn(agent, guardrails, "echo")
    assert next(e for e in events if e["type"] == "tool_result")["result"] == "echo: still"


def _processes_with(marker: str) -> list[int]:
    found = []
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and marker in (entry / "cmdline").read_bytes().decode(errors="replace"):
                found.append(int(entry.name))
        except OSError:
            continue
    return found


async def test_closing_leaves_no_server_process_behind(tmp_path):
    # Catches a stdio server outliving the host, or one left in the host's process group.
    hub = _hub(tmp_path)
    await hub.start()
    await hub.ready()
    marker = str(tmp_path / "note.txt")
    (pid,) = _processes_with(marker)
    assert os.getpgid(pid) != os.getpgid(0)
    await hub.close()
    assert _processes_with(marker) == []
