// The limit on MESSAGEs taken in: a burst, then a steady rate, counted at
// given times.
#include <gtest/gtest.h>

#include "sip/rate_limit.h"

namespace {

// Takes requests at `now_s` until one is refused; how many were taken.
unsigned take_all(RateLimit& r, double now_s, unsigned* retry_s) {
    unsigned n = 0;
    while (n < 1000 && rate_limit_take(r, now_s, retry_s)) ++n;
    return n;
}

TEST(RateLimit, BurstThenOneMoreIsRefusedUntilItsRetryTime) {
    RateLimit r = rate_limit_new(20, 1, 100);
    unsigned retry_s = 0;
    EXPECT_EQ(take_all(r, 100, &retry_s), 20u);
    EXPECT_EQ(retry_s, 1u);
    EXPECT_FALSE(rate_limit_take(r, 100.5, &retry_s));  // half a request earned
    EXPECT_EQ(retry_s, 1u);
    EXPECT_TRUE(rate_limit_take(r, 101, &retry_s));
    EXPECT_FALSE(rate_limit_take(r, 101, &retry_s));
    // A sender that keeps going gets the steady rate, no more.
    EXPECT_EQ(take_all(r, 111, &retry_s), 10u);
}

TEST(RateLimit, QuietSpellRefillsToTheBurstOnly) {
    RateLimit r = rate_limit_new(5, 2, 0);
    unsigned retry_s = 0;
    EXPECT_EQ(take_all(r, 0, &retry_s), 5u);
    EXPECT_EQ(take_all(r, 3600, &retry_s), 5u);
}

TEST(RateLimit, SlowRateAsksForALongerWait) {
    RateLimit r = rate_limit_new(1, 0.1, 0);
    unsigned retry_s = 0;
    EXPECT_TRUE(rate_limit_take(r, 0, &retry_s));
    EXPECT_FALSE(rate_limit_take(r, 2, &retry_s));
    EXPECT_EQ(retry_s, 8u);  // 0.2 of a request earned, 0.8 to go at 0.1/s
}

TEST(RateLimit, ClockSteppingBackEarnsNothing) {
    RateLimit r = rate_limit_new(2, 1, 1000);
    unsigned retry_s = 0;
    EXPECT_EQ(take_all(r, 1000, &retry_s), 2u);
    EXPECT_FALSE(rate_limit_take(r, 10, &retry_s));
    EXPECT_FALSE(rate_limit_take(r, 1000.5, &retry_s));
    EXPECT_TRUE(rate_limit_take(r, 1001, &retry_s));
}

}  // namespace
