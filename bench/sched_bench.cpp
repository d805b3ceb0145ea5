// Cost of the schedule: one runner pass over 10 entries and over a full list
// with nothing due, and one save and one load of a full list.
#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sched/sched.h"
#include "sim/world.h"
#include "tests/support/capture.h"
#include "tests/support/files.h"

namespace {

double now_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

template <class F>
double median_us(int runs, F f) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        double t0 = now_us();
        f();
        t.push_back(now_us() - t0);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

void fill(int n) {
    sched_clear();
    sched_load();  // no file yet: the runner may look at the list
    for (int i = 0; i < n; ++i) {
        ScheduleEntry e{};
        snprintf(e.uuid, sizeof e.uuid, "0f6d1c52-8a4b-4c1e-9d3a-%012d", i);
        snprintf(e.weight, sizeof e.weight, "%d", i);
        snprintf(e.melody, sizeof e.melody, "%d", i % 4);
        e.feed_time = 12 * 60 + i % 60;  // around noon; the clock stands at 03:00
        e.feed_amount = 30;
        for (int d = 0; d < 7; ++d) e.days[d] = 1;
        sched_update(&e);
    }
}

}  // namespace

int main() {
    std::string root = make_temp_dir("schedbench");
    sim::WorldConfig cfg;
    cfg.root = root;
    cfg.manual_clock = true;
    cfg.start_mcu = false;
    sim::World::get().start(cfg);
    struct tm tm = {};
    tm.tm_year = 126;
    tm.tm_mon = 11;
    tm.tm_mday = 7;
    tm.tm_hour = 3;
    tm.tm_isdst = -1;
    sim::World::get().clock().set_time(int64_t(mktime(&tm)) * 1000000);

    for (int n : {10, int(SCHED_MAX_ENTRIES)}) {
        fill(n);
        SchedRunner r = {};
        double us = median_us(2000, [&] { sched_runner_pass(&r); });
        printf("runner pass, %4d entries, nothing due: median %.1f us\n", n, us);
    }
    fill(SCHED_MAX_ENTRIES);
    double save = median_us(50, [] { sched_save(); });
    size_t bytes = read_file(root + "/etc/feed_sched.conf").size();
    double load = median_us(50, [] {
        sched_clear();
        StdoutCapture quiet;  // the day names are logged as they load
        sched_load();
    });
    printf("save of %d entries (%zu bytes, written, flushed and renamed): median %.1f us\n",
           SCHED_MAX_ENTRIES, bytes, save);
    printf("load of %d entries: median %.1f us\n", SCHED_MAX_ENTRIES, load);
    sched_clear();
    sim::World::get().stop();
    remove_tree(root);
    return 0;
}
