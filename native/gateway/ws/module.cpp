// The module object of `tavrin.gateway.ws`: its documentation, imports, constants and members.
#include "gateway.hpp"
#include "texts.hpp"
#include "runtime/async.hpp"
#include "runtime/module.hpp"

namespace tv::gateway {

Gateway* gateway_instance = nullptr;
std::optional<Texts> texts_instance;

// Registration of the module's members, one function per source file; add_state (state.cpp) defines
// everything the module keeps between calls.
void add_state(nb::handle module);
void add_manager(nb::handle module);
void add_endpoint(nb::handle module);
void add_dispatch(nb::handle module);
void add_chat(nb::handle module);
void add_standard_chat(nb::handle module);
void add_computer_use_chat(nb::handle module);
void add_watchdog(nb::handle module);
void add_control(nb::handle module);
void add_slow_client(nb::handle module);
void add_session_stream(nb::handle module);

}  // namespace tv::gateway

using namespace tv;
using namespace tv::gateway;

static const char* module_doc =
    "WebSocket handler for real-time chat with the agent.\n"
    "\n"
    "Two agent modes answer a chat message:\n"
    "\n"
    "- the standard agent (primary): the session's own agent, driven by a language model with\n"
    "  function calling, which reads the screen through accessibility-tree snapshots; its events\n"
    "  are streamed to the client as they come;\n"
    "- the Computer Use agent, which works from screenshots, used only on explicit request: the\n"
    "  client's \"computer_use\" flag or a phrase such as \"use computer use\" in the text.\n"
    "\n"
    "Multi-session design: every message carries a ``session_id``; every session has its own agent\n"
    "and its own lock, so conversations in different sessions run in parallel while the turns of\n"
    "one session run one at a time. A message without a session id goes to \"session_main\".\n";

TV_MODULE(ws, m) {
    check(PyModule_SetDocString(m.ptr(), module_doc));
    coroutine_type();

    gateway_instance = new Gateway();  // lives as long as the process, like the module
    texts_instance.emplace();
    gateway_instance->global.dict = PyModule_GetDict(m.ptr());

    // The standard modules and framework names a Python module of this kind would import.
    define(m, "asyncio", check(PyImport_ImportModule("asyncio")));
    define(m, "json", check(PyImport_ImportModule("json")));
    define(m, "logging", check(PyImport_ImportModule("logging")));
    nb::object fastapi = check(PyImport_ImportModule("fastapi"));
    define(m, "APIRouter", attr(fastapi, str("APIRouter").ptr()));
    define(m, "WebSocket", attr(fastapi, str("WebSocket").ptr()));
    define(m, "WebSocketDisconnect", attr(fastapi, str("WebSocketDisconnect").ptr()));
    define(m, "logger", gw().log.object());

    add_state(m);
    add_manager(m);
    add_endpoint(m);
    add_dispatch(m);
    add_chat(m);
    add_standard_chat(m);
    add_computer_use_chat(m);
    add_watchdog(m);
    add_control(m);
    add_slow_client(m);
    add_session_stream(m);
    gw().global.watch();  // values derived from globals (the journal's bounds) are kept until one changes
}
