// The one WebSocket to /ws: opened with a single-use ticket, reopened whenever it closes. Every
// (re)connect asks the server again for the sessions, the heartbeat and the approvals waiting.

import { toast } from "./dom.js";
import { ui } from "./model.js";
import { access, api } from "./access.js";
import { loadPendingApprovals } from "./approvals.js";
import { loadHeartbeat } from "./heartbeat.js";
import { handleEvent } from "./events.js";
import { showConnection } from "./status.js";
import { markStale } from "./transcript.js";

export function send(message) {
  if (!ui.ws || ui.ws.readyState !== WebSocket.OPEN) {
    toast("Not connected — retrying…", true);
    return false;
  }
  ui.ws.send(JSON.stringify(message));
  return true;
}

function reconnectLater() {
  setTimeout(connect, ui.retryMs);
  ui.retryMs = Math.min(ui.retryMs * 2, 8000);
}

export async function connect() {
  if (access.refused) return;
  let ticket;
  try {
    const r = await api("/api/ws-ticket", { method: "POST" });
    if (r.status === 401) return; // refuseAccess says what to do
    if (!r.ok) throw new Error(`no ticket (${r.status})`);
    ticket = (await r.json()).ticket;
  } catch (e) {
    reconnectLater(); // the server is away or busy
    return;
  }
  const proto = location.protocol === "https:" ? "wss:" : "ws:";
  const ws = new WebSocket(`${proto}//${location.host}/ws?ticket=${encodeURIComponent(ticket)}`);
  ui.ws = ws;
  ws.addEventListener("open", () => {
    ui.retryMs = 500;
    ui.resync = true;
    ui.streams = null; // a restarted server may have them off
    for (const s of ui.sessions.values()) { s.attached = false; s.attach = null; }
    showConnection("on");
    send({ type: "list_sessions" });
    loadHeartbeat();
    loadPendingApprovals();
  });
  ws.addEventListener("message", (msg) => {
    let ev;
    try { ev = JSON.parse(msg.data); } catch (e) { return; }
    if (ev && typeof ev === "object" && typeof ev.type === "string") handleEvent(ev);
  });
  ws.addEventListener("close", () => {
    if (ui.ws !== ws) return;
    showConnection("off");
    // Nothing on screen is current until the server has been asked again.
    for (const s of ui.sessions.values()) {
      markStale(s.id, true);
      s.ownTurn = false;
    }
    reconnectLater();
  });
}
