"""The native coroutine runtime, exercised directly through `tavrin._runtime_probe`."""

from __future__ import annotations

import asyncio
import collections.abc
import gc
import inspect
import traceback
import weakref

import pytest

from tavrin import _runtime_probe as probe


async def value_later(v, rounds=1):
    for _ in range(rounds):
        await asyncio.sleep(0)
    return v


async def raise_later(exc):
    await asyncio.sleep(0)
    raise exc


class TestProtocol:
    async def test_results_flow_through_immediate_and_suspending_awaits(self):
        fut = asyncio.get_running_loop().create_future()
        asyncio.get_running_loop().call_soon(fut.set_result, "from future")
        results = await probe.await_each([value_later(1, 0), value_later(2, 3), fut, asyncio.sleep(0, "slept")])
        assert results == [1, 2, "from future", "slept"]

    async def test_is_a_coroutine_for_asyncio_and_inspect(self):
        coro = probe.await_each([])
        try:
            assert asyncio.iscoroutine(coro)
            assert isinstance(coro, collections.abc.Coroutine)
            assert coro.__name__ == "await_each" and coro.__qualname__ == "await_each"
            assert inspect.iscoroutinefunction(probe.await_each)
        finally:
            coro.close()
        task = asyncio.create_task(probe.await_each([value_later(5)]), name="probe-task")
        assert task.get_name() == "probe-task"
        assert await task == [5]

    async def test_a_native_coroutine_awaits_another(self):
        assert await probe.await_each([probe.await_each([value_later("inner")])]) == [["inner"]]

    def test_driven_by_hand_like_a_coroutine(self):
        coro = probe.await_each([value_later("x")])
        assert coro.send(None) is None  # the bare yield of asyncio.sleep(0) passes up unchanged
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        assert stop.value.value == ["x"]
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            coro.send(None)

    def test_non_none_first_send_is_refused(self):
        coro = probe.await_each([])
        with pytest.raises(TypeError, match="just-started"):
            coro.send(1)
        coro.close()

    async def test_sending_to_a_running_coroutine_raises_value_error(self):
        holder = {}

        async def reenter():
            holder["coro"].send(None)

        holder["coro"] = coro = probe.await_each([reenter()])
        with pytest.raises(ValueError, match="already executing"):
            await coro

    async def test_async_iteration(self):
        async def gen():
            for i in range(3):
                await asyncio.sleep(0)
                yield i

        assert await probe.collect(gen()) == [0, 1, 2]
        with pytest.raises(TypeError, match="'async for' requires an object with __aiter__ method, got list"):
            await probe.collect([1])


class TestErrors:
    async def test_python_error_keeps_type_and_traceback(self):
        with pytest.raises(ZeroDivisionError) as info:
            await probe.await_each([raise_later(ZeroDivisionError("boom"))])
        frames = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
        assert "raise_later" in frames

    async def test_ordinary_errors_can_be_caught_in_cpp(self):
        kind, exc = await probe.catch_ordinary(raise_later(KeyError("k")))
        assert kind == "caught" and isinstance(exc, KeyError)

    @pytest.mark.parametrize(
        "kind, error, text",
        [
            ("runtime", RuntimeError, "C++ failure"),
            ("memory", MemoryError, ""),
            ("stop", RuntimeError, "coroutine raised StopIteration"),
            ("python", KeyError, "python failure"),
        ],
    )
    async def test_cpp_failures_become_python_errors_never_system_error(self, kind, error, text):
        with pytest.raises(error) as info:
            await probe.fail(kind)
        assert not isinstance(info.value, SystemError)
        assert text in str(info.value)

    async def test_throw_into_an_awaitable_without_throw_raises_at_the_await(self):
        class Bare:
            def __await__(self):
                return iter([None])

        coro = probe.catch_ordinary(Bare())
        coro.send(None)
        with pytest.raises(StopIteration) as stop:
            coro.throw(ValueError("thrown"))
        kind, exc = stop.value.value
        assert kind == "caught" and str(exc) == "thrown"


class TestUnwinding:
    async def test_cancellation_at_a_pending_await_unwinds_and_frees_the_lock(self):
        lock, log = asyncio.Lock(), []
        task = asyncio.create_task(probe.guarded(lock, asyncio.Event().wait(), log))
        await asyncio.sleep(0)
        assert lock.locked()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert log == ["unwound"] and not lock.locked()

    async def test_cancellation_is_not_caught_as_an_ordinary_error(self):
        task = asyncio.create_task(probe.catch_ordinary(asyncio.Event().wait()))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    async def test_normal_completion_releases_the_lock_too(self):
        lock, log = asyncio.Lock(), []
        assert await probe.guarded(lock, value_later(7), log) == 7
        assert log == ["completed", "unwound"] and not lock.locked()

    async def test_close_of_a_suspended_coroutine_unwinds_and_closes_the_awaited(self):
        lock, log = asyncio.Lock(), []
        inner = value_later(1, rounds=5)
        coro = probe.guarded(lock, inner, log)
        coro.send(None)
        assert lock.locked()
        coro.close()
        assert log == ["unwound"] and not lock.locked()
        assert inner.cr_frame is None  # the awaited coroutine was closed as well
        coro.close()  # closing again is a no-op

    @pytest.mark.isolated
    async def test_abandoned_coroutine_is_unwound_when_collected(self):
        lock, log = asyncio.Lock(), []
        coro = probe.guarded(lock, value_later(1, rounds=5), log)
        coro.send(None)
        ref = weakref.ref(coro)
        del coro
        gc.collect()
        assert ref() is None
        assert log == ["unwound"] and not lock.locked()

    @pytest.mark.isolated
    async def test_cycle_through_a_suspended_coroutine_is_collected(self):
        lock, log = asyncio.Lock(), []

        class Holder:
            def __await__(self):
                yield None

        holder = Holder()
        it = holder.__await__()
        coro = probe.guarded(lock, holder, log)
        holder.coro = coro  # the coroutine awaits holder's iterator; holder refers back to it
        coro.send(None)
        ref = weakref.ref(coro)
        del coro, holder, it
        gc.collect()
        assert ref() is None and log == ["unwound"]

    def test_never_awaited_coroutine_warns_like_async_def(self):
        with pytest.warns(RuntimeWarning, match="coroutine 'await_each' was never awaited"):
            probe.await_each([])
            gc.collect()


class TestFunctionObjects:
    def test_argument_errors_read_like_python(self):
        with pytest.raises(
            TypeError, match=r"^guarded\(\) missing 2 required positional arguments: 'awaitable' and 'log'$"
        ):
            probe.guarded(1)
        with pytest.raises(TypeError, match=r"^guarded\(\) takes 3 positional arguments but 4 were given$"):
            probe.guarded(1, 2, 3, 4)
        with pytest.raises(TypeError, match=r"^guarded\(\) got an unexpected keyword argument 'x'$"):
            probe.guarded(1, 2, 3, x=4)
        with pytest.raises(TypeError, match=r"^guarded\(\) got multiple values for argument 'lock'$"):
            probe.guarded(1, 2, 3, lock=4)

    async def test_keyword_arguments_and_signature(self):
        lock, log = asyncio.Lock(), []
        assert await probe.guarded(log=log, awaitable=value_later(3), lock=lock) == 3
        assert list(inspect.signature(probe.guarded).parameters) == ["lock", "awaitable", "log"]
