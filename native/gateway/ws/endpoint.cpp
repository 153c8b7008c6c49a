// The "/ws" endpoint: admission, the receive loop, chat turns as background tasks, clean-up.
#include "gateway.hpp"
#include "tasks.hpp"
#include "send.hpp"
#include "session_streams.hpp"
#include "runtime/async.hpp"
#include "runtime/deadline.hpp"
#include "runtime/func.hpp"

namespace tv::gateway {
namespace {

// The endpoint is a nested def: every create_ws_router() makes a new function of this declaration.
const FunctionDef* endpoint_def = nullptr;

// The release callback of a chat task, bound to the session id it was registered under:
// `if _active_tasks.get(sid) is task: del _active_tasks[sid]`. Its `self` is the session id, so
// that the callback needs no object of its own.
PyObject* release_task(PyObject* sid, PyObject* task) noexcept {
    try {
        const Gateway& g = gw();
        forget_if_current(g.global(g.n._active_tasks), sid, task);
        Py_RETURN_NONE;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

PyMethodDef release_def = {"_release_chat_task", (PyCFunction)release_task, METH_O,
                           "Forget the session's chat task when it is still the one registered."};

// Cancels every task of a connection, from a snapshot of its set.
void cancel_all(nb::handle background_tasks) {
    nb::object snapshot = check(PySequence_List(background_tasks.ptr()));
    Py_ssize_t count = PyList_GET_SIZE(snapshot.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) call_method(PyList_GET_ITEM(snapshot.ptr(), i), gw().n.cancel);
}

// Whether the connection may start one more chat task: fewer than `_MAX_PENDING_CHATS` of its chats
// are under way (None: no bound). Each task holds its message until it has run, so one connection
// could otherwise pile up any number of them behind a busy agent.
bool may_start_chat(nb::handle background_tasks) {
    const Gateway& g = gw();
    nb::object limit = g.global(g.n._MAX_PENDING_CHATS);
    if (is_none(limit)) return true;
    nb::object count = check(PyLong_FromSsize_t(PySet_GET_SIZE(background_tasks.ptr())));
    return compare(count, limit, Py_LT);
}

// The chat branch of the receive loop. Nothing here awaits, so no other coroutine can run between
// the look-up of the previous task, its cancellation and the registration of the new one.
void start_chat(nb::handle ws, nb::handle message, nb::handle background_tasks, nb::handle unlisted_tasks) {
    const Gateway& g = gw();
    const Names& n = g.n;
    nb::object sid_value = g.get(message, n.session_id);
    nb::object sid = truthy(sid_value) ? sid_value : g.global(n._DEFAULT_SESSION_ID);
    // An unhashable session id cannot be registered; refuse it before a task exists that nobody
    // could track or cancel.
    if (PyObject_Hash(sid.ptr()) == -1) throw_error();

    bool unlisted = false;
    nb::object coro = call(g.global(n._handle_chat), chat_target(ws, sid, &unlisted), message);
    nb::object name_value = g.get(message, n.session_id, g.global(n._DEFAULT_SESSION_ID));
    nb::object name = check(PyUnicode_Concat(n.chat_prefix, text_of(name_value).ptr()));
    nb::object task = create_task(coro, name);

    nb::object tasks = g.global(n._active_tasks);
    nb::object prev = g.get(tasks, sid);
    if (truthy(prev) && !truthy(call_method(prev, n.done))) call_method(prev, n.cancel);
    check(PyObject_SetItem(tasks.ptr(), sid.ptr(), task.ptr()));
    call_method(background_tasks, n.add, task);
    call_method(task, n.add_done_callback, attr(background_tasks, n.discard));
    if (unlisted) {
        call_method(unlisted_tasks, n.add, task);
        call_method(task, n.add_done_callback, attr(unlisted_tasks, n.discard));
    }
    nb::object release = check(PyCFunction_New(&release_def, sid.ptr()));
    call_method(task, n.add_done_callback, release);
}

// The origin of a handshake that `_ALLOWED_ORIGINS` refuses, or a null handle when it may go on.
// A page on any website can open a WebSocket to a server on the user's own machine; with a collection
// of allowed origins set, only handshakes that name one of them get through (a handshake without an
// "origin" header names none and is refused too, its origin shown as None).
nb::object refused_origin(nb::handle ws) {
    const Gateway& g = gw();
    const Names& n = g.n;
    nb::object allowed = g.global(n._ALLOWED_ORIGINS);
    if (is_none(allowed)) return nb::object();
    nb::object origin = g.get(attr(ws, n.headers), n.origin);
    int ok = PySequence_Contains(allowed.ptr(), origin.ptr());
    if (ok < 0) throw_error();
    return ok ? nb::object() : origin;
}

// `asyncio.current_task()`, or None when the endpoint is driven outside a running loop.
nb::object current_task_or_none() {
    const Gateway& g = gw();
    try {
        return call(attr(g.global(g.n.asyncio), g.n.current_task));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        return none();
    }
}

// Removes the endpoint's own entry from `_endpoint_tasks`.
void forget_endpoint(nb::handle endpoint_tasks, nb::handle key, nb::handle task) noexcept {
    try {
        forget_if_current(endpoint_tasks, key, task);
    } catch (nb::python_error&) {
        // On the way out of the endpoint: a bookkeeping entry left behind is harmless.
    }
}

Coro websocket_endpoint(nb::object ws) {
    const Gateway& g = gw();
    const Names& n = g.n;
    if (Local origin = refused_origin(ws); origin) {
        // Closing before the handshake is accepted answers the upgrade request with HTTP 403.
        Local code = check(PyLong_FromLong(1008));
        TV_AWAIT_WITHIN(send_timeout, call_method_kw(ws, n.close, n.kw_code_reason, code, str("Origin not allowed")));
        if (g.log.enabled(Level::warning))
            g.log.log(Level::warning, (Text{} << "Rejected WebSocket \xE2\x80\x94 origin "
                                              << to_repr(PyUnicode_CheckExact(origin.ptr()) ? log_value(origin) : origin)
                                              << " not allowed")
                                          .done());
        co_return none();
    }
    Local admitted = TV_AWAIT(call_method(g.global(n.manager), n.connect, ws));
    if (!truthy(admitted)) co_return none();

    // The task serving this connection, so that a slow client whose close cannot complete can be ended.
    Local key = check(PyLong_FromVoidPtr(ws.ptr()));
    Local endpoint_tasks = g.global(n._endpoint_tasks);
    Local me = current_task_or_none();
    if (!is_none(me)) check(PyObject_SetItem(endpoint_tasks.ptr(), key.ptr(), me.ptr()));

    Local background_tasks = check(PySet_New(nullptr));
    Local unlisted_tasks = check(PySet_New(nullptr));  // chats to sessions nobody else can watch
    Local failure;                                     // the error that ended the loop, other than a disconnect
    try {
        try {
            for (;;) {
                Local text = TV_AWAIT(call_method(ws, n.receive_text));
                Local message = call_method(g.global(n.json), n.loads, text);  // `json.loads(text)`, looked up each time
                Local msg_type = g.get(message, n.type);
                Local refusal;  // the reply to a chat over the bound
                if (equal(msg_type, n.chat)) {
                    if (may_start_chat(background_tasks)) {
                        start_chat(ws, message, background_tasks, unlisted_tasks);
                        continue;
                    }
                    refusal = event({{n.type, n.error},
                                     {n.message, n.too_many_chats},
                                     {n.session_id, g.session_or_default(message)}});
                }
                // A reply waits its turn on the socket behind whatever was handed to it before (its
                // sessions' events, broadcasts): each send through TV_REPLY takes its turn.
                if (refusal)
                    TV_REPLY(ws, refusal);
                else
                    TV_AWAIT(call(g.global(n._handle_message), ws, message));
            }
        } catch (nb::python_error& e) {
            if (e.matches(g.global(n.WebSocketDisconnect).ptr())) {
                // The client went away: nothing to report.
            } else if (is_let_go(e)) {
                // Let go as too slow, its close stuck as well: ended like a client that went away.
                call_method(me, n.uncancel);
            } else if (is_ordinary(e)) {
                failure = nb::borrow(e.value());
            } else {
                throw;  // cancellation of the endpoint itself passes through without clean-up
            }
        }
    } catch (...) {
        forget_endpoint(endpoint_tasks, key, me);
        throw;
    }
    forget_endpoint(endpoint_tasks, key, me);
    // (A reply that could not be sent in time has let its client go where it was sent.)
    if (failure) g.log.log_exc(Level::error, failure, str("WebSocket error"));
    call_method(g.global(n.manager), n.disconnect, ws);
    // With session streams, its turns go on for whoever else watches, or for the grace period; a turn
    // nobody else can watch ends with it.
    if (!detach_everywhere(ws))
        cancel_all(background_tasks);
    else
        cancel_all(unlisted_tasks);
    forget_broadcasts(ws);  // none is for anybody now
    co_return none();
}

nb::object create_ws_router() {
    const Gateway& g = gw();
    nb::object router = call(g.global(str("APIRouter").ptr()));
    nb::object endpoint = make_function(endpoint_def, module_name);
    nb::object decorator = call_method(router, g.n.websocket, str("/ws"));
    call(decorator, endpoint);
    return router;
}

}  // namespace

void add_endpoint(nb::handle module) {
    // FastAPI reads the route's parameters from the signature: `ws` is annotated with the class itself.
    endpoint_def = function<websocket_endpoint>("create_ws_router.<locals>.websocket_endpoint",
                                                arg("ws", attr(module, str("WebSocket").ptr())), returns(none()));
    define(module, function<create_ws_router>("create_ws_router", returns("APIRouter"),
                                              "Create the router with the gateway's WebSocket route \"/ws\"."));
}

}  // namespace tv::gateway
