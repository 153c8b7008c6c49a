"""The agent's two ways of looking at the screen: the focused window's accessibility tree
(``read_screen``) and a picture of the whole display (``take_screenshot``).

Both only look, so neither needs the user's approval. Each answers ``{"text": ...}`` (the
screenshot adds ``image_png_base64``) or raises ``ToolError`` with one sentence the model can
act on: no display, no accessibility bus, an application that does not answer. Nothing here can
hang a turn: every D-Bus call, and each tool as a whole, is bounded by a timeout.
"""

from __future__ import annotations

import asyncio
import base64
import sys
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field
from typing import Any

from tavrin.core.tools import ToolError, accessibility, off_loop, screenshot


@dataclass(frozen=True)
class Tool:
    NAME: str
    DESCRIPTION: str
    PARAMETERS: dict
    run: Callable[..., Awaitable[dict]] = field(repr=False)
    SIDE_EFFECTS: bool = False


READ_TIMEOUT = 15.0  # the whole read, on top of the per-call bounds inside it
SHOT_TIMEOUT = 10.0
MAX_ELEMENTS = (10, 500)


async def _read_screen(arguments: dict, context: Any = None) -> dict:
    limits = accessibility.Limits()
    wanted = (arguments or {}).get("max_elements")
    if wanted is not None:
        low, high = MAX_ELEMENTS
        if isinstance(wanted, bool) or not isinstance(wanted, int) or not low <= wanted <= high:
            raise ToolError(f"max_elements must be a whole number from {low} to {high}.")
        limits = accessibility.Limits(max_nodes=wanted)
    if sys.platform in ("win32", "darwin"):
        raise ToolError("Reading the accessibility tree works on Linux desktops (AT-SPI) only.")
    try:
        import jeepney  # noqa: F401
    except ImportError:
        raise ToolError("Reading the screen needs the jeepney package (pip install 'tavrin[llm]').") from None
    try:
        async with asyncio.timeout(READ_TIMEOUT):
            snap = await accessibility.snapshot(limits)
    except accessibility.Unavailable as exc:
        raise ToolError(str(exc)) from None
    except TimeoutError:
        raise ToolError(f"The accessibility bus did not answer within {READ_TIMEOUT:g} s.") from None
    return {"text": accessibility.render(snap, limits)}


async def _take_screenshot(arguments: dict, context: Any = None) -> dict:
    try:
        async with asyncio.timeout(SHOT_TIMEOUT):
            # In a thread of its own: a display that hangs never holds the store's and the server's pool.
            png, (w, h), (sw, sh) = await off_loop(
                screenshot.capture, what="taking a screenshot", timeout=SHOT_TIMEOUT + 1
            )
    except screenshot.Unavailable as exc:
        raise ToolError(str(exc)) from None
    except TimeoutError:
        raise ToolError(f"The display did not answer within {SHOT_TIMEOUT:g} s.") from None
    text = f"Screenshot of the whole screen, {w}x{h} pixels"
    if (w, h) != (sw, sh):
        text += f", scaled down from {sw}x{sh} (multiply the image's coordinates by {sw / w:.3g} for the screen's)"
    return {"text": text + ".", "image_png_base64": base64.b64encode(png).decode("ascii")}


read_screen = Tool(
    NAME="read_screen",
    DESCRIPTION=(
        "Read the focused window's accessibility tree: one element a line, indented by nesting, with "
        "its role, name, text or value, notable states and screen position (@x,y widthxheight). Large "
        "windows are cut short with a note of how many elements were left out. Cheaper and more "
        "precise than a screenshot for finding buttons, fields and their contents."
    ),
    PARAMETERS={
        "type": "object",
        "properties": {
            "max_elements": {
                "type": "integer",
                "minimum": MAX_ELEMENTS[0],
                "maximum": MAX_ELEMENTS[1],
                "description": "How many elements to show at most (200 unless given).",
            },
        },
        "additionalProperties": False,
    },
    run=_read_screen,
)

take_screenshot = Tool(
    NAME="take_screenshot",
    DESCRIPTION=(
        "Take a screenshot of the whole screen as a PNG image, scaled down so its long side is at most "
        f"{screenshot.MAX_SIDE} pixels. Use it when the accessibility tree does not show what you need."
    ),
    PARAMETERS={"type": "object", "properties": {}, "additionalProperties": False},
    run=_take_screenshot,
)

TOOLS = (read_screen, take_screenshot)
