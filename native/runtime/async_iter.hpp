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

// The rest of a step of `async for` over an async generator whose awaitable already yielded `first`
// (see TV_ANEXT): the await suspends at once, hands `first` up, and goes on from there.
struct ANextResumed : AwaitBase {
    ANextResumed(nb::object&& started, nb::object&& first) noexcept {
        adopt(started.release().ptr(), first.release().ptr());
    }
    ANextResumed(ANextResumed&&) = delete;
    bool await_ready() noexcept { return false; }
    nb::object await_resume() {
        if (error && PyErr_GivenExceptionMatches(error, PyExc_StopAsyncIteration)) {
            Py_CLEAR(error);
            return nb::object();
        }
        return result();
    }
};

// PyIter_Send(it, None, res), with the slot it would call called here: an async generator's step has no
// `am_send`, and its iterator's StopIteration is read as the return, as PyIter_Send reads it.
inline PySendResult send_none(PyObject* it, PyObject** res) noexcept {
    PyTypeObject* t = Py_TYPE(it);
    if (t->tp_as_async && t->tp_as_async->am_send) return t->tp_as_async->am_send(it, Py_None, res);
#if PY_VERSION_HEX < 0x030D0000  // PyIter_Check's own test, without the call
    bool iterates = t->tp_iternext && t->tp_iternext != &_PyObject_NextNotImplemented;
#else  // the placeholder it tests against is no longer exported
    bool iterates = PyIter_Check(it);
#endif
    if (!iterates) return PyIter_Send(it, Py_None, res);
    if ((*res = t->tp_iternext(it))) return PYGEN_NEXT;
    PyObject* exc = PyErr_GetRaisedException();
    // The interpreter's own StopIteration (the usual one) is told by its type alone.
    auto* stop = reinterpret_cast<PyTypeObject*>(PyExc_StopIteration);
    if (!exc || Py_IS_TYPE(exc, stop) || PyErr_GivenExceptionMatches(exc, PyExc_StopIteration)) {
        PyObject* v = exc && PyObject_TypeCheck(exc, stop) ? reinterpret_cast<PyStopIterationObject*>(exc)->value
                                                           : nullptr;
        *res = Py_NewRef(v ? v : Py_None);
        Py_XDECREF(exc);
        return PYGEN_RETURN;
    }
    PyErr_SetRaisedException(exc);
    return PYGEN_ERROR;
}

// Starts one step of `async for` over an exact async generator `it` where the coroutine runs, as ANext
// does, without an awaiter: false when the step completed at once (`item` the next item, or a null
// handle at StopAsyncIteration; a failed step raises its error here), true when it suspended (`started`
// is then the generator's awaitable and `first` what it yielded, for ANextResumed). An agent's events
// come from such a generator, and most of its steps complete at once.
inline bool anext_suspended(PyObject* it, nb::object& item, nb::object& started, nb::object& first) {
    PyObject* error;
    if (PyObject* step = Py_TYPE(it)->tp_as_async->am_anext(it)) {
        PyObject* res = nullptr;
        PySendResult r = send_none(step, &res);
        if (r == PYGEN_NEXT) {
            started = nb::steal(step);
            first = nb::steal(res);
            return true;
        }
        if (r == PYGEN_RETURN) {
            Py_DECREF(step);
            item = nb::steal(res);
            return false;
        }
        // The error is taken before the awaitable is let go of, whose deallocation may run Python code.
        error = PyErr_GetRaisedException();
        Py_DECREF(step);
    } else {
        error = PyErr_GetRaisedException();
    }
    // A StopAsyncIteration ends the loop, from the step or from __anext__ itself, as in ANext.
    if (PyErr_GivenExceptionMatches(error, PyExc_StopAsyncIteration)) {
        Py_DECREF(error);
        item = nb::object();
        return false;
    }
    PyErr_SetRaisedException(error);
    throw_error();
}

}  // namespace tv

// `item = co_await anext(it)` (`it` a Local): the step of an exact async generator is started here and
// given an awaiter only when it suspends; any other iterator is awaited through ANext.
// clang-format off
#define TV_ANEXT(item, it)                                                                                \
    do {                                                                                                  \
        ::nanobind::object started_, first_;                                                              \
        if (!PyAsyncGen_CheckExact((it).ptr()))                                                           \
            (item) = co_await ::tv::anext(it);                                                            \
        else if (::tv::anext_suspended((it).ptr(), (item), started_, first_))                             \
            (item) = co_await ::tv::ANextResumed(std::move(started_), std::move(first_));                 \
    } while (0)
// clang-format on
