// What the module keeps between calls, in one place.
//
// Python-visible, read through the module's globals at every use (so a host or a test may replace any):
//   settings    _MAX_WS_CONNECTIONS, _DEFAULT_SESSION_ID, _FORCE_CU_KEYWORDS, _ALLOWED_ORIGINS,
//               _MAX_PENDING_CHATS, _SEND_TIMEOUT_SECONDS, _FAIR_BROADCAST, _SESSION_STREAMS,
//               _DETACHED_GRACE_SECONDS, _STREAM_RETAIN_EVENTS, _STREAM_RETAIN_BYTES
//   registries  manager._connections (the manager is made in manager.cpp), _active_tasks,
//               _session_streams, _endpoint_tasks, _slow_clients
// C++ only: `ModuleState` (state.hpp): the handshakes under way, the outboxes, the event counter and
// the readings of the switches and bounds; and, beside the code that keeps it, computer_use_chat.cpp's
// `Shapes::Changes` (the dict watcher over the events a turn has filled, and its count of changes), and
// the interned names, the logger and the module's globals (`Gateway`, gateway.hpp), made once.
// `_reset_state()` empties the registries and resets `ModuleState`, for the tests: what a test left
// behind (a connection, a task, a stream, an outbox) is not seen by the next one.
#include "stream.hpp"
#include "runtime/func.hpp"

namespace tv::gateway {

ModuleState& module_state = *new ModuleState();

void ModuleState::reset() {
    admitting.clear();
    // Each outbox still alive leaves the map with what waited in it (released once the map is done).
    std::vector<std::deque<streams::Pending>> gone;
    for (auto& [ws, ob] : outboxes) {
        gone.emplace_back();
        gone.back().swap(*ob->queue);
        ob->broadcasts = 0;
        ob->broadcast_bytes = 0;
        for (streams::Pending& p : gone.back())
            if (p.owner && p.counted) p.owner->queued -= 1, p.owner->queued_bytes -= p.size;
    }
    outboxes.clear();
    retention = Retention();
    session_streams = Switch();
    fair_broadcast = Switch();
}

namespace {

nb::object reset_state() {
    const Gateway& g = gw();
    const Names& n = g.n;
    call_method(attr(g.global(n.manager), n._connections), str("clear").ptr());
    for (PyObject* registry : {n._active_tasks.h().ptr(), n._endpoint_tasks.h().ptr(), n._slow_clients.h().ptr()})
        call_method(g.global(registry), str("clear").ptr());
    // A stream goes with its grace timer.
    nb::object streams = g.global(n._session_streams);
    nb::object ids = check(PySequence_List(streams.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.ptr()); ++i) drop_stream(PyList_GET_ITEM(ids.ptr(), i));
    call_method(streams, str("clear").ptr());
    module_state.reset();
    return none();
}

}  // namespace

void add_state(nb::handle module) {
    const Names& n = gw().n;
    // -- settings --
    // Connections at or above which a new one is refused with 1013 "Too many connections".
    define(module, "_MAX_WS_CONNECTIONS", check(PyLong_FromLong(50)));
    // The session of a message that names none.
    define(module, "_DEFAULT_SESSION_ID", n.session_main.h());
    // Phrases that ask for the Computer Use agent (matched case-insensitively, anywhere in the text).
    nb::object keywords = check(PySet_New(nullptr));
    for (const char* phrase : {"use computer use", "computer use mode", "use screenshots", "screenshot mode",
                               "vision mode", "use vision", "switch to computer use", "enable computer use"})
        check(PySet_Add(keywords.ptr(), str(phrase).ptr()));
    define(module, "_FORCE_CU_KEYWORDS", keywords);
    // Origins whose pages may connect; None admits every origin.
    define(module, "_ALLOWED_ORIGINS", none());
    // Chats one connection may have under way at once; None: no bound.
    define(module, "_MAX_PENDING_CHATS", check(PyLong_FromLong(32)));
    // Seconds a send may wait before it fails with TimeoutError and its client is let go; None: no bound.
    define(module, "_SEND_TIMEOUT_SECONDS", check(PyFloat_FromDouble(10.0)));
    // Session streams (off: the written behaviour), how long a turn goes on unwatched, and how much of
    // each session's stream is kept for replay.
    define(module, "_SESSION_STREAMS", boolean(false));
    // The fair broadcast (off: each send awaited in turn, as written): a send that suspends is finished
    // by its client's own writer, so a slow client holds up nobody else.
    define(module, "_FAIR_BROADCAST", boolean(false));
    define(module, "_DETACHED_GRACE_SECONDS", check(PyFloat_FromDouble(30.0)));
    define(module, "_STREAM_RETAIN_EVENTS", check(PyLong_FromLong(2000)));
    define(module, "_STREAM_RETAIN_BYTES", check(PyLong_FromLong(4L << 20)));

    // -- registries --
    // Session id -> its running chat task.
    define(module, "_active_tasks", new_dict());
    // Session id -> its SessionStream, while streams are on.
    define(module, "_session_streams", new_dict());
    // id(ws) -> the task serving that connection, and the task letting that client go. They are for
    // finding a task, not for keeping it: the values are weak. A task that runs is held by its loop
    // (through what it waits for, or what is scheduled to resume it); one whose loop was closed under
    // it must be free to go with its loop, as it would without these records.
    nb::object weakref = check(PyImport_ImportModule("weakref"));
    nb::object weak_values = attr(weakref, n.WeakValueDictionary);
    define(module, "_endpoint_tasks", call(weak_values));
    define(module, "_slow_clients", call(weak_values));

    define(module, function<reset_state>("_reset_state", returns("None"),
                                         "Empty every registry the module keeps (for tests)."));
}

}  // namespace tv::gateway
