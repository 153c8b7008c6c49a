"""The native coroutine runtime beside the same coroutines written with `async def`, where the protocol
is visible: `async for` over an iterator that changes under it, a second awaiter, `__await__()`, and
throw()/close() at an await. A fuzzer drives random send/throw/close sequences through trees of both
and compares every outcome; the cases above it are the ones it once found, kept by name."""

from __future__ import annotations

import asyncio
import gc
import inspect
import json
import random
import sys
import warnings

import pytest

from tavrin import _runtime_probe as probe
from test_runtime_hostile import BoolFails
from test_runtime_hostile import guarded_in_python as guarded
from test_runtime_hostile import managed_in_python as managed


# ---- the oracle: each probe coroutine written with async def ----


async def await_each(awaitables):
    results = []
    for a in awaitables:
        results.append(await a)
    return results


async def each_caught(awaitables):
    results = []
    for a in awaitables:
        try:
            entry = ("ok", await a)
        except Exception as e:
            entry = ("caught", e)
        results.append(entry)
    return results


async def catch_ordinary(awaitable):
    try:
        return await awaitable
    except Exception as e:
        caught = e
    return ("caught", caught)


async def collect(iterable):
    return [item async for item in iterable]


PYTHON = {
    "await_each": await_each,
    "each_caught": each_caught,
    "catch_ordinary": catch_ordinary,
    "guarded": guarded,
    "collect": collect,
    "managed": managed,
}


def both(name):
    return pytest.mark.parametrize("make", [getattr(probe, name), PYTHON[name]], ids=["native", "async def"])


def outcome(f, *args):
    """What a call gave: ("return", value) or ("raise", type, text)."""
    try:
        return ("return", f(*args))
    except BaseException as e:
        return ("raise", type(e).__name__, str(e))


CLOSE_GIVES_THE_RETURN = sys.version_info >= (3, 13)  # close() of a coroutine that returned instead


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


class Once:
    """An awaitable whose iterator (kept, to be recognised) yields once."""

    def __init__(self):
        self.it = iter(["tick"])

    def __await__(self):
        return self.it


@pytest.mark.parametrize("awaited", ["an iterator", "a coroutine"])
@both("await_each")
def test_cr_await_shows_what_the_suspended_coroutine_awaits(make, awaited):
    # catches: cr_await blind to the awaited iterator while suspended, or still showing it once done
    first = Once()
    inner = make([first]) if awaited == "a coroutine" else None
    awaits = [inner or first, Once()]
    coro = make(awaits)
    seen = [coro.cr_await]
    for a in awaits:
        coro.send(None)
        seen.append(coro.cr_await is (a if a is inner else a.it))
    with pytest.raises(StopIteration):
        coro.send(None)
    seen.append(coro.cr_await)
    assert seen == [None, True, True, None]


# ---- throw() and close() at an await ----


class Closing(Iter):
    """An awaited iterator whose close() raises `error`."""

    def __init__(self, error):
        super().__init__(5)
        self.error = error

    def close(self):
        raise self.error


class CloseLookupFails(Iter):
    @property
    def close(self):
        raise LookupError("no close today")


EDGE_CASES = {
    "throw into a finished coroutine": (
        lambda m: m["await_each"]([]),
        ["send", ("throw", lambda: ValueError("late"))],
        [("raise", "StopIteration", "[]"), ("raise", "RuntimeError", "cannot reuse already awaited coroutine")],
    ),
    "close error handled by the body": (
        lambda m: m["each_caught"]([Closing(KeyError("closing"))]),
        ["send", "close"],
        [("return", "tick"), ("return", "[('caught', KeyError('closing'))]" if CLOSE_GIVES_THE_RETURN else None)],
    ),
    "close error handled, then awaiting again": (
        lambda m: m["each_caught"]([Closing(KeyError("closing")), Iter(1)]),
        ["send", "close", "state"],
        [
            ("return", "tick"),
            ("raise", "RuntimeError", "coroutine ignored GeneratorExit"),
            ("return", inspect.CORO_SUSPENDED),
        ],
    ),
    "close raising StopIteration ends the await with its value": (
        lambda m: m["each_caught"]([Closing(StopIteration("v")), Iter(1)]),
        ["send", "close"],
        [("return", "tick"), ("raise", "RuntimeError", "coroutine ignored GeneratorExit")],
    ),
    "StopIteration thrown at an iterator without throw()": (
        lambda m: m["await_each"]([Iter(2), Iter(0, "next")]),
        ["send", ("throw", lambda: StopIteration("v"))],
        [("return", "tick"), ("raise", "StopIteration", "['v', 'next']")],
    ),
    "failing look-up of close()": (
        lambda m: m["catch_ordinary"](CloseLookupFails()),
        ["send", "close", "state"],
        [("return", "tick"), ("return", None), ("return", inspect.CORO_CLOSED)],
    ),
    "failing look-up of close() under throw(GeneratorExit)": (
        lambda m: m["catch_ordinary"](CloseLookupFails()),
        ["send", ("throw", GeneratorExit)],
        [("return", "tick"), ("raise", "GeneratorExit", "")],
    ),
}


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("case", sorted(EDGE_CASES))
def test_throw_and_close_at_an_await_as_async_def(case):
    build, actions, expected = EDGE_CASES[case]
    native = {name: getattr(probe, name) for name in PYTHON}
    unraisable = []
    old_hook, sys.unraisablehook = sys.unraisablehook, lambda u: unraisable.append(type(u.exc_value).__name__)
    try:
        for functions in (PYTHON, native):
            coro = build(functions)
            got = []
            for action in actions:
                if action == "send":
                    got.append(outcome(coro.send, None))
                elif action == "close":
                    got.append(outcome(lambda: (r := coro.close()) and repr(r)))
                elif action == "state":
                    got.append(("return", inspect.getcoroutinestate(coro)))
                else:
                    got.append(outcome(coro.throw, action[1]()))
            assert got == expected, "native" if functions is native else "async def"
    finally:
        sys.unraisablehook = old_hook
    assert unraisable == (["LookupError"] * 2 if "look-up" in case else [])


# ---- the fuzzer ----


def leaf_class(throw, close):
    """An awaited iterator class with the given throw() and close() behaviour: "absent" has no such
    attribute, "lookup" and "attribute" one whose look-up fails (with AttributeError it reads as absent)."""

    def throw_(self, *args):
        self.log.append((self.name, "throw", describe(args), describe(sys.exception())))
        if throw == "yield":
            return f"{self.name}:after-throw"
        if throw == "return":
            raise StopIteration(f"{self.name}:thrown-out")
        if throw == "fail":
            raise RuntimeError(f"{self.name}: throw failed")
        exc = args[0]  # "reraise"
        raise exc if isinstance(exc, BaseException) else exc(*args[1:2]) if isinstance(exc, type) else TypeError(exc)

    def close_(self):
        self.log.append((self.name, "close", describe(sys.exception())))
        error = {
            "raise": ValueError(f"{self.name}: close failed"),
            "stop": StopIteration(f"{self.name}:closed-out"),
            "exit": GeneratorExit(self.name),
        }.get(close)
        if error:
            raise error

    def failing(error):
        def look_up(self):
            raise error(f"{self.name}: look-up failed")

        return property(look_up)

    ns = {}
    for name, kind, method in (("throw", throw, throw_), ("close", close, close_)):
        if kind in ("lookup", "attribute"):
            ns[name] = failing(LookupError if kind == "lookup" else AttributeError)
        elif kind != "absent":
            ns[name] = method
    return type(f"Leaf_{throw}_{close}", (LeafBase,), ns)


class LeafBase:
    def __init__(self, name, log, n, end):
        self.name, self.log, self.n, self.end = name, log, n, end

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self.log.append((self.name, "send", describe(value), describe(sys.exception())))
        if self.n:
            self.n -= 1
            return f"{self.name}:{self.n}"
        if self.end == "fail":
            raise KeyError(f"{self.name}: failed")
        raise StopIteration(f"{self.name}:result")


class FuzzLock:
    def __init__(self, name, log, fails):
        self.name, self.log, self.fails = name, log, fails

    async def acquire(self):
        self.log.append((self.name, "acquire"))

    def release(self):
        self.log.append((self.name, "release"))
        if self.fails:
            raise OSError(f"{self.name}: release failed")


class FuzzManager:
    """An async context manager whose exit shows what it was given and what it handles, may wait for an
    awaited leaf first, and then returns, suppresses, re-raises, fails, or gives a result of no truth."""

    def __init__(self, name, log, exit, wait):
        self.name, self.log, self.exit, self.wait = name, log, exit, wait

    async def __aenter__(self):
        self.log.append((self.name, "aenter", describe(sys.exception())))

    async def __aexit__(self, kind, value, tb):
        self.log.append((self.name, "aexit", describe(value), describe(sys.exception())))
        if self.wait is not None:
            got = await self.wait
            self.log.append((self.name, "exit resumed", describe(got), describe(sys.exception())))
        if self.exit == "reraise":
            raise
        if self.exit == "fail":
            raise OSError(f"{self.name}: exit failed")
        if self.exit == "no truth":
            return BoolFails()
        return self.exit == "suppress"


EXITS = ["return", "suppress", "reraise", "fail", "no truth"]


def describe(v):
    """A value in a form the two runs can be compared by."""
    if isinstance(v, BaseException):
        ctx = v.__context__
        return ("exc", type(v).__name__, str(v), type(ctx).__name__ if ctx is not None else None)
    if isinstance(v, (list, tuple)):
        return tuple(describe(x) for x in v)
    if isinstance(v, type):
        return ("type", v.__name__)
    return v


THROWS = ["reraise", "yield", "return", "fail", "lookup", "attribute", "absent"]
CLOSES = ["ok", "raise", "stop", "exit", "lookup", "attribute", "absent"]
LEAVES = {(t, c): leaf_class(t, c) for t in THROWS for c in CLOSES}


def tree_shape(rng, depth=0):
    if depth >= 3 or (depth and rng.random() < 0.3):
        return ("leaf", rng.choice(THROWS), rng.choice(CLOSES), rng.randint(0, 3), rng.choice(["return", "fail"]))
    kind = rng.choice(["await_each", "each_caught", "catch_ordinary", "guarded", "managed"])
    native = depth == 0 or rng.random() < 0.6
    if kind in ("await_each", "each_caught"):
        return (kind, native, [tree_shape(rng, depth + 1) for _ in range(rng.randint(1, 3))])
    if kind == "managed":
        wait = rng.random() < 0.4 and ("leaf", rng.choice(THROWS), rng.choice(CLOSES), rng.randint(0, 2), "return")
        return (kind, native, [tree_shape(rng, depth + 1)], rng.choice(EXITS), wait)
    return (kind, native, [tree_shape(rng, depth + 1)], rng.random() < 0.3)


def build(shape, log, use_native, kept, path="r"):
    """The tree of `shape`; every coroutine of it is kept in `kept` too, so that none is finalised before
    the end (an `async def` tree keeps some alive longer, through the tracebacks of what it caught)."""
    if shape[0] == "leaf":
        _, throw, close, n, end = shape
        return LEAVES[throw, close](path, log, n, end)
    kind, native, children = shape[:3]
    make = getattr(probe, kind) if use_native and native else PYTHON[kind]
    built = [build(c, log, use_native, kept, f"{path}.{i}") for i, c in enumerate(children)]
    if kind == "catch_ordinary":
        coro = make(built[0])
    elif kind == "guarded":
        coro = make(FuzzLock(path, log, shape[3]), built[0], log)
    elif kind == "managed":
        wait = shape[4] and build(shape[4], log, use_native, kept, f"{path}.exit")
        coro = make(FuzzManager(path, log, shape[3], wait or None), built[0], log)
    else:
        coro = make(built)
    kept.append(coro)
    return coro


def exception(rng):
    kind = rng.choice(
        [
            "ValueError",
            "KeyError",
            "StopIteration",
            "GeneratorExit",
            "CancelledError",
            "class",
            "type and value",
            "not an exception",
        ]
    )
    return {
        "ValueError": lambda: (ValueError("thrown"),),
        "KeyError": lambda: (KeyError("thrown"),),
        "StopIteration": lambda: (StopIteration("thrown-in"),),
        "GeneratorExit": lambda: (GeneratorExit(),),
        "CancelledError": lambda: (asyncio.CancelledError(),),
        "class": lambda: (ValueError,),
        "type and value": lambda: (KeyError, "given"),
        "not an exception": lambda: (1,),
    }[kind]


def close_all(coros):
    """Closes each coroutine, outermost first: what is left suspended ends in this order in both runs."""
    closed = []
    for c in reversed(coros):
        try:
            closed.append(("closed", describe(c.close())))
        except BaseException as e:
            closed.append(("close raised", describe(e)))
    return closed


def run_sequence(shape, ops, use_native, via_wrapper):
    log, unraisable = [], []
    hook, sys.unraisablehook = sys.unraisablehook, lambda u: unraisable.append(describe(u.exc_value))
    try:
        kept = []
        coro = build(shape, log, use_native, kept)
        target = coro.__await__() if via_wrapper else coro
        seen = []
        for op in ops:
            try:
                if op[0] == "send":
                    r = ("yield", target.send(op[1]))
                elif op[0] == "throw":
                    r = ("yield", target.throw(*op[1]()))
                else:
                    r = ("closed", describe(target.close()))
            except StopIteration as stop:
                r = ("return", describe(stop.value))
            except BaseException as e:
                r = ("raise", describe(e))
            seen.append((r, inspect.getcoroutinestate(coro)))
        seen += close_all(kept)
        driven = list(log)
        # What is left is finalised: in what order depends on which frames a traceback kept in a cycle.
        del coro, target, kept
        gc.collect()
    finally:
        sys.unraisablehook = hook
    return seen, driven, sorted(map(repr, log[len(driven) :])), sorted(map(repr, unraisable))


@pytest.mark.isolated  # a fault it finds could be a crash
@pytest.mark.parametrize("seed", range(16))
def test_random_send_throw_close_sequences_match_async_def(seed):
    rng = random.Random(seed)
    gc.collect()
    gc.freeze()  # each sequence collects its own garbage: the rest of the heap is left out of it
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            for case in range(50):
                shape = tree_shape(rng)
                ops = [("send", None)] + [
                    rng.choice([("send", None), ("send", None), ("send", "v"), ("close",), ("throw", exception(rng))])
                    for _ in range(rng.randint(1, 6))
                ]
                via_wrapper = rng.random() < 0.2
                expected = run_sequence(shape, ops, False, via_wrapper)
                got = run_sequence(shape, ops, True, via_wrapper)
                assert got == expected, f"seed {seed} case {case}: {shape} {[op[0] for op in ops]}"
        finally:
            gc.unfreeze()
