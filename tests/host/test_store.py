"""The SQLite conversation store."""

from tavrin.core.store import UNTITLED, ConversationStore


async def test_conversations_and_messages_survive_reopening(tmp_path):
    path = tmp_path / "db" / "conversations.sqlite3"
    first = ConversationStore(path)
    conv = await first.create_conversation("session_main")
    await first.add_message(conv, "user", "Book a table for two")
    await first.add_message(conv, "assistant", "Which evening?", {"note": "asked back"})
    await first.rename_conversation(conv, "Dinner plans")
    first.close()

    again = ConversationStore(path)
    try:
        messages = await again.get_messages(conv)
        assert [(m["role"], m["content"]) for m in messages] == [
            ("user", "Book a table for two"), ("assistant", "Which evening?")]
        assert messages[1]["meta"] == {"note": "asked back"}
        listed = await again.list_conversations("session_main")
        assert [(c["id"], c["title"], c["message_count"]) for c in listed] == [(conv, "Dinner plans", 2)]
    finally:
        again.close()


async def test_get_messages_returns_the_latest_in_order(store):
    conv = await store.create_conversation()
    for i in range(7):
        await store.add_message(conv, "user", f"m{i}")
    assert [m["content"] for m in await store.get_messages(conv, limit=3)] == ["m4", "m5", "m6"]
    assert await store.get_messages(conv, limit=0) == []
    assert await store.get_messages("conv_missing") == []
    assert await store.get_messages(["not", "an", "id"]) == []


async def test_first_user_message_titles_the_conversation_once(store):
    conv = await store.create_conversation()
    await store.add_message(conv, "assistant", "Hello!")
    assert (await store.get_conversation(conv))["title"] == UNTITLED
    await store.add_message(conv, "user", "  Plan   the trip\nto Lisbon " + "x" * 100)
    title = (await store.get_conversation(conv))["title"]
    assert title.startswith("Plan the trip to Lisbon") and len(title) == 60
    await store.add_message(conv, "user", "Something else")
    assert (await store.get_conversation(conv))["title"] == title
    # An explicit rename is never overwritten by a later message.
    await store.rename_conversation(conv, "Lisbon")
    await store.add_message(conv, "user", "More")
    assert (await store.get_conversation(conv))["title"] == "Lisbon"


async def test_clear_deletes_only_that_conversations_messages(store):
    a, b = await store.create_conversation("s"), await store.create_conversation("s")
    await store.add_message(a, "user", "one")
    await store.add_message(a, "assistant", "two")
    await store.add_message(b, "user", "keep me")
    assert await store.clear_conversation_messages(a) == 2
    assert await store.get_messages(a) == []
    assert [m["content"] for m in await store.get_messages(b)] == ["keep me"]
    assert await store.get_conversation(a) is not None


async def test_listing_hides_empty_conversations_and_filters_by_session(store):
    empty = await store.create_conversation("s1")
    used = await store.create_conversation("s1")
    other = await store.create_conversation("s2")
    await store.add_message(used, "user", "hi")
    await store.add_message(other, "user", "hey")
    assert [c["id"] for c in await store.list_conversations("s1")] == [used]
    assert {c["id"] for c in await store.list_conversations("s1", include_empty=True)} == {empty, used}
    assert {c["id"] for c in await store.list_conversations()} == {used, other}
    assert await store.delete_conversation_if_empty(empty) is True
    assert await store.delete_conversation_if_empty(used) is False


async def test_rename_and_add_to_unknown_conversation(store):
    assert await store.rename_conversation("conv_nope", "x") is False
    try:
        await store.add_message("conv_nope", "user", "lost")
    except LookupError:
        pass
    else:
        raise AssertionError("a message for an unknown conversation must not be stored silently")


async def test_every_stored_title_is_bounded_and_keeps_whole_characters(store):
    """A title stored as long as the client made it, or cut through an accent, on any path in."""
    given = await store.create_conversation("s", title="  " + "t" * 1_000_000)
    assert (await store.get_conversation(given))["title"] == "t" * 100
    assert await store.rename_conversation(given, "r" * 99 + "e\u0301")
    assert (await store.get_conversation(given))["title"] == "r" * 99
    from_message = await store.create_conversation("s")
    await store.add_message(from_message, "user", "m" * 59 + "🇵🇹" + "m" * 1_000_000)
    assert (await store.get_conversation(from_message))["title"] == "m" * 59
