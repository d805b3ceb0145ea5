// Housekeeping: the watchdog as the tasks drive it, on the simulated board's
// watchdog.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "platform/task.h"
#include "sys/sys.h"
#include "tests/support/process.h"
#include "tests/support/sim_fixture.h"

namespace {

const int64_t kS = 1000000;

class TaskWatchdog : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        // Warping: while every thread on the clock sleeps, it jumps to the
        // next wake-up, so keep-alives and the bite fall on their exact times.
        // At real speed: a thread awake holds the clock at its speed, and a
        // faster one turned the watchdog thread's few milliseconds between
        // its look and its keep-alive into a late keep-alive (seen under
        // AddressSanitizer at speed 20: 61 ms).
        start_world(false, 1.0);
        world().clock().set_warp(true);
        task_set_real_floor_s(0);  // judged by the simulated clock alone
    }
    void TearDown() override {
        if (th_.joinable()) {
            watchdog_close(fd_);
            th_.join();
        }
        task_set_real_floor_s(30);
        SimTest::TearDown();
    }
    // As start-up opens it and starts its thread. This thread holds the
    // clock until the first keep-alive (a thread just started is not waited
    // for), then lets it jump by sleeping on it.
    void start_watchdog() {
        world().clock().pace_this_thread();
        fd_ = watchdog_open();
        th_ = std::thread(watchdog_thread_proc, fd_);
        for (int i = 0; i < 5000 && kicks() == 0; ++i) usleep(1000);
        ASSERT_GT(kicks(), 0);
    }
    // Sleeps on the clock, a second at a time, until `done` or `us` have passed.
    template <class Done>
    void run_until(Done done, int64_t us) {
        int64_t end = world().clock().monotonic_us() + us;
        while (!done() && world().clock().monotonic_us() < end) world().clock().sleep_us(kS);
    }
    int kicks() {
        int n = 0;
        for (const sim::Event& e : watchdog_events()) n += e.text == "keepalive";
        return n;
    }
    int64_t now() { return world().clock().now_us(); }
    bool bitten() {
        std::lock_guard<std::mutex> hold(world().mu());
        world().update();
        return world().wdt.bitten;
    }
    std::vector<sim::Event> watchdog_events() {
        std::vector<sim::Event> evs;
        world().events_since(0, &evs, 100000, "watchdog");
        return evs;
    }
    int fd_ = -1;
    std::thread th_;
};

// A thread stuck for good (here in a lock nobody lets go) used to go
// unnoticed: the watchdog thread fed the board on its own.
TEST_F(TaskWatchdog, StuckTaskIsNamedAndTheBoardResetsWithinItsBoundAndTheTimeOut) {
    StdoutCapture out;
    start_watchdog();
    std::mutex never;
    never.lock();
    std::atomic<int64_t> checked_in{0};
    std::atomic<pid_t> tid{0};
    std::thread stuck([&] {
        TaskScope task("stuck", 60);
        checked_in = now();
        tid = this_thread_id();
        std::lock_guard<std::mutex> hold(never);
    });
    // This thread does not wait on the clock: time must not jump before it
    // has checked in.
    ASSERT_TRUE(wait_asleep(tid));
    run_until([&] { return bitten(); }, 200 * kS);
    never.unlock();
    stuck.join();
    ASSERT_TRUE(bitten());
    std::string text = out.text();
    const char kLine[] = "watchdog : stuck silent for ";
    size_t at = text.find(kLine);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_GE(atoi(text.c_str() + at + strlen(kLine)), 60);
    EXPECT_NE(text.find(" s, keep-alives stopped\n", at), std::string::npos);
    // The check-in came at or before `checked_in`.
    int64_t last_kick = 0, bite = 0;
    for (const sim::Event& e : watchdog_events()) {
        if (e.text == "keepalive") last_kick = e.t_us;
        if (e.text.rfind("bite", 0) == 0) bite = e.t_us;
    }
    // None once it was late. A look that falls on the bound itself finds the
    // task in time (a warping clock lands on whole beats), and its
    // keep-alive is written a moment later.
    EXPECT_LE(last_kick - checked_in, 60 * kS + kS / 100);
    EXPECT_LE(bite - checked_in, (60 + 15) * kS + kS / 100);
}

// A long wait of known length, a wait behind another task's lock and a task
// that has ended are no silence: the board is fed throughout.
TEST_F(TaskWatchdog, WaitsAndEndedTasksKeepTheBoardFed) {
    StdoutCapture out;
    start_watchdog();
    std::mutex held;
    held.lock();
    std::thread sleeper([] {
        TaskScope task("sleeper", 10);
        plat_sleep(60);  // six bounds long: a motor step of a big feeding
    });
    std::atomic<pid_t> tid{0};
    std::thread behind([&] {
        TaskScope task("behind", 10);
        tid = this_thread_id();
        auto hold = task_lock_behind(held);  // a feeding holds the mechanism
    });
    std::thread ended([] { TaskScope task("ended", 10); });
    ended.join();
    // It waits on the lock, not on the clock: time must not jump before it
    // has begun its wait.
    ASSERT_TRUE(wait_asleep(tid));
    run_until([] { return false; }, 40 * kS);
    held.unlock();
    behind.join();
    run_until([] { return false; }, 30 * kS);
    sleeper.join();
    EXPECT_FALSE(bitten());
    std::string text = out.text();
    EXPECT_EQ(text.find("silent for"), std::string::npos) << text;
    EXPECT_NE(text.find("watchdog : ended ended"), std::string::npos) << text;
    EXPECT_GE(kicks(), 12);  // one each 5 s
}

// The simulator keeps real system calls real while its clock runs faster: a
// task is late only once the machine's clock agrees. On the board the two are
// one clock.
TEST_F(TaskWatchdog, LateOnlyWhenTheMachinesClockAgrees) {
    start_world(true, 1.0, false);
    TaskScope task("judged", 5);
    world().clock().advance(10 * kS);
    usleep(1000);
    TaskLate late;
    task_set_real_floor_s(30);
    EXPECT_FALSE(task_find_late(&late));
    task_set_real_floor_s(0);
    ASSERT_TRUE(task_find_late(&late));
    EXPECT_STREQ(late.name, "judged");
    EXPECT_EQ(late.bound_s, 5);
    EXPECT_EQ(late.silent_us, 10 * kS);
    task_checkin();
    EXPECT_FALSE(task_find_late(&late));
}

}  // namespace
