#include "fuzz/mcu_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "fuzz/harness.h"
#include "mcu/ucom.h"
#include "sim/world.h"

namespace fuzz {

namespace {
int g_master = -1;
int g_port = -1;
int g_hold = -1;  // keeps the slave open, as the board's UART always is
// Written from the daemon's side after a run; no frame holds this sequence.
const std::string kMarker = "\xEE\x11\xEE\x22\xEE\x33\xEE\x44\xEE\x55";
}  // namespace

int mcu_open() {
    g_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (g_master < 0 || grantpt(g_master) < 0 || unlockpt(g_master) < 0) abort();
    const char* slave = ptsname(g_master);
    g_hold = open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios tio;
    if (g_hold < 0 || tcgetattr(g_hold, &tio) < 0) abort();
    cfmakeraw(&tio);
    tcsetattr(g_hold, TCSANOW, &tio);
    std::string link = sim::World::get().path("/dev/ttyAMA3");
    unlink(link.c_str());
    if (symlink(slave, link.c_str()) < 0) abort();
    g_port = ucom_open();
    if (g_port <= 0) abort();
    return g_port;
}

int mcu_master() {
    return g_master;
}

void mcu_say(const std::string& bytes) {
    if (!bytes.empty() && write(g_master, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
        abort();
}

std::string mcu_heard() {
    if (write(g_hold, kMarker.data(), kMarker.size()) != ssize_t(kMarker.size())) abort();
    std::string got;
    char buf[256];
    while (got.size() < kMarker.size() ||
           got.compare(got.size() - kMarker.size(), kMarker.size(), kMarker) != 0) {
        struct pollfd p = {g_master, POLLIN, 0};
        FUZZ_CHECK(poll(&p, 1, 5000) == 1, "the line went silent: %s", hex(got).c_str());
        ssize_t k = read(g_master, buf, sizeof buf);
        if (k <= 0) abort();
        got.append(buf, size_t(k));
    }
    got.resize(got.size() - kMarker.size());
    return got;
}

void mcu_quiet() {
    tcflush(g_port, TCIFLUSH);
}

uint8_t frame_sum(const std::string& bytes) {
    uint8_t sum = 0;
    for (char c : bytes) sum = uint8_t(sum + uint8_t(c));
    return uint8_t(~sum);
}

std::string frame(uint8_t code, const std::string& data) {
    std::string body = std::string(1, char(code)) + data;
    return std::string("\xA1", 1) + char(body.size()) + body + char(frame_sum(body)) + "\xA8";
}

bool has_checked_window(const std::string& b) {
    // With prefix sums P, the window [s, e) passes when b[e-2] is the
    // complement of P[e-2] - P[s+2]: one pass remembering the P seen so far.
    bool seen[256] = {false};
    uint8_t sum = 0;  // P[k]
    for (size_t k = 0; k + 2 <= b.size(); ++k) {
        if (k >= 2) {
            seen[sum] = true;
            if (seen[uint8_t(uint8_t(b[k]) + 1 + sum)]) return true;
        }
        sum = uint8_t(sum + uint8_t(b[k]));
    }
    return false;
}

std::string hex(const std::string& b) {
    std::string s;
    char t[4];
    for (char c : b) {
        snprintf(t, sizeof t, "%02x ", uint8_t(c));
        s += t;
    }
    return s;
}

}  // namespace fuzz
