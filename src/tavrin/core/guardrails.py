"""Guardrails: which tool actions need the user's approval, and the approvals pending.

An agent that wants to run a risky tool asks for an approval, announces its id to the
clients and awaits the decision. Any window may answer; the first decision settles the
approval and every later one (a double click, a second window) is refused and changes
nothing.
"""

from __future__ import annotations

import asyncio
import logging
import time
import uuid
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any

logger = logging.getLogger("tavrin.guardrails")

MAX_NOTE = 1000  # characters of a refusal's note the agent gets


@dataclass
class PendingApproval:
    approval_id: str
    tool: str
    arguments: dict
    session_id: str | None
    created_at: float
    future: asyncio.Future = field(repr=False)
    note: str = ""  # the user's reason for a refusal, for the agent
    message: str | None = None  # the question as the agent put it to the user
    origin: dict | None = None  # who started the turn, when it was not the user at the page

    def refusal(self) -> str:
        """The tool result of a refused action: the user's note, when they left one, is the reason."""
        said = "Not run: the user refused the action"
        return f"{said}. Their reason: {self.note}" if self.note else said

    def to_dict(self) -> dict:
        return (
            {
                "approval_id": self.approval_id,
                "tool": self.tool,
                "arguments": self.arguments,
                "session_id": self.session_id,
                "created_at": self.created_at,
            }
            | ({"message": self.message} if self.message else {})
            | ({"origin": self.origin} if self.origin else {})
        )


def turn_origin(intro: dict | None, session_id: str | None) -> dict | None:
    """Who started a turn the host runs itself, from the event that introduced it: a connector's
    message ({"kind": "connector", "connector": session id, "sender": ...}), a heartbeat beat
    ({"kind": "heartbeat"}); None for a turn the user started at the page."""
    if not isinstance(intro, dict):
        return None
    kind = intro.get("type")
    if kind == "connector_message":
        return {"kind": "connector", "connector": session_id, "sender": str(intro.get("sender") or "connector")[:100]}
    if kind == "heartbeat_prompt":
        return {"kind": "heartbeat"}
    return {"kind": "host"}


def describe_origin(origin: dict | None) -> str:
    """One sentence for the approval card on where the turn came from ("" for the user's own)."""
    if not origin:
        return ""
    if origin.get("kind") == "connector":
        return (
            f"This turn was started by a message from {origin.get('sender') or 'a connector'} through the "
            f"connector {origin.get('connector')}, not by you."
        )
    if origin.get("kind") == "heartbeat":
        return "This turn was started by the heartbeat, not by you."
    return "This turn was not started by you."


class Guardrails:
    """Holds the pending tool approvals of the whole application.

    ``on_resolved(approval, approved)`` is called (synchronously) once per settled approval,
    and ``on_withdrawn(approval)`` once per approval that nobody waits for any more (the turn
    was stopped, or the wait timed out), so the host can tell every window the prompt is gone.
    """

    def __init__(
        self,
        approval_ops: Iterable[str] = ("delete_file", "send_email", "make_payment"),
        on_resolved: Callable[[PendingApproval, bool], Any] | None = None,
        on_withdrawn: Callable[[PendingApproval], Any] | None = None,
        trusted_connectors: Iterable[str] = (),
    ):
        self.approval_ops = set(approval_ops)
        # Connector sessions whose turns use tools as the user's own do (the configuration says so).
        self.trusted_connectors = set(trusted_connectors)
        self.on_resolved = on_resolved
        self.on_withdrawn = on_withdrawn
        self._pending: dict[str, PendingApproval] = {}

    def needs_approval(self, tool: str) -> bool:
        return tool in self.approval_ops

    def needs_approval_in(self, tool: str, origin: dict | None) -> bool:
        """Whether ``tool`` needs approval in a turn started by ``origin`` (see ``turn_origin``):
        in one the user did not start at the page, every tool does, reads included, unless it
        came from a connector the configuration trusts. What such a turn reads comes from whoever
        wrote to the connector, and must reach nothing private past the user's decision."""
        if self.needs_approval(tool) or origin is None:
            return self.needs_approval(tool)
        return not (origin.get("kind") == "connector" and origin.get("connector") in self.trusted_connectors)

    def request_approval(
        self,
        tool: str,
        arguments: dict,
        session_id: str | None = None,
        message: str | None = None,
        origin: dict | None = None,
    ) -> PendingApproval:
        approval = PendingApproval(
            approval_id="appr_" + uuid.uuid4().hex[:12],
            tool=tool,
            arguments=dict(arguments),
            session_id=session_id,
            created_at=time.time(),
            future=asyncio.get_running_loop().create_future(),
            message=message,
            origin=origin,
        )
        self._pending[approval.approval_id] = approval
        return approval

    def resolve_approval(self, approval_id: Any, approved: Any) -> bool:
        """Settle a pending approval. True when it was pending and is now decided.

        Only the boolean ``True`` approves: a client that sends "false", "no" or 1 has not
        clearly said yes, and a risky action must not run on a truthy accident.
        """
        if not isinstance(approval_id, str):
            return False
        approval = self._pending.pop(approval_id, None)
        if approval is None or approval.future.done():
            return False
        decision = approved is True
        approval.future.set_result(decision)
        logger.info("Approval %s for %s %s", approval_id, approval.tool, "granted" if decision else "refused")
        if self.on_resolved is not None:
            try:
                self.on_resolved(approval, decision)
            except Exception:
                logger.exception("Approval notification failed")
        return True

    def leave_note(self, approval_id: Any, note: Any) -> bool:
        """Keep the user's note on a pending approval, given before they reject it (the agent reads
        it as the reason). True when the approval is pending; the note is bounded."""
        approval = self._pending.get(approval_id) if isinstance(approval_id, str) else None
        if approval is None or approval.future.done() or not isinstance(note, str):
            return False
        approval.note = note.strip()[:MAX_NOTE]
        return True

    async def wait_for_decision(self, approval: PendingApproval, timeout: float | None = None) -> bool:
        """Await the user's decision; no decision within ``timeout`` seconds counts as a refusal.

        However the wait ends (decision, timeout, cancellation), the approval is no longer
        pending afterwards, so a late click cannot approve an action nobody waits for.
        """
        try:
            return await asyncio.wait_for(asyncio.shield(approval.future), timeout)
        except TimeoutError:
            logger.info("Approval %s timed out", approval.approval_id)
            return False
        finally:
            self.discard(approval.approval_id)

    def discard(self, approval_id: str) -> None:
        """Forget an approval nobody waits for any more; a later decision finds nothing."""
        approval = self._pending.pop(approval_id, None)
        if approval is None:
            return
        if not approval.future.done():
            approval.future.cancel()
        if self.on_withdrawn is not None:
            try:
                self.on_withdrawn(approval)
            except Exception:
                logger.exception("Approval notification failed")

    def pending(self) -> list[dict]:
        return [a.to_dict() for a in self._pending.values()]
