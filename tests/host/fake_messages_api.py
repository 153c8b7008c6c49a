"""Anthropic's Messages API on 127.0.0.1, streaming scripted answers, as strict as the real one
about what the Computer Use agent sends.

``POST /v1/messages`` takes the next script from ``replies`` (a plain "OK" text when none is
left) and keeps each request, decoded, in ``requests`` (its headers under "_headers"). A script
is a list of content blocks: ``say(text)`` and ``use(input)`` (a ``tool_use`` of the tool
"computer", its input streamed as ``input_json_delta`` pieces). A request that the real API would
refuse is answered 400 with Anthropic's error body and kept in ``refused``:

- no ``x-api-key``, no ``anthropic-version``, or no ``max_tokens``;
- messages that do not alternate user/assistant starting with the user, or a system message
  among them;
- an assistant ``tool_use`` whose id is not answered by a ``tool_result`` in the next message;
- an image block that is not base64 PNG or JPEG data;
- a ``computer_2025…`` tool without its name "computer" and whole display sizes, or without
  the matching ``anthropic-beta`` header.
"""

from __future__ import annotations

import asyncio
import base64
import itertools
import json
import threading

_ids = itertools.count(1)
BETAS = {"computer_20250124": "computer-use-2025-01-24", "computer_20251124": "computer-use-2025-11-24"}


def say(text: str) -> dict:
    return {"type": "text", "text": text}


def use(tool_input: dict) -> dict:
    return {"type": "tool_use", "id": f"toolu_fake{next(_ids):04d}", "name": "computer", "input": tool_input}


def _problem(request: dict, headers: dict) -> str | None:
    if not headers.get("x-api-key"):
        return "x-api-key header is required"
    if not headers.get("anthropic-version"):
        return "anthropic-version header is required"
    if not isinstance(request.get("max_tokens"), int):
        return "max_tokens: Field required"
    for tool in request.get("tools") or []:
        kind = tool.get("type", "custom")
        if kind.startswith("computer_"):
            if kind not in BETAS:
                return f"tools: unknown tool type {kind}"
            if tool.get("name") != "computer":
                return "tools.computer: name must be 'computer'"
            if not all(isinstance(tool.get(k), int) and tool[k] > 0 for k in ("display_width_px", "display_height_px")):
                return "tools.computer: display_width_px and display_height_px are required"
            if BETAS[kind] not in [b.strip() for b in headers.get("anthropic-beta", "").split(",")]:
                return f"tools.0: the {kind} tool needs the anthropic-beta header {BETAS[kind]}"
        elif "input_schema" not in tool:
            return "tools: input_schema: Field required"
    messages = request.get("messages")
    if not isinstance(messages, list) or not messages:
        return "messages: at least one message is required"
    expected = "user"
    pending: set[str] = set()
    for i, message in enumerate(messages):
        role = message.get("role")
        if role != expected:
            return f"messages.{i}: roles must alternate between user and assistant, starting with user"
        content = message.get("content")
        blocks = [{"type": "text", "text": content}] if isinstance(content, str) else content
        if not isinstance(blocks, list) or not blocks:
            return f"messages.{i}: content must be a string or a non-empty list"
        answered = set()
        for block in blocks:
            kind = block.get("type")
            if kind == "tool_result":
                answered.add(block.get("tool_use_id"))
                inner = block.get("content", [])
                for part in inner if isinstance(inner, list) else []:
                    if part.get("type") not in ("text", "image"):
                        return f"messages.{i}: tool_result content must be text or image blocks"
                    if part.get("type") == "image" and (problem := _image_problem(part)):
                        return f"messages.{i}: {problem}"
            elif kind == "image" and (problem := _image_problem(block)):
                return f"messages.{i}: {problem}"
        if pending - answered:
            return (f"messages.{i}: tool_use ids were found without tool_result blocks immediately after: "
                    + ", ".join(sorted(pending - answered)))
        pending = {b["id"] for b in blocks if b.get("type") == "tool_use"} if role == "assistant" else set()
        expected = "assistant" if role == "user" else "user"
    if pending:
        return "the last message has tool_use blocks without their tool_result"
    return None


def _image_problem(block: dict) -> str | None:
    source = block.get("source") or {}
    if source.get("type") != "base64" or source.get("media_type") not in ("image/png", "image/jpeg"):
        return "image source must be base64 image/png or image/jpeg"
    try:
        data = base64.b64decode(source.get("data", ""), validate=True)
    except ValueError:
        return "image data is not base64"
    if not data.startswith((b"\x89PNG\r\n\x1a\n", b"\xff\xd8")):
        return "image data is not the image its media_type says"
    return None


class FakeMessagesAPI:
    def __init__(self):
        self.replies: list[list[dict]] = []
        self.requests: list[dict] = []
        self.refused: list[str] = []
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True)
        self._server = None
        self._writers: set = set()
        self.port = 0

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def start(self) -> FakeMessagesAPI:
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

    async def _serve(self, reader, writer) -> None:
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
        method, path = lines[0].split(" ")[:2]
        if method != "POST" or not path.split("?")[0].endswith("/v1/messages"):
            await self._answer(writer, 404, {"type": "error", "error": {"type": "not_found_error", "message": path}})
            return True
        request = json.loads(body or b"{}")
        problem = _problem(request, headers)
        if problem is not None:
            self.refused.append(problem)
            await self._answer(writer, 400, {"type": "error",
                                             "error": {"type": "invalid_request_error", "message": problem}})
            return True
        request["_headers"] = headers
        self.requests.append(request)
        script = self.replies.pop(0) if self.replies else [say("OK")]
        writer.write(b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
                     b"Transfer-Encoding: chunked\r\n\r\n")
        await self._event(writer, "message_start", {"type": "message_start", "message": {
            "id": f"msg_fake{next(_ids)}", "type": "message", "role": "assistant", "model": request.get("model"),
            "content": [], "stop_reason": None, "stop_sequence": None,
            "usage": {"input_tokens": 10, "output_tokens": 1}}})
        stop = "end_turn"
        for index, block in enumerate(script):
            if block["type"] == "text":
                await self._event(writer, "content_block_start", {"type": "content_block_start", "index": index,
                                                                  "content_block": {"type": "text", "text": ""}})
                text = block["text"]
                for piece in (text[:len(text) // 2], text[len(text) // 2:]):
                    await self._event(writer, "content_block_delta", {"type": "content_block_delta", "index": index,
                                                                      "delta": {"type": "text_delta", "text": piece}})
            else:
                stop = "tool_use"
                await self._event(writer, "content_block_start", {"type": "content_block_start", "index": index,
                                                                  "content_block": {"type": "tool_use", "id": block["id"],
                                                                                    "name": block["name"], "input": {}}})
                args = json.dumps(block["input"])
                for piece in (args[:len(args) // 2], args[len(args) // 2:]):
                    await self._event(writer, "content_block_delta", {"type": "content_block_delta", "index": index,
                                                                      "delta": {"type": "input_json_delta",
                                                                                "partial_json": piece}})
            await self._event(writer, "content_block_stop", {"type": "content_block_stop", "index": index})
        await self._event(writer, "message_delta", {"type": "message_delta",
                                                    "delta": {"stop_reason": stop, "stop_sequence": None},
                                                    "usage": {"output_tokens": 5}})
        await self._event(writer, "message_stop", {"type": "message_stop"})
        self._chunk(writer, b"")
        await writer.drain()
        return True

    @staticmethod
    def _chunk(writer, data: bytes) -> None:
        writer.write(b"%x\r\n%s\r\n" % (len(data), data))

    async def _event(self, writer, name: str, payload: dict) -> None:
        self._chunk(writer, f"event: {name}\ndata: {json.dumps(payload)}\n\n".encode())
        await writer.drain()

    @staticmethod
    async def _answer(writer, code: int, payload: dict) -> None:
        body = json.dumps(payload).encode()
        writer.write(b"HTTP/1.1 %d Fake\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n%s"
                     % (code, len(body), body))
        await writer.drain()
