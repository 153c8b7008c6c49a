"""The texts that cross the wire, held in one table: the page recognises the gateway's fixed texts
by the values in js/protocol.js, so each of them is checked here against what the gateway really
sends. A text changed on one side fails here instead of silently breaking the page."""

from __future__ import annotations

import asyncio
import json
import re
from pathlib import Path


from fakes import FakeAgent, FakeComputerUseAgent, FakeCUEvent, FakeSession, FakeWebSocket

PROTOCOL_JS = Path(__file__).resolve().parents[1] / "src" / "tavrin" / "gateway" / "static" / "js" / "protocol.js"


def page_table(path: Path = PROTOCOL_JS) -> dict:
    """protocol.js's constants: MAIN, CU_CHIP, each TEXT entry, and the sets of words."""
    source = path.read_text()
    table = {
        name: json.loads(value) for name, value in re.findall(r'export const (\w+) = ("(?:[^"\\]|\\.)*");', source)
    }
    body = re.search(r"export const TEXT = \{(.*?)\n\};", source, re.S).group(1)
    table["TEXT"] = {k: json.loads(v) for k, v in re.findall(r'^\s*(\w+): ("(?:[^"\\]|\\.)*"),', body, re.M)}
    for name, items in re.findall(r"export const (\w+) = new Set\((\[.*?\])\);", source):
        table[name] = set(json.loads(items))
    return table


PAGE = page_table()


async def gateway_error(ws_module, message: dict) -> str:
    """The "message" of the error the real endpoint answers ``message`` with."""
    sock = FakeWebSocket()
    endpoint = asyncio.create_task(ws_module.create_ws_router().routes[0].endpoint(ws=sock))
    sock.feed(message, {"type": "ping"})
    sock.hang_up()
    await endpoint
    return next(e["message"] for e in sock.events if e["type"] == "error")


async def computer_use_turn(ws_module, **agent_kw) -> list[dict]:
    sock = FakeWebSocket()
    agent = FakeComputerUseAgent([FakeCUEvent("text", {"content": "looking"})], **agent_kw)
    await ws_module._handle_computer_use_chat(sock, agent, "open the browser", session_id="s1")
    return sock.events


async def test_a_server_without_session_streams_is_told_by_its_answer(host, ws_module, monkeypatch):
    monkeypatch.setattr(ws_module, "_SESSION_STREAMS", False)
    assert await gateway_error(ws_module, {"type": "attach", "session_id": "s1"}) == PAGE["TEXT"]["attachUnknown"]


async def test_an_attach_to_a_gone_session(host, ws_module, monkeypatch):
    monkeypatch.setattr(ws_module, "_SESSION_STREAMS", True)
    try:
        message = await gateway_error(ws_module, {"type": "attach", "session_id": "gone"})
    finally:
        ws_module._session_streams.clear()
    assert message == PAGE["TEXT"]["sessionNotFound"]


async def test_a_heartbeat_the_host_did_not_make(host, ws_module):
    sock = FakeWebSocket()
    await ws_module._handle_heartbeat_control(sock, {"type": "heartbeat_control", "action": "status"})
    assert sock.events == [{"type": "error", "message": PAGE["TEXT"]["heartbeatUnavailable"]}]


async def test_a_computer_use_turn_its_banner_and_its_own_failure(host, ws_module):
    events = await computer_use_turn(ws_module)
    assert events[0]["type"] == "mode" and events[0]["message"] == PAGE["CU_CHIP"]
    failed = await computer_use_turn(ws_module, raise_after=0)
    assert failed[-1]["type"] == "error" and failed[-1]["message"].startswith(PAGE["TEXT"]["cuErrorPrefix"] + ": ")


async def test_the_words_of_a_stop_and_a_cancel(host, ws_module):
    from tavrin.core.store import CANCELLED_NOTE, STOPPED_NOTE

    host.registry.add(FakeSession("s1", FakeAgent()))
    sock = FakeWebSocket()
    await ws_module._handle_stop_task(sock, {"type": "stop_task", "session_id": "s1"})
    assert sock.events[0]["type"] == "task_stopped" and sock.events[0]["message"] in PAGE["STOP_TEXTS"]
    sock = FakeWebSocket()
    agent = FakeComputerUseAgent([FakeCUEvent("cancelled", {})])
    await ws_module._handle_computer_use_chat(sock, agent, "open the browser", session_id="s1")
    cancelled = sock.events[-1]
    assert cancelled["type"] == "cancelled"
    assert cancelled["message"] in PAGE["STOP_TEXTS"] and cancelled["message"] in PAGE["CANCEL_TEXTS"]
    assert STOPPED_NOTE in PAGE["STOP_TEXTS"] and CANCELLED_NOTE in PAGE["CANCEL_TEXTS"]  # the store's words


def test_the_main_session_and_every_text_has_its_check(ws_module):
    assert PAGE["MAIN"] == ws_module._DEFAULT_SESSION_ID
    checked = {"attachUnknown", "sessionNotFound", "heartbeatUnavailable", "cuErrorPrefix"}
    assert set(PAGE["TEXT"]) == checked, "a text the page recognises needs its check against the gateway here"


def test_the_table_is_read_from_the_page(tmp_path):
    """The reader of protocol.js finds what it holds, so a text changed there is seen here."""
    source = PROTOCOL_JS.read_text()
    changed = tmp_path / "protocol.js"
    changed.write_text(source.replace(PAGE["TEXT"]["sessionNotFound"], "No such session"))
    assert page_table(changed)["TEXT"]["sessionNotFound"] == "No such session"
    assert PAGE["STOP_TEXTS"] and PAGE["CANCEL_TEXTS"] and PAGE["CU_CHIP"]
