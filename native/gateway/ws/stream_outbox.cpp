// The outbox of a socket, and its one writer: at most one send is in flight on a socket. What comes for
// a busy socket (its sessions' events, their replays, broadcasts) waits in the outbox, in order, and the
// socket's endpoint waits for its turn with a ticket.
#include "stream.hpp"

namespace tv::gateway {
namespace streams {

PyTypeObject outbox_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
std::unordered_map<PyObject*, OutboxObject*>& outboxes = *new std::unordered_map<PyObject*, OutboxObject*>();

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

void enqueue(OutboxObject* ob, Connection* owner, nb::handle event, long long seq, Py_ssize_t size, bool counted) {
    ob->queue->push_back(Pending{nb::borrow(event), owner, seq, size, counted});
    ob->stirred = true;
    tally(ob, ob->queue->back(), 1);
}

// Takes a connection's events out of the outbox (every event when `all`); the caller lets go of them
// once nothing it still reads can be touched by what their release runs.
std::vector<nb::object> take_entries(OutboxObject* ob, Connection* owner, bool all) {
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

CoroName writer_name;
Coro outbox_writer(nb::object outbox, nb::object stream, nb::object started, nb::object first);

// Starts the socket's writer: it finishes a send under way (`started`, which yielded `first`), then
// sends what waits in the outbox.
void start_writer(nb::handle outbox, nb::handle stream, nb::object started, nb::object first) {
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
void hand_over(nb::handle outbox, bool closing) {
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

}  // namespace tv::gateway
