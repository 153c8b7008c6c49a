"""What the server checks before it starts, each failure told to the user in one line: the data
directory is the user's alone, no other server uses it, the conversation store can be opened, and
the address can be listened on."""

import errno
import fcntl
import os
import secrets
import socket
import sqlite3
import stat
from pathlib import Path

LOCK_FILE = "server.lock"
STORE_FILE = "conversations.sqlite3"


class StartupError(Exception):
    """A reason the server cannot start, told to the user in one line."""


def prepare_data_dir(path: Path) -> Path:
    """The data directory, made when it is missing (its parent must exist), checked to be the
    user's alone and writable. Returns its real path, which the server uses from then on.

    Another user who made the directory first (in /tmp, say) could read the store and plant
    links to make the server write into their files, so such a directory is refused, as is one
    that others may write to or that lies in a folder they may change.
    """
    path = Path(path).expanduser().absolute()
    me = os.geteuid()
    # A link another user made (to a folder of yours, say) would have the server write wherever
    # they point it next; links of yours or the system's are followed.
    for link in [path, *path.parents]:
        try:
            info = os.lstat(link)
        except OSError:
            continue
        if stat.S_ISLNK(info.st_mode) and info.st_uid not in (0, me):
            raise StartupError(
                f"the data directory {path} goes through the symbolic link {link}, which belongs "
                f"to another user (uid {info.st_uid}); choose a directory of your own with --data-dir"
            )
    if path.exists() and not path.is_dir():
        raise StartupError(f"the data directory {path} is not a directory")
    if not path.exists():
        if not path.parent.is_dir():
            raise StartupError(
                f"the data directory {path} is missing and so is its parent folder; "
                "create it or choose another --data-dir"
            )
        try:
            path.mkdir(mode=0o700)
        except FileExistsError:
            pass
        except OSError as exc:
            raise StartupError(f"cannot create the data directory {path}: {exc.strerror}") from None
    real = Path(os.path.realpath(path))
    info = os.stat(real)
    if info.st_uid != me:
        raise StartupError(
            f"the data directory {path} belongs to another user (uid {info.st_uid}); "
            "choose a directory of your own with --data-dir"
        )
    if info.st_mode & 0o022:
        raise StartupError(
            f"the data directory {path} can be changed by other users (mode "
            f"{stat.S_IMODE(info.st_mode):o}); make it private (chmod 700 {path}) or "
            "choose another --data-dir"
        )
    for folder in real.parents:
        # Whoever may rename entries of a folder above it may swap the directory for their own;
        # a sticky folder (/tmp) lets each user rename only their own entries.
        above = os.stat(folder)
        if above.st_uid not in (0, me) or (above.st_mode & 0o022 and not above.st_mode & stat.S_ISVTX):
            raise StartupError(
                f"the data directory {path} lies in {folder}, which other users can change; choose another --data-dir"
            )
    probe = real / f".write-test-{secrets.token_hex(8)}"
    try:
        os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600))
        os.unlink(probe)
    except OSError as exc:
        raise StartupError(f"the data directory {path} is not writable: {exc.strerror}") from None
    return real


def lock_data_dir(data_dir: Path) -> int:
    """Hold the data directory's lock file for the life of the process; returns its descriptor.

    Two servers on one data directory would interleave their writes to the store and each
    believe it owns the sessions, so a second one stops here.
    """
    from tavrin.gateway.security import UnsafeFile, open_private

    path = data_dir / LOCK_FILE
    try:
        fd = open_private(path, os.O_RDWR)
    except UnsafeFile as exc:
        raise StartupError(str(exc)) from None
    except OSError as exc:
        raise StartupError(f"cannot open the lock file {path}: {exc.strerror}") from None
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as exc:
        other = os.pread(fd, 32, 0).decode("ascii", "replace").strip()
        os.close(fd)
        if exc.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
            owner = f" (process {other})" if other.isdigit() else ""
            raise StartupError(
                f"another Tavrin server is already using the data directory {data_dir}{owner}; "
                "stop it or choose another --data-dir"
            ) from None
        raise StartupError(f"cannot lock {path}: {exc.strerror}") from None
    os.ftruncate(fd, 0)
    os.pwrite(fd, f"{os.getpid()}\n".encode(), 0)
    return fd


# SQLite's companions of the store: it makes them with the store's own mode.
STORE_COMPANIONS = ("-wal", "-shm", "-journal")


def prepare_store_file(path: Path) -> None:
    """Make the store file private (mode 0600, created so when missing) before SQLite opens it,
    and check that none of the files SQLite keeps beside it is a link or someone else's.

    SQLite opens these by name; the data directory being the user's alone (``prepare_data_dir``),
    nobody can swap them in between.
    """
    from tavrin.gateway.security import UnsafeFile, check_private, open_private

    try:
        os.close(open_private(path, os.O_RDWR))
        for suffix in STORE_COMPANIONS:
            check_private(Path(f"{path}{suffix}"))
    except UnsafeFile as exc:
        raise StartupError(str(exc)) from None
    except OSError as exc:
        raise StartupError(f"cannot open the conversation store {exc.filename or path}: {exc.strerror}") from None


def check_store(path: Path) -> None:
    """Open the conversation store once and check its pages and its tables, so a damaged file
    is named at start-up in one line rather than failing the first query."""
    from tavrin.core.store import ConversationStore

    prepare_store_file(path)
    try:
        store = ConversationStore(path)
        try:
            verdict = store._run(_store_verdict)
        finally:
            store.close()
    except sqlite3.DatabaseError as exc:
        verdict = str(exc)
    except RuntimeError as exc:  # written by a newer version
        raise StartupError(f"the conversation store {path} cannot be used: {exc}") from None
    if verdict != "ok":
        raise StartupError(
            f"the conversation store {path} is damaged or unreadable ({verdict}); "
            "move it aside to start with an empty one"
        )


def _store_verdict(db: sqlite3.Connection) -> str:
    from tavrin.core.store import ConversationStore

    problems = [row[0] for row in db.execute("PRAGMA quick_check")]
    if problems != ["ok"]:
        return problems[0]
    reference = ConversationStore(":memory:")  # the tables as this version makes them
    try:
        expected = reference._run(_columns)
    finally:
        reference.close()
    found = _columns(db)
    for table, columns in expected.items():
        if table not in found:
            return f"the table {table} is missing"
        if missing := [c for c in columns if c not in found[table]]:
            return f"the table {table} lacks {', '.join(missing)}"
    return "ok"


def _columns(db: sqlite3.Connection) -> dict[str, list[str]]:
    tables = [row[0] for row in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")]
    return {t: [row[1] for row in db.execute(f'PRAGMA table_info("{t}")')] for t in tables}


def bind_socket(host: str, port: int) -> socket.socket:
    """The listening socket, bound before the application starts so that a taken port is told
    plainly and "ready" is printed only for a server that can be reached."""
    where = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    try:
        family, kind, proto, _, address = socket.getaddrinfo(
            host or None, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE
        )[0]
    except socket.gaierror as exc:
        raise StartupError(f"cannot listen on {where}: {exc.strerror}") from None
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
    except OSError as exc:
        sock.close()
        if exc.errno == errno.EADDRINUSE:
            raise StartupError(
                f"cannot listen on {where}: the address is already in use "
                "(another program is listening there; choose another --port)"
            ) from None
        raise StartupError(f"cannot listen on {where}: {exc.strerror}") from None
    return sock


def check_model(model: str, api_base: str | None) -> str | None:
    """Check that LiteLLM is there and knows ``model``; a StartupError when not. Returns a
    warning when the endpoint does not answer (it may be started later), else None.

    Only a TCP connection is tried, and only to ``api_base``: a hosted provider's address is
    reached by the first model request, never before.
    """
    from urllib.parse import urlsplit

    from tavrin.core.llm_agent import LiteLLMMissing, import_litellm

    try:
        litellm = import_litellm()
    except LiteLLMMissing as exc:
        raise StartupError(str(exc)) from None
    try:
        litellm.get_llm_provider(model, api_base=api_base)
    except Exception:
        raise StartupError(
            f"LiteLLM does not know the model {model!r}; write it as provider/name, "
            "for example openai/NAME for an OpenAI-compatible server or ollama_chat/NAME"
        ) from None
    if not api_base:
        return None
    parts = urlsplit(api_base if "://" in api_base else "http://" + api_base)
    if not parts.hostname:
        raise StartupError(f"--api-base {api_base!r} is not a URL (for example http://127.0.0.1:8080/v1)")
    try:
        port = parts.port or (443 if parts.scheme == "https" else 80)
    except ValueError:
        raise StartupError(f"--api-base {api_base!r} has an invalid port") from None
    try:
        socket.create_connection((parts.hostname, port), timeout=2).close()
    except OSError as exc:
        return f"the model's endpoint {api_base} does not answer ({exc.strerror or exc}); turns will fail until it does"
    return None
