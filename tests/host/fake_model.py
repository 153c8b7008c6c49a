"""Scripted model servers on 127.0.0.1, in three wire formats, as strict as the strictest real ones.

``FakeModelServer(flavour)`` speaks one of:

- "openai": an OpenAI-compatible ``…/v1/chat/completions`` (server-sent events, tool calls as
  deltas with an ``index``), the way llama.cpp's server and vLLM do; LiteLLM's ``openai/``;
- "anthropic": Anthropic's Messages API ``/v1/messages`` (named server-sent events: message_start,
  content_block_start/delta/stop, message_delta, message_stop); LiteLLM's ``anthropic/``;
- "ollama": Ollama's ``/api/chat`` (one JSON object a line, each call whole on a line of its own,
  arguments as an object); LiteLLM's ``ollama_chat/``.

``url`` and ``model`` are what LiteLLM is given (``api_base`` and the model string).

Each request takes the next script from ``replies`` (a plain text "OK" when none is left) and is
kept, decoded, in ``requests``. Before any script runs, the conversation is checked against the
rules the strictest servers enforce, and refused with 400 and their words when it breaks one:
every assistant tool call answered by exactly one tool message with its id before anything else,
no tool message answering nothing, arguments always a JSON object, known roles only. The Messages
API is held to Anthropic's rules: ``x-api-key`` (else 401) and ``anthropic-version``, ``max_tokens``,
user and assistant alternating from a user message, no empty message, each ``tool_use`` answered by
a ``tool_result`` first thing in the very next message, images base64 data of the type they name,
tool names of letters, digits, "_" and "-", unique, blocks of tools only with tools defined, and
the computer-use tool (``computer_20250124``, ``computer_20251124``) named "computer", with whole
display sizes, no field it does not know and its ``anthropic-beta`` header. ``refusals`` keeps
what was refused. With ``context_chars``, a request whose messages hold more characters than that is
refused as a server with a small window refuses it.

A script is a list of steps:

- ``text(*pieces)``: one text delta per piece;
- ``reasoning(text)``: a reasoning delta;
- ``tool_call(name, arguments, index=0)``: one call; in OpenAI's format its name and argument
  text each split in two deltas, or, with ``index=None``, one delta without an index (as Gemini's
  OpenAI-compatible endpoint sends calls);
- ``finish(reason)``: how the answer ends ("length": cut at the output limit);
- ``status(code, message, headers)``: an HTTP error answer instead of a stream (``echoing_status(code)``:
  one whose message quotes the request's Authorization header);
- ``stall()``: stop sending and wait for the client to hang up (``closed`` is then set);
- ``drop()``: close the connection in the middle of the answer.

The server runs its own event loop in a thread, so synchronous and asynchronous tests alike
can use it, and a server process under test can reach it.
"""

from __future__ import annotations

import asyncio
import base64
import itertools
import json
import re
import threading
from collections.abc import Callable

_ids = itertools.count(1)

FLAVOURS = ("openai", "anthropic", "ollama")


def text(*pieces: str) -> list:
    return [("text", p) for p in pieces]


def reasoning(content: str) -> list:
    return [("reasoning", content)]


def tool_call(name: str, arguments: dict | str, index: int | None = 0) -> list:
    args = arguments if isinstance(arguments, str) else json.dumps(arguments)
    return [("call", {"id": f"call_fake{next(_ids)}", "name": name, "arguments": args, "index": index})]


def finish(reason: str) -> list:
    return [("finish", reason)]


def status(code: int, message: str = "refused", headers: dict | None = None) -> list:
    return [("status", (code, message, headers or {}))]


def echoing_status(code: int, headers: dict | None = None) -> list:
    """An HTTP error whose message quotes the request's credentials, as careless providers do."""
    return [("status", (code, None, headers or {}))]


def stall() -> list:
    return [("stall", None)]


def wait(seconds: float) -> list:
    """A pause before what follows: a model working out its next token."""
    return [("wait", seconds)]


def drop() -> list:
    return [("drop", None)]


# -- what the strictest servers refuse -----------------------------------------------------------


def _object_arguments(text) -> str | None:
    """Why ``text`` is not a JSON object's text, or None."""
    if not isinstance(text, str):
        return "tool call arguments must be a string holding a JSON object"
    try:
        value = json.loads(text)
    except ValueError as exc:
        return f"Failed to parse tool call arguments as JSON: {exc}"
    return None if isinstance(value, dict) else "tool call arguments must be a JSON object"


def check_chat(messages) -> str | None:
    """An OpenAI-style conversation (the OpenAI-compatible and Ollama's), or why it is refused."""
    if not isinstance(messages, list) or not messages:
        return "'messages' must be a non-empty array"
    pending: list[str] = []
    for i, m in enumerate(messages):
        role = m.get("role")
        if role not in ("system", "developer", "user", "assistant", "tool"):
            return f"Invalid value for 'messages[{i}].role': {role!r}"
        if role == "tool":
            call_id = m.get("tool_call_id")
            if call_id not in pending:
                return (
                    "Invalid parameter: messages with role 'tool' must be a response to a preceeding "
                    "message with 'tool_calls'."
                )
            pending.remove(call_id)
            continue
        if pending:
            return (
                "An assistant message with 'tool_calls' must be followed by tool messages responding to each "
                "'tool_call_id'. The following tool_call_ids did not have response messages: " + ", ".join(pending)
            )
        if role == "assistant":
            calls = m.get("tool_calls") or []
            if not calls and not m.get("content"):
                return f"Invalid value for 'messages[{i}].content': expected a string, got null."
            for call in calls:
                fn = call.get("function") or {}
                if not call.get("id") or not isinstance(fn.get("name"), str) or not fn["name"]:
                    return f"Invalid 'messages[{i}].tool_calls': each call needs an id and a function name"
                args = fn.get("arguments")
                why = None if isinstance(args, dict) else _object_arguments(args)
                if why:
                    return why
                pending.append(call["id"])
    if pending:
        return (
            "An assistant message with 'tool_calls' must be followed by tool messages responding to each "
            "'tool_call_id'. The following tool_call_ids did not have response messages: " + ", ".join(pending)
        )
    return None


def check_ollama(messages) -> str | None:
    for m in messages if isinstance(messages, list) else []:
        for call in m.get("tool_calls") or []:
            args = (call.get("function") or {}).get("arguments")
            if not isinstance(args, dict):
                kind = "array" if isinstance(args, list) else type(args).__name__
                return (
                    "json: cannot unmarshal " + kind + " into Go struct field ToolCallFunction.messages.tool_calls."
                    "function.arguments of type api.ToolCallFunctionArguments"
                )
    # Ollama pairs results with calls by position; the stricter rule of id pairing is checked too.
    plain = []
    for m in messages if isinstance(messages, list) else []:
        m = dict(m)
        if m.get("tool_calls"):
            m["tool_calls"] = [
                {"id": c.get("id"), "function": {"name": c["function"].get("name"), "arguments": "{}"}}
                for c in m["tool_calls"]
            ]
        plain.append(m)
    return check_chat(plain)


# Anthropic's client tools that need a beta header, and the header's value.
COMPUTER_TOOLS = {"computer_20250124": "computer-use-2025-01-24", "computer_20251124": "computer-use-2025-11-24"}
IMAGE_TYPES = {
    "image/png": b"\x89PNG\r\n\x1a\n",
    "image/jpeg": b"\xff\xd8\xff",
    "image/gif": b"GIF8",
    "image/webp": b"RIFF",
}


def check_anthropic_headers(headers: dict) -> tuple[int, str] | None:
    if not headers.get("x-api-key"):
        return 401, "x-api-key header is required"
    if not headers.get("anthropic-version"):
        return 400, "anthropic-version: header is required"
    return None


def _check_tools(tools, headers: dict) -> str | None:
    if tools is None:
        return None
    if not isinstance(tools, list):
        return "tools: Input should be a valid list"
    betas = {b.strip() for b in headers.get("anthropic-beta", "").split(",") if b.strip()}
    names = set()
    for i, tool in enumerate(tools):
        kind = tool.get("type", "custom")
        name = tool.get("name")
        if not isinstance(name, str) or not re.fullmatch(r"[a-zA-Z0-9_-]{1,64}", name):
            return f"tools.{i}.name: String should match pattern '^[a-zA-Z0-9_-]{{1,64}}$'"
        if name in names:
            return "tools: Tool names must be unique."
        names.add(name)
        if kind in COMPUTER_TOOLS:
            if COMPUTER_TOOLS[kind] not in betas:
                return f"tools.{i}: Input tag '{kind}' found using 'type' does not match any of the expected tags"
            allowed = {"type", "name", "display_width_px", "display_height_px", "display_number", "cache_control"}
            if kind == "computer_20251124":
                allowed.add("enable_zoom")
            extra = sorted(set(tool) - allowed)
            if extra:
                return f"tools.{i}.{kind}.{extra[0]}: Extra inputs are not permitted"
            if name != "computer":
                return f"tools.{i}.{kind}.name: Input should be 'computer'"
            for key in ("display_width_px", "display_height_px"):
                value = tool.get(key)
                if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                    return f"tools.{i}.{kind}.{key}: " + (
                        "Field required" if value is None else "Input should be greater than or equal to 1"
                    )
            number = tool.get("display_number")
            if number is not None and (isinstance(number, bool) or not isinstance(number, int)):
                return f"tools.{i}.{kind}.display_number: Input should be a valid integer"
        elif kind == "custom":
            if not isinstance(tool.get("input_schema"), dict):
                return f"tools.{i}.custom.input_schema: Field required"
            if tool["input_schema"].get("type") != "object":
                return f"tools.{i}.custom.input_schema.type: Input should be 'object'"
        else:
            return f"tools.{i}: Input tag '{kind}' found using 'type' does not match any of the expected tags"
    return None


def _image_problem(block: dict) -> str | None:
    source = block.get("source")
    if not isinstance(source, dict) or source.get("type") != "base64":
        return "image.source: Input tag found using 'type' does not match the expected tags: 'base64'"
    media = source.get("media_type")
    if media not in IMAGE_TYPES:
        return f"image.source.base64.media_type: Input should be {', '.join(map(repr, IMAGE_TYPES))}"
    try:
        data = base64.b64decode(source.get("data", ""), validate=True)
    except ValueError:
        return "image.source.base64.data: The image data is not valid base64"
    if not data.startswith(IMAGE_TYPES[media]):
        return (
            f"image.source.base64: The image was specified using the {media} media type, but it does not appear to be"
        )
    return None


def check_anthropic(body: dict, headers: dict | None = None) -> str | None:
    """Why Anthropic's Messages API refuses ``body`` (sent with ``headers``), or None."""
    if isinstance(body.get("max_tokens"), bool) or not isinstance(body.get("max_tokens"), int):
        return "max_tokens: Field required"
    if body["max_tokens"] < 1:
        return "max_tokens: Input should be greater than or equal to 1"
    system = body.get("system")
    if (
        system is not None
        and not isinstance(system, str)
        and not (isinstance(system, list) and all(isinstance(b, dict) and b.get("type") == "text" for b in system))
    ):
        return "system: Input should be a valid string or a list of text blocks"
    why = _check_tools(body.get("tools"), headers or {})
    if why:
        return why
    messages = body.get("messages")
    if not isinstance(messages, list) or not messages:
        return "messages: at least one message is required"
    if messages[0].get("role") != "user":
        return 'messages: first message must use the "user" role'
    previous_uses: set[str] = set()
    any_tool_blocks = False
    for i, m in enumerate(messages):
        role = m.get("role")
        if role not in ("user", "assistant"):
            return f"messages.{i}.role: Input should be 'user' or 'assistant'"
        if i and messages[i - 1].get("role") == role:
            return f'messages: roles must alternate between "user" and "assistant", but found multiple "{role}" roles in a row'
        content = m.get("content")
        blocks = [{"type": "text", "text": content}] if isinstance(content, str) else content
        if not isinstance(blocks, list) or (not blocks and i != len(messages) - 1):
            return f"messages.{i}: all messages must have non-empty content except for the optional final assistant message"
        uses, results = [], []
        seen_other = False
        for j, b in enumerate(blocks):
            kind = b.get("type")
            if kind == "text":
                if not b.get("text") and not (i == len(messages) - 1 and role == "assistant"):
                    return "messages: text content blocks must be non-empty"
                seen_other = True
            elif kind == "image":
                why = _image_problem(b)
                if why:
                    return f"messages.{i}.content.{j}.{why}"
                seen_other = True
            elif kind in ("thinking", "redacted_thinking"):
                if role != "assistant":
                    return f"messages.{i}.content.{j}: thinking blocks may only appear in assistant messages"
            elif kind == "tool_use":
                any_tool_blocks = True
                if role != "assistant":
                    return f"messages.{i}.content.{j}: tool_use blocks may only appear in assistant messages"
                if not isinstance(b.get("input"), dict):
                    return f"messages.{i}.content.{j}.tool_use.input: Input should be a valid dictionary"
                uses.append(b.get("id"))
            elif kind == "tool_result":
                any_tool_blocks = True
                if b.get("tool_use_id") not in previous_uses:
                    return (
                        f"messages.{i}.content.{j}: unexpected `tool_use_id` found in `tool_result` blocks: "
                        f"{b.get('tool_use_id')}. Each `tool_result` block must have a corresponding `tool_use` "
                        "block in the previous message."
                    )
                if seen_other:
                    # The results come first in their message; text may follow them, never precede.
                    return (
                        f"messages.{i}: `tool_use` ids were found without `tool_result` blocks immediately "
                        "after: " + ", ".join(sorted(previous_uses - set(results))) + ". Each `tool_use` block "
                        "must have a corresponding `tool_result` block in the next message."
                    )
                inner = b.get("content", "")
                for k, part in enumerate(inner if isinstance(inner, list) else []):
                    if part.get("type") not in ("text", "image"):
                        return f"messages.{i}.content.{j}.tool_result.content.{k}: Input tag does not match 'text', 'image'"
                    why = _image_problem(part) if part.get("type") == "image" else None
                    if why:
                        return f"messages.{i}.content.{j}.tool_result.content.{k}.{why}"
                if not isinstance(inner, (str, list)):
                    return f"messages.{i}.content.{j}.tool_result.content: Input should be a valid string or list"
                results.append(b.get("tool_use_id"))
            else:
                return f"messages.{i}.content.{j}: Input tag '{kind}' found using 'type' does not match any of the expected tags"
        missing = [u for u in previous_uses if u not in results]
        if missing:
            return (
                f"messages.{i}: `tool_use` ids were found without `tool_result` blocks immediately after: "
                f"{', '.join(missing)}. Each `tool_use` block must have a corresponding `tool_result` block in "
                "the next message."
            )
        previous_uses = set(uses)
    if previous_uses:
        return (
            f"messages.{len(messages)}: `tool_use` ids were found without `tool_result` blocks immediately after: "
            f"{', '.join(previous_uses)}. Each `tool_use` block must have a corresponding `tool_result` block in "
            "the next message."
        )
    if any_tool_blocks and not body.get("tools"):
        return "Requests which include `tool_use` or `tool_result` blocks must define tools."
    return None


def _chars(messages) -> int:
    return len(json.dumps(messages))


CONTEXT_ERRORS = {
    "openai": "the request exceeds the available context size, try increasing it",
    "anthropic": "prompt is too long: {n} tokens > {limit} maximum",
    "ollama": "the input length exceeds the context length",
}


# How the host's request for a conversation's title begins (tavrin.core.titles.PROMPT).
TITLE_PROMPT = "Write a title of at most six words"


class FakeModelServer:
    def __init__(self, flavour: str = "openai", context_chars: int | None = None):
        if flavour not in FLAVOURS:
            raise ValueError(flavour)
        self.flavour = flavour
        self.context_chars = context_chars
        self.replies: list[list] = []
        self.requests: list[dict] = []
        # The host asks for a conversation's title after its first answer, beside the turns: those
        # requests are answered from here (a title by default) and kept apart, so that a test's
        # script of replies and its list of requests are the turns' own.
        self.titles: list[list] = []
        self.title_requests: list[dict] = []
        self.refusals: list[str] = []
        # A function of each request that gives its script, in place of ``replies``: for a server in
        # a process of its own, which no caller scripts turn by turn.
        self.script_for: Callable[[dict], list] | None = None
        self.closed = threading.Event()  # a client hung up on a stalled stream
        self.stalled = threading.Event()  # a stream is stalling now
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True)
        self._server = None
        self._writers: set = set()
        self.port = 0

    @property
    def url(self) -> str:
        root = f"http://127.0.0.1:{self.port}"
        return root + "/v1" if self.flavour == "openai" else root

    @property
    def model(self) -> str:
        return {"openai": "openai/fake", "anthropic": "anthropic/claude-fake", "ollama": "ollama_chat/fake"}[
            self.flavour
        ]

    @property
    def path(self) -> str:
        return {"openai": "/chat/completions", "anthropic": "/v1/messages", "ollama": "/api/chat"}[self.flavour]

    def start(self) -> FakeModelServer:
        self._thread.start()
        self._server = asyncio.run_coroutine_threadsafe(
            asyncio.start_server(self._serve, "127.0.0.1", 0), self._loop
        ).result(10)
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

    def sent(self, i: int = -1) -> list[dict]:
        """The messages of request ``i`` as this server received them."""
        return self.requests[i]["messages"]

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

    def _refusal(self, request: dict, headers: dict) -> tuple[int, str] | None:
        if self.flavour == "anthropic":
            refused = check_anthropic_headers(headers)
            if refused is not None:
                return refused
            why = check_anthropic(request, headers)
        elif self.flavour == "ollama":
            why = check_ollama(request.get("messages"))
        else:
            why = check_chat(request.get("messages"))
        if why:
            return 400, why
        if self.context_chars is not None:
            size = _chars(request.get("messages")) + len(json.dumps(request.get("system", "")))
            if size > self.context_chars:
                return 400, CONTEXT_ERRORS[self.flavour].format(n=size // 3, limit=self.context_chars // 3)
        return None

    async def _request(self, reader, writer) -> bool:
        head = await reader.readuntil(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        headers = {k.strip().lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:] if line)}
        body = await reader.readexactly(int(headers.get("content-length", 0)))
        if not lines[0].split(" ")[1].split("?")[0].endswith(self.path):
            await self._error(writer, 404, "not found")
            return True
        request = json.loads(body or b"{}")
        request["_headers"] = headers
        asks_title = TITLE_PROMPT in json.dumps([request.get("system"), (request.get("messages") or [None])[0]])
        (self.title_requests if asks_title else self.requests).append(request)
        refused = self._refusal(request, headers)
        if refused is not None:
            self.refusals.append(refused[1])
            await self._error(writer, *refused)
            return True
        if asks_title:
            script = self.titles.pop(0) if self.titles else text("A title")
        elif self.script_for is not None:
            script = self.script_for(request)
        else:
            script = self.replies.pop(0) if self.replies else text("OK")
        if script and script[0][0] == "status":
            code, message, extra = script[0][1]
            if message is None:
                message = f"request refused for key {headers.get('authorization', '')}"
            await self._error(writer, code, message, extra)
            return True
        content_type = b"application/x-ndjson" if self.flavour == "ollama" else b"text/event-stream"
        writer.write(
            b"HTTP/1.1 200 OK\r\nContent-Type: %s\r\nCache-Control: no-cache\r\n"
            b"Transfer-Encoding: chunked\r\n\r\n" % content_type
        )
        wire = {"openai": _OpenAIWire, "anthropic": _AnthropicWire, "ollama": _OllamaWire}[self.flavour](
            self, writer, request.get("model", "fake")
        )
        await wire.begin()
        for kind, value in script:
            if kind == "stall":
                await writer.drain()
                self.stalled.set()
                await reader.read()  # until the client hangs up
                self.closed.set()
                return False
            if kind == "drop":
                await writer.drain()
                writer.transport.abort()
                return False
            if kind == "finish":
                wire.finish = value
                continue
            if kind == "wait":
                await writer.drain()
                await asyncio.sleep(value)
                continue
            await wire.step(kind, value)
        await wire.end()
        self._chunk(writer, b"")
        await writer.drain()
        return True

    @staticmethod
    def _chunk(writer, data: bytes) -> None:
        writer.write(b"%x\r\n%s\r\n" % (len(data), data))

    async def _error(self, writer, code: int, message: str, extra_headers: dict | None = None) -> None:
        if self.flavour == "anthropic":
            kind = {
                400: "invalid_request_error",
                401: "authentication_error",
                404: "not_found_error",
                429: "rate_limit_error",
                529: "overloaded_error",
            }.get(code, "api_error")
            payload: dict = {"type": "error", "error": {"type": kind, "message": message}}
        elif self.flavour == "ollama":
            payload = {"error": message}
        else:
            payload = {
                "error": {"message": message, "type": "invalid_request_error" if code == 400 else "fake", "code": code}
            }
        body = json.dumps(payload).encode()
        more = "".join(f"{k}: {v}\r\n" for k, v in (extra_headers or {}).items()).encode()
        writer.write(
            b"HTTP/1.1 %d Fake\r\nContent-Type: application/json\r\n%sContent-Length: %d\r\n\r\n%s"
            % (code, more, len(body), body)
        )
        await writer.drain()


class _Wire:
    def __init__(self, server: FakeModelServer, writer, model: str):
        self.server, self.writer, self.model = server, writer, model
        self.finish: str | None = None
        self.calls = 0

    async def send(self, data: bytes) -> None:
        self.server._chunk(self.writer, data)
        await self.writer.drain()

    async def begin(self) -> None:
        pass


class _OpenAIWire(_Wire):
    async def event(self, payload: dict) -> None:
        payload = {
            "id": "chatcmpl-fake",
            "object": "chat.completion.chunk",
            "created": 0,
            "model": self.model,
            **payload,
        }
        await self.send(b"data: " + json.dumps(payload).encode() + b"\n\n")

    async def delta(self, delta: dict) -> None:
        await self.event({"choices": [{"index": 0, "delta": delta, "finish_reason": None}]})

    async def step(self, kind: str, value) -> None:
        if kind == "text":
            await self.delta({"content": value})
        elif kind == "reasoning":
            await self.delta({"reasoning_content": value})
        elif kind == "call":
            self.calls += 1
            name, args, index = value["name"], value["arguments"], value["index"]
            if index is None:
                await self.delta(
                    {
                        "tool_calls": [
                            {"id": value["id"], "type": "function", "function": {"name": name, "arguments": args}}
                        ]
                    }
                )
                return
            cut_name, cut_args = max(1, len(name) // 2), len(args) // 2
            for part in (
                {
                    "index": index,
                    "id": value["id"],
                    "type": "function",
                    "function": {"name": name[:cut_name], "arguments": ""},
                },
                {"index": index, "function": {"name": name[cut_name:], "arguments": args[:cut_args]}},
                {"index": index, "function": {"arguments": args[cut_args:]}},
            ):
                await self.delta({"tool_calls": [part]})

    async def end(self) -> None:
        reason = self.finish or ("tool_calls" if self.calls else "stop")
        await self.event({"choices": [{"index": 0, "delta": {}, "finish_reason": reason}]})
        await self.event({"choices": [], "usage": {"prompt_tokens": 10, "completion_tokens": 5, "total_tokens": 15}})
        await self.send(b"data: [DONE]\n\n")


class _AnthropicWire(_Wire):
    block: int = -1
    open_kind: str | None = None

    async def event(self, name: str, payload: dict) -> None:
        await self.send(
            b"event: " + name.encode() + b"\ndata: " + json.dumps({"type": name, **payload}).encode() + b"\n\n"
        )

    async def begin(self) -> None:
        await self.event(
            "message_start",
            {
                "message": {
                    "id": "msg_fake",
                    "type": "message",
                    "role": "assistant",
                    "model": self.model,
                    "content": [],
                    "stop_reason": None,
                    "stop_sequence": None,
                    "usage": {"input_tokens": 10, "output_tokens": 1},
                }
            },
        )
        await self.event("ping", {})

    async def close_block(self) -> None:
        if self.open_kind is not None:
            if self.open_kind == "thinking":
                await self.event(
                    "content_block_delta",
                    {"index": self.block, "delta": {"type": "signature_delta", "signature": "c2ln"}},
                )
            await self.event("content_block_stop", {"index": self.block})
            self.open_kind = None

    async def open_block(self, kind: str, block: dict) -> None:
        await self.close_block()
        self.block += 1
        self.open_kind = kind
        await self.event("content_block_start", {"index": self.block, "content_block": block})

    async def step(self, kind: str, value) -> None:
        if kind == "text":
            if self.open_kind != "text":
                await self.open_block("text", {"type": "text", "text": ""})
            await self.event(
                "content_block_delta", {"index": self.block, "delta": {"type": "text_delta", "text": value}}
            )
        elif kind == "reasoning":
            if self.open_kind != "thinking":
                await self.open_block("thinking", {"type": "thinking", "thinking": "", "signature": ""})
            await self.event(
                "content_block_delta", {"index": self.block, "delta": {"type": "thinking_delta", "thinking": value}}
            )
        elif kind == "call":
            self.calls += 1
            await self.open_block(
                "tool_use", {"type": "tool_use", "id": "toolu_" + value["id"], "name": value["name"], "input": {}}
            )
            args = value["arguments"]
            for piece in ("", args[: len(args) // 2], args[len(args) // 2 :]):
                await self.event(
                    "content_block_delta",
                    {"index": self.block, "delta": {"type": "input_json_delta", "partial_json": piece}},
                )

    async def end(self) -> None:
        await self.close_block()
        reason = {"length": "max_tokens", None: "tool_use" if self.calls else "end_turn"}.get(self.finish, self.finish)
        await self.event(
            "message_delta", {"delta": {"stop_reason": reason, "stop_sequence": None}, "usage": {"output_tokens": 15}}
        )
        await self.event("message_stop", {})


class _OllamaWire(_Wire):
    async def line(self, message: dict, **more) -> None:
        payload = {
            "model": self.model,
            "created_at": "2026-01-01T00:00:00.000000Z",
            "message": {"role": "assistant", "content": "", **message},
            "done": False,
            **more,
        }
        await self.send(json.dumps(payload).encode() + b"\n")

    async def step(self, kind: str, value) -> None:
        if kind == "text":
            await self.line({"content": value})
        elif kind == "reasoning":
            await self.line({"thinking": value})
        elif kind == "call":
            self.calls += 1
            # Ollama parses what the model wrote: a call it cannot read as an object reaches the
            # client as the text it was.
            try:
                arguments = json.loads(value["arguments"])
            except ValueError:
                arguments = None
            if not isinstance(arguments, dict):
                await self.line({"content": value["arguments"]})
                return
            await self.line({"tool_calls": [{"function": {"name": value["name"], "arguments": arguments}}]})

    async def end(self) -> None:
        await self.line(
            {},
            done=True,
            done_reason=self.finish or "stop",
            total_duration=1000,
            load_duration=10,
            prompt_eval_count=10,
            prompt_eval_duration=100,
            eval_count=5,
            eval_duration=500,
        )
