"""The fake of Anthropic's Messages API refuses what the real one refuses: the tests that use it
prove nothing about a request the real service would turn away."""

from __future__ import annotations

import base64
import copy

import pytest

from fake_model import check_anthropic, check_anthropic_headers
from tavrin.core.png import encode_png

PNG = base64.b64encode(encode_png(2, 2, bytes(12))).decode()
HEADERS = {"x-api-key": "sk-ant-test", "anthropic-version": "2023-06-01", "anthropic-beta": "computer-use-2025-01-24"}


def body() -> dict:
    """A Computer Use request as LiteLLM sends it: the tool, a call, its screenshot, a note after."""
    return {
        "model": "claude-sonnet-4-5",
        "max_tokens": 4096,
        "system": "You drive the screen.",
        "tools": [
            {"type": "computer_20250124", "name": "computer", "display_width_px": 1280, "display_height_px": 720}
        ],
        "messages": [
            {"role": "user", "content": "Click OK"},
            {
                "role": "assistant",
                "content": [
                    {"type": "text", "text": "Looking."},
                    {"type": "tool_use", "id": "toolu_1", "name": "computer", "input": {"action": "screenshot"}},
                ],
            },
            {
                "role": "user",
                "content": [
                    {
                        "type": "tool_result",
                        "tool_use_id": "toolu_1",
                        "content": [
                            {"type": "text", "text": "Done."},
                            {"type": "image", "source": {"type": "base64", "media_type": "image/png", "data": PNG}},
                        ],
                    },
                    {"type": "text", "text": "(note)"},
                ],
            },
        ],
    }


def refused(change, headers=HEADERS) -> str | None:
    b = body()
    change(b)
    return check_anthropic(b, headers)


def test_a_request_as_litellm_sends_it_passes():
    assert check_anthropic(body(), HEADERS) is None
    assert check_anthropic_headers(HEADERS) is None
    assert check_anthropic_headers({"anthropic-version": "2023-06-01"})[0] == 401


@pytest.mark.parametrize(
    "change, words",
    [
        (lambda b: b["tools"][0].update(name="screen"), "Input should be 'computer'"),
        (lambda b: b["tools"][0].pop("display_height_px"), "display_height_px: Field required"),
        (lambda b: b["tools"][0].update(display_width_px=0), "greater than or equal to 1"),
        (lambda b: b["tools"][0].update(enable_zoom=True), "Extra inputs are not permitted"),  # the newer tool's
        (lambda b: b["tools"][0].update(type="computer_20251124"), "does not match"),  # its beta header is missing
        (lambda b: b["tools"].append({"name": "computer.click", "input_schema": {"type": "object"}}), "pattern"),
        (lambda b: b["tools"].append({"name": "computer", "input_schema": {"type": "object"}}), "unique"),
        (lambda b: b.pop("tools"), "must define tools"),
        (lambda b: b.pop("max_tokens"), "max_tokens"),
        (lambda b: b["messages"].insert(0, {"role": "system", "content": "x"}), "first message"),
        (lambda b: b["messages"][2]["content"].reverse(), "without `tool_result` blocks immediately after"),
        (
            lambda b: b["messages"][2]["content"][0]["content"][1]["source"].update(media_type="image/jpeg"),
            "does not appear to be",
        ),
        (lambda b: b["messages"][2]["content"][0]["content"][1]["source"].update(data="not base64!"), "base64"),
        (lambda b: b["messages"][2]["content"][0].update(tool_use_id="toolu_2"), "unexpected `tool_use_id`"),
        (lambda b: b["messages"].pop(), "without `tool_result`"),
        (lambda b: b["messages"][1]["content"][1].update(input="{}"), "valid dictionary"),
    ],
    ids=[
        "tool-name",
        "no-height",
        "zero-width",
        "extra-field",
        "no-beta",
        "dotted-name",
        "twice",
        "no-tools",
        "no-max-tokens",
        "system-role",
        "text-before-result",
        "wrong-media",
        "bad-base64",
        "stray-result",
        "unanswered",
        "string-input",
    ],
)
def test_what_the_real_api_refuses_the_fake_refuses(change, words):
    why = refused(change)
    assert why is not None and words in why, why


def test_the_newer_tool_takes_its_own_beta_and_its_zoom():
    b = copy.deepcopy(body())
    b["tools"][0].update(type="computer_20251124", enable_zoom=True)
    assert check_anthropic(b, {**HEADERS, "anthropic-beta": "computer-use-2025-11-24"}) is None
