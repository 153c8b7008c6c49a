// A transcript's pane: one per session, its scrolling (following new output, "↓ New messages", the
// place kept across a reload), its empty state, and the nodes every other part of the transcript
// appends to it.

import { $, el } from "./dom.js";
import { keepScroll } from "./model.js";
import { onPictureLoad } from "./attachview.js";

// session_id -> { pane, queueBox, bubble, asked, stick, history, historyLine, insertAt, quiet,
//   steps, groups, chip, calls, stoppedCalls, ask, edit, retry, unseen, reply, regen, versions, top, autoTop,
//   touched }
//   ask: the message that opened the running (or last) turn, { node, own, mode }, null for a turn
//   nobody typed (a heartbeat's); edit: the Edit button of the last message; retry: the Retry
//   button of a failed last turn; unseen: output arrived while the user was scrolled up;
//   reply: the last turn's reply (its last bubble); regen: its Regenerate button; versions: the
//   versions of the message being drawn, for the reply that follows it; top: the place the page last
//   saw the pane at; autoTop: the place the page itself scrolled it to, its event still to come;
//   touched: when the user last wheeled, touched, pressed a key or the pointer in it (performance.now()).
// What the user asks of a transcript, done by the page's actions (main.js wires them):
// readBack(id): older rows, the user scrolled up to them; resend(id, text, computerUse): a failed
// message sent again (false when it could not go out).
// regenerate(id, node): the reply to the message `node` asked for again, as a new version;
// edit(id, node, text): the message `node` sent again as `text`, a new branch from there;
// showVersion(id, rowId): the branch through that stored version of a message put on view.
export const asks = { readBack: () => {}, resend: () => false, regenerate: () => {}, edit: () => {}, showVersion: () => {} };
export function onTranscriptAsks(handlers) { Object.assign(asks, handlers); }
onPictureLoad((id) => scrollToEnd(id));

const panes = new Map();

export function createPane(id) {
  const v = {
    pane: el("div", "pane"), queueBox: el("div", "queue"), bubble: null, asked: null, stick: true,
    history: null, historyLine: null, insertAt: null, quiet: false,
    steps: null, groups: [], chip: null, calls: new Map(), stoppedCalls: new Map(), ask: null, edit: null, retry: null, unseen: false,
    restore: null, reply: null, regen: null, versions: null, top: 0, autoTop: null, touched: -Infinity,
  };
  // Follow new output unless the user has scrolled up to read something. A scroll event that
  // finds the pane where the page itself put it is the page's own, and skipped; any other place is
  // the user's, also when the page scrolled meanwhile (their events come as one).
  v.pane.addEventListener("scroll", () => {
    const ours = v.autoTop !== null && Math.abs(v.pane.scrollTop - v.autoTop) <= 1;
    v.autoTop = null;
    v.top = v.pane.scrollTop;
    if (ours) return;
    v.stick = v.pane.scrollHeight - v.pane.scrollTop - v.pane.clientHeight < 60;
    v.restore = null; // the user's own place now
    keepScroll(id, v.stick ? null : v.pane.scrollTop);
    if (v.stick && v.unseen) { v.unseen = false; drawJump(); }
    if (v.pane.scrollTop < 200 && v.history && v.history.more) asks.readBack(id); // the user reads back
  });
  for (const kind of ["wheel", "touchmove", "keydown", "pointerdown"]) {
    v.pane.addEventListener(kind, () => { v.touched = performance.now(); }, { passive: true });
  }
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

export function view(id) { return panes.get(id); }

export function removePane(id) {
  const v = view(id);
  if (v) v.pane.remove();
  panes.delete(id);
}

export function showPane(id) {
  for (const [key, v] of panes) v.pane.hidden = key !== id;
  shown = id;
  const v = view(id);
  if (v) { v.top = v.pane.scrollTop; v.autoTop = null; } // (a pane shown again starts where the browser puts it)
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
  v.autoTop = top;
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
  leftByUser(v);
  const end = v.pane.scrollHeight - v.pane.clientHeight;
  if (v.stick && Math.abs(v.pane.scrollTop - end) > 1) {
    v.autoTop = end;
    v.pane.scrollTop = end;
  }
}

// The user scrolled up since the page last saw the pane, and the event of it is still to come:
// new output must not take them back to the end. (Only just after the user's own move: the pane
// also moves up by itself when its content shrinks.)
function leftByUser(v) {
  if (v.pane.hidden || performance.now() - v.touched > 500) return;
  if (v.pane.scrollTop < (v.autoTop ?? v.top) - 1) v.stick = false;
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
export function grew(id) {
  const v = view(id);
  if (v.quiet) return; // older rows drawn above what the user reads
  leftByUser(v);
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
export function fillComposer(text, computerUse) {
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
  v.reply = null;
  v.regen = null;
  v.versions = null;
  v.unseen = false;
  if (id === shown) drawJump();
  v.pane.replaceChildren(emptyState(note || "No messages yet."), v.queueBox);
  v.bubble = null;
  v.steps = null;
  v.groups = [];
  v.chip = null;
  v.calls.clear();
  v.stoppedCalls.clear();
  v.stick = true;
}

// The next piece of a reply starts a new bubble.
export function endBubble(id) { view(id).bubble = null; }


// The time of the row being drawn (seconds since the epoch); null while drawing live events.
let rowTime = null;
export const now = () => (rowTime === null ? Date.now() / 1000 : rowTime);
export function setRowTime(seconds) { rowTime = seconds; }
