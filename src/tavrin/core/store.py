"""The conversation store: conversations and their messages in one SQLite file.

A conversation keeps what the user saw, in order: the user's messages and the agent's
replies, and for each turn its thinking, tool calls and results, approval prompts with the
decision, and the turn's outcome (done, stopped, cancelled, error, or interrupted by a
restart). Each turn is a row in ``turns``; the rows of ``messages`` that belong to it carry
its id, and the outcome is written as the turn's last message.

The file's schema version is kept in ``PRAGMA user_version``; opening an older file
upgrades it in place (see ``_MIGRATIONS``). The store also keeps the sessions (the user's
tabs) with the conversation each is on, so that they come back after a restart.

Conversations are found by their words: two FTS5 indexes, one over titles and one over the text
of the user's messages and the agent's replies, kept in step by triggers whatever writes the rows.
A deleted conversation is only marked so at first (hidden everywhere, restorable); it and its rows
go for good once it has stayed deleted for ``UNDO_SECONDS`` (``purge_deleted``).

Every public operation is a coroutine. The SQLite calls themselves are synchronous and
short; they run in a worker thread (``asyncio.to_thread``) so that a slow disk never
stalls the event loop, and a thread lock serialises them on the single connection. The one
exception is a turn's history when it is small (``get_messages``): see ``QUICK_READ_SECONDS``.
"""

from __future__ import annotations

import asyncio
import enum
import json
import sqlite3
import threading
import time
import uuid
from pathlib import Path
from typing import Any

from tavrin.core.names import NAME_LIMIT, cut

# A turn reads its conversation's history just before it asks its model. Handing that read to a
# worker thread and back costs about 0.2 ms on an idle loop and up to a millisecond on a busy one,
# more than the read of a short conversation itself takes. So it is first tried on the loop, on a
# connection of its own that never waits for a busy file, and abandoned once it has run this long
# (then made in a thread, as is every later read of that conversation).
QUICK_READ_SECONDS = 0.0005


class Later(enum.Enum):
    """What a read that cannot be made at once gives instead of its result."""

    LATER = "later"


LATER = Later.LATER

# Title given to a conversation until its first user message (or the gateway) names it.
UNTITLED = "New conversation"
# Length of a title taken from a message; a title given as such may be as long as a tab's name.
TITLE_CHARS = 60
# Who named a conversation (its ``titled``): nobody yet (0), its first message or the gateway (1),
# the model after the first answer (2), the user (3). A title replaces only a lesser one.
TITLED, TITLED_BY_MODEL, TITLED_BY_USER = 1, 2, 3

_SCHEMA = """
CREATE TABLE IF NOT EXISTS conversations (
    id          TEXT PRIMARY KEY,
    session_id  TEXT,
    title       TEXT NOT NULL,
    titled      INTEGER NOT NULL DEFAULT 0,
    created_at  REAL NOT NULL,
    updated_at  REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS messages (
    id               INTEGER PRIMARY KEY AUTOINCREMENT,
    conversation_id  TEXT NOT NULL REFERENCES conversations(id) ON DELETE CASCADE,
    role             TEXT NOT NULL,
    content          TEXT NOT NULL,
    meta             TEXT,
    created_at       REAL NOT NULL
);
CREATE INDEX IF NOT EXISTS messages_by_conversation ON messages(conversation_id, id);
CREATE INDEX IF NOT EXISTS conversations_by_session ON conversations(session_id, updated_at);
"""

# Which rows the message index holds: the words of the conversation, once a reply is complete.
_INDEXED_NEW = (
    "new.role IN ('user', 'assistant') AND (new.meta IS NULL OR json_extract(new.meta, '$.streaming') IS NULL)"
)
_INDEXED_OLD = _INDEXED_NEW.replace("new.", "old.")
# The same, for the branch on view only (from version 6).
_ON_VIEW_NEW = f"new.hidden = 0 AND {_INDEXED_NEW}"
_ON_VIEW_OLD = _ON_VIEW_NEW.replace("new.", "old.")
# The row a new message follows: the latest on view in its conversation.
_PARENT = "(SELECT MAX(id) FROM messages WHERE conversation_id = ? AND hidden = 0)"
_ROW = "id, role, content, meta, created_at, turn_id, parent_id"

# Each step upgrades a file from version i to i + 1 (``_MIGRATIONS[i]``). A new file gets the
# base schema above and then every step, so it ends up exactly like an upgraded one.
_MIGRATIONS = [
    # 1: turns and their outcome; the messages that belong to a turn.
    """
    CREATE TABLE turns (
        id               TEXT PRIMARY KEY,
        conversation_id  TEXT NOT NULL REFERENCES conversations(id) ON DELETE CASCADE,
        mode             TEXT NOT NULL,
        started_at       REAL NOT NULL,
        ended_at         REAL,
        outcome          TEXT
    );
    CREATE INDEX turns_open ON turns(outcome) WHERE outcome IS NULL;
    ALTER TABLE messages ADD COLUMN turn_id TEXT;
    """,
    # 2: the sessions (tabs) and the conversation each one is on, so they survive a restart. The
    # conversation is no foreign key: an empty one is tidied away, and the session then starts anew.
    """
    CREATE TABLE sessions (
        id               TEXT PRIMARY KEY,
        display_name     TEXT NOT NULL,
        icon             TEXT NOT NULL,
        is_connector     INTEGER NOT NULL DEFAULT 0,
        created_at       REAL NOT NULL,
        conversation_id  TEXT
    );
    CREATE INDEX messages_by_turn ON messages(turn_id, id);
    """,
    # 3: deletion with a way back, pages of conversations by (updated_at, id), and full-text search
    # over titles and the words of the conversation (user messages and replies; the steps of a turn
    # are not its words). The message index holds no copy of the text: it reads it from messages.
    """
    ALTER TABLE conversations ADD COLUMN deleted_at REAL;
    CREATE INDEX conversations_by_time ON conversations(updated_at, id);
    CREATE VIRTUAL TABLE message_search USING fts5(
        content, content='messages', content_rowid='id', tokenize='unicode61 remove_diacritics 2');
    CREATE VIRTUAL TABLE title_search USING fts5(
        conversation_id UNINDEXED, title, tokenize='unicode61 remove_diacritics 2');
    CREATE TRIGGER message_search_insert AFTER INSERT ON messages
        WHEN new.role IN ('user', 'assistant') BEGIN
        INSERT INTO message_search(rowid, content) VALUES (new.id, new.content);
    END;
    CREATE TRIGGER message_search_delete AFTER DELETE ON messages
        WHEN old.role IN ('user', 'assistant') BEGIN
        INSERT INTO message_search(message_search, rowid, content) VALUES ('delete', old.id, old.content);
    END;
    CREATE TRIGGER message_search_update AFTER UPDATE OF content ON messages
        WHEN old.role IN ('user', 'assistant') BEGIN
        INSERT INTO message_search(message_search, rowid, content) VALUES ('delete', old.id, old.content);
        INSERT INTO message_search(rowid, content) VALUES (new.id, new.content);
    END;
    CREATE TRIGGER title_search_insert AFTER INSERT ON conversations BEGIN
        INSERT INTO title_search(conversation_id, title) VALUES (new.id, new.title);
    END;
    CREATE TRIGGER title_search_update AFTER UPDATE OF title ON conversations
        WHEN old.title IS NOT new.title BEGIN
        DELETE FROM title_search WHERE conversation_id = old.id;
        INSERT INTO title_search(conversation_id, title) VALUES (new.id, new.title);
    END;
    CREATE TRIGGER title_search_delete AFTER DELETE ON conversations BEGIN
        DELETE FROM title_search WHERE conversation_id = old.id;
    END;
    INSERT INTO message_search(rowid, content) SELECT id, content FROM messages WHERE role IN ('user', 'assistant');
    INSERT INTO title_search(conversation_id, title) SELECT id, title FROM conversations;
    """,
    # 4: prefix indexes, so that the word being typed ("a", "pel") is one lookup rather than a merge of
    # every word it begins. The triggers of version 3 keep writing to the tables of the same names.
    """
    DROP TABLE message_search;
    CREATE VIRTUAL TABLE message_search USING fts5(
        content, content='messages', content_rowid='id', tokenize='unicode61 remove_diacritics 2',
        prefix='1 2 3');
    INSERT INTO message_search(rowid, content) SELECT id, content FROM messages WHERE role IN ('user', 'assistant');
    DROP TABLE title_search;
    CREATE VIRTUAL TABLE title_search USING fts5(
        conversation_id UNINDEXED, title, tokenize='unicode61 remove_diacritics 2', prefix='1 2 3');
    INSERT INTO title_search(conversation_id, title) SELECT id, title FROM conversations;
    """,
    # 5: a reply is indexed once, when it is complete: while it streams its row is marked
    # ``{"streaming": true}`` in its meta and stays out of the index, however often it grows.
    f"""
    DROP TRIGGER message_search_insert;
    DROP TRIGGER message_search_delete;
    DROP TRIGGER message_search_update;
    CREATE TRIGGER message_search_insert AFTER INSERT ON messages
        WHEN {_INDEXED_NEW} BEGIN
        INSERT INTO message_search(rowid, content) VALUES (new.id, new.content);
    END;
    CREATE TRIGGER message_search_delete AFTER DELETE ON messages
        WHEN {_INDEXED_OLD} BEGIN
        INSERT INTO message_search(message_search, rowid, content) VALUES ('delete', old.id, old.content);
    END;
    CREATE TRIGGER message_search_update AFTER UPDATE OF content, meta ON messages
        WHEN ({_INDEXED_OLD}) OR ({_INDEXED_NEW}) BEGIN
        INSERT INTO message_search(message_search, rowid, content) SELECT 'delete', old.id, old.content WHERE {_INDEXED_OLD};
        INSERT INTO message_search(rowid, content) SELECT new.id, new.content WHERE {_INDEXED_NEW};
    END;
    """,
    # 6: branches. Each message has the one before it on its branch (``parent_id``); a message
    # edited, or a reply asked for again, starts a sibling branch from the same parent. The branch
    # on view is the conversation's rows with ``hidden = 0`` (one path from the first message to
    # the latest, in id order); the others are kept hidden. Everything that reads a conversation
    # (the agent's context, the page, the counts, exports, search) reads the rows on view, so
    # the index holds only those.
    f"""
    ALTER TABLE messages ADD COLUMN parent_id INTEGER;
    ALTER TABLE messages ADD COLUMN hidden INTEGER NOT NULL DEFAULT 0;
    UPDATE messages SET parent_id = (SELECT MAX(p.id) FROM messages p
        WHERE p.conversation_id = messages.conversation_id AND p.id < messages.id);
    CREATE INDEX messages_by_parent ON messages(parent_id);
    CREATE INDEX messages_on_view ON messages(conversation_id, id) WHERE hidden = 0;
    DROP TRIGGER message_search_insert;
    DROP TRIGGER message_search_delete;
    DROP TRIGGER message_search_update;
    CREATE TRIGGER message_search_insert AFTER INSERT ON messages
        WHEN {_ON_VIEW_NEW} BEGIN
        INSERT INTO message_search(rowid, content) VALUES (new.id, new.content);
    END;
    CREATE TRIGGER message_search_delete AFTER DELETE ON messages
        WHEN {_ON_VIEW_OLD} BEGIN
        INSERT INTO message_search(message_search, rowid, content) VALUES ('delete', old.id, old.content);
    END;
    CREATE TRIGGER message_search_update AFTER UPDATE OF content, meta, hidden ON messages
        WHEN ({_ON_VIEW_OLD}) OR ({_ON_VIEW_NEW}) BEGIN
        INSERT INTO message_search(message_search, rowid, content) SELECT 'delete', old.id, old.content WHERE {_ON_VIEW_OLD};
        INSERT INTO message_search(rowid, content) SELECT new.id, new.content WHERE {_ON_VIEW_NEW};
    END;
    """,
]
SCHEMA_VERSION = len(_MIGRATIONS)

# How a turn can end.
OUTCOMES = ("done", "stopped", "cancelled", "error", "interrupted")
# The notes of a turn that did not finish, worded as the page words them: cut short by the
# server's end, stopped (by the user or the stall watchdog), or cancelled without a stop (a newer
# message replaced it, or no window was left watching it).
INTERRUPTED_NOTE = "Interrupted by a restart of the server"
STOPPED_NOTE = "Stopped"
CANCELLED_NOTE = "Cancelled"
# Roles that count as messages of the conversation (the rest records how a turn went).
CONVERSATION_ROLES = ("user", "assistant", "heartbeat")
_COUNTED = "role IN ('user', 'assistant', 'heartbeat')"
# Most rows one page of history holds: a page reaches back to the start of its oldest turn, but a
# turn longer than this is cut (the rest comes with the next page).
MAX_PAGE = 2000
# How long a deleted conversation can still be restored; after that ``purge_deleted`` drops it.
UNDO_SECONDS = 30.0
# A search reads at most this many words of the query, each at most this long.
MAX_SEARCH_TERMS = 16
MAX_TERM_CHARS = 64
# A search whose words occur in at most this many messages collects its conversations from them;
# a more common one walks the conversations in the page's order instead, a batch at a time.
RARE_MATCHES = 2000
SEARCH_BATCH = 100
# Where a snippet's matching words begin and end, before it is cut into segments.
_HIT_START, _HIT_END = "\ue000", "\ue001"
# A listed conversation: visible, and with at least one row.
_LISTED = "c.deleted_at IS NULL AND EXISTS (SELECT 1 FROM messages m WHERE m.conversation_id = c.id AND m.hidden = 0)"
_WITH_COUNT = (
    "SELECT c.*, (SELECT COUNT(*) FROM messages m WHERE m.conversation_id = c.id AND m.hidden = 0 AND m."
    + _COUNTED
    + ")"
    " AS message_count FROM conversations c"
)


def _title_from(text: str, limit: int = TITLE_CHARS) -> str:
    return cut(" ".join(text.split()), limit).strip()


def match_expression(text: Any) -> str | None:
    """The FTS5 query for what the user typed: every word must occur (as a word, accents aside),
    the last one as a prefix, so that results come while a word is being typed. Each word is
    quoted, so nothing in the text is read as FTS5 syntax (AND, NEAR, column filters, ``*``,
    brackets, stray quotes). None when the text holds no word to look for."""
    if not isinstance(text, str):
        return None
    words = []
    for raw in text.split():
        word = "".join(ch for ch in raw if ch.isprintable())[:MAX_TERM_CHARS]
        if any(ch.isalnum() for ch in word):
            words.append('"' + word.replace('"', '""') + '"')
        if len(words) == MAX_SEARCH_TERMS:
            break
    if not words:
        return None
    words[-1] += "*"
    return " ".join(words)


def _segments(snippet: str) -> list[list]:
    """A snippet as [text, is_match] pieces, for the page to draw as text."""
    pieces, hit, text = [], False, ""
    for ch in snippet:
        if ch in (_HIT_START, _HIT_END):
            if text:
                pieces.append([text, hit])
            text, hit = "", ch == _HIT_START
        else:
            text += ch
    if text:
        pieces.append([text, hit])
    return pieces


class ConversationStore:
    """Conversations (id, owning session, title) and their ordered messages.

    ``path`` is a file path, or ":memory:" for a store that lives as long as the object.
    """

    def __init__(self, path: str | Path):
        self.path = str(path)
        if self.path != ":memory:":
            Path(self.path).parent.mkdir(parents=True, exist_ok=True)
        self._lock = threading.Lock()
        self._db: sqlite3.Connection | None = sqlite3.connect(self.path, check_same_thread=False)
        self._db.row_factory = sqlite3.Row
        with self._lock:
            self._db.execute("PRAGMA foreign_keys = ON")
            # What is deleted is overwritten, not left in free pages for anyone who reads the file.
            self._db.execute("PRAGMA secure_delete = ON")
            if self.path != ":memory:":
                self._db.execute("PRAGMA journal_mode = WAL")
            self._db.executescript(_SCHEMA)
            self._db.commit()
            self._migrate(self._db)
            # A deletion whose time to undo ran out while no server ran is final now.
            gone = self._db.execute(
                "DELETE FROM conversations WHERE deleted_at IS NOT NULL AND deleted_at <= ?",
                (time.time() - UNDO_SECONDS,),
            ).rowcount
            self._db.commit()
            if gone:
                self._scrub(self._db)
        # Pages and searches read through a connection of their own (the log lets readers and the
        # writer go on together), so a long search never holds up a turn's writes.
        self._read_lock = threading.Lock()
        self._reader: sqlite3.Connection | None = self._db
        if self.path != ":memory:":
            self._reader = sqlite3.connect(self.path, check_same_thread=False)
            self._reader.row_factory = sqlite3.Row
            self._reader.execute("PRAGMA query_only = ON")
        else:
            self._read_lock = self._lock
        self._quick_lock = threading.Lock()
        self._quick: sqlite3.Connection | None = None
        self._slow_reads: set[str] = set()  # conversations too long to read on the loop
        if self.path != ":memory:":
            self._quick = sqlite3.connect(self.path, timeout=0, check_same_thread=False)
            self._quick.row_factory = sqlite3.Row
            self._quick.execute("PRAGMA query_only = ON")

    def _migrate(self, db: sqlite3.Connection) -> None:
        version = db.execute("PRAGMA user_version").fetchone()[0]
        if version > SCHEMA_VERSION:
            raise RuntimeError(
                f"{self.path} was written by a newer version (schema {version}, this one knows {SCHEMA_VERSION})"
            )
        for step in range(version, SCHEMA_VERSION):
            # executescript commits first, so each step is wrapped in its own transaction.
            db.executescript(f"BEGIN; {_MIGRATIONS[step]}; PRAGMA user_version = {step + 1}; COMMIT;")

    # -- plumbing ---------------------------------------------------------------

    def _run(self, fn, *args):
        with self._lock:
            if self._db is None:
                raise RuntimeError("conversation store is closed")
            try:
                result = fn(self._db, *args)
                self._db.commit()
                return result
            except BaseException:
                self._db.rollback()
                raise

    async def _call(self, fn, *args):
        return await asyncio.to_thread(self._run, fn, *args)

    def _read(self, fn, *args):
        with self._read_lock:
            if self._reader is None:
                raise RuntimeError("conversation store is closed")
            try:
                return fn(self._reader, *args)
            finally:
                if self._reader.in_transaction:
                    self._reader.rollback()

    async def _call_read(self, fn, *args):
        """``fn(connection, *args)`` on the read connection, never under the writers' lock."""
        return await asyncio.to_thread(self._read, fn, *args)

    def _read_now(self, key: str, fn, *args):
        """``fn(connection, *args)`` made on the calling thread if it takes less than
        ``QUICK_READ_SECONDS``, else ``LATER`` (``fn`` must only read: an abandoned try is made
        again in a thread). ``key`` names what is read; once a read of it has run too long, it is
        not tried here again."""
        if key in self._slow_reads or not self._quick_lock.acquire(blocking=False):
            return LATER
        try:
            db = self._quick
            if db is None:
                return LATER
            deadline = time.perf_counter() + QUICK_READ_SECONDS
            db.set_progress_handler(lambda: time.perf_counter() > deadline, 200)
            try:
                result = fn(db, *args)
            except sqlite3.OperationalError:
                self._slow_reads.add(key)  # interrupted, or the file is busy
                return LATER
            finally:
                db.set_progress_handler(None, 0)
                if db.in_transaction:
                    db.rollback()
            if time.perf_counter() > deadline:
                self._slow_reads.add(key)
            return result
        finally:
            self._quick_lock.release()

    def close(self) -> None:
        with self._quick_lock:
            if self._quick is not None:
                self._quick.close()
                self._quick = None
        with self._read_lock:
            if self._reader is not None and self._reader is not self._db:
                self._reader.close()
            self._reader = None
        with self._lock:
            if self._db is not None:
                self._db.close()
                self._db = None

    # -- conversations ------------------------------------------------------------

    async def create_conversation(self, session_id: str | None = None, title: str | None = None) -> str:
        conv_id = "conv_" + uuid.uuid4().hex[:16]
        now = time.time()
        title = _title_from(str(title), NAME_LIMIT) if title else ""

        def op(db):
            db.execute(
                "INSERT INTO conversations (id, session_id, title, titled, created_at, updated_at)"
                " VALUES (?, ?, ?, ?, ?, ?)",
                (conv_id, session_id, title or UNTITLED, 1 if title else 0, now, now),
            )

        await self._call(op)
        return conv_id

    async def get_conversation(self, conv_id: Any) -> dict | None:
        if not isinstance(conv_id, str):
            return None

        def op(db):
            row = db.execute(_WITH_COUNT + " WHERE c.id = ? AND c.deleted_at IS NULL", (conv_id,)).fetchone()
            return _conversation_dict(row) if row else None

        return await self._call(op)

    async def rename_conversation(self, conv_id: Any, title: Any, by_user: bool = False) -> bool:
        """Store a new title (``by_user``: the user's own, which nothing written for them replaces).
        Returns whether the conversation exists (and is not deleted). A new title is no activity:
        the conversation keeps its place in the list."""
        if not isinstance(conv_id, str):
            return False
        title = _title_from(str(title), NAME_LIMIT) or UNTITLED

        def op(db):
            cur = db.execute(
                "UPDATE conversations SET title = ?, titled = ? WHERE id = ? AND deleted_at IS NULL",
                (title, TITLED_BY_USER if by_user else TITLED, conv_id),
            )
            return cur.rowcount > 0

        return await self._call(op)

    async def title_for_user(self, conv_id: str, title: str) -> bool:
        """A title written for the user (by the model), stored unless the user named the
        conversation themselves. Returns whether it was stored."""
        title = _title_from(str(title), TITLE_CHARS)
        if not title:
            return False

        def op(db):
            cur = db.execute(
                "UPDATE conversations SET title = ?, titled = ? WHERE id = ? AND deleted_at IS NULL AND titled < ?",
                (title, TITLED_BY_MODEL, conv_id, TITLED_BY_USER),
            )
            return cur.rowcount > 0

        return await self._call(op)

    async def assign_conversation(self, conv_id: str, session_id: str) -> None:
        """Record that ``session_id`` now carries the conversation (it was resumed there)."""

        def op(db):
            db.execute("UPDATE conversations SET session_id = ? WHERE id = ?", (session_id, conv_id))

        await self._call(op)

    async def list_conversations(
        self, session_id: str | None = None, limit: int = 50, include_empty: bool = False
    ) -> list[dict]:
        """Conversations, most recently active first; empty ones only on request."""
        limit = max(0, int(limit))

        def op(db):
            sql = _WITH_COUNT
            where: list[str] = ["c.deleted_at IS NULL"]
            args: list[Any] = []
            if session_id is not None:
                where.append("c.session_id = ?")
                args.append(session_id)
            if not include_empty:
                where.append("EXISTS (SELECT 1 FROM messages m WHERE m.conversation_id = c.id AND m.hidden = 0)")
            sql += " WHERE " + " AND ".join(where)
            sql += " ORDER BY c.updated_at DESC, c.created_at DESC LIMIT ?"
            args.append(limit)
            return [_conversation_dict(r) for r in db.execute(sql, args).fetchall()]

        return await self._call(op)

    async def conversations_page(
        self, query: Any = None, after: tuple[float, str] | None = None, limit: int = 50
    ) -> tuple[list[dict], bool]:
        """A page of the conversations of every session that have rows, most recently active first
        (by ``updated_at``, then id), after the conversation ``after`` = (updated_at, id) of the
        previous page's last one. With ``query``, only those whose title or words match it (see
        ``match_expression``), each with ``snippet``: the latest matching message's words around
        the match as [text, is_match] pieces, or None when only the title matched. A query with
        no word in it matches nothing. Returns the page and whether more follow."""
        limit = max(1, int(limit))
        match = match_expression(query) if query is not None else None
        if query is not None and match is None:
            return [], False

        def op(db):
            if match is not None:
                return _search_page(db, match, after, limit)
            sql, args = _WITH_COUNT + " WHERE " + _LISTED, []
            if after is not None:
                sql += " AND (c.updated_at < ? OR (c.updated_at = ? AND c.id < ?))"
                args += [float(after[0]), float(after[0]), str(after[1])]
            sql += " ORDER BY c.updated_at DESC, c.id DESC LIMIT ?"
            rows = db.execute(sql, [*args, limit + 1]).fetchall()
            return [_conversation_dict(r) for r in rows[:limit]], len(rows) > limit

        return await self._call_read(op)

    async def delete_conversation(self, conv_id: Any) -> bool:
        """Delete a conversation, for now in a way that ``restore_conversation`` can undo: it is
        hidden from every listing, search and read at once, and goes with its rows at the first
        ``purge_deleted`` after ``UNDO_SECONDS``. Returns whether there was one to delete."""
        if not isinstance(conv_id, str):
            return False

        def op(db):
            cur = db.execute(
                "UPDATE conversations SET deleted_at = ? WHERE id = ? AND deleted_at IS NULL", (time.time(), conv_id)
            )
            return cur.rowcount > 0

        return await self._call(op)

    async def restore_conversation(self, conv_id: Any) -> bool:
        """Bring back a deleted conversation not yet purged, as it was. Returns whether it came back."""
        if not isinstance(conv_id, str):
            return False

        def op(db):
            cur = db.execute(
                "UPDATE conversations SET deleted_at = NULL WHERE id = ? AND deleted_at IS NOT NULL", (conv_id,)
            )
            return cur.rowcount > 0

        return await self._call(op)

    async def purge_deleted(self, older_than: float = UNDO_SECONDS) -> int:
        """Drop for good the conversations deleted at least ``older_than`` seconds ago, with their
        messages and turns. Returns how many went."""
        bound = time.time() - older_than

        def op(db):
            return db.execute(
                "DELETE FROM conversations WHERE deleted_at IS NOT NULL AND deleted_at <= ?", (bound,)
            ).rowcount

        gone = await self._call(op)
        if gone:
            await self._call(self._scrub)
        return gone

    def _scrub(self, db: sqlite3.Connection) -> None:
        """After rows went for good: no word of them is left anywhere in the files. The search
        indexes keep a deleted row's words in their segments until those are merged (``optimize``),
        and the write-ahead log keeps the pages as they were until it is checkpointed and emptied;
        freed pages are overwritten already (``secure_delete``)."""
        db.commit()
        for index in ("message_search", "title_search"):
            db.execute(f"INSERT INTO {index}({index}) VALUES ('optimize')")
        db.commit()
        if self.path != ":memory:":
            db.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchone()

    async def export_conversation(self, conv_id: Any) -> dict | None:
        """Everything stored of a conversation, for an export: the conversation, its turns and
        all its messages in order (meta included). None when there is no such conversation."""
        if not isinstance(conv_id, str):
            return None

        def op(db):
            row = db.execute(_WITH_COUNT + " WHERE c.id = ? AND c.deleted_at IS NULL", (conv_id,)).fetchone()
            if row is None:
                return None
            messages = db.execute(
                f"SELECT {_ROW} FROM messages WHERE conversation_id = ? AND hidden = 0 ORDER BY id",
                (conv_id,),
            ).fetchall()
            turns = db.execute(
                "SELECT id, mode, started_at, ended_at, outcome FROM turns WHERE conversation_id = ?"
                " ORDER BY started_at, rowid",
                (conv_id,),
            ).fetchall()
            return {
                "conversation": _conversation_dict(row),
                "turns": [dict(t) for t in turns],
                "messages": [_message_dict(m) for m in messages],
            }

        return await self._call(op)

    async def delete_conversation_if_empty(self, conv_id: str) -> bool:
        def op(db):
            cur = db.execute(
                "DELETE FROM conversations WHERE id = ?"
                " AND NOT EXISTS (SELECT 1 FROM messages WHERE conversation_id = ?)",
                (conv_id, conv_id),
            )
            return cur.rowcount > 0

        return await self._call(op)

    # -- messages -------------------------------------------------------------------

    async def add_message(
        self, conv_id: str, role: str, content: str, meta: dict | None = None, turn_id: str | None = None
    ) -> int:
        """Append a message (of ``turn_id``, when given). The first user message names a still
        untitled conversation."""
        now = time.time()
        meta_text = json.dumps(meta, allow_nan=False) if meta else None
        return await self._call(_insert_message, conv_id, role, content, meta_text, now, turn_id)

    async def get_messages(self, conv_id: Any, limit: int = 200) -> list[dict]:
        """The conversation's latest ``limit`` messages, oldest first. Read beside the writes, not
        behind them: a turn reads its history here before it asks its model, and a session's
        or a title's write on its way must not hold that up."""
        if not isinstance(conv_id, str):
            return []
        rows = self.messages_now(conv_id, limit)
        if rows is LATER:
            rows = await self._call_read(_latest_messages, conv_id, max(0, int(limit)))
        return rows

    def messages_now(self, conv_id: str, limit: int = 200) -> list[dict] | Later:
        """``get_messages`` at once, on the calling thread, when that is quick (a short
        conversation: see ``QUICK_READ_SECONDS``); else ``LATER``."""
        return self._read_now(conv_id, _latest_messages, conv_id, max(0, int(limit)))

    async def get_messages_page(
        self, conv_id: Any, before: int | None = None, limit: int = 200
    ) -> tuple[list[dict], bool]:
        """A page of the conversation's messages older than row ``before`` (all of them when None):
        the latest ``limit`` of them, oldest first, reaching back to the first row of the turn the
        oldest one belongs to, so that no turn is cut at the page's start (up to ``MAX_PAGE`` rows).
        Returns the rows and whether older ones remain."""
        if not isinstance(conv_id, str):
            return [], False
        limit = max(0, int(limit))
        bound = (1 << 63) - 1 if before is None else int(before)

        def op(db):
            rows = db.execute(
                f"SELECT {_ROW} FROM messages"
                " WHERE conversation_id = ? AND hidden = 0 AND id < ? ORDER BY id DESC LIMIT ?",
                (conv_id, bound, limit),
            ).fetchall()
            if rows and rows[-1]["turn_id"]:
                start = db.execute(
                    "SELECT MIN(id) FROM messages WHERE conversation_id = ? AND turn_id = ? AND hidden = 0",
                    (conv_id, rows[-1]["turn_id"]),
                ).fetchone()[0]
                if start < rows[-1]["id"]:
                    rows += db.execute(
                        f"SELECT {_ROW} FROM messages"
                        " WHERE conversation_id = ? AND hidden = 0 AND id >= ? AND id < ? ORDER BY id DESC LIMIT ?",
                        (conv_id, start, rows[-1]["id"], max(0, MAX_PAGE - len(rows))),
                    ).fetchall()
            oldest = rows[-1]["id"] if rows else bound
            more = db.execute(
                "SELECT EXISTS (SELECT 1 FROM messages WHERE conversation_id = ? AND hidden = 0 AND id < ?)",
                (conv_id, oldest),
            ).fetchone()[0]
            return _with_versions(db, conv_id, [_message_dict(r) for r in reversed(rows)]), bool(more)

        return await self._call(op)

    # -- branches -----------------------------------------------------------------------

    async def branch_from(self, conv_id: Any, message_id: Any) -> bool:
        """The next message of the conversation starts a branch beside ``message_id`` (a user
        message on view): it and everything after it are kept, hidden, as the branch it was.
        False when there is no such message on view."""
        if not isinstance(conv_id, str) or type(message_id) is not int:
            return False

        def op(db):
            row = db.execute(
                "SELECT 1 FROM messages WHERE id = ? AND conversation_id = ? AND role = 'user' AND hidden = 0",
                (message_id, conv_id),
            ).fetchone()
            if row is None:
                return False
            db.execute(
                "UPDATE messages SET hidden = 1 WHERE conversation_id = ? AND hidden = 0 AND id >= ?",
                (conv_id, message_id),
            )
            db.execute("UPDATE conversations SET updated_at = ? WHERE id = ?", (time.time(), conv_id))
            return True

        return await self._call(op)

    async def show_version(self, conv_id: Any, message_id: Any) -> bool:
        """Put the branch through ``message_id`` (a user message, one of the versions of its place)
        on view, down to its latest message; the branch it replaces is kept, hidden. False when
        there is no such message."""
        if not isinstance(conv_id, str) or type(message_id) is not int:
            return False

        def op(db):
            row = db.execute(
                "SELECT parent_id FROM messages WHERE id = ? AND conversation_id = ? AND role = 'user'",
                (message_id, conv_id),
            ).fetchone()
            if row is None:
                return False
            # What follows the fork on view is on one path after it, so it has the higher ids.
            db.execute(
                "UPDATE messages SET hidden = 1 WHERE conversation_id = ? AND hidden = 0 AND id > ?",
                (conv_id, row["parent_id"] or 0),
            )
            at: int | None = message_id
            while at is not None:
                db.execute("UPDATE messages SET hidden = 0 WHERE id = ?", (at,))
                at = db.execute("SELECT MAX(id) FROM messages WHERE parent_id = ?", (at,)).fetchone()[0]
            return True

        return await self._call(op)

    async def count_messages(self, conv_id: str) -> int:
        def op(db):
            return db.execute(
                "SELECT COUNT(*) FROM messages WHERE conversation_id = ? AND hidden = 0 AND " + _COUNTED, (conv_id,)
            ).fetchone()[0]

        return await self._call(op)

    async def clear_conversation_messages(self, conversation_id: Any) -> int:
        """Delete every stored message of the conversation; returns how many went."""
        if not isinstance(conversation_id, str):
            return 0

        def op(db):
            cur = db.execute("DELETE FROM messages WHERE conversation_id = ?", (conversation_id,))
            db.execute("DELETE FROM turns WHERE conversation_id = ?", (conversation_id,))
            # Its title came from the first message: it goes with the messages.
            db.execute(
                "UPDATE conversations SET updated_at = ?, title = ?, titled = 0 WHERE id = ?",
                (time.time(), UNTITLED, conversation_id),
            )
            return cur.rowcount

        gone = await self._call(op)
        if gone:
            await self._call(self._scrub)
        return gone

    async def start_reply(self, conv_id: str, text: str, turn_id: str | None = None) -> int:
        """Store the first piece of a streamed reply: a row that grows (``append_to_message``) and
        is indexed for search once ``finish_reply`` says it is complete."""
        return await self.add_message(conv_id, "assistant", text, {"streaming": True}, turn_id)

    async def finish_reply(self, message_id: int, text: str = "") -> None:
        """Add the last ``text`` to a streamed reply and mark it complete, in one transaction."""

        def op(db):
            db.execute("UPDATE messages SET content = content || ?, meta = NULL WHERE id = ?", (text, message_id))

        await self._call(op)

    async def append_to_message(self, message_id: int, text: str) -> None:
        """Add text to a stored message (a reply that arrives in pieces is kept as one)."""

        def op(db):
            db.execute("UPDATE messages SET content = content || ? WHERE id = ?", (text, message_id))

        await self._call(op)

    async def update_message_meta(self, message_id: int, meta: dict) -> None:
        """Replace a message's meta (an approval prompt learns its decision this way)."""
        meta_text = json.dumps(meta, allow_nan=False)

        def op(db):
            db.execute("UPDATE messages SET meta = ? WHERE id = ?", (meta_text, message_id))

        await self._call(op)

    # -- sessions -----------------------------------------------------------------------

    async def save_session(self, session: dict) -> None:
        """Store a session as ``Session.to_dict()`` has it (a new one, or what changed)."""
        row = (
            session["session_id"],
            session["display_name"],
            session["icon"],
            1 if session["is_connector"] else 0,
            session["created_at"],
            session.get("conversation_id"),
        )

        def op(db):
            db.execute(
                "INSERT INTO sessions (id, display_name, icon, is_connector, created_at, conversation_id)"
                " VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT(id) DO UPDATE SET display_name = excluded.display_name,"
                " icon = excluded.icon, is_connector = excluded.is_connector, created_at = excluded.created_at,"
                " conversation_id = excluded.conversation_id",
                row,
            )

        await self._call(op)

    async def delete_session(self, session_id: str) -> None:
        await self._call(lambda db: db.execute("DELETE FROM sessions WHERE id = ?", (session_id,)))

    async def list_sessions(self) -> list[dict]:
        """The stored sessions in the order they were made."""

        def op(db):
            rows = db.execute("SELECT * FROM sessions ORDER BY created_at, rowid").fetchall()
            return [
                {
                    "session_id": r["id"],
                    "display_name": r["display_name"],
                    "icon": r["icon"],
                    "is_connector": bool(r["is_connector"]),
                    "created_at": r["created_at"],
                    "conversation_id": r["conversation_id"],
                }
                for r in rows
            ]

        return await self._call(op)

    # -- turns ------------------------------------------------------------------------

    async def begin_turn(self, conv_id: str, mode: str) -> str:
        turn_id = new_turn_id()

        def op(db):
            db.execute(
                "INSERT INTO turns (id, conversation_id, mode, started_at) VALUES (?, ?, ?, ?)",
                (turn_id, conv_id, mode, time.time()),
            )

        await self._call(op)
        return turn_id

    async def open_turn(
        self, turn_id: str, conv_id: str, mode: str, role: str, content: str, meta: dict | None = None
    ) -> int:
        """Begin turn ``turn_id`` and append the message that started it, in one transaction: the
        turn is never stored without its message. Returns the message's row."""
        now = time.time()
        meta_text = json.dumps(meta, allow_nan=False) if meta else None

        def op(db):
            db.execute(
                "INSERT INTO turns (id, conversation_id, mode, started_at) VALUES (?, ?, ?, ?)",
                (turn_id, conv_id, mode, now),
            )
            return _insert_message(db, conv_id, role, content, meta_text, now, turn_id)

        return await self._call(op)

    async def end_turn(self, turn_id: str, outcome: str, message: str = "", meta: dict | None = None) -> bool:
        """Record how the turn ended, once: its outcome row closes the turn's messages.

        Returns False when the turn is unknown or already ended (the first outcome stands).
        """
        if outcome not in OUTCOMES:
            raise ValueError(f"unknown outcome {outcome!r}")
        meta_text = json.dumps({"outcome": outcome, **(meta or {})}, allow_nan=False)

        def op(db):
            now = time.time()
            cur = db.execute(
                "UPDATE turns SET outcome = ?, ended_at = ? WHERE id = ? AND outcome IS NULL",
                (outcome, now, turn_id),
            )
            if cur.rowcount == 0:
                return False
            conv_id = db.execute("SELECT conversation_id FROM turns WHERE id = ?", (turn_id,)).fetchone()[0]
            db.execute(
                "INSERT INTO messages (conversation_id, role, content, meta, created_at, turn_id, parent_id)"
                f" VALUES (?, 'outcome', ?, ?, ?, ?, {_PARENT})",
                (conv_id, message, meta_text, now, turn_id, conv_id),
            )
            db.execute("UPDATE conversations SET updated_at = ? WHERE id = ?", (now, conv_id))
            return True

        return await self._call(op)

    async def interrupt_open_turns(self) -> int:
        """Close every turn still open as interrupted: called at start-up, when no turn can be
        running, so these are the turns the last run never finished. Returns how many."""
        open_turns = await self._call(
            lambda db: [r[0] for r in db.execute("SELECT id FROM turns WHERE outcome IS NULL ORDER BY started_at")]
        )
        # A reply cut off by the end of the last run is as complete as it will get.
        await self._call(
            lambda db: db.execute(
                "UPDATE messages SET meta = NULL WHERE role = 'assistant' AND meta IS NOT NULL"
                " AND json_extract(meta, '$.streaming') IS NOT NULL"
            )
        )
        for turn_id in open_turns:
            await self.end_turn(turn_id, "interrupted", INTERRUPTED_NOTE)
        return len(open_turns)


def _latest_messages(db: sqlite3.Connection, conv_id: str, limit: int) -> list[dict]:
    rows = db.execute(
        f"SELECT * FROM (SELECT {_ROW} FROM messages"
        " WHERE conversation_id = ? AND hidden = 0 ORDER BY id DESC LIMIT ?) ORDER BY id ASC",
        (conv_id, limit),
    ).fetchall()
    return _with_versions(db, conv_id, [_message_dict(r) for r in rows])


def _with_versions(db: sqlite3.Connection, conv_id: str, rows: list[dict]) -> list[dict]:
    """Each user message that has siblings (other versions from the same point: an edit, or the
    same message answered again) gets "versions", the ids of all of them in order, its own among
    them, and "edited", whether any of them reads differently."""
    asked = [m["id"] for m in rows if m["role"] == "user"]
    if not asked:
        return rows
    found: dict[int, list[tuple[int, bool]]] = {}
    for own, sibling, same in db.execute(
        "SELECT u.id, s.id, s.content = u.content FROM messages u JOIN messages s"
        " ON s.conversation_id = u.conversation_id AND s.role = 'user' AND s.parent_id IS u.parent_id"
        " WHERE u.conversation_id = ? AND u.id IN (SELECT value FROM json_each(?)) ORDER BY u.id, s.id",
        (conv_id, json.dumps(asked)),
    ):
        found.setdefault(own, []).append((sibling, bool(same)))
    for m in rows:
        versions = found.get(m["id"], [])
        if len(versions) > 1:
            m["versions"] = [v for v, _ in versions]
            m["edited"] = not all(same for _, same in versions)
    return rows


def new_turn_id() -> str:
    return "turn_" + uuid.uuid4().hex[:16]


def _insert_message(
    db: sqlite3.Connection,
    conv_id: str,
    role: str,
    content: str,
    meta_text: str | None,
    now: float,
    turn_id: str | None,
) -> int:
    row = db.execute("SELECT titled FROM conversations WHERE id = ?", (conv_id,)).fetchone()
    if row is None:
        raise LookupError(f"unknown conversation {conv_id!r}")
    cur = db.execute(
        "INSERT INTO messages (conversation_id, role, content, meta, created_at, turn_id, parent_id)"
        f" VALUES (?, ?, ?, ?, ?, ?, {_PARENT})",
        (conv_id, role, content, meta_text, now, turn_id, conv_id),
    )
    title = _title_from(content) if role == "user" and not row["titled"] else ""
    if title:
        db.execute(
            "UPDATE conversations SET title = ?, titled = 1, updated_at = ? WHERE id = ?",
            (title, now, conv_id),
        )
    else:
        db.execute("UPDATE conversations SET updated_at = ? WHERE id = ?", (now, conv_id))
    return int(cur.lastrowid or 0)


def _message_dict(r: sqlite3.Row) -> dict:
    msg = {"id": r["id"], "role": r["role"], "content": r["content"], "created_at": r["created_at"]}
    if r["meta"]:
        # Rows written by earlier versions may hold NaN or Infinity: read as null, so what is sent is JSON.
        msg["meta"] = json.loads(r["meta"], parse_constant=lambda _: None)
    if r["turn_id"]:
        msg["turn_id"] = r["turn_id"]
    return msg


def _search_page(
    db: sqlite3.Connection, match: str, after: tuple[float, str] | None, limit: int
) -> tuple[list[dict], bool]:
    """The page of conversations that ``match`` finds (see ``conversations_page``).

    Which conversations match is learnt as cheaply as the words allow: a rare word's few messages
    name their conversations; a common one (a single letter being typed) would name nearly all of
    them, so the conversations are walked in the page's order instead and each batch is checked
    against the index, until the page is full. Counts and snippets are made for the page only,
    one snippet (of the latest matching message) per conversation."""
    titled = {r[0] for r in db.execute("SELECT conversation_id FROM title_search WHERE title_search MATCH ?", (match,))}
    found = [
        r[0]
        for r in db.execute(
            "SELECT rowid FROM message_search WHERE message_search MATCH ? LIMIT ?", (match, RARE_MATCHES + 1)
        )
    ]
    cursor_sql, cursor_args = "", []
    if after is not None:
        cursor_sql = " AND (c.updated_at < ? OR (c.updated_at = ? AND c.id < ?))"
        cursor_args = [float(after[0]), float(after[0]), str(after[1])]
    latest: dict[str, int] = {}  # conversation -> its latest matching message
    if len(found) <= RARE_MATCHES:
        for conv_id, row_id in db.execute(
            "SELECT conversation_id, MAX(id) FROM messages WHERE id IN (SELECT value FROM json_each(?))"
            " GROUP BY conversation_id",
            (json.dumps(found),),
        ):
            latest[conv_id] = row_id
        ids = [
            r[0]
            for r in db.execute(
                "SELECT c.id FROM conversations c WHERE c.id IN (SELECT value FROM json_each(?)) AND "
                + _LISTED
                + cursor_sql
                + " ORDER BY c.updated_at DESC, c.id DESC LIMIT ?",
                (json.dumps(sorted(titled | set(latest))), *cursor_args, limit + 1),
            )
        ]
    else:
        ids = _walk_matches(db, match, titled, latest, cursor_sql, cursor_args, limit + 1)
    page_ids = ids[:limit]
    rows = {
        r["id"]: r
        for r in db.execute(_WITH_COUNT + " WHERE c.id IN (SELECT value FROM json_each(?))", (json.dumps(page_ids),))
    }
    page = [_conversation_dict(rows[c]) for c in page_ids if c in rows]
    # One snippet a conversation, all in one pass over the index: the rows' range is given to the
    # index, the rows themselves are checked by SQLite ("+"), since the index would look each one
    # up anew, merging again every word the last one begins.
    wanted = [latest[c["id"]] for c in page if c["id"] in latest]
    snippets = {}
    if wanted:
        snippets = {
            conv_id: _segments(text)
            for conv_id, text in db.execute(
                "SELECT m.conversation_id, snippet(message_search, 0, ?, ?, '…', 16) FROM message_search s"
                " JOIN messages m ON m.id = s.rowid WHERE message_search MATCH ? AND s.rowid BETWEEN ? AND ?"
                " AND +s.rowid IN (SELECT value FROM json_each(?))",
                (_HIT_START, _HIT_END, match, min(wanted), max(wanted), json.dumps(wanted)),
            )
        }
    for c in page:
        c["snippet"] = snippets.get(c["id"])
    return page, len(ids) > limit


def _walk_matches(
    db: sqlite3.Connection,
    match: str,
    titled: set[str],
    latest: dict[str, int],
    cursor_sql: str,
    cursor_args: list,
    wanted: int,
) -> list[str]:
    """Up to ``wanted`` matching conversations in the page's order, for a common ``match``.

    The matching messages are read newest first, as the index keeps them, and only as far as
    needed: a conversation is decided once they have been read down to its oldest indexed message
    (it matches when one of its messages came by, or its title matched). Recent conversations hold
    recent messages, so a page costs about as many messages as its conversations hold; ``latest``
    gets each one's latest matching message, for its snippet."""
    stream = db.execute(
        "SELECT s.rowid, m.conversation_id FROM message_search s JOIN messages m ON m.id = s.rowid"
        " WHERE message_search MATCH ? ORDER BY s.rowid DESC",
        (match,),
    )
    walk = db.execute(
        "SELECT c.id FROM conversations c WHERE " + _LISTED + cursor_sql + " ORDER BY c.updated_at DESC, c.id DESC",
        cursor_args,
    )
    seen: dict[str, int] = {}
    position = float("inf")  # every matching message from here up has been read
    ids: list[str] = []
    try:
        while len(ids) < wanted:
            batch = [r[0] for r in walk.fetchmany(SEARCH_BATCH)]
            if not batch:
                break
            oldest = dict(
                db.execute(
                    "SELECT conversation_id, MIN(id) FROM messages WHERE conversation_id IN"
                    " (SELECT value FROM json_each(?)) AND role IN ('user', 'assistant') AND hidden = 0 GROUP BY conversation_id",
                    (json.dumps(batch),),
                ).fetchall()
            )
            for conv_id in batch:
                low = oldest.get(conv_id)
                while low is not None and position > low:
                    rows = stream.fetchmany(256)
                    if not rows:
                        position = -1
                        break
                    for row_id, owner in rows:
                        seen.setdefault(owner, row_id)
                    position = rows[-1][0]
                if conv_id in seen:
                    latest[conv_id] = seen[conv_id]
                if conv_id in seen or conv_id in titled:
                    ids.append(conv_id)
                    if len(ids) == wanted:
                        break
    finally:
        stream.close()
        walk.close()
    return ids


def _conversation_dict(row: sqlite3.Row) -> dict:
    return {
        "id": row["id"],
        "session_id": row["session_id"],
        "title": row["title"],
        "created_at": row["created_at"],
        "updated_at": row["updated_at"],
        "message_count": row["message_count"],
    }
