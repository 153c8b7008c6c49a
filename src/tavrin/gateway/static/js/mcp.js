// The MCP panel: opened from the top bar, it reads GET /api/mcp and reads it again while it is open
// (servers start, stop and are started again on their own). The button is marked while a server
// is down or a warning stands.

import { $ } from "./dom.js";
import { api } from "./access.js";
import { renderMcpPanel, needsAttention } from "./mcpview.js";

const REFRESH_MS = 2000;
let timer = null;

async function load() {
  let status = null;
  let failure = null;
  try {
    const r = await api("/api/mcp");
    if (r.ok) status = await r.json();
    else failure = `The servers' status could not be read (HTTP ${r.status}).`;
  } catch (e) {
    failure = "The servers' status could not be read: the connection to Tavrin is down.";
  }
  const button = $("mcp-btn");
  if (status) button.classList.toggle("attention", needsAttention(status));
  const panel = $("mcp-panel");
  if (panel.open) renderMcpPanel($("mcp-body"), status, failure);
}

function close() {
  clearInterval(timer);
  timer = null;
}

export function wireMcp() {
  const panel = $("mcp-panel");
  $("mcp-btn").addEventListener("click", () => {
    if (!panel.open) panel.showModal();
    load();
    clearInterval(timer);
    timer = setInterval(load, REFRESH_MS);
  });
  panel.addEventListener("close", close);
  load();
}
