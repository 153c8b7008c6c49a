"""Who gets in, in-process: the token, the Host allow-list, the security headers, the connector's limits."""

import socket

import pytest
from fastapi.testclient import TestClient

from tavrin.config import load_config
from tavrin.gateway import routes, server

TOKEN = "good-token-" + "x" * 32
BASE = "http://127.0.0.1:8799"
INBOX = "/api/connectors/connector_inbox/messages"


@pytest.fixture
def app(gateway, tmp_path):
    config = load_config(tmp_path / "data", port=8799)
    config.demo_step_delay = 0.001
    config.token = TOKEN
    return server.create_app(config)


@pytest.fixture
def anonymous(app):
    with TestClient(app, base_url=BASE, follow_redirects=False) as c:
        yield c


@pytest.fixture
def client(app):
    with TestClient(app, base_url=BASE, headers={"Authorization": f"Bearer {TOKEN}"}) as c:
        yield c


@pytest.mark.parametrize(
    "headers, status",
    [
        ({}, 401),
        ({"Authorization": "Bearer wrong"}, 401),
        ({"Authorization": f"Bearer {TOKEN}x"}, 401),
        ({"Authorization": f"Basic {TOKEN}"}, 401),
        ({"Authorization": "Bearer "}, 401),
        ({"Cookie": f"tavrin_token_8799={TOKEN}"}, 401),  # cookies count for nothing, the old one included
        ({"Authorization": f"Bearer {TOKEN}"}, 200),
        ({"Authorization": f"bearer  {TOKEN}"}, 200),
        ({"Authorization": f"Bearer {TOKEN}", "Cookie": "tavrin_token_8799=tossed; x=" + "y" * 4000}, 200),
    ],
)
@pytest.mark.parametrize(
    "path", ["/api/sessions", "/api/nowhere", INBOX + "?token=" + TOKEN, "/api/sessions?%74oken=" + TOKEN]
)
def test_token_matrix(anonymous, gateway, headers, status, path):
    """Catches a route that lets in without the header, or a credential taken from anywhere else."""
    if path.startswith(INBOX):  # a token in the address is no credential
        response = anonymous.post(path, json={"text": "hi"}, headers=headers)
        status = 202 if status == 200 else status
    else:
        response = anonymous.get(path, headers=headers)
        status = 404 if status == 200 and path == "/api/nowhere" else status
    assert response.status_code == status
    if status == 401:
        assert response.json() == {"detail": "Missing or wrong access token"}
        assert gateway.manager.events == []


@pytest.mark.parametrize(
    "path",
    [
        "/",
        f"/?token={TOKEN}",
        f"/?tok%65n={TOKEN}",
        f"//evil.example/?token={TOKEN}",
        f"/%2F%2Fevil.example/?token={TOKEN}",
        "/static",
        "//static/js/main.js",
    ],
)
def test_the_page_is_public_holds_nothing_and_no_address_signs_in(anonymous, path):
    """Catches a login through the address (a cookie set, a redirect off this server) or data in the shell."""
    response = anonymous.get(path)
    assert response.status_code in (200, 401, 404), response.status_code
    location = response.headers.get("location", "")
    assert location == "" or location.startswith(BASE + "/") or (location.startswith("/") and location[1:2] != "/")
    cookies = response.headers.get_list("set-cookie")
    assert all(TOKEN not in c for c in cookies) and TOKEN not in response.text
    if path == "/":  # the page deletes the cookie earlier versions kept the token in
        assert cookies == ["tavrin_token_8799=; Max-Age=0; Path=/; HttpOnly; SameSite=Strict"]
        assert "session_main" not in response.text
    assert anonymous.get("/api/sessions").status_code == 401


def test_ws_tickets_are_asked_for_with_the_token(anonymous, client):
    """Catches a ticket handed out without the token, or one that is the token itself."""
    assert anonymous.post("/api/ws-ticket").status_code == 401
    assert client.get("/api/ws-ticket").status_code == 405
    tickets = {client.post("/api/ws-ticket").json()["ticket"] for _ in range(3)}
    assert len(tickets) == 3 and TOKEN not in tickets and all(len(t) >= 32 for t in tickets)


@pytest.mark.parametrize(
    "host, allowed",
    [
        ("127.0.0.1:8799", True),
        ("localhost:8799", True),
        ("LOCALHOST:8799", True),
        ("[::1]:8799", True),
        ("evil.example:8799", False),
        ("rebind.example:8799", False),
        ("127.0.0.1:8800", False),
        ("127.0.0.1", False),
        ("localhost.evil.example:8799", False),
        ("", False),
    ],
)
def test_host_allow_list(client, host, allowed):
    for path in ("/", "/api/health", "/static/app.css"):
        response = client.get(path, headers={"Host": host})
        assert (response.status_code != 400) is allowed, (path, response.status_code)


@pytest.mark.parametrize(
    "listen, allowed",
    [
        ("192.168.7.20", ["192.168.7.20"]),
        ("fd00::7", ["[fd00::7]"]),
        ("0.0.0.0", [socket.gethostname().lower(), "localhost"]),  # every name of the machine
    ],
)
def test_the_host_given_on_the_command_line_is_allowed(gateway, tmp_path, listen, allowed):
    config = load_config(tmp_path / "data", host=listen, port=8799)
    with TestClient(server.create_app(config), base_url=BASE) as c:
        for name in allowed:
            assert c.get("/api/health", headers={"Host": f"{name}:8799"}).status_code == 200
        assert c.get("/api/health", headers={"Host": "192.168.7.21:8799"}).status_code == 400


API_GETS = [
    "/api/health",
    "/api/sessions",
    "/api/sessions/session_main/conversations",
    "/api/conversations/missing/messages",
    "/api/approvals",
    "/api/heartbeat",
]


@pytest.mark.parametrize("path", ["/", "/static/js/main.js", "/static/missing.css", *API_GETS])
def test_security_headers_on_every_response(client, anonymous, path):
    for response in (client.get(path), anonymous.get(path), client.get(path, headers={"Host": "evil.example"})):
        headers = response.headers
        csp = {d.strip().split(" ")[0]: d.strip() for d in headers["content-security-policy"].split(";")}
        assert csp["frame-ancestors"] == "frame-ancestors 'none'"
        assert csp["connect-src"] == "connect-src 'self'"
        assert csp["default-src"] == "default-src 'none'"
        assert "'unsafe-inline'" not in headers["content-security-policy"]
        assert headers["x-frame-options"] == "DENY"
        assert headers["x-content-type-options"] == "nosniff"
        assert headers["referrer-policy"] == "no-referrer"
        if path == "/" or path.startswith("/api/"):
            assert headers["cache-control"] == "no-store"
    assert "http-equiv" not in client.get("/").text  # the policy is a header, not a <meta> tag


@pytest.mark.parametrize("refusal", ["busy", "failure"])
def test_refusals_carry_the_security_headers(app, monkeypatch, refusal):
    """Catches a 503 or 500 written around the guard, without the headers every other answer has."""
    from tavrin.gateway import security

    if refusal == "busy":
        monkeypatch.setattr(security, "MAX_REQUESTS", 0)
        path, status = "/api/sessions", 503
    else:

        async def broken():
            raise RuntimeError("boom")

        app.add_api_route("/api/broken", broken)
        path, status = "/api/broken", 500
    with TestClient(
        app, base_url=BASE, raise_server_exceptions=False, headers={"Authorization": f"Bearer {TOKEN}"}
    ) as c:
        response = c.get(path)
    assert response.status_code == status
    assert response.headers["x-frame-options"] == "DENY"
    assert "frame-ancestors 'none'" in response.headers["content-security-policy"]


@pytest.mark.parametrize(
    "kwargs, status, detail",
    [
        (
            {"content": b"{" + b" " * (1024 * 1024), "headers": {"content-type": "application/json"}},
            413,
            "Body too large",
        ),
        (
            {
                "content": iter([b'{"text": "', b"x" * (1024 * 1024), b'"}']),
                "headers": {"content-type": "application/json"},
            },
            413,
            "Body too large",
        ),
        ({"content": b"[" * 100_000 + b"]" * 100_000, "headers": {"content-type": "application/json"}}, 400, "nested"),
        ({"content": b'{"text": "hi"', "headers": {"content-type": "application/json"}}, 400, "not valid JSON"),
        ({"content": b'{"text": "\xff"}', "headers": {"content-type": "application/json"}}, 400, "not valid JSON"),
        ({"content": b"", "headers": {"content-type": "application/json"}}, 400, "not valid JSON"),
    ],
)
def test_connector_bodies_are_bounded_and_checked(client, gateway, kwargs, status, detail):
    response = client.post(INBOX, **kwargs)
    assert response.status_code == status and detail in response.json()["detail"]
    assert gateway.manager.events == []


def test_a_busy_connector_session_queues_a_few_messages_then_answers_429(client, gateway, monkeypatch):
    from tavrin.core.session_registry import get_registry

    inbox = get_registry().get("connector_inbox")
    # "/stall" keeps the first turn running, so every later message waits for the session.
    assert client.post(INBOX, json={"text": "/stall"}).status_code == 202
    [running] = inbox.host_tasks
    accepted = [
        client.post(INBOX, json={"text": f"message {i}"}).status_code
        for i in range(routes.MAX_QUEUED_CONNECTOR_MESSAGES)
    ]
    assert accepted == [202] * routes.MAX_QUEUED_CONNECTOR_MESSAGES
    refused = client.post(INBOX, json={"text": "one too many"})
    assert refused.status_code == 429 and "Too many messages" in refused.json()["detail"]

    # A waiting connector is answered when its own wait runs out; the message stays queued.
    monkeypatch.setattr(routes, "CONNECTOR_WAIT_SECONDS", 0.05)
    next(t for t in inbox.host_tasks if t is not running).cancel()  # make room for one more
    waited = client.post(INBOX + "?wait=true", json={"text": "are you there?"})
    assert waited.status_code == 202 and waited.json()["finished"] is False
    assert sum(not t.done() for t in inbox.host_tasks) == routes.MAX_QUEUED_CONNECTOR_MESSAGES + 1
