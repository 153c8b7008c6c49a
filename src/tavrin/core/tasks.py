"""Tasks that start at once."""

from __future__ import annotations

import asyncio


def started(awaitable) -> asyncio.Future:
    """A task of ``awaitable`` that has already run up to its first wait, as awaiting it would
    have. A task made the usual way first waits a pass of the loop, behind whatever else is ready:
    a turn's first write would then reach its thread only after the turn's request to the model is
    built, and a turn's request would wait two passes more."""
    if not asyncio.iscoroutine(awaitable):
        return asyncio.ensure_future(awaitable)
    return asyncio.eager_task_factory(asyncio.get_running_loop(), awaitable)
