"""The tools the standard agent offers the model, one small module each.

A tool module exposes ``NAME``, ``DESCRIPTION``, ``PARAMETERS`` (a JSON schema of its
arguments), ``SIDE_EFFECTS`` (True when running it changes the computer) and
``async def run(arguments: dict, context: ToolContext) -> dict``. ``run`` returns
``{"text": str}`` and, for a picture, ``"image_png_base64"`` as well; it raises
``ToolError`` for a failure the model should read and correct.

What a tool returns is data for the model, never instructions to the agent: whether an
action needs the user's approval is decided by the tool's name alone, before it runs.
"""

from __future__ import annotations

import importlib
import logging
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any

logger = logging.getLogger("tavrin.tools")

# The tool modules of this package, in the order they are offered to the model.
_MODULES = ("list_directory", "read_file", "write_file", "run_command")
# Desktop tools live in their own module, which may define several tools: it is offered when
# present, either as a module with the interface above or with ``TOOLS``, a list of such objects.
_OPTIONAL_MODULES = ("screen",)


class ToolError(Exception):
    """A failure the model is told about as the tool's result (it may correct itself)."""


@dataclass
class ToolContext:
    """What a running tool may use: the working folder for relative paths, and ``progress()``,
    called whenever it makes headway, so a long command does not look like a stall."""

    cwd: Path = field(default_factory=Path.home)
    progress: Callable[[], None] = lambda: None
    # What a tool had produced when it was stopped (set by the tool as it stops), for the model
    # and the user to see what it did.
    so_far: str = ""

    def path(self, value: Any) -> Path:
        if not isinstance(value, str) or not value.strip():
            raise ToolError("path must be a non-empty string")
        p = Path(value).expanduser()
        return p if p.is_absolute() else self.cwd / p


@dataclass(frozen=True)
class Tool:
    name: str
    description: str
    parameters: dict
    side_effects: bool
    run: Callable[[dict, ToolContext], Any]

    def schema(self) -> dict:
        """The tool as the chat-completions API describes a function."""
        return {"type": "function",
                "function": {"name": self.name, "description": self.description, "parameters": self.parameters}}


def _tool(obj: Any) -> Tool:
    return Tool(obj.NAME, obj.DESCRIPTION, obj.PARAMETERS, bool(obj.SIDE_EFFECTS), obj.run)


def load_tools() -> dict[str, Tool]:
    """Every available tool by name."""
    found: list[Any] = [importlib.import_module(f"{__name__}.{m}") for m in _MODULES]
    for name in _OPTIONAL_MODULES:
        try:
            module: ModuleType = importlib.import_module(f"{__name__}.{name}")
        except ModuleNotFoundError as exc:
            if exc.name != f"{__name__}.{name}":
                logger.warning("The %s tools are unavailable: %s", name, exc)
            continue
        found.extend(getattr(module, "TOOLS", None) or [module])
    return {t.name: t for t in map(_tool, found)}


def side_effecting(tools: dict[str, Tool]) -> set[str]:
    """The names of the tools that change the computer: those that need approval by default."""
    return {name for name, t in tools.items() if t.side_effects}
