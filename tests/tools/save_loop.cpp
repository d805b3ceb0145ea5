// Replaces one file whole, forever, below a simulated root: a test kills it
// at random moments and checks that the file is always whole.
//   save_loop ROOT [sched|identity|wifi]
// sched (the default) saves two schedules in turn, 3 and 40 entries;
// identity writes a new uuid each time; wifi the factory Wi-Fi file.
#include <stdio.h>
#include <string.h>

#include "app/identity.h"
#include "include/result_codes.h"
#include "net/wifi.h"
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

// One write of the file; false when it failed.
bool save(const char* kind, int n) {
    if (strcmp(kind, "identity") == 0) return feeder_conf_write() == __CONF_DONE;
    if (strcmp(kind, "wifi") == 0) return wifi_write_config() == __WIFI_DONE;
    fill(n % 2 ? 3 : 40);
    return sched_save() == 0;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) return 2;
    const char* kind = argc == 3 ? argv[2] : "sched";
    if (strcmp(kind, "sched") != 0 && strcmp(kind, "identity") != 0 && strcmp(kind, "wifi") != 0)
        return 2;
    sim::WorldConfig cfg;
    cfg.root = argv[1];
    cfg.start_mcu = false;
    sim::World::get().start(cfg);
    if (!save(kind, 1)) return 1;
    puts("ready");
    fflush(stdout);
    for (int n = 0;; ++n) save(kind, n);
}
