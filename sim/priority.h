// The simulated MCU is a chip of its own on the board: it answers within its
// window whatever the SoC is busy with. On a desk it is one thread among the
// desk's, so its thread runs ahead of ordinary work.
#pragma once

#include <string>
#include <thread>

namespace sim {

// Runs `t` ahead of ordinary threads (real-time FIFO, a low priority). False,
// with the reason, where the desk does not allow it: the thread then runs as
// before.
//
// The locks it shares stay ordinary ones. Priority-inheriting locks hand a
// released lock straight to the first waiter, runnable or not: on a loaded
// desk the clock's lock, which every thread takes, then went round as a
// convoy and stalled whole daemons for seconds.
bool run_ahead(std::thread& t, std::string* why);

}  // namespace sim
