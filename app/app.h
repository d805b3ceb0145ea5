// Start-up, supervision loop and shutdown.
#pragma once

#include <atomic>

// The run flag: every thread loops while it is non-zero. Cleared by SIGINT,
// by the factory default and by a failed serial-port open; never set back.
extern std::atomic<int> sig_flag;

void sig_handler(int signo);

// Clears the run flag and wakes whoever waits on app_stop_fd(). Safe in a
// signal handler.
void app_stop();
// Readable once the program is stopping; -1 before app_run set it up.
int app_stop_fd();

// The whole life of the daemon; returns the process exit status.
int app_run();
