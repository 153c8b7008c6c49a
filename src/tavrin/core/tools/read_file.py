"""Read a text file, at most ``MAX_BYTES`` of it."""

from __future__ import annotations

import asyncio

from tavrin.core.tools import ToolContext, ToolError

NAME = "read_file"
DESCRIPTION = ("Read a text file on the user's computer (the first 64 KiB at most). Relative paths start "
               "in the user's home folder.")
PARAMETERS = {
    "type": "object",
    "properties": {"path": {"type": "string", "description": "the file to read"}},
    "required": ["path"],
    "additionalProperties": False,
}
SIDE_EFFECTS = False

MAX_BYTES = 64 * 1024


def _read(path) -> str:
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_BYTES + 1)
    except FileNotFoundError:
        raise ToolError(f"{path} does not exist") from None
    except IsADirectoryError:
        raise ToolError(f"{path} is a folder; list it with list_directory") from None
    except PermissionError:
        raise ToolError(f"no permission to read {path}") from None
    cut = len(data) > MAX_BYTES
    data = data[:MAX_BYTES]
    if b"\0" in data:
        raise ToolError(f"{path} is a binary file, not text")
    text = data.decode("utf-8", "replace")
    return text + (f"\n… (cut at {MAX_BYTES} bytes)" if cut else "")


async def run(arguments: dict, context: ToolContext) -> dict:
    return {"text": await asyncio.to_thread(_read, context.path(arguments.get("path")))}
