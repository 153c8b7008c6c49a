// An approval's line in the transcript, where the agent asked, with its card after it and its
// decision once it is made.

import { view, append, grew } from "./pane.js";
import { addLine } from "./messages.js";

const approvalLines = new Map();    // approval_id -> transcript lines that show its state

export const DECISIONS = {
  approved: "approved", rejected: "rejected", withdrawn: "no longer needed", restarted: "lapsed, the server restarted",
};

export function approvalText(tool, decision) {
  return decision ? `🔐 ${tool}: ${DECISIONS[decision] || decision}` : `🔐 Waiting for your approval: ${tool}`;
}

export function addApprovalLine(id, approvalId, tool, decision) {
  // A line of its own between the turn's steps, so that its card is never inside folded ones.
  const node = addLine(id, "awaiting" + (decision ? " decided" : ""), approvalText(tool, decision));
  node.dataset.tool = tool || "";
  node.dataset.approval = approvalId || "";
  if (!decision) {
    const lines = approvalLines.get(approvalId) || [];
    lines.push(node);
    approvalLines.set(approvalId, lines);
  }
  const card = approvalCards.get(approvalId);
  if (card) { node.after(card); grew(id); }
}

// The approvals' cards (approval_id -> card), kept by approvals.js: each sits after the line of
// its approval in the transcript, also when the transcript is drawn again.
let approvalCards = new Map();
export function setApprovalCards(cards) { approvalCards = cards; }

// Does the pane show a line for this approval?
export function showsApproval(id, approvalId) {
  const v = view(id);
  return !!v && !!v.pane.querySelector(`.line.awaiting[data-approval="${CSS.escape(approvalId)}"]`);
}

// A card whose line the pane does not show goes at the end of the transcript.
export function placeApprovalCard(id, approvalId) {
  const card = approvalCards.get(approvalId);
  const v = view(id);
  if (!card || !v) return;
  const line = v.pane.querySelector(`.line.awaiting[data-approval="${CSS.escape(approvalId)}"]`);
  if (line) { line.after(card); grew(id); } else append(id, card);
}

// The lines of an approval show its decision ("approved", "rejected", "withdrawn").
export function decideApprovalLines(approvalId, decision) {
  for (const node of approvalLines.get(approvalId) || []) {
    node.textContent = approvalText(node.dataset.tool, decision);
    node.classList.add("decided");
  }
  approvalLines.delete(approvalId);
}
