// The simulated MCU's answers on a loaded desk: each exchange has its 0.6 s
// read window in real time, as on the board, while the MCU model is one
// thread among the desk's. Busy processes compete for the cores and threads
// of the same process take the world's lock, as the daemon's own users of
// the board do, and sleep on the virtual clock, as its threads do. Prints
// how many exchanges missed their window and the round trips.
//
//   mcu_load_bench [exchanges] [busy processes] [lock users] [clock sleepers]
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "include/result_codes.h"
#include "mcu/ucom.h"
#include "sim/world.h"

namespace {

double now_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

void spin_us(double us) {
    double end = now_us() + us;
    while (now_us() < end) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    int exchanges = argc > 1 ? atoi(argv[1]) : 3000;
    int hogs = argc > 2 ? atoi(argv[2]) : 16;
    int users = argc > 3 ? atoi(argv[3]) : 4;
    int sleepers = argc > 4 ? atoi(argv[4]) : 8;
    char root[] = "/tmp/hp-bench-XXXXXX";
    if (!mkdtemp(root)) return 1;

    std::vector<pid_t> busy;
    for (int i = 0; i < hogs; ++i) {
        pid_t p = fork();
        if (p == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the bench
            for (;;) {
            }
        }
        if (p > 0) busy.push_back(p);
    }

    sim::World& w = sim::World::get();
    sim::WorldConfig cfg;
    cfg.root = root;
    cfg.speed = 200.0;  // the tests' pace
    w.start(cfg);

    // Each takes the lock for a millisecond of work now and then: a record
    // copied, a reading made, the physics carried to the clock's now.
    std::atomic<bool> run{true};
    std::vector<std::thread> lockers;
    for (int i = 0; i < users; ++i)
        lockers.emplace_back([&] {
            while (run) {
                {
                    std::lock_guard<std::mutex> hold(w.mu());
                    w.update();
                    spin_us(1000);
                }
                usleep(2000);
            }
        });
    // The daemon's threads wait on the virtual clock, each wait taking the
    // clock's own lock.
    for (int i = 0; i < sleepers; ++i)
        lockers.emplace_back([&] {
            while (run) w.clock().sleep_us(20000);
        });

    // The requester above everything else where the desk allows it: the
    // round trip is then the MCU's answer, not the requester's own turn.
    struct sched_param sp = {};
    sp.sched_priority = 20;
    bool first = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) == 0;
    int fd = ucom_open();
    if (fd <= 0) return 1;
    std::vector<double> rt;
    int missed = 0;
    for (int i = 0; i < exchanges; ++i) {
        uint32_t bits = 0;
        double t0 = now_us();
        if (ucom_get_sensor(fd, &bits) != __UCOM_DONE) ++missed;
        rt.push_back(now_us() - t0);
    }
    run = false;
    for (auto& t : lockers) t.join();
    for (pid_t p : busy) kill(p, SIGKILL);
    for (pid_t p : busy) waitpid(p, nullptr, 0);

    std::sort(rt.begin(), rt.end());
    printf(
        "mcu exchanges beside %d busy processes, %d lock users and %d clock sleepers (n=%d, "
        "requester %s): missed %d, round trip median %.0f us, p99 %.0f us, p999 %.0f us, max %.0f "
        "us\n",
        hogs, users, sleepers, exchanges, first ? "first in line" : "in line", missed,
        rt[rt.size() / 2], rt[rt.size() * 99 / 100], rt[rt.size() * 999 / 1000], rt.back());

    ucom_close(fd);
    w.stop();
    std::string cmd = std::string("rm -rf ") + root;
    return system(cmd.c_str()) == 0 ? 0 : 1;
}
