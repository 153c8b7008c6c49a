// The extension module `tavrin.core.heartbeat`: a background task that wakes the agent at a fixed
// interval with a check-in prompt, so that it can carry on with its plan while the user is away.
//
// `HeartbeatRunner` keeps its state (`_config`, `_paused`, ...) in C++ fields of the instance, which
// are also its Python attributes of those names, readable and writable by the host and by tests (see
// runtime/fields.hpp). Every operation reads them and the configuration record afresh, so a change made
// by the host between two steps is seen at the next one. Where a subclass or a patched class could put
// something else behind a field's name, the fields are read through Python's attribute look-up
// instead, as a Python class's methods would read them. `asyncio`, `datetime` and
// `DEFAULT_HEARTBEAT_PROMPT` are module globals looked up at each use, which lets a host or a test
// substitute the clock or the event-loop functions at run time.
#include "runtime/async.hpp"
#include "runtime/fields.hpp"
#include "runtime/func.hpp"
#include "runtime/module.hpp"
#include "runtime/log.hpp"

#include <optional>

namespace tv::heartbeat {
namespace {

constexpr const char* module_name = "tavrin.core.heartbeat";

#define TV_EM_DASH "\xE2\x80\x94"  // U+2014, as UTF-8

constexpr const char* module_doc =
    "Heartbeat system " TV_EM_DASH
    " periodically wakes Tavrin so it can work autonomously 24/7.\n"
    "\n"
    "Configurable (through ``HeartbeatConfig``):\n"
    "\n"
    "- ``enabled``: whether the heartbeat runs at all;\n"
    "- ``interval_seconds``: the time between two wake-ups;\n"
    "- ``quiet_hours_start`` / ``quiet_hours_end``: a local \"%H:%M\" window in which no beat fires;\n"
    "- ``max_consecutive``: how many beats may fire without user interaction before the runner\n"
    "  pauses itself (a safety valve);\n"
    "- ``prompt``: a custom check-in prompt instead of ``DEFAULT_HEARTBEAT_PROMPT``.\n";

constexpr const char* default_prompt =
    "[HEARTBEAT] This is an automatic check-in. Review your current plan (if any) and continue working on the "
    "next pending step. If there is nothing to do, respond briefly that you're standing by. Do NOT ask the user "
    "for input " TV_EM_DASH " just continue autonomously or confirm you're idle.";

struct Names {
// clang-format off
#define TV_NAMES(X)                                                                                                \
    X(_config) X(_on_beat) X(_on_event) X(_task) X(_consecutive_beats) X(_paused) X(_stop_event) X(running)       \
    X(paused) X(consecutive_beats) X(enabled) X(interval_seconds) X(max_consecutive) X(quiet_hours_start)          \
    X(quiet_hours_end) X(prompt) X(blocked_ops) X(type) X(beat) X(max) X(reason) X(count) X(heartbeat)             \
    X(heartbeat_paused) X(max_consecutive_reached) X(is_set) X(clear) X(set) X(done) X(cancel) X(close)            \
    X(create_task) X(get_running_loop) X(sleep) X(Event) X(CancelledError) X(asyncio) X(datetime) X(now)           \
    X(strftime) X(DEFAULT_HEARTBEAT_PROMPT) X(_loop) X(_in_quiet_hours) X(start) X(stop)
// clang-format on
#define TV_DECLARE(n) Name n{#n};
    TV_NAMES(TV_DECLARE)
#undef TV_DECLARE
#undef TV_NAMES

    Name clock_format{"%H:%M"};

    // Log templates; the %d ones get their numbers as logger arguments.
    Name started{"Heartbeat started (interval=%ds, max_consecutive=%d)"};
    Name stopped{"Heartbeat stopped"};
    Name paused_by_user{"Heartbeat paused"};
    Name resumed{"Heartbeat resumed"};
    Name quiet{"Skipping heartbeat " TV_EM_DASH " quiet hours"};
    Name limit_reached{"Heartbeat paused " TV_EM_DASH " %d consecutive beats with no user interaction"};
    Name firing{"Heartbeat #%d firing"};
    Name beat_failed{"Heartbeat agent call failed"};
    Name cancelled{"Heartbeat loop cancelled"};

    PyObject* kw_name = kwnames({"name"});
};

// What status() gave last, so that the next call copies a dict whose values are in place already
// and sets only those that changed (a dict copy takes the key table whole; every insertion or
// replacement is a look-up). `dict` holds the keys of status() in their order; `values` are the
// objects it holds for the first eight, compared by identity. "blocked_ops", a new list at every
// call, stays None in it. Both are changed together, with no Python code able to run in between, and
// a value that is replaced is released only once they agree again, so a status() re-entered from a
// `__del__` or a property always finds them in step.
struct StatusMemo {
    nb::object dict;
    nb::object values[8];
    void each(auto&& f) {
        f(dict);
        for (nb::object& v : values) f(v);
    }
};

// The runner's state: its fields are the attributes `_config`, `_on_beat`, ... (see make_runner_class).
struct Runner {
    nb::object config, on_beat, on_event, task, consecutive_beats, paused, stop_event;
    StatusMemo status;
    void each(auto&& f) {
        for (nb::object* v : {&config, &on_beat, &on_event, &task, &consecutive_beats, &paused, &stop_event}) f(*v);
        status.each(f);
    }
};

using Field = nb::object Runner::*;

// Everything the module keeps for the life of the process. Allocated once and never freed, so that
// no reference is released after the interpreter has shut down.
struct Module {
    Names n;
    Logger log{"tavrin.heartbeat"};
    ModuleGlobals global;  // the module's globals, looked up at each use
    // The keys of status() in their order, each bound to None (see StatusMemo).
    nb::object status_keys;
    PyObject* status_order[8] = {n.enabled,           n.running,           n.paused,
                                 n.interval_seconds,  n.consecutive_beats, n.max_consecutive,
                                 n.quiet_hours_start, n.quiet_hours_end};
};

Module* instance = nullptr;
const Module& hb() { return *instance; }

nb::object integer(long v) { return check(PyLong_FromLong(v)); }

// The attribute name of a field.
PyObject* name_of(Field field) {
    const Names& n = hb().n;
    const std::pair<Field, PyObject*> names[] = {{&Runner::config, n._config},
                                                 {&Runner::on_beat, n._on_beat},
                                                 {&Runner::on_event, n._on_event},
                                                 {&Runner::task, n._task},
                                                 {&Runner::consecutive_beats, n._consecutive_beats},
                                                 {&Runner::paused, n._paused},
                                                 {&Runner::stop_event, n._stop_event}};
    for (auto& [f, name] : names)
        if (f == field) return name;
    return nullptr;  // not reached: every field has its name above
}

// `self.<field>`: the field itself where that is what the attribute look-up finds, else the look-up
// (which also raises the AttributeError of a field that is not set).
nb::object get(nb::handle self, Field field) {
    if (untouched<Runner>(self))
        if (const nb::object& v = state_of<Runner>(self).*field) return v;
    return attr(self, name_of(field));
}

// `self.<field> = value`. The old value is released after the field holds the new one.
void put(nb::handle self, Field field, nb::handle value) {
    if (!untouched<Runner>(self)) return set_attr(self, name_of(field), value);
    nb::object old = std::exchange(state_of<Runner>(self).*field, nb::borrow(value));
}

// `task is not None and not task.done()`.
bool task_running(nb::handle task) { return !is_none(task) && !truthy(call_method(task, hb().n.done)); }

// `self.running`: worked out here while the property is the module's own.
nb::object running(nb::handle self) {
    const Names& n = hb().n;
    if (!untouched<Runner>(self)) return attr(self, n.running);
    return boolean(task_running(get(self, &Runner::task)));
}

bool stop_requested(nb::handle self) {
    const Names& n = hb().n;
    return truthy(call_method(get(self, &Runner::stop_event), n.is_set));
}

// Closes a coroutine that will never be scheduled, so that it is not reported as "never awaited".
// Runs while another error is on its way out, so its own failure is dropped.
void discard_coroutine(nb::handle coro) noexcept {
    nb::object closed = nb::steal(PyObject_CallMethodNoArgs(coro.ptr(), hb().n.close));
    if (!closed) PyErr_Clear();
}

// ---- construction and state --------------------------------------------------------------------

nb::object init_impl(nb::handle self, nb::handle config, nb::handle on_beat, nb::handle on_event) {
    const Module& m = hb();
    const Names& n = m.n;
    put(self, &Runner::config, config);
    put(self, &Runner::on_beat, on_beat);
    put(self, &Runner::on_event, on_event);
    put(self, &Runner::task, Py_None);
    put(self, &Runner::consecutive_beats, integer(0));
    put(self, &Runner::paused, Py_False);
    put(self, &Runner::stop_event, call(attr(m.global(n.asyncio), n.Event)));
    return none();
}

// True while the loop task exists and has not finished (it may have ended by itself).
nb::object running_impl(nb::handle self) { return boolean(task_running(get(self, &Runner::task))); }

nb::object paused_impl(nb::handle self) { return get(self, &Runner::paused); }

nb::object consecutive_beats_impl(nb::handle self) { return get(self, &Runner::consecutive_beats); }

void reset_consecutive_impl(nb::handle self) { put(self, &Runner::consecutive_beats, integer(0)); }

// ---- lifecycle ---------------------------------------------------------------------------------

nb::object start_impl(nb::handle self) {
    const Module& m = hb();
    const Names& n = m.n;
    if (truthy(running(self))) return none();
    call_method(get(self, &Runner::stop_event), n.clear);
    // The running loop is fetched before the coroutine exists: without one, start() fails with the
    // loop's own RuntimeError and leaves no orphaned coroutine behind.
    nb::object loop = call(attr(m.global(n.asyncio), n.get_running_loop));
    nb::object coro = call_method(self, n._loop);
    nb::object task;
    try {
        task = call_method_kw(loop, n.create_task, n.kw_name, coro, n.heartbeat);
    } catch (nb::python_error&) {
        discard_coroutine(coro);
        throw;
    }
    put(self, &Runner::task, task);
    nb::object config = get(self, &Runner::config);
    nb::object interval = attr(config, n.interval_seconds);
    nb::object limit = attr(config, n.max_consecutive);
    m.log.log(Level::info, n.started, interval, limit);
    return none();
}

// Requests cancellation and forgets the task; the task winds down on its own.
nb::object stop_impl(nb::handle self) {
    const Module& m = hb();
    const Names& n = m.n;
    call_method(get(self, &Runner::stop_event), n.set);
    nb::object task = get(self, &Runner::task);
    if (truthy(task) && !truthy(call_method(task, n.done))) call_method(task, n.cancel);
    put(self, &Runner::task, Py_None);
    m.log.log(Level::info, n.stopped);
    return none();
}

void pause_impl(nb::handle self) {
    const Module& m = hb();
    put(self, &Runner::paused, Py_True);
    m.log.log(Level::info, m.n.paused_by_user);
}

void resume_impl(nb::handle self) {
    const Module& m = hb();
    put(self, &Runner::paused, Py_False);
    m.log.log(Level::info, m.n.resumed);
}

// A running runner restarts with the new configuration (or stays stopped when it is disabled);
// a stopped runner only takes the new record.
void update_config_impl(nb::handle self, nb::handle config) {
    const Names& n = hb().n;
    put(self, &Runner::config, config);
    if (truthy(running(self))) {
        call_method(self, n.stop);
        if (truthy(attr(config, n.enabled))) call_method(self, n.start);
    }
}

// The nine values are read in the order of their keys; then the memo takes those that changed, and
// the result is a copy of it with a new list for "blocked_ops".
nb::object status_impl(nb::handle self) {
    const Module& m = hb();
    const Names& n = m.n;
    nb::object config = get(self, &Runner::config);
    nb::object values[] = {attr(config, n.enabled),
                           running(self),
                           get(self, &Runner::paused),
                           attr(config, n.interval_seconds),
                           get(self, &Runner::consecutive_beats),
                           attr(config, n.max_consecutive),
                           attr(config, n.quiet_hours_start),
                           attr(config, n.quiet_hours_end)};
    nb::object blocked = check(PySequence_List(attr(config, n.blocked_ops).ptr()));

    std::optional<StatusMemo> scratch;  // for a status() called through the class on another kind of object
    StatusMemo& memo = has_state<Runner>(self) ? state_of<Runner>(self).status : scratch.emplace();
    if (!memo.dict) memo.dict = check(PyDict_Copy(m.status_keys.ptr()));
    for (std::size_t i = 0; i < std::size(values); ++i) {
        if (values[i].ptr() == memo.values[i].ptr()) continue;
        dict_set(memo.dict, m.status_order[i], values[i]);  // the old value lives on in memo.values[i]
        std::swap(memo.values[i], values[i]);               // and from here in values[i], until we return
    }
    nb::object d = check(PyDict_Copy(memo.dict.ptr()));
    dict_set(d, n.blocked_ops, blocked);
    return d;
}

// ---- when a beat fires -------------------------------------------------------------------------

// Whether the local wall-clock time lies in the configured quiet window. The times are compared as
// "%H:%M" texts; a window whose start is later than its end wraps past midnight.
nb::object in_quiet_hours_impl(nb::handle self) {
    const Module& m = hb();
    const Names& n = m.n;
    nb::object config = get(self, &Runner::config);
    nb::object start = attr(config, n.quiet_hours_start);
    nb::object end = attr(config, n.quiet_hours_end);
    if (!truthy(start) || !truthy(end)) return boolean(false);
    nb::object now = call_method(call_method(m.global(n.datetime), n.now), n.strftime, n.clock_format);
    if (compare(start, end, Py_LE)) return boolean(compare(start, now, Py_LE) && compare(now, end, Py_LT));
    return boolean(compare(now, start, Py_GE) || compare(now, end, Py_LT));
}

// The runner's task. Each cycle sleeps one interval, then skips the beat while stopped, paused or in
// quiet hours, pauses the runner once the consecutive-beat limit is reached, and otherwise announces
// the beat and hands the prompt to the agent. Cancellation at any await ends the loop quietly.
//
// Awaitables and event dicts are built in statements of their own before being awaited.
Coro run_loop(nb::object self) {
    const Module& m = hb();
    const Names& n = m.n;
    try {
        for (;;) {
            if (stop_requested(self)) co_return none();

            Local interval = attr(get(self, &Runner::config), n.interval_seconds);
            Local sleeping = call(attr(m.global(n.asyncio), n.sleep), interval);
            TV_AWAIT(sleeping);

            if (stop_requested(self)) co_return none();
            if (truthy(get(self, &Runner::paused))) continue;
            if (truthy(call_method(self, n._in_quiet_hours))) {
                m.log.log(Level::debug, n.quiet);
                continue;
            }

            Local beats = get(self, &Runner::consecutive_beats);
            if (compare(beats, attr(get(self, &Runner::config), n.max_consecutive), Py_GE)) {
                m.log.log(Level::info, n.limit_reached, beats);
                put(self, &Runner::paused, Py_True);
                Local on_event = get(self, &Runner::on_event);
                if (truthy(on_event)) {
                    Local event = new_dict();
                    dict_set(event, n.type, n.heartbeat_paused);
                    dict_set(event, n.reason, n.max_consecutive_reached);
                    dict_set(event, n.count, get(self, &Runner::consecutive_beats));
                    Local sending = call(on_event, event);
                    TV_AWAIT(sending);
                }
                continue;
            }

            Local prompt = attr(get(self, &Runner::config), n.prompt);
            if (!truthy(prompt)) prompt = m.global(n.DEFAULT_HEARTBEAT_PROMPT);

            Local counted = check(PyNumber_InPlaceAdd(get(self, &Runner::consecutive_beats).ptr(), integer(1).ptr()));
            put(self, &Runner::consecutive_beats, counted);
            m.log.log(Level::info, n.firing, get(self, &Runner::consecutive_beats));

            Local on_event = get(self, &Runner::on_event);
            if (truthy(on_event)) {
                Local event = new_dict();
                dict_set(event, n.type, n.heartbeat);
                dict_set(event, n.beat, get(self, &Runner::consecutive_beats));
                dict_set(event, n.max, attr(get(self, &Runner::config), n.max_consecutive));
                Local sending = call(on_event, event);
                TV_AWAIT(sending);
            }

            // The agent's failures are reported and survived; cancellation and other non-ordinary
            // errors pass on to the outer handler.
            Local failure;
            try {
                Local delivering = call(get(self, &Runner::on_beat), prompt);
                TV_AWAIT(delivering);
            } catch (nb::python_error& e) {
                if (!is_ordinary(e)) throw;
                failure = nb::borrow(e.value());
            }
            if (failure) m.log.log_exc(Level::error, failure, n.beat_failed);
        }
    } catch (nb::python_error& e) {
        if (!e.matches(attr(m.global(n.asyncio), n.CancelledError))) throw;
    }
    // Cancellation is how stop() ends the task: the task finishes normally, not as cancelled.
    m.log.log(Level::debug, n.cancelled);
    co_return none();
}

// ---- the class ---------------------------------------------------------------------------------

// The class, with the fields in the order in which __init__ sets them (the order `vars()` lists them).
nb::object make_runner_class() {
    nb::object cls = native_class<Runner>(module_name, "HeartbeatRunner",
                                          "Background async task that sends periodic heartbeats to the agent.",
                                          {{"_config", offsetof(Runner, config)},
                                           {"_on_beat", offsetof(Runner, on_beat)},
                                           {"_on_event", offsetof(Runner, on_event)},
                                           {"_task", offsetof(Runner, task)},
                                           {"_consecutive_beats", offsetof(Runner, consecutive_beats)},
                                           {"_paused", offsetof(Runner, paused)},
                                           {"_stop_event", offsetof(Runner, stop_event)}});
    auto add_property = [&](const FunctionDef* getter) {
        nb::object property = make_property(make_function(getter, module_name), nullptr);
        check(PyObject_SetAttrString(cls.ptr(), getter->name, property.ptr()));
    };

    define(cls, method<init_impl>("HeartbeatRunner.__init__", arg("config", "HeartbeatConfig"),
                                  arg("on_beat", "Callable[[str], Awaitable[Any]]"),
                                  arg("on_event", "Callable[[dict[str, Any]], Awaitable[None]] | None", none()),
                                  returns("None")));
    add_property(method<running_impl>("HeartbeatRunner.running", returns("bool")));
    add_property(method<paused_impl>("HeartbeatRunner.paused", returns("bool")));
    add_property(method<consecutive_beats_impl>("HeartbeatRunner.consecutive_beats", returns("int")));
    define(cls, method<reset_consecutive_impl>("HeartbeatRunner.reset_consecutive", returns("None"),
                                               "Call this whenever the user sends a real message."));
    define(cls, method<start_impl>("HeartbeatRunner.start", returns("None")));
    define(cls, method<stop_impl>("HeartbeatRunner.stop", returns("None")));
    define(cls, method<pause_impl>("HeartbeatRunner.pause", returns("None")));
    define(cls, method<resume_impl>("HeartbeatRunner.resume", returns("None")));
    define(cls, method<update_config_impl>("HeartbeatRunner.update_config", arg("config", "HeartbeatConfig"),
                                           returns("None")));
    define(cls, method<status_impl>("HeartbeatRunner.status", returns("dict[str, Any]")));
    define(cls, method<in_quiet_hours_impl>("HeartbeatRunner._in_quiet_hours", returns("bool")));
    define(cls, method<run_loop>("HeartbeatRunner._loop", returns("None")));

    seal_native_class<Runner>();
    return cls;
}

void define(nb::handle module, const char* name, nb::handle value) {
    check(PyObject_SetAttrString(module.ptr(), name, value.ptr()));
}

}  // namespace
}  // namespace tv::heartbeat

using namespace tv;
using namespace tv::heartbeat;

TV_MODULE(heartbeat, m) {
    check(PyModule_SetDocString(m.ptr(), module_doc));
    coroutine_type();

    instance = new Module();  // lives as long as the process, like the module
    instance->global.dict = PyModule_GetDict(m.ptr());
    {
        const Names& n = instance->n;
        nb::object keys = new_dict();
        for (PyObject* key : {n.enabled.p, n.running.p, n.paused.p, n.interval_seconds.p, n.consecutive_beats.p,
                              n.max_consecutive.p, n.quiet_hours_start.p, n.quiet_hours_end.p, n.blocked_ops.p})
            dict_set(keys, key, Py_None);
        instance->status_keys = keys;
    }

    // The host's configuration record; the module does not load without it.
    define(m, "HeartbeatConfig", import_from(str("tavrin.config").ptr(), str("HeartbeatConfig").ptr()));

    define(m, "asyncio", check(PyImport_ImportModule("asyncio")));
    define(m, "logging", check(PyImport_ImportModule("logging")));
    nb::object datetime_module = check(PyImport_ImportModule("datetime"));
    define(m, "datetime", attr(datetime_module, instance->n.datetime));
    nb::object typing = check(PyImport_ImportModule("typing"));
    for (const char* name : {"Any", "Awaitable", "Callable"}) define(m, name, attr(typing, str(name).ptr()));

    define(m, "logger", instance->log.object());
    define(m, "DEFAULT_HEARTBEAT_PROMPT", str(default_prompt));
    define(m, "HeartbeatRunner", make_runner_class());
}
