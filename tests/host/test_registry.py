"""The session registry: the main session, user and connector sessions, closing and conversations."""

import asyncio
import json
import sys
import types

import pytest

from fakes import until
from tavrin.core.session_registry import MAIN_SESSION_ID, SessionRegistry, get_registry, set_registry
from tavrin.gateway import server


@pytest.fixture
def registry(make_agent):
    return SessionRegistry(make_agent)


@pytest.fixture
def gateway_tasks(monkeypatch):
    """A stand-in gateway module holding the map of running chat tasks."""
    module = types.ModuleType("tavrin.gateway.ws")
    module._active_tasks = {}
    monkeypatch.setitem(sys.modules, "tavrin.gateway.ws", module)
    return module._active_tasks


async def test_main_session_exists_and_cannot_be_closed(registry):
    main = registry.get(MAIN_SESSION_ID)
    assert main is not None and main.agent and not main.is_connector
    assert isinstance(main.lock, asyncio.Lock)
    assert await registry.close_session(MAIN_SESSION_ID) is False
    assert registry.get(MAIN_SESSION_ID) is main
    assert registry.get(None) is None and registry.get(["x"]) is None


async def test_create_list_and_close(registry):
    await registry.start()
    tab = await registry.create_session(display_name="New Chat", icon="💬", is_connector=False)
    inbox = await registry.create_session(display_name="Inbox", icon="📨", is_connector=True)
    assert tab.session_id != inbox.session_id and inbox.is_connector
    assert tab.agent is not registry.get(MAIN_SESSION_ID).agent  # one agent per session
    listed = registry.list_sessions()
    json.dumps(listed)
    assert [s["session_id"] for s in listed] == [MAIN_SESSION_ID, tab.session_id, inbox.session_id]
    assert all(s["conversation_id"] for s in listed)
    assert listed[1] == tab.to_dict()

    assert await registry.close_session(tab.session_id) is True
    assert await registry.close_session(tab.session_id) is False
    assert registry.get(tab.session_id) is None
    assert [s["session_id"] for s in registry.list_sessions()] == [MAIN_SESSION_ID, inbox.session_id]


async def test_closing_stops_the_sessions_work(make_agent, gateway_tasks):
    registry = SessionRegistry(make_agent, chat_task=server.chat_task)  # as the server wires it
    session = await registry.create_session(display_name="Work", icon="🛠", is_connector=False)
    session.agent.step_delay = 5
    turn_events = []

    async def chat():
        async for event in session.agent.process_message("/slow"):
            turn_events.append(event.type)

    chat_task = asyncio.ensure_future(chat())
    gateway_tasks[session.session_id] = chat_task
    host_task = asyncio.ensure_future(asyncio.sleep(60))
    session.host_tasks.add(host_task)
    await until(lambda: session.agent.is_processing)

    assert await registry.close_session(session.session_id)
    await asyncio.gather(chat_task, host_task, return_exceptions=True)
    assert host_task.cancelled()
    assert not session.agent.is_processing
    assert "done" not in turn_events


async def test_closing_without_the_gateway_loaded(make_agent, monkeypatch):
    monkeypatch.setitem(sys.modules, "tavrin.gateway.ws", None)  # import fails
    registry = SessionRegistry(make_agent, chat_task=server.chat_task)
    session = await registry.create_session(display_name="x", icon="x")
    assert await registry.close_session(session.session_id) is True


async def test_new_conversation_and_resume_keep_the_session_in_step(registry, store):
    await registry.start()
    main = registry.get(MAIN_SESSION_ID)
    first = main.conversation_id
    async for _ in main.agent.process_message("keep this"):
        pass
    second = await registry.new_conversation_in_session(MAIN_SESSION_ID)
    assert second != first and main.conversation_id == second
    assert main.agent.conversation.conversation_id == second
    # The gateway resumes through the agent only; the session follows.
    await main.agent.conversation.resume_conversation(first)
    assert main.conversation_id == first
    # An unused conversation is not left behind when another one starts.
    third = await registry.new_conversation_in_session(MAIN_SESSION_ID)
    await registry.new_conversation_in_session(MAIN_SESSION_ID)
    assert await store.get_conversation(third) is None
    assert await store.get_conversation(first) is not None


def test_get_registry_works_before_the_server_wires_it():
    set_registry(None)
    try:
        registry = get_registry()
        assert registry is get_registry()
        assert registry.get(MAIN_SESSION_ID).agent
    finally:
        set_registry(None)


async def test_user_sessions_are_capped_and_connector_sessions_stay(registry, monkeypatch):
    from tavrin.core import session_registry

    monkeypatch.setattr(session_registry, "MAX_USER_SESSIONS", 2)
    inbox = await registry.create_session(display_name="Inbox", is_connector=True)
    tabs = [await registry.create_session() for _ in range(2)]
    with pytest.raises(session_registry.SessionLimitReached):
        await registry.create_session(display_name="one too many")
    assert len(registry.list_sessions()) == 4  # Main, the Inbox and two tabs: nothing half-made
    await registry.create_session(display_name="Mail", is_connector=True)  # the host's own are not capped

    assert await registry.close_session(inbox.session_id) is False
    assert registry.get(inbox.session_id) is inbox
    assert await registry.close_session(tabs[0].session_id) is True
    assert (await registry.create_session()).session_id not in {t.session_id for t in tabs}


X99 = "x" * 99
SCOTLAND = "🏴\U000e0067\U000e0062\U000e0073\U000e0063\U000e0074\U000e007f"


@pytest.mark.parametrize(
    "name, kept",
    [
        ("Lisbon trip", "Lisbon trip"),
        ("n" * 1_000_000, "n" * 100),
        (X99 + "e\u0301", X99),  # an accent stays with its letter
        (X99 + "👍🏽", X99),  # a skin tone with its emoji
        (X99[:-3] + "👨\u200d👩\u200d👧", X99[:-3]),  # a joined emoji stays whole
        (X99[:-2] + "🇵🇹🇧🇷", X99[:-2] + "🇵🇹"),  # flags are cut between pairs...
        (X99[:-1] + "🇵🇹🇧🇷", X99[:-1] + "🇵🇹"),  # ...never inside one
        (X99 + "\ud83d\ude00", X99),  # a surrogate pair kept as two characters
        ("a" + "\u0301" * 200, "a" + "\u0301" * 99),  # one endless cluster is cut inside it
    ],
    ids=["short", "a megabyte", "accent", "skin tone", "joined emoji", "flags", "flag", "surrogates", "one cluster"],
)
async def test_names_are_cut_at_creation_and_rename_without_splitting_a_character(registry, name, kept):
    """A name kept whole however long (the session list grows without bound), or a character split in two."""
    session = await registry.create_session(display_name=name)
    assert session.display_name == kept
    session.display_name = "Old"
    session.display_name = name  # how the gateway names a tab after its first message
    assert session.to_dict()["display_name"] == kept


@pytest.mark.parametrize(
    "icon, kept",
    [
        ("👩🏽\u200d❤️\u200d💋\u200d👨🏻", "👩🏽\u200d❤️\u200d💋\u200d👨🏻"),
        (SCOTLAND, SCOTLAND),
        ("🙂" * 100_000, "🙂" * 16),
    ],
    ids=["long emoji sequence", "subdivision flag", "a pile of emoji"],
)
async def test_icons_are_cut_short_but_keep_a_whole_emoji(registry, icon, kept):
    """An icon of any length in every session list, or a real emoji sequence cut into pieces."""
    assert (await registry.create_session(icon=icon)).icon == kept


# Catches: a rename, a switch of conversation or a close that never reaches the store; a connector
# of another run brought back; a session stuck on a conversation that no longer exists.
async def test_the_stored_sessions_follow_every_change(store, make_agent):
    first = SessionRegistry(make_agent, store=store)
    await first.start()
    kept = await first.create_session()
    kept.display_name = "Plan the garden"  # as the gateway names a tab after its first message
    switched = await first.create_session(icon="🧪")
    earlier = switched.conversation_id
    await store.add_message(earlier, "user", "keep this one")
    await switched.agent.conversation.start_conversation()  # a resume or a new one, from a window
    gone = await store.create_conversation(kept.session_id)
    await kept.agent.conversation.resume_conversation(gone)
    closed = await first.create_session()
    await first.close_session(closed.session_id)
    await store.save_session({**kept.to_dict(), "session_id": "connector_elsewhere", "is_connector": True})
    await first.close()
    await store.delete_conversation_if_empty(gone)

    second = SessionRegistry(make_agent, store=store)
    assert await second.restore() == 3
    await second.start()
    restored = {s.session_id: s for s in second}
    assert list(restored) == [MAIN_SESSION_ID, kept.session_id, switched.session_id]
    assert (restored[kept.session_id].display_name, restored[switched.session_id].icon) == ("Plan the garden", "🧪")
    assert restored[switched.session_id].conversation_id == switched.conversation_id != earlier
    assert restored[kept.session_id].conversation_id not in (None, gone)
