"""The Computer Use agent on a real X server: Xvfb, a full-screen client that records every pointer
event and key it gets (x_recorder.py), and scripted models: Anthropic's Messages API with its
computer-use tool behind LiteLLM's own anthropic/ provider, and the OpenAI-compatible fake with the
function tool. Skipped where Xvfb or the model extra is missing (`make test` installs them)."""

from __future__ import annotations

import asyncio
import base64
import importlib.util
import io
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from fake_model import FakeModelServer, status, text, tool_call

if importlib.util.find_spec("litellm") is None:
    pytest.skip("the model extra (LiteLLM) is not installed", allow_module_level=True)
Image = pytest.importorskip("PIL.Image")
pytest.importorskip("Xlib")

from tavrin.core import computer_use_llm as cu  # noqa: E402
from tavrin.core import desktop as screen_module  # noqa: E402
from tavrin.core.desktop import Desktop, Scale  # noqa: E402
from tavrin.core.guardrails import Guardrails  # noqa: E402
from tavrin.core.llm_agent import ModelSettings  # noqa: E402

pytestmark = pytest.mark.skipif(shutil.which("Xvfb") is None, reason="Xvfb is not installed")

RECORDER = Path(__file__).with_name("x_recorder.py")
# Not a multiple of the scaled size (1280x711): the mapping is checked where it rounds.
WIDTH, HEIGHT = 1999, 1111
MODEL = "anthropic/claude-sonnet-4-5-20250929"
START_TIMEOUT = 240  # a bound, not a wait: a server that imports LiteLLM starts slowly on a busy machine


class Recorder:
    """The recording client's events, read as they come."""

    def __init__(self, proc: subprocess.Popen):
        self.proc = proc
        self.events: list[dict] = []
        self._cv = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self._cv:
                self.events.append(json.loads(line))
                self._cv.notify_all()

    def wait(self, predicate, timeout=20) -> dict:
        deadline = time.monotonic() + timeout
        with self._cv:
            while True:
                for e in self.events:
                    if predicate(e):
                        return e
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"the client never saw it; it saw {self.events[-20:]}")
                self._cv.wait(left)

    def until(self, predicate, timeout=20) -> list[dict]:
        """The events once ``predicate(events)`` holds: the X server has sent them, the client may
        not have written them yet."""
        deadline = time.monotonic() + timeout
        with self._cv:
            while not predicate(self.events):
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"the client never saw it; it saw {self.events[-20:]}")
                self._cv.wait(left)
            return list(self.events)

    async def await_(self, predicate, timeout=20) -> dict:
        return await asyncio.to_thread(self.wait, predicate, timeout)

    def clear(self):
        with self._cv:
            self.events.clear()


@pytest.fixture(scope="module")
def xserver():
    rd, wr = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(wr), "-screen", "0", f"{WIDTH}x{HEIGHT}x24", "-nolisten", "tcp"],
        pass_fds=(wr,),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    os.close(wr)
    with os.fdopen(rd) as f:
        name = ":" + f.readline().strip()
    env = {**os.environ, "DISPLAY": name}
    client = subprocess.Popen([sys.executable, str(RECORDER)], env=env, stdout=subprocess.PIPE, text=True)
    recorder = Recorder(client)
    try:
        recorder.wait(lambda e: e["type"] == "ready")
        yield name, recorder
    finally:
        for proc in (client, xvfb):
            proc.send_signal(signal.SIGTERM)
            proc.wait(10)


@pytest.fixture
def screen(xserver):
    name, recorder = xserver
    recorder.clear()
    return name, recorder


@pytest.fixture
def messages_api(monkeypatch):
    monkeypatch.setenv("ANTHROPIC_API_KEY", "sk-ant-test")
    with FakeModelServer("anthropic") as api:
        yield api


def use(tool_input: dict) -> list:
    """A script step: the model calls Anthropic's computer tool with ``tool_input``."""
    return tool_call("computer", tool_input)


def say(words: str) -> list:
    """A script step: the model says ``words``, in two pieces."""
    return text(words[: len(words) // 2], words[len(words) // 2 :])


def agent_for(display, model=MODEL, api_base=None, **kwargs) -> cu.ComputerUseAgent:
    kwargs.setdefault("action_delay", 0)
    kwargs.setdefault("approve", "never")
    settings = ModelSettings(model, api_base, max_iterations=kwargs.pop("max_iterations", 10), retries=0, vision=True)
    return cu.ComputerUseAgent(settings, display=display, **kwargs)


async def run(agent, task="Do it") -> list:
    return [e async for e in agent.run_task(task)]


def server_state(display):
    """The X server's own view: the pointer's button mask and whether any key is down."""
    from Xlib import display as xdisplay

    d = xdisplay.Display(display)
    try:
        mask = d.screen().root.query_pointer().mask
        keys = bytes(d.query_keymap())
    finally:
        d.close()
    return mask & 0x1F00, any(keys)


def image_of(event) -> Image.Image:
    return Image.open(io.BytesIO(base64.b64decode(event.data["result"]["base64"])))


# -- the mapping, without a display ----------------------------------------------------------


def test_model_coordinates_map_to_the_screen_corners_and_centre():
    s = Scale.of(WIDTH, HEIGHT)
    assert (s.w, s.h) == (1280, 711)  # the long side at the bound, the aspect kept
    assert s.to_screen(0, 0) == (0, 0)
    assert s.to_screen(s.w - 1, s.h - 1) == (WIDTH - 1, HEIGHT - 1)
    assert s.to_screen(s.w - 1, 0) == (WIDTH - 1, 0) and s.to_screen(0, s.h - 1) == (0, HEIGHT - 1)
    # The centre: the picture's middle row (711 rows) is the screen's; its width is even, so the
    # screen's middle column lies between the two middle columns of the picture.
    assert s.to_screen(0, 355)[1] == (HEIGHT - 1) // 2
    assert s.to_screen(639, 0)[0] <= (WIDTH - 1) // 2 <= s.to_screen(640, 0)[0]
    for x in range(s.w):  # every model column lands inside the screen columns its pixel shows
        sx = s.to_screen(x, 0)[0]
        assert x * WIDTH // s.w <= sx < (x + 1) * WIDTH // s.w + 1 and s.to_model(sx, 0)[0] == x
    assert Scale.of(1280, 800) == Scale(1280, 800, 1280, 800)  # nothing to scale
    assert (Scale.of(1920, 1200).w, Scale.of(1920, 1200).h) == (1280, 800)
    assert (Scale.of(1080, 1920).w, Scale.of(1080, 1920).h) == (450, 800)  # portrait: the height bounds it


def test_only_the_last_three_screenshots_are_sent_again():
    shot = {"type": "image_url", "image_url": {"url": "data:image/png;base64,AAAA"}}
    messages = [{"role": "user", "content": "task"}] + [
        {"role": "tool", "tool_call_id": f"c{i}", "content": [{"type": "text", "text": f"step {i}"}, shot]}
        for i in range(5)
    ]
    sent = cu.thinned(messages)
    kept = [m for m in sent[1:] if any(p.get("type") == "image_url" for p in m["content"])]
    assert [m["tool_call_id"] for m in kept] == ["c2", "c3", "c4"]
    assert sent[1]["content"] == [{"type": "text", "text": "step 0"}, {"type": "text", "text": cu.OLD_SCREENSHOT}]
    assert messages[1]["content"][1] is shot  # the task's own list keeps them


# -- the capture --------------------------------------------------------------------------------


def coloured_window(name):
    """A window over the recorder's: red, green and blue thirds above, noise below. Its
    connection is returned: closing it takes the window away."""
    from Xlib import X, display

    d = display.Display(name)
    s = d.screen()
    w, h = 600, 300
    win = s.root.create_window(200, 150, w, h, 0, s.root_depth, background_pixel=s.black_pixel, override_redirect=True)
    win.map()
    gc = win.create_gc()
    # ZPixmap pixels of a 24-bit screen, least significant byte first: B, G, R, unused.
    bars = b"".join(bytes(c) * (w // 3) for c in ((0, 0, 255, 0), (0, 255, 0, 0), (255, 0, 0, 0)))
    rng = random.Random(7)
    for top in range(0, h, 50):
        win.put_image(gc, 0, top, w, 50, X.ZPixmap, 24, 0, bars * 50 if top < 150 else rng.randbytes(w * 50 * 4))
    d.sync()
    return d


def clients(watcher) -> int:
    return len(watcher.res_query_clients().clients)


def test_a_task_holds_one_connection_and_sees_the_screen_as_it_is(screen, monkeypatch):
    """Catches: a second connection for the capture (or one left open after the task), colours
    swapped, a picture that is not the screen scaled, and a capture without shared memory that
    sees otherwise than the one with it."""
    from Xlib import X, display

    name, _ = screen
    watcher = display.Display(name)
    picture = coloured_window(name)
    try:
        before = clients(watcher)
        desktop = Desktop.open(name)
        try:
            assert clients(watcher) == before + 1
            assert desktop._shm is not None  # Xvfb on this machine shares memory with its clients
            raw, _ = desktop.grab()
            shot = Image.open(io.BytesIO(desktop.png(raw, with_pointer=False)))
        finally:
            desktop.close()
        assert clients(watcher) == before

        root = watcher.screen().root
        core = b"".join(
            root.get_image(0, top, WIDTH, min(100, HEIGHT - top), X.ZPixmap, 0xFFFFFFFF).data
            for top in range(0, HEIGHT, 100)
        )
        assert raw == core
        s = Scale.of(WIDTH, HEIGHT)
        assert shot.size == (s.w, s.h) and shot.mode == "RGB"
        red, green, blue = (shot.getpixel(s.to_model(x, 200)) for x in (300, 500, 700))
        assert (red, green, blue) == ((255, 0, 0), (0, 255, 0), (0, 0, 255))
        assert shot.getpixel(s.to_model(1000, 700)) == (255, 255, 255)  # the recorder's white window

        monkeypatch.setattr(screen_module.SharedImage, "attach", classmethod(lambda cls, d, size: None))
        plain = Desktop.open(name)
        try:
            assert plain._shm is None and plain.grab()[0] == raw
        finally:
            plain.close()
    finally:
        picture.close()
        watcher.close()


# -- Anthropic's own tool ----------------------------------------------------------------------


# Slow only as its worker's first user of LiteLLM: making the agent imports it (seconds, once a process).
async def test_a_screenshot_is_the_scaled_screen_with_the_pointer(screen, messages_api):
    name, recorder = screen
    messages_api.replies = [
        use({"action": "mouse_move", "coordinate": [640, 355]}),
        say("Looking.") + use({"action": "screenshot"}),
        say("All white."),
    ]
    events = await run(agent_for(name, api_base=messages_api.url))
    assert [e.type for e in events] == [
        "tool_call",
        "tool_result",
        "text",
        "text",
        "tool_call",
        "tool_result",
        "text",
        "text",
        "done",
    ]
    assert events[4].data["input"] == {"action": "screenshot"} and events[-1].data["iterations"] == 3
    picture = image_of(events[5])
    assert picture.size == (1280, 711)
    # The recorder's window is white; the pointer (X's default cursor, black and white) is where
    # the model put it, and only there.
    near = picture.crop((630, 345, 651, 366)).convert("L")
    assert near.getextrema()[0] < 64
    far = picture.crop((0, 0, 600, 300)).convert("L")
    assert far.getextrema()[0] == 255

    first, second = messages_api.requests[0], messages_api.requests[1]
    assert "computer-use-2025-01-24" in first["_headers"]["anthropic-beta"]
    assert first["tools"] == [
        {"type": "computer_20250124", "name": "computer", "display_width_px": 1280, "display_height_px": 711}
    ]
    result = second["messages"][-1]["content"][0]
    assert result["type"] == "tool_result" and any(p["type"] == "image" for p in result["content"])
    assert messages_api.refusals == []


async def test_a_long_task_sends_only_its_last_three_screenshots(screen, messages_api):
    name, _ = screen
    messages_api.replies = [use({"action": "screenshot"}) for _ in range(5)] + [say("Seen enough.")]
    events = await run(agent_for(name, api_base=messages_api.url))
    assert events[-1].type == "done" and messages_api.refusals == []
    last = json.dumps(messages_api.requests[-1]["messages"])
    assert last.count('"type": "image"') == 3 and last.count(cu.OLD_SCREENSHOT) == 2


async def test_clicks_land_where_the_model_points(screen, messages_api):
    name, recorder = screen
    messages_api.replies = [
        use({"action": "left_click", "coordinate": [1279, 710]}),
        use({"action": "right_click", "coordinate": [0, 0]}),
        use({"action": "double_click", "coordinate": [640, 355]}),
        say("Done."),
    ]
    events = await run(agent_for(name, api_base=messages_api.url))
    assert events[-1].type == "done"
    seen = recorder.until(lambda es: sum(e["type"] == "release" for e in es) == 4)
    presses = [(e["button"], e["x"], e["y"]) for e in seen if e["type"] == "press"]
    middle = Scale.of(WIDTH, HEIGHT).to_screen(640, 355)
    assert presses == [(1, WIDTH - 1, HEIGHT - 1), (3, 0, 0), (1, *middle), (1, *middle)]
    assert server_state(name) == (0, False)


async def test_drag_and_scroll(screen, messages_api):
    name, recorder = screen
    messages_api.replies = [
        use({"action": "left_click_drag", "start_coordinate": [100, 100], "coordinate": [300, 200]}),
        use({"action": "scroll", "coordinate": [640, 355], "scroll_direction": "down", "scroll_amount": 3}),
        say("Done."),
    ]
    events = await run(agent_for(name, api_base=messages_api.url))
    assert events[-1].type == "done"
    s = Scale.of(WIDTH, HEIGHT)
    start, end = s.to_screen(100, 100), s.to_screen(300, 200)
    seen = recorder.until(lambda es: sum(e["type"] == "release" for e in es) == 4)
    kinds = [(e["type"], e.get("button"), e.get("x"), e.get("y")) for e in seen if e["type"] != "motion"]
    assert kinds[0] == ("press", 1, *start) and kinds[1] == ("release", 1, *end)
    dragged = [e for e in seen if e["type"] == "motion" and e["state"] & 0x100]  # with button 1 held
    assert dragged and dragged[-1]["x"] == end[0]
    assert [k[1] for k in kinds[2:]] == [5, 5, 5, 5, 5, 5]  # three wheel clicks, each press and release
    assert server_state(name) == (0, False)


async def test_refused_actions_are_told_to_the_model(screen, messages_api):
    name, recorder = screen
    messages_api.replies = [
        use({"action": "left_click", "coordinate": [1280, 10]}),
        use({"action": "left_click", "coordinate": ["10", 10]}),
        use({"action": "scroll", "scroll_direction": "sideways"}),
        use({"action": "fly"}),
        use({"action": "type", "text": "bell\x07"}),
        say("I give up."),
    ]
    events = await run(agent_for(name, api_base=messages_api.url))
    errors = [e.data["result"] for e in events if e.type == "tool_result"]
    assert all(r["type"] == "error" for r in errors) and len(errors) == 5
    assert "outside the screen" in errors[0]["error"] and "1280x711" in errors[0]["error"]
    assert "two whole numbers" in errors[1]["error"] and "U+0007" in errors[4]["error"]
    told = messages_api.requests[1]["messages"][-1]["content"][0]
    assert told["type"] == "tool_result" and "outside the screen" in json.dumps(told["content"])
    assert [e for e in recorder.events if e["type"] in ("press", "key")] == []


# -- the function tool, on an OpenAI-compatible model -------------------------------------------


async def test_typing_letters_beyond_the_keyboard_map_and_key_combinations(screen):
    name, recorder = screen
    typed = "Grüße, Ωmega ✓ ok"
    with FakeModelServer() as model:
        model.replies = [
            tool_call("computer", {"action": "type", "text": typed}),
            tool_call("computer", {"action": "key", "text": "ctrl+l"}),
            text("Typed."),
        ]
        events = await run(agent_for(name, model="openai/fake-vision", api_base=model.url))
        assert events[-1].type == "done"
        # The function tool, and each screenshot as the user's image after the tool's answer.
        assert model.requests[0]["tools"][0]["function"]["name"] == "computer"
        assert model.requests[1]["messages"][-1]["content"][1]["type"] == "image_url"
    seen = recorder.until(lambda es: any(e["type"] == "keyup" and e["char"] == "l" for e in es))
    keys = [e for e in seen if e["type"] == "key"]
    chars = "".join(e["char"] or "" for e in keys if e["name"] not in ("Shift_L", "Control_L"))
    assert chars.startswith(typed)
    combo = keys[-2:]
    assert combo[0]["name"] == "Control_L" and combo[1]["char"] == "l" and combo[1]["state"] & 0x4
    assert server_state(name) == (0, False)


# -- stopping ---------------------------------------------------------------------------------


async def _stop_when(agent, recorder, predicate):
    task = asyncio.ensure_future(run(agent))
    await recorder.await_(predicate)
    agent.stop()
    return await asyncio.wait_for(task, 15)


async def test_a_stop_in_a_held_key_or_a_drag_leaves_nothing_pressed(screen, messages_api, monkeypatch):
    name, recorder = screen
    messages_api.replies = [use({"action": "hold_key", "text": "shift", "duration": 25})]
    events = await _stop_when(
        agent_for(name, api_base=messages_api.url), recorder, lambda e: e["type"] == "key" and e["name"] == "Shift_L"
    )
    # Cancelled in the hold: had the stop waited for its end, the task would have gone on to "done".
    assert events[-1].type == "cancelled"
    assert server_state(name) == (0, False)

    recorder.clear()
    monkeypatch.setattr(cu, "DRAG_STEPS", 100_000)  # a drag that would take over half an hour
    messages_api.replies = [use({"action": "left_click_drag", "start_coordinate": [10, 10], "coordinate": [900, 600]})]
    events = await _stop_when(
        agent_for(name, api_base=messages_api.url), recorder, lambda e: e["type"] == "motion" and e["state"] & 0x100
    )
    assert events[-1].type == "cancelled"
    assert server_state(name) == (0, False)
    assert recorder.wait(lambda e: e["type"] == "release")["button"] == 1


async def test_a_cancelled_task_releases_the_mouse_it_held(screen, messages_api):
    name, recorder = screen
    messages_api.replies = [
        use({"action": "left_mouse_down", "coordinate": [50, 50]}),
        use({"action": "wait", "duration": 25}),
    ]
    agent = agent_for(name, api_base=messages_api.url)
    task = asyncio.ensure_future(run(agent))
    await recorder.await_(lambda e: e["type"] == "press")
    while len(messages_api.requests) < 2:  # the wait is under way
        await asyncio.sleep(0.02)
    task.cancel()  # the chat task itself, as a newer message or a closed window does
    with pytest.raises(asyncio.CancelledError):
        await task
    await recorder.await_(lambda e: e["type"] == "release")
    assert server_state(name) == (0, False) and not agent.is_running


# -- the approval of the first action -------------------------------------------------------------


async def test_the_first_action_waits_for_the_users_approval(screen, messages_api):
    name, recorder = screen
    guardrails = Guardrails()
    shown: list[tuple] = []

    async def announce(session_id, event):
        shown.append((session_id, event))

    agent = agent_for(name, api_base=messages_api.url, approve="first", guardrails=guardrails, announce=announce)
    messages_api.replies = [
        use({"action": "left_click", "coordinate": [10, 10]}),
        use({"action": "left_click", "coordinate": [20, 20]}),
        say("Done."),
    ]
    task = asyncio.ensure_future(run(agent, "Click the corner"))
    while not shown:
        await asyncio.sleep(0.01)
    prompt = shown[0][1]
    assert prompt["type"] == "tool_approval_needed" and prompt["tool"] == "computer"
    assert "Click the corner" in prompt["message"] and "left click at (10, 10)" in prompt["message"]
    assert [e for e in recorder.events if e["type"] == "press"] == []  # nothing before the answer
    guardrails.resolve_approval(prompt["approval_id"], True)
    events = await task
    assert events[-1].type == "done" and len(shown) == 1  # asked once for the whole task
    recorder.until(lambda es: sum(e["type"] == "release" for e in es) == 2)

    recorder.clear()
    shown.clear()
    messages_api.replies = [use({"action": "type", "text": "rm -rf"})]
    task = asyncio.ensure_future(run(agent, "Type something"))
    while not shown:
        await asyncio.sleep(0.01)
    guardrails.leave_note(shown[0][1]["approval_id"], "not now")
    guardrails.resolve_approval(shown[0][1]["approval_id"], False)
    events = await task
    assert events[-1].type == "cancelled" and "not now" in events[-1].data["message"]
    assert [e for e in recorder.events if e["type"] == "key"] == []
    assert len(messages_api.requests) == 4  # the model was not asked again


# -- the model's refusals --------------------------------------------------------------------------


async def test_a_server_that_asks_to_wait_is_heard_and_a_stop_ends_the_wait(screen):
    """Catches: a Retry-After the Computer Use agent ignores (the standard agent's retries not
    shared), and a stop during the wait reported as the model's failure instead of a stop."""
    name, _ = screen
    with FakeModelServer() as model:
        settings = dict(model="openai/fake-vision", api_base=model.url)
        model.replies = [status(429, "slow down", {"retry-after": "3600"}), text("Done.")]
        agent = cu.ComputerUseAgent(ModelSettings(**settings, retries=2, vision=True), display=name, approve="never")
        events = await run(agent)
        assert [e.type for e in events] == ["error"] and len(model.requests) == 1
        assert "asks to wait 3600 s" in events[0].data["message"]

        model.replies, model.requests = [status(429, "slow down", {"retry-after": "50"}), text("Done.")], []
        agent = cu.ComputerUseAgent(ModelSettings(**settings, retries=2, vision=True), display=name, approve="never")
        task = asyncio.ensure_future(run(agent))
        while not model.requests:  # noqa: ASYNC110 - the fake serves from its own thread
            await asyncio.sleep(0.01)
        agent.stop()
        events = await asyncio.wait_for(task, 5)
        assert [e.type for e in events] == ["cancelled"] and len(model.requests) == 1


# -- no display ---------------------------------------------------------------------------------


async def test_without_a_display_the_task_ends_in_one_sentence(monkeypatch, messages_api):
    monkeypatch.delenv("DISPLAY", raising=False)
    events = await run(agent_for(None, api_base=messages_api.url))
    assert [e.type for e in events] == ["error"]
    message = events[0].data["message"]
    assert message.startswith("Computer Use error: ") and "DISPLAY is not set" in message
    assert messages_api.requests == []


# -- the whole turn through the real server --------------------------------------------------------


async def test_a_turn_through_the_server_and_back_from_the_store(screen, messages_api, servers, tmp_path, monkeypatch):
    """Catches: events the page would draw otherwise than the agent meant, an approval the page never
    sees, and a turn a restart shows differently from the live one."""
    import httpx

    from serverproc import recv_until, require_gateway

    require_gateway()
    name, recorder = screen
    monkeypatch.setenv("DISPLAY", name)
    args = ("--cu-model", MODEL, "--cu-api-base", messages_api.url, "--cu-action-delay", "0")
    data = tmp_path / "data"
    server = servers(data, *args, timeout=START_TIMEOUT)
    assert f"Computer Use: model {MODEL} at {messages_api.url} on display {name}" in server.address_line
    click = use({"action": "left_click", "coordinate": [640, 355]})
    messages_api.replies = [say("Clicking the middle.") + click, say("Clicked.")]
    async with server.connect() as conn:
        await conn.send(json.dumps({"type": "chat", "content": "Click the middle", "computer_use": True}))
        events = await recv_until(conn, lambda e: e["type"] == "tool_approval_needed")
        prompt = events[-1]
        assert prompt["session_id"] == "session_main" and prompt["tool"] == "computer"
        await conn.send(json.dumps({"type": "approve", "approval_id": prompt["approval_id"], "approved": True}))
        events += await recv_until(
            conn,
            lambda e: (
                e["type"] in ("done", "cancelled")
                or (e["type"] == "error" and e["message"].startswith("Computer Use error"))
            ),
        )
    # (Session streams number the events; the numbers are theirs, not the translation's.)
    live = [
        {k: v for k, v in e.items() if k != "seq"}
        for e in events
        if e["type"] in ("mode", "tool_call", "tool_result", "text", "done")
    ]
    assert [e["type"] for e in live] == ["mode", "text", "text", "tool_call", "tool_result", "text", "text", "done"]
    call, result = live[3], live[4]
    assert call == {
        "type": "tool_call",
        "id": "toolu_" + click[0][1]["id"],
        "tool": "computer.left_click",
        "arguments": {"action": "left_click", "coordinate": [640, 355]},
        "session_id": "session_main",
    }
    assert list(result) == ["type", "id", "tool", "session_id", "screenshot", "image_base64", "result"]
    assert result["screenshot"] is True and result["result"] == "Screenshot captured"
    assert Image.open(io.BytesIO(base64.b64decode(result["image_base64"]))).size == (1280, 711)
    assert live[-1]["iterations"] == 2
    middle = Scale.of(WIDTH, HEIGHT).to_screen(640, 355)
    pressed = recorder.wait(lambda e: e["type"] == "press")
    assert (pressed["x"], pressed["y"]) == middle

    server.stop()
    again = servers(data, *args, timeout=START_TIMEOUT)
    sessions = httpx.get(again.http + "/api/sessions", headers=again.auth).json()["sessions"]
    conv = sessions[0]["conversation_id"]
    rows = httpx.get(again.http + f"/api/conversations/{conv}/messages", headers=again.auth).json()["messages"]
    assert [r["role"] for r in rows] == [
        "user",
        "assistant",
        "tool_call",
        "approval",
        "tool_result",
        "assistant",
        "outcome",
    ]
    assert rows[0]["content"] == "Click the middle" and rows[0]["meta"]["mode"] == "computer_use"
    assert rows[2]["meta"]["tool"] == "computer.left_click"
    assert rows[3]["meta"]["decision"] == "approved"
    shot = rows[4]["meta"]
    assert shot["screenshot"] is True and "image_base64" not in shot
    assert (shot["image_width"], shot["image_height"]) == (1280, 711)  # so the page can mark the click
    assert Image.open(io.BytesIO(base64.b64decode(shot["thumbnail_base64"]))).size[0] <= 160
    assert rows[-1]["meta"]["outcome"] == "done"


async def test_a_wait_to_try_the_model_again_reaches_the_page_before_it_is_waited(
    screen, servers, tmp_path, monkeypatch
):
    """Catches a Computer Use task that sits silent while its model request waits to be tried
    again (the page would say the screen is being controlled), a note told only after the wait,
    and one shaped otherwise than the standard agent's."""
    from serverproc import recv_until, require_gateway

    require_gateway()
    name, _ = screen
    monkeypatch.setenv("DISPLAY", name)
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
    with FakeModelServer() as model:
        model.replies = [status(503, "overloaded", {"retry-after": "2"}), text("Nothing to do.")]
        server = servers(
            tmp_path / "data",
            "--cu-model",
            "openai/fake-vision",
            "--cu-api-base",
            model.url,
            timeout=START_TIMEOUT,
        )
        async with server.connect() as conn:
            await conn.send(json.dumps({"type": "chat", "content": "Look", "computer_use": True}))
            events = await recv_until(conn, lambda e: e["type"] == "retrying")
            # Told while the wait runs: the second request has not been made yet.
            assert len(model.requests) == 1
            events += await recv_until(conn, lambda e: e["type"] in ("done", "error", "cancelled"))
    shown = [{k: v for k, v in e.items() if k != "seq"} for e in events]
    assert [e["type"] for e in shown] == ["mode", "retrying", "text", "done"]
    assert shown[1] == {
        "type": "retrying",
        "seconds": 2,
        "reason": "the model server failed (503)",
        "message": "Retrying in 2 s (the model server failed (503))",
        "session_id": "session_main",
    }
    assert len(model.requests) == 2
