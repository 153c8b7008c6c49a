// The outbox of a socket, and its one writer: at most one send is in flight on a socket, and everything
// that comes for it meanwhile (its sessions' events, their replays, broadcasts, senders that await their
// own send) waits in one queue and goes out in the order it came. outbox.hpp decides who sends next;
// this file carries the decisions out, and `step` is the only place that changes an outbox's state.
#include "stream.hpp"
#include "send.hpp"
#include "tasks.hpp"
#include "runtime/async.hpp"
#include "runtime/deadline.hpp"

namespace tv::gateway {
namespace streams {

using outbox::Action;
using outbox::Head;
using outbox::Input;
using outbox::State;

PyTypeObject outbox_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

// ---- the outbox of a socket ----

int outbox_traverse(PyObject* o, visitproc visit, void* arg) {
    OutboxObject* ob = as_outbox(o);
    Py_VISIT(ob->ws);
    if (ob->queue)
        for (const Pending& p : *ob->queue) {
            Py_VISIT(p.event.ptr());
            Py_VISIT(p.origin.ptr());
        }
    return 0;
}

int outbox_clear(PyObject* o) {
    OutboxObject* ob = as_outbox(o);
    if (ob->ws) {
        auto it = module_state.outboxes.find(ob->ws);
        if (it != module_state.outboxes.end() && it->second == ob) module_state.outboxes.erase(it);
    }
    // Moved out first: releasing an event may run code that sends to this socket.
    std::deque<Pending> queue;
    if (ob->queue) queue.swap(*ob->queue);
    Py_CLEAR(ob->ws);
    return 0;
}

void outbox_dealloc(PyObject* o) {
    OutboxObject* ob = as_outbox(o);
    PyObject_GC_UnTrack(o);
    outbox_clear(o);
    delete ob->queue;
    PyObject_GC_Del(o);
}

// The socket's outbox, made on first use.
nb::object outbox_for(nb::handle ws) {
    auto& outboxes = module_state.outboxes;
    auto it = outboxes.find(ws.ptr());
    if (it != outboxes.end()) return nb::borrow((PyObject*)it->second);
    OutboxObject* ob = PyObject_GC_New(OutboxObject, &outbox_type);
    if (!ob) throw_error();
    ob->ws = nullptr;
    ob->queue = nullptr;
    ob->state = State::idle;
    ob->broadcasts = 0;
    ob->broadcast_bytes = 0;
    nb::object self = nb::steal((PyObject*)ob);
    ob->queue = new std::deque<Pending>();
    auto [at, made] = outboxes.emplace(ws.ptr(), ob);
    if (!made) return nb::borrow((PyObject*)at->second);  // made meanwhile, by what allocating ran
    ob->ws = Py_NewRef(ws.ptr());
    PyObject_GC_Track((PyObject*)ob);
    return self;
}

nb::object existing_outbox(nb::handle ws) {
    auto& outboxes = module_state.outboxes;
    if (outboxes.empty()) return nb::object();
    auto it = outboxes.find(ws.ptr());
    return it == outboxes.end() ? nb::object() : nb::borrow((PyObject*)it->second);
}

void enqueue(OutboxObject* ob, Connection* owner, nb::handle event, long long seq, Py_ssize_t size, bool counted,
             nb::handle origin) {
    ob->queue->push_back(Pending{nb::borrow(event), owner, seq, size, counted, false, nb::borrow(origin)});
    tally(ob, ob->queue->back(), 1);
}

// Takes a connection's events out of the outbox (every event when `all`; a broadcast's when `owner` is
// null); the caller lets go of them once nothing it still reads can be touched by what their release
// runs. Tickets stay: their senders are waiting for them.
std::vector<nb::object> take_entries(OutboxObject* ob, Connection* owner, bool all) {
    std::vector<nb::object> gone;
    std::deque<Pending>& q = *ob->queue;
    auto kept = q.begin();
    for (auto it = q.begin(); it != q.end(); ++it) {
        if (!it->ticket && (all || it->owner == owner)) {
            tally(ob, *it, -1);
            gone.push_back(std::move(it->event));
            if (it->origin) gone.push_back(std::move(it->origin));
        } else {
            if (kept != it) *kept = std::move(*it);
            ++kept;
        }
    }
    q.erase(kept, q.end());
    return gone;
}

Connection::~Connection() {
    if (outbox) std::vector<nb::object> gone = take_entries(as_outbox(outbox.ptr()), this);
}

CoroName writer_name;
Coro outbox_writer(nb::object outbox, nb::object stream, nb::object origin, nb::object started, nb::object first);

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

// Nothing can send what waits (no writer could be started, or no loop runs to start one): it is
// dropped (a session's events stay in its journal for a replay), and the socket goes to whoever waits
// for it, else it is free.
void abandon(nb::handle outbox, bool closing) {
    OutboxObject* ob = as_outbox(outbox.ptr());
    std::vector<nb::object> gone = take_entries(ob, nullptr, true);
    if (ob->state != State::let_go) ob->state = State::held;  // as if its holder were done: see `hand_over`
    hand_over(outbox, closing);
}

// Starts the socket's writer: it finishes a send under way (`started`, which yielded `first`; the
// event of `stream`, or a broadcast of `origin`), then sends what waits in the outbox.
void start_writer(nb::handle outbox, nb::handle stream, nb::handle origin, nb::object started, nb::object first) {
    try {
        nb::object from = stream ? nb::borrow(stream) : none();
        nb::object by = origin ? nb::borrow(origin) : none();
        create_task(writer_name.wrap(outbox_writer(nb::borrow(outbox), from, by, std::move(started), std::move(first))),
                    gw().n.stream_writer_prefix);
    } catch (...) {
        abandon(outbox, false);
        throw;
    }
}

// Carries out what the outbox decided after a send: starts a writer, grants the ticket at the head
// (a withdrawn one is passed over, and the next decision taken), or nothing. `closing`: from a holder's
// clean-up, where no loop may be running (then there is no writer either).
void carry_out(nb::handle outbox, Action a, bool closing) {
    const Names& n = gw().n;
    OutboxObject* ob = as_outbox(outbox.ptr());
    for (;;) {
        switch (a) {
            case Action::start_writer:
            case Action::send_next:
                if (closing && !loop_running()) return abandon(outbox, closing);
                return start_writer(outbox);
            case Action::grant: {
                nb::object ref = std::move(ob->queue->front().event);
                ob->queue->pop_front();
                try {
                    nb::object ticket = weak_target(ref);
                    if (ticket && !truthy(call_method(ticket, n.done))) {
                        try {
                            call_method(ticket, n.set_result, none());
                            return;  // the socket is the ticket holder's now
                        } catch (nb::python_error& e) {
                            // On the way out of a closed loop: its waiter can never go on, and is passed over.
                            if (!closing || !e.matches(PyExc_RuntimeError)) throw;
                        }
                    }
                } catch (...) {
                    hand_over(outbox, closing);
                    throw;
                }
                a = step(ob, Input::done);  // withdrawn, gone, or never to go on
                continue;
            }
            default: return;
        }
    }
}

void hand_over(nb::handle outbox, bool closing) {
    carry_out(outbox, step(as_outbox(outbox.ptr()), Input::done), closing);
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

Offered send_offered(nb::handle ws, nb::object& outbox, nb::handle stream, nb::handle origin, nb::handle event) {
    PyObject* res = nullptr;
    nb::object it;
    PySendResult sr = start_send(ws, event, it, &res);
    if (sr == PYGEN_RETURN) {
        Py_XDECREF(res);
        if (outbox) carry_out(outbox, step(as_outbox(outbox.ptr()), Input::returned));
        return Offered::sent;
    }
    if (sr == PYGEN_NEXT) {
        nb::object first = nb::steal(res);
        if (!outbox) {
            outbox = outbox_for(ws);
            step(as_outbox(outbox.ptr()), Input::offer);
        }
        step(as_outbox(outbox.ptr()), Input::suspended);
        start_writer(outbox, stream, origin, std::move(it), std::move(first));
        return Offered::handed_off;
    }
    nb::python_error e;
    it = nb::object();
    if (outbox) carry_out(outbox, step(as_outbox(outbox.ptr()), Input::returned));
    e.restore();
    return Offered::failed;
}

// A send to `ws` of an event of `stream` (None: a broadcast's, made by the manager `origin`) failed:
// the connection is detached from the stream, or pruned from that manager; a send that timed out lets
// its client go.
void send_failed(nb::handle stream, nb::handle origin, nb::handle ws, const nb::python_error& e) {
    if (is_stream(stream)) {
        StreamObject* s = as_stream(stream.ptr());
        detach(s, ws);
        after_send_failure(e, ws, session_place(s->session_id));
    } else {
        after_send_failure(e, ws, gw().n.broadcast_place);
        prune_connection(origin, ws);  // as the broadcast would have, had it waited for this send
    }
}

// The writer yields to the event loop after this many sends, or this many bytes (estimated), so that
// a long replay whose sends all complete at once holds up nobody else.
constexpr int batch_events = 16;
constexpr Py_ssize_t batch_bytes = 64 * 1024;

// The socket's writer: finishes the send under way (when `started`), then sends what waits in the
// outbox, one at a time, until nothing does or a ticket comes up (its sender then has the socket).
Coro outbox_writer(nb::object outbox, nb::object stream, nb::object origin, nb::object started, nb::object first) {
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
    Local from = stream;  // whose event is in flight: a stream's, or (None) a broadcast of `by`
    Local by = origin;
    Local ev;
    int batch = 0;
    Py_ssize_t batch_size = 0;
    for (bool resuming = started.is_valid();; resuming = false) {
        if (!resuming) {
            if (++batch > batch_events || batch_size > batch_bytes) {
                batch = 1;
                batch_size = 0;
                const Gateway& g = gw();
                TV_AWAIT(call(attr(g.global(g.n.asyncio), g.n.sleep), check(PyLong_FromLong(0))));
            }
            Action a = step(ob, Input::done);
            if (a != Action::send_next) {
                release.held = false;
                carry_out(outbox, a);
                break;
            }
            Pending p = std::move(ob->queue->front());
            ob->queue->pop_front();
            ev = std::move(p.event);
            by = p.origin ? std::move(p.origin) : none();
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
            send_failed(from, by, ws, e);
        }
        ev = nb::object();
    }
    co_return none();
}

void init_outbox_type() {
    outbox_type.tp_name = "tavrin.gateway.ws.Outbox";
    outbox_type.tp_basicsize = sizeof(OutboxObject);
    outbox_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    outbox_type.tp_doc = "What waits to be sent on one socket, which has at most one send in flight.";
    outbox_type.tp_traverse = outbox_traverse;
    outbox_type.tp_clear = outbox_clear;
    outbox_type.tp_dealloc = outbox_dealloc;
    if (PyType_Ready(&outbox_type) < 0) throw_error();
}

}  // namespace streams

using namespace streams;

Holding::Holding(nb::handle ws) {
    outbox_ = existing_outbox(ws);
    ticket_ = none();
    if (!outbox_) return;
    OutboxObject* ob = as_outbox(outbox_.ptr());
    if (step(ob, Input::claim) == Action::wait) {
        // Held from the moment the ticket waits in the queue (not before: a failure to make it leaves
        // nothing to give back).
        const Gateway& g = gw();
        nb::object loop = call(attr(g.global(g.n.asyncio), g.n.get_running_loop));
        nb::object ticket = call_method(loop, g.n.create_future);
        ob->queue->push_back(Pending{weak_ref(ticket), nullptr, 0, 0, false, true});
        ticket_ = std::move(ticket);
    }
    held_ = true;
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
        // A ticket still waiting is withdrawn (passed over when it comes up); one that was granted (even
        // if its holder was cancelled before it could go on) gives the socket over.
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

BroadcastSend broadcast_send(nb::handle ws, nb::handle message, nb::handle manager) {
    nb::object outbox = existing_outbox(ws);
    if (outbox) {
        OutboxObject* ob = as_outbox(outbox.ptr());
        switch (step(ob, Input::offer)) {
            case Action::queue:
                // Behind what the socket has to send, bounded like a session's events.
                enqueue(ob, nullptr, message, 0, container_size(message.ptr()), true, manager);
                if (behind(ob->broadcasts, ob->broadcast_bytes, retention_now()))
                    let_go_behind(ws, gw().n.broadcast_place);
                return BroadcastSend::handed_off;
            case Action::drop: return BroadcastSend::dropped;
            default: break;
        }
    }
    switch (send_offered(ws, outbox, nb::handle(), manager, message)) {
        case Offered::failed: throw_error();
        case Offered::handed_off: return BroadcastSend::handed_off;
        default: return BroadcastSend::sent;
    }
}

void let_go_outbox(nb::handle ws) {
    nb::object outbox = existing_outbox(ws);
    if (!outbox) return;
    OutboxObject* ob = as_outbox(outbox.ptr());
    if (step(ob, Input::let_go) != Action::drop_queue) return;
    // What waited goes (a session's events stay in its journal); every waiting sender goes on.
    std::deque<Pending> gone;
    gone.swap(*ob->queue);
    ob->broadcasts = 0;
    ob->broadcast_bytes = 0;
    for (Pending& p : gone) {
        if (p.ticket) {
            if (nb::object ticket = weak_target(p.event); ticket && !truthy(call_method(ticket, gw().n.done)))
                call_method(ticket, gw().n.set_result, none());
        } else if (p.owner && p.counted) {
            p.owner->queued -= 1;
            p.owner->queued_bytes -= p.size;
        }
    }
}

void forget_broadcasts(nb::handle ws) {
    if (nb::object outbox = existing_outbox(ws))
        std::vector<nb::object> gone = take_entries(as_outbox(outbox.ptr()), nullptr);
}

}  // namespace tv::gateway
