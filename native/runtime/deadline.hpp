// Awaits bounded in time: `TV_AWAIT_WITHIN(timeout_of, expr)` awaits `expr` like `TV_AWAIT`, and when the
// await is still suspended `timeout_of()` seconds after it suspended, it fails with TimeoutError.
//
// The semantics are those of `async with asyncio.timeout(t): await expr`: at the deadline the current
// task is cancelled; the CancelledError that comes back up through the await is turned into
// TimeoutError (with the cancellation as its cause) only when no other cancellation was requested
// meanwhile, which `task.uncancel()` tells, so an outside cancel() is never mistaken for the timeout
// nor lost. What differs is the cost: nothing is read and no timer is armed unless the awaited call
// actually suspends, so a bounded await that completes at once costs what an unbounded one does.
// `timeout_of` gives the bound in seconds, or None for no bound, and is asked at each suspension (a
// module constant read at each use). Outside a task (a coroutine driven by hand) there is nothing to
// cancel, and the await is not bounded.
#pragma once

#include "async.hpp"

namespace tv {
namespace detail {

// The callback a bounded await arms with `loop.call_later`: cancels the task and remembers that it did.
struct DeadlineObject {
    PyObject_HEAD
    // Raw and owned, as in every object layout (see CoroObject), released by deadline_clear.
    PyObject* task;    // the task to cancel at the deadline
    PyObject* handle;  // the loop's TimerHandle, until disarmed (then released at once)
    int cancelling;    // task.cancelling() when the await suspended
    bool fired;
};

inline PyTypeObject deadline_type_object = {PyVarObject_HEAD_INIT(nullptr, 0)};

inline PyObject* deadline_call(PyObject* o, PyObject*, PyObject*) {
    auto* d = reinterpret_cast<DeadlineObject*>(o);
    d->fired = true;
    return PyObject_CallMethod(d->task, "cancel", nullptr);
}

inline int deadline_traverse(PyObject* o, visitproc visit, void* arg) {
    auto* d = reinterpret_cast<DeadlineObject*>(o);
    Py_VISIT(d->task);
    Py_VISIT(d->handle);
    return 0;
}

inline int deadline_clear(PyObject* o) {
    auto* d = reinterpret_cast<DeadlineObject*>(o);
    Py_CLEAR(d->task);
    Py_CLEAR(d->handle);
    return 0;
}

inline void deadline_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    deadline_clear(o);
    PyObject_GC_Del(o);
}

inline PyTypeObject* deadline_type() {
    PyTypeObject* t = &deadline_type_object;
    if (t->tp_flags & Py_TPFLAGS_READY) return t;
    t->tp_name = "tavrin.deadline";
    t->tp_basicsize = sizeof(DeadlineObject);
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t->tp_doc = "The timer callback of a bounded await: cancels its task.";
    t->tp_call = deadline_call;
    t->tp_traverse = deadline_traverse;
    t->tp_clear = deadline_clear;
    t->tp_dealloc = deadline_dealloc;
    if (PyType_Ready(t) < 0) return nullptr;
    return t;
}

inline PyObject* asyncio_attr(const char* name) {
    PyObject* asyncio = PyImport_ImportModule("asyncio");
    if (!asyncio) return nullptr;
    PyObject* v = PyObject_GetAttrString(asyncio, name);
    Py_DECREF(asyncio);
    return v;
}

inline PyObject* call_asyncio(const char* name) {
    PyObject* f = asyncio_attr(name);
    if (!f) return nullptr;
    PyObject* r = PyObject_CallNoArgs(f);
    Py_DECREF(f);
    return r;
}

// Arms the deadline of an await that has just suspended: `timeout` seconds from now, the current task
// is cancelled. Returns the armed deadline (new ref), null with no error when there is nothing to bound,
// null with an error when arming failed.
inline PyObject* arm_deadline(PyObject* timeout) {
    if (timeout == Py_None) return nullptr;
    PyObject* task = call_asyncio("current_task");  // None outside a task; RuntimeError without a loop
    if (!task) {
        PyErr_Clear();
        return nullptr;
    }
    nb::object owned_task = nb::steal(task);
    if (task == Py_None) return nullptr;
    PyObject* cancelling = PyObject_CallMethod(task, "cancelling", nullptr);
    if (!cancelling) return nullptr;
    long count = PyLong_AsLong(cancelling);
    Py_DECREF(cancelling);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    PyTypeObject* type = deadline_type();
    if (!type) return nullptr;
    auto* d = PyObject_GC_New(DeadlineObject, type);
    if (!d) return nullptr;
    d->task = Py_NewRef(task);
    d->handle = nullptr;
    d->cancelling = (int)count;
    d->fired = false;
    PyObject_GC_Track((PyObject*)d);
    nb::object deadline = nb::steal((PyObject*)d);
    PyObject* loop = call_asyncio("get_running_loop");
    if (!loop) return nullptr;
    d->handle = PyObject_CallMethod(loop, "call_later", "OO", timeout, (PyObject*)d);
    Py_DECREF(loop);
    if (!d->handle) return nullptr;
    return deadline.release().ptr();
}

// Disarms a deadline. When it fired, settles the cancellation it requested as asyncio.timeout does:
// `error` (owned, may be null) becomes TimeoutError when it is that cancellation and no other one was
// requested. Returns the error to raise at the await (owned, may be null); null with an error set when
// a call failed.
inline PyObject* disarm_deadline(PyObject* deadline, PyObject* error) {
    auto* d = reinterpret_cast<DeadlineObject*>(deadline);
    if (d->handle) {
        PyObject* r = PyObject_CallMethod(d->handle, "cancel", nullptr);
        Py_CLEAR(d->handle);
        if (!r) {
            Py_XDECREF(error);
            return nullptr;
        }
        Py_DECREF(r);
    }
    if (!d->fired) return error;
    PyObject* remaining = PyObject_CallMethod(d->task, "uncancel", nullptr);
    if (!remaining) {
        Py_XDECREF(error);
        return nullptr;
    }
    long left = PyLong_AsLong(remaining);
    Py_DECREF(remaining);
    if (!error || left > d->cancelling) return error;
    PyObject* cancelled = asyncio_attr("CancelledError");
    if (!cancelled) {
        Py_DECREF(error);
        return nullptr;
    }
    bool is_cancel = PyErr_GivenExceptionMatches(error, cancelled);
    Py_DECREF(cancelled);
    if (!is_cancel) return error;
    PyErr_SetNone(PyExc_TimeoutError);
    PyObject* timeout_error = PyErr_GetRaisedException();
    PyException_SetCause(timeout_error, Py_NewRef(error));
    PyException_SetContext(timeout_error, error);
    return timeout_error;
}

}  // namespace detail

// The bound of an await, in seconds or None, asked when the await suspends.
using TimeoutOf = nb::object (*)();

// Awaits an awaitable that it owns, bounded by `timeout_of()` seconds once it suspends.
struct AwaitWithin : Await {
    TimeoutOf timeout_of;
    AwaitWithin(TimeoutOf timeout_of, nb::object&& a) noexcept : Await(std::move(a)), timeout_of(timeout_of) {}
    // Takes over an iterator that was already sent its first value and yielded `first`: the await
    // suspends at once, hands `first` up, and goes on from there.
    AwaitWithin(TimeoutOf timeout_of, nb::object&& started, nb::object&& first) noexcept
        : Await(nb::object()), timeout_of(timeout_of) {
        adopt(started.release().ptr(), first.release().ptr());
    }
    AwaitWithin(AwaitWithin&&) = delete;

    bool await_ready() noexcept {
        if (!iter && Await::await_ready()) return true;
        try {
            nb::object timeout = timeout_of();
            guard = detail::arm_deadline(timeout.ptr());
            if (!guard && PyErr_Occurred()) throw_error();
        } catch (...) {
            // A bound that cannot be armed (its setting unreadable) leaves the await unbounded; the
            // failure is reported, not raised, as the awaited call is already under way.
            set_error_from_current_exception();
            PyErr_WriteUnraisable(nullptr);
        }
        return false;
    }

    nb::object await_resume() {
        if (guard) {
            PyObject* deadline = std::exchange(guard, nullptr);
            error = detail::disarm_deadline(deadline, std::exchange(error, nullptr));
            Py_DECREF(deadline);
            if (!error && PyErr_Occurred()) {
                Py_CLEAR(value);
                throw_error();
            }
        }
        return result();
    }

    // The frame is destroyed while suspended here: the timer must not cancel the task later.
    ~AwaitWithin() {
        if (!guard) return;
        auto* d = reinterpret_cast<detail::DeadlineObject*>(guard);
        if (!d->handle) return;
        PyObject* saved = PyErr_GetRaisedException();
        PyObject* r = PyObject_CallMethod(d->handle, "cancel", nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(d->handle);
        Py_CLEAR(d->handle);
        PyErr_SetRaisedException(saved);
    }
};

inline AwaitWithin await_within(TimeoutOf timeout_of, nb::object&& awaitable) noexcept {
    return AwaitWithin(timeout_of, std::move(awaitable));
}

// Starts awaiting `awaitable` where no coroutine is running (a send that should not wait when it need
// not): its iterator is sent its first None. PYGEN_RETURN with the result in `*res`; PYGEN_NEXT when it
// yielded `*res`, with `started` the iterator a coroutine goes on with by TV_RESUME_WITHIN; PYGEN_ERROR
// with the error set.
inline PySendResult start_awaiting(nb::object&& awaitable, nb::object& started, PyObject** res) noexcept {
    if (!awaitable) return PYGEN_ERROR;
    if (PyObject* o = awaitable.ptr(); PyCoro_CheckExact(o)) {
        // What an `async def` method returns (every send_json): its own iterator, sent to through its
        // type's slot as PyIter_Send would, the awaitable's reference passed on to `started`.
        if (detail::awaited_already(o)) {
            awaitable = nb::object();
            return PYGEN_ERROR;
        }
        started = std::move(awaitable);
        return Py_TYPE(o)->tp_as_async->am_send(o, Py_None, res);
    }
    started = nb::steal(get_awaitable_iter(awaitable.ptr()));
    awaitable = nb::object();
    if (!started) return PYGEN_ERROR;
    return PyIter_Send(started.ptr(), Py_None, res);
}

inline AwaitWithin resume_within(TimeoutOf timeout_of, nb::object&& started, nb::object&& first) noexcept {
    return AwaitWithin(timeout_of, std::move(started), std::move(first));
}

// Goes on awaiting an iterator that has already yielded `first` (see AwaitWithin), bounded the same way.
#define TV_RESUME_WITHIN(timeout_of, started, first) \
    (co_await ::tv::resume_within((timeout_of), std::move(started), std::move(first)))

// `await expr` bounded by `timeout_of()` seconds once it suspends, with the semantics of asyncio.timeout.
#define TV_AWAIT_WITHIN(timeout_of, ...) \
    (co_await ::tv::await_within((timeout_of), [&]() -> ::nanobind::object { return (__VA_ARGS__); }()))

}  // namespace tv
