// Sending to a client: the bound on every send, letting a slow client go, the socket's outbox as
// the senders see it, and `TV_SEND`.
#pragma once

#include "gateway.hpp"
#include "state.hpp"
#include "runtime/async.hpp"
#include "runtime/deadline.hpp"

namespace tv::gateway {

// ---- Bounded sends and slow clients (slow_client.cpp) ----

// `ws.send_json(event)`, started (see start_awaiting): PYGEN_ERROR with the error set.
inline PySendResult start_send(nb::handle ws, nb::handle event, nb::object& it, PyObject** res) noexcept {
    PyObject* argv[] = {ws.ptr(), event.ptr()};
    return start_awaiting(
        nb::steal(PyObject_VectorcallMethod(gw().n.send_json, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)), it,
        res);
}

// Starts `ws.send_json(event)` for a coroutine that awaits it only if it must: false when the send
// completed at once, true when it suspended (`started` is then its iterator and `first` what it
// yielded, for TV_RESUME_WITHIN); a send that failed at once raises its error here.
inline bool send_suspended(nb::handle ws, nb::handle event, nb::object& started, nb::object& first) {
    PyObject* res = nullptr;
    PySendResult r = start_send(ws, event, started, &res);
    if (r == PYGEN_NEXT) {
        first = nb::steal(res);
        return true;
    }
    if (r == PYGEN_RETURN) {
        Py_XDECREF(res);
        started = nb::object();
        return false;
    }
    nb::python_error e;  // taken before the iterator goes, whose release may run code
    started = nb::object();
    throw e;
}

// `await ws.send_json(event)` bounded by `_SEND_TIMEOUT_SECONDS` once it suspends, as
// TV_AWAIT_WITHIN(send_timeout, ...) gives it: the send is started here, and only one that suspends is
// handed to a bounded awaiter (which then owns what it awaits: nothing here lives across the await).
// clang-format off
#define TV_SEND_JSON(ws, event)                                                                 \
    do {                                                                                        \
        ::nanobind::object started_, first_;                                                    \
        if (::tv::gateway::send_suspended((ws), (event), started_, first_))                     \
            TV_RESUME_WITHIN(::tv::gateway::send_timeout, started_, first_);                    \
    } while (0)
// clang-format on

// The bound of every send the gateway awaits: `_SEND_TIMEOUT_SECONDS` now (seconds, or None).
nb::object send_timeout();

// Lets a client that cannot keep up go: one WARNING naming `where` (a session, "broadcast") and the
// bound, and its connection closed in the background with code 1013. Once per connection at a time.
void let_go(nb::handle ws, nb::handle where);

// Lets go, the same way, a client that reads so slowly that more events wait for it (of the session
// named by `where`, or broadcasts) than a session's stream keeps: a replay could not cover the rest.
void let_go_behind(nb::handle ws, nb::handle where);

// After a send to `ws` failed with `e`: a send that timed out lets its client go.
void after_send_failure(const nb::python_error& e, nb::handle ws, nb::handle where);

// Whether the fair broadcast is on: `_FAIR_BROADCAST` now (re-read only when a module global changed).
// Off, a broadcast awaits each send in turn, as written.
bool fair_broadcast_on();

// Whether the socket has an outbox: something was handed to it, or it is attached to a session's stream.
// Asked before every send; while no socket has one (the fair broadcast and session streams off), the
// answer takes no look-up.
inline bool has_outbox(nb::handle ws) {
    const auto& outboxes = module_state.outboxes;
    return !outboxes.empty() && outboxes.contains(ws.ptr());
}

// The sending of a socket for a sender that awaits its own send (a reply, a turn's event to the socket
// itself): while something else is in flight on the socket or waits for it, the sender waits its turn
// behind it, with a ticket (a future) that completes when it is this sender's turn. The holder gives
// the socket back when its send is over; ending any other way (an exception, its coroutine closed)
// gives it back too, and a ticket still waiting is withdrawn. A socket without an outbox (nothing was
// ever handed to it) is not held: its sends go at once, as written.
class Holding {
public:
    explicit Holding(nb::handle ws);
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;
    ~Holding();
    nb::object ticket() const { return nb::borrow(ticket_); }  // None when it may send at once
    void give_back();

private:
    Local outbox_, ticket_;
    bool held_ = false;
};

// The one way to send to a client. A turn's target may be its session's stream, which takes the event at
// once and never waits for a connection; a socket's send is awaited, in its turn behind whatever waits
// for that socket, bounded by `_SEND_TIMEOUT_SECONDS`. A send that times out lets its client go
// (`place`, evaluated only then, names where in the warning); the failure is then raised on, for the
// caller to apply its own policy: a reply's ends the connection's receive loop, a turn's event marks the
// client gone, an error report gives up. Only here is a send's timeout told apart from a TimeoutError
// the host raises in a handler.
// clang-format off
#define TV_SEND(target, event, place)                                                                 \
    do {                                                                                              \
        try {                                                                                         \
            if (is_stream(target)) {                                                                  \
                stream_send((target), (event));                                                       \
            } else if (!has_outbox(target)) {                                                         \
                TV_SEND_JSON((target), (event));                                                      \
            } else {                                                                                  \
                Holding turn_(target);                                                                \
                if (!is_none(turn_.ticket())) TV_AWAIT(turn_.ticket());                               \
                TV_SEND_JSON((target), (event));                                                      \
                turn_.give_back();                                                                    \
            }                                                                                         \
        } catch (nb::python_error & send_error_) {                                                    \
            after_send_failure(send_error_, (target), (place));                                       \
            throw;                                                                                    \
        }                                                                                             \
    } while (0)
// clang-format on

// A reply to the client on `ws`; a failed one goes on to end the connection's receive loop, as an
// unbounded one would.
#define TV_REPLY(ws, event) TV_SEND(ws, event, gw().n.reply_place)

// One client's part of a fair broadcast by `manager`. A send that completes, or fails, at once does so
// here (a failure raises, for the broadcast to prune the client as written). A send that suspends holds
// up nobody but its own client: the socket's writer finishes it, bounded, and sends after it whatever
// else comes for that socket meanwhile, in order; a client whose send fails there is let go (on a
// timeout) and pruned from `manager`. A client being let go is sent nothing more (`dropped`).
enum class BroadcastSend { sent, handed_off, dropped };
BroadcastSend broadcast_send(nb::handle ws, nb::handle message, nb::handle manager);

// Removes `ws` from `manager`'s connections, as a broadcast prunes a client whose send failed.
void prune_connection(nb::handle manager, nb::handle ws);

// A client is let go: what waits for it in its outbox is dropped at once, and nothing more is queued.
void let_go_outbox(nb::handle ws);

// The broadcasts still waiting for a socket whose connection has ended go.
void forget_broadcasts(nb::handle ws);

// "session 'id'": the place of a session's send, for the let-go warning.
nb::object session_place(nb::handle session_id);

// True for the cancellation with which a slow client's endpoint is ended.
bool is_let_go(const nb::python_error& e);

// Whether a turn's target is a session stream, and a stream's `send_json` done directly: the event is
// numbered, kept and handed to every attached connection, and the turn never waits for one of them.
extern PyTypeObject session_stream_type;
inline bool is_stream(nb::handle target) { return Py_TYPE(target.ptr()) == &session_stream_type; }
void stream_send(nb::handle stream, nb::handle event);

}  // namespace tv::gateway
