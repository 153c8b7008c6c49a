"""What a tool from an MCP server costs over a built-in tool, side by side in one run.

Two levels, the variants interleaved in each repeat:

- the call alone, ``Tool.run(arguments, context)``: the built-in ``read_file`` of a small file
  against ``notes__echo`` of the tests' stdio server (tests/host/mcp_server.py, written with the
  SDK) and, when ``--http`` is given, the same server over streamable HTTP;
- a whole turn of the standard agent on the scripted OpenAI-compatible server of the tests: a
  call of each tool, its result sent back, a short reply.

    python bench/mcp_call.py [REPEATS] [--http]

Medians printed, with each one's ratio to the built-in tool and the time the MCP call adds.
Needs the llm extra.
"""

from __future__ import annotations

import asyncio
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "host"))

import fake_model as fm  # noqa: E402
from tavrin.core.guardrails import Guardrails  # noqa: E402
from tavrin.core.llm_agent import LiteLLMAgent, ModelSettings  # noqa: E402
from tavrin.core.mcp_config import parse_config  # noqa: E402
from tavrin.core.mcp_tools import McpHub  # noqa: E402
from tavrin.core.store import ConversationStore  # noqa: E402
from tavrin.core.tools import ToolContext, load_tools  # noqa: E402

SERVER = ROOT / "tests" / "host" / "mcp_server.py"


def http_server(folder: Path) -> tuple[subprocess.Popen, str]:
    port_file = folder / "port"
    proc = subprocess.Popen([sys.executable, str(SERVER), str(folder / "http-note.txt"), "--http", str(port_file)])
    while not port_file.exists():
        if proc.poll() is not None:
            raise SystemExit("the HTTP MCP server did not start")
        time.sleep(0.05)
    return proc, f"http://127.0.0.1:{port_file.read_text()}/mcp"


async def timed(coro) -> float:
    start = time.perf_counter()
    await coro
    return time.perf_counter() - start


async def main(repeats: int, with_http: bool) -> None:
    folder = Path(tempfile.mkdtemp(prefix="bench-mcp-"))
    small = folder / "small.txt"
    small.write_text("pelican\n")
    servers = {"notes": {"command": sys.executable, "args": [str(SERVER), str(folder / "note.txt")]}}
    proc = None
    if with_http:
        proc, url = http_server(folder)
        servers["web"] = {"url": url}
    hub = McpHub(parse_config(json.dumps({"mcpServers": servers}), "mcp.json"))
    await hub.start()
    await hub.ready()
    tools = load_tools()
    guardrails = Guardrails([])
    hub.bind(tools, guardrails)
    calls = {
        "built-in read_file": (tools["read_file"], {"path": str(small)}),
        "MCP stdio echo": (tools["notes__echo"], {"text": "pelican"}),
    }
    if with_http:
        calls["MCP HTTP echo"] = (tools["web__echo"], {"text": "pelican"})
    context = ToolContext(cwd=folder)
    samples: dict[str, list[float]] = {name: [] for name in calls}
    for tool, args in calls.values():  # warm-up
        await tool.run(args, context)
    for _ in range(repeats * 10):
        for name, (tool, args) in calls.items():
            samples[name].append(await timed(tool.run(args, context)))
    report("one call (Tool.run)", samples)

    store = ConversationStore(folder / "store.db")
    turns: dict[str, list[float]] = {name: [] for name in calls}
    with fm.FakeModelServer() as model:
        agent = LiteLLMAgent(
            store,
            guardrails,
            "session_main",
            tools=tools,
            settings=ModelSettings("openai/fake", model.url, retry_backoff=0.01, vision=False),
        )

        async def turn(tool_name: str, args: dict) -> None:
            model.replies = [fm.tool_call(tool_name, args), fm.text("Done.")]
            async for _ in agent.process_message("go"):
                pass

        for tool, args in calls.values():  # warm-up
            await turn(tool.name, args)
        for _ in range(repeats):
            for name, (tool, args) in calls.items():
                turns[name].append(await timed(turn(tool.name, args)))
    report("a whole turn with one call", turns)
    await hub.close()
    store.close()
    if proc is not None:
        proc.terminate()
        proc.wait(30)


def report(title: str, samples: dict[str, list[float]]) -> None:
    medians = {name: statistics.median(values) for name, values in samples.items()}
    base = medians["built-in read_file"]
    print(f"\n{title} ({len(next(iter(samples.values())))} each, median)")
    print(f"{'variant':<22} {'ms':>9} {'ratio':>7} {'added ms':>9}")
    for name, value in medians.items():
        print(f"{name:<22} {value * 1000:9.3f} {value / base:7.2f} {(value - base) * 1000:9.3f}")


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    asyncio.run(main(int(args[0]) if args else 20, "--http" in sys.argv))
