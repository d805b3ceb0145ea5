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
#include "include/variant.h"
#include "sched/sched.h"
#include "tests/support/feeder_fixture.h"
#include "uds/uds.h"

namespace {

class Runner : public FeederTest {
  protected:
    void SetUp() override {
        FeederTest::SetUp();
        sched_clear();
        sched_load();  // no file: an empty schedule, as a first start finds it
        r_ = SchedRunner{};
    }
    static constexpr const char* kDayNames[7] = {"day-sun", "day-mon", "day-tue", "day-wed",
                                                 "day-thu", "day-fri", "day-sat"};
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
        while (now() < until) feeder_monitor_pass(int64_t(now()), &sensor);
    }
    // What the owner was told, printed for the record. Never a negative
    // amount served, never more eaten than served, and (no pet here finds
    // more than it was given) never a negative amount eaten.
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
    // Meal "A" at 08:00 today, the clock at 07:57:30.
    void breakfast() {
        time_t start = at(7, 57, 30);
        add("A", 8, 0, wday(start));
        place(start);
    }
    // Runs passes until the clock reaches `until`; with `monitor`, a pass of
    // the consumption monitor after each, as its thread would run.
    void run_until(time_t until, bool monitor = false) {
        uint32_t sensor = 0;
        while (now() < until) {
            sched_runner_pass(&r_);
            world().clock().sleep_us(1000000);
            if (monitor) feeder_monitor_pass(int64_t(now()), &sensor);
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
    void manual_feeding_between_fill_and_serve(int lost_reads);
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
    EXPECT_GT(r_.filled.at, 0);  // the bowl holds the meal until its serve
    // The serve pass ends with the minute's wait.
    while (serves().size() == calibration_outs && now() < at(8, 1, 0)) {
        sched_runner_pass(&r_);
        world().clock().sleep_us(1000000);
    }
    EXPECT_EQ(serves().back(), "08:00");
    EXPECT_GE(now(), at(8, 1, 0));
    EXPECT_EQ(r_.filled.at, 0);
    ASSERT_NE(f_->in_schedule, nullptr);
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/feeding-log", "g 제공", 5));
    run_until(at(8, 5, 0));
    EXPECT_EQ(fills().size(), 1u);
    EXPECT_EQ(serves().size(), calibration_outs + 1);
}

// A player that never returns used to hold the runner, and the schedule
// lock with it, for good: every later meal was lost. The melody is ended at
// its limit, and the meal is served and reported all the same.
TEST_F(Runner, HungPlayerIsEndedAndTheMealStillServed) {
    if (kSilentBuild) GTEST_SKIP() << "the silent build plays no melody";
    breakfast();
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().shell.hang_play = true;
    }
    size_t outs = serves().size();
    StdoutCapture out;
    run_until(at(8, 3, 0));
    std::string text = out.text();
    ASSERT_EQ(serves().size(), outs + 1) << text;
    EXPECT_EQ(serves().back(), "08:01");  // the melody's minute, then the bowl goes out
    ASSERT_NE(f_->in_schedule, nullptr);
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/feeding-log", "g 제공", 5));
    auto sh = shell();
    EXPECT_EQ(
        std::count(sh.begin(), sh.end(), "ended at its limit: /root/play /root/audio/melody2.g711"),
        1);
    EXPECT_NE(
        text.find("shell : \"/root/play /root/audio/melody2.g711\" ended at its limit of 60.0 s"),
        std::string::npos);
}

TEST_F(Runner, MidnightEntriesAreFilledTheEveningBefore) {
    time_t start = at(23, 57, 0);
    int tomorrow = (wday(start) + 1) % 7;
    add("zero", 0, 0, tomorrow, 14);
    add("one", 0, 1, tomorrow, 14);
    place(start);
    run_until(at(0, 4, 0, 1));
    // 00:00 is filled at 23:58. The fill minute of 00:01 (23:59) finds the
    // bowl holding 00:00; 00:01 is filled in its own minute, once 00:00 is
    // served, and served then.
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
    ScheduleEntry a{};
    snprintf(a.uuid, sizeof a.uuid, "A");
    ASSERT_EQ(sched_delete(&a), 0);  // the phone deletes the meal between fill and serve
    run_until(at(9, 0, 30));
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

// The hopper low at a meal's fill used to be told for the first two such
// meals since the start only: every later meal passed unfilled without a
// word.
TEST_F(Runner, FoodLowIsToldAtEveryMealAndTheMealIsStillServed) {
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
    run_until(at(10, 2, 0), true);  // each meal's bowl weighed and back in before the next
    EXPECT_TRUE(fills().empty());
    EXPECT_EQ(serves().size(), before + 3);
    EXPECT_EQ(r_.food_low_count, 3);
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "사료가 부족합니다...", 5));
    usleep(200000);
    auto m = messages();
    EXPECT_EQ(std::count(m.begin(), m.end(), std::string(kAlias) + "사료가 부족합니다..."), 3);
}

// The bowl taken away between the fill and the serve: the serve weighs
// before it presents, finds no bowl, sends the bowl position out for the
// owner and tells; put back by the next meal, that one is served.
TEST_F(Runner, BowlTakenAwayAfterTheFillIsToldAndNotPresented) {
    time_t start = at(7, 57, 30);
    add("A", 8, 0, wday(start));
    add("B", 9, 0, wday(start));
    place(start);
    run_until(at(7, 59, 30));
    ASSERT_EQ(fills(), std::vector<std::string>{"07:58"});
    size_t outs = serves().size();
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.bowl_present = false;
    }
    run_until(at(8, 5, 0), true);
    EXPECT_EQ(serves().size(), outs + 1);  // out once, for the owner to put a bowl back
    EXPECT_EQ(f_->bowl_missing, 1);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.bowl_present = true;
    }
    run_until(at(9, 2, 0), true);
    auto texts = owner_texts();
    EXPECT_EQ(count_of(texts, "그릇이 빠진것같습니다. 확인해주세요."), 1);
    EXPECT_EQ(count_of(texts, "제공되었습니다."), 1);  // B's
    auto s = serves();
    EXPECT_EQ(std::count(s.begin(), s.end(), "09:00"), 1);
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

// A manual feeding between a meal's fill and its serve takes the filled
// bowl to the pet. The serve used to weigh the bowl the manual feeding had
// moved out ("-156g 제공되었습니다."), and later refused to serve it at all,
// silently. Now the meal's minute fills again: the bowl comes back, the
// manual feeding ends with its eaten report, and the meal is served. The
// first `lost_reads` requests after the manual feeding (the new fill's
// sensor reads) never reach the MCU.
void Runner::manual_feeding_between_fill_and_serve(int lost_reads) {
    breakfast();
    run_until(at(7, 58, 40));
    ASSERT_EQ(fills(), std::vector<std::string>{"07:58"});
    size_t outs = serves().size();
    EXPECT_EQ(manual_feeding(20), __FEED_DONE);
    ASSERT_LT(now(), at(8, 0, 0));
    if (lost_reads > 0) {
        std::lock_guard<std::mutex> hold(world().mu());
        world().mcu.fault = sim::McuFault::Lost;
        world().mcu.fault_count = lost_reads;
    }
    size_t ins = times_of("12").size();
    StdoutCapture out;
    run_until(at(8, 2, 0));
    EXPECT_NE(out.text().find("schedule serve : the bowl was used since its fill, filling A now"),
              std::string::npos);
    EXPECT_EQ(times_of("12").size(), ins + 1) << out.text();  // brought back from the pet
    auto s = serves();
    EXPECT_EQ(s.size(), outs + 2);
    EXPECT_EQ(std::count(s.begin(), s.end(), "08:00"), 1);
    monitor_until(at(8, 12, 0));
    auto texts = owner_texts();
    EXPECT_EQ(count_of(texts, "그릇이 빠진것같습니다."), 0);
    EXPECT_EQ(count_of(texts, "28g 제공되었습니다."), 2);  // the fill's four portions, twice shown
    EXPECT_EQ(count_of(texts, "28g/0g 먹었습니다."), 2);
}

TEST_F(Runner, ManualFeedingBetweenFillAndServeEndsAndTheMealIsStillServed) {
    manual_feeding_between_fill_and_serve(0);
}

// The fill's sensor read unanswered, with the bowl out with the pet: the
// fill's word from before the manual feeding ("bowl in") was taken as the
// reading. The empty scale was weighed, the owner told the bowl was missing,
// and the meal was not served.
TEST_F(Runner, AnUnansweredSensorReadIsReadAgain) {
    manual_feeding_between_fill_and_serve(1);
}

// Never answered: where the bowl is is not known, and it is brought in.
TEST_F(Runner, ASensorTheMcuNeverAnswersStillBringsTheBowlIn) {
    manual_feeding_between_fill_and_serve(2);
}

// Meals close together: each is served, and the earlier one's session ends
// with its eaten report when the next one's fill takes the bowl back. They
// used to be dropped without a word ("a feeding is being eaten, not
// filled", then "the bowl was not filled for it, not served").
TEST_F(Runner, MealsOneAndFiveMinutesApartAreEachServed) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.pet_appetite = 10;
    }
    time_t start = at(7, 57, 30);
    add("A", 8, 0, wday(start));
    add("B", 8, 1, wday(start));
    add("C", 8, 6, wday(start));
    place(start);
    run_until(at(8, 9, 0), true);
    auto s = serves();
    EXPECT_EQ(std::count(s.begin(), s.end(), "08:00"), 1);
    // B's minute passes while A is served and waited for: B comes right after.
    EXPECT_EQ(std::count(s.begin(), s.end(), "08:01") + std::count(s.begin(), s.end(), "08:02"), 1);
    EXPECT_EQ(std::count(s.begin(), s.end(), "08:06"), 1);
    monitor_until(at(8, 17, 0));
    auto texts = owner_texts();
    EXPECT_EQ(count_of(texts, "g 제공되었습니다."), 3);
    EXPECT_EQ(count_of(texts, "먹었습니다."), 3);
    // A: 28 g, 10 eaten before B's fill took the bowl back; B topped up to 32
    // and C from what B left.
    EXPECT_EQ(count_of(texts, "28g/10g 먹었습니다."), 1);
    EXPECT_EQ(count_of(texts, "32g 제공되었습니다."), 1);
}

// A manual feeding a few minutes before a meal: its session was open at the
// meal's fill, so the meal was never filled nor served, and the owner heard
// only of the manual feeding.
TEST_F(Runner, ManualFeedingBeforeAMealDoesNotKeepItFromBeingServed) {
    time_t start = at(7, 53, 0);
    add("A", 8, 0, wday(start));
    place(start);
    EXPECT_EQ(manual_feeding(20), __FEED_DONE);
    run_until(at(8, 2, 0), true);
    auto s = serves();
    EXPECT_EQ(std::count(s.begin(), s.end(), "08:00"), 1);
    EXPECT_EQ(fills(), (std::vector<std::string>{"07:53", "07:58"}));
    monitor_until(at(8, 12, 0));
    auto texts = owner_texts();
    EXPECT_EQ(count_of(texts, "21g 제공되었습니다."), 1);  // the manual feeding: three portions
    EXPECT_EQ(count_of(texts, "21g/0g 먹었습니다."), 1);   // ended by the meal's fill
    EXPECT_EQ(count_of(texts, "28g 제공되었습니다."), 1);
}

// The bowl taken away before a meal: the fill used to end the pass, and the
// next pass a second later filled again: bowl in, missing, out, a notice,
// every 30 s until the serve minute.
TEST_F(Runner, BowlTakenAwayAtAMealIsToldOnceAndNotShuttled) {
    breakfast();
    size_t ins = times_of("12").size(), outs = serves().size();
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.bowl_present = false;
    }
    run_until(at(8, 3, 0), true);
    EXPECT_EQ(times_of("12").size(), ins);  // the bowl was in: only sent out
    EXPECT_EQ(serves().size(), outs + 1);   // out once, for the owner to put a bowl back
    EXPECT_TRUE(fills().empty());
    auto texts = owner_texts();
    EXPECT_EQ(count_of(texts, "그릇이 빠진것같습니다. 확인해주세요."), 1);
    EXPECT_EQ(count_of(texts, "제공"), 0);
    EXPECT_EQ(f_->bowl_missing, 1);
}

// ...and once the bowl is back (the owner puts it there and the phone's
// request brings it in), the meal's own minute fills it and serves it.
TEST_F(Runner, MealIsServedOnceTheBowlIsBackBeforeItsMinute) {
    time_t start = at(7, 57, 50);
    add("A", 8, 0, wday(start));
    place(start);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.bowl_present = false;
    }
    run_until(at(7, 58, 15));
    ASSERT_EQ(f_->bowl_missing, 1);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.bowl_present = true;
    }
    EXPECT_EQ(manual_feeding(30), __FEED_STOP);  // "급식구를 닫습니다.": the bowl comes in
    ASSERT_LT(now(), at(7, 59, 0));
    run_until(at(8, 2, 0));
    EXPECT_EQ(fills(), std::vector<std::string>{"08:00"});
    auto s = serves();
    EXPECT_EQ(std::count(s.begin(), s.end(), "08:00"), 1);
    auto texts = owner_texts();
    EXPECT_EQ(count_of(texts, "그릇이 빠진것같습니다. 확인해주세요."), 1);
    EXPECT_EQ(count_of(texts, "28g 제공되었습니다."), 1);
}

// A restart (an update, a crash) inside the meal's minute after its serve:
// the served record says it was served, and it is not served again.
TEST_F(Runner, RestartInsideTheMealsMinuteDoesNotServeItAgain) {
    breakfast();
    run_until(at(8, 1, 0));
    auto first = serves();
    ASSERT_EQ(std::count(first.begin(), first.end(), "08:00"), 1);
    place(at(8, 0, 40));  // the daemon started again, the bowl with the pet
    r_ = SchedRunner{};
    run_until(at(8, 3, 0));
    auto s = serves();
    EXPECT_EQ(std::count(s.begin(), s.end(), "08:00"), 1);
    auto texts = owner_texts();
    EXPECT_EQ(count_of(texts, "g 제공되었습니다."), 1);
}

// Stopped after the fill, started again inside the meal's minute (an
// update, a power blip): a runner that started inside the minute used to
// leave the meal unserved, since it could not know whether it had been. The
// served record knows.
TEST_F(Runner, RestartInsideTheMealsMinuteBeforeItsServeStillServesIt) {
    breakfast();
    ASSERT_EQ(sched_served_write(SchedMeal{"yesterday", at(8, 0, 0, -1)}), 0);
    run_until(at(7, 59, 0));
    ASSERT_EQ(fills(), std::vector<std::string>{"07:58"});
    place(at(8, 0, 52));  // calibration done after a start at 08:00:15
    r_ = SchedRunner{};
    StdoutCapture out;
    run_until(at(8, 3, 0));
    EXPECT_NE(out.text().find("schedule serve : the bowl was not filled for it, filling A now"),
              std::string::npos);
    EXPECT_EQ(fills().size(), 1u);  // the bowl held the meal: no motor ran again
    auto texts = owner_texts();
    EXPECT_EQ(count_of(texts, "28g 제공되었습니다."), 1);
    // ...and once more after it, the served record keeps it from a third time.
    place(at(8, 2, 10));
    r_ = SchedRunner{};
    run_until(at(8, 4, 0));
    EXPECT_EQ(count_of(owner_texts(), "g 제공되었습니다."), 1);
}

// The runner starts before the schedule file is loaded, and its first passes
// see an empty list. Those passes used to count as having looked at the
// minutes they saw: a start that crossed into the next minute before the
// load dropped the meal of the minute before (a restart just before a meal).
TEST_F(Runner, PassesBeforeTheScheduleIsLoadedDropNoMeal) {
    ASSERT_EQ(sched_served_write(SchedMeal{"yesterday", at(8, 0, 0, -1)}), 0);
    time_t start = at(8, 0, 40);
    place(start);
    sched_clear();  // as at start-up: the runner runs, the file is not read yet
    run_until(at(8, 1, 5));
    write_file(root_ + "/etc/feed_sched.conf",
               "[{\"weight\":\"\",\"feedAmount\":\"30\",\"feedTime\":\"8:0\",\"feedDaysOfTheWeek\":"
               "[\"" +
                   std::string(kDayNames[wday(start)]) + "\"],\"melody\":\"1\",\"uuid\":\"A\"}]");
    ASSERT_EQ(sched_load(), 0);
    run_until(at(8, 4, 0));
    EXPECT_EQ(count_of(owner_texts(), "제공되었습니다."), 1);
}

// Without a served record (a first start, or an update from a version that
// kept none) nothing before the start is taken as due: a meal that version
// served just before the update is not served twice.
TEST_F(Runner, WithoutAServedRecordAMealBeforeTheStartIsNotServed) {
    breakfast();
    place(at(8, 0, 30));
    run_until(at(8, 3, 0));
    EXPECT_EQ(count_of(owner_texts(), "제공되었습니다."), 0);
}

// A restart in the fill minute fills again (by weight: nothing is added to
// a bowl already holding the meal) and the meal is served once.
TEST_F(Runner, RestartInTheFillMinuteStillServesTheMealOnce) {
    breakfast();
    run_until(at(7, 58, 30));
    ASSERT_EQ(fills(), std::vector<std::string>{"07:58"});
    r_ = SchedRunner{};
    run_until(at(8, 2, 0));
    EXPECT_EQ(fills().size(), 1u);  // the second fill ran no motor
    auto s = serves();
    EXPECT_EQ(std::count(s.begin(), s.end(), "08:00"), 1);
    auto texts = owner_texts();
    EXPECT_EQ(count_of(texts, "28g 제공되었습니다."), 1);
}

// A restart between the fill and the serve: the new runner did not fill the
// meal; it fills it in its minute (by weight: the bowl already holds it) and
// serves it once.
TEST_F(Runner, RestartBetweenFillAndServeStillServesTheMealOnce) {
    breakfast();
    run_until(at(7, 59, 10));
    ASSERT_EQ(fills(), std::vector<std::string>{"07:58"});
    r_ = SchedRunner{};  // the daemon started again at 07:59:10
    StdoutCapture out;
    run_until(at(8, 3, 0));
    EXPECT_NE(out.text().find("schedule serve : the bowl was not filled for it, filling A now"),
              std::string::npos);
    EXPECT_EQ(fills().size(), 1u);  // the bowl held the meal: no motor ran again
    auto s = serves();
    EXPECT_EQ(std::count(s.begin(), s.end(), "08:00"), 1);
    auto texts = owner_texts();
    EXPECT_EQ(count_of(texts, "g 제공되었습니다."), 1);
    EXPECT_EQ(count_of(texts, "28g 제공되었습니다."), 1);
}

// A phone request that arrived while the runner served used to wait for the
// mechanism, never look at the session again, and feed a second time.
TEST_F(Runner, ManualRequestDuringTheScheduledServeEndsItInsteadOfFeedingAgain) {
    breakfast();
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

// One user of the bowl and motor at a time: a weighing of the rest holds the
// mechanism while a phone request and a scheduled fill come in; neither
// moves the bowl or the motor until the weighing is done, and then one after
// the other.
TEST_F(Runner, WeighingManualFeedingAndScheduledFillTakeTheMechanismInTurn) {
    // Each report takes 1.5 s to answer, so the weighing stays inside its
    // "먹었습니다." report, holding the mechanism, while the others arrive.
    cloud_ = std::make_unique<CloudService>("slow", 1500);
    ASSERT_TRUE(cloud_->ready());
    use_cloud_host(root_, cloud_->addr());
    time_t start = at(7, 58, 5);
    add("B", 8, 0, wday(start));
    place(start);
    set_food(20);  // a scheduled meal of 30 g of which the pet ate 10...
    set_bowl(sim::BowlPos::Out);
    open_session(false, int64_t(now()) - 600, 30);  // ...due to be weighed
    send_request(20);
    size_t frames = 0;
    std::vector<std::string> before_done;
    int32_t code = -1;
    std::thread monitor([&] {
        uint32_t sensor = 0;
        feeder_monitor_pass(int64_t(now()), &sensor);
    });
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "먹었습니다.", 10));
    frames = mcu_codes().size();
    std::thread service([&] {
        uds_r_event(server_);
        code = reply();
    });
    std::thread runner([&] { sched_runner_pass(&r_); });
    usleep(500 * 1000);
    auto codes = mcu_codes();
    for (size_t i = frames; i < codes.size(); ++i)
        if (codes[i] != "30") before_done.push_back(codes[i]);  // sensor reads come first
    monitor.join();
    service.join();
    runner.join();
    EXPECT_TRUE(before_done.empty()) << before_done.front();
    // After the weighing: the fill (two portions onto the rest, and the motor
    // backed off) and then the manual feeding serving that bowl; or the
    // manual feeding first, and the fill taking its bowl back, ending its
    // session with the report, and topping up.
    codes = mcu_codes();
    std::string moves;
    for (size_t i = frames; i < codes.size(); ++i)
        if (codes[i] >= "11" && codes[i] <= "14") moves += codes[i] + " ";
    bool manual_first = moves == "13 12 11 14 ";
    EXPECT_TRUE(moves == "11 14 13 " || manual_first) << moves;
    EXPECT_EQ(code, __FEED_DONE);
    auto texts = owner_texts();
    EXPECT_EQ(count_of(texts, "30g/10g 먹었습니다."), 1);
    EXPECT_EQ(count_of(texts, manual_first ? "20g 제공되었습니다." : "34g 제공되었습니다."), 1);
    EXPECT_EQ(count_of(texts, "20g/0g 먹었습니다."), manual_first ? 1 : 0);
}

// With no calibration the fill dispenses nothing, and the serve used to
// present the bowl anyway: "0g 제공되었습니다." for a meal never filled.
TEST_F(Runner, WithoutAScaleTheMealIsNeitherFilledNorServedAndTheOwnerIsTold) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().adc.fault = sim::AdcFault::Markerless;
        world().adc.fault_count = -1;
    }
    calibrate();
    ASSERT_FALSE(feeder_scale_ready());
    time_t start = at(7, 57, 30);
    add("A", 8, 0, wday(start));
    size_t outs = serves().size();
    place(start);
    run_until(at(8, 2, 0));
    EXPECT_TRUE(fills().empty());
    EXPECT_EQ(serves().size(), outs);
    auto texts = owner_texts();
    EXPECT_EQ(count_of(texts, "제공"), 0);
    // ...but never silently: the owner hears why, once for the meal.
    EXPECT_EQ(count_of(texts, "저울이 응답하지 않습니다. 확인해주세요."), 1);
}

// A scheduled fill holds the mechanism through its weighing and motor steps:
// a phone request coming in meanwhile waits, then finds the meal's food in
// the bowl and adds nothing to it.
TEST_F(Runner, ManualRequestDuringAScheduledFillWaitsForIt) {
    time_t start = at(7, 58, 0);
    add("A", 8, 0, wday(start));
    place(start);
    send_request(20);
    size_t frames = mcu_codes().size();
    std::vector<std::string> early;
    int32_t code = -1;
    {
        // The fill waits at its first weighing while the test holds the load cell.
        std::unique_lock<std::mutex> scale(gpio_state()->gpio_lock);
        uint64_t holds = feeder_mech_last();
        std::thread runner([&] { sched_runner_pass(&r_); });
        for (int i = 0; i < 2000 && feeder_mech_last() == holds; ++i) usleep(1000);
        EXPECT_GT(feeder_mech_last(), holds);  // the fill holds the mechanism
        std::thread service([&] {
            uds_r_event(server_);
            code = reply();
        });
        usleep(100 * 1000);
        auto codes = mcu_codes();
        for (size_t i = frames; i < codes.size(); ++i)
            if (codes[i] != "30") early.push_back(codes[i]);
        scale.unlock();
        runner.join();
        service.join();
    }
    EXPECT_TRUE(early.empty());
    // The fill's four portions and its back-off, then the manual feeding
    // presenting that bowl without a motor run of its own.
    auto codes = mcu_codes();
    std::string moves;
    for (size_t i = frames; i < codes.size(); ++i)
        if (codes[i] >= "11" && codes[i] <= "14") moves += codes[i] + " ";
    EXPECT_EQ(moves, "11 14 13 ");
    EXPECT_EQ(code, __FEED_DONE);
    EXPECT_EQ(count_of(owner_texts(), "28g 제공되었습니다."), 1);
}

}  // namespace
