// The session streams' own state, shared by the files that make them up: the journal and the stream
// (session_stream.cpp), the socket's outbox and its writer (stream_outbox.cpp), attaching and replay
// (stream_attach.cpp), and the grace period of an unwatched session (stream_grace.cpp).
#pragma once

#include "gateway.hpp"

#include <climits>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

namespace tv::gateway::streams {

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
extern PyTypeObject outbox_type;
// Every outbox, by its socket (never destroyed: an outbox may be let go of while the interpreter shuts down).
extern std::unordered_map<PyObject*, OutboxObject*>& outboxes;
inline OutboxObject* as_outbox(PyObject* o) { return reinterpret_cast<OutboxObject*>(o); }

// A connection: one socket attached to one session's stream. Its socket's outbox is in one of two states,
// and the connection itself lives only while it is attached:
//
//   idle      outbox free (`busy` false), nothing of this connection queued (`queued` == 0). An event
//             of the session is sent at once (`sent` = its seq); a send that completes at once leaves
//             it idle, one that suspends hands the rest to the socket's writer: busy.
//   busy      a send is in flight on the socket, or a holder (the endpoint, a replay being set up) has
//             it. Events of the session wait in the outbox in order and count toward `queued`; past the
//             journal's bounds the connection is detached and its client let go.
//   detached  a send of its failed or timed out, its socket went away, its session was dropped: the
//             record is destroyed, and what of it waited in the outbox goes with it (it stays in the
//             journal for a replay).
//
// Invariants: every event of the session numbered after `began` has been handed to the socket (up to
// `sent`) or waits in the outbox, in order, exactly once; `queued` and `queued_bytes` count exactly
// the waiting ones; `announcing` is set from an attach until the connection has caught up, when its
// approvals and "attached" go out. Nothing reads a connection after a call that may run Python
// without finding it again: such a call may detach it.
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

// The process-wide counter of event numbers (see session_stream.cpp).
extern long long last_seq;

inline StreamObject* as_stream(PyObject* o) { return reinterpret_cast<StreamObject*>(o); }

// Whether session streams are on.
bool streams_on();

// The retention bounds, read again only when a global of the module has changed.
struct Retention {
    std::uint64_t seen = ModuleGlobals::never;
    long long events = LLONG_MAX, bytes = LLONG_MAX;
};
extern Retention retention;
const Retention& read_retention(std::uint64_t seen);

[[gnu::always_inline]] inline const Retention& retention_now() {
    std::uint64_t seen = retention.seen;
    if (gw().global.current(seen)) return retention;
    return read_retention(seen);
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

// More events wait than a journal keeps (`count` of them, `bytes` in all).
inline bool behind(long long count, Py_ssize_t bytes, const Retention& r) {
    return count > 1 && (count > r.events || bytes > r.bytes);
}

// `ws.send_json(event)`, started (see start_awaiting): PYGEN_ERROR with the error set.
inline PySendResult start_send(nb::handle ws, nb::handle event, nb::object& it, PyObject** res) noexcept {
    PyObject* argv[] = {ws.ptr(), event.ptr()};
    return start_awaiting(
        nb::steal(PyObject_VectorcallMethod(gw().n.send_json, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)), it,
        res);
}

// ---- the stream (session_stream.cpp) ----
nb::object new_stream(nb::handle session_id);
Connection* find(StreamObject* s, nb::handle ws);
Py_ssize_t container_size(PyObject* v);

// ---- the outbox (stream_outbox.cpp) ----
nb::object outbox_for(nb::handle ws);
void enqueue(OutboxObject* ob, Connection* owner, nb::handle event, long long seq = 0, Py_ssize_t size = 0,
             bool counted = false);
std::vector<nb::object> take_entries(OutboxObject* ob, Connection* owner, bool all = false);
void start_writer(nb::handle outbox, nb::handle stream = nb::handle(), nb::object started = nb::object(),
                  nb::object first = nb::object());
void hand_over(nb::handle outbox, bool closing = false);
extern CoroName writer_name;
void init_outbox_type();

// ---- attaching (stream_attach.cpp) ----
nb::object stream_for(nb::handle session_id);
Connection* attach(StreamObject* s, nb::handle ws);
void announce(Connection* c, bool next);
bool turn_running(nb::handle session_id, nb::handle session);
Coro handle_attach(nb::object ws, Dict message);

// ---- the grace period (stream_grace.cpp) ----
void cancel_grace(StreamObject* s);
void arm_grace(StreamObject* s);
void detach(StreamObject* s, nb::handle ws);

}  // namespace tv::gateway::streams
