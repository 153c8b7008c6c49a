"""What a turn leaves in the conversation store: the transcript the user saw.

``TurnLog`` writes one turn: the user's message, then each event the user was shown
(thinking, tool calls and results, approval prompts with their decision, error notes, the
reply text) and finally the outcome. The web UI draws a resumed conversation from these
rows with the same code that draws the live events, so both look alike.

Screenshots are not kept at full size: a tool result's image is stored as a small
thumbnail (``thumbnail_png``) of at most ``MAX_THUMBNAIL_BASE64`` characters, or, when it
cannot be made that small or read at all, as a placeholder that says a screenshot was there.
"""

from __future__ import annotations

import asyncio
import base64
import binascii
import logging
import struct
import weakref
from collections.abc import Callable
from typing import Any

from tavrin.core.png import thumbnail_png
from tavrin.core.store import CANCELLED_NOTE, INTERRUPTED_NOTE, STOPPED_NOTE, ConversationStore, new_turn_id
from tavrin.core.tasks import started

logger = logging.getLogger("tavrin.history")

MAX_THUMBNAIL_BASE64 = 24_000
# Text kept from a single tool result or argument list.
MAX_TEXT = 4_000
# A streamed reply reaches the store at least this often (in seconds), in one write, and at its
# end: a stop, a crash or a restart loses at most this much of the text.
FLUSH_SECONDS = 0.25


def origin_meta(intro: dict | None) -> dict:
    """Meta for the first message of a turn: who sent it, when a connector did. ``intro`` is the
    event that introduced a turn the host runs itself (a connector's message, a beat), so that
    the stored turn starts as the live one did."""
    if isinstance(intro, dict) and intro.get("type") == "connector_message":
        return {"sender": intro.get("sender", "connector"), "connector": True}
    return {}


# Event types that are part of the transcript, and the keys of each that are kept.
_KEPT = {
    "thinking": ("message",),
    "tool_call": ("id", "tool", "arguments"),
    "tool_result": ("id", "tool", "result", "error", "stopped", "screenshot"),
    "error": ("message",),
    # What the user is told about a reply (cut at the model's output limit).
    "notice": ("kind", "message"),
}


class TurnLog:
    """One turn being written to the store.

    The writes of a turn run one after another, in the order they were asked for, each in a
    task of its own: a caller that is cancelled while it waits (a stop lands there) does not
    cancel the write, and the outcome is always written after everything before it. Store
    failures are logged, never raised: the turn itself must go on when the disk does not.
    """

    def __init__(self, store: ConversationStore, conversation_id: str, turn_id: str | None):
        self.store = store
        self.conversation_id = conversation_id
        self.turn_id = turn_id
        self._approvals: dict[str, tuple[int, dict]] = {}
        self._last: asyncio.Future | None = None
        self._started: asyncio.Future | None = None
        self._reply_open = False  # a reply is being streamed, and nothing else came since
        self._reply_started = False  # the streamed reply has a row (asked for)
        self._reply_row: int | None = None
        self._unwritten: list[str] = []  # pieces of the reply not yet written
        self._flush_timer: asyncio.TimerHandle | None = None
        self.ended = False
        self.on_end: Callable[[], None] | None = None

    @classmethod
    async def begin(
        cls, store: ConversationStore, conversation_id: str, role: str, text: str, meta: dict | None, mode: str
    ) -> TurnLog:
        """Open a turn and store the message that started it (its mode goes in the meta)."""
        log = cls.start(store, conversation_id, role, text, meta, mode)
        await log.stored()
        return log

    @classmethod
    def start(
        cls, store: ConversationStore, conversation_id: str, role: str, text: str, meta: dict | None, mode: str
    ) -> TurnLog:
        """``begin`` without waiting: the turn and its first message are written (in one
        transaction) by the log's first write, ahead of everything recorded after it; ``stored()``
        is that write. The turn can meanwhile ask its model, which need not wait for the disk."""
        turn_id = new_turn_id()
        log = cls(store, conversation_id, turn_id)
        _open_logs.add(log)

        async def op():
            try:
                await store.open_turn(turn_id, conversation_id, mode, role, text, {**(meta or {}), "mode": mode})
            except Exception:
                # Nothing of a turn that could not be opened is written.
                log.turn_id = None
                log.ended = True
                _open_logs.discard(log)
                raise

        log._then(op, "the start of a turn")
        log._started = log._last
        return log

    def stored(self) -> asyncio.Future:
        """The write of the turn's first message (it never raises: a failure is logged)."""
        if self._started is None:
            done = asyncio.get_running_loop().create_future()
            done.set_result(None)
            return done
        return asyncio.shield(self._started)

    def _then(self, op: Callable[[], Any], what: str):
        """Run ``op()`` (a coroutine function) after the writes asked for before; await the result."""
        previous = self._last

        async def run():
            if previous is not None:
                await asyncio.wait([previous])
            if self.turn_id is None and self._started is not None:  # the turn could not be opened
                return None
            try:
                return await op()
            except Exception:
                logger.exception("Could not record %s in %s", what, self.conversation_id)
                return None

        self._last = started(run())
        return asyncio.shield(self._last)

    async def event(self, payload: dict) -> None:
        """Record one event as the client receives it (gateway format); returns once it is written."""
        written = self.record(payload)
        if written is not None:
            await written

    def record(self, payload: dict):
        """Record one event as ``event`` does, without waiting for the write: writes still reach
        the store in the order they were asked for, each in a task of its own, and the turn's end
        waits for all of them. Returns what to await for the write, if there is one to wait for."""
        if self.turn_id is None or self.ended:
            return None
        kind = str(payload.get("type"))
        if kind == "text":
            # Consecutive pieces of text are one reply, as the client shows them in one bubble. Its
            # pieces are written together every FLUSH_SECONDS, not one by one: the stream does not
            # wait for the disk, and a reply shorter than that is written once, complete. Its
            # first write would otherwise take the processor just as the first words go out.
            self._reply_open = True
            self._unwritten.append(str(payload.get("content", "")))
            if self._flush_timer is None:
                self._flush_timer = asyncio.get_running_loop().call_later(FLUSH_SECONDS, self._flush)
            return None
        self._close_reply()
        keys = _KEPT.get(kind)
        if keys is None:
            return None
        meta = {k: _bounded(payload[k]) for k in keys if k in payload}

        async def op():
            if kind == "tool_result" and payload.get("screenshot"):
                meta.update(await asyncio.to_thread(_screenshot_meta, payload.get("image_base64")))
            content = meta.get("message") or meta.get("tool") or ""
            await self.store.add_message(self.conversation_id, kind, str(content), meta, self.turn_id)

        return self._then(op, f"a {kind} event")

    def _flush(self) -> None:
        """Write the reply's pieces that came since the last write (from the timer)."""
        self._flush_timer = None
        if self._unwritten and not self.ended:
            text = "".join(self._unwritten)
            self._unwritten.clear()
            if self._reply_started:
                self._then(lambda: self._append_reply(text), "a reply")
            else:
                self._reply_started = True
                self._then(lambda: self._start_reply(text), "a reply")

    def _close_reply(self) -> None:
        """The reply is complete (something else came, or the turn ends): its last pieces are
        written and it is indexed for search, in one write."""
        if not self._reply_open:
            return
        self._reply_open = False
        if self._flush_timer is not None:
            self._flush_timer.cancel()
            self._flush_timer = None
        text = "".join(self._unwritten)
        self._unwritten.clear()
        if self._reply_started:
            self._reply_started = False
            self._then(lambda: self._finish_reply(text), "a reply")
        else:
            self._then(lambda: self._add_reply(text), "a reply")

    async def _start_reply(self, text: str) -> None:
        self._reply_row = await self.store.start_reply(self.conversation_id, text, self.turn_id)

    async def _add_reply(self, text: str) -> None:
        await self.store.add_message(self.conversation_id, "assistant", text, None, self.turn_id)

    async def _append_reply(self, text: str) -> None:
        if self._reply_row is not None:
            await self.store.append_to_message(self._reply_row, text)

    async def _finish_reply(self, text: str) -> None:
        if self._reply_row is not None:
            await self.store.finish_reply(self._reply_row, text)
            self._reply_row = None

    async def approval_requested(self, approval_id: str, tool: str, arguments: Any) -> None:
        if self.turn_id is None or self.ended:
            return
        self._close_reply()
        meta = {"approval_id": approval_id, "tool": tool, "arguments": _bounded(arguments), "decision": None}

        async def op():
            row = await self.store.add_message(self.conversation_id, "approval", tool, meta, self.turn_id)
            self._approvals[approval_id] = (row, meta)

        await self._then(op, "an approval")

    async def approval_settled(self, approval_id: str, decision: str) -> None:
        """``decision``: "approved", "rejected" or "withdrawn"."""
        if self.turn_id is not None:
            await self._then(lambda: self._settle(approval_id, decision), "an approval's decision")

    async def _settle(self, approval_id: str, decision: str) -> None:
        entry = self._approvals.pop(approval_id, None)
        if entry is not None:
            row, meta = entry
            await self.store.update_message_meta(row, {**meta, "decision": decision})

    def pending(self) -> asyncio.Future | None:
        """The last write asked for, while it is still on its way: the next turn of the
        conversation waits for it before it records anything of its own."""
        return self._last if self._last is not None and not self._last.done() else None

    async def end(self, outcome: str, message: str = "", **meta: Any) -> None:
        turn_id = self.turn_id
        if turn_id is None or self.ended:
            return
        self._close_reply()
        self.ended = True
        _open_logs.discard(self)
        if self.on_end is not None:
            self.on_end()

        async def op():
            for approval_id in list(self._approvals):  # prompts nobody answered lapsed with the turn
                await self._settle(approval_id, "withdrawn")
            await self.store.end_turn(turn_id, outcome, message, meta or None)

        await self._then(op, "the end of a turn")


# The turns being written, so that a shutdown can close them.
_open_logs: weakref.WeakSet[TurnLog] = weakref.WeakSet()


async def interrupt_open_turns(store: ConversationStore) -> int:
    """Record every turn still being written to ``store`` as interrupted, after what it wrote so
    far; returns how many. Called at shutdown before the turns' tasks are stopped: whatever those
    report afterwards is dropped, so a turn cut by the server's end reads as interrupted, as it
    does when the server died without a shutdown, and not as stopped or cancelled."""
    logs = [log for log in list(_open_logs) if log.store is store]
    for log in logs:
        await log.end("interrupted", INTERRUPTED_NOTE)
    return len(logs)


def outcome_of_exit(exc: BaseException | None, stop_requested: bool, stop_note: str = STOPPED_NOTE) -> tuple[str, str]:
    """The outcome and its note for a turn that ended by ``exc`` (None: it finished); ``stop_note``:
    how a requested stop is worded (the watchdog's says why)."""
    if exc is None:
        return "done", ""
    if isinstance(exc, (asyncio.CancelledError, GeneratorExit)):
        # A stop asks the agent first; a task cancelled without that was replaced by a newer
        # message, or its window went away.
        return ("stopped", stop_note) if stop_requested else ("cancelled", CANCELLED_NOTE)
    return "error", f"Agent error: {exc}"


def _bounded(value: Any) -> Any:
    if isinstance(value, str) and len(value) > MAX_TEXT:
        return value[:MAX_TEXT] + "…"
    return value


# -- screenshots -------------------------------------------------------------------------------


def _screenshot_meta(image_base64: Any) -> dict:
    """The meta of a screenshot result: a thumbnail when one can be made within the bound."""
    if isinstance(image_base64, str):
        try:
            png = base64.b64decode(image_base64, validate=True)
        except (binascii.Error, ValueError):
            png = b""
        thumb = thumbnail_png(png) if png else None
        if thumb is not None:
            encoded = base64.b64encode(thumb).decode("ascii")
            if len(encoded) <= MAX_THUMBNAIL_BASE64:
                # The size it was made from: a point given in the screenshot's pixels (a Computer
                # Use click) can then be marked on the thumbnail.
                width, height = struct.unpack(">II", png[16:24])
                return {"thumbnail_base64": encoded, "image_width": width, "image_height": height}
    return {"thumbnail_omitted": True}


# -- Computer Use turns -----------------------------------------------------------------------------


def computer_use_journal(store: ConversationStore, current_session: Callable[[], Any]):
    """The function the Computer Use agent calls at the start of a task to get its ``TurnLog``:
    the turn goes into the current conversation of ``current_session()``, the session whose chat
    runs the task (the host knows which; None: nowhere)."""

    async def journal(user_text: str) -> TurnLog | None:
        session = current_session()
        conversation = getattr(getattr(session, "agent", None), "conversation", None)
        if conversation is None:
            return None
        try:
            conv_id = await conversation.ensure_conversation()
        except Exception:
            logger.exception("No conversation to record a Computer Use turn in")
            return None
        log = await TurnLog.begin(store, conv_id, "user", user_text, None, "computer_use")
        # The session counts as working until the task's outcome is recorded.
        session.computer_use_running = True
        log.on_end = lambda: setattr(session, "computer_use_running", False)
        return log

    return journal
