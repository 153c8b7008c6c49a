// Tavrin web UI: one WebSocket to /ws, one tab per session, events filtered by session_id.
//
// Text from the agent or the user is put on the page as text (textContent). The one exception
// is the agent's reply, which is Markdown: markdown-it turns it into HTML with raw HTML
// disabled, and DOMPurify reduces that to a short list of tags and http(s)/mailto links before
// anything of it reaches the document (see markdown.js).
//
// The modules import one way (tests/browser/test_page_layers.py holds them to it): the pure ones
// (protocol.js, model.js, sync.js, attachments.js), the token and the socket (access.js,
// connection.js), the views, which draw and report what the user does through callbacks (tabs.js,
// status.js, markdown.js, sidebar.js, attachview.js, mcpview.js and the transcript's parts, gathered by
// transcript.js), then the actions (events.js, sessions.js, streams.js, history.js, approvals.js,
// conversations.js, heartbeat.js, notify.js, controls.js, mcp.js). This module wires them.

import { MAIN } from "./protocol.js";
import { $ } from "./dom.js";
import { ui, keptPlace } from "./model.js";
import { access, api, takeToken } from "./access.js";
import { connect, hooks } from "./connection.js";
import { showConnection, showRefused } from "./status.js";
import { loadHeartbeat, wireHeartbeat } from "./heartbeat.js";
import { session, activate, renderChrome, sendChat } from "./sessions.js";
import { markStale, scrollToEnd, onTranscriptAsks } from "./transcript.js";
import { wireTabMenu } from "./tabs.js";
import { loadOlder } from "./history.js";
import { regenerate, editMessage, showVersion } from "./branches.js";
import { wire } from "./controls.js";
import { wireConversations } from "./conversations.js";
import { wireSidebar } from "./sidebar.js";
import { handleEvent } from "./events.js";
import { renderMarkdown } from "./markdown.js";
import { wireNotifications } from "./notify.js";
import { wireMcp } from "./mcp.js";

// The transcript area shrinks when approval prompts or banners appear; keep its end in view.
new ResizeObserver(() => scrollToEnd(ui.active)).observe($("panes"));

// The page's state and its entry points, for the browser's console and the browser tests.
Object.assign(window, { ui, api, handleEvent, renderMarkdown });

// The token and the socket know nothing of the page: what they lead to is said here.
access.onRefused = showRefused;
Object.assign(hooks, {
  event: handleEvent,
  opened: () => showConnection("on"),
  asked: loadHeartbeat,
  closed: () => {
    showConnection("off");
    for (const s of ui.sessions.values()) markStale(s.id, true);
  },
});

onTranscriptAsks({ readBack: loadOlder, resend: sendChat, regenerate, edit: editMessage, showVersion });

takeToken();
session(MAIN);
activate(MAIN, { initial: true });
ui.wantActive = keptPlace.active; // the tab this window showed before a reload, once it is listed
wire();
wireTabMenu((id) => activate(id));
wireHeartbeat();
wireNotifications();
wireMcp();
wireConversations({ activate, renderChrome });
wireSidebar();
connect();
