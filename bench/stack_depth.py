"""C stack a chain of native coroutines takes, and how deep a chain fits in a thread's stack.

A native coroutine awaiting another nests one drive on the C stack per link (an `async def` chain
takes none: the interpreter runs its frames in place), and the stack guard ends a chain that would
leave less than its margin of the thread's stack with RecursionError. This prints the bytes per link,
measured at the bottom of two chains of different lengths, and the deepest chain that completes in a
thread of each stack size, beside the same chain written with `async def` (which the recursion limit,
raised here, bounds instead).

    python bench/stack_depth.py
"""

from __future__ import annotations

import asyncio
import sys
import threading

from tavrin import _runtime_probe as probe

sys.setrecursionlimit(10**6)
STACKS = [256 << 10, 1 << 20, 8 << 20]
CAP = 200_000


class Where:
    """Completes at once with the C stack address where it is driven."""

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        raise StopIteration(probe.stack_address())


async def link(awaitable):
    return await awaitable


def native(awaitable):
    return probe.await_each([awaitable])


def bottom_address(n: int) -> int:
    chain = Where()
    for _ in range(n):
        chain = native(chain)
    r = asyncio.run(chain)
    for _ in range(n):
        r = r[0]
    return r


def completes(make, depth: int) -> bool:
    chain = asyncio.sleep(0)
    for _ in range(depth):
        chain = make(chain)
    try:
        asyncio.run(chain)
        return True
    except RecursionError:
        return False


def deepest(make, stack: int) -> int:
    found = []

    def search():
        lo, hi = 0, CAP
        while lo < hi:
            mid = (lo + hi + 1) // 2
            lo, hi = (mid, hi) if completes(make, mid) else (lo, mid - 1)
        found.append(lo)

    threading.stack_size(stack)
    t = threading.Thread(target=search)
    t.start()
    t.join()
    return found[0]


def main() -> None:
    per_link = (bottom_address(100) - bottom_address(1100)) / 1000
    print(f"C stack per native link: {per_link:.0f} bytes ({sys.version.split()[0]})")
    print(f"{'thread stack':>12} | {'native links':>12} | {'async def links':>15}")
    for stack in STACKS:
        py = deepest(link, stack)
        print(f"{stack >> 10:>8} KiB | {deepest(native, stack):>12,} | {py:>15,}{'+' if py == CAP else ''}")


if __name__ == "__main__":
    main()
