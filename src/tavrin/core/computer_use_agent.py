"""The Computer Use agent: works from screenshots of the user's screen.

This build has no screen-control backend and no model behind it, so ``DemoComputerUseAgent``
plays a short scripted task against a simulated desktop: it takes a screenshot (a real PNG
drawn here, pixel by pixel), clicks, takes another screenshot that shows the click, and
reports. It honours ``stop()`` at every step, like the real agent must.
"""

from __future__ import annotations

import asyncio
import base64
from collections.abc import AsyncGenerator, AsyncIterator, Awaitable, Callable
from dataclasses import dataclass, field
from typing import Any

from tavrin.core.history import outcome_of_exit
from tavrin.core.png import encode_png
from tavrin.core.store import STOPPED_NOTE

ERROR_PREFIX = "Computer Use error: "  # the page ends a Computer Use turn on an error that starts so


@dataclass
class ComputerUseEvent:
    """One step of a Computer Use task: ``type`` and its ``data``."""

    type: str
    data: dict[str, Any] = field(default_factory=dict)

    def to_dict(self) -> dict:
        return {"type": self.type, "data": dict(self.data)}


class _Canvas:
    def __init__(self, width: int, height: int, colour: tuple[int, int, int]):
        self.width, self.height = width, height
        self.px = bytearray(bytes(colour) * (width * height))

    def rect(self, x0: int, y0: int, x1: int, y1: int, colour: tuple[int, int, int]) -> None:
        x0, x1 = max(0, x0), min(self.width, x1)
        row = bytes(colour) * max(0, x1 - x0)
        for y in range(max(0, y0), min(self.height, y1)):
            start = (y * self.width + x0) * 3
            self.px[start : start + len(row)] = row

    def png(self) -> bytes:
        return encode_png(self.width, self.height, self.px)


def render_desktop(width: int = 320, height: int = 200, click: tuple[int, int] | None = None) -> bytes:
    """A simulated desktop: wallpaper, a task bar, a window with a button; a marker at ``click``."""
    c = _Canvas(width, height, (38, 70, 110))
    for y in range(height):  # vertical wallpaper gradient
        shade = 60 + (y * 60) // height
        c.rect(0, y, width, y + 1, (30, 40 + shade // 2, shade + 40))
    c.rect(0, height - 16, width, height, (24, 26, 32))  # task bar
    for i in range(4):
        c.rect(6 + i * 22, height - 13, 22 + i * 22, height - 3, (90 + 30 * i, 140, 200 - 30 * i))
    c.rect(40, 24, 280, 160, (236, 238, 242))  # window
    c.rect(40, 24, 280, 40, (52, 101, 164))  # title bar
    for i, col in enumerate([(220, 80, 70), (230, 180, 60), (90, 180, 90)]):
        c.rect(254 - i * 12, 29, 262 - i * 12, 37, col)
    for line in range(5):  # text lines
        c.rect(56, 52 + line * 14, 56 + 170 - line * 23, 58 + line * 14, (150, 155, 165))
    c.rect(190, 128, 266, 148, (52, 101, 164))  # button
    c.rect(200, 136, 256, 140, (236, 238, 242))
    if click is not None:
        x, y = click
        c.rect(x - 9, y - 1, x + 10, y + 2, (230, 40, 40))
        c.rect(x - 1, y - 9, x + 2, y + 10, (230, 40, 40))
    return c.png()


# -- the agent -----------------------------------------------------------------------------


class ComputerUseBase:
    """What both Computer Use agents share: the contract the gateway relies on (``run_task``,
    ``stop()``, ``is_running``) and each task's frame: refusing a task while another runs, its
    outcome stored before the client hears of its end ("done", "cancelled", or an error that
    starts with ``ERROR_PREFIX``), an exit any other way stored as it happened, and the recording
    of each event once it is taken.

    A subclass writes its own loop only: ``_task_steps(user_text, log)``, the task's events.
    ``journal(user_text)``, when given, is awaited at the start of each task and returns the
    ``TurnLog`` (see ``tavrin.core.history``) that records the task as the client sees it, or None.
    """

    def __init__(self, journal: Callable[[str], Awaitable[Any]] | None = None):
        self.is_running = False
        self._stop = asyncio.Event()
        self._journal = journal

    def stop(self) -> None:
        if self.is_running:
            self._stop.set()

    def run_task(self, user_text: str) -> AsyncIterator[ComputerUseEvent]:
        return self._task(user_text)

    def _task_steps(self, user_text: str, log) -> AsyncGenerator[ComputerUseEvent, None]:
        raise NotImplementedError

    async def _task(self, user_text: str) -> AsyncIterator[ComputerUseEvent]:
        log = await self._journal(user_text) if self._journal is not None else None
        if self.is_running:
            # Refused, and said so with an end of turn: the error alone would leave the client
            # waiting for a task that never starts.
            busy = "Computer Use is busy with another task"
            if log is not None:
                await log.event({"type": "error", "message": busy})
                await log.end("cancelled", "Not started: " + busy)
            yield ComputerUseEvent("error", {"message": busy})
            yield ComputerUseEvent("cancelled", {"message": "Not started: " + busy})
            return
        self.is_running = True
        self._stop.clear()
        steps = None
        try:
            # Made inside the frame: a failure in making the task's steps ends this task, not every later one.
            steps = self._task_steps(user_text, log)
            async for event in steps:
                if log is not None:
                    # The outcome is stored before the client hears of it.
                    if event.type == "done":
                        await log.end("done", "", iterations=event.data.get("iterations", 0))
                    elif event.type == "cancelled":
                        await log.end("stopped", _stop_note(event.data.get("message")))
                    elif event.type == "error" and str(event.data.get("message", "")).startswith(ERROR_PREFIX):
                        await log.event(client_view(event))
                        await log.end("error", str(event.data["message"]))
                try:
                    yield event
                finally:
                    # Recorded once taken, as the standard agents do (StandardAgent._recorded): also
                    # when a stop closes the task at this yield, after the gateway took the event.
                    if log is not None:
                        log.record(client_view(event))
        except BaseException as exc:
            if log is not None:
                await log.end(*outcome_of_exit(exc, self._stop.is_set()))
            raise
        finally:
            try:
                if steps is not None:
                    await steps.aclose()
            finally:
                self.is_running = False


class DemoComputerUseAgent(ComputerUseBase):
    """The application's single Computer Use agent (scripted)."""

    def __init__(self, step_delay: float = 0.35, journal: Callable[[str], Awaitable[Any]] | None = None):
        super().__init__(journal)
        self.step_delay = step_delay
        self._seq = 0

    def _task_steps(self, user_text: str, log) -> AsyncGenerator[ComputerUseEvent, None]:
        return self._steps(user_text)

    async def _steps(self, user_text: str) -> AsyncGenerator[ComputerUseEvent, None]:
        iterations = 0
        try:
            yield ComputerUseEvent("thinking", {"message": "Taking a screenshot to see the screen."})
            await self._pause()

            shot = self._tool_id()
            yield ComputerUseEvent("tool_call", {"tool": "computer", "id": shot, "input": {"action": "screenshot"}})
            await self._pause()
            yield ComputerUseEvent("tool_result", {"tool": "computer", "id": shot, "result": _image(render_desktop())})
            iterations += 1

            if "/error" in user_text.lower():
                yield ComputerUseEvent("error", {"message": "The simulated screen stopped responding"})
                await self._pause()

            yield ComputerUseEvent("thinking", {"message": "I can see a window with a blue button; clicking it."})
            await self._pause()
            target = (228, 138)
            click = self._tool_id()
            yield ComputerUseEvent(
                "tool_call",
                {"tool": "computer", "id": click, "input": {"action": "left_click", "coordinate": list(target)}},
            )
            await self._pause()
            yield ComputerUseEvent(
                "tool_result",
                {"tool": "computer", "id": click, "result": {"type": "text", "text": f"Clicked at {target}"}},
            )
            iterations += 1

            shot2 = self._tool_id()
            yield ComputerUseEvent("tool_call", {"tool": "computer", "id": shot2, "input": {"action": "screenshot"}})
            await self._pause()
            yield ComputerUseEvent(
                "tool_result", {"tool": "computer", "id": shot2, "result": _image(render_desktop(click=target))}
            )
            iterations += 1

            yield ComputerUseEvent(
                "text",
                {
                    "content": f"Done with “{user_text.strip()[:120]}”: I looked at the (simulated) screen and clicked "
                    "the window's button; the second screenshot shows where."
                },
            )
            yield ComputerUseEvent("done", {"iterations": iterations})
        except _Stopped:
            yield ComputerUseEvent("cancelled", {"message": "Task cancelled"})

    def _tool_id(self) -> str:
        self._seq += 1
        return f"cu_{self._seq:04d}"

    async def _pause(self) -> None:
        if self._stop.is_set():
            raise _Stopped
        try:
            await asyncio.wait_for(self._stop.wait(), self.step_delay)
        except TimeoutError:
            return
        raise _Stopped


def _stop_note(message: Any) -> str:
    """The stored note of a stopped task: the page's one wording for a stop, or what else it said."""
    return STOPPED_NOTE if message in (None, "", "Task cancelled") else str(message)


class _Stopped(Exception):
    pass


def client_view(event: ComputerUseEvent) -> dict:
    """The event as the gateway sends it to the client (without the session id)."""
    data = event.data
    if event.type == "tool_call":
        tool_input = data.get("input", {})
        tool = data.get("tool", "")
        if tool == "computer":
            tool = "computer." + str(tool_input.get("action", "") if isinstance(tool_input, dict) else "")
        return {"type": "tool_call", "id": data.get("id", ""), "tool": tool, "arguments": tool_input}
    if event.type == "tool_result":
        view = {"type": "tool_result", "id": data.get("id", ""), "tool": data.get("tool", "")}
        result = data.get("result", {})
        if isinstance(result, dict) and result.get("type") == "image":
            view.update(screenshot=True, image_base64=result.get("base64", ""), result="Screenshot captured")
        elif isinstance(result, dict) and result.get("type") == "error":
            view.update(result=result.get("error", "Unknown error"), error=True)
        elif isinstance(result, dict):
            view["result"] = result.get("text", str(result))
        else:
            view["result"] = str(result)
        return view
    key = {"text": "content", "thinking": "message", "done": "iterations"}.get(event.type, "message")
    return {"type": event.type, key: data.get(key, "")}


def _image(png: bytes) -> dict:
    return {"type": "image", "media_type": "image/png", "base64": base64.b64encode(png).decode("ascii")}
