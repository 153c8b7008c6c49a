// Messages under the transcript: one waiting for the running turn, the connection or the user,
// and the place of a message another window sent, until the store has it.

import { el } from "./dom.js";
import { showAttachments } from "./attachview.js";
import { view, scrollToEnd } from "./pane.js";
import { addUser, sources, speaker } from "./messages.js";

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

const queued = new Map();           // a queued message -> { node, id (its session), actions }

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

export function clearQueued(id) {
  for (const [item, entry] of queued) if (entry.id === id) queued.delete(item);
  view(id).queueBox.replaceChildren();
}
