// Scopes whose exit Python code would write as a clause: `try`/`finally` (TV_TRY_FINALLY) and
// `async with` (TV_ASYNC_WITH). Included, after async.hpp, by the files that use them.
#pragma once

#include "async.hpp"

namespace tv {

// A `finally:` clause as an object: calls `obj.method()` when the scope ends, and a failure of that call
// behaves as a failing `finally` clause does in Python.
//   - On the normal path the error propagates from the end of the scope (the destructor throws).
//   - On the exceptional path, call `rethrow()` from a `catch (...)` around the guarded code: the
//     clean-up runs with the exception being handled as its context, and its error, if any, replaces
//     that exception with it as `__context__`; otherwise the exception is rethrown unchanged.
//   - close() throws GeneratorExit in at the await, which takes the exceptional path; when deallocation
//     destroys a frame that its finaliser left suspended, the clean-up runs with GeneratorExit being
//     handled, and a failure is reported as the finaliser's.
// Write it as one construct with TV_TRY_FINALLY, which puts the guard and its `catch` around the body:
//
//     TV_TRY_FINALLY(stop_watchdog, watchdog_task, names.cancel, {
//         ...body, which may await or co_return...
//     });
class Finally {
public:
    Finally(nb::handle obj, PyObject* method)
        : obj_(nb::borrow(obj)), method_(method), frame_(detail::running_frame), uncaught_(std::uncaught_exceptions()) {
    }
    Finally(const Finally&) = delete;
    Finally& operator=(const Finally&) = delete;
    [[noreturn]] void rethrow();
    ~Finally() noexcept(false);

private:
    bool run_handling(PyObject* handled) noexcept;
    Local obj_;
    PyObject* method_;  // borrowed: an interned name, which outlives every frame
    CoroPromise* frame_;
    int uncaught_;
    bool done_ = false;
};

// clang-format off
#define TV_TRY_FINALLY(guard, obj, method, ...) \
    {                                           \
        ::tv::Finally guard((obj), (method));   \
        try __VA_ARGS__ catch (...) {           \
            guard.rethrow();                    \
        }                                       \
    }
// clang-format on

// `async with mgr:` as one construct, with the interpreter's protocol: `type(mgr).__aenter__` and
// `__aexit__` looked up when the statement starts, `__aenter__()` awaited, then the body, then
// `__aexit__` awaited with the exception that left the body (which a true result suppresses) or with
// three Nones:
//
//     TV_ASYNC_WITH(held, lock, {
//         ...body, which may await...
//     });
//
// As in `async def`, `__aexit__` and the awaiting of what it gives run with the body's exception as the
// one being handled: `sys.exception()` is that exception there, a bare `raise` raises it again, and an
// error raised meanwhile (by the exit, or by the `__bool__` of its result) has it as `__context__`.
// close() throws GeneratorExit in at the body's await, so the exit runs as for `async def` too: one that
// suppresses it lets the code after the block run, and one that waits leaves the coroutine suspended in
// the exit, with close() raising "coroutine ignored GeneratorExit".
//
// The body must not leave by `co_return`, `break` or `continue` (a C++ coroutine cannot await on its
// way out of a scope): the exit is then run without being awaited, and an exit that would suspend is
// reported as unraisable. When deallocation destroys a frame suspended in the body (its finaliser
// could not end it), `__aexit__` gets GeneratorExit and is driven without a loop; one that suspends
// there is reported as "coroutine ignored GeneratorExit", and a true result cannot resume a frame that
// is going away.
class AsyncWith {
public:
    explicit AsyncWith(nb::handle mgr);
    AsyncWith(const AsyncWith&) = delete;
    AsyncWith& operator=(const AsyncWith&) = delete;
    ~AsyncWith() noexcept;

    nb::object enter();                         // `__aenter__()`, checked to be awaitable
    void begin() noexcept { entered_ = true; }  // its await is over: the body runs, and the exit is owed
    void caught() noexcept;                     // from `catch (...)` around the body: the exception that left it
    nb::object exit();                          // `__aexit__(...)` for the way the body ended, checked to be awaitable
    void finish(nb::handle result);             // after awaiting exit(): the body's exception again, unless suppressed
    void unhandle() noexcept;  // the exit is over (or failed): the body's exception is no longer handled

private:
    void handle() noexcept;
    // The exit, driven without a loop: ran, failed (the error set), or waited for something (the error
    // set is close()'s "coroutine ignored GeneratorExit").
    enum class ExitAtOnce { ran, failed, waited };
    ExitAtOnce exit_at_once(PyObject* exc) noexcept;
    Local mgr_, enter_, exit_, exc_;
    CoroPromise* frame_;
    Handling handling_;          // exc_, while the exit runs
    Handling* outer_ = nullptr;  // what the frame handled before
    bool entered_ = false, exited_ = false;
};

// clang-format off
#define TV_ASYNC_WITH(scope, mgr, ...)            \
    ::tv::AsyncWith scope(mgr);                   \
    TV_AWAIT(scope.enter());                      \
    try {                                         \
        scope.begin();                            \
        __VA_ARGS__                               \
    } catch (...) {                               \
        scope.caught();                           \
    }                                             \
    try {                                         \
        scope.finish(TV_AWAIT(scope.exit()));     \
    } catch (...) {                               \
        scope.unhandle();                         \
        throw;                                    \
    }
// clang-format on

// ---- AsyncWith ----

namespace detail {

// `type(o).<name>` bound to `o`, as the interpreter looks up special methods; null when there is none.
inline nb::object lookup_special(PyObject* o, PyObject* name) {
    PyObject* f = _PyType_Lookup(Py_TYPE(o), name);  // borrowed
    if (!f) return nb::object();
    descrgetfunc get = Py_TYPE(f)->tp_descr_get;
    if (!get) return nb::borrow(f);
    return check(get(f, o, (PyObject*)Py_TYPE(o)));
}

// What `__aenter__()` or `__aexit__()` gave, refused with the interpreter's text when it has no __await__.
inline nb::object checked_awaitable(nb::object res, const char* which) {
    PyTypeObject* t = Py_TYPE(res.ptr());
    if (PyCoro_CheckExact(res.ptr()) || t == &coro_type_object || is_generator_coroutine(res.ptr()) ||
        (t->tp_as_async && t->tp_as_async->am_await))
        return res;
    raisef(PyExc_TypeError, "'async with' received an object from %s that does not implement __await__: %.100s", which,
           t->tp_name);
}

}  // namespace detail

inline AsyncWith::AsyncWith(nb::handle mgr) : mgr_(nb::borrow(mgr)), frame_(detail::running_frame) {
    static PyObject* aenter = PyUnicode_InternFromString("__aenter__");
    static PyObject* aexit = PyUnicode_InternFromString("__aexit__");
    enter_ = detail::lookup_special(mgr.ptr(), aenter);
    if (!enter_)
        raisef(PyExc_TypeError, "'%.200s' object does not support the asynchronous context manager protocol",
               Py_TYPE(mgr.ptr())->tp_name);
    exit_ = detail::lookup_special(mgr.ptr(), aexit);
    if (!exit_)
        raisef(PyExc_TypeError,
               "'%.200s' object does not support the asynchronous context manager protocol (missed __aexit__ method)",
               Py_TYPE(mgr.ptr())->tp_name);
}

inline nb::object AsyncWith::enter() {
    nb::object enter = std::move(enter_);
    return detail::checked_awaitable(check(PyObject_CallNoArgs(enter.ptr())), "__aenter__");
}

inline void AsyncWith::caught() noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        exc_ = nb::borrow(e.value());
    } catch (...) {
        set_error_from_current_exception();
        exc_ = nb::steal(PyErr_GetRaisedException());
    }
}

// From the exit's call until finish(), the frame handles the body's exception: pushed now, and by the
// driver whenever it resumes the frame suspended in the exit (see `CoroPromise::handling`).
inline void AsyncWith::handle() noexcept {
    handling_.set(exc_.ptr());
    if (frame_) {
        outer_ = std::exchange(frame_->handling, &handling_);
    }
    handling_.push();
}

inline void AsyncWith::unhandle() noexcept {
    if (handling_.pushed()) handling_.pop();
    if (frame_ && frame_->handling == &handling_) frame_->handling = std::exchange(outer_, nullptr);
}

inline nb::object AsyncWith::exit() {
    exited_ = true;
    nb::object exit = std::move(exit_);
    PyObject* exc = exc_.ptr();
    nb::object res;
    if (!exc) {
        res = check(PyObject_CallFunctionObjArgs(exit.ptr(), Py_None, Py_None, Py_None, nullptr));
    } else {
        handle();
        nb::object tb = nb::steal(PyException_GetTraceback(exc));
        res = check(
            PyObject_CallFunctionObjArgs(exit.ptr(), (PyObject*)Py_TYPE(exc), exc, tb ? tb.ptr() : Py_None, nullptr));
    }
    return detail::checked_awaitable(std::move(res), "__aexit__");
}

inline void AsyncWith::finish(nb::handle result) {
    if (!exc_) return;
    bool suppressed = truthy(result);  // still handling: its error has the body's as context
    unhandle();
    nb::object exc = std::move(exc_);
    if (suppressed) return;
    PyErr_SetRaisedException(exc.release().ptr());
    throw_error();
}

inline AsyncWith::ExitAtOnce AsyncWith::exit_at_once(PyObject* exc) noexcept {
    exited_ = true;
    Handling handling(exc);  // what `async def` shows the exit: the exception it is given
    if (exc) handling.push();
    PyObject* tb = exc ? PyException_GetTraceback(exc) : nullptr;
    PyObject* res = exc ? PyObject_CallFunctionObjArgs(exit_.ptr(), (PyObject*)Py_TYPE(exc), exc, tb ? tb : Py_None,
                                                       nullptr)
                        : PyObject_CallFunctionObjArgs(exit_.ptr(), Py_None, Py_None, Py_None, nullptr);
    Py_XDECREF(tb);
    if (!res) return ExitAtOnce::failed;
    nb::object awaitable;
    try {
        awaitable = detail::checked_awaitable(nb::steal(res), "__aexit__");
    } catch (nb::python_error& e) {
        e.restore();
        return ExitAtOnce::failed;
    }
    {
        Await exit(std::move(awaitable));
        if (exit.await_ready()) {  // over at once, and its iterator let go of
            try {
                exit.result();
                return ExitAtOnce::ran;
            } catch (nb::python_error& e) {
                e.restore();
                return ExitAtOnce::failed;
            }
        }
        // It waits for something, and there is no loop to wait with: refused as close() refuses it,
        // outside the frame.
        if (handling.pushed()) handling.pop();
        Py_XDECREF(exit.close());
    }
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return ExitAtOnce::waited;
}

inline AsyncWith::~AsyncWith() noexcept {
    unhandle();  // a frame destroyed while suspended in the exit
    if (!entered_ || exited_) return;
    if (frame_ && frame_->unwinding) {
        PyObject** unwinding = frame_->unwinding;
        if (!*unwinding) {
            PyErr_SetNone(PyExc_GeneratorExit);
            *unwinding = PyErr_GetRaisedException();
        }
        // An exit that fails raises while the frame handles the exception it was cut by, and is
        // chained to it by the interpreter; one that waits has no context, as close() refuses it.
        if (exit_at_once(*unwinding) != ExitAtOnce::ran) Py_XSETREF(*unwinding, PyErr_GetRaisedException());
        return;
    }
    // Left by a jump out of the body: nothing could await the exit.
    if (exit_at_once(nullptr) != ExitAtOnce::ran) PyErr_WriteUnraisable(mgr_.ptr());
}

// ---- Finally ----

// Calls the clean-up with `handled` (borrowed, may be null) as the exception being handled, as inside a
// `finally` clause on the way out of an exception: an error it raises gets that exception as context
// the way the interpreter chains it. False, with the error set, when the clean-up failed.
inline bool Finally::run_handling(PyObject* handled) noexcept {
    done_ = true;
    Handling handling(handled);
    if (handled) handling.push();
    PyObject* r = PyObject_CallMethodNoArgs(obj_.ptr(), method_);
    if (handled) handling.pop();
    Py_XDECREF(r);
    return r != nullptr;
}

inline void Finally::rethrow() {
    if (done_) throw;
    PyObject* handled = nullptr;
    try {
        throw;
    } catch (nb::python_error& e) {
        handled = Py_NewRef(e.value().ptr());
    } catch (...) {
        set_error_from_current_exception();
        handled = PyErr_GetRaisedException();
    }
    bool ok = run_handling(handled);
    Py_DECREF(handled);
    if (ok) throw;
    throw_error();
}

inline Finally::~Finally() noexcept(false) {
    if (done_) return;
    if (frame_ && frame_->unwinding) {
        // close() or deallocation is destroying the suspended frame: the clean-up runs as it would
        // with GeneratorExit (or the error that closing the awaited iterator raised) on its way out,
        // and its failure is what close() raises.
        PyObject** unwinding = frame_->unwinding;
        if (!*unwinding) {
            PyErr_SetNone(PyExc_GeneratorExit);
            *unwinding = PyErr_GetRaisedException();
        }
        if (!run_handling(*unwinding)) Py_XSETREF(*unwinding, PyErr_GetRaisedException());
        return;
    }
    if (std::uncaught_exceptions() > uncaught_) {
        // Unwinding past a guard that no `rethrow()` settled: the exception in flight cannot be replaced
        // from here. The failure is reported as unraisable; an interrupt is raised again, never lost.
        if (run_handling(nullptr)) return;
        bool interrupt = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
        PyErr_WriteUnraisable(obj_.ptr());
        if (interrupt) PyErr_SetInterrupt();
        return;
    }
    if (!run_handling(nullptr)) throw_error();
}

}  // namespace tv
