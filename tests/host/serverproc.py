"""Runs the real server (the ``tavrin-gateway`` command) in a child process for end-to-end tests."""

from __future__ import annotations

import asyncio
import json
import os
import re
import select
import subprocess
import sys
import threading
import time
from pathlib import Path

# The handlers a complete gateway offers; the end-to-end tests need all of them.
GATEWAY_FEATURES = (
    "create_ws_router",
    "manager",
    "_active_tasks",
    "_handle_standard_chat",
    "_handle_computer_use_chat",
    "_watchdog",
    "_handle_stop_task",
    "_handle_approval",
    "_handle_new_session",
    "_handle_close_session",
    "_handle_list_sessions",
    "_handle_new_conversation",
    "_handle_resume_conversation",
    "_handle_heartbeat_control",
)


def require_gateway():
    """Skip the calling test unless the native gateway is built and complete."""
    import pytest

    ws = pytest.importorskip("tavrin.gateway.ws")
    missing = [name for name in GATEWAY_FEATURES if not hasattr(ws, name)]
    if missing:
        pytest.skip("the gateway does not offer " + ", ".join(missing) + " yet")
    return ws


class ServerProcess:
    """``python -m tavrin.gateway.server`` on 127.0.0.1 with a port the system picks."""

    def __init__(
        self, data_dir: Path, step_delay: float = 0.02, log_path: Path | None = None, args: tuple[str, ...] = ()
    ):
        self.data_dir = Path(data_dir)
        self.args = tuple(args)
        self.step_delay = step_delay
        self.log_path = log_path or self.data_dir.parent / f"server-{os.getpid()}-{time.monotonic_ns()}.log"
        self.proc: subprocess.Popen | None = None
        # Picked by the system at the first start; a restart listens on the same one again.
        self.port: int | None = None
        self.token: str | None = None
        self.address: str | None = None  # the address the server printed, token included
        self.address_line = ""  # the whole line it printed it on
        self.stdout: list[str] = []  # what it printed after that (uvicorn's access log)

    @property
    def http(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    @property
    def ws(self) -> str:
        return f"ws://127.0.0.1:{self.port}/ws"

    @property
    def auth(self) -> dict[str, str]:
        """The header a program sends with the token."""
        return {"Authorization": f"Bearer {self.token}"}

    def ticket(self) -> str:
        """A WebSocket ticket, asked for as the page asks for one."""
        import httpx

        response = httpx.post(self.http + "/api/ws-ticket", headers=self.auth)
        response.raise_for_status()
        return response.json()["ticket"]

    def connect(self, **kwargs):
        """A WebSocket client of this server, from its own page's origin, with the token."""
        import websockets

        return websockets.connect(self.ws, origin=self.http, additional_headers=self.auth, **kwargs)

    def start(self, timeout: float = 30) -> ServerProcess:
        self._log = open(self.log_path, "ab")
        self.proc = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "tavrin.gateway.server",
                "--host",
                "127.0.0.1",
                "--port",
                str(self.port or 0),
                "--data-dir",
                str(self.data_dir),
                "--log-level",
                "warning",
                "--demo-step-delay",
                str(self.step_delay),
                *self.args,
            ],
            stdout=subprocess.PIPE,
            stderr=self._log,
            text=True,
        )
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.proc.stdout], [], [], 0.2)
            if ready:
                line = self.proc.stdout.readline()
                if not line:
                    break
                m = re.search(r"running at (http://127\.0\.0\.1:(\d+)/(?:#token=([\w-]+))?)", line)
                if m:
                    self.address, self.port, self.token = m.group(1), int(m.group(2)), m.group(3)
                    self.address_line = line
                    # Read on, or a chatty server would fill the pipe and stall.
                    self._reader = threading.Thread(target=self._read_stdout, args=(self.proc.stdout,), daemon=True)
                    self._reader.start()
                    return self
            if self.proc.poll() is not None:
                break
        self.stop()
        raise RuntimeError("server did not start:\n" + Path(self.log_path).read_text(errors="replace")[-4000:])

    def _read_stdout(self, stream) -> None:
        try:
            for line in stream:
                self.stdout.append(line)
        except (OSError, ValueError):
            pass  # closed by stop()

    def stop(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        if getattr(self, "_reader", None) is not None:
            self._reader.join(5)  # the pipe ends with the process
            self._reader = None
        if self.proc is not None and self.proc.stdout:
            try:
                self.proc.stdout.close()
            except (OSError, ValueError):
                pass
        if getattr(self, "_log", None):
            self._log.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


async def recv_until(conn, predicate, timeout: float = 15) -> list[dict]:
    """Read events until one satisfies ``predicate``; returns all of them, that one last."""
    events = []
    async with asyncio.timeout(timeout):
        while True:
            event = json.loads(await conn.recv())
            events.append(event)
            if predicate(event):
                return events


async def drain(conn) -> list[dict]:
    """Every event already queued for ``conn``: a ping is answered after all of them."""
    await conn.send(json.dumps({"type": "ping"}))
    events = await recv_until(conn, lambda e: e["type"] == "pong")
    return events[:-1]
