"""Titles the model writes for a new conversation, through the real LiteLLM and a scripted
OpenAI-compatible server: after the first answer only, never over the user's own names."""

from __future__ import annotations

import asyncio
import importlib.util
import types

import pytest

import fake_model as fm

if importlib.util.find_spec("litellm") is None:
    pytest.skip("LiteLLM is not installed", allow_module_level=True)
pytestmark = pytest.mark.timeout(600)

from tavrin.core.guardrails import Guardrails  # noqa: E402
from tavrin.core.llm_agent import LiteLLMAgent, ModelSettings, import_litellm  # noqa: E402
from tavrin.core.titles import Titler, clean_title  # noqa: E402


class Tab(types.SimpleNamespace):
    pass


@pytest.fixture
def titled(store):
    """(agent, titler, told, tab, tasks) against a fresh fake model."""
    with fm.FakeModelServer() as model:
        settings = ModelSettings("openai/fake", model.url, retry_backoff=0.01, retries=0)
        agent = LiteLLMAgent(store, Guardrails(), "session_x", settings=settings)
        told: list[dict] = []
        tasks: list[asyncio.Task] = []
        tab = Tab(session_id="session_x", is_connector=False, display_name="New Chat", conversation_id=None)

        async def announce(event):
            told.append(event)

        def spawn(coro, name):
            tasks.append(asyncio.ensure_future(coro))
            return tasks[-1]

        titler = Titler(
            import_litellm(), settings, store, announce, lambda sid: tab if sid == "session_x" else None, spawn
        )
        titler.watch(agent)
        yield types.SimpleNamespace(agent=agent, model=model, told=told, tab=tab, tasks=tasks, store=store)


async def turn(t, text):
    events = [e.to_dict() async for e in t.agent.process_message(text)]
    t.tab.conversation_id = t.agent.conversation.conversation_id
    return events


async def settled(t):
    results = await asyncio.gather(*t.tasks)
    t.tasks.clear()
    return results


async def test_the_first_answer_is_followed_by_a_title_the_tab_and_every_window_get(titled):
    # Catches a title asked for at every turn, one that waits the reply, and a tab left on the first words.
    t = titled
    text = "   could you please look at why my laptop fan keeps spinning all night long even when idle"
    t.model.replies = [fm.text("It is the indexer.")]
    t.model.titles = [fm.text('Title: "Laptop fan spinning at night".')]
    events = await turn(t, text)
    assert events[-1]["type"] == "done"
    conv = t.tab.conversation_id
    t.tab.display_name = text[:60].strip()  # as the gateway names a new tab
    assert await settled(t) == ["Laptop fan spinning at night"]
    assert (await t.store.get_conversation(conv))["title"] == "Laptop fan spinning at night"
    assert t.told == [
        {
            "type": "conversation_renamed",
            "conversation_id": conv,
            "title": "Laptop fan spinning at night",
            "session_id": "session_x",
        },
        {"type": "session_renamed", "session_id": "session_x", "display_name": "Laptop fan spinning at night"},
    ]
    asked = t.model.title_requests[-1]["messages"]
    assert asked[0]["role"] == "system" and "Assistant: It is the indexer." in asked[1]["content"]

    t.model.replies = [fm.text("Still the indexer.")]
    await turn(t, "and now?")
    assert await settled(t) == [None] and len(t.model.title_requests) == 1  # no title asked again


async def test_the_users_names_win_and_a_failed_title_leaves_the_first_words(titled):
    # Catches a written title over the user's rename (of the conversation or of the tab), and a
    # model error that blanks the title.
    t = titled
    t.model.replies = [fm.text("Sure.")]
    t.model.titles = [fm.status(500, "down")]
    await turn(t, "first question")
    conv = t.tab.conversation_id
    assert await settled(t) == [None]
    assert (await t.store.get_conversation(conv))["title"] == "first question" and t.told == []

    await t.agent.conversation.start_conversation()
    t.model.replies, t.model.titles = [fm.text("Yes.")], [fm.text("Model's title")]
    await turn(t, "second question")
    conv = t.tab.conversation_id
    await t.store.rename_conversation(conv, "Mine", by_user=True)
    assert await settled(t) == [None]
    assert (await t.store.get_conversation(conv))["title"] == "Mine"

    await t.agent.conversation.start_conversation()
    t.model.replies, t.model.titles = [fm.text("Yes.")], [fm.text("Model's title")]
    await turn(t, "third question")
    t.tab.display_name = "My tab"
    assert await settled(t) == ["Model's title"]
    assert t.tab.display_name == "My tab" and [e["type"] for e in t.told] == ["conversation_renamed"]

    await t.agent.conversation.start_conversation()
    t.tab.is_connector = True  # a connector's conversation is never renamed for it
    await turn(t, "from the phone")
    assert await settled(t) == [None] and len(t.model.title_requests) == 3  # (not asked)


def test_a_title_is_one_short_line_without_decoration():
    assert clean_title('\n\n**Title:** "Fixing the build".\nmore') == "Fixing the build"
    assert clean_title("# Reise nach Köln") == "Reise nach Köln"
    assert len(clean_title("word " * 40)) <= 60 and clean_title("  \n ") == ""


def test_the_fake_model_knows_a_title_request_when_it_sees_one():
    from tavrin.core.titles import PROMPT

    assert PROMPT.startswith(fm.TITLE_PROMPT)
