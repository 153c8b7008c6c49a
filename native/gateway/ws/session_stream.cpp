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
// dropped.
#include "gateway.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

namespace tv::gateway {

PyTypeObject session_stream_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

struct StreamObject;
struct Connection;

// An event waiting for its socket.
struct Pending {
    nb::object event;
    Connection* owner;  // the session's connection it is for; null for a broadcast's
    long long seq;      // its number in the session's journal, when it counts toward the bound
    Py_ssize_t size;
    bool counted;       // counts toward a bound: a session's event, or a broadcast
};

// The outbox of one socket. The map finds it by its socket while it lives; what holds it: the
// socket's connections to sessions, its writer, and a sender holding the socket.
struct OutboxObject {
    PyObject_HEAD
    PyObject* ws;
    std::deque<Pending>* queue;      // what waits for the socket, in order
    // Senders waiting for the socket themselves, in order: weak references to their tickets, which the
    // waiting senders hold. A sender whose loop went away is not kept alive by the outbox.
    std::deque<nb::object>* tickets;
    bool busy;                        // a send is in flight, or a holder has the socket
    bool stirred;                     // something may have been queued, or a ticket taken, since it was free
    long long broadcasts;             // broadcasts waiting, and their size: bounded like a session's events
    Py_ssize_t broadcast_bytes;
};
PyTypeObject outbox_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
// Never destroyed: an outbox may be let go of while the interpreter shuts down.
std::unordered_map<PyObject*, OutboxObject*>& outboxes = *new std::unordered_map<PyObject*, OutboxObject*>();
OutboxObject* as_outbox(PyObject* o) { return reinterpret_cast<OutboxObject*>(o); }

struct Connection {
    StreamObject* stream;  // the stream that owns this connection
    nb::object ws;
    nb::object outbox;
    // From `began` on, every event of the session has been handed to the socket or waits for it; the
    // last handed is `sent`.
    long long began, sent;
    long long queued = 0;  // the session's events waiting in the outbox, and their size
    Py_ssize_t queued_bytes = 0;
    // An attach under way: once the connection has caught up, the approvals still waiting, then
    // "attached" (the session, to tell whether a turn runs).
    bool announcing = false;
    nb::object approvals, session;

    Connection(StreamObject* s, nb::handle ws, nb::object outbox, long long seq)
        : stream(s), ws(nb::borrow(ws)), outbox(std::move(outbox)), began(seq), sent(seq) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();
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
    // Events sent from what a delivery ran, while an event was going out to the connections: they go
    // out after it, so that every connection receives the session's events in order.
    std::deque<Entry>* later;
    bool fanning;
    // Not in `_session_streams`: the stream of a chat to a session id the registry does not know.
    // Nobody can attach to it, so it keeps only its newest event, and it goes with its turn.
    bool unlisted;
    std::vector<std::unique_ptr<Connection>>* connections;
};

// The process-wide counter of event numbers. It starts at the microseconds since the epoch when the
// module is loaded, so a server started later numbers above every number an earlier one gave (well
// within the integers a browser represents exactly), and a client's number from before a restart is
// told apart from one of this process.
long long last_seq = 0;

StreamObject* as_stream(PyObject* o) { return reinterpret_cast<StreamObject*>(o); }

// The switch, read again only when a global of the module has changed (while it is a bool, whose
// truth cannot change on its own).
struct Switch {
    std::uint64_t seen = ModuleGlobals::never;
    bool on = false;
};
Switch streams_switch;

bool streams_on() {
    const Gateway& g = gw();
    std::uint64_t seen = streams_switch.seen;
    if (g.global.current(seen)) return streams_switch.on;
    nb::object value = g.global(g.n._SESSION_STREAMS);
    streams_switch.on = truthy(value);
    streams_switch.seen = PyBool_Check(value.ptr()) ? seen : ModuleGlobals::never;
    return streams_switch.on;
}

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
    s->start = s->seq = last_seq;
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

// ---- the outbox of a socket ----

int outbox_traverse(PyObject* o, visitproc visit, void* arg) {
    OutboxObject* ob = as_outbox(o);
    Py_VISIT(ob->ws);
    if (ob->queue)
        for (const Pending& p : *ob->queue) Py_VISIT(p.event.ptr());
    if (ob->tickets)
        for (const nb::object& t : *ob->tickets) Py_VISIT(t.ptr());
    return 0;
}

int outbox_clear(PyObject* o) {
    OutboxObject* ob = as_outbox(o);
    if (ob->ws) {
        auto it = outboxes.find(ob->ws);
        if (it != outboxes.end() && it->second == ob) outboxes.erase(it);
    }
    // Moved out first: releasing an event may run code that sends to this socket.
    std::deque<Pending> queue;
    std::deque<nb::object> tickets;
    if (ob->queue) queue.swap(*ob->queue);
    if (ob->tickets) tickets.swap(*ob->tickets);
    Py_CLEAR(ob->ws);
    return 0;
}

void outbox_dealloc(PyObject* o) {
    OutboxObject* ob = as_outbox(o);
    PyObject_GC_UnTrack(o);
    outbox_clear(o);
    delete ob->queue;
    delete ob->tickets;
    PyObject_GC_Del(o);
}

// The socket's outbox, made on first use.
nb::object outbox_for(nb::handle ws) {
    auto it = outboxes.find(ws.ptr());
    if (it != outboxes.end()) return nb::borrow((PyObject*)it->second);
    OutboxObject* ob = PyObject_GC_New(OutboxObject, &outbox_type);
    if (!ob) throw_error();
    ob->ws = nullptr;
    ob->queue = nullptr;
    ob->tickets = nullptr;
    ob->busy = ob->stirred = false;
    ob->broadcasts = 0;
    ob->broadcast_bytes = 0;
    nb::object self = nb::steal((PyObject*)ob);
    ob->queue = new std::deque<Pending>();
    ob->tickets = new std::deque<nb::object>();
    auto [at, made] = outboxes.emplace(ws.ptr(), ob);
    if (!made) return nb::borrow((PyObject*)at->second);  // made meanwhile, by what allocating ran
    ob->ws = Py_NewRef(ws.ptr());
    PyObject_GC_Track((PyObject*)ob);
    return self;
}

// Counts an event in (or, `by` -1, out of) what waits for its connection, or for its socket.
inline void tally(OutboxObject* ob, const Pending& p, int by) {
    if (!p.counted) return;
    if (p.owner) {
        p.owner->queued += by;
        p.owner->queued_bytes += by * p.size;
    } else {
        ob->broadcasts += by;
        ob->broadcast_bytes += by * p.size;
    }
}

void enqueue(OutboxObject* ob, Connection* owner, nb::handle event, long long seq = 0, Py_ssize_t size = 0,
             bool counted = false) {
    ob->queue->push_back(Pending{nb::borrow(event), owner, seq, size, counted});
    ob->stirred = true;
    tally(ob, ob->queue->back(), 1);
}

// Takes a connection's events out of the outbox (every event when `all`); the caller lets go of them
// once nothing it still reads can be touched by what their release runs.
std::vector<nb::object> take_entries(OutboxObject* ob, Connection* owner, bool all = false) {
    std::vector<nb::object> gone;
    std::deque<Pending>& q = *ob->queue;
    auto kept = q.begin();
    for (auto it = q.begin(); it != q.end(); ++it) {
        if (all || it->owner == owner) {
            tally(ob, *it, -1);
            gone.push_back(std::move(it->event));
        } else {
            if (kept != it) *kept = std::move(*it);
            ++kept;
        }
    }
    q.erase(kept, q.end());
    return gone;
}

// Nobody holds the socket, so nothing may wait for it either: what still does is dropped (the loop
// that would have sent it is gone, or failed), and stays in its session's journal for a replay.
void set_free(OutboxObject* ob) {
    ob->busy = false;
    if (!ob->queue->empty()) std::vector<nb::object> gone = take_entries(ob, nullptr, true);
    ob->stirred = !ob->tickets->empty();
}

Connection::~Connection() {
    if (outbox) std::vector<nb::object> gone = take_entries(as_outbox(outbox.ptr()), this);
}

CoroName writer_name, attach_name;
Coro outbox_writer(nb::object outbox, nb::object stream, nb::object started, nb::object first);

// Starts the socket's writer: it finishes a send under way (`started`, which yielded `first`), then
// sends what waits in the outbox.
void start_writer(nb::handle outbox, nb::handle stream = nb::handle(), nb::object started = nb::object(),
                  nb::object first = nb::object()) {
    OutboxObject* ob = as_outbox(outbox.ptr());
    ob->busy = true;
    try {
        nb::object from = stream ? nb::borrow(stream) : none();
        create_task(writer_name.wrap(outbox_writer(nb::borrow(outbox), from, std::move(started), std::move(first))),
                    gw().n.stream_writer_prefix);
    } catch (...) {
        set_free(ob);
        throw;
    }
}

bool loop_running() {
    const Gateway& g = gw();
    try {
        call(attr(g.global(g.n.asyncio), g.n.get_running_loop));
        return true;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        return false;
    }
}

// Hands the socket on when a send is over: to the first sender waiting for it, else to a writer for
// what waits, else it is free. `closing`: from a holder's clean-up, where no loop may be running
// (then there is no writer either).
void hand_over(nb::handle outbox, bool closing = false) {
    const Names& n = gw().n;
    OutboxObject* ob = as_outbox(outbox.ptr());
    while (!ob->tickets->empty()) {
        nb::object ref = std::move(ob->tickets->front());
        ob->tickets->pop_front();
        try {
            nb::object ticket = weak_target(ref);
            if (!ticket || truthy(call_method(ticket, n.done))) continue;  // gone, or withdrawn
            try {
                call_method(ticket, n.set_result, none());
            } catch (nb::python_error& e) {
                // On the way out of a closed loop: its waiter can never go on, and is passed over.
                if (!closing || !e.matches(PyExc_RuntimeError)) throw;
                continue;
            }
        } catch (...) {
            set_free(ob);
            throw;
        }
        return;  // the socket is the ticket holder's now
    }
    if (!ob->queue->empty() && (!closing || loop_running()))
        start_writer(outbox);
    else
        set_free(ob);
}

// `hand_over` from a destructor: an error is reported, as from a finaliser.
void hand_over_closing(nb::handle outbox) noexcept {
    try {
        hand_over(outbox, true);
    } catch (...) {
        set_error_from_current_exception();
        PyErr_WriteUnraisable(outbox.ptr());
    }
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

// The retention bounds, read again only when a global of the module has changed.
struct Retention {
    std::uint64_t seen = ModuleGlobals::never;
    long long events = LLONG_MAX, bytes = LLONG_MAX;
};
Retention retention;

[[gnu::noinline]] const Retention& read_retention(std::uint64_t seen) {
    const Gateway& g = gw();
    retention.events = as_bound(g.global(g.n._STREAM_RETAIN_EVENTS));
    retention.bytes = as_bound(g.global(g.n._STREAM_RETAIN_BYTES));
    retention.seen = seen;  // only once both were read
    return retention;
}

[[gnu::always_inline]] inline const Retention& retention_now() {
    std::uint64_t seen = retention.seen;
    if (gw().global.current(seen)) return retention;
    return read_retention(seen);
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

bool turn_running(nb::handle session_id, nb::handle session);

// A connection has caught up after an attach: the approvals still waiting, then "attached" with the
// last number it was handed, go out next (`next`: ahead of the rest of the outbox, right behind the
// send under way).
void announce(Connection* c, bool next) {
    const Names& n = gw().n;
    StreamObject* s = c->stream;
    nb::object stream = nb::borrow((PyObject*)s), ws = c->ws;
    nb::object approvals = std::move(c->approvals), session = std::move(c->session);
    c->announcing = false;
    nb::object seq = check(PyLong_FromLongLong(c->sent));
    nb::object done = event({{n.type, n.attached}, {n.session_id, s->session_id}, {n.seq, seq},
                             {n.running, boolean(turn_running(s->session_id, session))}});
    c = find(s, ws);  // what ran meanwhile may have detached it
    if (!c) return;
    OutboxObject* ob = as_outbox(c->outbox.ptr());
    std::vector<Pending> notices;
    for (Py_ssize_t i = 0; approvals && i < PyList_GET_SIZE(approvals.ptr()); ++i)
        notices.push_back(Pending{nb::borrow(PyList_GET_ITEM(approvals.ptr(), i)), c, 0, 0, false});
    notices.push_back(Pending{std::move(done), c, 0, 0, false});
    if (next)
        ob->queue->insert(ob->queue->begin(), std::make_move_iterator(notices.begin()), std::make_move_iterator(notices.end()));
    else
        ob->queue->insert(ob->queue->end(), std::make_move_iterator(notices.begin()), std::make_move_iterator(notices.end()));
    ob->stirred = true;
}

// A send to `ws` of an event of `stream` (None: a broadcast's) failed: the connection is detached, and
// a send that timed out lets its client go.
void send_failed(nb::handle stream, nb::handle ws, const nb::python_error& e) {
    if (is_stream(stream)) {
        StreamObject* s = as_stream(stream.ptr());
        detach(s, ws);
        after_send_failure(e, ws, session_place(s->session_id));
    } else {
        after_send_failure(e, ws, gw().n.broadcast_place);
        prune_connection(ws);  // as the broadcast would have, had it waited for this send
    }
}

// The writer yields to the event loop after this many sends, or this many bytes (estimated), so that
// a long replay whose sends all complete at once holds up nobody else.
constexpr int batch_events = 16;
constexpr Py_ssize_t batch_bytes = 64 * 1024;

// The socket's writer: finishes the send under way (when `started`), then sends what waits in the
// outbox, one at a time, until nothing does or a sender of its own waits for the socket.
Coro outbox_writer(nb::object outbox, nb::object stream, nb::object started, nb::object first) {
    const Names& n = gw().n;
    OutboxObject* ob = as_outbox(outbox.ptr());
    // Closed or cancelled meanwhile: whoever waits still gets the socket.
    struct Release {
        nb::handle outbox;
        bool held = true;
        ~Release() {
            if (held) hand_over_closing(outbox);
        }
    } release{outbox};
    Local ws = nb::borrow(ob->ws);
    Local from = stream;  // whose event is in flight
    Local ev;
    int batch = 0;
    Py_ssize_t batch_size = 0;
    for (bool resuming = started.is_valid();; resuming = false) {
        if (!resuming) {
            if (!ob->tickets->empty() || ob->queue->empty()) break;
            if (++batch > batch_events || batch_size > batch_bytes) {
                batch = 1;
                batch_size = 0;
                const Gateway& g = gw();
                TV_AWAIT(call(attr(g.global(g.n.asyncio), g.n.sleep), check(PyLong_FromLong(0))));
                if (!ob->tickets->empty() || ob->queue->empty()) break;
            }
            Pending p = std::move(ob->queue->front());
            ob->queue->pop_front();
            ev = std::move(p.event);
            batch_size += p.size;
            tally(ob, p, -1);
            if (Connection* c = p.owner) {
                from = nb::borrow((PyObject*)c->stream);
                if (p.counted) {
                    c->sent = p.seq;
                    if (c->announcing && c->queued == 0) announce(c, true);
                }
            } else {
                from = none();
            }
        }
        try {
            if (resuming)
                TV_RESUME_WITHIN(send_timeout, started, first);
            else
                TV_AWAIT_WITHIN(send_timeout, call_method(ws, n.send_json, ev));
        } catch (nb::python_error& e) {
            if (!is_ordinary(e)) throw;
            send_failed(from, ws, e);
        }
        ev = nb::object();
    }
    release.held = false;
    hand_over(outbox);
    co_return none();
}

// More events wait than a journal keeps (`count` of them, `bytes` in all).
inline bool behind(long long count, Py_ssize_t bytes, const Retention& r) {
    return count > 1 && (count > r.events || bytes > r.bytes);
}

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

// `ws.send_json(event)`, sent its first None: PYGEN_ERROR with the error set.
inline PySendResult start_send(nb::handle ws, nb::handle event, nb::object& it, PyObject** res) noexcept {
    PyObject* argv[] = {ws.ptr(), event.ptr()};
    nb::object awaitable =
        nb::steal(PyObject_VectorcallMethod(gw().n.send_json, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!awaitable) return PYGEN_ERROR;
    it = nb::steal(get_awaitable_iter(awaitable.ptr()));
    if (!it) return PYGEN_ERROR;
    return PyIter_Send(it.ptr(), Py_None, res);
}

// A send failed at once (the error is set): the connection is detached, and a send that timed out
// lets its client go.
[[gnu::noinline]] void failed_at_once(StreamObject* s, nb::handle ws, nb::handle outbox) {
    nb::python_error e;
    detach(s, ws);
    hand_over(outbox);
    if (!is_ordinary(e)) {
        e.restore();
        throw_error();
    }
    after_send_failure(e, ws, session_place(s->session_id));
}

// Hands one event to one connection: sent at once when its socket is free, else left in the outbox
// behind what waits there. Nothing of the connection is read once the send has run: it may detach it.
[[gnu::always_inline]] inline void deliver(nb::handle stream, Connection* c, nb::handle event, long long seq,
                                           Py_ssize_t size, const Retention& r) {
    OutboxObject* ob = as_outbox(c->outbox.ptr());
    StreamObject* s = as_stream(stream.ptr());
    if (ob->busy) {
        wait_in_outbox(s, c, event, seq, size, r);
        return;
    }
    c->sent = seq;
    nb::object outbox = c->outbox;  // what the send runs may detach the connection; the outbox holds `ws`
    nb::handle ws = ob->ws;
    ob->busy = true;  // a send to this socket from what this one runs waits in the outbox
    PyObject* res = nullptr;
    nb::object it;
    PySendResult sr = start_send(ws, event, it, &res);
    if (sr == PYGEN_RETURN) {
        Py_XDECREF(res);
        if (!ob->stirred)
            ob->busy = false;  // the common case: nothing came meanwhile
        else
            hand_over(outbox);
    } else if (sr == PYGEN_NEXT) {
        start_writer(outbox, stream, std::move(it), nb::steal(res));
    } else {
        it = nb::object();
        failed_at_once(s, ws, outbox);
    }
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
    nb::object seq_value = check(PyLong_FromLongLong(last_seq + 1));
    // "seq" goes last, even when the event brought one of its own (then the dict does not grow).
    Py_ssize_t keys = PyDict_GET_SIZE(event);
    dict_set(event, n.seq, seq_value);
    if (PyDict_GET_SIZE(event) == keys) {
        check(PyDict_DelItem(event, n.seq));
        dict_set(event, n.seq, seq_value);
    }
    long long seq = s->seq = ++last_seq;
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
            if (PyObject_Hash(id.ptr()) != -1) check(PyDict_SetItem(s->pending, id.ptr(), event));
            else PyErr_Clear();
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
    nb::object outbox = outbox_for(ws);
    if (Connection* c = find(s, ws)) return c;  // attached by what making the outbox ran
    s->connections->push_back(std::make_unique<Connection>(s, ws, std::move(outbox), s->seq));
    return s->connections->back().get();
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

// Attaches `ws` with the retained events after `from` (`asked`: the client gave a number) put in its
// outbox, ahead of every live event from now on; "attached" follows once it has caught up.
void replay(StreamObject* s, nb::handle ws, nb::handle session, bool asked, long long from) {
    const Gateway& g = gw();
    const Names& n = g.n;
    // On a connection that stayed attached, what it was handed since `began` is on its way already:
    // the replay goes on after that.
    if (Connection* c = find(s, ws); c && from >= c->began && c->sent > from) from = c->sent;
    // Events after `from` that are gone cannot be replayed: trimmed from the journal, or (a number
    // from before this stream was made) in a stream of the session dropped since, or given by an
    // earlier server process. A number this stream never reached is not one of its own either.
    // 0 asks for all there is: only trimming makes a gap then.
    bool gap = asked && (from < s->trimmed || (from > 0 && from < s->start) || from > s->seq);
    if (from > s->seq) from = 0;
    nb::object notice;
    if (gap) {
        nb::object first = check(PyLong_FromLongLong(s->journal->empty() ? last_seq + 1 : s->journal->front().seq));
        notice = event({{n.type, n.replay_gap}, {n.session_id, s->session_id}, {n.first_seq, first}});
    }
    // Approvals still waiting that the replay does not carry.
    nb::object approvals = check(PyList_New(0));
    {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(s->pending, &pos, &key, &value)) {
            nb::object seq = g.get(value, n.seq);
            if (!PyLong_Check(seq.ptr()) || PyLong_AsLongLong(seq.ptr()) <= from) check(PyList_Append(approvals.ptr(), value));
        }
    }

    Connection* c = attach(s, ws);
    nb::object outbox = c->outbox;
    OutboxObject* ob = as_outbox(outbox.ptr());
    // A free socket is held meanwhile, so that nothing is sent ahead of the replay; its writer then
    // takes over.
    bool holding = !ob->busy;
    ob->busy = true;
    // What still waited for it of this session is in the replay, in its place.
    std::vector<nb::object> replaced = take_entries(ob, c);
    c->began = c->sent = from;
    if (gap) enqueue(ob, c, notice);
    for (size_t i = 0; i < s->journal->size(); ++i) {
        const Entry& e = (*s->journal)[i];
        if (e.seq > from) enqueue(ob, c, e.event, e.seq, e.size, true);
    }
    c->announcing = true;
    c->approvals = std::move(approvals);
    c->session = nb::borrow(session);
    if (c->queued == 0) announce(c, false);
    if (holding) hand_over(outbox);
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
    replay(s, ws, session, !is_none(after), from);
    co_return none();
}

nb::object attach_impl(PyObject* const* a) {
    check_exact(a[1], &PyDict_Type, "message");
    return attach_name.wrap(handle_attach(nb::borrow(a[0]), nb::borrow(a[1])));
}

}  // namespace

void stream_send(nb::handle stream, nb::handle event) { send(stream, event); }

nb::object chat_target(nb::handle ws, nb::handle session_id, bool* unlisted) {
    *unlisted = false;
    if (!streams_on()) return nb::borrow(ws);
    const Gateway& g = gw();
    nb::object registry = call(import_from(g.n.session_registry, g.n.get_registry));
    nb::object stream;
    if (is_none(call_method(registry, g.n.get, session_id))) {
        // A session nobody can attach to: its turn talks to this connection alone, through the
        // socket's outbox, and leaves nothing behind in the registry of streams.
        stream = new_stream(session_id);
        as_stream(stream.ptr())->unlisted = *unlisted = true;
    } else {
        stream = stream_for(session_id);
    }
    attach(as_stream(stream.ptr()), ws);
    return stream;
}

bool detach_everywhere(nb::handle ws) {
    if (!streams_on()) return false;
    const Gateway& g = gw();
    nb::object streams = check(PyDict_Values(g.global(g.n._session_streams).ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(streams.ptr()); ++i) {
        nb::object s = nb::borrow(PyList_GET_ITEM(streams.ptr(), i));
        if (Py_TYPE(s.ptr()) == &session_stream_type) detach(as_stream(s.ptr()), ws);
    }
    // The broadcasts still waiting for it go too.
    auto it = outboxes.find(ws.ptr());
    if (it != outboxes.end()) {
        nb::object outbox = nb::borrow((PyObject*)it->second);
        std::vector<nb::object> gone = take_entries(as_outbox(outbox.ptr()), nullptr);
    }
    return true;
}

bool streams_enabled() { return streams_on(); }

Holding::Holding(nb::handle ws) {
    outbox_ = outbox_for(ws);
    ticket_ = none();
    held_ = true;
    OutboxObject* ob = as_outbox(outbox_.ptr());
    if (!ob->busy) {
        ob->busy = true;
        return;
    }
    const Gateway& g = gw();
    nb::object loop = call(attr(g.global(g.n.asyncio), g.n.get_running_loop));
    ticket_ = call_method(loop, g.n.create_future);
    ob->tickets->push_back(weak_ref(ticket_));
    ob->stirred = true;
}

void Holding::give_back() {
    if (!held_) return;
    held_ = false;
    hand_over(outbox_);
}

Holding::~Holding() {
    if (!held_) return;
    held_ = false;
    try {
        // A ticket still waiting is withdrawn; one that was granted (even if its holder was cancelled
        // before it could go on) gives the socket over.
        const Names& n = gw().n;
        if (!is_none(ticket_) && !(truthy(call_method(ticket_, n.done)) && !truthy(call_method(ticket_, n.cancelled)))) {
            call_method(ticket_, n.cancel);
            return;
        }
    } catch (...) {
        set_error_from_current_exception();
        PyErr_WriteUnraisable(outbox_.ptr());
    }
    hand_over_closing(outbox_);
}

void broadcast_send(nb::handle ws, nb::handle message) {
    auto found = outboxes.find(ws.ptr());
    nb::object outbox = found == outboxes.end() ? nb::object() : nb::borrow((PyObject*)found->second);
    OutboxObject* ob = outbox ? as_outbox(outbox.ptr()) : nullptr;
    if (ob && ob->busy) {
        // Behind what the socket has to send, bounded like a session's events.
        enqueue(ob, nullptr, message, 0, container_size(message.ptr()), true);
        if (behind(ob->broadcasts, ob->broadcast_bytes, retention_now())) {
            std::vector<nb::object> gone = take_entries(ob, nullptr);
            let_go_behind(ws, gw().n.broadcast_place);
        }
        return;
    }
    if (ob) ob->busy = true;  // a send to this socket from what this one runs waits in the outbox
    PyObject* res = nullptr;
    nb::object it;
    PySendResult sr = start_send(ws, message, it, &res);
    if (sr == PYGEN_RETURN) {
        Py_XDECREF(res);
        if (ob && !ob->stirred)
            ob->busy = false;
        else if (ob)
            hand_over(outbox);
    } else if (sr == PYGEN_NEXT) {
        nb::object first = nb::steal(res);
        if (!outbox) outbox = outbox_for(ws);
        start_writer(outbox, none(), std::move(it), std::move(first));
    } else {
        nb::python_error e;
        it = nb::object();
        if (ob) hand_over(outbox);
        e.restore();
        throw_error();
    }
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

    outbox_type.tp_name = "tavrin.gateway.ws.Outbox";
    outbox_type.tp_basicsize = sizeof(OutboxObject);
    outbox_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    outbox_type.tp_doc = "What waits to be sent on one socket, which has at most one send in flight.";
    outbox_type.tp_traverse = outbox_traverse;
    outbox_type.tp_clear = outbox_clear;
    outbox_type.tp_dealloc = outbox_dealloc;
    if (PyType_Ready(&outbox_type) < 0) throw_error();

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
