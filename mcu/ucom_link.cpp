// Serial port, frame format, checksum and the request/reply exchange.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <mutex>

#include "include/log.h"
#include "include/result_codes.h"
#include "mcu/ucom.h"
#include "platform/platform.h"

namespace {
const char kPort[] = "/dev/ttyAMA3";
int g_ucom_fd = 0;
std::mutex ucom_lock;  // one exchange at a time; innermost lock of the program
}  // namespace

int ucom_get_fd() {
    return g_ucom_fd;
}

int ucom_set_attribs(int fd, int speed, int parity) {
    struct termios tty;
    memset(&tty, 0, sizeof tty);
    if (tcgetattr(fd, &tty) != 0) {
        fprintf(stderr, "error %d from tcgetattr\n", errno);
        return -1;
    }
    cfsetospeed(&tty, speed);
    cfsetispeed(&tty, speed);
    tty.c_cflag |= CS8;
    tty.c_iflag &= ~IGNBRK;
    tty.c_lflag = 0;
    tty.c_oflag = 0;
    tty.c_cc[VMIN] = 0;
    tty.c_cc[VTIME] = 6;
    tty.c_iflag &= ~(IXON | IXOFF | IXANY);
    // Frames are binary: a port left with the usual ICRNL would turn every
    // 0x0D byte of a reply into 0x0A and break its checksum.
    tty.c_iflag &= ~(INLCR | IGNCR | ICRNL | ISTRIP);
    tty.c_cflag |= CLOCAL | CREAD;
    tty.c_cflag &= ~(PARENB | PARODD);
    tty.c_cflag |= parity;
    tty.c_cflag &= ~CSTOPB;
    tty.c_cflag &= ~CRTSCTS;
    if (tcsetattr(fd, TCSANOW, &tty) != 0) {
        fprintf(stderr, "error %d from tcsetattr\n", errno);
        return -1;
    }
    return 0;
}

void ucom_set_blocking(int fd, int should_block) {
    struct termios tty;
    memset(&tty, 0, sizeof tty);
    if (tcgetattr(fd, &tty) != 0) {
        fprintf(stderr, "error %d from tggetattr\n", errno);
        return;
    }
    tty.c_cc[VMIN] = should_block ? 1 : 0;
    tty.c_cc[VTIME] = 6;
    if (tcsetattr(fd, TCSANOW, &tty) != 0)
        fprintf(stderr, "error %d setting term attributes\n", errno);
}

int ucom_open() {
    int fd = open(plat_path(kPort).c_str(), O_RDWR | O_NOCTTY | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "error %d opening %s: %s\n", errno, kPort, strerror(errno));
        raise(SIGINT);
        return __UCOM_ERROR;
    }
    log_out("ucom open fd : %d\n", fd);
    ucom_set_attribs(fd, B115200, PARENB | PARODD);
    ucom_set_blocking(fd, 0);
    g_ucom_fd = fd;
    return fd;
}

int ucom_close(int fd) {
    if (fd > 0 && fd == g_ucom_fd) {
        close(fd);
        g_ucom_fd = 0;
    }
    return 0;
}

uint8_t ucom_checksum(int n, const uint8_t* p) {
    uint8_t sum = 0;
    for (int i = 0; i < n; ++i) sum = uint8_t(sum + p[i]);
    return uint8_t(sum ^ 0xFF);
}

bool ucom_reply_ok(const uint8_t* p, int n) {
    return n >= 4 && p[n - 2] == ucom_checksum(n - 4, p + 2);
}

void ucom_dump(int flag, const char* name, int len, const uint8_t* p) {
    // Built in one buffer so that lines of two threads never interleave.
    char line[64 + 3 * 1024];
    int pos = snprintf(line, sizeof line, "%s : [%s] ", name, flag ? "cmd " : "ack ");
    for (int i = 0; i < len && pos < int(sizeof line) - 4; ++i)
        pos += snprintf(line + pos, sizeof line - pos, "%02x ", p[i]);
    log_out("%s\n", line);
}

int ucom_build_frame(uint8_t* out, uint8_t code, const uint8_t* data, int ndata) {
    if (ndata < 1) ndata = 0;
    if (ndata > UCOM_FRAME_MAX - 5) ndata = UCOM_FRAME_MAX - 5;
    memset(out, 0, UCOM_FRAME_MAX);
    int L = 1 + ndata;
    out[0] = 0xA1;
    out[1] = uint8_t(L);
    out[2] = code;
    if (ndata) memcpy(out + 3, data, size_t(ndata));
    out[L + 2] = ucom_checksum(L, out + 2);
    out[L + 3] = 0xA8;
    return L + 4;
}

static bool port_usable(int fd, const char* name) {
    // After a failed open the stored descriptor is 0 and the process is on
    // its way down: never write a frame to a descriptor that is not the port.
    if (fd > 0 && fd == g_ucom_fd) return true;
    log_out("%s : port not open (fd %d)\n", name, fd);
    return false;
}

int ucom_ack_event(int fd, uint8_t code) {
    uint8_t ack[UCOM_FRAME_MAX];
    uint8_t zero = 0;
    int len = ucom_build_frame(ack, code, &zero, 1);
    return int(write(fd, ack, size_t(len)));
}

namespace {

// The length of the whole frame `p` begins with (start, length, checksum and
// end byte all right), or 0.
int whole_frame(const uint8_t* p, int n) {
    if (n < 5 || p[0] != 0xA1) return 0;
    int L = p[1];
    if (L < 1 || L + 4 > n || p[L + 2] != ucom_checksum(L, p + 2) || p[L + 3] != 0xA8) return 0;
    return L + 4;
}

}  // namespace

bool ucom_is_event(const uint8_t* p, int n) {
    return whole_frame(p, n) == 6 && (p[2] == UCOM_EVENT_80 || p[2] == UCOM_EVENT_81);
}

namespace {

// Acknowledges every whole event frame among `n` bytes, as ucom_r_event
// would; the MCU may send them again until they are.
void ack_events(int fd, const char* name, const uint8_t* p, int n) {
    for (int i = 0; i + 6 <= n; ++i) {
        if (!ucom_is_event(p + i, n - i)) continue;
        log_out("%s : event 0x%02x from the MCU, acknowledged\n", name, p[i + 2]);
        if (ucom_ack_event(fd, p[i + 2]) < 0) perror("write");
        i += 5;
    }
}

void dump_stale(const char* name, int n, const uint8_t* p) {
    char what[64];
    snprintf(what, sizeof what, "%s stale", name);
    ucom_dump(0, what, n, p);
}

// Whatever waits in the input before a request is stale: a reply that came
// after its window, noise, or a frame the MCU sent on its own. Left there it
// would be read as the reply of this request, and each later request would
// read the reply of the one before. Bounded, so a babbling line cannot hold
// the lock.
void drop_stale(int fd, const char* name) {
    uint8_t buf[256];
    for (int round = 0; round < 4; ++round) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) return;
        int n = int(read(fd, buf, sizeof buf));
        if (n <= 0) return;
        ack_events(fd, name, buf, n);
        dump_stale(name, n, buf);
    }
}

// A whole frame, checksum right, whose code is that of another request of
// the command set: the reply of an earlier exchange that came after its
// window and after this request was written. The MCU answers each request
// with a frame of the request's own code, so such a frame is never this
// request's reply; read as one, an LED echo became the sensor byte 0x01.
// Frames of codes the command set does not know are left to the reply test.
bool is_other_reply(const uint8_t* p, int n, uint8_t code) {
    if (whole_frame(p, n) < 6 || p[2] == code) return false;
    switch (p[2]) {
        case UCOM_SET_TIME:
        case UCOM_GET_TIME:
        case UCOM_LED3:
        case UCOM_LED4:
        case UCOM_GET_BATV:
        case UCOM_GET_STATUS:
        case UCOM_FEED_MEAL:
        case UCOM_BOWL_IN:
        case UCOM_BOWL_OUT:
        case UCOM_MOTOR_BACK:
        case UCOM_SET_FEED_MEAL:
        case UCOM_GET_FEED_MEAL:
        case UCOM_GET_SENSOR:
            return true;
        default:
            return false;
    }
}

}  // namespace

int ucom_exchange(int fd, const uint8_t* req, int req_len, const char* name, uint8_t* reply, int R,
                  int* nread) {
    memset(reply, 0, size_t(R));
    *nread = 0;
    if (!port_usable(fd, name)) return __UCOM_ERROR;
    std::lock_guard<std::mutex> hold(ucom_lock);
    drop_stale(fd, name);
    if (write(fd, req, size_t(req_len)) < 0) {
        perror("write");
        return __UCOM_ERROR;
    }
    int n = int(read(fd, reply, size_t(R)));
    // An event frame the MCU sent just before the reply is acknowledged, and
    // a late reply of another request is dropped; the reply is read after
    // them. A frame with the request's own code is its reply, whatever that
    // code is. Bounded: the lock is held for at most four read windows.
    for (int skipped = 0; skipped < 3; ++skipped) {
        int drop = 0;
        if (ucom_is_event(reply, n) && reply[2] != req[2]) {
            ack_events(fd, name, reply, 6);
            drop = 6;
        } else if (is_other_reply(reply, n, req[2])) {
            drop = reply[1] + 4;
            dump_stale(name, drop, reply);
        } else {
            break;
        }
        n -= drop;
        memmove(reply, reply + drop, size_t(n));
        memset(reply + n, 0, size_t(R - n));
        int more = int(read(fd, reply + n, size_t(R - n)));
        if (more > 0) n += more;
    }
    *nread = n;
    if (ucom_reply_ok(reply, n)) return __UCOM_DONE;
    perror("read");
    ucom_dump(0, name, n > 0 ? n : 0, reply);
    return __UCOM_ERROR;
}
