// Board side of the platform seam: each call is the literal system call.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/platform.h"

time_t plat_time() {
    return time(nullptr);
}
void plat_gettimeofday(struct timeval* tv) {
    gettimeofday(tv, nullptr);
}
int plat_settimeofday(const struct timeval* tv) {
    return settimeofday(tv, nullptr);
}

int64_t plat_monotonic_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void plat_sleep(unsigned seconds) {
    sleep(seconds);
}
void plat_usleep(unsigned microseconds) {
    usleep(microseconds);
}
int plat_poll(struct pollfd* fds, nfds_t nfds, int timeout_ms) {
    return poll(fds, nfds, timeout_ms);
}

std::string plat_path(const char* fixed) {
    return fixed;
}
key_t plat_msgq_key(key_t fixed) {
    return fixed;
}

int plat_dev_open(const char* fixed, int flags) {
    return open(fixed, flags);
}
int plat_dev_ioctl(int fd, unsigned long request, uintptr_t arg) {
    return ioctl(fd, request, arg);
}
ssize_t plat_dev_write(int fd, const void* buf, size_t len) {
    return write(fd, buf, len);
}
int plat_dev_close(int fd) {
    return close(fd);
}

int plat_if_hwaddr(const char* ifname, unsigned char mac[6]) {
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    int rc = ioctl(sock, SIOCGIFHWADDR, &ifr);
    if (sock >= 0) close(sock);
    if (rc < 0) return -1;
    memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    return 0;
}

int plat_resolve(const char* host) {
    return gethostbyname(host) ? 0 : -1;
}

int plat_system(const char* cmd) {
    return system(cmd);
}
FILE* plat_popen(const char* cmd, const char* mode) {
    return popen(cmd, mode);
}
int plat_pclose(FILE* fp) {
    return pclose(fp);
}
