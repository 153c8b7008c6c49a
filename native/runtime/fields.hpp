// Classes whose instances keep their attributes in C++ fields rather than in an instance `__dict__`.
//
// `native_class<State>(...)` makes a heap type whose instances carry a `State`: a plain C++ struct of
// `nb::object` members, constructed when the instance is made and destroyed with it. The members
// named as fields are the Python attributes of the same names, through descriptors over the very
// same storage (an `nb::object` is one owned `PyObject*`, which the descriptor reads and writes in
// place), so `obj._task` from Python and `state._task` from C++ are one value:
//   - reading an unset field raises AttributeError, `del obj.field` unsets it, as for any attribute;
//   - instances still take other attributes, in a real dict of their own, and weak references;
//   - `vars(obj)` / `obj.__dict__` is a read-only snapshot of the fields that are set, in declaration
//     order, followed by the other attributes (assign attributes to change them);
//   - the class is subclassable from Python and stays mutable like a `class` statement's; methods
//     and properties are added to it after it is made.
//
// The collector sees every member the State shows in `each()`, and `tp_clear` empties them, so cycles
// through a field (a task whose coroutine holds the instance) are collected.
//
// Native code that reads a field directly skips what Python's attribute look-up would honour: a
// subclass or a patched class that puts a property over the field's name. `untouched(obj)` tells
// when the direct read is exact: the instance is of the class itself and the class has not been
// modified since it was made (a type watcher notices the first change).
#pragma once

#include "py.hpp"

#include <cstddef>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace tv {

// One attribute kept in a field: its name and where the field is in the State.
struct FieldDef {
    const char* name;
    std::size_t offset;  // offsetof(State, member); the member is an nb::object
};

template <class State>
struct NativeObject {
    PyObject_HEAD
    nb::object dict;    // attributes other than the fields (the type's dict offset points here)
    PyObject* weakrefs;  // head of the interpreter's weak-reference list: not a reference we own
    State state;
};

namespace fields_detail {

// What is known of one native class, for its type slots. One per State type.
template <class State>
struct ClassInfo {
    static inline PyTypeObject* type = nullptr;  // owned by the module that made it, for the process
    static inline std::vector<FieldDef> fields;
    static inline bool modified = true;  // until the class is made and watched
};

template <class State>
NativeObject<State>* object_of(PyObject* o) {
    return reinterpret_cast<NativeObject<State>*>(o);
}

template <class State>
PyObject* new_instance(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    auto* self = object_of<State>(o);
    new (&self->dict) nb::object();
    new (&self->state) State();
    return o;
}

template <class State>
int traverse(PyObject* o, visitproc visit, void* arg) {
    auto* self = object_of<State>(o);
    Py_VISIT(Py_TYPE(o));  // an instance of a heap type owns a reference to it
    Py_VISIT(self->dict.ptr());
    int r = 0;
    self->state.each([&](const nb::object& v) {
        if (!r && v) r = visit(v.ptr(), arg);
    });
    return r;
}

// Empties every member, each one unset before its value is released, as Py_CLEAR does.
template <class State>
int clear(PyObject* o) {
    auto* self = object_of<State>(o);
    nb::object released = std::move(self->dict);
    self->state.each([](nb::object& v) { nb::object gone = std::move(v); });
    return 0;
}

template <class State>
void dealloc(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    auto* self = object_of<State>(o);
    if (self->weakrefs) PyObject_ClearWeakRefs(o);
    clear<State>(o);
    self->state.~State();
    self->dict.~object();
    type->tp_free(o);
    Py_DECREF(type);
}

// `obj.__dict__`: the fields that are set, then the other attributes, as a read-only mapping.
template <class State>
PyObject* dict_snapshot(PyObject* o, void*) noexcept {
    try {
        auto* self = object_of<State>(o);
        nb::object d = check(PyDict_New());
        for (const FieldDef& f : ClassInfo<State>::fields) {
            auto& v = *reinterpret_cast<nb::object*>(reinterpret_cast<char*>(&self->state) + f.offset);
            if (v) check(PyDict_SetItemString(d.ptr(), f.name, v.ptr()));
        }
        if (self->dict) check(PyDict_Update(d.ptr(), self->dict.ptr()));
        return PyDictProxy_New(d.ptr());
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// A field's descriptor: reads, assigns and deletes the member in place (`closure` is the field, its
// offset within the object). An unset field is missing the way an instance attribute of a class
// statement's class is, named by the instance's class ("'Runner' object has no attribute '_task'"):
// a member descriptor says it differently from one version to the next.
inline PyObject** field_slot(PyObject* o, void* closure) noexcept {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + static_cast<const FieldDef*>(closure)->offset);
}

inline void field_missing(PyObject* o, void* closure) noexcept {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%.400s'", Py_TYPE(o)->tp_name,
                 static_cast<const FieldDef*>(closure)->name);
}

inline PyObject* get_field(PyObject* o, void* closure) noexcept {
    PyObject* v = *field_slot(o, closure);
    if (!v) field_missing(o, closure);
    return Py_XNewRef(v);
}

inline int set_field(PyObject* o, PyObject* value, void* closure) noexcept {
    PyObject** slot = field_slot(o, closure);
    if (!value && !*slot) {
        field_missing(o, closure);
        return -1;
    }
    PyObject* old = *slot;  // released once the field holds the new value, as an assignment does
    *slot = Py_XNewRef(value);
    Py_XDECREF(old);
    return 0;
}

template <class State>
int on_type_change(PyTypeObject* type) noexcept {
    if (type == ClassInfo<State>::type) ClassInfo<State>::modified = true;
    return 0;
}

}  // namespace fields_detail

// The State of an instance of the native class or of a subclass (see `has_state`).
template <class State>
State& state_of(nb::handle o) {
    return fields_detail::object_of<State>(o.ptr())->state;
}

// True when `o` is an instance of the native class or of a subclass: when it has a State at all (a
// method called through the class may be given any object).
template <class State>
bool has_state(nb::handle o) {
    return PyObject_TypeCheck(o.ptr(), fields_detail::ClassInfo<State>::type);
}

// True when reading `o`'s fields directly is what Python's attribute look-up would give.
template <class State>
bool untouched(nb::handle o) {
    using Info = fields_detail::ClassInfo<State>;
    return Py_TYPE(o.ptr()) == Info::type && !Info::modified;
}

// Makes the class `name` of the module `module` with the given fields. The caller adds its methods,
// then calls `seal_native_class` to start watching the class for changes.
template <class State>
nb::object native_class(const char* module, const char* name, const char* doc, std::vector<FieldDef> fields) {
    using Info = fields_detail::ClassInfo<State>;
    using Object = NativeObject<State>;
    // The descriptors and the type's description outlive the class, which lives as long as the process.
    auto* members = new std::vector<PyMemberDef>();
    members->push_back({"__dictoffset__", Py_T_PYSSIZET, offsetof(Object, dict), Py_READONLY, nullptr});
    members->push_back({"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Object, weakrefs), Py_READONLY, nullptr});
    members->push_back({nullptr, 0, 0, 0, nullptr});
    auto* getset = new std::vector<PyGetSetDef>();
    for (const FieldDef& f : fields)
        getset->push_back({f.name, fields_detail::get_field, fields_detail::set_field, nullptr,
                           new FieldDef{f.name, offsetof(Object, state) + f.offset}});
    getset->push_back({"__dict__", fields_detail::dict_snapshot<State>, nullptr, nullptr, nullptr});
    getset->push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    auto* slots = new PyType_Slot[]{{Py_tp_new, (void*)fields_detail::new_instance<State>},
                                    {Py_tp_dealloc, (void*)fields_detail::dealloc<State>},
                                    {Py_tp_traverse, (void*)fields_detail::traverse<State>},
                                    {Py_tp_clear, (void*)fields_detail::clear<State>},
                                    {Py_tp_members, members->data()},
                                    {Py_tp_getset, getset->data()},
                                    {Py_tp_doc, (void*)doc},
                                    {0, nullptr}};
    auto* qualified = new std::string(std::string(module) + "." + name);
    auto* description = new PyType_Spec{qualified->c_str(), (int)sizeof(Object), 0,
                                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    nb::object type = check(PyType_FromSpec(description));
    // A class statement's class is named in messages by its bare name ("'Runner' object has no
    // attribute ..."); assigning __name__ gives this one the same.
    check(PyObject_SetAttrString(type.ptr(), "__name__", str(name).ptr()));
    Info::type = (PyTypeObject*)type.ptr();
    Info::fields = std::move(fields);
    return type;
}

// From now on a change to the class (a method or property replaced, a field's name shadowed) turns
// the direct reads off for good. Without a free type watcher they are never on.
template <class State>
void seal_native_class() {
    using Info = fields_detail::ClassInfo<State>;
    int id = PyType_AddWatcher(fields_detail::on_type_change<State>);
    if (id < 0 || PyType_Watch(id, (PyObject*)Info::type) < 0) {
        PyErr_Clear();
        return;
    }
    // The interpreter tells watchers of a change only while the class has a valid version tag; the
    // methods just added have invalidated it. Without one there is nothing to rely on.
    if (!PyUnstable_Type_AssignVersionTag(Info::type)) return;
    Info::modified = false;
}

}  // namespace tv
