import { MAIN } from "./protocol.js";
import { ui } from "./model.js";
import { api } from "./access.js";
import { send } from "./connection.js";
import { beginTurn, flushQueue, markAttention, renderChrome, setWorking } from "./tabs.js";
import { DECISIONS, addUser, reload, renderHistory } from "./transcript.js";
import { addApproval, settleApproval } from "./approvals.js";
import { handleEvent } from "./events.js";

// ---------------------------------------------------------------- session streams
//
// The server numbers each event of a session ("seq", only growing) and keeps the latest ones.
// At every (re)connect the page attaches to each tab's session with the last number it drew
// there. Events of a session that arrive while its attach is under way (the replay, then live
// ones) are held back until "attached":
//
// - The pane still shows everything up to that number (a dropped connection): the held events
//   are drawn in order, and any number already drawn is skipped, so each event shows once.
// - The pane has nothing yet (a reload, a new window), or the server could not replay from there
//   ("replay_gap"): the store is the truth for turns that have ended, the stream for the one that
//   runs. The page asks for the turn's replay from its first event (the numbers are kept in
//   sessionStorage, so a reload knows where the running turn began; a new window asks for all
//   the server kept), draws the stored conversation without that turn's stored steps, and then
//   the turn's events from the stream. The stored rows of a running turn cannot be matched to
//   events one for one, while the stream holds every one of them exactly once.
//
// A server without session streams answers "attach" with an error: the page then reloads every
// tab from the store as before.

export const SEQ_KEY = "tavrin.seq";
export const keptSeqs = readSeqs();

export function readSeqs() {
  try { return JSON.parse(sessionStorage.getItem(SEQ_KEY)) || {}; } catch (e) { return {}; }
}

export function writeSeqs() {
  try { sessionStorage.setItem(SEQ_KEY, JSON.stringify(keptSeqs)); } catch (e) { /* storage full or off */ }
}

export function saveSeq(s) {
  keptSeqs[s.id] = { seq: s.seq, turn: s.turnSeq };
  writeSeqs();
}

export function forgetSeq(id) {
  delete keptSeqs[id];
  writeSeqs();
}

// The numbers come from one counter of the server process, which starts above every number an
// earlier process gave, so a number kept from before a restart gets "replay_gap". The page still
// forgets its numbers at a restart, as the turn they noted is gone with it: Main is made once per
// server process, so its creation time tells one.
export function noticeRestart(sessions) {
  const main = sessions.find((info) => info.session_id === MAIN);
  if (!main) return;
  const server = String(main.created_at);
  const known = keptSeqs[""];
  if (known && known.server !== server) {
    for (const s of ui.sessions.values()) { s.seq = 0; s.turnSeq = null; s.drawn = false; }
    for (const id of Object.keys(keptSeqs)) delete keptSeqs[id];
  }
  keptSeqs[""] = { server };
  writeSeqs();
}

export const TURN_STARTS = new Set(["mode", "heartbeat_prompt", "connector_message"]);

// Does this event end the turn of this mode? A Computer Use turn reports trouble and goes on.
export function endsTurn(mode, ev) {
  if (ev.type === "done" || ev.type === "cancelled") return true;
  if (ev.type !== "error") return false;
  return !(mode === "computer_use" && !String(ev.message).startsWith("Computer Use error"));
}

// A numbered event of a tab's session: held back during an attach, skipped when already drawn.
// True when it is to be drawn now.
export function streamEvent(s, ev) {
  ui.streams = true;
  if (s.attach) { s.attach.buffer.push(ev); return false; }
  if (ev.seq <= s.seq) {
    // Approvals still waiting are sent again on attach, with their old number.
    if (ev.type === "tool_approval_needed") addApproval(ev);
    return false;
  }
  if (s.asked && ev.type !== "mode") fillAsked(s);
  if (TURN_STARTS.has(ev.type)) s.turnSeq = ev.seq;
  else if (s.turnSeq !== null && endsTurn(s.mode, ev)) s.turnSeq = null;
  s.seq = ev.seq;
  saveSeq(s);
  return true;
}

// A turn another window started: its stream does not carry the message that started it, so its
// place is kept until the store has it (it is stored before the agent's first event).
export function askedElsewhere(s) {
  if (s.asked) s.asked.remove();
  s.asked = addUser(s.id, "…");
  s.asked.classList.add("pending");
}

export async function fillAsked(s) {
  const node = s.asked;
  s.asked = null;
  try {
    const r = await api(`/api/conversations/${encodeURIComponent(s.conversationId)}/messages`);
    const messages = r.ok ? (await r.json()).messages : [];
    const asked = messages.filter((m) => m.role === "user" && !(m.meta && m.meta.connector)).pop();
    if (!asked) { node.remove(); return; }
    node.querySelector(".body").textContent = asked.content;
    node.classList.remove("pending");
  } catch (e) { node.remove(); }
}

export function startAttach(s, running, fromStore) {
  if (s.attach) return; // one at a time: its "attached" settles the tab
  const blank = !s.drawn || !s.seq || !!fromStore;
  let after;
  if (!blank || fromStore) after = s.seq;
  else if (running) after = s.turnSeq ? s.turnSeq - 1 : s.seq; // from the running turn's start
  else if (s.seq) after = s.seq;
  s.attach = { rebuild: blank, buffer: [], running: false, hint: running, seq: 0 };
  s.attached = true;
  const message = { type: "attach", session_id: s.id };
  if (after !== undefined) message.after = after;
  send(message);
}

export function attached(ev) {
  const s = ui.sessions.get(ev.session_id);
  if (!s || !s.attach) return;
  const st = s.attach;
  st.running = !!ev.running;
  st.seq = Number.isInteger(ev.seq) ? ev.seq : 0;
  if (st.rebuild) { rebuild(s, st); return; }
  s.attach = null;
  for (const e of st.buffer) handleEvent(e);
  // A host turn (connector, heartbeat) is not the gateway's own task: the session list and the
  // stream together say it runs.
  const running = st.running || (st.hint && s.turnSeq !== null);
  if (!running && s.turnSeq !== null) {
    // The turn ended without a last event (it was stopped or cancelled): its outcome is stored.
    Object.assign(st, { rebuild: true, buffer: [], hint: false });
    s.attach = st;
    rebuild(s, st);
    return;
  }
  finishAttach(s, st, running);
}

export function finishAttach(s, st, running) {
  s.seq = Math.max(s.seq, st.seq);
  if (!running) s.turnSeq = null;
  saveSeq(s);
  if (running && !s.working) beginTurn(s.id, s.mode, false);
  else if (!running && s.working && !s.ownTurn) {
    // (A turn of this page's own, a queued message that just went out, has not begun there yet.)
    s.mode = null; s.bubble = null; setWorking(s.id, false);
  }
  s.drawn = true;
  s.pane.classList.remove("stale");
  s.pane.removeAttribute("aria-busy");
  if (s.id === ui.active) renderChrome();
  if (!s.working) flushQueue(s);
}

// The last turn that begins among these events, and whether it ends among them too.
export function lastTurn(events) {
  let index = -1, ended = false, mode = null;
  events.forEach((e, i) => {
    if (TURN_STARTS.has(e.type)) { index = i; ended = false; mode = e.type === "mode" ? e.mode : "standard"; }
    else if (index >= 0 && endsTurn(mode, e)) ended = true;
  });
  return { index, ended };
}

// The stored turn still open (no outcome yet) when it is the conversation's last one.
export function openTurn(messages) {
  let last = null;
  const ended = new Set();
  for (const m of messages) {
    if (m.turn_id === undefined || m.turn_id === null) continue;
    last = m.turn_id;
    if (m.role === "outcome") ended.add(m.turn_id);
  }
  return last !== null && !ended.has(last) ? last : null;
}

export const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export async function rebuild(s, st) {
  s.pane.setAttribute("aria-busy", "true");
  let messages = [];
  let drawn = false;
  for (let attempt = 0; attempt < 5 && !drawn; attempt++) {
    if (attempt) await pause(100 * attempt);
    const before = st.buffer.length;
    const renames = s.renames;
    const conv = s.conversationId;
    try {
      if (conv) {
        const r = await api(`/api/conversations/${encodeURIComponent(conv)}/messages`);
        if (r.ok) {
          const data = await r.json();
          messages = data.messages;
          if (s.renames === renames) s.conversationTitle = data.conversation.title;
        } else if (r.status === 404) messages = [];
        else continue;
      } else messages = [];
    } catch (e) { continue; }
    if (s.attach !== st) return; // a newer connection attaches again
    if (s.conversationId !== conv) continue;
    const turn = lastTurn(st.buffer);
    const open = openTurn(messages);
    const runs = turn.index >= 0 && !turn.ended && (st.running || st.hint);
    if (runs) {
      if (open === null) continue; // the turn's first row is not stored yet
      drawRunningTurn(s, st, messages, open, turn.index);
      return;
    }
    // Nothing runs: the store holds it all, unless something happened while it was read.
    if (st.buffer.length === before && !(open !== null && turn.ended)) drawn = true;
  }
  // Drawn from the store alone (also when it never settled): the numbers go on from the stream's.
  renderHistory(s.id, messages);
  s.attach = null;
  s.seq = st.buffer.reduce((max, e) => Math.max(max, e.seq), 0);
  finishAttach(s, st, false);
}

export function drawRunningTurn(s, st, messages, open, index) {
  // The turn's first stored row (the message that started it) stays; its other rows come from
  // the stream, which holds each of them once.
  const first = messages.findIndex((m) => m.turn_id === open);
  renderHistory(s.id, messages.filter((m, i) => m.turn_id !== open || i === first));
  const start = st.buffer[index];
  s.attach = null;
  s.seq = start.seq;
  s.turnSeq = start.seq;
  beginTurn(s.id, start.type === "mode" ? start.mode : "standard", false);
  if (start.type === "connector_message") markAttention(s.id);
  for (const e of st.buffer.slice(index + 1)) handleEvent(e);
  // An approval of the turn settled by a window meanwhile: the store has the decision (the
  // stream does not carry it).
  for (const m of messages) {
    const meta = m.meta || {};
    if (m.turn_id === open && m.role === "approval" && DECISIONS[meta.decision]) {
      settleApproval(meta.approval_id, meta.decision === "approved" ? "Approved" : meta.decision === "rejected"
        ? "Rejected" : "No longer needed", meta.decision);
    }
  }
  finishAttach(s, st, s.turnSeq !== null);
}

// The server does not know "attach": every tab is reloaded from the store, as without streams.
export function streamsOff() {
  ui.streams = false;
  for (const s of ui.sessions.values()) {
    const st = s.attach;
    if (!st) continue;
    s.attach = null;
    s.attached = false;
    if (!st.hint) { s.mode = null; s.ownTurn = false; }
    setWorking(s.id, st.hint);
    reload(s).then(() => { if (!s.working) flushQueue(s); });
  }
}
