// The messages of a transcript: the user's, the agent's reply (Markdown, one bubble for its
// pieces), the lines between them, and each message's time, Copy, Edit and Retry.

import { CU_CHIP } from "./protocol.js";
import { el, toast } from "./dom.js";
import { ui } from "./model.js";
import { renderMarkdown, copyText } from "./markdown.js";
import { view, append, grew, now, asks, scrollToEnd } from "./pane.js";
import { addStep, breakSteps, foldSteps } from "./steps.js";

export function speaker(node, name, visible) {
  node.appendChild(el("span", visible ? "speaker" : "speaker sr-only", name));
}

// ---------------------------------------------------------------- message actions

export const sources = new WeakMap(); // a message -> the text it was drawn from (a reply's Markdown)
let messages = 0;

// A message's time, shown on hover and focus (the stored time of a row; live, when it arrived),
// and its Copy button.
function messageMeta(node) {
  const at = now();
  const meta = el("div", "msg-meta");
  const time = el("time", "msg-time", clock(at));
  time.dateTime = new Date(at * 1000).toISOString();
  time.title = new Date(at * 1000).toLocaleString();
  const copy = el("button", "link msg-copy", "Copy");
  copy.type = "button";
  copy.setAttribute("aria-label", `Copy message ${++messages}`);
  copy.addEventListener("click", () => copyText(sources.get(node) || "", copy));
  meta.append(time, copy);
  node.appendChild(meta);
}

// The time of day; the date too when it is not today's.
export function clock(seconds) {
  const d = new Date(seconds * 1000);
  const time = d.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" });
  const today = new Date();
  if (d.toDateString() === today.toDateString()) return time;
  const date = d.toLocaleDateString([], d.getFullYear() === today.getFullYear()
    ? { month: "short", day: "numeric" } : { year: "numeric", month: "short", day: "numeric" });
  return `${date}, ${time}`;
}

// Edit goes with each of the user's own messages: the message becomes a text box in place, and
// what is sent from it starts a new branch of the conversation there (the one before is kept, a
// version to go back to).
function offerEdit(id, node) {
  const b = el("button", "link msg-edit", "Edit");
  b.type = "button";
  b.setAttribute("aria-label", `Edit “${(sources.get(node) || "").slice(0, 40)}” and send it as a new version`);
  b.addEventListener("click", () => editInPlace(id, node));
  node.querySelector(".msg-meta").appendChild(b);
}

function editInPlace(id, node) {
  if (node.querySelector(".msg-editor")) { node.querySelector(".msg-editor textarea").focus(); return; }
  const body = node.querySelector(".body");
  const form = el("form", "msg-editor");
  const box = el("textarea");
  box.value = sources.get(node) || "";
  box.rows = Math.min(8, box.value.split("\n").length + 1);
  box.setAttribute("aria-label", "The message, edited");
  const sendIt = el("button", "msg-editor-send", "Send");
  sendIt.type = "submit";
  const cancel = el("button", "link", "Cancel");
  cancel.type = "button";
  const close = () => { form.remove(); body.hidden = false; node.querySelector(".msg-edit").focus(); };
  cancel.addEventListener("click", close);
  form.addEventListener("submit", (e) => {
    e.preventDefault();
    const text = box.value.trim();
    if (!text) return;
    if (asks.edit(id, node, text) !== false) { form.remove(); body.hidden = false; }
  });
  box.addEventListener("keydown", (e) => {
    if (e.key === "Enter" && !e.shiftKey && !e.isComposing) { e.preventDefault(); form.requestSubmit(); }
    if (e.key === "Escape") { e.preventDefault(); close(); }
  });
  const buttons = el("div", "msg-editor-buttons");
  buttons.append(cancel, sendIt);
  form.append(box, buttons);
  body.hidden = true;
  body.after(form);
  box.focus();
  box.setSelectionRange(box.value.length, box.value.length);
}

// The last turn's reply offers Regenerate: the same message answered again, the answer before
// kept as a version.
export function offerRegenerate(id) {
  const v = view(id);
  if (v.quiet) return;
  dropRegenerate(v);
  const ask = v.ask;
  if (!ask || !ask.own || !v.reply || !v.reply.isConnected) return;
  const b = el("button", "link msg-regen", "Regenerate");
  b.type = "button";
  b.setAttribute("aria-label", "Answer the last message again");
  b.addEventListener("click", () => asks.regenerate(id, ask.node, ask.mode === "computer_use"));
  v.reply.querySelector(".msg-meta").appendChild(b);
  v.regen = b;
}

function dropRegenerate(v) {
  if (v.regen) v.regen.remove();
  v.regen = null;
}

// A stored message that has versions: "‹ 2/3 ›" moves between them. With the message when the
// versions differ (an edit), with its reply when they read alike (answered again).
export function showVersions(id, node, row) {
  const v = view(id);
  const nav = versionsNav(id, row);
  if (!nav) return;
  if (row.edited) node.querySelector(".msg-meta").prepend(nav);
  else v.versions = nav; // for the reply that follows
}

function versionsNav(id, row) {
  const all = Array.isArray(row.versions) ? row.versions : [];
  const at = all.indexOf(row.id);
  if (all.length < 2 || at < 0) return null;
  const nav = el("span", "versions");
  nav.setAttribute("role", "group");
  nav.setAttribute("aria-label", row.edited ? "Versions of this message" : "Versions of this answer");
  const step = (label, name, to) => {
    const b = el("button", "link version-step", label);
    b.type = "button";
    b.setAttribute("aria-label", name);
    b.disabled = to < 0 || to >= all.length;
    b.addEventListener("click", () => asks.showVersion(id, all[to]));
    return b;
  };
  nav.append(step("‹", "Previous version", at - 1), el("span", "version-at", `${at + 1}/${all.length}`),
    step("›", "Next version", at + 1));
  return nav;
}

function dropRetry(v) {
  if (v.retry) v.retry.remove();
  v.retry = null;
}

// A failed last turn offers Retry, which sends the message that opened it again.
export function offerRetry(id, line) {
  const v = view(id);
  const ask = v.ask;
  if (v.quiet || !ask || !ask.own) return;
  dropRetry(v);
  const text = () => sources.get(ask.node) || "";
  const b = el("button", "link retry", "Retry");
  b.type = "button";
  b.setAttribute("aria-label", `Retry “${text().slice(0, 40)}”`);
  b.addEventListener("click", () => {
    const s = ui.sessions.get(id);
    if (!s || s.working) { toast("A turn is running in this tab: retry once it has ended.", true); return; }
    if (!text() || !asks.resend(id, text(), ask.mode === "computer_use")) return;
    v.stick = true;
    scrollToEnd(id);
  });
  line.append(" ", b);
  v.retry = b;
}

export function addUser(id, text, sender) {
  const v = view(id);
  if (v.groups.length) foldSteps(id); // (a turn that ended without an outcome line)
  v.steps = null;
  v.chip = null;
  const node = el("div", "msg user");
  speaker(node, sender || "You", !!sender);
  node.appendChild(el("div", "body", text));
  sources.set(node, String(text));
  messageMeta(node);
  if (!sender) offerEdit(id, node);
  v.versions = null;
  if (!v.quiet) {
    dropRetry(v);
    dropRegenerate(v);
    v.reply = null;
    v.ask = { node, own: !sender, mode: null };
  }
  return append(id, node);
}

export function addText(id, content) {
  const v = view(id);
  if (!v.bubble) {
    breakSteps(id);
    const node = el("div", "msg assistant");
    speaker(node, "Tavrin", false);
    const body = el("div", "body markdown");
    node.appendChild(body);
    messageMeta(node);
    if (v.versions) { node.querySelector(".msg-meta").prepend(v.versions); v.versions = null; }
    append(id, node);
    v.bubble = { node, body, text: "" };
    if (!v.quiet) v.reply = node;
  }
  v.bubble.text += String(content);
  sources.set(v.bubble.node, v.bubble.text);
  v.bubble.body.replaceChildren(renderMarkdown(v.bubble.text));
  grew(id);
}

// A heartbeat's check-in opens a turn that no message of the user's asked for.
export function addHeartbeat(id) {
  const v = view(id);
  if (!v.quiet) { dropRetry(v); dropRegenerate(v); v.reply = null; v.ask = null; }
  return addLine(id, "heartbeat", "⏱ Heartbeat check-in");
}

export function addLine(id, kind, text) {
  breakSteps(id); // steps after it gather under a line of their own, below it
  return append(id, el("div", "line " + kind, text));
}

// The agent's thinking, one step of its turn.
export function addThinking(id, text) {
  return addStep(id, el("div", "line thinking", "💭 " + text), false);
}

// The mode of a turn: Computer Use says so where it is seen; the standard agent, the usual case,
// only to a screen reader (a line of chrome over every answer otherwise).
export function addChip(id, mode, message) {
  const cu = mode === "computer_use";
  const node = el("div", cu ? "line mode" : "line mode sr-only");
  node.appendChild(el("span", cu ? "chip" : "chip sr-only", cu ? (message || CU_CHIP) : "Standard agent"));
  view(id).chip = node;
  if (view(id).ask && !view(id).quiet) view(id).ask.mode = mode; // (what Retry and Edit send it with)
  return append(id, node);
}
