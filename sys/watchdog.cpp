#include <fcntl.h>
#include <linux/watchdog.h>
#include <stdio.h>
#include <stdlib.h>

#include "include/log.h"
#include "platform/platform.h"
#include "platform/run_flag.h"
#include "sys/sys.h"

int watchdog_open() {
    int fd = plat_dev_open("/dev/watchdog", O_WRONLY);
    if (fd < 0) {
        perror("watchdog");
        exit(1);
    }
    log_out("watchdog open fd : %d\n", fd);
    int timeout = WATCHDOG_TIMEOUT_S;
    plat_dev_ioctl(fd, WDIOC_SETTIMEOUT, reinterpret_cast<uintptr_t>(&timeout));
    return fd;
}

void watchdog_thread_proc(int fd) {
    log_out("fd -> %d,  heartbeat : %d @ %s\n", fd, WATCHDOG_TIMEOUT_S, __func__);
    while (sig_flag) {
        int dummy = WATCHDOG_TIMEOUT_S;
        plat_dev_ioctl(fd, WDIOC_KEEPALIVE, reinterpret_cast<uintptr_t>(&dummy));
        plat_sleep(WATCHDOG_KICK_S);
    }
    log_out("%s exit...\n", __func__);
}

void watchdog_close(int fd) {
    plat_dev_write(fd, "V", 1);
    plat_dev_close(fd);
}
