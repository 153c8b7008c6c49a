// The composer and the page's buttons: sending (or queueing) a message with its attachments,
// Stop, the tab and conversation commands, the phone's menu.

import { MAIN } from "./protocol.js";
import { $, touchOnly } from "./dom.js";
import { ui } from "./model.js";
import { send, retryNow } from "./connection.js";
import { session, activate, renderChrome, chatMessage, connected, sendChat } from "./sessions.js";
import { showQueued } from "./transcript.js";
import { updateBadges } from "./tabs.js";
import { AttachError, fitMessage, onlyAttached } from "./attachments.js";
import { wireAttachments, pendingFiles, hasPending, clearPending, whenRead, note, showAttachments } from "./attachview.js";

// While a turn runs in the tab, a new message waits for it instead of cancelling it; while the
// page is offline, for the connection. After a stop it waits for the user (see holdQueue).
function queueChat(target, text, computerUse, files) {
  const s = session(target);
  const item = { text, computerUse, files, offline: !connected() };
  s.queue.push(item);
  showAttachments(showQueued(target, item, queueActions(s)), files);
}

export function queueActions(s) {
  return {
    discard(item) { s.queue = s.queue.filter((q) => q !== item); },
    sendNow(item) {
      if (s.working || !connected()) return false;
      s.held = false;
      s.queue = s.queue.filter((q) => q !== item);
      if (sendChat(s.id, item.text, item.computerUse, item.files)) return true;
      s.queue.unshift(item);
      return false;
    },
  };
}

let submitting = false;

async function submitChat() {
  if (submitting) return;
  submitting = true;
  blank();
  try { await submitNow(); } finally { submitting = false; blank(); }
}

async function submitNow() {
  const input = $("input");
  if (hasPending()) await whenRead(); // files still being read go with it
  const typed = input.value.trim();
  const files = pendingFiles();
  if (!typed && !files.length) return;
  const text = typed || onlyAttached(files); // the gateway answers no message without text
  const s = session(ui.active);
  const target = s.isConnector ? MAIN : s.id; // the gateway answers connector tabs in Main
  const computerUse = $("cu-toggle").checked;
  if (files.length && computerUse) { note("Computer Use takes no attachments: remove them, or send without Computer Use."); return; }
  try {
    // (A message larger than the server takes would cost the connection, and the message with it.)
    await fitMessage(() => chatMessage(target, text, computerUse, files), files);
  } catch (e) {
    if (!(e instanceof AttachError)) throw e;
    note(e.message); // nothing of it goes out
    return;
  }
  // (A message of the user's own lets the queue held after a stop go on behind it.)
  if (session(target).working || !connected()) queueChat(target, text, computerUse, files);
  else if (!sendChat(target, text, computerUse, files)) return;
  else session(target).held = false;
  if (files.length) clearPending();
  if (input.value.trim() === typed) { // (unless typed on while the pictures were made smaller)
    input.value = "";
    input.dispatchEvent(new Event("input")); // Send disabled, the composer back to its height
  }
  $("cu-toggle").checked = false; // Computer Use is chosen per message
  if (target !== ui.active) activate(target);
}

function stopActive() {
  const s = session(ui.active);
  if (s.working && send({ type: "stop_task", session_id: s.id })) s.stopBy = "here";
}

// The phone's menu lies over the page, just under the top bar, instead of pushing it down.
function setMenu(open) {
  document.body.style.setProperty("--menu-top", `${$("menu-btn").closest(".topbar").getBoundingClientRect().bottom}px`);
  document.body.classList.toggle("menu-open", open);
  document.body.style.setProperty("--menu-conv-top", `${$("hb-controls").getBoundingClientRect().bottom}px`);
  $("menu-btn").setAttribute("aria-expanded", String(open));
}

function blank() {
  $("send").disabled = submitting || (!$("input").value.trim() && !hasPending());
  // On a phone the composer starts at one line and grows with its text (up to its CSS cap).
  const i = $("input");
  i.style.height = "";
  if (touchOnly() && i.value && i.scrollHeight > i.clientHeight) i.style.height = `${i.scrollHeight + 2}px`;
}

export function wire() {
  $("composer").addEventListener("submit", (e) => { e.preventDefault(); submitChat(); });
  $("input").addEventListener("input", blank);
  wireAttachments(blank);
  blank();
  $("input").addEventListener("keydown", (e) => {
    // On a touch screen Enter is the keyboard's newline; the Send button sends.
    if (e.key === "Enter" && !e.shiftKey && !e.isComposing && !touchOnly()) { e.preventDefault(); submitChat(); }
  });
  document.addEventListener("keydown", (e) => {
    if (e.key !== "Escape" || e.defaultPrevented) return;
    if (document.body.classList.contains("menu-open")) { setMenu(false); return; }
    // Esc stops the turn only from where the user works on it: the composer or its transcript.
    const at = document.activeElement;
    if (at && (at.closest("#composer") || at.closest(`.pane[data-session="${CSS.escape(ui.active)}"]`))) stopActive();
  });
  $("stop").addEventListener("click", stopActive);
  $("stall-stop").addEventListener("click", () => {
    if (send({ type: "stop_task", session_id: ui.active })) session(ui.active).stopBy = "here";
  });
  $("stall-dismiss").addEventListener("click", () => { session(ui.active).stall = null; renderChrome(); });
  $("new-tab").addEventListener("click", () => send({ type: "new_session" }));
  $("new-conv").addEventListener("click", () => send({ type: "new_conversation", session_id: ui.active }));
  $("clear-history").addEventListener("click", () => {
    if (confirm("Delete this connector conversation's stored messages?")) {
      send({ type: "clear_session_history", session_id: ui.active });
    }
  });
  $("retry-now").addEventListener("click", retryNow);
  window.addEventListener("online", retryNow);
  $("menu-btn").addEventListener("click", () => setMenu(!document.body.classList.contains("menu-open")));
  // (Not before the first list of a connection, which tells whether the server restarted.)
  const listening = () => ui.ws && ui.ws.readyState === WebSocket.OPEN && !ui.resync;
  window.addEventListener("focus", () => { if (listening()) send({ type: "list_sessions" }); });
  document.addEventListener("visibilitychange", updateBadges);
  // A turn run from another window sends its events there only (without session streams), and a
  // turn that is cancelled leaves no last event in its stream: ask now and then whether it ended.
  setInterval(() => {
    const watching = [...ui.sessions.values()].some((s) => s.working && !s.ownTurn);
    if (watching && listening()) send({ type: "list_sessions" });
  }, 3000);
}
