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
    PyObject* exc = nullptr;  // owned, once made

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

}  // namespace detail

// The state of one `co_await` on a Python awaitable.
struct AwaitBase {
    PyObject* iter = nullptr;    // owned: the awaitable's iterator while it has not finished
    PyObject* value = nullptr;   // owned: its result
    PyObject* error = nullptr;   // owned: the exception raised at the await
    PyObject* yielded = nullptr;  // owned until handed to the promise
    PyObject* guard = nullptr;    // owned: what the await keeps while suspended (a deadline), shown to the collector

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

    // Starts awaiting the iterator `it` (stolen). Returns true when it finished without suspending.
    bool start(PyObject* it) noexcept {
        if (!it) {
            error = PyErr_GetRaisedException();
            return true;
        }
        iter = it;
        PyObject* res = nullptr;
        PySendResult r = PyIter_Send(iter, Py_None, &res);
        if (r == PYGEN_NEXT) {
            yielded = res;
            return false;
        }
        finish(r, res);
        return true;
    }

    // The iterator finished: exactly one of `res` / a pending error. The error is taken before the
    // iterator is let go of, whose deallocation may run Python code.
    void finish(PySendResult r, PyObject* res) noexcept {
        if (r == PYGEN_RETURN)
            value = res;
        else
            error = PyErr_GetRaisedException();
        Py_CLEAR(iter);
    }

    // An exception thrown into the coroutine at this await (by throw() or close()), delivered as the
    // interpreter delivers it: a StopIteration ends the await with its value, as if the awaited
    // iterator had returned it; anything else is raised at the await. Steals `exc`.
    void thrown_in(PyObject* exc) noexcept {
        if (PyObject_TypeCheck(exc, (PyTypeObject*)PyExc_StopIteration)) {
            PyObject* v = reinterpret_cast<PyStopIterationObject*>(exc)->value;
            value = Py_NewRef(v ? v : Py_None);
            Py_DECREF(exc);
        } else {
            error = exc;
        }
        Py_CLEAR(iter);
    }

    void await_suspend(CoroHandle h) noexcept {
        auto& p = h.promise();
        p.suspended = this;
        p.yielded = std::exchange(yielded, nullptr);
    }

    // The result, or the exception rethrown as a C++ exception.
    nb::object take() {
        if (error) {
            PyErr_SetRaisedException(std::exchange(error, nullptr));
            throw_error();
        }
        PyObject* v = std::exchange(value, nullptr);
        return v ? nb::steal(v) : none();
    }
};

// The iterator that `await x` drives: x itself for coroutines, else type(x).__await__(x).
inline PyObject* get_awaitable_iter(PyObject* o) noexcept;

// Awaits an awaitable that it owns; the awaitable is let go of as soon as its iterator is taken.
struct Await : AwaitBase {
    PyObject* awaitable;  // owned until await_ready
    explicit Await(nb::object&& a) noexcept : awaitable(a.release().ptr()) {}
    Await(Await&&) = delete;
    ~Await() { Py_XDECREF(awaitable); }
    bool await_ready() noexcept {
        PyObject* a = std::exchange(awaitable, nullptr);
        PyObject* it = get_awaitable_iter(a);
        Py_DECREF(a);
        return start(it);
    }
    nb::object await_resume() { return take(); }
};

// The awaiter of `TV_AWAIT`; takes the awaitable over.
inline Await await_(nb::object&& awaitable) noexcept { return Await(std::move(awaitable)); }

// `await <expr>` in a coroutine body: gives the result of awaiting `expr`. The expression is evaluated
// in a lambda of its own, so that its temporaries are gone before the coroutine can suspend.
#define TV_AWAIT(...) (co_await ::tv::await_([&]() -> ::nanobind::object { return (__VA_ARGS__); }()))

}  // namespace tv
