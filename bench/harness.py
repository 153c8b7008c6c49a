"""Measuring side by side: interleaved repeats, best of N, and the result files."""

from __future__ import annotations

import gc
import os
import time
from pathlib import Path
from collections.abc import Callable

RESULTS = Path(__file__).resolve().parent / "results"


def interleaved_best(variants: dict[str, Callable[[], float]], repeats: int) -> dict[str, float]:
    """Runs every variant once per repeat, rotating their order, and keeps each one's best time.

    Each callable returns the seconds its timed part took. Interleaving makes a burst of noise on
    this shared machine hit all variants alike; the minimum is the run least disturbed by it.
    """
    names = list(variants)
    best = {name: float("inf") for name in names}
    for r in range(repeats):
        order = names[r % len(names) :] + names[: r % len(names)]
        for name in order:
            gc.collect()
            best[name] = min(best[name], variants[name]())
    return best


def timed(fn: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def rss_bytes() -> int:
    """The process's current resident set size."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def write_table(name: str, title: str, header: list[str], rows: list[list[str]], notes: list[str] = ()) -> str:
    RESULTS.mkdir(exist_ok=True)
    lines = [f"### {title}", "", "| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    if notes:
        lines += [""] + [f"- {n}" for n in notes]
    text = "\n".join(lines) + "\n"
    (RESULTS / f"{name}.md").write_text(text)
    return text


def bar_chart(name: str, title: str, labels: list[str], values: list[float], unit: str) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"(matplotlib not installed: no chart for {name})")
        return
    RESULTS.mkdir(exist_ok=True)
    fig, ax = plt.subplots(figsize=(7, 0.6 + 0.55 * len(labels)))
    bars = ax.barh(labels[::-1], values[::-1], color="#4c72b0")
    ax.bar_label(bars, labels=[f"{v:.1f} {unit}" for v in values[::-1]], padding=3)
    ax.set_xlabel(unit)
    ax.set_title(title)
    ax.set_xlim(0, max(values) * 1.3)
    fig.tight_layout()
    fig.savefig(RESULTS / f"{name}.png", dpi=110)
    plt.close(fig)
