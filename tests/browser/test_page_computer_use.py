"""A Computer Use turn as the user reads it: each action a short sentence, its point marked on the
screenshot that follows, and the line above the composer saying the screen is being controlled."""

import importlib.util
import re
import os
import shutil
import subprocess

import pytest
from page_actions import new_tab, send
from serverproc import ServerProcess, require_gateway

import fake_model as fm

expect = pytest.importorskip("playwright.sync_api").expect


@pytest.fixture
def call(browser, app_server):
    context = browser.new_context()
    page = context.new_page()
    page.goto(app_server.http + "/")

    def call(name, *args):
        return page.evaluate(
            """async ([name, args]) => {
            const m = await import('/static/js/cuaction.js');
            const result = m[name](...args);
            return result === undefined ? null : result;
        }""",
            [name, list(args)],
        )

    yield call
    context.close()


@pytest.mark.parametrize(
    "args, said",
    [
        ({"action": "left_click", "coordinate": [412, 230]}, "Click at (412, 230)"),
        ({"action": "double_click", "coordinate": [1, 2], "text": "shift"}, "Double-click at (1, 2) holding shift"),
        ({"action": "right_click"}, "Right-click"),
        ({"action": "type", "text": "hello"}, "Type 'hello'"),
        ({"action": "type", "text": "x" * 50}, "Type '" + "x" * 40 + "…'"),
        ({"action": "key", "text": "ctrl+l"}, "Press ctrl+l"),
        ({"action": "hold_key", "text": "shift", "duration": 2}, "Hold shift for 2 s"),
        ({"action": "wait", "duration": 1}, "Wait 1 s"),
        (
            {"action": "scroll", "coordinate": [5, 6], "scroll_direction": "down", "scroll_amount": 3},
            "Scroll down 3 at (5, 6)",
        ),
        ({"action": "left_click_drag", "start_coordinate": [1, 2], "coordinate": [3, 4]}, "Drag from (1, 2) to (3, 4)"),
        ({"action": "mouse_move", "coordinate": [7, 8]}, "Move the pointer to (7, 8)"),
        ({"action": "screenshot"}, "Take a screenshot"),
        ({"action": "left_click", "coordinate": ["1", 2]}, "Click"),  # no point: none claimed
        ({"action": "fly"}, None),
        ("left_click", None),
    ],
)
def test_each_action_reads_as_a_sentence(call, args, said):
    assert call("describeAction", args) == said


def test_the_mark_sits_on_the_pixel_in_any_picture_size(call):
    assert call("markAt", {"coordinate": [0, 0]}, 1280, 720) == {"left": 0.5 / 1280, "top": 0.5 / 720}
    assert call("markAt", {"coordinate": [1279, 719]}, 1280, 720) == {"left": 1279.5 / 1280, "top": 719.5 / 720}
    assert call("markAt", {"coordinate": [1280, 10]}, 1280, 720) is None  # outside the picture
    assert call("markAt", {"coordinate": [10, 10]}, None, 720) is None  # a size the store never kept


@pytest.fixture(scope="module")
def slow_server(tmp_path_factory):
    """A server whose demo steps take half a second: the turn is still running when the page is read."""
    data = tmp_path_factory.mktemp("slow-cu")
    server = ServerProcess(data, step_delay=0.5, log_path=data.parent / "slow-cu-server.log").start()
    yield server
    server.stop()


def test_a_computer_use_turn_names_its_actions_and_says_who_has_the_screen(open_page, slow_server):
    page = open_page(server=slow_server)
    pane = new_tab(page)
    page.check("#cu-toggle")
    send(page, "click the button")
    expect(page.locator("#working-text")).to_have_text("Tavrin is controlling your screen — Stop takes it back")
    click = pane.locator(".tool", has=page.locator(".tool-kind", has_text="computer.left_click"))
    expect(click.locator(".tool-name")).to_have_text("Click at (228, 138)")
    pane.locator(".line.done").wait_for(state="attached")
    expect(page.locator("#working")).to_be_hidden()
    assert page.problems == []


@pytest.fixture(scope="module")
def display():
    """An X display of its own (Xvfb), for a Computer Use agent on a model."""
    if shutil.which("Xvfb") is None:
        pytest.skip("Xvfb is not installed")
    rd, wr = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(wr), "-screen", "0", "800x600x24", "-nolisten", "tcp"],
        pass_fds=(wr,),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    os.close(wr)
    with os.fdopen(rd) as f:
        name = ":" + f.readline().strip()
    yield name
    xvfb.terminate()
    xvfb.wait(10)


@pytest.fixture(scope="module")
def cu_model():
    with fm.FakeModelServer() as server:
        yield server


@pytest.fixture(scope="module")
def cu_server(display, cu_model, tmp_path_factory):
    """A server whose Computer Use agent works on the scripted model and the display above."""
    require_gateway()
    if importlib.util.find_spec("litellm") is None:
        pytest.skip("the model extra is not installed")
    data = tmp_path_factory.mktemp("model-cu")
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("DISPLAY", display)
        mp.setenv("OPENAI_API_KEY", "sk-test-cu")
        args = ("--cu-model", "openai/fake-vision", "--cu-api-base", cu_model.url, "--cu-action-delay", "0")
        server = ServerProcess(data, log_path=data.parent / "model-cu-server.log", args=args).start(timeout=240)
    yield server
    server.stop()


@pytest.mark.timeout(600)
def test_a_computer_use_turn_says_what_it_waits_for_before_it_has_the_screen(open_page, cu_server, cu_model):
    """Catches the working line claiming the screen is being controlled while the task waits for
    the model's server to be tried again, or for the user's approval of its first action."""
    cu_model.replies = [
        fm.status(503, "overloaded", {"retry-after": "3"}),
        fm.tool_call("computer", {"action": "left_click", "coordinate": [10, 10]}),
        fm.text("Clicked."),
    ]
    page = open_page(server=cu_server)
    pane = new_tab(page)
    page.check("#cu-toggle")
    send(page, "click the corner")
    line = page.locator("#working-text")
    expect(line).to_have_text(re.compile(r"^Retrying in [1-3] s \(the model server failed \(503\)\)$"))
    expect(page.locator("#working")).not_to_have_class(re.compile(r"\bcu-active\b"))
    expect(line).to_have_text("Waiting for your approval", timeout=15000)
    pane.locator(".approval button.approve").click()
    pane.locator(".line.done").wait_for(state="attached", timeout=15000)
    expect(page.locator("#working")).to_be_hidden()
    assert len(cu_model.requests) == 3
    assert page.problems == []
