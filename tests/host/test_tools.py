"""The agent's tools on their own: bounded reads, and commands that cannot run away."""

from __future__ import annotations

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


@pytest.mark.parametrize("tool, arguments, message", [
    (read_file, {"path": "missing.txt"}, "does not exist"),
    (read_file, {"path": "blob"}, "is a binary file"),
    (list_directory, {"path": "blob"}, "is not a folder"),
    (write_file, {"path": "no/such/folder/x.txt", "content": "hi"}, "does not exist"),
    (write_file, {"path": "x.txt", "content": 3}, "content must be a string"),
    (run_command, {"command": "echo hi", "cwd": "nowhere"}, "does not exist"),
    (run_command, {"command": "sleep 30", "timeout": 0.2}, "did not finish within 0.2 seconds"),
], ids=["missing", "binary", "not-a-folder", "no-folder", "bad-content", "bad-cwd", "timeout"])
async def test_failures_are_told_to_the_model(tmp_path, tool, arguments, message):
    # Catches a tool failure raised as a crash rather than a result the model can act on.
    (tmp_path / "blob").write_bytes(b"\x00\x01")
    with pytest.raises(ToolError, match=message):
        await tool.run(arguments, ToolContext(cwd=tmp_path))


async def test_command_output_is_bounded_and_reports_its_status(tmp_path):
    # Catches a chatty command filling memory, or a failing one looking like a success.
    progress = []
    out = (await run_command.run({"command": "yes | head -c 100000; exit 3"},
                                 ToolContext(cwd=tmp_path, progress=lambda: progress.append(1))))["text"]
    assert out.startswith("exit status 3\n") and progress
    assert len(out) < run_command.MAX_OUTPUT + 200 and "more bytes of output not shown" in out
