// The one WebSocket to /ws: opened with a single-use ticket, reopened whenever it closes. Every
// (re)connect asks the server again for the sessions, the heartbeat and the approvals waiting.

import { toast } from "./dom.js";
import { ui } from "./model.js";
import { access, api } from "./access.js";
import { retryDelay } from "./sync.js";

// What the page does with the connection, wired by main.js: each event from the server; the
// socket open; the server asked again for the sessions (the rest it holds is the page's to ask
// for); the socket lost (nothing on screen is current until the server has been asked again).
export const hooks = { event: () => {}, opened: () => {}, asked: () => {}, closed: () => {} };

export function send(message) {
  if (!ui.ws || ui.ws.readyState !== WebSocket.OPEN) {
    toast("Not connected — retrying…", true);
    return false;
  }
  ui.ws.send(JSON.stringify(message));
  return true;
}

function reconnectLater() {
  ui.connecting = false;
  if (ui.away === null) ui.away = Date.now();
  clearTimeout(ui.retryTimer);
  ui.retryTimer = setTimeout(connect, retryDelay(ui.retries++, Date.now() - ui.away));
}

// "Retry now", and the browser telling that the network is back: try at once.
export function retryNow() {
  if (ui.connecting || (ui.ws && ui.ws.readyState === WebSocket.OPEN)) return;
  clearTimeout(ui.retryTimer);
  connect();
}

// The server's own account of itself; its start time tells a restart, and its clock when this
// window opened (what the window missed before it followed a tab is told by the stored times).
async function readHealth() {
  try {
    const asked = Date.now();
    const r = await api("/api/health");
    const health = r.ok ? await r.json() : null;
    if (ui.openedAt === null && health && typeof health.now === "number") {
      ui.openedAt = health.now - ((asked + Date.now()) / 2 - performance.timeOrigin) / 1000;
    }
    return health;
  } catch (e) { return null; }
}

export async function connect() {
  if (access.refused || ui.connecting) return;
  ui.connecting = true;
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
  ws.addEventListener("open", async () => {
    ui.connecting = false;
    ui.retries = 0;
    ui.away = null;
    ui.resync = true;
    ui.streams = null; // a restarted server may have them off
    for (const s of ui.sessions.values()) { s.attached = false; s.attach = null; }
    hooks.opened();
    ui.health = null;
    ui.health = await readHealth();
    if (ui.ws !== ws || ws.readyState !== WebSocket.OPEN) return;
    send({ type: "list_sessions" }); // its answer also brings the approvals waiting
    hooks.asked();
  });
  ws.addEventListener("message", (msg) => {
    let ev;
    try { ev = JSON.parse(msg.data); } catch (e) { return; }
    if (ev && typeof ev === "object" && typeof ev.type === "string") hooks.event(ev);
  });
  ws.addEventListener("close", () => {
    if (ui.ws !== ws) return;
    for (const s of ui.sessions.values()) s.ownTurn = false;
    hooks.closed();
    reconnectLater();
  });
}
