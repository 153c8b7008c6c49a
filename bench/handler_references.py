"""Python references for the handler benchmarks: broadcast, dispatch, Computer Use turn, heartbeat status,
standard turn.

Each is written the way a careful Python author would write it for this gateway without the native
runtime: the straightforward code, with no indirection it does not need (a configuration read once,
no property called from within the class, an event built as one dict display, a default computed only
when it is the answer), so that the benchmarks compare with the lean version, not a slow one.
"""

from __future__ import annotations

import logging

logger = logging.getLogger("tavrin.ws.bench")


# ---- broadcast ----------------------------------------------------------------------------------


async def floor_broadcast(conns, msg):
    """The least a broadcast can do: one send per connection, failures collected."""
    dead = []
    for ws in list(conns):
        try:
            await ws.send_json(msg)
        except Exception:
            dead.append(ws)
    for ws in dead:
        conns.remove(ws)


# ---- dispatch -----------------------------------------------------------------------------------


async def _handler(ws, message=None):
    """Stands in for every handler of the dispatcher; never called by the "ping" benchmark."""


_handle_chat = _handle_approval = _handle_new_conversation = _handle_new_session = _handler
_handle_close_session = _handle_list_sessions = _handle_resume_conversation = _handler
_handle_heartbeat_control = _handle_stop_task = _handle_clear_session_history = _handler


async def python_handle_message(ws, message):
    if type(message) is not dict:
        raise TypeError(f"Argument 'message' has incorrect type (expected dict, got {type(message).__name__})")
    msg_type = message.get("type")
    if msg_type == "chat":
        await _handle_chat(ws, message)
    elif msg_type == "approve":
        await _handle_approval(ws, message)
    elif msg_type == "new_conversation":
        await _handle_new_conversation(ws, message)
    elif msg_type == "new_session":
        await _handle_new_session(ws, message)
    elif msg_type == "close_session":
        await _handle_close_session(ws, message)
    elif msg_type == "list_sessions":
        await _handle_list_sessions(ws)
    elif msg_type == "resume_conversation":
        await _handle_resume_conversation(ws, message)
    elif msg_type == "heartbeat_control":
        await _handle_heartbeat_control(ws, message)
    elif msg_type == "stop_task":
        await _handle_stop_task(ws, message)
    elif msg_type == "clear_session_history":
        await _handle_clear_session_history(ws, message)
    elif msg_type == "ping":
        await ws.send_json({"type": "pong"})
    else:
        await ws.send_json({"type": "error", "message": f"Unknown message type: {msg_type}"})


# ---- Computer Use turn --------------------------------------------------------------------------

_MISSING = object()  # a result's "text" is converted from the whole result only when it is missing
CU_MODE_TEXT = "Using Computer Use mode \u2014 I can see and control your screen"


async def python_computer_use_chat(ws, cu_agent, user_text, session_id="session_main"):
    from tavrin.core.computer_use_agent import ComputerUseEvent  # noqa: F401
    from tavrin.core.session_registry import get_registry

    logger.info(f"Computer Use agent handling [{session_id}]: {user_text[:80]}")
    await ws.send_json({"type": "mode", "mode": "computer_use", "message": CU_MODE_TEXT, "session_id": session_id})

    cu_session = get_registry().get(session_id)
    if cu_session and cu_session.display_name in ("New Chat", "Chat") and not cu_session.is_connector:
        auto_title = user_text[:60].strip()
        if auto_title:
            cu_session.display_name = auto_title
            from tavrin.gateway import ws as gateway

            await gateway.manager.broadcast(
                {"type": "session_renamed", "session_id": session_id, "display_name": auto_title}
            )
            try:
                conv_id = cu_session.conversation_id
                if conv_id:
                    from tavrin.gateway.server import get_state

                    memory = get_state().get("memory")
                    if memory:
                        await memory.rename_conversation(conv_id, auto_title)
                        await gateway.manager.broadcast(
                            {
                                "type": "conversation_renamed",
                                "conversation_id": conv_id,
                                "title": auto_title,
                                "session_id": session_id,
                            }
                        )
            except Exception as e:
                logger.debug("Auto-name conversation (CU) failed: %s", e)

    try:
        async for event in cu_agent.run_task(user_text):
            etype = event.type
            data = event.data
            if etype == "tool_call":
                tool_name = data.get("tool", "")
                tool_input = data.get("input", {})
                action = tool_input.get("action", "") if isinstance(tool_input, dict) else ""
                await ws.send_json(
                    {
                        "type": "tool_call",
                        "id": data.get("id", ""),
                        "tool": f"computer.{action}" if tool_name == "computer" else tool_name,
                        "arguments": tool_input,
                        "session_id": session_id,
                    }
                )
            elif etype == "tool_result":
                result = data.get("result", {})
                if isinstance(result, dict):
                    rtype = result.get("type")
                    if rtype == "image":
                        await ws.send_json(
                            {
                                "type": "tool_result",
                                "id": data.get("id", ""),
                                "tool": data.get("tool", ""),
                                "session_id": session_id,
                                "screenshot": True,
                                "image_base64": result.get("base64", ""),
                                "result": "Screenshot captured",
                            }
                        )
                    elif rtype == "error":
                        await ws.send_json(
                            {
                                "type": "tool_result",
                                "id": data.get("id", ""),
                                "tool": data.get("tool", ""),
                                "session_id": session_id,
                                "result": result.get("error", "Unknown error"),
                                "error": True,
                            }
                        )
                    else:
                        text = result.get("text", _MISSING)
                        await ws.send_json(
                            {
                                "type": "tool_result",
                                "id": data.get("id", ""),
                                "tool": data.get("tool", ""),
                                "session_id": session_id,
                                "result": str(result) if text is _MISSING else text,
                            }
                        )
                else:
                    await ws.send_json(
                        {
                            "type": "tool_result",
                            "id": data.get("id", ""),
                            "tool": data.get("tool", ""),
                            "session_id": session_id,
                            "result": str(result),
                        }
                    )
            elif etype == "text":
                await ws.send_json({"type": "text", "content": data.get("content", ""), "session_id": session_id})
            elif etype == "thinking":
                await ws.send_json({"type": "thinking", "message": data.get("message", ""), "session_id": session_id})
            elif etype == "done":
                await ws.send_json({"type": "done", "iterations": data.get("iterations", 0), "session_id": session_id})
            elif etype == "error":
                await ws.send_json(
                    {"type": "error", "message": data.get("message", "Unknown error"), "session_id": session_id}
                )
            elif etype == "cancelled":
                await ws.send_json(
                    {"type": "cancelled", "message": data.get("message", "Task cancelled"), "session_id": session_id}
                )
    except Exception as e:
        logger.error("Computer Use agent error", exc_info=True)
        await ws.send_json({"type": "error", "message": f"Computer Use error: {e}", "session_id": session_id})


# ---- heartbeat status ---------------------------------------------------------------------------


class PythonRunner:
    """The runner's state as plain attributes, with `running` and `status()` written in Python."""

    def __init__(self, config, on_beat, on_event=None):
        self._config = config
        self._on_beat = on_beat
        self._on_event = on_event
        self._task = None
        self._consecutive_beats = 0
        self._paused = False

    @property
    def running(self):
        task = self._task
        return task is not None and not task.done()

    def status(self):
        config = self._config
        task = self._task
        return {
            "enabled": config.enabled,
            "running": task is not None and not task.done(),
            "paused": self._paused,
            "interval_seconds": config.interval_seconds,
            "consecutive_beats": self._consecutive_beats,
            "max_consecutive": config.max_consecutive,
            "quiet_hours_start": config.quiet_hours_start,
            "quiet_hours_end": config.quiet_hours_end,
            "blocked_ops": list(config.blocked_ops),
        }


# ---- standard turn ------------------------------------------------------------------------------

# The standard turn's reference is the one its own benchmarks use (`references.python_turn`), counted
# here per event beside the other paths.
from references import python_turn as python_standard_chat  # noqa: E402,F401
