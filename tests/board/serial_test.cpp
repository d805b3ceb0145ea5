// The MCU port's line settings, applied by the port code to a pty that starts
// out set up all wrong. A pty forces CS8 and CREAD and drops PARENB whatever
// is asked; every other flag it keeps, and those are checked here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "mcu/ucom.h"

namespace {

class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        struct termios t;
        ASSERT_EQ(tcgetattr(slave_, &t), 0);
        cfsetospeed(&t, B9600);
        cfsetispeed(&t, B9600);
        t.c_cflag |= CSTOPB | CRTSCTS | PARODD;
        t.c_cflag &= ~CLOCAL;
        t.c_iflag |= IGNBRK | IXON | IXOFF | IXANY | ICRNL;
        t.c_oflag |= OPOST | ONLCR;
        t.c_lflag |= ICANON | ECHO | ISIG;
        ASSERT_EQ(tcsetattr(slave_, TCSANOW, &t), 0);
    }
    void TearDown() override {
        close(slave_);
        close(master_);
    }
    struct termios now() {
        struct termios t;
        EXPECT_EQ(tcgetattr(slave_, &t), 0);
        return t;
    }
    int master_ = -1, slave_ = -1;
};

TEST_F(SerialPort, OddParityEightBitsOneStopNoFlowControl) {
    ASSERT_EQ(ucom_set_attribs(slave_, B115200, PARENB | PARODD), 0);
    struct termios t = now();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
    EXPECT_EQ(cfgetispeed(&t), speed_t(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & PARODD, 0u);  // the parity argument (PARENB the pty drops)
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IGNBRK | IXON | IXOFF | IXANY | ICRNL), 0u);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 6);
}

TEST_F(SerialPort, ParityArgumentReplacesTheOldParity) {
    ASSERT_EQ(ucom_set_attribs(slave_, B115200, 0), 0);
    EXPECT_EQ(now().c_cflag & (PARENB | PARODD), 0u);
}

TEST_F(SerialPort, BlockingSetsOnlyTheReadCount) {
    ASSERT_EQ(ucom_set_attribs(slave_, B115200, PARENB | PARODD), 0);
    ucom_set_blocking(slave_, 1);
    struct termios t = now();
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 6);
    EXPECT_NE(t.c_cflag & PARODD, 0u);
    ucom_set_blocking(slave_, 0);
    EXPECT_EQ(now().c_cc[VMIN], 0);
}

TEST(SerialPortFailure, NotATerminalIsReported) {
    int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ucom_set_attribs(fd, B115200, PARENB | PARODD), -1);
    close(fd);
}

}  // namespace
