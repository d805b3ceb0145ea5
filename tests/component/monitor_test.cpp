// The consumption monitor on the simulated board.
#include <gtest/gtest.h>

#include "feeder/dispense.h"
#include "feeder/feeder.h"
#include "mcu/ucom.h"
#include "tests/support/feeder_fixture.h"

namespace {

class Monitor : public FeederTest {
  protected:
    int64_t now() { return world().clock().now_us() / 1000000; }
    // The bowl as the serve stage left it: out, holding `grams`.
    void served(double grams) {
        set_food(grams);
        set_bowl(sim::BowlPos::Out);
    }
    // The MCU takes the next `n` requests, and neither carries them out nor
    // answers.
    void lose_requests(int n) {
        std::lock_guard<std::mutex> hold(world().mu());
        world().mcu.fault = sim::McuFault::Lost;
        world().mcu.fault_count = n;
    }
    // A manual session of 30 g with 12 g left, due, and both of the
    // weighing's bowl-ins lost: the bowl stays out with the pet.
    void due_with_both_bowl_ins_lost() {
        served(12);
        open_session(true, now() - 600, 30);
        lose_requests(2);
    }
    uint32_t sensor_ = 0;
};

TEST_F(Monitor, DeadBandReportsSmallChangesAsNothing) {
    served(28);
    open_session(true, now() - 600, 30);
    StdoutCapture out;
    feeder_monitor_pass(now(), &sensor_);
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "30g/0g 먹었습니다.", 5));
    EXPECT_EQ(f_->in_manual, nullptr);
    std::string text = out.text();
    EXPECT_NE(
        text.find("ZELfM1:ldcell_gap(3640) = ldcell_read_value(323920) - (ldcell_base(300000) "
                  "+ ldcell_bowl(20280));\n"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("ZELfM2:ldcell_gram(28) = (ldcell_gap(3640)'/ldcell_gCoeff(130.000000);\n"),
              std::string::npos);
    EXPECT_NE(
        text.find("ZELfM3:eat_gram(2) = feeder->in_manual->try_gram(30) - ldcell_gram(28);\n"),
        std::string::npos);
    EXPECT_NE(text.find("---------> free : feeder->in_manual"), std::string::npos);
    EXPECT_EQ(bowl(), sim::BowlPos::In);  // stays in after the weighing
}

TEST_F(Monitor, MoreLeftThanServedIsReportedNegative) {
    served(40);
    open_session(false, now() - 700, 30);
    StdoutCapture out;
    feeder_monitor_pass(now(), &sensor_);
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "30g/-10g 먹었습니다.", 5));
    EXPECT_EQ(f_->in_schedule, nullptr);
    std::string text = out.text();
    EXPECT_NE(text.find("ZELfS2:ldcell_gram(40) = ldcell_gap(5200)/ldcell_gCoeff(130.000000);\n"),
              std::string::npos);
    EXPECT_NE(
        text.find("ZELfS3:eat_gram(-10) = feeder->in_schedule->try_gram(30) - ldcell_gram(40);"),
        std::string::npos);
}

// 2.4 kg in a bowl served 30 g is a glitch, not what the pet left: read again;
// a scale that keeps saying so gets no report at all.
TEST_F(Monitor, ARestThatCannotBeIsReadAgainAndNeverReported) {
    const uint32_t kilos = uint32_t(320280 + 2400 * 130) << 12 | 0x41;
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().adc.scripted.push_back(kilos);  // one glitch, then the bowl as it is
    }
    served(12);
    open_session(true, now() - 600, 30);
    feeder_monitor_pass(now(), &sensor_);
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "30g/18g 먹었습니다.", 5));

    {
        std::lock_guard<std::mutex> hold(world().mu());
        for (int i = 0; i < 12; ++i) world().adc.scripted.push_back(kilos);
    }
    served(12);
    open_session(false, now() - 600, 30);
    StdoutCapture out;
    feeder_monitor_pass(now(), &sensor_);
    EXPECT_EQ(f_->in_schedule, nullptr);
    EXPECT_NE(out.text().find("is no weighing, session closed without report"), std::string::npos)
        << out.text();
    for (const std::string& m : cloud_->messages("/Ovexa/api/messaging"))
        EXPECT_EQ(m.find("-2"), std::string::npos) << m;
}

// A load cell that says nothing at the weighing: the owner, told the meal
// was served, waited for an eaten report that never came, and was never
// told why. The session still closes, with the scale's notice.
TEST_F(Monitor, AScaleSilentAtTheWeighingIsToldInsteadOfTheReport) {
    served(12);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().adc.fault = sim::AdcFault::Markerless;
        world().adc.fault_count = -1;
    }
    open_session(false, now() - 600, 30);
    StdoutCapture out;
    feeder_monitor_pass(now(), &sensor_);
    EXPECT_EQ(f_->in_schedule, nullptr);
    EXPECT_NE(out.text().find("ZELfS1: no reading from the load cell, session closed without "
                              "report"),
              std::string::npos)
        << out.text();
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", kScaleSilentText, 5));
    usleep(100000);
    EXPECT_EQ(messages().size(), 1u);
}

TEST_F(Monitor, ScaleBelowTheEmptyBowlCountsAsEmpty) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        for (int i = 0; i < 3; ++i)
            world().adc.scripted.push_back(uint32_t(320280 - 1300) << 12 | 0x41);
    }
    open_session(true, now() - 600, 30);
    feeder_monitor_pass(now(), &sensor_);
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "30g/30g 먹었습니다.", 5));
}

TEST_F(Monitor, MissingBowlDropsTheSessionWithoutReport) {
    served(10);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.bowl_present = false;
    }
    open_session(true, now() - 600, 30);
    feeder_monitor_pass(now(), &sensor_);
    EXPECT_EQ(f_->in_manual, nullptr);
    EXPECT_EQ(f_->bowl_missing, 1);
    EXPECT_TRUE(
        cloud_->wait_message("/Ovexa/api/messaging", "그릇이 빠진것같습니다. 확인바랍니다.", 5));
    for (const std::string& m : messages()) EXPECT_EQ(m.find("먹었습니다"), std::string::npos);
    EXPECT_EQ(bowl(), sim::BowlPos::Out);
}

TEST_F(Monitor, SessionNotYetDueIsLeftAlone) {
    open_session(true, now() - 599, 30);
    size_t before = mcu_codes().size();
    feeder_monitor_pass(now(), &sensor_);
    EXPECT_NE(f_->in_manual, nullptr);
    EXPECT_EQ(mcu_codes().size(), before);  // no sensor watch while a session exists
}

TEST_F(Monitor, BothDueManualFirstThenScheduled) {
    served(0);
    open_session(true, now() - 600, 20);
    open_session(false, now() - 600, 25);
    feeder_monitor_pass(now(), &sensor_);
    EXPECT_EQ(f_->in_manual, nullptr);
    EXPECT_NE(f_->in_schedule, nullptr);
    feeder_monitor_pass(now(), &sensor_);
    EXPECT_EQ(f_->in_schedule, nullptr);
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "25g/25g", 5));
    auto msgs = messages();
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0], std::string(kAlias) + "20g/20g 먹었습니다.");
    EXPECT_EQ(msgs[1], std::string(kAlias) + "25g/25g 먹었습니다.");
}

TEST_F(Monitor, CompletedFeedingSynchronisesTheClock) {
    open_session(true, now() - 600, 20);
    feeder_monitor_pass(now(), &sensor_);
    auto sh = shell();
    EXPECT_NE(std::find(sh.begin(), sh.end(), "ntpdate kr.pool.ntp.org"), sh.end());
    EXPECT_EQ(count_code("01"), 1);  // the MCU got the time
}

TEST_F(Monitor, LatchesSendEachNoticeOnce) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.hopper_grams = 10;
        world().phys.bowl_present = false;
    }
    for (int i = 0; i < 3; ++i) feeder_monitor_pass(now(), &sensor_);
    EXPECT_EQ(f_->low_food_latch, 1);
    EXPECT_EQ(f_->no_bowl_latch, 1);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.hopper_grams = 2000;
        world().phys.bowl_present = true;
    }
    feeder_monitor_pass(now(), &sensor_);
    EXPECT_EQ(f_->low_food_latch, 0);
    EXPECT_EQ(f_->no_bowl_latch, 0);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.hopper_grams = 10;
    }
    feeder_monitor_pass(now(), &sensor_);
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "사료가 부족합니다.", 5));
    usleep(100000);
    auto msgs = messages();
    EXPECT_EQ(std::count(msgs.begin(), msgs.end(), std::string(kAlias) + "사료가 부족합니다."), 2);
    EXPECT_EQ(std::count(msgs.begin(), msgs.end(), std::string(kAlias) + "밥그릇이 빠져 있습니다."),
              1);
}

// With the link one reply out of step (one late reply was enough), the sensor
// reads answered main's LED toggles: the bits alternated, and the owner got
// "사료가 부족합니다." and "밥그릇이 빠져 있습니다." again and again. With each
// reply read by its own request, each condition is told once.
TEST_F(Monitor, AfterALateReplyEachConditionIsToldOnce) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.bowl_present = false;  // the bowl taken away, the hopper full
        world().mcu.fault = sim::McuFault::Late;
        world().mcu.fault_count = 1;
        world().mcu.late_ms = 800;
    }
    for (int i = 0; i < 12; ++i) {
        ucom_set_led(ucom_fd_, i & 1, 3);  // main toggles LED 3 every second while online
        feeder_monitor_pass(now(), &sensor_);
        usleep(100 * 1000);  // real time for the late reply to arrive among the passes
    }
    usleep(100000);
    auto msgs = messages();
    for (const std::string& m : msgs) printf("owner: %s\n", m.c_str());
    EXPECT_EQ(std::count(msgs.begin(), msgs.end(), std::string(kAlias) + "밥그릇이 빠져 있습니다."),
              1);
    EXPECT_EQ(std::count(msgs.begin(), msgs.end(), std::string(kAlias) + "사료가 부족합니다."), 0);
}

// A bowl-in that went without an answer left the weighing to a bowl that
// was still out: the scale saw no bowl, the owner was told "그릇이
// 빠진것같습니다. 확인바랍니다." instead of what the pet ate, and the bowl was
// sent out again. Lost on its way (never carried out) or answered into the
// void (carried out), the command is sent once more and the meal reported.
TEST_F(Monitor, ABowlInWithoutAnAnswerIsSentAgainAndTheMealReported) {
    struct {
        sim::McuFault fault;
        int served, rest;
        const char* told;
    } cases[] = {{sim::McuFault::Lost, 30, 12, "30g/18g 먹었습니다."},
                 {sim::McuFault::Silent, 40, 10, "40g/30g 먹었습니다."}};
    for (const auto& c : cases) {
        served(c.rest);
        open_session(true, now() - 600, c.served);
        {
            std::lock_guard<std::mutex> hold(world().mu());
            world().mcu.fault = c.fault;
            world().mcu.fault_count = 1;  // the bowl-in
        }
        StdoutCapture out;
        feeder_monitor_pass(now(), &sensor_);
        EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", c.told, 5)) << out.text();
        EXPECT_NE(out.text().find("bowl_in again: no answer"), std::string::npos);
        EXPECT_EQ(bowl(), sim::BowlPos::In);
        EXPECT_EQ(f_->in_manual, nullptr);
        EXPECT_EQ(f_->bowl_missing, 0);
    }
}

// Both bowl-ins lost on their way: the bowl stayed out with the pet, the
// scale weighed no bowl, and the owner was told "그릇이 빠진것같습니다.
// 확인바랍니다." about a bowl that was there, with no eaten report. The sensor
// now says the bowl is out: the weighing waits for the next pass, which
// brings the bowl in and reports the meal.
TEST_F(Monitor, ABowlThatDidNotComeInIsWeighedAtTheNextPass) {
    due_with_both_bowl_ins_lost();
    StdoutCapture out;
    feeder_monitor_pass(now(), &sensor_);
    EXPECT_EQ(bowl(), sim::BowlPos::Out);
    ASSERT_NE(f_->in_manual, nullptr) << out.text();
    EXPECT_EQ(f_->in_manual->put_off, 1);
    EXPECT_NE(out.text().find("ZELfM1: the bowl is not known to be in (sensor 0x08), weighing put "
                              "off (1)"),
              std::string::npos)
        << out.text();

    feeder_monitor_pass(now(), &sensor_);
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "30g/18g 먹었습니다.", 5))
        << out.text();
    EXPECT_EQ(f_->in_manual, nullptr);
    EXPECT_EQ(f_->bowl_missing, 0);
    EXPECT_EQ(bowl(), sim::BowlPos::In);
    for (const std::string& m : messages())
        EXPECT_EQ(m.find("그릇이 빠진"), std::string::npos) << m;
}

// A weighing put off, and the owner feeds by hand before the next pass: the
// fill takes the bowl back and ends the put-off session with its report, and
// the new meal's session starts with no weighing put off.
TEST_F(Monitor, AManualFeedingEndsAPutOffSessionWithItsReport) {
    due_with_both_bowl_ins_lost();
    feeder_monitor_pass(now(), &sensor_);
    ASSERT_NE(f_->in_manual, nullptr);
    ASSERT_EQ(f_->in_manual->put_off, 1);

    uint32_t sensor = 0;
    FillResult fill = dispense_fill(FeedPath::Manual, 40, &sensor);
    ASSERT_EQ(fill.outcome, FillOutcome::Filled);
    int32_t served_now = 0;
    EXPECT_EQ(dispense_serve(FeedPath::Manual, 40, 0, fill, &sensor, &served_now),
              ServeOutcome::Served);
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "제공되었습니다.", 5));
    auto msgs = messages();
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0], std::string(kAlias) + "30g/18g 먹었습니다.");
    ASSERT_NE(f_->in_manual, nullptr);
    EXPECT_EQ(f_->in_manual->try_gram, served_now);
    EXPECT_EQ(f_->in_manual->put_off, 0);
}

// An MCU that answers nothing at all: where the bowl is is never known. The
// session is not weighed as "bowl missing"; after its tries the owner is told
// the bowl is stuck, once, and the session closes.
TEST_F(Monitor, AnMcuThatNeverAnswersEndsInTheStuckNoticeNotBowlMissing) {
    served(12);
    open_session(false, now() - 600, 30);
    lose_requests(1000);
    StdoutCapture out;
    for (int pass = 1; pass < WEIGH_TRIES; ++pass) {
        feeder_monitor_pass(now(), &sensor_);
        ASSERT_NE(f_->in_schedule, nullptr) << out.text();
        EXPECT_EQ(f_->in_schedule->put_off, pass);
    }
    feeder_monitor_pass(now(), &sensor_);
    EXPECT_EQ(f_->in_schedule, nullptr);
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "사료그릇이 멈추었습니다... ", 5))
        << out.text();
    EXPECT_NE(out.text().find("ZELfS1: the bowl did not come in after 3 weighings, session closed "
                              "as stuck"),
              std::string::npos);
    // A few more passes with the MCU still silent: nothing more is told.
    feeder_monitor_pass(now(), &sensor_);
    usleep(100000);
    auto msgs = messages();
    EXPECT_EQ(msgs.size(), 1u);
    for (const std::string& m : msgs) {
        EXPECT_EQ(m.find("그릇이 빠진"), std::string::npos) << m;
        EXPECT_EQ(m.find("먹었습니다"), std::string::npos) << m;
    }
    EXPECT_EQ(f_->bowl_missing, 0);
}

}  // namespace
