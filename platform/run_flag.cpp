#include "platform/run_flag.h"

#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/platform.h"

std::atomic<int> sig_flag{1};

namespace {
int g_stop_fd = -1;
}

void app_stop() {
    sig_flag = 0;
    if (g_stop_fd >= 0) {
        uint64_t one = 1;
        ssize_t rc = write(g_stop_fd, &one, sizeof one);  // async-signal-safe
        (void)rc;
    }
}

int app_stop_fd() {
    return g_stop_fd;
}

void app_stop_fd_open() {
    if (g_stop_fd < 0) g_stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

bool run_wait(unsigned seconds) {
    if (!sig_flag) return false;
    if (g_stop_fd < 0) {
        plat_sleep(seconds);
        return sig_flag != 0;
    }
    // The stop descriptor stays readable once stopping, so every later wait
    // ends at once too.
    int64_t end = plat_monotonic_us() + int64_t(seconds) * 1000000;
    for (;;) {
        int64_t left_ms = (end - plat_monotonic_us() + 999) / 1000;
        if (left_ms <= 0 || !sig_flag) break;
        struct pollfd p = {g_stop_fd, POLLIN, 0};
        plat_poll(&p, 1, int(left_ms));
    }
    return sig_flag != 0;
}
