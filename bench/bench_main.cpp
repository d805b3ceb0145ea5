// Figures of the serial link and the load cell on the simulated board at
// real speed: the MCU round trip over the pty and the ldcell_read time
// against its 300 ms floor (three 100 ms pauses).
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/app.h"
#include "gpio/gpio.h"
#include "include/result_codes.h"
#include "mcu/ucom.h"
#include "sim/world.h"

namespace {

double now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

struct Stats {
    double median, p90, max;
};

Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[v.size() * 9 / 10], v.back()};
}

}  // namespace

int main(int argc, char** argv) {
    int exchanges = argc > 1 ? atoi(argv[1]) : 2000;
    int reads = argc > 2 ? atoi(argv[2]) : 30;
    char root[] = "/tmp/hp-bench-XXXXXX";
    if (!mkdtemp(root)) return 1;
    signal(SIGINT, sig_handler);

    sim::World& w = sim::World::get();
    sim::WorldConfig cfg;
    cfg.root = root;
    cfg.speed = 1.0;  // real time: the figures are the board's timing on this machine
    w.start(cfg);

    int fd = ucom_open();
    if (fd <= 0) return 1;
    std::vector<double> rt;
    for (int i = 0; i < exchanges; ++i) {
        uint32_t bits = 0;
        double t0 = now_ms();
        if (ucom_get_sensor(fd, &bits) != __UCOM_DONE) return 1;
        rt.push_back((now_ms() - t0) * 1000.0);
    }
    Stats s = stats(rt);
    printf(
        "mcu round trip over pty (ucom_get_sensor, n=%d): median %.1f us, p90 %.1f us, max %.1f "
        "us\n",
        exchanges, s.median, s.p90, s.max);

    if (bttn_open() < 0) return 1;
    std::vector<double> lt;
    for (int i = 0; i < reads; ++i) {
        double t0 = now_ms();
        if (ldcell_read() < 0) return 1;
        lt.push_back(now_ms() - t0);
    }
    s = stats(lt);
    printf(
        "ldcell_read at real speed (n=%d): median %.2f ms (floor 300 ms, +%.2f ms), p90 %.2f ms, "
        "max %.2f ms\n",
        reads, s.median, s.median - 300.0, s.p90, s.max);

    bttn_close(gpio_state()->bttn_fd);
    ucom_close(fd);
    w.stop();
    std::string cmd = std::string("rm -rf ") + root;
    if (system(cmd.c_str()) != 0) return 1;
    return 0;
}
