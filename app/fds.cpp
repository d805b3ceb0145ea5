#include "app/fds.h"

#include <poll.h>
#include <stdio.h>
#include <string.h>

#include <list>
#include <new>

#include "gpio/buttons.h"
#include "include/log.h"
#include "include/result_codes.h"
#include "platform/platform.h"

namespace {

struct FdEntry {
    int fd;
    FdHandler r_event;
};
std::list<FdEntry> first_fds;  // in registration order; one thread uses it

}  // namespace

int fds_add(int fd, FdHandler r_event) {
    // The poll table has room for FDS_MAX: a descriptor past it would never
    // be polled, so it is refused rather than silently ignored.
    if (first_fds.size() >= FDS_MAX) {
        log_out("fds_add : registry full (%d descriptors), %d not added\n", FDS_MAX, fd);
        return -1;
    }
    try {
        first_fds.push_back({fd, r_event});
    } catch (const std::bad_alloc&) {
        fprintf(stderr, "malloc() failed\n");
        return -1;
    }
    return 0;
}

int fds_loop() {
    struct pollfd table[FDS_MAX];
    memset(table, 0, sizeof table);
    log_out("------------------------- start event loop ---------------------\n");
    nfds_t n = 0;
    for (const FdEntry& e : first_fds) table[n++] = {e.fd, POLLIN, 0};
    int rc = plat_poll(table, n, 10000);
    if (rc < 0) {
        perror("  poll() failed");
        return __EVT_ERROR;
    }
    if (rc == 0) {
        log_out("  poll() timed out..\n");
        return __EVT_TIMEOUT;
    }
    nfds_t i = 0;
    for (const FdEntry& e : first_fds) {
        const struct pollfd& p = table[i++];
        if (p.revents == 0) continue;
        if (p.revents != POLLIN) {
            log_out("  Error! revents = %d\n", p.revents);
            return __EVT_ERROR;
        }
        log_out("  Descriptor %d (= %d) is readable\n", p.fd, e.fd);
        int result = e.r_event(e.fd);
        log_out("  r_event returned : %d\n", result);
        bttn_action(result);
    }
    return __EVT_DONE;
}

int fds_clear() {
    if (first_fds.empty()) return -1;
    first_fds.clear();
    return 0;
}
