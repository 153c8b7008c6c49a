// Session streams (opt-in with `_SESSION_STREAMS`): a turn talks to its session, not to one socket.
//
// With the switch on, the endpoint hands the chat path the session's `SessionStream` in place of its
// socket. The stream's `send_json` numbers the event (key "seq", last; one counter for the process,
// so a session's numbers only grow, even across a stream made anew), keeps it in the session's journal
// (bounded by `_STREAM_RETAIN_EVENTS` and `_STREAM_RETAIN_BYTES`) and sends it to every connection
// attached to the session. It never waits for a connection.
//
// Each socket has one outbox, shared by everything that sends to it: the sessions it is attached to,
// their replays, broadcasts and the replies of its endpoint. At most one send is in flight on a socket.
// A send that does not complete at once is finished by the socket's writer task (bounded like every
// send), and what comes for the socket meanwhile waits in its outbox, in order; so each window receives
// its events in order, and a slow one holds up neither the turn nor the others. A connection whose
// send fails or times out is detached (and let go), and the turn goes on. A connection may have no more
// of its session's events waiting than the journal keeps (the same bounds, counted per connection):
// past that, a replay could no longer cover them, and the client is let go to come back for the rest.
//
// A connection attaches when it sends a chat for the session, or with
// {"type": "attach", "session_id": S, "after": N}: the retained events after N go out first, then the
// live ones, with no gap and no duplicate, and once it has caught up, {"type": "attached", ...}. A
// session that nobody watches for `_DETACHED_GRACE_SECONDS` has its turn cancelled and its stream
// dropped (stream_grace.cpp); a window that comes back later finds a stream made anew, which numbers
// above everything it saw, and is told of the gap.
#include "stream.hpp"
#include "send.hpp"
#include "runtime/async.hpp"
#include "runtime/func.hpp"

#include <algorithm>
#include <chrono>

namespace tv::gateway {

PyTypeObject session_stream_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace streams {

// The process-wide counter of event numbers (`module_state.last_seq`) starts at the microseconds since
// the epoch when the module is loaded, so a server started later numbers above every number an earlier
// one gave (well within the integers a browser represents exactly), and a client's number from before a
// restart is told apart from one of this process.

bool streams_on() { return module_state.session_streams.read(gw().n._SESSION_STREAMS); }

// ---- the object ----

int stream_traverse(PyObject* o, visitproc visit, void* arg) {
    StreamObject* s = as_stream(o);
    Py_VISIT(s->session_id);
    Py_VISIT(s->pending);
    Py_VISIT(s->grace);
    if (s->journal)
        for (size_t i = 0; i < s->journal->size(); ++i) Py_VISIT((*s->journal)[i].event.ptr());
    if (s->later)
        for (const Entry& e : *s->later) Py_VISIT(e.event.ptr());
    if (s->connections)
        for (const auto& c : *s->connections) {
            Py_VISIT(c->ws.ptr());
            Py_VISIT(c->outbox.ptr());
            Py_VISIT(c->approvals.ptr());
            Py_VISIT(c->session.ptr());
        }
    return 0;
}

int stream_clear(PyObject* o) {
    StreamObject* s = as_stream(o);
    Py_CLEAR(s->session_id);
    Py_CLEAR(s->pending);
    Py_CLEAR(s->grace);
    // Moved out first: releasing an event or a connection may run code that touches this stream.
    if (s->journal) {
        Journal journal = std::move(*s->journal);
        *s->journal = Journal();
        s->bytes = 0;
    }
    if (s->later) {
        std::deque<Entry> later = std::move(*s->later);
        s->later->clear();
    }
    if (s->connections) {
        std::vector<std::unique_ptr<Connection>> connections = std::move(*s->connections);
        s->connections->clear();
    }
    return 0;
}

void stream_dealloc(PyObject* o) {
    StreamObject* s = as_stream(o);
    PyObject_GC_UnTrack(o);
    if (s->weakrefs) PyObject_ClearWeakRefs(o);
    stream_clear(o);
    delete s->journal;
    delete s->later;
    delete s->connections;
    PyObject_GC_Del(o);
}

nb::object new_stream(nb::handle session_id) {
    StreamObject* s = PyObject_GC_New(StreamObject, &session_stream_type);
    if (!s) throw_error();
    s->session_id = Py_NewRef(session_id.ptr());
    s->pending = nullptr;
    s->grace = nullptr;
    s->weakrefs = nullptr;
    s->start = s->seq = module_state.last_seq;
    s->trimmed = 0;
    s->bytes = 0;
    s->journal = new Journal();
    s->later = new std::deque<Entry>();
    s->fanning = false;
    s->unlisted = false;
    s->connections = new std::vector<std::unique_ptr<Connection>>();
    nb::object self = nb::steal((PyObject*)s);
    s->pending = check(PyDict_New()).release().ptr();
    PyObject_GC_Track((PyObject*)s);
    return self;
}

Connection* find(StreamObject* s, nb::handle ws) {
    for (auto& c : *s->connections)
        if (c->ws.ptr() == ws.ptr()) return c.get();
    return nullptr;
}

// An estimate of a value's size on the wire, for the journal's byte bound: its text, and one level
// down for the lists and objects of tool arguments and results.
Py_ssize_t container_size(PyObject* v);

// The length of a text in UTF-8, as it goes on the wire, without encoding it.
[[gnu::noinline]] Py_ssize_t utf8_size(PyObject* text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text), bytes = n;
    const void* data = PyUnicode_DATA(text);
    int kind = PyUnicode_KIND(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        bytes += (c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
    }
    return bytes;
}

inline Py_ssize_t size_of(PyObject* v, bool nested = false) {
    if (PyUnicode_Check(v)) return PyUnicode_IS_ASCII(v) ? PyUnicode_GET_LENGTH(v) : utf8_size(v);
    if (PyBytes_Check(v)) return PyBytes_GET_SIZE(v);
    return nested ? 8 : container_size(v);
}

Py_ssize_t container_size(PyObject* v) {
    Py_ssize_t total = 16;
    if (PyDict_Check(v)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(v, &pos, &key, &value)) total += 8 + size_of(value, true);
    } else if (PyList_Check(v) || PyTuple_Check(v)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(v);
        for (Py_ssize_t i = 0; i < n; ++i) total += size_of(PySequence_Fast_GET_ITEM(v, i), true);
    }
    return total;
}

// `text == name` for a str: the lengths first, as most texts are other, shorter names.
inline bool is_name(nb::handle text, PyObject* name) {
    return text.ptr() == name || (PyUnicode_GET_LENGTH(text.ptr()) == PyUnicode_GET_LENGTH(name) && equal(text, name));
}

// One walk over the first `count` items of an event: their estimated size, and the event's "type"
// (borrowed; null when those items hold none).
Py_ssize_t measure(PyObject* event, Py_ssize_t count, PyObject* type_key, PyObject** type) {
    Py_ssize_t total = 16, pos = 0;
    PyObject *key, *value;
    *type = nullptr;
    for (Py_ssize_t i = 0; i < count && PyDict_Next(event, &pos, &key, &value); ++i) {
        total += 8 + size_of(value);
        if (!*type && (key == type_key || equal(key, type_key))) *type = value;
    }
    return total;
}

// A bound: None (or a negative number) is none.
long long as_bound(nb::handle v) {
    if (is_none(v)) return LLONG_MAX;
    long long n = PyLong_AsLongLong(v.ptr());
    if (n == -1 && PyErr_Occurred()) throw_error();
    return n < 0 ? LLONG_MAX : n;
}

const Retention& read_retention(std::uint64_t seen) {
    const Gateway& g = gw();
    Retention& r = module_state.retention;
    r.events = as_bound(g.global(g.n._STREAM_RETAIN_EVENTS));
    r.bytes = as_bound(g.global(g.n._STREAM_RETAIN_BYTES));
    r.seen = seen;  // only once both were read
    return r;
}

// Drops the oldest events beyond the retention bounds (the newest one always stays).
void trim(StreamObject* s, const Retention& r) {
    Journal& j = *s->journal;
    while (j.size() > 1 && (s->unlisted || (long long)j.size() > r.events || s->bytes > r.bytes)) {
        s->trimmed = j.front().seq;
        s->bytes -= j.front().size;
        j.pop_front();
    }
}

// ---- sending ----

// The event waits in the outbox of a connection whose socket is busy; a connection with more waiting
// than the journal keeps is let go.
[[gnu::noinline]] void wait_in_outbox(StreamObject* s, Connection* c, nb::handle event, long long seq, Py_ssize_t size,
                                      const Retention& r) {
    enqueue(as_outbox(c->outbox.ptr()), c, event, seq, size, true);
    if (behind(c->queued, c->queued_bytes, r)) {
        nb::object ws = c->ws;
        detach(s, ws);
        let_go_behind(ws, session_place(s->session_id));
    }
}

// A send failed at once (the error is set; the socket has gone on to whoever is next): the connection
// is detached, and a send that timed out lets its client go.
[[gnu::noinline]] void failed_at_once(StreamObject* s, nb::handle ws) {
    nb::python_error e;
    detach(s, ws);
    if (!is_ordinary(e)) {
        e.restore();
        throw_error();
    }
    after_send_failure(e, ws, session_place(s->session_id));
}

// Hands one event to one connection: sent at once when its socket is free, else left in the outbox
// behind what waits there; a client being let go is detached instead (the event stays in the journal).
// Nothing of the connection is read once the send has run: it may detach it.
[[gnu::always_inline]] inline void deliver(nb::handle stream, Connection* c, nb::handle event, long long seq,
                                           Py_ssize_t size, const Retention& r) {
    OutboxObject* ob = as_outbox(c->outbox.ptr());
    StreamObject* s = as_stream(stream.ptr());
    switch (step(ob, outbox::Input::offer)) {
        case outbox::Action::queue: wait_in_outbox(s, c, event, seq, size, r); return;
        case outbox::Action::drop: detach(s, nb::object(c->ws)); return;
        default: break;
    }
    c->sent = seq;
    nb::object outbox = c->outbox;  // what the send runs may detach the connection; the outbox holds `ws`
    nb::handle ws = ob->ws;
    if (send_offered(ws, outbox, stream, nb::handle(), event) == Offered::failed) failed_at_once(s, ws);
}

// The length of the shortest approval event type the stream follows: most events are of shorter
// types, which one comparison leaves out.
Py_ssize_t shortest_approval_type = 0;

// Hands an event to each of several connections. An event sent meanwhile (from what a delivery ran)
// goes out after it, so that every connection receives the session's events in order. (With one
// connection its outbox keeps the order.)
void fan_out(nb::handle self, nb::handle event, long long seq, Py_ssize_t size, const Retention& r) {
    StreamObject* s = as_stream(self.ptr());
    struct Fanning {
        StreamObject* s;
        ~Fanning() {
            s->fanning = false;
            std::deque<Entry> dropped = std::move(*s->later);  // left by an error: in the journal still
            s->later->clear();
        }
    } fanning{s};
    s->fanning = true;
    for (Entry next{seq, nb::borrow(event), size};;) {
        // A snapshot of the connections: a send may detach any of them.
        std::vector<nb::object> targets;
        targets.reserve(s->connections->size());
        for (auto& c : *s->connections) targets.push_back(c->ws);
        for (nb::object& ws : targets)
            if (Connection* c = find(s, ws)) deliver(self, c, next.event, next.seq, next.size, r);
        if (s->later->empty()) break;
        next = std::move(s->later->front());
        s->later->pop_front();
    }
}

// Numbers, keeps and fans out one event. Never waits for a connection.
void send(nb::handle self, nb::handle event_h) {
    const Names& n = gw().n;
    PyObject* event = event_h.ptr();
    check_exact(event, &PyDict_Type, "data");
    StreamObject* s = as_stream(self.ptr());
    const Retention& r = retention_now();
    nb::object seq_value = check(PyLong_FromLongLong(module_state.last_seq + 1));
    // "seq" goes last, even when the event brought one of its own (then the dict does not grow).
    Py_ssize_t keys = PyDict_GET_SIZE(event);
    dict_set(event, n.seq, seq_value);
    if (PyDict_GET_SIZE(event) == keys) {
        check(PyDict_DelItem(event, n.seq));
        dict_set(event, n.seq, seq_value);
    }
    long long seq = s->seq = ++module_state.last_seq;
    // "seq" is the last item: the walk stops before it, and it counts as a small number.
    PyObject* type_value;
    Py_ssize_t size = measure(event, PyDict_GET_SIZE(event) - 1, n.type, &type_value) + 8 + 20;
    s->journal->push_back(Entry{seq, nb::borrow(event), size});
    s->bytes += size;
    trim(s, r);

    // Approvals still waiting are shown to windows that attach later.
    if (type_value && PyUnicode_CheckExact(type_value) && PyUnicode_GET_LENGTH(type_value) >= shortest_approval_type) {
        nb::handle type = type_value;
        if (is_name(type, n.tool_approval_needed)) {
            nb::object id = gw().get(event, n.approval_id);
            if (PyObject_Hash(id.ptr()) != -1)
                check(PyDict_SetItem(s->pending, id.ptr(), event));
            else
                PyErr_Clear();
        } else if (is_name(type, n.approval_decided) || is_name(type, n.approval_withdrawn)) {
            nb::object id = gw().get(event, n.approval_id);
            if (PyDict_DelItem(s->pending, id.ptr()) < 0) PyErr_Clear();
        }
    }

    if (s->fanning) {
        s->later->push_back(Entry{seq, nb::borrow(event), size});
        return;
    }
    if (s->connections->size() == 1)  // the common case
        deliver(self, s->connections->front().get(), event, seq, size, r);
    else if (!s->connections->empty())
        fan_out(self, event, seq, size, r);
}

// `stream.send_json(event)`: returns an awaitable that is already complete. This is the stream's face
// as a socket for Python code that holds it where a connection is expected (a handler called with
// the stream as its websocket); the gateway's own sends reach `send` directly through TV_SEND.
PyObject* stream_send_json(PyObject* self, PyObject* event) noexcept {
    try {
        send(self, event);
        return Py_NewRef(gw().ready.ptr());
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

PyObject* get_session_id(PyObject* o, void*) { return Py_NewRef(as_stream(o)->session_id); }
PyObject* get_seq(PyObject* o, void*) { return PyLong_FromLongLong(as_stream(o)->seq); }
PyObject* get_first_seq(PyObject* o, void*) {
    StreamObject* s = as_stream(o);
    return PyLong_FromLongLong(s->journal->empty() ? module_state.last_seq + 1 : s->journal->front().seq);
}
PyObject* get_attached(PyObject* o, void*) {
    StreamObject* s = as_stream(o);
    PyObject* list = PyList_New(0);
    for (auto& c : *s->connections)
        if (!list || PyList_Append(list, c->ws.ptr()) < 0) {
            Py_XDECREF(list);
            return nullptr;
        }
    return list;
}

Connection* attach(StreamObject* s, nb::handle ws);

PyObject* stream_attach(PyObject* self, PyObject* ws) noexcept {
    try {
        attach(as_stream(self), ws);
        Py_RETURN_NONE;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

PyObject* stream_detach(PyObject* self, PyObject* ws) noexcept {
    try {
        detach(as_stream(self), ws);
        Py_RETURN_NONE;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

PyObject* stream_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"session_id", nullptr};
    PyObject* session_id = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:SessionStream", (char**)keywords, &session_id)) return nullptr;
    try {
        return new_stream(session_id).release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

PyMethodDef stream_methods[] = {
    {"send_json", (PyCFunction)stream_send_json, METH_O,
     "send_json($self, data, /)\n--\n\n"
     "Number the event (\"seq\"), keep it in the session's journal and send it to every attached connection."},
    {"attach", (PyCFunction)stream_attach, METH_O,
     "attach($self, ws, /)\n--\n\nAttach a connection: it receives the events from now on."},
    {"detach", (PyCFunction)stream_detach, METH_O, "detach($self, ws, /)\n--\n\nDetach a connection."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef stream_getset[] = {
    {"session_id", get_session_id, nullptr, "The session this stream belongs to.", nullptr},
    {"seq", get_seq, nullptr, "The number of the latest event (before any, the counter when the stream was made).",
     nullptr},
    {"first_seq", get_first_seq, nullptr, "The number of the oldest retained event.", nullptr},
    {"attached", get_attached, nullptr, "The connections attached to the session, in order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- the ready awaitable ----

struct ReadyObject {
    PyObject_HEAD
};
PyTypeObject ready_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyObject* ready_await(PyObject* o) { return Py_NewRef(o); }
PyObject* ready_next(PyObject*) { return nullptr; }  // finished, with None
PySendResult ready_send(PyObject*, PyObject*, PyObject** result) {
    *result = Py_NewRef(Py_None);
    return PYGEN_RETURN;
}
PyAsyncMethods ready_async = {ready_await, nullptr, nullptr, ready_send};

}  // namespace streams

using namespace streams;

void stream_send(nb::handle stream, nb::handle event) { send(stream, event); }

bool streams_enabled() { return streams_on(); }

void add_session_stream(nb::handle module) {
    writer_name = CoroName("stream_writer", "SessionStream.stream_writer");
    module_state.last_seq = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
    const Names& n = gw().n;
    shortest_approval_type = std::min({PyUnicode_GET_LENGTH(n.tool_approval_needed),
                                       PyUnicode_GET_LENGTH(n.approval_decided),
                                       PyUnicode_GET_LENGTH(n.approval_withdrawn)});

    init_outbox_type();

    ready_type.tp_name = "tavrin.gateway.ws.Ready";
    ready_type.tp_basicsize = sizeof(ReadyObject);
    ready_type.tp_flags = Py_TPFLAGS_DEFAULT;
    ready_type.tp_doc = "An awaitable that is already complete, with None.";
    ready_type.tp_as_async = &ready_async;
    ready_type.tp_iter = PyObject_SelfIter;
    ready_type.tp_iternext = ready_next;
    if (PyType_Ready(&ready_type) < 0) throw_error();
    gw().ready = check(PyType_GenericAlloc(&ready_type, 0));

    session_stream_type.tp_name = "tavrin.gateway.ws.SessionStream";
    session_stream_type.tp_basicsize = sizeof(StreamObject);
    session_stream_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    session_stream_type.tp_doc =
        "The event stream of one session: numbered, kept, and sent to every attached connection.";
    session_stream_type.tp_traverse = stream_traverse;
    session_stream_type.tp_clear = stream_clear;
    session_stream_type.tp_dealloc = stream_dealloc;
    session_stream_type.tp_methods = stream_methods;
    session_stream_type.tp_getset = stream_getset;
    session_stream_type.tp_weaklistoffset = offsetof(StreamObject, weakrefs);
    session_stream_type.tp_new = stream_new;
    if (PyType_Ready(&session_stream_type) < 0) throw_error();
    define(module, "SessionStream", nb::handle((PyObject*)&session_stream_type));

    define(module, function<handle_attach>("_handle_attach", arg("ws", "WebSocket"), arg("message", "dict[str, Any]"),
                                           returns("None"),
                                           "Attach the connection to a session's stream, replaying what it missed."));
}

}  // namespace tv::gateway
