"""The heartbeat controller: the application's handle on the heartbeat runner.

The runner (native module ``tavrin.core.heartbeat``) keeps time and decides when a beat
fires; the controller gives the user interface what it asks for (start with an interval,
stop, pause, resume, state) and connects the runner to the rest of the host: each beat is
delivered to an agent by ``deliver(prompt)`` and each runner event reaches the clients
through ``broadcast(event)``.

Every window shows the runner's real state, whichever window acted: after each change (an
action, a beat, the runner pausing itself, a user's message starting the count again) the
controller broadcasts a "heartbeat_state" event, the same record as ``status()`` gives.
"""

from __future__ import annotations

import asyncio
import logging
import math
from datetime import datetime
from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, Any

from tavrin.config import HeartbeatConfig

if TYPE_CHECKING:
    from tavrin.core.heartbeat import HeartbeatRunner

logger = logging.getLogger("tavrin.heartbeat.controller")

# Below this, beats would follow each other faster than an agent turn can run.
MIN_INTERVAL_SECONDS = 5.0


class HeartbeatController:
    def __init__(
        self,
        config: HeartbeatConfig,
        deliver: Callable[[str], Awaitable[Any]],
        broadcast: Callable[[dict], Awaitable[Any]] | None = None,
        *,
        runner_factory: Callable[..., Any] | None = None,
        min_interval: float = MIN_INTERVAL_SECONDS,
    ):
        self.config = config
        self._deliver = deliver
        self._broadcast = broadcast
        self._runner_factory = runner_factory
        self.min_interval = min_interval
        self._runner: HeartbeatRunner | None = None
        self._telling: set[asyncio.Task] = set()

    @property
    def runner(self) -> HeartbeatRunner:
        """The runner, made on first use so this module loads without the native one."""
        if self._runner is None:
            factory = self._runner_factory
            if factory is None:
                from tavrin.core.heartbeat import HeartbeatRunner

                factory = HeartbeatRunner
            self._runner = factory(self.config, self._on_beat, self._on_event)
        return self._runner

    # -- what the gateway calls ---------------------------------------------------------

    @property
    def is_running(self) -> bool:
        return bool(self._runner is not None and self._runner.running)

    @property
    def is_paused(self) -> bool:
        return bool(self._runner is not None and self._runner.paused)

    @property
    def interval(self) -> float:
        return self.config.interval_seconds

    def start(self, interval: Any = None) -> None:
        """Run the heartbeat every ``interval`` seconds (a restart when the interval changes).

        Starting is the user's explicit wish, so a paused heartbeat resumes and the count
        of beats without interaction starts again.
        """
        new_interval = self._sanitise(interval)
        runner = self.runner
        changed = new_interval != self.config.interval_seconds
        self.config.interval_seconds = new_interval
        self.config.enabled = True
        runner.reset_consecutive()
        runner.resume()
        if runner.running and changed:
            runner.stop()
        runner.start()
        self._tell()

    def stop(self) -> None:
        self.config.enabled = False
        if self._runner is not None:
            self._runner.stop()
        self._tell()

    def pause(self) -> None:
        self.runner.pause()
        self._tell()

    def resume(self) -> None:
        self.runner.resume()
        self._tell()

    def reset_consecutive(self) -> None:
        """A person wrote: the count of beats without them starts again (told only when it moved)."""
        if self._runner is not None:
            counted = self._runner.status().get("consecutive_beats", 0)
            self._runner.reset_consecutive()
            if counted:
                self._tell()

    def status(self) -> dict:
        """The runner's state and settings, the same keys before its first start as after it,
        and ``quiet_until``: the end of the quiet hours ("HH:MM") while they last, else None."""
        if self._runner is None:
            status = {
                "enabled": self.config.enabled,
                "running": False,
                "paused": False,
                "interval_seconds": self.config.interval_seconds,
                "consecutive_beats": 0,
                "max_consecutive": self.config.max_consecutive,
                "quiet_hours_start": self.config.quiet_hours_start,
                "quiet_hours_end": self.config.quiet_hours_end,
                "blocked_ops": list(self.config.blocked_ops),
            }
        else:
            status = dict(self._runner.status())
        status["quiet_until"] = quiet_until(self.config)
        return status

    # -- the runner's callbacks -----------------------------------------------------------

    async def _on_beat(self, prompt: str) -> None:
        await self._deliver(prompt)

    async def _on_event(self, event: dict) -> None:
        if self._broadcast is not None:
            await self._broadcast(event)
            await self._broadcast(self.state_event())

    def state_event(self) -> dict:
        return {"type": "heartbeat_state", **self.status()}

    @staticmethod
    async def _send(broadcast, event: dict) -> None:
        await broadcast(event)

    def _tell(self) -> None:
        """Broadcast the state as it is now, from the synchronous operations: in a task of its
        own, sent after the reply of the window that acted (nothing to tell without a loop)."""
        if self._broadcast is None:
            return
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:
            return
        task = loop.create_task(self._send(self._broadcast, self.state_event()), name="heartbeat-state")
        self._telling.add(task)
        task.add_done_callback(self._told)

    def _told(self, task: asyncio.Task) -> None:
        self._telling.discard(task)
        if not task.cancelled() and task.exception() is not None:
            logger.debug("Heartbeat state not broadcast", exc_info=task.exception())

    def _sanitise(self, interval: Any) -> float:
        """A usable interval from what the client sent.

        The value arrives from the network unchecked. A text such as "600" is read as a
        number; anything that is not a finite number keeps the configured interval; and a
        tiny or negative interval is raised to the minimum, since the runner would
        otherwise spin without sleeping.
        """
        current = self.config.interval_seconds
        try:
            value = float(interval) if interval is not None and not isinstance(interval, bool) else float(current)
        except (TypeError, ValueError):
            logger.warning("Heartbeat interval %r is not a number; keeping %ss", interval, current)
            value = float(current)
        if not math.isfinite(value):
            logger.warning("Heartbeat interval %r is not finite; keeping %ss", interval, current)
            value = float(current)
        if value < self.min_interval:
            logger.warning("Heartbeat interval %ss is below the minimum; using %ss", value, self.min_interval)
            value = float(self.min_interval)
        return int(value) if value.is_integer() else value


def quiet_until(config: HeartbeatConfig, now: datetime | None = None) -> str | None:
    """When the quiet hours end ("HH:MM") if local time ``now`` lies in them, else None.

    The window is read as the runner reads it: "HH:MM" texts compared as such, a start later
    than the end wrapping past midnight, and no window unless both ends are set.
    """
    start, end = config.quiet_hours_start, config.quiet_hours_end
    if not start or not end:
        return None
    clock = (now or datetime.now()).strftime("%H:%M")
    inside = start <= clock < end if start <= end else (clock >= start or clock < end)
    return end if inside else None
