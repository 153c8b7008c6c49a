// Chat routing: finds the session, its agent and lock, and picks the standard or Computer Use path.
#include "gateway.hpp"
#include "send.hpp"
#include "runtime/async.hpp"
#include "runtime/func.hpp"

namespace tv::gateway {
namespace {

Coro handle_chat(nb::object ws, Dict message) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local get_state = import_from(n.server, n.get_state);
    Local get_registry = import_from(n.session_registry, n.get_registry);
    Local state = call(get_state);

    Local cu_agent = call_method(state, n.get, n.cu_agent);
    Local heartbeat = call_method(state, n.get, n.heartbeat);

    Local user_text = call_method(g.get(message, n.content, n.empty), n.strip);
    if (!truthy(user_text)) co_return none();

    Local session_id = g.session_or_default(message);
    Local attachments = g.get(message, n.attachments);

    if (truthy(heartbeat)) call_method(heartbeat, n.reset_consecutive);

    Local registry = call(get_registry);
    Local session = call_method(registry, n.get, session_id);

    if (truthy(session) && truthy(attr(session, n.is_connector))) {
        Local main_id = g.global(n._DEFAULT_SESSION_ID);
        if (g.log.enabled(Level::warning))
            g.log.log(Level::warning, (Text{} << "Blocked chat message to connector session " << to_repr(session_id)
                                              << ", redirecting to " << to_repr(main_id))
                                          .done());
        session_id = main_id;
        session = call_method(registry, n.get, session_id);
    }

    Local agent, session_lock;
    if (is_none(session)) {
        agent = call_method(state, n.get, n.agent);
        if (!truthy(agent)) {
            Local error = event(
                {{n.type, n.error}, {n.message, str("Agent not initialized")}, {n.session_id, session_id}});
            TV_SEND(ws, error, session_place(session_id));
            co_return none();
        }
        session_lock = call_method(state, n.get, n._agent_lock_fallback);
        if (is_none(session_lock)) session_lock = import_from(n.server, n._agent_lock);
    } else {
        agent = attr(session, n.agent);
        session_lock = attr(session, n.lock);
    }

    Local use_cu = g.get(message, n.computer_use);
    if (is_none(use_cu))
        use_cu = is_none(cu_agent) ? boolean(false) : call(g.global(n._should_use_computer_use), user_text);

    if (truthy(use_cu) && truthy(cu_agent)) {
        TV_AWAIT(call_kw(g.global(n._handle_computer_use_chat), n.kw_cu_chat, ws, cu_agent, user_text, session_id));
    } else if (truthy(agent)) {
        TV_AWAIT(call_kw(g.global(n._handle_standard_chat), n.kw_std_chat, ws, agent, user_text, attachments,
                         session_lock, session_id));
    } else {
        Local error = event(
            {{n.type, n.error}, {n.message, str("No suitable agent available")}, {n.session_id, session_id}});
        TV_SEND(ws, error, session_place(session_id));
    }
    co_return none();
}

nb::object should_use_computer_use(Str message) {
    const Gateway& g = gw();
    nb::object lower = call_method(message, g.n.lower);
    nb::object it = check(PyObject_GetIter(g.global(g.n._FORCE_CU_KEYWORDS).ptr()));
    while (PyObject* phrase = PyIter_Next(it.ptr())) {
        nb::object owned = nb::steal(phrase);
        int found = PySequence_Contains(lower.ptr(), phrase);
        if (found < 0) throw_error();
        if (found) return boolean(true);
    }
    if (PyErr_Occurred()) throw_error();
    return boolean(false);
}

nb::object get_session(StrOrNone session_id) {
    const Gateway& g = gw();
    nb::object get_registry = import_from(g.n.session_registry, g.n.get_registry);
    nb::object registry = call(get_registry);
    return call_method(registry, g.n.get, truthy(session_id) ? session_id : g.global(g.n._DEFAULT_SESSION_ID));
}

}  // namespace

void add_chat(nb::handle module) {
    define(module, function<handle_chat>("_handle_chat", arg("ws", "WebSocket"), arg("message", "dict[str, Any]"),
                                         returns("None"),
                                         "Handle a chat message: route it to the session's agent or to Computer Use."));
    define(module, function<should_use_computer_use>("_should_use_computer_use", arg("message", "str"), returns("bool"),
                                                     "True when the text explicitly asks for Computer Use mode."));
    define(module, function<get_session>("_get_session", arg("session_id", "str | None"), returns("Any | None"),
                                         "Look up a session in the registry; no id means the default session."));
}

}  // namespace tv::gateway
