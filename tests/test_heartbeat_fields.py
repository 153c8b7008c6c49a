"""The runner's state as attributes: what the host writes the runner reads, and status() never goes stale.

The runner keeps its fields natively and remembers its last status to build the next one; these
scenarios change the state from Python between calls, in the ways a host, a subclass or a hostile
value can, and compare every status() with the same dict built the straightforward way.
"""

from __future__ import annotations

import gc
import subprocess
import sys
import weakref

import pytest

from fakes import FakeTask
from tavrin.config import HeartbeatConfig
from tavrin.core import heartbeat

KEYS = [
    "enabled",
    "running",
    "paused",
    "interval_seconds",
    "consecutive_beats",
    "max_consecutive",
    "quiet_hours_start",
    "quiet_hours_end",
    "blocked_ops",
]


def expected(r):
    c = r._config
    return {
        "enabled": c.enabled,
        "running": r.running,
        "paused": r._paused,
        "interval_seconds": c.interval_seconds,
        "consecutive_beats": r._consecutive_beats,
        "max_consecutive": c.max_consecutive,
        "quiet_hours_start": c.quiet_hours_start,
        "quiet_hours_end": c.quiet_hours_end,
        "blocked_ops": list(c.blocked_ops),
    }


def same_status(r):
    got, want = r.status(), expected(r)
    assert list(got.items()) == list(want.items())
    return got


class Fresh(HeartbeatConfig):
    """A record whose quiet hours and limit are new (equal) objects at every read."""

    quiet_hours_start = property(lambda self: "".join(["09", ":00"]), lambda self, v: None)
    max_consecutive = property(lambda self: int("1000"), lambda self, v: None)


class Dying:
    """A configured value that asks the runner for its status when it is released."""

    def __init__(self, runner, seen):
        self.runner, self.seen = runner, seen

    def __del__(self):
        self.seen.append(self.runner.status())


def in_place(r, c):
    c.max_consecutive, c.quiet_hours_end, c.enabled = 3, "06:30", True


def replaced(r, c):
    r.update_config(HeartbeatConfig(interval_seconds=9, blocked_ops=("x",)))


def back_and_forth(r, c):
    first = c.quiet_hours_start
    c.quiet_hours_start = "01:00"
    same_status(r)
    c.quiet_hours_start = first


def runner_fields(r, c):
    r._paused, r._consecutive_beats, r._task = True, 7, FakeTask(done=False)


def task_finishes(r, c):
    r._task = FakeTask(done=False)
    same_status(r)
    r._task._done = True


def reentered_from_a_property(r, c):
    class Nested(HeartbeatConfig):
        busy = False

        @property
        def quiet_hours_start(self):
            if not self.busy:  # once: change the state the outer call has read, and ask again
                self.busy = True
                r._paused = not r._paused
                same_status(r)
            return "22:00"

        @quiet_hours_start.setter
        def quiet_hours_start(self, value):
            pass

    r._config = Nested()
    r.status()


def released_values_reenter(r, c):
    seen = []
    c.interval_seconds = Dying(r, seen)
    same_status(r)
    c.interval_seconds = Dying(r, seen)
    same_status(r)  # releases the first one while the second is being remembered
    assert seen and all(s["interval_seconds"] is c.interval_seconds for s in seen)


@pytest.mark.parametrize(
    "change",
    [
        in_place,
        replaced,
        back_and_forth,
        runner_fields,
        task_finishes,
        reentered_from_a_property,
        released_values_reenter,
    ],
)
@pytest.mark.parametrize("config", [HeartbeatConfig, Fresh])
def test_status_follows_every_change_between_calls(config, change):
    """Catches a status() that serves a remembered value after the state or the record changed."""
    c = config()
    r = heartbeat.HeartbeatRunner(c, None)
    first = same_status(r)
    first["paused"], first["blocked_ops"][:] = "mutated", ["mutated"]  # the caller's dict is its own
    same_status(r)
    change(r, r._config)
    same_status(r)
    assert list(r.status()) == KEYS


def test_fields_are_the_attributes_both_sides_read_and_write():
    """Catches the runner and Python seeing two copies of a field, or a field hidden from `del`/`vars`."""
    r = heartbeat.HeartbeatRunner(HeartbeatConfig(), None)
    r.pause()
    r._consecutive_beats = 4
    assert (r._paused, r.consecutive_beats, r.status()["consecutive_beats"]) == (True, 4, 4)
    r.reset_consecutive()
    assert r._consecutive_beats == 0
    r.note = "kept"  # other attributes are still taken, after the fields in vars()
    assert list(vars(r))[-1] == "note" and vars(r)["_paused"] is True
    with pytest.raises(TypeError):
        vars(r)["_paused"] = False  # a snapshot: attributes are changed by assigning them
    del r._task
    assert "_task" not in vars(r)
    for read in (lambda: r.running, r.status, r.start):
        # (3.13 names the type with its module, as it does for a class with __slots__ in that module)
        with pytest.raises(AttributeError, match="'HeartbeatRunner' object has no attribute '_task'"):
            read()


class OwnRunning(heartbeat.HeartbeatRunner):
    running = property(lambda self: "subclass")


class OwnPaused(heartbeat.HeartbeatRunner):
    _paused = property(lambda self: "property", lambda self, v: None)


@pytest.mark.parametrize("cls, key, value", [(OwnRunning, "running", "subclass"), (OwnPaused, "paused", "property")])
def test_a_subclass_that_shadows_a_name_is_read_through_it(cls, key, value):
    """Catches native reads that bypass a subclass's property over a field or over `running`."""
    r = cls(HeartbeatConfig(), None)
    assert r.status()[key] == value
    r.pause()  # through the property's setter, which drops it
    assert r.status()[key] == value


PATCHED_CLASS = """
r = HeartbeatRunner(HeartbeatConfig(), None)
assert r.status()["running"] is False
HeartbeatRunner.running = property(lambda self: "patched")
print(r.status()["running"], r.running)
"""

OTHER_SELF = """
class Duck:  # an object with the runner's attributes but none of its state
    _config, _paused, _consecutive_beats, running = HeartbeatConfig(), "duck", 3, "patched"
print(HeartbeatRunner.status(Duck())["running"], HeartbeatRunner.status(Duck())["paused"])
"""


@pytest.mark.parametrize(
    "code, printed",
    [(PATCHED_CLASS, "patched patched"), (OTHER_SELF, "patched duck")],
    ids=["patched class", "other self"],
)
def test_methods_read_what_python_code_would(code, printed):
    """Catches native reads that bypass a patched class, or that write into an object with no state."""
    prelude = "from tavrin.config import HeartbeatConfig\nfrom tavrin.core.heartbeat import HeartbeatRunner\n"
    out = subprocess.run([sys.executable, "-c", prelude + code], capture_output=True, text=True, check=True).stdout
    assert out.split() == printed.split()


def cycle_through_field(r):
    r._on_beat = r


def cycle_through_other_attribute(r):
    r.me = r


def cycle_through_remembered_status(r):
    r._config.quiet_hours_start = r
    r.status()


@pytest.mark.parametrize("cycle", [cycle_through_field, cycle_through_other_attribute, cycle_through_remembered_status])
def test_cycles_through_the_runner_are_collected(cycle):
    """Catches a reference the collector is not shown (the runner would live for ever)."""
    r = heartbeat.HeartbeatRunner(HeartbeatConfig(), None)
    cycle(r)
    ref = weakref.ref(r)
    del r
    gc.collect()
    assert ref() is None
