// Background work noticed: a tab whose turn ends, or that needs an approval, while the user looks
// at another tab (or the page is hidden) is marked unread until it is viewed, and the page title
// counts such tabs (tabs.js draws both). Desktop notifications say the same for tabs not in
// view, once the user has switched them on in the menu: the browser's permission is asked for
// then, never on load, and the choice is remembered.

import { $, toast } from "./dom.js";
import { ui } from "./model.js";
import { renderTab } from "./tabs.js";
import { activate } from "./sessions.js";

const NOTIFY_KEY = "tavrin.notify";
const supported = () => typeof window.Notification === "function";

export function inView(id) { return id === ui.active && !document.hidden; }

// What a turn's end is called in a notification.
const ENDED = { done: "done", stopped: "stopped", error: "ended with an error" };

// A turn of this tab ended (outcome: "done", "stopped", "error"). A heartbeat's check-in that went
// well is no news: it comes every few minutes.
export function noticeTurnEnd(id, outcome) {
  const s = ui.sessions.get(id);
  if (s && s.beat && outcome === "done") return;
  notice(id, "finished", "Finished", ENDED[outcome] || outcome, "finished-" + id);
}

// The agent in this tab waits for the user's approval of a tool.
export function noticeApproval(id, ev) {
  notice(id, "approval", "Approval needed", `${ev.tool || "an action"} waits for your approval`, "approval-" + ev.approval_id);
}

function notice(id, kind, title, what, tag) {
  const s = ui.sessions.get(id);
  if (!s || inView(id)) return;
  if (s.unread !== "approval") s.unread = kind; // (an approval is the news that matters more)
  renderTab(s);
  if (!ui.notify || !supported() || Notification.permission !== "granted") return;
  try {
    // One notification per approval, and one per tab for its latest turn: a later one replaces it.
    const n = new Notification(`${title} · Tavrin`, { body: `${s.name}: ${what}`, tag });
    n.addEventListener("click", () => { window.focus(); activate(id); n.close(); });
  } catch (e) { /* a browser that shows them only from a service worker */ }
}

function remember(on) {
  ui.notify = on;
  try { localStorage.setItem(NOTIFY_KEY, on ? "on" : "off"); } catch (e) { /* storage off */ }
  $("notify-toggle").checked = on;
}

async function switched(on) {
  if (!on) { remember(false); return; }
  if (!supported()) { remember(false); toast("This browser cannot show desktop notifications.", true); return; }
  let permission = Notification.permission;
  if (permission === "default") {
    try { permission = await Notification.requestPermission(); } catch (e) { permission = "denied"; }
  }
  if (permission === "granted") { remember(true); return; }
  remember(false);
  toast("Notifications are blocked for this page: allow them in the browser's site settings, then switch them on again.", true);
}

// The switch in the menu: on only once the user has turned it on and the browser allows it.
export function wireNotifications() {
  const toggle = $("notify-toggle");
  if (!toggle) return;
  let kept = false;
  try { kept = localStorage.getItem(NOTIFY_KEY) === "on"; } catch (e) { /* storage off */ }
  ui.notify = kept && supported() && Notification.permission === "granted";
  toggle.checked = ui.notify;
  toggle.addEventListener("change", () => switched(toggle.checked));
}
