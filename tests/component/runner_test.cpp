// The schedule runner on the manual clock: each pass is followed by the
// runner's one-second sleep, and every wait of a feeding moves the clock.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "feeder/feeder.h"
#include "include/feed_cmd.h"
#include "include/gpio_state.h"
#include "sched/sched.h"
#include "tests/support/feeder_fixture.h"
#include "uds/uds.h"

namespace {

class Runner : public FeederTest {
  protected:
    void SetUp() override {
        FeederTest::SetUp();
        sched_clear();
        r_ = SchedRunner{};
    }
    void TearDown() override {
        if (server_ >= 0) close(server_);
        if (client_ >= 0) uds_close(client_);
        sched_clear();
        FeederTest::TearDown();
    }
    // A manual feeding request as the SIP side sends it, waiting in the
    // service's socket until uds_r_event(server_) handles it.
    void send_request(int grams) {
        if (server_ < 0) server_ = uds_open(UDS_SERVER);
        if (client_ < 0) client_ = uds_open(UDS_CLIENT);
        ASSERT_GE(server_, 0);
        ASSERT_GE(client_, 0);
        FeedCmd req;
        memset(&req, 0, sizeof req);
        req.cmd = __FEED_REQ;
        req.feed_amount = grams;
        req.melody[0] = '1';
        ASSERT_EQ(send(client_, &req, sizeof req, 0), ssize_t(sizeof req));
    }
    int32_t reply() {
        FeedCmd r;
        memset(&r, 0, sizeof r);
        EXPECT_EQ(recv(client_, &r, sizeof r, MSG_DONTWAIT), ssize_t(sizeof r));
        return r.cmd;
    }
    int32_t manual_feeding(int grams) {
        send_request(grams);
        uds_r_event(server_);
        return reply();
    }
    // Monitor passes until the clock reaches `until`, as its thread runs them.
    void monitor_until(time_t until) {
        uint32_t sensor = 0;
        while (now() < until) feeder_monitor_pass(int32_t(now()), &sensor);
    }
    // What the owner was told, printed for the record. Never a negative
    // amount served, never more eaten than served.
    std::vector<std::string> owner_texts() {
        usleep(100000);
        std::vector<std::string> m = messages();
        std::smatch g;
        for (const std::string& t : m) {
            printf("owner: %s\n", t.c_str());
            EXPECT_FALSE(std::regex_search(t, std::regex("-\\d+g 제공")));
            if (std::regex_search(t, g, std::regex("(-?\\d+)g/(-?\\d+)g 먹었습니다"))) {
                EXPECT_GE(std::stoi(g[1]), 0) << t;
                EXPECT_LE(std::stoi(g[2]), std::stoi(g[1])) << t;
                EXPECT_GE(std::stoi(g[2]), 0) << t;
            }
        }
        fflush(stdout);
        return m;
    }
    static int count_of(const std::vector<std::string>& texts, const std::string& part) {
        int n = 0;
        for (const std::string& t : texts) n += t.find(part) != std::string::npos;
        return n;
    }
    int server_ = -1, client_ = -1;
    time_t now() { return time_t(world().clock().now_us() / 1000000); }
    // Local time today (day_offset days on) at h:m:s.
    time_t at(int h, int m, int s, int day_offset = 0) {
        time_t t = now();
        struct tm tm;
        localtime_r(&t, &tm);
        tm.tm_mday += day_offset;
        tm.tm_hour = h;
        tm.tm_min = m;
        tm.tm_sec = s;
        tm.tm_isdst = -1;
        return mktime(&tm);
    }
    int wday(time_t t) {
        struct tm tm;
        localtime_r(&t, &tm);
        return tm.tm_wday;
    }
    void place(time_t t) { world().clock().set_time(int64_t(t) * 1000000); }
    void add(const char* uuid, int h, int m, int day, int grams = 30) {
        ScheduleEntry e{};
        snprintf(e.uuid, sizeof e.uuid, "%s", uuid);
        snprintf(e.melody, sizeof e.melody, "2");
        e.feed_time = h * 60 + m;
        e.feed_amount = grams;
        e.days[day] = 1;
        ASSERT_GE(sched_update(&e), 0);
    }
    // Runs passes until the clock reaches `until`.
    void run_until(time_t until) {
        while (now() < until) {
            sched_runner_pass(&r_);
            world().clock().sleep_us(1000000);
        }
    }
    // Local "HH:MM" of every request frame with a given command byte.
    std::vector<std::string> times_of(const char* code) {
        std::vector<sim::Event> evs;
        world().events_since(0, &evs);
        std::vector<std::string> out;
        for (const sim::Event& e : evs) {
            if (e.kind != "mcu_rx" || e.text.substr(6, 2) != code) continue;
            time_t t = time_t(e.t_us / 1000000);
            struct tm tm;
            localtime_r(&t, &tm);
            char hm[8];
            strftime(hm, sizeof hm, "%H:%M", &tm);
            out.push_back(hm);
        }
        return out;
    }
    std::vector<std::string> fills() { return times_of("11"); }   // motor runs
    std::vector<std::string> serves() { return times_of("13"); }  // bowl out
    SchedRunner r_;
};

TEST_F(Runner, FillsTwoMinutesAheadServesAtTheMinuteThenWaits) {
    time_t start = at(7, 57, 30);
    add("A", 8, 0, wday(start));
    size_t calibration_outs = serves().size();
    place(start);
    run_until(at(7, 59, 59));
    EXPECT_EQ(fills(), std::vector<std::string>{"07:58"});
    EXPECT_EQ(serves().size(), calibration_outs);
    EXPECT_EQ(r_.fill_guard, 1);
    // The serve pass ends with the minute's wait.
    while (serves().size() == calibration_outs && now() < at(8, 1, 0)) {
        sched_runner_pass(&r_);
        world().clock().sleep_us(1000000);
    }
    EXPECT_EQ(serves().back(), "08:00");
    EXPECT_GE(now(), at(8, 1, 0));
    EXPECT_EQ(r_.fill_guard, 0);
    ASSERT_NE(f_->in_schedule, nullptr);
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/feeding-log", "g 제공", 5));
    run_until(at(8, 5, 0));
    EXPECT_EQ(fills().size(), 1u);
    EXPECT_EQ(serves().size(), calibration_outs + 1);
}

TEST_F(Runner, MidnightEntriesAreFilledTheEveningBefore) {
    time_t start = at(23, 57, 0);
    int tomorrow = (wday(start) + 1) % 7;
    add("zero", 0, 0, tomorrow, 14);
    add("one", 0, 1, tomorrow, 14);
    place(start);
    run_until(at(0, 4, 0, 1));
    // 00:00 is filled at 23:58. The fill minute of 00:01 (23:59) finds the
    // guard held by 00:00, as for any two entries a minute apart; the 00:00
    // serve's minute wait ends in 00:01 and the same pass serves it.
    EXPECT_EQ(fills(), std::vector<std::string>{"23:58"});
    auto s = serves();
    EXPECT_EQ(std::count(s.begin(), s.end(), "00:00"), 1);
    EXPECT_EQ(std::count(s.begin(), s.end(), "00:01"), 1);
}

TEST_F(Runner, OneMinutePastMidnightIsFilledAt2359) {
    time_t start = at(23, 58, 10);
    int tomorrow = (wday(start) + 1) % 7;
    add("one", 0, 1, tomorrow, 14);
    place(start);
    run_until(at(0, 3, 0, 1));
    EXPECT_EQ(fills(), std::vector<std::string>{"23:59"});
    auto s = serves();
    EXPECT_EQ(std::count(s.begin(), s.end(), "00:01"), 1);
}

TEST_F(Runner, FillWhoseServeNeverCameDoesNotBlockTheNextMeal) {
    time_t start = at(7, 57, 30);
    add("A", 8, 0, wday(start));
    add("B", 9, 0, wday(start), 60);  // more than A left in the bowl, so B's fill runs the motor
    place(start);
    run_until(at(7, 59, 0));
    EXPECT_EQ(r_.fill_guard, 1);
    ScheduleEntry a{};
    snprintf(a.uuid, sizeof a.uuid, "A");
    ASSERT_EQ(sched_delete(&a), 0);  // the phone deletes the meal between fill and serve
    StdoutCapture out;
    run_until(at(9, 0, 30));
    EXPECT_NE(out.text().find("fill guard lapsed: its serve never came"), std::string::npos);
    EXPECT_EQ(fills(), (std::vector<std::string>{"07:58", "08:58"}));
}

TEST_F(Runner, TwoEntriesAtTheSameTimeFeedOnce) {
    time_t start = at(7, 57, 30);
    add("A", 8, 0, wday(start));
    add("B", 8, 0, wday(start));
    size_t before = serves().size();
    place(start);
    run_until(at(8, 3, 0));
    EXPECT_EQ(fills().size(), 1u);
    EXPECT_EQ(serves().size(), before + 1);
}

TEST_F(Runner, FoodLowIsToldTwiceAtMostAndTheMealIsStillServed) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.hopper_grams = 50;
    }
    time_t start = at(7, 57, 30);
    int d = wday(start);
    add("A", 8, 0, d);
    add("B", 9, 0, d);
    add("C", 10, 0, d);
    size_t before = serves().size();
    place(start);
    run_until(at(10, 2, 0));
    EXPECT_TRUE(fills().empty());
    EXPECT_EQ(serves().size(), before + 3);
    EXPECT_EQ(r_.food_low_count, 3);
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "사료가 부족합니다...", 5));
    usleep(200000);
    auto m = messages();
    EXPECT_EQ(std::count(m.begin(), m.end(), std::string(kAlias) + "사료가 부족합니다..."), 2);
}

TEST_F(Runner, MissingBowlAtTheMinuteSkipsTheServe) {
    time_t start = at(7, 57, 30);
    add("A", 8, 0, wday(start));
    size_t before = serves().size();
    place(start);
    run_until(at(7, 59, 30));
    f_->bowl_missing = 1;
    run_until(at(8, 0, 30));
    EXPECT_EQ(serves().size(), before);
    EXPECT_EQ(r_.fill_guard, 1);  // held through the minute...
    run_until(at(8, 1, 5));
    EXPECT_EQ(r_.fill_guard, 0);  // ...and lapsed after it
    EXPECT_EQ(serves().size(), before);
}

TEST_F(Runner, EmptyListAndOtherWeekdaysDoNothing) {
    size_t frames = world_texts("mcu_rx").size();
    place(at(7, 57, 30));
    int64_t t0 = world().clock().monotonic_us();
    sched_runner_pass(&r_);
    EXPECT_EQ(world().clock().monotonic_us(), t0);  // a pass over nothing takes no time
    add("A", 8, 0, (wday(now()) + 3) % 7);
    run_until(at(8, 5, 0));
    EXPECT_EQ(world_texts("mcu_rx").size(), frames);
}

// A phone request that arrived while the runner served used to wait for the
// mechanism, never look at the session again, and feed a second time.
TEST_F(Runner, ManualRequestDuringTheScheduledServeEndsItInsteadOfFeedingAgain) {
    time_t start = at(7, 57, 30);
    add("A", 8, 0, wday(start));
    place(start);
    run_until(at(7, 59, 58));
    ASSERT_EQ(fills(), std::vector<std::string>{"07:58"});
    send_request(30);
    int32_t code = -1;
    {
        // The serve waits at its first weighing while the test holds the load
        // cell; the request comes in meanwhile.
        std::unique_lock<std::mutex> scale(gpio_state()->gpio_lock);
        uint64_t holds = feeder_mech_last();
        std::thread runner([&] { run_until(at(8, 1, 30)); });
        for (int i = 0; i < 2000 && feeder_mech_last() == holds; ++i) usleep(1000);
        EXPECT_GT(feeder_mech_last(), holds);  // the serve holds the mechanism
        std::thread service([&] {
            uds_r_event(server_);
            code = reply();
        });
        usleep(100 * 1000);
        scale.unlock();
        runner.join();
        service.join();
    }
    EXPECT_EQ(code, __FEED_STOP);
    EXPECT_EQ(fills(), std::vector<std::string>{"07:58"});
    auto texts = owner_texts();
    EXPECT_EQ(count_of(texts, "g 제공되었습니다."), 1);
    EXPECT_EQ(count_of(texts, "급식을 중단 합니다."), 1);
}

}  // namespace
