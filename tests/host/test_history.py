"""What a turn leaves in the store: every shown event, approval decisions, the outcome, and the
upgrade of a data directory written before turns were recorded."""

import asyncio
import base64
import importlib.util
import io
import shutil
import sqlite3
from pathlib import Path

import pytest

from tavrin.core.computer_use_agent import DemoComputerUseAgent, render_desktop
from tavrin.core.history import MAX_THUMBNAIL_BASE64, TurnLog, _screenshot_meta
from tavrin.core.png import _decode_png, encode_png, fast_png, thumbnail_png
from tavrin.core.store import SCHEMA_VERSION, ConversationStore

# Written by the store as it was before turns were recorded (schema version 0).
OLD_STORE = Path(__file__).parent / "data" / "store-before-turns.sqlite3"


def roles(messages):
    return [m["role"] for m in messages]


async def test_an_older_data_directory_is_upgraded_and_keeps_its_history(tmp_path):
    path = tmp_path / "conversations.sqlite3"
    shutil.copy(OLD_STORE, path)
    store = ConversationStore(path)
    try:
        listed = await store.list_conversations("session_main")
        assert [(c["title"], c["message_count"]) for c in listed] == [("Book a table for two", 2)]
        conv = listed[0]["id"]
        old = await store.get_messages(conv)
        assert [(m["role"], m["content"]) for m in old] == [
            ("user", "Book a table for two"),
            ("assistant", "Which evening?"),
            ("system", "Task cancelled"),
        ]
        other = (await store.list_conversations("session_abc"))[0]["id"]
        assert (await store.get_messages(other))[0]["meta"] == {"attachments": [{"name": "a.png"}]}
        assert await store.interrupt_open_turns() == 0
    finally:
        store.close()
    with sqlite3.connect(path) as db:
        assert db.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION
    again = ConversationStore(path)  # opened again: nothing to upgrade; the conversation goes on
    try:
        log = await TurnLog.begin(again, conv, "user", "Friday, please", None, "standard")
        await log.event({"type": "text", "content": "Booked for Friday."})
        await log.end("done", "", iterations=0)
        assert roles(await again.get_messages(conv)) == ["user", "assistant", "system", "user", "assistant", "outcome"]
    finally:
        again.close()


async def test_a_turn_left_open_is_interrupted_at_the_next_start(tmp_path):
    path = tmp_path / "conversations.sqlite3"
    first = ConversationStore(path)
    conv = await first.create_conversation("session_main")
    log = await TurnLog.begin(first, conv, "user", "/slow", None, "standard")
    await log.event({"type": "tool_call", "id": "c1", "tool": "scan_folder", "arguments": {"folder": "~"}})
    first.close()  # the process ends mid-turn

    second = ConversationStore(path)
    try:
        assert await second.interrupt_open_turns() == 1
        assert await second.interrupt_open_turns() == 0
        stored = await second.get_messages(conv)
        assert roles(stored) == ["user", "tool_call", "outcome"]
        assert stored[-1]["meta"] == {"outcome": "interrupted"}
        # The first outcome stands: a late write from the old turn changes nothing.
        assert not await second.end_turn(log.turn_id, "done")
    finally:
        second.close()


async def test_stopped_failed_and_approved_turns_are_stored_as_shown(make_agent, store, guardrails, monkeypatch):
    agent = make_agent()
    # A slow disk under the stopped turn: its writes are still on their way when the next turn starts.
    add_message = store.add_message

    async def slow_add_message(conv_id, role, *args, **kwargs):
        if role in ("tool_call", "tool_result"):
            await asyncio.sleep(0.05)
        return await add_message(conv_id, role, *args, **kwargs)

    monkeypatch.setattr(store, "add_message", slow_add_message)

    # A stop: the session's task is cancelled after the agent was asked to stop.
    async def consume():
        async for event in agent.process_message("/slow"):
            if event.type == "tool_result":
                agent.cancel()
                task.cancel()

    task = asyncio.ensure_future(consume())
    await asyncio.gather(task, return_exceptions=True)

    stream = agent.process_message("/fail")
    try:
        async for _ in stream:
            pass
    except RuntimeError:
        pass

    stream = agent.process_message("please delete old-report.pdf")
    async for event in stream:
        if event.type == "tool_approval_needed":
            guardrails.resolve_approval(event.data["approval_id"], True)

    stored = await store.get_messages(agent.conversation.conversation_id)
    outcomes = [(m["meta"]["outcome"], m["content"]) for m in stored if m["role"] == "outcome"]
    assert outcomes == [
        ("stopped", "Stopped"),
        ("error", "Agent error: the demo tool failed on purpose (/fail)"),
        ("done", ""),
    ]
    slow = stored[: roles(stored).index("outcome")]
    assert roles(slow)[:3] == ["user", "thinking", "tool_call"] and slow[0]["meta"] == {"mode": "standard"}
    approval = next(m for m in stored if m["role"] == "approval")
    assert approval["meta"]["tool"] == "delete_file" and approval["meta"]["decision"] == "approved"


async def test_a_watchdog_stop_is_stored_in_the_words_shown_live(make_agent, store):
    """Catches a watchdog stop that reads only "Stopped" once the page is reloaded, and a user's
    stop after it that inherits the watchdog's words."""
    agent = make_agent()

    async def watch(session_id):  # the gateway's watchdog, by the name its task has
        while agent.seconds_since_activity < 0.05:
            await asyncio.sleep(0.01)
        agent.cancel()

    for who in ("watchdog-session_main", "user"):
        turn = asyncio.ensure_future(drain(agent.process_message("/stall")))
        while not agent.is_processing:
            await asyncio.sleep(0.01)
        if who == "user":
            agent.cancel()
        else:
            await asyncio.create_task(watch("session_main"), name=who)
        await turn

    stored = await store.get_messages(agent.conversation.conversation_id)
    notes = [m["content"] for m in stored if m["role"] == "outcome"]
    assert len(notes) == 2 and notes[1] == "Stopped"
    assert notes[0].startswith("Stopped: no progress for ") and notes[0].endswith(" s")


async def drain(stream):
    async for _ in stream:
        pass


async def recorded_computer_use(store):
    """A conversation and the demo Computer Use agent whose tasks are recorded in it."""
    conv = await store.create_conversation("session_main")

    async def journal(text):
        return await TurnLog.begin(store, conv, "user", text, None, "computer_use")

    return conv, DemoComputerUseAgent(step_delay=0.001, journal=journal)


async def test_a_computer_use_turn_is_stored_with_small_screenshots(store):
    conv, agent = await recorded_computer_use(store)
    first = agent.run_task("click the button")
    await anext(first)
    # A second task while the first runs is refused with an end of turn, and stored as such.
    refused = [e async for e in agent.run_task("and this too")]
    assert [e.type for e in refused] == ["error", "cancelled"]
    async for _ in first:
        pass
    stored = await store.get_messages(conv)
    turns = {}
    for m in stored:
        turns.setdefault(m["turn_id"], []).append(m)
    refused_turn = next(t for t in turns.values() if t[0]["content"] == "and this too")
    assert [m["role"] for m in refused_turn] == ["user", "error", "outcome"]
    assert refused_turn[-1]["meta"]["outcome"] == "cancelled"
    stored = next(t for t in turns.values() if t[0]["content"] == "click the button")
    assert roles(stored)[0] == "user" and stored[0]["meta"] == {"mode": "computer_use"}
    assert roles(stored)[-2:] == ["assistant", "outcome"] and stored[-1]["meta"]["outcome"] == "done"
    shots = [m["meta"] for m in stored if m["role"] == "tool_result" and m["meta"].get("screenshot")]
    assert len(shots) == 2
    for shot in shots:
        assert "image_base64" not in shot and len(shot["thumbnail_base64"]) <= MAX_THUMBNAIL_BASE64
        width, height, _, _ = _decode_png(base64.b64decode(shot["thumbnail_base64"]))
        assert (width, height) == (160, 100)
    click = next(m for m in stored if m["role"] == "tool_call" and m["meta"]["tool"] == "computer.left_click")
    assert click["meta"]["arguments"] == {"action": "left_click", "coordinate": [228, 138]}


async def test_a_computer_use_event_taken_as_the_task_is_stopped_is_stored(store):
    """The gateway took the event, then a stop closed the task before it resumed."""
    conv, agent = await recorded_computer_use(store)
    task = agent.run_task("click the button")
    taken = [await anext(task), await anext(task)]
    await task.aclose()
    stored = await store.get_messages(conv)
    assert [e.type for e in taken] == ["thinking", "tool_call"]
    assert roles(stored) == ["user", "thinking", "tool_call", "outcome"]


def test_thumbnails_keep_the_picture_and_refuse_what_they_cannot_read():
    png = render_desktop(click=(228, 138))
    _, _, _, full = _decode_png(png)
    _, _, _, small = _decode_png(thumbnail_png(png, 160, 100))
    # Half size: each thumbnail pixel is the full image's pixel at twice its coordinates.
    assert small[69][3 * 114 : 3 * 115] == full[138][3 * 228 : 3 * 229]
    assert thumbnail_png(b"not a png") is None
    assert thumbnail_png(png[:60]) is None
    # What cannot be made small here is stored as a placeholder, never at full size.
    assert _screenshot_meta("%%%") == {"thumbnail_omitted": True}


BOMB = """
import resource, struct, sys, zlib
from tavrin.core import png as p

def chunk(tag, data):
    return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))

# 1x1 pixel, and image data that inflates to 256 MB.
z = zlib.compressobj(9)
data = b"".join(z.compress(bytes(1 << 20)) for _ in range(256)) + z.flush()
header = chunk(b"IHDR", struct.pack(">IIBBBBB", int(sys.argv[2]), int(sys.argv[3]), 8, 2, 0, 0, 0))
bomb = b"\\x89PNG\\r\\n\\x1a\\n" + header + chunk(b"IDAT", data) + chunk(b"IEND", b"")
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
thumb = p._thumbnail_by_hand(bomb, 160, 120) if sys.argv[1] == "by-hand" else p.thumbnail_png(bomb)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before, thumb is not None)
"""


@pytest.mark.parametrize("decoder", ["pillow", "by-hand"])
@pytest.mark.parametrize("width, height, made", [(1, 1, True), (100_000, 100_000, False)], ids=["tiny", "huge"])
def test_a_decompression_bomb_is_never_inflated_whole(decoder, width, height, made):
    # Catches a picture whose data inflates to hundreds of megabytes being inflated whole.
    import subprocess
    import sys

    if decoder == "pillow":
        pytest.importorskip("PIL")
    out = subprocess.run(
        [sys.executable, "-c", BOMB, decoder, str(width), str(height)], capture_output=True, text=True, check=True
    ).stdout.split()
    grown_kib, thumbnail = int(out[0]), out[1] == "True"
    assert grown_kib < 64 * 1024 and thumbnail == (made and width * height <= 1280 * 1024)


def test_a_full_screen_gets_a_thumbnail_with_pillow():
    # Catches real screenshots stored without a thumbnail once Pillow decodes them.
    pytest.importorskip("PIL")
    full_screen = base64.b64encode(encode_png(1920, 1080, bytes(1920 * 1080 * 3))).decode()
    shot = _screenshot_meta(full_screen)
    assert _decode_png(base64.b64decode(shot["thumbnail_base64"]))[:2] == (160, 90)


def test_the_fast_png_is_lossless_for_every_kind_of_band():
    """Catches: a band boundary that corrupts the stream (flat, text-like and noise bands mixed,
    a last band cut short), pixels changed on the way, and a picture of noise that grows instead
    of being stored."""
    import random

    rng = random.Random(3)
    width = 97
    rows = []
    for y in range(53):
        if y < 20:
            rows.append(bytes((200, 200, 190)) * width)  # a flat window
        elif y < 35:
            rows.append(bytes(((x * 7 + y) % 256 if x % 5 else 0) for x in range(width * 3)))  # text-like
        else:
            rows.append(rng.randbytes(width * 3))  # noise
    rgb = b"".join(rows)
    png = fast_png(width, 53, rgb)
    w, h, channels, decoded = _decode_png(png)
    assert (w, h, channels, b"".join(decoded)) == (width, 53, 3, rgb)
    if importlib.util.find_spec("PIL") is not None:
        from PIL import Image

        img = Image.open(io.BytesIO(png))
        assert (img.mode, img.size, img.tobytes()) == ("RGB", (width, 53), rgb)
    noise = rng.randbytes(64 * 64 * 3)
    assert len(fast_png(64, 64, noise)) < len(noise) + 1024
    flat = bytes(1280 * 720 * 3)
    assert len(fast_png(1280, 720, flat)) < len(flat) // 100
    assert _decode_png(fast_png(1, 1, b"abc")) == (1, 1, 3, [b"abc"])


async def test_a_streamed_reply_is_written_in_few_writes_and_searchable_once_complete(store, monkeypatch):
    # Catches one write (and one re-index) per streamed piece, a reply found by search while it is
    # still growing, or pieces lost between the last write and the end of the turn.
    conv = await store.create_conversation("session_main")
    log = await TurnLog.begin(store, conv, "user", "count", None, "standard")
    writes = []
    append = store.append_to_message

    async def counted(message_id, text):
        writes.append(text)
        await append(message_id, text)

    monkeypatch.setattr(store, "append_to_message", counted)
    pieces = [f"tick{i} " for i in range(1000)]
    for piece in pieces:
        await log.event({"type": "text", "content": piece})
    await log.event({"type": "thinking", "message": "now the rest"})
    page, _ = await store.conversations_page("tick999")
    assert [c["id"] for c in page] == [conv]
    rows = await store.get_messages(conv)
    assert [r["content"] for r in rows if r["role"] == "assistant"] == ["".join(pieces)]
    # Written every 250 ms at most: a loaded machine makes a few writes of this, never one a piece.
    assert len(writes) < 100

    await log.event({"type": "text", "content": "still "})
    await log.event({"type": "text", "content": "growing"})
    while not any(r["content"].startswith("still") for r in await store.get_messages(conv)):
        await asyncio.sleep(0.01)  # its row is made in the background
    assert (await store.conversations_page("still"))[0] == []
    await log.end("done")
    assert [c["id"] for c in (await store.conversations_page("growing"))[0]] == [conv]
    reply = [r for r in await store.get_messages(conv) if r["role"] == "assistant"][-1]
    assert reply["content"] == "still growing" and "meta" not in reply

    # A reply that ends within its first interval is written once, at its end, complete.
    log = await TurnLog.begin(store, conv, "user", "again", None, "standard")
    writes.clear()
    await log.event({"type": "text", "content": "brief "})
    await log.event({"type": "text", "content": "answer"})
    await log.end("done")
    reply = [r for r in await store.get_messages(conv) if r["role"] == "assistant"][-1]
    assert (reply["content"], "meta" in reply, writes) == ("brief answer", False, [])
    assert [c["id"] for c in (await store.conversations_page("brief"))[0]] == [conv]
