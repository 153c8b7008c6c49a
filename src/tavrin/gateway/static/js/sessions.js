// The sessions the page shows: each one's model, its tab and its pane kept together, and the
// changes of a session that several views follow (active tab, working, turns, attention).

import { MAIN } from "./protocol.js";
import { ui, newSession, forgetSeq, saveSeq, keepActive, forgetPlace } from "./model.js";
import { send } from "./connection.js";
import { createTab, removeTab, renderTab, focusTab, revealTab, updateBadges } from "./tabs.js";
import { createPane, removePane, showPane, endBubble, endSteps, removeQueued, clearQueued, holdQueued, addUser } from "./transcript.js";
import { ask } from "./dom.js";
import { renderChrome as drawChrome } from "./status.js";
import { refreshResumeList } from "./conversations.js";
import { showAttachments } from "./attachview.js";
import { payload } from "./attachments.js";

const tabActions = { select: (id, opts) => activate(id, opts), close: (id) => closeSession(id) };

// The session of this id, made (with its tab and pane) when the page has none yet.
export function session(id) {
  let s = ui.sessions.get(id);
  if (s) return s;
  s = newSession(id);
  createPane(id);
  createTab(s, tabActions);
  ui.sessions.set(id, s);
  renderTab(s);
  return s;
}

export function applySession(info) {
  const s = session(info.session_id);
  s.name = info.display_name;
  s.icon = info.icon || "💬";
  s.isConnector = !!info.is_connector;
  const changed = info.conversation_id !== s.conversationId;
  s.conversationId = info.conversation_id || null;
  renderTab(s);
  if (s.id === ui.active) renderChrome();
  return changed;
}

// Closing a tab whose turn runs stops that turn: the user says so first.
export async function closeSession(id) {
  const s = ui.sessions.get(id);
  if (s && s.working && !(await ask(`“${s.name}” is still working. Close the tab and stop its turn?`, "Close tab", "Keep it"))) return;
  send({ type: "close_session", session_id: id });
}

export function removeSession(id) {
  const s = ui.sessions.get(id);
  if (!s || id === MAIN) return;
  removePane(id);
  removeTab(id);
  ui.sessions.delete(id);
  forgetSeq(id);
  forgetPlace(id);
  if (ui.active === id) activate(MAIN);
  updateBadges();
}

// opts: { focusTab, initial } (initial: the page's first tab, before the kept one is known).
export function activate(id, opts) {
  if (!ui.sessions.has(id)) id = MAIN;
  ui.active = id;
  if (!(opts && opts.initial)) { ui.wantActive = null; keepActive(id); }
  for (const s of ui.sessions.values()) {
    if (s.id === id) s.attention = false;
    renderTab(s);
  }
  showPane(id);
  revealTab(id);
  renderChrome();
  refreshResumeList();
  if (opts && opts.focusTab) focusTab(id); else document.getElementById("input").focus();
}

// The active tab's lines around the transcript.
export function renderChrome() {
  let waiting = 0;
  for (const a of ui.approvals.values()) if (a.sid === ui.active && !a.settled) waiting++;
  const s = session(ui.active);
  drawChrome(s, waiting);
  // A retry's wait is counted down in the working line, a second at a time.
  clearTimeout(retryTick);
  if (s.working && s.retry && s.retry.until > Date.now()) retryTick = setTimeout(renderChrome, (s.retry.until - Date.now()) % 1000 || 1000);
}
let retryTick = null;

export function setWorking(id, working) {
  const s = session(id);
  s.working = working;
  if (!working) { s.runningTool = null; s.retry = null; }
  if (!working) s.stall = s.stall && s.stall.auto_cancelled ? s.stall : null;
  renderTab(s);
  if (id === ui.active) renderChrome();
}

// A turn begins: the mode banner, a host turn's first event, or the user's own message.
export function beginTurn(id, mode, own) {
  const s = session(id);
  // (A stall banner belongs to its turn: a new turn has none.)
  if (!s.working) { s.stopBy = null; s.lastStop = null; s.stall = null; }
  s.mode = mode;
  s.ownTurn = !!own;
  setWorking(id, true);
}

// A turn is over (its outcome is on screen): the next queued message goes out.
export function endTurn(id) {
  const s = session(id);
  if (s.turnSeq !== null) { s.turnSeq = null; saveSeq(s); }
  s.sent = false;
  s.mode = null;
  s.ownTurn = false;
  endBubble(id);
  endSteps(id);
  setWorking(id, false);
  refreshResumeList();
  flushQueue(s);
}

// The next queued message goes out, unless a stop holds the queue for the user; one that cannot
// go out (the connection is gone) stays first in line.
export function flushQueue(s) {
  if (s.held || !s.queue.length) return;
  const next = s.queue.shift();
  if (sendChat(s.id, next.text, next.computerUse, next.files)) removeQueued(next);
  else s.queue.unshift(next);
}

// A stop ends the turn the user's queued messages were waiting for: they wait for the user now.
export function holdQueue(s) {
  if (!s.queue.length) return;
  s.held = true;
  holdQueued(s.id);
}

export function dropQueue(s) {
  s.queue = [];
  s.held = false;
  clearQueued(s.id);
}

export function markAttention(id) {
  const s = session(id);
  if (id !== ui.active) { s.attention = true; renderTab(s); }
}

// ---------------------------------------------------------------- sending a message

export const connected = () => !!ui.ws && ui.ws.readyState === WebSocket.OPEN;

// The chat message; files: attachments (see attachments.js), which only the standard agent takes.
export function chatMessage(target, text, computerUse, files) {
  const message = { type: "chat", content: text, session_id: target };
  if (computerUse) message.computer_use = true;
  if (files && files.length) {
    message.computer_use = false; // not left to the gateway's guess from the text
    message.attachments = files.map(payload);
  }
  return message;
}

export function sendChat(target, text, computerUse, files) {
  if (!send(chatMessage(target, text, computerUse, files))) return false;
  if (ui.streams) session(target).attached = true; // a chat attaches the window to its session
  session(target).sent = true; // its message is on the page already, whatever befalls the connection
  showAttachments(addUser(target, text), files);
  beginTurn(target, computerUse ? "computer_use" : "standard", true);
  return true;
}
