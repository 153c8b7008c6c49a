// One chat turn through the Computer Use agent: the mode banner, auto-titling of an untitled tab,
// and the translation of the agent's own events into the gateway's event format.
//
// Unlike the standard path this takes no lock and starts no watchdog: the single Computer Use agent
// reports its own end of turn ("done", "error" or "cancelled"), and a stop reaches it through
// `cu_agent.stop()`.
#include "gateway.hpp"

namespace tv::gateway {
namespace {

CoroName cu_chat_name;

// `isinstance(v, dict)`: the agent's payloads are plain dicts, subclasses accepted.
bool is_mapping(nb::handle v) { return PyDict_Check(v.ptr()); }

// `tool_input.get("action", "")` for the "computer" tool's display name, or "" for a non-mapping input.
nb::object action_of(nb::handle tool_input) {
    const Gateway& g = gw();
    return is_mapping(tool_input) ? g.get(tool_input, g.n.action, g.n.empty) : nb::borrow(g.n.empty.h());
}

// Appends the result keys of a "tool_result" event: a screenshot, an error, a text, or the plain value.
void add_result(nb::handle ev, nb::handle result) {
    const Gateway& g = gw();
    const Names& n = g.n;
    if (!is_mapping(result)) {
        dict_set(ev, n.result, to_str(result));
        return;
    }
    nb::object rtype = g.get(result, n.type);
    if (equal(rtype, n.image)) {
        dict_set(ev, n.screenshot, boolean(true));
        dict_set(ev, n.image_base64, g.get(result, n.base64, n.empty));
        dict_set(ev, n.result, n.screenshot_captured);
    } else if (equal(rtype, n.error)) {
        dict_set(ev, n.result, g.get(result, n.error, n.unknown_error));
        dict_set(ev, n.error, boolean(true));
    } else if (PyDict_CheckExact(result.ptr())) {
        // The whole mapping's text form stands in for a missing "text"; only built when needed.
        PyObject* text = PyDict_GetItemWithError(result.ptr(), n.text);
        if (!text && PyErr_Occurred()) throw_error();
        dict_set(ev, n.result, text ? nb::handle(text) : nb::handle(to_str(result)));
    } else {
        dict_set(ev, n.result, call_method(result, n.get, n.text, to_str(result)));
    }
}

// The gateway event for one agent event, or a null handle for a type the client is not told about.
nb::object translate(nb::handle agent_event, nb::handle session_id) {
    const Gateway& g = gw();
    const Names& n = g.n;
    nb::object type = attr(agent_event, n.type);

    if (equal(type, n.tool_call)) {
        nb::object data = attr(agent_event, n.data);
        nb::object tool_name = g.get(data, n.tool, n.empty);
        nb::object empty_input = new_dict();
        nb::object tool_input = g.get(data, n.input, empty_input);
        nb::object action = action_of(tool_input);
        nb::object display =
            equal(tool_name, n.computer) ? concat({n.computer_dot, text_of(action)}) : tool_name;
        nb::object id = g.get(data, n.id, n.empty);
        return event({{n.type, n.tool_call}, {n.id, id}, {n.tool, display}, {n.arguments, tool_input},
                      {n.session_id, session_id}});
    }
    if (equal(type, n.tool_result)) {
        nb::object data = attr(agent_event, n.data);
        nb::object id = g.get(data, n.id, n.empty);
        nb::object tool = g.get(data, n.tool, n.empty);
        nb::object empty_result = new_dict();
        nb::object result = g.get(data, n.result, empty_result);
        nb::object ev = event({{n.type, n.tool_result}, {n.id, id}, {n.tool, tool}, {n.session_id, session_id}});
        add_result(ev, result);
        return ev;
    }

    // The remaining types carry one value each: (type, key, default).
    struct Simple {
        PyObject* type;
        PyObject* key;
        PyObject* deflt;
    };
    nb::object zero = check(PyLong_FromLong(0));
    const Simple simple[] = {
        {n.text, n.content, n.empty},
        {n.thinking, n.message, n.empty},
        {n.done, n.iterations, zero.ptr()},
        {n.error, n.message, n.unknown_error},
        {n.cancelled, n.message, n.task_cancelled_text},
    };
    for (const Simple& s : simple) {
        if (!equal(type, s.type)) continue;
        nb::object value = g.get(attr(agent_event, n.data), s.key, s.deflt);
        return event({{n.type, s.type}, {s.key, value}, {n.session_id, session_id}});
    }
    return nb::object();
}

Coro handle_computer_use_chat(nb::object ws, nb::object cu_agent, nb::object user_text, nb::object session_id) {
    const Gateway& g = gw();
    const Names& n = g.n;
    import_from(n.computer_use_agent, n.ComputerUseEvent);  // the agent's module must be importable
    Local get_registry = import_from(n.session_registry, n.get_registry);

    if (g.log.enabled(Level::info))
        g.log.log(Level::info, concat({str("Computer Use agent handling ["), log_value(session_id), str("]: "),
                                               log_value(head(user_text, 80))}));

    Local mode = event({{n.type, n.mode}, {n.mode, n.computer_use_mode}, {n.message, n.cu_mode_text},
                             {n.session_id, session_id}});
    try {
        TV_AWAIT_WITHIN(send_timeout, call_method(ws, n.send_json, mode));
    } catch (nb::python_error& e) {
        after_send_failure(e, ws, session_place(session_id));
        throw;
    }

    Local cu_session = call_method(call(get_registry), n.get, session_id);
    if (Local title = untitled_tab_title(cu_session, user_text); title) {
        set_attr(cu_session, n.display_name, title);
        Local renamed = event({{n.type, n.session_renamed}, {n.session_id, session_id}, {n.display_name, title}});
        TV_AWAIT(call_method(g.global(n.manager), n.broadcast, renamed));

        // The stored conversation's title is a nicety: a failure here leaves the tab renamed and the
        // turn going.
        Local rename_failure;
        try {
            Local conv_id = attr(cu_session, n.conversation_id);
            Local memory;
            if (truthy(conv_id)) {
                Local get_state = import_from(n.server, n.get_state);
                memory = g.get(call(get_state), n.memory);
            }
            if (memory && truthy(memory)) {
                TV_AWAIT(call_method(memory, n.rename_conversation, conv_id, title));
                Local conv_renamed = event({{n.type, n.conversation_renamed},
                                                 {n.conversation_id, conv_id},
                                                 {n.title, title},
                                                 {n.session_id, session_id}});
                TV_AWAIT(call_method(g.global(n.manager), n.broadcast, conv_renamed));
            }
        } catch (nb::python_error& e) {
            if (!is_ordinary(e)) throw;
            rename_failure = nb::borrow(e.value());
        }
        if (rename_failure) g.log.log(Level::debug, str("Auto-name conversation (CU) failed: %s"), rename_failure);
    }

    Local failure;
    try {
        Local events = aiter(call_method(cu_agent, n.run_task, user_text));
        for (;;) {
            Local agent_event = co_await anext(events);
            if (!agent_event) break;
            Local ev = translate(agent_event, session_id);
            if (!ev) continue;
            try {
                if (is_stream(ws))
                    stream_send(ws, ev);
                else
                    TV_AWAIT_WITHIN(send_timeout, call_method(ws, n.send_json, ev));
            } catch (nb::python_error& e) {
                after_send_failure(e, ws, session_place(session_id));
                throw;
            }
        }
    } catch (nb::python_error& e) {
        if (!is_ordinary(e)) throw;  // cancellation ends the turn without a word
        failure = nb::borrow(e.value());
    }
    if (failure) {
        // Not guarded: when the client has gone this send fails too and ends the chat task, its error
        // linked to the agent's as raised while that one was being handled.
        try {
            g.log.log_exc(Level::error, failure, str("Computer Use agent error"));
            Local error = event({{n.type, n.error}, {n.message, concat({n.cu_error_prefix, to_str(failure)})},
                                      {n.session_id, session_id}});
            TV_AWAIT_WITHIN(send_timeout, call_method(ws, n.send_json, error));
        } catch (nb::python_error& e) {
            set_context(e, failure);
            after_send_failure(e, ws, session_place(session_id));
            throw;
        }
    }
    co_return none();
}

nb::object computer_use_chat_impl(PyObject* const* a) {
    check_exact(a[2], &PyUnicode_Type, "user_text");
    check_exact(a[3], &PyUnicode_Type, "session_id");
    return cu_chat_name.wrap(
        handle_computer_use_chat(nb::borrow(a[0]), nb::borrow(a[1]), nb::borrow(a[2]), nb::borrow(a[3])));
}

}  // namespace

void add_computer_use_chat(nb::handle module) {
    const Names& n = gw().n;
    cu_chat_name = CoroName("_handle_computer_use_chat", "_handle_computer_use_chat");
    auto* definition = new FunctionDef{"_handle_computer_use_chat",
                                  "_handle_computer_use_chat",
                                  "Run one chat turn through the Computer Use agent and relay its events to the client.",
                                  {{"ws", false, {}, ann("WebSocket")},
                                   {"cu_agent", false, {}, ann("Any")},
                                   {"user_text", false, {}, ann("str")},
                                   {"session_id", false, nb::borrow(n.session_main.h()), ann("str")}},
                                  entry<computer_use_chat_impl>,
                                  true,
                                  ann("None")};
    define(module, "_handle_computer_use_chat", make_function(definition, module_name));
}

}  // namespace tv::gateway
