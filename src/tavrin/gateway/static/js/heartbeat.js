// The heartbeat controls: Start (with the interval), Pause, Resume, Stop, Status, and the status
// line, which shows what the runner reports, never what was asked.

import { $ } from "./dom.js";
import { ui } from "./model.js";
import { api } from "./access.js";
import { send } from "./connection.js";

// The end of the quiet window ("07:00") when the time "HH:MM" lies in it, else null. The runner
// compares the same texts; a window whose start is later than its end wraps past midnight.
export function quietUntil(now, start, end) {
  if (!start || !end) return null;
  const inside = start <= end ? start <= now && now < end : now >= start || now < end;
  return inside ? end : null;
}

function clock() {
  const d = new Date();
  return `${String(d.getHours()).padStart(2, "0")}:${String(d.getMinutes()).padStart(2, "0")}`;
}

// The line and the buttons follow what the runner reports: stopped, paused (by the user or by
// itself after its beats without the user), quiet, or running; only the actions that apply are
// offered (Start while running only to change the interval).
export function renderHeartbeat() {
  const hb = ui.hb;
  const status = $("hb-status");
  const running = hb.status === "running";
  const paused = running && hb.paused;
  // The host's word on quiet hours where it gives one (its clock is the runner's), else the window
  // read against this page's clock.
  const quiet = !running || paused ? null
    : hb.quietUntil !== undefined ? hb.quietUntil : quietUntil(clock(), hb.quietStart, hb.quietEnd);
  const typed = Number($("hb-interval").value);
  const offered = {
    start: hb.status !== "unavailable" && (!running || (hb.interval !== null && typed !== hb.interval)),
    pause: running && !paused, resume: paused, stop: running, status: true,
  };
  for (const button of document.querySelectorAll("[data-hb]")) button.hidden = !offered[button.dataset.hb];
  if (hb.status === "unavailable") { status.textContent = "not available"; status.title = ""; return; }
  const parts = [];
  if (!hb.status) parts.push("—");
  else if (!running) parts.push("stopped");
  else if (paused && hb.pausedAfter !== null) parts.push(`paused after ${hb.pausedAfter} beats without you — Resume to go on`);
  else if (paused) parts.push("paused");
  else if (quiet) parts.push(`quiet until ${quiet}`);
  else parts.push("running");
  if (running && hb.interval !== null) parts.push(`every ${hb.interval} s`);
  if (hb.beat && hb.max && running && !paused && !quiet) parts.push(`beat ${hb.beat} of ${hb.max} before pausing for you`);
  status.textContent = parts.join(" · ");
  const notes = [];
  if (quiet) notes.push(`No beat fires during quiet hours, ${hb.quietStart} to ${hb.quietEnd}.`);
  if (hb.max) {
    notes.push(`Each beat runs a check-in turn in Main. After ${hb.max} beats without a message from you the ` +
      "heartbeat pauses itself; any message you send starts the count again.");
  }
  // (A narrow bar may cut the line short: its title has all of it.)
  status.title = [status.textContent + ".", ...notes].join(" ");
}

// What the host records of the runner (GET /api/heartbeat), quiet hours included.
export async function loadHeartbeat() {
  try {
    const r = await api("/api/heartbeat");
    if (r.status === 503) { heartbeatUnavailable(); return; }
    if (!r.ok) return;
    heartbeatState(await r.json());
  } catch (e) { /* ignore */ }
}

// The host's record of the runner: the answer of GET /api/heartbeat, and the "heartbeat_state" it
// broadcasts to every window after every change (whichever window acted, and after every beat).
export function heartbeatState(st) {
  Object.assign(ui.hb, {
    status: st.running ? "running" : "stopped", paused: !!st.paused, interval: st.interval_seconds,
    beat: st.consecutive_beats, max: st.max_consecutive,
    pausedAfter: st.paused && st.consecutive_beats >= st.max_consecutive ? st.consecutive_beats : null,
    quietStart: st.quiet_hours_start || null, quietEnd: st.quiet_hours_end || null,
    quietUntil: "quiet_until" in st ? st.quiet_until || null : undefined,
  });
  renderHeartbeat();
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
  loadHeartbeat(); // answered after the action, so the host's record is current too
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
      // Show what the runner reports, never what was asked: its status over the socket, answered
      // after the action on the same connection, and then the host's fuller record.
      if (send(message) && action !== "status") send({ type: "heartbeat_control", action: "status" });
    });
  });
  $("hb-interval").addEventListener("input", renderHeartbeat);
  // Quiet hours begin and end: the line follows, from the host's record while the heartbeat runs.
  setInterval(() => { if (ui.hb.status === "running") loadHeartbeat(); else renderHeartbeat(); }, 30000);
  renderHeartbeat();
}
