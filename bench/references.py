"""Python references for the standard chat turn.

`floor_turn` does only the calls any implementation of the turn must make per event; nothing can
be cheaper. `python_turn` is the whole turn written the straightforward way in Python, as a
module of this gateway would be without the native runtime.
"""

from __future__ import annotations

import asyncio
import logging

logger = logging.getLogger("tavrin.ws.bench")

MODE_TEXT = "\U0001f5a5\ufe0f Computer Use mode \u2014 I can see and control your screen"


async def floor_turn(ws, agent, user_text, session_id):
    async for ev in agent.process_message(user_text, attachments=None):
        d = ev.to_dict()
        d["session_id"] = session_id
        await ws.send_json(d)


class Manager:
    def __init__(self):
        self._connections = []

    async def broadcast(self, message):
        dead = []
        for ws in self._connections:
            try:
                await ws.send_json(message)
            except Exception:
                dead.append(ws)
        for ws in dead:
            self._connections.remove(ws)


manager = Manager()


async def _watchdog(agent, session_id, poll_interval=10):
    warned = False
    while True:
        await asyncio.sleep(poll_interval)
        if not agent.is_processing:
            return
        silence = agent.seconds_since_activity
        warn_after = getattr(agent, "stall_warn_seconds", 60)
        cancel_after = getattr(agent, "stall_cancel_seconds", 0)
        if cancel_after > 0 and silence >= cancel_after:
            logger.warning(f"[watchdog] Agent stalled for {silence:.0f}s in session {session_id}")
            agent.cancel()
            await manager.broadcast(
                {
                    "type": "stall_warning",
                    "session_id": session_id,
                    "seconds": int(silence),
                    "auto_cancelled": True,
                    "message": "stalled",
                }
            )
            return
        if silence >= warn_after:
            if not warned:
                warned = True
                await manager.broadcast(
                    {
                        "type": "stall_warning",
                        "session_id": session_id,
                        "seconds": int(silence),
                        "auto_cancelled": False,
                        "message": "silent",
                    }
                )
        else:
            warned = False


async def _auto_title(agent, user_text, session_id, session):
    auto_title = user_text[:60].strip()
    if not auto_title:
        return
    session.display_name = auto_title
    await manager.broadcast({"type": "session_renamed", "session_id": session_id, "display_name": auto_title})
    try:
        conv_id = session.conversation_id or agent._conversation.conversation_id
        if not conv_id:
            return
        from tavrin.gateway.server import get_state

        memory = get_state().get("memory") or getattr(agent, "_memory", None)
        if not memory:
            return
        await memory.rename_conversation(conv_id, auto_title)
        await manager.broadcast(
            {"type": "conversation_renamed", "conversation_id": conv_id, "title": auto_title, "session_id": session_id}
        )
    except Exception as e:
        logger.debug("Auto-name conversation failed: %s", e)


async def python_turn(ws, agent, user_text, attachments=None, session_lock=None, session_id="session_main"):
    from tavrin.core.session_registry import get_registry
    from tavrin.gateway.server import _agent_lock

    lock = session_lock or _agent_lock
    logger.info(f"Standard agent handling [{session_id}]: {user_text[:80]}")
    await ws.send_json({"type": "mode", "mode": "standard", "message": MODE_TEXT, "session_id": session_id})

    session = get_registry().get(session_id)
    if session and session.display_name in ("New Chat", "Chat") and not session.is_connector:
        await _auto_title(agent, user_text, session_id, session)

    disconnected = False
    try:
        async with lock:
            watchdog_task = asyncio.create_task(_watchdog(agent, session_id), name=f"watchdog-{session_id}")
            try:
                async for event in agent.process_message(user_text, attachments=attachments):
                    if disconnected:
                        continue
                    try:
                        payload = event.to_dict()
                        payload["session_id"] = session_id
                        await ws.send_json(payload)
                    except Exception as e:
                        logger.warning(f"Client disconnected during processing [{session_id}]: {e}")
                        disconnected = True
                        continue
                    if event.type == "tool_approval_needed":
                        try:
                            payload = event.to_dict()
                            payload["session_id"] = session_id
                            await manager.broadcast(payload)
                        except Exception:
                            pass
            finally:
                watchdog_task.cancel()
    except Exception as e:
        logger.error(f"Standard agent error [{session_id}]", exc_info=True)
        if not disconnected:
            try:
                await ws.send_json({"type": "error", "message": f"Agent error: {e}", "session_id": session_id})
            except Exception:
                pass
