import { CU_CHIP } from "./protocol.js";
import { $, el, pretty } from "./dom.js";
import { ui } from "./model.js";
import { api } from "./access.js";
import { renderMarkdown } from "./markdown.js";
import { renderChrome, sessionView } from "./tabs.js";

// ---------------------------------------------------------------- the transcript

export function scrollToEnd(s) {
  const end = s.pane.scrollHeight - s.pane.clientHeight;
  if (s.stick && Math.abs(s.pane.scrollTop - end) > 1) {
    s.autoScroll = true;
    s.pane.scrollTop = end;
  }
}

export function append(id, node, keepBubble) {
  const s = sessionView(id);
  const empty = s.pane.querySelector(".empty");
  if (empty) empty.remove();
  s.pane.insertBefore(node, s.queueBox);
  if (!keepBubble) s.bubble = null;
  scrollToEnd(s);
  return node;
}

export function clearPane(id, note) {
  const s = sessionView(id);
  s.asked = null;
  s.pane.replaceChildren(el("p", "empty", note || "No messages yet."), s.queueBox);
  s.bubble = null;
  s.stick = true;
}

export function speaker(node, name, visible) {
  const label = el("span", visible ? "speaker" : "speaker sr-only", name);
  node.appendChild(label);
}

export function addUser(id, text, sender) {
  const node = el("div", "msg user");
  speaker(node, sender || "You", !!sender);
  node.appendChild(el("div", "body", text));
  return append(id, node);
}

// Consecutive pieces of a reply grow one bubble; anything else in between starts a new one.
export function addText(id, content) {
  const s = sessionView(id);
  if (!s.bubble) {
    const node = el("div", "msg assistant");
    speaker(node, "Tavrin", false);
    const body = el("div", "body markdown");
    node.appendChild(body);
    append(id, node);
    s.bubble = { node, body, text: "" };
  }
  s.bubble.text += String(content);
  s.bubble.body.replaceChildren(renderMarkdown(s.bubble.text));
  scrollToEnd(s);
}

export function addLine(id, kind, text) {
  return append(id, el("div", "line " + kind, text));
}

export function addChip(id, mode, message) {
  const node = el("div", "line mode");
  node.appendChild(el("span", "chip", mode === "computer_use" ? (message || CU_CHIP) : "Standard agent"));
  return append(id, node);
}

export function addToolCall(id, ev) {
  const card = el("div", "tool call");
  card.appendChild(el("span", "", "🔧 "));
  card.appendChild(el("span", "tool-name", ev.tool || "tool"));
  const args = pretty(ev.arguments);
  if (args && args !== "{}") card.appendChild(el("pre", "", args));
  append(id, card);
}

export const BASE64 = /^[A-Za-z0-9+/]+={0,2}$/;

export function addToolResult(id, ev) {
  const card = el("div", "tool result" + (ev.error ? " failed" : ""));
  card.appendChild(el("span", "", ev.error ? "⚠️ " : "✔ "));
  card.appendChild(el("span", "tool-name", ev.tool || "result"));
  card.appendChild(el("pre", "", pretty(ev.result)));
  if (ev.screenshot) {
    // Live: the screenshot itself; stored: its thumbnail, or a note that it was not kept.
    const data = typeof ev.image_base64 === "string" ? ev.image_base64 : ev.thumbnail_base64;
    if (typeof data === "string" && BASE64.test(data)) {
      const img = el("img", "shot" + (data === ev.thumbnail_base64 ? " thumb" : ""));
      img.alt = "Screenshot";
      img.src = "data:image/png;base64," + data;
      card.appendChild(img);
    } else {
      card.appendChild(el("div", "shot-omitted", "🖼 Screenshot (not kept)"));
    }
  }
  append(id, card);
}

export const DECISIONS = { approved: "approved", rejected: "rejected", withdrawn: "no longer needed" };

export function approvalText(tool, decision) {
  return decision ? `🔐 ${tool}: ${DECISIONS[decision] || decision}` : `🔐 Waiting for your approval: ${tool}`;
}

export function addApprovalLine(id, approvalId, tool, decision) {
  const node = addLine(id, "awaiting" + (decision ? " decided" : ""), approvalText(tool, decision));
  node.dataset.tool = tool || "";
  if (!decision) {
    const lines = ui.approvalLines.get(approvalId) || [];
    lines.push(node);
    ui.approvalLines.set(approvalId, lines);
  }
}

export const OUTCOME_TEXT = {
  stopped: "⏹ Task stopped", cancelled: "⏹ Task cancelled", error: "⚠️ Agent error",
  interrupted: "⚠️ Interrupted: the server stopped during this turn",
};

export function addOutcome(id, outcome, message, iterations) {
  if (outcome === "done") {
    return addLine(id, "done", `✓ Done${iterations ? ` (${iterations} step${iterations === 1 ? "" : "s"})` : ""}`);
  }
  const icon = outcome === "stopped" || outcome === "cancelled" ? "⏹ " : "⚠️ ";
  const text = message ? icon + message : OUTCOME_TEXT[outcome] || outcome;
  return addLine(id, outcome === "error" || outcome === "interrupted" ? "error" : "system", text);
}

// A stored conversation, drawn as its turns were shown live.
export function renderHistory(id, messages) {
  clearPane(id, "This conversation has no messages yet.");
  // An approval of a turn that has ended without a decision lapsed with it.
  const ended = new Set((messages || []).filter((m) => m.role === "outcome").map((m) => m.turn_id));
  for (const m of messages || []) {
    const meta = m.meta || {};
    switch (m.role) {
      case "user":
        addUser(id, m.content, meta.connector ? "via " + (meta.sender || "connector") : null);
        // Turns from this page open with the mode banner; a connector's turn has none.
        if (!meta.connector && (meta.mode === "standard" || meta.mode === "computer_use")) addChip(id, meta.mode);
        break;
      case "heartbeat": addLine(id, "heartbeat", "⏱ Heartbeat check-in"); break;
      case "assistant": addText(id, m.content); break;
      case "thinking": addLine(id, "thinking", "💭 " + m.content); break;
      case "tool_call": addToolCall(id, meta); break;
      case "tool_result": addToolResult(id, meta); break;
      case "approval":
        addApprovalLine(id, meta.approval_id, meta.tool, meta.decision || (ended.has(m.turn_id) ? "withdrawn" : null));
        break;
      case "error": addLine(id, "error", "⚠️ " + m.content); break;
      case "outcome": addOutcome(id, meta.outcome, m.content, meta.iterations); break;
      default: addLine(id, "system", m.content);
    }
  }
}

// What the server holds for this tab, drawn in place of what the page shows. Live events that
// arrive meanwhile are also stored by then, so a fetch they overtook is simply made again.
export async function reload(s) {
  s.pane.setAttribute("aria-busy", "true");
  try {
    for (let attempt = 0; attempt < 3; attempt++) {
      if (!s.conversationId) { clearPane(s.id); break; }
      const seq = s.liveSeq;
      const renames = s.renames;
      const conv = s.conversationId;
      const r = await api(`/api/conversations/${encodeURIComponent(conv)}/messages`);
      if (!r.ok) { if (r.status === 404) clearPane(s.id); break; }
      const data = await r.json();
      if (s.liveSeq !== seq || s.conversationId !== conv) continue;
      if (s.renames === renames) s.conversationTitle = data.conversation.title;
      renderHistory(s.id, data.messages);
      break;
    }
  } catch (e) { /* offline: the next connection reloads again */ }
  s.drawn = true;
  s.pane.classList.remove("stale");
  s.pane.removeAttribute("aria-busy");
  if (s.id === ui.active) renderChrome();
}
