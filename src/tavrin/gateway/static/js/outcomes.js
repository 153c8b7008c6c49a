// How a turn ended, in one wording live and stored.

import { STOP_TEXTS, CANCEL_TEXTS } from "./protocol.js";
import { view } from "./pane.js";
import { foldSteps } from "./steps.js";
import { addLine, offerRetry, offerRegenerate } from "./messages.js";
import { unfinishedCalls } from "./toolcards.js";

// One wording per way a turn ends, live and stored alike. The store closes a turn the server did
// not finish as interrupted when it starts again.
export const OUTCOME_TEXT = {
  stopped: "⏹ Stopped",
  elsewhere: "⏹ Stopped from another window",
  cancelled: "⏹ Cancelled",
  interrupted: "⚠️ Interrupted by a restart of the server",
  error: "⚠️ Agent error",
};
export const watchdogText = (seconds) => `⏹ Stopped: no progress for ${seconds} s`;

// What the outcome line of a turn says; message: the server's or the store's words for it.
export function outcomeText(outcome, message) {
  const said = message === undefined || message === null ? "" : String(message);
  if (outcome === "stopped") return STOP_TEXTS.has(said) ? OUTCOME_TEXT.stopped : "⏹ " + said;
  if (outcome === "cancelled") return CANCEL_TEXTS.has(said) ? OUTCOME_TEXT.cancelled : "⏹ " + said;
  if (outcome === "interrupted") return OUTCOME_TEXT.interrupted;
  if (outcome === "error") return said ? "⚠️ " + said : OUTCOME_TEXT.error;
  return OUTCOME_TEXT[outcome] || outcome;
}

export function addOutcome(id, outcome, message, iterations) {
  if (outcome === "stopped" || outcome === "cancelled" || outcome === "interrupted") unfinishedCalls(id, outcome);
  else { view(id).calls.clear(); view(id).stoppedCalls.clear(); }
  foldSteps(id);
  if (outcome === "done") {
    // An answer that ended well needs no line of its own: its actions are beside it. A screen
    // reader still hears that the turn is done. (Its steps are counted on the line above them.)
    const line = addLine(id, "done", "✓ Done");
    line.classList.add("sr-only");
    offerRegenerate(id);
    return line;
  }
  const failed = outcome === "error" || outcome === "interrupted";
  const node = addLine(id, failed ? "error" : "system", outcomeText(outcome, message));
  node.classList.add("outcome");
  if (failed) offerRetry(id, node);
  offerRegenerate(id);
  return node;
}
