"""What the page is shown of a pending file write before the user approves it: what the file
holds now, whether it exists, and the same refusals as the write itself."""

import os

import pytest
from fastapi.testclient import TestClient

from tavrin.config import load_config
from tavrin.gateway import server


@pytest.fixture
def client(gateway, tmp_path):
    config = load_config(tmp_path / "data", port=8799)
    with TestClient(server.create_app(config), base_url="http://127.0.0.1:8799") as c:
        c.guardrails = server.get_state()["guardrails"]
        yield c


def pending(client, tool, arguments):
    async def ask():  # (in the server's loop, where the agent asks)
        return client.guardrails.request_approval(tool, arguments, "session_main", "Allow it?").approval_id

    return client.portal.call(ask)


def test_a_pending_write_shows_the_file_as_it_is_and_nothing_it_may_not(client, tmp_path):
    """Catches a diff against nothing for a file that exists, a new file not told as new, a file
    in the data directory (the token, the store) shown to the page, and a folder, a pipe or a
    binary file read as text."""
    existing = tmp_path / "app.py"
    existing.write_text('print("old")\n')
    ask = pending(client, "write_file", {"path": str(existing), "content": 'print("new")\n'})
    assert client.get(f"/api/approvals/{ask}/file").json() == {
        "path": str(existing),
        "exists": True,
        "content": 'print("old")\n',
        "note": None,
    }

    ask = pending(client, "write_file", {"path": str(tmp_path / "new.sh"), "content": "echo hi\n"})
    assert client.get(f"/api/approvals/{ask}/file").json() == {
        "path": str(tmp_path / "new.sh"),
        "exists": False,
        "content": None,
        "note": None,
    }

    token = tmp_path / "data" / "token"
    link = tmp_path / "innocent.txt"
    link.symlink_to(token)
    for path in (token, link):
        ask = pending(client, "write_file", {"path": str(path), "content": "x"})
        answer = client.get(f"/api/approvals/{ask}/file")
        assert answer.status_code == 400 and "data directory" in answer.json()["detail"]
        assert client.guardrails.pending()  # looking refuses; the approval itself is left to the user

    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    (tmp_path / "blob.bin").write_bytes(b"\x00\x01")
    for path, note in ((tmp_path, "It is a folder"), (fifo, "not a regular file"), (tmp_path / "blob.bin", "binary")):
        ask = pending(client, "write_file", {"path": str(path), "content": "x"})
        found = client.get(f"/api/approvals/{ask}/file").json()
        assert found["exists"] is True and found["content"] is None and note in found["note"]


def test_only_a_pending_write_is_looked_at(client, tmp_path):
    """Catches the route reading any file named in any approval (a command's, a settled one)."""
    secret = tmp_path / "notes.txt"
    secret.write_text("mine")
    ask = pending(client, "run_command", {"command": "cat notes.txt", "path": str(secret)})
    assert client.get(f"/api/approvals/{ask}/file").status_code == 404
    ask = pending(client, "write_file", {"path": str(secret), "content": "x"})
    client.portal.call(lambda: _resolve(client, ask))
    assert client.get(f"/api/approvals/{ask}/file").status_code == 404
    assert client.get("/api/approvals/nope/file").status_code == 404


async def _resolve(client, approval_id):
    client.guardrails.resolve_approval(approval_id, False)
