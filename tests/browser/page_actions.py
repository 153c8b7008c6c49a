"""What the browser tests do on the page the way a user does it."""


def send(page, text):
    page.fill("#input", text)
    page.press("#input", "Enter")


def new_tab(page):
    page.click("#new-tab")
    tab = page.locator(".tab[aria-selected='true']")
    tab.locator(".tab-name", has_text="New Chat").wait_for()
    return page.locator(f".pane[data-session='{tab.get_attribute('data-session')}']")
