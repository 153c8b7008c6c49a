// The control handlers: task stop and tool approval, session and conversation commands, and the
// heartbeat controls. Each answers only the socket that sent the message.
//
// They run inside the connection's receive loop while chat turns run as background tasks, so
// nothing here takes the session lock: a stop or a resume acts on a running turn at once, and a
// cancellation is only requested, never awaited. Errors that a handler does not report itself
// propagate to the receive loop, which logs them and ends the connection.
#include "gateway.hpp"
#include "texts.hpp"
#include "send.hpp"
#include "session_streams.hpp"
#include "runtime/async.hpp"
#include "runtime/func.hpp"

namespace tv::gateway {
namespace {

nb::object error_event(nb::handle text) {
    const Names& n = gw().n;
    return event({{n.type, n.error}, {n.message, text}});
}

nb::object session_error_event(nb::handle text, nb::handle session_id) {
    const Names& n = gw().n;
    return event({{n.type, n.error}, {n.message, text}, {n.session_id, session_id}});
}

// Cancels the session's registered chat task when it is still running. True when it was cancelled.
bool cancel_running_task(nb::handle session_id) {
    const Gateway& g = gw();
    nb::object task = g.get(g.global(g.n._active_tasks), session_id);
    if (!truthy(task) || truthy(call_method(task, g.n.done))) return false;
    call_method(task, g.n.cancel);
    return true;
}

// Stops the application's single Computer Use agent when it is running (a missing `is_running`
// counts as idle). True when it was stopped.
bool stop_running_cu_agent(nb::handle cu_agent) {
    const Names& n = gw().n;
    if (!truthy(cu_agent)) return false;
    nb::object running = attr_opt(cu_agent, n.is_running);
    if (!running || !truthy(running)) return false;
    call_method(cu_agent, n.stop);
    return true;
}

// Cancels the session's agent, or the application's fallback agent when no session has this id.
// A session without an agent leaves the fallback alone. True when an agent was cancelled, idle or not.
bool cancel_agent(nb::handle session, nb::handle state) {
    const Gateway& g = gw();
    if (truthy(session)) {
        nb::object agent = attr(session, g.n.agent);
        if (!truthy(agent)) return false;
        call_method(agent, g.n.cancel);
        return true;
    }
    nb::object fallback = g.get(state, g.n.agent);
    if (!truthy(fallback)) return false;
    call_method(fallback, g.n.cancel);
    return true;
}

// ---- Task stop and tool approval ----

Coro handle_stop_task(nb::object ws, Dict message) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local get_state = import_from(n.server, n.get_state);
    Local get_registry = import_from(n.session_registry, n.get_registry);
    Local state = call(get_state);
    Local session_id = g.session_or_default(message);
    Local cu_agent = g.get(state, n.cu_agent);
    Local session = call_method(call(get_registry), n.get, session_id);

    // All three run: one request can end the turn's task, the Computer Use agent and the agent.
    bool stopped = cancel_running_task(session_id);
    stopped = stop_running_cu_agent(cu_agent) || stopped;
    stopped = cancel_agent(session, state) || stopped;

    Local reply =
        stopped ? event({{n.type, n.task_stopped}, {n.message, texts().task_stopped_text}, {n.session_id, session_id}})
                : event({{n.type, n.info}, {n.message, texts().no_task_running}, {n.session_id, session_id}});
    if (stopped && streams_enabled()) {
        // With session streams, the stop ends the turn in the session's stream: every window of the
        // session sees it, and one that comes back finds it in its replay. The asking window gets it
        // from the stream when it is attached, else directly.
        bool delivered = false;
        stream_bookkeeping([&] {
            if (nb::object stream = existing_stream(session_id)) {
                // The stream numbers what it is given; a window it does not reach gets the plain reply.
                stream_send(stream, check(PyDict_Copy(reply.ptr())));
                delivered = is_attached(stream, ws);
            }
        });
        if (delivered) co_return none();
    }
    TV_REPLY(ws, reply);
    co_return none();
}

Coro handle_approval(nb::object ws, Dict message) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local get_state = import_from(n.server, n.get_state);
    Local guardrails = g.get(call(get_state), n.guardrails);
    Local approval_id = g.get(message, n.approval_id);
    Local approved = g.get(message, n.approved, boolean(false));

    Local reply;
    if (!truthy(guardrails)) {
        reply = error_event(texts().guardrails_missing);
    } else if (!truthy(approval_id)) {
        reply = error_event(texts().missing_approval_id);
    } else {
        // The decision and the guardrails' answer are passed on as they are, not coerced to bool.
        Local success = call_method(guardrails, n.resolve_approval, approval_id, approved);
        if (streams_enabled())
            stream_bookkeeping([&] {
                if (truthy(success)) forget_approval(approval_id);
            });
        reply = event(
            {{n.type, n.approval_resolved}, {n.approval_id, approval_id}, {n.approved, approved}, {n.success, success}});
    }
    TV_REPLY(ws, reply);
    co_return none();
}

// ---- Sessions ----

Coro handle_new_session(nb::object ws, Dict message) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local get_registry = import_from(n.session_registry, n.get_registry);
    Local registry = call(get_registry);
    // The defaults apply only to absent keys: an empty name or icon is the client's choice.
    Local display_name = g.get(message, n.display_name, texts().new_chat);
    Local icon = g.get(message, n.icon, texts().speech_balloon);
    Local session = TV_AWAIT(
        call_method_kw(registry, n.create_session, n.kw_create_session, display_name, icon, boolean(false)));
    Local reply = event({{n.type, n.session_created}, {n.session, call_method(session, n.to_dict)}});
    TV_REPLY(ws, reply);
    co_return none();
}

Coro handle_close_session(nb::object ws, Dict message) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local get_registry = import_from(n.session_registry, n.get_registry);
    Local session_id = g.get(message, n.session_id);
    if (!truthy(session_id)) {
        Local error = error_event(texts().missing_session_id);
        TV_REPLY(ws, error);
        co_return none();
    }
    Local removed = TV_AWAIT(call_method(call(get_registry), n.close_session, session_id));
    if (streams_enabled())
        stream_bookkeeping([&] {
            if (truthy(removed)) drop_stream(session_id);
        });
    Local reply = event({{n.type, n.session_closed}, {n.session_id, session_id}, {n.success, removed}});
    TV_REPLY(ws, reply);
    co_return none();
}

Coro handle_list_sessions(nb::object ws) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local get_registry = import_from(n.session_registry, n.get_registry);
    Local sessions = call_method(call(get_registry), n.list_sessions);
    Local reply = event({{n.type, n.sessions_list}, {n.sessions, sessions}});
    TV_REPLY(ws, reply);
    co_return none();
}

// ---- Conversations ----

Coro handle_new_conversation(nb::object ws, Dict message) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local get_state = import_from(n.server, n.get_state);
    Local get_registry = import_from(n.session_registry, n.get_registry);
    Local session_id = g.session_or_default(message);
    Local registry = call(get_registry);
    Local session = call_method(registry, n.get, session_id);

    Local conv_id;
    if (truthy(session)) {
        conv_id = TV_AWAIT(call_method(registry, n.new_conversation_in_session, session_id));
    } else {
        // No session under that id: the application's fallback agent, if any, starts one.
        Local agent = g.get(call(get_state), n.agent);
        if (!truthy(agent)) co_return none();
        conv_id = TV_AWAIT(call_method(attr(agent, n.conversation), n.start_conversation));
    }
    Local reply = event({{n.type, n.conversation_started}, {n.conversation_id, conv_id}, {n.session_id, session_id}});
    TV_REPLY(ws, reply);
    co_return none();
}

Coro handle_resume_conversation(nb::object ws, Dict message) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local get_state = import_from(n.server, n.get_state);
    Local get_registry = import_from(n.session_registry, n.get_registry);
    Local state = call(get_state);
    Local session_id = g.session_or_default(message);
    Local conv_id = g.get(message, n.conversation_id);
    Local registry = call(get_registry);
    Local session = call_method(registry, n.get, session_id);

    // A connector's conversation is not the user's to switch: act on the default session instead.
    if (truthy(session) && truthy(attr(session, n.is_connector))) {
        Local main_id = g.global(n._DEFAULT_SESSION_ID);
        if (g.log.enabled(Level::warning))
            g.log.log(Level::warning, concat({str("Blocked resume_conversation on connector session "),
                                              to_repr(session_id), str(", redirecting to "), to_repr(main_id)}));
        session_id = main_id;
        session = call_method(registry, n.get, session_id);
    }
    Local agent = truthy(session) ? attr(session, n.agent) : g.get(state, n.agent);

    // Whatever works in this session stops before the switch; each step runs whatever the others find.
    if (cancel_running_task(session_id) && g.log.enabled(Level::info))
        g.log.log(Level::info, concat({str("Cancelled running task in session "), log_value(session_id),
                                       str(" before resuming conversation "), log_value(conv_id)}));
    cancel_agent(session, state);
    stop_running_cu_agent(g.get(state, n.cu_agent));

    if (!truthy(agent) || !truthy(conv_id)) co_return none();

    TV_AWAIT(call_method(attr(agent, n.conversation), n.resume_conversation, conv_id));
    Local memory = check(PyObject_GetItem(state.ptr(), n.memory));
    Local limit = check(PyLong_FromLong(200));
    Local messages = TV_AWAIT(call_method_kw(memory, n.get_messages, n.kw_limit, conv_id, limit));
    Local reply = event({{n.type, n.conversation_resumed},
                         {n.conversation_id, conv_id},
                         {n.session_id, session_id},
                         {n.messages, messages}});
    TV_REPLY(ws, reply);
    co_return none();
}

Coro handle_clear_session_history(nb::object ws, Dict message) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local get_registry = import_from(n.session_registry, n.get_registry);
    Local session_id = g.session_or_default(message);
    Local session = call_method(call(get_registry), n.get, session_id);

    // Refusals, in this order: no session, a user's session, a session without an agent.
    Local refusal;
    Local agent;
    if (!truthy(session)) {
        refusal = nb::borrow(n.session_not_found.h());
    } else if (!truthy(attr(session, n.is_connector))) {
        refusal = nb::borrow(texts().clear_connector_only.h());
    } else {
        agent = attr(session, n.agent);
        if (!truthy(agent)) refusal = nb::borrow(texts().no_agent_for_session.h());
    }
    if (refusal) {
        Local error = session_error_event(refusal, session_id);
        TV_REPLY(ws, error);
        co_return none();
    }

    Local conv = attr(agent, n.conversation);
    Local old_id = attr(conv, n.conversation_id);
    if (truthy(old_id)) TV_AWAIT(call_method(attr(agent, n._memory), n.clear_conversation_messages, old_id));
    Local new_id = TV_AWAIT(call_method(conv, n.start_conversation));
    set_attr(session, n.conversation_id, new_id);
    g.log.log(Level::info, str("Cleared history for connector session %r, new conversation %r"), session_id, new_id);

    Local reply = event(
        {{n.type, n.session_history_cleared}, {n.session_id, session_id}, {n.message, texts().history_cleared_text}});
    TV_REPLY(ws, reply);
    co_return none();
}

// ---- Heartbeat ----

// The reply to an action the controller understood, or a null handle for an unknown action.
nb::object heartbeat_action(nb::handle heartbeat, nb::handle config, nb::handle message, nb::handle action) {
    const Gateway& g = gw();
    const Names& n = g.n;
    if (equal(action, n.start)) {
        // A falsy interval (absent, null, 0, "") falls back to the configuration, then to 300 seconds.
        nb::object interval = g.get(message, n.interval);
        if (!truthy(interval))
            interval = truthy(config) ? attr(attr(config, n.heartbeat), n.interval) : check(PyLong_FromLong(300));
        call_method(heartbeat, n.start, interval);
        // The reply reports the action and the interval as obtained (a string stays a string); what the
        // controller made of it is for "status" to tell.
        return event({{n.type, n.heartbeat_status}, {n.status, n.running}, {n.interval, interval}});
    }
    if (equal(action, n.stop)) {
        call_method(heartbeat, n.stop);
        return event({{n.type, n.heartbeat_status}, {n.status, n.stopped}});
    }
    if (equal(action, n.pause)) {
        call_method(heartbeat, n.pause);
        return event({{n.type, n.heartbeat_status}, {n.status, n.paused}});
    }
    if (equal(action, n.resume)) {
        call_method(heartbeat, n.resume);
        return event({{n.type, n.heartbeat_status}, {n.status, n.running}});
    }
    if (equal(action, n.status)) {
        // "status" reflects `is_running` alone; a pause shows only in "paused".
        nb::handle status = truthy(attr(heartbeat, n.is_running)) ? n.running.h() : n.stopped.h();
        nb::object paused = attr(heartbeat, n.is_paused);
        nb::object interval = attr(heartbeat, n.interval);
        return event({{n.type, n.heartbeat_status}, {n.status, status}, {n.paused, paused}, {n.interval, interval}});
    }
    return nb::object();
}

Coro handle_heartbeat_control(nb::object ws, Dict message) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local get_state = import_from(n.server, n.get_state);
    Local state = call(get_state);
    Local heartbeat = g.get(state, n.heartbeat);
    Local config = g.get(state, n.config);

    Local reply;
    if (!truthy(heartbeat)) {
        reply = error_event(texts().heartbeat_missing);
    } else {
        Local action = g.get(message, n.action, n.empty);
        reply = heartbeat_action(heartbeat, config, message, action);
        if (!reply) reply = error_event(concat({texts().unknown_heartbeat_action, text_of(action)}));
    }
    TV_REPLY(ws, reply);
    co_return none();
}

// ---- The declarations: a message handler's message must be exactly a dict ----

template <auto Handler>
void add_handler(nb::handle module, const char* name, const char* doc) {
    define(module,
           function<Handler>(name, arg("ws", "WebSocket"), arg("message", "dict[str, Any]"), returns("None"), doc));
}

}  // namespace

void add_control(nb::handle module) {
    add_handler<handle_stop_task>(
        module, "_handle_stop_task",
        "Stop whatever works for a session: its chat task, the Computer Use agent and its agent.");
    add_handler<handle_approval>(module, "_handle_approval",
                                 "Pass the user's decision on a pending tool action to the guardrails.");
    add_handler<handle_new_session>(module, "_handle_new_session", "Create a new user session (chat tab).");
    add_handler<handle_close_session>(module, "_handle_close_session", "Close a session.");
    define(module, function<handle_list_sessions>("_handle_list_sessions", arg("ws", "WebSocket"), returns("None"),
                                                  "Send the list of all sessions."));
    add_handler<handle_new_conversation>(
        module, "_handle_new_conversation",
        "Start a new conversation within a session (clears chat history for that session).");
    add_handler<handle_resume_conversation>(
        module, "_handle_resume_conversation",
        "Resume a stored conversation in a session and send its messages.\n\n"
        "Whatever is working for the session stops first: its chat task, its agent and a running\n"
        "Computer Use agent. A connector session's request acts on the default session instead.");
    add_handler<handle_clear_session_history>(
        module, "_handle_clear_session_history",
        "Clear all stored messages for a connector session and start a fresh conversation.\n\n"
        "The stored messages of the session's current conversation (and with them its summary) are\n"
        "deleted and a new conversation begins, so the agent starts from a clean context on the\n"
        "next message. User sessions are refused.");
    add_handler<handle_heartbeat_control>(module, "_handle_heartbeat_control",
                                          "Start, stop, pause, resume or query the application's heartbeat.");
}

}  // namespace tv::gateway
