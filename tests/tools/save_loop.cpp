// Saves two schedules in turn, forever, below a simulated root: a test kills
// it at random moments and checks that the file always holds one of them.
//   save_loop ROOT
#include <stdio.h>
#include <string.h>

#include "sched/sched.h"
#include "sim/world.h"

namespace {
void fill(int entries) {
    sched_clear();
    for (int i = 0; i < entries; ++i) {
        ScheduleEntry e{};
        snprintf(e.uuid, sizeof e.uuid, "entry-%d-of-%d", i, entries);
        snprintf(e.melody, sizeof e.melody, "%d", i % 4);
        e.feed_time = 60 * (i % 24);
        e.feed_amount = 10 + i;
        e.days[i % 7] = 1;
        sched_update(&e);
    }
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    sim::WorldConfig cfg;
    cfg.root = argv[1];
    cfg.start_mcu = false;
    sim::World::get().start(cfg);
    fill(3);
    if (sched_save() != 0) return 1;
    puts("ready");
    fflush(stdout);
    for (int n = 0;; ++n) {
        fill(n % 2 ? 3 : 40);
        sched_save();
    }
}
