// _handle_message: routes every non-chat client message to its handler by "type".
#include "gateway.hpp"
#include "send.hpp"
#include "runtime/async.hpp"
#include "runtime/func.hpp"

namespace tv::gateway {
namespace {

// The handler of each message type, in the order the types are tested. `with_message` is false
// for the one handler that takes only the connection.
struct Route {
    PyObject* type;
    PyObject* handler;
    bool with_message;
};

const Route* find_route(nb::handle msg_type) {
    const Names& n = gw().n;
    static const Route routes[] = {
        {n.chat, n._handle_chat, true},
        {n.approve, n._handle_approval, true},
        {n.new_conversation, n._handle_new_conversation, true},
        {n.new_session, n._handle_new_session, true},
        {n.close_session, n._handle_close_session, true},
        {n.list_sessions, n._handle_list_sessions, false},
        {n.resume_conversation, n._handle_resume_conversation, true},
        {n.heartbeat_control, n._handle_heartbeat_control, true},
        {n.stop_task, n._handle_stop_task, true},
        {n.clear_session_history, n._handle_clear_session_history, true},
        {n.ping, nullptr, false},
    };
    if (!PyUnicode_Check(msg_type.ptr())) return nullptr;
    for (const Route& r : routes)
        if (equal(msg_type, r.type)) return &r;
    return nullptr;
}

Coro handle_message(nb::object ws, Dict message) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local msg_type = g.get(message, n.type);
    if (PyUnicode_Check(msg_type.ptr()) && equal(msg_type, n.attach) && truthy(g.global(n._SESSION_STREAMS))) {
        TV_AWAIT(call(g.global(n._handle_attach), ws, message));
        co_return none();
    }
    const Route* route = find_route(msg_type);
    Local reply;
    if (route && route->handler) {
        Local handler = g.global(route->handler);
        Local coro = route->with_message ? call(handler, ws, message) : call(handler, ws);
        TV_AWAIT(coro);
        co_return none();
    }
    if (route)  // "ping"
        reply = event({{n.type, n.pong}});
    else
        reply = event(
            {{n.type, n.error},
             {n.message, check(PyUnicode_Concat(str("Unknown message type: ").ptr(), text_of(msg_type).ptr()))}});
    TV_REPLY(ws, reply);
    co_return none();
}

}  // namespace

void add_dispatch(nb::handle module) {
    define(module, function<handle_message>("_handle_message", arg("ws", "WebSocket"), arg("message", "dict[str, Any]"),
                                            returns("None"), "Route incoming WebSocket messages."));
}

}  // namespace tv::gateway
