// The GPIO ports of the simulated world for a board emulated elsewhere: the
// board's GPIO server (tools/board/gpio_cuse.cpp) sends each request the
// daemon makes over a UART, and this answers it from the load-cell converter
// and the buttons, exactly as the simulation side of the seam would.
//   board -> here   "f 40046b02 8 ff"   port, request code, mask, value (hex)
//   here -> board   "= 0 4 1"           result, value read back (hex), port f's
//                                       interrupt line (pending button edges)
//   here -> board   "! 1"               the interrupt line, when it changes
#include "sim/gpio_bridge.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "include/gpio_state.h"
#include "include/thread_name.h"
#include "sim/devices.h"
#include "sim/world.h"

namespace sim {

namespace {

struct Bridge {
    int master = -1;
    int hold = -1;  // the board side, kept open while the emulator restarts
    int port_f = -1, port_i = -1;
    int level = -1;  // the interrupt line as last told; -1: never
    int wake = -1;   // eventfd: time to stop
    std::atomic<bool> stop{false};
    std::thread th;
};
Bridge* g_bridge = nullptr;

bool readable(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

void send_line(Bridge& b, const char* text) {
    size_t len = strlen(text);
    if (write(b.master, text, len) != ssize_t(len)) perror("gpio bridge write");
}

void tell_level(Bridge& b) {
    int level = readable(b.port_f) ? 1 : 0;
    if (level == b.level) return;
    b.level = level;
    send_line(b, level ? "! 1\n" : "! 0\n");
}

// One request line: the request goes to the world's port as the daemon made it.
void answer(World& w, Bridge& b, const std::string& line) {
    char port;
    unsigned code, mask, value;
    if (sscanf(line.c_str(), "%c %x %x %x", &port, &code, &mask, &value) != 4 ||
        (port != 'f' && port != 'i')) {
        send_line(b, "= -22 0 0\n");
        return;
    }
    int fd = port == 'f' ? b.port_f : b.port_i;
    bool by_address = code == GPIO_REQ_WRITE || code == GPIO_REQ_READ || code == GPIO_REQ_IRQ_QUERY;
    GpioPins pins = {mask, value};
    errno = 0;
    int rc = dev_ioctl(w, fd, code, by_address ? uintptr_t(&pins) : uintptr_t(mask));
    int err = errno;
    b.level = readable(b.port_f) ? 1 : 0;
    char reply[32];
    snprintf(reply, sizeof reply, "= %d %x %d\n", rc < 0 ? -err : rc, pins.value, b.level);
    send_line(b, reply);
}

void run(World& w, Bridge& b) {
    std::string line;
    char buf[256];
    tell_level(b);
    while (!b.stop) {
        // The interrupt line is watched only while it is low: a pending
        // edge keeps the port readable until the board acknowledges it.
        struct pollfd p[3] = {{b.master, POLLIN, 0}, {b.wake, POLLIN, 0}, {b.port_f, POLLIN, 0}};
        int rc = poll(p, b.level == 1 ? 2 : 3, -1);
        if (rc < 0 && errno != EINTR) break;
        if (rc > 0 && (p[0].revents & POLLIN)) {
            ssize_t n = read(b.master, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] != '\n') {
                    if (line.size() < 64) line += buf[i];
                    continue;
                }
                answer(w, b, line);
                line.clear();
            }
        }
        tell_level(b);
    }
}

}  // namespace

std::string gpio_bridge_start(World& w) {
    auto* b = new Bridge;
    b->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (b->master < 0 || grantpt(b->master) < 0 || unlockpt(b->master) < 0) {
        perror("posix_openpt");
        delete b;
        return "";
    }
    std::string path = ptsname(b->master);
    b->hold = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios tio;
    if (b->hold >= 0 && tcgetattr(b->hold, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(b->hold, TCSANOW, &tio);
    }
    b->wake = eventfd(0, EFD_CLOEXEC);
    b->port_f = dev_open(w, "/dev/gpio/f", O_RDWR);
    b->port_i = dev_open(w, "/dev/gpio/i", O_RDWR);
    g_bridge = b;
    b->th = std::thread([&w, b] { run(w, *b); });
    name_thread(b->th, "sim-gpio");
    return path;
}

void gpio_bridge_stop(World& w) {
    Bridge* b = g_bridge;
    if (!b) return;
    b->stop = true;
    uint64_t one = 1;
    if (write(b->wake, &one, sizeof one) < 0) perror("eventfd");
    b->th.join();
    close(b->wake);
    dev_close(w, b->port_f);
    dev_close(w, b->port_i);
    close(b->master);
    if (b->hold >= 0) close(b->hold);
    delete b;
    g_bridge = nullptr;
}

}  // namespace sim
