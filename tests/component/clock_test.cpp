// The clock: its zone, its synchronisation (also when ntpdate never answers)
// and the date texts, on the simulated board, also past 2038.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "app/app.h"
#include "mcu/ucom.h"
#include "platform/platform.h"
#include "sys/sys.h"
#include "tests/support/clock_lock.h"
#include "tests/support/process.h"
#include "tests/support/sim_fixture.h"

namespace {

const int64_t kS = 1000000;

class Clock : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        setenv("TZ", ":Asia/Seoul", 1);  // as hopperd-sim: the device's zone
        tzset();
        fd_ = ucom_open();
        ASSERT_GT(fd_, 0);
    }
    void TearDown() override {
        ucom_close(fd_);
        unsetenv("TZ");
        tzset();
        SimTest::TearDown();
    }
    int fd_ = -1;
};

// Epoch seconds past 2^31 - 1 (2038-01-19 03:14:07 UTC) do not fit 32 bits:
// the synchronisation read "date +%s" into one and left the clock alone, and
// a 32-bit time_t gave the MCU and the owner's messages a date in 1901.
TEST_F(Clock, SynchronisedWithRightDatesPast2038) {
    const struct {
        int64_t epoch;
        const char* date_text;  // Asia/Seoul
        const char* mcu_frame;  // set-time request: year - 2000, month, day, weekday, h, m, s
    } cases[] = {
        {INT64_C(2147483647), "2038/01/19-2-12:14:07\n", "A1 08 01 26 01 13 02 0C 0E 07 "},
        {INT64_C(2147483648), "2038/01/19-2-12:14:08\n", "A1 08 01 26 01 13 02 0C 0E 08 "},
        {INT64_C(2214097200), "2040/02/29-3-12:00:00\n", "A1 08 01 28 02 1D 03 0C 00 00 "},
    };
    for (const auto& c : cases) {
        world().clock().set_time(c.epoch * 1000000);
        EXPECT_EQ(get_epoch_seconds(), c.epoch);
        char text[80];
        get_date_text(text);
        EXPECT_STREQ(text, c.date_text);

        StdoutCapture out;
        size_t frames = world_texts("mcu_rx").size();
        int64_t before = world().clock().now_us();
        time_sync();
        // Read as 64 bits, the reading is the clock's own: left to run on.
        EXPECT_EQ(out.text().find("no time from date"), std::string::npos) << out.text();
        EXPECT_GE(world().clock().now_us(), before);
        EXPECT_TRUE(world_texts("clock").empty());
        auto rx = world_texts("mcu_rx");
        ASSERT_EQ(rx.size(), frames + 1);
        EXPECT_EQ(rx.back().rfind(c.mcu_frame, 0), 0u) << rx.back();
    }
}

// `date` gives whole seconds, read a moment before the clock is set: setting
// the clock to that put it back by up to a second at every synchronisation,
// seconds on a busy board (a button held across one measured short).
TEST_F(Clock, SynchronisationNeverPutsTheClockBack) {
    sim::VirtualClock& clock = world().clock();
    clock.set_time(INT64_C(1796553000) * 1000000 + 900000);
    int64_t offset = clock.now_us() - clock.monotonic_us();
    time_sync();
    EXPECT_EQ(clock.now_us() - clock.monotonic_us(), offset);
    EXPECT_TRUE(world_texts("clock").empty());
}

// The clock was set to the time read just before, and a synchronisation
// the board did not run between reading and setting put the clock back by
// as long as it waited. A long press held across one, at start-up, measured
// short. Here the setting waits behind the clock's lock for 3 s of a clock
// that runs on.
TEST_F(Clock, ASynchronisationKeptBeforeItsSettingNeverPutsTheClockBack) {
    ucom_close(fd_);
    start_world(false, 10.0);
    fd_ = ucom_open();
    ASSERT_GT(fd_, 0);
    sim::VirtualClock& clock = world().clock();
    int64_t offset = clock.now_us() - clock.monotonic_us();
    size_t frames = world_texts("mcu_rx").size();
    StdoutCapture out;
    std::atomic<pid_t> tid{0};
    std::unique_lock<std::mutex> held(sim::ClockLockHolder::mu(clock));
    std::thread sync([&] {
        tid = this_thread_id();
        time_sync();
    });
    bool asleep = wait_asleep(tid);
    usleep(300000);
    held.unlock();
    sync.join();
    ASSERT_TRUE(asleep);
    // Wall and monotonic are read a moment apart: a few virtual ms.
    EXPECT_GT(clock.now_us() - clock.monotonic_us(), offset - 100000);
    auto shell = world_texts("shell");
    EXPECT_NE(std::find(shell.begin(), shell.end(), "date +%s"), shell.end());
    EXPECT_EQ(world_texts("mcu_rx").size(), frames + 1) << out.text();  // the time, to the MCU
}

// The runner reads local times from its first pass, before the clock thread
// links /etc/localtime: the C library had read the image's zone then and kept
// it, so a board shipped in UTC served meals nine hours late until the next
// start. In the simulator the link lives below the root and TZ names it once
// linked; the C library sees it, as on the board, at its next tzset().
TEST_F(Clock, ZoneLinkedAtStartAppliesFromTheNextPass) {
    setenv("TZ", ":UTC", 1);  // the image's zone
    tzset();
    time_t now = plat_time();
    struct tm tm;
    localtime_r(&now, &tm);  // a runner pass before the link
    ASSERT_EQ(tm.tm_gmtoff, 0);

    time_zone_link();
    char target[256] = {0};
    ASSERT_GT(readlink((root_ + "/etc/localtime").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/usr/share/zoneinfo/Asia/Seoul");
    localtime_r(&now, &tm);  // the next pass
    EXPECT_EQ(tm.tm_gmtoff, 9 * 3600);
    auto shell = world_texts("shell");
    EXPECT_EQ(std::count(shell.begin(), shell.end(),
                         "ln -sf /usr/share/zoneinfo/Asia/Seoul /etc/localtime"),
              1);
}

// ntpdate with no answer used to hold the clock thread (and the monitor
// after each weighing) for good: each is ended at its limit, and the clock
// is still read back and given to the MCU.
TEST_F(Clock, HungNtpdateIsEndedAndTheClockStillReadBack) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().shell.hang_ntpdate = true;
    }
    StdoutCapture out;
    size_t frames = world_texts("mcu_rx").size();
    int64_t start = world().clock().monotonic_us();
    time_sync();
    int64_t took = world().clock().monotonic_us() - start;
    int ended = 0, read = 0;
    for (const std::string& t : world_texts("shell")) {
        ended += t.rfind("ended at its limit: ntpdate ", 0) == 0;
        read += t == "date +%s";
    }
    EXPECT_EQ(ended, 3);
    EXPECT_EQ(read, 1);
    EXPECT_EQ(world_texts("mcu_rx").size(), frames + 1);
    EXPECT_GE(took, 3 * 20 * kS);
    EXPECT_LT(took, 3 * 20 * kS + 5 * kS);
    std::string text = out.text();
    EXPECT_NE(text.find("shell : \"ntpdate "), std::string::npos) << text;
    EXPECT_NE(text.find("\" ended at its limit of 20.0 s\n"), std::string::npos) << text;
}

}  // namespace
