"""The standard agent against strict fakes of three providers' wire formats (OpenAI-compatible,
Anthropic's Messages API, Ollama's /api/chat), through the real LiteLLM: every conversation it
sends is one the strictest server accepts, whatever the turn went through."""

from __future__ import annotations

import asyncio
import base64
import importlib.util
import json
import logging
import sys
import types

import pytest

import fake_model as fm

if importlib.util.find_spec("litellm") is None:  # found, not imported: importing it takes seconds
    pytest.skip("LiteLLM is not installed", allow_module_level=True)
pytestmark = pytest.mark.timeout(600)

from tavrin.core.guardrails import Guardrails  # noqa: E402
from tavrin.core.llm_agent import LiteLLMAgent, ModelError, ModelSettings  # noqa: E402


@pytest.fixture(params=fm.FLAVOURS)
def provider(request, monkeypatch):
    monkeypatch.setenv("ANTHROPIC_API_KEY", "sk-ant-test")
    with fm.FakeModelServer(request.param) as server:
        yield server


@pytest.fixture
def openai_model():
    with fm.FakeModelServer("openai", context_chars=32_768 * 3) as server:
        yield server


def make(store, server, approval=(), tools=None, **settings):
    settings.setdefault("retry_backoff", 0.01)
    return LiteLLMAgent(
        store,
        Guardrails(approval),
        "session_main",
        tools=tools,
        settings=ModelSettings(server.model, server.url, **settings),
    )


async def run_turn(agent, text):
    return [e.to_dict() async for e in agent.process_message(text)]


# Slow only as its worker's first user of LiteLLM: making the agent imports it (seconds, once a process).
async def test_every_kind_of_turn_leaves_a_conversation_a_strict_server_accepts(provider, store, tmp_path):
    # Catches a malformed call, parallel calls, a cut reply, an error turn or a refusal leaving a
    # history that the provider refuses on the next request (and so every turn after it).
    for name in ("a", "b"):
        (tmp_path / name).mkdir()
        (tmp_path / name / f"{name}.txt").write_text(name)
    agent = make(store, provider, retries=0)
    provider.replies = [
        fm.tool_call("list_directory", '{"path": '),
        fm.tool_call("list_directory", "[1, 2]"),
        fm.text("I could not call it."),
    ]
    events = await run_turn(agent, "list it")
    # Ollama itself reads the model's calls: one it cannot read arrives as text.
    malformed = 0 if provider.flavour == "ollama" else 2
    assert [e["type"] for e in events if e["type"] == "tool_result"] == ["tool_result"] * malformed
    assert events[-1]["type"] == "done", events
    provider.replies = []
    # Two calls at once, each told apart.
    provider.replies = [
        fm.tool_call("list_directory", {"path": str(tmp_path / "a")}, index=None)
        + fm.tool_call("list_directory", {"path": str(tmp_path / "b")}, index=None),
        fm.text("Both listed."),
    ]
    events = await run_turn(agent, "list both")
    calls = [e for e in events if e["type"] == "tool_call"]
    assert [c["tool"] for c in calls] == ["list_directory"] * 2 and len({c["id"] for c in calls}) == 2
    assert [c["arguments"]["path"] for c in calls] == [str(tmp_path / "a"), str(tmp_path / "b")]
    results = [e["result"] for e in events if e["type"] == "tool_result"]
    assert "a.txt" in results[0] and "b.txt" in results[1]
    # A reply cut at the output limit is said to be cut, on the page and in the store.
    provider.replies = [fm.text("The first half of") + fm.finish("length")]
    events = await run_turn(agent, "write a lot")
    assert events[-2:] == [
        {"type": "notice", "kind": "cut", "message": "The answer was cut short: the model reached its output limit."},
        {"type": "done", "iterations": 1, "cut": True},
    ]
    # A turn that failed, then one after it.
    provider.replies = [fm.status(401, "bad key")]
    with pytest.raises(ModelError, match="refused the credentials"):
        await run_turn(agent, "hello?")
    await agent._closing
    provider.replies = [fm.text("Hello.")]
    assert (await run_turn(agent, "hello again"))[-1]["type"] == "done"
    assert provider.refusals == []
    rows = await store.get_messages(agent.conversation.conversation_id, limit=500)
    cut = [r for r in rows if r["role"] == "outcome" and r["meta"].get("cut")]
    assert len(cut) == 1 and any(r["role"] == "notice" for r in rows)
    # The latest request carried the whole story, answered call by call.
    sent = provider.sent()
    if provider.flavour == "anthropic":
        assert [m["role"] for m in sent] == ["user", "assistant"] * (len(sent) // 2) + ["user"]
    else:
        assert (
            sum(len(m.get("tool_calls") or []) for m in sent) == sum(m["role"] == "tool" for m in sent) == 2 + malformed
        )


async def test_an_interrupted_or_empty_answer_is_told_and_what_arrived_is_kept(provider, store):
    # Catches a dropped connection told as "is the server running?" (and its text lost), or an
    # empty answer ending as a silent done.
    agent = make(store, provider, retries=0)
    provider.replies = [fm.text("Half of ", "the answer") + fm.drop()]
    with pytest.raises(ModelError) as caught:
        await run_turn(agent, "tell me")
    assert str(caught.value).startswith(
        f"The answer from the model {provider.model} at {provider.url} was "
        "interrupted: the connection was lost part-way through"
    )
    await agent._closing
    rows = await store.get_messages(agent.conversation.conversation_id)
    assert [r["content"] for r in rows if r["role"] == "assistant"] == ["Half of the answer"]
    provider.replies = [fm.finish("stop")]
    with pytest.raises(ModelError, match="^The model returned an empty answer"):
        await run_turn(agent, "and?")
    await agent._closing
    provider.replies = [fm.text("Here.")]
    assert (await run_turn(agent, "again"))[-1]["type"] == "done"
    assert provider.refusals == []
    assert any("Half of the answer" in json.dumps(m) for m in provider.sent() if m["role"] == "assistant")


async def test_one_turn_whose_own_results_outgrow_the_window_is_cut_to_fit(openai_model, store, tmp_path):
    # Catches a turn sent far beyond the window (two 64 KiB reads against 32,768 tokens) and ended
    # with "start a new conversation", which cannot help.
    for name in ("one", "two"):
        (tmp_path / name).write_text((name + " ") * 16_000)
    openai_model.replies = [
        fm.tool_call("read_file", {"path": str(tmp_path / "one")}),
        fm.tool_call("read_file", {"path": str(tmp_path / "two")}),
        fm.text("Read both."),
    ]
    agent = make(store, openai_model)
    events = await run_turn(agent, "read both files")
    assert events[-1]["type"] == "done" and openai_model.refusals == []
    sent = openai_model.sent()
    tools = [m for m in sent if m["role"] == "tool"]
    assert len(tools) == 2 and "more characters of this result were left out" in tools[0]["content"]
    assert tools[0]["content"].startswith("one one") and sent[2]["tool_calls"][0]["function"]["name"] == "read_file"


async def test_a_window_smaller_than_believed_is_halved_once_and_older_turns_left_out(store, caplog):
    # Catches a server whose real window is smaller than --context-tokens failing every turn,
    # although the turn fits without the older ones.
    with fm.FakeModelServer("openai", context_chars=7_000) as model:
        agent = make(store, model, context_tokens=8_192)
        model.replies = [fm.text("Noted.")]
        await run_turn(agent, "remember this: " + "lorem ipsum " * 290)
        model.replies = [fm.text("It fits now.")]
        with caplog.at_level(logging.WARNING, "tavrin.agent"):
            events = await run_turn(agent, "and this: " + "dolor sit " * 340)
        assert events[-1]["type"] == "done"
        assert model.refusals == ["the request exceeds the available context size, try increasing it"]
        assert [m["role"] for m in model.sent()] == ["system", "user"]
        assert model.sent()[1]["content"].startswith("and this")
        assert "trying once more with a window of 4096 tokens, older turns left out" in caplog.text
        model.replies = [fm.text("Still.")]
        await run_turn(agent, "once more")
        assert len(model.refusals) == 1  # the smaller window stays


def screenshot_tool(png: str):
    async def shoot(arguments, context):
        return {"text": "Screenshot, 4x4 pixels.", "image_png_base64": png}

    return types.SimpleNamespace(
        NAME="take_screenshot",
        DESCRIPTION="the screen",
        SIDE_EFFECTS=False,
        PARAMETERS={"type": "object", "properties": {}},
        run=shoot,
    )


async def test_images_are_bounded_and_a_blind_model_is_not_offered_screenshots(monkeypatch, store, openai_model):
    # Catches every screenshot of a turn re-sent on every call, or a model without vision asked to
    # describe a screen it was never shown.
    from tavrin.core.png import encode_png
    from tavrin.core.tools import load_tools

    png = base64.b64encode(encode_png(4, 4, bytes(48))).decode()
    monkeypatch.setitem(sys.modules, "tavrin.core.tools.screen", types.SimpleNamespace(TOOLS=(screenshot_tool(png),)))
    tools = load_tools()
    seeing = make(store, openai_model, tools=tools, vision=True)
    openai_model.replies = [fm.tool_call("take_screenshot", {}) for _ in range(5)] + [fm.text("Seen.")]
    assert (await run_turn(seeing, "look five times"))[-1]["type"] == "done"
    parts = [p for m in openai_model.sent() if isinstance(m.get("content"), list) for p in m["content"]]
    assert sum(p["type"] == "image_url" for p in parts) == 3
    assert sum("An earlier image, left out" in p.get("text", "") for p in parts) == 2

    blind = make(store, openai_model, tools=tools, vision=False)
    openai_model.replies = [fm.tool_call("take_screenshot", {}), fm.text("I cannot see the screen.")]
    events = await run_turn(blind, "what is on my screen?")
    offered = [t["function"]["name"] for t in openai_model.requests[-1]["tools"]]
    assert "take_screenshot" not in offered and "read_file" in offered
    assert next(e for e in events if e["type"] == "tool_result")["error"] is True
    assert openai_model.refusals == []


async def test_retry_after_is_waited_for_and_too_long_a_wait_is_an_error(provider, store):
    # Catches a 429 asking for 10 s tried again at 1, 3 and 7 s, or a wait of minutes kept silent.
    waits: list[float] = []
    agent = make(store, provider, retries=3)
    real_pause = agent._pause

    async def pause(seconds):
        waits.append(seconds)
        await real_pause(0)

    agent._pause = pause
    provider.replies = [fm.status(429, "slow down", {"Retry-After": "7"}), fm.text("Fine.")]
    assert (await run_turn(agent, "hello"))[-1]["type"] == "done"
    assert waits == [7.0]
    provider.replies = [fm.status(429, "slow down", {"Retry-After": "120"})]
    with pytest.raises(
        ModelError,
        match=r"asks to wait 120 s before the next request \(429\); that is longer than "
        r"Tavrin waits \(60 s\)",
    ):
        await run_turn(agent, "hello")
    assert waits == [7.0]


async def test_a_stop_during_a_retry_wait_ends_the_turn_at_once(store):
    # Catches a stop (or the watchdog) left waiting out a server's Retry-After.
    with fm.FakeModelServer("openai") as model:
        agent = make(store, model)
        model.replies = [fm.status(429, "slow down", {"Retry-After": "50"})]
        turn = asyncio.create_task(run_turn(agent, "hello"))
        while not model.requests:
            await asyncio.sleep(0.01)
        agent.cancel()
        events = await asyncio.wait_for(turn, 30)
        assert events[-1]["type"] == "cancelled" and len(model.requests) == 1
