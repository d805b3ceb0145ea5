// Simulation side of the platform seam: the same calls, answered by the
// board simulator (sim/) in virtual time.
#include <errno.h>
#include <string.h>

#include "platform/command_limit.h"
#include "platform/platform.h"
#include "platform/task.h"
#include "sim/devices.h"
#include "sim/world.h"

using sim::World;

time_t plat_time() {
    return time_t(World::get().clock().now_us() / 1000000);
}

void plat_gettimeofday(struct timeval* tv) {
    int64_t us = World::get().clock().now_us();
    tv->tv_sec = time_t(us / 1000000);
    tv->tv_usec = suseconds_t(us % 1000000);
}

int plat_settimeofday(const struct timeval* tv) {
    World& w = World::get();
    w.clock().set_time(int64_t(tv->tv_sec) * 1000000 + tv->tv_usec);
    std::lock_guard<std::mutex> hold(w.mu());
    w.log("clock", "settimeofday " + std::to_string(tv->tv_sec));
    return 0;
}

int64_t plat_monotonic_us() {
    return World::get().clock().monotonic_us();
}
void plat_sleep(unsigned seconds) {
    TaskWait wait(int64_t(seconds) * 1000000);
    World::get().clock().sleep_us(int64_t(seconds) * 1000000);
}
void plat_usleep(unsigned microseconds) {
    World::get().clock().sleep_us(microseconds);
}
int plat_poll(struct pollfd* fds, nfds_t nfds, int timeout_ms) {
    TaskWait wait(timeout_ms < 0 ? TASK_UNBOUNDED : int64_t(timeout_ms) * 1000);
    return World::get().clock().poll(fds, nfds, timeout_ms);
}

void plat_thread_coming() {
    World::get().clock().expect_thread();
}
void plat_thread_arrived() {
    World::get().clock().thread_arrived();
}

std::string plat_path(const char* fixed) {
    return World::get().path(fixed);
}

key_t plat_msgq_key(key_t fixed) {
    key_t own = World::get().msgq_key;
    return own ? own : fixed;
}

int plat_dev_open(const char* fixed, int flags) {
    return sim::dev_open(World::get(), fixed, flags);
}
int plat_dev_ioctl(int fd, unsigned long request, uintptr_t arg) {
    return sim::dev_ioctl(World::get(), fd, request, arg);
}
ssize_t plat_dev_write(int fd, const void* buf, size_t len) {
    return sim::dev_write(World::get(), fd, buf, len);
}
int plat_dev_close(int fd) {
    return sim::dev_close(World::get(), fd);
}

int plat_if_hwaddr(const char* ifname, unsigned char mac[6]) {
    World& w = World::get();
    std::lock_guard<std::mutex> hold(w.mu());
    if (strcmp(ifname, "wlan0") != 0 || !w.has_wlan0) {
        errno = ENODEV;
        return -1;
    }
    memcpy(mac, w.mac, 6);
    return 0;
}

int plat_resolve(const char* host) {
    World& w = World::get();
    std::lock_guard<std::mutex> hold(w.mu());
    w.log("resolve", host);
    return w.shell.network_up ? 0 : -1;
}

int plat_system(const char* cmd, int limit_ms) {
    return sim::shell_system(World::get(), cmd, command_limit_or_own(cmd, limit_ms));
}
// The simulated programs that print (date, the ps listing) answer at once.
FILE* plat_popen(const char* cmd, const char* mode, int) {
    return sim::shell_popen(World::get(), cmd, mode);
}
int plat_pclose(FILE* fp) {
    return fclose(fp);
}
