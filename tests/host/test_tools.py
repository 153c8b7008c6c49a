"""The agent's tools on their own: bounded reads, and commands that cannot run away."""

from __future__ import annotations

import os
import pytest

from tavrin.core.tools import ToolContext, ToolError, load_tools, side_effecting
from tavrin.core.tools import list_directory, read_file, run_command, write_file


def test_every_tool_changing_the_computer_is_marked_so():
    # Catches a side-effecting tool slipping out of the default approval list.
    tools = load_tools()
    assert {"list_directory", "read_file", "write_file", "run_command"} <= set(tools)
    assert {"write_file", "run_command"} <= side_effecting(tools)
    assert not {"list_directory", "read_file"} & side_effecting(tools)


async def test_reads_are_bounded(tmp_path, monkeypatch):
    # Catches a huge folder or file flooding the model's context.
    monkeypatch.setattr(list_directory, "MAX_ENTRIES", 3)
    for i in range(5):
        (tmp_path / f"f{i}").write_text("x" * (read_file.MAX_BYTES + 10))
    listing = (await list_directory.run({"path": str(tmp_path)}, ToolContext()))["text"]
    assert listing.count("\nfile ") == 3 and listing.endswith("… 2 more not shown")
    text = (await read_file.run({"path": "f0"}, ToolContext(cwd=tmp_path)))["text"]
    assert text.startswith("x" * read_file.MAX_BYTES) and text.endswith(f"(cut at {read_file.MAX_BYTES} bytes)")


@pytest.mark.parametrize(
    "tool, arguments, message",
    [
        (read_file, {"path": "missing.txt"}, "does not exist"),
        (read_file, {"path": "blob"}, "is a binary file"),
        (list_directory, {"path": "blob"}, "is not a folder"),
        (write_file, {"path": "no/such/folder/x.txt", "content": "hi"}, "does not exist"),
        (write_file, {"path": "x.txt", "content": 3}, "content must be a string"),
        (run_command, {"command": "echo hi", "cwd": "nowhere"}, "does not exist"),
        (run_command, {"command": "sleep 30", "timeout": 0.2}, "did not finish within 0.2 seconds"),
    ],
    ids=["missing", "binary", "not-a-folder", "no-folder", "bad-content", "bad-cwd", "timeout"],
)
async def test_failures_are_told_to_the_model(tmp_path, tool, arguments, message):
    # Catches a tool failure raised as a crash rather than a result the model can act on.
    (tmp_path / "blob").write_bytes(b"\x00\x01")
    with pytest.raises(ToolError, match=message):
        await tool.run(arguments, ToolContext(cwd=tmp_path))


async def test_command_output_is_bounded_and_reports_its_status(tmp_path):
    # Catches a chatty command filling memory, or a failing one looking like a success.
    progress = []
    out = (
        await run_command.run(
            {"command": "yes | head -c 100000; exit 3"}, ToolContext(cwd=tmp_path, progress=lambda: progress.append(1))
        )
    )["text"]
    assert out.startswith("exit status 3\n") and progress
    assert len(out) < run_command.MAX_OUTPUT + 200 and "more bytes of output not shown" in out


def _alive(pattern: str) -> list[str]:
    import subprocess

    out = subprocess.run(["ps", "-eo", "pid,args"], capture_output=True, text=True).stdout
    return [line for line in out.splitlines() if pattern in line and "ps -eo" not in line]


async def test_the_data_directory_is_off_limits_whatever_the_path(tmp_path):
    # Catches a tool reading the token or replacing the store through a link, `..`, or a hard link.
    data = tmp_path / "data"
    data.mkdir()
    (data / "token").write_text("the-token")
    (tmp_path / "link").symlink_to(data)
    (tmp_path / "tokenlink").symlink_to(data / "token")
    import os

    os.link(data / "token", tmp_path / "hardlink")
    ctx = ToolContext(cwd=tmp_path, off_limits=(data,))
    attempts = [
        (read_file, {"path": str(data / "token")}),
        (read_file, {"path": "link/token"}),
        (read_file, {"path": "tokenlink"}),
        (read_file, {"path": "hardlink"}),
        (read_file, {"path": "data/../data/token"}),
        (list_directory, {"path": "link"}),
        (write_file, {"path": "link/token", "content": "mine"}),
        (write_file, {"path": "data/new", "content": "x"}),
        (run_command, {"command": "cat token", "cwd": "link"}),
    ]
    for tool, arguments in attempts:
        with pytest.raises(ToolError, match="in Tavrin's own data directory, which no tool may"):
            await tool.run(arguments, ctx)
    assert (data / "token").read_text() == "the-token" and not (data / "new").exists()
    assert "data/" in (await list_directory.run({"path": str(tmp_path)}, ctx))["text"]


async def test_reads_that_cannot_end_are_refused_without_blocking(tmp_path):
    # Catches read_file on a FIFO or a terminal blocking a thread for good.
    import os

    os.mkfifo(tmp_path / "fifo")
    for path in (tmp_path / "fifo", "/dev/stdin", "/dev/zero"):
        with pytest.raises(ToolError, match="is not a regular file"):
            await read_file.run({"path": str(path)}, ToolContext())
    with pytest.raises(ToolError, match="is not a regular file"):
        await write_file.run({"path": str(tmp_path / "fifo"), "content": "x"}, ToolContext())
    with pytest.raises(ToolError, match="is not a folder"):
        await list_directory.run({"path": str(tmp_path / "fifo")}, ToolContext())


async def test_a_hanging_file_operation_is_given_up_off_the_shared_pool(monkeypatch):
    # Catches a stuck read holding a thread of the pool the store and the server share.
    import threading

    from tavrin.core import tools

    release = threading.Event()
    names = []

    def stuck():
        names.append(threading.current_thread().name)
        release.wait()

    try:
        with pytest.raises(ToolError, match="did not finish within 0.05 seconds"):
            await tools.off_loop(stuck, what="reading x", timeout=0.05)
        assert names == ["tavrin-tool-io"] and tools._hanging == 1
    finally:
        release.set()


@pytest.mark.skipif(
    bool(os.environ.get("TAVRIN_SANITIZED")),
    reason="the sanitizer runtime is preloaded into the command's own processes",
)
@pytest.mark.parametrize("confined", ["cgroup", "tracked"])
async def test_a_command_gets_no_keys_and_leaves_nothing_behind(tmp_path, monkeypatch, confined):
    # Catches a provider key in a command's environment, and a child that left the process
    # group (setsid) surviving the command or holding its output pipe open, with a cgroup of its
    # own and without one.
    import asyncio
    import uuid

    from tavrin.core.tools import confine

    if confined == "tracked":
        monkeypatch.setattr(confine, "_make_cgroup", lambda: None)
    else:
        probe = confine._make_cgroup()
        if probe is None:
            pytest.skip("no cgroup folder can be made here")
        probe.rmdir()

    monkeypatch.setenv("OPENAI_API_KEY", "sk-do-not-leak-1234")
    monkeypatch.setenv("TAVRIN_MODEL", "openai/x")
    monkeypatch.setenv("HARMLESS", "kept")
    out = (await run_command.run({"command": "env"}, ToolContext(cwd=tmp_path)))["text"]
    assert "sk-do-not-leak" not in out and "TAVRIN_MODEL" not in out and "HARMLESS=kept" in out

    # Each sleep is told apart by its length, which `ps` shows.
    tag = f"{100 + uuid.uuid4().int % 10**6 / 10**6:.6f}"
    finished = await run_command.run({"command": f"setsid sleep {tag} & echo started"}, ToolContext(cwd=tmp_path))
    assert finished["text"] == "exit status 0\nstarted\n" and not _alive(tag)

    ran = asyncio.ensure_future(
        run_command.run(
            {"command": f"setsid sleep {tag} & (sleep {tag}; true) & echo up; sleep {tag}"}, ToolContext(cwd=tmp_path)
        )
    )
    while len(_alive(f"sleep {tag}")) < 3:
        await asyncio.sleep(0.05)
    ran.cancel()
    with pytest.raises(asyncio.CancelledError):
        await ran
    assert _alive(tag) == []
