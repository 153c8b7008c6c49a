"""The server application in-process, with a recording stand-in for the gateway module."""

import asyncio
import importlib.util
import re
from pathlib import Path

import pytest
from fastapi.testclient import TestClient

from fakes import settle, until
from tavrin.config import load_config
from tavrin.gateway import host_turns, server


@pytest.fixture
def client(gateway, tmp_path):
    config = load_config(tmp_path / "data", port=8799)
    config.demo_step_delay = 0.001
    with TestClient(server.create_app(config), base_url="http://127.0.0.1:8799") as c:
        yield c


def test_state_is_wired_at_start_up_and_emptied_at_shutdown(gateway, tmp_path):
    config = load_config(tmp_path / "data", port=8799)
    with TestClient(server.create_app(config)):
        state = server.get_state()
        assert set(state) == {
            "agent",
            "cu_agent",
            "heartbeat",
            "_agent_lock_fallback",
            "memory",
            "guardrails",
            "config",
        }
        runner_built = importlib.util.find_spec("tavrin.core.heartbeat") is not None
        assert all(state[key] is not None for key in state if key != "heartbeat")
        assert (state["heartbeat"] is not None) is runner_built
        assert state["config"].heartbeat.interval == 300
        assert isinstance(server._agent_lock, asyncio.Lock)
        assert state["memory"].path == str(tmp_path / "data" / "conversations.sqlite3")
    assert gateway._ALLOWED_ORIGINS == {"http://127.0.0.1:8799", "http://localhost:8799", "http://[::1]:8799"}
    assert all(value is None for value in server.get_state().values())


@pytest.mark.parametrize("fair", [True, False], ids=["default", "--no-fair-broadcast"])
def test_the_host_turns_the_gateways_opt_in_switches_on(gateway, tmp_path, fair):
    # catches: the host leaving the fair broadcast (or streams) at the module's written default
    gateway._SESSION_STREAMS = gateway._FAIR_BROADCAST = None
    config = load_config(tmp_path / "data", port=8799)
    assert config.fair_broadcast and config.session_streams
    config.fair_broadcast = fair
    with TestClient(server.create_app(config)):
        assert (gateway._FAIR_BROADCAST, gateway._SESSION_STREAMS) == (fair, True)


def test_the_page_loads_nothing_from_outside_and_never_parses_data_as_html(client):
    page = client.get("/")
    assert page.status_code == 200 and "text/html" in page.headers["content-type"]
    assets = re.findall(r'(?:src|href)="([^"]+)"', page.text)
    assert "/static/js/main.js" in assets and "/static/app.css" in assets and "/static/sidebar.css" in assets
    assert all(a.startswith("/") or a.startswith("data:") for a in assets)
    modules = [f"/static/js/{p.name}" for p in sorted((Path(server.STATIC_DIR) / "js").glob("*.js"))]
    for asset in ("/static/app.css", "/static/sidebar.css", *modules):
        body = client.get(asset).text
        assert not re.search(r"https?://|//cdn", body), asset
        if asset.endswith(".js"):
            assert not re.search(r"innerHTML|outerHTML|insertAdjacentHTML|document\.write|eval\(", body), asset
            # Every module the page imports is one of its own, by a relative path.
            assert all(name.startswith("./") for name in re.findall(r'^import .* from "([^"]+)";', body, re.M)), asset


def test_connector_message_runs_a_turn_in_its_session(client, gateway):
    reply = client.post(
        "/api/connectors/connector_inbox/messages?wait=true",
        json={"text": "Remind me about the dentist", "sender": "phone"},
    )
    assert reply.status_code == 200 and "dentist" in reply.json()["reply"]
    events = gateway.manager.events
    assert events[0] == {
        "type": "connector_message",
        "sender": "phone",
        "content": "Remind me about the dentist",
        "session_id": "connector_inbox",
    }
    assert [e["type"] for e in events][-2:] == ["text", "done"]
    assert all(e["session_id"] == "connector_inbox" for e in events)

    listed = client.get("/api/sessions/connector_inbox/conversations").json()
    assert listed["current"] and [c["id"] for c in listed["conversations"]] == [listed["current"]]
    stored = client.get(f"/api/conversations/{listed['current']}/messages").json()["messages"]
    assert [m["role"] for m in stored if m["role"] in ("user", "assistant", "outcome")] == [
        "user",
        "assistant",
        "outcome",
    ]
    assert stored[0]["meta"] == {"sender": "phone", "connector": True, "mode": "standard"}  # as the UI showed it

    accepted = client.post("/api/connectors/connector_inbox/messages", json={"text": "again"})
    assert accepted.status_code == 202 and accepted.json()["session_id"] == "connector_inbox"


@pytest.mark.parametrize(
    "path, kwargs, status",
    [
        ("/api/connectors/session_main/messages", {"json": {"text": "hi"}}, 404),
        ("/api/connectors/nope/messages", {"json": {"text": "hi"}}, 404),
        ("/api/connectors/connector_inbox/messages", {"json": {"text": "   "}}, 400),
        ("/api/connectors/connector_inbox/messages", {"json": ["text"]}, 400),
        ("/api/connectors/connector_inbox/messages", {"json": {"text": "x" * 20_001}}, 413),
        (
            "/api/connectors/connector_inbox/messages",
            {"content": "text=hi", "headers": {"content-type": "text/plain"}},
            415,
        ),
        (
            "/api/connectors/connector_inbox/messages",
            {"json": {"text": "hi"}, "headers": {"origin": "http://evil.example"}},
            403,
        ),
    ],
)
def test_connector_endpoint_refuses_bad_requests(client, gateway, path, kwargs, status):
    assert client.post(path, **kwargs).status_code == status
    assert gateway.manager.events == []


def test_sessions_approvals_heartbeat_and_unknown_conversations(client):
    sessions = client.get("/api/sessions").json()["sessions"]
    assert [(s["session_id"], s["is_connector"]) for s in sessions] == [
        ("session_main", False),
        ("connector_inbox", True),
    ]
    assert client.get("/api/approvals").json() == {"approvals": []}
    heartbeat = client.get("/api/heartbeat")
    assert (
        heartbeat.status_code == 503
        if server.get_state()["heartbeat"] is None
        else heartbeat.json()["running"] is False
    )
    assert client.get("/api/conversations/conv_missing/messages").status_code == 404


async def test_a_beat_waits_for_the_turn_running_in_main(gateway, tmp_path):
    config = load_config(tmp_path / "data")
    config.demo_step_delay = 0.001
    await server.startup(config)
    try:
        from tavrin.core.session_registry import get_registry

        main = get_registry().get("session_main")
        async with main.lock:  # a user turn is running in Main
            beat = asyncio.ensure_future(host_turns.deliver_heartbeat("[HEARTBEAT] check in"))
            await until(lambda: gateway.manager.events)
            assert [e["type"] for e in gateway.manager.events] == ["heartbeat_prompt"]
            await settle()  # must not happen: the beat's turn starting while the user's holds the lock
            assert not beat.done() and not main.agent.is_processing
        await asyncio.wait_for(beat, 10)
        assert [e["type"] for e in gateway.manager.events][-2:] == ["text", "done"]
        assert all(e["session_id"] == "session_main" for e in gateway.manager.events)
    finally:
        await server.shutdown()


async def test_a_computer_use_task_is_recorded_in_the_session_whose_chat_runs_it(gateway, tmp_path):
    """Catches the journal losing track of the gateway's chat tasks: a tab's task stored in Main."""
    config = load_config(tmp_path / "data")
    config.demo_step_delay = 0.001
    await server.startup(config)
    try:
        from tavrin.core.session_registry import get_registry

        registry, store = get_registry(), server.get_state()["memory"]
        tab = await registry.create_session(display_name="Work")

        async def chat():
            async for _ in server.get_state()["cu_agent"].run_task("Open the settings"):
                pass

        task = asyncio.ensure_future(chat())
        gateway._active_tasks[tab.session_id] = task  # before it runs, as the gateway registers it
        await asyncio.wait_for(task, 10)
        stored = await store.get_messages(tab.conversation_id)
        assert stored[0]["meta"] == {"mode": "computer_use"} and stored[-1]["role"] == "outcome"
        assert await store.get_messages(registry.get("session_main").conversation_id) == []
    finally:
        await server.shutdown()


def test_static_files_exist():
    for name in ("index.html", "js/main.js", "app.css"):
        assert (Path(server.STATIC_DIR) / name).is_file()
