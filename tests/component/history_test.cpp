// The world's small record of grams and hopper, and what the state request
// tells besides the physics: what a picture of the device needs.
#include <gtest/gtest.h>
#include <jansson.h>

#include <thread>

#include "include/owned.h"
#include "sim/control.h"
#include "sim/history.h"
#include "tests/support/sim_fixture.h"

namespace {

JsonPtr request(sim::World& w, const char* line) {
    json_error_t err;
    std::string reply = sim::control_handle(w, line);
    JsonPtr j(json_loads(reply.c_str(), 0, &err));
    EXPECT_TRUE(json_is_true(json_object_get(j.get(), "ok"))) << reply;
    return j;
}

TEST(History, OneSampleEveryThirtySecondsAndNoMoreThanSixHours) {
    sim::History h;
    for (int64_t t = 0; t < 60; ++t) h.sample(t, double(t), 2000 - double(t));
    ASSERT_EQ(h.samples().size(), 2u);  // at 0 and 30: one a second would be 60
    EXPECT_EQ(h.samples()[1].mono_s, 30);
    EXPECT_FLOAT_EQ(h.samples()[1].grams, 30);
    EXPECT_FLOAT_EQ(h.samples()[1].hopper, 1970);

    for (int64_t t = 60; t < 10 * 3600; t += 30) h.sample(t, 1, 1);
    EXPECT_EQ(h.samples().size(), sim::History::kMax);
    EXPECT_EQ(h.samples().back().mono_s, 10 * 3600 - 30);
    EXPECT_EQ(h.samples().back().mono_s - h.samples().front().mono_s,
              int64_t(sim::History::kMax - 1) * sim::History::kEveryS);
}

class WorldHistory : public SimTest {};

// Samples keep monotonic time; the request gives them on the wall clock as
// it reads now, so a clock set by the daemon moves the whole record along.
TEST_F(WorldHistory, RequestGivesWallTimesAsTheClockReadsNow) {
    auto& w = world();
    {
        std::lock_guard<std::mutex> hold(w.mu());
        w.history.sample(0, 12.5, 1990);
        w.history.sample(30, 40, 1950);
    }
    int64_t wall = w.clock().now_us() / 1000000, mono = w.clock().monotonic_us() / 1000000;
    JsonPtr h = request(w, R"({"op":"history"})");
    EXPECT_EQ(json_integer_value(json_object_get(h.get(), "every_s")), 30);
    json_t* s = json_object_get(h.get(), "samples");
    ASSERT_EQ(json_array_size(s), 2u);
    EXPECT_EQ(json_integer_value(json_array_get(json_array_get(s, 0), 0)), wall - mono);
    EXPECT_DOUBLE_EQ(json_number_value(json_array_get(json_array_get(s, 0), 1)), 12.5);
    EXPECT_DOUBLE_EQ(json_number_value(json_array_get(json_array_get(s, 1), 2)), 1950);

    w.clock().set_time(int64_t(1700000000) * 1000000);
    h = request(w, R"({"op":"history"})");
    s = json_object_get(h.get(), "samples");
    EXPECT_EQ(json_integer_value(json_array_get(json_array_get(s, 1), 0)), 1700000000 - mono + 30);
}

TEST_F(WorldHistory, TheTickerSamplesARunningWorld) {
    start_world(false, 1000);  // 30 virtual seconds pass in 30 ms
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.food_grams = 21;
    }
    size_t n = 0;
    for (int i = 0; i < 200 && n < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard<std::mutex> hold(world().mu());
        n = world().history.samples().size();
    }
    ASSERT_GE(n, 3u);
    std::lock_guard<std::mutex> hold(world().mu());
    EXPECT_FLOAT_EQ(world().history.samples().back().grams, 21);
    EXPECT_FLOAT_EQ(world().history.samples().back().hopper, 2000);
}

TEST_F(WorldHistory, StateTellsTheFoodLowLineTheLinkAndTheLastKeepAlive) {
    auto& w = world();
    JsonPtr s = request(w, R"({"op":"state"})");
    EXPECT_DOUBLE_EQ(json_number_value(json_object_get(s.get(), "food_low_below")), 150);
    EXPECT_TRUE(json_is_true(json_object_get(s.get(), "network_up")));
    json_t* wdt = json_object_get(s.get(), "watchdog");
    EXPECT_EQ(json_integer_value(json_object_get(wdt, "keepalive_age_s")), -1);  // never fed

    request(w, R"({"op":"set","network_up":false,"food_low_below":300})");
    {
        std::lock_guard<std::mutex> hold(w.mu());
        w.wdt.keepalives = 1;
        w.wdt.last_kick_us = w.clock().monotonic_us();
    }
    w.clock().advance(7 * 1000000LL);
    s = request(w, R"({"op":"state"})");
    EXPECT_DOUBLE_EQ(json_number_value(json_object_get(s.get(), "food_low_below")), 300);
    EXPECT_TRUE(json_is_false(json_object_get(s.get(), "network_up")));
    wdt = json_object_get(s.get(), "watchdog");
    EXPECT_EQ(json_integer_value(json_object_get(wdt, "keepalive_age_s")), 7);
}

}  // namespace
