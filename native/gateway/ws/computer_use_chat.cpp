// One chat turn through the Computer Use agent: the mode banner, auto-titling of an untitled tab,
// and the translation of the agent's own events into the gateway's event format.
//
// Unlike the standard path this takes no lock and starts no watchdog: the single Computer Use agent
// reports its own end of turn ("done", "error" or "cancelled"), and a stop reaches it through
// `cu_agent.stop()`.
#include "gateway.hpp"
#include "texts.hpp"
#include "send.hpp"
#include "runtime/async.hpp"
#include "runtime/async_iter.hpp"
#include "runtime/func.hpp"

#include <cstdint>

namespace tv::gateway {
namespace {

// `isinstance(v, dict)`: the agent's payloads are plain dicts, subclasses accepted.
bool is_mapping(nb::handle v) { return PyDict_Check(v.ptr()); }

// `tool_input.get("action", "")` for the "computer" tool's display name, or "" for a non-mapping input.
nb::object action_of(nb::handle tool_input) {
    const Gateway& g = gw();
    return is_mapping(tool_input) ? g.get(tool_input, g.n.action, g.n.empty) : nb::borrow(g.n.empty.h());
}

// `data.get(key, {})`: the new empty dict is made only when it is the answer, or when `data` is not an
// exact dict and its own `get` must be given one.
nb::object get_or_new_dict(nb::handle data, PyObject* key) {
    if (PyDict_CheckExact(data.ptr())) {
        PyObject* v = PyDict_GetItemWithError(data.ptr(), key);
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) throw_error();
        return new_dict();
    }
    return gw().get(data, key, new_dict());
}

// The kinds of event a turn sends for its agent's events; a "tool_result" has one per kind of result.
enum Kind { tool_call, tool_result, screenshot_result, error_result, text, thinking, done, error, cancelled, kinds };

// Every event of one kind has the same keys in the same order, and most of its values are the same
// for the whole turn (the type, the session id, fixed texts and flags). So each kind's events are
// copies of one dict made at the kind's first event, holding those values and None where each event
// puts its own: a copy takes the key table and the values whole, where building the event would
// insert every key (and grow the table past five).
//
// And an event that its receiver did not keep is made again for the next event of its kind: once
// the send is over, a dict nobody else refers to can be seen by nobody else, so setting its own values
// anew gives what a new copy would, without allocating, copying and freeing a dict per event. It is
// taken only while the turn holds its one reference and nobody has changed it since it was filled (a
// receiver may change what it is sent): on 3.12 the dict's version tag, which every change replaces
// by one never given before, is the same as when it was filled; elsewhere a dict watcher counts
// every change to an event once it is filled. Until it is taken it keeps the values of the last event of its kind, as a Python loop's
// variables keep the last item.
class Shapes {
public:
    explicit Shapes(nb::handle session_id) : session_id_(session_id) {}

    nb::handle zero() const { return zero_; }  // the default of "iterations"

    // A new event of `kind`, whose own values the caller sets (they are None, or the last event's).
    nb::object make(Kind kind) {
        Local& shape = shapes_[kind];
        if (!shape) shape = build(kind);
        last_ = kind;
        if (spares_[kind]) {
            nb::object spare = nb::steal(spares_[kind].release());
            if (Py_REFCNT(spare.ptr()) == 1 && Changes::unchanged(spare, filled_at_[kind])) return spare;
        }
        return check(PyDict_Copy(shape.ptr()));
    }

    // The event last made has its values: from now on a change to it is counted.
    void filled(nb::handle ev) { filled_at_[last_] = Changes::mark(ev); }

    // The event last made, once it is sent: kept for the next event of its kind while nobody else
    // holds it.
    void sent(Local& ev) {
#ifndef Py_GIL_DISABLED  // elsewhere a count of one proves nothing about other threads
        if (Py_REFCNT(ev.ptr()) == 1) spares_[last_] = nb::steal(ev.release());
#endif
    }

private:
#if PY_VERSION_HEX < 0x030D0000
    // A dict's version tag changes with every change to it, to a value no dict has had before: one
    // that still has the tag it had when it was filled has not been changed since.
    struct Changes {
        static std::uint64_t mark(nb::handle ev) { return tag(ev); }
        static bool unchanged(nb::handle ev, std::uint64_t mark) { return tag(ev) == mark; }
        static std::uint64_t tag(nb::handle ev) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
            return reinterpret_cast<PyDictObject*>(ev.ptr())->ma_version_tag;
#pragma GCC diagnostic pop
        }
    };
#else
    // Changes made by anybody to the events watched (those filled, and the spares): one count for
    // all, so that a change to any of them makes every spare held at that moment unusable. That is
    // rare: a receiver that changes what it is sent, or one that keeps it and lets it go later.
    struct Changes {
        static inline std::uint64_t count = 0;
        static int watcher() {
            static int id = [] {
                int i = PyDict_AddWatcher([](PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
                    ++count;
                    return 0;
                });
                if (i < 0) PyErr_Clear();  // no watcher to be had: nothing is ever taken again
                return i;
            }();
            return id;
        }
        // The count when `ev` starts being watched; one no spare can match without a watcher.
        static std::uint64_t mark(nb::handle ev) {
            if (watcher() < 0 || PyDict_Watch(watcher(), ev.ptr()) < 0) {
                PyErr_Clear();
                return ~count;
            }
            return count;
        }
        // Whether nothing changed a watched event since `mark`; it is watched no more if so.
        static bool unchanged(nb::handle ev, std::uint64_t mark) {
            if (mark != count) return false;
            if (PyDict_Unwatch(watcher(), ev.ptr()) == 0) return true;
            PyErr_Clear();
            return false;
        }
    };
#endif

    nb::object build(Kind kind) const {
        const Names& n = gw().n;
        nb::handle sid = session_id_, none = Py_None, yes = Py_True;
        switch (kind) {
            case tool_call:
                return event(
                    {{n.type, n.tool_call}, {n.id, none}, {n.tool, none}, {n.arguments, none}, {n.session_id, sid}});
            case tool_result:
                return event(
                    {{n.type, n.tool_result}, {n.id, none}, {n.tool, none}, {n.session_id, sid}, {n.result, none}});
            case screenshot_result:
                return event({{n.type, n.tool_result},
                              {n.id, none},
                              {n.tool, none},
                              {n.session_id, sid},
                              {n.screenshot, yes},
                              {n.image_base64, none},
                              {n.result, texts().screenshot_captured}});
            case error_result:
                return event({{n.type, n.tool_result},
                              {n.id, none},
                              {n.tool, none},
                              {n.session_id, sid},
                              {n.result, none},
                              {n.error, yes}});
            case text: return event({{n.type, n.text}, {n.content, none}, {n.session_id, sid}});
            case thinking: return event({{n.type, n.thinking}, {n.message, none}, {n.session_id, sid}});
            case done: return event({{n.type, n.done}, {n.iterations, none}, {n.session_id, sid}});
            case error: return event({{n.type, n.error}, {n.message, none}, {n.session_id, sid}});
            case cancelled: return event({{n.type, n.cancelled}, {n.message, none}, {n.session_id, sid}});
            case kinds: break;
        }
        raise(PyExc_SystemError, "no such event kind");
    }

    nb::handle session_id_;  // the turn's own argument, which its frame holds
    Local shapes_[kinds];
    Local spares_[kinds];
    std::uint64_t filled_at_[kinds] = {};
    Kind last_ = kinds;
    Local zero_ = check(PyLong_FromLong(0));
};

// "computer.<action>", the display name of a call of the computer tool, for the actions this turn has
// seen: a turn calls a handful of actions over and over, and would otherwise build and free the same
// name for each call. Only an exact str is kept and matched (its value is its text, and comparing two
// runs no code); any other action is formatted at each call, as the f-string does.
class ComputerToolNames {
public:
    nb::object of(nb::handle action) {
        PyObject* a = action.ptr();
        if (!PyUnicode_CheckExact(a) || PyUnicode_GET_LENGTH(a) > longest) return name_of(action);
        for (int i = 0; i < used_; ++i)
            if (equal(seen_[i].action, action)) return nb::borrow(seen_[i].name);
        nb::object name = name_of(action);
        Seen& slot = seen_[used_ < size ? used_++ : next_++ % size];  // past `size` actions, the oldest goes
        slot.action = nb::borrow(action);
        slot.name = name;
        return name;
    }

private:
    static nb::object name_of(nb::handle action) {
        return check(PyUnicode_Concat(texts().computer_dot, text_of(action).ptr()));
    }
    static constexpr int size = 16;
    static constexpr Py_ssize_t longest = 64;  // a longer text is no action's name: not kept
    struct Seen {
        Local action, name;
    };
    Seen seen_[size];
    int used_ = 0;
    unsigned next_ = 0;
};

// A "tool_result" event: the id, the tool, then the keys of its result (a screenshot, an error, a
// text, or the plain value).
nb::object tool_result_event(nb::handle data, Shapes& shapes) {
    const Gateway& g = gw();
    const Names& n = g.n;
    nb::object id = g.get(data, n.id, n.empty);
    nb::object tool = g.get(data, n.tool, n.empty);
    nb::object result = get_or_new_dict(data, n.result);
    auto with = [&](Kind kind) {
        nb::object ev = shapes.make(kind);
        dict_set(ev, n.id, id);
        dict_set(ev, n.tool, tool);
        return ev;
    };
    if (!is_mapping(result)) {
        nb::object ev = with(tool_result);
        dict_set(ev, n.result, to_str(result));
        return ev;
    }
    nb::object rtype = g.get(result, n.type);
    if (equal(rtype, n.image)) {
        nb::object ev = with(screenshot_result);
        dict_set(ev, n.image_base64, g.get(result, n.base64, n.empty));
        return ev;
    }
    if (equal(rtype, n.error)) {
        nb::object ev = with(error_result);
        dict_set(ev, n.result, g.get(result, n.error, texts().unknown_error));
        return ev;
    }
    nb::object ev = with(tool_result);
    if (PyDict_CheckExact(result.ptr())) {
        // The whole mapping's text form stands in for a missing "text"; only built when needed.
        PyObject* text = PyDict_GetItemWithError(result.ptr(), n.text);
        if (!text && PyErr_Occurred()) throw_error();
        dict_set(ev, n.result, text ? nb::handle(text) : nb::handle(to_str(result)));
    } else {
        dict_set(ev, n.result, call_method(result, n.get, n.text, to_str(result)));
    }
    return ev;
}

// The agent's event types the client is told about, in the order a type is tested against them.
enum class Type { tool_call, tool_result, text, thinking, done, error, cancelled, other };

Type type_of(nb::handle type) {
    const Names& n = gw().n;
    // An agent names its types with string literals, which are these very interned strings: then
    // identity answers, and no comparison could have told otherwise (an exact str's equality runs no code).
    PyObject* t = type.ptr();
    if (t == n.tool_call) return Type::tool_call;
    if (t == n.tool_result) return Type::tool_result;
    if (t == n.text) return Type::text;
    if (t == n.thinking) return Type::thinking;
    if (t == n.done) return Type::done;
    if (t == n.error) return Type::error;
    if (t == n.cancelled) return Type::cancelled;
    PyObject* const known[] = {n.tool_call, n.tool_result, n.text, n.thinking, n.done, n.error, n.cancelled};
    // Anything else is compared in the written order, as the chain of `==` tests would.
    for (int i = 0; i < 7; ++i)
        if (equal(type, known[i])) return Type(i);
    return Type::other;
}

// A "tool_call" event: the id, the tool's display name ("computer.<action>" for the computer tool) and
// its input as given.
nb::object tool_call_event(nb::handle data, Shapes& shapes, ComputerToolNames& names) {
    const Gateway& g = gw();
    const Names& n = g.n;
    nb::object id = g.get(data, n.id, n.empty);
    nb::object tool_name = g.get(data, n.tool, n.empty);
    nb::object tool_input = get_or_new_dict(data, n.input);
    nb::object action = action_of(tool_input);
    nb::object display = equal(tool_name, n.computer) ? names.of(action) : std::move(tool_name);
    nb::object ev = shapes.make(tool_call);
    dict_set(ev, n.id, id);
    dict_set(ev, n.tool, display);
    dict_set(ev, n.arguments, tool_input);
    return ev;
}

// An event of a type that carries one value: `data.get(key, default)`.
nb::object one_value_event(nb::handle agent_event, Kind kind, PyObject* key, nb::handle deflt, Shapes& shapes) {
    const Gateway& g = gw();
    nb::object value = g.get(attr(agent_event, g.n.data), key, deflt);
    nb::object ev = shapes.make(kind);
    dict_set(ev, key, value);
    return ev;
}

// The gateway event for one agent event, or a null handle for a type the client is not told about.
nb::object translate(nb::handle agent_event, Shapes& shapes, ComputerToolNames& names) {
    const Names& n = gw().n;
    nb::object type = attr(agent_event, n.type);
    switch (type_of(type)) {
        case Type::tool_call: return tool_call_event(attr(agent_event, n.data), shapes, names);
        case Type::tool_result: return tool_result_event(attr(agent_event, n.data), shapes);
        case Type::text: return one_value_event(agent_event, text, n.content, n.empty, shapes);
        case Type::thinking: return one_value_event(agent_event, thinking, n.message, n.empty, shapes);
        case Type::done: return one_value_event(agent_event, done, n.iterations, shapes.zero(), shapes);
        case Type::error: return one_value_event(agent_event, error, n.message, texts().unknown_error, shapes);
        case Type::cancelled:
            return one_value_event(agent_event, cancelled, n.message, texts().task_cancelled_text, shapes);
        case Type::other: break;
    }
    return nb::object();
}

Coro handle_computer_use_chat(nb::object ws, nb::object cu_agent, Str user_text, Str session_id) {
    const Gateway& g = gw();
    const Names& n = g.n;
    import_from(texts().computer_use_agent, n.ComputerUseEvent);  // the agent's module must be importable
    Local get_registry = import_from(n.session_registry, n.get_registry);

    if (g.log.enabled(Level::info))
        g.log.log(Level::info, concat({str("Computer Use agent handling ["), log_value(session_id), str("]: "),
                                       log_value(head(user_text, 80))}));

    Local mode = event({{n.type, n.mode},
                        {n.mode, texts().computer_use_mode},
                        {n.message, texts().cu_mode_text},
                        {n.session_id, session_id}});
    TV_SEND(ws, mode, session_place(session_id));

    // Titling as the standard turn does, but without its fallbacks to the agent's conversation and
    // `_memory`: a Computer Use agent has neither (see auto_title in standard_chat.cpp).
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
        Shapes shapes(session_id);
        ComputerToolNames names;
        // Declared once for the whole loop (as a Python loop's variable is), not made and registered
        // with the frame anew for every event.
        Local agent_event, ev;
        for (;;) {
            TV_ANEXT(agent_event, events);
            if (!agent_event) break;
            ev = translate(agent_event, shapes, names);
            if (!ev) continue;
            shapes.filled(ev);
            TV_SEND(ws, ev, session_place(session_id));
            shapes.sent(ev);
            ev = nb::object();  // one its receiver kept is not held on here
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
            Local error = event({{n.type, n.error},
                                 {n.message, concat({texts().cu_error_prefix, to_str(failure)})},
                                 {n.session_id, session_id}});
            TV_SEND(ws, error, session_place(session_id));
        } catch (nb::python_error& e) {
            set_context(e, failure);
            throw;
        }
    }
    co_return none();
}

}  // namespace

void add_computer_use_chat(nb::handle module) {
    const Names& n = gw().n;
    define(module,
           function<handle_computer_use_chat>(
               "_handle_computer_use_chat", arg("ws", "WebSocket"), arg("cu_agent", "Any"), arg("user_text", "str"),
               arg("session_id", "str", nb::borrow(n.session_main.h())), returns("None"),
               "Run one chat turn through the Computer Use agent and relay its events to the client."));
}

}  // namespace tv::gateway
