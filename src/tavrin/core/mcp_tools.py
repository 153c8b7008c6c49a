"""Tools from the user's MCP servers, offered to the standard agent beside the built-in ones.

Each configured stdio server is started with the host, in its own process group, with only the
environment its configuration gives plus ``PATH`` and ``HOME``: never the provider's API keys.
Its tools become ``Tool`` objects named ``<server>__<tool>``; a call goes through the SDK's
``ClientSession``, bounded by the server's timeout and the built-in tools' output bound, and is
cancelled with the turn. A tool that says it only reads (``readOnlyHint``) runs without asking;
every other one asks the user first unless the configuration trusts it.

A server that cannot be started or does not answer is a warning, never a failed start: the host
runs on with the other servers and the built-in tools.
"""

from __future__ import annotations

import asyncio
import base64
import collections
import contextlib
import io
import logging
import os
import re
import threading
import urllib.parse
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from tavrin.core.mcp_config import McpServerConfig
from tavrin.core.png import MAX_PIXELS, declared_size
from tavrin.core.redact import redactor
from tavrin.core.tools import Tool, ToolContext, ToolError
from tavrin.core.tools.run_command import MAX_OUTPUT

logger = logging.getLogger("tavrin.mcp")

# The longest function name the providers take, and what a name may hold.
MAX_NAME = 64
_NAME_CHARS = re.compile(r"[^A-Za-z0-9_-]")
# How long a stdio server gets to exit once its input closes, before the SDK stops it.
_STOP_SECONDS = 10.0


def tool_names(pairs: list[tuple[str, str]]) -> dict[tuple[str, str], str]:
    """The name the model sees for each (server, tool): ``<server>__<tool>`` with characters the
    providers refuse replaced, cut to 64 characters and made unique with a numbered suffix."""
    taken: set[str] = set()
    names = {}
    for server, tool in pairs:
        base = _NAME_CHARS.sub("_", f"{server}__{tool}")[:MAX_NAME]
        name, n = base, 1
        while name in taken:
            n += 1
            suffix = f"_{n}"
            name = base[: MAX_NAME - len(suffix)] + suffix
        taken.add(name)
        names[(server, tool)] = name
    return names


def server_environment(config: McpServerConfig) -> dict[str, str]:
    """Everything a stdio server's process is given: ``PATH`` and ``HOME``, then its own ``env``."""
    env = {k: os.environ[k] for k in ("PATH", "HOME") if k in os.environ}
    env.update(config.env)
    return env


def shown_target(config: McpServerConfig) -> str:
    """What the page shows of where a server is: its command, or its URL without the query (which
    may hold a key); never its arguments, environment or headers."""
    if config.is_stdio:
        return config.command or ""
    parts = urllib.parse.urlsplit(config.url or "")
    return (
        urllib.parse.urlunsplit((parts.scheme, parts.hostname or "", parts.path, "", ""))
        if not parts.port
        else urllib.parse.urlunsplit((parts.scheme, f"{parts.hostname}:{parts.port}", parts.path, "", ""))
    )


@dataclass(frozen=True)
class McpTool(Tool):
    """A tool of an MCP server; ``server`` and ``remote`` are its server's name and its own."""

    server: str = ""
    remote: str = ""

    def shown_as(self) -> dict[str, str]:
        """What the approval request and the tool's card say of where the tool comes from."""
        return {"server": self.server, "server_tool": self.remote}


def _bounded(text: str) -> str:
    data = text.encode("utf-8")
    if len(data) <= MAX_OUTPUT:
        return text
    cut = data[:MAX_OUTPUT].decode("utf-8", errors="ignore")
    return f"{cut}\n[output cut at {MAX_OUTPUT // 1024} KiB of {len(data)} bytes]"


# The pictures a server's result may carry to the model: PNG as it is, the others made PNG by Pillow.
_CONVERTED = {"image/jpeg": "JPEG", "image/gif": "GIF", "image/webp": "WEBP"}
# The largest picture passed on, as base64 (a full-HD screenshot is some 3 MB).
MAX_PICTURE_BASE64 = 8 * 1024 * 1024


def _picture(data: Any, mime: str) -> tuple[str | None, str]:
    """A server's picture as the base64 of a PNG for the model, or None and why not."""
    if not isinstance(data, str) or len(data) > MAX_PICTURE_BASE64:
        return None, "it is too big"
    try:
        raw = base64.b64decode(data, validate=True)
    except ValueError:
        return None, "it is not base64"
    if mime == "image/png":
        size = declared_size(raw)
        return (
            (data, "")
            if size is not None and 0 < size[0] * size[1] <= MAX_PIXELS
            else (None, "it is damaged or too large")
        )
    if mime not in _CONVERTED:
        return None, "the type is not one a model takes"
    try:
        from PIL import Image, ImageFile
    except ImportError:
        return None, "Pillow is not installed to convert it"
    Image.MAX_IMAGE_PIXELS = min(Image.MAX_IMAGE_PIXELS or MAX_PIXELS, MAX_PIXELS)
    ImageFile.LOAD_TRUNCATED_IMAGES = False
    try:
        with Image.open(io.BytesIO(raw), formats=[_CONVERTED[mime]]) as im:
            if im.width * im.height > MAX_PIXELS:
                return None, "it is too large"
            out = io.BytesIO()
            im.convert("RGBA" if "A" in im.getbands() or "transparency" in im.info else "RGB").save(out, "PNG")
    except (OSError, ValueError, SyntaxError, Image.DecompressionBombError, MemoryError):
        return None, "it is damaged or too large"
    return base64.b64encode(out.getvalue()).decode("ascii"), ""


def result_to_tool_output(result: Any) -> dict[str, Any]:
    """A ``CallToolResult`` as a tool's output: its texts (resources' texts included) joined, the
    first picture as the image (a PNG; JPEG, GIF and WebP made one); ``ToolError`` when the server
    says the call failed. Converting a picture decodes it: ``McpServer.call`` does that in a thread."""
    texts: list[str] = []
    image = None
    for block in getattr(result, "content", None) or []:
        kind = getattr(block, "type", None)
        if kind == "text":
            texts.append(block.text)
        elif kind == "image":
            mime = getattr(block, "mime_type", "") or ""
            if image is None:
                image, why = _picture(block.data, mime)
                if image is not None:
                    texts.append(f"[a picture, {mime}]")
                    continue
            else:
                why = "only a result's first picture is"
            texts.append(f"[a picture, {mime or 'of an unknown type'}, not passed on: {why}]")
        elif kind == "resource":
            resource = block.resource
            text = getattr(resource, "text", None)
            uri = getattr(resource, "uri", "")
            texts.append(
                f"[resource {uri}]\n{text}"
                if text is not None
                else f"[resource {uri}, {getattr(resource, 'mime_type', None) or 'binary'}, not passed on]"
            )
        elif kind == "resource_link":
            texts.append(f"[resource link {getattr(block, 'uri', '')} ({getattr(block, 'name', '')})]")
        else:
            texts.append(f"[{kind} content, not passed on]")
    if not texts and getattr(result, "structured_content", None) is not None:
        import json

        texts.append(json.dumps(result.structured_content))
    text = _bounded("\n".join(texts))
    if getattr(result, "is_error", False):
        raise ToolError(text or "the tool failed without saying why")
    out: dict[str, Any] = {"text": text}
    if image is not None:
        out["image_png_base64"] = image
    return out


# -- one server ------------------------------------------------------------------------------------

# A server that exits after it was up is started again at most this many times, after these waits.
RESTARTS = 3
BACKOFF_SECONDS = (1.0, 2.0, 4.0)
# The host's start waits this long at most for the servers, together, before it goes on: the tools of
# a server that answers later are offered from then on.
START_GRACE_SECONDS = 2.0
# The last lines a stdio server wrote to its stderr, kept for its status when it fails.
_STDERR_LINES = 5
# How long the host waits, once a stdio server has ended, for the rest of what it wrote to stderr.
_STDERR_DRAIN_SECONDS = 2.0
# An HTTP server's answer to a request in a session it gave that it no longer knows (it was
# restarted): the session has to be made again.
_SESSION_GONE = "HTTP 404"
# The pages of a server's tools/list read at most.
_MAX_PAGES = 50


class _EndWatch:
    """A transport's read stream that says when it has ended: a stdio server's process exited, or
    its connection closed. Everything else is the stream's own."""

    def __init__(self, stream: Any, ended: Callable[[], None]):
        self._stream = stream
        self._ended = ended

    def __getattr__(self, name: str) -> Any:  # last_context and the like
        return getattr(self._stream, name)

    async def receive(self) -> Any:
        try:
            return await self._stream.receive()
        except BaseException:
            self._ended()
            raise

    def __aiter__(self) -> _EndWatch:
        return self

    async def __anext__(self) -> Any:
        try:
            return await self._stream.__anext__()
        except BaseException:
            self._ended()
            raise

    async def aclose(self) -> None:
        await self._stream.aclose()

    async def __aenter__(self) -> _EndWatch:
        return self

    async def __aexit__(self, *exc: Any) -> None:
        self._ended()
        await self.aclose()


class _StderrLog:
    """A stdio server's stderr: each line into the host's log under the server's name, the last
    few kept for its status."""

    def __init__(self, name: str):
        self.name = name
        self.last: collections.deque[str] = collections.deque(maxlen=_STDERR_LINES)
        read, write = os.pipe()
        self.file = os.fdopen(write, "w")
        self._thread = threading.Thread(target=self._pump, args=(read,), name=f"mcp-stderr-{name}", daemon=True)
        self._thread.start()

    def _pump(self, fd: int) -> None:
        with os.fdopen(fd, "rb") as pipe:
            for raw in pipe:
                line = redactor().text(raw.decode("utf-8", errors="replace").rstrip())
                if line:
                    self.last.append(line[:500])
                    logger.info("MCP server %s: %s", self.name, line)

    def spawned(self) -> None:
        """The server's process holds its own end now: the host's copy is closed, so that the
        pipe ends with the server."""
        self.file.close()

    async def drained(self) -> None:
        """Waits until the pump has read what the server wrote before it ended, so that its last
        words are in its status. A process that passed the pipe on to one still running keeps it
        open: that wait is bounded."""
        await asyncio.to_thread(self._thread.join, _STDERR_DRAIN_SECONDS)

    def tail(self) -> str:
        return " / ".join(self.last)


def _describe(exc: BaseException) -> str:
    if isinstance(exc, BaseExceptionGroup) and exc.exceptions:
        return _describe(exc.exceptions[0])
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


@dataclass
class McpServer:
    """One configured server: its connection, its tools, and its state: "starting" (first start
    or a restart), "up", or "down" with its last error."""

    config: McpServerConfig
    on_change: Callable[[], None] = lambda: None
    state: str = "starting"
    error: str | None = None
    restarts: int = 0
    tools: list[Any] = field(default_factory=list)
    session: Any = None
    _task: asyncio.Task | None = None
    _ready: asyncio.Event = field(default_factory=asyncio.Event)
    _stop: asyncio.Event = field(default_factory=asyncio.Event)
    _wake: asyncio.Event = field(default_factory=asyncio.Event)
    _ended: bool = False
    _relist: bool = False
    _was_up: bool = False
    _http_error: str | None = None

    def status(self) -> dict[str, Any]:
        cfg = self.config
        return {
            "name": cfg.name,
            "transport": "stdio" if cfg.is_stdio else "http",
            "target": shown_target(cfg),
            "state": self.state,
            "error": self.error,
            "restarts": self.restarts,
            "tools": [t.name for t in self.tools],
        }

    def _set(self, state: str, error: str | None = None) -> None:
        self.state, self.error = state, error
        self.on_change()

    async def _run(self) -> None:
        """The server's life: connected, started (or connected) again when it ends, at most
        ``RESTARTS`` times once it was up, down for good after that."""
        cfg = self.config
        while True:
            stderr = _StderrLog(cfg.name) if cfg.is_stdio else None
            try:
                await self._connect(stderr)
            except Exception as exc:
                error = self._failure(exc)
                if self._http_error:
                    error = f"{error} ({self._http_error})"
                self.error = error
            finally:
                self.session = None
                if stderr is not None:
                    with contextlib.suppress(OSError):
                        stderr.file.close()
            if self._stop.is_set():
                break
            if stderr is not None:
                await stderr.drained()
            if stderr is not None and stderr.tail():
                self.error = f"{self.error or 'it stopped'}; its last words: {stderr.tail()}"
            if not self._was_up or self.restarts >= RESTARTS:
                if self._was_up:
                    self.error = f"{self.error} (after {self.restarts} restarts)"
                logger.warning("The MCP server %s is down: %s", cfg.name, self.error)
                self._set("down", self.error)
                break
            wait = BACKOFF_SECONDS[min(self.restarts, len(BACKOFF_SECONDS) - 1)]
            self.restarts += 1
            logger.warning(
                "The MCP server %s stopped (%s); starting it again in %g s (%d of %d)",
                cfg.name,
                self.error,
                wait,
                self.restarts,
                RESTARTS,
            )
            self._set("starting", self.error)
            with contextlib.suppress(TimeoutError):
                await asyncio.wait_for(self._stop.wait(), wait)
            if self._stop.is_set():
                break
        self._ready.set()

    def _failure(self, exc: BaseException) -> str:
        from mcp.shared.exceptions import MCPError
        from mcp.types import CONNECTION_CLOSED

        # The SDK's task groups hand the cause on wrapped in a group of one.
        while isinstance(exc, BaseExceptionGroup) and len(exc.exceptions) == 1:
            exc = exc.exceptions[0]
        if isinstance(exc, TimeoutError):
            return f"no answer within {self.config.timeout:g} s"
        if isinstance(exc, MCPError) and exc.code == CONNECTION_CLOSED:
            return "its process exited before it answered" if self.config.is_stdio else "its connection closed"
        return _describe(exc)

    def _transport(self, stderr: _StderrLog | None):
        cfg = self.config
        if cfg.is_stdio:
            from mcp import StdioServerParameters
            from mcp.client.stdio import stdio_client

            assert cfg.command is not None and stderr is not None
            # `env -i` so that the server's process gets exactly this environment: the SDK itself
            # would add a few variables of the host's own.
            env = [f"{k}={v}" for k, v in server_environment(cfg).items()]
            params = StdioServerParameters(
                command="/usr/bin/env", args=["-i", *env, cfg.command, *cfg.args], cwd=cfg.cwd
            )
            return stdio_client(params, errlog=stderr.file)
        return _http_transport(cfg, self._refused)

    def _refused(self, status: str) -> None:
        self._http_error = status

    async def _connect(self, stderr: _StderrLog | None) -> None:
        """One connection, held until it ends or ``stop``: the SDK's contexts are entered and left
        in this one task, as its task groups require."""
        from mcp import ClientSession

        self._ended = self._relist = False
        self._http_error = None
        async with self._transport(stderr) as streams:
            if stderr is not None:
                stderr.spawned()
            reader = _EndWatch(streams[0], self._connection_ended)
            async with ClientSession(reader, streams[1], message_handler=self._on_message) as session:
                async with asyncio.timeout(self.config.timeout):
                    await session.initialize()
                    tools = await _list_tools(session)
                self.session, self.tools, self._was_up = session, tools, True
                self._set("up")
                self._ready.set()
                while True:
                    await self._wake.wait()
                    self._wake.clear()
                    if self._stop.is_set():
                        return
                    if self._ended:
                        self.error = "its process exited" if self.config.is_stdio else "it forgot the host's session"
                        return
                    if self._relist:
                        self._relist = False
                        await self._refresh(session)

    async def _refresh(self, session: Any) -> None:
        """The server said its tools changed: they are read again for the next model call."""
        try:
            async with asyncio.timeout(self.config.timeout):
                tools = await _list_tools(session)
        except Exception as exc:
            logger.warning(
                "The MCP server %s said its tools changed, but they could not be read: %s",
                self.config.name,
                _describe(exc),
            )
            return
        self.tools = tools
        logger.info("The MCP server %s now offers %d tools", self.config.name, len(tools))
        self.on_change()

    async def _on_message(self, message: Any) -> None:
        # Called on the SDK's reading loop: only note it, the reading of the list happens in _connect.
        from mcp.types import ToolListChangedNotification

        if isinstance(message, ToolListChangedNotification):
            self._relist = True
            self._wake.set()

    def _connection_ended(self) -> None:
        if not self._ended:
            self._ended = True
            self._wake.set()

    def start(self) -> None:
        self._task = asyncio.create_task(self._run(), name=f"mcp-{self.config.name}")

    async def stop(self) -> None:
        """Ends the connection: at once for a server still starting (its start is cut, its
        process ended by the SDK's shutdown), else once its session has closed."""
        self._stop.set()
        self._wake.set()
        task = self._task
        if task is not None:
            if self.state != "up":
                task.cancel()
            done, _ = await asyncio.wait([task], timeout=_STOP_SECONDS)
            if not done:
                task.cancel()
                await asyncio.wait([task], timeout=_STOP_SECONDS)
        self.state = "down"

    def _unavailable(self, tool: str) -> ToolError:
        name = self.config.name
        why = f" ({self.error})" if self.error else ""
        if self.state == "up":  # its connection has just ended: what comes next is not decided yet
            return ToolError(
                f"The MCP server {name} has just stopped, so {tool} cannot run now; try again in a moment."
            )
        if self.state == "starting" and self._was_up:
            again = "started" if self.config.is_stdio else "connected"
            return ToolError(
                f"The MCP server {name} stopped{why} and is being {again} again, so {tool} "
                "cannot run now; try again in a moment."
            )
        if self.state == "starting":
            return ToolError(f"The MCP server {name} is still starting, so {tool} cannot run yet.")
        return ToolError(f"The MCP server {name} is down{why}, so {tool} cannot run.")

    async def call(self, tool: str, arguments: dict) -> dict[str, Any]:
        from mcp.shared.exceptions import MCPError
        from mcp.types import CONNECTION_CLOSED

        session = self.session
        if session is None or self.state != "up" or self._ended:
            raise self._unavailable(tool)
        name, timeout = self.config.name, self.config.timeout
        self._http_error = None  # what the server answers to this call, if an HTTP error
        try:
            async with asyncio.timeout(timeout):
                result = await session.call_tool(tool, arguments, read_timeout_seconds=timeout)
        except TimeoutError:
            raise ToolError(f"{name} gave no answer to {tool} within {timeout:g} s") from None
        except asyncio.CancelledError:
            raise
        except MCPError as exc:
            if exc.code == CONNECTION_CLOSED or self._ended:
                gone = "exited" if self.config.is_stdio else "closed its connection"
                raise ToolError(
                    f"The MCP server {name} {gone} while it ran {tool}, so the call has no result."
                ) from None
            if not self.config.is_stdio and (self._http_error or "").startswith(_SESSION_GONE):
                # The server no longer knows the session (it was restarted): connect again.
                self._connection_ended()
                raise ToolError(
                    f"The MCP server {name} had forgotten this host's session when asked to run "
                    f"{tool}, so the call did not run; it is being connected again."
                ) from None
            raise ToolError(f"{name} failed to run {tool}: {exc.error.message}") from None
        except Exception as exc:
            raise ToolError(f"{name} failed to run {tool}: {_describe(exc)}") from None
        if any(
            getattr(b, "type", None) == "image" and getattr(b, "mime_type", None) in _CONVERTED
            for b in getattr(result, "content", None) or []
        ):
            return await asyncio.to_thread(result_to_tool_output, result)
        return result_to_tool_output(result)


@contextlib.asynccontextmanager
async def _http_transport(cfg: McpServerConfig, refused: Callable[[str], None]):
    """A streamable-HTTP server's streams, its requests carrying the configured headers;
    ``refused`` hears of each answer that is an HTTP error ("HTTP 401 Unauthorized"), which the
    SDK's own error leaves out."""
    import httpx2
    from mcp.client.streamable_http import streamable_http_client

    assert cfg.url is not None

    async def heard(response: Any) -> None:
        if response.status_code >= 400:
            refused(f"HTTP {response.status_code} {response.reason_phrase}".rstrip())

    # The SDK's own timeouts for its connections; each call is bounded by the server's timeout.
    timeout = httpx2.Timeout(30.0, read=300.0)
    async with httpx2.AsyncClient(headers=cfg.headers, timeout=timeout, event_hooks={"response": [heard]}) as client:
        async with streamable_http_client(cfg.url, http_client=client) as streams:
            yield streams


async def _list_tools(session: Any) -> list[Any]:
    """Every tool of the server, over as many pages as it gives."""
    from mcp.types import PaginatedRequestParams

    tools: list[Any] = []
    cursor = None
    for _ in range(_MAX_PAGES):
        listed = await session.list_tools(params=PaginatedRequestParams(cursor=cursor) if cursor else None)
        tools.extend(listed.tools)
        cursor = listed.next_cursor
        if not cursor:
            break
    return tools


# -- every server --------------------------------------------------------------------------------


class McpHub:
    """Every configured server, started together with the host and stopped with it.

    ``bind`` keeps a tool table (the one the agents read) and the approvals in step with the
    servers: their tools are added as each server answers and follow its ``tools/list_changed``."""

    def __init__(self, configs: list[McpServerConfig]):
        self.servers = [McpServer(c, on_change=self._changed) for c in configs]
        self._table: dict[str, Tool] | None = None
        self._guardrails: Any = None
        self._offered: set[str] = set()
        self._asking: set[str] = set()

    async def start(self, grace: float = START_GRACE_SECONDS) -> None:
        """Starts every server at once and waits for them together, ``grace`` seconds at most."""
        for server in self.servers:
            server.start()
        waits = [asyncio.ensure_future(s._ready.wait()) for s in self.servers]
        if waits:
            _, pending = await asyncio.wait(waits, timeout=grace)
            for w in pending:
                w.cancel()

    async def ready(self) -> None:
        """Until every server is up or down for good (the tests' and the benchmark's wait)."""
        await asyncio.gather(*(s._ready.wait() for s in self.servers))

    async def close(self) -> None:
        await asyncio.gather(*(s.stop() for s in self.servers))

    def status(self) -> list[dict[str, Any]]:
        return [s.status() for s in self.servers]

    def bind(self, table: dict[str, Tool], guardrails: Any = None) -> None:
        """From now on ``table`` holds the servers' tools beside its own, and ``guardrails`` asks
        for those that ask first."""
        self._table, self._guardrails = table, guardrails
        self._changed()

    def _changed(self) -> None:
        if self._table is None:
            return
        current = self.tools()
        for name in self._offered - current.keys():
            self._table.pop(name, None)
        self._table.update(current)
        self._offered = set(current)
        if self._guardrails is not None:
            asking = {n for n, t in current.items() if t.side_effects}
            self._guardrails.approval_ops.difference_update(self._asking - asking)
            self._guardrails.approval_ops.update(asking)
            self._asking = asking

    def tools(self) -> dict[str, Tool]:
        """The tools of the servers, by the names the model sees: those of a server that stopped
        stay, and answer in one sentence why they cannot run."""
        pairs = [(s, t) for s in self.servers for t in s.tools]
        names = tool_names([(s.config.name, t.name) for s, t in pairs])
        found: dict[str, Tool] = {}
        for server, remote in pairs:
            name = names[(server.config.name, remote.name)]
            found[name] = McpTool(
                name=name,
                description=f"[{server.config.name}] {remote.description or remote.name}",
                parameters=remote.input_schema or {"type": "object", "properties": {}},
                side_effects=self._asks(server.config, remote),
                run=self._runner(server, remote.name),
                server=server.config.name,
                remote=remote.name,
            )
        return found

    @staticmethod
    def _asks(config: McpServerConfig, remote: Any) -> bool:
        annotations = getattr(remote, "annotations", None)
        read_only = bool(annotations is not None and getattr(annotations, "read_only_hint", None) is True)
        return not read_only and not config.trusts(remote.name)

    @staticmethod
    def _runner(server: McpServer, tool: str):
        async def run(arguments: dict, context: ToolContext) -> dict[str, Any]:
            context.progress()
            return await server.call(tool, arguments)

        return run
