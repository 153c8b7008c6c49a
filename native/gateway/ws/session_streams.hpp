// What the rest of the gateway asks of session streams (session_stream.cpp and the stream_*.cpp files;
// their own state is in stream.hpp).
#pragma once

#include "gateway.hpp"

namespace tv::gateway {

// ---- Session streams (session_stream.cpp), when `_SESSION_STREAMS` is on ----

// Whether session streams are on: `_SESSION_STREAMS` now (re-read only when a module global changed).
// Off, nothing touches stream bookkeeping.
bool streams_enabled();

// What a chat for `session_id` from `ws` talks to: the session's stream, with `ws` attached to it, when
// streams are on; else `ws` itself. For an id the registry does not know, a stream of that chat alone
// (`*unlisted` set): nobody else can watch that turn, so it ends with its connection.
nb::object chat_target(nb::handle ws, nb::handle session_id, bool* unlisted);

// Detaches `ws` from every session stream when streams are on (then its turns are left to the grace
// period, and true is returned); false, touching nothing, when they are off.
bool detach_everywhere(nb::handle ws);

// The session's stream when streams are on, for the host's broadcasts to a session; else a null handle.
nb::object session_stream_target(nb::handle session_id);

// The session's stream if it has one and streams are on; else a null handle. Never makes one.
nb::object existing_stream(nb::handle session_id);

// Whether `ws` is attached to `stream`.
bool is_attached(nb::handle stream, nb::handle ws);

// Runs stream bookkeeping that follows a handler's own work (forgetting a decided approval, dropping a
// closed session's stream). It never costs the client its reply: an ordinary error in it (an id that
// cannot be a key, a result whose truth cannot be told) is logged at DEBUG and dropped.
template <typename F>
void stream_bookkeeping(F&& work) {
    try {
        work();
    } catch (nb::python_error& e) {
        if (!is_ordinary(e)) throw;
        const Gateway& g = gw();
        if (g.log.enabled(Level::debug))
            g.log.log_exc(Level::debug, e.value(), str("Session stream bookkeeping failed"));
    }
}

// A closed session's stream goes, with its journal and its grace timer.
void drop_stream(nb::handle session_id);

// An approval was decided: no stream shows it as pending any more.
void forget_approval(nb::handle approval_id);

}  // namespace tv::gateway
