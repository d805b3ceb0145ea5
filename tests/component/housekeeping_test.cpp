// Housekeeping: the clock synchronisation when ntpdate never answers.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "sys/sys.h"
#include "tests/support/sim_fixture.h"

namespace {

const int64_t kS = 1000000;

using Clock = SimTest;

// ntpdate with no answer used to hold the clock thread (and the monitor
// after each weighing) for good: each is ended at its limit, and the clock
// is still read back and set.
TEST_F(Clock, HungNtpdateIsEndedAndTheClockStillSet) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().shell.hang_ntpdate = true;
    }
    StdoutCapture out;
    int64_t start = world().clock().monotonic_us();
    time_sync();
    int64_t took = world().clock().monotonic_us() - start;
    int ended = 0, set = 0;
    for (const std::string& t : world_texts("shell"))
        ended += t.rfind("ended at its limit: ntpdate ", 0) == 0;
    for (const std::string& t : world_texts("clock")) set += t.rfind("settimeofday ", 0) == 0;
    EXPECT_EQ(ended, 3);
    EXPECT_EQ(set, 1);
    EXPECT_GE(took, 3 * 20 * kS);
    EXPECT_LT(took, 3 * 20 * kS + 5 * kS);
    std::string text = out.text();
    EXPECT_NE(text.find("shell : \"ntpdate "), std::string::npos) << text;
    EXPECT_NE(text.find("\" ended at its limit of 20.0 s\n"), std::string::npos) << text;
}

}  // namespace
