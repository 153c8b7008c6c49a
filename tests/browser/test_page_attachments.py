"""Attachments as a user adds them: by the button and by dropping files, sent to a model that takes
pictures (a scripted one), shown in the transcript and again after a reload; files the agent would
refuse are refused on the page, and pictures too big for one message are made smaller there."""

import base64
import importlib.util

import pytest

import fake_model as fm
from serverproc import ServerProcess, require_gateway

from tavrin.core.png import encode_png

expect = pytest.importorskip("playwright.sync_api").expect
# A server with a model imports LiteLLM at start-up: seconds of work, far more on a loaded machine.
pytestmark = pytest.mark.timeout(600)

FRAME_LIMIT = 1024 * 1024


@pytest.fixture(scope="module")
def model():
    with fm.FakeModelServer() as server:
        yield server


@pytest.fixture(scope="module")
def vision_server(model, tmp_path_factory):
    require_gateway()
    if importlib.util.find_spec("litellm") is None:  # (not imported here: it would go online)
        pytest.skip("the model extra is not installed")
    data = tmp_path_factory.mktemp("attach-data")
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("OPENAI_API_KEY", "sk-test-attachments")
        server = ServerProcess(
            data,
            log_path=data.parent / "attach-server.log",
            args=("--model", "openai/fake", "--api-base", model.url, "--vision"),
        ).start(timeout=240)
    yield server
    server.stop()


def drop(page, selector, files_js):
    """Drop files (a JS expression giving File objects, awaited) on the element, as a drag would."""
    transfer = page.evaluate_handle(f"""async () => {{
        const dt = new DataTransfer();
        for (const f of await ({files_js})) dt.items.add(f);
        return dt;
    }}""")
    for kind in ("dragenter", "dragover", "drop"):
        page.dispatch_event(selector, kind, {"dataTransfer": transfer})


def axe_problems(page):
    pytest.importorskip("axe_playwright_python")
    from axe_playwright_python.sync_playwright import Axe

    results = Axe().run(page).response
    return [
        f"{v['id']} ({v['impact']}): {[(n['target'], n.get('any')) for n in v['nodes']]}"
        for v in results["violations"]
        if v["impact"] in ("serious", "critical")
    ]


def last_user_parts(model):
    return model.requests[-1]["messages"][-1]["content"]


# A photo as a user attaches one: a JPEG, kept as it is (it is small enough to go unchanged).
PHOTO = """(async () => {
    const c = new OffscreenCanvas(300, 200), ctx = c.getContext('2d'), g = ctx.createLinearGradient(0, 0, 300, 200);
    g.addColorStop(0, '#c33'); g.addColorStop(1, '#36c');
    ctx.fillStyle = g; ctx.fillRect(0, 0, 300, 200);
    return [new File([await c.convertToBlob({type: 'image/jpeg', quality: 0.9})], 'photo.jpg', {type: 'image/jpeg'})];
})()"""


def test_a_picture_and_a_file_reach_the_model_and_stay_in_the_transcript(open_page, vision_server, model, tmp_path):
    """Catches attachments that never reach the agent, a picture that reaches the model as text, a
    transcript that shows no files, files lost on a reload or missing in a second window, a JPEG
    without its thumbnail once drawn from the store, the store keeping a picture's bytes, a too-big
    file sent regardless, and chips or message files that axe-core finds fault with."""
    pixels = bytes((x * 3) % 256 for x in range(120 * 90 * 3))
    png = encode_png(120, 90, pixels)
    (tmp_path / "square.png").write_bytes(png)
    page = open_page(server=vision_server)
    pane = page.locator(".pane[data-session='session_main']")
    chips = page.locator("#attach-list .attach-chip")

    with page.expect_file_chooser() as chooser:
        page.get_by_role("button", name="Attach files").click()
    chooser.value.set_files(str(tmp_path / "square.png"))
    drop(page, "#panes", "[new File(['remember the milk\\n'], 'notes.txt', {type: 'text/plain'})]")
    drop(page, "#composer", PHOTO)
    expect(chips).to_have_count(3)
    expect(chips.nth(0).locator("img.attach-thumb")).to_be_visible()
    expect(chips.nth(1)).to_contain_text("notes.txt")
    expect(chips.nth(2).locator("img.attach-thumb")).to_be_visible()

    # A file larger than the agent takes is refused on the page, with the reason; the others stay.
    drop(page, "#composer", "[new File(['x'.repeat(100 * 1024)], 'big.txt', {type: 'text/plain'})]")
    expect(page.locator("#attach-note")).to_have_text("The file big.txt is too big (100 KiB; at most 64 KiB).")
    drop(
        page, "#composer", "[new File([new Uint8Array([80, 75, 3, 4, 0, 0, 255])], 'a.zip', {type: 'application/zip'})]"
    )
    expect(page.locator("#attach-note")).to_contain_text("a.zip is of a kind that cannot be sent (application/zip)")
    expect(chips).to_have_count(3)
    assert axe_problems(page) == []

    other = open_page(server=vision_server)  # a second window, which sees the turn live
    model.replies = [fm.text("A striped square and a note.")]
    page.fill("#input", "What are these?")
    page.press("#input", "Enter")
    pane.locator(".line.done").wait_for()
    expect(chips).to_have_count(0)

    parts = last_user_parts(model)
    assert parts[0] == {"type": "text", "text": "What are these?"}
    assert parts[1] == {
        "type": "image_url",
        "image_url": {"url": "data:image/png;base64," + base64.b64encode(png).decode()},
    }
    assert parts[2]["type"] == "text" and "notes.txt" in parts[2]["text"] and "remember the milk" in parts[2]["text"]
    assert parts[3]["image_url"]["url"].startswith("data:image/jpeg;base64,/9j/")
    stored = page.evaluate("""async () => {
        const id = (await (await api('/api/sessions/session_main/conversations')).json()).current;
        const rows = (await (await api(`/api/conversations/${id}/messages`)).json()).messages;
        return rows.filter((m) => m.role === 'user').pop().meta.attachments;
    }""")
    assert [(a["name"], a.get("thumbnail_type")) for a in stored] == [
        ("square.png", "image/jpeg"),
        ("notes.txt", None),
        ("photo.jpg", "image/jpeg"),
    ]
    assert all("data" not in a and len(a.get("thumbnail_base64", "")) <= 24_000 for a in stored)

    def shows_files(page=page):
        message = page.locator(".pane[data-session='session_main'] .msg.user").last
        expect(message.locator(".body")).to_have_text("What are these?")
        thumbs = message.locator("img.msg-thumb")
        expect(thumbs).to_have_count(2)
        for i in range(2):
            expect(thumbs.nth(i)).to_have_js_property("complete", True)
            assert thumbs.nth(i).evaluate("i => i.naturalWidth") > 0
        expect(message.locator(".msg-file.named")).to_contain_text("notes.txt")

    shows_files()
    other.locator(".pane[data-session='session_main'] .line.done").wait_for()
    shows_files(other)  # its message, once the store has it
    page.reload()
    page.wait_for_selector("#conn.conn-on")
    pane.locator(".line.done").wait_for()
    shows_files()  # drawn from the store: the picture's thumbnail, the file by name
    page.emulate_media(color_scheme="dark")
    assert axe_problems(page) == []
    assert page.problems == []


# Noise, which no encoder can squeeze: the worst case for fitting pictures into one message.
NOISE = """Promise.all([['first.png', 2600, 1700, 7], ['second.png', 2400, 1800, 11]].map(async ([name, w, h, seed]) => {
    const c = new OffscreenCanvas(w, h), ctx = c.getContext('2d'), img = ctx.createImageData(w, h);
    let s = seed;
    for (let i = 0; i < img.data.length; i++) { s ^= s << 13; s ^= s >>> 17; s ^= s << 5; img.data[i] = i % 4 === 3 ? 255 : s & 255; }
    ctx.putImageData(img, 0, 0);
    return new File([await c.convertToBlob({type: 'image/png'})], name, {type: 'image/png'});
}))"""


def test_big_pictures_are_made_smaller_until_the_message_fits(open_page, vision_server, model):
    """Catches a message larger than the server takes (it would close the connection), pictures sent
    beyond the agent's bound, or a big picture refused instead of made smaller."""
    page = open_page(server=vision_server)
    pane = page.locator(".pane[data-session='session_main']")
    page.evaluate("""() => {
        window.sentSizes = [];
        const ws = ui.ws, send = ws.send.bind(ws);
        ws.send = (data) => { sentSizes.push(new TextEncoder().encode(data).length); send(data); };
    }""")
    drop(page, "#composer", NOISE)
    chips = page.locator("#attach-list .attach-chip:not(.reading)")
    expect(chips).to_have_count(2, timeout=60_000)
    expect(chips.nth(0)).to_contain_text("first.jpg")

    before, done = len(model.requests), pane.locator(".line.done").count()  # (earlier turns of this server)
    page.fill("#input", "Two big pictures")
    page.click("#send")
    pane.locator(".msg.user .body", has_text="Two big pictures").wait_for(timeout=60_000)
    expect(pane.locator(".line.done")).to_have_count(done + 1)
    assert len(model.requests) == before + 1
    chat_size = max(page.evaluate("sentSizes"))
    assert FRAME_LIMIT // 2 < chat_size <= FRAME_LIMIT  # as large as fits, and no larger
    images = [p["image_url"]["url"] for p in last_user_parts(model) if p["type"] == "image_url"]
    assert len(images) == 2
    for url in images:
        head, data = url.split(",", 1)
        assert head == "data:image/jpeg;base64" and len(base64.b64decode(data)) <= 512 * 1024
    expect(pane.locator(".msg.user").last.locator("img.msg-thumb")).to_have_count(2)
    assert page.problems == []


def test_a_message_with_a_file_typed_offline_goes_out_with_it(open_page, tmp_path):
    """Catches the attachments of a message queued while offline being dropped when it goes out."""
    server = ServerProcess(tmp_path / "data", log_path=tmp_path / "server.log").start()
    try:
        page = open_page(server=server)
        pane = page.locator(".pane[data-session='session_main']")
        server.stop()
        page.wait_for_selector("#conn.conn-off")
        drop(page, "#composer", "[new File(['a list\\n'], 'todo.txt', {type: 'text/plain'})]")
        expect(page.locator("#attach-list .attach-chip")).to_have_count(1)
        page.fill("#input", "written on the train")
        page.press("#input", "Enter")
        expect(pane.locator(".msg.user.queued .msg-file")).to_contain_text("todo.txt")
        expect(page.locator("#attach-list .attach-chip")).to_have_count(0)
        server.start()
        pane.locator(".line.done").wait_for()
        expect(pane.locator(".msg.user:not(.queued) .msg-file")).to_contain_text("todo.txt")
        stored = page.evaluate("""async () => {
            const id = (await (await api('/api/sessions/session_main/conversations')).json()).current;
            const rows = (await (await api(`/api/conversations/${id}/messages`)).json()).messages;
            return rows.find((m) => m.role === 'user').meta.attachments;
        }""")
        assert [a["name"] for a in stored] == ["todo.txt"]

        # Asked again, it would go out without its file, which is not kept: refused, and said why.
        answer = pane.locator(".msg.assistant").last
        answer.hover()
        answer.locator(".msg-regen").click()
        expect(page.locator(".toast.error")).to_contain_text("not kept once it is sent")
        expect(pane.locator(".msg.user")).to_have_count(1)
        expect(pane.locator(".line.done")).to_have_count(1)
    finally:
        server.stop()
