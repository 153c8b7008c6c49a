// The page's state, with no DOM in it: the connection, the sessions the page shows a tab for, the
// approvals it knows of and the heartbeat's last known status. The views draw from it; the
// numbers of the session streams are kept in this tab's sessionStorage, so a reload finds them.

import { MAIN } from "./protocol.js";

export const ui = {
  ws: null,
  retries: 0,               // attempts to reach the server since the connection was lost
  away: null,               // when it was lost (Date.now()), null while connected
  retryTimer: null,
  connecting: false,        // a ticket or a socket is on its way
  health: null,             // GET /api/health of this connection's server
  sessions: new Map(),      // session_id -> session
  active: MAIN,
  approvals: new Map(),     // approval_id -> { sid, tool, settled }
  resync: true,             // the next sessions_list is the first of a connection
  streams: null,            // the server numbers session events: true, false, or not known yet
  hb: { status: null, interval: null, beat: null, max: null, paused: false, pausedAfter: null,
    quietStart: null, quietEnd: null, quietUntil: undefined },
  copyCount: 0,
  notify: false,            // desktop notifications for tabs not in view, switched on by the user
};

export function newSession(id) {
  const s = {
    id, name: id === MAIN ? "Main" : "Chat", icon: "💬", isConnector: false,
    conversationId: null, conversationTitle: "", working: false, ownTurn: false, mode: null,
    attention: false, stall: null, queue: [], held: false, liveSeq: 0, sent: false, renames: 0,
    // News the user has not seen because the tab was not in view: "finished" or "approval"; null: none.
    unread: null,
    beat: false,            // the running (or last) turn is a heartbeat's check-in
    // Who stops the running turn ("here", "watchdog"; null: nobody here asked), the stall
    // watchdog's silence in seconds, and the last stop's outcome line.
    stopBy: null, watchdog: 0, lastStop: null,
    // Session streams: the last number drawn, the number of the running turn's first event,
    // whether the pane has been drawn by this page, an attach under way, attached on this connection.
    seq: 0, turnSeq: null, drawn: false, attach: null, attached: false,
  };
  const kept = keptSeqs[id];
  if (kept) { s.seq = Number(kept.seq) || 0; s.turnSeq = Number(kept.turn) || null; }
  return s;
}

// ---------------------------------------------------------------- numbers kept across a reload

const SEQ_KEY = "tavrin.seq";
export const keptSeqs = readSeqs();

function readSeqs() {
  try { return JSON.parse(sessionStorage.getItem(SEQ_KEY)) || {}; } catch (e) { return {}; }
}

function writeSeqs() {
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

// The server the numbers were noted on ("" holds it), and forgetting them all when it changed.
export function keptServer() { return keptSeqs[""] ? keptSeqs[""].server : undefined; }

export function keepServer(server, forget) {
  if (forget) for (const id of Object.keys(keptSeqs)) delete keptSeqs[id];
  keptSeqs[""] = { server };
  writeSeqs();
}
