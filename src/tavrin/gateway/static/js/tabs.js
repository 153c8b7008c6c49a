import { MAIN } from "./protocol.js";
import { $, el } from "./dom.js";
import { ui } from "./model.js";
import { send } from "./connection.js";
import { scrollToEnd } from "./transcript.js";
import { updateBadges } from "./approvals.js";
import { refreshResumeList } from "./conversations.js";
import { forgetSeq, keptSeqs, saveSeq } from "./streams.js";
import { sendChat } from "./controls.js";

// ---------------------------------------------------------------- sessions and tabs

export function sessionView(id) {
  let s = ui.sessions.get(id);
  if (s) return s;
  s = {
    id, name: id === MAIN ? "Main" : "Chat", icon: "💬", isConnector: false,
    conversationId: null, conversationTitle: "", working: false, ownTurn: false, mode: null,
    bubble: null, attention: false, stall: null, stick: true, queue: [], liveSeq: 0,
    // Session streams: the last number drawn, the number of the running turn's first event,
    // whether the pane has been drawn by this page, an attach under way, attached on this connection.
    seq: 0, turnSeq: null, drawn: false, attach: null, attached: false,
    pane: el("div", "pane"), tab: el("div", "tab"), queueBox: el("div", "queue"),
  };
  const tabId = "tab-" + id;
  // Follow new output unless the user has scrolled up to read something. Scroll events
  // caused by our own scrolling are skipped: the area may have shrunk in between.
  s.pane.addEventListener("scroll", () => {
    if (s.autoScroll) { s.autoScroll = false; return; }
    s.stick = s.pane.scrollHeight - s.pane.scrollTop - s.pane.clientHeight < 60;
  });
  s.pane.hidden = true;
  s.pane.id = "pane-" + id;
  s.pane.dataset.session = id;
  s.pane.setAttribute("role", "log");
  s.pane.setAttribute("aria-labelledby", tabId);
  s.pane.tabIndex = 0; // scrollable: reachable with the keyboard
  s.pane.append(el("p", "empty", "No messages yet."), s.queueBox);
  $("panes").appendChild(s.pane);

  s.tab.id = tabId;
  s.tab.setAttribute("role", "tab");
  s.tab.setAttribute("aria-controls", s.pane.id);
  s.tab.dataset.session = id;
  s.tab.append(el("span", "tab-dot"), el("span", "tab-icon"), el("span", "tab-name"), el("span", "tab-badge"));
  s.tab.querySelector(".tab-icon").setAttribute("aria-hidden", "true");
  s.tab.addEventListener("click", () => activate(id));
  s.tab.addEventListener("keydown", (e) => tabKey(e, id));
  const kept = keptSeqs[id];
  if (kept) { s.seq = Number(kept.seq) || 0; s.turnSeq = Number(kept.turn) || null; }
  ui.sessions.set(id, s);
  $("tab-list").appendChild(s.tab);
  renderTab(s);
  return s;
}

export function closable(s) { return s.id !== MAIN && !s.isConnector; }

export function applySession(info) {
  const s = sessionView(info.session_id);
  s.name = info.display_name;
  s.icon = info.icon || "💬";
  s.isConnector = !!info.is_connector;
  const changed = info.conversation_id !== s.conversationId;
  s.conversationId = info.conversation_id || null;
  renderTab(s);
  if (s.id === ui.active) renderChrome();
  return changed;
}

export function renderTab(s) {
  const active = s.id === ui.active;
  s.tab.querySelector(".tab-icon").textContent = s.icon;
  s.tab.querySelector(".tab-name").textContent = s.name;
  s.tab.title = s.name + (closable(s) ? " (Delete closes it)" : "");
  s.tab.classList.toggle("working", s.working);
  s.tab.classList.toggle("attention", s.attention && !active);
  s.tab.setAttribute("aria-selected", String(active));
  s.tab.tabIndex = active ? 0 : -1;
  // The close mark is for the mouse; keyboard users press Delete on the tab. A button inside
  // a tab would be a control inside a control.
  let close = s.tab.querySelector(".tab-close");
  if (closable(s) && !close) {
    close = el("span", "tab-close", "×");
    close.setAttribute("aria-hidden", "true");
    close.addEventListener("click", (e) => { e.stopPropagation(); closeSession(s.id); });
    s.tab.appendChild(close);
    s.tab.setAttribute("aria-keyshortcuts", "Delete");
  } else if (!closable(s) && close) {
    close.remove();
    s.tab.removeAttribute("aria-keyshortcuts");
  }
  updateBadges();
}

export function closeSession(id) { send({ type: "close_session", session_id: id }); }

// Arrow keys move between tabs, Home and End go to the first and last, Delete closes one.
export function tabKey(e, id) {
  const ids = [...$("tab-list").querySelectorAll("[role=tab]")].map((t) => t.dataset.session);
  const at = ids.indexOf(id);
  let next = null;
  if (e.key === "ArrowRight") next = ids[(at + 1) % ids.length];
  else if (e.key === "ArrowLeft") next = ids[(at - 1 + ids.length) % ids.length];
  else if (e.key === "Home") next = ids[0];
  else if (e.key === "End") next = ids[ids.length - 1];
  else if (e.key === "Delete" && closable(sessionView(id))) { e.preventDefault(); closeSession(id); return; }
  if (next === null) return;
  e.preventDefault();
  activate(next, { focusTab: true });
}

export function removeSession(id) {
  const s = ui.sessions.get(id);
  if (!s || id === MAIN) return;
  s.pane.remove();
  s.tab.remove();
  ui.sessions.delete(id);
  forgetSeq(id);
  if (ui.active === id) activate(MAIN);
  updateBadges();
}

export function activate(id, opts) {
  if (!ui.sessions.has(id)) id = MAIN;
  ui.active = id;
  for (const s of ui.sessions.values()) {
    s.pane.hidden = s.id !== id;
    if (s.id === id) s.attention = false;
    renderTab(s);
  }
  const s = sessionView(id);
  scrollToEnd(s); // a hidden pane could not follow its output
  renderChrome();
  refreshResumeList();
  if (opts && opts.focusTab) s.tab.focus(); else $("input").focus();
}

export function renderChrome() {
  const s = sessionView(ui.active);
  $("working").hidden = !s.working;
  $("working-text").textContent = s.working ? `${s.name === "Main" ? "Tavrin" : s.name} is working…` : "";
  $("stop").disabled = !s.working;
  $("send").title = s.working ? "The message waits for the running turn to end" : "";
  $("input").placeholder = s.working
    ? "A turn is running: a message sent now waits for it to end (Esc stops it)"
    : "Message Tavrin…  (Enter sends, Shift+Enter for a new line)";
  $("conv-title").textContent = s.conversationTitle || "";
  $("clear-history").hidden = !s.isConnector;
  $("connector-note").hidden = !s.isConnector;
  const stall = s.stall;
  $("stall-banner").hidden = !stall;
  if (stall) {
    $("stall-text").textContent = stall.message;
    $("stall-banner").classList.toggle("cancelled", !!stall.auto_cancelled);
    $("stall-stop").hidden = !!stall.auto_cancelled;
  }
}

export function setWorking(id, working) {
  const s = sessionView(id);
  s.working = working;
  if (!working) s.stall = s.stall && s.stall.auto_cancelled ? s.stall : null;
  renderTab(s);
  if (id === ui.active) renderChrome();
}

// A turn begins: the mode banner, a host turn's first event, or the user's own message.
export function beginTurn(id, mode, own) {
  const s = sessionView(id);
  s.mode = mode;
  s.ownTurn = !!own;
  setWorking(id, true);
}

// A turn is over (its outcome is on screen): the next queued message goes out.
export function endTurn(id) {
  const s = sessionView(id);
  if (s.turnSeq !== null) { s.turnSeq = null; saveSeq(s); }
  s.sent = false;
  s.mode = null;
  s.ownTurn = false;
  s.bubble = null;
  setWorking(id, false);
  refreshResumeList();
  flushQueue(s);
}

export function flushQueue(s) {
  const next = s.queue.shift();
  if (next) { next.node.remove(); sendChat(s.id, next.text, next.computerUse); }
}

export function markAttention(id) {
  const s = sessionView(id);
  if (id !== ui.active) { s.attention = true; renderTab(s); }
}
