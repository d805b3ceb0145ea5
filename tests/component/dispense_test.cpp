// Calibration and the dispense procedure on the simulated board.
#include <gtest/gtest.h>

#include <algorithm>

#include "feeder/dispense.h"
#include "feeder/feeder.h"
#include "gpio/gpio.h"
#include "include/variant.h"
#include "mcu/ucom.h"
#include "tests/support/feeder_fixture.h"

namespace {

bool has(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

class Calibration : public FeederTest {
  protected:
    // A first start: no calibration kept from an earlier one.
    void calibrate_anew() {
        feeder_scale_forget();
        calibrate();
    }
};

TEST_F(Calibration, BowlStartingInIsMovedOutFirst) {
    EXPECT_EQ(f_->ldcell_base, 300000);
    EXPECT_EQ(f_->ldcell_bowl, 20280);  // 156 g at 130 counts per gram
    EXPECT_FLOAT_EQ(f_->ldcell_gCoeff, 130.0f);
    EXPECT_EQ(f_->ldcell_bias, 320244);
    EXPECT_EQ(f_->bowl_missing, 0);
    EXPECT_STREQ(f_->proto_version, "1.0.0");
    EXPECT_STREQ(f_->fw_version, "0.6.0");
    std::vector<std::string> expect = {"30", "13", "12"};
    EXPECT_EQ(mcu_codes(), expect);
    EXPECT_EQ(bowl(), sim::BowlPos::In);
}

TEST_F(Calibration, BowlStartingOutIsNotMoved) {
    set_bowl(sim::BowlPos::Out);
    world().clock().sleep_us(1);
    size_t before = mcu_codes().size();
    int64_t t0 = world().clock().monotonic_us();
    StdoutCapture out;
    calibrate();
    std::vector<std::string> codes = mcu_codes();
    std::vector<std::string> tail(codes.begin() + long(before), codes.end());
    std::vector<std::string> expect = {"30", "12"};
    EXPECT_EQ(tail, expect);
    int64_t took = world().clock().monotonic_us() - t0;
    EXPECT_GE(took, 20000000);
    EXPECT_LT(took, 37000000);
    std::string text = out.text();
    EXPECT_NE(text.find("ZELfI1:ldcell_base(300000), ldcell_bowl(20280), ldcell_bias(320244), "
                        "ldcell_gCoeff_129.77f(130.000000) \n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(kSilentBuild ? "\nTolvik_Feeder_FW hopperd.0511.03\n"
                                     : "\nTolvik_Feeder_FW hopperd.0606.03.audio\n"),
              std::string::npos);
}

TEST_F(Calibration, BiasAndNominalCoefficient) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.base_counts = 100000;
        world().phys.counts_per_gram = 129.77;
    }
    calibrate_anew();
    EXPECT_EQ(f_->ldcell_bias, 120244);
    EXPECT_EQ(f_->ldcell_bowl, 20244);
    EXPECT_NEAR(f_->ldcell_gCoeff, 129.7692, 1e-3);
}

TEST_F(Calibration, WithoutABowlTheNominalScaleIsUsed) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.bowl_present = false;
    }
    StdoutCapture out;
    calibrate_anew();
    EXPECT_EQ(f_->ldcell_bowl, 20244);
    EXPECT_FLOAT_EQ(f_->ldcell_gCoeff, 129.77f);
    // The measured values are what the log shows.
    EXPECT_NE(out.text().find("ldcell_bowl(0)"), std::string::npos);
}

TEST_F(Calibration, OutOfRangeScaleOnlyCorrectedInTheSilentBuild) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.counts_per_gram = 90;  // bowl 14040 counts: out of range
    }
    calibrate_anew();
    if (kSilentBuild) {
        EXPECT_EQ(f_->ldcell_bowl, 20244);
        EXPECT_FLOAT_EQ(f_->ldcell_gCoeff, 129.77f);
    } else {
        EXPECT_EQ(f_->ldcell_bowl, 14040);
        EXPECT_FLOAT_EQ(f_->ldcell_gCoeff, 90.0f);
    }
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.counts_per_gram = 110;  // in range: kept in both builds
    }
    calibrate_anew();
    EXPECT_EQ(f_->ldcell_bowl, 17160);
    EXPECT_FLOAT_EQ(f_->ldcell_gCoeff, 110.0f);
}

// Every start weighs the empty scale and then the bowl, and used to take
// all the bowl weighed as bowl: a start with 60 g left from a meal (a power
// cut) made the scale read a quarter light ("ldcell_gCoeff_129.77f(178.1)")
// until a start with an empty bowl. The calibration the first start kept
// knows its bowl: what weighs more is food.
TEST_F(Calibration, AStartWeighsTheKeptBowlAndWhatIsInItAsFood) {
    struct Case {
        const char* what;
        double food, bowl_grams;
        bool present;
        int32_t bowl;
        float coeff;
        const char* line;
    } cases[] = {
        {"food in the bowl", 60, 156, true, 20280, 130.0f,
         "the kept bowl, with 60 g of food in it"},
        {"the scale's noise below the bowl", 0, 153, true, 20280, 130.0f, "the kept bowl, with"},
        {"no bowl at all", 0, 156, false, 20280, 130.0f, "no bowl on the scale"},
        {"a lighter bowl", 0, 120, true, 15600, 100.0f, "another bowl (15600, kept 20280)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        calibrate_anew();  // the kept calibration of a 156 g bowl at 130 counts a gram
        {
            std::lock_guard<std::mutex> hold(world().mu());
            world().phys.bowl_grams = c.bowl_grams;
            world().phys.bowl_present = c.present;
        }
        set_food(c.food);
        StdoutCapture out;
        calibrate();
        EXPECT_EQ(f_->ldcell_bowl, c.bowl);
        EXPECT_FLOAT_EQ(f_->ldcell_gCoeff, c.coeff);
        EXPECT_NE(out.text().find(c.line), std::string::npos) << out.text();
        {
            std::lock_guard<std::mutex> hold(world().mu());
            world().phys.bowl_grams = 156;
            world().phys.bowl_present = true;
        }
        set_food(0);
    }
}

// The kept calibration is replaced only by one weighed and used as it was
// measured, and forgotten by the factory default.
TEST_F(Calibration, OnlyAMeasuredCalibrationIsKept) {
    ScaleKept kept;
    ASSERT_EQ(scale_kept_read(&kept), 0);
    EXPECT_EQ(kept.bowl, 20280);
    EXPECT_FLOAT_EQ(kept.coeff, 130.0f);
    feeder_scale_forget();
    EXPECT_EQ(scale_kept_read(&kept), -1);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.bowl_present = false;  // a first start without a bowl: nominal scale
    }
    calibrate();
    EXPECT_EQ(scale_kept_read(&kept), -1);
    write_file(root_ + "/etc/feed_scale.conf", "{\"ldcell_bowl\": 20280, \"ldcell_gCoeff\": -1}");
    EXPECT_EQ(scale_kept_read(&kept), -1);  // not a calibration
}

// One lost reading of the empty scale at start-up used to leave the base at
// -1 for the life of the process: every later weight about 300000 counts
// high, "2311g 제공되었습니다." for a 30 g meal.
// An MCU that misses the first sensor read of a start (seen under a heavy
// load) used to leave a bowl standing in on the scale for the weighing of
// the empty scale: the base took in the bowl, and each later weighing came
// out short by it, or as "bowl missing".
TEST_F(Calibration, AFailedSensorReadStillWeighsTheScaleEmpty) {
    ASSERT_EQ(bowl(), sim::BowlPos::In);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().mcu.fault = sim::McuFault::Silent;
        world().mcu.fault_count = 1;  // the sensor read's reply
    }
    size_t before = mcu_codes().size();
    calibrate_anew();
    std::vector<std::string> codes = mcu_codes();
    std::vector<std::string> tail(codes.begin() + long(before), codes.end());
    std::vector<std::string> expect = {"30", "13", "12"};
    EXPECT_EQ(tail, expect);
    EXPECT_EQ(f_->ldcell_base, 300000);
    EXPECT_EQ(f_->ldcell_bowl, 20280);
    EXPECT_FLOAT_EQ(f_->ldcell_gCoeff, 130.0f);
}

// The bowl's way out unheard by the MCU (the sensor read before it lost as
// well): the empty scale was weighed with the bowl standing in, and every
// meal after it was told as "bowl missing" until the next start.
TEST_F(Calibration, ABowlOutTheMcuNeverHeardIsSentAgain) {
    ASSERT_EQ(bowl(), sim::BowlPos::In);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().mcu.fault = sim::McuFault::Lost;
        world().mcu.fault_count = 2;  // the sensor read, then the bowl's way out
    }
    size_t before = mcu_codes().size();
    StdoutCapture out;
    calibrate_anew();
    std::vector<std::string> codes = mcu_codes();
    std::vector<std::string> tail(codes.begin() + long(before), codes.end());
    std::vector<std::string> expect = {"30", "13", "12"};
    EXPECT_EQ(tail, expect);
    EXPECT_NE(out.text().find("feeder calibration : the bowl is still in, sending it out again"),
              std::string::npos)
        << out.text();
    EXPECT_EQ(f_->ldcell_base, 300000);
    EXPECT_EQ(f_->ldcell_bowl, 20280);
    EXPECT_FLOAT_EQ(f_->ldcell_gCoeff, 130.0f);
    EXPECT_EQ(bowl(), sim::BowlPos::In);
}

TEST_F(Calibration, ALostReadingAtStartUpIsReadAgain) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().adc.fault = sim::AdcFault::Markerless;
        world().adc.fault_count = LDCELL_MAX_DROPPED;  // exactly one read's worth
    }
    StdoutCapture out;
    calibrate();
    EXPECT_EQ(f_->ldcell_base, 300000);
    EXPECT_EQ(f_->ldcell_bowl, 20280);
    EXPECT_FLOAT_EQ(f_->ldcell_gCoeff, 130.0f);
    EXPECT_TRUE(feeder_scale_ready());
    EXPECT_NE(out.text().find("feeder calibration : no reading of the empty scale, trying again"),
              std::string::npos);
}

TEST_F(Calibration, AScaleThatNeverAnswersIsNotCalibrated) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().adc.fault = sim::AdcFault::Markerless;
        world().adc.fault_count = -1;
    }
    StdoutCapture out;
    int64_t t0 = world().clock().monotonic_us();
    calibrate();
    EXPECT_FALSE(feeder_scale_ready());
    // Bounded: three tries, each giving up by itself, two short waits.
    EXPECT_LT(world().clock().monotonic_us() - t0, 60 * 1000000);
    EXPECT_NE(out.text().find("scale not calibrated, feedings refused until it answers"),
              std::string::npos);
    EXPECT_EQ(bowl(), sim::BowlPos::In);  // left in, as a good calibration leaves it
}

class Dispense : public FeederTest {
  protected:
    // The manual path as the feeding service runs it.
    ServeOutcome feed(int grams, const char* melody, int32_t* served,
                      FillResult* fill_out = nullptr) {
        uint32_t sensor = 0;
        FillResult fill = dispense_fill(FeedPath::Manual, grams, &sensor);
        if (fill_out) *fill_out = fill;
        EXPECT_EQ(fill.outcome, FillOutcome::Filled);
        return dispense_serve(FeedPath::Manual, grams, melody_number(melody), fill, &sensor,
                              served);
    }
};

TEST_F(Dispense, ManualFeedingServesAndOpensASession) {
    StdoutCapture out;
    int32_t served = 0;
    EXPECT_EQ(feed(30, "1", &served), ServeOutcome::Served);
    EXPECT_EQ(served, 28);  // 4 portions of 7 g for 30 g from empty: (30 + 4) / 7
    ASSERT_NE(f_->in_manual, nullptr);
    EXPECT_EQ(f_->in_manual->try_gram, 28);
    EXPECT_EQ(f_->in_manual->fed_at, world().clock().now_us() / 1000000);
    EXPECT_EQ(bowl(), sim::BowlPos::Out);
    EXPECT_EQ(count_code("14"), 1);  // motor back-off after the final weighing
    std::string text = out.text();
    EXPECT_NE(text.find("ZELuM1:ldcell_gap(0) = ldcell_read_value(320280) - (ldcell_base(300000) + "
                        "ldcell_bowl(20280));\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("manual feed try 30 gram, remain 0 gram\n"), std::string::npos);
    EXPECT_NE(text.find("manual feed motor trying 4 count\n"), std::string::npos);
    EXPECT_NE(text.find("manual feed motor retrying 0 count\n"), std::string::npos);
    EXPECT_NE(text.find("manual feed try 30 gram and feed 28 gram\n"), std::string::npos);
    EXPECT_NE(text.find(">>>>>>>>>> bowl_out"), std::string::npos);
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/feeding-log", "28g 제공", 5));
    auto msgs = messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].rfind(std::string(kAlias) + "28g 제공되었습니다. 2026/12/06-7-", 0), 0u)
        << msgs[0];
    EXPECT_EQ(msgs[0].back(), '\n');
    EXPECT_EQ(feeding_log(), std::vector<std::string>{"28g 제공"});
    EXPECT_EQ(has(shell(), "/root/play /root/audio/melody1.g711"), !kSilentBuild);
}

TEST_F(Dispense, ZeroGramsWeighsOnceAndStillServes) {
    StdoutCapture out;
    int32_t served = -1;
    EXPECT_EQ(feed(0, "0", &served), ServeOutcome::Served);
    EXPECT_EQ(served, 0);
    EXPECT_EQ(count_code("11"), 0);
    EXPECT_EQ(count_code("14"), 0);
    std::string text = out.text();
    EXPECT_EQ(count_of(text, "manual feed motor retrying"), 1u);
    EXPECT_NE(text.find("manual feed motor retrying 0 count\n"), std::string::npos);
    ASSERT_NE(f_->in_manual, nullptr);
    EXPECT_EQ(f_->in_manual->try_gram, 0);
}

TEST_F(Dispense, BowlAlreadyHoldingEnoughRunsNoMotor) {
    set_food(28);
    int32_t served = 0;
    EXPECT_EQ(feed(30, "0", &served), ServeOutcome::Served);  // 2 g short: nothing to add
    EXPECT_EQ(served, 28);
    EXPECT_EQ(count_code("11"), 0);
    EXPECT_EQ(count_code("14"), 0);
}

TEST_F(Dispense, ThreeGramsShortIsOnePortion) {
    set_food(27);
    int32_t served = 0;
    EXPECT_EQ(feed(30, "0", &served), ServeOutcome::Served);
    EXPECT_EQ(served, 34);
    EXPECT_TRUE(has(world_texts("mcu_rx"), "A1 02 11 01 ED A8"));
}

TEST_F(Dispense, BowlMissingThresholdIsTwentyGrams) {
    // Exactly 20 g (2600 counts) below the empty bowl: still a bowl.
    {
        std::lock_guard<std::mutex> hold(world().mu());
        for (int i = 0; i < 3; ++i)
            world().adc.scripted.push_back(uint32_t(320280 - 2600) << 12 | 0x41);
    }
    uint32_t sensor = 0;
    FillResult fill = dispense_fill(FeedPath::Manual, 0, &sensor);
    EXPECT_EQ(fill.outcome, FillOutcome::Filled);
    EXPECT_EQ(f_->bowl_missing, 0);

    // One count more and it is gone.
    {
        std::lock_guard<std::mutex> hold(world().mu());
        for (int i = 0; i < 3; ++i)
            world().adc.scripted.push_back(uint32_t(320280 - 2601) << 12 | 0x41);
    }
    open_session(true, 5, 10);
    StdoutCapture out;
    fill = dispense_fill(FeedPath::Manual, 30, &sensor);
    EXPECT_EQ(fill.outcome, FillOutcome::BowlMissing);
    EXPECT_EQ(f_->bowl_missing, 1);
    EXPECT_EQ(f_->in_manual, nullptr);  // the path's session is dropped
    EXPECT_EQ(count_code("11"), 0);
    EXPECT_NE(out.text().find("bowl out --------->"), std::string::npos);
    EXPECT_EQ(has(shell(), "/root/play /root/audio/nobowl.g711"), !kSilentBuild);
    EXPECT_TRUE(
        cloud_->wait_message("/Ovexa/api/messaging", "그릇이 빠진것같습니다. 확인해주세요.", 5));
}

TEST_F(Dispense, FourTopUpPassesThenMovesOn) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.portion_grams = 0;  // the motor turns, nothing comes
    }
    StdoutCapture out;
    int32_t served = -1;
    EXPECT_EQ(feed(30, "0", &served), ServeOutcome::Served);
    EXPECT_EQ(served, 0);
    EXPECT_EQ(count_code("11"), 5);  // the first step and four top-ups
    EXPECT_EQ(count_of(out.text(), "manual feed motor retrying 4 count"), 4u);
}

TEST_F(Dispense, MelodiesByTheirFirstByte) {
    const char* texts[] = {"2", "0", "4", ""};
    const char* want[] = {"/root/play /root/audio/melody2.g711", "/root/stop", "/root/stop",
                          "/root/stop"};
    for (int i = 0; i < 4; ++i) {
        size_t before = shell().size();
        uint32_t sensor = 0;
        FillResult fill = {FillOutcome::Filled, 0, 0};
        int32_t served;
        dispense_serve(FeedPath::Manual, 0, melody_number(texts[i]), fill, &sensor, &served);
        auto sh = shell();
        std::vector<std::string> tail(sh.begin() + long(before), sh.end());
        EXPECT_EQ(has(tail, want[i]), !kSilentBuild) << i;
        if (kSilentBuild) {
            EXPECT_FALSE(has(tail, "/root/stop"));
        }
        set_bowl(sim::BowlPos::In);
    }
}

TEST_F(Dispense, BowlStuckOnItsWayOut) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.bowl_sticks = true;
    }
    int32_t served = 0;
    EXPECT_EQ(feed(10, "0", &served), ServeOutcome::BowlStuck);
    EXPECT_EQ(f_->in_manual, nullptr);
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "사료그릇이 멈추었습니다. 2026/", 5));
    EXPECT_TRUE(feeding_log().empty());
    // The scheduled path says it with three dots.
    uint32_t sensor = 0;
    set_bowl(sim::BowlPos::In);
    dispense_serve(FeedPath::Scheduled, 10, 0, {FillOutcome::Filled, 0, 0}, &sensor, &served);
    EXPECT_TRUE(
        cloud_->wait_message("/Ovexa/api/messaging", "사료그릇이 멈추었습니다... 2026/", 5));
}

// The bowl went out, but the MCU's answers to the bowl command and to the
// sensor read after it were lost on the line: the fill's word ("bowl in")
// was taken as the reading, and a pet that had its meal was reported as a
// stuck bowl, with no eaten report to follow.
TEST_F(Dispense, AnUnansweredSensorReadAfterTheBowlOutIsReadAgain) {
    uint32_t sensor = 0;
    FillResult fill = dispense_fill(FeedPath::Manual, 0, &sensor);
    ASSERT_EQ(fill.outcome, FillOutcome::Filled);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().mcu.fault = sim::McuFault::Silent;
        world().mcu.fault_count = 2;
    }
    int32_t served = -1;
    EXPECT_EQ(dispense_serve(FeedPath::Manual, 0, 0, fill, &sensor, &served), ServeOutcome::Served);
    EXPECT_EQ(bowl(), sim::BowlPos::Out);
    EXPECT_NE(f_->in_manual, nullptr);
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/feeding-log", "0g 제공", 5));
}

// The bowl-out lost on its way to the MCU: the bowl stood in with the meal,
// the pet got nothing and the owner was told the bowl was stuck. Sent again,
// the meal goes out and is served. A bowl that sticks with the MCU answering
// is not sent twice.
TEST_F(Dispense, ABowlOutTheMcuNeverHeardIsSentAgainAndTheMealServed) {
    set_food(28);  // enough already: no motor step between the fill and the serve
    uint32_t sensor = 0;
    FillResult fill = dispense_fill(FeedPath::Scheduled, 30, &sensor);
    ASSERT_EQ(fill.outcome, FillOutcome::Filled);
    ASSERT_EQ(fill.runs, 0);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().mcu.fault = sim::McuFault::Lost;
        world().mcu.fault_count = 1;  // the bowl-out
    }
    StdoutCapture out;
    int32_t served = -1;
    EXPECT_EQ(dispense_serve(FeedPath::Scheduled, 30, 0, fill, &sensor, &served),
              ServeOutcome::Served)
        << out.text();
    EXPECT_EQ(served, 28);
    EXPECT_EQ(bowl(), sim::BowlPos::Out);
    ASSERT_NE(f_->in_schedule, nullptr);
    EXPECT_NE(out.text().find("bowl_out again: no answer"), std::string::npos);
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "28g 제공되었습니다.", 5));
    for (const std::string& m : messages()) EXPECT_EQ(m.find("멈추었습니다"), std::string::npos);

    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.bowl_sticks = true;
    }
    set_bowl(sim::BowlPos::In);
    size_t outs = count_code("13");
    EXPECT_EQ(dispense_serve(FeedPath::Scheduled, 30, 0, fill, &sensor, &served),
              ServeOutcome::BowlStuck);
    EXPECT_EQ(count_code("13"), outs + 1);
}

// The caller's record of a serve is kept once the bowl is out with the pet,
// not as it leaves: a power cut on the way used to leave a meal recorded as
// served that no pet saw and no owner heard of. A bowl that sticks is not
// served either.
TEST_F(Dispense, TheServeIsRecordedOnceTheBowlIsOut) {
    struct Seen {
        sim::World* w;
        int calls = 0;
        sim::BowlPos at = sim::BowlPos::In;
    } seen{&world()};
    ServeHook hook{[](void* ctx) {
                       Seen* s = static_cast<Seen*>(ctx);
                       std::lock_guard<std::mutex> hold(s->w->mu());
                       s->w->update();
                       s->at = s->w->phys.bowl;
                       ++s->calls;
                   },
                   &seen};
    uint32_t sensor = 0;
    int32_t served = 0;
    EXPECT_EQ(dispense_serve(FeedPath::Scheduled, 0, 1, {FillOutcome::Filled, 0, 0}, &sensor,
                             &served, hook),
              ServeOutcome::Served);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.at, sim::BowlPos::Out);

    set_bowl(sim::BowlPos::In);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.bowl_sticks = true;
    }
    EXPECT_EQ(dispense_serve(FeedPath::Scheduled, 0, 1, {FillOutcome::Filled, 0, 0}, &sensor,
                             &served, hook),
              ServeOutcome::BowlStuck);
    EXPECT_EQ(seen.calls, 1);
}

TEST_F(Dispense, ScheduledServeReplacesTheRunningScheduledSession) {
    open_session(false, 100, 77);
    const FeedSession* old = f_->in_schedule.get();
    uint32_t sensor = 0;
    int32_t served;
    StdoutCapture out;
    EXPECT_EQ(
        dispense_serve(FeedPath::Scheduled, 0, 1, {FillOutcome::Filled, 0, 0}, &sensor, &served),
        ServeOutcome::Served);
    ASSERT_NE(f_->in_schedule, nullptr);
    EXPECT_NE(f_->in_schedule->try_gram, 77);
    EXPECT_GT(f_->in_schedule->fed_at, 100);
    (void)old;
    std::string text = out.text();
    EXPECT_NE(text.find("ZELsS3:"), std::string::npos);
    EXPECT_NE(text.find("schedule feed try 0 gram and feed 0 gram"), std::string::npos);
    EXPECT_EQ(text.find("sched melody: 1") != std::string::npos, !kSilentBuild);
}

TEST_F(Dispense, ScheduledFillBacksOffAtTheEndAndClearsBowlMissing) {
    f_->bowl_missing = 1;
    uint32_t sensor = SENSOR_BOWL_IN;  // as the runner read it
    StdoutCapture out;
    FillResult fill = dispense_fill(FeedPath::Scheduled, 14, &sensor);
    EXPECT_EQ(fill.outcome, FillOutcome::Filled);
    EXPECT_EQ(f_->bowl_missing, 0);
    EXPECT_GT(fill.runs, 0);
    EXPECT_EQ(count_code("14"), 1);
    EXPECT_EQ(count_code("30"), 1);  // only calibration read the sensor
    std::string text = out.text();
    EXPECT_NE(text.find("ZELsS1:"), std::string::npos);
    EXPECT_NE(text.find("schedule feed try 14 gram, remain 0 gram\n"), std::string::npos);
    EXPECT_NE(text.find("schedule feed motor trying 2 count\n"), std::string::npos);
}

TEST_F(Dispense, FoodLowStopsTheManualFillBeforeAnythingMoves) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.hopper_grams = 50;
    }
    size_t before = mcu_codes().size();
    uint32_t sensor = 0;
    EXPECT_EQ(dispense_fill(FeedPath::Manual, 30, &sensor).outcome, FillOutcome::FoodLow);
    EXPECT_EQ(mcu_codes().size(), before + 1);  // the sensor read only
}

TEST_F(Dispense, HugeRequestRunsFullCommandsNeverAWrappedCount) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.hopper_grams = 100000;
    }
    int32_t served;
    feed(2000, "0", &served);
    // 286 portions do not fit a byte: the first step runs 255, never 286 & 0xFF.
    EXPECT_TRUE(has(world_texts("mcu_rx"), "A1 02 11 FF EF A8"));
    EXPECT_FALSE(has(world_texts("mcu_rx"), "A1 02 11 1E D0 A8"));
    EXPECT_GE(served, 1995);
}

TEST_F(Dispense, LoadCellFailingMidFeedingNeverRunsTheMotorBlind) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        for (int i = 0; i < 3; ++i) world().adc.scripted.push_back(uint32_t(320280) << 12 | 0x41);
        world().adc.fault = sim::AdcFault::Markerless;
        world().adc.fault_count = -1;
    }
    StdoutCapture out;
    int32_t served = -1;
    FillResult fill;
    EXPECT_EQ(feed(30, "0", &served, &fill), ServeOutcome::Served);
    EXPECT_EQ(count_code("11"), 1);  // the first step, from the one good weighing
    EXPECT_EQ(served, 0);            // the last weight the fill had
    std::string text = out.text();
    EXPECT_NE(text.find("manual feed : no reading from the load cell, top-up stopped"),
              std::string::npos);
    EXPECT_NE(text.find("manual feed : no reading from the load cell, serving the last weight 0"),
              std::string::npos);
}

// The bowl taken away during a top-up: the weighing read about -156 g and the
// next step ran 25 portions onto the empty bowl position ("186g
// 제공되었습니다." for 18 g asked, in the soak). A top-up weighing that
// finds no bowl stops as the first weighing does.
TEST_F(Dispense, BowlTakenAwayDuringTheTopUpStopsTheMotor) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        // A reading is three frames: the empty bowl, then no bowl any more.
        for (uint32_t counts : {320280, 320280, 320280, 300000, 300000, 300000})
            world().adc.scripted.push_back(counts << 12 | 0x41);
    }
    uint32_t sensor = 0;
    FillResult fill = dispense_fill(FeedPath::Manual, 30, &sensor);
    EXPECT_EQ(fill.outcome, FillOutcome::BowlMissing);
    EXPECT_EQ(count_code("11"), 1);  // the first step only
    EXPECT_EQ(f_->bowl_missing, 1);
    EXPECT_EQ(bowl(), sim::BowlPos::Out);  // for the owner to put a bowl back
}

TEST_F(Dispense, DeadLoadCellDispensesNothing) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().adc.fault = sim::AdcFault::Markerless;
        world().adc.fault_count = -1;
    }
    uint32_t sensor = 0;
    EXPECT_EQ(dispense_fill(FeedPath::Manual, 30, &sensor).outcome, FillOutcome::NoScale);
    EXPECT_EQ(count_code("11"), 0);
}

// The bowl taken away between the fill's weighing and the serve's: the serve
// used to present nothing and report "-156g 제공되었습니다.".
TEST_F(Dispense, BowlTakenAwayBeforeTheServeIsNotPresented) {
    uint32_t sensor = 0;
    FillResult fill = dispense_fill(FeedPath::Manual, 30, &sensor);
    ASSERT_EQ(fill.outcome, FillOutcome::Filled);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.bowl_present = false;
    }
    int32_t served = -1;
    EXPECT_EQ(dispense_serve(FeedPath::Manual, 30, 1, fill, &sensor, &served),
              ServeOutcome::BowlMissing);
    EXPECT_EQ(f_->in_manual, nullptr);
    EXPECT_EQ(f_->bowl_missing, 1);
    EXPECT_EQ(bowl(), sim::BowlPos::Out);  // for the owner to put a bowl back
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "그릇이 빠진것같습니다.", 5));
    for (const std::string& m : messages()) EXPECT_EQ(m.find("제공"), std::string::npos) << m;
    EXPECT_TRUE(feeding_log().empty());
}

// A scale a few grams below the empty bowl is an empty bowl: 0 g is served,
// never "-3g".
TEST_F(Dispense, ServedAmountIsNeverNegative) {
    set_food(-3);
    int32_t served = -1;
    EXPECT_EQ(feed(0, "0", &served), ServeOutcome::Served);
    EXPECT_EQ(served, 0);
    EXPECT_EQ(f_->in_manual->try_gram, 0);
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "0g 제공되었습니다.", 5));
}

}  // namespace
