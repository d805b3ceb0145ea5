// The simulated MCU is a chip of its own on the board: it answers within its
// window whatever the SoC is busy with. On a desk it is one thread among the
// desk's, so its thread runs ahead of ordinary work, and the locks it shares
// with ordinary threads lend their holder its priority while it waits.
#pragma once

#include <mutex>
#include <string>
#include <thread>

namespace sim {

// Turns `m`, not yet used, into a priority-inheriting lock.
void inherit_priority(std::mutex& m);

// Runs `t` ahead of ordinary threads (real-time FIFO, a low priority). False,
// with the reason, where the desk does not allow it: the thread then runs as
// before.
bool run_ahead(std::thread& t, std::string* why);

}  // namespace sim
