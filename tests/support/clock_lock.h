// The virtual clock's own lock, for tests that hold it as a sleeper the
// machine does not run would.
#pragma once

#include <mutex>

#include "sim/clock.h"

namespace sim {
struct ClockLockHolder {
    static std::mutex& mu(VirtualClock& c) { return c.mu_; }
};
}  // namespace sim
