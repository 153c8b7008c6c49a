// The awaiter of one `co_await` on a Python awaitable, and `TV_AWAIT`. Included through async.hpp.
#pragma once

#include "promise.hpp"
#include "py.hpp"

#include <utility>

namespace tv {
namespace detail {

// Normalises the arguments of `throw(typ[, val[, tb]])` into one exception instance (new ref).
inline PyObject* make_exception(PyObject* typ, PyObject* val, PyObject* tb) {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exc = nullptr;
    if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
    } else if (PyExceptionClass_Check(typ)) {
        PyErr_SetObject(typ, val ? val : Py_None);
        exc = PyErr_GetRaisedException();
        if (!exc) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb) PyException_SetTraceback(exc, tb);
    return exc;
}

// The arguments of one throw(), as given: an awaited iterator's own throw() gets them unchanged, as
// `yield from` passes them on, and the exception they describe is made only where it is raised.
struct Thrown {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* exc = nullptr;  // owned once made, released by the destructor

    Thrown(PyObject* const* args, Py_ssize_t nargs) noexcept : args(args), nargs(nargs) {}
    Thrown(const Thrown&) = delete;
    ~Thrown() { Py_XDECREF(exc); }

    bool is_generator_exit() const noexcept { return PyErr_GivenExceptionMatches(args[0], PyExc_GeneratorExit); }
    // The exception (new ref), or null with the TypeError of arguments that make none.
    PyObject* make() noexcept {
        if (!exc) exc = make_exception(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
        return Py_XNewRef(exc);
    }
};

// The result of a call that raised: a StopIteration is the awaited iterator's return, read from the
// exception itself as the interpreter reads it (a `value` property of a subclass is not asked).
inline PySendResult stop_value(PyObject** presult) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return PYGEN_ERROR;
    PyObject* stop = PyErr_GetRaisedException();
    PyObject* v = PyObject_TypeCheck(stop, (PyTypeObject*)PyExc_StopIteration)
                      ? reinterpret_cast<PyStopIterationObject*>(stop)->value
                      : nullptr;
    *presult = Py_NewRef(v ? v : Py_None);
    Py_DECREF(stop);
    return PYGEN_RETURN;
}

// Raises `exc` (stolen) again where the thread handles an exception, and gives it back (owned): it is
// chained to that exception as the interpreter chains an exception thrown into a frame that handles
// one (its `__context__` becomes the handled exception, without making a cycle).
inline PyObject* chain_to_handled(PyObject* exc) noexcept {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
    return PyErr_GetRaisedException();
}

struct CoroObject;
// What an awaiter needs of the coroutines of this module it awaits (coroutine.hpp): a throw() or a
// close() is delivered to them directly, without a method look-up.
inline CoroObject* as_coro(PyObject* o);
inline bool is_native(PyObject* o);
inline PySendResult drive(CoroObject* self, PyObject* arg, Thrown* thrown, PyObject** presult) noexcept;
inline PyObject* close_coro(CoroObject* self, bool finalising) noexcept;

// Sends `arg` to an awaited iterator, as PyIter_Send does; a coroutine of this module is driven
// directly, which saves a chain of them two C frames per link.
inline PySendResult send_to(PyObject* iter, PyObject* arg, PyObject** res) noexcept {
    if (is_native(iter)) return drive(as_coro(iter), arg, nullptr, res);
    return PyIter_Send(iter, arg, res);
}

inline PyObject* s_throw = nullptr;  // interned by coroutine_type()
inline PyObject* s_close = nullptr;

// What delivering something to the awaited iterator left.
enum class Step : unsigned char {
    yielded,  // it yielded: the await is still suspended, and the value goes up to the driver's caller
    done,     // the await is over: the frame resumes, and the awaiter gives its result()
    refused,  // the await goes on, and the error set is the caller's: the frame stays suspended here
};

}  // namespace detail

// The state of one `co_await` on a Python awaitable, and the only thing that talks to the iterator it
// awaits. The coroutine machinery starts it (await_ready) and asks its result (await_resume); while the
// frame is suspended here, the driver goes through send(), throw_in(), close() and end_with(), and the
// collector through traverse(). Every reference it holds is released by its destructor, so destroying
// the frame suspended here lets go of the awaited iterator without closing it: close() comes first.
class AwaitBase {
public:
    AwaitBase() = default;
    AwaitBase(const AwaitBase&) = delete;
    AwaitBase& operator=(const AwaitBase&) = delete;
    ~AwaitBase() {
        Py_XDECREF(guard);
        Py_XDECREF(iter);
        Py_XDECREF(value);
        Py_XDECREF(error);
        Py_XDECREF(yielded);
    }

    void await_suspend(CoroHandle h) noexcept {
        auto& p = h.promise();
        p.suspended = this;
        p.yielded = std::exchange(yielded, nullptr);
    }

    // Delivers `arg` to the awaited iterator, as `yield from` passes a send() on.
    detail::Step send(PyObject* arg, PyObject** out) noexcept {
        PyObject* res = nullptr;
        PySendResult r = detail::send_to(iter, arg, &res);
        if (r == PYGEN_NEXT) {
            *out = res;
            return detail::Step::yielded;
        }
        finish(r, res);
        return detail::Step::done;
    }

    // Delivers a throw(), as `yield from` does: GeneratorExit closes the awaited iterator and is then
    // raised at the await (what closing raised, if anything, instead); an iterator without throw() has
    // the exception raised at the await; any other gets the arguments unchanged.
    detail::Step throw_in(detail::Thrown& thrown, PyObject** out) noexcept {
        PyObject* res = nullptr;
        PySendResult r;
        if (thrown.is_generator_exit()) {
            PyObject* exc = close_iter() < 0 ? PyErr_GetRaisedException() : thrown.make();
            if (!exc) return detail::Step::refused;
            end_with(exc);
            return detail::Step::done;
        } else if (detail::is_native(iter)) {
            r = detail::drive(detail::as_coro(iter), Py_None, &thrown, &res);
        } else {
            PyObject* thrower = nullptr;
            // A failed look-up of `throw` goes to the caller; the coroutine stays suspended where it was.
            if (get_optional_attr(iter, detail::s_throw, &thrower) < 0) return detail::Step::refused;
            if (!thrower) {
                PyObject* exc = thrown.make();
                if (!exc) return detail::Step::refused;
                end_with(exc);
                return detail::Step::done;
            }
            res = PyObject_Vectorcall(thrower, thrown.args, (size_t)thrown.nargs, nullptr);
            Py_DECREF(thrower);
            r = res ? PYGEN_NEXT : detail::stop_value(&res);
        }
        if (r == PYGEN_NEXT) {
            *out = res;
            return detail::Step::yielded;
        }
        finish(r, res);
        return detail::Step::done;
    }

    // Closes the awaited iterator, as close() does for `await`, and gives what closing it raised
    // (owned), null when it closed. The await is not over: end_with() or the frame's destruction ends it.
    PyObject* close() noexcept { return iter && close_iter() < 0 ? PyErr_GetRaisedException() : nullptr; }

    // Ends the await with `exc` (stolen) raised at it, as the interpreter delivers an exception thrown
    // in at an await: a StopIteration ends it with its value, as if the awaited iterator had returned
    // it; anything else is raised there.
    void end_with(PyObject* exc) noexcept {
        if (PyObject_TypeCheck(exc, (PyTypeObject*)PyExc_StopIteration)) {
            PyObject* v = reinterpret_cast<PyStopIterationObject*>(exc)->value;
            value = Py_NewRef(v ? v : Py_None);
            Py_DECREF(exc);
        } else {
            error = exc;
        }
        Py_CLEAR(iter);
    }

    // The exception a throw() left to raise at the await, chained to the one the frame handles (see
    // chain_to_handled); a return of the awaited iterator is left as it is.
    void chain_error() noexcept {
        if (error) error = detail::chain_to_handled(error);
    }

    // The coroutine of this module it awaits, if it awaits one (borrowed): a chain of them is closed
    // by the driver link by link, from the innermost up, not from inside each await.
    PyObject* awaited_native() const noexcept { return iter && detail::is_native(iter) ? iter : nullptr; }
    // The awaited iterator (borrowed; null once the await is over): what `cr_await` shows.
    PyObject* awaited() const noexcept { return iter; }

    // Shows the collector what the await keeps while suspended.
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(iter);
        Py_VISIT(guard);
        return 0;
    }

    // The result, or the exception rethrown as a C++ exception.
    nb::object result() {
        if (error) {
            PyErr_SetRaisedException(std::exchange(error, nullptr));
            throw_error();
        }
        PyObject* v = std::exchange(value, nullptr);
        return v ? nb::steal(v) : none();
    }

protected:
    // Starts awaiting the iterator `it` (stolen), sending it None. Returns true when it finished
    // without suspending; null `it` means that getting it failed, with the error set.
    bool start(PyObject* it) noexcept {
        if (!it) {
            error = PyErr_GetRaisedException();
            return true;
        }
        iter = it;
        PyObject* res = nullptr;
        PySendResult r = detail::send_to(iter, Py_None, &res);
        if (r == PYGEN_NEXT) {
            yielded = res;
            return false;
        }
        finish(r, res);
        return true;
    }

    // Takes over an iterator that was already sent its first value and yielded `first` (both stolen).
    void adopt(PyObject* it, PyObject* first) noexcept {
        iter = it;
        yielded = first ? first : Py_NewRef(Py_None);
    }

    // Raw and owned (see CoroObject for why), each released by the destructor unless handed on first.
    PyObject* iter = nullptr;     // owned: the awaitable's iterator while it has not finished
    PyObject* value = nullptr;    // owned: its result
    PyObject* error = nullptr;    // owned: the exception raised at the await
    PyObject* yielded = nullptr;  // owned until handed to the promise
    PyObject* guard = nullptr;    // owned: what the await keeps while suspended (a deadline), shown to the collector

private:
    // The iterator finished: exactly one of `res` / a pending error. The error is taken before the
    // iterator is let go of, whose deallocation may run Python code.
    void finish(PySendResult r, PyObject* res) noexcept {
        if (r == PYGEN_RETURN)
            value = res;
        else
            error = PyErr_GetRaisedException();
        Py_CLEAR(iter);
    }

    // Closes the awaited iterator: a failing look-up of its `close` is reported as unraisable and
    // counts as closed; an error of the call itself is returned (-1 with it set).
    int close_iter() noexcept {
        if (detail::is_native(iter)) {
            PyObject* r = detail::close_coro(detail::as_coro(iter), false);
            Py_XDECREF(r);
            return r ? 0 : -1;
        }
        PyObject* m = nullptr;
        if (get_optional_attr(iter, detail::s_close, &m) < 0) PyErr_WriteUnraisable(iter);
        if (!m) return 0;
        PyObject* r = PyObject_CallNoArgs(m);
        Py_DECREF(m);
        if (!r) return -1;
        Py_DECREF(r);
        return 0;
    }
};

// The iterator that `await x` drives: x itself for coroutines, else type(x).__await__(x).
inline PyObject* get_awaitable_iter(PyObject* o) noexcept;

// Awaits an awaitable that it owns; the awaitable is let go of as soon as its iterator is taken.
struct Await : AwaitBase {
    PyObject* awaitable;  // owned until await_ready, which releases it (or the destructor, if never asked)
    explicit Await(nb::object&& a) noexcept : awaitable(a.release().ptr()) {}
    Await(Await&&) = delete;
    ~Await() { Py_XDECREF(awaitable); }
    bool await_ready() noexcept {
        PyObject* a = std::exchange(awaitable, nullptr);
        PyObject* it = get_awaitable_iter(a);
        Py_DECREF(a);
        return start(it);
    }
    nb::object await_resume() { return result(); }
};

// The awaiter of `TV_AWAIT`; takes the awaitable over.
inline Await await_(nb::object&& awaitable) noexcept { return Await(std::move(awaitable)); }

// `await <expr>` in a coroutine body: gives the result of awaiting `expr`. The expression is evaluated
// in a lambda of its own, so that its temporaries are gone before the coroutine can suspend.
#define TV_AWAIT(...) (co_await ::tv::await_([&]() -> ::nanobind::object { return (__VA_ARGS__); }()))

}  // namespace tv
