// The sidebar around the conversation list: beside the page on a wide screen (the button folds it
// away and back), a drawer over the page on a narrow one, opened by the same button and closed by
// it, by Esc, by a tap beside it or by opening a conversation. The drawer takes the focus when it
// opens and gives it back to the button when it closes.

import { $ } from "./dom.js";

export const narrow = window.matchMedia("(max-width: 700px)");
const FOLDED_KEY = "tavrin.sidebar-folded";

const drawerOpen = () => document.body.classList.contains("sidebar-open");

function show() {
  const open = narrow.matches ? drawerOpen() : !document.body.classList.contains("sidebar-folded");
  $("sidebar-btn").setAttribute("aria-expanded", String(open));
  $("sidebar-backdrop").hidden = !(narrow.matches && open);
}

export function openSidebar() {
  document.body.classList.add("sidebar-open");
  show();
  $("conv-search").focus();
}

export function closeSidebar() {
  if (!drawerOpen()) return;
  const inside = $("sidebar").contains(document.activeElement);
  document.body.classList.remove("sidebar-open");
  show();
  if (inside) $("sidebar-btn").focus();
}

function toggle() {
  if (narrow.matches) {
    if (drawerOpen()) closeSidebar(); else openSidebar();
    return;
  }
  const folded = document.body.classList.toggle("sidebar-folded");
  try { localStorage.setItem(FOLDED_KEY, folded ? "1" : ""); } catch (e) { /* storage off */ }
  show();
  if (!folded) $("conv-search").focus();
}

export function wireSidebar() {
  try { document.body.classList.toggle("sidebar-folded", !!localStorage.getItem(FOLDED_KEY)); } catch (e) { /* storage off */ }
  $("sidebar-btn").addEventListener("click", toggle);
  $("sidebar-close").addEventListener("click", closeSidebar);
  $("sidebar-backdrop").addEventListener("click", closeSidebar);
  $("sidebar").addEventListener("keydown", (e) => {
    if (e.key === "Escape" && !e.defaultPrevented && drawerOpen()) { e.preventDefault(); closeSidebar(); }
  });
  narrow.addEventListener("change", () => { document.body.classList.remove("sidebar-open"); show(); });
  show();
}
