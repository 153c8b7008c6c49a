"""How the server reads its HTTP connections: uvicorn's h11 protocol with a few rules added.

uvicorn alone keeps a connection that never sends a byte open for good (its keep-alive timer
starts only after a first response), lets a request body trickle in at any pace, measures the
request head only while it is incomplete (so a 60 KiB head that arrives in one write passes), and
hands every Cookie header on. ``GuardedHTTPProtocol``, passed to uvicorn as ``http=``, changes the
reading only, not what the application sees of a request:

- **A request head within ``HEAD_SECONDS``.** The time runs from the moment the connection opens,
  and again from the end of each response; bytes that arrive meanwhile do not restart it. A
  connection that has not sent a whole head by then is closed. At most ``MAX_WAITING``
  connections may be waiting for their head at once; one more closes the one that has waited
  longest. Idle sockets can thus neither pile up nor stand in the way of a page's requests.
- **Heads of at most ``HEAD_LIMIT`` bytes**, counted however they arrive; a longer one is answered
  431. A head is collected here, line by line, before h11 sees it.
- **Cookie headers are dropped** while the head is collected (up to ``COOKIE_LIMIT`` bytes of
  them, discarded as they come). The server gives cookies no meaning, and any program on another
  port of this host can set ours: a pile of them must not make a request, or the WebSocket
  handshake with its stricter header limits, fail.
- **A body at ``BODY_FLOOR`` bytes a second at least**, measured over windows of
  ``BODY_WINDOW`` seconds while the application waits for it; a slower one is answered 408 and its
  connection closed. While the application is behind (uvicorn has stopped reading), the client is
  not to blame and the window starts again.

Every answer given here carries the security headers, as the application's own do, and the
connection closes gently after it (``LINGER_SECONDS``), so that the client gets to read it.

A head that is pipelined behind a body the client has not finished reaches h11 directly (browsers
do not pipeline): its size is then checked once h11 has parsed it.
"""

from __future__ import annotations

import asyncio
import logging
from http import HTTPStatus

import h11
from uvicorn.protocols.http.h11_impl import H11Protocol

from tavrin.gateway.security import SECURITY_HEADERS

logger = logging.getLogger("tavrin.server")

HEAD_SECONDS = 5.0
HEAD_LIMIT = 16 * 1024
COOKIE_LIMIT = 1024 * 1024
MAX_WAITING = 256
BODY_FLOOR = 1024
BODY_WINDOW = 5.0
# After a refusal: how long what the client still sends is read and dropped before the socket is
# closed. Closing with unread bytes would send a reset, and the client could lose the answer.
LINGER_SECONDS = 2.0

_COOKIE = b"cookie:"
_BLANK = (b"\r\n", b"\n")


class _Connection(h11.Connection):
    """h11's connection, refusing a parsed request head longer than ``HEAD_LIMIT``."""

    def next_event(self):
        event = super().next_event()
        if type(event) is h11.Request:
            size = len(event.method) + len(event.target) + 12
            size += sum(len(name) + len(value) + 4 for name, value in event.headers.raw_items())
            if size > HEAD_LIMIT:
                raise h11.RemoteProtocolError("request head too large", error_status_hint=431)
        return event


class GuardedHTTPProtocol(H11Protocol):
    # Connections waiting for a request head, oldest first (one server per process).
    waiting: dict[GuardedHTTPProtocol, None] = {}

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.conn = _Connection(h11.SERVER, max_incomplete_event_size=HEAD_LIMIT)
        self._head_timer: asyncio.TimerHandle | None = None
        self._collecting = False
        self._kept = bytearray()  # the head so far, without its cookies
        self._line = bytearray()  # the line being read
        self._seen_request_line = False
        self._skipping = False  # inside a Cookie line: the rest of it goes
        self._after_cookie = False  # the last header was a Cookie: its continuation lines go too
        self._cookie_bytes = 0
        self._body_timer: asyncio.TimerHandle | None = None
        self._body_bytes = 0  # body bytes in the current window
        self._body_left: int | None = None  # declared body bytes not yet received
        self._early_body = 0  # body bytes that came with the head
        self._upgraded = False
        self._refused = False

    # -- the protocol's events

    def connection_made(self, transport):
        super().connection_made(transport)
        self._await_head(collect=True)

    def connection_lost(self, exc):
        self._stop_waiting()
        self._stop_body_watch()
        super().connection_lost(exc)

    def data_received(self, data: bytes) -> None:
        if self._refused or self.transport.is_closing():
            return
        if self._collecting:
            head = self._collect(data)
            if head is None:
                return
            data = head
        elif self._body_timer is not None:
            self._count_body(len(data))
        super().data_received(data)
        self._after_events()

    def on_response_complete(self) -> None:
        super().on_response_complete()
        self._after_events()

    def send_400_response(self, msg: str) -> None:
        self._answer(400, msg)

    def handle_websocket_upgrade(self, event) -> None:
        # The connection is the WebSocket protocol's from now on: this one lets go of it.
        self._upgraded = True
        self._stop_waiting()
        self._stop_body_watch()
        super().handle_websocket_upgrade(event)

    # -- the request head

    def _await_head(self, collect: bool) -> None:
        """Start the deadline of the next request head, and collect it unless h11 holds the start
        of it already (pipelined)."""
        if self._refused or self.transport.is_closing():
            return
        self._collecting = collect
        self._kept.clear()
        self._line.clear()
        self._seen_request_line = self._skipping = self._after_cookie = False
        self._cookie_bytes = 0
        self._head_timer = self.loop.call_later(HEAD_SECONDS, self._head_timed_out)
        self.waiting[self] = None
        if len(self.waiting) > MAX_WAITING:
            oldest = next(iter(self.waiting))
            oldest._stop_waiting()
            oldest.transport.close()

    def _stop_waiting(self) -> None:
        self._collecting = False
        self.waiting.pop(self, None)
        if self._head_timer is not None:
            self._head_timer.cancel()
            self._head_timer = None

    def _head_timed_out(self) -> None:
        self._head_timer = None
        self._stop_waiting()
        self.transport.close()

    def _collect(self, data: bytes) -> bytes | None:
        """Take in ``data`` while a head is being read. Returns what h11 is to be given (the whole
        head, cookies dropped, and whatever followed it), or None while the head is incomplete or
        once it has been refused."""
        pos, size = 0, len(data)
        while pos < size:
            newline = data.find(b"\n", pos)
            end = size if newline < 0 else newline + 1
            if self._skipping:
                self._cookie_bytes += end - pos
                self._skipping = newline < 0
            else:
                self._line += data[pos:end]
                line = self._line
                continued = self._after_cookie and line.startswith((b" ", b"\t"))
                named = (len(line) >= len(_COOKIE) or newline >= 0) and line[: len(_COOKIE)].lower() == _COOKIE
                dropped = self._seen_request_line and (continued or named)
                if dropped:
                    self._after_cookie = True
                    self._cookie_bytes += len(line)
                    self._skipping = newline < 0
                    self._line = bytearray()
                elif newline >= 0:
                    if bytes(line) in _BLANK and self._seen_request_line:
                        head = bytes(self._kept + line)
                        self._stop_waiting()
                        self._early_body = size - end
                        return head + data[end:]
                    self._kept += line
                    self._seen_request_line = self._seen_request_line or bytes(line) not in _BLANK
                    self._after_cookie = False
                    self._line = bytearray()
            pos = end
            if len(self._kept) + len(self._line) > HEAD_LIMIT or self._cookie_bytes > COOKIE_LIMIT:
                self._stop_waiting()
                self._answer(431, "Request head too large")
                return None
        return None

    # -- the request body

    def _after_events(self) -> None:
        if self._refused or self._upgraded or self.transport.is_closing():
            return
        state = self.conn.their_state
        if self._head_timer is not None and not self._collecting and state is not h11.IDLE:
            self._stop_waiting()  # h11 read a pipelined head itself
        if state is h11.SEND_BODY:
            if self._body_timer is None and self.cycle is not None:
                declared = dict(self.headers).get(b"content-length")
                self._body_left = int(declared) - self._early_body if declared and declared.isdigit() else None
                self._body_bytes = 0
                self._body_timer = self.loop.call_later(BODY_WINDOW, self._check_body)
        else:
            self._stop_body_watch()
            if self._head_timer is None and state is h11.IDLE and self.conn.our_state is h11.IDLE:
                self._await_head(collect=not self.conn.trailing_data[0])
        self._early_body = 0

    def _count_body(self, count: int) -> None:
        self._body_bytes += count
        if self._body_left is not None:
            self._body_left -= count

    def _stop_body_watch(self) -> None:
        if self._body_timer is not None:
            self._body_timer.cancel()
            self._body_timer = None

    def _check_body(self) -> None:
        self._body_timer = None
        if self.transport.is_closing() or self.conn.their_state is not h11.SEND_BODY:
            return
        needed = BODY_FLOOR * BODY_WINDOW
        if self._body_left is not None:
            needed = min(needed, max(self._body_left, 1))
        if self._body_bytes < needed and not self.flow.read_paused:
            logger.info("Closed a connection whose request body came slower than %d bytes a second", BODY_FLOOR)
            self._answer(408, "Request body too slow")
            return
        self._body_bytes = 0
        self._body_timer = self.loop.call_later(BODY_WINDOW, self._check_body)

    # -- answers given here

    def _answer(self, status: int, text: str) -> None:
        """Answer ``status`` if no response has started yet, and close the connection (after
        ``LINGER_SECONDS`` of dropping what still comes). The application, if it is running, hears
        that the client went away."""
        cycle = self.cycle
        if cycle is None or not cycle.response_started:
            body = text.encode()
            head = [
                f"HTTP/1.1 {status} {HTTPStatus(status).phrase}".encode(),
                b"content-type: text/plain; charset=utf-8",
                f"content-length: {len(body)}".encode(),
                b"connection: close",
                *(name + b": " + value for name, value in SECURITY_HEADERS),
            ]
            self.transport.write(b"\r\n".join(head) + b"\r\n\r\n" + body)
        if cycle is not None and not cycle.response_complete:
            cycle.disconnected = True
            cycle.message_event.set()
        self._stop_waiting()
        self._stop_body_watch()
        self._refused = True
        if self.transport.can_write_eof():
            self.transport.write_eof()
            self.flow.resume_reading()
            self.loop.call_later(LINGER_SECONDS, self.transport.close)
        else:
            self.transport.close()
