// The grace period of a session that no window watches: its turn is stopped and its stream dropped.
#include "stream.hpp"
#include "tasks.hpp"

namespace tv::gateway::streams {

// ---- the grace period of an unwatched session ----

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

}  // namespace tv::gateway::streams
