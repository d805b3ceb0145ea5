// The serial link and the MCU command set against the MCU model on a pty.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <thread>

#include "app/app.h"
#include "include/result_codes.h"
#include "mcu/ucom.h"
#include "tests/support/sim_fixture.h"

namespace {

class Ucom : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        fd_ = ucom_open();
        ASSERT_GT(fd_, 0);
    }
    void TearDown() override {
        ucom_close(fd_);
        SimTest::TearDown();
    }
    bool mcu_saw(const std::string& frame) {
        auto rx = world_texts("mcu_rx");
        return std::find(rx.begin(), rx.end(), frame) != rx.end();
    }
    // An event's acknowledgement needs no answer, so no exchange waits for
    // the MCU to take it: a loaded desk may run the model some while after.
    bool mcu_took(const std::string& frame) {
        for (int i = 0; i < 200 && !mcu_saw(frame); ++i) usleep(10 * 1000);
        return mcu_saw(frame);
    }
    void script(std::vector<uint8_t> reply) {
        std::lock_guard<std::mutex> hold(world().mu());
        world().mcu.scripted.push_back(reply);
    }
    void fault(sim::McuFault f, int count = 1, int late_ms = 800) {
        std::lock_guard<std::mutex> hold(world().mu());
        world().mcu.fault = f;
        world().mcu.fault_count = count;
        world().mcu.late_ms = late_ms;
    }
    int led(int which) {  // the MCU model's thread writes it under the world's lock
        std::lock_guard<std::mutex> hold(world().mu());
        return which == 3 ? world().phys.led3 : world().phys.led4;
    }
    void force_sensor(int bits) {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.sensor_override = bits;
    }
    int fd_ = 0;
};

TEST_F(Ucom, PortIsRawWithTheReadWindow) {
    struct termios tio;
    ASSERT_EQ(tcgetattr(fd_, &tio), 0);
    EXPECT_EQ(tio.c_lflag, 0u);
    EXPECT_EQ(tio.c_oflag, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 6);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0u);
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B115200));
    EXPECT_EQ(ucom_get_fd(), fd_);
}

TEST_F(Ucom, CarriageReturnByteSurvivesAPortLeftWithIcrnl) {
    // A UART's usual settings map CR to LF on input; a reply byte 0x0D must
    // still arrive as sent.
    ucom_close(fd_);
    int slave = open(world().tty_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    struct termios tio;
    tcgetattr(slave, &tio);
    tio.c_iflag |= ICRNL;
    tcsetattr(slave, TCSANOW, &tio);
    close(slave);
    fd_ = ucom_open();
    force_sensor(0x0D);
    uint32_t bits = 0;
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    EXPECT_EQ(bits, 0x0Du);
}

TEST_F(Ucom, LedCommandsReachTheMcu) {
    EXPECT_EQ(ucom_set_led(fd_, 1, 3), __UCOM_DONE);
    EXPECT_EQ(ucom_set_led(fd_, 1, 4), __UCOM_DONE);
    EXPECT_TRUE(mcu_saw("A1 02 03 01 FB A8"));
    EXPECT_TRUE(mcu_saw("A1 02 04 01 FA A8"));
    EXPECT_EQ(led(3), 1);
    EXPECT_EQ(led(4), 1);
    EXPECT_EQ(ucom_set_led(fd_, 0, 3), __UCOM_DONE);
    EXPECT_EQ(led(3), 0);
}

TEST_F(Ucom, EveryCommandGetsItsReply) {
    int status = -1;
    EXPECT_EQ(ucom_get_time(fd_), __UCOM_DONE);
    EXPECT_EQ(ucom_get_batv(fd_), __UCOM_DONE);
    EXPECT_EQ(ucom_get_feeder_status(fd_, &status), __UCOM_DONE);
    EXPECT_EQ(status, 0x04);  // bowl in
    EXPECT_EQ(ucom_set_feed_meal(fd_, 1, 2, 3, 4), __UCOM_DONE);
    EXPECT_EQ(ucom_get_feed_meal(fd_), __UCOM_DONE);
    EXPECT_EQ(ucom_bowl_out(fd_), __UCOM_DONE);
    EXPECT_EQ(ucom_bowl_in(fd_), __UCOM_DONE);
    EXPECT_EQ(ucom_feed_meal(fd_, 5), __UCOM_DONE);
    EXPECT_EQ(ucom_feed_motor_back(fd_, 20), __UCOM_DONE);
    EXPECT_TRUE(mcu_saw("A1 02 11 05 E9 A8"));
    EXPECT_TRUE(mcu_saw("A1 02 14 14 D7 A8"));
    EXPECT_TRUE(mcu_saw("A1 02 12 00 ED A8"));
    EXPECT_TRUE(mcu_saw("A1 02 13 00 EC A8"));
}

TEST_F(Ucom, MotorCountsAtOrBelowZeroSendNothing) {
    EXPECT_EQ(ucom_feed_meal(fd_, 0), __UCOM_DONE);
    EXPECT_EQ(ucom_feed_meal(fd_, -3), __UCOM_DONE);
    EXPECT_EQ(ucom_feed_motor_back(fd_, 0), __UCOM_DONE);
    EXPECT_EQ(ucom_feed_motor_back(fd_, -3), __UCOM_DONE);
    EXPECT_TRUE(world_texts("mcu_rx").empty());
}

TEST_F(Ucom, MotorCountIsSentAsItsLowByte) {
    EXPECT_EQ(ucom_feed_meal(fd_, 260), __UCOM_DONE);
    EXPECT_TRUE(mcu_saw("A1 02 11 04 EA A8"));
}

TEST_F(Ucom, SetTimeSendsTheLocalDate) {
    struct tm tm = {};
    tm.tm_year = 126;
    tm.tm_mon = 11;
    tm.tm_mday = 6;
    tm.tm_hour = 18;
    tm.tm_min = 30;
    tm.tm_isdst = -1;
    world().clock().set_time(int64_t(mktime(&tm)) * 1000000);
    EXPECT_EQ(ucom_set_time(fd_), __UCOM_DONE);
    EXPECT_TRUE(mcu_saw("A1 08 01 1A 0C 06 07 12 1E 00 9B A8"));
}

TEST_F(Ucom, SetTimeWithoutADateSendsNothing) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().shell.date_fails = true;
    }
    StdoutCapture out;
    EXPECT_EQ(ucom_set_time(fd_), __UCOM_ERROR);
    EXPECT_TRUE(world_texts("mcu_rx").empty());
    EXPECT_NE(out.text().find("ucom_set_time : no date"), std::string::npos);
}

TEST_F(Ucom, SensorBitsFromTheWorld) {
    uint32_t bits = 0xFFFF;
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    EXPECT_EQ(bits, SENSOR_BOWL_IN);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.bowl_present = false;
        world().phys.hopper_grams = 10;
    }
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    EXPECT_EQ(bits, SENSOR_BOWL_IN | SENSOR_BOWL_MISSING | SENSOR_FOOD_LOW);
}

TEST_F(Ucom, SensorReplyExampleAndBadChecksum) {
    script({0xA1, 0x02, 0x30, 0x15, 0xBA, 0xA8});
    uint32_t bits = 0;
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    EXPECT_EQ(bits, 0x15u);

    script({0xA1, 0x02, 0x30, 0x15, 0xBB, 0xA8});
    bits = 0x77;
    StdoutCapture out;
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_ERROR);
    EXPECT_EQ(bits, 0x77u);  // out value untouched on error
    EXPECT_NE(out.text().find("ucom_get_sensor : [ack ] a1 02 30 15 bb a8 \n"), std::string::npos);
}

TEST_F(Ucom, OnlyTheChecksumIsJudged) {
    uint32_t bits = 0;
    script({0x00, 0x00, 0x30, 0x05, 0xCA, 0x00});  // no start, length or end byte
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    EXPECT_EQ(bits, 0x05u);
    script({0xA1, 0x02, 0x40, 0x09, 0xB6, 0xA8});  // a code the command set does not know
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    EXPECT_EQ(bits, 0x09u);
    script({0xA1, 0x01, 0x30, 0xCF, 0xA8});  // shorter than asked, checksum right
    EXPECT_EQ(ucom_bowl_in(fd_), __UCOM_DONE);
}

TEST_F(Ucom, SilentMcuTimesOutWithAnEmptyDump) {
    fault(sim::McuFault::Silent);
    StdoutCapture out;
    uint32_t bits = 0x42;
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_ERROR);
    EXPECT_EQ(bits, 0x42u);
    EXPECT_NE(out.text().find("ucom_get_sensor : [ack ] \n"), std::string::npos);
}

TEST_F(Ucom, ShortReplyIsRejected) {
    fault(sim::McuFault::Short);
    StdoutCapture out;
    EXPECT_EQ(ucom_bowl_out(fd_), __UCOM_ERROR);
    EXPECT_NE(out.text().find("ucom_bowl_out : [ack ] a1 02 13 \n"), std::string::npos);
    EXPECT_EQ(ucom_bowl_out(fd_), __UCOM_DONE);  // the fault was for one reply
}

// One reply later than its window used to answer the next request, and
// every request after that read the reply of the one before it, for good.
TEST_F(Ucom, LateReplyIsDroppedBeforeTheNextRequest) {
    force_sensor(0x15);
    // Late by well over the 0.6 s window: a test thread held up between its
    // write and its read (AddressSanitizer on a busy desk) found an 800-ms
    // reply already there when it began to read.
    fault(sim::McuFault::Late, 1, 1500);
    uint32_t bits = 0;
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_ERROR);
    usleep(1300 * 1000);  // the late sensor reply is now waiting in the queue
    StdoutCapture out;
    EXPECT_EQ(ucom_set_led(fd_, 1, 3), __UCOM_DONE);
    EXPECT_NE(out.text().find("ucom_set_led stale : [ack ] a1 02 30 15 ba a8 \n"),
              std::string::npos)
        << out.text();
    // From here on every command reads its own reply: the LEDs toggle as main
    // toggles them, and the sensor reads what the MCU says, not an LED echo.
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(ucom_set_led(fd_, i & 1, 3), __UCOM_DONE);
        bits = 0;
        EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
        EXPECT_EQ(bits, 0x15u) << i;
    }
}

// A late reply may also land inside the next request's window, before that
// request's own reply. Read as the reply, an LED echo made the sensor read
// 0x01 (food low), and the sensor's own reply was dropped as stale after it.
TEST_F(Ucom, AnotherRequestsReplyInTheWindowIsNotTheReply) {
    std::vector<uint8_t> both = {0xA1, 0x02, 0x03, 0x01, 0xFB, 0xA8,   // LED 3 echo, late
                                 0xA1, 0x02, 0x30, 0x04, 0xCB, 0xA8};  // sensor 0x04
    script(both);
    uint32_t bits = 0;
    StdoutCapture out;
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    EXPECT_EQ(bits, 0x04u);
    EXPECT_NE(out.text().find("ucom_get_sensor stale : [ack ] a1 02 03 01 fb a8 \n"),
              std::string::npos)
        << out.text();
    // With no reply of its own after it, the exchange fails: the caller's
    // value stays as it was instead of taking the LED's.
    script({0xA1, 0x02, 0x03, 0x01, 0xFB, 0xA8});
    bits = 0x42;
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_ERROR);
    EXPECT_EQ(bits, 0x42u);
    force_sensor(0x08);
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    EXPECT_EQ(bits, 0x08u);
    // An event and a late reply both ahead of the reply: each is dealt with.
    script({0xA1, 0x02, 0x81, 0x00, 0x7E, 0xA8,    // event 0x81
            0xA1, 0x02, 0x12, 0x00, 0xED, 0xA8,    // bowl in, late
            0xA1, 0x02, 0x30, 0x0C, 0xC3, 0xA8});  // sensor 0x0C
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    EXPECT_EQ(bits, 0x0Cu);
    EXPECT_TRUE(mcu_took("A1 02 81 00 7E A8"));
}

// Wherever the late reply lands among the next exchanges, no exchange reads
// it as its own. It comes well after the first exchange's window, which
// starts only when the reader gets its core back after the write; and the
// exchanges go on until it has surely come, however slow the machine.
TEST_F(Ucom, LateReplyNeverAnswersALaterRequest) {
    const int kLateMs = 2000;
    force_sensor(0x04);
    fault(sim::McuFault::Late, 1, kLateMs);
    uint32_t bits = 0;
    int64_t asked = sim::real_mono_us();
    EXPECT_EQ(ucom_set_led(fd_, 1, 3), __UCOM_ERROR);
    int wrong = 0;
    int64_t until = asked + (kLateMs + 600) * 1000LL;
    for (int i = 0; i < 8 || sim::real_mono_us() < until; ++i) {
        bits = 0;
        EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE) << i;
        wrong += bits != 0x04u;
        EXPECT_EQ(ucom_set_led(fd_, i & 1, 3), __UCOM_DONE);
        usleep(100 * 1000);
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(Ucom, LineNoiseAndOversizedRepliesNeverCrash) {
    uint32_t bits = 0;
    fault(sim::McuFault::Noise, 20);
    for (int i = 0; i < 20; ++i) {
        int rc = ucom_get_sensor(fd_, &bits);
        EXPECT_TRUE(rc == __UCOM_DONE || rc == __UCOM_ERROR);
    }
    // Whatever the noise left in the queue is gone before the next request.
    force_sensor(0x04);
    usleep(50 * 1000);
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    EXPECT_EQ(bits, 0x04u);
    fault(sim::McuFault::Oversize, 1);
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    // The second copy is dropped: the next request reads its own reply.
    force_sensor(0x08);
    usleep(50 * 1000);
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    EXPECT_EQ(bits, 0x08u);
    // A reply longer than the largest frame is cut at the reply size.
    script(std::vector<uint8_t>(300, 0xA1));
    EXPECT_EQ(ucom_get_time(fd_), __UCOM_ERROR);
    usleep(50 * 1000);
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);  // and the rest of it dropped
    EXPECT_EQ(bits, 0x08u);
}

// An event frame sent on its own used to be read as the reply of the next
// request (the sensor then read 0x00: no bowl anywhere), and that request's
// own reply answered the one after.
TEST_F(Ucom, EventFrameWaitingBeforeARequestIsAcknowledgedNotReadAsTheReply) {
    force_sensor(0x04);
    world().mcu_send_event(0x80);
    usleep(50 * 1000);
    uint32_t bits = 0;
    StdoutCapture out;
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    EXPECT_EQ(bits, 0x04u);
    EXPECT_NE(out.text().find("ucom_get_sensor : event 0x80 from the MCU, acknowledged\n"),
              std::string::npos);
    EXPECT_TRUE(mcu_took("A1 02 80 00 7F A8"));
    force_sensor(0x08);
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    EXPECT_EQ(bits, 0x08u);
}

// The event may also come inside the window, just before the reply.
TEST_F(Ucom, EventFrameJustBeforeTheReplyIsSkipped) {
    std::vector<uint8_t> both = {0xA1, 0x02, 0x81, 0x00, 0x7E, 0xA8,   // event 0x81
                                 0xA1, 0x02, 0x30, 0x0C, 0xC3, 0xA8};  // sensor 0x0C
    script(both);
    uint32_t bits = 0;
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    EXPECT_EQ(bits, 0x0Cu);
    EXPECT_TRUE(mcu_took("A1 02 81 00 7E A8"));
    force_sensor(0x04);
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    EXPECT_EQ(bits, 0x04u);
}

TEST_F(Ucom, EventFramesAreAcknowledged) {
    world().mcu_send_event(0x81);
    EXPECT_EQ(ucom_r_event(fd_), __UCOM_DONE);
    EXPECT_TRUE(mcu_took("A1 02 81 00 7E A8"));

    world().mcu_send_event(0x80);
    EXPECT_EQ(ucom_r_event(fd_), __UCOM_DONE);
    EXPECT_TRUE(mcu_took("A1 02 80 00 7F A8"));

    size_t before = world_texts("mcu_rx").size();
    world().mcu_send_event(0x30);
    StdoutCapture out;
    EXPECT_EQ(ucom_r_event(fd_), __UCOM_DONE);
    std::string text = out.text();
    EXPECT_NE(text.find("read 6 bytes from ucom_r_event"), std::string::npos);
    EXPECT_NE(text.find("return __UCOM_DONE ( 16 ) @ "), std::string::npos);
    EXPECT_NE(text.find(" , ucom_r_event"), std::string::npos);
    // The model takes frames in the order written: once the next request is
    // answered, an acknowledgement written before it would be on record.
    uint32_t bits = 0;
    EXPECT_EQ(ucom_get_sensor(fd_, &bits), __UCOM_DONE);
    std::vector<std::string> rx = world_texts("mcu_rx");
    ASSERT_EQ(rx.size(), before + 1);  // not acknowledged
    EXPECT_EQ(rx.back().substr(0, 8), "A1 02 30");
}

TEST_F(Ucom, EventReadWithNothingThereIsAnError) {
    StdoutCapture out;
    EXPECT_EQ(ucom_r_event(fd_), __UCOM_ERROR);
    std::string text = out.text();
    EXPECT_NE(text.find("read 0 bytes from ucom_r_event"), std::string::npos);
    EXPECT_NE(text.find("return __UCOM_ERROR ( 15 ) @ "), std::string::npos);
}

TEST_F(Ucom, TwoThreadsEachGetTheirOwnReply) {
    force_sensor(0x15);
    std::atomic<int> wrong{0};
    std::thread a([&] {
        for (int i = 0; i < 150; ++i) {
            uint32_t bits = 0;
            if (ucom_get_sensor(fd_, &bits) != __UCOM_DONE || bits != 0x15) ++wrong;
        }
    });
    std::thread b([&] {
        for (int i = 0; i < 150; ++i) {
            int status = 0;
            if (ucom_get_feeder_status(fd_, &status) != __UCOM_DONE || status != 0x15) ++wrong;
            if (ucom_set_led(fd_, i & 1, 4) != __UCOM_DONE) ++wrong;
        }
    });
    a.join();
    b.join();
    EXPECT_EQ(wrong, 0);
}

// The priority the kernel runs a thread of this process at (the "priority"
// field of its stat): from -2 down for a real-time thread, 0 and up for an
// ordinary one. 99 when unreadable.
int priority_of(pid_t tid) {
    std::string stat = read_file("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t at = stat.rfind(')');
    if (at == std::string::npos) return 99;
    std::istringstream rest(stat.substr(at + 2));
    std::string field;
    for (int i = 3; i <= 18 && rest >> field; ++i) {
    }
    return rest ? atoi(field.c_str()) : 99;
}

pid_t thread_named(const char* name) {
    DIR* d = opendir("/proc/self/task");
    pid_t found = 0;
    while (struct dirent* e = d ? readdir(d) : nullptr) {
        std::string comm = read_file(std::string("/proc/self/task/") + e->d_name + "/comm");
        if (comm == std::string(name) + "\n") found = atoi(e->d_name);
    }
    if (d) closedir(d);
    return found;
}

// The board's MCU is a chip of its own: its answers never wait behind the
// SoC's load. On a busy desk the model, an ordinary thread, went unrun for
// seconds and exchanges missed their windows; it runs ahead of ordinary
// threads now, the world's lock staying an ordinary one.
TEST_F(Ucom, TheModelRunsAheadOfOrdinaryThreads) {
    struct sched_param fifo = {}, ordinary = {};
    fifo.sched_priority = 1;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo) != 0)
        GTEST_SKIP() << "real-time scheduling is not allowed here";
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &ordinary);
    pid_t model = thread_named("sim-mcu");
    ASSERT_NE(model, 0);
    EXPECT_LT(priority_of(model), 0);
    EXPECT_GE(priority_of(gettid()), 0);
    int status = -1;
    EXPECT_EQ(ucom_get_feeder_status(fd_, &status), __UCOM_DONE);
    EXPECT_EQ(status, 0x04);
}

TEST_F(Ucom, ClosedPortRefusesWithoutWriting) {
    ucom_close(fd_);
    EXPECT_EQ(ucom_get_fd(), 0);
    EXPECT_EQ(ucom_set_led(fd_, 1, 3), __UCOM_ERROR);
    EXPECT_EQ(ucom_set_led(0, 1, 3), __UCOM_ERROR);
    EXPECT_TRUE(world_texts("mcu_rx").empty());
}

TEST_F(Ucom, FailedOpenClearsTheRunFlag) {
    ucom_close(fd_);
    unlink((root_ + "/dev/ttyAMA3").c_str());
    sig_flag = 1;
    EXPECT_EQ(ucom_open(), __UCOM_ERROR);
    EXPECT_EQ(sig_flag, 0);
    EXPECT_EQ(ucom_get_fd(), 0);
    fd_ = 0;
}

}  // namespace
