// The user's MCP servers on the page: the panel that lists them with their state and tools, and
// the server's name on the card of a call to one of its tools. Draws only: mcp.js fetches.

import { el } from "./dom.js";

const STATES = {
  up: "up",
  starting: "starting",
  down: "down",
  off: "not started",
};

// The label of a tool card whose tool comes from an MCP server ("notes · write_note"), or null.
export function serverLabel(ev) {
  if (!ev || typeof ev.server !== "string" || !ev.server) return null;
  const tag = el("span", "tool-server", ev.server);
  tag.title = `From the MCP server ${ev.server}` +
    (typeof ev.server_tool === "string" ? ` (its tool ${ev.server_tool})` : "");
  return tag;
}

// The line of an approval card that says which MCP server's tool asks, or null.
export function approvalSource(ev) {
  if (!ev || typeof ev.server !== "string" || !ev.server) return null;
  const tool = typeof ev.server_tool === "string" ? ev.server_tool : ev.tool;
  return el("div", "approval-server", `A tool of the MCP server ${ev.server}: ${tool}`);
}

// Whether the servers' status asks for the user's eye: a server down, or a warning.
export function needsAttention(status) {
  if (!status) return false;
  return (status.warnings || []).length > 0 || (status.servers || []).some((s) => s.state === "down");
}

// One server: its name, where it is, its state (with its last error), its tools.
function serverRow(s) {
  const row = el("li", `mcp-server mcp-${STATES[s.state] ? s.state : "off"}`);
  const head = el("div", "mcp-head");
  head.append(el("span", "mcp-name", s.name),
    el("span", "mcp-state", STATES[s.state] || String(s.state)),
    el("span", "mcp-target", `${s.transport === "http" ? "HTTP" : "stdio"} · ${s.target || ""}`));
  row.appendChild(head);
  if (s.restarts) row.appendChild(el("p", "mcp-restarts", `Restarted ${s.restarts} time${s.restarts === 1 ? "" : "s"}.`));
  if (s.error) row.appendChild(el("p", "mcp-error", (s.state === "down" ? "Down: " : "Last error: ") + s.error));
  const tools = s.tools || [];
  row.appendChild(el("p", "mcp-tools", tools.length ? `Tools: ${tools.join(", ")}` : "No tools offered."));
  return row;
}

// The panel's content for GET /api/mcp's answer, or for why it could not be read.
export function renderMcpPanel(box, status, failure) {
  box.replaceChildren();
  if (failure) {
    box.appendChild(el("p", "mcp-warning", failure));
    return;
  }
  for (const w of status.warnings || []) box.appendChild(el("p", "mcp-warning", w));
  const servers = status.servers || [];
  if (!servers.length) {
    box.appendChild(el("p", "mcp-none",
      "No MCP servers are configured. Give them in mcp.json in the data directory, or with --mcp-config FILE."));
    return;
  }
  const list = el("ul", "mcp-list");
  list.setAttribute("aria-label", "MCP servers");
  for (const s of servers) list.appendChild(serverRow(s));
  box.appendChild(list);
}
