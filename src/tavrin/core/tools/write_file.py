"""Write a text file (created, or replaced whole)."""

from __future__ import annotations

import asyncio

from tavrin.core.tools import ToolContext, ToolError

NAME = "write_file"
DESCRIPTION = ("Write text to a file on the user's computer, creating it or replacing its content. The "
               "folder must exist. Relative paths start in the user's home folder.")
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


def _write(path, content: str) -> str:
    data = content.encode("utf-8")
    if len(data) > MAX_BYTES:
        raise ToolError(f"the content is {len(data)} bytes; at most {MAX_BYTES} can be written at once")
    try:
        with open(path, "wb") as f:
            f.write(data)
    except FileNotFoundError:
        raise ToolError(f"the folder of {path} does not exist") from None
    except IsADirectoryError:
        raise ToolError(f"{path} is a folder") from None
    except PermissionError:
        raise ToolError(f"no permission to write {path}") from None
    return f"Wrote {len(data)} bytes to {path}"


async def run(arguments: dict, context: ToolContext) -> dict:
    content = arguments.get("content")
    if not isinstance(content, str):
        raise ToolError("content must be a string")
    return {"text": await asyncio.to_thread(_write, context.path(arguments.get("path")), content)}
