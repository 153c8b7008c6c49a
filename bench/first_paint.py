"""Time to first paint of a long conversation: the page opened on a tab whose conversation has
250 turns, from the navigation to the frame that shows the last reply.

    .venv/bin/python bench/first_paint.py [--turns 250] [--rounds 9] [--base 70371b6]

Two pages, side by side in one run and interleaved, against the same server and the same store:
the page as it is now (``src/tavrin/gateway/static``) and the page of a git revision (``--base``;
both pages' static files are served to the browser through Playwright's routing, so that its cost
falls on both alike). Each round opens a fresh browser context on each. Prints the medians and
their ratio.
"""

from __future__ import annotations

import argparse
import asyncio
import mimetypes
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "host"))
from serverproc import ServerProcess  # noqa: E402

STATIC = ROOT / "src" / "tavrin" / "gateway" / "static"
LAST = "The end of reply number"

# Records when the last reply is in the DOM, and the frame after that (the paint that shows it).
PROBE = """
(() => {
  window.__painted = null;
  const look = () => {
    const found = [...document.querySelectorAll('.msg, .bubble, .line, .assistant, .text')]
      .some((n) => n.textContent.includes(%r));
    if (found && window.__painted === null) {
      window.__painted = -1;
      requestAnimationFrame(() => requestAnimationFrame(() => { window.__painted = performance.now(); }));
    }
  };
  new MutationObserver(look).observe(document, { subtree: true, childList: true, characterData: true });
})();
"""


async def fill(data: Path, turns: int) -> None:
    from tavrin.core.store import ConversationStore
    from tavrin.gateway.startup_checks import STORE_FILE

    store = ConversationStore(data / STORE_FILE)
    conv = await store.create_conversation("session_main", "A long one")
    for i in range(1, turns + 1):
        turn = await store.begin_turn(conv, "standard")
        await store.add_message(conv, "user", f"Question {i}: what is in folder {i}?", {"mode": "standard"}, turn)
        reply = (
            f"Folder {i} holds these files:\n\n- `notes-{i}.md`\n- `report-{i}.pdf`\n\n"
            f"```python\nprint({i})\n```\n\n{LAST} {i}."
        )
        row = await store.start_reply(conv, reply, turn)
        await store.finish_reply(row)
        await store.end_turn(turn, "done", "", {"iterations": 1})
    await store.save_session(
        {
            "session_id": "session_main",
            "display_name": "Main",
            "icon": "💬",
            "is_connector": False,
            "created_at": 0.0,
            "conversation_id": conv,
        }
    )
    store.close()


def extract(rev: str, into: Path) -> Path:
    archive = subprocess.run(
        ["git", "-C", str(ROOT), "archive", rev, "src/tavrin/gateway/static"], check=True, capture_output=True
    ).stdout
    path = into / "base.tar"
    path.write_bytes(archive)
    with tarfile.open(path) as tar:
        tar.extractall(into, filter="data")
    return into / "src" / "tavrin" / "gateway" / "static"


def serve_from(static: Path):
    def handle(route):
        url = route.request.url
        rel = url.split("/", 3)[3].split("#")[0].split("?")[0]
        if rel == "":
            file = static / "index.html"
        elif rel.startswith("static/"):
            file = static / rel[len("static/") :]
        else:
            return route.continue_()
        # The server's own response, its headers kept (the browser's local-network checks read
        # them), with the other page's file as its body.
        response = route.fetch()
        if not file.is_file():
            return route.fulfill(response=response, status=404, body="")
        kind = mimetypes.guess_type(file.name)[0] or "application/octet-stream"
        return route.fulfill(
            response=response, status=200, body=file.read_bytes(), headers={**response.headers, "content-type": kind}
        )

    return handle


def once(browser, server, last: int, static: Path) -> float:
    context = browser.new_context(viewport={"width": 1280, "height": 860}, bypass_csp=True)
    try:
        context.add_init_script(PROBE % f"{LAST} {last}.")
        page = context.new_page()
        page.route("**/*", serve_from(static))
        page.goto(server.address)
        page.wait_for_function("window.__painted > 0", timeout=60_000)
        return page.evaluate("window.__painted")
    finally:
        context.close()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--turns", type=int, default=250)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--base", default="70371b6", help="the revision whose page is compared")
    args = parser.parse_args()
    from playwright.sync_api import sync_playwright

    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        sys.exit("no system Chromium (apt-get install chromium)")
    with tempfile.TemporaryDirectory() as tmp:
        tmp_path = Path(tmp)
        base = extract(args.base, tmp_path)
        data = tmp_path / "data"
        data.mkdir(mode=0o700)
        asyncio.run(fill(data, args.turns))
        with ServerProcess(data) as server, sync_playwright() as p:
            # A page served through the routing counts as a public one: let it reach the loopback server.
            browser = p.chromium.launch(
                executable_path=chromium, args=["--no-sandbox", "--disable-features=LocalNetworkAccessChecks"]
            )
            times: dict[str, list[float]] = {"base": [], "now": []}
            once(browser, server, args.turns, STATIC)  # warm-up: the server's caches, the browser's start
            for r in range(args.rounds):
                # Both through the same routing, so that its cost falls on both alike.
                order = [("base", base), ("now", STATIC)] if r % 2 == 0 else [("now", STATIC), ("base", base)]
                for name, static in order:
                    times[name].append(once(browser, server, args.turns, static))
            browser.close()
    # The fastest round is the one the machine's other work disturbed least; the median is shown too.
    med = {k: statistics.median(v) for k, v in times.items()}
    low = {k: min(v) for k, v in times.items()}
    print(f"{args.turns} turns, {args.rounds} rounds, first paint of the last reply (fastest, median):")
    print(f"  page at {args.base}: {low['base']:.0f} ms, {med['base']:.0f} ms")
    print(f"  page now:          {low['now']:.0f} ms, {med['now']:.0f} ms")
    print(f"  now / base:        {low['now'] / low['base']:.2f}, {med['now'] / med['base']:.2f}")


if __name__ == "__main__":
    main()
