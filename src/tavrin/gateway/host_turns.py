"""What the host itself tells the windows and the turns it runs itself: connector messages and
heartbeat beats, which have no WebSocket of their own, and the notes that an approval was settled
or withdrawn. Each goes through the gateway's manager to every window (or every window of a session).
"""

import asyncio
import logging

from tavrin.logs import log_value

logger = logging.getLogger("tavrin.server")

# Keeps host-side broadcast tasks referenced until they finish.
side_tasks: set[asyncio.Task] = set()


def _session_streams_on() -> bool:
    from tavrin.gateway import ws

    return bool(getattr(ws, "_SESSION_STREAMS", False))


async def broadcast(event: dict) -> None:
    from tavrin.gateway.ws import manager

    await manager.broadcast(event)


async def broadcast_to_session(session_id: str, event: dict) -> None:
    from tavrin.gateway.ws import manager

    await manager.broadcast_to_session(session_id, event)


def spawn(coro, name: str) -> asyncio.Task:
    task = asyncio.get_running_loop().create_task(coro, name=name)
    side_tasks.add(task)
    task.add_done_callback(side_tasks.discard)
    task.add_done_callback(_log_task_failure)
    return task


def _log_task_failure(task: asyncio.Task) -> None:
    if not task.cancelled() and task.exception() is not None:
        logger.error("Host task %s failed", task.get_name(), exc_info=task.exception())


async def run_host_turn(session, text: str, intro: dict | None = None) -> str:
    """Run one agent turn in ``session`` on the host's behalf and broadcast its events.

    Used for connector messages and heartbeat beats, which have no WebSocket of their own:
    every event goes to all clients, tagged with the session id. The session lock is taken
    first, so a turn that is running there finishes before this one starts. Returns the
    turn's reply text.
    """
    session_id = session.session_id
    if intro is not None:
        await broadcast_to_session(session_id, intro)
    reply: list[str] = []
    async with session.lock:
        try:
            # With its intro, so that the stored turn starts as the live one did.
            async for event in session.agent.process_message(text, intro=intro):
                payload = event.to_dict()
                if payload.get("type") == "text":
                    reply.append(str(payload.get("content", "")))
                await broadcast_to_session(session_id, payload)
        except Exception as exc:
            logger.exception("Host turn failed in session %s", log_value(session_id))
            await broadcast_to_session(session_id, {"type": "error", "message": f"Agent error: {exc}"})
    return "\n".join(reply)


def start_host_turn(session, text: str, intro: dict, name: str) -> asyncio.Task:
    """``run_host_turn`` in a task of its own, one of the session's host tasks until it ends."""
    task = spawn(run_host_turn(session, text, intro), name)
    session.host_tasks.add(task)
    task.add_done_callback(session.host_tasks.discard)
    return task


async def deliver_heartbeat(prompt: str) -> None:
    """The heartbeat's beat: a check-in turn for the main session's agent."""
    from tavrin.core.session_registry import MAIN_SESSION_ID, get_registry

    session = get_registry().get(MAIN_SESSION_ID)
    if session is None or not session.agent:
        return
    task = asyncio.current_task()
    if task is not None:
        session.host_tasks.add(task)
    try:
        await run_host_turn(session, prompt, {"type": "heartbeat_prompt", "content": prompt})
    finally:
        if task is not None:
            session.host_tasks.discard(task)


def announce_decision(approval, approved: bool) -> None:
    """Tell every window that an approval was settled, so each can close its prompt."""
    event = {
        "type": "approval_decided",
        "approval_id": approval.approval_id,
        "approved": approved,
        "tool": approval.tool,
    }
    if approval.session_id is not None:
        event["session_id"] = approval.session_id
    spawn(broadcast(event), "approval-decided")


def announce_withdrawal(approval) -> None:
    """Tell every window that an approval prompt lapsed (its turn stopped, or it timed out)."""
    event = {"type": "approval_withdrawn", "approval_id": approval.approval_id, "tool": approval.tool}
    if approval.session_id is None:
        spawn(broadcast(event), "approval-withdrawn")
    elif _session_streams_on():
        # Through the session's stream: it stops offering the prompt to windows that attach later,
        # and a window that was away finds the withdrawal in its replay. Every window attaches to
        # every session it shows, so all of them still hear of it.
        spawn(broadcast_to_session(approval.session_id, event), "approval-withdrawn")
    else:
        event["session_id"] = approval.session_id
        spawn(broadcast(event), "approval-withdrawn")
