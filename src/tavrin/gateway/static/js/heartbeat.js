// The heartbeat controls: Start (with the interval), Pause, Resume, Stop, Status, and the status
// line, which shows what the runner reports, never what was asked.

import { $ } from "./dom.js";
import { ui } from "./model.js";
import { api } from "./access.js";
import { send } from "./connection.js";

export function renderHeartbeat() {
  const hb = ui.hb;
  const status = $("hb-status");
  if (hb.status === "unavailable") { status.textContent = "not available"; return; }
  const parts = [];
  if (hb.pausedAfter !== null && hb.paused) {
    parts.push(`paused after ${hb.pausedAfter} beats without you — Resume to go on`);
  } else if (hb.status) {
    parts.push(hb.paused ? "paused" : hb.status);
  }
  if (hb.interval !== null && hb.status !== "stopped") parts.push(`every ${hb.interval} s`);
  if (hb.beat && hb.max && hb.status === "running" && !hb.paused) {
    parts.push(`beat ${hb.beat} of ${hb.max} before pausing for you`);
  }
  status.textContent = parts.join(" · ") || "—";
  status.title = hb.max
    ? `Each beat runs a check-in turn in Main. After ${hb.max} beats without a message from you the ` +
      "heartbeat pauses itself; any message you send starts the count again."
    : "";
}

export async function loadHeartbeat() {
  try {
    const r = await api("/api/heartbeat");
    if (r.status === 503) { ui.hb.status = "unavailable"; renderHeartbeat(); return; }
    if (!r.ok) return;
    const st = await r.json();
    Object.assign(ui.hb, {
      status: st.running ? "running" : "stopped", paused: !!st.paused, interval: st.interval_seconds,
      beat: st.consecutive_beats, max: st.max_consecutive,
      pausedAfter: st.paused && st.consecutive_beats >= st.max_consecutive ? st.consecutive_beats : null,
    });
    renderHeartbeat();
  } catch (e) { /* ignore */ }
}

// The reply to a status request (the only heartbeat_status that reads the runner's state).
export function heartbeatStatus(ev) {
  ui.hb.status = ev.status;
  ui.hb.paused = !!ev.paused;
  if (!ui.hb.paused) ui.hb.pausedAfter = null;
  if (ev.interval !== undefined && ev.interval !== null) {
    ui.hb.interval = ev.interval;
    $("hb-interval").value = ev.interval; // the interval in effect, which may differ from the one typed
  }
  if (ev.status === "stopped") ui.hb.beat = null;
  renderHeartbeat();
}

export function heartbeatBeat(ev) {
  Object.assign(ui.hb, { status: "running", paused: false, beat: ev.beat, max: ev.max, pausedAfter: null });
  renderHeartbeat();
}

export function heartbeatPaused(ev) {
  Object.assign(ui.hb, { paused: true, pausedAfter: ev.count });
  renderHeartbeat();
}

export function heartbeatUnavailable() {
  ui.hb.status = "unavailable";
  renderHeartbeat();
}

export function wireHeartbeat() {
  document.querySelectorAll("[data-hb]").forEach((button) => {
    button.addEventListener("click", () => {
      const action = button.dataset.hb;
      const message = { type: "heartbeat_control", action };
      if (action === "start") {
        const interval = Number($("hb-interval").value);
        if (Number.isFinite(interval) && interval > 0) message.interval = interval;
      }
      send(message);
      // Show what the runner reports, never what was asked: its status over the socket (answered
      // after the action, on the same connection) and the host's fuller record.
      if (action !== "status") send({ type: "heartbeat_control", action: "status" });
      loadHeartbeat();
    });
  });
}
