// The load-cell converter, read bit by bit over the clock and data lines.
#include <fcntl.h>
#include <stdio.h>
#include <sys/prctl.h>

#include <algorithm>

#include "gpio/gpio.h"
#include "include/log.h"
#include "platform/platform.h"

namespace {

int drive(int fd, uint32_t mask, uint32_t value) {
    GpioPins pins = {mask, value};
    return plat_dev_ioctl(fd, GPIO_REQ_WRITE, reinterpret_cast<uintptr_t>(&pins));
}

// True when the data line reads high. A failed request leaves value 0: low.
bool data_high(int fd) {
    GpioPins pins = {GPIO_LDCELL_DATA, 0};
    plat_dev_ioctl(fd, GPIO_REQ_READ, reinterpret_cast<uintptr_t>(&pins));
    return pins.value == GPIO_LDCELL_DATA;
}

// The 1 us sleeps of the bit timing would otherwise last the default 50 us
// timer slack each: a read 15 ms longer, and a clock held high near the
// converter's power-down time. The thread's own slack comes back afterwards:
// whatever else it does (a feeding's sleeps, a select) needs no such timing.
class TightTimers {
  public:
    TightTimers() : saved_(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) {
        prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    }
    ~TightTimers() {
        if (saved_ > 0) prctl(PR_SET_TIMERSLACK, (unsigned long)saved_, 0, 0, 0);
    }
    TightTimers(const TightTimers&) = delete;
    TightTimers& operator=(const TightTimers&) = delete;

  private:
    long saved_;
};

uint32_t read_frame(int fd) {
    uint32_t word = 0;
    for (int bit = 0; bit < 32; ++bit) {
        drive(fd, GPIO_LDCELL_CLK, 0);
        plat_usleep(1);
        drive(fd, GPIO_LDCELL_CLK, 255);
        word = (word << 1) | (data_high(fd) ? 1u : 0u);
        plat_usleep(1);
    }
    return word;
}

}  // namespace

int32_t ldcell_frame_value(uint32_t word) {
    if ((word & 0xFF) != 0x41) return -1;
    return int32_t(word >> 12);
}

void ldcell_open() {
    GpioState* g = gpio_state();
    int fd = plat_dev_open("/dev/gpio/i", O_RDWR);
    if (fd < 0) {
        perror("open");
        return;
    }
    log_out("loadcell open fd : %d\n", fd);
    plat_dev_ioctl(fd, GPIO_REQ_RELEASE, GPIO_LDCELL_CTRL);
    plat_dev_ioctl(fd, GPIO_REQ_SETUP, GPIO_LDCELL_CTRL);
    plat_dev_ioctl(fd, GPIO_REQ_SETUP3, GPIO_LDCELL_CTRL);
    if (plat_dev_ioctl(fd, GPIO_REQ_OUTPUT, GPIO_LDCELL_CTRL) < 0) {
        perror("ioctl");
        plat_dev_close(fd);
        return;
    }
    drive(fd, GPIO_LDCELL_CTRL, 0);
    plat_usleep(1);
    drive(fd, GPIO_LDCELL_CTRL, 255);

    // The converter holds the data line high until its first conversion is
    // ready. A converter that never gets ready must not hold up start-up:
    // after the bound the reads that follow find no marker and give up too.
    int64_t deadline = plat_monotonic_us() + int64_t(LDCELL_READY_TIMEOUT_MS) * 1000;
    do {
        plat_usleep(1);
        if (!data_high(g->bttn_fd)) break;
        if (plat_monotonic_us() >= deadline) {
            log_out("ldcell_open : data line still high after %d ms, going on\n",
                    LDCELL_READY_TIMEOUT_MS);
            break;
        }
    } while (true);
    g->ldcell_fd = fd;
}

void ldcell_close() {
    GpioState* g = gpio_state();
    if (g->ldcell_fd <= 0) return;  // never opened
    plat_dev_ioctl(g->ldcell_fd, GPIO_REQ_RELEASE, GPIO_LDCELL_CTRL);
    plat_dev_close(g->ldcell_fd);
    g->ldcell_fd = 0;
}

int32_t ldcell_read() {
    GpioState* g = gpio_state();
    std::lock_guard<std::mutex> hold(g->gpio_lock);
    if (g->bttn_fd <= 0) {
        log_out("ldcell_read : load cell not open\n");
        return LDCELL_NO_READING;
    }
    TightTimers timing;
    int32_t last[3];  // the last accepted frames, oldest first
    int have = 0;
    int dropped = 0;
    for (;;) {
        uint32_t word = read_frame(g->bttn_fd);
        plat_usleep(100 * 1000);
        int32_t v = ldcell_frame_value(word);
        if (v >= 0) {
            if (have == 3) {
                last[0] = last[1];
                last[1] = last[2];
                have = 2;
            }
            last[have++] = v;
            if (have == 3) {
                auto [lo, hi] = std::minmax({last[0], last[1], last[2]});
                if (hi - lo <= LDCELL_AGREE_COUNTS) return (last[0] + last[1] + last[2]) / 3;
            } else {
                continue;
            }
        }
        // A frame without its marker, or three that disagree: one more frame.
        if (++dropped >= LDCELL_MAX_DROPPED) {
            log_out("ldcell_read : no three agreeing frames in %d, no reading\n", dropped);
            return LDCELL_NO_READING;
        }
    }
}
