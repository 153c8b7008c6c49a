"""WebSocket handler for real-time chat with the agent."""

import asyncio
import json as json
import weakref
import logging as logging
from collections.abc import Collection
from typing import Any

from fastapi import APIRouter as APIRouter, WebSocket as WebSocket, WebSocketDisconnect as WebSocketDisconnect

logger: logging.Logger
_FORCE_CU_KEYWORDS: set[str]
_MAX_WS_CONNECTIONS: int
_DEFAULT_SESSION_ID: str
_active_tasks: dict[str, asyncio.Task[None]]
_ALLOWED_ORIGINS: Collection[str] | None
# Seconds any awaited send may wait; a client whose send timed out is closed with 1013 "Client too slow".
_SEND_TIMEOUT_SECONDS: float | None
# Chats one connection may have under way at once; None: no bound.
_MAX_PENDING_CHATS: int | None
# A broadcast's send that suspends is finished by its client's own writer; off: each send awaited in turn.
_FAIR_BROADCAST: bool
_SESSION_STREAMS: bool
_DETACHED_GRACE_SECONDS: float | None
_STREAM_RETAIN_EVENTS: int | None
_STREAM_RETAIN_BYTES: int | None
_session_streams: dict[str, SessionStream]
_endpoint_tasks: weakref.WeakValueDictionary[int, asyncio.Task[None]]
_slow_clients: weakref.WeakValueDictionary[int, asyncio.Task[None]]

class ConnectionManager:
    """Manages active WebSocket connections."""

    _connections: list[WebSocket]
    def __init__(self) -> None: ...
    async def connect(self, ws: WebSocket) -> bool:
        """Accept a WebSocket connection. Returns False if limit is reached."""
    def disconnect(self, ws: WebSocket) -> None: ...
    async def broadcast(self, message: dict[str, Any]) -> None: ...
    async def broadcast_to_session(self, session_id: str, message: dict[str, Any]) -> None:
        """Broadcast a message tagged with session_id to all connected clients."""

manager: ConnectionManager

class SessionStream:
    """The event stream of one session: numbered, kept, and sent to every attached connection."""

    def __init__(self, session_id: str) -> None: ...
    @property
    def session_id(self) -> str: ...
    @property
    def seq(self) -> int: ...
    @property
    def first_seq(self) -> int: ...
    @property
    def attached(self) -> list[WebSocket]: ...
    def send_json(self, data: dict[str, Any], /) -> Any:
        """Number the event ("seq"), keep it in the session's journal and send it to every attached connection."""
    def attach(self, ws: WebSocket, /) -> None:
        """Attach a connection: it receives the events from now on."""
    def detach(self, ws: WebSocket, /) -> None:
        """Detach a connection."""

def create_ws_router() -> APIRouter: ...
def _reset_state() -> None:
    """Empty every registry the module keeps (for tests)."""

async def _handle_message(ws: WebSocket, message: dict[str, Any]) -> None:
    """Route incoming WebSocket messages."""

async def _handle_chat(ws: WebSocket, message: dict[str, Any]) -> None: ...
async def _handle_standard_chat(
    ws: WebSocket,
    agent: Any,
    user_text: str,
    attachments: list[dict[str, str]] | None = None,
    session_lock: asyncio.Lock | None = None,
    session_id: str = "session_main",
) -> None: ...
async def _handle_computer_use_chat(
    ws: WebSocket, cu_agent: Any, user_text: str, session_id: str = "session_main"
) -> None: ...
async def _watchdog(agent: Any, session_id: str, poll_interval: int = 15) -> None: ...
def _should_use_computer_use(message: str) -> bool: ...
def _get_session(session_id: str | None) -> Any | None: ...
async def _handle_approval(ws: WebSocket, message: dict[str, Any]) -> None: ...
async def _handle_stop_task(ws: WebSocket, message: dict[str, Any]) -> None: ...
async def _handle_new_session(ws: WebSocket, message: dict[str, Any]) -> None: ...
async def _handle_close_session(ws: WebSocket, message: dict[str, Any]) -> None: ...
async def _handle_list_sessions(ws: WebSocket) -> None: ...
async def _handle_new_conversation(ws: WebSocket, message: dict[str, Any]) -> None:
    """Start a new conversation within a session (clears chat history for that session)."""

async def _handle_resume_conversation(ws: WebSocket, message: dict[str, Any]) -> None: ...
async def _handle_clear_session_history(ws: WebSocket, message: dict[str, Any]) -> None:
    """Clear all stored messages for a connector session and start a fresh conversation.

    The stored messages of the session's current conversation (and with them its summary) are
    deleted and a new conversation begins, so the agent starts from a clean context on the
    next message. User sessions are refused.
    """

async def _handle_heartbeat_control(ws: WebSocket, message: dict[str, Any]) -> None: ...
async def _handle_attach(ws: WebSocket, message: dict[str, Any]) -> None:
    """Attach the connection to a session's stream, replaying what it missed."""
