// Tavrin web UI: one WebSocket to /ws, one tab per session, events filtered by session_id.
//
// Text from the agent or the user is put on the page as text (textContent). The one exception
// is the agent's reply, which is Markdown: markdown-it turns it into HTML with raw HTML
// disabled, and DOMPurify reduces that to a short list of tags and http(s)/mailto links before
// anything of it reaches the document (see renderMarkdown).
//
// The live transcript and a stored one (a resumed conversation, or the reload after a
// reconnect) are drawn by the same functions, so a conversation looks as it did while it ran.
//
// When the server numbers a session's events ("seq", session streams), the page attaches to
// every session it shows a tab for, at each (re)connect, with the last number it drew there:
// the server replays what the page missed and then goes live. See "Session streams" below.
//
// The access token reaches the page in the address's fragment and lives in this tab's
// sessionStorage; see "The access token" below.

import { MAIN } from "./protocol.js";
import { $ } from "./dom.js";
import { ui } from "./model.js";
import { api, takeToken } from "./access.js";
import { connect } from "./connection.js";
import { activate, sessionView } from "./tabs.js";
import { scrollToEnd } from "./transcript.js";
import { wire } from "./controls.js";
import { handleEvent } from "./events.js";
import { renderMarkdown } from "./markdown.js";

// The transcript area shrinks when approval prompts or banners appear; keep its end in view.
new ResizeObserver(() => {
  const s = ui.sessions.get(ui.active);
  if (s) scrollToEnd(s);
}).observe($("panes"));

// The page's state and its entry points, for the browser's console and the browser tests.
Object.assign(window, { ui, api, handleEvent, renderMarkdown });

takeToken();
sessionView(MAIN);
activate(MAIN);
wire();
connect();
