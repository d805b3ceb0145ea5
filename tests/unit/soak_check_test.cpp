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
    // ... or out, where a power cut left it.
    spill[2].text = "out";
    EXPECT_EQ(soak::check_one_user(spill, 0.8).size(), 1u);

    // Sent in while it is in (a sensor read the MCU left unanswered): the
    // bowl does not move, and the motor may turn.
    std::vector<Frame> again = {{100, "bowl", "in"},
                                {108, "bowl", "arrived in"},
                                {200, "bowl", "in"},
                                {220, "motor", "feed 3"}};
    EXPECT_TRUE(soak::check_one_user(again, 0.8).empty());
    // Sent in while it is out: it moves, and the motor must wait for it.
    again[0].text = "out";
    again[1].text = "arrived out";
    EXPECT_EQ(soak::check_one_user(again, 0.8).size(), 1u);
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
    // The date text ends a served report with its line end.
    EXPECT_EQ(soak::owner_text("${product.alias} 5g 제공되었습니다. 2026/12/07-1-08:00:21\n"),
              "5g 제공되었습니다. 2026/12/07-1-08:00:21");
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

using Spans = std::vector<std::pair<long, long>>;

TEST(SoakCheck, EachMealServedOnceOrTheOwnerToldWhy) {
    std::vector<soak::Meal> meals = {
        {1000, true, ""}, {5000, true, ""}, {9000, false, "the daemon not running"}};
    auto ok = soak::check_meals(meals, {{1021, 30}, {5019, 30}}, {}, {}, {});
    EXPECT_TRUE(ok.bad.empty());
    EXPECT_EQ(ok.due, 3);
    EXPECT_EQ(ok.required, 2);
    EXPECT_EQ(ok.served, 2);
    // Served again after a restart inside its minute.
    auto twice = soak::check_meals(meals, {{1021, 30}, {1050, 30}, {5019, 30}}, {}, {}, {});
    EXPECT_EQ(twice.doubled, 1);
    ASSERT_EQ(twice.bad.size(), 1u);
    EXPECT_EQ(twice.bad[0].t, 1050);
    // A serve no meal asked for, and one later than a late serve may be.
    EXPECT_EQ(soak::check_meals(meals, {{1021, 30}, {5019, 30}, {7000, 30}}, {}, {}, {}).doubled,
              1);
    EXPECT_TRUE(
        soak::check_meals(meals, {{1000 + 600 + 30, 30}, {5019, 30}}, {}, {}, {}).bad.empty());
    EXPECT_EQ(soak::check_meals(meals, {{1000 + 900, 30}, {5019, 30}}, {}, {}, {}).bad.size(), 2u);
    // Two meals a minute apart, both served late and in turn.
    std::vector<soak::Meal> close = {{1000, true, ""}, {1060, true, ""}};
    auto late = soak::check_meals(close, {{1100, 30}, {1240, 30}}, {}, {}, {});
    EXPECT_TRUE(late.bad.empty());
    EXPECT_EQ(late.served, 2);

    // A meal not served: told why, once per meal, or a fault.
    const Message bowl = {950, "그릇이 빠진것같습니다. 확인해주세요."};
    auto untold = soak::check_meals(meals, {{5019, 30}}, {}, {}, {});
    EXPECT_EQ(untold.untold, 1);
    ASSERT_EQ(untold.bad.size(), 1u);
    EXPECT_EQ(untold.bad[0].t, 1000);
    auto told = soak::check_meals(meals, {{5019, 30}}, {bowl}, {}, {});
    EXPECT_TRUE(told.bad.empty());
    EXPECT_EQ(told.told, 1);
    for (const char* why : {"사료가 부족합니다...", "저울이 응답하지 않습니다. 확인해주세요.",
                            "사료그릇이 멈추었습니다... 2026/12/07-1-08:00:21\n"})
        EXPECT_TRUE(soak::check_meals(meals, {{5019, 30}}, {{1030, why}}, {}, {}).bad.empty())
            << why;
    // Texts that tell no meal's fate, and a notice too late.
    for (const Message& m : std::vector<Message>{{1030, "밥그릇이 빠져 있습니다."},
                                                 {1030, "그릇이 빠진것같습니다. 확인바랍니다."},
                                                 {1000 + 600 + 400, bowl.text}})
        EXPECT_EQ(soak::check_meals(meals, {{5019, 30}}, {m}, {}, {}).untold, 1) << m.text;
    // One notice for two meals missed.
    EXPECT_EQ(soak::check_meals(close, {}, {bowl}, {}, {}).untold, 1);
    // Told while the cloud took nothing: it arrives after the cloud is back.
    Message kept = {5200, bowl.text, 5100};
    EXPECT_EQ(soak::check_meals(meals, {{5019, 30}}, {kept}, {}, {}).untold, 1);
    EXPECT_TRUE(soak::check_meals(meals, {{5019, 30}}, {kept}, {{800, 5000}}, {}).bad.empty());

    // Served from a low hopper, the bowl with what it held: the owner hears
    // of it for every such meal.
    Spans low = {{0, 6000}};
    const Message empty = {980, "사료가 부족합니다..."};
    auto silent = soak::check_meals(meals, {{1021, 0}, {5019, 0}}, {empty}, {}, low);
    EXPECT_EQ(silent.low_told, 1);
    ASSERT_EQ(silent.bad.size(), 1u);
    EXPECT_EQ(silent.bad[0].t, 5000);
    EXPECT_TRUE(
        soak::check_meals(meals, {{1021, 0}, {5019, 0}}, {empty, {4990, empty.text}}, {}, low)
            .bad.empty());
    // The hopper refilled between the fill and the serve: no such meal.
    EXPECT_TRUE(soak::check_meals(meals, {{1021, 0}, {5019, 0}}, {}, {}, {{0, 1010}}).bad.empty());
}

TEST(SoakCheck, OnlyADaemonNotRunningOrTheOwnersChangeExcusesAMeal) {
    // [start, stop] of the daemons; each serves 180 s after its start.
    const struct {
        Spans runs;
        bool required;
    } cases[] = {
        {{{0, 20000}}, true},
        {{{0, 10070}}, true},                  // stopped after its fill and serve minute
        {{{0, 10030}}, false},                 // stopped in the minute, not started again
        {{{0, 10030}, {10100, 20000}}, true},  // started again: served late
        {{{0, 9990}, {10400, 20000}}, false},  // up only at the end of the late window
        {{{9950, 20000}}, true},               // started around its minute
    };
    for (const auto& c : cases) {
        std::vector<soak::Meal> m = {{10000, true, ""}};
        soak::excuse_not_running(&m, c.runs, 180);
        EXPECT_EQ(m[0].required, c.required) << c.runs.back().first << " " << c.runs.back().second;
    }
    // The owner changed that meal's entry while it was due; a change of
    // another entry excuses nothing, nor does one long before or after.
    std::vector<soak::Meal> meals = {{10000, true, "", 480},
                                     {10000, true, "", 481},
                                     {20000, true, "", 480},
                                     {30000, true, "", 480}};
    soak::excuse_meals(&meals, {{10500, 10560, "the schedule changed", 480},
                                {19000, 19700, "the schedule changed", 480},
                                {30700, 30800, "the schedule changed", 480}});
    EXPECT_FALSE(meals[0].required);
    EXPECT_EQ(meals[0].why, "the schedule changed");
    EXPECT_TRUE(meals[1].required);
    EXPECT_TRUE(meals[2].required);
    EXPECT_TRUE(meals[3].required);
}

TEST(SoakCheck, EveryAmountTrue) {
    std::vector<Frame> frames = {
        {0, "truth", "presented 60.0"},  // a start with food left
        {9, "truth", "taken ate 1.8 left 58.2"}, {100, "bowl", "arrived out"},
        {100, "truth", "presented 30.2"},        {700, "truth", "taken ate 12.4 left 17.8"},
        {900, "truth", "presented 17.8"},        {960, "truth", "taken ate 3.0 left 14.8 absent"}};
    std::vector<soak::Truth> truth = soak::truth_of(frames);
    ASSERT_EQ(truth.size(), 6u);
    EXPECT_TRUE(truth[2].presented);
    EXPECT_DOUBLE_EQ(truth[3].ate, 12.4);
    EXPECT_DOUBLE_EQ(truth[3].grams, 17.8);
    EXPECT_TRUE(truth[5].absent);

    const std::string at = " 2026/12/07-1-08:00:21";
    std::vector<Message> served = {{113, "30g 제공되었습니다." + at}};
    std::vector<Message> eaten = {{740, "30g/12g 먹었습니다.", 720}};
    auto ok = soak::check_amounts(served, eaten, truth, {}, {}, 5);
    EXPECT_TRUE(ok.bad.empty());
    EXPECT_EQ(ok.served, 1);
    EXPECT_EQ(ok.eaten, 1);
    EXPECT_NEAR(ok.worst_served, 0.2, 1e-9);
    EXPECT_NEAR(ok.worst_eaten, 0.4, 1e-9);
    // A scale calibrated on a bowl with food in it, a serve no bowl went out
    // for, an eaten amount lost in the dead band's neighbour.
    auto wrong =
        soak::check_amounts({{113, "24g 제공되었습니다." + at}, {500, "30g 제공되었습니다." + at}},
                            {}, truth, {}, {}, 5);
    ASSERT_EQ(wrong.bad.size(), 2u);
    EXPECT_EQ(wrong.bad[0].t, 113);
    EXPECT_EQ(wrong.bad[1].t, 500);
    EXPECT_NEAR(wrong.worst_served, 6.2, 1e-9);
    auto wrong_eaten =
        soak::check_amounts(served, {{740, "30g/5g 먹었습니다.", 720}}, truth, {}, {}, 5);
    ASSERT_EQ(wrong_eaten.bad.size(), 1u);
    EXPECT_NEAR(wrong_eaten.worst_eaten, 7.4, 1e-9);
    // Each serve answers one eaten report, of its own grams; one taken away
    // and put back before the weighing answers it still.
    EXPECT_EQ(soak::check_amounts(served, {eaten[0], {745, eaten[0].text, 740}}, truth, {}, {}, 5)
                  .bad.size(),
              1u);
    EXPECT_EQ(soak::check_amounts(served, {{740, "31g/12g 먹었습니다.", 720}}, truth, {}, {}, 5)
                  .bad.size(),
              1u);
    // A meal's fill closes the session of an earlier serve of as many grams
    // and serves again; both lines read in one slice, the report takes the
    // slice's time, later than the new serve's own: it still weighs the first.
    const std::vector<Message> twice = {{113, "30g 제공되었습니다." + at, -1, 10},
                                        {738, "30g 제공되었습니다." + at, -1, 30}};
    auto in_order =
        soak::check_amounts(twice, {{745, "30g/12g 먹었습니다.", 720, 20}}, truth, {}, {}, 5);
    EXPECT_EQ(in_order.eaten, 1);       // held to the first serve's truth
    for (const auto& v : in_order.bad)  // only the second serve's own (no bowl went out)
        EXPECT_NE(v.what.find("with no bowl presented"), std::string::npos) << v.what;
    const std::vector<Message> away = {{905, "17g 제공되었습니다." + at}};
    EXPECT_TRUE(soak::check_amounts(away, {{990, "17g/3g 먹었습니다.", 980}}, truth, {}, {}, 5)
                    .bad.empty());
    // Weighed while the load cell's readings were garbled: counted, not held;
    // and the eaten report of such a serve with it.
    auto unsure =
        soak::check_amounts({{113, "24g 제공되었습니다." + at}}, {{740, "24g/5g 먹었습니다.", 720}},
                            truth, {{90, 110}}, {}, 5);
    EXPECT_TRUE(unsure.bad.empty());
    EXPECT_EQ(unsure.unsure, 2);
    // Its truth among the world events dropped unread: the same; dropped
    // well before, the reports are held to what is left.
    const std::vector<Message> shown = {{500, "30g 제공되었습니다." + at}, away[0]};
    const std::vector<Message> taken = {{990, "17g/9g 먹었습니다.", 980}};
    auto lost = soak::check_amounts(shown, taken, truth, {}, {{480, 490}, {930, 940}}, 5);
    EXPECT_TRUE(lost.bad.empty());
    EXPECT_EQ(lost.lost, 2);
    lost = soak::check_amounts(shown, taken, truth, {}, {{300, 400}}, 5);
    EXPECT_EQ(lost.bad.size(), 2u);
    EXPECT_EQ(lost.lost, 0);
}

TEST(SoakCheck, ReportsArriveOnceAfterAnOutage) {
    const std::string served = "28g 제공되었습니다. 2026/12/07-1-08:00:21";
    const std::string eaten = "30g/12g 먹었습니다.";
    EXPECT_TRUE(soak::report_text(served));
    EXPECT_TRUE(soak::report_text("28g 제공"));
    EXPECT_TRUE(soak::report_text(eaten));
    EXPECT_FALSE(soak::report_text("사료가 부족합니다..."));
    Spans outage = {{200, 3000}};
    std::vector<Message> meant = {
        {100, "30g 제공"}, {500, served}, {700, eaten, 690}, {900, eaten}};
    std::vector<Message> cloud = {{105, "30g 제공"},
                                  {3050, served},
                                  {3060, eaten, 3040},
                                  {3070, eaten, 3060},
                                  {3080, "사료가 부족합니다..."}};
    auto ok = soak::check_delivery(meant, cloud, outage, {}, 10000);
    EXPECT_TRUE(ok.bad.empty());
    EXPECT_EQ(ok.meant, 4);
    EXPECT_EQ(ok.arrived, 4);

    // A notice kept for the cloud is held to the same; one sent at once,
    // which the device does not log, is not looked at.
    const std::string bowl = "그릇이 빠진것같습니다. 확인해주세요.";
    EXPECT_TRUE(soak::check_delivery({{600, bowl, 590}}, {{3090, bowl, 3080}, {3100, bowl}}, outage,
                                     {}, 10000)
                    .bad.empty());
    EXPECT_EQ(soak::check_delivery({{600, bowl, 590}}, {}, outage, {}, 10000).bad.size(), 1u);

    // Lost, kept past its time, sent twice, or never meant.
    std::vector<Message> lost(cloud.begin(), cloud.begin() + 3);
    EXPECT_EQ(soak::check_delivery(meant, lost, outage, {}, 10000).bad.size(), 1u);
    std::vector<Message> late = cloud;
    late[1] = {5000, served, 4990};
    EXPECT_EQ(soak::check_delivery(meant, late, outage, {}, 10000).bad.size(), 1u);
    std::vector<Message> again = cloud;
    again.push_back({3090, served});
    again.push_back({3100, "13g 제공"});
    EXPECT_EQ(soak::check_delivery(meant, again, outage, {}, 10000).bad.size(), 2u);
    // With no outage nothing is kept: the served report is lost, not late.
    EXPECT_EQ(soak::check_delivery({meant[1]}, {}, {}, {}, 10000).bad.size(), 1u);

    // A power cut while the outage kept it, or while it was on its way, loses
    // it with the daemon's memory; one long after it was due does not.
    auto cut = soak::check_delivery({meant[1]}, {}, outage, {2000}, 10000);
    EXPECT_TRUE(cut.bad.empty());
    EXPECT_EQ(cut.lost_to_cuts, 1);
    EXPECT_EQ(soak::check_delivery({meant[1]}, {}, {}, {530}, 10000).lost_to_cuts, 1);
    EXPECT_EQ(soak::check_delivery({meant[1]}, {}, {}, {4000}, 10000).bad.size(), 1u);
    // Meant just before the run ended: pending.
    EXPECT_EQ(soak::check_delivery({meant[1]}, {}, {}, {}, 600).pending, 1);

    // A report the device logged behind another thread's progress dots is
    // still one it meant: read as such, its arrival was taken for a second.
    EXPECT_EQ(soak::device_line(".40g 제공"), "40g 제공");
    EXPECT_EQ(soak::device_line("....schedule feed try 30 gram"), "schedule feed try 30 gram");
    EXPECT_EQ(soak::device_line("28g/10g 먹었습니다."), "28g/10g 먹었습니다.");
    EXPECT_EQ(soak::device_line("......"), "");
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
