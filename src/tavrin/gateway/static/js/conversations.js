// The conversation bar: the active tab's stored conversations in the picker, the current one marked.

import { $, el, fmtTime } from "./dom.js";
import { ui } from "./model.js";
import { api } from "./access.js";
import { session, renderChrome } from "./sessions.js";

export async function refreshResumeList() {
  const select = $("resume-select");
  const s = session(ui.active);
  const all = $("resume-all").checked;
  try {
    const r = await api(`/api/sessions/${encodeURIComponent(s.id)}/conversations?all=${all}`);
    if (!r.ok) return;
    const data = await r.json();
    select.replaceChildren();
    if (!data.conversations.length) {
      select.appendChild(el("option", "", "No stored conversations"));
      select.disabled = true;
      return;
    }
    select.disabled = false;
    for (const c of data.conversations) {
      const current = c.id === s.conversationId ? " (current)" : "";
      if (current && c.title !== s.conversationTitle) {
        s.conversationTitle = c.title;
        if (s.id === ui.active) renderChrome();
      }
      const opt = el("option", "", `${c.title} — ${c.message_count} msgs, ${fmtTime(c.updated_at)}${current}`);
      opt.value = c.id;
      select.appendChild(opt);
    }
  } catch (e) { /* ignore */ }
}
