// The run flag: every thread of the daemon loops while it is non-zero.
// Cleared by SIGINT, by the factory default, by the updater's stop message
// and by a failed serial-port open; never set back.
#pragma once

#include <atomic>

extern std::atomic<int> sig_flag;

// Clears the run flag and wakes whoever waits on app_stop_fd(). Safe in a
// signal handler.
void app_stop();
// Readable once the program is stopping; -1 until app_stop_fd_open().
int app_stop_fd();
// Creates the stop descriptor, once, before the threads that wait on it start.
void app_stop_fd_open();

// Sleeps `seconds` on the platform clock, or less when the program stops
// meanwhile: a wait inside a feeding must not hold an orderly stop for
// minutes. True when the whole time passed and the program still runs.
bool run_wait(unsigned seconds);
