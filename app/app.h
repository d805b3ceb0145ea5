// Start-up, supervision loop and shutdown.
#pragma once

#include "platform/run_flag.h"

// SIGINT: the orderly stop (clears the run flag).
void sig_handler(int signo);

// The whole life of the daemon; returns the process exit status.
int app_run();

// One supervision pass's look for the firmware updater: started when no line
// of the process listing names it.
void supervise_updater();
