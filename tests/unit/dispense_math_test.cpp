// Motor counts and melody numbers of the dispense procedure.
#include <gtest/gtest.h>

#include "feeder/dispense.h"

namespace {

TEST(MotorCount, ShortfallInPortionsOfSevenGrams) {
    for (FeedPath p : {FeedPath::Manual, FeedPath::Scheduled}) {
        EXPECT_EQ(motor_count(p, 30, 27), 1);  // shortfall 3
        EXPECT_EQ(motor_count(p, 30, 28), 0);  // shortfall 2
        EXPECT_EQ(motor_count(p, 30, 20), 2);  // shortfall 10
        EXPECT_EQ(motor_count(p, 30, 19), 2);  // shortfall 11
        EXPECT_EQ(motor_count(p, 30, 30), 0);
        EXPECT_EQ(motor_count(p, 30, 45), -1);  // more than asked: nothing to run
    }
}

TEST(MotorCount, NegativeReadingRaisesTheCount) {
    EXPECT_EQ(motor_count(FeedPath::Manual, 30, -10), 6);
    // Below one gram the manual path runs nothing; the scheduled path still
    // takes the formula.
    EXPECT_EQ(motor_count(FeedPath::Manual, 0, -10), 0);
    EXPECT_EQ(motor_count(FeedPath::Scheduled, 0, -10), 2);
    EXPECT_EQ(motor_count(FeedPath::Manual, -5, 0), 0);
}

TEST(MotorCount, NeverMoreThanOneCommandCarries) {
    EXPECT_EQ(motor_count(FeedPath::Manual, 1781, 0), 255);
    EXPECT_EQ(motor_count(FeedPath::Manual, 1800, 0), MOTOR_COUNT_MAX);
    EXPECT_EQ(motor_count(FeedPath::Manual, 2147483647, -2147483647LL), MOTOR_COUNT_MAX);
    EXPECT_EQ(motor_count(FeedPath::Scheduled, 30, 2147483647), -306783373);
}

TEST(Melody, TwoLowBitsOfTheFirstByte) {
    EXPECT_EQ(melody_number("1"), 1);
    EXPECT_EQ(melody_number("2"), 2);
    EXPECT_EQ(melody_number("3"), 3);
    EXPECT_EQ(melody_number("0"), 0);
    EXPECT_EQ(melody_number("4"), 0);
    EXPECT_EQ(melody_number(""), 0);
    EXPECT_EQ(melody_number("\xff"), 3);
    EXPECT_STREQ(melody_command(2), "/root/play /root/audio/melody2.g711");
    EXPECT_STREQ(melody_command(0), "/root/stop");
}

}  // namespace
