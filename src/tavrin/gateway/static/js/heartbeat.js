import { $ } from "./dom.js";
import { ui } from "./model.js";
import { api } from "./access.js";
import { send } from "./connection.js";

// ---------------------------------------------------------------- heartbeat

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
