// GPIO ports f and i: the load-cell converter on the clock and data lines,
// the button interrupts, and the watchdog device.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "sim/devices.h"
#include "sim/world.h"

namespace sim {

namespace {

const unsigned long kWrite = 0x40046B02, kRead = 0xC0046B03, kIrqQuery = 0xC0046B11,
                    kIrqAck = 0xC0046B12;
const unsigned long kWdSetTimeout = 0xC0045706, kWdKeepalive = 0x80045705;

struct Pins {
    uint32_t mask;
    uint32_t value;
};

// A new frame is sampled on the first rising clock edge after the last one.
uint32_t sample_frame(World& w) {
    AdcState& a = w.adc;
    ++a.frames;
    if (!a.scripted.empty()) {
        uint32_t word = a.scripted.front();
        a.scripted.pop_front();
        return word;
    }
    uint32_t word = (uint32_t(w.raw_counts()) << 12) | 0x41;
    AdcFault f = a.fault;
    if (f == AdcFault::Markerless || f == AdcFault::Noise) {
        if (a.fault_count > 0 && --a.fault_count == 0) a.fault = AdcFault::None;
        if (f == AdcFault::Markerless) word = (word & ~0xFFu) | uint32_t(w.rand_uniform(0, 0x41));
        if (f == AdcFault::Noise) word ^= uint32_t(w.rand_uniform(0, 1 << 20)) << 12;
    }
    return word;
}

void clock_edge(World& w, bool high) {
    AdcState& a = w.adc;
    bool rising = high && !a.clk;
    a.clk = high;
    if (!rising || !a.powered) return;
    if (a.bit >= 32) {
        a.word = sample_frame(w);
        a.bit = 0;
    }
    a.data = (a.word >> (31 - a.bit)) & 1;
    ++a.bit;
}

bool data_line(World& w) {
    AdcState& a = w.adc;
    if (!a.powered || a.fault == AdcFault::NeverReady) return true;
    if (w.clock().monotonic_us() < a.ready_at_us) return true;
    return a.data;
}

int gpio_f(World& w, unsigned long req, uintptr_t arg) {
    Pins* pins = reinterpret_cast<Pins*>(arg);
    switch (req) {
        case kWrite:
            if (pins->mask & 0x08) clock_edge(w, pins->value != 0);
            return 0;
        case kRead:
            pins->value = (pins->mask & 0x04) && data_line(w) ? 0x04 : 0;
            return 0;
        case kIrqQuery:
            pins->value = w.bttn_pending & pins->mask;
            return 0;
        case kIrqAck: {
            w.bttn_pending &= ~uint32_t(arg);
            uint64_t drain;
            while (read(w.bttn_event_fd, &drain, sizeof drain) > 0) {
            }
            if (w.bttn_pending) {
                uint64_t one = 1;
                if (write(w.bttn_event_fd, &one, sizeof one) < 0) perror("eventfd");
            }
            return 0;
        }
        default:
            char text[48];
            snprintf(text, sizeof text, "f 0x%lX 0x%lX", req, (unsigned long)arg);
            w.log("gpio", text);
            return 0;
    }
}

int gpio_i(World& w, unsigned long req, uintptr_t arg) {
    if (req == kWrite) {
        Pins* pins = reinterpret_cast<Pins*>(arg);
        if (pins->mask & 0x40) {
            bool high = pins->value != 0;
            // Power-up pulse: the converter restarts and holds the data line
            // high until its first conversion is ready.
            if (high && !w.adc.powered) {
                w.adc.powered = true;
                w.adc.bit = 32;
                w.adc.data = false;
                w.adc.ready_at_us = w.clock().monotonic_us() + w.adc.ready_delay_us;
                w.log("ldcell", "powered");
            } else if (!high) {
                w.adc.powered = false;
            }
        }
        return 0;
    }
    char text[48];
    snprintf(text, sizeof text, "i 0x%lX 0x%lX", req, (unsigned long)arg);
    w.log("gpio", text);
    return 0;
}

int watchdog(World& w, unsigned long req, uintptr_t arg) {
    WatchdogState& d = w.wdt;
    int* value = reinterpret_cast<int*>(arg);
    if (req == kWdSetTimeout) {
        d.timeout_s = *value;
        w.log("watchdog", "timeout " + std::to_string(*value));
        w.retime_ticker();
        return 0;
    }
    if (req == kWdKeepalive) {
        d.last_kick_us = w.clock().monotonic_us();
        d.magic = false;
        ++d.keepalives;
        w.log_at(d.last_kick_us, "watchdog", "keepalive");
        return 0;
    }
    errno = ENOTTY;
    return -1;
}

}  // namespace

int dev_open(World& w, const char* fixed, int flags) {
    (void)flags;
    std::lock_guard<std::mutex> hold(w.mu());
    DeviceFd::Kind kind;
    int fd;
    if (strcmp(fixed, "/dev/gpio/f") == 0) {
        if (w.gpio_f_fails) {
            errno = ENOENT;
            return -1;
        }
        kind = DeviceFd::GpioF;
        fd = dup(w.bttn_event_fd);  // readable while a button interrupt is pending
    } else if (strcmp(fixed, "/dev/gpio/i") == 0) {
        kind = DeviceFd::GpioI;
        fd = eventfd(0, EFD_CLOEXEC);
    } else if (strcmp(fixed, "/dev/watchdog") == 0) {
        kind = DeviceFd::Watchdog;
        fd = eventfd(0, EFD_CLOEXEC);
        w.wdt.open = true;
        w.wdt.armed = true;
        w.wdt.magic = false;
        w.wdt.bitten = false;
        w.wdt.last_kick_us = w.clock().monotonic_us();
        w.log_at(w.wdt.last_kick_us, "watchdog", "open");
        w.retime_ticker();
    } else {
        errno = ENOENT;
        return -1;
    }
    if (fd >= 0) w.devices[fd] = DeviceFd{kind};
    w.log("dev", std::string("open ") + fixed);
    return fd;
}

int dev_ioctl(World& w, int fd, unsigned long request, uintptr_t arg) {
    if (request == kIrqAck && w.bttn_ack_delay_us > 0) usleep(useconds_t(w.bttn_ack_delay_us));
    std::lock_guard<std::mutex> hold(w.mu());
    auto it = w.devices.find(fd);
    if (it == w.devices.end()) {
        errno = EBADF;
        return -1;
    }
    switch (it->second.kind) {
        case DeviceFd::GpioF:
            return gpio_f(w, request, arg);
        case DeviceFd::GpioI:
            return gpio_i(w, request, arg);
        case DeviceFd::Watchdog:
            w.update();
            return watchdog(w, request, arg);
    }
    return -1;
}

ssize_t dev_write(World& w, int fd, const void* buf, size_t len) {
    std::lock_guard<std::mutex> hold(w.mu());
    auto it = w.devices.find(fd);
    if (it == w.devices.end()) {
        errno = EBADF;
        return -1;
    }
    if (it->second.kind == DeviceFd::Watchdog) {
        w.update();
        const char* p = static_cast<const char*>(buf);
        for (size_t i = 0; i < len; ++i)
            if (p[i] == 'V') w.wdt.magic = true;
        w.wdt.last_kick_us = w.clock().monotonic_us();
        w.log_at(w.wdt.last_kick_us, "watchdog", "write " + std::string(p, len));
    }
    return ssize_t(len);
}

int dev_close(World& w, int fd) {
    std::lock_guard<std::mutex> hold(w.mu());
    auto it = w.devices.find(fd);
    if (it != w.devices.end()) {
        if (it->second.kind == DeviceFd::Watchdog) {
            w.update();
            w.wdt.open = false;
            // The driver disarms only after the magic character.
            if (w.wdt.magic) w.wdt.armed = false;
            w.log("watchdog", w.wdt.magic ? "magic close: disarmed" : "closed without magic");
            fprintf(stderr, "sim: watchdog %s\n",
                    w.wdt.magic ? "magic close: disarmed" : "closed without magic: still armed");
        }
        w.devices.erase(it);
    }
    return close(fd);
}

}  // namespace sim
