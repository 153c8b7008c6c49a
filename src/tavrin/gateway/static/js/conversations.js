// The sidebar's list of conversations: every tab's, most recently active first, a page at a time
// as the list scrolls (GET /api/conversations, keyset cursor); search over titles and words (?q=);
// and on each row open, rename, export and delete with undo. The active tab's conversation is
// marked. Everything the server says is put on the page as text, the matching words included.

import { MAIN } from "./protocol.js";
import { $, el, ask, fmtTime, toast } from "./dom.js";
import { ui } from "./model.js";
import { api } from "./access.js";
import { send } from "./connection.js";
import { closeSidebar } from "./sidebar.js";

const PAGE = 50;
const MAX_PAGE = 500; // the most a reload asks for at once, to keep what was scrolled to
const UNDO_MS = 8000;
const UNDO_KEY = "tavrin.undo";

const list = {
  rows: [], next: null, query: "",
  generation: 0, // a new search starts a new generation; what an older one asked for is dropped
  busy: false, again: false, // one request at a time; a reload asked for meanwhile follows it
  expanded: null, // the row whose actions are open
  renaming: null, // the row being renamed; the list is not redrawn under it
  dirty: false,
};
let refreshTimer = null;
// What the list asks of the page (wireConversations is given them): show a tab, and draw the
// lines around the active tab's transcript again (its title changed).
const page = { activate: () => {}, renderChrome: () => {} };
const tab = (id) => ui.sessions.get(id);

// Called whenever conversations may have changed (a turn ended, a tab switched conversation,
// another window renamed or deleted one): the list is read again, soon, once.
export function refreshResumeList() {
  clearTimeout(refreshTimer);
  refreshTimer = setTimeout(reload, 120);
}

const url = (params) => "/api/conversations?" + new URLSearchParams(params).toString();

// The list read again from its start, as many rows as it shows (a page at least).
function reload() {
  if (list.busy) { list.again = true; return; }
  fetchPage(null);
}

function loadMore() {
  if (!list.busy && list.next) fetchPage(list.next);
}

async function fetchPage(cursor) {
  const generation = list.generation;
  const params = { limit: String(cursor ? PAGE : Math.min(MAX_PAGE, Math.max(PAGE, list.rows.length))) };
  if (cursor) params.cursor = cursor;
  if (list.query) params.q = list.query;
  list.busy = true;
  let data = null;
  try {
    const r = await api(url(params));
    if (r.ok) data = await r.json();
  } catch (e) { /* offline: the list stays as it was */ }
  list.busy = false;
  if (generation !== list.generation) { list.again = false; reload(); return; }
  if (data) {
    if (cursor) {
      const have = new Set(list.rows.map((c) => c.id));
      list.rows = list.rows.concat(data.conversations.filter((c) => !have.has(c.id)));
    } else list.rows = data.conversations;
    list.next = data.next;
    titlesOf(data.conversations);
  }
  // Something changed while this was under way: read all of it again (this page included).
  if (list.again) { list.again = false; reload(); return; }
  if (!data) return;
  render();
  moreIfShort();
}

// A page that does not fill the sidebar leaves the end in view, which the observer has already
// reported: ask for the next one at once.
function moreIfShort() {
  if (!list.next) return;
  const end = $("conv-end").getBoundingClientRect();
  const box = $("conv-scroll").getBoundingClientRect();
  if (box.height && end.top <= box.bottom + 200) loadMore(); // (none while the sidebar is closed)
}

// A tab's title line learns its conversation's title here too (the store names a conversation
// after its first message, which no event announces).
function titlesOf(rows) {
  for (const c of rows) {
    for (const s of ui.sessions.values()) {
      if (s.conversationId !== c.id || s.conversationTitle === c.title) continue;
      s.conversationTitle = c.title;
      if (s.id === ui.active) page.renderChrome();
    }
  }
}

// ---------------------------------------------------------------- drawing

function render() {
  if (list.renaming) { list.dirty = true; return; }
  list.dirty = false;
  const focused = document.activeElement && document.activeElement.closest(".conv-row");
  const refocus = focused ? [focused.dataset.id, [...document.activeElement.classList].join(".")] : null;
  const current = tab(ui.active).conversationId;
  $("conv-list").replaceChildren(...list.rows.map((c) => row(c, c.id === current)));
  const status = $("conv-status");
  if (!list.rows.length && !list.busy) {
    status.textContent = list.query ? `No conversation matches “${list.query}”.` : "No stored conversations yet.";
  } else status.textContent = "";
  if (refocus) {
    const again = $("conv-list").querySelector(`.conv-row[data-id="${CSS.escape(refocus[0])}"] .${refocus[1]}`);
    if (again) again.focus();
  }
}

function row(c, current) {
  const li = el("li", "conv-row");
  li.dataset.id = c.id;
  if (current) li.setAttribute("aria-current", "true");
  const open = el("button", "conv-open");
  open.type = "button";
  const meta = el("span", "conv-meta");
  meta.append(el("span", "conv-tab", c.tab ? `${c.tab.icon} ${c.tab.name}` : "closed tab"), " · ");
  const time = el("time", "", fmtTime(c.updated_at));
  time.dateTime = new Date(c.updated_at * 1000).toISOString();
  meta.append(time);
  open.append(el("span", "conv-name", c.title), meta);
  if (current) open.append(el("span", "sr-only", " (this tab’s conversation)"));
  if (Array.isArray(c.snippet) && c.snippet.length) {
    const snippet = el("span", "conv-snippet");
    for (const [text, hit] of c.snippet) snippet.append(hit ? el("mark", "", text) : String(text));
    open.append(snippet);
  }
  open.addEventListener("click", () => openConversation(c));
  open.addEventListener("keydown", (e) => moveFocus(e, li));

  const more = el("button", "conv-more", "⋯");
  more.type = "button";
  more.setAttribute("aria-label", `Actions for “${c.title}”`);
  const actions = el("div", "conv-actions");
  actions.id = "conv-actions-" + c.id;
  more.setAttribute("aria-controls", actions.id);
  const expanded = list.expanded === c.id;
  more.setAttribute("aria-expanded", String(expanded));
  actions.hidden = !expanded;
  more.addEventListener("click", () => {
    list.expanded = list.expanded === c.id ? null : c.id;
    render(); // (the focus stays on this row's button)
  });
  actions.append(
    button("Rename", "conv-rename", () => startRename(li, c)),
    button("Export Markdown", "conv-export-md", () => exportAs(c, "md")),
    button("Export JSON", "conv-export-json", () => exportAs(c, "json")),
    button("Delete", "conv-delete", () => remove(c)),
  );
  li.append(open, more, actions);
  return li;
}

function button(text, className, onClick) {
  const b = el("button", className, text);
  b.type = "button";
  b.addEventListener("click", onClick);
  return b;
}

// Up and Down go from row to row; Tab goes through the page as usual.
function moveFocus(e, li) {
  if (e.key !== "ArrowDown" && e.key !== "ArrowUp") return;
  const rows = [...$("conv-list").children];
  const next = rows[rows.indexOf(li) + (e.key === "ArrowDown" ? 1 : -1)];
  if (next) { e.preventDefault(); next.querySelector(".conv-open").focus(); }
}

// ---------------------------------------------------------------- the actions

// Into the active tab, as a resume (a connector's tab resumes in Main); a conversation another
// tab is on is opened there instead, so that two agents never write one conversation.
async function openConversation(c) {
  const elsewhere = [...ui.sessions.values()].find((s) => s.conversationId === c.id && s.id !== ui.active);
  if (elsewhere) { page.activate(elsewhere.id); closeSidebar(); return; }
  const target = tab(ui.active).isConnector ? MAIN : ui.active;
  const s = tab(target);
  if (s.working && !(await ask(`“${s.name}” is still working. Open “${c.title}” there and stop its turn?`, "Open and stop", "Keep working"))) return;
  if (!send({ type: "resume_conversation", session_id: target, conversation_id: c.id })) return;
  if (target !== ui.active) page.activate(target);
  closeSidebar();
}

function startRename(li, c) {
  list.expanded = null;
  li.querySelector(".conv-actions").hidden = true;
  li.querySelector(".conv-more").setAttribute("aria-expanded", "false");
  list.renaming = c.id;
  const input = el("input", "conv-rename-input");
  input.value = c.title;
  input.maxLength = 100;
  input.setAttribute("aria-label", `New title for “${c.title}”`);
  const open = li.querySelector(".conv-open");
  open.hidden = true;
  li.insertBefore(input, open);
  let done = false;
  const finish = (save) => {
    if (done) return;
    done = true;
    list.renaming = null;
    const title = input.value.trim();
    input.remove();
    open.hidden = false;
    open.focus();
    if (save && title && title !== c.title) rename(c, title);
    else if (list.dirty) render();
  };
  input.addEventListener("keydown", (e) => {
    if (e.key === "Enter") { e.preventDefault(); finish(true); }
    if (e.key === "Escape") { e.preventDefault(); e.stopPropagation(); finish(false); }
  });
  input.addEventListener("blur", () => finish(true));
  input.focus();
  input.select();
}

async function rename(c, title) {
  const before = c.title;
  c.title = title;
  render();
  try {
    const r = await api(`/api/conversations/${encodeURIComponent(c.id)}`, {
      method: "PATCH", headers: { "Content-Type": "application/json" }, body: JSON.stringify({ title }),
    });
    if (!r.ok) throw new Error(String(r.status));
    const stored = await r.json();
    c.title = stored.title;
    titleFollows(c.id, stored.title);
  } catch (e) {
    c.title = before;
    toast("The conversation could not be renamed; try again.", true);
  }
  render();
}

// The title line of every tab on that conversation follows a rename at once (the server's note
// to every window says so too).
function titleFollows(id, title) {
  for (const s of ui.sessions.values()) {
    if (s.conversationId !== id) continue;
    s.conversationTitle = title;
    s.renames++;
    if (s.id === ui.active) page.renderChrome();
  }
}

async function exportAs(c, format) {
  try {
    const r = await api(`/api/conversations/${encodeURIComponent(c.id)}/export?format=${format}`);
    if (!r.ok) throw new Error(String(r.status));
    const blob = await r.blob();
    const link = el("a");
    link.href = URL.createObjectURL(blob);
    link.download = fileName(r.headers.get("Content-Disposition")) || `conversation.${format}`;
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  } catch (e) {
    toast("The conversation could not be exported; try again.", true);
  }
}

function fileName(disposition) {
  const m = /filename\*=UTF-8''([^;]+)/i.exec(disposition || "");
  if (m) { try { return decodeURIComponent(m[1]); } catch (e) { /* the plain one below */ } }
  const plain = /filename="([^"]+)"/.exec(disposition || "");
  return plain ? plain[1] : null;
}

// The row goes at once, with an Undo for a few seconds; the server keeps the conversation until
// its own window for an undo is over. A tab that was on it starts a new conversation (the server
// tells every window), and comes back to it on Undo.
async function remove(c) {
  let r;
  try {
    r = await api(`/api/conversations/${encodeURIComponent(c.id)}`, { method: "DELETE" });
  } catch (e) { r = null; }
  if (!r || !r.ok) {
    toast(r && r.status === 409 ? "A turn is running in that conversation: stop it first."
      : "The conversation could not be deleted; try again.", true);
    return;
  }
  list.rows = list.rows.filter((x) => x.id !== c.id);
  list.expanded = null;
  render();
  const entry = { id: c.id, title: c.title, until: Date.now() + UNDO_MS };
  keepUndo(entry);
  offerUndo(entry, true); // the focus goes to its Undo, the row it was on being gone
}

function offerUndo(entry, focus) {
  const note = el("div", "toast undo-toast");
  note.append(el("span", "", `Deleted “${entry.title}”.`));
  const undo = button("Undo", "undo", async () => {
    clearTimeout(timer);
    gone();
    await restore(entry);
  });
  note.append(undo);
  $("toasts").appendChild(note);
  const gone = () => {
    if (note.contains(document.activeElement)) $("conv-search").focus();
    note.remove();
    dropUndo(entry.id);
  };
  const timer = setTimeout(gone, Math.max(0, entry.until - Date.now()));
  if (focus) undo.focus();
}

async function restore(entry) {
  try {
    const r = await api(`/api/conversations/${encodeURIComponent(entry.id)}/restore`, { method: "POST" });
    if (!r.ok) throw new Error(String(r.status));
  } catch (e) {
    toast(`“${entry.title}” could not be restored.`, true);
    return;
  }
  reload();
}

// Undos still open are kept in this tab's storage, so that a reload offers them again.
function undos() {
  try { return JSON.parse(sessionStorage.getItem(UNDO_KEY)) || []; } catch (e) { return []; }
}

function writeUndos(entries) {
  try { sessionStorage.setItem(UNDO_KEY, JSON.stringify(entries)); } catch (e) { /* storage off */ }
}

function keepUndo(entry) { writeUndos(undos().filter((u) => u.until > Date.now()).concat([entry])); }
function dropUndo(id) { writeUndos(undos().filter((u) => u.id !== id && u.until > Date.now())); }

// ---------------------------------------------------------------- wiring

export function wireConversations(actions) {
  Object.assign(page, actions);
  let typing = null;
  $("conv-search").addEventListener("input", () => {
    clearTimeout(typing);
    typing = setTimeout(() => {
      const query = $("conv-search").value.trim();
      if (query === list.query) return;
      list.query = query;
      list.generation++;
      list.rows = [];
      list.next = null;
      list.expanded = null;
      $("conv-scroll").scrollTop = 0;
      reload();
    }, 200);
  });
  new IntersectionObserver((seen) => { if (seen.some((e) => e.isIntersecting)) loadMore(); },
    { root: $("conv-scroll"), rootMargin: "0px 0px 200px 0px" }).observe($("conv-end"));
  $("sidebar").addEventListener("keydown", (e) => {
    if (e.key !== "Escape" || e.defaultPrevented || !list.expanded) return;
    e.preventDefault();
    const id = list.expanded;
    list.expanded = null;
    render();
    const more = $("conv-list").querySelector(`.conv-row[data-id="${CSS.escape(id)}"] .conv-more`);
    if (more) more.focus();
  });
  for (const entry of undos()) if (entry.until > Date.now()) offerUndo(entry, false);
  refreshResumeList();
}
