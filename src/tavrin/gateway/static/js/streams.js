// Session streams, as the page acts on them: attaching each tab at every (re)connect, drawing the
// events held meanwhile, and redrawing a tab from the store and the stream together. What to do
// is decided by the pure functions of sync.js; this module does it.
//
// A server without session streams answers "attach" with an error: the page then reloads every
// tab from the store as before.

import { ui, saveSeq, keptServer, keepServer, keptPlace } from "./model.js";
import { api } from "./access.js";
import { send } from "./connection.js";
import { beginTurn, flushQueue, markAttention, renderChrome, setWorking } from "./sessions.js";
import { DECISIONS, renderHistory, holdAsked, hasAsked, takeAsked, endBubble, markStale, setBusy, clearPane, restorePlace } from "./transcript.js";
import { addApproval, settleApproval } from "./approvals.js";
import { numbered, attachRequest, afterAttach, drawPlan, storedDecisions, lastSeq, restarted, serverIdentity, missedEnd } from "./sync.js";
import { noticeTurnEnd } from "./notify.js";

// Events held back during an attach are drawn, when it settles, by the page's handler of every
// event (events.js gives it).
let handleEvent = () => {};
export function onHeldEvents(handler) { handleEvent = handler; }

const messagesOf = (conv) => api(`/api/conversations/${encodeURIComponent(conv)}/messages`);

// The server the kept numbers came from: at a restart they are forgotten, as the turns they
// noted are gone, and every tab is drawn again from the store. True when the server restarted.
export function noticeRestart(sessions) {
  const server = serverIdentity(ui.health, sessions);
  if (server === undefined) return false;
  const forget = restarted(keptServer(), server);
  if (forget) for (const s of ui.sessions.values()) { s.seq = 0; s.turnSeq = null; s.drawn = false; s.stall = null; }
  keepServer(server, forget);
  return forget;
}

// A numbered event of a tab's session: held back during an attach, skipped when already drawn.
// True when it is to be drawn now.
export function streamEvent(s, ev) {
  ui.streams = true;
  const d = numbered({ seq: s.seq, turnSeq: s.turnSeq, mode: s.mode, attaching: !!s.attach }, ev);
  if (d.action === "hold") { s.attach.buffer.push(ev); return false; }
  if (d.action === "seen") { if (d.approval) addApproval(ev); return false; }
  if (hasAsked(s.id) && ev.type !== "mode") fillAsked(s);
  s.seq = d.seq;
  s.turnSeq = d.turnSeq;
  saveSeq(s);
  return true;
}

// A turn another window started: its message has a place until the store has it.
export function askedElsewhere(s) { holdAsked(s.id); }

async function fillAsked(s) {
  const fill = takeAsked(s.id);
  try {
    const r = await messagesOf(s.conversationId);
    const messages = r.ok ? (await r.json()).messages : [];
    const asked = messages.filter((m) => m.role === "user" && !(m.meta && m.meta.connector)).pop();
    fill(asked ? asked.content : null, asked && asked.meta ? asked.meta.attachments : null);
  } catch (e) { fill(null); }
}

export function startAttach(s, running, fromStore) {
  if (s.attach) return; // one at a time: its "attached" settles the tab
  const { after, redraw } = attachRequest(s, running, fromStore);
  s.attach = { rebuild: redraw, buffer: [], running: false, hint: running, seq: 0 };
  s.attached = true;
  const message = { type: "attach", session_id: s.id };
  if (after !== undefined) message.after = after;
  send(message);
}

// The server could not replay from the number asked: the tab is drawn from the store.
export function replayGap(s) { if (s.attach) s.attach.rebuild = true; }

export function attached(ev) {
  const s = ui.sessions.get(ev.session_id);
  if (!s || !s.attach) return;
  const st = s.attach;
  st.running = !!ev.running;
  st.seq = Number.isInteger(ev.seq) ? ev.seq : 0;
  if (st.rebuild) { rebuild(s, st); return; }
  s.attach = null;
  for (const e of st.buffer) handleEvent(e);
  const after = afterAttach(st, s.turnSeq);
  if (after.redraw) {
    Object.assign(st, { rebuild: true, buffer: [], hint: false });
    s.attach = st;
    rebuild(s, st);
    return;
  }
  finishAttach(s, st, after.running);
}

function finishAttach(s, st, running) {
  s.seq = Math.max(s.seq, st.seq);
  if (!running) s.turnSeq = null;
  saveSeq(s);
  if (running && !s.working) beginTurn(s.id, s.mode, false);
  else if (!running && s.working && !s.ownTurn) {
    // (A turn of this page's own, a queued message that just went out, has not begun there yet.)
    s.mode = null; endBubble(s.id); setWorking(s.id, false);
  }
  drawn(s);
  markStale(s.id, false);
  setBusy(s.id, false);
  if (s.id === ui.active) renderChrome();
  if (!s.working) flushQueue(s);
}

// The pane shows what the server holds, drawn afresh: it goes back to where this window had it
// scrolled (before a reload too; kept as the user scrolls, left out while it follows the end).
function drawn(s) {
  s.drawn = true;
  s.shown = true;
  restorePlace(s.id, keptPlace.scroll[s.id]);
}

// A tab drawn from the store for the first time in this window: a turn that ended after the window
// opened, before it followed the tab (a connector's, another window's), is news as when seen live.
function noticeMissed(s, messages) {
  const missed = s.shown ? null : missedEnd(messages, ui.openedAt);
  return () => { if (missed) noticeTurnEnd(s.id, missed); };
}

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Whether the store holds rows older than an answer's: its "has_more", null when it does not say.
const moreOf = (data) => (typeof data.has_more === "boolean" ? data.has_more : null);

async function rebuild(s, st) {
  setBusy(s.id, true);
  let messages = [];
  let history = null;
  for (let attempt = 0; attempt < 5; attempt++) {
    if (attempt) await pause(100 * attempt);
    const before = st.buffer.length;
    const renames = s.renames;
    const conv = s.conversationId;
    try {
      if (conv) {
        const r = await messagesOf(conv);
        if (r.ok) {
          const data = await r.json();
          messages = data.messages;
          history = { conversationId: conv, more: moreOf(data) };
          if (s.renames === renames) s.conversationTitle = data.conversation.title;
        } else if (r.status === 404) messages = [];
        else continue;
      } else messages = [];
    } catch (e) { continue; }
    if (s.attach !== st) return; // a newer connection attaches again
    if (s.conversationId !== conv) continue;
    const plan = drawPlan(st.buffer, messages, st.running || st.hint, st.buffer.length !== before);
    if (plan.kind === "running") { drawRunningTurn(s, st, messages, plan, history); return; }
    if (plan.kind === "stored") break;
  }
  // Drawn from the store alone (also when it never settled): the numbers go on from the stream's.
  // A turn the server says still runs goes on in the tab, though its start was not replayed (the
  // window had seen it before a reload): the store holds what it did so far.
  renderHistory(s.id, messages, history);
  const missed = noticeMissed(s, messages);
  s.attach = null;
  s.seq = lastSeq(st.buffer);
  finishAttach(s, st, st.running);
  missed();
}

function drawRunningTurn(s, st, messages, plan, history) {
  // The turn's first stored row (the message that started it) stays; its other rows come from
  // the stream, which holds each of them once.
  renderHistory(s.id, plan.rows, history);
  const start = st.buffer[plan.from];
  s.attach = null;
  s.seq = start.seq;
  s.turnSeq = start.seq;
  beginTurn(s.id, start.type === "mode" ? start.mode : "standard", false);
  if (start.type === "connector_message") markAttention(s.id);
  for (const e of st.buffer.slice(plan.from + 1)) handleEvent(e);
  // An approval of the turn settled by a window meanwhile: the store has the decision (the
  // stream does not carry it).
  for (const { approvalId, decision } of storedDecisions(messages, plan.open)) {
    if (!DECISIONS[decision]) continue;
    settleApproval(approvalId, decision === "approved" ? "Approved" : decision === "rejected"
      ? "Rejected" : "No longer needed", decision);
  }
  finishAttach(s, st, s.turnSeq !== null);
}

// What the server holds for this tab, drawn in place of what the page shows (without session
// streams). Live events that arrive meanwhile are also stored by then, so a fetch they overtook
// is simply made again.
export async function reload(s) {
  setBusy(s.id, true);
  let missed = () => {};
  try {
    for (let attempt = 0; attempt < 3; attempt++) {
      if (!s.conversationId) { clearPane(s.id); break; }
      const seq = s.liveSeq;
      const renames = s.renames;
      const conv = s.conversationId;
      const r = await messagesOf(conv);
      if (!r.ok) { if (r.status === 404) clearPane(s.id); break; }
      const data = await r.json();
      if (s.liveSeq !== seq || s.conversationId !== conv) continue;
      if (s.renames === renames) s.conversationTitle = data.conversation.title;
      renderHistory(s.id, data.messages, { conversationId: conv, more: moreOf(data) });
      missed = noticeMissed(s, data.messages);
      break;
    }
  } catch (e) { /* offline: the next connection reloads again */ }
  drawn(s);
  missed();
  markStale(s.id, false);
  setBusy(s.id, false);
  if (s.id === ui.active) renderChrome();
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
