"""The native coroutine runtime beside the same coroutines written with `async def`, where the protocol
is visible: `async for` over an iterator that changes under it, a second awaiter, `__await__()`."""

from __future__ import annotations

import asyncio
import inspect
import json

import pytest

from tavrin import _runtime_probe as probe


# ---- the oracle: each probe coroutine written with async def ----

async def await_each(awaitables):
    results = []
    for a in awaitables:
        results.append(await a)
    return results


async def catch_ordinary(awaitable):
    try:
        return await awaitable
    except Exception as e:
        caught = e
    return ("caught", caught)


async def collect(iterable):
    return [item async for item in iterable]


PYTHON = {"await_each": await_each, "catch_ordinary": catch_ordinary, "collect": collect}


def both(name):
    return pytest.mark.parametrize("make", [getattr(probe, name), PYTHON[name]], ids=["native", "async def"])


class Iter:
    """An awaited iterator: yields `n` times, then returns `result`."""

    def __init__(self, n=1, result="done"):
        self.n, self.result = n, result

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        if self.n:
            self.n -= 1
            return "tick"
        raise StopIteration(self.result)


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


# ---- __await__ ----

class Wraps:
    """The common wrapper idiom: an awaitable delegating to a coroutine's own iterator."""

    def __init__(self, coro):
        self._coro = coro

    def __await__(self):
        return (yield from self._coro.__await__())


@pytest.mark.parametrize("via", ["await", "ensure_future", "native await", "iter"])
@both("await_each")
async def test_await_gives_an_iterator_over_the_coroutine(make, via):
    coro = make([Iter(2, "inner") if via == "iter" else asyncio.sleep(0, "inner")])
    if via == "await":
        assert await Wraps(coro) == ["inner"]
    elif via == "ensure_future":
        assert await asyncio.ensure_future(Wraps(coro)) == ["inner"]
    elif via == "native await":
        assert await probe.await_each([Wraps(coro)]) == [["inner"]]
    else:
        it = coro.__await__()
        assert iter(it) is it and next(it) == "tick" and it.send(None) == "tick"
        with pytest.raises(StopIteration) as stop:
            next(it)
        assert stop.value.value == ["inner"]


def test_the_coroutine_itself_is_not_an_iterator():
    got = []
    for make in (await_each, probe.await_each):
        coro = make([])
        with pytest.raises(TypeError) as info:
            next(coro)
        got.append(str(info.value).replace(type(coro).__name__, "coroutine").replace("tavrin.", ""))
        coro.close()
    assert got[0] == got[1] == "'coroutine' object is not an iterator"


@both("catch_ordinary")
def test_the_wrapper_delivers_throw_and_close(make):
    coro = make(Iter(3))
    it = coro.__await__()
    assert it.send(None) == "tick"
    with pytest.raises(StopIteration) as stop:
        it.throw(KeyError("k"))
    assert stop.value.value[0] == "caught"
    coro = make(Iter(3))
    it = coro.__await__()
    it.send(None)
    it.close()
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED
