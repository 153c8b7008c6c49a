"""Who may reach the server: the access token, the Host allow-list and the security headers.

``AccessGuard`` wraps the whole application as an ASGI middleware, so the WebSocket gateway
mounted inside it stays as it is:

- Every HTTP request and WebSocket handshake must name one of the server's own hosts with its port
  in its ``Host`` header (``127.0.0.1``, ``localhost``, ``[::1]`` and the ``--host`` given); anything
  else is answered with 400. A page served from another name that resolves to this machine (DNS
  rebinding) can therefore read nothing.
- With a token (the default), ``/api/*`` and the ``/ws`` handshake need it as ``Authorization:
  Bearer <token>``, compared in constant time. A browser cannot set that header on a WebSocket, so
  its page first asks ``POST /api/ws-ticket`` (with the header) for a ticket and opens
  ``/ws?ticket=...``: a ticket lets one handshake in, once, within ``TICKET_SECONDS``. Without either
  HTTP answers 401 and the handshake is refused with 403 before it is accepted.
- Cookies count for nothing. Browsers keep cookies apart by host but not by port, so every program
  listening on another port of this machine would receive (and could set) any cookie of ours. The
  page shell and its static files are public and carry no data; the page keeps the token in the
  tab's own storage (see static/js/access.js).
- Every HTTP response carries the security headers: a Content-Security-Policy that forbids framing
  and connecting anywhere but here, ``X-Frame-Options: DENY``, ``nosniff``, no referrer, and
  ``Cache-Control: no-store`` on the page and on ``/api/*``.
- At most ``MAX_REQUESTS`` token-bearing HTTP requests run at once; more are answered 503.

The token lives in the data directory (file ``token``, mode 0600), made on first start. Every file
the server keeps there is opened without following symbolic links (``open_private``).
``RedactSecrets`` keeps the token and the tickets out of every log line.
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
import time
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import NoReturn
from urllib.parse import parse_qsl, unquote_plus

from tavrin.config import AppConfig
from tavrin.logs import escape_controls, escape_lines

logger = logging.getLogger("tavrin.server")

TOKEN_FILE = "token"
TOKEN_BYTES = 32
# A token the user wrote into the file must be as hard to guess as one the server makes: at least
# this many characters of the URL-safe alphabet (a made one has 43).
MIN_TOKEN_CHARS = 32
_TOKEN_ALPHABET = re.compile(r"[A-Za-z0-9_-]+")

TICKET_SECONDS = 30.0
MAX_TICKETS = 64  # tickets asked for and not used yet; the oldest goes first
TICKET_PATH = "/api/ws-ticket"
MAX_REQUESTS = 100  # token-bearing HTTP requests at once

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
    fd: int | None = None
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


def _raise_for_link(path: Path, exc: OSError) -> NoReturn:
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
            raise UnsafeFile(
                f"the token file {path} holds bytes that are not ASCII, so no token; delete it to have a new one made"
            )
        token = text.decode("ascii")
        if not _TOKEN_ALPHABET.fullmatch(token):
            raise UnsafeFile(
                f"the token file {path} holds characters a token does not have (letters, "
                "digits, '-' and '_' only); delete it to have a new one made"
            )
        if len(token) < MIN_TOKEN_CHARS:
            raise UnsafeFile(
                f"the token in {path} has {len(token)} characters, too few to be safe (at least "
                f"{MIN_TOKEN_CHARS}); delete the file to have a new one made"
            )
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


def legacy_cookie_name(port: int) -> str:
    """The cookie in which earlier versions kept the token (the page deletes it)."""
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
            candidates.update(str(info[4][0]) for info in socket.getaddrinfo(hostname, None))
        except OSError:
            pass
        names.update(_host_name(c.split("%")[0]) for c in candidates if c)
    else:
        names.add(_host_name(host))
    return names


def allowed_origins(config: AppConfig) -> set[str]:
    """The page origins of this server: each name it answers to, with its port."""
    return {f"http://{name}:{config.port}" for name in allowed_host_names(config.host)}


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
    """ASGI middleware: the Host allow-list, the token check, the WebSocket tickets and the
    security headers.

    ``token`` is None when the token is turned off. ``host_and_port()`` gives the listening
    address at each request, as the port is known only once the socket is bound.
    """

    def __init__(self, app, token: str | None, host_and_port: Callable[[], tuple[str, int]]):
        self.app = app
        self.token = token.encode() if token else None
        self._host_and_port = host_and_port
        self._allowed: tuple[tuple[str, int], frozenset[bytes]] | None = None
        self._tickets: dict[str, float] = {}  # ticket -> when it lapses (monotonic clock)
        self._requests = 0

    def _allowed_hosts(self) -> frozenset[bytes]:
        key = self._host_and_port()
        if self._allowed is None or self._allowed[0] != key:
            host, port = key
            names = allowed_host_names(host)
            self._allowed = (key, frozenset(f"{name}:{port}".encode() for name in names))
        return self._allowed[1]

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
        public = _is_public(path)
        if not (
            public or self.token is None or self._bearer(headers) or (kind == "websocket" and self._take_ticket(scope))
        ):
            await self._refuse(scope, receive, send, 401, "Missing or wrong access token")
            return
        if kind == "websocket" or public:
            await self.app(scope, receive, send)
            return
        if self._requests >= MAX_REQUESTS:
            await _plain(send, 503, "Too many requests at once; try again shortly", [(b"retry-after", b"1")])
            return
        self._requests += 1
        try:
            if path == TICKET_PATH:
                await self._issue_ticket(scope, send)
            else:
                await self.app(scope, receive, send)
        finally:
            self._requests -= 1

    def _bearer(self, headers: dict[bytes, bytes]) -> bool:
        scheme, _, credentials = headers.get(b"authorization", b"").partition(b" ")
        offered = credentials.strip()
        token = self.token
        return (
            token is not None and scheme.lower() == b"bearer" and bool(offered) and hmac.compare_digest(offered, token)
        )

    # -- tickets: the browser's way through the WebSocket handshake

    async def _issue_ticket(self, scope, send) -> None:
        if scope["method"] != "POST":
            await _respond(send, 405, b'{"detail": "Use POST"}', b"application/json", [(b"allow", b"POST")])
            return
        now = time.monotonic()
        for ticket, lapses in list(self._tickets.items()):
            if lapses <= now or len(self._tickets) >= MAX_TICKETS:
                del self._tickets[ticket]
        ticket = secrets.token_urlsafe(24)
        self._tickets[ticket] = now + TICKET_SECONDS
        body = json.dumps({"ticket": ticket, "expires_in": TICKET_SECONDS}).encode()
        await _respond(send, 200, body, b"application/json")

    def _take_ticket(self, scope) -> bool:
        """Whether the handshake names a live ticket; the ticket is used up either way."""
        offered = [v for k, v in parse_qsl(scope["query_string"].decode("latin-1")) if k == "ticket"]
        if len(offered) != 1:
            return False
        lapses = self._tickets.pop(offered[0], None)
        return lapses is not None and time.monotonic() < lapses

    async def _refuse(self, scope, receive, send, status: int, reason: str) -> None:
        if scope["type"] == "websocket":
            message = await receive()
            if message["type"] != "websocket.connect":
                return
            if status == 400 and "websocket.http.response" in scope.get("extensions", {}):
                # The server can answer the upgrade request with a plain HTTP response.
                body = reason.encode()
                await send(
                    {
                        "type": "websocket.http.response.start",
                        "status": status,
                        "headers": [
                            (b"content-type", b"text/plain; charset=utf-8"),
                            (b"content-length", str(len(body)).encode()),
                            *SECURITY_HEADERS,
                        ],
                    }
                )
                await send({"type": "websocket.http.response.body", "body": body})
            else:
                # Closing before the handshake is accepted answers the upgrade request with HTTP 403.
                await send({"type": "websocket.close", "code": 1008, "reason": reason})
            return
        if status == 401 and scope["path"].startswith("/api/"):
            body = json.dumps({"detail": reason}).encode()
            await _respond(send, status, body, b"application/json", [(b"www-authenticate", b"Bearer")])
        elif status == 401:
            await _plain(
                send,
                status,
                "This Tavrin server needs its access token: open the address it printed "
                "when it started (http://.../#token=...).",
            )
        else:
            await _plain(send, status, reason)

    def _with_headers(self, send, path: str):
        extra = list(SECURITY_HEADERS)
        if path == "/" or path.startswith("/api/"):
            extra.append(NO_STORE)
        if path == "/" and self.token is not None:
            # Earlier versions kept the token in a cookie, which the browser hands to every port of
            # this host: the page deletes it.
            name = legacy_cookie_name(self._host_and_port()[1])
            extra.append((b"set-cookie", f"{name}=; Max-Age=0; Path=/; HttpOnly; SameSite=Strict".encode()))

        async def send_with_headers(message):
            if message["type"] == "http.response.start":
                names = {name.lower() for name, _ in message.get("headers", [])}
                message = dict(message)
                message["headers"] = list(message.get("headers", [])) + [h for h in extra if h[0] not in names]
            await send(message)

        return send_with_headers


def _is_public(path: str) -> bool:
    # The page shell and its own files carry no data; everything else needs the token.
    return path == "/" or path.startswith("/static/")


async def _plain(send, status: int, text: str, headers=()) -> None:
    await _respond(send, status, text.encode(), b"text/plain; charset=utf-8", headers)


async def _respond(send, status: int, body: bytes, content_type: bytes, headers=()) -> None:
    await send(
        {
            "type": "http.response.start",
            "status": status,
            "headers": [(b"content-type", content_type), (b"content-length", str(len(body)).encode()), *headers],
        }
    )
    await send({"type": "http.response.body", "body": body})


# -- secrets in log lines ------------------------------------------------------------------------

# A query parameter in a logged URL: its name, and its value up to the next separator.
_QUERY_PARAM = re.compile(r"(?:^|(?<=[?&;]))([^=&;#?\s\"]*)=([^&;#\s\"]*)")
SECRET_PARAMS = frozenset({"token", "ticket"})


class RedactSecrets(logging.Filter):
    """Takes the access token, and the value of any ``token`` or ``ticket`` query parameter, out of
    a log record, whichever way a client wrote them (``%74oken=``, ``tok%65n=``, the token itself
    percent-encoded). The record's message and each of its arguments are rewritten in place, so
    the formatters that pick the arguments apart (uvicorn's access log) keep working.

    Put it on every handler (``install``): a filter on a logger sees only that logger's own
    records, not those of its children.
    """

    def __init__(self, token: str | None, secrets: Iterable[str] = ()):
        from tavrin.core.redact import Redactor

        super().__init__()
        self.token = token
        # The provider keys: "[redacted]" wherever they appear, tracebacks included.
        self.secrets = Redactor(secrets)

    def redact(self, text: str) -> str:
        text = self.secrets.text(text)
        if "=" in text:
            text = _QUERY_PARAM.sub(self._param, text)
        if self.token:
            if self.token in text:
                text = text.replace(self.token, "[hidden]")
            decoded = text
            for _ in range(3):  # a client may have encoded it more than once
                if "%" not in decoded and "+" not in decoded:
                    break
                decoded = unquote_plus(decoded)
                if self.token in decoded:
                    # Shown decoded, then: nothing a client encoded may start a line of its own.
                    return escape_controls(decoded.replace(self.token, "[hidden]"))
        return text

    @staticmethod
    def _param(match: re.Match) -> str:
        name = match.group(1)
        for _ in range(3):
            name = unquote_plus(name)
        return f"{match.group(1)}=[hidden]" if name.strip().lower() in SECRET_PARAMS else match.group()

    def filter(self, record: logging.LogRecord) -> bool:
        if isinstance(record.msg, str):
            record.msg = self.redact(record.msg)
        if isinstance(record.args, tuple):
            record.args = tuple(self._arg(a) for a in record.args)
        elif isinstance(record.args, dict):
            record.args = {k: self._arg(v) for k, v in record.args.items()}
        if record.exc_info and not record.exc_text:
            record.exc_text = escape_lines(self.redact(logging.Formatter().formatException(record.exc_info)))
        return True

    def _arg(self, value):
        if isinstance(value, str):
            return self.redact(value)
        if self.secrets and not isinstance(value, (int, float)) and self.secrets.holds(text := str(value)):
            return self.secrets.text(text)  # an exception, say, whose message quotes a key
        return value

    def install(self) -> None:
        """Add this filter to every handler there is now, and to the loggers that write URLs."""
        loggers = [logging.getLogger()] + [
            logger for logger in logging.root.manager.loggerDict.values() if isinstance(logger, logging.Logger)
        ]
        for each in loggers:
            for handler in each.handlers:
                if self not in handler.filters:
                    handler.addFilter(self)
        for name in ("uvicorn.access", "uvicorn.error", "tavrin"):
            logging.getLogger(name).addFilter(self)
