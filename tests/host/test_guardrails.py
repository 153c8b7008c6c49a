"""Pending tool approvals: each is settled once, by a clear yes or anything else as a no."""

import asyncio

from tavrin.core.guardrails import Guardrails


async def test_an_approval_is_resolved_once():
    notified = []
    g = Guardrails(
        on_resolved=lambda a, approved: notified.append((a.approval_id, approved)),
        on_withdrawn=lambda a: notified.append((a.approval_id, "withdrawn")),
    )
    approval = g.request_approval("delete_file", {"path": "a.txt"}, "session_main")
    assert [p["approval_id"] for p in g.pending()] == [approval.approval_id]

    assert g.resolve_approval(approval.approval_id, True) is True
    # A double click, or a second window deciding the other way, changes nothing.
    assert g.resolve_approval(approval.approval_id, False) is False
    assert await g.wait_for_decision(approval) is True
    assert notified == [(approval.approval_id, True)]
    assert g.pending() == []


async def test_unknown_ids_and_non_boolean_decisions():
    g = Guardrails()
    assert g.resolve_approval("appr_unknown", True) is False
    assert g.resolve_approval(None, True) is False
    assert g.resolve_approval(["appr"], True) is False
    for answer in ("yes", "false", 1, None):
        approval = g.request_approval("send_email", {}, None)
        assert g.resolve_approval(approval.approval_id, answer) is True
        assert await g.wait_for_decision(approval) is False, answer


async def test_timeout_refuses_and_forgets_the_approval():
    withdrawn = []
    g = Guardrails(on_withdrawn=lambda a: withdrawn.append(a.approval_id))
    approval = g.request_approval("make_payment", {"payee": "x"})
    assert await g.wait_for_decision(approval, timeout=0.01) is False
    assert g.pending() == []
    assert g.resolve_approval(approval.approval_id, True) is False
    assert withdrawn == [approval.approval_id]


async def test_a_cancelled_waiter_leaves_nothing_to_approve():
    g = Guardrails()
    approval = g.request_approval("delete_file", {})
    waiter = asyncio.ensure_future(g.wait_for_decision(approval))
    await asyncio.sleep(0)
    waiter.cancel()
    await asyncio.gather(waiter, return_exceptions=True)
    assert g.resolve_approval(approval.approval_id, True) is False


def test_which_tools_need_approval():
    g = Guardrails(["delete_file"])
    assert g.needs_approval("delete_file") and not g.needs_approval("read_screen")


async def test_a_note_left_before_a_rejection_is_the_agents_reason():
    """Catches a note lost on the way to the agent, one kept on an approval already settled, and an
    unbounded one."""
    g = Guardrails()
    approval = g.request_approval("delete_file", {"path": "a.txt"}, "session_main")
    assert approval.refusal() == "Not run: the user refused the action"
    assert g.leave_note(approval.approval_id, "  keep it " + "x" * 5000) is True
    assert len(approval.note) == 1000 and approval.note.startswith("keep it")
    g.resolve_approval(approval.approval_id, False)
    assert await g.wait_for_decision(approval) is False
    assert approval.refusal().startswith("Not run: the user refused the action. Their reason: keep it")
    assert g.leave_note(approval.approval_id, "too late") is False
    assert g.leave_note("appr_unknown", "x") is False
    assert g.leave_note(None, "x") is False


def test_a_turn_the_user_did_not_start_asks_before_every_tool():
    # Catches a connector's (or a heartbeat's) turn reading files unasked, and the trust setting ignored.
    from tavrin.core.guardrails import turn_origin

    g = Guardrails(["write_file"], trusted_connectors=["connector_trusted"])
    page = turn_origin(None, "session_main")
    stranger = turn_origin({"type": "connector_message", "sender": "phone"}, "connector_inbox")
    trusted = turn_origin({"type": "connector_message", "sender": "me"}, "connector_trusted")
    beat = turn_origin({"type": "heartbeat_prompt", "content": "..."}, "session_main")
    asked = {
        name: [g.needs_approval_in(tool, origin) for tool in ("read_file", "write_file")]
        for name, origin in [("page", page), ("stranger", stranger), ("trusted", trusted), ("beat", beat)]
    }
    assert asked == {"page": [False, True], "stranger": [True, True], "trusted": [False, True], "beat": [True, True]}
