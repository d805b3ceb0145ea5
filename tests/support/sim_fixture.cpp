#include "tests/support/sim_fixture.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "app/app.h"
#include "platform/run_flag.h"

void SimTest::SetUp() {
    // A failed serial-port open raises SIGINT: keep it from ending the test run.
    signal(SIGINT, sig_handler);
    sig_flag = 1;
    // A test that stopped the program left the stop descriptor readable, and
    // every wait of the next test in this process would end at once: emptied,
    // as a fresh start has it.
    if (app_stop_fd() >= 0) {
        uint64_t stops;
        ssize_t rc = read(app_stop_fd(), &stops, sizeof stops);  // non-blocking
        (void)rc;
    }
    root_ = make_temp_dir("sim");
    ASSERT_FALSE(root_.empty());
    start_world();
}

void SimTest::start_world(bool manual_clock, double speed, bool auto_advance) {
    sim::WorldConfig cfg;
    cfg.root = root_;
    cfg.manual_clock = manual_clock;
    cfg.auto_advance = auto_advance;
    cfg.speed = speed;
    cfg.start_us = int64_t(1796553000) * 1000000;      // Sunday 2026-12-06 10:30:00 UTC
    cfg.msgq_key = 0x48500000 | (getpid() & 0xFFFFF);  // a queue of this test's own
    world().start(cfg);
    ASSERT_FALSE(world().tty_path().empty());
}

void SimTest::TearDown() {
    world().stop();
    world().remove_queue();
    remove_tree(root_);
}
