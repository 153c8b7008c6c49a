"""The runner's state as attributes: what the host writes the runner reads, and the other way round.

The runner keeps its fields natively; these scenarios change them from Python, and shadow them from a
subclass or a patched class, and check that the runner sees what Python code would see.
"""

from __future__ import annotations

import gc
import subprocess
import sys
import weakref

import pytest

from tavrin.config import HeartbeatConfig
from tavrin.core import heartbeat


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


def test_a_patched_class_is_read_through_the_patch():
    """Catches native reads that keep bypassing the class after `running` was replaced on it."""
    code = """if True:
        from tavrin.config import HeartbeatConfig
        from tavrin.core.heartbeat import HeartbeatRunner
        r = HeartbeatRunner(HeartbeatConfig(), None)
        assert r.status()["running"] is False
        HeartbeatRunner.running = property(lambda self: "patched")
        print(r.status()["running"], r.running)
    """
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["patched", "patched"]


def cycle_through_field(r):
    r._on_beat = r


def cycle_through_other_attribute(r):
    r.me = r


@pytest.mark.parametrize("cycle", [cycle_through_field, cycle_through_other_attribute])
def test_cycles_through_the_runner_are_collected(cycle):
    """Catches a reference the collector is not shown (the runner would live for ever)."""
    r = heartbeat.HeartbeatRunner(HeartbeatConfig(), None)
    cycle(r)
    ref = weakref.ref(r)
    del r
    gc.collect()
    assert ref() is None
