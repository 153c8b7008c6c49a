// Session streams (opt-in with `_SESSION_STREAMS`): a turn talks to its session, not to one socket.
//
// With the switch on, the endpoint hands the chat path the session's `SessionStream` in place of its
// socket. The stream's `send_json` numbers the event (key "seq", last; one counter for the process,
// so a session's numbers only grow, even across a stream made anew), keeps it in the session's journal
// (bounded by `_STREAM_RETAIN_EVENTS` and `_STREAM_RETAIN_BYTES`) and sends it to every connection
// attached to the session. A connection's send that does not complete at once is finished by a task of
// its own (bounded like every send), while the events that follow for that connection wait in its
// queue, so each connection receives its events in order and a slow one holds up neither the turn nor
// the others; one that fails or times out is detached (and let go), and the turn goes on.
//
// A connection attaches when it sends a chat for the session, or with
// {"type": "attach", "session_id": S, "after": N}: the retained events after N are sent first, then the
// live ones, with no gap and no duplicate (events produced meanwhile wait in its queue), then
// {"type": "attached", ...}. A session that nobody watches for `_DETACHED_GRACE_SECONDS` has its turn
// cancelled and its stream dropped.
#include "gateway.hpp"

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <vector>

namespace tv::gateway {

PyTypeObject session_stream_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

struct Connection {
    nb::object ws;
    bool busy = false;             // a writer (a replay, or a task finishing a send) owns the sending
    std::deque<nb::object> queue;  // events waiting for that writer, in order
};

struct Entry {
    long long seq;
    nb::object event;
    Py_ssize_t size;
};

// The journal: the retained events of a session, oldest first, in a ring that grows by doubling (a
// push and a drop touch one slot, where a deque would walk its map of blocks).
class Journal {
  public:
    size_t size() const { return count; }
    bool empty() const { return count == 0; }
    const Entry& front() const { return slots[head]; }
    const Entry& operator[](size_t i) const { return slots[(head + i) & (slots.size() - 1)]; }

    void push_back(Entry e) {
        if (count == slots.size()) grow();
        slots[(head + count) & (slots.size() - 1)] = std::move(e);
        ++count;
    }
    void pop_front() {
        Entry gone = std::move(slots[head]);  // released after the ring is consistent again
        head = (head + 1) & (slots.size() - 1);
        --count;
    }

  private:
    std::vector<Entry> slots;  // a power of two long
    size_t head = 0, count = 0;

    void grow() {
        std::vector<Entry> bigger(slots.empty() ? 16 : slots.size() * 2);
        for (size_t i = 0; i < count; ++i) bigger[i] = std::move(slots[(head + i) & (slots.size() - 1)]);
        slots = std::move(bigger);
        head = 0;
    }
};

struct StreamObject {
    PyObject_HEAD
    PyObject* session_id;
    PyObject* pending;  // approval_id -> its "tool_approval_needed" event, while undecided
    PyObject* grace;    // the armed grace timer (a TimerHandle), or null
    PyObject* weakrefs;
    long long start;       // the counter when the stream was made: its numbers are all above it
    long long seq;         // the last number given in this stream (`start` before any)
    long long trimmed;     // the last number dropped from the journal (0 before any)
    Py_ssize_t bytes;      // estimated size of the journal
    Journal* journal;
    std::vector<std::unique_ptr<Connection>>* connections;
};

// The process-wide counter of event numbers. It starts at the microseconds since the epoch when the
// module is loaded, so a server started later numbers above every number an earlier one gave (well
// within the integers a browser represents exactly), and a client's number from before a restart is
// told apart from one of this process.
long long last_seq = 0;
CoroName writer_name, attach_name;

StreamObject* as_stream(PyObject* o) { return reinterpret_cast<StreamObject*>(o); }

bool streams_on() {
    const Gateway& g = gw();
    return truthy(g.global(g.n._SESSION_STREAMS));
}

// ---- the object ----

int stream_traverse(PyObject* o, visitproc visit, void* arg) {
    StreamObject* s = as_stream(o);
    Py_VISIT(s->session_id);
    Py_VISIT(s->pending);
    Py_VISIT(s->grace);
    if (s->journal)
        for (size_t i = 0; i < s->journal->size(); ++i) Py_VISIT((*s->journal)[i].event.ptr());
    if (s->connections)
        for (const auto& c : *s->connections) {
            Py_VISIT(c->ws.ptr());
            for (const nb::object& ev : c->queue) Py_VISIT(ev.ptr());
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
    s->start = s->seq = last_seq;
    s->trimmed = 0;
    s->bytes = 0;
    s->journal = new Journal();
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

inline Py_ssize_t size_of(PyObject* v, bool nested = false) {
    if (PyUnicode_Check(v)) return PyUnicode_GET_LENGTH(v);
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

long long as_count(nb::handle v) {
    if (is_none(v)) return -1;  // no bound
    long long n = PyLong_AsLongLong(v.ptr());
    if (n == -1 && PyErr_Occurred()) throw_error();
    return n;
}

// The retention bounds, read again only when a global of the module has changed.
struct Retention {
    std::uint64_t seen = ModuleGlobals::never;
    long long events = -1, bytes = -1;
};
Retention retention;

const Retention& retention_now() {
    const Gateway& g = gw();
    std::uint64_t seen = retention.seen;
    if (g.global.current(seen)) return retention;
    retention.events = as_count(g.global(g.n._STREAM_RETAIN_EVENTS));
    retention.bytes = as_count(g.global(g.n._STREAM_RETAIN_BYTES));
    retention.seen = seen;  // only once both were read
    return retention;
}

// Drops the oldest events beyond the retention bounds (the newest one always stays).
void trim(StreamObject* s) {
    const Retention& r = retention_now();
    Journal& j = *s->journal;
    while (j.size() > 1 && ((r.events >= 0 && (long long)j.size() > r.events) || (r.bytes >= 0 && s->bytes > r.bytes))) {
        s->trimmed = j.front().seq;
        s->bytes -= j.front().size;
        j.pop_front();
    }
}

// ---- detaching, and the grace period of an unwatched session ----

PyObject* grace_expired(PyObject* stream, PyObject*) noexcept;
PyMethodDef grace_def = {"_grace_expired", (PyCFunction)grace_expired, METH_NOARGS,
                         "Stop the turn of a session that nobody has watched for the grace period."};

void cancel_grace(StreamObject* s) {
    if (!s->grace) return;
    nb::object handle = nb::steal(std::exchange(s->grace, nullptr));
    call_method(handle, gw().n.cancel);
}

// Arms the grace timer of a session that nobody watches any more.
void arm_grace(StreamObject* s) {
    const Gateway& g = gw();
    const Names& n = g.n;
    if (s->grace || !s->connections->empty()) return;
    nb::object seconds = g.global(n._DETACHED_GRACE_SECONDS);
    if (is_none(seconds)) return;
    nb::object loop;
    try {
        loop = call(attr(g.global(n.asyncio), n.get_running_loop));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        return;  // no loop running: nothing can run later either
    }
    nb::object callback = check(PyCFunction_New(&grace_def, (PyObject*)s));
    s->grace = call_method(loop, n.call_later, seconds, callback).release().ptr();
}

void detach(StreamObject* s, nb::handle ws) {
    auto& cs = *s->connections;
    for (auto it = cs.begin(); it != cs.end(); ++it)
        if ((*it)->ws.ptr() == ws.ptr()) {
            std::unique_ptr<Connection> gone = std::move(*it);
            cs.erase(it);
            break;
        }
    arm_grace(s);
}

PyObject* grace_expired(PyObject* stream, PyObject*) noexcept {
    try {
        const Gateway& g = gw();
        const Names& n = g.n;
        StreamObject* s = as_stream(stream);
        Py_CLEAR(s->grace);
        if (!s->connections->empty()) Py_RETURN_NONE;
        nb::object task = g.get(g.global(n._active_tasks), s->session_id);
        if (truthy(task) && !truthy(call_method(task, n.done))) {
            call_method(task, n.cancel);
            if (g.log.enabled(Level::info))
                g.log.log(Level::info, (Text{} << "Stopped the turn of session '" << log_value(s->session_id)
                                               << "': no window has watched it for "
                                               << to_str(g.global(n._DETACHED_GRACE_SECONDS)) << " s")
                                           .done());
        }
        // Nobody watches: the stream goes. A window that comes back later finds a stream made anew,
        // which starts above every number it saw, and is told of the gap.
        forget_if_current(g.global(n._session_streams), s->session_id, stream);
        Py_RETURN_NONE;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// ---- sending ----

// Finishes a connection's send that did not complete at once, then sends what queued up behind it.
Coro stream_writer(nb::object stream, nb::object ws, nb::object started, nb::object first) {
    const Gateway& g = gw();
    const Names& n = g.n;
    StreamObject* s = as_stream(stream.ptr());
    try {
        TV_RESUME_WITHIN(send_timeout, started, first);
        for (;;) {
            Connection* c = find(s, ws);
            if (!c) co_return none();  // detached meanwhile
            if (c->queue.empty()) {
                c->busy = false;
                co_return none();
            }
            Local ev = std::move(c->queue.front());
            c->queue.pop_front();
            TV_AWAIT_WITHIN(send_timeout, call_method(ws, n.send_json, ev));
        }
    } catch (nb::python_error& e) {
        detach(s, ws);
        if (!is_ordinary(e)) throw;
        after_send_failure(e, ws, session_place(s->session_id));
    }
    co_return none();
}

// Hands one event to one connection: at once when nothing is pending for it, else behind its queue.
[[gnu::always_inline]] inline void deliver(nb::handle stream, Connection* c, nb::handle event) {
    const Names& n = gw().n;
    if (c->busy) {
        c->queue.push_back(nb::borrow(event));
        return;
    }
    nb::object ws = c->ws;  // the connection may be detached by what the send runs
    StreamObject* s = as_stream(stream.ptr());
    PyObject* res = nullptr;
    PySendResult r = PYGEN_ERROR;
    nb::object it;
    try {
        it = check(get_awaitable_iter(call_method(ws, n.send_json, event).ptr()));
        r = PyIter_Send(it.ptr(), Py_None, &res);
        if (r == PYGEN_ERROR) throw_error();
    } catch (nb::python_error& e) {
        detach(s, ws);
        if (!is_ordinary(e)) throw;
        after_send_failure(e, ws, session_place(s->session_id));
        return;
    }
    if (r == PYGEN_RETURN) {
        Py_XDECREF(res);
        return;
    }
    c->busy = true;
    nb::object first = nb::steal(res);
    create_task(writer_name.wrap(stream_writer(nb::borrow(stream), ws, it, first)), n.stream_writer_prefix);
}

// The length of the shortest approval event type the stream follows: most events are of shorter
// types, which one comparison leaves out.
Py_ssize_t shortest_approval_type = 0;

// Numbers, keeps and fans out one event. Never waits for a connection.
void send(nb::handle self, nb::handle event_h) {
    const Names& n = gw().n;
    PyObject* event = event_h.ptr();
    check_exact(event, &PyDict_Type, "data");
    StreamObject* s = as_stream(self.ptr());
    nb::object seq = check(PyLong_FromLongLong(last_seq + 1));
    // "seq" goes last, even when the event brought one of its own (then the dict does not grow).
    Py_ssize_t keys = PyDict_GET_SIZE(event);
    dict_set(event, n.seq, seq);
    if (PyDict_GET_SIZE(event) == keys) {
        check(PyDict_DelItem(event, n.seq));
        dict_set(event, n.seq, seq);
    }
    s->seq = ++last_seq;
    // "seq" is the last item: the walk stops before it, and it counts as a small number.
    PyObject* type_value;
    Py_ssize_t size = measure(event, PyDict_GET_SIZE(event) - 1, n.type, &type_value) + 8 + 20;
    s->journal->push_back(Entry{s->seq, nb::borrow(event), size});
    s->bytes += size;
    trim(s);

    // Approvals still waiting are shown to windows that attach later.
    if (type_value && PyUnicode_CheckExact(type_value) && PyUnicode_GET_LENGTH(type_value) >= shortest_approval_type) {
        nb::handle type = type_value;
        if (is_name(type, n.tool_approval_needed)) {
            nb::object id = gw().get(event, n.approval_id);
            if (PyObject_Hash(id.ptr()) != -1) check(PyDict_SetItem(s->pending, id.ptr(), event));
            else PyErr_Clear();
        } else if (is_name(type, n.approval_decided) || is_name(type, n.approval_withdrawn)) {
            nb::object id = gw().get(event, n.approval_id);
            if (PyDict_DelItem(s->pending, id.ptr()) < 0) PyErr_Clear();
        }
    }

    // A snapshot of the connections: a send may detach any of them. One is the common case.
    size_t count = s->connections->size();
    if (count == 1) {
        deliver(self, s->connections->front().get(), event);
    } else if (count > 1) {
        std::vector<nb::object> targets;
        targets.reserve(count);
        for (auto& c : *s->connections) targets.push_back(c->ws);
        for (nb::object& ws : targets)
            if (Connection* c = find(s, ws)) deliver(self, c, event);
    }
}

// `stream.send_json(event)`: returns an awaitable that is already complete.
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
    return PyLong_FromLongLong(s->journal->empty() ? last_seq + 1 : s->journal->front().seq);
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
     "Number the event (\"seq\"), keep it in the session's journal and send it to every attached connection."},
    {"attach", (PyCFunction)stream_attach, METH_O, "Attach a connection: it receives the events from now on."},
    {"detach", (PyCFunction)stream_detach, METH_O, "Detach a connection."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef stream_getset[] = {
    {"session_id", get_session_id, nullptr, "The session this stream belongs to.", nullptr},
    {"seq", get_seq, nullptr, "The number of the latest event (before any, the counter when the stream was made).", nullptr},
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

// ---- attaching ----

// The session's stream, made on first use.
nb::object stream_for(nb::handle session_id) {
    const Gateway& g = gw();
    nb::object streams = g.global(g.n._session_streams);
    nb::object s = g.get(streams, session_id);
    if (!is_none(s)) return s;
    s = new_stream(session_id);
    check(PyObject_SetItem(streams.ptr(), session_id.ptr(), s.ptr()));
    return s;
}

Connection* attach(StreamObject* s, nb::handle ws) {
    cancel_grace(s);
    if (Connection* c = find(s, ws)) return c;
    s->connections->push_back(std::make_unique<Connection>());
    Connection* c = s->connections->back().get();
    c->ws = nb::borrow(ws);
    return c;
}

// A turn runs in the session: a chat task of the gateway's that has not finished, or the session's
// lock held (by a turn the host runs on its own, for a connector message or a heartbeat beat).
bool turn_running(nb::handle session_id, nb::handle session) {
    const Gateway& g = gw();
    nb::object task = g.get(g.global(g.n._active_tasks), session_id);
    if (truthy(task) && !truthy(call_method(task, g.n.done))) return true;
    nb::object lock = attr_opt(session, g.n.lock);
    return lock && !is_none(lock) && truthy(call_method(lock, g.n.locked));
}

// {"type": "attach", "session_id": S, "after": N}
Coro handle_attach(nb::object ws, nb::object message) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local session_id = g.session_or_default(message);
    Local after = g.get(message, n.after);
    Local get_registry = import_from(n.session_registry, n.get_registry);
    Local session = call_method(call(get_registry), n.get, session_id);
    Local problem;
    if (is_none(session))
        problem = nb::borrow(n.session_not_found.h());
    else if (!is_none(after) && (!PyLong_CheckExact(after.ptr())))
        problem = nb::borrow(n.invalid_after.h());
    if (problem) {
        Local error = event({{n.type, n.error}, {n.message, problem}, {n.session_id, session_id}});
        TV_AWAIT_WITHIN(send_timeout, call_method(ws, n.send_json, error));
        co_return none();
    }

    Local stream = stream_for(session_id);
    StreamObject* s = as_stream(stream.ptr());
    long long from = is_none(after) ? s->seq : PyLong_AsLongLong(after.ptr());
    if (from == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        from = s->seq;
    }
    // Events after `from` that are gone cannot be replayed: trimmed from the journal, or (a number
    // from before this stream was made) in a stream of the session dropped since, or given by an
    // earlier server process. A number this stream never reached is not one of its own either.
    // 0 asks for all there is: only trimming makes a gap then.
    bool gap = !is_none(after) && (from < s->trimmed || (from > 0 && from < s->start) || from > s->seq);
    if (from > s->seq) from = 0;
    Connection* c = attach(s, ws);
    c->busy = true;
    c->queue.clear();
    for (size_t i = 0; i < s->journal->size(); ++i)
        if ((*s->journal)[i].seq > from) c->queue.push_back((*s->journal)[i].event);
    // Approvals still waiting that the replay does not carry.
    Local approvals = check(PyList_New(0));
    {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(s->pending, &pos, &key, &value)) {
            Local seq = g.get(value, n.seq);
            if (!PyLong_Check(seq.ptr()) || PyLong_AsLongLong(seq.ptr()) <= from) check(PyList_Append(approvals.ptr(), value));
        }
    }

    long long last = from;
    try {
        if (gap) {
            Local first = check(PyLong_FromLongLong(s->journal->empty() ? last_seq + 1 : s->journal->front().seq));
            Local notice = event({{n.type, n.replay_gap}, {n.session_id, session_id}, {n.first_seq, first}});
            TV_AWAIT_WITHIN(send_timeout, call_method(ws, n.send_json, notice));
        }
        for (int round = 0; round < 2; ++round) {
            for (;;) {
                c = find(s, ws);
                if (!c || c->queue.empty()) break;
                Local ev = std::move(c->queue.front());
                c->queue.pop_front();
                TV_AWAIT_WITHIN(send_timeout, call_method(ws, n.send_json, ev));
                Local seq = g.get(ev, n.seq);
                if (PyLong_Check(seq.ptr())) last = PyLong_AsLongLong(seq.ptr());
            }
            if (round == 1) break;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(approvals.ptr()); ++i)
                TV_AWAIT_WITHIN(send_timeout, call_method(ws, n.send_json, PyList_GET_ITEM(approvals.ptr(), i)));
            if (!find(s, ws)) break;
            Local seq = check(PyLong_FromLongLong(last));
            Local done = event({{n.type, n.attached}, {n.session_id, session_id}, {n.seq, seq},
                                {n.running, boolean(turn_running(session_id, session))}});
            TV_AWAIT_WITHIN(send_timeout, call_method(ws, n.send_json, done));
        }
        // Caught up: from here on the producers send to it directly. No await since the last check.
        if (Connection* now = find(s, ws)) now->busy = false;
    } catch (nb::python_error&) {
        detach(s, ws);
        throw;  // a reply that failed: the receive loop's error path, as for any reply
    }
    co_return none();
}

nb::object attach_impl(PyObject* const* a) {
    check_exact(a[1], &PyDict_Type, "message");
    return attach_name.wrap(handle_attach(nb::borrow(a[0]), nb::borrow(a[1])));
}

}  // namespace

void stream_send(nb::handle stream, nb::handle event) { send(stream, event); }

nb::object chat_target(nb::handle ws, nb::handle session_id) {
    if (!streams_on()) return nb::borrow(ws);
    nb::object stream = stream_for(session_id);
    attach(as_stream(stream.ptr()), ws);
    return stream;
}

bool detach_everywhere(nb::handle ws) {
    if (!streams_on()) return false;
    const Gateway& g = gw();
    nb::object streams = check(PyDict_Values(g.global(g.n._session_streams).ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(streams.ptr()); ++i) {
        PyObject* s = PyList_GET_ITEM(streams.ptr(), i);
        if (Py_TYPE(s) == &session_stream_type) detach(as_stream(s), ws);
    }
    return true;
}

nb::object session_stream_target(nb::handle session_id) {
    if (!streams_on()) return nb::object();
    return stream_for(session_id);
}

nb::object existing_stream(nb::handle session_id) {
    if (!streams_on()) return nb::object();
    const Gateway& g = gw();
    nb::object s = g.get(g.global(g.n._session_streams), session_id);
    if (Py_TYPE(s.ptr()) != &session_stream_type) return nb::object();
    return s;
}

bool is_attached(nb::handle stream, nb::handle ws) { return find(as_stream(stream.ptr()), ws) != nullptr; }

void drop_stream(nb::handle session_id) {
    const Gateway& g = gw();
    nb::object streams = g.global(g.n._session_streams);
    nb::object s = g.get(streams, session_id);
    if (Py_TYPE(s.ptr()) != &session_stream_type) return;
    cancel_grace(as_stream(s.ptr()));
    forget_if_current(streams, session_id, s);
}

void forget_approval(nb::handle approval_id) {
    const Gateway& g = gw();
    nb::object streams = check(PyDict_Values(g.global(g.n._session_streams).ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(streams.ptr()); ++i) {
        PyObject* s = PyList_GET_ITEM(streams.ptr(), i);
        if (Py_TYPE(s) == &session_stream_type && PyDict_DelItem(as_stream(s)->pending, approval_id.ptr()) < 0) PyErr_Clear();
    }
}

void add_session_stream(nb::handle module) {
    writer_name = CoroName("stream_writer", "SessionStream.stream_writer");
    last_seq = std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
    const Names& n = gw().n;
    shortest_approval_type = std::min({PyUnicode_GET_LENGTH(n.tool_approval_needed), PyUnicode_GET_LENGTH(n.approval_decided),
                                       PyUnicode_GET_LENGTH(n.approval_withdrawn)});
    attach_name = CoroName("_handle_attach", "_handle_attach");

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
    session_stream_type.tp_doc = "The event stream of one session: numbered, kept, and sent to every attached connection.";
    session_stream_type.tp_traverse = stream_traverse;
    session_stream_type.tp_clear = stream_clear;
    session_stream_type.tp_dealloc = stream_dealloc;
    session_stream_type.tp_methods = stream_methods;
    session_stream_type.tp_getset = stream_getset;
    session_stream_type.tp_weaklistoffset = offsetof(StreamObject, weakrefs);
    session_stream_type.tp_new = stream_new;
    if (PyType_Ready(&session_stream_type) < 0) throw_error();
    define(module, "SessionStream", nb::handle((PyObject*)&session_stream_type));

    define(module, "_SESSION_STREAMS", boolean(false));
    define(module, "_DETACHED_GRACE_SECONDS", check(PyFloat_FromDouble(30.0)));
    define(module, "_STREAM_RETAIN_EVENTS", check(PyLong_FromLong(2000)));
    define(module, "_STREAM_RETAIN_BYTES", check(PyLong_FromLong(4L << 20)));
    define(module, "_session_streams", new_dict());
    define(module, "_handle_attach",
           make_function(new FunctionDef{"_handle_attach", "_handle_attach",
                                          "Attach the connection to a session's stream, replaying what it missed.",
                                          {{"ws", false, {}, ann("WebSocket")}, {"message", false, {}, ann("dict[str, Any]")}},
                                          entry<attach_impl>, true, ann("None")},
                         module_name));
}

}  // namespace tv::gateway
