// The simulated world's GPIO ports served over a UART to an emulated board
// (its GPIO server, tools/board/gpio_cuse.cpp).
#pragma once

#include <string>

namespace sim {

class World;

// Opens a pty for the board's UART and answers its requests on a thread of
// its own; returns the pty's path, empty on failure.
std::string gpio_bridge_start(World& w);
void gpio_bridge_stop(World& w);

}  // namespace sim
