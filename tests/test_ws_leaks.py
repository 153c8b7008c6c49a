"""Memory stays flat: thousands of turns and connections leave no Python objects behind."""

from __future__ import annotations

import asyncio
import gc
import logging
import sys

import pytest

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
    agent = FakeAgent([FakeEvent("thinking", message="m"), FakeEvent("tool_approval_needed", approval_id="a"),
                       FakeEvent("done")])
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
