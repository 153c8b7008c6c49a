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

export function renderChrome(s) {
  $("working").hidden = !s.working;
  // (A tab is named after its first message: the line names the agent, not the tab.)
  // While Computer Use controls the screen, the line says so: Stop (or Esc) takes it back.
  const controlling = s.working && s.mode === "computer_use";
  $("working-text").textContent = controlling ? "Tavrin is controlling your screen — Stop takes it back"
    : s.working ? "Tavrin is working…" : "";
  $("working").classList.toggle("cu-active", controlling);
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
