"""Reference cycles through an abandoned native coroutine are collected.

Each coroutine of the two modules is stopped at one of its awaits while everything it talks to (the
socket, the agent, the session and its lock, the store, the message, the event being sent and the
awaitable it is suspended on) refers back to it. Then every outside reference is dropped and one
`gc.collect()` must free the whole cycle, as it frees the same cycle through a suspended `async def`.
A reference the frame holds without showing it to the collector (a plain handle kept across the
await) makes the cycle immortal, and the failing case names the coroutine and the await.
"""

from __future__ import annotations

import asyncio
import ctypes
import gc
import inspect
import json
import logging
import sys
import weakref

import pytest
from fastapi import WebSocketDisconnect

from fakes import (
    FakeAgent,
    FakeComputerUseAgent,
    FakeConversationAgent,
    FakeCUEvent,
    FakeEvent,
    FakeGuardrails,
    FakeHeartbeatController,
    FakeMemory,
    FakeSession,
    Host,
)
from tavrin.config import HeartbeatConfig
from tavrin.core import heartbeat

# Tasks made here are held, never run: the coroutines they hold are collected unstarted. A collection
# that goes wrong could crash the interpreter: these run in a fresh one (test_isolated.py).
pytestmark = [
    pytest.mark.filterwarnings("ignore:coroutine '.*' was never awaited:RuntimeWarning"),
    pytest.mark.isolated,
]

MISSING = object()


@pytest.fixture(autouse=True)
def quiet(caplog):
    # A captured record of a failure would hold its traceback, and with it the cycle.
    caplog.set_level(logging.CRITICAL, logger="tavrin.ws")
    caplog.set_level(logging.CRITICAL, logger="tavrin.heartbeat")


class Cycle:
    """What every fake of a case refers back to; the coroutine under test hangs on it."""


class Hang:
    """An awaitable that never completes (a bare yield, again at every send) and refers to the cycle."""

    def __init__(self, cycle):
        self.cycle = cycle

    def __await__(self):
        while True:
            yield


class Env:
    """One case: the cycle, the armed await point, the fake host, and the globals it replaced.

    Fakes pass `point(name)` wherever the real thing may suspend; every point but the armed one
    (name, n-th passage) completes at once. At the armed one the caller hangs, and a dict being sent
    there gets a key that leads back to the cycle, as a socket that keeps what it was given would.
    """

    def __init__(self, ws, armed):
        self.ws, self.armed = ws, armed
        self.cycle = Cycle()
        self.reached = False
        self.counts: dict[str, int] = {}
        self.host = Host()
        self._undo: list[tuple] = []
        for name, module in [
            ("tavrin.gateway.server", self.host.server),
            ("tavrin.core.session_registry", self.host.session_registry),
            ("tavrin.core.computer_use_agent", self.host.cu_module),
        ]:
            self.patch(sys.modules, name, module)

    def patch(self, target, name, value):
        if isinstance(target, dict):
            self._undo.append((target, name, target.get(name, MISSING)))
            target[name] = value
        else:
            self._undo.append((target, name, getattr(target, name, MISSING)))
            setattr(target, name, value)

    def restore(self):
        while self._undo:
            target, name, old = self._undo.pop()
            if isinstance(target, dict) and old is MISSING:
                del target[name]
            elif isinstance(target, dict):
                target[name] = old
            elif old is MISSING:
                delattr(target, name)
            else:
                setattr(target, name, old)

    async def point(self, name, payload=None):
        n = self.counts[name] = self.counts.get(name, 0) + 1
        if (name, n) == self.armed:
            self.reached = True
            if isinstance(payload, dict):
                payload["cycle"] = self.cycle
            await Hang(self.cycle)

    def tie(self, obj):
        obj.cycle = self.cycle
        return obj

    def wired(self, obj, label, *methods):
        """`obj`, tied to the cycle, with the named async methods passing "<label>:<method>" first."""
        for name in methods:
            original = getattr(obj, name)

            async def through(*a, _original=original, _point=f"{label}:{name}", **kw):
                await self.point(_point)
                return await _original(*a, **kw)

            setattr(obj, name, through)
        return self.tie(obj)

    def stream(self, obj, label, method):
        """`obj`, tied to the cycle, whose async-generator `method` passes "<label>:step" before each item."""
        original = getattr(obj, method)

        async def stream(*a, **kw):
            async for item in original(*a, **kw):
                await self.point(f"{label}:step")
                yield item

        setattr(obj, method, stream)
        return self.tie(obj)

    def sock(self, label="req", **kw):
        return Sock(self, label, **kw)

    def message(self, type, **fields):
        return {"type": type, **fields, "cycle": self.cycle}


class Sock:
    """A client socket whose every await is a point "<label>:accept|close|receive|<sent event type>"."""

    def __init__(self, env, label, *, frames=(), origin="https://app.test", fail=False):
        self.env, self.label, self.fail = env, label, fail
        self.frames = [json.dumps(f) for f in frames]
        self.headers = {"origin": origin}

    async def accept(self):
        await self.env.point(f"{self.label}:accept")

    async def close(self, code=1000, reason=None):
        await self.env.point(f"{self.label}:close")

    async def receive_text(self):
        await self.env.point(f"{self.label}:receive")
        if not self.frames:
            raise WebSocketDisconnect(1000)
        return self.frames.pop(0)

    async def send_json(self, data):
        await self.env.point(f"{self.label}:{data.get('type')}", data)
        if self.fail:
            raise RuntimeError("peer gone")


class HeldTask:
    """A task that holds its coroutine and never runs it."""

    def __init__(self, coro):
        self.coro, self.callbacks = coro, []

    def done(self):
        return False

    def cancel(self):
        self.coro.close()
        return True

    def add_done_callback(self, fn):
        self.callbacks.append(fn)


class HeldAsyncio:
    """The gateway's `asyncio` in these cases: tasks are held, and a sleep is the await point "sleep"."""

    def __init__(self, env):
        self.env = env

    def __getattr__(self, name):
        return getattr(asyncio, name)

    def create_task(self, coro, *, name=None):
        return HeldTask(coro)

    async def sleep(self, delay):
        await self.env.point("sleep")


def abandon(ws, build, armed):
    """Runs `build(env)`'s coroutine by hand up to the armed await inside its cycle, then lets go of
    everything outside the cycle. Returns a weak reference to the cycle."""
    env = Env(ws, armed)
    try:
        env.cycle.coro = coro = build(env)
        try:
            coro.send(None)
        except StopIteration:
            pass
        assert env.reached, f"finished without reaching {armed}"
    finally:
        env.restore()
        ws.manager._connections.clear()
        ws._active_tasks.clear()
    return weakref.ref(env.cycle)


# ---- the gateway's coroutines, by scenario ----


def endpoint(env, frames=(), origin="https://app.test"):
    env.patch(env.ws, "asyncio", HeldAsyncio(env))
    return env.ws.create_ws_router().routes[0].endpoint(ws=env.sock(frames=frames, origin=origin))


def refused_endpoint(env):
    env.patch(env.ws, "_ALLOWED_ORIGINS", ("https://app.test",))
    return endpoint(env, origin=env.cycle)  # a refused origin that is itself part of the cycle


def connect(env, limit=50):
    env.patch(env.ws, "_MAX_WS_CONNECTIONS", limit)
    return env.ws.manager.connect(env.sock())


def broadcast(env, first_fails=False, to_session=False):
    manager = env.tie(env.ws.ConnectionManager())
    manager._connections.extend([env.sock("a", fail=first_fails), env.sock("b")])
    if to_session:
        return manager.broadcast_to_session("s1", env.message("x"))
    return manager.broadcast(env.message("x"))


def turn_setup(env, agent=None):
    """Session "s1" (an untitled tab with a stored conversation) of `agent`, a store, an observer."""
    session = env.host.registry.add(
        env.tie(FakeSession("s1", agent, display_name="New Chat", conversation_id="conv-1"))
    )
    env.wired(session.lock, "lock", "acquire")
    env.host.state["memory"] = env.wired(FakeMemory(), "store", "rename_conversation")
    env.patch(env.ws, "asyncio", HeldAsyncio(env))
    env.ws.manager._connections.append(env.sock("obs"))
    return session


def standard_agent(env, raise_after=None):
    events = [
        FakeEvent("thinking", message="m"),
        FakeEvent("tool_approval_needed", approval_id="a1"),
        FakeEvent("done"),
    ]
    return env.stream(FakeConversationAgent(events=events, raise_after=raise_after), "agent", "process_message")


def cu_agent(env, raise_after=None):
    return env.stream(
        FakeComputerUseAgent([FakeCUEvent("text", {"content": "t"})], raise_after=raise_after), "cu", "run_task"
    )


def standard_chat(env, raise_after=None):
    agent = standard_agent(env, raise_after)
    session = turn_setup(env, agent)
    return env.ws._handle_standard_chat(env.sock(), agent, "Open my mail", session_lock=session.lock, session_id="s1")


def computer_use_chat(env, raise_after=None):
    agent = cu_agent(env, raise_after)
    turn_setup(env)
    return env.ws._handle_computer_use_chat(env.sock(), agent, "Open my mail", session_id="s1")


def chat(env, route):
    message = env.message("chat", content="Open my mail", session_id="s1")
    if route == "standard":
        turn_setup(env, standard_agent(env))
    elif route == "computer use":
        turn_setup(env)
        env.host.state["cu_agent"] = cu_agent(env)
        message["computer_use"] = True
    elif route == "no suitable agent":
        turn_setup(env, None)
    return env.ws._handle_chat(env.sock(), message)


def watchdog(env, silence=0, cancel_after=0):
    env.patch(env.ws, "asyncio", HeldAsyncio(env))
    env.ws.manager._connections.append(env.sock("obs"))
    agent = env.tie(FakeAgent())
    agent.is_processing, agent.seconds_since_activity = True, silence
    agent.stall_warn_seconds, agent.stall_cancel_seconds = 60, cancel_after
    return env.ws._watchdog(agent, "s1", 1)


def dispatch(env, type):
    env.host.registry.add(env.tie(FakeSession("s1")))
    return env.ws._handle_message(env.sock(), env.message(type))


def session_of(agent_factory, **kw):
    def setup(env):
        env.host.registry.add(env.tie(FakeSession("s1", agent_factory(env), **kw)))

    return setup


def conversation_agent(env):
    agent = env.tie(FakeConversationAgent(conversation_id="c1", memory=FakeMemory()))
    env.wired(agent.conversation, "conversation", "start_conversation", "resume_conversation")
    env.wired(agent._memory, "store", "clear_conversation_messages")
    return agent


def with_state(**entries):
    def setup(env):
        env.host.state.update({k: make(env) for k, make in entries.items()})

    return setup


def with_registry(env):
    env.wired(env.host.registry, "registry", "create_session", "close_session", "new_conversation_in_session")
    env.host.registry.add(env.tie(FakeSession("s1")))


def resume_setup(env):
    session_of(conversation_agent)(env)
    env.host.state["memory"] = env.wired(FakeMemory(), "store", "get_messages")


def at(coroutine, build, points):
    """The cases of one scenario: `build` abandoned at each await point ("name" or "name#n") it passes."""
    cases = []
    for point, what in points.items():
        name, _, n = point.partition("#")
        cases.append(pytest.param(build, (name, int(n or 1)), id=f"{coroutine}: {what}"))
    return cases


def handler(name, type, setup=None, **fields):
    def build(env):
        if setup:
            setup(env)
        return getattr(env.ws, name)(env.sock(), env.message(type, **fields))

    return build


CHAT_FRAME = {"type": "chat", "content": "hi", "session_id": "s1"}
GATEWAY_CASES = [
    *at("endpoint", refused_endpoint, {"req:close": "close of a refused origin"}),
    *at("endpoint", endpoint, {"req:accept": "manager.connect (accept)", "req:receive": "receive_text"}),
    *at("endpoint", lambda env: endpoint(env, [{"type": "ping"}]), {"req:pong": "_handle_message"}),
    *at("endpoint", lambda env: endpoint(env, [CHAT_FRAME]), {"req:receive#2": "receive_text, a chat task running"}),
    *at(
        "connect",
        lambda env: connect(env, limit=0),
        {"req:accept": "accept over the limit", "req:close": "close over the limit"},
    ),
    *at("connect", connect, {"req:accept": "accept of an admitted client"}),
    *at("broadcast", broadcast, {"a:x": "send"}),
    *at("broadcast", lambda env: broadcast(env, first_fails=True), {"b:x": "send after a failed one"}),
    *at("broadcast_to_session", lambda env: broadcast(env, to_session=True), {"a:x": "broadcast"}),
    *[
        case
        for route, point in [
            ("no agent", "req:error"),
            ("standard", "req:mode"),
            ("computer use", "req:mode"),
            ("no suitable agent", "req:error"),
        ]
        for case in at("_handle_chat", lambda env, route=route: chat(env, route), {point: route})
    ],
    *at(
        "_handle_standard_chat",
        standard_chat,
        {
            "req:mode": "mode banner",
            "obs:session_renamed": "auto-title, rename broadcast",
            "store:rename_conversation": "auto-title, store rename",
            "obs:conversation_renamed": "auto-title, conversation broadcast",
            "lock:acquire": "lock acquire",
            "agent:step": "agent event stream",
            "req:thinking": "event send",
            "obs:tool_approval_needed": "approval broadcast",
        },
    ),
    *at("_handle_standard_chat", lambda env: standard_chat(env, raise_after=1), {"req:error": "error report"}),
    *at(
        "_handle_computer_use_chat",
        computer_use_chat,
        {
            "req:mode": "mode banner",
            "obs:session_renamed": "rename broadcast",
            "store:rename_conversation": "store rename",
            "obs:conversation_renamed": "conversation broadcast",
            "cu:step": "agent event stream",
            "req:text": "event send",
        },
    ),
    *at("_handle_computer_use_chat", lambda env: computer_use_chat(env, raise_after=0), {"req:error": "error report"}),
    *at("_watchdog", watchdog, {"sleep": "poll sleep"}),
    # (A broadcast's send that suspends is left to its client's writer: the watchdog goes on to its next poll.)
    *at("_watchdog", lambda env: watchdog(env, silence=100), {"sleep#2": "poll after a stall warning"}),
    *at(
        "_watchdog",
        lambda env: watchdog(env, silence=100, cancel_after=90),
        {"obs:stall_warning": "auto-cancel broadcast"},
    ),
    *at("_handle_message", lambda env: dispatch(env, "list_sessions"), {"req:sessions_list": "routed handler"}),
    *at("_handle_message", lambda env: dispatch(env, "ping"), {"req:pong": "pong"}),
    *at("_handle_message", lambda env: dispatch(env, "nope"), {"req:error": "unknown type"}),
    *at(
        "stop_task",
        handler("_handle_stop_task", "stop_task", session_of(lambda env: env.tie(FakeAgent())), session_id="s1"),
        {"req:task_stopped": "reply"},
    ),
    *at(
        "approval",
        handler(
            "_handle_approval",
            "approve",
            with_state(guardrails=lambda env: env.tie(FakeGuardrails())),
            approval_id="a1",
            approved=True,
        ),
        {"req:approval_resolved": "reply"},
    ),
    *at(
        "new_session",
        handler("_handle_new_session", "new_session", with_registry),
        {"registry:create_session": "create_session", "req:session_created": "reply"},
    ),
    *at("close_session", handler("_handle_close_session", "close_session", with_registry), {"req:error": "missing id"}),
    *at(
        "close_session",
        handler("_handle_close_session", "close_session", with_registry, session_id="s1"),
        {"registry:close_session": "close_session", "req:session_closed": "reply"},
    ),
    *at("list_sessions", lambda env: env.ws._handle_list_sessions(env.sock()), {"req:sessions_list": "reply"}),
    *at(
        "new_conversation",
        handler("_handle_new_conversation", "new_conversation", with_registry, session_id="s1"),
        {"registry:new_conversation_in_session": "in a session", "req:conversation_started": "reply"},
    ),
    *at(
        "new_conversation",
        handler("_handle_new_conversation", "new_conversation", with_state(agent=conversation_agent), session_id="s9"),
        {"conversation:start_conversation": "fallback agent"},
    ),
    *at(
        "resume_conversation",
        handler(
            "_handle_resume_conversation", "resume_conversation", resume_setup, session_id="s1", conversation_id="c2"
        ),
        {
            "conversation:resume_conversation": "resume",
            "store:get_messages": "get_messages",
            "req:conversation_resumed": "reply",
        },
    ),
    *at(
        "clear_session_history",
        handler(
            "_handle_clear_session_history", "clear_session_history", session_of(conversation_agent), session_id="s1"
        ),
        {"req:error": "refusal"},
    ),
    *at(
        "clear_session_history",
        handler(
            "_handle_clear_session_history",
            "clear_session_history",
            session_of(conversation_agent, is_connector=True),
            session_id="s1",
        ),
        {
            "store:clear_conversation_messages": "clear messages",
            "conversation:start_conversation": "start conversation",
            "req:session_history_cleared": "reply",
        },
    ),
    *at(
        "heartbeat_control",
        handler(
            "_handle_heartbeat_control",
            "heartbeat_control",
            with_state(heartbeat=lambda env: env.tie(FakeHeartbeatController())),
            action="status",
        ),
        {"req:heartbeat_status": "reply"},
    ),
]


@pytest.mark.parametrize("build, armed", GATEWAY_CASES)
def test_gateway_coroutine_abandoned_in_a_cycle_is_collected(ws_module, build, armed):
    ref = abandon(ws_module, build, armed)
    gc.collect()
    assert ref() is None, "the suspended frame holds a reference the collector is not shown"


@pytest.mark.parametrize("hidden", [False, True], ids=["async def", "async def with a hidden reference"])
def test_the_check_tells_a_hidden_reference(ws_module, hidden):
    # The same harness around an `async def` handler: collected, unless one of its objects carries a
    # reference nobody shows the collector, as a plain handle kept across an await in C++ would.
    async def handler(ws, message):
        reply = {"type": "pong"}
        await ws.send_json(reply)

    held = []

    def build(env):
        sock = env.sock()
        if hidden:
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(sock))
            held.append(weakref.ref(sock))
        return handler(sock, env.message("ping"))

    ref = abandon(ws_module, build, ("req:pong", 1))
    gc.collect()
    try:
        assert (ref() is None) is not hidden
    finally:
        for r in held:
            ctypes.pythonapi.Py_DecRef(ctypes.py_object(r()))
        gc.collect()


# ---- the heartbeat runner, in an event loop that is closed under it ----


class PyRunner(heartbeat.HeartbeatRunner):
    """The runner with its loop written as an `async def`, awaiting what the native loop awaits."""

    async def _loop(self):
        try:
            while not self._stop_event.is_set():
                await asyncio.sleep(self._config.interval_seconds)
                if self._stop_event.is_set():
                    return
                if self._paused or self._in_quiet_hours():
                    continue
                if self._consecutive_beats >= self._config.max_consecutive:
                    self._paused = True
                    if self._on_event:
                        await self._on_event(
                            {
                                "type": "heartbeat_paused",
                                "reason": "max_consecutive_reached",
                                "count": self._consecutive_beats,
                            }
                        )
                    continue
                prompt = self._config.prompt or heartbeat.DEFAULT_HEARTBEAT_PROMPT
                self._consecutive_beats += 1
                if self._on_event:
                    await self._on_event(
                        {"type": "heartbeat", "beat": self._consecutive_beats, "max": self._config.max_consecutive}
                    )
                try:
                    await self._on_beat(prompt)
                except Exception:
                    pass
        except asyncio.CancelledError:
            pass


class Beats:
    """The runner's host: its callbacks are its methods, so host and runner refer to each other. The
    callback named by `park` waits for a future that never completes."""

    def __init__(self, runner_class, config, park):
        self.park, self.parked = park, False
        self.runner = runner_class(config, self.on_beat, self.on_event)

    async def on_event(self, event):
        await self._arrive("pause event" if event["type"] == "heartbeat_paused" else "beat event")

    async def on_beat(self, prompt):
        await self._arrive("on_beat")

    async def _arrive(self, where):
        if where == self.park:
            self.parked = True
            await asyncio.get_running_loop().create_future()


async def until(condition, rounds=1000):
    for _ in range(rounds):
        if condition():
            return
        await asyncio.sleep(0)
    raise AssertionError("the runner never got there")


def abandon_runner(runner_class, park):
    loop = asyncio.new_event_loop()
    loop.set_exception_handler(lambda loop, context: None)  # "Task was destroyed but it is pending!"
    config = HeartbeatConfig(
        enabled=True,
        interval_seconds=3600 if park == "sleep" else 0,
        max_consecutive=0 if park == "pause event" else 10,
        quiet_hours_start=None,
        quiet_hours_end=None,
    )
    beats = Beats(runner_class, config, park)
    try:
        loop.call_soon(beats.runner.start)
        if park == "started":
            loop.call_soon(loop.stop)  # runs in the same pass as start(): the task never takes a step
            loop.run_forever()
        elif park == "sleep":
            loop.run_until_complete(
                until(lambda: getattr(beats.runner._task.get_coro().cr_await, "__name__", "") == "sleep")
            )
        else:
            loop.run_until_complete(until(lambda: beats.parked))
        state = inspect.getcoroutinestate(beats.runner._task.get_coro())
        assert state == ("CORO_CREATED" if park == "started" else "CORO_SUSPENDED")
    finally:
        loop.close()  # with the runner's task still pending
    return weakref.ref(loop), weakref.ref(beats.runner)


@pytest.mark.parametrize("runner_class", [heartbeat.HeartbeatRunner, PyRunner], ids=["native", "async def"])
@pytest.mark.parametrize("park", ["started", "sleep", "beat event", "pause event", "on_beat"])
def test_running_heartbeat_of_a_closed_loop_is_collected(runner_class, park):
    loop_ref, runner_ref = abandon_runner(runner_class, park)
    gc.collect()
    assert loop_ref() is None and runner_ref() is None
