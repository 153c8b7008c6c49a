// The lines around the transcript that follow the active tab: the connection indicator, the working
// line and Stop, the composer's hints, the connector note and the stall banner.

import { $, touchOnly } from "./dom.js";

// state: "on", "off" (reconnecting) or "refused" (no access token).
export function showConnection(state) {
  const conn = $("conn");
  conn.textContent = { on: "connected", off: "disconnected — reconnecting…", refused: "no access token" }[state];
  conn.className = "conn " + (state === "on" ? "conn-on" : "conn-off");
  $("retry-now").hidden = state !== "off";
}

// No token, or not this server's: the note says how to get the address; nothing else of the page
// can work without the token, so the note is all it shows.
export function showRefused() {
  showConnection("refused");
  $("access-command").textContent = `echo "${location.origin}/#token=$(cat ~/.tavrin/token)"`;
  $("access-note").hidden = false;
  document.body.classList.add("refused");
}

// What the running turn waits for, in the working line: the user's approval (then nothing spins:
// it is the user's move), a tool running, or the model.
export function workingText(s, approvalsWaiting, at = Date.now()) {
  if (!s.working) return "";
  if (approvalsWaiting > 0) return "Waiting for your approval";
  if (s.retry) return retryText(s.retry, at);
  if (s.runningTool) return s.runningTool === "run_command" ? "Running command…" : `Running ${s.runningTool}…`;
  return "Thinking…";
}

// A try of the model's server to be made again: the seconds left, counted down, and why.
export function retryText(retry, at) {
  const left = Math.max(0, Math.ceil((retry.until - at) / 1000));
  const why = retry.reason ? ` (${retry.reason})` : "";
  return left > 0 ? `Retrying in ${left} s${why}` : `Retrying now${why}`;
}

// approvalsWaiting: how many approvals of this tab wait for the user.
export function renderChrome(s, approvalsWaiting = 0) {
  $("working").hidden = !s.working;
  // (A tab is named after its first message: the line says what the turn does, not the tab's name.)
  // While Computer Use controls the screen, the line says so: Stop (or Esc) takes it back. While it
  // waits (for the user's approval, for the model's server to be tried again), it says what for.
  const controlling = s.working && s.mode === "computer_use" && approvalsWaiting === 0 && !s.retry;
  $("working-text").textContent = controlling ? "Tavrin is controlling your screen — Stop takes it back"
    : workingText(s, approvalsWaiting);
  $("working").classList.toggle("cu-active", controlling);
  $("working").classList.toggle("waiting", s.working && approvalsWaiting > 0);
  $("stop").disabled = !s.working;
  $("send").title = s.working ? "The message waits for the running turn to end" : "";
  $("input").placeholder = placeholder(s.working, touchOnly());
  $("conv-title").textContent = s.conversationTitle || "";
  $("clear-history").hidden = !s.isConnector;
  $("connector-note").hidden = !s.isConnector;
  const stall = s.stall;
  $("stall-banner").hidden = !stall;
  if (stall) {
    $("stall-text").textContent = stall.message;
    $("stall-banner").classList.toggle("cancelled", !!stall.auto_cancelled);
    $("stall-stop").hidden = !!stall.auto_cancelled;
  }
}

export function placeholder(working, touch) {
  if (working) return "A turn is running: a message sent now waits for it to end" + (touch ? "" : " (Esc stops it)");
  return touch ? "Message Tavrin…" : "Message Tavrin…  (Enter sends, Shift+Enter for a new line)";
}
