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
  wantActive: null,         // the tab this window showed before a reload, until the server lists it
  approvals: new Map(),     // approval_id -> { sid, tool, settled }
  resync: true,             // the next sessions_list is the first of a connection
  streams: null,            // the server numbers session events: true, false, or not known yet
  hb: { status: null, interval: null, beat: null, max: null, paused: false, pausedAfter: null,
    quietStart: null, quietEnd: null, quietUntil: undefined },
  copyCount: 0,
  notify: false,            // desktop notifications for tabs not in view, switched on by the user
  openedAt: null,           // when this window opened, on the server's clock (seconds); null: not known yet
};

export function newSession(id) {
  const s = {
    id, name: id === MAIN ? "Main" : "Chat", icon: "💬", isConnector: false,
    conversationId: null, conversationTitle: "", working: false, ownTurn: false, mode: null,
    attention: false, stall: null, queue: [], held: false, liveSeq: 0, sent: false, renames: 0,
    // News the user has not seen because the tab was not in view: "finished" or "approval"; null: none.
    unread: null,
    beat: false,            // the running (or last) turn is a heartbeat's check-in
    runningTool: null,      // the tool the running turn waits for, called and not yet answered
    retry: null,            // the model's server is tried again: { until (Date.now()), reason }
    // Who stops the running turn ("here", "watchdog"; null: nobody here asked), the stall
    // watchdog's silence in seconds, and the last stop's outcome line.
    stopBy: null, watchdog: 0, lastStop: null,
    // Session streams: the last number drawn, the number of the running turn's first event,
    // whether the pane has been drawn by this page, an attach under way, attached on this connection.
    seq: 0, turnSeq: null, drawn: false, attach: null, attached: false,
    shown: false,           // the pane has been drawn once in this window
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

// ---------------------------------------------------------------- this window's place
//
// Each tab of the browser keeps its own place across reloads: the tab of the page it shows, and
// where each of its transcripts is scrolled to (left out: at the end, following new output).

const PLACE_KEY = "tavrin.place";
export const keptPlace = readPlace();

function readPlace() {
  try {
    const p = JSON.parse(sessionStorage.getItem(PLACE_KEY));
    if (p && typeof p === "object") {
      return { active: typeof p.active === "string" ? p.active : null, scroll: p.scroll && typeof p.scroll === "object" ? p.scroll : {} };
    }
  } catch (e) { /* nothing kept */ }
  return { active: null, scroll: {} };
}

function writePlace() {
  try { sessionStorage.setItem(PLACE_KEY, JSON.stringify(keptPlace)); } catch (e) { /* storage full or off */ }
}

export function keepActive(id) {
  keptPlace.active = id;
  writePlace();
}

// top: the transcript's scrollTop, or null when it is at its end.
let placeTimer = null;
export function keepScroll(id, top) {
  if (top === null) delete keptPlace.scroll[id]; else keptPlace.scroll[id] = Math.round(top);
  clearTimeout(placeTimer);
  placeTimer = setTimeout(writePlace, 150);
}

export function forgetPlace(id) {
  delete keptPlace.scroll[id];
  if (keptPlace.active === id) keptPlace.active = null;
  writePlace();
}
