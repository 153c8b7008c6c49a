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
    nb::object dict;     // attributes other than the fields (the type's dict offset points here)
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

// ---- copy and pickle ----------------------------------------------------------------------------
//
// A class statement's class copies and pickles through `object.__reduce_ex__`: a new instance made by
// `cls.__new__(cls)` (no `__init__`), then its attribute dict put in place, each value copied or
// pickled as it is. The size check that makes `object.__getstate__` refuse a native layout ("cannot
// pickle 'X' object") is about C state it cannot see; here every attribute is a field or in the dict,
// so the state is the one a class statement's instance would give: the set fields in declaration
// order, then the other attributes, or None when there are none, with the `__slots__` of a subclass
// beside it as `(state, slots)`. A value that cannot be copied fails with its own error, as it would
// there. The C++-only members of a State are not attributes: a copy starts with them new.

template <class State>
nb::object field_at(NativeObject<State>* self, const FieldDef& f) {
    return nb::borrow(*reinterpret_cast<nb::object*>(reinterpret_cast<char*>(&self->state) + f.offset));
}

// The field of that name, or null.
template <class State>
nb::object* field_named(NativeObject<State>* self, PyObject* key) {
    if (!PyUnicode_Check(key)) return nullptr;
    for (const FieldDef& f : ClassInfo<State>::fields)
        if (PyUnicode_CompareWithASCIIString(key, f.name) == 0)
            return reinterpret_cast<nb::object*>(reinterpret_cast<char*>(&self->state) + f.offset);
    return nullptr;
}

template <class State>
PyObject* getstate(PyObject* o, PyObject*) noexcept {
    try {
        auto* self = object_of<State>(o);
        nb::object d = check(PyDict_New());
        for (const FieldDef& f : ClassInfo<State>::fields)
            if (nb::object v = field_at(self, f)) check(PyDict_SetItemString(d.ptr(), f.name, v.ptr()));
        if (self->dict) check(PyDict_Update(d.ptr(), self->dict.ptr()));
        nb::object state = PyDict_GET_SIZE(d.ptr()) ? d : nb::borrow(Py_None);

        // The slots of a subclass, as `copyreg._slotnames` lists them (the native class says it has none).
        nb::object copyreg = check(PyImport_ImportModule("copyreg"));
        nb::object names = check(PyObject_CallMethod(copyreg.ptr(), "_slotnames", "O", (PyObject*)Py_TYPE(o)));
        if (!PyList_Check(names.ptr())) raise(PyExc_TypeError, "copyreg._slotnames didn't return a list or None");
        nb::object slots = check(PyDict_New());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.ptr()); ++i) {
            PyObject* name = PyList_GET_ITEM(names.ptr(), i);
            PyObject* value = nullptr;
            check(get_optional_attr(o, name, &value));
            if (!value) continue;
            nb::object owned = nb::steal(value);
            check(PyDict_SetItem(slots.ptr(), name, value));
        }
        if (PyDict_GET_SIZE(slots.ptr())) return check(PyTuple_Pack(2, state.ptr(), slots.ptr())).release().ptr();
        return state.release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// `state.items()` as pairs, for any mapping (copy and pickle hand back a dict).
inline nb::object items_of(nb::handle mapping) {
    nb::object items = check(PyObject_CallMethod(mapping.ptr(), "items", nullptr));
    return check(PyObject_GetIter(items.ptr()));
}

inline std::pair<nb::object, nb::object> pair_of(nb::handle item) {
    nb::object seq = check(PySequence_Tuple(item.ptr()));
    if (PyTuple_GET_SIZE(seq.ptr()) != 2) raise(PyExc_ValueError, "state items must be (key, value) pairs");
    return {nb::borrow(PyTuple_GET_ITEM(seq.ptr(), 0)), nb::borrow(PyTuple_GET_ITEM(seq.ptr(), 1))};
}

// What pickle and copy do with such a state when a class has no `__setstate__`: the attributes go
// straight into the instance (here a field, or the dict; no descriptor of a subclass is consulted),
// the slots through setattr.
template <class State>
PyObject* setstate(PyObject* o, PyObject* state) noexcept {
    try {
        auto* self = object_of<State>(o);
        nb::object attrs = nb::borrow(state), slots;
        if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 2) {
            attrs = nb::borrow(PyTuple_GET_ITEM(state, 0));
            slots = nb::borrow(PyTuple_GET_ITEM(state, 1));
        }
        if (!attrs.is_none()) {
            nb::object it = items_of(attrs);
            while (nb::object item = nb::steal(PyIter_Next(it.ptr()))) {
                auto [key, value] = pair_of(item);
                if (nb::object* field = field_named(self, key.ptr())) {
                    nb::object old = std::exchange(*field, value);
                    continue;
                }
                if (!self->dict) self->dict = check(PyDict_New());
                check(PyDict_SetItem(self->dict.ptr(), key.ptr(), value.ptr()));
            }
            if (PyErr_Occurred()) throw_error();
        }
        if (slots && !slots.is_none()) {
            nb::object it = items_of(slots);
            while (nb::object item = nb::steal(PyIter_Next(it.ptr()))) {
                auto [key, value] = pair_of(item);
                check(PyObject_SetAttr(o, key.ptr(), value.ptr()));
            }
            if (PyErr_Occurred()) throw_error();
        }
        return Py_NewRef(Py_None);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// `object.__reduce_ex__` at protocol 2 or above for every protocol: below 2 it would look for a C base
// to copy the instance through and refuse the native class, where a class statement's class has
// `object` there and takes the same road as at 2 (a pickle of protocol 0 or 1 then calls
// `copyreg.__newobj__`, picklable by name). What that road refuses below 2 is refused the same way: a
// subclass with `__slots__` and the inherited `__getstate__`.
template <class State>
PyObject* reduce_ex(PyObject* o, PyObject* protocol) noexcept {
    try {
        long p = PyLong_AsLong(protocol);
        if (p == -1 && PyErr_Occurred()) throw_error();
        if (p < 2) {
            nb::object own = check(PyObject_GetAttrString((PyObject*)ClassInfo<State>::type, "__getstate__"));
            nb::object used = check(PyObject_GetAttrString((PyObject*)Py_TYPE(o), "__getstate__"));
            PyObject* slots = nullptr;
            check(get_optional_attr(o, nb::str("__slots__").ptr(), &slots));
            nb::object owned = nb::steal(slots);
            if (own.ptr() == used.ptr() && slots && PyObject_IsTrue(slots) == 1)
                raise(PyExc_TypeError, "a class that defines __slots__ without defining __getstate__ cannot be pickled");
            if (PyErr_Occurred()) throw_error();
        }
        nb::object reduce = check(PyObject_GetAttrString((PyObject*)&PyBaseObject_Type, "__reduce_ex__"));
        nb::object at_least_2 = check(PyLong_FromLong(p < 2 ? 2 : p));
        return check(PyObject_CallFunctionObjArgs(reduce.ptr(), o, at_least_2.ptr(), nullptr)).release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
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
    static PyMethodDef methods[] = {{"__getstate__", fields_detail::getstate<State>, METH_NOARGS,
                                     "__getstate__($self, /)\n--\n\nHelper for pickle."},
                                    {"__setstate__", fields_detail::setstate<State>, METH_O,
                                     "__setstate__($self, state, /)\n--\n\nHelper for pickle."},
                                    {"__reduce_ex__", fields_detail::reduce_ex<State>, METH_O,
                                     "__reduce_ex__($self, protocol, /)\n--\n\nHelper for pickle."},
                                    {nullptr, nullptr, 0, nullptr}};
    auto* slots = new PyType_Slot[]{{Py_tp_new, (void*)fields_detail::new_instance<State>},
                                    {Py_tp_dealloc, (void*)fields_detail::dealloc<State>},
                                    {Py_tp_traverse, (void*)fields_detail::traverse<State>},
                                    {Py_tp_clear, (void*)fields_detail::clear<State>},
                                    {Py_tp_members, members->data()},
                                    {Py_tp_getset, getset->data()},
                                    {Py_tp_methods, methods},
                                    {Py_tp_doc, (void*)doc},
                                    {0, nullptr}};
    auto* qualified = new std::string(std::string(module) + "." + name);
    auto* description = new PyType_Spec{qualified->c_str(), (int)sizeof(Object), 0,
                                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    nb::object type = check(PyType_FromSpec(description));
    // A class statement's class is named in messages by its bare name ("'Runner' object has no
    // attribute ..."); assigning __name__ gives this one the same.
    check(PyObject_SetAttrString(type.ptr(), "__name__", str(name).ptr()));
    // Its instances have no slots (copyreg would otherwise work that out and store it on the class,
    // a change that turns the direct reads off).
    nb::object no_slots = check(PyList_New(0));
    check(PyObject_SetAttrString(type.ptr(), "__slotnames__", no_slots.ptr()));
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
