// Tool cards: a call and its result as one card, screenshots, and a command stopped while it ran.

import { $, el, pretty } from "./dom.js";
import { view, grew, scrollToEnd } from "./pane.js";
import { addStep } from "./steps.js";
import { revealHidden } from "./reveal.js";
import { describeAction, markAt } from "./cuaction.js";
import { serverLabel } from "./mcpview.js";

// A tool call and its result make one card, under the call's name; a result whose call the pane
// does not show gets a card of its own.
const LONG_ARGS = 300;

// The arguments of each Computer Use call's card, for the point its screenshot marks.
const actionArgs = new WeakMap();

// A tool's arguments or output with its invisible characters drawn (see reveal.js).
function revealed(pre) {
  if (revealHidden(pre)) pre.classList.add("has-hidden");
  return pre;
}

export function addToolCall(id, ev) {
  const card = el("div", "tool call");
  const head = el("div", "tool-head");
  // A Computer Use action reads as a sentence ("Click at (412, 230)"), its tool's name beside it.
  const said = String(ev.tool || "").startsWith("computer.") ? describeAction(ev.arguments) : null;
  head.append(el("span", "tool-icon", "🔧 "), el("span", "tool-name", said || ev.tool || "tool"));
  if (said) {
    head.appendChild(el("span", "tool-kind", ev.tool));
    actionArgs.set(card, ev.arguments);
  }
  const server = serverLabel(ev); // a tool of an MCP server names its server
  if (server) head.appendChild(server);
  card.appendChild(head);
  const args = pretty(ev.arguments);
  if (args && args !== "{}") {
    const pre = revealed(el("pre", "tool-args", args));
    if (args.length <= LONG_ARGS) card.appendChild(pre);
    else { // (a file's whole content, say: the approval card shows it as it is)
      const fold = el("details", "tool-args-fold");
      fold.append(el("summary", "", `Arguments (${args.length} characters)`), pre);
      card.appendChild(fold);
    }
  }
  if (ev.id !== undefined && ev.id !== null) view(id).calls.set(String(ev.id), card);
  addStep(id, card, true);
}

const BASE64 = /^[A-Za-z0-9+/]+={0,2}$/;

export function addToolResult(id, ev) {
  const v = view(id);
  const key = ev.id === undefined || ev.id === null ? null : String(ev.id);
  let card = key !== null ? v.calls.get(key) : undefined;
  // A command's own result can follow the stop that ended its turn (the stop's reply comes
  // first): it goes to the card the stop marked, with what the command had printed.
  if (!card && key !== null && ev.stopped === true) card = v.stoppedCalls.get(key);
  if (key !== null) v.stoppedCalls.delete(key);
  const own = !card || !card.isConnected;
  if (own) {
    card = el("div", "tool");
    const head = el("div", "tool-head");
    head.append(el("span", "tool-icon"), el("span", "tool-name", ev.tool || "result"));
    card.appendChild(head);
  } else v.calls.delete(key);
  if (!own) commandEnded(card, ev);
  card.classList.add("result");
  const output = pretty(ev.result);
  // A command stopped while it ran ("stopped": true): "Stopped", with the output it had.
  const stopped = ev.stopped === true;
  if (stopped) markStopped(card, "Stopped");
  else if (ev.error) card.classList.add("failed");
  if (!stopped) card.querySelector(".tool-icon").textContent = ev.error ? "⚠️ " : "✔ ";
  card.appendChild(revealed(el("pre", "tool-output", output)));
  if (ev.screenshot) {
    // Live: the screenshot itself; stored: its thumbnail, or a note that it was not kept.
    const data = typeof ev.image_base64 === "string" ? ev.image_base64 : ev.thumbnail_base64;
    if (typeof data === "string" && BASE64.test(data)) {
      const img = el("img", "shot" + (data === ev.thumbnail_base64 ? " thumb" : ""));
      img.alt = "Screenshot";
      // An image grows the transcript once it has loaded, after the scroll to its end: follow it
      // there, unless the user has scrolled away meanwhile.
      img.addEventListener("load", () => scrollToEnd(id));
      img.src = "data:image/png;base64," + data;
      const open = el("button", "shot-open");
      open.type = "button";
      open.setAttribute("aria-label", `Open the screenshot of ${ev.tool || "the tool"} large`);
      open.appendChild(img);
      open.addEventListener("click", () => showShot(img.src));
      card.appendChild(open);
      const args = actionArgs.get(card);
      if (args) {
        // The action's point on the picture: in the screenshot's own pixels, which a thumbnail
        // stands for at a smaller size (the store keeps the size it was made from).
        const thumb = data === ev.thumbnail_base64;
        img.addEventListener("load", () => {
          const mark = markAt(args, thumb ? ev.image_width : img.naturalWidth, thumb ? ev.image_height : img.naturalHeight);
          if (!mark) return;
          const dot = el("span", "shot-mark");
          dot.style.left = (mark.left * 100).toFixed(3) + "%";
          dot.style.top = (mark.top * 100).toFixed(3) + "%";
          dot.setAttribute("aria-hidden", "true");
          open.appendChild(dot);
        }, { once: true });
      }
    } else {
      card.appendChild(el("div", "shot-omitted", "🖼 Screenshot (not kept)"));
    }
  }
  if (own) addStep(id, card, true);
  else grew(id);
}

// ---------------------------------------------------------------- a command as it runs
//
// A command's card shows how long it has run and what it prints as it prints it (the last
// LIVE_CHARS of it, as a terminal would), until its result replaces that with the whole output
// and its exit status.
const LIVE_CHARS = 16 * 1024;
const running = new Map(); // card -> { started, timer, waiting }

export function commandStarted(id, ev, waiting) {
  const card = ev.id === undefined || ev.id === null ? null : view(id).calls.get(String(ev.id));
  if (!card || running.has(card)) return;
  const state = el("span", "tool-state");
  card.querySelector(".tool-head").appendChild(state);
  const entry = { started: Date.now(), timer: null, waiting, state };
  const tick = () => {
    if (!card.isConnected || card.classList.contains("result") || card.classList.contains("stopped")) {
      clearInterval(entry.timer);
      running.delete(card);
      if (card.classList.contains("stopped")) state.remove(); // ("Stopped" says it)
      return;
    }
    // (While its approval waits it has not started: the clock starts when it does.)
    if (entry.waiting()) { entry.started = Date.now(); state.textContent = "waiting for approval"; return; }
    state.textContent = `running for ${Math.round((Date.now() - entry.started) / 1000)} s`;
  };
  entry.timer = setInterval(tick, 1000);
  running.set(card, entry);
  tick();
}

export function addToolOutput(id, ev) {
  const card = ev.id === undefined || ev.id === null ? null : view(id).calls.get(String(ev.id));
  if (!card || card.classList.contains("result")) return;
  let live = card.querySelector(".tool-live");
  if (!live) {
    live = el("pre", "tool-live");
    live.setAttribute("aria-label", `Output of ${ev.tool || "the command"} so far`);
    card.appendChild(live);
  }
  const text = (live.textContent + String(ev.text || "")).slice(-LIVE_CHARS);
  live.textContent = text;
  revealed(live);
  live.scrollTop = live.scrollHeight;
  grew(id);
}

// The result of a command that ran: its exit status in the card's head, the live output gone
// (the result holds all of it).
function commandEnded(card, ev) {
  const entry = running.get(card);
  if (entry) { clearInterval(entry.timer); running.delete(card); }
  const live = card.querySelector(".tool-live");
  if (live) live.remove();
  const exit = /^exit status (-?\d+)/.exec(String(ev.result || ""));
  const state = entry ? entry.state : null;
  if (!state) return;
  const seconds = Math.round((Date.now() - entry.started) / 1000);
  if (ev.stopped === true) state.remove(); // ("Stopped" says it)
  else if (exit) state.textContent = `exit status ${exit[1]} · ${seconds} s`;
  else state.textContent = ev.error ? `failed after ${seconds} s` : `${seconds} s`;
}

function markStopped(card, text) {
  card.classList.add("stopped");
  card.querySelector(".tool-icon").textContent = "⏹ ";
  const state = card.querySelector(".tool-state");
  if (state) state.textContent = text;
  else card.querySelector(".tool-head").appendChild(el("span", "tool-state", text));
}

// A turn that did not finish: its calls that never got a result say so, instead of showing only
// the call as if it were still running.
export function unfinishedCalls(id, outcome) {
  const v = view(id);
  const text = outcome === "interrupted" ? "Interrupted" : "Stopped";
  v.stoppedCalls.clear();
  for (const [key, card] of v.calls) {
    if (!card.isConnected || card.classList.contains("result")) continue;
    markStopped(card, text);
    v.stoppedCalls.set(key, card);
  }
  v.calls.clear();
}

// A screenshot at its full size, over the page; Esc or a click closes it.
function showShot(src) {
  const dialog = $("shot-view");
  const img = el("img", "shot-large");
  img.alt = "Screenshot, full size";
  img.src = src;
  dialog.querySelector(".shot-frame").replaceChildren(img);
  dialog.showModal();
}
