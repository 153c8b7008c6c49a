// Events from the server, one handler for each type. A session's numbered events pass through the
// stream's reconciliation first (held during an attach, skipped when already drawn).

import { MAIN, TEXT } from "./protocol.js";
import { pretty, toast } from "./dom.js";
import { ui } from "./model.js";
import { api } from "./access.js";
import { send } from "./connection.js";
import {
  session, activate, applySession, beginTurn, endTurn, flushQueue, dropQueue, holdQueue, markAttention, removeSession,
  renderChrome, setWorking,
} from "./sessions.js";
import { renderTab } from "./tabs.js";
import {
  addApprovalLine, addChip, addHeartbeat, addLine, addOutcome, addThinking, addText, addToolCall, addToolResult, addUser, clearPane,
  renderHistory, OUTCOME_TEXT, outcomeText, watchdogText, showsApproval, commandStarted, addToolOutput,
} from "./transcript.js";
import { noticeApproval, noticeTurnEnd } from "./notify.js";
import { addApproval, settleApproval, loadPendingApprovals } from "./approvals.js";
import { refreshResumeList } from "./conversations.js";
import { branched } from "./branches.js";
import { heartbeatState, heartbeatStatus, heartbeatUnavailable } from "./heartbeat.js";
import {
  askedElsewhere, attached, noticeRestart, onHeldEvents, reload, replayGap, startAttach, streamEvent, streamsOff,
} from "./streams.js";

onHeldEvents(handleEvent);

export function handleEvent(ev) {
  const sid = typeof ev.session_id === "string" && ev.session_id ? ev.session_id : null;
  const known = sid !== null && ui.sessions.has(sid);
  if (known) session(sid).liveSeq++;
  if (ev.type === "attached") { attached(ev); return; }
  if (known && Number.isInteger(ev.seq) && !streamEvent(session(sid), ev)) return;
  const handler = Object.hasOwn(handlers, ev.type) ? handlers[ev.type] : unknown;
  handler(ev, sid || MAIN, sid, known);
}

function unknown(ev, id, sid, known) {
  if (known) addLine(sid, "system", `${ev.type}: ${pretty(ev.message || ev.content || "")}`);
}

// Each handler gets the event, the session it is about (Main when it names none), the session it
// names (or null) and whether the page shows a tab for that one.
const handlers = {
  pong() {},

  replay_gap(ev, id, sid, known) { if (known) replayGap(session(sid)); },

  sessions_list(ev) { applySessions(ev.sessions); },

  session_created(ev) {
    applySession(ev.session);
    if (ui.streams) startAttach(session(ev.session.session_id), false);
    activate(ev.session.session_id);
  },

  session_closed(ev) {
    if (ev.success) removeSession(ev.session_id);
    else toast("That session could not be closed.", true);
  },

  session_renamed(ev) {
    if (!ui.sessions.has(ev.session_id)) { send({ type: "list_sessions" }); return; }
    session(ev.session_id).name = ev.display_name;
    renderTab(session(ev.session_id));
    if (ev.session_id === ui.active) renderChrome();
  },

  conversation_renamed(ev) {
    for (const s of ui.sessions.values()) {
      if (s.conversationId === ev.conversation_id) {
        s.conversationTitle = ev.title;
        s.renames++; // newer than the title of a fetch under way
        if (s.id === ui.active) renderChrome();
      }
    }
    refreshResumeList();
  },

  // Another window (or this one) deleted or restored a conversation.
  conversations_changed() { refreshResumeList(); },

  // A version of a conversation was made or put on view.
  conversation_branched(ev) { branched(ev.conversation_id); },

  mode(ev, id) {
    const s = session(id);
    if (!s.ownTurn && !s.sent && Number.isInteger(ev.seq)) askedElsewhere(s);
    s.sent = false;
    s.beat = false;
    addChip(id, ev.mode, ev.message);
    beginTurn(id, ev.mode, s.ownTurn);
  },

  thinking(ev, id) { progress(id); addThinking(id, ev.message || ev.content || ""); },
  tool_call(ev, id) {
    progress(id);
    addToolCall(id, ev);
    runs(id, ev.tool || "tool");
    if (ev.tool === "run_command") {
      commandStarted(id, ev, () => [...ui.approvals.values()].some((a) => a.sid === id && !a.settled));
    }
  },
  // What a running command prints, as it prints it.
  tool_output(ev, id) { progress(id); addToolOutput(id, ev); },
  tool_result(ev, id) { progress(id); addToolResult(id, ev); runs(id, null); },

  tool_approval_needed(ev, id) {
    // Sent to the asking window and broadcast to all: the first copy draws it (and a copy
    // replayed into a pane drawn again draws it there).
    if (!showsApproval(id, ev.approval_id)) addApprovalLine(id, ev.approval_id, ev.tool || "", null);
    const fresh = !ui.approvals.has(ev.approval_id);
    addApproval(ev);
    if (fresh) noticeApproval(id, ev);
  },

  approval_resolved(ev) {
    if (ev.success) {
      settleApproval(ev.approval_id, ev.approved === true ? "Approved" : "Rejected", ev.approved === true ? "approved" : "rejected");
    } else settleApproval(ev.approval_id, "Already decided", null);
  },

  approval_decided(ev) {
    settleApproval(ev.approval_id, ev.approved ? "Approved" : "Rejected", ev.approved ? "approved" : "rejected");
  },

  approval_withdrawn(ev) { settleApproval(ev.approval_id, "No longer needed", "withdrawn"); },

  text(ev, id) { progress(id); addText(id, ev.content || ""); },

  // The model's server is tried again after a wait: the working line counts it down.
  retrying(ev, id) {
    const s = session(id);
    const seconds = Number.isFinite(ev.seconds) ? ev.seconds : 0;
    s.retry = { until: Date.now() + seconds * 1000, reason: typeof ev.reason === "string" ? ev.reason : "" };
    if (s.id === ui.active) renderChrome();
  },

  // Something the user should know about the reply (kind "cut": it reached the model's output limit).
  notice(ev, id) { addLine(id, "system", String(ev.message || "")); },

  done(ev, id) {
    addOutcome(id, "done", "", ev.iterations);
    endTurn(id);
    noticeTurnEnd(id, "done");
  },

  cancelled(ev, id) {
    holdQueue(session(id));
    stopped(session(id), ev.message);
    endTurn(id);
    noticeTurnEnd(id, "stopped");
  },

  task_stopped(ev, id) {
    // The reply to a stop; it says "stopped" even when nothing ran, so only a running turn
    // gets an outcome line.
    if (session(id).working) { holdQueue(session(id)); stopped(session(id), ev.message); endTurn(id); noticeTurnEnd(id, "stopped"); }
  },

  info(ev, id, sid) {
    if (sid && session(sid).working) endTurn(sid);
    else if (!sid) toast(ev.message);
  },

  error(ev, id, sid, known) {
    if (ev.message === TEXT.attachUnknown) { streamsOff(); return; }
    if (known && ev.message === TEXT.sessionNotFound && session(sid).attach) {
      session(sid).attach = null; // the tab's session is gone: the list will drop the tab
      send({ type: "list_sessions" });
      return;
    }
    if (!sid) {
      if (ev.message === TEXT.heartbeatUnavailable) heartbeatUnavailable();
      else toast(ev.message, true);
      return;
    }
    const s = session(sid);
    // A Computer Use turn reports trouble on the way and goes on; its own failure ends it.
    const goesOn = s.mode === "computer_use" && !String(ev.message).startsWith(TEXT.cuErrorPrefix);
    if (s.working && !goesOn) { addOutcome(sid, "error", ev.message); endTurn(sid); noticeTurnEnd(sid, "error"); }
    else addLine(sid, "error", "⚠️ " + ev.message);
  },

  stall_warning(ev, id) {
    const s = session(id);
    s.stall = { message: ev.message, auto_cancelled: !!ev.auto_cancelled };
    if (ev.auto_cancelled) {
      // The watchdog stopped the turn: its outcome line says so (the banner says the rest), also
      // when the turn's end came first.
      s.watchdog = Number.isFinite(ev.seconds) ? ev.seconds : 0;
      if (s.working) { s.stopBy = "watchdog"; holdQueue(s); }
      else if (s.lastStop) s.lastStop.textContent = watchdogText(s.watchdog);
    } else addLine(s.id, "error", "⏳ " + ev.message);
    markAttention(s.id);
    if (s.id === ui.active) renderChrome();
  },

  conversation_started(ev, id) {
    const s = session(id);
    s.conversationId = ev.conversation_id;
    s.conversationTitle = "";
    dropQueue(s);
    clearPane(s.id, "New conversation. Say hello!");
    if (s.id === ui.active) { renderChrome(); refreshResumeList(); }
  },

  conversation_resumed(ev, id) {
    const s = session(id);
    s.conversationId = ev.conversation_id;
    dropQueue(s);
    s.mode = null;
    s.ownTurn = false;
    setWorking(s.id, false); // resuming stopped the session's work
    // Up to 200 rows: whether older ones exist the first page further back tells.
    renderHistory(s.id, ev.messages, { conversationId: ev.conversation_id, more: null });
    // The count the picker gives, the conversation's messages, not the rows drawn.
    const note = addLine(s.id, "system resumed", "↺ Resumed conversation");
    api(`/api/conversations/${encodeURIComponent(ev.conversation_id)}/messages?limit=0`)
      .then((r) => (r.ok ? r.json() : null))
      .then((d) => {
        if (!d) return;
        s.conversationTitle = d.conversation.title;
        const n = d.conversation.message_count;
        if (Number.isInteger(n)) note.textContent = `↺ Resumed conversation (${n} message${n === 1 ? "" : "s"})`;
        if (s.id === ui.active) renderChrome();
      })
      .catch(() => {});
    if (s.id === ui.active) refreshResumeList();
  },

  session_history_cleared(ev, id) {
    clearPane(id, ev.message);
    send({ type: "list_sessions" });
  },

  heartbeat_status(ev) {
    // The replies to start, stop, pause and resume report the action asked for, not what the runner
    // made of it; only the answer to "status" (the one with "paused") does, and the page asks for it
    // after every action.
    if ("paused" in ev) heartbeatStatus(ev);
  },

  // The runner's own events; the host's record of its state follows each of them.
  heartbeat() {},
  heartbeat_paused() {},
  heartbeat_state(ev) { heartbeatState(ev); },

  heartbeat_prompt(ev, id) {
    addHeartbeat(id);
    session(id).beat = true;
    beginTurn(id, "standard", false);
  },

  connector_message(ev, id) {
    addUser(id, ev.content, "via " + (ev.sender || "connector"));
    session(id).beat = false;
    beginTurn(id, "standard", false);
    markAttention(id);
  },
};

// The turn made progress: a stall warning about it no longer holds (a stop's banner stays).
function progress(id) {
  const s = session(id);
  if (s.retry) { s.retry = null; if (s.id === ui.active) renderChrome(); }
  if (!s.stall || s.stall.auto_cancelled) return;
  s.stall = null;
  if (s.id === ui.active) renderChrome();
}

// The tool the turn waits for (null: none), for the working line.
function runs(id, tool) {
  const s = session(id);
  s.runningTool = s.working ? tool : null;
  if (s.id === ui.active) renderChrome();
}

// The outcome line of a stopped turn says who stopped it: this window, another one, or the stall
// watchdog. A stop that ended something else (a task that never started) keeps its own words.
function stopped(s, message) {
  let text = outcomeText("stopped", message);
  if (text === OUTCOME_TEXT.stopped) {
    if (s.stopBy === "watchdog") text = watchdogText(s.watchdog);
    else if (s.stopBy !== "here") text = OUTCOME_TEXT.elsewhere;
  }
  const node = addOutcome(s.id, "stopped");
  node.textContent = text;
  s.lastStop = node;
}

// The server's list of sessions. The first one after a (re)connect is the truth the page starts
// from: tabs, their conversation and whether a turn runs, and every tab's transcript reloaded
// from the store. Later lists reload a tab whose conversation changed, or whose turn (run from
// another window) has ended.
export function applySessions(sessions) {
  const resync = ui.resync;
  ui.resync = false;
  // An approval the server no longer holds lapsed while the page was away, with the server
  // itself when it restarted.
  if (resync) loadPendingApprovals(noticeRestart(sessions));
  const seen = new Set();
  for (const info of sessions) {
    const s = session(info.session_id);
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
  // The tab this window showed before a reload, unless the user chose another meanwhile.
  if (ui.wantActive !== null) {
    const want = ui.wantActive;
    ui.wantActive = null;
    if (seen.has(want) && want !== ui.active) activate(want);
  }
  if (resync) refreshResumeList(); // "(current)" as the server has it now
}
