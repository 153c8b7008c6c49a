import { MAIN } from "./protocol.js";
import { $, pretty, toast } from "./dom.js";
import { ui } from "./model.js";
import { api } from "./access.js";
import { send } from "./connection.js";
import { activate, applySession, beginTurn, endTurn, flushQueue, markAttention, removeSession, renderChrome, renderTab, sessionView, setWorking } from "./tabs.js";
import { addApprovalLine, addChip, addLine, addOutcome, addText, addToolCall, addToolResult, addUser, clearPane, reload, renderHistory } from "./transcript.js";
import { addApproval, settleApproval } from "./approvals.js";
import { refreshResumeList } from "./conversations.js";
import { renderHeartbeat } from "./heartbeat.js";
import { askedElsewhere, attached, noticeRestart, startAttach, streamEvent, streamsOff } from "./streams.js";
import { dropQueue } from "./controls.js";

// ---------------------------------------------------------------- events from the server

export function handleEvent(ev) {
  const sid = typeof ev.session_id === "string" && ev.session_id ? ev.session_id : null;
  const id = sid || MAIN;
  if (sid && ui.sessions.has(sid)) sessionView(sid).liveSeq++;
  if (ev.type === "attached") { attached(ev); return; }
  if (sid && Number.isInteger(ev.seq) && ui.sessions.has(sid) && !streamEvent(sessionView(sid), ev)) return;
  switch (ev.type) {
    case "pong":
      return;
    case "replay_gap":
      if (sid && ui.sessions.has(sid) && sessionView(sid).attach) sessionView(sid).attach.rebuild = true;
      return;
    case "sessions_list":
      applySessions(ev.sessions);
      return;
    case "session_created":
      applySession(ev.session);
      if (ui.streams) startAttach(sessionView(ev.session.session_id), false);
      activate(ev.session.session_id);
      return;
    case "session_closed":
      if (ev.success) removeSession(ev.session_id);
      else toast("That session could not be closed.", true);
      return;
    case "session_renamed":
      if (!ui.sessions.has(ev.session_id)) { send({ type: "list_sessions" }); return; }
      sessionView(ev.session_id).name = ev.display_name;
      renderTab(sessionView(ev.session_id));
      if (ev.session_id === ui.active) renderChrome();
      return;
    case "conversation_renamed":
      for (const s of ui.sessions.values()) {
        if (s.conversationId === ev.conversation_id) {
          s.conversationTitle = ev.title;
          s.renames = (s.renames || 0) + 1; // newer than the title of a fetch under way
          if (s.id === ui.active) renderChrome();
        }
      }
      return;
    case "mode":
      if (!sessionView(id).ownTurn && !sessionView(id).sent && Number.isInteger(ev.seq)) askedElsewhere(sessionView(id));
      sessionView(id).sent = false;
      addChip(id, ev.mode, ev.message);
      beginTurn(id, ev.mode, sessionView(id).ownTurn);
      return;
    case "thinking":
      addLine(id, "thinking", "💭 " + (ev.message || ev.content || ""));
      return;
    case "tool_call":
      addToolCall(id, ev);
      return;
    case "tool_result":
      addToolResult(id, ev);
      return;
    case "tool_approval_needed":
      // Sent to the asking window and broadcast to all: the first copy draws it.
      if (!ui.approvals.has(ev.approval_id)) addApprovalLine(id, ev.approval_id, ev.tool || "", null);
      addApproval(ev);
      return;
    case "approval_resolved":
      if (ev.success) settleApproval(ev.approval_id, ev.approved === true ? "Approved" : "Rejected",
        ev.approved === true ? "approved" : "rejected");
      else settleApproval(ev.approval_id, "Already decided", null);
      return;
    case "approval_decided":
      settleApproval(ev.approval_id, ev.approved ? "Approved" : "Rejected", ev.approved ? "approved" : "rejected");
      return;
    case "approval_withdrawn":
      settleApproval(ev.approval_id, "No longer needed", "withdrawn");
      return;
    case "text":
      addText(id, ev.content || "");
      return;
    case "done":
      addOutcome(id, "done", "", ev.iterations);
      endTurn(id);
      return;
    case "cancelled":
      addOutcome(id, "stopped", ev.message || "Task cancelled");
      endTurn(id);
      return;
    case "task_stopped":
      // The reply to a stop; it says "stopped" even when nothing ran, so only a running turn
      // gets an outcome line.
      if (sessionView(id).working) { addOutcome(id, "stopped", ev.message); endTurn(id); }
      return;
    case "info":
      if (sid && sessionView(sid).working) endTurn(sid);
      else if (!sid) toast(ev.message);
      return;
    case "error": {
      if (ev.message === "Unknown message type: attach") { streamsOff(); return; }
      if (sid && ev.message === "Session not found" && ui.sessions.has(sid) && sessionView(sid).attach) {
        sessionView(sid).attach = null; // the tab's session is gone: the list will drop the tab
        send({ type: "list_sessions" });
        return;
      }
      if (!sid) {
        if (ev.message === "Heartbeat not initialized") { ui.hb.status = "unavailable"; renderHeartbeat(); }
        else toast(ev.message, true);
        return;
      }
      const s = sessionView(sid);
      // A Computer Use turn reports trouble on the way and goes on; its own failure ends it.
      const goesOn = s.mode === "computer_use" && !String(ev.message).startsWith("Computer Use error");
      if (s.working && !goesOn) { addOutcome(sid, "error", ev.message); endTurn(sid); }
      else addLine(sid, "error", "⚠️ " + ev.message);
      return;
    }
    case "stall_warning": {
      const s = sessionView(id);
      s.stall = { message: ev.message, auto_cancelled: !!ev.auto_cancelled };
      addLine(s.id, "error", (ev.auto_cancelled ? "⏹ " : "⏳ ") + ev.message);
      markAttention(s.id);
      if (s.id === ui.active) renderChrome();
      return;
    }
    case "conversation_started": {
      const s = sessionView(id);
      s.conversationId = ev.conversation_id;
      s.conversationTitle = "";
      dropQueue(s);
      clearPane(s.id, "New conversation. Say hello!");
      if (s.id === ui.active) { renderChrome(); refreshResumeList(); }
      return;
    }
    case "conversation_resumed": {
      const s = sessionView(id);
      s.conversationId = ev.conversation_id;
      dropQueue(s);
      s.mode = null;
      s.ownTurn = false;
      setWorking(s.id, false); // resuming stopped the session's work
      renderHistory(s.id, ev.messages);
      addLine(s.id, "system resumed", `↺ Resumed conversation (${(ev.messages || []).length} messages)`);
      api(`/api/conversations/${encodeURIComponent(ev.conversation_id)}/messages?limit=0`)
        .then((r) => (r.ok ? r.json() : null))
        .then((d) => { if (d) { s.conversationTitle = d.conversation.title; if (s.id === ui.active) renderChrome(); } })
        .catch(() => {});
      if (s.id === ui.active) refreshResumeList();
      return;
    }
    case "session_history_cleared":
      clearPane(id, ev.message);
      send({ type: "list_sessions" });
      return;
    case "heartbeat_status":
      // The replies to start, stop, pause and resume report the action asked for, not what the runner
      // made of it; only the answer to "status" (the one with "paused") does, and the page asks for it
      // after every action.
      if (!("paused" in ev)) return;
      ui.hb.status = ev.status;
      ui.hb.paused = !!ev.paused;
      if (!ui.hb.paused) ui.hb.pausedAfter = null;
      if (ev.interval !== undefined && ev.interval !== null) {
        ui.hb.interval = ev.interval;
        $("hb-interval").value = ev.interval; // the interval in effect, which may differ from the one typed
      }
      if (ev.status === "stopped") ui.hb.beat = null;
      renderHeartbeat();
      return;
    case "heartbeat":
      Object.assign(ui.hb, { status: "running", paused: false, beat: ev.beat, max: ev.max, pausedAfter: null });
      renderHeartbeat();
      return;
    case "heartbeat_paused":
      Object.assign(ui.hb, { paused: true, pausedAfter: ev.count });
      renderHeartbeat();
      return;
    case "heartbeat_prompt":
      addLine(id, "heartbeat", "⏱ Heartbeat check-in");
      beginTurn(id, "standard", false);
      return;
    case "connector_message":
      addUser(id, ev.content, "via " + (ev.sender || "connector"));
      beginTurn(id, "standard", false);
      markAttention(id);
      return;
    default:
      if (sid && ui.sessions.has(sid)) addLine(sid, "system", `${ev.type}: ${pretty(ev.message || ev.content || "")}`);
  }
}

// The server's list of sessions. The first one after a (re)connect is the truth the page starts
// from: tabs, their conversation and whether a turn runs, and every tab's transcript reloaded
// from the store. Later lists reload a tab whose conversation changed, or whose turn (run from
// another window) has ended.
export function applySessions(sessions) {
  const resync = ui.resync;
  ui.resync = false;
  if (resync) noticeRestart(sessions);
  const seen = new Set();
  for (const info of sessions) {
    const s = sessionView(info.session_id);
    const changed = applySession(info);
    seen.add(info.session_id);
    const running = !!info.is_processing;
    if (ui.streams !== false && (resync || !s.attached)) {
      // Replayed from the session's stream, and from the store where the page has nothing.
      if (changed && s.drawn) { s.drawn = false; s.turnSeq = null; }
      startAttach(s, running);
    } else if (resync || changed) {
      if (!running) { s.mode = null; s.ownTurn = false; }
      setWorking(s.id, running);
      // A message queued behind a turn that ended while the page was away goes out once the
      // tab shows what the server holds.
      reload(s).then(() => { if (!s.working) flushQueue(s); });
    } else if (s.working && !s.ownTurn && !running) {
      // The turn ended elsewhere, perhaps cancelled (which leaves no event in its stream): what
      // the store says of it, and whatever the stream has since.
      if (ui.streams && s.attached) startAttach(s, false, true);
      else { setWorking(s.id, false); reload(s); }
    } else if (running && !s.working) {
      beginTurn(s.id, null, false);
    }
  }
  for (const id of [...ui.sessions.keys()]) if (!seen.has(id)) removeSession(id);
}
