"""Computer Use on a real X server (Xvfb, 1920x1080): screenshot latency, action rate, and the time
from ``stop()`` to the task's end.

Screenshots, from the request to the PNG, interleaved, best and median of 30 each:
- **before**: ``tools/screenshot.capture`` (a connection per shot, GetImage in strips, scaling and PNG in
  pure Python), at its own bound (1568 px wide) and at 1280;
- **after**: ``Desktop.screenshot()`` on the task's one connection (shared memory, the pointer
  drawn in, Pillow's box filter, ``png.fast_png``) at 1280x720.
- **mss** (only when ``mss`` is installed: ``pip install mss``): the capture this replaced, mss on a
  second connection and Pillow's PNG encoder, without the pointer.
Each on a blank screen and on a busy one (a window of noise, the worst case for the PNG).

Action rate: ``left_click`` actions through the whole agent (a scripted OpenAI-compatible model on
127.0.0.1, no pause between actions, each answered with a settled screenshot) per second.

Stop: a ``type`` of 2,000 characters is under way; the time from ``stop()`` until the task has ended
(the last key released, the task's connection closed), median of 5.

    python bench/computer_use.py
"""

from __future__ import annotations

import asyncio
import os
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "host"))

WIDTH, HEIGHT = 1920, 1080


def start_xvfb() -> tuple[subprocess.Popen, str]:
    rd, wr = os.pipe()
    # -noreset: a desktop always has clients; a bare Xvfb resets when its last client leaves, and
    # refuses connections meanwhile (the "Connection reset by peer" of one connection per shot).
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(wr), "-screen", "0", f"{WIDTH}x{HEIGHT}x24", "-nolisten", "tcp", "-noreset"],
        pass_fds=(wr,),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    os.close(wr)
    with os.fdopen(rd) as f:
        return proc, ":" + f.readline().strip()


def noise_window(name: str):
    """A window of random pixels over most of the screen; returns its connection (keep it open)."""
    from Xlib import X, display

    d = display.Display(name)
    s = d.screen()
    w, h = 1600, 900
    win = s.root.create_window(100, 80, w, h, 0, s.root_depth, background_pixel=s.black_pixel, override_redirect=True)
    win.map()
    gc = win.create_gc()
    rng = random.Random(1)
    rows = 40  # a request of at most 256 KiB, the core protocol's bound
    for top in range(0, h, rows):
        win.put_image(gc, 0, top, w, rows, X.ZPixmap, 24, 0, rng.randbytes(w * rows * 4))
    d.sync()
    return d


def shots(name: str, rounds: int = 30) -> dict[str, list[float]]:
    from tavrin.core.desktop import Desktop
    from tavrin.core.tools import screenshot

    desktop = Desktop.open(name)
    variants = {
        "before, 1568 wide": lambda: screenshot.capture(name),
        "before, 1280 wide": lambda: screenshot.capture(name, max_side=1280),
        "after, 1280x720": desktop.screenshot,
    }
    grabber = _mss(name)
    if grabber is not None:
        variants["mss, Pillow's PNG"] = lambda: _mss_png(grabber)
    times: dict[str, list[float]] = {k: [] for k in variants}
    for fn in variants.values():
        fn()  # warm up
    for i in range(rounds):
        order = list(variants.items())
        order = order[i % len(order) :] + order[: i % len(order)]
        for label, fn in order:
            t = time.perf_counter()
            fn()
            times[label].append(time.perf_counter() - t)
    desktop.close()
    if grabber is not None:
        grabber.close()
    return times


def _mss(name: str):
    try:
        import mss
    except ImportError:
        return None
    return mss.MSS(display=name)


def _mss_png(grabber) -> bytes:
    import io

    from PIL import Image

    shot = grabber.grab({"left": 0, "top": 0, "width": WIDTH, "height": HEIGHT})
    img = Image.frombuffer("RGB", (WIDTH, HEIGHT), bytes(shot.raw), "raw", "BGRX", 0, 1)
    img = img.resize((1280, 720), Image.Resampling.BILINEAR, reducing_gap=2.0)
    out = io.BytesIO()
    img.save(out, "PNG", compress_level=1)
    return out.getvalue()


async def agent_runs(name: str) -> tuple[float, list[float]]:
    from fake_model import FakeModelServer, text, tool_call

    from tavrin.core.computer_use_llm import ComputerUseAgent
    from tavrin.core.llm_agent import ModelSettings

    with FakeModelServer() as model:
        settings = ModelSettings("openai/fake-vision", model.url, max_iterations=100, retries=0, vision=True)
        agent = ComputerUseAgent(settings, display=name, action_delay=0, approve="never")
        count = 40
        model.replies = [
            tool_call("computer", {"action": "left_click", "coordinate": [20 + i * 10, 300]}) for i in range(count)
        ] + [text("Done.")]
        t = time.perf_counter()
        events = [e async for e in agent.run_task("click along a line")]
        rate = count / (time.perf_counter() - t)
        assert events[-1].type == "done", events[-1]

        stops = []
        for _ in range(5):
            model.replies = [tool_call("computer", {"action": "type", "text": "abc " * 500})]
            task = asyncio.ensure_future(_collect(agent))
            while agent.desktop is None or not model.requests:  # noqa: ASYNC110 - polls another thread's server
                await asyncio.sleep(0.01)
            await asyncio.sleep(0.5)  # well into the typing
            t = time.perf_counter()
            agent.stop()
            events = await task
            stops.append(time.perf_counter() - t)
            assert events[-1].type == "cancelled", events[-1]
            model.requests.clear()
    return rate, stops


async def _collect(agent):
    return [e async for e in agent.run_task("type a long text")]


def report(title: str, times: dict[str, list[float]]) -> None:
    print(f"\n{title}")
    base = statistics.median(times["after, 1280x720"])
    print(f"{'variant':<20} {'best ms':>8} {'median ms':>10} {'median / after':>15}")
    for label, ts in times.items():
        med = statistics.median(ts)
        print(f"{label:<20} {min(ts) * 1e3:8.1f} {med * 1e3:10.1f} {med / base:15.2f}")


def main() -> None:
    proc, name = start_xvfb()
    try:
        report("Screenshot of a blank 1920x1080 screen, request to PNG", shots(name))
        keep = noise_window(name)
        report("Screenshot of a busy 1920x1080 screen (a 1600x900 window of noise)", shots(name))
        keep.close()
        rate, stops = asyncio.run(agent_runs(name))
        print(f"\nAction rate through the agent (left_click, settled screenshot each): {rate:.1f} actions/s")
        print(
            f"stop() to the task's end during a long type: median {statistics.median(stops) * 1e3:.0f} ms, "
            f"worst {max(stops) * 1e3:.0f} ms"
        )
    finally:
        proc.terminate()
        proc.wait(10)


if __name__ == "__main__":
    main()
