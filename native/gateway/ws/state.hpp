// What the module keeps in C++ alone between calls, in one struct with one reset (state.cpp describes
// the Python-visible state beside it). Nothing here owns a Python reference: the keys are identities,
// and an outbox in the map owns itself (it leaves the map when it goes), so there is nothing for the
// collector to see and nothing a reset could leak.
#pragma once

#include "gateway.hpp"

#include <climits>
#include <cstdint>
#include <unordered_map>

namespace tv::gateway {

namespace streams {
struct OutboxObject;
}

// A boolean setting of the module, read again only when a global has changed (while it is a bool,
// whose truth cannot change on its own).
struct Switch {
    std::uint64_t seen = ModuleGlobals::never;
    bool on = false;

    bool read(PyObject* name) {
        const Gateway& g = gw();
        if (g.global.current(seen)) return on;
        std::uint64_t now = seen;
        nb::object value = g.global(name);
        on = truthy(value);
        seen = PyBool_Check(value.ptr()) ? now : ModuleGlobals::never;
        return on;
    }
};

// The retention bounds of a session's stream, read again only when a global of the module has changed.
struct Retention {
    std::uint64_t seen = ModuleGlobals::never;
    long long events = LLONG_MAX, bytes = LLONG_MAX;
};

struct ModuleState {
    // Handshakes under way, per manager (manager.cpp; each held by its AdmissionSlot).
    std::unordered_map<PyObject*, Py_ssize_t> admitting;
    // The outbox of each socket that has one, found by its socket (stream_outbox.cpp).
    std::unordered_map<PyObject*, streams::OutboxObject*> outboxes;
    // The process-wide event counter (session_stream.cpp). A reset keeps it: numbers only grow.
    long long last_seq = 0;
    Retention retention;
    Switch session_streams;  // _SESSION_STREAMS
    Switch fair_broadcast;   // _FAIR_BROADCAST

    // For `_reset_state()`: what a test left behind is not seen by the next one. Outboxes still alive
    // leave the map with what waited in them, so a later socket never finds one of an earlier test.
    void reset();
};

// Made when the module is loaded; never destroyed (an outbox may go while the interpreter shuts down).
extern ModuleState& module_state;

}  // namespace tv::gateway
