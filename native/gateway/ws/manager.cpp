// ConnectionManager: the registry of live client connections, admission at the limit, broadcast.
//
// The manager keeps its list of connections in a native field of the instance, which is also its
// Python attribute `_connections` (see runtime/fields.hpp): the host, the tests and a broadcast all
// reach the one list, and whoever holds it may change it. The methods read the attribute afresh at
// each use, directly while that is what Python's look-up would find, else through the look-up (a
// subclass or a patched class that puts something else behind the name).
#include "gateway.hpp"
#include "send.hpp"
#include "session_streams.hpp"
#include "runtime/fields.hpp"
#include "state.hpp"
#include "runtime/async.hpp"
#include "runtime/deadline.hpp"
#include "runtime/func.hpp"

namespace tv::gateway {
namespace {

// The manager's state: its one field is the attribute `_connections`.
struct Manager {
    nb::object connections;
    void each(auto&& f) { f(connections); }
};

// `self._connections`.
nb::object connections_of(nb::handle self) {
    if (untouched<Manager>(self))
        if (const nb::object& v = state_of<Manager>(self).connections) return v;
    return attr(self, gw().n._connections);
}

// Handshakes under way, per manager (`module_state.admitting`). They count toward the limit, so that
// connections arriving together cannot all pass the limit test before any of them has been appended to
// the list. Holds one admission slot of a manager for the duration of its handshake.
class AdmissionSlot {
public:
    explicit AdmissionSlot(PyObject* manager) : manager_(manager) { ++module_state.admitting[manager_]; }
    ~AdmissionSlot() {
        auto& admitting = module_state.admitting;
        auto it = admitting.find(manager_);
        if (it != admitting.end() && --it->second == 0) admitting.erase(it);
    }
    AdmissionSlot(const AdmissionSlot&) = delete;
    AdmissionSlot& operator=(const AdmissionSlot&) = delete;

private:
    PyObject* manager_;
};

Py_ssize_t in_flight(PyObject* manager) {
    auto it = module_state.admitting.find(manager);
    return it == module_state.admitting.end() ? 0 : it->second;
}

Py_ssize_t length(nb::handle seq) {
    Py_ssize_t n = PySequence_Size(seq.ptr());
    if (n < 0) throw_error();
    return n;
}

// Removes `ws` from the list, compared by identity. Returns false when it was not there.
bool remove_identical(nb::handle list, nb::handle ws) {
    Py_ssize_t n = length(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object item = check(PySequence_GetItem(list.ptr(), i));
        if (item.ptr() == ws.ptr()) {
            check(PySequence_DelItem(list.ptr(), i));
            return true;
        }
    }
    return false;
}

Coro connect(nb::object self, nb::object ws) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local limit = g.global(n._MAX_WS_CONNECTIONS);
    Py_ssize_t current = length(connections_of(self)) + in_flight(self.ptr());
    Local count = check(PyLong_FromSsize_t(current));
    if (compare(count, limit, Py_GE)) {
        TV_AWAIT(call_method(ws, n.accept));
        Local code = check(PyLong_FromLong(1013));
        try {
            TV_AWAIT_WITHIN(send_timeout,
                            call_method_kw(ws, n.close, n.kw_code_reason, code, str("Too many connections")));
        } catch (nb::python_error& e) {
            // A refused client that does not read cannot take its close frame either: it is refused all
            // the same, and the server ends its transport once the endpoint returns.
            if (!e.matches(PyExc_TimeoutError) || is_none(send_timeout())) throw;
        }
        if (g.log.enabled(Level::warning))
            g.log.log(Level::warning,
                      (Text{} << "Rejected WebSocket \xE2\x80\x94 limit of " << to_str(limit) << " reached").done());
        co_return boolean(false);
    }
    {
        AdmissionSlot slot(self.ptr());
        TV_AWAIT(call_method(ws, n.accept));
    }
    Local connections = connections_of(self);
    call_method(connections, n.append, ws);
    if (g.log.enabled(Level::info))
        g.log.log(Level::info, (Text{} << "Client connected (" << (long long)length(connections) << " total)").done());
    co_return boolean(true);
}

// Whether `ws`, the `i`th connection of the pass's snapshot, is still in `connections`: at once while
// the list has not changed there, else by a search.
bool still_listed(nb::handle connections, nb::handle snapshot, Py_ssize_t i, nb::handle ws) {
    PyObject* list = connections.ptr();
    if (PyList_CheckExact(list) && PyList_GET_SIZE(list) == PyList_GET_SIZE(snapshot.ptr()) &&
        PyList_GET_ITEM(list, i) == ws.ptr())
        return true;
    Py_ssize_t n = length(list);
    for (Py_ssize_t j = 0; j < n; ++j) {
        nb::object item = check(PySequence_GetItem(list, j));
        if (item.ptr() == ws.ptr()) return true;
    }
    return false;
}

// A copy of a message as it is when handed off: its dicts and lists (and the tuples that hold them)
// copied all the way down, everything else shared (texts and numbers cannot change). What the caller
// does to its message once the broadcast has returned then changes nothing a slow client is sent.
nb::object as_sent(nb::handle value) {
    PyObject* v = value.ptr();
    bool dict = PyDict_CheckExact(v), list = PyList_CheckExact(v), tuple = PyTuple_CheckExact(v);
    if (!dict && !list && !tuple) return nb::borrow(value);
    if (Py_EnterRecursiveCall(" while copying a message to broadcast")) throw_error();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    // A shallow copy first, made at once; then the containers in it are copied in their places (which
    // changes no size, so the walk stays valid, and runs no code of the caller's).
    nb::object copy = check(dict ? PyDict_Copy(v) : PySequence_List(v));
    if (dict) {
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(copy.ptr(), &pos, &key, &item)) {
            if (!PyDict_CheckExact(item) && !PyList_CheckExact(item) && !PyTuple_CheckExact(item)) continue;
            nb::object inner = as_sent(item);
            if (inner.ptr() != item) check(PyDict_SetItem(copy.ptr(), key, inner.ptr()));
        }
        return copy;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(copy.ptr()); ++i) {
        PyObject* item = PyList_GET_ITEM(copy.ptr(), i);
        nb::object inner = as_sent(item);
        if (inner.ptr() != item) PyList_SetItem(copy.ptr(), i, inner.release().ptr());
    }
    return tuple ? check(PyList_AsTuple(copy.ptr())) : copy;
}

Coro broadcast(nb::object self, Dict message) {
    const Names& n = gw().n;
    // The pass goes over the connections present when it starts, so that a client leaving
    // meanwhile cannot make the pass skip another one; a client that has left by its turn is passed
    // over, and one that leaves while its send is under way is a non-event: nothing is pruned for it,
    // and it is not let go. Like `for ws in snapshot:`, each step reads the list again and holds the
    // connection it sends to: whoever can reach the list may change it.
    Local snapshot = check(PySequence_List(connections_of(self).ptr()));
    Local dead;  // a list, made at the first failure
    Local ws;
    // Fair: a send that suspends is finished in the client's own writer, with the message as it is now.
    bool fair = fair_broadcast_on();
    Local sent = fair ? as_sent(message) : nb::object();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.ptr()); ++i) {
        ws = nb::borrow(PyList_GET_ITEM(snapshot.ptr(), i));
        if (!still_listed(connections_of(self), snapshot, i, ws)) continue;
        try {
            if (!fair)
                TV_SEND_JSON(ws, message);
            else if (broadcast_send(ws, sent, self) == BroadcastSend::dropped)
                continue;  // being let go: pruned where its send failed
        } catch (nb::python_error& e) {
            if (!is_ordinary(e)) throw;  // a cancelled broadcast ends here, and prunes nothing
            if (!still_listed(connections_of(self), snapshot, i, ws)) continue;
            after_send_failure(e, ws, n.broadcast_place);
            if (!dead) dead = check(PyList_New(0));
            check(PyList_Append(dead.ptr(), ws.ptr()));
        }
    }
    if (dead) {
        // A dead connection may already have been removed by its endpoint's disconnect; then there
        // is nothing to prune for it, and no other entry is touched.
        Local connections = connections_of(self);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dead.ptr()); ++i)
            remove_identical(connections, nb::borrow(PyList_GET_ITEM(dead.ptr(), i)));
    }
    co_return none();
}

Coro broadcast_to_session(nb::object self, Str session_id, Dict message) {
    const Names& n = gw().n;
    Local tagged = check(PyDict_Copy(message.ptr()));
    dict_set(tagged, n.session_id, session_id);
    // With session streams the event joins the session's stream, so that it is numbered and replayable.
    if (nb::object stream = session_stream_target(session_id)) {
        stream_send(stream, tagged);
        co_return none();
    }
    TV_AWAIT(call_method(self, n.broadcast, tagged));
    co_return none();
}

}  // namespace

bool fair_broadcast_on() { return module_state.fair_broadcast.read(gw().n._FAIR_BROADCAST); }

void prune_connection(nb::handle manager, nb::handle ws) {
    const Gateway& g = gw();
    try {
        remove_identical(connections_of(manager), ws);
    } catch (nb::python_error& e) {
        if (!is_ordinary(e)) throw;
        if (g.log.enabled(Level::debug)) g.log.log_exc(Level::debug, e.value(), str("Could not prune a client"));
    }
}

namespace {

void init(nb::handle self) {
    nb::object connections = check(PyList_New(0));
    if (!untouched<Manager>(self.ptr())) {
        set_attr(self, gw().n._connections, connections);
        return;
    }
    // Released after the field holds the new list, as an attribute assignment releases the old value.
    nb::object old = std::exchange(state_of<Manager>(self.ptr()).connections, std::move(connections));
}

void disconnect(nb::handle self, nb::handle ws) {
    const Gateway& g = gw();
    nb::object connections = connections_of(self);
    remove_identical(connections, ws);
    if (g.log.enabled(Level::info))
        g.log.log(Level::info,
                  (Text{} << "Client disconnected (" << (long long)length(connections) << " total)").done());
}

}  // namespace

void add_manager(nb::handle module) {
    nb::object cls = native_class<Manager>(module_name, "ConnectionManager", "Manages active WebSocket connections.",
                                           {{"_connections", offsetof(Manager, connections)}});
    define(cls, method<init>("ConnectionManager.__init__", returns("None")));
    define(cls, method<connect>("ConnectionManager.connect", arg("ws", "WebSocket"), returns("bool"),
                                "Accept a WebSocket connection. Returns False if limit is reached."));
    define(cls, method<disconnect>("ConnectionManager.disconnect", arg("ws", "WebSocket"), returns("None")));
    define(cls, method<broadcast>("ConnectionManager.broadcast", arg("message", "dict[str, Any]"), returns("None")));
    define(cls, method<broadcast_to_session>("ConnectionManager.broadcast_to_session", arg("session_id", "str"),
                                             arg("message", "dict[str, Any]"), returns("None"),
                                             "Broadcast a message tagged with session_id to all connected clients."));
    seal_native_class<Manager>();
    define(module, "ConnectionManager", cls);
    define(module, "manager", call(cls));
}

}  // namespace tv::gateway
