"""An OpenAI-compatible chat-completions server on 127.0.0.1 that plays scripted answers.

Each request to ``…/chat/completions`` takes the next script from ``replies`` (a plain text
"OK" when none is left) and is kept, decoded, in ``requests``. A script is a list of steps:

- ``text(*pieces)``: one content delta per piece;
- ``reasoning(text)``: a reasoning delta;
- ``tool_call(name, arguments)``: one call, its name and its argument text each split in two;
- ``status(code, message)``: an HTTP error answer instead of a stream (``echoing_status(code)``:
  one whose message quotes the request's Authorization header);
- ``stall()``: stop sending and wait for the client to hang up (``closed`` is then set).

The server runs its own event loop in a thread, so synchronous and asynchronous tests alike
can use it, and a server process under test can reach it.
"""

from __future__ import annotations

import asyncio
import itertools
import json
import threading

_ids = itertools.count(1)


def text(*pieces: str) -> list:
    return [("delta", {"content": p}) for p in pieces]


def reasoning(content: str) -> list:
    return [("delta", {"reasoning_content": content})]


def tool_call(name: str, arguments: dict | str, index: int = 0) -> list:
    args = arguments if isinstance(arguments, str) else json.dumps(arguments)
    call_id = f"call_fake{next(_ids)}"
    cut_name, cut_args = max(1, len(name) // 2), len(args) // 2
    return [
        ("delta", {"tool_calls": [{"index": index, "id": call_id, "type": "function",
                                   "function": {"name": name[:cut_name], "arguments": ""}}]}),
        ("delta", {"tool_calls": [{"index": index, "function": {"name": name[cut_name:], "arguments": args[:cut_args]}}]}),
        ("delta", {"tool_calls": [{"index": index, "function": {"arguments": args[cut_args:]}}]}),
    ]


def status(code: int, message: str = "refused") -> list:
    return [("status", (code, message))]


def echoing_status(code: int) -> list:
    """An HTTP error whose message quotes the request's credentials, as careless providers do."""
    return [("status", (code, None))]


def stall() -> list:
    return [("stall", None)]


class FakeModelServer:
    def __init__(self):
        self.replies: list[list] = []
        self.requests: list[dict] = []
        self.closed = threading.Event()  # a client hung up on a stalled stream
        self.stalled = threading.Event()  # a stream is stalling now
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True)
        self._server = None
        self._writers: set = set()
        self.port = 0

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}/v1"

    def start(self) -> FakeModelServer:
        self._thread.start()
        self._server = asyncio.run_coroutine_threadsafe(
            asyncio.start_server(self._serve, "127.0.0.1", 0), self._loop).result(10)
        self.port = self._server.sockets[0].getsockname()[1]
        return self

    def stop(self) -> None:
        async def close():
            self._server.close()
            for writer in list(self._writers):
                writer.close()

        asyncio.run_coroutine_threadsafe(close(), self._loop).result(10)
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(10)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- one connection ------------------------------------------------------------------

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self._writers.add(writer)
        try:
            while await self._request(reader, writer):
                pass
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            self._writers.discard(writer)
            writer.close()

    async def _request(self, reader, writer) -> bool:
        head = await reader.readuntil(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        headers = {k.strip().lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:] if line)}
        body = await reader.readexactly(int(headers.get("content-length", 0)))
        if not lines[0].split(" ")[1].endswith("/chat/completions"):
            await self._answer(writer, 404, {"error": {"message": "not found"}})
            return True
        request = json.loads(body or b"{}")
        request["_headers"] = headers
        self.requests.append(request)
        script = self.replies.pop(0) if self.replies else text("OK")
        if script and script[0][0] == "status":
            code, message = script[0][1]
            if message is None:
                message = f"request refused for key {headers.get('authorization', '')}"
            await self._answer(writer, code, {"error": {"message": message, "type": "fake", "code": code}})
            return True
        writer.write(b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
                     b"Transfer-Encoding: chunked\r\n\r\n")
        model = request.get("model", "fake")
        finish = "stop"
        for kind, value in script:
            if kind == "stall":
                await writer.drain()
                self.stalled.set()
                await reader.read()  # until the client hangs up
                self.closed.set()
                return False
            if "tool_calls" in value:
                finish = "tool_calls"
            await self._event(writer, {"choices": [{"index": 0, "delta": value, "finish_reason": None}]}, model)
        await self._event(writer, {"choices": [{"index": 0, "delta": {}, "finish_reason": finish}]}, model)
        await self._event(writer, {"choices": [], "usage": {"prompt_tokens": 10, "completion_tokens": 5,
                                                            "total_tokens": 15}}, model)
        self._chunk(writer, b"data: [DONE]\n\n")
        self._chunk(writer, b"")
        await writer.drain()
        return True

    @staticmethod
    def _chunk(writer, data: bytes) -> None:
        writer.write(b"%x\r\n%s\r\n" % (len(data), data))

    async def _event(self, writer, payload: dict, model: str) -> None:
        payload = {"id": "chatcmpl-fake", "object": "chat.completion.chunk", "created": 0, "model": model, **payload}
        self._chunk(writer, b"data: " + json.dumps(payload).encode() + b"\n\n")
        await writer.drain()

    @staticmethod
    async def _answer(writer, code: int, payload: dict) -> None:
        body = json.dumps(payload).encode()
        writer.write(b"HTTP/1.1 %d Fake\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n%s"
                     % (code, len(body), body))
        await writer.drain()
