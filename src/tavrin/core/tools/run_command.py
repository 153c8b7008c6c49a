"""Run a shell command with a time limit and bounded output, confined so that it can be killed whole.

However the run ends (the shell exits, its time is up, or the turn is stopped), everything the
command started is killed (see ``confine``), so nothing it started is left behind, and the output
pipe is read only as far as it holds data: a leftover that keeps it open never holds the turn.
The command gets the user's environment without the provider keys and this project's variables.
"""

from __future__ import annotations

import asyncio
import codecs
import os

from tavrin.core.tools import ToolContext, ToolError, off_loop
from tavrin.core.tools.confine import Confinement

NAME = "run_command"
DESCRIPTION = (
    "Run a shell command on the user's computer and return its exit status and output "
    "(standard output and error together, the first 16 KiB). It is stopped after `timeout` "
    "seconds (default 60, at most 600)."
)
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


# After the command, how long the output it left in the pipe may take to be read.
DRAIN_SECONDS = 1.0


async def run(arguments: dict, context: ToolContext) -> dict:
    command = arguments.get("command")
    if not isinstance(command, str) or not command.strip():
        raise ToolError("command must be a non-empty string")
    cwd = context.path(arguments["cwd"]) if arguments.get("cwd") else context.cwd
    if not cwd.is_dir():
        raise ToolError(f"the folder {cwd} does not exist")
    timeout = arguments.get("timeout", DEFAULT_TIMEOUT)
    if not isinstance(timeout, (int, float)) or isinstance(timeout, bool) or not timeout > 0:
        raise ToolError("timeout must be a positive number of seconds")
    timeout = min(float(timeout), MAX_TIMEOUT)

    confinement = await off_loop(Confinement.make, what="preparing the command")
    loop = asyncio.get_running_loop()
    read_end, write_end = os.pipe()
    try:
        proc = await asyncio.create_subprocess_exec(
            *confinement.argv(command),
            cwd=cwd,
            stdin=asyncio.subprocess.DEVNULL,
            stdout=write_end,
            stderr=write_end,
            start_new_session=True,
            env=confinement.environment(),
        )
    except BaseException:
        os.close(read_end)
        await off_loop(confinement.release, what="tidying up")
        raise
    finally:
        os.close(write_end)
    reader = asyncio.StreamReader(limit=2**16)
    pipe, _ = await loop.connect_read_pipe(
        lambda: asyncio.StreamReaderProtocol(reader), os.fdopen(read_end, "rb", buffering=0)
    )
    output = bytearray()
    dropped = 0
    timed_out = False
    # What is kept is shown as it comes, whole characters only.
    shown = codecs.getincrementaldecoder("utf-8")(errors="replace")

    async def read() -> None:
        nonlocal dropped
        while chunk := await reader.read(4096):
            context.progress()
            room = MAX_OUTPUT - len(output)
            output.extend(chunk[:room])
            dropped += max(0, len(chunk) - room)
            if room > 0 and (text := shown.decode(chunk[:room], final=len(output) >= MAX_OUTPUT)):
                context.output(text)

    reading = asyncio.ensure_future(read())
    try:
        await asyncio.wait_for(proc.wait(), timeout)
    except TimeoutError:
        timed_out = True
    except asyncio.CancelledError:
        context.so_far = output.decode("utf-8", "replace")
        raise
    finally:
        # Finished, timed out or stopped: whatever the command left running goes, and so does the
        # pipe, read only as far as it holds data.
        try:
            await asyncio.shield(off_loop(confinement.kill_all, proc.pid, what="stopping the command"))
        finally:
            try:
                await asyncio.wait_for(asyncio.shield(reading), DRAIN_SECONDS)
            except (TimeoutError, asyncio.CancelledError):
                pass
            reading.cancel()
            pipe.close()
        if proc.returncode is None:
            await asyncio.shield(proc.wait())
    text = output.decode("utf-8", "replace")
    if dropped:
        text += f"\n… ({dropped} more bytes of output not shown)"
    if timed_out:
        raise ToolError(
            f"the command did not finish within {timeout:g} seconds and was stopped; output so far:\n{text}"
        )
    return {"text": f"exit status {proc.returncode}\n{text}"}
