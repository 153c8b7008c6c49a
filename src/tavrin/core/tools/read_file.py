"""Read a text file, at most ``MAX_BYTES`` of it."""

from __future__ import annotations

import os
import stat

from tavrin.core.tools import ToolContext, ToolError, off_loop

NAME = "read_file"
DESCRIPTION = (
    "Read a text file on the user's computer (the first 64 KiB at most). Relative paths start "
    "in the user's home folder."
)
PARAMETERS = {
    "type": "object",
    "properties": {"path": {"type": "string", "description": "the file to read"}},
    "required": ["path"],
    "additionalProperties": False,
}
SIDE_EFFECTS = False

MAX_BYTES = 64 * 1024


# Opening never waits: a pipe without a writer, a terminal or a device is refused, not read.
_FLAGS = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC


def _read(path, context: ToolContext) -> str:
    try:
        if stat.S_ISDIR(os.stat(path).st_mode):
            raise ToolError(f"{path} is a folder; list it with list_directory")
        fd = os.open(path, _FLAGS)
    except FileNotFoundError:
        raise ToolError(f"{path} does not exist") from None
    except PermissionError:
        raise ToolError(f"no permission to read {path}") from None
    except OSError as exc:
        raise ToolError(f"{path} cannot be opened: {exc.strerror}") from None
    try:
        info = os.fstat(fd)
        context.check_opened(fd, info, path)
        if stat.S_ISDIR(info.st_mode):
            raise ToolError(f"{path} is a folder; list it with list_directory")
        if not stat.S_ISREG(info.st_mode):
            raise ToolError(f"{path} is not a regular file (a device, a pipe or a socket), so it is not read")
        chunks, size = [], 0
        while size <= MAX_BYTES:
            chunk = os.read(fd, MAX_BYTES + 1 - size)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
        data = b"".join(chunks)
    except OSError as exc:
        raise ToolError(f"{path} cannot be read: {exc.strerror}") from None
    finally:
        os.close(fd)
    cut = len(data) > MAX_BYTES
    data = data[:MAX_BYTES]
    if b"\0" in data:
        raise ToolError(f"{path} is a binary file, not text")
    text = data.decode("utf-8", "replace")
    return text + (f"\n… (cut at {MAX_BYTES} bytes)" if cut else "")


async def run(arguments: dict, context: ToolContext) -> dict:
    path = context.path(arguments.get("path"))
    return {"text": await off_loop(_read, path, context, what=f"reading {path}")}
