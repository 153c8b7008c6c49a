// Approvals: a card for each tool action waiting for the user, in the transcript where the agent
// asked, in every window; the first Approve or Reject wins, and every window's card says how it
// was settled. Keyboard focus moves to a card that appears in the tab the user looks at, and back
// to the composer once it is decided; screen readers hear of it.

import { MAIN } from "./protocol.js";
import { $, el } from "./dom.js";
import { ui } from "./model.js";
import { api } from "./access.js";
import { send } from "./connection.js";
import { session, markAttention, renderChrome } from "./sessions.js";
import { updateBadges } from "./tabs.js";
import { decideApprovalLines, placeApprovalCard, setApprovalCards } from "./transcript.js";
import { revealHidden } from "./reveal.js";
import { approvalSource } from "./mcpview.js";
import { codeBlock, fileChange } from "./diffview.js";

const cards = new Map(); // approval_id -> card
setApprovalCards(cards); // the transcript puts each card after its approval's line

export function addApproval(ev) {
  if (ui.approvals.has(ev.approval_id)) return;
  const sid = ev.session_id || MAIN;
  const s = session(sid);
  const tool = ev.tool || "action";
  const n = ui.approvals.size + 1; // tells the cards' controls apart
  const card = el("div", "approval");
  card.dataset.approval = ev.approval_id;
  card.dataset.session = sid;
  card.setAttribute("role", "group");
  card.tabIndex = -1;
  const change = changeOf(ev.tool, ev.arguments, ev.approval_id);
  const text = el("div", "approval-text", (change && change.ask) || ev.message || `Tavrin wants to run ${tool}. Allow it?`);
  text.id = `approval-text-${n}`;
  card.setAttribute("aria-labelledby", text.id);
  card.appendChild(text);
  const source = approvalSource(ev); // an MCP tool says whose it is
  if (source) card.appendChild(source);
  if (change) card.append(...change.nodes);
  const args = argumentsText(change ? change.rest : ev.arguments);
  if (args) {
    const pre = el("pre", "approval-args", args);
    pre.setAttribute("aria-label", `Arguments of ${tool}`);
    card.appendChild(pre);
  }
  // What is approved is what runs: invisible characters are drawn, and the card says they are there.
  const hidden = revealHidden(card);
  if (hidden) {
    card.classList.add("has-hidden");
    card.insertBefore(el("div", "approval-warning", `⚠ This action holds ${hidden} invisible ` +
      `character${hidden === 1 ? "" : "s"} (shown as ⟨U+…⟩) that can make it read differently from what runs.`), text);
  }
  const buttons = el("div", "approval-buttons");
  const button = (cls, label, name, act) => {
    const b = el("button", cls, label);
    b.type = "button";
    b.setAttribute("aria-label", `${name} ${tool} in ${s.name} (#${n})`);
    b.addEventListener("click", act);
    return b;
  };
  // Nothing here is a primary-coloured default: the action is a risky one, Approve says so.
  buttons.append(
    button("reject", "Reject", "Reject", () => decide(ev.approval_id, false)),
    button("reject-note", "Reject with a note…", "Reject with a note", () => openNote(card)),
    button("approve", `Approve ${tool}`, "Approve", () => decide(ev.approval_id, true)),
  );
  card.appendChild(buttons);
  card.appendChild(noteForm(ev.approval_id, tool, s.name, n));
  ui.approvals.set(ev.approval_id, { sid, tool: ev.tool || "", settled: false });
  cards.set(ev.approval_id, card);
  placeApprovalCard(sid, ev.approval_id);
  announce(`Approval needed in ${s.name}: ${text.textContent}`);
  if (sid === ui.active && !document.hidden && card.isConnected) card.focus();
  markAttention(sid);
  updateBadges();
  if (sid === ui.active) renderChrome(); // the working line: waiting for the user
}

// What a file or a command action will change, shown as such rather than as escaped JSON: the
// path of a file, whether it exists, and the diff against what it holds now (a new file: its
// content; long ones fold), a command as code with its folder and timeout. { ask, nodes, rest }
// (rest: the arguments not shown so), or null for any other tool.
function changeOf(tool, args, approvalId) {
  if (!args || typeof args !== "object" || Array.isArray(args)) return null;
  const { path, content, command, cwd, timeout, ...rest } = args;
  if (tool === "write_file" && typeof path === "string" && typeof content === "string") {
    const ext = ((/\.([A-Za-z0-9]{1,10})$/.exec(path) || [])[1] || "").toLowerCase();
    const where = el("div", "approval-where");
    where.append("File ", el("code", "", path));
    const state = el("div", "approval-file-state", "Looking at the file…");
    const block = codeBlock(content, ext, "New content");
    compareWithFile(approvalId, ext, content, state, block);
    return { ask: `Tavrin wants to write the file ${path}. Allow it?`, rest: extra(rest, { command, cwd, timeout }),
             nodes: [where, state, block] };
  }
  if (tool === "run_command" && typeof command === "string") {
    const where = el("div", "approval-where");
    where.append("In ", el("code", "", typeof cwd === "string" && cwd ? cwd : "the home folder"));
    if (timeout !== undefined && timeout !== null) where.append(` · stopped after ${timeout} s`);
    return { ask: "Tavrin wants to run this command. Allow it?", rest: extra(rest, { path, content }),
             nodes: [codeBlock(command, "sh", "Command"), where] };
  }
  return null;
}

// The arguments besides the ones shown, as the agent gave them (undefined ones left out).
function extra(rest, others) {
  const left = { ...rest };
  for (const [k, v] of Object.entries(others)) if (v !== undefined) left[k] = v;
  return Object.keys(left).length ? left : null;
}

// The file as the server finds it now: the card's state line and its block (the diff, or the new
// content) follow. A write the server does not hold (settled meanwhile) keeps the new content.
async function compareWithFile(approvalId, ext, content, state, block) {
  let current = null;
  let problem = "";
  try {
    const r = await api(`/api/approvals/${encodeURIComponent(approvalId)}/file`);
    if (r.ok) current = await r.json();
    else if (r.status === 400) problem = (await r.json()).detail || "";
  } catch (e) { /* not known: the new content stays shown */ }
  if (!current) {
    state.textContent = problem ? `The file cannot be looked at: ${problem}` : "Whether the file exists is not known";
    return;
  }
  const shown = fileChange(current.path, ext, content, current);
  state.replaceWith(shown.state);
  block.replaceWith(shown.block);
  revealHidden(shown.block); // what is approved is what runs, in the diff too
}

function argumentsText(args) {
  if (args === undefined || args === null) return "";
  if (typeof args === "string") return args;
  try {
    const text = JSON.stringify(args, null, 2);
    return text === "{}" ? "" : text;
  } catch (e) { return String(args); }
}

function noteForm(approvalId, tool, tab, n) {
  const form = el("form", "approval-note");
  form.hidden = true;
  const label = el("label", "", "Why not? Tavrin gets this as the reason.");
  const note = el("textarea");
  note.rows = 2;
  note.id = `approval-note-${n}`;
  label.htmlFor = note.id;
  const submit = el("button", "reject-send", "Send the rejection");
  submit.type = "submit";
  submit.setAttribute("aria-label", `Reject ${tool} in ${tab} with this note (#${n})`);
  const cancel = el("button", "link", "Cancel");
  cancel.type = "button";
  cancel.setAttribute("aria-label", `Cancel the note on ${tool} in ${tab} (#${n})`);
  cancel.addEventListener("click", () => { form.hidden = true; form.closest(".approval").focus(); });
  form.addEventListener("submit", (e) => { e.preventDefault(); decide(approvalId, false, note.value.trim()); });
  note.addEventListener("keydown", (e) => {
    if (e.key === "Enter" && !e.shiftKey && !e.isComposing) { e.preventDefault(); form.requestSubmit(); }
  });
  form.append(label, note, el("div", "approval-note-buttons"));
  form.lastChild.append(submit, cancel);
  return form;
}

function openNote(card) {
  const form = card.querySelector(".approval-note");
  form.hidden = false;
  form.querySelector("textarea").focus();
}

// The screen reader's word that something waits for the user (a live region of its own, so a
// card drawn again from the store is not read out again).
function announce(text) {
  const region = $("announce");
  region.textContent = "";
  setTimeout(() => { region.textContent = text; }, 50);
}

async function decide(approvalId, approved, note) {
  const card = cards.get(approvalId);
  if (card) card.querySelectorAll("button, textarea").forEach((b) => { b.disabled = true; });
  // The gateway passes only the decision on; the note reaches the agent through the host, first.
  if (!approved && note) {
    try {
      await api(`/api/approvals/${encodeURIComponent(approvalId)}/note`, {
        method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify({ note }),
      });
    } catch (e) { /* the rejection goes out without its reason */ }
  }
  const message = { type: "approve", approval_id: approvalId, approved };
  if (note) message.note = note;
  send(message);
  $("input").focus();
}

// outcome: what the card says; decision: "approved", "rejected", "withdrawn", or null when it was
// settled elsewhere.
export function settleApproval(approvalId, outcome, decision) {
  if (decision) decideApprovalLines(approvalId, decision);
  const entry = ui.approvals.get(approvalId);
  if (!entry || entry.settled) return;
  entry.settled = true;
  const card = cards.get(approvalId);
  const focused = card.contains(document.activeElement);
  card.classList.add("settled");
  card.querySelector(".approval-buttons").replaceChildren(el("span", "outcome", outcome));
  card.querySelector(".approval-note").remove();
  if (focused) $("input").focus();
  updateBadges();
  if (entry.sid === ui.active) renderChrome();
  setTimeout(() => { card.remove(); cards.delete(approvalId); ui.approvals.delete(approvalId); }, 2500);
}

// The approvals the server holds; a prompt it no longer holds was settled while the page was
// away (decided in another window, as the store says, or withdrawn), or lapsed with the server
// (restarted).
export async function loadPendingApprovals(restarted) {
  try {
    const r = await api("/api/approvals");
    if (!r.ok) return;
    const data = await r.json();
    const pending = new Set(data.approvals.map((a) => a.approval_id));
    const gone = [...ui.approvals].filter(([id, entry]) => !pending.has(id) && !entry.settled);
    for (const a of data.approvals) {
      addApproval({ approval_id: a.approval_id, tool: a.tool, arguments: a.arguments, session_id: a.session_id,
                    message: a.message });
    }
    if (restarted) {
      for (const [id] of gone) settleApproval(id, "Lapsed: the server restarted", "restarted");
      return;
    }
    await Promise.all(gone.map(async ([id, entry]) => {
      const decision = await storedDecision(entry.sid, id);
      if (entry.settled) return; // its event came meanwhile
      if (decision === "approved") settleApproval(id, "Approved", decision);
      else if (decision === "rejected") settleApproval(id, "Rejected", decision);
      else settleApproval(id, "No longer needed", "withdrawn");
    }));
  } catch (e) { /* ignore */ }
}

// The decision the store holds for a prompt of the session's conversation, or null.
async function storedDecision(sid, approvalId) {
  const s = ui.sessions.get(sid);
  if (!s || !s.conversationId) return null;
  try {
    const r = await api(`/api/conversations/${encodeURIComponent(s.conversationId)}/messages`);
    if (!r.ok) return null;
    const row = (await r.json()).messages.find(
      (m) => m.role === "approval" && m.meta && m.meta.approval_id === approvalId);
    return row ? row.meta.decision || null : null;
  } catch (e) { return null; }
}
