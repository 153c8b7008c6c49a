"""The web UI in Chromium: a chat turn, an approval from a second window, hostile text, and framing."""

import pytest
from page_actions import send

MAIN_PANE = ".pane[data-session='session_main']"


def test_chat_turn_shows_the_stream_and_the_working_indicator(open_page):
    page = open_page()
    # A quick turn can show and hide the indicator between two polls, so its changes are recorded.
    page.evaluate("""() => {
        window.__shownWorking = false;
        new MutationObserver(records => {
            if (records.some(r => r.attributeName === "hidden" && r.oldValue !== null)) window.__shownWorking = true;
        }).observe(document.getElementById("working"), {attributes: true, attributeOldValue: true});
    }""")
    done_before = page.locator(f"{MAIN_PANE} .line.done").count()
    send(page, "What is on my screen?")
    page.locator(f"{MAIN_PANE} .line.done").nth(done_before).wait_for()
    assert page.evaluate("window.__shownWorking")
    pane = page.locator(MAIN_PANE)
    assert pane.locator(".msg.user .body").last.text_content() == "What is on my screen?"
    assert "What is on my screen?" in pane.locator(".msg.assistant .body").last.text_content()
    assert pane.locator(".tool .tool-name", has_text="read_screen").count() >= 1
    page.wait_for_selector("#working", state="hidden")
    assert page.problems == []


def test_approval_from_a_second_window(open_page):
    asker, approver = open_page(), open_page()
    done_before = asker.locator(f"{MAIN_PANE} .line.done").count()
    send(asker, "please delete old-report.pdf")
    card = approver.locator(".approval", has_text="delete_file")
    card.locator("button.approve").click()
    card.locator(".outcome", has_text="Approved").wait_for()
    asker.locator(f"{MAIN_PANE} .line.done").nth(done_before).wait_for()
    assert "Done: delete_file" in asker.locator(f"{MAIN_PANE} .msg.assistant .body").last.text_content()
    # The asking window's prompt was closed too, without a click there.
    asker.locator(".approval .outcome", has_text="Approved").wait_for()
    assert asker.problems == [] and approver.problems == []


def test_markup_in_messages_is_shown_as_text_and_never_runs(open_page):
    page = open_page()
    page.click("#new-tab")  # a new tab is titled from its first message: that path too
    tab = page.locator(".tab[aria-selected='true']")
    tab.locator(".tab-name", has_text="New Chat").wait_for()
    session_id = tab.get_attribute("data-session")
    pane = page.locator(f".pane[data-session='{session_id}']")
    hostile = "<img src=x onerror=alert(1)> and <script>window.__owned = 1</script>"
    send(page, hostile)
    pane.locator(".line.done").wait_for()
    assert pane.locator(".msg.user .body").last.text_content() == hostile
    assert hostile in pane.locator(".msg.assistant .body").last.text_content()  # the agent echoes it
    tab.locator(".tab-name", has_text="<img src=x").wait_for()
    assert page.locator("img[src='x']").count() == 0
    assert page.locator(".pane script, #tabs script").count() == 0
    assert page.evaluate("window.__owned") is None
    assert page.problems == []


LOOKALIKE = "\u0430\u0440\u0440le.com"  # Cyrillic letters that look like "app"


@pytest.mark.parametrize(
    "markdown, shown",
    [
        ("[paypal.com](https://evil.example/login)", "(→ evil.example)"),
        ("[https://bank.example/](https://bank.example.evil.io/)", "(→ bank.example.evil.io)"),
        ("Pay at [https://bank.example@evil.example](https://bank.example@evil.example/)", "(→ evil.example)"),
        ("[support@bank.example](mailto:thief@evil.example)", "(→ thief@evil.example)"),
        (f"[apple.com](https://{LOOKALIKE}/)", "(→ xn--le-6kc8da.com)"),
        (f"see www.{LOOKALIKE} today", "(→ www.xn--le-6kc8da.com)"),  # an address written as one, made a link
        ("[www.example.org/docs](https://example.org/docs)", None),
        ("<https://Example.org./a>", None),
        ("[the Markdown guide](https://evil.example/)", None),
    ],
    ids=[
        "host name",
        "url",
        "user name in front",
        "e-mail",
        "look-alike target",
        "look-alike itself",
        "www",
        "autolink",
        "plain words",
    ],
)
def test_a_link_that_reads_like_another_address_shows_where_it_goes(open_page, markdown, shown):
    """A reply's link whose text names one host while it leads to another, unflagged (or an honest one flagged)."""
    page = open_page()
    links = page.evaluate(
        """md => { const box = document.createElement("div"); box.append(renderMarkdown(md));
        return [...box.querySelectorAll("a")].map(a => { const next = a.nextElementSibling;
            return {href: a.getAttribute("href"), title: a.title, note: next && next.matches(".link-target") ? next.textContent : null};
        }); }""",
        markdown,
    )
    assert len(links) == 1
    assert links[0]["note"] == shown
    assert links[0]["title"] == (links[0]["href"] if shown else "")


def test_a_framing_page_cannot_show_the_ui(open_page, app_server):
    page = open_page()  # signed in: the framed page would find the token in this tab's storage
    # The framing page comes from the server's own origin, the strongest case: only the
    # anti-framing headers stand between it and the UI.
    page.route(
        app_server.http + "/framer.html",
        lambda route: route.fulfill(
            content_type="text/html", body='<p>Click to win!</p><iframe id="ui" src="/" style="opacity:0.01"></iframe>'
        ),
    )
    page.goto(app_server.http + "/framer.html", wait_until="load")
    framed = page.frame_locator("#ui")
    assert page.locator("#ui").count() == 1
    assert framed.locator("#tab-list, #conn, button").count() == 0
