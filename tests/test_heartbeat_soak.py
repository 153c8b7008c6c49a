"""A long run of the heartbeat runner: tens of thousands of beats with self-pauses, resumes, resets,
failing and cancelled callbacks, quiet hours coming and going, configuration swaps and restarts.
The beat sequence stays exact and memory stays flat."""

from __future__ import annotations

import asyncio
import datetime as dt
import gc
import logging
import sys

from tavrin.config import HeartbeatConfig
from tavrin.core import heartbeat

LIMIT = 5


class Clock(dt.datetime):
    """The local time the runner reads; the test moves it in and out of the quiet hours."""

    current = dt.datetime(2024, 5, 1, 12, 0)

    @classmethod
    def now(cls, tz=None):
        return cls.current


class Host:
    """The callbacks: every 7th beat fails; every 500th waits until the test stops the runner."""

    def __init__(self):
        self.beats = 0
        self.failures = 0
        self.held = 0
        self.hold = asyncio.Event()
        self.events: list[dict] = []  # cleared by the test between rounds
        self.faults: list[str] = []
        self.expected_beat = 1
        self.pending = False

    async def on_beat(self, prompt):
        self.beats += 1
        if self.beats % 500 == 0:
            self.held += 1
            self.pending = True
            try:
                await self.hold.wait()  # cancelled by stop()
            finally:
                self.pending = False
        if self.beats % 7 == 0:
            self.failures += 1
            raise RuntimeError("agent busy")

    async def on_event(self, event):
        if event["type"] == "heartbeat":
            if event["beat"] != self.expected_beat or event["max"] != LIMIT:
                self.faults.append(f"beat {event} while expecting {self.expected_beat}")
            self.expected_beat += 1
        elif event != {"type": "heartbeat_paused", "reason": "max_consecutive_reached", "count": LIMIT}:
            self.faults.append(f"pause {event}")
        self.events.append(event)


async def test_long_run_of_beats_pauses_and_restarts(monkeypatch, caplog):
    caplog.set_level(logging.CRITICAL, logger="tavrin.heartbeat")  # records would pile up otherwise
    monkeypatch.setattr(heartbeat, "datetime", Clock)
    host = Host()
    config = HeartbeatConfig(
        interval_seconds=0, max_consecutive=LIMIT, quiet_hours_start="22:00", quiet_hours_end="07:00", prompt="check in"
    )
    runner = heartbeat.HeartbeatRunner(config, host.on_beat, host.on_event)

    async def rounds(n: int) -> int:
        """n times: run until the runner pauses itself, then reset and resume it; now and then
        restart it, pass through quiet hours or swap the configuration."""
        beats = 0
        for i in range(n):
            if not runner.running:
                runner.start()
            for _ in range(100_000):  # bounded; each wake-up is one loop iteration or two
                if runner.paused or host.pending:
                    break
                await asyncio.sleep(0)
            if host.pending:
                # A callback is pending: stopping cancels it, and the loop ends without an error.
                runner.stop()
                await asyncio.sleep(0)
                runner.reset_consecutive()
                host.expected_beat = 1
                continue
            assert runner.paused and runner.consecutive_beats == LIMIT
            beats += LIMIT
            if i % 10 == 3:
                Clock.current = Clock.current.replace(hour=23)  # quiet: resumed, but nothing fires
                runner.reset_consecutive()
                runner.resume()
                for _ in range(50):
                    await asyncio.sleep(0)
                assert runner.consecutive_beats == 0 and not runner.paused
                Clock.current = Clock.current.replace(hour=12)
            elif i % 10 == 6:
                runner.update_config(
                    HeartbeatConfig(
                        interval_seconds=0,
                        max_consecutive=LIMIT,
                        quiet_hours_start="22:00",
                        quiet_hours_end="07:00",
                        prompt="" if i % 20 == 6 else "check in",
                    )
                )
            elif i % 10 == 9:
                runner.stop()
                await asyncio.sleep(0)
            runner.reset_consecutive()
            runner.resume()
            host.expected_beat = 1
            host.events.clear()
        return beats

    await rounds(100)  # warm-up
    runner.stop()
    await asyncio.sleep(0)
    gc.collect()
    objects, blocks = len(gc.get_objects()), sys.getallocatedblocks()
    beats = await rounds(3_000)
    runner.stop()
    await asyncio.sleep(0)
    host.events.clear()
    gc.collect()
    objects_after, blocks_after = len(gc.get_objects()), sys.getallocatedblocks()

    assert host.faults == []
    assert beats >= 10_000 and host.held > 10 and host.failures > 1_000
    assert not runner.running
    assert objects_after - objects < 200, (objects, objects_after)
    assert blocks_after - blocks < 2_000, (blocks, blocks_after)
