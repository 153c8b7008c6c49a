// The stall watchdog: warns every client when an agent goes silent, and cancels it past a threshold.
#include "gateway.hpp"
#include "runtime/async.hpp"
#include "runtime/func.hpp"

namespace tv::gateway {
namespace {

// `getattr(agent, name, fallback)`: the fallback only for a missing attribute.
nb::object threshold(nb::handle agent, PyObject* name, long fallback) {
    nb::object v = attr_opt(agent, name);
    return v ? v : check(PyLong_FromLong(fallback));
}

// The poll interval: an int as given, another number converted to an int when the coroutine is made. A
// positive interval that converts to 0 (0.5) is slept as given, in seconds as a float: sleeping 0 at
// every poll would turn the watchdog into a busy loop beside the turn it watches.
struct PollInterval : AsInt {
    explicit PollInterval(nb::object v) : AsInt(v.release(), nb::detail::steal_t{}) {}
    static PollInterval take(PyObject* v) {
        AsInt whole = AsInt::take(v);
        if (PyLong_Check(v) || truthy(whole) || !compare(nb::handle(v), whole, Py_GT)) return PollInterval(whole);
        return PollInterval(check(PyNumber_Float(v)));
    }
};

Coro watchdog(nb::object agent, Str session_id, PollInterval poll_interval) {
    const Gateway& g = gw();
    const Names& n = g.n;
    Local zero = check(PyLong_FromLong(0));
    bool warned = false;
    for (;;) {
        TV_AWAIT(call(attr(g.global(n.asyncio), n.sleep), poll_interval));
        if (!truthy(attr(agent, n.is_processing))) co_return none();

        Local silence = attr(agent, n.seconds_since_activity);
        Local warn_after = threshold(agent, n.stall_warn_seconds, 60);
        Local cancel_after = threshold(agent, n.stall_cancel_seconds, 0);

        if (compare(cancel_after, zero, Py_GT) && compare(silence, cancel_after, Py_GE)) {
            // The line is built whether or not WARNING is on, so a reading that cannot be formatted
            // ends the watchdog either way.
            Local shown = check(PyObject_Format(silence.ptr(), n.fmt_0f));
            if (g.log.enabled(Level::warning))
                g.log.log(Level::warning,
                          (Text{} << "[watchdog] Agent stalled for " << shown << "s in session " << log_value(session_id)
                                  << " \xE2\x80\x94 auto-cancelling (threshold=" << text_of(cancel_after) << "s)")
                              .done());
            call_method(agent, n.cancel);
            Local seconds = check(PyNumber_Long(silence.ptr()));
            Local ev = event({{n.type, n.stall_warning},
                              {n.session_id, session_id},
                              {n.seconds, seconds},
                              {n.auto_cancelled, Py_True},
                              {n.message, (Text{} << "Tavrin appears to have stalled (no activity for "
                                                  << to_str(seconds) << "s) and has been automatically stopped.")
                                              .done()}});
            TV_AWAIT(call_method(g.global(n.manager), n.broadcast, ev));
            co_return none();
        }
        // `elif silence >= warn_after and not warned:` ... `elif silence < warn_after:` — two comparisons,
        // so a reading that is neither (NaN) neither warns again nor re-arms.
        bool reached = compare(silence, warn_after, Py_GE);
        if (reached && !warned) {
            Local shown = check(PyObject_Format(silence.ptr(), n.fmt_0f));
            if (g.log.enabled(Level::warning))
                g.log.log(Level::warning, (Text{} << "[watchdog] Agent silent for " << shown << "s in session "
                                                  << log_value(session_id) << " \xE2\x80\x94 broadcasting stall_warning")
                                              .done());
            warned = true;
            Local seconds = check(PyNumber_Long(silence.ptr()));
            Local ev = event(
                {{n.type, n.stall_warning},
                 {n.session_id, session_id},
                 {n.seconds, seconds},
                 {n.auto_cancelled, Py_False},
                 {n.message, (Text{} << "Tavrin hasn't made progress in " << to_str(seconds)
                                     << "s. It may be stuck waiting for a slow API response. You can stop the "
                                        "task and try again.")
                                 .done()}});
            TV_AWAIT(call_method(g.global(n.manager), n.broadcast, ev));
        } else if (compare(silence, warn_after, Py_LT)) {
            warned = false;  // activity resumed: the next stretch of silence warns again
        }
    }
}

}  // namespace

void add_watchdog(nb::handle module) {
    define(module, function<watchdog>(
                       "_watchdog", arg("agent", "Any"), arg("session_id", "str"),
                       arg("poll_interval", "int", check(PyLong_FromLong(15))), returns("None"),
                       "Watch an agent during a chat turn: warn every client when it has been silent for\n"
                       "``stall_warn_seconds`` and cancel it after ``stall_cancel_seconds`` (0 or less: never)."));
}

}  // namespace tv::gateway
