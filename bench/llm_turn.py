"""The standard agent on LiteLLM against calling LiteLLM directly, through the same scripted
OpenAI-compatible server on 127.0.0.1 (tests/host/fake_model.py): time to the first text event,
and the whole turn. The agent's turn also writes its rows to a store on disk and rebuilds the
context from it; the difference is what the agent adds per turn.

    python bench/llm_turn.py [REPEATS]

Variants interleaved in each repeat; medians and bests printed. Needs the llm extra.
"""

from __future__ import annotations

import asyncio
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "host"))

import fake_model as fm  # noqa: E402
from tavrin.core.guardrails import Guardrails  # noqa: E402
from tavrin.core.llm_agent import SYSTEM_PROMPT, LiteLLMAgent, ModelSettings  # noqa: E402
from tavrin.core.store import ConversationStore  # noqa: E402

PIECES = [f"piece {i} " for i in range(20)]


async def direct(litellm, server, tools) -> tuple[float, float]:
    server.replies = [fm.text(*PIECES)]
    start = time.perf_counter()
    first = None
    stream = await litellm.acompletion(
        model="openai/fake", api_base=server.url, api_key="no-key", stream=True, tools=tools,
        stream_options={"include_usage": True}, num_retries=0, max_retries=0,
        messages=[{"role": "system", "content": SYSTEM_PROMPT}, {"role": "user", "content": "hello"}])
    async for chunk in stream:
        if first is None and chunk.choices and chunk.choices[0].delta.content:
            first = time.perf_counter()
    return first - start, time.perf_counter() - start


async def agent_turn(agent, server) -> tuple[float, float]:
    server.replies = [fm.text(*PIECES)]
    start = time.perf_counter()
    first = None
    async for event in agent.process_message("hello"):
        if first is None and event.type == "text":
            first = time.perf_counter()
    return first - start, time.perf_counter() - start


async def main(repeats: int) -> None:
    with fm.FakeModelServer() as server, tempfile.TemporaryDirectory() as tmp:
        store = ConversationStore(Path(tmp) / "bench.sqlite3")
        agent = LiteLLMAgent(store, Guardrails(), "session_main", settings=ModelSettings("openai/fake", server.url))
        litellm = agent._litellm
        tools = [t.schema() for t in agent.tools.values()]
        results: dict[str, list[tuple[float, float]]] = {"LiteLLM directly": [], "agent turn": []}
        for _ in range(3):  # warm-up: lazy imports and the first connection
            await direct(litellm, server, tools)
            await agent_turn(agent, server)
        for i in range(repeats):
            # Each agent turn is a new conversation, so the context rebuilt stays the same size.
            await agent.conversation.start_conversation()
            order = [("LiteLLM directly", direct(litellm, server, tools)), ("agent turn", agent_turn(agent, server))]
            for name, run in order if i % 2 == 0 else reversed(order):
                results[name].append(await run)
        store.close()
    lines = [f"### Standard agent on LiteLLM ({repeats} repeats, 20 text pieces per reply; ms)", "",
             "| variant | first text (median) | first text (best) | whole turn (median) | whole turn (best) |",
             "|---|---|---|---|---|"]
    for name, rows in results.items():
        firsts, wholes = [r[0] * 1e3 for r in rows], [r[1] * 1e3 for r in rows]
        lines.append(f"| {name} | {statistics.median(firsts):.2f} | {min(firsts):.2f} | "
                     f"{statistics.median(wholes):.2f} | {min(wholes):.2f} |")
    d, a = results["LiteLLM directly"], results["agent turn"]
    over = statistics.median(y[1] - x[1] for x, y in zip(d, a)) * 1e3
    first = statistics.median(y[0] - x[0] for x, y in zip(d, a)) * 1e3
    lines += ["", f"- agent overhead per turn (median of paired differences): **{over:.2f} ms**",
              f"- of which before the first text event: **{first:.2f} ms**", ""]
    text = "\n".join(lines)
    print(text)
    if "--no-write" not in sys.argv:
        (Path(__file__).resolve().parent / "results" / "llm_turn.md").write_text(text)


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]) if len(sys.argv) > 1 and sys.argv[1].isdigit() else 40))
