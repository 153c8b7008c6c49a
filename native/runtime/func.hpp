// Python functions implemented in C++.
//
// A `tv::Function` is a callable with the look and the argument rules of a Python `def`: positional or
// keyword arguments, defaults, keyword-only parameters, and the interpreter's own error texts for a
// missing, surplus or unknown argument ("f() missing 1 required positional argument: 'x'"). It has a
// `__dict__` (so `__signature__` and the coroutine-function marker of `inspect` live there), binds
// as a method when stored in a class, and is called through vectorcall without building tuples.
#pragma once

#include "async.hpp"

#include <vector>

namespace tv {

struct Param {
    const char* name;
    bool keyword_only = false;
    nb::object deflt;       // null: required
    nb::object annotation;  // null: none
};

// The C++ body: receives one borrowed value per parameter, in declaration order.
using Impl = PyObject* (*)(PyObject* const* args) noexcept;

struct FunctionDef {
    const char* name;
    const char* qualname;
    const char* doc;
    std::vector<Param> params;
    Impl impl;
    bool coroutine = false;
    nb::object returns;  // annotation of the result; null: none
};

// Adapts `nb::object F(PyObject* const*)` (which may throw) to an Impl.
template <nb::object (*F)(PyObject* const*)>
PyObject* entry(PyObject* const* args) noexcept {
    try {
        nb::object r = F(args);
        return r ? r.release().ptr() : Py_NewRef(Py_None);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

namespace fn_detail {

constexpr Py_ssize_t max_params = 8;

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
    if (!kwnames && nargs == np && np == f->npos) return s.impl(args);  // every argument by position
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
    return s.impl(slots);
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
inline nb::object make_function(const FunctionDef* definition, const char* module) {
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
    f->module = PyUnicode_FromString(module);
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

namespace tv {

// The __name__ and __qualname__ that a coroutine function gives its coroutines.
struct CoroName {
    PyObject* name = nullptr;
    PyObject* qualname = nullptr;
    CoroName() = default;
    CoroName(const char* n, const char* q) : name(PyUnicode_InternFromString(n)), qualname(PyUnicode_FromString(q)) {
        if (!name || !qualname) throw_error();
    }
    nb::object wrap(Coro&& c) const { return make_coroutine(std::move(c), name, qualname); }
};

}  // namespace tv
