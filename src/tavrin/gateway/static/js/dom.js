// Small helpers for building the page: nodes with their text set as text, toasts, values shown
// to the user.

export const $ = (id) => document.getElementById(id);

// A touch screen without a mouse: Enter is the keyboard's newline there, and nothing mentions
// keys such a device does not have.
const coarse = window.matchMedia("(pointer: coarse) and (hover: none)");
export const touchOnly = () => coarse.matches;

export function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined && text !== null) node.textContent = String(text);
  return node;
}

// A question in the page's own dialog (a native one would block every window's updates): true
// when the user answers yes.
export function ask(question, yes, no) {
  const dialog = $("ask");
  $("ask-text").textContent = question;
  $("ask-yes").textContent = yes;
  $("ask-no").textContent = no;
  return new Promise((resolve) => {
    dialog.addEventListener("close", () => resolve(dialog.returnValue === "yes"), { once: true });
    dialog.returnValue = "";
    dialog.showModal();
    $("ask-no").focus();
  });
}

export function toast(text, isError) {
  const t = el("div", "toast" + (isError ? " error" : ""), text);
  $("toasts").appendChild(t);
  setTimeout(() => t.remove(), 5000);
}

export function pretty(value) {
  if (value === undefined || value === null) return "";
  if (typeof value === "string") return value;
  try {
    const flat = JSON.stringify(value);
    return flat.length <= 100 ? flat : JSON.stringify(value, null, 1);
  } catch (e) { return String(value); }
}
export function fmtTime(seconds) {
  const d = new Date(seconds * 1000);
  return d.toLocaleString([], { month: "short", day: "numeric", hour: "2-digit", minute: "2-digit" });
}
