"""The JSON routes under /api: sessions, stored conversations (listed and searched a page at a
time, renamed, deleted with a way back, exported), pending approvals, the heartbeat's state, and
the connector inbox.

Each route reads what it needs from its application at each request: ``app.state.config`` and
``app.state.shared``, the state the server publishes (``get_state()``), filled at start-up.
"""

# No ``from __future__ import annotations`` here: FastAPI reads the annotations of the route
# functions below (``Request`` and the like) when they are defined.
import asyncio
import json
import math
import time
from typing import Any
from urllib.parse import quote

from fastapi import APIRouter, HTTPException, Query, Request
from fastapi.responses import JSONResponse, Response
from starlette.requests import ClientDisconnect

from tavrin.core import export
from tavrin.core.session_registry import get_registry
from tavrin.core.store import UNDO_SECONDS
from tavrin.gateway.host_turns import broadcast, spawn, start_host_turn
from tavrin.gateway.security import allowed_origins

MAX_CONNECTOR_TEXT = 20_000
# A connector request body is refused past this size, before (or while) it is read.
MAX_CONNECTOR_BODY = 1024 * 1024
# Connector messages that may wait behind the running turn of their session; more answer 429.
MAX_QUEUED_CONNECTOR_MESSAGES = 20
# A refusal's note: a few thousand characters of JSON at most.
MAX_NOTE_BODY = 16 * 1024
# How long ``?wait=true`` waits for the turn before answering that it is still running.
CONNECTOR_WAIT_SECONDS = 60.0
# Conversations in one page of the list (a client may ask for up to MAX_LIST_PAGE).
LIST_PAGE = 50
MAX_LIST_PAGE = 500

router = APIRouter(prefix="/api")

# Every integer a client sends fits the store's 64-bit integers; one outside is a 400 (see
# ``bad_request``), never an overflow deep in SQLite.
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


def _int64(default):
    return Query(default, ge=INT64_MIN, le=INT64_MAX)


async def bad_request(request: Request, exc) -> JSONResponse:
    """A query parameter that is not what the route takes (a number out of range, a word for a
    number): 400, saying which one."""
    errors = exc.errors() if hasattr(exc, "errors") else []
    where = next((".".join(str(p) for p in e.get("loc", ())[1:]) for e in errors if e.get("loc")), "")
    what = next((e.get("msg") for e in errors if e.get("msg")), "invalid")
    return JSONResponse(status_code=400, content={"detail": f"Bad parameter {where}: {what}" if where else what})


def _shared(request: Request) -> dict[str, Any]:
    return request.app.state.shared


def _store(request: Request):
    memory = _shared(request).get("memory")
    if memory is None:
        raise HTTPException(status_code=503, detail="Not ready")
    return memory


@router.get("/health")
async def health(request: Request):
    # "now": the server's clock, which the stored rows' times are read on.
    return {"status": "ok", "started_at": getattr(request.app.state, "started_at", None), "now": time.time()}


@router.get("/sessions")
async def sessions():
    return {"sessions": get_registry().list_sessions()}


@router.get("/sessions/{session_id}/conversations")
async def session_conversations(request: Request, session_id: str, all: bool = False, limit: int = _int64(50)):
    session = get_registry().get(session_id)
    conversations = await _store(request).list_conversations(None if all else session_id, limit=min(max(limit, 1), 500))
    return {
        "session_id": session_id,
        "current": session.conversation_id if session else None,
        "conversations": conversations,
    }


@router.get("/conversations/{conversation_id}/messages")
async def conversation_messages(
    request: Request,
    conversation_id: str,
    limit: int = _int64(200),
    before: int | None = Query(None, ge=0, le=INT64_MAX),
):
    """A page of the conversation's history: the latest rows older than row ``before`` (the
    latest of all without it), whole turns, oldest first; ``has_more`` says whether older rows remain."""
    store = _store(request)
    conversation = await store.get_conversation(conversation_id)
    if conversation is None:
        raise HTTPException(status_code=404, detail="Unknown conversation")
    messages, has_more = await store.get_messages_page(conversation_id, before, limit=min(max(limit, 0), 500))
    return {"conversation": conversation, "messages": messages, "has_more": has_more}


@router.get("/conversations")
async def conversations(
    request: Request, q: str | None = None, cursor: str | None = None, limit: int = _int64(LIST_PAGE)
):
    """The conversations of every tab, most recently active first, a page at a time: ``cursor``
    is the ``next`` of the page before. With ``q``, those whose title or words match, each with
    the matching words (``snippet``: [text, is_match] pieces). Each names its tab (``tab``: id,
    name, icon), or null when that tab is closed."""
    store = _store(request)
    after = _read_cursor(cursor) if cursor else None
    query = q if q is not None and q.strip() else None
    page, more = await store.conversations_page(query, after, limit=min(max(limit, 1), MAX_LIST_PAGE))
    registry = get_registry()
    for conv in page:
        session = registry.get(conv["session_id"])
        conv["tab"] = (
            {"session_id": session.session_id, "name": session.display_name, "icon": session.icon} if session else None
        )
    last = page[-1] if page and more else None
    return {"conversations": page, "next": f"{last['updated_at']!r}~{last['id']}" if last is not None else None}


def _read_cursor(cursor: str) -> tuple[float, str]:
    when, _, conv_id = cursor.partition("~")
    try:
        at = float(when)
    except ValueError:
        raise HTTPException(status_code=400, detail="Bad cursor") from None
    if not math.isfinite(at):
        raise HTTPException(status_code=400, detail="Bad cursor")
    return at, conv_id


@router.patch("/conversations/{conversation_id}")
async def rename_conversation(request: Request, conversation_id: str):
    """A new title for a conversation. Body: {"title": "..."}; every window hears of it."""
    _require_same_origin(request)
    body = await read_json_body(request, MAX_NOTE_BODY)
    title = body.get("title") if isinstance(body, dict) else None
    if not isinstance(title, str) or not title.strip():
        raise HTTPException(status_code=400, detail='"title" must be a non-empty string')
    store = _store(request)
    if not await store.rename_conversation(conversation_id, title, by_user=True):
        raise HTTPException(status_code=404, detail="Unknown conversation")
    conversation = await store.get_conversation(conversation_id)
    await broadcast(
        {"type": "conversation_renamed", "conversation_id": conversation_id, "title": conversation["title"]}
    )
    return conversation


@router.post("/conversations/{conversation_id}/branch")
async def branch_conversation(request: Request, conversation_id: str):
    """Versions of a conversation. Body {"from": message id}: the next message starts a branch
    beside that user message (an edit of it, or it answered again), the branch it was kept;
    {"show": message id}: the branch through that version goes on view. Every window redraws
    the conversation ("conversation_branched"). 409 while a turn runs in it, 404 for a message
    that is not a user message of it (on view, for "from")."""
    _require_same_origin(request)
    body = await read_json_body(request, MAX_NOTE_BODY)
    if not isinstance(body, dict) or len(body) != 1 or not ({"from", "show"} & set(body)):
        raise HTTPException(status_code=400, detail='the body must be {"from": id} or {"show": id}')
    ((how, message_id),) = body.items()
    if type(message_id) is not int or not 0 < message_id < 1 << 63:
        raise HTTPException(status_code=400, detail=f'"{how}" must be a message id')
    store = _store(request)
    if await store.get_conversation(conversation_id) is None:
        raise HTTPException(status_code=404, detail="Unknown conversation")
    if any(_busy(s) for s in get_registry() if s.conversation_id == conversation_id):
        raise HTTPException(status_code=409, detail="A turn is running in this conversation: stop it first")
    changed = await (store.branch_from if how == "from" else store.show_version)(conversation_id, message_id)
    if not changed:
        raise HTTPException(status_code=404, detail="No such message in this conversation")
    await broadcast({"type": "conversation_branched", "conversation_id": conversation_id})
    return {"conversation_id": conversation_id, how: message_id}


@router.delete("/conversations/{conversation_id}")
async def delete_conversation(request: Request, conversation_id: str):
    """Delete a conversation, restorable for ``undo_seconds``. A tab that was on it starts a new
    conversation (told to every window as ``conversation_started``); a restore in time brings the
    tab back to it. 409 while a turn runs in it: the user stops the turn first."""
    _require_same_origin(request)
    store = _store(request)
    if await store.get_conversation(conversation_id) is None:
        raise HTTPException(status_code=404, detail="Unknown conversation")
    registry = get_registry()
    on_it = [s for s in registry if s.conversation_id == conversation_id]
    if any(_busy(s) for s in on_it):
        raise HTTPException(status_code=409, detail="A turn is running in this conversation: stop it first")
    await store.delete_conversation(conversation_id)
    moved = []
    for session in on_it:
        new_id = await registry.new_conversation_in_session(session.session_id)
        moved.append((session.session_id, new_id))
        await broadcast({"type": "conversation_started", "conversation_id": new_id, "session_id": session.session_id})
    _moved_tabs(request)[conversation_id] = moved
    await broadcast({"type": "conversations_changed"})
    spawn(_purge_later(store, _moved_tabs(request), conversation_id), "purge-deleted")
    return {
        "conversation_id": conversation_id,
        "deleted": True,
        "undo_seconds": UNDO_SECONDS,
        "new_conversations": dict(moved),
    }


@router.post("/conversations/{conversation_id}/restore")
async def restore_conversation(request: Request, conversation_id: str):
    """Undo a deletion still within its time. A tab the deletion moved to a new conversation comes
    back to this one, unless the tab has gone on meanwhile (a message in the new one, another
    conversation resumed)."""
    _require_same_origin(request)
    store = _store(request)
    if not await store.restore_conversation(conversation_id):
        raise HTTPException(status_code=404, detail="Nothing to restore: the conversation is gone")
    registry = get_registry()
    back = []
    for session_id, new_id in _moved_tabs(request).pop(conversation_id, ()):
        session = registry.get(session_id)
        if session is None or session.conversation_id != new_id or _busy(session):
            continue
        if await store.get_messages(new_id, limit=1):
            continue
        await session.agent.conversation.resume_conversation(conversation_id)
        await store.delete_conversation_if_empty(new_id)
        messages = await store.get_messages(conversation_id, limit=200)
        await broadcast(
            {
                "type": "conversation_resumed",
                "conversation_id": conversation_id,
                "session_id": session_id,
                "messages": messages,
            }
        )
        back.append(session_id)
    await broadcast({"type": "conversations_changed"})
    return {"conversation_id": conversation_id, "restored": True, "sessions": back}


@router.get("/conversations/{conversation_id}/export")
async def export_conversation(request: Request, conversation_id: str, format: str = "md"):
    """The whole conversation as a file: ``format=md`` (to read) or ``json`` (every message with
    its role, content, meta and time)."""
    if format not in ("md", "json"):
        raise HTTPException(status_code=400, detail='format must be "md" or "json"')
    data = await _store(request).export_conversation(conversation_id)
    if data is None:
        raise HTTPException(status_code=404, detail="Unknown conversation")
    session = get_registry().get(data["conversation"]["session_id"])
    tab = session.display_name if session else None
    if format == "json":
        body, media = export.to_json(data, tab), "application/json"
    else:
        body, media = export.to_markdown(data, tab), "text/markdown; charset=utf-8"
    name, ascii_name = export.filename(data["conversation"]["title"], format)
    disposition = f"attachment; filename=\"{ascii_name}\"; filename*=UTF-8''{quote(name, safe='')}"
    return Response(body, media_type=media, headers={"Content-Disposition": disposition})


def _busy(session) -> bool:
    return bool(session.to_dict()["is_processing"]) or any(not t.done() for t in session.host_tasks)


def _moved_tabs(request: Request) -> dict[str, list[tuple[str, str]]]:
    """conversation id -> [(session id, the new conversation it was given)] for each deletion
    that may still be undone."""
    state = request.app.state
    if not hasattr(state, "moved_tabs"):
        state.moved_tabs = {}
    return state.moved_tabs


async def _purge_later(store, moved_tabs: dict, conversation_id: str) -> None:
    await asyncio.sleep(UNDO_SECONDS + 1)
    await store.purge_deleted()
    if await store.get_conversation(conversation_id) is None:
        moved_tabs.pop(conversation_id, None)


@router.get("/approvals")
async def approvals(request: Request):
    guardrails = _shared(request).get("guardrails")
    return {"approvals": guardrails.pending() if guardrails else []}


@router.get("/approvals/{approval_id}/file")
async def approval_file(request: Request, approval_id: str):
    """What the file a pending ``write_file`` would replace holds now, so that the page shows the
    change before it is approved: {"path", "exists", "content", "note"}. 404 when no such write
    is pending; 400 when its path is refused (the data directory), as the write itself would be."""
    from tavrin.core.tools import ToolError, write_file

    guardrails = _shared(request).get("guardrails")
    pending = next((a for a in (guardrails.pending() if guardrails else []) if a["approval_id"] == approval_id), None)
    if pending is None or pending["tool"] != write_file.NAME or not isinstance(pending["arguments"], dict):
        raise HTTPException(status_code=404, detail="No such pending write")
    session = get_registry().get(pending["session_id"]) if pending.get("session_id") else None
    agent = getattr(session, "agent", None) or _shared(request).get("agent")
    try:
        return await write_file.current(pending["arguments"], _tool_context(agent, request.app.state.config))
    except ToolError as exc:
        raise HTTPException(status_code=400, detail=str(exc)) from None


def _tool_context(agent, config):
    """The context the agent's tools run in: its folder for relative paths, the data directory
    off limits."""
    from pathlib import Path

    from tavrin.core.tools import ToolContext

    cwd = getattr(agent, "cwd", None)
    return ToolContext(
        cwd=cwd if isinstance(cwd, Path) else Path.home(), off_limits=(Path(config.data_dir).expanduser(),)
    )


@router.post("/approvals/{approval_id}/note")
async def approval_note(request: Request, approval_id: str):
    """The user's note on a pending approval, sent just before they reject it: the agent gets it
    as the reason. Body: {"note": "..."}. 404 when the approval is no longer pending."""
    _require_same_origin(request)
    body = await read_json_body(request, MAX_NOTE_BODY)
    note = body.get("note") if isinstance(body, dict) else None
    if not isinstance(note, str):
        raise HTTPException(status_code=400, detail='"note" must be a string')
    guardrails = _shared(request).get("guardrails")
    if not guardrails or not guardrails.leave_note(approval_id, note):
        raise HTTPException(status_code=404, detail="No such pending approval")
    return {"approval_id": approval_id, "noted": True}


@router.get("/mcp")
async def mcp_status(request: Request):
    """The configured MCP servers, each with its state ("starting", "up", "down"), its last error
    and its tools, and the warnings about them as a whole."""
    shared = _shared(request)
    config = shared.get("config")
    configured = list(getattr(config, "mcp_servers", None) or [])
    hub = shared.get("mcp")
    if hub is not None:
        return {"servers": hub.status(), "warnings": []}
    warnings = []
    if configured:
        warnings.append("These servers are not started: their tools go only to an agent on a model (--model).")
    from tavrin.core.mcp_tools import shown_target

    servers = [
        {
            "name": c.name,
            "transport": "stdio" if c.is_stdio else "http",
            "target": shown_target(c),
            "state": "off",
            "error": None,
            "restarts": 0,
            "tools": [],
        }
        for c in configured
    ]
    return {"servers": servers, "warnings": warnings}


@router.get("/heartbeat")
async def heartbeat_status(request: Request):
    heartbeat = _shared(request).get("heartbeat")
    if heartbeat is None:
        raise HTTPException(status_code=503, detail="Not ready")
    return heartbeat.status()


# -- the connector inbox -------------------------------------------------------------------------


@router.post("/connectors/{session_id}/messages")
async def connector_message(session_id: str, request: Request, wait: bool = False):
    """A message from an external connector: runs a turn in that connector session.

    Body: {"text": "...", "sender": "..."}. Answers 202 at once; with ``?wait=true`` it
    answers when the turn is over, with the agent's reply.
    """
    _require_same_origin(request)
    text, sender = await _connector_message(request)
    session = _connector_session(session_id)
    heartbeat = _shared(request).get("heartbeat")
    if heartbeat:
        heartbeat.reset_consecutive()  # a person wrote: the heartbeat's count starts again
    intro = {"type": "connector_message", "sender": sender[:100], "content": text}
    task = start_host_turn(session, text.strip(), intro, f"connector-{session_id}")
    accepted = {"accepted": True, "session_id": session_id, "conversation_id": session.conversation_id}
    if not wait:
        return JSONResponse(status_code=202, content=accepted)
    # Shielded: neither a connector that hangs up nor the wait running out cancels the turn.
    try:
        reply = await asyncio.wait_for(asyncio.shield(task), CONNECTOR_WAIT_SECONDS)
    except TimeoutError:
        return JSONResponse(status_code=202, content={**accepted, "finished": False})
    return {"session_id": session_id, "reply": reply}


def _require_same_origin(request: Request) -> None:
    # A page from another site must not drive the agent through this machine's browser.
    origin = request.headers.get("origin")
    if origin is not None and origin not in allowed_origins(request.app.state.config):
        raise HTTPException(status_code=403, detail="Origin not allowed")


async def _connector_message(request: Request) -> tuple[str, str]:
    """The text and the sender of a connector's message, refused with the first fault found."""
    content_type = request.headers.get("content-type", "").split(";")[0].strip().lower()
    if content_type != "application/json":
        raise HTTPException(status_code=415, detail="Send JSON")
    body = await read_json_body(request, MAX_CONNECTOR_BODY)
    if not isinstance(body, dict):
        raise HTTPException(status_code=400, detail="Body must be a JSON object")
    text, sender = body.get("text"), body.get("sender", "connector")
    if not isinstance(text, str) or not text.strip():
        raise HTTPException(status_code=400, detail='"text" must be a non-empty string')
    if len(text) > MAX_CONNECTOR_TEXT:
        raise HTTPException(status_code=413, detail="Message too long")
    if not isinstance(sender, str):
        raise HTTPException(status_code=400, detail='"sender" must be a string')
    return text, sender


def _connector_session(session_id: str):
    """The connector session a message is for, with room for one more message in its queue."""
    session = get_registry().get(session_id)
    if session is None or not session.is_connector or not session.agent:
        raise HTTPException(status_code=404, detail="No such connector session")
    # One turn runs at a time in a session; only a few more may wait behind it.
    if sum(not t.done() for t in session.host_tasks) > MAX_QUEUED_CONNECTOR_MESSAGES:
        raise HTTPException(status_code=429, detail="Too many messages waiting in this session; try again later")
    return session


def _no_constant(name: str):
    raise ValueError(f"{name} is not JSON")


async def read_json_body(request, limit: int):
    """The request's JSON body, read at most ``limit`` bytes far.

    A declared length over the limit is refused before anything is read; a body sent without one
    is cut off as soon as it passes the limit. Malformed JSON, and JSON nested deeper than the
    parser can take, are 400. Every refusal is an HTTP error with a JSON body.
    """
    too_large = HTTPException(status_code=413, detail=f"Body too large (at most {limit} bytes)")
    declared = request.headers.get("content-length")
    if declared is not None:
        if not (declared.isascii() and declared.isdigit()):
            raise HTTPException(status_code=400, detail="Bad Content-Length")
        if int(declared) > limit:
            raise too_large
    chunks, size = [], 0
    try:
        async for chunk in request.stream():
            size += len(chunk)
            if size > limit:
                raise too_large
            chunks.append(chunk)
    except ClientDisconnect:
        # Gone, or cut off for sending too slowly: the answer goes nowhere, but ends the request quietly.
        raise HTTPException(status_code=400, detail="The body did not arrive") from None
    try:
        return json.loads(b"".join(chunks), parse_constant=_no_constant)
    except RecursionError:
        raise HTTPException(status_code=400, detail="Body is nested too deeply") from None
    except ValueError:
        raise HTTPException(status_code=400, detail="Body is not valid JSON") from None
