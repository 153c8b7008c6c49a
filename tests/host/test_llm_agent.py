"""The standard agent on LiteLLM against a scripted OpenAI-compatible server on 127.0.0.1."""

from __future__ import annotations

import json
import asyncio
import importlib.util
import os

import pytest

import fake_model as fm

if importlib.util.find_spec("litellm") is None:  # found, not imported: importing it takes seconds
    pytest.skip("LiteLLM is not installed", allow_module_level=True)
# Importing LiteLLM and its first request take seconds, far more on a loaded machine.
pytestmark = pytest.mark.timeout(600)

from tavrin.core.guardrails import Guardrails  # noqa: E402
from tavrin.core.llm_agent import LiteLLMAgent, ModelError, ModelSettings, fit, turns_from_rows  # noqa: E402


@pytest.fixture
def model():
    with fm.FakeModelServer() as server:
        yield server


@pytest.fixture
def make_llm_agent(store, model):
    def make(approval=(), **settings):
        settings.setdefault("retry_backoff", 0.01)
        return LiteLLMAgent(
            store, Guardrails(approval), "session_main", settings=ModelSettings("openai/fake", model.url, **settings)
        )

    return make


async def run_turn(agent, text, files=None):
    return [e.to_dict() async for e in agent.process_message(text, files)]


async def collect(agent, text, into: list[dict]) -> None:
    async for event in agent.process_message(text):
        into.append(event.to_dict())


async def test_turn_streams_text_runs_a_tool_and_records_like_the_demo(make_llm_agent, model, store, tmp_path):
    # Catches a reply not streamed (its first piece handed over with the rest), a tool result not
    # sent back, or rows the page can't draw.
    (tmp_path / "pelican.txt").write_text("roof")
    model.replies = [
        fm.reasoning("I should look.\n") + fm.tool_call("list_directory", {"path": str(tmp_path)}),
        fm.text("There is ", "pelican.txt", "."),
    ]
    agent = make_llm_agent()
    events = await run_turn(agent, "What is in the folder?")
    kinds = [e["type"] for e in events]
    assert kinds[:3] == ["thinking", "tool_call", "tool_result"] and kinds[-1] == "done"
    texts = [e["content"] for e in events[3:-1] if e["type"] == "text"]
    assert len(texts) == len(events) - 4 >= 2 and texts[0] == "There is " and "".join(texts) == "There is pelican.txt."
    assert events[1]["tool"] == "list_directory" and events[1]["arguments"] == {"path": str(tmp_path)}
    assert "pelican.txt" in events[2]["result"] and "error" not in events[2]
    assert events[-1]["iterations"] == 2
    second = model.requests[1]["messages"]
    assert second[-1] == {"role": "tool", "tool_call_id": events[1]["id"], "content": events[2]["result"]}
    assert model.requests[0]["tools"][0]["function"]["name"] == "list_directory"
    rows = await store.get_messages(agent.conversation.conversation_id)
    assert [r["role"] for r in rows] == ["user", "thinking", "tool_call", "tool_result", "assistant", "outcome"]
    assert rows[4]["content"] == "There is pelican.txt." and rows[-1]["meta"]["outcome"] == "done"


async def test_malformed_arguments_go_back_to_the_model_as_a_tool_error(make_llm_agent, model, tmp_path):
    # Catches broken JSON from the model ending the turn instead of letting the model correct itself.
    model.replies = [
        fm.tool_call("list_directory", '{"path": '),
        fm.tool_call("list_directory", {"path": str(tmp_path)}),
        fm.text("Empty."),
    ]
    events = await run_turn(make_llm_agent(), "list it")
    results = [e for e in events if e["type"] == "tool_result"]
    assert results[0]["error"] is True and "not a JSON object" in results[0]["result"]
    assert "error" not in results[1] and events[-1] == {"type": "done", "iterations": 3}
    assert model.requests[1]["messages"][-1]["content"].startswith("Error: The arguments were not")


async def test_runaway_tool_loop_ends_at_the_bound(make_llm_agent, model, tmp_path):
    # Catches a model that never stops calling tools keeping the turn (and the bill) going forever.
    model.replies = [fm.tool_call("list_directory", {"path": str(tmp_path)}) for _ in range(5)]
    with pytest.raises(ModelError, match=r"Stopped after 3 calls to the model openai/fake at http://127\.0\.0\.1"):
        await run_turn(make_llm_agent(max_iterations=3), "loop")
    assert len(model.requests) == 3


ERRORS = {
    "401": (fm.status(401, "bad key"), "refused the credentials (401); set the provider's API key"),
    "429": (fm.status(429, "slow down"), "is rate-limiting requests (429) (tried 3 times)"),
    "500": (fm.status(500, "boom"), "failed with a server error (500) (tried 3 times): boom."),
    "no-tools": (fm.status(400, "this model does not support tools"), "does not accept tool calls"),
    "overflow": (fm.status(400, "This model's maximum context length is 8192 tokens"), "too long for the model"),
}


@pytest.mark.parametrize("answer, sentence", ERRORS.values(), ids=ERRORS.keys())
async def test_each_endpoint_failure_is_one_sentence_naming_the_model(make_llm_agent, model, store, answer, sentence):
    # Catches a provider's raw traceback reaching the user, or a transient error not retried.
    model.replies = [answer] * 3
    agent = make_llm_agent(retries=2)
    with pytest.raises(ModelError) as caught:
        await run_turn(agent, "hello")
    message = str(caught.value)
    assert sentence in message and f"openai/fake at {model.url}" in message and "\n" not in message
    assert "Traceback" not in message and "litellm" not in message.lower()
    await agent._closing
    rows = await store.get_messages(agent.conversation.conversation_id)
    assert rows[0]["content"] == "hello" and rows[-1]["meta"]["outcome"] == "error"


async def test_unreachable_endpoint_and_a_passing_failure(make_llm_agent, model, store):
    # Catches a refused connection told as a server error, and a single 500 failing the turn outright.
    agent = LiteLLMAgent(
        store,
        Guardrails(),
        settings=ModelSettings("openai/fake", "http://127.0.0.1:9/v1", retries=1, retry_backoff=0.01),
    )
    with pytest.raises(
        ModelError,
        match=r"^Could not reach the model openai/fake at http://127\.0\.0\.1:9/v1 "
        r"\(tried 2 times\): is the server running\?$",
    ):
        await run_turn(agent, "hello")
    model.replies = [fm.status(500), fm.text("fine")]
    events = await run_turn(make_llm_agent(), "again")
    assert events[-2:] == [{"type": "text", "content": "fine"}, {"type": "done", "iterations": 1}]


async def test_the_model_is_asked_while_the_message_is_written_and_nothing_answers_it_sooner(
    make_llm_agent, model, store, monkeypatch
):
    # Catches the model's request held up behind the write of the user's message, or an answer
    # (or a failure) handed over before the message it answers is in the store.
    write = store.open_turn

    async def slow_disk(*args, **kwargs):
        asked = len(model.requests)
        while len(model.requests) == asked:  # the write lands only once the model has the request
            await asyncio.sleep(0.01)
        return await write(*args, **kwargs)

    monkeypatch.setattr(store, "open_turn", slow_disk)
    agent = make_llm_agent()
    model.replies = [fm.text("Hi ", "there.")]
    stored_at_each = []
    async for event in agent.process_message("hello"):
        rows = await store.get_messages(agent.conversation.conversation_id)
        stored_at_each.append((event.type, rows[0]["content"], rows[0]["meta"]["mode"]))
    assert stored_at_each[0] == ("text", "hello", "standard")
    model.replies = [fm.status(401, "bad key")]
    with pytest.raises(ModelError, match="refused the credentials"):
        await run_turn(agent, "again")
    rows = await store.get_messages(agent.conversation.conversation_id)
    assert [r["role"] for r in rows[:4]] == ["user", "assistant", "outcome", "user"] and rows[3]["content"] == "again"
    await agent._closing
    rows = await store.get_messages(agent.conversation.conversation_id)
    assert [r["role"] for r in rows[3:]] == ["user", "outcome"] and rows[-1]["meta"]["outcome"] == "error"


async def test_a_history_read_that_sees_the_new_message_sends_it_once(make_llm_agent, model, store, monkeypatch):
    # Catches the turn's own message, read back beside its write, sent twice (or its turn as history).
    write, read = store.open_turn, store.get_messages
    landed = asyncio.Event()

    async def fast_disk(*args, **kwargs):
        row = await write(*args, **kwargs)
        landed.set()
        return row

    async def slow_read(*args, **kwargs):
        await landed.wait()  # the read comes after the write has landed
        return await read(*args, **kwargs)

    agent = make_llm_agent()
    model.replies = [fm.text("Hi.")]
    await run_turn(agent, "hello")
    monkeypatch.setattr(store, "open_turn", fast_disk)
    monkeypatch.setattr(store, "get_messages", slow_read)
    model.replies = [fm.text("Again.")]
    assert (await run_turn(agent, "again"))[-1]["type"] == "done"
    said = [(m["role"], m["content"]) for m in model.sent()[1:]]
    assert said == [("user", "hello"), ("assistant", "Hi."), ("user", "again")]


async def until(condition, what: str):
    for _ in range(400):
        if condition():
            return
        await asyncio.sleep(0.05)
    pytest.fail(f"never happened: {what}")


async def test_a_burst_of_pieces_is_handed_over_together_and_none_is_lost(make_llm_agent, model, monkeypatch):
    # Catches a message to every window per piece of a burst, pieces held back for good by a stop or
    # a lost connection, or held text overtaken by the event after it.
    from tavrin.core.llm_agent import _Pace

    monkeypatch.setattr("tavrin.core.llm_agent.TEXT_INTERVAL", 3600)  # nothing held is let go by the clock
    offered: list[str] = []
    offer = _Pace.offer
    monkeypatch.setattr(_Pace, "offer", lambda pace, text, now: offered.append(text) or offer(pace, text, now))
    pieces = [f"w{i} " for i in range(50)]
    agent = make_llm_agent(retries=0)
    model.replies = [fm.text(*pieces) + fm.stall()]
    events: list[dict] = []
    turn = asyncio.create_task(collect(agent, "count", events))
    await until(lambda: offered == pieces and model.stalled.is_set(), "the agent read every piece of the burst")
    agent.cancel()
    await turn
    assert events == [
        {"type": "text", "content": "w0 "},
        {"type": "text", "content": "".join(pieces[1:])},
        {"type": "cancelled", "message": "Task cancelled"},
    ]
    model.replies = [fm.text("Half ", "of it") + fm.drop()]
    with pytest.raises(ModelError, match="interrupted"):
        await run_turn(agent, "again")
    model.replies = [fm.text("Let me ", "look:") + fm.tool_call("list_directory", {"path": "/"}), fm.text("Done.")]
    events = await run_turn(agent, "look")
    assert [(e["type"], e.get("content")) for e in events[:3]] == [
        ("text", "Let me "),
        ("text", "look:"),
        ("tool_call", None),
    ]
    rows = await agent._memory.get_messages(agent.conversation.conversation_id)
    assert [r["content"] for r in rows if r["role"] == "assistant"] == [
        "".join(pieces),
        "Half of it",
        "Let me look:",
        "Done.",
    ]


async def test_cancel_closes_the_stream_of_a_stalled_model(make_llm_agent, model):
    # Catches a stop that waits for the provider, or leaves its HTTP stream open and billing.
    model.replies = [fm.text("Thinking about ") + fm.stall()]
    agent = make_llm_agent()
    events: list[dict] = []
    turn = asyncio.create_task(collect(agent, "write me an essay", events))
    await until(lambda: events and model.stalled.is_set(), "the stream stalled after its first piece")
    agent.cancel()
    await turn
    assert [e["type"] for e in events] == ["text", "cancelled"]
    assert await asyncio.to_thread(model.closed.wait, 10), "the model's connection stayed open"
    assert not agent.is_processing


async def test_cancel_kills_a_running_command_and_its_children(make_llm_agent, model, tmp_path):
    # Catches a stopped turn leaving the command (or what it started) running.
    pid_file = tmp_path / "pid"
    model.replies = [
        fm.tool_call(
            "run_command", {"command": f"sleep 300 & echo $! > {pid_file}.tmp; mv {pid_file}.tmp {pid_file}; wait"}
        )
    ]
    agent = make_llm_agent()
    events: list[dict] = []
    turn = asyncio.create_task(collect(agent, "run it", events))
    await until(pid_file.exists, "the command started")
    pid = int(pid_file.read_text())
    agent.cancel()
    await turn
    assert [e["type"] for e in events] == ["tool_call", "tool_result", "cancelled"]
    assert events[1]["stopped"] is True and events[1]["result"].startswith("Stopped by the user before it finished")
    await until(lambda: not _alive(pid), "the command's child was killed")


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A killed child of ours lingers as a zombie until reaped by its parent's parent (init here).
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ")[1][0] != "Z"
    except FileNotFoundError:
        return False


async def test_a_stopped_command_stays_in_the_store_and_in_what_the_model_is_sent(
    make_llm_agent, model, store, tmp_path
):
    # Catches a stopped command leaving no trace, so that the next request reads system, user, user
    # and the model runs it again, or its output so far being lost; and its card on the page left
    # without it (the result only stored), or the call after it unanswered.
    flag = tmp_path / "flag"
    model.replies = [
        fm.tool_call("run_command", {"command": f"touch {flag}; echo started; sleep 300"})
        + fm.tool_call("list_directory", {"path": str(tmp_path)}, index=1)
    ]
    agent = make_llm_agent()
    read_after_flag = []
    touch = agent._touch
    agent._touch = lambda: (read_after_flag.append(flag.exists()), touch())  # the command's progress
    events: list[dict] = []
    turn = asyncio.create_task(collect(agent, "run it", events))
    await until(lambda: any(read_after_flag), "the agent read what the command printed")
    turn.cancel()  # as the gateway stops a turn: its task is cancelled, then the agent
    agent.cancel()
    with pytest.raises(asyncio.CancelledError):
        await turn
    await agent._closing
    rows = await store.get_messages(agent.conversation.conversation_id)
    result, unrun = (r["meta"] for r in rows if r["role"] == "tool_result")
    assert result["stopped"] is True and result["error"] is True
    assert result["result"] == "Stopped by the user before it finished; its output so far:\nstarted\n"
    assert (unrun["tool"], unrun["result"], unrun["stopped"]) == (
        "list_directory",
        "Stopped by the user before it ran",
        True,
    )
    # The page got both as they are stored, although the turn's task was cancelled.
    live = [e for e in events if e["type"] == "tool_result"]
    assert [(e["id"], e["result"], e["stopped"]) for e in live] == [
        (result["id"], result["result"], True),
        (unrun["id"], unrun["result"], True),
    ]
    model.replies = [fm.text("I will not run it again.")]
    await run_turn(agent, "what happened?")
    sent = model.sent()
    assert [m["role"] for m in sent] == ["system", "user", "assistant", "tool", "tool", "user"]
    assert sent[3]["content"].startswith("Error: Stopped by the user before it finished")
    assert sent[4]["content"] == "Error: Stopped by the user before it ran"


def test_context_rebuild_keeps_calls_with_their_results_and_trims_oldest_turns():
    # Catches a stopped turn's unanswered call reaching the model, or trimming that splits a turn.
    rows = [
        {"id": 1, "turn_id": "t1", "role": "user", "content": "old " * 300},
        {"id": 2, "turn_id": "t1", "role": "assistant", "content": "ok"},
        {"id": 3, "turn_id": "t2", "role": "user", "content": "look"},
        {"id": 4, "turn_id": "t2", "role": "assistant", "content": "Looking."},
        {
            "id": 5,
            "turn_id": "t2",
            "role": "tool_call",
            "content": "",
            "meta": {"id": "a", "tool": "read_file", "arguments": {"path": "x"}},
        },
        {
            "id": 6,
            "turn_id": "t2",
            "role": "tool_call",
            "content": "",
            "meta": {"id": "b", "tool": "run_command", "arguments": {}},
        },
        {"id": 7, "turn_id": "t2", "role": "tool_result", "content": "", "meta": {"id": "a", "result": "data"}},
        {"id": 8, "turn_id": "t2", "role": "approval", "content": "run_command", "meta": {}},
        {"id": 9, "turn_id": "t2", "role": "outcome", "content": "stopped", "meta": {"outcome": "stopped"}},
    ]
    turns = turns_from_rows(rows)
    assert turns[1] == [
        {"role": "user", "content": "look"},
        {
            "role": "assistant",
            "content": "Looking.",
            "tool_calls": [
                {"id": "a", "type": "function", "function": {"name": "read_file", "arguments": '{"path": "x"}'}}
            ],
        },
        {"role": "tool", "tool_call_id": "a", "content": "data"},
    ]
    assert fit(turns, 10_000) == turns[0] + turns[1]
    assert fit(turns, 100) == turns[1]  # the long first turn goes whole
    assert fit(turns, 5) == []


async def test_screen_tools_plug_in_and_a_screenshot_reaches_the_model_as_an_image(monkeypatch, store, model):
    # Catches the screen module not being offered, or a screenshot sent to a vision model as text only.
    import base64
    import sys
    import types

    from tavrin.core.png import encode_png
    from tavrin.core.tools import load_tools

    png = base64.b64encode(encode_png(4, 4, bytes(48))).decode()

    async def shoot(arguments, context):
        return {"text": "Screenshot, 4x4 pixels.", "image_png_base64": png}

    shot = types.SimpleNamespace(
        NAME="take_screenshot",
        DESCRIPTION="the screen",
        SIDE_EFFECTS=False,
        PARAMETERS={"type": "object", "properties": {}},
        run=shoot,
    )
    monkeypatch.setitem(sys.modules, "tavrin.core.tools.screen", types.SimpleNamespace(TOOLS=(shot,)))
    tools = load_tools()
    assert "take_screenshot" in tools and "read_file" in tools
    agent = LiteLLMAgent(store, Guardrails(), settings=ModelSettings("openai/fake", model.url), tools=tools)
    agent._vision = True  # the fake model's name tells LiteLLM nothing about images
    model.replies = [fm.tool_call("take_screenshot", {}), fm.text("A black square.")]
    events = await run_turn(agent, "What do you see?")
    result = next(e for e in events if e["type"] == "tool_result")
    assert result["screenshot"] is True and result["image_base64"] == png
    sent = model.requests[1]["messages"]
    assert sent[-2]["role"] == "tool" and sent[-1]["role"] == "user"
    assert sent[-1]["content"][1]["image_url"]["url"] == "data:image/png;base64," + png
    rows = await store.get_messages(agent.conversation.conversation_id)
    assert "thumbnail_base64" in next(r for r in rows if r["role"] == "tool_result")["meta"]


NO_TRAFFIC_SCRIPT = r"""
import asyncio, socket, sys
reached = []
for name in ("connect", "connect_ex"):
    original = getattr(socket.socket, name)
    def spy(self, address, _original=original):
        if self.family in (socket.AF_INET, socket.AF_INET6):
            reached.append(address[:2])
        return _original(self, address)
    setattr(socket.socket, name, spy)
resolve = socket.getaddrinfo
def resolve_spy(host, *args, **kwargs):
    reached.append((host, "lookup"))
    return resolve(host, *args, **kwargs)
socket.getaddrinfo = resolve_spy
from tavrin.core.guardrails import Guardrails
from tavrin.core.llm_agent import LiteLLMAgent, ModelSettings
from tavrin.core.store import ConversationStore

async def main():
    agent = LiteLLMAgent(ConversationStore(":memory:"), Guardrails(), settings=ModelSettings("openai/fake", sys.argv[1]))
    return [e.type async for e in agent.process_message("hi")]

events = asyncio.run(main())
print(events, sorted({str(host) for host, _ in reached}), file=sys.stderr)
"""


def test_nothing_but_the_model_request_leaves_the_machine(model):
    # Catches LiteLLM fetching its price list or sending telemetry, or printing banners on the console.
    import subprocess
    import sys

    done = subprocess.run(
        [sys.executable, "-c", NO_TRAFFIC_SCRIPT, model.url], capture_output=True, text=True, timeout=500
    )
    assert done.returncode == 0 and done.stdout == ""
    assert done.stderr.strip() == "['text', 'done'] ['127.0.0.1']"


def attachment(name: str, kind: str, data: bytes) -> dict:
    import base64

    return {"name": name, "type": kind, "data": base64.b64encode(data).decode()}


async def test_attachments_reach_the_model_as_parts_and_the_store_keeps_a_record(make_llm_agent, model, store):
    # Catches attached files never reaching the model, the store keeping their raw bytes, or a later
    # turn forgetting what a text file said.
    import base64

    from tavrin.core.png import encode_png

    png = encode_png(400, 300, bytes(400 * 300 * 3))
    files = [attachment("plot.png", "image/png", png), attachment("notes.md", "", b"# Plan\nbuy ``` milk\n")]
    agent = make_llm_agent(vision=True)
    model.replies = [fm.text("A plot and a plan.")]
    events = await run_turn(agent, "What are these?", files)
    assert events[-1]["type"] == "done"
    parts = model.requests[0]["messages"][-1]["content"]
    assert parts[0] == {"type": "text", "text": "What are these?"}
    assert parts[1]["image_url"]["url"] == "data:image/png;base64," + files[0]["data"]
    assert parts[2]["type"] == "text" and "buy ``` milk" in parts[2]["text"] and "````" in parts[2]["text"]
    user = (await store.get_messages(agent.conversation.conversation_id))[0]
    image, text = user["meta"]["attachments"]
    thumb = base64.b64decode(image["thumbnail_base64"])
    assert image["size"] == len(png) and int.from_bytes(thumb[16:20], "big") == 160  # a thumbnail's width
    assert "data" not in image and text == {
        "name": "notes.md",
        "type": "",
        "size": 20,
        "text": "# Plan\nbuy ``` milk\n",
    }
    model.replies = [fm.text("Milk.")]
    await run_turn(agent, "What was on the list?")
    recalled = model.requests[1]["messages"][1]["content"]
    assert recalled.startswith("What are these?") and "buy ``` milk" in recalled and "plot.png" in recalled


REFUSED = {
    "too-big": (
        [attachment("huge.txt", "text/plain", b"a" * (64 * 1024 + 1))],
        True,
        "The file huge.txt is too big (65,537 bytes; at most 64 KiB).",
    ),
    "unknown-kind": (
        [attachment("tool.exe", "application/x-msdownload", b"MZ\x00")],
        True,
        "The attachment tool.exe is of a kind that cannot be sent (application/x-msdownload)",
    ),
    "binary-untyped": ([attachment("blob", "", b"\x00\xff")], True, "The attachment blob is of a kind"),
    "blind-model": (
        [attachment("a.png", "image/png", b"\x89PNG")],
        False,
        "does not accept images, so the picture a.png cannot be sent to it.",
    ),
    "too-many": ([attachment(f"{i}.txt", "text/plain", b"x") for i in range(9)], True, "at most 8 attachments"),
    "not-a-list": ("file.txt", True, "The attachments must be a list"),
}


@pytest.mark.parametrize("files, vision, sentence", REFUSED.values(), ids=REFUSED.keys())
async def test_an_attachment_that_cannot_go_is_refused_in_one_sentence(
    make_llm_agent, model, store, files, vision, sentence
):
    # Catches an oversized or unreadable file sent anyway (or crashing the turn), or the message lost.
    agent = make_llm_agent(vision=vision)
    with pytest.raises(ModelError) as caught:
        await run_turn(agent, "look", files)
    assert sentence in str(caught.value) and "\n" not in str(caught.value)
    assert model.requests == []
    await agent._closing
    rows = await store.get_messages(agent.conversation.conversation_id)
    assert rows[0]["content"] == "look" and rows[-1]["meta"]["outcome"] == "error"
    assert all("data" not in r for r in rows[0]["meta"].get("attachments", []))


async def test_a_key_the_agent_meets_is_shown_redacted_and_never_sent_on(
    make_llm_agent, model, store, tmp_path, monkeypatch
):
    # Catches a key read by a tool reaching the page or the store, and a tool call that carries it out.
    from tavrin.core import redact

    key = "sk-live-0123456789abcdef"
    monkeypatch.setattr(redact, "_current", redact.Redactor([key]))
    (tmp_path / ".env").write_text(f"OPENAI_API_KEY={key}\n")
    marker = tmp_path / "ran"
    model.replies = [
        fm.tool_call("read_file", {"path": str(tmp_path / ".env")}),
        fm.tool_call("run_command", {"command": f"touch {marker} # {key}"}),
        fm.text("Your key is ", key[:5], key[5:12], key[12:] + ". Also s", "k-, and s"),
    ]
    agent = make_llm_agent()
    events = await run_turn(agent, "What is my key?")
    results = [e["result"] for e in events if e["type"] == "tool_result"]
    assert results == [
        "OPENAI_API_KEY=[redacted]\n",
        "The arguments of run_command hold the value of a credential, so it is not run.",
    ]
    assert not marker.exists() and key not in json.dumps(events)
    # A reply that streams the key in pieces shows it redacted, and what only looked like its start.
    assert "".join(e["content"] for e in events if e["type"] == "text") == "Your key is [redacted]. Also sk-, and s"
    assert key not in json.dumps(await store.get_messages(agent.conversation.conversation_id))


async def test_a_wait_before_another_try_is_told_before_it_is_waited(make_llm_agent, model, store):
    # Catches a turn that sits silent through a retry's wait (the page would say "Thinking…"), a
    # note that comes only after the wait, or a note kept in the store as part of the transcript.
    agent = make_llm_agent(retries=2, retry_backoff=4.0)
    waited: list[float] = []
    told = asyncio.Event()

    async def pause(seconds):
        # The wait ends only once the note of it has reached whoever consumes the turn.
        waited.append(seconds)
        await asyncio.wait_for(told.wait(), 30)

    agent._pause = pause
    model.replies = [fm.status(503, "overloaded"), fm.text("fine")]
    events = []
    async for event in agent.process_message("hello"):
        events.append(event.to_dict())
        if event.type == "retrying":
            told.set()
    assert events[0] == {
        "type": "retrying",
        "seconds": 4,
        "reason": "the model server failed (503)",
        "message": "Retrying in 4 s (the model server failed (503))",
    }
    assert waited == [4.0]
    assert [e["type"] for e in events[1:]] == ["text", "done"]
    rows = await store.get_messages(agent.conversation.conversation_id)
    assert [r["role"] for r in rows] == ["user", "assistant", "outcome"]


async def test_a_running_command_shows_its_output_as_it_comes_keys_hidden(
    make_llm_agent, model, store, tmp_path, monkeypatch
):
    # Catches output shown only once the command has ended (the test's command waits for the
    # first line to be seen before it goes on), a key cut across two pieces shown in halves, and
    # live output written to the store (the result holds it).
    from tavrin.core import redact

    key = "sk-live-0123456789abcdef"
    monkeypatch.setattr(redact, "_current", redact.Redactor([key]))
    go = tmp_path / "go"
    command = (
        f"printf 'first line\\n{key[:9]}'; i=0; while [ ! -e {go} ] && [ $i -lt 200 ]; do sleep 0.05; "
        f"i=$((i+1)); done; printf '{key[9:]} second\\n'"
    )
    agent = make_llm_agent()
    agent.cwd = tmp_path
    model.replies = [fm.tool_call("run_command", {"command": command, "timeout": 30}), fm.text("Ran it.")]
    events = []
    async for event in agent.process_message("run it"):
        events.append(event.to_dict())
        if event.type == "tool_output" and "first line" in event.data["text"]:
            go.touch()
    outputs = [e for e in events if e["type"] == "tool_output"]
    result = next(e for e in events if e["type"] == "tool_result")
    assert events.index(outputs[-1]) < events.index(result)
    assert outputs[0]["text"] == "first line\n" and outputs[0]["id"] == result["id"]
    assert "".join(e["text"] for e in outputs) == "first line\n[redacted] second\n"
    assert result["result"].startswith("exit status 0") and "[redacted] second" in result["result"]
    rows = await store.get_messages(agent.conversation.conversation_id)
    assert "tool_output" not in [r["role"] for r in rows]
