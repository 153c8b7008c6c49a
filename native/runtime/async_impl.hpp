// The Python side of tv::Coro: the coroutine object type and its driver. Included by async.hpp.
#pragma once

namespace tv {
namespace detail {

enum class CoroState : unsigned char { created, suspended, running, finished };

struct CoroObject {
    PyObject_HEAD
    CoroHandle h;
    PyObject* name;
    PyObject* qualname;
    PyObject* weakrefs;
    CoroState state;
};

inline PyTypeObject coro_type_object = {PyVarObject_HEAD_INIT(nullptr, 0)};
inline PyObject* s_throw = nullptr;
inline PyObject* s_close = nullptr;

inline CoroObject* as_coro(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }

// Destroys the frame of a coroutine that will not run again. Destructors in the frame may call
// into Python; the coroutine is marked running meanwhile so that it cannot be re-entered.
inline void drop_frame(CoroObject* self) noexcept {
    CoroHandle h = std::exchange(self->h, {});
    self->state = CoroState::running;
    if (h) h.destroy();
    self->state = CoroState::finished;
}

// Runs the C++ body until its next suspension or its end.
inline PySendResult resume(CoroObject* self, PyObject** presult) noexcept {
    CoroHandle h = self->h;
    self->state = CoroState::running;
    h.resume();
    CoroPromise& p = h.promise();
    if (!h.done()) {
        self->state = CoroState::suspended;
        *presult = std::exchange(p.yielded, nullptr);
        if (!*presult) *presult = Py_NewRef(Py_None);
        return PYGEN_NEXT;
    }
    std::exception_ptr exc = std::move(p.exception);
    PyObject* result = std::exchange(p.result, nullptr);
    drop_frame(self);
    if (exc) {
        try {
            std::rethrow_exception(exc);
        } catch (...) {
            set_error_from_current_exception();
        }
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            // As for `async def`: a StopIteration escaping the body must not read as a return.
            PyObject* cause = PyErr_GetRaisedException();
            PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
            PyObject* err = PyErr_GetRaisedException();
            PyException_SetCause(err, Py_NewRef(cause));
            PyException_SetContext(err, cause);
            PyErr_SetRaisedException(err);
        }
        return PYGEN_ERROR;
    }
    *presult = result ? result : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

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

// Closes an iterator the coroutine awaits, as `close()` does for `yield from`. Returns -1 on error.
inline int close_iter(PyObject* it) noexcept {
    PyObject* m = nullptr;
    if (get_optional_attr(it, s_close, &m) < 0) return -1;
    if (!m) return 0;
    PyObject* r = PyObject_CallNoArgs(m);
    Py_DECREF(m);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// The driver: delivers a value (`exc` null) or an exception (borrowed) to the coroutine.
inline PySendResult drive(CoroObject* self, PyObject* arg, PyObject* exc, PyObject** presult) noexcept {
    *presult = nullptr;
    switch (self->state) {
        case CoroState::running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return PYGEN_ERROR;
        case CoroState::finished:
            if (exc) {
                PyErr_SetRaisedException(Py_NewRef(exc));
                return PYGEN_ERROR;
            }
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        case CoroState::created:
            if (exc) {
                drop_frame(self);
                PyErr_SetRaisedException(Py_NewRef(exc));
                return PYGEN_ERROR;
            }
            if (arg != Py_None) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return PYGEN_ERROR;
            }
            return resume(self, presult);
        case CoroState::suspended:
            break;
    }
    CoroPromise& p = self->h.promise();
    AwaitBase* aw = std::exchange(p.suspended, nullptr);
    PyObject* res = nullptr;
    PySendResult r;
    if (!exc) {
        self->state = CoroState::running;
        r = PyIter_Send(aw->iter, arg, &res);
        self->state = CoroState::suspended;
    } else if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        // GeneratorExit closes the awaited iterator, then is raised at the await.
        self->state = CoroState::running;
        int err = close_iter(aw->iter);
        self->state = CoroState::suspended;
        aw->fail(err < 0 ? PyErr_GetRaisedException() : Py_NewRef(exc));
        return resume(self, presult);
    } else {
        PyObject* thrower = nullptr;
        if (get_optional_attr(aw->iter, s_throw, &thrower) < 0) {
            aw->fail(PyErr_GetRaisedException());
            return resume(self, presult);
        }
        if (!thrower) {  // an iterator without throw(): the exception is raised at the await
            aw->fail(Py_NewRef(exc));
            return resume(self, presult);
        }
        self->state = CoroState::running;
        res = PyObject_CallOneArg(thrower, exc);
        self->state = CoroState::suspended;
        Py_DECREF(thrower);
        if (res) {
            r = PYGEN_NEXT;
        } else if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyObject* stop = PyErr_GetRaisedException();
            res = PyObject_GetAttrString(stop, "value");
            Py_DECREF(stop);
            r = res ? PYGEN_RETURN : PYGEN_ERROR;
        } else {
            r = PYGEN_ERROR;
        }
    }
    if (r == PYGEN_NEXT) {
        p.suspended = aw;
        *presult = res;
        return PYGEN_NEXT;
    }
    aw->finish(r, res);
    return resume(self, presult);
}

inline int close_coro(CoroObject* self) noexcept {
    switch (self->state) {
        case CoroState::finished: return 0;
        case CoroState::running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return -1;
        case CoroState::created: drop_frame(self); return 0;
        case CoroState::suspended: break;
    }
    AwaitBase* aw = self->h.promise().suspended;
    int err = 0;
    if (aw && aw->iter) {
        self->state = CoroState::running;
        err = close_iter(aw->iter);
        self->state = CoroState::suspended;
    }
    PyObject* saved = err < 0 ? PyErr_GetRaisedException() : nullptr;
    drop_frame(self);
    if (saved) {
        PyErr_SetRaisedException(saved);
        return -1;
    }
    return 0;
}

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

inline PyObject* iternext(PyObject* o) {
    PyObject* res = nullptr;
    PySendResult r = drive(as_coro(o), Py_None, nullptr, &res);
    return result_of_send(r, res);
}

inline PyObject* m_send(PyObject* o, PyObject* arg) {
    PyObject* res = nullptr;
    PySendResult r = drive(as_coro(o), arg, nullptr, &res);
    return result_of_send(r, res);
}

inline PyObject* m_throw(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 3) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        }
        return nullptr;
    }
    PyObject* exc = make_exception(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
    if (!exc) return nullptr;
    PyObject* res = nullptr;
    PySendResult r = drive(as_coro(o), Py_None, exc, &res);
    Py_DECREF(exc);
    return result_of_send(r, res);
}

inline PyObject* m_close(PyObject* o, PyObject*) {
    if (close_coro(as_coro(o)) < 0) return nullptr;
    Py_RETURN_NONE;
}

inline PyObject* m_await(PyObject* o) { return Py_NewRef(o); }

inline void finalize(PyObject* o) {
    CoroObject* self = as_coro(o);
    if (self->state == CoroState::finished) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (self->state == CoroState::created) {
        drop_frame(self);
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", self->qualname) < 0)
            PyErr_WriteUnraisable(o);
    } else if (close_coro(self) < 0) {
        PyErr_WriteUnraisable(o);
    }
    PyErr_SetRaisedException(saved);
}

inline void dealloc(PyObject* o) {
    if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected
    CoroObject* self = as_coro(o);
    PyObject_GC_UnTrack(o);
    if (self->weakrefs) PyObject_ClearWeakRefs(o);
    if (self->h) drop_frame(self);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    PyObject_GC_Del(o);
}

inline int traverse(PyObject* o, visitproc visit, void* arg) {
    CoroObject* self = as_coro(o);
    if (self->h && self->state == CoroState::suspended) {
        CoroPromise& p = self->h.promise();
        if (p.suspended) Py_VISIT(p.suspended->iter);
    }
    if (self->h && self->state != CoroState::running) {
        for (nb::object* root : self->h.promise().roots)
            if (root) Py_VISIT(root->ptr());
    }
    return 0;
}

inline PyObject* repr(PyObject* o) {
    return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coro(o)->qualname, o);
}

inline PyObject* get_name(PyObject* o, void*) { return Py_NewRef(as_coro(o)->name); }
inline PyObject* get_qualname(PyObject* o, void*) { return Py_NewRef(as_coro(o)->qualname); }
inline PyObject* get_running(PyObject* o, void*) {
    return PyBool_FromLong(as_coro(o)->state == CoroState::running);
}
inline PyObject* get_suspended(PyObject* o, void*) {
    return PyBool_FromLong(as_coro(o)->state == CoroState::suspended);
}
inline PyObject* get_await(PyObject* o, void*) {
    CoroObject* self = as_coro(o);
    if (self->h && self->state == CoroState::suspended) {
        AwaitBase* aw = self->h.promise().suspended;
        if (aw && aw->iter) return Py_NewRef(aw->iter);
    }
    Py_RETURN_NONE;
}
inline PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

inline PyMethodDef methods[] = {
    {"send", (PyCFunction)m_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", (PyCFunction)(void (*)())m_throw, METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise\nStopIteration."},
    {"close", (PyCFunction)m_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr}};

inline PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

inline PyAsyncMethods async_methods = {m_await, nullptr, nullptr, am_send};

}  // namespace detail

inline PyTypeObject* coroutine_type() {
    using namespace detail;
    PyTypeObject* t = &coro_type_object;
    if (t->tp_flags & Py_TPFLAGS_READY) return t;
    t->tp_name = "tavrin.coroutine";
    t->tp_basicsize = sizeof(CoroObject);
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t->tp_doc = "A coroutine implemented in C++.";
    t->tp_dealloc = dealloc;
    t->tp_finalize = finalize;
    t->tp_traverse = traverse;
    t->tp_repr = repr;
    t->tp_as_async = &async_methods;
    t->tp_iternext = iternext;
    t->tp_methods = methods;
    t->tp_getset = getset;
    t->tp_weaklistoffset = offsetof(CoroObject, weakrefs);
    s_throw = PyUnicode_InternFromString("throw");
    s_close = PyUnicode_InternFromString("close");
    if (!s_throw || !s_close || PyType_Ready(t) < 0) throw_error();
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
    o->state = CoroState::created;
    PyObject_GC_Track((PyObject*)o);
    return nb::steal((PyObject*)o);
}

inline PyObject* get_awaitable_iter(PyObject* o) noexcept {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &detail::coro_type_object || PyCoro_CheckExact(o)) return Py_NewRef(o);
    if (t->tp_as_async && t->tp_as_async->am_await) {
        PyObject* it = t->tp_as_async->am_await(o);
        if (!it) return nullptr;
        if (!PyIter_Check(it)) {
            PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
            Py_DECREF(it);
            return nullptr;
        }
        return it;
    }
    // Generator-based coroutines (types.coroutine) are awaitable through their iterator.
    if (PyGen_CheckExact(o)) {
        PyCodeObject* code = PyGen_GetCode((PyGenObject*)o);
        bool iterable = code->co_flags & CO_ITERABLE_COROUTINE;
        Py_DECREF(code);
        if (iterable) return Py_NewRef(o);
    }
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", t->tp_name);
    return nullptr;
}

}  // namespace tv
