// Versions of a conversation: a reply asked for again (Regenerate), a message edited (a new branch
// from there), and moving between the versions the store keeps. The store changes first; the tab
// is then drawn again from it, and the message goes out as any other.

import { toast } from "./dom.js";
import { ui } from "./model.js";
import { api } from "./access.js";
import { session, sendChat, connected } from "./sessions.js";
import { reload } from "./streams.js";

// Regenerate: the message node asked is answered again; the answer before stays a version.
export function regenerate(id, node, computerUse) {
  return branch(id, node, node.querySelector(".body").textContent, computerUse);
}

// Edit: the message node is sent again as `text`, a branch from there.
export function editMessage(id, node, text) {
  return branch(id, node, text, false);
}

function ready(s) {
  if (s.working) { toast("A turn is running in this tab: try again once it has ended.", true); return false; }
  if (!connected() || !s.conversationId) { toast("Not connected: try again once the page is back online.", true); return false; }
  return true;
}

function branch(id, node, text, computerUse) {
  const s = session(id);
  if (!ready(s)) return false;
  if (node.querySelector(".msg-files")) {
    // The store keeps what was attached by name and thumbnail only, never the files: asked again,
    // the message would go out without them.
    toast("The files attached to that message are not kept once it is sent: attach them again to a new message.", true);
    return false;
  }
  s.branching = true; // (the other windows' news of it is not for this one: it draws the tab itself)
  (async () => {
    try {
      const row = await rowOf(s, node);
      if (row === null || !(await change(s, { from: row }))) return;
      await reload(s);
      if (!sendChat(id, text, computerUse)) return;
      // Once answered, the tab is drawn again from the store: the versions show there.
      await ended(s);
      if (!s.working) await reload(s);
    } finally { s.branching = false; }
  })();
  return true;
}

function ended(s) {
  return new Promise((resolve) => {
    const look = () => (s.working && ui.sessions.get(s.id) === s ? setTimeout(look, 200) : resolve());
    look();
  });
}

// The branch through stored version `rowId` of a message goes on view.
export async function showVersion(id, rowId) {
  const s = session(id);
  if (!ready(s)) return;
  s.branching = true;
  try { if (await change(s, { show: rowId })) await reload(s); } finally { s.branching = false; }
}

async function change(s, body) {
  try {
    const r = await api(`/api/conversations/${encodeURIComponent(s.conversationId)}/branch`, {
      method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body),
    });
    if (r.ok) return true;
    const detail = (await r.json().catch(() => ({}))).detail;
    toast(typeof detail === "string" ? detail : "That version could not be made.", true);
  } catch (e) { toast("Not connected: try again once the page is back online.", true); }
  return false;
}

// The store's id of a user message drawn in the pane: named on it when drawn from the store; for
// one drawn live, the user message as far from the end among the stored ones.
async function rowOf(s, node) {
  if (node.dataset.row) return Number(node.dataset.row);
  const pane = node.closest(".pane");
  const drawn = [...pane.querySelectorAll(".msg.user:not(.queued):not(.pending)")];
  const fromEnd = drawn.length - 1 - drawn.indexOf(node);
  try {
    const r = await api(`/api/conversations/${encodeURIComponent(s.conversationId)}/messages`);
    if (r.ok) {
      const users = (await r.json()).messages.filter((m) => m.role === "user");
      const row = users[users.length - 1 - fromEnd];
      if (row && row.content === (node.querySelector(".body") || {}).textContent) return row.id;
    }
  } catch (e) { /* told below */ }
  toast("That message is not in the store yet: try again in a moment.", true);
  return null;
}

// Another window made or chose a version: tabs on that conversation are drawn again, unless a
// turn runs there (its end redraws it) or this window is the one doing it.
export function branched(conversationId) {
  for (const s of ui.sessions.values()) {
    if (s.conversationId === conversationId && !s.working && !s.branching) reload(s);
  }
}
