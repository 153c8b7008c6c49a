#include "gateway.hpp"
namespace tv::gateway {
void add_watchdog(nb::handle) {}
}
