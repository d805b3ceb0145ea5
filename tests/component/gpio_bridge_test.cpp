// The world's GPIO ports over a UART, as the emulated board's GPIO server
// reaches them (sim/gpio_bridge.cpp): each request line is the daemon's
// request as it was made, answered from the same converter and buttons.
#include "sim/gpio_bridge.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "tests/support/sim_fixture.h"

namespace {

class GpioBridge : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        std::string pty = sim::gpio_bridge_start(world());
        ASSERT_FALSE(pty.empty());
        fd_ = open(pty.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd_, 0);
        struct termios tio;
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
        EXPECT_EQ(line(), "! 0");  // the interrupt line as the bridge starts
    }
    void TearDown() override {
        close(fd_);
        sim::gpio_bridge_stop(world());
        SimTest::TearDown();
    }
    // The next line from the bridge, "" after a second without one.
    std::string line() {
        std::string s;
        char c;
        struct pollfd p = {fd_, POLLIN, 0};
        while (poll(&p, 1, 1000) > 0 && read(fd_, &c, 1) == 1) {
            if (c == '\n') return s;
            s += c;
        }
        return "";
    }
    std::string ask(const std::string& request) {
        std::string r = request + "\n";
        EXPECT_EQ(write(fd_, r.data(), r.size()), ssize_t(r.size()));
        return line();
    }
    int fd_ = -1;
};

TEST_F(GpioBridge, ShiftsOutTheConverterFrameBitByBit) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().adc.scripted.push_back(0xA5F0E041);
    }
    EXPECT_EQ(ask("i 40046b02 40 0"), "= 0 0 0");  // control line low, then high: power-up
    EXPECT_EQ(ask("i 40046b02 40 ff"), "= 0 ff 0");
    world().clock().advance(100000);  // the first conversion is ready
    uint32_t word = 0;
    for (int bit = 0; bit < 32; ++bit) {
        EXPECT_EQ(ask("f 40046b02 8 0"), "= 0 0 0");
        EXPECT_EQ(ask("f 40046b02 8 ff"), "= 0 ff 0");
        std::string r = ask("f c0046b03 4 0");
        ASSERT_TRUE(r == "= 0 4 0" || r == "= 0 0 0") << r;
        word = (word << 1) | (r == "= 0 4 0" ? 1 : 0);
    }
    EXPECT_EQ(word, 0xA5F0E041u);
}

TEST_F(GpioBridge, ByValueRequestsReachThePortAsMade) {
    EXPECT_EQ(ask("f 40046b05 3 0"), "= 0 0 0");
    EXPECT_EQ(ask("i 40046b04 40 0"), "= 0 0 0");
    EXPECT_EQ(world_texts("gpio"),
              (std::vector<std::string>{"f 0x40046B05 0x3", "i 0x40046B04 0x40"}));
    EXPECT_EQ(ask("x 40046b05 3 0"), "= -22 0 0");  // not a port
    EXPECT_EQ(ask("nonsense"), "= -22 0 0");
}

TEST_F(GpioBridge, ButtonEdgeRaisesTheLineUntilAcknowledged) {
    world().button_edge(2, true);
    EXPECT_EQ(line(), "! 1");
    EXPECT_EQ(ask("f c0046b11 3 0"), "= 0 2 1");  // pending: the WPS line, still raised
    EXPECT_EQ(ask("f c0046b12 3 0"), "= 0 0 0");  // acknowledged: down
    EXPECT_EQ(line(), "");                        // and no change to tell afterwards
    world().button_edge(1, true);
    EXPECT_EQ(line(), "! 1");
}

}  // namespace
