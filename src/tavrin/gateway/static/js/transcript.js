// The transcript region: one pane per session, and the functions that draw into it. Live events
// and stored rows are drawn by the same functions, so a resumed conversation looks as it did
// while it ran; consecutive pieces of a reply grow one bubble.

import { CU_CHIP, STOP_TEXTS, CANCEL_TEXTS, TEXT } from "./protocol.js";
import { $, el, pretty, toast } from "./dom.js";
import { ui, keepScroll } from "./model.js";
import { renderMarkdown, copyText } from "./markdown.js";
import { turnStart } from "./sync.js";
import { showAttachments, onPictureLoad } from "./attachview.js";

// session_id -> { pane, queueBox, bubble, asked, stick, autoScroll, history, historyLine, insertAt, quiet,
//   steps, groups, chip, calls, ask, edit, retry, unseen }
//   ask: the message that opened the running (or last) turn, { node, own, mode }, null for a turn
//   nobody typed (a heartbeat's); edit: the Edit button of the last message; retry: the Retry
//   button of a failed last turn; unseen: output arrived while the user was scrolled up.
// What the user asks of a transcript, done by the page's actions (main.js wires them):
// readBack(id): older rows, the user scrolled up to them; resend(id, text, computerUse): a failed
// message sent again (false when it could not go out).
const asks = { readBack: () => {}, resend: () => false };
export function onTranscriptAsks(handlers) { Object.assign(asks, handlers); }
onPictureLoad((id) => scrollToEnd(id));

const panes = new Map();
const approvalLines = new Map();    // approval_id -> transcript lines that show its state
const queued = new Map();           // a queued message -> { node, id (its session), actions }

export function createPane(id) {
  const v = {
    pane: el("div", "pane"), queueBox: el("div", "queue"), bubble: null, asked: null, stick: true, autoScroll: false,
    history: null, historyLine: null, insertAt: null, quiet: false,
    steps: null, groups: [], chip: null, calls: new Map(), ask: null, edit: null, retry: null, unseen: false,
    restore: null,
  };
  // Follow new output unless the user has scrolled up to read something. Scroll events
  // caused by our own scrolling are skipped: the area may have shrunk in between.
  v.pane.addEventListener("scroll", () => {
    if (v.autoScroll) { v.autoScroll = false; return; }
    v.stick = v.pane.scrollHeight - v.pane.scrollTop - v.pane.clientHeight < 60;
    v.restore = null; // the user's own place now
    keepScroll(id, v.stick ? null : v.pane.scrollTop);
    if (v.stick && v.unseen) { v.unseen = false; drawJump(); }
    if (v.pane.scrollTop < 200 && v.history && v.history.more) asks.readBack(id); // the user reads back
  });
  v.pane.hidden = true;
  v.pane.id = "pane-" + id;
  v.pane.dataset.session = id;
  v.pane.setAttribute("role", "log");
  v.pane.setAttribute("aria-labelledby", "tab-" + id);
  v.pane.tabIndex = 0; // scrollable: reachable with the keyboard
  v.pane.append(emptyState("No messages yet."), v.queueBox);
  $("panes").appendChild(v.pane);
  panes.set(id, v);
  jumpButton();
  return v.pane;
}

function view(id) { return panes.get(id); }

export function removePane(id) {
  const v = view(id);
  if (v) v.pane.remove();
  panes.delete(id);
}

export function showPane(id) {
  for (const [key, v] of panes) v.pane.hidden = key !== id;
  shown = id;
  if (!applyPlace(id)) scrollToEnd(id); // a hidden pane could not follow its output
  drawJump();
}

// The place the pane was scrolled to before a reload (top: its scrollTop; null or undefined: the
// end), taken once it is drawn; a hidden pane takes it when it is shown.
export function restorePlace(id, top) {
  const v = view(id);
  if (!v || typeof top !== "number") return;
  v.restore = top;
  if (id === shown) applyPlace(id);
}

function applyPlace(id) {
  const v = view(id);
  if (!v || v.restore === null) return false;
  const top = Math.min(v.restore, v.pane.scrollHeight - v.pane.clientHeight);
  v.restore = null;
  v.stick = v.pane.scrollHeight - top - v.pane.clientHeight < 60;
  v.autoScroll = true;
  v.pane.scrollTop = top;
  return true;
}

// A connector's pane offers no suggestions: what is typed there is answered in Main.
export function markConnectorPane(id, connector) {
  const v = view(id);
  if (v) v.pane.classList.toggle("connector", !!connector);
}

export function markStale(id, stale) { view(id).pane.classList.toggle("stale", stale); }

export function setBusy(id, busy) {
  if (busy) view(id).pane.setAttribute("aria-busy", "true");
  else view(id).pane.removeAttribute("aria-busy");
}

export function scrollToEnd(id) {
  const v = view(id);
  if (!v || v.quiet) return;
  const end = v.pane.scrollHeight - v.pane.clientHeight;
  if (v.stick && Math.abs(v.pane.scrollTop - end) > 1) {
    v.autoScroll = true;
    v.pane.scrollTop = end;
  }
}

export function append(id, node, keepBubble) {
  const v = view(id);
  const empty = v.pane.querySelector(".empty");
  if (empty) empty.remove();
  v.pane.insertBefore(node, v.insertAt || v.queueBox);
  if (!keepBubble) v.bubble = null;
  grew(id);
  return node;
}

// New output in a pane: followed when the view is at its end, else "↓ New messages" offers to go there.
function grew(id) {
  const v = view(id);
  if (v.quiet) return; // older rows drawn above what the user reads
  if (!v.stick && !v.unseen) {
    v.unseen = true;
    if (id === shown) drawJump();
  }
  scrollToEnd(id);
}

// ---------------------------------------------------------------- "↓ New messages"

let shown = null; // the session whose pane is in view
let jump = null;

function jumpButton() {
  if (jump) return;
  jump = el("button", "jump-end", "↓ New messages");
  jump.type = "button";
  jump.hidden = true;
  jump.setAttribute("aria-label", "New messages below: go to the end");
  jump.addEventListener("click", () => {
    const v = view(shown);
    if (!v) return;
    v.stick = true;
    v.unseen = false;
    drawJump();
    scrollToEnd(shown);
    v.pane.focus({ preventScroll: true }); // (the button is gone: the keyboard goes on from the transcript)
  });
  $("panes").appendChild(jump);
}

function drawJump() {
  const v = view(shown);
  if (jump) jump.hidden = !(v && v.unseen);
}

// ---------------------------------------------------------------- the empty state

const SUGGESTIONS = [
  "What is on my screen right now?",
  "Delete old-report.pdf from my Downloads",
  "Summarise the files in ~/Projects",
  "Show me a Python function that reverses a string",
];

// An empty pane says so and offers a few things to try; one fills the composer, to edit or send.
function emptyState(note) {
  const box = el("div", "empty");
  box.appendChild(el("p", "empty-note", note));
  const hint = el("p", "empty-hint", "Try one of these, or write your own:");
  const list = el("ul", "suggestions");
  list.setAttribute("aria-label", "Suggestions");
  for (const text of SUGGESTIONS) {
    const b = el("button", "suggestion", text);
    b.type = "button";
    b.addEventListener("click", () => fillComposer(text, false));
    const item = el("li");
    item.appendChild(b);
    list.appendChild(item);
  }
  box.append(hint, list);
  return box;
}

// The composer gets this text (and the agent it is for), to edit or send as it is.
function fillComposer(text, computerUse) {
  const input = $("input");
  input.value = text;
  $("cu-toggle").checked = !!computerUse;
  input.dispatchEvent(new Event("input")); // Send enabled, the composer at the text's height
  input.focus();
  input.setSelectionRange(text.length, text.length);
}

export function clearPane(id, note) {
  const v = view(id);
  v.asked = null;
  v.history = null;
  v.historyLine = null;
  v.ask = null;
  v.edit = null;
  v.retry = null;
  v.unseen = false;
  if (id === shown) drawJump();
  v.pane.replaceChildren(emptyState(note || "No messages yet."), v.queueBox);
  v.bubble = null;
  v.steps = null;
  v.groups = [];
  v.chip = null;
  v.calls.clear();
  v.stick = true;
}

// The next piece of a reply starts a new bubble.
export function endBubble(id) { view(id).bubble = null; }

// ---------------------------------------------------------------- a turn's steps, folded

// The time of the row being drawn (seconds since the epoch); null while drawing live events.
let rowTime = null;
const now = () => (rowTime === null ? Date.now() / 1000 : rowTime);

// Whether the steps of a finished turn are shown open: the user's last choice, folded at first.
const STEPS_KEY = "tavrin.steps-open";
function stepsOpenPref() { try { return localStorage.getItem(STEPS_KEY) === "1"; } catch (e) { return false; } }
function keepStepsPref(open) { try { localStorage.setItem(STEPS_KEY, open ? "1" : "0"); } catch (e) { /* off */ } }

// The steps of a turn (its thinking and its tool cards, which are what the line counts) gather under one line, with the turn's mode banner: open while the turn runs, folded
// when it ends, unless the user chose otherwise.
function stepsGroup(id) {
  const v = view(id);
  if (v.steps) return v.steps;
  const details = el("details", "steps");
  const summary = el("summary", "steps-line");
  const count = el("span", "steps-count");
  const time = el("span", "steps-time");
  // The banner of the turn's mode, drawn just before: it moves into the line.
  const chip = v.chip && v.chip.isConnected && v.chip === lastDrawn(v) ? v.chip : null;
  if (chip) { chip.remove(); summary.append(...chip.childNodes, " "); }
  summary.append(count, time);
  const body = el("div", "steps-body");
  details.append(summary, body);
  details.open = true;
  const g = { details, count, time, body, n: 0, start: now(), end: null, chosen: false };
  summary.addEventListener("click", () => {
    g.chosen = true;
    if (g.end !== null) keepStepsPref(!details.open);
  });
  append(id, details);
  v.steps = g;
  v.groups.push(g);
  return g;
}

function lastDrawn(v) {
  const before = v.insertAt || v.queueBox;
  return before.previousElementSibling;
}

function drawSteps(g) {
  g.count.textContent = `${g.n} step${g.n === 1 ? "" : "s"}`;
  g.time.textContent = g.end === null ? "" : ` · ${Math.max(0, Math.round(g.end - g.start))} s`;
}

function addStep(id, node, counts) {
  const g = stepsGroup(id);
  g.body.appendChild(node);
  if (counts) g.n++;
  drawSteps(g);
  view(id).bubble = null;
  grew(id);
  return node;
}

// Steps after a piece of the reply gather under a line of their own.
function breakSteps(id) { view(id).steps = null; }

// The turn has ended: its steps fold, unless the user opened or closed them meanwhile.
function foldSteps(id) {
  const v = view(id);
  const open = stepsOpenPref();
  for (const g of v.groups) {
    g.end = now();
    drawSteps(g);
    if (!g.chosen) g.details.open = open;
  }
  v.groups = [];
  v.steps = null;
  v.chip = null;
}

function speaker(node, name, visible) {
  node.appendChild(el("span", visible ? "speaker" : "speaker sr-only", name));
}

// ---------------------------------------------------------------- message actions

const sources = new WeakMap(); // a message -> the text it was drawn from (a reply's Markdown)
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

// Edit goes with the pane's last message, when it is the user's own: it puts the message back in
// the composer, to change and send as a new one (the store keeps what was sent).
function offerEdit(id, ask) {
  const v = view(id);
  if (v.quiet) return; // an older message, drawn above the latest
  if (v.edit) v.edit.remove();
  v.edit = null;
  if (!ask || !ask.own) return;
  const b = el("button", "link msg-edit", "Edit");
  b.type = "button";
  b.setAttribute("aria-label", "Edit your last message and send it again");
  b.addEventListener("click", () => fillComposer(sources.get(ask.node) || "", ask.mode === "computer_use"));
  ask.node.querySelector(".msg-meta").appendChild(b);
  v.edit = b;
}

function dropRetry(v) {
  if (v.retry) v.retry.remove();
  v.retry = null;
}

// A failed last turn offers Retry, which sends the message that opened it again.
function offerRetry(id, line) {
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
  if (!v.quiet) {
    dropRetry(v);
    v.ask = { node, own: !sender, mode: null };
    offerEdit(id, v.ask);
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
    append(id, node);
    v.bubble = { node, body, text: "" };
  }
  v.bubble.text += String(content);
  sources.set(v.bubble.node, v.bubble.text);
  v.bubble.body.replaceChildren(renderMarkdown(v.bubble.text));
  grew(id);
}

// A heartbeat's check-in opens a turn that no message of the user's asked for.
export function addHeartbeat(id) {
  const v = view(id);
  if (!v.quiet) { dropRetry(v); v.ask = null; }
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

export function addChip(id, mode, message) {
  const node = el("div", "line mode");
  node.appendChild(el("span", "chip", mode === "computer_use" ? (message || CU_CHIP) : "Standard agent"));
  view(id).chip = node;
  if (view(id).ask && !view(id).quiet) view(id).ask.mode = mode; // (what Retry and Edit send it with)
  return append(id, node);
}

// A tool call and its result make one card, under the call's name; a result whose call the pane
// does not show gets a card of its own.
export function addToolCall(id, ev) {
  const card = el("div", "tool call");
  const head = el("div", "tool-head");
  head.append(el("span", "tool-icon", "🔧 "), el("span", "tool-name", ev.tool || "tool"));
  card.appendChild(head);
  const args = pretty(ev.arguments);
  if (args && args !== "{}") card.appendChild(el("pre", "tool-args", args));
  if (ev.id !== undefined && ev.id !== null) view(id).calls.set(String(ev.id), card);
  addStep(id, card, true);
}

const BASE64 = /^[A-Za-z0-9+/]+={0,2}$/;

export function addToolResult(id, ev) {
  const v = view(id);
  const key = ev.id === undefined || ev.id === null ? null : String(ev.id);
  let card = key !== null ? v.calls.get(key) : undefined;
  const own = !card || !card.isConnected;
  if (own) {
    card = el("div", "tool");
    const head = el("div", "tool-head");
    head.append(el("span", "tool-icon"), el("span", "tool-name", ev.tool || "result"));
    card.appendChild(head);
  } else v.calls.delete(key);
  card.classList.add("result");
  const output = pretty(ev.result);
  // A command stopped while it ran: "Stopped", with the output it had.
  const stopped = ev.stopped === true || output.startsWith(TEXT.toolStoppedPrefix);
  if (stopped) markStopped(card, "Stopped");
  else if (ev.error) card.classList.add("failed");
  if (!stopped) card.querySelector(".tool-icon").textContent = ev.error ? "⚠️ " : "✔ ";
  card.appendChild(el("pre", "tool-output", output));
  if (ev.screenshot) {
    // Live: the screenshot itself; stored: its thumbnail, or a note that it was not kept.
    const data = typeof ev.image_base64 === "string" ? ev.image_base64 : ev.thumbnail_base64;
    if (typeof data === "string" && BASE64.test(data)) {
      const img = el("img", "shot" + (data === ev.thumbnail_base64 ? " thumb" : ""));
      img.alt = "Screenshot";
      // An image grows the transcript once it has loaded, after the scroll to its end: follow it
      // there, unless the user has scrolled away meanwhile.
      img.addEventListener("load", () => scrollToEnd(id));
      img.src = "data:image/png;base64," + data;
      const open = el("button", "shot-open");
      open.type = "button";
      open.setAttribute("aria-label", `Open the screenshot of ${ev.tool || "the tool"} large`);
      open.appendChild(img);
      open.addEventListener("click", () => showShot(img.src));
      card.appendChild(open);
    } else {
      card.appendChild(el("div", "shot-omitted", "🖼 Screenshot (not kept)"));
    }
  }
  if (own) addStep(id, card, true);
  else grew(id);
}

function markStopped(card, text) {
  card.classList.add("stopped");
  card.querySelector(".tool-icon").textContent = "⏹ ";
  card.querySelector(".tool-head").appendChild(el("span", "tool-state", text));
}

// A turn that did not finish: its calls that never got a result say so, instead of showing only
// the call as if it were still running.
function unfinishedCalls(id, outcome) {
  const v = view(id);
  const text = outcome === "interrupted" ? "Interrupted" : "Stopped";
  for (const card of v.calls.values()) if (card.isConnected && !card.classList.contains("result")) markStopped(card, text);
  v.calls.clear();
}

// A screenshot at its full size, over the page; Esc or a click closes it.
function showShot(src) {
  const dialog = $("shot-view");
  const img = el("img", "shot-large");
  img.alt = "Screenshot, full size";
  img.src = src;
  dialog.querySelector(".shot-frame").replaceChildren(img);
  dialog.showModal();
}

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

// One wording per way a turn ends, live and stored alike. The store closes a turn the server did
// not finish as interrupted when it starts again.
export const OUTCOME_TEXT = {
  stopped: "⏹ Stopped",
  elsewhere: "⏹ Stopped from another window",
  cancelled: "⏹ Cancelled",
  interrupted: "⚠️ Interrupted by a restart of the server",
  error: "⚠️ Agent error",
};
export const watchdogText = (seconds) => `⏹ Stopped: no progress for ${seconds} s`;

// What the outcome line of a turn says; message: the server's or the store's words for it.
export function outcomeText(outcome, message) {
  const said = message === undefined || message === null ? "" : String(message);
  if (outcome === "stopped") return STOP_TEXTS.has(said) ? OUTCOME_TEXT.stopped : "⏹ " + said;
  if (outcome === "cancelled") return CANCEL_TEXTS.has(said) ? OUTCOME_TEXT.cancelled : "⏹ " + said;
  if (outcome === "interrupted") return OUTCOME_TEXT.interrupted;
  if (outcome === "error") return said ? "⚠️ " + said : OUTCOME_TEXT.error;
  return OUTCOME_TEXT[outcome] || outcome;
}

export function addOutcome(id, outcome, message, iterations) {
  if (outcome === "stopped" || outcome === "cancelled" || outcome === "interrupted") unfinishedCalls(id, outcome);
  else view(id).calls.clear();
  foldSteps(id);
  if (outcome === "done") {
    return addLine(id, "done", "✓ Done"); // (its steps are counted on the line above them)
  }
  const failed = outcome === "error" || outcome === "interrupted";
  const node = addLine(id, failed ? "error" : "system", outcomeText(outcome, message));
  node.classList.add("outcome");
  if (failed) offerRetry(id, node);
  return node;
}

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
      rowTime = typeof m.created_at === "number" ? m.created_at : null;
      drawRow(id, m, ended);
    }
  } finally { rowTime = null; }
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
    case "user":
      showAttachments(addUser(id, m.content, meta.connector ? "via " + (meta.sender || "connector") : null), meta.attachments);
      // Turns from this page open with the mode banner; a connector's turn has none.
      if (!meta.connector && (meta.mode === "standard" || meta.mode === "computer_use")) addChip(id, meta.mode);
      break;
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

// ---------------------------------------------------------------- a turn asked for elsewhere

// A turn another window started: its stream does not carry the message that started it, so its
// place is kept until the store has it (it is stored before the agent's first event).
export function holdAsked(id) {
  const v = view(id);
  if (v.asked) v.asked.remove();
  v.asked = addUser(id, "…");
  v.asked.classList.add("pending");
}

export function hasAsked(id) { return !!view(id).asked; }

// The held place gets the message the store has, with its files (null: drop it).
export function takeAsked(id) {
  const node = view(id).asked;
  view(id).asked = null;
  return (text, files) => {
    if (text === null || text === undefined) { node.remove(); return; }
    node.querySelector(".body").textContent = text;
    sources.set(node, String(text));
    node.classList.remove("pending");
    showAttachments(node, files);
  };
}

// ---------------------------------------------------------------- queued messages

// A message waiting, under the transcript: for the running turn or the connection ("Don't send"),
// or, after a stop, for the user ("Send now", "Discard"). item: { text, computerUse, offline };
// actions: { discard(item), sendNow(item) }.
export function showQueued(id, item, actions) {
  const v = view(id);
  const node = el("div", "msg user queued");
  speaker(node, "You (queued)", false);
  node.appendChild(el("div", "body", item.text));
  node.appendChild(el("div", "queued-note"));
  queued.set(item, { node, id, actions });
  v.queueBox.appendChild(node);
  drawQueued(item, false);
  scrollToEnd(id);
  return node;
}

function drawQueued(item, held) {
  const { node, actions } = queued.get(item);
  const quoted = `“${item.text.slice(0, 40)}”`;
  const button = (text, label, act) => {
    const b = el("button", "link", text);
    b.type = "button";
    b.setAttribute("aria-label", `${label} the queued message ${quoted}`);
    b.addEventListener("click", act);
    return b;
  };
  const discard = () => { node.remove(); queued.delete(item); actions.discard(item); };
  const note = node.querySelector(".queued-note");
  if (held) {
    note.replaceChildren("The turn was stopped: this message waits for you. ",
      button("Send now", "Send now", () => { if (actions.sendNow(item)) removeQueued(item); }), " ",
      button("Discard", "Discard", discard));
  } else {
    note.replaceChildren(item.offline ? "Waits for the connection. " : "Waits for the running turn to end. ",
      button("Don't send", "Don't send", discard));
  }
}

// The queued messages of a tab wait for the user.
export function holdQueued(id) {
  for (const [item, entry] of queued) if (entry.id === id) drawQueued(item, true);
}

export function removeQueued(item) {
  const entry = queued.get(item);
  if (entry) entry.node.remove();
  queued.delete(item);
}

// The running turn is over without an outcome line of its own (its end came from the store).
export function endSteps(id) { if (view(id) && view(id).groups.length) foldSteps(id); }

export function clearQueued(id) {
  for (const [item, entry] of queued) if (entry.id === id) queued.delete(item);
  view(id).queueBox.replaceChildren();
}
