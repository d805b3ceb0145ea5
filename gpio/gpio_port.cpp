// GPIO port f as a whole: button lines, load-cell lines, open and close.
#include <fcntl.h>
#include <stdio.h>

#include "gpio/gpio.h"
#include "include/log.h"
#include "platform/platform.h"

namespace {
GpioState g_gpio;

int req(int fd, unsigned long code, uintptr_t arg) {
    return plat_dev_ioctl(fd, code, arg);
}
}  // namespace

GpioState* gpio_state() {
    return &g_gpio;
}

int bttn_open() {
    GpioState* g = &g_gpio;
    g->bttn_fd = 0;
    g->ldcell_fd = 0;
    g->wps_pressed_at = 0;
    g->rst_pressed_at = 0;
    g->bttn_pins = {0, 0};
    g->ldcell_pins = {0, 0};

    int fd = plat_dev_open("/dev/gpio/f", O_RDWR);
    if (fd < 0) {
        perror("open");
        return -1;
    }
    log_out("button open fd : %d\n", fd);

    const unsigned long bttn_setup[] = {GPIO_REQ_RELEASE, GPIO_REQ_SETUP, GPIO_REQ_SETUP3,
                                        GPIO_REQ_INPUT,   GPIO_REQ_IRQ_A, GPIO_REQ_IRQ_B,
                                        GPIO_REQ_IRQ_C};
    int rc = 0;
    for (unsigned long code : bttn_setup) rc = req(fd, code, GPIO_BTTN_MASK);
    if (rc < 0) {
        perror("ioctl");
        plat_dev_close(fd);
        return -1;
    }

    req(fd, GPIO_REQ_RELEASE, GPIO_LDCELL_MASK);
    req(fd, GPIO_REQ_SETUP, GPIO_LDCELL_MASK);
    req(fd, GPIO_REQ_SETUP3, GPIO_LDCELL_MASK);
    req(fd, GPIO_REQ_INPUT, GPIO_LDCELL_DATA);
    req(fd, GPIO_REQ_OUTPUT, GPIO_LDCELL_CLK);

    g->bttn_fd = fd;
    g->bttn_pins.mask = GPIO_BTTN_MASK;
    g->ldcell_pins.mask = GPIO_LDCELL_MASK;
    ldcell_open();
    return fd;
}

int bttn_close(int fd) {
    GpioState* g = &g_gpio;
    if (fd <= 0) return 0;  // never opened
    ldcell_close();
    req(fd, GPIO_REQ_IRQ_A, g->bttn_pins.mask);
    req(fd, GPIO_REQ_RELEASE, g->bttn_pins.mask);
    req(fd, GPIO_REQ_RELEASE, g->ldcell_pins.mask);
    plat_dev_close(fd);
    g->bttn_fd = 0;
    return 0;
}
