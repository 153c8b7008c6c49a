// Bounded sends and slow clients. Every send the gateway awaits is bounded by `_SEND_TIMEOUT_SECONDS`:
// a client that stops reading fills its socket's buffers, after which each send to it waits, and one
// such client would hold up every broadcast, and every turn that broadcasts, for as long as it stays.
// A send that times out fails like any failed send in its place; the client is then let go: its
// connection is closed in the background with code 1013 ("try again later"), so that it reconnects.
// A client that does not read cannot be sent a close frame either; when that close times out too, the
// connection's endpoint is ended by cancelling it with a marker it recognises, and the server then
// closes the transport.
#include "gateway.hpp"
#include "tasks.hpp"
#include "send.hpp"
#include "runtime/async.hpp"
#include "runtime/deadline.hpp"

namespace tv::gateway {
namespace {

CoroName close_slow_name;

// The key of a connection in the module's bookkeeping dicts: its identity.
nb::object key_of(nb::handle ws) { return check(PyLong_FromVoidPtr(ws.ptr())); }

// The done callback of a let-go task, bound to the connection's key: forgets the task.
PyObject* forget_slow_client(PyObject* key, PyObject* task) noexcept {
    try {
        const Gateway& g = gw();
        forget_if_current(g.global(g.n._slow_clients), key, task);
        Py_RETURN_NONE;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

PyMethodDef forget_def = {"_forget_slow_client", (PyCFunction)forget_slow_client, METH_O,
                          "Forget a let-go task when it is still the one registered for its connection."};

// Closes a slow client's connection, bounded like a send; when even that cannot complete, ends the
// connection's endpoint.
Coro close_slow_client(nb::object ws) {
    const Gateway& g = gw();
    const Names& n = g.n;
    bool closed = false;
    try {
        Local code = check(PyLong_FromLong(1013));
        TV_AWAIT_WITHIN(send_timeout, call_method_kw(ws, n.close, n.kw_code_reason, code, n.client_too_slow));
        closed = true;
    } catch (nb::python_error& e) {
        if (!is_ordinary(e)) throw;
    }
    if (!closed) {
        Local endpoint = g.get(g.global(n._endpoint_tasks), key_of(ws));
        if (truthy(endpoint) && !truthy(call_method(endpoint, n.done)))
            call_method(endpoint, n.cancel, g.let_go_marker);
    }
    co_return none();
}

// Whether the client is being let go already.
bool letting_go(nb::handle ws) {
    const Gateway& g = gw();
    int already = PySequence_Contains(g.global(g.n._slow_clients).ptr(), key_of(ws).ptr());
    if (already < 0) throw_error();
    return already;
}

// Closes the client's connection in the background, registered until that is over.
void close_in_background(nb::handle ws) {
    const Gateway& g = gw();
    const Names& n = g.n;
    nb::object key = key_of(ws);
    nb::object task = create_task(close_slow_name.wrap(close_slow_client(nb::borrow(ws))), n.let_go_prefix);
    check(PyObject_SetItem(g.global(n._slow_clients).ptr(), key.ptr(), task.ptr()));
    nb::object forget = check(PyCFunction_New(&forget_def, key.ptr()));
    call_method(task, n.add_done_callback, forget);
}

}  // namespace

nb::object send_timeout() {
    const Gateway& g = gw();
    return g.global(g.n._SEND_TIMEOUT_SECONDS);
}

void let_go(nb::handle ws, nb::handle where) {
    const Gateway& g = gw();
    let_go_outbox(ws);  // what waits for it is dropped at once, not sent one time-out at a time
    if (letting_go(ws)) return;
    if (g.log.enabled(Level::warning))
        g.log.log(Level::warning,
                  (Text{} << "Client too slow \xE2\x80\x94 a send (" << where << ") did not complete within "
                          << to_str(send_timeout()) << " s; closing its connection")
                      .done());
    close_in_background(ws);
}

void let_go_behind(nb::handle ws, nb::handle where) {
    const Gateway& g = gw();
    let_go_outbox(ws);
    if (letting_go(ws)) return;
    if (g.log.enabled(Level::warning))
        g.log.log(Level::warning, (Text{} << "Client too slow \xE2\x80\x94 more events wait for it (" << where
                                          << ") than a session's stream keeps; closing its connection")
                                      .done());
    close_in_background(ws);
}

void after_send_failure(const nb::python_error& e, nb::handle ws, nb::handle where) {
    if (e.matches(PyExc_TimeoutError)) let_go(ws, where);
}

nb::object session_place(nb::handle session_id) {
    return (Text{} << "session '" << log_value(session_id) << "'").done();
}

bool is_let_go(const nb::python_error& e) {
    const Gateway& g = gw();
    if (!e.matches(attr(g.global(g.n.asyncio), g.n.CancelledError).ptr())) return false;
    nb::object args = attr(e.value(), g.n.args);
    return PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) == 1 &&
           PyTuple_GET_ITEM(args.ptr(), 0) == g.let_go_marker.ptr();
}

void add_slow_client(nb::handle module) {
    (void)module;
    close_slow_name = CoroName("close_slow_client", "close_slow_client");
}

}  // namespace tv::gateway
