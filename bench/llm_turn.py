"""The standard agent on LiteLLM against calling LiteLLM directly, through the same scripted
OpenAI-compatible server on 127.0.0.1 (tests/host/fake_model.py): time to the first text, and the
whole turn, for three turns:

- short: a reply of 20 text pieces;
- tool: a tool call (list_directory), its result sent back, then a reply of 20 pieces;
- long: a reply of 1,000 pieces.

Three ways of running each: LiteLLM directly (the floor: the model calls and nothing else), the
agent in this process (its store on disk, context rebuilt from it), and the real server (the
``tavrin-gateway`` process with ``--model``) driven from a WebSocket client as the page drives it.

The model server runs in a process of its own, as a real one does. In this one, its thread would
take the interpreter from the client for up to a switch interval (5 ms) at a time while it sends a
long reply, which the timed first text of a turn through the server waited out.

    python bench/llm_turn.py [REPEATS] [--no-server] [--no-write] [--latency=MS]

``--latency=MS``: the model takes MS milliseconds to its first piece of every answer, as a model
that has to read the conversation first does (the zero of the default is no model a user has).

One kind at a time, its variants interleaved in each repeat; medians printed, with each one's ratio to LiteLLM directly.
Needs the llm extra.
"""

from __future__ import annotations

import asyncio
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "host"))

import fake_model as fm  # noqa: E402
from tavrin.core.guardrails import Guardrails  # noqa: E402
from tavrin.core.llm_agent import SYSTEM_PROMPT, LiteLLMAgent, ModelSettings  # noqa: E402
from tavrin.core.store import ConversationStore  # noqa: E402

SHORT = [f"piece {i} " for i in range(20)]
LONG = [f"piece {i} " for i in range(1000)]
FOLDER = str(Path(__file__).resolve().parent)
# The pause before each timed turn, as a user's between two messages. LiteLLM goes on after a
# stream it has sent to its end (its success handlers, its streaming cache: tasks of their own);
# without the pause, that work was charged to whichever turn came next, the direct one's own
# among them (its first text came 1-2 ms sooner with the pause, the agent's no sooner).
SETTLE = 0.05


def script_for(request: dict) -> list:
    """The model's answer to a request, by the kind of turn its user's message names, after the
    model's latency."""
    latency = float(os.environ.get("BENCH_MODEL_LATENCY_MS", "0")) / 1e3
    return (fm.wait(latency) if latency else []) + answer_for(request)


def answer_for(request: dict) -> list:
    messages = request["messages"]
    kind = next(m["content"] for m in reversed(messages) if m["role"] == "user").split()[-1]
    if kind == "short":
        return fm.text(*SHORT)
    if kind == "long":
        return fm.text(*LONG)
    if messages[-1]["role"] == "tool":
        return fm.text(*SHORT)
    return fm.tool_call("list_directory", {"path": FOLDER})


def serve_model() -> None:
    """The model server of a run (``--serve-model``): prints its address, stops when stdin closes.
    It yields the processor to the client and the server, as a model on hardware of its own does:
    sending a thousand pieces at once keeps it busy for as long as the first of them takes to come."""
    os.nice(19)
    with fm.FakeModelServer() as model:
        model.script_for = script_for
        print(model.url, flush=True)
        sys.stdin.read()


class ModelProcess:
    def __enter__(self):
        self.proc = subprocess.Popen(
            [sys.executable, __file__, "--serve-model"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )
        self.url = self.proc.stdout.readline().strip()
        if not self.url:
            raise RuntimeError("the model server did not start")
        return self

    def __exit__(self, *exc):
        self.proc.stdin.close()
        self.proc.wait(10)


async def direct(litellm, url: str, tools, kind: str) -> tuple[float, float]:
    messages = [{"role": "system", "content": SYSTEM_PROMPT}, {"role": "user", "content": f"hello {kind}"}]
    start = time.perf_counter()
    first = None
    for _ in range(2 if kind == "tool" else 1):
        stream = await litellm.acompletion(
            model="openai/fake",
            api_base=url,
            api_key="no-key",
            stream=True,
            tools=tools,
            stream_options={"include_usage": True},
            num_retries=0,
            max_retries=0,
            messages=messages,
        )
        calls = []
        async for chunk in stream:
            if not chunk.choices:
                continue
            delta = chunk.choices[0].delta
            if first is None and delta.content:
                first = time.perf_counter()
            for part in delta.tool_calls or []:
                if part.id:
                    calls.append({"id": part.id, "type": "function", "function": {"name": "", "arguments": ""}})
                calls[-1]["function"]["name"] += part.function.name or ""
                calls[-1]["function"]["arguments"] += part.function.arguments or ""
        if calls:
            messages = [
                *messages,
                {"role": "assistant", "content": None, "tool_calls": calls},
                *({"role": "tool", "tool_call_id": c["id"], "content": "bench.txt"} for c in calls),
            ]
    return first - start, time.perf_counter() - start


async def agent_turn(agent, kind: str) -> tuple[float, float]:
    await agent.conversation.start_conversation()  # the context rebuilt stays the same size
    start = time.perf_counter()
    first = None
    async for event in agent.process_message(f"hello {kind}"):
        if first is None and event.type == "text":
            first = time.perf_counter()
    return first - start, time.perf_counter() - start


async def server_turn(conn, kind: str) -> tuple[float, float]:
    await conn.send(json.dumps({"type": "new_conversation", "session_id": "session_main"}))
    while (started := json.loads(await conn.recv()))["type"] != "conversation_started":
        pass
    start = time.perf_counter()
    first = None
    await conn.send(json.dumps({"type": "chat", "content": f"hello {kind}", "session_id": "session_main"}))
    while True:
        event = json.loads(await conn.recv())
        if first is None and event["type"] == "text":
            first = time.perf_counter()
        if event["type"] in ("done", "error", "cancelled") and event.get("session_id") == "session_main":
            if event["type"] != "done":
                raise RuntimeError(f"the turn ended with {event}")
            end = time.perf_counter()
            await _titled(conn, started["conversation_id"])
            return first - start, end - start


async def _titled(conn, conv_id: str) -> None:
    """Wait out the title the server asks the model for after a conversation's first answer. Left
    running, it would share the processor with whichever turn is timed next."""
    try:
        async with asyncio.timeout(10):
            while True:
                event = json.loads(await conn.recv())
                if event["type"] == "conversation_renamed" and event.get("conversation_id") == conv_id:
                    return
    except TimeoutError:
        raise RuntimeError("the server asked no title after the conversation's first answer") from None


def latency_note() -> str:
    ms = float(os.environ.get("BENCH_MODEL_LATENCY_MS", "0"))
    return f", the model {ms:g} ms to its first piece" if ms else ""


async def main(repeats: int, with_server: bool) -> str:
    kinds = ("short", "tool", "long")
    with ModelProcess() as model, tempfile.TemporaryDirectory() as tmp:
        store = ConversationStore(Path(tmp) / "bench.sqlite3")
        agent = LiteLLMAgent(store, Guardrails(), "session_main", settings=ModelSettings("openai/fake", model.url))
        litellm = agent._litellm
        tools = [t.schema() for t in agent.tools.values()]
        proc = conn = None
        if with_server:
            from serverproc import ServerProcess

            proc = ServerProcess(Path(tmp) / "data", args=("--model", "openai/fake", "--api-base", model.url)).start(
                240
            )
            conn = await proc.connect(max_size=None)
        variants = {
            "LiteLLM directly": lambda k: direct(litellm, model.url, tools, k),
            "agent in process": lambda k: agent_turn(agent, k),
        }
        if conn is not None:
            variants["through the server"] = lambda k: server_turn(conn, k)
        results = {(k, v): [] for k in kinds for v in variants}
        try:
            for kind in kinds:  # warm-up: lazy imports and the first connections
                for run in variants.values():
                    for _ in range(2):
                        await run(kind)
            # One kind of turn at a time: the variants of a kind are compared with each other, each
            # coming after a turn of the same kind (a long reply's turn after a short one's ran faster
            # directly than through the agent, for reasons of the turn before, not of its own).
            for kind in kinds:
                for i in range(repeats):
                    order = list(variants.items())
                    for name, run in order if i % 2 == 0 else reversed(order):
                        # Each turn starts from a collected heap, so that the garbage of the turn before
                        # it (a long reply's thousand chunks) is not charged to whichever variant follows.
                        gc.collect()
                        await asyncio.sleep(SETTLE)
                        results[(kind, name)].append(await run(kind))
        finally:
            if conn is not None:
                await conn.close()
            if proc is not None:
                proc.stop()
            store.close()
    lines = [
        f"### Standard agent on LiteLLM ({repeats} repeats{latency_note()}; medians in ms, ratio to LiteLLM directly)",
        "",
        "| turn | variant | first text | ratio | added | whole turn | ratio |",
        "|---|---|---|---|---|---|---|",
    ]
    for kind in kinds:
        base = results[(kind, "LiteLLM directly")]
        base_first = statistics.median(r[0] for r in base)
        base_whole = statistics.median(r[1] for r in base)
        for name in variants:
            rows = results[(kind, name)]
            first = statistics.median(r[0] for r in rows)
            whole = statistics.median(r[1] for r in rows)
            # What the variant adds to the first text, turn by turn against the direct turn of the
            # same repeat: the machine's drift over a run cancels out of each difference.
            added = statistics.median(r[0] - b[0] for r, b in zip(rows, base))
            lines.append(
                f"| {kind} | {name} | {first * 1e3:.1f} | {first / base_first:.2f}x | {added * 1e3:+.1f} | "
                f"{whole * 1e3:.1f} | {whole / base_whole:.2f}x |"
            )
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    if "--serve-model" in sys.argv:
        serve_model()
        sys.exit()
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    for a in sys.argv[1:]:
        if a.startswith("--latency="):
            os.environ["BENCH_MODEL_LATENCY_MS"] = a.removeprefix("--latency=")  # the model process's
    text = asyncio.run(main(int(args[0]) if args else 20, "--no-server" not in sys.argv))
    print(text)
    if "--no-write" not in sys.argv:
        (Path(__file__).resolve().parent / "results" / "llm_turn.md").write_text(text)
