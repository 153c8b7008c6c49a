"""Client-supplied values in the gateway's log lines: one record stays one line, and stays short."""

from __future__ import annotations

import re
import types

import pytest

from fakes import FakeAgent, FakeEvent, FakeWebSocket
from tavrin import _runtime_probe as probe
from tavrin.logs import log_value

CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069\u200e\u200f\u061c]")
BIDI = [*range(0x202A, 0x202F), *range(0x2066, 0x206A), 0x200E, 0x200F, 0x061C]
FORGED = "s1\n2026-12-08 09:00:00 CRITICAL tavrin.ws: disk wiped\r\x1b[2J\u2028\ud800"


@pytest.fixture
def watchdog(ws_module, monkeypatch):
    """The real watchdog, for the test to run itself; a turn starts one that does nothing."""
    real = ws_module._watchdog

    async def idle(agent, session_id):
        return None

    monkeypatch.setattr(ws_module, "_watchdog", idle)
    return real


class SilentAgent:
    is_processing = True
    seconds_since_activity = 50.0
    stall_warn_seconds = 10
    stall_cancel_seconds = 40

    def cancel(self):
        self.is_processing = False


@pytest.mark.parametrize(
    "session_id, text",
    [(FORGED, "hi\nCRITICAL forged"), ("x" * 1_000_000, "y" * 500)],
    ids=["control characters", "a megabyte"],
)
async def test_turn_error_and_watchdog_lines_stay_one_short_line(
    ws_module, host, watchdog, gateway_log, session_id, text
):
    agent = FakeAgent([FakeEvent("thinking", message="m")], raise_after=1)
    await ws_module._handle_standard_chat(FakeWebSocket(), agent, text, session_id=session_id)
    await watchdog(SilentAgent(), session_id, poll_interval=0)
    messages = [r.getMessage() for r in gateway_log.records]
    assert [m.split(" [")[0].split(" for ")[0] for m in messages] == [
        "Standard agent handling",
        "Standard agent error",
        "[watchdog] Agent stalled",
    ]
    for message in messages:
        assert not CONTROL.search(message) and len(message) < 600
        assert log_value(session_id) in message
    if len(session_id) > 200:
        assert "x" * 200 + "…" in messages[0]
    else:
        assert "s1\\n2026-12-08 09:00:00 CRITICAL tavrin.ws: disk wiped\\r\\x1b[2J\\u2028\ud800" in messages[0]
        assert messages[0].endswith(": hi\\nCRITICAL forged")


@pytest.mark.parametrize(
    "value, logged",
    [
        ("session_main", "session_main"),
        ("Tab 💬 ü", "Tab 💬 ü"),
        (42, "42"),
        ("a\nb\tc\x00\x7f\x85\u2028\ud800", "a\\nb\\tc\\x00\\x7f\\x85\\u2028\ud800"),
        ("é" * 201, "é" * 200 + "…"),
        ("\n" * 300, "\\n" * 200 + "…"),
        ("invoice_\u202efdp.exe", "invoice_\\u202efdp.exe"),
        ("".join(map(chr, BIDI)), "".join(f"\\u{c:04x}" for c in BIDI)),
        ("\u202d\u202f\u2065\u206a\u200d\u061b", "\\u202d\u202f\u2065\u206a\u200d\u061b"),
    ],
    ids=[
        "plain",
        "emoji",
        "not a string",
        "controls",
        "cut",
        "cut before escaping",
        "override",
        "every bidi control",
        "bidi neighbours pass",
    ],
)
def test_log_value_python_and_native_alike(value, logged):
    """A control the Python or the native escaping lets through, or the two writing one differently."""
    assert log_value(value) == logged
    assert probe.log_value(value) == logged


async def test_resume_line_escapes_the_session_and_conversation(ws_module, host, gateway_log, monkeypatch):
    running = types.SimpleNamespace(done=lambda: False, cancel=lambda: True)
    ws_module._active_tasks[FORGED] = running
    state = host.state
    state["memory"] = types.SimpleNamespace()
    await ws_module._handle_resume_conversation(
        FakeWebSocket(), {"session_id": FORGED, "conversation_id": "c\n" + "z" * 300}
    )
    lines = [r.getMessage() for r in gateway_log.records if r.getMessage().startswith("Cancelled running task")]
    assert len(lines) == 1 and not CONTROL.search(lines[0])
    assert lines[0].endswith("before resuming conversation c\\n" + "z" * 198 + "…")


def test_the_server_log_format_keeps_each_message_on_one_line():
    import logging

    from tavrin.logs import SafeFormatter

    try:
        raise ValueError("boom \u202edetacilpmoc")
    except ValueError as exc:
        record = logging.LogRecord(
            "tavrin.ws",
            logging.ERROR,
            __file__,
            1,
            "Session %s\nCRITICAL forged",
            ("a\rb\u2066",),
            (type(exc), exc, exc.__traceback__),
        )
    lines = SafeFormatter("%(levelname)s %(message)s").format(record).splitlines()
    assert lines[0] == "ERROR Session a\\rb\\u2066\\nCRITICAL forged"
    assert lines[1] == "Traceback (most recent call last):" and lines[-1] == "ValueError: boom \\u202edetacilpmoc"
