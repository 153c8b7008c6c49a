// The helpers that build texts, which only the chat turns and the control handlers use: joining
// strings, the head of a text, and the title a chat turn gives an untitled tab.
#pragma once

#include "gateway.hpp"

namespace tv::gateway {

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
    if (!truthy(session)) return nb::object();
    nb::object name = attr(session, n.display_name);
    if (!equal(name, n.new_chat) && !equal(name, n.chat_title)) return nb::object();
    if (truthy(attr(session, n.is_connector))) return nb::object();
    nb::object title = call_method(head(user_text, 60), n.strip);
    return truthy(title) ? title : nb::object();
}

}  // namespace tv::gateway
