// Shared state of the `tavrin.gateway.ws` extension module: interned names, the logger, the module
// globals, and the few helpers every handler uses.
// What only some files need has a header of its own, which those files include: sending to a client
// (send.hpp), what the gateway asks of session streams (session_streams.hpp), the streams' own state
// (stream.hpp), the module's C++-only state (state.hpp), the texts few handlers use (texts.hpp) and
// the tasks started in the background (tasks.hpp). So do the runtime's parts: a file that writes
// coroutines includes runtime/async.hpp, one that declares functions runtime/func.hpp; the rest (the
// module's state, a stream's grace timer) compile without the coroutine machinery.
//
// Cross-function calls (`manager`, `_handle_chat`, `_watchdog`, the handlers) and the module
// constants go through the module's globals at every use, exactly as a Python module's global
// look-ups do, so a host or a test can replace any of them at run time.
#pragma once

#include "runtime/log.hpp"
#include "runtime/py.hpp"

namespace tv::gateway {

constexpr const char* module_name = "tavrin.gateway.ws";

// The names the gateway uses, interned once: one entry a line, by kind, in alphabetical order. A name
// that serves in two roles ("done" is an event type and a Task method) is listed once, under the first.
// tests/test_ws_names.py fails on an entry no source file uses.
// The module's own globals, looked up at each use.
#define TV_MODULE_NAMES(X) \
    X(_active_tasks) \
    X(_ALLOWED_ORIGINS) \
    X(asyncio) \
    X(_DEFAULT_SESSION_ID) \
    X(_DETACHED_GRACE_SECONDS) \
    X(_endpoint_tasks) \
    X(_FAIR_BROADCAST) \
    X(_FORCE_CU_KEYWORDS) \
    X(_handle_approval) \
    X(_handle_attach) \
    X(_handle_chat) \
    X(_handle_clear_session_history) \
    X(_handle_close_session) \
    X(_handle_computer_use_chat) \
    X(_handle_heartbeat_control) \
    X(_handle_list_sessions) \
    X(_handle_message) \
    X(_handle_new_conversation) \
    X(_handle_new_session) \
    X(_handle_resume_conversation) \
    X(_handle_standard_chat) \
    X(_handle_stop_task) \
    X(json) \
    X(manager) \
    X(_MAX_PENDING_CHATS) \
    X(_MAX_WS_CONNECTIONS) \
    X(_SEND_TIMEOUT_SECONDS) \
    X(_SESSION_STREAMS) \
    X(_session_streams) \
    X(_should_use_computer_use) \
    X(_slow_clients) \
    X(_STREAM_RETAIN_BYTES) \
    X(_STREAM_RETAIN_EVENTS) \
    X(_watchdog) \
    X(WebSocketDisconnect)

// Names of the host's and the standard library's modules that the gateway calls.
#define TV_HOST_NAMES(X) \
    X(_agent_lock) \
    X(_agent_lock_fallback) \
    X(call_later) \
    X(CancelledError) \
    X(ComputerUseEvent) \
    X(create_future) \
    X(create_task) \
    X(current_task) \
    X(get_registry) \
    X(get_running_loop) \
    X(get_state) \
    X(loads) \
    X(sleep) \
    X(WeakValueDictionary)

// Message and event types, and the values of fixed keys ("mode", "status").
#define TV_MESSAGE_TYPES(X) \
    X(approval_decided) \
    X(approval_resolved) \
    X(approval_withdrawn) \
    X(approve) \
    X(attach) \
    X(attached) \
    X(auto_cancelled) \
    X(cancelled) \
    X(chat) \
    X(clear_session_history) \
    X(close_session) \
    X(computer) \
    X(conversation_renamed) \
    X(conversation_resumed) \
    X(conversation_started) \
    X(done) \
    X(error) \
    X(heartbeat_control) \
    X(heartbeat_status) \
    X(image) \
    X(info) \
    X(list_sessions) \
    X(mode) \
    X(new_conversation) \
    X(new_session) \
    X(paused) \
    X(ping) \
    X(pong) \
    X(replay_gap) \
    X(resume_conversation) \
    X(running) \
    X(screenshot) \
    X(session_closed) \
    X(session_created) \
    X(session_history_cleared) \
    X(session_renamed) \
    X(sessions_list) \
    X(stall_warning) \
    X(standard) \
    X(status) \
    X(stop_task) \
    X(stopped) \
    X(task_stopped) \
    X(text) \
    X(thinking) \
    X(tool_approval_needed) \
    X(tool_call) \
    X(tool_result)

// Keys of messages and events.
#define TV_EVENT_KEYS(X) \
    X(action) \
    X(after) \
    X(approval_id) \
    X(approved) \
    X(arguments) \
    X(attachments) \
    X(base64) \
    X(computer_use) \
    X(content) \
    X(conversation) \
    X(conversation_id) \
    X(data) \
    X(display_name) \
    X(first_seq) \
    X(icon) \
    X(id) \
    X(image_base64) \
    X(input) \
    X(interval) \
    X(is_connector) \
    X(iterations) \
    X(message) \
    X(messages) \
    X(origin) \
    X(result) \
    X(seconds) \
    X(seq) \
    X(session) \
    X(session_id) \
    X(sessions) \
    X(success) \
    X(title) \
    X(tool) \
    X(type)

// Attributes and methods of the objects the gateway is handed (sockets, tasks, agents, the registry).
#define TV_ATTRIBUTE_NAMES(X) \
    X(accept) \
    X(add) \
    X(add_done_callback) \
    X(agent) \
    X(append) \
    X(args) \
    X(broadcast) \
    X(cancel) \
    X(clear_conversation_messages) \
    X(close) \
    X(config) \
    X(connect) \
    X(_connections) \
    X(_conversation) \
    X(create_session) \
    X(cu_agent) \
    X(discard) \
    X(disconnect) \
    X(get) \
    X(get_messages) \
    X(guardrails) \
    X(headers) \
    X(heartbeat) \
    X(is_paused) \
    X(is_processing) \
    X(is_running) \
    X(lock) \
    X(locked) \
    X(lower) \
    X(_memory) \
    X(memory) \
    X(new_conversation_in_session) \
    X(pause) \
    X(process_message) \
    X(receive_text) \
    X(rename_conversation) \
    X(reset_consecutive) \
    X(resolve_approval) \
    X(resume) \
    X(run_task) \
    X(seconds_since_activity) \
    X(send_json) \
    X(set_result) \
    X(stall_cancel_seconds) \
    X(stall_warn_seconds) \
    X(start) \
    X(start_conversation) \
    X(stop) \
    X(strip) \
    X(to_dict) \
    X(uncancel) \
    X(websocket)

#define TV_NAMES(X) TV_MODULE_NAMES(X) TV_HOST_NAMES(X) TV_MESSAGE_TYPES(X) TV_EVENT_KEYS(X) TV_ATTRIBUTE_NAMES(X)

struct Names {
#define TV_DECLARE(n) Name n{#n};
    TV_NAMES(TV_DECLARE)
#undef TV_DECLARE

    // Fixed texts and module paths.
    Name server{"tavrin.gateway.server"};
    Name session_registry{"tavrin.core.session_registry"};
    Name session_main{"session_main"};
    Name empty{""};
    Name fmt_0f{".0f"};
    Name chat_prefix{"chat-"};
    Name watchdog_prefix{"watchdog-"};
    Name let_go_prefix{"let-go"};
    Name client_too_slow{"Client too slow"};
    Name broadcast_place{"broadcast"};
    Name reply_place{"reply"};
    Name stream_writer_prefix{"stream-writer"};
    Name invalid_after{"'after' must be an integer"};
    Name session_not_found{"Session not found"};
    Name too_many_chats{"Too many chats under way on this connection; wait for one to end"};

    // Keyword-name tuples for calls with keyword arguments.
    PyObject* kw_name = kwnames({"name"});
    PyObject* kw_code_reason = kwnames({"code", "reason"});
    PyObject* kw_attachments = kwnames({"attachments"});
    PyObject* kw_limit = kwnames({"limit"});
    PyObject* kw_create_session = kwnames({"display_name", "icon", "is_connector"});
    PyObject* kw_cu_chat = kwnames({"session_id"});
    PyObject* kw_std_chat = kwnames({"attachments", "session_lock", "session_id"});
};

struct Gateway {
    Names n;
    Logger log{"tavrin.ws"};
    ModuleGlobals global;  // the module's globals, looked up at each use
    // The cancel message with which a slow client's endpoint is ended: an object nobody else has.
    nb::object let_go_marker = check(PyObject_CallNoArgs((PyObject*)&PyBaseObject_Type));
    nb::object ready;  // the awaitable a session stream's send_json gives: already complete

    // `message.get(key)` / `message.get(key, default)`.
    nb::object get(nb::handle mapping, nb::handle key) const { return mapping_get(mapping, key.ptr(), n.get); }
    nb::object get(nb::handle mapping, nb::handle key, nb::handle deflt) const {
        return mapping_get(mapping, key.ptr(), deflt, n.get);
    }

    // `message.get("session_id") or _DEFAULT_SESSION_ID`: the session id of a message, with the default for a falsy one.
    nb::object session_or_default(nb::handle message) const {
        nb::object sid = get(message, n.session_id);
        return truthy(sid) ? sid : global(n._DEFAULT_SESSION_ID);
    }
};

extern Gateway* gateway_instance;  // made when the module is initialised; lives as long as the process
inline Gateway& gw() { return *gateway_instance; }

// Builds an event dict from key/value pairs, keys in the given order.
inline nb::object event(std::initializer_list<std::pair<PyObject*, nb::handle>> items) {
    nb::object d = new_dict();
    for (auto& [k, v] : items) dict_set(d, k, v);
    return d;
}

// f"{value}" — the text form a Python f-string gives.
inline nb::object text_of(nb::handle v) {
    if (PyUnicode_CheckExact(v.ptr())) return nb::borrow(v);
    return check(PyObject_Format(v.ptr(), gw().n.empty));
}

// Stores `value` as the module attribute `name`.
inline void define(nb::handle module, const char* name, nb::handle value) {
    check(PyObject_SetAttrString(module.ptr(), name, value.ptr()));
}

}  // namespace tv::gateway
