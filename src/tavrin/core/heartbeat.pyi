"""Heartbeat system — periodically wakes Tavrin so it can work autonomously 24/7."""

import asyncio as asyncio
import logging
from datetime import datetime as datetime
from collections.abc import Awaitable, Callable
from typing import Any

from tavrin.config import HeartbeatConfig as HeartbeatConfig

logger: logging.Logger
DEFAULT_HEARTBEAT_PROMPT: str

class HeartbeatRunner:
    """Background async task that sends periodic heartbeats to the agent."""

    _config: HeartbeatConfig
    _on_beat: Callable[[str], Awaitable[Any]]
    _on_event: Callable[[dict[str, Any]], Awaitable[None]] | None
    _task: asyncio.Task[None] | None
    _consecutive_beats: int
    _paused: bool
    _stop_event: asyncio.Event

    def __init__(
        self,
        config: HeartbeatConfig,
        on_beat: Callable[[str], Awaitable[Any]],
        on_event: Callable[[dict[str, Any]], Awaitable[None]] | None = None,
    ) -> None: ...
    @property
    def running(self) -> bool: ...
    @property
    def paused(self) -> bool: ...
    @property
    def consecutive_beats(self) -> int: ...
    def reset_consecutive(self) -> None:
        """Call this whenever the user sends a real message."""
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def pause(self) -> None: ...
    def resume(self) -> None: ...
    def update_config(self, config: HeartbeatConfig) -> None: ...
    def status(self) -> dict[str, Any]: ...
    def _in_quiet_hours(self) -> bool: ...
    async def _loop(self) -> None: ...
