// Who kept a lock from a thread that needed it. The board's MCU answers
// within its window whatever the SoC does; the simulated one is a thread of
// the desk and may have to wait for the world's lock. When a wait runs long,
// this says which thread held the lock and how it spent the wait: on a
// core, waiting for one, or asleep with the lock held.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <mutex>
#include <string>

namespace sim {

struct LockWait {
    int64_t waited_us = 0;
    pid_t holder = 0;  // 0: not looked at (the wait was short)
    char name[16] = "";
    char state = '?';        // the holder's when looked at: R running or ready, S asleep...
    char wchan[32] = "";     // where in the kernel it slept, if it did
    int64_t ran_us = -1;     // from the look to the lock: the holder on a core
    int64_t queued_us = -1;  // and the holder ready with no core free
};

// Locks `m`. A wait past `look_after_us` looks at the holder then, and
// again once the lock is taken.
std::unique_lock<std::mutex> lock_watched(std::mutex& m, int64_t look_after_us, LockWait* w);

// "held by sched (tid 812, R when looked at): 20 ms on a core, 1290 ms
// waiting for one"; empty when the holder was not looked at.
std::string describe(const LockWait& w);

}  // namespace sim
