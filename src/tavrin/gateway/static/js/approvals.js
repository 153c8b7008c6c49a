// The approvals region: a card for each tool action waiting for the user, in every window; the
// first Approve or Reject wins, and every window's card says how it was settled.

import { MAIN } from "./protocol.js";
import { $, el } from "./dom.js";
import { ui } from "./model.js";
import { api } from "./access.js";
import { send } from "./connection.js";
import { session, markAttention } from "./sessions.js";
import { updateBadges } from "./tabs.js";
import { decideApprovalLines } from "./transcript.js";

const cards = new Map(); // approval_id -> card

export function addApproval(ev) {
  if (ui.approvals.has(ev.approval_id)) return;
  const sid = ev.session_id || MAIN;
  const s = session(sid);
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
  ui.approvals.set(ev.approval_id, { sid, tool: ev.tool || "", settled: false });
  cards.set(ev.approval_id, card);
  $("approvals").appendChild(card);
  markAttention(sid);
  updateBadges();
}

function decide(approvalId, approved) {
  const card = cards.get(approvalId);
  if (card) card.querySelectorAll("button").forEach((b) => { b.disabled = true; });
  send({ type: "approve", approval_id: approvalId, approved });
}

// outcome: what the card says; decision: "approved", "rejected", "withdrawn", or null when it was
// settled elsewhere.
export function settleApproval(approvalId, outcome, decision) {
  if (decision) decideApprovalLines(approvalId, decision);
  const entry = ui.approvals.get(approvalId);
  if (!entry || entry.settled) return;
  entry.settled = true;
  const card = cards.get(approvalId);
  card.classList.add("settled");
  card.querySelector(".approval-buttons").replaceChildren(el("span", "outcome", outcome));
  updateBadges();
  setTimeout(() => { card.remove(); cards.delete(approvalId); ui.approvals.delete(approvalId); }, 2500);
}

// The approvals the server holds; a prompt it no longer holds was settled while the page was
// away, or lapsed with the server (restarted).
export async function loadPendingApprovals(restarted) {
  try {
    const r = await api("/api/approvals");
    if (!r.ok) return;
    const data = await r.json();
    const pending = new Set(data.approvals.map((a) => a.approval_id));
    for (const [id, entry] of ui.approvals) {
      if (pending.has(id) || entry.settled) continue;
      if (restarted) settleApproval(id, "Lapsed: the server restarted", "restarted");
      else settleApproval(id, "No longer needed", "withdrawn");
    }
    for (const a of data.approvals) {
      addApproval({ approval_id: a.approval_id, tool: a.tool, arguments: a.arguments, session_id: a.session_id });
    }
  } catch (e) { /* ignore */ }
}
