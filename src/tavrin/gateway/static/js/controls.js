import { MAIN } from "./protocol.js";
import { $, el } from "./dom.js";
import { ui } from "./model.js";
import { send } from "./connection.js";
import { activate, beginTurn, renderChrome, sessionView } from "./tabs.js";
import { addUser, scrollToEnd, speaker } from "./transcript.js";
import { updateBadges } from "./approvals.js";
import { refreshResumeList } from "./conversations.js";
import { loadHeartbeat } from "./heartbeat.js";

// ---------------------------------------------------------------- controls

export function sendChat(target, text, computerUse) {
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
export function queueChat(target, text, computerUse) {
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

export function dropQueue(s) {
  s.queue = [];
  s.queueBox.replaceChildren();
}

export function submitChat() {
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

export function stopActive() {
  if (sessionView(ui.active).working) send({ type: "stop_task", session_id: ui.active });
}

export function setMenu(open) {
  document.body.classList.toggle("menu-open", open);
  $("menu-btn").setAttribute("aria-expanded", String(open));
}

export function wire() {
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
