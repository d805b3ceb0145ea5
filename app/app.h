// Start-up, supervision loop and shutdown.
#pragma once

#include <atomic>

// The run flag: every thread loops while it is non-zero. Cleared by SIGINT,
// by the factory default and by a failed serial-port open; never set back.
extern std::atomic<int> sig_flag;

void sig_handler(int signo);

// The whole life of the daemon; returns the process exit status.
int app_run();
