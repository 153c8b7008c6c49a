"""The sidebar's routes: the conversations of every tab a page at a time, search, rename, delete
with undo and export, in-process with a recording stand-in for the gateway."""

import json
from urllib.parse import unquote

import pytest
from fastapi.testclient import TestClient

from tavrin.config import load_config
from tavrin.core.session_registry import get_registry
from tavrin.gateway import server

FOREIGN = {"origin": "http://evil.example"}


@pytest.fixture
def client(gateway, tmp_path):
    config = load_config(tmp_path / "data", port=8799)
    config.demo_step_delay = 0.001
    with TestClient(server.create_app(config), base_url="http://127.0.0.1:8799") as c:
        c.store = server.get_state()["memory"]
        c.call = lambda fn, *args: c.portal.call(fn, *args)
        yield c


def conversation(client, title, *texts, session_id="session_abc"):
    conv = client.call(client.store.create_conversation, session_id, title)
    for text in texts:
        client.call(client.store.add_message, conv, "user", text)
    return conv


def events(gateway, kind):
    return [e for e in gateway.manager.events if e["type"] == kind]


def test_pages_reach_every_conversation_and_name_its_tab(client):
    """Catches a cap of 50, a cursor that repeats or skips, a tab left unnamed, and a bad cursor
    that fails as a server error."""
    made = {conversation(client, f"c{i}", f"text {i}") for i in range(120)}
    main = get_registry().get("session_main").conversation_id
    client.call(client.store.add_message, main, "user", "in main")
    seen, cursor = [], None
    while True:
        page = client.get("/api/conversations", params={"cursor": cursor} if cursor else {}).json()
        assert len(page["conversations"]) <= 50
        seen += page["conversations"]
        cursor = page["next"]
        if cursor is None:
            break
    assert {c["id"] for c in seen} == made | {main} and len(seen) == 121
    assert seen[0]["tab"] == {
        "session_id": "session_main",
        "name": "Main",
        "icon": get_registry().get("session_main").icon,
    }
    assert seen[1]["tab"] is None  # its tab is closed (here: never existed)
    assert client.get("/api/conversations?cursor=yesterday~conv_x").status_code == 400


@pytest.mark.parametrize("q", ['"', "AND OR", "NEAR(", "title:*", "((", "\u202e", "'; DROP TABLE messages; --"])
def test_search_takes_any_text(client, q):
    """Catches query text that reaches FTS5 as syntax through the route (a 500)."""
    conversation(client, "Lisbon", "a pelican on the roof")
    r = client.get("/api/conversations", params={"q": q})
    assert r.status_code == 200 and r.json()["conversations"] == []


def test_search_gives_the_matching_words_as_text_pieces(client):
    conversation(client, "Roof", "There is a <b>pelican</b> on the roof")
    conversation(client, "Other", "nothing here")
    found = client.get("/api/conversations", params={"q": "pelic"}).json()["conversations"]
    assert [c["title"] for c in found] == ["Roof"]
    assert ["pelican", True] in found[0]["snippet"]
    assert "".join(t for t, _ in found[0]["snippet"]) == "There is a <b>pelican</b> on the roof"
    assert len(client.get("/api/conversations", params={"q": "  "}).json()["conversations"]) == 2  # blank: all


def test_rename_reaches_every_window_and_refuses_bad_requests(client, gateway):
    conv = conversation(client, "Old", "hello")
    assert client.patch(f"/api/conversations/{conv}", json={"title": "  New\nname "}).json()["title"] == "New name"
    assert events(gateway, "conversation_renamed") == [
        {"type": "conversation_renamed", "conversation_id": conv, "title": "New name"}
    ]
    for body, status in [({"title": " "}, 400), ({"title": 3}, 400), (["x"], 400)]:
        assert client.patch(f"/api/conversations/{conv}", json=body).status_code == status
    assert client.patch("/api/conversations/conv_nope", json={"title": "x"}).status_code == 404
    assert client.patch(f"/api/conversations/{conv}", json={"title": "x"}, headers=FOREIGN).status_code == 403
    assert client.call(client.store.get_conversation, conv)["title"] == "New name"


def test_deleting_the_conversation_a_tab_is_on_and_undoing_it(client, gateway):
    """Catches a delete that loses the conversation before its undo ran out, a tab left on a
    deleted conversation, an undo that leaves the tab on the new one, and a delete from another
    site's page."""
    main = get_registry().get("session_main")
    conv = main.conversation_id
    client.call(client.store.add_message, conv, "user", "keep this")
    assert client.delete(f"/api/conversations/{conv}", headers=FOREIGN).status_code == 403

    gone = client.delete(f"/api/conversations/{conv}").json()
    new = gone["new_conversations"]["session_main"]
    assert main.conversation_id == new != conv and gone["undo_seconds"] >= 8
    assert {
        "type": "conversation_started",
        "conversation_id": new,
        "session_id": "session_main",
    } in gateway.manager.events
    assert client.get("/api/conversations").json()["conversations"] == []
    assert client.get(f"/api/conversations/{conv}/messages").status_code == 404
    assert client.delete(f"/api/conversations/{conv}").status_code == 404

    assert client.post(f"/api/conversations/{conv}/restore").json()["sessions"] == ["session_main"]
    assert main.conversation_id == conv
    resumed = events(gateway, "conversation_resumed")[-1]
    assert resumed["session_id"] == "session_main" and [m["content"] for m in resumed["messages"]] == ["keep this"]
    assert [c["id"] for c in client.get("/api/conversations").json()["conversations"]] == [conv]
    assert client.call(client.store.get_conversation, new) is None  # the empty stand-in is tidied away
    assert client.post(f"/api/conversations/{conv}/restore").status_code == 404


def test_an_undo_leaves_a_tab_that_went_on_where_it_is(client):
    """Catches an undo that throws away what the user wrote in the tab's new conversation."""
    main = get_registry().get("session_main")
    conv = main.conversation_id
    client.call(client.store.add_message, conv, "user", "old")
    new = client.delete(f"/api/conversations/{conv}").json()["new_conversations"]["session_main"]
    client.call(client.store.add_message, new, "user", "typed since")
    assert client.post(f"/api/conversations/{conv}/restore").json()["sessions"] == []
    assert main.conversation_id == new
    assert {c["id"] for c in client.get("/api/conversations").json()["conversations"]} == {conv, new}


def test_a_conversation_with_a_running_turn_is_not_deleted(client):
    class Running:
        def done(self):
            return False

    main = get_registry().get("session_main")
    conv = main.conversation_id
    client.call(client.store.add_message, conv, "user", "working on it")
    main.host_tasks.add(Running())
    try:
        assert client.delete(f"/api/conversations/{conv}").status_code == 409
    finally:
        main.host_tasks.clear()
    assert main.conversation_id == conv and client.call(client.store.get_conversation, conv) is not None


def test_exports_hold_the_whole_conversation(client):
    """Catches an export cut to the latest rows, a step's data missing from the JSON, a fence a
    result can close, and a file name that leaves the download folder."""
    conv = conversation(client, "../../etc/Café plans", *[f"m{i}" for i in range(210)])
    client.call(
        client.store.add_message,
        conv,
        "tool_call",
        "run_command",
        {"id": "t1", "tool": "run_command", "arguments": {"command": "ls"}},
    )
    client.call(
        client.store.add_message,
        conv,
        "tool_result",
        "run_command",
        {"id": "t1", "tool": "run_command", "result": "```\nnot the end\n```"},
    )

    r = client.get(f"/api/conversations/{conv}/export?format=json")
    assert r.headers["content-type"].startswith("application/json")
    disposition = r.headers["content-disposition"]
    assert disposition.startswith('attachment; filename="etc-Cafe-plans.json"')
    assert unquote(disposition.split("UTF-8''")[1]) == "etc-Café-plans.json"
    data = json.loads(r.text)
    assert len(data["messages"]) == 212 and data["messages"][0]["content"] == "m0"
    assert all({"role", "content", "created_at"} <= set(m) for m in data["messages"])
    assert data["messages"][-2]["meta"]["arguments"] == {"command": "ls"}

    md = client.get(f"/api/conversations/{conv}/export?format=md")
    assert md.headers["content-type"].startswith("text/markdown")
    text = md.text
    assert text.startswith("# ../../etc/Café plans\n") and "\nm0\n" in text and "\nm209\n" in text
    assert "\n````\n```\nnot the end\n```\n````" in text
    assert client.get(f"/api/conversations/{conv}/export?format=pdf").status_code == 400
    assert client.get("/api/conversations/conv_nope/export").status_code == 404


@pytest.mark.parametrize(
    "query",
    [
        "/api/conversations/{c}/messages?before=9223372036854775808",
        "/api/conversations/{c}/messages?before=-9223372036854775809",
        "/api/conversations/{c}/messages?before=-1",
        "/api/conversations/{c}/messages?before=12345678901234567890",
        "/api/conversations/{c}/messages?limit=99999999999999999999",
        "/api/conversations/{c}/messages?limit=ten",
        "/api/conversations?limit=-9223372036854775809",
        "/api/conversations?cursor=nan~conv_x",
        "/api/sessions/session_abc/conversations?limit=9223372036854775808",
    ],
)
def test_numbers_out_of_range_are_bad_requests(client, query):
    # Catches an integer beyond 64 bits (or not a number) reaching SQLite and answering 500.
    conv = conversation(client, "t", "hello")
    answer = client.get(query.format(c=conv))
    assert answer.status_code == 400 and answer.json()["detail"]
    edge = client.get(f"/api/conversations/{conv}/messages?before=9223372036854775807&limit=-5")
    assert edge.status_code == 200
