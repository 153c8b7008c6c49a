"""The Tavrin server: the application state and the start-up wiring.

``create_app()`` builds the FastAPI application: the WebSocket gateway at "/ws", the web UI
at "/", and the JSON routes of ``tavrin.gateway.routes``. At start-up it opens the conversation
store in the data directory, builds the session registry with its agents, the Computer Use
agent, the guardrails and the heartbeat controller, and publishes them in the state that
``get_state()`` returns; at shutdown it stops the heartbeat and every running host turn. This
is where the layers meet: what the core needs from the gateway (which chat task runs in which
session) is handed to it here.

The ``tavrin-gateway`` command is ``tavrin.gateway.cli``; ``python -m tavrin.gateway.server``
runs it too.
"""

import asyncio
import gc
import logging
import sys
import time
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any

from tavrin.config import AppConfig, load_config

logger = logging.getLogger("tavrin.server")

STATIC_DIR = Path(__file__).parent / "static"
CONNECTOR_SESSION_ID = "connector_inbox"
# How long the shutdown waits for the stopped turns to end before closing the store.
SHUTDOWN_TASK_SECONDS = 3.0

# The global agent lock, for turns of the fallback agent when the state names no lock of
# its own. Replaced at every start-up so that it belongs to the running event loop.
_agent_lock = asyncio.Lock()

_STATE_KEYS = ("agent", "cu_agent", "heartbeat", "_agent_lock_fallback", "memory", "guardrails", "config")
_state: dict[str, Any] = dict.fromkeys(_STATE_KEYS)


def get_state() -> dict[str, Any]:
    """The application state: the shared objects the gateway reaches by key."""
    return _state


def _configure_gateway(config: AppConfig) -> None:
    """Set the gateway's module settings for this server (those the gateway offers): which page
    origins may open a WebSocket, whether turns talk to session streams, and whether a broadcast
    leaves a slow client to its own writer."""
    from tavrin.gateway import ws
    from tavrin.gateway.security import allowed_origins

    if hasattr(ws, "_ALLOWED_ORIGINS"):
        ws._ALLOWED_ORIGINS = allowed_origins(config)
    if hasattr(ws, "_SESSION_STREAMS"):
        ws._SESSION_STREAMS = bool(config.session_streams)
    if hasattr(ws, "_FAIR_BROADCAST"):
        ws._FAIR_BROADCAST = bool(config.fair_broadcast)


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
    """The session whose chat task runs the caller; Main when the caller is no chat task."""
    from tavrin.core.session_registry import MAIN_SESSION_ID, get_registry

    task = asyncio.current_task()
    found = None
    if task is not None:
        found = next((sid for sid, registered in list(_chat_tasks().items()) if registered is task), None)
    return get_registry().get(found or MAIN_SESSION_ID)


def _agent_factory(config: AppConfig, store):
    """``make(session_id, guardrails)`` for the standard agents, the tools that need approval, and
    the table of tools the agents share (None for the demo agents): agents on the configured model,
    or the demo agents when there is none."""
    if not config.model:
        from tavrin.core.agents import DemoAgent

        return (
            (
                lambda session_id, guardrails: DemoAgent(
                    store, guardrails, session_id, step_delay=config.demo_step_delay
                )
            ),
            [],
            None,
        )

    from tavrin.core.llm_agent import LiteLLMAgent, ModelSettings
    from tavrin.core.tools import load_tools, side_effecting

    settings = ModelSettings(
        config.model,
        config.api_base,
        max_iterations=config.max_iterations,
        context_tokens=config.context_tokens,
        vision=config.vision,
    )
    tools = load_tools()
    approval = side_effecting(tools) if config.approval_tools is None else set(config.approval_tools)

    from tavrin.core.llm_agent import import_litellm
    from tavrin.core.session_registry import get_registry
    from tavrin.core.titles import Titler
    from tavrin.gateway.host_turns import broadcast, spawn

    # A new conversation is named by the model after its first answer (the demo agents keep the
    # first words of the message).
    titler = Titler(import_litellm(), settings, store, broadcast, lambda sid: get_registry().get(sid), spawn)

    def make(session_id, guardrails):
        agent = LiteLLMAgent(
            store,
            guardrails,
            session_id,
            settings=settings,
            tools=tools,
            stall_warn_seconds=config.stall_warn_seconds,
            stall_cancel_seconds=config.stall_cancel_seconds,
            off_limits=(Path(config.data_dir).expanduser(),),
        )
        titler.watch(agent)
        return agent

    return make, sorted(approval), tools


def computer_use_choice(config: AppConfig) -> tuple[str, str | None] | None:
    """The Computer Use agent's (model, api_base), or None when the demo agent answers."""

    def takes_images(model: str) -> bool:
        from tavrin.core.llm_agent import import_litellm

        try:
            return bool(import_litellm().supports_vision(model))
        except Exception:
            return False

    return config.computer_use_model(takes_images)


def _computer_use_agent(config: AppConfig, guardrails, journal):
    """The application's Computer Use agent: on its model when there is one, else the demo."""
    from tavrin.core.computer_use_agent import DemoComputerUseAgent

    choice = computer_use_choice(config)
    if choice is None:
        return DemoComputerUseAgent(step_delay=config.demo_step_delay, journal=journal)
    from tavrin.core.computer_use_llm import ComputerUseAgent
    from tavrin.core.llm_agent import ModelSettings
    from tavrin.gateway.host_turns import broadcast, broadcast_to_session

    async def announce(session_id, event):
        await (broadcast_to_session(session_id, event) if session_id else broadcast(event))

    model, api_base = choice
    settings = ModelSettings(
        model, api_base, max_iterations=config.max_iterations, context_tokens=config.context_tokens, vision=True
    )
    return ComputerUseAgent(
        settings,
        guardrails=guardrails,
        journal=journal,
        current_session=chat_session,
        announce=announce,
        action_delay=config.cu_action_delay,
        approve=config.cu_approve,
        display=config.cu_display,
    )


async def startup(config: AppConfig) -> None:
    from tavrin.core.guardrails import Guardrails
    from tavrin.core.heartbeat_controller import HeartbeatController
    from tavrin.core.history import computer_use_journal
    from tavrin.core.session_registry import SessionRegistry, set_registry
    from tavrin.core.store import ConversationStore
    from tavrin.gateway.host_turns import announce_decision, announce_withdrawal, broadcast, deliver_heartbeat
    from tavrin.gateway.startup_checks import STORE_FILE, prepare_store_file

    from tavrin.core import redact

    global _agent_lock
    _agent_lock = asyncio.Lock()
    # The provider keys (and the access token) never leave the model layer in a text.
    redact.configure(redact.secret_values(extra=(config.token,)))

    data_dir = Path(config.data_dir).expanduser()
    data_dir.mkdir(parents=True, exist_ok=True)
    prepare_store_file(data_dir / STORE_FILE)
    store = ConversationStore(data_dir / STORE_FILE)
    # Turns the last run left open were cut short by its end: record them as interrupted.
    await store.interrupt_open_turns()
    hub = None
    if config.model and config.mcp_servers:
        from tavrin.core.mcp_tools import McpHub

        hub = McpHub(config.mcp_servers)
        _state["mcp"] = hub
        # Started together; a slow server does not hold the start, its tools come when it answers.
        await hub.start()
    elif config.mcp_servers:
        logger.warning(
            "The MCP servers of %s are not started: their tools go only to an agent on a model (--model)",
            ", ".join(s.name for s in config.mcp_servers),
        )
    make_agent, approval_ops, tools = _agent_factory(config, store)
    guardrails = Guardrails(
        [*config.heartbeat.blocked_ops, *approval_ops],
        on_resolved=announce_decision,
        on_withdrawn=announce_withdrawal,
        trusted_connectors=config.trusted_connectors,
    )
    if hub is not None and tools is not None:
        # The agents' tool table and the approvals follow the servers from now on.
        hub.bind(tools, guardrails)

    registry = SessionRegistry(lambda session_id: make_agent(session_id, guardrails), chat_task=chat_task, store=store)
    # The tabs of the last run come back, each on its conversation; then whoever has none gets one.
    await registry.restore(connectors={CONNECTOR_SESSION_ID})
    if registry.get(CONNECTOR_SESSION_ID) is None:
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
    journal = computer_use_journal(store, chat_session)
    _state.update(
        agent=make_agent(None, guardrails),
        cu_agent=_computer_use_agent(config, guardrails, journal),
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
    from tavrin.core.history import interrupt_open_turns
    from tavrin.core.session_registry import get_registry, set_registry
    from tavrin.gateway.host_turns import side_tasks

    heartbeat = _state.get("heartbeat")
    if heartbeat is not None:
        heartbeat.stop()
    # The turns still running are cut by the shutdown: recorded so before their tasks stop, and
    # those tasks stopped before the store closes, so that nothing of theirs is lost.
    store = _state.get("memory")
    if store is not None:
        await interrupt_open_turns(store)
    registry = get_registry()
    pending = list(side_tasks) + list(_chat_tasks().values())
    for session in registry:
        if session.agent:
            session.agent.cancel()
        pending.extend(session.host_tasks)
    for task in pending:
        task.cancel()
    if pending:
        await asyncio.wait(pending, timeout=SHUTDOWN_TASK_SECONDS)
    await registry.close()
    hub = _state.pop("mcp", None)
    if hub is not None:
        await hub.close()
    if store is not None:
        store.close()
    _state.update(dict.fromkeys(_STATE_KEYS))
    set_registry(None)


# -- the application ---------------------------------------------------------------------------


def create_app(config: AppConfig | None = None):
    from fastapi import FastAPI
    from fastapi.responses import FileResponse
    from fastapi.staticfiles import StaticFiles

    from tavrin.gateway import routes, ws
    from tavrin.gateway.security import AccessGuard

    config = config or load_config()
    _configure_gateway(config)

    @asynccontextmanager
    async def lifespan(app):
        await startup(config)
        app.state.started_at = time.time()  # so a page can tell that the server restarted
        # What the start built (LiteLLM's modules and tables among it) lives as long as the server:
        # it is kept out of the collector's full passes, which would otherwise walk all of it
        # (about a quarter of a second with a model) while every client waits.
        gc.collect()
        gc.freeze()
        try:
            yield
        finally:
            gc.unfreeze()
            await shutdown()

    app = FastAPI(title="Tavrin", lifespan=lifespan, docs_url=None, redoc_url=None, openapi_url=None)
    app.state.config = config
    app.state.shared = _state  # what the JSON routes read
    app.include_router(ws.create_ws_router())
    app.include_router(routes.router)
    from fastapi.exceptions import RequestValidationError

    app.add_exception_handler(RequestValidationError, routes.bad_request)
    app.mount("/static", StaticFiles(directory=STATIC_DIR), name="static")
    # Outermost, around Starlette's own error handler too, so that its 500 carries the security
    # headers as well: the Host allow-list, the access token and the security headers.
    build_stack = app.build_middleware_stack
    # (this one app's method, replaced on the instance: Starlette offers no hook outside its own stack)
    app.build_middleware_stack = lambda: AccessGuard(  # type: ignore[method-assign]
        build_stack(), token=config.token, host_and_port=lambda: (config.host, config.port)
    )

    @app.get("/", include_in_schema=False)
    async def index():
        return FileResponse(STATIC_DIR / "index.html", headers={"Cache-Control": "no-store"})

    return app


if __name__ == "__main__":
    # Run through the imported modules, not this ``__main__`` copy: the gateway reads the
    # state from ``tavrin.gateway.server``, and a second copy would hold a second, empty state.
    from tavrin.gateway.cli import main

    sys.exit(main())
