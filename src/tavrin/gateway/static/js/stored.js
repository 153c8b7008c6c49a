// A stored conversation drawn as it was shown live, and older rows drawn above what the pane shows.

import { el } from "./dom.js";
import { turnStart } from "./sync.js";
import { showAttachments } from "./attachview.js";
import { view, clearPane, asks, setRowTime } from "./pane.js";
import { foldSteps } from "./steps.js";
import { addUser, addChip, addHeartbeat, addText, addThinking, addLine, showVersions } from "./messages.js";
import { addToolCall, addToolResult } from "./toolcards.js";
import { addApprovalLine } from "./approvallines.js";
import { addOutcome } from "./outcomes.js";

// A stored conversation, drawn as its turns were shown live. history: { conversationId, more }
// (more: older rows exist; null: not known, the answer did not say), for reading further back.
// Older rows belonging to the first turn are left for the next page, so no turn shows in half.
export function renderHistory(id, messages, history) {
  clearPane(id, "This conversation has no messages yet.");
  const rows = messages || [];
  const more = history ? history.more : false;
  const maybe = more === null && rows.length >= FULL_PAGE;
  let cut = turnStart(rows, more === true || maybe);
  if (cut >= rows.length) cut = 0; // one turn longer than the page: drawn as it is
  const shown = rows.slice(cut);
  drawRows(id, shown);
  if (history && history.conversationId && shown.length && (more === true || maybe)) {
    view(id).history = { conversationId: history.conversationId, before: shown[0].id, more: true, loading: false, unsupported: false };
  }
  renderHistoryLine(id);
}

// The most rows one answer of the store holds.
export const FULL_PAGE = 200;

function drawRows(id, rows) {
  // An approval of a turn that has ended without a decision lapsed with it (or with the server).
  const ended = new Map(rows.filter((m) => m.role === "outcome").map((m) => [m.turn_id, (m.meta || {}).outcome]));
  try {
    for (const m of rows) {
      setRowTime(typeof m.created_at === "number" ? m.created_at : null);
      drawRow(id, m, ended);
    }
  } finally { setRowTime(null); }
}

// Older rows, drawn above what the pane shows; the part the user reads stays where it is.
export function prependRows(id, rows) {
  const v = view(id);
  const { bubble, steps, groups, chip } = v;
  const fromEnd = v.pane.scrollHeight - v.pane.scrollTop;
  v.insertAt = v.historyLine ? v.historyLine.nextSibling : v.pane.firstChild;
  Object.assign(v, { bubble: null, steps: null, groups: [], chip: null, quiet: true });
  try { drawRows(id, rows); } finally {
    if (v.groups.length) foldSteps(id);
    Object.assign(v, { insertAt: null, bubble, steps, groups, chip, quiet: false });
  }
  v.pane.scrollTop = v.pane.scrollHeight - fromEnd;
}

export function historyOf(id) { return view(id) ? view(id).history : null; }

// The line at the top of a pane that says older messages exist, with a button to read them.
export function renderHistoryLine(id) {
  const v = view(id);
  const h = v.history;
  if (!h || (!h.more && !h.unsupported)) {
    if (v.historyLine) v.historyLine.remove();
    v.historyLine = null;
    return;
  }
  if (!v.historyLine) {
    v.historyLine = el("div", "line history-more");
    v.pane.insertBefore(v.historyLine, v.pane.firstChild);
  }
  if (h.unsupported) { // a server that answers no older pages
    v.historyLine.replaceChildren(`Only the latest ${FULL_PAGE} messages are shown here.`);
    return;
  }
  const button = el("button", "link", h.loading ? "Loading older messages…" : "Load older messages");
  button.type = "button";
  button.disabled = h.loading;
  button.addEventListener("click", () => asks.readBack(id));
  v.historyLine.replaceChildren("Older messages are stored. ", button);
}

function drawRow(id, m, ended) {
  const meta = m.meta || {};
  switch (m.role) {
    case "user": {
      const node = addUser(id, m.content, meta.connector ? "via " + (meta.sender || "connector") : null);
      node.dataset.row = String(m.id); // (what Edit and Regenerate name to the store)
      showVersions(id, node, m);
      showAttachments(node, meta.attachments);
      // Turns from this page open with the mode banner; a connector's turn has none.
      if (!meta.connector && (meta.mode === "standard" || meta.mode === "computer_use")) addChip(id, meta.mode);
      break;
    }
    case "heartbeat": addHeartbeat(id); break;
    case "assistant": addText(id, m.content); break;
    case "thinking": addThinking(id, m.content); break;
    case "tool_call": addToolCall(id, meta); break;
    case "tool_result": addToolResult(id, meta); break;
    case "approval": {
      // Withdrawn, or never decided, in a turn the server's end cut: it lapsed with the server.
      let decision = meta.decision || (ended.has(m.turn_id) ? "withdrawn" : null);
      if (decision === "withdrawn" && ended.get(m.turn_id) === "interrupted") decision = "restarted";
      addApprovalLine(id, meta.approval_id, meta.tool, decision);
      break;
    }
    case "error": addLine(id, "error", "⚠️ " + m.content); break;
    case "outcome": addOutcome(id, meta.outcome, m.content, meta.iterations); break;
    default: addLine(id, "system", m.content);
  }
}
