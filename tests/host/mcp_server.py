"""A small stdio MCP server for the tests, written with the SDK: a read-only ``echo``, a
``write_note`` that changes a file, and ``show_env``, which tells what environment it was given, and ``hang``, which never answers.

    python tests/host/mcp_server.py NOTE_FILE
"""

import os
import sys
from pathlib import Path

import anyio
from mcp.server.mcpserver import MCPServer
from mcp.types import ToolAnnotations

note = Path(sys.argv[1])
server = MCPServer("notes")


@server.tool(annotations=ToolAnnotations(read_only_hint=True))
def echo(text: str) -> str:
    """Returns the text it is given."""
    return f"echo: {text}"


@server.tool()
def write_note(text: str) -> str:
    """Writes the text into the note file."""
    note.write_text(text)
    return f"wrote {len(text)} characters"


@server.tool(annotations=ToolAnnotations(read_only_hint=True))
def show_env() -> str:
    """The names of the environment variables the server was started with."""
    return " ".join(sorted(os.environ))


@server.tool(annotations=ToolAnnotations(read_only_hint=True))
async def hang() -> str:
    """Never answers (until the client cancels the call)."""
    await anyio.sleep_forever()
    return "unreachable"


if __name__ == "__main__":
    server.run()
