"""The heartbeat controller around the runner, and how beats reach the main session."""

import asyncio

import pytest

from tavrin.config import HeartbeatConfig
from tavrin.core.heartbeat_controller import HeartbeatController


class RecordingRunner:
    """A runner with the native runner's members, recording what the controller asks."""

    def __init__(self, config, on_beat, on_event=None):
        self.config, self.on_beat, self.on_event = config, on_beat, on_event
        self.calls = []
        self.running = self.paused = False
        self.consecutive_beats = 3

    def start(self):
        self.calls.append("start")
        self.running = True

    def stop(self):
        self.calls.append("stop")
        self.running = False

    def pause(self):
        self.calls.append("pause")
        self.paused = True

    def resume(self):
        self.calls.append("resume")
        self.paused = False

    def reset_consecutive(self):
        self.calls.append("reset")
        self.consecutive_beats = 0

    def status(self):
        return {"running": self.running}


def controller(**kwargs):
    async def deliver(prompt):
        pass

    return HeartbeatController(HeartbeatConfig(), deliver, runner_factory=RecordingRunner, **kwargs)


async def test_start_stop_pause_resume():
    c = controller()
    assert not c.is_running and not c.is_paused and c.interval == 300
    c.start(600)
    assert c.is_running and c.interval == 600 and c.config.enabled
    c.pause()
    assert c.is_paused and c.is_running
    c.start(600)  # starting again resumes and does not restart the loop
    assert not c.is_paused
    assert c.runner.calls.count("stop") == 0
    c.start(120)  # a new interval restarts the loop so it takes effect now
    assert c.runner.calls[-2:] == ["stop", "start"] and c.interval == 120
    c.stop()
    assert not c.is_running and not c.config.enabled


@pytest.mark.parametrize(
    "given, expected",
    [("600", 600), (42.5, 42.5), (-5, 5), (0.001, 5), ("soon", 300), (float("inf"), 300), (None, 300), (True, 300)],
)
async def test_interval_from_the_network_is_made_usable(given, expected):
    c = controller()
    c.start(given)
    assert c.interval == expected


async def test_reset_before_the_runner_exists_is_harmless():
    c = controller()
    c.reset_consecutive()
    assert c._runner is None
    c.start(30)
    c.reset_consecutive()
    assert c.runner.consecutive_beats == 0


async def test_with_the_native_runner_beats_arrive_and_events_are_broadcast():
    pytest.importorskip("tavrin.core.heartbeat")
    beats, events = asyncio.Queue(), []

    async def deliver(prompt):
        await beats.put(prompt)

    async def broadcast(event):
        events.append(event)

    c = HeartbeatController(
        HeartbeatConfig(quiet_hours_start="", quiet_hours_end=""), deliver, broadcast, min_interval=0.01
    )
    c.start(0.01)
    try:
        prompt = await asyncio.wait_for(beats.get(), 10)
        assert prompt.startswith("[HEARTBEAT]")
        runner_events = [e for e in events if e["type"] != "heartbeat_state"]
        assert runner_events[0]["type"] == "heartbeat" and runner_events[0]["beat"] == 1
        assert c.is_running
    finally:
        c.stop()
    assert not c.is_running


async def test_every_change_of_the_runner_is_told_to_every_window():
    """Catches a window left with a stale heartbeat line: each action, each beat, the runner pausing
    itself and a message that restarts the count are broadcast as the runner's state, read back."""
    pytest.importorskip("tavrin.core.heartbeat")
    told = asyncio.Queue()

    async def deliver(prompt):
        pass

    async def broadcast(event):
        await told.put(event)

    async def next_state():
        while True:
            event = await asyncio.wait_for(told.get(), 10)
            if event["type"] == "heartbeat_state":
                return event

    config = HeartbeatConfig(quiet_hours_start="", quiet_hours_end="", max_consecutive=2)
    c = HeartbeatController(config, deliver, broadcast, min_interval=0.01)
    c.start(0.05)
    try:
        state = await next_state()
        assert state["running"] is True and state["interval_seconds"] == 0.05
        assert list(state)[1:] == list(c.status())  # the record /api/heartbeat gives, key for key
        beats = [await next_state() for _ in range(2)]
        assert [b["consecutive_beats"] for b in beats] == [1, 2]
        paused = await next_state()  # after its limit the runner paused itself
        assert paused["paused"] is True and paused["running"] is True
        c.reset_consecutive()
        assert (await next_state())["consecutive_beats"] == 0
        c.resume()
        assert (await next_state())["paused"] is False
        c.pause()
        assert (await next_state())["paused"] is True
    finally:
        c.stop()
    stopped = await next_state()
    while stopped["running"]:  # a beat told just before the stop
        stopped = await next_state()
    assert stopped["running"] is False


def test_the_synchronous_operations_tell_nothing_without_a_loop():
    sent = []

    async def broadcast(event):
        sent.append(event)

    c = HeartbeatController(HeartbeatConfig(), broadcast, broadcast, runner_factory=RecordingRunner)
    c.start(30)
    c.stop()
    assert sent == []


# Catches: quiet hours misread across midnight, at their edges, or without both ends.
@pytest.mark.parametrize(
    "start, end, clock, expected",
    [
        ("23:00", "07:00", "23:00", "07:00"),
        ("23:00", "07:00", "02:30", "07:00"),
        ("23:00", "07:00", "07:00", None),
        ("23:00", "07:00", "12:00", None),
        ("12:00", "14:00", "13:59", "14:00"),
        ("12:00", "14:00", "11:59", None),
        ("", "07:00", "02:00", None),
        (None, None, "02:00", None),
    ],
)
def test_quiet_until(start, end, clock, expected):
    from datetime import datetime

    from tavrin.core.heartbeat_controller import quiet_until

    config = HeartbeatConfig(quiet_hours_start=start, quiet_hours_end=end)
    assert quiet_until(config, datetime.strptime(clock, "%H:%M")) == expected
