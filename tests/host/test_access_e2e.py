"""Who gets in, through a real server process: the WebSocket handshake, raw request bodies, bounded
state, and the one-line start-up errors."""

import json
import os
import socket
import stat
import subprocess
import sys

import httpx
import pytest
import websockets

from serverproc import recv_until, require_gateway


@pytest.fixture(autouse=True)
def complete_gateway():
    require_gateway()


def raw_request(server, head: str, body: bytes = b"") -> bytes:
    """Send a hand-made request; returns the answer's head and its body (as far as it is declared)."""
    with socket.create_connection(("127.0.0.1", server.port), timeout=15) as sock:
        sock.sendall(head.replace("\n", "\r\n").encode() + b"\r\n" + body)
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
            top, sep, rest = answer.partition(b"\r\n\r\n")
            length = [int(line.split(b":")[1]) for line in top.lower().split(b"\r\n")
                      if line.startswith(b"content-length:")]
            if sep and len(rest) >= (length[0] if length else 0):
                break
        return answer


def rss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


async def test_websocket_handshake_needs_the_token_and_an_allowed_host(servers):
    server = servers()
    cookie = {"Cookie": f"tavrin_token_{server.port}={server.token}"}
    for headers in ({}, {"Authorization": "Bearer wrong"}, {"Cookie": f"tavrin_token_{server.port}=wrong"}):
        with pytest.raises(websockets.InvalidStatus) as refused:
            async with websockets.connect(server.ws, origin=server.http, additional_headers=headers):
                pass
        assert refused.value.response.status_code == 403
    for headers in (server.auth, cookie):
        async with websockets.connect(server.ws, origin=server.http, additional_headers=headers) as conn:
            await conn.send(json.dumps({"type": "ping"}))
            assert json.loads(await conn.recv()) == {"type": "pong"}

    upgrade = ("GET /ws HTTP/1.1\nHost: {host}\nUpgrade: websocket\nConnection: Upgrade\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\nSec-WebSocket-Version: 13\n"
               f"Origin: {server.http}\nAuthorization: Bearer {server.token}\n")
    assert raw_request(server, upgrade.format(host=f"rebind.example:{server.port}")).startswith(b"HTTP/1.1 400")
    assert raw_request(server, upgrade.format(host=f"127.0.0.1:{server.port}")).startswith(b"HTTP/1.1 101")


def test_a_huge_declared_body_is_refused_before_it_is_read(servers):
    server = servers()
    before = rss_kib(server.proc.pid)
    head = (f"POST /api/connectors/connector_inbox/messages HTTP/1.1\nHost: 127.0.0.1:{server.port}\n"
            f"Authorization: Bearer {server.token}\nContent-Type: application/json\n"
            f"Content-Length: {400 * 1024 * 1024}\n")
    answer = raw_request(server, head, b'{"text": "' + b"x" * (1024 * 1024))
    assert answer.startswith(b"HTTP/1.1 413")
    assert json.loads(answer.split(b"\r\n\r\n", 1)[1])["detail"].startswith("Body too large")
    assert rss_kib(server.proc.pid) - before < 32 * 1024


def test_the_token_file_is_private_and_kept_across_restarts(servers, tmp_path):
    first = servers(tmp_path / "data")
    token_file = tmp_path / "data" / "token"
    assert stat.S_IMODE(token_file.stat().st_mode) == 0o600
    assert token_file.read_text().strip() == first.token
    first.stop()
    assert servers(tmp_path / "data").token == first.token


def test_no_token_lets_everyone_in_on_loopback(servers):
    server = servers(None, "--no-token")
    assert server.token is None and server.address == server.http + "/"
    assert httpx.get(server.http + "/api/sessions").status_code == 200
    assert httpx.get(server.http + "/api/sessions", headers={"Host": "evil.example"}).status_code == 400


async def test_sessions_are_capped_and_the_inbox_cannot_be_closed(servers):
    from tavrin.core.session_registry import MAX_USER_SESSIONS

    server = servers()
    async with server.connect() as conn:
        await conn.send(json.dumps({"type": "close_session", "session_id": "connector_inbox"}))
        closed = await recv_until(conn, lambda e: e["type"] == "session_closed")
        assert closed[-1] == {"type": "session_closed", "session_id": "connector_inbox", "success": False}
        for _ in range(MAX_USER_SESSIONS):
            await conn.send(json.dumps({"type": "new_session"}))
            await recv_until(conn, lambda e: e["type"] == "session_created")
        # One more is refused: the gateway ends the asking connection, the sessions stay as they were.
        await conn.send(json.dumps({"type": "new_session"}))
        with pytest.raises(websockets.ConnectionClosed):
            await recv_until(conn, lambda e: e["type"] == "session_created")
    async with server.connect() as conn:
        await conn.send(json.dumps({"type": "list_sessions"}))
        sessions = (await recv_until(conn, lambda e: e["type"] == "sessions_list"))[-1]["sessions"]
        assert len(sessions) == MAX_USER_SESSIONS + 2 and sessions[1]["session_id"] == "connector_inbox"


# -- start-up errors -------------------------------------------------------------------------


def start(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "tavrin.gateway.server", "--log-level", "warning", *args],
                          capture_output=True, text=True, timeout=60)


def read_only_dir(tmp_path):
    if os.geteuid() != 0:
        path = tmp_path / "read-only"
        path.mkdir(mode=0o500)
        return path
    # Permission bits do not stop root; a folder of the kernel's own does.
    if not os.path.isdir("/sys/kernel"):
        pytest.skip("no read-only folder to try")
    return "/sys/kernel"


@pytest.mark.parametrize("case", ["damaged store", "data dir is a file", "parent missing", "read-only",
                                  "port in use", "second server", "--no-token on the network"])
def test_start_up_errors_are_one_line_and_a_failure(case, tmp_path, servers):
    data = tmp_path / "data"
    args = ["--port", "0", "--data-dir", str(data)]
    code, named, cause = 1, str(data), None
    if case == "damaged store":
        data.mkdir()
        (data / "conversations.sqlite3").write_bytes(b"these are not the pages of a database" * 200)
        named, cause = str(data / "conversations.sqlite3"), "damaged"
    elif case == "data dir is a file":
        data.write_text("oops")
        cause = "not a directory"
    elif case == "parent missing":
        data = tmp_path / "no" / "such" / "data"
        args[3], named, cause = str(data), str(data), "missing"
    elif case == "read-only":
        named = str(read_only_dir(tmp_path))
        args[3], cause = named, "not writable"
    elif case == "port in use":
        taken = socket.socket()
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        args[1], named, cause = str(port), f"127.0.0.1:{port}", "already in use"
    elif case == "second server":
        servers(data)
        cause = "another Tavrin server"
    else:
        args += ["--no-token", "--host", "0.0.0.0"]
        code, named, cause = 2, "--no-token", "0.0.0.0"
    result = start(*args)
    lines = result.stderr.strip().splitlines()
    assert result.returncode == code and len(lines) == 1, result.stderr
    assert lines[0].startswith("tavrin-gateway: error: ") and named in lines[0] and cause in lines[0]
    assert "running at" not in result.stdout
