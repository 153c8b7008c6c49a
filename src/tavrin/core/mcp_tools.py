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
import contextlib
import logging
import os
import re
from dataclasses import dataclass, field
from typing import Any

from tavrin.core.mcp_config import McpServerConfig
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


def result_to_tool_output(result: Any) -> dict[str, Any]:
    """A ``CallToolResult`` as a tool's output: its texts (resources' texts included) joined, the
    first PNG picture as the image; ``ToolError`` when the server says the call failed."""
    texts: list[str] = []
    image = None
    for block in getattr(result, "content", None) or []:
        kind = getattr(block, "type", None)
        if kind == "text":
            texts.append(block.text)
        elif kind == "image":
            mime = getattr(block, "mime_type", "") or ""
            if mime == "image/png" and image is None:
                try:
                    base64.b64decode(block.data, validate=True)
                    image = block.data
                    texts.append("[a picture, image/png]")
                    continue
                except ValueError:
                    pass
            texts.append(f"[a picture, {mime or 'of an unknown type'}, not passed on]")
        elif kind == "resource":
            resource = block.resource
            text = getattr(resource, "text", None)
            uri = getattr(resource, "uri", "")
            texts.append(f"[resource {uri}]\n{text}" if text is not None
                         else f"[resource {uri}, {getattr(resource, 'mime_type', None) or 'binary'}, not passed on]")
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


@dataclass
class McpServer:
    """One configured server: its connection, its tools, its state ("starting", "up", "down")."""

    config: McpServerConfig
    state: str = "starting"
    error: str | None = None
    tools: list[Any] = field(default_factory=list)
    session: Any = None
    _task: asyncio.Task | None = None
    _ready: asyncio.Event = field(default_factory=asyncio.Event)
    _stop: asyncio.Event = field(default_factory=asyncio.Event)

    async def _run(self) -> None:
        """Holds the connection open until ``stop``: the SDK's contexts are entered and left in
        this one task, as its task groups require."""
        from mcp import ClientSession, StdioServerParameters
        from mcp.client.stdio import stdio_client

        cfg = self.config
        try:
            if not cfg.is_stdio:
                raise RuntimeError("servers reached by URL are not supported yet")
            assert cfg.command is not None
            # `env -i` so that the server's process gets exactly this environment: the SDK itself
            # would add a few variables of the host's own.
            env = [f"{k}={v}" for k, v in server_environment(cfg).items()]
            params = StdioServerParameters(command="/usr/bin/env", args=["-i", *env, cfg.command, *cfg.args],
                                           cwd=cfg.cwd)
            async with stdio_client(params) as streams, ClientSession(streams[0], streams[1]) as session:
                async with asyncio.timeout(cfg.timeout):
                    await session.initialize()
                    listed = await session.list_tools()
                self.session, self.tools, self.state = session, list(listed.tools), "up"
                self._ready.set()
                await self._stop.wait()
        except Exception as exc:
            self.error = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
            if isinstance(exc, TimeoutError):
                self.error = f"no answer within {cfg.timeout:g} s"
            logger.warning("The MCP server %s is down: %s", cfg.name, self.error)
        finally:
            self.session = None
            if self.state != "up" or not self._stop.is_set():
                self.state = "down"
            self._ready.set()

    async def start(self) -> None:
        self._task = asyncio.create_task(self._run(), name=f"mcp-{self.config.name}")
        await self._ready.wait()

    async def stop(self) -> None:
        self._stop.set()
        if self._task is not None:
            try:
                await asyncio.wait_for(asyncio.shield(self._task), _STOP_SECONDS)
            except TimeoutError:
                self._task.cancel()
                with contextlib.suppress(asyncio.CancelledError, Exception):
                    await self._task
        self.state = "down"

    async def call(self, tool: str, arguments: dict) -> dict[str, Any]:
        session = self.session
        if session is None:
            raise ToolError(f"the MCP server {self.config.name} is down ({self.error or 'stopped'})")
        timeout = self.config.timeout
        try:
            async with asyncio.timeout(timeout):
                result = await session.call_tool(tool, arguments, read_timeout_seconds=timeout)
        except TimeoutError:
            raise ToolError(f"{self.config.name} gave no answer to {tool} within {timeout:g} s") from None
        except asyncio.CancelledError:
            raise
        except Exception as exc:
            raise ToolError(f"{self.config.name} failed to run {tool}: {type(exc).__name__}: {exc}") from None
        return result_to_tool_output(result)


class McpHub:
    """Every configured server, started together with the host and stopped with it."""

    def __init__(self, configs: list[McpServerConfig]):
        self.servers = [McpServer(c) for c in configs]

    async def start(self) -> None:
        await asyncio.gather(*(s.start() for s in self.servers))

    async def close(self) -> None:
        await asyncio.gather(*(s.stop() for s in self.servers))

    def tools(self) -> dict[str, Tool]:
        """The tools of the servers that are up, by the names the model sees."""
        pairs = [(s, t) for s in self.servers if s.state == "up" for t in s.tools]
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
