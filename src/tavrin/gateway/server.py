"""The Tavrin server: the application state, the HTTP routes and the start-up wiring.

``create_app()`` builds the FastAPI application: the WebSocket gateway at "/ws", the web UI
at "/", and a few JSON routes (sessions, stored conversations, pending approvals, the
heartbeat's state, and the connector inbox). At start-up it opens the conversation store
in the data directory, builds the session registry with its agents, the Computer Use
agent, the guardrails and the heartbeat controller, and publishes them in the state that
``get_state()`` returns; at shutdown it stops the heartbeat and every running host turn.

The ``tavrin-gateway`` command is ``tavrin.gateway.cli``; ``python -m tavrin.gateway.server``
runs it too.
"""

# No ``from __future__ import annotations`` here: FastAPI reads the annotations of the route
# functions below (``Request`` and the like) when they are defined, inside ``_api_router``.
import asyncio
import json
import logging
import sys
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any

from tavrin.config import AppConfig, load_config

logger = logging.getLogger("tavrin.server")

STATIC_DIR = Path(__file__).parent / "static"
CONNECTOR_SESSION_ID = "connector_inbox"
MAX_CONNECTOR_TEXT = 20_000
# A connector request body is refused past this size, before (or while) it is read.
MAX_CONNECTOR_BODY = 1024 * 1024
# Connector messages that may wait behind the running turn of their session; more answer 429.
MAX_QUEUED_CONNECTOR_MESSAGES = 20
# How long ``?wait=true`` waits for the turn before answering that it is still running.
CONNECTOR_WAIT_SECONDS = 60.0

# The global agent lock, for turns of the fallback agent when the state names no lock of
# its own. Replaced at every start-up so that it belongs to the running event loop.
_agent_lock = asyncio.Lock()

_STATE_KEYS = ("agent", "cu_agent", "heartbeat", "_agent_lock_fallback", "memory", "guardrails", "config")
_state: dict[str, Any] = dict.fromkeys(_STATE_KEYS)


def get_state() -> dict[str, Any]:
    """The application state: the shared objects the gateway reaches by key."""
    return _state


def allowed_origins(config: AppConfig) -> set[str]:
    """The page origins of this server: each name it answers to, with its port."""
    from tavrin.gateway.security import allowed_host_names

    return {f"http://{name}:{config.port}" for name in allowed_host_names(config.host)}


def _configure_gateway(config: AppConfig) -> None:
    """Set the gateway's module settings for this server (those the gateway offers): which page
    origins may open a WebSocket, and whether turns talk to session streams."""
    from tavrin.gateway import ws

    if hasattr(ws, "_ALLOWED_ORIGINS"):
        ws._ALLOWED_ORIGINS = allowed_origins(config)
    if hasattr(ws, "_SESSION_STREAMS"):
        ws._SESSION_STREAMS = bool(config.session_streams)


# -- start-up and shutdown ---------------------------------------------------------------------


def _chat_tasks():
    """The gateway's map of running chat tasks by session, read at each use (empty without it)."""
    try:
        from tavrin.gateway.ws import _active_tasks
    except ImportError:
        return {}
    return _active_tasks


def chat_task(session_id: str):
    """The chat task the gateway runs in ``session_id``, or None."""
    return _chat_tasks().get(session_id)


def chat_session():
    """The session whose chat task runs the caller: Main when it is no chat task."""
    from tavrin.core.session_registry import MAIN_SESSION_ID, get_registry

    task = asyncio.current_task()
    found = None
    if task is not None:
        found = next((sid for sid, registered in list(_chat_tasks().items()) if registered is task), None)
    return get_registry().get(found or MAIN_SESSION_ID)


async def startup(config: AppConfig) -> None:
    from tavrin.core.agents import DemoAgent
    from tavrin.core.computer_use_agent import DemoComputerUseAgent
    from tavrin.core.guardrails import Guardrails
    from tavrin.core.heartbeat_controller import HeartbeatController
    from tavrin.core.history import computer_use_journal
    from tavrin.core.session_registry import SessionRegistry, set_registry
    from tavrin.core.store import ConversationStore
    from tavrin.gateway.host_turns import announce_decision, announce_withdrawal, broadcast, deliver_heartbeat
    from tavrin.gateway.startup_checks import STORE_FILE, prepare_store_file

    global _agent_lock
    _agent_lock = asyncio.Lock()

    data_dir = Path(config.data_dir).expanduser()
    data_dir.mkdir(parents=True, exist_ok=True)
    prepare_store_file(data_dir / STORE_FILE)
    store = ConversationStore(data_dir / STORE_FILE)
    # Turns the last run left open were cut short by its end: record them as interrupted.
    await store.interrupt_open_turns()
    guardrails = Guardrails(
        config.heartbeat.blocked_ops, on_resolved=announce_decision, on_withdrawn=announce_withdrawal
    )

    def make_agent(session_id: str | None) -> DemoAgent:
        return DemoAgent(store, guardrails, session_id, step_delay=config.demo_step_delay)

    registry = SessionRegistry(make_agent, chat_task=chat_task)
    await registry.create_session(
        display_name="Inbox", icon="📨", is_connector=True, session_id=CONNECTOR_SESSION_ID
    )
    await registry.start()
    set_registry(registry)

    try:
        import tavrin.core.heartbeat  # noqa: F401  (the native runner the controller drives)
    except ImportError:
        # Without the runner there is no heartbeat to offer: the clients are told
        # "Heartbeat not initialized" rather than losing their connection on "start".
        logger.warning("Heartbeat runner not available; the heartbeat is off")
        heartbeat = None
    else:
        heartbeat = HeartbeatController(config.heartbeat, deliver=deliver_heartbeat, broadcast=broadcast)
    _state.update(
        agent=make_agent(None),
        cu_agent=DemoComputerUseAgent(step_delay=config.demo_step_delay, journal=computer_use_journal(store, chat_session)),
        heartbeat=heartbeat,
        _agent_lock_fallback=asyncio.Lock(),
        memory=store,
        guardrails=guardrails,
        config=config,
    )
    if heartbeat is not None and config.heartbeat.enabled:
        heartbeat.start(config.heartbeat.interval_seconds)
    logger.info("Tavrin host started (data directory %s)", data_dir)


async def shutdown() -> None:
    from tavrin.core.session_registry import get_registry, set_registry
    from tavrin.gateway.host_turns import side_tasks

    heartbeat = _state.get("heartbeat")
    if heartbeat is not None:
        heartbeat.stop()
    registry = get_registry()
    pending = list(side_tasks)
    for session in registry:
        if session.agent:
            session.agent.cancel()
        pending.extend(session.host_tasks)
    for task in pending:
        task.cancel()
    if pending:
        await asyncio.gather(*pending, return_exceptions=True)
    store = _state.get("memory")
    if store is not None:
        store.close()
    _state.update(dict.fromkeys(_STATE_KEYS))
    set_registry(None)


# -- the application ---------------------------------------------------------------------------


def create_app(config: AppConfig | None = None):
    from fastapi import FastAPI
    from fastapi.responses import FileResponse
    from fastapi.staticfiles import StaticFiles

    from tavrin.gateway import ws
    from tavrin.gateway.security import AccessGuard

    config = config or load_config()
    _configure_gateway(config)

    @asynccontextmanager
    async def lifespan(app):
        await startup(config)
        try:
            yield
        finally:
            await shutdown()

    app = FastAPI(title="Tavrin", lifespan=lifespan, docs_url=None, redoc_url=None, openapi_url=None)
    app.state.config = config
    app.include_router(ws.create_ws_router())
    app.include_router(_api_router(config))
    app.mount("/static", StaticFiles(directory=STATIC_DIR), name="static")
    # Outermost, around Starlette's own error handler too, so that its 500 carries the security
    # headers as well: the Host allow-list, the access token and the security headers.
    build_stack = app.build_middleware_stack
    app.build_middleware_stack = lambda: AccessGuard(
        build_stack(), token=config.token, host_and_port=lambda: (config.host, config.port))

    @app.get("/", include_in_schema=False)
    async def index():
        return FileResponse(STATIC_DIR / "index.html", headers={"Cache-Control": "no-store"})

    return app


def _api_router(config: AppConfig):
    from fastapi import APIRouter, HTTPException, Request
    from fastapi.responses import JSONResponse

    from tavrin.core.session_registry import get_registry
    from tavrin.gateway.host_turns import run_host_turn, spawn

    router = APIRouter(prefix="/api")

    def require_same_origin(request: Request) -> None:
        # A page from another site must not drive the agent through this machine's browser.
        origin = request.headers.get("origin")
        if origin is not None and origin not in allowed_origins(config):
            raise HTTPException(status_code=403, detail="Origin not allowed")

    def store():
        memory = _state.get("memory")
        if memory is None:
            raise HTTPException(status_code=503, detail="Not ready")
        return memory

    @router.get("/health")
    async def health():
        return {"status": "ok"}

    @router.get("/sessions")
    async def sessions():
        return {"sessions": get_registry().list_sessions()}

    @router.get("/sessions/{session_id}/conversations")
    async def session_conversations(session_id: str, all: bool = False, limit: int = 50):
        session = get_registry().get(session_id)
        conversations = await store().list_conversations(None if all else session_id, limit=min(max(limit, 1), 500))
        return {
            "session_id": session_id,
            "current": session.conversation_id if session else None,
            "conversations": conversations,
        }

    @router.get("/conversations/{conversation_id}/messages")
    async def conversation_messages(conversation_id: str, limit: int = 200):
        conversation = await store().get_conversation(conversation_id)
        if conversation is None:
            raise HTTPException(status_code=404, detail="Unknown conversation")
        messages = await store().get_messages(conversation_id, limit=min(max(limit, 0), 200))
        return {"conversation": conversation, "messages": messages}

    @router.get("/approvals")
    async def approvals():
        guardrails = _state.get("guardrails")
        return {"approvals": guardrails.pending() if guardrails else []}

    @router.get("/heartbeat")
    async def heartbeat_status():
        heartbeat = _state.get("heartbeat")
        if heartbeat is None:
            raise HTTPException(status_code=503, detail="Not ready")
        return heartbeat.status()

    @router.post("/connectors/{session_id}/messages")
    async def connector_message(session_id: str, request: Request, wait: bool = False):
        """A message from an external connector: runs a turn in that connector session.

        Body: {"text": "...", "sender": "..."}. Answers 202 at once; with ``?wait=true`` it
        answers when the turn is over, with the agent's reply.
        """
        require_same_origin(request)
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
        session = get_registry().get(session_id)
        if session is None or not session.is_connector or not session.agent:
            raise HTTPException(status_code=404, detail="No such connector session")
        # One turn runs at a time in a session; only a few more may wait behind it.
        if sum(not t.done() for t in session.host_tasks) > MAX_QUEUED_CONNECTOR_MESSAGES:
            raise HTTPException(status_code=429, detail="Too many messages waiting in this session; try again later")

        heartbeat = _state.get("heartbeat")
        if heartbeat:
            heartbeat.reset_consecutive()  # a person wrote: the heartbeat's count starts again
        intro = {"type": "connector_message", "sender": sender[:100], "content": text}
        task = spawn(run_host_turn(session, text.strip(), intro), f"connector-{session_id}")
        session.host_tasks.add(task)
        task.add_done_callback(session.host_tasks.discard)
        accepted = {"accepted": True, "session_id": session_id, "conversation_id": session.conversation_id}
        if wait:
            # Shielded: neither a connector that hangs up nor the wait running out cancels the turn.
            try:
                reply = await asyncio.wait_for(asyncio.shield(task), CONNECTOR_WAIT_SECONDS)
            except TimeoutError:
                return JSONResponse(status_code=202, content={**accepted, "finished": False})
            return {"session_id": session_id, "reply": reply}
        return JSONResponse(status_code=202, content=accepted)

    return router


async def read_json_body(request, limit: int):
    """The request's JSON body, read at most ``limit`` bytes far.

    A declared length over the limit is refused before anything is read; a body sent without one
    is cut off as soon as it passes the limit. Malformed JSON, and JSON nested deeper than the
    parser can take, are 400. Every refusal is an HTTP error with a JSON body.
    """
    from fastapi import HTTPException
    from starlette.requests import ClientDisconnect

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
        return json.loads(b"".join(chunks))
    except RecursionError:
        raise HTTPException(status_code=400, detail="Body is nested too deeply") from None
    except ValueError:
        raise HTTPException(status_code=400, detail="Body is not valid JSON") from None


if __name__ == "__main__":
    # Run through the imported modules, not this ``__main__`` copy: the gateway reads the
    # state from ``tavrin.gateway.server``, and a second copy would hold a second, empty state.
    from tavrin.gateway.cli import main

    sys.exit(main())
