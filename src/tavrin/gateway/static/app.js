// Tavrin web UI: one WebSocket to /ws, one tab per session, events filtered by session_id.
//
// Text from the agent or the user is put on the page as text (textContent). The one exception
// is the agent's reply, which is Markdown: markdown-it turns it into HTML with raw HTML
// disabled, and DOMPurify reduces that to a short list of tags and http(s)/mailto links before
// anything of it reaches the document (see renderMarkdown).
//
// The live transcript and a stored one (a resumed conversation, or the reload after a
// reconnect) are drawn by the same functions, so a conversation looks as it did while it ran.
//
// When the server numbers a session's events ("seq", session streams), the page attaches to
// every session it shows a tab for, at each (re)connect, with the last number it drew there:
// the server replays what the page missed and then goes live. See "Session streams" below.
//
// The access token reaches the page in the address's fragment and lives in this tab's
// sessionStorage; see "The access token" below.
"use strict";

const MAIN = "session_main";
const $ = (id) => document.getElementById(id);

const ui = {
  ws: null,
  retryMs: 500,
  sessions: new Map(),      // session_id -> session view
  active: MAIN,
  approvals: new Map(),     // approval_id -> {card, sid, settled}
  approvalLines: new Map(), // approval_id -> transcript lines that show its state
  resync: true,             // the next sessions_list is the first of a connection
  streams: null,            // the server numbers session events: true, false, or not known yet
  hb: { status: null, interval: null, beat: null, max: null, paused: false, pausedAfter: null },
  copyCount: 0,
};

const CU_CHIP = "Using Computer Use mode — I can see and control your screen"; // the gateway's banner text

// ---------------------------------------------------------------- the access token
//
// The server prints its address with the token in the fragment (#token=...), which the browser
// sends to no server. The page moves it into sessionStorage and takes it out of the address bar.
// sessionStorage belongs to this origin (scheme, host and port) in this tab alone and ends with the
// tab: a page that another program serves on another port cannot read it, and nothing of it goes
// out with the requests the browser makes by itself. A cookie would: browsers hand a host's
// cookies to every port of it. (localStorage would outlive the tab, so a program that listens on
// this port after the server stopped could read it from a bookmark's visit.) The token goes to
// /api/* as "Authorization: Bearer"; the WebSocket, which cannot carry that header, is opened with
// a single-use ticket fetched with it.

const TOKEN_KEY = "tavrin.token";
const access = { token: null, refused: false };

function takeToken() {
  const params = new URLSearchParams(location.hash.slice(1));
  const given = params.get("token");
  if (given) {
    access.token = given;
    try { sessionStorage.setItem(TOKEN_KEY, given); } catch (e) { /* no storage: this load only */ }
    params.delete("token");
    const clean = new URL(location.href); // same origin whatever the path looks like
    clean.hash = params.toString();
    history.replaceState(history.state, "", clean.href);
  } else {
    try { access.token = sessionStorage.getItem(TOKEN_KEY); } catch (e) { access.token = null; }
  }
}

// fetch() for /api/*, with the token. Cookies are not sent: the server gives them no meaning.
async function api(path, options = {}) {
  const headers = new Headers(options.headers || {});
  if (access.token) headers.set("Authorization", `Bearer ${access.token}`);
  const response = await fetch(path, { ...options, headers, credentials: "omit" });
  if (response.status === 401) refuseAccess();
  return response;
}

// No token, or not this server's: say where the address is, and show nothing else.
function refuseAccess() {
  if (access.refused) return;
  access.refused = true;
  access.token = null;
  try { sessionStorage.removeItem(TOKEN_KEY); } catch (e) { /* nothing stored */ }
  const ws = ui.ws;
  ui.ws = null;
  if (ws) ws.close();
  $("conn").textContent = "no access token";
  $("conn").className = "conn conn-off";
  $("access-origin").textContent = `${location.origin}/#token=…`;
  $("access-note").hidden = false;
}

// ---------------------------------------------------------------- small helpers

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined && text !== null) node.textContent = String(text);
  return node;
}

function toast(text, isError) {
  const t = el("div", "toast" + (isError ? " error" : ""), text);
  $("toasts").appendChild(t);
  setTimeout(() => t.remove(), 5000);
}

function pretty(value) {
  if (value === undefined || value === null) return "";
  if (typeof value === "string") return value;
  try {
    const flat = JSON.stringify(value);
    return flat.length <= 100 ? flat : JSON.stringify(value, null, 1);
  } catch (e) { return String(value); }
}

function send(message) {
  if (!ui.ws || ui.ws.readyState !== WebSocket.OPEN) {
    toast("Not connected — retrying…", true);
    return false;
  }
  ui.ws.send(JSON.stringify(message));
  return true;
}

function fmtTime(seconds) {
  const d = new Date(seconds * 1000);
  return d.toLocaleString([], { month: "short", day: "numeric", hour: "2-digit", minute: "2-digit" });
}

// ---------------------------------------------------------------- Markdown

const md = window.markdownit({ html: false, linkify: true, typographer: false });
// Images are not loaded from replies: the alternative text stands in for them.
md.renderer.rules.image = (tokens, idx) => md.utils.escapeHtml(tokens[idx].content || "image");

const ALLOWED_TAGS = ["p", "br", "em", "strong", "del", "s", "code", "pre", "ul", "ol", "li", "a",
  "blockquote", "h1", "h2", "h3", "h4", "h5", "h6", "hr", "table", "thead", "tbody", "tr", "th", "td"];
const SAFE_URL = /^(?:https?:|mailto:)/i;

function renderMarkdown(text) {
  const fragment = DOMPurify.sanitize(md.render(String(text)), {
    ALLOWED_TAGS, ALLOWED_ATTR: ["href", "title"], ALLOWED_URI_REGEXP: SAFE_URL, RETURN_DOM_FRAGMENT: true,
  });
  for (const a of fragment.querySelectorAll("a")) {
    const href = a.getAttribute("href") || "";
    if (!SAFE_URL.test(href)) { a.replaceWith(document.createTextNode(a.textContent)); continue; }
    a.target = "_blank";
    a.rel = "noopener noreferrer";
    showRealTarget(a, href);
  }
  for (const pre of fragment.querySelectorAll("pre")) {
    const box = el("div", "code-block");
    pre.replaceWith(box);
    const copy = el("button", "copy", "Copy");
    copy.type = "button";
    copy.setAttribute("aria-label", `Copy code block ${++ui.copyCount}`);
    copy.addEventListener("click", () => copyText(pre.textContent, copy));
    box.append(copy, pre);
  }
  return fragment;
}

// ---------------------------------------------------------------- Link honesty
//
// A reply's link can read like one address and lead to another: "paypal.com" leading to evil.example,
// or a look-alike host spelled with letters of another script. Where a link's text holds an address
// (a URL, a host name, an e-mail address) that is not where the link goes, the real destination is
// shown beside it in its ASCII form (so a look-alike shows as the xn-- name it is) and the whole
// target in the link's title. A link whose text is plain words is left as it is.

const SCHEME_WORD = /^[a-z][a-z0-9+.-]*:\/\//i;
const MAIL_WORD = /^(?:mailto:)?[^\s@/:]+@([^\s@/]+)$/i;
// Labels separated by dots, the last one two characters or more and not a number; or an IPv4 address.
const HOST_WORD = /^(?:(?:[^\s/?#@:.]+\.)+[^\s/?#@:.\d][^\s/?#@:.]+|\d{1,3}(?:\.\d{1,3}){3})\.?(?::\d*)?(?:[/?#]\S*)?$/u;
const WORD_PUNCTUATION = /^[("'<[«“‘]+|[)"'>\],;:!?»”’]+$/gu;

// The host of a web address in ASCII, lower case, without a final dot; "" when it has none. A bare
// host name ("//example.org/path") is read as a web address, the page's own scheme in front.
function asciiHost(address) {
  try { return new URL(address, location.href).hostname.replace(/\.$/, "").toLowerCase(); } catch (e) { return ""; }
}

// What a word of a link's text says the link is: { host, mail } (mail: an e-mail address), null
// for a word that is no address, or { host: "" } for one that hides its host behind a user name
// (a URL of evil.example that starts with "paypal.com@" reads as paypal.com).
function saidTarget(word) {
  let m;
  if (SCHEME_WORD.test(word)) {
    try {
      const url = new URL(word);
      return url.username || url.password ? { host: "" } : { host: asciiHost(word) };
    } catch (e) { return { host: "" }; }
  }
  if ((m = MAIL_WORD.exec(word))) {
    const host = asciiHost("//" + m[1]);
    return { host, mail: `${word.replace(/^mailto:/i, "").split("@")[0]}@${host}`.toLowerCase() };
  }
  return HOST_WORD.test(word) ? { host: asciiHost("//" + word) } : null;
}

// Where a link goes: { host, mail, shown }, shown being how to name it beside the link.
function realTarget(href) {
  if (!/^mailto:/i.test(href)) {
    const host = asciiHost(href);
    return { host, shown: host || href };
  }
  let to = href.slice(7).split("?")[0];
  try { to = decodeURIComponent(to); } catch (e) { /* shown as written */ }
  const at = to.lastIndexOf("@");
  if (at < 0 || to.includes(",")) return { host: "", mail: to.toLowerCase(), shown: to };
  const host = asciiHost("//" + to.slice(at + 1));
  const mail = `${to.slice(0, at)}@${host}`.toLowerCase();
  return { host, mail, shown: mail };
}

function sameHost(a, b) {
  const bare = (h) => h.replace(/^www\./, "");
  return a !== "" && bare(a) === bare(b);
}

function showRealTarget(a, href) {
  const text = a.textContent;
  const said = text.split(/\s+/).map((w) => w.replace(WORD_PUNCTUATION, "")).filter(Boolean)
    .map(saidTarget).filter(Boolean);
  if (!said.length) return;
  const real = realTarget(href);
  const honest = (s) => (s.mail && real.mail ? s.mail === real.mail : sameHost(s.host, real.host));
  // A look-alike host is shown in its ASCII form unless the text already spells it that way.
  const lookalike = /(?:^|\.)xn--/.test(real.host) && !text.toLowerCase().includes(real.host);
  if (said.every(honest) && !lookalike) return;
  a.title = a.title ? `${a.title}\n${href}` : href;
  a.after(el("span", "link-target", `(→ ${real.shown})`));
}

async function copyText(text, button) {
  let copied = false;
  try {
    await navigator.clipboard.writeText(text);
    copied = true;
  } catch (e) {
    // No clipboard API outside a secure context (a page opened by its LAN address): copy
    // from a selected, off-screen text box instead.
    const area = el("textarea", "sr-only");
    area.value = text;
    area.setAttribute("readonly", "");
    document.body.appendChild(area);
    area.select();
    try { copied = document.execCommand("copy"); } catch (e2) { copied = false; }
    area.remove();
    button.focus();
  }
  button.textContent = copied ? "Copied" : "Copy failed";
  setTimeout(() => { button.textContent = "Copy"; }, 2000);
}

// ---------------------------------------------------------------- sessions and tabs

function sessionView(id) {
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

function closable(s) { return s.id !== MAIN && !s.isConnector; }

function applySession(info) {
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

function renderTab(s) {
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

function closeSession(id) { send({ type: "close_session", session_id: id }); }

// Arrow keys move between tabs, Home and End go to the first and last, Delete closes one.
function tabKey(e, id) {
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

function removeSession(id) {
  const s = ui.sessions.get(id);
  if (!s || id === MAIN) return;
  s.pane.remove();
  s.tab.remove();
  ui.sessions.delete(id);
  forgetSeq(id);
  if (ui.active === id) activate(MAIN);
  updateBadges();
}

function activate(id, opts) {
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

function renderChrome() {
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

function setWorking(id, working) {
  const s = sessionView(id);
  s.working = working;
  if (!working) s.stall = s.stall && s.stall.auto_cancelled ? s.stall : null;
  renderTab(s);
  if (id === ui.active) renderChrome();
}

// A turn begins: the mode banner, a host turn's first event, or the user's own message.
function beginTurn(id, mode, own) {
  const s = sessionView(id);
  s.mode = mode;
  s.ownTurn = !!own;
  setWorking(id, true);
}

// A turn is over (its outcome is on screen): the next queued message goes out.
function endTurn(id) {
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

function flushQueue(s) {
  const next = s.queue.shift();
  if (next) { next.node.remove(); sendChat(s.id, next.text, next.computerUse); }
}

function markAttention(id) {
  const s = sessionView(id);
  if (id !== ui.active) { s.attention = true; renderTab(s); }
}

// ---------------------------------------------------------------- the transcript

function scrollToEnd(s) {
  const end = s.pane.scrollHeight - s.pane.clientHeight;
  if (s.stick && Math.abs(s.pane.scrollTop - end) > 1) {
    s.autoScroll = true;
    s.pane.scrollTop = end;
  }
}

function append(id, node, keepBubble) {
  const s = sessionView(id);
  const empty = s.pane.querySelector(".empty");
  if (empty) empty.remove();
  s.pane.insertBefore(node, s.queueBox);
  if (!keepBubble) s.bubble = null;
  scrollToEnd(s);
  return node;
}

function clearPane(id, note) {
  const s = sessionView(id);
  s.asked = null;
  s.pane.replaceChildren(el("p", "empty", note || "No messages yet."), s.queueBox);
  s.bubble = null;
  s.stick = true;
}

function speaker(node, name, visible) {
  const label = el("span", visible ? "speaker" : "speaker sr-only", name);
  node.appendChild(label);
}

function addUser(id, text, sender) {
  const node = el("div", "msg user");
  speaker(node, sender || "You", !!sender);
  node.appendChild(el("div", "body", text));
  return append(id, node);
}

// Consecutive pieces of a reply grow one bubble; anything else in between starts a new one.
function addText(id, content) {
  const s = sessionView(id);
  if (!s.bubble) {
    const node = el("div", "msg assistant");
    speaker(node, "Tavrin", false);
    const body = el("div", "body markdown");
    node.appendChild(body);
    append(id, node);
    s.bubble = { node, body, text: "" };
  }
  s.bubble.text += String(content);
  s.bubble.body.replaceChildren(renderMarkdown(s.bubble.text));
  scrollToEnd(s);
}

function addLine(id, kind, text) {
  return append(id, el("div", "line " + kind, text));
}

function addChip(id, mode, message) {
  const node = el("div", "line mode");
  node.appendChild(el("span", "chip", mode === "computer_use" ? (message || CU_CHIP) : "Standard agent"));
  return append(id, node);
}

function addToolCall(id, ev) {
  const card = el("div", "tool call");
  card.appendChild(el("span", "", "🔧 "));
  card.appendChild(el("span", "tool-name", ev.tool || "tool"));
  const args = pretty(ev.arguments);
  if (args && args !== "{}") card.appendChild(el("pre", "", args));
  append(id, card);
}

const BASE64 = /^[A-Za-z0-9+/]+={0,2}$/;

function addToolResult(id, ev) {
  const card = el("div", "tool result" + (ev.error ? " failed" : ""));
  card.appendChild(el("span", "", ev.error ? "⚠️ " : "✔ "));
  card.appendChild(el("span", "tool-name", ev.tool || "result"));
  card.appendChild(el("pre", "", pretty(ev.result)));
  if (ev.screenshot) {
    // Live: the screenshot itself; stored: its thumbnail, or a note that it was not kept.
    const data = typeof ev.image_base64 === "string" ? ev.image_base64 : ev.thumbnail_base64;
    if (typeof data === "string" && BASE64.test(data)) {
      const img = el("img", "shot" + (data === ev.thumbnail_base64 ? " thumb" : ""));
      img.alt = "Screenshot";
      img.src = "data:image/png;base64," + data;
      card.appendChild(img);
    } else {
      card.appendChild(el("div", "shot-omitted", "🖼 Screenshot (not kept)"));
    }
  }
  append(id, card);
}

const DECISIONS = { approved: "approved", rejected: "rejected", withdrawn: "no longer needed" };

function approvalText(tool, decision) {
  return decision ? `🔐 ${tool}: ${DECISIONS[decision] || decision}` : `🔐 Waiting for your approval: ${tool}`;
}

function addApprovalLine(id, approvalId, tool, decision) {
  const node = addLine(id, "awaiting" + (decision ? " decided" : ""), approvalText(tool, decision));
  node.dataset.tool = tool || "";
  if (!decision) {
    const lines = ui.approvalLines.get(approvalId) || [];
    lines.push(node);
    ui.approvalLines.set(approvalId, lines);
  }
}

const OUTCOME_TEXT = {
  stopped: "⏹ Task stopped", cancelled: "⏹ Task cancelled", error: "⚠️ Agent error",
  interrupted: "⚠️ Interrupted: the server stopped during this turn",
};

function addOutcome(id, outcome, message, iterations) {
  if (outcome === "done") {
    return addLine(id, "done", `✓ Done${iterations ? ` (${iterations} step${iterations === 1 ? "" : "s"})` : ""}`);
  }
  const icon = outcome === "stopped" || outcome === "cancelled" ? "⏹ " : "⚠️ ";
  const text = message ? icon + message : OUTCOME_TEXT[outcome] || outcome;
  return addLine(id, outcome === "error" || outcome === "interrupted" ? "error" : "system", text);
}

// A stored conversation, drawn as its turns were shown live.
function renderHistory(id, messages) {
  clearPane(id, "This conversation has no messages yet.");
  // An approval of a turn that has ended without a decision lapsed with it.
  const ended = new Set((messages || []).filter((m) => m.role === "outcome").map((m) => m.turn_id));
  for (const m of messages || []) {
    const meta = m.meta || {};
    switch (m.role) {
      case "user":
        addUser(id, m.content, meta.connector ? "via " + (meta.sender || "connector") : null);
        // Turns from this page open with the mode banner; a connector's turn has none.
        if (!meta.connector && (meta.mode === "standard" || meta.mode === "computer_use")) addChip(id, meta.mode);
        break;
      case "heartbeat": addLine(id, "heartbeat", "⏱ Heartbeat check-in"); break;
      case "assistant": addText(id, m.content); break;
      case "thinking": addLine(id, "thinking", "💭 " + m.content); break;
      case "tool_call": addToolCall(id, meta); break;
      case "tool_result": addToolResult(id, meta); break;
      case "approval":
        addApprovalLine(id, meta.approval_id, meta.tool, meta.decision || (ended.has(m.turn_id) ? "withdrawn" : null));
        break;
      case "error": addLine(id, "error", "⚠️ " + m.content); break;
      case "outcome": addOutcome(id, meta.outcome, m.content, meta.iterations); break;
      default: addLine(id, "system", m.content);
    }
  }
}

// What the server holds for this tab, drawn in place of what the page shows. Live events that
// arrive meanwhile are also stored by then, so a fetch they overtook is simply made again.
async function reload(s) {
  s.pane.setAttribute("aria-busy", "true");
  try {
    for (let attempt = 0; attempt < 3; attempt++) {
      if (!s.conversationId) { clearPane(s.id); break; }
      const seq = s.liveSeq;
      const renames = s.renames;
      const conv = s.conversationId;
      const r = await api(`/api/conversations/${encodeURIComponent(conv)}/messages`);
      if (!r.ok) { if (r.status === 404) clearPane(s.id); break; }
      const data = await r.json();
      if (s.liveSeq !== seq || s.conversationId !== conv) continue;
      if (s.renames === renames) s.conversationTitle = data.conversation.title;
      renderHistory(s.id, data.messages);
      break;
    }
  } catch (e) { /* offline: the next connection reloads again */ }
  s.drawn = true;
  s.pane.classList.remove("stale");
  s.pane.removeAttribute("aria-busy");
  if (s.id === ui.active) renderChrome();
}

// ---------------------------------------------------------------- approvals

function addApproval(ev) {
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

function decide(approvalId, approved) {
  const entry = ui.approvals.get(approvalId);
  if (entry) entry.card.querySelectorAll("button").forEach((b) => { b.disabled = true; });
  send({ type: "approve", approval_id: approvalId, approved });
}

// decision: "approved", "rejected", "withdrawn", or null when it was settled elsewhere.
function settleApproval(approvalId, outcome, decision) {
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

async function loadPendingApprovals() {
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
function updateBadges() {
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

// ---------------------------------------------------------------- conversations

async function refreshResumeList() {
  const select = $("resume-select");
  const s = sessionView(ui.active);
  const all = $("resume-all").checked;
  try {
    const r = await api(`/api/sessions/${encodeURIComponent(s.id)}/conversations?all=${all}`);
    if (!r.ok) return;
    const data = await r.json();
    select.replaceChildren();
    if (!data.conversations.length) {
      select.appendChild(el("option", "", "No stored conversations"));
      select.disabled = true;
      return;
    }
    select.disabled = false;
    for (const c of data.conversations) {
      const current = c.id === s.conversationId ? " (current)" : "";
      if (current && c.title !== s.conversationTitle) {
        s.conversationTitle = c.title;
        if (s.id === ui.active) renderChrome();
      }
      const opt = el("option", "", `${c.title} — ${c.message_count} msgs, ${fmtTime(c.updated_at)}${current}`);
      opt.value = c.id;
      select.appendChild(opt);
    }
  } catch (e) { /* ignore */ }
}

// ---------------------------------------------------------------- heartbeat

function renderHeartbeat() {
  const hb = ui.hb;
  const status = $("hb-status");
  if (hb.status === "unavailable") { status.textContent = "not available"; return; }
  const parts = [];
  if (hb.pausedAfter !== null && hb.paused) {
    parts.push(`paused after ${hb.pausedAfter} beats without you — Resume to go on`);
  } else if (hb.status) {
    parts.push(hb.paused ? "paused" : hb.status);
  }
  if (hb.interval !== null && hb.status !== "stopped") parts.push(`every ${hb.interval} s`);
  if (hb.beat && hb.max && hb.status === "running" && !hb.paused) {
    parts.push(`beat ${hb.beat} of ${hb.max} before pausing for you`);
  }
  status.textContent = parts.join(" · ") || "—";
  status.title = hb.max
    ? `Each beat runs a check-in turn in Main. After ${hb.max} beats without a message from you the ` +
      "heartbeat pauses itself; any message you send starts the count again."
    : "";
}

async function loadHeartbeat() {
  try {
    const r = await api("/api/heartbeat");
    if (r.status === 503) { ui.hb.status = "unavailable"; renderHeartbeat(); return; }
    if (!r.ok) return;
    const st = await r.json();
    Object.assign(ui.hb, {
      status: st.running ? "running" : "stopped", paused: !!st.paused, interval: st.interval_seconds,
      beat: st.consecutive_beats, max: st.max_consecutive,
      pausedAfter: st.paused && st.consecutive_beats >= st.max_consecutive ? st.consecutive_beats : null,
    });
    renderHeartbeat();
  } catch (e) { /* ignore */ }
}

// ---------------------------------------------------------------- events from the server

function handleEvent(ev) {
  const sid = typeof ev.session_id === "string" && ev.session_id ? ev.session_id : null;
  const id = sid || MAIN;
  if (sid && ui.sessions.has(sid)) sessionView(sid).liveSeq++;
  if (ev.type === "attached") { attached(ev); return; }
  if (sid && Number.isInteger(ev.seq) && ui.sessions.has(sid) && !streamEvent(sessionView(sid), ev)) return;
  switch (ev.type) {
    case "pong":
      return;
    case "replay_gap":
      if (sid && ui.sessions.has(sid) && sessionView(sid).attach) sessionView(sid).attach.rebuild = true;
      return;
    case "sessions_list":
      applySessions(ev.sessions);
      return;
    case "session_created":
      applySession(ev.session);
      if (ui.streams) startAttach(sessionView(ev.session.session_id), false);
      activate(ev.session.session_id);
      return;
    case "session_closed":
      if (ev.success) removeSession(ev.session_id);
      else toast("That session could not be closed.", true);
      return;
    case "session_renamed":
      if (!ui.sessions.has(ev.session_id)) { send({ type: "list_sessions" }); return; }
      sessionView(ev.session_id).name = ev.display_name;
      renderTab(sessionView(ev.session_id));
      if (ev.session_id === ui.active) renderChrome();
      return;
    case "conversation_renamed":
      for (const s of ui.sessions.values()) {
        if (s.conversationId === ev.conversation_id) {
          s.conversationTitle = ev.title;
          s.renames = (s.renames || 0) + 1; // newer than the title of a fetch under way
          if (s.id === ui.active) renderChrome();
        }
      }
      return;
    case "mode":
      if (!sessionView(id).ownTurn && !sessionView(id).sent && Number.isInteger(ev.seq)) askedElsewhere(sessionView(id));
      sessionView(id).sent = false;
      addChip(id, ev.mode, ev.message);
      beginTurn(id, ev.mode, sessionView(id).ownTurn);
      return;
    case "thinking":
      addLine(id, "thinking", "💭 " + (ev.message || ev.content || ""));
      return;
    case "tool_call":
      addToolCall(id, ev);
      return;
    case "tool_result":
      addToolResult(id, ev);
      return;
    case "tool_approval_needed":
      // Sent to the asking window and broadcast to all: the first copy draws it.
      if (!ui.approvals.has(ev.approval_id)) addApprovalLine(id, ev.approval_id, ev.tool || "", null);
      addApproval(ev);
      return;
    case "approval_resolved":
      if (ev.success) settleApproval(ev.approval_id, ev.approved === true ? "Approved" : "Rejected",
        ev.approved === true ? "approved" : "rejected");
      else settleApproval(ev.approval_id, "Already decided", null);
      return;
    case "approval_decided":
      settleApproval(ev.approval_id, ev.approved ? "Approved" : "Rejected", ev.approved ? "approved" : "rejected");
      return;
    case "approval_withdrawn":
      settleApproval(ev.approval_id, "No longer needed", "withdrawn");
      return;
    case "text":
      addText(id, ev.content || "");
      return;
    case "done":
      addOutcome(id, "done", "", ev.iterations);
      endTurn(id);
      return;
    case "cancelled":
      addOutcome(id, "stopped", ev.message || "Task cancelled");
      endTurn(id);
      return;
    case "task_stopped":
      // The reply to a stop; it says "stopped" even when nothing ran, so only a running turn
      // gets an outcome line.
      if (sessionView(id).working) { addOutcome(id, "stopped", ev.message); endTurn(id); }
      return;
    case "info":
      if (sid && sessionView(sid).working) endTurn(sid);
      else if (!sid) toast(ev.message);
      return;
    case "error": {
      if (ev.message === "Unknown message type: attach") { streamsOff(); return; }
      if (sid && ev.message === "Session not found" && ui.sessions.has(sid) && sessionView(sid).attach) {
        sessionView(sid).attach = null; // the tab's session is gone: the list will drop the tab
        send({ type: "list_sessions" });
        return;
      }
      if (!sid) {
        if (ev.message === "Heartbeat not initialized") { ui.hb.status = "unavailable"; renderHeartbeat(); }
        else toast(ev.message, true);
        return;
      }
      const s = sessionView(sid);
      // A Computer Use turn reports trouble on the way and goes on; its own failure ends it.
      const goesOn = s.mode === "computer_use" && !String(ev.message).startsWith("Computer Use error");
      if (s.working && !goesOn) { addOutcome(sid, "error", ev.message); endTurn(sid); }
      else addLine(sid, "error", "⚠️ " + ev.message);
      return;
    }
    case "stall_warning": {
      const s = sessionView(id);
      s.stall = { message: ev.message, auto_cancelled: !!ev.auto_cancelled };
      addLine(s.id, "error", (ev.auto_cancelled ? "⏹ " : "⏳ ") + ev.message);
      markAttention(s.id);
      if (s.id === ui.active) renderChrome();
      return;
    }
    case "conversation_started": {
      const s = sessionView(id);
      s.conversationId = ev.conversation_id;
      s.conversationTitle = "";
      dropQueue(s);
      clearPane(s.id, "New conversation. Say hello!");
      if (s.id === ui.active) { renderChrome(); refreshResumeList(); }
      return;
    }
    case "conversation_resumed": {
      const s = sessionView(id);
      s.conversationId = ev.conversation_id;
      dropQueue(s);
      s.mode = null;
      s.ownTurn = false;
      setWorking(s.id, false); // resuming stopped the session's work
      renderHistory(s.id, ev.messages);
      addLine(s.id, "system resumed", `↺ Resumed conversation (${(ev.messages || []).length} messages)`);
      api(`/api/conversations/${encodeURIComponent(ev.conversation_id)}/messages?limit=0`)
        .then((r) => (r.ok ? r.json() : null))
        .then((d) => { if (d) { s.conversationTitle = d.conversation.title; if (s.id === ui.active) renderChrome(); } })
        .catch(() => {});
      if (s.id === ui.active) refreshResumeList();
      return;
    }
    case "session_history_cleared":
      clearPane(id, ev.message);
      send({ type: "list_sessions" });
      return;
    case "heartbeat_status":
      // The replies to start, stop, pause and resume report the action asked for, not what the runner
      // made of it; only the answer to "status" (the one with "paused") does, and the page asks for it
      // after every action.
      if (!("paused" in ev)) return;
      ui.hb.status = ev.status;
      ui.hb.paused = !!ev.paused;
      if (!ui.hb.paused) ui.hb.pausedAfter = null;
      if (ev.interval !== undefined && ev.interval !== null) {
        ui.hb.interval = ev.interval;
        $("hb-interval").value = ev.interval; // the interval in effect, which may differ from the one typed
      }
      if (ev.status === "stopped") ui.hb.beat = null;
      renderHeartbeat();
      return;
    case "heartbeat":
      Object.assign(ui.hb, { status: "running", paused: false, beat: ev.beat, max: ev.max, pausedAfter: null });
      renderHeartbeat();
      return;
    case "heartbeat_paused":
      Object.assign(ui.hb, { paused: true, pausedAfter: ev.count });
      renderHeartbeat();
      return;
    case "heartbeat_prompt":
      addLine(id, "heartbeat", "⏱ Heartbeat check-in");
      beginTurn(id, "standard", false);
      return;
    case "connector_message":
      addUser(id, ev.content, "via " + (ev.sender || "connector"));
      beginTurn(id, "standard", false);
      markAttention(id);
      return;
    default:
      if (sid && ui.sessions.has(sid)) addLine(sid, "system", `${ev.type}: ${pretty(ev.message || ev.content || "")}`);
  }
}

// The server's list of sessions. The first one after a (re)connect is the truth the page starts
// from: tabs, their conversation and whether a turn runs, and every tab's transcript reloaded
// from the store. Later lists reload a tab whose conversation changed, or whose turn (run from
// another window) has ended.
function applySessions(sessions) {
  const resync = ui.resync;
  ui.resync = false;
  if (resync) noticeRestart(sessions);
  const seen = new Set();
  for (const info of sessions) {
    const s = sessionView(info.session_id);
    const changed = applySession(info);
    seen.add(info.session_id);
    const running = !!info.is_processing;
    if (ui.streams !== false && (resync || !s.attached)) {
      // Replayed from the session's stream, and from the store where the page has nothing.
      if (changed && s.drawn) { s.drawn = false; s.turnSeq = null; }
      startAttach(s, running);
    } else if (resync || changed) {
      if (!running) { s.mode = null; s.ownTurn = false; }
      setWorking(s.id, running);
      // A message queued behind a turn that ended while the page was away goes out once the
      // tab shows what the server holds.
      reload(s).then(() => { if (!s.working) flushQueue(s); });
    } else if (s.working && !s.ownTurn && !running) {
      // The turn ended elsewhere, perhaps cancelled (which leaves no event in its stream): what
      // the store says of it, and whatever the stream has since.
      if (ui.streams && s.attached) startAttach(s, false, true);
      else { setWorking(s.id, false); reload(s); }
    } else if (running && !s.working) {
      beginTurn(s.id, null, false);
    }
  }
  for (const id of [...ui.sessions.keys()]) if (!seen.has(id)) removeSession(id);
}

// ---------------------------------------------------------------- session streams
//
// The server numbers each event of a session ("seq", only growing) and keeps the latest ones.
// At every (re)connect the page attaches to each tab's session with the last number it drew
// there. Events of a session that arrive while its attach is under way (the replay, then live
// ones) are held back until "attached":
//
// - The pane still shows everything up to that number (a dropped connection): the held events
//   are drawn in order, and any number already drawn is skipped, so each event shows once.
// - The pane has nothing yet (a reload, a new window), or the server could not replay from there
//   ("replay_gap"): the store is the truth for turns that have ended, the stream for the one that
//   runs. The page asks for the turn's replay from its first event (the numbers are kept in
//   sessionStorage, so a reload knows where the running turn began; a new window asks for all
//   the server kept), draws the stored conversation without that turn's stored steps, and then
//   the turn's events from the stream. The stored rows of a running turn cannot be matched to
//   events one for one, while the stream holds every one of them exactly once.
//
// A server without session streams answers "attach" with an error: the page then reloads every
// tab from the store as before.

const SEQ_KEY = "tavrin.seq";
const keptSeqs = readSeqs();

function readSeqs() {
  try { return JSON.parse(sessionStorage.getItem(SEQ_KEY)) || {}; } catch (e) { return {}; }
}

function writeSeqs() {
  try { sessionStorage.setItem(SEQ_KEY, JSON.stringify(keptSeqs)); } catch (e) { /* storage full or off */ }
}

function saveSeq(s) {
  keptSeqs[s.id] = { seq: s.seq, turn: s.turnSeq };
  writeSeqs();
}

function forgetSeq(id) {
  delete keptSeqs[id];
  writeSeqs();
}

// The numbers come from one counter of the server process, which starts above every number an
// earlier process gave, so a number kept from before a restart gets "replay_gap". The page still
// forgets its numbers at a restart, as the turn they noted is gone with it: Main is made once per
// server process, so its creation time tells one.
function noticeRestart(sessions) {
  const main = sessions.find((info) => info.session_id === MAIN);
  if (!main) return;
  const server = String(main.created_at);
  const known = keptSeqs[""];
  if (known && known.server !== server) {
    for (const s of ui.sessions.values()) { s.seq = 0; s.turnSeq = null; s.drawn = false; }
    for (const id of Object.keys(keptSeqs)) delete keptSeqs[id];
  }
  keptSeqs[""] = { server };
  writeSeqs();
}

const TURN_STARTS = new Set(["mode", "heartbeat_prompt", "connector_message"]);

// Does this event end the turn of this mode? A Computer Use turn reports trouble and goes on.
function endsTurn(mode, ev) {
  if (ev.type === "done" || ev.type === "cancelled") return true;
  if (ev.type !== "error") return false;
  return !(mode === "computer_use" && !String(ev.message).startsWith("Computer Use error"));
}

// A numbered event of a tab's session: held back during an attach, skipped when already drawn.
// True when it is to be drawn now.
function streamEvent(s, ev) {
  ui.streams = true;
  if (s.attach) { s.attach.buffer.push(ev); return false; }
  if (ev.seq <= s.seq) {
    // Approvals still waiting are sent again on attach, with their old number.
    if (ev.type === "tool_approval_needed") addApproval(ev);
    return false;
  }
  if (s.asked && ev.type !== "mode") fillAsked(s);
  if (TURN_STARTS.has(ev.type)) s.turnSeq = ev.seq;
  else if (s.turnSeq !== null && endsTurn(s.mode, ev)) s.turnSeq = null;
  s.seq = ev.seq;
  saveSeq(s);
  return true;
}

// A turn another window started: its stream does not carry the message that started it, so its
// place is kept until the store has it (it is stored before the agent's first event).
function askedElsewhere(s) {
  if (s.asked) s.asked.remove();
  s.asked = addUser(s.id, "…");
  s.asked.classList.add("pending");
}

async function fillAsked(s) {
  const node = s.asked;
  s.asked = null;
  try {
    const r = await api(`/api/conversations/${encodeURIComponent(s.conversationId)}/messages`);
    const messages = r.ok ? (await r.json()).messages : [];
    const asked = messages.filter((m) => m.role === "user" && !(m.meta && m.meta.connector)).pop();
    if (!asked) { node.remove(); return; }
    node.querySelector(".body").textContent = asked.content;
    node.classList.remove("pending");
  } catch (e) { node.remove(); }
}

function startAttach(s, running, fromStore) {
  if (s.attach) return; // one at a time: its "attached" settles the tab
  const blank = !s.drawn || !s.seq || !!fromStore;
  let after;
  if (!blank || fromStore) after = s.seq;
  else if (running) after = s.turnSeq ? s.turnSeq - 1 : s.seq; // from the running turn's start
  else if (s.seq) after = s.seq;
  s.attach = { rebuild: blank, buffer: [], running: false, hint: running, seq: 0 };
  s.attached = true;
  const message = { type: "attach", session_id: s.id };
  if (after !== undefined) message.after = after;
  send(message);
}

function attached(ev) {
  const s = ui.sessions.get(ev.session_id);
  if (!s || !s.attach) return;
  const st = s.attach;
  st.running = !!ev.running;
  st.seq = Number.isInteger(ev.seq) ? ev.seq : 0;
  if (st.rebuild) { rebuild(s, st); return; }
  s.attach = null;
  for (const e of st.buffer) handleEvent(e);
  // A host turn (connector, heartbeat) is not the gateway's own task: the session list and the
  // stream together say it runs.
  const running = st.running || (st.hint && s.turnSeq !== null);
  if (!running && s.turnSeq !== null) {
    // The turn ended without a last event (it was stopped or cancelled): its outcome is stored.
    Object.assign(st, { rebuild: true, buffer: [], hint: false });
    s.attach = st;
    rebuild(s, st);
    return;
  }
  finishAttach(s, st, running);
}

function finishAttach(s, st, running) {
  s.seq = Math.max(s.seq, st.seq);
  if (!running) s.turnSeq = null;
  saveSeq(s);
  if (running && !s.working) beginTurn(s.id, s.mode, false);
  else if (!running && s.working && !s.ownTurn) {
    // (A turn of this page's own, a queued message that just went out, has not begun there yet.)
    s.mode = null; s.bubble = null; setWorking(s.id, false);
  }
  s.drawn = true;
  s.pane.classList.remove("stale");
  s.pane.removeAttribute("aria-busy");
  if (s.id === ui.active) renderChrome();
  if (!s.working) flushQueue(s);
}

// The last turn that begins among these events, and whether it ends among them too.
function lastTurn(events) {
  let index = -1, ended = false, mode = null;
  events.forEach((e, i) => {
    if (TURN_STARTS.has(e.type)) { index = i; ended = false; mode = e.type === "mode" ? e.mode : "standard"; }
    else if (index >= 0 && endsTurn(mode, e)) ended = true;
  });
  return { index, ended };
}

// The stored turn still open (no outcome yet) when it is the conversation's last one.
function openTurn(messages) {
  let last = null;
  const ended = new Set();
  for (const m of messages) {
    if (m.turn_id === undefined || m.turn_id === null) continue;
    last = m.turn_id;
    if (m.role === "outcome") ended.add(m.turn_id);
  }
  return last !== null && !ended.has(last) ? last : null;
}

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function rebuild(s, st) {
  s.pane.setAttribute("aria-busy", "true");
  let messages = [];
  let drawn = false;
  for (let attempt = 0; attempt < 5 && !drawn; attempt++) {
    if (attempt) await pause(100 * attempt);
    const before = st.buffer.length;
    const renames = s.renames;
    const conv = s.conversationId;
    try {
      if (conv) {
        const r = await api(`/api/conversations/${encodeURIComponent(conv)}/messages`);
        if (r.ok) {
          const data = await r.json();
          messages = data.messages;
          if (s.renames === renames) s.conversationTitle = data.conversation.title;
        } else if (r.status === 404) messages = [];
        else continue;
      } else messages = [];
    } catch (e) { continue; }
    if (s.attach !== st) return; // a newer connection attaches again
    if (s.conversationId !== conv) continue;
    const turn = lastTurn(st.buffer);
    const open = openTurn(messages);
    const runs = turn.index >= 0 && !turn.ended && (st.running || st.hint);
    if (runs) {
      if (open === null) continue; // the turn's first row is not stored yet
      drawRunningTurn(s, st, messages, open, turn.index);
      return;
    }
    // Nothing runs: the store holds it all, unless something happened while it was read.
    if (st.buffer.length === before && !(open !== null && turn.ended)) drawn = true;
  }
  // Drawn from the store alone (also when it never settled): the numbers go on from the stream's.
  renderHistory(s.id, messages);
  s.attach = null;
  s.seq = st.buffer.reduce((max, e) => Math.max(max, e.seq), 0);
  finishAttach(s, st, false);
}

function drawRunningTurn(s, st, messages, open, index) {
  // The turn's first stored row (the message that started it) stays; its other rows come from
  // the stream, which holds each of them once.
  const first = messages.findIndex((m) => m.turn_id === open);
  renderHistory(s.id, messages.filter((m, i) => m.turn_id !== open || i === first));
  const start = st.buffer[index];
  s.attach = null;
  s.seq = start.seq;
  s.turnSeq = start.seq;
  beginTurn(s.id, start.type === "mode" ? start.mode : "standard", false);
  if (start.type === "connector_message") markAttention(s.id);
  for (const e of st.buffer.slice(index + 1)) handleEvent(e);
  // An approval of the turn settled by a window meanwhile: the store has the decision (the
  // stream does not carry it).
  for (const m of messages) {
    const meta = m.meta || {};
    if (m.turn_id === open && m.role === "approval" && DECISIONS[meta.decision]) {
      settleApproval(meta.approval_id, meta.decision === "approved" ? "Approved" : meta.decision === "rejected"
        ? "Rejected" : "No longer needed", meta.decision);
    }
  }
  finishAttach(s, st, s.turnSeq !== null);
}

// The server does not know "attach": every tab is reloaded from the store, as without streams.
function streamsOff() {
  ui.streams = false;
  for (const s of ui.sessions.values()) {
    const st = s.attach;
    if (!st) continue;
    s.attach = null;
    s.attached = false;
    if (!st.hint) { s.mode = null; s.ownTurn = false; }
    setWorking(s.id, st.hint);
    reload(s).then(() => { if (!s.working) flushQueue(s); });
  }
}

// ---------------------------------------------------------------- connection

function reconnectLater() {
  setTimeout(connect, ui.retryMs);
  ui.retryMs = Math.min(ui.retryMs * 2, 8000);
}

async function connect() {
  if (access.refused) return;
  let ticket;
  try {
    const r = await api("/api/ws-ticket", { method: "POST" });
    if (r.status === 401) return; // refuseAccess says what to do
    if (!r.ok) throw new Error(`no ticket (${r.status})`);
    ticket = (await r.json()).ticket;
  } catch (e) {
    reconnectLater(); // the server is away or busy
    return;
  }
  const proto = location.protocol === "https:" ? "wss:" : "ws:";
  const ws = new WebSocket(`${proto}//${location.host}/ws?ticket=${encodeURIComponent(ticket)}`);
  ui.ws = ws;
  ws.addEventListener("open", () => {
    ui.retryMs = 500;
    ui.resync = true;
    ui.streams = null; // a restarted server may have them off
    for (const s of ui.sessions.values()) { s.attached = false; s.attach = null; }
    $("conn").textContent = "connected";
    $("conn").className = "conn conn-on";
    send({ type: "list_sessions" });
    loadHeartbeat();
    loadPendingApprovals();
  });
  ws.addEventListener("message", (msg) => {
    let ev;
    try { ev = JSON.parse(msg.data); } catch (e) { return; }
    if (ev && typeof ev === "object" && typeof ev.type === "string") handleEvent(ev);
  });
  ws.addEventListener("close", () => {
    if (ui.ws !== ws) return;
    $("conn").textContent = "disconnected — reconnecting…";
    $("conn").className = "conn conn-off";
    // Nothing on screen is current until the server has been asked again.
    for (const s of ui.sessions.values()) {
      s.pane.classList.add("stale");
      s.ownTurn = false;
    }
    reconnectLater();
  });
}

// ---------------------------------------------------------------- controls

function sendChat(target, text, computerUse) {
  const message = { type: "chat", content: text, session_id: target };
  if (computerUse) message.computer_use = true;
  if (!send(message)) return false;
  if (ui.streams) sessionView(target).attached = true; // a chat attaches the window to its session
  sessionView(target).sent = true; // its message is on the page already, whatever befalls the connection
  addUser(target, text);
  beginTurn(target, computerUse ? "computer_use" : "standard", true);
  return true;
}

// While a turn runs in the tab, a new message waits for it instead of cancelling it.
function queueChat(target, text, computerUse) {
  const s = sessionView(target);
  const node = el("div", "msg user queued");
  speaker(node, "You (queued)", false);
  node.appendChild(el("div", "body", text));
  const note = el("div", "queued-note", "Waits for the running turn to end. ");
  const cancel = el("button", "link", "Don't send");
  cancel.type = "button";
  cancel.setAttribute("aria-label", `Don't send the queued message “${text.slice(0, 40)}”`);
  const item = { text, computerUse, node };
  cancel.addEventListener("click", () => { s.queue = s.queue.filter((q) => q !== item); node.remove(); });
  note.appendChild(cancel);
  node.appendChild(note);
  s.queue.push(item);
  s.queueBox.appendChild(node);
  scrollToEnd(s);
}

function dropQueue(s) {
  s.queue = [];
  s.queueBox.replaceChildren();
}

function submitChat() {
  const input = $("input");
  const text = input.value.trim();
  if (!text) return;
  const s = sessionView(ui.active);
  const target = s.isConnector ? MAIN : s.id; // the gateway answers connector tabs in Main
  const computerUse = $("cu-toggle").checked;
  if (sessionView(target).working) queueChat(target, text, computerUse);
  else if (!sendChat(target, text, computerUse)) return;
  input.value = "";
  $("send").disabled = true;
  $("cu-toggle").checked = false; // Computer Use is chosen per message
  if (target !== ui.active) activate(target);
}

function stopActive() {
  if (sessionView(ui.active).working) send({ type: "stop_task", session_id: ui.active });
}

function setMenu(open) {
  document.body.classList.toggle("menu-open", open);
  $("menu-btn").setAttribute("aria-expanded", String(open));
}

function wire() {
  $("composer").addEventListener("submit", (e) => { e.preventDefault(); submitChat(); });
  const blank = () => { $("send").disabled = !$("input").value.trim(); };
  $("input").addEventListener("input", blank);
  blank();
  $("input").addEventListener("keydown", (e) => {
    if (e.key === "Enter" && !e.shiftKey && !e.isComposing) { e.preventDefault(); submitChat(); }
  });
  document.addEventListener("keydown", (e) => {
    if (e.key !== "Escape" || e.defaultPrevented) return;
    if (document.body.classList.contains("menu-open")) { setMenu(false); return; }
    stopActive();
  });
  $("stop").addEventListener("click", stopActive);
  $("stall-stop").addEventListener("click", () => send({ type: "stop_task", session_id: ui.active }));
  $("stall-dismiss").addEventListener("click", () => { sessionView(ui.active).stall = null; renderChrome(); });
  $("new-tab").addEventListener("click", () => send({ type: "new_session" }));
  $("new-conv").addEventListener("click", () => send({ type: "new_conversation", session_id: ui.active }));
  $("resume-all").addEventListener("change", refreshResumeList);
  $("resume-select").addEventListener("focus", refreshResumeList);
  $("resume-btn").addEventListener("click", () => {
    const id = $("resume-select").value;
    if (id) send({ type: "resume_conversation", session_id: ui.active, conversation_id: id });
    setMenu(false);
  });
  $("clear-history").addEventListener("click", () => {
    if (confirm("Delete this connector conversation's stored messages?")) {
      send({ type: "clear_session_history", session_id: ui.active });
    }
  });
  $("menu-btn").addEventListener("click", () => setMenu(!document.body.classList.contains("menu-open")));
  document.querySelectorAll("[data-hb]").forEach((button) => {
    button.addEventListener("click", () => {
      const action = button.dataset.hb;
      const message = { type: "heartbeat_control", action };
      if (action === "start") {
        const interval = Number($("hb-interval").value);
        if (Number.isFinite(interval) && interval > 0) message.interval = interval;
      }
      send(message);
      // Show what the runner reports, never what was asked: its status over the socket (answered
      // after the action, on the same connection) and the host's fuller record.
      if (action !== "status") send({ type: "heartbeat_control", action: "status" });
      loadHeartbeat();
    });
  });
  window.addEventListener("focus", () => { if (ui.ws && ui.ws.readyState === WebSocket.OPEN) send({ type: "list_sessions" }); });
  document.addEventListener("visibilitychange", updateBadges);
  // A turn run from another window sends its events there only (without session streams), and a
  // turn that is cancelled leaves no last event in its stream: ask now and then whether it ended.
  setInterval(() => {
    const watching = [...ui.sessions.values()].some((s) => s.working && !s.ownTurn);
    if (watching && ui.ws && ui.ws.readyState === WebSocket.OPEN) send({ type: "list_sessions" });
  }, 3000);
}

// The transcript area shrinks when approval prompts or banners appear; keep its end in view.
new ResizeObserver(() => {
  const s = ui.sessions.get(ui.active);
  if (s) scrollToEnd(s);
}).observe($("panes"));

takeToken();
sessionView(MAIN);
activate(MAIN);
wire();
connect();
