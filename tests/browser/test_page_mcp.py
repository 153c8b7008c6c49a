"""The user's MCP servers on the page: the panel lists each with its state, its last error and its
tools, the top bar's button says when one is down, and a call to a server's tool names the server
on its card. The real server with a scripted model and the SDK-written test server."""

import importlib.util
import json
import sys
import time
from pathlib import Path

import httpx
import pytest

import fake_model as fm
from page_actions import send
from test_page_attachments import axe_problems
from serverproc import ServerProcess, require_gateway

expect = pytest.importorskip("playwright.sync_api").expect
# A server with a model imports LiteLLM at start-up: seconds of work, far more on a loaded machine.
pytestmark = pytest.mark.timeout(600)

SERVER = Path(__file__).resolve().parents[1] / "host" / "mcp_server.py"


@pytest.fixture(scope="module")
def model():
    with fm.FakeModelServer() as server:
        yield server


@pytest.fixture(scope="module")
def mcp_server(model, tmp_path_factory):
    require_gateway()
    if importlib.util.find_spec("litellm") is None or importlib.util.find_spec("mcp") is None:
        pytest.skip("the model extra is not installed")
    data = tmp_path_factory.mktemp("mcp-page-data")
    config = data.parent / "mcp-page.json"
    config.write_text(
        json.dumps(
            {
                "mcpServers": {
                    "notes": {"command": sys.executable, "args": [str(SERVER), str(data.parent / "note.txt")]},
                    "broken": {"command": "/nonexistent/mcp-server"},
                }
            }
        )
    )
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("OPENAI_API_KEY", "sk-test-mcp-page")
        server = ServerProcess(
            data,
            log_path=data.parent / "mcp-page-server.log",
            args=("--model", "openai/fake", "--api-base", model.url, "--mcp-config", str(config)),
        ).start(timeout=240)
    # The servers settle on their own after the host's start: wait for that, as a user would.
    while True:
        status = {
            s["name"]: s["state"] for s in httpx.get(server.http + "/api/mcp", headers=server.auth).json()["servers"]
        }
        if status == {"notes": "up", "broken": "down"}:
            break
        time.sleep(0.1)
    yield server
    server.stop()


def test_the_panel_lists_the_servers_and_a_call_names_its_server(open_page, mcp_server, model):
    note = mcp_server.data_dir.parent / "note.txt"
    """Catches a panel that lists no server, hides a down server's reason or a server's tools, a
    button that does not say a server is down, a tool or approval card that does not name its
    server, or a panel that axe-core finds fault with."""
    page = open_page(server=mcp_server)
    button = page.get_by_role("button", name="Tools")
    expect(button).to_have_class("mcp-btn foldable attention")
    button.click()
    panel = page.locator("#mcp-panel")
    expect(panel).to_be_visible()
    notes, broken = panel.locator(".mcp-server").nth(0), panel.locator(".mcp-server").nth(1)
    expect(notes.locator(".mcp-state")).to_have_text("up")
    expect(notes.locator(".mcp-tools")).to_contain_text("echo")
    expect(notes.locator(".mcp-tools")).to_contain_text("write_note")
    expect(broken.locator(".mcp-state")).to_have_text("down")
    expect(broken.locator(".mcp-error")).to_contain_text("No such file or directory")
    assert axe_problems(page) == []
    page.keyboard.press("Escape")
    expect(panel).to_be_hidden()

    model.replies = [fm.tool_call("notes__echo", {"text": "from the page"}), fm.text("Echoed.")]
    send(page, "echo it")
    card = page.locator(".pane[data-session='session_main'] .tool.result")
    expect(card.locator(".tool-server")).to_have_text("notes")
    expect(card.locator(".tool-output")).to_have_text("echo: from the page")

    # A tool that changes something asks first, and its card says whose tool it is.
    model.replies = [fm.tool_call("notes__write_note", {"text": "noted"}), fm.text("Written.")]
    send(page, "note it")
    approval = page.locator(".approval")
    expect(approval.locator(".approval-server")).to_have_text("A tool of the MCP server notes: write_note")
    approval.get_by_role("button", name="Approve").click()
    expect(page.locator(".pane[data-session='session_main'] .tool.result .tool-output").last).to_have_text(
        "wrote 5 characters"
    )
    assert note.read_text() == "noted"
    assert page.problems == []
