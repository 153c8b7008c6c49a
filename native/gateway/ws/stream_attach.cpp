// Attaching a window to a session's stream: the replay of what it missed, then the live events.
#include "stream.hpp"
#include "send.hpp"
#include "tasks.hpp"
#include "runtime/async.hpp"
#include "runtime/func.hpp"

namespace tv::gateway {
namespace streams {

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
    nb::object done = event({{n.type, n.attached},
                             {n.session_id, s->session_id},
                             {n.seq, seq},
                             {n.running, boolean(turn_running(s->session_id, session))}});
    c = find(s, ws);  // what ran meanwhile may have detached it
    if (!c) return;
    OutboxObject* ob = as_outbox(c->outbox.ptr());
    std::vector<Pending> notices;
    for (Py_ssize_t i = 0; approvals && i < PyList_GET_SIZE(approvals.ptr()); ++i)
        notices.push_back(Pending{nb::borrow(PyList_GET_ITEM(approvals.ptr(), i)), c, 0, 0, false});
    notices.push_back(Pending{std::move(done), c, 0, 0, false});
    if (next)
        ob->queue->insert(ob->queue->begin(), std::make_move_iterator(notices.begin()),
                          std::make_move_iterator(notices.end()));
    else
        ob->queue->insert(ob->queue->end(), std::make_move_iterator(notices.begin()),
                          std::make_move_iterator(notices.end()));
}

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

// A turn runs in the session: a chat task of the gateway's that has not finished, or the session's
// lock held (by a turn the host runs on its own, for a connector message or a heartbeat beat).
bool turn_running(nb::handle session_id, nb::handle session) {
    const Gateway& g = gw();
    nb::object task = g.get(g.global(g.n._active_tasks), session_id);
    if (truthy(task) && !truthy(call_method(task, g.n.done))) return true;
    nb::object lock = attr_opt(session, g.n.lock);
    return lock && !is_none(lock) && truthy(call_method(lock, g.n.locked));
}

// Where a replay for `ws` starts (`from`), and whether events after that are gone (a gap).
struct ReplayStart {
    long long from;
    bool gap;
};

ReplayStart replay_start(StreamObject* s, nb::handle ws, bool asked, long long from) {
    // On a connection that stayed attached, what it was handed since `began` is on its way already:
    // the replay goes on after that.
    if (Connection* c = find(s, ws); c && from >= c->began && c->sent > from) from = c->sent;
    // Events after `from` that are gone cannot be replayed: trimmed from the journal, or (a number
    // from before this stream was made) in a stream of the session dropped since, or given by an
    // earlier server process. A number this stream never reached is not one of its own either.
    // 0 asks for all there is: only trimming makes a gap then.
    bool gap = asked && (from < s->trimmed || (from > 0 && from < s->start) || from > s->seq);
    return {from > s->seq ? 0 : from, gap};
}

// {"type": "replay_gap", ...}: reload the conversation from the store, the stream goes on from here.
nb::object gap_notice(StreamObject* s) {
    const Names& n = gw().n;
    nb::object first = check(
        PyLong_FromLongLong(s->journal->empty() ? module_state.last_seq + 1 : s->journal->front().seq));
    return event({{n.type, n.replay_gap}, {n.session_id, s->session_id}, {n.first_seq, first}});
}

// The approvals still waiting that a replay after `from` does not carry.
nb::object approvals_not_replayed(StreamObject* s, long long from) {
    const Gateway& g = gw();
    nb::object approvals = check(PyList_New(0));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(s->pending, &pos, &key, &value)) {
        nb::object seq = g.get(value, g.n.seq);
        if (!PyLong_Check(seq.ptr()) || PyLong_AsLongLong(seq.ptr()) <= from)
            check(PyList_Append(approvals.ptr(), value));
    }
    return approvals;
}

// Attaches `ws` with the retained events after `from` (`asked`: the client gave a number), in phases:
// the gap notice, the replay, then (once the connection has caught up) the approvals still waiting and
// "attached"; the socket's writer drains it all, ahead of every live event from now on.
void replay(StreamObject* s, nb::handle ws, nb::handle session, bool asked, long long asked_from) {
    auto [from, gap] = replay_start(s, ws, asked, asked_from);
    nb::object notice = gap ? gap_notice(s) : nb::object();
    nb::object approvals = approvals_not_replayed(s, from);

    Connection* c = attach(s, ws);
    nb::object outbox = c->outbox;
    OutboxObject* ob = as_outbox(outbox.ptr());
    // A free socket is held meanwhile, so that nothing live is sent ahead of the replay; on a busy one
    // the replay waits behind what came before it. A client being let go is sent no replay.
    if (ob->state == outbox::State::let_go) return;
    bool holding = ob->state == outbox::State::idle && step(ob, outbox::Input::claim) == outbox::Action::go_on;
    // What still waited for it of this session is in the replay, in its place.
    std::vector<nb::object> replaced = take_entries(ob, c);
    c->began = c->sent = from;

    // The gap notice, then the replay.
    if (gap) enqueue(ob, c, notice);
    for (size_t i = 0; i < s->journal->size(); ++i) {
        const Entry& e = (*s->journal)[i];
        if (e.seq > from) enqueue(ob, c, e.event, e.seq, e.size, true);
    }
    // The approvals and "attached", once the connection has caught up (at once if nothing waits).
    c->announcing = true;
    c->approvals = std::move(approvals);
    c->session = nb::borrow(session);
    if (c->queued == 0) announce(c, false);
    // The drain: the socket's writer takes over.
    if (holding) hand_over(outbox);
}

// {"type": "attach", "session_id": S, "after": N}
Coro handle_attach(nb::object ws, Dict message) {
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
        TV_REPLY(ws, error);
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

}  // namespace streams

using namespace streams;

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
        if (Py_TYPE(s) == &session_stream_type && PyDict_DelItem(as_stream(s)->pending, approval_id.ptr()) < 0)
            PyErr_Clear();
    }
}

}  // namespace tv::gateway
