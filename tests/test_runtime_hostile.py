"""The native coroutine runtime against a hostile caller: re-entry from every point where Python code runs
inside a step, deep chains, double awaits, failing clean-ups, garbage cycles, a second module import,
and the small protocol details an `async def` gets right. Scenarios that used to crash the interpreter
run in a subprocess, so a regression fails one test instead of the run."""

from __future__ import annotations

import asyncio
import gc
import inspect
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

from tavrin import _runtime_probe as probe


def run_isolated(code: str) -> str:
    """Runs `code` in a fresh interpreter; it must exit cleanly. Returns what it printed."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


# The awaited object of each re-entry scenario: an iterator whose hooks run Python code at the points
# where a step of the outer coroutine is still in progress, and there call `poke()` on it.
REENTRY_PRELUDE = """
import asyncio, gc, sys
from tavrin import _runtime_probe as probe

seen = []

def poke(action):
    try:
        getattr(outer, action)(*([None] if action == "send" else []))
    except ValueError as e:
        seen.append(str(e))

class Finalised:
    def __init__(self, action): self.action = action
    def __del__(self): poke(self.action)

class Stop(StopIteration):
    @property
    def value(self):
        poke("send")
        return "stopped"
"""

REENTRY_CASES = {
    # the look-up of the awaited iterator's `throw`, and the release of what it gave
    "throw lookup": """
        class It:
            def __iter__(self): return self
            def __next__(self): return None
            @property
            def throw(self):
                poke("send"); poke("close")
                guard = Finalised("close")
                def throw(exc, guard=guard): raise Stop()
                return throw
        outer = probe.catch_ordinary(type("A", (), {"__await__": lambda self: It()})())
        outer.send(None)
        try:
            outer.throw(KeyError("x"))
        except StopIteration as stop:
            result = stop.value
    """,
    # the release of an iterator that finished, whose __del__ runs
    "iterator released": """
        class It:
            def __init__(self): self.guard = Finalised("close"); self.n = 0
            def __iter__(self): return self
            def __next__(self):
                self.n += 1
                if self.n > 1: raise StopIteration("done")
                return None
        outer = probe.await_each([type("A", (), {"__await__": lambda self: It()})()])
        outer.send(None)
        try:
            outer.send(None)
        except StopIteration as stop:
            result = stop.value
    """,
    # the awaited iterator's close(), called by close() of the outer coroutine
    "close of the awaited": """
        class It:
            def __iter__(self): return self
            def __next__(self): return None
            def close(self): poke("send"); poke("close")
        outer = probe.await_each([type("A", (), {"__await__": lambda self: It()})()])
        outer.send(None)
        outer.close()
        result = outer.cr_suspended
    """,
}


class TestReentry:
    @pytest.mark.parametrize("case", sorted(REENTRY_CASES))
    def test_reentry_is_refused_as_async_def_refuses_it(self, case):
        out = run_isolated(REENTRY_PRELUDE + textwrap.dedent(REENTRY_CASES[case]) + "print(sorted(set(seen)), result)")
        assert out.startswith("['coroutine already executing']"), out

    async def test_coroutine_stays_usable_after_a_refused_reentry(self):
        holder = {}

        class It:
            def __iter__(self):
                return self

            def __next__(self):
                with pytest.raises(ValueError, match="^coroutine already executing$"):
                    holder["coro"].close()
                raise StopIteration("fine")

        holder["coro"] = coro = probe.await_each(
            [type("A", (), {"__await__": lambda self: It()})(), asyncio.sleep(0, 2)]
        )
        assert await coro == ["fine", 2]


class TestDrivePath:
    def test_a_deep_chain_raises_recursion_error_not_a_crash(self):
        out = run_isolated("""
            import asyncio
            from tavrin import _runtime_probe as probe
            chain = asyncio.sleep(0, "bottom")
            for _ in range(60_000):
                chain = probe.await_each([chain])
            try:
                asyncio.run(chain)
            except RecursionError as e:
                print("RecursionError")
            del chain
            print("survived")
        """)
        assert out.split() == ["RecursionError", "survived"]

    def test_a_deep_chain_under_a_raised_recursion_limit_is_held_to_the_c_stack(self):
        # The recursion limit bounds Python frames, not the C stack each native link takes.
        out = run_isolated("""
            import asyncio, sys, threading
            from tavrin import _runtime_probe as probe
            sys.setrecursionlimit(10**6)

            def run(depth):
                chain = asyncio.sleep(0, "bottom")
                for _ in range(depth):
                    chain = probe.await_each([chain])
                try:
                    asyncio.run(chain)
                    print("completed")
                except RecursionError:
                    print("RecursionError")

            run(50_000)
            threading.stack_size(1 << 20)  # a thread is held to its own, smaller stack
            t = threading.Thread(target=run, args=(20_000,))
            t.start()
            t.join()
        """)
        assert out.split() == ["RecursionError", "RecursionError"]

    @pytest.mark.skipif(bool(os.environ.get("TAVRIN_SANITIZED")), reason="instrumented frames are larger")
    def test_a_small_stack_holds_the_depth_the_readme_gives_and_python_code_runs_at_its_limit(self):
        # Two frames less per link and a margin that follows the thread's stack: 700 links used to end
        # in RecursionError in a thread of 256 KiB (598 fitted), 3,000 in one of 1 MiB (2,441).
        out = run_isolated("""
            import asyncio, io, json, logging, sys, threading, traceback
            from tavrin import _runtime_probe as probe
            sys.setrecursionlimit(10**6)

            class Nested:  # each level a Python call inside a C call: half a KiB of C stack
                def __init__(self, n):
                    self.n = n
                def __repr__(self):
                    return repr(Nested(self.n - 1)) if self.n else "bottom"

            class Busy:
                \"\"\"What a link at the limit may run: Python code that takes C stack of its own.\"\"\"
                def __await__(self):
                    return self
                def __iter__(self):
                    return self
                def __next__(self):
                    log = logging.getLogger("busy")
                    log.addHandler(logging.StreamHandler(io.StringIO()))
                    try:
                        json.loads("[" * 40 + "]" * 40)
                        raise KeyError(repr(Nested(40)))
                    except KeyError:
                        log.exception("at the bottom")
                        raise StopIteration(len(traceback.format_exc()))

            def run(depth, bottom):
                chain = bottom()
                for _ in range(depth):
                    chain = probe.await_each([chain])
                try:
                    asyncio.run(chain)
                    return True
                except RecursionError:
                    return False

            def in_thread(stack, f):
                threading.stack_size(stack)
                out = []
                t = threading.Thread(target=lambda: out.append(f()))
                t.start()
                t.join()
                return out[0]

            def deepest():
                lo, hi = 0, 20_000
                while lo < hi:
                    mid = (lo + hi + 1) // 2
                    lo, hi = (mid, hi) if run(mid, lambda: asyncio.sleep(0)) else (lo, mid - 1)
                return lo, [run(lo - k, Busy) for k in range(3)], run(lo + 50, Busy)

            for stack, depth in ((256 << 10, 700), (1 << 20, 3_000)):
                fits = in_thread(stack, lambda: run(depth, lambda: asyncio.sleep(0)))
                limit, busy, beyond = in_thread(stack, deepest)
                print(stack >> 10, fits, limit >= depth, busy, beyond)
        """)
        assert out.splitlines() == ["256 True True [True, True, True] False", "1024 True True [True, True, True] False"]

    def test_a_deep_suspended_chain_closes_and_is_collected_like_async_def(self):
        out = run_isolated("""
            import asyncio, inspect, sys, threading
            from tavrin import _runtime_probe as probe
            sys.setrecursionlimit(10**6)
            threading.stack_size(512 << 20)  # room to build the chain: each native link nests a drive

            class Hang:
                def __await__(self):
                    yield

            async def link(awaitable):
                return await awaitable

            def scenario(make, ending):
                lock, log = asyncio.Lock(), []
                bottom = probe.guarded(lock, Hang(), log)
                chain = bottom
                for _ in range(25_000):
                    chain = make(chain)
                chain.send(None)
                if ending == "close":
                    chain.close()
                    state = inspect.getcoroutinestate(chain)
                else:
                    del chain
                    state = "collected"
                print(ending, log, lock.locked(), inspect.getcoroutinestate(bottom), state)

            def run():
                for make in (link, lambda c: probe.await_each([c])):
                    for ending in ("close", "last reference dropped"):
                        try:
                            scenario(make, ending)
                        except RecursionError:
                            print("RecursionError")

            t = threading.Thread(target=run)
            t.start()
            t.join()
        """)
        expected = [
            "close ['unwound'] False CORO_CLOSED CORO_CLOSED",
            "last reference dropped ['unwound'] False CORO_CLOSED collected",
        ]
        assert out.splitlines() == expected * 2

    def test_a_coroutine_finalised_at_the_drive_limit_is_unwound_and_its_error_reported(self):
        # Its finaliser's close was refused there: the frame was dropped without unwinding, the
        # clean-up's error escaped a destructor, and the frame and its parameters leaked.
        out = run_isolated("""
            import asyncio, sys
            from tavrin import _runtime_probe as probe

            class FailingLock:
                def __init__(self):
                    self.lock = asyncio.Lock()
                async def acquire(self):
                    return await self.lock.acquire()
                def release(self):
                    self.lock.release()
                    raise KeyError("release")

            class Hang:
                def __await__(self):
                    yield

            async def guarded_in_python(lock, awaitable, log):
                await lock.acquire()
                try:
                    return await awaitable
                finally:
                    log.append("unwound")
                    lock.release()

            victims, reported = [], []

            class DropsTheVictim:
                def __await__(self):
                    return self
                def __next__(self):
                    victims.clear()  # the victim's last reference goes, at the bottom of the chain
                    raise StopIteration

            sys.unraisablehook = lambda u: reported.append(
                (type(u.exc_value).__name__, type(u.exc_value.__context__).__name__))
            limit = 100
            sys.setrecursionlimit(limit)
            lock, log = FailingLock(), []
            for guarded in (probe.guarded, guarded_in_python):
                counts = []
                for _ in range(200):
                    victim = guarded(lock, Hang(), log)
                    victim.send(None)
                    victims.append(victim)
                    del victim
                    chain = DropsTheVictim()
                    for _ in range(limit):  # the victim is finalised with the drives at their limit
                        chain = probe.await_each([chain])
                    try:
                        chain.send(None)
                    except StopIteration:
                        pass
                    counts.append((sys.getrefcount(lock), sys.getrefcount(log)))
                print(set(reported), len(reported), log.count("unwound"), lock.lock.locked(), counts[0] == counts[-1])
                reported.clear(); log.clear()
        """)
        assert out.splitlines() == ["{('KeyError', 'GeneratorExit')} 200 200 False True"] * 2

    async def test_a_chain_within_the_limit_still_runs(self):
        chain = asyncio.sleep(0, "bottom")
        for _ in range(200):
            chain = probe.await_each([chain])
        result = await chain
        for _ in range(200):
            result = result[0]
        assert result == "bottom"

    async def test_a_second_awaiter_is_refused(self):
        coro = probe.await_each([asyncio.sleep(0.01, "once")])
        task = asyncio.create_task(coro)
        await asyncio.sleep(0)

        async def from_python():
            return await coro

        with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
            await from_python()
        with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
            await probe.await_each([coro])
        assert await task == ["once"]

    def test_a_failing_throw_lookup_goes_to_the_caller_and_leaves_the_coroutine_suspended(self):
        class It:
            def __iter__(self):
                return self

            def __next__(self):
                return None

            @property
            def throw(self):
                raise KeyError("no throw today")

        async def python_version(aw):
            return await aw

        awaitable = type("A", (), {"__await__": lambda self: It()})
        for coro in (probe.catch_ordinary(awaitable()), python_version(awaitable())):
            coro.send(None)
            with pytest.raises(KeyError, match="no throw today"):
                coro.throw(ValueError("thrown"))
            assert inspect.getcoroutinestate(coro) == inspect.CORO_SUSPENDED
            coro.close()


class FailingLock:
    """An asyncio lock whose release raises `error` after releasing."""

    def __init__(self, error):
        self.lock, self.error = asyncio.Lock(), error

    async def acquire(self):
        return await self.lock.acquire()

    def release(self):
        self.lock.release()
        raise self.error


async def guarded_in_python(lock, awaitable, log):
    await lock.acquire()
    try:
        try:
            r = await awaitable
            log.append("completed")
            return r
        finally:
            log.append("unwound")
    finally:
        lock.release()


class TestCleanupFailures:
    @pytest.mark.parametrize("guarded", [probe.guarded, guarded_in_python], ids=["native", "async def"])
    async def test_clean_up_errors_propagate_and_chain_like_finally(self, guarded):
        # normal path: the release error is the result
        with pytest.raises(KeyError, match="release") as info:
            await guarded(FailingLock(KeyError("release")), asyncio.sleep(0, 1), [])
        assert info.value.__context__ is None

        # during another exception: the release error replaces it and links it as __context__
        async def boom():
            await asyncio.sleep(0)
            raise ValueError("body")

        with pytest.raises(KeyError, match="release") as info:
            await guarded(FailingLock(KeyError("release")), boom(), [])
        assert isinstance(info.value.__context__, ValueError)
        # an interrupt raised by the clean-up is never dropped
        with pytest.raises(KeyboardInterrupt):
            await guarded(FailingLock(KeyboardInterrupt()), boom(), [])

    @pytest.mark.parametrize("guarded", [probe.guarded, guarded_in_python], ids=["native", "async def"])
    async def test_close_raises_the_clean_up_error(self, guarded):
        lock, log = FailingLock(KeyError("release")), []
        coro = guarded(lock, asyncio.sleep(1), log)
        coro.send(None)
        with pytest.raises(KeyError, match="release") as info:
            coro.close()
        assert isinstance(info.value.__context__, GeneratorExit)
        assert log == ["unwound"] and not lock.lock.locked()


class TestCollection:
    @pytest.mark.isolated
    async def test_a_local_held_across_an_await_is_seen_by_the_collector(self):
        class Node:
            pass

        node, fut = Node(), asyncio.get_running_loop().create_future()
        coro = probe.keep(node, fut)
        node.coro = coro  # the only path back: through a list that only the frame's local owns
        coro.send(None)
        ref = weakref.ref(node)
        del node, coro, fut
        gc.collect()
        assert ref() is None

    def test_a_running_heartbeat_does_not_keep_a_closed_loop_alive(self):
        out = run_isolated("""
            import asyncio, gc, weakref
            from tavrin.core.heartbeat import HeartbeatRunner
            from tavrin.config import HeartbeatConfig

            async def on_beat(prompt): pass

            async def start():
                runner.start()
                await asyncio.sleep(0)  # the loop is now suspended in its interval sleep

            loop = asyncio.new_event_loop()
            runner = HeartbeatRunner(HeartbeatConfig(interval_seconds=3600), on_beat, None)
            loop.run_until_complete(start())
            refs = [weakref.ref(runner), weakref.ref(loop)]
            loop.close()
            del runner, loop
            gc.collect()
            print([r() is None for r in refs])
        """)
        assert out.strip() == "[True, True]"


class TestModuleObjects:
    @pytest.mark.parametrize("name", ["tavrin.gateway.ws", "tavrin.core.heartbeat"])
    def test_a_second_initialisation_is_refused_and_the_first_module_keeps_working(self, name):
        out = run_isolated(f"""
            import importlib, sys
            first = importlib.import_module({name!r})
            del sys.modules[{name!r}]
            try:
                importlib.import_module({name!r})
            except ImportError as e:
                print(type(e).__name__, e)
            sys.modules[{name!r}] = first
            print(first.__name__, len(dir(first)) > 5)
        """)
        assert f"ImportError {name} is already initialised in this process" in out
        assert out.strip().endswith(f"{name} True")


class TestLikeAsyncDef:
    def test_coroutine_state_is_reported_by_inspect(self):
        coro = probe.await_each([asyncio.sleep(0)])
        assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
        coro.send(None)
        assert inspect.getcoroutinestate(coro) == inspect.CORO_SUSPENDED
        coro.close()
        assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED
        assert coro.cr_code.co_name == "await_each"

    @pytest.mark.filterwarnings("ignore:coroutine .* was never awaited")
    @pytest.mark.parametrize("make", ["anext_int", "await_returns_coroutine"])
    async def test_error_texts_match_the_interpreter(self, make):
        async def inner():
            return 1

        if make == "anext_int":

            class Bad:
                def __aiter__(self):
                    return self

                def __anext__(self):
                    return 1

            async def python_version():
                async for _ in Bad():
                    pass

            native = probe.collect(Bad())
        else:

            class Bad:
                def __await__(self):
                    return inner()

            async def python_version():
                return await Bad()

            native = probe.await_each([Bad()])
        with pytest.raises(TypeError) as expected:
            await python_version()
        with pytest.raises(TypeError) as got:
            await native
        assert str(got.value) == str(expected.value)
        gc.collect()

    def test_a_missing_host_name_is_reported_like_from_import(self, ws_module, host, monkeypatch, tmp_path):
        module = type(sys)("tavrin.core.session_registry")
        module.__file__ = str(tmp_path / "session_registry.py")
        monkeypatch.setitem(sys.modules, "tavrin.core.session_registry", module)
        with pytest.raises(ImportError) as expected:
            exec("from tavrin.core.session_registry import get_registry", {})
        with pytest.raises(ImportError) as got:
            ws_module._get_session("s1")
        assert str(got.value) == str(expected.value) and str(tmp_path) in str(got.value)
        assert (got.value.name, got.value.path) == (expected.value.name, expected.value.path)


class TestSourceRules:
    """The rules that keep suspended frames visible to the collector, checked on the sources: a coroutine
    body awaits only through TV_AWAIT / TV_AWAIT_WITHIN / anext, and keeps Python objects in `Local`s."""

    def coroutine_bodies(self):
        import pathlib
        import re

        native = pathlib.Path(__file__).resolve().parents[1] / "native"
        for path in sorted(native.rglob("*.cpp")):
            text = path.read_text()
            for m in re.finditer(r"\nCoro (\w+)\([^)]*\) \{\n", text):
                depth, i = 1, m.end()
                while depth:
                    depth += {"{": 1, "}": -1}.get(text[i], 0)
                    i += 1
                yield f"{path.name}:{m.group(1)}", text[m.end() : i]

    def test_coroutine_bodies_follow_the_frame_rules(self):
        import re

        bodies = dict(self.coroutine_bodies())
        assert len(bodies) > 20
        for where, body in bodies.items():
            for m in re.finditer(r"co_await\s+(\S+)", body):
                assert m.group(1).startswith("anext("), f"{where}: bare co_await {m.group(1)}"
            held = re.findall(r"^\s*(?:nb::object|std::vector<nb::object>)\s+\w+", body, re.M)
            assert not held, f"{where}: Python objects held outside a Local: {held}"


async def managed_in_python(mgr, awaitable, log, then=None):
    r = None
    async with mgr:
        log.append("entered")
        r = await awaitable
    log.append("after")
    if then is not None:
        await then
    return r


class Manager:
    """An async context manager whose every step can be made to misbehave. Its exit logs what it was
    given and what it handles (`sys.exception()`), as the interpreter shows them to an `async def`."""

    def __init__(
        self,
        log,
        *,
        suppress=False,
        exit_raises=False,
        exit_waits=False,
        enter_gives=None,
        exit_reraises=False,
        exit_gives=None,
    ):
        self.log, self.suppress, self.exit_raises, self.exit_waits = log, suppress, exit_raises, exit_waits
        self.enter_gives, self.exit_reraises, self.exit_gives = enter_gives, exit_reraises, exit_gives

    def __aenter__(self):
        if self.enter_gives is not None:
            return self.enter_gives
        return self._enter()

    async def _enter(self):
        self.log.append("aenter")

    async def __aexit__(self, kind, value, tb):
        handled = sys.exception()
        self.log.append(("aexit", kind.__name__ if kind else None, type(handled).__name__ if handled else None))
        if self.exit_waits:
            await asyncio.sleep(0)
            handled = sys.exception()
            self.log.append(("exit resumed", type(handled).__name__ if handled else None))
        if self.exit_reraises:
            raise
        if self.exit_raises:
            raise KeyError("exit")
        if self.exit_gives is not None:
            return self.exit_gives
        return self.suppress


class BoolFails:
    """An exit's result whose truth cannot be told."""

    def __bool__(self):
        raise KeyError("bool")


class NoExit:
    async def __aenter__(self):
        pass


class Now:
    """An awaitable that completes at once (and warns of nothing if never awaited)."""

    def __await__(self):
        return iter(())


async def body_fails():
    await asyncio.sleep(0)
    raise ValueError("body")


def outcome(coro_fn, log):
    """What running it gives: its result or its error's type, text and context's type, and the log."""

    async def run():
        try:
            return ("result", await coro_fn())
        except BaseException as e:  # noqa: BLE001
            ctx = e.__context__
            return ("raised", type(e).__name__, str(e), type(ctx).__name__ if ctx else None)

    return asyncio.run(run()), log


MANAGER_CASES = {
    "plain": (dict(), lambda: asyncio.sleep(0, "r")),
    "body fails": (dict(), body_fails),
    "suppressed": (dict(suppress=True), body_fails),
    "exit raises over the body's error": (dict(exit_raises=True), body_fails),
    "exit raises": (dict(exit_raises=True), lambda: asyncio.sleep(0, "r")),
    "exit waits": (dict(exit_waits=True, suppress=True), body_fails),
    "enter not awaitable": (dict(enter_gives=42), Now),
    "exit re-raises the body's error": (dict(exit_reraises=True), body_fails),
    "exit re-raises with no error": (dict(exit_reraises=True), lambda: asyncio.sleep(0, "r")),
    "exit waits, then re-raises": (dict(exit_waits=True, exit_reraises=True), body_fails),
    "exit waits, then raises": (dict(exit_waits=True, exit_raises=True), body_fails),
    "exit's result has no truth": (dict(exit_gives=BoolFails()), body_fails),
    "exit not awaitable": (dict(), body_fails),
}


@pytest.mark.parametrize("case", list(MANAGER_CASES) + ["no __aenter__", "no __aexit__"])
def test_async_with_behaves_like_async_def(case):
    # catches: a lock taken by acquire()/release() instead of the protocol, a suppressing __aexit__ not
    # honoured, an exit's error not chained to the body's, or texts that differ from the interpreter's
    results = []
    for managed in (probe.managed, managed_in_python):
        log = []
        if case == "no __aenter__":
            mgr, body = object(), Now
        elif case == "no __aexit__":
            mgr, body = NoExit(), Now
        elif case == "exit not awaitable":
            mgr, body = type("SyncExit", (Manager,), {"__aexit__": lambda self, *exc: sys.exception()})(log), body_fails
        else:
            kw, body = MANAGER_CASES[case]
            mgr = Manager(log, **kw)
        results.append(outcome(lambda: managed(mgr, body(), log), log))
    assert results[0] == results[1]


def test_async_with_exits_when_the_body_is_cancelled():
    results = []
    for managed in (probe.managed, managed_in_python):
        log = []

        async def run():
            task = asyncio.ensure_future(managed(Manager(log), asyncio.Event().wait(), log))
            await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return log

        results.append(asyncio.run(run()))
    assert results[0] == results[1] == ["aenter", "entered", ("aexit", "CancelledError", "CancelledError")]


class Hang:
    """Suspends until sent to again."""

    def __await__(self):
        yield "hang"


def closed_in_the_body(managed, mgr, then=None):
    """Suspends `managed` in its body, closes it, then sends to it while it is still suspended: what each
    step gave, with the coroutine's state after it."""
    log = mgr.log
    coro = managed(mgr, Hang(), log, then)
    coro.send(None)
    steps = []
    for action in ("close", "send", "send", "close"):
        if inspect.getcoroutinestate(coro) != inspect.CORO_SUSPENDED:
            break
        try:
            got = ("closed", coro.close()) if action == "close" else ("yield", coro.send(None))
        except StopIteration as stop:
            got = ("return", stop.value)
        except BaseException as e:  # noqa: BLE001
            got = ("raised", type(e).__name__, str(e), type(e.__context__).__name__ if e.__context__ else None)
        steps.append((action, got, inspect.getcoroutinestate(coro)))
    return log, steps


CLOSE_CASES = {
    "plain": (dict(), None),
    "the exit suppresses": (dict(suppress=True), None),
    "the exit suppresses, the code after waits": (dict(suppress=True), Hang()),
    "the exit waits": (dict(exit_waits=True), None),
    "the exit waits, then suppresses": (dict(exit_waits=True, suppress=True), None),
    "the exit waits, then raises": (dict(exit_waits=True, exit_raises=True), None),
    "the exit raises": (dict(exit_raises=True), None),
    "the exit re-raises": (dict(exit_reraises=True), None),
    "the exit's result has no truth": (dict(exit_gives=BoolFails()), None),
}


@pytest.mark.parametrize("case", CLOSE_CASES)
def test_close_in_an_async_with_body_goes_on_as_async_def(case):
    # catches: the exit not shown GeneratorExit as the exception it handles, a suppressing exit whose
    # code after the block is skipped, a waiting exit that leaves the coroutine closed instead of
    # suspended in the exit, an exit's result never asked for its truth
    kw, then = CLOSE_CASES[case]
    results = [closed_in_the_body(managed, Manager([], **kw), then) for managed in (probe.managed, managed_in_python)]
    assert results[0] == results[1]


def test_close_in_an_async_with_body_reads_as_written():
    """The comparison above, spelled out for the two cases that used to differ."""
    closed = (inspect.CORO_CLOSED, inspect.CORO_SUSPENDED)
    log, steps = closed_in_the_body(probe.managed, Manager([], suppress=True), Hang())
    assert log == ["aenter", "entered", ("aexit", "GeneratorExit", "GeneratorExit"), "after"]
    assert steps == [
        ("close", ("raised", "RuntimeError", "coroutine ignored GeneratorExit", None), closed[1]),
        ("send", ("return", None), closed[0]),
    ]
    log, steps = closed_in_the_body(probe.managed, Manager([], exit_waits=True))
    assert log == ["aenter", "entered", ("aexit", "GeneratorExit", "GeneratorExit"), ("exit resumed", "GeneratorExit")]
    assert steps == [
        ("close", ("raised", "RuntimeError", "coroutine ignored GeneratorExit", None), closed[1]),
        ("send", ("raised", "GeneratorExit", "", None), closed[0]),
    ]
