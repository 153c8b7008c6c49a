"""The native coroutine runtime beside the same coroutines written with `async def`, where the protocol
is visible."""

from __future__ import annotations

import asyncio
import json

import pytest

from tavrin import _runtime_probe as probe


async def await_each(awaitables):
    results = []
    for a in awaitables:
        results.append(await a)
    return results


async def collect(iterable):
    return [item async for item in iterable]


# ---- async for ----

def loses_anext(how, item=lambda n: n):
    """An async iterator (of a class of its own) that stops being one after its first item."""

    async def anext_(self):
        self.n += 1
        if how == "method deleted":
            del type(self).__anext__
        else:
            self.__class__ = Plain
        return item(self.n)

    cls = type("It", (), {"n": 0, "__aiter__": lambda self: self, "__anext__": anext_})
    return cls()


class Plain:
    pass


@pytest.mark.isolated  # each used to end the interpreter
@pytest.mark.parametrize("how", ["method deleted", "class switched"])
async def test_async_for_over_an_iterator_that_loses_anext_raises_type_error(how):
    texts = []
    for make in (collect, probe.collect):
        with pytest.raises(TypeError) as info:
            await make(loses_anext(how))
        texts.append(str(info.value))
    name = "It" if how == "method deleted" else "Plain"
    assert texts[0] == texts[1] == f"'async for' requires an iterator with __anext__ method, got {name}"


@pytest.mark.isolated
async def test_a_chat_turn_over_an_event_stream_that_loses_anext_reports_the_error(ws_module, host):
    """The gateway's own `async for` goes through the same step: the turn ends with its error report."""
    from fakes import FakeEvent, FakeSession, FakeWebSocket

    class Agent:
        is_processing, seconds_since_activity = False, 0.0

        def process_message(self, text, attachments=None):
            return loses_anext("class switched", lambda n: FakeEvent("text", content=str(n)))

    session = host.registry.add(FakeSession("s1", Agent()))
    sock = FakeWebSocket()
    await ws_module._handle_standard_chat(sock, session.agent, "hi", session_lock=session.lock, session_id="s1")
    sent = [json.loads(frame) for frame in sock.sent]
    assert [m["type"] for m in sent] == ["mode", "text", "error"]
    assert "requires an iterator with __anext__ method, got Plain" in sent[-1]["message"]


async def test_anext_whose_awaitable_fails_is_reported_with_the_interpreters_text():
    """Not only a TypeError: any failure to get the awaitable is wrapped, with it as the cause."""

    class Refuses:
        def __await__(self):
            raise KeyError("no")

    class It:
        def __aiter__(self):
            return self

        def __anext__(self):
            return Refuses()

    got = []
    for make in (collect, probe.collect):
        with pytest.raises(TypeError) as info:
            await make(It())
        got.append((str(info.value), type(info.value.__cause__).__name__))
    assert got[0] == got[1] == ("'async for' received an invalid object from __anext__: Refuses", "KeyError")


# ---- a second awaiter ----

@pytest.mark.parametrize("second", ["native", "async def"])
async def test_a_coroutine_another_task_awaits_is_refused_to_a_second_awaiter(second):
    steps, gate = [], asyncio.Event()

    async def work():
        steps.append(1)
        await gate.wait()
        steps.append(2)
        return "once"

    coro = work()
    first = asyncio.create_task(await_each([coro]))
    while not coro.cr_suspended:
        await asyncio.sleep(0)
    with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
        await (probe.await_each if second == "native" else await_each)([coro])
    assert steps == [1]  # nothing ran out of turn
    gate.set()
    assert await first == ["once"] and steps == [1, 2]
