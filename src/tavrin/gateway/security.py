"""Who may reach the server: the access token, the Host allow-list and the security headers.

``AccessGuard`` wraps the whole application as an ASGI middleware, so the WebSocket gateway
mounted inside it stays as it is:

- Every HTTP request and WebSocket handshake must name one of the server's own hosts with its port
  in its ``Host`` header (``127.0.0.1``, ``localhost``, ``[::1]`` and the ``--host`` given); anything
  else is answered with 400. A page served from another name that resolves to this machine (DNS
  rebinding) can therefore read nothing.
- With a token (the default), the page, ``/api/*`` and the ``/ws`` handshake need the token, either
  in the cookie that opening ``/?token=...`` sets or as ``Authorization: Bearer <token>``; it is
  compared in constant time. Without it HTTP answers 401 and the handshake is refused with 403
  before it is accepted. Static files (the page's script and style) are public.
- Every HTTP response carries the security headers: a Content-Security-Policy that forbids framing
  and connecting anywhere but here, ``X-Frame-Options: DENY``, ``nosniff``, no referrer, and
  ``Cache-Control: no-store`` on the page and on ``/api/*``.

The token lives in the data directory (file ``token``, mode 0600), made on first start. Every file
the server keeps there is opened without following symbolic links (``open_private``).
"""

from __future__ import annotations

import errno
import hmac
import ipaddress
import json
import logging
import os
import re
import secrets
import socket
import stat
from collections.abc import Callable
from pathlib import Path
from urllib.parse import parse_qsl, urlencode

logger = logging.getLogger("tavrin.server")

TOKEN_FILE = "token"
TOKEN_BYTES = 32
# A token the user wrote into the file must be as hard to guess as one the server makes: at least
# this many characters of the URL-safe alphabet (a made one has 43).
MIN_TOKEN_CHARS = 32
_TOKEN_ALPHABET = re.compile(r"[A-Za-z0-9_-]+")


CONTENT_SECURITY_POLICY = (
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"
)
SECURITY_HEADERS = [
    (b"content-security-policy", CONTENT_SECURITY_POLICY.encode()),
    (b"x-frame-options", b"DENY"),
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"no-referrer"),
]
NO_STORE = (b"cache-control", b"no-store")

WILDCARD_HOSTS = ("0.0.0.0", "::", "")


class UnsafeFile(Exception):
    """A file of the data directory that the server will not use, with the reason in one line."""


# -- files of the data directory ---------------------------------------------------------------


def open_private(path: Path, flags: int, create: bool = True) -> int:
    """Open ``path``, a file of the data directory, and make sure it is the user's alone.

    A symbolic link is never followed (someone may have planted it to make the server write
    elsewhere). A missing file is created exclusively, mode 0600 whatever the umask; an existing
    one must be a regular file of this user, and loses any permission bits for others. Returns the
    descriptor; raises ``UnsafeFile`` or ``OSError``.
    """
    # Non-blocking only while it is looked at: opening a planted FIFO must not hang the start.
    flags |= os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK
    fd = None
    if create:
        try:
            fd = os.open(path, flags | os.O_CREAT | os.O_EXCL, 0o600)
        except FileExistsError:
            pass
        except OSError as exc:
            _raise_for_link(path, exc)
    if fd is None:
        try:
            fd = os.open(path, flags)
        except OSError as exc:
            _raise_for_link(path, exc)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise UnsafeFile(f"{path} is not a regular file; remove it")
        if info.st_uid != os.geteuid():
            raise UnsafeFile(f"{path} belongs to another user (uid {info.st_uid}); remove it")
        if stat.S_IMODE(info.st_mode) != 0o600:
            if stat.S_IMODE(info.st_mode) & 0o077:
                logger.warning("%s could be read by others; it is now private (mode 0600)", path)
            os.fchmod(fd, 0o600)
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _raise_for_link(path: Path, exc: OSError):
    if exc.errno == errno.ELOOP:
        raise UnsafeFile(f"{path} is a symbolic link, which the server does not follow; remove it") from None
    raise exc


def check_private(path: Path) -> None:
    """``open_private`` for a file that someone else creates when it is missing (SQLite's own)."""
    try:
        os.close(open_private(path, os.O_RDONLY, create=False))
    except FileNotFoundError:
        pass




# -- the token ---------------------------------------------------------------------------------


def load_or_create_token(data_dir: Path) -> str:
    """The token kept in ``data_dir/token``; made (mode 0600) when the file is missing or empty.

    A token file that others can read is made private again, with a warning. A file that holds
    something other than a token raises ``UnsafeFile``, telling what is wrong with it.
    """
    path = Path(data_dir) / TOKEN_FILE
    try:
        fd = open_private(path, os.O_RDONLY, create=False)
    except FileNotFoundError:
        raw = b""
    else:
        with os.fdopen(fd, "rb") as f:
            raw = f.read(4096)
    text = raw.strip()
    if text:
        if not text.isascii():
            raise UnsafeFile(f"the token file {path} holds bytes that are not ASCII, so no token; "
                             "delete it to have a new one made")
        token = text.decode("ascii")
        if not _TOKEN_ALPHABET.fullmatch(token):
            raise UnsafeFile(f"the token file {path} holds characters a token does not have (letters, "
                             "digits, '-' and '_' only); delete it to have a new one made")
        if len(token) < MIN_TOKEN_CHARS:
            raise UnsafeFile(f"the token in {path} has {len(token)} characters, too few to be safe (at least "
                             f"{MIN_TOKEN_CHARS}); delete the file to have a new one made")
        return token
    token = secrets.token_urlsafe(TOKEN_BYTES)
    tmp = path.with_name(TOKEN_FILE + ".new")
    try:
        os.unlink(tmp)  # left over from a start cut short, or planted: the name itself is ours
    except FileNotFoundError:
        pass
    fd = open_private(tmp, os.O_WRONLY)
    with os.fdopen(fd, "w", encoding="ascii") as f:
        f.write(token + "\n")
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)
    return token


def cookie_name(port: int) -> str:
    # Cookies do not keep ports apart: two servers on one machine need two names.
    return f"tavrin_token_{port}"


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


# -- the allowed Host headers ----------------------------------------------------------------


def _host_name(host: str) -> str:
    host = host.lower()
    return f"[{host}]" if ":" in host and not host.startswith("[") else host


def allowed_host_names(host: str) -> set[str]:
    """The names this server answers to: the loopback names, the ``--host`` given, and for a
    wildcard address the machine's own name and addresses."""
    names = {"127.0.0.1", "localhost", "[::1]"}
    if host in WILDCARD_HOSTS:
        hostname = socket.gethostname()
        candidates = {hostname, socket.getfqdn(), *_interface_addresses()}
        try:
            candidates.update(info[4][0] for info in socket.getaddrinfo(hostname, None))
        except OSError:
            pass
        names.update(_host_name(c.split("%")[0]) for c in candidates if c)
    else:
        names.add(_host_name(host))
    return names


def _interface_addresses() -> set[str]:
    """The addresses of this machine's network interfaces (Linux; elsewhere none are found)."""
    found: set[str] = set()
    try:
        import fcntl
        import struct

        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            for _, name in socket.if_nameindex():
                try:
                    reply = fcntl.ioctl(probe.fileno(), 0x8915, struct.pack("256s", name.encode()[:15]))  # SIOCGIFADDR
                except OSError:
                    continue  # an interface without an IPv4 address
                found.add(socket.inet_ntoa(reply[20:24]))
    except (OSError, ImportError, AttributeError):
        pass
    try:
        with open("/proc/net/if_inet6") as table:
            for line in table:
                found.add(str(ipaddress.IPv6Address(bytes.fromhex(line.split()[0]))))
    except (OSError, ValueError, IndexError):
        pass
    return found


# -- the middleware --------------------------------------------------------------------------------


class AccessGuard:
    """ASGI middleware: the Host allow-list, the token check and the security headers.

    ``token`` is None when the token is turned off. ``host_and_port()`` gives the listening
    address at each request, as the port is known only once the socket is bound.
    """

    def __init__(self, app, token: str | None, host_and_port: Callable[[], tuple[str, int]]):
        self.app = app
        self.token = token.encode() if token else None
        self._host_and_port = host_and_port
        self._allowed: tuple[tuple[str, int], frozenset[bytes]] | None = None

    def _allowed_hosts(self) -> frozenset[bytes]:
        key = self._host_and_port()
        if self._allowed is None or self._allowed[0] != key:
            host, port = key
            names = allowed_host_names(host)
            self._allowed = (key, frozenset(f"{name}:{port}".encode() for name in names))
        return self._allowed[1]

    def _cookie_name(self) -> str:
        return cookie_name(self._host_and_port()[1])

    async def __call__(self, scope, receive, send):
        kind = scope["type"]
        if kind not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return
        headers = dict(scope["headers"])  # the last of repeated headers wins; Host is never repeated
        path = scope["path"]
        if kind == "http":
            send = self._with_headers(send, path)

        if headers.get(b"host", b"").lower() not in self._allowed_hosts():
            await self._refuse(scope, receive, send, 400, "Host not allowed")
            return

        if kind == "http":
            if self.token is not None and scope["method"] in ("GET", "HEAD"):
                query = parse_qsl(scope["query_string"].decode("latin-1"), keep_blank_values=True)
                offered = [value for name, value in query if name == "token"]
                if offered and not path.startswith(("/api/", "/ws")):
                    await self._login(scope, send, path, query, offered[-1])
                    return

        if self.token is not None and _needs_token(path) and not self._authorised(headers):
            await self._refuse(scope, receive, send, 401, "Missing or wrong access token")
            return
        await self.app(scope, receive, send)

    def _authorised(self, headers: dict[bytes, bytes]) -> bool:
        offered = b""
        authorization = headers.get(b"authorization", b"")
        scheme, _, credentials = authorization.partition(b" ")
        if scheme.lower() == b"bearer":
            offered = credentials.strip()
        elif b"cookie" in headers:
            # Split by hand: other local servers' cookies may be anything, and a stricter parser
            # would drop ours along with a cookie it cannot read.
            wanted = self._cookie_name().encode()
            for pair in headers[b"cookie"].split(b";"):
                name, _, value = pair.strip().partition(b"=")
                if name == wanted:
                    offered = value.strip()
        return bool(offered) and hmac.compare_digest(offered, self.token)

    async def _login(self, scope, send, path: str, query: list[tuple[str, str]], offered: str) -> None:
        """``?token=...`` on the page: set the cookie and send the browser to the clean address."""
        if not hmac.compare_digest(offered.encode("latin-1", "replace"), self.token):
            await _plain(send, 401, "Wrong access token: open the address the server printed.")
            return
        rest = urlencode([(name, value) for name, value in query if name != "token"])
        location = path + ("?" + rest if rest else "")
        # Kept for 30 days: the token survives restarts, so a bookmark of the clean address keeps working.
        cookie = f"{self._cookie_name()}={offered}; Path=/; Max-Age=2592000; HttpOnly; SameSite=Strict"
        await send({
            "type": "http.response.start",
            "status": 303,
            "headers": [(b"location", location.encode("latin-1")), (b"set-cookie", cookie.encode("latin-1")),
                        (b"content-length", b"0")],
        })
        await send({"type": "http.response.body", "body": b""})

    async def _refuse(self, scope, receive, send, status: int, reason: str) -> None:
        if scope["type"] == "websocket":
            message = await receive()
            if message["type"] != "websocket.connect":
                return
            if status == 400 and "websocket.http.response" in scope.get("extensions", {}):
                # The server can answer the upgrade request with a plain HTTP response.
                body = reason.encode()
                await send({"type": "websocket.http.response.start", "status": status,
                            "headers": [(b"content-type", b"text/plain; charset=utf-8"),
                                        (b"content-length", str(len(body)).encode())]})
                await send({"type": "websocket.http.response.body", "body": body})
            else:
                # Closing before the handshake is accepted answers the upgrade request with HTTP 403.
                await send({"type": "websocket.close", "code": 1008, "reason": reason})
            return
        if status == 401 and scope["path"].startswith("/api/"):
            body = json.dumps({"detail": reason}).encode()
            await _respond(send, status, body, b"application/json", [(b"www-authenticate", b"Bearer")])
        elif status == 401:
            await _plain(send, status, "This Tavrin server needs its access token: open the address it printed "
                                       "when it started (http://.../?token=...).")
        else:
            await _plain(send, status, reason)

    def _with_headers(self, send, path: str):
        extra = list(SECURITY_HEADERS)
        if path == "/" or path.startswith("/api/"):
            extra.append(NO_STORE)

        async def send_with_headers(message):
            if message["type"] == "http.response.start":
                names = {name.lower() for name, _ in message.get("headers", [])}
                message = dict(message)
                message["headers"] = list(message.get("headers", [])) + [h for h in extra if h[0] not in names]
            await send(message)

        return send_with_headers


def _needs_token(path: str) -> bool:
    return path == "/" or path == "/ws" or path.startswith("/api/")


async def _plain(send, status: int, text: str) -> None:
    await _respond(send, status, text.encode(), b"text/plain; charset=utf-8")


async def _respond(send, status: int, body: bytes, content_type: bytes, headers=()) -> None:
    await send({
        "type": "http.response.start",
        "status": status,
        "headers": [(b"content-type", content_type), (b"content-length", str(len(body)).encode()), *headers],
    })
    await send({"type": "http.response.body", "body": body})
