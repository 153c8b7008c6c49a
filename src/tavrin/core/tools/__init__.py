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

import asyncio
import importlib
import logging
import os
import stat
import threading
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


# How long one file operation of a tool may take (a slow disk, a stale network mount) before the
# tool gives up on it, and how many given-up operations may be left hanging in their threads.
IO_SECONDS = 10.0
MAX_HANGING = 8
_hanging = 0
_hanging_lock = threading.Lock()


def private_refusal(shown: Any) -> str:
    return f"{shown} is in Tavrin's own data directory, which no tool may read, list or change."


@dataclass
class ToolContext:
    """What a running tool may use: the working folder for relative paths, ``progress()``,
    called whenever it makes headway, so a long command does not look like a stall, and
    ``off_limits``, the folders (the data directory) that no tool may touch."""

    cwd: Path = field(default_factory=Path.home)
    progress: Callable[[], None] = lambda: None
    # What a tool prints as it runs (a command's output), for the user to watch; what it returns
    # is the result all the same.
    output: Callable[[str], None] = lambda text: None
    off_limits: tuple[Path, ...] = ()
    # What a tool had produced when it was stopped (set by the tool as it stops), for the model
    # and the user to see what it did.
    so_far: str = ""

    def path(self, value: Any) -> Path:
        """The path the model named, refused when it leads into a folder that is off limits
        (through links too: the check is on the resolved path)."""
        if not isinstance(value, str) or not value.strip():
            raise ToolError("path must be a non-empty string")
        p = Path(value).expanduser()
        p = p if p.is_absolute() else self.cwd / p
        self.refuse_private(p, value)
        return p

    def _private(self, real: str) -> bool:
        for folder in self.off_limits:
            base = os.path.realpath(folder)
            if real == base or real.startswith(base.rstrip(os.sep) + os.sep):
                return True
        return False

    def refuse_private(self, path: Path, shown: Any = None) -> None:
        if self.off_limits and self._private(os.path.realpath(path)):
            raise ToolError(private_refusal(shown if shown is not None else path))

    def check_opened(self, fd: int, info: os.stat_result, shown: Any) -> None:
        """Refuse a file descriptor a tool opened when it is in an off-limits folder after all: a
        link swapped in after the path was checked, or a hard link to one of its files."""
        if not self.off_limits:
            return
        try:
            real = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            real = None
        if real is not None and self._private(real):
            raise ToolError(private_refusal(shown))
        if (info.st_dev, info.st_ino) in _inodes(self.off_limits):
            raise ToolError(private_refusal(shown))


def _inodes(folders: tuple[Path, ...]) -> set[tuple[int, int]]:
    """The (device, inode) of each folder and of every entry directly in it."""
    found = set()
    for folder in folders:
        try:
            info = os.stat(folder)
            found.add((info.st_dev, info.st_ino))
            with os.scandir(folder) as entries:
                for entry in entries:
                    try:
                        e = entry.stat(follow_symlinks=False)
                    except OSError:
                        continue
                    if not stat.S_ISLNK(e.st_mode):
                        found.add((e.st_dev, e.st_ino))
        except OSError:
            continue
    return found


async def off_loop(fn: Callable[..., Any], *args: Any, what: str, timeout: float = IO_SECONDS) -> Any:
    """``fn(*args)`` in a thread of its own, never in the pool the store and the server share, and
    given up after ``timeout`` seconds (a ToolError says so; the thread is left to finish alone)."""
    global _hanging
    loop = asyncio.get_running_loop()
    done: asyncio.Future = loop.create_future()

    def settle(result: Any, exc: BaseException | None) -> None:
        if done.done():
            return
        if exc is not None:
            done.set_exception(exc)
        else:
            done.set_result(result)

    state = {"finished": False, "given_up": False}

    def work() -> None:
        global _hanging
        try:
            result, exc = fn(*args), None
        except BaseException as e:  # noqa: BLE001 - handed to the awaiting side
            result, exc = None, e
        with _hanging_lock:
            state["finished"] = True
            if state["given_up"]:
                _hanging -= 1
        try:
            loop.call_soon_threadsafe(settle, result, exc)
        except RuntimeError:  # the loop is closed: nobody waits any more
            pass

    with _hanging_lock:
        if _hanging >= MAX_HANGING:
            raise ToolError(f"{MAX_HANGING} earlier file operations are still hanging; {what} was not tried")
    threading.Thread(target=work, name="tavrin-tool-io", daemon=True).start()
    try:
        return await asyncio.wait_for(asyncio.shield(done), timeout)
    except TimeoutError:
        raise ToolError(f"{what} did not finish within {timeout:g} seconds and was given up") from None
    finally:
        # Timed out, or the turn was stopped: a thread still at work counts as hanging until it ends.
        with _hanging_lock:
            if not state["finished"] and not state["given_up"]:
                state["given_up"] = True
                _hanging += 1


@dataclass(frozen=True)
class Tool:
    name: str
    description: str
    parameters: dict
    side_effects: bool
    run: Callable[[dict, ToolContext], Any]

    def schema(self) -> dict:
        """The tool as the chat-completions API describes a function."""
        return {
            "type": "function",
            "function": {"name": self.name, "description": self.description, "parameters": self.parameters},
        }


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
