"""The native classes copy, deep-copy and pickle as a class statement's class of the same attributes does.

`ConnectionManager` and `HeartbeatRunner` keep their attributes in C++ fields. Each scenario runs
beside a plain Python class that sets the same attributes in the same order, and expects the same
outcome: the same attributes on the result, shared or copied alike, or the same error where a value
cannot be copied (a running task, a lambda given as a callback).
"""

from __future__ import annotations

import asyncio
import copy
import pickle

import pytest

from tavrin.config import HeartbeatConfig
from tavrin.core.heartbeat import HeartbeatRunner
from tavrin.gateway.ws import ConnectionManager


async def on_beat(prompt):
    pass


class PyRunner:
    def __init__(self, config, on_beat, on_event=None):
        self._config = config
        self._on_beat = on_beat
        self._on_event = on_event
        self._task = None
        self._consecutive_beats = 0
        self._paused = False
        self._stop_event = asyncio.Event()


class PyManager:
    def __init__(self):
        self._connections = []


class Runner(HeartbeatRunner):
    pass


class PyRunnerSub(PyRunner):
    pass


class SlottedRunner(HeartbeatRunner):
    __slots__ = ("mark",)


class PySlottedRunner(PyRunner):
    __slots__ = ("mark",)


PAIRS = {
    "runner": (HeartbeatRunner, PyRunner, lambda cls: cls(HeartbeatConfig(interval_seconds=7), on_beat)),
    "runner subclass": (Runner, PyRunnerSub, lambda cls: cls(HeartbeatConfig(), on_beat)),
    "manager": (ConnectionManager, PyManager, lambda cls: cls()),
}

COPIES = {
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    **{
        f"pickle {p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, protocol=p)))
        for p in range(pickle.HIGHEST_PROTOCOL + 1)
    },
}


def shape(value):
    """What a copy must keep of a value, whatever class holds it."""
    if isinstance(value, asyncio.Event):
        return ("Event", value.is_set())
    if isinstance(value, HeartbeatConfig):
        return ("config", vars(value))
    if isinstance(value, (list, tuple)):
        return [shape(v) for v in value]
    return value


def attributes(obj):
    return [(k, shape(v)) for k, v in vars(obj).items()]


def outcome(make_copy, obj):
    try:
        return "copied", make_copy(obj)
    except Exception as e:  # the error must be the Python class's, type and text
        return "failed", (type(e), str(e))


def side_by_side(make_copy, native, python):
    got, want = outcome(make_copy, native), outcome(make_copy, python)
    assert got[0] == want[0], (got, want)
    if got[0] == "failed":
        assert got[1] == want[1]
        return None, None
    mine, theirs = got[1], want[1]
    assert type(mine) is type(native) and mine is not native
    assert attributes(mine) == attributes(theirs)
    # shared with the original exactly where the Python class's copy shares
    for key in vars(theirs):
        assert (vars(mine)[key] is vars(native)[key]) == (vars(theirs)[key] is vars(python)[key]), key
    return mine, theirs


@pytest.mark.parametrize("how", COPIES)
@pytest.mark.parametrize("kind", PAIRS)
def test_a_fresh_instance_copies_as_the_python_class_does(kind, how):
    # catches: "cannot pickle" for a fresh manager or a runner never started, a copy without its fields
    native_cls, python_cls, make = PAIRS[kind]
    native, python = make(native_cls), make(python_cls)
    native.note = python.note = ["kept", 1]  # an attribute of the instance's own, beside the fields
    mine, _ = side_by_side(COPIES[how], native, python)
    assert list(vars(mine))[-1] == "note"
    if isinstance(mine, HeartbeatRunner):
        assert mine.status() == native.status() and not mine.running


@pytest.mark.parametrize("how", COPIES)
def test_a_subclass_with_slots_keeps_them(how):
    # catches: a subclass's slot dropped or put in the dict by the copy (pickle 0 and 1 refuse it, as
    # they refuse the Python class)
    native, python = SlottedRunner(HeartbeatConfig(), on_beat), PySlottedRunner(HeartbeatConfig(), on_beat)
    native.mark = python.mark = "slot"
    mine, _ = side_by_side(COPIES[how], native, python)
    assert (mine is None) == (how in ("pickle 0", "pickle 1"))
    if mine is not None:
        assert mine.mark == "slot" and "mark" not in vars(mine)


@pytest.mark.parametrize("how", COPIES)
def test_unset_fields_stay_unset(how):
    # catches: a deleted field copied as None, or the copy running __init__
    native, python = HeartbeatRunner(HeartbeatConfig(), on_beat), PyRunner(HeartbeatConfig(), on_beat)
    del native._task, python._task
    mine, _ = side_by_side(COPIES[how], native, python)
    with pytest.raises(AttributeError, match="'HeartbeatRunner' object has no attribute '_task'"):
        _ = mine._task


@pytest.mark.parametrize("how", COPIES)
def test_a_lambda_callback_copies_but_does_not_pickle(how):
    # catches: an error other than the value's own where the callback cannot be pickled
    callback = lambda prompt: None  # noqa: E731
    native, python = HeartbeatRunner(HeartbeatConfig(), callback), PyRunner(HeartbeatConfig(), callback)
    mine, _ = side_by_side(COPIES[how], native, python)
    if mine is not None:
        assert mine._on_beat is callback  # functions are copied as themselves, deep or not


@pytest.mark.parametrize("how", COPIES)
async def test_a_started_runner_fails_on_its_task_as_the_python_class_does(how):
    # catches: a running task copied or pickled, or refused with another error than the task's own
    native = HeartbeatRunner(HeartbeatConfig(interval_seconds=3600), on_beat)
    python = PyRunner(HeartbeatConfig(interval_seconds=3600), on_beat)
    python._task = asyncio.get_running_loop().create_task(asyncio.sleep(3600))
    native.start()
    try:
        got, want = outcome(COPIES[how], native), outcome(COPIES[how], python)
        assert got[0] == want[0]
        if got[0] == "failed":
            assert got[1] == want[1]
        else:  # a shallow copy shares the task, as the Python class's does
            assert got[1]._task is native._task and got[1].running
    finally:
        native.stop()
        python._task.cancel()


@pytest.mark.parametrize("how", COPIES)
def test_a_manager_with_connections_copies_them_as_values(how):
    # catches: the connection list shared by a deep copy, or a socket that cannot be copied not reported
    class Unpicklable:
        def __reduce_ex__(self, protocol):
            raise TypeError("cannot pickle 'Socket' object")

    for conns in (["ws-1", "ws-2"], [Unpicklable()]):
        native, python = ConnectionManager(), PyManager()
        native._connections = python._connections = list(conns)
        side_by_side(COPIES[how], native, python)


def test_copying_leaves_the_classes_as_they_were():
    # catches: copyreg storing __slotnames__ on the class at the first pickle (a change to the class
    # turns the fields' direct reads off for good)
    before = {cls: dict(vars(cls)) for cls in (HeartbeatRunner, ConnectionManager)}
    pickle.dumps(HeartbeatRunner(HeartbeatConfig(), on_beat))
    pickle.dumps(ConnectionManager())
    assert {cls: dict(vars(cls)) for cls in before} == before


def test_a_copy_restores_through_setstate_like_the_attribute_dict():
    # catches: a field set through a subclass's property instead of straight into the instance
    class Shadowing(HeartbeatRunner):
        @property
        def _paused(self):
            return "property"

    r = HeartbeatRunner(HeartbeatConfig(), on_beat)
    fresh = Shadowing.__new__(Shadowing)
    fresh.__setstate__({"_paused": True, "extra": 1})
    assert fresh._paused == "property" and vars(fresh) == {"_paused": True, "extra": 1}
    assert r.__getstate__() == {k: v for k, v in vars(r).items()}
