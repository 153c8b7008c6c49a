"""List a folder: names, kinds and sizes, at most ``MAX_ENTRIES`` of them."""

from __future__ import annotations

import asyncio
import os
import stat

from tavrin.core.tools import ToolContext, ToolError

NAME = "list_directory"
DESCRIPTION = ("List the entries of a folder on the user's computer: each entry's name, whether it is a "
               "folder, and its size. Relative paths start in the user's home folder.")
PARAMETERS = {
    "type": "object",
    "properties": {"path": {"type": "string", "description": "the folder to list"}},
    "required": ["path"],
    "additionalProperties": False,
}
SIDE_EFFECTS = False

MAX_ENTRIES = 200


def _listing(path) -> str:
    try:
        with os.scandir(path) as it:
            entries = sorted(it, key=lambda e: e.name)
    except FileNotFoundError:
        raise ToolError(f"{path} does not exist") from None
    except NotADirectoryError:
        raise ToolError(f"{path} is not a folder") from None
    except PermissionError:
        raise ToolError(f"no permission to list {path}") from None
    lines = [f"{path} ({len(entries)} entr{'y' if len(entries) == 1 else 'ies'})"]
    for entry in entries[:MAX_ENTRIES]:
        try:
            info = entry.stat(follow_symlinks=False)
        except OSError:
            lines.append(f"? {entry.name}")
            continue
        if stat.S_ISDIR(info.st_mode):
            lines.append(f"dir  {entry.name}/")
        elif stat.S_ISLNK(info.st_mode):
            lines.append(f"link {entry.name}")
        else:
            lines.append(f"file {entry.name} ({info.st_size} bytes)")
    if len(entries) > MAX_ENTRIES:
        lines.append(f"… {len(entries) - MAX_ENTRIES} more not shown")
    return "\n".join(lines)


async def run(arguments: dict, context: ToolContext) -> dict:
    return {"text": await asyncio.to_thread(_listing, context.path(arguments.get("path")))}
