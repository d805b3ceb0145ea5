// board-gpio: the board's GPIO ports /dev/gpio/f and /dev/gpio/i as character
// devices served from user space (CUSE). Every request the daemon makes is
// passed as it is, one line each way, over a UART to the simulated load-cell
// converter and buttons on the host:
//   board -> host   "f 40046b02 8 ff"   port, request code, mask, value (hex)
//   host -> board   "= 0 4 1"           result, value read back (hex), and the
//                                       button interrupt line of port f
//   host -> board   "! 1"               the interrupt line, when it changes
// By-value requests (the mask as the ioctl argument itself) need unrestricted
// ioctls; by-address ones move the 8-byte GpioPins both ways through a retry.
//   board-gpio UART
#define FUSE_USE_VERSION 31
#include <cuse_lowlevel.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "include/gpio_state.h"

namespace {

// The UART to the host: one request at a time, its reply matched in order.
struct Link {
    int fd = -1;
    std::mutex call_mu;  // one request on the line at a time
    std::mutex mu;
    std::condition_variable cv;
    bool have_reply = false;
    int rc = 0;
    uint32_t value = 0;
    bool irq = false;
    std::vector<fuse_pollhandle*> pollers;  // of port f, woken when the line rises
};
Link g_link;

// One line of the host: a reply, or the interrupt line.
void take_line(const std::string& line) {
    std::lock_guard<std::mutex> hold(g_link.mu);
    int rc;
    unsigned value, level;
    bool told = false;
    if (sscanf(line.c_str(), "= %d %x %u", &rc, &value, &level) == 3) {
        g_link.rc = rc;
        g_link.value = value;
        g_link.have_reply = true;
        g_link.cv.notify_all();
        told = true;
    } else if (sscanf(line.c_str(), "! %u", &level) == 1) {
        told = true;
    }
    if (told) {
        g_link.irq = level != 0;
        if (g_link.irq) {
            for (fuse_pollhandle* ph : g_link.pollers) {
                fuse_lowlevel_notify_poll(ph);
                fuse_pollhandle_destroy(ph);
            }
            g_link.pollers.clear();
        }
    }
}

// Reads the host's lines: replies and changes of the interrupt line.
void read_host() {
    std::string line;
    char buf[128];
    for (;;) {
        ssize_t n = read(g_link.fd, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            perror("board-gpio: read");
            exit(1);
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') {
                if (line.size() < 64) line += buf[i];
                continue;
            }
            take_line(line);
            line.clear();
        }
    }
}

// One request to the host; false when it does not answer in time.
bool call(char port, uint32_t code, uint32_t mask, uint32_t value, int* rc, uint32_t* out) {
    std::lock_guard<std::mutex> one(g_link.call_mu);
    char req[64];
    int len = snprintf(req, sizeof req, "%c %x %x %x\n", port, code, mask, value);
    std::unique_lock<std::mutex> hold(g_link.mu);
    g_link.have_reply = false;
    if (write(g_link.fd, req, size_t(len)) != len) return false;
    if (!g_link.cv.wait_for(hold, std::chrono::seconds(5), [] { return g_link.have_reply; }))
        return false;
    *rc = g_link.rc;
    *out = g_link.value;
    return true;
}

char port_of(fuse_req_t req) {
    return *static_cast<const char*>(fuse_req_userdata(req));
}

void gpio_open(fuse_req_t req, fuse_file_info* fi) {
    fi->nonseekable = 1;
    fuse_reply_open(req, fi);
}

void gpio_ioctl(fuse_req_t req, int cmd, void* arg, fuse_file_info*, unsigned, const void* in_buf,
                size_t in_bufsz, size_t) {
    uint32_t code = uint32_t(cmd);
    bool by_address = code == GPIO_REQ_WRITE || code == GPIO_REQ_READ || code == GPIO_REQ_IRQ_QUERY;
    GpioPins pins = {uint32_t(uintptr_t(arg)), 0};
    if (by_address) {
        struct iovec iov = {arg, sizeof pins};
        if (in_bufsz < sizeof pins) {
            fuse_reply_ioctl_retry(req, &iov, 1, code == GPIO_REQ_WRITE ? nullptr : &iov,
                                   code == GPIO_REQ_WRITE ? 0 : 1);
            return;
        }
        memcpy(&pins, in_buf, sizeof pins);
    }
    int rc;
    uint32_t value;
    if (!call(port_of(req), code, pins.mask, pins.value, &rc, &value)) {
        fuse_reply_err(req, EIO);
        return;
    }
    if (rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    pins.value = value;
    if (by_address && code != GPIO_REQ_WRITE)
        fuse_reply_ioctl(req, rc, &pins, sizeof pins);
    else
        fuse_reply_ioctl(req, rc, nullptr, 0);
}

// Port f is readable while a button interrupt is pending.
void gpio_poll(fuse_req_t req, fuse_file_info*, fuse_pollhandle* ph) {
    unsigned events = 0;
    {
        std::lock_guard<std::mutex> hold(g_link.mu);
        if (port_of(req) == 'f' && g_link.irq) {
            events = POLLIN;
            if (ph) fuse_pollhandle_destroy(ph);
        } else if (ph) {
            g_link.pollers.push_back(ph);
        }
    }
    fuse_reply_poll(req, events);
}

const cuse_lowlevel_ops kOps = [] {
    cuse_lowlevel_ops ops;
    memset(&ops, 0, sizeof ops);
    ops.open = gpio_open;
    ops.ioctl = gpio_ioctl;
    ops.poll = gpio_poll;
    return ops;
}();

// One CUSE device, served on the calling thread until it ends.
void serve(const char* devname, char* port) {
    std::string dev = std::string("DEVNAME=") + devname;
    const char* info[] = {dev.c_str()};
    cuse_info ci;
    memset(&ci, 0, sizeof ci);
    ci.dev_info_argc = 1;
    ci.dev_info_argv = info;
    ci.flags = CUSE_UNRESTRICTED_IOCTL;
    char name[] = "board-gpio", fg[] = "-f", st[] = "-s";
    char* argv[] = {name, fg, st, nullptr};
    int multithreaded;
    fuse_session* se = cuse_lowlevel_setup(3, argv, &ci, &kOps, &multithreaded, port);
    if (!se) {
        fprintf(stderr, "board-gpio: cannot serve %s\n", devname);
        exit(1);
    }
    fuse_session_loop(se);
    cuse_lowlevel_teardown(se);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: board-gpio UART\n");
        return 2;
    }
    g_link.fd = open(argv[1], O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios tio;
    if (g_link.fd < 0 || tcgetattr(g_link.fd, &tio) < 0) {
        perror(argv[1]);
        return 1;
    }
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(g_link.fd, TCSANOW, &tio);
    tcflush(g_link.fd, TCIOFLUSH);
    std::thread(read_host).detach();
    static char f = 'f', i = 'i';
    std::thread port_i(serve, "gpio/i", &i);
    serve("gpio/f", &f);
    port_i.join();
    return 0;
}
