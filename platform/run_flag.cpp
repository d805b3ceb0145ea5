#include "platform/run_flag.h"

#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

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
