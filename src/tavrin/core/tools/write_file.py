"""Write a text file (created, or replaced whole)."""

from __future__ import annotations

import os
import stat

from tavrin.core.tools import ToolContext, ToolError, off_loop

NAME = "write_file"
DESCRIPTION = (
    "Write text to a file on the user's computer, creating it or replacing its content. The "
    "folder must exist. Relative paths start in the user's home folder."
)
PARAMETERS = {
    "type": "object",
    "properties": {
        "path": {"type": "string", "description": "the file to write"},
        "content": {"type": "string", "description": "the file's new content"},
    },
    "required": ["path", "content"],
    "additionalProperties": False,
}
SIDE_EFFECTS = True

MAX_BYTES = 1024 * 1024


# Opening never waits (a pipe without a reader is refused), and the file is emptied only once it
# is known to be a regular file outside the data directory.
_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC


def _write(path, content: str, context: ToolContext) -> str:
    data = content.encode("utf-8")
    if len(data) > MAX_BYTES:
        raise ToolError(f"the content is {len(data)} bytes; at most {MAX_BYTES} can be written at once")
    try:
        mode = os.stat(path).st_mode
    except OSError:
        mode = None  # a new file, or an error that opening it tells better
    if mode is not None and stat.S_ISDIR(mode):
        raise ToolError(f"{path} is a folder")
    if mode is not None and not stat.S_ISREG(mode):
        raise ToolError(f"{path} is not a regular file (a device, a pipe or a socket), so it is not written")
    try:
        fd = os.open(path, _FLAGS, 0o666)
    except FileNotFoundError:
        raise ToolError(f"the folder of {path} does not exist") from None
    except IsADirectoryError:
        raise ToolError(f"{path} is a folder") from None
    except PermissionError:
        raise ToolError(f"no permission to write {path}") from None
    except OSError as exc:
        raise ToolError(f"{path} cannot be opened for writing: {exc.strerror}") from None
    try:
        info = os.fstat(fd)
        context.check_opened(fd, info, path)
        if not stat.S_ISREG(info.st_mode):
            raise ToolError(f"{path} is not a regular file (a device, a pipe or a socket), so it is not written")
        os.ftruncate(fd, 0)
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view) :]
    except OSError as exc:
        raise ToolError(f"{path} cannot be written: {exc.strerror}") from None
    finally:
        os.close(fd)
    return f"Wrote {len(data)} bytes to {path}"


async def run(arguments: dict, context: ToolContext) -> dict:
    content = arguments.get("content")
    if not isinstance(content, str):
        raise ToolError("content must be a string")
    path = context.path(arguments.get("path"))
    return {"text": await off_loop(_write, path, content, context, what=f"writing {path}")}


# The most of a file's present content shown beside what would replace it.
COMPARE_BYTES = 256 * 1024
_READ_FLAGS = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC


def _current(path, context: ToolContext) -> dict:
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return {"exists": False, "content": None, "note": None}
    except OSError as exc:
        return {"exists": None, "content": None, "note": f"It cannot be looked at: {exc.strerror}."}
    if stat.S_ISDIR(mode):
        return {"exists": True, "content": None, "note": "It is a folder: the write would fail."}
    if not stat.S_ISREG(mode):
        return {"exists": True, "content": None, "note": "It is not a regular file: the write would fail."}
    try:
        fd = os.open(path, _READ_FLAGS)
    except OSError as exc:
        return {"exists": True, "content": None, "note": f"It cannot be read: {exc.strerror}."}
    try:
        info = os.fstat(fd)
        context.check_opened(fd, info, path)
        if info.st_size > COMPARE_BYTES:
            return {
                "exists": True,
                "content": None,
                "note": f"It holds {info.st_size} bytes, too many to compare here: all of it is replaced.",
            }
        data = os.read(fd, COMPARE_BYTES + 1)
    except OSError as exc:
        return {"exists": True, "content": None, "note": f"It cannot be read: {exc.strerror}."}
    finally:
        os.close(fd)
    if b"\0" in data:
        return {"exists": True, "content": None, "note": "It is a binary file: all of it is replaced."}
    return {"exists": True, "content": data.decode("utf-8", "replace"), "note": None}


async def current(arguments: dict, context: ToolContext) -> dict:
    """What the file a write would replace holds now, for the user to compare before approving it:
    {"path", "exists", "content" (None when not shown), "note" (why not, or None)}. The same paths
    are refused as for the write itself (the data directory, through links too)."""
    path = context.path(arguments.get("path"))
    found = await off_loop(_current, path, context, what=f"reading {path}")
    return {"path": str(path), **found}
