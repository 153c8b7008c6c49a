"""Memory stays flat: thousands of turns and connections leave no Python objects behind."""

from __future__ import annotations

import asyncio
import gc
import json
import logging
import sys
import weakref

import pytest

from fastapi import WebSocketDisconnect

from fakes import FakeAgent, FakeEvent, FakeSession, FakeWebSocket, until


class CountingSocket(FakeWebSocket):
    """Counts sends instead of keeping them, so the test itself does not grow."""

    def __init__(self):
        super().__init__()
        self.count = 0

    async def send_json(self, data):
        self.count += 1


@pytest.fixture(autouse=True)
def quiet(caplog):
    # Captured log records would themselves accumulate over thousands of failing turns.
    caplog.set_level(logging.CRITICAL, logger="tavrin.ws")


def live():
    gc.collect()
    return len(gc.get_objects()), sys.getallocatedblocks()


async def test_standard_turns_leave_nothing_behind(ws_module, host):
    agent = FakeAgent(
        [FakeEvent("thinking", message="m"), FakeEvent("tool_approval_needed", approval_id="a"), FakeEvent("done")]
    )
    failing = FakeAgent([FakeEvent("text", content="x")], raise_after=1)
    host.registry.add(FakeSession("s1", agent))
    sock = CountingSocket()
    ws_module.manager._connections.append(CountingSocket())

    async def turns(n):
        for i in range(n):
            await ws_module._handle_standard_chat(sock, failing if i % 10 == 0 else agent, "hello", session_id="s1")
        await until(lambda: asyncio.all_tasks() == {asyncio.current_task()})  # the last watchdog has ended
        agent.calls.clear()  # the fakes' own records are not the gateway's
        failing.calls.clear()

    await turns(500)  # warm caches and free lists
    objects, blocks = live()
    await turns(10_000)
    objects_after, blocks_after = live()
    assert sock.count > 30_000
    assert objects_after - objects < 200, (objects, objects_after)
    assert blocks_after - blocks < 2_000, (blocks, blocks_after)


async def test_connection_cycles_leave_nothing_behind(ws_module, host):
    endpoint = ws_module.create_ws_router().routes[0].endpoint

    async def cycles(n):
        for _ in range(n):
            sock = CountingSocket()
            sock.feed({"type": "ping"}, {"type": "nope", "session_id": 1}, "not json" if _ % 2 else "{}")
            sock.hang_up()
            await endpoint(ws=sock)

    await cycles(100)
    objects, blocks = live()
    await cycles(1_000)
    objects_after, blocks_after = live()
    assert ws_module.manager._connections == []
    assert objects_after - objects < 200, (objects, objects_after)
    assert blocks_after - blocks < 2_000, (blocks, blocks_after)


def oracle_endpoint(ws_module):
    """The endpoint's receive loop written with `async def`, with the manager's registry alone."""

    async def websocket_endpoint(ws):
        if not await ws_module.manager.connect(ws):
            return
        try:
            while True:
                await ws_module._handle_message(ws, json.loads(await ws.receive_text()))
        except WebSocketDisconnect:
            pass
        ws_module.manager.disconnect(ws)

    return websocket_endpoint


class StuckClose(FakeWebSocket):
    """A client that stopped reading: its sends and its close never complete."""

    async def send_json(self, data):
        await asyncio.Event().wait()

    async def close(self, code=1000, reason=None):
        await asyncio.Event().wait()


@pytest.mark.isolated
# Closing the abandoned coroutine cannot cancel what it waits for on a closed loop: reported, as for `async def`.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize(
    "impl, state",
    [
        ("native", "receiving"),
        ("async def", "receiving"),
        ("native", "being let go"),
        ("native", "waiting for its turn"),
    ],
)
def test_an_endpoint_its_loop_left_behind_is_collected(ws_module, host, monkeypatch, impl, state):
    # catches: the gateway's own bookkeeping (the endpoint and let-go records) keeping the tasks of a
    # closed loop alive, which the same endpoint in `async def` does not
    monkeypatch.setattr(ws_module, "_SEND_TIMEOUT_SECONDS", 30.0)
    endpoint = ws_module.create_ws_router().routes[0].endpoint if impl == "native" else oracle_endpoint(ws_module)
    loop = asyncio.new_event_loop()

    async def until(condition):
        while not condition():
            await asyncio.sleep(0)

    sock = StuckClose() if state != "receiving" else FakeWebSocket()
    task = loop.create_task(endpoint(ws=sock))
    # (`sock` is deleted at the end, for the collector; every closure over it has run by then)
    loop.run_until_complete(until(lambda: sock.accepted and sock.incoming._getters))  # noqa: F821
    if state == "waiting for its turn":
        # With session streams, a send of its session's that never completes holds the socket, and the
        # endpoint's reply to a ping waits for its turn.
        monkeypatch.setattr(ws_module, "_SESSION_STREAMS", True)
        monkeypatch.setitem(ws_module._session_streams, "s1", ws_module.SessionStream("s1"))

        async def hold_the_socket():
            ws_module._session_streams["s1"].attach(sock)  # noqa: F821
            ws_module._session_streams["s1"].send_json({"type": "text"})

        loop.run_until_complete(hold_the_socket())
        sock.feed({"type": "ping"})
        loop.run_until_complete(until(lambda: not sock.incoming.qsize() and not sock.incoming._getters))  # noqa: F821
    if state == "being let go":
        monkeypatch.setattr(ws_module, "_SEND_TIMEOUT_SECONDS", 0.01)
        loop.run_until_complete(ws_module.manager.broadcast({"type": "info"}))  # times out: let go
        monkeypatch.setattr(ws_module, "_SEND_TIMEOUT_SECONDS", 30.0)
        loop.run_until_complete(until(lambda: ws_module._slow_clients))
        let_go = weakref.ref(next(iter(ws_module._slow_clients.values())))
    loop.close()  # with the endpoint waiting to receive, and the client's close under way
    ws_module.manager._connections.clear()
    ws_module._active_tasks.clear()
    gone = weakref.ref(task)
    del task, sock, loop
    gc.collect()
    assert gone() is None
    if state == "being let go":
        assert let_go() is None and not ws_module._slow_clients
    assert not ws_module._endpoint_tasks
