// What a file write will change, drawn for its approval card: the file's state ("new file", or
// how many lines are added and removed), and the diff against what the file holds now, or the new
// content whole, coloured by the file's extension. Long ones fold.

import { el } from "./dom.js";
import { lineDiff, hunks, counts, splitLines } from "./diff.js";
import { languageOf, highlight, highlightLine } from "./highlight.js";

export const FOLD_LINES = 12;

// A block of code under a head naming its language, folded when long.
export function codeBlock(text, ext, label) {
  const lang = languageOf(ext);
  const pre = el("pre", "approval-code-text");
  const code = el("code");
  code.append(highlight(text, lang));
  pre.appendChild(code);
  pre.setAttribute("aria-label", label);
  return folded(pre, ext || "text", label, splitLines(text).length);
}

function folded(pre, langName, label, lines) {
  const box = el("div", "approval-code");
  const head = el("div", "code-head");
  head.append(el("span", "code-lang", langName));
  if (lines <= FOLD_LINES) { box.append(head, pre); return box; }
  const fold = el("details", "approval-fold");
  fold.append(el("summary", "", `${label}: ${lines} lines`), pre);
  box.append(head, fold);
  return box;
}

// current: { exists, content, note } as the server has the file now. The state line's words, and
// the block to show: a diff, or the new content whole (a new file, or one that cannot be compared).
export function fileChange(path, ext, content, current) {
  const state = el("div", "approval-file-state");
  if (!current.exists) {
    state.append(el("span", "file-new", "New file"), ` · ${splitLines(content).length} lines`);
    return { state, block: codeBlock(content, ext, "New content") };
  }
  if (typeof current.content !== "string") {
    state.append(el("span", "file-replaced", "Replaces the file"), " · " + (current.note || "its content is not shown"));
    return { state, block: codeBlock(content, ext, "New content") };
  }
  const ops = lineDiff(current.content, content);
  const { added, removed } = counts(ops);
  if (!added && !removed) {
    state.append(el("span", "file-same", "No change"), " · the file already holds this content");
    return { state, block: codeBlock(content, ext, "Content") };
  }
  state.append(el("span", "file-changed", "Changes the file"), ` · ${added} added, ${removed} removed`);
  return { state, block: diffBlock(ops, ext) };
}

function diffBlock(ops, ext) {
  const lang = languageOf(ext);
  const pre = el("pre", "approval-code-text approval-diff");
  const code = el("code");
  let lines = 0;
  for (const o of hunks(ops)) {
    const row = el("span", "diff-line " + ({ "+": "diff-add", "-": "diff-del", " ": "diff-keep", "…": "diff-skip" }[o.op]));
    if (o.op === "…") row.append(`⋯ ${o.count} unchanged line${o.count === 1 ? "" : "s"}`);
    else {
      // The sign is read out too: a screen reader tells the added lines from the removed ones.
      row.append(el("span", "diff-sign", o.op === " " ? " " : o.op === "+" ? "+" : "−"), highlightLine(o.text, lang));
    }
    code.append(row, "\n");
    lines++;
  }
  pre.appendChild(code);
  pre.setAttribute("aria-label", "Changes");
  return folded(pre, (ext || "text") + " · diff", "Changes", lines);
}
