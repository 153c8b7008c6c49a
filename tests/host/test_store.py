"""The SQLite conversation store."""

import asyncio

import tavrin.core.store as store_module
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
            ("user", "Book a table for two"),
            ("assistant", "Which evening?"),
        ]
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


async def test_a_history_read_on_the_loop_gives_way_to_a_thread_when_it_runs_long(store, monkeypatch):
    # Catches a read cut short on the loop that returns part of the history, or a long
    # conversation read on the loop again and again, holding up every client each time.
    small, large = await store.create_conversation(), await store.create_conversation()
    for i in range(200):
        await store.add_message(large, "user", f"m{i}")
    await store.add_message(small, "user", "hello")
    threads = []
    to_thread = asyncio.to_thread

    async def counted(fn, *args):
        threads.append(fn)
        return await to_thread(fn, *args)

    monkeypatch.setattr(asyncio, "to_thread", counted)
    monkeypatch.setattr(store_module, "QUICK_READ_SECONDS", 1.0)  # time enough on any machine
    assert [m["content"] for m in await store.get_messages(small)] == ["hello"]
    assert threads == []
    monkeypatch.setattr(store_module, "QUICK_READ_SECONDS", 0.0)
    assert [m["content"] for m in await store.get_messages(large)] == [f"m{i}" for i in range(200)]
    assert len(threads) == 1
    monkeypatch.setattr(store_module, "QUICK_READ_SECONDS", 1.0)
    assert len(await store.get_messages(large)) == 200
    assert len(threads) == 2


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


# -- the sidebar's side of the store: pages, search, rename, delete with undo, export -------------

import shutil  # noqa: E402
import sqlite3  # noqa: E402
from pathlib import Path  # noqa: E402

import pytest  # noqa: E402

from tavrin.core.store import match_expression  # noqa: E402


async def found(store, query):
    return [c["title"] for c in (await store.conversations_page(query, limit=500))[0]]


async def test_search_follows_every_write_of_titles_and_words(store):
    """Catches an index that misses a reply grown in pieces, keeps an old title, indexes a turn's
    steps as words, or still finds a deleted conversation."""
    trip = await store.create_conversation("s1")
    await store.add_message(trip, "user", "Book a café near the river")
    reply = await store.add_message(trip, "assistant", "I found ")
    await store.append_to_message(reply, "three pelican-friendly terraces")
    await store.add_message(trip, "tool_call", "read_screen", {"tool": "read_screen", "arguments": {}})
    other = await store.create_conversation("s2", title="Quarterly numbers")
    await store.add_message(other, "user", "Sum the invoices")

    assert await found(store, "pelican terraces") == ["Book a café near the river"]
    assert await found(store, "cafe") == ["Book a café near the river"]  # accents aside
    assert await found(store, "invo") == ["Quarterly numbers"]  # the last word as a prefix
    assert await found(store, "read_screen") == []  # a tool's name is a step, not the conversation's words
    page, _ = await store.conversations_page("terraces")
    assert ["terraces", True] in page[0]["snippet"] and "".join(t for t, _ in page[0]["snippet"]).endswith("terraces")

    assert await store.rename_conversation(other, "Tax return")
    assert await found(store, "quarterly") == [] and await found(store, "tax") == ["Tax return"]
    assert (await store.conversations_page("tax"))[0][0]["snippet"] is None  # only the title matched

    await store.delete_conversation(trip)
    assert await found(store, "pelican") == []
    await store.restore_conversation(trip)
    assert await found(store, "pelican") == ["Book a café near the river"]
    await store.delete_conversation(trip)
    assert await store.purge_deleted(older_than=0) == 1
    assert store._db.execute("SELECT COUNT(*) FROM message_search").fetchone()[0] == 1  # only "Sum the invoices"


@pytest.mark.parametrize(
    "query",
    [
        '"',
        '""',
        "'",
        "AND",
        "OR NOT",
        "NEAR(a b)",
        "title:x",
        "^start",
        "a*b*",
        "*",
        "-minus",
        "(((",
        ")",
        "{a b}",
        "a + b",
        "\x00",
        "\u202e",
        "🇵🇹",
        "e\u0301",
        "x" * 5000,
        " ".join(["w"] * 300),
        "\ue000hit\ue001",
    ],
)
async def test_hostile_query_text_is_searched_for_literally(store, query):
    """Catches query text that reaches FTS5 as syntax: an exception, or a match found by an operator."""
    conv = await store.create_conversation("s1", title='NEAR the AND gate "quoted" title:x')
    await store.add_message(conv, "user", "plain words only")
    page, more = await store.conversations_page(query)
    assert more is False
    assert all(c["id"] == conv for c in page)


@pytest.mark.parametrize(
    "query, expected",
    [
        ("AND", ['"AND"*']),
        ("near( a", ['"near("', '"a"*']),
        ('say "hi"', ['"say"', '"""hi"""*']),
        ("*** --", None),
        ("", None),
        (None, None),
    ],
)
def test_query_words_are_quoted_and_the_last_is_a_prefix(query, expected):
    """Catches an unquoted word (FTS5 syntax) or a query of punctuation sent to the index."""
    assert match_expression(query) == (" ".join(expected) if expected else None)


async def test_pages_cover_every_conversation_once_latest_first(store):
    """Catches a cap on the list, a page boundary that repeats or skips conversations with equal
    times, and a rename that moves a conversation to the top."""
    ids = []
    for i in range(120):
        conv = await store.create_conversation("s1")
        await store.add_message(conv, "user", f"message {i}")
        ids.append(conv)
    store._db.execute("UPDATE conversations SET updated_at = 1000.0 WHERE id IN (?, ?, ?)", tuple(ids[40:43]))
    store._db.commit()
    await store.rename_conversation(ids[0], "renamed, still last")
    seen, after, pages = [], None, 0
    while True:
        page, more = await store.conversations_page(after=after, limit=50)
        seen += page
        pages += 1
        if not more:
            break
        after = (page[-1]["updated_at"], page[-1]["id"])
    assert pages == 3 and len(seen) == 120 and len({c["id"] for c in seen}) == 120
    assert seen == sorted(seen, key=lambda c: (c["updated_at"], c["id"]), reverse=True)
    assert seen[-4]["id"] == ids[0]  # after the three set to the oldest time


async def test_delete_waits_for_undo_and_is_final_after(tmp_path):
    """Catches a delete that loses rows before its undo ran out, a restore that loses any, and a
    deletion that outlives its time when no server ran to purge it."""
    path = tmp_path / "conversations.sqlite3"
    store = ConversationStore(path)
    conv = await store.create_conversation("s1")
    for text in ("one", "two", "three"):
        await store.add_message(conv, "user", text)
    before = await store.export_conversation(conv)
    assert await store.delete_conversation(conv) is True
    assert await store.delete_conversation(conv) is False
    assert await store.get_conversation(conv) is None and await store.export_conversation(conv) is None
    assert await store.rename_conversation(conv, "while deleted") is False
    assert await store.list_conversations() == [] and (await store.conversations_page())[0] == []
    assert await store.purge_deleted() == 0  # still within its time to undo
    assert await store.restore_conversation(conv) is True
    assert await store.export_conversation(conv) == before

    await store.delete_conversation(conv)
    store.close()
    with sqlite3.connect(path) as db:  # its time ran out while the server was stopped
        db.execute("UPDATE conversations SET deleted_at = deleted_at - 3600")
    again = ConversationStore(path)
    try:
        assert await again.restore_conversation(conv) is False
        assert again._db.execute("SELECT COUNT(*) FROM messages").fetchone()[0] == 0
    finally:
        again.close()


async def test_export_holds_every_message_with_its_data_and_time(store):
    """Catches an export cut to the latest rows, or one that drops a step's arguments or result."""
    conv = await store.create_conversation("s1")
    for i in range(250):
        await store.add_message(conv, "user", f"m{i}")
    await store.add_message(conv, "tool_result", "read_file", {"id": "t1", "tool": "read_file", "result": "body"})
    data = await store.export_conversation(conv)
    assert len(data["messages"]) == 251 and data["messages"][0]["content"] == "m0"
    assert data["messages"][-1]["meta"]["result"] == "body"
    assert all(isinstance(m["created_at"], float) for m in data["messages"])
    assert data["conversation"]["message_count"] == 250


async def test_an_older_file_gets_its_words_indexed(tmp_path):
    """Catches an upgrade that builds the index empty: an old conversation found by no word."""
    path = tmp_path / "conversations.sqlite3"
    shutil.copy(Path(__file__).parent / "data" / "store-before-turns.sqlite3", path)
    store = ConversationStore(path)
    try:
        assert await found(store, "evening") == ["Book a table for two"]
        assert await found(store, "book table") == ["Book a table for two"]
    finally:
        store.close()


async def test_purged_words_are_gone_from_every_file_of_the_store(tmp_path):
    # Catches a purged conversation's words left in the WAL, the search indexes or free pages.
    store = ConversationStore(tmp_path / "conversations.sqlite3")
    try:
        kept = await store.create_conversation("session_main")
        await store.add_message(kept, "user", "ordinary words stay")
        doomed = await store.create_conversation("session_main")
        for i in range(50):  # enough rows to span pages and index segments
            await store.add_message(doomed, "user", f"the quetzalcoatl{i} plan {'filler ' * 40}")
            await store.add_message(doomed, "assistant", f"Noted, zebracorn{i}.")
        await store.rename_conversation(doomed, "Operation Marmalade")
        inbox = await store.create_conversation("connector_inbox")
        await store.add_message(inbox, "user", "a whisperkale from the phone")
        assert [c["id"] for c in (await store.conversations_page("quetzalcoatl7"))[0]] == [doomed]
        await store.delete_conversation(doomed)
        assert await store.purge_deleted(older_than=0) == 1
        assert await store.clear_conversation_messages(inbox) == 1
        files = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
        assert {"conversations.sqlite3", "conversations.sqlite3-wal"} <= set(files)
        for word in (b"quetzalcoatl", b"zebracorn", b"Marmalade", b"whisperkale"):
            assert [name for name, data in files.items() if word in data] == [], word
        assert (await store.conversations_page("ordinary"))[0][0]["id"] == kept
    finally:
        store.close()


async def test_search_pages_agree_whichever_way_matches_are_found(tmp_path, monkeypatch):
    # Catches the walk for common words and the collection for rare ones disagreeing on a page,
    # its order, its snippets or where the next one starts, and a search waiting for the writers' lock.
    import random

    from tavrin.core import store as store_module

    words = "pelican pelagic harbor heron apple amber river ridge".split()
    rng = random.Random(3)
    store = ConversationStore(tmp_path / "conversations.sqlite3")
    try:
        for _ in range(70):
            conv = await store.create_conversation("session_main", " ".join(rng.sample(words, 2)))
            for _ in range(rng.randrange(0, 4)):
                await store.add_message(conv, rng.choice(["user", "assistant"]), " ".join(rng.sample(words, 3)))

        async def every_page(query, limit):
            pages, after = [], None
            while True:
                page, more = await store.conversations_page(query, after, limit)
                pages.append(page)
                if not more:
                    return pages
                after = (page[-1]["updated_at"], page[-1]["id"])

        for query, limit in [("pel", 7), ("a", 5), ("harbor river", 50), ("zzz", 3)]:
            monkeypatch.setattr(store_module, "RARE_MATCHES", 10_000)
            rare = await every_page(query, limit)
            monkeypatch.setattr(store_module, "RARE_MATCHES", 0)
            monkeypatch.setattr(store_module, "SEARCH_BATCH", 3)
            walked = await every_page(query, limit)
            assert walked == rare, query
            found = [c for page in rare for c in page]
            assert len({c["id"] for c in found}) == len(found)
            assert all(c["snippet"] is None or any(hit for _, hit in c["snippet"]) for c in found)
        with store._lock:  # a turn holding the writers' lock does not hold up a search
            page, _ = await asyncio.wait_for(store.conversations_page("pel"), 60)
        assert page
    finally:
        store.close()
