"""The user's MCP servers, as configured in the JSON file the ecosystem uses.

    {"mcpServers": {
        "files": {"command": "npx", "args": ["-y", "some-server", "/home/me"], "env": {"K": "v"},
                  "timeout": 30, "approve": {"read_note": "never"}},
        "calendar": {"url": "https://example.test/mcp", "headers": {"Authorization": "Bearer …"},
                     "approve": "never"}}}

A server is either a command the host starts (``command``, ``args``, ``env``) or a URL (``url``,
``headers``). ``timeout`` bounds each call in seconds (default 60). ``approve``: ``"never"`` trusts
every tool of the server; a mapping of tool names to ``"never"`` trusts those tools only; without it
every tool that does not say it only reads asks the user first.

Parsing is pure: ``parse_config`` takes the text and the file's name and raises ``McpConfigError``
with one line naming the file, the server and what is wrong.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

DEFAULT_TIMEOUT = 60.0
CONFIG_NAME = "mcp.json"
_STDIO_KEYS = {"command", "args", "env", "cwd", "timeout", "approve", "type", "disabled"}
_HTTP_KEYS = {"url", "headers", "timeout", "approve", "type", "disabled"}


class McpConfigError(ValueError):
    """A configuration file that cannot be used; the message is one line for the user."""


@dataclass(frozen=True)
class McpServerConfig:
    name: str
    command: str | None = None
    args: tuple[str, ...] = ()
    env: dict[str, str] = field(default_factory=dict)
    cwd: str | None = None
    url: str | None = None
    headers: dict[str, str] = field(default_factory=dict)
    timeout: float = DEFAULT_TIMEOUT
    # True: every tool of the server runs without asking.
    trusted: bool = False
    # The tools of the server that run without asking.
    trusted_tools: frozenset[str] = frozenset()

    @property
    def is_stdio(self) -> bool:
        return self.command is not None

    def trusts(self, tool: str) -> bool:
        return self.trusted or tool in self.trusted_tools


def _strings(value: Any, what: str) -> dict[str, str]:
    if not isinstance(value, dict) or not all(isinstance(k, str) and isinstance(v, str) for k, v in value.items()):
        raise ValueError(f'"{what}" must be an object of strings')
    return dict(value)


def _server(name: str, entry: Any) -> McpServerConfig | None:
    if not isinstance(entry, dict):
        raise ValueError('must be an object with a "command" or a "url"')
    if entry.get("disabled") is True:
        return None
    if ("command" in entry) == ("url" in entry):
        raise ValueError('needs either "command" (a server to start) or "url" (a server to reach), not both')
    allowed = _STDIO_KEYS if "command" in entry else _HTTP_KEYS
    unknown = sorted(set(entry) - allowed)
    if unknown:
        raise ValueError(f'has an unknown key "{unknown[0]}"')
    timeout = entry.get("timeout", DEFAULT_TIMEOUT)
    if isinstance(timeout, bool) or not isinstance(timeout, int | float) or not math.isfinite(timeout) or timeout <= 0:
        raise ValueError('"timeout" must be a positive number of seconds')
    trusted, trusted_tools = False, frozenset[str]()
    approve = entry.get("approve")
    if approve == "never":
        trusted = True
    elif isinstance(approve, dict):
        bad = [t for t, v in approve.items() if v not in ("never", "always")]
        if bad:
            raise ValueError(f'"approve" of tool "{bad[0]}" must be "never" or "always"')
        trusted_tools = frozenset(t for t, v in approve.items() if v == "never")
    elif approve not in (None, "always"):
        raise ValueError('"approve" must be "never", "always" or an object of tool names')
    common: dict[str, Any] = {
        "name": name,
        "timeout": float(timeout),
        "trusted": trusted,
        "trusted_tools": trusted_tools,
    }
    if "command" in entry:
        command = entry["command"]
        if not isinstance(command, str) or not command.strip():
            raise ValueError('"command" must be a non-empty string')
        args = entry.get("args", [])
        if not isinstance(args, list) or not all(isinstance(a, str) for a in args):
            raise ValueError('"args" must be a list of strings')
        cwd = entry.get("cwd")
        if cwd is not None and not isinstance(cwd, str):
            raise ValueError('"cwd" must be a string')
        env = _strings(entry.get("env", {}), "env")
        if any(not k or "=" in k or "\0" in k + v for k, v in env.items()):
            raise ValueError('"env" has a name that is empty or holds "=" or a NUL')
        return McpServerConfig(command=command, args=tuple(args), env=env, cwd=cwd, **common)
    url = entry["url"]
    if not isinstance(url, str) or not url.startswith(("http://", "https://")):
        raise ValueError('"url" must be an http:// or https:// URL')
    return McpServerConfig(url=url, headers=_strings(entry.get("headers", {}), "headers"), **common)


def parse_config(text: str, filename: str) -> list[McpServerConfig]:
    """The servers a configuration file names, in its order; ``McpConfigError`` when it is unusable."""
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise McpConfigError(
            f"{filename}: not valid JSON ({exc.msg} at line {exc.lineno}, column {exc.colno})"
        ) from None
    if not isinstance(data, dict) or not isinstance(data.get("mcpServers"), dict):
        raise McpConfigError(f'{filename}: needs an object "mcpServers" mapping server names to servers')
    servers = []
    for name, entry in data["mcpServers"].items():
        if not name or not all(c.isalnum() or c in "-_" for c in name):
            raise McpConfigError(f'{filename}: server "{name}": its name may hold only letters, digits, "-" and "_"')
        try:
            server = _server(name, entry)
        except ValueError as exc:
            raise McpConfigError(f'{filename}: server "{name}": {exc}') from None
        if server is not None:
            servers.append(server)
    return servers


def config_path(option: str | None, data_dir: Path) -> Path | None:
    """The file to read: the one given (``--mcp-config`` or ``TAVRIN_MCP_CONFIG``), else the data
    directory's ``mcp.json`` when it exists, else none."""
    if option:
        return Path(option).expanduser()
    default = data_dir / CONFIG_NAME
    return default if default.is_file() else None


def load_config_file(path: Path) -> list[McpServerConfig]:
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise McpConfigError(f"{path}: cannot be read ({getattr(exc, 'strerror', None) or exc})") from None
    return parse_config(text, str(path))
