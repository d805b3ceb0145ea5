// libFuzzer target: any bytes as the body of a MESSAGE to the device.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "include/feeder.h"
#include "sched/sched.h"
#include "sim/world.h"
#include "sip/sip.h"

namespace {

void drop(const char*, const char*) {}

// A device with its record filled and its files in a folder of the run's own.
bool setup() {
    static char root[] = "/tmp/hp-fuzz-XXXXXX";
    if (!mkdtemp(root)) abort();
    sim::WorldConfig cfg;
    cfg.root = root;
    cfg.manual_clock = true;  // the bell's clip plays in no time
    cfg.start_mcu = false;
    sim::World::get().start(cfg);
    Feeder* f = get_feeder();
    feeder_reset(f);
    f->proto_version = "1.0.0";
    snprintf(f->product_id, sizeof f->product_id, "00:1a:2b:3c:4d:5e");
    f->msgq_id = -1;     // no updater queue: an update request fails at once
    uds_client_fd = -1;  // no feeding service: a feeding request fails at once
    cmd_set_reply_sender(drop);
    fclose(stdout);  // the handlers' log lines would drown the fuzzer's
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = setup();
    (void)ready;
    cmd_dispatch("sip:fuzz@feeder.test", reinterpret_cast<const char*>(data), size);
    if (sched_snapshot().size() > 200) sched_clear();  // keep each run's work small
    return 0;
}
