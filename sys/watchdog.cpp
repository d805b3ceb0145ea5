#include <fcntl.h>
#include <linux/watchdog.h>
#include <stdio.h>
#include <stdlib.h>

#include <mutex>

#include "include/log.h"
#include "platform/platform.h"
#include "platform/task.h"
#include "sys/sys.h"

namespace {
// The keep-alives go on until the magic close, not until the run flag
// clears: an orderly stop joins threads that may still be inside a feeding or
// a weighing for longer than the time-out. The lock keeps a keep-alive from
// meeting the close half-way (or a descriptor number already reused).
std::mutex g_wdt_lock;
bool g_wdt_open = false;

// A keep-alive only while every task (platform/task.h) has checked in within
// its bound: a thread that hangs resets the board, where it used to leave a
// feeder alive and frozen. Once one is late there is no going back: the
// board resets a time-out after the last keep-alive.
bool tasks_in_time(bool* starving) {
    TaskLate late;
    if (!*starving && task_find_late(&late)) {
        log_out("watchdog : %s silent for %lld s, keep-alives stopped\n", late.name,
                (long long)(late.silent_us / 1000000));
        *starving = true;
    }
    return !*starving;
}
}  // namespace

int watchdog_open() {
    int fd = plat_dev_open("/dev/watchdog", O_WRONLY);
    if (fd < 0) {
        perror("watchdog");
        exit(1);
    }
    log_out("watchdog open fd : %d\n", fd);
    int timeout = WATCHDOG_TIMEOUT_S;
    plat_dev_ioctl(fd, WDIOC_SETTIMEOUT, reinterpret_cast<uintptr_t>(&timeout));
    std::lock_guard<std::mutex> hold(g_wdt_lock);
    g_wdt_open = true;
    return fd;
}

void watchdog_thread_proc(int fd) {
    log_out("fd -> %d,  heartbeat : %d @ %s\n", fd, WATCHDOG_TIMEOUT_S, __func__);
    bool starving = false;
    // Keep-alives on a fixed beat: the look at the tasks and the keep-alive
    // itself take time, which a plain sleep after them would add to every
    // period. A late wake-up makes one period long, not all that follow.
    const int64_t beat_us = int64_t(WATCHDOG_KICK_S) * 1000000;
    int64_t next = plat_monotonic_us();
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(g_wdt_lock);
            if (!g_wdt_open) break;
            int dummy = WATCHDOG_TIMEOUT_S;
            if (tasks_in_time(&starving))
                plat_dev_ioctl(fd, WDIOC_KEEPALIVE, reinterpret_cast<uintptr_t>(&dummy));
        }
        next += beat_us;
        int64_t now = plat_monotonic_us();
        if (next <= now) next = now + beat_us;  // far behind: start the beat again
        plat_usleep(unsigned(next - now));
    }
    log_out("%s exit...\n", __func__);
}

void watchdog_close(int fd) {
    std::lock_guard<std::mutex> hold(g_wdt_lock);
    plat_dev_write(fd, "V", 1);
    plat_dev_close(fd);
    g_wdt_open = false;
}
