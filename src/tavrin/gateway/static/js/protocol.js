// What the page and the server say to each other that the page has to recognise: session ids,
// event types that begin a turn, and the few texts of the server's that mean something more
// than words to show.

export const MAIN = "session_main";

// The gateway's banner for a Computer Use turn.
export const CU_CHIP = "Using Computer Use mode — I can see and control your screen";

// Events that begin a turn in a session's stream.
export const TURN_STARTS = new Set(["mode", "heartbeat_prompt", "connector_message"]);

export const TEXT = {
  attachUnknown: "Unknown message type: attach", // a server without session streams
  sessionNotFound: "Session not found",
  heartbeatUnavailable: "Heartbeat not initialized",
  cuErrorPrefix: "Computer Use error", // the error that ends a Computer Use turn; others do not
};

// The server's and the store's words for a stopped turn, older ones included: the page says
// "Stopped" (or who stopped it) for all of them.
export const STOP_TEXTS = new Set(["Task stopped", "Task cancelled", "Stopped", ""]);
// The store's word for a turn cancelled without a stop, older ones included.
export const CANCEL_TEXTS = new Set(["Task cancelled", "Cancelled", ""]);

// Does this event end a turn of this mode? A Computer Use turn reports trouble and goes on.
export function endsTurn(mode, ev) {
  if (ev.type === "done" || ev.type === "cancelled") return true;
  if (ev.type !== "error") return false;
  return !(mode === "computer_use" && !String(ev.message).startsWith(TEXT.cuErrorPrefix));
}
