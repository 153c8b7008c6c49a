"""List a folder: names, kinds and sizes, at most ``MAX_ENTRIES`` of them."""

from __future__ import annotations

import os
import stat

from tavrin.core.tools import ToolContext, ToolError, off_loop

NAME = "list_directory"
DESCRIPTION = (
    "List the entries of a folder on the user's computer: each entry's name, whether it is a "
    "folder, and its size. Relative paths start in the user's home folder."
)
PARAMETERS = {
    "type": "object",
    "properties": {"path": {"type": "string", "description": "the folder to list"}},
    "required": ["path"],
    "additionalProperties": False,
}
SIDE_EFFECTS = False

MAX_ENTRIES = 200


# Only a folder is opened for listing; opening one never waits.
_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC


def _listing(path, context: ToolContext) -> str:
    try:
        fd = os.open(path, _FLAGS)
    except FileNotFoundError:
        raise ToolError(f"{path} does not exist") from None
    except NotADirectoryError:
        raise ToolError(f"{path} is not a folder") from None
    except PermissionError:
        raise ToolError(f"no permission to list {path}") from None
    except OSError as exc:
        raise ToolError(f"{path} cannot be listed: {exc.strerror}") from None
    try:
        context.check_opened(fd, os.fstat(fd), path)
        # Read through the descriptor just checked (scandir takes a copy of it). Each entry is
        # looked at before the listing closes, since its details are read relative to it.
        with os.scandir(fd) as it:
            entries = sorted(it, key=lambda e: e.name)
            infos: list[tuple[str, os.stat_result | None]] = []
            for entry in entries[:MAX_ENTRIES]:
                try:
                    infos.append((entry.name, entry.stat(follow_symlinks=False)))
                except OSError:
                    infos.append((entry.name, None))
    except PermissionError:
        raise ToolError(f"no permission to list {path}") from None
    finally:
        os.close(fd)
    lines = [f"{path} ({len(entries)} entr{'y' if len(entries) == 1 else 'ies'})"]
    for name, info in infos:
        if info is None:
            lines.append(f"? {name}")
        elif stat.S_ISDIR(info.st_mode):
            lines.append(f"dir  {name}/")
        elif stat.S_ISLNK(info.st_mode):
            lines.append(f"link {name}")
        else:
            lines.append(f"file {name} ({info.st_size} bytes)")
    if len(entries) > MAX_ENTRIES:
        lines.append(f"… {len(entries) - MAX_ENTRIES} more not shown")
    return "\n".join(lines)


async def run(arguments: dict, context: ToolContext) -> dict:
    path = context.path(arguments.get("path"))
    return {"text": await off_loop(_listing, path, context, what=f"listing {path}")}
