"""Computer Use turns of many events: each event is built afresh however often its kind comes back.

The translation builds every event of a kind from the same turn-wide start; these scenarios repeat each
kind with other values, spoil every dict once it is sent, and run turns of two sessions side by side.
"""

from __future__ import annotations

import asyncio
import copy

import pytest

from fakes import FakeCUEvent


def kinds(tag: str) -> list[FakeCUEvent]:
    """One agent event of every kind the client is told about, its values marked with `tag`."""
    return [
        FakeCUEvent("tool_call", {"tool": "computer", "input": {"action": f"click-{tag}"}, "id": f"c-{tag}"}),
        FakeCUEvent("tool_call", {"tool": f"bash-{tag}"}),
        FakeCUEvent("tool_result", {"id": f"r-{tag}", "tool": "computer", "result": {"type": "image", "base64": tag}}),
        FakeCUEvent("tool_result", {"id": f"e-{tag}", "result": {"type": "error", "error": f"no-{tag}"}}),
        FakeCUEvent("tool_result", {"tool": f"t-{tag}", "result": {"text": f"out-{tag}"}}),
        FakeCUEvent("tool_result", {"result": [tag]}),
        FakeCUEvent("text", {"content": f"said-{tag}"}),
        FakeCUEvent("thinking", {"message": f"thought-{tag}"}),
        FakeCUEvent("done", {"iterations": len(tag)}),
        FakeCUEvent("error", {"message": f"failed-{tag}"}),
        FakeCUEvent("cancelled", {}),
    ]


class SpoilingSocket:
    """Records each event as it was sent, then changes every value of the dict it was handed."""

    def __init__(self):
        self.sent, self.arguments = [], []

    async def send_json(self, data):
        self.sent.append(list(copy.deepcopy(data).items()))
        self.arguments.append(data.get("arguments"))
        for key in data:
            data[key] = "spoiled"
        data["extra"] = True


class Agent:
    """Yields its events, letting the event loop run another turn between two of them."""

    def __init__(self, events):
        self.events = events

    async def run_task(self, user_text):
        for ev in self.events:
            await asyncio.sleep(0)
            yield ev


async def turn(ws_module, events, session_id):
    sock = SpoilingSocket()
    await ws_module._handle_computer_use_chat(sock, Agent(events), "go", session_id=session_id)
    return sock.sent[1:], sock.arguments[1:]  # after the mode announcement


async def test_every_event_is_what_it_would_be_alone(host, ws_module):
    """Catches an event that carries a value of an earlier one of its kind, or of another session's turn."""
    events = kinds("a") + kinds("bb") + kinds("a")
    alone = [(await turn(ws_module, [ev], "s1"))[0][0] for ev in events]
    (first, args), (second, _) = await asyncio.gather(turn(ws_module, events, "s1"), turn(ws_module, events, "s2"))
    assert first == alone
    assert second == [[(k, "s2" if k == "session_id" else v) for k, v in ev] for ev in alone]
    # A missing input is a new dict for each event, not one shared by the turn.
    missing = [a for ev, a in zip(events, args) if ev.type == "tool_call" and "input" not in ev.data]
    assert len(missing) == 3 and missing[0] is not missing[1] and all(a == {} for a in missing)


def keeps_some(sock, data):
    """Keeps every other event, unchanged: those must never be made into later events."""
    if len(sock.sent) % 2:
        sock.kept.append((data, copy.deepcopy(data)))


def changes_a_fixed_value(sock, data):
    data["session_id"] = "changed"


def moves_a_key_to_the_end(sock, data):
    data["type"] = data.pop("type")


def rebuilds_it(sock, data):
    items = list(data.items())
    data.clear()
    data.update(reversed(items))


class Receiver:
    """Records each event as it was sent, then does `act` with the dict it was handed."""

    def __init__(self, act):
        self.act, self.sent, self.kept = act, [], []

    async def send_json(self, data):
        self.sent.append(list(copy.deepcopy(data).items()))
        self.act(self, data)


@pytest.mark.parametrize("act", [keeps_some, changes_a_fixed_value, moves_a_key_to_the_end, rebuilds_it])
async def test_what_a_receiver_does_with_an_event_never_reaches_the_next(host, ws_module, act):
    """Catches an event made from a dict its receiver still holds, or changed, after the send."""
    events = kinds("a") + kinds("bb") + kinds("a") + kinds("ccc")
    alone = [(await turn(ws_module, [ev], "s1"))[0][0] for ev in events]
    sock = Receiver(act)
    await ws_module._handle_computer_use_chat(sock, Agent(events), "go", session_id="s1")
    assert sock.sent[1:] == alone
    assert all(list(kept.items()) == list(then.items()) for kept, then in sock.kept)
    assert len({id(kept) for kept, _ in sock.kept}) == len(sock.kept)


class Shown(str):
    """An action that formats as something else, and may not be compared or hashed."""

    def __format__(self, how):
        return f"shown-{str.__str__(self)}"

    def __eq__(self, other):
        raise AssertionError("compared")

    def __hash__(self):
        raise AssertionError("hashed")


async def test_computer_tool_names_follow_each_action(host, ws_module):
    """Catches a tool name taken from an earlier call whose action looked alike but was not the same."""
    many = [f"act-{i}" for i in range(40)]  # more actions than a turn keeps names for, then all again
    actions = ["click", "".join(["cli", "ck"]), Shown("click"), "click", 7, "clické", "click\U0001f5b1", "x" * 200]
    actions += many + many[::-1] + ["x" * 200, "x" * 199 + "y", ""]
    inputs = [{"action": a} for a in actions]
    changed = {"action": "before"}
    events = [FakeCUEvent("tool_call", {"tool": "computer", "input": i}) for i in inputs]
    events.insert(3, FakeCUEvent("tool_call", {"tool": "computer", "input": changed}))

    class ChangesTheInput(SpoilingSocket):
        async def send_json(self, data):
            if data.get("tool") == "computer.before":
                changed["action"] = "after"  # the same input again, its action changed between two calls
            await super().send_json(data)

    events.insert(4, events[3])
    sock = ChangesTheInput()
    await ws_module._handle_computer_use_chat(sock, Agent(events), "go", session_id="s1")
    names = [dict(ev)["tool"] for ev in sock.sent[1:]]
    expected = [f"computer.{i['action']}" for i in inputs]
    expected[3:3] = ["computer.before", "computer.after"]
    assert names == expected
    assert names[2] == "computer.shown-click"
