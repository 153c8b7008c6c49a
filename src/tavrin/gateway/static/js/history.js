// Reading a long conversation back: older rows come a page at a time from the store
// (GET /api/conversations/{id}/messages?before=<row id>&limit=N) as the user scrolls up, each page
// beginning with a whole turn.

import { api } from "./access.js";
import { historyOf, prependRows, renderHistoryLine } from "./transcript.js";
import { turnStart } from "./sync.js";

const PAGE = 100;

export async function loadOlder(id) {
  const h = historyOf(id);
  if (!h || !h.more || h.loading) return;
  h.loading = true;
  renderHistoryLine(id);
  let rows = [];
  let more = h.more;
  let before = h.before;
  try {
    for (;;) {
      const r = await api(`/api/conversations/${encodeURIComponent(h.conversationId)}/messages?before=${before}&limit=${PAGE}`);
      if (!r.ok) { more = false; break; }
      const data = await r.json();
      if (typeof data.has_more !== "boolean") { h.unsupported = true; more = false; rows = []; break; }
      const older = data.messages.filter((m) => m.id < before);
      rows = older.concat(rows);
      more = data.has_more && older.length > 0;
      const cut = turnStart(rows, more);
      if (cut < rows.length || !more) { rows = rows.slice(cut); break; }
      before = rows[0].id; // all of one turn that began earlier: read further back first
    }
  } catch (e) { rows = []; /* offline: the line stays, to try again */ }
  h.loading = false;
  if (historyOf(id) !== h) return; // the pane was drawn afresh meanwhile
  if (rows.length) {
    prependRows(id, rows);
    h.before = rows[0].id;
  }
  h.more = more;
  renderHistoryLine(id);
}
