// The soak's invariants trip on the faults they are there for, and hold on
// what a sound device does.
#include "bench/soak_check.h"

#include <gtest/gtest.h>

namespace {

using soak::Frame;
using soak::Message;

TEST(SoakCheck, OneUserOfTheBowlAndMotor) {
    // A feeding as the device runs it: in, arrived, motor, out once it stopped.
    std::vector<Frame> sound = {{100, "bowl", "in"},          {108, "bowl", "arrived in"},
                                {120, "motor", "feed 4"},     {130, "bowl", "out"},
                                {138, "bowl", "arrived out"}, {700, "bowl", "in"},
                                {708, "bowl", "arrived in"},  {720, "bowl", "out"}};
    EXPECT_TRUE(soak::check_one_user(sound, 0.8).empty());

    // A second user takes the bowl out while the first one's motor turns.
    std::vector<Frame> moved = sound;
    moved[3].t = 121;
    auto bad = soak::check_one_user(moved, 0.8);
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].t, 121);
    // The motor runs while the bowl is out with the pet.
    std::vector<Frame> spill = {
        {100, "bowl", "out"}, {108, "bowl", "arrived out"}, {110, "motor", "feed 3"}};
    EXPECT_EQ(soak::check_one_user(spill, 0.8).size(), 1u);
    // A new daemon brings a new world with the bowl in.
    spill.insert(spill.begin() + 2, {109, "start", ""});
    EXPECT_TRUE(soak::check_one_user(spill, 0.8).empty());
}

TEST(SoakCheck, KeepAlivesKeepPaceAndNoBite) {
    std::vector<Frame> kicks;
    for (long t = 0; t <= 100; t += 5) kicks.push_back({t, "watchdog", "keepalive"});
    long worst = 0;
    EXPECT_TRUE(soak::check_keepalives(kicks, {{0, 100}}, 7, &worst).empty());
    EXPECT_EQ(worst, 5);
    kicks.push_back({111, "watchdog", "keepalive"});
    EXPECT_EQ(soak::check_keepalives(kicks, {{0, 200}}, 7, &worst).size(), 1u);
    EXPECT_EQ(worst, 11);
    // Between two daemons nothing is fed, and that is no gap.
    EXPECT_TRUE(soak::check_keepalives(kicks, {{0, 100}, {111, 200}}, 7, &worst).empty());
    // A daemon started again, whose clock ran on before its first keep-alive.
    std::vector<Frame> again(kicks.begin(), kicks.end() - 1);
    again.push_back({101, "watchdog", "start"});
    again.push_back({5000, "watchdog", "keepalive"});
    again.push_back({5005, "watchdog", "keepalive"});
    EXPECT_TRUE(soak::check_keepalives(again, {{0, 100}, {101, 6000}}, 7, &worst).empty());
    again.push_back({5020, "watchdog", "keepalive"});
    EXPECT_EQ(soak::check_keepalives(again, {{0, 100}, {101, 6000}}, 7, &worst).size(), 1u);
    kicks.push_back({112, "watchdog", "bite: no keep-alive for 15 s"});
    EXPECT_EQ(soak::check_keepalives(kicks, {{0, 100}, {111, 200}}, 7, &worst).size(), 1u);
}

TEST(SoakCheck, ReportsNeitherNegativeNorImpossible) {
    int checked = 0;
    std::vector<Message> sound = {{1, "30g 제공되었습니다. 2026/12/07-1-08:00:21"},
                                  {2, "30g 제공"},
                                  {3, "30g/12g 먹었습니다."},
                                  {4, "0g/0g 먹었습니다."},
                                  {5, "사료가 부족합니다."}};
    EXPECT_TRUE(soak::check_reports(sound, 85, &checked).empty());
    EXPECT_EQ(checked, 4);
    std::vector<Message> wrong = {{1, "-4g 제공되었습니다. 2026/12/07-1-08:00:21"},
                                  {2, "300g 제공"},
                                  {3, "30g/-7g 먹었습니다."},
                                  {4, "30g/40g 먹었습니다."}};
    EXPECT_EQ(soak::check_reports(wrong, 85, &checked).size(), 4u);
}

TEST(SoakCheck, EachNoticeOncePerChangeOfItsCondition) {
    const std::string low = "사료가 부족합니다.";
    // The hopper ran low at 100 and again at 1000; the daemon started at 500
    // with it still low.
    std::vector<Message> sound = {{103, low}, {503, low}, {1003, low}, {1100, "밥"}};
    EXPECT_TRUE(soak::check_notice(sound, low, {100, 1000}, {500}, 60).empty());
    // A bell that rings on every pass of the monitor.
    std::vector<Message> flood;
    for (long t = 103; t < 400; t += 3) flood.push_back({t, low});
    auto bad = soak::check_notice(flood, low, {100, 1000}, {500}, 60);
    EXPECT_EQ(bad.size(), flood.size() - 1);
    EXPECT_EQ(bad[0].t, 106);
    // Sent with the hopper never low.
    EXPECT_EQ(soak::check_notice({{50, low}}, low, {}, {}, 10).size(), 1u);
    // As the messaging service records them: the feeder's name stands in
    // front, and a flood must still be seen.
    std::vector<Message> recorded;
    for (long t = 103; t < 120; t += 3)
        recorded.push_back({t, soak::owner_text("${product.alias} " + low)});
    EXPECT_EQ(soak::check_notice(recorded, low, {100}, {}, 60).size(), recorded.size() - 1);
    EXPECT_EQ(soak::owner_text("56g 제공"), "56g 제공");
    // Seen late: the start's notice (sent near 150) read only at 320, after
    // the onset at 300, and the onset's own at 330. Each has its mark.
    std::vector<Message> late = {{320, low, 140}, {330, low, 320}};
    EXPECT_TRUE(soak::check_notice(late, low, {300}, {100}, 10).empty());
    // Two seen late with one mark in their reach are still one too many.
    std::vector<Message> twice = {{320, low, 140}, {330, low, 140}};
    EXPECT_EQ(soak::check_notice(twice, low, {}, {100}, 10).size(), 1u);
}

// Junk in front of a sensor reply that the device's link takes for a reply:
// the sensor word it reads then is the junk's, so the notice it sends again
// after the true reply is a change of the condition as the device saw it.
TEST(SoakCheck, AJunkSensorReplyTheLinkTakesIsAChangeOfTheCondition) {
    // 5E + 00 sums to the complement of A1: the first six bytes pass, word 00.
    EXPECT_EQ(soak::misread_sensor("reply 11 22 5E 00 A1 02 30 01 CE A8"), 0x00);
    // 5C + A1 to the complement of 02: word A1, food low set, bowl missing clear.
    EXPECT_EQ(soak::misread_sensor("reply 33 44 5C A1 02 30 11 BE A8"), 0xA1);
    // The same junk one off: rejected.
    EXPECT_EQ(soak::misread_sensor("reply 11 22 5F 00 A1 02 30 01 CE A8"), -1);
    // No junk, the reply of another command, other faults' texts.
    EXPECT_EQ(soak::misread_sensor("reply A1 02 30 01 CE A8"), -1);
    EXPECT_EQ(soak::misread_sensor("reply 11 22 5E 00 A1 02 12 00 ED A8"), -1);
    EXPECT_EQ(soak::misread_sensor("reply A1 02 30"), -1);
    EXPECT_EQ(soak::misread_sensor("late A1 02 30 01 CE A8"), -1);

    const std::string low = "사료가 부족합니다.";
    // Low since 100, told at 103; junk read at 400 cleared the latch and the
    // next pass told again.
    std::vector<Message> again = {{103, low}, {403, low}};
    EXPECT_EQ(soak::check_notice(again, low, {100}, {}, 10).size(), 1u);
    EXPECT_TRUE(soak::check_notice(again, low, {100}, {400}, 10).empty());
}

TEST(SoakCheck, EachMealServedExactlyOnce) {
    std::vector<soak::Meal> meals = {{1000, true, ""}, {5000, true, ""}, {9000, false, "bowl"}};
    auto ok = soak::check_meals(meals, {{1021, 30}, {5019, 30}}, 150);
    EXPECT_TRUE(ok.bad.empty());
    EXPECT_EQ(ok.due, 3);
    EXPECT_EQ(ok.required, 2);
    EXPECT_EQ(ok.served, 2);
    // Served again after a restart inside its minute.
    auto twice = soak::check_meals(meals, {{1021, 30}, {1050, 30}, {5019, 30}}, 150);
    EXPECT_EQ(twice.doubled, 1);
    ASSERT_EQ(twice.bad.size(), 1u);
    EXPECT_EQ(twice.bad[0].t, 1050);
    // A required meal missed; an excused one is no fault.
    auto missed = soak::check_meals(meals, {{1021, 30}}, 150);
    EXPECT_EQ(missed.missed, 1);
    EXPECT_EQ(missed.bad.size(), 1u);
    // A serve no meal asked for.
    EXPECT_EQ(soak::check_meals(meals, {{1021, 30}, {5019, 30}, {7000, 30}}, 150).doubled, 1);
}

TEST(SoakCheck, AServeExcusesTheMealsAfterItNeverItsOwn) {
    // Meals at 1000, the minute after, and an hour on; the first is served
    // 40 s into its minute and its bowl is eaten from for ten minutes.
    std::vector<soak::Meal> meals = {{1000, true, ""}, {1060, true, ""}, {4600, true, ""}};
    soak::excuse_meals(&meals, {{1041, 1820, "a feeding being eaten", 1040}}, 150);
    EXPECT_TRUE(meals[0].required);
    EXPECT_FALSE(meals[1].required);
    EXPECT_EQ(meals[1].why, "a feeding being eaten");
    EXPECT_TRUE(meals[2].required);
    // A manual feeding's bowl belongs to no meal: it excuses the one it meets.
    std::vector<soak::Meal> one = {{1000, true, ""}};
    soak::excuse_meals(&one, {{1041, 1820, "a feeding being eaten", -1}}, 150);
    EXPECT_FALSE(one[0].required);
    // Other excuses reach three minutes before a meal and one after it.
    std::vector<soak::Meal> near = {{1000, true, ""}, {2000, true, ""}, {3000, true, ""}};
    soak::excuse_meals(&near, {{700, 819, "early"}, {1900, 2000, "a fault"}, {3061, 3100, "late"}},
                       150);
    EXPECT_TRUE(near[0].required);
    EXPECT_FALSE(near[1].required);
    EXPECT_TRUE(near[2].required);
}

TEST(SoakCheck, FlatFigures) {
    long base, last;
    std::vector<std::pair<long, long>> uss = {{10, 5000}, {100, 7000}, {200, 7300}, {300, 7200}};
    EXPECT_TRUE(soak::check_flat(uss, 100, 1024, "USS", &base, &last).empty());
    EXPECT_EQ(base, 7000);
    EXPECT_EQ(last, 7200);
    uss.push_back({400, 9000});
    EXPECT_EQ(soak::check_flat(uss, 100, 1024, "USS", &base, &last).size(), 1u);
}

}  // namespace
