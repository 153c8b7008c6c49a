// The guard on the drive path: a chain of coroutines ends in RecursionError, never in a stack overflow.
// Included through async.hpp.
#pragma once

#include "promise.hpp"

#include <algorithm>
#include <cstdint>
#if defined(__linux__)
#include <pthread.h>
#endif

namespace tv {
namespace detail {

// A chain of coroutines awaiting each other nests one drive per link on the C stack, so a deep chain
// must end in RecursionError, never in a stack overflow. Two bounds hold it:
//   - its depth, like a chain of `async def` frames, is held to the interpreter's recursion limit
//     (sys.getrecursionlimit()), asked only once the chain is deeper than any ordinary program nests;
//   - the C stack itself: a drive is refused when less than a margin of the thread's stack is left,
//     whatever the recursion limit says (it bounds Python frames, which take no C stack). The bounds
//     are the thread's own, as the system reports them (pthread_getattr_np: the main thread's grows to
//     its rlimit, a thread's is what it was created with), read once per thread. The margin, an eighth
//     of the stack between 48 KiB and 1 MiB, is for what the deepest link runs: Python code, whose own
//     C calls the interpreter counts but does not measure (each Python-to-C-to-Python level takes
//     about half a KiB on 3.12), and the unwinding of the error back up the chain.
// A link of a chain of native coroutines takes 272 bytes of C stack in a release build (an `async def`
// link takes none: the interpreter runs it in place), so a thread of 256 KiB holds some 700 links,
// one of 1 MiB some 3,000, the main thread's 8 MiB some 26,000 (bench/stack_depth.py measures them).
// Closing does not nest (a chain is closed link by link) and a finaliser must be able to close a
// coroutine wherever the last reference went, at the limit too: they are held to half the margin only.
inline TV_THREAD_LOCAL int drive_depth = 0;
constexpr int ordinary_depth = 64;
// Below these stack addresses, drives (and then closing) are refused. The highest address stands for
// "not measured yet": the first check is below it, and measures the thread's stack.
inline TV_THREAD_LOCAL std::uintptr_t stack_drive_floor = UINTPTR_MAX;
inline TV_THREAD_LOCAL std::uintptr_t stack_close_floor = UINTPTR_MAX;

[[gnu::cold, gnu::noinline]] inline void measure_stack() noexcept {
    stack_drive_floor = stack_close_floor = 0;  // bounds unknown: the depth bound alone applies
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0 && low && size) {
        std::size_t margin = std::min(std::clamp<std::size_t>(size / 8, 48 << 10, 1 << 20), size / 2);
        stack_drive_floor = reinterpret_cast<std::uintptr_t>(low) + margin;
        stack_close_floor = reinterpret_cast<std::uintptr_t>(low) + margin / 2;
    }
    pthread_attr_destroy(&attr);
#endif
}

// True when the stack of the running thread is below `floor` (one of the floors above).
[[gnu::always_inline]] inline bool stack_below(const std::uintptr_t& floor) noexcept {
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (here >= floor) [[likely]]
        return false;
    if (floor != UINTPTR_MAX) return true;
    measure_stack();
    return here < floor;
}

[[gnu::cold]] inline bool refuse_deep() noexcept {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while running a coroutine");
    return false;
}

inline bool enter_drive() noexcept {
    if ((++drive_depth > ordinary_depth && drive_depth > Py_GetRecursionLimit()) || stack_below(stack_drive_floor)) {
        --drive_depth;
        return refuse_deep();
    }
    return true;
}

// Entered by close(); a finaliser's close (`finalising`) is held to the C stack's harder bound only.
inline bool enter_close(bool finalising) noexcept {
    if (!finalising) return enter_drive();
    if (stack_below(stack_close_floor)) return refuse_deep();
    ++drive_depth;
    return true;
}

inline void leave_drive() noexcept { --drive_depth; }

}  // namespace detail
}  // namespace tv
