// One chat turn through the session's standard agent: mode banner, auto-title, the session lock, the
// stall watchdog beside the turn, and every agent event streamed to the client.
#include "gateway.hpp"
#include "texts.hpp"
#include "tasks.hpp"
#include "send.hpp"
#include "runtime/async.hpp"
#include "runtime/async_iter.hpp"
#include "runtime/func.hpp"
#include "runtime/scope.hpp"

namespace tv::gateway {
namespace {

CoroName auto_title_name;

// `payload = event.to_dict(); payload["session_id"] = session_id`
nb::object tagged(nb::handle event, nb::handle session_id) {
    const Names& n = gw().n;
    nb::object payload = call_method(event, n.to_dict);
    if (PyDict_CheckExact(payload.ptr()))
        dict_set(payload, n.session_id, session_id);
    else
        check(PyObject_SetItem(payload.ptr(), n.session_id, session_id.ptr()));
    return payload;
}

// Names a still untitled tab (and its stored conversation) after the first words of the message.
// The Computer Use turn has its own copy of this, and the two differ on purpose: this one falls back to
// the agent's own conversation and `_memory` when the session or the server state has none (a standard
// agent keeps its conversation), the Computer Use one knows only the session's conversation and the
// server's store, and logs under its own text. Keep them apart rather than merge them.
Coro auto_title(nb::object agent, nb::object user_text, nb::object session_id, nb::object get_registry) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local session = call_method(call(get_registry), n.get, session_id);
    Local title = untitled_tab_title(session, user_text);
    if (!title) co_return none();

    set_attr(session, n.display_name, title);
    Local renamed = event({{n.type, n.session_renamed}, {n.session_id, session_id}, {n.display_name, title}});
    TV_AWAIT(call_method(g.global(n.manager), n.broadcast, renamed));

    Local failure;
    try {
        Local conv_id = attr(session, n.conversation_id);
        if (!truthy(conv_id)) conv_id = attr(attr(agent, n._conversation), n.conversation_id);
        if (truthy(conv_id)) {
            Local get_state = import_from(n.server, n.get_state);
            Local memory = call_method(call(get_state), n.get, n.memory);
            if (!truthy(memory)) {
                memory = attr_opt(agent, n._memory);
                if (!memory) memory = none();
            }
            if (truthy(memory)) {
                TV_AWAIT(call_method(memory, n.rename_conversation, conv_id, title));
                Local conv_renamed = event({{n.type, n.conversation_renamed},
                                            {n.conversation_id, conv_id},
                                            {n.title, title},
                                            {n.session_id, session_id}});
                TV_AWAIT(call_method(g.global(n.manager), n.broadcast, conv_renamed));
            }
        }
    } catch (nb::python_error& e) {
        if (!is_ordinary(e)) throw;
        failure = nb::borrow(e.value());
    }
    if (failure && g.log.enabled(Level::debug))
        g.log.log(Level::debug, str("Auto-name conversation failed: %s"), failure);
    co_return none();
}

Coro standard_chat(nb::object ws, nb::object agent, Str user_text, nb::object attachments, nb::object session_lock,
                   Str session_id) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local agent_lock = import_from(n.server, n._agent_lock);
    Local get_registry = import_from(n.session_registry, n.get_registry);
    Local lock = truthy(session_lock) ? session_lock : agent_lock;

    if (g.log.enabled(Level::info))
        g.log.log(Level::info, (Text{} << "Standard agent handling [" << log_value(session_id)
                                       << "]: " << log_value(check(PyUnicode_Substring(user_text.ptr(), 0, 80))))
                                   .done());

    Local banner = event(
        {{n.type, n.mode},
         {n.mode, n.standard},
         {n.message,
          str("\xF0\x9F\x96\xA5\xEF\xB8\x8F Computer Use mode \xE2\x80\x94 I can see and control your screen")},
         {n.session_id, session_id}});
    TV_SEND(ws, banner, session_place(session_id));

    TV_AWAIT(auto_title_name.wrap(auto_title(agent, user_text, session_id, get_registry)));

    bool disconnected = false;
    Local failure;
    try {
        TV_ASYNC_WITH(held, lock, {
            Local watchdog_task;
            {
                Local watchdog = call(g.global(n._watchdog), agent, session_id);
                watchdog_task = create_task(watchdog, check(PyUnicode_Concat(n.watchdog_prefix, session_id.ptr())));
            }
            TV_TRY_FINALLY(cancel_watchdog, watchdog_task, n.cancel, {  // first thing when the phase ends
                Local events = aiter(call_method_kw(agent, n.process_message, n.kw_attachments, user_text, attachments));
                // Declared once for the whole loop (as a Python loop's variable is), not made and
                // registered with the frame anew for every event.
                Local ev, send_error;
                while ((ev = co_await anext(events))) {
                    if (disconnected) continue;
                    try {
                        TV_SEND(ws, tagged(ev, session_id), session_place(session_id));
                    } catch (nb::python_error& e) {
                        if (!is_ordinary(e)) throw;
                        send_error = nb::borrow(e.value());
                    }
                    if (send_error) {
                        disconnected = true;
                        if (g.log.enabled(Level::warning))
                            g.log.log(Level::warning, (Text{} << "Client disconnected during processing ["
                                                              << log_value(session_id) << "]: " << to_str(send_error))
                                                          .done());
                        send_error = nb::object();
                        continue;
                    }
                    if (equal(attr(ev, n.type), n.tool_approval_needed)) {
                        try {
                            TV_AWAIT(call_method(g.global(n.manager), n.broadcast, tagged(ev, session_id)));
                        } catch (nb::python_error& e) {
                            if (!is_ordinary(e)) throw;
                        }
                    }
                }
            });
        });
    } catch (nb::python_error& e) {
        if (!is_ordinary(e)) throw;  // cancellation passes through; the lock and watchdog are already let go
        failure = nb::borrow(e.value());
    }
    if (failure) {
        g.log.log_exc(Level::error, failure,
                      (Text{} << "Standard agent error [" << log_value(session_id) << "]").done());
        if (!disconnected) {
            Local report = event(
                {{n.type, n.error},
                 {n.message, check(PyUnicode_Concat(str("Agent error: ").ptr(), to_str(failure).ptr()))},
                 {n.session_id, session_id}});
            try {
                TV_SEND(ws, report, session_place(session_id));
            } catch (nb::python_error& e) {
                if (is_ordinary(e)) co_return none();
                set_context(e, failure);
                throw;
            }
        }
    }
    co_return none();
}

}  // namespace

void add_standard_chat(nb::handle module) {
    auto_title_name = CoroName("auto_title", "_handle_standard_chat.<locals>.auto_title");
    define(module, function<standard_chat>(
                       "_handle_standard_chat", arg("ws", "WebSocket"), arg("agent", "Any"), arg("user_text", "str"),
                       arg("attachments", "list[dict[str, str]] | None", none()),
                       arg("session_lock", "asyncio.Lock | None", none()),
                       arg("session_id", "str", nb::borrow(gw().n.session_main.h())), returns("None"),
                       "Run one chat turn through the session's standard agent and stream its events to the client."));
}

}  // namespace tv::gateway
