// Session-stream reconciliation, as pure functions: what to do with a numbered event, what to ask
// for when attaching, what the answer to an attach means, and how a tab is drawn from the store and
// the stream together. They read plain values and return decisions; the caller acts on them.
//
// The server numbers each event of a session ("seq", only growing) and keeps the latest ones. At
// every (re)connect the page attaches to each tab's session with the last number it drew there.
// Events of a session that arrive while its attach is under way (the replay, then live ones) are
// held back until "attached":
//
// - The pane still shows everything up to that number (a dropped connection): the held events are
//   drawn in order, and any number already drawn is skipped, so each event shows once.
// - The pane has nothing yet (a reload, a new window), or the server could not replay from there
//   ("replay_gap"): the store is the truth for turns that have ended, the stream for the one that
//   runs. The page asks for the turn's replay from its first event (the numbers are kept in
//   sessionStorage, so a reload knows where the running turn began; a new window asks for all the
//   server kept), draws the stored conversation without that turn's stored steps, and then the
//   turn's events from the stream. The stored rows of a running turn cannot be matched to events
//   one for one, while the stream holds every one of them exactly once.

import { TURN_STARTS, endsTurn } from "./protocol.js";

// A numbered event of a tab's session. tab: { seq, turnSeq, mode, attaching }.
//   { action: "hold" }                 an attach is under way: keep it for "attached"
//   { action: "seen", approval }       already drawn; an approval still waiting comes again on
//                                      attach with its old number, so it is offered again
//   { action: "draw", seq, turnSeq }   draw it; the tab's numbers become these
export function numbered(tab, ev) {
  if (tab.attaching) return { action: "hold" };
  if (ev.seq <= tab.seq) return { action: "seen", approval: ev.type === "tool_approval_needed" };
  let turnSeq = tab.turnSeq;
  if (TURN_STARTS.has(ev.type)) turnSeq = ev.seq;
  else if (turnSeq !== null && endsTurn(tab.mode, ev)) turnSeq = null;
  return { action: "draw", seq: ev.seq, turnSeq };
}

// What to send when attaching. tab: { seq, turnSeq, drawn }; running: the session list says a turn
// runs; fromStore: the tab is to be redrawn from the store whatever it shows.
//   { after, redraw }   after: the "after" of the attach (undefined: leave it out); redraw: draw the
//                       tab from the store and the stream once attached, not from the events alone
export function attachRequest(tab, running, fromStore) {
  const redraw = !tab.drawn || !tab.seq || !!fromStore;
  let after;
  if (!redraw || fromStore) after = tab.seq;
  else if (running) after = tab.turnSeq ? tab.turnSeq - 1 : tab.seq; // from the running turn's start
  else if (tab.seq) after = tab.seq;
  return { after, redraw };
}

// The answer to an attach, after the events held meanwhile were drawn. answer: { running, hint }
// (hint: the session list said a turn runs; a host's turn, a connector's or a beat's, is not the
// gateway's own task, so the list and the stream together say it runs); turnSeq: the tab's number
// of its running turn's first event, after those events.
//   { running, redraw }   redraw: the turn ended without a last event (it was stopped from
//                         another window, or cancelled), so its outcome is in the store only
export function afterAttach(answer, turnSeq) {
  const running = !!answer.running || (!!answer.hint && turnSeq !== null);
  return { running, redraw: !running && turnSeq !== null };
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

// The stored turn still open (no outcome yet) when it is the conversation's last one, or null.
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

// How to draw a tab from what the store holds and the events held during its attach.
// runs: the answer or the session list says a turn runs; changed: events arrived while the store
// was read.
//   { kind: "again" }                    read the store again (it is behind the stream)
//   { kind: "running", rows, from }      draw rows, then the events from index `from` on: the
//                                        running turn, of which only the first stored row is drawn
//   { kind: "stored" }                   the store holds it all
export function drawPlan(events, messages, runs, changed) {
  const turn = lastTurn(events);
  const open = openTurn(messages);
  if (turn.index >= 0 && !turn.ended && runs) {
    if (open === null) return { kind: "again" }; // the turn's first row is not stored yet
    const first = messages.findIndex((m) => m.turn_id === open);
    return { kind: "running", open, rows: messages.filter((m, i) => m.turn_id !== open || i === first), from: turn.index };
  }
  if (changed || (open !== null && turn.ended)) return { kind: "again" };
  return { kind: "stored" };
}

// The decisions the store holds for approvals of a turn: a window may have settled one while this
// page attached (the stream does not carry the decision).
export function storedDecisions(messages, turnId) {
  return messages.filter((m) => m.turn_id === turnId && m.role === "approval" && m.meta && m.meta.decision)
    .map((m) => ({ approvalId: m.meta.approval_id, decision: m.meta.decision }));
}

// What a window missed in a tab it draws for the first time: the end of the conversation's last turn
// ("done", "stopped" or "error") when it came after the window opened (opened: the server's clock,
// in seconds; null: not known), else null. A heartbeat's check-in that went well is no news, as live.
export function missedEnd(messages, opened) {
  if (typeof opened !== "number") return null;
  let end = null;
  for (let i = messages.length - 1; i >= 0 && end === null; i--) if (messages[i].role === "outcome") end = messages[i];
  if (!end || !(end.created_at > opened)) return null;
  const outcome = end.meta && end.meta.outcome;
  const kind = outcome === "done" ? "done" : outcome === "error" ? "error" : "stopped";
  const first = messages.find((m) => m.turn_id === end.turn_id);
  return kind === "done" && first && first.role === "heartbeat" ? null : kind;
}

// The highest number among these events, 0 for none.
export function lastSeq(events) {
  return events.reduce((max, e) => Math.max(max, e.seq), 0);
}

// Whether the server is another process than the one the kept numbers came from. A number kept
// from before a restart gets "replay_gap" anyway; the page also forgets its numbers, as the turn
// they noted is gone. known: the identity noted before (undefined: none); now: this server's.
export function restarted(known, now) {
  return known != null && now != null && known !== now;
}

// This server's identity: its start time where /api/health gives one ("started_at"), else Main's
// creation time, Main being made once per server process where sessions are not kept.
export function serverIdentity(health, sessions) {
  if (health && health.started_at !== undefined && health.started_at !== null) return "started " + health.started_at;
  const main = sessions.find((info) => info.session_id === "session_main");
  return main ? String(main.created_at) : undefined;
}

// How long to wait before the next attempt to reach the server, in ms: short at first, then
// never more than 800 ms, so the page is back within a second of the server; after two minutes
// away, every 5 s (the page offers "Retry now").
export function retryDelay(attempt, awayMs) {
  if (awayMs > 120000) return 5000;
  return Math.min(100 * 2 ** attempt, 800);
}

// Where a page of stored rows (oldest first) may begin so that no turn is drawn in half: the index
// of its first row to draw. more: older rows exist before these. Rows before the index belong to a
// turn that began earlier; they come again with the older page. rows.length: the rows are all of
// one turn that began earlier, so read further back first. A row without a turn (written by an
// earlier version) stands alone.
export function turnStart(rows, more) {
  if (!more || !rows.length) return 0;
  const head = rows[0];
  if (head.turn_id === undefined || head.turn_id === null || head.role === "user" || head.role === "heartbeat") return 0;
  const next = rows.findIndex((m) => m.turn_id !== head.turn_id);
  return next < 0 ? rows.length : next;
}
