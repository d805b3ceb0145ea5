// GPIO port set-up and the load-cell reader against the simulated converter.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <algorithm>
#include <thread>

#include "gpio/gpio.h"
#include "tests/support/sim_fixture.h"

namespace {

class LoadCell : public SimTest {
  protected:
    void TearDown() override {
        bttn_close(gpio_state()->bttn_fd);
        SimTest::TearDown();
    }
    void script(std::initializer_list<uint32_t> words) {
        std::lock_guard<std::mutex> hold(world().mu());
        for (uint32_t w : words) world().adc.scripted.push_back(w);
    }
    static uint32_t frame(uint32_t reading) { return (reading << 12) | 0x41; }
};

TEST_F(LoadCell, OpenSetsUpTheLinesInOrder) {
    StdoutCapture out;
    int fd = bttn_open();
    ASSERT_GT(fd, 0);
    std::string text = out.text();
    EXPECT_NE(text.find("button open fd : "), std::string::npos);
    EXPECT_NE(text.find("loadcell open fd : "), std::string::npos);
    std::vector<std::string> expect = {
        "f 0x40046B01 0x3",  "f 0x40046B00 0x3",  "f 0x40046B07 0x3",  "f 0x40046B05 0x3",
        "f 0x40046B0E 0x3",  "f 0x40046B08 0x3",  "f 0x40046B0D 0x3",  "f 0x40046B01 0xC",
        "f 0x40046B00 0xC",  "f 0x40046B07 0xC",  "f 0x40046B05 0x4",  "f 0x40046B04 0x8",
        "i 0x40046B01 0x40", "i 0x40046B00 0x40", "i 0x40046B07 0x40", "i 0x40046B04 0x40"};
    EXPECT_EQ(world_texts("gpio"), expect);
    EXPECT_EQ(gpio_state()->bttn_fd, fd);
    EXPECT_GT(gpio_state()->ldcell_fd, 0);
    EXPECT_EQ(gpio_state()->bttn_pins.mask, 0x03u);
    EXPECT_EQ(gpio_state()->ldcell_pins.mask, 0x0Cu);
}

TEST_F(LoadCell, ReadsTheScale) {
    ASSERT_GT(bttn_open(), 0);
    int32_t raw = ldcell_read();
    // Empty bowl in: base + 156 g at 129.77 counts per gram, within the noise.
    EXPECT_NEAR(raw, 300000 + 156 * 129.77, 15);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.food_grams = 50;
    }
    EXPECT_NEAR(ldcell_read() - raw, 50 * 129.77, 30);
}

TEST_F(LoadCell, AverageOfThreeAcceptedFramesTruncates) {
    ASSERT_GT(bttn_open(), 0);
    script({frame(100), 0x00064000, frame(101), 0xFFFFFFFF, frame(101)});
    EXPECT_EQ(ldcell_read(), 100);
    script({0xFFFFF041, 0xFFFFF041, 0xFFFFF041});
    EXPECT_EQ(ldcell_read(), 1048575);
    script({0x00000041, 0x00000041, 0x00000041});
    EXPECT_EQ(ldcell_read(), 0);
}

TEST_F(LoadCell, ReadTakesAtLeastThreePauses) {
    ASSERT_GT(bttn_open(), 0);
    int64_t t0 = world().clock().monotonic_us();
    ldcell_read();
    EXPECT_GE(world().clock().monotonic_us() - t0, 300000);
}

TEST_F(LoadCell, ConverterWithoutMarkerGivesUp) {
    ASSERT_GT(bttn_open(), 0);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().adc.fault = sim::AdcFault::Markerless;
        world().adc.fault_count = -1;
    }
    uint64_t before = world().adc.frames;
    StdoutCapture out;
    EXPECT_EQ(ldcell_read(), LDCELL_NO_READING);
    EXPECT_EQ(world().adc.frames - before, uint64_t(LDCELL_MAX_DROPPED));
    EXPECT_NE(out.text().find("ldcell_read : no three agreeing frames in 30, no reading"),
              std::string::npos);
}

// A frame garbled on the wire with its marker intact used to count like any
// other: one of them moved the average by hundreds of grams ("616g
// 제공되었습니다.", "1668g/1668g 먹었습니다." in the soak). Three frames make
// a reading only when they agree; a converter that never settles gives none.
TEST_F(LoadCell, AGarbledFrameWithItsMarkerMakesNoReading) {
    ASSERT_GT(bttn_open(), 0);
    script({320280u << 12 | 0x41, 0xFFFFF041u, 320280u << 12 | 0x41, 320290u << 12 | 0x41,
            320270u << 12 | 0x41});
    EXPECT_EQ(ldcell_read(), 320280);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().adc.fault = sim::AdcFault::Noise;
        world().adc.fault_count = -1;
    }
    EXPECT_EQ(ldcell_read(), LDCELL_NO_READING);
}

// The read runs its bit timing at 1 us of timer slack; the thread, which goes
// on to sleep through a feeding, gets its own slack back, whatever the outcome.
TEST_F(LoadCell, TimerSlackComesBackAfterARead) {
    ASSERT_GT(bttn_open(), 0);
    long saved = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    prctl(PR_SET_TIMERSLACK, 77000UL, 0, 0, 0);
    EXPECT_NE(ldcell_read(), LDCELL_NO_READING);
    long after_read = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().adc.fault = sim::AdcFault::Markerless;
        world().adc.fault_count = -1;
    }
    EXPECT_EQ(ldcell_read(), LDCELL_NO_READING);
    long after_failure = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    prctl(PR_SET_TIMERSLACK, (unsigned long)saved, 0, 0, 0);
    EXPECT_EQ(after_read, 77000);
    EXPECT_EQ(after_failure, 77000);
}

TEST_F(LoadCell, SomeMarkerlessFramesAreTolerated) {
    ASSERT_GT(bttn_open(), 0);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().adc.fault = sim::AdcFault::Markerless;
        world().adc.fault_count = LDCELL_MAX_DROPPED - 1;
    }
    EXPECT_NEAR(ldcell_read(), 300000 + 156 * 129.77, 15);
}

TEST_F(LoadCell, ConverterNeverReadyDoesNotHoldUpTheOpen) {
    start_world(false, 100000.0);  // the bound runs on the clock: let it run fast
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().adc.fault = sim::AdcFault::NeverReady;
    }
    StdoutCapture out;
    int fd = bttn_open();
    ASSERT_GT(fd, 0);
    EXPECT_NE(out.text().find("ldcell_open : data line still high after 2000 ms"),
              std::string::npos);
    EXPECT_GT(gpio_state()->ldcell_fd, 0);  // opened, so it is closed again
}

TEST_F(LoadCell, ConcurrentReadersNeverInterleave) {
    ASSERT_GT(bttn_open(), 0);
    script({frame(100), frame(100), frame(100), frame(700), frame(700), frame(700)});
    int32_t a = 0, b = 0;
    std::thread t1([&] { a = ldcell_read(); });
    std::thread t2([&] { b = ldcell_read(); });
    t1.join();
    t2.join();
    EXPECT_EQ(std::min(a, b), 100);
    EXPECT_EQ(std::max(a, b), 700);
}

TEST_F(LoadCell, UnopenedPortGivesNoReading) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().gpio_f_fails = true;
    }
    EXPECT_EQ(bttn_open(), -1);
    EXPECT_EQ(gpio_state()->ldcell_fd, 0);
    EXPECT_EQ(ldcell_read(), LDCELL_NO_READING);
    EXPECT_EQ(bttn_close(-1), 0);
}

TEST_F(LoadCell, CloseReleasesTheLines) {
    int fd = bttn_open();
    ASSERT_GT(fd, 0);
    size_t before = world_texts("gpio").size();
    EXPECT_EQ(bttn_close(fd), 0);
    auto after = world_texts("gpio");
    std::vector<std::string> tail(after.begin() + long(before), after.end());
    std::vector<std::string> expect = {"i 0x40046B01 0x40", "f 0x40046B0E 0x3", "f 0x40046B01 0x3",
                                       "f 0x40046B01 0xC"};
    EXPECT_EQ(tail, expect);
    EXPECT_EQ(gpio_state()->bttn_fd, 0);
    EXPECT_EQ(gpio_state()->ldcell_fd, 0);
}

}  // namespace
