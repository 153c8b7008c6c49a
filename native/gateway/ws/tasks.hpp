// The tasks the gateway starts in the background (a chat turn, its watchdog, a socket's writer, the
// closing of a slow client) and the registries that find them.
#pragma once

#include "gateway.hpp"

namespace tv::gateway {

// `if registry.get(key) is value: del registry[key]`: forgets an entry (a task, a stream) only while it
// is still the registered one, so that a finishing predecessor never removes its successor.
inline void forget_if_current(nb::handle registry, nb::handle key, nb::handle value) {
    nb::object current = gw().get(registry, key);
    if (current.ptr() == value.ptr()) check(PyObject_DelItem(registry.ptr(), key.ptr()));
}

// `asyncio.create_task(coro, name=name)`, through the module's `asyncio` global.
inline nb::object create_task(nb::handle coro, nb::handle name) {
    const Gateway& g = gw();
    nb::object create = attr(g.global(g.n.asyncio), g.n.create_task);
    return call_kw(create, g.n.kw_name, coro, name);
}

}  // namespace tv::gateway
