// C++20 coroutines that Python sees as coroutine objects.
//
// A C++ function returning `tv::Coro` is a coroutine whose body reads like an `async def`:
//
//     tv::Coro handler(nb::object ws) {
//         tv::Local text = TV_AWAIT(tv::call_method(ws, names.receive_text));
//         co_return text;
//     }
//
// `make_coroutine()` wraps the C++ coroutine in a `tavrin.Coroutine` object: a real coroutine for
// asyncio (`__await__`, `send`, `throw`, `close`, and the `am_send` slot that Task and `await` use),
// registered as a `collections.abc.Coroutine`.
//
// How the two worlds meet. `TV_AWAIT(x)` gets the iterator of the Python awaitable `x` and sends it
// None at once. When it completes straight away (the common case: an in-memory send, a lock that is
// free) the C++ coroutine does not suspend at all. When it yields (a Future, or None for a bare
// yield), the C++ coroutine suspends and the yielded value is handed, unchanged, to whoever drives
// the Python object (the event loop's Task). Later `send`/`throw` calls are delegated to that
// iterator, like `yield from`, until it finishes; then the C++ coroutine resumes with its result, or
// with its exception thrown as `nb::python_error`, so `try`/`catch` and RAII behave as
// `try`/`except`/`finally` do in Python. CancelledError travels the same way.
//
// `close()` of a suspended coroutine closes the awaited iterator and throws GeneratorExit in at the
// await (or the error closing it raised), as the interpreter's close() does: destructors run (locks
// are released, tasks cancelled), `catch` blocks see it (GeneratorExit passes by `except Exception`),
// an `async with` exit runs and may suppress it, and a body that awaits again after it is left
// suspended there, with close() raising "coroutine ignored GeneratorExit". Deallocation closes the
// same way; a frame that its close could not end is destroyed without being resumed. A chain of
// coroutines awaiting one another is closed link by link from the innermost, without nesting on the
// C stack, however deep it is.
//
// What the garbage collector sees. A suspended frame may sit in a reference cycle (a task holds its
// coroutine, whose frame holds the socket, whose handler holds the task), and the collector can only
// break the cycle when it is shown every reference the frame owns. The rule: every Python reference a
// frame holds across a suspension is visible to the collector, or is not held at all.
//   - Parameters are owned copies in the frame (taking a Python object by reference or borrowed is a
//     compile-time error) and are shown to the collector.
//   - Locals that live across an await are `tv::Local`: an owned handle that registers itself with the
//     frame that is running when it is made, and is shown to the collector while that frame is
//     suspended. A plain `nb::object` in a coroutine body never lives across an await.
//   - `TV_AWAIT(expr)` evaluates `expr` in a scope of its own, so none of its temporaries (the
//     awaitable, a module global fetched for the call, a string argument) outlives the suspension;
//     the awaiter owns the awaitable's iterator, which is shown to the collector.
//
// Where each piece lives, one concept per header, in the order they build on one another:
//   frame_pool.hpp   where coroutine frames come from
//   local.hpp        `Local`, a reference the frame owns and shows to the collector
//   promise.hpp      `Coro` and its promise: the frame's state, shared by the driver and the awaiters
//   await.hpp        the awaiter of one `co_await`, the only thing that talks to the awaited iterator;
//                    the driver goes through its send(), throw_in(), close() and end_with()
//   stack_guard.hpp  the bounds on how deep a chain of drives may nest
//   coroutine.hpp    the Python coroutine object and its driver
//   async_iter.hpp   `async for`
//   scope.hpp        `try`/`finally` and `async with` as one construct each
//   deadline.hpp     awaits bounded in time
// The first six are the core that every coroutine needs, included through this header, which is the one
// a file that writes coroutines includes. The last three are constructs a few files use: those files
// include them beside it, so that a change to one rebuilds only its users.
#pragma once

#include "py.hpp"

#include "frame_pool.hpp"
#include "local.hpp"
#include "promise.hpp"
#include "await.hpp"
#include "stack_guard.hpp"
#include "coroutine.hpp"
