import { $, el } from "./dom.js";
import { ui } from "./model.js";
import { revealHidden } from "./reveal.js";

// ---------------------------------------------------------------- Markdown

export const md = window.markdownit({ html: false, linkify: true, typographer: false });
// Images are not loaded from replies: the alternative text stands in for them.
md.renderer.rules.image = (tokens, idx) => md.utils.escapeHtml(tokens[idx].content || "image");

export const ALLOWED_TAGS = ["p", "br", "em", "strong", "del", "s", "code", "pre", "ul", "ol", "li", "a",
  "blockquote", "h1", "h2", "h3", "h4", "h5", "h6", "hr", "table", "thead", "tbody", "tr", "th", "td"];
export const SAFE_URL = /^(?:https?:|mailto:)/i;

export function renderMarkdown(text) {
  const env = {};
  const tokens = md.parse(String(text), env);
  const langs = codeLanguages(tokens);
  const fragment = DOMPurify.sanitize(md.renderer.render(tokens, md.options, env), {
    ALLOWED_TAGS, ALLOWED_ATTR: ["href", "title"], ALLOWED_URI_REGEXP: SAFE_URL, RETURN_DOM_FRAGMENT: true,
  });
  for (const a of fragment.querySelectorAll("a")) {
    const href = a.getAttribute("href") || "";
    if (!SAFE_URL.test(href)) { a.replaceWith(document.createTextNode(a.textContent)); continue; }
    a.target = "_blank";
    a.rel = "noopener noreferrer";
    showRealTarget(a, href);
  }
  // Code is what a user copies and runs: its invisible characters are drawn (the copy keeps them).
  for (const code of fragment.querySelectorAll("code")) {
    code.dataset.raw = code.textContent;
    if (revealHidden(code)) code.classList.add("has-hidden");
  }
  const blocks = fragment.querySelectorAll("pre");
  blocks.forEach((pre, i) => {
    // (Raw HTML is off, so every <pre> is a code block of the tokens, in the same order.)
    const lang = blocks.length === langs.length ? langs[i] : "";
    const box = el("div", "code-block");
    pre.replaceWith(box);
    const head = el("div", "code-head");
    const copy = el("button", "copy", "Copy");
    copy.type = "button";
    copy.setAttribute("aria-label", `Copy code block ${++ui.copyCount}`);
    const code = pre.querySelector("code");
    copy.addEventListener("click", () => copyText(code ? code.dataset.raw : pre.textContent, copy));
    head.append(el("span", "code-lang", lang || "code"), copy);
    box.append(head, pre);
  });
  return fragment;
}

// The language of each code block, in the order of the document: the first word of a fenced
// block's info string ("" for none, and for an indented block). It is taken from the tokens, as
// the sanitizer keeps no attribute that could carry it to the HTML.
export function codeLanguages(tokens) {
  return tokens.filter((t) => t.type === "fence" || t.type === "code_block")
    .map((t) => (t.type === "fence" ? md.utils.unescapeAll(t.info).trim().split(/\s+/)[0].slice(0, 24) : ""));
}

// ---------------------------------------------------------------- Link honesty
//
// A reply's link can read like one address and lead to another: "paypal.com" leading to evil.example,
// or a look-alike host spelled with letters of another script. Where a link's text holds an address
// (a URL, a host name, an e-mail address) that is not where the link goes, the real destination is
// shown beside it in its ASCII form (so a look-alike shows as the xn-- name it is) and the whole
// target in the link's title. A link whose text is plain words is left as it is.

export const SCHEME_WORD = /^[a-z][a-z0-9+.-]*:\/\//i;
export const MAIL_WORD = /^(?:mailto:)?[^\s@/:]+@([^\s@/]+)$/i;
// Labels separated by dots, the last one two characters or more and not a number; or an IPv4 address.
export const HOST_WORD = /^(?:(?:[^\s/?#@:.]+\.)+[^\s/?#@:.\d][^\s/?#@:.]+|\d{1,3}(?:\.\d{1,3}){3})\.?(?::\d*)?(?:[/?#]\S*)?$/u;
export const WORD_PUNCTUATION = /^[("'<[«“‘]+|[)"'>\],;:!?»”’]+$/gu;

// The host of a web address in ASCII, lower case, without a final dot; "" when it has none. A bare
// host name ("//example.org/path") is read as a web address, the page's own scheme in front.
export function asciiHost(address) {
  try { return new URL(address, location.href).hostname.replace(/\.$/, "").toLowerCase(); } catch (e) { return ""; }
}

// What a word of a link's text says the link is: { host, mail } (mail: an e-mail address), null
// for a word that is no address, or { host: "" } for one that hides its host behind a user name
// (a URL of evil.example that starts with "paypal.com@" reads as paypal.com).
export function saidTarget(word) {
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
export function realTarget(href) {
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

export function sameHost(a, b) {
  const bare = (h) => h.replace(/^www\./, "");
  return a !== "" && bare(a) === bare(b);
}

export function showRealTarget(a, href) {
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

export async function copyText(text, button) {
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
  // The button says what happened for two seconds, also to a screen reader (its name says it).
  const label = labels.get(button) ?? button.getAttribute("aria-label");
  labels.set(button, label);
  const said = copied ? "Copied" : "Copy failed";
  button.textContent = said;
  button.classList.toggle("copied", copied);
  if (label) button.setAttribute("aria-label", `${label}: ${said.toLowerCase()}`);
  clearTimeout(resets.get(button));
  resets.set(button, setTimeout(() => {
    button.textContent = "Copy";
    button.classList.remove("copied");
    if (label) button.setAttribute("aria-label", label);
  }, 2000));
}

const labels = new WeakMap(); // a copy button -> its own name
const resets = new WeakMap(); // a copy button -> the timer that puts its name back
