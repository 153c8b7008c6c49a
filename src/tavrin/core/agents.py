"""What every standard agent shares (``StandardAgent``: the turn's frame around each agent's own
loop, with ``TurnStopped`` and ``Finished``; the conversation manager), and the scripted
``DemoAgent`` the host runs in every session unless it is started with a model.

``DemoAgent`` answers from a script, with no language model (``tavrin.core.llm_agent`` has the
agent on one), but it behaves like the real thing towards the gateway and the user interface. It streams thinking, tool
calls and tool results, asks for approval before a risky tool, records every turn in the
conversation store, honours ``cancel()`` at every step, and reports its activity so the
stall watchdog can judge it.

A few words in the user's text steer the script, so each behaviour can be seen by hand:
"delete …", "send an email …" or "pay …" need an approval; "/slow" runs a long task that
can be stopped (with one of those words, it asks for that approval halfway); "/stall" goes silent until cancelled; "/fail" raises mid-turn.
"""

from __future__ import annotations

import asyncio
import logging
import re
import time
import uuid
from collections.abc import AsyncGenerator, AsyncIterator, Callable
from dataclasses import dataclass
from typing import Any

from tavrin.core.attachments import describe as describe_attachments
from tavrin.core.guardrails import Guardrails
from tavrin.core.history import TurnLog, origin_meta, outcome_of_exit
from tavrin.core.store import STOPPED_NOTE, ConversationStore

logger = logging.getLogger("tavrin.agent")

HEARTBEAT_MARKER = "[HEARTBEAT]"


class AgentEvent:
    """One event of a turn; ``to_dict()`` is the event as sent to the clients."""

    __slots__ = ("type", "data")

    def __init__(self, type: str, **data: Any):
        self.type = type
        self.data = data

    def to_dict(self) -> dict:
        # A fresh mapping each time: the gateway adds "session_id" to what it sends.
        return {"type": self.type, **self.data}

    def __repr__(self) -> str:
        return f"AgentEvent({self.type!r}, {self.data!r})"


class ConversationManager:
    """The agent's current conversation, kept in the conversation store.

    ``on_switch(conversation_id)``, when set, is called whenever another conversation becomes the
    current one (the session registry keeps the session's stored record right with it).
    """

    def __init__(self, store: ConversationStore, session_id: str | None = None):
        self._store = store
        self.session_id = session_id
        self._conversation_id: str | None = None
        self.on_switch: Callable[[str], None] | None = None

    @property
    def conversation_id(self) -> str | None:
        return self._conversation_id

    def _switch(self, conv_id: str) -> str:
        self._conversation_id = conv_id
        if self.on_switch is not None:
            self.on_switch(conv_id)
        return conv_id

    async def start_conversation(self) -> str:
        return self._switch(await self._store.create_conversation(self.session_id))

    async def resume_conversation(self, conv_id: Any) -> str:
        """Make a stored conversation the current one; an unknown id is an error."""
        conversation = await self._store.get_conversation(conv_id)
        if conversation is None:
            raise LookupError(f"Unknown conversation {conv_id!r}")
        if self.session_id is not None and conversation["session_id"] != self.session_id:
            await self._store.assign_conversation(conv_id, self.session_id)
        return self._switch(conv_id)

    async def ensure_conversation(self) -> str:
        if not self._conversation_id:
            return await self.start_conversation()
        return self._conversation_id


class TurnStopped(Exception):
    """Raised inside a turn once ``cancel()`` was called: the turn ends as stopped, and says so.

    Whatever waits inside a turn (a model's answer, a tool, the user's approval) raises it when
    the stop comes; the base turns it into the turn's "cancelled" and its stored outcome."""


@dataclass(frozen=True)
class Finished:
    """The last thing an agent's loop yields when it answered: how many steps it took, and
    whether its answer was cut at the model's output limit."""

    iterations: int
    cut: bool = False


@dataclass
class Turn:
    """The running turn, as the base opened it for the agent's loop."""

    conversation_id: str
    user_text: str
    attachments: list | None
    intro: dict | None
    heartbeat: bool
    log: TurnLog | None = None


# Risky requests and the tool each one maps to. The tool names match the guardrails'
# list of operations that need approval.
_RISKY = [
    (
        re.compile(r"\b(?:delete|remove|erase|trash)\b(.*)", re.I),
        "delete_file",
        "path",
        "~/Downloads/old-report.pdf",
        1,
    ),
    (
        re.compile(r"\b(?:send|write)\b.*?\be-?mail\b(?:.*?\bto\s+(\S+))?", re.I),
        "send_email",
        "to",
        "team@example.org",
        1,
    ),
    (re.compile(r"\b(?:pay|payment|transfer)\b(.*)", re.I), "make_payment", "payee", "ACME Utilities", 3),
]
_FILLER = {"the", "a", "an", "my", "this", "that", "to", "file", "please", "for", "me"}


def _target(rest: str | None, max_words: int) -> str:
    words = [w.strip(".,;:!?\"'") for w in (rest or "").split()]
    while words and words[0].lower() in _FILLER:
        words.pop(0)
    return " ".join(w for w in words[:max_words] if w)


def _risky_action(text: str) -> tuple[str, dict] | None:
    for pattern, tool, key, default, max_words in _RISKY:
        m = pattern.search(text)
        if m:
            return tool, {key: _target(m.group(1), max_words) or default}
    return None


class StandardAgent:
    """What every standard agent shares, whatever answers: the contract the gateway relies on
    (``process_message``, ``cancel()``, ``is_processing``, ``seconds_since_activity``, the
    conversation), and each turn's frame: its start (the user's message stored), its end
    ("done" stored, then sent), its stop (``TurnStopped`` becomes "cancelled"), its failure
    (the outcome stored, the error raised on for the gateway to tell), the recording of each
    event it hands over, and the approval wait.

    A subclass writes its own loop only: ``_opening(turn)``, what the turn's first message keeps
    (read before it is stored), and ``_steps(turn)``, the turn's events, ending with ``Finished``.
    A tool's failure the model should read is a ``ToolError`` (``tavrin.core.tools``).
    """

    def __init__(
        self,
        store: ConversationStore,
        guardrails: Guardrails,
        session_id: str | None = None,
        *,
        stall_warn_seconds: float = 10,
        stall_cancel_seconds: float = 40,
        approval_timeout: float = 300,
    ):
        self._memory = store
        self.guardrails = guardrails
        self.session_id = session_id
        self.conversation = ConversationManager(store, session_id)
        self.stall_warn_seconds = stall_warn_seconds
        self.stall_cancel_seconds = stall_cancel_seconds
        self.approval_timeout = approval_timeout
        self.is_processing = False
        self._last_activity = time.monotonic()
        self._waiting_for_user = False
        self._cancel = asyncio.Event()
        self._stop_note = STOPPED_NOTE  # the stored wording of the running turn's stop
        self._tool_seq = 0
        self._log: TurnLog | None = None
        self._closing: asyncio.Future | None = None

    @property
    def _conversation(self) -> ConversationManager:
        return self.conversation

    @property
    def seconds_since_activity(self) -> float:
        # Waiting for the user's approval is not a stall: the agent is not stuck, the user is deciding.
        if self._waiting_for_user:
            return 0.0
        return time.monotonic() - self._last_activity

    def cancel(self) -> None:
        """Stop the running turn at its next step; does nothing to a later turn.

        The stall watchdog calls this from its own task ("watchdog-" and the session id): the
        stored outcome then says why, in the words the page shows live."""
        if self.is_processing:
            if not self._cancel.is_set():
                self._stop_note = _stop_note_of(
                    asyncio.current_task() if _loop_running() else None, self.seconds_since_activity
                )
            self._cancel.set()

    # -- the turn -----------------------------------------------------------------

    def process_message(
        self, user_text: str, attachments: list | None = None, *, intro: dict | None = None
    ) -> AsyncIterator[AgentEvent]:
        """One turn. ``intro`` is the event that introduced a turn the host runs itself; the
        gateway's turns have none."""
        return self._recorded(self._turn(user_text, attachments, intro))

    async def _turn(
        self, user_text: str, attachments: list | None, intro: dict | None
    ) -> AsyncGenerator[AgentEvent, None]:
        """The turn: opened, the agent's loop run, and ended, whichever way it ends."""
        if self.is_processing:
            raise RuntimeError("this agent is already working on a turn")
        self.is_processing = True
        self._cancel.clear()
        self._last_activity = time.monotonic()
        log: TurnLog | None = None
        ending: BaseException | None = None
        try:
            if self._closing is not None:
                await asyncio.shield(self._closing)
                self._closing = None
            conv_id = await self.conversation.ensure_conversation()
            heartbeat = user_text.startswith(HEARTBEAT_MARKER)
            turn = Turn(conv_id, user_text, attachments, intro, heartbeat)
            meta = await self._opening(turn)
            # The user's message is written while the agent asks its model: the model's first
            # words take far longer than the write, and no event is handed over before the
            # message is stored, so the store still holds it ahead of the turn's events.
            log = TurnLog.start(
                self._memory,
                conv_id,
                "heartbeat" if heartbeat else "user",
                user_text,
                {**meta, **origin_meta(intro)},
                "heartbeat" if heartbeat else "standard",
            )
            self._log = turn.log = log
            outcome: Finished | None = None
            steps = self._steps(turn)
            stored = False
            try:
                async for item in steps:
                    if not stored:
                        await log.stored()
                        stored = True
                    if isinstance(item, Finished):
                        outcome = item
                    else:
                        yield item
            except Exception:
                if not stored:  # a failure is told after the message it answers is stored
                    await log.stored()
                raise
            finally:
                await steps.aclose()
            if outcome is None:
                raise RuntimeError(f"{type(self).__name__}'s turn ended without an outcome")
            yield await self._finished(log, outcome)
        except TurnStopped:
            yield await self._stopped(log)
        except BaseException as exc:
            ending = self._failure(exc)
            if ending is not exc:
                raise ending from None
            raise
        finally:
            self._turn_over(log, ending)

    async def _opening(self, turn: Turn) -> dict:
        """What the turn's first message keeps in its meta (the attachments' record), read before
        it is stored; the turn's own state may be set up here too."""
        return {}

    def _steps(self, turn: Turn) -> AsyncGenerator[AgentEvent | Finished, None]:
        """The agent's own loop: the turn's events, then its ``Finished``."""
        raise NotImplementedError

    def _failure(self, exc: BaseException) -> BaseException:
        """The exception a failed turn ends with (stored, and raised on); ``exc`` itself here."""
        return exc

    async def _recorded(self, events: AsyncGenerator[AgentEvent, None]) -> AsyncIterator[AgentEvent]:
        """The turn's events, each written to the turn's log once it has been taken.

        Recording after the hand-over, not before, keeps the store to what was sent: a stop
        that falls into a write made beforehand would store what no window got. A stop can
        also fall after the hand-over, while the gateway sends the event (its socket had
        taken it, the turn had not woken up yet): the turn is then closed at this ``yield``
        and the event it had taken is recorded all the same. The stream does not wait for
        the disk: the log writes in order, in tasks of its own, and the turn's outcome is
        written after all of them.
        """
        try:
            async for event in events:
                try:
                    yield event
                finally:
                    if self._log is not None:
                        self._log.record(event.to_dict())
        finally:
            # A stop can land here, in a write: the turn itself is then closed at once, so
            # that it records its outcome and frees the agent now rather than when collected.
            await events.aclose()

    async def _await_decision(self, approval) -> bool:
        self._waiting_for_user = True
        decision = asyncio.ensure_future(self.guardrails.wait_for_decision(approval, self.approval_timeout))
        cancelled = asyncio.ensure_future(self._cancel.wait())
        try:
            await asyncio.wait({decision, cancelled}, return_when=asyncio.FIRST_COMPLETED)
            if decision.done():
                approved = decision.result()
                if self._log is not None:
                    await self._log.approval_settled(approval.approval_id, "approved" if approved else "rejected")
                return approved
            raise TurnStopped
        finally:
            self._waiting_for_user = False
            self._last_activity = time.monotonic()
            for fut in (decision, cancelled):
                if not fut.done():
                    fut.cancel()
            self.guardrails.discard(approval.approval_id)

    def _event(self, type: str, **data: Any) -> AgentEvent:
        self._last_activity = time.monotonic()
        return AgentEvent(type, **data)

    # -- the end of a turn, the same whatever answered --

    async def _finished(self, log: TurnLog | None, outcome: Finished) -> AgentEvent:
        """The turn's "done", recorded first: a window that reloads on "done" finds it stored.
        A cut answer is done, and says so in the store as on the page."""
        said: dict[str, Any] = {"iterations": outcome.iterations}
        if outcome.cut:
            said["cut"] = True
        if log is not None:
            await log.end("done", "", **said)
        return self._event("done", **said)

    async def _stopped(self, log: TurnLog | None) -> AgentEvent:
        """The turn's "cancelled", after ``cancel()`` (``TurnStopped``)."""
        if log is not None:
            await log.end("stopped", self._stop_note)
        return self._event("cancelled", message="Task cancelled")

    def _turn_over(self, log: TurnLog | None, ending: BaseException | None) -> None:
        """From a turn's ``finally``. A turn that leaves by an exception (an error, or its task
        cancelled) still gets its outcome. It is written by a task of its own so that the agent is free
        at once (the session lock is already released); the next turn waits for that write before it
        records anything, so the outcome stays ahead of it in the store."""
        if ending is not None and log is not None:
            try:
                outcome = outcome_of_exit(ending, self._cancel.is_set(), self._stop_note)
                self._closing = asyncio.ensure_future(log.end(*outcome))
            except RuntimeError:  # no running loop: the next start-up marks it interrupted
                pass
        elif log is not None:
            # The turn wrote its outcome, or a stop cut the wait for it: the writes may still be
            # on their way, and the next turn's message must land after them.
            self._closing = log.pending()
        self._stop_note = STOPPED_NOTE
        self._log = None
        self.is_processing = False
        self._waiting_for_user = False

    def _next_tool_id(self) -> str:
        self._tool_seq += 1
        return f"call_{uuid.uuid4().hex[:6]}_{self._tool_seq}"


def _loop_running() -> bool:
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return False
    return True


def _stop_note_of(task: asyncio.Task | None, silence: float) -> str:
    """How a stop asked for by ``task`` is stored: the watchdog's says how long nothing happened."""
    if task is not None and task.get_name().startswith("watchdog-"):
        return f"Stopped: no progress for {int(silence)} s"
    return STOPPED_NOTE


class DemoAgent(StandardAgent):
    """A scripted standard agent for one session (or the application's fallback agent)."""

    def __init__(
        self,
        store: ConversationStore,
        guardrails: Guardrails,
        session_id: str | None = None,
        *,
        step_delay: float = 0.25,
        stall_warn_seconds: float = 10,
        stall_cancel_seconds: float = 40,
        stall_max_seconds: float = 600,
        approval_timeout: float = 300,
    ):
        super().__init__(
            store,
            guardrails,
            session_id,
            stall_warn_seconds=stall_warn_seconds,
            stall_cancel_seconds=stall_cancel_seconds,
            approval_timeout=approval_timeout,
        )
        self.step_delay = step_delay
        self.stall_max_seconds = stall_max_seconds

    async def _opening(self, turn: Turn) -> dict:
        # A bounded record of each file, never its bytes.
        return {"attachments": describe_attachments(turn.attachments)} if turn.attachments else {}

    async def _steps(self, turn: Turn) -> AsyncGenerator[AgentEvent | Finished, None]:
        user_text, heartbeat = turn.user_text, turn.heartbeat
        iterations = 0
        reply_parts: list[str] = []
        streamed = False
        if turn.log is not None:  # the count takes in this turn's message, written meanwhile
            await turn.log.stored()
        earlier = await self._memory.count_messages(turn.conversation_id) - 1
        lowered = user_text.lower()

        yield self._event("thinking", message="Reading your message…" if not heartbeat else "Checking my plan…")
        await self._step()

        if heartbeat:
            reply_parts.append("Heartbeat check-in: no plan is pending, so I'm standing by.")
        elif "/fail" in lowered:
            yield self._event("thinking", message="Calling a tool that is about to fail…")
            await self._step()
            raise RuntimeError("the demo tool failed on purpose (/fail)")
        elif "/stall" in lowered:
            yield self._event("thinking", message="Waiting for a slow model response…")
            # Silence: no event until the turn is cancelled (by the user or the watchdog).
            await self._step(self.stall_max_seconds)
            reply_parts.append("The slow response finally arrived.")
        elif "/stream" in lowered:
            # The reply arrives in pieces, as a language model writes it.
            streamed = True
            for piece in _pieces(STREAMED_REPLY):
                yield self._event("text", content=piece)
                await self._step(self.step_delay / 4)
        elif "/slow" in lowered:
            steps = 20
            # With a risky action in the text ("/slow, then delete …"), the task waits halfway
            # for the user's decision on it.
            risky = _risky_action(user_text)
            for i in range(1, steps + 1):
                call_id = self._next_tool_id()
                yield self._event(
                    "tool_call", id=call_id, tool="scan_folder", arguments={"folder": f"~/Projects/part-{i}"}
                )
                await self._step(2 * self.step_delay)
                yield self._event(
                    "tool_result", id=call_id, tool="scan_folder", result=f"Scanned part {i} of {steps}: {i * 7} files"
                )
                iterations += 1
                if risky is not None and i == steps // 2:
                    async for ev in self._risky_tool(*risky, reply_parts):
                        yield ev
                    iterations += 1
            reply_parts.append(f"Finished the long scan: {steps} folders, {steps * (steps + 1) * 7 // 2} files.")
        else:
            risky = _risky_action(user_text)
            call_id = self._next_tool_id()
            yield self._event("tool_call", id=call_id, tool="read_screen", arguments={"mode": "accessibility_tree"})
            await self._step()
            yield self._event(
                "tool_result",
                id=call_id,
                tool="read_screen",
                result="Focused window: Files — ~/Downloads (3 windows open, 12 accessible elements)",
            )
            iterations += 1
            await self._step()
            if risky is not None:
                async for ev in self._risky_tool(*risky, reply_parts):
                    yield ev
                iterations += 1
            else:
                reply_parts.append(
                    f"I read your message — “{user_text.strip()[:200]}” — and had a look at the screen. "
                    "This is Tavrin's demo agent, so no language model is answering: try “delete "
                    "old-report.pdf” to see an approval, “/slow” for a long task you can stop, “/stall” "
                    "for the stall warning, or the Computer Use switch for screenshots."
                )
        if earlier > 0:
            reply_parts.append(f"(This conversation holds {earlier} earlier message{'s' if earlier != 1 else ''}.)")
        if not streamed:
            yield self._event("text", content=" ".join(reply_parts))
        elif reply_parts:
            yield self._event("text", content="\n\n" + " ".join(reply_parts))
        yield Finished(iterations)

    async def _risky_tool(self, tool: str, arguments: dict, reply_parts: list[str]):
        call_id = self._next_tool_id()
        yield self._event("tool_call", id=call_id, tool=tool, arguments=arguments)
        if self.guardrails.needs_approval(tool):
            message = f"Tavrin wants to run {tool} with {_describe(arguments)}. Allow it?"
            approval = self.guardrails.request_approval(tool, arguments, self.session_id, message)
            if self._log is not None:
                await self._log.approval_requested(approval.approval_id, tool, arguments)
            yield self._event(
                "tool_approval_needed",
                approval_id=approval.approval_id,
                tool=tool,
                arguments=arguments,
                message=message,
            )
            approved = await self._await_decision(approval)
        else:
            approved = True
        if not approved:
            yield self._event("tool_result", id=call_id, tool=tool, result=approval.refusal(), error=True)
            reply_parts.append(
                f"Understood — I did not run {tool}" + (f" ({approval.note})." if approval.note else ".")
            )
            return
        await self._step()
        yield self._event(
            "tool_result", id=call_id, tool=tool, result=f"Done (simulated): {tool} {_describe(arguments)}"
        )
        reply_parts.append(f"Done: {tool} with {_describe(arguments)} (simulated, nothing on your computer changed).")

    # -- helpers ------------------------------------------------------------------

    async def _step(self, delay: float | None = None) -> None:
        """Pause between steps; raises ``TurnStopped`` as soon as ``cancel()`` is called."""
        if self._cancel.is_set():
            raise TurnStopped
        try:
            await asyncio.wait_for(self._cancel.wait(), self.step_delay if delay is None else delay)
        except TimeoutError:
            return
        raise TurnStopped


STREAMED_REPLY = (
    "Here is a **streamed** reply. It arrives in small pieces, the way a language model writes:\n\n"
    "1. each piece is its own `text` event;\n"
    "2. the page grows *one* bubble from them.\n\n"
    '```python\nprint("Hello from Tavrin")\n```\n\n'
    "More: [the Markdown guide](https://commonmark.org/help/)."
)


def _pieces(text: str, size: int = 12) -> list[str]:
    """The text cut into pieces of about ``size`` characters, at spaces where possible."""
    pieces, start = [], 0
    while start < len(text):
        end = text.find(" ", start + size)
        end = len(text) if end == -1 else end + 1
        pieces.append(text[start:end])
        start = end
    return pieces


def _describe(arguments: dict) -> str:
    return ", ".join(f"{k}={v}" for k, v in arguments.items())
