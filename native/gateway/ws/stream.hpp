// The session streams' own state, shared by the files that make them up: the journal and the stream
// (session_stream.cpp), the socket's outbox and its writer (stream_outbox.cpp), attaching and replay
// (stream_attach.cpp), and the grace period of an unwatched session (stream_grace.cpp).
#pragma once

#include "gateway.hpp"
#include "outbox.hpp"
#include "session_streams.hpp"
#include "state.hpp"
#include "runtime/func.hpp"

#include <climits>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

namespace tv {
struct CoroName;  // runtime/coroutine.hpp, for the files that start a writer
}

namespace tv::gateway::streams {

struct StreamObject;
struct Connection;

// What waits for a socket: an event to send, or a sender that awaits its own send (a ticket).
struct Pending {
    nb::object event;   // the event; for a ticket, a weak reference to its sender's future
    Connection* owner;  // the session's connection it is for; null for a broadcast's, or a ticket
    long long seq;      // its number in the session's journal, when it counts toward the bound
    Py_ssize_t size;
    bool counted;  // counts toward a bound: a session's event, or a broadcast
    bool ticket = false;
    nb::object origin = nb::object();  // the manager whose broadcast it is: a failed send is pruned there
};

// The outbox of one socket (the decisions it carries out, and its state diagram: outbox.hpp). The map
// finds it by its socket while it lives; what holds it: the socket's connections to sessions, its
// writer, and a sender holding or waiting for the socket.
struct OutboxObject {
    PyObject_HEAD
    PyObject* ws;
    outbox::State state;
    std::deque<Pending>* queue;  // what waits for the socket, in the order it came
    long long broadcasts;        // broadcasts waiting, and their size: bounded like a session's events
    Py_ssize_t broadcast_bytes;
};
extern PyTypeObject outbox_type;
inline OutboxObject* as_outbox(PyObject* o) { return reinterpret_cast<OutboxObject*>(o); }

// A connection: one socket attached to one session's stream. It lives only while it is attached, and
// what it sees of its socket's outbox (outbox.hpp) is one of two things:
//
//   free      the outbox is idle, nothing of this connection waits (`queued` == 0). An event of the
//             session is sent at once (`sent` = its seq); a send that completes at once leaves it
//             free, one that suspends hands the rest to the socket's writer.
//   behind    the outbox is not idle (a send in flight, a sender holding it, the writer at work). Events
//             of the session wait in the outbox in order and count toward `queued`; past the journal's
//             bounds the connection is detached and its client let go. An outbox whose client was let
//             go takes nothing more: the connection is detached at its next event.
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
    long long start;    // the counter when the stream was made: its numbers are all above it
    long long seq;      // the last number given in this stream (`start` before any)
    long long trimmed;  // the last number dropped from the journal (0 before any)
    Py_ssize_t bytes;   // estimated size of the journal
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

inline StreamObject* as_stream(PyObject* o) { return reinterpret_cast<StreamObject*>(o); }

// Whether session streams are on.
bool streams_on();

const Retention& read_retention(std::uint64_t seen);

[[gnu::always_inline]] inline const Retention& retention_now() {
    std::uint64_t seen = module_state.retention.seen;
    if (gw().global.current(seen)) return module_state.retention;
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

// ---- the stream (session_stream.cpp) ----
nb::object new_stream(nb::handle session_id);
Connection* find(StreamObject* s, nb::handle ws);
Py_ssize_t container_size(PyObject* v);

// ---- the outbox (stream_outbox.cpp) ----

// What waits at the head of an outbox's queue.
inline outbox::Head head_of(const OutboxObject* ob) {
    if (ob->queue->empty()) return outbox::Head::nothing;
    return ob->queue->front().ticket ? outbox::Head::ticket : outbox::Head::send;
}

// The outbox decides (outbox.hpp) and takes its next state: the only place an outbox's state changes.
[[gnu::always_inline]] inline outbox::Action step(OutboxObject* ob, outbox::Input in) {
    outbox::Step s = outbox::decide(ob->state, in, head_of(ob));
    ob->state = s.next;
    return s.action;
}

nb::object outbox_for(nb::handle ws);
nb::object existing_outbox(nb::handle ws);  // a null handle when the socket has none
void enqueue(OutboxObject* ob, Connection* owner, nb::handle event, long long seq = 0, Py_ssize_t size = 0,
             bool counted = false, nb::handle origin = nb::handle());
std::vector<nb::object> take_entries(OutboxObject* ob, Connection* owner, bool all = false);
void start_writer(nb::handle outbox, nb::handle stream = nb::handle(), nb::handle origin = nb::handle(),
                  nb::object started = nb::object(), nb::object first = nb::object());
void carry_out(nb::handle outbox, outbox::Action a, bool closing = false);
// A holder's send is over (or the writer's): the socket goes to whoever is next.
void hand_over(nb::handle outbox, bool closing = false);

enum class Offered { sent, handed_off, failed };

// Sends an offered event now (the outbox decided `send_now`; `outbox` may be null: the socket has none
// yet): a send that completes, or fails, at once does so here (failed: the error is set, and the socket
// has gone on to whoever is next); one that suspends is handed to the socket's writer with the rest of
// what comes for it (an outbox is made for it then). `stream` or `origin` say whose event it is.
Offered send_offered(nb::handle ws, nb::object& outbox, nb::handle stream, nb::handle origin, nb::handle event);
extern CoroName writer_name;
void init_outbox_type();

// ---- attaching (stream_attach.cpp) ----
nb::object stream_for(nb::handle session_id);
Connection* attach(StreamObject* s, nb::handle ws);
void detach(StreamObject* s, nb::handle ws);
void announce(Connection* c, bool next);
bool turn_running(nb::handle session_id, nb::handle session);
Coro handle_attach(nb::object ws, Dict message);

// ---- the grace period (stream_grace.cpp) ----
void cancel_grace(StreamObject* s);
void arm_grace(StreamObject* s);

}  // namespace tv::gateway::streams
