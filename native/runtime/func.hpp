// Python functions implemented in C++.
//
// A function made here is a callable with the look and the argument rules of a Python `def`: positional or
// keyword arguments, defaults, keyword-only parameters, and the interpreter's own error texts for a
// missing, surplus or unknown argument ("f() missing 1 required positional argument: 'x'"). It has a
// `__dict__` (so `__signature__` and the coroutine-function marker of `inspect` live there), binds
// as a method when stored in a class, and is called through vectorcall without building tuples.
//
// A function is declared once, beside its C++ body, the way `def` declares it in Python:
//
//     Coro handle_chat(nb::object ws, Dict message) { ... }
//     ...
//     define(module, function<handle_chat>("_handle_chat", arg("ws", "WebSocket"),
//                                          arg("message", "dict[str, Any]"), returns("None"), "Handle ..."));
//
// The body's C++ signature says the rest: how many parameters there are (a declaration that names
// another number does not compile), what each one accepts (below: `Exact`, `AsInt`, or any object),
// and whether the function is a coroutine function (its body returns `Coro`). Its coroutines take
// their `__name__` and `__qualname__` from the function, as those of an `async def` do.
#pragma once

#include "py.hpp"

#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace tv {

// A body returning `Coro` is a coroutine function: its calls are wrapped by `make_coroutine`
// (coroutine.hpp), which the file that declares such a function includes through async.hpp.
class Coro;

struct Param {
    const char* name;
    bool keyword_only = false;
    nb::object deflt;       // null: required
    nb::object annotation;  // null: none
};

struct FunctionDef;

constexpr Py_ssize_t max_params = 8;

// The Python object of a function.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* definition;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* dict;
    PyObject* pnames[max_params];
    Py_ssize_t npos;  // parameters that may be given by position
};

// What a call runs once the arguments are matched to the parameters: receives the function and one
// borrowed value per parameter, in declaration order.
using Impl = PyObject* (*)(const FunctionObject& f, PyObject* const* args) noexcept;

struct FunctionDef {
    const char* name;
    const char* qualname;
    const char* doc;
    std::vector<Param> params;
    Impl impl;
    bool coroutine = false;
    nb::object returns;  // annotation of the result; null: none
};

// Makes an Impl of `nb::object F(PyObject* const*)` (which may throw), for a FunctionDef written out
// by hand; `function<Body>` below makes both from the body instead.
template <nb::object (*F)(PyObject* const*)>
PyObject* entry(const FunctionObject&, PyObject* const* args) noexcept {
    try {
        nb::object r = F(args);
        return r ? r.release().ptr() : Py_NewRef(Py_None);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// ---- What a parameter accepts, said by the type the body takes it as ----
//
// `PyObject*` and `nb::handle` are the caller's borrowed reference, `nb::object` an owned one (what a
// coroutine keeps); each accepts anything. A kind of its own says `accepts(v)`, `refuse(v, name)` (the
// TypeError the caller sees) and `take(v)` (the body's value), and is checked before the body runs,
// so a coroutine function refuses an argument when it is called, before a coroutine exists.

// A parameter declared `str`, `dict`, ... that takes exactly that type, subclasses refused too (and
// None when `AllowNone`): "Argument 'message' has incorrect type (expected dict, got list)".
template <PyTypeObject* Type, bool AllowNone = false>
struct Exact : nb::object {
    explicit Exact(PyObject* v) : nb::object(v, nb::detail::borrow_t{}) {}
    static bool accepts(PyObject* v) noexcept { return Py_IS_TYPE(v, Type) || (AllowNone && v == Py_None); }
    static void refuse(PyObject* v, const char* name) { check_exact(v, Type, name, AllowNone); }
    static Exact take(PyObject* v) { return Exact(v); }
};

using Str = Exact<&PyUnicode_Type>;
using StrOrNone = Exact<&PyUnicode_Type, true>;
using Dict = Exact<&PyDict_Type>;

// A parameter declared `int` that takes any number but text: an int (or a subclass) as it is, another
// number as int() converts it; anything else is refused.
struct AsInt : nb::object {
    using nb::object::object;
    // Taking it can fail (int(nan)); the body's arguments are taken in an order C++ chooses, so a
    // signature has at most one such parameter, whose error is then the only one possible.
    static constexpr bool take_can_fail = true;
    static bool accepts(PyObject* v) noexcept { return PyLong_Check(v) || (PyNumber_Check(v) && !PyUnicode_Check(v)); }
    static void refuse(PyObject* v, const char* name) {
        raisef(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, "int",
               Py_TYPE(v)->tp_name);
    }
    static AsInt take(PyObject* v) {
        if (PyLong_Check(v)) return AsInt(v, nb::detail::borrow_t{});
        return AsInt(check(PyNumber_Long(v)).release(), nb::detail::steal_t{});
    }
};

namespace fn_detail {

template <typename T>
concept TakeCanFail = T::take_can_fail;

template <typename T>
struct Arg {
    static constexpr bool checked = true;
    static constexpr int can_fail = TakeCanFail<T> ? 1 : 0;
    static T take(PyObject* v) { return T::take(v); }
};
template <>
struct Arg<PyObject*> {
    static constexpr bool checked = false;
    static constexpr int can_fail = 0;
    static PyObject* take(PyObject* v) noexcept { return v; }
};
template <>
struct Arg<nb::handle> {
    static constexpr bool checked = false;
    static constexpr int can_fail = 0;
    static nb::handle take(PyObject* v) noexcept { return v; }
};
template <>
struct Arg<nb::object> {
    static constexpr bool checked = false;
    static constexpr int can_fail = 0;
    static nb::object take(PyObject* v) noexcept { return nb::borrow(v); }
};

// The Impl of a body `R Body(A...)`: checks each argument in parameter order, then runs the body and
// hands back its result (None for void), or wraps the `Coro` it returns in a coroutine object.
template <auto Body>
struct Wrapper;

template <typename R, typename... A, R (*Body)(A...)>
struct Wrapper<Body> {
    static constexpr std::size_t arity = sizeof...(A);
    static constexpr bool coroutine = std::is_same_v<R, Coro>;
    static_assert(arity <= max_params, "a function takes at most max_params parameters");
    static_assert((0 + ... + Arg<std::remove_cvref_t<A>>::can_fail) <= 1,
                  "at most one parameter whose taking can fail (see AsInt)");

    static PyObject* call(const FunctionObject& f, PyObject* const* args) noexcept {
        try {
            return run(f, args, std::index_sequence_for<A...>{});
        } catch (...) {
            set_error_from_current_exception();
            return nullptr;
        }
    }

    template <std::size_t... I>
    static PyObject* run(const FunctionObject& f, PyObject* const* args, std::index_sequence<I...>) {
        (admit<std::remove_cvref_t<A>>(f, args[I], I), ...);
        if constexpr (coroutine) {
            return make_coroutine(Body(Arg<std::remove_cvref_t<A>>::take(args[I])...), f.name, f.qualname)
                .release()
                .ptr();
        } else if constexpr (std::is_void_v<R>) {
            Body(Arg<std::remove_cvref_t<A>>::take(args[I])...);
            return Py_NewRef(Py_None);
        } else {
            nb::object r = Body(Arg<std::remove_cvref_t<A>>::take(args[I])...);
            return r ? r.release().ptr() : Py_NewRef(Py_None);
        }
    }

    template <typename T>
    static void admit(const FunctionObject& f, PyObject* v, std::size_t i) {
        if constexpr (Arg<T>::checked)
            if (!T::accepts(v)) T::refuse(v, f.definition->params[i].name);
    }
};

struct Returns {
    nb::object annotation;
};

inline void add(FunctionDef& d, Param p) { d.params.push_back(std::move(p)); }
inline void add(FunctionDef& d, Returns r) { d.returns = std::move(r.annotation); }
inline void add(FunctionDef& d, const char* doc) { d.doc = doc; }

template <typename T>
constexpr int is_param = std::is_same_v<std::remove_cvref_t<T>, Param> ? 1 : 0;

}  // namespace fn_detail

// An annotation for a signature: a text, as `from __future__ import annotations` leaves them, or an
// object (a class that a framework reads from the signature).
struct Annotation {
    nb::object value;
    Annotation() = default;
    Annotation(const char* text) : value(str(text)) {}
    Annotation(nb::object o) : value(std::move(o)) {}
};

// A parameter, `name: annotation = deflt`; without a default it is required.
inline Param arg(const char* name, Annotation annotation = {}, nb::object deflt = {}) {
    return Param{name, false, std::move(deflt), std::move(annotation.value)};
}

// The annotation of the result, `-> annotation`.
inline fn_detail::Returns returns(Annotation annotation) { return {std::move(annotation.value)}; }

// Declares the function whose body is `Body`, by its qualified name (its `__name__` is the last part)
// and, in any order: one `Param` for each of the body's parameters, in the body's order; `returns(...)`;
// the docstring. The declaration lives as long as the process, like a function's code object.
template <auto Body, typename... Extra>
const FunctionDef* function(const char* qualname, Extra&&... extra) {
    using W = fn_detail::Wrapper<Body>;
    static_assert((0 + ... + fn_detail::is_param<Extra>) == W::arity,
                  "declare one Param for each parameter of the body");
    const char* dot = std::strrchr(qualname, '.');
    auto* d = new FunctionDef{dot ? dot + 1 : qualname, qualname, nullptr, {}, &W::call, W::coroutine, {}};
    (fn_detail::add(*d, std::forward<Extra>(extra)), ...);
    return d;
}

// A method: a function whose first parameter, `self`, the declaration leaves out.
template <auto Body, typename... Extra>
const FunctionDef* method(const char* qualname, Extra&&... extra) {
    return function<Body>(qualname, arg("self"), std::forward<Extra>(extra)...);
}

namespace fn_detail {

inline PyTypeObject function_type_object = {PyVarObject_HEAD_INIT(nullptr, 0)};

inline PyObject* quoted_names(PyObject* const* names, Py_ssize_t n) {
    // 'a'  /  'a' and 'b'  /  'a', 'b', and 'c'
    PyObject* out = PyUnicode_FromString("");
    for (Py_ssize_t i = 0; out && i < n; ++i) {
        const char* sep = i == 0 ? "" : (n == 2 ? " and " : (i == n - 1 ? ", and " : ", "));
        PyObject* next = PyUnicode_FromFormat("%U%s'%U'", out, sep, names[i]);
        Py_DECREF(out);
        out = next;
    }
    return out;
}

inline PyObject* missing(FunctionObject* f, PyObject* const* slots, bool keyword_only) {
    const FunctionDef& s = *f->definition;
    PyObject* names[max_params];
    Py_ssize_t n = 0;
    for (size_t i = 0; i < s.params.size(); ++i)
        if (!slots[i] && !s.params[i].deflt && s.params[i].keyword_only == keyword_only) names[n++] = f->pnames[i];
    PyObject* list = quoted_names(names, n);
    if (!list) return nullptr;
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", f->qualname, n,
                 keyword_only ? "keyword-only" : "positional", n == 1 ? "" : "s", list);
    Py_DECREF(list);
    return nullptr;
}

inline PyObject* too_many(FunctionObject* f, Py_ssize_t given) {
    const FunctionDef& s = *f->definition;
    Py_ssize_t defaults = 0;
    for (Py_ssize_t i = 0; i < f->npos; ++i)
        if (s.params[i].deflt) ++defaults;
    if (defaults)
        PyErr_Format(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given", f->qualname,
                     f->npos - defaults, f->npos, given, given == 1 ? "was" : "were");
    else
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", f->qualname, f->npos,
                     f->npos == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    return nullptr;
}

inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = reinterpret_cast<FunctionObject*>(callable);
    const FunctionDef& s = *f->definition;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t np = (Py_ssize_t)s.params.size();
    if (!kwnames && nargs == np && np == f->npos) return s.impl(*f, args);  // every argument by position
    PyObject* slots[max_params] = {};
    for (Py_ssize_t i = 0; i < nargs && i < f->npos; ++i) slots[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        Py_ssize_t i = 0;
        for (; i < np; ++i)
            if (f->pnames[i] == key) break;
        if (i == np)
            for (i = 0; i < np; ++i)
                if (PyUnicode_Compare(f->pnames[i], key) == 0) break;
        if (i == np) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
            return nullptr;
        }
        if (slots[i]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
            return nullptr;
        }
        slots[i] = args[nargs + j];
    }
    if (nargs > f->npos) return too_many(f, nargs);
    bool lacking_positional = false, lacking_keyword = false;
    for (Py_ssize_t i = 0; i < np; ++i) {
        if (slots[i]) continue;
        if (s.params[i].deflt)
            slots[i] = s.params[i].deflt.ptr();
        else if (s.params[i].keyword_only)
            lacking_keyword = true;
        else
            lacking_positional = true;
    }
    if (lacking_positional) return missing(f, slots, false);
    if (lacking_keyword) return missing(f, slots, true);
    return s.impl(*f, slots);
}

inline PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject* repr(PyObject* o) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<FunctionObject*>(o)->qualname, o);
}

inline int traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<FunctionObject*>(o)->dict);
    return 0;
}

inline int clear(PyObject* o) {
    Py_CLEAR(reinterpret_cast<FunctionObject*>(o)->dict);
    return 0;
}

inline void dealloc(PyObject* o) {
    FunctionObject* f = reinterpret_cast<FunctionObject*>(o);
    PyObject_GC_UnTrack(o);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    for (auto& p : f->pnames) Py_CLEAR(p);
    PyObject_GC_Del(o);
}

inline PyMemberDef members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), 0, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

inline PyGetSetDef getset[] = {{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
                               {nullptr, nullptr, nullptr, nullptr, nullptr}};

inline PyTypeObject* function_type() {
    PyTypeObject* t = &function_type_object;
    if (t->tp_flags & Py_TPFLAGS_READY) return t;
    t->tp_name = "tavrin.function";
    t->tp_basicsize = sizeof(FunctionObject);
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t->tp_doc = "A function implemented in C++.";
    t->tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t->tp_call = PyVectorcall_Call;
    t->tp_descr_get = descr_get;
    t->tp_repr = repr;
    t->tp_traverse = traverse;
    t->tp_clear = clear;
    t->tp_dealloc = dealloc;
    t->tp_dictoffset = offsetof(FunctionObject, dict);
    t->tp_members = members;
    t->tp_getset = getset;
    if (PyType_Ready(t) < 0) throw_error();
    return t;
}

}  // namespace fn_detail

// Builds the function object for `definition` (which must outlive it), with its `__signature__`, and marks
// coroutine functions for `inspect.iscoroutinefunction`.
inline nb::object make_function(const FunctionDef* definition, nb::handle module) {
    using namespace fn_detail;
    if ((Py_ssize_t)definition->params.size() > max_params) raise(PyExc_SystemError, "too many parameters");
    FunctionObject* f = PyObject_GC_New(FunctionObject, function_type());
    if (!f) throw_error();
    f->vectorcall = vectorcall;
    f->definition = definition;
    f->name = f->qualname = f->doc = f->module = f->dict = nullptr;
    for (auto& p : f->pnames) p = nullptr;
    f->npos = 0;
    nb::object self = nb::steal((PyObject*)f);
    f->name = PyUnicode_InternFromString(definition->name);
    f->qualname = PyUnicode_FromString(definition->qualname);
    f->doc = definition->doc ? PyUnicode_FromString(definition->doc) : Py_NewRef(Py_None);
    f->module = Py_NewRef(module.ptr());
    f->dict = PyDict_New();
    if (!f->name || !f->qualname || !f->doc || !f->module || !f->dict) throw_error();
    for (size_t i = 0; i < definition->params.size(); ++i) {
        f->pnames[i] = PyUnicode_InternFromString(definition->params[i].name);
        if (!f->pnames[i]) throw_error();
        if (!definition->params[i].keyword_only) f->npos = (Py_ssize_t)i + 1;
    }
    PyObject_GC_Track((PyObject*)f);

    nb::object inspect = check(PyImport_ImportModule("inspect"));
    nb::object parameter = check(PyObject_GetAttrString(inspect.ptr(), "Parameter"));
    nb::object signature = check(PyObject_GetAttrString(inspect.ptr(), "Signature"));
    nb::object empty = check(PyObject_GetAttrString(parameter.ptr(), "empty"));
    nb::object pos_or_kw = check(PyObject_GetAttrString(parameter.ptr(), "POSITIONAL_OR_KEYWORD"));
    nb::object kw_only = check(PyObject_GetAttrString(parameter.ptr(), "KEYWORD_ONLY"));
    nb::object params = check(PyList_New(0));
    PyObject* kw = kwnames({"default", "annotation"});
    nb::object kw_owner = nb::steal(kw);
    for (size_t i = 0; i < definition->params.size(); ++i) {
        const Param& p = definition->params[i];
        nb::object pobj = call_kw(parameter, kw, nb::handle(f->pnames[i]), p.keyword_only ? kw_only : pos_or_kw,
                                  p.deflt ? p.deflt : empty, p.annotation ? p.annotation : empty);
        check(PyList_Append(params.ptr(), pobj.ptr()));
    }
    PyObject* rkw = kwnames({"return_annotation"});
    nb::object rkw_owner = nb::steal(rkw);
    nb::object sig = call_kw(signature, rkw, params, definition->returns ? definition->returns : empty);
    check(PyDict_SetItemString(f->dict, "__signature__", sig.ptr()));
    if (definition->coroutine) {
        nb::object marked = check(PyObject_CallMethod(inspect.ptr(), "markcoroutinefunction", "O", (PyObject*)f));
    }
    return self;
}

inline nb::object make_function(const FunctionDef* definition, const char* module) {
    return make_function(definition, str(module));
}

// Makes the function of `definition` and stores it on `owner` under its name: a module's global or a
// class's method. Its `__module__` is the owner's, as a `def` takes it from where it runs.
inline void define(nb::handle owner, const FunctionDef* definition) {
    nb::object module = PyModule_Check(owner.ptr()) ? check(PyModule_GetNameObject(owner.ptr()))
                                                    : check(PyObject_GetAttrString(owner.ptr(), "__module__"));
    nb::object f = make_function(definition, module);
    check(PyObject_SetAttrString(owner.ptr(), definition->name, f.ptr()));
}

// A class built the way a `class` statement builds one, from a namespace of members.
inline nb::object make_class(const char* name, const char* module, const char* doc, nb::handle ns) {
    check(PyDict_SetItemString(ns.ptr(), "__module__", str(module).ptr()));
    check(PyDict_SetItemString(ns.ptr(), "__qualname__", str(name).ptr()));
    check(PyDict_SetItemString(ns.ptr(), "__doc__", doc ? str(doc).ptr() : Py_None));
    nb::object bases = check(PyTuple_New(0));
    return check(PyObject_CallFunction((PyObject*)&PyType_Type, "sOO", name, bases.ptr(), ns.ptr()));
}

// A read-only property whose getter is `getter`.
inline nb::object make_property(nb::handle getter, const char* doc) {
    return check(PyObject_CallFunction((PyObject*)&PyProperty_Type, "OOOs", getter.ptr(), Py_None, Py_None, doc));
}

}  // namespace tv
