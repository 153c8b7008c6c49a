"""The ``tavrin-gateway`` command: checks that the server can start, then runs it with uvicorn."""

import argparse
import contextlib
import logging
import math
import os
import re
import signal
import socket
import sys
from typing import TypedDict

import uvicorn

from tavrin.config import AppConfig, load_config
from tavrin.core.mcp_config import McpConfigError, config_path, load_config_file
from tavrin.core.redact import secret_values
from tavrin.gateway.connections import GuardedHTTPProtocol
from tavrin.gateway.security import RedactSecrets, UnsafeFile, is_loopback, load_or_create_token
from tavrin.gateway.server import create_app
from tavrin.gateway.startup_checks import (
    STORE_FILE,
    StartupError,
    bind_socket,
    check_model,
    check_store,
    lock_data_dir,
    prepare_data_dir,
)
from tavrin.logs import SafeFormatter


class UvicornLimits(TypedDict):
    backlog: int
    timeout_keep_alive: int
    timeout_graceful_shutdown: int
    ws_max_size: int


# The uvicorn settings for a desktop app: a few windows and connector programs, never a crowd.
# uvicorn's own ``limit_concurrency`` is left off: it counts every open connection, idle ones too,
# so a hundred sockets that send nothing would have made every request 503. Connections waiting
# for a request head are bounded and timed by the HTTP protocol instead (tavrin.gateway.connections),
# and requests at once by the AccessGuard.
UVICORN_LIMITS: UvicornLimits = {
    "backlog": 64,  # connections waiting to be accepted
    "timeout_keep_alive": 5,  # seconds an idle keep-alive HTTP connection stays open
    "timeout_graceful_shutdown": 5,  # seconds Ctrl+C waits for open connections
    "ws_max_size": 1024 * 1024,  # largest WebSocket message a client may send
}


_CLOCK = r"\s*(\d{1,2}):(\d{2})\s*"
_WINDOW = re.compile(_CLOCK + "-" + _CLOCK)


def parse_quiet_hours(text: str) -> tuple[str, str] | None:
    """Quiet hours written "HH:MM-HH:MM" (local time; a start later than the end wraps past
    midnight) as the zero-padded "HH:MM" pair the runner compares, or None for "off"; a
    ValueError saying what is wrong otherwise."""
    if text.strip().lower() in ("off", "none"):
        return None
    m = _WINDOW.fullmatch(text)
    if not m or int(m[1]) > 23 or int(m[3]) > 23 or int(m[2]) > 59 or int(m[4]) > 59:
        raise ValueError(f"{text!r} is not a window of local times like 23:00-07:00")
    start, end = f"{int(m[1]):02}:{m[2]}", f"{int(m[3]):02}:{m[4]}"
    if start == end:
        raise ValueError(f"{text!r} starts and ends at the same time; for no quiet hours say off")
    return start, end


def computer_use_summary(config) -> str:
    """Which Computer Use agent answers, for the start-up line ("" for the demo with demo agents)."""
    from tavrin.gateway.server import computer_use_choice

    choice = computer_use_choice(config)
    if choice is None:
        return "Computer Use: demo" if config.model else ""
    model, api_base = choice
    where = f"Computer Use: model {model}" + (f" at {api_base}" if api_base else "")
    display = config.cu_display or os.environ.get("DISPLAY")
    return where + (f" on display {display}" if display else ", but no X display (DISPLAY is not set)")


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        config = configure(args)
    except Refused as exc:
        return _fail(str(exc), 2)
    try:
        sock, lock_fd = check(config, args)
    except StartupError as exc:
        return _fail(str(exc), 1)
    return run(config, sock, lock_fd, args.log_level)


class Refused(ValueError):
    """Options that cannot work together, told as a usage error."""


def _fail(message: str, code: int) -> int:
    print(f"tavrin-gateway: error: {message}", file=sys.stderr, flush=True)
    return code


def build_parser() -> argparse.ArgumentParser:
    """The command line, with what each option means."""
    parser = argparse.ArgumentParser(prog="tavrin-gateway", description="Run the Tavrin server and its web UI.")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8765, help="port to listen on (default: 8765; 0 picks a free one)")
    parser.add_argument("--data-dir", default=None, help="where conversations are stored (default: ~/.tavrin)")
    parser.add_argument("--log-level", default="info", choices=["debug", "info", "warning", "error", "critical"])
    parser.add_argument(
        "--no-token",
        action="store_true",
        help="let anyone who reaches the server in, without the access token (loopback --host only)",
    )
    parser.add_argument(
        "--no-session-streams",
        action="store_true",
        help="turn off session streams: a window's turns stop when it goes away, and only "
        "the window that asked sees a turn",
    )
    parser.add_argument(
        "--no-fair-broadcast",
        action="store_true",
        help="turn off the fair broadcast: a broadcast then waits for each client in turn, so a "
        "slow one delays the others (each send still bounded)",
    )
    parser.add_argument(
        "--model",
        default=os.environ.get("TAVRIN_MODEL") or None,
        help="the LiteLLM model the agents answer with, e.g. openai/NAME or ollama_chat/NAME "
        "(default: $TAVRIN_MODEL; without one, the offline demo agents answer)",
    )
    parser.add_argument(
        "--api-base",
        default=os.environ.get("TAVRIN_API_BASE") or None,
        help="the URL of the model's server, for a local or self-hosted one (default: $TAVRIN_API_BASE)",
    )
    parser.add_argument(
        "--max-iterations",
        type=int,
        default=25,
        help="model calls one turn may make before it is stopped (default: 25)",
    )
    parser.add_argument(
        "--context-tokens",
        type=int,
        default=32_768,
        help="the context window for a model LiteLLM does not know (default: 32768)",
    )
    parser.add_argument(
        "--vision",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="the model accepts images (screenshots, attached pictures); default: as LiteLLM "
        "knows the model, which for a local one is no",
    )
    parser.add_argument(
        "--stall-warn-seconds",
        type=float,
        default=30,
        help="seconds a model's turn may go without activity before every window is warned (default: 30)",
    )
    parser.add_argument(
        "--stall-cancel-seconds",
        type=float,
        default=180,
        help="seconds without activity after which a model's turn is stopped; 0: never (default: 180)",
    )
    parser.add_argument(
        "--trust-connector",
        metavar="ID",
        action="append",
        default=[],
        help="let the turns of this connector session (e.g. connector_inbox) use the tools without "
        "asking, as your own turns do; by default a connector's turn asks before every tool",
    )
    parser.add_argument(
        "--cu-model",
        default=os.environ.get("TAVRIN_CU_MODEL") or None,
        help="the LiteLLM model the Computer Use agent works with, one that takes images, e.g. "
        "anthropic/NAME (default: $TAVRIN_CU_MODEL, else --model when it takes images, else "
        "the offline demo)",
    )
    parser.add_argument(
        "--cu-api-base",
        default=os.environ.get("TAVRIN_CU_API_BASE") or None,
        help="the URL of the Computer Use model's server (default: $TAVRIN_CU_API_BASE, else --api-base)",
    )
    parser.add_argument(
        "--cu-action-delay",
        type=float,
        default=0.3,
        help="seconds between two Computer Use actions, to see each and stop (default: 0.3)",
    )
    parser.add_argument(
        "--cu-approve",
        choices=["first", "never"],
        default="first",
        help="first: a Computer Use task asks before its first action (default); never: it does not",
    )
    quiet_hours = parser.add_mutually_exclusive_group()
    quiet_hours.add_argument(
        "--quiet-hours",
        metavar="HH:MM-HH:MM",
        default=None,
        help="local times between which no heartbeat beat fires, e.g. 22:30-06:45; off: none "
        "(default: $TAVRIN_QUIET_HOURS, else 23:00-07:00)",
    )
    quiet_hours.add_argument("--no-quiet-hours", action="store_true", help="let heartbeat beats fire at any hour")
    parser.add_argument(
        "--mcp-config",
        metavar="FILE",
        default=os.environ.get("TAVRIN_MCP_CONFIG") or None,
        help='the MCP servers whose tools the model\'s agents get, as {"mcpServers": ...} '
        "(default: $TAVRIN_MCP_CONFIG, else mcp.json in the data directory when it exists)",
    )
    parser.add_argument("--demo-step-delay", type=float, default=None, help=argparse.SUPPRESS)
    return parser


def configure(args: argparse.Namespace) -> AppConfig:
    """The configuration the options ask for; ``Refused`` (a usage error) for options that cannot
    work together. Logging is set up here, before anything reads the data directory."""
    if args.no_token and not is_loopback(args.host):
        raise Refused(
            f"--no-token is refused with --host {args.host}: without the token anyone on the network "
            "could act as you; listen on 127.0.0.1 or keep the token"
        )

    quiet = _quiet_hours(args)  # (start, end) to set; None keeps the configuration's

    # Before the checks: a file made private again is told as a log line.
    handler = logging.StreamHandler()
    handler.setFormatter(SafeFormatter("%(asctime)s %(levelname)-7s %(name)s: %(message)s"))
    logging.basicConfig(level=args.log_level.upper(), handlers=[handler])

    config = load_config(args.data_dir, host=args.host, port=args.port)
    config.session_streams = not args.no_session_streams
    config.fair_broadcast = not args.no_fair_broadcast
    config.model, config.api_base = args.model, args.api_base
    config.max_iterations, config.context_tokens = max(1, args.max_iterations), max(1024, args.context_tokens)
    config.vision = args.vision
    config.trusted_connectors = list(args.trust_connector)
    if args.cu_action_delay < 0:
        raise Refused("--cu-action-delay must be 0 or more")
    config.cu_model, config.cu_api_base = args.cu_model, args.cu_api_base
    config.cu_action_delay, config.cu_approve = args.cu_action_delay, args.cu_approve
    if args.stall_warn_seconds <= 0 or args.stall_cancel_seconds < 0:
        raise Refused("--stall-warn-seconds must be above 0 and --stall-cancel-seconds 0 or more")
    config.stall_warn_seconds, config.stall_cancel_seconds = args.stall_warn_seconds, args.stall_cancel_seconds
    note = stall_note(config.stall_warn_seconds, config.stall_cancel_seconds) if config.model else None
    if note:
        print(f"tavrin-gateway: warning: {note}", file=sys.stderr, flush=True)
    if quiet is not None:
        config.heartbeat.quiet_hours_start, config.heartbeat.quiet_hours_end = quiet
    if args.demo_step_delay is not None:
        config.demo_step_delay = args.demo_step_delay
    return config


def _quiet_hours(args: argparse.Namespace) -> tuple[str | None, str | None] | None:
    """The quiet hours asked for (the option, else TAVRIN_QUIET_HOURS): a window, (None, None) for
    none, or None when neither says."""
    named, quiet_text = "--quiet-hours", "off" if args.no_quiet_hours else args.quiet_hours
    if quiet_text is None:
        named, quiet_text = "TAVRIN_QUIET_HOURS", os.environ.get("TAVRIN_QUIET_HOURS") or None
    if quiet_text is None:
        return None
    try:
        return parse_quiet_hours(quiet_text) or (None, None)
    except ValueError as exc:
        raise Refused(f"{named}: {exc}") from None


def check(config: AppConfig, args: argparse.Namespace) -> tuple[socket.socket, int]:
    """Everything the server needs before it starts: the data directory (locked), the store, the MCP
    servers' file, the model, the token and the listening socket. ``StartupError`` says what is wrong;
    the data directory is left unlocked then."""
    config.data_dir = prepare_data_dir(config.data_dir)
    lock_fd = lock_data_dir(config.data_dir)
    try:
        check_store(config.data_dir / STORE_FILE)
        mcp_file = config_path(args.mcp_config, config.data_dir)
        if mcp_file is not None:
            try:
                config.mcp_servers = load_config_file(mcp_file)
            except McpConfigError as exc:
                raise StartupError(str(exc)) from None
        if config.model:
            warning = check_model(config.model, config.api_base)
            if warning:
                print(f"tavrin-gateway: warning: {warning}", file=sys.stderr, flush=True)
        if config.cu_model and (config.cu_model, config.cu_api_base or config.api_base) != (
            config.model,
            config.api_base,
        ):
            warning = check_model(config.cu_model, config.cu_api_base or config.api_base)
            if warning:
                print(f"tavrin-gateway: warning: {warning}", file=sys.stderr, flush=True)
        if not args.no_token:
            try:
                config.token = load_or_create_token(config.data_dir)
            except UnsafeFile as exc:
                raise StartupError(str(exc)) from None
            except OSError as exc:
                raise StartupError(f"cannot read or write the token file {exc.filename}: {exc.strerror}") from None
        sock = bind_socket(args.host, args.port)
    except StartupError:
        os.close(lock_fd)
        raise
    return sock, lock_fd


def run(config: AppConfig, sock: socket.socket, lock_fd: int, log_level: str) -> int:
    """Serve until Ctrl+C or a signal; the exit status."""
    config.port = sock.getsockname()[1]

    app = create_app(config)

    class Server(uvicorn.Server):
        async def startup(self, sockets=None):
            await super().startup(sockets=sockets)
            if not self.started:
                return
            shown = "127.0.0.1" if config.host in ("0.0.0.0", "::", "") else config.host
            shown = f"[{shown}]" if ":" in shown else shown
            # The token goes in the fragment, which the browser never sends to a server.
            address = f"http://{shown}:{config.port}/" + (f"#token={config.token}" if config.token else "")
            agents = (
                f"model {config.model}" + (f" at {config.api_base}" if config.api_base else "")
                if config.model
                else "demo agents, no model"
            )
            cu = computer_use_summary(config)
            agents += f"; {cu}" if cu else ""
            hb = config.heartbeat
            hours = (
                f"quiet hours {hb.quiet_hours_start}-{hb.quiet_hours_end}"
                if hb.quiet_hours_start and hb.quiet_hours_end
                else "no quiet hours"
            )
            print(
                f"Tavrin is running at {address}  ({agents}; {hours}; data: {config.data_dir}; Ctrl+C stops it)",
                flush=True,
            )

        def handle_exit(self, sig, frame):
            # Ctrl+C is told in one line, "Tavrin stopped (Ctrl+C)", after the shutdown: uvicorn's
            # lines about its steps ("Shutting down", "Waiting for…", "Finished server process")
            # would make it six.
            if sig == signal.SIGINT:
                quiet = logging.getLogger("uvicorn.error")
                quiet.setLevel(max(quiet.getEffectiveLevel(), logging.WARNING))
            super().handle_exit(sig, frame)

        @contextlib.contextmanager
        def capture_signals(self):
            # Once shut down, uvicorn raises the signals it caught again, so that the process ends
            # as they ask. For Ctrl+C that happens inside asyncio's runner, which turns it into a
            # KeyboardInterrupt and its traceback; main() ends the process by the signal itself.
            with super().capture_signals():
                yield
                captured = getattr(self, "_captured_signals", [])
                self.interrupted = signal.SIGINT in captured
                captured[:] = [s for s in captured if s != signal.SIGINT]

    server = Server(
        uvicorn.Config(
            app,
            host=config.host,
            port=config.port,
            log_level=log_level,
            server_header=False,
            proxy_headers=False,
            http=GuardedHTTPProtocol,
            # Compressing WebSocket messages saves nothing on this machine's own loopback and costs
            # both ends processor time: a screenshot's message takes about 60 ms of the event loop.
            ws_per_message_deflate=not is_loopback(config.host),
            **UVICORN_LIMITS,
        )
    )
    # Now that uvicorn has made its handlers: every one of them drops the token and the tickets.
    RedactSecrets(config.token, secret_values()).install()
    try:
        server.run(sockets=[sock])
    finally:
        sock.close()
        os.close(lock_fd)
    if getattr(server, "interrupted", False):
        print("Tavrin stopped (Ctrl+C)", flush=True)
        _end_by_sigint()
    return 0 if server.started else 1


# How often the gateway's stall watchdog looks at a running turn.
WATCHDOG_POLL_SECONDS = 15


def stall_note(warn: float, cancel: float, poll: float = WATCHDOG_POLL_SECONDS) -> str | None:
    """One line on stall thresholds the watchdog cannot honour as given, or None.

    The watchdog looks every ``poll`` seconds, so a threshold takes effect at the first look at or
    after it; when that is the look that also stops the turn, no warning is ever shown."""

    def first_look(seconds: float) -> float:
        return max(1, math.ceil(seconds / poll)) * poll

    fmt = lambda x: f"{x:g}"  # noqa: E731
    if cancel > 0 and first_look(warn) >= first_look(cancel):
        return (
            f"the stall watchdog looks every {fmt(poll)} s, so with --stall-warn-seconds {fmt(warn)} and "
            f"--stall-cancel-seconds {fmt(cancel)} a silent turn is stopped after {fmt(first_look(cancel))} s "
            f"without a warning first; leave {fmt(poll)} s or more between the two"
        )
    late = [
        (name, value)
        for name, value in (("--stall-warn-seconds", warn), ("--stall-cancel-seconds", cancel))
        if 0 < value < poll
    ]
    if late:
        said = " and ".join(f"{name} {fmt(value)}" for name, value in late)
        return (
            f"the stall watchdog looks every {fmt(poll)} s, so {said} take{'s' if len(late) == 1 else ''} "
            f"effect after {fmt(poll)} s at the earliest"
        )
    return None


def _end_by_sigint() -> None:
    """End the process as an unhandled Ctrl+C does (its parent sees it killed by SIGINT), without
    the traceback."""
    logging.shutdown()
    sys.stderr.flush()
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGINT)
