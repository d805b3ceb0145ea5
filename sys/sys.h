// Housekeeping: the hardware watchdog and the clock.
#pragma once

#include <stdint.h>

enum { WATCHDOG_TIMEOUT_S = 15, WATCHDOG_KICK_S = 5, NTP_PERIOD_PASSES = 43201 };

int watchdog_open();  // ends the process with status 1 when the device is missing
// Keeps it fed until watchdog_close, while every task is within its bound.
void watchdog_thread_proc(int fd);
void watchdog_close(int fd);  // magic close: the driver disarms

void ntp_thread_proc();
// Links /etc/localtime to the device's zone, and local times follow it from
// then on. The clock thread's first step.
void time_zone_link();
void time_sync();
// First line of "date +%Y/%m/%d-%u-%H:%M:%S", line end kept; empty when the
// command gives nothing. `buf` holds at least 80 bytes. Returns 0.
int get_date_text(char* buf);
// Seconds since the epoch from "date +%s"; -1 when the command gives no number.
int64_t get_epoch_seconds();
