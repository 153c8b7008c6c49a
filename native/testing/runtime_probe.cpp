// `tavrin._runtime_probe`: small coroutines that exercise the native coroutine runtime from Python,
// so its protocol (results, errors, cancellation, close, deallocation, async iteration) is tested
// directly and not only through the gateway; and the runtime's `log_value`, to hold it to its Python twin.
#include "gateway/ws/outbox.hpp"
#include "runtime/async.hpp"
#include "runtime/async_iter.hpp"
#include "runtime/deadline.hpp"
#include "runtime/func.hpp"
#include "runtime/log.hpp"
#include "runtime/module.hpp"
#include "runtime/scope.hpp"

#include <stdexcept>

using namespace tv;

namespace {

constexpr const char* module_name = "tavrin._runtime_probe";

// Appends `item` to `log` when it goes out of scope: shows which frames were unwound, and when.
class Mark {
public:
    Mark(nb::object log, const char* item) : log_(std::move(log)), item_(item) {}
    Mark(const Mark&) = delete;
    ~Mark() {
        PyObject* s = PyUnicode_FromString(item_);
        if (!s || PyList_Append(log_.ptr(), s) < 0) write_unraisable(log_.ptr());
        Py_XDECREF(s);
    }

private:
    Local log_;  // lives in the frame across its awaits
    const char* item_;
};

Coro await_each(nb::object awaitables) {
    Local results = check(PyList_New(0));
    Local it = check(PyObject_GetIter(awaitables.ptr()));
    while (PyObject* a = PyIter_Next(it.ptr())) {
        Local awaitable = nb::steal(a);
        Local r = TV_AWAIT(awaitable);
        check(PyList_Append(results.ptr(), r.ptr()));
    }
    if (PyErr_Occurred()) throw_error();
    co_return results;
}

// Awaits each item in turn, going on after an ordinary error: a list of ("ok", result) and
// ("caught", exc). Catching what throw() or close() delivers and awaiting again is what it is for.
Coro each_caught(nb::object awaitables) {
    Local results = check(PyList_New(0));
    Local it = check(PyObject_GetIter(awaitables.ptr()));
    while (PyObject* a = PyIter_Next(it.ptr())) {
        Local awaitable = nb::steal(a);
        Local entry;
        try {
            Local r = TV_AWAIT(awaitable);
            entry = check(PyTuple_Pack(2, str("ok").ptr(), r.ptr()));
        } catch (nb::python_error& e) {
            if (!is_ordinary(e)) throw;
            entry = check(PyTuple_Pack(2, str("caught").ptr(), e.value().ptr()));
        }
        check(PyList_Append(results.ptr(), entry.ptr()));
    }
    if (PyErr_Occurred()) throw_error();
    co_return results;
}

// `async with lock:` around an await, the lock released by a `Finally` guard.
Coro guarded(nb::object lock, nb::object awaitable, nb::object log) {
    TV_AWAIT(call_method(lock, Name("acquire")));
    TV_TRY_FINALLY(release, lock, Name("release"), {
        Mark mark(log, "unwound");
        Local r = TV_AWAIT(awaitable);
        check(PyList_Append(log.ptr(), str("completed").ptr()));
        co_return r;
    });
}

// `async with mgr:` around an await: "entered" and "after" appended to `log`, then `then` awaited unless
// it is None; the await's result, or None when the manager suppressed what the body raised.
Coro managed(nb::object mgr, nb::object awaitable, nb::object log, nb::object then) {
    Local r = none();
    TV_ASYNC_WITH(held, mgr, {
        check(PyList_Append(log.ptr(), str("entered").ptr()));
        r = TV_AWAIT(awaitable);
    });
    check(PyList_Append(log.ptr(), str("after").ptr()));
    if (!then.is_none()) TV_AWAIT(then);
    co_return r;
}

// The bound of `within`: the module attribute BOUND, called first when it is callable (so that a test
// can see when it is asked).
PyObject* probe_module = nullptr;
nb::object probe_bound() {
    nb::object bound = check(PyObject_GetAttrString(probe_module, "BOUND"));
    return PyCallable_Check(bound.ptr()) ? call(bound) : bound;
}

// `async with asyncio.timeout(BOUND): return await awaitable`, with the bound armed only on suspension.
Coro within(nb::object awaitable) {
    Local r = TV_AWAIT_WITHIN(probe_bound, awaitable);
    co_return r;
}

// Keeps `value` in a list that only a local of the frame owns, across an await: shows that such a
// local is visible to the garbage collector.
Coro keep(nb::object value, nb::object awaitable) {
    Local kept = check(PyList_New(0));
    check(PyList_Append(kept.ptr(), value.ptr()));
    value = nb::object();
    TV_AWAIT(awaitable);
    co_return kept;
}

Coro catch_ordinary(nb::object awaitable) {
    Local caught;
    try {
        Local r = TV_AWAIT(awaitable);
        co_return r;
    } catch (nb::python_error& e) {
        if (!is_ordinary(e)) throw;
        caught = nb::borrow(e.value());
    }
    Local pair = check(PyTuple_Pack(2, str("caught").ptr(), caught.ptr()));
    co_return pair;
}

Coro collect(nb::object iterable) {
    Local items = check(PyList_New(0));
    Local it = aiter(iterable);
    while (Local item = co_await anext(it)) check(PyList_Append(items.ptr(), item.ptr()));
    co_return items;
}

Coro fail(nb::object kind) {
    TV_AWAIT(check(PyObject_CallMethod(check(PyImport_ImportModule("asyncio")).ptr(), "sleep", "i", 0)));
    std::string k = PyUnicode_AsUTF8(kind.ptr());
    if (k == "runtime") throw std::runtime_error("C++ failure");
    if (k == "memory") throw std::bad_alloc();
    if (k == "stop") raise(PyExc_StopIteration, "escaped");
    raise(PyExc_KeyError, "python failure");
}

// The decision of a socket's outbox (gateway/ws/outbox.hpp), by name: (next state, action).
template <size_t N>
int index_of(const char* const (&names)[N], nb::handle name, const char* what) {
    for (size_t i = 0; i < N; ++i)
        if (PyUnicode_CompareWithASCIIString(name.ptr(), names[i]) == 0) return (int)i;
    PyErr_Format(PyExc_ValueError, "unknown %s: %R", what, name.ptr());
    throw_error();
}

nb::object outbox_decide(Str state, Str input, Str head) {
    namespace ob = tv::gateway::outbox;
    ob::Step s = ob::decide(ob::State(index_of(ob::state_names, state, "state")),
                            ob::Input(index_of(ob::input_names, input, "input")),
                            ob::Head(index_of(ob::head_names, head, "head")));
    return check(Py_BuildValue("(ss)", ob::state_names[int(s.next)], ob::action_names[int(s.action)]));
}

// Where the C stack is: the address of this call's frame, to measure what a chain of drives takes.
nb::object stack_address() { return check(PyLong_FromVoidPtr(__builtin_frame_address(0))); }

// log_value at its default length limit.
nb::object log_value_default(nb::handle value) { return log_value(value); }

}  // namespace

TV_MODULE(_runtime_probe, m) {
    coroutine_type();
    probe_module = m.ptr();
    check(PyObject_SetAttrString(m.ptr(), "BOUND", Py_None));
    define(m, function<await_each>("await_each", arg("awaitables"), "Await each item; return the results."));
    define(m, function<each_caught>(
                  "each_caught", arg("awaitables"),
                  "Await each item, going on after an Exception; return [('ok', result) or ('caught', exc)]."));
    define(m, function<guarded>(
                  "guarded", arg("lock"), arg("awaitable"), arg("log"),
                  "Await under a lock held by RAII; append 'completed' and, on unwinding, 'unwound' to log."));
    define(m, function<managed>(
                  "managed", arg("mgr"), arg("awaitable"), arg("log"), arg("then", {}, none()),
                  "async with mgr around awaiting awaitable; append 'entered' and 'after' to log, then await then."));
    define(m, function<within>("within", arg("awaitable"),
                               "Await awaitable bounded by BOUND seconds once it suspends, as asyncio.timeout would."));
    define(m, function<keep>("keep", arg("value"), arg("awaitable"),
                             "Hold value in a list owned by a frame local across awaiting awaitable; return the list."));
    define(m, function<catch_ordinary>("catch_ordinary", arg("awaitable"),
                                       "Await; an Exception becomes ('caught', exc), anything else passes through."));
    define(m, function<collect>("collect", arg("iterable"), "async for over iterable; return the items."));
    define(m, function<fail>("fail", arg("kind"), "Fail after one suspension with the given kind of error."));
    define(m, function<outbox_decide>("outbox_decide", arg("state", "str"), arg("input", "str"), arg("head", "str"),
                                      "What a socket's outbox decides: (next state, action)."));
    define(m, function<stack_address>("stack_address", "The address of the C stack where it is called."));
    define(m, function<log_value_default>("log_value", arg("value"),
                                          "The value as the gateway writes it into a log line."));
}
