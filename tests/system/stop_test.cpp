// An orderly stop in the middle of the long steps: a manual feeding, the
// weighing of the rest, the runner's minute after a meal. Each step's wait
// ends at the stop (the MCU finishes a motor step by itself), so a stop
// never waits minutes for a big feeding; it still ends disarmed, not reset.
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "include/feed_cmd.h"
#include "include/variant.h"
#include "tests/support/desk.h"
#include "tests/support/emulation.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

class OrderlyStop : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = make_temp_dir("stop");
        sock_ = root_ + "/ctl.sock";
        write_desk_conf(root_);
    }
    void TearDown() override {
        if (d_) d_->stop(SIGKILL, 5);
        if (feeder_.joinable()) feeder_.join();
        remove_tree(root_);
    }
    // At most 50 times real time, and time held at a thread's late wake-up:
    // the watchdog's 15 s are 300 ms of real time, which a loaded desk (or
    // qemu-arm) can delay a keep-alive by. The beat judged is the daemon's.
    // Held time is slower time: under qemu-arm a loaded round ran the clock
    // at about 7 times real time, so each wait for a step below is bounded
    // at a minute of real time, four under emulation.
    void start(const char* at = nullptr, bool linger = false) {
        std::string bin = std::string(HOPPERD_SIM_BIN_DIR) +
                          (kSilentBuild ? "/hopperd-sim-silent" : "/hopperd-sim");
        std::vector<std::string> argv = {bin,      "--root",      root_, "--speed",   "50",
                                         "--warp", "--max-speed", "50",  "--control", sock_};
        if (at) argv.insert(argv.end(), {"--start", at});
        if (linger) argv.push_back("--linger");
        d_ = std::make_unique<Process>(argv);
        ASSERT_TRUE(d_->wait_for("uds client open fd : ", 20)) << d_->output();
    }
    int feed(int grams) {
        std::string reply = control_request(
            sock_, "{\"op\":\"feed\",\"amount\":" + std::to_string(grams) + ",\"melody\":\"1\"}");
        size_t at = reply.find("\"reply\":");
        return at == std::string::npos ? -1 : atoi(reply.c_str() + at + 8);
    }
    void feed_in_background(int grams) {
        feeder_ = std::thread([this, grams] { feed(grams); });
    }
    // SIGINT as soon as `step` shows after `from`; the output position of the stop.
    size_t interrupt_at(const std::string& step, size_t from) {
        EXPECT_TRUE(d_->wait_for(step, slowed(60), from)) << d_->output();
        size_t mark = d_->output().size();
        kill(d_->pid(), SIGINT);
        return mark;
    }
    // After the stop: the long step was cut short (`cut` never shows after
    // the stop), the watchdog was fed all along and disarmed only after the
    // last join that can take long, and the exit is clean.
    void expect_orderly(size_t mark, const std::string& cut, const std::string& joined) {
        EXPECT_EQ(d_->stop(0, slowed(60)), 0) << d_->output();
        std::string out = d_->output();
        EXPECT_EQ(out.find("sim: watchdog bite"), std::string::npos) << out;
        if (!cut.empty()) {
            EXPECT_EQ(out.find(cut, mark), std::string::npos) << out;
        }
        std::vector<std::string> order = {"shutdown: " + joined + " joined",
                                          "shutdown: uds_thread_proc joined",
                                          "sim: watchdog magic close: disarmed",
                                          "shutdown: watchdog_thread_proc joined", "Bye...."};
        size_t at = mark;
        for (const std::string& text : order) {
            size_t p = out.find(text, at);
            ASSERT_NE(p, std::string::npos) << "'" << text << "' after the stop\n" << out;
            at = p;
        }
        EXPECT_EQ(out.substr(out.size() - 8), "Bye....\n");
    }
    std::string root_, sock_;
    std::unique_ptr<Process> d_;
    std::thread feeder_;
};

TEST_F(OrderlyStop, DuringAManualFeeding) {
    start();
    size_t from = d_->output().size();
    feed_in_background(30);
    // Motor portions, the second weighing and the bowl's way out are still to come.
    size_t mark = interrupt_at("ZELuM1:", from);
    expect_orderly(mark, "ZELuM4:", "uds_thread_proc");
}

// A big feeding's motor step lasts (count + 4) x 2 s: 294 s for 1000 g,
// six real seconds here. The stop used to wait for all of it.
TEST_F(OrderlyStop, DuringABigFeedingsMotorStepEndsAtOnce) {
    start();
    size_t from = d_->output().size();
    feed_in_background(1000);
    size_t mark = interrupt_at("manual feed motor trying 143 count", from);
    auto t0 = std::chrono::steady_clock::now();
    expect_orderly(mark, "manual feed motor retrying", "uds_thread_proc");
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(took, slowed(3.0)) << "the stop waited for the motor step";
}

TEST_F(OrderlyStop, DuringTheWeighingOfTheRest) {
    start();
    ASSERT_EQ(feed(20), __FEED_DONE) << d_->output();
    // A second request ends the session: the monitor weighs at its next pass,
    // which can come before this thread is back from the request.
    size_t from = d_->output().size();
    ASSERT_EQ(feed(20), __FEED_STOP) << d_->output();
    // 20 s of the bowl settling, then the reading and the report.
    size_t mark = interrupt_at("<<<<<<<<<< bowl_in", from);
    expect_orderly(mark, "ZELfM3:", "feeder_thread_proc");
}

// Six minutes before an 8:00 meal. A first start does not serve a meal
// whose minute passed before its runner came up (it cannot know it was not
// served), and beside two other suites the start-up at this pace took more
// than three virtual minutes: from 07:57 the runner came up at 08:00:01.
const char* const kBeforeBreakfast = "2026-12-07 07:54:00";

TEST_F(OrderlyStop, DuringTheRunnersMinuteAfterAMeal) {
    // 2026-12-07 is a Monday.
    write_file(
        root_ + "/etc/feed_sched.conf",
        R"([{"weight":"","feedAmount":"20","feedTime":"8:0","feedDaysOfTheWeek":["day-mon"],"melody":"1","uuid":"breakfast"}])");
    start(kBeforeBreakfast);
    size_t mark = interrupt_at("try to wait a min more...", 0);
    expect_orderly(mark, "", "sched_thread_proc");
}

// A stop while a meal's bowl is on its way out: the bowl reaches the pet
// whatever the program does. The serve used to end there unreported, with
// its served record already kept, so the next start did not serve it
// either: a meal the owner never heard of.
TEST_F(OrderlyStop, WhileTheBowlGoesOutTheMealIsStillReported) {
    write_file(
        root_ + "/etc/feed_sched.conf",
        R"([{"weight":"","feedAmount":"20","feedTime":"8:0","feedDaysOfTheWeek":["day-mon"],"melody":"1","uuid":"breakfast"}])");
    start(kBeforeBreakfast, true);
    ASSERT_TRUE(d_->wait_for("schedule feed try 20 gram and feed", slowed(60))) << d_->output();
    // The bowl leaves once the melody has played; its way out and the wait
    // for it are 13 s, 260 ms of real time here.
    bool going = false;
    for (int i = 0; i < 5000 && !going; ++i) {
        going = control_request(sock_, "{\"op\":\"state\"}").find("\"bowl\":\"moving_out\"") !=
                std::string::npos;
        if (!going) usleep(1000);
    }
    ASSERT_TRUE(going) << d_->output();
    size_t mark = d_->output().size();
    kill(d_->pid(), SIGINT);
    // The world stays (--linger) for a look at where the bowl went.
    ASSERT_TRUE(d_->wait_for("Bye....\n", slowed(60), mark)) << d_->output();
    // Where the bowl went last: out with the pet.
    json_error_t err;
    json_t* log =
        json_loads(control_request(sock_, R"({"op":"log","kind":"bowl"})").c_str(), 0, &err);
    json_t* events = json_object_get(log, "events");
    json_t* last = json_array_get(events, json_array_size(events) - 1);
    EXPECT_STREQ(json_string_value(json_object_get(last, "text")), "arrived out");
    json_decref(log);
    EXPECT_EQ(control_request(sock_, R"({"op":"exit"})"), "{\"ok\":true}");
    expect_orderly(mark, "", "sched_thread_proc");
    std::string out = d_->output();
    EXPECT_EQ(out.find("stopping while the bowl goes out"), std::string::npos) << out;
    EXPECT_NE(out.find("g 제공되었습니다. 2026/12/07-1-08:00:", mark), std::string::npos) << out;
    EXPECT_NE(read_file(root_ + "/etc/feed_served.conf").find("\"breakfast\""), std::string::npos);
}

}  // namespace
