// GPIO descriptors, press times, line masks and the lock shared by the
// buttons and the load cell.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <mutex>

struct GpioPins {
    uint32_t mask;
    uint32_t value;
};
// The driver reads and writes the pair by address: two 32-bit words, no padding.
static_assert(sizeof(GpioPins) == 8 && offsetof(GpioPins, value) == 4, "GpioPins layout");

struct GpioState {
    int32_t bttn_fd;    // /dev/gpio/f: buttons and both load-cell lines
    int32_t ldcell_fd;  // /dev/gpio/i: the load-cell control line
    // Epoch seconds of a button's first edge, 0 if none; 64-bit, as every
    // epoch time here: the board runs past 2038. Two threads may query the
    // buttons at once (start-up's network wait and the button thread).
    std::atomic<int64_t> wps_pressed_at;
    std::atomic<int64_t> rst_pressed_at;
    GpioPins bttn_pins;
    GpioPins ldcell_pins;
    std::mutex gpio_lock;  // one button query or one whole load-cell read
};

GpioState* gpio_state();

// Requests of the board's GPIO driver ('k', 4-byte argument).
enum : unsigned long {
    GPIO_REQ_SETUP = 0x40046B00,      // set-up step, right after release
    GPIO_REQ_RELEASE = 0x40046B01,    // release lines (first set-up step, last before close)
    GPIO_REQ_WRITE = 0x40046B02,      // drive masked lines to value (GpioPins*)
    GPIO_REQ_READ = 0xC0046B03,       // read masked lines into value (GpioPins*)
    GPIO_REQ_OUTPUT = 0x40046B04,     // lines become outputs
    GPIO_REQ_INPUT = 0x40046B05,      // lines become inputs
    GPIO_REQ_SETUP3 = 0x40046B07,     // third set-up step
    GPIO_REQ_IRQ_B = 0x40046B08,      // interrupt set-up, second
    GPIO_REQ_IRQ_C = 0x40046B0D,      // interrupt set-up, third
    GPIO_REQ_IRQ_A = 0x40046B0E,      // interrupt set-up, first; also released at close
    GPIO_REQ_IRQ_QUERY = 0xC0046B11,  // pending button lines into value (GpioPins*)
    GPIO_REQ_IRQ_ACK = 0xC0046B12,    // acknowledge, mask by value
};

// Line masks of port f and port i.
enum : uint32_t {
    GPIO_BTTN_RST = 0x01,
    GPIO_BTTN_WPS = 0x02,
    GPIO_BTTN_MASK = 0x03,
    GPIO_LDCELL_DATA = 0x04,
    GPIO_LDCELL_CLK = 0x08,
    GPIO_LDCELL_MASK = 0x0C,
    GPIO_LDCELL_CTRL = 0x40,  // on /dev/gpio/i
};
