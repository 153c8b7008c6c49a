// Syntax colouring for code the user must read before approving it (a file's content, a diff):
// strings, comments, numbers and keywords, by the file's extension, a line at a time. No DOM but
// the spans it returns; anything it does not know stays plain text.

import { el } from "./dom.js";

const C_LIKE = "break case catch class const continue default delete do else enum export extends false finally for " +
  "function if import in instanceof interface let new null package private protected public return static struct " +
  "super switch this throw true try typeof var void while yield async await fn impl match mod pub use mut loop " +
  "func go defer chan map range type int long char float double bool auto namespace template typename include";
const KEYWORDS = {
  py: "and as assert async await break class continue def del elif else except False finally for from global if " +
    "import in is lambda None nonlocal not or pass raise return True try while with yield self",
  sh: "if then else elif fi for in do done case esac while until function return local export readonly set unset " +
    "echo exit shift source true false",
  c: C_LIKE,
  json: "true false null",
  yaml: "true false null yes no on off",
};
const LANGS = {
  py: "py", pyw: "py", pyi: "py",
  sh: "sh", bash: "sh", zsh: "sh",
  js: "c", mjs: "c", cjs: "c", jsx: "c", ts: "c", tsx: "c", java: "c", c: "c", h: "c", cc: "c", cpp: "c", hpp: "c",
  cs: "c", go: "c", rs: "c", swift: "c", kt: "c", css: "c", scss: "c",
  json: "json", yaml: "yaml", yml: "yaml", toml: "yaml", ini: "yaml", conf: "yaml",
};
// Each language's tokens: comment | string | number | word.
const HASH = /(#.*$)|("(?:[^"\\]|\\.)*"?|'(?:[^'\\]|\\.)*'?)|(\b\d[\d_.]*(?:e[+-]?\d+)?\b)|([A-Za-z_][\w]*)/g;
const SLASH = /(\/\/.*$|\/\*.*?(?:\*\/|$))|("(?:[^"\\]|\\.)*"?|'(?:[^'\\]|\\.)*'?|`(?:[^`\\]|\\.)*`?)|(\b\d[\w.]*\b)|([A-Za-z_$][\w$]*)/g;
const PLAIN = /()("(?:[^"\\]|\\.)*"?)|(-?\b\d[\d.]*(?:e[+-]?\d+)?\b)|([A-Za-z_]\w*)/g;
const PATTERNS = { py: HASH, sh: HASH, yaml: HASH, c: SLASH, json: PLAIN };
const sets = {};

// The language of a file name's extension (its name in the code head), or "" for none known.
export function languageOf(ext) {
  return LANGS[String(ext || "").toLowerCase()] || "";
}

// [[kind, text]] for one line; kind: "" (plain), "comment", "string", "number", "keyword".
export function tokens(line, lang) {
  const pattern = PATTERNS[lang];
  if (!pattern) return [["", line]];
  const words = sets[lang] || (sets[lang] = new Set(KEYWORDS[lang === "c" ? "c" : lang].split(" ")));
  const out = [];
  let at = 0;
  pattern.lastIndex = 0;
  for (let m = pattern.exec(line); m; m = pattern.exec(line)) {
    if (m[0] === "") { pattern.lastIndex++; continue; }
    const kind = m[1] ? "comment" : m[2] ? "string" : m[3] ? "number" : words.has(m[4]) ? "keyword" : "";
    if (!kind) continue;
    if (m.index > at) out.push(["", line.slice(at, m.index)]);
    out.push([kind, m[0]]);
    at = m.index + m[0].length;
  }
  if (at < line.length) out.push(["", line.slice(at)]);
  return out;
}

// One line as nodes: coloured spans and plain text.
export function highlightLine(line, lang) {
  const frag = document.createDocumentFragment();
  for (const [kind, text] of tokens(line, lang)) frag.append(kind ? el("span", "tok-" + kind, text) : text);
  return frag;
}

// Several lines (a block's text) as nodes, with their line ends.
export function highlight(text, lang) {
  const frag = document.createDocumentFragment();
  String(text).split("\n").forEach((line, i) => {
    if (i) frag.append("\n");
    frag.append(highlightLine(line, lang));
  });
  return frag;
}
