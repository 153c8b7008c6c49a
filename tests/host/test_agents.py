"""The demo agents: event streams, approvals, cancellation, silence, and what they record."""

import asyncio
import base64
import struct
import zlib

import pytest

from fakes import until
from tavrin.core.agents import Finished, StandardAgent, TurnStopped
from tavrin.core.computer_use_agent import ComputerUseEvent, DemoComputerUseAgent, render_desktop
from tavrin.core.png import encode_png


async def collect(stream, on_event=None):
    events = []
    async for event in stream:
        events.append(event)
        if on_event is not None:
            await on_event(event)
    return events


async def test_a_plain_turn_streams_and_is_recorded(make_agent, store):
    agent = make_agent()
    events = await collect(agent.process_message("What's on my screen?"))
    types = [e.type for e in events]
    assert types == ["thinking", "tool_call", "tool_result", "text", "done"]
    assert all(e.to_dict()["type"] == e.type for e in events)
    # Each to_dict() is a fresh mapping: the gateway writes "session_id" into it.
    first = events[0].to_dict()
    first["session_id"] = "x"
    assert "session_id" not in events[0].to_dict()
    assert not agent.is_processing
    conv = agent._conversation.conversation_id
    assert conv and agent.conversation.conversation_id == conv
    stored = await store.get_messages(conv)
    # The stored turn is what the client was shown, closed by its outcome.
    assert [m["role"] for m in stored] == ["user", "thinking", "tool_call", "tool_result", "assistant", "outcome"]
    assert stored[4]["content"] == events[3].to_dict()["content"]
    assert stored[-1]["meta"] == {"outcome": "done", "iterations": 1}
    assert len({m["turn_id"] for m in stored}) == 1


@pytest.mark.parametrize("approved", [True, False])
async def test_risky_request_waits_for_the_decision(make_agent, guardrails, approved):
    agent = make_agent()
    stream = agent.process_message("Please delete report.pdf")
    events = []
    while not events or events[-1].type != "tool_approval_needed":
        events.append(await anext(stream))
    payload = events[-1].to_dict()
    assert payload["tool"] == "delete_file" and payload["arguments"] == {"path": "report.pdf"}
    # A window opened now draws the prompt from the pending record: the same question.
    assert [p["message"] for p in guardrails.pending()] == [payload["message"]]
    next_event = asyncio.ensure_future(anext(stream))
    await asyncio.sleep(0.02)
    assert not next_event.done()
    assert agent.seconds_since_activity == 0  # waiting for the user is not a stall
    assert guardrails.resolve_approval(payload["approval_id"], approved)
    events.append(await next_event)
    events += await collect(stream)
    assert [e.type for e in events][-4:] == ["tool_approval_needed", "tool_result", "text", "done"]
    result = events[-3].to_dict()
    assert result["tool"] == "delete_file"
    assert bool(result.get("error")) is (not approved)
    assert guardrails.pending() == []


async def test_cancel_stops_the_turn_and_spares_the_next(make_agent):
    agent = make_agent(step_delay=0.05)
    agent.cancel()  # idle: must not poison the next turn

    async def stop_early(event):
        if event.type == "tool_call":
            agent.cancel()

    events = await collect(agent.process_message("/slow"), stop_early)
    assert events[-1].type == "cancelled" and "done" not in [e.type for e in events]
    assert not agent.is_processing
    again = await collect(make_agent().process_message("hello"))
    assert again[-1].type == "done"


async def test_cancel_while_waiting_for_an_approval(make_agent, guardrails):
    agent = make_agent()

    async def cancel_on_prompt(event):
        if event.type == "tool_approval_needed":
            agent.cancel()

    events = await collect(agent.process_message("send an email to bo@example.org"), cancel_on_prompt)
    assert events[-1].type == "cancelled"
    assert guardrails.pending() == []


async def test_stall_goes_silent_until_cancelled(make_agent):
    agent = make_agent(stall_warn_seconds=1, stall_cancel_seconds=2)
    stream = agent.process_message("/stall please")
    assert (await anext(stream)).type == "thinking"
    assert (await anext(stream)).type == "thinking"
    pending = asyncio.ensure_future(anext(stream))
    await asyncio.sleep(0.05)
    assert not pending.done() and agent.is_processing
    assert agent.seconds_since_activity > 0
    agent.cancel()
    assert (await pending).type == "cancelled"
    with pytest.raises(StopAsyncIteration):
        await anext(stream)


async def test_a_failing_turn_raises_and_frees_the_agent(make_agent):
    agent = make_agent()
    with pytest.raises(RuntimeError):
        await collect(agent.process_message("/fail"))
    assert not agent.is_processing


async def test_cancelling_the_consumer_task_frees_the_agent(make_agent):
    agent = make_agent(step_delay=1)
    task = asyncio.ensure_future(collect(agent.process_message("/slow")))
    await until(lambda: agent.is_processing)
    task.cancel()
    await asyncio.gather(task, return_exceptions=True)
    assert not agent.is_processing


async def test_resume_switches_to_a_stored_conversation(make_agent, store):
    agent = make_agent("session_a")
    first = await agent.conversation.start_conversation()
    await collect(agent.process_message("first topic"))
    await agent.conversation.start_conversation()
    other = make_agent("session_b")
    await other.conversation.resume_conversation(first)
    assert other.conversation.conversation_id == first
    assert [c["id"] for c in await store.list_conversations("session_b")] == [first]
    with pytest.raises(LookupError):
        await other.conversation.resume_conversation("conv_missing")
    assert other.conversation.conversation_id == first


class LoopOnly(StandardAgent):
    """An agent that writes its own loop only, as the base asks: the script's steps, in order."""

    def __init__(self, store, guardrails, script):
        super().__init__(store, guardrails, "session_main")
        self.script = script

    async def _opening(self, turn):
        return {"attachments": ["kept"]} if turn.attachments else {}

    async def _steps(self, turn):
        for step in self.script:
            if step == "text":
                yield self._event("text", content=f"said to {turn.user_text}")
            elif step == "stop":
                raise TurnStopped
            elif step == "fail":
                raise ValueError("the loop broke")
            elif step == "finish":
                yield Finished(2, cut=True)


@pytest.mark.parametrize(
    "script, kinds, outcome",
    [
        (["text", "finish"], ["text", "done"], "done"),
        (["text", "stop"], ["text", "cancelled"], "stopped"),
        (["text", "fail"], ["text"], "error"),
        (["text"], ["text"], "error"),
    ],
    ids=["finished", "stopped", "failed", "no-outcome"],
)
async def test_an_agent_writing_only_its_loop_gets_the_turns_start_and_end(store, guardrails, script, kinds, outcome):
    # Catches an agent's turn left open in the store, an agent left busy, a stop or a failure told
    # other than the demo's, or a loop that forgot its outcome reading as done.
    agent = LoopOnly(store, guardrails, script)
    events = []
    try:
        async for event in agent.process_message("you", [{"name": "a.txt"}]):
            events.append(event.to_dict())
    except (ValueError, RuntimeError) as exc:
        assert outcome == "error" and str(exc) in ("the loop broke", "LoopOnly's turn ended without an outcome")
    assert [e["type"] for e in events] == kinds
    if kinds[-1] == "done":
        assert events[-1] == {"type": "done", "iterations": 2, "cut": True}
    if agent._closing is not None:
        await agent._closing
    assert not agent.is_processing
    rows = await store.get_messages(agent.conversation.conversation_id)
    assert [r["role"] for r in rows] == ["user", "assistant", "outcome"]
    assert rows[0]["meta"]["attachments"] == ["kept"] and rows[1]["content"] == "said to you"
    assert rows[2]["meta"]["outcome"] == outcome


def _png_chunks(png: bytes):
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    pos, chunks = 8, []
    while pos < len(png):
        (length,) = struct.unpack(">I", png[pos : pos + 4])
        tag, body = png[pos + 4 : pos + 8], png[pos + 8 : pos + 8 + length]
        (crc,) = struct.unpack(">I", png[pos + 8 + length : pos + 12 + length])
        assert crc == zlib.crc32(tag + body)
        chunks.append((tag, body))
        pos += 12 + length
    return chunks


def test_generated_png_is_well_formed():
    png = render_desktop(64, 40, click=(10, 10))
    chunks = _png_chunks(png)
    assert [t for t, _ in chunks] == [b"IHDR", b"IDAT", b"IEND"]
    width, height, depth, colour = struct.unpack(">IIBB", chunks[0][1][:10])
    assert (width, height, depth, colour) == (64, 40, 8, 2)
    raw = zlib.decompress(chunks[1][1])
    assert len(raw) == 40 * (1 + 64 * 3)
    with pytest.raises(ValueError):
        encode_png(2, 2, b"\x00" * 5)


async def test_computer_use_task_yields_every_kind_of_step():
    agent = DemoComputerUseAgent(step_delay=0.001)
    events = await collect(agent.run_task("Open settings /error"))
    assert all(isinstance(e, ComputerUseEvent) for e in events)
    assert {"thinking", "tool_call", "tool_result", "text", "done", "error"} <= {e.type for e in events}
    images = [e.data["result"] for e in events if e.type == "tool_result" and e.data["result"].get("type") == "image"]
    assert images and _png_chunks(base64.b64decode(images[0]["base64"]))
    assert events[-1].type == "done" and not agent.is_running


async def test_computer_use_stop():
    agent = DemoComputerUseAgent(step_delay=0.05)

    async def stop_at_first_call(event):
        if event.type == "tool_call":
            agent.stop()

    events = await collect(agent.run_task("look"), stop_at_first_call)
    assert events[-1].type == "cancelled" and not agent.is_running
    assert events[-1].to_dict() == {"type": "cancelled", "data": {"message": "Task cancelled"}}


async def test_a_task_whose_steps_cannot_be_made_leaves_the_agent_free():
    class Broken(DemoComputerUseAgent):
        fail = True

        def _task_steps(self, user_text, log):
            if self.fail:
                raise RuntimeError("no session")
            return super()._task_steps(user_text, log)

    agent = Broken(step_delay=0.001)
    with pytest.raises(RuntimeError):
        await collect(agent.run_task("look"))
    assert not agent.is_running
    agent.fail = False
    events = await collect(agent.run_task("look"))
    assert events[-1].type == "done"
