import { MAIN } from "./protocol.js";
import { $, el } from "./dom.js";
import { ui } from "./model.js";
import { api } from "./access.js";
import { send } from "./connection.js";
import { markAttention, sessionView } from "./tabs.js";
import { approvalText } from "./transcript.js";

// ---------------------------------------------------------------- approvals

export function addApproval(ev) {
  if (ui.approvals.has(ev.approval_id)) return;
  const sid = ev.session_id || MAIN;
  const s = sessionView(sid);
  const card = el("div", "approval");
  card.dataset.approval = ev.approval_id;
  card.dataset.session = sid;
  const text = el("div", "approval-text");
  text.appendChild(el("strong", "", `🔐 ${s.name}: `));
  text.appendChild(document.createTextNode(ev.message || `Tavrin wants to run ${ev.tool}. Allow it?`));
  card.appendChild(text);
  card.appendChild(el("pre", "approval-args", `${ev.tool || ""} ${JSON.stringify(ev.arguments || {})}`));
  const buttons = el("div", "approval-buttons");
  const yes = el("button", "approve", "Approve");
  const no = el("button", "reject", "Reject");
  yes.type = no.type = "button";
  const n = ui.approvals.size + 1;
  yes.setAttribute("aria-label", `Approve ${ev.tool || "action"} in ${s.name} (#${n})`);
  no.setAttribute("aria-label", `Reject ${ev.tool || "action"} in ${s.name} (#${n})`);
  yes.addEventListener("click", () => decide(ev.approval_id, true));
  no.addEventListener("click", () => decide(ev.approval_id, false));
  buttons.append(yes, no);
  card.appendChild(buttons);
  ui.approvals.set(ev.approval_id, { card, sid, settled: false });
  $("approvals").appendChild(card);
  markAttention(sid);
  updateBadges();
}

export function decide(approvalId, approved) {
  const entry = ui.approvals.get(approvalId);
  if (entry) entry.card.querySelectorAll("button").forEach((b) => { b.disabled = true; });
  send({ type: "approve", approval_id: approvalId, approved });
}

// decision: "approved", "rejected", "withdrawn", or null when it was settled elsewhere.
export function settleApproval(approvalId, outcome, decision) {
  for (const node of ui.approvalLines.get(approvalId) || []) {
    if (decision) { node.textContent = approvalText(node.dataset.tool, decision); node.classList.add("decided"); }
  }
  if (decision) ui.approvalLines.delete(approvalId);
  const entry = ui.approvals.get(approvalId);
  if (!entry || entry.settled) return;
  entry.settled = true;
  entry.card.classList.add("settled");
  entry.card.querySelector(".approval-buttons").replaceChildren(el("span", "outcome", outcome));
  updateBadges();
  setTimeout(() => { entry.card.remove(); ui.approvals.delete(approvalId); }, 2500);
}

export async function loadPendingApprovals() {
  try {
    const r = await api("/api/approvals");
    if (!r.ok) return;
    const data = await r.json();
    const pending = new Set(data.approvals.map((a) => a.approval_id));
    // Prompts the server no longer holds were settled while this page was away.
    for (const [id, entry] of ui.approvals) if (!pending.has(id) && !entry.settled) settleApproval(id, "No longer needed", "withdrawn");
    for (const a of data.approvals) {
      addApproval({ approval_id: a.approval_id, tool: a.tool, arguments: a.arguments, session_id: a.session_id });
    }
  } catch (e) { /* ignore */ }
}

// The count of approvals waiting in tabs the user is not looking at: on each such tab and in
// the page title.
export function updateBadges() {
  const counts = new Map();
  for (const entry of ui.approvals.values()) {
    if (!entry.settled) counts.set(entry.sid, (counts.get(entry.sid) || 0) + 1);
  }
  let unseen = 0;
  const named = new Map(); // tabs of the same name are told apart by a number
  for (const s of ui.sessions.values()) {
    const n = counts.get(s.id) || 0;
    const shown = n > 0 && (s.id !== ui.active || document.hidden);
    if (shown) unseen += n;
    const badge = s.tab.querySelector(".tab-badge");
    badge.hidden = !shown;
    badge.textContent = shown ? String(n) : "";
    badge.title = shown ? `${n} approval${n === 1 ? "" : "s"} waiting` : "";
    const k = (named.get(s.name) || 0) + 1;
    named.set(s.name, k);
    s.tab.setAttribute("aria-label", (k > 1 ? `${s.name} (${k})` : s.name) + (shown ? `, ${badge.title}` : ""));
  }
  document.title = unseen ? `(${unseen}) Tavrin — approval waiting` : "Tavrin";
}
