// `tavrin._runtime_probe`: small coroutines that exercise the native coroutine runtime from Python,
// so its protocol (results, errors, cancellation, close, deallocation, async iteration) is tested
// directly and not only through the gateway.
#include "runtime/async.hpp"
#include "runtime/func.hpp"
#include "runtime/module.hpp"

#include <stdexcept>

using namespace tv;

namespace {

constexpr const char* module_name = "tavrin._runtime_probe";
CoroName await_each_name, guarded_name, catch_ordinary_name, collect_name, fail_name;

// Appends `item` to `log` when it goes out of scope: shows which frames were unwound, and when.
class Mark {
public:
    Mark(nb::object log, const char* item) : log_(std::move(log)), item_(item) {}
    ~Mark() {
        PyObject* s = PyUnicode_FromString(item_);
        if (!s || PyList_Append(log_.ptr(), s) < 0) write_unraisable(log_.ptr());
        Py_XDECREF(s);
    }

private:
    nb::object log_;
    const char* item_;
};

Coro await_each(nb::object awaitables) {
    nb::object results = check(PyList_New(0));
    nb::object it = check(PyObject_GetIter(awaitables.ptr()));
    while (PyObject* a = PyIter_Next(it.ptr())) {
        nb::object awaitable = nb::steal(a);
        nb::object r = co_await await_(awaitable);
        check(PyList_Append(results.ptr(), r.ptr()));
    }
    if (PyErr_Occurred()) throw_error();
    co_return results;
}

Coro guarded(nb::object lock, nb::object awaitable, nb::object log) {
    co_await await_(call_method(lock, Name("acquire")));
    struct Release {
        nb::object lock;
        ~Release() {
            PyObject* r = PyObject_CallMethod(lock.ptr(), "release", nullptr);
            if (r) Py_DECREF(r); else write_unraisable(lock.ptr());
        }
    } release{lock};
    Mark mark(log, "unwound");
    nb::object r = co_await await_(awaitable);
    check(PyList_Append(log.ptr(), str("completed").ptr()));
    co_return r;
}

Coro catch_ordinary(nb::object awaitable) {
    nb::object caught;
    try {
        nb::object r = co_await await_(awaitable);
        co_return r;
    } catch (nb::python_error& e) {
        if (!is_ordinary(e)) throw;
        caught = nb::borrow(e.value());
    }
    nb::object pair = check(PyTuple_Pack(2, str("caught").ptr(), caught.ptr()));
    co_return pair;
}

Coro collect(nb::object iterable) {
    nb::object items = check(PyList_New(0));
    nb::object it = aiter(iterable);
    while (nb::object item = co_await anext(it)) check(PyList_Append(items.ptr(), item.ptr()));
    co_return items;
}

Coro fail(nb::object kind) {
    co_await await_(check(PyObject_CallMethod(check(PyImport_ImportModule("asyncio")).ptr(), "sleep", "i", 0)));
    std::string k = PyUnicode_AsUTF8(kind.ptr());
    if (k == "runtime") throw std::runtime_error("C++ failure");
    if (k == "memory") throw std::bad_alloc();
    if (k == "stop") raise(PyExc_StopIteration, "escaped");
    raise(PyExc_KeyError, "python failure");
}

template <Coro (*F)(nb::object), CoroName* N>
nb::object one(PyObject* const* a) { return N->wrap(F(nb::borrow(a[0]))); }

nb::object guarded_impl(PyObject* const* a) {
    return guarded_name.wrap(guarded(nb::borrow(a[0]), nb::borrow(a[1]), nb::borrow(a[2])));
}

void def(nb::handle m, const char* name, std::vector<Param> params, Impl impl, const char* doc) {
    auto* spec = new FunctionSpec{name, name, doc, std::move(params), impl, true, {}};
    check(PyObject_SetAttrString(m.ptr(), name, make_function(spec, module_name).ptr()));
}

}  // namespace

TV_MODULE(_runtime_probe, m) {
    coroutine_type();
    await_each_name = CoroName("await_each", "await_each");
    guarded_name = CoroName("guarded", "guarded");
    catch_ordinary_name = CoroName("catch_ordinary", "catch_ordinary");
    collect_name = CoroName("collect", "collect");
    fail_name = CoroName("fail", "fail");
    def(m, "await_each", {{"awaitables"}}, entry<one<await_each, &await_each_name>>, "Await each item; return the results.");
    def(m, "guarded", {{"lock"}, {"awaitable"}, {"log"}}, entry<guarded_impl>,
        "Await under a lock held by RAII; append 'completed' and, on unwinding, 'unwound' to log.");
    def(m, "catch_ordinary", {{"awaitable"}}, entry<one<catch_ordinary, &catch_ordinary_name>>,
        "Await; an Exception becomes ('caught', exc), anything else passes through.");
    def(m, "collect", {{"iterable"}}, entry<one<collect, &collect_name>>, "async for over iterable; return the items.");
    def(m, "fail", {{"kind"}}, entry<one<fail, &fail_name>>, "Fail after one suspension with the given kind of error.");
}
