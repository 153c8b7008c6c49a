"""Keeping track of everything a command starts, so that all of it can be killed.

A process group is not enough: a child may leave it (``setsid``) and live on, holding the
command's output pipe. Where the system lets us make a cgroup (v2) folder below our own, each
command runs in one of its own, and killing the folder kills everything in it, whatever it did.
Elsewhere the command's processes are found by what they cannot shed all at once: their parent
(the tree below the shell), their session and group, and a mark in their environment that a
daemonised grandchild still carries. Found ones are stopped first (so none forks meanwhile), then
killed.
"""

from __future__ import annotations

import os
import signal
import time
import uuid
from pathlib import Path

from tavrin.core.redact import command_environment

MARK = "TAVRIN_COMMAND_ID"
# Rounds of looking for processes that appeared while the others were being stopped.
_ROUNDS = 20


def _cgroup2_mount() -> str | None:
    try:
        with open("/proc/self/mountinfo", encoding="utf-8", errors="replace") as f:
            for line in f:
                left, _, right = line.partition(" - ")
                if right.split(" ", 1)[0] == "cgroup2":
                    return left.split(" ")[4]
    except OSError:
        pass
    return None


def _own_cgroup() -> str | None:
    try:
        with open("/proc/self/cgroup", encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("0::"):
                    return line[3:].strip()
    except OSError:
        pass
    return None


def _make_cgroup() -> Path | None:
    """A new cgroup folder below the server's own, or None where none can be made."""
    mount, own = _cgroup2_mount(), _own_cgroup()
    if mount is None or own is None:
        return None
    folder = Path(mount) / own.lstrip("/") / f"tavrin-command-{uuid.uuid4().hex[:12]}"
    try:
        folder.mkdir()
    except OSError:
        return None
    if not (folder / "cgroup.procs").exists():
        _remove(folder)
        return None
    return folder


def _remove(folder: Path) -> None:
    try:
        folder.rmdir()
    except OSError:
        pass


class Confinement:
    """One command's processes: made before it starts (``make``), killed together (``kill_all``)."""

    def __init__(self, cgroup: Path | None):
        self.cgroup = cgroup
        self.mark = uuid.uuid4().hex

    @classmethod
    def make(cls) -> Confinement:
        return cls(_make_cgroup())

    def argv(self, command: str) -> list[str]:
        """The command line that runs ``command`` with /bin/sh, inside the cgroup when there is one
        (the shell moves itself in before it starts the command)."""
        if self.cgroup is None:
            return ["/bin/sh", "-c", command]
        return [
            "/bin/sh",
            "-c",
            '{ echo 0 > "$1"; } 2>/dev/null; exec /bin/sh -c "$2"',
            "sh",
            str(self.cgroup / "cgroup.procs"),
            command,
        ]

    def environment(self) -> dict[str, str]:
        """The user's environment less every credential, with the command's mark."""
        return {**command_environment(), MARK: self.mark}

    def kill_all(self, pid: int) -> None:
        """Kill the command started as ``pid`` and everything it started. Blocking, but short."""
        if self.cgroup is not None:
            self._kill_cgroup()
        self._kill_tracked(pid)
        if self.cgroup is not None:
            self._remove_cgroup()

    def release(self) -> None:
        """Give the cgroup back when the command never started."""
        if self.cgroup is not None:
            _remove(self.cgroup)

    # -- a cgroup of its own --

    def _members(self) -> list[int]:
        cgroup = self.cgroup
        assert cgroup is not None
        try:
            return [int(p) for p in (cgroup / "cgroup.procs").read_text().split()]
        except (OSError, ValueError):
            return []

    def _kill_cgroup(self) -> None:
        cgroup = self.cgroup
        assert cgroup is not None
        try:
            (cgroup / "cgroup.kill").write_text("1")
            return
        except OSError:
            pass  # before Linux 5.14: one by one, frozen so that none forks meanwhile
        try:
            (cgroup / "cgroup.freeze").write_text("1")
        except OSError:
            pass
        for _ in range(_ROUNDS):
            members = self._members()
            if not members:
                break
            for pid in members:
                _signal(pid, signal.SIGKILL)
        try:
            (cgroup / "cgroup.freeze").write_text("0")
        except OSError:
            pass

    def _remove_cgroup(self) -> None:
        cgroup = self.cgroup
        assert cgroup is not None
        # The folder can go once the killed processes have exited, which takes a moment.
        deadline = time.monotonic() + 2.0
        while True:
            try:
                cgroup.rmdir()
                return
            except OSError:
                if time.monotonic() > deadline:
                    return
                time.sleep(0.01)

    # -- tracked by parent, session, group and mark --

    def _kill_tracked(self, root: int) -> None:
        stopped: set[int] = set()
        for _ in range(_ROUNDS):
            found = self._find(root) - stopped
            if not found:
                break
            for pid in found:
                _signal(pid, signal.SIGSTOP)
            stopped |= found
        for pid in stopped:
            _signal(pid, signal.SIGKILL)
            _signal(pid, signal.SIGCONT)

    def _find(self, root: int) -> set[int]:
        me = os.getpid()
        mark = f"{MARK}={self.mark}".encode()
        parents: dict[int, int] = {}
        found: set[int] = set()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            pid = int(entry)
            if pid == me:
                continue
            try:
                with open(f"/proc/{pid}/stat", "rb") as f:
                    fields = f.read().rsplit(b")", 1)[1].split()
                state, ppid, pgid, sid = fields[0], int(fields[1]), int(fields[2]), int(fields[3])
            except (OSError, IndexError, ValueError):
                continue
            if state == b"Z":
                continue  # already dead; its parent collects it
            parents[pid] = ppid
            if pid == root or pgid == root or sid == root:
                found.add(pid)
                continue
            try:
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if mark in f.read().split(b"\0"):
                        found.add(pid)
            except OSError:
                continue
        # And whatever descends from those, marked or not.
        changed = True
        while changed:
            changed = False
            for pid, ppid in parents.items():
                if ppid in found and pid not in found:
                    found.add(pid)
                    changed = True
        found.discard(me)
        return found


def _signal(pid: int, sig: int) -> None:
    try:
        os.kill(pid, sig)
    except (ProcessLookupError, PermissionError):
        pass
