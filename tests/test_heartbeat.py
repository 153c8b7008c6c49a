"""The heartbeat runner: lifecycle, beats and the self-pause, quiet hours, callback failures, leaks.

Tests wait for the loop's wake-ups (counted by a stand-in for the module's `asyncio`), never for a time.
"""

from __future__ import annotations

import asyncio
import datetime as dt
import gc
import inspect
import logging
import subprocess
import sys
import warnings

import pytest

from fakes import until
from tavrin.config import HeartbeatConfig
from tavrin.core import heartbeat

DEFAULT = heartbeat.DEFAULT_HEARTBEAT_PROMPT


class CountingAsyncio:
    """The real asyncio, except that every sleep of the loop is counted."""

    def __init__(self):
        self.sleeps = 0

    def __getattr__(self, name):
        return getattr(asyncio, name)

    async def sleep(self, delay):
        self.sleeps += 1
        await asyncio.sleep(delay)


class Agent:
    """Records prompts and events; `fail` makes on_beat raise, `hold` makes it wait for release."""

    def __init__(self):
        self.prompts, self.events, self.paused_at_event = [], [], []
        self.fail = None
        self.hold = None
        self.runner = None
        self.cancelled = False

    async def on_beat(self, prompt):
        self.prompts.append(prompt)
        if self.hold:
            try:
                await self.hold.wait()
            except asyncio.CancelledError:
                self.cancelled = True
                raise
        if self.fail:
            raise self.fail

    async def on_event(self, event):
        self.events.append(event)
        self.paused_at_event.append(self.runner.paused)


def fake_clock(hhmm):
    class FakeDatetime(dt.datetime):
        @classmethod
        def now(cls, tz=None):
            return dt.datetime(2024, 5, 1, *map(int, hhmm.split(":")))

    return FakeDatetime


@pytest.fixture
def clock(monkeypatch):
    fake = CountingAsyncio()
    monkeypatch.setattr(heartbeat, "asyncio", fake)
    return fake


@pytest.fixture
async def make(clock):
    made = []

    def make(events=True, **cfg):
        agent = Agent()
        config = HeartbeatConfig(**{"interval_seconds": 0.01, "quiet_hours_start": "", **cfg})
        agent.runner = heartbeat.HeartbeatRunner(config, agent.on_beat, agent.on_event if events else None)
        made.append(agent.runner)
        return agent.runner, agent

    yield make
    for r in made:
        r.stop()
    await asyncio.sleep(0)


@pytest.fixture
def log(caplog):
    caplog.set_level(logging.DEBUG, logger="tavrin.heartbeat")
    return lambda level=None: [
        (r.levelname, r.msg, r.args)
        for r in caplog.records
        if r.name == "tavrin.heartbeat" and level in (None, r.levelname)
    ]


def test_module_surface():
    assert heartbeat.__doc__.startswith(
        "Heartbeat system \u2014 periodically wakes Tavrin so it can work autonomously 24/7."
    )
    assert DEFAULT.endswith("Do NOT ask the user for input \u2014 just continue autonomously or confirm you're idle.")
    assert DEFAULT.startswith("[HEARTBEAT] This is an automatic check-in. Review your current plan (if any)")
    assert heartbeat.logger is logging.getLogger("tavrin.heartbeat")
    assert heartbeat.HeartbeatConfig is HeartbeatConfig and heartbeat.datetime is dt.datetime
    cls = heartbeat.HeartbeatRunner
    assert cls.__doc__ == "Background async task that sends periodic heartbeats to the agent."
    assert cls.reset_consecutive.__doc__ == "Call this whenever the user sends a real message."
    assert inspect.iscoroutinefunction(cls._loop) and not inspect.iscoroutinefunction(cls.start)
    assert list(inspect.signature(cls).parameters) == ["config", "on_beat", "on_event"]
    assert inspect.signature(cls).parameters["on_event"].default is None
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'on_beat'"):
        cls(HeartbeatConfig())
    with pytest.raises(TypeError, match=r"takes from 3 to 4 positional arguments but 5 were given"):
        cls(1, 2, 3, 4)
    for prop in ("running", "paused", "consecutive_beats"):
        with pytest.raises(AttributeError):
            setattr(cls(HeartbeatConfig(), None), prop, 1)


@pytest.mark.parametrize(
    "stand_in, expected",
    [
        ("types.ModuleType('tavrin.config')", "ImportError cannot import name 'HeartbeatConfig' from 'tavrin.config'"),
        ("None", "ModuleNotFoundError import of tavrin.config halted"),
    ],
)
def test_load_fails_with_the_import_error_itself(stand_in, expected):
    code = (
        f"import sys, types; sys.modules['tavrin.config'] = {stand_in}\n"
        "try:\n import tavrin.core.heartbeat\n"
        "except ImportError as e: print(type(e).__name__, e, e.__cause__)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.startswith(expected) and out.strip().endswith("None")


def test_new_runner_state_and_status():
    config = HeartbeatConfig(blocked_ops=("rm",), quiet_hours_start="22:00")
    r = heartbeat.HeartbeatRunner(config, None)
    assert list(vars(r)) == [
        "_config",
        "_on_beat",
        "_on_event",
        "_task",
        "_consecutive_beats",
        "_paused",
        "_stop_event",
    ]
    assert (r.running, r.paused, r.consecutive_beats, r._on_event) == (False, False, 0, None)
    status = r.status()
    assert list(status) == [
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
    assert status["blocked_ops"] == ["rm"] and status["quiet_hours_start"] == "22:00"
    assert r.status()["blocked_ops"] is not status["blocked_ops"]


def test_start_without_event_loop_leaves_task_and_no_orphan_coroutine():
    class Finished:
        def done(self):
            return True

    r = heartbeat.HeartbeatRunner(HeartbeatConfig(), None)
    r._task = old = Finished()
    r._stop_event.set()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(RuntimeError, match="no running event loop"):
            r.start()
        gc.collect()
    assert r._task is old and not r._stop_event.is_set()
    assert not [w for w in caught if "never awaited" in str(w.message)]


async def test_start_twice_stop_and_restart(make, log, clock):
    r, _ = make(max_consecutive=3)
    r.stop()  # never started: still logs
    r.start()
    task = r._task
    r.start()
    assert r._task is task and task.get_name() == "heartbeat" and r.running
    await until(lambda: clock.sleeps)
    r.stop()
    assert r._task is None and not r.running and r._stop_event.is_set()
    await until(task.done)
    assert not task.cancelled()
    r.start()
    assert r.running and r._task is not task and not r._stop_event.is_set()
    assert log("INFO") == [
        ("INFO", "Heartbeat stopped", ()),
        ("INFO", "Heartbeat started (interval=%ds, max_consecutive=%d)", (0.01, 3)),
        ("INFO", "Heartbeat stopped", ()),
        ("INFO", "Heartbeat started (interval=%ds, max_consecutive=%d)", (0.01, 3)),
    ]


async def test_config_read_errors_reach_the_caller(make):
    r, _ = make()
    r._config = object()
    with pytest.raises(AttributeError, match="interval_seconds"):
        r.start()
    assert r.running  # the task exists: the record is read only for the start line
    with pytest.raises(AttributeError, match="enabled"):
        r.status()
    with pytest.raises(AttributeError, match="enabled"):
        r.update_config(object())
    assert not r.running  # stopped before `enabled` was read


@pytest.mark.parametrize("events", [True, False])
async def test_limit_self_pause_and_resume(make, log, clock, events):
    r, agent = make(events=events, max_consecutive=3)
    r.start()
    await until(lambda: r.paused)
    assert agent.prompts == [DEFAULT] * 3 and r.consecutive_beats == 3 and r.running
    paused_event = {"type": "heartbeat_paused", "reason": "max_consecutive_reached", "count": 3}
    if events:
        assert agent.events == [{"type": "heartbeat", "beat": n, "max": 3} for n in (1, 2, 3)] + [paused_event]
        assert [list(e) for e in agent.events[-2:]] == [["type", "beat", "max"], ["type", "reason", "count"]]
        assert agent.paused_at_event == [False, False, False, True]
    assert log("INFO")[1:] == [("INFO", "Heartbeat #%d firing", (n,)) for n in (1, 2, 3)] + [
        ("INFO", "Heartbeat paused \u2014 %d consecutive beats with no user interaction", (3,))
    ]

    # Resuming without a user message pauses again at once, with the same count.
    r.resume()
    await until(lambda: r.paused)
    assert len(agent.prompts) == 3 and agent.events[4:] == ([paused_event] if events else [])

    r.reset_consecutive()
    assert r.paused  # still paused until resumed
    r.resume()
    await until(lambda: len(agent.prompts) == 4)
    assert r.consecutive_beats >= 1 and (not events or agent.events[5] == {"type": "heartbeat", "beat": 1, "max": 3})


async def test_zero_limit_never_beats(make, clock):
    r, agent = make(max_consecutive=0)
    r.start()
    await until(lambda: r.paused)
    r.reset_consecutive()
    r.resume()
    await until(lambda: len(agent.events) == 2)
    assert agent.prompts == [] and [e["count"] for e in agent.events] == [0, 0] and r.paused


async def test_paused_before_start_fires_nothing(make, clock):
    r, agent = make(max_consecutive=0)
    r.pause()
    r.start()
    await until(lambda: clock.sleeps >= 5)
    assert (r.running, r.paused, agent.prompts, agent.events) == (True, True, [], [])


@pytest.mark.parametrize(
    "start,end,now,quiet",
    [
        ("22:00", "07:00", "22:00", True),
        ("22:00", "07:00", "23:59", True),
        ("22:00", "07:00", "00:00", True),
        ("22:00", "07:00", "06:59", True),
        ("22:00", "07:00", "07:00", False),
        ("22:00", "07:00", "21:59", False),
        ("09:00", "17:00", "09:00", True),
        ("09:00", "17:00", "16:59", True),
        ("09:00", "17:00", "17:00", False),
        ("09:00", "09:00", "09:00", False),
        ("", "07:00", "03:00", False),
        ("22:00", None, "23:00", False),
    ],
)
def test_quiet_hours(monkeypatch, start, end, now, quiet):
    monkeypatch.setattr(heartbeat, "datetime", fake_clock(now))
    config = HeartbeatConfig(quiet_hours_start=start, quiet_hours_end=end)
    assert heartbeat.HeartbeatRunner(config, None)._in_quiet_hours() is quiet


async def test_quiet_hours_skip_beats_and_the_limit(make, log, clock, monkeypatch):
    monkeypatch.setattr(heartbeat, "datetime", fake_clock("23:30"))
    r, agent = make(max_consecutive=0, quiet_hours_start="22:00", quiet_hours_end="07:00")
    r.start()
    await until(lambda: clock.sleeps >= 4)
    assert not r.paused and agent.events == []
    assert ("DEBUG", "Skipping heartbeat \u2014 quiet hours", ()) in log("DEBUG")
    monkeypatch.setattr(heartbeat, "datetime", fake_clock("12:00"))
    await until(lambda: r.paused)


@pytest.mark.parametrize("prompt,expected", [("", DEFAULT), (None, DEFAULT), ("Check the build.", "Check the build.")])
async def test_prompt_choice(make, clock, prompt, expected):
    r, agent = make(prompt=prompt)
    r.start()
    await until(lambda: agent.prompts)
    assert agent.prompts[0] == expected


def raising(prompt):
    raise ValueError("refused")


@pytest.mark.parametrize("on_beat", ["async", raising, lambda prompt: 42], ids=["awaited", "called", "not-awaitable"])
async def test_on_beat_failures_are_logged_and_survived(make, log, caplog, clock, on_beat):
    r, agent = make(max_consecutive=100)
    if on_beat == "async":
        agent.fail = ValueError("agent down")
    else:
        r._on_beat = on_beat
    r.start()
    await until(lambda: r.consecutive_beats >= 3)
    errors = log("ERROR")
    assert len(errors) >= 2 and set(errors) == {("ERROR", "Heartbeat agent call failed", ())}
    assert r.running
    failure = next(rec for rec in caplog.records if rec.levelname == "ERROR").exc_info
    assert isinstance(failure[1], Exception)
    assert on_beat != "async" or (failure[1] is agent.fail and failure[2] is not None)


async def test_on_event_failure_ends_the_loop(make, log, clock):
    r, agent = make()
    error = RuntimeError("sink closed")

    async def broken(event):
        raise error

    r._on_event = broken
    r.start()
    task = r._task
    await until(task.done)
    assert task.exception() is error and not r.running and r._task is task
    assert (r.consecutive_beats, agent.prompts) == (1, [])
    assert log()[-1] == ("INFO", "Heartbeat #%d firing", (1,))


async def test_stop_while_on_beat_is_pending(make, log, clock):
    r, agent = make()
    agent.hold = asyncio.Event()
    r.start()
    task = r._task
    await until(lambda: agent.prompts)
    r.stop()
    await until(task.done)
    assert not task.cancelled() and task.exception() is None and task.result() is None
    assert log()[-1] == ("DEBUG", "Heartbeat loop cancelled", ())
    assert agent.cancelled and r.consecutive_beats == 1


async def test_update_config(make, log, clock):
    r, _ = make(max_consecutive=3)
    r.pause()
    r.start()
    first = r._task
    r.update_config(HeartbeatConfig(enabled=True, interval_seconds=0.02, max_consecutive=7))
    assert r.running and r._task is not first and first.cancelling()
    r.update_config(HeartbeatConfig(enabled=False))
    assert not r.running and r._task is None and r.paused
    stopped = HeartbeatConfig(enabled=True, max_consecutive=9)
    r.update_config(stopped)
    assert not r.running and r._config is stopped and r.status()["max_consecutive"] == 9
    assert [m for _, m, a in log("INFO")][1:] == [
        "Heartbeat started (interval=%ds, max_consecutive=%d)",
        "Heartbeat stopped",
        "Heartbeat started (interval=%ds, max_consecutive=%d)",
        "Heartbeat stopped",
    ]
    assert log("INFO")[3][2] == (0.02, 7)


async def test_no_leaks_over_many_beats_and_restarts(make, clock):
    r, agent = make(interval_seconds=0, max_consecutive=10**9)
    config = r._config

    async def run(beats, cycles):
        r.start()
        target = r.consecutive_beats + beats
        await until(lambda: r.consecutive_beats >= target, timeout=60)
        r.stop()
        for _ in range(cycles):
            r.start()
            await asyncio.sleep(0)
            r.stop()
        await asyncio.sleep(0)
        agent.prompts.clear()
        agent.events.clear()
        agent.paused_at_event.clear()
        gc.collect()
        return len(gc.get_objects()), sys.getallocatedblocks(), sys.getrefcount(config), sys.getrefcount(DEFAULT)

    await run(200, 50)  # warm-up: caches, interned texts, the loop's internals
    objects, blocks, config_refs, prompt_refs = await run(200, 50)
    after = await run(3000, 1000)
    assert after[2:] == (config_refs, prompt_refs)
    # Event dicts of plain values are not tracked by the collector, so allocated blocks count too.
    assert after[0] - objects < 100 and after[1] - blocks < 1000
