// The supervision loop's look for the firmware updater, on the simulated
// board's process listing: ps lists by PID, and the PID counter wraps.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "app/app.h"
#include "sim/control.h"
#include "tests/support/sim_fixture.h"

namespace {

class Supervise : public SimTest {
  protected:
    std::vector<int> updater_pids() {
        std::lock_guard<std::mutex> hold(world().mu());
        return world().shell.updater_pids;
    }
};

// After a wrap the check's own shell and grep have lower PIDs than the
// updater and come first in the listing. A check that read only the first
// line started one more updater per wrap, about one every 2.3 hours on the
// board.
TEST_F(Supervise, OneUpdaterOverManyPidWraps) {
    supervise_updater();
    ASSERT_EQ(updater_pids().size(), 1u);
    int updater = updater_pids()[0];
    for (int wrap = 0; wrap < 5; ++wrap) {
        ASSERT_EQ(sim::control_handle(world(), R"({"op":"set","next_pid":32760})"),
                  "{\"ok\":true}");
        // Four PIDs a check: through the wrap and on past the updater's PID.
        for (int pass = 0; pass < (updater - 300) / 4 + 10; ++pass) supervise_updater();
        EXPECT_EQ(updater_pids(), std::vector<int>{updater}) << "wrap " << wrap;
    }
    EXPECT_NE(sim::control_handle(world(), R"({"op":"state"})").find("\"updaters\":1,"),
              std::string::npos);
    auto shell = world_texts("shell");
    EXPECT_EQ(std::count(shell.begin(), shell.end(), "/root/fw_update &"), 1);

    // An updater that ends is started again at the next check, wherever the
    // counter stands.
    ASSERT_EQ(sim::control_handle(world(), R"({"op":"updater","running":false})"), "{\"ok\":true}");
    supervise_updater();
    EXPECT_EQ(updater_pids().size(), 1u);
    EXPECT_NE(updater_pids()[0], updater);
}

}  // namespace
