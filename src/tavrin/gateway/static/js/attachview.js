// The attachments' views: the files waiting above the composer (added by the button, by dropping
// them on the composer or the transcript, or by pasting a picture), and the files of a message in
// the transcript, live or stored.

import { $, el } from "./dom.js";
import { LIMITS, AttachError, readFile, fmtSize } from "./attachments.js";

const pending = [];  // the attachments the next message carries, in the order they were added
let added = 0;
let reading = 0;     // files still being read (they hold a place in the count)
let ready = Promise.resolve();
let pasted = 0;
let changed = () => {};

export const pendingFiles = () => pending.slice();
export const hasPending = () => pending.length > 0 || reading > 0;
// Resolves once every file added so far has been read (or refused).
export const whenRead = () => ready;

export function clearPending() {
  pending.length = 0;
  note("");
}

// A line under the chips: why a file was refused, or a message could not go (the chips are drawn
// again with it: making a message fit may have made its pictures smaller).
export function note(text) {
  const line = $("attach-note");
  line.textContent = text;
  line.hidden = !text;
  render();
}

export function addFiles(files) {
  const list = [...files];
  if (!list.length) return;
  const refused = []; // what is said of this batch
  const room = LIMITS.count - pending.length - reading;
  if (list.length > room) {
    const left = list.splice(Math.max(0, room)).map((f) => f.name || "a file");
    refused.push(`A message can carry at most ${LIMITS.count} attachments, so ${left.join(", ")} ${left.length === 1 ? "was" : "were"} left out.`);
  }
  note(refused.join(" "));
  for (const file of list) {
    reading++;
    const order = ++added;
    const name = /^image\.\w+$/.test(file.name || "") ? `pasted image ${++pasted}.${file.name.split(".").pop()}` : file.name;
    const step = readFile(file, name).then(
      (a) => {
        a.order = order;
        const at = pending.findIndex((b) => b.order > order);
        pending.splice(at < 0 ? pending.length : at, 0, a);
      },
      (e) => { refused.push(e instanceof AttachError ? e.message : `${name}: ${e}`); },
    ).finally(() => {
      reading--;
      if (refused.length) note(refused.join(" "));
      else render();
    });
    ready = Promise.all([ready, step]);
  }
  render();
}

function render() {
  const list = $("attach-list");
  list.replaceChildren(...pending.map((a) => chip(a)));
  if (reading) list.appendChild(el("li", "attach-chip reading", `Reading ${reading} file${reading === 1 ? "" : "s"}…`));
  $("attachments").hidden = !pending.length && !reading && $("attach-note").hidden;
  changed();
}

function chip(a) {
  const li = el("li", "attach-chip");
  li.appendChild(preview(a));
  li.appendChild(el("span", "attach-name", a.name));
  const size = el("span", "attach-size", fmtSize(a.size));
  if (a.from) size.title = `Made smaller to fit: ${fmtSize(a.from)} before`;
  li.appendChild(size);
  const remove = el("button", "attach-remove", "×");
  remove.type = "button";
  remove.setAttribute("aria-label", `Remove the attachment ${a.name}`);
  remove.addEventListener("click", () => {
    const i = pending.indexOf(a);
    if (i >= 0) pending.splice(i, 1);
    note("");
    $("input").focus();
  });
  li.appendChild(remove);
  return li;
}

function preview(a) {
  if (!a.thumb) return el("span", "attach-icon", a.kind === "image" ? "🖼" : "📄");
  const img = el("img", "attach-thumb");
  img.alt = "";
  img.src = a.thumb;
  return img;
}

// ---------------------------------------------------------------- adding files

const carriesFiles = (e) => !!e.dataTransfer && [...e.dataTransfer.types].includes("Files");
const dropZone = (target) => target instanceof Element && !!target.closest("#composer, #panes, #attachments");

export function wireAttachments(onChange) {
  changed = onChange;
  $("attach-btn").addEventListener("click", () => $("attach-input").click());
  $("attach-input").addEventListener("change", (e) => {
    addFiles(e.target.files);
    e.target.value = ""; // the same file can be chosen again
    $("input").focus();
  });
  // A file dropped anywhere else would make the browser leave the page to show it.
  let depth = 0;
  const showDrop = (on) => document.body.classList.toggle("drop-files", on);
  document.addEventListener("dragenter", (e) => { if (carriesFiles(e)) { depth++; showDrop(true); } });
  document.addEventListener("dragleave", (e) => { if (carriesFiles(e) && --depth <= 0) { depth = 0; showDrop(false); } });
  document.addEventListener("dragover", (e) => {
    if (!carriesFiles(e)) return;
    e.preventDefault();
    e.dataTransfer.dropEffect = dropZone(e.target) ? "copy" : "none";
  });
  document.addEventListener("drop", (e) => {
    if (!carriesFiles(e)) return;
    e.preventDefault();
    depth = 0;
    showDrop(false);
    if (dropZone(e.target)) { addFiles(e.dataTransfer.files); $("input").focus(); }
  });
  // A picture pasted into the composer is attached; text pastes as text.
  $("input").addEventListener("paste", (e) => {
    const data = e.clipboardData;
    if (!data) return;
    const files = [...data.items].filter((i) => i.kind === "file").map((i) => i.getAsFile()).filter(Boolean);
    if (!files.length) return;
    if (![...data.types].includes("text/plain")) e.preventDefault();
    addFiles(files);
  });
  $("attach-view").addEventListener("click", (e) => { if (e.target === $("attach-view")) $("attach-view").close(); });
}

// ---------------------------------------------------------------- a message's files

const BASE64 = /^[A-Za-z0-9+/]+={0,2}$/;
const THUMB_TYPES = new Set(["image/jpeg", "image/png"]);

// The files of a user's message in the transcript: live (attachments as sent) or stored (the
// store's records: name, type, size, and a picture's thumbnail when one was kept: JPEG as the
// page makes them, PNG when the server made it, or when the record does not say).
export function showAttachments(node, items) {
  if (!node || !Array.isArray(items) || !items.length) return;
  const box = el("ul", "msg-files");
  box.setAttribute("aria-label", "Attachments");
  for (const item of items) {
    if (!item || typeof item !== "object") continue;
    const name = String(item.name || "file");
    const type = String(item.type || "");
    const size = Number.isFinite(item.size) ? ` · ${fmtSize(item.size)}` : "";
    const li = el("li", "msg-file");
    const kept = THUMB_TYPES.has(item.thumbnail_type) ? item.thumbnail_type : "image/png";
    const stored = typeof item.thumbnail_base64 === "string" && BASE64.test(item.thumbnail_base64)
      ? `data:${kept};base64,` + item.thumbnail_base64 : null;
    const thumb = item.thumb || stored;
    if (type.startsWith("image/") && thumb) {
      const img = el("img", "msg-thumb");
      img.alt = name;
      img.addEventListener("load", () => follow(node));
      img.src = thumb;
      const full = item.data && BASE64.test(item.data) ? `data:${type};base64,${item.data}` : thumb;
      const open = el("button", "msg-thumb-open");
      open.type = "button";
      open.title = name + size;
      open.setAttribute("aria-label", `Open the picture ${name} large`);
      open.appendChild(img);
      open.addEventListener("click", () => showLarge(full, name));
      li.appendChild(open);
    } else {
      li.classList.add("named");
      li.append(el("span", "attach-icon", type.startsWith("image/") ? "🖼" : "📄"), el("span", "attach-name", name));
      if (size) li.appendChild(el("span", "attach-size", size));
    }
    box.appendChild(li);
  }
  node.appendChild(box);
  follow(node);
}

// A picture grows the transcript once it has loaded: its end stays in view, unless the user
// scrolled (the transcript, which knows, says how: followPane).
let followPane = () => {};
export function onPictureLoad(follow) { followPane = follow; }

function follow(node) {
  const pane = node.closest(".pane");
  if (pane) followPane(pane.dataset.session);
}

function showLarge(src, name) {
  const dialog = $("attach-view");
  const img = el("img", "attach-large");
  img.alt = name;
  img.src = src;
  dialog.setAttribute("aria-label", name);
  dialog.querySelector(".attach-frame").replaceChildren(img);
  dialog.showModal();
}
