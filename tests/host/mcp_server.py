"""A small MCP server for the tests, written with the SDK: a read-only ``echo``, a ``write_note``
that changes a file, ``show_env``, which tells what environment it was given, ``hang``, which never
answers, ``crash``, which exits mid-call, ``learn``, which adds a tool and says so
(``notifications/tools/list_changed``), and ``picture``, which answers with a PNG.

    python tests/host/mcp_server.py NOTE_FILE                    (stdio)
    python tests/host/mcp_server.py NOTE_FILE --http PORT_FILE [--token TOKEN] [--port PORT]

Over HTTP it listens on 127.0.0.1, on PORT or a free port, written to PORT_FILE once it listens; with
``--token`` every request must carry ``Authorization: Bearer TOKEN`` (401 otherwise).
"""

import os
import socket
import struct
import sys
import zlib
from pathlib import Path

import anyio
from mcp.server.mcpserver import Context, MCPServer
from mcp.server.mcpserver.utilities.types import Image
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


@server.tool(annotations=ToolAnnotations(read_only_hint=True))
def crash() -> str:
    """Exits the server's process at once, without an answer."""
    os._exit(3)


@server.tool(annotations=ToolAnnotations(read_only_hint=True))
async def learn(name: str, ctx: Context) -> str:
    """Adds a read-only tool of that name, which answers with its name, and tells the client."""

    def learned() -> str:
        return f"I am {name}"

    server.add_tool(
        learned, name=name, description=f"The tool {name}", annotations=ToolAnnotations(read_only_hint=True)
    )
    await ctx.session.send_tool_list_changed()
    return f"learned {name}"


def _png(width: int = 2, height: int = 2) -> bytes:
    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = b"".join(b"\0" + b"\xff\x00\x00" * width for _ in range(height))
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(rows))
        + chunk(b"IEND", b"")
    )


@server.tool(annotations=ToolAnnotations(read_only_hint=True))
def picture(kind: str = "png") -> Image:
    """A small red picture, as a PNG or (kind "jpeg") a JPEG."""
    if kind == "jpeg":
        import io

        from PIL import Image as Pillow

        out = io.BytesIO()
        Pillow.new("RGB", (4, 4), (255, 0, 0)).save(out, "JPEG")
        return Image(data=out.getvalue(), format="jpeg")
    return Image(data=_png(), format="png")


def serve_http(port_file: Path, token: str | None, port: int = 0) -> None:
    import uvicorn
    from starlette.responses import PlainTextResponse

    app = server.streamable_http_app()
    if token is not None:
        inner = app

        async def app(scope, receive, send):  # type: ignore[no-redef]
            headers = dict(scope.get("headers") or [])
            if scope["type"] == "http" and headers.get(b"authorization") != f"Bearer {token}".encode():
                await PlainTextResponse("unauthorized", status_code=401)(scope, receive, send)
                return
            await inner(scope, receive, send)

    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", port))
    sock.listen(64)
    port_file.with_suffix(".tmp").write_text(str(sock.getsockname()[1]))
    os.replace(port_file.with_suffix(".tmp"), port_file)
    config = uvicorn.Config(app, log_level="warning", lifespan="on")
    uvicorn.Server(config).run(sockets=[sock])


if __name__ == "__main__":
    if "--http" in sys.argv:
        args = sys.argv[2:]
        token = args[args.index("--token") + 1] if "--token" in args else None
        port = int(args[args.index("--port") + 1]) if "--port" in args else 0
        serve_http(Path(args[args.index("--http") + 1]), token, port)
    else:
        server.run()
