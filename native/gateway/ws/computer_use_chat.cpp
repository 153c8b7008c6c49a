#include "gateway.hpp"
namespace tv::gateway {
void add_computer_use_chat(nb::handle) {}
}
