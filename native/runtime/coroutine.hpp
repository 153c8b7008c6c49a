// The Python side of tv::Coro: the coroutine object type and its driver. Included by async.hpp.
#pragma once

#include "await.hpp"
#include "promise.hpp"
#include "stack_guard.hpp"

#include <algorithm>

namespace tv {

// Wraps a C++ coroutine in a Python coroutine object with the given __name__ and __qualname__.
nb::object make_coroutine(Coro&& c, PyObject* name, PyObject* qualname);

// Registers the coroutine type (once per extension module) and returns it.
PyTypeObject* coroutine_type();

namespace detail {

enum class CoroState : unsigned char { created, suspended, running, finished };

// The two exceptions to the runtime's ownership rule (every owned reference is an RAII handle) are
// both here, in the layer that meets CPython's object protocol.
//
// Raw owned `PyObject*` fields. They remain in two kinds of place, each released in one place:
//   - the layouts of the runtime's Python objects (this one, WrapperObject, DeadlineObject): they are
//     C structs that PyObject_GC_New allocates without running a constructor and PyObject_GC_Del frees
//     without running a destructor, so a member cannot be a handle. Their tp_dealloc releases them
//     (and the tp_clear of the two that have one).
//   - the state an await hands across the iterator protocol's C calls (AwaitBase, Await, the promise's
//     `yielded` and `result`, Thrown): PyIter_Send, PyErr_GetRaisedException and am_send give and take
//     references through `PyObject**` and by stealing, and on the hot path each reference moves through
//     these fields exactly once. A handle would cost a release() or a steal() at every hand-off and say
//     nothing more. The destructor of the struct that holds each releases whatever is still there.
//
// No tp_clear. Clearing a coroutine's references means destroying its frame, which runs the frame's
// destructors (its `Finally` guards, `async with` exits, the deadline's disarming), and those call
// Python code, which must not run from tp_clear. CPython's own coroutines have no tp_clear either, and
// for the same reason cycles through a coroutine are broken the same way: the collector calls
// tp_finalize (close(), see `finalize`) on every unreachable object first, which destroys the frame
// and drops what it held; what is left of the cycle goes with the tp_clear of its other members
// (the task, the socket's dicts and lists). `traverse` is what makes the frame's references visible
// to the collector in the first place.
struct CoroObject {
    PyObject_HEAD
    CoroHandle h;               // the frame, owned; destroyed only by drop_frame()
    PyObject* name;             // owned, released by dealloc
    PyObject* qualname;         // owned, released by dealloc
    PyObject* weakrefs;         // the weak references' list, which PyObject_ClearWeakRefs empties
    CoroObject* deferred_next;  // while its deallocation waits for stack (see dealloc)
    CoroState state;
};

// What `await coro` from Python code iterates (`coro.__await__()`), as CPython's coroutine_wrapper: the
// coroutine itself is not an iterator.
struct WrapperObject {
    PyObject_HEAD
    PyObject* coro;  // owned, released by w_clear (from w_dealloc too)
};

inline PyTypeObject coro_type_object = {PyVarObject_HEAD_INIT(nullptr, 0)};
inline PyTypeObject wrapper_type_object = {PyVarObject_HEAD_INIT(nullptr, 0)};

inline CoroObject* as_coro(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }
inline bool is_native(PyObject* o) { return Py_IS_TYPE(o, &coro_type_object); }

// ---- frames ----

// Destroys the frame of a coroutine that was never started or has finished. Its destructors may call
// into Python: the caller keeps the coroutine marked running meanwhile, so that it cannot be re-entered.
inline void drop_frame(CoroObject* self) noexcept {
    CoroHandle h = std::exchange(self->h, {});
    if (h) h.destroy();
}

// Destroys a suspended frame without resuming it, as if `raised` (owned; null meaning GeneratorExit)
// were raised at its await: that is what its `Finally` guards and `async with` exits run with. Returns
// the exception that then leaves the frame (owned; null when it is still GeneratorExit). Only for a
// frame that its finaliser could not end (see discard_frame); close() resumes the frame instead.
inline PyObject* unwind_frame(CoroObject* self, PyObject* raised) noexcept {
    PyObject* exc = raised;
    self->h.promise().unwinding = &exc;
    drop_frame(self);
    return exc;
}

// The body ended with an exception: it becomes the Python error the step raises. Out of line, so that
// the frame of resume(), which a chain of coroutines nests once per link, stays small.
[[gnu::cold, gnu::noinline]] inline PySendResult raised(CoroObject* self) noexcept {
    CoroPromise& p = self->h.promise();
    std::exception_ptr exc = std::move(p.exception);
    Py_CLEAR(p.result);
    try {
        std::rethrow_exception(exc);
    } catch (...) {
        set_error_from_current_exception();
    }
    exc = nullptr;
    PyObject* error = PyErr_GetRaisedException();
    drop_frame(self);
    if (PyErr_GivenExceptionMatches(error, PyExc_StopIteration)) {
        // As for `async def`: a StopIteration escaping the body must not read as a return.
        PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
        PyObject* err = PyErr_GetRaisedException();
        PyException_SetCause(err, Py_NewRef(error));
        PyException_SetContext(err, error);
        error = err;
    }
    PyErr_SetRaisedException(error);
    return PYGEN_ERROR;
}

// Runs the C++ body until its next suspension or its end.
inline PySendResult resume(CoroObject* self, PyObject** presult) noexcept {
    CoroHandle h = self->h;
    CoroPromise& p = h.promise();
    CoroPromise* outer = std::exchange(running_frame, &p);
    h.resume();
    running_frame = outer;
    // Suspended in an `async with` exit: what it handles is the frame's again, off the thread's stack.
    if (Handling* handling = p.handling) [[unlikely]] {
        if (handling->pushed()) handling->pop();
    }
    if (!h.done()) {
        *presult = std::exchange(p.yielded, nullptr);
        if (!*presult) *presult = Py_NewRef(Py_None);
        return PYGEN_NEXT;
    }
    if (p.exception) [[unlikely]]
        return raised(self);
    PyObject* result = std::exchange(p.result, nullptr);
    drop_frame(self);
    *presult = result ? result : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

// A throw() delivered at an await, out of line: it is seldom, and large.
[[gnu::cold, gnu::noinline]] inline Step throw_in(AwaitBase* aw, Thrown& thrown, PyObject** presult) noexcept {
    return aw->throw_in(thrown, presult);
}

// A step of a frame suspended in an `async with` exit, as the interpreter steps a coroutine that
// handles an exception: a send reaches the awaited iterator with that exception handled, a throw() is
// delivered to the iterator without it, and what comes back into the frame is chained to it.
[[gnu::cold, gnu::noinline]] inline PySendResult step_handling(CoroObject* self, PyObject* arg, Thrown* thrown,
                                                               PyObject** presult) noexcept {
    CoroPromise& p = self->h.promise();
    AwaitBase* aw = p.suspended;
    Handling& handling = *p.handling;
    if (!thrown) {
        handling.push();
        if (aw->send(arg, presult) == Step::yielded) {
            handling.pop();
            return PYGEN_NEXT;
        }
    } else {
        // The iterator the await is over with is let go of once the frame handles the exception again
        // (the interpreter keeps it on the frame's stack until then): its finaliser sees it so.
        PyObject* awaited = Py_XNewRef(aw->awaited());
        Step s = aw->throw_in(*thrown, presult);
        if (s != Step::done) {
            Py_XDECREF(awaited);
            return s == Step::yielded ? PYGEN_NEXT : PYGEN_ERROR;
        }
        handling.push();
        aw->chain_error();
        Py_XDECREF(awaited);
    }
    p.suspended = nullptr;
    return resume(self, presult);  // which pops it again when the frame suspends
}

// One step of a coroutine that is marked running: starts it, or delivers a value (`thrown` null) or
// an exception to the awaiter it is suspended at.
inline PySendResult step(CoroObject* self, PyObject* arg, Thrown* thrown, PyObject** presult) noexcept {
    CoroPromise& p = self->h.promise();
    AwaitBase* aw = p.suspended;
    if (!aw) return resume(self, presult);  // just created
    if (p.handling) [[unlikely]]
        return step_handling(self, arg, thrown, presult);
    Step s;
    if (!thrown) [[likely]]
        s = aw->send(arg, presult);
    else
        s = throw_in(aw, *thrown, presult);
    if (s == Step::yielded) return PYGEN_NEXT;
    if (s == Step::refused) [[unlikely]]
        return PYGEN_ERROR;
    p.suspended = nullptr;
    return resume(self, presult);
}

// What a coroutine that cannot take a step says, once the arguments of a throw() have been checked
// as the interpreter checks them first.
[[gnu::cold]] inline PySendResult refuse_step(CoroObject* self, Thrown* thrown) noexcept {
    if (thrown) {
        PyObject* exc = thrown->make();
        if (!exc) return PYGEN_ERROR;
        Py_DECREF(exc);
    }
    if (self->state == CoroState::running)
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    else
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
}

// What a drive of a coroutine that is not suspended, or of a new one given a value or an exception,
// gives instead of a step. Out of line, as the frame of drive() is nested once per link of a chain.
[[gnu::cold, gnu::noinline]] inline PySendResult refuse_drive(CoroObject* self, PyObject* arg, Thrown* thrown) noexcept {
    if (self->state != CoroState::created) return refuse_step(self, thrown);
    if (thrown) {  // raised before the body's first line: nothing in it can handle it
        PyObject* exc = thrown->make();
        if (!exc) return PYGEN_ERROR;
        self->state = CoroState::running;
        drop_frame(self);
        self->state = CoroState::finished;
        PyErr_SetRaisedException(exc);
        return PYGEN_ERROR;
    }
    (void)arg;
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    return PYGEN_ERROR;
}

// The driver: delivers a value (`thrown` null) or an exception to the coroutine. From the moment a
// step starts until everything it let go of has been released, the coroutine is running, and any
// send, throw or close of it (from a __del__, a property, an iterator's throw) is refused.
inline PySendResult drive(CoroObject* self, PyObject* arg, Thrown* thrown, PyObject** presult) noexcept {
    *presult = nullptr;
    if (self->state != CoroState::suspended && (self->state != CoroState::created || thrown || arg != Py_None))
        [[unlikely]]
        return refuse_drive(self, arg, thrown);
    if (!enter_drive()) return PYGEN_ERROR;
    self->state = CoroState::running;
    PySendResult r = step(self, arg, thrown, presult);
    self->state = self->h ? CoroState::suspended : CoroState::finished;
    leave_drive();
    return r;
}

// ---- close ----

// The links of a chain being closed, outermost first, each owned. A few live inline; a deep chain
// grows its own storage, and past what it can get the rest of the chain is closed by nesting.
class Chain {
public:
    Chain() = default;
    Chain(const Chain&) = delete;
    ~Chain() {
        for (std::size_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
        if (items_ != inline_) PyMem_Free(items_);
    }
    bool push(CoroObject* c) noexcept {
        if (size_ == capacity_) {
            std::size_t capacity = capacity_ * 4;
            auto* grown = static_cast<CoroObject**>(PyMem_Malloc(capacity * sizeof(CoroObject*)));
            if (!grown) return false;
            std::copy(items_, items_ + size_, grown);
            if (items_ != inline_) PyMem_Free(items_);
            items_ = grown;
            capacity_ = capacity;
        }
        items_[size_++] = reinterpret_cast<CoroObject*>(Py_NewRef(reinterpret_cast<PyObject*>(c)));
        return true;
    }
    std::size_t size() const noexcept { return size_; }
    CoroObject* operator[](std::size_t i) const noexcept { return items_[i]; }

private:
    CoroObject* inline_[8];
    CoroObject** items_ = inline_;
    std::size_t size_ = 0, capacity_ = 8;
};

// Ends a suspended coroutine that is marked running, once the iterator it awaits has been closed, as
// the interpreter's close() does: GeneratorExit (`err` null), or the error that closing raised (owned),
// is thrown in at the await, and the body goes on from there like an `async def` would: its guards and
// `async with` exits run, and it may handle the exception, return, or even await again. Returns
// close()'s result (new ref), or null with its error set.
inline PyObject* end_suspended(CoroObject* self, PyObject* err) noexcept {
    if (!err) {
        PyErr_SetNone(PyExc_GeneratorExit);
        err = PyErr_GetRaisedException();
    }
    CoroPromise& p = self->h.promise();
    if (p.handling) {  // closed in an `async with` exit (one that waits)
        p.handling->push();
        err = chain_to_handled(err);
    }
    std::exchange(p.suspended, nullptr)->end_with(err);
    PyObject* res = nullptr;
    PySendResult r = resume(self, &res);
    self->state = self->h ? CoroState::suspended : CoroState::finished;
    if (r == PYGEN_NEXT) {  // it awaits again: still suspended, there
        Py_DECREF(res);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
#if PY_VERSION_HEX >= 0x030D0000
        return res;  // since 3.13, close() gives what the coroutine returned
#else
        Py_DECREF(res);
        Py_RETURN_NONE;
#endif
    }
    if (!PyErr_ExceptionMatches(PyExc_GeneratorExit)) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
}

// close(): the coroutine ends at its await. When it awaits another coroutine of this type, suspended
// in turn, closing that one is part of closing it, and so on down: the whole chain is marked running,
// then closed from the innermost link up, each link getting what closing the one below raised (the
// interpreter nests one gen_close per link instead; a chain of any depth closes here).
inline PyObject* close_coro(CoroObject* self, bool finalising) noexcept {
    switch (self->state) {
        case CoroState::finished: Py_RETURN_NONE;
        case CoroState::running: PyErr_SetString(PyExc_ValueError, "coroutine already executing"); return nullptr;
        case CoroState::created:
            self->state = CoroState::running;
            drop_frame(self);
            self->state = CoroState::finished;
            Py_RETURN_NONE;
        case CoroState::suspended: break;
    }
    if (!enter_close(finalising)) return nullptr;
    PyObject* result = nullptr;  // the chain holds one link at least: the loop below sets it
    PyObject* err;
    {
        Chain chain;
        chain.push(self);  // the first few never fail
        self->state = CoroState::running;
        for (;;) {
            AwaitBase* aw = chain[chain.size() - 1]->h.promise().suspended;
            PyObject* it = aw ? aw->awaited_native() : nullptr;
            // Past what the chain can hold (out of memory), the rest is closed by nesting.
            if (!it || as_coro(it)->state != CoroState::suspended || !chain.push(as_coro(it))) break;
            as_coro(it)->state = CoroState::running;
        }
        AwaitBase* aw = chain[chain.size() - 1]->h.promise().suspended;
        err = aw ? aw->close() : nullptr;
        for (std::size_t i = chain.size(); i-- > 0;) {
            result = end_suspended(chain[i], err);
            err = result ? nullptr : PyErr_GetRaisedException();
            if (i) Py_CLEAR(result);
        }
        // Letting go of the links may run Python code: the outcome is kept aside meanwhile.
    }
    leave_drive();
    if (err) PyErr_SetRaisedException(err);
    return result;
}

// ---- the Python methods ----

inline PySendResult am_send(PyObject* o, PyObject* arg, PyObject** presult) {
    return drive(as_coro(o), arg, nullptr, presult);
}

inline PyObject* result_of_send(PySendResult r, PyObject* res) {
    if (r == PYGEN_NEXT) return res;
    if (r == PYGEN_RETURN) {
        if (res == Py_None)
            PyErr_SetNone(PyExc_StopIteration);
        else {
            PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, res);
            if (stop) {
                PyErr_SetObject(PyExc_StopIteration, stop);
                Py_DECREF(stop);
            }
        }
        Py_DECREF(res);
    }
    return nullptr;
}

inline PyObject* send_coro(CoroObject* self, PyObject* arg) {
    PyObject* res = nullptr;
    PySendResult r = drive(self, arg, nullptr, &res);
    return result_of_send(r, res);
}

inline PyObject* throw_coro(CoroObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        if (nargs < 1)
            PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        else
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
    Thrown thrown(args, nargs);
    PyObject* res = nullptr;
    PySendResult r = drive(self, Py_None, &thrown, &res);
    return result_of_send(r, res);
}

inline PyObject* m_send(PyObject* o, PyObject* arg) { return send_coro(as_coro(o), arg); }
inline PyObject* m_throw(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    return throw_coro(as_coro(o), args, nargs);
}
inline PyObject* m_close(PyObject* o, PyObject*) { return close_coro(as_coro(o), false); }

// `coro.__await__()`: the iterator over the coroutine, as for an `async def`. One is made for every
// `await` of a native coroutine in Python code and lives for that await, so a few are kept for reuse,
// as asyncio keeps its future iterators (not where the frame pool is off: see FramePool).
inline WrapperObject* free_wrappers = nullptr;  // linked through `coro`
inline int free_wrapper_count = 0;
constexpr int wrappers_kept = TV_FRAME_POOL ? 16 : 0;

inline PyObject* make_wrapper(PyObject* coro) {
    WrapperObject* w = free_wrappers;
    if (w) {
        free_wrappers = reinterpret_cast<WrapperObject*>(w->coro);
        --free_wrapper_count;
        PyObject_Init((PyObject*)w, &wrapper_type_object);
    } else {
        w = PyObject_GC_New(WrapperObject, &wrapper_type_object);
        if (!w) return nullptr;
    }
    w->coro = Py_NewRef(coro);
    PyObject_GC_Track((PyObject*)w);
    return (PyObject*)w;
}
inline PyObject* m_dunder_await(PyObject* o, PyObject*) { return make_wrapper(o); }

// `await coro` in Python code (the interpreter asks the type's am_await). A coroutine suspended at an
// await is being driven by someone else; a second awaiter would send to it out of turn.
inline bool refuse_second_awaiter(PyObject* o) {
    if (as_coro(o)->state != CoroState::suspended) return false;
    PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return true;
}
inline PyObject* am_await(PyObject* o) { return refuse_second_awaiter(o) ? nullptr : make_wrapper(o); }

inline void finalize(PyObject* o) {
    CoroObject* self = as_coro(o);
    if (self->state == CoroState::finished) return;
    PyObject* saved = PyErr_GetRaisedException();
    bool created = self->state == CoroState::created;
    PyObject* r = close_coro(self, true);
    if (!r)
        PyErr_WriteUnraisable(o);
    else
        Py_DECREF(r);
    if (created && PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", self->qualname) < 0)
        PyErr_WriteUnraisable(o);
    PyErr_SetRaisedException(saved);
}

// The frame of a coroutine that its finaliser did not end (its close was refused for want of stack,
// or it ignored GeneratorExit when it was finalised before): destroyed all the same, its guards
// running as under GeneratorExit, and what they raise reported like any error of a finaliser.
inline void discard_frame(CoroObject* self) noexcept {
    PyObject* saved = PyErr_GetRaisedException();
    bool suspended = self->state == CoroState::suspended;
    self->state = CoroState::running;
    if (suspended) {
        PyObject* exc = unwind_frame(self, nullptr);
        if (exc && !PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
            PyErr_SetRaisedException(exc);
            PyErr_WriteUnraisable(self->qualname);  // the coroutine itself is past resurrection
        } else {
            Py_XDECREF(exc);
        }
    } else {
        drop_frame(self);
    }
    self->state = CoroState::finished;
    PyErr_SetRaisedException(saved);
}

// A frame may hold the last reference to another coroutine, whose frame holds the next: the
// interpreter's trashcan defers deep chains of deallocations instead of nesting them on the C stack.
// Since 3.13 it counts only against the interpreter's C recursion limit, though, whatever stack the
// drives below took, and a chain let go of at the bottom of a deep chain of drives would overflow
// the stack. So below the drive floor a coroutine's deallocation is put aside, on a list of the
// thread, and done by the next deallocation of a coroutine that starts higher up.
inline TV_THREAD_LOCAL CoroObject* deferred_deallocs = nullptr;
inline TV_THREAD_LOCAL bool draining_deallocs = false;

inline void dealloc(PyObject* o);

// The deallocation of a coroutine whose frame has not been destroyed.
inline void dealloc_unfinished(PyObject* o) {
    CoroObject* self = as_coro(o);
    Py_TRASHCAN_BEGIN(o, dealloc)
    PyObject_GC_Track(o);
    if (PyObject_CallFinalizerFromDealloc(o) == 0) {  // else resurrected by its finaliser
        PyObject_GC_UnTrack(o);
        if (self->weakrefs) PyObject_ClearWeakRefs(o);
        if (self->h) discard_frame(self);
        self->state = CoroState::finished;
        Py_CLEAR(self->name);
        Py_CLEAR(self->qualname);
        PyObject_GC_Del(o);
    }
    Py_TRASHCAN_END
}

[[gnu::cold, gnu::noinline]] inline void drain_deallocs() {
    if (draining_deallocs || stack_below(stack_drive_floor)) return;
    draining_deallocs = true;
    while (CoroObject* c = deferred_deallocs) {
        deferred_deallocs = c->deferred_next;
        dealloc_unfinished(reinterpret_cast<PyObject*>(c));  // those it lets go of in turn may join the list
    }
    draining_deallocs = false;
}

inline void dealloc(PyObject* o) {
    CoroObject* self = as_coro(o);
    PyObject_GC_UnTrack(o);
    if (!self->h) {
        // Finished (the common case): its frame is gone already, so there is nothing to finalise and
        // no chain of deallocations to defer.
        if (self->weakrefs) PyObject_ClearWeakRefs(o);
        Py_CLEAR(self->name);
        Py_CLEAR(self->qualname);
        PyObject_GC_Del(o);
        if (deferred_deallocs) [[unlikely]]
            drain_deallocs();
        return;
    }
    if (stack_below(stack_drive_floor)) [[unlikely]] {
        self->deferred_next = deferred_deallocs;
        deferred_deallocs = self;
        return;
    }
    dealloc_unfinished(o);
    if (deferred_deallocs) [[unlikely]]
        drain_deallocs();
}

// Shows the collector what a frame owns: its parameters, and while it is suspended its registered
// locals and the iterator it awaits. A running frame shows nothing, which only ever keeps objects alive.
inline int traverse(PyObject* o, visitproc visit, void* arg) {
    CoroObject* self = as_coro(o);
    if (!self->h || self->state == CoroState::running) return 0;
    CoroPromise& p = self->h.promise();
    if (p.suspended) {
        if (int r = p.suspended->traverse(visit, arg)) return r;
    }
    for (const Local* l = p.locals; l; l = l->next_registered()) Py_VISIT(l->ptr());
    for (nb::object* root : p.roots)
        if (root) Py_VISIT(root->ptr());
    return 0;
}

inline PyObject* repr(PyObject* o) {
    return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coro(o)->qualname, o);
}

inline PyObject* get_name(PyObject* o, void*) { return Py_NewRef(as_coro(o)->name); }
inline PyObject* get_qualname(PyObject* o, void*) { return Py_NewRef(as_coro(o)->qualname); }
inline PyObject* get_running(PyObject* o, void*) { return PyBool_FromLong(as_coro(o)->state == CoroState::running); }
inline PyObject* get_suspended(PyObject* o, void*) {
    return PyBool_FromLong(as_coro(o)->state == CoroState::suspended);
}
inline PyObject* get_await(PyObject* o, void*) {
    CoroObject* self = as_coro(o);
    if (self->h && self->state == CoroState::suspended) {
        AwaitBase* aw = self->h.promise().suspended;
        if (PyObject* it = aw ? aw->awaited() : nullptr) return Py_NewRef(it);
    }
    Py_RETURN_NONE;
}
// cr_code: a code object named after the coroutine function, as tools that describe a task expect.
inline PyObject* get_code(PyObject* o, void*) {
    return (PyObject*)PyCode_NewEmpty("<native>", PyUnicode_AsUTF8(as_coro(o)->qualname), 0);
}
// cr_frame: a frame of that code while the coroutine has not finished, None after, which is how
// inspect.getcoroutinestate() tells a created coroutine from a closed one.
inline PyObject* get_frame(PyObject* o, void*) {
    if (as_coro(o)->state == CoroState::finished) Py_RETURN_NONE;
    PyObject* code = get_code(o, nullptr);
    if (!code) return nullptr;
    PyObject* globals = PyDict_New();
    PyObject* frame = globals ? (PyObject*)PyFrame_New(PyThreadState_Get(), (PyCodeObject*)code, globals, nullptr)
                              : nullptr;
    Py_XDECREF(globals);
    Py_DECREF(code);
    return frame;
}

inline PyMethodDef methods[] = {
    {"send", (PyCFunction)m_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", (PyCFunction)(void (*)())m_throw, METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise\nStopIteration."},
    {"close", (PyCFunction)m_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    // Called by name it never refuses, as for an `async def`; only `await` does (am_await).
    {"__await__", (PyCFunction)m_dunder_await, METH_NOARGS | METH_COEXIST,
     "Return an iterator to be used in await expression."},
    {nullptr, nullptr, 0, nullptr}};

inline PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},      {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr}, {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},     {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},       {nullptr, nullptr, nullptr, nullptr, nullptr}};

inline PyAsyncMethods async_methods = {am_await, nullptr, nullptr, am_send};

// ---- the wrapper that `__await__` returns ----

inline CoroObject* wrapped(PyObject* w) { return as_coro(reinterpret_cast<WrapperObject*>(w)->coro); }

// `next(wrapper)`, which is how the interpreter's SEND resumes an awaited native coroutine. As for a
// generator's tp_iternext, a return of None is the end with no exception set (SEND, `for` and next()
// read that as StopIteration(None)), so the common await of a coroutine that returns None creates no
// StopIteration to be caught and freed again. `send` and `throw` still raise it, as they must.
inline PyObject* w_next(PyObject* w) {
    PyObject* res = nullptr;
    PySendResult r = drive(wrapped(w), Py_None, nullptr, &res);
    if (r == PYGEN_RETURN && res == Py_None) {
        Py_DECREF(res);
        return nullptr;
    }
    return result_of_send(r, res);
}
inline PyObject* w_send(PyObject* w, PyObject* arg) { return send_coro(wrapped(w), arg); }
inline PyObject* w_throw(PyObject* w, PyObject* const* args, Py_ssize_t nargs) {
    return throw_coro(wrapped(w), args, nargs);
}
inline PyObject* w_close(PyObject* w, PyObject*) { return close_coro(wrapped(w), false); }
inline PySendResult w_am_send(PyObject* w, PyObject* arg, PyObject** presult) {
    return drive(wrapped(w), arg, nullptr, presult);
}

inline int w_traverse(PyObject* w, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<WrapperObject*>(w)->coro);
    return 0;
}
inline int w_clear(PyObject* w) {
    Py_CLEAR(reinterpret_cast<WrapperObject*>(w)->coro);
    return 0;
}
inline void w_dealloc(PyObject* w) {
    PyObject_GC_UnTrack(w);
    w_clear(w);
    if (free_wrapper_count < wrappers_kept) {
        auto* kept = reinterpret_cast<WrapperObject*>(w);
        kept->coro = reinterpret_cast<PyObject*>(free_wrappers);
        free_wrappers = kept;
        ++free_wrapper_count;
        return;
    }
    PyObject_GC_Del(w);
}

inline PyMethodDef wrapper_methods[] = {
    {"send", (PyCFunction)w_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", (PyCFunction)(void (*)())w_throw, METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise\nStopIteration."},
    {"close", (PyCFunction)w_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr}};

inline PyAsyncMethods wrapper_async_methods = {nullptr, nullptr, nullptr, w_am_send};

// ---- `await` of an `async def` coroutine ----

// cr_await of an `async def` coroutine, read through the type's own getter (no attribute look-up on
// every await); the attribute itself where the type has no such getter.
inline getter coro_await_getter = nullptr;

inline void find_coro_await_getter() {
    for (PyGetSetDef* g = PyCoro_Type.tp_getset; g && g->name; ++g)
        if (std::strcmp(g->name, "cr_await") == 0) coro_await_getter = g->get;
}

// As the interpreter's `await`: a coroutine suspended at an await of its own is driven by someone else.
inline bool awaited_already(PyObject* coro) {
#if PY_VERSION_HEX < 0x030D0000
    // One that has not started (what a call just returned, the usual case) awaits nothing: the frame
    // state the getter would read first, without the call (-2 is the interpreter's FRAME_CREATED).
    if (reinterpret_cast<PyCoroObject*>(coro)->cr_frame_state == -2) return false;
#endif
    PyObject* yf = coro_await_getter ? coro_await_getter(coro, nullptr) : PyObject_GetAttrString(coro, "cr_await");
    if (!yf) return true;
    bool awaited = yf != Py_None;
    Py_DECREF(yf);
    if (awaited) PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return awaited;
}

}  // namespace detail

inline PyTypeObject* coroutine_type() {
    using namespace detail;
    PyTypeObject* t = &coro_type_object;
    if (t->tp_flags & Py_TPFLAGS_READY) return t;
    PyTypeObject* w = &wrapper_type_object;
    w->tp_name = "tavrin.coroutine_wrapper";
    w->tp_basicsize = sizeof(WrapperObject);
    w->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    w->tp_doc = "A wrapper object implementing __await__ for coroutines.";
    w->tp_dealloc = w_dealloc;
    w->tp_traverse = w_traverse;
    w->tp_clear = w_clear;
    w->tp_iter = PyObject_SelfIter;
    w->tp_iternext = w_next;
    w->tp_methods = wrapper_methods;
    w->tp_as_async = &wrapper_async_methods;
    if (PyType_Ready(w) < 0) throw_error();
    t->tp_name = "tavrin.coroutine";
    t->tp_basicsize = sizeof(CoroObject);
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t->tp_doc = "A coroutine implemented in C++.";
    t->tp_dealloc = dealloc;
    t->tp_finalize = finalize;
    t->tp_traverse = traverse;
    t->tp_repr = repr;
    t->tp_as_async = &async_methods;
    t->tp_methods = methods;
    t->tp_getset = getset;
    t->tp_weaklistoffset = offsetof(CoroObject, weakrefs);
    s_throw = PyUnicode_InternFromString("throw");
    s_close = PyUnicode_InternFromString("close");
    if (!s_throw || !s_close || PyType_Ready(t) < 0) throw_error();
    find_coro_await_getter();
    // asyncio accepts any registered collections.abc.Coroutine, and caches the type afterwards.
    nb::object abc = check(PyImport_ImportModule("collections.abc"));
    nb::object coroutine_abc = check(PyObject_GetAttrString(abc.ptr(), "Coroutine"));
    check(PyObject_CallMethod(coroutine_abc.ptr(), "register", "O", (PyObject*)t));
    return t;
}

inline nb::object make_coroutine(Coro&& c, PyObject* name, PyObject* qualname) {
    using namespace detail;
    CoroObject* o = PyObject_GC_New(CoroObject, &coro_type_object);
    if (!o) throw_error();
    o->h = std::exchange(c.h, {});
    o->name = Py_NewRef(name);
    o->qualname = Py_NewRef(qualname);
    o->weakrefs = nullptr;
    o->deferred_next = nullptr;
    o->state = CoroState::created;
    PyObject_GC_Track((PyObject*)o);
    return nb::steal((PyObject*)o);
}

// The __name__ and __qualname__ of the coroutines of a C++ coroutine that is not a declared function's
// body (one the module starts as a task of its own, say). A declared coroutine function names its
// coroutines itself.
struct CoroName {
    PyObject* name = nullptr;
    PyObject* qualname = nullptr;
    CoroName() = default;
    CoroName(const char* n, const char* q) : name(PyUnicode_InternFromString(n)), qualname(PyUnicode_FromString(q)) {
        if (!name || !qualname) throw_error();
    }
    nb::object wrap(Coro&& c) const { return make_coroutine(std::move(c), name, qualname); }
};

// A generator made a coroutine by `types.coroutine`.
inline bool is_generator_coroutine(PyObject* o) noexcept {
    if (!PyGen_CheckExact(o)) return false;
    PyCodeObject* code = PyGen_GetCode((PyGenObject*)o);
    bool iterable = code->co_flags & CO_ITERABLE_COROUTINE;
    Py_DECREF(code);
    return iterable;
}

// The iterator `await o` drives, with the interpreter's checks and texts. A coroutine of this module
// is driven directly, through its am_send: no wrapper is made.
inline PyObject* get_awaitable_iter(PyObject* o) noexcept {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &detail::coro_type_object) return detail::refuse_second_awaiter(o) ? nullptr : Py_NewRef(o);
    if (PyCoro_CheckExact(o)) return detail::awaited_already(o) ? nullptr : Py_NewRef(o);
    if (t->tp_as_async && t->tp_as_async->am_await) {
        PyObject* it = t->tp_as_async->am_await(o);
        if (!it) return nullptr;
        if (PyCoro_CheckExact(it) || is_generator_coroutine(it)) {
            // __await__ must return an iterator, not a coroutine or another awaitable.
            PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
            Py_DECREF(it);
            return nullptr;
        }
        if (!PyIter_Check(it)) {
            PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
            Py_DECREF(it);
            return nullptr;
        }
        return it;
    }
    // Generator-based coroutines (types.coroutine) are awaitable through their iterator.
    if (is_generator_coroutine(o)) return Py_NewRef(o);
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", t->tp_name);
    return nullptr;
}

}  // namespace tv
