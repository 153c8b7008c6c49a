import { MAIN } from "./protocol.js";

export const ui = {
  ws: null,
  retryMs: 500,
  sessions: new Map(),      // session_id -> session view
  active: MAIN,
  approvals: new Map(),     // approval_id -> {card, sid, settled}
  approvalLines: new Map(), // approval_id -> transcript lines that show its state
  resync: true,             // the next sessions_list is the first of a connection
  streams: null,            // the server numbers session events: true, false, or not known yet
  hb: { status: null, interval: null, beat: null, max: null, paused: false, pausedAfter: null },
  copyCount: 0,
};
