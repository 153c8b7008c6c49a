"""Which Computer Use agent a server runs, and a server without an X display."""

import importlib.util
import json

import pytest

from fake_model import FakeModelServer
from serverproc import recv_until, require_gateway
from tavrin.config import AppConfig

needs_litellm = pytest.mark.skipif(importlib.util.find_spec("litellm") is None, reason="LiteLLM is not installed")
# A server with a model imports LiteLLM at start-up: seconds of work, far more on a loaded machine.
START_TIMEOUT = 240


def test_the_computer_use_model_is_chosen_as_documented():
    sees = {"anthropic/claude-sonnet-4-5", "openai/gpt-4o"}.__contains__
    config = AppConfig()
    assert config.computer_use_model(sees) is None  # no model at all: the demo
    config.model, config.api_base = "openai/qwen2.5", "http://127.0.0.1:8080/v1"
    assert config.computer_use_model(sees) is None  # a model that takes no images: the demo
    config.vision = True  # --vision says it does
    assert config.computer_use_model(sees) == ("openai/qwen2.5", "http://127.0.0.1:8080/v1")
    config.vision = False  # --no-vision wins over what LiteLLM knows
    config.model = "openai/gpt-4o"
    assert config.computer_use_model(sees) is None
    config.vision = None
    assert config.computer_use_model(sees) == ("openai/gpt-4o", "http://127.0.0.1:8080/v1")
    config.cu_model = "anthropic/claude-sonnet-4-5"  # --cu-model wins, on --api-base unless told
    assert config.computer_use_model(sees) == ("anthropic/claude-sonnet-4-5", "http://127.0.0.1:8080/v1")
    config.cu_api_base = "http://127.0.0.1:9000"
    assert config.computer_use_model(sees) == ("anthropic/claude-sonnet-4-5", "http://127.0.0.1:9000")


@needs_litellm
async def test_without_an_x_display_the_server_starts_and_a_task_ends_in_one_sentence(servers, monkeypatch):
    require_gateway()
    monkeypatch.delenv("DISPLAY", raising=False)
    with FakeModelServer() as model:
        server = servers(None, "--model", "openai/fake", "--api-base", model.url, "--vision", timeout=START_TIMEOUT)
        assert (
            f"Computer Use: model openai/fake at {model.url}, but no X display (DISPLAY is not set)"
            in server.address_line
        )
        async with server.connect() as conn:
            await conn.send(json.dumps({"type": "chat", "content": "Open the browser", "computer_use": True}))
            events = await recv_until(conn, lambda e: e["type"] in ("error", "done", "cancelled"))
        assert [e["type"] for e in events] == ["mode", "error"]
        assert events[-1]["message"].startswith("Computer Use error: There is no X display")
        assert model.requests == []  # nothing was sent to the model


@needs_litellm
async def test_a_model_that_takes_no_images_leaves_the_demo_in_place(servers, monkeypatch):
    require_gateway()
    with FakeModelServer() as model:
        server = servers(None, "--model", "openai/fake", "--api-base", model.url, timeout=START_TIMEOUT)
        assert "Computer Use: demo" in server.address_line
        async with server.connect() as conn:
            await conn.send(json.dumps({"type": "chat", "content": "Open the browser", "computer_use": True}))
            events = await recv_until(conn, lambda e: e["type"] in ("error", "done", "cancelled"))
        assert events[-1]["type"] == "done" and model.requests == []


def test_a_computer_use_turn_reaches_the_standard_model_as_its_request_and_reply():
    """Catches a stored Computer Use step ("computer.left_click") sent to the standard model as a
    function call: a name no provider accepts, of a tool that model has not got."""
    from tavrin.core.llm_agent import turns_from_rows

    rows = [
        {"id": 1, "turn_id": "t1", "role": "user", "content": "Click the button", "meta": {"mode": "computer_use"}},
        {
            "id": 2,
            "turn_id": "t1",
            "role": "tool_call",
            "content": "computer.left_click",
            "meta": {"id": "toolu_1", "tool": "computer.left_click", "arguments": {"action": "left_click"}},
        },
        {
            "id": 3,
            "turn_id": "t1",
            "role": "tool_result",
            "content": "computer",
            "meta": {"id": "toolu_1", "tool": "computer", "result": "Screenshot captured", "screenshot": True},
        },
        {"id": 4, "turn_id": "t1", "role": "assistant", "content": "Clicked it.", "meta": None},
        {"id": 5, "turn_id": "t2", "role": "user", "content": "List my files", "meta": {"mode": "standard"}},
        {
            "id": 6,
            "turn_id": "t2",
            "role": "tool_call",
            "content": "list_directory",
            "meta": {"id": "c1", "tool": "list_directory", "arguments": {"path": "~"}},
        },
        {
            "id": 7,
            "turn_id": "t2",
            "role": "tool_result",
            "content": "list_directory",
            "meta": {"id": "c1", "tool": "list_directory", "result": "a.txt"},
        },
    ]
    cu_turn, standard = turns_from_rows(rows)
    assert cu_turn == [{"role": "user", "content": "Click the button"}, {"role": "assistant", "content": "Clicked it."}]
    assert standard[1]["tool_calls"][0]["function"]["name"] == "list_directory"
