"""Conversation search over a large store, and what it costs the turns that write meanwhile.

    python bench/search.py [--conversations 10000] [--messages 10] [--rounds 15]

Builds (once, kept in build/bench-search/) a store of N conversations of M messages each, words
drawn from a fixed vocabulary, then measures, interleaved round by round:

- a search for "a" (every conversation matches: the worst case for a prefix) and for a rare word,
  50 and 500 rows, through ``ConversationStore.conversations_page``, against the same query run
  the way it ran before: on the connection the turns write through, under its lock, with the
  snippets taken from every matching row (``old_page`` below);
- the latency of a turn's write (``add_message``) alone, and while four searches run back to
  back beside it, for both ways of searching.

Prints medians and ratios side by side; nothing here asserts a time.
"""

from __future__ import annotations

import argparse
import asyncio
import random
import shutil
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "src"))

from tavrin.core import store as store_module  # noqa: E402
from tavrin.core.store import ConversationStore, match_expression  # noqa: E402

WORDS = (
    "apple banana cherry delta echo foxtrot garden harbor island jacket kettle lemon meadow "
    "nectar orange pepper quartz river saddle timber umbrella velvet walnut yellow zephyr "
    "about above across after again against almost along already also always among another"
).split()


def build(path: Path, conversations: int, messages: int) -> None:
    import sqlite3

    rng = random.Random(7)
    db = sqlite3.connect(path)
    db.close()
    store = ConversationStore(path)
    db = store._db
    now = time.time() - conversations
    with store._lock:
        for c in range(conversations):
            conv_id = f"conv_{c:08d}"
            db.execute(
                "INSERT INTO conversations (id, session_id, title, titled, created_at, updated_at)"
                " VALUES (?, 'session_main', ?, 1, ?, ?)",
                (conv_id, " ".join(rng.choices(WORDS, k=4)), now + c, now + c),
            )
            for m in range(messages):
                db.execute(
                    "INSERT INTO messages (conversation_id, role, content, created_at) VALUES (?, ?, ?, ?)",
                    (conv_id, "user" if m % 2 == 0 else "assistant", " ".join(rng.choices(WORDS, k=30)), now + c),
                )
        db.commit()
    store.close()


def old_page(db, query: str, limit: int):
    """The search as it was: one statement over every match, counts for every matching
    conversation, snippets looked for among all matching rows."""
    match = match_expression(query)
    sql = (
        store_module._WITH_COUNT
        + " WHERE "
        + store_module._LISTED
        + " AND c.id IN (SELECT conversation_id FROM title_search WHERE title_search MATCH ?"
        " UNION SELECT m.conversation_id FROM message_search s JOIN messages m ON m.id = s.rowid"
        " WHERE message_search MATCH ?) ORDER BY c.updated_at DESC, c.id DESC LIMIT ?"
    )
    rows = db.execute(sql, [match, match, limit + 1]).fetchall()
    page = [store_module._conversation_dict(r) for r in rows[:limit]]
    ids = [c["id"] for c in page]
    marks = ",".join("?" * len(ids))
    latest = [
        r[0]
        for r in db.execute(
            "SELECT MAX(m.id) FROM message_search s JOIN messages m ON m.id = s.rowid"
            f" WHERE message_search MATCH ? AND m.conversation_id IN ({marks}) GROUP BY m.conversation_id",
            (match, *ids),
        )
    ]
    if latest:
        db.execute(
            "SELECT m.conversation_id, snippet(message_search, 0, '[', ']', '…', 16) FROM message_search s"
            f" JOIN messages m ON m.id = s.rowid WHERE message_search MATCH ? AND s.rowid IN"
            f" ({','.join('?' * len(latest))})",
            (match, *latest),
        ).fetchall()
    return page, len(rows) > limit


async def timed(fn) -> float:
    start = time.perf_counter()
    await fn()
    return time.perf_counter() - start


async def write_latencies(store: ConversationStore, conv_id: str, n: int) -> list[float]:
    out = []
    for i in range(n):
        out.append(await timed(lambda i=i: store.add_message(conv_id, "assistant", f"a reply piece {i}")))
        await asyncio.sleep(0.005)
    return out


async def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--conversations", type=int, default=10_000)
    parser.add_argument("--messages", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()

    folder = ROOT / "build" / "bench-search"
    source = folder / f"source-{args.conversations}x{args.messages}.sqlite3"  # upgraded in each copy
    if not source.exists():
        folder.mkdir(parents=True, exist_ok=True)
        print(f"building {source.name} …", flush=True)
        build(source, args.conversations, args.messages)
    work = folder / "work.sqlite3"
    for suffix in ("", "-wal", "-shm"):
        Path(str(work) + suffix).unlink(missing_ok=True)
    shutil.copy(source, work)
    started = time.perf_counter()
    store = ConversationStore(work)
    print(f"opened (upgraded) in {time.perf_counter() - started:.1f} s", flush=True)
    conv_id = await store.create_conversation("session_main")

    def ours(q, limit):
        return lambda: store.conversations_page(q, None, limit)

    def old(q, limit):
        return lambda: asyncio.to_thread(store._run, old_page, q, limit)

    cases = [("a", 50), ("a", 500), ("quartz ri", 50), ("zephyr", 500)]
    times: dict[tuple, list[float]] = {}
    for _ in range(2):  # warm the caches
        for q, limit in cases:
            await ours(q, limit)()
            await old(q, limit)()
    for r in range(args.rounds):
        print(f"round {r + 1} of {args.rounds}", flush=True)
        for q, limit in cases:
            for name, make in (("ours", ours), ("before", old)):
                times.setdefault((q, limit, name), []).append(await timed(make(q, limit)))

    print(
        f"\nsearch over {args.conversations:,} conversations ({args.messages} messages each), "
        f"median of {args.rounds} (ms)"
    )
    print(f"{'query':>12} {'rows':>5} {'ours':>9} {'before':>9} {'before/ours':>12}")
    for q, limit in cases:
        a = statistics.median(times[(q, limit, "ours")]) * 1000
        b = statistics.median(times[(q, limit, "before")]) * 1000
        print(f"{q!r:>12} {limit:>5} {a:9.1f} {b:9.1f} {b / a:12.1f}")

    async def writes_beside(search) -> list[float]:
        stop = asyncio.Event()

        async def searching():
            while not stop.is_set():
                await search()

        searchers = [asyncio.ensure_future(searching()) for _ in range(2)]
        await asyncio.sleep(0.05)
        try:
            return await write_latencies(store, conv_id, 20)
        finally:
            stop.set()
            await asyncio.gather(*searchers)

    alone = await write_latencies(store, conv_id, 20)
    beside_ours = await writes_beside(ours("a", 50))
    beside_old = await writes_beside(old("a", 50))
    print('\na turn\'s write (add_message), median / max (ms), while two searches for "a" (50 rows) run back to back')
    for name, values in (("alone", alone), ("beside ours", beside_ours), ("beside before", beside_old)):
        med, top = statistics.median(values) * 1000, max(values) * 1000
        print(
            f"{name:>14} {med:8.2f} / {top:8.2f}   ×{statistics.median(values) / statistics.median(alone):.1f} of alone"
        )
    store.close()


if __name__ == "__main__":
    asyncio.run(main())
