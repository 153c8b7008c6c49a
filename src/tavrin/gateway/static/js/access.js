import { ui } from "./model.js";

// ---------------------------------------------------------------- the access token
//
// The server prints its address with the token in the fragment (#token=...), which the browser
// sends to no server. The page moves it into sessionStorage and takes it out of the address bar.
// sessionStorage belongs to this origin (scheme, host and port) in this tab alone and ends with the
// tab: a page that another program serves on another port cannot read it, and nothing of it goes
// out with the requests the browser makes by itself. A cookie would: browsers hand a host's
// cookies to every port of it. (localStorage would outlive the tab, so a program that listens on
// this port after the server stopped could read it from a bookmark's visit.) The token goes to
// /api/* as "Authorization: Bearer"; the WebSocket, which cannot carry that header, is opened with
// a single-use ticket fetched with it.

export const TOKEN_KEY = "tavrin.token";
// refused(): what the page shows once the server has refused it (main.js says).
export const access = { token: null, refused: false, onRefused: () => {} };

export function takeToken() {
  const params = new URLSearchParams(location.hash.slice(1));
  const given = params.get("token");
  if (given) {
    access.token = given;
    try { sessionStorage.setItem(TOKEN_KEY, given); } catch (e) { /* no storage: this load only */ }
    params.delete("token");
    const clean = new URL(location.href); // same origin whatever the path looks like
    clean.hash = params.toString();
    history.replaceState(history.state, "", clean.href);
  } else {
    try { access.token = sessionStorage.getItem(TOKEN_KEY); } catch (e) { access.token = null; }
  }
}

// fetch() for /api/*, with the token. Cookies are not sent: the server gives them no meaning.
export async function api(path, options = {}) {
  const headers = new Headers(options.headers || {});
  if (access.token) headers.set("Authorization", `Bearer ${access.token}`);
  const response = await fetch(path, { ...options, headers, credentials: "omit" });
  if (response.status === 401) refuseAccess();
  return response;
}

// No token, or not this server's: the page stops trying, and says how to get the address.
export function refuseAccess() {
  if (access.refused) return;
  access.refused = true;
  access.token = null;
  try { sessionStorage.removeItem(TOKEN_KEY); } catch (e) { /* nothing stored */ }
  const ws = ui.ws;
  ui.ws = null;
  if (ws) ws.close();
  access.onRefused();
}
