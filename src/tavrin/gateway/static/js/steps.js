// A turn's steps (its thinking and tool cards) folded under one line with its mode.

import { el } from "./dom.js";
import { view, append, grew, now } from "./pane.js";

// ---------------------------------------------------------------- a turn's steps, folded

// Whether the steps of a finished turn are shown open: the user's last choice, folded at first.
const STEPS_KEY = "tavrin.steps-open";
function stepsOpenPref() { try { return localStorage.getItem(STEPS_KEY) === "1"; } catch (e) { return false; } }
function keepStepsPref(open) { try { localStorage.setItem(STEPS_KEY, open ? "1" : "0"); } catch (e) { /* off */ } }

// The steps of a turn (its thinking and its tool cards, which are what the line counts) gather under one line, with the turn's mode banner: open while the turn runs, folded
// when it ends, unless the user chose otherwise.
function stepsGroup(id) {
  const v = view(id);
  if (v.steps) return v.steps;
  const details = el("details", "steps");
  const summary = el("summary", "steps-line");
  const count = el("span", "steps-count");
  const time = el("span", "steps-time");
  // The banner of the turn's mode, drawn just before: it moves into the line.
  const chip = v.chip && v.chip.isConnected && v.chip === lastDrawn(v) ? v.chip : null;
  if (chip) { chip.remove(); summary.append(...chip.childNodes, " "); }
  summary.append(count, time);
  const body = el("div", "steps-body");
  details.append(summary, body);
  details.open = true;
  const g = { details, count, time, body, n: 0, start: now(), end: null, chosen: false };
  summary.addEventListener("click", () => {
    g.chosen = true;
    if (g.end !== null) keepStepsPref(!details.open);
  });
  append(id, details);
  v.steps = g;
  v.groups.push(g);
  return g;
}

function lastDrawn(v) {
  const before = v.insertAt || v.queueBox;
  return before.previousElementSibling;
}

function drawSteps(g) {
  const seconds = Math.max(0, Math.round(g.end - g.start));
  if (g.n === 0) { // only the model's thinking: no step to count
    g.count.textContent = g.end === null ? "Thinking…" : "Thought";
    g.time.textContent = g.end === null ? "" : ` for ${seconds} s`;
    return;
  }
  g.count.textContent = `${g.n} step${g.n === 1 ? "" : "s"}`;
  g.time.textContent = g.end === null ? "" : ` · ${seconds} s`;
}

export function addStep(id, node, counts) {
  const g = stepsGroup(id);
  g.body.appendChild(node);
  if (counts) g.n++;
  drawSteps(g);
  view(id).bubble = null;
  grew(id);
  return node;
}

// Steps after a piece of the reply gather under a line of their own.
export function breakSteps(id) { view(id).steps = null; }

// The turn has ended: its steps fold, unless the user opened or closed them meanwhile.
export function foldSteps(id) {
  const v = view(id);
  const open = stepsOpenPref();
  for (const g of v.groups) {
    g.end = now();
    drawSteps(g);
    if (!g.chosen) g.details.open = open;
  }
  v.groups = [];
  v.steps = null;
  v.chip = null;
}

// The running turn is over without an outcome line of its own (its end came from the store).
export function endSteps(id) { if (view(id) && view(id).groups.length) foldSteps(id); }
