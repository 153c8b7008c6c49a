// Small helpers over the CPython API and nanobind handles, shared by both extension modules.
//
// Everything here returns owned references as `nb::object` and reports Python errors by throwing
// `nb::python_error`, which carries the pending exception (type, value and traceback) across C++ frames.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

// `nb::steal` takes over a reference that a raw pointer carries. Given a handle that already owns its
// reference (what `check` and every helper here return), it would make a second owner of that one
// reference, and the object would be freed while the first still points at it. That is refused at
// compile time: pass an owned handle on by moving it, or `release()` it first.
namespace nanobind {
template <typename T = object, typename T2, std::enable_if_t<std::is_base_of_v<object, std::remove_cvref_t<T2>>, int> = 0>
T steal(T2&&) = delete;
}  // namespace nanobind

namespace tv {
namespace nb = nanobind;

// Throws the pending Python error as a C++ exception. Only call with an error set.
[[noreturn]] inline void throw_error() { throw nb::python_error(); }

// Turns a new reference returned by the C API into an owned handle, or throws the pending error.
inline nb::object check(PyObject* p) {
    if (!p) throw_error();
    return nb::steal(p);
}

inline void check(int status) {
    if (status < 0) throw_error();
}

[[noreturn]] inline void raise(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    throw_error();
}

template <typename... A>
[[noreturn]] inline void raisef(PyObject* type, const char* fmt, A... args) {
    PyErr_Format(type, fmt, args...);
    throw_error();
}

// An interned string, created once per module and kept for the life of the process.
struct Name {
    PyObject* p = nullptr;
    Name() = default;
    explicit Name(const char* s) : p(PyUnicode_InternFromString(s)) {
        if (!p) throw_error();
    }
    operator PyObject*() const { return p; }
    operator nb::handle() const { return nb::handle(p); }
    nb::handle h() const { return nb::handle(p); }
};

inline nb::object str(std::string_view s) { return check(PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size())); }

namespace detail {
// What PyObject_GetAttr adds to an AttributeError of a failed look-up: the name and the object, when
// whatever raised it gave neither (a descriptor's own AttributeError, say). Only with an error set.
inline void attribute_error_context(PyObject* o, PyObject* name) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return;
    static PyObject* const s_name = PyUnicode_InternFromString("name");
    static PyObject* const s_obj = PyUnicode_InternFromString("obj");
    PyObject* exc = PyErr_GetRaisedException();
    auto* e = reinterpret_cast<PyAttributeErrorObject*>(exc);
    if (PyErr_GivenExceptionMatches(exc, PyExc_AttributeError) && !e->name && !e->obj &&
        (PyObject_SetAttr(exc, s_name, name) < 0 || PyObject_SetAttr(exc, s_obj, o) < 0)) {
        Py_DECREF(exc);  // the error of setting them is the one raised
        return;
    }
    PyErr_SetRaisedException(exc);
}
}  // namespace detail

// `o.name`, as PyObject_GetAttr gives it: through the type's own look-up, called here directly.
inline nb::object attr(nb::handle o, PyObject* name) {
    getattrofunc get = Py_TYPE(o.ptr())->tp_getattro;
    if (!get) return check(PyObject_GetAttr(o.ptr(), name));
    PyObject* r = get(o.ptr(), name);
    if (!r) {
        detail::attribute_error_context(o.ptr(), name);
        throw_error();
    }
    return nb::steal(r);
}

// PyObject_GetOptionalAttr (3.13) under the name it has on every supported version.
inline int get_optional_attr(PyObject* o, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(o, name, result);
#else
    return _PyObject_LookupAttr(o, name, result);
#endif
}

// attr(o, name, None)-style read that tells a missing attribute apart: returns a null handle when
// the attribute does not exist (AttributeError only), and throws any other error.
inline nb::object attr_opt(nb::handle o, PyObject* name) {
    PyObject* r = nullptr;
    check(get_optional_attr(o.ptr(), name, &r));
    return nb::steal(r);
}

// A weak reference to `o`, and what it refers to: a null handle once that is gone.
inline nb::object weak_ref(nb::handle o) { return check(PyWeakref_NewRef(o.ptr(), nullptr)); }
inline nb::object weak_target(nb::handle ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(ref.ptr(), &target) < 0) throw_error();
    return nb::steal(target);
#else
    PyObject* target = PyWeakref_GetObject(ref.ptr());  // borrowed
    if (!target) throw_error();
    return target == Py_None ? nb::object() : nb::borrow(target);
#endif
}

inline void set_attr(nb::handle o, PyObject* name, nb::handle v) { check(PyObject_SetAttr(o.ptr(), name, v.ptr())); }

inline bool truthy(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw_error();
    return r != 0;
}

// `a == b` as a truth value. The usual operands are exact strings (an event's type against an interned
// constant), compared here as `str.__eq__` compares them: same length, same kind, same code points.
// Anything else goes through the full comparison protocol. Identity answers first, as it does in
// PyObject_RichCompareBool.
inline bool equal(nb::handle a, nb::handle b) {
    PyObject* x = a.ptr();
    PyObject* y = b.ptr();
    if (x == y) return true;
    if (PyUnicode_CheckExact(x) && PyUnicode_CheckExact(y)) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(x);
        if (len != PyUnicode_GET_LENGTH(y) || PyUnicode_KIND(x) != PyUnicode_KIND(y)) return false;
        return std::memcmp(PyUnicode_DATA(x), PyUnicode_DATA(y), (size_t)len * PyUnicode_KIND(x)) == 0;
    }
    int r = PyObject_RichCompareBool(x, y, Py_EQ);
    if (r < 0) throw_error();
    return r != 0;
}

// `a <op> b` for a rich comparison (Py_LT, Py_GE, ...), as Python's operators evaluate it.
inline bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw_error();
    return r != 0;
}

inline bool is_none(nb::handle o) { return o.ptr() == Py_None; }

inline nb::object none() { return nb::borrow(Py_None); }
inline nb::object boolean(bool b) { return nb::borrow(b ? Py_True : Py_False); }

// Calls `o.name(*args)` through the vectorcall method protocol (no bound-method object is built).
template <typename... A>
inline nb::object call_method(nb::handle o, PyObject* name, const A&... args) {
    PyObject* argv[] = {o.ptr(), nb::handle(args).ptr()...};
    return check(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls `o.name(*args, **kw)` where `kwnames` is a tuple of keyword names and the last
// len(kwnames) values of `args` are their values.
template <typename... A>
inline nb::object call_method_kw(nb::handle o, PyObject* name, PyObject* kwnames, const A&... args) {
    PyObject* argv[] = {o.ptr(), nb::handle(args).ptr()...};
    size_t npos = 1 + sizeof...(A) - (size_t)PyTuple_GET_SIZE(kwnames);
    return check(PyObject_VectorcallMethod(name, argv, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

template <typename... A>
inline nb::object call(nb::handle f, const A&... args) {
    PyObject* argv[] = {nullptr, nb::handle(args).ptr()...};
    return check(PyObject_Vectorcall(f.ptr(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <typename... A>
inline nb::object call_kw(nb::handle f, PyObject* kwnames, const A&... args) {
    PyObject* argv[] = {nullptr, nb::handle(args).ptr()...};
    size_t npos = sizeof...(A) - (size_t)PyTuple_GET_SIZE(kwnames);
    return check(PyObject_Vectorcall(f.ptr(), argv + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// A tuple of interned keyword names for the *_kw calls.
inline PyObject* kwnames(std::initializer_list<const char*> names) {
    PyObject* t = PyTuple_New((Py_ssize_t)names.size());
    if (!t) throw_error();
    Py_ssize_t i = 0;
    for (const char* n : names) {
        PyObject* s = PyUnicode_InternFromString(n);
        if (!s) {
            Py_DECREF(t);
            throw_error();
        }
        PyTuple_SET_ITEM(t, i++, s);
    }
    return t;
}

// `d.get(key)` for an arbitrary mapping: the fast path for exact dicts, a method call otherwise.
inline nb::object mapping_get(nb::handle d, PyObject* key, PyObject* get_name) {
    if (PyDict_CheckExact(d.ptr())) {
        PyObject* v = PyDict_GetItemWithError(d.ptr(), key);
        if (!v) {
            if (PyErr_Occurred()) throw_error();
            return none();
        }
        return nb::borrow(v);
    }
    return call_method(d, get_name, nb::handle(key));
}

// `d.get(key, default)`.
inline nb::object mapping_get(nb::handle d, PyObject* key, nb::handle deflt, PyObject* get_name) {
    if (PyDict_CheckExact(d.ptr())) {
        PyObject* v = PyDict_GetItemWithError(d.ptr(), key);
        if (!v) {
            if (PyErr_Occurred()) throw_error();
            return nb::borrow(deflt);
        }
        return nb::borrow(v);
    }
    return call_method(d, get_name, nb::handle(key), deflt);
}

inline void dict_set(nb::handle d, PyObject* key, nb::handle v) { check(PyDict_SetItem(d.ptr(), key, v.ptr())); }

inline nb::object new_dict() { return check(PyDict_New()); }

// str(o) and repr(o) as owned Python strings.
inline nb::object to_str(nb::handle o) { return check(PyObject_Str(o.ptr())); }
inline nb::object to_repr(nb::handle o) { return check(PyObject_Repr(o.ptr())); }

// Concatenates Python strings and C strings into one Python string, as an f-string does. The parts
// stay Python strings throughout, so any text (lone surrogates from JSON included) joins unchanged.
class Text {
public:
    Text() : parts_(check(PyList_New(0))) {}
    Text& operator<<(const char* s) { return add(check(PyUnicode_FromString(s))); }
    Text& operator<<(nb::handle s) { return add(nb::borrow(s)); }  // must be a str
    Text& operator<<(long long v) { return add(check(PyUnicode_FromFormat("%lld", v))); }
    nb::object done() const {
        nb::object empty = check(PyUnicode_FromStringAndSize("", 0));
        return check(PyUnicode_Join(empty.ptr(), parts_.ptr()));
    }

private:
    Text& add(nb::object part) {
        check(PyList_Append(parts_.ptr(), part.ptr()));
        return *this;
    }
    nb::object parts_;
};

// The exact-type check for parameters declared as `str` or `dict`: subclasses are refused too.
inline void check_exact(nb::handle v, PyTypeObject* type, const char* param, bool allow_none = false) {
    if (Py_IS_TYPE(v.ptr(), type) || (allow_none && v.ptr() == Py_None)) return;
    raisef(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param, type->tp_name,
           Py_TYPE(v.ptr())->tp_name);
}

// The ImportError of `from module import name` for a missing name, worded as the interpreter words it:
// the module's file in parentheses, or "unknown location" when it has none.
[[noreturn]] inline void import_name_error(PyObject* mod, PyObject* module_name, PyObject* name) {
    PyObject* path = PyModule_GetFilenameObject(mod);
    if (!path) PyErr_Clear();
    nb::object owned_path = nb::steal(path);
    nb::object msg = path ? check(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, module_name, path))
                          : check(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                                       module_name));
    PyErr_SetImportError(msg.ptr(), module_name, path ? path : Py_None);
    PyObject* exc = PyErr_GetRaisedException();
#if PY_VERSION_HEX >= 0x030C0000
    if (PyObject_SetAttrString(exc, "name_from", name) < 0) PyErr_Clear();
#endif
    PyErr_SetRaisedException(exc);
    throw_error();
}

// `from module import name`, done at every call as the host may swap modules at run time.
// A missing module raises ModuleNotFoundError, a missing name ImportError, as the statement does.
inline nb::object import_from(PyObject* module_name, PyObject* name) {
    PyObject* fromlist = PyTuple_Pack(1, name);
    if (!fromlist) throw_error();
    PyObject* mod = PyImport_ImportModuleLevelObject(module_name, nullptr, nullptr, fromlist, 0);
    Py_DECREF(fromlist);
    if (!mod) throw_error();
    nb::object m = nb::steal(mod);
    PyObject* v = nullptr;
    if (get_optional_attr(mod, name, &v) < 0) throw_error();
    if (!v) import_name_error(mod, module_name, name);
    return nb::steal(v);
}

// A module's global namespace, read the way a Python module reads its globals: by name at each use,
// so that a host or a test can replace any of them at run time.
struct ModuleGlobals {
    PyObject* dict = nullptr;  // the module's __dict__; the module lives as long as the process

    // Watches the dict, so that a value derived from globals can be kept until one of them changes
    // (see `current`). Without a free watcher slot every such value is simply derived at each use.
    void watch() {
        int id = PyDict_AddWatcher(on_change);
        if (id < 0 || PyDict_Watch(id, dict) < 0) {
            PyErr_Clear();
            return;
        }
        watched = true;
    }

    // True when no global has changed since `seen` was taken; otherwise takes `seen` anew and gives
    // false, and the caller derives its value again (it passes the new `seen` in from then on).
    bool current(std::uint64_t& seen) const noexcept {
        if (watched && seen == changes) return true;
        seen = changes;
        return false;
    }
    static constexpr std::uint64_t never = ~std::uint64_t{0};  // a `seen` that is never current

    // The global `name` now; NameError when it has been deleted.
    nb::object operator()(PyObject* name) const {
        PyObject* v = PyDict_GetItemWithError(dict, name);
        if (!v) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            throw_error();
        }
        return nb::borrow(v);
    }

private:
    bool watched = false;
    static inline std::uint64_t changes = 0;
    static int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
        ++changes;
        return 0;
    }
};

// Reports an error that cannot propagate (raised in a destructor or a finaliser) the way Python does.
inline void write_unraisable(PyObject* context) noexcept {
    if (PyErr_Occurred()) PyErr_WriteUnraisable(context);
}

// Converts the C++ exception being handled into the pending Python error. Call inside `catch (...)`.
inline void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (nb::builtin_exception& e) {
        PyObject* type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

// Links `context` under the error `e`, as the interpreter does for an error raised while `context` was
// being handled (an `await` inside an `except` block that C++ cannot express): the innermost exception
// of `e`'s context chain gets `context` as its __context__, and no cycle is made.
inline void set_context(PyObject* raised, PyObject* context) noexcept {
    PyObject* tail = raised;
    PyObject* ctx = context;
    for (int steps = 0; steps < 1000; ++steps) {  // chains are short; a pre-existing cycle stops the walk
        if (tail == ctx) return;
        PyObject* next = PyException_GetContext(tail);
        if (!next) break;
        Py_DECREF(next);
        tail = next;
    }
    // Take `tail` out of the handled exception's own chain first, as the interpreter does.
    PyObject* o = ctx;
    for (int steps = 0; steps < 1000; ++steps) {
        PyObject* next = PyException_GetContext(o);
        if (!next) break;
        Py_DECREF(next);
        if (next == tail) {
            PyException_SetContext(o, nullptr);
            break;
        }
        o = next;
    }
    PyException_SetContext(tail, Py_NewRef(ctx));
}

inline void set_context(const nb::python_error& e, nb::handle context) noexcept {
    set_context(e.value().ptr(), context.ptr());
}

// True when `e` is an ordinary error (derived from Exception), i.e. what `except Exception` catches.
// Cancellation (asyncio.CancelledError), GeneratorExit and KeyboardInterrupt are not.
inline bool is_ordinary(const nb::python_error& e) { return e.matches(PyExc_Exception); }

}  // namespace tv
