// `async for` in a coroutine body: `aiter()` and one awaited `anext()` per step. Included, after
// async.hpp, by the files that use it.
#pragma once

#include "async.hpp"

namespace tv {

// One step of `async for`: gives the next item, or a null handle at StopAsyncIteration. The iterator is
// asked for `__anext__` at every step, as the interpreter asks: its class may lose the method, or the
// object its class, between two items.
struct ANext : AwaitBase {
    PyObject* it;  // borrowed from the caller's `Local`
    explicit ANext(const Local& it) : it(it.ptr()) {}
    bool await_ready() noexcept {
        PyTypeObject* t = Py_TYPE(it);
        // An async generator's __anext__ gives its own awaitable iterator (the asend object); the
        // interpreter's `async for` sends to it directly, and so do we.
        if (PyAsyncGen_CheckExact(it)) return start(t->tp_as_async->am_anext(it));
        unaryfunc next = t->tp_as_async ? t->tp_as_async->am_anext : nullptr;
        if (!next) {
            PyErr_Format(PyExc_TypeError, "'async for' requires an iterator with __anext__ method, got %.100s",
                         t->tp_name);
            return start(nullptr);
        }
        PyObject* awaitable = next(it);
        if (!awaitable) return start(nullptr);
        PyObject* iter = get_awaitable_iter(awaitable);
        if (!iter) {
            // The interpreter's own wording for an __anext__ that returns something not awaitable, with
            // whatever made it so as the cause.
            PyObject* cause = PyErr_GetRaisedException();
            PyErr_Format(PyExc_TypeError, "'async for' received an invalid object from __anext__: %.100s",
                         Py_TYPE(awaitable)->tp_name);
            PyObject* exc = PyErr_GetRaisedException();
            PyException_SetCause(exc, Py_NewRef(cause));
            PyException_SetContext(exc, cause);
            PyErr_SetRaisedException(exc);
        }
        Py_DECREF(awaitable);
        return start(iter);
    }
    nb::object await_resume() {
        if (error && PyErr_GivenExceptionMatches(error, PyExc_StopAsyncIteration)) {
            Py_CLEAR(error);
            return nb::object();
        }
        return result();
    }
};

// `aiter(o)` as `async for` does it, with its error texts.
inline nb::object aiter(nb::handle o) {
    PyTypeObject* t = Py_TYPE(o.ptr());
    if (!t->tp_as_async || !t->tp_as_async->am_aiter)
        raisef(PyExc_TypeError, "'async for' requires an object with __aiter__ method, got %.100s", t->tp_name);
    nb::object it = check(t->tp_as_async->am_aiter(o.ptr()));
    PyTypeObject* it_t = Py_TYPE(it.ptr());
    if (!it_t->tp_as_async || !it_t->tp_as_async->am_anext)
        raisef(PyExc_TypeError,
               "'async for' received an object from __aiter__ that does not implement __anext__: %.100s",
               it_t->tp_name);
    return it;
}

inline ANext anext(const Local& it) { return ANext(it); }

}  // namespace tv
