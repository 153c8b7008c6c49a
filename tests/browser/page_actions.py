"""What the browser tests do on the page the way a user does it."""


def send(page, text):
    page.fill("#input", text)
    page.press("#input", "Enter")


def new_tab(page):
    known = page.evaluate("[...ui.sessions.keys()]")
    page.click("#new-tab")
    # The new one, not the last one made (which is named "New Chat" and selected too).
    page.wait_for_function(
        """known => { const t = document.querySelector(".tab[aria-selected='true']");
        return t && !known.includes(t.dataset.session); }""",
        arg=known,
    )
    tab = page.locator(".tab[aria-selected='true']")
    tab.locator(".tab-name", has_text="New Chat").wait_for()
    return page.locator(f".pane[data-session='{tab.get_attribute('data-session')}']")
