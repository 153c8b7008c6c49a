"""The focused window's accessibility tree: read over AT-SPI, then pruned to a bounded text.

Two halves. ``snapshot()`` talks D-Bus (through jeepney, a pure-Python client, so no system
binding is needed): it finds the accessibility bus, asks the registry for the desktop's
applications, picks the active window and walks it breadth first, every call bounded by a
timeout and the whole walk by a deadline and a node budget. It returns plain data, the same
shape as the recorded trees the tests use:

    {"application": str, "window": node, "incomplete": bool}
    node = {"role": str, "name": str, "description": str, "states": [str], "extents": [x, y, w, h],
            "value": float, "text": str, "child_count": int, "children": [node]}

``render()`` is pure: it hides what is not showing, folds anonymous containers into their
children, keeps a breadth-first budget of elements so the window's outline survives a huge list,
and bounds depth and size, saying how many elements it left out.
"""

from __future__ import annotations

import asyncio
import json
import os
import re
from collections.abc import Awaitable
from dataclasses import dataclass
from typing import Any

# AtspiStateType, by bit position in the 64-bit state set (two uint32 words).
STATES = (
    "invalid",
    "active",
    "armed",
    "busy",
    "checked",
    "collapsed",
    "defunct",
    "editable",
    "enabled",
    "expandable",
    "expanded",
    "focusable",
    "focused",
    "has tooltip",
    "horizontal",
    "iconified",
    "modal",
    "multi line",
    "multiselectable",
    "opaque",
    "pressed",
    "resizable",
    "selectable",
    "selected",
    "sensitive",
    "showing",
    "single line",
    "stale",
    "transient",
    "vertical",
    "visible",
    "manages descendants",
    "indeterminate",
    "required",
    "truncated",
    "animated",
    "invalid entry",
    "supports autocompletion",
    "selectable text",
    "is default",
    "visited",
    "checkable",
    "has popup",
    "read only",
)

REGISTRY = "org.a11y.atspi.Registry"
ROOT_PATH = "/org/a11y/atspi/accessible/root"
ACCESSIBLE = "org.a11y.atspi.Accessible"
PROPERTIES = "org.freedesktop.DBus.Properties"
COMPONENT = "org.a11y.atspi.Component"
VALUE = "org.a11y.atspi.Value"
TEXT = "org.a11y.atspi.Text"
NULL_PATH = "/org/a11y/atspi/null"
COORD_SCREEN = 0


class Unavailable(Exception):
    """The accessibility tree cannot be read here; the message is one plain sentence."""


@dataclass(frozen=True)
class Limits:
    max_nodes: int = 200  # elements rendered
    max_depth: int = 12  # levels below the window, after folding containers
    max_chars: int = 12_000  # the whole rendering
    max_name: int = 120  # one name, description or value
    max_text: int = 300  # the text content of one element


# -- rendering (pure) ----------------------------------------------------------------------------

# Containers that carry no meaning of their own when they have no name: their children take their place.
STRUCTURAL = frozenset(
    {
        "filler",
        "panel",
        "section",
        "grouping",
        "layered pane",
        "scroll pane",
        "viewport",
        "split pane",
        "root pane",
        "glass pane",
        "internal frame",
        "unknown",
        "redundant object",
        "invalid",
        "form",
        "block quote",
        "article",
        "landmark",
        "static",
        "document frame",
        "document web",
    }
)
# States worth a word; the rest (showing, visible, focusable, ...) are true of nearly everything shown.
SHOWN_STATES = (
    "focused",
    "checked",
    "pressed",
    "selected",
    "expanded",
    "collapsed",
    "indeterminate",
    "editable",
    "read only",
    "required",
    "invalid entry",
    "modal",
    "multiselectable",
    "visited",
)
# Roles whose being disabled matters to someone about to act on them.
ACTIONABLE = frozenset(
    {
        "push button",
        "toggle button",
        "check box",
        "radio button",
        "menu item",
        "check menu item",
        "radio menu item",
        "combo box",
        "entry",
        "text",
        "password text",
        "spin button",
        "slider",
        "link",
        "page tab",
        "list item",
        "table cell",
        "tree item",
        "button",
        "switch",
    }
)

# Roles whose text content is what they show (a label's text is its name already).
TEXT_ROLES = frozenset({"text", "entry", "paragraph", "terminal", "document text", "spin button", "editbar"})

_SPACE = re.compile(r"\s+")


def _clip(s: str, n: int) -> str:
    s = _SPACE.sub(" ", s).strip()
    return s if len(s) <= n else s[: n - 1] + "\u2026"


def _quote(s: str, n: int) -> str:
    return json.dumps(_clip(s, n), ensure_ascii=False)


def _showing(node: dict) -> bool:
    states = node.get("states")
    return states is None or ("showing" in states and "visible" in states)


# Toolkits place an element scrolled or clipped out of view at the lowest coordinate.
_OFF = -(2**31)


def _offscreen(node: dict) -> bool:
    ext = node.get("extents")
    return ext is not None and bool(ext) and (ext[0] == _OFF or ext[1] == _OFF)


def _count(node: dict) -> int:
    kids = node.get("children", [])
    return 1 + max(0, node.get("child_count", len(kids)) - len(kids)) + sum(_count(k) for k in kids)


@dataclass
class _View:
    node: dict
    children: list[_View]
    unfetched: int  # children the application has but the walk did not read
    size: int = 0  # elements in this subtree, itself included (unfetched ones count one each)


def _fold(node: dict, limits: Limits) -> tuple[list[_View], int]:
    """The views that stand for ``node`` (none when hidden, its children when it is an anonymous
    container), and the count of unread elements that the parent must account for."""
    if not _showing(node):
        return [], 0
    if _offscreen(node):
        return [], _count(node)  # scrolled out of view: not shown, but there
    kids = node.get("children", [])
    children: list[_View] = []
    unfetched = max(0, node.get("child_count", len(kids)) - len(kids))
    for kid in kids:
        views, unread = _fold(kid, limits)
        children += views
        unfetched += unread
    name = _clip(node.get("name", ""), limits.max_name)
    # A label that repeats its parent's name (a button's own caption) says nothing new.
    children = [
        c
        for c in children
        if not (
            not c.children
            and not c.unfetched
            and c.node.get("role") in ("label", "static")
            and name
            and _clip(c.node.get("name", ""), limits.max_name) == name
        )
    ]
    if (
        node.get("role") in STRUCTURAL
        and not name
        and "value" not in node
        and not node.get("text")
        and "focused" not in node.get("states", ())
    ):
        return children, unfetched
    return [_sized(_View(node, children, unfetched))], 0


def _sized(v: _View) -> _View:
    v.size = 1 + v.unfetched + sum(c.size for c in v.children)
    return v


def _allot(view: _View, budget: int, depth: int, max_depth: int, chosen: set[int]) -> int:
    """Choose up to ``budget`` elements below ``view``; how many were chosen.

    Shares are fair: the smaller subtrees (a form's buttons) are taken whole and what is left goes
    to the larger ones (a long list), so no single list can push the rest of the window out.
    """
    kids = view.children
    if depth > max_depth or budget <= 0 or not kids:
        return 0
    if budget < len(kids):
        for kid in kids[:budget]:
            chosen.add(id(kid))
        return budget
    used = 0
    by_size = sorted(kids, key=lambda k: k.size)
    for i, kid in enumerate(by_size):
        share = (budget - used) // (len(by_size) - i)
        chosen.add(id(kid))
        used += 1 + _allot(kid, min(kid.size, share) - 1, depth + 1, max_depth, chosen)
    return used


def _line(node: dict, limits: Limits) -> str:
    parts = [node.get("role") or "element"]
    if node.get("name"):
        parts.append(_quote(node["name"], limits.max_name))
    if node.get("text") and _clip(node["text"], limits.max_text) != _clip(node.get("name", ""), limits.max_text):
        parts.append("text=" + _quote(node["text"], limits.max_text))
    value = ""
    if "value" in node:
        v = float(node["value"])
        value = str(int(v)) if v.is_integer() else f"{v:.4g}"
        parts.append("value=" + value)
    if node.get("description") and node["description"] not in (node.get("name"), value):
        parts.append("description=" + _quote(node["description"], limits.max_name))
    states = node.get("states")
    if states is not None:
        shown = [s for s in SHOWN_STATES if s in states]
        if node.get("role") in ACTIONABLE and not ("enabled" in states and "sensitive" in states):
            shown.append("disabled")
        if shown:
            parts.append("[" + ", ".join(shown) + "]")
    ext = node.get("extents")
    if ext and ext[2] > 0 and ext[3] > 0:
        parts.append(f"@{ext[0]},{ext[1]} {ext[2]}x{ext[3]}")
    return " ".join(parts)


def _more(n: int) -> str:
    return f"({n} more element{'s' if n != 1 else ''} not shown)"


def render(snap: dict, limits: Limits = Limits()) -> str:
    """The snapshot as an indented outline within ``limits``, one element a line."""
    window = snap["window"]
    views, unread = _fold(window, limits)
    root = views[0] if len(views) == 1 and views[0].node is window else _sized(_View(window, views, unread))

    chosen: set[int] = set()
    _allot(root, limits.max_nodes, 1, limits.max_depth, chosen)

    header = f"Focused window: {_line(window, limits)}"
    if snap.get("application"):
        header += f" (application {_quote(snap['application'], limits.max_name)})"
    lines = [header]
    budget = limits.max_chars - len(header) - 80  # room for the closing line
    left_out = 0

    def walk(view: _View, depth: int) -> None:
        nonlocal budget, left_out
        hidden = view.unfetched
        for child in view.children:
            if id(child) not in chosen:
                hidden += child.size
                continue
            line = "  " * depth + _line(child.node, limits)
            if len(line) + 1 > budget:
                hidden += child.size
                continue
            budget -= len(line) + 1
            lines.append(line)
            walk(child, depth + 1)
        if hidden:
            marker = "  " * depth + _more(hidden)
            if len(marker) + 1 <= budget:
                budget -= len(marker) + 1
                lines.append(marker)
            else:
                left_out += hidden

    walk(root, 1)
    if left_out:
        lines.append(_more(left_out) + " (the output is bounded)")
    if snap.get("incomplete"):
        lines.append("(the application did not answer in time; the tree is incomplete)")
    return "\n".join(lines)


# -- reading over D-Bus --------------------------------------------------------------------------


def states_from_bits(words: list[int] | tuple[int, ...]) -> list[str]:
    bits = 0
    for i, w in enumerate(words[:2]):
        bits |= (w & 0xFFFFFFFF) << (32 * i)
    return [name for i, name in enumerate(STATES) if bits >> i & 1]


def _states(body: tuple | None) -> list[str]:
    words = body[0] if body else None
    return states_from_bits(words) if isinstance(words, list) and all(isinstance(w, int) for w in words) else []


def session_bus_address() -> str | None:
    addr = os.environ.get("DBUS_SESSION_BUS_ADDRESS")
    if addr:
        return addr
    # Where the bus is started with the user's session (systemd), it sits at a fixed place
    # and the variable is often unset.
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime and os.path.exists(os.path.join(runtime, "bus")):
        return "unix:path=" + os.path.join(runtime, "bus")
    return None


class _Bus:
    """One connection with every call bounded by ``call_timeout`` and by the walk's ``deadline``."""

    def __init__(self, router: Any, call_timeout: float, deadline: float, concurrency: int = 32):
        self.router = router
        self.call_timeout = call_timeout
        self.deadline = deadline
        self.slots = asyncio.Semaphore(concurrency)
        self.timed_out = False

    async def call(
        self, name: str, path: str, iface: str, method: str, sig: str | None = None, body: tuple = ()
    ) -> tuple | None:
        """The reply's body, or None for an error reply, a broken peer or a timeout."""
        from jeepney import DBusAddress, MessageType, new_method_call

        loop = asyncio.get_running_loop()
        msg = new_method_call(DBusAddress(path, bus_name=name, interface=iface), method, sig, body)
        async with self.slots:
            remaining = min(self.call_timeout, self.deadline - loop.time())
            if remaining <= 0:
                self.timed_out = True
                return None
            try:
                reply = await asyncio.wait_for(self.router.send_and_get_reply(msg), remaining)
            except TimeoutError:
                self.timed_out = True
                return None
            except Exception:  # noqa: BLE001 - a peer that vanished or a closed router: nothing to read
                return None
        if reply.header.message_type != MessageType.method_return:
            return None
        return reply.body

    async def prop(self, name: str, path: str, iface: str, prop: str) -> Any:
        body = await self.call(name, path, PROPERTIES, "Get", "ss", (iface, prop))
        variant = body[0] if body else None
        return variant[1] if isinstance(variant, tuple) and len(variant) == 2 else None


async def _connect(address: str, timeout: float) -> Any:
    from jeepney.io.asyncio import DBusRouter, open_dbus_connection

    conn = await asyncio.wait_for(open_dbus_connection(address), timeout)
    return conn, DBusRouter(conn)


async def _close(conn: Any, router: Any) -> None:
    await router.__aexit__(None, None, None)
    await conn.close()


async def find_bus(timeout: float) -> str:
    """The accessibility bus's address: from AT_SPI_BUS_ADDRESS, or asked of the session bus."""
    addr = os.environ.get("AT_SPI_BUS_ADDRESS")
    if addr:
        return addr
    session = session_bus_address()
    if session is None:
        raise Unavailable(
            "No accessibility bus is available: there is no D-Bus session bus "
            "(DBUS_SESSION_BUS_ADDRESS is not set) and AT_SPI_BUS_ADDRESS is not set."
        )
    try:
        conn, router = await _connect(session, timeout)
    except TimeoutError:
        raise Unavailable(
            f"No accessibility bus is available: the D-Bus session bus did not answer within {timeout:g} s."
        ) from None
    except Exception as exc:  # noqa: BLE001 - a bad address, a missing socket, refused authentication
        raise Unavailable(
            f"No accessibility bus is available: the D-Bus session bus cannot be reached ({_reason(exc)})."
        ) from None
    try:
        loop = asyncio.get_running_loop()
        bus = _Bus(router, timeout, loop.time() + timeout)
        body = await bus.call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress")
    finally:
        await _close(conn, router)
    if not body and bus.timed_out:
        raise Unavailable(
            f"No accessibility bus is available: the session bus did not give its address within {timeout:g} s."
        )
    if not body or not isinstance(body[0], str) or not body[0]:
        raise Unavailable(
            "No accessibility bus is available: the session bus offers no accessibility "
            "service (org.a11y.Bus; at-spi2-core provides it)."
        )
    return body[0]


def _reason(exc: BaseException) -> str:
    text = str(exc) or type(exc).__name__
    return _clip(text, 160)


CALL_TIMEOUT = 2.0  # one D-Bus call, and connecting to a bus
WALK_TIMEOUT = 8.0  # the whole walk of the window; what was read by then is rendered


async def snapshot(limits: Limits = Limits(), fetch_limit: int | None = None) -> dict:
    """The active window's tree as plain data (see the module's docstring); raises Unavailable."""
    loop = asyncio.get_running_loop()
    call_timeout, walk_timeout = CALL_TIMEOUT, WALK_TIMEOUT
    address = await find_bus(call_timeout)
    try:
        conn, router = await _connect(address, call_timeout)
    except Exception as exc:  # noqa: BLE001 - timeout, refused, a transport jeepney cannot use
        if isinstance(exc, TimeoutError):
            raise Unavailable(f"The accessibility bus did not answer within {call_timeout:g} s.") from None
        raise Unavailable(f"The accessibility bus cannot be reached ({_reason(exc)}).") from None
    try:
        bus = _Bus(router, call_timeout, loop.time() + walk_timeout)
        app, window = await _active_window(bus)
        budget = fetch_limit if fetch_limit is not None else max(300, limits.max_nodes * 3)
        tree = await _walk(bus, window, budget, limits)
        if not tree.get("role"):
            raise Unavailable(f"The active window of {_quote(app, 60)} did not answer.")
        return {"application": app, "window": tree, "incomplete": bus.timed_out}
    finally:
        await _close(conn, router)


async def _active_window(bus: _Bus) -> tuple[str, tuple[str, str]]:
    body = await bus.call(REGISTRY, ROOT_PATH, ACCESSIBLE, "GetChildren")
    if body is None:
        raise Unavailable("The accessibility bus has no registry answering (at-spi2-registryd is not running).")
    apps = _refs(body)

    async def windows(app: tuple[str, str]) -> list[tuple[str, tuple[str, str], list[str], str]]:
        name, kids = await asyncio.gather(bus.prop(*app, ACCESSIBLE, "Name"), bus.call(*app, ACCESSIBLE, "GetChildren"))
        refs = _refs(kids)
        states = await asyncio.gather(*(bus.call(*r, ACCESSIBLE, "GetState") for r in refs))
        titles = await asyncio.gather(*(bus.prop(*r, ACCESSIBLE, "Name") for r in refs))
        return [(str(name or ""), r, _states(s), str(t or "")) for r, s, t in zip(refs, states, titles)]

    found = [w for ws in await asyncio.gather(*(windows(a) for a in apps)) for w in ws]
    for app_name, ref, states, _ in found:
        if "active" in states:
            return app_name, ref
    if not found and bus.timed_out:
        raise Unavailable(
            f"No window could be read: the applications on the accessibility bus did not "
            f"answer within {bus.call_timeout:g} s."
        )
    if not found:
        raise Unavailable("No application on the accessibility bus has a window open.")
    listed = ", ".join(f"{_quote(t, 60)} ({_quote(a, 40)})" for a, _, _, t in found[:10])
    raise Unavailable(f"No window is active; the open windows are {listed}.")


async def _walk(bus: _Bus, ref: tuple[str, str], budget: int, limits: Limits) -> dict:
    """Breadth first from ``ref``, reading at most ``budget`` elements."""
    root: dict = {}
    per_node = max(20, limits.max_nodes // 2)
    level = [(ref, root, 0)]
    budget -= 1
    while level:
        results = await asyncio.gather(*(_read_safely(bus, r, n, depth, limits) for r, n, depth in level))
        nxt = []
        for (_, node, depth), kids in zip(level, results):
            # A long list gets a slice, so the walk's budget reaches the rest of the window.
            for kid in kids[:per_node]:
                if budget <= 0:
                    break
                budget -= 1
                child: dict = {}
                node["children"].append(child)
                nxt.append((kid, child, depth + 1))
        level = nxt
    _drop_unread(root)
    return root


def _drop_unread(node: dict) -> None:
    # A child whose first call failed stays empty; it counts among the unread ones.
    node["children"] = [c for c in node.get("children", []) if c.get("role")]
    for c in node["children"]:
        _drop_unread(c)


def _refs(body: tuple | None) -> list[tuple[str, str]]:
    """The object references in a GetChildren reply, less the null ones and anything malformed."""
    refs = body[0] if body and isinstance(body[0], list) else []
    return [
        (r[0], r[1])
        for r in refs
        if isinstance(r, tuple)
        and len(r) == 2
        and isinstance(r[0], str)
        and isinstance(r[1], str)
        and r[1] != NULL_PATH
    ]


async def _read_safely(
    bus: _Bus, ref: tuple[str, str], node: dict, depth: int, limits: Limits
) -> list[tuple[str, str]]:
    try:
        return await _read(bus, ref, node, depth, limits)
    except (TypeError, ValueError, KeyError, IndexError, AttributeError, OverflowError):
        # An application answered with the wrong shapes: the element counts as unread.
        node.clear()
        node["children"] = []
        return []


async def _read(bus: _Bus, ref: tuple[str, str], node: dict, depth: int, limits: Limits) -> list[tuple[str, str]]:
    """Fill ``node`` from the element at ``ref``; the references of the children worth reading."""
    role, state, props, ifaces = await asyncio.gather(
        bus.call(*ref, ACCESSIBLE, "GetRoleName"),
        bus.call(*ref, ACCESSIBLE, "GetState"),
        bus.call(*ref, PROPERTIES, "GetAll", "s", (ACCESSIBLE,)),
        bus.call(*ref, ACCESSIBLE, "GetInterfaces"),
    )
    node["children"] = []
    if role is None:
        return []
    values = {k: v[1] for k, v in props[0].items()} if props else {}
    node.update(
        role=str(role[0]),
        name=str(values.get("Name", "")),
        description=str(values.get("Description", "")),
        child_count=max(0, int(values.get("ChildCount", 0))),
    )
    if state is not None:
        node["states"] = _states(state)
    interfaces = set(ifaces[0]) if ifaces else set()
    extras: list[tuple[str, Awaitable[Any]]] = []  # a property's value, or a method's reply body
    if COMPONENT in interfaces:
        extras.append(("extents", bus.call(*ref, COMPONENT, "GetExtents", "u", (COORD_SCREEN,))))
    if VALUE in interfaces:
        extras.append(("value", bus.prop(*ref, VALUE, "CurrentValue")))
    if (
        TEXT in interfaces
        and (node["role"] in TEXT_ROLES or "editable" in node.get("states", ()))
        and node["role"] != "password text"
    ):
        extras.append(("text", bus.call(*ref, TEXT, "GetText", "ii", (0, limits.max_text + 1))))
    for (key, _), got in zip(extras, await asyncio.gather(*(aw for _, aw in extras))):
        if got is None:
            continue
        if key == "extents":
            node["extents"] = [int(v) for v in got[0][:4]]
        elif key == "value":
            node["value"] = float(got)
        elif got[0]:
            node["text"] = str(got[0])
    if not _showing(node) or _offscreen(node) or depth >= limits.max_depth * 3 or not node["child_count"]:
        return []
    return _refs(await bus.call(*ref, ACCESSIBLE, "GetChildren"))
