// Tavrin web UI: one WebSocket to /ws, one tab per session, events filtered by session_id.
// Everything that comes from the agent or the user is put on the page as text (textContent),
// never parsed as HTML.
"use strict";

const MAIN = "session_main";
const $ = (id) => document.getElementById(id);

const ui = {
  ws: null,
  retryMs: 500,
  sessions: new Map(),   // session_id -> session view
  order: [],             // session ids in tab order
  active: MAIN,
  approvals: new Map(),  // approval_id -> card element
};

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

// ---------------------------------------------------------------- sessions and tabs

function sessionView(id) {
  let s = ui.sessions.get(id);
  if (s) return s;
  s = {
    id, name: id === MAIN ? "Main" : "Chat", icon: "💬", isConnector: false,
    conversationId: null, conversationTitle: "", working: false, attention: false,
    loaded: false, stall: null, stick: true, pane: el("div", "pane"), tab: el("div", "tab"),
  };
  // Follow new output unless the user has scrolled up to read something. Scroll events
  // caused by our own scrolling are skipped: the area may have shrunk in between.
  s.pane.addEventListener("scroll", () => {
    if (s.autoScroll) { s.autoScroll = false; return; }
    s.stick = s.pane.scrollHeight - s.pane.scrollTop - s.pane.clientHeight < 60;
  });
  s.pane.hidden = true;
  s.pane.dataset.session = id;
  s.pane.appendChild(el("p", "empty", "No messages yet."));
  $("panes").appendChild(s.pane);

  s.tab.setAttribute("role", "tab");
  s.tab.dataset.session = id;
  s.tab.appendChild(el("span", "tab-dot"));
  s.tab.appendChild(el("span", "tab-icon"));
  s.tab.appendChild(el("span", "tab-name"));
  s.tab.addEventListener("click", () => activate(id));
  ui.sessions.set(id, s);
  ui.order.push(id);
  $("tab-list").appendChild(s.tab);
  renderTab(s);
  return s;
}

function applySession(info) {
  const s = sessionView(info.session_id);
  s.name = info.display_name;
  s.icon = info.icon || "💬";
  s.isConnector = !!info.is_connector;
  if (info.conversation_id && info.conversation_id !== s.conversationId) {
    s.conversationId = info.conversation_id;
    s.loaded = false;
  }
  renderTab(s);
  if (s.id === ui.active) { renderChrome(); ensureLoaded(s); }
  return s;
}

function renderTab(s) {
  s.tab.querySelector(".tab-icon").textContent = s.icon;
  s.tab.querySelector(".tab-name").textContent = s.name;
  s.tab.title = s.name;
  s.tab.classList.toggle("working", s.working);
  s.tab.classList.toggle("attention", s.attention && s.id !== ui.active);
  s.tab.setAttribute("aria-selected", String(s.id === ui.active));
  let close = s.tab.querySelector(".tab-close");
  const closable = s.id !== MAIN && !s.isConnector;
  if (closable && !close) {
    close = el("button", "tab-close", "×");
    close.type = "button";
    close.title = "Close session";
    close.addEventListener("click", (e) => {
      e.stopPropagation();
      send({ type: "close_session", session_id: s.id });
    });
    s.tab.appendChild(close);
  } else if (!closable && close) {
    close.remove();
  }
}

function removeSession(id) {
  const s = ui.sessions.get(id);
  if (!s || id === MAIN) return;
  s.pane.remove();
  s.tab.remove();
  ui.sessions.delete(id);
  ui.order = ui.order.filter((x) => x !== id);
  if (ui.active === id) activate(MAIN);
}

function activate(id) {
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
  ensureLoaded(s);
  refreshResumeList();
  $("input").focus();
}

function renderChrome() {
  const s = sessionView(ui.active);
  $("working").hidden = !s.working;
  $("working-text").textContent = s.working ? `${s.name === "Main" ? "Tavrin" : s.name} is working…` : "";
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

function append(id, node) {
  const s = sessionView(id);
  const empty = s.pane.querySelector(".empty");
  if (empty) empty.remove();
  s.pane.appendChild(node);
  scrollToEnd(s);
  return node;
}

function clearPane(id, note) {
  const s = sessionView(id);
  s.pane.replaceChildren();
  s.pane.appendChild(el("p", "empty", note || "No messages yet."));
  s.stick = true;
}

function bubble(id, role, text, sender) {
  const node = el("div", "msg " + role);
  if (sender) node.appendChild(el("span", "sender", sender));
  node.appendChild(document.createTextNode(String(text)));
  return append(id, node);
}

function line(id, kind, text) {
  return append(id, el("div", "line " + kind, text));
}

function toolCall(id, ev) {
  const card = el("div", "tool call");
  card.appendChild(el("span", "", "🔧 "));
  card.appendChild(el("span", "tool-name", ev.tool || "tool"));
  const args = pretty(ev.arguments);
  if (args && args !== "{}") card.appendChild(el("pre", "", args));
  append(id, card);
}

const BASE64 = /^[A-Za-z0-9+/]+={0,2}$/;

function toolResult(id, ev) {
  const card = el("div", "tool result" + (ev.error ? " failed" : ""));
  card.appendChild(el("span", "", ev.error ? "⚠️ " : "✔ "));
  card.appendChild(el("span", "tool-name", ev.tool || "result"));
  card.appendChild(el("pre", "", pretty(ev.result)));
  if (ev.screenshot && typeof ev.image_base64 === "string" && BASE64.test(ev.image_base64)) {
    const img = el("img", "shot");
    img.alt = "Screenshot";
    img.src = "data:image/png;base64," + ev.image_base64;
    card.appendChild(img);
  }
  append(id, card);
}

function renderHistory(id, messages) {
  clearPane(id, "This conversation has no messages yet.");
  for (const m of messages || []) {
    if (m.role === "user") bubble(id, "user", m.content, m.meta && m.meta.sender ? m.meta.sender : null);
    else if (m.role === "assistant") bubble(id, "assistant", m.content);
    else if (m.role === "heartbeat") line(id, "heartbeat", "⏱ Heartbeat check-in");
    else line(id, "system", m.content);
  }
}

async function ensureLoaded(s) {
  if (s.loaded || !s.conversationId) return;
  s.loaded = true;
  const before = s.pane.childElementCount;
  const untouched = () => !s.working && s.pane.childElementCount === before && s.pane.querySelector(".empty");
  if (!untouched()) return; // live output is already on screen; keep it
  try {
    const r = await fetch(`/api/conversations/${encodeURIComponent(s.conversationId)}/messages`);
    if (!r.ok) return;
    const data = await r.json();
    s.conversationTitle = data.conversation.title;
    // Draw the stored history only if nothing live arrived while it loaded.
    if (data.messages.length && untouched()) renderHistory(s.id, data.messages);
    if (s.id === ui.active) renderChrome();
  } catch (e) { /* offline: the live stream still works */ }
}

// ---------------------------------------------------------------- approvals

function addApproval(ev) {
  if (ui.approvals.has(ev.approval_id)) return;
  const sid = ev.session_id || MAIN;
  const s = sessionView(sid);
  const card = el("div", "approval");
  card.dataset.approval = ev.approval_id;
  const text = el("div", "approval-text");
  text.appendChild(el("strong", "", `🔐 ${s.name}: `));
  text.appendChild(document.createTextNode(ev.message || `Tavrin wants to run ${ev.tool}. Allow it?`));
  card.appendChild(text);
  card.appendChild(el("pre", "approval-args", `${ev.tool || ""} ${JSON.stringify(ev.arguments || {})}`));
  const buttons = el("div", "approval-buttons");
  const yes = el("button", "approve", "Approve");
  const no = el("button", "reject", "Reject");
  yes.type = no.type = "button";
  yes.addEventListener("click", () => decide(ev.approval_id, true));
  no.addEventListener("click", () => decide(ev.approval_id, false));
  buttons.append(yes, no);
  card.appendChild(buttons);
  ui.approvals.set(ev.approval_id, card);
  $("approvals").appendChild(card);
  markAttention(sid);
}

function decide(approvalId, approved) {
  const card = ui.approvals.get(approvalId);
  if (card) card.querySelectorAll("button").forEach((b) => { b.disabled = true; });
  send({ type: "approve", approval_id: approvalId, approved });
}

function settleApproval(approvalId, outcome) {
  const card = ui.approvals.get(approvalId);
  if (!card || card.classList.contains("settled")) return;
  card.classList.add("settled");
  const buttons = card.querySelector(".approval-buttons");
  buttons.replaceChildren(el("span", "outcome", outcome));
  setTimeout(() => { card.remove(); }, 2500);
}

async function loadPendingApprovals() {
  try {
    const r = await fetch("/api/approvals");
    if (!r.ok) return;
    const data = await r.json();
    for (const a of data.approvals) {
      addApproval({ approval_id: a.approval_id, tool: a.tool, arguments: a.arguments, session_id: a.session_id });
    }
  } catch (e) { /* ignore */ }
}

// ---------------------------------------------------------------- conversations

async function refreshResumeList() {
  const select = $("resume-select");
  const s = sessionView(ui.active);
  const all = $("resume-all").checked;
  try {
    const r = await fetch(`/api/sessions/${encodeURIComponent(s.id)}/conversations?all=${all}`);
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

// ---------------------------------------------------------------- events from the server

function handleEvent(ev) {
  const sid = typeof ev.session_id === "string" && ev.session_id ? ev.session_id : null;
  switch (ev.type) {
    case "pong":
      return;
    case "sessions_list": {
      const seen = new Set();
      for (const info of ev.sessions) { applySession(info); seen.add(info.session_id); }
      for (const id of [...ui.sessions.keys()]) if (!seen.has(id)) removeSession(id);
      return;
    }
    case "session_created":
      applySession(ev.session);
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
          if (s.id === ui.active) renderChrome();
        }
      }
      return;
    case "mode": {
      const node = el("div", "line mode");
      node.appendChild(el("span", "chip", ev.mode === "computer_use" ? ev.message : "Standard agent"));
      append(sid || MAIN, node);
      setWorking(sid || MAIN, true);
      return;
    }
    case "thinking":
      line(sid || MAIN, "thinking", "💭 " + (ev.message || ev.content || ""));
      return;
    case "tool_call":
      toolCall(sid || MAIN, ev);
      return;
    case "tool_result":
      toolResult(sid || MAIN, ev);
      return;
    case "tool_approval_needed":
      if (!ui.approvals.has(ev.approval_id)) line(sid || MAIN, "awaiting", "🔐 Waiting for your approval: " + (ev.tool || ""));
      addApproval(ev);
      return;
    case "approval_resolved":
      if (ev.success) settleApproval(ev.approval_id, ev.approved === true ? "Approved" : "Rejected");
      else settleApproval(ev.approval_id, "Already decided");
      return;
    case "approval_decided":
      settleApproval(ev.approval_id, ev.approved ? "Approved" : "Rejected");
      return;
    case "approval_withdrawn":
      settleApproval(ev.approval_id, "No longer needed");
      return;
    case "text":
      bubble(sid || MAIN, "assistant", ev.content || "");
      return;
    case "done":
      line(sid || MAIN, "done", `✓ Done${ev.iterations ? ` (${ev.iterations} step${ev.iterations === 1 ? "" : "s"})` : ""}`);
      setWorking(sid || MAIN, false);
      refreshResumeList();
      return;
    case "cancelled":
      line(sid || MAIN, "system", "⏹ " + (ev.message || "Task cancelled"));
      setWorking(sid || MAIN, false);
      refreshResumeList();
      return;
    case "task_stopped":
      line(sid || MAIN, "system", "⏹ " + ev.message);
      setWorking(sid || MAIN, false);
      refreshResumeList();
      return;
    case "info":
      if (sid) line(sid, "system", ev.message); else toast(ev.message);
      if (sid) setWorking(sid, false);
      return;
    case "error":
      if (sid) { line(sid, "error", "⚠️ " + ev.message); setWorking(sid, false); }
      else if (ev.message === "Heartbeat not initialized") $("hb-status").textContent = "not available";
      else toast(ev.message, true);
      return;
    case "stall_warning": {
      const s = sessionView(sid || MAIN);
      s.stall = { message: ev.message, auto_cancelled: !!ev.auto_cancelled };
      line(s.id, "error", (ev.auto_cancelled ? "⏹ " : "⏳ ") + ev.message);
      if (ev.auto_cancelled) setWorking(s.id, false);
      markAttention(s.id);
      if (s.id === ui.active) renderChrome();
      return;
    }
    case "conversation_started": {
      const s = sessionView(sid || MAIN);
      s.conversationId = ev.conversation_id;
      s.conversationTitle = "";
      s.loaded = true;
      clearPane(s.id, "New conversation. Say hello!");
      if (s.id === ui.active) { renderChrome(); refreshResumeList(); }
      return;
    }
    case "conversation_resumed": {
      const s = sessionView(sid || MAIN);
      s.conversationId = ev.conversation_id;
      s.loaded = true;
      setWorking(s.id, false);
      renderHistory(s.id, ev.messages);
      line(s.id, "system", `↺ Resumed conversation (${(ev.messages || []).length} messages)`);
      fetch(`/api/conversations/${encodeURIComponent(ev.conversation_id)}/messages?limit=0`)
        .then((r) => (r.ok ? r.json() : null))
        .then((d) => { if (d) { s.conversationTitle = d.conversation.title; if (s.id === ui.active) renderChrome(); } })
        .catch(() => {});
      if (s.id === ui.active) refreshResumeList();
      return;
    }
    case "session_history_cleared":
      clearPane(sid || MAIN, ev.message);
      send({ type: "list_sessions" });
      return;
    case "heartbeat_status": {
      let text = ev.status;
      if (ev.paused) text += " (paused)";
      if (ev.interval !== undefined) text += ` · every ${ev.interval}s`;
      $("hb-status").textContent = text;
      return;
    }
    case "heartbeat":
      $("hb-status").textContent = `running · beat ${ev.beat}/${ev.max}`;
      return;
    case "heartbeat_paused":
      $("hb-status").textContent = `paused after ${ev.count} beats without you`;
      return;
    case "heartbeat_prompt":
      line(sid || MAIN, "heartbeat", "⏱ Heartbeat check-in");
      setWorking(sid || MAIN, true);
      return;
    case "connector_message":
      bubble(sid || MAIN, "user", ev.content, "via " + (ev.sender || "connector"));
      setWorking(sid || MAIN, true);
      markAttention(sid || MAIN);
      return;
    default:
      if (sid && ui.sessions.has(sid)) line(sid, "system", `${ev.type}: ${pretty(ev.message || ev.content || "")}`);
  }
}

// ---------------------------------------------------------------- connection

function connect() {
  const proto = location.protocol === "https:" ? "wss:" : "ws:";
  const ws = new WebSocket(`${proto}//${location.host}/ws`);
  ui.ws = ws;
  ws.addEventListener("open", () => {
    ui.retryMs = 500;
    $("conn").textContent = "connected";
    $("conn").className = "conn conn-on";
    send({ type: "list_sessions" });
    send({ type: "heartbeat_control", action: "status" });
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
    for (const s of ui.sessions.values()) if (s.working) setWorking(s.id, false);
    setTimeout(connect, ui.retryMs);
    ui.retryMs = Math.min(ui.retryMs * 2, 8000);
  });
}

// ---------------------------------------------------------------- controls

function submitChat() {
  const input = $("input");
  const text = input.value.trim();
  if (!text) return;
  const s = sessionView(ui.active);
  const target = s.isConnector ? MAIN : s.id; // the gateway answers connector tabs in Main
  const message = { type: "chat", content: text, session_id: target };
  if ($("cu-toggle").checked) message.computer_use = true;
  if (!send(message)) return;
  bubble(target, "user", text);
  setWorking(target, true);
  input.value = "";
  if (target !== ui.active) activate(target);
}

function wire() {
  $("composer").addEventListener("submit", (e) => { e.preventDefault(); submitChat(); });
  $("input").addEventListener("keydown", (e) => {
    if (e.key === "Enter" && !e.shiftKey && !e.isComposing) { e.preventDefault(); submitChat(); }
  });
  $("stop").addEventListener("click", () => send({ type: "stop_task", session_id: ui.active }));
  $("stall-stop").addEventListener("click", () => send({ type: "stop_task", session_id: ui.active }));
  $("stall-dismiss").addEventListener("click", () => { sessionView(ui.active).stall = null; renderChrome(); });
  $("new-tab").addEventListener("click", () => send({ type: "new_session" }));
  $("new-conv").addEventListener("click", () => send({ type: "new_conversation", session_id: ui.active }));
  $("resume-all").addEventListener("change", refreshResumeList);
  $("resume-select").addEventListener("focus", refreshResumeList);
  $("resume-btn").addEventListener("click", () => {
    const id = $("resume-select").value;
    if (id) send({ type: "resume_conversation", session_id: ui.active, conversation_id: id });
  });
  $("clear-history").addEventListener("click", () => {
    if (confirm("Delete this connector conversation's stored messages?")) {
      send({ type: "clear_session_history", session_id: ui.active });
    }
  });
  document.querySelectorAll("[data-hb]").forEach((button) => {
    button.addEventListener("click", () => {
      const action = button.dataset.hb;
      const message = { type: "heartbeat_control", action };
      if (action === "start") {
        const interval = Number($("hb-interval").value);
        if (Number.isFinite(interval) && interval > 0) message.interval = interval;
      }
      send(message);
      // The reply to "start" echoes the interval asked for; the status tells the one in use.
      if (action === "start") send({ type: "heartbeat_control", action: "status" });
    });
  });
  window.addEventListener("focus", () => { if (ui.ws && ui.ws.readyState === WebSocket.OPEN) send({ type: "list_sessions" }); });
}

// The transcript area shrinks when approval prompts or banners appear; keep its end in view.
new ResizeObserver(() => {
  const s = ui.sessions.get(ui.active);
  if (s) scrollToEnd(s);
}).observe($("panes"));

sessionView(MAIN);
activate(MAIN);
wire();
connect();
