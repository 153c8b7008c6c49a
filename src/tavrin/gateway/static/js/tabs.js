// The tab strip: one tab per session, a keyboard tablist (arrow keys, Home, End, Delete closes),
// the counts of approvals waiting in tabs the user is not looking at, and the unread mark of a tab
// whose work went on unseen (notify.js). The page title counts the tabs with news.

import { MAIN } from "./protocol.js";
import { $, el } from "./dom.js";
import { ui } from "./model.js";
import { markConnectorPane } from "./transcript.js";

const tabs = new Map(); // session_id -> { node, actions, marked }

export function closable(s) { return s.id !== MAIN && !s.isConnector; }

// actions: { select(id, opts), close(id) }
export function createTab(s, actions) {
  const tab = el("div", "tab");
  tab.id = "tab-" + s.id;
  tab.setAttribute("role", "tab");
  tab.setAttribute("aria-controls", "pane-" + s.id);
  tab.dataset.session = s.id;
  tab.append(el("span", "tab-dot"), el("span", "tab-icon"), el("span", "tab-name"), el("span", "tab-unread"),
    el("span", "tab-badge"));
  tab.querySelector(".tab-icon").setAttribute("aria-hidden", "true");
  tab.querySelector(".tab-unread").hidden = true;
  tab.addEventListener("click", () => actions.select(s.id));
  tab.addEventListener("keydown", (e) => tabKey(e, s, actions));
  tabs.set(s.id, { node: tab, actions, marked: false });
  $("tab-list").appendChild(tab);
  drawCue();
}

export function removeTab(id) {
  if (tabs.has(id)) tabs.get(id).node.remove();
  tabs.delete(id);
  drawCue();
}

export function focusTab(id) { tabs.get(id).node.focus(); }

export function renderTab(s) {
  const { node: tab, actions } = tabs.get(s.id);
  const active = s.id === ui.active;
  tab.querySelector(".tab-icon").textContent = s.icon;
  tab.querySelector(".tab-name").textContent = s.name;
  tab.title = s.name + (closable(s) ? " (Delete closes it)" : "");
  tab.classList.toggle("working", s.working);
  tab.classList.toggle("attention", s.attention && !active);
  markConnectorPane(s.id, s.isConnector);
  tab.setAttribute("aria-selected", String(active));
  tab.tabIndex = active ? 0 : -1;
  // The close mark is for the mouse; keyboard users press Delete on the tab. A button inside
  // a tab would be a control inside a control.
  let close = tab.querySelector(".tab-close");
  if (closable(s) && !close) {
    close = el("span", "tab-close", "×");
    close.setAttribute("aria-hidden", "true");
    close.addEventListener("click", (e) => { e.stopPropagation(); actions.close(s.id); });
    tab.appendChild(close);
    tab.setAttribute("aria-keyshortcuts", "Delete");
  } else if (!closable(s) && close) {
    close.remove();
    tab.removeAttribute("aria-keyshortcuts");
  }
  updateBadges();
  if (active) reveal(tab); // (its width may have changed: a working tab shows its dot)
  drawCue();
}

function tabKey(e, s, actions) {
  const ids = [...$("tab-list").querySelectorAll("[role=tab]")].map((t) => t.dataset.session);
  const at = ids.indexOf(s.id);
  let next = null;
  if (e.key === "ArrowRight") next = ids[(at + 1) % ids.length];
  else if (e.key === "ArrowLeft") next = ids[(at - 1 + ids.length) % ids.length];
  else if (e.key === "Home") next = ids[0];
  else if (e.key === "End") next = ids[ids.length - 1];
  else if (e.key === "Delete" && closable(s)) { e.preventDefault(); actions.close(s.id); return; }
  if (next === null) return;
  e.preventDefault();
  actions.select(next, { focusTab: true });
}

const UNREAD = { finished: "unread: its turn has ended", approval: "unread: an approval is needed" };

export function updateBadges() {
  const counts = new Map();
  for (const entry of ui.approvals.values()) {
    if (!entry.settled) counts.set(entry.sid, (counts.get(entry.sid) || 0) + 1);
  }
  let news = 0; // tabs with something the user has not seen
  const named = new Map(); // tabs of the same name are told apart by a number
  for (const s of ui.sessions.values()) {
    if (!tabs.has(s.id)) continue;
    const entry = tabs.get(s.id);
    const tab = entry.node;
    const away = s.id !== ui.active || document.hidden;
    if (!away) s.unread = null; // viewed
    const n = counts.get(s.id) || 0;
    const shown = n > 0 && away;
    const badge = tab.querySelector(".tab-badge");
    badge.hidden = !shown;
    badge.textContent = shown ? String(n) : "";
    badge.title = shown ? `${n} approval${n === 1 ? "" : "s"} waiting` : "";
    const mark = tab.querySelector(".tab-unread");
    mark.hidden = !s.unread;
    tab.classList.toggle("unread", !!s.unread);
    mark.title = s.unread ? UNREAD[s.unread] : "";
    const k = (named.get(s.name) || 0) + 1;
    named.set(s.name, k);
    const told = [shown ? badge.title : "", s.unread ? UNREAD[s.unread] : ""].filter(Boolean);
    tab.setAttribute("aria-label", [k > 1 ? `${s.name} (${k})` : s.name, ...told].join(", "));
    const marked = shown || !!s.unread;
    if (marked) news++;
    if (marked && !entry.marked) reveal(tab); // (a phone's strip shows few tabs at a time)
    entry.marked = marked;
  }
  document.title = news ? `(${news}) Tavrin` : "Tavrin";
}

// The strip shows the active tab, however many there are.
export function revealTab(id) { if (tabs.has(id)) reveal(tabs.get(id).node); }

// The tab strip scrolls, without moving the page, until this tab is in view.
function reveal(tab) {
  const strip = $("tab-list");
  const r = tab.getBoundingClientRect();
  const box = strip.getBoundingClientRect();
  if (r.left < box.left) strip.scrollLeft -= box.left - r.left;
  else if (r.right > box.right) strip.scrollLeft += r.right - box.right;
}

// ---------------------------------------------------------------- more tabs than the strip shows

// The cue says how many tabs there are once some are out of view; its menu lists them all, and
// choosing one selects it (select: the tabs' own action).
export function wireTabMenu(select) {
  const more = $("tab-more");
  const menu = $("tab-menu");
  const close = (focus) => {
    menu.hidden = true;
    more.setAttribute("aria-expanded", "false");
    if (focus) more.focus();
  };
  more.addEventListener("click", () => {
    if (!menu.hidden) { close(false); return; }
    menu.replaceChildren(...[...tabs.keys()].map((id) => {
      const s = ui.sessions.get(id);
      const item = el("button", "", `${s.icon} ${s.name}`);
      item.type = "button";
      item.setAttribute("role", "menuitem");
      if (id === ui.active) item.setAttribute("aria-current", "true");
      if (s.unread) item.append(" •");
      item.addEventListener("click", () => { close(false); select(id); });
      return item;
    }));
    const r = more.getBoundingClientRect();
    menu.style.top = `${r.bottom + 4}px`;
    menu.style.left = `${Math.max(8, Math.min(r.left, innerWidth - 240))}px`;
    menu.hidden = false;
    more.setAttribute("aria-expanded", "true");
    menu.querySelector("button").focus();
  });
  menu.addEventListener("keydown", (e) => {
    const items = [...menu.querySelectorAll("button")];
    const at = items.indexOf(document.activeElement);
    if (e.key === "Escape") { e.preventDefault(); e.stopPropagation(); close(true); }
    else if (e.key === "ArrowDown") { e.preventDefault(); items[(at + 1) % items.length].focus(); }
    else if (e.key === "ArrowUp") { e.preventDefault(); items[(at - 1 + items.length) % items.length].focus(); }
  });
  document.addEventListener("click", (e) => {
    if (!menu.hidden && !menu.contains(e.target) && e.target !== more) close(false);
  });
  new ResizeObserver(drawCue).observe($("tab-list"));
}

function drawCue() {
  const strip = $("tab-list");
  const more = $("tab-more");
  const hidden = strip.scrollWidth > strip.clientWidth + 1;
  more.hidden = !hidden;
  if (hidden) {
    more.textContent = `All ${tabs.size} tabs`;
    more.setAttribute("aria-label", `All ${tabs.size} tabs: some are out of view`);
  }
}
