"""What the write of the user's message costs a turn's first text: the standard agent in this
process, as it is and with that write changed, side by side with LiteLLM directly, through the
scripted model of ``llm_turn.py``.

- as it is: the message written (in a worker thread) while the agent asks its model;
- no message write: the turn opened without writing anything (the floor of the agent's own work);
- the write after the first text: the same write, made 20 ms later and not waited for;
- a thread hop instead: a no-op handed to a worker thread where the write would be.

The last two are not safe (the first text goes out before its question is stored): they only
tell where the time goes.

    python bench/turn_write.py [REPEATS] [short|long]

Medians in ms of the first text, and of each turn's first text less that of the direct turn of the
same repeat ("added"). Needs the llm extra. Not part of ``make bench``.
"""

from __future__ import annotations

import asyncio
import gc
import statistics
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import llm_turn as bench  # noqa: E402
from tavrin.core import history  # noqa: E402
from tavrin.core.guardrails import Guardrails  # noqa: E402
from tavrin.core.llm_agent import LiteLLMAgent, ModelSettings  # noqa: E402
from tavrin.core.store import ConversationStore  # noqa: E402


class NoWrite(ConversationStore):
    async def open_turn(self, *args, **kwargs):
        return 0


class WriteLater(ConversationStore):
    async def open_turn(self, *args, **kwargs):
        await asyncio.sleep(0.02)
        return await super().open_turn(*args, **kwargs)


class HopOnly(ConversationStore):
    async def open_turn(self, *args, **kwargs):
        return await asyncio.to_thread(int)


STORES = {
    "as it is": ConversationStore,
    "no message write": NoWrite,
    "the write after the first text": WriteLater,
    "a thread hop instead": HopOnly,
}


def _not_waited_for_later_writes() -> None:
    stored = history.TurnLog.stored

    def patched(self):
        if isinstance(self.store, WriteLater):
            done = asyncio.get_running_loop().create_future()
            done.set_result(None)
            return done
        return stored(self)

    history.TurnLog.stored = patched  # type: ignore[method-assign]


async def main(repeats: int, kind: str) -> str:
    _not_waited_for_later_writes()
    with bench.ModelProcess() as model, tempfile.TemporaryDirectory() as tmp:
        agents = {
            name: LiteLLMAgent(
                store(Path(tmp) / f"{i}.sqlite3"), Guardrails(), "s", settings=ModelSettings("openai/fake", model.url)
            )
            for i, (name, store) in enumerate(STORES.items())
        }
        first = next(iter(agents.values()))
        tools = [t.schema() for t in first.tools.values()]
        variants = {"LiteLLM directly": lambda: bench.direct(first._litellm, model.url, tools, kind)}
        variants.update({name: (lambda a=agent: bench.agent_turn(a, kind)) for name, agent in agents.items()})
        results: dict[str, list[float]] = {name: [] for name in variants}
        for run in variants.values():
            for _ in range(3):
                await run()
        for i in range(repeats):
            order = list(variants.items())
            for name, run in order if i % 2 == 0 else reversed(order):
                gc.collect()
                await asyncio.sleep(bench.SETTLE)
                results[name].append((await run())[0])
        for agent in agents.values():
            agent._memory.close()
    base = results["LiteLLM directly"]
    lines = [
        f"### The user's message write and the first text ({kind} turns, {repeats} repeats; medians in ms)",
        "",
        "| variant | first text | added |",
        "|---|---|---|",
    ]
    for name, rows in results.items():
        added = statistics.median(r - b for r, b in zip(rows, base))
        lines.append(f"| {name} | {statistics.median(rows) * 1e3:.2f} | {added * 1e3:+.2f} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    args = sys.argv[1:]
    print(asyncio.run(main(int(args[0]) if args else 60, args[1] if len(args) > 1 else "short")))
