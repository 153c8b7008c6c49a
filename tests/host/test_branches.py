"""Branches of a conversation: a reply asked for again and a message edited start a sibling
branch; the store keeps every branch and reads the one on view everywhere (the agent's context,
pages, counts, exports, search); a file of the version before gets parents for its messages."""

from __future__ import annotations

import sqlite3

from tavrin.core import store as store_module
from tavrin.core.history import TurnLog
from tavrin.core.store import SCHEMA_VERSION, ConversationStore


async def exchange(store, conv, asked, answer):
    log = await TurnLog.begin(store, conv, "user", asked, None, "standard")
    await log.event({"type": "text", "content": answer})
    await log.end("done", "", iterations=1)


def said(rows):
    return [(m["role"], m["content"]) for m in rows if m["role"] in ("user", "assistant")]


async def found(store, word):
    page, _ = await store.conversations_page(word)
    return [c["id"] for c in page]


async def test_answers_again_and_edits_are_versions_and_every_reader_follows_the_one_on_view(store):
    """Catches a regenerated answer stored as a second copy of the question in the conversation,
    an edit that loses the branch it replaced, and a reader (the agent's context, a page of
    history, the count, an export, search) that mixes two branches."""
    conv = await store.create_conversation("session_main")
    await exchange(store, conv, "Name a fruit", "Apple")
    await exchange(store, conv, "Another", "Pear")
    first, second = [m["id"] for m in await store.get_messages(conv) if m["role"] == "user"]

    # Asked again: the last question's answer has a second version.
    assert await store.branch_from(conv, second)
    await exchange(store, conv, "Another", "Quince")
    rows = await store.get_messages(conv)
    assert said(rows) == [
        ("user", "Name a fruit"),
        ("assistant", "Apple"),
        ("user", "Another"),
        ("assistant", "Quince"),
    ]
    again = rows[-3]
    assert again["versions"] == [second, again["id"]] and again["edited"] is False
    assert "versions" not in rows[0]

    # The first message edited: a branch from the start, the two before it kept.
    assert await store.branch_from(conv, first)
    await exchange(store, conv, "Name a vegetable", "Leek")
    rows = await store.get_messages(conv)
    assert said(rows) == [("user", "Name a vegetable"), ("assistant", "Leek")]
    assert rows[0]["versions"][0] == first and rows[0]["edited"] is True
    assert await store.count_messages(conv) == 2
    assert said((await store.get_messages_page(conv))[0]) == said(rows)
    assert said((await store.export_conversation(conv))["messages"]) == said(rows)
    assert await found(store, "quince") == [] and await found(store, "leek") == [conv]

    # Back to the first version: its latest branch comes back whole, answered again and all.
    assert await store.show_version(conv, first)
    rows = await store.get_messages(conv)
    assert said(rows) == [
        ("user", "Name a fruit"),
        ("assistant", "Apple"),
        ("user", "Another"),
        ("assistant", "Quince"),
    ]
    assert await found(store, "quince") == [conv] and await found(store, "leek") == []
    assert await store.show_version(conv, second)
    assert said(await store.get_messages(conv))[-1] == ("assistant", "Pear")
    # What the next turn follows is the branch on view.
    await exchange(store, conv, "And a third?", "Plum")
    assert said(await store.get_messages(conv))[-3:] == [
        ("assistant", "Pear"),
        ("user", "And a third?"),
        ("assistant", "Plum"),
    ]
    # Nothing but a user message on view starts a branch; nothing of another conversation.
    other = await store.create_conversation("session_main")
    assistant = next(m["id"] for m in await store.get_messages(conv) if m["role"] == "assistant")
    assert not await store.branch_from(conv, assistant) and not await store.branch_from(other, first)
    assert not await store.show_version(other, first) and not await store.branch_from(conv, "1")


async def test_a_file_of_the_version_before_gets_its_parents_and_stays_searchable(tmp_path):
    """Catches an upgrade that leaves old messages without parents (the first branch would then
    start from nowhere) or drops them from search."""
    path = tmp_path / "conversations.sqlite3"
    db = sqlite3.connect(path)
    db.executescript(store_module._SCHEMA)
    for step in store_module._MIGRATIONS[:5]:
        db.executescript(step)
    db.execute("PRAGMA user_version = 5")
    db.execute(
        "INSERT INTO conversations (id, session_id, title, titled, created_at, updated_at)"
        " VALUES ('conv_old', 'session_main', 'Old', 1, 1, 1)"
    )
    for i, (role, text) in enumerate(
        [
            ("user", "Ask about herons"),
            ("assistant", "Herons wade"),
            ("outcome", ""),
            ("user", "More?"),
            ("assistant", "They fish"),
        ]
    ):
        db.execute(
            "INSERT INTO messages (conversation_id, role, content, created_at) VALUES ('conv_old', ?, ?, ?)",
            (role, text, i),
        )
    db.commit()
    db.close()
    store = ConversationStore(path)
    try:
        rows = await store.get_messages("conv_old")
        assert said(rows)[-1] == ("assistant", "They fish")
        with sqlite3.connect(path) as check:
            assert check.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION == 6
            parents = check.execute("SELECT id, parent_id FROM messages ORDER BY id").fetchall()
        assert parents == [(1, None), (2, 1), (3, 2), (4, 3), (5, 4)]
        assert await found(store, "herons") == ["conv_old"]
        assert await store.branch_from("conv_old", 4)
        await exchange(store, "conv_old", "More, please?", "They nest in trees")
        rows = await store.get_messages("conv_old")
        assert rows[-3]["versions"] == [4, rows[-3]["id"]] and rows[-3]["edited"] is True
        assert await found(store, "fish") == []
    finally:
        store.close()


def test_the_branch_route_refuses_what_it_cannot_do_and_tells_every_window(gateway, tmp_path):
    """Catches a branch made under a running turn (whose rows would land in both branches), a bad
    body taken as a message id, and windows left showing the branch that was replaced."""
    import asyncio

    from fastapi.testclient import TestClient

    from tavrin.config import load_config
    from tavrin.core.session_registry import get_registry
    from tavrin.gateway import server

    with TestClient(
        server.create_app(load_config(tmp_path / "data", port=8799)), base_url="http://127.0.0.1:8799"
    ) as client:
        store = server.get_state()["memory"]
        main = get_registry().get("session_main")
        conv = main.conversation_id
        client.portal.call(exchange, store, conv, "Hello", "Hi")
        asked = client.portal.call(store.get_messages, conv)[0]["id"]
        url = f"/api/conversations/{conv}/branch"
        for body in ({}, {"from": "1"}, {"from": True}, {"from": 1, "show": 1}, {"show": -3}, [1]):
            assert client.post(url, json=body).status_code == 400, body
        assert client.post(url, json={"from": asked + 1}).status_code == 404  # the reply, not a message
        assert client.post("/api/conversations/conv_nope/branch", json={"from": asked}).status_code == 404

        async def pending():
            return asyncio.get_running_loop().create_future()

        running = client.portal.call(pending)
        main.host_tasks.add(running)
        assert client.post(url, json={"from": asked}).status_code == 409
        main.host_tasks.discard(running)
        assert client.post(url, json={"from": asked}).json() == {"conversation_id": conv, "from": asked}
        assert {"type": "conversation_branched", "conversation_id": conv} in gateway.manager.events
        assert client.portal.call(store.get_messages, conv) == []
        assert client.post(url, json={"show": asked}).status_code == 200
        assert said(client.portal.call(store.get_messages, conv)) == [("user", "Hello"), ("assistant", "Hi")]
