"""Run a shell command in its own process group, with a time limit and bounded output.

However the run ends (its time is up, or the turn is stopped), the whole process group is
killed, so nothing the command started is left behind.
"""

from __future__ import annotations

import asyncio
import os
import signal

from tavrin.core.tools import ToolContext, ToolError

NAME = "run_command"
DESCRIPTION = ("Run a shell command on the user's computer and return its exit status and output "
               "(standard output and error together, the first 16 KiB). It is stopped after `timeout` "
               "seconds (default 60, at most 600).")
PARAMETERS = {
    "type": "object",
    "properties": {
        "command": {"type": "string", "description": "the command line, run by /bin/sh"},
        "cwd": {"type": "string", "description": "the folder to run it in (default: the home folder)"},
        "timeout": {"type": "number", "description": "seconds before it is stopped"},
    },
    "required": ["command"],
    "additionalProperties": False,
}
SIDE_EFFECTS = True

MAX_OUTPUT = 16 * 1024
DEFAULT_TIMEOUT = 60.0
MAX_TIMEOUT = 600.0


def _kill_group(proc: asyncio.subprocess.Process) -> None:
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


async def run(arguments: dict, context: ToolContext) -> dict:
    command = arguments.get("command")
    if not isinstance(command, str) or not command.strip():
        raise ToolError("command must be a non-empty string")
    cwd = context.path(arguments["cwd"]) if arguments.get("cwd") else context.cwd
    if not cwd.is_dir():
        raise ToolError(f"the folder {cwd} does not exist")
    timeout = arguments.get("timeout", DEFAULT_TIMEOUT)
    if not isinstance(timeout, (int, float)) or isinstance(timeout, bool) or timeout <= 0:
        raise ToolError("timeout must be a positive number of seconds")
    timeout = min(float(timeout), MAX_TIMEOUT)

    proc = await asyncio.create_subprocess_shell(
        command, cwd=cwd, stdin=asyncio.subprocess.DEVNULL, stdout=asyncio.subprocess.PIPE,
        stderr=asyncio.subprocess.STDOUT, start_new_session=True)
    output = bytearray()
    dropped = 0
    timed_out = False

    async def read() -> None:
        nonlocal dropped
        while chunk := await proc.stdout.read(4096):
            context.progress()
            room = MAX_OUTPUT - len(output)
            output.extend(chunk[:room])
            dropped += max(0, len(chunk) - room)
        await proc.wait()

    try:
        await asyncio.wait_for(read(), timeout)
    except TimeoutError:
        timed_out = True
    except asyncio.CancelledError:
        context.so_far = output.decode("utf-8", "replace")
        raise
    finally:
        # Stopped, timed out or finished: the group goes, whatever it left running.
        _kill_group(proc)
        if proc.returncode is None:
            await asyncio.shield(proc.wait())
    text = output.decode("utf-8", "replace")
    if dropped:
        text += f"\n… ({dropped} more bytes of output not shown)"
    if timed_out:
        raise ToolError(f"the command did not finish within {timeout:g} seconds and was stopped; output so far:\n{text}")
    return {"text": f"exit status {proc.returncode}\n{text}"}
