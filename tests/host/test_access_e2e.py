"""Who gets in, through a real server process: the WebSocket handshake and its tickets, cookies
that count for nothing, a data directory someone else prepared, log lines, idle sockets and slow
bodies, bounded state, and the one-line start-up errors."""

import json
import os
import select
import socket
import sqlite3
import stat
import subprocess
import sys
import threading
import time
from urllib.parse import quote, unquote

import httpx
import pytest
import websockets

from serverproc import recv_until, require_gateway
from tavrin.core.store import ConversationStore


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
            length = [
                int(line.split(b":")[1]) for line in top.lower().split(b"\r\n") if line.startswith(b"content-length:")
            ]
            if sep and len(rest) >= (length[0] if length else 0):
                break
        return answer


def rss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def bloat(count: int = 24) -> dict[str, str]:
    """The Cookie header a page on another port of this host can make the browser send here."""
    return {"Cookie": "; ".join(f"bloat{i}={'x' * 1000}" for i in range(count))}


async def test_websocket_handshake_needs_the_token_or_a_ticket_and_an_allowed_host(servers):
    """Catches a handshake let in by a cookie, a used ticket or the token in the address, and
    cookies that make the handshake fail."""
    server = servers()
    old_cookie = {"Cookie": f"tavrin_token_{server.port}={server.token}"}
    used = server.ticket()
    async with websockets.connect(f"{server.ws}?ticket={used}", origin=server.http):
        pass
    for url, headers in (
        (server.ws, {}),
        (server.ws, {"Authorization": "Bearer wrong"}),
        (server.ws, old_cookie),
        (f"{server.ws}?ticket={used}", {}),
        (f"{server.ws}?ticket=made-up", {}),
        (f"{server.ws}?token={server.token}", {}),
    ):
        with pytest.raises(websockets.InvalidStatus) as refused:
            async with websockets.connect(url, origin=server.http, additional_headers=headers):
                pass
        assert refused.value.response.status_code == 403, url
    for url, headers in (
        (server.ws, server.auth),
        (server.ws, {**server.auth, **bloat()}),
        (f"{server.ws}?ticket={server.ticket()}", bloat()),
    ):
        async with websockets.connect(url, origin=server.http, additional_headers=headers) as conn:
            await conn.send(json.dumps({"type": "ping"}))
            assert json.loads(await conn.recv()) == {"type": "pong"}
    assert httpx.get(server.http + "/", headers=bloat(40)).status_code == 200

    upgrade = (
        "GET /ws HTTP/1.1\nHost: {host}\nUpgrade: websocket\nConnection: Upgrade\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\nSec-WebSocket-Version: 13\n"
        f"Origin: {server.http}\nAuthorization: Bearer {server.token}\n"
    )
    assert raw_request(server, upgrade.format(host=f"rebind.example:{server.port}")).startswith(b"HTTP/1.1 400")
    assert raw_request(server, upgrade.format(host=f"127.0.0.1:{server.port}")).startswith(b"HTTP/1.1 101")


def test_a_huge_declared_body_is_refused_before_it_is_read(servers):
    server = servers()
    before = rss_kib(server.proc.pid)
    head = (
        f"POST /api/connectors/connector_inbox/messages HTTP/1.1\nHost: 127.0.0.1:{server.port}\n"
        f"Authorization: Bearer {server.token}\nContent-Type: application/json\n"
        f"Content-Length: {400 * 1024 * 1024}\n"
    )
    answer = raw_request(server, head, b'{"text": "' + b"x" * (1024 * 1024))
    assert answer.startswith(b"HTTP/1.1 413")
    assert json.loads(answer.split(b"\r\n\r\n", 1)[1])["detail"].startswith("Body too large")
    assert rss_kib(server.proc.pid) - before < 32 * 1024


async def test_the_files_of_the_data_directory_are_private_whatever_the_umask(servers, tmp_path):
    """Catches a store, journal, token or lock file that others can read."""
    previous = os.umask(0)
    try:
        first = servers(tmp_path / "data")
        async with first.connect() as conn:  # a turn, so that SQLite has written beside the store
            await conn.send(json.dumps({"type": "chat", "content": "hello"}))
            await recv_until(conn, lambda e: e["type"] == "done")
    finally:
        os.umask(previous)
    data = tmp_path / "data"
    assert stat.S_IMODE(data.stat().st_mode) == 0o700
    files = {p.name: stat.S_IMODE(p.stat().st_mode) for p in data.iterdir()}
    assert {"token", "server.lock", "conversations.sqlite3", "conversations.sqlite3-wal"} <= set(files)
    assert set(files.values()) == {0o600}, files
    assert (data / "token").read_text().strip() == first.token
    first.stop()
    assert servers(data).token == first.token


@pytest.mark.parametrize(
    "plant",
    [
        "server.lock",
        "token",
        "token.new",
        "conversations.sqlite3",
        "conversations.sqlite3-wal",
        "another user's",
        "open to all",
        "in a folder open to all",
        "another user's link",
    ],
)
def test_a_data_directory_prepared_by_someone_else(plant, servers, tmp_path):
    """Catches the server writing through a planted link, or using a directory others control."""
    data = tmp_path / "data"
    victim = tmp_path / "victims-file"
    victim.write_text("x" * 43 + "\n")  # looks like a token, too
    if plant == "in a folder open to all":
        (tmp_path / "shared").mkdir()
        os.chmod(tmp_path / "shared", 0o777)
        data = tmp_path / "shared" / "data"
    data.mkdir(mode=0o700)
    if plant == "another user's link":
        # Their link, to a folder of the victim's: the server would follow it and write there.
        if os.geteuid() != 0:
            pytest.skip("making a link another user's needs root")
        (tmp_path / "link").symlink_to(data)
        os.lchown(tmp_path / "link", 4242, 4242)
        data = tmp_path / "link"
        named, cause = str(data), "symbolic link"
    elif plant == "another user's":
        if os.geteuid() != 0:
            pytest.skip("making a directory another user's needs root")
        os.chown(data, 4242, 4242)
        named, cause = str(data), "belongs to another user"
    elif plant == "open to all":
        os.chmod(data, 0o777)
        named, cause = str(data), "can be changed by other users"
    elif plant == "in a folder open to all":
        named, cause = str(tmp_path / "shared"), "other users can change"
    else:
        (data / plant).symlink_to(victim)
        named, cause = str(data / plant), "symbolic link"
    result = start("--port", "0", "--data-dir", str(data))
    if plant == "token.new":
        # Nothing to refuse: the name is the server's own, so the link goes and a file takes its place.
        assert result.returncode is None
        server = servers(data)
        assert stat.S_IMODE((data / "token").lstat().st_mode) == 0o600 and not (data / "token.new").exists()
        assert httpx.get(server.http + "/api/sessions", headers=server.auth).status_code == 200
    else:
        lines = result.stderr.strip().splitlines()
        assert result.returncode == 1 and len(lines) == 1, result.stderr
        assert named in lines[0] and cause in lines[0]
    if plant == "another user's link":
        assert list((tmp_path / "data").iterdir()) == []
    assert victim.read_text() == "x" * 43 + "\n" and stat.S_IMODE(victim.stat().st_mode) == 0o644


def test_no_log_line_holds_the_token_or_a_ticket_however_it_was_written(servers, tmp_path):
    """Catches redaction that matches only the literal "token=" in one logger's lines."""
    server = servers(None, "--log-level", "info")
    token, host = server.token, f"Host: 127.0.0.1:{server.port}\n"
    encoded = "".join(f"%{ord(c):02X}" for c in token)
    upgrade = (
        "Upgrade: websocket\nConnection: Upgrade\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\n"
        f"Sec-WebSocket-Version: 13\nOrigin: {server.http}\n"
    )
    tickets = [server.ticket(), server.ticket()]
    answers = [
        raw_request(server, f"GET {target} HTTP/1.1\n{host}{extra}")
        for target, extra in [
            (f"/?%74oken={token}", ""),
            (f"/?tok%65n={token}", ""),
            (f"/api/sessions?%74oken={token}", ""),
            (f"/api/sessions?q={encoded}", ""),
            (f"/api/{quote(token)}/x", ""),
            (f"/ws?token={token}", upgrade),
            (f"/ws?%74oken={token}", upgrade),
            (f"/ws?x=1&token={encoded}", upgrade),
            (f"/ws?ticket={tickets[0]}", upgrade),
            (f"/ws?ticket={tickets[0]}", upgrade),  # the second is refused
            (f"/ws?tick%65t={tickets[1]}", upgrade),
        ]
    ]
    assert [a.split(b" ", 2)[1] for a in answers] == [b"200"] * 2 + [b"401"] * 3 + [b"403"] * 3 + [
        b"101",
        b"403",
        b"101",
    ]
    server.stop()
    log = (tmp_path / "server0.log").read_text() + "".join(server.stdout)
    assert log.count("[hidden]") >= 11  # every request was logged, without its secret
    for secret in (token, *tickets):
        text = log
        for _ in range(3):
            assert secret not in text
            text = unquote(text)


def test_idle_sockets_and_slow_bodies_cannot_hold_the_server(servers):
    """Catches connections that stay open without a request, trickled bodies that are never cut,
    and head limits that a single write gets around."""
    server = servers()
    host = f"Host: 127.0.0.1:{server.port}\r\n"
    idle = [socket.create_connection(("127.0.0.1", server.port)) for _ in range(200)]
    idle[0].sendall(b"GET / HTTP/1.1\r\n" + host.encode())  # half a head, and then nothing
    post = (
        f"POST /api/connectors/connector_inbox/messages HTTP/1.1\r\n{host}Authorization: Bearer {server.token}"
        "\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{"
    )
    answered = {}

    def trickle(name, head):
        with socket.create_connection(("127.0.0.1", server.port), timeout=60) as sock:
            sock.sendall(head.encode())
            answer = b""
            while not select.select([sock], [], [], 1)[0]:
                sock.sendall(b" ")  # one byte a second
            while chunk := sock.recv(65536):
                answer += chunk
            answered[name] = answer

    threads = [
        threading.Thread(target=trickle, args=("with the token", post)),
        threading.Thread(target=trickle, args=("without", post.replace(server.token, "wrong"))),
    ]
    for thread in threads:
        thread.start()
    try:
        # Meanwhile the server answers everyone else.
        assert httpx.get(server.http + "/api/sessions", headers=server.auth).status_code == 200
        big = raw_request(server, f"GET / HTTP/1.1\n{host}X-Big: {'a' * 60 * 1024}\n")
        assert big.startswith(b"HTTP/1.1 431") and b"x-frame-options: DENY" in big
        for sock in idle:
            sock.settimeout(60)
            assert sock.recv(1) == b""  # closed by the server
    finally:
        for sock in idle:
            sock.close()
        for thread in threads:
            thread.join(90)
    assert answered["with the token"].startswith(b"HTTP/1.1 408")
    assert b"x-frame-options: DENY" in answered["with the token"]
    # Refused at once without the token; the unfinished body is cut all the same.
    assert answered["without"].startswith(b"HTTP/1.1 401")


def stuck_client(server) -> socket.socket:
    """A client that completes the handshake with a tiny receive buffer and then never reads."""
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.connect(("127.0.0.1", server.port))
    sock.sendall(
        (
            f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\nOrigin: {server.http}\r\n"
            f"Authorization: Bearer {server.token}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"
        ).encode()
    )
    assert sock.recv(12) == b"HTTP/1.1 101"
    return sock


async def test_a_stuck_client_holds_up_no_broadcast_and_no_client_piles_up_chats(servers):
    """Catches a broadcast that waits for a client that stopped reading (another client's tab rename,
    and its turn, came only once the stuck one was let go, 10 s later), and chats that pile up without
    bound from one connection."""
    server = servers()
    log = lambda: server.log_path.read_text(errors="replace")  # noqa: E731
    stuck = stuck_client(server)
    try:
        async with server.connect(max_size=None) as healthy:
            # Approvals of a huge target fill the stuck client's buffers: each is broadcast to everyone.
            for _ in range(6):
                await healthy.send(json.dumps({"type": "new_session"}))
                sid = (await recv_until(healthy, lambda e: e["type"] == "session_created"))[-1]["session"]["session_id"]
                await healthy.send(
                    json.dumps({"type": "chat", "session_id": sid, "content": f"delete {'x' * 900_000}.pdf"})
                )
                await recv_until(healthy, lambda e: e["type"] == "tool_approval_needed" and "seq" not in e)
            await healthy.send(json.dumps({"type": "new_session"}))
            sid = (await recv_until(healthy, lambda e: e["type"] == "session_created"))[-1]["session"]["session_id"]
            await healthy.send(json.dumps({"type": "chat", "session_id": sid, "content": "hello there"}))
            await recv_until(healthy, lambda e: e["type"] == "session_renamed" and e["session_id"] == sid)
            assert "Client too slow" not in log()  # the stuck client, still within its bound, held nobody up
            await recv_until(healthy, lambda e: e["type"] == "done" and e["session_id"] == sid)

            # One connection, many chats waiting behind a stalled fallback agent: past the bound (32, the
            # six turns still waiting for their approval included), refused.
            for i in range(40):
                await healthy.send(json.dumps({"type": "chat", "session_id": f"nowhere-{i}", "content": "/stall"}))
            refused = [
                e
                for e in await recv_until(healthy, lambda e: e.get("session_id") == "nowhere-39")
                if e["type"] == "error"
            ]
            assert {e["session_id"] for e in refused} == {f"nowhere-{i}" for i in range(32 - 6, 40)}
            await healthy.send(json.dumps({"type": "ping"}))
            await recv_until(healthy, lambda e: e["type"] == "pong")
        deadline = time.monotonic() + 60
        while "Client too slow" not in log():  # it was really stuck: let go at its bound
            assert time.monotonic() < deadline, log()[-2000:]
            time.sleep(0.2)
    finally:
        stuck.close()


def test_the_readme_connector_command_shows_the_token_on_no_command_line(servers, tmp_path):
    """Catches an example that puts the token in argv, which every local user can read in /proc."""
    import re
    import shutil
    from pathlib import Path

    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    [command] = [block for block in re.findall(r"```sh\n(.*?)```", readme, re.S) if "connector_inbox" in block]
    server = servers()
    command = command.replace("~/.tavrin", str(server.data_dir)).replace("8765", str(server.port))
    # Every program the command runs records its arguments first.
    wrappers, argv_log = tmp_path / "bin", tmp_path / "argv.log"
    wrappers.mkdir()
    names = set(re.findall(r"(?:^|\|)\s*([a-z]+)\s", command, re.M))
    assert {"sed", "curl"} <= names
    for name in names:
        real = shutil.which(name)
        if real is None:
            pytest.skip(f"no {name} here")
        (wrappers / name).write_text(f'#!/bin/sh\nprintf "%s\\n" "$0 $*" >> {argv_log}\nexec {real} "$@"\n')
        (wrappers / name).chmod(0o755)
    # The programs are the user's own, never run under the sanitizer the suite may be preloading.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.endswith("SAN_OPTIONS")}
    env["PATH"] = f"{wrappers}:{os.environ['PATH']}"
    result = subprocess.run(["sh", "-c", command], capture_output=True, text=True, timeout=60, env=env)
    assert json.loads(result.stdout)["accepted"] is True, result
    recorded = argv_log.read_text()
    assert "curl" in recorded and "sed" in recorded and server.token not in recorded


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


class Started:
    """A server that started when it was expected not to (it is stopped at once)."""

    returncode = None
    stderr = ""


def start(*args: str):
    """Run the command until it stops, or until it says it is running (then stop it)."""
    proc = subprocess.Popen(
        [sys.executable, "-m", "tavrin.gateway.server", "--log-level", "warning", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        line = proc.stdout.readline()
        if "running at" in line:
            return Started()
        proc.wait(60)
        return subprocess.CompletedProcess(proc.args, proc.returncode, line + proc.stdout.read(), proc.stderr.read())
    finally:
        if proc.poll() is None:
            proc.terminate()
            proc.wait(10)
        proc.stdout.close()
        proc.stderr.close()


def read_only_dir(tmp_path):
    if os.geteuid() != 0:
        path = tmp_path / "read-only"
        path.mkdir(mode=0o500)
        return path
    # Permission bits do not stop root; a folder of the kernel's own does.
    if not os.path.isdir("/sys/kernel"):
        pytest.skip("no read-only folder to try")
    return "/sys/kernel"


@pytest.mark.parametrize(
    "case",
    [
        "damaged store",
        "store missing a table",
        "store of a newer version",
        "token not ASCII",
        "token too short",
        "data dir is a file",
        "parent missing",
        "read-only",
        "port in use",
        "second server",
        "--no-token on the network",
    ],
)
def test_start_up_errors_are_one_line_and_a_failure(case, tmp_path, servers):
    data = tmp_path / "data"
    args = ["--port", "0", "--data-dir", str(data)]
    code, named, cause = 1, str(data), None
    if case == "damaged store":
        data.mkdir()
        (data / "conversations.sqlite3").write_bytes(b"these are not the pages of a database" * 200)
        named, cause = str(data / "conversations.sqlite3"), "damaged"
    elif case in ("store missing a table", "store of a newer version"):
        data.mkdir()
        if case == "store missing a table":  # sound pages, but not the tables this version uses
            ConversationStore(data / "conversations.sqlite3").close()
        db = sqlite3.connect(data / "conversations.sqlite3")
        if case == "store missing a table":
            db.execute("DROP TABLE turns")
            cause = "the table turns is missing"
        else:
            db.execute("PRAGMA user_version = 99")
            cause = "newer version"
        db.commit()
        db.close()
        named = str(data / "conversations.sqlite3")
    elif case in ("token not ASCII", "token too short"):
        data.mkdir()
        (data / "token").write_bytes("tökén-".encode() * 10 if case == "token not ASCII" else b"abc123\n")
        named, cause = str(data / "token"), "not ASCII" if case == "token not ASCII" else "too few"
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
    if data.is_dir():
        for path in data.iterdir():
            path.chmod(0o600)  # or the server first says it made them private
    result = start(*args)
    lines = result.stderr.strip().splitlines()
    assert result.returncode == code and len(lines) == 1, result.stderr
    assert lines[0].startswith("tavrin-gateway: error: ") and named in lines[0] and cause in lines[0]
    assert "running at" not in result.stdout
