// The texts only the chat turns and the control handlers use: the fixed texts they send, and the
// helpers that build texts (joining strings, the head of a text, the title a chat turn gives an
// untitled tab).
#pragma once

#include "gateway.hpp"

#include <optional>

namespace tv::gateway {

// The fixed texts only the Computer Use turn and the control handlers send, interned once with the
// gateway's names when the module is initialised (module.cpp).
struct Texts {
    // A new tab's default name and icon; the names of an untitled tab (control.cpp, untitled_tab_title).
    Name new_chat{"New Chat"};
    Name chat_title{"Chat"};
    Name speech_balloon{"\xF0\x9F\x92\xAC"};  // U+1F4AC, the default tab icon

    // The Computer Use turn (computer_use_chat.cpp).
    Name computer_use_agent{"tavrin.core.computer_use_agent"};
    Name computer_use_mode{"computer_use"};
    Name cu_mode_text{"Using Computer Use mode \xE2\x80\x94 I can see and control your screen"};  // U+2014
    Name cu_error_prefix{"Computer Use error: "};
    Name computer_dot{"computer."};
    Name unknown_error{"Unknown error"};
    Name task_cancelled_text{"Task cancelled"};
    Name screenshot_captured{"Screenshot captured"};

    // The control handlers (control.cpp).
    Name task_stopped_text{"Task stopped"};
    Name no_task_running{"No task is currently running"};
    Name guardrails_missing{"Guardrails not initialized"};
    Name missing_approval_id{"Missing approval_id"};
    Name missing_session_id{"Missing session_id"};
    Name heartbeat_missing{"Heartbeat not initialized"};
    Name unknown_heartbeat_action{"Unknown heartbeat action: "};
    Name history_cleared_text{"Chat history cleared. Starting fresh."};
    Name clear_connector_only{"clear_session_history is only allowed for connector sessions"};
    Name no_agent_for_session{"No agent for session"};
};

// Made with the gateway's names when the module is initialised (module.cpp); lives as long as the process.
// Held in place, not behind a pointer: a text is read at a fixed address.
extern std::optional<Texts> texts_instance;
inline const Texts& texts() { return *texts_instance; }

// Python strings joined as an f-string joins them (through the str API, so any text passes).
inline nb::object concat(std::initializer_list<nb::handle> parts) {
    nb::object out = nb::borrow(gw().n.empty.h());
    for (nb::handle p : parts) out = check(PyUnicode_Concat(out.ptr(), p.ptr()));
    return out;
}

// `text[:count]`
inline nb::object head(nb::handle text, Py_ssize_t count) { return check(PyUnicode_Substring(text.ptr(), 0, count)); }

// The title a chat turn gives a still untitled user tab: the first 60 characters of the message
// without surrounding blanks. A null handle when the tab keeps its name: no such session, a name
// other than "New Chat" or "Chat", a connector's tab, or a blank title.
inline nb::object untitled_tab_title(nb::handle session, nb::handle user_text) {
    const Names& n = gw().n;
    const Texts& t = texts();
    if (!truthy(session)) return nb::object();
    nb::object name = attr(session, n.display_name);
    if (!equal(name, t.new_chat) && !equal(name, t.chat_title)) return nb::object();
    if (truthy(attr(session, n.is_connector))) return nb::object();
    nb::object title = call_method(head(user_text, 60), n.strip);
    return truthy(title) ? title : nb::object();
}

}  // namespace tv::gateway
