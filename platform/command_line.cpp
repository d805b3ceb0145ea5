#include <errno.h>
#include <poll.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "platform/command_limit.h"
#include "platform/platform.h"

namespace {

int64_t machine_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Up to the first line end, the end of the output or the deadline. The pipe
// is real on both sides, and so is the time its writer takes.
void read_line(int fd, char* buf, int n, int64_t deadline_ms) {
    int len = 0;
    while (len < n - 1) {
        int64_t left = deadline_ms - machine_ms();
        if (left <= 0) break;
        struct pollfd p = {fd, POLLIN, 0};
        int rc = poll(&p, 1, int(left));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) break;
        ssize_t got = read(fd, buf + len, size_t(n - 1 - len));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        char* nl = static_cast<char*>(memchr(buf + len, '\n', size_t(got)));
        len += int(got);
        if (nl) {
            memset(nl + 1, 0, size_t(buf + n - (nl + 1)));
            break;
        }
    }
}

}  // namespace

bool plat_command_line(const char* cmd, char* buf, int n, int limit_ms) {
    memset(buf, 0, size_t(n));
    limit_ms = command_limit_or_own(cmd, limit_ms);
    int64_t deadline = machine_ms() + limit_ms;
    FILE* p = plat_popen(cmd, "r", limit_ms);
    if (!p) return false;
    read_line(fileno(p), buf, n, deadline);
    plat_pclose(p);
    return true;
}
