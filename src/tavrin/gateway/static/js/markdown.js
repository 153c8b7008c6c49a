import { $, el } from "./dom.js";
import { ui } from "./model.js";
import { revealHidden } from "./reveal.js";

// ---------------------------------------------------------------- Markdown

export const md = window.markdownit({ html: false, linkify: true, typographer: false });
// Images are not loaded from replies: the alternative text stands in for them.
md.renderer.rules.image = (tokens, idx) => md.utils.escapeHtml(tokens[idx].content || "image");

// ---------------------------------------------------------------- what becomes a link
//
// Only what is written as an address becomes a link: with its scheme (https, mailto and the like),
// starting with "www.", or an e-mail address. A bare "summary.md", "app.py" or "deploy.sh" reads
// to the linkifier as a host name (.md, .py and .sh are country domains) but is a file: it is
// shown as code, as are the other file names and paths of a reply's text.

const FILE_EXTENSIONS = "md|markdown|txt|rst|py|pyi|ipynb|js|mjs|cjs|ts|tsx|jsx|json|jsonl|ya?ml|toml|ini|cfg|conf|" +
  "sh|bash|zsh|fish|ps1|bat|c|h|cc|cpp|hpp|cxx|rs|go|java|kt|rb|php|pl|swift|cs|sql|html?|css|scss|xml|csv|tsv|" +
  "log|pdf|docx?|xlsx?|pptx?|odt|png|jpe?g|gif|svg|webp|zip|tar|gz|tgz|bz2|xz|lock|whl|deb|rpm|iso|dmg|exe";
// A file name or path: letters, digits, "-", "_" and dots, a known extension at its end, not part
// of a longer word or address.
export const FILE_NAME = new RegExp(
  String.raw`(?<![\w@/.:-])(?:~?/)?(?:[\w.-]+/)*[\w-][\w.-]*\.(?:${FILE_EXTENSIONS})(?![\w/@-]|\.\w)`, "gi");

// The linkifier's finds: kept when written as an address, made text again when not.
const written = (text, href) => /^[a-z][a-z0-9+.-]*:/i.test(text) || /^www\./i.test(text) || /^mailto:/i.test(href);

function addressesOnly(state) {
  for (const block of state.tokens) {
    if (block.type !== "inline" || !block.children) continue;
    const out = [];
    const kids = block.children;
    for (let i = 0; i < kids.length; i++) {
      const t = kids[i];
      if (t.type === "link_open" && t.markup === "linkify" && kids[i + 2] && kids[i + 2].type === "link_close"
          && !written(kids[i + 1].content, t.attrGet("href") || "")) {
        const text = new state.Token("text", "", 0);
        text.content = kids[i + 1].content;
        text.level = t.level;
        out.push(text);
        i += 2;
        continue;
      }
      out.push(t);
    }
    block.children = fileNames(state, joinText(state, out));
  }
}

// Neighbouring texts as one, so that a file name split by the linkifier is found whole.
function joinText(state, tokens) {
  const out = [];
  for (const t of tokens) {
    const last = out[out.length - 1];
    if (t.type === "text" && last && last.type === "text") {
      const joined = new state.Token("text", "", 0);
      joined.content = last.content + t.content;
      joined.level = last.level;
      out[out.length - 1] = joined;
    } else out.push(t);
  }
  return out;
}

// File names in the text outside links become inline code.
function fileNames(state, tokens) {
  const out = [];
  let inLink = 0;
  for (const t of tokens) {
    if (t.type === "link_open") inLink++;
    if (t.type === "link_close") inLink--;
    if (t.type !== "text" || inLink > 0) { out.push(t); continue; }
    let at = 0;
    for (const m of t.content.matchAll(FILE_NAME)) {
      if (m.index > at) out.push(textToken(state, t.content.slice(at, m.index), t.level));
      const code = new state.Token("code_inline", "code", 0);
      code.content = m[0];
      code.markup = "`";
      code.level = t.level;
      out.push(code);
      at = m.index + m[0].length;
    }
    if (at === 0) out.push(t);
    else if (at < t.content.length) out.push(textToken(state, t.content.slice(at), t.level));
  }
  return out;
}

function textToken(state, content, level) {
  const t = new state.Token("text", "", 0);
  t.content = content;
  t.level = level;
  return t;
}

md.core.ruler.after("linkify", "addresses_only", addressesOnly);

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
