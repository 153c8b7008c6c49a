"""The user sessions: one chat tab each, with its own agent and its own lock.

The registry always holds the main session "session_main". Sessions made from the user
interface are user sessions; connector sessions belong to an external message source
(fed through the host's HTTP endpoint) and are made by the host at start-up.

Given a store, the registry keeps every session there (name, icon, connector flag, creation time
and current conversation) as it changes, and ``restore()`` brings them back at the next start,
each agent on its conversation.
"""

from __future__ import annotations

import asyncio
import logging
import time
import uuid
from collections.abc import Callable, Collection
from typing import TYPE_CHECKING, Any

from tavrin.core import names
from tavrin.logs import log_value

if TYPE_CHECKING:
    from tavrin.core.guardrails import Guardrails
    from tavrin.core.store import ConversationStore

logger = logging.getLogger("tavrin.sessions")

MAIN_SESSION_ID = "session_main"
# User sessions (tabs besides Main) that may exist at once. Sessions outlive the connection that
# made them, so without a cap one client could fill the process with agents.
MAX_USER_SESSIONS = 100


class SessionLimitReached(RuntimeError):
    """``create_session`` was asked for a user session while the cap is reached."""


class Session:
    """One session: its agent, the lock that serialises its turns, and how it is shown.

    Its name and icon are cut to ``names.NAME_LIMIT`` and ``names.ICON_LIMIT`` characters
    whenever they are set, at creation and at every rename (the gateway names a new tab after
    its first message by setting ``display_name``).
    """

    def __init__(
        self,
        session_id: str,
        agent: Any,
        display_name: str = "New Chat",
        icon: str = "💬",
        is_connector: bool = False,
    ):
        # Called with the session whenever its name, icon or conversation changes.
        self.on_change: Callable[[Session], None] | None = None
        self.session_id = session_id
        self.agent = agent
        self.lock = asyncio.Lock()
        self.display_name = display_name
        self.icon = icon
        self.is_connector = is_connector
        self.created_at = time.time()
        self._conversation_id: str | None = None
        # Turns the host runs in this session outside the gateway (connector messages, heartbeat).
        self.host_tasks: set[asyncio.Task] = set()
        # True while the Computer Use agent runs a task for this session.
        self.computer_use_running = False

    @property
    def display_name(self) -> str:
        return self._display_name

    @display_name.setter
    def display_name(self, value: Any) -> None:
        self._display_name = names.display_name(value)
        self._changed()

    @property
    def icon(self) -> str:
        return self._icon

    @icon.setter
    def icon(self, value: Any) -> None:
        self._icon = names.icon(value)
        self._changed()

    @property
    def conversation_id(self) -> str | None:
        # The agent's conversation manager is the authority: a resume switches the agent's
        # conversation without telling the session, and the session must not go stale.
        conversation = getattr(self.agent, "conversation", None)
        current = getattr(conversation, "conversation_id", None)
        return current or self._conversation_id

    @conversation_id.setter
    def conversation_id(self, value: str | None) -> None:
        self._conversation_id = value
        self._changed()

    def _changed(self) -> None:
        if self.on_change is not None:
            self.on_change(self)

    def to_dict(self) -> dict:
        return {
            "session_id": self.session_id,
            "display_name": self.display_name,
            "icon": self.icon,
            "is_connector": bool(self.is_connector),
            "conversation_id": self.conversation_id,
            "is_processing": bool(getattr(self.agent, "is_processing", False) or self.computer_use_running),
            "created_at": self.created_at,
        }


class SessionRegistry:
    """All sessions of the process, in the order they were made.

    ``agent_factory(session_id)`` makes the agent of a new session. ``chat_task(session_id)``,
    when given, is the chat task the gateway runs for that session (or None), stopped when the
    session is closed. ``store``, when given, keeps the sessions (``save_session``,
    ``delete_session``, ``list_sessions``).
    """

    def __init__(
        self, agent_factory: Callable[[str], Any], chat_task: Callable[[str], Any] | None = None, store: Any = None
    ):
        self._agent_factory = agent_factory
        self._chat_task = chat_task or (lambda session_id: None)
        self._store = store
        self._last_write: asyncio.Future | None = None
        self._closed = False
        self._sessions: dict[str, Session] = {}
        self._add(Session(MAIN_SESSION_ID, agent_factory(MAIN_SESSION_ID), display_name="Main", icon="🏠"))

    def _add(self, session: Session) -> Session:
        self._sessions[session.session_id] = session
        if self._store is not None:
            session.on_change = self._save
            conversation = getattr(session.agent, "conversation", None)
            if conversation is not None and hasattr(conversation, "on_switch"):
                # A resume from a window switches the agent's conversation without the session.
                conversation.on_switch = lambda conv_id, session=session: self._save(session)
        return session

    # -- the stored sessions ----------------------------------------------------------------

    def _write(self, what: str, op: Callable[[], Any]) -> None:
        """Run the store call ``op()`` after the ones asked for before, so the last change stands."""
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            return  # no loop (a session made outside the server); close() writes everything
        previous = self._last_write

        async def run():
            if previous is not None:
                await asyncio.wait([previous])
            try:
                await op()
            except Exception:
                logger.warning("Could not store %s", what, exc_info=True)

        self._last_write = asyncio.ensure_future(run())

    def _save(self, session: Session) -> None:
        if self._store is None or self._closed or self._sessions.get(session.session_id) is not session:
            return
        record = session.to_dict()  # as it is now: a later change queues a later write
        self._write(f"session {log_value(session.session_id)}", lambda: self._store.save_session(record))

    async def close(self) -> None:
        """Store every session as it is now, wait until the store has all of it, and store
        nothing more (at shutdown, before the store closes)."""
        for session in self:
            self._save(session)
        self._closed = True
        if self._last_write is not None:
            await asyncio.wait([self._last_write])

    async def restore(self, connectors: Collection[str] = ()) -> int:
        """Bring back the sessions the store keeps, each agent on its conversation; returns how
        many came back. Main keeps its id and takes its stored name, icon and conversation. A
        stored connector session comes back when its id is in ``connectors`` (the sources this run
        serves) and is left alone otherwise."""
        if self._store is None:
            return 0
        restored = 0
        for row in await self._store.list_sessions():
            session_id = row["session_id"]
            session = self._sessions.get(session_id)
            if session is None:
                if row["is_connector"] and session_id not in connectors:
                    continue
                if not row["is_connector"] and self.user_session_count() >= MAX_USER_SESSIONS:
                    continue
                session = self._add(
                    Session(session_id, self._agent_factory(session_id), is_connector=row["is_connector"])
                )
            session.display_name = row["display_name"]
            session.icon = row["icon"]
            session.created_at = row["created_at"]
            conversation = getattr(session.agent, "conversation", None)
            if row["conversation_id"] and conversation is not None:
                try:
                    await conversation.resume_conversation(row["conversation_id"])
                except LookupError:
                    pass  # tidied away while empty: start() gives the session a new one
            restored += 1
        logger.info("Restored %d stored session%s", restored, "" if restored == 1 else "s")
        return restored

    # -- the sessions -----------------------------------------------------------------------

    def get(self, session_id: Any) -> Session | None:
        if not isinstance(session_id, str):
            return None
        return self._sessions.get(session_id)

    def __iter__(self):
        return iter(list(self._sessions.values()))

    async def _start_conversation(self, session: Session) -> None:
        conversation = getattr(session.agent, "conversation", None)
        if conversation is not None:
            session.conversation_id = await conversation.start_conversation()

    async def start(self) -> None:
        """Give every session that has none a current conversation (called at start-up)."""
        for session in self:
            if not session.conversation_id:
                await self._start_conversation(session)

    async def create_session(
        self,
        display_name: str = "New Chat",
        icon: str = "💬",
        is_connector: bool = False,
        session_id: str | None = None,
    ) -> Session:
        if not is_connector and self.user_session_count() >= MAX_USER_SESSIONS:
            logger.warning("Session limit reached (%d user sessions); no new session made", MAX_USER_SESSIONS)
            raise SessionLimitReached(f"at most {MAX_USER_SESSIONS} sessions can be open; close one first")
        if session_id is None:
            session_id = ("connector_" if is_connector else "session_") + uuid.uuid4().hex[:10]
        elif session_id in self._sessions:
            raise ValueError(f"session {session_id!r} exists already")
        session = Session(session_id, self._agent_factory(session_id), display_name, icon, bool(is_connector))
        self._add(session)
        self._save(session)
        await self._start_conversation(session)
        logger.info("Session %s created (%s)", log_value(session_id), "connector" if is_connector else "user")
        return session

    def user_session_count(self) -> int:
        return sum(1 for s in self._sessions.values() if s.session_id != MAIN_SESSION_ID and not s.is_connector)

    async def close_session(self, session_id: Any) -> bool:
        """Remove a session and stop its work.

        The main session cannot be closed, nor can a connector session: it belongs to its external
        source, whose messages would find no session until a restart.
        """
        if session_id == MAIN_SESSION_ID:
            return False
        session = self.get(session_id)
        if session is None or session.is_connector:
            return False
        del self._sessions[session_id]
        if self._store is not None and not self._closed:
            self._write(f"the close of session {log_value(session_id)}", lambda: self._store.delete_session(session_id))
        self._stop_work(session)
        conv_id = session.conversation_id
        store = getattr(session.agent, "_memory", None)
        if conv_id and store is not None and hasattr(store, "delete_conversation_if_empty"):
            try:
                await store.delete_conversation_if_empty(conv_id)
            except Exception:
                logger.debug(
                    "Could not tidy the conversation of closed session %s", log_value(session_id), exc_info=True
                )
        logger.info("Session %s closed", log_value(session_id))
        return True

    def _stop_work(self, session: Session) -> None:
        if session.agent:
            session.agent.cancel()
        task = self._chat_task(session.session_id)
        if task is not None and not task.done():
            task.cancel()
        for task in list(session.host_tasks):
            if not task.done():
                task.cancel()

    def list_sessions(self) -> list[dict]:
        return [s.to_dict() for s in self._sessions.values()]

    async def new_conversation_in_session(self, session_id: str) -> str:
        session = self.get(session_id)
        if session is None:
            raise KeyError(session_id)
        old_id = session.conversation_id
        conv_id = await session.agent.conversation.start_conversation()
        session.conversation_id = conv_id
        store = getattr(session.agent, "_memory", None)
        if old_id and old_id != conv_id and store is not None and hasattr(store, "delete_conversation_if_empty"):
            await store.delete_conversation_if_empty(old_id)
        return conv_id


_registry: SessionRegistry | None = None


def _default_agent_factory(session_id: str):
    # Until the server wires the registry to its data directory, sessions keep their
    # conversations in memory.
    from tavrin.core.agents import DemoAgent
    from tavrin.core.guardrails import Guardrails
    from tavrin.core.store import ConversationStore

    global _fallback
    if _fallback is None:
        _fallback = (ConversationStore(":memory:"), Guardrails())
    return DemoAgent(*_fallback, session_id)


_fallback: tuple[ConversationStore, Guardrails] | None = None


def get_registry() -> SessionRegistry:
    """The registry of this process."""
    global _registry
    if _registry is None:
        _registry = SessionRegistry(_default_agent_factory)
    return _registry


def set_registry(registry: SessionRegistry | None) -> None:
    """Install the registry the server built (None: a fresh default one on next use)."""
    global _registry
    _registry = registry
